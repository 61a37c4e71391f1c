// The apply plan (see apply_plan.h).
#include "apply_plan.h"

#include <map>

namespace supervisor {

using Kind = FlowChange::Kind;

model::Result<ApplyPlan> plan_apply(const std::vector<model::FlowEntry> &entries,
                                    const std::optional<std::vector<uint32_t>> &scope, bool prune,
                                    const std::function<const SlotFlows &(uint32_t)> &configured) {
    ApplyPlan plan;
    if (scope) {
        plan.slots.insert(scope->begin(), scope->end());
    } else if (prune) {
        for (uint32_t slot = model::kMinSlot; slot <= model::kMaxSlot; ++slot) {
            plan.slots.insert(slot);
        }
    } else {
        for (const model::FlowEntry &e : entries) {
            plan.slots.insert(e.slot);
        }
    }
    // The text's flows per slot in scope; parse_flow_set refused repeats.
    std::map<uint32_t, std::map<model::FlowKey, const model::FlowEntry *>> wanted;
    std::map<uint32_t, std::vector<const model::FlowEntry *>> adds;
    std::vector<FlowChange> renames;
    for (const model::FlowEntry &e : entries) {
        if (!plan.slots.contains(e.slot)) {
            ++plan.skipped;
            continue;
        }
        wanted[e.slot][e.key] = &e;
        const ConfiguredFlow *now = nullptr;
        if (const auto it = configured(e.slot).find(e.key); it != configured(e.slot).end()) {
            now = &it->second;
        }
        if (now == nullptr) {
            adds[e.slot].push_back(&e);
        } else if (now->name != e.name) {
            renames.push_back({Kind::Rename, e.slot, e.key, e.name});
        } else {
            ++plan.unchanged;
        }
    }
    const auto line = [](char mark, uint32_t slot, const model::FlowKey &key,
                         const std::string &name) {
        return std::string(1, mark) + " " + model::format_flow_entry(slot, key, name) + "\n";
    };
    for (const uint32_t slot : plan.slots) {
        const SlotFlows &now = configured(slot);
        size_t removed = 0;
        if (prune) {
            const auto &keep = wanted[slot];
            for (const auto &[key, flow] : now) {
                if (!keep.contains(key)) {
                    plan.changes.push_back({Kind::Remove, slot, key, flow.name});
                    plan.diff += line('-', slot, key, flow.name);
                    ++removed;
                }
            }
        }
        const size_t added = adds[slot].size();
        if (now.size() - removed + added > model::kMaxFlowsPerSlot) {
            return model::error(model::Errc::InvalidParams,
                                "slot " + std::to_string(slot) + " would have " +
                                    std::to_string(now.size() - removed + added) +
                                    " flows; a slot holds at most " +
                                    std::to_string(model::kMaxFlowsPerSlot));
        }
        for (const model::FlowEntry *e : adds[slot]) {
            plan.changes.push_back({Kind::Add, slot, e->key, e->name});
            plan.diff += line('+', slot, e->key, e->name);
        }
        if (removed + added != 0) {
            plan.sent[slot].assign(plan.changes.end() - static_cast<ptrdiff_t>(removed + added),
                                   plan.changes.end());
        }
        plan.removed += removed;
        plan.added += added;
    }
    for (FlowChange &rename : renames) {
        plan.diff += line('~', rename.slot, rename.key, rename.name);
        plan.changes.push_back(std::move(rename));
        ++plan.renamed;
    }
    return plan;
}

CounterForecast forecast(const std::vector<FlowChange> &sent, const SlotFlows &configured,
                         std::optional<size_t> counters) {
    CounterForecast f;
    f.counters = counters;
    std::set<model::FlowKey> removed;
    std::vector<model::FlowKey> added;
    for (const FlowChange &change : sent) {
        if (change.kind == Kind::Remove) {
            removed.insert(change.key);
        } else if (change.kind == Kind::Add) {
            added.push_back(change.key);
        }
    }
    for (const auto &[key, flow] : configured) {
        if (!removed.contains(key) && flow.status == FlowStatus::Applied) {
            ++f.held;
        }
    }
    f.flows = configured.size() - removed.size() + added.size();
    if (counters) {
        const size_t free = *counters > f.held ? *counters - f.held : 0;
        for (size_t i = free; i < added.size(); ++i) {
            f.would_refuse.push_back(added[i]);
        }
    }
    return f;
}

} // namespace supervisor
