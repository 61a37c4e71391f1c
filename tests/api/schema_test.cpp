// The methods' schema: params survive encoding and decoding, every integer
// refuses its bounds' outside, wrong types are refused with the operator's
// message, results read back, and docs/jsonrpc.md documents every method.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "schema.h"

namespace {

using api::json;
using model::FlowKey;
using model::FlowType;

// As the supervisor gets it: parsed from a line (a literal 1 in a test is a
// signed integer, a parsed one unsigned).
json wire(const json &value) {
    return json::parse(value.dump());
}

template <class T>
T value_of(const api::Result<T> &result) {
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
    return result.ok() ? *result : T{};
}

TEST(SchemaParams, EncodedParamsDecodeToTheSame) {
    const FlowKey exact{FlowType::Exact, 4095, 0x010203, 0xfffffe};
    const FlowKey domain{FlowType::Domain, 1, 0x120000, 0x340000};
    const FlowKey vsan{FlowType::Vsan, 7, 0, 0};
    for (const FlowKey &key : {exact, domain, vsan}) {
        const api::FlowParams params{64, key, {}};
        EXPECT_EQ(value_of(api::decode_flow_params(api::to_json(params))), params);
    }
    const api::ShowParams show{std::vector<uint32_t>{1, 9, 64}, FlowType::Domain, 12, true};
    EXPECT_EQ(value_of(api::decode_show_params(api::to_json(show))), show);
    api::GetParams get;
    get.slot = 3;
    get.key = exact;
    get.since_boot = true;
    EXPECT_EQ(value_of(api::decode_get_params(api::to_json(get))), get);
    for (const api::ClearParams &clear :
         {api::ClearParams{api::FlowParams{2, domain, {}}, {}},
          api::ClearParams{std::nullopt, {std::vector<uint32_t>{4}, FlowType::Vsan, 7, false}}}) {
        EXPECT_EQ(value_of(api::decode_clear_params(api::to_json(clear))), clear);
    }
    EXPECT_EQ(value_of(api::decode_show_params(api::to_json(api::ShowParams{}))),
              api::ShowParams{});
    EXPECT_EQ(value_of(api::decode_list_params(api::to_json(api::ListParams{3}))),
              api::ListParams{3});
    using card_protocol::TrafficAction;
    for (const api::TrafficParams &traffic :
         {api::TrafficParams{2, TrafficAction::Pause, 0},
          api::TrafficParams{2, TrafficAction::Resume, 0},
          api::TrafficParams{2, TrafficAction::Rate, UINT64_MAX}}) {
        EXPECT_EQ(value_of(api::decode_traffic_params(api::to_json(traffic))), traffic);
    }
    const api::AuditParams audit{1765000000000, 20};
    EXPECT_EQ(value_of(api::decode_audit_params(api::to_json(audit))), audit);
}

TEST(SchemaRegistry, OnlyChangesNeedTheAdminRoleAndADryRunIsNone) {
    const struct {
        const char *method;
        json params;
        bool admin;
    } cases[] = {
        {"flow.add", json::object(), true},         {"flow.del", json::object(), true},
        {"flow.clear", json::object(), true},       {"card.traffic", json::object(), true},
        {"flow.apply", {{"dry_run", false}}, true}, {"flow.apply", {{"dry_run", true}}, false},
        {"flow.show", json::object(), false},       {"audit.list", json::object(), false},
    };
    size_t admin_methods = 0;
    for (const api::MethodInfo &m : api::kMethods) {
        admin_methods += m.role != api::Role::Reader;
    }
    EXPECT_EQ(admin_methods, 5u); // the changes the audit trail records
    for (const auto &c : cases) {
        EXPECT_EQ(api::needs_admin(*api::find_method(c.method), c.params), c.admin) << c.method;
    }
    const api::AuditEntry refused{.id = 2,
                                  .time_ms = 5,
                                  .who = "CN=bob",
                                  .method = "flow.add",
                                  .what = "{}",
                                  .ok = false,
                                  .code = -32010,
                                  .message = "no"};
    const std::vector<api::AuditEntry> entries = {
        api::AuditEntry{1, 4, "uid 0 pid 1", "flow.del", "{}", true, 0, ""}, refused};
    EXPECT_EQ(value_of(api::decode_audit(api::to_json(entries))), entries);
}

TEST(SchemaParams, ADomainFlowKeepsOnlyDomainBytesAndShowSlotsAreSorted) {
    const json domain = {
        {"slot", 1}, {"type", "domain"}, {"vsan", 5}, {"sid", "0x12abcd"}, {"did", 0x34ffff}};
    EXPECT_EQ(value_of(api::decode_flow_params(wire(domain))).key,
              (FlowKey{FlowType::Domain, 5, 0x120000, 0x340000}));
    EXPECT_EQ(value_of(api::decode_show_params(wire({{"slots", {9, 2, 9}}}))).slots,
              (std::vector<uint32_t>{2, 9}));
}

struct Bound {
    const char *member;
    uint64_t min, max;
};

// Each integer param, at both ends of its range and just outside.
TEST(SchemaParams, IntegersRefuseValuesOutsideTheirRange) {
    const json exact = {
        {"slot", 1}, {"type", "exact"}, {"vsan", 1}, {"sid", 0x010000}, {"did", 0x010000}};
    const Bound bounds[] = {{"slot", 1, 64},
                            {"vsan", 1, 4095},
                            {"sid", 0x010000, 0xffffff},
                            {"did", 0x010000, 0xffffff}};
    for (const Bound &b : bounds) {
        SCOPED_TRACE(b.member);
        for (const uint64_t good : {b.min, b.max}) {
            json params = exact;
            params[b.member] = good;
            EXPECT_TRUE(api::decode_flow_params(wire(params)).ok());
        }
        for (const uint64_t bad : {b.min - 1, b.max + 1}) {
            json params = exact;
            params[b.member] = bad;
            const auto decoded = api::decode_flow_params(wire(params));
            ASSERT_FALSE(decoded.ok());
            EXPECT_EQ(decoded.error().code, model::Errc::InvalidParams);
            EXPECT_NE(decoded.error().message.find(std::to_string(b.max)), std::string::npos)
                << decoded.error().message;
        }
    }
    for (const json &params : {json{{"slot", 0}}, json{{"slot", 65}}}) {
        EXPECT_FALSE(api::decode_slot_params(wire(params)).ok()) << params;
        EXPECT_FALSE(api::decode_list_params(wire(params)).ok()) << params;
        EXPECT_FALSE(
            api::decode_traffic_params(wire({{"slot", params["slot"]}, {"action", "pause"}})).ok());
        EXPECT_FALSE(api::decode_show_params(wire({{"slots", {params["slot"]}}})).ok()) << params;
    }
    for (const json &vsan : {json(0), json(4096)}) {
        EXPECT_FALSE(api::decode_show_params(wire({{"vsan", vsan}})).ok()) << vsan;
    }
}

// Every decoder with a param of the wrong type: refused, with the message an
// operator reads (the supervisor's answers have always said these).
TEST(SchemaParams, WrongTypesAreRefusedWithTheirMessage) {
    struct Case {
        const char *method;
        json params;
        const char *message;
    };
    const json flow = {{"slot", 1}, {"type", "exact"}, {"vsan", 1}};
    // clang-format off
    const Case cases[] = {
        {"flow.add", json::array(), "params must be an object naming a flow"},
        {"flow.add", json::array({1}), "params must be an object"},
        {"flow.del", {{"slot", "1"}}, "slot must be an integer in 1..64"},
        {"flow.get", {{"slot", -1}}, "slot must be an integer in 1..64"},
        {"flow.get", {{"slot", 1.5}}, "slot must be an integer in 1..64"},
        {"flow.add", {{"slot", 1}}, "type must be \"vsan\", \"domain\" or \"exact\""},
        {"flow.add", {{"slot", 1}, {"type", 1}}, "type must be \"vsan\", \"domain\" or \"exact\""},
        {"flow.add", {{"slot", 1}, {"type", "vsan"}}, "missing vsan"},
        {"flow.add", flow, "missing sid"},
        {"flow.add", {{"slot", 1}, {"type", "exact"}, {"vsan", 1}, {"sid", true}},
         "sid must be a number in 65536..16777215"},
        {"flow.add", {{"slot", 1}, {"type", "exact"}, {"vsan", 1}, {"sid", "0x010000"}, {"did", "x"}},
         "did must be a number in 65536..16777215"},
        {"card.status", json::object(), "missing slot"},
        {"card.display", {{"slot", "7"}}, "slot must be an integer in 1..64"},
        {"flow.list", {{"slot", false}}, "slot must be an integer in 1..64"},
        {"flow.show", {{"slots", 3}}, "slots must be an array of slots 1..64"},
        {"flow.show", {{"slots", {"3"}}}, "slots must be an array of slots 1..64"},
        {"flow.show", {{"type", "all"}}, "type must be \"vsan\", \"domain\" or \"exact\""},
        {"flow.show", {{"vsan", "5"}}, "vsan must be an integer in 1..4095"},
        {"flow.show", {{"since_boot", 1}}, "since_boot must be true or false"},
        {"flow.clear", {{"slot", 1}, {"slots", {1}}},
         "slot (one flow) and slots (a selection) exclude each other"},
        {"flow.clear", {{"slot", 1}}, "type must be \"vsan\", \"domain\" or \"exact\""},
        {"card.traffic", {{"slot", 1}}, "action must be \"pause\", \"resume\" or \"rate\""},
        {"card.traffic", {{"slot", 1}, {"action", 3}}, "action must be \"pause\", \"resume\" or \"rate\""},
        {"card.traffic", {{"slot", 1}, {"action", "rate"}}, "missing pps"},
        {"card.traffic", {{"slot", 1}, {"action", "rate"}, {"pps", -5}},
         "pps must be an integer in 0..18446744073709551615"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.params.dump());
        const model::Status status = api::check_params(c.method, wire(c.params));
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().code, model::Errc::InvalidParams);
        EXPECT_EQ(status.error().message, c.message);
    }
    EXPECT_EQ(api::check_params("flow.nope", json::object()).error().code,
              model::Errc::UnknownMethod);
    EXPECT_TRUE(api::check_params("cards.list", json::array()).ok());
}

TEST(SchemaResults, ResultsReadBackAndMalformedOnesAreProtocolFailures) {
    for (const api::ChangeResult &change :
         {api::ChangeResult{0x4052000f, model::FlowStatus::Applied, std::nullopt},
          api::ChangeResult{0, model::FlowStatus::Pending, 3000}}) {
        EXPECT_EQ(value_of(api::decode_change(api::to_json(change))), change);
    }
    const api::GetResult get{UINT64_MAX, 12};
    EXPECT_EQ(value_of(api::decode_get(json::parse(api::to_text(get)))), get);
    const api::DisplayResult display{3, 2, "Flow table\n"};
    EXPECT_EQ(value_of(api::decode_display(api::to_json(display))), display);

    const json bad[] = {json::array(), json{{"frames", -1}, {"bytes", 0}},
                        json{{"frames", "1"}, {"bytes", 0}}, json{{"frames", 1}}};
    for (const json &result : bad) {
        const auto decoded = api::decode_get(result);
        ASSERT_FALSE(decoded.ok()) << result;
        EXPECT_EQ(decoded.error().code, model::Errc::Protocol);
    }
    EXPECT_FALSE(api::decode_change({{"code", 0}, {"flow_status", "gone"}}).ok());
}

TEST(SchemaRegistry, MethodsListIsTheRegistryAndTheDocsDocumentEachMethod) {
    const json listed = api::methods_json()["methods"];
    ASSERT_EQ(listed.size(), api::kMethods.size());
    std::ifstream file(JSONRPC_DOC);
    ASSERT_TRUE(file) << JSONRPC_DOC;
    std::stringstream text;
    text << file.rdbuf();
    std::string headings; // every "### " line, concatenated
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("### ", 0) == 0) {
            headings += line + "\n";
        }
    }
    for (size_t i = 0; i < api::kMethods.size(); ++i) {
        const std::string name = api::kMethods[i].name;
        EXPECT_EQ(listed[i]["name"], name);
        EXPECT_EQ(api::find_method(name), &api::kMethods[i]);
        EXPECT_NE(headings.find("`" + name + "`"), std::string::npos)
            << name << " has no heading in docs/jsonrpc.md";
    }
}

} // namespace
