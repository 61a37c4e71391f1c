// flow.show: every slot's display fetched at once and merged with the
// configured flows into one answer; flow.clear: baselines taken from the same
// rows.
//
// Invariants:
//  - a slot's rows are the card's display order (the library's key order),
//    configured flows the card does not hold merged in by key;
//  - a total covering an applied flow the display lacks is marked incomplete;
//  - one card answering busy makes the whole request busy;
//  - totals are since each flow's clear (baseline.h) unless since_boot; a
//    void baseline seen is dropped from the store;
//  - a clear keeps a baseline only for a configured flow its card holds with
//    an exact total, one transaction per slot; every other selected flow is
//    reported with why.
#ifndef SUPERVISOR_SHOW_H
#define SUPERVISOR_SHOW_H

#include "methods.h"
#include "schema.h"

namespace supervisor {

void flow_show(Services &services, const api::ShowParams &params, Respond respond);
// flow.show's result before it is written: for callers that write it in
// another form (the HTTP endpoint's /metrics).
void flow_snapshot(Services &services, const api::ShowParams &params,
                   std::function<void(model::Result<api::ShowResult>)> done);
void flow_clear(Services &services, const api::ClearParams &params, Respond respond);

} // namespace supervisor

#endif // SUPERVISOR_SHOW_H
