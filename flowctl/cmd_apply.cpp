// flowctl apply FILE|- [--slot N]... [--prune] [--dry-run], flowctl export
// [SLOT...]: flow-set files in and out (method flow.apply, flow.export).
//
// A request line is capped (jsonrpc::kMaxRequestLine), and a file for a
// whole chassis passes it. Such a file goes in parts of whole slots, in slot
// order, each under the cap; flowctl reads the file again for each part
// rather than holding it, so that its memory is one part's. A slot's lines
// alone are checked whole (a flow repeats, and a slot fills, only within its
// slot), every slot before anything is sent, and a dry run of every part
// goes first, so that a file the supervisor would refuse changes nothing.
// Each part is then its own transaction.

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "commands.h"
#include "flow_set.h"
#include "jsonrpc.h"
#include "slot_range.h"

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
    // Off the terminal's line, before other output.
    void clear() {
        if (drawn_) {
            std::fputs("\r\033[K", stderr);
            drawn_ = false;
        }
    }
    ~ProgressBar() { clear(); }

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

// The bytes text takes as a JSON string, quotes excluded.
size_t json_string_size(const std::string &text) {
    size_t size = 0;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        size +=
            (c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t' || c == '\b' || c == '\f')
                ? 2
                : (u < 0x20 ? 6 : 1);
    }
    return size;
}

// Room for a flow-set text in one request line: the cap less the request's
// other members, which take a few hundred bytes at most.
constexpr size_t kRequestTextBytes = jsonrpc::kMaxRequestLine - 4096;
// What a part is filled to: flowctl holds a part's text a few times over
// (the text, the request, the answer's diff), so parts stay small; a slot
// larger than this goes alone (65,535 lines of at most about 100 bytes fit
// one request).
constexpr size_t kPartBytes = size_t{1} << 20;

// The slot a line's first word names: nullopt for a line without words
// (blank, or a comment), 0 for one whose first word is no slot, which the
// whole file's parse then names.
std::optional<uint32_t> slot_of_line(std::string_view line) {
    line = line.substr(0, line.find('#'));
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    size_t first = 0;
    while (first < line.size() && space(line[first])) {
        ++first;
    }
    if (first == line.size()) {
        return std::nullopt;
    }
    size_t end = first;
    while (end < line.size() && !space(line[end])) {
        ++end;
    }
    const std::optional<uint64_t> slot = model::parse_number(line.substr(first, end - first));
    return slot && *slot >= model::kMinSlot && *slot <= model::kMaxSlot
               ? static_cast<uint32_t>(*slot)
               : 0;
}

std::string flow_set_text(const std::vector<model::FlowEntry> &entries) {
    std::string text;
    for (const model::FlowEntry &e : entries) {
        text += model::format_flow_entry(e.slot, e.key, e.name);
        text += '\n';
    }
    return text;
}

// The parts' results as the one request's would read: counts summed,
// changes and slots in slot order.
void merge_into(api::ApplyResult &total, const api::ApplyResult &part) {
    total.added += part.added;
    total.removed += part.removed;
    total.renamed += part.renamed;
    total.unchanged += part.unchanged;
    total.skipped += part.skipped;
    total.applied += part.applied;
    total.pending += part.pending;
    for (const auto &[name, count] : part.refused) {
        total.refused[name] += count;
    }
    total.changes += part.changes;
    total.would_refuse += part.would_refuse;
    total.slots.insert(total.slots.end(), part.slots.begin(), part.slots.end());
}

// "slot 3", "slots 1-2", "slots 1, 5-64": a part's slots, ascending.
std::string slots_text(const std::vector<uint32_t> &slots) {
    std::string text = slots.size() == 1 ? "slot " : "slots ";
    for (size_t i = 0; i < slots.size();) {
        size_t last = i;
        while (last + 1 < slots.size() && slots[last + 1] == slots[last] + 1) {
            ++last;
        }
        text += (i == 0 ? "" : ", ") + std::to_string(slots[i]) +
                (last == i ? "" : "-" + std::to_string(slots[last]));
        i = last + 1;
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
            std::ifstream in(file_, std::ios::binary | std::ios::ate);
            if (!in) {
                *failure = bad_arguments("cannot read " + file_);
                return false;
            }
            // A file past one request goes in parts, read again for each.
            large_ = static_cast<uint64_t>(in.tellg()) > kRequestTextBytes;
            in.seekg(0);
            if (!large_) {
                text << in.rdbuf();
            }
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
        draw_ = bar.shown() && !out.as_json();
        params_.progress = true;
        if (large_ || json_string_size(params_.flows) > kRequestTextBytes) {
            return run_in_parts(client, out, bar);
        }
        auto reply = call(client, params_, bar, 0);
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
            print(out, *result);
        }
        return result->refused.empty() ? kExitOk : kExitRefused;
    }

private:
    // One flow.apply; its progress drawn after base changes of earlier parts.
    model::Result<json> call(RpcClient &client, const api::ApplyParams &params, ProgressBar &bar,
                             uint64_t base) {
        return client.call("flow.apply", api::to_json(params),
                           [&bar, base, this](const std::string &method, const json &p) {
                               if (draw_ && method == api::kApplyProgress && p.is_object()) {
                                   bar.draw(base + p.value("done", uint64_t{0}),
                                            base + p.value("total", uint64_t{0}));
                               }
                           });
    }

    void print(const Output &out, const api::ApplyResult &result) const {
        out.print(result.changes + (dry_run_ ? forecast_text(result) : "") + summary(result));
    }

    // Each line of the file, without its newline; false when it cannot be
    // read again.
    bool each_line(const std::function<void(std::string_view)> &f) const {
        if (!large_) {
            std::string_view text = params_.flows;
            while (!text.empty()) {
                const size_t newline = text.find('\n');
                f(text.substr(0, newline));
                text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
            }
            return true;
        }
        std::ifstream in(file_, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            f(line);
        }
        return in.eof();
    }

    // The flows of these slots, from their lines alone.
    model::Result<std::vector<model::FlowEntry>> entries_of(const std::set<uint32_t> &slots) const {
        std::string text;
        const bool read = each_line([&](std::string_view line) {
            const std::optional<uint32_t> slot = slot_of_line(line);
            if (slot && slots.count(*slot) != 0) {
                text += line;
                text += '\n';
            }
        });
        if (!read) {
            return model::error(model::Errc::InvalidParams, "cannot read " + file_);
        }
        return model::parse_flow_set(text);
    }

    // The whole file's faults, as one request would have them named.
    int fail_whole(const Output &out) const {
        std::string text;
        each_line([&text](std::string_view line) {
            text += line;
            text += '\n';
        });
        const auto whole = model::parse_flow_set(text);
        return out.fail(
            from_error(whole ? model::error(model::Errc::InvalidParams, "changed while read")
                             : whole.error()),
            "apply " + file_);
    }

    // The file checked slot by slot, then sent in parts of whole slots: all
    // as dry runs first, then (unless --dry-run) for real. Text output is
    // written part by part; the summary and JSON read as one request's.
    int run_in_parts(RpcClient &client, const Output &out, ProgressBar &bar) {
        std::map<uint32_t, uint64_t> lines; // by slot; 0: lines naming none
        if (!each_line([&lines](std::string_view line) {
                if (const std::optional<uint32_t> slot = slot_of_line(line)) {
                    ++lines[*slot];
                }
            })) {
            return out.fail(bad_arguments("cannot read " + file_));
        }
        if (lines.count(0) != 0) {
            return fail_whole(out);
        }
        // Each slot checked whole, and the bytes its part of a request takes.
        std::map<uint32_t, size_t> bytes;
        for (const auto &[slot, count] : lines) {
            const auto entries = entries_of({slot});
            if (!entries) {
                return fail_whole(out);
            }
            bytes[slot] = json_string_size(flow_set_text(*entries));
        }
        std::set<uint32_t> scope;
        if (params_.slots) {
            scope.insert(params_.slots->begin(), params_.slots->end());
        } else if (prune_) {
            for (uint32_t slot = model::kMinSlot; slot <= model::kMaxSlot; ++slot) {
                scope.insert(slot);
            }
        } else {
            for (const auto &[slot, count] : lines) {
                scope.insert(slot);
            }
        }
        api::ApplyResult skipped;
        for (const auto &[slot, count] : lines) {
            skipped.skipped += scope.count(slot) == 0 ? count : 0;
        }
        // Whole slots in order, packed to kPartBytes.
        std::vector<std::set<uint32_t>> parts(1);
        size_t part_bytes = 0;
        for (const uint32_t slot : scope) {
            const size_t size = bytes.count(slot) == 0 ? 0 : bytes[slot];
            if (!parts.back().empty() && part_bytes + size > kPartBytes) {
                parts.emplace_back();
                part_bytes = 0;
            }
            parts.back().insert(slot);
            part_bytes += size;
        }
        api::ApplyResult total;
        for (const bool dry : {true, false}) {
            const bool last = dry == dry_run_;
            total = skipped;
            total.dry_run = dry;
            for (size_t i = 0; i < parts.size(); ++i) {
                const std::vector<uint32_t> slots(parts[i].begin(), parts[i].end());
                const std::string context =
                    "apply " + file_ + ", " + slots_text(slots) +
                    (dry || i == 0 ? "" : " (the slots before them are applied)");
                api::ApplyParams params{{}, slots, prune_, dry, true};
                if (auto entries = entries_of(parts[i])) {
                    params.flows = flow_set_text(*entries);
                } else {
                    return out.fail(from_error(entries.error()), context);
                }
                auto reply = call(client, params, bar, total.added + total.removed);
                if (!reply) {
                    return out.fail(from_error(reply.error()), context);
                }
                auto result = api::decode_apply(*reply);
                if (!result) {
                    return out.fail(protocol_failure("flow.apply: " + result.error().message),
                                    context);
                }
                if (!last || !out.as_json()) {
                    if (last) {
                        bar.clear();
                        out.print(result->changes);
                    }
                    result->changes.clear();
                }
                merge_into(total, *result);
            }
            if (last) {
                break;
            }
        }
        if (out.as_json()) {
            out.print_json(api::to_json(total));
        } else {
            out.print((dry_run_ ? forecast_text(total) : "") + summary(total));
        }
        return total.refused.empty() ? kExitOk : kExitRefused;
    }

    std::string file_;
    std::vector<std::string> slots_;
    bool prune_ = false, dry_run_ = false;
    bool draw_ = false;
    bool large_ = false; // read again for each part, never held whole
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
