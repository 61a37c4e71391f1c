// The JSON-RPC methods of docs/jsonrpc.md: parameters checked, the store and
// the cards consulted, results built.
//
// Invariants:
//  - flow.add and flow.del commit the desired state before anything else and
//    answer -32005 without touching a card when the database refuses;
//  - every request is answered exactly once (through Respond), whatever its
//    cards do;
//  - counts go out as JSON integers; FC IDs as "0x%06x" strings.
#ifndef SUPERVISOR_METHODS_H
#define SUPERVISOR_METHODS_H

#include <chrono>

#include "cards.h"
#include "control.h"
#include "jsonrpc.h"
#include "store.h"

namespace supervisor {

struct Services {
    Store &store;
    Cards &cards;
};

void dispatch(Services &services, const jsonrpc::Request &request, Respond respond);

} // namespace supervisor

#endif // SUPERVISOR_METHODS_H
