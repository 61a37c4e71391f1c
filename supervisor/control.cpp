// Client sessions of the control socket (see control.h for the bounds).
//
// A session reads into a buffer, cuts it into lines and dispatches each
// request; answers join a queue of lines that one asynchronous write at a
// time drains, several lines per write. A session stays alive while an
// asynchronous operation holds it; answers hold it only weakly.
#include "control.h"

#include <algorithm>
#include <array>
#include <deque>
#include <unordered_map>
#include <vector>

#include <asio/buffer.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "log.h"

namespace supervisor {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kLinesPerWrite = 64;

bool blank(std::string_view line) {
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

// The lines of one answer: a raw result goes out as the envelope's head, the
// result text itself (moved, not copied: it can be megabytes) and the tail.
std::vector<std::string> reply_lines(const jsonrpc::json &id, Reply reply) {
    std::vector<std::string> pieces;
    if (auto *result = std::get_if<jsonrpc::json>(&reply)) {
        pieces.push_back(jsonrpc::result_line(id, *result));
    } else if (auto *raw = std::get_if<RawResult>(&reply)) {
        // Same member order as result_line writes.
        pieces.push_back("{\"id\":" + id.dump() + ",\"jsonrpc\":\"2.0\",\"result\":");
        pieces.push_back(std::move(raw->json_text));
        pieces.push_back("}\n");
    } else {
        pieces.push_back(
            jsonrpc::error_line(id, jsonrpc::to_jsonrpc(std::get<model::Error>(reply))));
    }
    return pieces;
}

} // namespace

struct ClientSession;

struct Control::Impl {
    Impl(asio::io_context &io_, Dispatch dispatch_)
        : io(io_), dispatch(std::move(dispatch_)),
          listener(io_, vexa_socket::Limits{.max_connections = kMaxClients}) {}

    asio::io_context &io;
    Dispatch dispatch;
    vexa_socket::Listener listener;
    std::unordered_map<ClientSession *, std::shared_ptr<ClientSession>> sessions;

    void accept(vexa_socket::Socket socket, const std::string &peer_name);
    void ended(ClientSession *session) {
        if (sessions.erase(session) != 0) {
            listener.released();
        }
    }
};

struct ClientSession : std::enable_shared_from_this<ClientSession> {
    ClientSession(Control::Impl &owner_, vexa_socket::Socket socket_, std::string peer_)
        : owner(owner_), socket(std::move(socket_)), peer(std::move(peer_)), idle(owner_.io) {}

    Control::Impl &owner;
    vexa_socket::Socket socket;
    std::string peer;
    std::array<char, kReadChunk> chunk{};
    std::string input;
    size_t scanned = 0; // input before this holds no newline
    std::deque<std::string> output;
    size_t output_bytes = 0;
    bool reading = false;
    bool writing = false;
    bool draining = false; // answered a protocol error: close once output is out
    bool closed = false;
    size_t in_flight = 0;
    asio::steady_timer idle;
    Clock::time_point last_input = Clock::now();

    void start() {
        arm_idle(Clock::now() + kIdleTimeout);
        read();
    }

    void close(const std::string &reason, bool logged) {
        if (closed) {
            return;
        }
        closed = true;
        if (logged) {
            log(Severity::Notice, "client " + peer + " dropped: " + reason);
        }
        std::error_code ignored;
        socket.close(ignored);
        idle.cancel();
        output.clear();
        output_bytes = 0;
        owner.ended(this);
    }

    // ---- input --------------------------------------------------------------

    void read() {
        if (reading || closed || draining || output_bytes > kPauseOutput) {
            return;
        }
        reading = true;
        socket.async_read_some(asio::buffer(chunk),
                               [self = shared_from_this()](const std::error_code &ec, size_t n) {
                                   self->reading = false;
                                   if (self->closed) {
                                       return;
                                   }
                                   if (ec) {
                                       self->close(ec == asio::error::eof ? "closed" : ec.message(),
                                                   ec != asio::error::eof);
                                       return;
                                   }
                                   self->last_input = Clock::now();
                                   self->input.append(self->chunk.data(), n);
                                   self->take_lines();
                                   self->read();
                               });
    }

    void take_lines() {
        size_t start = 0;
        while (!closed && !draining) {
            const size_t newline = input.find('\n', std::max(scanned, start));
            if (newline == std::string::npos) {
                scanned = input.size();
                if (input.size() - start > jsonrpc::kMaxRequestLine) {
                    refuse(
                        {jsonrpc::kParseError,
                         "request line over " + std::to_string(jsonrpc::kMaxRequestLine) + " bytes",
                         nullptr},
                        nullptr);
                }
                break;
            }
            std::string_view line(input.data() + start, newline - start);
            start = newline + 1;
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (!blank(line)) {
                take_line(line);
            }
        }
        input.erase(0, start);
        scanned = scanned > start ? scanned - start : 0;
    }

    void take_line(std::string_view line) {
        auto parsed = jsonrpc::parse_request(line);
        if (auto *failure = std::get_if<jsonrpc::ParseFailure>(&parsed)) {
            refuse(failure->error, failure->id);
            return;
        }
        jsonrpc::Request &request = std::get<jsonrpc::Request>(parsed);
        if (in_flight >= kMaxInFlight) {
            if (!request.notification) {
                write(jsonrpc::error_line(request.id, {jsonrpc::kBusy,
                                                       "too many requests in flight (" +
                                                           std::to_string(kMaxInFlight) + ")",
                                                       nullptr}));
            }
            return;
        }
        ++in_flight;
        Respond respond = [weak = weak_from_this(), id = request.id,
                           notification = request.notification](Reply reply) {
            const auto self = weak.lock();
            if (!self || self->closed) {
                return;
            }
            --self->in_flight;
            if (!notification) {
                for (std::string &piece : reply_lines(id, std::move(reply))) {
                    self->write(std::move(piece));
                }
            }
        };
        owner.dispatch(request, std::move(respond));
    }

    // Answers a line that breaks the protocol, then drops the client.
    void refuse(const jsonrpc::Error &error, const jsonrpc::json &id) {
        log(Severity::Warning, "client " + peer + " dropped: " + error.message);
        write(jsonrpc::error_line(id, error));
        draining = true;
        if (!writing && output.empty()) {
            close(error.message, false);
        }
    }

    // ---- output -------------------------------------------------------------

    void write(std::string line) {
        if (closed) {
            return;
        }
        output_bytes += line.size();
        if (output_bytes > kMaxOutput) {
            close("unsent output over " + std::to_string(kMaxOutput >> 20) + " MiB", true);
            return;
        }
        output.push_back(std::move(line));
        flush();
    }

    void flush() {
        if (writing || closed || output.empty()) {
            return;
        }
        writing = true;
        std::vector<asio::const_buffer> buffers;
        const size_t count = std::min(output.size(), kLinesPerWrite);
        for (size_t i = 0; i < count; ++i) {
            buffers.push_back(asio::buffer(output[i]));
        }
        asio::async_write(socket, buffers,
                          [self = shared_from_this(), count](const std::error_code &ec, size_t) {
                              self->wrote(ec, count);
                          });
    }

    void wrote(const std::error_code &ec, size_t count) {
        writing = false;
        if (closed) {
            return;
        }
        if (ec) {
            close("write failed: " + ec.message(), true);
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            output_bytes -= output.front().size();
            output.pop_front();
        }
        if (draining && output.empty()) {
            close("protocol error answered", false);
            return;
        }
        flush();
        read(); // resumes when reading had paused for output
    }

    // ---- idleness -----------------------------------------------------------

    void arm_idle(Clock::time_point when) {
        idle.expires_at(when);
        idle.async_wait([weak = weak_from_this()](const std::error_code &ec) {
            const auto self = weak.lock();
            if (ec || !self || self->closed) {
                return;
            }
            const Clock::time_point now = Clock::now();
            const Clock::time_point due = self->last_input + kIdleTimeout;
            if (due <= now && self->in_flight == 0 && self->output.empty()) {
                self->close("idle for " + std::to_string(kIdleTimeout.count()) + " s", true);
                return;
            }
            self->arm_idle(due > now ? due : now + kIdleTimeout);
        });
    }
};

void Control::Impl::accept(vexa_socket::Socket socket, const std::string &peer_name) {
    auto session = std::make_shared<ClientSession>(*this, std::move(socket), peer_name);
    sessions.emplace(session.get(), session);
    session->start();
}

Control::Control(asio::io_context &io, Dispatch dispatch)
    : impl_(std::make_unique<Impl>(io, std::move(dispatch))) {}

Control::~Control() {
    stop();
}

vexa_socket::Address Control::address() const {
    return impl_->listener.bound_address();
}

bool Control::listen(const vexa_socket::Address &address,
                     vexa_socket::Listener::AcceptFilter filter, std::string *error) {
    if (!impl_->listener.listen(address, error)) {
        return false;
    }
    impl_->listener.start(
        [impl = impl_.get()](vexa_socket::Socket socket, const vexa_socket::PeerCredentials &,
                             const std::string &peer_name) {
            impl->accept(std::move(socket), peer_name);
        },
        std::move(filter));
    return true;
}

void Control::stop() {
    impl_->listener.stop();
    std::vector<std::shared_ptr<ClientSession>> sessions;
    for (const auto &[raw, session] : impl_->sessions) {
        sessions.push_back(session);
    }
    for (const auto &session : sessions) {
        session->close("supervisor stopping", false);
    }
}

} // namespace supervisor
