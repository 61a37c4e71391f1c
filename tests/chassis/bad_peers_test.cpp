// Peers that break the protocols, on both of the supervisor's sockets: each
// is dropped or refused, and a good client is still answered afterwards.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "card_protocol.h"
#include "chassis_fixture.h"
#include "jsonrpc.h"
#include "schema.h"
#include "vexa_socket.h"

namespace {

using namespace harness;

std::string frame_bytes(uint32_t opcode, uint32_t payload_len, const std::string &payload) {
    vexa_socket::FrameHeader h;
    h.opcode = opcode;
    h.src = card_protocol::card_addr(1);
    h.dst = card_protocol::kSupervisorAddr;
    h.msg_id = 1;
    h.payload_len = payload_len;
    uint8_t header[vexa_socket::kHeaderLen];
    vexa_socket::encode_header(h, header);
    return std::string(reinterpret_cast<const char *>(header), sizeof header) + payload;
}

// Sends bytes on a new connection to path (then half-closes it: an end of
// stream inside a frame) and tells whether the supervisor closed it.
bool dropped_after(const std::string &path, const std::string &bytes, bool half_close,
                   std::chrono::milliseconds within) {
    RpcClient peer(path);
    EXPECT_TRUE(peer.connected());
    EXPECT_TRUE(peer.send_raw(bytes));
    if (half_close) {
        peer.half_close();
    }
    return peer.closed_by_peer(within);
}

void expect_still_serving(Chassis &c) {
    const json r = c.call("cards.list");
    EXPECT_TRUE(r.contains("result")) << r.dump() << "\n" << c.logs();
}

TEST(BadPeers, CardSocket) {
    Chassis c;
    c.start_supervisor();
    const std::string hello_payload(card_protocol::kHelloLen, '\0');
    struct Case {
        const char *name;
        std::string bytes;
        bool half_close;
    };
    const Case cases[] = {
        {"garbage", std::string(200, 'x') + "\n", false},
        {"truncated frame", frame_bytes(card_protocol::kOpHello, 32, "0123456789"), true},
        {"oversized frame", frame_bytes(card_protocol::kOpHello, 200000, ""), false},
        {"huge length", frame_bytes(card_protocol::kOpHello, 0xffffffffu, ""), false},
        {"bad hello", frame_bytes(card_protocol::kOpHello, 32, hello_payload), false},
        {"flow reply before hello", frame_bytes(card_protocol::kOpReply, 0, ""), false},
        {"says nothing", "", false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_TRUE(dropped_after(c.cards_socket(), k.bytes, k.half_close, 15s)) << c.logs();
        expect_still_serving(c);
    }
    c.stop_all();
}

TEST(BadPeers, ControlSocket) {
    Chassis c;
    c.start_supervisor();
    // A client that connects and says nothing does not hold the others up.
    RpcClient silent(c.control_socket());
    ASSERT_TRUE(silent.connected());
    // Past the client limit a client is told so, and flowctl says it (exit 8).
    std::vector<std::unique_ptr<RpcClient>> crowd;
    for (int i = 1; i < 64; ++i) {
        crowd.push_back(std::make_unique<RpcClient>(c.control_socket()));
    }
    const Outcome crowded = run("flowctl", {"--control", "unix:" + c.control_socket(), "cards"});
    EXPECT_EQ(crowded.status, 8) << crowded.out;
    EXPECT_NE(crowded.out.find("too many clients (64)"), std::string::npos) << crowded.out;
    crowd.clear();
    struct Case {
        const char *name;
        std::string line;
        int error_code; // 0: dropped without a reply being required
    };
    const Case cases[] = {
        {"not json", "this is not json\n", -32700},
        {"not a request", "{\"foo\": 1}\n", -32600},
        {"oversized line", std::string(jsonrpc::kMaxRequestLine + 1, ' '), 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        RpcClient peer(c.control_socket());
        peer.send_raw(k.line);
        if (k.error_code != 0) {
            const std::optional<std::string> reply = peer.read_line(5s);
            ASSERT_TRUE(reply);
            EXPECT_EQ(json::parse(*reply)["error"]["code"], k.error_code) << *reply;
        }
        EXPECT_TRUE(peer.closed_by_peer(5s));
        expect_still_serving(c);
    }
    const json unknown = c.call("no.such.method");
    EXPECT_EQ(unknown["error"]["code"], -32601);
    // Served from the registry that flowctl and the docs test read.
    EXPECT_EQ(c.call("methods.list")["result"], api::methods_json());
    const json bad_params = c.call("flow.add", {{"slot", 1}, {"type", "exact"}, {"vsan", 0}});
    EXPECT_EQ(bad_params["error"]["code"], -32602);
    expect_still_serving(c);
    c.stop_all();
}

// A peer of another user is refused, although the socket file would let it
// connect: the supervisor checks the credentials the kernel reports, and
// tells a client why (a card gets no word: its protocol has none).
TEST(BadPeers, OtherUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    Chassis c;
    c.start_supervisor();
    chmod(c.scratch.path().c_str(), 0755);
    for (const auto &[path, told] :
         {std::pair(c.cards_socket(), ""), std::pair(c.control_socket(), "\"code\":-32006")}) {
        chmod(path.c_str(), 0666);
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(3);
            }
            const int fd = connect_unix(path);
            if (fd < 0) {
                _exit(4);
            }
            const std::string line = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"cards.list\"}\n";
            ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            char buffer[512];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            const std::string said(buffer, n > 0 ? static_cast<size_t>(n) : 0);
            const bool refused = *told == '\0' ? n <= 0
                                               : said.find(told) != std::string::npos &&
                                                     recv(fd, buffer, sizeof buffer, 0) <= 0;
            _exit(refused ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << path << ": exit " << WEXITSTATUS(status) << "\n"
            << c.logs();
        expect_still_serving(c);
    }
    c.stop_all();
}

} // namespace
