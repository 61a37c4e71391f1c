// The supervisor's store: desired state committed at once and kept across a
// reopen, statuses written only in batches and never stale, rows it did not
// write refused; and the rule of totals since a clear (baseline.h).
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "store.h"

namespace {

using model::FlowKey;
using model::FlowType;
using supervisor::DatabaseLock;
using supervisor::FlowState;
using supervisor::FlowStatus;
using supervisor::Store;

const FlowKey kVsan{FlowType::Vsan, 10, 0, 0};
const FlowKey kDomain{FlowType::Domain, 10, 0x010000, 0x020000};
const FlowKey kExact{FlowType::Exact, 10, 0x010101, 0x020202};

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "store_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "flows.db").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::unique_ptr<Store> open() {
        std::string error;
        auto store = Store::open(path_, &error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    void add(Store &store, uint32_t slot, const FlowKey &key, bool expect_added = true) {
        bool added = false;
        std::string error;
        ASSERT_TRUE(store.add(slot, key, &added, &error)) << error;
        EXPECT_EQ(added, expect_added);
    }
    void sql(const std::string &statement) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(StoreTest, CommittedChangesSurviveAReopenWithoutFlush) {
    {
        auto store = open();
        add(*store, 1, kVsan);
        add(*store, 1, kExact);
        add(*store, 1, kExact, false);
        add(*store, 64, kDomain);
        bool removed = false;
        std::string error;
        ASSERT_TRUE(store->remove(1, kVsan, &removed, &error));
        EXPECT_TRUE(removed);
        ASSERT_TRUE(store->remove(1, kVsan, &removed, &error));
        EXPECT_FALSE(removed) << "removing what is not configured changes nothing";
        for (const uint32_t slot : {0u, 65u}) { // out of range
            bool changed = true;
            EXPECT_FALSE(store->add(slot, kVsan, &changed, &error));
            EXPECT_FALSE(changed);
            EXPECT_FALSE(store->remove(slot, kVsan, &changed, &error));
        }
        // Not flushed, not closed cleanly: the store is simply dropped.
    }
    auto store = open();
    EXPECT_EQ(store->slots(), (std::vector<uint32_t>{1, 64}));
    ASSERT_EQ(store->flows(1).size(), 1u);
    EXPECT_EQ(store->flows(1).begin()->first, kExact);
    EXPECT_NE(store->find(64, kDomain), nullptr);
    EXPECT_EQ(store->find(64, kDomain)->status, FlowStatus::Pending);
    EXPECT_EQ(store->find(2, kDomain), nullptr);
    EXPECT_TRUE(store->flows(0).empty());
    EXPECT_TRUE(store->flows(65).empty());
}

TEST_F(StoreTest, StatusesAreWrittenInBatches) {
    auto store = open();
    int dirty_calls = 0;
    store->on_dirty([&] { ++dirty_calls; });
    for (const FlowKey &key : {kVsan, kDomain, kExact}) {
        add(*store, 5, key);
    }
    store->set_status(5, kVsan, {FlowStatus::Applied, 0});
    store->set_status(5, kDomain, {FlowStatus::Refused, 0x404e003a});
    store->set_status(5, kDomain, {FlowStatus::Refused, 0x404e003a}); // unchanged: not recorded
    store->set_status(6, kExact, {FlowStatus::Applied, 0});           // not configured: ignored
    EXPECT_EQ(dirty_calls, 1) << "one call per batch, when the first status waits";
    EXPECT_EQ(store->unflushed(), 2u);
    EXPECT_EQ(store->find(5, kDomain)->code, 0x404e003au) << "the mirror changes at once";
    EXPECT_EQ(open()->find(5, kVsan)->status, FlowStatus::Pending) << "not yet written";

    std::string error;
    ASSERT_TRUE(store->flush(&error)) << error;
    EXPECT_EQ(store->unflushed(), 0u);
    store->set_status(5, kExact, {FlowStatus::Applied, 0});
    EXPECT_EQ(dirty_calls, 2);

    auto reread = open();
    EXPECT_EQ(*reread->find(5, kVsan), (FlowState{FlowStatus::Applied, 0}));
    EXPECT_EQ(*reread->find(5, kDomain), (FlowState{FlowStatus::Refused, 0x404e003a}));
    EXPECT_EQ(reread->find(5, kExact)->status, FlowStatus::Pending);
}

// Databases that would lose acknowledged changes are refused at the start.
TEST_F(StoreTest, OnlyAWritableFileHeldByOneSupervisorIsOpened) {
    std::string error;
    for (const std::string path : {"", ":memory:"}) {
        EXPECT_EQ(DatabaseLock::take(path, &error), nullptr) << path;
        EXPECT_EQ(Store::open(path, &error), nullptr) << path;
        EXPECT_NE(error.find("must be a file"), std::string::npos) << error;
    }
    {
        const auto lock = DatabaseLock::take(path_, &error);
        ASSERT_TRUE(lock) << error;
        EXPECT_EQ(DatabaseLock::take(path_, &error), nullptr);
        EXPECT_NE(error.find("in use by another supervisor (pid " + std::to_string(getpid())),
                  std::string::npos)
            << error;
    }
    EXPECT_TRUE(DatabaseLock::take(path_, &error)) << "released with its holder: " << error;

    // Read-only to the process that opens it (root writes any file, so the
    // open runs as nobody when the test runs as root).
    open();
    ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(3);
        }
        std::string why;
        _exit(Store::open(path_, &why) == nullptr && why.find("read-only") != std::string::npos
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(StoreTest, ARemovalDropsTheStatusWaitingForItsFlow) {
    auto store = open();
    add(*store, 2, kExact);
    store->set_status(2, kExact, {FlowStatus::Applied, 0});
    std::string error;
    ASSERT_TRUE(store->flush(&error)) << error;
    store->set_status(2, kExact, {FlowStatus::Refused, 0x404e003a}); // waits, database: applied
    bool removed = false;
    ASSERT_TRUE(store->remove(2, kExact, &removed, &error));
    add(*store, 2, kExact); // database: pending
    store->set_status(2, kExact, {FlowStatus::Applied, 0});
    EXPECT_EQ(store->unflushed(), 1u) << "applied differs from the new row's pending";
    ASSERT_TRUE(store->flush(&error)) << error;
    EXPECT_EQ(open()->find(2, kExact)->status, FlowStatus::Applied);
}

// A write the database refuses (here a trigger, as a constraint or a full disk
// would) leaves the mirror as it was, and the database too.
TEST_F(StoreTest, ARefusedWriteChangesNeitherTheMirrorNorTheDatabase) {
    struct Case {
        const char *trigger_on; // the statement the database refuses
        bool add;               // add kExact (absent), else remove kVsan (present)
    } cases[] = {{"INSERT", true}, {"DELETE", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.trigger_on);
        std::filesystem::remove(path_);
        auto store = open();
        add(*store, 4, kVsan);
        sql(std::string("CREATE TRIGGER refuse BEFORE ") + c.trigger_on +
            " ON flows BEGIN SELECT RAISE(ABORT, 'refused'); END");
        bool changed = true;
        std::string error;
        EXPECT_FALSE(c.add ? store->add(4, kExact, &changed, &error)
                           : store->remove(4, kVsan, &changed, &error));
        EXPECT_FALSE(changed);
        EXPECT_NE(error.find("refused"), std::string::npos) << error;
        EXPECT_EQ(store->flows(4).size(), 1u);
        EXPECT_NE(store->find(4, kVsan), nullptr);
        EXPECT_EQ(store->find(4, kExact), nullptr);
        const auto reread = open();
        EXPECT_EQ(reread->flows(4).size(), 1u);
        EXPECT_NE(reread->find(4, kVsan), nullptr);
    }
}

TEST_F(StoreTest, AStatusBackToWhatIsWrittenWaitsForNoFlush) {
    auto store = open();
    add(*store, 3, kVsan);
    add(*store, 3, kExact);
    store->set_status(3, kVsan, {FlowStatus::Applied, 0});
    std::string error;
    ASSERT_TRUE(store->flush(&error)) << error;
    // A replayed card: its flows go pending, then back to applied.
    store->set_status(3, kVsan, {FlowStatus::Pending, 0});
    store->set_status(3, kExact, {FlowStatus::Refused, 0x404e003a});
    EXPECT_EQ(store->unflushed(), 2u);
    store->set_status(3, kVsan, {FlowStatus::Applied, 0});
    store->set_status(3, kExact, {FlowStatus::Pending, 0});
    EXPECT_EQ(store->unflushed(), 0u);
    store->set_status(3, kExact, {FlowStatus::Applied, 0});
    EXPECT_EQ(store->unflushed(), 1u) << "the database holds pending, not applied";
    ASSERT_TRUE(store->flush(&error)) << error;
    const auto reread = open();
    EXPECT_EQ(reread->find(3, kVsan)->status, FlowStatus::Applied);
    EXPECT_EQ(reread->find(3, kExact)->status, FlowStatus::Applied);
}

TEST_F(StoreTest, AnApplyIsAllOrNothingAndKeepsItsOrderNamesAndBaselines) {
    using Kind = supervisor::FlowChange::Kind;
    {
        auto store = open();
        add(*store, 3, kVsan);
        std::string error;
        // The second add names a configured flow: the database refuses it,
        // and the remove before it must not stay done either.
        EXPECT_FALSE(store->apply({{Kind::Remove, 3, kVsan, ""},
                                   {Kind::Add, 3, kExact, "a"},
                                   {Kind::Add, 3, kExact, "b"}},
                                  &error));
        EXPECT_FALSE(error.empty());
        EXPECT_NE(store->find(3, kVsan), nullptr);
        EXPECT_EQ(store->find(3, kExact), nullptr);
        ASSERT_TRUE(store->apply({{Kind::Add, 3, kExact, "first"},
                                  {Kind::Add, 3, kDomain, ""},
                                  {Kind::Rename, 3, kVsan, "web/a:1"}},
                                 &error))
            << error;
        ASSERT_TRUE(
            store->set_baselines(3, {{kExact, supervisor::Baseline{7, 700, 0xfeed}}}, &error))
            << error;
    }
    auto store = open();
    // Key order is vsan, domain, exact; the order of first configuration is
    // what was applied, after the flow added first.
    EXPECT_EQ(store->in_first_order(3), (std::vector<FlowKey>{kVsan, kExact, kDomain}));
    EXPECT_EQ(store->find(3, kVsan)->name, "web/a:1");
    EXPECT_EQ(store->find(3, kExact)->name, "first");
    EXPECT_EQ(store->find(3, kExact)->baseline, (supervisor::Baseline{7, 700, 0xfeed}));
    EXPECT_FALSE(store->find(3, kDomain)->baseline);
    std::string error;
    ASSERT_TRUE(store->set_baselines(3, {{kExact, std::nullopt}}, &error)) << error;
    EXPECT_FALSE(open()->find(3, kExact)->baseline);
}

TEST_F(StoreTest, ADatabaseFromBeforeTheOrderWasKeptIsNumberedInKeyOrder) {
    sql("CREATE TABLE flows (slot INTEGER NOT NULL, type INTEGER NOT NULL, vsan INTEGER NOT "
        "NULL, sid INTEGER NOT NULL, did INTEGER NOT NULL, status TEXT NOT NULL DEFAULT "
        "'pending', code INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (slot, type, vsan, sid, did)) "
        "WITHOUT ROWID; INSERT INTO flows (slot, type, vsan, sid, did) VALUES (2, 3, 10, 65793, "
        "131586), (2, 1, 10, 0, 0);");
    {
        auto store = open();
        EXPECT_EQ(store->in_first_order(2), (std::vector<FlowKey>{kVsan, kExact}));
        add(*store, 2, kDomain);
    }
    EXPECT_EQ(open()->in_first_order(2), (std::vector<FlowKey>{kVsan, kExact, kDomain}));
}

TEST_F(StoreTest, TheAuditTrailKeepsTheNewestEntriesAlsoInADatabaseFromBeforeIt) {
    sql("CREATE TABLE flows (slot INTEGER NOT NULL, type INTEGER NOT NULL, vsan INTEGER NOT "
        "NULL, sid INTEGER NOT NULL, did INTEGER NOT NULL, status TEXT NOT NULL DEFAULT "
        "'pending', code INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (slot, type, vsan, sid, did)) "
        "WITHOUT ROWID;");
    const auto times = [](const std::vector<api::AuditEntry> &entries) {
        std::vector<uint64_t> out;
        for (const auto &e : entries) {
            out.push_back(e.time_ms);
        }
        return out;
    };
    std::string error;
    {
        auto store = open();
        store->set_audit_limit(3);
        for (uint64_t t = 1; t <= 5; ++t) {
            api::AuditEntry e{.id = 0,
                              .time_ms = t * 10,
                              .who = "uid 0 pid 1",
                              .method = "flow.add",
                              .what = "{}",
                              .ok = t != 4,
                              .code = -32010,
                              .message = "forbidden"};
            ASSERT_TRUE(store->audit(e, &error)) << error;
        }
        EXPECT_EQ(times(store->audit_since(0, 100, &error)), (std::vector<uint64_t>{30, 40, 50}));
        EXPECT_EQ(times(store->audit_since(35, 100, &error)), (std::vector<uint64_t>{40, 50}));
        EXPECT_EQ(times(store->audit_since(0, 1, &error)), (std::vector<uint64_t>{50}));
    }
    const auto kept = open()->audit_since(0, 100, &error);
    ASSERT_EQ(kept.size(), 3u) << error;
    EXPECT_EQ(kept[1].code, -32010);
    EXPECT_TRUE(kept[0].ok && kept[0].code == 0 && kept[0].message.empty());
    EXPECT_LT(kept[0].id, kept[2].id);
}

constexpr const char *kColumns = "(slot, type, vsan, sid, did, status, code)";

TEST_F(StoreTest, RowsThisProgramWouldNotWriteAreRefused) {
    open(); // creates the table
    const char *rows[] = {
        "(0, 1, 10, 0, 0, 'pending', 0)",           // slot 0
        "(65, 1, 10, 0, 0, 'pending', 0)",          // slot 65
        "(1, 4, 10, 0, 0, 'pending', 0)",           // type 4
        "(1, 1, 4096, 0, 0, 'pending', 0)",         // VSAN 4096
        "(1, 1, 10, 5, 0, 'pending', 0)",           // VSAN flow with a SID
        "(1, 2, 10, 65793, 131072, 'pending', 0)",  // domain flow, SID not reduced
        "(1, 3, 10, 255, 131586, 'pending', 0)",    // SID below 0x010000
        "(1, 3, 10, 65793, 131586, 'done', 0)",     // unknown status
        "(1, 3, 10, 65793, 131586, 'refused', -1)", // negative code
    };
    for (const char *row : rows) {
        SCOPED_TRACE(row);
        sql("DELETE FROM flows; INSERT INTO flows " + std::string(kColumns) + " VALUES " + row);
        std::string error;
        EXPECT_EQ(Store::open(path_, &error), nullptr);
        EXPECT_FALSE(error.empty());
    }
    sql("DELETE FROM flows; INSERT INTO flows " + std::string(kColumns) +
        " VALUES (1, 3, 10, 65793, 131586, 'refused', 5)");
    EXPECT_EQ(open()->find(1, kExact)->code, 5u);
}

// Totals since a clear: exact down to the last unit of 64 bits, never below
// zero, and a baseline void in another boot or under an exact total.
TEST(SinceClear, CountsFromTheBaselineOnlyInItsBootAndNeverUnderflows) {
    using supervisor::Baseline;
    using supervisor::SinceClear;
    constexpr uint64_t kMax = UINT64_MAX;
    const Baseline base{100, 6400, 7};
    struct Case {
        const char *what;
        uint64_t frames, bytes;
        bool complete;
        std::optional<Baseline> baseline;
        uint64_t boot;
        SinceClear want;
    };
    const Case cases[] = {
        {"no baseline: raw", 5, 320, true, std::nullopt, 7, {5, 320, false, false}},
        {"same boot", 150, 9600, true, base, 7, {50, 3200, true, false}},
        {"at the baseline", 100, 6400, true, base, 7, {0, 0, true, false}},
        {"64-bit extremes",
         kMax,
         kMax,
         true,
         Baseline{1, kMax - 1, 7},
         7,
         {kMax - 1, 1, true, false}},
        {"another boot: dropped", 500, 32000, true, base, 8, {500, 32000, false, true}},
        {"frames below: re-added", 99, 9600, true, base, 7, {99, 9600, false, true}},
        {"bytes below: re-added", 150, 6399, true, base, 7, {150, 6399, false, true}},
        {"a lower bound under it: zero, kept", 40, 7000, false, base, 7, {0, 600, true, false}},
        {"a lower bound above it", 150, 9600, false, base, 7, {50, 3200, true, false}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(supervisor::since_clear(c.frames, c.bytes, c.complete, c.baseline, c.boot),
                  c.want)
            << c.what;
    }
}

} // namespace
