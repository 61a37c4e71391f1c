// The control socket's params and results, decoded and encoded (schema.h).

#include "schema.h"

#include <algorithm>
#include <charconv>

#include "status.h"

namespace api {

namespace {

namespace cp = card_protocol;
using model::Errc;

// A flow.show row's status when the flow is not configured.
constexpr const char *kUnconfigured = "unconfigured";
using model::Error;

Error invalid_params(std::string message) {
    return model::error(Errc::InvalidParams, std::move(message));
}

// A member of named params; nullptr when absent or null (the same to us).
const json *member(const json &params, const char *name) {
    if (!params.is_object()) {
        return nullptr;
    }
    const auto it = params.find(name);
    return it == params.end() || it->is_null() ? nullptr : &*it;
}

// An integer member within [min, max]; with text, a string holding a decimal
// or 0x number is taken too.
Result<uint64_t> integer(const json &params, const char *name, uint64_t min, uint64_t max,
                         bool text = false) {
    const json *value = member(params, name);
    if (value == nullptr) {
        return invalid_params(std::string("missing ") + name);
    }
    std::optional<uint64_t> number;
    if (value->is_number_unsigned()) {
        number = value->get<uint64_t>();
    } else if (text && value->is_string()) {
        number = model::parse_number(value->get_ref<const std::string &>());
    }
    if (!number || *number < min || *number > max) {
        return invalid_params(std::string(name) + " must be " + (text ? "a number" : "an integer") +
                              " in " + std::to_string(min) + ".." + std::to_string(max));
    }
    return *number;
}

Result<uint32_t> slot_member(const json &params) {
    const auto slot = integer(params, "slot", cp::kMinSlot, cp::kMaxSlot);
    if (const Error *e = model::failed(slot)) {
        return *e;
    }
    return static_cast<uint32_t>(*slot);
}

Result<model::FlowType> type_member(const json &params) {
    const json *value = member(params, "type");
    const auto type = value != nullptr && value->is_string()
                          ? model::parse_type(value->get_ref<const std::string &>())
                          : std::nullopt;
    if (!type) {
        return invalid_params("type must be \"vsan\", \"domain\" or \"exact\"");
    }
    return *type;
}

// An optional boolean member; absent is false.
Result<bool> flag(const json &params, const char *name) {
    const json *value = member(params, name);
    if (value != nullptr && !value->is_boolean()) {
        return invalid_params(std::string(name) + " must be true or false");
    }
    return value != nullptr && value->get<bool>();
}

json optional_json(const std::optional<uint64_t> &value) {
    return value ? json(*value) : json();
}

// ---- reading results --------------------------------------------------------------

// Reads a result's members; the first bad one is kept and named, later reads
// are skipped. A result is the supervisor's: anything wrong is a protocol
// failure, not the operator's.
class Reader {
public:
    explicit Reader(const json &object, const char *what) : object_(object) {
        if (!object.is_object()) {
            fail(std::string(what) + " is not an object");
        }
    }
    const Error *error() const { return error_ ? &*error_ : nullptr; }

    const json &get(const char *name) {
        static const json null_value;
        if (error_) {
            return null_value;
        }
        const auto it = object_.find(name);
        return it == object_.end() ? null_value : *it;
    }
    // A JSON integer that is not negative, whichever way the parser stored it.
    static std::optional<uint64_t> as_count(const json &v) {
        if (v.is_number_unsigned()) {
            return v.get<uint64_t>();
        }
        if (v.is_number_integer() && v.get<int64_t>() >= 0) {
            return static_cast<uint64_t>(v.get<int64_t>());
        }
        return std::nullopt;
    }
    std::optional<uint64_t> optional_count(const char *name) {
        const json &v = get(name);
        const std::optional<uint64_t> count = as_count(v);
        if (!v.is_null() && !count) {
            fail(std::string("\"") + name + "\" is not a count");
        }
        return count;
    }
    uint64_t count(const char *name, uint64_t max = UINT64_MAX) {
        const std::optional<uint64_t> v = optional_count(name);
        if (!error_ && !v) {
            fail(std::string("\"") + name + "\" is not a count");
        } else if (v && *v > max) {
            fail(std::string("\"") + name + "\" out of range");
        }
        return error_ ? 0 : *v;
    }
    uint32_t u32(const char *name) { return static_cast<uint32_t>(count(name, UINT32_MAX)); }
    // An FC ID as results give it ("0x010203"), or as a number; 0 when absent.
    uint32_t fcid(const char *name) {
        const json &v = get(name);
        if (v.is_null()) {
            return 0;
        }
        const std::optional<uint64_t> n =
            v.is_string() ? model::parse_number(v.get<std::string>()) : as_count(v);
        if (!n || *n > model::kMaxFcid) {
            fail(std::string("\"") + name + "\" is not an FC ID");
            return 0;
        }
        return static_cast<uint32_t>(*n);
    }
    std::optional<std::string> optional_text(const char *name) {
        const json &v = get(name);
        return v.is_string() ? std::optional(v.get<std::string>()) : std::nullopt;
    }
    std::string text(const char *name) {
        std::optional<std::string> v = optional_text(name);
        if (!error_ && !v) {
            fail(std::string("\"") + name + "\" is not a string");
        }
        return v.value_or("");
    }
    std::optional<bool> optional_boolean(const char *name) {
        const json &v = get(name);
        return v.is_boolean() ? std::optional(v.get<bool>()) : std::nullopt;
    }
    template <class E, class Parse>
    E name_of(const char *name, Parse parse, const char *what) {
        const std::string word = text(name);
        const std::optional<E> value = error_ ? std::nullopt : parse(word);
        if (!error_ && !value) {
            fail(std::string("unknown ") + what + " \"" + word + "\"");
        }
        return value.value_or(E{});
    }
    // A row's flow: type, vsan, sid, did.
    model::FlowKey flow_key() {
        return {name_of<model::FlowType>("type", &model::parse_type, "flow type"), u32("vsan"),
                fcid("sid"), fcid("did")};
    }
    model::CardState card_state(const char *name) {
        return name_of<model::CardState>(name, &model::parse_state, "card state");
    }
    model::FlowStatus flow_status(const char *name) {
        return name_of<model::FlowStatus>(name, &model::parse_flow_status, "flow status");
    }
    // Hands the first bad member on to the reader of the enclosing object.
    void pass_error(Reader &outer) const {
        if (error_) {
            outer.fail(error_->message);
        }
    }
    void fail(std::string message) {
        if (!error_) {
            error_ = model::error(Errc::Protocol, std::move(message));
        }
    }

private:
    const json &object_;
    std::optional<Error> error_;
};

template <class T>
Result<T> read_result(const Reader &reader, T value) {
    if (const Error *e = reader.error()) {
        return *e;
    }
    return value;
}

} // namespace

const MethodInfo *find_method(std::string_view name) {
    const auto it = std::find_if(kMethods.begin(), kMethods.end(),
                                 [name](const MethodInfo &m) { return name == m.name; });
    return it == kMethods.end() ? nullptr : &*it;
}

model::Error unknown_method(std::string_view name) {
    return model::error(Errc::UnknownMethod, "unknown method " + json(name).dump());
}

// ---- params -------------------------------------------------------------------

model::Status check_named(const json &params) {
    if (params.is_object() || (params.is_array() && params.empty())) {
        return model::Ok{};
    }
    return invalid_params("params must be an object");
}

namespace {

Result<FlowParams> decode_flow_key(const json &params) {
    if (!params.is_object()) {
        return invalid_params("params must be an object naming a flow");
    }
    const auto slot = slot_member(params);
    if (const Error *e = model::failed(slot)) {
        return *e;
    }
    const auto type = type_member(params);
    if (const Error *e = model::failed(type)) {
        return *e;
    }
    const auto vsan = integer(params, "vsan", model::kMinVsan, model::kMaxVsan);
    if (const Error *e = model::failed(vsan)) {
        return *e;
    }
    if (*type == model::FlowType::Vsan) {
        return FlowParams{*slot, {model::FlowType::Vsan, static_cast<uint32_t>(*vsan), 0, 0}, {}};
    }
    const auto sid = integer(params, "sid", model::kMinFcid, model::kMaxFcid, true);
    if (const Error *e = model::failed(sid)) {
        return *e;
    }
    const auto did = integer(params, "did", model::kMinFcid, model::kMaxFcid, true);
    if (const Error *e = model::failed(did)) {
        return *e;
    }
    std::string why;
    const auto key =
        model::make_key(*type, static_cast<uint32_t>(*vsan), static_cast<uint32_t>(*sid),
                        static_cast<uint32_t>(*did), &why);
    if (!key) {
        return invalid_params(why);
    }
    return FlowParams{*slot, *key, {}};
}

} // namespace

Result<FlowParams> decode_flow_params(const json &params) {
    auto flow = decode_flow_key(params);
    const auto name = params.is_object() ? params.find("name") : params.end();
    if (!flow || name == params.end()) {
        return flow;
    }
    if (!name->is_string() || !model::is_flow_name(name->get_ref<const std::string &>())) {
        return invalid_params("\"name\" must be 1 to 64 letters, digits or . _ : / -");
    }
    flow->name = name->get<std::string>();
    return flow;
}

Result<SlotParams> decode_slot_params(const json &params) {
    const auto slot = slot_member(params);
    if (const Error *e = model::failed(slot)) {
        return *e;
    }
    return SlotParams{*slot};
}

Result<ListParams> decode_list_params(const json &params) {
    if (member(params, "slot") == nullptr) {
        return ListParams{};
    }
    const auto slot = slot_member(params);
    if (const Error *e = model::failed(slot)) {
        return *e;
    }
    return ListParams{*slot};
}

namespace {

// "slots": ascending, each once; nullopt when absent.
Result<std::optional<std::vector<uint32_t>>> slots_member(const json &params) {
    const json *list = member(params, "slots");
    if (list == nullptr) {
        return std::optional<std::vector<uint32_t>>();
    }
    const std::string expected = "slots must be an array of slots " + std::to_string(cp::kMinSlot) +
                                 ".." + std::to_string(cp::kMaxSlot);
    if (!list->is_array()) {
        return invalid_params(expected);
    }
    std::vector<uint32_t> slots;
    for (const json &slot : *list) {
        if (!slot.is_number_unsigned() || slot.get<uint64_t>() < cp::kMinSlot ||
            slot.get<uint64_t>() > cp::kMaxSlot) {
            return invalid_params(expected);
        }
        slots.push_back(slot.get<uint32_t>());
    }
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    return std::optional(std::move(slots));
}

} // namespace

Result<ShowParams> decode_show_params(const json &params) {
    ShowParams show;
    const auto since_boot = flag(params, "since_boot");
    if (const Error *e = model::failed(since_boot)) {
        return *e;
    }
    show.since_boot = *since_boot;
    const auto stream = flag(params, "stream");
    if (const Error *e = model::failed(stream)) {
        return *e;
    }
    show.stream = *stream;
    if (member(params, "type") != nullptr) {
        const auto type = type_member(params);
        if (const Error *e = model::failed(type)) {
            return *e;
        }
        show.type = *type;
    }
    if (member(params, "vsan") != nullptr) {
        const auto vsan = integer(params, "vsan", model::kMinVsan, model::kMaxVsan);
        if (const Error *e = model::failed(vsan)) {
            return *e;
        }
        show.vsan = static_cast<uint32_t>(*vsan);
    }
    auto slots = slots_member(params);
    if (const Error *e = model::failed(slots)) {
        return *e;
    }
    show.slots = std::move(*slots);
    return show;
}

Result<ApplyParams> decode_apply_params(const json &params) {
    ApplyParams apply;
    const json *flows = member(params, "flows");
    if (flows == nullptr || !flows->is_string()) {
        return invalid_params("flows must be a flow-set text");
    }
    apply.flows = flows->get<std::string>();
    auto slots = slots_member(params);
    if (const Error *e = model::failed(slots)) {
        return *e;
    }
    apply.slots = std::move(*slots);
    for (auto [name, flag] :
         {std::pair{"prune", &apply.prune}, std::pair{"dry_run", &apply.dry_run},
          std::pair{"progress", &apply.progress}}) {
        if (const json *v = member(params, name)) {
            if (!v->is_boolean()) {
                return invalid_params(std::string(name) + " must be true or false");
            }
            *flag = v->get<bool>();
        }
    }
    return apply;
}

Result<ExportParams> decode_export_params(const json &params) {
    auto slots = slots_member(params);
    if (const Error *e = model::failed(slots)) {
        return *e;
    }
    return ExportParams{std::move(*slots)};
}

Result<GetParams> decode_get_params(const json &params) {
    const auto flow = decode_flow_key(params);
    if (const Error *e = model::failed(flow)) {
        return *e;
    }
    const auto since_boot = flag(params, "since_boot");
    if (const Error *e = model::failed(since_boot)) {
        return *e;
    }
    GetParams get;
    static_cast<FlowParams &>(get) = *flow;
    get.since_boot = *since_boot;
    return get;
}

Result<ClearParams> decode_clear_params(const json &params) {
    // "slot" names one flow; "slots" (or nothing) a selection.
    if (member(params, "slot") != nullptr) {
        if (member(params, "slots") != nullptr) {
            return invalid_params("slot (one flow) and slots (a selection) exclude each other");
        }
        const auto flow = decode_flow_key(params);
        if (const Error *e = model::failed(flow)) {
            return *e;
        }
        return ClearParams{*flow, {}};
    }
    const auto selection = decode_show_params(params);
    if (const Error *e = model::failed(selection)) {
        return *e;
    }
    return ClearParams{std::nullopt, *selection};
}

Result<TrafficParams> decode_traffic_params(const json &params) {
    struct Action {
        const char *name;
        cp::TrafficAction action;
    };
    static constexpr Action kActions[] = {{"pause", cp::TrafficAction::Pause},
                                          {"resume", cp::TrafficAction::Resume},
                                          {"rate", cp::TrafficAction::Rate}};
    const auto slot = slot_member(params);
    if (const Error *e = model::failed(slot)) {
        return *e;
    }
    const json *action = member(params, "action");
    const auto it =
        std::find_if(std::begin(kActions), std::end(kActions),
                     [action](const Action &a) { return action != nullptr && *action == a.name; });
    if (it == std::end(kActions)) {
        return invalid_params("action must be \"pause\", \"resume\" or \"rate\"");
    }
    TrafficParams traffic{*slot, it->action, 0};
    if (traffic.action == cp::TrafficAction::Rate) {
        const auto pps = integer(params, "pps", 0, UINT64_MAX);
        if (const Error *e = model::failed(pps)) {
            return *e;
        }
        traffic.pps = *pps;
    }
    return traffic;
}

Result<AuditParams> decode_audit_params(const json &params) {
    AuditParams audit;
    if (member(params, "since") != nullptr) {
        const auto since = integer(params, "since", 0, UINT64_MAX);
        if (const Error *e = model::failed(since)) {
            return *e;
        }
        audit.since_ms = *since;
    }
    if (member(params, "limit") != nullptr) {
        const auto limit = integer(params, "limit", 1, kMaxAuditList);
        if (const Error *e = model::failed(limit)) {
            return *e;
        }
        audit.limit = static_cast<uint32_t>(*limit);
    }
    return audit;
}

bool needs_admin(const MethodInfo &method, const json &params) {
    switch (method.role) {
    case Role::Reader:
        return false;
    case Role::Admin:
        return true;
    case Role::AdminUnlessDryRun:
        break;
    }
    const auto dry_run = flag(params, "dry_run");
    return !dry_run || !*dry_run;
}

model::Status check_params(std::string_view method, const json &params) {
    if (const auto named = check_named(params); !named) {
        return named;
    }
    const MethodInfo *info = find_method(method);
    return info == nullptr ? model::Status(unknown_method(method)) : info->check(params);
}

json to_json(const FlowParams &params) {
    json out = {{"slot", params.slot},
                {"type", model::type_name(params.key.type)},
                {"vsan", params.key.vsan}};
    if (params.key.type != model::FlowType::Vsan) {
        out["sid"] = model::fcid_hex(params.key.sid);
        out["did"] = model::fcid_hex(params.key.did);
    }
    if (!params.name.empty()) {
        out["name"] = params.name;
    }
    return out;
}

json to_json(const SlotParams &params) {
    return {{"slot", params.slot}};
}

json to_json(const ListParams &params) {
    return params.slot ? json{{"slot", *params.slot}} : json::object();
}

json to_json(const ShowParams &params) {
    json out = json::object();
    if (params.slots) {
        out["slots"] = *params.slots;
    }
    if (params.type) {
        out["type"] = model::type_name(*params.type);
    }
    if (params.vsan) {
        out["vsan"] = *params.vsan;
    }
    if (params.since_boot) {
        out["since_boot"] = true;
    }
    if (params.stream) {
        out["stream"] = true;
    }
    return out;
}

json to_json(const ApplyParams &params) {
    json out = {{"flows", params.flows}};
    if (params.slots) {
        out["slots"] = *params.slots;
    }
    for (auto [name, flag] :
         {std::pair{"prune", params.prune}, std::pair{"dry_run", params.dry_run},
          std::pair{"progress", params.progress}}) {
        if (flag) {
            out[name] = true;
        }
    }
    return out;
}

json to_json(const GetParams &params) {
    json out = to_json(static_cast<const FlowParams &>(params));
    if (params.since_boot) {
        out["since_boot"] = true;
    }
    return out;
}

json to_json(const ExportParams &params) {
    return params.slots ? json{{"slots", *params.slots}} : json::object();
}

json to_json(const AuditParams &params) {
    return {{"since", params.since_ms}, {"limit", params.limit}};
}

json to_json(const ClearParams &params) {
    return params.flow ? to_json(*params.flow) : to_json(params.selection);
}

json to_json(const TrafficParams &params) {
    switch (params.action) {
    case cp::TrafficAction::Pause:
        return {{"slot", params.slot}, {"action", "pause"}};
    case cp::TrafficAction::Resume:
        return {{"slot", params.slot}, {"action", "resume"}};
    case cp::TrafficAction::Rate:
        break;
    }
    return {{"slot", params.slot}, {"action", "rate"}, {"pps", params.pps}};
}

// ---- results ------------------------------------------------------------------

json to_json(const ChangeResult &result) {
    json out = {{"status", result.unanswered_ms ? "unknown" : model::status_name(result.code)},
                {"code", result.code},
                {"flow_status", model::status_name(result.flow_status)}};
    if (result.unanswered_ms) {
        out["unanswered_ms"] = *result.unanswered_ms;
    }
    return out;
}

Result<ChangeResult> decode_change(const json &result) {
    Reader r(result, "the result");
    ChangeResult change;
    change.code = r.u32("code");
    change.flow_status = r.flow_status("flow_status");
    change.unanswered_ms = r.optional_count("unanswered_ms");
    return read_result(r, change);
}

std::string to_text(const GetResult &result) {
    FlowText text(64);
    text.raw("{\"bytes\":");
    text.number(result.bytes);
    text.raw(result.cleared ? ",\"cleared\":true" : ",\"cleared\":false");
    text.raw(",\"code\":0,\"frames\":");
    text.number(result.frames);
    text.raw(",\"status\":\"ok\"}");
    return text.take();
}

json to_json(const std::vector<AuditEntry> &entries) {
    json list = json::array();
    for (const AuditEntry &e : entries) {
        json row = {{"id", e.id},         {"time_ms", e.time_ms}, {"who", e.who},
                    {"method", e.method}, {"what", e.what},       {"result", "ok"}};
        if (!e.ok) {
            row["result"] = "error";
            row["code"] = e.code;
            row["message"] = e.message;
        }
        list.push_back(std::move(row));
    }
    return {{"entries", std::move(list)}};
}

Result<std::vector<AuditEntry>> decode_audit(const json &result) {
    Reader top(result, "the result");
    const json &list = top.get("entries");
    if (!list.is_array()) {
        return model::error(Errc::Protocol, "\"entries\" is not an array");
    }
    std::vector<AuditEntry> entries;
    for (const json &row : list) {
        Reader r(row, "an entry");
        AuditEntry e;
        e.id = r.count("id");
        e.time_ms = r.count("time_ms");
        e.who = r.text("who");
        e.method = r.text("method");
        e.what = r.text("what");
        e.ok = r.text("result") == "ok";
        if (!e.ok) {
            const json &code = r.get("code");
            e.code = code.is_number_integer() ? code.get<int>() : 0;
            e.message = r.optional_text("message").value_or("");
        }
        if (const Error *error = r.error()) {
            return *error;
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

Result<GetResult> decode_get(const json &result) {
    Reader r(result, "the result");
    GetResult get;
    get.frames = r.count("frames");
    get.bytes = r.count("bytes");
    get.cleared = r.optional_boolean("cleared").value_or(false);
    return read_result(r, get);
}

json to_json(const CardInfo &card) {
    return {
        {"slot", card.slot},
        {"state", model::state_name(card.state)},
        {"flows", card.flows},
        {"applied", card.applied},
        {"card_flows", optional_json(card.card_flows)},
        {"counters_used", optional_json(card.counters_used)},
        {"counter_first", optional_json(card.counter_first)},
        {"counter_size", optional_json(card.counter_size)},
        {"frames", optional_json(card.frames)},
        {"bytes", optional_json(card.bytes)},
        {"mismatches", optional_json(card.mismatches)},
        {"queries_checked", optional_json(card.queries_checked)},
        {"traffic_pps", optional_json(card.traffic_pps)},
        {"traffic_paused", card.traffic_paused ? json(*card.traffic_paused) : json()},
        {"uptime_s", optional_json(card.uptime_s)},
        {"boot_id", card.boot_id ? json(*card.boot_id) : json()},
        {"lost_counters", optional_json(card.lost_counters)},
    };
}

json to_json(const DisplayResult &result) {
    return {{"slot", result.slot}, {"chunks", result.chunks}, {"text", result.text}};
}

Result<DisplayResult> decode_display(const json &result) {
    Reader r(result, "the result");
    DisplayResult display;
    display.slot = r.u32("slot");
    display.chunks = r.count("chunks");
    display.text = r.text("text");
    return read_result(r, display);
}

json to_json(const ShowCard &card) {
    return {{"slot", card.slot},
            {"state", model::state_name(card.state)},
            {"complete", card.complete},
            {"error", card.error ? json(*card.error) : json()}};
}

namespace {

ShowFlow read_show_flow(const json &object, Reader &outer) {
    Reader r(object, "a flow");
    ShowFlow row;
    row.slot = r.u32("slot");
    row.key = r.flow_key();
    if (!r.get("counter").is_null()) {
        row.counter = r.u32("counter");
    }
    row.frames = r.count("frames");
    row.bytes = r.count("bytes");
    const std::optional<bool> complete = r.optional_boolean("complete");
    if (!complete) {
        r.fail("\"complete\" is not a boolean");
    }
    row.complete = complete.value_or(false);
    const std::string status = r.text("status");
    if (status != kUnconfigured) {
        row.status = r.flow_status("status");
    }
    row.code = r.get("code").is_null() ? 0 : r.u32("code");
    row.name = r.optional_text("name").value_or("");
    row.cleared = r.optional_boolean("cleared").value_or(false);
    r.pass_error(outer);
    return row;
}

ShowCard read_show_card(const json &object, Reader &outer) {
    Reader r(object, "a card");
    ShowCard card;
    card.slot = r.u32("slot");
    card.state = r.card_state("state");
    card.complete = r.optional_boolean("complete").value_or(true);
    card.error = r.optional_text("error");
    r.pass_error(outer);
    return card;
}

CardInfo read_card(const json &object, Reader &outer) {
    Reader r(object, "a card");
    CardInfo card;
    card.slot = r.u32("slot");
    card.state = r.card_state("state");
    card.flows = r.count("flows");
    card.applied = r.count("applied");
    card.card_flows = r.optional_count("card_flows");
    card.counters_used = r.optional_count("counters_used");
    card.counter_first = r.optional_count("counter_first");
    card.counter_size = r.optional_count("counter_size");
    card.frames = r.optional_count("frames");
    card.bytes = r.optional_count("bytes");
    card.mismatches = r.optional_count("mismatches");
    card.queries_checked = r.optional_count("queries_checked");
    card.traffic_pps = r.optional_count("traffic_pps");
    card.traffic_paused = r.optional_boolean("traffic_paused");
    card.uptime_s = r.optional_count("uptime_s");
    card.boot_id = r.optional_text("boot_id");
    card.lost_counters = r.optional_count("lost_counters");
    r.pass_error(outer);
    return card;
}

// The array member name of a result; an absent one is empty unless required.
const json &list_member(Reader &r, const char *name, bool required) {
    static const json empty = json::array();
    const json &v = r.get(name);
    if (v.is_array() || r.error() != nullptr) {
        return v.is_array() ? v : empty;
    }
    if (!v.is_null() || required) {
        r.fail(std::string("\"") + name + "\" is not a list");
    }
    return empty;
}

} // namespace

Result<ShowResult> decode_show(const json &result) {
    Reader r(result, "the result");
    ShowResult show;
    for (const json &flow : list_member(r, "flows", true)) {
        show.flows.push_back(read_show_flow(flow, r));
    }
    for (const json &card : list_member(r, "cards", false)) {
        show.cards.push_back(read_show_card(card, r));
    }
    return read_result(r, std::move(show));
}

namespace {

// Reads a flow.show.part line event by event into ShowPart: a part's rows are
// most of a snapshot, and a document per part would cost more than the rest of
// flowctl's work together.
class ShowPartReader {
public:
    explicit ShowPartReader(ShowPart &part) : part_(part) {}

    // The verdict once the line is read: not a part, a part, or a bad one.
    Result<bool> verdict(bool parsed) const {
        if (!parsed || has_id_ || method_ != kShowPartMethod) {
            return false;
        }
        if (error_) {
            return model::error(Errc::Protocol, "flow.show.part: " + *error_);
        }
        if (!has_slot_) {
            return model::error(Errc::Protocol, "flow.show.part: \"slot\" is not a count");
        }
        return true;
    }

    // nlohmann's SAX interface.
    bool null() { return scalar(Value{Kind::Null}); }
    bool boolean(bool v) { return scalar(Value{Kind::Bool, v}); }
    bool number_integer(json::number_integer_t) { return scalar(Value{Kind::Other}); }
    bool number_unsigned(json::number_unsigned_t v) { return scalar(Value{Kind::Count, false, v}); }
    bool number_float(json::number_float_t, const json::string_t &) {
        return scalar(Value{Kind::Other});
    }
    bool string(json::string_t &v) { return scalar(Value{Kind::Text, false, 0, &v}); }
    bool binary(json::binary_t &) { return scalar(Value{Kind::Other}); }
    bool key(json::string_t &name) {
        key_ = name;
        if (where() == Where::Row) {
            field_ = row_field(name);
        }
        return true;
    }
    bool start_object(std::size_t) { return open(true); }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(false); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) {
        return false;
    }

private:
    enum class Where { Top, Params, Flows, Row, Card, Skip };
    enum class Kind { Null, Bool, Count, Text, Other };
    struct Value {
        Kind kind;
        bool flag = false;
        uint64_t count = 0;
        const std::string *text = nullptr;
    };
    // A row's members, in the order the supervisor writes them.
    enum Field {
        Slot,
        Type,
        Vsan,
        Sid,
        Did,
        Counter,
        Frames,
        Bytes,
        Complete,
        Status,
        Code,
        Name,
        Cleared,
        kFields,
        Unknown = kFields
    };
    static constexpr std::array<std::string_view, kFields> kFieldNames = {
        "slot",  "type",     "vsan",   "sid",  "did",  "counter", "frames",
        "bytes", "complete", "status", "code", "name", "cleared"};

    Where where() const { return stack_.empty() ? Where::Top : stack_.back(); }

    Field row_field(std::string_view name) {
        // Most rows list their members in one order: try the next one first.
        const size_t next = field_ == Unknown ? 0 : (field_ + 1) % kFields;
        if (kFieldNames[next] == name) {
            return static_cast<Field>(next);
        }
        for (size_t f = 0; f < kFields; ++f) {
            if (kFieldNames[f] == name) {
                return static_cast<Field>(f);
            }
        }
        return Unknown;
    }

    void fail(std::string message) {
        if (!error_) {
            error_ = std::move(message);
        }
    }

    bool open(bool object) {
        const Where parent = stack_.empty() ? Where::Skip : where();
        Where next = Where::Skip;
        if (stack_.empty() && !top_seen_) {
            top_seen_ = true;
            next = object ? Where::Top : Where::Skip;
        } else if (parent == Where::Top) {
            has_id_ = has_id_ || key_ == "id";
            if (object && key_ == "params") {
                next = Where::Params;
                part_.flows.clear();
                part_.card.reset();
                part_.id.reset();
            }
        } else if (parent == Where::Params) {
            next = !object && key_ == "flows" ? Where::Flows
                   : object && key_ == "card" ? Where::Card
                                              : Where::Skip;
            if (next == Where::Skip && (key_ == "flows" || key_ == "card")) {
                fail("\"" + key_ + "\" is not a " + (key_ == "flows" ? "list" : "card"));
            }
            if (next == Where::Card) {
                card_ = ShowCard{};
                card_.complete = true;
                card_seen_ = 0;
            }
        } else if (parent == Where::Flows) {
            if (!object) {
                fail("a flow is not an object");
            } else {
                next = Where::Row;
                row_ = ShowFlow{};
                seen_ = 0;
                field_ = Unknown;
            }
        } else if (parent == Where::Row || parent == Where::Card) {
            fail(std::string("\"") + key_ + "\" is not a " +
                 (parent == Where::Row ? "flow's member" : "card's member"));
        }
        stack_.push_back(next);
        return true;
    }

    bool close() {
        const Where was = where();
        stack_.pop_back();
        if (was == Where::Row) {
            end_row();
        } else if (was == Where::Card) {
            if ((card_seen_ & 3u) != 3u) {
                fail("a card lacks its slot or state");
            }
            part_.card = std::move(card_);
        }
        return true;
    }

    bool scalar(const Value &v) {
        switch (where()) {
        case Where::Top:
            has_id_ = has_id_ || key_ == "id";
            if (key_ == "method" && v.kind == Kind::Text) {
                method_ = *v.text;
            }
            break;
        case Where::Params:
            if (key_ == "id") {
                part_.id = v.kind == Kind::Count && v.count <= INT64_MAX
                               ? std::optional<int64_t>(static_cast<int64_t>(v.count))
                               : std::nullopt;
            } else if (key_ == "slot") {
                has_slot_ = v.kind == Kind::Count && v.count <= UINT32_MAX;
                part_.slot = static_cast<uint32_t>(v.count);
            } else if (key_ == "flows" || key_ == "card") {
                fail("\"" + key_ + "\" is not a " + (key_ == "flows" ? "list" : "card"));
            }
            break;
        case Where::Flows:
            fail("a flow is not an object");
            break;
        case Where::Row:
            row_member(v);
            break;
        case Where::Card:
            card_member(v);
            break;
        case Where::Skip:
            break;
        }
        return true;
    }

    void bad_member() { fail("\"" + key_ + "\" of a flow is not valid"); }

    uint32_t u32(const Value &v) {
        if (v.kind != Kind::Count || v.count > UINT32_MAX) {
            bad_member();
        }
        return static_cast<uint32_t>(v.count);
    }

    uint32_t fcid(const Value &v) {
        std::optional<uint64_t> n;
        if (v.kind == Kind::Text) {
            n = model::parse_number(*v.text);
        } else if (v.kind == Kind::Count) {
            n = v.count;
        }
        if (!n || *n > model::kMaxFcid) {
            bad_member();
            return 0;
        }
        return static_cast<uint32_t>(*n);
    }

    void row_member(const Value &v) {
        if (field_ == Unknown) {
            return;
        }
        seen_ |= 1u << field_;
        switch (field_) {
        case Slot:
            row_.slot = u32(v);
            break;
        case Type:
            if (const auto type =
                    v.kind == Kind::Text ? model::parse_type(*v.text) : std::nullopt) {
                row_.key.type = *type;
            } else {
                bad_member();
            }
            break;
        case Vsan:
            row_.key.vsan = u32(v);
            break;
        case Sid:
            row_.key.sid = v.kind == Kind::Null ? 0 : fcid(v);
            break;
        case Did:
            row_.key.did = v.kind == Kind::Null ? 0 : fcid(v);
            break;
        case Counter:
            if (v.kind != Kind::Null) {
                row_.counter = u32(v);
            }
            break;
        case Frames:
        case Bytes:
            if (v.kind != Kind::Count) {
                bad_member();
            }
            (field_ == Frames ? row_.frames : row_.bytes) = v.count;
            break;
        case Complete:
        case Cleared:
            if (v.kind != Kind::Bool) {
                bad_member();
            }
            (field_ == Complete ? row_.complete : row_.cleared) = v.flag;
            break;
        case Status:
            if (v.kind != Kind::Text) {
                bad_member();
            } else if (*v.text != kUnconfigured) {
                row_.status = model::parse_flow_status(*v.text);
                if (!row_.status) {
                    fail("unknown flow status \"" + *v.text + "\"");
                }
            }
            break;
        case Code:
            row_.code = v.kind == Kind::Null ? 0 : u32(v);
            break;
        case Name:
            if (v.kind == Kind::Text) {
                row_.name = *v.text;
            }
            break;
        default:
            break;
        }
    }

    void end_row() {
        constexpr uint32_t kRequired = 1u << Slot | 1u << Type | 1u << Vsan | 1u << Frames |
                                       1u << Bytes | 1u << Complete | 1u << Status;
        if ((seen_ & kRequired) != kRequired) {
            for (size_t f = 0; f < kFields; ++f) {
                if ((kRequired & ~seen_ & (1u << f)) != 0) {
                    fail("a flow lacks \"" + std::string(kFieldNames[f]) + "\"");
                }
            }
        }
        part_.flows.push_back(std::move(row_));
    }

    void card_member(const Value &v) {
        if (key_ == "slot" && v.kind == Kind::Count && v.count <= UINT32_MAX) {
            card_.slot = static_cast<uint32_t>(v.count);
            card_seen_ |= 1u;
        } else if (key_ == "state" && v.kind == Kind::Text && model::parse_state(*v.text)) {
            card_.state = *model::parse_state(*v.text);
            card_seen_ |= 2u;
        } else if (key_ == "complete" && v.kind == Kind::Bool) {
            card_.complete = v.flag;
        } else if (key_ == "error") {
            card_.error = v.kind == Kind::Text ? std::optional(*v.text) : std::nullopt;
        } else if (key_ == "slot" || key_ == "state") {
            fail("a card's \"" + key_ + "\" is not valid");
        }
    }

    ShowPart &part_;
    std::vector<Where> stack_;
    std::string key_;
    std::string method_;
    bool top_seen_ = false;
    bool has_id_ = false;
    bool has_slot_ = false;
    std::optional<std::string> error_;
    ShowFlow row_;
    Field field_ = Unknown;
    uint32_t seen_ = 0;
    ShowCard card_;
    uint32_t card_seen_ = 0;
};

} // namespace

Result<bool> decode_show_part(std::string_view line, ShowPart &part) {
    ShowPartReader reader(part);
    const bool parsed = json::sax_parse(line.begin(), line.end(), &reader);
    return reader.verdict(parsed);
}

Result<std::vector<ListFlow>> decode_list(const json &result) {
    Reader r(result, "the result");
    std::vector<ListFlow> flows;
    for (const json &object : list_member(r, "flows", true)) {
        Reader f(object, "a flow");
        ListFlow row;
        row.slot = f.u32("slot");
        row.key = f.flow_key();
        row.status = f.flow_status("status");
        row.code = f.get("code").is_null() ? 0 : f.u32("code");
        row.name = f.optional_text("name").value_or("");
        f.pass_error(r);
        flows.push_back(row);
    }
    return read_result(r, std::move(flows));
}

Result<CardInfo> decode_card(const json &card) {
    static const json kNoResult = json::object(); // the card is the whole result
    Reader r(kNoResult, "the result");
    CardInfo info = read_card(card, r);
    return read_result(r, std::move(info));
}

Result<std::vector<CardInfo>> decode_cards(const json &result) {
    Reader r(result, "the result");
    std::vector<CardInfo> cards;
    for (const json &card : list_member(r, "cards", true)) {
        cards.push_back(read_card(card, r));
    }
    return read_result(r, std::move(cards));
}

json to_json(const ApplyResult &result) {
    json slots = json::array();
    for (const ApplySlot &s : result.slots) {
        slots.push_back({{"slot", s.slot},
                         {"state", model::state_name(s.state)},
                         {"flows", s.flows},
                         {"counters", optional_json(s.counters)},
                         {"held", s.held},
                         {"would_refuse", s.would_refuse}});
    }
    return {{"dry_run", result.dry_run},           {"added", result.added},
            {"removed", result.removed},           {"renamed", result.renamed},
            {"unchanged", result.unchanged},       {"skipped", result.skipped},
            {"applied", result.applied},           {"pending", result.pending},
            {"refused", result.refused},           {"changes", result.changes},
            {"would_refuse", result.would_refuse}, {"slots", std::move(slots)}};
}

Result<ApplyResult> decode_apply(const json &result) {
    Reader r(result, "the result");
    ApplyResult apply;
    apply.dry_run = r.optional_boolean("dry_run").value_or(false);
    apply.added = r.count("added");
    apply.removed = r.count("removed");
    apply.renamed = r.count("renamed");
    apply.unchanged = r.count("unchanged");
    apply.skipped = r.count("skipped");
    apply.applied = r.count("applied");
    apply.pending = r.count("pending");
    apply.changes = r.text("changes");
    apply.would_refuse = r.text("would_refuse");
    const json &refused = r.get("refused");
    if (refused.is_object()) {
        for (const auto &[name, count] : refused.items()) {
            const auto n = Reader::as_count(count);
            if (!n) {
                r.fail("\"refused\" is not a map of counts");
                break;
            }
            apply.refused[name] = *n;
        }
    } else if (!refused.is_null()) {
        r.fail("\"refused\" is not a map of counts");
    }
    for (const json &slot : list_member(r, "slots", true)) {
        Reader s(slot, "a slot");
        ApplySlot entry;
        entry.slot = s.u32("slot");
        entry.state = s.card_state("state");
        entry.flows = s.count("flows");
        entry.counters = s.optional_count("counters");
        entry.held = s.count("held");
        entry.would_refuse = s.count("would_refuse");
        s.pass_error(r);
        apply.slots.push_back(entry);
    }
    return read_result(r, std::move(apply));
}

json to_json(const ApplyProgress &progress) {
    return {{"done", progress.done}, {"total", progress.total}};
}

json to_json(const ClearResult &result) {
    json rows = json::array();
    for (const NotCleared &n : result.not_cleared) {
        json row = to_json(FlowParams{n.slot, n.key, {}});
        row["reason"] = n.reason;
        rows.push_back(std::move(row));
    }
    return {{"cleared", result.cleared}, {"not_cleared", std::move(rows)}};
}

Result<ClearResult> decode_clear(const json &result) {
    Reader r(result, "the result");
    ClearResult clear;
    clear.cleared = r.count("cleared");
    for (const json &object : list_member(r, "not_cleared", false)) {
        Reader f(object, "a flow");
        NotCleared row;
        row.slot = f.u32("slot");
        row.key = f.flow_key();
        row.reason = f.text("reason");
        f.pass_error(r);
        clear.not_cleared.push_back(std::move(row));
    }
    return read_result(r, std::move(clear));
}

json methods_json() {
    json list = json::array();
    for (const MethodInfo &m : kMethods) {
        list.push_back({{"name", m.name},
                        {"params", m.params},
                        {"help", m.help},
                        {"role", m.role == Role::Reader ? "reader" : "admin"}});
    }
    return {{"methods", std::move(list)}};
}

// ---- flow rows as text ----------------------------------------------------------------

void FlowText::number(uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
}

void FlowText::fcid(uint32_t value) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[10] = {'"', '0', 'x', 0, 0, 0, 0, 0, 0, '"'};
    for (int i = 0; i < 6; ++i) {
        digits[8 - i] = kHex[(value >> (4 * i)) & 0xf];
    }
    out_.append(digits, sizeof digits);
}

void FlowText::open_row(uint32_t slot, const model::FlowKey &key) {
    raw(first_ ? "{\"slot\":" : ",{\"slot\":");
    first_ = false;
    number(slot);
    raw(",\"type\":\"");
    raw(model::type_name(key.type));
    raw("\",\"vsan\":");
    number(key.vsan);
    raw(",\"sid\":");
    fcid(key.sid);
    raw(",\"did\":");
    fcid(key.did);
}

void FlowText::list_row(uint32_t slot, const model::FlowKey &key, model::FlowStatus status,
                        uint32_t code, std::string_view name) {
    open_row(slot, key);
    raw(",\"status\":\"");
    raw(model::status_name(status));
    raw("\",\"code\":");
    number(code);
    // A name is letters, digits and . _ : / - (model::is_flow_name): no escape.
    raw(",\"name\":\"");
    raw(name);
    raw("\"}");
}

void FlowText::show_row(const ShowFlow &row) {
    open_row(row.slot, row.key);
    raw(",\"counter\":");
    if (row.counter) {
        number(*row.counter);
    } else {
        raw("null");
    }
    raw(",\"frames\":");
    number(row.frames);
    raw(",\"bytes\":");
    number(row.bytes);
    raw(row.complete ? ",\"complete\":true" : ",\"complete\":false");
    raw(",\"status\":\"");
    raw(row.status ? model::status_name(*row.status) : kUnconfigured);
    raw("\",\"code\":");
    number(row.code);
    raw(",\"name\":\"");
    raw(row.name);
    raw(row.cleared ? "\",\"cleared\":true}" : "\",\"cleared\":false}");
}

} // namespace api
