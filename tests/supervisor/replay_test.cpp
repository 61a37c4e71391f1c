// Bringing a card to the configured flows, on a fake clock: the sync plan's
// merge, the window, deletes before adds, flows skipped because their
// configuration changed, stale answers, the counts and the summary line.
#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "acl_tcam_flow_stats.h"
#include "replay.h"
#include "sync_plan.h"

namespace {

using namespace std::chrono_literals;
using model::FlowKey;
using model::FlowType;
using supervisor::Replay;
using supervisor::ReplayPhase;
using supervisor::ReplayRequest;
using Keys = std::vector<FlowKey>;
const auto t0 = Replay::Clock::time_point{} + 1h;

FlowKey exact(uint32_t n) {
    return {FlowType::Exact, 1, 0x010000 + n, 0x020000 + n};
}

supervisor::SlotFlows configured_as(const Keys &keys) {
    supervisor::SlotFlows flows;
    for (const FlowKey &k : keys) {
        flows[k] = {};
    }
    return flows;
}

// The requests a run sends now, with the configuration as given.
std::vector<ReplayRequest> sends(Replay &replay, const std::set<FlowKey> &configured) {
    std::vector<ReplayRequest> out;
    while (auto request = replay.next([&](const FlowKey &k) { return configured.contains(k); })) {
        out.push_back(*request);
    }
    return out;
}

TEST(SyncPlan, MergesConfiguredAndHeldInKeyOrder) {
    struct Case {
        Keys configured, held, present, to_add, to_delete;
    } const cases[] = {
        {{}, {}, {}, {}, {}},
        {{exact(1), exact(2)}, {}, {}, {exact(1), exact(2)}, {}},
        {{}, {exact(1), exact(2)}, {}, {}, {exact(1), exact(2)}},
        {{exact(1), exact(2)}, {exact(1), exact(2)}, {exact(1), exact(2)}, {}, {}},
        {{exact(1), exact(3), exact(5)},
         {exact(2), exact(3), exact(4)},
         {exact(3)},
         {exact(1), exact(5)},
         {exact(2), exact(4)}},
        {{exact(9)}, {exact(1)}, {}, {exact(9)}, {exact(1)}},
    };
    for (const Case &c : cases) {
        const supervisor::SyncPlan plan = supervisor::diff(configured_as(c.configured), c.held);
        EXPECT_EQ(plan.present, c.present);
        EXPECT_EQ(plan.to_add, c.to_add);
        EXPECT_EQ(plan.to_delete, c.to_delete);
    }
}

// Flows that held counters go first, then the others, each by order of first
// configuration: never by key order.
TEST(SyncPlan, FlowsThatHeldCountersGoFirstInTheOrderOfFirstConfiguration) {
    supervisor::SlotFlows configured;
    const Keys keys = {exact(1), exact(2), exact(3), exact(4)};
    const uint64_t seqs[] = {40, 10, 30, 20};
    for (size_t i = 0; i < keys.size(); ++i) {
        configured[keys[i]].seq = seqs[i];
    }
    struct Case {
        std::set<FlowKey> held;
        Keys order;
    };
    const Case cases[] = {
        {{}, {exact(2), exact(4), exact(3), exact(1)}},
        {{exact(1), exact(3)}, {exact(3), exact(1), exact(2), exact(4)}},
        {{exact(1), exact(2), exact(3), exact(4)}, {exact(2), exact(4), exact(3), exact(1)}},
    };
    for (const Case &c : cases) {
        Keys order = keys;
        EXPECT_EQ(supervisor::order_for_card(configured, order,
                                             [&c](const FlowKey &k) { return c.held.contains(k); }),
                  c.held.size());
        EXPECT_EQ(order, c.order);
    }
}

TEST(Replay, NeverMoreThanTheWindowOutstanding) {
    constexpr size_t kWindow = 4;
    std::set<FlowKey> configured;
    for (uint32_t n = 0; n < 10; ++n) {
        configured.insert(exact(n));
    }
    Replay replay(kWindow);
    replay.replay(Keys(configured.begin(), configured.end()), 3, t0); // 3 held counters
    // The card answers the oldest request, each time with the next status.
    const uint32_t statuses[] = {0, ACL_TCAM_FS_ERR_FLOW_EXISTS,
                                 ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED};
    std::deque<ReplayRequest> out;
    std::set<FlowKey> sent;
    for (size_t answered = 0;; ++answered) {
        for (const ReplayRequest &r : sends(replay, configured)) {
            EXPECT_EQ(r.msg_type, ACL_TCAM_FS_MSG_SET);
            EXPECT_TRUE(sent.insert(r.key).second) << "sent twice";
            out.push_back(r);
        }
        EXPECT_EQ(replay.in_flight(), std::min(kWindow, configured.size() - answered));
        if (out.empty()) {
            break;
        }
        EXPECT_EQ(replay.finish(3, t0), std::nullopt) << "not done with requests out";
        ASSERT_TRUE(replay.complete(out.front(), &statuses[answered % 3]));
        out.pop_front();
    }
    EXPECT_EQ(sent, configured);
    EXPECT_EQ(replay.finish(3, t0 + 1234ms),
              "slot 3: ready: replayed 10 flows in 1234 ms (7 applied, 3 refused (1 lost the "
              "counter they held), 0 unanswered)");
    EXPECT_EQ(replay.phase(), ReplayPhase::Idle);
}

TEST(Replay, ReconcileDeletesFirstAndSkipsFlowsNoLongerWanted) {
    const FlowKey stray = exact(1), readded = exact(2), lacking = exact(3), removed = exact(4),
                  kept = exact(5);
    Replay replay(8);
    replay.restart(ReplayPhase::AwaitDisplay, false, t0);
    EXPECT_TRUE(sends(replay, {}).empty()) << "nothing before the display";
    replay.reconcile(
        supervisor::diff(configured_as({lacking, removed, kept}), Keys{stray, readded, kept}), 0);
    // Meanwhile readded was configured again and removed was removed.
    const std::vector<ReplayRequest> out = sends(replay, {readded, lacking, kept});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].msg_type, ACL_TCAM_FS_MSG_DEL);
    EXPECT_EQ(out[0].key, stray);
    EXPECT_EQ(out[1].msg_type, ACL_TCAM_FS_MSG_SET);
    EXPECT_EQ(out[1].key, lacking);
    const uint32_t ok = 0;
    EXPECT_TRUE(replay.complete(out[0], &ok));
    EXPECT_TRUE(replay.complete(out[1], nullptr));
    EXPECT_EQ(replay.finish(4, t0 + 5ms),
              "slot 4: ready: reconciled in 5 ms (1 present, 0 added, 1 deleted, 0 refused, 1 "
              "unanswered)");
}

TEST(Replay, AnswersToAnEarlierRunChangeNothing) {
    Replay replay(2);
    replay.replay({exact(1), exact(2)}, 0, t0);
    const std::vector<ReplayRequest> old = sends(replay, {exact(1), exact(2)});
    ASSERT_EQ(old.size(), 2u);
    replay.restart(ReplayPhase::AwaitDownload, true, t0); // the card reconnected
    replay.replay({exact(1)}, 0, t0);
    const std::vector<ReplayRequest> now = sends(replay, {exact(1)});
    ASSERT_EQ(now.size(), 1u);
    const uint32_t refusal = ACL_TCAM_FS_ERR_NO_ENTRY;
    for (const ReplayRequest &r : old) {
        EXPECT_FALSE(replay.complete(r, &refusal));
    }
    EXPECT_EQ(replay.in_flight(), 1u);
    EXPECT_EQ(replay.counts().refused, 0u);
    const uint32_t ok = 0;
    EXPECT_TRUE(replay.complete(now[0], &ok));
    EXPECT_EQ(replay.finish(1, t0),
              "slot 1: ready: replayed 1 flows in 0 ms (1 applied, 0 refused, 0 unanswered)");
}

} // namespace
