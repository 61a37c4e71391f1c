// HTTP query strings as arbitrary bytes, split into NAME=VALUE pairs at '&'
// and '=' as the server does: query_params and the schema's flow.show
// decoder never crash, refuse only with InvalidParams, and params they accept
// write and read back the same. The whole input as an --http address too:
// an address accepted is TCP with a host.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "http_rules.h"
#include "schema.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_http_query: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    std::multimap<std::string, std::string> query;
    for (std::string_view rest = input; !rest.empty();) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        const size_t eq = pair.find('=');
        query.emplace(std::string(pair.substr(0, eq)),
                      eq == std::string_view::npos ? "" : std::string(pair.substr(eq + 1)));
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    }
    const auto params = supervisor::query_params(query, supervisor::kShowQuery);
    if (!params) {
        check(params.error().code == model::Errc::InvalidParams, "a refusal is InvalidParams");
    } else {
        const auto show = api::decode_show_params(*params);
        if (!show) {
            check(show.error().code == model::Errc::InvalidParams, "a refusal is InvalidParams");
        } else {
            const auto again = api::decode_show_params(api::to_json(*show));
            check(again && *again == *show, "accepted params read back the same");
        }
    }
    const auto address = supervisor::parse_http_address(input);
    check(!address || !address->host.empty(), "an accepted address has a host");
    return 0;
}
