// The requests outstanding to a card, on a fake clock: ids that wrap and never
// collide, the bounds, deadlines in order (a display's moved by each chunk),
// every request leaving the table exactly once, and expired ones kept for
// their late answer.
#include <gtest/gtest.h>

#include <set>

#include "request_table.h"

namespace {

using namespace std::chrono_literals;
using supervisor::next_request_id;
using supervisor::RequestTable;
using Table = RequestTable<int>; // a request carries its own id: tests see which one went
const auto t0 = Table::Clock::time_point{} + 1h;

TEST(RequestTable, IdsWrapPastTheTopAndSkipThoseInUse) {
    struct Case {
        uint32_t last;
        std::set<uint32_t> in_use;
        uint32_t next;
    } const cases[] = {
        {0, {}, 1},
        {1, {}, 2},
        {UINT32_MAX - 1, {}, UINT32_MAX},
        {UINT32_MAX, {}, 1},
        {UINT32_MAX, {1, 2}, 3},
        {5, {6, 7, 9}, 8},
        {UINT32_MAX - 1, {UINT32_MAX, 1}, 2},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(next_request_id(c.last, [&](uint32_t id) { return c.in_use.contains(id); }),
                  c.next)
            << "after " << c.last;
    }
    Table table({8, 1}, 100ms);
    table.add(table.next_id(), 1, false, t0);
    EXPECT_EQ(table.next_id(), 2u) << "the table's ids run on from 1";
}

TEST(RequestTable, BoundsOnRequestsAndDisplays) {
    Table table({3, 1}, 100ms);
    EXPECT_FALSE(table.refuses(true));
    table.add(table.next_id(), 1, true, t0);
    EXPECT_TRUE(table.refuses(true)) << "a second display";
    EXPECT_FALSE(table.refuses(false));
    table.add(table.next_id(), 2, false, t0);
    table.add(table.next_id(), 3, false, t0);
    EXPECT_TRUE(table.refuses(false));
    ASSERT_EQ(table.take(1), 1);
    EXPECT_FALSE(table.refuses(true)) << "the display ended, and with it a request";
    table.add(table.next_id(), 4, true, t0);
    EXPECT_EQ(table.expire(t0 + 100ms).size(), 3u);
    EXPECT_FALSE(table.refuses(true)) << "an expired display no longer counts";
}

TEST(RequestTable, ExpiresInDeadlineOrderAndOnlyWhatIsDue) {
    Table table({8, 8}, 100ms);
    for (const auto &[id, sent] : {std::pair{1, 30ms}, {2, 10ms}, {3, 20ms}, {4, 50ms}}) {
        ASSERT_EQ(table.next_id(), static_cast<uint32_t>(id));
        table.add(static_cast<uint32_t>(id), id, false, t0 + sent);
    }
    EXPECT_EQ(table.earliest(), t0 + 110ms);
    EXPECT_TRUE(table.expire(t0 + 109ms).empty());
    ASSERT_EQ(table.take(3), 3); // answered: never expires
    EXPECT_EQ(table.expire(t0 + 130ms), (std::vector<int>{2, 1}));
    EXPECT_EQ(table.earliest(), t0 + 150ms);
    EXPECT_EQ(table.expire(t0 + 1h), (std::vector<int>{4}));
    EXPECT_EQ(table.earliest(), std::nullopt);
    EXPECT_EQ(table.take(4), std::nullopt) << "a late reply finds nothing";
}

TEST(RequestTable, ExpiredRequestsKeptAreRecognisedOnceAndTheOldestForgotten) {
    RequestTable<int, int> table({8, 8}, 100ms, 2);
    for (int id = 1; id <= 4; ++id) {
        table.add(table.next_id(), id, false, t0);
    }
    // All but 2 are kept, as ten times their id; only two of them are.
    const auto keep = [](int call) { return call == 2 ? std::nullopt : std::optional(call * 10); };
    EXPECT_EQ(table.expire(t0 + 100ms, keep), (std::vector<int>{1, 2, 3, 4}));
    const std::pair<uint32_t, std::optional<int>> late[] = {
        {1, std::nullopt}, {2, std::nullopt}, {3, 30}, {4, 40}, {4, std::nullopt}};
    for (const auto &[id, kept] : late) {
        EXPECT_EQ(table.take_late(id), kept) << id;
    }
}

TEST(RequestTable, ADisplayThatKeepsSendingChunksNeverTimesOut) {
    Table table({8, 8}, 100ms);
    table.add(table.next_id(), 1, true, t0);
    table.add(table.next_id(), 2, false, t0);
    auto now = t0;
    for (int chunk = 0; chunk < 50; ++chunk) {
        now += 90ms;
        table.touch(1, now);
        const std::vector<int> expired = table.expire(now);
        EXPECT_EQ(expired, chunk == 1 ? std::vector<int>{2} : std::vector<int>{}) << chunk;
    }
    EXPECT_EQ(table.earliest(), now + 100ms);
    EXPECT_EQ(table.expire(now + 100ms), (std::vector<int>{1}));
}

TEST(RequestTable, ACardGoingTakesEverythingOnce) {
    Table table({8, 2}, 100ms);
    for (int id = 1; id <= 4; ++id) {
        table.add(table.next_id(), id, id % 2 == 0, t0);
    }
    EXPECT_EQ(table.take_all(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(table.take_all().empty());
    EXPECT_TRUE(table.expire(t0 + 1h).empty());
    EXPECT_EQ(table.find(1), nullptr);
    EXPECT_FALSE(table.refuses(true)) << "no display left over";
}

} // namespace
