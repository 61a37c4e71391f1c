// Key order, coverage, start-up, memory types and the host-callback layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>

#include "payload.h"
#include "test_host.h"

using namespace test;

namespace {

int sign(int v) {
    return (v > 0) - (v < 0);
}

// Whether the walk callback treats node as finer than subject: it reads the
// node's counter exactly then.
bool reads_as_finer(const flow_t &node, const flow_t &subject, Host &host) {
    flow_walk_ctx_t ctx{};
    std::memcpy(&ctx, &subject, 20);
    host.reads.clear();
    get_finer_flow_stats(const_cast<flow_t *>(&node), &ctx);
    return !host.reads.empty();
}

flow_t with_counter(flow_t f, uint16_t id) {
    f.counter_id = id;
    return f;
}

} // namespace

// Coarser flows first: the display test shows it.
TEST(FlowModel, KeyOrderIsBitmaskVsanDidSidUnsigned) {
    struct Case {
        flow_t a, b;
        int expected;
    } cases[] = {
        {vsan_flow(2), vsan_flow(1), 1},
        {exact_flow(1, 0x020000, 0x010000), exact_flow(1, 0x010000, 0x020000),
         -1}, // did before sid
        {exact_flow(1, 0x010000, 0xff0000), exact_flow(1, 0x010000, 0x010000), 1},
        {with_counter(vsan_flow(3), 7), vsan_flow(3), 0}, // counter id takes no part
    };
    for (const Case &c : cases) {
        EXPECT_EQ(sign(acl_tcam_flow_avl_compare(&c.a, &c.b)), c.expected);
        EXPECT_EQ(sign(acl_tcam_flow_avl_compare(&c.b, &c.a)), -c.expected);
    }
    flow_t other_type = vsan_flow(3);
    other_type.type = FLOW_TYPE_SID_DID;
    EXPECT_EQ(acl_tcam_flow_avl_compare(&other_type, &cases[3].b), 0);
}

TEST(FlowModel, FinerFlowsAreTheCoveredOnes) {
    Host host;
    const flow_t dom = domain_flow(10, 0x120000, 0x340000);
    const flow_t inside = exact_flow(10, 0x12ab01, 0x34cd02);
    struct Case {
        flow_t node, subject;
        bool finer;
    } cases[] = {
        {exact_flow(10, 0x12ab01, 0x35cd02), dom, false},    // did in another domain
        {exact_flow(10, 0x13ab01, 0x34cd02), dom, false},    // sid in another domain
        {dom, inside, false},                                // coarser
        {inside, inside, false},                             // nothing covers itself
        {with_counter(inside, 4), inside, true},             // the counter id tells copies apart
        {exact_flow(10, 0x12ab01, 0x34cd03), inside, false}, // exact flows only cover themselves
        {with_counter(exact_flow(10, 0x12ab01, 0x34cd02), 9), with_counter(inside, 9), false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(reads_as_finer(c.node, c.subject, host), c.finer)
            << c.node.type << "/" << std::hex << c.node.sid << " under " << c.subject.type;
    }
}

TEST(Startup, RefusesCounterRangesTheTableCannotHold) {
    Host host;
    const uint32_t cases[][2] = {{5, 5}, {0, 0}, {0xffffffff, 10}, {0, 65536}}; // start, size
    for (auto [start, size] : cases) {
        host.clear();
        EXPECT_EQ(acl_tcam_flow_init(1, start, size), ACL_TCAM_FS_ERR_INIT_ARGS);
        ASSERT_EQ(host.logs.size(), 1u);
        EXPECT_EQ(host.logs[0].text, "(TCAMFS-EV)Invalid arguments to flow_init St-ID:" +
                                         std::to_string(static_cast<int32_t>(start)) +
                                         "  Table-Size:" + std::to_string(size));
        EXPECT_EQ(host.logs[0].level, 3u);
        EXPECT_EQ(host.logs[0].kind, 1u);
    }
    EXPECT_EQ(acl_tcam_flow_is_initialized(), 0);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(acl_tcam_flow_init(1, 0, 1), 0u); // the smallest valid range
}

// The largest table counter ids allow: accepted, and its top ids handed out.
TEST(Startup, LargestTableHandsOutItsTopIds) {
    Host host;
    ASSERT_EQ(acl_tcam_flow_init(1, 65533, 65535), 0u);
    acl_tcam_flow_set_region_init_done();
    for (uint32_t vsan = 1; vsan <= 2; ++vsan) {
        flow_t f = vsan_flow(vsan);
        ASSERT_EQ(acl_tcam_flow_set(&f), 0u);
    }
    EXPECT_EQ(counter_table()[65533].owner->vsan, 1u);
    EXPECT_EQ(counter_table()[65534].owner->vsan, 2u);
    flow_t third = vsan_flow(3);
    EXPECT_EQ(acl_tcam_flow_set(&third), ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED);
    expect_consistent(2);
}

// A host or a memory dump reads the table: every byte of it is zero, the
// padding of each entry too, whatever the tracker handed out.
TEST(Startup, CounterTableIsZeroByteForByte) {
    Host host;
    mtrack_sim_fill_new_blocks(0xa5);
    const uint32_t rc = acl_tcam_flow_init(1, 3, 300);
    mtrack_sim_fill_new_blocks(-1);
    ASSERT_EQ(rc, 0u);
    const auto *bytes = reinterpret_cast<const uint8_t *>(counter_table());
    const size_t size = 300 * sizeof(gl_counter_table_t);
    EXPECT_EQ(std::count(bytes, bytes + size, 0), static_cast<std::ptrdiff_t>(size));
}

// Initialising again drops the stored flows; when the tree will not give one
// back, it stops and says so, keeping the flows and their table.
TEST(Startup, ReinitialisationDropsFlowsOrSaysWhyNot) {
    Host host;
    ASSERT_EQ(acl_tcam_flow_init(1, 0, 8), 0u);
    acl_tcam_flow_set_region_init_done();
    flow_t f = vsan_flow(7);
    ASSERT_EQ(acl_tcam_flow_set(&f), 0u);
    host.clear();
    avl_sim_fail_next_delete();
    EXPECT_EQ(acl_tcam_flow_init(1, 0, 8), ACL_TCAM_FS_ERR_NO_ENTRY);
    EXPECT_EQ(host.texts(),
              (std::vector<std::string>{
                  "(TCAMFS-EV)Flow TCAM Initialization ....\n",
                  "(TCAMFS-ERR)acl_tcam_flow_init: error in acl_delete function.\n"}));
    EXPECT_EQ(host.logs.back().level, 4u);
    EXPECT_EQ(host.logs.back().kind, 2u);
    expect_consistent(1);

    host.clear();
    EXPECT_EQ(acl_tcam_flow_init(1, 0, 8), 0u);
    EXPECT_EQ(host.texts()[1], "(TCAMFS-EV)acl_tcam_flow_init: Re-initialization drops 1 flows.\n");
    expect_consistent(0);
}

// The tree, then the counter table fail; either leaves flow operations
// refused, and a table that failed leaves the library initialised but
// unusable. Then one succeeds, and a re-initialisation whose download request
// fails still does.
TEST(Startup, FirstInitialisationFailuresThenSuccess) {
    Host host;
    flow_t f = vsan_flow(1);
    EXPECT_EQ(acl_tcam_get_avl_flow_count(), 0u);
    EXPECT_EQ(host.texts(),
              std::vector<std::string>{"(TCAMFS-ERR)acl_tcam_get_avl_flow_count: null AVL\n"});
    host.clear();
    avl_sim_fail_next_create();
    EXPECT_EQ(acl_tcam_flow_init(1, 0, 8), ACL_TCAM_FS_ERR_NO_MEMORY);
    EXPECT_EQ(host.texts(),
              (std::vector<std::string>{"(TCAMFS-EV)Flow TCAM Initialization ....\n",
                                        "(TCAMFS-ERR)acl_tcam_flow_init: No Memory Left.\n"}));
    EXPECT_EQ(acl_tcam_flow_is_initialized(), 0);
    EXPECT_EQ(acl_tcam_flow_set(&f), ACL_TCAM_FS_ERR_REGION_NOT_INIT);

    host.clear();
    mtrack_sim_fail_type(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_gl_counter_table_t);
    EXPECT_EQ(acl_tcam_flow_init(1, 10, 100), ACL_TCAM_FS_ERR_NO_MEMORY);
    mtrack_sim_clear_faults();
    ASSERT_EQ(host.logs.size(), 3u);
    const std::string expected_size = std::to_string(100 * sizeof(gl_counter_table_t));
    EXPECT_TRUE(std::regex_match(
        host.logs[1].text, std::regex(R"(\(TCAMFS-ERR\)Warning! Malloc Failure in lib_flow_stats/)"
                                      R"(acl_tcam_flow\.cpp\[\d+\] for size )" +
                                      expected_size + "\n")))
        << host.logs[1].text;
    EXPECT_EQ(host.logs[2].text, "(TCAMFS-ERR)acl_tcam_flow_init: Failed to Malloc counter table");
    EXPECT_EQ(acl_tcam_flow_is_initialized(), 1);
    EXPECT_TRUE(host.sent.empty()); // no download request without a table
    EXPECT_EQ(acl_tcam_flow_set(&f), ACL_TCAM_FS_ERR_REGION_NOT_INIT);
    expect_consistent(0);
    EXPECT_EQ(acl_tcam_flow_get(&f), ACL_TCAM_FS_ERR_REGION_NOT_INIT);
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-ERR)acl_tcam_flow_get: Flow table not initialized.\n");

    host.clear();
    card_sim_set_slot(0x01020304); // byte 1 is forced to 0 on the wire
    ASSERT_EQ(acl_tcam_flow_init(42, 100, 2000), 0u);
    expect_consistent(0); // every entry free
    EXPECT_EQ(mtrack_sim_live_bytes(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_gl_counter_table_t),
              2000 * sizeof(gl_counter_table_t));
    ASSERT_EQ(host.sent.size(), 1u); // its length, handle and opcode: the golden transcript
    EXPECT_EQ(host.sent[0].dst.node, 0xfe000001u);
    EXPECT_EQ(host.sent[0].dst.endpoint, 25u);
    EXPECT_EQ(host.sent[0].payload, (std::vector<uint8_t>{0x01, 0x00, 0x03, 0x04}));
    EXPECT_FALSE(host.sent[0].has_reply_to);
    EXPECT_EQ(host.texts(), (std::vector<std::string>{
                                "(TCAMFS-EV)Flow TCAM Initialization ....\n",
                                "(TCAMFS-EV)acl_tcam_flow_init: Re-initialization drops 0 flows.\n",
                                "(TCAMFS-EV)VEXA Send for initial Download of flows Success.\n"}));
    EXPECT_EQ(host.logs[2].level, 2u);

    host.send_result = 0x1234;
    EXPECT_EQ(acl_tcam_flow_init(1, 0, 8), 0u);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_flow_init: VEXA Send for initial "
                                     "Download of flows failed: 0x1234 \n");
    EXPECT_EQ(acl_tcam_flow_set(&f), 0u);
    expect_consistent(1);
}

TEST(Memory, TypeNamesLookupsAndWrappers) {
    const char *names[] = {"ACL_TCAM_FS_MEM_flow_t", "ACL_TCAM_FS_MEM_flow_stats_cmi_t",
                           "ACL_TCAM_FS_MEM_gl_counter_table_t", "ACL_TCAM_FS_MEM_MAX"};
    for (int type = 0; type < 4; ++type) {
        EXPECT_STREQ(__acl_tcam_flow_stats_mem_type_t_find(type), names[type]);
        EXPECT_STREQ(mtrack_sim_type_name(ACL_TCAM_FS_MTRACK_ID, type),
                     type < 3 ? names[type] : nullptr);
    }
    EXPECT_EQ(__acl_tcam_flow_stats_mem_type_t_find(4), nullptr);
    EXPECT_EQ(__acl_tcam_flow_stats_mem_type_t_find(-1), nullptr);
    EXPECT_EQ(__acl_tcam_flow_stats_mem_type_t_str2enum("acl_tcam_fs_MEM_FLOW_stats_cmi_t"), 1);
    EXPECT_EQ(__acl_tcam_flow_stats_mem_type_t_str2enum("ACL_TCAM_FS_MEM_MAX"), 3);
    EXPECT_EQ(__acl_tcam_flow_stats_mem_type_t_str2enum("no such type"), 0);
    EXPECT_EQ(__acl_tcam_flow_stats_mem_type_t_str2enum(""), 0);
    EXPECT_STREQ(mtrack_sim_module_name(ACL_TCAM_FS_MTRACK_ID), "ACL TCAM Flow Stats Library");

    Host host; // the wrappers account and report failures
    void *block = acl_tcam_flow_malloc("caller.c", 7, 1, 100);
    ASSERT_NE(block, nullptr);
    block = acl_tcam_flow_realloc("caller.c", 8, 1, block, 300);
    EXPECT_EQ(mtrack_sim_live_bytes(ACL_TCAM_FS_MTRACK_ID, 1), 300u);
    mtrack_sim_fail_nth(1);
    EXPECT_EQ(acl_tcam_flow_realloc("caller.c", 9, 1, block, 500), nullptr);
    mtrack_sim_fail_nth(1);
    EXPECT_EQ(acl_tcam_flow_malloc("caller.c", 10, 1, 64), nullptr);
    acl_tcam_flow_free("caller.c", 11, block);
    EXPECT_EQ(mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, 1), 0u);
    EXPECT_EQ(host.texts(),
              (std::vector<std::string>{
                  "(TCAMFS-ERR)Warning! Malloc Failure in caller.c[9] for size 500\n",
                  "(TCAMFS-ERR)Warning! Malloc Failure in caller.c[10] for size 64\n"}));
}

TEST(HostCallbacks, MissingCallbacksFailWithoutCallingAnything) {
    Host host(0);
    flow_hw_stats_t stats{};
    flow_t f = vsan_flow(1);
    EXPECT_EQ(acl_tcam_fs_debug(4, 2, "dropped"), ACL_TCAM_FS_ERR_NO_CALLBACK);
    EXPECT_EQ(acl_tcam_flow_stats_get(3, &stats), ACL_TCAM_FS_ERR_NO_CALLBACK);
    EXPECT_EQ(acl_tcam_flow_handle_update(&f, 3, 1, 1), ACL_TCAM_FS_ERR_NO_CALLBACK);
    EXPECT_EQ(acl_tcam_flow_init(1, 0, 8), 0u); // its texts are dropped

    // A callback exported later is found by the next call.
    host.export_callbacks(kDebug | kStats | kUpdate);
    EXPECT_EQ(acl_tcam_fs_debug(4, 2, "kept"), 0u);
    host.set_counter(3, 11, 22);
    EXPECT_EQ(acl_tcam_flow_stats_get(3, &stats), 0u);
    EXPECT_EQ(std::make_pair(stats.frames, stats.bytes),
              std::make_pair(uint64_t{11}, uint64_t{22}));
    host.update_result = [](const flow_handle_update_t &) { return 0x77; };
    EXPECT_EQ(acl_tcam_flow_handle_update(&f, 9, 0, 1), 0x77u);
    EXPECT_EQ(host.updates, (std::vector<UpdateCall>{{&f, 9, 0, 1}}));
    EXPECT_EQ(host.texts(), std::vector<std::string>{"kept"});
}

TEST(HostCallbacks, LogTextsAreCutAtTheBound) {
    Host host;
    const std::string file(200000, 'f');
    mtrack_sim_fail_nth(1);
    acl_tcam_flow_malloc(file.c_str(), 1, 0, 1);
    ASSERT_EQ(host.logs.size(), 1u);
    const std::string &text = host.logs[0].text;
    EXPECT_EQ(text.size(), 120631u);
    EXPECT_EQ(text.rfind("(TCAMFS-ERR)Warning! Malloc Failure in ffff", 0), 0u);
}
