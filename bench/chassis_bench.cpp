// What the chassis costs an operator: a query from a client through the
// supervisor to a line card and back, many queries in flight at once, a
// restarted card brought back to 65,535 configured flows, a snapshot of
// every flow's total against one query per flow, and flow sets: 65,535 flows
// applied to a card against the library inserting them, a dry run, an
// export, and a chassis of 16 cards configured from one text.
//
// Each figure is set beside what it is compared with, measured in the same
// run (the machine is shared): the library's own query and insertion in this
// process, with a host whose counters read zero, or the other way to the same
// answer. The flows are flow_bench's mix, drawn the same way from the same
// seeds: 2% VSAN flows (one per VSAN at most), 18% domain pairs, 80% exact
// flows over 16 VSANs, half of them inside a domain pair.
//
// The daemons run in a scratch directory on Unix sockets, traffic off. Every
// process started here dies with this one: harness::Process kills it from its
// destructor, and the kernel does should this process die first.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "bench_support.h"
#include "flow_key.h"
#include "flow_set.h"
#include "harness.h"
#include "schema.h"
#include <httplib.h>

// ---- The in-process host ---------------------------------------------------------

// Counters read as zeros and every entry update succeeds: what is left is the
// library's own work.
extern "C" {
int32_t acl_tcam_flow_stats_get_cb(uint32_t, flow_hw_stats_t *stats) {
    *stats = flow_hw_stats_t{};
    return 0;
}

int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *) {
    return 0;
}
}

namespace {

using harness::json;
using model::FlowKey;
using model::FlowType;
using Clock = std::chrono::steady_clock;
using bench::Memory;
using bench::memory_of;
using bench::process_cpu_ns;
using bench::Samples;
using bench::since;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what);
}

// CPU time of this thread, ns.
double thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// ---- Flows -------------------------------------------------------------------------

constexpr uint32_t kSmall = 2000;
constexpr uint32_t kFull = 65535; // the largest counter table

// n distinct flows of the mix in the order they are configured.
std::vector<FlowKey> make_flows(uint32_t n) {
    std::vector<FlowKey> keys;
    for (const bench::MixFlow &f : bench::flow_mix(n)) {
        keys.push_back({static_cast<FlowType>(f.type), f.vsan, f.sid, f.did});
    }
    return keys;
}

// A uniform sample, so that single queries see the mix.
std::vector<FlowKey> sample_of(const std::vector<FlowKey> &flows, size_t count) {
    std::vector<FlowKey> sample;
    const size_t step = std::max<size_t>(1, flows.size() / count);
    for (size_t i = 0; i < flows.size() && sample.size() < count; i += step) {
        sample.push_back(flows[i]);
    }
    return sample;
}

flow_t flow_of(const FlowKey &key) {
    static constexpr uint32_t kMasks[] = {0, FLOW_MASK_VSAN, FLOW_MASK_DOMAIN, FLOW_MASK_SID_DID};
    flow_t f{};
    f.type = static_cast<uint16_t>(key.type);
    f.vsan = key.vsan;
    f.sid = key.sid;
    f.did = key.did;
    f.bitmask = kMasks[static_cast<uint32_t>(key.type)];
    return f;
}

json params_of(uint32_t slot, const FlowKey &key) {
    return api::to_json(api::FlowParams{slot, key, {}});
}

std::string request_line(uint64_t id, const std::string &method, const json &params) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump() +
           "\n";
}

std::vector<std::string> request_lines(const std::string &method, uint32_t slot,
                                       const std::vector<FlowKey> &flows) {
    std::vector<std::string> lines;
    lines.reserve(flows.size());
    for (size_t i = 0; i < flows.size(); ++i) {
        lines.push_back(request_line(i + 1, method, params_of(slot, flows[i])));
    }
    return lines;
}

// A flow.list row back into a key.
FlowKey key_of_row(const json &row) {
    const auto type = model::parse_type(row.at("type").get<std::string>());
    const auto sid = model::parse_number(row.at("sid").get<std::string>());
    const auto did = model::parse_number(row.at("did").get<std::string>());
    if (!type || !sid || !did) {
        fail("flow.list row not understood: " + row.dump());
    }
    return {*type, row.at("vsan").get<uint32_t>(), static_cast<uint32_t>(*sid),
            static_cast<uint32_t>(*did)};
}

// ---- Talking to the supervisor --------------------------------------------------------

constexpr auto kReplyTimeout = 30s;

std::string read_answer(harness::RpcClient &client) {
    std::optional<std::string> line = client.read_line(kReplyTimeout);
    if (!line) {
        fail("no answer from the supervisor");
    }
    return std::move(*line);
}

// Whether an answer line carries a result (the cheap test of the hot loops).
bool has_result(const std::string &line) {
    return line.find("\"result\"") != std::string::npos;
}

// Sends the lines depth at a time, each batch in one write, and reads a
// batch's answers before the next batch goes; check sees every answer.
void pipeline(harness::RpcClient &client, const std::vector<std::string> &lines, size_t depth,
              const std::function<void(const std::string &)> &check) {
    for (size_t first = 0; first < lines.size(); first += depth) {
        const size_t end = std::min(lines.size(), first + depth);
        std::string batch;
        for (size_t i = first; i < end; ++i) {
            batch += lines[i];
        }
        if (!client.send_raw(batch)) {
            fail("cannot write to the supervisor");
        }
        for (size_t i = first; i < end; ++i) {
            check(read_answer(client));
        }
    }
}

// ---- The chassis ---------------------------------------------------------------------

// Slot 1 holds the 2,000 flows, slot 2 the 65,535: 0:65535 is the only
// counter range that holds as many.
constexpr uint32_t kSmallSlot = 1;
constexpr uint32_t kFullSlot = 2;
struct Counters {
    uint32_t first;
    uint32_t size;
    // --counters FIRST:LAST, the last id included.
    std::string text() const { return std::to_string(first) + ":" + std::to_string(size - 1); }
};
constexpr Counters kSmallCounters{1, 4096};
constexpr Counters kFullCounters{0, 65535};
// A client keeps at most 64 requests in flight (docs/jsonrpc.md).
constexpr size_t kMaxDepth = 64;
constexpr auto kPollInterval = 5ms;

class Rig {
public:
    Rig() {
        supervisor_ = std::make_unique<harness::Process>(
            "flow-supervisor",
            std::vector<std::string>{"--db", "flows.db", "--cards", "unix:" + cards_socket(),
                                     "--control", "unix:" + control_socket(), "--http",
                                     "tcp:127.0.0.1:0"},
            scratch_.path(), scratch_.file("supervisor.log"));
        const bool up = harness::wait_until(
            [&] { return harness::RpcClient(control_socket()).connected(); }, 10s);
        if (!up) {
            fail("the supervisor did not come up:\n" + logs());
        }
        const std::string log = supervisor_->log();
        const size_t at = log.find("HTTP on http://127.0.0.1:");
        if (at == std::string::npos) {
            fail("the supervisor serves no HTTP:\n" + log);
        }
        http_port_ = std::stoi(log.substr(at + 25));
    }

    // SIGTERM, then the destructors' SIGKILL for whatever did not stop.
    ~Rig() {
        for (auto &[slot, card] : cards_) {
            card->signal(SIGTERM);
        }
        supervisor_->signal(SIGTERM);
        for (auto &[slot, card] : cards_) {
            if (card->wait(10s) != 0) {
                std::fprintf(stderr, "chassis_bench: card %u did not stop cleanly:\n%s\n", slot,
                             card->log().c_str());
            }
        }
        if (supervisor_->wait(10s) != 0) {
            std::fprintf(stderr, "chassis_bench: the supervisor did not stop cleanly:\n%s\n",
                         supervisor_->log().c_str());
        }
    }

    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    std::string control_socket() const { return scratch_.file("flow-supervisor.ctl"); }

    // GET /metrics, gzip-compressed when asked as Prometheus asks; its
    // body, decompressed (a failure unless 200).
    std::string scrape(bool gzip = false) const {
        httplib::Client client("127.0.0.1", http_port_);
        client.set_read_timeout(60s);
        const auto res =
            gzip ? client.Get("/metrics", {{"Accept-Encoding", "gzip"}}) : client.Get("/metrics");
        if (!res || res->status != 200) {
            fail("GET /metrics failed: " + (res ? std::to_string(res->status) + " " + res->body
                                                : httplib::to_string(res.error())));
        }
        return res->body;
    }

    std::string logs() const {
        std::string text = "--- supervisor\n" + supervisor_->log();
        for (const auto &[slot, card] : cards_) {
            text += "--- card " + std::to_string(slot) + "\n" + card->log();
        }
        return text;
    }

    // The result of a call that must succeed.
    json call(const std::string &method, const json &params = json::object()) {
        harness::RpcClient client(control_socket());
        const std::optional<json> answer = client.call(method, params, kReplyTimeout);
        if (!answer || !answer->contains("result")) {
            fail(method + " " + params.dump() +
                 " failed: " + (answer ? answer->dump() : "no answer"));
        }
        return answer->at("result");
    }

    // Starts a card with its traffic off; the time just before the fork.
    Clock::time_point start_card(uint32_t slot, const Counters &counters) {
        const std::string name = std::to_string(slot);
        const Clock::time_point start = Clock::now();
        cards_[slot] = std::make_unique<harness::Process>(
            "linecard-sim",
            std::vector<std::string>{"serve", "--slot", name, "--supervisor",
                                     "unix:" + cards_socket(), "--counters", counters.text(),
                                     "--traffic", "0"},
            scratch_.path(), scratch_.file("card" + name + ".log"));
        return start;
    }

    // SIGKILL, and the supervisor has seen the card go.
    void kill_card(uint32_t slot) {
        cards_.at(slot)->signal(SIGKILL);
        cards_.at(slot)->wait(10s);
        cards_.erase(slot);
        if (!harness::wait_until([&] { return card_entry(slot).value("state", "") == "down"; },
                                 10s)) {
            fail("the supervisor still sees the killed card of slot " + std::to_string(slot));
        }
    }

    bool has_card(uint32_t slot) const { return cards_.count(slot) != 0; }
    pid_t card_pid(uint32_t slot) const { return cards_.at(slot)->pid(); }
    pid_t supervisor_pid() const { return supervisor_->pid(); }

    json card_entry(uint32_t slot) { return card_in(call("cards.list"), slot); }

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

    // Polls cards.list on one connection until the slot is ready holding
    // flows; the time it was first seen so.
    Clock::time_point wait_ready(uint32_t slot, uint32_t flows, std::chrono::seconds timeout) {
        harness::RpcClient client(control_socket());
        const std::string line = request_line(1, "cards.list", json::object());
        const Clock::time_point deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (!client.send_raw(line)) {
                fail("cannot write to the supervisor");
            }
            const json answer = json::parse(read_answer(client));
            if (ready_with(card_in(answer.at("result"), slot), flows)) {
                return Clock::now();
            }
            std::this_thread::sleep_for(kPollInterval);
        }
        fail("slot " + std::to_string(slot) + " not ready with " + std::to_string(flows) +
             " flows in time: " + card_entry(slot).dump());
    }

    // The slot's card up and the flows configured on it, once.
    const std::vector<FlowKey> &slot_with(uint32_t slot, const Counters &counters, uint32_t n) {
        std::vector<FlowKey> &flows = configured_[slot];
        if (!flows.empty()) {
            return flows;
        }
        start_card(slot, counters);
        wait_ready(slot, 0, 30s);
        const std::vector<FlowKey> wanted = make_flows(n);
        harness::RpcClient client(control_socket());
        pipeline(client, request_lines("flow.add", slot, wanted), kMaxDepth,
                 [](const std::string &answer) {
                     if (answer.find("\"flow_status\":\"applied\"") == std::string::npos) {
                         fail("flow.add not applied: " + answer);
                     }
                 });
        wait_ready(slot, n, 60s);
        flows = wanted;
        return flows;
    }

private:
    std::string cards_socket() const { return scratch_.file("flow-supervisor.cards"); }

    harness::Scratch scratch_;
    int http_port_ = 0;
    std::unique_ptr<harness::Process> supervisor_;
    std::map<uint32_t, std::unique_ptr<harness::Process>> cards_;
    std::map<uint32_t, std::vector<FlowKey>> configured_;
};

std::unique_ptr<Rig> the_rig;

Rig &rig() {
    if (!the_rig) {
        the_rig = std::make_unique<Rig>();
    }
    return *the_rig;
}

const std::vector<FlowKey> &flows_of(uint32_t n) {
    return n == kFull ? rig().slot_with(kFullSlot, kFullCounters, kFull)
                      : rig().slot_with(kSmallSlot, kSmallCounters, kSmall);
}

uint32_t slot_of(uint32_t n) {
    return n == kFull ? kFullSlot : kSmallSlot;
}

// A failure skips the row with its reason and the daemons' logs; the rows
// after it still run.
void guarded(benchmark::State &state, const std::function<void()> &body) {
    try {
        body();
    } catch (const std::exception &e) {
        if (the_rig) {
            std::fprintf(stderr, "%s\n", the_rig->logs().c_str());
        }
        state.SkipWithError(e.what());
    }
}

// ---- The library in this process ------------------------------------------------------

struct Spent {
    double wall_ns = 0;
    double cpu_ns = 0;
};

// Starts the library over with the flows inserted in this order; the time
// the insertions took.
Spent library_holds(const std::vector<FlowKey> &flows, const Counters &counters) {
    if (acl_tcam_flow_init(1, counters.first, counters.size) != 0) {
        fail("acl_tcam_flow_init refused");
    }
    acl_tcam_flow_set_region_init_done();
    std::vector<flow_t> records;
    records.reserve(flows.size());
    for (const FlowKey &key : flows) {
        records.push_back(flow_of(key));
    }
    uint32_t status = 0;
    const double cpu_start = thread_cpu_ns();
    const Clock::time_point start = Clock::now();
    for (flow_t &f : records) {
        status |= acl_tcam_flow_set(&f);
    }
    const Spent spent{since(start), thread_cpu_ns() - cpu_start};
    if (status != 0) {
        fail("acl_tcam_flow_set refused a flow");
    }
    return spent;
}

// ---- Rows --------------------------------------------------------------------------

// One flow.get, one request in flight, beside the library's own query of the
// same flow in this process.
void BM_Query(benchmark::State &state) {
    guarded(state, [&] {
        const auto n = static_cast<uint32_t>(state.range(0));
        const std::vector<FlowKey> &flows = flows_of(n);
        library_holds(flows, kSmallCounters);
        const std::vector<FlowKey> sample = sample_of(flows, 200);
        const std::vector<std::string> lines = request_lines("flow.get", slot_of(n), sample);
        harness::RpcClient client(rig().control_socket());
        Samples chassis;
        Samples library;
        size_t next = 0;
        for (auto _ : state) {
            const size_t i = next++ % sample.size();
            const Clock::time_point start = Clock::now();
            if (!client.send_raw(lines[i])) {
                fail("cannot write to the supervisor");
            }
            const std::string answer = read_answer(client);
            const double ns = since(start);
            if (!has_result(answer)) {
                fail("flow.get failed: " + answer);
            }
            state.SetIterationTime(ns * 1e-9);
            chassis.add(ns);

            flow_t f = flow_of(sample[i]);
            const Clock::time_point lib_start = Clock::now();
            const uint32_t status = acl_tcam_flow_get(&f);
            library.add(since(lib_start));
            if (status != 0) {
                fail("acl_tcam_flow_get refused a flow");
            }
        }
        const double chassis_ns = chassis.median();
        const double library_ns = library.median();
        state.counters["med_us"] = chassis_ns / 1000;
        state.counters["lib_us"] = library_ns / 1000;
        state.counters["x_lib"] = chassis_ns / library_ns;
    });
}

// Several clients, each sending depth requests at once and reading their
// answers before the next batch; the queries answered per second of wall
// time, median of the iterations.
void BM_Throughput(benchmark::State &state) {
    guarded(state, [&] {
        const auto n = static_cast<uint32_t>(state.range(0));
        const auto clients = static_cast<size_t>(state.range(1));
        const auto depth = static_cast<size_t>(state.range(2));
        constexpr size_t kQueriesPerClient = 20000;
        const std::vector<FlowKey> &flows = flows_of(n);
        const std::vector<FlowKey> sample = sample_of(flows, 200);
        // Each client cycles through the sample from its own offset; ids
        // repeat from batch to batch, never within one.
        std::vector<std::vector<std::string>> lines(clients);
        for (size_t c = 0; c < clients; ++c) {
            for (size_t i = 0; i < kQueriesPerClient; ++i) {
                const FlowKey &key = sample[(c * 50 + i) % sample.size()];
                lines[c].push_back(
                    request_line(i % depth + 1, "flow.get", params_of(slot_of(n), key)));
            }
        }
        Samples rates;
        for (auto _ : state) {
            std::vector<std::unique_ptr<harness::RpcClient>> connections;
            for (size_t c = 0; c < clients; ++c) {
                connections.push_back(std::make_unique<harness::RpcClient>(rig().control_socket()));
            }
            std::mutex mutex;
            std::string error;
            std::vector<std::thread> threads;
            const Clock::time_point start = Clock::now();
            for (size_t c = 0; c < clients; ++c) {
                threads.emplace_back([&, c] {
                    try {
                        pipeline(*connections[c], lines[c], depth, [](const std::string &answer) {
                            if (!has_result(answer)) {
                                fail("flow.get failed: " + answer);
                            }
                        });
                    } catch (const std::exception &e) {
                        const std::lock_guard lock(mutex);
                        error = e.what();
                    }
                });
            }
            for (std::thread &t : threads) {
                t.join();
            }
            const double ns = since(start);
            if (!error.empty()) {
                fail(error);
            }
            state.SetIterationTime(ns * 1e-9);
            rates.add(static_cast<double>(clients * kQueriesPerClient) / (ns * 1e-9));
        }
        state.counters["qps"] = rates.median();
    });
}

// A card killed and started again with 65,535 flows configured: from the new
// process's start until cards.list shows it ready holding them all. Beside
// it, the library inserting the same flows in this process, in the order the
// supervisor replays them (the database's key order, as flow.list gives it).
// The CPU time of each side tells the work from the waiting on a shared
// machine: the card process's whole life until ready, the supervisor's
// during the replay, this thread's for the direct insertions.
void BM_Replay(benchmark::State &state) {
    guarded(state, [&] {
        const auto n = static_cast<uint32_t>(state.range(0));
        flows_of(n);
        const json listed = rig().call("flow.list", {{"slot", slot_of(n)}});
        std::vector<FlowKey> replay_order;
        for (const json &row : listed.at("flows")) {
            replay_order.push_back(key_of_row(row));
        }
        if (replay_order.size() != n) {
            fail("flow.list lists " + std::to_string(replay_order.size()) + " flows");
        }
        Samples replays;
        Samples directs;
        Samples card_cpu;
        Samples supervisor_cpu;
        Samples direct_cpu;
        for (auto _ : state) {
            rig().kill_card(slot_of(n));
            const double supervisor_before = process_cpu_ns(rig().supervisor_pid());
            const Clock::time_point start = rig().start_card(slot_of(n), kFullCounters);
            const double ns = std::chrono::duration<double, std::nano>(
                                  rig().wait_ready(slot_of(n), n, 120s) - start)
                                  .count();
            card_cpu.add(process_cpu_ns(rig().card_pid(slot_of(n))));
            supervisor_cpu.add(process_cpu_ns(rig().supervisor_pid()) - supervisor_before);
            state.SetIterationTime(ns * 1e-9);
            replays.add(ns);
            const Spent direct = library_holds(replay_order, kFullCounters);
            directs.add(direct.wall_ns);
            direct_cpu.add(direct.cpu_ns);
        }
        const double replay_ns = replays.median();
        const double direct_ns = directs.median();
        state.counters["med_ms"] = replay_ns / 1e6;
        state.counters["direct_ms"] = direct_ns / 1e6;
        state.counters["x_direct"] = replay_ns / direct_ns;
        state.counters["card_cpu_ms"] = card_cpu.median() / 1e6;
        state.counters["sup_cpu_ms"] = supervisor_cpu.median() / 1e6;
        state.counters["direct_cpu_ms"] = direct_cpu.median() / 1e6;
    });
}

// One flow.show of the slot, as flowctl show asks it: from the request until
// the last row is parsed and read (recv_ms: until the answer's last byte). After the snapshots,
// once, one flow.get for every flow, one request in flight.
void BM_Show(benchmark::State &state) {
    guarded(state, [&] {
        const auto n = static_cast<uint32_t>(state.range(0));
        const std::vector<FlowKey> &flows = flows_of(n);
        const uint32_t slot = slot_of(n);
        const std::string show = request_line(1, "flow.show", {{"slots", json::array({slot})}});
        harness::RpcClient client(rig().control_socket());
        Samples snapshots;
        Samples received;
        for (auto _ : state) {
            const Clock::time_point start = Clock::now();
            if (!client.send_raw(show)) {
                fail("cannot write to the supervisor");
            }
            const std::string line = read_answer(client);
            received.add(since(start));
            const json answer = json::parse(line);
            size_t rows = 0;
            uint64_t frames = 0;
            for (const json &row : answer.at("result").at("flows")) {
                frames += row.at("frames").get<uint64_t>();
                rows += row.at("counter").is_null() ? 0 : 1;
            }
            const double ns = since(start);
            benchmark::DoNotOptimize(frames);
            if (rows != n) {
                fail("flow.show: " + std::to_string(rows) + " flows held, not " +
                     std::to_string(n));
            }
            state.SetIterationTime(ns * 1e-9);
            snapshots.add(ns);
        }

        const std::vector<std::string> gets = request_lines("flow.get", slot, flows);
        const Clock::time_point start = Clock::now();
        pipeline(client, gets, 1, [](const std::string &answer) {
            if (!has_result(answer)) {
                fail("flow.get failed: " + answer);
            }
        });
        const double per_flow_ns = since(start);
        const double snapshot_ns = snapshots.median();
        state.counters["med_ms"] = snapshot_ns / 1e6;
        state.counters["recv_ms"] = received.median() / 1e6;
        state.counters["per_flow_ms"] = per_flow_ns / 1e6;
        state.counters["x_show"] = per_flow_ns / snapshot_ns;
    });
}

// The samples of a family in an exposition.
size_t samples_of(const std::string &text, const std::string &family) {
    size_t n = 0;
    for (size_t at = text.find('\n' + family + '{'); at != std::string::npos;
         at = text.find('\n' + family + '{', at + 1)) {
        ++n;
    }
    return n;
}

// The value of an unlabelled sample.
uint64_t sample_value(const std::string &text, const std::string &name) {
    const size_t at = text.find('\n' + name + ' ');
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + name.size() + 2));
}

// GET /metrics of every card, the full one among them, end to end; then ten
// scrapes at once, and the displays they cost each card.
void BM_Scrape(benchmark::State &state) {
    guarded(state, [&] {
        const auto n = static_cast<uint32_t>(state.range(0));
        flows_of(n);
        const json list = rig().call("cards.list");
        size_t cards = 0;
        for (const json &card : list.at("cards")) {
            cards += card.value("state", "") == "ready" ? 1 : 0;
        }
        if (cards == 0) {
            fail("no card ready: " + list.dump());
        }
        Samples scrapes;
        size_t bytes = 0;
        for (auto _ : state) {
            const Clock::time_point start = Clock::now();
            const std::string text = rig().scrape();
            const double ns = since(start);
            if (samples_of(text, "acl_tcam_flow_frames_total") < n) {
                fail("GET /metrics: fewer than " + std::to_string(n) + " flows");
            }
            bytes = text.size();
            state.SetIterationTime(ns * 1e-9);
            scrapes.add(ns);
        }
        Samples gzipped;
        for (int i = 0; i < 3; ++i) {
            const Clock::time_point start = Clock::now();
            if (samples_of(rig().scrape(true), "acl_tcam_flow_frames_total") < n) {
                fail("GET /metrics (gzip): fewer than " + std::to_string(n) + " flows");
            }
            gzipped.add(since(start));
        }
        constexpr int kConcurrent = 10;
        const std::string displays = "acl_tcam_supervisor_card_displays_total";
        const uint64_t before = sample_value(rig().scrape(), displays);
        std::vector<std::thread> clients;
        for (int i = 0; i < kConcurrent; ++i) {
            clients.emplace_back([] { rig().scrape(); });
        }
        for (std::thread &t : clients) {
            t.join();
        }
        // The scrape reading the count made its own displays first.
        const uint64_t after = sample_value(rig().scrape(), displays);
        state.counters["med_ms"] = scrapes.median() / 1e6;
        state.counters["gzip_ms"] = gzipped.median() / 1e6;
        state.counters["MiB"] = static_cast<double>(bytes) / (1 << 20);
        state.counters["displays_per_card_x10"] =
            static_cast<double>(after - before - cards) / static_cast<double>(cards);
    });
}

// ---- Flow sets ---------------------------------------------------------------------

// Slot 3 takes the applies: a card of its own with the full range, so that
// slot 2's replay and snapshot rows keep their configuration.
constexpr uint32_t kApplySlot = 3;

// The flows as a flow-set text for the slot, in their configuration order.
std::string flow_set_text(uint32_t slot, const std::vector<FlowKey> &flows) {
    std::string text;
    for (const FlowKey &key : flows) {
        text += model::format_flow_entry(slot, key, "");
        text += '\n';
    }
    return text;
}

json apply_params(const std::string &text, const std::vector<uint32_t> &slots, bool prune,
                  bool dry_run) {
    return {{"flows", text}, {"slots", slots}, {"prune", prune}, {"dry_run", dry_run}};
}

// One request on the connection, its answer read and parsed; the result.
json ask(harness::RpcClient &client, const std::string &method, const json &params) {
    if (!client.send_raw(request_line(1, method, params))) {
        fail("cannot write to the supervisor");
    }
    json answer = json::parse(read_answer(client));
    if (!answer.contains("result")) {
        fail(method + " failed: " + answer.dump().substr(0, 2000));
    }
    return std::move(answer.at("result"));
}

void expect_count(const json &result, const char *field, size_t n) {
    if (result.value(field, size_t{0}) != n) {
        const std::string text = result.dump();
        fail(std::string("flow.apply: ") + field + " is not " + std::to_string(n) + ": " +
             text.substr(0, 2000));
    }
}

// The slot's card up, with no flow configured: an apply of an empty text
// with prune while the card is down, then a new card. Removing 65,535 flows
// from a live card costs the library a whole-tree walk each (tens of seconds
// for a full table); a restarted card replays none.
void empty_slot(Rig &r, uint32_t slot, const Counters &counters) {
    if (r.has_card(slot) && Rig::ready_with(r.card_entry(slot), 0)) {
        return;
    }
    if (r.has_card(slot)) {
        r.kill_card(slot);
    }
    harness::RpcClient client(r.control_socket());
    ask(client, "flow.apply", apply_params("", {slot}, true, false));
    r.start_card(slot, counters);
    r.wait_ready(slot, 0, 60s);
}

// One flow.apply of 65,535 flows to slot 3's empty card, from the request
// until the answer (which comes once the card answered every add). Untimed
// after each: the slot emptied again (empty_slot), and the library inserts
// the same flows in the same order in this process. CPU time as the replay
// row gives it: the card's and the supervisor's during the apply.
void BM_Apply(benchmark::State &state) {
    guarded(state, [&] {
        const auto n = static_cast<uint32_t>(state.range(0));
        const std::vector<FlowKey> flows = make_flows(n);
        const std::string text = flow_set_text(kApplySlot, flows);
        empty_slot(rig(), kApplySlot, kFullCounters);
        harness::RpcClient client(rig().control_socket());
        const json params = apply_params(text, {kApplySlot}, false, false);
        Samples applies;
        Samples directs;
        Samples supervisor_cpu;
        Samples card_cpu;
        Samples direct_cpu;
        for (auto _ : state) {
            const double supervisor_before = process_cpu_ns(rig().supervisor_pid());
            const double card_before = process_cpu_ns(rig().card_pid(kApplySlot));
            const Clock::time_point start = Clock::now();
            const json result = ask(client, "flow.apply", params);
            const double ns = since(start);
            supervisor_cpu.add(process_cpu_ns(rig().supervisor_pid()) - supervisor_before);
            card_cpu.add(process_cpu_ns(rig().card_pid(kApplySlot)) - card_before);
            expect_count(result, "added", n);
            expect_count(result, "applied", n);
            state.SetIterationTime(ns * 1e-9);
            applies.add(ns);
            empty_slot(rig(), kApplySlot, kFullCounters);
            const Spent direct = library_holds(flows, kFullCounters);
            directs.add(direct.wall_ns);
            direct_cpu.add(direct.cpu_ns);
        }
        const double apply_ns = applies.median();
        const double direct_ns = directs.median();
        state.counters["med_ms"] = apply_ns / 1e6;
        state.counters["direct_ms"] = direct_ns / 1e6;
        state.counters["x_direct"] = apply_ns / direct_ns;
        state.counters["card_cpu_ms"] = card_cpu.median() / 1e6;
        state.counters["sup_cpu_ms"] = supervisor_cpu.median() / 1e6;
        state.counters["direct_cpu_ms"] = direct_cpu.median() / 1e6;
    });
}

// One flow.apply with dry_run of the 65,535-flow text: against slot 3's empty
// card (every flow an add, the answer listing them all: med_ms), then
// against slot 2, which holds the same flows (nothing changes: same_ms).
void BM_ApplyDryRun(benchmark::State &state) {
    guarded(state, [&] {
        const auto n = static_cast<uint32_t>(state.range(0));
        const std::vector<FlowKey> &flows = flows_of(n);
        empty_slot(rig(), kApplySlot, kFullCounters);
        const json to_empty =
            apply_params(flow_set_text(kApplySlot, flows), {kApplySlot}, false, true);
        const json to_same = apply_params(flow_set_text(kFullSlot, flows), {kFullSlot}, true, true);
        harness::RpcClient client(rig().control_socket());
        Samples empties;
        Samples sames;
        for (auto _ : state) {
            Clock::time_point start = Clock::now();
            expect_count(ask(client, "flow.apply", to_empty), "added", n);
            const double ns = since(start);
            state.SetIterationTime(ns * 1e-9);
            empties.add(ns);
            start = Clock::now();
            expect_count(ask(client, "flow.apply", to_same), "unchanged", n);
            sames.add(since(start));
        }
        state.counters["med_ms"] = empties.median() / 1e6;
        state.counters["same_ms"] = sames.median() / 1e6;
    });
}

// One flow.export of slot 2 (65,535 flows): from the request until the
// answer is parsed and its text's lines counted.
void BM_Export(benchmark::State &state) {
    guarded(state, [&] {
        const auto n = static_cast<uint32_t>(state.range(0));
        flows_of(n);
        const json params = {{"slots", json::array({kFullSlot})}};
        harness::RpcClient client(rig().control_socket());
        Samples exports;
        for (auto _ : state) {
            const Clock::time_point start = Clock::now();
            const json result = ask(client, "flow.export", params);
            const auto &text = result.at("text").get_ref<const std::string &>();
            const auto lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
            const double ns = since(start);
            if (lines != n) {
                fail("flow.export: " + std::to_string(lines) + " lines, not " + std::to_string(n));
            }
            state.SetIterationTime(ns * 1e-9);
            exports.add(ns);
        }
        state.counters["med_ms"] = exports.median() / 1e6;
    });
}

// A rig of its own: 16 cards of 4,096 counters (1 to 4096), and one text of
// 4,096 flows per slot applied at once, timed from the request until the
// answer, with the supervisor's memory before and after. Then flow.show of
// the whole chassis, from the request until every row is read (med_ms,
// median of the iterations). The rig stops when the row ends.
void BM_Chassis16(benchmark::State &state) {
    guarded(state, [&] {
        const auto cards = static_cast<uint32_t>(state.range(0));
        const auto per_card = static_cast<uint32_t>(state.range(1));
        constexpr Counters kCardCounters{1, 4097};
        Rig big;
        // guarded() prints the shared rig's logs; this one's are here.
        try {
            for (uint32_t slot = 1; slot <= cards; ++slot) {
                big.start_card(slot, kCardCounters);
            }
            for (uint32_t slot = 1; slot <= cards; ++slot) {
                big.wait_ready(slot, 0, 60s);
            }
            const std::vector<FlowKey> flows = make_flows(per_card);
            std::string text;
            for (uint32_t slot = 1; slot <= cards; ++slot) {
                text += flow_set_text(slot, flows);
            }
            const size_t total = static_cast<size_t>(cards) * per_card;
            harness::RpcClient client(big.control_socket());
            const Memory before = memory_of(big.supervisor_pid());
            const Clock::time_point start = Clock::now();
            const json result = ask(client, "flow.apply", {{"flows", text}});
            const double apply_ns = since(start);
            const Memory after = memory_of(big.supervisor_pid());
            expect_count(result, "added", total);
            expect_count(result, "applied", total);

            const std::string show = request_line(1, "flow.show", json::object());
            Samples shows;
            for (auto _ : state) {
                const Clock::time_point show_start = Clock::now();
                if (!client.send_raw(show)) {
                    fail("cannot write to the supervisor");
                }
                const json answer = json::parse(read_answer(client));
                size_t held = 0;
                uint64_t frames = 0;
                for (const json &row : answer.at("result").at("flows")) {
                    frames += row.at("frames").get<uint64_t>();
                    held += row.at("counter").is_null() ? 0 : 1;
                }
                const double ns = since(show_start);
                benchmark::DoNotOptimize(frames);
                if (held != total) {
                    fail("flow.show: " + std::to_string(held) + " flows held, not " +
                         std::to_string(total));
                }
                state.SetIterationTime(ns * 1e-9);
                shows.add(ns);
            }
            const Memory settled = memory_of(big.supervisor_pid());
            Samples scrapes;
            for (int i = 0; i < 3; ++i) {
                const Clock::time_point scrape_start = Clock::now();
                if (samples_of(big.scrape(), "acl_tcam_flow_frames_total") != total) {
                    fail("GET /metrics: not every flow");
                }
                scrapes.add(since(scrape_start));
            }
            state.counters["scrape_ms"] = scrapes.median() / 1e6;
            state.counters["apply_ms"] = apply_ns / 1e6;
            state.counters["med_ms"] = shows.median() / 1e6;
            state.counters["rss_before_MiB"] = before.rss_kib / 1024;
            state.counters["rss_after_MiB"] = after.rss_kib / 1024;
            state.counters["hwm_after_MiB"] = after.hwm_kib / 1024;
            state.counters["hwm_end_MiB"] = settled.hwm_kib / 1024;
        } catch (const std::exception &) {
            std::fprintf(stderr, "%s\n", big.logs().c_str());
            throw;
        }
    });
}

// The order matters: slot 1's rows first, then the replay, which configures
// slot 2, then its snapshot; the applies use slot 3 and slot 2's flows; the
// 16-card chassis comes last, on a rig of its own.
void register_all() {
    using benchmark::RegisterBenchmark;
    constexpr int64_t kClients = 4;
    RegisterBenchmark("chassis_query", BM_Query)
        ->Arg(kSmall)
        ->Iterations(3000)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("chassis_throughput", BM_Throughput)
        ->Args({kSmall, kClients, kMaxDepth})
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("chassis_show", BM_Show)
        ->Arg(kSmall)
        ->Iterations(20)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("chassis_replay", BM_Replay)
        ->Arg(kFull)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("chassis_show", BM_Show)
        ->Arg(kFull)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("chassis_scrape", BM_Scrape)
        ->Arg(kFull)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("chassis_apply", BM_Apply)
        ->Arg(kFull)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("chassis_apply_dry_run", BM_ApplyDryRun)
        ->Arg(kFull)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("chassis_export", BM_Export)
        ->Arg(kFull)
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("chassis_apply_16x4096", BM_Chassis16)
        ->Args({16, 4096})
        ->Iterations(5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char **argv) {
    // The daemons are found beside this program's build unless told otherwise.
    setenv("CHASSIS_BIN", CHASSIS_BENCH_BIN, 0);
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    bench::ConsoleTable table;
    benchmark::RunSpecifiedBenchmarks(&table);
    benchmark::Shutdown();
    the_rig.reset();
    return 0;
}
