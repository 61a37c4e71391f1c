// flowctl apply FILE|- [--slot N]... [--prune] [--dry-run], flowctl export
// [SLOT...]: flow-set files in and out (method flow.apply, flow.export).

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "commands.h"

namespace flowctl {

namespace {

// A bar on standard error, redrawn in place; only on a terminal.
class ProgressBar {
public:
    ProgressBar() : shown_(isatty(STDERR_FILENO) == 1) {}
    bool shown() const { return shown_; }
    void draw(uint64_t done, uint64_t total) {
        constexpr int kWidth = 40;
        const int filled = total == 0 ? kWidth : static_cast<int>(kWidth * done / total);
        std::fprintf(stderr, "\r[%s%s] %llu/%llu", std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, '.').c_str(),
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
        drawn_ = true;
    }
    ~ProgressBar() {
        if (drawn_) {
            std::fputs("\r\033[K", stderr);
        }
    }

private:
    bool shown_;
    bool drawn_ = false;
};

std::string counts_text(const std::map<std::string, uint64_t> &refused) {
    uint64_t total = 0;
    std::string by_reason;
    for (const auto &[name, count] : refused) {
        total += count;
        by_reason += (by_reason.empty() ? "" : ", ") + name + " " + std::to_string(count);
    }
    return std::to_string(total) + " refused" + (by_reason.empty() ? "" : " (" + by_reason + ")");
}

std::string summary(const api::ApplyResult &r) {
    if (r.dry_run) {
        return "dry run: would add " + std::to_string(r.added) + ", remove " +
               std::to_string(r.removed) + ", rename " + std::to_string(r.renamed) + "; " +
               std::to_string(r.unchanged) + " unchanged, " + std::to_string(r.skipped) +
               " outside the slots in scope\n";
    }
    return "added " + std::to_string(r.added) + ", removed " + std::to_string(r.removed) +
           ", renamed " + std::to_string(r.renamed) + ", unchanged " + std::to_string(r.unchanged) +
           ", skipped " + std::to_string(r.skipped) +
           "; on the cards: " + std::to_string(r.applied) + " done, " + std::to_string(r.pending) +
           " pending, " + counts_text(r.refused) + "\n";
}

// Per slot: the counters the resulting set needs against the card's.
std::string forecast_text(const api::ApplyResult &r) {
    std::string text;
    for (const api::ApplySlot &s : r.slots) {
        text += "slot " + std::to_string(s.slot) + ": " +
                (s.flows == 1 ? "1 flow needs 1 counter; "
                              : std::to_string(s.flows) + " flows need " + std::to_string(s.flows) +
                                    " counters; ");
        if (!s.counters) {
            text += "card " + std::string(model::state_name(s.state)) + ", its counters unknown\n";
            continue;
        }
        const uint64_t free = *s.counters > s.held ? *s.counters - s.held : 0;
        text += "the card has " + std::to_string(*s.counters) + " (" + std::to_string(s.held) +
                " held by flows that stay, " + std::to_string(free) + " free)";
        text += s.would_refuse == 0 ? "\n"
                                    : ": " + std::to_string(s.would_refuse) + " would be refused\n";
    }
    if (!r.would_refuse.empty()) {
        text += "would be refused (COUNTERS_EXHAUSTED):\n" + r.would_refuse;
    }
    return text;
}

class ApplyCommand : public Command {
public:
    void define(CLI::App &command) override {
        command.add_option("file", file_, "a flow-set file (docs/flowctl.md), - for stdin")
            ->required();
        command.add_option("--slot", slots_,
                           "only these slots (repeatable; default: the "
                           "file's, or every slot with --prune)");
        command.add_flag("--prune", prune_, "remove configured flows in scope not in the file");
        command.add_flag("--dry-run", dry_run_,
                         "show the difference and the counters it needs; change nothing");
        command.footer("File lines: SLOT vsan V | SLOT domain V SID DID | SLOT exact V SID DID,\n"
                       "each with an optional name=LABEL; # starts a comment.\n"
                       "Example:\n  flowctl export > flows.txt\n"
                       "  flowctl apply --prune --dry-run flows.txt\n");
    }

    bool check(const Output &, Failure *failure) override {
        if (!parse_slots(slots_, &params_.slots, failure)) {
            return false;
        }
        std::ostringstream text;
        if (file_ == "-") {
            text << std::cin.rdbuf();
        } else {
            std::ifstream in(file_, std::ios::binary);
            if (!in) {
                *failure = bad_arguments("cannot read " + file_);
                return false;
            }
            text << in.rdbuf();
        }
        params_.flows = text.str();
        params_.prune = prune_;
        params_.dry_run = dry_run_;
        return true;
    }

    int run(RpcClient &client, const Output &out) override {
        // Progress is always asked for: each notice moves --timeout's
        // deadline, so a long apply that advances is never given up on. The
        // bar is drawn only on a terminal.
        ProgressBar bar;
        const bool draw = bar.shown() && !out.as_json();
        params_.progress = true;
        auto reply = client.call("flow.apply", api::to_json(params_),
                                 [&bar, draw](const std::string &method, const json &p) {
                                     if (draw && method == api::kApplyProgress && p.is_object()) {
                                         bar.draw(p.value("done", uint64_t{0}),
                                                  p.value("total", uint64_t{0}));
                                     }
                                 });
        if (!reply) {
            return out.fail(from_error(reply.error()), "apply " + file_);
        }
        auto result = api::decode_apply(*reply);
        int exit = kExitOk;
        if (!decoded(result, "flow.apply", out, &exit)) {
            return exit;
        }
        if (out.as_json()) {
            out.print_json(*reply);
        } else {
            out.print(result->changes + (dry_run_ ? forecast_text(*result) : "") +
                      summary(*result));
        }
        return result->refused.empty() ? kExitOk : kExitRefused;
    }

private:
    std::string file_;
    std::vector<std::string> slots_;
    bool prune_ = false, dry_run_ = false;
    api::ApplyParams params_;
};

class ExportCommand : public Command {
public:
    void define(CLI::App &command) override {
        command.add_option("slots", slots_, "slots (default: every slot with flows)");
        command.footer("Example:\n  flowctl export 1 2 > flows.txt\n");
    }

    bool check(const Output &, Failure *failure) override {
        return parse_slots(slots_, &params_.slots, failure);
    }

    int run(RpcClient &client, const Output &out) override {
        auto reply = client.call("flow.export", api::to_json(params_));
        if (!reply) {
            return out.fail(from_error(reply.error()), "export");
        }
        if (!reply->is_object() || !reply->contains("text") || !(*reply)["text"].is_string()) {
            return out.fail(protocol_failure("flow.export: the result has no text"));
        }
        if (out.as_json()) {
            out.print_json(*reply);
        } else {
            out.print((*reply)["text"].get<std::string>());
        }
        return kExitOk;
    }

private:
    std::vector<std::string> slots_;
    api::ExportParams params_;
};

} // namespace

void add_apply_commands(Commands &commands) {
    commands.push_back({"apply", "make the configuration a flow-set file's: diff, commit, send",
                        std::make_unique<ApplyCommand>()});
    commands.push_back(
        {"export", "the configuration as a flow-set file", std::make_unique<ExportCommand>()});
}

} // namespace flowctl
