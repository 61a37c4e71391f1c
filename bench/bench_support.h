// What the benchmarks share: the flow mix, medians of single timings, and a
// process's CPU time and memory as /proc gives them.
//
// The mix: about 2% VSAN flows (one per VSAN at most), 18% domain-pair flows
// and 80% exact flows over 16 VSANs; half the exact flows lie inside a
// domain-pair flow. Flows come shuffled, as a download or an operator's
// script delivers them. The same n gives the same flows in both benchmarks.
#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

#include <algorithm>
#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace bench {

inline constexpr uint32_t kVsans = 16;

// A flow of the mix in the library's stored form; type is FLOW_TYPE_*.
struct MixFlow {
    uint32_t type;
    uint32_t vsan;
    uint32_t sid;
    uint32_t did;
    auto operator<=>(const MixFlow &) const = default;
};

// n distinct flows of the mix, shuffled.
inline std::vector<MixFlow> flow_mix(uint32_t n) {
    constexpr uint32_t kVsanType = 1, kDomainType = 2, kExactType = 3;
    std::mt19937 rng(n);
    auto pick = [&rng](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    std::vector<MixFlow> flows;
    std::set<MixFlow> seen;
    auto add = [&](const MixFlow &f) {
        if (flows.size() < n && seen.insert(f).second) {
            flows.push_back(f);
        }
    };
    const uint32_t vsan_flows = std::min(kVsans, std::max(1u, n / 50));
    const uint32_t coarse = std::max(vsan_flows + 1, n / 5);
    for (uint32_t v = 1; v <= vsan_flows; ++v) {
        add({kVsanType, v, 0, 0});
    }
    std::vector<MixFlow> domains;
    while (flows.size() < coarse) {
        // Braces evaluate left to right: the same picks on every compiler.
        const MixFlow f{kDomainType, pick(1, kVsans), pick(1, 239) << 16, pick(1, 239) << 16};
        add(f);
        domains.push_back(f);
    }
    while (flows.size() < n) {
        if (pick(0, 1) == 0) {
            const MixFlow &d = domains[pick(0, static_cast<uint32_t>(domains.size() - 1))];
            add({kExactType, d.vsan, d.sid | pick(0, 0xffff), d.did | pick(0, 0xffff)});
        } else {
            add({kExactType, pick(1, kVsans), pick(1, 239) << 16 | pick(0, 0xffff),
                 pick(1, 239) << 16 | pick(0, 0xffff)});
        }
    }
    std::shuffle(flows.begin(), flows.end(), rng);
    return flows;
}

inline double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
        .count();
}

// Wall times of single iterations. Their median is what the tables' counters
// show: on a shared machine some iterations are preempted, and a mean would
// carry the other processes' time.
class Samples {
public:
    void add(double ns) { ns_.push_back(ns); }
    double median() {
        if (ns_.empty()) {
            return 0;
        }
        auto middle = ns_.begin() + static_cast<std::ptrdiff_t>(ns_.size() / 2);
        std::nth_element(ns_.begin(), middle, ns_.end());
        return *middle;
    }

private:
    std::vector<double> ns_;
};

// CPU time (user and system) a process has used so far, ns; clock-tick
// resolution.
inline double process_cpu_ns(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')': state is
    // the first, utime the 12th and stime the 13th.
    std::istringstream fields(text.substr(text.rfind(')') + 1));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i >= 12) {
            ticks += std::stod(field);
        }
    }
    return ticks * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Memory of a process from /proc/PID/status, in KiB: VmRSS and VmHWM (zeros
// once it is gone).
struct Memory {
    double rss_kib = 0;
    double hwm_kib = 0;
};

inline Memory memory_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    Memory m;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name;
        double kib = 0;
        words >> name >> kib;
        if (name == "VmRSS:") {
            m.rss_kib = kib;
        } else if (name == "VmHWM:") {
            m.hwm_kib = kib;
        }
    }
    return m;
}

// The chassis benchmarks' console rows: names without the iteration count
// and time type, so that they read like flow_bench's; colours only on a
// terminal.
class ConsoleTable : public benchmark::ConsoleReporter {
public:
    ConsoleTable() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Color : OO_None) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        std::vector<Run> rows = runs;
        for (Run &run : rows) {
            run.run_name.iterations.clear();
            run.run_name.time_type.clear();
        }
        ConsoleReporter::ReportRuns(rows);
    }
};

} // namespace bench

#endif // BENCH_BENCH_SUPPORT_H
