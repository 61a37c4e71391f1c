// flowctl audit [--since TIME]: the supervisor's audit trail of changes.

#include <chrono>

#include "commands.h"

namespace flowctl {

namespace {

uint64_t now_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

class AuditCommand : public Command {
public:
    void define(CLI::App &command) override {
        command.add_option("--since", since_text_,
                           "from this time: ISO 8601 UTC (2026-12-06T21:00:00Z) or back from "
                           "now (30s, 10m, 2h, 1d)");
        command.add_option("--limit", params_.limit, "at most this many entries, the newest")
            ->check(CLI::Range(uint32_t{1}, api::kMaxAuditList))
            ->capture_default_str();
        command.footer("Example:\n  flowctl audit --since 1h\n");
    }

    bool check(const Output &, Failure *failure) override {
        if (since_text_.empty()) {
            return true;
        }
        const std::optional<uint64_t> since = parse_since(since_text_, now_ms());
        if (!since) {
            *failure = bad_arguments("audit --since: expected an ISO 8601 UTC time or 30s, 10m, "
                                     "2h, 1d, not '" +
                                     since_text_ + "'");
            return false;
        }
        params_.since_ms = *since;
        return true;
    }

    int run(RpcClient &client, const Output &out) override {
        auto reply = client.call("audit.list", api::to_json(params_));
        if (!reply) {
            return out.fail(from_error(reply.error()), "audit");
        }
        const auto entries = api::decode_audit(*reply);
        int exit = kExitOk;
        if (!decoded(entries, "audit.list", out, &exit)) {
            return exit;
        }
        if (out.as_json()) {
            out.print_json(api::to_json(*entries));
        } else {
            out.print(audit_table(*entries));
        }
        return kExitOk;
    }

private:
    std::string since_text_;
    api::AuditParams params_;
};

} // namespace

void add_audit_commands(Commands &commands) {
    commands.push_back({"audit", "the audit trail: every change, who made it, when, its result",
                        std::make_unique<AuditCommand>()});
}

} // namespace flowctl
