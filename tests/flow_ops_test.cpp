// Insertion, query and removal: counter allocation, baselines, totals,
// hand-over on removal, failure paths and the invariants between them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "test_host.h"

using namespace test;

namespace {

template <unsigned Callbacks>
class FlowOpsWith : public ::testing::Test {
protected:
    void init(uint32_t start, uint32_t size) {
        ASSERT_EQ(acl_tcam_flow_init(1, start, size), 0u);
        host.clear();
    }
    uint32_t add(flow_t f) { return acl_tcam_flow_set(&f); }
    uint32_t del(flow_t f) { return acl_tcam_flow_del(&f); }
    // The flow's total frames and bytes, or the query's failure code.
    std::pair<uint64_t, uint64_t> totals(flow_t f) {
        EXPECT_EQ(acl_tcam_flow_get(&f), 0u);
        return {f.pos_frames, f.pos_bytes};
    }
    const flow_t &stored(uint16_t counter_id) { return *counter_table()[counter_id].owner; }
    uint16_t counter_of(const flow_t &f) {
        uint32_t id = 0xdead;
        acl_tcam_flow_get_counter_id(f.vsan, f.sid, f.did, f.type, &id);
        return static_cast<uint16_t>(id);
    }

    Host host{Callbacks};
    const flow_t vsan10 = vsan_flow(10);
    const flow_t dom = domain_flow(10, 0x120000, 0x340000);
    const flow_t exact = exact_flow(10, 0x12ab01, 0x34cd02);
    const flow_t exact2 = exact_flow(10, 0x12ab02, 0x34cd02);
};

using FlowOps = FlowOpsWith<kAllCallbacks>;
using FlowOpsDebugOnly = FlowOpsWith<kDebug>;

// Every claimed entry names a stored flow that holds it, and nothing else is
// claimed.
void expect_consistent(const std::map<uint32_t, flow_t> &model) {
    const gl_counter_table_t *table = counter_table();
    uint32_t in_use = 0;
    for (uint32_t id = 0; id < g_counter_table_size; ++id) {
        const gl_counter_table_t &e = table[id];
        if (e.in_use == 0) {
            ASSERT_EQ(e.owner, nullptr) << id;
            ASSERT_EQ(e.type, 0) << id;
            continue;
        }
        ++in_use;
        ASSERT_GE(id, g_start_counter_id);
        ASSERT_EQ(e.counter_id, id);
        ASSERT_EQ(e.owner->counter_id, id);
        ASSERT_EQ(e.type, e.owner->type);
    }
    EXPECT_EQ(in_use, g_num_counters_used);
    EXPECT_EQ(in_use, model.size());
    EXPECT_EQ(acl_tcam_get_avl_flow_count(), model.size());
    for (const auto &[id, f] : model) {
        ASSERT_EQ(table[id].owner->vsan, f.vsan);
        ASSERT_EQ(acl_tcam_flow_avl_compare(table[id].owner, &f), 0);
    }
}

} // namespace

TEST_F(FlowOps, NeverUsedCountersFirstThenLowestFreeThenNone) {
    init(10, 20);
    ASSERT_EQ(add(vsan_flow(1)), 0u);
    ASSERT_EQ(add(vsan_flow(2)), 0u);
    ASSERT_EQ(del(vsan_flow(1)), 0u);
    ASSERT_EQ(add(vsan_flow(3)), 0u);
    EXPECT_EQ(counter_of(vsan_flow(3)), 12); // not the freed 10
    for (uint32_t v = 4; v <= 10; ++v) {
        ASSERT_EQ(add(vsan_flow(v)), 0u); // 13 to 19
    }
    ASSERT_EQ(add(vsan_flow(11)), 0u);
    EXPECT_EQ(counter_of(vsan_flow(11)), 10);
    ASSERT_EQ(del(vsan_flow(5)), 0u); // frees 14
    ASSERT_EQ(add(vsan_flow(12)), 0u);
    EXPECT_EQ(counter_of(vsan_flow(12)), 14);

    host.clear(); // every id is in use now
    EXPECT_EQ(add(vsan_flow(13)), ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED);
    EXPECT_EQ(host.texts(),
              (std::vector<std::string>{
                  "(TCAMFS-ERR)acl_tcam_alloc_flow_entry: Exhausted all counters\n",
                  "(TCAMFS-ERR)acl_tcam_flow_stats_set: Memory full or All Flow counters "
                  "exhausted.\n"}));
    EXPECT_EQ(acl_tcam_get_avl_flow_count(), 10u);
    EXPECT_EQ(g_num_counters_used, 10u);
    EXPECT_EQ(mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_t), 10u);
}

TEST_F(FlowOps, InsertionTracesAndUpdatesWithTheFlowStored) {
    init(100, 200);
    host.during_update = [&](const flow_handle_update_t &u) {
        EXPECT_EQ(counter_of(exact), 100); // already stored
        EXPECT_EQ(counter_table()[100].in_use, 1);
        EXPECT_EQ(u.flow, counter_table()[100].owner);
    };
    ASSERT_EQ(add(exact), 0u);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{
                  "log (TCAMFS-EV)Flow: Type=3 VSAN=0xa DID=0x34cd02 SID=0x12ab01 Counter=100 "
                  "BitMask=0xfe000000\n \n",
                  "log (TCAMFS-EV)### Counter id is 100 for v: 10, sid: 0x12ab01, did: 0x34cd02, "
                  "bitmask 0xfe000000 ###\n",
                  "update 100->100 install 1", "log (TCAMFS-EV)Flow Found counter id: 100\n"}));
    EXPECT_EQ(host.logs[0].level, 0u);
    EXPECT_EQ(host.updates[0].flag, 1u);
    flow_t same_key_other_type = exact;
    same_key_other_type.type = FLOW_TYPE_VSAN;
    EXPECT_EQ(acl_tcam_flow_set(&same_key_other_type), ACL_TCAM_FS_ERR_FLOW_EXISTS);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_flow_stats_set: Flow already exists.\n");
    EXPECT_EQ(g_num_counters_used, 1u);
}

TEST_F(FlowOps, BaselineIsWhatFinerFlowsCountedSoFar) {
    init(1, 100);
    ASSERT_EQ(add(exact), 0u);                              // 1
    ASSERT_EQ(add(exact2), 0u);                             // 2
    ASSERT_EQ(add(exact_flow(11, 0x12ab01, 0x34cd02)), 0u); // 3, another VSAN
    ASSERT_EQ(add(exact_flow(10, 0x12ab01, 0x35cd02)), 0u); // 4, another domain
    host.set_counter(1, 100, 640);
    host.set_counter(2, 5, 320);
    host.set_counter(3, 1000, 1000);
    host.set_counter(4, 7, 70);
    host.clear();
    ASSERT_EQ(add(dom), 0u); // 5
    EXPECT_EQ(host.reads, (std::vector<uint32_t>{1, 2}));
    EXPECT_TRUE(host.logged("(TCAMFS-EV)get_finer_flow_stats: Got finer flow stats from Hw counter "
                            "1 for flow counter 5 BYTES: 640 FRAMES: 100 \n"));
    EXPECT_EQ(stored(5).neg_frames, 105u);
    EXPECT_EQ(stored(5).neg_bytes, 960u);
    host.clear();
    ASSERT_EQ(add(vsan10), 0u); // 6: reads the domain flow too
    EXPECT_EQ(host.reads, (std::vector<uint32_t>{5, 1, 2, 4}));
    EXPECT_EQ(stored(6).neg_frames, 112u);
    EXPECT_EQ(stored(6).pos_frames, 0u);
    host.clear();
    ASSERT_EQ(add(exact_flow(10, 0x12ab03, 0x34cd02)), 0u); // coarser flows are not read
    EXPECT_TRUE(host.reads.empty());
    EXPECT_EQ(stored(7).neg_frames, 0u);
}

TEST_F(FlowOps, TotalsFollowTheFormulaThroughRemovals) {
    init(1, 100);
    ASSERT_EQ(add(exact), 0u); // 1
    host.set_counter(1, 40, 400);
    ASSERT_EQ(add(vsan10), 0u); // 2, neg 40/400
    host.set_counter(2, 7, 70);
    host.set_counter(1, 50, 500);
    EXPECT_EQ(totals(vsan10), std::make_pair(uint64_t{17}, uint64_t{170}));
    EXPECT_EQ(totals(exact), std::make_pair(uint64_t{50}, uint64_t{500})); // no finer flows

    host.set_counter(1, 30, 300); // the finer counter went back: wraps, shown signed
    host.set_counter(2, 0, 0);
    EXPECT_EQ(totals(vsan10), std::make_pair(~uint64_t{9}, ~uint64_t{99}));
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-EV)acl_tcam_flow_get: Final stats for counter id 2: "
                                     "Frames = -10, Bytes = -100 \n");
    host.set_counter(1, 50, 500);
    host.set_counter(2, 7, 70);
    ASSERT_EQ(del(exact), 0u);
    EXPECT_EQ(totals(vsan10), std::make_pair(uint64_t{17}, uint64_t{170})); // unchanged by removal
    host.set_counter(2, 9, 90);
    EXPECT_EQ(totals(vsan10), std::make_pair(uint64_t{19}, uint64_t{190}));
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-EV)acl_tcam_flow_get: Final stats for counter id 2: "
                                     "Frames = 19, Bytes = 190 \n");
}

TEST_F(FlowOps, RemovalHandsOverToEveryCoveringFlow) {
    init(3, 100);
    ASSERT_EQ(add(vsan10), 0u); // 3
    ASSERT_EQ(add(dom), 0u);    // 4
    ASSERT_EQ(add(exact), 0u);  // 5
    host.set_counter(5, 8, 800);
    const auto vsan_before = totals(vsan10);
    const auto dom_before = totals(dom);
    host.during_update = [&](const flow_handle_update_t &) {
        EXPECT_EQ(counter_of(exact), 5);         // still stored ...
        EXPECT_EQ(counter_table()[5].in_use, 0); // ... but its counter reads free
        uint32_t chosen = 0;
        acl_tcam_flow_choose_counter(5, 4, &chosen);
        EXPECT_EQ(chosen, 4u);
    };
    host.clear();
    ASSERT_EQ(del(exact), 0u);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{
                  "read 5", "log (TCAMFS-EV)Choosing counter: 3(type 1)\n",
                  "log (TCAMFS-EV)Adding stats to counter with id 3 frames 8 (800 bytes)\n",
                  "log (TCAMFS-EV)Choosing between counter 3(1) and 4(2)\n",
                  "log (TCAMFS-EV)Result = 4 .....\n",
                  "log (TCAMFS-EV)Adding stats to counter with id 4 frames 8 (800 bytes)\n",
                  "log (TCAMFS-EV)Setting the counter id of flow to parent id: 4 \n",
                  "update 5->4 install 0", "log (TCAMFS-EV)Flow Found counter id: 5\n",
                  "log (TCAMFS-EV)Choosing between counter 5(0) and 4(2) \n"}));
    EXPECT_EQ(stored(3).pos_frames, 8u);
    EXPECT_EQ(stored(4).pos_bytes, 800u);
    EXPECT_EQ(totals(vsan10), vsan_before);
    EXPECT_EQ(totals(dom), dom_before);
    const gl_counter_table_t &freed = counter_table()[5];
    EXPECT_EQ(freed.in_use + freed.counter_id + freed.type, 0);
    EXPECT_EQ(freed.owner, nullptr);
    EXPECT_EQ(g_num_counters_used, 2u);
    EXPECT_EQ(mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_t), 2u);
}

TEST_F(FlowOps, ParentIsTheNearestCoveringFlow) {
    struct Case {
        std::vector<flow_t> present;
        flow_t removed;
        uint16_t parent;
    } cases[] = {
        {{vsan10}, exact, 1},      {{dom}, exact, 1},
        {{vsan10, dom}, exact, 2}, {{vsan10, exact, dom}, dom, 1},
        {{dom}, dom, 0},           {{vsan_flow(11), exact2}, exact, 0},
        {{}, vsan10, 0},
    };
    for (const Case &c : cases) {
        init(1, 100);
        for (const flow_t &f : c.present) {
            ASSERT_EQ(add(f), 0u);
        }
        if (acl_tcam_flow_get(const_cast<flow_t *>(&c.removed)) != 0) {
            ASSERT_EQ(add(c.removed), 0u);
        }
        host.clear();
        ASSERT_EQ(del(c.removed), 0u);
        ASSERT_EQ(host.updates.size(), 1u); // only the removed flow's entry moves, not finer ones
        EXPECT_EQ(host.updates[0].counter_id, c.parent);
    }
}

TEST_F(FlowOps, RemovingAnAbsentFlowSucceeds) {
    init(1, 100);
    EXPECT_EQ(del(exact), 0u);
    EXPECT_EQ(host.texts(), std::vector<std::string>{
                                "(TCAMFS-ERR)acl_tcam_flow_stats_del: No Entry to be deleted.\n"});
    EXPECT_TRUE(host.reads.empty());
}

TEST_F(FlowOps, WalkCallbacksOnHandMadeRecords) {
    init(1, 100);
    ASSERT_EQ(add(vsan10), 0u); // 1
    ASSERT_EQ(add(dom), 0u);    // 2
    ASSERT_EQ(add(exact), 0u);  // 3
    flow_walk_ctx_t ctx{};
    std::memcpy(&ctx, &stored(3), 20);
    host.clear();
    acl_tcam_get_parent_counter_id(counter_table()[1].owner, &ctx);
    acl_tcam_get_parent_counter_id(counter_table()[2].owner, &ctx);
    acl_tcam_get_parent_counter_id(counter_table()[3].owner, &ctx); // itself: no
    EXPECT_EQ(ctx.parent_counter_id, 2u);
    EXPECT_EQ(host.texts(),
              (std::vector<std::string>{"(TCAMFS-EV)New parent counter id for flow is 1 \n",
                                        "(TCAMFS-EV)New parent counter id for flow is 2 \n"}));
    EXPECT_EQ(host.logs[0].level, 2u);
    EXPECT_EQ(stored(1).pos_frames, 0u);

    // A covering flow that shares the removed flow's counter moves to the
    // parent's; others are left alone.
    flow_t sharing = dom;
    sharing.counter_id = 3;
    flow_t not_sharing = vsan10;
    not_sharing.counter_id = 1;
    host.update_result = [](const flow_handle_update_t &) { return 0x100; };
    host.clear();
    set_finer_flow_counters(&sharing, &ctx);
    set_finer_flow_counters(&not_sharing, &ctx);
    EXPECT_EQ(sharing.counter_id, 2u);
    EXPECT_EQ(not_sharing.counter_id, 1u);
    EXPECT_EQ(ctx.status, 0x100u);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{"log (TCAMFS-EV)Setting Counter from id 3 to 2\n",
                                        "update 2->2 install 0"}));
}

TEST_F(FlowOps, InsertionFailuresLeaveNothingClaimed) {
    init(1, 100);
    ASSERT_EQ(add(exact), 0u);  // 1
    ASSERT_EQ(add(exact2), 0u); // 2
    host.fail_read(1, 0x1);
    host.fail_read(2, 0x4);
    host.clear();
    EXPECT_EQ(add(vsan10), 0x5u); // claimed 3, released
    EXPECT_EQ(
        host.texts(),
        (std::vector<std::string>{
            "(TCAMFS-ERR)get_finer_flow_stats: error in getting Hw counter with id 1\n",
            "(TCAMFS-ERR)get_finer_flow_stats: error in getting Hw counter with id 2\n",
            "(TCAMFS-ERR)acl_tcam_alloc_flow_entry: error in avl_walk\n",
            "(TCAMFS-ERR)acl_tcam_flow_stats_set: Memory full or All Flow counters exhausted.\n"}));
    expect_consistent({{1, exact}, {2, exact2}});
    host.fail_read(1, 0);
    host.fail_read(2, 0);

    mtrack_sim_fail_type(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_t);
    host.clear();
    EXPECT_EQ(add(dom), ACL_TCAM_FS_ERR_NO_MEMORY);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_flow_stats_set: No Memory Left.\n");
    EXPECT_NE(host.logs[0].text.find("acl_tcam_flow.cpp["), std::string::npos);
    EXPECT_NE(host.logs[0].text.find("] for size 64\n"), std::string::npos);
    mtrack_sim_clear_faults();

    avl_sim_fail_next_insert();
    EXPECT_EQ(add(dom), ACL_TCAM_FS_ERR_NO_MEMORY); // claimed 4, released
    expect_consistent({{1, exact}, {2, exact2}});
    EXPECT_EQ(mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_t), 2u);

    ASSERT_EQ(add(dom), 0u);
    EXPECT_EQ(counter_of(dom), 5); // never-used ids first
}

TEST_F(FlowOpsDebugOnly, MissingCallbacks) {
    init(1, 100);
    ASSERT_EQ(add(vsan10), ACL_TCAM_FS_ERR_NO_CALLBACK); // no finer flow: only the update fails
    EXPECT_EQ(add(vsan10), ACL_TCAM_FS_ERR_FLOW_EXISTS);
    EXPECT_EQ(add(exact), ACL_TCAM_FS_ERR_NO_CALLBACK);
    EXPECT_EQ(add(dom), ACL_TCAM_FS_ERR_NO_CALLBACK); // must read the exact flow
    flow_t query = vsan10;
    query.pos_frames = 0xabc;
    EXPECT_EQ(acl_tcam_flow_get(&query), ACL_TCAM_FS_ERR_NO_CALLBACK);
    EXPECT_EQ(query.pos_frames, 0xabcu);
    EXPECT_EQ(del(exact), ACL_TCAM_FS_ERR_NO_CALLBACK);
    expect_consistent({{1, vsan10}, {2, exact}});

    host.export_callbacks(kStats);
    host.set_counter(2, 6, 60);
    EXPECT_EQ(del(exact), ACL_TCAM_FS_ERR_NO_CALLBACK); // the final update
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-ERR)acl_tcam_flow_del: error in setting counter id for the flow to: 0x1\n");
    EXPECT_EQ(stored(1).pos_frames, 6u); // the hand-over stays
    expect_consistent({{1, vsan10}, {2, exact}});
}

TEST_F(FlowOps, QueryFailuresLeaveResultsUntouched) {
    init(1, 100);
    ASSERT_EQ(add(vsan10), 0u); // 1
    ASSERT_EQ(add(exact), 0u);  // 2
    struct Case {
        flow_t query;
        uint32_t failing_counter;
        uint32_t status;
        const char *last_text;
    } cases[] = {
        {dom, 0, ACL_TCAM_FS_ERR_NO_ENTRY, "(TCAMFS-ERR)acl_tcam_flow_get: Entry does not exist\n"},
        {vsan10, 2, 0x33, "(TCAMFS-ERR)acl_tcam_flow_get: error in avl walk.\n"},
        {vsan10, 1, 0x33,
         "(TCAMFS-ERR)acl_tcam_flow_get: error in getting hardware counter value.\n"},
    };
    for (const Case &c : cases) {
        host.fail_read(c.failing_counter, 0x33);
        flow_t query = c.query;
        query.pos_frames = 1;
        query.pos_bytes = 2;
        EXPECT_EQ(acl_tcam_flow_get(&query), c.status);
        EXPECT_EQ(query.pos_frames, 1u);
        EXPECT_EQ(query.pos_bytes, 2u);
        EXPECT_EQ(host.logs.back().text, c.last_text);
        host.fail_read(c.failing_counter, 0);
    }
}

TEST_F(FlowOps, LateRemovalFailuresKeepTheFlowOwningItsCounter) {
    init(1, 100);
    ASSERT_EQ(add(vsan10), 0u); // 1
    ASSERT_EQ(add(exact), 0u);  // 2
    host.update_result = [](const flow_handle_update_t &) { return 0x9; };
    EXPECT_EQ(del(exact), 0x9u);
    expect_consistent({{1, vsan10}, {2, exact}});

    host.update_result = nullptr;
    avl_sim_fail_next_delete();
    host.clear();
    EXPECT_EQ(del(exact), ACL_TCAM_FS_ERR_NO_ENTRY);
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-ERR)acl_tcam_flow_del: error in acl_delete function.\n");
    expect_consistent({{1, vsan10}, {2, exact}});
    EXPECT_EQ(del(exact), 0u); // a retry completes
    expect_consistent({{1, vsan10}});
}

TEST_F(FlowOps, RandomSequencesKeepTableTreeAndCountAgreeing) {
    std::mt19937 rng(7);
    std::vector<flow_t> keys;
    for (uint32_t v : {1u, 2u}) {
        keys.push_back(vsan_flow(v));
        for (uint32_t d : {0x010000u, 0x020000u}) {
            keys.push_back(domain_flow(v, d, 0x030000));
            for (uint32_t port : {1u, 2u}) {
                keys.push_back(exact_flow(v, d | port, 0x030000 | port));
            }
        }
    }
    init(3, 12); // fewer counters than keys: exhaustion and reuse happen
    std::map<uint32_t, flow_t> model;
    for (int step = 0; step < 3000; ++step) {
        const flow_t f = keys[rng() % keys.size()];
        host.set_counter(rng() % 12, rng() % 1000, rng() % 100000);
        if (rng() % 2 == 0) {
            const uint32_t rc = add(f);
            if (rc == 0) {
                model[counter_of(f)] = f;
            }
        } else {
            const auto present = std::find_if(model.begin(), model.end(), [&](const auto &entry) {
                return acl_tcam_flow_avl_compare(&entry.second, &f) == 0;
            });
            if (del(f) == 0 && present != model.end()) {
                model.erase(present);
            }
        }
        if (step % 50 == 0) {
            expect_consistent(model);
        }
    }
    expect_consistent(model);
}
