// The host's entry-update callback, forwarding to the test host.
#include "acl_tcam_flow_stats.h"

extern "C" {
int32_t (*test_update_hook)(flow_handle_update_t *) = nullptr;

int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update) {
    return test_update_hook(update);
}
}
