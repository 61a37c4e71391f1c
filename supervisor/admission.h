// Who gets a place on the supervisor's sockets, as plain cores that take
// `now` (no socket, timer or clock):
//  - PeerRate: new connections per peer (a uid on Unix sockets, an address
//    on TCP), a token bucket: `burst` at once, then `per_second`;
//  - GreetingBound: the connections still greeting, oldest first, so that a
//    flood of silent peers cannot hold every place: past the bound, the
//    oldest makes room for the newcomer, which a real card follows with its
//    hello at once;
//  - RefusalLog: refusals logged a few per window in full, the rest counted
//    into one line when the window ends.
#ifndef SUPERVISOR_ADMISSION_H
#define SUPERVISOR_ADMISSION_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

namespace supervisor {

class PeerRate {
public:
    using Clock = std::chrono::steady_clock;

    PeerRate(double burst, double per_second) : burst_(burst), per_second_(per_second) {}

    // Whether peer may open one more connection now (taking it if so).
    bool admit(const std::string &peer, Clock::time_point now) {
        if (buckets_.size() > kPrune) {
            prune(now);
        }
        const auto [it, fresh] = buckets_.try_emplace(peer, Bucket{burst_, now});
        Bucket &b = it->second;
        if (!fresh) {
            b.tokens = refilled(b, now);
            b.at = now;
        }
        if (b.tokens < 1) {
            return false;
        }
        b.tokens -= 1;
        return true;
    }

private:
    struct Bucket {
        double tokens;
        Clock::time_point at;
    };
    static constexpr size_t kPrune = 1024;

    double refilled(const Bucket &b, Clock::time_point now) const {
        const double seconds = std::chrono::duration<double>(now - b.at).count();
        return std::min(burst_, b.tokens + seconds * per_second_);
    }

    // A full bucket is the same as none: forgotten, so that many peers
    // passing through leave nothing behind.
    void prune(Clock::time_point now) {
        std::erase_if(buckets_,
                      [&](const auto &entry) { return refilled(entry.second, now) >= burst_; });
    }

    double burst_;
    double per_second_;
    std::unordered_map<std::string, Bucket> buckets_;
};

template <class Id>
class GreetingBound {
public:
    explicit GreetingBound(size_t max) : max_(max) {}

    // Takes a new greeting connection; the one to drop for it, if full.
    std::optional<Id> admit(Id id) {
        std::optional<Id> dropped;
        if (queue_.size() >= max_) {
            dropped = queue_.front();
            queue_.pop_front();
        }
        queue_.push_back(id);
        return dropped;
    }
    // It greeted, or went: false if it was not greeting (dropped already).
    bool remove(Id id) {
        const auto it = std::find(queue_.begin(), queue_.end(), id);
        if (it == queue_.end()) {
            return false;
        }
        queue_.erase(it);
        return true;
    }
    size_t size() const { return queue_.size(); }

private:
    size_t max_;
    std::deque<Id> queue_;
};

class RefusalLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kWindow{10};
    static constexpr size_t kFullLines = 5;

    // One refusal: whether it gets a line of its own.
    bool note(Clock::time_point now) {
        if (!window_start_ || now >= *window_start_ + kWindow) {
            window_start_ = now;
            refused_ = 0;
            unlogged_ = 0;
        }
        ++refused_;
        if (refused_ <= kFullLines) {
            return true;
        }
        ++unlogged_;
        return false;
    }
    // When the line about refusals without their own is due; nullopt: none.
    std::optional<Clock::time_point> summary_due() const {
        return unlogged_ == 0 ? std::nullopt : std::optional(*window_start_ + kWindow);
    }
    // The line once the window is over, then nothing until refusals go
    // unlogged again.
    std::optional<std::string> summary(Clock::time_point now) {
        if (unlogged_ == 0 || now < *window_start_ + kWindow) {
            return std::nullopt;
        }
        std::string line = std::to_string(refused_) + " connections refused in the last " +
                           std::to_string(kWindow.count()) + " s (" + std::to_string(unlogged_) +
                           " not logged one by one)";
        window_start_.reset();
        refused_ = 0;
        unlogged_ = 0;
        return line;
    }

private:
    std::optional<Clock::time_point> window_start_;
    size_t refused_ = 0;
    size_t unlogged_ = 0;
};

} // namespace supervisor

#endif // SUPERVISOR_ADMISSION_H
