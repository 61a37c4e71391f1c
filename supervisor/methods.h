// The JSON-RPC methods of docs/jsonrpc.md: each method of the registry
// (api/schema.h) bound to its handler, params decoded by the schema, the
// store and the cards consulted, results encoded by the schema.
//
// Invariants:
//  - flow.add and flow.del commit the desired state before anything else and
//    answer -32005 without touching a card when the database refuses;
//  - every request is answered exactly once (through Respond), whatever its
//    cards do;
//  - every method of the registry has a handler, in the registry's order;
//  - a call that needs the admin role (api::needs_admin) from a reader is
//    refused (-32010) and logged; every such call, refused or not, is
//    recorded in the audit trail with its answer when it is answered.
#ifndef SUPERVISOR_METHODS_H
#define SUPERVISOR_METHODS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cards.h"
#include "control.h"
#include "jsonrpc.h"
#include "peer_identity.h"
#include "store.h"

namespace supervisor {

struct Services {
    Store &store;
    Cards &cards;
};

void dispatch(Services &services, const jsonrpc::Request &request, const PeerIdentity &identity,
              Respond respond);

// Slots with a card connected or flows configured, ascending.
std::vector<uint32_t> known_slots(Services &services);
// The configured flows of slots, counted.
size_t configured_rows(Services &services, const std::vector<uint32_t> &slots);

} // namespace supervisor

#endif // SUPERVISOR_METHODS_H
