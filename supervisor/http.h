// The supervisor's read-only HTTP endpoint (docs/http.md): /metrics, the
// JSON of flow.show and cards.list, health and readiness, the operator's
// page. The server runs its own worker threads; everything it reads of the
// supervisor is read on the event loop (posted there, awaited with a bound).
//
// Invariants:
//  - only GET and HEAD; nothing here changes the configuration;
//  - about max_connections are open, each with its worker: past it the
//    oldest are closed within a fifth of a second; a connection lives at
//    most connection_limit; each read and write of a request waits at most
//    read_timeout/write_timeout; a body over max_body is refused, and so is
//    a header line over 8 KiB;
//  - an answer the event loop does not give within answer_timeout is 503;
//  - concurrent scrapes of /metrics share one snapshot of the cards;
//  - stop() returns with the listener closed and every thread joined; after
//    it no work is posted to the event loop.
#ifndef SUPERVISOR_HTTP_H
#define SUPERVISOR_HTTP_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <asio/io_context.hpp>

#include "methods.h"
#include "metrics.h"

namespace supervisor {

struct HttpOptions {
    size_t max_connections = 64; // and as many worker threads
    size_t max_body = 4096;      // a GET has no business sending more
    std::chrono::seconds read_timeout{2};
    std::chrono::seconds write_timeout{10};
    std::chrono::seconds connection_limit{60};
    size_t keep_alive_requests = 100;
    std::chrono::milliseconds answer_timeout{15000};
    vexa_socket::TlsFiles tls{}; // for a tls: address: the same files as the sockets'
};

class Http {
public:
    Http(asio::io_context &io, Services &services, Metrics &metrics, HttpOptions options = {});
    ~Http();
    Http(const Http &) = delete;
    Http &operator=(const Http &) = delete;

    // Listens on address (http_rules.h: parse_http_address) and starts the
    // server's threads; false with *error set when it cannot.
    bool listen(const std::string &address, std::string *error);
    // "http://HOST:PORT/", the port the kernel chose for a port 0.
    std::string url() const;
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace supervisor

#endif // SUPERVISOR_HTTP_H
