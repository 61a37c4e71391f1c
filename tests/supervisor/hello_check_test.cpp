// The first frame of a card's connection: what makes it a slot's session and
// what drops it, with the reason the log gives.
#include <gtest/gtest.h>

#include "hello_check.h"

namespace {

namespace cp = card_protocol;

TEST(HelloCheck, AcceptsOnlyAWellFormedHelloForAFreeSlot) {
    const auto hello = [](uint32_t slot, uint32_t first = 1, uint32_t size = 1000) {
        const auto bytes = cp::encode(cp::Hello{.version = cp::kProtocolVersion,
                                                .slot = slot,
                                                .first_counter = first,
                                                .table_size = size});
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    };
    std::vector<uint8_t> short_hello = hello(3);
    short_hello.pop_back();
    // A card's certificate names its slot by a SAN DNS name or by its CN.
    vexa_socket::PeerCertificate by_san{.subject = "CN=card",
                                        .common_name = "card",
                                        .unit = "card",
                                        .dns_names = {"card.lab", "slot-3"}};
    vexa_socket::PeerCertificate by_cn{
        .subject = "CN=slot-3", .common_name = "slot-3", .unit = "", .dns_names = {}};
    vexa_socket::PeerCertificate none{
        .subject = "CN=slot-30", .common_name = "slot-30", .unit = "", .dns_names = {"slot-31"}};
    struct Case {
        uint32_t opcode;
        std::vector<uint8_t> payload;
        const char *refusal; // nullptr: accepted
        const vexa_socket::PeerCertificate *certificate = nullptr;
    } const cases[] = {
        {cp::kOpHello, hello(3), nullptr, &by_san},
        {cp::kOpHello, hello(3), nullptr, &by_cn},
        {cp::kOpHello, hello(4),
         "CARD_HELLO for slot 4 from certificate CN=card, which does not name slot-4", &by_san},
        {cp::kOpHello, hello(3),
         "CARD_HELLO for slot 3 from certificate CN=slot-30, which does not name slot-3", &none},
        {cp::kOpHello, hello(cp::kMinSlot), nullptr},
        {cp::kOpHello, hello(cp::kMaxSlot), nullptr},
        {cp::kOpReply, hello(3), "first frame is opcode 0, not CARD_HELLO"},
        {cp::kOpHello, short_hello, "malformed CARD_HELLO"},
        {cp::kOpHello, hello(cp::kMinSlot - 1), "CARD_HELLO claims slot 0"},
        {cp::kOpHello, hello(cp::kMaxSlot + 1), "CARD_HELLO claims slot 65"},
        {cp::kOpHello, hello(7), "slot 7 is already connected (from card-a)"},
        {cp::kOpHello, hello(3, 65534, 65535), nullptr},
        {cp::kOpHello, hello(3, 1, 0), "CARD_HELLO claims counters 1/0"},
        {cp::kOpHello, hello(3, 0xffffffff, 0xffffffff),
         "CARD_HELLO claims counters 4294967295/4294967295"},
        {cp::kOpHello, hello(3, 1, 65536), "CARD_HELLO claims counters 1/65536"},
        {cp::kOpHello, hello(3, 5, 5), "CARD_HELLO claims counters 5/5"},
    };
    const auto connected_from = [](uint32_t slot) {
        return slot == 7 ? std::optional<std::string>("card-a") : std::nullopt;
    };
    for (const Case &c : cases) {
        const auto result =
            supervisor::check_hello(c.opcode, c.payload, connected_from, c.certificate);
        if (c.refusal == nullptr) {
            EXPECT_TRUE(result.ok()) << result.error().message;
        } else {
            ASSERT_FALSE(result.ok()) << c.refusal;
            EXPECT_EQ(result.error().code, model::Errc::Protocol);
            EXPECT_EQ(result.error().message, c.refusal);
        }
    }
}

} // namespace
