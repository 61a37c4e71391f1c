// Fuzzes the message front end with arbitrary payloads on one library whose
// flow table lives on from input to input.
//
// An input is a control byte and a payload. The control byte can declare the
// TCAM region ready (for good: the library cannot go back), drop the payload
// (a message without one), force the message type, fold the request's key
// into a small key space (so that sets, removals and queries of the same
// flows meet and the counters run out), or re-initialise the table. The
// payload, of any length, goes through acl_tcam_flow_process_stats_msg.
//
// The host's callbacks never fail, so every status is predictable from a
// record of the stored flows and the flow model's request decoder; after every
// input the fuzzer also checks the replies and the flow table's invariants
// (model::check_table).
//
// A failing input met a state that the inputs before it built, so it may not
// fail on its own: the failure report lists that state (region, capacity and
// the stored flows) to rebuild it from.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "platform_sim.h"
#include "request.h"
#include "table_check.h"

namespace {

constexpr uint32_t kHandle = 9;
constexpr uint32_t kStartId = 2;

// Control byte.
constexpr uint8_t kRegionReady = 0x01;
constexpr uint8_t kNoPayloadBits = 0x06; // both set: no payload
constexpr uint8_t kForceType = 0x08;     // type from bits 4-6: 1 to 8
constexpr uint8_t kFoldKey = 0x80;
constexpr uint8_t kReinit = 0x7f; // the whole byte: table size from the next one

using Key = std::tuple<uint16_t, uint32_t, uint32_t, uint32_t>; // type, vsan, sid, did

struct Model {
    std::set<Key> flows;
    uint32_t capacity = 0;
    bool region_ready = false;
} expected_state;

std::vector<std::vector<uint8_t>> replies;

[[noreturn]] void fail(const char *what, uint32_t a = 0, uint32_t b = 0) {
    std::fprintf(stderr, "fuzz_stats_msg: %s (0x%x, 0x%x)\n", what, a, b);
    std::fprintf(stderr, "region %s, %u counters, %zu flows expected:\n",
                 expected_state.region_ready ? "ready" : "not ready", expected_state.capacity,
                 expected_state.flows.size());
    for (const auto &[type, vsan, sid, did] : expected_state.flows) {
        std::fprintf(stderr, "  type %u vsan %u sid %06x did %06x\n", type, vsan, sid, did);
    }
    std::abort();
}

void check(bool ok, const char *what, uint32_t a = 0, uint32_t b = 0) {
    if (!ok) {
        fail(what, a, b);
    }
}

int capture(void * /*user*/, const vexa_sim_sent_t *sent) {
    replies.emplace_back(sent->payload, sent->payload + sent->len);
    return 0;
}

void reinit(uint32_t capacity) {
    check(acl_tcam_flow_init(kHandle, kStartId, kStartId + capacity) == 0, "init failed");
    expected_state.flows.clear();
    expected_state.capacity = capacity;
}

// A small key space: three VSANs, two domains, two ports. The input's
// message type, aux and opaque bytes stay as they came.
void fold_key(std::vector<uint8_t> &p) {
    const uint8_t b = p[ACL_TCAM_WIRE_FLOW_TYPE_AT];
    const uint32_t type = (b & 1) != 0      ? FLOW_TYPE_VSAN
                          : (b & 0x20) != 0 ? FLOW_TYPE_DOMAIN
                                            : FLOW_TYPE_SID_DID;
    acl_tcam_wire_request_t r = acl_tcam_wire_flow_request(
        static_cast<int32_t>(acl_tcam_wire_get_be32(&p[ACL_TCAM_WIRE_MSG_TYPE_AT])), type,
        1 + p[ACL_TCAM_WIRE_VSAN_AT + 3] % 3, (1 + (b >> 1 & 1)) << 16 | (b >> 2 & 1),
        (3 + (b >> 3 & 1)) << 16 | (b >> 4 & 1), 1);
    r.aux = acl_tcam_wire_get_be32(&p[ACL_TCAM_WIRE_AUX_AT]);
    acl_tcam_wire_encode_request(p.data(), &r);
}

enum class Reply { none, header, full };

struct Expected {
    uint32_t status;
    Reply reply;
};

// What the library must answer, from the expected state; updates that state.
Expected expect(const std::vector<uint8_t> *payload) {
    if (payload == nullptr) {
        return {ACL_TCAM_FS_ERR_INVALID_ARG, Reply::none};
    }
    const model::DecodedRequest d = model::decode_request(*payload);
    if (d.refusal != 0) {
        return {d.refusal, Reply::header};
    }
    const auto type =
        static_cast<int32_t>(acl_tcam_wire_get_be32(&(*payload)[ACL_TCAM_WIRE_MSG_TYPE_AT]));
    const bool query = type == ACL_TCAM_FS_MSG_GET || type == ACL_TCAM_FS_MSG_GET_ALT;
    if (!expected_state.region_ready) {
        return {ACL_TCAM_FS_ERR_REGION_NOT_INIT, query ? Reply::full : Reply::header};
    }
    const Key key{static_cast<uint16_t>(d.key.type), d.key.vsan, d.key.sid, d.key.did};
    const bool present = expected_state.flows.count(key) != 0;
    uint32_t status = 0;
    switch (type) {
    case ACL_TCAM_FS_MSG_SET:
        if (present) {
            status = ACL_TCAM_FS_ERR_FLOW_EXISTS;
        } else if (expected_state.flows.size() == expected_state.capacity) {
            status = ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED;
        } else {
            expected_state.flows.insert(key);
        }
        break;
    case ACL_TCAM_FS_MSG_DEL:
        expected_state.flows.erase(key);
        break;
    case ACL_TCAM_FS_MSG_GET:
    case ACL_TCAM_FS_MSG_GET_ALT:
        status = present ? 0 : ACL_TCAM_FS_ERR_NO_ENTRY;
        break;
    default:
        return {ACL_TCAM_FS_ERR_INVALID_ARG, Reply::none};
    }
    return {status, status == 0 ? Reply::full : Reply::header};
}

void check_replies(const std::vector<uint8_t> *payload, const Expected &e) {
    if (e.reply == Reply::none) {
        check(replies.empty(), "answered", static_cast<uint32_t>(replies.size()));
        return;
    }
    check(replies.size() == 1, "replies", static_cast<uint32_t>(replies.size()));
    const std::vector<uint8_t> &r = replies[0];
    const bool full = e.reply == Reply::full;
    const size_t len = full ? ACL_TCAM_FS_CMI_LEN : ACL_TCAM_FS_CMI_HEADER_LEN;
    check(r.size() == len, "reply length", static_cast<uint32_t>(r.size()));
    check(acl_tcam_wire_get_be32(&r[ACL_TCAM_WIRE_STATUS_AT]) == (full ? 0 : e.status),
          "reply status", acl_tcam_wire_get_be32(&r[ACL_TCAM_WIRE_STATUS_AT]), e.status);
    // Everything but the fields the library writes comes back, or zero past
    // the end of a short payload.
    for (size_t i = 0; i < len; ++i) {
        const bool written =
            (i >= ACL_TCAM_WIRE_AUX_AT && i < ACL_TCAM_WIRE_STATUS_AT + 4) ||
            (full && i >= ACL_TCAM_WIRE_FRAMES_AT && i < ACL_TCAM_WIRE_BYTES_AT + 8);
        const uint8_t sent = i < payload->size() ? (*payload)[i] : 0;
        check(written || r[i] == sent, "reply byte changed", static_cast<uint32_t>(i));
    }
}

// The library's invariants (model::check_table), and its flows the model's.
void check_tables() {
    const model::TableCheck t =
        model::check_table(static_cast<uint32_t>(expected_state.flows.size()));
    if (!t.error.empty()) {
        fail(t.error.c_str());
    }
    for (const model::FlowKey &k : t.owners) {
        check(expected_state.flows.count(
                  Key{static_cast<uint16_t>(k.type), k.vsan, k.sid, k.did}) != 0,
              "unknown owner", k.vsan);
    }
}

} // namespace

extern "C" {

void acl_tcam_flow_debug_cb(uint32_t /*level*/, uint32_t /*kind*/, const char * /*text*/) {}

int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update) {
    check(update != nullptr && update->flow != nullptr, "update without a flow");
    return 0;
}

int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats) {
    check(stats != nullptr, "read without a result");
    stats->frames = counter_id * 3u;
    stats->bytes = counter_id * 300u;
    return 0;
}

int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    vexa_sim_set_sink(capture, nullptr);
    reinit(12);
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t control = data[0];
    std::vector<uint8_t> bytes(data + 1, data + size);
    if (control == kReinit) {
        reinit(1 + (bytes.empty() ? 0 : bytes[0] % 24));
        check_tables();
        return 0;
    }
    if ((control & kRegionReady) != 0 && !expected_state.region_ready) {
        acl_tcam_flow_set_region_init_done();
        expected_state.region_ready = true;
    }
    if ((control & kForceType) != 0 && bytes.size() >= 4) {
        acl_tcam_wire_put_be32(&bytes[ACL_TCAM_WIRE_MSG_TYPE_AT], 1 + (control >> 4 & 7));
    }
    if ((control & kFoldKey) != 0 && bytes.size() >= ACL_TCAM_FS_CMI_LEN) {
        fold_key(bytes);
    }
    const bool no_payload = (control & kNoPayloadBits) == kNoPayloadBits;
    const std::vector<uint8_t> *payload = no_payload ? nullptr : &bytes;

    vexa_msg_t msg{};
    msg.desc[0] = 0xfeed;
    // A zero-length payload still has an address: the message has one.
    static const uint8_t empty = 0;
    msg.payload = no_payload ? nullptr : (bytes.empty() ? &empty : bytes.data());
    msg.payload_len = no_payload ? 0 : static_cast<uint32_t>(bytes.size());
    replies.clear();
    const Expected expected = expect(payload);
    const uint32_t status = acl_tcam_flow_process_stats_msg(kHandle, &msg);
    check(status == expected.status, "status", status, expected.status);
    check_replies(payload, expected);
    check_tables();
    return 0;
}

} // extern "C"
