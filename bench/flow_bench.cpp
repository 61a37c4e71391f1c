// What the library costs a line card, at table sizes from a lab switch to a
// full counter range, with a host whose callbacks do real but cheap work.
//
// Every insertion, query and removal walks the whole flow tree, so the walk
// is measured against its floor in the same run: the same flows in one flat
// array, handed to the same walk callback. Ratios to that floor appear as
// counters ("x_floor"): for a whole-tree walk alone, and for each operation
// against as many floor scans as it walks the tree, each floor scan taken
// right beside what it is compared with (the machine is shared).
//
// The flow mix: about 2% VSAN flows (one per VSAN at most), 18% domain-pair
// flows and 80% exact flows over 16 VSANs; half the exact flows lie inside a
// domain-pair flow. Flows are inserted in a shuffled order, as a download
// delivers them.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "avl.h"
#include "bench_support.h"
#include "flow_set.h"
#include "platform_sim.h"

// ---- The host ---------------------------------------------------------------

namespace {

// The simulated hardware: one frame and byte counter per counter id, and
// the counter each flow's entry counts on.
struct Hardware {
    std::array<flow_hw_stats_t, 65536> counters{};
    uint64_t updates = 0;
    uint64_t replies = 0;
    uint64_t reply_status = 0;
};
Hardware hw;

} // namespace

extern "C" {
int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    if (counter_id >= hw.counters.size()) {
        return -1;
    }
    // Traffic keeps flowing: every read sees a few more frames.
    flow_hw_stats_t &c = hw.counters[counter_id];
    c.frames += 3;
    c.bytes += 3 * 2112;
    *stats = c;
    return 0;
}

int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update) {
    if (update->install != 0 && update->counter_id < hw.counters.size()) {
        hw.counters[update->counter_id] = flow_hw_stats_t{};
    }
    ++hw.updates;
    return 0;
}
}

namespace {

int reply_sink(void *, const vexa_sim_sent_t *sent) {
    ++hw.replies;
    if (sent->len >= ACL_TCAM_WIRE_STATUS_AT + 4) {
        hw.reply_status |= acl_tcam_wire_get_be32(sent->payload + ACL_TCAM_WIRE_STATUS_AT);
    }
    return 0;
}

// The debug callback lives in a module of its own, loaded after the log
// line has been measured without it. It cannot be unloaded again: the
// dynamic linker ties a module to the library that looked a symbol up in it.
void *debug_module;

void load_debug_callback() {
    if (debug_module == nullptr) {
        debug_module = dlopen(FLOW_BENCH_DEBUG_MODULE, RTLD_NOW | RTLD_GLOBAL);
        if (debug_module == nullptr) {
            std::fprintf(stderr, "flow_bench: %s\n", dlerror());
            std::exit(1);
        }
    }
}

bool debug_callback_visible() {
    return dlsym(RTLD_DEFAULT, "acl_tcam_flow_debug_cb") != nullptr;
}

// ---- Flows --------------------------------------------------------------------

constexpr uint32_t kTableSize = 65535;
constexpr std::array<uint32_t, 4> kSizes = {100, 2000, 20000, 65535};

flow_t vsan_flow(uint32_t vsan) {
    flow_t f{};
    f.type = FLOW_TYPE_VSAN;
    f.vsan = vsan;
    f.bitmask = FLOW_MASK_VSAN;
    return f;
}

flow_t domain_flow(uint32_t vsan, uint32_t sdom, uint32_t ddom) {
    flow_t f{};
    f.type = FLOW_TYPE_DOMAIN;
    f.vsan = vsan;
    f.sid = sdom << 16;
    f.did = ddom << 16;
    f.bitmask = FLOW_MASK_DOMAIN;
    return f;
}

flow_t exact_flow(uint32_t vsan, uint32_t sid, uint32_t did) {
    flow_t f{};
    f.type = FLOW_TYPE_SID_DID;
    f.vsan = vsan;
    f.sid = sid;
    f.did = did;
    f.bitmask = FLOW_MASK_SID_DID;
    return f;
}

// n distinct flows of the mix, in insertion order.
std::vector<flow_t> make_flows(uint32_t n) {
    std::vector<flow_t> flows;
    for (const bench::MixFlow &f : bench::flow_mix(n)) {
        flows.push_back(f.type == FLOW_TYPE_VSAN     ? vsan_flow(f.vsan)
                        : f.type == FLOW_TYPE_DOMAIN ? domain_flow(f.vsan, f.sid >> 16, f.did >> 16)
                                                     : exact_flow(f.vsan, f.sid, f.did));
    }
    return flows;
}

// The flows a single-operation benchmark cycles through: a uniform sample of
// the table, so the operations see the mix.
std::vector<flow_t> sample_of(const std::vector<flow_t> &flows, size_t count) {
    std::vector<flow_t> sample;
    const size_t step = std::max<size_t>(1, flows.size() / count);
    for (size_t i = 0; i < flows.size() && sample.size() < count; i += step) {
        sample.push_back(flows[i]);
    }
    return sample;
}

std::vector<flow_t> of_type(const std::vector<flow_t> &flows, uint32_t type, size_t count) {
    std::vector<flow_t> out;
    for (const flow_t &f : flows) {
        if (f.type == type && out.size() < count) {
            out.push_back(f);
        }
    }
    return out;
}

// ---- The table of the current size ------------------------------------------

struct Table {
    uint32_t n = 0;
    std::vector<flow_t> flows;
    double heap_bytes_per_flow = 0;
    double record_bytes_per_flow = 0;
    double counter_table_bytes_per_flow = 0;
    // The same flows in a tree of our own, records allocated the way the
    // library allocates its own, and in one flat array in key order.
    avl_tree_t *mirror = nullptr;
    std::vector<flow_t *> mirror_records;
    std::vector<flow_t> flat;
    // Floor of one scan of the flat array, ns, per walk callback.
    double floor_finer_ns = 0;
    double floor_coarser_ns = 0;
};
Table table;

void drop_mirror() {
    if (table.mirror != nullptr) {
        avl_sim_destroy(table.mirror);
        table.mirror = nullptr;
    }
    for (flow_t *record : table.mirror_records) {
        acl_tcam_flow_free(__FILE__, __LINE__, record);
    }
    table.mirror_records.clear();
}

// The library's table holds exactly n flows of the mix.
void ensure_table(uint32_t n) {
    load_debug_callback();
    if (table.n == n) {
        return;
    }
    drop_mirror();
    table = Table{};
    acl_tcam_flow_init(1, 0, kTableSize);
    acl_tcam_flow_set_region_init_done();
    table.flows = make_flows(n);
    const size_t heap_before = mallinfo2().uordblks;
    const uint64_t records_before =
        mtrack_sim_live_bytes(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_t);
    for (flow_t f : table.flows) {
        acl_tcam_flow_set(&f);
    }
    table.n = n;
    table.heap_bytes_per_flow = static_cast<double>(mallinfo2().uordblks - heap_before) / n;
    table.record_bytes_per_flow =
        static_cast<double>(mtrack_sim_live_bytes(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_t) -
                            records_before) /
        n;
    table.counter_table_bytes_per_flow =
        static_cast<double>(
            mtrack_sim_live_bytes(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_gl_counter_table_t)) /
        n;

    table.mirror = avl_create(acl_tcam_flow_avl_compare, nullptr);
    for (const flow_t &f : table.flows) {
        auto *record = static_cast<flow_t *>(
            acl_tcam_flow_malloc(__FILE__, __LINE__, ACL_TCAM_FS_MEM_flow_t, sizeof(flow_t)));
        *record = f;
        avl_insert(table.mirror, record);
        table.mirror_records.push_back(record);
    }
    table.flat = table.flows;
    std::sort(table.flat.begin(), table.flat.end(), [](const flow_t &a, const flow_t &b) {
        return acl_tcam_flow_avl_compare(&a, &b) < 0;
    });
}

flow_walk_ctx_t context_of(const flow_t &f) {
    flow_walk_ctx_t ctx{};
    ctx.type = f.type;
    ctx.counter_id = f.counter_id;
    ctx.vsan = f.vsan;
    ctx.sid = f.sid;
    ctx.did = f.did;
    ctx.bitmask = f.bitmask;
    return ctx;
}

using bench::Samples;
using bench::since;

// ---- Whole-tree walks and their floor ------------------------------------------

// Subjects of the walk benchmarks: exact flows, the bulk of every table. Their
// walks match few or no nodes, so the walk itself is what is measured.
std::vector<flow_walk_ctx_t> walk_subjects() {
    std::vector<flow_walk_ctx_t> out;
    for (const flow_t &f : of_type(table.flows, FLOW_TYPE_SID_DID, 16)) {
        out.push_back(context_of(f));
    }
    return out;
}

// One scan of the flat array, timed: the floor of one walk with fn.
double timed_floor_scan(avl_walk_fn fn, const flow_walk_ctx_t &subject) {
    flow_walk_ctx_t ctx = subject;
    const auto start = std::chrono::steady_clock::now();
    for (flow_t &f : table.flat) {
        fn(&f, &ctx);
    }
    benchmark::DoNotOptimize(ctx);
    return since(start);
}

// The floor, measured beside the thing compared with it: on a shared machine
// only measurements taken side by side make a fair ratio.
class FloorMeter {
public:
    explicit FloorMeter(bool coarser_walk_too)
        : coarser_(coarser_walk_too), subject_(walk_subjects().front()) {}
    void scan() {
        double ns = timed_floor_scan(get_finer_flow_stats, subject_);
        if (coarser_) {
            ns += timed_floor_scan(set_coarser_flow_stats, subject_);
        }
        floor_.add(ns);
    }
    void add_measured(benchmark::State &state, double ns) {
        state.SetIterationTime(ns * 1e-9);
        measured_.add(ns);
    }
    void report(benchmark::State &state) {
        const double measured = measured_.median();
        state.counters["med_us"] = measured / 1000;
        state.counters["x_floor"] = measured / floor_.median();
    }

private:
    bool coarser_;
    flow_walk_ctx_t subject_;
    Samples floor_;
    Samples measured_;
};

void BM_FloorScan(benchmark::State &state, bool coarser) {
    ensure_table(static_cast<uint32_t>(state.range(0)));
    const avl_walk_fn fn = coarser ? set_coarser_flow_stats : get_finer_flow_stats;
    const auto subjects = walk_subjects();
    size_t next = 0;
    Samples scans;
    for (auto _ : state) {
        const double ns = timed_floor_scan(fn, subjects[next++ % subjects.size()]);
        state.SetIterationTime(ns * 1e-9);
        scans.add(ns);
    }
    const double ns = scans.median();
    (coarser ? table.floor_coarser_ns : table.floor_finer_ns) = ns;
    state.counters["med_us"] = ns / 1000;
    state.counters["ns_per_flow"] = ns / table.n;
}

// Each walk of the tree alternates with a scan of the floor for the same
// subject.
void BM_TreeWalk(benchmark::State &state, bool coarser) {
    ensure_table(static_cast<uint32_t>(state.range(0)));
    const avl_walk_fn fn = coarser ? set_coarser_flow_stats : get_finer_flow_stats;
    const auto subjects = walk_subjects();
    size_t next = 0;
    Samples walks;
    Samples floors;
    for (auto _ : state) {
        const flow_walk_ctx_t &subject = subjects[next++ % subjects.size()];
        flow_walk_ctx_t ctx = subject;
        const auto start = std::chrono::steady_clock::now();
        avl_walk(table.mirror, fn, &ctx);
        benchmark::DoNotOptimize(ctx);
        const double ns = since(start);
        state.SetIterationTime(ns * 1e-9);
        walks.add(ns);
        floors.add(timed_floor_scan(fn, subject));
    }
    const double walk_ns = walks.median();
    state.counters["med_us"] = walk_ns / 1000;
    state.counters["ns_per_flow"] = walk_ns / table.n;
    state.counters["x_floor"] = walk_ns / floors.median();
}

// ---- Single operations, direct calls -------------------------------------------

// Which flows an operation benchmark cycles through: the mix, or one type.
std::vector<flow_t> subjects_for(int64_t type) {
    return type == 0 ? sample_of(table.flows, 200) : of_type(table.flows, type, 16);
}

void label_type(benchmark::State &state, int64_t type) {
    static constexpr const char *kNames[] = {"mix", "VSAN flows", "domain flows", "exact flows"};
    state.SetLabel(kNames[type]);
}

enum class Op { Insert, Query, Remove };

// One operation on a flow of the subjects. An insertion's flow is removed
// untimed first and a removal's put back untimed afterwards; a removal walks
// twice, so its floor is two scans.
void BM_Operation(benchmark::State &state, Op op, int64_t type) {
    ensure_table(static_cast<uint32_t>(state.range(0)));
    const auto subjects = subjects_for(type);
    size_t next = 0;
    FloorMeter floor(op == Op::Remove);
    for (auto _ : state) {
        flow_t f = subjects[next++ % subjects.size()];
        if (op == Op::Insert) {
            acl_tcam_flow_del(&f);
        }
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(op == Op::Insert  ? acl_tcam_flow_set(&f)
                                 : op == Op::Query ? acl_tcam_flow_get(&f)
                                                   : acl_tcam_flow_del(&f));
        const double ns = since(start);
        if (op == Op::Remove) {
            acl_tcam_flow_set(&f);
        }
        floor.add_measured(state, ns);
        floor.scan();
    }
    label_type(state, type);
    floor.report(state);
}

// Every flow queried once, as a poll of the whole table.
void BM_PollingRound(benchmark::State &state) {
    ensure_table(static_cast<uint32_t>(state.range(0)));
    Samples rounds;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (flow_t f : table.flows) {
            benchmark::DoNotOptimize(acl_tcam_flow_get(&f));
        }
        const double ns = since(start);
        state.SetIterationTime(ns * 1e-9);
        rounds.add(ns);
    }
    const double ns = rounds.median();
    state.counters["med_ms"] = ns / 1e6;
    state.counters["us_per_flow"] = ns / table.n / 1000;
    if (table.floor_finer_ns > 0) {
        state.counters["x_floor"] = ns / (table.floor_finer_ns * table.n);
    }
}

// ---- Single operations through the message path -------------------------------

std::array<uint8_t, ACL_TCAM_FS_CMI_LEN> request_for(int32_t msg_type, const flow_t &f) {
    // A domain flow's request carries any identifiers of the domains.
    const uint32_t low = f.type == FLOW_TYPE_DOMAIN ? 0x0101 : 0;
    const acl_tcam_wire_request_t r =
        acl_tcam_wire_flow_request(msg_type, f.type, f.vsan, f.sid | low, f.did | low, 1);
    std::array<uint8_t, ACL_TCAM_FS_CMI_LEN> payload{};
    acl_tcam_wire_encode_request(payload.data(), &r);
    return payload;
}

struct Request {
    std::array<uint8_t, ACL_TCAM_FS_CMI_LEN> payload;
    vexa_msg_t msg;
};

std::vector<Request> requests_for(int32_t msg_type, const std::vector<flow_t> &flows) {
    std::vector<Request> out(flows.size());
    for (size_t i = 0; i < flows.size(); ++i) {
        out[i].payload = request_for(msg_type, flows[i]);
        out[i].msg = vexa_msg_t{};
    }
    for (Request &r : out) {
        r.msg.payload = r.payload.data();
        r.msg.payload_len = static_cast<uint32_t>(r.payload.size());
    }
    return out;
}

// One request message: 3 insertion, 4 removal, 1 query. Insertions and
// removals are undone untimed by direct calls.
void BM_Message(benchmark::State &state, int32_t msg_type) {
    ensure_table(static_cast<uint32_t>(state.range(0)));
    const auto subjects = subjects_for(0);
    auto requests = requests_for(msg_type, subjects);
    vexa_sim_set_sink(reply_sink, nullptr);
    size_t next = 0;
    FloorMeter floor(msg_type == ACL_TCAM_FS_MSG_DEL);
    for (auto _ : state) {
        const size_t i = next++ % subjects.size();
        flow_t f = subjects[i];
        if (msg_type == ACL_TCAM_FS_MSG_SET) {
            acl_tcam_flow_del(&f);
        }
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(acl_tcam_flow_process_stats_msg(1, &requests[i].msg));
        const double ns = since(start);
        if (msg_type == ACL_TCAM_FS_MSG_DEL) {
            acl_tcam_flow_set(&f);
        }
        floor.add_measured(state, ns);
        floor.scan();
    }
    vexa_sim_set_sink(nullptr, nullptr);
    if (hw.reply_status != 0) {
        state.SkipWithError("a request was refused");
    }
    floor.report(state);
}

// ---- Display, logging, memory --------------------------------------------------

// The whole display, standard output going to /dev/null.
void BM_Display(benchmark::State &state) {
    ensure_table(static_cast<uint32_t>(state.range(0)));
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    vexa_msg_t request{};
    Samples displays;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(acl_tcam_print_flows_info(&request));
        const double ns = since(start);
        state.SetIterationTime(ns * 1e-9);
        displays.add(ns);
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null);
    close(saved);
    state.counters["med_ms"] = displays.median() / 1e6;
    state.SetItemsProcessed(state.iterations() * table.n);
}

// One trace line: the counter choice logs exactly one and does little else.
void BM_LogLine(benchmark::State &state) {
    const bool with_callback = state.range(0) != 0;
    if (with_callback) {
        load_debug_callback();
    }
    if (debug_callback_visible() != with_callback) {
        state.SkipWithError("the debug callback is loaded already: run this one first");
    }
    uint32_t out = 0;
    for (auto _ : state) {
        acl_tcam_flow_choose_counter(3, 7, &out);
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(with_callback ? "with debug callback" : "without debug callback");
}

void BM_Memory(benchmark::State &state) {
    ensure_table(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.n);
    }
    state.counters["record_B"] = table.record_bytes_per_flow;
    state.counters["heap_B"] = table.heap_bytes_per_flow;
    state.counters["ctr_table_B"] = table.counter_table_bytes_per_flow;
}

// ---- Flow-set files --------------------------------------------------------------

// A full card's flows as a flow-set file, every fourth one named, lines in the
// mix's shuffled order (as an operator's file may be).
std::string flow_set_text(uint32_t n) {
    std::string text;
    uint32_t i = 0;
    for (const bench::MixFlow &f : bench::flow_mix(n)) {
        std::string why;
        const auto key =
            model::make_key(static_cast<model::FlowType>(f.type), f.vsan, f.sid, f.did, &why);
        const std::string name = i++ % 4 == 0 ? "host-" + std::to_string(i) : "";
        text += model::format_flow_entry(1, *key, name) + "\n";
    }
    return text;
}

// parse_flow_set (write = false) or write_flow_set of one full card.
void BM_FlowSet(benchmark::State &state, bool write) {
    const std::string text = flow_set_text(static_cast<uint32_t>(state.range(0)));
    const auto entries = model::parse_flow_set(text);
    if (!entries.ok()) {
        state.SkipWithError(entries.error().message.c_str());
        return;
    }
    Samples runs;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (write) {
            benchmark::DoNotOptimize(model::write_flow_set(*entries));
        } else {
            benchmark::DoNotOptimize(model::parse_flow_set(text));
        }
        const double ns = since(start);
        state.SetIterationTime(ns * 1e-9);
        runs.add(ns);
    }
    state.counters["med_ms"] = runs.median() / 1e6;
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One table: the median of the repetitions of each benchmark, named by what
// it measures and its table size.
class MedianTable : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal.
    MedianTable() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Color : OO_None) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        std::vector<Run> medians;
        for (Run run : runs) {
            if (run.error_occurred) {
                medians.push_back(run);
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                run.run_type = Run::RT_Iteration;
                run.run_name.min_time.clear();
                run.run_name.iterations.clear();
                run.run_name.repetitions.clear();
                run.run_name.time_type.clear();
                medians.push_back(run);
            }
        }
        if (!medians.empty()) {
            ConsoleReporter::ReportRuns(medians);
        }
    }
};

// The machine is shared, so every benchmark runs three times and the table
// shows the median.
constexpr int kRepetitions = 3;

template <class Fn, class... Args>
benchmark::internal::Benchmark *add(const std::string &name, Fn fn, Args... args) {
    return benchmark::RegisterBenchmark(name.c_str(), fn, args...)
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true);
}

// Grouped by table size, so that each table is built once.
void register_all() {
    // Before anything loads the debug callback.
    add("log_line", BM_LogLine)->Arg(0)->MinTime(0.05);
    add("log_line", BM_LogLine)->Arg(1)->MinTime(0.05);
    for (uint32_t n : kSizes) {
        const auto ni = static_cast<int64_t>(n);
        const double min_time = n >= 20000 ? 0.05 : 0.1;
        for (bool coarser : {false, true}) {
            const std::string walk = coarser ? "coarser" : "finer";
            add("floor_scan_" + walk, BM_FloorScan, coarser)
                ->Arg(ni)
                ->UseManualTime()
                ->MinTime(min_time);
            add("tree_walk_" + walk, BM_TreeWalk, coarser)
                ->Arg(ni)
                ->UseManualTime()
                ->MinTime(min_time);
        }
        std::vector<int64_t> types = {0};
        if (n == 2000) {
            types = {0, FLOW_TYPE_VSAN, FLOW_TYPE_DOMAIN, FLOW_TYPE_SID_DID};
        }
        for (int64_t type : types) {
            static constexpr const char *kSuffix[] = {"", "_vsan", "_domain", "_exact"};
            const std::string suffix = kSuffix[type];
            for (const auto &[name, op] :
                 {std::pair{"insert", Op::Insert}, std::pair{"query", Op::Query},
                  std::pair{"remove", Op::Remove}}) {
                add(name + suffix, BM_Operation, op, type)
                    ->Arg(ni)
                    ->UseManualTime()
                    ->MinTime(min_time);
            }
        }
        add("msg_insert", BM_Message, ACL_TCAM_FS_MSG_SET)
            ->Arg(ni)
            ->UseManualTime()
            ->MinTime(min_time);
        add("msg_query", BM_Message, ACL_TCAM_FS_MSG_GET)
            ->Arg(ni)
            ->UseManualTime()
            ->MinTime(min_time);
        add("msg_remove", BM_Message, ACL_TCAM_FS_MSG_DEL)
            ->Arg(ni)
            ->UseManualTime()
            ->MinTime(min_time);
        add("polling_round", BM_PollingRound)
            ->Arg(ni)
            ->Iterations(n >= 20000 ? 1 : 10)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
        add("display", BM_Display)
            ->Arg(ni)
            ->UseManualTime()
            ->MinTime(min_time)
            ->Unit(benchmark::kMillisecond);
        add("memory_per_flow", BM_Memory)->Arg(ni)->Iterations(1);
    }
    for (const bool write : {false, true}) {
        add(write ? "flow_set_write" : "flow_set_parse", BM_FlowSet, write)
            ->Arg(65535)
            ->UseManualTime()
            ->MinTime(0.2)
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace

int main(int argc, char **argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    MedianTable table_reporter;
    benchmark::RunSpecifiedBenchmarks(&table_reporter);
    benchmark::Shutdown();
    drop_mirror();
    return 0;
}
