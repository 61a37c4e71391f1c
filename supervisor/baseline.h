// Totals since an operator cleared a flow's counters: the one rule that turns
// a card's total and a stored baseline into what flow.show and flow.get say.
//
// Invariants: nothing here underflows; a baseline is void once its card
// restarted (another boot id) or once the card's exact total went below it
// in the same boot (the card lost the flow and counts it afresh); a void
// baseline is dropped and the raw total shown.
#ifndef SUPERVISOR_BASELINE_H
#define SUPERVISOR_BASELINE_H

#include <cstdint>
#include <optional>

namespace supervisor {

// A flow's totals when an operator cleared its counters, in the card's boot
// it was read in: a later boot restarted the counters and voids it.
struct Baseline {
    uint64_t frames = 0, bytes = 0;
    uint64_t boot_id = 0;
    bool operator==(const Baseline &) const = default;
};

struct SinceClear {
    uint64_t frames = 0, bytes = 0;
    bool cleared = false; // frames and bytes count from the clear
    bool drop = false;    // the baseline is void: the caller forgets it
    bool operator==(const SinceClear &) const = default;
};

// frames, bytes: the card's total for the flow, read in boot; complete: exact
// (else a lower bound).
inline SinceClear since_clear(uint64_t frames, uint64_t bytes, bool complete,
                              const std::optional<Baseline> &baseline, uint64_t boot) {
    if (!baseline) {
        return {frames, bytes, false, false};
    }
    if (baseline->boot_id != boot) {
        return {frames, bytes, false, true};
    }
    const bool above = frames >= baseline->frames && bytes >= baseline->bytes;
    if (!above && complete) {
        return {frames, bytes, false, true};
    }
    // A lower bound under its baseline says nothing of a re-add: zero is then
    // the bound of the count since the clear, and the baseline stays.
    return {frames >= baseline->frames ? frames - baseline->frames : 0,
            bytes >= baseline->bytes ? bytes - baseline->bytes : 0, true, false};
}

} // namespace supervisor

#endif // SUPERVISOR_BASELINE_H
