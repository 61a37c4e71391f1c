// Fault sweeps: every operation is run once clean to count its allocations,
// host callbacks and sends, and then once per fault with the k-th allocation,
// the k-th callback or the k-th send failing, for every k, and with the tree
// refusing its one insertion or deletion. After each run the status is the
// one expected for that fault, the stored flows changed as expected, nothing
// leaked in the memory tracker and the counter table, the tree and
// g_num_counters_used agree.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include "payload.h"
#include "test_host.h"

using namespace test;

namespace {

// The code the host returns for an injected callback failure, and what a
// failed send returns (the test host's fail_send_result).
constexpr uint32_t kInjected = 0x7e570000;
constexpr int kSendFails = -1;
constexpr uint32_t kStartId = 1;

// The expected status of a run and the change in the number of stored flows.
struct Outcome {
    uint32_t status;
    int flows;
    bool operator==(const Outcome &) const = default;
};

enum class TreeFault { none, insert, remove };

struct Sweep {
    const char *name;
    std::vector<flow_t> present;
    std::function<uint32_t()> run;
    // One outcome per allocation, callback and send of a clean run, in order.
    std::vector<Outcome> allocs, callbacks, sends;
    TreeFault tree_fault;
    Outcome tree_outcome;
    // Fill the table with this many more exact flows first (a long display).
    uint32_t filler = 0;
};

const flow_t vsan10 = vsan_flow(10);
const flow_t dom = domain_flow(10, 0x120000, 0x340000);
const flow_t exact_a = exact_flow(10, 0x12ab01, 0x34cd02);
const flow_t exact_b = exact_flow(10, 0x12ab02, 0x34cd02);

Request request_for(int32_t msg_type, const flow_t &f) {
    if (f.type == FLOW_TYPE_VSAN) {
        return {.msg_type = msg_type, .vsan = f.vsan};
    }
    const uint32_t mask =
        f.type == FLOW_TYPE_DOMAIN ? ACL_TCAM_FS_REQ_MASK_DOMAIN : ACL_TCAM_FS_REQ_MASK_EXACT;
    return {.msg_type = msg_type,
            .flow_type = ACL_TCAM_FS_REQ_FLOW_SID_DID,
            .vsan = f.vsan,
            .did = f.did,
            .sid = f.sid,
            .mask = mask};
}

std::function<uint32_t()> message(int32_t msg_type, const flow_t &f) {
    return [=] {
        Message m(make_payload(request_for(msg_type, f)));
        return acl_tcam_flow_process_stats_msg(3, &m.msg);
    };
}

uint32_t display() {
    Message m({});
    return acl_tcam_print_flows_info(&m.msg);
}

class FaultSweep : public ::testing::Test {
protected:
    void SetUp() override { acl_tcam_flow_set_region_init_done(); }

    void prepare(const Sweep &s) {
        mtrack_sim_clear_faults();
        ASSERT_EQ(acl_tcam_flow_init(1, kStartId, 2000), 0u);
        for (flow_t f : s.present) {
            ASSERT_EQ(acl_tcam_flow_set(&f), 0u);
        }
        for (uint32_t i = 0; i < s.filler; ++i) {
            flow_t f = exact_flow(20, 0x010000 + i, 0x020000);
            ASSERT_EQ(acl_tcam_flow_set(&f), 0u);
        }
        for (uint32_t id = 0; id < 2000; ++id) {
            host.set_counter(id, id * 10, id * 1000);
        }
        host.clear();
    }

    // Runs s with the fault armed by arm(); checks the outcome and the state.
    void run_with(const Sweep &s, const std::function<void()> &arm, Outcome expected,
                  const std::string &what) {
        SCOPED_TRACE(std::string(s.name) + ", " + what);
        prepare(s);
        const uint32_t before = acl_tcam_get_avl_flow_count();
        arm();
        const uint32_t status = s.run();
        EXPECT_EQ(host.fail_call_nth, 0u) << "the callback fault did not fire";
        EXPECT_EQ(host.fail_send_nth, 0u) << "the send fault did not fire";
        host.fail_call_nth = host.fail_send_nth = 0;
        mtrack_sim_clear_faults();
        const uint32_t after = acl_tcam_get_avl_flow_count();
        EXPECT_EQ((Outcome{status, static_cast<int>(after) - static_cast<int>(before)}), expected);
        expect_consistent(after);
        ++cases;
    }

    void sweep(const Sweep &s) {
        // A clean run counts what can fail.
        prepare(s);
        const uint32_t before = acl_tcam_get_avl_flow_count();
        const uint64_t allocs = mtrack_sim_alloc_calls();
        EXPECT_EQ(s.run(), 0u) << s.name;
        EXPECT_EQ(acl_tcam_get_avl_flow_count(), before + (s.sends.empty() ? 0 : s.sends[0].flows));
        ASSERT_EQ(mtrack_sim_alloc_calls() - allocs, s.allocs.size()) << s.name;
        ASSERT_EQ(host.reads.size() + host.updates.size(), s.callbacks.size()) << s.name;
        ASSERT_EQ(host.sent.size(), s.sends.size()) << s.name;

        for (uint32_t k = 1; k <= s.allocs.size(); ++k) {
            run_with(
                s, [k] { mtrack_sim_fail_nth(k); }, s.allocs[k - 1],
                "allocation " + std::to_string(k));
        }
        for (uint32_t k = 1; k <= s.callbacks.size(); ++k) {
            Outcome expected = s.callbacks[k - 1];
            if (expected.status == kInjected) {
                expected.status = kInjected + k;
            }
            run_with(
                s,
                [&, k] {
                    host.fail_call_nth = k;
                    host.fail_call_code = static_cast<int32_t>(kInjected + k);
                },
                expected, "callback " + std::to_string(k));
        }
        for (uint32_t k = 1; k <= s.sends.size(); ++k) {
            run_with(
                s, [&, k] { host.fail_send_nth = k; }, s.sends[k - 1], "send " + std::to_string(k));
        }
        if (s.tree_fault != TreeFault::none) {
            run_with(
                s,
                [&] {
                    s.tree_fault == TreeFault::insert ? avl_sim_fail_next_insert()
                                                      : avl_sim_fail_next_delete();
                },
                s.tree_outcome, "tree");
        }
    }

    Host host;
    uint32_t cases = 0;
};

TEST_F(FaultSweep, EveryOperationUnderEveryFault) {
    constexpr Outcome kOk{0, 0}, kInj{kInjected, 0};
    constexpr auto kSendFailed = static_cast<uint32_t>(kSendFails);
    const std::vector<flow_t> three{vsan10, exact_a, exact_b};
    // Per sweep: flows present, the run, then the outcome of each allocation,
    // callback and send failing, and of the tree refusing (if it is asked).
    // clang-format off
    const Sweep sweeps[] = {
        // Insertion reads both finer flows, then moves the entry. A failed
        // read undoes it; a failed move keeps the flow. The reply buffer is
        // the second allocation: losing it loses only the reply.
        {"set", three, message(ACL_TCAM_FS_MSG_SET, dom), {{ACL_TCAM_FS_ERR_NO_MEMORY, 0}, {0, 1}},
         {kInj, kInj, {kInjected, 1}}, {{0, 1}}, TreeFault::insert, {ACL_TCAM_FS_ERR_NO_MEMORY, 0}},
        {"set over no finer flow", {dom}, message(ACL_TCAM_FS_MSG_SET, exact_a),
         {{ACL_TCAM_FS_ERR_NO_MEMORY, 0}, {0, 1}}, {{kInjected, 1}}, {{0, 1}}, TreeFault::insert,
         {ACL_TCAM_FS_ERR_NO_MEMORY, 0}},
        // A query reads the finer flows, then its own counter.
        {"get", {vsan10, dom, exact_a}, message(ACL_TCAM_FS_MSG_GET, vsan10), {kOk}, {kInj, kInj, kInj},
         {kOk}, TreeFault::none, {}},
        // Removal reads its counter, then moves the entry, then deletes.
        {"del", {vsan10, dom, exact_a}, message(ACL_TCAM_FS_MSG_DEL, exact_a), {{0, -1}}, {kInj, kInj},
         {{0, -1}}, TreeFault::remove, {ACL_TCAM_FS_ERR_NO_ENTRY, 0}},
        {"del of an absent flow", {vsan10}, message(ACL_TCAM_FS_MSG_DEL, exact_a), {kOk}, {}, {kOk},
         TreeFault::none, {}},
        // A lost row does not fail the display; a failed final send does.
        {"display", three, display, {}, {kOk, kOk, kOk}, {{kSendFailed, 0}}, TreeFault::none, {}},
        // Re-initialisation drops every flow; a tree that keeps one stops it.
        {"re-init", three, [] { return acl_tcam_flow_init(2, kStartId, 64); },
         {{ACL_TCAM_FS_ERR_NO_MEMORY, -3}}, {}, {{0, -3}}, TreeFault::remove,
         {ACL_TCAM_FS_ERR_NO_ENTRY, 0}},
    };
    // clang-format on
    for (const Sweep &s : sweeps) {
        sweep(s);
    }
    std::cout << "fault cases swept: " << cases << "\n";
}

// Two chunks: a failed first chunk does not change the display's status.
TEST_F(FaultSweep, LongDisplaySends) {
    const Sweep s{"long display",  {}, display, {}, {}, {{0, 0}, {0xffffffffu, 0}},
                  TreeFault::none, {}, 1600};
    prepare(s);
    ASSERT_EQ(display(), 0u);
    ASSERT_EQ(host.sent.size(), 2u);
    for (uint32_t k = 1; k <= 2; ++k) {
        run_with(
            s, [&, k] { host.fail_send_nth = k; }, s.sends[k - 1], "send " + std::to_string(k));
    }
}

} // namespace
