// The card protocol's payloads: every field lands at its documented offset,
// big-endian, and reads back; payloads of another length, version or action
// are refused.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "card_protocol.h"

namespace {

using namespace card_protocol;

// A value whose bytes are all distinct, so that a field written at the wrong
// offset, width or byte order shows.
constexpr uint32_t k32 = 0x01020304;
constexpr uint64_t k64 = 0x1112131415161718;

uint32_t be32_at(std::span<const uint8_t> p, size_t at) {
    return uint32_t{p[at]} << 24 | uint32_t{p[at + 1]} << 16 | uint32_t{p[at + 2]} << 8 | p[at + 3];
}

uint64_t be64_at(std::span<const uint8_t> p, size_t at) {
    return uint64_t{be32_at(p, at)} << 32 | be32_at(p, at + 4);
}

// Every 32-bit word of a payload.
std::vector<uint32_t> words(std::span<const uint8_t> p) {
    std::vector<uint32_t> out;
    for (size_t at = 0; at + 4 <= p.size(); at += 4) {
        out.push_back(be32_at(p, at));
    }
    return out;
}

TEST(CardProtocol, HelloAndTrafficFieldsSitAtTheirOffsetsAndReadBack) {
    const auto hello = encode(Hello{kProtocolVersion, 64, 1, 65535, k64, kHelloFresh});
    EXPECT_EQ(words(hello), (std::vector<uint32_t>{kProtocolVersion, 64, 1, 65535, 0x11121314,
                                                   0x15161718, kHelloFresh, 0}));
    const auto back = decode_hello(hello);
    ASSERT_TRUE(back);
    EXPECT_EQ(encode(*back), hello);
    for (const TrafficAction action :
         {TrafficAction::Pause, TrafficAction::Resume, TrafficAction::Rate}) {
        const auto p = encode(TrafficRequest{action, k64});
        EXPECT_EQ(words(p), (std::vector<uint32_t>{static_cast<uint32_t>(action), 0, 0x11121314,
                                                   0x15161718}));
        const auto traffic = decode_traffic(p);
        ASSERT_TRUE(traffic);
        EXPECT_EQ(traffic->action, action);
        EXPECT_EQ(traffic->pps, k64);
    }
}

TEST(CardProtocol, StatusFieldsSitAtTheirOffsetsAndReadBack) {
    Status s;
    uint32_t *words[] = {&s.slot,          &s.flows,      &s.counters_used,
                         &s.first_counter, &s.table_size, &s.traffic_flags};
    uint64_t *longs[] = {&s.traffic_pps,     &s.frames_injected, &s.bytes_injected, &s.mismatches,
                         &s.queries_checked, &s.uptime_ms,       &s.boot_id};
    // Each field its own value: k32 + index, k64 + index.
    for (size_t i = 0; i < std::size(words); ++i) {
        *words[i] = k32 + static_cast<uint32_t>(i);
    }
    for (size_t i = 0; i < std::size(longs); ++i) {
        *longs[i] = k64 + i;
    }
    const auto p = encode(s);
    for (size_t i = 0; i < std::size(words); ++i) {
        EXPECT_EQ(be32_at(p, 4 * i), k32 + i) << "u32 field " << i;
    }
    for (size_t i = 0; i < std::size(longs); ++i) {
        EXPECT_EQ(be64_at(p, 24 + 8 * i), k64 + i) << "u64 field " << i;
    }

    const auto back = decode_status(p);
    ASSERT_TRUE(back);
    EXPECT_EQ(encode(*back), p);
}

template <auto Decode>
bool decodes(std::span<const uint8_t> payload) {
    return Decode(payload).has_value();
}

// A payload one byte short or long, or empty, is refused by every decoder;
// so are a hello of another version and a traffic request of an unknown
// action.
TEST(CardProtocol, RefusesWrongLengthsVersionsAndActions) {
    struct Case {
        const char *what;
        std::vector<uint8_t> payload;
        bool (*decodes)(std::span<const uint8_t>);
    };
    const auto hello = encode(Hello{kProtocolVersion, 1, 1, 100, 1, 0});
    const auto status = encode(Status{});
    const auto traffic = encode(TrafficRequest{TrafficAction::Rate, 5});
    auto with_first_word = [](auto bytes, uint8_t v) { // the version or the action
        std::vector<uint8_t> p(bytes.begin(), bytes.end());
        p[0] = p[1] = p[2] = 0;
        p[3] = v;
        return p;
    };
    auto resized = [](auto bytes, size_t len) {
        std::vector<uint8_t> p(bytes.begin(), bytes.end());
        p.resize(len);
        return p;
    };
    constexpr auto hello_ok = decodes<decode_hello>, status_ok = decodes<decode_status>,
                   traffic_ok = decodes<decode_traffic>, download_ok = decodes<decode_download>;
    const Case cases[] = {
        {"hello short", resized(hello, kHelloLen - 1), hello_ok},
        {"hello long", resized(hello, kHelloLen + 1), hello_ok},
        {"hello version 0", with_first_word(hello, 0), hello_ok},
        {"hello version 2", with_first_word(hello, 2), hello_ok},
        {"status short", resized(status, kStatusLen - 1), status_ok},
        {"status long", resized(status, kStatusLen + 1), status_ok},
        {"status empty", {}, status_ok},
        {"traffic short", resized(traffic, kTrafficLen - 1), traffic_ok},
        {"traffic long", resized(traffic, kTrafficLen + 1), traffic_ok},
        {"traffic action 0", with_first_word(traffic, 0), traffic_ok},
        {"traffic action 4", with_first_word(traffic, 4), traffic_ok},
        {"download short", std::vector<uint8_t>(3), download_ok},
        {"download long", std::vector<uint8_t>(5), download_ok},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(c.decodes(c.payload)) << c.what;
    }
    // The unaltered payloads decode: the refusals above are the alterations'.
    EXPECT_TRUE(hello_ok(hello));
    EXPECT_TRUE(status_ok(status));
    EXPECT_TRUE(traffic_ok(traffic));
    const uint8_t slot_word[] = {0x00, 0x00, 0x00, 0x07};
    EXPECT_EQ(decode_download(slot_word), 7u);
}

} // namespace
