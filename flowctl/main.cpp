// flowctl: the operator's command line for the supervisor's control socket.
// This file owns the global options and the dispatch; each command is in
// commands.h and its cmd_*.cpp, the client, the formats and the watch loop in
// their own modules. Exit codes: errors.h (and docs/flowctl.md).

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "program_paths.h"
#include "program_version.h"

namespace flowctl {

void Output::print(const std::string &text) const {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void Output::print_json(const json &value) const {
    print(value.dump() + "\n");
}

int Output::fail(const Failure &failure, const std::string &context, const json &extra) const {
    if (json_failures) {
        json out = extra;
        out.update(failure_json(failure));
        print_json(out);
    } else {
        const std::string line =
            "flowctl: " + (context.empty() ? "" : context + ": ") + failure.message + "\n";
        std::fputs(line.c_str(), stderr);
    }
    return failure.exit;
}

std::optional<uint32_t> parse_slot(const std::string &text, Failure *failure) {
    using card_protocol::kMaxSlot;
    using card_protocol::kMinSlot;
    const std::optional<uint64_t> n = model::parse_number(text);
    if (!n || *n < kMinSlot || *n > kMaxSlot) {
        *failure = bad_arguments("slot '" + text + "' is not " + std::to_string(kMinSlot) + ".." +
                                 std::to_string(kMaxSlot));
        return std::nullopt;
    }
    return static_cast<uint32_t>(*n);
}

bool parse_slots(const std::vector<std::string> &texts, std::optional<std::vector<uint32_t>> *slots,
                 Failure *failure) {
    slots->reset();
    if (texts.empty()) {
        return true;
    }
    slots->emplace();
    for (const std::string &text : texts) {
        const std::optional<uint32_t> slot = parse_slot(text, failure);
        if (!slot) {
            return false;
        }
        (*slots)->push_back(*slot);
    }
    return true;
}

} // namespace flowctl

namespace {

using namespace flowctl;

// The global options that take a value: the command is the first word that
// is neither an option nor such a value.
constexpr const char *kValueOptions[] = {"--control",  "--format",  "--timeout",
                                         "--tls-cert", "--tls-key", "--tls-ca"};

// A positional of a few words (a flow's 1 to 4) reads "flow..." in a usage
// line, rather than CLI11's "flow(1x)".
class Formatter : public CLI::Formatter {
public:
    std::string make_option_usage(const CLI::Option *opt) const override {
        if (opt->get_expected_min() == opt->get_expected_max()) {
            return CLI::Formatter::make_option_usage(opt);
        }
        const std::string usage = make_option_name(opt, true) + "...";
        return opt->get_required() ? usage : "[" + usage + "]";
    }
};

std::optional<std::string> command_word(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.empty() || arg[0] != '-') {
            return std::string(arg);
        }
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), arg) !=
            std::end(kValueOptions)) {
            ++i;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv) {
    // Known before parsing, so that a usage error is reported as JSON too.
    Output out;
    for (int i = 1; i < argc; ++i) {
        out.json_failures = out.json_failures || std::strcmp(argv[i], "--json") == 0 ||
                            (std::strcmp(argv[i], "--format") == 0 && i + 1 < argc &&
                             std::strcmp(argv[i + 1], "json") == 0) ||
                            std::strcmp(argv[i], "--format=json") == 0;
    }

    Commands commands;
    add_flow_commands(commands);
    add_show_commands(commands);
    add_card_commands(commands);
    add_apply_commands(commands);
    add_audit_commands(commands);

    std::vector<std::string> names;
    for (const CommandEntry &c : commands) {
        names.push_back(c.name);
    }
    if (const auto word = command_word(argc, argv);
        word && std::find(names.begin(), names.end(), *word) == names.end()) {
        return out.fail(bad_arguments(unknown_command_message(*word, names)));
    }

    CLI::App app{"flowctl: the flow supervisor's operator tool", "flowctl"};
    app.formatter(std::make_shared<Formatter>());
    app.set_version_flag("--version", std::string("flowctl ") + PROGRAM_VERSION);
    // The supervisor's default socket: in the working directory from the
    // build tree, in the unit's runtime directory once installed.
    std::string control =
        "unix:" + program::in_dir(program::process_dirs(false).runtime, "flow-supervisor.ctl");
    app.add_option("--control", control,
                   "the supervisor's control socket: unix:PATH, tcp:HOST:PORT or tls:HOST:PORT")
        ->envname("FLOWCTL_CONTROL")
        ->capture_default_str();
    vexa_socket::TlsFiles tls;
    app.add_option("--tls-cert", tls.cert,
                   "our certificate for tls: (PEM); its OU, admin or reader, is our role")
        ->envname("FLOWCTL_TLS_CERT");
    app.add_option("--tls-key", tls.key, "its private key (PEM)")->envname("FLOWCTL_TLS_KEY");
    app.add_option("--tls-ca", tls.ca, "the CA the supervisor's certificate must chain to (PEM)")
        ->envname("FLOWCTL_TLS_CA");
    bool json_flag = false;
    app.add_flag("--json", json_flag, "print JSON, failures too (docs/flowctl.md has the schema)");
    std::string format_text;
    app.add_option("--format", format_text,
                   "table (default), json or prometheus (show and cards); --json makes json "
                   "the default")
        ->check(CLI::IsMember({"table", "json", "prometheus"}));
    unsigned timeout_ms = static_cast<unsigned>(kReplyTimeout.count());
    app.add_option("--timeout", timeout_ms, "milliseconds to wait for each answer")
        ->check(CLI::Range(1u, 3600000u))
        ->capture_default_str();
    app.require_subcommand(1, 1);
    app.fallthrough(); // the global options after the command too
    app.footer("The options above may also follow the command; `flowctl COMMAND --help` for one "
               "command.");

    std::vector<CLI::App *> subs;
    for (CommandEntry &c : commands) {
        subs.push_back(app.add_subcommand(c.name, c.help));
        c.command->define(*subs.back());
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(e); // --help, --version
        }
        if (out.json_failures) {
            return out.fail(bad_arguments(e.what()));
        }
        app.exit(e);
        return kExitBadArguments;
    }
    out.format = !format_text.empty() ? *parse_format(format_text)
                 : json_flag          ? Format::Json
                                      : Format::Table;
    out.json_failures = json_flag || out.format == Format::Json;

    size_t chosen = 0;
    while (!subs[chosen]->parsed()) {
        ++chosen;
    }
    Command &command = *commands[chosen].command;
    // Arguments are checked before connecting, so that a usage error never
    // depends on the supervisor.
    const std::vector<Format> formats = command.formats();
    if (std::find(formats.begin(), formats.end(), out.format) == formats.end()) {
        return out.fail(bad_arguments("--format " + std::string(format_name(out.format)) +
                                      ": not a format of " + commands[chosen].name));
    }
    Failure failure;
    if (!command.check(out, &failure)) {
        return out.fail(failure);
    }

    RpcClient client;
    client.set_reply_timeout(std::chrono::milliseconds(timeout_ms));
    if (!client.connect(control, &failure, tls)) {
        return out.fail(failure);
    }
    return command.run(client, out);
}
