// The line-card daemon's traffic generator: random frames at a steady rate
// over the conversations of every TCAM entry (live and parked flows) and
// their neighbours, counted by the simulated TCAM and by the ground truth
// alike. The daemon's timer calls run_for with the time since its last call.
//
// Invariants: the frames injected over any stretch of time are the rate
// times that time, rounded down, the fraction carried to the next call (a
// call covers at most kMaxStretch: time lost beyond it, to a stalled loop,
// is not made up); nothing is injected while paused or at rate 0, and no
// fraction is carried across a pause.
#ifndef LINECARD_TRAFFIC_H
#define LINECARD_TRAFFIC_H

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "tcam_model.h"

namespace traffic {

// Bounds one call's work: 100,000 frames at most.
inline constexpr uint64_t kMaxPps = 1'000'000;
inline constexpr std::chrono::milliseconds kTick{10};
inline constexpr std::chrono::milliseconds kMaxStretch{100};
inline constexpr std::chrono::milliseconds kRebuildEvery{500};

class Generator {
public:
    // pps is clamped to kMaxPps.
    Generator(uint64_t pps, uint64_t seed);

    void pause();
    void resume();
    // Clamped to kMaxPps; returns the rate now in force.
    uint64_t set_rate(uint64_t pps);
    // True when no traffic flows: paused, or a rate of 0.
    bool paused() const { return paused_ || pps_ == 0; }
    uint64_t pps() const { return pps_; }
    uint64_t frames() const { return frames_; }
    uint64_t bytes() const { return bytes_; }

    // Injects the frames due over elapsed into tcam and truth.
    void run_for(std::chrono::nanoseconds elapsed, tcam_model::Tcam &tcam,
                 tcam_model::GroundTruth &truth);

private:
    const std::vector<tcam_model::EntryKey> &keys(const tcam_model::Tcam &tcam);

    std::mt19937_64 rng_;
    uint64_t pps_ = 0;
    bool paused_ = false;
    uint64_t carry_ = 0; // frame-nanoseconds owed to the next call, below 1 s
    uint64_t frames_ = 0;
    uint64_t bytes_ = 0;
    // The TCAM's keys, rebuilt when the entry count changes: entries are
    // only ever added (the daemon never resets its TCAM), so the count
    // names the set. While a download adds entries by the thousand, a
    // rebuild (a walk over every entry) waits kRebuildEvery since the last
    // one: until then frames go to the entries already known.
    std::vector<tcam_model::EntryKey> keys_;
    size_t keys_of_entries_ = 0;
    std::chrono::nanoseconds since_rebuild_{};
};

} // namespace traffic

#endif // LINECARD_TRAFFIC_H
