// Who gets a place on the sockets, on a fake clock: the per-peer rate, the
// greeting connections' bound, and the refusal lines a window.
#include <gtest/gtest.h>

#include "admission.h"

namespace {

using namespace std::chrono_literals;
using supervisor::GreetingBound;
using supervisor::PeerRate;
using supervisor::RefusalLog;
const auto t0 = PeerRate::Clock::time_point{} + 1h;

TEST(Admission, APeerGetsItsBurstThenItsRateAndOthersAreNotHeldUp) {
    PeerRate rate(3, 2); // 3 at once, then 2 a second
    struct Step {
        std::chrono::milliseconds at;
        const char *peer;
        bool admitted;
    } const steps[] = {
        {0ms, "uid 1", true},   {0ms, "uid 1", true},    {0ms, "uid 1", true},
        {0ms, "uid 1", false},  {0ms, "uid 2", true},    {499ms, "uid 1", false},
        {500ms, "uid 1", true}, {500ms, "uid 1", false}, {10s, "uid 1", true},
        {10s, "uid 1", true},   {10s, "uid 1", true},    {10s, "uid 1", false},
    };
    for (const Step &s : steps) {
        EXPECT_EQ(rate.admit(s.peer, t0 + s.at), s.admitted) << s.peer << " at " << s.at.count();
    }
}

TEST(Admission, GreetingsPastTheBoundDropTheOldest) {
    GreetingBound<int> bound(2);
    EXPECT_EQ(bound.admit(1), std::nullopt);
    EXPECT_EQ(bound.admit(2), std::nullopt);
    EXPECT_EQ(bound.admit(3), 1);
    EXPECT_TRUE(bound.remove(2)) << "greeted";
    EXPECT_FALSE(bound.remove(1)) << "dropped already";
    EXPECT_EQ(bound.admit(4), std::nullopt);
    EXPECT_EQ(bound.admit(5), 3);
    EXPECT_EQ(bound.size(), 2u);
}

TEST(Admission, RefusalsPastAFewAWindowAreSummedUpOnce) {
    RefusalLog log;
    const auto window = RefusalLog::kWindow;
    for (size_t i = 0; i < RefusalLog::kFullLines + 3; ++i) {
        EXPECT_EQ(log.note(t0 + std::chrono::milliseconds(i)), i < RefusalLog::kFullLines) << i;
    }
    EXPECT_EQ(log.summary_due(), t0 + window);
    EXPECT_EQ(log.summary(t0 + window - 1ms), std::nullopt) << "not before the window ends";
    EXPECT_EQ(log.summary(t0 + window),
              std::to_string(RefusalLog::kFullLines + 3) +
                  " connections refused in the last 10 s (3 not logged one by one)");
    EXPECT_EQ(log.summary(t0 + 2 * window), std::nullopt) << "once";
    EXPECT_EQ(log.summary_due(), std::nullopt);
    EXPECT_TRUE(log.note(t0 + 2 * window)) << "a new window logs in full again";
    EXPECT_EQ(log.summary_due(), std::nullopt) << "nothing went unlogged";
}

} // namespace
