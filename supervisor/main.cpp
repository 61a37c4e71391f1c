// flow-supervisor: the command line, the event loop and its orderly end.
//
// Keeps the configured flows of every slot (store), brings the line cards to
// them (cards) and answers clients on the control socket (control, methods).
// Everything runs on one thread, in one asio io_context. SIGTERM and SIGINT
// stop it (SIGHUP is ignored): listeners closed (their socket files removed), connections
// closed, recorded statuses written, database closed; exit status 0.
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <CLI/CLI.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include "cards.h"
#include "control.h"
#include "http.h"
#include "http_rules.h"
#include "log.h"
#include "methods.h"
#include "program_paths.h"
#include "program_version.h"
#include "schema.h"
#include "store.h"
#include "vexa_socket.h"

namespace {

using namespace supervisor;
using Clock = std::chrono::steady_clock;

// Recorded statuses wait at most this long for their transaction, except
// while a replay is sending: its end writes them all at once.
constexpr std::chrono::milliseconds kFlushInterval{100};
// ... but not longer than this, however long replays go on. A full table's
// replay takes seconds, and its statuses (pending, then back to applied)
// mostly cancel out when written once at its end.
constexpr std::chrono::milliseconds kFlushDeferLimit{60000};
// A batch the database refused is tried again at most this late.
constexpr std::chrono::milliseconds kFlushRetryLimit{10000};

// The defaults of the paths follow program::process_dirs: relative names in
// the build tree, the unit's directories once installed.
struct Options {
    std::string db;
    std::string cards;
    std::string control;
    std::string group; // deprecated: --admin-group
    std::string admin_group;
    std::string read_group;
    vexa_socket::TlsFiles tls;
    bool insecure_tcp = false;
    uint64_t audit_limit = 100000;
    unsigned timeout_ms = 3000;
    unsigned hello_timeout_ms = 5000;
    unsigned client_timeout_ms = 60000;
    std::string log_format; // empty: journal when JOURNAL_STREAM is set, else plain
    std::string http;       // empty: no HTTP endpoint
};

// The supplementary groups of a running process, from /proc/PID/status: the
// kernel reports a peer's primary group only. Empty when it cannot be read.
std::vector<gid_t> supplementary_groups(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    std::vector<gid_t> groups;
    while (std::getline(status, line)) {
        if (line.rfind("Groups:", 0) == 0) {
            std::istringstream words(line.substr(7));
            for (gid_t gid; words >> gid;) {
                groups.push_back(gid);
            }
            break;
        }
    }
    return groups;
}

// Cards: over TLS the CA vouches for the peer (and its hello must match the
// slot its certificate names); on a Unix socket it must be an admin, as a
// card changes what the supervisor believes; plain TCP is the operator's
// choice (--insecure-tcp).
vexa_socket::Listener::AcceptFilter card_filter(const RolePolicy &policy) {
    return [policy](const vexa_socket::PeerCredentials &peer, std::string *why) {
        if (peer.certificate) {
            return true;
        }
        const auto identity = identify(peer, "", policy, why);
        if (identity && identity->role != api::Role::Admin) {
            *why = identity->who + " is a reader, not allowed to be a card";
            return false;
        }
        return identity.has_value();
    };
}

std::optional<gid_t> group_option(const std::string &name, bool *ok) {
    if (name.empty()) {
        return std::nullopt;
    }
    const struct group *entry = getgrnam(name.c_str());
    if (entry == nullptr) {
        log(Severity::Error, "unknown group '" + name + "'");
        *ok = false;
        return std::nullopt;
    }
    return entry->gr_gid;
}

std::optional<vexa_socket::Address> address_option(const std::string &text, const char *what) {
    std::string error;
    auto address = vexa_socket::parse_address(text, &error);
    if (!address) {
        log(Severity::Error, std::string("bad ") + what + " address '" + text + "': " + error);
    }
    return address;
}

// Whether an address can be listened on: bound once and released again, so
// that a start failing for a socket in use fails before it creates any file
// of the database.
bool can_listen(asio::io_context &io, const vexa_socket::Address &address, std::string *error) {
    vexa_socket::Listener probe(io, vexa_socket::Limits{});
    // Only the bind is tried, and a tls: address binds as a tcp: one.
    vexa_socket::Address bind_only = address;
    if (bind_only.kind == vexa_socket::Address::Kind::Tls) {
        bind_only.kind = vexa_socket::Address::Kind::Tcp;
    }
    if (!probe.listen(bind_only, error)) {
        return false;
    }
    probe.stop();
    return true;
}

// Writes recorded statuses in batches (see kFlushInterval).
class Flusher {
public:
    Flusher(asio::io_context &io, Store &store, Cards &cards)
        : timer_(io), store_(store), cards_(cards) {
        store_.on_dirty([this] { schedule(); });
    }

    // A failed batch stays recorded and is tried again, each time twice as
    // late up to kFlushRetryLimit; a cause is logged once, not at every try.
    void flush_now() {
        std::string error;
        if (store_.flush(&error)) {
            if (failures_ != 0) {
                log(Severity::Notice, "status batch written after " + std::to_string(failures_) +
                                          " failed attempt(s)");
            }
            failures_ = 0;
            retry_ = kFlushInterval;
            last_error_.clear();
            return;
        }
        ++failures_;
        retry_ = std::min(retry_ * 2, kFlushRetryLimit);
        if (error != last_error_) {
            log(Severity::Error, "status batch not written (retrying, at most every " +
                                     std::to_string(kFlushRetryLimit.count() / 1000) +
                                     " s): " + error);
            last_error_ = error;
        }
    }

private:
    void schedule() {
        if (armed_) {
            return;
        }
        armed_ = true;
        if (!waiting_since_) {
            waiting_since_ = Clock::now();
        }
        timer_.expires_after(failures_ == 0 ? kFlushInterval : retry_);
        timer_.async_wait([this](const std::error_code &ec) {
            armed_ = false;
            if (ec || store_.unflushed() == 0) {
                waiting_since_.reset();
                return;
            }
            if (cards_.replay_active() && Clock::now() - *waiting_since_ < kFlushDeferLimit) {
                schedule();
                return;
            }
            flush_now();
            waiting_since_.reset();
            if (store_.unflushed() != 0) {
                schedule(); // failed: try again later
            }
        });
    }

    asio::steady_timer timer_;
    Store &store_;
    Cards &cards_;
    bool armed_ = false;
    std::optional<Clock::time_point> waiting_since_;
    size_t failures_ = 0;
    std::chrono::milliseconds retry_ = kFlushInterval;
    std::string last_error_;
};

// A request's answer, counted and timed by method and result on its way to
// the client. Methods outside the registry count as "unknown", so that a
// client cannot grow the label set.
Respond measured(Metrics &metrics, const jsonrpc::Request &request, Respond respond) {
    const api::MethodInfo *info = api::find_method(request.method);
    const std::string_view method = info != nullptr ? info->name : "unknown";
    return [&metrics, method, started = Clock::now(), respond = std::move(respond)](Reply reply) {
        if (answers(reply)) {
            const model::Error *error = std::get_if<model::Error>(&reply);
            metrics.rpc(method, error != nullptr ? model::errc_name(error->code) : "ok",
                        Clock::now() - started);
        }
        respond(std::move(reply));
    };
}

int run(const Options &options) {
    vexa_socket::set_logger([](const std::string &line) { log(Severity::Warning, line); });
    bool groups_ok = true;
    RolePolicy policy{.self = getuid(),
                      .admin_group = group_option(options.admin_group, &groups_ok),
                      .read_group = group_option(options.read_group, &groups_ok),
                      .groups_of = supplementary_groups};
    if (!groups_ok) {
        return EXIT_FAILURE;
    }
    const auto cards_address = address_option(options.cards, "--cards");
    const auto control_address = address_option(options.control, "--control");
    if (!cards_address || !control_address) {
        return EXIT_FAILURE;
    }
    std::shared_ptr<vexa_socket::TlsContext> tls;
    for (const auto &[address, option] :
         {std::pair(*cards_address, "--cards"), std::pair(*control_address, "--control")}) {
        using Kind = vexa_socket::Address::Kind;
        if (address.kind == Kind::Tcp && !options.insecure_tcp) {
            log(Severity::Error, std::string(option) +
                                     " on plain TCP lets anyone who reaches the port in: use "
                                     "tls:HOST:PORT, or say --insecure-tcp");
            return EXIT_FAILURE;
        }
        if (address.kind == Kind::Tcp) {
            log(Severity::Warning, std::string(option) + " " + vexa_socket::to_string(address) +
                                       ": plain TCP, unauthenticated and unencrypted "
                                       "(--insecure-tcp)");
        }
        std::string why;
        if (address.kind == Kind::Tls && !tls &&
            !(tls =
                  vexa_socket::make_tls_context(options.tls, vexa_socket::TlsRole::Server, &why))) {
            log(Severity::Error, std::string(option) + ": " + why);
            return EXIT_FAILURE;
        }
    }

    asio::io_context io;
    std::string error;
    std::vector<std::pair<vexa_socket::Address, std::string>> listens = {
        {*cards_address, options.cards}, {*control_address, options.control}};
    if (!options.http.empty()) {
        const auto http_address = parse_http_address(options.http);
        if (!http_address) {
            log(Severity::Error,
                "bad --http address '" + options.http + "': " + http_address.error().message);
            return EXIT_FAILURE;
        }
        listens.emplace_back(vexa_socket::Address{vexa_socket::Address::Kind::Tcp, "",
                                                  http_address->host, http_address->port},
                             options.http);
    }
    for (const auto &[address, text] : listens) {
        if (!can_listen(io, address, &error)) {
            log("cannot listen on " + text + ": " + error);
            return EXIT_FAILURE;
        }
    }
    const std::unique_ptr<DatabaseLock> lock = DatabaseLock::take(options.db, &error);
    std::unique_ptr<Store> store = lock ? Store::open(options.db, &error) : nullptr;
    if (!store) {
        log(Severity::Error, "cannot open the database: " + error);
        return EXIT_FAILURE;
    }
    store->set_audit_limit(options.audit_limit);
    size_t configured = 0;
    for (const uint32_t slot : store->slots()) {
        configured += store->flows(slot).size();
    }

    CardOptions card_options;
    card_options.timeout = std::chrono::milliseconds(options.timeout_ms);
    card_options.hello_timeout = std::chrono::milliseconds(options.hello_timeout_ms);
    Cards cards(io, *store, card_options);
    Services services{*store, cards};
    Metrics metrics;
    Control control(
        io,
        [&services, &metrics](const jsonrpc::Request &request, const PeerIdentity &identity,
                              Respond respond) {
            dispatch(services, request, identity, measured(metrics, request, std::move(respond)));
        },
        ControlOptions{.client_timeout = std::chrono::milliseconds(options.client_timeout_ms)});
    Flusher flusher(io, *store, cards);
    store->on_commit([&metrics](Clock::duration took) { metrics.db_commit(took); });
    cards.observe({.display_sent = [&metrics] { metrics.display_sent(); },
                   .synced = [&metrics](bool fresh,
                                        Clock::duration took) { metrics.card_sync(fresh, took); }});
    Http http(io, services, metrics,
              HttpOptions{.answer_timeout = std::chrono::milliseconds(options.timeout_ms) * 2 +
                                            std::chrono::seconds(5),
                          .tls = options.tls});

    if (!cards.listen(*cards_address, card_filter(policy), tls, &error)) {
        log(Severity::Error, "cannot listen for cards on " + options.cards + ": " + error);
        return EXIT_FAILURE;
    }
    const Identify identify = [policy](const vexa_socket::PeerCredentials &peer,
                                       const std::string &peer_name, std::string *why) {
        return supervisor::identify(peer, peer_name, policy, why);
    };
    if (!control.listen(*control_address, identify, tls, &error)) {
        log(Severity::Error, "cannot listen for clients on " + options.control + ": " + error);
        cards.stop();
        return EXIT_FAILURE;
    }
    if (!options.http.empty() && !http.listen(options.http, &error)) {
        log(Severity::Error, "cannot serve HTTP on " + options.http + ": " + error);
        control.stop();
        cards.stop();
        return EXIT_FAILURE;
    }

    // SIGHUP (a closed terminal, a reload out of habit) changes nothing: it
    // is logged and ignored, rather than ending the process uncleanly.
    asio::signal_set hangups(io, SIGHUP);
    std::function<void()> ignore_hangups = [&] {
        hangups.async_wait([&](const std::error_code &ec, int) {
            if (!ec) {
                log(Severity::Notice, "SIGHUP ignored");
                ignore_hangups();
            }
        });
    };
    ignore_hangups();
    asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const std::error_code &ec, int signal) {
        if (ec) {
            return;
        }
        log(Severity::Notice,
            std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
        hangups.cancel();
        http.stop();
        control.stop();
        cards.stop();
        flusher.flush_now();
        io.stop();
    });
    log(Severity::Notice, "started: " + std::to_string(configured) + " flows configured in " +
                              options.db + "; cards on " + vexa_socket::to_string(cards.address()) +
                              ", clients on " + vexa_socket::to_string(control.address()) +
                              (options.http.empty() ? "" : ", HTTP on " + http.url()));
    io.run();
    store.reset();
    log(Severity::Notice, "stopped");
    return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char **argv) {
    // A client or card that goes away mid-write must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    const program::Dirs dirs = program::process_dirs(true);
    Options options;
    options.db = program::in_dir(dirs.state, "flows.db");
    options.cards = "unix:" + program::in_dir(dirs.runtime, "flow-supervisor.cards");
    options.control = "unix:" + program::in_dir(dirs.runtime, "flow-supervisor.ctl");
    CLI::App app{"flow-supervisor: keeps the configured flows of every line card and answers "
                 "JSON-RPC clients"};
    app.add_option("--db", options.db, "SQLite database of the configured flows")
        ->capture_default_str();
    app.add_option("--cards", options.cards, "address the line cards connect to")
        ->capture_default_str();
    app.add_option("--control", options.control, "address of the JSON-RPC control socket")
        ->capture_default_str();
    app.add_option("--admin-group", options.admin_group,
                   "group whose members are admins on the Unix sockets, besides our own user");
    app.add_option("--read-group", options.read_group,
                   "group whose members may read (not change) on the control socket");
    app.add_option("--group", options.group, "deprecated: --admin-group");
    app.add_option("--tls-cert", options.tls.cert,
                   "our certificate (PEM) for tls: addresses, cards and control alike");
    app.add_option("--tls-key", options.tls.key, "its private key (PEM)");
    app.add_option("--tls-ca", options.tls.ca,
                   "the CA whose certificates cards and clients must present (PEM)");
    app.add_flag("--insecure-tcp", options.insecure_tcp,
                 "allow plain tcp: addresses for cards and control (unauthenticated)");
    app.add_option("--audit-limit", options.audit_limit,
                   "audit trail entries kept, the oldest dropped past it")
        ->capture_default_str()
        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
    app.add_option("--timeout", options.timeout_ms, "card request timeout in milliseconds")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3600000u));
    app.add_option("--hello-timeout", options.hello_timeout_ms,
                   "how long a new card connection may take to send its hello, in milliseconds")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3600000u));
    app.add_option("--client-timeout", options.client_timeout_ms,
                   "a control client idle, or not reading its answers, this long is dropped "
                   "(milliseconds)")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3600000u));
    app.add_option("--http", options.http,
                   "serve metrics, JSON and the page over HTTP on tcp:HOST:PORT (tcp:PORT: "
                   "loopback; port 0: any free one); off unless given");
    app.add_option("--log-format", options.log_format,
                   "plain (time and severity) or journal (<N> priority prefix); default journal "
                   "when JOURNAL_STREAM is set, else plain")
        ->check(CLI::IsMember({"plain", "journal"}));
    // Every option is also a key of the configuration file (KEY = VALUE);
    // the command line wins. An installed supervisor reads its default file
    // when it exists.
    app.set_config("--config",
                   dirs.config.empty() ? "" : program::in_dir(dirs.config, "flow-supervisor.conf"),
                   "read options from this file (KEY = VALUE, the long option names)");
    // A misspelt key is refused rather than silently left at its default.
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.set_version_flag("--version", std::string("flow-supervisor ") + PROGRAM_VERSION);
    CLI11_PARSE(app, argc, argv);
    program::set_log_program("flow-supervisor");
    program::set_log_format(
        *program::choose_log_format(options.log_format, std::getenv("JOURNAL_STREAM")));
    if (!options.group.empty()) {
        // The old spelling, on the command line mostly: it wins, as the
        // command line does over the file.
        log(Severity::Warning, "--group is deprecated: it is --admin-group");
        options.admin_group = options.group;
    }
    return run(options);
}
