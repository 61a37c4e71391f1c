#include "random_mode.h"

#include <cinttypes>
#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "progress.h"

namespace linecard {

namespace {

using scenario::Command;
using scenario::FlowSpec;
using scenario::Granularity;
using scenario::Verb;

// Three VSANs, three domains and two ports a domain: 3 VSAN flows, 27 domain
// pairs and 108 exact pairs compete for 16 counters.
constexpr uint32_t kVsans[] = {10, 20, 30};
constexpr uint32_t kDomains[] = {0x010000, 0x020000, 0x030000};
constexpr uint32_t kPorts[] = {0x0001, 0x0a02};
constexpr uint32_t kFirstCounterId = 1;
constexpr uint32_t kTableSize = 17;
constexpr uint64_t kVerifyEvery = 200;
constexpr size_t kHistory = 25;

class Workload {
public:
    explicit Workload(uint64_t seed) : rng_(seed) {}

    // Plain modulo rather than a distribution: the same seed must give the
    // same run with every standard library.
    uint64_t below(uint64_t n) { return rng_() % n; }
    bool one_in(uint64_t n) { return below(n) == 0; }

    uint32_t vsan() { return kVsans[below(std::size(kVsans))]; }
    uint32_t fcid() {
        return kDomains[below(std::size(kDomains))] | kPorts[below(std::size(kPorts))];
    }

    FlowSpec any_flow() {
        const uint64_t g = below(10);
        const Granularity granularity = g == 0  ? Granularity::Vsan
                                        : g < 5 ? Granularity::Domain
                                                : Granularity::Exact;
        return {granularity, vsan(), fcid(), fcid()};
    }

    // Mostly a live flow, so that removals and queries find something.
    FlowSpec some_flow() {
        const auto &live = truth().flows;
        if (live.empty() || one_in(5)) {
            return any_flow();
        }
        auto it = live.begin();
        std::advance(it, static_cast<long>(below(live.size())));
        return spec_of(it->first);
    }

    Command next() {
        Command c;
        const uint64_t roll = below(100);
        if (roll < 25) {
            c.verb = Verb::Add;
            c.flow = any_flow();
        } else if (roll < 40) {
            c.verb = Verb::Del;
            c.flow = some_flow();
        } else if (roll < 70) {
            c.verb = Verb::Traffic;
            c.flow = {Granularity::Exact, vsan(), fcid(), fcid()};
            c.frames = 1 + below(40);
            c.bytes = c.frames * (36 + below(2113));
        } else if (roll < 90) {
            c.verb = Verb::Get;
            c.flow = some_flow();
        } else if (roll < 97) {
            c.verb = Verb::Lookup;
            c.flow = {Granularity::Exact, vsan(), fcid(), fcid()};
            c.lookup_type = static_cast<uint32_t>(1 + below(3));
        } else {
            c.verb = Verb::Verify;
        }
        return c;
    }

private:
    std::mt19937_64 rng_;
};

Command make(Verb verb) {
    Command c;
    c.verb = verb;
    return c;
}

} // namespace

int run_random(uint64_t ops, uint64_t seed, const Options &options) {
    std::deque<std::string> history;
    uint64_t done = 0;
    auto perform = [&](const Command &c) {
        history.push_back(scenario::format(c));
        if (history.size() > kHistory) {
            history.pop_front();
        }
        run(c);
    };

    start(options);
    std::printf("random mode: %" PRIu64 " operations, seed %" PRIu64 "\n", ops, seed);
    Command init = make(Verb::Init);
    init.first_counter_id = kFirstCounterId;
    init.table_size = kTableSize;
    perform(init);
    perform(make(Verb::RegionReady));

    Workload workload(seed);
    {
        // A narrated run shows every operation on standard output already.
        Progress progress("random mode", ops, "operations", !options.narrate);
        for (; done < ops && tally().mismatches == 0; ++done) {
            progress.at(done);
            perform(workload.next());
            if ((done + 1) % kVerifyEvery == 0) {
                perform(make(Verb::Verify));
            }
        }
    }
    if (tally().mismatches == 0) {
        perform(make(Verb::Verify));
    }
    if (tally().mismatches != 0) {
        std::printf("random mode: mismatch in operation %" PRIu64 "; replay with --random %" PRIu64
                    " --seed %" PRIu64 "\nthe last operations:\n",
                    done, ops, seed);
        for (const std::string &line : history) {
            std::printf("  %s\n", line.c_str());
        }
    }
    return finish();
}

} // namespace linecard
