// Card sessions: the I/O around the cores (see cards.h).
//
// A connection is a "greeting" until its first frame: a hello that
// check_hello() accepts within hello_timeout makes it the session of its
// slot, anything else drops it. A session's requests live in its
// RequestTable, and one timer per session waits for the earliest deadline.
// Replay and reconcile (the Replay core) go through the same requests, at
// most replay_window at a time, so that client requests still get through.
// The replay and reconcile half is card_sync.cpp (cards_impl.h).
#include "cards_impl.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <unordered_map>
#include <utility>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "acl_tcam_flow_stats.h"
#include "hello_check.h"
#include "log.h"
#include "status.h"

namespace supervisor {

namespace {

constexpr const char *kStopping = "supervisor stopping";

} // namespace

// ---- connections --------------------------------------------------------
namespace {

// Whom a connection's rate counts against: the uid on a Unix socket, the
// address without its port on TCP ("tcp:HOST:PORT").
std::string peer_key(const vexa_socket::PeerCredentials &peer, const std::string &peer_name) {
    if (peer.known) {
        return "uid " + std::to_string(peer.uid);
    }
    return peer_name.substr(0, peer_name.rfind(':'));
}

} // namespace

void Cards::Impl::accept(vexa_socket::Socket socket, const vexa_socket::PeerCredentials &peer,
                         const std::string &peer_name) {
    if (!rate.admit(peer_key(peer, peer_name), Clock::now())) {
        refusals.refused("card " + peer_name + " refused: over " +
                         std::to_string(static_cast<size_t>(options.peer_per_second)) +
                         " new connections a second from its peer");
        std::error_code ignored;
        socket.close(ignored);
        listener.released();
        return;
    }
    vexa_socket::Handlers handlers{
        .on_frame = [this](const ConnectionPtr &conn, const vexa_socket::FrameHeader &header,
                           std::span<const uint8_t> payload) { on_frame(conn, header, payload); },
        .on_close = [this](const ConnectionPtr &conn,
                           const std::string &reason) { on_close(conn, reason); },
    };
    ConnectionPtr conn = vexa_socket::Connection::create(std::move(socket), vexa_socket::Limits{},
                                                         std::move(handlers), peer_name, peer);
    auto timer = std::make_unique<asio::steady_timer>(io, options.hello_timeout);
    timer->async_wait([this, weak = std::weak_ptr(conn)](const std::error_code &ec) {
        const ConnectionPtr conn = weak.lock();
        if (ec || !conn || !greetings.contains(conn.get())) {
            return;
        }
        drop_greeting(conn.get(),
                      "no hello within " + std::to_string(options.hello_timeout.count()) + " ms");
    });
    greetings.emplace(conn.get(), Greeting{conn, std::move(timer)});
    if (const auto oldest = greeting_order.admit(conn.get())) {
        drop_greeting(*oldest, "no hello yet, and its place (of " +
                                   std::to_string(options.max_greetings) +
                                   " for greeting connections) is needed");
    }
    conn->start();
}

void Cards::Impl::drop_greeting(const vexa_socket::Connection *conn, const std::string &why) {
    const auto it = greetings.find(conn);
    if (it == greetings.end()) {
        return;
    }
    const ConnectionPtr dropped = it->second.conn;
    greetings.erase(it);
    greeting_order.remove(conn);
    listener.released(); // now: its on_close finds it gone
    refusals.refused("card " + dropped->peer_name() + " dropped: " + why);
    dropped->close(why);
}

void Cards::Impl::on_frame(const ConnectionPtr &conn, const vexa_socket::FrameHeader &header,
                           std::span<const uint8_t> payload) {
    if (!conn->is_open()) {
        return; // dropped, with frames of the same read still coming
    }
    if (greetings.contains(conn.get())) {
        on_hello(conn, header, payload);
    } else if (const auto it = slot_of.find(conn.get()); it != slot_of.end()) {
        if (const SessionPtr s = session(it->second)) {
            on_session_frame(s, header, payload);
        }
    }
}

void Cards::Impl::on_hello(const ConnectionPtr &conn, const vexa_socket::FrameHeader &header,
                           std::span<const uint8_t> payload) {
    const auto &certificate = conn->credentials().certificate;
    const auto hello = check_hello(
        header.opcode, payload,
        [this](uint32_t slot) {
            const SessionPtr other = session(slot);
            return other ? std::optional(other->conn->peer_name()) : std::nullopt;
        },
        certificate ? &*certificate : nullptr);
    if (const model::Error *error = model::failed(hello)) {
        refusals.refused("card " + conn->peer_name() + " dropped: " + error->message);
        conn->close(error->message);
        return;
    }
    greetings.erase(conn.get());
    greeting_order.remove(conn.get());
    const uint32_t slot = hello->slot;
    auto s = std::make_shared<Session>(io, slot, conn, *hello, options);
    sessions[slot] = s;
    slot_of[conn.get()] = slot;
    const bool fresh = (hello->flags & cp::kHelloFresh) != 0;
    // Another boot restarted the card's counters: clears before it are void.
    std::vector<Store::BaselineUpdate> stale;
    for (const auto &[key, flow] : store.flows(slot)) {
        if (flow.baseline && flow.baseline->boot_id != hello->boot_id) {
            stale.emplace_back(key, std::nullopt);
        }
    }
    if (std::string why; !stale.empty() && !store.set_baselines(slot, stale, &why)) {
        log(Severity::Error, slot_text(slot) + ": void clear baselines not dropped: " + why);
    }
    log(Severity::Notice, slot_text(slot) + ": card connected from " + conn->peer_name() +
                              " (boot " + cp::boot_id_text(hello->boot_id) + ", counters " +
                              std::to_string(hello->first_counter) + ".." +
                              std::to_string(hello->table_size == 0 ? 0 : hello->table_size - 1) +
                              ", " + (fresh ? "fresh" : "kept its flows") + "): replaying");
    if (fresh) {
        for (const auto &[key, flow] : store.flows(slot)) {
            if (flow.status == FlowStatus::Applied) {
                s->held_before.insert(key);
            }
        }
        mark_pending(slot);
        s->replay.restart(ReplayPhase::AwaitDownload, true, Clock::now());
    } else {
        start_reconcile(s);
    }
}

void Cards::Impl::on_close(const ConnectionPtr &conn, const std::string &reason) {
    if (greetings.erase(conn.get()) != 0) {
        greeting_order.remove(conn.get());
        listener.released();
        return;
    }
    const auto it = slot_of.find(conn.get());
    if (it == slot_of.end()) {
        return; // already torn down by stop()
    }
    const uint32_t slot = it->second;
    slot_of.erase(it);
    listener.released();
    if (SessionPtr s = session(slot); s && s->conn == conn) {
        tear_down(s, reason);
    }
}

// The slot goes down: every outstanding request fails with -32002.
void Cards::Impl::tear_down(const SessionPtr &s, const std::string &reason) {
    sessions[s->slot].reset();
    s->replay.restart(ReplayPhase::Idle, false, Clock::now());
    s->timer.cancel();
    std::vector<Call> pending = s->requests.take_all();
    // Our own stop takes every card down: a notice, not a warning.
    log(reason == kStopping ? Severity::Notice : Severity::Warning,
        slot_text(s->slot) + ": card down (" + reason + "): " + std::to_string(pending.size()) +
            " requests failed");
    const model::Error error = card_down_error(s->slot);
    for (Call &call : pending) {
        fail(call, error);
    }
}

// A card that breaks the protocol is dropped; the others go on.
void Cards::Impl::protocol_break(const SessionPtr &s, const std::string &why) {
    log(Severity::Error, slot_text(s->slot) + ": dropping the card: " + why);
    s->conn->close(why);
}

// ---- frames of a session ------------------------------------------------
void Cards::Impl::on_session_frame(const SessionPtr &s, const vexa_socket::FrameHeader &header,
                                   std::span<const uint8_t> payload) {
    if (header.opcode == cp::kOpDownload) {
        const std::optional<uint32_t> slot = cp::decode_download(payload);
        if (!slot || *slot != s->slot) {
            protocol_break(s, "download request names slot " +
                                  (slot ? std::to_string(*slot) : std::string("?")) + " on slot " +
                                  std::to_string(s->slot) + "'s connection");
            return;
        }
        start_replay(s);
    } else if (header.opcode == cp::kOpReply) {
        on_reply(s, header.reply_to, payload);
    } else {
        protocol_break(s, "unexpected opcode " + std::to_string(header.opcode));
        return;
    }
    pump(s);
}

void Cards::Impl::on_reply(const SessionPtr &s, uint32_t id, std::span<const uint8_t> payload) {
    Call *call = s->requests.find(id);
    if (call == nullptr) {
        // Its request timed out already; an add's answer still counts.
        if (const std::optional<LateAdd> add = s->requests.take_late(id)) {
            const std::optional<FlowReply> reply = model::decode_reply(payload);
            if (!reply) {
                protocol_break(s, "reply of " + std::to_string(payload.size()) +
                                      " bytes to a flow request");
                return;
            }
            set_add_status(s->slot, add->key, reply->status);
        }
        ++s->late_replies;
        return;
    }
    const model::Result<Fed> fed = take_reply(*call, payload);
    if (const model::Error *error = model::failed(fed)) {
        protocol_break(s, error->message);
        return; // the close fails the request
    }
    if (*fed == Fed::More) {
        s->requests.touch(id, Clock::now()); // chunks are progress
        arm(s);
        return;
    }
    Call done = std::move(*s->requests.take(id));
    if (const auto *add = std::get_if<FlowCall>(&done);
        add && add->msg_type == ACL_TCAM_FS_MSG_SET) {
        set_add_status(s->slot, add->key, add->reply->status);
    }
    answer(done);
}

void Cards::Impl::set_add_status(uint32_t slot, const FlowKey &key, uint32_t status) {
    store.set_status(slot, key,
                     model::add_took(status) ? FlowState{FlowStatus::Applied, 0}
                                             : FlowState{FlowStatus::Refused, status});
}

// ---- requests -----------------------------------------------------------
// Sends one request; payload_of(id) builds its payload for the message id
// it goes out with (a flow request carries it as its tag).
template <class PayloadOf>
void Cards::Impl::send(uint32_t slot, uint32_t opcode, const PayloadOf &payload_of, Call call) {
    const SessionPtr s = session(slot);
    const bool is_display = std::holds_alternative<DisplayCall>(call);
    std::optional<model::Error> error;
    if (!s) {
        error = card_down_error(slot);
    } else if (s->requests.refuses(is_display)) {
        error = busy_error(slot);
    } else {
        const uint32_t id = s->requests.next_id();
        const auto payload = payload_of(id);
        if (s->conn->send(opcode, cp::kSupervisorAddr, cp::card_addr(slot), 0, payload, id) != 0) {
            s->requests.add(id, std::move(call), is_display, Clock::now());
            arm(s);
            return;
        }
        error = errno == ENOBUFS ? busy_error(slot) : card_down_error(slot);
    }
    // Never from inside the call that made the request.
    asio::post(
        io, [call = std::move(call), error = std::move(*error)]() mutable { fail(call, error); });
}

void Cards::Impl::send_flow(uint32_t slot, int32_t msg_type, const FlowKey &key,
                            std::function<void(Outcome<FlowReply>)> done) {
    send(
        slot, cp::kOpFlowRequest,
        [msg_type, &key](uint32_t id) { return model::request_payload(msg_type, key, id); },
        FlowCall{msg_type, key, std::move(done), {}});
}

void Cards::Impl::send_empty(uint32_t slot, uint32_t opcode, Call call) {
    send(
        slot, opcode, [](uint32_t) { return std::span<const uint8_t>(); }, std::move(call));
}

void Cards::Impl::arm(const SessionPtr &s) {
    const std::optional<Clock::time_point> first = s->requests.earliest();
    if (!first || (s->armed && *s->armed <= *first)) {
        return;
    }
    s->armed = first;
    s->timer.expires_at(*first);
    s->timer.async_wait([this, weak = std::weak_ptr(s)](const std::error_code &ec) {
        if (const SessionPtr s = weak.lock(); ec != asio::error::operation_aborted && current(s)) {
            s->armed.reset();
            expire(s);
        }
    });
}

void Cards::Impl::expire(const SessionPtr &s) {
    std::vector<Call> expired = s->requests.expire(Clock::now(), [](const Call &call) {
        const auto *add = std::get_if<FlowCall>(&call);
        return add && add->msg_type == ACL_TCAM_FS_MSG_SET ? std::optional(LateAdd{add->key})
                                                           : std::nullopt;
    });
    arm(s);
    if (!expired.empty()) {
        log(Severity::Warning, slot_text(s->slot) + ": " + std::to_string(expired.size()) +
                                   " requests got no reply in " +
                                   std::to_string(options.timeout.count()) + " ms");
    }
    const model::Error error = no_reply_error(s->slot, options.timeout);
    for (Call &call : expired) {
        fail(call, error);
    }
    if (current(s)) {
        pump(s);
    }
}

Cards::Cards(asio::io_context &io, Store &store, CardOptions options)
    : impl_(std::make_unique<Impl>(io, store, options)) {}

Cards::~Cards() = default;

vexa_socket::Address Cards::address() const {
    return impl_->listener.bound_address();
}

bool Cards::listen(const vexa_socket::Address &address, vexa_socket::Listener::AcceptFilter filter,
                   std::shared_ptr<vexa_socket::TlsContext> tls, std::string *error) {
    impl_->listener.set_tls(std::move(tls));
    if (!impl_->listener.listen(address, error)) {
        return false;
    }
    impl_->listener.start(
        [impl = impl_.get()](vexa_socket::Socket socket, const vexa_socket::PeerCredentials &peer,
                             const std::string &peer_name) {
            impl->accept(std::move(socket), peer, peer_name);
        },
        std::move(filter),
        // The card protocol has no word for a refusal: the log says it.
        [impl = impl_.get()](vexa_socket::Socket &, vexa_socket::Listener::Refusal,
                             const std::string &peer_name, const std::string &why) {
            impl->refusals.refused("card " + peer_name + " refused: " + why);
        });
    return true;
}

void Cards::stop() {
    Impl &impl = *impl_;
    impl.listener.stop();
    for (auto &[conn, greeting] : impl.greetings) {
        greeting.conn->close(kStopping);
    }
    impl.greetings.clear();
    impl.slot_of.clear();
    for (SessionPtr s : impl.sessions) { // a copy: tear_down empties the entry
        if (s) {
            s->conn->close(kStopping);
            impl.tear_down(s, kStopping);
        }
    }
}

CardState Cards::state(uint32_t slot) const {
    const SessionPtr s = impl_->session(slot);
    if (!s) {
        return CardState::Down;
    }
    return s->replay.phase() == ReplayPhase::Idle ? CardState::Ready : CardState::Replaying;
}

size_t Cards::replay_window() const {
    return impl_->options.replay_window;
}

uint64_t Cards::lost_counters(uint32_t slot) const {
    const SessionPtr s = impl_->session(slot);
    return s ? s->lost_counters : 0;
}

std::optional<card_protocol::Hello> Cards::hello(uint32_t slot) const {
    const SessionPtr s = impl_->session(slot);
    return s ? std::optional(s->hello) : std::nullopt;
}

std::vector<uint32_t> Cards::connected() const {
    std::vector<uint32_t> slots;
    for (uint32_t slot = cp::kMinSlot; slot <= cp::kMaxSlot; ++slot) {
        if (impl_->sessions[slot]) {
            slots.push_back(slot);
        }
    }
    return slots;
}

bool Cards::replay_active() const {
    return std::any_of(impl_->sessions.begin(), impl_->sessions.end(), [](const SessionPtr &s) {
        return s && s->replay.phase() == ReplayPhase::Sending;
    });
}

void Cards::flow_request(uint32_t slot, int32_t msg_type, const model::FlowKey &key,
                         std::function<void(Outcome<model::FlowReply>)> done) {
    impl_->send_flow(slot, msg_type, key, std::move(done));
}

void Cards::status(uint32_t slot, std::function<void(Outcome<card_protocol::Status>)> done) {
    impl_->send_empty(slot, cp::kOpStatusRequest, StatusCall{std::move(done), {}});
}

void Cards::traffic(uint32_t slot, const card_protocol::TrafficRequest &request,
                    std::function<void(Outcome<card_protocol::Status>)> done) {
    impl_->send(
        slot, cp::kOpTrafficRequest, [&request](uint32_t) { return cp::encode(request); },
        StatusCall{std::move(done), {}});
}

void Cards::observe(CardEvents events) {
    impl_->events = std::move(events);
}

void Cards::display(uint32_t slot, std::function<void(Outcome<DisplayText>)> done) {
    if (impl_->events.display_sent) {
        impl_->events.display_sent();
    }
    impl_->send_empty(slot, cp::kOpDisplayRequest, DisplayCall{std::move(done), {}});
}

} // namespace supervisor
