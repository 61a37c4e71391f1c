// The control socket: line-based JSON-RPC sessions with the supervisor's
// clients. Owns the control listener and every client session; hands each
// request to a dispatcher and writes its answer back.
//
// Invariants (docs/jsonrpc.md has the numbers):
//  - a line over jsonrpc::kMaxRequestLine, or one that is not a JSON-RPC
//    request, is answered with its error and the client dropped once the
//    answer is written; blank lines are ignored;
//  - a client has at most kMaxInFlight requests dispatched and unanswered
//    (notifications included); past it a request gets -32004 at once;
//  - a batch (a line holding an array of up to jsonrpc::kMaxBatch elements)
//    counts each of its requests against that bound; its answers are written
//    as one array line, in request order, once its last element is answered
//    (no line when all are notifications); an element that is not a request
//    gets its -32600 in the array, and the client stays;
//  - answers are written asynchronously, never blocking the loop; reading
//    pauses while a client's unsent output is over kPauseOutput, and a client
//    whose unsent output passes kMaxOutput is dropped;
//  - the unsent output of all clients together stays within max_total_output:
//    past it the client with the most unsent output is dropped (the one that
//    reads slowest, or asked most);
//  - a client with no input, nothing in flight and nothing unsent for
//    client_timeout is dropped; so is one whose unsent output made no
//    progress (nothing of it written) for client_timeout;
//  - a peer refused for the client limit or its credentials gets one error
//    line (-32007 or -32006) before it is closed;
//  - an answer that comes after its client left is discarded.
#ifndef SUPERVISOR_CONTROL_H
#define SUPERVISOR_CONTROL_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include <asio/io_context.hpp>

#include "jsonrpc.h"
#include "peer_identity.h"
#include "vexa_socket.h"

namespace supervisor {

inline constexpr size_t kMaxInFlight = 64;
inline constexpr size_t kMaxClients = 64;
inline constexpr size_t kPauseOutput = 16u << 20;
inline constexpr size_t kMaxOutput = 256u << 20;

struct ControlOptions {
    std::chrono::milliseconds client_timeout{60000}; // idle, or no write progress
    size_t max_total_output = size_t{512} << 20;     // unsent, all clients together
};

// A result already serialised as JSON text (for results too big to build as
// a json value first).
struct RawResult {
    std::string json_text;
};
// A notification to the client before the answer (a long request's
// progress): it does not answer the request. Dropped for a notification.
struct Notice {
    std::string method;
    jsonrpc::json params;
};
// A notification written already: members is the text inside its params
// object, which the session opens with the request's "id" (a streamed
// result's part: several can be in flight on one connection).
struct RawNotice {
    std::string method;
    std::string members;
};
// A piece of the result's text, written as it comes: the first opens the
// answer's line, a RawResult with the rest of the text ends it. The client's
// other answers wait until it has ended.
struct Part {
    std::string text;
};
// Calls then(true) once the client's unsent output is under kResumeOutput
// (at once when it is; an answer waiting behind another's open line counts
// only what waits with it), then(false) when the client has left: a long
// answer produced piece by piece goes at the pace its client reads.
struct WhenWritable {
    std::function<void(bool)> then;
};
inline constexpr size_t kResumeOutput = 1u << 20;
using Reply =
    std::variant<jsonrpc::json, RawResult, model::Error, Notice, RawNotice, Part, WhenWritable>;
// Whether the reply answers its request (every other kind comes before the
// answer).
inline bool answers(const Reply &reply) {
    return std::holds_alternative<jsonrpc::json>(reply) ||
           std::holds_alternative<RawResult>(reply) || std::holds_alternative<model::Error>(reply);
}
// Called once per request with its answer, from the event loop, at any later
// time; before that, any number of times with the other kinds.
using Respond = std::function<void(Reply)>;
// Each request comes with its client's identity.
using Dispatch = std::function<void(const jsonrpc::Request &, const PeerIdentity &, Respond)>;
// A new client's identity, or nullopt with *why to refuse it.
using Identify = std::function<std::optional<PeerIdentity>(
    const vexa_socket::PeerCredentials &, const std::string &peer_name, std::string *why)>;

class Control {
public:
    Control(asio::io_context &io, Dispatch dispatch, ControlOptions options = {});
    ~Control();
    Control(const Control &) = delete;
    Control &operator=(const Control &) = delete;

    // tls: the server context, for a tls: address.
    bool listen(const vexa_socket::Address &address, Identify identify,
                std::shared_ptr<vexa_socket::TlsContext> tls, std::string *error);
    // Where it listens: a TCP port 0 given is the port the kernel chose.
    vexa_socket::Address address() const;
    // Stops listening and closes every client.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace supervisor

#endif // SUPERVISOR_CONTROL_H
