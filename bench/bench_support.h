// What both benchmarks share: the flow mix, and medians of single timings.
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
#include <random>
#include <set>
#include <vector>

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

} // namespace bench

#endif // BENCH_BENCH_SUPPORT_H
