// The line cards as the supervisor sees them: the cards listener, one session
// per slot, the requests sent to each card matched with their replies, and
// bringing a card to the configured flows (replay after a fresh start,
// reconcile after a reconnect).
//
// Invariants:
//  - at most one connection per slot; a slot is down when it has none;
//  - every request completes exactly once, always from the event loop and
//    never from inside the call that made it: with the card's answer, with
//    -32003 once its timeout passes, with -32002 when the card goes, or with
//    -32004 when the card already has max_in_flight requests (max_displays
//    displays) outstanding;
//  - every add the card answers updates the flow's status in the store
//    (ok and FLOW_EXISTS: applied; anything else: refused with the code),
//    an answer after the request expired too (the last late_kept expired
//    adds of a card are remembered for it);
//  - at most max_greetings connections are still greeting: a new one drops
//    the oldest; a peer over its rate of new connections is closed at once.
//    Refusals and drops before a hello are logged a few per 10 s, the rest
//    counted.
#ifndef SUPERVISOR_CARDS_H
#define SUPERVISOR_CARDS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <asio/io_context.hpp>

#include "card_protocol.h"
#include "request.h"
#include "result.h"
#include "states.h"
#include "vexa_socket.h"

namespace supervisor {

class Store;

using model::CardState;
using model::state_name;

// What a request to a card ends with: its answer, or the error a client gets.
template <class T>
using Outcome = model::Result<T>;

// A whole display, reassembled.
struct DisplayText {
    std::string text;
    size_t chunks = 0;
};

struct CardOptions {
    std::chrono::milliseconds timeout{3000};       // per request
    std::chrono::milliseconds hello_timeout{5000}; // first frame of a connection
    size_t max_in_flight = 4096;                   // requests outstanding per card
    // A display of a full table is about 5 MB of chunks, and a card's send
    // queue holds 16 MiB: more at once would overflow it.
    size_t max_displays = 2;    // displays outstanding per card
    size_t replay_window = 512; // replay/reconcile requests outstanding
    // Connections still greeting: past it the oldest is dropped for the new
    // one, so that silent peers cannot keep a card from its slot.
    size_t max_greetings = 16;
    // New connections per peer (uid on Unix sockets, address on TCP): every
    // card of a chassis at once, then a steady rate.
    double peer_burst = 80;
    double peer_per_second = 20;
    // Expired flow requests remembered per card, so that a late answer still
    // sets its flow's status.
    size_t late_kept = 4096;
};

// Errors with the data docs/jsonrpc.md gives them.
model::Error card_down_error(uint32_t slot);
model::Error no_reply_error(uint32_t slot, std::chrono::milliseconds timeout);
model::Error busy_error(uint32_t slot);

// What the cards' sessions report as they go, for the supervisor's metrics;
// either may be empty.
struct CardEvents {
    std::function<void()> display_sent;
    // A card brought to the configuration: replayed when fresh, else
    // reconciled; took: from its start to its last answer.
    std::function<void(bool fresh, std::chrono::steady_clock::duration took)> synced;
};

class Cards {
public:
    Cards(asio::io_context &io, Store &store, CardOptions options);
    ~Cards();
    Cards(const Cards &) = delete;
    Cards &operator=(const Cards &) = delete;

    // tls: the server context, for a tls: address.
    bool listen(const vexa_socket::Address &address, vexa_socket::Listener::AcceptFilter filter,
                std::shared_ptr<vexa_socket::TlsContext> tls, std::string *error);
    // Where it listens: a TCP port 0 given is the port the kernel chose.
    vexa_socket::Address address() const;
    // Stops listening and closes every card connection; every outstanding
    // request fails with -32002.
    void stop();

    CardState state(uint32_t slot) const;
    // The connected card's hello; nullopt when down.
    std::optional<card_protocol::Hello> hello(uint32_t slot) const;
    // Slots with a card connected, ascending.
    std::vector<uint32_t> connected() const;
    // Flows that held a counter before the card restarted and were refused
    // in a replay since it connected; 0 when down.
    uint64_t lost_counters(uint32_t slot) const;
    // Requests a replay keeps outstanding per card; other bulk senders keep
    // to it too.
    size_t replay_window() const;
    // Whether some card is being replayed or reconciled with requests out.
    bool replay_active() const;
    void observe(CardEvents events);

    void flow_request(uint32_t slot, int32_t msg_type, const model::FlowKey &key,
                      std::function<void(Outcome<model::FlowReply>)> done);
    void status(uint32_t slot, std::function<void(Outcome<card_protocol::Status>)> done);
    void traffic(uint32_t slot, const card_protocol::TrafficRequest &request,
                 std::function<void(Outcome<card_protocol::Status>)> done);
    void display(uint32_t slot, std::function<void(Outcome<DisplayText>)> done);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace supervisor

#endif // SUPERVISOR_CARDS_H
