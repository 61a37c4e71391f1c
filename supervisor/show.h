// flow.show: a snapshot taken card by card, each card's display merged with
// its configured flows and handed on before the next card's; flow.clear:
// baselines taken from the same rows.
//
// Invariants:
//  - a slot's rows are the card's display order (the library's key order),
//    configured flows the card does not hold merged in by key; slots come in
//    ascending order, each exactly once;
//  - every total of a slot comes from one display of its card; a card down,
//    busy or failing is its slot's error, never the snapshot's;
//  - at most kSnapshotWindow displays of one snapshot are asked for or held
//    at once besides the slot being handed on, whose rows go in pieces of
//    kShowPartRows, the next only when the sink is ready for it: a snapshot
//    holds a card's rows and a few displays, never a chassis's;
//  - a total covering an applied flow the display lacks is marked incomplete;
//  - totals are since each flow's clear (baseline.h) unless since_boot; a
//    void baseline seen is dropped from the store;
//  - a clear keeps a baseline only for a configured flow its card holds with
//    an exact total, one transaction per slot; every other selected flow is
//    reported with why.
#ifndef SUPERVISOR_SHOW_H
#define SUPERVISOR_SHOW_H

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "methods.h"
#include "schema.h"

namespace supervisor {

inline constexpr size_t kSnapshotWindow = 2;
// Rows of one piece handed to a sink (a streamed flow.show part).
inline constexpr size_t kShowPartRows = 1024;

// One slot of a snapshot: its card's entry and its rows.
struct SlotSnapshot {
    api::ShowCard card;
    std::vector<api::ShowFlow> rows;
    std::optional<uint64_t> boot_id; // the display's; nullopt without one
};

// Where a snapshot goes, slot by slot (flow.show's answers, the HTTP
// endpoint's documents). Called on the event loop.
class SnapshotSink {
public:
    virtual ~SnapshotSink() = default;
    // The next rows of slot, in order, at most kShowPartRows of them; last:
    // the slot's last piece (every slot has one, with no rows if it has
    // none). Slots come in ascending order.
    virtual void piece(const SlotSnapshot &slot, std::span<const api::ShowFlow> rows,
                       bool last) = 0;
    // After each piece: resume(true) when ready for the next, resume(false)
    // to stop the snapshot (its reader left).
    virtual void pace(std::function<void(bool)> resume) { resume(true); }
    // After the last slot (never after a stop).
    virtual void end() = 0;
};

void take_snapshot(Services &services, const api::ShowParams &params,
                   std::shared_ptr<SnapshotSink> sink);

// flow.show: with params.stream the rows as flow.show.part notifications,
// else as one answer written part by part (docs/jsonrpc.md).
void flow_show(Services &services, const api::ShowParams &params, Respond respond);
// A snapshot gathered whole: for small results only (tests, a few slots).
void flow_snapshot(Services &services, const api::ShowParams &params,
                   std::function<void(api::ShowResult)> done);
void flow_clear(Services &services, const api::ClearParams &params, Respond respond);

} // namespace supervisor

#endif // SUPERVISOR_SHOW_H
