// Whether a connection's first frame makes it the session of a slot.
//
// Invariant: a hello is accepted only if it is the first frame, decodes, names
// a slot in kMinSlot..kMaxSlot and that slot has no card connected; every
// refusal is a Protocol error whose message says why, for the log.
#ifndef SUPERVISOR_HELLO_CHECK_H
#define SUPERVISOR_HELLO_CHECK_H

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "card_protocol.h"
#include "result.h"

namespace supervisor {

// The peer name of the card connected on slot, or nullopt when it is down.
using ConnectedFrom = std::function<std::optional<std::string>(uint32_t slot)>;

model::Result<card_protocol::Hello> check_hello(uint32_t opcode, std::span<const uint8_t> payload,
                                                const ConnectedFrom &connected_from);

} // namespace supervisor

#endif // SUPERVISOR_HELLO_CHECK_H
