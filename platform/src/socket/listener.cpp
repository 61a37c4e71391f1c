// Listening sockets and outgoing connects.
//
// Invariants:
//  - a Unix socket file is removed only by the listener that created it, and
//    only while it is still that same file (device and inode), so a stopped
//    listener never removes a successor's socket;
//  - `live` counts the sockets handed to on_accept and not yet released();
//    past limits.max_connections a new peer is closed at once;
//  - the accept loop's handlers hold the shared state, never the Listener,
//    so destroying the Listener with an accept pending is safe.

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "tls.h"
#include "vexa_socket.h"

namespace vexa_socket {

namespace {

using Acceptor = asio::basic_socket_acceptor<asio::generic::stream_protocol>;

constexpr int kBacklog = 64;
// Group read/write, nothing for others: the card daemons and operators share
// a group with the supervisor.
constexpr mode_t kSocketMode = 0660;
// Out of descriptors: wait a little before accepting again rather than spin.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// Whether a process listens on the socket file at path: a connect tells.
// Non-blocking, so a listener with a full backlog answers "live" at once
// instead of holding us up.
enum class Probe { Live, Stale, Error };
Probe probe_unix_socket(const std::string &path, std::string *error) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return Probe::Error;
    }
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::memcpy(sun.sun_path, path.data(), path.size());
    int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&sun), sizeof sun);
    int err = errno;
    ::close(fd);
    if (rc == 0 || err == EAGAIN || err == EINPROGRESS)
        return Probe::Live;
    if (err == ECONNREFUSED)
        return Probe::Stale;
    *error = "cannot check " + path + ": " + std::strerror(err);
    return Probe::Error;
}

// What the Listener and its accept loop's handlers share.
struct State {
    asio::io_context &io;
    Limits limits;
    Acceptor acceptor;
    asio::steady_timer retry;
    Address address;
    bool created_file = false;
    dev_t file_dev = 0;
    ino_t file_ino = 0;
    bool stopped = false;
    size_t live = 0;
    Listener::OnAccept on_accept;
    Listener::AcceptFilter filter;
    Listener::OnRefused on_refused;
    std::shared_ptr<TlsContext> tls;

    State(asio::io_context &context, const Limits &l)
        : io(context), limits(l), acceptor(context), retry(context) {}
};

using AcceptFilter = Listener::AcceptFilter;
using OnAccept = Listener::OnAccept;

std::string peer_name_of(State &s, Socket &socket, const PeerCredentials &credentials) {
    if (s.address.kind == Address::Kind::Unix)
        return to_string(s.address) +
               (credentials.known ? " pid " + std::to_string(credentials.pid) : "");
    std::error_code ec;
    Endpoint remote = socket.remote_endpoint(ec);
    if (ec)
        return to_string(s.address) + " peer";
    asio::ip::tcp::endpoint tcp;
    if (remote.size() <= tcp.capacity()) {
        std::memcpy(tcp.data(), remote.data(), remote.size());
        tcp.resize(remote.size());
        Address a{s.address.kind, "", tcp.address().to_string(), tcp.port()};
        return to_string(a);
    }
    return to_string(s.address) + " peer";
}

void accept_next(const std::shared_ptr<State> &s);
void handshake(const std::shared_ptr<State> &s, Socket socket, std::string name);
void refuse_handshake(const std::shared_ptr<State> &s, const std::string &name,
                      const std::string &error);
void admit(const std::shared_ptr<State> &s, Socket socket, const PeerCredentials &credentials,
           const std::string &name);

void on_accepted(const std::shared_ptr<State> &s, std::error_code ec, Socket socket) {
    if (s->stopped || ec == asio::error::operation_aborted)
        return;
    if (ec) {
        log(to_string(s->address) + ": accept failed: " + ec.message());
        if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
            ec == asio::error::no_memory) {
            s->retry.expires_after(kAcceptRetry);
            s->retry.async_wait([s](std::error_code wait_ec) {
                if (!wait_ec)
                    accept_next(s);
            });
            return;
        }
        accept_next(s);
        return;
    }
    PeerCredentials credentials = peer_credentials(socket);
    std::string name = peer_name_of(*s, socket, credentials);
    if (s->address.kind == Address::Kind::Tls) {
        handshake(s, std::move(socket), std::move(name));
    } else {
        admit(s, std::move(socket), credentials, name);
    }
    if (!s->stopped)
        accept_next(s);
}

// A TLS peer holds a place while it shakes hands, so that the limit bounds
// handshakes too; past it, nothing is spent on the handshake.
void handshake(const std::shared_ptr<State> &s, Socket socket, std::string name) {
    if (s->live >= s->limits.max_connections) {
        log(name + ": refused: " + std::to_string(s->live) + " connections already (the limit)");
        return;
    }
    ++s->live;
    detail::tls_handshake(s->io, std::move(socket), s->tls, s->limits.handshake_timeout,
                          [s, name](std::optional<Socket> plain,
                                    std::optional<PeerCertificate> peer, const std::string &error) {
                              --s->live;
                              if (s->stopped)
                                  return;
                              if (!plain) {
                                  refuse_handshake(s, name, error);
                                  return;
                              }
                              PeerCredentials credentials;
                              credentials.certificate = std::move(peer);
                              admit(s, std::move(*plain), credentials, name);
                          });
}

// Seen by on_refused too, so that its owner counts and bounds these lines
// as any other refusal's.
void refuse_handshake(const std::shared_ptr<State> &s, const std::string &name,
                      const std::string &error) {
    if (!s->on_refused) {
        log(name + ": refused: " + error);
        return;
    }
    Socket closed(s->io); // the peer's is gone with its TLS stream
    Listener::OnRefused(s->on_refused)(closed, Listener::Refusal::Handshake, name, error);
}

void admit(const std::shared_ptr<State> &s, Socket socket, const PeerCredentials &credentials,
           const std::string &name) {
    std::error_code ignored;
    const auto refuse = [&](Listener::Refusal refusal, const std::string &why) {
        if (s->on_refused) {
            Listener::OnRefused(s->on_refused)(socket, refusal, name, why);
        } else {
            log(name + ": refused: " + why);
        }
        socket.close(ignored);
    };
    if (s->live >= s->limits.max_connections) {
        refuse(Listener::Refusal::Full,
               std::to_string(s->live) + " connections already (the limit)");
    } else if (std::string why; s->filter && !AcceptFilter(s->filter)(credentials, &why)) {
        refuse(Listener::Refusal::Denied, why.empty() ? "not allowed" : why);
    } else {
        ++s->live;
        // A copy: the callback may stop() the listener, which drops s->on_accept.
        OnAccept on_accept = s->on_accept;
        on_accept(std::move(socket), credentials, name);
    }
}

void accept_next(const std::shared_ptr<State> &s) {
    s->acceptor.async_accept(
        [s](std::error_code ec, Socket socket) { on_accepted(s, ec, std::move(socket)); });
}

bool fail(std::string *error, std::string text) {
    if (error)
        *error = std::move(text);
    return false;
}

} // namespace

struct Listener::Impl {
    std::shared_ptr<State> state;
};

Listener::Listener(asio::io_context &io, const Limits &limits) : impl_(std::make_unique<Impl>()) {
    impl_->state = std::make_shared<State>(io, limits);
}

Listener::~Listener() {
    stop();
}

void Listener::set_tls(std::shared_ptr<TlsContext> context) {
    impl_->state->tls = std::move(context);
}

bool Listener::listen(const Address &address, std::string *error) {
    State &s = *impl_->state;
    if (address.kind == Address::Kind::Tls && !s.tls)
        return fail(error, to_string(address) + ": TLS needs --tls-cert, --tls-key and --tls-ca");
    if (s.acceptor.is_open())
        return fail(error, "already listening on " + to_string(s.address));
    s.address = address;
    std::string where = to_string(address);
    std::string why;
    std::optional<Endpoint> endpoint = endpoint_of(s.io, address, &why);
    if (!endpoint)
        return fail(error, where + ": " + why);

    if (address.kind == Address::Kind::Unix) {
        struct stat st {};
        if (::lstat(address.path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode))
                return fail(error, where + ": the path exists and is not a socket");
            switch (probe_unix_socket(address.path, &why)) {
            case Probe::Live:
                return fail(error, where + ": address in use (another process listens there)");
            case Probe::Error:
                return fail(error, where + ": " + why);
            case Probe::Stale:
                if (::unlink(address.path.c_str()) != 0 && errno != ENOENT)
                    return fail(
                        error, where + ": cannot remove the stale socket: " + std::strerror(errno));
                log(where + ": removed a stale socket file");
                break;
            }
        }
    }

    std::error_code ec;
    s.acceptor.open(endpoint->protocol(), ec);
    if (!ec && address.kind != Address::Kind::Unix)
        s.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) {
        if (address.kind == Address::Kind::Unix) {
            // The file is created with the mode the umask leaves; narrow it
            // for the bind so it never exists wider than 0660.
            mode_t old_mask = ::umask(static_cast<mode_t>(~kSocketMode & 0777));
            s.acceptor.bind(*endpoint, ec);
            ::umask(old_mask);
            if (!ec) {
                struct stat st {};
                if (::chmod(address.path.c_str(), kSocketMode) != 0 ||
                    ::lstat(address.path.c_str(), &st) != 0) {
                    ec = std::error_code(errno, std::generic_category());
                    ::unlink(address.path.c_str());
                } else {
                    s.created_file = true;
                    s.file_dev = st.st_dev;
                    s.file_ino = st.st_ino;
                }
            }
        } else {
            s.acceptor.bind(*endpoint, ec);
        }
    }
    if (!ec)
        s.acceptor.listen(kBacklog, ec);
    if (ec) {
        std::error_code ignored;
        s.acceptor.close(ignored);
        if (s.created_file) {
            ::unlink(address.path.c_str());
            s.created_file = false;
        }
        return fail(error, where + ": " + ec.message());
    }
    if (address.kind != Address::Kind::Unix && address.port == 0) {
        asio::ip::tcp::endpoint tcp;
        Endpoint local = s.acceptor.local_endpoint(ec);
        if (!ec && local.size() <= tcp.capacity()) {
            std::memcpy(tcp.data(), local.data(), local.size());
            tcp.resize(local.size());
            s.address.port = tcp.port();
        }
    }
    s.stopped = false;
    return true;
}

void Listener::start(OnAccept on_accept, AcceptFilter accept_filter, OnRefused on_refused) {
    State &s = *impl_->state;
    s.on_accept = std::move(on_accept);
    s.filter = std::move(accept_filter);
    s.on_refused = std::move(on_refused);
    if (s.acceptor.is_open())
        accept_next(impl_->state);
}

void Listener::released() {
    State &s = *impl_->state;
    if (s.live > 0)
        --s.live;
}

void Listener::stop() {
    State &s = *impl_->state;
    s.stopped = true;
    std::error_code ignored;
    s.retry.cancel();
    s.acceptor.close(ignored);
    if (s.created_file) {
        struct stat st {};
        if (::lstat(s.address.path.c_str(), &st) == 0 && st.st_dev == s.file_dev &&
            st.st_ino == s.file_ino)
            ::unlink(s.address.path.c_str());
        s.created_file = false;
    }
    // The handlers may hold what the owner captured; drop them with the loop.
    s.on_accept = {};
    s.filter = {};
    s.on_refused = {};
}

size_t Listener::connections() const {
    return impl_->state->live;
}

Address Listener::bound_address() const {
    return impl_->state->address;
}

bool send_now(Socket &socket, std::string_view text) {
    const ssize_t n =
        ::send(socket.native_handle(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(text.size());
}

void connect(asio::io_context &io, const Address &address, ConnectDone done,
             std::shared_ptr<TlsContext> tls) {
    std::string why;
    if (address.kind == Address::Kind::Tls && !tls)
        why = "TLS needs --tls-cert, --tls-key and --tls-ca";
    std::optional<Endpoint> endpoint = why.empty() ? endpoint_of(io, address, &why) : std::nullopt;
    if (!endpoint) {
        asio::post(io, [done = std::move(done), error = to_string(address) + ": " + why] {
            done(std::nullopt, error);
        });
        return;
    }
    auto socket = std::make_shared<Socket>(io);
    socket->async_connect(*endpoint, [&io, socket, tls, done = std::move(done),
                                      where = to_string(address)](std::error_code ec) {
        if (ec) {
            done(std::nullopt, where + ": " + ec.message());
            return;
        }
        if (!tls) {
            done(std::move(*socket), "");
            return;
        }
        detail::tls_handshake(io, std::move(*socket), tls, Limits{}.handshake_timeout,
                              [done, where](std::optional<Socket> plain,
                                            std::optional<PeerCertificate>,
                                            const std::string &error) {
                                  done(std::move(plain), plain ? "" : where + ": " + error);
                              });
    });
}

} // namespace vexa_socket
