// The apply plan: what a flow-set text changes within the slots in scope, in
// the order the cards get it, and what a card's counters allow of it.
#include <gtest/gtest.h>

#include "apply_plan.h"

namespace {

using model::FlowKey;
using model::FlowType;
using supervisor::ApplyPlan;
using supervisor::SlotFlows;

FlowKey exact(uint32_t n) {
    return {FlowType::Exact, 10, 0x010000 + n, 0x020000};
}

TEST(ApplyPlan, ChangesWithinTheScopeRemovesFirstThenAddsInTheTextsOrder) {
    std::array<SlotFlows, model::kMaxSlot + 1> configured{};
    configured[1][exact(1)].name = "old"; // renamed
    configured[1][exact(2)];              // unchanged
    configured[1][exact(3)];              // pruned
    configured[2][exact(9)];              // pruned only when slot 2 is in scope
    const auto text = model::parse_flow_set("1 exact 10 0x010005 0x020000\n"
                                            "1 exact 10 0x010001 0x020000 name=new\n"
                                            "1 exact 10 0x010002 0x020000\n"
                                            "1 exact 10 0x010004 0x020000\n"
                                            "3 exact 10 0x010001 0x020000\n");
    ASSERT_TRUE(text);
    struct Case {
        const char *what;
        std::optional<std::vector<uint32_t>> scope;
        bool prune;
        std::string diff;
        size_t skipped;
    };
    const Case cases[] = {
        {"the text's slots", std::nullopt, false,
         "+ 1 exact 10 0x010005 0x020000\n+ 1 exact 10 0x010004 0x020000\n"
         "+ 3 exact 10 0x010001 0x020000\n~ 1 exact 10 0x010001 0x020000 name=new\n",
         0},
        {"slot 1, pruned", std::vector<uint32_t>{1}, true,
         "- 1 exact 10 0x010003 0x020000\n+ 1 exact 10 0x010005 0x020000\n"
         "+ 1 exact 10 0x010004 0x020000\n~ 1 exact 10 0x010001 0x020000 name=new\n",
         1},
        {"every slot, pruned", std::nullopt, true,
         "- 1 exact 10 0x010003 0x020000\n+ 1 exact 10 0x010005 0x020000\n"
         "+ 1 exact 10 0x010004 0x020000\n- 2 exact 10 0x010009 0x020000\n"
         "+ 3 exact 10 0x010001 0x020000\n~ 1 exact 10 0x010001 0x020000 name=new\n",
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const auto plan = supervisor::plan_apply(
            *text, c.scope, c.prune,
            [&configured](uint32_t slot) -> const SlotFlows & { return configured[slot]; });
        ASSERT_TRUE(plan) << plan.error().message;
        EXPECT_EQ(plan->diff, c.diff);
        EXPECT_EQ(plan->unchanged, 1u);
        EXPECT_EQ(plan->skipped, c.skipped);
        EXPECT_EQ(plan->added + plan->removed + plan->renamed, plan->changes.size());
        size_t sent = 0;
        for (const auto &[slot, changes] : plan->sent) {
            sent += changes.size();
        }
        EXPECT_EQ(sent, plan->added + plan->removed);
    }
}

// The flows that stay keep their counters; the adds take what is free, in
// order; a slot past its bound refuses the plan.
TEST(ApplyPlan, ForecastAndBound) {
    SlotFlows configured;
    for (uint32_t n = 1; n <= 3; ++n) {
        configured[exact(n)].status = model::FlowStatus::Applied;
    }
    configured[exact(4)].status = model::FlowStatus::Refused;
    const auto text = model::parse_flow_set("1 exact 10 0x010002 0x020000\n"
                                            "1 exact 10 0x010003 0x020000\n"
                                            "1 exact 10 0x010004 0x020000\n"
                                            "1 exact 10 0x010007 0x020000\n"
                                            "1 exact 10 0x010006 0x020000\n");
    const auto of = [&configured](uint32_t) -> const SlotFlows & { return configured; };
    const auto plan = supervisor::plan_apply(*text, std::nullopt, true, of);
    ASSERT_TRUE(plan);
    const auto f = supervisor::forecast(plan->sent.at(1), configured, 3);
    EXPECT_EQ(f.flows, 5u);
    EXPECT_EQ(f.held, 2u); // exact(1) goes; exact(4) holds none
    EXPECT_EQ(f.would_refuse, (std::vector<FlowKey>{exact(6)}));
    EXPECT_TRUE(
        supervisor::forecast(plan->sent.at(1), configured, std::nullopt).would_refuse.empty());

    SlotFlows full;
    for (uint32_t n = 0; n < model::kMaxFlowsPerSlot; ++n) {
        full[{FlowType::Exact, 1 + n / 4096, 0x010000 + n % 4096, 0x020000}];
    }
    const auto over =
        supervisor::plan_apply(*model::parse_flow_set("1 vsan 7\n"), std::nullopt, false,
                               [&full](uint32_t) -> const SlotFlows & { return full; });
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().message, "slot 1 would have 65536 flows; a slot holds at most 65535");
}

} // namespace
