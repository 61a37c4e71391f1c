// A chassis in a scratch directory for end-to-end tests: one supervisor and
// line cards on Unix sockets, started and stopped as processes, and the
// JSON-RPC calls the tests make through the control socket.
#ifndef TESTS_CHASSIS_CHASSIS_FIXTURE_H
#define TESTS_CHASSIS_CHASSIS_FIXTURE_H

#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace harness {

struct CardConfig {
    int slot = 1;
    std::string counters = "1:999"; // FIRST:LAST
    uint64_t pps = 2000;
    uint64_t seed = 1;
    std::string supervisor{};         // default: unix: the cards socket
    std::vector<std::string> extra{}; // more arguments (--tls-cert ...)
};

class Chassis {
public:
    Chassis() = default;

    std::string cards_socket() const { return scratch.file("flow-supervisor.cards"); }
    std::string control_socket() const { return scratch.file("flow-supervisor.ctl"); }

    // Starts the supervisor and waits until its control socket answers (or,
    // with its control off the Unix socket, until it logs its start).
    void start_supervisor(const std::vector<std::string> &extra = {}, bool unix_control = true);
    void start_card(const CardConfig &card);
    Process &supervisor() { return *supervisor_; }
    Process &card(int slot) { return *cards_.at(slot); }
    void forget_supervisor() { supervisor_.reset(); }
    void forget_card(int slot) { cards_.erase(slot); }

    // One call on a fresh connection; the whole response, or a null json
    // when the supervisor did not answer.
    json call(const std::string &method, const json &params = json::object(),
              std::chrono::milliseconds timeout = 20s);
    // The result of a call that must succeed (a test failure otherwise).
    json result(const std::string &method, const json &params = json::object());
    // The card entry of cards.list, or null.
    json card_entry(int slot);
    bool wait_card_state(int slot, const std::string &state,
                         std::chrono::milliseconds timeout = 20s);

    // SIGTERM to everything still running; every process must exit 0.
    void stop_all();
    std::string logs();

    Scratch scratch;

private:
    std::unique_ptr<Process> supervisor_;
    std::map<int, std::unique_ptr<Process>> cards_;
};

// A flow's JSON-RPC parameters.
json flow(int slot, const std::string &type, int vsan, uint32_t sid = 0, uint32_t did = 0);

} // namespace harness

#endif // TESTS_CHASSIS_CHASSIS_FIXTURE_H
