// Request payloads built with the hosts' helper, as a foreign requester
// builds them: big-endian, without the library's structs.
#ifndef TEST_PAYLOAD_H
#define TEST_PAYLOAD_H

#include <cstdint>
#include <vector>

#include "acl_tcam_flow_wire.h"
#include "platform_sim.h"

namespace test {

uint32_t get_be32(const std::vector<uint8_t> &bytes, size_t at);
uint64_t get_be64(const std::vector<uint8_t> &bytes, size_t at);
void put_be32(std::vector<uint8_t> &bytes, size_t at, uint32_t value);

struct Request {
    int32_t msg_type = 3;
    uint32_t aux = 0;
    int32_t index = 1;
    uint8_t flow_type = 128;
    uint32_t vsan = 10;
    uint32_t did = 0;
    uint32_t sid = 0;
    uint32_t mask = 0;
};

// A 184-byte payload carrying the request, cut to len; every byte the
// request does not set holds a distinct pattern (byte i = 0x40 + i mod 0x80),
// so that a reply shows which bytes came back unchanged.
std::vector<uint8_t> make_payload(const acl_tcam_wire_request_t &request, size_t len = 184);
std::vector<uint8_t> make_payload(const Request &request);

// A message owning its payload. Its descriptor words are 1 to 6, its tail
// byte 25.
struct Message {
    explicit Message(std::vector<uint8_t> bytes);
    Message(const Message &) = delete;
    Message &operator=(const Message &) = delete;
    std::vector<uint8_t> payload;
    vexa_msg_t msg;
};

} // namespace test

#endif // TEST_PAYLOAD_H
