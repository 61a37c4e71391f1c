// What a flow.apply changes: the difference between a flow-set text's flows
// and the configuration within the slots in scope, and, per slot, what the
// card's counters allow of it. Plain data in and out; the glue commits the
// changes and sends them.
//
// Invariants:
//  - changes hold, per slot, the removes first, then the adds in the text's
//    order (their order of first configuration), then the renames; sent
//    holds the same removes and adds by slot, for the cards (a rename sends
//    nothing);
//  - an add is a flow of the text not configured, a remove a configured flow
//    in scope not in the text (prune only), a rename a flow in both whose
//    name differs; every other flow of the text in scope is unchanged, and a
//    flow of a slot out of scope is skipped;
//  - no slot ends with more than kMaxFlowsPerSlot flows (refused whole).
#ifndef SUPERVISOR_APPLY_PLAN_H
#define SUPERVISOR_APPLY_PLAN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "flow_set.h"
#include "result.h"
#include "store.h"

namespace supervisor {

struct ApplyPlan {
    std::vector<FlowChange> changes;
    // Per slot, what goes to its card: the slot's removes, then its adds.
    std::map<uint32_t, std::vector<FlowChange>> sent;
    size_t added = 0, removed = 0, renamed = 0, unchanged = 0, skipped = 0;
    std::string diff;         // "+ LINE", "- LINE", "~ LINE", in the changes' order
    std::set<uint32_t> slots; // in scope
};

// scope: nullopt is the slots the entries name, or every slot with prune.
model::Result<ApplyPlan> plan_apply(const std::vector<model::FlowEntry> &entries,
                                    const std::optional<std::vector<uint32_t>> &scope, bool prune,
                                    const std::function<const SlotFlows &(uint32_t)> &configured);

// One slot's counters after the plan: the flows that stay hold theirs, the
// adds take the free ones in their order.
struct CounterForecast {
    size_t flows = 0;                         // configured once applied
    size_t held = 0;                          // applied flows that stay
    std::optional<size_t> counters;           // the card's; nullopt when unknown (down)
    std::vector<model::FlowKey> would_refuse; // adds past the free counters
};
CounterForecast forecast(const std::vector<FlowChange> &sent, const SlotFlows &configured,
                         std::optional<size_t> counters);

} // namespace supervisor

#endif // SUPERVISOR_APPLY_PLAN_H
