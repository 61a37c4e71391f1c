// linecard-sim: the reference line-card host, and its command line.
//
//   linecard-sim [--log-level N] [--drain] SCENARIO
//   linecard-sim [--log-level N] [--drain] [--verbose] --random OPS [--seed S]
//   linecard-sim serve ARGS...
//   linecard-sim --help | --version
//
// It runs a scenario file (see scenario.h and the README) or a seeded random
// workload against the flow stats library on a simulated line card, checks
// every reply against the traffic it injected, and exits non-zero on any
// mismatch. --log-level shows the library's texts of that level and above
// (0 shows all, 4 only errors, 5 none). --drain removes every flow at the end,
// so that only the counter table outlives the run (for leak checkers).
// `serve` becomes the line-card daemon, linecard-serve from the same
// directory, with the same PID (see serve_main.cpp for its arguments).
//
// The arguments are read by hand: this program is cross-built for targets
// where no argument-parsing package is installed.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "host.h"
#include "program_version.h"
#include "random_mode.h"
#include "scenario.h"

namespace {

constexpr int kUsageError = 2;

constexpr const char *kUsage =
    "usage: linecard-sim [--log-level N] [--drain] SCENARIO\n"
    "       linecard-sim [--log-level N] [--drain] [--verbose] --random OPS [--seed S]\n"
    "       linecard-sim serve --help\n"
    "       linecard-sim --help | --version\n";

constexpr const char *kHelp =
    "\n"
    "Hosts the flow stats library on a simulated line card, runs a scenario file\n"
    "or OPS random operations on it, and checks every reply against the traffic\n"
    "it injected.\n"
    "\n"
    "  --log-level N  show the library's texts of level N and above: 0 all,\n"
    "                 4 errors (the default for a scenario), 5 none (for --random)\n"
    "  --drain        remove every flow before the closing memory check\n"
    "  --random OPS   run OPS operations drawn from the seed instead of a scenario\n"
    "  --seed S       the seed of --random (default 1)\n"
    "  --verbose      print every operation of --random\n"
    "  --help         print this and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Numbers are decimal or 0x hex. Exit status: 0 when every reply was as\n"
    "expected, 1 on a mismatch, 2 on a bad argument or a bad scenario.\n";

enum class Opt { LogLevel, Drain, Random, Seed, Verbose, Help, Version };

struct OptionName {
    std::string_view name;
    Opt opt;
    bool takes_number;
};

constexpr OptionName kOptions[] = {
    {"--log-level", Opt::LogLevel, true}, {"--drain", Opt::Drain, false},
    {"--random", Opt::Random, true},      {"--seed", Opt::Seed, true},
    {"--verbose", Opt::Verbose, false},   {"--help", Opt::Help, false},
    {"--version", Opt::Version, false},
};

constexpr bool indexed_by_opt() {
    for (size_t i = 0; i < std::size(kOptions); ++i) {
        if (static_cast<size_t>(kOptions[i].opt) != i) {
            return false;
        }
    }
    return true;
}
static_assert(indexed_by_opt(), "kOptions lists the options in the order of Opt");

struct Args {
    linecard::Options options;
    std::string scenario;
    uint64_t random_ops = 0;
    uint64_t seed = 1;
    bool given[std::size(kOptions)] = {};
    bool has(Opt o) const { return given[static_cast<size_t>(o)]; }
};

std::string quoted(std::string_view text) {
    return "'" + scenario::printable(text) + "'";
}

// Reads the arguments into args; returns what is wrong with them, or nothing.
// --help and --version end the reading where they stand.
std::optional<std::string> parse_args(int argc, char **argv, Args &args) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!arg.starts_with("-") || arg == "-") {
            if (!args.scenario.empty()) {
                return "two scenario files given: " + quoted(args.scenario) + " and " + quoted(arg);
            }
            args.scenario = arg;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string_view name = arg.substr(0, eq);
        const OptionName *o = nullptr;
        for (const OptionName &known : kOptions) {
            o = known.name == name ? &known : o;
        }
        if (o == nullptr) {
            return "unknown option " + scenario::printable(name);
        }
        bool &given = args.given[static_cast<size_t>(o->opt)];
        if (given) {
            return std::string(name) + " given twice";
        }
        given = true;
        if (o->opt == Opt::Help || o->opt == Opt::Version) {
            return std::nullopt;
        }
        if (!o->takes_number) {
            if (eq != std::string_view::npos) {
                return std::string(name) + " takes no value";
            }
            continue;
        }
        std::optional<std::string_view> text;
        if (eq != std::string_view::npos) {
            text = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            text = argv[++i];
        }
        if (!text) {
            return std::string(name) + ": needs a number";
        }
        const std::optional<uint64_t> n = model::parse_number(*text);
        if (!n) {
            return std::string(name) + ": needs a number, got " + quoted(*text);
        }
        switch (o->opt) {
        case Opt::LogLevel:
            if (*n > linecard::kLogLevelNone) {
                return "--log-level: " + std::string(*text) + " is out of range (0 to " +
                       std::to_string(linecard::kLogLevelNone) + ")";
            }
            args.options.log_level = static_cast<uint32_t>(*n);
            break;
        case Opt::Random:
            args.random_ops = *n;
            break;
        default:
            args.seed = *n;
            break;
        }
    }
    const bool random = args.has(Opt::Random);
    if (random && !args.scenario.empty()) {
        return "both a scenario file and --random given";
    }
    if (!random && args.scenario.empty()) {
        return "no scenario file given, and no --random";
    }
    for (const Opt o : {Opt::Seed, Opt::Verbose}) {
        if (args.has(o) && !random) {
            return std::string(kOptions[static_cast<size_t>(o)].name) + " goes with --random only";
        }
    }
    args.options.drain = args.has(Opt::Drain);
    if (random) {
        // Quiet by default: a random run is judged by its summary.
        args.options.narrate = args.has(Opt::Verbose);
        if (!args.has(Opt::LogLevel)) {
            args.options.log_level = linecard::kLogLevelNone;
        }
    }
    return std::nullopt;
}

int run_scenario(const Args &args) {
    std::vector<scenario::Step> steps;
    std::string error;
    if (!scenario::load(args.scenario, steps, error)) {
        std::fprintf(stderr, "linecard-sim: %s\n", error.c_str());
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
    // A line at a time even into a pipe or a file, so that a run stopped part
    // way keeps everything it printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && std::string_view(argv[1]) == "serve") {
        return exec_serve(argc, argv);
    }
    Args args;
    if (const auto error = parse_args(argc, argv, args)) {
        std::fprintf(stderr, "linecard-sim: %s\n%s", error->c_str(), kUsage);
        return kUsageError;
    }
    if (args.has(Opt::Help)) {
        std::printf("%s%s", kUsage, kHelp);
        return 0;
    }
    if (args.has(Opt::Version)) {
        std::printf("linecard-sim %s\n", PROGRAM_VERSION);
        return 0;
    }
    if (args.has(Opt::Random)) {
        return linecard::run_random(args.random_ops, args.seed, args.options);
    }
    return run_scenario(args);
}
