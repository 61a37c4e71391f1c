// Fuzzes the flow table through request messages.
//
// The input is read as a sequence of small operations over a small key space
// (two VSANs, two domains, two ports, a handful of counters), so that nested
// flows, counter exhaustion and counter id reuse all happen. The fuzzer plays
// the host: it exports the three callbacks, runs the shared TCAM model and
// keeps the ground truth of every flow it believes stored. After every
// operation it checks:
//  (a) every stored flow's totals equal the frames delivered inside it since
//      its creation, unless an injected fault has disturbed its VSAN;
//  (b) the counter table and memory keep the library's invariants
//      (model::check_table), and the owners are exactly the host's flows;
//  (c) every request is judged by the model's decoder, as the library reads it;
//  (d) in an undisturbed VSAN every stored flow has a TCAM entry, and every
//      entry counts on the counter the library's own lookup names for its key.
//
// Faults and ground truth: a fault is armed for exactly one operation. Faults
// whose failure the library undoes completely (allocation, tree insertion,
// counter reads) must leave everything exact, so they disturb nothing. Three
// leave the host's entries and the library's counts out of step: a failed
// entry update on insertion (the flow stays stored, its entry never moved), a
// failed entry update on removal (the flow stays, but its covering flows keep
// the counts it handed them) and a failed tree deletion (the flow stays, but
// its entries already moved away). Each disturbs the flow's whole VSAN: (a)
// and (d) are skipped there until it holds no flow and all its entries count
// nowhere. VSANs never share a counter, so that is the whole reach.
//
// Set FUZZ_FLOW_OPS_TRACE=1 to log each operation to stderr.

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "display.h"
#include "platform_sim.h"
#include "request.h"
#include "table_check.h"
#include "tcam_model.h"

namespace {

using tcam_model::Counter;
using tcam_model::EntryKey;
using tcam_model::Frame;

constexpr uint32_t kHandle = 7;
constexpr uint32_t kVsans[] = {10, 20};
constexpr uint32_t kQuietVsan = 30; // no well-formed request names it
constexpr uint32_t kDomains[] = {0x12, 0x34};
constexpr uint32_t kPorts[] = {0x0101, 0x0202};
// Codes the host returns for an injected callback failure.
constexpr uint32_t kReadFault = 0x7e570001u;
constexpr uint32_t kUpdateFault = 0x7e570002u;

bool trace = false;

[[noreturn, gnu::format(printf, 1, 2)]] void fail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "fuzz_flow_ops: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
    std::abort();
}

[[gnu::format(printf, 1, 2)]] void note(const char *format, ...) {
    if (!trace) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
}

// ---- Input ------------------------------------------------------------------

class Input {
public:
    Input(const uint8_t *data, size_t size) : at_(data), end_(data + size) {}
    bool empty() const { return at_ == end_; }
    // 0 once the input is used up.
    uint8_t byte() { return at_ != end_ ? *at_++ : 0; }

private:
    const uint8_t *at_;
    const uint8_t *end_;
};

// ---- Payloads ---------------------------------------------------------------

uint32_t fcid(uint32_t bits) {
    return kDomains[(bits >> 1) & 1] << 16 | kPorts[bits & 1];
}

// A well-formed request for one flow of the key space: bit 0 the VSAN, bits 1
// and 2 the type (VSAN, domain pair, exact, exact), bits 3-4 and 5-6 the SID
// and DID, bit 7 a negative index. A domain request keeps the ports, which the
// library must drop.
std::vector<uint8_t> flow_request(int32_t msg_type, uint8_t b, uint32_t tag) {
    constexpr model::FlowType kTypes[] = {model::FlowType::Vsan, model::FlowType::Domain,
                                          model::FlowType::Exact, model::FlowType::Exact};
    const auto p = model::request_payload(
        msg_type, {kTypes[(b >> 1) & 3], kVsans[b & 1], fcid(b >> 3), fcid(b >> 5)}, tag,
        (b & 0x80) != 0 ? -1 : 1);
    return {p.begin(), p.end()};
}

// The bitmask of each stored flow type, indexed by type.
constexpr uint32_t kBitmaskOfType[] = {0, FLOW_MASK_VSAN, FLOW_MASK_DOMAIN, FLOW_MASK_SID_DID};

// ---- Host state -------------------------------------------------------------

enum class Fault { none, alloc, tree_insert, tree_delete, read, update };

struct Host {
    tcam_model::Tcam tcam;
    tcam_model::GroundTruth truth; // the flows the library should hold
    std::set<uint32_t> disturbed_vsans;
    uint32_t capacity = 0;

    // Callback faults: the fail_call-th call of the armed kind fails.
    Fault armed = Fault::none;
    uint32_t fail_call = 0;
    uint32_t calls = 0;
    bool fired = false;

    std::vector<std::vector<uint8_t>> replies;
    display::Assembler display; // the display being received
    std::string display_error;  // the first chunk the assembler refused
};
Host host;

bool disturbed(uint32_t vsan) {
    return host.disturbed_vsans.count(vsan) != 0;
}

int capture(void * /*user*/, const vexa_sim_sent_t *sent) {
    if (sent->opcode == ACL_TCAM_FS_FLOW_DOWNLOAD_OPC) {
        return 0;
    }
    if (sent->len == ACL_TCAM_FS_PRINT_REPLY_LEN) {
        std::string error;
        if (!host.display.add({sent->payload, sent->len}, &error) && host.display_error.empty()) {
            host.display_error = error;
        }
        return 0;
    }
    host.replies.emplace_back(sent->payload, sent->payload + sent->len);
    return 0;
}

// ---- Faults -----------------------------------------------------------------

int compare_addresses(const void *a, const void *b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Consumes the one-shot tree faults on a tree of our own; reports which were
// still pending.
struct PendingTreeFaults {
    bool insert;
    bool remove;
};

PendingTreeFaults clear_tree_faults() {
    static avl_tree_t *const scratch = avl_create(compare_addresses, nullptr);
    static int token;
    PendingTreeFaults pending{};
    pending.insert = avl_insert(scratch, &token) != 0;
    if (pending.insert) {
        avl_insert(scratch, &token);
    }
    pending.remove = avl_delete(scratch, &token) == nullptr;
    if (pending.remove) {
        avl_delete(scratch, &token);
    }
    return pending;
}

Fault armed_fault = Fault::none;
uint32_t alloc_fail_nth = 0;
uint64_t alloc_calls_at_arming = 0;

void arm(Fault fault, uint8_t param) {
    armed_fault = fault;
    switch (fault) {
    case Fault::alloc:
        alloc_fail_nth = 1 + param % 3u;
        alloc_calls_at_arming = mtrack_sim_alloc_calls();
        mtrack_sim_fail_nth(alloc_fail_nth);
        break;
    case Fault::tree_insert:
        avl_sim_fail_next_insert();
        break;
    case Fault::tree_delete:
        avl_sim_fail_next_delete();
        break;
    case Fault::read:
    case Fault::update:
        host.armed = fault;
        host.fail_call = 1 + param % (fault == Fault::read ? 4u : 2u);
        host.calls = 0;
        host.fired = false;
        break;
    case Fault::none:
        break;
    }
}

// Disarms whatever is armed and returns the fault if it fired.
Fault settle_faults() {
    bool fired = false;
    switch (armed_fault) {
    case Fault::alloc:
        fired = mtrack_sim_alloc_calls() - alloc_calls_at_arming >= alloc_fail_nth;
        break;
    case Fault::tree_insert:
        fired = !clear_tree_faults().insert;
        break;
    case Fault::tree_delete:
        fired = !clear_tree_faults().remove;
        break;
    case Fault::read:
    case Fault::update:
        fired = host.fired;
        break;
    case Fault::none:
        break;
    }
    mtrack_sim_clear_faults();
    host.armed = Fault::none;
    const Fault fault = armed_fault;
    armed_fault = Fault::none;
    return fired ? fault : Fault::none;
}

// ---- Checks -----------------------------------------------------------------

std::vector<uint8_t> expected_echo(const std::vector<uint8_t> &request, size_t reply_len) {
    std::vector<uint8_t> echo(reply_len, 0);
    std::memcpy(echo.data(), request.data(), std::min(reply_len, request.size()));
    return echo;
}

// The reply must be the request with only the library's own fields changed.
void check_reply(const std::vector<uint8_t> &request, const std::vector<uint8_t> &reply,
                 uint32_t status) {
    std::vector<uint8_t> echo = expected_echo(request, reply.size());
    if (status != 0) {
        if (reply.size() != ACL_TCAM_FS_CMI_HEADER_LEN) {
            fail("refusal 0x%x answered with a %zu-byte reply", status, reply.size());
        }
        if (acl_tcam_wire_get_be32(&reply[ACL_TCAM_WIRE_STATUS_AT]) != status ||
            acl_tcam_wire_get_be32(&reply[ACL_TCAM_WIRE_AUX_AT]) != 0) {
            fail("short reply carries status 0x%x aux 0x%x, expected 0x%x and 0",
                 acl_tcam_wire_get_be32(&reply[ACL_TCAM_WIRE_STATUS_AT]),
                 acl_tcam_wire_get_be32(&reply[ACL_TCAM_WIRE_AUX_AT]), status);
        }
        acl_tcam_wire_put_be32(&echo[ACL_TCAM_WIRE_STATUS_AT], status);
        acl_tcam_wire_put_be32(&echo[ACL_TCAM_WIRE_AUX_AT], 0);
    } else {
        if (reply.size() != ACL_TCAM_FS_CMI_LEN ||
            acl_tcam_wire_get_be32(&reply[ACL_TCAM_WIRE_STATUS_AT]) != 0) {
            fail("success answered with a %zu-byte reply", reply.size());
        }
        acl_tcam_wire_put_be32(&echo[ACL_TCAM_WIRE_STATUS_AT], 0);
        std::memcpy(&echo[ACL_TCAM_WIRE_FRAMES_AT], &reply[ACL_TCAM_WIRE_FRAMES_AT], 16);
    }
    if (echo != reply) {
        fail("reply changes request bytes the library does not own");
    }
}

// The library's own invariants, and its flows exactly the host's.
void check_table() {
    const model::TableCheck t = model::check_table(static_cast<uint32_t>(host.truth.flows.size()));
    if (!t.error.empty()) {
        fail("%s", t.error.c_str());
    }
    // As many owners as host flows, none twice: one each is all of them.
    for (const model::FlowKey &owner : t.owners) {
        if (host.truth.of(tcam_model::entry_key(owner)) == nullptr) {
            fail("library holds %s, the host does not", model::to_string(owner).c_str());
        }
    }
}

void check_totals() {
    for (const auto &[key, tally] : host.truth.flows) {
        if (disturbed(key.vsan)) {
            continue;
        }
        flow_t req{};
        req.type = static_cast<uint16_t>(key.type);
        req.vsan = key.vsan;
        req.sid = key.sid;
        req.did = key.did;
        req.bitmask = kBitmaskOfType[key.type];
        const uint32_t rc = acl_tcam_flow_get(&req);
        if (rc != 0 || req.pos_frames != tally.frames || req.pos_bytes != tally.bytes) {
            fail("flow type %u vsan %u %06x->%06x: status 0x%x, %llu frames / %llu bytes, "
                 "expected %llu / %llu",
                 key.type, key.vsan, key.sid, key.did, rc,
                 static_cast<unsigned long long>(req.pos_frames),
                 static_cast<unsigned long long>(req.pos_bytes),
                 static_cast<unsigned long long>(tally.frames),
                 static_cast<unsigned long long>(tally.bytes));
        }
    }
}

void check_entries() {
    for (const auto &[key, tally] : host.truth.flows) {
        if (!disturbed(key.vsan) && host.tcam.entries.count(key) == 0) {
            fail("stored flow type %u vsan %u %06x->%06x has no TCAM entry", key.type, key.vsan,
                 key.sid, key.did);
        }
    }
    for (const auto &[key, counter_id] : host.tcam.entries) {
        if (disturbed(key.vsan)) {
            continue;
        }
        uint32_t expected = 0xffffffffu;
        acl_tcam_flow_get_counter_id(key.vsan, key.sid, key.did, key.type, &expected);
        if (expected != counter_id) {
            fail("TCAM entry type %u vsan %u %06x->%06x counts on %u, its nearest flow has %u",
                 key.type, key.vsan, key.sid, key.did, counter_id, expected);
        }
    }
}

// A disturbed VSAN is whole again once it holds no flow and none of its
// entries counts anywhere.
void heal_vsans() {
    for (auto it = host.disturbed_vsans.begin(); it != host.disturbed_vsans.end();) {
        const uint32_t vsan = *it;
        bool quiet = true;
        for (const auto &[key, tally] : host.truth.flows) {
            quiet = quiet && key.vsan != vsan;
        }
        for (const auto &[key, counter_id] : host.tcam.entries) {
            quiet = quiet && (key.vsan != vsan || counter_id == 0);
        }
        it = quiet ? host.disturbed_vsans.erase(it) : std::next(it);
    }
}

void check_state() {
    check_table();
    heal_vsans();
    check_totals();
    check_entries();
}

// ---- Operations -------------------------------------------------------------

uint32_t next_tag = 1;

bool is_flow_msg(int32_t msg_type) {
    return msg_type >= ACL_TCAM_FS_MSG_GET && msg_type <= ACL_TCAM_FS_MSG_DEL;
}

// Whether a status other than the fault-free one is what the fired fault
// explains.
bool fault_explains(Fault fault, int32_t msg_type, uint32_t status) {
    switch (fault) {
    case Fault::alloc:
    case Fault::tree_insert:
        return msg_type == ACL_TCAM_FS_MSG_SET && status == ACL_TCAM_FS_ERR_NO_MEMORY;
    case Fault::tree_delete:
        return msg_type == ACL_TCAM_FS_MSG_DEL && status == ACL_TCAM_FS_ERR_NO_ENTRY;
    case Fault::read:
        return status == kReadFault;
    case Fault::update:
        return msg_type != ACL_TCAM_FS_MSG_GET && msg_type != ACL_TCAM_FS_MSG_GET_ALT &&
               status == kUpdateFault;
    case Fault::none:
        return false;
    }
    return false;
}

void check_flow_outcome(const std::vector<uint8_t> &request, int32_t msg_type, const EntryKey &key,
                        uint32_t status, Fault fault) {
    const bool stored = host.truth.of(key) != nullptr;
    uint32_t clean = 0;
    if (msg_type == ACL_TCAM_FS_MSG_SET) {
        clean = stored
                    ? ACL_TCAM_FS_ERR_FLOW_EXISTS
                    : (host.truth.flows.size() >= host.capacity ? ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED
                                                                : 0);
    } else if (msg_type != ACL_TCAM_FS_MSG_DEL) {
        clean = stored ? 0 : ACL_TCAM_FS_ERR_NO_ENTRY;
    }
    if (status != clean && !fault_explains(fault, msg_type, status)) {
        fail("msg %d for type %u vsan %u %06x->%06x: status 0x%x, expected 0x%x (fault %d)",
             msg_type, key.type, key.vsan, key.sid, key.did, status, clean,
             static_cast<int>(fault));
    }
    // An allocation fault may have taken the full reply's buffer.
    const bool reply_optional = status == 0 && fault == Fault::alloc;
    if (host.replies.size() != 1 && !(reply_optional && host.replies.empty())) {
        fail("%zu replies to one request", host.replies.size());
    }
    for (const auto &reply : host.replies) {
        check_reply(request, reply, status);
        if (status != 0) {
            continue;
        }
        const uint64_t frames = acl_tcam_wire_get_be64(&reply[ACL_TCAM_WIRE_FRAMES_AT]);
        const uint64_t bytes = acl_tcam_wire_get_be64(&reply[ACL_TCAM_WIRE_BYTES_AT]);
        const Counter *tally = host.truth.of(key);
        const bool is_get = msg_type != ACL_TCAM_FS_MSG_SET && msg_type != ACL_TCAM_FS_MSG_DEL;
        const Counter expected = is_get && tally != nullptr ? *tally : Counter{};
        const bool judged = !is_get || !disturbed(key.vsan);
        if (judged && (frames != expected.frames || bytes != expected.bytes)) {
            fail("msg %d for type %u vsan %u %06x->%06x: reply %llu frames / %llu bytes, "
                 "expected %llu / %llu",
                 msg_type, key.type, key.vsan, key.sid, key.did,
                 static_cast<unsigned long long>(frames), static_cast<unsigned long long>(bytes),
                 static_cast<unsigned long long>(expected.frames),
                 static_cast<unsigned long long>(expected.bytes));
        }
    }

    const bool update_failed = status == kUpdateFault;
    const bool delete_failed = fault == Fault::tree_delete && status == ACL_TCAM_FS_ERR_NO_ENTRY;
    if (msg_type == ACL_TCAM_FS_MSG_SET && (status == 0 || update_failed)) {
        host.truth.start(key);
    }
    if (msg_type == ACL_TCAM_FS_MSG_DEL && status == 0) {
        host.truth.stop(key);
    }
    if (update_failed || delete_failed) {
        host.disturbed_vsans.insert(key.vsan);
    }
}

// Hands one payload (none when has_payload is false) to the library and
// checks the status and replies against what the model expects.
void exchange(const std::vector<uint8_t> &request, bool has_payload) {
    static const uint8_t empty_payload = 0;
    vexa_msg_t msg{};
    msg.desc[0] = next_tag++;
    msg.payload = !has_payload ? nullptr : (request.empty() ? &empty_payload : request.data());
    msg.payload_len = has_payload ? static_cast<uint32_t>(request.size()) : 0;
    host.replies.clear();
    const uint32_t status = acl_tcam_flow_process_stats_msg(kHandle, &msg);
    const Fault fault = settle_faults();

    const bool full = has_payload && request.size() >= ACL_TCAM_FS_CMI_LEN;
    const model::DecodedRequest d = has_payload
                                        ? model::decode_request(request)
                                        : model::DecodedRequest{ACL_TCAM_FS_ERR_INVALID_ARG, {}};
    const auto msg_type =
        full ? static_cast<int32_t>(acl_tcam_wire_get_be32(&request[ACL_TCAM_WIRE_MSG_TYPE_AT]))
             : 0;
    note("  msg %d len %zu%s -> type %u vsan %u %06x->%06x: status 0x%x, %zu replies, fault %d",
         msg_type, request.size(), has_payload ? "" : " (none)", static_cast<uint32_t>(d.key.type),
         d.key.vsan, d.key.sid, d.key.did, status, host.replies.size(), static_cast<int>(fault));
    if (d.refusal != 0) {
        if (status != d.refusal) {
            fail("malformed request: status 0x%x, expected 0x%x", status, d.refusal);
        }
        // A message without payload cannot be answered.
        if (host.replies.size() != (has_payload ? 1u : 0u)) {
            fail("%zu replies to a malformed request", host.replies.size());
        }
        for (const auto &reply : host.replies) {
            check_reply(request, reply, status);
        }
        return;
    }
    if (!is_flow_msg(msg_type)) {
        if (status != ACL_TCAM_FS_ERR_INVALID_ARG || !host.replies.empty()) {
            fail("unknown msg type %d: status 0x%x, %zu replies", msg_type, status,
                 host.replies.size());
        }
        return;
    }
    check_flow_outcome(request, msg_type, tcam_model::entry_key(d.key), status, fault);
}

void send_frames(Input &in) {
    const uint8_t b = in.byte();
    const uint32_t size = 64 + 8u * in.byte();
    const Frame f{(b & 0x80) != 0 ? kQuietVsan : kVsans[b & 1], fcid(b >> 1), fcid(b >> 3), size};
    const uint32_t count = 1 + ((b >> 5) & 3);
    note("frames: %u x vsan %u %06x->%06x, %u bytes", count, f.vsan, f.sid, f.did, size);
    for (uint32_t i = 0; i < count; ++i) {
        host.tcam.count(f);
        host.truth.deliver(f);
    }
}

// The display, read as the supervisor reads it: chunks ending with exactly
// one marked last, and a row for every stored flow whose counter could be read.
void display() {
    vexa_msg_t request{};
    request.desc[0] = next_tag++;
    host.display = display::Assembler{};
    host.display_error.clear();
    const uint32_t rc = acl_tcam_print_flows_info(&request);
    const bool read_failed = settle_faults() == Fault::read;
    const size_t rows = host.truth.flows.size() - (read_failed ? 1 : 0);
    note("display: %zu chunk(s), %zu bytes", host.display.chunks(), host.display.text().size());
    if (rc != 0 || !host.display_error.empty() || !host.display.done()) {
        fail("display: status 0x%x, %zu chunks: %s", rc, host.display.chunks(),
             host.display_error.empty() ? "none marked last" : host.display_error.c_str());
    }
    std::string error;
    const std::optional<display::Table> table = display::parse(host.display.text(), &error);
    if (!table || table->rows.size() != rows) {
        fail("display of %zu flows: %s", rows,
             table ? (std::to_string(table->rows.size()) + " rows").c_str() : error.c_str());
    }
    for (const display::Row &row : table->rows) {
        if (host.truth.of(tcam_model::entry_key(row.key)) == nullptr) {
            fail("display shows %s, which the host does not hold",
                 model::to_string(row.key).c_str());
        }
    }
}

// A request built from fuzz bytes: a well-formed one with a few bytes of the
// body (or anywhere) overwritten, and a length that is sometimes wrong.
void raw_request(Input &in) {
    const auto msg_type = static_cast<int32_t>(in.byte() % 6);
    std::vector<uint8_t> p = flow_request(msg_type, in.byte(), next_tag);
    const uint8_t len_sel = in.byte();
    if (len_sel >= 0xf0) {
        p.resize(len_sel - 0xf0 + ACL_TCAM_FS_CMI_LEN, 0xa5);
    } else if (len_sel >= 0xd0) {
        p.resize((len_sel - 0xd0) * 6u);
    }
    for (uint32_t edits = in.byte() % 5; edits > 0 && !p.empty(); --edits) {
        const uint8_t where = in.byte();
        const size_t at = (where & 0x80) != 0 ? where % p.size()
                                              : (ACL_TCAM_FS_CMI_BODY_OFFSET + where) % p.size();
        p[at] = in.byte();
    }
    exchange(p, len_sel != 0xef);
}

void reinit(uint32_t start_id, uint32_t capacity) {
    note("init: counters %u..%u", start_id, start_id + capacity - 1);
    const uint32_t rc = acl_tcam_flow_init(kHandle, start_id, start_id + capacity);
    if (rc != 0) {
        fail("init: status 0x%x", rc);
    }
    host.tcam = tcam_model::Tcam{};
    host.truth = tcam_model::GroundTruth{};
    host.disturbed_vsans.clear();
    host.capacity = capacity;
}

// What a fault can be armed for: a request, a display or a raw message.
void flow_op(Input &in, uint8_t op) {
    switch (op % 8) {
    case 0:
    case 1:
    case 2:
        exchange(flow_request(ACL_TCAM_FS_MSG_SET, in.byte(), next_tag), true);
        break;
    case 3:
    case 4:
        exchange(flow_request(ACL_TCAM_FS_MSG_DEL, in.byte(), next_tag), true);
        break;
    case 5:
        exchange(flow_request(1 + op / 8 % 2, in.byte(), next_tag), true);
        break;
    case 6:
        display();
        break;
    default:
        raw_request(in);
        break;
    }
}

void one_op(Input &in) {
    const uint8_t op = in.byte();
    switch (op % 16) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
        send_frames(in);
        break;
    case 5:
    case 6: {
        const auto fault = static_cast<Fault>(1 + in.byte() % 5);
        note("fault %d armed", static_cast<int>(fault));
        arm(fault, in.byte());
        flow_op(in, in.byte());
        break;
    }
    case 7:
        reinit(1 + in.byte(), 2 + in.byte() % 10);
        break;
    default:
        flow_op(in, op);
        break;
    }
    check_state();
}

} // namespace

// ---- Host callbacks ---------------------------------------------------------

extern "C" {

void acl_tcam_flow_debug_cb(uint32_t /*level*/, uint32_t /*kind*/, const char * /*text*/) {}

int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update) {
    if (update == nullptr || update->flow == nullptr) {
        fail("handle update without a flow");
    }
    if (host.armed == Fault::update && ++host.calls == host.fail_call) {
        host.fired = true;
        return static_cast<int32_t>(kUpdateFault);
    }
    host.tcam.update(*update);
    return 0;
}

int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    if (stats == nullptr) {
        fail("counter read without a result");
    }
    if (host.armed == Fault::read && ++host.calls == host.fail_call) {
        host.fired = true;
        return static_cast<int32_t>(kReadFault);
    }
    const Counter c = host.tcam.read(counter_id);
    stats->frames = c.frames;
    stats->bytes = c.bytes;
    return 0;
}

int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    // The display prints the table; keep the fuzzer's own output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        fail("cannot silence stdout");
    }
    const char *t = std::getenv("FUZZ_FLOW_OPS_TRACE");
    trace = t != nullptr && t[0] == '1';
    vexa_sim_set_sink(capture, nullptr);
    acl_tcam_flow_set_region_init_done();
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    settle_faults();
    reinit(1 + in.byte(), 2 + in.byte() % 10);
    check_state();
    while (!in.empty()) {
        one_op(in);
    }
    return 0;
}

} // extern "C"
