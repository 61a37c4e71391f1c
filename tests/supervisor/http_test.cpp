// The supervisor's HTTP endpoint with real clients: a Prometheus server
// scraping it, and clients that misbehave.

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "chassis_fixture.h"

namespace {

using namespace harness;

constexpr uint64_t kPps = 4000;

class Http : public ::testing::Test {
protected:
    // A supervisor on an HTTP port the kernel chose; its port from the log.
    void SetUp() override {
        chassis.start_supervisor({"--http", "tcp:127.0.0.1:0"});
        const std::regex started("HTTP on http://127\\.0\\.0\\.1:([0-9]+)/");
        std::smatch m;
        std::string log; // outlives m, which points into it
        ASSERT_TRUE(wait_until(
            [&] {
                log = chassis.supervisor().log();
                return std::regex_search(log, m, started);
            },
            10s));
        port = std::stoi(m[1]);
    }

    httplib::Result get(const std::string &path) {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(20s);
        return client.Get(path);
    }

    // A raw connection to the endpoint; -1 on failure.
    int connect_raw() const {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    Chassis chassis;
    int port = 0;
};

// promtool's verdict on an exposition; "" when it passes.
std::string promtool_check(const Scratch &scratch, const std::string &text) {
    std::ofstream(scratch.file("scrape.prom")) << text;
    const std::string command = "promtool check metrics < " + scratch.file("scrape.prom") + " 2>&1";
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    char buffer[512];
    while (p != nullptr && fgets(buffer, sizeof buffer, p) != nullptr) {
        out += buffer;
    }
    const int status = p != nullptr ? pclose(p) : -1;
    return status == 0 ? "" : "promtool failed (" + std::to_string(status) + "): " + out;
}

TEST_F(Http, APrometheusServerScrapesRatesAndSeesACardRestartAsAReset) {
    chassis.result("flow.add", flow(1, "vsan", 10));
    // Configured flows and no card: not ready, with the reason.
    auto ready = get("/readyz");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 503);
    EXPECT_NE(ready->body.find("slot 1 down"), std::string::npos) << ready->body;
    chassis.start_card({.slot = 1, .pps = kPps});
    ASSERT_TRUE(chassis.wait_card_state(1, "ready"));
    EXPECT_EQ(get("/readyz")->status, 200);

    // The JSON endpoints are the methods' results, filters from the query.
    const auto flows = get("/api/v1/flows?slot=1&type=vsan");
    ASSERT_TRUE(flows);
    EXPECT_EQ(flows->status, 200);
    EXPECT_EQ(json::parse(flows->body)["flows"].size(), 1u) << flows->body;
    EXPECT_EQ(get("/api/v1/flows?vsan=0")->status, 400);
    EXPECT_EQ(json::parse(get("/api/v1/cards")->body)["cards"][0]["state"], "ready");

    chassis.call("flow.add", flow(1, "vsan", 10)); // refused: configured already
    const auto scrape = get("/metrics");
    ASSERT_TRUE(scrape);
    EXPECT_EQ(scrape->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(promtool_check(chassis.scratch, scrape->body), "");
    for (const char *series :
         {"acl_tcam_supervisor_requests_total{method=\"flow.add\",result=\"ok\"} 1",
          "acl_tcam_supervisor_requests_total{method=\"flow.add\",result=\"FLOW_EXISTS\"} 1",
          "acl_tcam_supervisor_request_duration_seconds_count{method=\"flow.add\"} 2"}) {
        EXPECT_NE(scrape->body.find(series), std::string::npos) << series;
    }

    ASSERT_TRUE(std::filesystem::exists("/usr/bin/prometheus"))
        << "prometheus missing: run scripts/build-deps";
    const int prom_port = free_port();
    std::ofstream(chassis.scratch.file("prometheus.yml"))
        << "global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}\n"
        << "scrape_configs:\n  - job_name: supervisor\n    static_configs:\n"
        << "      - targets: ['127.0.0.1:" << port << "']\n";
    Process prometheus("/usr/bin/prometheus",
                       {"--config.file=" + chassis.scratch.file("prometheus.yml"),
                        "--storage.tsdb.path=" + chassis.scratch.file("tsdb"),
                        "--web.listen-address=127.0.0.1:" + std::to_string(prom_port),
                        "--log.level=warn"},
                       chassis.scratch.path(), chassis.scratch.file("prometheus.log"));
    httplib::Client prom("127.0.0.1", prom_port);
    // One number of an instant query; NaN when there is none.
    const auto query = [&prom](const std::string &expr) {
        const auto res = prom.Get("/api/v1/query", {{"query", expr}}, httplib::Headers{});
        if (!res || res->status != 200) {
            return std::nan("");
        }
        const json result = json::parse(res->body, nullptr, false)["data"]["result"];
        return result.empty() ? std::nan("") : std::stod(result[0]["value"][1].get<std::string>());
    };
    const std::string frames = "acl_tcam_flow_frames_total{slot=\"1\",type=\"vsan\"}";
    // A rate over a range its samples cover: rate() divides by the range.
    EXPECT_TRUE(wait_until([&] { return query("count_over_time(" + frames + "[1m])") >= 6; }, 20s))
        << prometheus.log();
    EXPECT_EQ(query("up"), 1.0);
    const double rate = query("rate(" + frames + "[4s])");
    EXPECT_NEAR(rate, kPps, kPps * 0.1) << prometheus.log();

    // A card killed and back: its counters start again from 0.
    chassis.card(1).signal(SIGKILL);
    chassis.card(1).wait(5s);
    chassis.start_card({.slot = 1, .pps = kPps, .seed = 2});
    ASSERT_TRUE(chassis.wait_card_state(1, "ready"));
    EXPECT_TRUE(wait_until([&] { return query("resets(" + frames + "[1m])") >= 1; }, 20s))
        << chassis.logs();
    EXPECT_GT(query("rate(" + frames + "[1m])"), 0);
    prometheus.signal(SIGTERM);
    EXPECT_EQ(prometheus.wait(10s), 0);
    chassis.stop_all();
}

TEST_F(Http, BadClientsDoNotKeepMetricsFromAGoodOne) {
    // A slow client: a byte now and then, never a whole request.
    const int slow = connect_raw();
    ASSERT_GE(slow, 0);
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        for (const char c : std::string("GET /metrics HTTP/1.1\r\nX: ")) {
            if (done || send(slow, &c, 1, MSG_NOSIGNAL) != 1) {
                return;
            }
            std::this_thread::sleep_for(200ms);
        }
    });
    // Garbage, and a 1 MB header: refused or cut off.
    for (const std::string &bytes :
         {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 garbage\r\n\r\n"),
          "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n"}) {
        const int fd = connect_raw();
        ASSERT_GE(fd, 0);
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char answer[64] = {};
        EXPECT_LE(recv(fd, answer, sizeof answer - 1, 0), 64);
        EXPECT_EQ(std::string(answer).find(" 200 "), std::string::npos) << answer;
        close(fd);
    }
    // 200 connections at once, silent and held open while a good client asks.
    std::vector<int> crowd;
    for (int i = 0; i < 200; ++i) {
        crowd.push_back(connect_raw());
    }
    const auto good = get("/metrics");
    ASSERT_TRUE(good) << httplib::to_string(good.error());
    EXPECT_EQ(good->status, 200);
    EXPECT_NE(good->body.find("acl_tcam_supervisor_http_requests_total"), std::string::npos);
    for (const int fd : crowd) {
        if (fd >= 0) {
            close(fd);
        }
    }
    // Read-only.
    httplib::Client client("127.0.0.1", port);
    EXPECT_EQ(client.Post("/api/v1/flows", "{}", "application/json")->status, 405);
    // The slow client still attached: SIGTERM ends the process cleanly.
    chassis.stop_all();
    done = true;
    trickle.join();
    close(slow);
}

} // namespace
