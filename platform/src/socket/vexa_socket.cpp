// The vexa_* calls over connections: the handle table, the messages handed
// to the library for received frames, and the send observer.
//
// Invariants: a handle names at most one connection; a message's descriptor
// carries the received frame's message id in desc[1], which is what a reply
// naming that descriptor puts in its frame's reply_to. Everything runs on the
// io_context's thread, so the table takes no lock.

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "vexa_socket.h"

namespace vexa_socket {

namespace {

// Descriptor words (vexa_msg::desc).
constexpr size_t kDescHandle = 0;
constexpr size_t kDescMsgId = 1;
constexpr size_t kDescOpcode = 2;
constexpr size_t kDescSrcNode = 3;
constexpr size_t kDescSrcEndpoint = 4;
constexpr size_t kDescPayloadLen = 5;

struct Binding {
    ConnectionPtr connection;
    vexa_addr_t local;
};

// Function-local statics: the library may be loaded, and its load-time code
// run, before this library's dynamic initialisers.
std::unordered_map<uint32_t, Binding> &bindings() {
    static std::unordered_map<uint32_t, Binding> table;
    return table;
}

SendObserver &observer() {
    static SendObserver fn;
    return fn;
}

} // namespace

void bind_handle(uint32_t handle, ConnectionPtr connection, vexa_addr_t local) {
    bindings()[handle] = Binding{std::move(connection), local};
}

void unbind_handle(uint32_t handle) {
    bindings().erase(handle);
}

vexa_msg make_message(uint32_t handle, const FrameHeader &header,
                      std::span<const uint8_t> payload) {
    vexa_msg msg{};
    msg.desc[kDescHandle] = handle;
    msg.desc[kDescMsgId] = header.msg_id;
    msg.desc[kDescOpcode] = header.opcode;
    msg.desc[kDescSrcNode] = header.src.node;
    msg.desc[kDescSrcEndpoint] = header.src.endpoint;
    msg.desc[kDescPayloadLen] = static_cast<uint32_t>(payload.size());
    msg.desc_tail = kVersion;
    msg.payload = payload.empty() ? nullptr : payload.data();
    msg.payload_len = static_cast<uint32_t>(payload.size());
    return msg;
}

void set_send_observer(SendObserver fn) {
    observer() = std::move(fn);
}

namespace {

int send_frame(uint32_t handle, const vexa_addr_t *dst, uint32_t opcode, const void *payload,
               uint32_t len, const void *reply_to, FrameHeader &header) {
    if (!dst || (!payload && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    header.opcode = opcode;
    header.dst = *dst;
    header.payload_len = len;
    if (reply_to) {
        // The descriptor is the first bytes of a vexa_msg, in this process's
        // byte order: read desc[1] where it lies.
        std::memcpy(&header.reply_to,
                    static_cast<const uint8_t *>(reply_to) + kDescMsgId * sizeof(uint32_t),
                    sizeof header.reply_to);
    }
    auto found = bindings().find(handle);
    if (found == bindings().end() || !found->second.connection->is_open()) {
        errno = ENOTCONN;
        return -1;
    }
    header.src = found->second.local;
    std::span<const uint8_t> bytes(static_cast<const uint8_t *>(payload), len);
    header.msg_id =
        found->second.connection->send(opcode, header.src, *dst, header.reply_to, bytes);
    return header.msg_id == 0 ? -1 : 0;
}

} // namespace

} // namespace vexa_socket

extern "C" {

uint32_t vexa_payload_size(const vexa_msg_t *msg) {
    return msg ? msg->payload_len : 0;
}

const void *vexa_payload_get(const vexa_msg_t *msg) {
    return msg ? msg->payload : nullptr;
}

// flags and timeout are accepted and unused: sends never block here.
int vexa_send(uint32_t handle, const vexa_addr_t *dst, uint32_t opcode, const void *payload,
              uint32_t len, uint32_t /*flags*/, const void *reply_to, uint32_t /*timeout*/) {
    using namespace vexa_socket;
    FrameHeader header;
    int result = send_frame(handle, dst, opcode, payload, len, reply_to, header);
    if (SendObserver &fn = observer()) {
        int saved_errno = errno;
        std::span<const uint8_t> bytes(static_cast<const uint8_t *>(payload), payload ? len : 0);
        fn(handle, header, bytes, result);
        errno = saved_errno;
    }
    return result;
}

} // extern "C"
