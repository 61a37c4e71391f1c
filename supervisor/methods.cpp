// The methods of the control socket (see methods.h and docs/jsonrpc.md).
//
// Flow rows (flow.list, flow.show) are written straight into JSON text: at
// 65,535 flows a card they are most of the answer, and their fields are
// integers and fixed names that need no escaping.
#include "methods.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <unordered_map>

#include "acl_tcam_flow_stats.h"
#include "display.h"
#include "status.h"
#include "sync_plan.h"

namespace supervisor {

namespace {

using jsonrpc::json;
using model::Error;
using model::FlowKey;
using model::FlowType;
namespace cp = card_protocol;

// ---- parameters ---------------------------------------------------------------

Error invalid_params(std::string message) {
    return model::error(model::Errc::InvalidParams, std::move(message));
}

// Methods take named parameters; an empty array stands for none.
bool named_params(const json &params, Error *error) {
    if (params.is_object() || (params.is_array() && params.empty())) {
        return true;
    }
    *error = invalid_params("params must be an object");
    return false;
}

const json *member(const json &params, const char *name) {
    if (!params.is_object()) {
        return nullptr;
    }
    const auto it = params.find(name);
    return it == params.end() || it->is_null() ? nullptr : &*it;
}

// An integer member within [min, max]; with text, a string holding a decimal
// or 0x number is taken too.
std::optional<uint64_t> integer(const json &params, const char *name, uint64_t min, uint64_t max,
                                Error *error, bool text = false) {
    const json *value = member(params, name);
    std::optional<uint64_t> number;
    if (value == nullptr) {
        *error = invalid_params(std::string("missing ") + name);
        return std::nullopt;
    }
    if (value->is_number_unsigned()) {
        number = value->get<uint64_t>();
    } else if (text && value->is_string()) {
        number = model::parse_number(value->get_ref<const std::string &>());
    }
    if (!number || *number < min || *number > max) {
        *error =
            invalid_params(std::string(name) + " must be " + (text ? "a number" : "an integer") +
                           " in " + std::to_string(min) + ".." + std::to_string(max));
        return std::nullopt;
    }
    return number;
}

std::optional<uint32_t> slot_param(const json &params, Error *error) {
    const auto slot = integer(params, "slot", cp::kMinSlot, cp::kMaxSlot, error);
    return slot ? std::optional(static_cast<uint32_t>(*slot)) : std::nullopt;
}

std::optional<FlowType> type_param(const json &params, Error *error) {
    const json *value = member(params, "type");
    if (value == nullptr || !value->is_string()) {
        *error = invalid_params("type must be \"vsan\", \"domain\" or \"exact\"");
        return std::nullopt;
    }
    const auto type = model::parse_type(value->get_ref<const std::string &>());
    if (!type) {
        *error = invalid_params("type must be \"vsan\", \"domain\" or \"exact\"");
    }
    return type;
}

struct Flow {
    uint32_t slot = 0;
    FlowKey key;
};

std::optional<Flow> flow_param(const json &params, Error *error) {
    if (!params.is_object()) {
        *error = invalid_params("params must be an object naming a flow");
        return std::nullopt;
    }
    const auto slot = slot_param(params, error);
    const auto type = slot ? type_param(params, error) : std::nullopt;
    const auto vsan =
        type ? integer(params, "vsan", model::kMinVsan, model::kMaxVsan, error) : std::nullopt;
    if (!vsan) {
        return std::nullopt;
    }
    if (*type == FlowType::Vsan) {
        return Flow{*slot, FlowKey{FlowType::Vsan, static_cast<uint32_t>(*vsan), 0, 0}};
    }
    const auto sid = integer(params, "sid", model::kMinFcid, model::kMaxFcid, error, true);
    const auto did =
        sid ? integer(params, "did", model::kMinFcid, model::kMaxFcid, error, true) : std::nullopt;
    if (!did) {
        return std::nullopt;
    }
    std::string why;
    const auto key =
        model::make_key(*type, static_cast<uint32_t>(*vsan), static_cast<uint32_t>(*sid),
                        static_cast<uint32_t>(*did), &why);
    if (!key) {
        *error = invalid_params(why);
        return std::nullopt;
    }
    return Flow{*slot, *key};
}

// ---- results --------------------------------------------------------------------

Error refused(uint32_t code) {
    Error e = model::error(model::Errc::CardRefused, model::status_text(code));
    e.card_status = code;
    return e;
}

json change_result(uint32_t code, FlowStatus flow_status) {
    return {{"status", model::status_name(code)},
            {"code", code},
            {"flow_status", status_name(flow_status)}};
}

// Appends small pieces of JSON text.
struct Text {
    std::string out;
    void raw(std::string_view piece) { out.append(piece); }
    void number(uint64_t value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        out.append(digits, end);
    }
    // "0x%06x", quoted.
    void fcid(uint32_t value) {
        static constexpr char kHex[] = "0123456789abcdef";
        char digits[10] = {'"', '0', 'x', 0, 0, 0, 0, 0, 0, '"'};
        for (int i = 0; i < 6; ++i) {
            digits[8 - i] = kHex[(value >> (4 * i)) & 0xf];
        }
        out.append(digits, sizeof digits);
    }
    // "slot":S,"type":"T","vsan":V,"sid":"0x..","did":"0x.."
    void flow(uint32_t slot, const FlowKey &key) {
        raw("\"slot\":");
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
};

// Room for one row of flow.show and of flow.list (a row with 20-digit counts
// is longer; the string then grows as usual).
constexpr size_t kShowRowBytes = 200;
constexpr size_t kListRowBytes = 120;

size_t configured_rows(Services &services, const std::vector<uint32_t> &slots) {
    size_t rows = 0;
    for (const uint32_t slot : slots) {
        rows += services.store.flows(slot).size();
    }
    return rows;
}

size_t applied_count(const SlotFlows &flows) {
    return static_cast<size_t>(std::count_if(flows.begin(), flows.end(), [](const auto &entry) {
        return entry.second.status == FlowStatus::Applied;
    }));
}

// One card as cards.list and card.status show it. status: the card's own
// report; without it the fields only the card knows are null.
json card_json(Services &services, uint32_t slot, const cp::Status *status) {
    const SlotFlows &flows = services.store.flows(slot);
    const auto hello = services.cards.hello(slot);
    json card = {{"slot", slot},
                 {"state", state_name(services.cards.state(slot))},
                 {"flows", flows.size()},
                 {"applied", applied_count(flows)}};
    const json null;
    card["card_flows"] = status ? json(status->flows) : null;
    card["counters_used"] = status ? json(status->counters_used) : null;
    card["counter_first"] = status  ? json(status->first_counter)
                            : hello ? json(hello->first_counter)
                                    : null;
    card["counter_size"] = status  ? json(status->table_size)
                           : hello ? json(hello->table_size)
                                   : null;
    card["frames"] = status ? json(status->frames_injected) : null;
    card["bytes"] = status ? json(status->bytes_injected) : null;
    card["mismatches"] = status ? json(status->mismatches) : null;
    card["queries_checked"] = status ? json(status->queries_checked) : null;
    card["traffic_pps"] = status ? json(status->traffic_pps) : null;
    card["traffic_paused"] =
        status ? json((status->traffic_flags & cp::kTrafficPaused) != 0) : null;
    card["uptime_s"] = status ? json(status->uptime_ms / 1000) : null;
    card["boot_id"] = status  ? json(cp::boot_id_text(status->boot_id))
                      : hello ? json(cp::boot_id_text(hello->boot_id))
                              : null;
    return card;
}

// Slots with a card connected or flows configured, ascending.
std::vector<uint32_t> known_slots(Services &services) {
    std::vector<uint32_t> slots = services.cards.connected();
    for (const uint32_t slot : services.store.slots()) {
        slots.push_back(slot);
    }
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    return slots;
}

// Asks every slot one thing and answers once all have: ask(slot, done) is
// one card request, finished(outcomes by slot) builds the answer.
template <class T>
void gather(const std::vector<uint32_t> &slots,
            const std::function<void(uint32_t, std::function<void(Outcome<T>)>)> &ask,
            std::function<void(std::map<uint32_t, Outcome<T>> &)> finished) {
    struct State {
        std::map<uint32_t, Outcome<T>> outcomes;
        size_t remaining = 0;
        std::function<void(std::map<uint32_t, Outcome<T>> &)> finished;
    };
    auto state = std::make_shared<State>();
    state->remaining = slots.size();
    state->finished = std::move(finished);
    if (slots.empty()) {
        state->finished(state->outcomes);
        return;
    }
    for (const uint32_t slot : slots) {
        ask(slot, [state, slot](Outcome<T> outcome) {
            state->outcomes.insert_or_assign(slot, std::move(outcome));
            if (--state->remaining == 0) {
                state->finished(state->outcomes);
            }
        });
    }
}

// ---- flow.show --------------------------------------------------------------------

struct ShowFilter {
    std::optional<FlowType> type;
    std::optional<uint32_t> vsan;
    bool admits(const FlowKey &key) const {
        return (!type || key.type == *type) && (!vsan || key.vsan == *vsan);
    }
};

struct ShowRow {
    FlowKey key;
    std::optional<uint32_t> counter; // nullopt: the card does not hold the flow
    uint64_t frames = 0, bytes = 0;
    bool complete = false;
    const char *status = "unconfigured";
    uint32_t code = 0;
};

// The rows of one slot and the card's entry. display: the card's display, or
// the error that kept it away.
json show_slot(Services &services, uint32_t slot, const Outcome<DisplayText> *display,
               const ShowFilter &filter, Text &text, bool &first_row) {
    const SlotFlows &configured = services.store.flows(slot);
    std::vector<ShowRow> rows;
    std::vector<FlowKey> unheld; // configured flows the card does not hold
    bool table_read = false;
    json error = nullptr;
    bool complete = false;
    if (display == nullptr) {
        error = card_down_error(slot).message;
    } else if (const Error *failure = model::failed(*display)) {
        error = failure->message;
    } else {
        std::string why;
        const auto table = display::parse((*display)->text, &why);
        if (!table) {
            error = "unreadable display: " + why;
        } else if (!table->initialized) {
            error = "the card's flow table is not initialized";
        } else {
            table_read = true;
            std::vector<FlowKey> held; // in key order, as the display lists them
            held.reserve(table->rows.size());
            for (const display::Row &row : table->rows) {
                held.push_back(row.key);
            }
            unheld = diff(configured, held).to_add;
            // Applied flows missing from the display: their counters could not
            // be read, so every total covering them is a lower bound.
            std::vector<FlowKey> missing;
            std::copy_if(unheld.begin(), unheld.end(), std::back_inserter(missing),
                         [&configured](const FlowKey &key) {
                             return configured.at(key).status == FlowStatus::Applied;
                         });
            const std::vector<display::Total> totals = display::totals(table->rows, missing);
            rows.reserve(totals.size() + configured.size());
            complete = std::all_of(totals.begin(), totals.end(),
                                   [](const display::Total &t) { return t.complete; });
            for (const display::Total &total : totals) {
                if (!filter.admits(total.key)) {
                    continue;
                }
                ShowRow row{total.key, total.counter, total.frames, total.bytes, total.complete};
                if (const auto it = configured.find(total.key); it != configured.end()) {
                    row.status = status_name(it->second.status);
                    row.code = it->second.code;
                }
                rows.push_back(row);
            }
        }
    }
    const size_t held_rows = rows.size();
    const auto add_unheld = [&](const FlowKey &key, const FlowState &state) {
        if (filter.admits(key)) {
            rows.push_back(
                ShowRow{key, std::nullopt, 0, 0, false, status_name(state.status), state.code});
        }
    };
    if (table_read) {
        for (const FlowKey &key : unheld) {
            add_unheld(key, configured.at(key));
        }
    } else { // no display: the card holds none of them as far as we know
        for (const auto &[key, state] : configured) {
            add_unheld(key, state);
        }
    }
    if (rows.size() != held_rows) {
        const auto by_key = [](const ShowRow &a, const ShowRow &b) { return a.key < b.key; };
        std::stable_sort(rows.begin() + static_cast<std::ptrdiff_t>(held_rows), rows.end(), by_key);
        std::inplace_merge(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(held_rows),
                           rows.end(), by_key);
    }
    for (const ShowRow &row : rows) {
        text.raw(first_row ? "{" : ",{");
        first_row = false;
        text.flow(slot, row.key);
        text.raw(",\"counter\":");
        if (row.counter) {
            text.number(*row.counter);
        } else {
            text.raw("null");
        }
        text.raw(",\"frames\":");
        text.number(row.frames);
        text.raw(",\"bytes\":");
        text.number(row.bytes);
        text.raw(row.complete ? ",\"complete\":true" : ",\"complete\":false");
        text.raw(",\"status\":\"");
        text.raw(row.status);
        text.raw("\",\"code\":");
        text.number(row.code);
        text.raw("}");
    }
    return {{"slot", slot},
            {"state", state_name(services.cards.state(slot))},
            {"complete", complete},
            {"error", error}};
}

void flow_show(Services &services, const json &params, Respond respond) {
    Error error;
    ShowFilter filter;
    std::vector<uint32_t> slots;
    if (member(params, "type") != nullptr) {
        filter.type = type_param(params, &error);
        if (!filter.type) {
            respond(error);
            return;
        }
    }
    if (member(params, "vsan") != nullptr) {
        const auto vsan = integer(params, "vsan", model::kMinVsan, model::kMaxVsan, &error);
        if (!vsan) {
            respond(error);
            return;
        }
        filter.vsan = static_cast<uint32_t>(*vsan);
    }
    if (const json *list = member(params, "slots")) {
        if (!list->is_array()) {
            respond(invalid_params("slots must be an array of slots"));
            return;
        }
        for (const json &slot : *list) {
            if (!slot.is_number_unsigned() || slot.get<uint64_t>() < cp::kMinSlot ||
                slot.get<uint64_t>() > cp::kMaxSlot) {
                respond(invalid_params("slots must be an array of slots 1..64"));
                return;
            }
            slots.push_back(slot.get<uint32_t>());
        }
        std::sort(slots.begin(), slots.end());
        slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    } else {
        slots = known_slots(services);
    }
    std::vector<uint32_t> up;
    std::copy_if(slots.begin(), slots.end(), std::back_inserter(up), [&services](uint32_t slot) {
        return services.cards.state(slot) != CardState::Down;
    });
    gather<DisplayText>(
        up,
        [&services](uint32_t slot, std::function<void(Outcome<DisplayText>)> done) {
            services.cards.display(slot, std::move(done));
        },
        [&services, slots, filter,
         respond = std::move(respond)](std::map<uint32_t, Outcome<DisplayText>> &displays) {
            // A card with its displays all taken makes the whole request busy:
            // a retry soon is better than megabytes of rows without counts.
            for (const auto &[slot, outcome] : displays) {
                const Error *error = model::failed(outcome);
                if (error != nullptr && error->code == model::Errc::Busy) {
                    respond(*error);
                    return;
                }
            }
            Text text;
            text.out.reserve(kShowRowBytes * configured_rows(services, slots));
            text.raw("{\"flows\":[");
            json cards = json::array();
            bool first_row = true;
            for (const uint32_t slot : slots) {
                const auto it = displays.find(slot);
                cards.push_back(show_slot(services, slot,
                                          it == displays.end() ? nullptr : &it->second, filter,
                                          text, first_row));
            }
            text.raw("],\"cards\":");
            text.raw(cards.dump());
            text.raw("}");
            respond(RawResult{std::move(text.out)});
        });
}

// ---- the other methods ----------------------------------------------------------------

void flow_change(Services &services, const json &params, int32_t msg_type, Respond respond) {
    Error error;
    const auto flow = flow_param(params, &error);
    if (!flow) {
        respond(error);
        return;
    }
    std::string why;
    bool changed = false;
    const bool stored = msg_type == ACL_TCAM_FS_MSG_SET
                            ? services.store.add(flow->slot, flow->key, &changed, &why)
                            : services.store.remove(flow->slot, flow->key, &changed, &why);
    if (!stored) {
        respond(model::error(model::Errc::StoreFailed, "the database refused the change: " + why));
        return;
    }
    const json pending = change_result(0, FlowStatus::Pending);
    if (services.cards.state(flow->slot) == CardState::Down) {
        if (msg_type == ACL_TCAM_FS_MSG_SET) {
            services.store.set_status(flow->slot, flow->key, FlowState{});
        }
        respond(pending);
        return;
    }
    services.cards.flow_request(
        flow->slot, msg_type, flow->key,
        [msg_type, pending, respond = std::move(respond)](Outcome<model::FlowReply> outcome) {
            if (const Error *failure = model::failed(outcome)) {
                // Stored either way: a card that went meanwhile gets the
                // change when it comes back.
                respond(failure->code == model::Errc::CardDown ? Reply(pending) : Reply(*failure));
                return;
            }
            const uint32_t status = outcome->status;
            const bool took =
                msg_type == ACL_TCAM_FS_MSG_SET ? model::add_took(status) : status == 0;
            respond(took ? Reply(change_result(status, FlowStatus::Applied))
                         : Reply(refused(status)));
        });
}

void flow_get(Services &services, const json &params, Respond respond) {
    Error error;
    const auto flow = flow_param(params, &error);
    if (!flow) {
        respond(error);
        return;
    }
    services.cards.flow_request(flow->slot, ACL_TCAM_FS_MSG_GET, flow->key,
                                [respond = std::move(respond)](Outcome<model::FlowReply> outcome) {
                                    if (const Error *failure = model::failed(outcome)) {
                                        respond(*failure);
                                        return;
                                    }
                                    const model::FlowReply &reply = *outcome;
                                    if (reply.status != 0) {
                                        respond(refused(reply.status));
                                        return;
                                    }
                                    // Written as text, members in the order json's dump gives them:
                                    // the hot path of every poller.
                                    Text text;
                                    text.raw("{\"bytes\":");
                                    text.number(reply.bytes);
                                    text.raw(",\"code\":0,\"frames\":");
                                    text.number(reply.frames);
                                    text.raw(",\"status\":\"ok\"}");
                                    respond(RawResult{std::move(text.out)});
                                });
}

void flow_list(Services &services, const json &params, Respond respond) {
    Error error;
    std::vector<uint32_t> slots;
    if (member(params, "slot") != nullptr) {
        const auto slot = slot_param(params, &error);
        if (!slot) {
            respond(error);
            return;
        }
        slots.push_back(*slot);
    } else {
        slots = services.store.slots();
    }
    Text text;
    text.out.reserve(kListRowBytes * configured_rows(services, slots));
    text.raw("{\"flows\":[");
    bool first = true;
    for (const uint32_t slot : slots) {
        for (const auto &[key, state] : services.store.flows(slot)) {
            text.raw(first ? "{" : ",{");
            first = false;
            text.flow(slot, key);
            text.raw(",\"status\":\"");
            text.raw(status_name(state.status));
            text.raw("\",\"code\":");
            text.number(state.code);
            text.raw("}");
        }
    }
    text.raw("]}");
    respond(RawResult{std::move(text.out)});
}

void cards_list(Services &services, Respond respond) {
    const std::vector<uint32_t> slots = known_slots(services);
    gather<cp::Status>(
        services.cards.connected(),
        [&services](uint32_t slot, std::function<void(Outcome<cp::Status>)> done) {
            services.cards.status(slot, std::move(done));
        },
        [&services, slots,
         respond = std::move(respond)](std::map<uint32_t, Outcome<cp::Status>> &statuses) {
            json cards = json::array();
            for (const uint32_t slot : slots) {
                const auto it = statuses.find(slot);
                const cp::Status *status =
                    it == statuses.end() || !it->second.ok() ? nullptr : &*it->second;
                cards.push_back(card_json(services, slot, status));
            }
            respond(json{{"cards", std::move(cards)}});
        });
}

// Answers with the card after a status or traffic request.
std::function<void(Outcome<cp::Status>)> card_answer(Services &services, uint32_t slot,
                                                     Respond respond) {
    return [&services, slot, respond = std::move(respond)](Outcome<cp::Status> outcome) {
        if (const Error *failure = model::failed(outcome)) {
            respond(*failure);
            return;
        }
        respond(card_json(services, slot, &*outcome));
    };
}

void card_traffic(Services &services, const json &params, Respond respond) {
    Error error;
    const auto slot = slot_param(params, &error);
    if (!slot) {
        respond(error);
        return;
    }
    const json *action = member(params, "action");
    cp::TrafficRequest request;
    if (action != nullptr && *action == "pause") {
        request.action = cp::TrafficAction::Pause;
    } else if (action != nullptr && *action == "resume") {
        request.action = cp::TrafficAction::Resume;
    } else if (action != nullptr && *action == "rate") {
        request.action = cp::TrafficAction::Rate;
        const auto pps = integer(params, "pps", 0, UINT64_MAX, &error);
        if (!pps) {
            respond(error);
            return;
        }
        request.pps = *pps;
    } else {
        respond(invalid_params("action must be \"pause\", \"resume\" or \"rate\""));
        return;
    }
    services.cards.traffic(*slot, request, card_answer(services, *slot, std::move(respond)));
}

void card_display(Services &services, const json &params, Respond respond) {
    Error error;
    const auto slot = slot_param(params, &error);
    if (!slot) {
        respond(error);
        return;
    }
    services.cards.display(*slot, [slot = *slot,
                                   respond = std::move(respond)](Outcome<DisplayText> outcome) {
        if (const Error *failure = model::failed(outcome)) {
            respond(*failure);
            return;
        }
        DisplayText &display = *outcome;
        respond(
            json{{"slot", slot}, {"chunks", display.chunks}, {"text", std::move(display.text)}});
    });
}

} // namespace

void dispatch(Services &services, const jsonrpc::Request &request, Respond respond) {
    Error error;
    const json &params = request.params;
    if (!named_params(params, &error)) {
        respond(error);
        return;
    }
    const std::string &method = request.method;
    if (method == "flow.add") {
        flow_change(services, params, ACL_TCAM_FS_MSG_SET, std::move(respond));
    } else if (method == "flow.del") {
        flow_change(services, params, ACL_TCAM_FS_MSG_DEL, std::move(respond));
    } else if (method == "flow.get") {
        flow_get(services, params, std::move(respond));
    } else if (method == "flow.list") {
        flow_list(services, params, std::move(respond));
    } else if (method == "flow.show") {
        flow_show(services, params, std::move(respond));
    } else if (method == "cards.list") {
        cards_list(services, std::move(respond));
    } else if (method == "card.status") {
        const auto slot = slot_param(params, &error);
        if (!slot) {
            respond(error);
            return;
        }
        services.cards.status(*slot, card_answer(services, *slot, std::move(respond)));
    } else if (method == "card.traffic") {
        card_traffic(services, params, std::move(respond));
    } else if (method == "card.display") {
        card_display(services, params, std::move(respond));
    } else {
        respond(model::error(model::Errc::UnknownMethod, "unknown method " + json(method).dump()));
    }
}

} // namespace supervisor
