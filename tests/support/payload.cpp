#include "payload.h"

#include <cstring>

namespace test {

uint32_t get_be32(const std::vector<uint8_t> &bytes, size_t at) {
    return uint32_t{bytes.at(at)} << 24 | uint32_t{bytes.at(at + 1)} << 16 |
           uint32_t{bytes.at(at + 2)} << 8 | uint32_t{bytes.at(at + 3)};
}

uint64_t get_be64(const std::vector<uint8_t> &bytes, size_t at) {
    return uint64_t{get_be32(bytes, at)} << 32 | get_be32(bytes, at + 4);
}

void put_be32(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(value >> (24 - 8 * i));
    }
}

std::vector<uint8_t> make_payload(const Request &r) {
    std::vector<uint8_t> bytes(184);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(0x40 + i % 0x80);
    }
    put_be32(bytes, 0, static_cast<uint32_t>(r.msg_type));
    put_be32(bytes, 4, r.aux);
    put_be32(bytes, 124, static_cast<uint32_t>(r.index));
    bytes[128] = r.flow_type;
    put_be32(bytes, 132, r.vsan);
    put_be32(bytes, 136, r.did);
    put_be32(bytes, 140, r.sid);
    put_be32(bytes, 144, r.mask);
    return bytes;
}

Message::Message(std::vector<uint8_t> bytes) : payload(std::move(bytes)), msg{} {
    for (uint32_t i = 0; i < 6; ++i) {
        msg.desc[i] = i + 1;
    }
    msg.desc_tail = 25;
    msg.payload = payload.data();
    msg.payload_len = static_cast<uint32_t>(payload.size());
}

} // namespace test
