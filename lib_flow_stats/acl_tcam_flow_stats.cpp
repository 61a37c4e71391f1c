// The request message front end: decoding of flow requests, dispatch to the
// flow operations, and the replies.
//
// A request payload is a 184-byte flow_stats_cmi_t, big-endian on every host:
// a 112-byte header and a 72-byte body. Fields are read and written in place
// at their offsets; every byte the library does not own goes back to the
// requester unchanged. A short reply is the header alone (on the stack), a
// full reply the whole payload (allocated through the memory tracker).

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "byte_order.h"
#include "fs_internal.h"
#include "vexa.h"

using namespace acl_tcam;

namespace {

// The request body's fields, at their payload offsets less the header.
constexpr uint32_t body_at(uint32_t payload_offset) {
    return payload_offset - ACL_TCAM_FS_CMI_BODY_OFFSET;
}
constexpr uint32_t kIndexAt = body_at(ACL_TCAM_WIRE_INDEX_AT);
constexpr uint32_t kFlowTypeAt = body_at(ACL_TCAM_WIRE_FLOW_TYPE_AT);
constexpr uint32_t kVsanAt = body_at(ACL_TCAM_WIRE_VSAN_AT);
constexpr uint32_t kDidAt = body_at(ACL_TCAM_WIRE_DID_AT);
constexpr uint32_t kSidAt = body_at(ACL_TCAM_WIRE_SID_AT);
constexpr uint32_t kMaskAt = body_at(ACL_TCAM_WIRE_MASK_AT);

constexpr vexa_addr_t kReplyDestination{0xfe000000u, 0};
constexpr uint32_t kReplyOpcode = 0;

// Valid FC IDs (and SID/DID masks) lie in this range, so their domain byte
// is never 0.
bool fcid_in_range(uint32_t value) {
    return value >= ACL_TCAM_WIRE_FCID_MIN && value <= ACL_TCAM_WIRE_FCID_MAX;
}

const uint8_t *payload_of(const vexa_msg_t *msg) {
    return msg != nullptr ? static_cast<const uint8_t *>(vexa_payload_get(msg)) : nullptr;
}

uint32_t payload_size_of(const vexa_msg_t *msg) {
    return msg != nullptr ? vexa_payload_size(msg) : 0;
}

// Copies up to len bytes of the payload into the zero-filled reply; a payload
// shorter than the reply leaves the rest zero.
void copy_payload(uint8_t *reply, uint32_t len, const vexa_msg_t *msg, const uint8_t *payload) {
    std::memcpy(reply, payload, std::min(len, payload_size_of(msg)));
}

int send_reply(uint32_t handle, const vexa_msg_t *msg, const uint8_t *reply, uint32_t len) {
    return vexa_send(handle, &kReplyDestination, kReplyOpcode, reply, len, 0, msg, 0);
}

} // namespace

uint32_t acl_tcam_build_flow_request(const void *body, flow_t *record) {
    if (body == nullptr || record == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_build_flow_request: NULL Pointer Use.\n");
        return ACL_TCAM_FS_ERR_INVALID_ARG;
    }
    *record = flow_t{};
    const auto *in = static_cast<const uint8_t *>(body);

    if (load_be32(in + kIndexAt) == 0) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid index %d\n", 0);
        return ACL_TCAM_FS_ERR_INVALID_INDEX;
    }
    // One unsigned comparison: vsan_id 0 wraps and fails.
    const uint32_t vsan = load_be32(in + kVsanAt);
    if (vsan - ACL_TCAM_WIRE_VSAN_MIN > ACL_TCAM_WIRE_VSAN_MAX - ACL_TCAM_WIRE_VSAN_MIN) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid vsan_id %d.\n",
               static_cast<int32_t>(vsan));
        return ACL_TCAM_FS_ERR_INVALID_ARG;
    }
    const uint8_t flow_type = in[kFlowTypeAt];
    if (flow_type == ACL_TCAM_FS_REQ_FLOW_VSAN) {
        record->type = FLOW_TYPE_VSAN;
        record->vsan = vsan;
        record->bitmask = FLOW_MASK_VSAN;
        return 0;
    }
    if (flow_type != ACL_TCAM_FS_REQ_FLOW_SID_DID) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid flow_type %d.\n",
               flow_type);
        return ACL_TCAM_FS_ERR_INVALID_ARG;
    }
    record->vsan = vsan;
    const uint32_t sid = load_be32(in + kSidAt);
    const uint32_t did = load_be32(in + kDidAt);
    const uint32_t mask = load_be32(in + kMaskAt);
    if (!fcid_in_range(sid) || !fcid_in_range(did) || !fcid_in_range(mask)) {
        return ACL_TCAM_FS_ERR_INVALID_ARG;
    }
    switch (mask) {
    case ACL_TCAM_FS_REQ_MASK_DOMAIN:
        record->type = FLOW_TYPE_DOMAIN;
        record->sid = sid & FLOW_DOMAIN_MASK;
        record->did = did & FLOW_DOMAIN_MASK;
        record->bitmask = FLOW_MASK_DOMAIN;
        return 0;
    case ACL_TCAM_FS_REQ_MASK_EXACT:
        record->type = FLOW_TYPE_SID_DID;
        record->sid = sid;
        record->did = did;
        record->bitmask = FLOW_MASK_SID_DID;
        return 0;
    default:
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid Mask 0x%x\n", mask);
        return ACL_TCAM_FS_ERR_INVALID_ARG;
    }
}

namespace {

// Answers a refused request with a short reply carrying the code.
uint32_t refuse_request(uint32_t handle, const vexa_msg_t *msg, uint32_t code) {
    acl_tcam_cmi_resp(handle, msg, code);
    return code;
}

// Before the TCAM region is ready a query is answered with zero totals and
// anything else is refused.
uint32_t answer_before_region_ready(uint32_t handle, const vexa_msg_t *msg, int32_t msg_type,
                                    flow_t *request) {
    if (msg_type == ACL_TCAM_FS_MSG_GET || msg_type == ACL_TCAM_FS_MSG_GET_ALT) {
        *request = flow_t{};
        const uint64_t totals[2] = {request->pos_frames, request->pos_bytes};
        acl_tcam_cmi_resp_data(handle, msg, totals);
        return ACL_TCAM_FS_ERR_REGION_NOT_INIT;
    }
    fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_process_stats_msg: Region Initialization required "
                      "before any request\n");
    return refuse_request(handle, msg, ACL_TCAM_FS_ERR_REGION_NOT_INIT);
}

} // namespace

uint32_t acl_tcam_flow_process_stats_msg(uint32_t handle, const vexa_msg_t *msg) {
    const uint32_t size = payload_size_of(msg);
    const uint8_t *payload = payload_of(msg);
    if (size < ACL_TCAM_FS_CMI_LEN || payload == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_process_stats_msg: Invalid Message\n");
        return refuse_request(handle, msg, ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    flow_t request;
    if (const uint32_t rc =
            acl_tcam_build_flow_request(payload + ACL_TCAM_FS_CMI_BODY_OFFSET, &request);
        rc != 0) {
        fs_log(kLogError,
               "(TCAMFS-ERR)acl_tcam_process_stats_msg: Build flow request failed: 0x%x\n", rc);
        return refuse_request(handle, msg, rc);
    }
    const auto msg_type = static_cast<int32_t>(load_be32(payload + ACL_TCAM_WIRE_MSG_TYPE_AT));
    if (acl_tcam_flow_is_region_init_done() == 0) {
        return answer_before_region_ready(handle, msg, msg_type, &request);
    }

    uint32_t rc = 0;
    switch (msg_type) {
    case ACL_TCAM_FS_MSG_SET:
        fs_log(kLogMilestone, "(TCAMFS-EV)Processing set msg\n");
        rc = acl_tcam_flow_set(&request);
        break;
    case ACL_TCAM_FS_MSG_DEL:
        fs_log(kLogMilestone, "(TCAMFS-EV)Processing del msg\n");
        rc = acl_tcam_flow_del(&request);
        break;
    case ACL_TCAM_FS_MSG_GET:
    case ACL_TCAM_FS_MSG_GET_ALT:
        fs_log(kLogMilestone, "(TCAMFS-EV)Processing get msg\n");
        rc = acl_tcam_flow_get(&request);
        break;
    default:
        fs_log(kLogRefused, "(TCAMFS-EV)Unknown Message Type %d.\n", msg_type);
        return ACL_TCAM_FS_ERR_INVALID_ARG;
    }
    if (rc != 0) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_process_stats_msg: Invalid Message: 0x%x.\n", rc);
        return refuse_request(handle, msg, rc);
    }
    if (msg_type == ACL_TCAM_FS_MSG_SET || msg_type == ACL_TCAM_FS_MSG_DEL) {
        fs_log(kLogTrace, "(TCAMFS-EV)ACL TCAM Flow Message Processed Successfully\n");
    }
    // A query left its totals in the request; set and delete left zeros.
    const uint64_t totals[2] = {request.pos_frames, request.pos_bytes};
    acl_tcam_cmi_resp_data(handle, msg, totals);
    return 0;
}

uint32_t acl_tcam_cmi_resp(uint32_t handle, const vexa_msg_t *msg, uint32_t status) {
    uint8_t reply[ACL_TCAM_FS_CMI_HEADER_LEN] = {};
    const uint8_t *payload = payload_of(msg);
    if (payload == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_cmi_resp: Null Payload.\n");
        return ACL_TCAM_FS_ERR_NULL_PAYLOAD;
    }
    copy_payload(reply, sizeof reply, msg, payload);
    store_be32(reply + ACL_TCAM_WIRE_STATUS_AT, status);
    store_be32(reply + ACL_TCAM_WIRE_AUX_AT, 0);
    if (send_reply(handle, msg, reply, sizeof reply) != 0) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_cmi_resp: VEXA Send Failure cause %d.\n", errno);
        return static_cast<uint32_t>(errno);
    }
    fs_log(kLogTrace, "(TCAMFS-EV)VEXA Send Successful.\n");
    return 0;
}

uint32_t acl_tcam_cmi_resp_data(uint32_t handle, const vexa_msg_t *msg, const uint64_t *totals) {
    auto *reply =
        static_cast<uint8_t *>(fs_alloc(ACL_TCAM_FS_MEM_flow_stats_cmi_t, ACL_TCAM_FS_CMI_LEN));
    if (reply == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_cmi_resp_data: No Memory Left.\n");
        return 1;
    }
    const uint8_t *payload = payload_of(msg);
    if (payload == nullptr) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_cmi_resp_data: Null Payload.\n");
        fs_free(reply);
        return ACL_TCAM_FS_ERR_NULL_PAYLOAD;
    }
    std::memset(reply, 0, ACL_TCAM_FS_CMI_LEN);
    copy_payload(reply, ACL_TCAM_FS_CMI_LEN, msg, payload);
    store_be64(reply + ACL_TCAM_WIRE_FRAMES_AT, totals != nullptr ? totals[0] : 0);
    store_be64(reply + ACL_TCAM_WIRE_BYTES_AT, totals != nullptr ? totals[1] : 0);
    store_be32(reply + ACL_TCAM_WIRE_STATUS_AT, 0);
    const int rc = send_reply(handle, msg, reply, ACL_TCAM_FS_CMI_LEN);
    if (rc != 0) {
        fs_log(kLogError, "(TCAMFS-ERR)acl_tcam_cmi_resp_data: VEXA Send Failure cause %d.\n",
               errno);
    } else {
        fs_log(kLogTrace, "(TCAMFS-EV)VEXA Send Successful.\n");
    }
    fs_free(reply);
    return static_cast<uint32_t>(rc);
}
