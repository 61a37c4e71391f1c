// Failures: the inside's errors mapped onto exit codes and stable names.

#include "errors.h"

#include "flow_key.h"
#include "status.h"

namespace flowctl {

namespace {

struct ErrorKind {
    model::Errc code;
    ExitCode exit;
};
constexpr ErrorKind kErrorKinds[] = {
    {model::Errc::CardRefused, kExitRefused}, // unless the card's code is known
    {model::Errc::CardDown, kExitCardDown},
    {model::Errc::NoReply, kExitNoReply},
    {model::Errc::Busy, kExitFailure},
    {model::Errc::StoreFailed, kExitFailure},
    {model::Errc::Denied, kExitDenied},
    {model::Errc::TooManyClients, kExitTooManyClients},
    {model::Errc::Forbidden, kExitForbidden},
    {model::Errc::NotConfigured, kExitRefused},
    {model::Errc::AlreadyConfigured, kExitRefused},
    {model::Errc::InvalidParams, kExitBadArguments},
    {model::Errc::Unreachable, kExitFailure},
    {model::Errc::Protocol, kExitFailure},
};

bool own_error(const model::Error &error) {
    return error.code == model::Errc::Unreachable || error.code == model::Errc::Protocol ||
           (error.code == model::Errc::NoReply && !error.slot);
}

Failure local(ExitCode exit, const char *status, std::string message) {
    Failure f;
    f.exit = exit;
    f.status = status;
    f.message = std::move(message);
    return f;
}

} // namespace

Failure from_error(const model::Error &error) {
    Failure f = local(kExitFailure, "FAILED", error.message);
    for (const ErrorKind &k : kErrorKinds) {
        if (k.code == error.code) {
            f.exit = k.exit;
            f.status = model::errc_name(k.code);
        }
    }
    if (!own_error(error)) {
        f.rpc_code = jsonrpc::to_jsonrpc(error).code;
    }
    if (error.slot) {
        f.slot = *error.slot;
    }
    if (error.card_status) {
        f.card_code = *error.card_status;
        f.status = model::status_name(*error.card_status);
    }
    return f;
}

Failure bad_arguments(std::string message) {
    return local(kExitBadArguments, "BAD_ARGUMENTS", std::move(message));
}

Failure unreachable(std::string message) {
    return from_error(model::error(model::Errc::Unreachable, std::move(message)));
}

Failure protocol_failure(std::string message) {
    return from_error(model::error(model::Errc::Protocol, std::move(message)));
}

json failure_json(const Failure &failure) {
    json e = {{"code", failure.rpc_code},
              {"message", failure.message},
              {"status", failure.status},
              {"exit", static_cast<int>(failure.exit)}};
    if (!failure.card_code.is_null()) {
        e["card_code"] = failure.card_code;
    }
    if (!failure.slot.is_null()) {
        e["slot"] = failure.slot;
    }
    return {{"error", e}};
}

} // namespace flowctl
