// Card sessions, request matching, replay and reconcile (see cards.h).
//
// A connection is a "greeting" until its first frame: a valid CARD_HELLO
// within hello_timeout makes it the session of its slot, anything else drops
// it. A session's requests carry message ids of its own (1, 2, ...; the
// reply's reply_to names them) and each has a deadline; one timer per session
// waits for the earliest. Replay and reconcile go through the same requests,
// at most replay_window at a time, so that client requests still get through.
#include "cards.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <set>
#include <unordered_map>
#include <utility>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "acl_tcam_flow_stats.h"
#include "display.h"
#include "log.h"
#include "status.h"
#include "store.h"
#include "sync_plan.h"

namespace supervisor {

namespace {

using Clock = std::chrono::steady_clock;
using model::FlowKey;
using model::FlowReply;
using vexa_socket::ConnectionPtr;
namespace cp = card_protocol;

// A card's listener takes every slot and a few connections still greeting.
constexpr size_t kMaxCardConnections = cp::kMaxSlot + 16;

struct FlowCall {
    int32_t msg_type = 0;
    FlowKey key;
    std::function<void(Outcome<FlowReply>)> done;
};
struct StatusCall {
    std::function<void(Outcome<cp::Status>)> done;
};
struct DisplayCall {
    display::Assembler assembler;
    std::function<void(Outcome<DisplayText>)> done;
};
using Call = std::variant<FlowCall, StatusCall, DisplayCall>;

struct Pending {
    Call call;
    Clock::time_point deadline;
};

enum class Phase {
    Idle,          // ready
    AwaitDownload, // fresh card: the library's download request comes next
    AwaitDisplay,  // reconnected card: its display is being read
    Sending,       // adds and deletes going out
};

// Bringing one card to the configured flows.
struct Replay {
    Phase phase = Phase::Idle;
    bool fresh = false;
    uint64_t generation = 0; // completions of an earlier run are ignored
    std::vector<FlowKey> adds, dels;
    size_t next_add = 0, next_del = 0, in_flight = 0;
    size_t present = 0, applied = 0, refused = 0, deleted = 0, unanswered = 0;
    Clock::time_point started;
};

struct Session {
    Session(asio::io_context &io, uint32_t slot_, ConnectionPtr conn_, const cp::Hello &hello_)
        : slot(slot_), conn(std::move(conn_)), hello(hello_), timer(io) {}
    uint32_t slot;
    ConnectionPtr conn;
    cp::Hello hello;
    uint32_t last_id = 0;
    std::unordered_map<uint32_t, Pending> pending;
    std::set<std::pair<Clock::time_point, uint32_t>> deadlines;
    asio::steady_timer timer;
    std::optional<Clock::time_point> armed;
    size_t displays = 0;
    Replay replay;
    uint64_t late_replies = 0;
};
using SessionPtr = std::shared_ptr<Session>;

struct Greeting {
    ConnectionPtr conn;
    std::unique_ptr<asio::steady_timer> timer;
};

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Starts a new run: what an earlier one left is forgotten, and its
// completions, carrying the old generation, are ignored.
void restart(Replay &r, Phase phase, bool fresh) {
    const uint64_t generation = r.generation + 1;
    r = Replay{};
    r.phase = phase;
    r.fresh = fresh;
    r.generation = generation;
    r.started = Clock::now();
}

void fail(Call &call, const model::Error &error) {
    std::visit([&error](auto &c) { c.done(error); }, call);
}

} // namespace

model::Error card_down_error(uint32_t slot) {
    model::Error e = model::error(model::Errc::CardDown,
                                  "the card of slot " + std::to_string(slot) + " is down");
    e.slot = slot;
    return e;
}

model::Error no_reply_error(uint32_t slot, std::chrono::milliseconds timeout) {
    model::Error e = model::error(
        model::Errc::NoReply, "the card of slot " + std::to_string(slot) + " did not answer in " +
                                  std::to_string(timeout.count()) + " ms");
    e.slot = slot;
    e.timeout_ms = static_cast<uint64_t>(timeout.count());
    return e;
}

model::Error busy_error(uint32_t slot) {
    return model::error(model::Errc::Busy,
                        "too many requests in flight to the card of slot " + std::to_string(slot));
}

struct Cards::Impl {
    Impl(asio::io_context &io_, Store &store_, CardOptions options_)
        : io(io_), store(store_), options(options_),
          listener(io_, vexa_socket::Limits{.max_connections = kMaxCardConnections}) {}

    asio::io_context &io;
    Store &store;
    CardOptions options;
    vexa_socket::Listener listener;
    std::array<SessionPtr, cp::kMaxSlot + 1> sessions{};
    std::unordered_map<const vexa_socket::Connection *, uint32_t> slot_of;
    std::unordered_map<const vexa_socket::Connection *, Greeting> greetings;

    SessionPtr session(uint32_t slot) const {
        return slot < sessions.size() ? sessions[slot] : nullptr;
    }

    // ---- connections --------------------------------------------------------

    void accept(vexa_socket::Socket socket, const std::string &peer_name) {
        vexa_socket::Handlers handlers{
            .on_frame =
                [this](const ConnectionPtr &conn, const vexa_socket::FrameHeader &header,
                       std::span<const uint8_t> payload) { on_frame(conn, header, payload); },
            .on_close = [this](const ConnectionPtr &conn,
                               const std::string &reason) { on_close(conn, reason); },
        };
        ConnectionPtr conn = vexa_socket::Connection::create(
            std::move(socket), vexa_socket::Limits{}, std::move(handlers), peer_name);
        auto timer = std::make_unique<asio::steady_timer>(io, options.hello_timeout);
        timer->async_wait([this, weak = std::weak_ptr(conn)](const std::error_code &ec) {
            const ConnectionPtr conn = weak.lock();
            if (ec || !conn || !greetings.contains(conn.get())) {
                return;
            }
            log("card " + conn->peer_name() + " dropped: no hello within " +
                std::to_string(options.hello_timeout.count()) + " ms");
            conn->close("no hello in time");
        });
        greetings.emplace(conn.get(), Greeting{conn, std::move(timer)});
        conn->start();
    }

    void on_frame(const ConnectionPtr &conn, const vexa_socket::FrameHeader &header,
                  std::span<const uint8_t> payload) {
        if (!conn->is_open()) {
            return; // dropped, with frames of the same read still coming
        }
        if (greetings.contains(conn.get())) {
            on_hello(conn, header, payload);
            return;
        }
        const auto it = slot_of.find(conn.get());
        if (it == slot_of.end()) {
            return; // closing
        }
        if (const SessionPtr s = session(it->second)) {
            on_session_frame(s, header, payload);
        }
    }

    void drop_greeting(const ConnectionPtr &conn, const std::string &why) {
        log("card " + conn->peer_name() + " dropped: " + why);
        conn->close(why);
    }

    void on_hello(const ConnectionPtr &conn, const vexa_socket::FrameHeader &header,
                  std::span<const uint8_t> payload) {
        if (header.opcode != cp::kOpHello) {
            drop_greeting(conn, "first frame is opcode " + std::to_string(header.opcode) +
                                    ", not CARD_HELLO");
            return;
        }
        const std::optional<cp::Hello> hello = cp::decode_hello(payload);
        if (!hello) {
            drop_greeting(conn, "malformed CARD_HELLO");
            return;
        }
        if (hello->slot < cp::kMinSlot || hello->slot > cp::kMaxSlot) {
            drop_greeting(conn, "CARD_HELLO claims slot " + std::to_string(hello->slot));
            return;
        }
        if (const SessionPtr other = session(hello->slot)) {
            drop_greeting(conn, "slot " + std::to_string(hello->slot) +
                                    " is already connected (from " + other->conn->peer_name() +
                                    ")");
            return;
        }
        greetings.erase(conn.get());
        const uint32_t slot = hello->slot;
        auto s = std::make_shared<Session>(io, slot, conn, *hello);
        sessions[slot] = s;
        slot_of[conn.get()] = slot;
        const bool fresh = (hello->flags & cp::kHelloFresh) != 0;
        log("slot " + std::to_string(slot) + ": card connected from " + conn->peer_name() +
            " (boot " + cp::boot_id_text(hello->boot_id) + ", counters " +
            std::to_string(hello->first_counter) + ".." +
            std::to_string(hello->table_size == 0 ? 0 : hello->table_size - 1) + ", " +
            (fresh ? "fresh" : "kept its flows") + "): replaying");
        if (fresh) {
            mark_pending(slot);
            restart(s->replay, Phase::AwaitDownload, true);
        } else {
            start_reconcile(s);
        }
    }

    void on_close(const ConnectionPtr &conn, const std::string &reason) {
        if (greetings.erase(conn.get()) != 0) {
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
    void tear_down(const SessionPtr &s, const std::string &reason) {
        sessions[s->slot].reset();
        restart(s->replay, Phase::Idle, false);
        s->timer.cancel();
        auto pending = std::move(s->pending);
        s->pending.clear();
        s->deadlines.clear();
        log("slot " + std::to_string(s->slot) + ": card down (" + reason +
            "): " + std::to_string(pending.size()) + " requests failed");
        const model::Error error = card_down_error(s->slot);
        for (auto &[id, p] : pending) {
            fail(p.call, error);
        }
    }

    // A card that breaks the protocol is dropped; the others go on.
    void protocol_break(const SessionPtr &s, const std::string &why) {
        log("slot " + std::to_string(s->slot) + ": dropping the card: " + why);
        s->conn->close(why);
    }

    // ---- frames of a session ------------------------------------------------

    void on_session_frame(const SessionPtr &s, const vexa_socket::FrameHeader &header,
                          std::span<const uint8_t> payload) {
        switch (header.opcode) {
        case cp::kOpDownload: {
            const std::optional<uint32_t> slot = cp::decode_download(payload);
            if (!slot || *slot != s->slot) {
                protocol_break(s, "download request names slot " +
                                      (slot ? std::to_string(*slot) : std::string("?")) +
                                      " on slot " + std::to_string(s->slot) + "'s connection");
                return;
            }
            start_replay(s);
            return;
        }
        case cp::kOpReply:
            on_reply(s, header, payload);
            pump(s);
            return;
        default:
            protocol_break(s, "unexpected opcode " + std::to_string(header.opcode));
        }
    }

    void on_reply(const SessionPtr &s, const vexa_socket::FrameHeader &header,
                  std::span<const uint8_t> payload) {
        const auto it = s->pending.find(header.reply_to);
        if (it == s->pending.end()) {
            ++s->late_replies; // its request timed out already
            return;
        }
        Pending &p = it->second;
        if (auto *display_call = std::get_if<DisplayCall>(&p.call)) {
            std::string error;
            if (!display_call->assembler.add(payload, &error)) {
                protocol_break(s, "bad display chunk: " + error);
                return; // the close fails the request
            }
            if (!display_call->assembler.done()) {
                // Chunks are progress: the deadline runs from the latest one.
                s->deadlines.erase({p.deadline, it->first});
                p.deadline = Clock::now() + options.timeout;
                s->deadlines.emplace(p.deadline, it->first);
                arm(s);
                return;
            }
        }
        // Validate before completing, so that a bad reply fails as the card
        // going down rather than as an answer.
        std::optional<FlowReply> flow_reply;
        std::optional<cp::Status> status;
        if (std::holds_alternative<FlowCall>(p.call)) {
            flow_reply = model::decode_reply(payload);
            if (!flow_reply) {
                protocol_break(s, "reply of " + std::to_string(payload.size()) +
                                      " bytes to a flow request");
                return;
            }
        } else if (std::holds_alternative<StatusCall>(p.call)) {
            status = cp::decode_status(payload);
            if (!status) {
                protocol_break(s, "reply of " + std::to_string(payload.size()) +
                                      " bytes to a status request");
                return;
            }
        }
        Call call = std::move(p.call);
        s->deadlines.erase({p.deadline, it->first});
        s->pending.erase(it);
        if (auto *flow_call = std::get_if<FlowCall>(&call)) {
            if (flow_call->msg_type == kMsgAdd) {
                record_add(s->slot, flow_call->key, flow_reply->status);
            }
            flow_call->done(*flow_reply);
        } else if (auto *status_call = std::get_if<StatusCall>(&call)) {
            status_call->done(*status);
        } else {
            auto &display_call = std::get<DisplayCall>(call);
            --s->displays;
            display_call.done(
                DisplayText{display_call.assembler.text(), display_call.assembler.chunks()});
        }
    }

    void record_add(uint32_t slot, const FlowKey &key, uint32_t status) {
        store.set_status(slot, key,
                         model::add_took(status) ? FlowState{FlowStatus::Applied, 0}
                                                 : FlowState{FlowStatus::Refused, status});
    }

    void mark_pending(uint32_t slot) {
        for (const auto &[key, state] : store.flows(slot)) {
            store.set_status(slot, key, FlowState{});
        }
    }

    // ---- requests -----------------------------------------------------------

    void post_failure(Call call, model::Error error) {
        asio::post(io, [call = std::move(call), error = std::move(error)]() mutable {
            fail(call, error);
        });
    }

    // Sends one request; payload_of(id) builds its payload for the message id
    // it goes out with (a flow request carries it as its tag).
    template <class PayloadOf>
    void send(uint32_t slot, uint32_t opcode, const PayloadOf &payload_of, Call call) {
        const SessionPtr s = session(slot);
        if (!s) {
            post_failure(std::move(call), card_down_error(slot));
            return;
        }
        const bool is_display = std::holds_alternative<DisplayCall>(call);
        if (s->pending.size() >= options.max_in_flight ||
            (is_display && s->displays >= options.max_displays)) {
            post_failure(std::move(call), busy_error(slot));
            return;
        }
        uint32_t id = s->last_id;
        do {
            id = id == UINT32_MAX ? 1 : id + 1;
        } while (s->pending.contains(id));
        s->last_id = id;
        const auto payload = payload_of(id);
        if (s->conn->send(opcode, cp::kSupervisorAddr, cp::card_addr(slot), 0, payload, id) == 0) {
            post_failure(std::move(call),
                         errno == ENOBUFS ? busy_error(slot) : card_down_error(slot));
            return;
        }
        const Clock::time_point deadline = Clock::now() + options.timeout;
        s->pending.emplace(id, Pending{std::move(call), deadline});
        s->deadlines.emplace(deadline, id);
        s->displays += is_display ? 1 : 0;
        arm(s);
    }

    void send_flow(uint32_t slot, int32_t msg_type, const FlowKey &key,
                   std::function<void(Outcome<FlowReply>)> done) {
        send(
            slot, cp::kOpFlowRequest,
            [msg_type, &key](uint32_t id) { return model::request_payload(msg_type, key, id); },
            FlowCall{msg_type, key, std::move(done)});
    }

    void send_empty(uint32_t slot, uint32_t opcode, Call call) {
        send(
            slot, opcode, [](uint32_t) { return std::span<const uint8_t>(); }, std::move(call));
    }

    void arm(const SessionPtr &s) {
        if (s->deadlines.empty()) {
            return;
        }
        const Clock::time_point first = s->deadlines.begin()->first;
        if (s->armed && *s->armed <= first) {
            return;
        }
        s->armed = first;
        s->timer.expires_at(first);
        s->timer.async_wait([this, weak = std::weak_ptr(s)](const std::error_code &ec) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            if (const SessionPtr s = weak.lock(); s && sessions[s->slot] == s) {
                s->armed.reset();
                expire(s);
            }
        });
    }

    void expire(const SessionPtr &s) {
        const Clock::time_point now = Clock::now();
        std::vector<Call> expired;
        while (!s->deadlines.empty() && s->deadlines.begin()->first <= now) {
            const uint32_t id = s->deadlines.begin()->second;
            s->deadlines.erase(s->deadlines.begin());
            const auto it = s->pending.find(id);
            if (it == s->pending.end()) {
                continue;
            }
            if (std::holds_alternative<DisplayCall>(it->second.call)) {
                --s->displays;
            }
            expired.push_back(std::move(it->second.call));
            s->pending.erase(it);
        }
        arm(s);
        if (!expired.empty()) {
            log("slot " + std::to_string(s->slot) + ": " + std::to_string(expired.size()) +
                " requests got no reply in " + std::to_string(options.timeout.count()) + " ms");
        }
        const model::Error error = no_reply_error(s->slot, options.timeout);
        for (Call &call : expired) {
            fail(call, error);
        }
        if (sessions[s->slot] == s) {
            pump(s);
        }
    }

    // ---- replay and reconcile -------------------------------------------------

    void start_replay(const SessionPtr &s) {
        Replay &r = s->replay;
        restart(r, Phase::Sending, true);
        mark_pending(s->slot);
        for (const auto &[key, state] : store.flows(s->slot)) {
            r.adds.push_back(key);
        }
        log("slot " + std::to_string(s->slot) + ": download request: replaying " +
            std::to_string(r.adds.size()) + " flows");
        pump(s);
    }

    void start_reconcile(const SessionPtr &s) {
        Replay &r = s->replay;
        restart(r, Phase::AwaitDisplay, false);
        const uint64_t generation = r.generation;
        auto done = [this, weak = std::weak_ptr(s), generation](Outcome<DisplayText> outcome) {
            const SessionPtr s = weak.lock();
            if (!s || sessions[s->slot] != s || s->replay.generation != generation) {
                return;
            }
            if (const model::Error *error = model::failed(outcome)) {
                protocol_break(s, "no display to reconcile with: " + error->message);
                return;
            }
            reconcile(s, outcome->text);
        };
        send_empty(s->slot, cp::kOpDisplayRequest, DisplayCall{{}, std::move(done)});
    }

    void reconcile(const SessionPtr &s, const std::string &text) {
        std::string error;
        const std::optional<display::Table> table = display::parse(text, &error);
        if (!table) {
            protocol_break(s, "unreadable display: " + error);
            return;
        }
        Replay &r = s->replay;
        if (!table->initialized) {
            log("slot " + std::to_string(s->slot) +
                ": the card's flow table is not initialized: waiting for its download request");
            r.phase = Phase::AwaitDownload;
            return;
        }
        std::vector<FlowKey> held; // in key order, as the display lists them
        held.reserve(table->rows.size());
        for (const display::Row &row : table->rows) {
            held.push_back(row.key);
        }
        SyncPlan plan = diff(store.flows(s->slot), held);
        r.present = plan.present.size();
        for (const FlowKey &key : plan.present) {
            store.set_status(s->slot, key, FlowState{FlowStatus::Applied, 0});
        }
        r.adds = std::move(plan.to_add);
        r.dels = std::move(plan.to_delete);
        r.phase = Phase::Sending;
        pump(s);
    }

    // Sends what the window allows; finishes the run when all is answered.
    void pump(const SessionPtr &s) {
        Replay &r = s->replay;
        if (r.phase != Phase::Sending || !s->conn->is_open()) {
            return;
        }
        while (r.in_flight < options.replay_window && s->pending.size() < options.max_in_flight) {
            // Deletes first: they free counters for the adds.
            if (r.next_del < r.dels.size()) {
                const FlowKey key = r.dels[r.next_del++];
                if (store.find(s->slot, key) == nullptr) {
                    replay_request(s, kMsgDelete, key);
                }
            } else if (r.next_add < r.adds.size()) {
                const FlowKey key = r.adds[r.next_add++];
                if (store.find(s->slot, key) != nullptr) {
                    replay_request(s, kMsgAdd, key);
                }
            } else {
                break;
            }
        }
        if (r.in_flight == 0 && r.next_del == r.dels.size() && r.next_add == r.adds.size()) {
            finish(s);
        }
    }

    void replay_request(const SessionPtr &s, int32_t msg_type, const FlowKey &key) {
        ++s->replay.in_flight;
        const uint64_t generation = s->replay.generation;
        auto done = [this, weak = std::weak_ptr(s), generation,
                     msg_type](Outcome<FlowReply> outcome) {
            const SessionPtr s = weak.lock();
            if (!s || s->replay.generation != generation) {
                return;
            }
            Replay &r = s->replay;
            --r.in_flight;
            const FlowReply *reply = outcome.ok() ? &*outcome : nullptr;
            if (reply == nullptr) {
                ++r.unanswered;
            } else if (msg_type == kMsgAdd && model::add_took(reply->status)) {
                ++r.applied;
            } else if (msg_type == kMsgDelete && reply->status == 0) {
                ++r.deleted;
            } else {
                ++r.refused;
            }
            if (sessions[s->slot] == s) {
                pump(s);
            }
        };
        send_flow(s->slot, msg_type, key, std::move(done));
    }

    void finish(const SessionPtr &s) {
        Replay &r = s->replay;
        r.phase = Phase::Idle;
        const std::string took = " in " + std::to_string(ms_since(r.started)) + " ms";
        if (r.fresh) {
            log("slot " + std::to_string(s->slot) + ": ready: replayed " +
                std::to_string(r.adds.size()) + " flows" + took + " (" + std::to_string(r.applied) +
                " applied, " + std::to_string(r.refused) + " refused, " +
                std::to_string(r.unanswered) + " unanswered)");
        } else {
            log("slot " + std::to_string(s->slot) + ": ready: reconciled" + took + " (" +
                std::to_string(r.present) + " present, " + std::to_string(r.applied) + " added, " +
                std::to_string(r.deleted) + " deleted, " + std::to_string(r.refused) +
                " refused, " + std::to_string(r.unanswered) + " unanswered)");
        }
        std::string error;
        if (!store.flush(&error)) {
            log("status batch not written: " + error);
        }
    }
};

Cards::Cards(asio::io_context &io, Store &store, CardOptions options)
    : impl_(std::make_unique<Impl>(io, store, options)) {}

Cards::~Cards() = default;

bool Cards::listen(const vexa_socket::Address &address, vexa_socket::Listener::AcceptFilter filter,
                   std::string *error) {
    if (!impl_->listener.listen(address, error)) {
        return false;
    }
    impl_->listener.start(
        [impl = impl_.get()](vexa_socket::Socket socket, const vexa_socket::PeerCredentials &,
                             const std::string &peer_name) {
            impl->accept(std::move(socket), peer_name);
        },
        std::move(filter));
    return true;
}

void Cards::stop() {
    Impl &impl = *impl_;
    impl.listener.stop();
    for (auto &[conn, greeting] : impl.greetings) {
        greeting.conn->close("supervisor stopping");
    }
    impl.greetings.clear();
    impl.slot_of.clear();
    for (SessionPtr s : impl.sessions) { // a copy: tear_down empties the entry
        if (s) {
            s->conn->close("supervisor stopping");
            impl.tear_down(s, "supervisor stopping");
        }
    }
}

CardState Cards::state(uint32_t slot) const {
    const SessionPtr s = impl_->session(slot);
    if (!s) {
        return CardState::Down;
    }
    return s->replay.phase == Phase::Idle ? CardState::Ready : CardState::Replaying;
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
    return std::any_of(impl_->sessions.begin(), impl_->sessions.end(),
                       [](const SessionPtr &s) { return s && s->replay.phase == Phase::Sending; });
}

void Cards::flow_request(uint32_t slot, int32_t msg_type, const model::FlowKey &key,
                         std::function<void(Outcome<model::FlowReply>)> done) {
    impl_->send_flow(slot, msg_type, key, std::move(done));
}

void Cards::status(uint32_t slot, std::function<void(Outcome<card_protocol::Status>)> done) {
    impl_->send_empty(slot, cp::kOpStatusRequest, StatusCall{std::move(done)});
}

void Cards::traffic(uint32_t slot, const card_protocol::TrafficRequest &request,
                    std::function<void(Outcome<card_protocol::Status>)> done) {
    impl_->send(
        slot, cp::kOpTrafficRequest, [&request](uint32_t) { return cp::encode(request); },
        StatusCall{std::move(done)});
}

void Cards::display(uint32_t slot, std::function<void(Outcome<DisplayText>)> done) {
    impl_->send_empty(slot, cp::kOpDisplayRequest, DisplayCall{{}, std::move(done)});
}

} // namespace supervisor
