// The chassis end to end: a supervisor and two line cards in a scratch
// directory, flows configured through the control socket, traffic running,
// a card killed and restarted, the supervisor killed during a burst of adds
// and restarted, everything stopped with SIGTERM.

#include <atomic>
#include <csignal>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "chassis_fixture.h"

namespace {

using namespace harness;

// Flows of all three granularities, nested, on one slot.
std::vector<json> nested_flows(int slot, int vsan) {
    const uint32_t dom = static_cast<uint32_t>(0x10000 * (vsan % 200 + 1));
    return {
        flow(slot, "vsan", vsan),
        flow(slot, "domain", vsan, dom + 0x0100, dom + 0x010200),
        flow(slot, "exact", vsan, dom + 0x0101, dom + 0x010201),
        flow(slot, "exact", vsan, dom + 0x0102, dom + 0x010202),
        flow(slot, "exact", vsan, 0x7f0001, 0x7e0001),
    };
}

void add_all(Chassis &c, const std::vector<json> &flows) {
    for (const json &f : flows) {
        const json r = c.result("flow.add", f);
        EXPECT_EQ(r.value("flow_status", ""), "applied") << f.dump() << " -> " << r.dump();
    }
}

// Queries every flow; each must be answered ok.
void query_all(Chassis &c, const std::vector<json> &flows) {
    for (const json &f : flows) {
        const json r = c.result("flow.get", f);
        EXPECT_EQ(r.value("status", ""), "ok") << f.dump() << " -> " << r.dump();
        EXPECT_TRUE(r.contains("frames") && r.contains("bytes")) << r.dump();
    }
}

void expect_card_consistent(Chassis &c, int slot) {
    const json card = c.card_entry(slot);
    ASSERT_TRUE(card.is_object()) << c.logs();
    EXPECT_EQ(card.value("state", ""), "ready");
    EXPECT_EQ(card.value("mismatches", -1), 0) << card.dump();
    EXPECT_EQ(card.value("card_flows", -1), card.value("flows", -2)) << card.dump();
    EXPECT_EQ(card.value("applied", -1), card.value("flows", -2)) << card.dump();
}

TEST(Chassis, SurvivesCardAndSupervisorCrashes) {
    Chassis c;
    c.start_supervisor();
    c.start_card({.slot = 1, .counters = "1:999", .pps = 5000, .seed = 1});
    c.start_card({.slot = 2, .counters = "1:999", .pps = 5000, .seed = 2});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    ASSERT_TRUE(c.wait_card_state(2, "ready")) << c.logs();

    std::vector<json> flows1 = nested_flows(1, 10);
    std::vector<json> flows2 = nested_flows(2, 20);
    add_all(c, flows1);
    add_all(c, flows2);
    std::this_thread::sleep_for(300ms); // traffic moves the counters
    query_all(c, flows1);
    query_all(c, flows2);
    for (int slot : {1, 2}) {
        const json card = c.card_entry(slot);
        EXPECT_EQ(card.value("mismatches", -1), 0) << card.dump();
        EXPECT_GE(card.value("queries_checked", 0), 5) << card.dump();
        EXPECT_GT(card.value("frames", 0), 0) << card.dump();
    }

    // SIGHUP changes nothing: both daemons log it and go on.
    c.supervisor().signal(SIGHUP);
    c.card(2).signal(SIGHUP);
    ASSERT_TRUE(wait_until(
        [&] { return c.logs().find("SIGHUP ignored") != c.logs().rfind("SIGHUP ignored"); }, 5s))
        << c.logs();
    expect_card_consistent(c, 2);

    // A card killed outright comes back with its flows through its download
    // request; its counters start again from zero.
    c.card(1).signal(SIGKILL);
    ASSERT_TRUE(c.wait_card_state(1, "down")) << c.logs();
    EXPECT_EQ(c.call("flow.get", flows1[0]).value("error", json()).value("code", 0), -32002);
    c.forget_card(1);
    c.start_card({.slot = 1, .counters = "1:999", .pps = 5000, .seed = 3});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    expect_card_consistent(c, 1);
    EXPECT_EQ(c.card_entry(1).value("card_flows", 0), static_cast<int>(flows1.size()));
    query_all(c, flows1);

    // The supervisor killed during a burst of adds from several clients:
    // every add it acknowledged is in the database when it comes back.
    std::mutex lock;
    std::set<std::string> acknowledged;
    std::atomic<int> acks{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            RpcClient client(c.control_socket());
            for (uint32_t i = 0; i < 200; ++i) {
                const json f = flow(2, "exact", 30 + t, 0x0a0000 + i, 0x0b0000 + i);
                const std::optional<json> r = client.call("flow.add", f, 5s);
                if (!r || !r->contains("result")) {
                    return;
                }
                std::lock_guard<std::mutex> guard(lock);
                acknowledged.insert(f.dump());
                ++acks;
            }
        });
    }
    wait_until([&] { return acks >= 40; }, 20s);
    c.supervisor().signal(SIGKILL);
    for (std::thread &t : clients) {
        t.join();
    }
    ASSERT_GE(acks.load(), 40);
    c.supervisor().wait(5s);
    c.forget_supervisor();
    c.start_supervisor();

    std::set<std::string> stored;
    const json listed = c.result("flow.list", {{"slot", 2}});
    for (const json &f : listed["flows"]) {
        json key = flow(2, f["type"], f["vsan"]);
        if (f["type"] != "vsan") {
            key["sid"] = std::stoul(f["sid"].get<std::string>(), nullptr, 16);
            key["did"] = std::stoul(f["did"].get<std::string>(), nullptr, 16);
        }
        stored.insert(key.dump());
    }
    for (const std::string &f : acknowledged) {
        EXPECT_TRUE(stored.count(f)) << "acknowledged add lost: " << f;
    }

    // The cards come back without restarting and are reconciled with the
    // database: the adds that never reached card 2 are sent now.
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    ASSERT_TRUE(c.wait_card_state(2, "ready")) << c.logs();
    expect_card_consistent(c, 1);
    expect_card_consistent(c, 2);
    query_all(c, flows2);
    EXPECT_EQ(c.card_entry(2).value("mismatches", -1), 0);

    c.stop_all();
}

} // namespace

namespace {

// The card's own check can fail: with the test-only switch LINECARD_TEST_SKEW
// its ground truth is one frame (slot 1) or one byte (slot 2) off, so every
// query it checks is a mismatch, which cards.list reports and the card's exit
// status carries.
TEST(Chassis, ACardCountsEveryWrongFrameOrByteTotal) {
    Chassis c;
    c.start_supervisor();
    const char *skews[] = {"frames", "bytes"};
    for (int slot : {1, 2}) {
        ASSERT_EQ(setenv("LINECARD_TEST_SKEW", skews[slot - 1], 1), 0);
        c.start_card({.slot = slot, .counters = "1:99", .pps = 1000, .seed = 1});
    }
    unsetenv("LINECARD_TEST_SKEW");
    for (int slot : {1, 2}) {
        ASSERT_TRUE(c.wait_card_state(slot, "ready")) << c.logs();
        c.result("flow.add", flow(slot, "vsan", 10));
        c.result("flow.get", flow(slot, "vsan", 10));
        c.result("flow.get", flow(slot, "vsan", 10));
        const json card = c.card_entry(slot);
        EXPECT_EQ(card.value("mismatches", -1), 2) << skews[slot - 1] << ": " << card.dump();
        c.card(slot).signal(SIGTERM);
        EXPECT_EQ(c.card(slot).wait(10s), 1) << c.card(slot).log();
        c.forget_card(slot);
    }
    c.stop_all();
}

// A card restart never changes which flows hold counters: the flows that held
// them go back first, in the order they were first configured, and a flow
// added while the card was down waits behind them. When the card comes back
// with fewer counters, the last of them lose theirs, and cards.list says so.
TEST(Chassis, ARestartKeepsTheFlowsThatHeldCounters) {
    Chassis c;
    c.start_supervisor();
    // The card killed; while it is down, between() runs; then it comes back.
    const auto restart_card = [&c](const std::string &counters,
                                   const std::function<void()> &between) {
        c.card(1).signal(SIGKILL);
        c.card(1).wait(10s);
        c.forget_card(1);
        ASSERT_TRUE(c.wait_card_state(1, "down")) << c.logs();
        between();
        c.start_card({.slot = 1, .counters = counters, .pps = 100, .seed = 1});
        ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    };
    const auto statuses = [&c] {
        std::map<std::string, std::string> out;
        const json list = c.result("flow.list", {{"slot", 1}});
        for (const json &row : list["flows"]) {
            out[row["type"].get<std::string>() + " " + row["sid"].get<std::string>()] =
                row["status"].get<std::string>() +
                (row["code"] != 0 ? " " + row["code"].dump() : std::string());
        }
        return out;
    };
    const std::string exhausted = " " + std::to_string(0x404e003a);      // COUNTERS_EXHAUSTED
    c.start_card({.slot = 1, .counters = "1:3", .pps = 100, .seed = 1}); // 3 counters
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    for (const json &f :
         {flow(1, "exact", 30, 0x030003, 0x040004), flow(1, "domain", 30, 0x050000, 0x060000),
          flow(1, "exact", 30, 0x030001, 0x040004)}) {
        c.result("flow.add", f);
    }
    // A flow added while the card is down sorts first by key.
    restart_card("1:3", [&c] {
        EXPECT_EQ(c.result("flow.add", flow(1, "vsan", 30)).value("flow_status", ""), "pending");
    });
    using Statuses = std::map<std::string, std::string>;
    EXPECT_EQ(statuses(), (Statuses{{"vsan 0x000000", "refused" + exhausted},
                                    {"domain 0x050000", "applied"},
                                    {"exact 0x030003", "applied"},
                                    {"exact 0x030001", "applied"}}));
    EXPECT_EQ(c.card_entry(1).value("lost_counters", -1), 0);
    restart_card("1:2",
                 [] {}); // 2 counters: the flow configured last of those that held one loses it
    EXPECT_EQ(statuses(), (Statuses{{"vsan 0x000000", "refused" + exhausted},
                                    {"domain 0x050000", "applied"},
                                    {"exact 0x030003", "applied"},
                                    {"exact 0x030001", "refused" + exhausted}}));
    EXPECT_EQ(c.card_entry(1).value("lost_counters", -1), 1);
    EXPECT_NE(c.logs().find("exact 30 0x030001 0x040004 held a counter before the card restarted"),
              std::string::npos);
    c.stop_all();
}

// flow.apply commits its plan whole: a supervisor killed just before the
// commit keeps the old configuration, one killed just after it has the new
// one, and the card ends holding what is configured either way. An export
// applied back with prune changes nothing; a text with a bad line changes
// nothing and names the line.
TEST(Chassis, AnApplyIsAllOrNothingAcrossAKill) {
    Chassis c;
    c.start_supervisor();
    c.start_card({.slot = 1, .counters = "1:100", .pps = 100, .seed = 1});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    const json first =
        c.result("flow.apply", {{"flows", "1 vsan 10 name=a\n1 exact 10 0x010101 0x020202\n"}});
    EXPECT_EQ(first.value("added", 0), 2) << first.dump();
    EXPECT_EQ(first.value("applied", 0), 2) << first.dump();
    const std::string text = c.result("flow.export")["text"];
    const json again = c.result("flow.apply", {{"flows", text}, {"prune", true}});
    EXPECT_EQ(again.value("changes", "?"), "") << again.dump();
    EXPECT_EQ(again.value("unchanged", 0), 2) << again.dump();
    const json bad = c.call("flow.apply", {{"flows", text + "1 vsan 11\n1 exact 10 0x1 0x2\n"}});
    EXPECT_EQ(bad["error"]["code"], -32602) << bad.dump();
    EXPECT_NE(bad.dump().find("line 4:"), std::string::npos) << bad.dump();
    EXPECT_EQ(c.result("flow.export")["text"], text);

    const std::string next = "1 vsan 20\n1 vsan 21\n";
    for (const auto &[point, after] :
         {std::pair{"before-commit", text}, std::pair{"after-commit", next}}) {
        SCOPED_TRACE(point);
        c.supervisor().signal(SIGTERM);
        EXPECT_EQ(c.supervisor().wait(10s), 0);
        c.forget_supervisor();
        ASSERT_EQ(setenv("FLOW_SUPERVISOR_TEST_STOP", point, 1), 0);
        c.start_supervisor();
        unsetenv("FLOW_SUPERVISOR_TEST_STOP");
        ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
        std::thread caller([&c, &next] {
            c.call("flow.apply", {{"flows", next}, {"prune", true}}, 5s);
        });
        const pid_t pid = c.supervisor().pid();
        const bool stopped = wait_until(
            [pid] {
                std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
                std::string line;
                std::getline(stat, line);
                const size_t paren = line.rfind(')');
                return paren != std::string::npos && line.size() > paren + 2 &&
                       line[paren + 2] == 'T';
            },
            10s);
        c.supervisor().signal(SIGKILL);
        caller.join();
        ASSERT_TRUE(stopped) << c.logs();
        c.supervisor().wait(10s);
        c.forget_supervisor();
        c.start_supervisor();
        ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
        EXPECT_EQ(c.result("flow.export")["text"], after);
        expect_card_consistent(c, 1);
    }
    c.stop_all();
}

} // namespace
