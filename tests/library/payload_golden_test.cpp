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

TEST(PayloadBytes, MatchTheGoldenTranscript) {
    Host host;
    ASSERT_EQ(acl_tcam_flow_init(5, 1, 64), 0u); // the download request
    acl_tcam_flow_set_region_init_done();
    // Values with every byte distinct, so a swapped half or word shows.
    host.set_counter(1, 0x0102030405060708, 0x1112131415161718);
    host.set_counter(2, 0x2122232425262728, 0x3132333435363738);
    host.set_counter(3, 0x0a0b0c0d, 0x1a1b1c1d1e);

    const Request exact{.aux = 0x11223344,
                        .flow_type = 224,
                        .vsan = 0x123,
                        .did = 0x34cd02,
                        .sid = 0x12ab01,
                        .mask = 0xffffff};
    Request domain = exact;
    domain.mask = 0xff0000;
    const Request vsan{.aux = 0x11223344, .vsan = 0x123};
    // Sets, both queries of each, a removal, then a query, a zero index, an
    // unknown type, a short payload and the set again.
    const struct {
        Request request;
        int32_t msg_type;
        int32_t index = 1;
        size_t len = 184;
    } steps[] = {{exact, 3}, {domain, 3},  {vsan, 3},   {exact, 1},        {domain, 1},
                 {vsan, 1},  {exact, 2},   {domain, 2}, {vsan, 2},         {exact, 4},
                 {vsan, 1},  {vsan, 3, 0}, {vsan, 9},   {vsan, 1, 1, 150}, {exact, 3}};
    for (const auto &step : steps) {
        Request r = step.request;
        r.msg_type = step.msg_type;
        r.index = step.index;
        std::vector<uint8_t> bytes = make_payload(r);
        bytes.resize(step.len);
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
