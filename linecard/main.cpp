// linecard-sim: the reference line-card host.
//
//   linecard-sim [--log-level N] [--drain] SCENARIO
//   linecard-sim [--log-level N] [--drain] [--verbose] --random OPS [--seed S]
//   linecard-sim serve ARGS...
//
// It runs a scenario file (see scenario.h and the README) or a seeded random
// workload against the flow stats library on a simulated line card, checks
// every reply against the traffic it injected, and exits non-zero on any
// mismatch. --log-level shows the library's texts of that level and above
// (0 shows all, 4 only errors, 5 none). --drain removes every flow at the end,
// so that only the counter table outlives the run (for leak checkers).
// `serve` becomes the line-card daemon, linecard-serve from the same
// directory, with the same PID (see serve_main.cpp for its arguments).

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "host.h"
#include "random_mode.h"
#include "scenario.h"

namespace {

constexpr int kUsageError = 2;

struct Args {
    linecard::Options options;
    std::string scenario;
    uint64_t random_ops = 0;
    uint64_t seed = 1;
    bool random = false;
    bool log_level_given = false;
};

int usage(const char *program) {
    std::fprintf(stderr,
                 "usage: %s [--log-level N] [--drain] SCENARIO\n"
                 "       %s [--log-level N] [--drain] [--verbose] --random OPS [--seed S]\n",
                 program, program);
    return kUsageError;
}

bool read_number(const char *text, uint64_t *out) {
    const std::string_view s = text != nullptr ? text : "";
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return !s.empty() && ec == std::errc{} && end == s.data() + s.size();
}

bool parse_args(int argc, char **argv, Args &args) {
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t n = 0;
        if (a == "--log-level" && read_number(value, &n) && n <= linecard::kLogLevelNone) {
            args.options.log_level = static_cast<uint32_t>(n);
            args.log_level_given = true;
            ++i;
        } else if (a == "--random" && read_number(value, &args.random_ops)) {
            args.random = true;
            ++i;
        } else if (a == "--seed" && read_number(value, &args.seed)) {
            ++i;
        } else if (a == "--drain") {
            args.options.drain = true;
        } else if (a == "--verbose") {
            verbose = true;
        } else if (!a.starts_with("-") && args.scenario.empty()) {
            args.scenario = a;
        } else {
            return false;
        }
    }
    if (args.random) {
        // Quiet by default: a random run is judged by its summary.
        args.options.narrate = verbose;
        args.options.log_level =
            args.log_level_given ? args.options.log_level : linecard::kLogLevelNone;
        return args.scenario.empty();
    }
    return !args.scenario.empty() && !verbose;
}

int run_scenario(const Args &args) {
    std::vector<scenario::Step> steps;
    std::string error;
    if (!scenario::load(args.scenario, steps, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kUsageError;
    }
    linecard::start(args.options);
    for (const scenario::Step &step : steps) {
        linecard::run(step.command);
    }
    return linecard::finish();
}

// The daemon is a separate executable: a process loads one message service,
// and the daemon's is the socket transport. exec keeps the PID, so whoever
// started `linecard-sim serve` can signal the daemon.
int exec_serve(int argc, char **argv) {
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) {
        std::fprintf(stderr, "%s serve: cannot find my own executable: %s\n", argv[0],
                     std::strerror(errno));
        return 1;
    }
    std::string path(self, static_cast<size_t>(len));
    path = path.substr(0, path.rfind('/') + 1) + "linecard-serve";
    std::vector<char *> args{path.data()};
    args.insert(args.end(), argv + 2, argv + argc);
    args.push_back(nullptr);
    execv(path.c_str(), args.data());
    std::fprintf(stderr, "%s serve: cannot run %s: %s\n", argv[0], path.c_str(),
                 std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "serve") {
        return exec_serve(argc, argv);
    }
    Args args;
    if (!parse_args(argc, argv, args)) {
        return usage(argv[0]);
    }
    if (args.random) {
        return linecard::run_random(args.random_ops, args.seed, args.options);
    }
    return run_scenario(args);
}
