// JSON-RPC framing: every class of malformed request refused with its code,
// good requests read as sent, response lines read back by a client.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "jsonrpc.h"

namespace {

using jsonrpc::json;

struct Refusal {
    const char *what;
    std::string line;
    int code;
    json id; // the id the error response carries
};

// A request line of exactly n bytes.
std::string line_of(size_t n) {
    const std::string head = R"({"jsonrpc":"2.0","id":3,"method":")";
    return head + std::string(n - head.size() - 2, 'm') + "\"}";
}

TEST(JsonRpcRequest, MalformedLinesAreRefusedWithTheirCode) {
    using namespace jsonrpc;
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    // clang-format off
    const Refusal cases[] = {
        {"not JSON", R"({"jsonrpc":"2.0","id":1,"method":"flow.list")", kParseError, nullptr},
        {"empty", "", kParseError, nullptr},
        {"trailing garbage", R"({"jsonrpc":"2.0","id":1,"method":"m"} x)", kParseError, nullptr},
        {"array (a batch: parse_line's)", R"([{"jsonrpc":"2.0","id":1,"method":"m"}])", kInvalidRequest, nullptr},
        {"string", R"("flow.list")", kInvalidRequest, nullptr},
        {"no jsonrpc", R"({"id":1,"method":"m"})", kInvalidRequest, 1},
        {"jsonrpc 1.0", R"({"jsonrpc":"1.0","id":1,"method":"m"})", kInvalidRequest, 1},
        {"jsonrpc number", R"({"jsonrpc":2.0,"id":"a","method":"m"})", kInvalidRequest, "a"},
        {"no method", R"({"jsonrpc":"2.0","id":7})", kInvalidRequest, 7},
        {"method number", R"({"jsonrpc":"2.0","id":7,"method":5})", kInvalidRequest, 7},
        {"method null", R"({"jsonrpc":"2.0","id":7,"method":null})", kInvalidRequest, 7},
        {"id object", R"({"jsonrpc":"2.0","id":{},"method":"m"})", kInvalidRequest, nullptr},
        {"id bool", R"({"jsonrpc":"2.0","id":true,"method":"m"})", kInvalidRequest, nullptr},
        {"id fraction", R"({"jsonrpc":"2.0","id":1.5,"method":"m"})", kInvalidRequest, nullptr},
        {"id null", R"({"jsonrpc":"2.0","id":null,"method":"m"})", kInvalidRequest, nullptr},
        {"params string", R"({"jsonrpc":"2.0","id":2,"method":"m","params":"x"})", kInvalidRequest, 2},
        {"params number", R"({"jsonrpc":"2.0","id":2,"method":"m","params":3})", kInvalidRequest, 2},
        {"params null", R"({"jsonrpc":"2.0","id":2,"method":"m","params":null})", kInvalidRequest, 2},
        {"nested too deeply", R"({"jsonrpc":"2.0","id":2,"method":"m","params":)" + deep + "}", kInvalidRequest, nullptr},
        // An escaped backslash ends no string early and starts none: the brackets after it count.
        {"nested after an escaped backslash", R"({"jsonrpc":"2.0","id":2,"method":"m","params":{"a":"\\","b":)" + deep + "}}", kInvalidRequest, nullptr},
        {"oversized", line_of(kMaxRequestLine + 1), kParseError, nullptr},
    };
    // clang-format on
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.what);
        const auto parsed = jsonrpc::parse_request(c.line);
        ASSERT_TRUE(std::holds_alternative<jsonrpc::ParseFailure>(parsed));
        const auto &failure = std::get<jsonrpc::ParseFailure>(parsed);
        EXPECT_EQ(failure.error.code, c.code);
        EXPECT_FALSE(failure.error.message.empty());
        EXPECT_EQ(failure.id, c.id);
    }
}

TEST(JsonRpcRequest, GoodRequestsReadAsSent) {
    struct Case {
        std::string line;
        json id;
        bool notification;
        const char *method;
        json params;
    };
    // clang-format off
    const Case cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"method":"flow.get","params":{"slot":1,"vsan":10}})", 1, false, "flow.get", {{"slot", 1}, {"vsan", 10}}},
        {R"({"jsonrpc":"2.0","id":"x-1","method":"cards.list"})", "x-1", false, "cards.list", json::object()},
        {R"({"method":"flow.list","params":[1,2],"jsonrpc":"2.0","id":-5})", -5, false, "flow.list", {1, 2}},
        {R"({"jsonrpc":"2.0","method":"flow.add","params":{}})", nullptr, true, "flow.add", json::object()},
        {R"({"jsonrpc":"2.0","id":18446744073709551615,"method":"m"})", json(UINT64_MAX), false, "m", json::object()},
        // Brackets inside a string, behind an escaped quote, are no nesting.
        {R"({"jsonrpc":"2.0","id":4,"method":"m","params":{"s":"\")" + std::string(100, '[') + R"("}})", 4, false, "m", {{"s", "\"" + std::string(100, '[')}}},
        // Exactly at the limit is still a request.
        {line_of(jsonrpc::kMaxRequestLine), 3, false, nullptr, json::object()},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80));
        const auto parsed = jsonrpc::parse_request(c.line);
        ASSERT_TRUE(std::holds_alternative<jsonrpc::Request>(parsed))
            << std::get<jsonrpc::ParseFailure>(parsed).error.message;
        const auto &request = std::get<jsonrpc::Request>(parsed);
        EXPECT_EQ(request.id, c.id);
        EXPECT_EQ(request.notification, c.notification);
        if (c.method != nullptr) {
            EXPECT_EQ(request.method, c.method);
        } else {
            EXPECT_EQ(c.line.size(), jsonrpc::kMaxRequestLine);
        }
        EXPECT_EQ(request.params, c.params);
    }
}

// A line as the control socket reads it: a request, a batch whose elements
// are each a request or their own error, or a refusal of the whole line.
TEST(JsonRpcLine, BatchesKeepOrderAndAnswerBadElementsInPlace) {
    using namespace jsonrpc;
    // Each element as "method#id" ("method" for a notification) or
    // "error CODE #id"; a whole-line refusal as "refused CODE".
    const auto describe = [](const std::variant<Request, Batch, ParseFailure> &parsed) {
        const auto one = [](const std::variant<Request, ParseFailure> &e) {
            if (const auto *r = std::get_if<Request>(&e)) {
                return r->method + (r->notification ? "" : "#" + r->id.dump());
            }
            const auto &f = std::get<ParseFailure>(e);
            return "error " + std::to_string(f.error.code) + " #" + f.id.dump();
        };
        if (const auto *f = std::get_if<ParseFailure>(&parsed)) {
            return std::vector<std::string>{"refused " + std::to_string(f->error.code)};
        }
        if (const auto *r = std::get_if<Request>(&parsed)) {
            return std::vector<std::string>{"single " + one(*r)};
        }
        std::vector<std::string> out;
        for (const auto &e : std::get<Batch>(parsed).elements) {
            out.push_back(one(e));
        }
        return out;
    };
    const std::string req = R"({"jsonrpc":"2.0","id":1,"method":"a"})";
    std::string full = "[" + req;
    for (size_t i = 1; i < kMaxBatch; ++i) {
        full += "," + req;
    }
    struct Case {
        std::string line;
        std::vector<std::string> want;
    };
    // clang-format off
    const Case cases[] = {
        {req, {"single a#1"}},
        {R"([{"jsonrpc":"2.0","id":"x","method":"a","params":[1]},{"jsonrpc":"2.0","method":"n"},1,)"
         R"({"jsonrpc":"2.0","id":2},{"jsonrpc":"2.0","id":3,"method":"b"},[],{"id":4,"method":"c"}])",
         {"a#\"x\"", "n", "error -32600 #null", "error -32600 #2", "b#3", "error -32600 #null",
          "error -32600 #4"}},
        {R"([{"jsonrpc":"2.0","method":"n"},{"jsonrpc":"2.0","method":"m"}])", {"n", "m"}},
        {"[1,2]", {"error -32600 #null", "error -32600 #null"}},
        {"[]", {"refused -32600"}},
        {" [ ] ", {"refused -32600"}},
        {R"([{"jsonrpc":"2.0","method":"n"})", {"refused -32700"}},
        {"\"a\"", {"refused -32600"}},
        {full + "]", std::vector<std::string>(kMaxBatch, "a#1")},
        {full + "," + req + "]", {"refused -32600"}},
    };
    // clang-format on
    for (const Case &c : cases) {
        EXPECT_EQ(describe(jsonrpc::parse_line(c.line)), c.want) << c.line.substr(0, 80);
    }
}

TEST(JsonRpcResponse, LinesWrittenAreReadBack) {
    const std::string result = jsonrpc::result_line(4, {{"frames", UINT64_MAX}});
    const std::string error =
        jsonrpc::error_line("q", {jsonrpc::kCardRefused,
                                  "counters exhausted (0x404e003a)",
                                  {{"status", "COUNTERS_EXHAUSTED"}, {"code", 0x404e003a}}});
    const std::string bare =
        jsonrpc::error_line(nullptr, {jsonrpc::kParseError, "parse error", {}});
    for (const std::string *line : {&result, &error, &bare}) {
        ASSERT_FALSE(line->empty());
        EXPECT_EQ(line->back(), '\n');
        EXPECT_EQ(line->find('\n'), line->size() - 1) << "one line each";
    }
    std::string why;
    const auto r = jsonrpc::parse_response(result, &why);
    ASSERT_TRUE(r) << why;
    EXPECT_EQ(r->id, 4);
    ASSERT_TRUE(r->result);
    // A 64-bit count comes back exactly, not through a double.
    EXPECT_EQ((*r->result)["frames"].get<uint64_t>(), UINT64_MAX);
    EXPECT_FALSE(r->error);

    const auto e = jsonrpc::parse_response(error, &why);
    ASSERT_TRUE(e) << why;
    EXPECT_EQ(e->id, "q");
    ASSERT_TRUE(e->error);
    EXPECT_EQ(e->error->code, jsonrpc::kCardRefused);
    EXPECT_EQ(e->error->message, "counters exhausted (0x404e003a)");
    EXPECT_EQ(e->error->data["code"], 0x404e003a);

    const auto b = jsonrpc::parse_response(bare, &why);
    ASSERT_TRUE(b) << why;
    EXPECT_TRUE(b->id.is_null());
    EXPECT_TRUE(b->error->data.is_null()) << "no data member when there is none";
    EXPECT_EQ(bare.find("data"), std::string::npos);
}

TEST(JsonRpcResponse, RequestLineRoundTrips) {
    const json params = {{"slot", 3}, {"sid", "0x010203"}};
    for (const json &id : {json(9), json("abc"), json(nullptr)}) {
        const auto parsed = jsonrpc::parse_request(jsonrpc::request_line(id, "flow.add", params));
        ASSERT_TRUE(std::holds_alternative<jsonrpc::Request>(parsed));
        const auto &request = std::get<jsonrpc::Request>(parsed);
        EXPECT_EQ(request.notification, id.is_null());
        EXPECT_EQ(request.id, id);
        EXPECT_EQ(request.method, "flow.add");
        EXPECT_EQ(request.params, params);
    }
}

TEST(JsonRpcResponse, MalformedResponsesAreRefused) {
    const char *lines[] = {
        "not json",
        "[]",
        R"({"id":1,"result":{}})",
        R"({"jsonrpc":"2.0","result":{}})",
        R"({"jsonrpc":"2.0","id":true,"result":{}})",
        R"({"jsonrpc":"2.0","id":1})",
        R"({"jsonrpc":"2.0","id":1,"result":{},"error":{"code":1,"message":"m"}})",
        R"({"jsonrpc":"2.0","id":1,"error":"bad"})",
        R"({"jsonrpc":"2.0","id":1,"error":{"message":"m"}})",
        R"({"jsonrpc":"2.0","id":1,"error":{"code":1.5,"message":"m"}})",
        R"({"jsonrpc":"2.0","id":1,"error":{"code":1,"message":2}})",
        R"({"jsonrpc":"2.0","id":1,"error":{"code":4294967296,"message":"m"}})",
        R"({"jsonrpc":"2.0","id":1,"error":{"code":18446744073709551615,"message":"m"}})",
    };
    for (const char *line : lines) {
        std::string why;
        EXPECT_FALSE(jsonrpc::parse_response(line, &why)) << line;
        EXPECT_FALSE(why.empty()) << line;
    }
}

} // namespace
