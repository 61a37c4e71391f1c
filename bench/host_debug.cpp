// The benchmark host's debug callback, in a module of its own so that the
// benchmark can load and unload it: the library looks the callback up on
// every log call and must see it come and go.
#include <cstdint>
#include <cstring>

namespace {

// Real but cheap work: what a host does before queueing a text somewhere.
uint64_t text_bytes;

} // namespace

extern "C" {

[[gnu::visibility("default")]] void acl_tcam_flow_debug_cb(uint32_t level, uint32_t kind,
                                                           const char *text) {
    text_bytes += std::strlen(text) + level + kind;
}

[[gnu::visibility("default")]] uint64_t bench_debug_text_bytes(void) {
    return text_bytes;
}
}
