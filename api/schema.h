// The control socket's methods as types: each method's params and result,
// their JSON forms both ways, and the registry describing every method. The
// supervisor decodes params and encodes results with it, flowctl the other
// way round, so the two cannot drift apart.
//
// Invariants:
//  - decoders take outside input: they never throw and fail with
//    Errc::InvalidParams and the message an operator reads;
//  - the JSON is the wire's: FC IDs as "0x%06x" strings, counts as integers,
//    null for what is unknown;
//  - flow rows (flow.list, flow.show) are written as text by FlowText, the one
//    writer of those rows: at 65,535 flows a card they are most of an answer.
#ifndef API_SCHEMA_H
#define API_SCHEMA_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "card_protocol.h"
#include "flow_key.h"
#include "result.h"
#include "states.h"

namespace api {

using json = nlohmann::json;
template <class T>
using Result = model::Result<T>;

// ---- params -------------------------------------------------------------------

// Methods take named params; an empty array stands for none.
model::Status check_named(const json &params);

// flow.add, flow.del, flow.get; name: flow.add's, optional.
struct FlowParams {
    uint32_t slot = 0;
    model::FlowKey key;
    std::string name;
    bool operator==(const FlowParams &) const = default;
};
// flow.get; since_boot: the raw total since the card's boot, not since a clear.
struct GetParams : FlowParams {
    bool since_boot = false;
    bool operator==(const GetParams &) const = default;
};
// card.status, card.display.
struct SlotParams {
    uint32_t slot = 0;
    bool operator==(const SlotParams &) const = default;
};
// flow.list: one slot, or all.
struct ListParams {
    std::optional<uint32_t> slot;
    bool operator==(const ListParams &) const = default;
};
// flow.show: slots (ascending, each once; none: every known slot) and filters.
struct ShowParams {
    std::optional<std::vector<uint32_t>> slots;
    std::optional<model::FlowType> type;
    std::optional<uint32_t> vsan;
    bool since_boot = false; // raw totals since each card's boot, not since a clear
    bool stream = false;     // flow.show's rows as notifications before the answer
    bool admits(const model::FlowKey &key) const {
        return (!type || key.type == *type) && (!vsan || key.vsan == *vsan);
    }
    bool operator==(const ShowParams &) const = default;
};
// flow.apply: a flow-set file's text, the slots in scope (none: the slots
// the text names; with prune, every slot), whether flows in scope and not in
// the text are removed, whether only the plan is wanted, and whether the
// client takes progress notifications.
struct ApplyParams {
    std::string flows;
    std::optional<std::vector<uint32_t>> slots;
    bool prune = false;
    bool dry_run = false;
    bool progress = false;
    bool operator==(const ApplyParams &) const = default;
};
// flow.export: the slots (none: every slot with flows).
struct ExportParams {
    std::optional<std::vector<uint32_t>> slots;
    bool operator==(const ExportParams &) const = default;
};
// flow.clear: one flow (slot given), or a selection as flow.show's.
struct ClearParams {
    std::optional<FlowParams> flow;
    ShowParams selection;
    bool operator==(const ClearParams &) const = default;
};
// card.traffic.
struct TrafficParams {
    uint32_t slot = 0;
    card_protocol::TrafficAction action = card_protocol::TrafficAction::Pause;
    uint64_t pps = 0; // Rate only
    bool operator==(const TrafficParams &) const = default;
};

Result<FlowParams> decode_flow_params(const json &params);
Result<SlotParams> decode_slot_params(const json &params);
Result<ListParams> decode_list_params(const json &params);
Result<ShowParams> decode_show_params(const json &params);
Result<GetParams> decode_get_params(const json &params);
Result<ClearParams> decode_clear_params(const json &params);
Result<TrafficParams> decode_traffic_params(const json &params);
Result<ApplyParams> decode_apply_params(const json &params);
Result<ExportParams> decode_export_params(const json &params);

// audit.list: the entries at or after since (UTC ms), oldest first, at most
// limit of them (the newest of those, when there are more).
inline constexpr uint32_t kMaxAuditList = 100000;
struct AuditParams {
    uint64_t since_ms = 0;
    uint32_t limit = 1000;
    bool operator==(const AuditParams &) const = default;
};
Result<AuditParams> decode_audit_params(const json &params);

// ---- the registry -------------------------------------------------------------

// Who may call a method. A change needs the admin role; a reader may ask
// for a dry run of flow.apply, which changes nothing. The methods an admin
// needs are the changes the audit trail records.
enum class Role { Reader, Admin, AdminUnlessDryRun };

struct MethodInfo {
    const char *name;
    const char *params; // a summary of the params; "" for none
    const char *help;   // one line
    Role role;
    // The method's params through its decoder, the value dropped.
    model::Status (*check)(const json &params);
};

namespace detail {
template <class P, Result<P> (*Decode)(const json &)>
model::Status check(const json &params) {
    auto decoded = Decode(params);
    if (!decoded) {
        return decoded.error();
    }
    return model::Ok{};
}
inline model::Status no_params(const json &) {
    return model::Ok{};
}
} // namespace detail

inline constexpr std::array<MethodInfo, 14> kMethods = {{
    {"flow.add", "slot, type, vsan, sid, did", "configure a flow and send it to its card",
     Role::Admin, detail::check<FlowParams, decode_flow_params>},
    {"flow.del", "slot, type, vsan, sid, did", "unconfigure a flow and remove it from its card",
     Role::Admin, detail::check<FlowParams, decode_flow_params>},
    {"flow.get", "slot, type, vsan, sid, did, since_boot?",
     "a flow's total (frames, bytes) from its card, since its clear", Role::Reader,
     detail::check<GetParams, decode_get_params>},
    {"flow.list", "slot?", "the configured flows with their statuses", Role::Reader,
     detail::check<ListParams, decode_list_params>},
    {"flow.apply", "flows, slots?, prune?, dry_run?, progress?",
     "make the configuration the flow-set text given: the difference committed at once, then "
     "sent to the cards",
     Role::AdminUnlessDryRun, detail::check<ApplyParams, decode_apply_params>},
    {"flow.export", "slots?", "the configuration as a flow-set text", Role::Reader,
     detail::check<ExportParams, decode_export_params>},
    {"flow.show", "slots?, type?, vsan?, since_boot?, stream?",
     "every flow with its total, from the cards' displays", Role::Reader,
     detail::check<ShowParams, decode_show_params>},
    {"flow.clear", "slot, type, vsan, sid, did | slots?, type?, vsan?",
     "clear flows' totals: later totals count from now", Role::Admin,
     detail::check<ClearParams, decode_clear_params>},
    {"cards.list", "", "every known slot's card: state, flows, counters, traffic", Role::Reader,
     detail::no_params},
    {"card.status", "slot", "one card, as cards.list shows it", Role::Reader,
     detail::check<SlotParams, decode_slot_params>},
    {"card.traffic", "slot, action, pps?", "pause, resume or set the card's simulated traffic",
     Role::Admin, detail::check<TrafficParams, decode_traffic_params>},
    {"card.display", "slot", "the card's display text, reassembled", Role::Reader,
     detail::check<SlotParams, decode_slot_params>},
    {"audit.list", "since?, limit?", "the audit trail of changes: who, what, when, result",
     Role::Reader, detail::check<AuditParams, decode_audit_params>},
    {"methods.list", "", "these methods: name, params and help of each", Role::Reader,
     detail::no_params},
}};

// The registry's entry for name; nullptr for an unknown method, which is
// answered with unknown_method(name).
const MethodInfo *find_method(std::string_view name);
model::Error unknown_method(std::string_view name);
// As the supervisor checks a request: check_named, then the method's params
// through its registry entry's decoder; an unknown method is
// Errc::UnknownMethod.
model::Status check_params(std::string_view method, const json &params);
// Whether a call of the method with these params needs the admin role (and
// is recorded in the audit trail).
bool needs_admin(const MethodInfo &method, const json &params);

json to_json(const FlowParams &params);
json to_json(const SlotParams &params);
json to_json(const ListParams &params);
json to_json(const ShowParams &params);
json to_json(const GetParams &params);
json to_json(const ClearParams &params);
json to_json(const TrafficParams &params);
json to_json(const ApplyParams &params);
json to_json(const ExportParams &params);
json to_json(const AuditParams &params);

// ---- results ------------------------------------------------------------------

// flow.add, flow.del: the card's status code (0, or FLOW_EXISTS for an add)
// and where the flow stands. unanswered_ms: the change is stored, but the
// card did not answer within that time, so its outcome there is not known
// yet (status "unknown"; a late answer still sets the flow's status).
struct ChangeResult {
    uint32_t code = 0;
    model::FlowStatus flow_status = model::FlowStatus::Pending;
    std::optional<uint64_t> unanswered_ms;
    bool operator==(const ChangeResult &) const = default;
};
json to_json(const ChangeResult &result);
Result<ChangeResult> decode_change(const json &result);

// flow.apply: what changed, what the cards said, and per slot the counters
// the resulting set needs against the card's.
struct ApplySlot {
    uint32_t slot = 0;
    model::CardState state = model::CardState::Down;
    uint64_t flows = 0;               // configured once applied
    std::optional<uint64_t> counters; // the card's; null when down
    uint64_t held = 0;                // counters held by flows that stay
    uint64_t would_refuse = 0;        // adds past the card's free counters
    bool operator==(const ApplySlot &) const = default;
};
struct ApplyResult {
    bool dry_run = false;
    uint64_t added = 0, removed = 0, renamed = 0, unchanged = 0, skipped = 0;
    uint64_t applied = 0, pending = 0;       // of the changes sent: taken; not known
    std::map<std::string, uint64_t> refused; // by the card's status name
    std::string changes;                     // "+ LINE", "- LINE", "~ LINE" (renamed), one a line
    std::string would_refuse;                // the adds past a card's free counters, one a line
    std::vector<ApplySlot> slots;
    bool operator==(const ApplyResult &) const = default;
};
json to_json(const ApplyResult &result);
Result<ApplyResult> decode_apply(const json &result);
// A progress notification of flow.apply: changes answered of all to send.
inline constexpr const char *kApplyProgress = "flow.apply.progress";
struct ApplyProgress {
    uint64_t done = 0, total = 0;
};
json to_json(const ApplyProgress &progress);

// One entry of the audit trail (audit.list): a change, when (UTC ms), who
// asked, what (the method and a summary of its params), and its result
// ("ok", or the error's JSON-RPC code and message).
struct AuditEntry {
    uint64_t id = 0; // ascending with time
    uint64_t time_ms = 0;
    std::string who;
    std::string method;
    std::string what;
    bool ok = true;
    int code = 0; // JSON-RPC error code when not ok
    std::string message;
    bool operator==(const AuditEntry &) const = default;
};
json to_json(const std::vector<AuditEntry> &entries);
Result<std::vector<AuditEntry>> decode_audit(const json &result);

// flow.get; cleared: the total counts from the flow's clear.
struct GetResult {
    uint64_t frames = 0;
    uint64_t bytes = 0;
    bool cleared = false;
    bool operator==(const GetResult &) const = default;
};
// As text, members in the order json's dump gives them: every poller's path.
std::string to_text(const GetResult &result);
Result<GetResult> decode_get(const json &result);

// One card (cards.list, card.status, card.traffic); nullopt: unknown.
struct CardInfo {
    uint32_t slot = 0;
    model::CardState state = model::CardState::Down;
    uint64_t flows = 0, applied = 0;
    std::optional<uint64_t> card_flows, counters_used, counter_first, counter_size;
    std::optional<uint64_t> frames, bytes, mismatches, queries_checked, traffic_pps;
    std::optional<bool> traffic_paused;
    std::optional<uint64_t> uptime_s;
    std::optional<std::string> boot_id;
    // Flows that held a counter before the card's restart and were refused
    // in its replay; null when down.
    std::optional<uint64_t> lost_counters;
    bool operator==(const CardInfo &) const = default;
};
json to_json(const CardInfo &card);

// card.display.
struct DisplayResult {
    uint32_t slot = 0;
    uint64_t chunks = 0;
    std::string text;
    bool operator==(const DisplayResult &) const = default;
};
json to_json(const DisplayResult &result);
Result<DisplayResult> decode_display(const json &result);

// flow.show's entry for a card; error: why its display is missing or partial.
struct ShowCard {
    uint32_t slot = 0;
    model::CardState state = model::CardState::Down;
    bool complete = false;
    std::optional<std::string> error;
    bool operator==(const ShowCard &) const = default;
};
json to_json(const ShowCard &card);

// A row of flow.show: a flow's total as its card's display gave it.
struct ShowFlow {
    uint32_t slot = 0;
    model::FlowKey key;
    std::optional<uint32_t> counter; // nullopt: the card does not hold the flow
    uint64_t frames = 0, bytes = 0;
    bool complete = false;
    std::optional<model::FlowStatus> status; // nullopt: not configured ("unconfigured")
    uint32_t code = 0;                       // a refused flow's code, else 0
    std::string name;                        // "" for none
    bool cleared = false;                    // frames and bytes count from the flow's clear
    bool operator==(const ShowFlow &) const = default;
};

// flow.show's result (the supervisor writes it as text: FlowText).
struct ShowResult {
    std::vector<ShowFlow> flows;
    std::vector<ShowCard> cards;
};
Result<ShowResult> decode_show(const json &result);
// One notification of a streamed flow.show: at most 1,024 rows of one slot,
// and on the slot's last part its card entry.
inline constexpr const char *kShowPartMethod = "flow.show.part";
struct ShowPart {
    std::optional<int64_t> id; // the request's; nullopt when not an integer
    uint32_t slot = 0;
    std::vector<ShowFlow> flows;
    std::optional<ShowCard> card;
};
// Reads a line as a flow.show.part notification without building a document
// (a full chassis is a thousand such lines). false: the line is something
// else (an answer, another notification), to be read as usual; a part that
// is malformed is a Protocol error. part's row storage is reused.
Result<bool> decode_show_part(std::string_view line, ShowPart &part);
// A row of flow.list: a configured flow and where it stands.
struct ListFlow {
    uint32_t slot = 0;
    model::FlowKey key;
    model::FlowStatus status = model::FlowStatus::Pending;
    uint32_t code = 0; // a refused flow's code, else 0
    std::string name;  // "" for none
    bool operator==(const ListFlow &) const = default;
};
// flow.list's result (the supervisor writes it as text: FlowText).
Result<std::vector<ListFlow>> decode_list(const json &result);
// One card, and cards.list's result.
Result<CardInfo> decode_card(const json &card);
Result<std::vector<CardInfo>> decode_cards(const json &result);

// flow.clear: how many flows were cleared, and the selected ones that were
// not, each with why ("card down", "incomplete", "not held", ...).
struct NotCleared {
    uint32_t slot = 0;
    model::FlowKey key;
    std::string reason;
    bool operator==(const NotCleared &) const = default;
};
struct ClearResult {
    uint64_t cleared = 0;
    std::vector<NotCleared> not_cleared;
    bool operator==(const ClearResult &) const = default;
};
json to_json(const ClearResult &result);
Result<ClearResult> decode_clear(const json &result);

// methods.list.
json methods_json();

// Appends flow rows as JSON text. Each row method writes one object, with the
// comma before it when it is not the first.
class FlowText {
public:
    explicit FlowText(size_t reserve = 0) { out_.reserve(reserve); }
    void raw(std::string_view piece) { out_.append(piece); }
    void number(uint64_t value);
    void fcid(uint32_t value); // "0x%06x", quoted

    // flow.list: slot, type, vsan, sid, did, status, code, name.
    void list_row(uint32_t slot, const model::FlowKey &key, model::FlowStatus status, uint32_t code,
                  std::string_view name = {});
    // flow.show: slot, type, vsan, sid, did, counter, frames, bytes, complete,
    // status (a configured flow's, or "unconfigured"), code, name, cleared.
    void show_row(const ShowFlow &row);

    // The rows continue a list begun in an earlier text: the first one
    // written gets its comma too.
    void continue_list() { first_ = false; }

    std::string take() { return std::move(out_); }

private:
    void open_row(uint32_t slot, const model::FlowKey &key);
    std::string out_;
    bool first_ = true;
};

} // namespace api

#endif // API_SCHEMA_H
