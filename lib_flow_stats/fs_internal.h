// Internals shared by the library's two units: logging through the host and
// allocation through the memory tracker. Nothing here is exported.
#ifndef ACL_TCAM_FS_INTERNAL_H
#define ACL_TCAM_FS_INTERNAL_H

#include <cstdint>
#include <string_view>

#include "acl_tcam_flow_stats.h"

namespace acl_tcam {

// The (level, kind) pair given with every log text. Kind 2 goes exactly with
// the "(TCAMFS-ERR)" texts, all at level 4; the rest are events.
struct LogClass {
    uint32_t level;
    uint32_t kind;
};
inline constexpr LogClass kLogDump{0, 1};      // one whole flow record
inline constexpr LogClass kLogTrace{1, 1};     // step-by-step trace
inline constexpr LogClass kLogMilestone{2, 1}; // a request taken up, a counter found
inline constexpr LogClass kLogRefused{3, 1};   // input refused without an error report
inline constexpr LogClass kLogError{4, 2};     // every failure

// Bound of one formatted log text, as of the display's text area.
inline constexpr uint32_t kLogTextCapacity = ACL_TCAM_FS_PRINT_TEXT_CAPACITY;

// Formats one text (cut at kLogTextCapacity) and hands it to
// acl_tcam_fs_debug. Its outcome is of no concern to the caller.
[[gnu::format(printf, 2, 3)]] void fs_log(LogClass cls, const char *format, ...);

// A source file's path relative to the repository, whatever the build
// directory: the failure texts of allocations name it.
constexpr const char *repo_relative(const char *path) {
    const std::string_view full(path);
    const auto at = full.rfind("lib_flow_stats/");
    return at == std::string_view::npos ? path : path + at;
}

// Allocation and release through the exported wrappers, naming the caller's
// source position in the failure text.
inline void *fs_alloc(uint32_t mem_type, uint32_t size, const char *file = __builtin_FILE(),
                      int line = __builtin_LINE()) {
    return acl_tcam_flow_malloc(repo_relative(file), line, mem_type, size);
}

inline void fs_free(void *block, const char *file = __builtin_FILE(), int line = __builtin_LINE()) {
    acl_tcam_flow_free(repo_relative(file), line, block);
}

} // namespace acl_tcam

#endif // ACL_TCAM_FS_INTERNAL_H
