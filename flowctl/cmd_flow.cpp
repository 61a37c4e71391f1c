// flowctl add|del|get SLOT FLOW: one flow's configuration, or its total.

#include "commands.h"

#include "flow_key.h"

namespace flowctl {

namespace {

class FlowCommand : public Command {
public:
    explicit FlowCommand(std::string verb) : verb_(std::move(verb)) {}

    void define(CLI::App &command) override {
        command
            .add_option("slot", slot_text_,
                        "the line card's slot, " + std::to_string(card_protocol::kMinSlot) + ".." +
                            std::to_string(card_protocol::kMaxSlot))
            ->required();
        // One to four words: the word count is the flow's to check, and a
        // range here would show as "x 2" in the help.
        command.add_option("flow", words_, "the flow: vsan V | domain V SID DID | exact V SID DID")
            ->required()
            ->expected(1, 4)
            ->type_name("FLOW");
        if (verb_ == "add") {
            command.add_option("--name", name_,
                               "a label for the flow: 1 to 64 letters, digits or . _ : / -");
        } else if (verb_ == "get") {
            command.add_flag("--since-boot", since_boot_,
                             "the total since the card's boot, not since the flow's clear");
        }
        command.footer(flow_forms_help(verb_));
    }

    bool check(const Output &, Failure *failure) override {
        const std::optional<uint32_t> slot = parse_slot(slot_text_, failure);
        if (!slot) {
            return false;
        }
        std::string error;
        const std::optional<model::FlowKey> key = model::parse_flow_words(words_, &error);
        if (!key) {
            *failure = bad_arguments(error);
            return false;
        }
        if (!name_.empty() && !model::is_flow_name(name_)) {
            *failure = bad_arguments("--name '" + name_ +
                                     "': 1 to 64 letters, digits or . _ : / - are allowed");
            return false;
        }
        request_ = api::FlowParams{*slot, *key, name_};
        return true;
    }

    int run(RpcClient &client, const Output &out) override {
        const std::string flow =
            "slot " + std::to_string(request_.slot) + " " + model::to_string(request_.key);
        api::GetParams get;
        static_cast<api::FlowParams &>(get) = request_;
        get.since_boot = since_boot_;
        auto reply = client.call("flow." + verb_,
                                 verb_ == "get" ? api::to_json(get) : api::to_json(request_));
        if (!reply) {
            // A refusal is the card's answer: its status and code lead the
            // JSON, as in a successful one.
            const Failure f = from_error(reply.error());
            json extra = json::object();
            if (!f.card_code.is_null()) {
                extra = {{"status", f.status}, {"code", f.card_code}};
            }
            return out.fail(f, verb_ + " " + flow, extra);
        }
        int exit = kExitOk;
        if (verb_ == "get") {
            const auto counts = api::decode_get(*reply);
            if (!decoded(counts, "flow.get", out, &exit)) {
                return exit;
            }
            if (out.as_json()) {
                out.print_json({{"status", "ok"},
                                {"code", 0},
                                {"frames", counts->frames},
                                {"bytes", counts->bytes},
                                {"cleared", counts->cleared}});
            } else {
                out.print(flow + ": " + std::to_string(counts->frames) + " frames, " +
                          std::to_string(counts->bytes) + " bytes" +
                          (counts->cleared ? " since its clear" : "") + "\n");
            }
            return kExitOk;
        }
        const auto change = api::decode_change(*reply);
        if (!decoded(change, ("flow." + verb_).c_str(), out, &exit)) {
            return exit;
        }
        const model::FlowStatus flow_status = change->flow_status;
        if (change->unanswered_ms) {
            // Stored, but not known to be on the card: neither done nor failed.
            if (out.as_json()) {
                out.print_json(api::to_json(*change));
            } else {
                out.print(flow + ": " + (verb_ == "add" ? "configured" : "unconfigured") +
                          "; outcome on the card unknown: it did not answer in " +
                          std::to_string(*change->unanswered_ms) +
                          " ms (its answer, when it comes, sets the status)\n");
            }
            return kExitUnknown;
        }
        if (out.as_json()) {
            out.print_json(
                {{"status", "ok"}, {"code", 0}, {"flow_status", model::status_name(flow_status)}});
        } else {
            const bool add = verb_ == "add";
            const bool pending = flow_status == model::FlowStatus::Pending;
            out.print(flow + ": " + (add ? "configured; " : "unconfigured; ") +
                      (pending ? (add ? "card down: sent when it comes up"
                                      : "card down: removed when it comes up")
                               : (add ? "applied on the card" : "removed from the card")) +
                      "\n");
        }
        return kExitOk;
    }

private:
    std::string verb_;
    std::string slot_text_;
    std::vector<std::string> words_;
    std::string name_;
    bool since_boot_ = false;
    api::FlowParams request_;
};

} // namespace

void add_flow_commands(Commands &commands) {
    commands.push_back({"add", "configure a flow on a slot", std::make_unique<FlowCommand>("add")});
    commands.push_back(
        {"del", "unconfigure a flow on a slot", std::make_unique<FlowCommand>("del")});
    commands.push_back(
        {"get", "the total of a flow: frames and bytes", std::make_unique<FlowCommand>("get")});
}

} // namespace flowctl
