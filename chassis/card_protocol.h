// What the supervisor and a line card say to each other over the message
// service (vexa_socket.h frames): opcodes, addresses and the payloads of the
// card's own messages. The flow requests and their replies are the library's
// own 184/112-byte payloads (acl_tcam_flow_wire.h has their offsets); display
// chunks are the library's 120,652-byte display reply. All integers are
// big-endian. docs/wire-format.md documents every layout here.
//
// A connection from a card always starts with CARD_HELLO. The supervisor
// answers nothing to it; it then either waits for the library's download
// request (hello flag kHelloFresh: the card has just initialised its
// library) or reconciles the card's table with the configuration (no flag:
// the card kept its flows across a supervisor restart).
#ifndef CHASSIS_CARD_PROTOCOL_H
#define CHASSIS_CARD_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "vexa.h"

namespace card_protocol {

// ---- Opcodes ------------------------------------------------------------------

inline constexpr uint32_t kOpReply = 0;      // every answer: library replies, chunks, card answers
inline constexpr uint32_t kOpDownload = 565; // card -> sup: the library's initial download request
inline constexpr uint32_t kOpHello = 1001;   // card -> sup: first frame of every connection
inline constexpr uint32_t kOpFlowRequest = 1002;    // sup -> card: a 184-byte flow request
inline constexpr uint32_t kOpDisplayRequest = 1003; // sup -> card: empty; answered by chunks
inline constexpr uint32_t kOpStatusRequest = 1004;  // sup -> card: empty; answered by a Status
inline constexpr uint32_t kOpTrafficRequest =
    1005; // sup -> card: a TrafficRequest; answered by a Status

// ---- Addresses ----------------------------------------------------------------

// The library sends its download request to {0xfe000001, 25} and its replies
// to {0xfe000000, 0} ("whoever sent the request"): the supervisor's flow
// manager is node 0xfe000001, endpoint 25. A card is node SLOT, endpoint 1.
inline constexpr vexa_addr_t kSupervisorAddr{0xfe000001u, 25};
inline constexpr vexa_addr_t kReplyAddr{0xfe000000u, 0};
inline constexpr uint32_t kCardEndpoint = 1;
inline constexpr vexa_addr_t card_addr(uint32_t slot) {
    return {slot, kCardEndpoint};
}

// Slots a card may claim (the flow model has the same range: checked in
// card_protocol.cpp).
inline constexpr uint32_t kMinSlot = 1;
inline constexpr uint32_t kMaxSlot = 64;

// ---- CARD_HELLO (32 bytes) ----------------------------------------------------
//  0 u32 protocol version (1)   4 u32 slot   8 u32 first counter id
// 12 u32 counter table size    16 u64 boot id (random, per process start)
// 24 u32 flags                 28 u32 reserved (0)
inline constexpr uint32_t kProtocolVersion = 1;
inline constexpr uint32_t kHelloFresh = 1; // library initialised on this connection
inline constexpr size_t kHelloLen = 32;
struct Hello {
    uint32_t version = kProtocolVersion;
    uint32_t slot = 0;
    uint32_t first_counter = 0;
    uint32_t table_size = 0;
    uint64_t boot_id = 0;
    uint32_t flags = 0;
};
std::array<uint8_t, kHelloLen> encode(const Hello &hello);
// A boot id as logs and answers show it: 16 hex digits.
std::string boot_id_text(uint64_t boot_id);
std::optional<Hello> decode_hello(std::span<const uint8_t> payload); // exact length, version 1

// ---- Download request (the library's, 4 bytes) ----------------------------------
// The slot number as the card service wrote it (big-endian u32), byte 1 forced
// to 0 by the library.
std::optional<uint32_t> decode_download(std::span<const uint8_t> payload);

// ---- STATUS reply (80 bytes) --------------------------------------------------
//  0 u32 slot          4 u32 flows        8 u32 counters used
// 12 u32 first counter 16 u32 table size 20 u32 traffic flags (bit 0: paused)
// 24 u64 traffic pps   32 u64 frames injected  40 u64 bytes injected
// 48 u64 mismatches    56 u64 queries checked  64 u64 uptime ms  72 u64 boot id
inline constexpr size_t kStatusLen = 80;
inline constexpr uint32_t kTrafficPaused = 1;
struct Status {
    uint32_t slot = 0;
    uint32_t flows = 0;
    uint32_t counters_used = 0;
    uint32_t first_counter = 0;
    uint32_t table_size = 0;
    uint32_t traffic_flags = 0;
    uint64_t traffic_pps = 0;
    uint64_t frames_injected = 0;
    uint64_t bytes_injected = 0;
    uint64_t mismatches = 0;
    uint64_t queries_checked = 0;
    uint64_t uptime_ms = 0;
    uint64_t boot_id = 0;
};
std::array<uint8_t, kStatusLen> encode(const Status &status);
std::optional<Status> decode_status(std::span<const uint8_t> payload);

// ---- TRAFFIC request (16 bytes) ------------------------------------------------
//  0 u32 action   4 u32 reserved (0)   8 u64 pps (action kTrafficRate only)
enum class TrafficAction : uint32_t { Pause = 1, Resume = 2, Rate = 3 };
inline constexpr size_t kTrafficLen = 16;
struct TrafficRequest {
    TrafficAction action = TrafficAction::Pause;
    uint64_t pps = 0;
};
std::array<uint8_t, kTrafficLen> encode(const TrafficRequest &request);
std::optional<TrafficRequest> decode_traffic(std::span<const uint8_t> payload);

} // namespace card_protocol

#endif // CHASSIS_CARD_PROTOCOL_H
