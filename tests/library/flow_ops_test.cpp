// Insertion, query and removal: counter choice, baselines, totals, hand-over
// on removal and the exact texts of each path. Statuses, leaks and table
// consistency under every fault are the fault sweep's.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "test_host.h"

using namespace test;

namespace {

using Totals = std::pair<uint64_t, uint64_t>;

class FlowOps : public ::testing::Test {
protected:
    void init(uint32_t start, uint32_t size, std::initializer_list<flow_t> flows = {}) {
        ASSERT_EQ(acl_tcam_flow_init(1, start, size), 0u);
        for (flow_t f : flows) {
            ASSERT_EQ(add(f), 0u);
        }
        host.clear();
    }
    static uint32_t add(flow_t f) { return acl_tcam_flow_set(&f); }
    static uint32_t del(flow_t f) { return acl_tcam_flow_del(&f); }
    static Totals totals(flow_t f) {
        EXPECT_EQ(acl_tcam_flow_get(&f), 0u);
        return {f.pos_frames, f.pos_bytes};
    }
    static const flow_t &stored(uint16_t counter_id) { return *counter_table()[counter_id].owner; }
    static uint16_t counter_of(const flow_t &f) {
        uint32_t id = 0xdead;
        acl_tcam_flow_get_counter_id(f.vsan, f.sid, f.did, f.type, &id);
        return static_cast<uint16_t>(id);
    }

    Host host;
    const flow_t vsan10 = vsan_flow(10);
    const flow_t dom = domain_flow(10, 0x120000, 0x340000);
    const flow_t exact = exact_flow(10, 0x12ab01, 0x34cd02);
    const flow_t exact2 = exact_flow(10, 0x12ab02, 0x34cd02);
};

} // namespace

TEST_F(FlowOps, NeverUsedCountersFirstThenLowestFreeThenNone) {
    init(10, 20, {vsan_flow(1), vsan_flow(2)});
    ASSERT_EQ(del(vsan_flow(1)), 0u);
    for (uint32_t v = 3; v <= 11; ++v) {
        ASSERT_EQ(add(vsan_flow(v)), 0u); // 12 to 19, then the freed 10
    }
    EXPECT_EQ(counter_of(vsan_flow(3)), 12);
    EXPECT_EQ(counter_of(vsan_flow(11)), 10);
    ASSERT_EQ(del(vsan_flow(7)), 0u); // frees 16, then 14: the lower goes first
    ASSERT_EQ(del(vsan_flow(5)), 0u);
    ASSERT_EQ(add(vsan_flow(12)), 0u);
    ASSERT_EQ(add(vsan_flow(13)), 0u);
    EXPECT_EQ(counter_of(vsan_flow(12)), 14);
    EXPECT_EQ(counter_of(vsan_flow(13)), 16);

    host.clear(); // every id is in use now
    EXPECT_EQ(add(vsan_flow(14)), ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED);
    EXPECT_EQ(host.texts(),
              (std::vector<std::string>{
                  "(TCAMFS-ERR)acl_tcam_alloc_flow_entry: Exhausted all counters\n",
                  "(TCAMFS-ERR)acl_tcam_flow_stats_set: Memory full or All Flow counters "
                  "exhausted.\n"}));
    expect_consistent(10);
}

// Totals against traffic are the reference host's; here the reads, the
// texts and the update of an insertion, and a total that wraps.
TEST_F(FlowOps, InsertionReadsFinerFlowsThenUpdatesWithTheFlowStored) {
    init(100, 200, {exact}); // 100
    host.set_counter(100, 100, 640);
    host.during_update = [&](const flow_handle_update_t &u) {
        EXPECT_EQ(counter_of(dom), 101); // already stored
        EXPECT_EQ(u.flow, counter_table()[101].owner);
    };
    ASSERT_EQ(add(dom), 0u);
    EXPECT_EQ(host.events,
              (std::vector<std::string>{
                  "read 100",
                  "log (TCAMFS-EV)get_finer_flow_stats: Got finer flow stats from Hw counter 100 "
                  "for flow counter 101 BYTES: 640 FRAMES: 100 \n",
                  "log (TCAMFS-EV)Flow: Type=2 VSAN=0xa DID=0x340000 SID=0x120000 Counter=101 "
                  "BitMask=0xc8000000\n \n",
                  "log (TCAMFS-EV)### Counter id is 101 for v: 10, sid: 0x120000, did: 0x340000, "
                  "bitmask 0xc8000000 ###\n",
                  "update 101->101 install 1", "log (TCAMFS-EV)Flow Found counter id: 101\n"}));
    const uint32_t levels[] = {1, 0, 1, 2};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(host.logs[i].level, levels[i]) << i;
    }
    EXPECT_EQ(host.updates[0].flag, 1u);
    EXPECT_EQ(Totals(stored(101).neg_frames, stored(101).neg_bytes), Totals(100, 640));
    host.during_update = nullptr;
    host.clear();
    ASSERT_EQ(add(exact2), 0u); // coarser flows are not read
    EXPECT_TRUE(host.reads.empty());

    host.set_counter(100, 90, 600); // the finer counter went back: the total wraps, shown signed
    EXPECT_EQ(totals(dom), Totals(~uint64_t{9}, ~uint64_t{39}));
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-EV)acl_tcam_flow_get: Final stats for counter id 101: "
              "Frames = -10, Bytes = -40 \n");
    flow_t same_key_other_type = dom;
    same_key_other_type.type = FLOW_TYPE_VSAN;
    EXPECT_EQ(add(same_key_other_type), ACL_TCAM_FS_ERR_FLOW_EXISTS);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_flow_stats_set: Flow already exists.\n");
}

TEST_F(FlowOps, RemovalHandsOverToEveryCoveringFlow) {
    init(3, 100, {vsan10, dom, exact}); // 3, 4, 5
    host.set_counter(5, 8, 800);
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
    expect_consistent(2);
}

TEST_F(FlowOps, WalkCallbacksOnHandMadeRecords) {
    init(1, 100, {vsan10, dom, exact}); // 1, 2, 3
    flow_walk_ctx_t ctx{};
    std::memcpy(&ctx, &stored(3), 20);
    for (uint16_t id : {1, 2, 3}) { // itself: no
        acl_tcam_get_parent_counter_id(counter_table()[id].owner, &ctx);
    }
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

// Each failure path's status and last texts, the query result untouched.
TEST_F(FlowOps, FailureStatusesAndTexts) {
    const auto query = [](flow_t f) {
        f.pos_frames = 1;
        const uint32_t rc = acl_tcam_flow_get(&f);
        EXPECT_EQ(f.pos_frames, 1u);
        return rc;
    };
    const std::string finer_unreadable =
        "(TCAMFS-ERR)get_finer_flow_stats: error in getting Hw counter with id ";
    struct Case {
        std::function<void()> arm;
        std::function<uint32_t()> run;
        uint32_t status;
        std::vector<std::string> last_texts;
    };
    const auto fail_read = [&](uint32_t id, int32_t code) {
        return [=, this] { host.fail_read(id, code); };
    };
    const auto nothing = [] {};
    // clang-format off
    const Case cases[] = {
        {[&] { host.fail_read(2, 0x1); host.fail_read(3, 0x4); }, [&] { return add(dom); }, 0x5,
         {finer_unreadable + "2\n", finer_unreadable + "3\n",
          "(TCAMFS-ERR)acl_tcam_alloc_flow_entry: error in avl_walk\n",
          "(TCAMFS-ERR)acl_tcam_flow_stats_set: Memory full or All Flow counters exhausted.\n"}},
        {[] { mtrack_sim_fail_type(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_t); }, [&] { return add(dom); },
         ACL_TCAM_FS_ERR_NO_MEMORY, {"(TCAMFS-ERR)acl_tcam_flow_stats_set: No Memory Left.\n"}},
        {avl_sim_fail_next_insert, [&] { return add(dom); }, ACL_TCAM_FS_ERR_NO_MEMORY,
         {"(TCAMFS-ERR)acl_tcam_flow_stats_set: No Memory Left.\n"}},
        {nothing, [&] { return query(dom); }, ACL_TCAM_FS_ERR_NO_ENTRY,
         {"(TCAMFS-ERR)acl_tcam_flow_get: Entry does not exist\n"}},
        {fail_read(3, 0x33), [&] { return query(vsan10); }, 0x33,
         {finer_unreadable + "3\n", "(TCAMFS-ERR)acl_tcam_flow_get: error in avl walk.\n"}},
        {fail_read(1, 0x33), [&] { return query(vsan10); }, 0x33,
         {"(TCAMFS-ERR)acl_tcam_flow_get: error in getting hardware counter value.\n"}},
        {nothing, [&] { return del(dom); }, 0, {"(TCAMFS-ERR)acl_tcam_flow_stats_del: No Entry to be deleted.\n"}},
        {fail_read(2, 0x44), [&] { return del(exact); }, 0x44,
         {"(TCAMFS-ERR)acl_tcam_flow_del: error in getting Hw stats from counter with id 2 \n"}},
        {[&] { host.update_result = [](const flow_handle_update_t &) { return 0x9; }; },
         [&] { return del(exact); }, 0x9,
         {"(TCAMFS-ERR)acl_tcam_flow_del: error in setting counter id for the flow to: 0x1\n"}},
        {avl_sim_fail_next_delete, [&] { return del(exact); }, ACL_TCAM_FS_ERR_NO_ENTRY,
         {"(TCAMFS-ERR)acl_tcam_flow_del: error in acl_delete function.\n"}},
    };
    // clang-format on
    for (const Case &c : cases) {
        init(1, 100, {vsan10, exact, exact2}); // 1, 2, 3
        c.arm();
        EXPECT_EQ(c.run(), c.status) << c.last_texts.back();
        const std::vector<std::string> texts = host.texts();
        ASSERT_GE(texts.size(), c.last_texts.size());
        EXPECT_EQ(std::vector<std::string>(texts.end() - c.last_texts.size(), texts.end()),
                  c.last_texts);
        host.fail_read(2, 0);
        host.fail_read(3, 0);
        host.fail_read(1, 0);
        host.update_result = nullptr;
        mtrack_sim_clear_faults();
        expect_consistent(3);
    }
}
