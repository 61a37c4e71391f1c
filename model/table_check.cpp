// The flow table's invariant checker (see table_check.h).
#include "table_check.h"

#include <cstdarg>
#include <cstdio>
#include <set>

#include "acl_tcam_flow_stats.h"
#include "platform_sim.h"

namespace model {

namespace {

[[gnu::format(printf, 1, 2)]] std::string text(const char *format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

uint64_t live_blocks(uint32_t type) {
    return mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, type);
}

// The claimed counter's entry against its owner; empty when they agree.
std::string check_claimed(uint32_t id, const gl_counter_table_t &e) {
    if (id < g_start_counter_id || e.counter_id != id || e.owner == nullptr ||
        e.owner->counter_id != id || e.owner->type != e.type) {
        return text("claimed counter %u: entry id %u type %u, owner %p holds %u type %u", id,
                    e.counter_id, e.type, static_cast<void *>(e.owner),
                    e.owner != nullptr ? e.owner->counter_id : 0u,
                    e.owner != nullptr ? e.owner->type : 0u);
    }
    uint32_t found = 0;
    acl_tcam_flow_get_counter_id(e.owner->vsan, e.owner->sid, e.owner->did, e.owner->type, &found);
    if (found != id) {
        return text("the owner of counter %u is not in the tree (lookup gives %u)", id, found);
    }
    return {};
}

} // namespace

TableCheck check_table(uint32_t stored) {
    TableCheck out;
    const auto *table = static_cast<const gl_counter_table_t *>(
        mtrack_sim_last_block(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_gl_counter_table_t));
    const uint64_t records = live_blocks(ACL_TCAM_FS_MEM_flow_t);
    const uint64_t replies = live_blocks(ACL_TCAM_FS_MEM_flow_stats_cmi_t);
    const uint64_t tables = live_blocks(ACL_TCAM_FS_MEM_gl_counter_table_t);
    if (records != stored || replies != 0 || tables != (table != nullptr ? 1u : 0u)) {
        out.error =
            text("live blocks: %llu flow records for %u flows, %llu reply buffers, "
                 "%llu tables",
                 static_cast<unsigned long long>(records), stored,
                 static_cast<unsigned long long>(replies), static_cast<unsigned long long>(tables));
        return out;
    }
    std::set<FlowKey> owners;
    uint32_t in_use = 0;
    for (uint32_t id = 0; table != nullptr && id < g_counter_table_size; ++id) {
        const gl_counter_table_t &e = table[id];
        if (e.in_use == 0) {
            if (e.owner != nullptr || e.type != 0) {
                out.error = text("free counter %u has owner %p type %u", id,
                                 static_cast<void *>(e.owner), e.type);
                return out;
            }
            continue;
        }
        ++in_use;
        if (out.error = check_claimed(id, e); !out.error.empty()) {
            return out;
        }
        const FlowKey key{static_cast<FlowType>(e.owner->type), e.owner->vsan, e.owner->sid,
                          e.owner->did};
        if (!owners.insert(key).second) {
            out.error = text("two counters owned by one flow (counter %u)", id);
            return out;
        }
        out.owners.push_back(key);
    }
    const uint32_t tree_count = acl_tcam_get_avl_flow_count();
    if (in_use != g_num_counters_used || in_use != tree_count || in_use != stored) {
        out.error = text("%u claimed counters, g_num_counters_used %u, %u flows in the tree, "
                         "%u expected",
                         in_use, g_num_counters_used, tree_count, stored);
    }
    return out;
}

} // namespace model
