// flowctl against a running chassis: totals of one display against per-flow
// queries on a paused card, names shown and totals cleared across a card
// restart, and the exit code of every failure class.

#include <csignal>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "card_protocol.h"
#include "chassis_fixture.h"
#include "jsonrpc.h"
#include "vexa_socket.h"

namespace {

using namespace harness;

Outcome flowctl(Chassis &c, std::vector<std::string> args) {
    args.insert(args.begin(), {"--control", "unix:" + c.control_socket()});
    return run("flowctl", args);
}

std::string key_of(const json &row) {
    return row["type"].get<std::string>() + " " + std::to_string(row["vsan"].get<int>()) + " " +
           row.value("sid", "") + " " + row.value("did", "");
}

// A show's rows by flow, as --json prints them.
std::map<std::string, json> rows_by_key(const Outcome &shown) {
    std::map<std::string, json> rows;
    EXPECT_EQ(shown.status, 0) << shown.out;
    const json doc = json::parse(shown.out);
    for (const json &row : doc["flows"]) {
        rows[key_of(row)] = row;
    }
    return rows;
}

json params_of(const json &row) {
    json p = flow(row["slot"], row["type"], row["vsan"]);
    if (row["type"] != "vsan") {
        p["sid"] = row["sid"];
        p["did"] = row["did"];
    }
    return p;
}

// A table that exercises every term of a total: late coarse flows (negative
// baselines), removed finer flows (positive counts), re-added flows and
// parked entries taken over by new flows, with traffic between the steps.
TEST(FlowctlE2E, ShowTotalsEqualQueriesOnPausedCard) {
    Chassis c;
    c.start_supervisor();
    c.start_card({.slot = 1, .counters = "1:199", .pps = 20000, .seed = 7});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    const Outcome named =
        flowctl(c, {"add", "1", "exact", "12", "0x010101", "0x020201", "--name", "core-a"});
    ASSERT_EQ(named.status, 0) << named.out;

    const std::vector<std::pair<std::string, json>> steps = {
        {"flow.add", flow(1, "exact", 10, 0x010101, 0x020201)},
        {"flow.add", flow(1, "exact", 10, 0x010102, 0x020202)},
        {"flow.add", flow(1, "exact", 10, 0x030101, 0x040401)},
        {"flow.add", flow(1, "exact", 11, 0x010101, 0x020201)},
        {"flow.add", flow(1, "domain", 10, 0x010000, 0x020000)},
        {"flow.add", flow(1, "vsan", 10)},
        {"flow.del", flow(1, "exact", 10, 0x010101, 0x020201)},
        {"flow.add", flow(1, "exact", 10, 0x010103, 0x020203)},
        {"flow.add", flow(1, "domain", 11, 0x010000, 0x020000)},
        {"flow.del", flow(1, "domain", 10, 0x010000, 0x020000)},
        {"flow.add", flow(1, "domain", 10, 0x010000, 0x020000)},
        {"flow.add", flow(1, "vsan", 11)},
        {"flow.del", flow(1, "exact", 11, 0x010101, 0x020201)},
    };
    for (const auto &[method, params] : steps) {
        c.result(method, params);
        std::this_thread::sleep_for(60ms);
    }
    c.result("card.traffic", {{"slot", 1}, {"action", "pause"}});

    const Outcome shown = flowctl(c, {"--json", "show", "1"});
    ASSERT_EQ(shown.status, 0) << shown.out;
    const json flows = json::parse(shown.out)["flows"];
    ASSERT_EQ(flows.size(), 8u) << shown.out;
    uint64_t total_frames = 0;
    for (const json &row : flows) {
        SCOPED_TRACE(key_of(row));
        EXPECT_TRUE(row["complete"].get<bool>());
        EXPECT_EQ(row["status"], "applied");
        EXPECT_EQ(row["name"], row["vsan"] == 12 ? "core-a" : "");
        EXPECT_FALSE(row["cleared"].get<bool>());
        const json got = c.result("flow.get", params_of(row));
        EXPECT_EQ(row["frames"], got["frames"]);
        EXPECT_EQ(row["bytes"], got["bytes"]);
        total_frames += row["frames"].get<uint64_t>();
    }
    EXPECT_GT(total_frames, 0u);
    EXPECT_EQ(c.card_entry(1).value("mismatches", -1), 0);

    // The Prometheus export carries the same totals.
    const Outcome prom = flowctl(c, {"show", "1", "--format", "prometheus"});
    ASSERT_EQ(prom.status, 0) << prom.out;
    for (const json &row : flows) {
        const std::string series =
            "acl_tcam_flow_frames_total{slot=\"1\",type=\"" + row["type"].get<std::string>() +
            "\",vsan=\"" + std::to_string(row["vsan"].get<int>()) + "\",sid=\"" +
            row["sid"].get<std::string>() + "\",did=\"" + row["did"].get<std::string>() + "\"" +
            (row["name"] == "" ? "" : ",name=\"" + row["name"].get<std::string>() + "\"") + "} " +
            std::to_string(row["frames"].get<uint64_t>()) + "\n";
        EXPECT_NE(prom.out.find(series), std::string::npos) << series << prom.out;
    }
    // The name in list's table and JSON too.
    const Outcome listed = flowctl(c, {"list", "1"});
    EXPECT_NE(listed.out.find("NAME"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("applied  core-a"), std::string::npos) << listed.out;
    EXPECT_NE(flowctl(c, {"--json", "list"}).out.find("\"name\":\"core-a\""), std::string::npos);

    // Cleared on the paused card: every total restarts from zero, then counts
    // exactly what the raw totals gain (flow.get agrees); one flow alone too.
    const Outcome cleared = flowctl(c, {"--json", "clear", "1"});
    ASSERT_EQ(cleared.status, 0) << cleared.out;
    EXPECT_EQ(json::parse(cleared.out), (json{{"cleared", 8}, {"not_cleared", json::array()}}));
    for (const auto &[key, row] : rows_by_key(flowctl(c, {"--json", "show", "1"}))) {
        EXPECT_EQ(row["frames"], 0) << key;
        EXPECT_TRUE(row["cleared"].get<bool>()) << key;
    }
    c.result("card.traffic", {{"slot", 1}, {"action", "resume"}});
    std::this_thread::sleep_for(300ms);
    c.result("card.traffic", {{"slot", 1}, {"action", "pause"}});
    const auto before = rows_by_key(shown);
    const auto raw = rows_by_key(flowctl(c, {"--json", "show", "1", "--since-boot"}));
    uint64_t since_frames = 0;
    for (const auto &[key, row] : rows_by_key(flowctl(c, {"--json", "show", "1"}))) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(row["cleared"].get<bool>());
        EXPECT_FALSE(raw.at(key)["cleared"].get<bool>());
        for (const char *count : {"frames", "bytes"}) {
            EXPECT_EQ(row[count].get<uint64_t>(),
                      raw.at(key)[count].get<uint64_t>() - before.at(key)[count].get<uint64_t>())
                << count;
        }
        const json got = c.result("flow.get", params_of(row));
        EXPECT_EQ(got["frames"], row["frames"]);
        EXPECT_EQ(got["cleared"], true);
        json since_boot = params_of(row);
        since_boot["since_boot"] = true;
        EXPECT_EQ(c.result("flow.get", since_boot)["frames"], raw.at(key)["frames"]);
        since_frames += row["frames"].get<uint64_t>();
    }
    EXPECT_GT(since_frames, 0u);
    const Outcome one = flowctl(c, {"clear", "1", "exact", "12", "0x010101", "0x020201"});
    EXPECT_EQ(one.out, "cleared 1 flow\n");
    EXPECT_EQ(c.result("flow.get", flow(1, "exact", 12, 0x010101, 0x020201))["frames"], 0);

    // A card killed and started again: its counters restarted, so the
    // baselines are void and the raw totals are shown, equal to --since-boot.
    c.forget_card(1);
    c.start_card({.slot = 1, .counters = "1:199", .pps = 20000, .seed = 7});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    std::this_thread::sleep_for(100ms);
    c.result("card.traffic", {{"slot", 1}, {"action", "pause"}});
    const auto after = rows_by_key(flowctl(c, {"--json", "show", "1"}));
    const auto after_raw = rows_by_key(flowctl(c, {"--json", "show", "1", "--since-boot"}));
    ASSERT_EQ(after.size(), 8u);
    EXPECT_EQ(after, after_raw);
    for (const auto &[key, row] : after) {
        EXPECT_FALSE(row["cleared"].get<bool>()) << key;
        EXPECT_EQ(c.result("flow.get", params_of(row))["cleared"], false) << key;
    }
    c.stop_all();
}

// A card that says hello and asks for its download, then never answers.
class SilentCard {
public:
    SilentCard(const std::string &socket, uint32_t slot) : fd_(connect_unix(socket)) {
        card_protocol::Hello hello;
        hello.slot = slot;
        hello.first_counter = 1;
        hello.table_size = 10;
        hello.boot_id = 42;
        hello.flags = card_protocol::kHelloFresh;
        send_frame(card_protocol::kOpHello, card_protocol::encode(hello));
        const uint8_t download[4] = {0, 0, 0, static_cast<uint8_t>(slot)};
        send_frame(card_protocol::kOpDownload, download);
    }
    ~SilentCard() { close(fd_); }

private:
    void send_frame(uint32_t opcode, std::span<const uint8_t> payload) {
        vexa_socket::FrameHeader h;
        h.opcode = opcode;
        h.src = card_protocol::card_addr(4);
        h.dst = card_protocol::kSupervisorAddr;
        h.msg_id = ++msg_id_;
        h.payload_len = static_cast<uint32_t>(payload.size());
        std::string bytes(vexa_socket::kHeaderLen, '\0');
        vexa_socket::encode_header(h, reinterpret_cast<uint8_t *>(bytes.data()));
        bytes.append(reinterpret_cast<const char *>(payload.data()), payload.size());
        EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    int fd_;
    uint32_t msg_id_ = 0;
};

TEST(FlowctlE2E, ExitCodes) {
    Chassis c;
    c.start_supervisor({"--timeout", "500"});
    c.start_card({.slot = 1, .counters = "1:2", .pps = 0});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    SilentCard silent(c.cards_socket(), 4);
    ASSERT_TRUE(c.wait_card_state(4, "ready")) << c.logs();

    struct Case {
        const char *what;
        std::vector<std::string> args;
        int status;
        const char *says; // in the output
    };
    const Case cases[] = {
        {"ok", {"add", "1", "vsan", "10"}, 0, ""},
        {"ok again", {"add", "1", "exact", "10", "0x010101", "0x020202"}, 0, ""},
        // Answered from the configuration: nothing reaches the card.
        {"already configured", {"add", "1", "vsan", "10"}, 1, "already configured (applied"},
        {"not configured",
         {"del", "1", "exact", "10", "0x010001", "0x020002"},
         1,
         "is not configured; nothing changed"},
        {"refused by the card",
         {"add", "1", "exact", "10", "0x010101", "0x020203"},
         1,
         "counters exhausted (0x404e003a)"},
        {"query refused", {"get", "1", "vsan", "11"}, 1, "0x40520010"},
        {"card down", {"get", "3", "vsan", "10"}, 3, "down"},
        {"no reply", {"get", "4", "vsan", "10"}, 4, ""},
        {"bad arguments: no flow", {"add", "1"}, 2, ""},
        {"bad arguments: VSAN", {"add", "1", "vsan", "4096"}, 2, ""},
        {"bad arguments: FC ID", {"get", "1", "exact", "10", "0x1", "0x020202"}, 2, ""},
        {"bad arguments: command", {"frobnicate"}, 2, ""},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        const Outcome r = flowctl(c, k.args);
        EXPECT_EQ(r.status, k.status) << r.out;
        EXPECT_NE(r.out.find(k.says), std::string::npos) << r.out;
    }
    const json again = c.call("flow.add", flow(1, "vsan", 10));
    EXPECT_EQ(again["error"]["data"]["status"], "FLOW_EXISTS") << again.dump();

    // Nobody there is "unreachable" (5); a supervisor that takes the
    // connection and never answers is "no reply" (4).
    const Outcome unreachable = run("flowctl", {"--control", "unix:/nonexistent/ctl", "cards"});
    EXPECT_EQ(unreachable.status, 5) << unreachable.out;
    const std::string mute_path = c.scratch.file("mute.ctl");
    const int mute = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    mute_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(mute, 4), 0); // the kernel takes the connection; nothing answers
    const Outcome mute_reply =
        run("flowctl", {"--control", "unix:" + mute_path, "--timeout", "300", "cards"});
    close(mute);
    EXPECT_EQ(mute_reply.status, 4) << mute_reply.out;
    EXPECT_NE(mute_reply.out.find("no answer from the supervisor"), std::string::npos)
        << mute_reply.out;

    // The refusal is remembered with its code.
    const Outcome shown = flowctl(c, {"--json", "show", "1"});
    const json flows = json::parse(shown.out)["flows"];
    bool refused_listed = false;
    for (const json &row : flows) {
        refused_listed |=
            row.value("status", "") == "refused" && row.value("code", 0) == 0x404e003a;
    }
    EXPECT_TRUE(refused_listed) << shown.out;

    // list gives the configured flows, the refused one by name; a refused
    // flow does not make the slot's snapshot incomplete, it is counted apart,
    // and the card's gauges come with it.
    const Outcome listed = flowctl(c, {"list", "1"});
    EXPECT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find("refused COUNTERS_EXHAUSTED"), std::string::npos) << listed.out;
    const Outcome listed_json = flowctl(c, {"list", "--json", "1"});
    EXPECT_EQ(json::parse(listed_json.out)["flows"].size(), 3u) << listed_json.out;
    const Outcome prom = flowctl(c, {"--format", "prometheus", "show", "1"});
    for (const char *sample :
         {"acl_tcam_flow_snapshot_complete{slot=\"1\"} 1\n",
          "acl_tcam_flow_configured_flows{slot=\"1\",status=\"refused\",reason=\"COUNTERS_"
          "EXHAUSTED\"} 1\n",
          "acl_tcam_card_state{slot=\"1\",state=\"ready\"} 1\n",
          "acl_tcam_card_counters_free{slot=\"1\"} 0\n"}) {
        EXPECT_NE(prom.out.find(sample), std::string::npos) << sample << prom.out;
    }
    c.stop_all();

    // Every log line starts with the time in UTC and a severity.
    const std::regex line(
        R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )"
        R"((error|warning|notice|info|debug) (flow-supervisor|linecard\[1\]): .*)");
    std::istringstream logs(c.logs());
    size_t lines = 0;
    for (std::string l; std::getline(logs, l);) {
        if (l.rfind("--- ", 0) != 0) {
            EXPECT_TRUE(std::regex_match(l, line)) << l;
            ++lines;
        }
    }
    EXPECT_GT(lines, 4u);
}

// A flow-set file through flowctl: a bad line names its number and changes
// nothing; a dry run names what the card would refuse; an export applied
// back with prune changes nothing.
TEST(FlowctlE2E, ApplyAndExportAFlowSetFile) {
    Chassis c;
    c.start_supervisor();
    c.start_card({.slot = 1, .counters = "1:2", .pps = 0, .seed = 1});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    const auto file = [&c](const std::string &name, const std::string &text) {
        std::ofstream(c.scratch.file(name)) << text;
        return c.scratch.file(name);
    };
    const std::string flows = file("flows", "1 vsan 10 name=a # first\n"
                                            "1 exact 10 0x010101 0x020202\n"
                                            "1 exact 11 0x010101 0x020202\n");
    const Outcome bad = flowctl(c, {"apply", file("bad", "1 vsan 10\n1 vsan 10\n")});
    EXPECT_EQ(bad.status, 2) << bad.out;
    EXPECT_NE(bad.out.find("line 2: slot 1 vsan 10 repeats line 1"), std::string::npos) << bad.out;
    const Outcome dry = flowctl(c, {"apply", "--dry-run", flows});
    EXPECT_EQ(dry.status, 0) << dry.out;
    EXPECT_NE(
        dry.out.find("would be refused (COUNTERS_EXHAUSTED):\n1 exact 11 0x010101 0x020202\n"),
        std::string::npos)
        << dry.out;
    EXPECT_EQ(flowctl(c, {"export"}).out, "") << "a dry run changes nothing";
    const Outcome applied = flowctl(c, {"apply", flows});
    EXPECT_EQ(applied.status, 1) << applied.out; // the card had room for two
    EXPECT_NE(applied.out.find("added 3, removed 0, renamed 0, unchanged 0, skipped 0; on the "
                               "cards: 2 done, 0 pending, 1 refused (COUNTERS_EXHAUSTED 1)"),
              std::string::npos)
        << applied.out;
    const Outcome exported = flowctl(c, {"export"});
    EXPECT_EQ(exported.out, "1 vsan 10 name=a\n1 exact 10 0x010101 0x020202\n"
                            "1 exact 11 0x010101 0x020202\n");
    const Outcome again = flowctl(c, {"apply", "--prune", file("again", exported.out)});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(again.out.rfind("added 0, removed 0, renamed 0, unchanged 3", 0), 0u) << again.out;
    c.stop_all();
}

// show streams the snapshot: in every format it holds the unstreamed
// answer's rows and cards, across the parts of a card of more than 1,024
// rows, between cards, past a slot without a card, and with filters.
TEST(FlowctlE2E, StreamedShowHoldsTheUnstreamedAnswer) {
    Chassis c;
    c.start_supervisor();
    c.start_card({.slot = 1, .counters = "1:3000", .pps = 20000, .seed = 1});
    c.start_card({.slot = 2, .counters = "1:99", .pps = 20000, .seed = 2});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    ASSERT_TRUE(c.wait_card_state(2, "ready")) << c.logs();
    std::string text = "2 vsan 10\n2 vsan 11 name=b\n3 vsan 10\n";
    for (int i = 0; i < 2500; ++i) {
        char line[80];
        std::snprintf(line, sizeof line, "1 exact %d 0x%06x 0x020000%s\n", 10 + i % 2, 0x010000 + i,
                      i % 7 == 0 ? " name=n" : "");
        text += line;
    }
    std::ofstream(c.scratch.file("flows")) << text;
    const Outcome applied = flowctl(c, {"apply", c.scratch.file("flows")});
    ASSERT_EQ(applied.status, 0) << applied.out;
    std::this_thread::sleep_for(300ms); // some traffic on the flows
    for (const int slot : {1, 2}) {
        c.result("card.traffic", {{"slot", slot}, {"action", "pause"}});
    }
    struct Case {
        json params;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {json::object(), {"show"}},
        {{{"slots", {1, 3}}, {"type", "exact"}, {"vsan", 11}},
         {"show", "1", "3", "--type", "exact", "--vsan", "11"}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.params.dump());
        const json whole = c.result("flow.show", k.params);
        std::vector<std::string> args = k.args;
        args.insert(args.begin(), "--json");
        const Outcome shown = flowctl(c, args);
        ASSERT_EQ(shown.status, 0) << shown.out;
        const json doc = json::parse(shown.out);
        ASSERT_EQ(doc["flows"].size(), whole["flows"].size());
        size_t exact = 0;
        for (size_t i = 0; i < whole["flows"].size(); ++i) {
            for (const auto &[member, value] : whole["flows"][i].items()) {
                ASSERT_EQ(doc["flows"][i][member], value) << i << " " << member;
            }
            exact += whole["flows"][i]["complete"].get<bool>() ? 1 : 0;
        }
        EXPECT_EQ(doc["cards"], whole["cards"]);

        const Outcome table = flowctl(c, k.args);
        ASSERT_EQ(table.status, 0) << table.out;
        EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'),
                  1 + whole["flows"].size() + 1) // the header, the rows, slot 3 down
            << table.out.substr(0, 2000);
        EXPECT_NE(table.out.find("slot 3: card down"), std::string::npos);

        args = k.args;
        args.insert(args.end(), {"--format", "prometheus"});
        const Outcome prom = flowctl(c, args);
        ASSERT_EQ(prom.status, 0) << prom.out;
        std::istringstream lines(prom.out);
        size_t frames = 0;
        for (std::string line; std::getline(lines, line);) {
            frames += line.starts_with("acl_tcam_flow_frames_total{") ? 1 : 0;
        }
        EXPECT_EQ(frames, exact);
    }
    c.stop_all();

    // A snapshot that fails after its first part: the rows already written
    // stay, --json still ends one document (with the error), and the exit
    // code is the failure's.
    const std::string part =
        R"({"jsonrpc":"2.0","method":"flow.show.part","params":{"id":1,"slot":1,"flows":[)"
        R"({"slot":1,"type":"vsan","vsan":10,"sid":"0x000000","did":"0x000000","counter":1,)"
        R"("frames":5,"bytes":320,"complete":true,"status":"applied","code":0,"name":"",)"
        R"("cleared":false}]}})"
        "\n";
    struct Failing {
        const char *what;
        std::string after; // what the fake supervisor sends after the part, then it closes
        const char *status;
        bool as_json = true;
    };
    const Failing failing[] = {
        {"closed midway", "", "UNREACHABLE"},
        {"rows miscounted",
         R"({"id":1,"jsonrpc":"2.0","result":{"flows":[],"cards":[],"rows":2}})"
         "\n",
         "PROTOCOL"},
        {"closed midway, a table", "", "", false},
    };
    for (const Failing &f : failing) {
        SCOPED_TRACE(f.what);
        const std::string path = c.scratch.file("fake.ctl");
        ::unlink(path.c_str());
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        std::thread fake([&] {
            const int peer = accept(listener, nullptr, nullptr);
            char request[4096];
            (void)!read(peer, request, sizeof request); // the show, on one line
            const std::string reply = part + f.after;
            (void)!write(peer, reply.data(), reply.size());
            close(peer);
        });
        const Outcome shown = run("flowctl", {"--control", "unix:" + path, "--format",
                                              f.as_json ? "json" : "table", "show"});
        fake.join();
        close(listener);
        EXPECT_EQ(shown.status, 5) << shown.out;
        if (!f.as_json) {
            EXPECT_NE(
                shown.out.find("   1  vsan    10  -    -          1       5     320   applied\n"),
                std::string::npos)
                << shown.out;
            continue;
        }
        const json doc = json::parse(shown.out, nullptr, false);
        ASSERT_TRUE(doc.is_object()) << shown.out;
        EXPECT_EQ(doc["flows"].size(), 1u) << shown.out;
        EXPECT_EQ(doc["error"]["status"], f.status) << shown.out;
    }
}

// A file past the request line's cap goes in parts of whole slots, yet
// reads as one request: a fault anywhere changes nothing and is named by its
// line in the file; the summary counts every part, the slots out of scope
// skipped. No card: nothing waits for one.
TEST(FlowctlE2E, ApplyOfAFileOverTheRequestCapGoesInParts) {
    Chassis c;
    c.start_supervisor();
    constexpr uint32_t kSlots = 4, kPerSlot = 60000;
    std::string text = "# one file, four slots\n\n";
    for (uint32_t slot = 1; slot <= kSlots; ++slot) {
        for (uint32_t i = 0; i < kPerSlot; ++i) {
            text += std::to_string(slot) + " exact 1 " + std::to_string(0x010000 + i) +
                    " 0x020000 name=flow-" + std::to_string(i) + "\n";
        }
    }
    ASSERT_GT(text.size(), jsonrpc::kMaxRequestLine);
    const auto file = [&c](const std::string &name, const std::string &body) {
        std::ofstream(c.scratch.file(name)) << body;
        return c.scratch.file(name);
    };
    const std::string flows = file("flows", text);
    // Slot 3's sixth flow is line 2 + 2 * 60,000 + 6.
    const Outcome bad = flowctl(c, {"apply", file("bad", text + "3 exact 1 0x010005 0x020000\n")});
    EXPECT_EQ(bad.status, 2) << bad.out.substr(0, 2000);
    EXPECT_NE(bad.out.find("line 240003: slot 3 exact 1 0x010005 0x020000 repeats line 120008"),
              std::string::npos)
        << bad.out.substr(0, 2000);
    EXPECT_EQ(flowctl(c, {"export"}).out, "");
    const Outcome applied =
        flowctl(c, {"apply", "--slot", "1", "--slot", "2", "--slot", "3", flows});
    EXPECT_EQ(applied.status, 0) << applied.out.substr(0, 2000);
    EXPECT_NE(applied.out.find("added 180000, removed 0, renamed 0, unchanged 0, skipped 60000; "
                               "on the cards: 0 done, 180000 pending, 0 refused"),
              std::string::npos)
        << applied.out.substr(applied.out.size() - 2000);
    const Outcome dry = flowctl(c, {"apply", "--prune", "--dry-run", flows});
    EXPECT_EQ(dry.status, 0);
    EXPECT_NE(dry.out.find("dry run: would add 60000, remove 0, rename 0; 180000 unchanged, 0 "
                           "outside the slots in scope"),
              std::string::npos)
        << dry.out.substr(dry.out.size() - 2000);
    c.stop_all();
}

} // namespace
