// The host's debug callback, forwarding to the test host.
#include "acl_tcam_flow_stats.h"

extern "C" {
void (*test_debug_hook)(uint32_t, uint32_t, const char *) = nullptr;

void acl_tcam_flow_debug_cb(uint32_t level, uint32_t kind, const char *text) {
    test_debug_hook(level, kind, text);
}
}
