// JSON-RPC 2.0 as the supervisor's control socket speaks it: one JSON object
// (or a batch: an array of them) per line, each way. Shared by the supervisor (server side) and
// flowctl (client side). docs/jsonrpc.md lists the methods.
#ifndef API_JSONRPC_H
#define API_JSONRPC_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "result.h"

namespace jsonrpc {

using json = nlohmann::json;

// A request line longer than this (newline excluded) is refused and its
// client dropped. Room for a flow.apply of a full card's 65,535 flows, named
// (about 4 MiB); with 64 clients at most that is 512 MiB buffered at worst.
inline constexpr size_t kMaxRequestLine = size_t{8} << 20;

enum ErrorCode : int {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
    kInternalError = -32603,
    // Implementation-defined server errors.
    kCardRefused = -32001,       // data: {"status": NAME, "code": N}
    kCardDown = -32002,          // the slot has no card connected
    kNoReply = -32003,           // the card did not answer in time
    kBusy = -32004,              // too many requests in flight
    kStoreFailed = -32005,       // the database refused the change
    kDenied = -32006,            // a peer refused for its credentials, before closing
    kTooManyClients = -32007,    // a client refused for the client limit, before closing
    kNotConfigured = -32008,     // a change names a flow that is not configured
    kAlreadyConfigured = -32009, // an add names a configured flow; data as -32001's
    kForbidden = -32010,         // a change asked by a client with the reader role
};

struct Error {
    int code = kInternalError;
    std::string message;
    json data; // null when absent
};

// The edge between the inside's model::Error and the wire's error object:
// the code each kind of failure has on the wire, and its data ({"slot"},
// {"slot", "timeout_ms"}, {"status", "code"} for a card's refusal).
Error to_jsonrpc(const model::Error &error);
// A supervisor's error answer as the inside sees it (flowctl); a code this
// side does not know is Internal, its message kept.
model::Error from_jsonrpc(const Error &error);

struct Request {
    json id; // number or string; null for a notification
    bool notification = false;
    std::string method;
    json params = json::object(); // object or array as sent; {} when absent
};

// One request line (without its newline). An Error carries the id when it
// could be read (null otherwise), for the error response.
struct ParseFailure {
    Error error;
    json id;
};
std::variant<Request, ParseFailure> parse_request(std::string_view line);

// A batch holds at most this many elements (a client's in-flight bound).
inline constexpr size_t kMaxBatch = 64;

// A line holding an array: in the array's order, each element's request or
// the error object it is answered with (an element that is not a request is
// answered in the batch, not refused with the line).
struct Batch {
    std::vector<std::variant<Request, ParseFailure>> elements;
};
// What the control socket reads: one request line, or a batch. An empty
// array, or one over kMaxBatch, is a ParseFailure (-32600) for the line as a
// whole, as are the lines parse_request refuses.
std::variant<Request, Batch, ParseFailure> parse_line(std::string_view line);

// One response line, newline included.
std::string result_line(const json &id, const json &result);
std::string error_line(const json &id, const Error &error);
// One request line, newline included (client side).
std::string request_line(const json &id, std::string_view method, const json &params);

struct Response {
    json id;
    std::optional<json> result;
    std::optional<Error> error;
};
// A response line (client side); nullopt with *why for anything else.
std::optional<Response> parse_response(std::string_view line, std::string *why);

} // namespace jsonrpc

#endif // API_JSONRPC_H
