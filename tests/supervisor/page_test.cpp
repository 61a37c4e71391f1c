// The page at GET / in a real browser: a supervisor with --http and two cards
// with traffic, and page_test.py driving headless Chromium against it (what
// it checks is written there). This side owns the processes and the time
// bound; the script owns the browser and always quits it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include "chassis_fixture.h"

namespace {

using namespace harness;

bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

TEST(Page, ShowsCardsFlowsRatesAndFiltersInABrowser) {
    Chassis c;
    const int port = free_port();
    ASSERT_GT(port, 0);
    c.start_supervisor({"--http", "tcp:127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(wait_until([&] { return accepts(port); }, 10s)) << c.logs();
    c.start_card({.slot = 1, .counters = "1:999", .pps = 20000, .seed = 1});
    c.start_card({.slot = 2, .counters = "1:3", .pps = 20000, .seed = 2});
    ASSERT_TRUE(c.wait_card_state(1, "ready") && c.wait_card_state(2, "ready")) << c.logs();
    // Slot 2 has three counters: its fourth flow is refused.
    for (const json &f :
         {flow(1, "vsan", 10), flow(1, "domain", 10, 0x010000, 0x020000),
          flow(1, "exact", 10, 0x010001, 0x020001), flow(2, "vsan", 30),
          flow(2, "exact", 30, 0x030001, 0x040001), flow(2, "exact", 30, 0x030002, 0x040002),
          flow(2, "exact", 30, 0x030003, 0x040003)}) {
        c.call("flow.add", f);
    }

    Process script("/usr/bin/python3",
                   {PAGE_TEST_SCRIPT, "http://127.0.0.1:" + std::to_string(port) + "/",
                    std::string(std::getenv("CHASSIS_BIN")) + "/flowctl",
                    "unix:" + c.control_socket()},
                   c.scratch.path(), c.scratch.file("page_test.log"));
    const std::optional<int> status = script.wait(120s);
    if (!status) {
        kill(-script.pid(), SIGKILL); // the browser with it: it is in the script's group
    }
    EXPECT_EQ(status, 0) << script.log() << c.logs();
    c.stop_all();
}

} // namespace
