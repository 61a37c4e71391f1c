// Transport addresses: "unix:PATH", "tcp:HOST:PORT" and "tls:HOST:PORT", their text form and
// the socket endpoint each names.
//
// Invariants: a parsed Unix path is non-empty and fits sockaddr_un with its
// terminating NUL; a parsed TCP host is non-empty, has no brackets, and holds
// a ':' only when it is an IPv6 address (written in brackets in the text).

#include <charconv>
#include <sys/un.h>

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>

#include "vexa_socket.h"

namespace vexa_socket {

namespace {

constexpr std::string_view kUnixScheme = "unix:";
constexpr std::string_view kTcpScheme = "tcp:";
constexpr std::string_view kTlsScheme = "tls:";
constexpr size_t kMaxUnixPath = sizeof(sockaddr_un::sun_path) - 1;

std::optional<Address> fail(std::string *error, std::string text) {
    if (error)
        *error = std::move(text);
    return std::nullopt;
}

std::optional<uint16_t> parse_port(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

} // namespace

std::optional<Address> parse_address(std::string_view text, std::string *error) {
    Address address;
    if (text.starts_with(kUnixScheme)) {
        address.kind = Address::Kind::Unix;
        address.path = std::string(text.substr(kUnixScheme.size()));
        if (address.path.empty())
            return fail(error, "unix: needs a path");
        if (address.path.size() > kMaxUnixPath)
            return fail(error, "unix socket path longer than " + std::to_string(kMaxUnixPath) +
                                   " bytes: " + address.path);
        if (address.path.find('\0') != std::string::npos)
            return fail(error, "unix socket path holds a NUL byte");
        return address;
    }
    const bool tls = text.starts_with(kTlsScheme);
    if (!tls && !text.starts_with(kTcpScheme))
        return fail(error, "unknown address '" + std::string(text) +
                               "' (unix:PATH, tcp:HOST:PORT or tls:HOST:PORT)");

    address.kind = tls ? Address::Kind::Tls : Address::Kind::Tcp;
    // Both schemes are four characters: the error texts below say "tcp:".
    std::string_view rest = text.substr(kTcpScheme.size());
    std::string_view host;
    std::string_view port;
    if (rest.starts_with('[')) {
        size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return fail(error, "tcp: '[' without ']' in " + std::string(text));
        host = rest.substr(1, close - 1);
        if (close + 1 >= rest.size() || rest[close + 1] != ':')
            return fail(error, "tcp: needs HOST:PORT in " + std::string(text));
        port = rest.substr(close + 2);
        std::error_code ec;
        asio::ip::make_address_v6(std::string(host), ec);
        if (ec)
            return fail(error, "tcp: not an IPv6 address: " + std::string(host));
    } else {
        size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos)
            return fail(error, "tcp: needs HOST:PORT in " + std::string(text));
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return fail(error, "tcp: an IPv6 address goes in brackets: " + std::string(text));
        if (host.find_first_of("[]") != std::string_view::npos)
            return fail(error, "tcp: bad host in " + std::string(text));
    }
    if (host.empty())
        return fail(error, "tcp: needs a host in " + std::string(text));
    std::optional<uint16_t> number = parse_port(port);
    if (!number)
        return fail(error, "tcp: port must be 0 to 65535 in " + std::string(text));
    address.host = std::string(host);
    address.port = *number;
    return address;
}

std::string to_string(const Address &address) {
    if (address.kind == Address::Kind::Unix)
        return std::string(kUnixScheme) + address.path;
    bool v6 = address.host.find(':') != std::string::npos;
    const std::string_view scheme = address.kind == Address::Kind::Tls ? kTlsScheme : kTcpScheme;
    return std::string(scheme) + (v6 ? "[" + address.host + "]" : address.host) + ":" +
           std::to_string(address.port);
}

std::optional<Endpoint> endpoint_of(asio::io_context &io, const Address &address,
                                    std::string *error) {
    if (address.kind == Address::Kind::Unix) {
        asio::local::stream_protocol::endpoint local(address.path);
        return Endpoint(local.data(), local.size());
    }
    std::error_code ec;
    asio::ip::address ip = asio::ip::make_address(address.host, ec);
    if (!ec)
        return Endpoint(asio::ip::tcp::endpoint(ip, address.port));

    asio::ip::tcp::resolver resolver(io);
    auto results = resolver.resolve(address.host, std::to_string(address.port),
                                    asio::ip::resolver_base::numeric_service, ec);
    if (ec || results.empty()) {
        if (error)
            *error = "cannot resolve " + address.host + ": " +
                     (ec ? ec.message() : std::string("no address"));
        return std::nullopt;
    }
    return Endpoint(results.begin()->endpoint());
}

} // namespace vexa_socket
