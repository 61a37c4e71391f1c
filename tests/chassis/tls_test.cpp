// Cards and clients over mutual TLS, with certificates made by openssl in
// the scratch directory: who gets through the handshake, a card's slot
// against its certificate, a reader's change refused, and the audit trail;
// and a reader on the Unix socket, a second uid through setpriv.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <regex>

#include "chassis_fixture.h"

namespace {

using namespace harness;

// A CA, a second one nobody trusts, and leaves: the supervisor, an admin,
// a reader, a stranger (the other CA), an expired admin and the card of
// slot 3 (its SAN names the slot).
constexpr const char *kMakeCertificates = R"(set -e
ca() { openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $1.key \
  -out $1.pem -days 2 -subj "/CN=$1"; }
leaf() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $1.key \
  -out $1.csr -subj "$2"; echo "subjectAltName=$3" > $1.ext
  openssl x509 -req -in $1.csr -CA $4.pem -CAkey $4.key -CAcreateserial -out $1.pem -days $5 \
  -extfile $1.ext; }
ca ca; ca other
leaf server /CN=supervisor DNS:localhost,IP:127.0.0.1 ca 2
leaf admin /CN=alice/OU=admin DNS:alice ca 2
leaf reader /CN=bob/OU=reader DNS:bob ca 2
leaf stranger /CN=eve/OU=admin DNS:eve other 2
leaf expired /CN=old/OU=admin DNS:old ca -1
leaf card3 /CN=card/OU=card DNS:slot-3 ca 2
)";

std::string shell(const std::string &command) {
    std::string out;
    if (FILE *pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return out;
}

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string dir = c.scratch.path();
        ASSERT_EQ(
            std::system(
                ("cd " + dir + " && sh -c '" + kMakeCertificates + "' >/dev/null 2>&1").c_str()),
            0);
        c.start_supervisor({"--cards", "tls:127.0.0.1:0", "--control", "tls:127.0.0.1:0",
                            "--client-timeout", "1500", "--http", "tls:0", "--tls-cert",
                            "server.pem", "--tls-key", "server.key", "--tls-ca", "ca.pem"},
                           false);
        std::smatch ports;
        const std::string log = c.supervisor().log();
        ASSERT_TRUE(std::regex_search(
            log, ports, std::regex("cards on (tls:[^,]+), clients on (tls:[^,\\s]+)")))
            << log;
        cards = ports[1];
        control = ports[2];
        ASSERT_TRUE(std::regex_search(log, ports, std::regex("HTTP on (https://\\S+/)"))) << log;
        http = ports[1];
    }
    void TearDown() override { c.stop_all(); }

    std::vector<std::string> tls_args(const std::string &who) const {
        return {"--tls-cert", c.scratch.file(who + ".pem"),
                "--tls-key",  c.scratch.file(who + ".key"),
                "--tls-ca",   c.scratch.file("ca.pem")};
    }
    Outcome flowctl(const std::string &who, std::vector<std::string> args) {
        std::vector<std::string> all = {"--json", "--control", control};
        const auto tls = tls_args(who);
        all.insert(all.end(), tls.begin(), tls.end());
        all.insert(all.end(), args.begin(), args.end());
        return run("flowctl", all);
    }

    Chassis c;
    std::string cards, control, http;
};

TEST_F(Tls, OnlyAPeerWithAValidCertificateFromTheCaIsServed) {
    struct Case {
        const char *who; // "" for no certificate
        bool served;
    } const cases[] = {{"", false}, {"stranger", false}, {"expired", false}, {"reader", true}};
    const std::string port = control.substr(control.rfind(':') + 1);
    for (const Case &k : cases) {
        std::string command = "printf '%s\\n' '{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":"
                              "\"cards.list\"}' | timeout 20 openssl s_client -quiet -connect "
                              "127.0.0.1:" +
                              port + " -CAfile " + c.scratch.file("ca.pem");
        if (*k.who != '\0') {
            command += " -cert " + c.scratch.file(std::string(k.who) + ".pem") + " -key " +
                       c.scratch.file(std::string(k.who) + ".key");
        }
        const std::string out = shell(command + " 2>/dev/null");
        EXPECT_EQ(out.find("\"result\":{\"cards\"") != std::string::npos, k.served)
            << (*k.who ? k.who : "no certificate") << ": " << out;
    }
    const std::string log = c.supervisor().log();
    EXPECT_NE(log.find("TLS handshake failed"), std::string::npos) << log;
    // The HTTP endpoint takes the same certificates.
    const std::string curl = "curl -s -o /dev/null -w '%{http_code}' --max-time 10 --cacert " +
                             c.scratch.file("ca.pem") + " " + http + "healthz";
    EXPECT_EQ(shell(curl + " --cert " + c.scratch.file("reader.pem") + " --key " +
                    c.scratch.file("reader.key")),
              "200");
    EXPECT_NE(shell(curl), "200");
    // A plain tcp: listener needs the operator's say-so.
    const Outcome plain =
        run("flow-supervisor", {"--db", c.scratch.file("other.db"), "--control", "tcp:127.0.0.1:0",
                                "--cards", "unix:" + c.scratch.file("other.cards")});
    EXPECT_NE(plain.status, 0);
    EXPECT_NE(plain.out.find("--insecure-tcp"), std::string::npos) << plain.out;
}

TEST_F(Tls, CardsMatchTheirSlotAndReadersCannotChangeButAreAudited) {
    // The slot-3 certificate saying hello for slot 4 is dropped; for slot 3 it
    // is served.
    c.start_card({.slot = 4, .supervisor = cards, .extra = tls_args("card3")});
    ASSERT_TRUE(wait_until(
        [&] { return c.supervisor().log().find("does not name slot-4") != std::string::npos; },
        20s))
        << c.logs();
    c.card(4).signal(SIGTERM);
    EXPECT_EQ(c.card(4).wait(10s), 0);
    c.forget_card(4);
    c.start_card({.slot = 3, .supervisor = cards, .extra = tls_args("card3")});
    ASSERT_TRUE(wait_until(
        [&] { return flowctl("reader", {"cards"}).out.find("\"ready\"") != std::string::npos; },
        20s))
        << c.logs();

    const Outcome refused = flowctl("reader", {"add", "3", "vsan", "10"});
    EXPECT_EQ(refused.status, 9) << refused.out;
    EXPECT_NE(refused.out.find("\"FORBIDDEN\""), std::string::npos) << refused.out;
    const std::string set = c.scratch.file("set.flows");
    std::ofstream(set) << "3 vsan 10\n3 vsan 12\n";
    EXPECT_EQ(flowctl("reader", {"apply", "--dry-run", set}).status, 0) << c.logs();

    const std::vector<std::vector<std::string>> changes = {{"add", "3", "vsan", "10"},
                                                           {"add", "3", "vsan", "11"},
                                                           {"del", "3", "vsan", "11"},
                                                           {"apply", set},
                                                           {"clear", "3"},
                                                           {"traffic", "3", "pause"}};
    for (const auto &change : changes) {
        const Outcome done = flowctl("admin", change);
        EXPECT_EQ(done.status, 0) << change[0] << ": " << done.out;
    }
    const Outcome audit = flowctl("reader", {"audit"});
    ASSERT_EQ(audit.status, 0) << audit.out;
    const json entries = json::parse(audit.out)["entries"];
    struct Row {
        const char *method;
        const char *who;
        const char *result;
    } const expected[] = {{"flow.add", "CN=bob", "error"},   {"flow.add", "CN=alice", "ok"},
                          {"flow.add", "CN=alice", "ok"},    {"flow.del", "CN=alice", "ok"},
                          {"flow.apply", "CN=alice", "ok"},  {"flow.clear", "CN=alice", "ok"},
                          {"card.traffic", "CN=alice", "ok"}};
    ASSERT_EQ(entries.size(), std::size(expected)) << audit.out;
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i]["method"], expected[i].method) << entries[i];
        EXPECT_NE(entries[i]["who"].get<std::string>().find(expected[i].who), std::string::npos)
            << entries[i];
        EXPECT_EQ(entries[i]["result"], expected[i].result) << entries[i];
    }
    EXPECT_EQ(entries[0]["code"], -32010);
    EXPECT_NE(entries[3]["what"].get<std::string>().find("\"vsan\":11"), std::string::npos);
    EXPECT_NE(entries[4]["what"].get<std::string>().find("2 lines"), std::string::npos);
    EXPECT_NE(entries[4]["what"].get<std::string>().find("added 1"), std::string::npos);
}

TEST(UnixRoles, AReadGroupMemberReadsButCannotChange) {
    const struct group *readers = ::getgrnam("nogroup");
    if (::getuid() != 0 || readers == nullptr ||
        std::system("command -v setpriv >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root, setpriv and the group nogroup";
    }
    Chassis c;
    c.start_supervisor({"--read-group", "nogroup"});
    // The second uid must reach the socket: its group is the readers'.
    ASSERT_EQ(::chmod(c.scratch.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(c.control_socket().c_str(), 0, readers->gr_gid), 0);
    const auto as_reader = [&](const std::string &args) {
        return shell("setpriv --reuid=65534 --regid=" + std::to_string(readers->gr_gid) +
                     " --clear-groups " + std::getenv("CHASSIS_BIN") +
                     "/flowctl --json --control unix:" + c.control_socket() + " " + args +
                     "; echo exit=$?");
    };
    EXPECT_NE(as_reader("list").find("exit=0"), std::string::npos);
    const std::string refused = as_reader("add 1 vsan 10");
    EXPECT_NE(refused.find("exit=9"), std::string::npos) << refused;
    const json entries = c.result("audit.list")["entries"];
    ASSERT_EQ(entries.size(), 1u) << entries;
    EXPECT_EQ(entries[0]["who"].get<std::string>().rfind("uid 65534 pid ", 0), 0u) << entries;
    EXPECT_EQ(entries[0]["code"], -32010);
    c.stop_all();
}

} // namespace
