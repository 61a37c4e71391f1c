// Big-endian load/store of message payload fields, in place.
//
// Payloads travel in the target's (big-endian) byte order on every host, so
// the library reads and writes their fields through these helpers. On a
// big-endian host they compile to plain loads and stores.
#ifndef ACL_TCAM_BYTE_ORDER_H
#define ACL_TCAM_BYTE_ORDER_H

#include <bit>
#include <cstdint>
#include <cstring>

namespace acl_tcam {

constexpr uint32_t to_big_endian(uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) {
        return v;
    } else {
        return __builtin_bswap32(v);
    }
}

constexpr uint64_t to_big_endian(uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) {
        return v;
    } else {
        return __builtin_bswap64(v);
    }
}

inline uint32_t load_be32(const void *at) {
    uint32_t v;
    std::memcpy(&v, at, sizeof v);
    return to_big_endian(v);
}

inline void store_be32(void *at, uint32_t v) {
    v = to_big_endian(v);
    std::memcpy(at, &v, sizeof v);
}

inline void store_be64(void *at, uint64_t v) {
    v = to_big_endian(v);
    std::memcpy(at, &v, sizeof v);
}

} // namespace acl_tcam

#endif // ACL_TCAM_BYTE_ORDER_H
