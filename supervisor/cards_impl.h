// What the two halves of Cards share (see cards.h): a card's session, a
// connection still greeting, and Cards::Impl. cards.cpp owns connections,
// hellos and requests with their timers; card_sync.cpp drives the Replay core
// (replay after a download request, reconcile after a reconnect) against the
// store. Private to those two files.
#ifndef SUPERVISOR_CARDS_IMPL_H
#define SUPERVISOR_CARDS_IMPL_H

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include <asio/steady_timer.hpp>

#include "admission.h"
#include "card_calls.h"
#include "cards.h"
#include "refusal_lines.h"
#include "replay.h"
#include "request_table.h"
#include "store.h"

namespace supervisor {

namespace cards_detail {

using Clock = std::chrono::steady_clock;
using model::FlowKey;
using model::FlowReply;
using vexa_socket::ConnectionPtr;
namespace cp = card_protocol;

// A card's listener takes every slot and the connections still greeting
// (GreetingBound keeps these to CardOptions::max_greetings).
inline size_t max_card_connections(const CardOptions &options) {
    return cp::kMaxSlot + options.max_greetings;
}

// An add that expired unanswered: its late answer still sets the status.
struct LateAdd {
    FlowKey key;
};

struct Session {
    Session(asio::io_context &io, uint32_t slot_, ConnectionPtr conn_, const cp::Hello &hello_,
            const CardOptions &options)
        : slot(slot_), conn(std::move(conn_)), hello(hello_),
          requests({options.max_in_flight, options.max_displays}, options.timeout,
                   options.late_kept),
          replay(options.replay_window), timer(io) {}
    uint32_t slot;
    ConnectionPtr conn;
    cp::Hello hello;
    RequestTable<Call, LateAdd> requests;
    Replay replay;
    asio::steady_timer timer;
    std::optional<Clock::time_point> armed;
    uint64_t late_replies = 0;
    // The flows that held a counter on the card's previous boot (applied when
    // its fresh hello came): the replay sends them first.
    std::set<FlowKey> held_before;
    // Flows that held a counter before a replay and were refused in it.
    uint64_t lost_counters = 0;
    size_t lost_logged = 0; // in the current run; the rest are counted only
};
using SessionPtr = std::shared_ptr<Session>;

struct Greeting {
    ConnectionPtr conn;
    std::unique_ptr<asio::steady_timer> timer;
};

inline std::string slot_text(uint32_t slot) {
    return "slot " + std::to_string(slot);
}

} // namespace cards_detail

using namespace cards_detail; // this header is private to cards.cpp and card_sync.cpp

struct Cards::Impl {
    Impl(asio::io_context &io_, Store &store_, CardOptions options_)
        : io(io_), store(store_), options(options_),
          listener(io_, vexa_socket::Limits{.max_connections = max_card_connections(options_)}),
          rate(options_.peer_burst, options_.peer_per_second),
          greeting_order(options_.max_greetings), refusals(io_) {}

    asio::io_context &io;
    Store &store;
    CardOptions options;
    vexa_socket::Listener listener;
    std::array<SessionPtr, cp::kMaxSlot + 1> sessions{};
    std::unordered_map<const vexa_socket::Connection *, uint32_t> slot_of;
    std::unordered_map<const vexa_socket::Connection *, Greeting> greetings;
    PeerRate rate;
    GreetingBound<const vexa_socket::Connection *> greeting_order;
    RefusalLines refusals;
    CardEvents events;

    SessionPtr session(uint32_t slot) const {
        return slot < sessions.size() ? sessions[slot] : nullptr;
    }
    bool current(const SessionPtr &s) const { return s && sessions[s->slot] == s; }

    // ---- connections --------------------------------------------------------

    void accept(vexa_socket::Socket socket, const vexa_socket::PeerCredentials &peer,
                const std::string &peer_name);

    // A connection still greeting is dropped (logged through refusals).
    void drop_greeting(const vexa_socket::Connection *conn, const std::string &why);

    void on_frame(const ConnectionPtr &conn, const vexa_socket::FrameHeader &header,
                  std::span<const uint8_t> payload);

    void on_hello(const ConnectionPtr &conn, const vexa_socket::FrameHeader &header,
                  std::span<const uint8_t> payload);

    void on_close(const ConnectionPtr &conn, const std::string &reason);

    // The slot goes down: every outstanding request fails with -32002.
    void tear_down(const SessionPtr &s, const std::string &reason);

    // A card that breaks the protocol is dropped; the others go on.
    void protocol_break(const SessionPtr &s, const std::string &why);

    // ---- frames of a session ------------------------------------------------

    void on_session_frame(const SessionPtr &s, const vexa_socket::FrameHeader &header,
                          std::span<const uint8_t> payload);

    void on_reply(const SessionPtr &s, uint32_t id, std::span<const uint8_t> payload);

    // An add's answer, in time or late: the flow's status.
    void set_add_status(uint32_t slot, const FlowKey &key, uint32_t status);

    // ---- requests -----------------------------------------------------------

    // Sends one request; payload_of(id) builds its payload for the message id
    // it goes out with (a flow request carries it as its tag).
    template <class PayloadOf>
    void send(uint32_t slot, uint32_t opcode, const PayloadOf &payload_of, Call call);

    void send_flow(uint32_t slot, int32_t msg_type, const FlowKey &key,
                   std::function<void(Outcome<FlowReply>)> done);

    void send_empty(uint32_t slot, uint32_t opcode, Call call);

    void arm(const SessionPtr &s);

    void expire(const SessionPtr &s);

    // ---- replay and reconcile (card_sync.cpp) ----------------------------------

    // The library's download request: every configured flow goes to the card.
    void start_replay(const SessionPtr &s);

    void mark_pending(uint32_t slot);

    void start_reconcile(const SessionPtr &s);

    void reconcile(const SessionPtr &s, const std::string &text);

    // Sends what the window allows; finishes the run when all is answered.
    void pump(const SessionPtr &s);

    static constexpr size_t kLostLogged = 20;
    void lost_counter(const SessionPtr &s, const FlowKey &key, uint32_t status);
};

} // namespace supervisor

#endif // SUPERVISOR_CARDS_IMPL_H
