// Flow-set files (see flow_set.h). One pass over the text cuts lines and
// words as string_views (no regex, no copy of a line), then one sort finds the
// repeated flows; a file of 65,535 flows parses in a few milliseconds.
#include "flow_set.h"

#include <algorithm>
#include <array>
#include <utility>

namespace model {

namespace {

// SLOT, four key words and a name.
constexpr size_t kMaxWords = 6;
constexpr std::string_view kNamePrefix = "name=";

struct Fault {
    uint32_t line;
    std::string why;
};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The words of one line, comment excluded; false when there are more than
// fit (the line is then wrong whatever they are).
bool split_words(std::string_view line, std::array<std::string_view, kMaxWords> &words,
                 size_t &count) {
    if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
        line = line.substr(0, hash);
    }
    count = 0;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && !is_space(line[i])) {
            ++i;
        }
        if (i == start) {
            break;
        }
        if (count == kMaxWords) {
            return false;
        }
        words[count++] = line.substr(start, i - start);
    }
    return true;
}

std::string quoted(std::string_view word) {
    // Enough of a wrong word to recognise it, not a screenful.
    constexpr size_t kShown = 40;
    std::string text = "'" + std::string(word.substr(0, kShown));
    return text + (word.size() > kShown ? "...'" : "'");
}

// One line's flow into *entry, or why not.
std::optional<std::string> parse_line(std::span<const std::string_view> words, FlowEntry *entry) {
    const std::optional<uint64_t> slot = parse_number(words[0]);
    if (!slot || *slot < kMinSlot || *slot > kMaxSlot) {
        return "slot " + quoted(words[0]) + " is not " + std::to_string(kMinSlot) + ".." +
               std::to_string(kMaxSlot);
    }
    entry->slot = static_cast<uint32_t>(*slot);
    std::array<std::string_view, kMaxWords> key_words;
    size_t key_count = 0;
    bool named = false;
    for (const std::string_view word : words.subspan(1)) {
        if (!word.starts_with(kNamePrefix)) {
            key_words[key_count++] = word;
            continue;
        }
        if (named) {
            return std::string("name given twice");
        }
        named = true;
        const std::string_view name = word.substr(kNamePrefix.size());
        if (!is_flow_name(name)) {
            return "name " + quoted(name) + " is not 1.." + std::to_string(kMaxFlowName) +
                   " characters of A-Z a-z 0-9 . _ : / -";
        }
        entry->name = std::string(name);
    }
    std::string why;
    const std::optional<FlowKey> key =
        parse_flow_words(std::span<const std::string_view>(key_words.data(), key_count), &why);
    if (!key) {
        return why;
    }
    entry->key = *key;
    return std::nullopt;
}

// Repeated flows and over-full slots, over a set whose lines each parsed.
void check_set(const std::vector<FlowEntry> &entries, std::vector<Fault> &faults) {
    std::vector<uint32_t> order(entries.size());
    for (uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    // By flow, then by position: the first line of a flow is the one kept.
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const FlowEntry &x = entries[a];
        const FlowEntry &y = entries[b];
        if (x.slot != y.slot) {
            return x.slot < y.slot;
        }
        if (const auto c = x.key <=> y.key; c != 0) {
            return c < 0;
        }
        return a < b;
    });
    std::vector<bool> repeated(entries.size(), false);
    const FlowEntry *first = nullptr; // of the flow at hand
    for (const uint32_t i : order) {
        const FlowEntry &e = entries[i];
        if (first == nullptr || first->slot != e.slot || first->key != e.key) {
            first = &e;
            continue;
        }
        repeated[i] = true;
        faults.push_back({e.line, "slot " + std::to_string(e.slot) + " " + to_string(e.key) +
                                      " repeats line " + std::to_string(first->line)});
    }
    std::array<size_t, kMaxSlot + 1> flows{};
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!repeated[i] && ++flows[entries[i].slot] == kMaxFlowsPerSlot + 1) {
            faults.push_back({entries[i].line, "slot " + std::to_string(entries[i].slot) +
                                                   " has more than " +
                                                   std::to_string(kMaxFlowsPerSlot) + " flows"});
        }
    }
}

Error set_error(std::vector<Fault> &faults) {
    std::stable_sort(faults.begin(), faults.end(),
                     [](const Fault &a, const Fault &b) { return a.line < b.line; });
    std::string message;
    const size_t shown = std::min(faults.size(), kMaxReportedErrors);
    for (size_t i = 0; i < shown; ++i) {
        if (i > 0) {
            message += '\n';
        }
        message += "line " + std::to_string(faults[i].line) + ": " + faults[i].why;
    }
    if (faults.size() > shown) {
        message += "\n... and " + std::to_string(faults.size() - shown) + " more errors";
    }
    return error(Errc::InvalidParams, std::move(message));
}

} // namespace

Result<std::vector<FlowEntry>> parse_flow_set(std::string_view text) {
    std::vector<FlowEntry> entries;
    std::vector<Fault> faults;
    uint32_t line_number = 0;
    std::array<std::string_view, kMaxWords> words;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        ++line_number;
        size_t count = 0;
        if (!split_words(line, words, count)) {
            faults.push_back({line_number, "too many words; expected: SLOT vsan V | SLOT domain V "
                                           "SID DID | SLOT exact V SID DID, then name=LABEL"});
            continue;
        }
        if (count == 0) {
            continue;
        }
        FlowEntry entry;
        entry.line = line_number;
        if (auto why = parse_line(std::span<const std::string_view>(words.data(), count), &entry)) {
            faults.push_back({line_number, std::move(*why)});
            continue;
        }
        entries.push_back(std::move(entry));
    }
    check_set(entries, faults);
    if (!faults.empty()) {
        return set_error(faults);
    }
    return entries;
}

std::string format_flow_entry(uint32_t slot, const FlowKey &key, std::string_view name) {
    std::string text = std::to_string(slot) + ' ' + to_string(key);
    if (!name.empty()) {
        text += ' ';
        text += kNamePrefix;
        text += name;
    }
    return text;
}

std::string write_flow_set(std::span<const FlowEntry> entries) {
    std::vector<const FlowEntry *> order;
    order.reserve(entries.size());
    for (const FlowEntry &e : entries) {
        order.push_back(&e);
    }
    std::stable_sort(order.begin(), order.end(), [](const FlowEntry *a, const FlowEntry *b) {
        return a->slot != b->slot ? a->slot < b->slot : a->key < b->key;
    });
    std::string text;
    // "64 exact 4095 0x010000 0x020000 name=" and a label at most.
    text.reserve(entries.size() * 40);
    for (const FlowEntry *e : order) {
        text += format_flow_entry(e->slot, e->key, e->name);
        text += '\n';
    }
    return text;
}

} // namespace model
