// What flowctl prints: the supervisor's results decoded into plain records,
// and those records as aligned tables, as flowctl's JSON schema and as
// Prometheus text. Pure functions, no I/O, so that the tests drive them
// directly.
//
// Invariants: decoding checks every field it uses (a supervisor that sends
// something else is reported, not trusted), counts stay uint64_t from the
// wire to the output, and a total that is not exact is never printed as if
// it were: tables mark it, JSON says "complete": false, Prometheus leaves it
// out.
#ifndef FLOWCTL_FORMAT_H
#define FLOWCTL_FORMAT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "flow_key.h"

namespace flowctl {

using json = nlohmann::json;

// ---- records ----------------------------------------------------------------

struct FlowRow {
    uint32_t slot = 0;
    model::FlowKey key;
    std::optional<uint32_t> counter; // nullopt: the card does not hold the flow
    uint64_t frames = 0;
    uint64_t bytes = 0;
    bool complete = true;
    std::string status; // applied, pending, refused, unconfigured
    uint32_t code = 0;  // the card's refusal, else 0
};

struct CardState {
    uint32_t slot = 0;
    std::string state; // down, replaying, ready
    bool complete = true;
    std::string error; // why the card's display is missing or partial; "" if none
};

struct Snapshot {
    std::vector<FlowRow> flows;
    std::vector<CardState> cards;
};

// One card of cards.list; nullopt for a value the supervisor gave as null
// (a card that is down) or left out.
struct Card {
    uint32_t slot = 0;
    std::string state;
    std::optional<uint64_t> flows, applied, card_flows;
    std::optional<uint64_t> counters_used, counter_first, counter_size;
    std::optional<uint64_t> frames, bytes, mismatches, queries_checked;
    std::optional<uint64_t> traffic_pps;
    std::optional<bool> traffic_paused;
    std::optional<uint64_t> uptime_s;
    std::string boot_id;
};

// flow.show's result; nullopt with *error for anything malformed.
std::optional<Snapshot> decode_show(const json &result, std::string *error);
// One Card object (card.status, card.traffic) and cards.list's result.
std::optional<Card> decode_card(const json &card, std::string *error);
std::optional<std::vector<Card>> decode_cards(const json &result, std::string *error);

// ---- tables -------------------------------------------------------------------

struct Column {
    std::string title;
    bool right = false; // numbers are right-aligned
};
// Columns two spaces apart, each as wide as its widest cell; no trailing
// spaces. Widths count bytes: every cell is ASCII.
std::string render_table(const std::vector<Column> &columns,
                         const std::vector<std::vector<std::string>> &rows);

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
std::string flows_table(const Snapshot &snapshot);
// The footnotes under a flow table: the marker, cards that are down or
// whose display failed. Empty when there is nothing to say.
std::string flows_footnotes(const Snapshot &snapshot);

// ---- JSON (flowctl's own schema; docs/flowctl.md) ---------------------------------

json card_json(const Card &card);
json cards_json(const std::vector<Card> &cards); // {"cards": [...]}
json flow_json(const FlowRow &flow);
json flows_json(const Snapshot &snapshot); // {"flows": [...], "cards": [...]}

// ---- Prometheus text exposition ---------------------------------------------------

inline constexpr const char *kFramesMetric = "acl_tcam_flow_frames_total";
inline constexpr const char *kBytesMetric = "acl_tcam_flow_bytes_total";
inline constexpr const char *kCompleteMetric = "acl_tcam_flow_snapshot_complete";
inline constexpr const char *kOmittedMetric = "acl_tcam_flow_omitted_flows";
// A label value with \, " and newline escaped.
std::string prometheus_escape(std::string_view value);
// Every flow with an exact total as two counter samples; per slot, a gauge
// saying whether the slot's snapshot was complete and one counting the flows
// left out.
std::string flows_prometheus(const Snapshot &snapshot);

} // namespace flowctl

#endif // FLOWCTL_FORMAT_H
