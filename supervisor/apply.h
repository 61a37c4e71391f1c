// flow.apply and flow.export: a flow-set text made the configuration (the
// plan of apply_plan.h committed in one transaction, then sent to the cards
// up, at most a replay window of requests per card at a time), and the
// configuration written as such a text.
//
// Invariants:
//  - nothing is stored or sent when the text has a bad line, the plan a slot
//    past its bound, or the request is a dry run;
//  - the plan is committed before anything is sent: a supervisor killed
//    before the commit leaves the configuration as it was, after it the new
//    one, which cards get by reconciliation if not from the run;
//  - the answer comes once every request sent is answered (or failed); with
//    progress asked, flow.apply.progress notifications come before it, at
//    most one per kProgressEvery.
#ifndef SUPERVISOR_APPLY_H
#define SUPERVISOR_APPLY_H

#include <chrono>

#include "methods.h"
#include "schema.h"

namespace supervisor {

inline constexpr std::chrono::milliseconds kProgressEvery{100};

void flow_apply(Services &services, const api::ApplyParams &params, Respond respond);
void flow_export(Services &services, const api::ExportParams &params, Respond respond);

} // namespace supervisor

#endif // SUPERVISOR_APPLY_H
