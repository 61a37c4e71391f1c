// A request to a card as its session keeps it until it ends: whom it
// completes, and how the card's reply turns into the answer (a flow reply, a
// status, a display reassembled from its chunks). No I/O and no clock.
//
// Invariants:
//  - a reply is checked whole before anything completes: one that does not
//    decode for its request breaks the protocol and completes nothing (the
//    card is dropped, and the request fails as the card going);
//  - a call completes once: answer() after take_reply() said Answered, or
//    fail() with the error a client gets.
#ifndef SUPERVISOR_CARD_CALLS_H
#define SUPERVISOR_CARD_CALLS_H

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <variant>

#include "card_protocol.h"
#include "cards.h"
#include "display.h"
#include "flow_key.h"
#include "result.h"

namespace supervisor {

struct FlowCall {
    int32_t msg_type = 0; // ACL_TCAM_FS_MSG_*
    model::FlowKey key;
    std::function<void(Outcome<model::FlowReply>)> done;
    std::optional<model::FlowReply> reply;
};
struct StatusCall {
    std::function<void(Outcome<card_protocol::Status>)> done;
    std::optional<card_protocol::Status> status;
};
struct DisplayCall {
    std::function<void(Outcome<DisplayText>)> done;
    display::Assembler assembler;
};
using Call = std::variant<FlowCall, StatusCall, DisplayCall>;

enum class Fed {
    More,     // a display chunk, not the last: the request goes on
    Answered, // the whole answer is in: answer() completes the call
};

// Takes one reply payload for call; a Protocol error says how it is wrong.
model::Result<Fed> take_reply(Call &call, std::span<const uint8_t> payload);
void answer(Call &call);
void fail(Call &call, const model::Error &error);

} // namespace supervisor

#endif // SUPERVISOR_CARD_CALLS_H
