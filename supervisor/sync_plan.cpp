// The sync plan (see sync_plan.h): both lists are in key order, so one pass.
#include "sync_plan.h"

#include <algorithm>
#include <cstdint>

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

size_t order_for_card(const SlotFlows &configured, std::vector<model::FlowKey> &keys,
                      const std::function<bool(const model::FlowKey &)> &held_counter) {
    struct Rank {
        bool newcomer;
        uint64_t seq;
        model::FlowKey key;
        auto operator<=>(const Rank &) const = default;
    };
    std::vector<Rank> ranks;
    ranks.reserve(keys.size());
    size_t held = 0;
    for (const model::FlowKey &key : keys) {
        const auto it = configured.find(key);
        const bool had = held_counter(key);
        held += had ? 1 : 0;
        ranks.push_back({!had, it != configured.end() ? it->second.seq : UINT64_MAX, key});
    }
    std::sort(ranks.begin(), ranks.end());
    for (size_t i = 0; i < ranks.size(); ++i) {
        keys[i] = ranks[i].key;
    }
    return held;
}

} // namespace supervisor
