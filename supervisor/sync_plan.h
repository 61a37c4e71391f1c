// What separates a card's flows from a slot's configured ones: one merge of
// two lists in the library's key order. Reconciliation sends the plan's adds
// and deletes; flow.show reads the same plan to tell which configured flows
// the card is missing and which of its flows are not configured.
//
// Invariants: present, to_add and to_delete are in key order and disjoint;
// present + to_add is the configured set, present + to_delete the held one.
#ifndef SUPERVISOR_SYNC_PLAN_H
#define SUPERVISOR_SYNC_PLAN_H

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

} // namespace supervisor

#endif // SUPERVISOR_SYNC_PLAN_H
