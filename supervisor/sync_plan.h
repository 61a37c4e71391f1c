// What separates a card's flows from a slot's configured ones: one merge of
// two lists in the library's key order. Reconciliation sends the plan's adds
// and deletes; flow.show reads the same plan to tell which configured flows
// the card is missing and which of its flows are not configured.
//
// Invariants: present, to_add and to_delete are in key order and disjoint;
// present + to_add is the configured set, present + to_delete the held one.
#ifndef SUPERVISOR_SYNC_PLAN_H
#define SUPERVISOR_SYNC_PLAN_H

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "flow_key.h"
#include "store.h"

namespace supervisor {

struct SyncPlan {
    std::vector<model::FlowKey> present;   // configured and on the card
    std::vector<model::FlowKey> to_add;    // configured, not on the card
    std::vector<model::FlowKey> to_delete; // on the card, not configured
};

// held: the card's flows in key order (a display's rows are), no repeats.
SyncPlan diff(const SlotFlows &configured, std::span<const model::FlowKey> held);

// Orders configured flows for sending to a card: those that held a counter
// first, then the others, each group in its order of first configuration.
// The library hands counters out in arrival order, so a card that restarts
// with as many counters gets the same flows counted. Returns how many of the
// flows held one.
size_t order_for_card(const SlotFlows &configured, std::vector<model::FlowKey> &keys,
                      const std::function<bool(const model::FlowKey &)> &held_counter);

} // namespace supervisor

#endif // SUPERVISOR_SYNC_PLAN_H
