// flowctl's side of the control socket: one blocking connection to the
// supervisor, one request at a time. Blocking I/O with poll() deadlines is
// enough for a command-line tool; only TLS runs an event loop, on a thread
// of its own, for the transport's relay.
//
// Invariants: a line is read whole before it is parsed and may be up to
// kMaxResponseBytes long (an unstreamed show of 64 cards of 65,535 flows); a
// longer one, a line that is not a response, or a response to another id
// ends the call with a protocol failure.
#ifndef FLOWCTL_RPC_CLIENT_H
#define FLOWCTL_RPC_CLIENT_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "errors.h"
#include "result.h"
#include "vexa_socket.h"

namespace flowctl {

inline constexpr size_t kMaxResponseBytes = size_t{512} << 20;
inline constexpr std::chrono::milliseconds kConnectTimeout{5000};
// Longer than the supervisor's own wait for a card, so that a silent card is
// reported by the supervisor (with its slot) rather than by us.
inline constexpr std::chrono::milliseconds kReplyTimeout{30000};

class RpcClient {
public:
    RpcClient();
    ~RpcClient();
    RpcClient(const RpcClient &) = delete;
    RpcClient &operator=(const RpcClient &) = delete;

    // "unix:PATH", "tcp:HOST:PORT" or "tls:HOST:PORT" (with tls's files). A
    // malformed address or unusable TLS files are a BAD_ARGUMENTS failure, a
    // refused, timed-out or failed connection (TLS handshake included)
    // UNREACHABLE.
    bool connect(std::string_view address, Failure *failure, const vexa_socket::TlsFiles &tls = {});

    // The result of one call, or the error: the supervisor's error answer,
    // NoReply (without a slot) when nothing came within timeout, Unreachable
    // when the connection broke, Protocol for a reply that is not one.
    // Notifications the supervisor sends before the answer (a long request's
    // progress) go to on_notice, and each moves the deadline.
    using NoticeHandler = std::function<void(const std::string &method, const json &params)>;
    model::Result<json> call(std::string_view method, const json &params,
                             const NoticeHandler &on_notice = {});
    // As call, but each line before the answer goes first to on_line, whole
    // and unparsed, with the request's id: true when it took the line (a
    // streamed part, read without a document), false to read it as usual; an
    // error ends the call with it.
    using LineHandler = std::function<model::Result<bool>(std::string_view line, long id)>;
    model::Result<json> call_streamed(std::string_view method, const json &params,
                                      const LineHandler &on_line);

    // How long call() waits for an answer (--timeout).
    void set_reply_timeout(std::chrono::milliseconds timeout) { reply_timeout_ = timeout; }

private:
    model::Result<json> call_with(std::string_view method, const json &params,
                                  const NoticeHandler &on_notice, const LineHandler &on_line);
    bool connect_tls(const vexa_socket::Address &address, const vexa_socket::TlsFiles &files,
                     Failure *failure);
    int fd_ = -1;
    // Over TLS, fd_ is the plain end of the transport's relay, which runs on
    // a thread of its own for as long as fd_ is open.
    struct TlsLink;
    std::unique_ptr<TlsLink> tls_;
    long next_id_ = 1;
    std::string buffer_; // bytes read past the last response line
    size_t start_ = 0;   // where buffer_'s unread bytes begin
    std::string address_;
    std::chrono::milliseconds reply_timeout_ = kReplyTimeout;
};

} // namespace flowctl

#endif // FLOWCTL_RPC_CLIENT_H
