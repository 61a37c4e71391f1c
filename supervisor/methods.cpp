// The methods of the control socket (methods.h): the handlers of every method
// but flow.show (show.cpp), and the table binding them to the registry.

#include "methods.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "acl_tcam_flow_stats.h"
#include "apply.h"
#include "baseline.h"
#include "gather.h"
#include "log.h"
#include "schema.h"
#include "show.h"
#include "status.h"

namespace supervisor {

namespace {

using jsonrpc::json;
using model::Error;
namespace cp = card_protocol;

// Room for one row of flow.list.
constexpr size_t kListRowBytes = 120;

Error refused(uint32_t code) {
    Error e = model::error(model::Errc::CardRefused, model::status_text(code));
    e.card_status = code;
    return e;
}

// One card as cards.list and card.status show it. status: the card's own
// report; without it the fields only the card knows are null.
api::CardInfo card_info(Services &services, uint32_t slot, const cp::Status *status) {
    const SlotFlows &flows = services.store.flows(slot);
    const auto hello = services.cards.hello(slot);
    api::CardInfo card;
    card.slot = slot;
    card.state = services.cards.state(slot);
    card.flows = flows.size();
    card.applied =
        static_cast<uint64_t>(std::count_if(flows.begin(), flows.end(), [](const auto &entry) {
            return entry.second.status == FlowStatus::Applied;
        }));
    if (hello) {
        card.counter_first = hello->first_counter;
        card.counter_size = hello->table_size;
        card.boot_id = cp::boot_id_text(hello->boot_id);
        card.lost_counters = services.cards.lost_counters(slot);
    }
    if (status == nullptr) {
        return card;
    }
    card.card_flows = status->flows;
    card.counters_used = status->counters_used;
    card.counter_first = status->first_counter;
    card.counter_size = status->table_size;
    card.frames = status->frames_injected;
    card.bytes = status->bytes_injected;
    card.mismatches = status->mismatches;
    card.queries_checked = status->queries_checked;
    card.traffic_pps = status->traffic_pps;
    card.traffic_paused = (status->traffic_flags & cp::kTrafficPaused) != 0;
    card.uptime_s = status->uptime_ms / 1000;
    card.boot_id = cp::boot_id_text(status->boot_id);
    return card;
}

// Answers with the card after a status or traffic request.
std::function<void(Outcome<cp::Status>)> card_answer(Services &services, uint32_t slot,
                                                     Respond respond) {
    return [&services, slot, respond = std::move(respond)](Outcome<cp::Status> outcome) {
        if (const Error *failure = model::failed(outcome)) {
            respond(*failure);
            return;
        }
        respond(api::to_json(card_info(services, slot, &*outcome)));
    };
}

std::string flow_text(const api::FlowParams &flow) {
    return "slot " + std::to_string(flow.slot) + " " + model::to_string(flow.key);
}

// Where a configured flow stands on its card, in words.
std::string on_card_text(const FlowState &state) {
    switch (state.status) {
    case FlowStatus::Applied:
        return "applied on the card";
    case FlowStatus::Refused:
        return "refused by the card: " + model::status_text(state.code);
    case FlowStatus::Pending:
        break;
    }
    return "pending on the card";
}

void flow_change(Services &services, const api::FlowParams &flow, int32_t msg_type,
                 Respond respond) {
    const bool add = msg_type == ACL_TCAM_FS_MSG_SET;
    // Answered from the configuration alone: nothing is sent or stored.
    if (const ConfiguredFlow *known = services.store.find(flow.slot, flow.key); add && known) {
        Error e = model::error(model::Errc::AlreadyConfigured,
                               flow_text(flow) + " is already configured (" + on_card_text(*known) +
                                   "); nothing changed");
        e.card_status = ACL_TCAM_FS_ERR_FLOW_EXISTS;
        respond(std::move(e));
        return;
    } else if (!add && !known) {
        respond(model::error(model::Errc::NotConfigured,
                             flow_text(flow) + " is not configured; nothing changed"));
        return;
    }
    std::string why;
    bool changed = false;
    const bool stored = add ? services.store.add(flow.slot, flow.key, &changed, &why, flow.name)
                            : services.store.remove(flow.slot, flow.key, &changed, &why);
    if (!stored) {
        // The client is told; the log says it too, with the cause.
        log(Severity::Error,
            std::string(add ? "add" : "del") + " of " + flow_text(flow) + " not stored: " + why);
        respond(model::error(model::Errc::StoreFailed, "the database refused the change: " + why));
        return;
    }
    const json pending = api::to_json(api::ChangeResult{0, FlowStatus::Pending, std::nullopt});
    if (services.cards.state(flow.slot) == CardState::Down) {
        respond(pending);
        return;
    }
    services.cards.flow_request(
        flow.slot, msg_type, flow.key,
        [add, pending, respond = std::move(respond)](Outcome<model::FlowReply> outcome) {
            if (const Error *failure = model::failed(outcome)) {
                // Stored either way: a card that went meanwhile gets the
                // change when it comes back; one that did not answer in time
                // may still have taken it (its late answer sets the status).
                if (failure->code == model::Errc::NoReply) {
                    respond(api::to_json(
                        api::ChangeResult{0, FlowStatus::Pending, failure->timeout_ms}));
                    return;
                }
                respond(failure->code == model::Errc::CardDown ? Reply(pending) : Reply(*failure));
                return;
            }
            const uint32_t status = outcome->status;
            if (add ? model::add_took(status) : status == 0) {
                respond(api::to_json(api::ChangeResult{status, FlowStatus::Applied, std::nullopt}));
                return;
            }
            Error e = refused(status);
            e.message = std::string(add ? "configured, but the card refused it: "
                                        : "unconfigured, but the card refused the delete: ") +
                        e.message;
            respond(std::move(e));
        });
}

void flow_add(Services &services, const api::FlowParams &flow, Respond respond) {
    flow_change(services, flow, ACL_TCAM_FS_MSG_SET, std::move(respond));
}

void flow_del(Services &services, const api::FlowParams &flow, Respond respond) {
    flow_change(services, flow, ACL_TCAM_FS_MSG_DEL, std::move(respond));
}

void flow_get(Services &services, const api::GetParams &flow, Respond respond) {
    services.cards.flow_request(
        flow.slot, ACL_TCAM_FS_MSG_GET, flow.key,
        [&services, flow, respond = std::move(respond)](Outcome<model::FlowReply> outcome) {
            if (const Error *failure = model::failed(outcome)) {
                respond(*failure);
                return;
            }
            if (outcome->status != 0) {
                respond(refused(outcome->status));
                return;
            }
            api::GetResult get{outcome->frames, outcome->bytes, false};
            // The answering session is the slot's: its hello has the boot.
            const ConfiguredFlow *known = services.store.find(flow.slot, flow.key);
            const auto hello = services.cards.hello(flow.slot);
            if (known != nullptr && known->baseline && hello) {
                const SinceClear since =
                    since_clear(get.frames, get.bytes, true, known->baseline, hello->boot_id);
                if (std::string why;
                    since.drop &&
                    !services.store.set_baselines(flow.slot, {{flow.key, std::nullopt}}, &why)) {
                    log(Severity::Error,
                        "void clear baseline of " + flow_text(flow) + " not dropped: " + why);
                }
                if (!flow.since_boot) {
                    get = {since.frames, since.bytes, since.cleared};
                }
            }
            respond(RawResult{api::to_text(get)});
        });
}

void flow_list(Services &services, const api::ListParams &params, Respond respond) {
    const std::vector<uint32_t> slots =
        params.slot ? std::vector<uint32_t>{*params.slot} : services.store.slots();
    api::FlowText text(kListRowBytes * configured_rows(services, slots));
    text.raw("{\"flows\":[");
    for (const uint32_t slot : slots) {
        for (const auto &[key, state] : services.store.flows(slot)) {
            text.list_row(slot, key, state.status, state.code, state.name);
        }
    }
    text.raw("]}");
    respond(RawResult{text.take()});
}

void cards_list(Services &services, const json &, Respond respond) {
    const std::vector<uint32_t> slots = known_slots(services);
    gather<cp::Status>(
        services.cards.connected(),
        [&services](uint32_t slot, std::function<void(Outcome<cp::Status>)> done) {
            services.cards.status(slot, std::move(done));
        },
        [&services, slots, respond = std::move(respond)](Outcomes<cp::Status> &statuses) {
            json cards = json::array();
            for (const uint32_t slot : slots) {
                const auto it = statuses.find(slot);
                const cp::Status *status =
                    it == statuses.end() || !it->second.ok() ? nullptr : &*it->second;
                cards.push_back(api::to_json(card_info(services, slot, status)));
            }
            respond(json{{"cards", std::move(cards)}});
        });
}

void card_status(Services &services, const api::SlotParams &params, Respond respond) {
    services.cards.status(params.slot, card_answer(services, params.slot, std::move(respond)));
}

void card_traffic(Services &services, const api::TrafficParams &params, Respond respond) {
    services.cards.traffic(params.slot, cp::TrafficRequest{params.action, params.pps},
                           card_answer(services, params.slot, std::move(respond)));
}

void card_display(Services &services, const api::SlotParams &params, Respond respond) {
    services.cards.display(params.slot, [slot = params.slot, respond = std::move(respond)](
                                            Outcome<DisplayText> outcome) {
        if (const Error *failure = model::failed(outcome)) {
            respond(*failure);
            return;
        }
        respond(api::to_json(api::DisplayResult{slot, outcome->chunks, std::move(outcome->text)}));
    });
}

void audit_list(Services &services, const api::AuditParams &params, Respond respond) {
    std::string error;
    std::vector<api::AuditEntry> entries =
        services.store.audit_since(params.since_ms, params.limit, &error);
    if (!error.empty()) {
        respond(model::error(model::Errc::StoreFailed, error));
        return;
    }
    respond(api::to_json(entries));
}

void methods_list(Services &, const json &, Respond respond) {
    respond(api::methods_json());
}

// ---- the registry's handlers ----------------------------------------------------------

using Handler = void (*)(Services &, const json &, Respond);

// A handler taking the params its schema decoder gives.
template <class P, api::Result<P> (*Decode)(const json &),
          void (*Run)(Services &, const P &, Respond)>
void decoded(Services &services, const json &params, Respond respond) {
    auto decoded_params = Decode(params);
    if (const Error *error = model::failed(decoded_params)) {
        respond(*error);
        return;
    }
    Run(services, *decoded_params, std::move(respond));
}

struct Binding {
    std::string_view name;
    Handler handler;
};

constexpr Binding kHandlers[] = {
    {"flow.add", decoded<api::FlowParams, api::decode_flow_params, flow_add>},
    {"flow.del", decoded<api::FlowParams, api::decode_flow_params, flow_del>},
    {"flow.get", decoded<api::GetParams, api::decode_get_params, flow_get>},
    {"flow.list", decoded<api::ListParams, api::decode_list_params, flow_list>},
    {"flow.apply", decoded<api::ApplyParams, api::decode_apply_params, flow_apply>},
    {"flow.export", decoded<api::ExportParams, api::decode_export_params, flow_export>},
    {"flow.show", decoded<api::ShowParams, api::decode_show_params, flow_show>},
    {"flow.clear", decoded<api::ClearParams, api::decode_clear_params, flow_clear>},
    {"cards.list", cards_list},
    {"card.status", decoded<api::SlotParams, api::decode_slot_params, card_status>},
    {"card.traffic", decoded<api::TrafficParams, api::decode_traffic_params, card_traffic>},
    {"card.display", decoded<api::SlotParams, api::decode_slot_params, card_display>},
    {"audit.list", decoded<api::AuditParams, api::decode_audit_params, audit_list>},
    {"methods.list", methods_list},
};

constexpr bool bound_in_order() {
    if (std::size(kHandlers) != api::kMethods.size()) {
        return false;
    }
    for (size_t i = 0; i < api::kMethods.size(); ++i) {
        if (kHandlers[i].name != std::string_view(api::kMethods[i].name)) {
            return false;
        }
    }
    return true;
}
static_assert(bound_in_order(), "every registered method has its handler, in order");

} // namespace

std::vector<uint32_t> known_slots(Services &services) {
    std::vector<uint32_t> slots = services.cards.connected();
    for (const uint32_t slot : services.store.slots()) {
        slots.push_back(slot);
    }
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    return slots;
}

size_t configured_rows(Services &services, const std::vector<uint32_t> &slots) {
    size_t rows = 0;
    for (const uint32_t slot : slots) {
        rows += services.store.flows(slot).size();
    }
    return rows;
}

namespace {

uint64_t utc_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// What a change was, for the audit trail: its params as compact JSON, a
// flow-set text replaced by its line count and, once answered, an apply's
// counts.
std::string audit_what(const jsonrpc::Request &request, const json *result) {
    json params = request.params;
    if (params.is_object() && params.contains("flows") && params["flows"].is_string()) {
        const std::string &text = params["flows"].get_ref<const std::string &>();
        params["flows"] = std::to_string(std::count(text.begin(), text.end(), '\n') +
                                         (text.empty() || text.back() == '\n' ? 0 : 1)) +
                          " lines";
    }
    std::string what = params.dump();
    if (result != nullptr && result->is_object() && result->contains("added")) {
        what += " -> added " + result->value("added", json(0)).dump() + ", removed " +
                result->value("removed", json(0)).dump() + ", renamed " +
                result->value("renamed", json(0)).dump();
    }
    return what;
}

// Records the answer of a change in the audit trail, then hands it on.
Respond audited(Services &services, const jsonrpc::Request &request, const PeerIdentity &identity,
                Respond respond) {
    return [&services, request, who = identity.who, time_ms = utc_ms(),
            respond = std::move(respond)](Reply reply) {
        if (!answers(reply)) {
            respond(std::move(reply));
            return;
        }
        api::AuditEntry entry;
        entry.time_ms = time_ms;
        entry.who = who;
        entry.method = request.method;
        entry.what = audit_what(request, std::get_if<json>(&reply));
        if (const auto *failure = std::get_if<model::Error>(&reply)) {
            const jsonrpc::Error wire = jsonrpc::to_jsonrpc(*failure);
            entry.ok = false;
            entry.code = wire.code;
            entry.message = wire.message;
        }
        if (std::string error; !services.store.audit(entry, &error)) {
            log(Severity::Error,
                "audit entry not written (" + request.method + " by " + who + "): " + error);
        }
        respond(std::move(reply));
    };
}

} // namespace

void dispatch(Services &services, const jsonrpc::Request &request, const PeerIdentity &identity,
              Respond respond) {
    if (const auto named = api::check_named(request.params); !named) {
        respond(named.error());
        return;
    }
    if (const api::MethodInfo *info = api::find_method(request.method);
        info != nullptr && api::needs_admin(*info, request.params)) {
        respond = audited(services, request, identity, std::move(respond));
        if (identity.role != api::Role::Admin) {
            log(Severity::Warning, "client " + identity.who + " (" + role_name(identity.role) +
                                       ") refused " + request.method + ": not an admin");
            respond(model::error(model::Errc::Forbidden,
                                 "forbidden: " + request.method +
                                     " needs the admin role; this client is a reader"));
            return;
        }
    }
    for (const Binding &binding : kHandlers) {
        if (binding.name == request.method) {
            binding.handler(services, request.params, std::move(respond));
            return;
        }
    }
    respond(api::unknown_method(request.method));
}

} // namespace supervisor
