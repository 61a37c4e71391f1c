// The control-socket client: connect with a deadline, write one request line,
// read lines until the response with the request's id.

#include "rpc_client.h"

#include <cerrno>
#include <cstring>
#include <future>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>

#include "vexa_socket.h"

namespace flowctl {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits for events on fd until the deadline; false on timeout or error.
bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, remaining_ms(deadline));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

std::string errno_text(int err) {
    return std::strerror(err);
}

} // namespace

struct RpcClient::TlsLink {
    asio::io_context io;
    std::thread thread;
};

RpcClient::RpcClient() = default;

RpcClient::~RpcClient() {
    if (fd_ >= 0) {
        ::close(fd_); // ends the relay, and with it the TLS thread's loop
    }
    if (tls_ && tls_->thread.joinable()) {
        tls_->thread.join();
    }
}

bool RpcClient::connect(std::string_view address, Failure *failure,
                        const vexa_socket::TlsFiles &tls) {
    std::string error;
    const std::optional<vexa_socket::Address> parsed = vexa_socket::parse_address(address, &error);
    if (!parsed) {
        *failure = bad_arguments("--control: " + error);
        return false;
    }
    address_ = std::string(address);
    if (parsed->kind == vexa_socket::Address::Kind::Tls) {
        return connect_tls(*parsed, tls, failure);
    }
    asio::io_context io;
    const std::optional<vexa_socket::Endpoint> endpoint =
        vexa_socket::endpoint_of(io, *parsed, &error);
    if (!endpoint) {
        *failure = unreachable(address_ + ": " + error);
        return false;
    }
    const int fd = ::socket(endpoint->protocol().family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *failure = unreachable(address_ + ": " + errno_text(errno));
        return false;
    }
    // Non-blocking for the connect, so that an unanswering host costs at most
    // kConnectTimeout; blocking again afterwards, writes included.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (::connect(fd, endpoint->data(), static_cast<socklen_t>(endpoint->size())) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            err = ETIMEDOUT;
            if (wait_for(fd, POLLOUT, Clock::now() + kConnectTimeout)) {
                socklen_t len = sizeof err;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            }
        }
    }
    if (err != 0) {
        ::close(fd);
        *failure = unreachable("cannot connect to " + address_ + ": " + errno_text(err));
        return false;
    }
    ::fcntl(fd, F_SETFL, flags);
    fd_ = fd;
    return true;
}

bool RpcClient::connect_tls(const vexa_socket::Address &address, const vexa_socket::TlsFiles &files,
                            Failure *failure) {
    std::string error;
    auto context = vexa_socket::make_tls_context(files, vexa_socket::TlsRole::Client, &error);
    if (!context) {
        *failure = bad_arguments("--control " + address_ + ": " + error);
        return false;
    }
    tls_ = std::make_unique<TlsLink>();
    std::promise<std::pair<int, std::string>> connected;
    std::future<std::pair<int, std::string>> result = connected.get_future();
    vexa_socket::connect(
        tls_->io, address,
        [&connected](std::optional<vexa_socket::Socket> socket, const std::string &why) {
            // The descriptor leaves the loop's socket: our blocking I/O takes it.
            connected.set_value(socket ? std::pair(socket->release(), std::string())
                                       : std::pair(-1, why));
        },
        context);
    tls_->thread = std::thread([link = tls_.get()] { link->io.run(); });
    if (result.wait_for(kConnectTimeout + vexa_socket::Limits{}.handshake_timeout) !=
        std::future_status::ready) {
        tls_->io.stop(); // the handler then never runs: connected may go
        tls_->thread.join();
        *failure = unreachable("cannot connect to " + address_ + ": timed out");
        return false;
    }
    auto [fd, why] = result.get();
    if (fd < 0) {
        tls_->thread.join();
        *failure = unreachable("cannot connect to " + address_ + ": " + why);
        return false;
    }
    fd_ = fd;
    return true;
}

namespace {

// A notification line: short, and a request without an id.
std::optional<json> notice_of(const std::string &line) {
    constexpr size_t kMaxNotice = 4096;
    if (line.size() > kMaxNotice) {
        return std::nullopt;
    }
    json v = json::parse(line, nullptr, false);
    if (!v.is_object() || v.contains("id") || !v.contains("method") || !v["method"].is_string()) {
        return std::nullopt;
    }
    return v;
}

} // namespace

model::Result<json> RpcClient::call(std::string_view method, const json &params,
                                    const NoticeHandler &on_notice) {
    return call_with(method, params, on_notice, {});
}

model::Result<json> RpcClient::call_streamed(std::string_view method, const json &params,
                                             const LineHandler &on_line) {
    return call_with(method, params, {}, on_line);
}

model::Result<json> RpcClient::call_with(std::string_view method, const json &params,
                                         const NoticeHandler &on_notice,
                                         const LineHandler &on_line) {
    const std::chrono::milliseconds timeout = reply_timeout_;
    const auto unreachable = [](std::string message) {
        return model::error(model::Errc::Unreachable, std::move(message));
    };
    const auto protocol_failure = [](std::string message) {
        return model::error(model::Errc::Protocol, std::move(message));
    };
    if (fd_ < 0) {
        return unreachable("not connected");
    }
    const long id = next_id_++;
    const std::string line = jsonrpc::request_line(id, method, params);
    int send_error = 0;
    for (size_t sent = 0; sent < line.size();) {
        const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            send_error = errno;
            break;
        }
        sent += static_cast<size_t>(n);
    }
    // A supervisor that refuses us says why before it closes: after a failed
    // send, read what it said, without waiting for more.
    const auto broken = [&](int err) {
        return unreachable(address_ + ": " + errno_text(send_error != 0 ? send_error : err));
    };

    Clock::time_point deadline = send_error != 0 ? Clock::now() : Clock::now() + timeout;
    size_t scanned = start_; // bytes of buffer_ known to hold no newline
    for (;;) {
        const size_t nl = buffer_.find('\n', scanned);
        if (nl != std::string::npos) {
            const std::string_view line(buffer_.data() + start_, nl - start_);
            start_ = nl + 1;
            scanned = start_;
            if (on_line) {
                const model::Result<bool> taken = on_line(line, id);
                if (!taken) {
                    return taken.error();
                }
                if (*taken) {
                    deadline = Clock::now() + timeout;
                    continue;
                }
            }
            const std::string response_line(line);
            if (const std::optional<json> notice = notice_of(response_line)) {
                if (on_notice) {
                    on_notice((*notice)["method"].get<std::string>(),
                              notice->value("params", json()));
                }
                deadline = Clock::now() + timeout;
                continue;
            }
            std::string why;
            const std::optional<jsonrpc::Response> r = jsonrpc::parse_response(response_line, &why);
            if (!r) {
                return protocol_failure(address_ + ": not a JSON-RPC response: " + why);
            }
            if (r->id.is_null() && r->error) {
                return jsonrpc::from_jsonrpc(*r->error); // a refusal, before any request
            }
            if (r->id != json(id)) {
                return protocol_failure(address_ + ": response to id " + r->id.dump() +
                                        ", expected " + std::to_string(id));
            }
            if (r->error) {
                return jsonrpc::from_jsonrpc(*r->error);
            }
            return r->result.value_or(json());
        }
        // Lines read are dropped only here, once per read rather than per line.
        buffer_.erase(0, start_);
        start_ = 0;
        scanned = buffer_.size();
        if (buffer_.size() > kMaxResponseBytes) {
            return protocol_failure(address_ + ": response longer than " +
                                    std::to_string(kMaxResponseBytes) + " bytes");
        }
        if (!wait_for(fd_, POLLIN, deadline)) {
            if (send_error != 0) {
                return broken(0);
            }
            return model::error(model::Errc::NoReply, "no answer from the supervisor at " +
                                                          address_ + " within " +
                                                          std::to_string(timeout.count()) + " ms");
        }
        // Straight into the buffer: a streamed show is tens of megabytes.
        constexpr size_t kChunk = size_t{1} << 18;
        const size_t had = buffer_.size();
        buffer_.resize(had + kChunk);
        const ssize_t n = ::recv(fd_, buffer_.data() + had, kChunk, 0);
        buffer_.resize(had + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return broken(errno);
        }
        if (n == 0) {
            return send_error != 0
                       ? broken(0)
                       : unreachable(address_ + ": connection closed by the supervisor");
        }
    }
}

} // namespace flowctl
