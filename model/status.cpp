// Status codes as the chassis names them (see status.h).
#include "status.h"

#include <cstdio>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "flow_key.h"

namespace model {

namespace {

constexpr std::string_view kPrefix = "ACL_TCAM_FS_ERR_";

// Every code the library defines; the wire helper names each.
constexpr uint32_t kLibraryCodes[] = {
    ACL_TCAM_FS_ERR_INVALID_ARG,   ACL_TCAM_FS_ERR_NULL_PAYLOAD,
    ACL_TCAM_FS_ERR_FLOW_EXISTS,   ACL_TCAM_FS_ERR_NO_ENTRY,
    ACL_TCAM_FS_ERR_INVALID_INDEX, ACL_TCAM_FS_ERR_REGION_NOT_INIT,
    ACL_TCAM_FS_ERR_NO_MEMORY,     ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED,
    ACL_TCAM_FS_ERR_NO_CALLBACK,   ACL_TCAM_FS_ERR_INIT_ARGS,
};

} // namespace

std::string status_hex(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", code);
    return text;
}

// The library's name without its prefix; a host callback's own code has no
// name and is shown by number.
std::string status_name(uint32_t code) {
    if (code == 0) {
        return "ok";
    }
    const char *full = acl_tcam_wire_status_name(code);
    const std::string_view name = full != nullptr ? full : "";
    return name.starts_with(kPrefix) ? std::string(name.substr(kPrefix.size())) : status_hex(code);
}

std::string status_text(uint32_t code) {
    if (code == 0) {
        return "ok";
    }
    const char *text =
        acl_tcam_wire_status_name(code) != nullptr ? acl_tcam_wire_status_text(code) : "refused";
    return std::string(text) + " (" + status_hex(code) + ")";
}

std::optional<uint32_t> parse_status(std::string_view word) {
    if (word == "ok") {
        return 0;
    }
    for (const uint32_t code : kLibraryCodes) {
        const std::string_view name = acl_tcam_wire_status_name(code);
        if (word == name || word == name.substr(kPrefix.size())) {
            return code;
        }
    }
    const std::optional<uint64_t> n = parse_number(word);
    if (n && *n <= UINT32_MAX) {
        return static_cast<uint32_t>(*n);
    }
    return std::nullopt;
}

bool add_took(uint32_t status) {
    return status == 0 || status == ACL_TCAM_FS_ERR_FLOW_EXISTS;
}

} // namespace model
