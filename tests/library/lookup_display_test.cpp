// Counter lookup for hardware entries, and the flow table display.
#include <gtest/gtest.h>

#include <cstring>

#include "payload.h"
#include "test_host.h"

using namespace test;

namespace {

constexpr uint32_t kLookupUntouched = 0xdead;

class LookupDisplay : public ::testing::Test {
protected:
    void init_with(std::initializer_list<flow_t> flows) {
        ASSERT_EQ(acl_tcam_flow_init(3, 100, 1000), 0u);
        for (flow_t f : flows) {
            ASSERT_EQ(acl_tcam_flow_set(&f), 0u);
        }
        host.clear();
    }
    // The display's text as the chunks carried it; every chunk but the last
    // is marked 0.
    std::string chunk_text() {
        std::string text;
        for (size_t i = 0; i < host.sent.size(); ++i) {
            const std::vector<uint8_t> &p = host.sent[i].payload;
            EXPECT_EQ(p.size(), 120652u);
            EXPECT_EQ(get_be32(p, 12), i + 1 == host.sent.size() ? 1u : 0u) << i;
            const uint32_t len = get_be32(p, 16);
            EXPECT_EQ(p.at(20 + len), 0) << i;
            text.append(reinterpret_cast<const char *>(p.data()) + 20, len);
        }
        return text;
    }
    std::string display(const Message &request) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(acl_tcam_print_flows_info(&request.msg), 0u);
        return ::testing::internal::GetCapturedStdout();
    }

    Host host;
    const flow_t exact = exact_flow(10, 0x12ab01, 0x34cd02);
    const Message request{std::vector<uint8_t>(8)};
};

const std::string kHeader =
    "-------------------------------------------------------------------------------\n"
    "T Vsan SID    DID    Cntr       HW Cnt           Pos Cnt           Neg Cnt     \n"
    "                      ID  frames   bytes    frames   bytes    frames   bytes   \n"
    "- ---- ------ ------ ---- -------- -------- -------- -------- -------- --------\n";

} // namespace

TEST_F(LookupDisplay, LookupFallsBackFromExactToDomainToVsan) {
    init_with({vsan_flow(10), domain_flow(10, 0x120000, 0x340000), exact}); // 100, 101, 102
    const struct {
        uint32_t vsan, sid, did, type, counter;
        std::string_view text;
    } lookups[] = {
        {10, 0x12ab01, 0x34cd02, 3, 102, "(TCAMFS-EV)Flow Found counter id: 102\n"},
        {10, 0x12ab09, 0x34cd02, 3, 101,
         "(TCAMFS-EV)Coarser flow (dom-based) found counter id: 101\n"},
        {10, 0x12ab01, 0x35cd02, 3, 100,
         "(TCAMFS-EV)Coarser flow (vsan-based) found counter id: 100\n"},
        {10, 0x120000, 0x340000, 2, 101, "(TCAMFS-EV)Flow Found counter id: 101\n"},
        {10, 0x12ab01, 0x340000, 2, 100,
         "(TCAMFS-EV)Coarser flow (vsan-based) found counter id: 100\n"},
        {10, 0, 0, 1, 100, "(TCAMFS-EV)Flow Found counter id: 100\n"},
        {10, 0, 5, 1, 0, "(TCAMFS-EV)Exit Point: Counter id = 0x0\n"},
        {11, 0x12ab01, 0x34cd02, 3, 0, "(TCAMFS-EV)Exit Point: Counter id = 0x0\n"},
        {10, 0, 0, 0, kLookupUntouched,
         "(TCAMFS-ERR)acl_tcam_flow_get_counter_id: Invalid flow type 0 \n"},
        {10, 0, 0, 4, kLookupUntouched,
         "(TCAMFS-ERR)acl_tcam_flow_get_counter_id: Invalid flow type 4 \n"},
    };
    for (const auto &l : lookups) {
        host.clear();
        uint32_t out = kLookupUntouched;
        EXPECT_EQ(acl_tcam_flow_get_counter_id(l.vsan, l.sid, l.did, l.type, &out), 0u);
        EXPECT_EQ(out, l.counter) << l.text;
        EXPECT_EQ(host.texts(), std::vector<std::string>{std::string(l.text)});
    }
}

TEST_F(LookupDisplay, ChoiceGoesToTheFinerOrTheSecondInUse) {
    init_with({exact, vsan_flow(10), domain_flow(1, 0x010000, 0x010000),
               domain_flow(2, 0x010000, 0x010000)}); // 100: 3, 101: 1, 102 and 103: 2
    ASSERT_EQ(acl_tcam_flow_set(nullptr), ACL_TCAM_FS_ERR_INVALID_ARG);
    struct Case {
        uint32_t first, second, chosen;
    } cases[] = {{100, 101, 100}, {101, 100, 100}, {102, 103, 103},
                 {500, 501, 500}, {500, 101, 101}, {60000, 7, 60000}};
    for (const Case &c : cases) {
        host.clear();
        uint32_t out = kLookupUntouched;
        EXPECT_EQ(acl_tcam_flow_choose_counter(c.first, c.second, &out), 0u);
        EXPECT_EQ(out, c.chosen) << c.first << " " << c.second;
    }
    EXPECT_EQ(host.texts(),
              std::vector<std::string>{"(TCAMFS-EV)Choosing between counter 60000(0) and 7(0) \n"});
}

// In key order; a row whose counter cannot be read is left out.
TEST_F(LookupDisplay, TableTextIsExactInKeyOrder) {
    init_with({exact, domain_flow(1, 0x010000, 0x020000), vsan_flow(20), vsan_flow(21)}); // 100-103
    host.set_counter(100, 5, 1000);
    host.set_counter(102, 123456789012, 5);
    host.fail_read(103, 7);
    const std::string expected =
        kHeader +
        "1 20   0      0      102  123456789012 5        0        0        0        0       \n"
        "2 1    10000  20000  101  0        0        0        0        0        0       \n"
        "3 10   12ab01 34cd02 100  5        1000     0        0        0        0       \n";
    EXPECT_EQ(display(request), expected);
    EXPECT_EQ(host.texts(), std::vector<std::string>{"(TCAMFS-ERR)acl_tcam_print_this_flow: error "
                                                     "in getting Hw counter with id 103\n"});
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(chunk_text(), expected);
    EXPECT_EQ(host.sent[0].dst.node, 0xfe000000u); // handle, opcode, bytes: the golden transcript
    EXPECT_EQ(std::memcmp(host.sent[0].reply_to.data(), &request.msg, VEXA_SIM_DESC_LEN), 0);
}

// Rows are 80 characters: 4000 of them go out in three chunks, each but the
// last filled past the flush threshold by less than a row.
TEST_F(LookupDisplay, LongTablesGoOutInChunks) {
    ASSERT_EQ(acl_tcam_flow_init(3, 1, 5000), 0u);
    for (uint32_t i = 0; i < 4000; ++i) {
        flow_t f = vsan_flow(1 + i);
        ASSERT_EQ(acl_tcam_flow_set(&f), 0u);
    }
    host.clear();
    const std::string shown = display(request);
    EXPECT_EQ(shown.size(), kHeader.size() + 4000 * 80);
    EXPECT_EQ(chunk_text(), shown);
    ASSERT_EQ(host.sent.size(), 3u);
    for (size_t i = 0; i < 2; ++i) {
        const uint32_t len = get_be32(host.sent[i].payload, 16);
        EXPECT_GT(len, 120432u);
        EXPECT_LE(len, 120432u + 80u);
    }
}

// A chunk goes out once its text exceeds the threshold, not when it reaches
// it: 1501 rows, two of them widened by wide counts, bring the text to exactly
// 120432 bytes (one chunk) or one byte more (a full chunk and an empty last
// one, which closes a display whose final row passed the threshold).
TEST_F(LookupDisplay, ChunkThresholdIsExceededNotReached) {
    struct Case {
        uint64_t second_row_frames; // the first row's two counts take 12 more each
        size_t text_len;
        size_t chunks;
    } cases[] = {{1234567890123456, 120432, 1}, {12345678901234567, 120433, 2}};
    for (const Case &c : cases) {
        ASSERT_EQ(acl_tcam_flow_init(3, 1, 2000), 0u);
        for (uint32_t vsan = 1; vsan <= 1501; ++vsan) {
            flow_t f = vsan_flow(vsan);
            ASSERT_EQ(acl_tcam_flow_set(&f), 0u);
        }
        host.set_counter(1, UINT64_MAX, UINT64_MAX - 1);
        host.set_counter(2, c.second_row_frames, 0);
        host.clear();
        const std::string shown = display(request);
        EXPECT_EQ(shown.size(), c.text_len);
        ASSERT_EQ(host.sent.size(), c.chunks);
        EXPECT_EQ(get_be32(host.sent[0].payload, 16), std::min<size_t>(c.text_len, 120433));
        EXPECT_EQ(chunk_text(), shown);
    }
}

TEST(BeforeInit, DisplaySaysSoAndLookupsAnswerNone) {
    Host host;
    Message request(std::vector<uint8_t>(4));
    request.msg.desc[0] = 0xabcdef01;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(acl_tcam_print_flows_info(&request.msg), 0u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Flow Tables are not yet initialized\n");
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(get_be32(host.sent[0].payload, 12), 1u);
    EXPECT_EQ(get_be32(host.sent[0].payload, 16), 36u);
    EXPECT_EQ(host.sent[0].handle, 0u);
    EXPECT_EQ(std::memcmp(host.sent[0].reply_to.data(), &request.msg, VEXA_SIM_DESC_LEN), 0);
    uint32_t out = kLookupUntouched; // no counter, nor a choice between two
    acl_tcam_flow_get_counter_id(10, 0, 0, 1, &out);
    EXPECT_EQ(out, 0u);
    out = kLookupUntouched;
    acl_tcam_flow_choose_counter(1, 2, &out);
    EXPECT_EQ(out, 0u);
}
