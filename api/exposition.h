// The Prometheus text exposition (format 0.0.4): the writer of families and
// samples, and the flow and card families, defined once for flowctl's
// `show --format prometheus` and the supervisor's /metrics.
//
// Invariants: every family has HELP and TYPE before its samples; a total that
// is not exact is left out, never written as if it were; counters are the
// totals since each card's boot, so that a card's restart is a reset.
#ifndef API_EXPOSITION_H
#define API_EXPOSITION_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "schema.h"

namespace api {

inline constexpr const char *kPrometheusContentType = "text/plain; version=0.0.4; charset=utf-8";

inline constexpr const char *kFramesMetric = "acl_tcam_flow_frames_total";
inline constexpr const char *kBytesMetric = "acl_tcam_flow_bytes_total";
inline constexpr const char *kCompleteMetric = "acl_tcam_flow_snapshot_complete";
inline constexpr const char *kOmittedMetric = "acl_tcam_flow_omitted_flows";
inline constexpr const char *kConfiguredMetric = "acl_tcam_flow_configured_flows";
inline constexpr const char *kCardStateMetric = "acl_tcam_card_state";
inline constexpr const char *kCountersUsedMetric = "acl_tcam_card_counters_used";
inline constexpr const char *kCountersFreeMetric = "acl_tcam_card_counters_free";
inline constexpr const char *kCounterSizeMetric = "acl_tcam_card_counters_size";
inline constexpr const char *kMismatchesMetric = "acl_tcam_card_mismatches";
inline constexpr const char *kRepliesCheckedMetric = "acl_tcam_card_replies_checked";
inline constexpr const char *kUptimeMetric = "acl_tcam_card_uptime_seconds";

// A label value with \, " and newline escaped.
std::string prometheus_escape(std::string_view value);

// Appends families: HELP and TYPE, then the samples. labels: the text
// between the braces ("" for none), values already escaped.
class Exposition {
public:
    void family(const char *name, const char *type, const char *help);
    void sample(std::string_view name, std::string_view labels, uint64_t value);
    void sample(std::string_view name, std::string_view labels, double value);
    void raw(std::string_view text) { out_ += text; }
    size_t size() const { return out_.size(); }
    void clear() { out_.clear(); }
    std::string_view text() const { return out_; }
    void reserve(size_t bytes) { out_.reserve(bytes); }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// The flow families written as a snapshot arrives, one slot's rows at a
// time, in constant memory: the frames samples at once, the bytes samples
// spooled (to an unnamed temporary file, or to memory) until the frames
// family ends, and the per-slot families from the counts kept per slot and
// the cards' entries. The text is flows_prometheus's for the same snapshot,
// however it was cut into parts.
class FlowExposition {
public:
    using Sink = std::function<void(std::string_view)>;
    enum class Spool { Memory, File };
    explicit FlowExposition(Sink sink, Spool spool = Spool::File);
    ~FlowExposition();
    FlowExposition(const FlowExposition &) = delete;
    FlowExposition &operator=(const FlowExposition &) = delete;

    // Rows in the snapshot's order; what is written goes to the sink before
    // this returns.
    void rows(std::span<const ShowFlow> rows);
    // The snapshot's end: every card's entry. A spool that cannot be
    // written or read back is an error (the text is then cut short).
    model::Status finish(const std::vector<ShowCard> &cards);

private:
    struct Slot {
        uint64_t omitted = 0;
        uint64_t pending = 0;
        std::map<std::string, uint64_t> refused; // by the refusal's name
    };
    void flush();
    Sink sink_;
    Exposition out_;
    std::string labels_;
    std::string memory_spool_;
    std::FILE *file_spool_ = nullptr;
    bool spool_failed_ = false;
    std::map<uint32_t, Slot> slots_;
};

// Every flow with an exact total as two counter samples (a named flow with a
// name label; the totals are the snapshot's, since_boot for monotonic
// counters). Per slot: whether every flow the card holds was read (a flow
// refused or pending is not a read that failed), and how many flows were
// left out for want of a read; refused and pending flows counted by status
// and reason.
std::string flows_prometheus(const ShowResult &snapshot);
// Per card: its state (one series per state, 1 for the current one), and,
// when it is up, counters used, free and the table's size, mismatches,
// replies checked and uptime.
std::string cards_prometheus(const std::vector<CardInfo> &cards);

} // namespace api

#endif // API_EXPOSITION_H
