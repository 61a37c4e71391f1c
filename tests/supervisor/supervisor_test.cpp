// The supervisor against scripted cards over its sockets: a test plays the
// card's side of the protocol frame by frame, so that it can withhold or spoil
// replies and hang up. Covers what needs the processes: answers reaching a
// client, a client's in-flight bound, batches, a card going with requests out,
// cards that break the protocol being dropped alone, a card's late answer,
// clients that never read, a hello flood, refusals told to the peer. The
// request table, the replay window, hello checks and admission are tested as
// cores.

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <deque>
#include <filesystem>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "acl_tcam_flow_stats.h"
#include "acl_tcam_flow_wire.h"
#include "admission.h"
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

    // The next frame from the supervisor; nullopt when none came (the
    // supervisor closed the connection, or sent nothing for long).
    std::optional<Frame> next() {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
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
    bool dropped() {
        while (!closed_ && next()) {
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

    // The display of an empty flow table, in one chunk.
    void answer_empty_display(const Frame &request) {
        const std::string text = display::header_text();
        std::vector<uint8_t> chunk(ACL_TCAM_FS_PRINT_REPLY_LEN);
        acl_tcam_wire_put_be32(&chunk[ACL_TCAM_WIRE_LAST_CHUNK_AT], 1);
        acl_tcam_wire_put_be32(&chunk[ACL_TCAM_WIRE_TEXT_LEN_AT],
                               static_cast<uint32_t>(text.size()));
        std::copy(text.begin(), text.end(), chunk.begin() + ACL_TCAM_WIRE_TEXT_AT);
        send(cp::kOpReply, chunk, request.header.msg_id);
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

// The next response line.
json answer(RpcClient &client) {
    const auto line = client.read_line(10s);
    EXPECT_TRUE(line);
    return line ? json::parse(*line) : json();
}

// Sends one request, plays the card meanwhile, and reads the response.
json ask(RpcClient &client, int id, const std::string &method, const json &params,
         const std::function<void()> &meanwhile) {
    client.send_raw(request_line(id, method, params));
    meanwhile();
    return answer(client);
}

// Brings a scripted card up through reconcile with an empty table.
void reconcile_empty(ScriptedCard &card, uint32_t slot) {
    card.hello(slot, false);
    const auto display = card.next();
    ASSERT_TRUE(display && display->header.opcode == cp::kOpDisplayRequest);
    card.answer_empty_display(*display);
}

TEST(Supervisor, RequestsEndWithTheAnswerBusyOrTheCardGoing) {
    Chassis c;
    c.start_supervisor();
    ScriptedCard card(c.cards_socket());
    reconcile_empty(card, 2);
    RpcClient client(c.control_socket());
    // A notification and blank lines first: neither is answered. Then an add
    // and 64 queries, flow n with id n: 64 go to the card, which holds them.
    std::string lines = json{{"jsonrpc", "2.0"}, {"method", "flow.list"}}.dump() + "\n\r\n\n";
    for (int id = 1; id <= 65; ++id) {
        lines += request_line(id, id == 1 ? "flow.add" : "flow.get",
                              params_of(2, exact(1, static_cast<uint32_t>(id))));
    }
    client.send_raw(lines);
    json r = answer(client);
    EXPECT_EQ(r["id"], 65) << "past the client's bound: answered at once";
    EXPECT_EQ(r["error"]["code"], -32004);
    std::map<int, Frame> held;
    for (int i = 0; i < 64; ++i) {
        auto request = card.next();
        ASSERT_TRUE(request);
        const int id = static_cast<int>(request->key().sid - 0x010000);
        EXPECT_EQ(request->msg_type(), id == 1 ? 3u : 1u);
        held.emplace(id, std::move(*request));
    }
    ASSERT_EQ(held.size(), 64u);
    // Answered: a query's totals, exactly, 64-bit.
    card.answer_flow(held.at(2), 0, UINT64_MAX, 1ull << 40);
    r = answer(client);
    EXPECT_EQ(r["id"], 2);
    EXPECT_EQ(r["result"], (json{{"status", "ok"},
                                 {"code", 0},
                                 {"frames", UINT64_MAX},
                                 {"bytes", 1ull << 40},
                                 {"cleared", false}}));
    // Refused: the card's status by name and code.
    card.answer_flow(held.at(3), ACL_TCAM_FS_ERR_NO_ENTRY);
    r = answer(client);
    EXPECT_EQ(r["error"]["code"], -32001);
    EXPECT_EQ(r["error"]["data"],
              (json{{"status", "NO_ENTRY"}, {"code", ACL_TCAM_FS_ERR_NO_ENTRY}}));
    // The card's end fails the other 62; the add is stored, so "pending".
    card.hang_up();
    std::set<int> ended;
    for (int i = 0; i < 62; ++i) {
        r = answer(client);
        ended.insert(r["id"].get<int>());
        EXPECT_EQ(r["id"] == 1 ? r["result"]["flow_status"] : r["error"]["code"],
                  r["id"] == 1 ? json("pending") : json(-32002))
            << r;
    }
    EXPECT_EQ(ended.size(), 62u);
    ASSERT_TRUE(c.wait_card_state(2, "down"));
    const json down = c.call("flow.get", params_of(2, exact(1, 1)));
    EXPECT_EQ(down["error"]["data"], (json{{"slot", 2}}));
    EXPECT_EQ(c.result("flow.list", {{"slot", 2}})["flows"][0]["status"], "pending");
    c.stop_all();
}

// A batch is answered by one array line in request order once its last
// element is answered (a request sent after it and answered first proves it
// waited); notifications get nothing; an empty array is refused whole.
TEST(Supervisor, BatchesAreAnsweredWholeInRequestOrder) {
    Chassis c;
    c.start_supervisor();
    ScriptedCard card(c.cards_socket());
    reconcile_empty(card, 2);
    RpcClient client(c.control_socket());
    const json note = {{"jsonrpc", "2.0"}, {"method", "flow.list"}};
    json batch = json::array();
    batch.push_back(json::parse(request_line(1, "flow.get", params_of(2, exact(1, 1)))));
    batch.push_back(note);
    batch.push_back(1);
    batch.push_back(json::parse(request_line(2, "no.such", json::object())));
    batch.push_back(json::parse(request_line(3, "flow.get", params_of(2, exact(1, 3)))));
    client.send_raw(batch.dump() + "\n");
    // The two queries, whatever else the card is asked meanwhile (its status).
    std::optional<Frame> first, second;
    while (!first || !second) {
        auto frame = card.next();
        ASSERT_TRUE(frame);
        if (frame->header.opcode == cp::kOpFlowRequest) {
            (frame->key() == exact(1, 1) ? first : second) = std::move(frame);
        }
    }
    card.answer_flow(*second, 0, 7, 70);
    client.send_raw(request_line(9, "flow.list", json::object()));
    EXPECT_EQ(answer(client)["id"], 9);
    card.answer_flow(*first, ACL_TCAM_FS_ERR_NO_ENTRY);
    const json got = answer(client);
    ASSERT_TRUE(got.is_array()) << got;
    ASSERT_EQ(got.size(), 4u) << got;
    EXPECT_EQ(got[0]["id"], 1);
    EXPECT_EQ(got[0]["error"]["code"], -32001);
    EXPECT_EQ(got[1]["id"], nullptr);
    EXPECT_EQ(got[1]["error"]["code"], -32600);
    EXPECT_EQ(got[2]["id"], 2);
    EXPECT_EQ(got[2]["error"]["code"], -32601);
    EXPECT_EQ(got[3]["id"], 3);
    EXPECT_EQ(got[3]["result"]["frames"], 7);
    client.send_raw(json::array({note, note}).dump() + "\n" +
                    request_line(10, "flow.list", json::object()));
    EXPECT_EQ(answer(client)["id"], 10) << "nothing for a batch of notifications";
    client.send_raw("[]\n");
    const json empty = answer(client);
    EXPECT_EQ(empty["error"]["code"], -32600) << empty;
    EXPECT_TRUE(client.closed_by_peer(10s));
    c.stop_all();
}

TEST(Supervisor, CardsThatBreakTheRulesAreDroppedAlone) {
    Chassis c;
    c.start_supervisor();
    ScriptedCard first(c.cards_socket());
    reconcile_empty(first, 5);

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
    const json r = ask(client, 9, "flow.add", params_of(5, exact(1, 1)), [&first] {
        const auto add = first.next();
        ASSERT_TRUE(add && add->msg_type() == ACL_TCAM_FS_MSG_SET);
        first.answer_flow(*add, 0);
    });
    EXPECT_EQ(r["result"]["flow_status"], "applied");
    c.stop_all();
}

// --group admits a client whose supplementary groups hold the group, not
// only one whose primary group is it. A client of another uid needs root.
TEST(Supervisor, AGroupAdmitsItsSupplementaryMembers) {
    const struct group *daemon_group = getgrnam("daemon");
    if (getuid() != 0 || daemon_group == nullptr || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root, setpriv and a daemon group";
    }
    const std::string gid = std::to_string(daemon_group->gr_gid);
    Chassis c;
    c.start_supervisor({"--group", "daemon"});
    ASSERT_EQ(chmod(c.scratch.path().c_str(), 0755), 0);
    // Group 0 opens the socket file (mode 0660, root's); the check is ours.
    // Refused: told so, and flowctl says "permission denied" (exit 7).
    const std::pair<std::string, int> clients[] = {{gid + ",0", 0}, {"0", 7}};
    for (const auto &[groups, status] : clients) {
        Process client("/usr/bin/setpriv",
                       {"--reuid=65534", "--regid=65534", "--groups=" + groups,
                        std::string(std::getenv("CHASSIS_BIN")) + "/flowctl", "--control",
                        "unix:" + c.control_socket(), "cards"},
                       c.scratch.path(), c.scratch.file("client.log"));
        EXPECT_EQ(client.wait(10s), status) << groups << ": " << client.log();
        EXPECT_EQ(client.log().find("permission denied") != std::string::npos, status != 0)
            << client.log();
    }
    c.stop_all();
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// An add the card answers only after the supervisor stopped waiting: stored,
// reported as of unknown outcome (exit 6), then applied by the late answer,
// with no reconnect in between.
TEST(Supervisor, AnAddAnsweredLateIsReportedUnknownThenApplied) {
    Chassis c;
    c.start_supervisor({"--timeout", "300"});
    c.start_card({.slot = 1});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    c.card(1).signal(SIGSTOP);
    const Outcome add =
        run("flowctl", {"--control", "unix:" + c.control_socket(), "add", "1", "vsan", "11"});
    c.card(1).signal(SIGCONT);
    EXPECT_EQ(add.status, 6) << add.out;
    EXPECT_NE(add.out.find("unknown"), std::string::npos) << add.out;
    EXPECT_TRUE(wait_until(
        [&] {
            const json card = c.card_entry(1);
            return card.value("applied", 0) == 1 && card.value("card_flows", json()) == 1;
        },
        10s))
        << c.card_entry(1) << "\n"
        << c.logs();
    EXPECT_EQ(count_of(c.supervisor().log(), "card connected"), 1u);
    c.stop_all();
}

// A client that never reads its answers is dropped once nothing goes out for
// --client-timeout, while others are served.
TEST(Supervisor, AClientThatNeverReadsIsDropped) {
    Chassis c;
    c.start_supervisor({"--client-timeout", "500"});
    RpcClient greedy(c.control_socket());
    std::string lines;
    for (int id = 1; id <= 3000; ++id) {
        lines += request_line(id, "methods.list", json::object()); // megabytes of answers
    }
    ASSERT_TRUE(greedy.send_raw(lines));
    const Outcome cards = run("flowctl", {"--control", "unix:" + c.control_socket(), "cards"});
    EXPECT_EQ(cards.status, 0) << cards.out;
    EXPECT_TRUE(wait_until(
        [&] {
            return c.supervisor().log().find("dropped: no output written for 500 ms") !=
                   std::string::npos;
        },
        10s))
        << c.logs();
    c.stop_all();
}

// 100 connections that never say hello, held open while a real card
// restarts: the card has its slot back at once, and the log a few lines.
TEST(Supervisor, AHelloFloodLeavesARestartedCardItsSlot) {
    Chassis c;
    c.start_supervisor();
    c.start_card({.slot = 1});
    ASSERT_TRUE(c.wait_card_state(1, "ready")) << c.logs();
    c.card(1).signal(SIGKILL);
    ASSERT_TRUE(c.card(1).wait(5s));
    c.forget_card(1);
    // Gone from cards.list: down, and no flows configured.
    ASSERT_TRUE(wait_until([&] { return c.card_entry(1).is_null(); }, 10s));
    std::vector<int> flood; // more than every place on the socket
    for (int i = 0; i < 100; ++i) {
        flood.push_back(connect_unix(c.cards_socket()));
    }
    c.start_card({.slot = 1});
    EXPECT_TRUE(c.wait_card_state(1, "ready", 2s)) << c.logs();
    for (const int fd : flood) {
        close(fd);
    }
    const std::string log = c.supervisor().log();
    EXPECT_LE(count_of(log, ": card unix:"), supervisor::RefusalLog::kFullLines) << log;
    c.stop_all();
}

// A start that fails for a socket in use creates no file of its database.
TEST(Supervisor, AStartOnASocketInUseLeavesNoDatabase) {
    Chassis c;
    c.start_supervisor();
    const std::string db = c.scratch.file("other.db");
    const std::vector<std::string> sockets[] = {
        {"--cards", "unix:" + c.cards_socket(), "--control", "unix:" + c.scratch.file("o.ctl")},
        {"--cards", "unix:" + c.scratch.file("o.cards"), "--control", "unix:" + c.control_socket()},
    };
    for (const auto &args : sockets) {
        std::vector<std::string> all = {"--db", db};
        all.insert(all.end(), args.begin(), args.end());
        const Outcome second = run("flow-supervisor", all, 10s);
        EXPECT_EQ(second.status, 1) << second.out;
        EXPECT_NE(second.out.find("in use"), std::string::npos) << second.out;
        EXPECT_FALSE(std::filesystem::exists(db));
        EXPECT_FALSE(std::filesystem::exists(db + ".lock"));
    }
    c.stop_all();
}

} // namespace
