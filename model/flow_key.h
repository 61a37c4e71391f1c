// A flow as the chassis names it: its granularity and key in the library's
// stored form (a domain flow keeps only the domain bytes of SID and DID, a
// VSAN flow has both 0). Shared by the supervisor, flowctl and the tests, so
// that every program parses, checks and prints flows one way.
#ifndef MODEL_FLOW_KEY_H
#define MODEL_FLOW_KEY_H

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace model {

enum class FlowType : uint32_t { Vsan = 1, Domain = 2, Exact = 3 }; // = FLOW_TYPE_*

struct FlowKey {
    FlowType type = FlowType::Vsan;
    uint32_t vsan = 0;
    uint32_t sid = 0;
    uint32_t did = 0;
    auto operator<=>(const FlowKey &) const = default;
};

inline constexpr uint32_t kMinVsan = 1;
inline constexpr uint32_t kMaxVsan = 4095;
inline constexpr uint32_t kMinFcid = 0x010000;
inline constexpr uint32_t kMaxFcid = 0xffffff;
inline constexpr uint32_t kDomainMask = 0x00ff0000;

// "vsan", "domain", "exact"; parse_type accepts exactly these.
const char *type_name(FlowType type);
std::optional<FlowType> parse_type(std::string_view name);

// Builds a key from operator input, reducing a domain flow's SID and DID to
// their domain bytes. Refuses (with *error set) a VSAN outside 1..4095 or an
// FC ID outside 0x010000..0xffffff.
std::optional<FlowKey> make_key(FlowType type, uint32_t vsan, uint32_t sid, uint32_t did,
                                std::string *error);
// Parses a number as the command lines take it: decimal or 0x-prefixed hex.
std::optional<uint64_t> parse_number(std::string_view text);
// "vsan V", "domain V SID DID" or "exact V SID DID" split into words.
std::optional<FlowKey> parse_flow_words(std::span<const std::string> words, std::string *error);

// "0x%06x".
std::string fcid_hex(uint32_t fcid);
// For tables: "0x%06x", except a domain flow's "0x12xxxx".
std::string fcid_text(FlowType type, uint32_t fcid);
// "exact 10 0x010101 0x020202" (parse_flow_words reads it back).
std::string to_string(const FlowKey &key);

// Whether every frame of fine falls inside coarse, a different flow: the
// library's coverage relation.
bool covers(const FlowKey &coarse, const FlowKey &fine);

// The 184-byte request payload for one flow, built by offset as a foreign
// requester does. msg_type: 1 query, 3 add, 4 remove. The opaque header's
// first word carries tag, which every reply echoes.
std::array<uint8_t, 184> request_payload(int32_t msg_type, const FlowKey &key, uint32_t tag);

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

// The flow a request or reply payload names, decoded as the library decodes
// it; nullopt when the library would refuse the body.
std::optional<FlowKey> key_of_payload(std::span<const uint8_t> payload);

// A status code's short name ("COUNTERS_EXHAUSTED", "ok" for 0) and the
// operator's text ("counters exhausted (0x404e003a)").
std::string status_name(uint32_t code);
std::string status_text(uint32_t code);

} // namespace model

#endif // MODEL_FLOW_KEY_H
