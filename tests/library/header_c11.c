/* The public headers compile as C11 (the build fails otherwise), included
 * by the paths hosts use, which the build tree offers as the install does. */
#include <acl_tcam/acl_tcam_flow_stats.h>
#include <acl_tcam/acl_tcam_flow_wire.h>
#include <acl_tcam/platform_sim.h>

int header_c11_check(void) {
    flow_t flow = {0};
    flow.type = FLOW_TYPE_VSAN;
    uint8_t payload[ACL_TCAM_FS_CMI_LEN] = {0};
    const acl_tcam_wire_request_t r =
        acl_tcam_wire_flow_request(ACL_TCAM_FS_MSG_GET, FLOW_TYPE_VSAN, 10, 0, 0, 1);
    acl_tcam_wire_encode_request(payload, &r);
    acl_tcam_wire_reply_t reply;
    return acl_tcam_flow_avl_compare(&flow, &flow) +
           acl_tcam_wire_decode_reply(payload, sizeof payload, &reply) +
           (acl_tcam_wire_status_name(reply.status) == NULL) +
           (int)acl_tcam_wire_missing_callbacks();
}
