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
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include <asio/buffer.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "log.h"
#include "refusal_lines.h"

namespace supervisor {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kLinesPerWrite = 64;

bool blank(std::string_view line) {
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

// An answer line's head up to its result (same member order as result_line
// writes).
std::string result_head(const jsonrpc::json &id) {
    return "{\"id\":" + id.dump() + ",\"jsonrpc\":\"2.0\",\"result\":";
}

// The lines of one answer: a raw result goes out as the envelope's head, the
// result text itself (moved, not copied: it can be megabytes) and the tail.
std::vector<std::string> reply_lines(const jsonrpc::json &id, Reply reply) {
    std::vector<std::string> pieces;
    if (auto *result = std::get_if<jsonrpc::json>(&reply)) {
        pieces.push_back(jsonrpc::result_line(id, *result));
    } else if (auto *raw = std::get_if<RawResult>(&reply)) {
        pieces.push_back(result_head(id));
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
    Impl(asio::io_context &io_, Dispatch dispatch_, ControlOptions options_)
        : io(io_), dispatch(std::move(dispatch_)), options(options_),
          listener(io_, vexa_socket::Limits{.max_connections = kMaxClients}), refusals(io_) {}

    asio::io_context &io;
    Dispatch dispatch;
    ControlOptions options;
    vexa_socket::Listener listener;
    std::unordered_map<ClientSession *, std::shared_ptr<ClientSession>> sessions;
    size_t total_output = 0; // unsent, every session's
    RefusalLines refusals;

    Identify identify;

    void accept(vexa_socket::Socket socket, const vexa_socket::PeerCredentials &peer,
                const std::string &peer_name);
    void refused(vexa_socket::Socket &socket, vexa_socket::Listener::Refusal refusal,
                 const std::string &peer_name, const std::string &why);
    // Over max_total_output: the session with the most unsent output goes.
    void drop_largest();
    void ended(ClientSession *session) {
        if (sessions.erase(session) != 0) {
            listener.released();
        }
    }
};

struct ClientSession : std::enable_shared_from_this<ClientSession> {
    ClientSession(Control::Impl &owner_, vexa_socket::Socket socket_, std::string peer_,
                  PeerIdentity identity_)
        : owner(owner_), socket(std::move(socket_)), peer(std::move(peer_)),
          identity(std::move(identity_)), idle(owner_.io) {}

    Control::Impl &owner;
    vexa_socket::Socket socket;
    std::string peer;
    PeerIdentity identity;
    std::array<char, kReadChunk> chunk{};
    std::string input;
    size_t scanned = 0; // input before this holds no newline
    std::deque<std::string> output;
    size_t output_bytes = 0; // output's and held's
    // The request whose answer line is being written piece by piece (0:
    // none); the pieces of other answers wait in held until it has ended.
    uint64_t open_line = 0;
    struct Held {
        uint64_t request; // 0: a line of its own
        std::string piece;
        bool ends; // the last piece of its line
    };
    std::deque<Held> held;
    size_t held_bytes = 0;
    uint64_t next_request = 1;
    // Producers waiting for the client to read (WhenWritable), by request.
    struct Waiter {
        uint64_t request;
        std::function<void(bool)> then;
    };
    std::vector<Waiter> writable_waiters;
    size_t front_sent = 0; // bytes of output.front() written already
    bool reading = false;
    bool writing = false;
    bool draining = false; // answered a protocol error: close once output is out
    bool closed = false;
    size_t in_flight = 0;
    asio::steady_timer idle;
    Clock::time_point last_input = Clock::now();
    Clock::time_point last_progress = Clock::now(); // of unsent output

    void start() {
        arm_idle(Clock::now() + owner.options.client_timeout);
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
        held.clear();
        held_bytes = 0;
        open_line = 0;
        for (Waiter &waiter : writable_waiters) {
            asio::post(owner.io, [then = std::move(waiter.then)] { then(false); });
        }
        writable_waiters.clear();
        owner.total_output -= output_bytes;
        output_bytes = 0;
        front_sent = 0;
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
        auto parsed = jsonrpc::parse_line(line);
        if (auto *failure = std::get_if<jsonrpc::ParseFailure>(&parsed)) {
            refuse(failure->error, failure->id);
        } else if (auto *batch = std::get_if<jsonrpc::Batch>(&parsed)) {
            take_batch(*batch);
        } else {
            start(std::get<jsonrpc::Request>(parsed), [](ClientSession &self, Pieces pieces,
                                                         uint64_t request, bool ends) {
                for (size_t i = 0; i < pieces.size(); ++i) {
                    self.write_piece(request, std::move(pieces[i]), ends && i + 1 == pieces.size());
                }
            });
        }
    }

    // An answer's pieces (none for a notification), handed over while its
    // client is still there: all of them once the request is answered, or
    // those of a result written part by part as they come (ends: the last).
    using Pieces = std::vector<std::string>;
    using Answer = std::function<void(ClientSession &, Pieces, uint64_t request, bool ends)>;

    // Dispatches one request, counted in flight; past the bound it is
    // answered busy at once.
    void start(const jsonrpc::Request &request, Answer answer) {
        if (in_flight >= kMaxInFlight) {
            Pieces busy;
            if (!request.notification) {
                busy.push_back(jsonrpc::error_line(
                    request.id,
                    {jsonrpc::kBusy,
                     "too many requests in flight (" + std::to_string(kMaxInFlight) + ")",
                     nullptr}));
            }
            answer(*this, std::move(busy), 0, true);
            return;
        }
        ++in_flight;
        // Shared by the copies of respond: whether the answer's line is open.
        auto opened = std::make_shared<bool>(false);
        Respond respond = [weak = weak_from_this(), id = request.id, serial = next_request++,
                           notification = request.notification, opened,
                           answer = std::move(answer)](Reply reply) {
            const auto self = weak.lock();
            if (auto *wait = std::get_if<WhenWritable>(&reply)) {
                if (!self || self->closed) {
                    wait->then(false);
                } else {
                    self->when_writable(serial, std::move(wait->then));
                }
                return;
            }
            if (!self || self->closed) {
                return;
            }
            if (const auto *notice = std::get_if<Notice>(&reply)) {
                if (!notification) {
                    self->write(jsonrpc::json{{"jsonrpc", "2.0"},
                                              {"method", notice->method},
                                              {"params", notice->params}}
                                    .dump() +
                                "\n");
                }
                return;
            }
            if (const auto *notice = std::get_if<RawNotice>(&reply)) {
                if (!notification) {
                    self->write(
                        "{\"jsonrpc\":\"2.0\",\"method\":" + jsonrpc::json(notice->method).dump() +
                        ",\"params\":{\"id\":" + id.dump() + (notice->members.empty() ? "" : ",") +
                        notice->members + "}}\n");
                }
                return;
            }
            if (auto *part = std::get_if<Part>(&reply)) {
                if (!notification) {
                    Pieces pieces;
                    if (!*opened) {
                        pieces.push_back(result_head(id));
                        *opened = true;
                    }
                    pieces.push_back(std::move(part->text));
                    answer(*self, std::move(pieces), serial, false);
                }
                return;
            }
            --self->in_flight;
            if (notification) {
                answer(*self, Pieces{}, serial, true);
            } else if (!*opened) {
                answer(*self, reply_lines(id, std::move(reply)), serial, true);
            } else if (auto *raw = std::get_if<RawResult>(&reply)) {
                answer(*self, Pieces{std::move(raw->json_text), "}\n"}, serial, true);
            } else {
                // Half a result is out: no error can follow it on its line.
                self->close("an answer broken off after its start", true);
            }
        };
        owner.dispatch(request, identity, std::move(respond));
    }

    // A batch's answers wait for its last element, then go out as one array
    // line in request order; a batch of notifications only gets nothing.
    void take_batch(jsonrpc::Batch &batch) {
        struct Collected {
            std::vector<Pieces> answers;
            size_t pending;
        };
        const size_t n = batch.elements.size();
        // One more than the elements: none completes the batch while it is
        // still being dispatched (a handler may answer at once).
        auto collected = std::make_shared<Collected>(Collected{std::vector<Pieces>(n), n + 1});
        const auto done = [collected](ClientSession &self) {
            if (--collected->pending == 0) {
                self.write_batch(collected->answers);
            }
        };
        for (size_t i = 0; i < n; ++i) {
            if (auto *failure = std::get_if<jsonrpc::ParseFailure>(&batch.elements[i])) {
                collected->answers[i].push_back(jsonrpc::error_line(failure->id, failure->error));
                done(*this);
                continue;
            }
            // A result written part by part is collected whole here: a
            // batch's answers go out together.
            start(std::get<jsonrpc::Request>(batch.elements[i]),
                  [collected, i, done](ClientSession &self, Pieces pieces, uint64_t, bool ends) {
                      Pieces &answer = collected->answers[i];
                      std::move(pieces.begin(), pieces.end(), std::back_inserter(answer));
                      if (ends) {
                          done(self);
                      }
                  });
        }
        done(*this);
    }

    void write_batch(std::vector<Pieces> &answers) {
        bool first = true;
        for (Pieces &pieces : answers) {
            if (pieces.empty()) {
                continue;
            }
            // Each answer is a line of its own: its newline goes, the array's
            // punctuation comes in (a raw result's text is never copied).
            pieces.front().insert(0, first ? "[" : ",");
            pieces.back().pop_back();
            first = false;
            for (std::string &piece : pieces) {
                write(std::move(piece));
            }
        }
        if (!first) {
            write("]\n");
        }
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

    // A whole line: after the open answer line, if there is one.
    void write(std::string line) { write_piece(0, std::move(line), true); }

    // A piece of request's answer line (0: a whole line of its own).
    void write_piece(uint64_t request, std::string piece, bool ends) {
        if (closed) {
            return;
        }
        if (output_bytes + piece.size() > kMaxOutput) {
            close("unsent output over " + std::to_string(kMaxOutput >> 20) + " MiB", true);
            return;
        }
        output_bytes += piece.size();
        owner.total_output += piece.size();
        if (open_line != 0 && open_line != request) {
            held_bytes += piece.size();
            held.push_back({request, std::move(piece), ends});
        } else {
            put(request, std::move(piece), ends);
            release_held();
            wake_writable(); // a line's end lets those behind it go
        }
        if (owner.total_output > owner.options.max_total_output) {
            owner.drop_largest();
            return;
        }
        flush();
    }

    // Into the queue the socket drains (counted already).
    void put(uint64_t request, std::string piece, bool ends) {
        if (output.empty()) {
            last_progress = Clock::now(); // the wait for progress starts now
        }
        open_line = ends ? 0 : request;
        output.push_back(std::move(piece));
    }

    // Held pieces that may go now; each ended line may let others go. A
    // request's pieces keep their order: once one of them has to wait, the
    // rest of them do.
    void release_held() {
        bool moved = true;
        while (moved && open_line == 0 && !held.empty()) {
            moved = false;
            std::vector<uint64_t> waiting;
            for (auto it = held.begin(); it != held.end();) {
                const bool blocked =
                    (open_line != 0 && open_line != it->request) ||
                    std::find(waiting.begin(), waiting.end(), it->request) != waiting.end();
                if (blocked) {
                    if (it->request != 0) {
                        waiting.push_back(it->request);
                    }
                    ++it;
                    continue;
                }
                held_bytes -= it->piece.size();
                put(it->request, std::move(it->piece), it->ends);
                it = held.erase(it);
                moved = true;
            }
        }
    }

    // Whether request's producer may go on. The open line's (or any, when
    // none is open) waits for the socket; another's pieces wait behind that
    // line, and it may add only so much to them, lest two answers each wait
    // for the other to be read.
    bool writable(uint64_t request) const {
        if (open_line == 0 || open_line == request) {
            return output_bytes - held_bytes < kResumeOutput;
        }
        return held_bytes < kResumeOutput;
    }

    void when_writable(uint64_t request, std::function<void(bool)> then) {
        writable_waiters.push_back({request, std::move(then)});
        wake_writable();
    }

    void wake_writable() {
        std::erase_if(writable_waiters, [this](Waiter &waiter) {
            if (!writable(waiter.request)) {
                return false;
            }
            asio::post(owner.io, [then = std::move(waiter.then)] { then(true); });
            return true;
        });
    }

    // Writes what the socket takes (partial writes are progress too).
    void flush() {
        if (writing || closed || output.empty()) {
            return;
        }
        writing = true;
        std::vector<asio::const_buffer> buffers;
        const size_t count = std::min(output.size(), kLinesPerWrite);
        buffers.push_back(asio::buffer(output[0]) + front_sent);
        for (size_t i = 1; i < count; ++i) {
            buffers.push_back(asio::buffer(output[i]));
        }
        socket.async_write_some(buffers,
                                [self = shared_from_this()](const std::error_code &ec, size_t n) {
                                    self->wrote(ec, n);
                                });
    }

    void wrote(const std::error_code &ec, size_t written) {
        writing = false;
        if (closed) {
            return;
        }
        if (ec) {
            close("write failed: " + ec.message(), true);
            return;
        }
        last_progress = Clock::now();
        // Empty pieces go with what precedes them: a write of nothing but
        // empty buffers would complete with nothing, again and again.
        while (!output.empty() && (written > 0 || output.front().size() == front_sent)) {
            const size_t left = output.front().size() - front_sent;
            if (written < left) {
                front_sent += written;
                break;
            }
            written -= left;
            output_bytes -= output.front().size();
            owner.total_output -= output.front().size();
            output.pop_front();
            front_sent = 0;
        }
        wake_writable();
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
            const auto timeout = self->owner.options.client_timeout;
            const std::string after = std::to_string(timeout.count()) + " ms";
            if (!self->output.empty()) {
                // Output waits: only its progress counts.
                const Clock::time_point due = self->last_progress + timeout;
                if (due <= now) {
                    self->close("no output written for " + after + " (" +
                                    std::to_string(self->output_bytes) + " bytes unsent)",
                                true);
                    return;
                }
                self->arm_idle(due);
                return;
            }
            const Clock::time_point due = self->last_input + timeout;
            if (due <= now && self->in_flight == 0) {
                self->close("idle for " + after, true);
                return;
            }
            self->arm_idle(due > now ? due : now + timeout);
        });
    }
};

void Control::Impl::accept(vexa_socket::Socket socket, const vexa_socket::PeerCredentials &peer,
                           const std::string &peer_name) {
    std::string why;
    std::optional<PeerIdentity> identity = identify(peer, peer_name, &why);
    if (!identity) {
        refused(socket, vexa_socket::Listener::Refusal::Denied, peer_name, why);
        std::error_code ignored;
        socket.close(ignored);
        listener.released();
        return;
    }
    auto session =
        std::make_shared<ClientSession>(*this, std::move(socket), peer_name, std::move(*identity));
    sessions.emplace(session.get(), session);
    session->start();
}

void Control::Impl::refused(vexa_socket::Socket &socket, vexa_socket::Listener::Refusal refusal,
                            const std::string &peer_name, const std::string &why) {
    const bool full = refusal == vexa_socket::Listener::Refusal::Full;
    const model::Error error =
        full ? model::error(model::Errc::TooManyClients,
                            "too many clients (" + std::to_string(kMaxClients) + ")")
             : model::error(model::Errc::Denied, "permission denied: " + why);
    // Best effort: a line this short fits in any socket buffer. A failed TLS
    // handshake leaves nobody to tell.
    if (refusal != vexa_socket::Listener::Refusal::Handshake) {
        vexa_socket::send_now(socket, jsonrpc::error_line(nullptr, jsonrpc::to_jsonrpc(error)));
    }
    refusals.refused("client " + peer_name + " refused: " + why);
}

void Control::Impl::drop_largest() {
    ClientSession *largest = nullptr;
    for (const auto &[raw, session] : sessions) {
        if (largest == nullptr || raw->output_bytes > largest->output_bytes) {
            largest = raw;
        }
    }
    if (largest != nullptr) {
        const auto keep = sessions.at(largest); // close() erases it
        largest->close("the most unsent output when all clients' passed " +
                           std::to_string(options.max_total_output >> 20) + " MiB",
                       true);
    }
}

Control::Control(asio::io_context &io, Dispatch dispatch, ControlOptions options)
    : impl_(std::make_unique<Impl>(io, std::move(dispatch), options)) {}

Control::~Control() {
    stop();
}

vexa_socket::Address Control::address() const {
    return impl_->listener.bound_address();
}

bool Control::listen(const vexa_socket::Address &address, Identify identify,
                     std::shared_ptr<vexa_socket::TlsContext> tls, std::string *error) {
    impl_->listener.set_tls(std::move(tls));
    if (!impl_->listener.listen(address, error)) {
        return false;
    }
    impl_->identify = std::move(identify);
    impl_->listener.start(
        [impl = impl_.get()](vexa_socket::Socket socket, const vexa_socket::PeerCredentials &peer,
                             const std::string &peer_name) {
            impl->accept(std::move(socket), peer, peer_name);
        },
        {},
        [impl = impl_.get()](vexa_socket::Socket &socket, vexa_socket::Listener::Refusal refusal,
                             const std::string &peer_name, const std::string &why) {
            impl->refused(socket, refusal, peer_name, why);
        });
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
