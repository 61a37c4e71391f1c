// A host-side model of the TCAM and of the true per-flow traffic, shared by the
// reference line-card host and the fuzzer.
//
// The TCAM holds one entry per flow the library ever asked to install, keyed as
// the library stores the flow (domain flows keep only the domain bytes of sid
// and did, VSAN flows keep both 0), each pointing at a counter id, 0 meaning it
// counts nowhere. A frame is counted only on the most specific entry that
// matches it: exact, else domain pair, else VSAN.
//
// Invariants the model keeps between updates, given the library keeps its
// own and every update succeeds:
//  - entries are only ever added by an update and never erased: a removed
//    flow's entry stays, parked;
//  - a counter is zeroed exactly when a new flow is installed on it, so a
//    flow's counter holds only what it counted since its installation;
//  - a live flow's entry counts on its own counter, and a parked entry on the
//    counter of the nearest live flow covering it, or nowhere when none does.
//    Removal keeps this by moving the removed flow's entry and every entry
//    parked on its counter to the counter the library names. Installation
//    keeps it by asking the library, for every entry the new flow covers,
//    which counter now counts it (acl_tcam_flow_get_counter_id): the library
//    has forgotten removed flows, so only the host can move their entries,
//    and without it a parked entry would hide its frames from the new flow.
//
// The ground truth is independent of the TCAM: it adds every delivered frame
// to each live flow that contains it, from the flow's start on.
//
// Keys are always in stored form, so the flows or entries a frame or a flow
// touches are found by key lookups and range scans, never by a walk over all
// of them (a card holds up to 65,535 flows).

#ifndef LINECARD_TCAM_MODEL_H
#define LINECARD_TCAM_MODEL_H

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "flow_key.h"

namespace tcam_model {

// A flow or entry key in the library's stored form.
struct EntryKey {
    uint32_t type; // FLOW_TYPE_*
    uint32_t vsan;
    uint32_t sid;
    uint32_t did;
    auto operator<=>(const EntryKey &) const = default;
};

struct Counter {
    uint64_t frames = 0;
    uint64_t bytes = 0;
    bool operator==(const Counter &) const = default;
};

// A burst of frames of one conversation; all of them match the same entries.
struct Frame {
    uint32_t vsan;
    uint32_t sid;
    uint32_t did;
    uint64_t bytes; // of the whole burst
    uint64_t frames = 1;
};

uint32_t domain_of(uint32_t fcid);
EntryKey key_of(const flow_t &flow);
// Whether the frame falls inside the flow the key names.
bool frame_in_flow(const Frame &frame, const EntryKey &flow);
// The keys, in stored form, of the flows and entries a frame falls inside:
// exact, domain pair, VSAN (finest first).
std::array<EntryKey, 3> keys_containing(const Frame &frame);
// The same key as the model names it, and back.
EntryKey entry_key(const model::FlowKey &key);
model::FlowKey flow_key(const EntryKey &key);

// One frame of random traffic around an entry: for an exact entry mostly its
// own conversation, otherwise (and for coarser entries) a conversation between
// the same domains on one of four low ports; 36 to 2148 bytes, a frame's size
// on the wire. Draws from rng in a fixed order, so a seed replays a run.
Frame random_frame(std::mt19937_64 &rng, const EntryKey &entry);

struct Tcam {
    std::map<EntryKey, uint16_t> entries; // key -> counter id, 0 = counts nowhere
    // Indexed by counter id (16 bits), grown on first use; an id past the
    // end never counted.
    std::vector<Counter> counters;

    // The counter id of the most specific entry matching the frame, or NULL
    // when no entry matches.
    const uint16_t *matching_entry(const Frame &frame) const;
    void count(const Frame &frame);
    // Applies one handle update as the hardware would; see the callback's
    // contract in acl_tcam_flow_stats.h. Call it from inside the callback:
    // an installation asks the library about the entries it covers.
    void update(const flow_handle_update_t &update);
    // A counter that never counted reads as zero.
    Counter read(uint32_t counter_id) const;

    // The bodies of the host's two hardware callbacks
    // (acl_tcam_flow_handle_update_cb, acl_tcam_flow_stats_get_cb): update()
    // and read() behind a refusal of NULL arguments.
    int32_t handle_update_cb(flow_handle_update_t *update);
    int32_t stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) const;

private:
    Counter &counter(uint16_t counter_id);
};

struct GroundTruth {
    std::map<EntryKey, Counter> flows; // live flows and their traffic

    // Starts (or restarts) a flow from zero.
    void start(const EntryKey &flow);
    void stop(const EntryKey &flow);
    void deliver(const Frame &frame);
    // NULL for a flow that is not live.
    const Counter *of(const EntryKey &flow) const;
};

// What a reply is checked against: the ground truth, unless the test-only
// fault switch LINECARD_TEST_SKEW is set to "frames" or "bytes", which adds 1
// to that count, so that a test can show that every check fires. Read once.
Counter checked_truth(const Counter &truth);

} // namespace tcam_model

#endif // LINECARD_TCAM_MODEL_H
