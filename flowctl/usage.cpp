#include "usage.h"

#include <algorithm>

namespace flowctl {

size_t edit_distance(std::string_view a, std::string_view b) {
    // d[i][j]: the distance between a's first i and b's first j characters.
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::optional<std::string> closest_command(std::string_view word,
                                           const std::vector<std::string> &names) {
    std::optional<std::string> best;
    size_t best_distance = 0;
    for (const std::string &name : names) {
        const size_t allowed = name.size() <= 4 ? 1 : 2;
        const size_t d = edit_distance(word, name);
        if (d <= allowed && (!best || d < best_distance)) {
            best = name;
            best_distance = d;
        }
    }
    return best;
}

std::string unknown_command_message(std::string_view word, const std::vector<std::string> &names) {
    std::string message = "unknown command '" + std::string(word) + "'";
    if (const auto close = closest_command(word, names)) {
        message += "; did you mean '" + *close + "'?";
    }
    return message;
}

std::string flow_forms_help(std::string_view command) {
    return "FLOW is one of:\n"
           "  vsan V                every frame of VSAN V (1..4095)\n"
           "  domain V SID DID      frames from SID's domain to DID's (only the top byte counts)\n"
           "  exact V SID DID       frames from SID to DID\n"
           "SID and DID are 24-bit FC IDs, 0x010000..0xffffff.\n"
           "Example:\n"
           "  flowctl " +
           std::string(command) + " 1 exact 10 0x010101 0x020202\n";
}

std::optional<Format> parse_format(std::string_view name) {
    for (const Format f : {Format::Table, Format::Json, Format::Prometheus}) {
        if (format_name(f) == name) {
            return f;
        }
    }
    return std::nullopt;
}

std::string_view format_name(Format format) {
    switch (format) {
    case Format::Table:
        return "table";
    case Format::Json:
        return "json";
    case Format::Prometheus:
        return "prometheus";
    }
    return "table";
}

} // namespace flowctl
