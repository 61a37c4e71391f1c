// Default directories (see program_paths.h).
#include "program_paths.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "program_install_dirs.h"

namespace program {

namespace {

// systemd joins several configured directories with ':'.
std::string first_of_list(const char *value) {
    const std::string_view text = value;
    return std::string(text.substr(0, text.find(':')));
}

// Compares directories as written and, when both exist, as the same file, so
// that a symlinked prefix (/usr/sbin -> /usr/bin, /bin -> /usr/bin) still
// counts as installed.
bool same_dir(std::string_view a, const std::string &b) {
    if (a == b) {
        return true;
    }
    std::error_code ec;
    return std::filesystem::equivalent(std::filesystem::path(a), std::filesystem::path(b), ec) &&
           !ec;
}

} // namespace

Dirs default_dirs(std::string_view exe_dir, const InstallLayout &layout, const char *runtime_env,
                  const char *state_env) {
    Dirs dirs;
    const bool installed =
        !exe_dir.empty() &&
        std::any_of(layout.program_dirs.begin(), layout.program_dirs.end(),
                    [exe_dir](const std::string &dir) { return same_dir(exe_dir, dir); });
    if (installed) {
        dirs = layout.dirs;
    }
    if (runtime_env != nullptr && *runtime_env != '\0') {
        dirs.runtime = first_of_list(runtime_env);
    }
    if (state_env != nullptr && *state_env != '\0') {
        dirs.state = first_of_list(state_env);
    }
    return dirs;
}

std::string in_dir(const std::string &dir, std::string_view name) {
    if (dir.empty()) {
        return std::string(name);
    }
    return dir + (dir.ends_with('/') ? "" : "/") + std::string(name);
}

InstallLayout install_layout() {
    return {{PROGRAM_INSTALL_BINDIR, PROGRAM_INSTALL_SBINDIR},
            {PROGRAM_RUNTIME_DIR, PROGRAM_STATE_DIR, PROGRAM_CONFIG_DIR}};
}

Dirs process_dirs(bool with_service_env) {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string exe_dir =
        n > 0
            ? std::filesystem::path(std::string(exe, static_cast<size_t>(n))).parent_path().string()
            : std::string();
    return default_dirs(exe_dir, install_layout(),
                        with_service_env ? std::getenv("RUNTIME_DIRECTORY") : nullptr,
                        with_service_env ? std::getenv("STATE_DIRECTORY") : nullptr);
}

} // namespace program
