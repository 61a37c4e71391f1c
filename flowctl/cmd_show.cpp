// flowctl show, list, watch and clear: the flows with their totals, as
// configured, refreshed with rates, and their totals cleared.

#include "commands.h"

#include <unistd.h>

#include "flow_key.h"
#include "show_stream.h"
#include "watch.h"

namespace flowctl {

namespace {

const std::vector<std::string> kTypeNames = {model::type_name(model::FlowType::Vsan),
                                             model::type_name(model::FlowType::Domain),
                                             model::type_name(model::FlowType::Exact)};

// SLOT... --type T --vsan V, as show and watch take them.
struct Filters {
    std::vector<std::string> slots;
    std::string type;
    std::string vsan;
    bool since_boot = false;

    void define(CLI::App &command, bool with_since_boot = true,
                const std::string &positionals = "slots (default: all)") {
        command.add_option("slots", slots, positionals);
        command.add_option("--type", type, "only flows of this type")
            ->check(CLI::IsMember(kTypeNames));
        command.add_option("--vsan", vsan, "only flows of this VSAN");
        if (with_since_boot) {
            command.add_flag("--since-boot", since_boot,
                             "totals since each card's boot, not since the flows' clear");
        }
    }

    // flow.show's params; slots go as given: the supervisor sorts them.
    bool params(api::ShowParams *params, Failure *failure) const {
        *params = api::ShowParams{};
        if (!parse_slots(slots, &params->slots, failure)) {
            return false;
        }
        if (!type.empty()) {
            params->type = model::parse_type(type); // the command line admits only types
        }
        if (!vsan.empty()) {
            const std::optional<uint64_t> v = model::parse_number(vsan);
            if (!v || *v < model::kMinVsan || *v > model::kMaxVsan) {
                *failure = bad_arguments("--vsan '" + vsan + "' is not " +
                                         std::to_string(model::kMinVsan) + ".." +
                                         std::to_string(model::kMaxVsan));
                return false;
            }
            params->vsan = static_cast<uint32_t>(*v);
        }
        params->since_boot = since_boot;
        return true;
    }
};

class ShowCommand : public Command {
public:
    std::vector<Format> formats() const override {
        return {Format::Table, Format::Json, Format::Prometheus};
    }

    void define(CLI::App &command) override {
        filters_.define(command);
        command.add_flag("--raw", raw_, "the library's own display text of each slot");
        command.footer("Example:\n  flowctl show 1 2 --type exact\n"
                       "  flowctl show --format prometheus\n");
    }

    bool check(const Output &out, Failure *failure) override {
        if (raw_ && out.format == Format::Prometheus) {
            *failure = bad_arguments("--raw prints the cards' display text: table or json");
            return false;
        }
        if (!filters_.params(&params_, failure)) {
            return false;
        }
        // Prometheus counters stay monotonic: a clear is no reset there, a
        // card's restart is.
        params_.since_boot = params_.since_boot || out.format == Format::Prometheus;
        return true;
    }

    int run(RpcClient &client, const Output &out) override {
        if (raw_) {
            return raw_displays(client, out);
        }
        // Each part is written and flushed as it comes: a snapshot prints
        // from its first rows on, in memory that does not grow with it.
        const auto print = [](std::string_view text) {
            std::fwrite(text.data(), 1, text.size(), stdout);
        };
        std::unique_ptr<ShowWriter> writer;
        JsonWriter *json_writer = nullptr;
        if (out.format == Format::Prometheus) {
            writer = std::make_unique<PrometheusWriter>(print);
        } else if (out.as_json()) {
            auto w = std::make_unique<JsonWriter>(print);
            json_writer = w.get();
            writer = std::move(w);
        } else {
            writer = std::make_unique<TableWriter>(print);
        }
        size_t received = 0;
        const auto failed = [&](const Failure &failure) -> int {
            if (json_writer != nullptr && json_writer->fail(failure_json(failure)["error"])) {
                return failure.exit;
            }
            if (out.format == Format::Table && received > 0) {
                (void)writer->finish({}); // the rows held for the layout are rows received
            }
            std::fflush(stdout);
            return out.fail(failure, "show");
        };
        const auto cards_shown =
            stream_show(client, api::to_json(params_), [&](std::span<const FlowRow> rows) {
                received += rows.size();
                writer->rows(rows);
                std::fflush(stdout);
            });
        if (!cards_shown) {
            return failed(from_error(cards_shown.error()));
        }
        if (const model::Status written = writer->finish(*cards_shown); !written) {
            return failed(from_error(written.error()));
        }
        if (out.format == Format::Prometheus) {
            // The card gauges too: cards.list has what a display does not.
            int exit = kExitOk;
            auto cards = fetch_cards(client, out, "show", &exit);
            if (!cards) {
                return exit;
            }
            if (params_.slots) {
                std::erase_if(*cards, [this](const Card &c) {
                    return std::find(params_.slots->begin(), params_.slots->end(), c.slot) ==
                           params_.slots->end();
                });
            }
            out.print(cards_prometheus(*cards));
        }
        return kExitOk;
    }

private:
    int raw_displays(RpcClient &client, const Output &out) {
        std::vector<uint32_t> slots;
        int exit = kExitOk;
        if (params_.slots) {
            slots = *params_.slots;
        } else {
            // Every card that can answer.
            const auto cards = fetch_cards(client, out, "show --raw", &exit);
            if (!cards) {
                return exit;
            }
            for (const Card &c : *cards) {
                if (c.state != model::CardState::Down) {
                    slots.push_back(c.slot);
                }
            }
        }
        json displays = json::array();
        for (const uint32_t slot : slots) {
            auto reply = client.call("card.display", api::to_json(api::SlotParams{slot}));
            if (!reply) {
                return out.fail(from_error(reply.error()),
                                "show --raw slot " + std::to_string(slot));
            }
            auto display = api::decode_display(*reply);
            if (!decoded(display, "card.display", out, &exit)) {
                return exit;
            }
            display->slot = slot;
            if (out.as_json()) {
                displays.push_back(api::to_json(*display));
            } else {
                if (slots.size() > 1) {
                    out.print("== slot " + std::to_string(slot) + " (" +
                              std::to_string(display->chunks) + " chunks) ==\n");
                }
                out.print(display->text);
            }
        }
        if (out.as_json()) {
            out.print_json(json{{"displays", displays}});
        }
        return kExitOk;
    }

    Filters filters_;
    bool raw_ = false;
    api::ShowParams params_;
};

class ListCommand : public Command {
public:
    void define(CLI::App &command) override {
        command.add_option("slots", slots_, "slots (default: all)");
        command.footer("Example:\n  flowctl list 1 2\n");
    }

    bool check(const Output &, Failure *failure) override {
        return parse_slots(slots_, &slots_parsed_, failure);
    }

    int run(RpcClient &client, const Output &out) override {
        // flow.list takes one slot or all: one call per slot asked for.
        std::vector<std::optional<uint32_t>> calls;
        if (slots_parsed_) {
            calls.assign(slots_parsed_->begin(), slots_parsed_->end());
        } else {
            calls.push_back(std::nullopt);
        }
        std::vector<ListRow> rows;
        for (const std::optional<uint32_t> slot : calls) {
            auto reply = client.call("flow.list", api::to_json(api::ListParams{slot}));
            if (!reply) {
                return out.fail(from_error(reply.error()),
                                slot ? "list slot " + std::to_string(*slot) : "list");
            }
            auto flows = api::decode_list(*reply);
            int exit = kExitOk;
            if (!decoded(flows, "flow.list", out, &exit)) {
                return exit;
            }
            rows.insert(rows.end(), flows->begin(), flows->end());
        }
        if (out.as_json()) {
            out.print_json(list_json(rows));
        } else {
            out.print(list_table(rows));
        }
        return kExitOk;
    }

private:
    std::vector<std::string> slots_;
    std::optional<std::vector<uint32_t>> slots_parsed_;
};

class WatchCommand : public Command {
public:
    void define(CLI::App &command) override {
        filters_.define(command);
        command.add_option("--interval", interval_s_, "seconds between refreshes")
            ->capture_default_str()
            ->check(CLI::Range(0.1, 86400.0));
        count_ = command.add_option("--count", count_value_, "stop after N refreshes")
                     ->check(CLI::Range(1L, 1000000000L));
        command.footer("Example:\n  flowctl watch 1 --interval 5\n");
    }

    bool check(const Output &, Failure *failure) override {
        return filters_.params(&params_, failure);
    }

    int run(RpcClient &client, const Output &out) override {
        WatchOptions options;
        options.show_params = api::to_json(params_);
        options.interval_s = interval_s_;
        if (count_->count() > 0) {
            options.count = count_value_;
        }
        options.json_lines = out.as_json();
        options.terminal = !out.as_json() && ::isatty(STDOUT_FILENO) != 0;
        if (const model::Status watched = run_watch(client, options); !watched) {
            return out.fail(from_error(watched.error()), "watch");
        }
        return kExitOk;
    }

private:
    Filters filters_;
    double interval_s_ = 2.0;
    long count_value_ = 0;
    CLI::Option *count_ = nullptr;
    api::ShowParams params_;
};

} // namespace

// flowctl clear [SLOT...] [--type T] [--vsan V], or clear SLOT FLOW: one
// flow when the second word is a flow type.
class ClearCommand : public Command {
public:
    void define(CLI::App &command) override {
        filters_.define(command, false, "SLOT... (default: all), or SLOT FLOW");
        command.footer("SLOT... clears every configured flow of those slots (default: all);\n"
                       "SLOT FLOW clears one flow (FLOW: vsan V | domain V SID DID | exact V SID "
                       "DID).\n"
                       "Example:\n  flowctl clear 1 2 --type exact\n"
                       "  flowctl clear 1 exact 10 0x010101 0x020202\n");
    }

    bool check(const Output &, Failure *failure) override {
        const std::vector<std::string> &words = filters_.slots;
        if (words.size() < 2 || !model::parse_type(words[1])) {
            params_ = api::ClearParams{};
            return filters_.params(&params_.selection, failure);
        }
        if (!filters_.type.empty() || !filters_.vsan.empty()) {
            *failure = bad_arguments("--type and --vsan select flows: not with one flow");
            return false;
        }
        const std::optional<uint32_t> slot = parse_slot(words[0], failure);
        if (!slot) {
            return false;
        }
        std::string error;
        const std::optional<model::FlowKey> key =
            model::parse_flow_words(std::span<const std::string>(words).subspan(1), &error);
        if (!key) {
            *failure = bad_arguments(error);
            return false;
        }
        params_ = api::ClearParams{api::FlowParams{*slot, *key, {}}, {}};
        return true;
    }

    int run(RpcClient &client, const Output &out) override {
        auto reply = client.call("flow.clear", api::to_json(params_));
        if (!reply) {
            return out.fail(from_error(reply.error()), "clear");
        }
        const auto result = api::decode_clear(*reply);
        int exit = kExitOk;
        if (!decoded(result, "flow.clear", out, &exit)) {
            return exit;
        }
        if (out.as_json()) {
            out.print_json(api::to_json(*result));
        } else {
            std::string text = "cleared " + std::to_string(result->cleared) + " flow" +
                               (result->cleared == 1 ? "" : "s");
            text += result->not_cleared.empty()
                        ? "\n"
                        : "; not cleared " + std::to_string(result->not_cleared.size()) + ":\n";
            for (const api::NotCleared &n : result->not_cleared) {
                text += "  slot " + std::to_string(n.slot) + " " + model::to_string(n.key) + ": " +
                        n.reason + "\n";
            }
            out.print(text);
        }
        // Some selected flows keep their totals: the clear did not do all asked.
        return result->not_cleared.empty() ? kExitOk : kExitRefused;
    }

private:
    Filters filters_;
    api::ClearParams params_;
};

void add_show_commands(Commands &commands) {
    commands.push_back({"show", "every flow with its total, from the cards' displays",
                        std::make_unique<ShowCommand>()});
    commands.push_back({"list", "the configured flows with their statuses (no totals)",
                        std::make_unique<ListCommand>()});
    commands.push_back(
        {"watch", "show, refreshed, with frames/s and bytes/s", std::make_unique<WatchCommand>()});
    commands.push_back({"clear", "clear flows' totals: show, get and watch count from now",
                        std::make_unique<ClearCommand>()});
}

} // namespace flowctl
