// Printing the supervisor's results: tables, JSON, Prometheus text.

#include "format.h"

#include "status.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <tuple>

namespace flowctl {

namespace {

std::string opt_cell(std::optional<uint64_t> v) {
    return v ? std::to_string(*v) : "-";
}

// A NAME column only when some flow has a name: most have none.
template <class Row>
bool any_named(const std::vector<Row> &rows) {
    return std::any_of(rows.begin(), rows.end(), [](const Row &r) { return !r.name.empty(); });
}

} // namespace

// ---- tables -------------------------------------------------------------------

void table_line(std::string &out, const std::vector<Column> &columns,
                const std::vector<size_t> &widths, const std::vector<std::string> &cells) {
    const size_t start = out.size();
    for (size_t c = 0; c < std::max(columns.size(), cells.size()); ++c) {
        const std::string_view cell = c < cells.size() ? std::string_view(cells[c]) : "";
        const size_t pad =
            c < columns.size() && widths[c] > cell.size() ? widths[c] - cell.size() : 0;
        if (c > 0) {
            out += "  ";
        }
        const bool right = c < columns.size() && columns[c].right;
        if (right) {
            out.append(pad, ' ');
        }
        out += cell;
        if (!right) {
            out.append(pad, ' ');
        }
    }
    const size_t end = out.find_last_not_of(' ');
    out.resize(end == std::string::npos || end < start ? start : end + 1);
    out += '\n';
}

std::string render_table(const std::vector<Column> &columns,
                         const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width(columns.size());
    std::vector<std::string> titles;
    for (size_t c = 0; c < columns.size(); ++c) {
        titles.push_back(columns[c].title);
        width[c] = columns[c].title.size();
        for (const auto &row : rows) {
            width[c] = std::max(width[c], c < row.size() ? row[c].size() : 0);
        }
    }
    std::string out;
    table_line(out, columns, width, titles);
    for (const auto &row : rows) {
        table_line(out, columns, width, row);
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
    if (!flow.status) {
        return "unconfigured";
    }
    if (*flow.status == model::FlowStatus::Refused) {
        return "refused " + model::status_name(flow.code);
    }
    return model::status_name(*flow.status);
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
        {"SLOT", true},    {"STATE", false},     {"FLOWS", true},    {"APPLIED", true},
        {"ON CARD", true}, {"COUNTERS", true},   {"LOST", true},     {"RANGE", false},
        {"FRAMES", true},  {"MISMATCHES", true}, {"TRAFFIC", false}, {"UPTIME", true},
    };
    std::vector<std::vector<std::string>> rows;
    for (const Card &c : cards) {
        rows.push_back({std::to_string(c.slot), model::state_name(c.state), std::to_string(c.flows),
                        std::to_string(c.applied), opt_cell(c.card_flows),
                        opt_cell(c.counters_used), opt_cell(c.lost_counters), range_cell(c),
                        opt_cell(c.frames), opt_cell(c.mismatches), traffic_cell(c),
                        uptime_cell(c.uptime_s)});
    }
    return render_table(columns, rows);
}

std::string card_line(const Card &card) {
    std::string line =
        "slot " + std::to_string(card.slot) + " " + model::state_name(card.state) + ": traffic ";
    if (!card.traffic_pps) {
        return line + "unknown\n";
    }
    return line + std::to_string(*card.traffic_pps) + " pps, " +
           (card.traffic_paused.value_or(false) ? "paused" : "running") + "\n";
}

std::vector<Column> flow_columns(bool named, bool cleared) {
    // Count titles end in a space: the column of the incomplete marker.
    std::vector<Column> columns = {
        {"SLOT", true},    {"TYPE", false},   {"VSAN", true},   {"SID", false},    {"DID", false},
        {"COUNTER", true}, {"FRAMES ", true}, {"BYTES ", true}, {"STATUS", false},
    };
    if (named) {
        columns.push_back({"NAME", false});
    }
    if (cleared) {
        columns.push_back({"SINCE", false});
    }
    return columns;
}

std::vector<std::string> flow_cells(const FlowRow &f, bool named, bool cleared) {
    const bool held = f.counter.has_value();
    std::vector<std::string> cells = {std::to_string(f.slot),
                                      model::type_name(f.key.type),
                                      std::to_string(f.key.vsan),
                                      fcid_cell(f.key, f.key.sid),
                                      fcid_cell(f.key, f.key.did),
                                      held ? std::to_string(*f.counter) : "-",
                                      held ? count_cell(f.frames, f.complete) : "- ",
                                      held ? count_cell(f.bytes, f.complete) : "- ",
                                      status_cell(f)};
    if (named) {
        cells.push_back(f.name.empty() ? "-" : f.name);
    }
    if (cleared) {
        cells.push_back(!held ? "-" : f.cleared ? "clear" : "boot");
    }
    return cells;
}

std::string list_table(const std::vector<ListRow> &rows) {
    std::vector<Column> columns = {{"SLOT", true}, {"TYPE", false}, {"VSAN", true},
                                   {"SID", false}, {"DID", false},  {"STATUS", false}};
    const bool named = any_named(rows);
    if (named) {
        columns.push_back({"NAME", false});
    }
    std::vector<std::vector<std::string>> cells;
    cells.reserve(rows.size());
    for (const ListRow &r : rows) {
        FlowRow as_shown;
        as_shown.status = r.status;
        as_shown.code = r.code;
        cells.push_back({std::to_string(r.slot), model::type_name(r.key.type),
                         std::to_string(r.key.vsan), fcid_cell(r.key, r.key.sid),
                         fcid_cell(r.key, r.key.did), status_cell(as_shown)});
        if (named) {
            cells.back().push_back(r.name.empty() ? "-" : r.name);
        }
    }
    return render_table(columns, cells);
}

std::optional<uint64_t> parse_since(std::string_view text, uint64_t now_ms) {
    constexpr std::pair<char, uint64_t> kUnits[] = {
        {'s', 1000}, {'m', 60'000}, {'h', 3'600'000}, {'d', 86'400'000}};
    if (text.size() >= 2) {
        for (const auto &[unit, ms] : kUnits) {
            if (text.back() != unit) {
                continue;
            }
            const auto n = model::parse_number(text.substr(0, text.size() - 1));
            if (!n || *n > now_ms / ms) {
                return std::nullopt;
            }
            return now_ms - *n * ms;
        }
    }
    // YYYY-MM-DD[THH:MM[:SS]][Z]
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail[3] = {};
    const std::string owned(text);
    const int n =
        std::sscanf(owned.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%2s", &y, &mo, &d, &h, &mi, &s, tail);
    const bool shape = n == 3   ? owned.size() == 10
                       : n == 5 ? owned.size() == 16 || (owned.size() == 17 && owned[16] == 'Z')
                       : n == 6 ? owned.size() == 19
                                : n == 7 && std::string_view(tail) == "Z" && owned.size() == 20;
    if (!shape || y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(y)),
                                           std::chrono::month(mo), std::chrono::day(d)};
    if (!date.ok()) {
        return std::nullopt;
    }
    const auto days = std::chrono::sys_days(date).time_since_epoch();
    const auto at =
        days + std::chrono::hours(h) + std::chrono::minutes(mi) + std::chrono::seconds(s);
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(at).count());
}

std::string utc_text(uint64_t ms) {
    const std::chrono::sys_time<std::chrono::milliseconds> at{std::chrono::milliseconds(ms)};
    const auto day = std::chrono::floor<std::chrono::days>(at);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss time{at - day};
    char text[32];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string audit_table(const std::vector<AuditEntry> &entries) {
    const std::vector<Column> columns = {
        {"TIME", false}, {"WHO", false}, {"METHOD", false}, {"RESULT", false}, {"WHAT", false}};
    std::vector<std::vector<std::string>> cells;
    cells.reserve(entries.size());
    for (const AuditEntry &e : entries) {
        cells.push_back({utc_text(e.time_ms), e.who, e.method,
                         e.ok ? "ok" : std::to_string(e.code) + " " + e.message, e.what});
    }
    return render_table(columns, cells);
}

std::string flows_footnotes(bool marked, const std::vector<ShowCard> &cards) {
    std::string out;
    if (marked) {
        out += std::string(1, kIncompleteMark) +
               " incomplete: the counter of a flow inside it could not be read; the count is a "
               "lower bound.\n";
    }
    for (const ShowCard &c : cards) {
        if (c.state == model::CardState::Down) {
            out += "slot " + std::to_string(c.slot) +
                   ": card down; its flows are listed as configured, without counts.\n";
        } else if (c.error && !c.error->empty()) {
            out += "slot " + std::to_string(c.slot) + ": " + *c.error + "\n";
        }
    }
    return out;
}

// ---- JSON ---------------------------------------------------------------------------

// flowctl's card is the supervisor's, field for field.
json card_json(const Card &c) {
    return api::to_json(c);
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
        {"status", f.status ? model::status_name(*f.status) : "unconfigured"},
        {"code", f.code},
        {"refusal",
         f.status == model::FlowStatus::Refused ? json(model::status_name(f.code)) : json()},
        {"name", f.name},
        {"cleared", f.cleared},
    };
}

json list_json(const std::vector<ListRow> &rows) {
    json flows = json::array();
    for (const ListRow &r : rows) {
        flows.push_back({
            {"slot", r.slot},
            {"type", model::type_name(r.key.type)},
            {"vsan", r.key.vsan},
            {"sid", model::fcid_hex(r.key.sid)},
            {"did", model::fcid_hex(r.key.did)},
            {"status", model::status_name(r.status)},
            {"code", r.code},
            {"refusal",
             r.status == model::FlowStatus::Refused ? json(model::status_name(r.code)) : json()},
            {"name", r.name},
        });
    }
    return {{"flows", flows}};
}

} // namespace flowctl
