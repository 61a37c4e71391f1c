// What flowctl prints: the supervisor's results, decoded by the schema, as
// aligned tables, as flowctl's JSON schema and as Prometheus text. Pure
// functions, no I/O, so that the tests drive them directly.
//
// Invariants: counts stay uint64_t from the wire to the output, and a total
// that is not exact is never printed as if it were: tables mark it, JSON says
// "complete": false, Prometheus leaves it out.
#ifndef FLOWCTL_FORMAT_H
#define FLOWCTL_FORMAT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "exposition.h"
#include "flow_key.h"
#include "schema.h"

namespace flowctl {

using json = nlohmann::json;

// ---- records ----------------------------------------------------------------

// The supervisor's results as the schema decodes them (api/schema.h).
using FlowRow = api::ShowFlow;
using ShowCard = api::ShowCard;
using Snapshot = api::ShowResult;
using Card = api::CardInfo;
using ListRow = api::ListFlow;
using AuditEntry = api::AuditEntry;

// ---- times ------------------------------------------------------------------

// `audit --since`: an ISO 8601 UTC time (2026-12-06T21:00:00Z, the seconds
// and the Z optional, or a date alone: its midnight) or a time back from now
// (30s, 10m, 2h, 1d); UTC milliseconds, nullopt when neither.
std::optional<uint64_t> parse_since(std::string_view text, uint64_t now_ms);
// UTC milliseconds as "2026-12-06T21:00:00.123Z".
std::string utc_text(uint64_t ms);

// ---- tables -------------------------------------------------------------------

struct Column {
    std::string title;
    bool right = false; // numbers are right-aligned
};
// Columns two spaces apart, each as wide as its widest cell; no trailing
// spaces. Widths count bytes: every cell is ASCII.
std::string render_table(const std::vector<Column> &columns,
                         const std::vector<std::vector<std::string>> &rows);
// One line of such a table at the given widths: a wider cell pushes the rest
// of its line, and cells past the columns follow, two spaces apart.
void table_line(std::string &out, const std::vector<Column> &columns,
                const std::vector<size_t> &widths, const std::vector<std::string> &cells);

// A table cell for an FC ID: "-" for a VSAN flow, "0x12xxxx" for a domain
// flow, "0x%06x" otherwise.
std::string fcid_cell(const model::FlowKey &key, uint32_t fcid);
// A count cell: the number and one marker character, ' ' when exact and
// kIncompleteMark when a lower bound, so that digits stay aligned.
inline constexpr char kIncompleteMark = '+';
std::string count_cell(uint64_t value, bool complete);
// "applied", "pending", "unconfigured", "refused COUNTERS_EXHAUSTED".
std::string status_cell(const FlowRow &flow);
// "3d04h05m", "4h05m06s", "5m06s", "6s"; "-" when unknown.
std::string uptime_cell(std::optional<uint64_t> seconds);

std::string cards_table(const std::vector<Card> &cards);
// One line for a card after a change: "slot 1 ready: traffic 1000 pps, running".
std::string card_line(const Card &card);
// flow.show's table: the columns (NAME when some flow is named, SINCE when
// some total counts from a clear) and a row's cells.
std::vector<Column> flow_columns(bool named, bool cleared);
std::vector<std::string> flow_cells(const FlowRow &flow, bool named, bool cleared);
// flowctl list: the configured flows, no totals.
std::string list_table(const std::vector<ListRow> &rows);
// TIME, WHO, METHOD, RESULT, WHAT: one line an entry, oldest first.
std::string audit_table(const std::vector<AuditEntry> &entries);
// The footnotes under a flow table: the marker, cards that are down or
// whose display failed. Empty when there is nothing to say.
// marked: some flow's total is incomplete.
std::string flows_footnotes(bool marked, const std::vector<ShowCard> &cards);

// ---- JSON (flowctl's own schema; docs/flowctl.md) ---------------------------------

json card_json(const Card &card);
json cards_json(const std::vector<Card> &cards); // {"cards": [...]}
json flow_json(const FlowRow &flow);
// {"flows": [{"slot", "type", "vsan", "sid", "did", "status", "code", "refusal", "name"}]}
json list_json(const std::vector<ListRow> &rows);

// ---- Prometheus text exposition (api/exposition.h) ---------------------------------

using api::cards_prometheus;
using api::flows_prometheus;
using api::kBytesMetric;
using api::kCardStateMetric;
using api::kCompleteMetric;
using api::kConfiguredMetric;
using api::kCountersFreeMetric;
using api::kCountersUsedMetric;
using api::kFramesMetric;
using api::kMismatchesMetric;
using api::kOmittedMetric;
using api::kUptimeMetric;
using api::prometheus_escape;

} // namespace flowctl

#endif // FLOWCTL_FORMAT_H
