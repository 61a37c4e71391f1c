// flow.show: every slot's display fetched at once and merged with the
// configured flows into one answer.
//
// Invariants:
//  - a slot's rows are the card's display order (the library's key order),
//    configured flows the card does not hold merged in by key;
//  - a total covering an applied flow the display lacks is marked incomplete;
//  - one card answering busy makes the whole request busy.
#ifndef SUPERVISOR_SHOW_H
#define SUPERVISOR_SHOW_H

#include "methods.h"
#include "schema.h"

namespace supervisor {

void flow_show(Services &services, const api::ShowParams &params, Respond respond);

} // namespace supervisor

#endif // SUPERVISOR_SHOW_H
