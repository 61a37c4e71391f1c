// Card service stand-in: reports a slot number the host chooses.

#include <atomic>
#include <cstdint>

#include "card.h"
#include "platform_sim.h"

namespace {

constinit std::atomic<uint32_t> slot_num{1};

} // namespace

extern "C" {

int card_get_slot_num(void *slot) {
    if (!slot)
        return -1;
    // The platform reports the slot in network byte order.
    uint32_t v = slot_num;
    auto *out = static_cast<uint8_t *>(slot);
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
    return 0;
}

void card_sim_set_slot(uint32_t slot) {
    slot_num = slot;
}

} // extern "C"
