// Failures: JSON-RPC error codes mapped onto exit codes and stable names.

#include "errors.h"

#include "flow_key.h"
#include "status.h"

namespace flowctl {

namespace {

struct RpcErrorKind {
    int code;
    ExitCode exit;
    const char *status;
};
constexpr RpcErrorKind kRpcErrors[] = {
    {jsonrpc::kCardRefused, kExitRefused, nullptr}, // status: the card's code name
    {jsonrpc::kCardDown, kExitCardDown, "CARD_DOWN"},
    {jsonrpc::kNoReply, kExitNoReply, "NO_REPLY"},
    {jsonrpc::kBusy, kExitFailure, "BUSY"},
    {jsonrpc::kStoreFailed, kExitFailure, "STORE_FAILED"},
    {jsonrpc::kInvalidParams, kExitBadArguments, "BAD_ARGUMENTS"},
};

bool is_count(const json &v) {
    return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0);
}

Failure local(ExitCode exit, const char *status, std::string message) {
    Failure f;
    f.exit = exit;
    f.status = status;
    f.message = std::move(message);
    return f;
}

} // namespace

Failure from_rpc_error(const jsonrpc::Error &error) {
    Failure f;
    f.exit = kExitFailure;
    f.status = "FAILED";
    f.rpc_code = error.code;
    f.message = error.message;
    for (const RpcErrorKind &k : kRpcErrors) {
        if (k.code == error.code) {
            f.exit = k.exit;
            if (k.status != nullptr) {
                f.status = k.status;
            }
        }
    }
    const json &data = error.data;
    if (data.is_object()) {
        if (auto it = data.find("slot"); it != data.end() && is_count(*it)) {
            f.slot = *it;
        }
        if (error.code == jsonrpc::kCardRefused) {
            const auto code = data.find("code");
            if (code != data.end() && is_count(*code) && *code <= json(UINT32_MAX)) {
                f.card_code = *code;
                f.status = model::status_name(code->get<uint32_t>());
            }
            // The supervisor's name wins: it may know codes we do not.
            if (auto name = data.find("status"); name != data.end() && name->is_string()) {
                f.status = name->get<std::string>();
            }
        }
    }
    if (error.code == jsonrpc::kCardRefused && f.status == "FAILED") {
        f.status = "REFUSED";
    }
    return f;
}

Failure bad_arguments(std::string message) {
    return local(kExitBadArguments, "BAD_ARGUMENTS", std::move(message));
}

Failure unreachable(std::string message) {
    return local(kExitFailure, "UNREACHABLE", std::move(message));
}

Failure no_reply(std::string message) {
    return local(kExitNoReply, "NO_REPLY", std::move(message));
}

Failure protocol_failure(std::string message) {
    return local(kExitFailure, "PROTOCOL", std::move(message));
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
