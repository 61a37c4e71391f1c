// Bringing one card to the configured flows: a fresh card gets every flow
// after its download request (replay); a card that kept its flows is read
// with a display and gets the difference (reconcile). This module decides
// what to send and counts the answers; the glue sends, and owns the store.
//
// Invariants:
//  - at most `window` requests of a run are outstanding at once;
//  - deletes go before adds (they free counters for the adds);
//  - a flow is sent only if it is still wanted when its turn comes: a delete
//    when the flow is no longer configured, an add when it still is;
//  - every run has a generation of its own: the answers to an earlier run's
//    requests change nothing;
//  - a run is Sending until every request it sent is answered (or failed),
//    then Idle once finish() has given its summary.
#ifndef SUPERVISOR_REPLAY_H
#define SUPERVISOR_REPLAY_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "flow_key.h"
#include "sync_plan.h"

namespace supervisor {

enum class ReplayPhase {
    Idle,          // ready
    AwaitDownload, // fresh card: the library's download request comes next
    AwaitDisplay,  // reconnected card: its display is being read
    Sending,       // adds and deletes going out
};

struct ReplayCounts {
    size_t present = 0;    // reconcile: configured and already on the card
    size_t applied = 0;    // adds the card took (FLOW_EXISTS included)
    size_t refused = 0;    // adds or deletes the card refused
    size_t deleted = 0;    // deletes the card did
    size_t unanswered = 0; // failed without an answer (timeout, card gone)
    size_t lost = 0;       // refused adds of flows that held a counter before
};

// One request of a run; its answer goes back to complete() with generation.
struct ReplayRequest {
    int32_t msg_type = 0; // ACL_TCAM_FS_MSG_SET or ACL_TCAM_FS_MSG_DEL
    model::FlowKey key;
    uint64_t generation = 0;
    bool held_counter = false; // an add of a flow that held a counter before
};

class Replay {
public:
    using Clock = std::chrono::steady_clock;
    // Whether the slot configures key at this moment.
    using Configured = std::function<bool(const model::FlowKey &)>;

    explicit Replay(size_t window) : window_(window) {}

    ReplayPhase phase() const { return phase_; }
    uint64_t generation() const { return generation_; }
    const ReplayCounts &counts() const { return counts_; }
    size_t in_flight() const { return in_flight_; }
    // Whether the run is a replay (a fresh card), and when it started.
    bool fresh() const { return fresh_; }
    Clock::time_point started() const { return started_; }

    // A new run (or none, with Idle): whatever the last one left is dropped.
    void restart(ReplayPhase phase, bool fresh, Clock::time_point now);
    // A fresh card asked for its flows: all of them go out as adds, in the
    // order given; the first `held` of them held counters before.
    void replay(std::vector<model::FlowKey> flows, size_t held, Clock::time_point now);
    // The display of a reconnected card was read: send the plan's difference,
    // its adds in their order (the first `held` held counters before).
    void reconcile(SyncPlan plan, size_t held);
    // The display says the card's table is not initialized: it will ask.
    void await_download() { phase_ = ReplayPhase::AwaitDownload; }

    // The next request to send, counted as outstanding, or nullopt when the
    // window is full or nothing is left. Flows no longer wanted are skipped.
    std::optional<ReplayRequest> next(const Configured &configured);
    // An answer (status == nullptr: none came). False if the run is stale.
    bool complete(const ReplayRequest &request, const uint32_t *status);
    // When all is sent and answered: ends the run (Idle) and gives the
    // summary line to log; nullopt while the run goes on.
    std::optional<std::string> finish(uint32_t slot, Clock::time_point now);

private:
    size_t window_;
    ReplayPhase phase_ = ReplayPhase::Idle;
    bool fresh_ = false;
    uint64_t generation_ = 0;
    std::vector<model::FlowKey> adds_, dels_;
    size_t next_add_ = 0, next_del_ = 0, in_flight_ = 0, held_ = 0;
    ReplayCounts counts_;
    Clock::time_point started_;
};

} // namespace supervisor

#endif // SUPERVISOR_REPLAY_H
