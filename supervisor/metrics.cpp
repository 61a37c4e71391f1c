// The supervisor's own metrics (metrics.h).

#include "metrics.h"

#include "exposition.h"

namespace supervisor {

void Histogram::observe(Seconds took) {
    const double s = took.count();
    for (size_t i = 0; i < kBounds.size(); ++i) {
        if (s <= kBounds[i]) {
            ++buckets_[i];
            break;
        }
    }
    ++count_;
    sum_ += s;
}

void Histogram::write(std::string &out, const char *name, const char *help) const {
    api::Exposition e;
    e.family(name, "histogram", help);
    write_series(e, name, "");
    out += e.take();
}

void Histogram::write_series(api::Exposition &e, const std::string &name,
                             const std::string &labels) const {
    const std::string bucket = name + "_bucket";
    const std::string before = labels.empty() ? "" : labels + ",";
    uint64_t cumulative = 0;
    char le[32];
    for (size_t i = 0; i < kBounds.size(); ++i) {
        cumulative += buckets_[i];
        std::snprintf(le, sizeof le, "le=\"%g\"", kBounds[i]);
        e.sample(bucket, before + le, cumulative);
    }
    e.sample(bucket, before + "le=\"+Inf\"", count_);
    e.sample(name + "_sum", labels, sum_);
    e.sample(name + "_count", labels, count_);
}

void Metrics::rpc(std::string_view method, std::string_view result, Seconds took) {
    const std::lock_guard lock(mutex_);
    ++rpc_requests_[{std::string(method), std::string(result)}];
    auto histogram = rpc_seconds_.find(method);
    if (histogram == rpc_seconds_.end()) {
        histogram = rpc_seconds_.emplace(std::string(method), Histogram{}).first;
    }
    histogram->second.observe(took);
}

void Metrics::request(std::string_view method, int code, Seconds took) {
    const std::lock_guard lock(mutex_);
    ++requests_[{std::string(method), code}];
    request_seconds_.observe(took);
}

void Metrics::db_commit(Seconds took) {
    const std::lock_guard lock(mutex_);
    commit_seconds_.observe(took);
}

void Metrics::card_sync(bool fresh, Seconds took) {
    const std::lock_guard lock(mutex_);
    (fresh ? replay_seconds_ : reconcile_seconds_).observe(took);
}

void Metrics::snapshot(Seconds took) {
    const std::lock_guard lock(mutex_);
    snapshot_seconds_.observe(took);
}

void Metrics::display_sent() {
    const std::lock_guard lock(mutex_);
    ++displays_;
}

uint64_t Metrics::displays_sent() const {
    const std::lock_guard lock(mutex_);
    return displays_;
}

uint64_t Metrics::snapshots() const {
    const std::lock_guard lock(mutex_);
    return snapshot_seconds_.count();
}

std::string Metrics::exposition() const {
    const std::lock_guard lock(mutex_);
    api::Exposition e;
    constexpr const char *kRpc = "acl_tcam_supervisor_requests_total";
    e.family(kRpc, "counter",
             "JSON-RPC requests answered on the control socket, by method and result.");
    for (const auto &[key, count] : rpc_requests_) {
        e.sample(kRpc, "method=\"" + key.first + "\",result=\"" + key.second + "\"", count);
    }
    constexpr const char *kRpcSeconds = "acl_tcam_supervisor_request_duration_seconds";
    e.family(kRpcSeconds, "histogram",
             "Time from a JSON-RPC request read to its answer, by method.");
    for (const auto &[method, histogram] : rpc_seconds_) {
        histogram.write_series(e, kRpcSeconds, "method=\"" + method + "\"");
    }
    constexpr const char *kRequests = "acl_tcam_supervisor_http_requests_total";
    e.family(kRequests, "counter", "HTTP requests answered, by method and status code.");
    for (const auto &[key, count] : requests_) {
        e.sample(kRequests,
                 "method=\"" + api::prometheus_escape(key.first) + "\",code=\"" +
                     std::to_string(key.second) + "\"",
                 count);
    }
    constexpr const char *kDisplays = "acl_tcam_supervisor_card_displays_total";
    e.family(kDisplays, "counter", "Display requests sent to the cards.");
    e.sample(kDisplays, "", displays_);
    std::string out = e.take();
    request_seconds_.write(out, "acl_tcam_supervisor_http_request_duration_seconds",
                           "Time from an HTTP request read to its answer written.");
    commit_seconds_.write(out, "acl_tcam_supervisor_db_commit_duration_seconds",
                          "Time the database took to commit a transaction.");
    replay_seconds_.write(out, "acl_tcam_supervisor_replay_duration_seconds",
                          "Time a fresh card took to get every configured flow (replay).");
    reconcile_seconds_.write(out, "acl_tcam_supervisor_reconcile_duration_seconds",
                             "Time a reconnected card took to be reconciled with the store.");
    snapshot_seconds_.write(out, "acl_tcam_supervisor_snapshot_duration_seconds",
                            "Time a flow snapshot for /metrics took: every card's display.");
    return out;
}

} // namespace supervisor
