#include "host.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "display.h"
#include "platform_sim.h"
#include "progress.h"
#include "request.h"
#include "status.h"

namespace linecard {

namespace {

using scenario::Command;
using scenario::FlowSpec;
using scenario::Verb;
using tcam_model::Counter;
using tcam_model::EntryKey;
using tcam_model::Frame;

constexpr uint32_t kHandle = 1;
constexpr uint32_t kDisplayTag = 0xd15;

// What the message service carried out of the library.
struct Reply {
    uint32_t len = 0;
    uint32_t status = 0;
    uint32_t tag = 0;
    Counter totals;
};

// A display as it arrives; the first chunk the assembler refused, if any.
struct DisplaySeen {
    display::Assembler chunks;
    std::string error;
};

struct State {
    Options options;
    Tally tally;
    tcam_model::Tcam tcam;
    tcam_model::GroundTruth truth;
    bool initialised = false;
    bool region_ready = false;
    uint32_t capacity = 0; // counter ids the library can hand out
    uint32_t next_tag = 1;
    std::vector<Reply> replies;
    std::vector<std::string> library_texts; // shown after the command's own line
    DisplaySeen display;
    uint32_t download_requests = 0;
};
State state;

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
    if (!state.options.narrate) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void mismatch(const std::string &what) {
    ++state.tally.mismatches;
    std::printf("  MISMATCH: %s\n", what.c_str());
}

// Counts one check; a false one is a mismatch.
void expect_that(bool ok, const std::string &what) {
    ++state.tally.replies_checked;
    if (!ok) {
        mismatch(what);
    }
}

std::string status_text(uint32_t status) {
    if (status == 0) {
        return "ok";
    }
    return model::status_name(status) + " (" + model::status_hex(status) + ")";
}

std::string totals_text(const Counter &c) {
    return std::to_string(c.frames) + " frames / " + std::to_string(c.bytes) + " bytes";
}

// ---- The flow on the wire ---------------------------------------------------

int32_t msg_type_of(Verb verb) {
    switch (verb) {
    case Verb::Add:
        return ACL_TCAM_FS_MSG_SET;
    case Verb::Del:
        return ACL_TCAM_FS_MSG_DEL;
    default:
        return ACL_TCAM_FS_MSG_GET;
    }
}

void capture_display_chunk(const vexa_sim_sent_t *sent) {
    std::string error;
    if (!state.display.chunks.add({sent->payload, sent->len}, &error) &&
        state.display.error.empty()) {
        state.display.error = error;
    }
}

int capture(void * /*user*/, const vexa_sim_sent_t *sent) {
    if (sent->opcode == ACL_TCAM_FS_FLOW_DOWNLOAD_OPC) {
        ++state.download_requests;
        return 0;
    }
    if (sent->len == ACL_TCAM_FS_PRINT_REPLY_LEN) {
        capture_display_chunk(sent);
        return 0;
    }
    // A reply of neither length keeps only its length: the checks refuse it.
    Reply r;
    r.len = sent->len;
    acl_tcam_wire_reply_t reply{};
    if (acl_tcam_wire_decode_reply(sent->payload, sent->len, &reply) == 0) {
        r.status = reply.status;
        r.tag = reply.tag;
        r.totals = {reply.frames, reply.bytes};
    }
    state.replies.push_back(r);
    return 0;
}

// ---- Expectations -----------------------------------------------------------

bool is_live(const EntryKey &key) {
    return state.truth.of(key) != nullptr;
}

// The status the host expects for a request, from its own view of the table;
// the library refuses a request it cannot decode before anything else.
uint32_t predicted_status(Verb verb, const model::DecodedRequest &decoded) {
    if (decoded.refusal != 0) {
        return decoded.refusal;
    }
    if (!state.region_ready || !state.initialised) {
        return ACL_TCAM_FS_ERR_REGION_NOT_INIT;
    }
    const EntryKey key = tcam_model::entry_key(decoded.key);
    switch (verb) {
    case Verb::Add:
        if (is_live(key)) {
            return ACL_TCAM_FS_ERR_FLOW_EXISTS;
        }
        return state.truth.flows.size() >= state.capacity ? ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED : 0;
    case Verb::Get:
        return is_live(key) ? 0 : ACL_TCAM_FS_ERR_NO_ENTRY;
    default:
        return 0; // removing an absent flow is no failure
    }
}

// A query before the region is ready is answered in full, with zero totals.
bool answered_in_full(Verb verb, uint32_t status) {
    return status == 0 || (verb == Verb::Get && status == ACL_TCAM_FS_ERR_REGION_NOT_INIT);
}

void check_reply(Verb verb, uint32_t status, const std::vector<Reply> &replies, uint32_t tag,
                 const std::string &request) {
    if (replies.size() != 1) {
        expect_that(false, request + ": " + std::to_string(replies.size()) + " replies, not one");
        return;
    }
    const Reply &r = replies.front();
    const bool full = answered_in_full(verb, status);
    const uint32_t len = full ? ACL_TCAM_FS_CMI_LEN : ACL_TCAM_FS_CMI_HEADER_LEN;
    const uint32_t reply_status = full ? 0 : status;
    expect_that(r.tag == tag && r.len == len && r.status == reply_status,
                request + ": reply of " + std::to_string(r.len) + " bytes with status " +
                    status_text(r.status) + " and tag " + std::to_string(r.tag));
}

void check_totals(const EntryKey &key, const Counter &got, const std::string &request) {
    const Counter *truth = state.truth.of(key);
    const Counter expected = tcam_model::checked_truth(truth != nullptr ? *truth : Counter{});
    expect_that(got == expected,
                request + ": library " + totals_text(got) + ", traffic " + totals_text(expected));
}

// ---- Commands ---------------------------------------------------------------

void init(const Command &c) {
    const uint32_t downloads = state.download_requests;
    const uint32_t status = acl_tcam_flow_init(kHandle, c.first_counter_id, c.table_size);
    if (status == 0) {
        say("%s -> ok, counters %u..%u\n", scenario::format(c).c_str(), c.first_counter_id,
            c.table_size - 1);
    } else {
        say("%s -> %s\n", scenario::format(c).c_str(), status_text(status).c_str());
    }
    if (status == 0) {
        // The library starts over, and so does the card's TCAM.
        state.initialised = true;
        state.capacity = c.table_size - c.first_counter_id;
        state.tcam = tcam_model::Tcam{};
        state.truth = tcam_model::GroundTruth{};
        expect_that(state.download_requests == downloads + 1,
                    "init: no request for the initial download of flows");
    }
    if (c.expect) {
        expect_that(status == *c.expect, "init: expected " + status_text(*c.expect));
    }
}

void region_ready() {
    acl_tcam_flow_set_region_init_done();
    state.region_ready = true;
    say("TCAM region ready\n");
}

void request(const Command &c) {
    const uint32_t tag = state.next_tag++;
    const auto payload = model::request_payload(
        msg_type_of(c.verb), {c.flow.granularity, c.flow.vsan, c.flow.sid, c.flow.did}, tag,
        static_cast<int32_t>(c.index));
    // The flow as the library stores it; used only once the library took it.
    const model::DecodedRequest decoded = model::decode_request(payload);
    const EntryKey key = tcam_model::entry_key(decoded.key);
    vexa_msg_t msg{};
    msg.desc[0] = tag;
    msg.payload = payload.data();
    msg.payload_len = static_cast<uint32_t>(payload.size());

    const uint32_t expected = c.expect ? *c.expect : predicted_status(c.verb, decoded);
    const std::string text = scenario::format(c);
    state.replies.clear();
    ++state.tally.requests;
    const uint32_t status = acl_tcam_flow_process_stats_msg(kHandle, &msg);
    const std::vector<Reply> replies = std::move(state.replies);

    const Counter totals = replies.size() == 1 ? replies.front().totals : Counter{};
    if (c.verb == Verb::Get && answered_in_full(c.verb, status)) {
        say("  %s -> %s, %s\n", text.c_str(), status_text(status).c_str(),
            totals_text(totals).c_str());
    } else if (c.verb == Verb::Add && status == 0) {
        say("  %s -> ok, counter %u\n", text.c_str(), state.tcam.entries[key]);
    } else {
        say("  %s -> %s\n", text.c_str(), status_text(status).c_str());
    }
    expect_that(status == expected,
                text + ": " + status_text(status) + ", expected " + status_text(expected));
    check_reply(c.verb, status, replies, tag, text);
    if (c.verb == Verb::Get && status == 0) {
        check_totals(key, totals, text);
    }
    if (status == 0 && c.verb == Verb::Add) {
        state.truth.start(key);
    } else if (status == 0 && c.verb == Verb::Del) {
        state.truth.stop(key);
    }
}

void deliver(const Frame &frame) {
    state.tcam.count(frame);
    state.truth.deliver(frame);
    state.tally.frames_injected += frame.frames;
}

void traffic(const Command &c) {
    const Frame frame{c.flow.vsan, c.flow.sid, c.flow.did, c.bytes, c.frames};
    const uint16_t *entry = state.tcam.matching_entry(frame);
    deliver(frame);
    if (entry == nullptr || *entry == 0) {
        say("  %s -> counted nowhere\n", scenario::format(c).c_str());
    } else {
        say("  %s -> counter %u\n", scenario::format(c).c_str(), *entry);
    }
}

// Frames over the conversations of every flow the card has an entry for, and
// their neighbours: the same domains with other ports, and other domains.
void random_traffic(const Command &c) {
    std::mt19937_64 rng(c.seed);
    std::vector<EntryKey> keys;
    for (const auto &[key, counter] : state.tcam.entries) {
        keys.push_back(key);
    }
    uint64_t bytes = 0;
    Progress progress("traffic random", c.frames, "frames");
    for (uint64_t i = 0; i < c.frames && !keys.empty(); ++i) {
        progress.at(i);
        const Frame frame = tcam_model::random_frame(rng, keys[rng() % keys.size()]);
        deliver(frame);
        bytes += frame.bytes;
    }
    const uint64_t frames = keys.empty() ? 0 : c.frames;
    say("  %s -> %" PRIu64 " frames, %" PRIu64 " bytes over %zu entries\n",
        scenario::format(c).c_str(), frames, bytes, keys.size());
}

// The counter the host expects the lookup to name: that of the most specific
// live flow matching the key, from the finest the type allows.
uint32_t expected_lookup(const Command &c) {
    const uint32_t vsan = c.flow.vsan;
    const uint32_t sid = c.flow.sid;
    const uint32_t did = c.flow.did;
    const EntryKey candidates[] = {
        {FLOW_TYPE_SID_DID, vsan, sid, did},
        {FLOW_TYPE_DOMAIN, vsan, sid & FLOW_DOMAIN_MASK, did & FLOW_DOMAIN_MASK},
        {FLOW_TYPE_VSAN, vsan, 0, 0},
    };
    for (const EntryKey &k : candidates) {
        if (k.type <= c.lookup_type && is_live(k)) {
            return state.tcam.entries.at(k);
        }
    }
    return 0;
}

void lookup(const Command &c) {
    // The caller gives sid and did as the library stores them for the type.
    uint32_t sid = c.flow.sid;
    uint32_t did = c.flow.did;
    if (c.lookup_type == FLOW_TYPE_DOMAIN) {
        sid &= FLOW_DOMAIN_MASK;
        did &= FLOW_DOMAIN_MASK;
    } else if (c.lookup_type == FLOW_TYPE_VSAN) {
        sid = did = 0;
    }
    uint32_t counter_id = 0;
    acl_tcam_flow_get_counter_id(c.flow.vsan, sid, did, c.lookup_type, &counter_id);
    const uint32_t expected = c.expect ? *c.expect : expected_lookup(c);
    say("  %s -> counter %u\n", scenario::format(c).c_str(), counter_id);
    expect_that(counter_id == expected, scenario::format(c) + ": counter " +
                                            std::to_string(counter_id) + ", expected " +
                                            std::to_string(expected));
}

void show() {
    say("display of the flow table:\n");
    vexa_msg_t request{};
    request.desc[0] = kDisplayTag;
    state.display = DisplaySeen{};
    std::fflush(stdout);
    const uint32_t status = acl_tcam_print_flows_info(&request);
    std::fflush(stdout);
    const DisplaySeen &d = state.display;
    say("  sent in %zu chunk(s), %zu bytes of text -> %s\n", d.chunks.chunks(),
        d.chunks.text().size(), status_text(status).c_str());
    // One check: the display arrives whole, and reads as the supervisor reads it.
    std::string problem;
    if (status != 0 || !d.error.empty() || !d.chunks.done()) {
        problem = "the display must end with exactly one chunk marked last";
    } else {
        display::parse(d.chunks.text(), &problem);
    }
    expect_that(problem.empty(), "show: " + problem);
}

// Sends one request of the verb, quietly, for every flow live in the host's
// view; returns how many.
size_t request_every_live_flow(Verb verb) {
    std::vector<EntryKey> keys;
    for (const auto &[key, counter] : state.truth.flows) {
        keys.push_back(key);
    }
    const bool narrate = state.options.narrate;
    state.options.narrate = false;
    for (const EntryKey &k : keys) {
        Command c;
        c.verb = verb;
        c.flow = spec_of(k);
        request(c);
    }
    state.options.narrate = narrate;
    return keys.size();
}

// Queries every live flow through messages and checks the library's own
// accounting against the host's view.
void verify() {
    const uint64_t before = state.tally.mismatches;
    const size_t flows = request_every_live_flow(Verb::Get);
    const uint32_t stored = state.initialised ? acl_tcam_get_avl_flow_count() : 0;
    expect_that(stored == flows && g_num_counters_used == flows,
                "verify: library holds " + std::to_string(stored) + " flows and " +
                    std::to_string(g_num_counters_used) + " counters, host expects " +
                    std::to_string(flows));
    say("verify: %zu flows, %" PRIu64 " mismatch(es)\n", flows, state.tally.mismatches - before);
}

// As a card does when its flows are unconfigured: after it, the counter
// table is all the library still holds.
void drain() {
    const size_t flows = request_every_live_flow(Verb::Del);
    say("drain: %zu flow(s) removed, %zu left\n", flows, live_flows());
}

// Flow records and the counter table are the library's only long-lived
// blocks; the table lives as long as the process.
void check_memory() {
    const uint64_t flows = mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_t);
    const uint64_t tables =
        mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_gl_counter_table_t);
    const uint64_t replies =
        mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_stats_cmi_t);
    const uint64_t want_tables = state.initialised ? 1 : 0;
    std::printf("memory: %" PRIu64 " flow record(s), %" PRIu64 " counter table(s), %" PRIu64
                " reply buffer(s) live\n",
                flows, tables, replies);
    expect_that(flows == live_flows() && tables == want_tables && replies == 0,
                "memory: expected " + std::to_string(live_flows()) + " flow record(s), " +
                    std::to_string(want_tables) + " counter table(s) and no reply buffer");
}

void dispatch(const Command &c);

} // namespace

FlowSpec spec_of(const EntryKey &key) {
    const model::FlowKey k = tcam_model::flow_key(key);
    return {k.type, k.vsan, k.sid, k.did};
}

void start(const Options &options) {
    state.options = options;
    vexa_sim_set_sink(capture, nullptr);
}

void run(const Command &c) {
    dispatch(c);
    for (const std::string &text : state.library_texts) {
        std::printf("%s\n", text.c_str());
    }
    state.library_texts.clear();
}

namespace {

void dispatch(const Command &c) {
    switch (c.verb) {
    case Verb::Init:
        init(c);
        break;
    case Verb::RegionReady:
        region_ready();
        break;
    case Verb::Add:
    case Verb::Del:
    case Verb::Get:
        request(c);
        break;
    case Verb::Traffic:
        traffic(c);
        break;
    case Verb::RandomTraffic:
        random_traffic(c);
        break;
    case Verb::Lookup:
        lookup(c);
        break;
    case Verb::Show:
        show();
        break;
    case Verb::Verify:
        verify();
        break;
    case Verb::Echo:
        say("%s\n", c.text.c_str());
        break;
    }
}

} // namespace

size_t live_flows() {
    return state.truth.flows.size();
}

const tcam_model::GroundTruth &truth() {
    return state.truth;
}

const Tally &tally() {
    return state.tally;
}

int finish() {
    if (state.options.drain) {
        drain();
    }
    check_memory();
    vexa_sim_set_sink(nullptr, nullptr);
    const Tally &t = state.tally;
    std::printf("summary: %zu flows, %" PRIu64 " requests, %" PRIu64 " replies checked, %" PRIu64
                " frames injected, %" PRIu64 " mismatches\n",
                live_flows(), t.requests, t.replies_checked, t.frames_injected, t.mismatches);
    return t.mismatches == 0 ? 0 : 1;
}

} // namespace linecard

// ---- Host callbacks, found by the library in the global symbol scope ---------

extern "C" {

void acl_tcam_flow_debug_cb(uint32_t level, uint32_t kind, const char *text) {
    (void)kind; // the level alone decides: errors are level 4
    if (level < linecard::state.options.log_level) {
        return;
    }
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) {
        line.pop_back();
    }
    linecard::state.library_texts.push_back("      [lib " + std::to_string(level) + "] " + line);
}

int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update) {
    return linecard::state.tcam.handle_update_cb(update);
}

int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    return linecard::state.tcam.stats_get_cb(counter_id, stats);
}

} // extern "C"
