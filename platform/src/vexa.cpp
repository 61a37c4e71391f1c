// Message service stand-in: hands every send to a host-installed sink, so
// tests and in-process hosts see exactly what the library sent.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform_sim.h"
#include "vexa.h"

namespace {

constinit std::mutex sink_lock;
constinit vexa_sim_sink_fn sink_fn = nullptr;
constinit void *sink_user = nullptr;
constinit std::atomic<uint64_t> send_count{0};

} // namespace

extern "C" {

uint32_t vexa_payload_size(const vexa_msg_t *msg) {
    return msg ? msg->payload_len : 0;
}

const void *vexa_payload_get(const vexa_msg_t *msg) {
    return msg ? msg->payload : nullptr;
}

int vexa_send(uint32_t handle, const vexa_addr_t *dst, uint32_t opcode, const void *payload,
              uint32_t len, uint32_t flags, const void *reply_to, uint32_t timeout) {
    send_count++;
    if (!dst || (!payload && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    vexa_sim_sink_fn sink;
    void *user;
    {
        std::lock_guard<std::mutex> guard(sink_lock);
        sink = sink_fn;
        user = sink_user;
    }
    if (!sink)
        return 0;

    vexa_sim_sent_t sent{};
    sent.handle = handle;
    sent.dst = *dst;
    sent.opcode = opcode;
    sent.payload = static_cast<const uint8_t *>(payload);
    sent.len = len;
    sent.flags = flags;
    sent.has_reply_to = reply_to != nullptr;
    if (reply_to)
        std::memcpy(sent.reply_to, reply_to, VEXA_SIM_DESC_LEN);
    sent.timeout = timeout;

    // errno is cleared so a failing sink's own errno can be told from none;
    // the caller's value comes back when the send succeeds.
    int saved_errno = errno;
    errno = 0;
    int rc = sink(user, &sent);
    if (rc == 0)
        errno = saved_errno;
    else if (errno == 0)
        errno = EIO;
    return rc;
}

void vexa_sim_set_sink(vexa_sim_sink_fn sink, void *user) {
    std::lock_guard<std::mutex> guard(sink_lock);
    sink_fn = sink;
    sink_user = user;
}

uint64_t vexa_sim_send_count(void) {
    return send_count;
}

} // extern "C"
