/* Links against the installed library and initialises it. */
#include "acl_tcam_flow_stats.h"

int main(void) {
    return acl_tcam_flow_init(1, 0, 4) == 0 && acl_tcam_flow_is_initialized() ? 0 : 1;
}
