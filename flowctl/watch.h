// flowctl watch: show again and again, with each flow's frames/s and bytes/s
// over the time between two snapshots, fastest first.
//
// A rate is known only when both snapshots hold the flow on the same counter
// with exact totals that did not go down; otherwise (first snapshot, flow
// re-created, total incomplete) it is shown as unknown rather than guessed.
#ifndef FLOWCTL_WATCH_H
#define FLOWCTL_WATCH_H

#include <optional>
#include <string>
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

// The flows of now with their rates since before (nullptr: none yet), sorted
// by frames/s then bytes/s, fastest first; unknown rates last, in the
// snapshot's order.
std::vector<Rate> rates(const Snapshot *before, const Snapshot &now, double elapsed_s);

// "1234.5"; "-" when unknown.
std::string rate_cell(std::optional<double> rate);
std::string rates_table(const std::vector<Rate> &rates);
json rates_json(const std::vector<Rate> &rates, double elapsed_s);

struct WatchOptions {
    json show_params = json::object();
    double interval_s = 2.0;
    std::optional<long> count; // refreshes; nullopt: until interrupted
    bool json_lines = false;
    bool terminal = false; // redraw in place
};

// Runs until count refreshes are done, SIGINT/SIGTERM, or an error (which is
// returned).
model::Status run_watch(RpcClient &client, const WatchOptions &options);

} // namespace flowctl

#endif // FLOWCTL_WATCH_H
