#include "payload.h"

#include <cstring>

namespace test {

uint32_t get_be32(const std::vector<uint8_t> &bytes, size_t at) {
    return acl_tcam_wire_get_be32(&bytes.at(at + 3) - 3);
}

uint64_t get_be64(const std::vector<uint8_t> &bytes, size_t at) {
    return acl_tcam_wire_get_be64(&bytes.at(at + 7) - 7);
}

void put_be32(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
    acl_tcam_wire_put_be32(&bytes.at(at + 3) - 3, value);
}

std::vector<uint8_t> make_payload(const acl_tcam_wire_request_t &request, size_t len) {
    std::vector<uint8_t> bytes(184);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(0x40 + i % 0x80);
    }
    acl_tcam_wire_encode_request(bytes.data(), &request);
    bytes.resize(len);
    return bytes;
}

std::vector<uint8_t> make_payload(const Request &r) {
    return make_payload(acl_tcam_wire_request_t{r.msg_type, r.aux, r.index, r.flow_type, r.vsan,
                                                r.did, r.sid, r.mask});
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
