// flowctl's output: tables stay aligned whatever the widths, incomplete
// totals are never printed as exact, JSON reads back with every 64-bit count
// intact, Prometheus text passes a strict checker, rates are computed only
// where they mean something, and bad arguments exit 2 without a supervisor.
//
// With FLOWCTL_PROM_SAMPLE set, the Prometheus test also writes its text
// there, for the second check by the packaged Python parser (CMakeLists).

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "errors.h"
#include "format.h"
#include "harness.h"
#include "show_stream.h"
#include "usage.h"
#include "watch.h"

namespace {

using flowctl::FlowRow;
using flowctl::json;
using flowctl::Snapshot;
using model::FlowKey;
using model::FlowType;

constexpr uint64_t kMax = UINT64_MAX;
constexpr uint64_t kAbove53 = (uint64_t{1} << 53) + 1; // not a double

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

FlowRow flow(uint32_t slot, FlowKey key, std::optional<uint32_t> counter, uint64_t frames,
             uint64_t bytes, bool complete = true,
             std::optional<model::FlowStatus> status = model::FlowStatus::Applied,
             uint32_t code = 0) {
    return {slot, key, counter, frames, bytes, complete, status, code, {}, false};
}

// What a writer makes of a snapshot handed over in parts of at most part
// rows of one slot each, as the supervisor streams it.
template <class Writer>
std::string written(const Snapshot &s, size_t part = SIZE_MAX) {
    std::string text;
    Writer writer([&text](std::string_view piece) { text += piece; });
    for (size_t i = 0; i < s.flows.size();) {
        size_t n = 0;
        while (i + n < s.flows.size() && n < part && s.flows[i + n].slot == s.flows[i].slot) {
            ++n;
        }
        writer.rows(std::span(s.flows).subspan(i, n));
        i += n;
    }
    EXPECT_TRUE(writer.finish(s.cards));
    return text;
}

constexpr auto kReady = model::CardState::Ready;
const FlowKey kVsan10{FlowType::Vsan, 10, 0, 0};
const FlowKey kDomain{FlowType::Domain, 10, 0x120000, 0x130000};
const FlowKey kExact{FlowType::Exact, 10, 0x120101, 0x130202};

// ---- tables ---------------------------------------------------------------------

// The end column of a right-aligned header title; every cell of that column
// must end there too.
size_t title_end(const std::string &header, const std::string &title) {
    const size_t at = header.find(title);
    EXPECT_NE(at, std::string::npos) << title;
    return at + title.size();
}

TEST(FlowTable, NumbersOfOneToTwentyDigitsStayAligned) {
    Snapshot s;
    uint64_t v = 1;
    for (int digits = 1; digits <= 20; ++digits) {
        const uint64_t value = digits == 20 ? kMax : v;
        s.flows.push_back(flow(static_cast<uint32_t>(1 + digits % 64),
                               {FlowType::Exact, static_cast<uint32_t>(digits * 200),
                                0x010000u + static_cast<uint32_t>(digits), 0x020000},
                               static_cast<uint32_t>(value % 65535), value, kMax / value,
                               digits % 3 != 0));
        v *= 10;
    }
    const std::vector<std::string> lines = lines_of(written<flowctl::TableWriter>(s));
    ASSERT_EQ(lines.size(), s.flows.size() + 2); // and the incomplete marker
    // The digits end under the title's last letter, the marker after it.
    const size_t frames_end = title_end(lines[0], "FRAMES");
    const size_t bytes_end = title_end(lines[0], "BYTES");
    const size_t counter_end = title_end(lines[0], "COUNTER");
    const size_t vsan_end = title_end(lines[0], "VSAN");
    for (size_t i = 0; i < s.flows.size(); ++i) {
        const FlowRow &f = s.flows[i];
        const std::string &line = lines[i + 1];
        SCOPED_TRACE(line);
        const char mark = f.complete ? ' ' : flowctl::kIncompleteMark;
        struct Cell {
            size_t end;
            std::string text;
        };
        for (const Cell &c : {Cell{frames_end + 1, std::to_string(f.frames) + mark},
                              Cell{bytes_end + 1, std::to_string(f.bytes) + mark},
                              Cell{counter_end, std::to_string(*f.counter)},
                              Cell{vsan_end, std::to_string(f.key.vsan)}}) {
            ASSERT_GE(c.end, c.text.size() + 1);
            EXPECT_EQ(line.substr(c.end - c.text.size(), c.text.size()), c.text);
            EXPECT_EQ(line[c.end - c.text.size() - 1], ' ') << "cell runs into its neighbour";
        }
        EXPECT_EQ(line.back() == ' ', false) << "trailing spaces";
    }
}

TEST(FlowTable, IncompleteAndAbsentTotalsAreNeverShownAsExact) {
    Snapshot s;
    s.flows = {flow(1, kVsan10, 1, 100, 6400, true), flow(1, kDomain, 2, 50, 3200, false),
               flow(1, kExact, std::nullopt, 0, 0, false, model::FlowStatus::Refused, 0x404e003a),
               flow(2, kExact, std::nullopt, 0, 0, false, model::FlowStatus::Pending)};
    s.cards = {{1, kReady, false, {}}, {2, model::CardState::Down, false, "card down"}};
    s.flows[0].name = "core-a";
    s.flows[0].cleared = true;
    const std::string table = written<flowctl::TableWriter>(s);
    const std::vector<std::string> lines = lines_of(table);
    ASSERT_EQ(lines.size(), 7u);
    // A name and a clear add their columns; a flow the card lacks has neither.
    EXPECT_TRUE(lines[0].ends_with("STATUS                      NAME    SINCE")) << table;
    EXPECT_TRUE(lines[1].ends_with("core-a  clear")) << table;
    EXPECT_TRUE(lines[2].ends_with("-       boot")) << table;
    EXPECT_TRUE(lines[3].ends_with("-       -")) << table;
    EXPECT_NE(lines[1].find("100 "), std::string::npos);
    EXPECT_EQ(lines[1].find(flowctl::kIncompleteMark), std::string::npos);
    EXPECT_NE(lines[2].find("50+"), std::string::npos);
    EXPECT_NE(lines[2].find("3200+"), std::string::npos);
    EXPECT_NE(lines[2].find("0x12xxxx  0x13xxxx"), std::string::npos);
    // Not on the card: no counts at all, and the refusal by name.
    EXPECT_EQ(lines[3].find(" 0 "), std::string::npos);
    EXPECT_NE(lines[3].find("refused COUNTERS_EXHAUSTED"), std::string::npos);
    EXPECT_NE(lines[4].find("pending"), std::string::npos);

    EXPECT_EQ(lines[5].rfind(std::string(1, flowctl::kIncompleteMark) + " incomplete", 0), 0u);
    EXPECT_EQ(lines[6].rfind("slot 2: card down", 0), 0u);

    Snapshot exact;
    exact.flows = {s.flows[0]};
    EXPECT_EQ(lines_of(written<flowctl::TableWriter>(exact)).size(), 2u) << "no footnotes";
}

// ---- decoding and JSON --------------------------------------------------------------

Snapshot sample_snapshot() {
    Snapshot s;
    s.flows = {flow(1, kVsan10, 65534, kMax, kAbove53, true),
               flow(1, kDomain, 2, kAbove53, kMax - 1, false),
               flow(3, kExact, std::nullopt, 0, 0, false, model::FlowStatus::Refused, 0x404e003a),
               flow(3, {FlowType::Exact, 4095, 0xffffff, 0x010000}, 7, 0, 0, true, std::nullopt)};
    s.cards = {{1, kReady, false, {}},
               {3, model::CardState::Replaying, false, "display failed: timeout"}};
    s.flows[0].name = "core-a";
    s.flows[0].cleared = true;
    return s;
}

TEST(FlowJson, ReadsBackExactlyWithTheDocumentedFields) {
    const Snapshot s = sample_snapshot();
    const json doc = json::parse(written<flowctl::JsonWriter>(s));
    ASSERT_EQ(doc["flows"].size(), s.flows.size());
    const json want = json::parse(R"([
        {"slot": 1, "type": "vsan", "vsan": 10, "sid": "0x000000", "did": "0x000000",
         "counter": 65534, "frames": 18446744073709551615, "bytes": 9007199254740993,
         "complete": true, "status": "applied", "code": 0, "refusal": null, "name": "core-a",
         "cleared": true},
        {"slot": 1, "type": "domain", "vsan": 10, "sid": "0x120000", "did": "0x130000",
         "counter": 2, "frames": 9007199254740993, "bytes": 18446744073709551614,
         "complete": false, "status": "applied", "code": 0, "refusal": null, "name": "",
         "cleared": false},
        {"slot": 3, "type": "exact", "vsan": 10, "sid": "0x120101", "did": "0x130202",
         "counter": null, "frames": 0, "bytes": 0, "complete": false, "status": "refused",
         "code": 1078853690, "refusal": "COUNTERS_EXHAUSTED", "name": "", "cleared": false}])");
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(doc["flows"][i], want[i]);
    }
    EXPECT_EQ(doc["cards"][1]["error"], "display failed: timeout");
    EXPECT_TRUE(doc["cards"][0]["error"].is_null());

    // flowctl's schema is a superset of the supervisor's: it decodes to the
    // same snapshot.
    const auto back = api::decode_show(doc);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(written<flowctl::JsonWriter>(*back), written<flowctl::JsonWriter>(s));
}

// A flow.show.part line as the supervisor writes it (its row writer).
std::string part_line(const std::vector<FlowRow> &rows, const json &card, int64_t id = 7) {
    api::FlowText text;
    text.raw(R"({"jsonrpc":"2.0","method":"flow.show.part","params":{"id":)" + std::to_string(id) +
             R"(,"slot":)" + std::to_string(rows.empty() ? 1 : rows[0].slot) + R"(,"flows":[)");
    for (const FlowRow &r : rows) {
        text.show_row(r);
    }
    text.raw("]" + (card.is_null() ? std::string() : ",\"card\":" + card.dump()) + "}}");
    return text.take();
}

TEST(FlowJson, MalformedResultsAndPartsAreRefused) {
    const Snapshot sample = sample_snapshot();
    const json good = json::parse(written<flowctl::JsonWriter>(sample));
    // The same faults in a streamed part: its rows are the first flow's slot's.
    const std::vector<FlowRow> first_slot(sample.flows.begin(), sample.flows.begin() + 2);
    const json good_part = json::parse(part_line(first_slot, api::to_json(sample.cards[0])));
    struct Case {
        const char *what;
        const char *path; // JSON pointer into the first flow
        json value;
    };
    const Case cases[] = {
        {"negative frames", "/flows/0/frames", -1},
        {"frames as a double", "/flows/0/frames", 1e20},
        {"frames as a string", "/flows/0/frames", "12"},
        {"unknown type", "/flows/0/type", "port"},
        {"SID not hex", "/flows/0/sid", "0xzz"},
        {"SID too wide", "/flows/0/sid", "0x1000000"},
        {"SID number too wide", "/flows/0/sid", 0x1000000},
        {"complete missing", "/flows/0/complete", nullptr},
        {"slot over 32 bits", "/flows/0/slot", uint64_t{1} << 32},
        {"flows not a list", "/flows", json::object()},
        {"unknown flow status", "/flows/0/status", "gone"},
        {"unknown card state", "/cards/0/state", "up"},
    };
    api::ShowPart part;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json bad = good;
        bad[json::json_pointer(c.path)] = c.value;
        const auto decoded = api::decode_show(bad);
        ASSERT_FALSE(decoded);
        EXPECT_EQ(decoded.error().code, model::Errc::Protocol);
        EXPECT_FALSE(decoded.error().message.empty());

        json bad_part = good_part;
        std::string path = c.path;
        path = path.starts_with("/cards/0") ? "/params/card" + path.substr(8) : "/params" + path;
        bad_part[json::json_pointer(path)] = c.value;
        const auto part_decoded = api::decode_show_part(bad_part.dump(), part);
        ASSERT_FALSE(part_decoded);
        EXPECT_EQ(part_decoded.error().code, model::Errc::Protocol);
    }
    EXPECT_FALSE(api::decode_show(json::array()));
    const auto taken = api::decode_show_part(good_part.dump(), part);
    ASSERT_TRUE(taken && *taken);
    EXPECT_EQ(part.flows, first_slot);
    EXPECT_EQ(part.card, sample.cards[0]);
    EXPECT_EQ(part.id, 7);
    // Other lines are not parts: read as usual by the caller.
    for (const char *other :
         {R"({"id":7,"jsonrpc":"2.0","result":{"flows":[],"cards":[],"rows":0}})",
          R"({"jsonrpc":"2.0","method":"flow.apply.progress","params":{}})",
          R"({"jsonrpc":"2.0","method":"flow.show.part","id":3,"params":{}})", "not json"}) {
        const auto other_taken = api::decode_show_part(other, part);
        EXPECT_TRUE(other_taken && !*other_taken) << other;
    }
}

// Every format writes a snapshot the same whether it came whole or in parts
// (one row, a few, the supervisor's 1,024), across slots and within a slot
// of more than 1,024 rows; the table lays its columns out from its first
// 1,024 rows, and a wider cell after them pushes its line, cut short never.
TEST(ShowStream, PartsWriteWhatTheWholeSnapshotWrites) {
    Snapshot s;
    for (uint32_t i = 0; i < 2500; ++i) {
        s.flows.push_back(flow(
            1, {FlowType::Exact, 10 + i % 3, 0x010000 + i, 0x020000}, i + 1, i * 7, i * 700,
            i % 500 != 3, i % 400 == 9 ? model::FlowStatus::Refused : model::FlowStatus::Applied,
            i % 400 == 9 ? 0x404e003a : 0));
        s.flows.back().name = i % 5 == 0 ? "f" + std::to_string(i) : "";
    }
    s.flows.push_back(flow(2, kVsan10, std::nullopt, 0, 0, false, model::FlowStatus::Pending));
    s.flows.push_back(flow(4, kExact, 9, kMax, kMax, true)); // wider than the first 1,024
    s.cards = {{1, kReady, false, {}},
               {2, model::CardState::Down, false, "card down"},
               {3, kReady, true, {}},
               {4, kReady, true, {}}};
    const std::string table = written<flowctl::TableWriter>(s);
    const std::string json_text = written<flowctl::JsonWriter>(s);
    const std::string prometheus = written<flowctl::PrometheusWriter>(s);
    EXPECT_EQ(prometheus, flowctl::flows_prometheus(s)) << "a file spool, or one in memory";
    for (const size_t part : {size_t{1}, size_t{3}, size_t{1024}}) {
        SCOPED_TRACE(part);
        EXPECT_EQ(written<flowctl::TableWriter>(s, part), table);
        EXPECT_EQ(written<flowctl::JsonWriter>(s, part), json_text);
        EXPECT_EQ(written<flowctl::PrometheusWriter>(s, part), prometheus);
    }
    // JSON: each row as flow_json writes it, the cards after the rows.
    const json doc = json::parse(json_text);
    ASSERT_EQ(doc["flows"].size(), s.flows.size());
    for (size_t i = 0; i < s.flows.size(); i += 97) {
        EXPECT_EQ(doc["flows"][i].dump(), flowctl::flow_json(s.flows[i]).dump());
    }
    EXPECT_EQ(doc["cards"].size(), 4u);
    const std::vector<std::string> lines = lines_of(table);
    const std::string late = lines[s.flows.size()];
    EXPECT_NE(late.find(" 18446744073709551615   18446744073709551615   applied"),
              std::string::npos)
        << late;
    EXPECT_EQ(lines[1].find("applied"), lines[1024].find("applied")) << "the head aligned";
    EXPECT_EQ(lines[s.flows.size() + 2].rfind("slot 2: card down", 0), 0u);
}

TEST(CardsJson, DownCardsKeepEveryFieldAsNull) {
    const json list = json::parse(R"({"cards": [
        {"slot": 1, "state": "ready", "flows": 3, "applied": 2, "card_flows": 3,
         "counters_used": 3, "counter_first": 1, "counter_size": 100,
         "frames": 18446744073709551615, "bytes": 9007199254740993, "mismatches": 0,
         "queries_checked": 9, "traffic_pps": 1000, "traffic_paused": true, "uptime_s": 61,
         "boot_id": "5f3a"},
        {"slot": 2, "state": "down", "flows": 1, "applied": 0, "card_flows": null,
         "uptime_s": null}]})");
    const auto cards = api::decode_cards(list);
    ASSERT_TRUE(cards) << cards.error().message;
    const json out = json::parse(flowctl::cards_json(*cards).dump());
    EXPECT_EQ(out["cards"][0]["frames"].get<uint64_t>(), kMax);
    EXPECT_EQ(out["cards"][0]["bytes"].get<uint64_t>(), kAbove53);
    EXPECT_EQ(out["cards"][0]["traffic_paused"], true);
    EXPECT_EQ(out["cards"][0]["boot_id"], "5f3a");
    for (const auto &[field, value] : out["cards"][0].items()) {
        EXPECT_TRUE(out["cards"][1].contains(field)) << field;
    }
    EXPECT_TRUE(out["cards"][1]["uptime_s"].is_null());
    EXPECT_TRUE(out["cards"][1]["mismatches"].is_null());

    const std::vector<std::string> lines = lines_of(flowctl::cards_table(*cards));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find("1..99"), std::string::npos);
    EXPECT_NE(lines[1].find("1m01s"), std::string::npos);
    EXPECT_NE(lines[1].find("1000 pps paused"), std::string::npos);
    EXPECT_NE(lines[2].find("down"), std::string::npos);
}

TEST(Failures, ExitCodesAndJsonFollowTheSupervisorsError) {
    struct Case {
        jsonrpc::Error error;
        flowctl::ExitCode exit;
        const char *status;
    };
    using namespace jsonrpc;
    using namespace flowctl;
    const json refusal = {{"status", "COUNTERS_EXHAUSTED"}, {"code", 0x404e003a}};
    // clang-format off
    const Case cases[] = {
        {{kCardRefused, "counters exhausted (0x404e003a)", refusal}, kExitRefused, "COUNTERS_EXHAUSTED"},
        {{kCardRefused, "code only", {{"code", 0x404e003a}}}, kExitRefused, "COUNTERS_EXHAUSTED"},
        {{kCardRefused, "no data", nullptr}, kExitRefused, "REFUSED"},
        {{kCardDown, "down", {{"slot", 4}}}, kExitCardDown, "CARD_DOWN"},
        {{kNoReply, "late", {{"slot", 4}, {"timeout_ms", 2000}}}, kExitNoReply, "NO_REPLY"},
        {{kInvalidParams, "slot", nullptr}, kExitBadArguments, "BAD_ARGUMENTS"},
        {{kBusy, "busy", nullptr}, kExitFailure, "BUSY"},
        {{kStoreFailed, "db", nullptr}, kExitFailure, "STORE_FAILED"},
        {{kDenied, "permission denied: uid 9", nullptr}, kExitDenied, "PERMISSION_DENIED"},
        {{kTooManyClients, "too many clients (64)", nullptr}, kExitTooManyClients, "TOO_MANY_CLIENTS"},
        {{kForbidden, "forbidden: flow.add needs the admin role", nullptr}, kExitForbidden, "FORBIDDEN"},
        {{kNotConfigured, "slot 1 vsan 9 is not configured", nullptr}, kExitRefused, "NOT_CONFIGURED"},
        {{kAlreadyConfigured, "configured", {{"status", "FLOW_EXISTS"}, {"code", 0x4052000f}}}, kExitRefused, "FLOW_EXISTS"},
        {{kMethodNotFound, "no", nullptr}, kExitFailure, "FAILED"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error.message);
        const flowctl::Failure f = flowctl::from_error(jsonrpc::from_jsonrpc(c.error));
        EXPECT_EQ(f.exit, c.exit);
        EXPECT_EQ(f.status, c.status);
        const json j = json::parse(flowctl::failure_json(f).dump());
        EXPECT_EQ(j["error"]["code"], c.error.code);
        EXPECT_EQ(j["error"]["message"], c.error.message);
        EXPECT_EQ(j["error"]["status"], c.status);
        EXPECT_EQ(j["error"]["exit"], static_cast<int>(c.exit));
        if (c.error.data.is_object() && c.error.data.contains("slot")) {
            EXPECT_EQ(j["error"]["slot"], c.error.data["slot"]);
        }
    }
    // flowctl's own failures carry no JSON-RPC code; its own wait is not the
    // supervisor's (which names the slot).
    const json local = flowctl::failure_json(flowctl::unreachable("cannot connect"));
    EXPECT_TRUE(local["error"]["code"].is_null());
    EXPECT_EQ(local["error"]["status"], "UNREACHABLE");
    EXPECT_EQ(local["error"]["exit"], 5);
    const json late =
        flowctl::failure_json(flowctl::from_error(model::error(model::Errc::NoReply, "late")));
    EXPECT_TRUE(late["error"]["code"].is_null());
    EXPECT_EQ(late["error"]["exit"], 4);
}

// ---- Prometheus ---------------------------------------------------------------------

// A strict reader of the text exposition format as flowctl writes it: HELP
// then TYPE before a family's samples, families contiguous and not repeated,
// label names and escapes valid, no series twice, values whole numbers.
struct Series {
    std::string name;
    std::map<std::string, std::string> labels;
    std::string value;
};

std::vector<Series> strict_parse(const std::string &text,
                                 std::map<std::string, std::string> *types) {
    static const std::regex help(R"(# HELP ([a-zA-Z_][a-zA-Z0-9_]*) \S.*)");
    static const std::regex type(R"(# TYPE ([a-zA-Z_][a-zA-Z0-9_]*) (counter|gauge))");
    static const std::regex sample(R"(([a-zA-Z_][a-zA-Z0-9_]*)\{(.*)\} ([0-9]+))");
    static const std::regex label(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\[\\"n])*)\"(,|$))");
    EXPECT_TRUE(!text.empty() && text.back() == '\n');
    std::vector<Series> out;
    std::string helped, family;
    std::set<std::string> families, series;
    for (const std::string &line : lines_of(text)) {
        SCOPED_TRACE(line);
        std::smatch m;
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(families.insert(m[1]).second) << "family repeated";
            helped = m[1];
            family.clear();
        } else if (std::regex_match(line, m, type)) {
            EXPECT_EQ(m[1], helped) << "TYPE without its HELP";
            (*types)[m[1]] = m[2];
            family = m[1];
        } else if (std::regex_match(line, m, sample)) {
            Series s{m[1], {}, m[3]};
            EXPECT_EQ(s.name, family) << "sample outside its family";
            const std::string labels = m[2];
            size_t consumed = 0;
            for (std::sregex_iterator it(labels.begin(), labels.end(), label), end; it != end;
                 ++it) {
                EXPECT_EQ(it->position(), static_cast<long>(consumed)) << "junk between labels";
                consumed = it->position() + it->length();
                std::string value = (*it)[2];
                value = std::regex_replace(value, std::regex(R"(\\n)"), "\n");
                value = std::regex_replace(value, std::regex(R"(\\(["\\]))"), "$1");
                EXPECT_TRUE(s.labels.emplace((*it)[1], value).second) << "label twice";
            }
            EXPECT_EQ(consumed, labels.size()) << "bad labels";
            std::string id = s.name;
            for (const auto &[k, v] : s.labels) {
                id += "|" + k + "=" + v;
            }
            EXPECT_TRUE(series.insert(id).second) << "series twice";
            out.push_back(std::move(s));
        } else {
            ADD_FAILURE() << "not a line of the format";
        }
    }
    return out;
}

// The cards of the Prometheus sample: one up with every gauge, one down.
std::vector<flowctl::Card> sample_cards() {
    flowctl::Card up;
    up.slot = 1;
    up.state = kReady;
    up.counters_used = 3;
    up.counter_first = 1;
    up.counter_size = 100; // ids 1..99
    up.mismatches = 0;
    up.queries_checked = 7;
    up.uptime_s = 61;
    flowctl::Card down;
    down.slot = 8;
    return {up, down};
}

TEST(Prometheus, OnlyExactTotalsAreExportedAndOnlyFailedReadsMakeASlotIncomplete) {
    Snapshot s = sample_snapshot();
    s.cards.push_back({5, kReady, true, {}});                 // a card without flows
    s.cards.push_back({6, kReady, false, "display refused"}); // nothing shown, nothing read
    // Refused and pending flows on a card whose display was whole: complete.
    s.cards.push_back({7, kReady, true, {}});
    s.flows.push_back(
        flow(7, kExact, std::nullopt, 0, 0, false, model::FlowStatus::Refused, 0x404e003a));
    s.flows.push_back(flow(7, kVsan10, std::nullopt, 0, 0, false, model::FlowStatus::Pending));
    // A card down: its applied flow could not be read, its pending one waits.
    s.cards.push_back({8, model::CardState::Down, false, "card down"});
    s.flows.push_back(flow(8, kVsan10, std::nullopt, 0, 0, false));
    s.flows.push_back(flow(8, kExact, std::nullopt, 0, 0, false, model::FlowStatus::Pending));
    const std::string text =
        written<flowctl::PrometheusWriter>(s, 1) + flowctl::cards_prometheus(sample_cards());
    if (const char *path = std::getenv("FLOWCTL_PROM_SAMPLE")) {
        std::ofstream(path) << text;
    }
    std::map<std::string, std::string> types;
    const std::vector<Series> series = strict_parse(text, &types);
    EXPECT_EQ(types[flowctl::kFramesMetric], "counter");
    EXPECT_EQ(types[flowctl::kBytesMetric], "counter");
    for (const char *gauge :
         {flowctl::kCompleteMetric, flowctl::kOmittedMetric, flowctl::kConfiguredMetric,
          flowctl::kCardStateMetric, flowctl::kCountersFreeMetric, flowctl::kUptimeMetric}) {
        EXPECT_EQ(types[gauge], "gauge") << gauge;
    }

    // Every series but the flows' as "name{labels} value", for one comparison.
    std::map<std::string, std::vector<const Series *>> by_name;
    std::set<std::string> samples;
    for (const Series &x : series) {
        by_name[x.name].push_back(&x);
        if (x.name != flowctl::kFramesMetric && x.name != flowctl::kBytesMetric) {
            std::string id = x.name + "{";
            for (const auto &[k, v] : x.labels) {
                id += k + "=" + v + (k == x.labels.rbegin()->first ? "" : ",");
            }
            samples.insert(id + "} " + x.value);
        }
    }
    // Of the flows only two have exact totals.
    ASSERT_EQ(by_name[flowctl::kFramesMetric].size(), 2u);
    ASSERT_EQ(by_name[flowctl::kBytesMetric].size(), 2u);
    const Series &vsan = *by_name[flowctl::kFramesMetric][0];
    EXPECT_EQ(vsan.value, std::to_string(kMax));
    const std::map<std::string, std::string> want = {{"slot", "1"},       {"type", "vsan"},
                                                     {"vsan", "10"},      {"sid", "0x000000"},
                                                     {"did", "0x000000"}, {"name", "core-a"}};
    EXPECT_EQ(vsan.labels, want);
    EXPECT_EQ(by_name[flowctl::kBytesMetric][0]->value, std::to_string(kAbove53));
    EXPECT_EQ(by_name[flowctl::kFramesMetric][1]->labels.at("sid"), "0xffffff");

    const std::set<std::string> want_samples = {
        // Slot 1 has an incomplete total; 3 and 6 a failed display; 8 is down.
        "acl_tcam_flow_snapshot_complete{slot=1} 0",
        "acl_tcam_flow_snapshot_complete{slot=3} 0",
        "acl_tcam_flow_snapshot_complete{slot=5} 1",
        "acl_tcam_flow_snapshot_complete{slot=6} 0",
        "acl_tcam_flow_snapshot_complete{slot=7} 1",
        "acl_tcam_flow_snapshot_complete{slot=8} 0",
        "acl_tcam_flow_omitted_flows{slot=1} 1",
        "acl_tcam_flow_omitted_flows{slot=3} 0",
        "acl_tcam_flow_omitted_flows{slot=5} 0",
        "acl_tcam_flow_omitted_flows{slot=6} 0",
        "acl_tcam_flow_omitted_flows{slot=7} 0",
        "acl_tcam_flow_omitted_flows{slot=8} 1",
        "acl_tcam_flow_configured_flows{reason=COUNTERS_EXHAUSTED,slot=3,status=refused} 1",
        "acl_tcam_flow_configured_flows{reason=COUNTERS_EXHAUSTED,slot=7,status=refused} 1",
        "acl_tcam_flow_configured_flows{reason=card_ready,slot=7,status=pending} 1",
        "acl_tcam_flow_configured_flows{reason=card_down,slot=8,status=pending} 1",
        "acl_tcam_card_state{slot=1,state=down} 0",
        "acl_tcam_card_state{slot=1,state=replaying} 0",
        "acl_tcam_card_state{slot=1,state=ready} 1",
        "acl_tcam_card_state{slot=8,state=down} 1",
        "acl_tcam_card_state{slot=8,state=replaying} 0",
        "acl_tcam_card_state{slot=8,state=ready} 0",
        // A down card says nothing more.
        "acl_tcam_card_counters_used{slot=1} 3",
        "acl_tcam_card_counters_free{slot=1} 96",
        "acl_tcam_card_counters_size{slot=1} 100",
        "acl_tcam_card_mismatches{slot=1} 0",
        "acl_tcam_card_replies_checked{slot=1} 7",
        "acl_tcam_card_uptime_seconds{slot=1} 61",
    };
    EXPECT_EQ(samples, want_samples);
}

TEST(Prometheus, LabelValuesAreEscaped) {
    // The strict reader undoes it.
    const std::string line =
        "# HELP m h\n# TYPE m gauge\nm{l=\"" + flowctl::prometheus_escape("a\\b\"c\nd") + "\"} 1\n";
    std::map<std::string, std::string> types;
    const auto series = strict_parse(line, &types);
    ASSERT_EQ(series.size(), 1u);
    EXPECT_EQ(series[0].labels.at("l"), "a\\b\"c\nd");
}

// ---- rates ----------------------------------------------------------------------------

TEST(WatchRates, OnlyBetweenComparableSnapshots) {
    struct Case {
        const char *what;
        FlowRow before;
        FlowRow now;
        std::optional<double> fps;
    };
    const auto at = [](std::optional<uint32_t> counter, uint64_t frames, bool complete = true,
                       uint32_t slot = 1) {
        return flow(slot, kExact, counter, frames, frames * 10, complete,
                    counter ? model::FlowStatus::Applied : model::FlowStatus::Pending);
    };
    const Case cases[] = {
        {"steady", at(5, 100), at(5, 300), 100.0},
        {"idle", at(5, 100), at(5, 100), 0.0},
        {"past 2^53", flow(1, kExact, 5, kMax - 10, 0), flow(1, kExact, 5, kMax, 0), 5.0},
        {"went down: re-created", at(5, 300), at(5, 10), std::nullopt},
        {"frames alone went down", flow(1, kExact, 5, 300, 100), flow(1, kExact, 5, 10, 200),
         std::nullopt},
        {"new counter", at(5, 100), at(6, 300), std::nullopt},
        {"incomplete now", at(5, 100), at(5, 300, false), std::nullopt},
        {"incomplete before", at(5, 100, false), at(5, 300), std::nullopt},
        {"not on the card", at(std::nullopt, 0, false), at(std::nullopt, 0, false), std::nullopt},
        {"other slot before", at(5, 100, true, 2), at(5, 300), std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Snapshot before, now;
        before.flows = {c.before};
        now.flows = {c.now};
        const auto r = flowctl::rates(&before, now, 2.0);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].frames_per_s, c.fps);
        EXPECT_EQ(r[0].bytes_per_s.has_value(), c.fps.has_value());
    }
    Snapshot only;
    only.flows = {flow(1, kExact, 5, 1, 1)};
    EXPECT_FALSE(flowctl::rates(nullptr, only, 0)[0].frames_per_s);
}

TEST(WatchRates, FastestFirstUnknownLastInSnapshotOrderAndBoundedToTheFastest) {
    Snapshot before, now;
    for (uint32_t i = 0; i < 7; ++i) {
        const FlowKey k{FlowType::Vsan, 1 + i, 0, 0};
        before.flows.push_back(flow(1 + i / 4, k, i + 1, 0, 0));
        // Rates 0, 30, unknown, 10, unknown, 30 (bytes break the tie), 10
        // (as fast as the fourth: after it).
        const uint64_t frames[] = {0, 30, 0, 10, 0, 30, 10};
        const bool known = i != 2 && i != 4;
        now.flows.push_back(flow(1 + i / 4, k, known ? i + 1 : 99, frames[i], i == 5 ? 1 : 0));
    }
    const std::vector<uint32_t> want = {6, 2, 4, 7, 1, 3, 5};
    const auto vsans = [](const std::vector<flowctl::Rate> &rates) {
        std::vector<uint32_t> order;
        for (const auto &x : rates) {
            order.push_back(x.flow.key.vsan);
        }
        return order;
    };
    EXPECT_EQ(vsans(flowctl::rates(&before, now, 1.0)), want);
    // A screen's worth is the head of the whole list, whatever its size.
    for (size_t k = 0; k <= want.size() + 1; ++k) {
        flowctl::RateTracker tracker;
        tracker.begin(0);
        for (const FlowRow &f : before.flows) {
            tracker.rate(f);
        }
        tracker.end();
        tracker.begin(1.0);
        flowctl::TopRates top(k);
        for (const FlowRow &f : now.flows) {
            top.add(tracker.rate(f));
        }
        EXPECT_EQ(vsans(top.take()),
                  std::vector<uint32_t>(want.begin(), want.begin() + std::min(k, want.size())))
            << k;
    }
}

// ---- the command line without a supervisor ----------------------------------------------

TEST(AuditSince, IsoUtcTimesAndTimesBackFromNow) {
    constexpr uint64_t kNow = 1'765'000'000'000; // 2025-12-06T05:46:40Z
    const struct {
        const char *text;
        std::optional<uint64_t> ms;
    } cases[] = {
        {"1970-01-01", 0},
        {"2025-12-06T05:46:40Z", kNow},
        {"2025-12-06T05:46:40", kNow},
        {"2025-12-06T05:46Z", kNow - 40'000},
        {"30s", kNow - 30'000},
        {"10m", kNow - 600'000},
        {"2h", kNow - 7'200'000},
        {"1d", kNow - 86'400'000},
        {"2025-02-30", std::nullopt},
        {"2025-12-06T24:00:00Z", std::nullopt},
        {"2025-12-06 05:46:40", std::nullopt},
        {"2025-12-06T05:46:40+01:00", std::nullopt},
        {"10y", std::nullopt},
        {"m", std::nullopt},
        {"99999999d", std::nullopt}, // before 1970
    };
    for (const auto &c : cases) {
        EXPECT_EQ(flowctl::parse_since(c.text, kNow), c.ms) << c.text;
    }
    EXPECT_EQ(flowctl::utc_text(kNow + 7), "2025-12-06T05:46:40.007Z");
}

TEST(FlowctlCommandLine, BadArgumentsExitTwoWithoutASupervisor) {
    // No supervisor listens there: a command that got past its arguments
    // would exit 5 (unreachable) instead.
    const std::string nowhere = "--control=unix:/nonexistent/flowctl-test.ctl";
    struct Case {
        std::vector<std::string> args;
        int exit;
    };
    const Case cases[] = {
        {{}, 2},
        {{"add", "1", "vsan"}, 2},
        {{"add", "0", "vsan", "10"}, 2},
        {{"get", "1", "exact", "10", "0x010101"}, 2},
        {{"get", "one", "vsan", "10"}, 2},
        {{"show", "99"}, 2},
        {{"show", "--type", "port"}, 2},
        {{"show", "--vsan", "0"}, 2},
        {{"show", "--format", "xml"}, 2},
        {{"traffic", "1", "fast"}, 2},
        {{"audit", "--since", "yesterday"}, 2},
        {{"--control", "tls:127.0.0.1:1", "cards"}, 2}, // no --tls-* files
        {{"watch", "--interval", "0"}, 2},
        {{"--control", "carrier-pigeon:1", "cards"}, 2},
        {{"shwo"}, 2},
        {{"add", "1", "vsan", "10", "0x010101", "0x020202", "extra"}, 2},
        {{"--format", "prometheus", "add", "1", "vsan", "10"}, 2},
        {{"show", "--raw", "--format", "prometheus"}, 2},
        {{"list", "0"}, 2},
        // Well-formed: they get as far as connecting. Global options go
        // before or after the command.
        {{"get", "1", "domain", "10", "0x010101", "0x020202"}, 5},
        {{"show", "--raw", "1"}, 5},
        {{"--format", "prometheus", "show", "1"}, 5},
        {{"cards", "--format", "prometheus", "--timeout", "100"}, 5},
        {{"list", "1", "2"}, 5},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), nowhere);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(harness::run("flowctl", args).status, c.exit);
        // In JSON mode the same, with the error object on standard output.
        args.insert(args.begin(), "--json");
        const harness::Outcome r = harness::run("flowctl", args);
        EXPECT_EQ(r.status, c.exit);
        const json doc = json::parse(r.out, nullptr, false);
        ASSERT_TRUE(doc.is_object()) << r.out;
        EXPECT_EQ(doc["error"]["exit"], c.exit);
        EXPECT_EQ(doc["error"]["status"], c.exit == 2 ? "BAD_ARGUMENTS" : "UNREACHABLE");
    }
}

TEST(FlowctlCommandLine, TypoSuggestionsAndTheControlAddressFromTheEnvironment) {
    const std::vector<std::string> names = {"add", "del", "get", "show", "list", "watch", "cards"};
    struct Case {
        const char *typed;
        const char *says;
    };
    const Case cases[] = {
        {"shwo", "unknown command 'shwo'; did you mean 'show'?"}, // a swap
        {"lst", "unknown command 'lst'; did you mean 'list'?"},   // a letter missing
        {"crd", "unknown command 'crd'; did you mean 'cards'?"},  // two edits, longer name
        {"crads", "unknown command 'crads'; did you mean 'cards'?"},
        {"frobnicate", "unknown command 'frobnicate'"},
        {"sh", "unknown command 'sh'"}, // two from show: too far for four letters
    };
    for (const Case &c : cases) {
        EXPECT_EQ(flowctl::unknown_command_message(c.typed, names), c.says);
    }
    const harness::Outcome typo = harness::run("flowctl", {"shwo"});
    EXPECT_EQ(typo.status, 2);
    EXPECT_EQ(typo.out, "flowctl: unknown command 'shwo'; did you mean 'show'?\n");

    // --control, then FLOWCTL_CONTROL, then the default.
    ASSERT_EQ(setenv("FLOWCTL_CONTROL", "unix:/nonexistent/from-env.ctl", 1), 0);
    const harness::Outcome env = harness::run("flowctl", {"cards"});
    const harness::Outcome option =
        harness::run("flowctl", {"cards", "--control", "unix:/nonexistent/option.ctl"});
    unsetenv("FLOWCTL_CONTROL");
    EXPECT_NE(env.out.find("/nonexistent/from-env.ctl"), std::string::npos) << env.out;
    EXPECT_NE(option.out.find("/nonexistent/option.ctl"), std::string::npos) << option.out;

    // Each flow command's help gives the forms and an example.
    const harness::Outcome help = harness::run("flowctl", {"add", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("domain V SID DID"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("flowctl add 1 exact 10 0x010101 0x020202"), std::string::npos);
    EXPECT_EQ(help.out.find(" x 2"), std::string::npos) << help.out;
}

} // namespace
