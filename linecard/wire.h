// The library's messages as a requester sees them: byte offsets and
// big-endian fields. Host-side code (the line-card host, the fuzzer, the
// tests, the benchmarks) builds and reads payloads with these, never with the
// library's own structs, as a foreign requester would.
#ifndef LINECARD_WIRE_H
#define LINECARD_WIRE_H

#include <cstddef>
#include <cstdint>

namespace wire {

// The 184-byte request and reply payload.
inline constexpr size_t kMsgTypeAt = 0;
inline constexpr size_t kAuxAt = 4;
inline constexpr size_t kStatusAt = 8;
inline constexpr size_t kOpaqueHeaderAt = 12; // 100 bytes, carried back in every reply
inline constexpr size_t kIndexAt = 124;
inline constexpr size_t kFlowTypeAt = 128;
inline constexpr size_t kVsanAt = 132;
inline constexpr size_t kDidAt = 136;
inline constexpr size_t kSidAt = 140;
inline constexpr size_t kMaskAt = 144;
inline constexpr size_t kFramesAt = 152;
inline constexpr size_t kBytesAt = 160;

// A display chunk.
inline constexpr size_t kLastChunkAt = 12;
inline constexpr size_t kTextLenAt = 16;
inline constexpr size_t kTextAt = 20;

inline void put_be32(uint8_t *at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
}

inline uint32_t get_be32(const uint8_t *at) {
    return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

inline uint64_t get_be64(const uint8_t *at) {
    return uint64_t{get_be32(at)} << 32 | get_be32(at + 4);
}

} // namespace wire

#endif // LINECARD_WIRE_H
