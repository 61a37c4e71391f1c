// Whether a connection's first frame makes it the session of a slot.
//
// Invariant: a hello is accepted only if it is the first frame, decodes, names
// a slot in kMinSlot..kMaxSlot, that slot has no card connected, and, from a
// card with a certificate, the certificate names that slot ("slot-N" as a
// SAN DNS name or as the CN); every refusal is a Protocol error whose
// message says why, for the log.
#ifndef SUPERVISOR_HELLO_CHECK_H
#define SUPERVISOR_HELLO_CHECK_H

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "card_protocol.h"
#include "result.h"
#include "vexa_socket.h"

namespace supervisor {

// The peer name of the card connected on slot, or nullopt when it is down.
using ConnectedFrom = std::function<std::optional<std::string>(uint32_t slot)>;

// certificate: the card's, verified; nullptr on a Unix or plain TCP socket.
model::Result<card_protocol::Hello>
check_hello(uint32_t opcode, std::span<const uint8_t> payload, const ConnectedFrom &connected_from,
            const vexa_socket::PeerCertificate *certificate = nullptr);

} // namespace supervisor

#endif // SUPERVISOR_HELLO_CHECK_H
