// Dispatch and replies, with payloads built by offset. The reply bytes of the
// common paths are pinned by the golden transcript; request bodies are
// decoded as tests/model/request_test.cpp checks, against the model.
#include <gtest/gtest.h>

#include <cstring>

#include "payload.h"
#include "test_host.h"

using namespace test;

namespace {

constexpr uint32_t kStatusAt = 8;

Request vsan_request(int32_t msg_type, uint32_t vsan = 10) {
    return {.msg_type = msg_type, .aux = 0xa0a0a0a0, .vsan = vsan};
}

Request exact_request(int32_t msg_type, uint32_t sid, uint32_t did, uint32_t mask = 0xffffff) {
    return {
        .msg_type = msg_type, .flow_type = 224, .vsan = 10, .did = did, .sid = sid, .mask = mask};
}

} // namespace

// Every kind of message, before and after the region is ready: its status,
// its reply (none, short or full) and, in order among others, its texts.
TEST(FrontEnd, EveryMessageGetsItsStatusReplyAndTexts) {
    Host host;
    ASSERT_EQ(acl_tcam_flow_init(1, 1, 100), 0u);
    const std::string done = "(TCAMFS-EV)ACL TCAM Flow Message Processed Successfully\n";
    const std::string refused = "(TCAMFS-ERR)acl_tcam_process_stats_msg: ";
    const auto bytes = [](Request r, size_t len = 184) {
        std::vector<uint8_t> b = make_payload(r);
        b.resize(len, 0x99);
        return b;
    };
    const Request set = exact_request(3, 0x010203, 0x040506);
    Request get = set, del = set;
    get.msg_type = 1;
    del.msg_type = 4;
    constexpr uint32_t kNotReady = ACL_TCAM_FS_ERR_REGION_NOT_INIT,
                       kBad = ACL_TCAM_FS_ERR_INVALID_ARG, kExists = ACL_TCAM_FS_ERR_FLOW_EXISTS,
                       kNoEntry = ACL_TCAM_FS_ERR_NO_ENTRY;
    const std::string gate = refused + "Region Initialization required before any request\n";
    struct Case {
        bool region_ready;
        std::vector<uint8_t> payload;
        uint32_t status;  // a short reply carries it too
        size_t reply_len; // 0: no reply
        std::vector<std::string> texts;
    } cases[] = {
        {false, bytes(get), kNotReady, 184, {}},
        {false, bytes(set), kNotReady, 112, {gate}},
        {false, bytes(del), kNotReady, 112, {gate}},
        {false, bytes(vsan_request(1, 0)), kBad, 112, {}}, // the decoder still comes first
        {true, bytes(set), 0, 184, {"(TCAMFS-EV)Processing set msg\n", done}},
        {true, bytes(set, 200), kExists, 112, {refused + "Invalid Message: 0x4052000f.\n"}},
        {true, bytes(get), 0, 184, {"(TCAMFS-EV)Processing get msg\n"}},
        {true, bytes(del), 0, 184, {"(TCAMFS-EV)Processing del msg\n", done}},
        {true, bytes(del), 0, 184, {done}}, // absent: still a success
        {true, bytes(get), kNoEntry, 112, {refused + "Invalid Message: 0x40520010.\n"}},
        // clang-format off
        {true, bytes(vsan_request(9, 0)), kBad, 112, {refused + "Build flow request failed: 0x40520001\n"}},
        // clang-format on
        // Not read past its end.
        {true, bytes(set, 50), kBad, 112, {refused + "Invalid Message\n"}},
        {true, bytes(set, 183), kBad, 112, {refused + "Invalid Message\n"}},
        {true, bytes(vsan_request(0)), kBad, 0, {"(TCAMFS-EV)Unknown Message Type 0.\n"}},
        {true, bytes(vsan_request(-1)), kBad, 0, {"(TCAMFS-EV)Unknown Message Type -1.\n"}},
    };
    for (const Case &c : cases) {
        if (c.region_ready) {
            acl_tcam_flow_set_region_init_done();
        }
        EXPECT_EQ(acl_tcam_flow_is_region_init_done(), c.region_ready ? 1u : 0u);
        host.clear();
        const Message m(c.payload);
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(acl_tcam_flow_process_stats_msg(77, &m.msg), c.status);
        auto next = c.texts.begin();
        for (const LogLine &line : host.logs) {
            if (next != c.texts.end() && line.text == *next) {
                ++next;
            }
        }
        EXPECT_TRUE(next == c.texts.end()) << "missing " << *next;
        ASSERT_EQ(host.sent.size(), c.reply_len == 0 ? 0u : 1u);
        if (c.reply_len == 0) {
            continue;
        }
        const SentMessage &reply = host.sent[0];
        ASSERT_EQ(reply.payload.size(), c.reply_len);
        EXPECT_EQ(get_be32(reply.payload, kStatusAt), c.reply_len == 112 ? c.status : 0);
        EXPECT_EQ(reply.dst.node, 0xfe000000u); // handle and opcode: the golden transcript
        EXPECT_EQ(reply.dst.endpoint, 0u);
        ASSERT_TRUE(reply.has_reply_to);
        EXPECT_EQ(std::memcmp(reply.reply_to.data(), &m.msg, VEXA_SIM_DESC_LEN), 0);
        if (c.reply_len == 112) { // aux cleared, the header's rest as it came, zeros past its end
            std::vector<uint8_t> expected(
                c.payload.begin(), c.payload.begin() + std::min<size_t>(112, c.payload.size()));
            expected.resize(112, 0);
            std::fill_n(expected.begin() + 4, 8, 0);
            std::copy_n(reply.payload.begin() + kStatusAt, 4, expected.begin() + kStatusAt);
            EXPECT_EQ(reply.payload, expected);
        } else if (c.status != 0) { // a query before the region is ready
            EXPECT_EQ(get_be64(reply.payload, 152) | get_be64(reply.payload, 160), 0u);
        }
    }
    Message none(make_payload(vsan_request(3)));
    none.msg.payload = nullptr;
    EXPECT_EQ(acl_tcam_flow_process_stats_msg(77, &none.msg), ACL_TCAM_FS_ERR_INVALID_ARG);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_cmi_resp: Null Payload.\n");
}

TEST(FrontEnd, ReplyFailuresDoNotChangeTheResult) {
    Host host;
    ASSERT_EQ(acl_tcam_flow_init(1, 1, 100), 0u);
    acl_tcam_flow_set_region_init_done();
    const Message set(make_payload(vsan_request(3)));
    host.send_result = -1;
    host.send_errno = 113;
    EXPECT_EQ(acl_tcam_flow_process_stats_msg(77, &set.msg), 0u);
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-ERR)acl_tcam_cmi_resp_data: VEXA Send Failure cause 113.\n");
    EXPECT_EQ(acl_tcam_cmi_resp(77, &set.msg, 5), 113u);
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-ERR)acl_tcam_cmi_resp: VEXA Send Failure cause 113.\n");
    const uint64_t totals[2] = {1, 2};
    EXPECT_EQ(acl_tcam_cmi_resp_data(77, &set.msg, totals), static_cast<uint32_t>(-1));

    host.send_result = 0;
    mtrack_sim_fail_type(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_stats_cmi_t);
    EXPECT_EQ(acl_tcam_cmi_resp_data(77, &set.msg, totals), 1u);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_cmi_resp_data: No Memory Left.\n");
    mtrack_sim_clear_faults();

    Message none(make_payload(vsan_request(3)));
    none.msg.payload = nullptr;
    EXPECT_EQ(acl_tcam_cmi_resp_data(77, &none.msg, totals), ACL_TCAM_FS_ERR_NULL_PAYLOAD);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_cmi_resp_data: Null Payload.\n");
    EXPECT_EQ(mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_stats_cmi_t), 0u);
}
