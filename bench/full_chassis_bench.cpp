// The full chassis as an operator meets it: 16 cards of 65,535 flows
// (1,048,560), traffic on, configured from one flow-set file with flowctl,
// shown whole in each of flowctl's formats, the supervisor restarted onto
// cards that keep their flows, and one card replayed while the others count.
// A smaller chassis of 16 x 4,096 gives the shows' figures where each
// should take well under a second.
//
// flowctl runs as the operator runs it, its output into a pipe this process
// reads: the time to its first byte, to the end, the bytes, and its peak RSS
// from wait4. The supervisor's RSS is sampled from /proc every 10 ms while
// flowctl runs. Every process started here dies with this one (the harness's
// Process; flowctl's child is killed by its pid on a timeout, and asks the
// kernel to die with us).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "flow_key.h"
#include "flow_set.h"
#include "harness.h"

namespace {

using harness::json;
using model::FlowKey;
using Clock = std::chrono::steady_clock;
using bench::memory_of;
using bench::Samples;
using bench::since;
using namespace std::chrono_literals;

constexpr uint32_t kCards = 16;
constexpr uint32_t kFull = 65535;
constexpr uint32_t kSmall = 4096;
// Long enough for a whole-chassis answer before the streamed show, on a
// loaded machine; a run past it is a failure, not a figure.
constexpr auto kFlowctlTimeout = 900s;
// flowctl's address space is bounded so that a show that would take the
// machine's memory fails alone.
constexpr rlim_t kFlowctlMaxBytes = rlim_t{8} << 30;

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what);
}

double mib(double kib) {
    return kib / 1024;
}

std::string loadavg() {
    std::ifstream in("/proc/loadavg");
    std::string line;
    std::getline(in, line);
    return line;
}

double load1() {
    return std::stod(loadavg());
}

// The largest VmRSS of a process while it lives, sampled every 10 ms from a
// thread of its own.
class RssPeak {
public:
    explicit RssPeak(pid_t pid)
        : thread_([this, pid] {
              while (!stop_) {
                  const double kib = memory_of(pid).rss_kib;
                  if (kib > peak_kib_) {
                      peak_kib_ = kib;
                  }
                  std::this_thread::sleep_for(10ms);
              }
          }) {}
    ~RssPeak() { stop(); }
    RssPeak(const RssPeak &) = delete;
    RssPeak &operator=(const RssPeak &) = delete;
    double stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        return peak_kib_;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<double> peak_kib_{0};
    std::thread thread_;
};

// ---- flowctl, as the operator runs it ----------------------------------------------

struct FlowctlRun {
    int status = -1; // exit status, or 128 + signal
    double first_byte_ns = 0;
    double total_ns = 0;
    uint64_t bytes = 0;
    uint64_t lines = 0;
    double maxrss_kib = 0;
    std::string tail; // the last bytes of its output
    std::string err;  // its standard error
};

// Runs flowctl with args, its standard output into a pipe read here to the
// end, its standard error into err_path.
FlowctlRun run_flowctl(const std::vector<std::string> &args, const std::string &err_path) {
    const std::string path = std::string(std::getenv("CHASSIS_BIN")) + "/flowctl";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        fail("pipe2 failed");
    }
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err_fd < 0) {
        fail("cannot open " + err_path);
    }
    std::vector<char *> argv{const_cast<char *>(path.c_str())};
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const rlimit limit{kFlowctlMaxBytes, kFlowctlMaxBytes};
        setrlimit(RLIMIT_AS, &limit);
        dup2(out[1], STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err_fd);
    if (pid < 0) {
        close(out[0]);
        fail("fork failed");
    }
    FlowctlRun run;
    std::vector<char> buffer(1 << 16);
    const Clock::time_point deadline = start + kFlowctlTimeout;
    bool timed_out = false;
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000))) <= 0) {
            continue;
        }
        const ssize_t n = read(out[0], buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        if (run.bytes == 0) {
            run.first_byte_ns = since(start);
        }
        run.bytes += static_cast<uint64_t>(n);
        run.lines += static_cast<uint64_t>(std::count(buffer.data(), buffer.data() + n, '\n'));
        run.tail.append(buffer.data(), static_cast<size_t>(n));
        if (run.tail.size() > 4096) {
            run.tail.erase(0, run.tail.size() - 2048);
        }
    }
    if (timed_out) {
        kill(pid, SIGKILL);
    }
    close(out[0]);
    int raw = 0;
    rusage usage{};
    wait4(pid, &raw, 0, &usage);
    run.total_ns = since(start);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    run.maxrss_kib = static_cast<double>(usage.ru_maxrss);
    std::ifstream in(err_path);
    std::getline(in, run.err, '\0');
    if (timed_out) {
        run.err += "\n(killed after " + std::to_string(kFlowctlTimeout.count()) + " s)";
    }
    return run;
}

// ---- The chassis --------------------------------------------------------------------

class Chassis {
public:
    // kCards cards with per_card counters each, traffic on.
    explicit Chassis(uint32_t per_card) : per_card_(per_card) {
        start_supervisor();
        for (uint32_t slot = 1; slot <= kCards; ++slot) {
            start_card(slot);
        }
        try {
            wait_all_ready(0, 60s);
        } catch (const std::exception &e) {
            fail(e.what() + std::string("\n") + logs());
        }
    }

    ~Chassis() {
        for (auto &[slot, card] : cards_) {
            card->signal(SIGTERM);
        }
        if (supervisor_) {
            supervisor_->signal(SIGTERM);
        }
        for (auto &[slot, card] : cards_) {
            card->wait(10s);
        }
        if (supervisor_) {
            supervisor_->wait(30s);
        }
    }

    Chassis(const Chassis &) = delete;
    Chassis &operator=(const Chassis &) = delete;

    uint32_t per_card() const { return per_card_; }
    std::string control() const { return "unix:" + scratch_.file("flow-supervisor.ctl"); }
    std::string file(const std::string &name) const { return scratch_.file(name); }
    pid_t supervisor_pid() const { return supervisor_->pid(); }
    pid_t card_pid(uint32_t slot) const { return cards_.at(slot)->pid(); }

    // The time just before the fork.
    Clock::time_point start_supervisor() {
        const Clock::time_point start = Clock::now();
        supervisor_ = std::make_unique<harness::Process>(
            "flow-supervisor",
            std::vector<std::string>{"--db", "flows.db", "--cards",
                                     "unix:" + scratch_.file("flow-supervisor.cards"), "--control",
                                     control()},
            scratch_.path(), scratch_.file("supervisor.log"));
        if (!harness::wait_until([&] { return client_connects(); }, 30s)) {
            fail("the supervisor did not come up:\n" + supervisor_->log());
        }
        return start;
    }

    // SIGTERM, and its clean exit.
    void stop_supervisor() {
        supervisor_->signal(SIGTERM);
        const std::optional<int> status = supervisor_->wait(60s);
        if (status != 0) {
            fail("the supervisor did not stop cleanly (" +
                 (status ? std::to_string(*status) : std::string("still running")) + "):\n" +
                 supervisor_->log().substr(0, 4000));
        }
        supervisor_.reset();
    }

    Clock::time_point start_card(uint32_t slot) {
        const std::string name = std::to_string(slot);
        const Clock::time_point start = Clock::now();
        cards_[slot] = std::make_unique<harness::Process>(
            "linecard-sim",
            std::vector<std::string>{"serve", "--slot", name, "--supervisor",
                                     "unix:" + scratch_.file("flow-supervisor.cards"), "--counters",
                                     counters()},
            scratch_.path(), scratch_.file("card" + name + ".log"));
        return start;
    }

    // SIGKILL, and the supervisor has seen the card go.
    void kill_card(uint32_t slot) {
        cards_.at(slot)->signal(SIGKILL);
        cards_.at(slot)->wait(10s);
        cards_.erase(slot);
        const bool down = harness::wait_until(
            [&] { return card_in(call("cards.list"), slot).value("state", "") == "down"; }, 30s);
        if (!down) {
            fail("the supervisor still sees the killed card of slot " + std::to_string(slot));
        }
    }

    json call(const std::string &method, const json &params = json::object()) {
        harness::RpcClient client(scratch_.file("flow-supervisor.ctl"));
        const std::optional<json> answer = client.call(method, params, 120s);
        if (!answer || !answer->contains("result")) {
            fail(method + " failed: " + (answer ? answer->dump().substr(0, 2000) : "no answer"));
        }
        return answer->at("result");
    }

    static json card_in(const json &cards_list, uint32_t slot) {
        for (const json &card : cards_list.at("cards")) {
            if (card.value("slot", 0u) == slot) {
                return card;
            }
        }
        return json::object();
    }

    static bool ready_with(const json &card, uint32_t flows) {
        return card.value("state", "") == "ready" && card.value("card_flows", json()) == flows;
    }

    // Polls cards.list until every slot in slots is ready holding flows; the
    // time they were first seen so.
    Clock::time_point wait_ready(const std::vector<uint32_t> &slots, uint32_t flows,
                                 std::chrono::seconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        json last;
        while (Clock::now() < deadline) {
            harness::RpcClient client(scratch_.file("flow-supervisor.ctl"));
            const std::optional<json> answer = client.call("cards.list", json::object(), 30s);
            if (answer && answer->contains("result")) {
                last = answer->at("result");
                bool all = true;
                for (uint32_t slot : slots) {
                    all = all && ready_with(card_in(last, slot), flows);
                }
                if (all) {
                    return Clock::now();
                }
            }
            std::this_thread::sleep_for(20ms);
        }
        fail("not ready with " + std::to_string(flows) +
             " flows in time: " + last.dump().substr(0, 4000));
    }

    Clock::time_point wait_all_ready(uint32_t flows, std::chrono::seconds timeout) {
        std::vector<uint32_t> slots;
        for (uint32_t slot = 1; slot <= kCards; ++slot) {
            slots.push_back(slot);
        }
        return wait_ready(slots, flows, timeout);
    }

    std::string logs() const {
        std::string text = supervisor_ ? "--- supervisor\n" + supervisor_->log() : "";
        for (const auto &[slot, card] : cards_) {
            text += "--- card " + std::to_string(slot) + "\n" + card->log();
        }
        return text.size() > 20000 ? text.substr(text.size() - 20000) : text;
    }

private:
    // Counter ids are 0..65534 at most, and 0 counts nothing: 1..N up to
    // 65,534 flows a card, and the whole range (the flow given 0 uncounted)
    // for 65,535.
    std::string counters() const {
        return per_card_ == kFull ? "0:65534" : "1:" + std::to_string(per_card_);
    }

    bool client_connects() {
        return harness::RpcClient(scratch_.file("flow-supervisor.ctl")).connected();
    }

    uint32_t per_card_;
    harness::Scratch scratch_;
    std::unique_ptr<harness::Process> supervisor_;
    std::map<uint32_t, std::unique_ptr<harness::Process>> cards_;
};

std::unique_ptr<Chassis> the_chassis;
uint32_t configured = 0; // flows per card the chassis holds

// The chassis of per_card counters a card, its flows applied from one file
// with flowctl by the row that needs it first.
Chassis &chassis(uint32_t per_card) {
    if (!the_chassis || the_chassis->per_card() != per_card) {
        the_chassis.reset(); // one chassis at a time: the machine is shared
        configured = 0;
        the_chassis = std::make_unique<Chassis>(per_card);
    }
    return *the_chassis;
}

// The flow-set file: the mix of per_card flows in every slot.
std::string write_flow_file(const Chassis &c, uint32_t per_card) {
    const std::string path = c.file("chassis.flows");
    std::ofstream out(path, std::ios::binary);
    std::vector<bench::MixFlow> mix = bench::flow_mix(per_card);
    for (uint32_t slot = 1; slot <= kCards; ++slot) {
        for (const bench::MixFlow &f : mix) {
            const FlowKey key{static_cast<model::FlowType>(f.type), f.vsan, f.sid, f.did};
            out << model::format_flow_entry(slot, key, "") << '\n';
        }
    }
    if (!out.flush()) {
        fail("cannot write " + path);
    }
    return path;
}

std::vector<std::string> flowctl_args(const Chassis &c, std::vector<std::string> command) {
    std::vector<std::string> args{"--control", c.control(), "--timeout", "900000"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

// A failure skips the row with its reason and the daemons' logs; the rows
// after it still run.
void guarded(benchmark::State &state, const std::string &row, const std::function<void()> &body) {
    const double load_before = load1();
    std::fprintf(stderr, "%s: load before %s\n", row.c_str(), loadavg().c_str());
    try {
        body();
    } catch (const std::exception &e) {
        if (the_chassis) {
            std::fprintf(stderr, "%s\n", the_chassis->logs().c_str());
        }
        state.SkipWithError(e.what());
    }
    std::fprintf(stderr, "%s: load after %s\n", row.c_str(), loadavg().c_str());
    state.counters["load_before"] = load_before;
    state.counters["load_after"] = load1();
}

// The chassis configured with per_card flows a card: one flowctl apply of
// one file; the figures of that apply into state when it is the row's.
FlowctlRun apply_file(Chassis &c, uint32_t per_card, benchmark::State *state) {
    const std::string file = write_flow_file(c, per_card);
    const bench::Memory before = memory_of(c.supervisor_pid());
    FlowctlRun run = run_flowctl(flowctl_args(c, {"apply", file}), c.file("apply.err"));
    const bench::Memory after = memory_of(c.supervisor_pid());
    if (run.status != 0) {
        fail("flowctl apply: exit " + std::to_string(run.status) + ": " + run.err.substr(0, 2000) +
             run.tail.substr(0, 2000));
    }
    std::fprintf(stderr, "flowctl apply: %s", run.tail.c_str());
    c.wait_all_ready(per_card, 600s);
    configured = per_card;
    if (state != nullptr) {
        state->counters["wall_s"] = run.total_ns / 1e9;
        std::ifstream in(file, std::ios::binary | std::ios::ate);
        state->counters["file_MiB"] = static_cast<double>(in.tellg()) / (1 << 20);
        state->counters["flowctl_rss_MiB"] = mib(run.maxrss_kib);
        state->counters["sup_rss_before_MiB"] = mib(before.rss_kib);
        state->counters["sup_rss_after_MiB"] = mib(after.rss_kib);
        state->counters["sup_hwm_MiB"] = mib(after.hwm_kib);
    }
    return run;
}

Chassis &configured_chassis(uint32_t per_card) {
    Chassis &c = chassis(per_card);
    if (configured != per_card) {
        apply_file(c, per_card, nullptr);
    }
    return c;
}

// ---- Rows -----------------------------------------------------------------------------

void BM_Apply(benchmark::State &state) {
    guarded(state, "full_apply", [&] {
        Chassis &c = chassis(kFull);
        for (auto _ : state) {
            const FlowctlRun run = apply_file(c, kFull, &state);
            state.SetIterationTime(run.total_ns * 1e-9);
        }
    });
}

const std::vector<std::string> &format_args(int format) {
    static const std::vector<std::vector<std::string>> kFormats{
        {}, {"--json"}, {"--format", "prometheus"}};
    return kFormats.at(static_cast<size_t>(format));
}

// flowctl show in a format (0 table, 1 JSON, 2 Prometheus) of the slots
// given (none: the whole chassis), iterations times: medians of the time to
// the first byte and to the end; the largest flowctl RSS and supervisor RSS
// seen; the supervisor's RSS idle before the first.
void show_rows(benchmark::State &state, const std::string &row, uint32_t per_card,
               const std::vector<std::string> &slots, uint64_t min_lines) {
    guarded(state, row + "/" + std::to_string(state.range(0)), [&] {
        Chassis &c = configured_chassis(per_card);
        const int format = static_cast<int>(state.range(0));
        std::vector<std::string> command = format_args(format);
        command.emplace_back("show");
        command.insert(command.end(), slots.begin(), slots.end());
        const double idle_kib = memory_of(c.supervisor_pid()).rss_kib;
        Samples firsts;
        Samples totals;
        double flowctl_peak = 0;
        double supervisor_peak = 0;
        uint64_t bytes = 0;
        for (auto _ : state) {
            RssPeak supervisor(c.supervisor_pid());
            const FlowctlRun run = run_flowctl(flowctl_args(c, command), c.file("show.err"));
            supervisor_peak = std::max(supervisor_peak, supervisor.stop());
            if (run.status != 0 || run.lines < min_lines) {
                fail("flowctl show: exit " + std::to_string(run.status) + ", " +
                     std::to_string(run.lines) + " lines, peak RSS " +
                     std::to_string(mib(run.maxrss_kib)) + " MiB: " + run.err.substr(0, 2000));
            }
            firsts.add(run.first_byte_ns);
            totals.add(run.total_ns);
            flowctl_peak = std::max(flowctl_peak, run.maxrss_kib);
            bytes = run.bytes;
            state.SetIterationTime(run.total_ns * 1e-9);
        }
        state.counters["first_ms"] = firsts.median() / 1e6;
        state.counters["med_ms"] = totals.median() / 1e6;
        state.counters["flowctl_rss_MiB"] = mib(flowctl_peak);
        state.counters["sup_idle_MiB"] = mib(idle_kib);
        state.counters["sup_peak_MiB"] = mib(supervisor_peak);
        state.counters["MiB_out"] = static_cast<double>(bytes) / (1 << 20);
    });
}

void BM_ShowChassis(benchmark::State &state) {
    show_rows(state, "full_show", kFull, {}, state.range(0) == 1 ? 1 : uint64_t{kCards} * kFull);
}

void BM_ShowCard(benchmark::State &state) {
    show_rows(state, "card_show", kFull, {"1"}, state.range(0) == 1 ? 1 : kFull);
}

void BM_ShowSmall(benchmark::State &state) {
    show_rows(state, "show_16x4096", kSmall, {},
              state.range(0) == 1 ? 1 : uint64_t{kCards} * kSmall);
}

// SIGTERM to the supervisor, then a new one on the same database: from its
// fork until cards.list shows every card ready with its flows (the cards
// reconnect by themselves, backing off 100 ms doubling to 2 s).
void BM_Restart(benchmark::State &state) {
    guarded(state, "full_restart", [&] {
        Chassis &c = configured_chassis(kFull);
        for (auto _ : state) {
            c.stop_supervisor();
            const Clock::time_point start = c.start_supervisor();
            const double up_ns = since(start);
            const double ns =
                std::chrono::duration<double, std::nano>(c.wait_all_ready(kFull, 900s) - start)
                    .count();
            state.SetIterationTime(ns * 1e-9);
            state.counters["ready_s"] = ns / 1e9;
            state.counters["socket_up_ms"] = up_ns / 1e6;
            state.counters["sup_rss_MiB"] = mib(memory_of(c.supervisor_pid()).rss_kib);
        }
    });
}

// SIGKILL of the last slot's card and a new one in its place: from its fork
// until it is ready with 65,535 flows. The other cards count meanwhile:
// their frames grow and no query of theirs mismatches.
void BM_Replay(benchmark::State &state) {
    guarded(state, "full_replay", [&] {
        Chassis &c = configured_chassis(kFull);
        for (auto _ : state) {
            const json before = c.call("cards.list");
            c.kill_card(kCards);
            const Clock::time_point start = c.start_card(kCards);
            const double ns = std::chrono::duration<double, std::nano>(
                                  c.wait_ready({kCards}, kFull, 900s) - start)
                                  .count();
            const double card_cpu_ns = bench::process_cpu_ns(c.card_pid(kCards));
            const json after = c.call("cards.list");
            uint64_t grew = 0, mismatches = 0;
            for (uint32_t slot = 1; slot < kCards; ++slot) {
                const json b = Chassis::card_in(before, slot), a = Chassis::card_in(after, slot);
                grew += a.value("frames", uint64_t{0}) > b.value("frames", uint64_t{0}) ? 1 : 0;
                mismatches += a.value("mismatches", uint64_t{0});
            }
            if (grew != kCards - 1 || mismatches != 0) {
                fail("while one card replayed: " + std::to_string(grew) + " of " +
                     std::to_string(kCards - 1) + " cards counted on, " +
                     std::to_string(mismatches) + " mismatches");
            }
            state.SetIterationTime(ns * 1e-9);
            state.counters["replay_s"] = ns / 1e9;
            state.counters["card_cpu_s"] = card_cpu_ns / 1e9;
            state.counters["others_counting"] = static_cast<double>(grew);
            state.counters["mismatches"] = static_cast<double>(mismatches);
        }
    });
}

// The full chassis's rows first, in the order an operator meets them; the
// 16 x 4,096 chassis last, after the full one is gone.
void register_all() {
    using benchmark::RegisterBenchmark;
    const auto row = [](const char *name, void (*fn)(benchmark::State &), int iterations) {
        return RegisterBenchmark(name, fn)
            ->Iterations(iterations)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    row("full_apply", BM_Apply, 1);
    row("full_show", BM_ShowChassis, 1)->ArgName("format")->DenseRange(0, 2);
    row("card_show", BM_ShowCard, 3)->ArgName("format")->DenseRange(0, 2);
    row("full_restart", BM_Restart, 1);
    row("full_replay", BM_Replay, 1);
    row("show_16x4096", BM_ShowSmall, 5)->ArgName("format")->DenseRange(0, 2);
}

} // namespace

int main(int argc, char **argv) {
    setenv("CHASSIS_BIN", CHASSIS_BENCH_BIN, 0);
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::fprintf(stderr, "formats: 0 table, 1 --json, 2 --format prometheus\n");
    bench::ConsoleTable table;
    benchmark::RunSpecifiedBenchmarks(&table);
    benchmark::Shutdown();
    the_chassis.reset();
    return 0;
}
