// The requests outstanding to one card: their message ids, their deadlines
// and the bounds on how many may be out at once. What a request carries (the
// glue's callbacks) is the template's business; the table only keeps it.
//
// Invariants:
//  - an id is in use by at most one request; ids go 1, 2, ... and wrap past
//    UINT32_MAX back to 1, skipping the ids in use (0 is never one: a frame
//    with reply_to 0 answers nothing);
//  - every request has exactly one deadline, `timeout` after it went out or,
//    for a display, after its latest chunk;
//  - a request leaves the table once: taken with its answer, expired, or
//    failed with all the others when the card goes;
//  - at most max_in_flight requests, of which at most max_displays displays;
//  - an expired request the glue keeps (its Late) is remembered by id, at
//    most late_kept of them, the oldest forgotten first, so that its late
//    answer is still recognised; next_id skips their ids too.
#ifndef SUPERVISOR_REQUEST_TABLE_H
#define SUPERVISOR_REQUEST_TABLE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <variant>
#include <vector>

namespace supervisor {

// The id after last that in_use does not claim: ids wrap past UINT32_MAX to 1.
template <class InUse>
uint32_t next_request_id(uint32_t last, const InUse &in_use) {
    uint32_t id = last;
    do {
        id = id == UINT32_MAX ? 1 : id + 1;
    } while (in_use(id));
    return id;
}

struct RequestBounds {
    size_t max_in_flight = 0;
    size_t max_displays = 0;
};

template <class Call, class Late = std::monostate>
class RequestTable {
public:
    using Clock = std::chrono::steady_clock;

    RequestTable(RequestBounds bounds, std::chrono::milliseconds timeout, size_t late_kept = 0)
        : bounds_(bounds), timeout_(timeout), late_kept_(late_kept) {}

    size_t size() const { return pending_.size(); }
    bool empty() const { return pending_.empty(); }
    bool full() const { return pending_.size() >= bounds_.max_in_flight; }
    // Whether one more request (a display when is_display) is over a bound.
    bool refuses(bool is_display) const {
        return full() || (is_display && displays_ >= bounds_.max_displays);
    }

    // The id the next request goes out with. Taking one reserves nothing: a
    // request whose send fails is never added and its id comes round again.
    uint32_t next_id() {
        last_id_ = next_request_id(
            last_id_, [this](uint32_t id) { return pending_.contains(id) || late_.contains(id); });
        return last_id_;
    }

    // Adds a request that went out with id (from next_id) at now.
    void add(uint32_t id, Call call, bool is_display, Clock::time_point now) {
        const Clock::time_point deadline = now + timeout_;
        pending_.emplace(id, Entry{std::move(call), deadline, is_display});
        deadlines_.emplace(deadline, id);
        displays_ += is_display ? 1 : 0;
    }

    // The request with this id, or nullptr (never sent, or gone already).
    Call *find(uint32_t id) {
        const auto it = pending_.find(id);
        return it == pending_.end() ? nullptr : &it->second.call;
    }

    // A sign of progress (a display's chunk): the deadline runs from now.
    void touch(uint32_t id, Clock::time_point now) {
        const auto it = pending_.find(id);
        if (it == pending_.end()) {
            return;
        }
        deadlines_.erase({it->second.deadline, id});
        it->second.deadline = now + timeout_;
        deadlines_.emplace(it->second.deadline, id);
    }

    // Removes the request answered with id; nullopt if there is none.
    std::optional<Call> take(uint32_t id) {
        const auto it = pending_.find(id);
        if (it == pending_.end()) {
            return std::nullopt;
        }
        return remove(it);
    }

    // Removes and gives back the requests whose deadline is at or before now,
    // earliest deadline first.
    std::vector<Call> expire(Clock::time_point now) {
        return expire(now, [](const Call &) { return std::optional<Late>(); });
    }
    // The same, remembering the Late that keep(call) gives, if any.
    template <class Keep>
    std::vector<Call> expire(Clock::time_point now, const Keep &keep) {
        std::vector<Call> expired;
        while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
            const uint32_t id = deadlines_.begin()->second;
            expired.push_back(remove(pending_.find(id)));
            if (std::optional<Late> late = keep(expired.back()); late && late_kept_ != 0) {
                if (late_order_.size() >= late_kept_) {
                    late_.erase(late_order_.front());
                    late_order_.pop_front();
                }
                late_.emplace(id, std::move(*late));
                late_order_.push_back(id);
            }
        }
        return expired;
    }

    // What was kept of the expired request with id, once: nullopt if none.
    std::optional<Late> take_late(uint32_t id) {
        const auto it = late_.find(id);
        if (it == late_.end()) {
            return std::nullopt;
        }
        Late late = std::move(it->second);
        late_.erase(it);
        std::erase(late_order_, id);
        return late;
    }

    // When the next request expires: what the glue's one timer waits for.
    std::optional<Clock::time_point> earliest() const {
        if (deadlines_.empty()) {
            return std::nullopt;
        }
        return deadlines_.begin()->first;
    }

    // The card went: every request, in id order, for the glue to fail.
    std::vector<Call> take_all() {
        std::vector<Call> all;
        all.reserve(pending_.size());
        for (auto &[id, entry] : pending_) {
            all.push_back(std::move(entry.call));
        }
        pending_.clear();
        deadlines_.clear();
        displays_ = 0;
        return all;
    }

private:
    struct Entry {
        Call call;
        Clock::time_point deadline;
        bool is_display = false;
    };
    using Pending = std::map<uint32_t, Entry>;

    Call remove(typename Pending::iterator it) {
        Call call = std::move(it->second.call);
        deadlines_.erase({it->second.deadline, it->first});
        displays_ -= it->second.is_display ? 1 : 0;
        pending_.erase(it);
        return call;
    }

    RequestBounds bounds_;
    std::chrono::milliseconds timeout_;
    size_t late_kept_;
    uint32_t last_id_ = 0;
    size_t displays_ = 0;
    Pending pending_;
    std::map<uint32_t, Late> late_;
    std::deque<uint32_t> late_order_;
    std::set<std::pair<Clock::time_point, uint32_t>> deadlines_;
};

} // namespace supervisor

#endif // SUPERVISOR_REQUEST_TABLE_H
