// The simulated line card behind the library in the line-card daemon: the
// TCAM and counters its exported callbacks drive, the ground truth of every
// live flow's traffic, and the checks of the library's query replies
// against it.
//
// Invariants: the ground truth holds exactly the flows the library accepted
// (an add or a delete answered 0), keyed in stored form; every full query
// reply the library sends is compared with it at the moment it is sent,
// when no frame can arrive in between. Everything runs on the daemon's one
// thread, inside or between library calls.
#ifndef LINECARD_SERVE_CARD_H
#define LINECARD_SERVE_CARD_H

#include <cstdint>
#include <span>

#include "tcam_model.h"

namespace serve {

struct Card {
    tcam_model::Tcam tcam;
    tcam_model::GroundTruth truth;
    uint64_t queries_checked = 0;
    uint64_t mismatches = 0;
    uint32_t log_level = 4; // library texts of this level and above are logged
};

// The one card of this process, which the exported callbacks act on.
Card &card();

// After the library served a flow request: an accepted add starts the flow
// in the ground truth, an accepted delete stops it.
void note_flow_request(std::span<const uint8_t> request, uint32_t status);

// Sees a payload the library sent; a full reply to a query is checked
// against the ground truth (a mismatch is counted and logged).
void check_sent(std::span<const uint8_t> payload);

} // namespace serve

#endif // LINECARD_SERVE_CARD_H
