// The first frame of a card's connection (see hello_check.h).
#include "hello_check.h"

namespace supervisor {

namespace cp = card_protocol;

model::Result<cp::Hello> check_hello(uint32_t opcode, std::span<const uint8_t> payload,
                                     const ConnectedFrom &connected_from) {
    const auto refuse = [](std::string why) {
        return model::error(model::Errc::Protocol, std::move(why));
    };
    if (opcode != cp::kOpHello) {
        return refuse("first frame is opcode " + std::to_string(opcode) + ", not CARD_HELLO");
    }
    const std::optional<cp::Hello> hello = cp::decode_hello(payload);
    if (!hello) {
        return refuse("malformed CARD_HELLO");
    }
    if (hello->slot < cp::kMinSlot || hello->slot > cp::kMaxSlot) {
        return refuse("CARD_HELLO claims slot " + std::to_string(hello->slot));
    }
    if (const std::optional<std::string> other = connected_from(hello->slot)) {
        return refuse("slot " + std::to_string(hello->slot) + " is already connected (from " +
                      *other + ")");
    }
    return *hello;
}

} // namespace supervisor
