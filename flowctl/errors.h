// How flowctl fails: the exit codes, and each failure's one-line text and
// JSON object. Inside, flowctl fails with a model::Error like the rest of the
// chassis; at the program's edge every way a command can end other than
// success becomes a Failure, so that the exit code, the text and the JSON
// always agree.
#ifndef FLOWCTL_ERRORS_H
#define FLOWCTL_ERRORS_H

#include <string>

#include <nlohmann/json.hpp>

#include "jsonrpc.h"

namespace flowctl {

using json = nlohmann::json;

enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,      // the card answered with a refusal
    kExitBadArguments = 2, // usage errors too
    kExitCardDown = 3,
    kExitNoReply = 4, // the card, or the supervisor, did not answer in time
    kExitFailure = 5, // supervisor unreachable, or anything else
    kExitUnknown = 6, // stored, but the card did not answer in time: its outcome is not known
    kExitDenied = 7,  // the supervisor refused our credentials
    kExitTooManyClients = 8,
    kExitForbidden = 9, // a change refused: our role is reader
};

struct Failure {
    ExitCode exit = kExitFailure;
    // A stable upper-case name: the card's status name for a refusal
    // ("COUNTERS_EXHAUSTED"), else one of BAD_ARGUMENTS, CARD_DOWN, NO_REPLY,
    // BUSY, STORE_FAILED, PERMISSION_DENIED, FORBIDDEN, TOO_MANY_CLIENTS, UNREACHABLE,
    // PROTOCOL, FAILED.
    std::string status;
    json rpc_code;       // the supervisor's JSON-RPC error code; null for our own
    std::string message; // what an operator reads
    json card_code;      // a refusal's status code; null otherwise
    json slot;           // the slot concerned, when known
};

// An error of the inside: the supervisor's answer (read by
// jsonrpc::from_jsonrpc) or the client's own. The client's own are the kinds
// the supervisor never answers with (Unreachable, Protocol) and a NoReply
// without a slot (flowctl's own wait): those have no JSON-RPC code.
Failure from_error(const model::Error &error);
Failure bad_arguments(std::string message);
Failure unreachable(std::string message);
Failure protocol_failure(std::string message);

// {"error": {"code", "message", "status", "exit", "card_code"?, "slot"?}}
json failure_json(const Failure &failure);

} // namespace flowctl

#endif // FLOWCTL_ERRORS_H
