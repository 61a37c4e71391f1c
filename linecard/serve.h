// The line-card daemon (`linecard-serve`, also `linecard-sim serve`): hosts
// the flow stats library on a simulated line card and serves the supervisor
// over the socket message service.
//
// It connects to the supervisor (reconnecting with backoff, 100 ms doubling
// to 2 s), opens every connection with CARD_HELLO, initialises the library on
// the first connection only (kHelloFresh; later ones keep the flows), hands
// flow and display requests to the library, answers status and traffic
// requests itself, injects random traffic, and checks every query reply
// against the ground truth. A frame that breaks the card protocol closes the
// connection. One thread, one io_context; SIGTERM or SIGINT stops it.
#ifndef LINECARD_SERVE_H
#define LINECARD_SERVE_H

#include <cstdint>
#include <memory>
#include <string>

#include "vexa_socket.h"

namespace serve {

struct Config {
    uint32_t slot = 0;
    vexa_socket::Address supervisor;
    std::shared_ptr<vexa_socket::TlsContext> tls; // for a tls: supervisor address
    uint32_t first_counter = 0;                   // counter ids first_counter..table_size-1
    uint32_t table_size = 0;
    uint64_t traffic_pps = 1000; // 0: paused
    uint64_t seed = 1;
    uint32_t log_level = 4;
};

// Runs until a signal; the process's exit status (0 after a signal).
int run(const Config &config);

} // namespace serve

#endif // LINECARD_SERVE_H
