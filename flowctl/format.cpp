// Decoding the supervisor's results and printing them: tables, JSON,
// Prometheus text.

#include "format.h"

#include "status.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace flowctl {

namespace {

// ---- decoding -----------------------------------------------------------------

// Decoding stops at the first bad field; the message names it.
struct Bad {
    std::string what;
};

const json &member(const json &object, const char *name) {
    static const json null_value;
    const auto it = object.find(name);
    return it == object.end() ? null_value : *it;
}

// A JSON integer that is not negative, whichever way the parser stored it.
std::optional<uint64_t> as_count(const json &v) {
    if (v.is_number_unsigned()) {
        return v.get<uint64_t>();
    }
    if (v.is_number_integer() && v.get<int64_t>() >= 0) {
        return static_cast<uint64_t>(v.get<int64_t>());
    }
    return std::nullopt;
}

uint64_t u64(const json &object, const char *name) {
    const std::optional<uint64_t> v = as_count(member(object, name));
    if (!v) {
        throw Bad{std::string("\"") + name + "\" is not a count"};
    }
    return *v;
}

uint32_t u32(const json &object, const char *name) {
    const uint64_t v = u64(object, name);
    if (v > UINT32_MAX) {
        throw Bad{std::string("\"") + name + "\" out of range"};
    }
    return static_cast<uint32_t>(v);
}

std::optional<uint64_t> opt_u64(const json &object, const char *name) {
    if (member(object, name).is_null()) {
        return std::nullopt;
    }
    return u64(object, name);
}

std::string text(const json &object, const char *name) {
    const json &v = member(object, name);
    if (!v.is_string()) {
        throw Bad{std::string("\"") + name + "\" is not a string"};
    }
    return v.get<std::string>();
}

// An FC ID as results give it ("0x010203"), or as a number; 0 when absent.
uint32_t fcid(const json &object, const char *name) {
    const json &v = member(object, name);
    if (v.is_null()) {
        return 0;
    }
    if (v.is_string()) {
        const std::optional<uint64_t> n = model::parse_number(v.get<std::string>());
        if (n && *n <= model::kMaxFcid) {
            return static_cast<uint32_t>(*n);
        }
    } else if (const std::optional<uint64_t> n = as_count(v); n && *n <= model::kMaxFcid) {
        return static_cast<uint32_t>(*n);
    }
    throw Bad{std::string("\"") + name + "\" is not an FC ID"};
}

FlowRow decode_flow(const json &f) {
    if (!f.is_object()) {
        throw Bad{"a flow is not an object"};
    }
    FlowRow row;
    row.slot = u32(f, "slot");
    const std::optional<model::FlowType> type = model::parse_type(text(f, "type"));
    if (!type) {
        throw Bad{"unknown flow type \"" + text(f, "type") + "\""};
    }
    row.key = {*type, u32(f, "vsan"), fcid(f, "sid"), fcid(f, "did")};
    if (!member(f, "counter").is_null()) {
        row.counter = u32(f, "counter");
    }
    row.frames = u64(f, "frames");
    row.bytes = u64(f, "bytes");
    const json &complete = member(f, "complete");
    if (!complete.is_boolean()) {
        throw Bad{"\"complete\" is not a boolean"};
    }
    row.complete = complete.get<bool>();
    row.status = text(f, "status");
    row.code = member(f, "code").is_null() ? 0 : u32(f, "code");
    return row;
}

CardState decode_card_state(const json &c) {
    if (!c.is_object()) {
        throw Bad{"a card is not an object"};
    }
    CardState s;
    s.slot = u32(c, "slot");
    s.state = text(c, "state");
    const json &complete = member(c, "complete");
    s.complete = complete.is_boolean() ? complete.get<bool>() : true;
    const json &error = member(c, "error");
    if (error.is_string()) {
        s.error = error.get<std::string>();
    }
    return s;
}

Card decode_card_object(const json &c) {
    if (!c.is_object()) {
        throw Bad{"a card is not an object"};
    }
    Card card;
    card.slot = u32(c, "slot");
    card.state = text(c, "state");
    card.flows = opt_u64(c, "flows");
    card.applied = opt_u64(c, "applied");
    card.card_flows = opt_u64(c, "card_flows");
    card.counters_used = opt_u64(c, "counters_used");
    card.counter_first = opt_u64(c, "counter_first");
    card.counter_size = opt_u64(c, "counter_size");
    card.frames = opt_u64(c, "frames");
    card.bytes = opt_u64(c, "bytes");
    card.mismatches = opt_u64(c, "mismatches");
    card.queries_checked = opt_u64(c, "queries_checked");
    card.traffic_pps = opt_u64(c, "traffic_pps");
    if (const json &p = member(c, "traffic_paused"); p.is_boolean()) {
        card.traffic_paused = p.get<bool>();
    }
    card.uptime_s = opt_u64(c, "uptime_s");
    if (const json &b = member(c, "boot_id"); b.is_string()) {
        card.boot_id = b.get<std::string>();
    }
    return card;
}

template <class F>
auto decoding(F &&f, std::string *error) -> std::optional<decltype(f())> {
    try {
        return f();
    } catch (const Bad &bad) {
        *error = bad.what;
    } catch (const json::exception &e) {
        *error = e.what();
    }
    return std::nullopt;
}

const json &array_member(const json &result, const char *name, bool required) {
    static const json empty = json::array();
    if (!result.is_object()) {
        throw Bad{"the result is not an object"};
    }
    const json &v = member(result, name);
    if (v.is_array()) {
        return v;
    }
    if (v.is_null() && !required) {
        return empty;
    }
    throw Bad{std::string("\"") + name + "\" is not a list"};
}

std::string opt_cell(std::optional<uint64_t> v) {
    return v ? std::to_string(*v) : "-";
}

json opt_json(std::optional<uint64_t> v) {
    return v ? json(*v) : json();
}

} // namespace

std::optional<Snapshot> decode_show(const json &result, std::string *error) {
    return decoding(
        [&] {
            Snapshot s;
            for (const json &f : array_member(result, "flows", true)) {
                s.flows.push_back(decode_flow(f));
            }
            for (const json &c : array_member(result, "cards", false)) {
                s.cards.push_back(decode_card_state(c));
            }
            return s;
        },
        error);
}

std::optional<Card> decode_card(const json &card, std::string *error) {
    return decoding([&] { return decode_card_object(card); }, error);
}

std::optional<std::vector<Card>> decode_cards(const json &result, std::string *error) {
    return decoding(
        [&] {
            std::vector<Card> cards;
            for (const json &c : array_member(result, "cards", true)) {
                cards.push_back(decode_card_object(c));
            }
            return cards;
        },
        error);
}

// ---- tables -------------------------------------------------------------------

std::string render_table(const std::vector<Column> &columns,
                         const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width(columns.size());
    for (size_t c = 0; c < columns.size(); ++c) {
        width[c] = columns[c].title.size();
        for (const auto &row : rows) {
            width[c] = std::max(width[c], c < row.size() ? row[c].size() : 0);
        }
    }
    std::string out;
    auto line = [&](auto cell_of) {
        std::string l;
        for (size_t c = 0; c < columns.size(); ++c) {
            const std::string_view cell = cell_of(c);
            const std::string pad(width[c] - cell.size(), ' ');
            if (c > 0) {
                l += "  ";
            }
            l += columns[c].right ? pad + std::string(cell) : std::string(cell) + pad;
        }
        l.erase(l.find_last_not_of(' ') + 1);
        out += l;
        out += '\n';
    };
    line([&](size_t c) -> std::string_view { return columns[c].title; });
    for (const auto &row : rows) {
        line([&](size_t c) {
            return c < row.size() ? std::string_view(row[c]) : std::string_view();
        });
    }
    return out;
}

std::string fcid_cell(const model::FlowKey &key, uint32_t fcid) {
    return key.type == model::FlowType::Vsan ? "-" : model::fcid_text(key.type, fcid);
}

std::string count_cell(uint64_t value, bool complete) {
    return std::to_string(value) + (complete ? ' ' : kIncompleteMark);
}

std::string status_cell(const FlowRow &flow) {
    if (flow.status == "refused") {
        return "refused " + model::status_name(flow.code);
    }
    return flow.status;
}

std::string uptime_cell(std::optional<uint64_t> seconds) {
    if (!seconds) {
        return "-";
    }
    const uint64_t s = *seconds % 60, m = *seconds / 60 % 60, h = *seconds / 3600 % 24,
                   d = *seconds / 86400;
    char cell[64];
    if (d > 0) {
        std::snprintf(cell, sizeof cell, "%llud%02lluh%02llum", static_cast<unsigned long long>(d),
                      static_cast<unsigned long long>(h), static_cast<unsigned long long>(m));
    } else if (h > 0) {
        std::snprintf(cell, sizeof cell, "%lluh%02llum%02llus", static_cast<unsigned long long>(h),
                      static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
    } else if (m > 0) {
        std::snprintf(cell, sizeof cell, "%llum%02llus", static_cast<unsigned long long>(m),
                      static_cast<unsigned long long>(s));
    } else {
        std::snprintf(cell, sizeof cell, "%llus", static_cast<unsigned long long>(s));
    }
    return cell;
}

namespace {

std::string range_cell(const Card &card) {
    if (!card.counter_first || !card.counter_size) {
        return "-";
    }
    // Counters first..size-1, as the card initialised its table.
    if (*card.counter_size == 0 || *card.counter_first >= *card.counter_size) {
        return "none";
    }
    return std::to_string(*card.counter_first) + ".." + std::to_string(*card.counter_size - 1);
}

std::string traffic_cell(const Card &card) {
    if (!card.traffic_pps) {
        return "-";
    }
    const std::string rate = std::to_string(*card.traffic_pps) + " pps";
    return card.traffic_paused.value_or(false) ? rate + " paused" : rate;
}

} // namespace

std::string cards_table(const std::vector<Card> &cards) {
    const std::vector<Column> columns = {
        {"SLOT", true},       {"STATE", false},   {"FLOWS", true},  {"APPLIED", true},
        {"ON CARD", true},    {"COUNTERS", true}, {"RANGE", false}, {"FRAMES", true},
        {"MISMATCHES", true}, {"TRAFFIC", false}, {"UPTIME", true},
    };
    std::vector<std::vector<std::string>> rows;
    for (const Card &c : cards) {
        rows.push_back({std::to_string(c.slot), c.state, opt_cell(c.flows), opt_cell(c.applied),
                        opt_cell(c.card_flows), opt_cell(c.counters_used), range_cell(c),
                        opt_cell(c.frames), opt_cell(c.mismatches), traffic_cell(c),
                        uptime_cell(c.uptime_s)});
    }
    return render_table(columns, rows);
}

std::string card_line(const Card &card) {
    std::string line = "slot " + std::to_string(card.slot) + " " + card.state + ": traffic ";
    if (!card.traffic_pps) {
        return line + "unknown\n";
    }
    return line + std::to_string(*card.traffic_pps) + " pps, " +
           (card.traffic_paused.value_or(false) ? "paused" : "running") + "\n";
}

std::string flows_table(const Snapshot &snapshot) {
    // Count titles end in a space: the column of the incomplete marker.
    const std::vector<Column> columns = {
        {"SLOT", true},    {"TYPE", false},   {"VSAN", true},   {"SID", false},    {"DID", false},
        {"COUNTER", true}, {"FRAMES ", true}, {"BYTES ", true}, {"STATUS", false},
    };
    std::vector<std::vector<std::string>> rows;
    rows.reserve(snapshot.flows.size());
    for (const FlowRow &f : snapshot.flows) {
        const bool held = f.counter.has_value();
        rows.push_back({std::to_string(f.slot), model::type_name(f.key.type),
                        std::to_string(f.key.vsan), fcid_cell(f.key, f.key.sid),
                        fcid_cell(f.key, f.key.did), held ? std::to_string(*f.counter) : "-",
                        held ? count_cell(f.frames, f.complete) : "- ",
                        held ? count_cell(f.bytes, f.complete) : "- ", status_cell(f)});
    }
    return render_table(columns, rows);
}

std::string flows_footnotes(const Snapshot &snapshot) {
    std::string out;
    const bool marked = std::any_of(snapshot.flows.begin(), snapshot.flows.end(),
                                    [](const FlowRow &f) { return f.counter && !f.complete; });
    if (marked) {
        out += std::string(1, kIncompleteMark) +
               " incomplete: the counter of a flow inside it could not be read; the count is a "
               "lower bound.\n";
    }
    for (const CardState &c : snapshot.cards) {
        if (c.state == "down") {
            out += "slot " + std::to_string(c.slot) +
                   ": card down; its flows are listed as configured, without counts.\n";
        } else if (!c.error.empty()) {
            out += "slot " + std::to_string(c.slot) + ": " + c.error + "\n";
        }
    }
    return out;
}

// ---- JSON ---------------------------------------------------------------------------

json card_json(const Card &c) {
    return {
        {"slot", c.slot},
        {"state", c.state},
        {"flows", opt_json(c.flows)},
        {"applied", opt_json(c.applied)},
        {"card_flows", opt_json(c.card_flows)},
        {"counters_used", opt_json(c.counters_used)},
        {"counter_first", opt_json(c.counter_first)},
        {"counter_size", opt_json(c.counter_size)},
        {"frames", opt_json(c.frames)},
        {"bytes", opt_json(c.bytes)},
        {"mismatches", opt_json(c.mismatches)},
        {"queries_checked", opt_json(c.queries_checked)},
        {"traffic_pps", opt_json(c.traffic_pps)},
        {"traffic_paused", c.traffic_paused ? json(*c.traffic_paused) : json()},
        {"uptime_s", opt_json(c.uptime_s)},
        {"boot_id", c.boot_id.empty() ? json() : json(c.boot_id)},
    };
}

json cards_json(const std::vector<Card> &cards) {
    json list = json::array();
    for (const Card &c : cards) {
        list.push_back(card_json(c));
    }
    return {{"cards", list}};
}

json flow_json(const FlowRow &f) {
    return {
        {"slot", f.slot},
        {"type", model::type_name(f.key.type)},
        {"vsan", f.key.vsan},
        {"sid", model::fcid_hex(f.key.sid)},
        {"did", model::fcid_hex(f.key.did)},
        {"counter", f.counter ? json(*f.counter) : json()},
        {"frames", f.frames},
        {"bytes", f.bytes},
        {"complete", f.complete},
        {"status", f.status},
        {"code", f.code},
        {"refusal", f.status == "refused" ? json(model::status_name(f.code)) : json()},
    };
}

json flows_json(const Snapshot &snapshot) {
    json flows = json::array();
    for (const FlowRow &f : snapshot.flows) {
        flows.push_back(flow_json(f));
    }
    json cards = json::array();
    for (const CardState &c : snapshot.cards) {
        cards.push_back({{"slot", c.slot},
                         {"state", c.state},
                         {"complete", c.complete},
                         {"error", c.error.empty() ? json() : json(c.error)}});
    }
    return {{"flows", flows}, {"cards", cards}};
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

std::string flows_prometheus(const Snapshot &snapshot) {
    // Per slot: whether every flow got an exact total, and how many did not.
    std::map<uint32_t, std::pair<bool, uint64_t>> slots;
    for (const CardState &c : snapshot.cards) {
        auto &[complete, omitted] = slots[c.slot];
        complete = c.complete && c.state != "down" && c.error.empty();
        omitted = 0;
    }
    std::vector<const FlowRow *> exported;
    for (const FlowRow &f : snapshot.flows) {
        auto [it, fresh] = slots.try_emplace(f.slot, true, 0);
        if (f.counter && f.complete) {
            exported.push_back(&f);
        } else {
            it->second.first = false;
            ++it->second.second;
        }
    }
    auto labels = [](const FlowRow &f) {
        return "{slot=\"" + std::to_string(f.slot) + "\",type=\"" +
               prometheus_escape(model::type_name(f.key.type)) + "\",vsan=\"" +
               std::to_string(f.key.vsan) + "\",sid=\"" +
               prometheus_escape(model::fcid_hex(f.key.sid)) + "\",did=\"" +
               prometheus_escape(model::fcid_hex(f.key.did)) + "\"}";
    };
    std::string out;
    auto family = [&](const char *name, const char *type, const char *help) {
        out += std::string("# HELP ") + name + " " + help + "\n";
        out += std::string("# TYPE ") + name + " " + type + "\n";
    };
    family(kFramesMetric, "counter",
           "Frames of the flow since it was created on its line card (exact totals only).");
    for (const FlowRow *f : exported) {
        out += kFramesMetric + labels(*f) + " " + std::to_string(f->frames) + "\n";
    }
    family(kBytesMetric, "counter",
           "Bytes of the flow since it was created on its line card (exact totals only).");
    for (const FlowRow *f : exported) {
        out += kBytesMetric + labels(*f) + " " + std::to_string(f->bytes) + "\n";
    }
    family(kCompleteMetric, "gauge",
           "1 when every flow of the slot has an exact total in this snapshot, else 0.");
    for (const auto &[slot, state] : slots) {
        out += std::string(kCompleteMetric) + "{slot=\"" + std::to_string(slot) + "\"} " +
               (state.first ? "1" : "0") + "\n";
    }
    family(kOmittedMetric, "gauge",
           "Flows of the slot left out of this snapshot: total incomplete or not on the card.");
    for (const auto &[slot, state] : slots) {
        out += std::string(kOmittedMetric) + "{slot=\"" + std::to_string(slot) + "\"} " +
               std::to_string(state.second) + "\n";
    }
    return out;
}

} // namespace flowctl
