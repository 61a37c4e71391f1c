// Request and reply payloads as a foreign requester builds and reads them,
// and the one decoder of a request body that predicts the library's answer.
//
// Invariant: decode_request accepts exactly the bodies the library accepts,
// checks in the library's order (so the refusal code is the library's), and
// gives the flow in the library's stored form. The line card's expectations,
// the fuzzers' oracle and the card daemon's bookkeeping all use it.
#ifndef MODEL_REQUEST_H
#define MODEL_REQUEST_H

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "flow_key.h"

namespace model {

// The 184-byte request payload for one flow, built by offset. msg_type: 1
// query, 3 add, 4 remove. The opaque header's first word carries tag, which
// every reply echoes. The key's fields go out as they are (a domain flow may
// carry whole FC IDs; the library keeps their domain bytes).
std::array<uint8_t, ACL_TCAM_FS_CMI_LEN> request_payload(int32_t msg_type, const FlowKey &key,
                                                         uint32_t tag, int32_t index = 1);

// What the library makes of a request payload before it looks at its table:
// the flow, or the code it refuses the request with (a payload shorter than
// a request included).
struct DecodedRequest {
    uint32_t refusal = 0; // 0: accepted, key holds the flow
    FlowKey key;
};
DecodedRequest decode_request(std::span<const uint8_t> payload);

// What a reply to a flow request says: status (0 in a full reply) and, in a
// full reply, the totals. nullopt for a payload that is no reply (length
// other than 112 or 184).
struct FlowReply {
    uint32_t status = 0;
    bool full = false;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint32_t tag = 0;
};
std::optional<FlowReply> decode_reply(std::span<const uint8_t> payload);

} // namespace model

#endif // MODEL_REQUEST_H
