/*
 * The message record our message-service implementations hand to hosts: a
 * 25-byte descriptor that identifies the message (so that a copy of it can
 * name the message a reply answers), then the payload. Shared by the
 * in-process stand-in and the socket transport; the flow stats library never
 * looks inside.
 */
#ifndef PLATFORM_VEXA_MSG_H
#define PLATFORM_VEXA_MSG_H

#include <stdint.h>

#define VEXA_SIM_DESC_LEN 25u

struct vexa_msg {
    uint32_t desc[6];
    uint8_t desc_tail;
    const void *payload; /* NULL: the message has no payload */
    uint32_t payload_len;
};

#endif /* PLATFORM_VEXA_MSG_H */
