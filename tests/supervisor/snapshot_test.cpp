// flow.show taken card by card, against real cards: the streamed parts add
// up to exactly the answer written whole, across part and card boundaries; a
// card lost in the middle of a snapshot is its own slot's error; a reader that
// stops holds its snapshot where it is rather than making the supervisor
// queue the chassis for it.

#include <csignal>
#include <regex>

#include <gtest/gtest.h>
#include <httplib.h>

#include "chassis_fixture.h"

namespace {

using namespace harness;

constexpr size_t kPartRows = 1024;

// A flow-set text: n flows of slot, VSAN and domain flows among exact ones,
// over VSANs 10..12 so that the filters keep some of each card.
std::string flow_set(int slot, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        const int vsan = 10 + i % 3;
        const std::string s = std::to_string(slot) + " ";
        if (i < 3) {
            text += s + "vsan " + std::to_string(vsan) + "\n";
        } else if (i % 10 == 0) { // domain pairs: each (SID, DID) domain byte pair once
            const int pair = i / 10;
            text += s + "domain " + std::to_string(vsan) + " " +
                    std::to_string((1 + pair % 250) << 16) + " " +
                    std::to_string((0x20 + pair / 250) << 16) + "\n";
        } else {
            text += s + "exact " + std::to_string(vsan) + " " + std::to_string(0x010000 + i) +
                    " 0x020202\n";
        }
    }
    return text;
}

void apply_text(Chassis &c, const std::string &text) {
    const json answer = c.call("flow.apply", {{"flows", text}}, 60s);
    ASSERT_TRUE(answer.contains("result")) << answer.dump() << c.logs();
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

struct Streamed {
    std::vector<json> parts; // each part's params
    json result;
};

// flow.show with stream on a connection of its own: the parts up to the answer.
Streamed show_streamed(Chassis &c, json params) {
    params["stream"] = true;
    RpcClient client(c.control_socket());
    client.send_raw(
        json{{"jsonrpc", "2.0"}, {"id", 7}, {"method", "flow.show"}, {"params", params}}.dump() +
        "\n");
    Streamed out;
    while (const auto line = client.read_line(20s)) {
        json message = json::parse(*line);
        if (message.contains("id")) {
            out.result = message;
            break;
        }
        EXPECT_EQ(message["method"], "flow.show.part");
        out.parts.push_back(message["params"]);
    }
    return out;
}

TEST(Snapshot, StreamedPartsAddUpToTheWholeAnswerAcrossPartsAndCards) {
    Chassis c;
    c.start_supervisor({"--http", "tcp:127.0.0.1:0"});
    std::smatch m;
    std::string log; // outlives m, which points into it
    ASSERT_TRUE(wait_until(
        [&] {
            log = c.supervisor().log();
            return std::regex_search(log, m,
                                     std::regex("HTTP on http://127\\.0\\.0\\.1:([0-9]+)/"));
        },
        10s));
    httplib::Client http("127.0.0.1", std::stoi(m[1]));
    c.start_card({.slot = 1, .counters = "1:3000"});
    c.start_card({.slot = 2, .counters = "1:100"}); // up, no flow configured
    c.start_card({.slot = 3, .counters = "1:2000"});
    for (const int slot : {1, 2, 3}) {
        ASSERT_TRUE(c.wait_card_state(slot, "ready")) << c.logs();
    }
    // Slot 5 has flows and no card: its rows come without counters.
    apply_text(c, flow_set(1, 2500) + flow_set(3, 1030) + flow_set(5, 4));
    // Totals that do not move between the two snapshots compared.
    for (const int slot : {1, 2, 3}) {
        c.result("card.traffic", {{"slot", slot}, {"action", "pause"}});
    }

    // Each filter with the HTTP endpoint's query asking the same.
    const std::vector<std::pair<json, std::string>> filters = {
        {json::object(), ""},
        {{{"type", "exact"}}, "?type=exact"},
        {{{"slots", {3, 1}}, {"vsan", 11}}, "?slots=3,1&vsan=11"},
        {{{"slots", {2}}}, "?slot=2"},
    };
    for (const auto &[filter, query] : filters) {
        SCOPED_TRACE(filter.dump());
        const json whole = c.result("flow.show", filter);
        const auto got = http.Get("/api/v1/flows" + query);
        ASSERT_TRUE(got) << httplib::to_string(got.error());
        EXPECT_EQ(got->status, 200);
        EXPECT_EQ(json::parse(got->body), whole);
        const Streamed streamed = show_streamed(c, filter);
        ASSERT_TRUE(streamed.result.contains("result")) << streamed.result.dump();
        const json &result = streamed.result["result"];

        json rows = json::array();
        json cards = json::array();
        for (size_t i = 0; i < streamed.parts.size(); ++i) {
            const json &part = streamed.parts[i];
            EXPECT_EQ(part["id"], 7);
            EXPECT_LE(part["flows"].size(), kPartRows);
            for (const json &row : part["flows"]) {
                EXPECT_EQ(row["slot"], part["slot"]);
                rows.push_back(row);
            }
            // The card closes its slot: the next part is another slot's.
            const bool last_of_slot =
                i + 1 == streamed.parts.size() || streamed.parts[i + 1]["slot"] != part["slot"];
            EXPECT_EQ(part.contains("card"), last_of_slot) << i;
            if (part.contains("card")) {
                cards.push_back(part["card"]);
            }
        }
        EXPECT_EQ(rows, whole["flows"]);
        EXPECT_EQ(cards, whole["cards"]);
        EXPECT_EQ(result["cards"], whole["cards"]);
        EXPECT_EQ(result["rows"], rows.size());
        EXPECT_EQ(result["flows"], json::array());
    }
    // Slot 1's 2,500 rows cross two part boundaries; the empty card has its part.
    const Streamed all = show_streamed(c, json::object());
    std::map<int, int> parts_of;
    for (const json &part : all.parts) {
        ++parts_of[part["slot"].get<int>()];
    }
    EXPECT_EQ(parts_of, (std::map<int, int>{{1, 3}, {2, 1}, {3, 2}, {5, 1}}));
    c.stop_all();
}

// A card lost while the snapshot waits for its display: the slots before it
// keep their exact rows, it gets its error, the slot after it still comes.
// Then a reader that stops reading: the snapshot waits for it, so when it is
// dropped it had about 1 MiB unsent (the pace), not the chassis's.
TEST(Snapshot, ACardLostMidwayIsItsSlotsErrorAndAStoppedReaderHoldsOnlyItsPace) {
    Chassis c;
    c.start_supervisor({"--client-timeout", "1500", "--timeout", "20000"});
    for (const int slot : {1, 2, 3}) {
        c.start_card({.slot = slot, .counters = "1:8000"});
    }
    for (const int slot : {1, 2, 3}) {
        ASSERT_TRUE(c.wait_card_state(slot, "ready")) << c.logs();
    }
    apply_text(c, flow_set(1, 8000) + flow_set(2, 8000) + flow_set(3, 8000));

    {
        c.card(2).signal(SIGSTOP); // its display will not come
        RpcClient client(c.control_socket());
        client.send_raw(R"({"jsonrpc":"2.0","id":1,"method":"flow.show","params":{"stream":true}})"
                        "\n");
        std::vector<json> parts;
        while (parts.empty() || !parts.back().contains("card")) {
            const auto line = client.read_line(20s);
            ASSERT_TRUE(line) << c.logs();
            parts.push_back(json::parse(*line)["params"]);
        }
        ASSERT_EQ(parts.back()["slot"], 1); // slot 1 is out, slot 2 waited for
        c.card(2).signal(SIGKILL);
        c.card(2).wait(5s);
        c.forget_card(2);
        json result;
        while (const auto line = client.read_line(20s)) {
            const json message = json::parse(*line);
            if (message.contains("id")) {
                result = message["result"];
                break;
            }
            parts.push_back(message["params"]);
        }
        ASSERT_FALSE(result.is_null()) << c.logs();
        std::map<int, json> cards;
        std::map<int, size_t> counted;
        for (const json &part : parts) {
            for (const json &row : part["flows"]) {
                counted[part["slot"].get<int>()] += row["counter"].is_null() ? 0 : 1;
            }
            if (part.contains("card")) {
                cards[part["slot"].get<int>()] = part["card"];
            }
        }
        EXPECT_EQ(counted[1], 8000u);
        EXPECT_EQ(counted[2], 0u);
        EXPECT_EQ(counted[3], 8000u);
        EXPECT_TRUE(cards[1]["complete"].get<bool>());
        EXPECT_FALSE(cards[2]["error"].is_null()) << cards[2].dump();
        EXPECT_TRUE(cards[3]["complete"].get<bool>()) << cards[3].dump();
        EXPECT_EQ(result["rows"], 24000);
    }

    {
        // Three snapshots asked at once on one connection, two written as
        // one line each, one streamed: each waits behind the line before it,
        // none for ever.
        RpcClient client(c.control_socket());
        std::string asks;
        for (const auto &[id, params] :
             {std::pair{1, json::object()}, {2, json::object()}, {3, json{{"stream", true}}}}) {
            asks +=
                json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "flow.show"}, {"params", params}}
                    .dump() +
                "\n";
        }
        client.send_raw(asks);
        std::map<int, size_t> rows;
        size_t streamed = 0;
        while (rows.size() < 3) {
            const auto line = client.read_line(20s);
            ASSERT_TRUE(line) << rows.size() << " answers\n" << c.logs();
            // The one-line answers are counted, not parsed: a slow reader
            // here would be dropped by the short --client-timeout.
            if (line->starts_with(R"({"id":3,)")) {
                rows[3] = json::parse(*line)["result"]["rows"];
            } else if (line->starts_with(R"({"id":)")) {
                rows[(*line)[6] - '0'] = count_of(*line, R"("counter":)");
            } else {
                streamed += json::parse(*line)["params"]["flows"].size();
            }
        }
        EXPECT_EQ(rows, (std::map<int, size_t>{{1, 24000}, {2, 24000}, {3, 24000}}));
        EXPECT_EQ(streamed, 24000u);
    }

    RpcClient stopped(c.control_socket());
    stopped.send_raw(R"({"jsonrpc":"2.0","id":1,"method":"flow.show","params":{}})"
                     "\n");
    // Served meanwhile.
    const Outcome cards = run("flowctl", {"--control", "unix:" + c.control_socket(), "cards"});
    EXPECT_EQ(cards.status, 0) << cards.out;
    std::smatch unsent;
    const std::regex dropped("no output written for 1500 ms \\(([0-9]+) bytes unsent\\)");
    std::string log;
    ASSERT_TRUE(wait_until(
        [&] {
            log = c.supervisor().log();
            return std::regex_search(log, unsent, dropped);
        },
        20s))
        << c.logs();
    // The whole answer is 4.5 MB; the supervisor goes on below 1 MiB unsent, a piece of
    // 1,024 rows (about 190 kB) at a time.
    const size_t bytes = std::stoul(unsent[1].str());
    EXPECT_LT(bytes, 1'500'000u);
    // The supervisor still shows the chassis to the next client.
    const json whole = c.result("flow.show", json::object());
    EXPECT_EQ(whole["flows"].size(), 24000u);
    c.stop_all();
}

} // namespace
