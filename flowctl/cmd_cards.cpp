// flowctl cards, flowctl traffic SLOT pause|resume|PPS.

#include "commands.h"

namespace flowctl {

namespace {

class CardsCommand : public Command {
public:
    std::vector<Format> formats() const override {
        return {Format::Table, Format::Json, Format::Prometheus};
    }
    void define(CLI::App &) override {}
    int run(RpcClient &client, const Output &out) override {
        int exit = kExitOk;
        const auto cards = fetch_cards(client, out, "cards", &exit);
        if (!cards) {
            return exit;
        }
        if (out.format == Format::Prometheus) {
            out.print(cards_prometheus(*cards));
        } else if (out.as_json()) {
            out.print_json(cards_json(*cards));
        } else {
            out.print(cards_table(*cards));
        }
        return kExitOk;
    }
};

class TrafficCommand : public Command {
public:
    void define(CLI::App &command) override {
        command.add_option("slot", slot_text_, "the line card's slot")->required();
        command.add_option("action", action_, "pause, resume, or frames per second")->required();
        command.footer("Example:\n  flowctl traffic 1 pause\n  flowctl traffic 1 5000\n");
    }

    bool check(const Output &, Failure *failure) override {
        using card_protocol::TrafficAction;
        const std::optional<uint32_t> slot = parse_slot(slot_text_, failure);
        if (!slot) {
            return false;
        }
        params_ = api::TrafficParams{*slot, TrafficAction::Pause, 0};
        if (action_ == "pause") {
            params_.action = TrafficAction::Pause;
        } else if (action_ == "resume") {
            params_.action = TrafficAction::Resume;
        } else if (const auto pps = model::parse_number(action_); pps && *pps <= UINT32_MAX) {
            params_.action = TrafficAction::Rate;
            params_.pps = *pps;
        } else {
            *failure = bad_arguments(
                "traffic: expected pause, resume or a rate in frames per second, not '" + action_ +
                "'");
            return false;
        }
        return true;
    }

    int run(RpcClient &client, const Output &out) override {
        auto reply = client.call("card.traffic", api::to_json(params_));
        if (!reply) {
            return out.fail(from_error(reply.error()),
                            "traffic slot " + std::to_string(params_.slot));
        }
        const auto card = api::decode_card(*reply);
        int exit = kExitOk;
        if (!decoded(card, "card.traffic", out, &exit)) {
            return exit;
        }
        if (out.as_json()) {
            out.print_json({{"card", card_json(*card)}});
        } else {
            out.print(card_line(*card));
        }
        return kExitOk;
    }

private:
    std::string slot_text_;
    std::string action_;
    api::TrafficParams params_;
};

} // namespace

std::optional<std::vector<Card>> fetch_cards(RpcClient &client, const Output &out,
                                             const std::string &context, int *exit) {
    auto reply = client.call("cards.list", json::object());
    if (!reply) {
        *exit = out.fail(from_error(reply.error()), context);
        return std::nullopt;
    }
    auto cards = api::decode_cards(*reply);
    if (!decoded(cards, "cards.list", out, exit)) {
        return std::nullopt;
    }
    return std::move(*cards);
}

void add_card_commands(Commands &commands) {
    commands.push_back({"cards", "the line cards: state, flows, counters, traffic, uptime",
                        std::make_unique<CardsCommand>()});
    commands.push_back({"traffic", "simulation control: the simulated card's traffic generator",
                        std::make_unique<TrafficCommand>()});
}

} // namespace flowctl
