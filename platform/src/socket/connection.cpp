// A framed connection: reads frames into the decoder and hands them over,
// queues outgoing frames and writes them in the background.
//
// Invariants:
//  - outgoing frames live in two byte buffers: `queued` takes every send(),
//    `writing` is the one write in flight; when a write ends the buffers
//    swap, so all frames queued meanwhile leave in one write, and the
//    buffers' capacity is reused instead of allocating per frame;
//  - queued + writing never pass limits.max_send_queue_bytes;
//  - every pending asynchronous operation holds a ConnectionPtr, so the
//    connection outlives its operations whatever its owner drops;
//  - once closed, no frame is handed over, nothing is sent, and on_close
//    runs once, from a posted handler, after which the handlers are dropped
//    (breaking any cycle through captured ConnectionPtrs).

#include <cerrno>
#include <sys/socket.h>

#include <asio/post.hpp>
#include <asio/write.hpp>

#include "vexa_socket.h"

namespace vexa_socket {

namespace {

constexpr size_t kReadBufferLen = 64 * 1024;
// A write buffer grown past this (a burst of display chunks) is released
// once drained, so idle connections do not keep megabytes each.
constexpr size_t kKeepWriteCapacity = 1024 * 1024;

} // namespace

struct Connection::Impl {
    Socket socket;
    Limits limits;
    Handlers handlers;
    std::string peer_name;
    PeerCredentials credentials;
    FrameDecoder decoder;
    std::unique_ptr<uint8_t[]> read_buffer{new uint8_t[kReadBufferLen]};
    std::vector<uint8_t> queued;
    std::vector<uint8_t> writing;
    bool open = true;
    bool reading = false;
    bool write_in_flight = false;
    uint32_t next_id = 1;

    Impl(Socket s, const Limits &l, Handlers h, std::string name)
        : socket(std::move(s)), limits(l), handlers(std::move(h)), peer_name(std::move(name)) {}

    void read(const ConnectionPtr &self);
    void on_read(const ConnectionPtr &self, std::error_code ec, size_t n);
    void start_write(const ConnectionPtr &self);
    void shut(const ConnectionPtr &self, const std::string &reason);
};

void Connection::Impl::read(const ConnectionPtr &self) {
    socket.async_read_some(asio::buffer(read_buffer.get(), kReadBufferLen),
                           [this, self](std::error_code ec, size_t n) { on_read(self, ec, n); });
}

void Connection::Impl::on_read(const ConnectionPtr &self, std::error_code ec, size_t n) {
    if (!open)
        return;
    if (ec) {
        if (ec != asio::error::eof) {
            shut(self, ec.message());
        } else if (decoder.finish() != FrameError::None) {
            log(peer_name + ": refused: " + decoder.error_message() + "; disconnected");
            shut(self, decoder.error_message());
        } else {
            shut(self, "peer closed");
        }
        return;
    }
    FrameError error =
        decoder.feed(std::span<const uint8_t>(read_buffer.get(), n),
                     [&](const FrameHeader &header, std::span<const uint8_t> payload) {
                         // A handler may close this connection; the rest of the chunk is dropped.
                         if (open && handlers.on_frame)
                             handlers.on_frame(self, header, payload);
                     });
    if (!open)
        return;
    if (error != FrameError::None) {
        log(peer_name + ": refused: " + decoder.error_message() + "; disconnected");
        shut(self, decoder.error_message());
        return;
    }
    read(self);
}

void Connection::Impl::start_write(const ConnectionPtr &self) {
    std::swap(queued, writing);
    write_in_flight = true;
    asio::async_write(socket, asio::buffer(writing), [this, self](std::error_code ec, size_t) {
        write_in_flight = false;
        writing.clear();
        if (writing.capacity() > kKeepWriteCapacity)
            std::vector<uint8_t>().swap(writing);
        if (!open)
            return;
        if (ec) {
            shut(self, "write failed: " + ec.message());
            return;
        }
        if (!queued.empty())
            start_write(self);
    });
}

void Connection::Impl::shut(const ConnectionPtr &self, const std::string &reason) {
    if (!open)
        return;
    open = false;
    std::error_code ignored;
    socket.close(ignored);
    // The buffer of a write in flight stays until its handler has run.
    std::vector<uint8_t>().swap(queued);
    asio::post(socket.get_executor(), [self, reason] {
        Handlers handlers = std::move(self->impl_->handlers);
        self->impl_->handlers = {};
        if (handlers.on_close)
            handlers.on_close(self, reason);
    });
}

PeerCredentials peer_credentials(Socket &socket) {
    PeerCredentials credentials;
    std::error_code ec;
    Endpoint local = socket.local_endpoint(ec);
    if (ec || local.protocol().family() != AF_UNIX)
        return credentials;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return credentials;
    credentials.known = true;
    credentials.pid = cred.pid;
    credentials.uid = cred.uid;
    credentials.gid = cred.gid;
    return credentials;
}

ConnectionPtr Connection::create(Socket socket, const Limits &limits, Handlers handlers,
                                 std::string peer_name,
                                 std::optional<PeerCredentials> credentials) {
    auto impl = std::make_unique<Impl>(std::move(socket), limits, std::move(handlers),
                                       std::move(peer_name));
    impl->credentials = credentials ? std::move(*credentials) : peer_credentials(impl->socket);
    impl->open = impl->socket.is_open();
    return ConnectionPtr(new Connection(std::move(impl)));
}

Connection::Connection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Connection::~Connection() = default;

void Connection::start() {
    if (!impl_->open || impl_->reading)
        return;
    impl_->reading = true;
    impl_->read(shared_from_this());
}

uint32_t Connection::send(uint32_t opcode, vexa_addr_t src, vexa_addr_t dst, uint32_t reply_to,
                          std::span<const uint8_t> payload, uint32_t msg_id) {
    Impl &d = *impl_;
    if (!d.open) {
        errno = ENOTCONN;
        return 0;
    }
    if (payload.size() > kMaxPayload) {
        errno = EMSGSIZE;
        return 0;
    }
    size_t frame_len = kHeaderLen + payload.size();
    if (d.queued.size() + d.writing.size() + frame_len > d.limits.max_send_queue_bytes) {
        errno = ENOBUFS;
        return 0;
    }
    if (msg_id == 0) {
        msg_id = d.next_id++;
        if (d.next_id == 0)
            d.next_id = 1;
    }
    FrameHeader header;
    header.opcode = opcode;
    header.src = src;
    header.dst = dst;
    header.msg_id = msg_id;
    header.reply_to = reply_to;
    header.payload_len = static_cast<uint32_t>(payload.size());
    uint8_t encoded[kHeaderLen];
    encode_header(header, encoded);
    d.queued.insert(d.queued.end(), encoded, encoded + kHeaderLen);
    d.queued.insert(d.queued.end(), payload.begin(), payload.end());
    if (!d.write_in_flight)
        d.start_write(shared_from_this());
    return msg_id;
}

void Connection::close(const std::string &reason) {
    impl_->shut(shared_from_this(), reason);
}

bool Connection::is_open() const {
    return impl_->open;
}

const std::string &Connection::peer_name() const {
    return impl_->peer_name;
}

const PeerCredentials &Connection::credentials() const {
    return impl_->credentials;
}

size_t Connection::queued_bytes() const {
    return impl_->queued.size() + impl_->writing.size();
}

} // namespace vexa_socket
