// linecard-serve: the line-card daemon (serve.h); `linecard-sim serve ...`
// runs it too.
//
//   linecard-serve --slot N [--supervisor ADDR] --counters FIRST:LAST
//                  [--traffic PPS] [--seed S] [--stdout FILE] [--log-level N]
//                  [--log-format plain|journal] [--tls-cert F --tls-key F --tls-ca F]
//                  [--version]
//
// ADDR is unix:PATH, tcp:HOST:PORT or tls:HOST:PORT (with the three --tls-*
// files: the card's certificate names its slot, slot-N), by default the
// supervisor's card socket once installed (required from the build tree).
// Counter ids FIRST..LAST, both
// included, are handed out (the counter table's size is LAST + 1). The
// library prints its display table on standard output, which goes to FILE
// (default /dev/null).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>

#include "card_protocol.h"
#include "flow_key.h"
#include "program_paths.h"
#include "program_version.h"
#include "serve.h"
#include "serve_log.h"
#include "traffic.h"

namespace {

constexpr int kUsageError = 2;
// Counter ids are 16 bits wide and the table's size must fit them, so the
// last id is at most 65,534; only 0:65534 holds 65,535 flows, although
// counter 0 means "no counter" to the hardware (the flow given it counts
// nothing; main warns).
constexpr uint32_t kMaxLastCounter = 65534;

// "FIRST:LAST", FIRST <= LAST <= 65534.
std::string parse_counters(const std::string &text, serve::Config &config) {
    const size_t colon = text.find(':');
    const auto first = model::parse_number(std::string_view(text).substr(0, colon));
    const auto last = colon == std::string::npos
                          ? std::nullopt
                          : model::parse_number(std::string_view(text).substr(colon + 1));
    if (!first || !last) {
        return "--counters: expected FIRST:LAST, not '" + text + "'";
    }
    if (*last < *first || *last > kMaxLastCounter) {
        return "--counters: need FIRST <= LAST <= 65534, not " + text;
    }
    config.first_counter = static_cast<uint32_t>(*first);
    config.table_size = static_cast<uint32_t>(*last + 1);
    return {};
}

} // namespace

int main(int argc, char **argv) {
    serve::Config config;
    std::string supervisor;
    std::string counters;
    std::string stdout_file = "/dev/null";

    CLI::App app{"The line-card daemon: the flow stats library on a simulated line card, "
                 "served to the supervisor."};
    app.add_option("--slot", config.slot, "the card's slot")
        ->required()
        ->check(CLI::Range(card_protocol::kMinSlot, card_protocol::kMaxSlot));
    // Installed, the supervisor's card socket in its runtime directory is the
    // default; from the build tree there is none to guess.
    const std::string runtime = program::process_dirs(false).runtime;
    auto *supervisor_option =
        app.add_option("--supervisor", supervisor, "unix:PATH, tcp:HOST:PORT or tls:HOST:PORT");
    if (runtime.empty()) {
        supervisor_option->required();
    } else {
        supervisor = "unix:" + program::in_dir(runtime, "flow-supervisor.cards");
        supervisor_option->capture_default_str();
    }
    vexa_socket::TlsFiles tls;
    app.add_option("--tls-cert", tls.cert, "the card's certificate (PEM), naming slot-N");
    app.add_option("--tls-key", tls.key, "its private key (PEM)");
    app.add_option("--tls-ca", tls.ca, "the CA the supervisor's certificate must chain to");
    app.add_option("--counters", counters,
                   "FIRST:LAST, the counter ids handed out, both included (1:4 is four)")
        ->required();
    app.add_option("--traffic", config.traffic_pps, "frames per second injected (0: paused)")
        ->capture_default_str()
        ->check(CLI::Range(uint64_t{0}, traffic::kMaxPps));
    app.add_option("--seed", config.seed, "seed of the traffic")->capture_default_str();
    app.add_option("--stdout", stdout_file, "where the library's display output goes")
        ->capture_default_str();
    app.add_option("--log-level", config.log_level,
                   "log the library's texts of this level and above (0 all, 4 errors, 5 none)")
        ->capture_default_str()
        ->check(CLI::Range(0, 5));
    std::string log_format;
    app.add_option("--log-format", log_format,
                   "plain (time and severity) or journal (<N> priority prefix); default journal "
                   "when JOURNAL_STREAM is set, else plain")
        ->check(CLI::IsMember({"plain", "journal"}));
    app.set_version_flag("--version", std::string("linecard-serve ") + PROGRAM_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    program::set_log_format(*program::choose_log_format(log_format, std::getenv("JOURNAL_STREAM")));

    serve::set_log_slot(config.slot);
    std::string error;
    const auto address = vexa_socket::parse_address(supervisor, &error);
    if (!address) {
        std::fprintf(stderr, "--supervisor: %s\n", error.c_str());
        return kUsageError;
    }
    config.supervisor = *address;
    if (address->kind == vexa_socket::Address::Kind::Tls) {
        config.tls = vexa_socket::make_tls_context(tls, vexa_socket::TlsRole::Client, &error);
        if (!config.tls) {
            std::fprintf(stderr, "--supervisor: %s\n", error.c_str());
            return kUsageError;
        }
    }
    if (error = parse_counters(counters, config); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kUsageError;
    }
    if (config.first_counter == 0) {
        serve::log_line(serve::Severity::Warning,
                        "counter 0 means no counter: the flow that gets it counts nothing");
    }
    if (std::freopen(stdout_file.c_str(), "w", stdout) == nullptr) {
        std::fprintf(stderr, "--stdout: cannot open %s: %s\n", stdout_file.c_str(),
                     std::strerror(errno));
        return kUsageError;
    }
    return serve::run(config);
}
