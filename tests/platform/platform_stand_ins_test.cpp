// The platform stand-ins the library's tests rely on.

#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform_sim.h"

// Under AddressSanitizer the tracker gives every block an allocation of its
// own, so that the checker sees its bounds.
#if defined(__SANITIZE_ADDRESS__)
#define TRACKER_USES_SLABS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRACKER_USES_SLABS 0
#endif
#endif
#ifndef TRACKER_USES_SLABS
#define TRACKER_USES_SLABS 1
#endif

namespace {

int cmp_int(const void *a, const void *b) {
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
}

int collect(void *r, void *ctx) {
    return static_cast<std::vector<int> *>(ctx)->push_back(*static_cast<int *>(r)), 0;
}

// Order, count, the tree's own invariant check, and the AVL height bound.
void expect_tree(avl_tree_t *t, const std::vector<int> &want) {
    std::vector<int> seen;
    avl_walk(t, collect, &seen);
    int h = avl_sim_check(t);
    ASSERT_TRUE(seen == want && avl_count(t) == want.size()); // no dump of huge trees
    ASSERT_TRUE(h >= 0 && h <= 1.45 * std::log2(want.size() + 2.0)) << h;
}

TEST(Avl, RandomOpsMatchReferenceSet) {
    int pool[300];
    std::iota(pool, pool + 300, 0);
    for (unsigned seed : {1u, 2u}) {
        std::mt19937 rng(seed);
        avl_tree_t *t = avl_create(cmp_int, nullptr);
        std::set<int> ref;
        for (int i = 0; i < 3000; i++) {
            int k = static_cast<int>(rng() % 300), dup = k;
            bool ins = rng() % 2, present = ins ? !ref.insert(k).second : ref.erase(k) != 0;
            if (ins) // a duplicate key is refused whichever record carries it
                ASSERT_EQ(avl_insert(t, present ? &dup : &pool[k]) != 0, present);
            else
                ASSERT_EQ(avl_delete(t, &k), present ? &pool[k] : nullptr);
            ASSERT_NO_FATAL_FAILURE(expect_tree(t, {ref.begin(), ref.end()})) << seed << ":" << i;
        }
        avl_sim_destroy(t);
    }
}

// Every test frees what it allocates, so no block is live when one starts.
TEST(Mtrack, AccountsFindsLastBlockAndReportsLeaks) {
    static const char *const types[] = {"a", "b"};
    ASSERT_EQ(mtrack_init("M", 901, types, 2), 0);
    char *a = static_cast<char *>(mtrack_alloc(901, 0, 10));
    void *b = mtrack_alloc(901, 0, 20), *c = mtrack_alloc(901, 1, 5), *d = mtrack_alloc(902, 0, 1);
    EXPECT_EQ(mtrack_sim_last_block(901, 0), b); // c and d are newer, but not of its type
    mtrack_free(b);
    EXPECT_EQ(mtrack_sim_last_block(901, 0), a);
    std::strcpy(a, "123456789");
    a = static_cast<char *>(mtrack_realloc(a, 4000, 1)); // grows and changes type
    EXPECT_STREQ(a, "123456789");
    EXPECT_EQ(mtrack_sim_last_block(901, 0), nullptr);
    char text[4096] = {};
    FILE *f = fmemopen(text, sizeof text - 1, "w");
    EXPECT_EQ(mtrack_sim_leak_report(f), 3u);
    std::fclose(f);
    EXPECT_TRUE(std::strstr(text, "module 901 (M) type 1 (b): 2 blocks, 4005 bytes\n")) << text;
    for (void *p : {static_cast<void *>(a), c, d})
        mtrack_free(p);
    EXPECT_EQ(mtrack_sim_leak_report(nullptr), 0u);
}

// Reallocations count as calls; a failed one leaves the block and its count.
TEST(Mtrack, FaultsFailExactlyTheirCalls) {
    // fail_nth, the type fail_type(3, ...) fails, which of alloc, realloc, alloc fail
    const int cases[][3] = {{0, 1, 0b011}, {1, 9, 0b100}, {2, 9, 0b010}, {3, 9, 0b001}};
    for (auto [nth, type, fails] : cases) {
        mtrack_sim_clear_faults(); // the type fault must not outlive its case
        mtrack_sim_fail_nth(nth);
        mtrack_sim_fail_type(3, type);
        void *a = mtrack_alloc(3, 0, 8), *b = mtrack_realloc(a, 16, 1), *c = mtrack_alloc(3, 1, 8);
        EXPECT_EQ(!a * 4 + !b * 2 + !c, fails) << nth;
        EXPECT_TRUE(b || !a ||
                    (mtrack_sim_last_block(3, 0) == a && mtrack_sim_live_bytes(3, 0) == 8));
        for (void *p : {b ? b : a, c})
            mtrack_free(p);
        EXPECT_EQ(mtrack_sim_leak_report(nullptr), 0u);
    }
}

// Small blocks of one module and type are packed, a 64-byte block to a cache
// line, which a walk over one record a table entry depends on. Freed slots
// are reused before a slab is added, every block keeps its bytes and its
// alignment, and once all are freed no slab is left behind.
TEST(Mtrack, SmallBlocksArePackedReusedAndGivenBack) {
    constexpr uint32_t mod = 903;
    struct Block {
        uint8_t *p;
        uint32_t size;
        uint8_t fill;
    };
    std::vector<Block> live;
    live.reserve(2000);
    std::set<uint8_t *> freed;
    const size_t heap_before = mallinfo2().uordblks;
    auto add = [&](uint32_t type, uint32_t size) {
        auto *p = static_cast<uint8_t *>(mtrack_alloc(mod, type, size));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u);
        const auto fill = static_cast<uint8_t>(live.size() * 7);
        std::memset(p, fill, size);
        live.push_back({p, size, fill});
    };
    for (int i = 0; i < 1000; i++)
        ASSERT_NO_FATAL_FAILURE(add(0, 64));
    if (TRACKER_USES_SLABS) {
        int adjacent = 0; // a new slab now and then breaks the run
        for (size_t i = 0; i < live.size(); i++) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(live[i].p) % 64, 0u) << i;
            adjacent += i > 0 && live[i].p == live[i - 1].p + 64;
        }
        EXPECT_GE(adjacent, 990);
    }
    // Free a random half, then allocate 64-byte blocks of the type again, and
    // blocks of other types and sizes (8 bytes, 200 bytes) between them.
    std::shuffle(live.begin(), live.end(), std::mt19937(7));
    for (size_t i = 0; i < 500; i++) {
        mtrack_free(live[i].p);
        freed.insert(live[i].p);
    }
    live.erase(live.begin(), live.begin() + 500);
    for (uint32_t i = 0; i < 600; i++) {
        static constexpr uint32_t sizes[] = {64, 8, 200};
        ASSERT_NO_FATAL_FAILURE(add(i % 3, sizes[i % 3]));
        EXPECT_TRUE(!TRACKER_USES_SLABS || i % 3 != 0 || freed.count(live.back().p)) << i;
    }
    for (const Block &b : live)
        ASSERT_EQ(std::count(b.p, b.p + b.size, b.fill), b.size) << "a block was overwritten";
    EXPECT_EQ(mtrack_sim_live_blocks(mod, 0), 700u);
    EXPECT_EQ(mtrack_sim_live_bytes(mod, 1), 200u * 8);
    EXPECT_EQ(mtrack_sim_last_block(mod, 1), live[live.size() - 2].p); // the last is of type 2
    for (const Block &b : live)
        mtrack_free(b.p);
    EXPECT_EQ(mtrack_sim_leak_report(nullptr), 0u);
    freed.clear();
    // Within what malloc keeps cached of the large blocks, and less than the
    // smallest slab (its headers alone take 8 KiB or more).
    EXPECT_LT(mallinfo2().uordblks - heap_before, 8192u);
}

// Freeing what is not a live block stops the process, with the caller named.
TEST(MtrackDeathTest, FreeOfWhatIsNoLiveBlockAborts) {
#ifdef ACL_TCAM_NO_DEATH_TESTS
    GTEST_SKIP() << "death tests hang under qemu-user";
#endif
    auto *a = static_cast<char *>(mtrack_alloc(904, 0, 64));
    auto *b = static_cast<char *>(mtrack_alloc(904, 0, 64)); // keeps a's slab in use
    EXPECT_DEATH(mtrack_free(a + 16), "mtrack: free of a block that is not live");
    EXPECT_DEATH(mtrack_realloc(b + 64, 8, 0), "mtrack: realloc of a block that is not live");
    mtrack_free(a);
    if (TRACKER_USES_SLABS) { // else the checker reports the read of a freed header itself
        EXPECT_DEATH(mtrack_free(a), "mtrack: free of a block that is not live");
    }
    mtrack_free(b);
    EXPECT_EQ(mtrack_sim_leak_report(nullptr), 0u);
}

const vexa_msg_t msg{{1, 2, 3, 4, 5, 6}, 7, nullptr, 0};

// Checks a send against what the test makes; user is its case row.
int check_send(void *user, const vexa_sim_sent_t *s) {
    const int *row = static_cast<const int *>(user); // reply_to given, result, errno to set
    EXPECT_EQ(std::tuple(s->handle, s->dst.node, s->dst.endpoint, s->opcode, s->flags, s->timeout),
              std::tuple(5u, 0x11u, 0x22u, 0x33u, 0x44u, 900u));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(s->payload), s->len), "abc");
    EXPECT_EQ(s->has_reply_to, row[0]);
    EXPECT_TRUE(!row[0] || !std::memcmp(s->reply_to, &msg, VEXA_SIM_DESC_LEN));
    errno = row[2] ? row[2] : errno;
    return row[1];
}

// A failing sink's errno reaches the caller (EIO if it set none); success keeps errno.
TEST(Vexa, SinkSeesEverySendAndDecidesItsResult) {
    const vexa_addr_t dst{0x11, 0x22};
    int cases[][4] = {{1, 0, 0, ERANGE}, {0, -1, 0, EIO}, {1, 7, EAGAIN, EAGAIN}};
    for (auto &row : cases) {
        vexa_sim_set_sink(check_send, row);
        errno = ERANGE;
        EXPECT_EQ(vexa_send(5, &dst, 0x33, "abc", 3, 0x44, row[0] ? &msg : nullptr, 900), row[1]);
        EXPECT_EQ(errno, row[3]);
    }
}

} // namespace
