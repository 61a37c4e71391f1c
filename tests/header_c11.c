/* The public headers compile as C11 (the build fails otherwise). */
#include "acl_tcam_flow_stats.h"
#include "platform_sim.h"

int header_c11_check(void) {
    flow_t flow = {0};
    flow.type = FLOW_TYPE_VSAN;
    return acl_tcam_flow_avl_compare(&flow, &flow);
}
