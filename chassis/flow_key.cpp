// Flow keys as the chassis names them, the request payloads built from them
// and the replies read back, and the operator's names for status codes.
//
// Payloads are built and read by offset (linecard/wire.h), as a foreign
// requester does, never through the library's structs.

#include "flow_key.h"

#include <charconv>
#include <cstdio>

#include "acl_tcam_flow_stats.h"
#include "wire.h"

namespace chassis {

namespace {

struct TypeName {
    FlowType type;
    const char *name;
};
constexpr TypeName kTypeNames[] = {
    {FlowType::Vsan, "vsan"},
    {FlowType::Domain, "domain"},
    {FlowType::Exact, "exact"},
};

// Every code a card can answer with that the library defines; a host
// callback's own code has no name and is shown by number.
struct StatusName {
    uint32_t code;
    const char *name; // the library's name without its ACL_TCAM_FS_ERR_ prefix
    const char *text; // what an operator reads
};
constexpr StatusName kStatusNames[] = {
    {0, "ok", "ok"},
    {ACL_TCAM_FS_ERR_INVALID_ARG, "INVALID_ARG", "invalid request"},
    {ACL_TCAM_FS_ERR_NULL_PAYLOAD, "NULL_PAYLOAD", "request without payload"},
    {ACL_TCAM_FS_ERR_FLOW_EXISTS, "FLOW_EXISTS", "flow exists"},
    {ACL_TCAM_FS_ERR_NO_ENTRY, "NO_ENTRY", "no such flow"},
    {ACL_TCAM_FS_ERR_INVALID_INDEX, "INVALID_INDEX", "invalid index"},
    {ACL_TCAM_FS_ERR_REGION_NOT_INIT, "REGION_NOT_INIT", "TCAM region not ready"},
    {ACL_TCAM_FS_ERR_NO_MEMORY, "NO_MEMORY", "out of memory"},
    {ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED, "COUNTERS_EXHAUSTED", "counters exhausted"},
    {ACL_TCAM_FS_ERR_NO_CALLBACK, "NO_CALLBACK", "host callback missing"},
    {ACL_TCAM_FS_ERR_INIT_ARGS, "INIT_ARGS", "invalid counter range"},
};

const StatusName *find_status(uint32_t code) {
    for (const StatusName &s : kStatusNames) {
        if (s.code == code) {
            return &s;
        }
    }
    return nullptr;
}

std::string hex_code(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", code);
    return text;
}

bool fcid_ok(uint32_t fcid) {
    return fcid >= kMinFcid && fcid <= kMaxFcid;
}

} // namespace

const char *type_name(FlowType type) {
    for (const TypeName &t : kTypeNames) {
        if (t.type == type) {
            return t.name;
        }
    }
    return "?";
}

std::optional<FlowType> parse_type(std::string_view name) {
    for (const TypeName &t : kTypeNames) {
        if (name == t.name) {
            return t.type;
        }
    }
    return std::nullopt;
}

std::optional<FlowKey> make_key(FlowType type, uint32_t vsan, uint32_t sid, uint32_t did,
                                std::string *error) {
    auto fail = [&](const std::string &why) -> std::optional<FlowKey> {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    if (vsan < kMinVsan || vsan > kMaxVsan) {
        return fail("VSAN " + std::to_string(vsan) + " outside 1..4095");
    }
    switch (type) {
    case FlowType::Vsan:
        return FlowKey{type, vsan, 0, 0};
    case FlowType::Domain:
    case FlowType::Exact:
        break;
    default:
        return fail("unknown flow type");
    }
    if (!fcid_ok(sid)) {
        return fail("SID " + fcid_hex(sid) + " outside 0x010000..0xffffff");
    }
    if (!fcid_ok(did)) {
        return fail("DID " + fcid_hex(did) + " outside 0x010000..0xffffff");
    }
    if (type == FlowType::Domain) {
        return FlowKey{type, vsan, sid & kDomainMask, did & kDomainMask};
    }
    return FlowKey{type, vsan, sid, did};
}

std::optional<uint64_t> parse_number(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<FlowKey> parse_flow_words(std::span<const std::string> words, std::string *error) {
    auto fail = [&](const std::string &why) -> std::optional<FlowKey> {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    constexpr const char *kUsage = "expected: vsan V | domain V SID DID | exact V SID DID";
    if (words.empty()) {
        return fail(kUsage);
    }
    const std::optional<FlowType> type = parse_type(words[0]);
    if (!type) {
        return fail("unknown flow type '" + words[0] + "'; " + kUsage);
    }
    const size_t want = *type == FlowType::Vsan ? 2 : 4;
    if (words.size() != want) {
        return fail(std::string(kUsage));
    }
    uint32_t values[3] = {0, 0, 0};
    for (size_t i = 1; i < want; ++i) {
        const std::optional<uint64_t> n = parse_number(words[i]);
        if (!n || *n > UINT32_MAX) {
            return fail("not a number: '" + words[i] + "'");
        }
        values[i - 1] = static_cast<uint32_t>(*n);
    }
    return make_key(*type, values[0], values[1], values[2], error);
}

std::string fcid_hex(uint32_t fcid) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06x", fcid);
    return text;
}

std::string fcid_text(FlowType type, uint32_t fcid) {
    if (type != FlowType::Domain) {
        return fcid_hex(fcid);
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%02xxxxx", (fcid & kDomainMask) >> 16);
    return text;
}

std::string to_string(const FlowKey &key) {
    std::string text = std::string(type_name(key.type)) + " " + std::to_string(key.vsan);
    if (key.type != FlowType::Vsan) {
        text += " " + fcid_hex(key.sid) + " " + fcid_hex(key.did);
    }
    return text;
}

bool covers(const FlowKey &coarse, const FlowKey &fine) {
    if (coarse.vsan != fine.vsan || coarse.type >= fine.type) {
        return false;
    }
    return coarse.type == FlowType::Vsan || ((fine.sid & kDomainMask) == coarse.sid &&
                                             (fine.did & kDomainMask) == coarse.did);
}

std::array<uint8_t, 184> request_payload(int32_t msg_type, const FlowKey &key, uint32_t tag) {
    using namespace wire;
    static_assert(ACL_TCAM_FS_CMI_LEN == 184);
    std::array<uint8_t, 184> p{};
    put_be32(&p[kMsgTypeAt], static_cast<uint32_t>(msg_type));
    put_be32(&p[kOpaqueHeaderAt], tag);
    put_be32(&p[kIndexAt], 1);
    put_be32(&p[kVsanAt], key.vsan);
    if (key.type == FlowType::Vsan) {
        p[kFlowTypeAt] = ACL_TCAM_FS_REQ_FLOW_VSAN;
        return p;
    }
    p[kFlowTypeAt] = ACL_TCAM_FS_REQ_FLOW_SID_DID;
    put_be32(&p[kSidAt], key.sid);
    put_be32(&p[kDidAt], key.did);
    put_be32(&p[kMaskAt], key.type == FlowType::Domain ? ACL_TCAM_FS_REQ_MASK_DOMAIN
                                                       : ACL_TCAM_FS_REQ_MASK_EXACT);
    return p;
}

std::optional<FlowReply> decode_reply(std::span<const uint8_t> payload) {
    if (payload.size() != ACL_TCAM_FS_CMI_LEN && payload.size() != ACL_TCAM_FS_CMI_HEADER_LEN) {
        return std::nullopt;
    }
    FlowReply r;
    r.status = wire::get_be32(&payload[wire::kStatusAt]);
    r.tag = wire::get_be32(&payload[wire::kOpaqueHeaderAt]);
    r.full = payload.size() == ACL_TCAM_FS_CMI_LEN;
    if (r.full) {
        r.frames = wire::get_be64(&payload[wire::kFramesAt]);
        r.bytes = wire::get_be64(&payload[wire::kBytesAt]);
    }
    return r;
}

std::optional<FlowKey> key_of_payload(std::span<const uint8_t> payload) {
    using namespace wire;
    if (payload.size() < ACL_TCAM_FS_CMI_LEN || get_be32(&payload[kIndexAt]) == 0) {
        return std::nullopt;
    }
    const uint32_t vsan = get_be32(&payload[kVsanAt]);
    switch (payload[kFlowTypeAt]) {
    case ACL_TCAM_FS_REQ_FLOW_VSAN:
        return make_key(FlowType::Vsan, vsan, 0, 0, nullptr);
    case ACL_TCAM_FS_REQ_FLOW_SID_DID:
        break;
    default:
        return std::nullopt;
    }
    const uint32_t mask = get_be32(&payload[kMaskAt]);
    const FlowType type = mask == ACL_TCAM_FS_REQ_MASK_DOMAIN  ? FlowType::Domain
                          : mask == ACL_TCAM_FS_REQ_MASK_EXACT ? FlowType::Exact
                                                               : FlowType{0};
    if (type == FlowType{0}) {
        return std::nullopt;
    }
    return make_key(type, vsan, get_be32(&payload[kSidAt]), get_be32(&payload[kDidAt]), nullptr);
}

std::string status_name(uint32_t code) {
    const StatusName *s = find_status(code);
    return s != nullptr ? s->name : hex_code(code);
}

std::string status_text(uint32_t code) {
    const StatusName *s = find_status(code);
    if (code == 0) {
        return "ok";
    }
    return std::string(s != nullptr ? s->text : "refused") + " (" + hex_code(code) + ")";
}

} // namespace chassis
