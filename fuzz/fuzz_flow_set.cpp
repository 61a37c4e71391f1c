// Flow-set files as arbitrary bytes: parse_flow_set must never crash; a set it
// accepts holds keys in stored form, slots in range and valid names, and
// written and read again gives the same entries in export order, whose text
// written again is the same; a refusal names its first line.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "flow_set.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_flow_set: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto parsed = model::parse_flow_set(text);
    if (!parsed.ok()) {
        check(parsed.error().code == model::Errc::InvalidParams, "a refusal is InvalidParams");
        check(parsed.error().message.starts_with("line "), "a refusal names its line");
        return 0;
    }
    std::vector<model::FlowEntry> want = *parsed;
    for (const model::FlowEntry &e : want) {
        check(e.slot >= model::kMinSlot && e.slot <= model::kMaxSlot, "slot in range");
        check(model::is_stored_form(e.key), "key in stored form");
        check(e.name.empty() || model::is_flow_name(e.name), "name valid");
    }
    std::stable_sort(want.begin(), want.end(), [](const auto &a, const auto &b) {
        return a.slot != b.slot ? a.slot < b.slot : a.key < b.key;
    });
    for (size_t i = 0; i < want.size(); ++i) {
        want[i].line = static_cast<uint32_t>(i + 1);
    }
    const std::string written = model::write_flow_set(*parsed);
    const auto again = model::parse_flow_set(written);
    check(again.ok(), "a written set parses");
    check(*again == want, "a written set reads back as the same entries");
    check(model::write_flow_set(*again) == written, "written again, the same text");
    return 0;
}
