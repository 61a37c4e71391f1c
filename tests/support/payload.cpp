#include "payload.h"

#include <cstring>

#include "wire.h"

namespace test {

uint32_t get_be32(const std::vector<uint8_t> &bytes, size_t at) {
    return wire::get_be32(&bytes.at(at + 3) - 3);
}

uint64_t get_be64(const std::vector<uint8_t> &bytes, size_t at) {
    return wire::get_be64(&bytes.at(at + 7) - 7);
}

void put_be32(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
    wire::put_be32(&bytes.at(at + 3) - 3, value);
}

std::vector<uint8_t> make_payload(const Request &r) {
    std::vector<uint8_t> bytes(184);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(0x40 + i % 0x80);
    }
    put_be32(bytes, wire::kMsgTypeAt, static_cast<uint32_t>(r.msg_type));
    put_be32(bytes, wire::kAuxAt, r.aux);
    put_be32(bytes, wire::kIndexAt, static_cast<uint32_t>(r.index));
    bytes[wire::kFlowTypeAt] = r.flow_type;
    put_be32(bytes, wire::kVsanAt, r.vsan);
    put_be32(bytes, wire::kDidAt, r.did);
    put_be32(bytes, wire::kSidAt, r.sid);
    put_be32(bytes, wire::kMaskAt, r.mask);
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
