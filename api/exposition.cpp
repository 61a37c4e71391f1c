// The Prometheus text exposition of flows and cards (exposition.h).

#include "exposition.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <tuple>

#include "status.h"

namespace api {

void Exposition::family(const char *name, const char *type, const char *help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
}

void Exposition::sample(std::string_view name, std::string_view labels, uint64_t value) {
    out_ += name;
    if (!labels.empty()) {
        out_ += '{';
        out_ += labels;
        out_ += '}';
    }
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_ += ' ';
    out_.append(digits, end);
    out_ += '\n';
}

void Exposition::sample(std::string_view name, std::string_view labels, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    out_ += name;
    if (!labels.empty()) {
        out_ += '{';
        out_ += labels;
        out_ += '}';
    }
    out_ += ' ';
    out_ += text;
    out_ += '\n';
}

// ---- Prometheus ---------------------------------------------------------------------

std::string prometheus_escape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

namespace {

std::string slot_label(uint32_t slot) {
    return "slot=\"" + std::to_string(slot) + "\"";
}

// Appends a flow's labels: a full table has 65,535 flows, each written twice.
void append_flow_labels(std::string &out, const ShowFlow &f) {
    out += "slot=\"";
    out += std::to_string(f.slot);
    out += "\",type=\"";
    out += model::type_name(f.key.type);
    out += "\",vsan=\"";
    out += std::to_string(f.key.vsan);
    out += "\",sid=\"";
    out += model::fcid_hex(f.key.sid);
    out += "\",did=\"";
    out += model::fcid_hex(f.key.did);
    out += '"';
    if (!f.name.empty()) {
        out += ",name=\"";
        out += prometheus_escape(f.name);
        out += '"';
    }
}

} // namespace

std::string flows_prometheus(const ShowResult &snapshot) {
    struct Slot {
        bool complete = true;
        uint64_t omitted = 0;
    };
    std::map<uint32_t, Slot> slots;
    std::map<uint32_t, model::CardState> states;
    for (const ShowCard &c : snapshot.cards) {
        slots[c.slot].complete = c.complete && c.state != model::CardState::Down && !c.error;
        states[c.slot] = c.state;
    }
    // Refused and pending flows by (slot, status, reason): not a failed
    // read, so they leave snapshot_complete alone.
    std::map<std::tuple<uint32_t, std::string, std::string>, uint64_t> waiting;
    std::vector<const ShowFlow *> exported;
    for (const ShowFlow &f : snapshot.flows) {
        Slot &slot = slots[f.slot];
        if (f.counter && f.complete) {
            exported.push_back(&f);
        } else if (f.status == model::FlowStatus::Refused) {
            ++waiting[{f.slot, "refused", model::status_name(f.code)}];
        } else if (f.status == model::FlowStatus::Pending) {
            const auto state = states.find(f.slot);
            const std::string reason =
                std::string("card_") +
                model::state_name(state == states.end() ? model::CardState::Down : state->second);
            ++waiting[{f.slot, "pending", reason}];
        } else {
            // The card holds it (or did, if it is down) and it was not read.
            slot.complete = false;
            ++slot.omitted;
        }
    }
    // Each flow's labels once, for both families.
    std::string labels;
    std::vector<size_t> ends;
    labels.reserve(exported.size() * 80);
    ends.reserve(exported.size());
    for (const ShowFlow *f : exported) {
        append_flow_labels(labels, *f);
        ends.push_back(labels.size());
    }
    const auto labels_of = [&](size_t i) {
        const size_t start = i == 0 ? 0 : ends[i - 1];
        return std::string_view(labels).substr(start, ends[i] - start);
    };
    Exposition out;
    out.reserve(2 * (labels.size() + exported.size() * 48) + 4096);
    out.family(kFramesMetric, "counter",
               "Frames of the flow since it was created on its line card (exact totals only).");
    for (size_t i = 0; i < exported.size(); ++i) {
        out.sample(kFramesMetric, labels_of(i), exported[i]->frames);
    }
    out.family(kBytesMetric, "counter",
               "Bytes of the flow since it was created on its line card (exact totals only).");
    for (size_t i = 0; i < exported.size(); ++i) {
        out.sample(kBytesMetric, labels_of(i), exported[i]->bytes);
    }
    out.family(kCompleteMetric, "gauge",
               "1 when every flow the slot's card holds was read in this snapshot, else 0.");
    for (const auto &[slot, state] : slots) {
        out.sample(kCompleteMetric, slot_label(slot), uint64_t{state.complete ? 1u : 0u});
    }
    out.family(kOmittedMetric, "gauge",
               "Flows the slot's card holds that have no exact total in this snapshot.");
    for (const auto &[slot, state] : slots) {
        out.sample(kOmittedMetric, slot_label(slot), state.omitted);
    }
    out.family(kConfiguredMetric, "gauge",
               "Configured flows the card does not hold, by status (refused, pending) and reason.");
    for (const auto &[key, count] : waiting) {
        const auto &[slot, status, reason] = key;
        out.sample(kConfiguredMetric,
                   slot_label(slot) + ",status=\"" + status + "\",reason=\"" +
                       prometheus_escape(reason) + "\"",
                   count);
    }
    return out.take();
}

std::string cards_prometheus(const std::vector<CardInfo> &cards) {
    Exposition out;
    out.family(kCardStateMetric, "gauge",
               "1 for the card's current state (down, replaying, ready), 0 for the others.");
    for (const CardInfo &c : cards) {
        for (const model::CardState s :
             {model::CardState::Down, model::CardState::Replaying, model::CardState::Ready}) {
            out.sample(kCardStateMetric,
                       slot_label(c.slot) + ",state=\"" + model::state_name(s) + "\"",
                       uint64_t{c.state == s ? 1u : 0u});
        }
    }
    // What only a card that is up can say; a down card has no sample.
    struct Gauge {
        const char *name;
        const char *help;
        std::optional<uint64_t> (*value)(const CardInfo &);
    };
    const Gauge gauges[] = {
        {kCountersUsedMetric, "Counters the card has handed out.",
         [](const CardInfo &c) { return c.counters_used; }},
        {kCountersFreeMetric, "Counters of the card's range not handed out.",
         [](const CardInfo &c) -> std::optional<uint64_t> {
             if (!c.counters_used || !c.counter_first || !c.counter_size) {
                 return std::nullopt;
             }
             // The range is first..size-1.
             const uint64_t range =
                 *c.counter_size > *c.counter_first ? *c.counter_size - *c.counter_first : 0;
             return range > *c.counters_used ? range - *c.counters_used : 0;
         }},
        {kCounterSizeMetric, "Size of the card's counter table (its range ends below it).",
         [](const CardInfo &c) { return c.counter_size; }},
        {kMismatchesMetric,
         "Query replies that differed from the simulated card's ground truth (should stay 0).",
         [](const CardInfo &c) { return c.mismatches; }},
        {kRepliesCheckedMetric, "Query replies the simulated card compared with its ground truth.",
         [](const CardInfo &c) { return c.queries_checked; }},
        {kUptimeMetric, "Seconds since the card process started.",
         [](const CardInfo &c) { return c.uptime_s; }},
    };
    for (const Gauge &g : gauges) {
        out.family(g.name, "gauge", g.help);
        for (const CardInfo &c : cards) {
            if (const std::optional<uint64_t> v = g.value(c);
                v && c.state != model::CardState::Down) {
                out.sample(g.name, slot_label(c.slot), *v);
            }
        }
    }
    return out.take();
}

} // namespace api
