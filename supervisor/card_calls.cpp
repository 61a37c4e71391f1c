// Requests to a card and their replies (see card_calls.h), and the errors
// they fail with (declared in cards.h, with the data docs/jsonrpc.md gives).
#include "card_calls.h"

#include <string>

namespace supervisor {

model::Error card_down_error(uint32_t slot) {
    model::Error e = model::error(model::Errc::CardDown,
                                  "the card of slot " + std::to_string(slot) + " is down");
    e.slot = slot;
    return e;
}

model::Error no_reply_error(uint32_t slot, std::chrono::milliseconds timeout) {
    model::Error e = model::error(
        model::Errc::NoReply, "the card of slot " + std::to_string(slot) + " did not answer in " +
                                  std::to_string(timeout.count()) + " ms");
    e.slot = slot;
    e.timeout_ms = static_cast<uint64_t>(timeout.count());
    return e;
}

model::Error busy_error(uint32_t slot) {
    return model::error(model::Errc::Busy,
                        "too many requests in flight to the card of slot " + std::to_string(slot));
}

namespace {

model::Error wrong_length(std::span<const uint8_t> payload, const char *request) {
    return model::error(model::Errc::Protocol, "reply of " + std::to_string(payload.size()) +
                                                   " bytes to a " + request + " request");
}

} // namespace

model::Result<Fed> take_reply(Call &call, std::span<const uint8_t> payload) {
    if (auto *flow = std::get_if<FlowCall>(&call)) {
        flow->reply = model::decode_reply(payload);
        return flow->reply ? model::Result<Fed>(Fed::Answered) : wrong_length(payload, "flow");
    }
    if (auto *status = std::get_if<StatusCall>(&call)) {
        status->status = card_protocol::decode_status(payload);
        return status->status ? model::Result<Fed>(Fed::Answered) : wrong_length(payload, "status");
    }
    display::Assembler &assembler = std::get<DisplayCall>(call).assembler;
    std::string error;
    if (!assembler.add(payload, &error)) {
        return model::error(model::Errc::Protocol, "bad display chunk: " + error);
    }
    return assembler.done() ? Fed::Answered : Fed::More;
}

void answer(Call &call) {
    if (auto *flow = std::get_if<FlowCall>(&call)) {
        flow->done(*flow->reply);
    } else if (auto *status = std::get_if<StatusCall>(&call)) {
        status->done(*status->status);
    } else {
        const DisplayCall &display = std::get<DisplayCall>(call);
        display.done(DisplayText{display.assembler.text(), display.assembler.chunks()});
    }
}

void fail(Call &call, const model::Error &error) {
    std::visit([&error](auto &c) { c.done(error); }, call);
}

} // namespace supervisor
