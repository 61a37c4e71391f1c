// The message service over stream sockets: a second implementation of the
// vexa_* calls (vexa.h) whose handle is a connection, and the host-side API
// that daemons use to listen, connect and receive. Built as its own shared
// library (libacl_tcam_platform_socket.so); a process that loads it before
// the in-process stand-in gets these vexa_* definitions.
//
// Wire format: every message is one frame, a 36-byte big-endian header and
// the payload (docs/wire-format.md has the table of offsets):
//
//   0  u16 magic 0x5658 ("VX")     4  u32 opcode
//   2  u8  version (1)             8  u32 src node     12 u32 src endpoint
//   3  u8  flags (0)              16  u32 dst node     20 u32 dst endpoint
//                                 24  u32 message id (never 0 on a sent frame)
//                                 28  u32 id of the message answered (0 = none)
//                                 32  u32 payload length, at most kMaxPayload
//
// Invariants:
//  - a frame with a bad magic, a version other than 1, non-zero flags or a
//    length over kMaxPayload is refused and its connection closed; so is a
//    connection that ends inside a frame (truncated);
//  - sends never block: each connection has a bounded send queue; a send
//    over the bound fails with ENOBUFS, a send on a closed or unknown handle
//    with ENOTCONN, and vexa_send returns -1 with errno set;
//  - everything here runs on the thread of the io_context it was given; the
//    library's calls into vexa_* come from that same thread.
#ifndef PLATFORM_VEXA_SOCKET_H
#define PLATFORM_VEXA_SOCKET_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include <asio/generic/stream_protocol.hpp>
#include <asio/io_context.hpp>

#include "vexa.h"
#include "vexa_msg.h"

namespace vexa_socket {

// ---- Frames -----------------------------------------------------------------

inline constexpr uint16_t kMagic = 0x5658;
inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kHeaderLen = 36;
// A display chunk (120,652 bytes) and a little more.
inline constexpr uint32_t kMaxPayload = 128 * 1024;

struct FrameHeader {
    uint32_t opcode = 0;
    vexa_addr_t src{};
    vexa_addr_t dst{};
    uint32_t msg_id = 0;
    uint32_t reply_to = 0; // 0: the frame answers nothing
    uint32_t payload_len = 0;
};

// What makes a byte stream unacceptable. Each has a fixed text (error_text);
// FrameDecoder::error_message adds the value refused, where there is one.
enum class FrameError {
    None,
    BadMagic,   // "bad magic"
    BadVersion, // "unsupported version N"-like text; the code alone is fixed
    BadFlags,   // "non-zero flags"
    TooLong,    // "payload of N bytes over the limit"
    Truncated,  // "stream ended inside a frame"
};
const char *error_text(FrameError error);

void encode_header(const FrameHeader &header, uint8_t out[kHeaderLen]);
// Checks and decodes one header; FrameError::None on success.
FrameError decode_header(const uint8_t in[kHeaderLen], FrameHeader &out);

// Splits a byte stream into frames. feed() may be called with any split of
// the stream; each complete frame is handed to the callback with a payload
// view valid only during the call. After an error the decoder stays failed.
// Whole frames inside one feed() are handed over in place; only the bytes of
// a frame split across calls are copied, into one reused buffer.
class FrameDecoder {
public:
    using OnFrame = std::function<void(const FrameHeader &, std::span<const uint8_t>)>;
    FrameError feed(std::span<const uint8_t> bytes, const OnFrame &on_frame);
    // Called at end of stream: Truncated when a frame was begun.
    FrameError finish() const;
    size_t buffered() const { return buffer_.size(); }
    // The failure's text with what was seen ("unsupported version 7").
    std::string error_message() const;

private:
    std::vector<uint8_t> buffer_; // the begun frame, header first
    FrameHeader header_;          // valid once buffer_ holds a whole header
    FrameError failed_ = FrameError::None;
    uint32_t failed_value_ = 0; // the version or length refused
};

// ---- Addresses --------------------------------------------------------------

// "unix:PATH", "tcp:HOST:PORT" or "tls:HOST:PORT" (HOST a name or an
// IPv4/IPv6 address, v6 in brackets). There is no default host: callers say
// "tcp:127.0.0.1:PORT". A tls: address is TCP with mutual TLS on top.
struct Address {
    enum class Kind { Unix, Tcp, Tls } kind = Kind::Unix;
    std::string path; // unix
    std::string host; // tcp, tls
    uint16_t port = 0;
};
std::optional<Address> parse_address(std::string_view text, std::string *error);
std::string to_string(const Address &address);

using Socket = asio::generic::stream_protocol::socket;
using Endpoint = asio::generic::stream_protocol::endpoint;
// The endpoint to connect to or bind (a TCP host name is resolved, first
// address wins); nullopt with *error set.
std::optional<Endpoint> endpoint_of(asio::io_context &io, const Address &address,
                                    std::string *error);

// Where the transport logs (refused frames, dropped peers, listen errors):
// one line a call, no newline. Default: standard error.
void set_logger(std::function<void(const std::string &line)> logger);
void log(const std::string &line);

// ---- Connections ------------------------------------------------------------

struct Limits {
    size_t max_send_queue_bytes = 16u << 20; // a whole display of 65,535 flows fits
    size_t max_connections = 64;             // per listener
    // A TLS peer that has not finished its handshake by then is dropped, so
    // that a silent peer cannot hold a place for long.
    std::chrono::milliseconds handshake_timeout{10000};
};

// The certificate a TLS peer presented, verified against our CA.
struct PeerCertificate {
    std::string subject; // one line, RFC 2253 order ("CN=slot-3,OU=card,O=lab")
    std::string common_name;
    std::string unit;                   // the first OU, empty when none
    std::vector<std::string> dns_names; // subjectAltName DNS entries
};

struct PeerCredentials {
    bool known = false; // SO_PEERCRED: true for Unix peers only
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::optional<PeerCertificate> certificate{}; // TLS peers only
};
// SO_PEERCRED of a connected Unix socket; known false otherwise.
PeerCredentials peer_credentials(Socket &socket);

// ---- TLS ----------------------------------------------------------------------

// The three files of one end: its certificate chain, its key and the CA its
// peers' certificates must chain to (PEM).
struct TlsFiles {
    std::string cert;
    std::string key;
    std::string ca;
    bool complete() const { return !cert.empty() && !key.empty() && !ca.empty(); }
};
// TLS 1.2 at least, 1.3 preferred; both ends present a certificate and
// verify the other's against the CA (a server refuses a client without one).
class TlsContext;
enum class TlsRole { Server, Client };
std::shared_ptr<TlsContext> make_tls_context(const TlsFiles &files, TlsRole role,
                                             std::string *error);

class Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

// Per-connection callbacks, called on the io_context's thread. on_frame's
// payload view is valid during the call. on_close is called once, after the
// socket is closed, with the reason ("peer closed", a FrameError text, an I/O
// error, or what close() was given); it is never called from inside send()
// or close() themselves, but posted, so a handler may close any connection.
struct Handlers {
    std::function<void(const ConnectionPtr &, const FrameHeader &, std::span<const uint8_t>)>
        on_frame;
    std::function<void(const ConnectionPtr &, const std::string &reason)> on_close;
};

// A framed connection over a connected stream socket.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // credentials: the peer's, when the socket is not the peer's own (a TLS
    // connection's plain end); else they are read from the socket.
    static ConnectionPtr create(Socket socket, const Limits &limits, Handlers handlers,
                                std::string peer_name,
                                std::optional<PeerCredentials> credentials = std::nullopt);
    ~Connection();
    void start(); // begins reading

    // Queues one frame; writes go out in the background, coalesced. msg_id 0
    // takes the next id of this connection (1, 2, ...; never 0). Returns the
    // message id used, or 0 with errno ENOBUFS (the queue would pass its
    // bound; nothing queued), ENOTCONN (closed) or EMSGSIZE (a payload over
    // kMaxPayload, which the peer would refuse).
    uint32_t send(uint32_t opcode, vexa_addr_t src, vexa_addr_t dst, uint32_t reply_to,
                  std::span<const uint8_t> payload, uint32_t msg_id = 0);
    // Closes now; queued frames are dropped. Idempotent.
    void close(const std::string &reason);
    bool is_open() const;
    const std::string &peer_name() const;
    const PeerCredentials &credentials() const;
    size_t queued_bytes() const;

    struct Impl;

private:
    explicit Connection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Accepts connections on an address and hands each accepted socket over; the
// caller wraps it (a framed Connection, or a line-based session of its own).
// A Unix socket is created with mode 0660; a stale socket file (nobody
// accepting on it) is removed first, a live one makes listen() fail. The file
// is removed again by stop() and the destructor. TCP listens only on the
// address given. The filter sees each new peer's credentials and may refuse
// it (closed, with a log line naming why); over max_connections live sockets
// handed out (the caller reports each one's end with released()), new peers
// are closed at once with a log line. An on_refused handler, when given, sees
// each refused peer before it is closed (to tell it why, to count it) and
// logs in the listener's place.
//
// On a tls: address the handshake comes first (within
// limits.handshake_timeout; a failed one is logged and closed), and the
// socket handed over carries the plain bytes: the transport keeps the TLS
// stream and relays it through a socket pair, so that every user of a Socket
// works the same on any kind of address. The credentials then hold the
// verified certificate and known is false.
class Listener {
public:
    // Handshake: a TLS peer whose handshake failed or timed out; its socket
    // is closed already, nothing can be written to it.
    enum class Refusal { Full, Denied, Handshake };
    using AcceptFilter = std::function<bool(const PeerCredentials &, std::string *why)>;
    using OnAccept =
        std::function<void(Socket socket, const PeerCredentials &, const std::string &peer_name)>;
    using OnRefused = std::function<void(Socket &socket, Refusal refusal,
                                         const std::string &peer_name, const std::string &why)>;
    Listener(asio::io_context &io, const Limits &limits);
    ~Listener();
    // Needed before listen() on a tls: address.
    void set_tls(std::shared_ptr<TlsContext> context);
    bool listen(const Address &address, std::string *error);
    void start(OnAccept on_accept, AcceptFilter accept_filter = {}, OnRefused on_refused = {});
    void released(); // one socket handed out has ended
    void stop();
    size_t connections() const;
    // The bound address; a TCP port 0 is replaced by the port chosen.
    Address bound_address() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Writes text to a socket without blocking and without waiting for the
// peer: what fits in the socket's buffer goes (a refusal's notice before the
// close). False when not all of it went.
bool send_now(Socket &socket, std::string_view text);

// Connects once; the callback gets the connected socket or an error text. A
// tls: address needs a client context; its socket is the plain end of the
// relay, as the listener hands out, and done's credentials hold the server's
// verified certificate.
using ConnectDone = std::function<void(std::optional<Socket> socket, const std::string &error)>;
void connect(asio::io_context &io, const Address &address, ConnectDone done,
             std::shared_ptr<TlsContext> tls = nullptr);

// ---- The vexa_* calls over connections ---------------------------------------

// vexa_send(handle, ...) sends on the connection bound to handle; the frame's
// src is the address given to bind_handle. A reply (reply_to != NULL) names
// the message id held in the answered message's descriptor.
void bind_handle(uint32_t handle, ConnectionPtr connection, vexa_addr_t local);
void unbind_handle(uint32_t handle);

// Builds the message the library is handed for a received frame: the
// descriptor (first 25 bytes) holds handle, message id, opcode, src node,
// src endpoint, payload length and the frame version, so that a reply or a
// display chunk naming it goes back as an answer to that frame.
vexa_msg make_message(uint32_t handle, const FrameHeader &header, std::span<const uint8_t> payload);

// Sees every frame vexa_send queues (or fails to), after the fact; for hosts
// that check what the library answered. NULL-able.
using SendObserver = std::function<void(uint32_t handle, const FrameHeader &header,
                                        std::span<const uint8_t> payload, int result)>;
void set_send_observer(SendObserver observer);

} // namespace vexa_socket

#endif // PLATFORM_VEXA_SOCKET_H
