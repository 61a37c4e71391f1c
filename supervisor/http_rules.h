// The rules of the HTTP endpoint that need no socket: query parameters as a
// method's params, the readiness rule, and scrapes sharing one snapshot.
//
// Invariants:
//  - a query parameter becomes a JSON member of the same name, decoded
//    afterwards by the method's schema decoder (the one rule for its values);
//    unknown names and repeats of a single-valued name are refused;
//  - ready means: the database is open and every slot with configured flows
//    has its card ready;
//  - a snapshot in flight is shared: joiners while it runs get its result,
//    the first joiner after it ended starts a new one.
#ifndef SUPERVISOR_HTTP_RULES_H
#define SUPERVISOR_HTTP_RULES_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "result.h"
#include "states.h"

namespace supervisor {

// A query parameter a route takes. list: comma-separated values and repeats
// make an array; alias: another name for it.
struct QueryParam {
    const char *name;
    bool list = false;
    const char *alias = nullptr;
};
// The parameters of GET /api/v1/flows: flow.show's.
inline constexpr QueryParam kShowQuery[] = {
    {"slots", true, "slot"}, {"type"}, {"vsan"}, {"since_boot"}};

// Values: digits are numbers, true and false booleans, anything else a
// string. Errc::InvalidParams with the operator's message on a fault.
model::Result<nlohmann::json> query_params(const std::multimap<std::string, std::string> &query,
                                           std::span<const QueryParam> accepted);

// Where --http listens: "tcp:HOST:PORT", or "tcp:PORT" for loopback; "tls:"
// the same, with mutual TLS. Port 0: the kernel chooses.
struct HttpAddress {
    std::string host;
    uint16_t port = 0;
    bool tls = false;
    bool operator==(const HttpAddress &) const = default;
};
model::Result<HttpAddress> parse_http_address(std::string_view text);

struct SlotReadiness {
    uint32_t slot = 0;
    size_t configured = 0;
    model::CardState state = model::CardState::Down;
};
// nullopt when ready, else why not, one line.
std::optional<std::string> not_ready(bool database_open, const std::vector<SlotReadiness> &slots);

// Callers that want the same result share one computation of it. Used from
// one thread (the event loop).
template <class T>
class Coalescer {
public:
    using Waiter = std::function<void(const T &)>;
    // True when this caller must start the computation and call finish().
    bool join(Waiter waiter) {
        waiters_.push_back(std::move(waiter));
        return waiters_.size() == 1;
    }
    // Every joiner so far gets value; one joining from inside starts anew.
    void finish(const T &value) {
        std::vector<Waiter> waiters = std::move(waiters_);
        waiters_.clear();
        for (Waiter &w : waiters) {
            w(value);
        }
    }
    bool running() const { return !waiters_.empty(); }

private:
    std::vector<Waiter> waiters_;
};

} // namespace supervisor

#endif // SUPERVISOR_HTTP_RULES_H
