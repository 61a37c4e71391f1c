// The supervisor's own metrics: JSON-RPC and HTTP requests, database commits, replays and
// reconciliations, flow snapshots, displays sent. A plain registry: callers
// measure and pass durations (it reads no clock); any thread may record.
//
// Invariants: counters only grow; a histogram's buckets are cumulative when
// written, with +Inf equal to its count.
#ifndef SUPERVISOR_METRICS_H
#define SUPERVISOR_METRICS_H

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "exposition.h"

namespace supervisor {

using Seconds = std::chrono::duration<double>;

// Fixed upper bounds, 1 ms to 30 s: HTTP answers, commits and replays all
// fall somewhere in that range.
class Histogram {
public:
    static constexpr std::array<double, 12> kBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,   0.25,   0.5,   1,    5,     30};
    void observe(Seconds took);
    // _bucket, _sum and _count samples under name, after HELP and TYPE.
    void write(std::string &out, const char *name, const char *help) const;
    // The samples alone, each with labels (may be empty) before its le.
    void write_series(api::Exposition &e, const std::string &name, const std::string &labels) const;
    uint64_t count() const { return count_; }

private:
    std::array<uint64_t, kBounds.size()> buckets_{}; // each bucket alone, not cumulative
    uint64_t count_ = 0;
    double sum_ = 0;
};

class Metrics {
public:
    // A control request answered: method a registered method's name (the
    // caller maps any other to "unknown", so that labels stay bounded);
    // result "ok" or the error's name (model::errc_name).
    void rpc(std::string_view method, std::string_view result, Seconds took);
    // method: the HTTP method; code: the answer's status.
    void request(std::string_view method, int code, Seconds took);
    void db_commit(Seconds took);
    // A card brought to the configuration: replayed (fresh) or reconciled.
    void card_sync(bool fresh, Seconds took);
    void snapshot(Seconds took);
    void display_sent();

    uint64_t displays_sent() const;
    uint64_t snapshots() const;
    // The families, in Prometheus text.
    std::string exposition() const;

private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int>, uint64_t> requests_;
    std::map<std::pair<std::string, std::string>, uint64_t> rpc_requests_;
    std::map<std::string, Histogram, std::less<>> rpc_seconds_;
    Histogram request_seconds_, commit_seconds_, replay_seconds_, reconcile_seconds_,
        snapshot_seconds_;
    uint64_t displays_ = 0;
};

} // namespace supervisor

#endif // SUPERVISOR_METRICS_H
