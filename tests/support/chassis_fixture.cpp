#include "chassis_fixture.h"

#include <csignal>
#include <filesystem>

namespace harness {

void Chassis::start_supervisor(const std::vector<std::string> &extra, bool unix_control) {
    std::vector<std::string> args = {"--db", "flows.db"};
    args.insert(args.end(), extra.begin(), extra.end());
    supervisor_ = std::make_unique<Process>("flow-supervisor", args, scratch.path(),
                                            scratch.file("supervisor.log"));
    const bool up = wait_until(
        [&] {
            if (!unix_control) {
                return supervisor_->log().find("started:") != std::string::npos;
            }
            RpcClient c(control_socket());
            return c.connected();
        },
        10s);
    ASSERT_TRUE(up) << "supervisor did not come up:\n" << logs();
}

void Chassis::start_card(const CardConfig &card) {
    const std::string slot = std::to_string(card.slot);
    std::vector<std::string> args = {"serve",
                                     "--slot",
                                     slot,
                                     "--supervisor",
                                     card.supervisor.empty() ? "unix:" + cards_socket()
                                                             : card.supervisor,
                                     "--counters",
                                     card.counters,
                                     "--traffic",
                                     std::to_string(card.pps),
                                     "--seed",
                                     std::to_string(card.seed)};
    args.insert(args.end(), card.extra.begin(), card.extra.end());
    cards_[card.slot] = std::make_unique<Process>("linecard-sim", args, scratch.path(),
                                                  scratch.file("card" + slot + ".log"));
}

json Chassis::call(const std::string &method, const json &params,
                   std::chrono::milliseconds timeout) {
    RpcClient c(control_socket());
    return c.call(method, params, timeout).value_or(json());
}

json Chassis::result(const std::string &method, const json &params) {
    const json response = call(method, params);
    EXPECT_TRUE(response.contains("result"))
        << method << " " << params.dump() << " -> " << response.dump();
    return response.value("result", json());
}

json Chassis::card_entry(int slot) {
    const json response = call("cards.list");
    if (!response.contains("result")) {
        return json();
    }
    for (const json &c : response["result"]["cards"]) {
        if (c.value("slot", 0) == slot) {
            return c;
        }
    }
    return json();
}

bool Chassis::wait_card_state(int slot, const std::string &state,
                              std::chrono::milliseconds timeout) {
    return wait_until(
        [&] {
            const json c = card_entry(slot);
            return c.is_object() && c.value("state", "") == state;
        },
        timeout);
}

void Chassis::stop_all() {
    for (auto &[slot, card] : cards_) {
        card->signal(SIGTERM);
    }
    if (supervisor_) {
        supervisor_->signal(SIGTERM);
    }
    for (auto &[slot, card] : cards_) {
        EXPECT_EQ(card->wait(10s), 0) << "card " << slot << ":\n" << card->log();
    }
    if (supervisor_) {
        EXPECT_EQ(supervisor_->wait(10s), 0) << supervisor_->log();
    }
    EXPECT_FALSE(std::filesystem::exists(cards_socket()));
    EXPECT_FALSE(std::filesystem::exists(control_socket()));
}

std::string Chassis::logs() {
    std::string text;
    if (supervisor_) {
        text += "--- supervisor\n" + supervisor_->log();
    }
    for (auto &[slot, card] : cards_) {
        text += "--- card " + std::to_string(slot) + "\n" + card->log();
    }
    return text;
}

json flow(int slot, const std::string &type, int vsan, uint32_t sid, uint32_t did) {
    json f = {{"slot", slot}, {"type", type}, {"vsan", vsan}};
    if (type != "vsan") {
        f["sid"] = sid;
        f["did"] = did;
    }
    return f;
}

} // namespace harness
