// JSON-RPC 2.0 framing of the control socket: request and response lines.
//
// Invariants:
//  - parse_request accepts only what it can hand back unchanged through
//    request_line: an id is an integer or a string (null ids are refused, so
//    that "no id" alone means a notification), params an object or an array;
//  - a batch's elements are each checked as a request line's object is; only
//    the line itself (not JSON, empty, over kMaxBatch) is refused whole;
//  - nesting deeper than kMaxDepth is refused before the parser sees it, so
//    that nothing downstream recurses deeply on client input;
//  - every line written is valid UTF-8 JSON on one line, ending in '\n'.
#include "jsonrpc.h"

#include <cstdint>
#include <string>

#include "status.h"

namespace jsonrpc {

namespace {

// Requests of this interface nest two or three levels; anything far deeper is
// hostile.
constexpr int kMaxDepth = 64;

std::string dump(const json &value) {
    // Strings come from parsed input or from our own texts, so they are valid
    // UTF-8; replace rather than throw should one ever not be.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The deepest bracket nesting of a JSON text, brackets inside strings
// excluded; stops counting once past the limit.
int nesting_depth(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > kMaxDepth) {
                    break;
                }
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

bool valid_id(const json &id) {
    return id.is_string() || id.is_number_integer();
}

ParseFailure failure(int code, std::string message, json id = nullptr) {
    return ParseFailure{Error{code, std::move(message), nullptr}, std::move(id)};
}

struct CodeOf {
    model::Errc errc;
    int code;
};
constexpr CodeOf kCodes[] = {
    {model::Errc::InvalidParams, kInvalidParams},
    {model::Errc::UnknownMethod, kMethodNotFound},
    {model::Errc::CardRefused, kCardRefused},
    {model::Errc::CardDown, kCardDown},
    {model::Errc::NoReply, kNoReply},
    {model::Errc::Busy, kBusy},
    {model::Errc::StoreFailed, kStoreFailed},
    {model::Errc::Denied, kDenied},
    {model::Errc::TooManyClients, kTooManyClients},
    {model::Errc::NotConfigured, kNotConfigured},
    {model::Errc::AlreadyConfigured, kAlreadyConfigured},
    {model::Errc::Forbidden, kForbidden},
    {model::Errc::Protocol, kInvalidRequest},
    {model::Errc::Internal, kInternalError},
};

bool is_count(const json &v) {
    return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0);
}

// One request object as parsed JSON (its params moved out).
std::variant<Request, ParseFailure> request_of(json &doc) {
    if (!doc.is_object()) {
        return failure(kInvalidRequest, "invalid request: not an object");
    }
    Request request;
    if (const auto it = doc.find("id"); it != doc.end()) {
        if (!valid_id(*it)) {
            return failure(kInvalidRequest, "invalid request: id must be an integer or a string");
        }
        request.id = *it;
    } else {
        request.notification = true;
    }
    const auto version = doc.find("jsonrpc");
    if (version == doc.end() || !version->is_string() || *version != "2.0") {
        return failure(kInvalidRequest, "invalid request: jsonrpc must be \"2.0\"", request.id);
    }
    const auto method = doc.find("method");
    if (method == doc.end() || !method->is_string()) {
        return failure(kInvalidRequest, "invalid request: method must be a string", request.id);
    }
    request.method = method->get<std::string>();
    if (const auto params = doc.find("params"); params != doc.end()) {
        if (!params->is_object() && !params->is_array()) {
            return failure(kInvalidRequest, "invalid request: params must be an object or an array",
                           request.id);
        }
        request.params = std::move(*params);
    }
    return request;
}

} // namespace

std::variant<Request, ParseFailure> parse_request(std::string_view line) {
    auto parsed = parse_line(line);
    if (auto *request = std::get_if<Request>(&parsed)) {
        return std::move(*request);
    }
    if (auto *failure = std::get_if<ParseFailure>(&parsed)) {
        return std::move(*failure);
    }
    return failure(kInvalidRequest, "invalid request: not an object");
}

std::variant<Request, Batch, ParseFailure> parse_line(std::string_view line) {
    if (line.size() > kMaxRequestLine) {
        return failure(kParseError,
                       "request line over " + std::to_string(kMaxRequestLine) + " bytes");
    }
    if (nesting_depth(line) > kMaxDepth) {
        return failure(kInvalidRequest, "invalid request: nested too deeply");
    }
    json doc = json::parse(line, nullptr, false);
    if (doc.is_discarded()) {
        return failure(kParseError, "parse error");
    }
    if (!doc.is_array()) {
        auto request = request_of(doc);
        if (auto *r = std::get_if<Request>(&request)) {
            return std::move(*r);
        }
        return std::get<ParseFailure>(std::move(request));
    }
    if (doc.empty()) {
        return failure(kInvalidRequest, "invalid request: empty batch");
    }
    if (doc.size() > kMaxBatch) {
        return failure(kInvalidRequest, "invalid request: batch of " + std::to_string(doc.size()) +
                                            " requests, more than " + std::to_string(kMaxBatch));
    }
    Batch batch;
    batch.elements.reserve(doc.size());
    for (json &element : doc) {
        batch.elements.push_back(request_of(element));
    }
    return batch;
}

std::string result_line(const json &id, const json &result) {
    json line = {{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
    return dump(line) + '\n';
}

std::string error_line(const json &id, const Error &error) {
    json body = {{"code", error.code}, {"message", error.message}};
    if (!error.data.is_null()) {
        body["data"] = error.data;
    }
    json line = {{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(body)}};
    return dump(line) + '\n';
}

std::string request_line(const json &id, std::string_view method, const json &params) {
    json line = {{"jsonrpc", "2.0"}, {"method", method}, {"params", params}};
    if (!id.is_null()) {
        line["id"] = id;
    }
    return dump(line) + '\n';
}

std::optional<Response> parse_response(std::string_view line, std::string *why) {
    const auto refuse = [why](const char *text) -> std::optional<Response> {
        if (why != nullptr) {
            *why = text;
        }
        return std::nullopt;
    };
    if (nesting_depth(line) > kMaxDepth) {
        return refuse("nested too deeply");
    }
    json doc = json::parse(line, nullptr, false);
    if (doc.is_discarded()) {
        return refuse("not JSON");
    }
    if (!doc.is_object()) {
        return refuse("not an object");
    }
    const auto version = doc.find("jsonrpc");
    if (version == doc.end() || *version != "2.0") {
        return refuse("jsonrpc is not \"2.0\"");
    }
    const auto id = doc.find("id");
    if (id == doc.end() || !(id->is_null() || valid_id(*id))) {
        return refuse("no valid id");
    }
    const auto result = doc.find("result");
    const auto error = doc.find("error");
    if ((result == doc.end()) == (error == doc.end())) {
        return refuse("not exactly one of result and error");
    }
    Response response;
    response.id = *id;
    if (result != doc.end()) {
        response.result = std::move(*result);
        return response;
    }
    if (!error->is_object()) {
        return refuse("error is not an object");
    }
    const auto code = error->find("code");
    const auto message = error->find("message");
    if (code == error->end() || !code->is_number_integer() || message == error->end() ||
        !message->is_string()) {
        return refuse("error lacks an integer code or a string message");
    }
    const bool in_range = code->is_number_unsigned() ? code->get<uint64_t>() <= INT32_MAX
                                                     : code->get<int64_t>() >= INT32_MIN &&
                                                           code->get<int64_t>() <= INT32_MAX;
    if (!in_range) {
        return refuse("error code out of range");
    }
    Error parsed{code->get<int>(), message->get<std::string>(), nullptr};
    if (const auto data = error->find("data"); data != error->end()) {
        parsed.data = *data;
    }
    response.error = std::move(parsed);
    return response;
}

Error to_jsonrpc(const model::Error &error) {
    Error out{kInternalError, error.message, nullptr};
    for (const CodeOf &c : kCodes) {
        if (c.errc == error.code) {
            out.code = c.code;
        }
    }
    if (error.card_status) {
        out.data = {{"status", model::status_name(*error.card_status)},
                    {"code", *error.card_status}};
    } else if (error.slot) {
        out.data = {{"slot", *error.slot}};
        if (error.timeout_ms) {
            out.data["timeout_ms"] = *error.timeout_ms;
        }
    }
    return out;
}

model::Error from_jsonrpc(const Error &error) {
    model::Error out = model::error(model::Errc::Internal, error.message);
    for (const CodeOf &c : kCodes) {
        if (c.code == error.code) {
            out.code = c.errc;
        }
    }
    if (!error.data.is_object()) {
        return out;
    }
    const json &data = error.data;
    if (auto it = data.find("slot"); it != data.end() && is_count(*it) && *it <= json(UINT32_MAX)) {
        out.slot = it->get<uint32_t>();
    }
    if (auto it = data.find("timeout_ms"); it != data.end() && is_count(*it)) {
        out.timeout_ms = it->get<uint64_t>();
    }
    const bool coded =
        out.code == model::Errc::CardRefused || out.code == model::Errc::AlreadyConfigured;
    if (auto it = data.find("code");
        coded && it != data.end() && is_count(*it) && *it <= json(UINT32_MAX)) {
        out.card_status = it->get<uint32_t>();
    }
    return out;
}

} // namespace jsonrpc
