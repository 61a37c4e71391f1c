// Bringing a card to the configured flows (see cards_impl.h): the Replay core
// driven against the store, through the same requests as clients' (at most
// replay_window of them at a time). A fresh card gets every configured flow
// after its download request; a card that kept its flows is reconciled from
// one display, through the sync plan.
#include <string>
#include <vector>

#include "cards_impl.h"
#include "display.h"
#include "log.h"
#include "status.h"
#include "sync_plan.h"

namespace supervisor {

// The library's download request: every configured flow goes to the card.
void Cards::Impl::start_replay(const SessionPtr &s) {
    mark_pending(s->slot);
    std::vector<FlowKey> flows;
    for (const auto &[key, state] : store.flows(s->slot)) {
        flows.push_back(key);
    }
    const size_t held = order_for_card(store.flows(s->slot), flows, [&s](const FlowKey &key) {
        return s->held_before.contains(key);
    });
    log(slot_text(s->slot) + ": download request: replaying " + std::to_string(flows.size()) +
        " flows, the " + std::to_string(held) + " that held counters first");
    s->lost_logged = 0;
    s->replay.replay(std::move(flows), held, Clock::now());
}

void Cards::Impl::mark_pending(uint32_t slot) {
    for (const auto &[key, state] : store.flows(slot)) {
        store.set_status(slot, key, FlowState{});
    }
}

// ---- replay and reconcile -------------------------------------------------
void Cards::Impl::start_reconcile(const SessionPtr &s) {
    s->replay.restart(ReplayPhase::AwaitDisplay, false, Clock::now());
    auto done = [this, weak = std::weak_ptr(s),
                 generation = s->replay.generation()](Outcome<DisplayText> outcome) {
        const SessionPtr s = weak.lock();
        if (!current(s) || s->replay.generation() != generation) {
            return;
        }
        if (const model::Error *error = model::failed(outcome)) {
            protocol_break(s, "no display to reconcile with: " + error->message);
            return;
        }
        reconcile(s, outcome->text);
    };
    send_empty(s->slot, cp::kOpDisplayRequest, DisplayCall{std::move(done), {}});
}

void Cards::Impl::reconcile(const SessionPtr &s, const std::string &text) {
    std::string error;
    const std::optional<display::Table> table = display::parse(text, &error);
    if (!table) {
        protocol_break(s, "unreadable display: " + error);
        return;
    }
    if (!table->initialized) {
        log(Severity::Notice,
            slot_text(s->slot) +
                ": the card's flow table is not initialized: waiting for its download request");
        s->replay.await_download();
        return;
    }
    std::vector<FlowKey> held; // in key order, as the display lists them
    held.reserve(table->rows.size());
    for (const display::Row &row : table->rows) {
        held.push_back(row.key);
    }
    const SlotFlows &configured = store.flows(s->slot);
    SyncPlan plan = diff(configured, held);
    for (const FlowKey &key : plan.present) {
        store.set_status(s->slot, key, FlowState{FlowStatus::Applied, 0});
    }
    const size_t had = order_for_card(configured, plan.to_add, [&configured](const FlowKey &key) {
        return configured.at(key).status == FlowStatus::Applied;
    });
    s->lost_logged = 0;
    s->replay.reconcile(std::move(plan), had);
    pump(s);
}

// A flow counted before the card restarted is not now: the card came back
// with fewer counters. Each is logged (the first few of a run by name).
void Cards::Impl::lost_counter(const SessionPtr &s, const FlowKey &key, uint32_t status) {
    ++s->lost_counters;
    if (s->lost_logged++ < kLostLogged) {
        log(slot_text(s->slot) + ": " + model::to_string(key) +
            " held a counter before the card restarted and lost it: " + model::status_text(status));
    }
}

// Sends what the window allows; finishes the run when all is answered.
void Cards::Impl::pump(const SessionPtr &s) {
    if (s->replay.phase() != ReplayPhase::Sending || !s->conn->is_open()) {
        return;
    }
    const auto configured = [this, slot = s->slot](const FlowKey &key) {
        return store.find(slot, key) != nullptr;
    };
    while (!s->requests.full()) {
        const std::optional<ReplayRequest> request = s->replay.next(configured);
        if (!request) {
            break;
        }
        auto done = [this, weak = std::weak_ptr(s), r = *request](Outcome<FlowReply> outcome) {
            const SessionPtr s = weak.lock();
            if (!s || !s->replay.complete(r, outcome.ok() ? &outcome->status : nullptr)) {
                return;
            }
            if (r.held_counter && outcome.ok() && !model::add_took(outcome->status)) {
                lost_counter(s, r.key, outcome->status);
            }
            if (current(s)) {
                pump(s);
            }
        };
        send_flow(s->slot, request->msg_type, request->key, std::move(done));
    }
    const Clock::time_point now = Clock::now();
    if (const std::optional<std::string> summary = s->replay.finish(s->slot, now)) {
        log(*summary);
        if (events.synced) {
            events.synced(s->replay.fresh(), now - s->replay.started());
        }
        std::string error;
        if (!store.flush(&error)) {
            log(Severity::Error, "status batch not written: " + error);
        }
    }
}

} // namespace supervisor
