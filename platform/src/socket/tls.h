// TLS inside the transport: the handshake on a connected TCP socket and the
// relay that hands the plain bytes on through a socket pair.
#ifndef PLATFORM_SOCKET_TLS_H
#define PLATFORM_SOCKET_TLS_H

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "vexa_socket.h"

namespace vexa_socket::detail {

using TlsDone = std::function<void(std::optional<Socket> plain, std::optional<PeerCertificate> peer,
                                   const std::string &error)>;

// Runs the handshake (as the context's role) within timeout; on success the
// relay starts and done gets the plain end and the peer's certificate.
void tls_handshake(asio::io_context &io, Socket tcp, const std::shared_ptr<TlsContext> &context,
                   std::chrono::milliseconds timeout, TlsDone done);

} // namespace vexa_socket::detail

#endif // PLATFORM_SOCKET_TLS_H
