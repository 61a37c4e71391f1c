// Flow keys as the chassis names them: ranges, parsing, text forms and
// coverage (see flow_key.h).

#include "flow_key.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace model {

namespace {

struct TypeName {
    FlowType type;
    const char *name;
};
constexpr TypeName kTypeNames[] = {
    {FlowType::Vsan, "vsan"},
    {FlowType::Domain, "domain"},
    {FlowType::Exact, "exact"},
};

bool fcid_ok(uint32_t fcid) {
    return fcid >= kMinFcid && fcid <= kMaxFcid;
}

} // namespace

bool is_stored_form(const FlowKey &key) {
    if (key.vsan < kMinVsan || key.vsan > kMaxVsan) {
        return false;
    }
    switch (key.type) {
    case FlowType::Vsan:
        return key.sid == 0 && key.did == 0;
    case FlowType::Domain:
        return fcid_ok(key.sid) && fcid_ok(key.did) && (key.sid & ~kDomainMask) == 0 &&
               (key.did & ~kDomainMask) == 0;
    case FlowType::Exact:
        return fcid_ok(key.sid) && fcid_ok(key.did);
    }
    return false;
}

const char *type_name(FlowType type) {
    for (const TypeName &t : kTypeNames) {
        if (t.type == type) {
            return t.name;
        }
    }
    return "?";
}

std::optional<FlowType> parse_type(std::string_view name) {
    for (const TypeName &t : kTypeNames) {
        if (name == t.name) {
            return t.type;
        }
    }
    return std::nullopt;
}

std::optional<FlowKey> make_key(FlowType type, uint32_t vsan, uint32_t sid, uint32_t did,
                                std::string *error) {
    auto fail = [&](const std::string &why) -> std::optional<FlowKey> {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    if (vsan < kMinVsan || vsan > kMaxVsan) {
        return fail("VSAN " + std::to_string(vsan) + " outside " + std::to_string(kMinVsan) + ".." +
                    std::to_string(kMaxVsan));
    }
    switch (type) {
    case FlowType::Vsan:
        return FlowKey{type, vsan, 0, 0};
    case FlowType::Domain:
    case FlowType::Exact:
        break;
    default:
        return fail("unknown flow type");
    }
    const std::string fcid_range = " outside " + fcid_hex(kMinFcid) + ".." + fcid_hex(kMaxFcid);
    if (!fcid_ok(sid)) {
        return fail("SID " + fcid_hex(sid) + fcid_range);
    }
    if (!fcid_ok(did)) {
        return fail("DID " + fcid_hex(did) + fcid_range);
    }
    if (type == FlowType::Domain) {
        return FlowKey{type, vsan, sid & kDomainMask, did & kDomainMask};
    }
    return FlowKey{type, vsan, sid, did};
}

std::optional<uint64_t> parse_number(std::string_view text) {
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<FlowKey> parse_flow_words(std::span<const std::string> words, std::string *error) {
    auto fail = [&](const std::string &why) -> std::optional<FlowKey> {
        if (error != nullptr) {
            *error = why;
        }
        return std::nullopt;
    };
    constexpr const char *kUsage = "expected: vsan V | domain V SID DID | exact V SID DID";
    if (words.empty()) {
        return fail(kUsage);
    }
    const std::optional<FlowType> type = parse_type(words[0]);
    if (!type) {
        return fail("unknown flow type '" + words[0] + "'; " + kUsage);
    }
    const size_t want = *type == FlowType::Vsan ? 2 : 4;
    if (words.size() != want) {
        return fail(std::string(kUsage));
    }
    uint32_t values[3] = {0, 0, 0};
    for (size_t i = 1; i < want; ++i) {
        const std::optional<uint64_t> n = parse_number(words[i]);
        if (!n || *n > UINT32_MAX) {
            return fail("not a number: '" + words[i] + "'");
        }
        values[i - 1] = static_cast<uint32_t>(*n);
    }
    return make_key(*type, values[0], values[1], values[2], error);
}

bool is_flow_name(std::string_view name) {
    const auto allowed = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == ':' || c == '/' || c == '-';
    };
    return !name.empty() && name.size() <= kMaxFlowName &&
           std::all_of(name.begin(), name.end(), allowed);
}

std::string fcid_hex(uint32_t fcid) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06x", fcid);
    return text;
}

std::string fcid_text(FlowType type, uint32_t fcid) {
    if (type != FlowType::Domain) {
        return fcid_hex(fcid);
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%02xxxxx", (fcid & kDomainMask) >> 16);
    return text;
}

std::string to_string(const FlowKey &key) {
    std::string text = std::string(type_name(key.type)) + " " + std::to_string(key.vsan);
    if (key.type != FlowType::Vsan) {
        text += " " + fcid_hex(key.sid) + " " + fcid_hex(key.did);
    }
    return text;
}

bool covers(const FlowKey &coarse, const FlowKey &fine) {
    if (coarse.vsan != fine.vsan || coarse.type >= fine.type) {
        return false;
    }
    return coarse.type == FlowType::Vsan ||
           ((fine.sid & kDomainMask) == coarse.sid && (fine.did & kDomainMask) == coarse.did);
}

} // namespace model
