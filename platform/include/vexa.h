/*
 * Platform message service (VEXA): the calls the flow stats library makes.
 *
 * Messages are owned by the host; the library only reads their payloads. A
 * message's first 25 bytes (six u32 and one u8) identify it, so a copy of
 * them can name the message a reply answers.
 */
#ifndef PLATFORM_VEXA_H
#define PLATFORM_VEXA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A destination: node, then endpoint. */
typedef struct vexa_addr {
    uint32_t node;
    uint32_t endpoint;
} vexa_addr_t;

typedef struct vexa_msg vexa_msg_t;

/* Payload length in bytes; 0 for a NULL message. */
uint32_t vexa_payload_size(const vexa_msg_t *msg);
/* Payload address, or NULL when the message has none. */
const void *vexa_payload_get(const vexa_msg_t *msg);
/* Sends len bytes of payload to dst. reply_to, when not NULL, points to the
 * first 25 bytes of the message being answered. The payload may be reused as
 * soon as the call returns. 0 when sent; non-zero with errno set otherwise. */
int vexa_send(uint32_t handle, const vexa_addr_t *dst, uint32_t opcode, const void *payload,
              uint32_t len, uint32_t flags, const void *reply_to, uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_VEXA_H */
