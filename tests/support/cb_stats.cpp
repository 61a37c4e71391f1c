// The host's counter-read callback, forwarding to the test host.
#include "acl_tcam_flow_stats.h"

extern "C" {
int32_t (*test_stats_hook)(uint32_t, flow_hw_stats_t *) = nullptr;

int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    return test_stats_hook(counter_id, stats);
}
}
