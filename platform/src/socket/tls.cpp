// TLS contexts, handshakes and the relay between a TLS stream and the plain
// socket its user reads and writes.
//
// Invariants:
//  - a context accepts TLS 1.2 and 1.3 only, and always verifies the peer
//    against its CA; a server also refuses a peer without a certificate;
//  - the relay moves bytes one read at a time in each direction, a read
//    starting only once the previous one is written, so a side never holds
//    more than one buffer of the other's data;
//  - the plain side closing (its user is done) closes the TLS connection
//    after what it wrote has gone; the TLS side ending shuts the plain side
//    for writing, so its user sees the end of the stream.

#include "tls.h"

#include <array>
#include <sys/socket.h>

#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace vexa_socket {

class TlsContext {
public:
    TlsContext(TlsRole r)
        : role(r), ssl(r == TlsRole::Server ? asio::ssl::context::tls_server
                                            : asio::ssl::context::tls_client) {}
    TlsRole role;
    asio::ssl::context ssl;
};

std::shared_ptr<TlsContext> make_tls_context(const TlsFiles &files, TlsRole role,
                                             std::string *error) {
    const auto fail = [error](const std::string &what, const std::error_code &ec) {
        if (error)
            *error = what + ": " + ec.message();
        return nullptr;
    };
    if (!files.complete()) {
        if (error)
            *error = "TLS needs --tls-cert, --tls-key and --tls-ca";
        return nullptr;
    }
    auto context = std::make_shared<TlsContext>(role);
    asio::ssl::context &ssl = context->ssl;
    std::error_code ec;
    ssl.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                        asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                        asio::ssl::context::no_tlsv1_1,
                    ec);
    if (SSL_CTX_set_min_proto_version(ssl.native_handle(), TLS1_2_VERSION) != 1)
        return fail("TLS", std::make_error_code(std::errc::protocol_not_supported));
    if (ssl.use_certificate_chain_file(files.cert, ec); ec)
        return fail(files.cert, ec);
    if (ssl.use_private_key_file(files.key, asio::ssl::context::pem, ec); ec)
        return fail(files.key, ec);
    if (SSL_CTX_check_private_key(ssl.native_handle()) != 1) {
        if (error)
            *error = files.key + ": not the key of " + files.cert;
        return nullptr;
    }
    if (ssl.load_verify_file(files.ca, ec); ec)
        return fail(files.ca, ec);
    ssl.set_verify_mode(role == TlsRole::Server
                            ? asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert
                            : asio::ssl::verify_peer,
                        ec);
    if (ec)
        return fail("TLS", ec);
    return context;
}

namespace detail {

namespace {

using TlsStream = asio::ssl::stream<Socket>;
constexpr size_t kRelayChunk = 16 * 1024;

std::string utf8_of(const ASN1_STRING *text) {
    unsigned char *out = nullptr;
    const int n = ASN1_STRING_to_UTF8(&out, text);
    if (n < 0)
        return {};
    std::string value(reinterpret_cast<const char *>(out), static_cast<size_t>(n));
    OPENSSL_free(out);
    return value;
}

std::string entry_of(X509_NAME *name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    return utf8_of(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

PeerCertificate certificate_of(SSL *ssl) {
    PeerCertificate out;
    X509 *cert = SSL_get0_peer_certificate(ssl);
    if (cert == nullptr)
        return out;
    X509_NAME *name = X509_get_subject_name(cert);
    if (BIO *bio = BIO_new(BIO_s_mem())) {
        X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
        char *data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        out.subject.assign(data, n > 0 ? static_cast<size_t>(n) : 0);
        BIO_free(bio);
    }
    out.common_name = entry_of(name, NID_commonName);
    out.unit = entry_of(name, NID_organizationalUnitName);
    auto *names = static_cast<GENERAL_NAMES *>(
        X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME *entry = sk_GENERAL_NAME_value(names, i);
        if (entry->type == GEN_DNS)
            out.dns_names.push_back(utf8_of(entry->d.dNSName));
    }
    GENERAL_NAMES_free(names);
    return out;
}

struct Relay : std::enable_shared_from_this<Relay> {
    Relay(std::shared_ptr<TlsStream> stream, Socket plain_end)
        : tls(std::move(stream)), plain(std::move(plain_end)) {}

    std::shared_ptr<TlsStream> tls;
    Socket plain;
    std::array<uint8_t, kRelayChunk> in{};  // from the peer
    std::array<uint8_t, kRelayChunk> out{}; // to the peer
    bool closed = false;

    void start() {
        from_peer();
        to_peer();
    }
    void close() {
        if (closed)
            return;
        closed = true;
        std::error_code ignored;
        tls->lowest_layer().close(ignored);
        plain.close(ignored);
    }
    void from_peer() {
        tls->async_read_some(
            asio::buffer(in), [self = shared_from_this()](std::error_code ec, size_t n) {
                if (self->closed)
                    return;
                if (ec) {
                    std::error_code ignored;
                    self->plain.shutdown(asio::socket_base::shutdown_send, ignored);
                    return;
                }
                asio::async_write(self->plain, asio::buffer(self->in.data(), n),
                                  [self](std::error_code write_ec, size_t) {
                                      if (write_ec)
                                          self->close();
                                      else if (!self->closed)
                                          self->from_peer();
                                  });
            });
    }
    void to_peer() {
        plain.async_read_some(asio::buffer(out),
                              [self = shared_from_this()](std::error_code ec, size_t n) {
                                  if (ec || self->closed) {
                                      self->close();
                                      return;
                                  }
                                  asio::async_write(*self->tls, asio::buffer(self->out.data(), n),
                                                    [self](std::error_code write_ec, size_t) {
                                                        if (write_ec)
                                                            self->close();
                                                        else if (!self->closed)
                                                            self->to_peer();
                                                    });
                              });
    }
};

} // namespace

void tls_handshake(asio::io_context &io, Socket tcp, const std::shared_ptr<TlsContext> &context,
                   std::chrono::milliseconds timeout, TlsDone done) {
    auto stream = std::make_shared<TlsStream>(std::move(tcp), context->ssl);
    auto timer = std::make_shared<asio::steady_timer>(io, timeout);
    timer->async_wait([stream](std::error_code ec) {
        if (!ec) {
            std::error_code ignored;
            stream->lowest_layer().close(ignored);
        }
    });
    const auto type = context->role == TlsRole::Server ? asio::ssl::stream_base::server
                                                       : asio::ssl::stream_base::client;
    stream->async_handshake(type, [&io, stream, timer, context, done = std::move(done),
                                   timeout](std::error_code ec) {
        const bool timed_out = timer->expiry() <= asio::steady_timer::clock_type::now();
        timer->cancel();
        if (ec) {
            done(std::nullopt, std::nullopt,
                 timed_out ? "no TLS handshake within " + std::to_string(timeout.count()) + " ms"
                           : "TLS handshake failed: " + ec.message());
            return;
        }
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            done(std::nullopt, std::nullopt,
                 "socketpair: " + std::error_code(errno, std::generic_category()).message());
            return;
        }
        const asio::generic::stream_protocol local(AF_UNIX, 0);
        Socket ours(io, local, fds[0]);
        Socket theirs(io, local, fds[1]);
        PeerCertificate peer = certificate_of(stream->native_handle());
        auto relay = std::make_shared<Relay>(stream, std::move(ours));
        relay->start();
        done(std::move(theirs), std::move(peer), "");
    });
}

} // namespace detail

} // namespace vexa_socket
