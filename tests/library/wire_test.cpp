// The hosts' request/reply helper against the library itself: what the
// library sends back it reads right. What it encodes, the library and the
// model decode alike (tests/model/request_test.cpp); display chunks and the
// download request it reads as the model's assembler and the card protocol
// do (their tests).
#include <gtest/gtest.h>

#include "acl_tcam_flow_wire.h"
#include "payload.h"
#include "test_host.h"

using namespace test;

namespace {

// A payload whose unset bytes hold a pattern, so a reply shows what came back.
std::vector<uint8_t> encoded(const acl_tcam_wire_request_t &r, uint32_t tag) {
    std::vector<uint8_t> p = make_payload(r);
    acl_tcam_wire_put_tag(p.data(), tag);
    return p;
}

acl_tcam_wire_reply_t send(const std::vector<uint8_t> &payload, Host &host) {
    host.sent.clear();
    const Message m(payload);
    acl_tcam_flow_process_stats_msg(7, &m.msg);
    acl_tcam_wire_reply_t r{};
    EXPECT_EQ(host.sent.size(), 1u);
    if (!host.sent.empty()) {
        const std::vector<uint8_t> &reply = host.sent[0].payload;
        EXPECT_EQ(acl_tcam_wire_decode_reply(reply.data(), reply.size(), &r), 0);
    }
    return r;
}

} // namespace

// Full and short replies read back with the tag, aux and totals; neither form
// is taken for the other, and other lengths are no reply.
TEST(Wire, RepliesReadBackByTheirLength) {
    Host host;
    ASSERT_EQ(acl_tcam_flow_init(1, 1, 16), 0u);
    acl_tcam_flow_set_region_init_done();
    acl_tcam_wire_request_t set =
        acl_tcam_wire_flow_request(3, FLOW_TYPE_SID_DID, 10, 0x010203, 0x040506, 1);
    set.aux = 0xa1a2a3a4;
    acl_tcam_wire_reply_t r = send(encoded(set, 0x1111), host);
    EXPECT_TRUE(r.full);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.aux, 0xa1a2a3a4u);
    EXPECT_EQ(r.tag, 0x1111u);

    r = send(encoded(set, 0x2222), host);
    EXPECT_FALSE(r.full);
    EXPECT_EQ(r.status, ACL_TCAM_FS_ERR_FLOW_EXISTS);
    EXPECT_EQ(r.aux, 0u);
    EXPECT_EQ(r.tag, 0x2222u);

    host.set_counter(1, 0x0102030405060708, 0xfffffffffffffffe);
    acl_tcam_wire_request_t get = set;
    get.msg_type = ACL_TCAM_FS_MSG_GET_ALT;
    r = send(encoded(get, 0x3333), host);
    EXPECT_TRUE(r.full);
    EXPECT_EQ(r.frames, 0x0102030405060708u);
    EXPECT_EQ(r.bytes, 0xfffffffffffffffeu);

    const std::vector<uint8_t> any(200);
    for (size_t len : {0, 111, 113, 183, 185}) {
        EXPECT_EQ(acl_tcam_wire_decode_reply(any.data(), len, &r), -1) << len;
    }
}

// The self-check sees what the library's own lookups see: callbacks made
// visible in the global scope, one at a time.
TEST(Wire, SelfCheckNamesTheMissingCallbacks) {
    Host host(0);
    EXPECT_EQ(acl_tcam_wire_missing_callbacks(), ACL_TCAM_WIRE_MISSING_DEBUG_CB |
                                                     ACL_TCAM_WIRE_MISSING_UPDATE_CB |
                                                     ACL_TCAM_WIRE_MISSING_STATS_CB);
    host.export_callbacks(kStats);
    EXPECT_EQ(acl_tcam_wire_missing_callbacks(),
              ACL_TCAM_WIRE_MISSING_DEBUG_CB | ACL_TCAM_WIRE_MISSING_UPDATE_CB);
    host.export_callbacks(kDebug | kUpdate);
    EXPECT_EQ(acl_tcam_wire_missing_callbacks(), 0u);
}
