// Costs of the library's operations against tables of a given size, with a
// host whose callbacks do almost nothing, so that the library's own work
// (tree walks, logging, symbol lookups, formatting) is what is measured.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "acl_tcam_flow_stats.h"
#include "platform_sim.h"
#include "wire.h"

extern "C" {
void acl_tcam_flow_debug_cb(uint32_t, uint32_t, const char *text) {
    benchmark::DoNotOptimize(text);
}
int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *) {
    return 0;
}
int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    stats->frames = counter_id;
    stats->bytes = counter_id * 1000ull;
    return 0;
}
}

namespace {

constexpr uint32_t kVsan = 1;

flow_t exact(uint32_t i) {
    flow_t f{};
    f.type = FLOW_TYPE_SID_DID;
    f.vsan = kVsan;
    f.sid = 0x010000 | (i & 0xffff);
    f.did = 0x020000 | (i >> 16);
    f.bitmask = FLOW_MASK_SID_DID;
    return f;
}

flow_t vsan_flow() {
    flow_t f{};
    f.type = FLOW_TYPE_VSAN;
    f.vsan = kVsan;
    f.bitmask = FLOW_MASK_VSAN;
    return f;
}

// A fresh table holding n exact flows of one VSAN.
void fill_table(uint32_t n) {
    acl_tcam_flow_init(1, 1, 65535);
    for (uint32_t i = 0; i < n; ++i) {
        flow_t f = exact(i);
        acl_tcam_flow_set(&f);
    }
}

// One insertion and one removal of a flow beside n exact flows: each walks
// the whole tree, and the VSAN flow also reads n counters for its baseline.
void BM_InsertRemove(benchmark::State &state, flow_t f) {
    fill_table(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        acl_tcam_flow_set(&f);
        acl_tcam_flow_del(&f);
    }
}
BENCHMARK_CAPTURE(BM_InsertRemove, Exact, exact(0xfffff))->Arg(100)->Arg(1000)->Arg(10000);
BENCHMARK_CAPTURE(BM_InsertRemove, CoveringFlow, vsan_flow())->Arg(100)->Arg(1000)->Arg(10000);

void BM_QueryCoveringFlow(benchmark::State &state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    fill_table(n);
    flow_t f = vsan_flow();
    acl_tcam_flow_set(&f);
    for (auto _ : state) {
        flow_t query = vsan_flow();
        benchmark::DoNotOptimize(acl_tcam_flow_get(&query));
    }
}
BENCHMARK(BM_QueryCoveringFlow)->Arg(100)->Arg(1000)->Arg(10000);

// The worst lookup: an exact key that falls back to the VSAN flow.
void BM_LookupFallback(benchmark::State &state) {
    fill_table(10000);
    flow_t f = vsan_flow();
    acl_tcam_flow_set(&f);
    uint32_t out = 0;
    for (auto _ : state) {
        acl_tcam_flow_get_counter_id(kVsan, 0x0a0000, 0x0b0000, FLOW_TYPE_SID_DID, &out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_LookupFallback);

// A query message end to end: decode, dispatch, walk, full reply.
void BM_DispatchQuery(benchmark::State &state) {
    fill_table(1000);
    acl_tcam_flow_set_region_init_done();
    std::array<uint8_t, ACL_TCAM_FS_CMI_LEN> payload{};
    const flow_t key = exact(500);
    wire::put_be32(&payload[wire::kMsgTypeAt], ACL_TCAM_FS_MSG_GET);
    wire::put_be32(&payload[wire::kIndexAt], 1);
    payload[wire::kFlowTypeAt] = ACL_TCAM_FS_REQ_FLOW_SID_DID;
    wire::put_be32(&payload[wire::kVsanAt], kVsan);
    wire::put_be32(&payload[wire::kDidAt], key.did);
    wire::put_be32(&payload[wire::kSidAt], key.sid);
    wire::put_be32(&payload[wire::kMaskAt], ACL_TCAM_FS_REQ_MASK_EXACT);
    vexa_msg_t msg{};
    msg.payload = payload.data();
    msg.payload_len = payload.size();
    for (auto _ : state) {
        benchmark::DoNotOptimize(acl_tcam_flow_process_stats_msg(1, &msg));
    }
}
BENCHMARK(BM_DispatchQuery);

// The whole display of n flows, standard output going to /dev/null.
void BM_Display(benchmark::State &state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    fill_table(n);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    vexa_msg_t request{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(acl_tcam_print_flows_info(&request));
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null);
    close(saved);
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Display)->Arg(10000);

} // namespace

BENCHMARK_MAIN();
