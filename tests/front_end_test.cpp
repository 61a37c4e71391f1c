// Request decoding, dispatch and replies, with payloads built by offset.
#include <gtest/gtest.h>

#include <cstring>

#include "payload.h"
#include "test_host.h"

using namespace test;

namespace {

constexpr uint32_t kStatusAt = 8;
constexpr uint32_t kAuxAt = 4;

Request vsan_request(int32_t msg_type, uint32_t vsan = 10) {
    Request r;
    r.msg_type = msg_type;
    r.vsan = vsan;
    r.aux = 0xa0a0a0a0;
    return r;
}

Request exact_request(int32_t msg_type, uint32_t sid, uint32_t did, uint32_t mask = 0xffffff) {
    Request r = vsan_request(msg_type);
    r.flow_type = 224;
    r.sid = sid;
    r.did = did;
    r.mask = mask;
    return r;
}

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(acl_tcam_flow_init(1, 1, 100), 0u);
        acl_tcam_flow_set_region_init_done();
        host.clear();
    }
    uint32_t process(const Message &m) { return acl_tcam_flow_process_stats_msg(77, &m.msg); }

    // The only send: a short reply to m carrying status, with the header's
    // bytes 12 to 111 unchanged.
    void expect_short_reply(const Message &m, uint32_t status) {
        ASSERT_EQ(host.sent.size(), 1u);
        const SentMessage &reply = host.sent[0];
        ASSERT_EQ(reply.payload.size(), 112u);
        EXPECT_EQ(get_be32(reply.payload, 0), get_be32(m.payload, 0));
        EXPECT_EQ(get_be32(reply.payload, kAuxAt), 0u);
        EXPECT_EQ(get_be32(reply.payload, kStatusAt), status);
        EXPECT_TRUE(
            std::equal(reply.payload.begin() + 12, reply.payload.end(), m.payload.begin() + 12));
        expect_addressed(reply, m);
    }

    // The only send: a full reply to m with the totals, every other byte
    // (aux included) unchanged.
    void expect_full_reply(const Message &m, uint64_t frames, uint64_t bytes) {
        ASSERT_EQ(host.sent.size(), 1u);
        std::vector<uint8_t> expected(m.payload.begin(), m.payload.begin() + 184);
        std::memset(&expected[kStatusAt], 0, 4);
        for (int i = 0; i < 8; ++i) {
            expected[152 + i] = static_cast<uint8_t>(frames >> (56 - 8 * i));
            expected[160 + i] = static_cast<uint8_t>(bytes >> (56 - 8 * i));
        }
        EXPECT_EQ(host.sent[0].payload, expected);
        expect_addressed(host.sent[0], m);
    }

    static void expect_addressed(const SentMessage &reply, const Message &m) {
        EXPECT_EQ(reply.handle, 77u);
        EXPECT_EQ(reply.dst.node, 0xfe000000u);
        EXPECT_EQ(reply.dst.endpoint, 0u);
        EXPECT_EQ(reply.opcode, 0u);
        ASSERT_TRUE(reply.has_reply_to);
        EXPECT_EQ(std::memcmp(reply.reply_to.data(), &m.msg, VEXA_SIM_DESC_LEN), 0);
    }

    Host host;
};

} // namespace

TEST(Decoder, RefusesEveryMalformedBody) {
    Host host;
    struct Case {
        const char *what;
        Request request;
        uint32_t status;
        const char *log; // nullptr: no line
    } cases[] = {
        {"index 0 before vsan",
         [] {
             Request r;
             r.index = 0;
             r.vsan = 0;
             return r;
         }(),
         ACL_TCAM_FS_ERR_INVALID_INDEX,
         "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid index 0\n"},
        {"vsan 0", vsan_request(3, 0), ACL_TCAM_FS_ERR_INVALID_ARG,
         "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid vsan_id 0.\n"},
        {"vsan 4096", vsan_request(3, 4096), ACL_TCAM_FS_ERR_INVALID_ARG,
         "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid vsan_id 4096.\n"},
        {"vsan -1", vsan_request(3, 0xffffffff), ACL_TCAM_FS_ERR_INVALID_ARG,
         "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid vsan_id -1.\n"},
        {"flow_type 0",
         [] {
             Request r;
             r.flow_type = 0;
             return r;
         }(),
         ACL_TCAM_FS_ERR_INVALID_ARG,
         "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid flow_type 0.\n"},
        {"sid 0xffff", exact_request(3, 0xffff, 0x010203), ACL_TCAM_FS_ERR_INVALID_ARG, nullptr},
        {"did 0x1000000", exact_request(3, 0x010203, 0x1000000), ACL_TCAM_FS_ERR_INVALID_ARG,
         nullptr},
        {"mask 0xffff", exact_request(3, 0x010203, 0x010203, 0xffff), ACL_TCAM_FS_ERR_INVALID_ARG,
         nullptr},
        {"mask 0x123456", exact_request(3, 0x010203, 0x010203, 0x123456),
         ACL_TCAM_FS_ERR_INVALID_ARG,
         "(TCAMFS-ERR)acl_tcam_build_flow_request: Invalid Mask 0x123456\n"},
    };
    for (const Case &c : cases) {
        host.clear();
        flow_t record;
        std::memset(&record, 0xee, sizeof record);
        const std::vector<uint8_t> payload = make_payload(c.request);
        EXPECT_EQ(acl_tcam_build_flow_request(payload.data() + 112, &record), c.status) << c.what;
        EXPECT_EQ(host.texts(),
                  c.log ? std::vector<std::string>{c.log} : std::vector<std::string>{})
            << c.what;
        EXPECT_EQ(record.type, 0) << c.what; // zero-filled before any rule
    }
    flow_t record;
    EXPECT_EQ(acl_tcam_build_flow_request(nullptr, &record), ACL_TCAM_FS_ERR_INVALID_ARG);
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-ERR)acl_tcam_build_flow_request: NULL Pointer Use.\n");
}

TEST(Decoder, BuildsTheRecordOfEachGranularity) {
    struct Case {
        Request request;
        flow_t expected;
    } cases[] = {
        {vsan_request(3, 1), vsan_flow(1)},
        {vsan_request(3, 4095), vsan_flow(4095)},
        {exact_request(3, 0x0a1b2c, 0x0b0c0d, 0xff0000), domain_flow(10, 0x0a0000, 0x0b0000)},
        {exact_request(3, 0x010203, 0x040506), exact_flow(10, 0x010203, 0x040506)},
        {[] {
             Request r = vsan_request(9);
             r.index = -5;
             r.sid = 7;
             r.mask = 1;
             return r;
         }(),
         vsan_flow(10)}, // negative index, msg_type and SID/DID fields play no part
    };
    for (const Case &c : cases) {
        flow_t record;
        std::memset(&record, 0xee, sizeof record);
        std::vector<uint8_t> payload = make_payload(c.request);
        payload[129] = 0xff; // the rest of flow_type's slot is never looked at
        ASSERT_EQ(acl_tcam_build_flow_request(payload.data() + 112, &record), 0u);
        EXPECT_EQ(std::memcmp(&record, &c.expected, sizeof record), 0) << c.expected.type;
    }
    // A flow_type slot holding 0x00000080 has flow_type 0.
    std::vector<uint8_t> payload = make_payload(vsan_request(3));
    put_be32(payload, 128, 0x80);
    flow_t record;
    EXPECT_EQ(acl_tcam_build_flow_request(payload.data() + 112, &record),
              ACL_TCAM_FS_ERR_INVALID_ARG);
}

TEST_F(FrontEnd, SetQueryAndDeleteRoundTrip) {
    const Message set(make_payload(exact_request(3, 0x010203, 0x040506)));
    EXPECT_EQ(process(set), 0u);
    expect_full_reply(set, 0, 0);
    EXPECT_EQ(host.texts(),
              (std::vector<std::string>{"(TCAMFS-EV)Processing set msg\n",
                                        host.logs[1].text, // the flow dump
                                        host.logs[2].text, // the counter trace
                                        "(TCAMFS-EV)ACL TCAM Flow Message Processed Successfully\n",
                                        "(TCAMFS-EV)VEXA Send Successful.\n"}));

    host.set_counter(1, 0x0102030405060708, 0x1112131415161718);
    for (int32_t get_type : {1, 2}) {
        host.clear();
        const Message get(make_payload(exact_request(get_type, 0x010203, 0x040506)));
        EXPECT_EQ(process(get), 0u);
        expect_full_reply(get, 0x0102030405060708, 0x1112131415161718);
        EXPECT_EQ(host.logs.front().text, "(TCAMFS-EV)Processing get msg\n");
        EXPECT_NE(host.logs[host.logs.size() - 2].text.find("Final stats"), std::string::npos);
    }

    host.clear();
    const Message del(make_payload(exact_request(4, 0x010203, 0x040506)));
    EXPECT_EQ(process(del), 0u);
    expect_full_reply(del, 0, 0);
    host.clear();
    EXPECT_EQ(process(del), 0u); // absent: still a success
    expect_full_reply(del, 0, 0);
    EXPECT_TRUE(host.logged("(TCAMFS-EV)ACL TCAM Flow Message Processed Successfully\n"));
}

TEST_F(FrontEnd, OperationFailuresGoBackInAShortReply) {
    const Message get(make_payload(vsan_request(1)));
    EXPECT_EQ(process(get), ACL_TCAM_FS_ERR_NO_ENTRY);
    expect_short_reply(get, ACL_TCAM_FS_ERR_NO_ENTRY);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-EV)VEXA Send Successful.\n");
    EXPECT_TRUE(
        host.logged("(TCAMFS-ERR)acl_tcam_process_stats_msg: Invalid Message: 0x40520010.\n"));

    const Message set(make_payload(vsan_request(3)));
    ASSERT_EQ(process(set), 0u);
    host.clear();
    EXPECT_EQ(process(set), ACL_TCAM_FS_ERR_FLOW_EXISTS);
    expect_short_reply(set, ACL_TCAM_FS_ERR_FLOW_EXISTS);
}

TEST_F(FrontEnd, MalformedMessages) {
    for (const Request &bad : {vsan_request(3, 0), vsan_request(99, 0)}) {
        host.clear();
        const Message m(make_payload(bad));
        EXPECT_EQ(process(m), ACL_TCAM_FS_ERR_INVALID_ARG);
        expect_short_reply(m, ACL_TCAM_FS_ERR_INVALID_ARG);
        EXPECT_EQ(
            host.logs[1].text,
            "(TCAMFS-ERR)acl_tcam_process_stats_msg: Build flow request failed: 0x40520001\n");
    }
    for (int32_t unknown : {0, 5, -1}) {
        host.clear();
        const Message m(make_payload(vsan_request(unknown)));
        EXPECT_EQ(process(m), ACL_TCAM_FS_ERR_INVALID_ARG);
        EXPECT_TRUE(host.sent.empty());
        EXPECT_EQ(host.texts(), std::vector<std::string>{"(TCAMFS-EV)Unknown Message Type " +
                                                         std::to_string(unknown) + ".\n"});
        EXPECT_EQ(host.logs[0].level, 3u);
    }
}

TEST_F(FrontEnd, PayloadLengths) {
    std::vector<uint8_t> longer = make_payload(vsan_request(3));
    longer.resize(200, 0x99);
    const Message exact_size(make_payload(vsan_request(3)));
    const Message longer_msg(longer);
    std::vector<uint8_t> short_bytes = make_payload(vsan_request(3));
    short_bytes.resize(183);
    const Message too_short(short_bytes);
    short_bytes.resize(50);
    const Message tiny(short_bytes);

    EXPECT_EQ(process(too_short), ACL_TCAM_FS_ERR_INVALID_ARG);
    expect_short_reply(too_short, ACL_TCAM_FS_ERR_INVALID_ARG);
    EXPECT_EQ(host.logs[0].text, "(TCAMFS-ERR)acl_tcam_process_stats_msg: Invalid Message\n");

    host.clear();
    EXPECT_EQ(process(tiny), ACL_TCAM_FS_ERR_INVALID_ARG); // not read past its end
    ASSERT_EQ(host.sent.size(), 1u);
    const std::vector<uint8_t> &reply = host.sent[0].payload;
    EXPECT_TRUE(std::equal(reply.begin() + 12, reply.begin() + 50, tiny.payload.begin() + 12));
    EXPECT_TRUE(std::all_of(reply.begin() + 50, reply.end(), [](uint8_t b) { return b == 0; }));

    host.clear();
    EXPECT_EQ(process(exact_size), 0u);
    host.clear();
    EXPECT_EQ(process(longer_msg),
              ACL_TCAM_FS_ERR_FLOW_EXISTS); // only 184 bytes read and copied back
    expect_short_reply(longer_msg, ACL_TCAM_FS_ERR_FLOW_EXISTS);

    host.clear();
    Message none(make_payload(vsan_request(3)));
    none.msg.payload = nullptr;
    EXPECT_EQ(process(none), ACL_TCAM_FS_ERR_INVALID_ARG);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_cmi_resp: Null Payload.\n");
}

TEST_F(FrontEnd, ReplyFailuresDoNotChangeTheResult) {
    const Message set(make_payload(vsan_request(3)));
    host.send_result = -1;
    host.send_errno = 113;
    EXPECT_EQ(process(set), 0u);
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-ERR)acl_tcam_cmi_resp_data: VEXA Send Failure cause 113.\n");
    EXPECT_EQ(acl_tcam_cmi_resp(77, &set.msg, 5), 113u);
    EXPECT_EQ(host.logs.back().text,
              "(TCAMFS-ERR)acl_tcam_cmi_resp: VEXA Send Failure cause 113.\n");
    const uint64_t totals[2] = {1, 2};
    EXPECT_EQ(acl_tcam_cmi_resp_data(77, &set.msg, totals), static_cast<uint32_t>(-1));

    host.send_result = 0;
    host.clear();
    mtrack_sim_fail_type(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_stats_cmi_t);
    const Message get(make_payload(vsan_request(2)));
    EXPECT_EQ(process(get), 0u);
    EXPECT_TRUE(host.sent.empty());
    EXPECT_NE(host.logs[host.logs.size() - 2].text.find(
                  "Malloc Failure in lib_flow_stats/acl_tcam_flow_stats.cpp["),
              std::string::npos);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_cmi_resp_data: No Memory Left.\n");
    EXPECT_EQ(acl_tcam_cmi_resp_data(77, &get.msg, totals), 1u);
    mtrack_sim_clear_faults();

    Message none(make_payload(vsan_request(3)));
    none.msg.payload = nullptr;
    EXPECT_EQ(acl_tcam_cmi_resp_data(77, &none.msg, totals), ACL_TCAM_FS_ERR_NULL_PAYLOAD);
    EXPECT_EQ(host.logs.back().text, "(TCAMFS-ERR)acl_tcam_cmi_resp_data: Null Payload.\n");
    EXPECT_EQ(mtrack_sim_live_blocks(ACL_TCAM_FS_MTRACK_ID, ACL_TCAM_FS_MEM_flow_stats_cmi_t), 0u);
}

TEST(FrontEndRegion, GateAnswersQueriesWithZeroAndRefusesTheRest) {
    Host host;
    ASSERT_EQ(acl_tcam_flow_init(1, 1, 100), 0u);
    host.clear();
    const Message get(make_payload(vsan_request(1)));
    EXPECT_EQ(acl_tcam_flow_process_stats_msg(5, &get.msg), ACL_TCAM_FS_ERR_REGION_NOT_INIT);
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0].payload.size(), 184u);
    EXPECT_EQ(get_be32(host.sent[0].payload, 8), 0u);
    EXPECT_EQ(get_be64(host.sent[0].payload, 152), 0u);
    EXPECT_EQ(get_be64(host.sent[0].payload, 160), 0u);
    EXPECT_EQ(host.texts(), std::vector<std::string>{"(TCAMFS-EV)VEXA Send Successful.\n"});

    for (int32_t type : {3, 4, 0}) {
        host.clear();
        const Message m(make_payload(vsan_request(type)));
        EXPECT_EQ(acl_tcam_flow_process_stats_msg(5, &m.msg), ACL_TCAM_FS_ERR_REGION_NOT_INIT);
        ASSERT_EQ(host.sent.size(), 1u);
        EXPECT_EQ(host.sent[0].payload.size(), 112u);
        EXPECT_EQ(get_be32(host.sent[0].payload, 8), ACL_TCAM_FS_ERR_REGION_NOT_INIT);
        EXPECT_EQ(host.logs[0].text,
                  "(TCAMFS-ERR)acl_tcam_process_stats_msg: Region Initialization "
                  "required before any request\n");
    }
    EXPECT_EQ(acl_tcam_get_avl_flow_count(), 0u);

    host.clear(); // the decoder still comes first
    const Message bad(make_payload(vsan_request(1, 0)));
    EXPECT_EQ(acl_tcam_flow_process_stats_msg(5, &bad.msg), ACL_TCAM_FS_ERR_INVALID_ARG);
    EXPECT_EQ(get_be32(host.sent.at(0).payload, 8), ACL_TCAM_FS_ERR_INVALID_ARG);

    EXPECT_EQ(acl_tcam_flow_is_region_init_done(), 0u);
    acl_tcam_flow_set_region_init_done();
    acl_tcam_flow_set_region_init_done();
    EXPECT_EQ(acl_tcam_flow_is_region_init_done(), 1u);
}
