#include "traffic.h"

#include <algorithm>

namespace traffic {

namespace {

constexpr uint64_t kNanosPerSecond = 1'000'000'000;

} // namespace

Generator::Generator(uint64_t pps, uint64_t seed) : rng_(seed) {
    set_rate(pps);
}

void Generator::pause() {
    paused_ = true;
    carry_ = 0;
}

void Generator::resume() {
    paused_ = false;
}

uint64_t Generator::set_rate(uint64_t pps) {
    pps_ = std::min(pps, kMaxPps);
    return pps_;
}

const std::vector<tcam_model::EntryKey> &Generator::keys(const tcam_model::Tcam &tcam) {
    if (keys_of_entries_ != tcam.entries.size() &&
        (keys_.empty() || since_rebuild_ >= kRebuildEvery)) {
        since_rebuild_ = {};
        keys_.clear();
        keys_.reserve(tcam.entries.size());
        for (const auto &[key, counter] : tcam.entries) {
            keys_.push_back(key);
        }
        keys_of_entries_ = tcam.entries.size();
    }
    return keys_;
}

void Generator::run_for(std::chrono::nanoseconds elapsed, tcam_model::Tcam &tcam,
                        tcam_model::GroundTruth &truth) {
    if (paused()) {
        carry_ = 0;
        return;
    }
    const auto stretch = std::clamp<std::chrono::nanoseconds>(elapsed, {}, kMaxStretch);
    since_rebuild_ += stretch;
    // At most kMaxPps * 10^8 ns: no overflow.
    const uint64_t owed = pps_ * static_cast<uint64_t>(stretch.count()) + carry_;
    const uint64_t due = owed / kNanosPerSecond;
    carry_ = owed % kNanosPerSecond;
    const std::vector<tcam_model::EntryKey> &conversations = keys(tcam);
    if (conversations.empty()) {
        return; // no entry, no conversation to send frames on
    }
    for (uint64_t i = 0; i < due; ++i) {
        const tcam_model::Frame frame =
            tcam_model::random_frame(rng_, conversations[rng_() % conversations.size()]);
        tcam.count(frame);
        truth.deliver(frame);
        ++frames_;
        bytes_ += frame.bytes;
    }
}

} // namespace traffic
