// flowctl watch: show again and again, with each flow's frames/s and bytes/s
// over the time between two snapshots, fastest first. Each snapshot streams
// through: what is kept between two is what a rate needs, and what is shown
// a bounded list of the fastest (JSON Lines: every flow, as it arrives).
//
// A rate is known only when both snapshots hold the flow on the same counter
// with exact totals that did not go down; otherwise (first snapshot, flow
// re-created, total incomplete) it is shown as unknown rather than guessed.
#ifndef FLOWCTL_WATCH_H
#define FLOWCTL_WATCH_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "errors.h"
#include "format.h"
#include "rpc_client.h"

namespace flowctl {

struct Rate {
    FlowRow flow;
    std::optional<double> frames_per_s;
    std::optional<double> bytes_per_s;
};

// What a rate needs of the previous snapshot, kept compactly: per flow held
// with an exact total its key, counter and totals (32 bytes), nothing of the
// others (they cannot give a rate), and a slot's only until the next
// snapshot's rows have passed it.
class RateTracker {
public:
    // A new snapshot, taken elapsed_s after the previous one (0: the first).
    void begin(double elapsed_s);
    // A row of the snapshot (in its order) with its rate since the previous
    // one; the row is kept for the next.
    Rate rate(const FlowRow &row);
    // The snapshot is complete: it becomes the previous one.
    void end();

private:
    struct Entry {
        uint8_t slot;
        uint8_t type;
        uint16_t vsan;
        uint32_t did, sid; // the card's order: VSAN, DID, SID
        uint32_t counter;
        uint64_t frames, bytes;
        auto key() const { return std::tie(slot, type, vsan, did, sid); }
    };
    static_assert(sizeof(Entry) == 32);
    using Slots = std::map<uint32_t, std::vector<Entry>>;
    Slots previous_, current_;
    double elapsed_s_ = 0;
};

// The fastest flows of a snapshot, at most k (a screen's worth, whatever the
// chassis): by frames/s then bytes/s, fastest first, equal rates in the
// snapshot's order; flows without a rate fill what is left, in the
// snapshot's order.
class TopRates {
public:
    explicit TopRates(size_t k) : k_(k) {}
    void add(Rate rate);
    std::vector<Rate> take();

private:
    struct Ranked {
        Rate rate;
        size_t order;
    };
    size_t k_;
    size_t seen_ = 0;
    std::vector<Ranked> fastest_; // a heap, the slowest on top
    std::vector<Rate> unknown_;
};

// The flows of now with their rates since before (nullptr: none yet), all of
// them, as TopRates orders them.
std::vector<Rate> rates(const Snapshot *before, const Snapshot &now, double elapsed_s);

// "1234.5"; "-" when unknown.
std::string rate_cell(std::optional<double> rate);
std::string rates_table(const std::vector<Rate> &rates);

// The flows a refresh shows when standard output is not a terminal (one
// that is shows those that fit); JSON Lines shows every flow.
inline constexpr size_t kWatchRowsOffTerminal = 1000;

struct WatchOptions {
    json show_params = json::object();
    double interval_s = 2.0;
    std::optional<long> count; // refreshes; nullopt: until interrupted
    bool json_lines = false;
    bool terminal = false; // redraw in place, the fastest flows that fit
};

// Runs until count refreshes are done, SIGINT/SIGTERM, or an error (which is
// returned).
model::Status run_watch(RpcClient &client, const WatchOptions &options);

} // namespace flowctl

#endif // FLOWCTL_WATCH_H
