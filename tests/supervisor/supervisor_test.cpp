// The supervisor against scripted cards: a test plays the card's side of the
// protocol frame by frame, so that it can withhold, reorder or spoil replies
// and see exactly what the supervisor sends. Covers request matching and its
// bounds, replay with its window, reconcile, and the rules of a card's
// connection.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "card_protocol.h"
#include "chassis_fixture.h"
#include "display.h"
#include "request.h"
#include "vexa_socket.h"

namespace {

using namespace harness;
namespace cp = card_protocol;
using model::FlowKey;
using model::FlowType;

struct Frame {
    vexa_socket::FrameHeader header;
    std::vector<uint8_t> payload;
    uint32_t msg_type() const {
        return acl_tcam_wire_get_be32(&payload[ACL_TCAM_WIRE_MSG_TYPE_AT]);
    }
    FlowKey key() const { return model::decode_request(payload).key; }
};

// The card's end of one connection, driven by the test.
class ScriptedCard {
public:
    explicit ScriptedCard(const std::string &path) : fd_(connect_unix(path)) {}
    ~ScriptedCard() { hang_up(); }
    ScriptedCard(const ScriptedCard &) = delete;
    ScriptedCard &operator=(const ScriptedCard &) = delete;

    bool connected() const { return fd_ >= 0; }
    void hang_up() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    void send(uint32_t opcode, std::span<const uint8_t> payload, uint32_t reply_to = 0) {
        const vexa_socket::FrameHeader h{.opcode = opcode,
                                         .src = cp::card_addr(slot_),
                                         .dst =
                                             reply_to != 0 ? cp::kReplyAddr : cp::kSupervisorAddr,
                                         .msg_id = ++last_id_,
                                         .reply_to = reply_to,
                                         .payload_len = static_cast<uint32_t>(payload.size())};
        std::vector<uint8_t> bytes(vexa_socket::kHeaderLen);
        vexa_socket::encode_header(h, bytes.data());
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    void hello(uint32_t slot, bool fresh) {
        slot_ = slot;
        const cp::Hello hello{.version = cp::kProtocolVersion,
                              .slot = slot,
                              .first_counter = 1,
                              .table_size = 1000,
                              .boot_id = 0x1234,
                              .flags = fresh ? cp::kHelloFresh : 0};
        send(cp::kOpHello, cp::encode(hello));
    }

    void download(uint32_t slot) {
        uint8_t payload[4];
        acl_tcam_wire_put_be32(payload, slot);
        send(cp::kOpDownload, payload);
    }

    // The next frame from the supervisor; nullopt when none came within
    // timeout or the supervisor closed the connection.
    std::optional<Frame> next(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (frames_.empty() && fd_ >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            uint8_t buffer[65536];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            decoder_.feed(std::span(buffer, static_cast<size_t>(n)),
                          [this](const vexa_socket::FrameHeader &h, std::span<const uint8_t> p) {
                              frames_.push_back({h, {p.begin(), p.end()}});
                          });
        }
        std::optional<Frame> frame;
        if (!frames_.empty()) {
            frame = std::move(frames_.front());
            frames_.pop_front();
        }
        return frame;
    }

    // Whether the supervisor closed the connection (frames before it are
    // dropped).
    bool dropped(std::chrono::milliseconds timeout = 10s) {
        while (!closed_ && next(timeout)) {
        }
        return closed_;
    }

    void answer_flow(const Frame &request, uint32_t status, uint64_t frames = 0,
                     uint64_t bytes = 0) {
        std::vector<uint8_t> reply = request.payload;
        acl_tcam_wire_put_be32(&reply[ACL_TCAM_WIRE_STATUS_AT], status);
        acl_tcam_wire_put_be64(&reply[ACL_TCAM_WIRE_FRAMES_AT], frames);
        acl_tcam_wire_put_be64(&reply[ACL_TCAM_WIRE_BYTES_AT], bytes);
        reply.resize(status != 0 ? ACL_TCAM_FS_CMI_HEADER_LEN : reply.size());
        send(cp::kOpReply, reply, request.header.msg_id);
    }

    // The display of these flows (counter ids in order, no traffic), in
    // chunks of at most chunk_text bytes of text.
    void answer_display(const Frame &request, const std::vector<FlowKey> &flows,
                        size_t chunk_text = ACL_TCAM_FS_PRINT_TEXT_CAPACITY) {
        std::string text = display::header_text();
        uint32_t counter = 1;
        for (const FlowKey &k : flows) {
            text += display::row_text({.key = k, .counter = counter++});
        }
        for (size_t at = 0; at < text.size(); at += chunk_text) {
            const size_t len = std::min(chunk_text, text.size() - at);
            std::vector<uint8_t> chunk(ACL_TCAM_FS_PRINT_REPLY_LEN);
            acl_tcam_wire_put_be32(&chunk[ACL_TCAM_WIRE_LAST_CHUNK_AT],
                                   at + len == text.size() ? 1 : 0);
            acl_tcam_wire_put_be32(&chunk[ACL_TCAM_WIRE_TEXT_LEN_AT], static_cast<uint32_t>(len));
            std::copy_n(text.begin() + static_cast<std::ptrdiff_t>(at), len,
                        chunk.begin() + ACL_TCAM_WIRE_TEXT_AT);
            send(cp::kOpReply, chunk, request.header.msg_id);
        }
    }

private:
    int fd_ = -1;
    uint32_t slot_ = 0;
    uint32_t last_id_ = 0;
    bool closed_ = false;
    vexa_socket::FrameDecoder decoder_;
    std::deque<Frame> frames_;
};

FlowKey exact(uint32_t vsan, uint32_t n) {
    return {FlowType::Exact, vsan, 0x010000 + n, 0x020000 + n};
}

json params_of(int slot, const FlowKey &k) {
    return harness::flow(slot, model::type_name(k.type), static_cast<int>(k.vsan), k.sid, k.did);
}

std::string request_line(int id, const std::string &method, const json &params) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump() +
           "\n";
}

// Sends one request and reads its response.
json ask(RpcClient &client, int id, const std::string &method, const json &params,
         const std::function<void()> &meanwhile = {}) {
    client.send_raw(request_line(id, method, params));
    if (meanwhile) {
        meanwhile();
    }
    const auto line = client.read_line(10s);
    EXPECT_TRUE(line);
    return line ? json::parse(*line) : json();
}

// Configures flows while their card is down (answered "pending" at once).
void configure(Chassis &c, int slot, const std::vector<FlowKey> &flows) {
    RpcClient client(c.control_socket());
    for (const FlowKey &k : flows) {
        const auto response = client.call("flow.add", params_of(slot, k));
        ASSERT_TRUE(response && response->contains("result")) << model::to_string(k);
        ASSERT_EQ((*response)["result"]["flow_status"], "pending");
    }
}

// Brings a scripted card up through reconcile with an empty table.
void reconcile_empty(ScriptedCard &card, uint32_t slot) {
    card.hello(slot, false);
    const auto display = card.next();
    ASSERT_TRUE(display && display->header.opcode == cp::kOpDisplayRequest);
    card.answer_display(*display, {});
}

// flow.list of one slot.
json status_of(Chassis &c, int slot) {
    json result = c.result("flow.list", {{"slot", slot}});
    return result["flows"];
}

TEST(Supervisor, RequestsEndWithTheAnswerATimeoutOrTheCardGoing) {
    Chassis c;
    c.start_supervisor({"--timeout", "300"});
    const FlowKey k = exact(10, 1);
    {
        ScriptedCard card(c.cards_socket());
        ASSERT_TRUE(card.connected());
        reconcile_empty(card, 1);

        RpcClient client(c.control_socket());
        std::optional<Frame> query;
        auto card_gets = [&](uint32_t msg_type, std::function<void(const Frame &)> then) {
            return [&card, &query, msg_type, then] {
                query = card.next();
                ASSERT_TRUE(query && query->header.opcode == cp::kOpFlowRequest);
                EXPECT_EQ(query->msg_type(), msg_type);
                EXPECT_EQ(query->key(), exact(10, 1));
                then(*query);
            };
        };
        // Answered: a query's totals, exactly, 64-bit.
        json r = ask(client, 1, "flow.get", params_of(1, k), card_gets(1, [&](const Frame &q) {
                         card.answer_flow(q, 0, UINT64_MAX, 1ull << 40);
                     }));
        EXPECT_EQ(
            r["result"],
            (json{{"status", "ok"}, {"code", 0}, {"frames", UINT64_MAX}, {"bytes", 1ull << 40}}));
        // Refused: the card's status by name and code.
        r = ask(client, 2, "flow.get", params_of(1, k), card_gets(1, [&](const Frame &q) {
                    card.answer_flow(q, ACL_TCAM_FS_ERR_NO_ENTRY);
                }));
        EXPECT_EQ(r["error"]["code"], -32001);
        EXPECT_EQ(r["error"]["data"],
                  (json{{"status", "NO_ENTRY"}, {"code", ACL_TCAM_FS_ERR_NO_ENTRY}}));
        // Ignored: -32003 once the timeout passes; a late answer is dropped.
        r = ask(client, 3, "flow.get", params_of(1, k), card_gets(1, [](const Frame &) {}));
        EXPECT_EQ(r["error"]["data"], (json{{"slot", 1}, {"timeout_ms", 300}}));
        card.answer_flow(*query, 0);
        // The card goes with an add outstanding: stored, so "pending".
        r = ask(client, 4, "flow.add", params_of(1, k),
                card_gets(3, [&](const Frame &) { card.hang_up(); }));
        EXPECT_EQ(r["result"]["flow_status"], "pending") << r;
    }
    ASSERT_TRUE(c.wait_card_state(1, "down"));
    const json down = c.call("flow.get", params_of(1, k));
    EXPECT_EQ(down["error"]["code"], -32002);
    EXPECT_EQ(down["error"]["data"], (json{{"slot", 1}}));
    EXPECT_EQ(status_of(c, 1)[0]["status"], "pending");
    c.stop_all();
}

TEST(Supervisor, AClientGetsBusyPastItsInFlightBound) {
    Chassis c;
    c.start_supervisor();
    ScriptedCard card(c.cards_socket());
    reconcile_empty(card, 2);
    RpcClient client(c.control_socket());
    // A notification and blank lines first: neither is answered.
    std::string lines = json{{"jsonrpc", "2.0"}, {"method", "flow.list"}}.dump() + "\n\r\n\n";
    for (int id = 1; id <= 65; ++id) {
        lines += request_line(id, "flow.get", params_of(2, exact(1, static_cast<uint32_t>(id))));
    }
    client.send_raw(lines);
    // 64 go to the card, which holds them; the 65th is answered at once.
    auto line = client.read_line(10s);
    ASSERT_TRUE(line);
    const json busy = json::parse(*line);
    EXPECT_EQ(busy["id"], 65);
    EXPECT_EQ(busy["error"]["code"], -32004);
    std::set<int> held;
    for (int i = 0; i < 64; ++i) {
        const auto query = card.next();
        ASSERT_TRUE(query);
        held.insert(static_cast<int>(query->key().sid - 0x010000));
    }
    EXPECT_EQ(held.size(), 64u);
    EXPECT_EQ(*held.rbegin(), 64);
    // The card's end fails all 64 at once.
    card.hang_up();
    std::set<int> failed;
    for (int i = 0; i < 64; ++i) {
        line = client.read_line(10s);
        ASSERT_TRUE(line);
        const json r = json::parse(*line);
        EXPECT_EQ(r["error"]["code"], -32002);
        failed.insert(r["id"].get<int>());
    }
    EXPECT_EQ(failed, held);
    c.stop_all();
}

TEST(Supervisor, AFreshCardGetsEveryFlowReplayedThroughAWindow) {
    constexpr size_t kFlows = 600; // more than one window of 512
    Chassis c;
    c.start_supervisor();
    std::vector<FlowKey> flows;
    for (uint32_t n = 0; n < kFlows; ++n) {
        flows.push_back(exact(20, n));
    }
    configure(c, 3, flows);
    ScriptedCard card(c.cards_socket());
    card.hello(3, true);
    card.download(3);
    // Each add is answered only after the window is full: the supervisor must
    // not send past it meanwhile.
    std::vector<Frame> window;
    std::set<FlowKey> seen;
    while (seen.size() < kFlows) {
        auto add = card.next();
        ASSERT_TRUE(add) << seen.size() << " adds seen\n" << c.logs();
        ASSERT_EQ(add->msg_type(), 3u);
        EXPECT_TRUE(seen.insert(add->key()).second) << "sent twice";
        window.push_back(std::move(*add));
        if (window.size() == 512) {
            EXPECT_FALSE(card.next(300ms)) << "a 513th add while 512 are unanswered";
        }
        if (window.size() == 512 || seen.size() == kFlows) {
            for (const Frame &f : window) {
                const uint32_t n = f.key().sid - 0x010000;
                card.answer_flow(f, n % 3 == 0   ? 0
                                    : n % 3 == 1 ? ACL_TCAM_FS_ERR_FLOW_EXISTS
                                                 : ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED);
            }
            window.clear();
        }
    }
    EXPECT_EQ(seen, std::set<FlowKey>(flows.begin(), flows.end()));
    ASSERT_TRUE(wait_until(
        [&] {
            const json listed = status_of(c, 3);
            return listed.size() == kFlows && listed[kFlows - 1]["status"] != "pending";
        },
        10s));
    size_t applied = 0;
    size_t refused = 0;
    for (const json &f : status_of(c, 3)) {
        if (f["status"] == "applied") {
            ++applied;
            EXPECT_EQ(f["code"], 0);
        } else {
            ++refused;
            EXPECT_EQ(f["status"], "refused");
            EXPECT_EQ(f["code"], ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED);
        }
    }
    EXPECT_EQ(applied, 400u) << "ok and FLOW_EXISTS both count as applied";
    EXPECT_EQ(refused, 200u);
    c.stop_all();
    EXPECT_NE(c.supervisor().log().find("slot 3: ready: replayed 600 flows"), std::string::npos)
        << c.supervisor().log();
}

TEST(Supervisor, ReconcileSendsOnlyTheDifference) {
    Chassis c;
    c.start_supervisor();
    const FlowKey vsan{FlowType::Vsan, 7, 0, 0};
    const FlowKey domain{FlowType::Domain, 7, 0x010000, 0x020000};
    const FlowKey stray = exact(7, 5);
    const FlowKey lacking = exact(7, 9);
    configure(c, 4, {vsan, domain, lacking});
    ScriptedCard card(c.cards_socket());
    card.hello(4, false);
    const auto display = card.next();
    ASSERT_TRUE(display && display->header.opcode == cp::kOpDisplayRequest);
    // The card holds two configured flows and one that is not; in small
    // chunks, so that reassembly is needed.
    card.answer_display(*display, {vsan, domain, stray}, 100);
    auto first = card.next();
    auto second = card.next();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->msg_type(), 4u) << "deletes go first";
    EXPECT_EQ(first->key(), stray);
    EXPECT_EQ(second->msg_type(), 3u);
    EXPECT_EQ(second->key(), lacking);
    EXPECT_FALSE(card.next(300ms)) << "nothing else differs";
    card.answer_flow(*first, 0);
    card.answer_flow(*second, 0);
    ASSERT_TRUE(wait_until(
        [&] {
            const json listed = status_of(c, 4);
            return std::all_of(listed.begin(), listed.end(),
                               [](const json &f) { return f["status"] == "applied"; });
        },
        10s));
    c.stop_all();
    EXPECT_NE(c.supervisor().log().find("2 present, 1 added, 1 deleted"), std::string::npos)
        << c.supervisor().log();
}

TEST(Supervisor, CardsThatBreakTheRulesAreDroppedAlone) {
    Chassis c;
    c.start_supervisor();
    ScriptedCard first(c.cards_socket());
    reconcile_empty(first, 5);

    // A second card claiming slot 5 is refused; the first keeps it.
    {
        ScriptedCard second(c.cards_socket());
        second.hello(5, true);
        EXPECT_TRUE(second.dropped());
    }
    // Each of these drops the card of slot 6 (its slot is free again for the
    // next case, or the next hello would be refused and the case fail).
    struct Case {
        const char *what;
        std::function<void(ScriptedCard &)> misbehave;
    };
    const Case cases[] = {
        {"download for another slot", [](ScriptedCard &card) { card.download(7); }},
        {"unknown opcode", [](ScriptedCard &card) { card.send(4242, {}); }},
        {"a reply of the wrong length",
         [&c](ScriptedCard &card) {
             RpcClient client(c.control_socket());
             const json r = ask(client, 1, "flow.get", params_of(6, exact(1, 1)), [&card] {
                 const auto query = card.next();
                 ASSERT_TRUE(query);
                 card.send(cp::kOpReply, std::vector<uint8_t>(100), query->header.msg_id);
             });
             EXPECT_EQ(r["error"]["code"], -32002);
         }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        ScriptedCard card(c.cards_socket());
        card.hello(6, true);
        // A stray reply to nothing is no reason to drop a card.
        card.send(cp::kOpReply, std::vector<uint8_t>(ACL_TCAM_FS_CMI_LEN), 999);
        k.misbehave(card);
        EXPECT_TRUE(card.dropped());
    }
    // Slot 5 was never disturbed.
    RpcClient client(c.control_socket());
    const json r = ask(client, 9, "flow.del", params_of(5, exact(1, 1)), [&first] {
        const auto del = first.next();
        ASSERT_TRUE(del && del->msg_type() == 4u);
        first.answer_flow(*del, 0);
    });
    EXPECT_EQ(r["result"]["flow_status"], "applied");
    c.stop_all();
}

} // namespace
