// The simulated line card around the flow stats library.
//
// The host talks to the library only as a line-card process does: it exports
// the three callbacks, initialises the library and declares the TCAM region
// ready, then sends request messages (answered through the message service),
// the display request and the two counter lookups. Behind the callbacks it
// plays the TCAM and its counters (tcam_model), and beside them it keeps the
// ground truth: what every flow has carried since it was created. Every reply
// is checked against what the host expects; a difference is a mismatch.
#ifndef LINECARD_HOST_H
#define LINECARD_HOST_H

#include <cstdint>
#include <string>

#include "scenario.h"
#include "tcam_model.h"

namespace linecard {

// The library's log levels run 0 (record dumps) to 4 (errors).
inline constexpr uint32_t kLogLevelErrors = 4;
inline constexpr uint32_t kLogLevelNone = 5;

struct Options {
    uint32_t log_level = kLogLevelErrors; // print library texts at this level and above
    bool narrate = true;                  // print every command and its outcome
    bool drain = false;                   // remove every flow before the memory check
};

struct Tally {
    uint64_t requests = 0;        // request messages sent
    uint64_t replies_checked = 0; // replies and lookups compared with expectations
    uint64_t mismatches = 0;
    uint64_t frames_injected = 0;
};

// Installs the host (message sink, options). Call once before any command.
void start(const Options &options);

void run(const scenario::Command &command);

// A stored flow as a request names it.
scenario::FlowSpec spec_of(const tcam_model::EntryKey &key);

// The flows live in the host's view, as the library stores them.
size_t live_flows();
// The host's view of the live flows and their traffic.
const tcam_model::GroundTruth &truth();
const Tally &tally();

// Removes every flow through delete requests if the options say so, prints
// the closing summary, checks the library's memory, removes the sink and
// returns the process exit status: 0 only without mismatches.
int finish();

} // namespace linecard

#endif // LINECARD_HOST_H
