// A flow as the chassis names it: its granularity and key in the library's
// stored form (a domain flow keeps only the domain bytes of SID and DID, a
// VSAN flow has both 0). Shared by the supervisor, flowctl and the tests, so
// that every program parses, checks and prints flows one way.
#ifndef MODEL_FLOW_KEY_H
#define MODEL_FLOW_KEY_H

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"

namespace model {

enum class FlowType : uint32_t { Vsan = 1, Domain = 2, Exact = 3 }; // = FLOW_TYPE_*

struct FlowKey {
    FlowType type = FlowType::Vsan;
    uint32_t vsan = 0;
    uint32_t sid = 0;
    uint32_t did = 0;
    bool operator==(const FlowKey &) const = default;
    // The library's key order, the one order of the whole system: type (its
    // bitmask nests, so coarser types first), VSAN, DID, SID. The library's
    // display, the store and every listing use it.
    std::strong_ordering operator<=>(const FlowKey &other) const {
        if (auto c = type <=> other.type; c != 0) {
            return c;
        }
        if (auto c = vsan <=> other.vsan; c != 0) {
            return c;
        }
        if (auto c = did <=> other.did; c != 0) {
            return c;
        }
        return sid <=> other.sid;
    }
};

// The ranges the library accepts, from the wire helper it shares them with.
inline constexpr uint32_t kMinVsan = ACL_TCAM_WIRE_VSAN_MIN;
inline constexpr uint32_t kMaxVsan = ACL_TCAM_WIRE_VSAN_MAX;
inline constexpr uint32_t kMinFcid = ACL_TCAM_WIRE_FCID_MIN;
inline constexpr uint32_t kMaxFcid = ACL_TCAM_WIRE_FCID_MAX;
inline constexpr uint32_t kDomainMask = FLOW_DOMAIN_MASK;

// "vsan", "domain", "exact"; parse_type accepts exactly these.
const char *type_name(FlowType type);
std::optional<FlowType> parse_type(std::string_view name);

// Whether key is one the library could store: VSAN and FC IDs in range, a
// domain flow's SID and DID reduced to their domain byte, a VSAN flow's both 0.
// What a key read from outside (a database, a card's display) must pass.
bool is_stored_form(const FlowKey &key);

// Builds a key from operator input, reducing a domain flow's SID and DID to
// their domain bytes. Refuses (with *error set) a VSAN outside 1..4095 or an
// FC ID outside 0x010000..0xffffff.
std::optional<FlowKey> make_key(FlowType type, uint32_t vsan, uint32_t sid, uint32_t did,
                                std::string *error);
// Parses a number as the command lines take it: decimal or 0x-prefixed hex.
std::optional<uint64_t> parse_number(std::string_view text);
// "vsan V", "domain V SID DID" or "exact V SID DID" split into words.
std::optional<FlowKey> parse_flow_words(std::span<const std::string> words, std::string *error);

// A flow's name, which the operator gives it: 1 to 64 letters, digits and
// ". _ : / -", so that it stays one word in a flow-set file and a table, and
// needs no escaping as a Prometheus label.
inline constexpr size_t kMaxFlowName = 64;
bool is_flow_name(std::string_view name);

// "0x%06x".
std::string fcid_hex(uint32_t fcid);
// For tables: "0x%06x", except a domain flow's "0x12xxxx".
std::string fcid_text(FlowType type, uint32_t fcid);
// "exact 10 0x010101 0x020202" (parse_flow_words reads it back).
std::string to_string(const FlowKey &key);

// Whether every frame of fine falls inside coarse, a different flow: the
// library's coverage relation.
bool covers(const FlowKey &coarse, const FlowKey &fine);

} // namespace model

#endif // MODEL_FLOW_KEY_H
