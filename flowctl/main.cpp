// flowctl: the operator's command line for the supervisor's control socket.
// This file owns the command-line interface (CLI11) and each command's
// request and output; the client, the formats and the watch loop live in
// their own modules. Exit codes: errors.h (and docs/flowctl.md).

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <CLI/CLI.hpp>

#include "errors.h"
#include "flow_key.h"
#include "format.h"
#include "rpc_client.h"
#include "watch.h"

namespace {

using flowctl::Failure;
using flowctl::json;

constexpr const char *kDefaultControl = "unix:flow-supervisor.ctl";
using card_protocol::kMaxSlot;
using card_protocol::kMinSlot;

struct Output {
    bool as_json = false;

    void print(const std::string &text) const { std::fwrite(text.data(), 1, text.size(), stdout); }
    void print_json(const json &value) const { print(value.dump() + "\n"); }

    // The failure as text on standard error, or as JSON (with extra members
    // before "error") on standard output; returns its exit code.
    int fail(const Failure &failure, const std::string &context = "",
             const json &extra = json::object()) const {
        if (as_json) {
            json out = extra;
            out.update(flowctl::failure_json(failure));
            print_json(out);
        } else {
            const std::string line =
                "flowctl: " + (context.empty() ? "" : context + ": ") + failure.message + "\n";
            std::fputs(line.c_str(), stderr);
        }
        return failure.exit;
    }
};

std::optional<uint32_t> parse_slot(const std::string &text, Failure *failure) {
    const std::optional<uint64_t> n = model::parse_number(text);
    if (!n || *n < kMinSlot || *n > kMaxSlot) {
        *failure = flowctl::bad_arguments("slot '" + text + "' is not " + std::to_string(kMinSlot) +
                                          ".." + std::to_string(kMaxSlot));
        return std::nullopt;
    }
    return static_cast<uint32_t>(*n);
}

// ---- commands ---------------------------------------------------------------------

struct FlowArgs {
    std::string slot;
    std::vector<std::string> words;
};

using FlowRequest = api::FlowParams;

std::optional<FlowRequest> flow_request(const FlowArgs &args, Failure *failure) {
    const std::optional<uint32_t> slot = parse_slot(args.slot, failure);
    if (!slot) {
        return std::nullopt;
    }
    std::string error;
    const std::optional<model::FlowKey> key = model::parse_flow_words(args.words, &error);
    if (!key) {
        *failure = flowctl::bad_arguments(error);
        return std::nullopt;
    }
    return FlowRequest{*slot, *key, {}};
}

int flow_command(flowctl::RpcClient &client, const Output &out, const std::string &verb,
                 const FlowRequest &request) {
    const std::string flow =
        "slot " + std::to_string(request.slot) + " " + model::to_string(request.key);
    auto reply = client.call("flow." + verb, api::to_json(request));
    if (!reply) {
        // A refusal is the card's answer: its status and code lead the JSON,
        // as in a successful one.
        const Failure f = flowctl::from_error(reply.error());
        json extra = json::object();
        if (!f.card_code.is_null()) {
            extra = {{"status", f.status}, {"code", f.card_code}};
        }
        return out.fail(f, verb + " " + flow, extra);
    }
    const json &result = *reply;
    if (verb == "get") {
        const auto counts = api::decode_get(result);
        if (!counts) {
            return out.fail(flowctl::protocol_failure("flow.get: " + counts.error().message));
        }
        if (out.as_json) {
            out.print_json({{"status", "ok"},
                            {"code", 0},
                            {"frames", counts->frames},
                            {"bytes", counts->bytes}});
        } else {
            out.print(flow + ": " + std::to_string(counts->frames) + " frames, " +
                      std::to_string(counts->bytes) + " bytes\n");
        }
        return flowctl::kExitOk;
    }
    const auto change = api::decode_change(result);
    if (!change) {
        return out.fail(flowctl::protocol_failure("flow." + verb + ": " + change.error().message));
    }
    const model::FlowStatus flow_status = change->flow_status;
    if (change->unanswered_ms) {
        // Stored, but not known to be on the card: neither done nor failed.
        if (out.as_json) {
            out.print_json(api::to_json(*change));
        } else {
            out.print(flow + ": " + (verb == "add" ? "configured" : "unconfigured") +
                      "; outcome on the card unknown: it did not answer in " +
                      std::to_string(*change->unanswered_ms) +
                      " ms (its answer, when it comes, sets the status)\n");
        }
        return flowctl::kExitUnknown;
    }
    if (out.as_json) {
        out.print_json(
            {{"status", "ok"}, {"code", 0}, {"flow_status", model::status_name(flow_status)}});
    } else {
        const bool add = verb == "add";
        const bool pending = flow_status == model::FlowStatus::Pending;
        out.print(flow + ": " + (add ? "configured; " : "unconfigured; ") +
                  (pending ? (add ? "card down: sent when it comes up"
                                  : "card down: removed when it comes up")
                           : (add ? "applied on the card" : "removed from the card")) +
                  "\n");
    }
    return flowctl::kExitOk;
}

int cards_command(flowctl::RpcClient &client, const Output &out) {
    auto reply = client.call("cards.list", json::object());
    if (!reply) {
        return out.fail(flowctl::from_error(reply.error()), "cards");
    }
    const auto cards = api::decode_cards(*reply);
    if (!cards) {
        return out.fail(flowctl::protocol_failure("cards.list: " + cards.error().message));
    }
    if (out.as_json) {
        out.print_json(flowctl::cards_json(*cards));
    } else {
        out.print(flowctl::cards_table(*cards));
    }
    return flowctl::kExitOk;
}

std::optional<api::TrafficParams> traffic_params(const std::string &slot_text,
                                                 const std::string &action, Failure *failure) {
    using card_protocol::TrafficAction;
    const std::optional<uint32_t> slot = parse_slot(slot_text, failure);
    if (!slot) {
        return std::nullopt;
    }
    api::TrafficParams params{*slot, TrafficAction::Pause, 0};
    if (action == "pause") {
        params.action = TrafficAction::Pause;
    } else if (action == "resume") {
        params.action = TrafficAction::Resume;
    } else if (const auto pps = model::parse_number(action); pps && *pps <= UINT32_MAX) {
        params.action = TrafficAction::Rate;
        params.pps = *pps;
    } else {
        *failure = flowctl::bad_arguments(
            "traffic: expected pause, resume or a rate in frames per second, not '" + action + "'");
        return std::nullopt;
    }
    return params;
}

int traffic_command(flowctl::RpcClient &client, const Output &out,
                    const api::TrafficParams &params) {
    auto reply = client.call("card.traffic", api::to_json(params));
    if (!reply) {
        return out.fail(flowctl::from_error(reply.error()),
                        "traffic slot " + std::to_string(params.slot));
    }
    const auto card = api::decode_card(*reply);
    if (!card) {
        return out.fail(flowctl::protocol_failure("card.traffic: " + card.error().message));
    }
    if (out.as_json) {
        out.print_json({{"card", flowctl::card_json(*card)}});
    } else {
        out.print(flowctl::card_line(*card));
    }
    return flowctl::kExitOk;
}

struct ShowArgs {
    std::vector<std::string> slots;
    std::string type;
    std::string vsan;
    std::string format;
    bool raw = false;
};

// flow.show's params from the filters; false with *failure for a bad one.
// Slots go as given: the supervisor sorts them.
bool show_params(const ShowArgs &args, api::ShowParams *params, Failure *failure) {
    *params = api::ShowParams{};
    if (!args.slots.empty()) {
        params->slots.emplace();
        for (const std::string &s : args.slots) {
            const std::optional<uint32_t> slot = parse_slot(s, failure);
            if (!slot) {
                return false;
            }
            params->slots->push_back(*slot);
        }
    }
    if (!args.type.empty()) {
        params->type = model::parse_type(args.type); // the command line admits only types
    }
    if (!args.vsan.empty()) {
        const std::optional<uint64_t> v = model::parse_number(args.vsan);
        if (!v || *v < model::kMinVsan || *v > model::kMaxVsan) {
            *failure = flowctl::bad_arguments("--vsan '" + args.vsan + "' is not " +
                                              std::to_string(model::kMinVsan) + ".." +
                                              std::to_string(model::kMaxVsan));
            return false;
        }
        params->vsan = static_cast<uint32_t>(*v);
    }
    return true;
}

int raw_displays(flowctl::RpcClient &client, const Output &out, const api::ShowParams &params) {
    std::vector<uint32_t> slots;
    if (params.slots) {
        slots = *params.slots;
    } else {
        // Every card that can answer.
        auto reply = client.call("cards.list", json::object());
        if (!reply) {
            return out.fail(flowctl::from_error(reply.error()), "show --raw");
        }
        const auto cards = api::decode_cards(*reply);
        if (!cards) {
            return out.fail(flowctl::protocol_failure("cards.list: " + cards.error().message));
        }
        for (const flowctl::Card &c : *cards) {
            if (c.state != model::CardState::Down) {
                slots.push_back(c.slot);
            }
        }
    }
    json displays = json::array();
    for (const uint32_t slot : slots) {
        auto reply = client.call("card.display", api::to_json(api::SlotParams{slot}));
        if (!reply) {
            return out.fail(flowctl::from_error(reply.error()),
                            "show --raw slot " + std::to_string(slot));
        }
        auto display = api::decode_display(*reply);
        if (!display) {
            return out.fail(flowctl::protocol_failure("card.display: " + display.error().message));
        }
        display->slot = slot;
        if (out.as_json) {
            displays.push_back(api::to_json(*display));
        } else {
            if (slots.size() > 1) {
                out.print("== slot " + std::to_string(slot) + " (" +
                          std::to_string(display->chunks) + " chunks) ==\n");
            }
            out.print(display->text);
        }
    }
    if (out.as_json) {
        out.print_json(json{{"displays", displays}});
    }
    return flowctl::kExitOk;
}

int show_command(flowctl::RpcClient &client, const Output &out, const ShowArgs &args,
                 const api::ShowParams &params) {
    if (args.raw) {
        return raw_displays(client, out, params);
    }
    auto reply = client.call("flow.show", api::to_json(params));
    if (!reply) {
        return out.fail(flowctl::from_error(reply.error()), "show");
    }
    const auto snapshot = api::decode_show(*reply);
    if (!snapshot) {
        return out.fail(flowctl::protocol_failure("flow.show: " + snapshot.error().message));
    }
    const std::string format = !args.format.empty() ? args.format : out.as_json ? "json" : "table";
    if (format == "json") {
        out.print_json(flowctl::flows_json(*snapshot));
    } else if (format == "prometheus") {
        out.print(flowctl::flows_prometheus(*snapshot));
    } else {
        out.print(flowctl::flows_table(*snapshot) + flowctl::flows_footnotes(*snapshot));
    }
    return flowctl::kExitOk;
}

} // namespace

int main(int argc, char **argv) {
    // Known before parsing, so that a usage error is reported as JSON too.
    Output out;
    for (int i = 1; i < argc; ++i) {
        out.as_json = out.as_json || std::strcmp(argv[i], "--json") == 0;
    }

    CLI::App app{"flowctl: the flow supervisor's operator tool", "flowctl"};
    std::string control = kDefaultControl;
    bool json_flag = false;
    app.add_option("--control", control,
                   "the supervisor's control socket: unix:PATH or "
                   "tcp:HOST:PORT")
        ->capture_default_str();
    app.add_flag("--json", json_flag, "print JSON (docs/flowctl.md has the schema)");
    unsigned timeout_ms = static_cast<unsigned>(flowctl::kReplyTimeout.count());
    app.add_option("--timeout", timeout_ms, "milliseconds to wait for each answer")
        ->check(CLI::Range(1u, 3600000u))
        ->capture_default_str();
    app.require_subcommand(1, 1);
    app.fallthrough(); // --control and --json after the command too

    app.add_subcommand("cards", "the line cards: state, flows, counters, traffic, uptime");

    const char *kFlowHelp = "vsan V | domain V SID DID | exact V SID DID";
    FlowArgs flow_args[3];
    const char *kVerbs[3] = {"add", "del", "get"};
    const char *kVerbHelp[3] = {"configure a flow on a slot", "unconfigure a flow on a slot",
                                "the total of a flow: frames and bytes"};
    CLI::App *flow_subs[3];
    for (int i = 0; i < 3; ++i) {
        flow_subs[i] = app.add_subcommand(kVerbs[i], kVerbHelp[i]);
        flow_subs[i]
            ->add_option("slot", flow_args[i].slot,
                         "the line card's slot, " + std::to_string(kMinSlot) + ".." +
                             std::to_string(kMaxSlot))
            ->required();
        flow_subs[i]->add_option("flow", flow_args[i].words, kFlowHelp)->required()->expected(2, 4);
    }

    const std::vector<std::string> kTypeNames = {model::type_name(model::FlowType::Vsan),
                                                 model::type_name(model::FlowType::Domain),
                                                 model::type_name(model::FlowType::Exact)};
    ShowArgs show_args;
    CLI::App *show =
        app.add_subcommand("show", "every flow with its total, from the cards' displays");
    show->add_option("slots", show_args.slots, "slots (default: all)");
    show->add_option("--type", show_args.type, "only flows of this type")
        ->check(CLI::IsMember(kTypeNames));
    show->add_option("--vsan", show_args.vsan, "only flows of this VSAN");
    show->add_option("--format", show_args.format, "table (default), json or prometheus")
        ->check(CLI::IsMember({"table", "json", "prometheus"}));
    show->add_flag("--raw", show_args.raw, "the library's own display text of each slot");

    std::string traffic_slot;
    std::string traffic_action;
    CLI::App *traffic =
        app.add_subcommand("traffic", "simulation control: the simulated card's traffic generator");
    traffic->add_option("slot", traffic_slot, "the line card's slot")->required();
    traffic->add_option("action", traffic_action, "pause, resume, or frames per second")
        ->required();

    ShowArgs watch_args;
    double interval_s = 2.0;
    long count = 0;
    CLI::App *watch = app.add_subcommand("watch", "show, refreshed, with frames/s and bytes/s");
    watch->add_option("slots", watch_args.slots, "slots (default: all)");
    watch->add_option("--type", watch_args.type, "only flows of this type")
        ->check(CLI::IsMember(kTypeNames));
    watch->add_option("--vsan", watch_args.vsan, "only flows of this VSAN");
    watch->add_option("--interval", interval_s, "seconds between refreshes")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 86400.0));
    CLI::Option *count_opt = watch->add_option("--count", count, "stop after N refreshes")
                                 ->check(CLI::Range(1L, 1000000000L));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            return app.exit(e); // --help
        }
        if (out.as_json) {
            return out.fail(flowctl::bad_arguments(e.what()));
        }
        app.exit(e);
        return flowctl::kExitBadArguments;
    }
    out.as_json = json_flag;

    // Arguments are checked before connecting, so that a usage error never
    // depends on the supervisor.
    api::ShowParams params;
    Failure failure;
    std::optional<FlowRequest> flow;
    int verb = -1;
    for (int i = 0; i < 3; ++i) {
        if (flow_subs[i]->parsed()) {
            verb = i;
            flow = flow_request(flow_args[i], &failure);
        }
    }
    std::optional<api::TrafficParams> traffic_request;
    if (traffic->parsed()) {
        traffic_request = traffic_params(traffic_slot, traffic_action, &failure);
    }
    if ((verb >= 0 && !flow) || (traffic->parsed() && !traffic_request) ||
        (show->parsed() && !show_params(show_args, &params, &failure)) ||
        (watch->parsed() && !show_params(watch_args, &params, &failure))) {
        return out.fail(failure);
    }

    flowctl::RpcClient client;
    client.set_reply_timeout(std::chrono::milliseconds(timeout_ms));
    if (!client.connect(control, &failure)) {
        return out.fail(failure);
    }
    if (flow) {
        return flow_command(client, out, kVerbs[verb], *flow);
    }
    if (show->parsed()) {
        return show_command(client, out, show_args, params);
    }
    if (traffic_request) {
        return traffic_command(client, out, *traffic_request);
    }
    if (watch->parsed()) {
        flowctl::WatchOptions options;
        options.show_params = api::to_json(params);
        options.interval_s = interval_s;
        if (count_opt->count() > 0) {
            options.count = count;
        }
        options.json_lines = out.as_json;
        options.terminal = !out.as_json && ::isatty(STDOUT_FILENO) != 0;
        if (const model::Status watched = flowctl::run_watch(client, options); !watched) {
            return out.fail(flowctl::from_error(watched.error()), "watch");
        }
        return flowctl::kExitOk;
    }
    return cards_command(client, out);
}
