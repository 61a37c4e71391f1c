// The sync plan (see sync_plan.h): both lists are in key order, so one pass.
#include "sync_plan.h"

namespace supervisor {

SyncPlan diff(const SlotFlows &configured, std::span<const model::FlowKey> held) {
    SyncPlan plan;
    plan.present.reserve(std::min(configured.size(), held.size()));
    auto c = configured.begin();
    auto h = held.begin();
    while (c != configured.end() || h != held.end()) {
        if (h == held.end() || (c != configured.end() && c->first < *h)) {
            plan.to_add.push_back((c++)->first);
        } else if (c == configured.end() || *h < c->first) {
            plan.to_delete.push_back(*h++);
        } else {
            plan.present.push_back(*h++);
            ++c;
        }
    }
    return plan;
}

} // namespace supervisor
