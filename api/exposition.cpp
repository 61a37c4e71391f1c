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

FlowExposition::FlowExposition(Sink sink, Spool spool) : sink_(std::move(sink)) {
    if (spool == Spool::File) {
        file_spool_ = std::tmpfile();
        spool_failed_ = file_spool_ == nullptr;
    }
    out_.family(kFramesMetric, "counter",
                "Frames of the flow since it was created on its line card (exact totals only).");
}

FlowExposition::~FlowExposition() {
    if (file_spool_ != nullptr) {
        std::fclose(file_spool_);
    }
}

void FlowExposition::flush() {
    if (out_.size() > 0) {
        sink_(out_.text());
        out_.clear();
    }
}

void FlowExposition::rows(std::span<const ShowFlow> rows) {
    Exposition bytes;
    for (const ShowFlow &f : rows) {
        Slot &slot = slots_[f.slot];
        if (f.counter && f.complete) {
            labels_.clear();
            append_flow_labels(labels_, f);
            out_.sample(kFramesMetric, labels_, f.frames);
            bytes.sample(kBytesMetric, labels_, f.bytes);
        } else if (f.status == model::FlowStatus::Refused) {
            // Refused and pending flows are configuration, not a failed read:
            // they leave snapshot_complete alone.
            ++slot.refused[model::status_name(f.code)];
        } else if (f.status == model::FlowStatus::Pending) {
            ++slot.pending; // its reason is the card's state, known at the end
        } else {
            ++slot.omitted; // the card holds it (or did, if it is down) and it was not read
        }
    }
    if (file_spool_ != nullptr) {
        const std::string_view text = bytes.text();
        spool_failed_ =
            spool_failed_ || std::fwrite(text.data(), 1, text.size(), file_spool_) != text.size();
    } else {
        memory_spool_ += bytes.text();
    }
    flush();
}

model::Status FlowExposition::finish(const std::vector<ShowCard> &cards) {
    out_.family(kBytesMetric, "counter",
                "Bytes of the flow since it was created on its line card (exact totals only).");
    flush();
    if (file_spool_ != nullptr && !spool_failed_) {
        spool_failed_ = std::fflush(file_spool_) != 0 || std::fseek(file_spool_, 0, SEEK_SET) != 0;
        std::string chunk(size_t{1} << 16, '\0');
        while (!spool_failed_) {
            const size_t n = std::fread(chunk.data(), 1, chunk.size(), file_spool_);
            if (n > 0) {
                sink_(std::string_view(chunk).substr(0, n));
            }
            if (n < chunk.size()) {
                spool_failed_ = std::ferror(file_spool_) != 0;
                break;
            }
        }
    } else if (file_spool_ == nullptr && !spool_failed_) {
        sink_(memory_spool_);
        memory_spool_ = std::string();
    }
    if (spool_failed_) {
        return model::error(model::Errc::Internal,
                            "cannot spool the bytes samples to a temporary file");
    }
    std::map<uint32_t, std::pair<bool, model::CardState>> read; // complete, state
    for (const ShowCard &c : cards) {
        read[c.slot] = {c.complete && c.state != model::CardState::Down && !c.error, c.state};
        slots_.try_emplace(c.slot);
    }
    const auto card_of = [&](uint32_t slot) {
        const auto it = read.find(slot);
        return it == read.end() ? std::pair(true, model::CardState::Down) : it->second;
    };
    out_.family(kCompleteMetric, "gauge",
                "1 when every flow the slot's card holds was read in this snapshot, else 0.");
    for (const auto &[slot, counts] : slots_) {
        const bool complete = card_of(slot).first && counts.omitted == 0;
        out_.sample(kCompleteMetric, slot_label(slot), uint64_t{complete ? 1u : 0u});
    }
    out_.family(kOmittedMetric, "gauge",
                "Flows the slot's card holds that have no exact total in this snapshot.");
    for (const auto &[slot, counts] : slots_) {
        out_.sample(kOmittedMetric, slot_label(slot), counts.omitted);
    }
    out_.family(
        kConfiguredMetric, "gauge",
        "Configured flows the card does not hold, by status (refused, pending) and reason.");
    for (const auto &[slot, counts] : slots_) {
        if (counts.pending > 0) {
            out_.sample(kConfiguredMetric,
                        slot_label(slot) + ",status=\"pending\",reason=\"card_" +
                            model::state_name(card_of(slot).second) + "\"",
                        counts.pending);
        }
        for (const auto &[reason, count] : counts.refused) {
            out_.sample(kConfiguredMetric,
                        slot_label(slot) + ",status=\"refused\",reason=\"" +
                            prometheus_escape(reason) + "\"",
                        count);
        }
    }
    flush();
    return model::Ok{};
}

std::string flows_prometheus(const ShowResult &snapshot) {
    std::string text;
    FlowExposition out([&text](std::string_view piece) { text += piece; },
                       FlowExposition::Spool::Memory);
    out.rows(snapshot.flows);
    (void)out.finish(snapshot.cards); // a memory spool does not fail
    return text;
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
