// Status codes as the chassis names them (see status.h).
#include "status.h"

#include <cstdio>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"

namespace model {

namespace {

std::string hex_code(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", code);
    return text;
}

} // namespace

// The library's name without its ACL_TCAM_FS_ERR_ prefix; a host callback's
// own code has no name and is shown by number.
std::string status_name(uint32_t code) {
    constexpr std::string_view kPrefix = "ACL_TCAM_FS_ERR_";
    const char *name = acl_tcam_wire_status_name(code);
    if (code == 0) {
        return "ok";
    }
    return name != nullptr ? std::string(name).substr(kPrefix.size()) : hex_code(code);
}

std::string status_text(uint32_t code) {
    if (code == 0) {
        return "ok";
    }
    const char *text =
        acl_tcam_wire_status_name(code) != nullptr ? acl_tcam_wire_status_text(code) : "refused";
    return std::string(text) + " (" + hex_code(code) + ")";
}

bool add_took(uint32_t status) {
    return status == 0 || status == ACL_TCAM_FS_ERR_FLOW_EXISTS;
}

} // namespace model
