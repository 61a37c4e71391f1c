// Request and reply payloads (see request.h). Everything is read and written
// with the wire helper, by offset, never through the library's structs.
#include "request.h"

namespace model {

std::array<uint8_t, ACL_TCAM_FS_CMI_LEN> request_payload(int32_t msg_type, const FlowKey &key,
                                                         uint32_t tag, int32_t index) {
    const acl_tcam_wire_request_t r = acl_tcam_wire_flow_request(
        msg_type, static_cast<uint32_t>(key.type), key.vsan, key.sid, key.did, index);
    std::array<uint8_t, ACL_TCAM_FS_CMI_LEN> p{};
    acl_tcam_wire_encode_request(p.data(), &r);
    acl_tcam_wire_put_tag(p.data(), tag);
    return p;
}

DecodedRequest decode_request(std::span<const uint8_t> payload) {
    const auto refused = [](uint32_t code) { return DecodedRequest{code, {}}; };
    const auto field = [&](uint32_t at) { return acl_tcam_wire_get_be32(&payload[at]); };
    if (payload.size() < ACL_TCAM_FS_CMI_LEN) {
        return refused(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    if (field(ACL_TCAM_WIRE_INDEX_AT) == 0) {
        return refused(ACL_TCAM_FS_ERR_INVALID_INDEX);
    }
    // Every other refusal carries one code, so the order below only has to
    // keep the zero index first.
    const uint32_t vsan = field(ACL_TCAM_WIRE_VSAN_AT);
    if (vsan < kMinVsan || vsan > kMaxVsan) {
        return refused(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    switch (payload[ACL_TCAM_WIRE_FLOW_TYPE_AT]) {
    case ACL_TCAM_FS_REQ_FLOW_VSAN:
        return {0, {FlowType::Vsan, vsan, 0, 0}};
    case ACL_TCAM_FS_REQ_FLOW_SID_DID:
        break;
    default:
        return refused(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    const uint32_t sid = field(ACL_TCAM_WIRE_SID_AT);
    const uint32_t did = field(ACL_TCAM_WIRE_DID_AT);
    const auto fcid_ok = [](uint32_t id) { return id >= kMinFcid && id <= kMaxFcid; };
    if (!fcid_ok(sid) || !fcid_ok(did)) {
        return refused(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    switch (field(ACL_TCAM_WIRE_MASK_AT)) {
    case ACL_TCAM_FS_REQ_MASK_DOMAIN:
        return {0, {FlowType::Domain, vsan, sid & kDomainMask, did & kDomainMask}};
    case ACL_TCAM_FS_REQ_MASK_EXACT:
        return {0, {FlowType::Exact, vsan, sid, did}};
    default:
        return refused(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
}

std::optional<FlowReply> decode_reply(std::span<const uint8_t> payload) {
    acl_tcam_wire_reply_t r{};
    if (acl_tcam_wire_decode_reply(payload.data(), payload.size(), &r) != 0) {
        return std::nullopt;
    }
    return FlowReply{r.status, r.full != 0, r.frames, r.bytes, r.tag};
}

} // namespace model
