// The line-card daemon's traffic generator: the pacing (rate, carried
// fraction, cap per call, pause), and that every frame reaches the TCAM and
// the ground truth alike, new entries included.
#include <chrono>
#include <cstdint>

#include <gtest/gtest.h>

#include "traffic.h"

namespace {

using namespace std::chrono_literals;
using tcam_model::Counter;
using tcam_model::EntryKey;
using traffic::Generator;

constexpr EntryKey kVsan10{FLOW_TYPE_VSAN, 10, 0, 0};
constexpr EntryKey kVsan20{FLOW_TYPE_VSAN, 20, 0, 0};
constexpr EntryKey kExact20{FLOW_TYPE_SID_DID, 20, 0x010101, 0x020202};

struct Card {
    tcam_model::Tcam tcam;
    tcam_model::GroundTruth truth;
    Card() {
        tcam.entries[kVsan10] = 1;
        truth.start(kVsan10);
    }
};

struct Pacing {
    uint64_t pps;
    std::chrono::nanoseconds tick;
    int ticks;
    uint64_t frames;
};

// The frames injected are the rate times the time covered, rounded down
// once: fractions carry from call to call; a call covers 100 ms at most.
TEST(TrafficGenerator, InjectsTheRateTimesTheTimeCovered) {
    const Pacing cases[] = {
        {1000, 10ms, 100, 1000}, // whole frames every tick
        {1000, 3ms, 1000, 3000}, // three frames a tick
        {333, 10ms, 300, 999},   // 3.33 a tick: the fractions add up
        {7, 10ms, 1000, 70},     // under one frame a tick
        {1000, 5s, 3, 300},      // a stalled loop: 100 ms a call
        {traffic::kMaxPps, 10ms, 2, 20000},
        {0, 10ms, 100, 0},
    };
    for (const Pacing &c : cases) {
        Card card;
        Generator g(c.pps, 1);
        for (int i = 0; i < c.ticks; ++i) {
            g.run_for(c.tick, card.tcam, card.truth);
        }
        EXPECT_EQ(g.frames(), c.frames) << c.pps << " pps, " << c.tick.count() << " ns ticks";
    }
}

TEST(TrafficGenerator, PauseStopsTrafficAndRatesAreClamped) {
    Card card;
    Generator g(1000, 1);
    g.run_for(5ms, card.tcam, card.truth); // five frames, nothing owed
    EXPECT_EQ(g.frames(), 5u);
    g.run_for(500us, card.tcam, card.truth); // half a frame owed
    g.pause();
    EXPECT_TRUE(g.paused());
    g.run_for(50ms, card.tcam, card.truth);
    EXPECT_EQ(g.frames(), 5u);
    g.resume();
    g.run_for(500us, card.tcam, card.truth); // the half frame before the pause is gone
    EXPECT_EQ(g.frames(), 5u);
    g.run_for(1ms, card.tcam, card.truth);
    EXPECT_EQ(g.frames(), 6u);

    EXPECT_EQ(g.set_rate(0), 0u);
    EXPECT_TRUE(g.paused()); // a rate of 0 sends nothing
    EXPECT_EQ(g.set_rate(traffic::kMaxPps + 1), traffic::kMaxPps);
    EXPECT_FALSE(g.paused());

    // Without entries nothing is injected.
    tcam_model::Tcam empty;
    Generator idle(1000, 1);
    idle.run_for(100ms, empty, card.truth);
    EXPECT_EQ(idle.frames() + idle.bytes(), 0u);
}

// Every frame falls in one of the two VSAN flows; VSAN 20's entries are
// added later and get traffic once the key cache has been rebuilt. The
// truths and the TCAM's counters add up to what the generator says it sent.
TEST(TrafficGenerator, FramesReachTheTcamAndTheTruthAndNewEntriesGetTraffic) {
    Card card;
    Generator g(10000, 42);
    for (int i = 0; i < 10; ++i) {
        g.run_for(10ms, card.tcam, card.truth);
    }
    card.tcam.entries[kVsan20] = 3;
    card.tcam.entries[kExact20] = 2;
    card.truth.start(kVsan20);
    card.truth.start(kExact20);
    for (int i = 0; i < 100; ++i) { // a second: past the rebuild delay
        g.run_for(10ms, card.tcam, card.truth);
    }
    const Counter vsan10 = *card.truth.of(kVsan10);
    const Counter vsan20 = *card.truth.of(kVsan20);
    EXPECT_GT(card.truth.of(kExact20)->frames, 0u);
    EXPECT_EQ(vsan10.frames + vsan20.frames, g.frames());
    EXPECT_EQ(vsan10.bytes + vsan20.bytes, g.bytes());
    EXPECT_EQ(card.tcam.read(1), vsan10);
    EXPECT_EQ(card.tcam.read(2), *card.truth.of(kExact20));
    EXPECT_EQ(card.tcam.read(2).frames + card.tcam.read(3).frames, vsan20.frames);
    EXPECT_GE(g.bytes(), 36 * g.frames());
    EXPECT_LE(g.bytes(), 2148 * g.frames());
}

} // namespace
