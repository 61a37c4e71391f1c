// The HTTP endpoint's rules (http_rules.h).

#include "http_rules.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "vexa_socket.h"

namespace supervisor {

namespace {

using nlohmann::json;

json value_of(std::string_view text) {
    if (text == "true" || text == "false") {
        return text == "true";
    }
    uint64_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (!text.empty() && ec == std::errc() && end == text.data() + text.size()) {
        return number;
    }
    return std::string(text);
}

model::Error invalid(std::string message) {
    return model::error(model::Errc::InvalidParams, std::move(message));
}

} // namespace

model::Result<json> query_params(const std::multimap<std::string, std::string> &query,
                                 std::span<const QueryParam> accepted) {
    json params = json::object();
    for (const auto &entry : query) {
        // Named copies: a lambda may not capture a structured binding (C++20
        // allows it, clang 14 does not yet).
        const std::string &name = entry.first;
        const std::string &value = entry.second;
        const auto param = std::find_if(accepted.begin(), accepted.end(), [&](const QueryParam &p) {
            return name == p.name || (p.alias != nullptr && name == p.alias);
        });
        if (param == accepted.end()) {
            std::string names;
            for (const QueryParam &p : accepted) {
                names += (names.empty() ? "" : ", ") + std::string(p.name);
            }
            return invalid("unknown query parameter \"" + name + "\" (known: " + names + ")");
        }
        if (!param->list) {
            if (params.contains(param->name)) {
                return invalid("query parameter \"" + name + "\" given twice");
            }
            params[param->name] = value_of(value);
            continue;
        }
        json &list = params[param->name];
        if (list.is_null()) {
            list = json::array();
        }
        std::string_view rest = value;
        for (size_t comma; (comma = rest.find(',')) != std::string_view::npos;
             rest.remove_prefix(comma + 1)) {
            list.push_back(value_of(rest.substr(0, comma)));
        }
        list.push_back(value_of(rest));
    }
    return params;
}

model::Result<HttpAddress> parse_http_address(std::string_view text) {
    const bool scheme = text.starts_with("tcp:") || text.starts_with("tls:");
    std::string_view port_only = scheme ? text.substr(4) : std::string_view();
    if (port_only.starts_with(':')) {
        port_only.remove_prefix(1);
    }
    if (!port_only.empty() && port_only.find_first_not_of("0123456789") == std::string_view::npos) {
        // Loopback unless a host is named: metrics are not for every network.
        return parse_http_address(std::string(text.substr(0, 4)) +
                                  "127.0.0.1:" + std::string(port_only));
    }
    std::string error;
    const auto address = vexa_socket::parse_address(text, &error);
    if (!address) {
        return invalid(error);
    }
    if (address->kind == vexa_socket::Address::Kind::Unix) {
        return invalid(
            "the HTTP endpoint listens on TCP: tcp:HOST:PORT or tcp:PORT (tls: with TLS)");
    }
    return HttpAddress{address->host, address->port,
                       address->kind == vexa_socket::Address::Kind::Tls};
}

std::optional<std::string> not_ready(bool database_open, const std::vector<SlotReadiness> &slots) {
    if (!database_open) {
        return "the database is not open";
    }
    std::string waiting;
    for (const SlotReadiness &s : slots) {
        if (s.configured != 0 && s.state != model::CardState::Ready) {
            waiting += (waiting.empty() ? "" : ", ") + std::string("slot ") +
                       std::to_string(s.slot) + " " + model::state_name(s.state);
        }
    }
    if (waiting.empty()) {
        return std::nullopt;
    }
    return "cards with configured flows not ready: " + waiting;
}

} // namespace supervisor
