// Every payload the library sends in a fixed scenario, as hex, against one
// golden transcript shared by every target: a byte-order or layout slip on a
// big-endian or 32-bit build shows up as a differing line. Run with
// ACL_TCAM_WRITE_GOLDEN=1 to rewrite the transcript after a deliberate change.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "payload.h"
#include "test_host.h"

using namespace test;

namespace {

// Records whose size follows the pointer width: {32-bit, 64-bit} bytes.
static_assert(sizeof(gl_counter_table_t) == (sizeof(void *) == 4 ? 12 : 16));
static_assert(sizeof(flow_handle_update_t) == (sizeof(void *) == 4 ? 16 : 24));
static_assert(alignof(flow_t) == alignof(uint64_t));

// One line per send: handle, opcode, length, then the payload up to its last
// non-zero byte (a display chunk is mostly zeros).
std::string transcript_line(const SentMessage &m) {
    size_t used = m.payload.size();
    while (used > 0 && m.payload[used - 1] == 0) {
        --used;
    }
    std::ostringstream line;
    line << m.handle << ' ' << m.opcode << ' ' << m.payload.size() << ' ';
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < used; ++i) {
        line << digits[m.payload[i] >> 4] << digits[m.payload[i] & 15];
    }
    return line.str();
}

Request request(int32_t msg_type, uint8_t flow_type, uint32_t sid, uint32_t did, uint32_t mask) {
    Request r;
    r.msg_type = msg_type;
    r.aux = 0x11223344;
    r.flow_type = flow_type;
    r.vsan = 0x123;
    r.sid = sid;
    r.did = did;
    r.mask = mask;
    return r;
}

TEST(PayloadBytes, MatchTheGoldenTranscript) {
    Host host;
    ASSERT_EQ(acl_tcam_flow_init(5, 1, 64), 0u); // the download request
    acl_tcam_flow_set_region_init_done();
    // Values with every byte distinct, so a swapped half or word shows.
    host.set_counter(1, 0x0102030405060708, 0x1112131415161718);
    host.set_counter(2, 0x2122232425262728, 0x3132333435363738);
    host.set_counter(3, 0x0a0b0c0d, 0x1a1b1c1d1e);

    const Request vsan = request(3, 128, 0, 0, 0);
    const Request domain = request(3, 224, 0x12ab01, 0x34cd02, 0xff0000);
    const Request exact = request(3, 224, 0x12ab01, 0x34cd02, 0xffffff);
    std::vector<std::vector<uint8_t>> payloads;
    for (const Request &r : {exact, domain, vsan}) {
        payloads.push_back(make_payload(r)); // set
    }
    for (int32_t type : {1, 2}) {
        for (Request r : {exact, domain, vsan}) {
            r.msg_type = type;
            payloads.push_back(make_payload(r)); // query
        }
    }
    Request del = exact;
    del.msg_type = 4;
    payloads.push_back(make_payload(del));
    Request query = vsan;
    query.msg_type = 1;
    payloads.push_back(make_payload(query));
    Request zero_index = vsan;
    zero_index.index = 0;
    payloads.push_back(make_payload(zero_index));
    Request bad_type = vsan;
    bad_type.msg_type = 9;
    payloads.push_back(make_payload(bad_type));
    std::vector<uint8_t> short_query = make_payload(query);
    short_query.resize(150);
    payloads.push_back(short_query);
    payloads.push_back(make_payload(exact)); // set again, after the removal

    for (const auto &bytes : payloads) {
        Message m(bytes);
        acl_tcam_flow_process_stats_msg(6, &m.msg);
    }
    Message display_request({});
    acl_tcam_print_flows_info(&display_request.msg);

    std::vector<std::string> lines;
    for (const SentMessage &m : host.sent) {
        lines.push_back(transcript_line(m));
    }
    if (const char *write = std::getenv("ACL_TCAM_WRITE_GOLDEN"); write && write[0] == '1') {
        std::ofstream out(ACL_TCAM_GOLDEN_PAYLOADS);
        for (const std::string &line : lines) {
            out << line << '\n';
        }
        GTEST_SKIP() << "wrote " << ACL_TCAM_GOLDEN_PAYLOADS;
    }
    std::ifstream in(ACL_TCAM_GOLDEN_PAYLOADS);
    ASSERT_TRUE(in) << ACL_TCAM_GOLDEN_PAYLOADS;
    std::vector<std::string> golden;
    for (std::string line; std::getline(in, line);) {
        golden.push_back(line);
    }
    ASSERT_EQ(lines.size(), golden.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], golden[i]) << "send " << i;
    }
}

} // namespace
