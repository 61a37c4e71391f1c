// The first frame of a card's connection (see hello_check.h).
#include "hello_check.h"

#include <algorithm>

namespace supervisor {

namespace cp = card_protocol;

// Counter ids are 16 bits wide: a table holds at most 65,535 of them.
constexpr uint32_t kMaxCounterTable = 65535;

namespace {

// Whether the certificate names the slot: "slot-N" among its SAN DNS names,
// or as its CN.
bool names_slot(const vexa_socket::PeerCertificate &certificate, uint32_t slot) {
    const std::string name = "slot-" + std::to_string(slot);
    const auto &dns = certificate.dns_names;
    return certificate.common_name == name || std::find(dns.begin(), dns.end(), name) != dns.end();
}

} // namespace

model::Result<cp::Hello> check_hello(uint32_t opcode, std::span<const uint8_t> payload,
                                     const ConnectedFrom &connected_from,
                                     const vexa_socket::PeerCertificate *certificate) {
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
    // The counter range the library on that card accepted: ids first..size-1,
    // 16 bits wide. Anything else is no card we can count on.
    if (hello->table_size == 0 || hello->table_size > kMaxCounterTable ||
        hello->first_counter >= hello->table_size) {
        return refuse("CARD_HELLO claims counters " + std::to_string(hello->first_counter) + "/" +
                      std::to_string(hello->table_size));
    }
    if (certificate != nullptr && !names_slot(*certificate, hello->slot)) {
        return refuse("CARD_HELLO for slot " + std::to_string(hello->slot) + " from certificate " +
                      certificate->subject + ", which does not name slot-" +
                      std::to_string(hello->slot));
    }
    if (const std::optional<std::string> other = connected_from(hello->slot)) {
        return refuse("slot " + std::to_string(hello->slot) + " is already connected (from " +
                      *other + ")");
    }
    return *hello;
}

} // namespace supervisor
