// flowctl's commands. main.cpp owns the global options and the dispatch;
// each command declares its own arguments on its CLI11 subcommand, checks
// them before flowctl connects (so that a usage error never depends on the
// supervisor), then runs against the supervisor. A new command is a class
// here and a line in its file's add_*_commands.
#ifndef FLOWCTL_COMMANDS_H
#define FLOWCTL_COMMANDS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "errors.h"
#include "format.h"
#include "rpc_client.h"
#include "usage.h"

namespace flowctl {

// Where a command's result and failures go, in the format asked for.
struct Output {
    Format format = Format::Table;
    bool json_failures = false; // --json, or --format json

    bool as_json() const { return format == Format::Json; }
    void print(const std::string &text) const;
    void print_json(const json &value) const;
    // The failure as text on standard error, or as JSON (with extra members
    // before "error") on standard output; returns its exit code.
    int fail(const Failure &failure, const std::string &context = "",
             const json &extra = json::object()) const;
};

class Command {
public:
    virtual ~Command() = default;
    // The formats the command prints; --format outside them is a usage error.
    virtual std::vector<Format> formats() const { return {Format::Table, Format::Json}; }
    // Declares the command's arguments and options.
    virtual void define(CLI::App &command) = 0;
    // Checks the arguments as parsed; false with *failure for a bad one.
    virtual bool check(const Output &, Failure *) { return true; }
    virtual int run(RpcClient &client, const Output &out) = 0;
};

struct CommandEntry {
    std::string name;
    std::string help;
    std::unique_ptr<Command> command;
};
using Commands = std::vector<CommandEntry>;

void add_flow_commands(Commands &commands);  // add, del, get
void add_show_commands(Commands &commands);  // show, list, watch
void add_card_commands(Commands &commands);  // cards, traffic
void add_apply_commands(Commands &commands); // apply, export
void add_audit_commands(Commands &commands); // audit

// ---- what commands share ------------------------------------------------------

// A slot number, 1..64.
std::optional<uint32_t> parse_slot(const std::string &text, Failure *failure);
// SLOT... arguments; nullopt (every slot) when there are none.
bool parse_slots(const std::vector<std::string> &texts, std::optional<std::vector<uint32_t>> *slots,
                 Failure *failure);
// A result decoded, or a protocol failure naming the method.
template <class T>
bool decoded(const model::Result<T> &result, const char *method, const Output &out, int *exit) {
    if (!result) {
        *exit = out.fail(protocol_failure(std::string(method) + ": " + result.error().message));
        return false;
    }
    return true;
}
// cards.list's answer, or a failure already reported (*exit set).
std::optional<std::vector<Card>> fetch_cards(RpcClient &client, const Output &out,
                                             const std::string &context, int *exit);

} // namespace flowctl

#endif // FLOWCTL_COMMANDS_H
