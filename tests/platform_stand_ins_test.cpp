// The platform stand-ins the library's tests rely on.

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform_sim.h"

namespace {

// ---- Tree -----------------------------------------------------------------

bool reverse_order = false;

int cmp_int(const void *a, const void *b) {
    int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return reverse_order ? (y > x) - (y < x) : (x > y) - (x < y);
}

std::vector<int> walk(avl_tree_t *t) {
    std::vector<int> seen;
    auto collect = [](void *r, void *ctx) {
        static_cast<std::vector<int> *>(ctx)->push_back(*static_cast<int *>(r));
        return 0;
    };
    avl_walk(t, collect, &seen);
    return seen;
}

bool balanced(const avl_tree_t *t) {
    int h = avl_sim_check(t);
    return h >= 0 && h <= 1.45 * std::log2(avl_count(t) + 2.0);
}

TEST(Avl, RandomOpsMatchReferenceSet) {
    std::vector<int> pool(300);
    std::iota(pool.begin(), pool.end(), 0);
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        std::mt19937 rng(seed);
        avl_tree_t *t = avl_create(cmp_int, nullptr);
        std::set<int> ref;
        for (int i = 0; i < 4000; i++) {
            int k = static_cast<int>(rng() % pool.size()), dup = k;
            bool present = ref.count(k) != 0;
            if (rng() % 2) {
                // A duplicate key is refused whichever record carries it.
                ASSERT_EQ(avl_insert(t, present ? &dup : &pool[k]) != 0, present) << seed;
                ref.insert(k);
            } else {
                ASSERT_EQ(avl_delete(t, &k), present ? &pool[k] : nullptr) << seed;
                ref.erase(k);
            }
            ASSERT_EQ(avl_find(t, &k), ref.count(k) ? &pool[k] : nullptr) << seed;
            ASSERT_EQ(avl_count(t), ref.size()) << seed;
            ASSERT_TRUE(balanced(t)) << seed << " op " << i;
        }
        EXPECT_EQ(walk(t), std::vector<int>(ref.begin(), ref.end()));
        avl_sim_destroy(t);
    }
}

TEST(Avl, AscendingInsertOfManyStaysBalanced) {
    std::vector<int> pool(200000);
    std::iota(pool.begin(), pool.end(), 0);
    avl_tree_t *t = avl_create(cmp_int, nullptr);
    for (int &r : pool)
        ASSERT_EQ(avl_insert(t, &r), 0);
    EXPECT_TRUE(balanced(t));
    EXPECT_EQ(walk(t), pool);
    for (size_t i = 0; i < pool.size() / 2; i++)
        ASSERT_EQ(avl_delete(t, &pool[i]), &pool[i]);
    EXPECT_TRUE(balanced(t));
    EXPECT_EQ(avl_count(t), pool.size() / 2);
    avl_sim_destroy(t);
}

TEST(Avl, CheckCatchesBrokenOrder) {
    int keys[] = {1, 2, 3};
    avl_tree_t *t = avl_create(cmp_int, nullptr);
    for (int &k : keys)
        avl_insert(t, &k);
    EXPECT_EQ(avl_sim_check(t), 2);
    reverse_order = true;
    EXPECT_EQ(avl_sim_check(t), -1);
    reverse_order = false;
    avl_sim_destroy(t);
}

TEST(Avl, FaultsAreOneShotAndNullIsHarmless) {
    int a = 1;
    avl_sim_fail_next_create();
    EXPECT_EQ(avl_create(cmp_int, nullptr), nullptr);
    avl_tree_t *t = avl_create(cmp_int, nullptr);
    avl_sim_fail_next_insert();
    EXPECT_NE(avl_insert(t, &a), 0);
    EXPECT_EQ(avl_insert(t, &a), 0); // not a duplicate: nothing was stored
    avl_sim_fail_next_delete();
    EXPECT_EQ(avl_delete(t, &a), nullptr);
    EXPECT_EQ(avl_delete(t, &a), &a);
    avl_sim_destroy(t);

    EXPECT_EQ(avl_create(nullptr, nullptr), nullptr);
    EXPECT_TRUE(avl_insert(nullptr, &a) && !avl_find(nullptr, &a) && !avl_delete(nullptr, &a) &&
                !avl_count(nullptr) && avl_sim_check(nullptr) == -1);
    avl_walk(nullptr, nullptr, nullptr);
    avl_sim_destroy(nullptr);
}

// ---- Memory tracker -------------------------------------------------------

// Each test uses module ids of its own, so they also hold in one process.
struct MtrackTest : ::testing::Test {
    void SetUp() override { mtrack_sim_clear_faults(); }
};

using Live = std::pair<uint64_t, uint64_t>;

Live live(uint32_t module, uint32_t type) {
    return {mtrack_sim_live_blocks(module, type), mtrack_sim_live_bytes(module, type)};
}

TEST_F(MtrackTest, AccountsPerModuleAndType) {
    char *a = static_cast<char *>(mtrack_alloc(901, 0, 10));
    void *b = mtrack_alloc(901, 0, 20), *c = mtrack_alloc(901, 1, 5);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % alignof(std::max_align_t), 0u);
    EXPECT_EQ(live(901, 0), Live(2, 30));
    std::strcpy(a, "123456789");
    a = static_cast<char *>(mtrack_realloc(a, 4000, 1)); // grows and changes type
    ASSERT_STREQ(a, "123456789");
    EXPECT_EQ(live(901, 0), Live(1, 20));
    EXPECT_EQ(live(901, 1), Live(2, 4005));
    for (void *p : {static_cast<void *>(a), b, c, static_cast<void *>(nullptr)})
        mtrack_free(p);
    EXPECT_EQ(live(901, 0), Live(0, 0));
    EXPECT_EQ(live(901, 1), Live(0, 0));

    EXPECT_EQ(mtrack_alloc(901, MTRACK_SIM_MAX_TYPES, 8), nullptr);
    void *z = mtrack_realloc(nullptr, 7, 3);
    EXPECT_EQ(live(0, 3), Live(1, 7));
    mtrack_free(z);
}

TEST_F(MtrackTest, RegistersNames) {
    static const char *const types[] = {"T_a", "T_b"};
    ASSERT_EQ(mtrack_init("Mod", 902, types, 2), 0);
    EXPECT_STREQ(mtrack_sim_module_name(902), "Mod");
    EXPECT_STREQ(mtrack_sim_type_name(902, 1), "T_b");
    EXPECT_EQ(mtrack_sim_type_name(902, 2), nullptr);
    EXPECT_EQ(mtrack_sim_module_name(903), nullptr);
}

TEST_F(MtrackTest, FailNthFailsThatCallOnly) {
    for (uint32_t n : {1u, 2u, 3u}) {
        uint64_t calls = mtrack_sim_alloc_calls();
        mtrack_sim_fail_nth(n);
        void *a = mtrack_alloc(904, 0, 8);
        void *b = mtrack_realloc(a, 16, 0);
        void *c = mtrack_alloc(904, 0, 8);
        EXPECT_EQ(std::vector<bool>({!a, !b, !c}), std::vector<bool>({n == 1, n == 2, n == 3}));
        EXPECT_EQ(mtrack_sim_alloc_calls() - calls, 3u);
        for (void *p : {b ? b : a, c})
            mtrack_free(p);
        EXPECT_EQ(live(904, 0), Live(0, 0));
    }
}

TEST_F(MtrackTest, FailTypeUntilCleared) {
    mtrack_sim_fail_type(905, 1);
    void *ok = mtrack_alloc(905, 0, 8), *other = mtrack_alloc(906, 1, 8);
    EXPECT_TRUE(ok && other);
    EXPECT_FALSE(mtrack_alloc(905, 1, 8) || mtrack_alloc(905, 1, 8) || mtrack_realloc(ok, 8, 1));
    mtrack_sim_clear_faults();
    void *now = mtrack_alloc(905, 1, 8);
    EXPECT_NE(now, nullptr);
    for (void *p : {ok, other, now})
        mtrack_free(p);
}

TEST_F(MtrackTest, FailedReallocLeavesBlockIntact) {
    char *a = static_cast<char *>(mtrack_alloc(907, 2, 7));
    std::strcpy(a, "intact");
    mtrack_sim_fail_nth(1);
    EXPECT_EQ(mtrack_realloc(a, 64, 2), nullptr);
    EXPECT_STREQ(a, "intact");
    EXPECT_EQ(live(907, 2), Live(1, 7));
    mtrack_free(a);
}

TEST_F(MtrackTest, LeakReportListsLiveBlocks) {
    static const char *const types[] = {"ACL_TCAM_FS_MEM_flow_t"};
    ASSERT_EQ(mtrack_init("ACL TCAM Flow Stats Library", 761, types, 1), 0);
    uint64_t before = mtrack_sim_leak_report(nullptr);
    void *a = mtrack_alloc(761, 0, 100), *b = mtrack_alloc(761, 0, 28);
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(mtrack_sim_leak_report(f), before + 2);
    std::string text(4096, '\0');
    std::rewind(f);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    EXPECT_NE(text.find("mtrack: leak: module 761 (ACL TCAM Flow Stats Library) type 0 "
                        "(ACL_TCAM_FS_MEM_flow_t): 2 blocks, 128 bytes\n"),
              std::string::npos)
        << text;
    mtrack_free(a);
    mtrack_free(b);
    EXPECT_EQ(mtrack_sim_leak_report(nullptr), before);
}

// ---- Message service ------------------------------------------------------

struct Captured {
    vexa_sim_sent_t sent;
    std::vector<uint8_t> payload;
    int rc, set_errno;
};

int capture(void *user, const vexa_sim_sent_t *sent) {
    auto *c = static_cast<Captured *>(user);
    c->sent = *sent;
    c->payload.assign(sent->payload, sent->payload + sent->len);
    if (c->set_errno)
        errno = c->set_errno;
    return c->rc;
}

TEST(Vexa, SinkSeesEverySendField) {
    Captured cap{};
    vexa_sim_set_sink(capture, &cap);
    const vexa_msg_t msg{{1, 2, 3, 4, 5, 6}, 7, nullptr, 0};
    const vexa_addr_t dst{0x11, 0x22};
    const uint8_t payload[] = {9, 8, 7};
    const vexa_sim_sent_t &s = cap.sent;
    uint64_t sends = vexa_sim_send_count();
    ASSERT_EQ(vexa_send(5, &dst, 0x33, payload, 3, 0x44, &msg, 900), 0);
    EXPECT_EQ(std::tuple(s.handle, s.dst.node, s.dst.endpoint, s.opcode, s.flags, s.timeout),
              std::tuple(5u, 0x11u, 0x22u, 0x33u, 0x44u, 900u));
    EXPECT_EQ(cap.payload, std::vector<uint8_t>(payload, payload + 3));
    EXPECT_EQ(s.has_reply_to, 1);
    EXPECT_EQ(std::memcmp(s.reply_to, &msg, VEXA_SIM_DESC_LEN), 0);
    ASSERT_EQ(vexa_send(5, &dst, 0x33, payload, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(s.has_reply_to, 0);
    EXPECT_EQ(vexa_sim_send_count() - sends, 2u);
    vexa_sim_set_sink(nullptr, nullptr);
    EXPECT_EQ(vexa_send(5, &dst, 0x33, payload, 3, 0, nullptr, 0), 0);
}

TEST(Vexa, SinkFailureSetsErrno) {
    struct Case {
        int rc, sink_errno, want_errno;
    } cases[] = {{-1, 0, EIO}, {7, EAGAIN, EAGAIN}, {0, 0, ERANGE}};
    const vexa_addr_t dst{1, 2};
    for (const Case &c : cases) {
        Captured cap{{}, {}, c.rc, c.sink_errno};
        vexa_sim_set_sink(capture, &cap);
        errno = ERANGE; // a success leaves the caller's errno alone
        EXPECT_EQ(vexa_send(1, &dst, 1, nullptr, 0, 0, nullptr, 0), c.rc);
        EXPECT_EQ(errno, c.want_errno) << c.rc;
    }
    vexa_sim_set_sink(nullptr, nullptr);
}

TEST(Vexa, PayloadAccessors) {
    const vexa_msg_t msg{{}, 0, "abc", 3};
    EXPECT_EQ(vexa_payload_size(&msg), 3u);
    EXPECT_EQ(vexa_payload_get(&msg), msg.payload);
    EXPECT_EQ(vexa_payload_size(nullptr), 0u);
    EXPECT_EQ(vexa_payload_get(nullptr), nullptr);
}

// ---- Card -----------------------------------------------------------------

TEST(Card, SlotIsBigEndian) {
    auto slot = [] {
        std::vector<uint8_t> b(4);
        EXPECT_EQ(card_get_slot_num(b.data()), 0);
        return b;
    };
    EXPECT_EQ(slot(), (std::vector<uint8_t>{0, 0, 0, 1}));
    card_sim_set_slot(0x01020304);
    EXPECT_EQ(slot(), (std::vector<uint8_t>{1, 2, 3, 4}));
    card_sim_set_slot(1);
    EXPECT_NE(card_get_slot_num(nullptr), 0);
}

} // namespace
