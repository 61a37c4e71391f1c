// Where the programs' files are by default. A binary run from the build tree
// keeps names relative to its working directory (the tests and the demo rely
// on it); an installed one uses the directories its systemd units give it.
// default_dirs is the rule, pure and tested; installed_dirs() gives it the
// running executable and the environment.
#ifndef PROGRAM_PATHS_H
#define PROGRAM_PATHS_H

#include <string>
#include <string_view>
#include <vector>

namespace program {

struct Dirs {
    std::string runtime; // sockets; empty: the working directory
    std::string state;   // the database; empty: the working directory
    std::string config;  // the configuration file's; empty: none by default
};

// The directories of the installed layout, fixed at configure time.
struct InstallLayout {
    std::vector<std::string> program_dirs; // where installed programs lie (bin, sbin)
    Dirs dirs;
};

// exe_dir: the running executable's directory ("" when unknown).
// runtime_env, state_env: systemd's RUNTIME_DIRECTORY and STATE_DIRECTORY
// (nullptr when unset); each names a directory for a service started by its
// unit, wherever the binary lies, and wins. A list (several directories
// configured) gives its first.
Dirs default_dirs(std::string_view exe_dir, const InstallLayout &layout, const char *runtime_env,
                  const char *state_env);

// NAME in DIR, or NAME alone when DIR is empty.
std::string in_dir(const std::string &dir, std::string_view name);

// The layout this build installs to (program_install_dirs.h).
InstallLayout install_layout();

// default_dirs for this process: /proc/self/exe and the environment.
// with_service_env: honour RUNTIME_DIRECTORY and STATE_DIRECTORY (the
// supervisor, which its unit starts; a client ignores its caller's).
Dirs process_dirs(bool with_service_env);

} // namespace program

#endif // PROGRAM_PATHS_H
