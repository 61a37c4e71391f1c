// The model's request decoder is the oracle of the line card, the card daemon
// and the fuzzers: on every body the wire helper can encode it must give the
// library's own answer, the refusal code (in the library's order of checks)
// or the flow in stored form. Bytes of no field hold a pattern, the rest of
// the flow type's word included.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "payload.h"
#include "request.h"
#include "test_host.h"

namespace {

using model::FlowKey;
using model::FlowType;

acl_tcam_wire_request_t flow(uint32_t type, uint32_t vsan, uint32_t sid = 0x010203,
                             uint32_t did = 0x040506, int32_t index = 1) {
    return acl_tcam_wire_flow_request(ACL_TCAM_FS_MSG_SET, type, vsan, sid, did, index);
}

// A request filled field by field, as one the library must refuse is.
acl_tcam_wire_request_t raw(int32_t index, uint8_t flow_type, uint32_t vsan, uint32_t sid = 0,
                            uint32_t did = 0, uint32_t mask = 0) {
    acl_tcam_wire_request_t r{};
    r.index = index;
    r.flow_type = flow_type;
    r.vsan = vsan;
    r.sid = sid;
    r.did = did;
    r.mask = mask;
    return r;
}

acl_tcam_wire_request_t sid_did(uint32_t sid, uint32_t did, uint32_t mask) {
    return raw(1, ACL_TCAM_FS_REQ_FLOW_SID_DID, 10, sid, did, mask);
}

// The library's text for each refusal too (FC IDs are refused silently), and
// its record zero-filled before any rule.
TEST(RequestDecoder, GivesTheLibrarysAnswerForEveryBody) {
    test::Host host;
    constexpr uint32_t kBad = ACL_TCAM_FS_ERR_INVALID_ARG;
    const std::string bad = "(TCAMFS-ERR)acl_tcam_build_flow_request: ";
    struct Case {
        const char *what;
        acl_tcam_wire_request_t request;
        uint32_t refusal;
        std::optional<FlowKey> key = std::nullopt;
        size_t len = ACL_TCAM_FS_CMI_LEN;
        std::string text = "";
    };
    const auto refused = [&](const char *what, acl_tcam_wire_request_t r, uint32_t code,
                             const std::string &text) {
        return Case{
            what, r, code, std::nullopt, ACL_TCAM_FS_CMI_LEN, text.empty() ? "" : bad + text};
    };
    // clang-format off
    const Case cases[] = {
        refused("zero index first", flow(FLOW_TYPE_VSAN, 0, 0, 0, 0), ACL_TCAM_FS_ERR_INVALID_INDEX, "Invalid index 0\n"),
        refused("zero index before a bad type", raw(0, 7, 10), ACL_TCAM_FS_ERR_INVALID_INDEX, "Invalid index 0\n"),
        refused("unknown flow type", flow(9, 10), kBad, "Invalid flow_type 0.\n"),
        refused("flow type 7", raw(1, 7, 10), kBad, "Invalid flow_type 7.\n"),
        refused("VSAN 0", flow(FLOW_TYPE_VSAN, 0), kBad, "Invalid vsan_id 0.\n"),
        refused("VSAN 4096", flow(FLOW_TYPE_SID_DID, 4096), kBad, "Invalid vsan_id 4096.\n"),
        refused("VSAN -1", flow(FLOW_TYPE_VSAN, 0xffffffff), kBad, "Invalid vsan_id -1.\n"),
        refused("SID below the first domain", flow(FLOW_TYPE_SID_DID, 10, 0xffff), kBad, ""),
        refused("DID past 24 bits", flow(FLOW_TYPE_DOMAIN, 10, 0x010203, 0x1000000), kBad, ""),
        refused("bad FC ID before a bad mask", sid_did(0, 0x010203, 0x123456), kBad, ""),
        refused("mask of neither kind", sid_did(0x010203, 0x010203, 0x123456), kBad, "Invalid Mask 0x123456\n"),
        refused("mask of 16 bits", sid_did(0x010203, 0x010203, 0xffff), kBad, ""),
        refused("mask 0", sid_did(0x010203, 0x010203, 0), kBad, ""),
        {"payload one byte short", flow(FLOW_TYPE_VSAN, 10), kBad, {}, ACL_TCAM_FS_CMI_LEN - 1},
        {"empty payload", flow(FLOW_TYPE_VSAN, 10), kBad, {}, 0},
        {"VSAN flow ignores SID, DID and mask", raw(-5, ACL_TCAM_FS_REQ_FLOW_VSAN, 4095, 7, 3, 1), 0, FlowKey{FlowType::Vsan, 4095, 0, 0}},
        {"lowest VSAN", flow(FLOW_TYPE_VSAN, 1), 0, FlowKey{FlowType::Vsan, 1, 0, 0}},
        {"domain flow keeps the domain bytes", flow(FLOW_TYPE_DOMAIN, 10, 0x0a1b2c, 0xffffff), 0, FlowKey{FlowType::Domain, 10, 0x0a0000, 0xff0000}},
        {"exact flow at the range's ends", flow(FLOW_TYPE_SID_DID, 10, 0x010000, 0xffffff, -7), 0, FlowKey{FlowType::Exact, 10, 0x010000, 0xffffff}},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> payload = test::make_payload(c.request, c.len);
        const model::DecodedRequest got = model::decode_request(payload);
        EXPECT_EQ(got.refusal, c.refusal);
        EXPECT_EQ(got.key, c.key.value_or(FlowKey{}));
        if (c.len < ACL_TCAM_FS_CMI_LEN) {
            continue; // the front end refuses it before decoding
        }
        host.clear();
        flow_t record;
        std::memset(&record, 0xee, sizeof record);
        const uint32_t library =
            acl_tcam_build_flow_request(payload.data() + ACL_TCAM_FS_CMI_BODY_OFFSET, &record);
        EXPECT_EQ(library, c.refusal);
        EXPECT_EQ(host.texts(),
                  c.text.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.text});
        // A refusal leaves the record zero-filled; a flow is in stored form,
        // every other byte zero.
        const FlowKey k = c.key.value_or(FlowKey{});
        const flow_t want = k.type == FlowType::Vsan     ? test::vsan_flow(k.vsan)
                            : k.type == FlowType::Domain ? test::domain_flow(k.vsan, k.sid, k.did)
                                                         : test::exact_flow(k.vsan, k.sid, k.did);
        EXPECT_TRUE(c.refusal != 0 ? record.type == 0
                                   : std::memcmp(&record, &want, sizeof record) == 0);
    }
    flow_t record;
    EXPECT_EQ(acl_tcam_build_flow_request(nullptr, &record), kBad);
    EXPECT_EQ(host.logs.back().text, bad + "NULL Pointer Use.\n");
}

// Numbers as every command line takes them: a whole word, decimal or
// 0x-prefixed hex, 64 bits at most.
TEST(NumberReader, ReadsWholeWordsAsDecimalOrHex) {
    const std::pair<const char *, std::optional<uint64_t>> cases[] = {
        {"0", 0},
        {"42", 42},
        {"0x2a", 42},
        {"0X2A", 42},
        {"0xffffffffffffffff", UINT64_MAX},
        {"18446744073709551616", std::nullopt}, // one past 64 bits
        {"0x", std::nullopt},
        {"", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {"12abc", std::nullopt},
        {"0x1g", std::nullopt},
        {"1 ", std::nullopt},
    };
    for (const auto &[word, value] : cases) {
        EXPECT_EQ(model::parse_number(word), value) << "'" << word << "'";
    }
}

// A flow as an operator writes it. A number past 32 bits is refused, never
// cut to its low bits: "vsan 4294967306" must not name VSAN 10.
TEST(FlowWords, ReadTheKeyOrSayWhyNot) {
    using model::FlowKey;
    using model::FlowType;
    struct Case {
        std::vector<std::string> words;
        std::optional<FlowKey> key;
    } cases[] = {
        {{"vsan", "10"}, FlowKey{FlowType::Vsan, 10, 0, 0}},
        {{"domain", "10", "0x12ab01", "0x34cd02"},
         FlowKey{FlowType::Domain, 10, 0x120000, 0x340000}},
        {{"exact", "0xa", "0x010001", "0x020002"},
         FlowKey{FlowType::Exact, 10, 0x010001, 0x020002}},
        {{"vsan", "4294967306"}, std::nullopt},                     // 2^32 + 10
        {{"exact", "10", "0x100010001", "0x020002"}, std::nullopt}, // 2^32 + 0x010001
        {{"exact", "10", "0x010001", "4295098370"}, std::nullopt},  // 2^32 + 0x020002
        {{"vsan", "0"}, std::nullopt},
        {{"vsan", "4096"}, std::nullopt},
        {{"exact", "10", "0x00ffff", "0x020002"}, std::nullopt},
        {{"exact", "10", "0x010001", "0x1000000"}, std::nullopt},
        {{"vsan", "10", "0x010001"}, std::nullopt},
        {{"exact", "10", "0x010001"}, std::nullopt},
        {{"flow", "10"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const Case &c : cases) {
        std::string error;
        const std::optional<FlowKey> key = model::parse_flow_words(c.words, &error);
        const std::string line = c.words.empty() ? "" : c.words[0] + " " + c.words.back();
        EXPECT_EQ(key, c.key) << line;
        EXPECT_EQ(error.empty(), c.key.has_value()) << line << ": " << error;
    }
}

} // namespace
