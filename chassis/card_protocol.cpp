// Encoding and decoding of the card's own payloads (hello, status, traffic)
// and of the library's download request. Every field is written and read by
// offset, big-endian; a decoder takes only a payload of exactly its length.

#include "card_protocol.h"

#include <cinttypes>
#include <cstdio>

#include "acl_tcam_flow_wire.h"
#include "slot_range.h"

namespace card_protocol {

// Flow-set files check slots against the model's range, which takes nothing
// from the chassis.
static_assert(kMinSlot == model::kMinSlot && kMaxSlot == model::kMaxSlot);

std::string boot_id_text(uint64_t boot_id) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, boot_id);
    return text;
}

namespace {

// The card protocol is big-endian like the library's payloads: one set of
// field helpers for both.
constexpr auto get_be32 = acl_tcam_wire_get_be32;
constexpr auto get_be64 = acl_tcam_wire_get_be64;
constexpr auto put_be32 = acl_tcam_wire_put_be32;
constexpr auto put_be64 = acl_tcam_wire_put_be64;

// Offsets of the hello.
constexpr size_t kHelloVersionAt = 0;
constexpr size_t kHelloSlotAt = 4;
constexpr size_t kHelloFirstAt = 8;
constexpr size_t kHelloSizeAt = 12;
constexpr size_t kHelloBootIdAt = 16;
constexpr size_t kHelloFlagsAt = 24;

// Offsets of the status.
constexpr size_t kStatusSlotAt = 0;
constexpr size_t kStatusFlowsAt = 4;
constexpr size_t kStatusCountersUsedAt = 8;
constexpr size_t kStatusFirstAt = 12;
constexpr size_t kStatusSizeAt = 16;
constexpr size_t kStatusTrafficFlagsAt = 20;
constexpr size_t kStatusPpsAt = 24;
constexpr size_t kStatusFramesAt = 32;
constexpr size_t kStatusBytesAt = 40;
constexpr size_t kStatusMismatchesAt = 48;
constexpr size_t kStatusQueriesAt = 56;
constexpr size_t kStatusUptimeAt = 64;
constexpr size_t kStatusBootIdAt = 72;

// Offsets of the traffic request.
constexpr size_t kTrafficActionAt = 0;
constexpr size_t kTrafficPpsAt = 8;

} // namespace

std::array<uint8_t, kHelloLen> encode(const Hello &hello) {
    std::array<uint8_t, kHelloLen> p{};
    put_be32(&p[kHelloVersionAt], hello.version);
    put_be32(&p[kHelloSlotAt], hello.slot);
    put_be32(&p[kHelloFirstAt], hello.first_counter);
    put_be32(&p[kHelloSizeAt], hello.table_size);
    put_be64(&p[kHelloBootIdAt], hello.boot_id);
    put_be32(&p[kHelloFlagsAt], hello.flags);
    return p;
}

std::optional<Hello> decode_hello(std::span<const uint8_t> payload) {
    if (payload.size() != kHelloLen || get_be32(&payload[kHelloVersionAt]) != kProtocolVersion) {
        return std::nullopt;
    }
    Hello h;
    h.version = kProtocolVersion;
    h.slot = get_be32(&payload[kHelloSlotAt]);
    h.first_counter = get_be32(&payload[kHelloFirstAt]);
    h.table_size = get_be32(&payload[kHelloSizeAt]);
    h.boot_id = get_be64(&payload[kHelloBootIdAt]);
    h.flags = get_be32(&payload[kHelloFlagsAt]);
    return h;
}

std::optional<uint32_t> decode_download(std::span<const uint8_t> payload) {
    uint32_t slot = 0;
    if (acl_tcam_wire_decode_download(payload.data(), payload.size(), &slot) != 0) {
        return std::nullopt;
    }
    return slot;
}

std::array<uint8_t, kStatusLen> encode(const Status &s) {
    std::array<uint8_t, kStatusLen> p{};
    put_be32(&p[kStatusSlotAt], s.slot);
    put_be32(&p[kStatusFlowsAt], s.flows);
    put_be32(&p[kStatusCountersUsedAt], s.counters_used);
    put_be32(&p[kStatusFirstAt], s.first_counter);
    put_be32(&p[kStatusSizeAt], s.table_size);
    put_be32(&p[kStatusTrafficFlagsAt], s.traffic_flags);
    put_be64(&p[kStatusPpsAt], s.traffic_pps);
    put_be64(&p[kStatusFramesAt], s.frames_injected);
    put_be64(&p[kStatusBytesAt], s.bytes_injected);
    put_be64(&p[kStatusMismatchesAt], s.mismatches);
    put_be64(&p[kStatusQueriesAt], s.queries_checked);
    put_be64(&p[kStatusUptimeAt], s.uptime_ms);
    put_be64(&p[kStatusBootIdAt], s.boot_id);
    return p;
}

std::optional<Status> decode_status(std::span<const uint8_t> payload) {
    if (payload.size() != kStatusLen) {
        return std::nullopt;
    }
    const uint8_t *p = payload.data();
    Status s;
    s.slot = get_be32(p + kStatusSlotAt);
    s.flows = get_be32(p + kStatusFlowsAt);
    s.counters_used = get_be32(p + kStatusCountersUsedAt);
    s.first_counter = get_be32(p + kStatusFirstAt);
    s.table_size = get_be32(p + kStatusSizeAt);
    s.traffic_flags = get_be32(p + kStatusTrafficFlagsAt);
    s.traffic_pps = get_be64(p + kStatusPpsAt);
    s.frames_injected = get_be64(p + kStatusFramesAt);
    s.bytes_injected = get_be64(p + kStatusBytesAt);
    s.mismatches = get_be64(p + kStatusMismatchesAt);
    s.queries_checked = get_be64(p + kStatusQueriesAt);
    s.uptime_ms = get_be64(p + kStatusUptimeAt);
    s.boot_id = get_be64(p + kStatusBootIdAt);
    return s;
}

std::array<uint8_t, kTrafficLen> encode(const TrafficRequest &request) {
    std::array<uint8_t, kTrafficLen> p{};
    put_be32(&p[kTrafficActionAt], static_cast<uint32_t>(request.action));
    put_be64(&p[kTrafficPpsAt], request.pps);
    return p;
}

std::optional<TrafficRequest> decode_traffic(std::span<const uint8_t> payload) {
    if (payload.size() != kTrafficLen) {
        return std::nullopt;
    }
    const uint32_t action = get_be32(&payload[kTrafficActionAt]);
    if (action < static_cast<uint32_t>(TrafficAction::Pause) ||
        action > static_cast<uint32_t>(TrafficAction::Rate)) {
        return std::nullopt;
    }
    return TrafficRequest{static_cast<TrafficAction>(action), get_be64(&payload[kTrafficPpsAt])};
}

} // namespace card_protocol
