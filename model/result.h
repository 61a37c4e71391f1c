// The one error type of the C++ side, and Result<T>: a value or an Error.
// Cores, the supervisor's card sessions and flowctl's client all fail with an
// Error; only the programs' edges turn one into something else (a JSON-RPC
// error object on the control socket, an exit code in flowctl).
//
// Invariant: an Error's code says what kind of failure it is, its message is
// what an operator reads, and the optional details are the machine-readable
// facts the edges pass on (the slot, a card's refusal code, a timeout).
#ifndef MODEL_RESULT_H
#define MODEL_RESULT_H

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace model {

enum class Errc {
    InvalidParams,     // a request's parameters are wrong
    UnknownMethod,     // no such request
    CardRefused,       // the card answered with a refusal (card_status)
    CardDown,          // the slot has no card connected
    NoReply,           // the card, or the supervisor, did not answer in time
    Busy,              // too many requests in flight
    StoreFailed,       // the database refused the change
    Protocol,          // a peer sent something the protocol does not allow
    Unreachable,       // the supervisor could not be reached
    Denied,            // the peer's credentials are not allowed
    TooManyClients,    // the supervisor serves its limit of clients already
    NotConfigured,     // a change names a flow that is not configured
    AlreadyConfigured, // an add names a flow that is configured (card_status FLOW_EXISTS)
    Forbidden,         // a reader asked for a change
    Internal,          // anything else
};

struct Error {
    Errc code = Errc::Internal;
    std::string message;
    std::optional<uint32_t> slot;        // the slot concerned, when known
    std::optional<uint32_t> card_status; // CardRefused: the card's status code
    std::optional<uint64_t> timeout_ms;  // NoReply: how long was waited
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T &value() { return std::get<0>(v_); }
    const T &value() const { return std::get<0>(v_); }
    T &operator*() { return value(); }
    const T &operator*() const { return value(); }
    T *operator->() { return &value(); }
    const T *operator->() const { return &value(); }
    const Error &error() const { return std::get<1>(v_); }
    Error &error() { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

// A Result without a value: success, or an Error.
struct Ok {};
using Status = Result<Ok>;

// The error of a failed result, or nullptr: `if (const Error *e = failed(r))`.
template <class T>
const Error *failed(const Result<T> &result) {
    return result.ok() ? nullptr : &result.error();
}

// Each kind's stable name, as flowctl's JSON and the supervisor's metrics say
// it: one table, so that the two never disagree.
constexpr const char *errc_name(Errc code) {
    switch (code) {
    case Errc::InvalidParams:
        return "BAD_ARGUMENTS";
    case Errc::UnknownMethod:
        return "UNKNOWN_METHOD";
    case Errc::CardRefused:
        return "REFUSED";
    case Errc::CardDown:
        return "CARD_DOWN";
    case Errc::NoReply:
        return "NO_REPLY";
    case Errc::Busy:
        return "BUSY";
    case Errc::StoreFailed:
        return "STORE_FAILED";
    case Errc::Protocol:
        return "PROTOCOL";
    case Errc::Unreachable:
        return "UNREACHABLE";
    case Errc::Denied:
        return "PERMISSION_DENIED";
    case Errc::TooManyClients:
        return "TOO_MANY_CLIENTS";
    case Errc::NotConfigured:
        return "NOT_CONFIGURED";
    case Errc::AlreadyConfigured:
        return "FLOW_EXISTS";
    case Errc::Forbidden:
        return "FORBIDDEN";
    case Errc::Internal:
        return "FAILED";
    }
    return "FAILED";
}

inline Error error(Errc code, std::string message) {
    return Error{code, std::move(message), std::nullopt, std::nullopt, std::nullopt};
}

} // namespace model

#endif // MODEL_RESULT_H
