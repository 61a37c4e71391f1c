// The reference line-card host.
//
// It does what a line-card process does around the flow stats library: it
// exports the three host callbacks, plays the TCAM (entries and counters), and
// serves flow requests by handing request messages to the library. On top of
// that it keeps its own ground truth of every flow's frames and bytes, so the
// built-in scenario can check each total the library reports.
//
// Run with -v to also see the library's trace texts. Exit status 0 means every
// check matched and the library left no allocation behind.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "platform_sim.h"
#include "tcam_model.h"
#include "wire.h"

namespace {

using namespace wire;

constexpr uint32_t kHandle = 1;
constexpr uint32_t kFirstCounterId = 100;
constexpr uint32_t kCounterTableSize = 1024;
constexpr uint32_t kLogKindError = 2;

// ---- Checks and logging -----------------------------------------------------

struct Run {
    bool verbose = false;
    int failures = 0;
    int library_errors = 0;
    std::vector<std::string> library_log; // every text the library handed over
};
Run run;

bool check(bool ok, const char *what) {
    if (!ok) {
        ++run.failures;
        std::printf("  CHECK FAILED: %s\n", what);
    }
    return ok;
}

// ---- Simulated TCAM ---------------------------------------------------------

using tcam_model::Counter;
using tcam_model::EntryKey;
using tcam_model::Frame;

tcam_model::Tcam tcam;
tcam_model::GroundTruth truth;

// ---- Flows and ground truth -------------------------------------------------

// A flow as a requester names it; its tally lives in the ground truth while it
// is live.
struct Flow {
    const char *name;
    uint8_t request_type; // ACL_TCAM_FS_REQ_FLOW_*
    uint32_t vsan;
    uint32_t sid;
    uint32_t did;
    uint32_t mask; // ACL_TCAM_FS_REQ_MASK_*, SID/DID flows only
    bool live = false;
};

// The flow as the library stores it, which is how the TCAM and the ground
// truth know it.
EntryKey key_of(const Flow &flow) {
    if (flow.request_type == ACL_TCAM_FS_REQ_FLOW_VSAN) {
        return {FLOW_TYPE_VSAN, flow.vsan, 0, 0};
    }
    const uint32_t type =
        flow.mask == ACL_TCAM_FS_REQ_MASK_DOMAIN ? FLOW_TYPE_DOMAIN : FLOW_TYPE_SID_DID;
    return {type, flow.vsan, flow.sid & flow.mask, flow.did & flow.mask};
}

constexpr uint32_t kVsan = 10;
constexpr uint8_t kVsanFlow = ACL_TCAM_FS_REQ_FLOW_VSAN;
constexpr uint8_t kSidDidFlow = ACL_TCAM_FS_REQ_FLOW_SID_DID;
constexpr uint32_t kDomainMask = ACL_TCAM_FS_REQ_MASK_DOMAIN;
constexpr uint32_t kExactMask = ACL_TCAM_FS_REQ_MASK_EXACT;

Flow vsan_flow{"vsan 10", kVsanFlow, kVsan, 0, 0, 0};
Flow domain_flow{"dom 10 12->34", kSidDidFlow, kVsan, 0x120000, 0x340000, kDomainMask};
Flow exact_a{"exact 10 120101->340201", kSidDidFlow, kVsan, 0x120101, 0x340201, kExactMask};
Flow exact_b{"exact 10 120102->340202", kSidDidFlow, kVsan, 0x120102, 0x340202, kExactMask};
Flow exact_out{"exact 10 560101->780101", kSidDidFlow, kVsan, 0x560101, 0x780101, kExactMask};
Flow *const all_flows[] = {&vsan_flow, &domain_flow, &exact_a, &exact_b, &exact_out};

// Every stream runs in every round, so each flow (and each stale entry of a
// removed one) keeps seeing frames.
constexpr Frame kStreams[] = {
    {kVsan, 0x120101, 0x340201, 100}, // exact_a
    {kVsan, 0x120102, 0x340202, 200}, // exact_b
    {kVsan, 0x120203, 0x340303, 300}, // domain 12->34, no exact flow
    {kVsan, 0x560101, 0x780101, 400}, // exact_out
    {kVsan, 0x340201, 0x120101, 500}, // reverse direction: VSAN only
    {20, 0x120101, 0x340201, 600},    // another VSAN: no entry
};

void deliver(const Frame &f) {
    tcam.count(f);
    truth.deliver(f);
}

void send_traffic(uint32_t round) {
    uint32_t frames = 0;
    for (uint32_t stream = 0; stream < std::size(kStreams); ++stream) {
        const uint32_t count = 2 + (stream + round) % 4;
        for (uint32_t i = 0; i < count; ++i) {
            deliver(kStreams[stream]);
        }
        frames += count;
    }
    std::printf("traffic round %u: %u frames on %zu streams\n", round, frames, std::size(kStreams));
}

// ---- Messages ---------------------------------------------------------------

// A tag in the opaque header identifies each request's reply.
constexpr size_t kTagAt = wire::kOpaqueHeaderAt;

using Payload = std::array<uint8_t, ACL_TCAM_FS_CMI_LEN>;

Payload make_request(int32_t msg_type, const Flow &flow, int32_t index, uint32_t tag) {
    Payload p{};
    put_be32(&p[kMsgTypeAt], static_cast<uint32_t>(msg_type));
    put_be32(&p[kTagAt], tag);
    put_be32(&p[kIndexAt], static_cast<uint32_t>(index));
    p[kFlowTypeAt] = flow.request_type;
    put_be32(&p[kVsanAt], flow.vsan);
    put_be32(&p[kDidAt], flow.did);
    put_be32(&p[kSidAt], flow.sid);
    put_be32(&p[kMaskAt], flow.mask);
    return p;
}

// What the sink captured: replies, display chunks and download requests.
struct Reply {
    uint32_t len = 0;
    uint32_t status = 0;
    uint32_t tag = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
};

struct Sink {
    std::vector<Reply> replies;
    uint32_t display_chunks = 0;
    uint32_t chunks_marked_last = 0;
    bool last_chunk_is_marked = false;
    uint64_t display_text_bytes = 0;
    uint32_t download_requests = 0;
};
Sink sink;

void capture_display_chunk(const uint8_t *p) {
    const bool last = get_be32(p + kLastChunkAt) == 1;
    ++sink.display_chunks;
    sink.chunks_marked_last += last ? 1 : 0;
    sink.last_chunk_is_marked = last;
    sink.display_text_bytes += get_be32(p + kTextLenAt);
}

int capture(void * /*user*/, const vexa_sim_sent_t *sent) {
    if (sent->opcode == ACL_TCAM_FS_FLOW_DOWNLOAD_OPC) {
        ++sink.download_requests;
    } else if (sent->len == ACL_TCAM_FS_PRINT_REPLY_LEN) {
        capture_display_chunk(sent->payload);
    } else {
        Reply r;
        r.len = sent->len;
        r.status = get_be32(sent->payload + kStatusAt);
        r.tag = get_be32(sent->payload + kTagAt);
        if (sent->len >= ACL_TCAM_FS_CMI_LEN) {
            r.frames = get_be64(sent->payload + kFramesAt);
            r.bytes = get_be64(sent->payload + kBytesAt);
        }
        sink.replies.push_back(r);
    }
    return 0;
}

const char *verb_of(int32_t msg_type) {
    switch (msg_type) {
    case ACL_TCAM_FS_MSG_SET:
        return "ADD";
    case ACL_TCAM_FS_MSG_DEL:
        return "DEL";
    default:
        return "GET";
    }
}

// Hands one request to the library and returns its single reply.
Reply exchange(int32_t msg_type, const Flow &flow, uint32_t *status, int32_t index = 1) {
    static uint32_t next_tag = 1;
    const uint32_t tag = next_tag++;
    const Payload payload = make_request(msg_type, flow, index, tag);
    vexa_msg_t msg{};
    msg.desc[0] = tag;
    msg.payload = payload.data();
    msg.payload_len = static_cast<uint32_t>(payload.size());

    sink.replies.clear();
    *status = acl_tcam_flow_process_stats_msg(kHandle, &msg);
    if (!check(sink.replies.size() == 1, "exactly one reply per request")) {
        return Reply{};
    }
    const Reply reply = sink.replies.front();
    check(reply.tag == tag, "reply carries the request's opaque header back");
    std::printf("  %s %-24s -> status 0x%08x, %u-byte reply", verb_of(msg_type), flow.name, *status,
                reply.len);
    if (reply.len == ACL_TCAM_FS_CMI_LEN) {
        std::printf(" (%llu frames / %llu bytes)", static_cast<unsigned long long>(reply.frames),
                    static_cast<unsigned long long>(reply.bytes));
    } else {
        std::printf(" (status 0x%08x)", reply.status);
    }
    std::printf("\n");
    return reply;
}

bool is_full_success(const Reply &r, uint32_t status) {
    return status == 0 && r.len == ACL_TCAM_FS_CMI_LEN && r.status == 0;
}

// ---- Scenario steps ---------------------------------------------------------

void add_flow(Flow &flow) {
    uint32_t status = 0;
    const Reply r = exchange(ACL_TCAM_FS_MSG_SET, flow, &status);
    if (check(is_full_success(r, status), "flow added")) {
        flow.live = true;
        truth.start(key_of(flow));
    }
}

void remove_flow(Flow &flow) {
    uint32_t status = 0;
    const Reply r = exchange(ACL_TCAM_FS_MSG_DEL, flow, &status);
    check(is_full_success(r, status), "flow removed");
    flow.live = false;
    truth.stop(key_of(flow));
}

void query_flow(const Flow &flow) {
    uint32_t status = 0;
    const Reply r = exchange(ACL_TCAM_FS_MSG_GET, flow, &status);
    const Counter *tally = truth.of(key_of(flow));
    const Counter expected = tally != nullptr ? *tally : Counter{};
    const bool ok =
        is_full_success(r, status) && r.frames == expected.frames && r.bytes == expected.bytes;
    std::printf("      library %llu frames / %llu bytes, expected %llu / %llu: %s\n",
                static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.bytes),
                static_cast<unsigned long long>(expected.frames),
                static_cast<unsigned long long>(expected.bytes), ok ? "ok" : "MISMATCH");
    run.failures += ok ? 0 : 1;
}

void query_live_flows() {
    for (const Flow *flow : all_flows) {
        if (flow->live) {
            query_flow(*flow);
        }
    }
}

void start_library() {
    std::printf("init: handle %u, counters %u..%u\n", kHandle, kFirstCounterId,
                kCounterTableSize - 1);
    check(acl_tcam_flow_init(kHandle, kFirstCounterId, kCounterTableSize) == 0, "init succeeds");
    check(sink.download_requests == 1, "init asks for the initial download of flows");
}

// Before the region is ready a query is answered with zero totals (the call
// itself reports the region as not ready).
void query_before_region_ready() {
    std::printf("query before the TCAM region is ready\n");
    uint32_t status = 0;
    const Reply r = exchange(ACL_TCAM_FS_MSG_GET, vsan_flow, &status);
    check(status == ACL_TCAM_FS_ERR_REGION_NOT_INIT, "call reports region not ready");
    check(r.len == ACL_TCAM_FS_CMI_LEN && r.status == 0 && r.frames == 0 && r.bytes == 0,
          "full reply with zero totals");
}

struct Refusal {
    const char *what;
    int32_t msg_type;
    Flow flow;
    int32_t index;
    uint32_t expected;
};

void show_refusals() {
    std::printf("refusals\n");
    const Refusal cases[] = {
        {"duplicate add", ACL_TCAM_FS_MSG_SET, vsan_flow, 1, ACL_TCAM_FS_ERR_FLOW_EXISTS},
        {"query of an absent flow", ACL_TCAM_FS_MSG_GET, domain_flow, 1, ACL_TCAM_FS_ERR_NO_ENTRY},
        {"zero index", ACL_TCAM_FS_MSG_GET, vsan_flow, 0, ACL_TCAM_FS_ERR_INVALID_INDEX},
        {"mask neither domain nor exact",
         ACL_TCAM_FS_MSG_GET,
         {"bad mask 10 120101->340201", kSidDidFlow, kVsan, 0x120101, 0x340201, 0xffff00},
         1,
         ACL_TCAM_FS_ERR_INVALID_ARG},
    };
    for (const Refusal &c : cases) {
        std::printf("  %s: expect 0x%08x\n", c.what, c.expected);
        uint32_t status = 0;
        const Reply r = exchange(c.msg_type, c.flow, &status, c.index);
        check(status == c.expected, "call returns the refusal code");
        check(r.len == ACL_TCAM_FS_CMI_HEADER_LEN && r.status == c.expected,
              "short reply carries the refusal code");
    }
}

void display_table() {
    std::printf("display of the flow table\n");
    vexa_msg_t request{};
    request.desc[0] = 0xd15;
    sink.display_chunks = 0;
    sink.chunks_marked_last = 0;
    sink.display_text_bytes = 0;
    std::fflush(stdout);
    const uint32_t rc = acl_tcam_print_flows_info(&request);
    std::fflush(stdout);
    std::printf("  %u chunk(s), %llu text bytes, last chunk marked: %s\n", sink.display_chunks,
                static_cast<unsigned long long>(sink.display_text_bytes),
                sink.last_chunk_is_marked ? "yes" : "no");
    check(rc == 0, "display sent");
    check(sink.display_chunks >= 1 && sink.last_chunk_is_marked && sink.chunks_marked_last == 1,
          "only the final chunk is marked last");
}

void remove_all_flows() {
    std::printf("remove all flows\n");
    for (Flow *flow : all_flows) {
        if (flow->live) {
            remove_flow(*flow);
        }
    }
    check(acl_tcam_get_avl_flow_count() == 0, "flow table empty");
    check(g_num_counters_used == 0, "every counter released");
}

// The counter table lives as long as the process (there is no teardown), so
// it is the one block expected to remain.
void check_leaks() {
    std::printf("memory tracker leak report:\n");
    std::fflush(stdout);
    const uint64_t live = mtrack_sim_leak_report(stdout);
    const uint64_t tables =
        mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_gl_counter_table_t);
    std::printf("  %llu live block(s), %llu of them the counter table\n",
                static_cast<unsigned long long>(live), static_cast<unsigned long long>(tables));
    check(tables == 1 && live == tables, "nothing but the counter table is live");
}

void run_scenario() {
    start_library();
    query_before_region_ready();
    acl_tcam_flow_set_region_init_done();
    std::printf("TCAM region ready\n");

    uint32_t round = 0;
    add_flow(vsan_flow);
    send_traffic(++round);
    add_flow(domain_flow);
    send_traffic(++round);
    add_flow(exact_a);
    add_flow(exact_b);
    add_flow(exact_out);
    send_traffic(++round);
    query_live_flows();

    remove_flow(exact_a);
    send_traffic(++round);
    query_live_flows();

    remove_flow(domain_flow);
    send_traffic(++round);
    query_live_flows();

    show_refusals();
    display_table();
    remove_all_flows();
    check_leaks();
}

} // namespace

// ---- Host callbacks (found by the library through the global symbol scope) ----

extern "C" {

void acl_tcam_flow_debug_cb(uint32_t level, uint32_t kind, const char *text) {
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    const bool error = kind == kLogKindError;
    run.library_errors += error ? 1 : 0;
    if (error || run.verbose) {
        std::printf("    [lib %s %u] %s\n", error ? "error" : "trace", level, line.c_str());
    }
    run.library_log.push_back(std::move(line));
}

int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update) {
    if (update == nullptr || update->flow == nullptr) {
        return static_cast<int32_t>(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    tcam.update(*update);
    const flow_t &f = *update->flow;
    std::printf("    tcam: type %u vsan %u %06x->%06x now counts on %u%s\n", f.type, f.vsan, f.sid,
                f.did, update->counter_id, update->install == 1 ? " (new)" : "");
    return 0;
}

int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    if (stats == nullptr) {
        return static_cast<int32_t>(ACL_TCAM_FS_ERR_INVALID_ARG);
    }
    const Counter c = tcam.read(counter_id);
    stats->frames = c.frames;
    stats->bytes = c.bytes;
    return 0;
}

} // extern "C"

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "-v") {
            run.verbose = true;
        } else {
            std::fprintf(stderr, "usage: %s [-v]\n", argv[0]);
            return 2;
        }
    }
    vexa_sim_set_sink(capture, nullptr);
    run_scenario();
    vexa_sim_set_sink(nullptr, nullptr);

    std::printf("library logged %zu texts, %d of them errors\n", run.library_log.size(),
                run.library_errors);
    std::printf("%s: %d failed check(s)\n", run.failures == 0 ? "PASS" : "FAIL", run.failures);
    return run.failures == 0 ? 0 : 1;
}
