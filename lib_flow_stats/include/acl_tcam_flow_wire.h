/*
 * ACL TCAM Flow Stats Library: request and reply helpers for hosts.
 *
 * A header-only companion of acl_tcam_flow_stats.h for whoever builds the
 * library's request messages and reads what it sends back: a line-card host,
 * a supervisor, a test. Every function is static inline, so nothing here is
 * part of the library's exported set and no link dependency comes with it
 * (the callback self-check aside, which needs dlopen/dlsym from libc, or
 * -ldl on old C libraries).
 *
 * Everything on the wire is BIG-ENDIAN on every host. These helpers read and
 * write by byte offset, never through the library's structs, so they give the
 * same bytes on every host whatever its byte order and alignment.
 *
 * What a requester needs to know:
 *
 *  - A request is a 184-byte payload (ACL_TCAM_FS_CMI_LEN). The library reads
 *    msg_type and the body (index, flow_type, vsan_id, did, sid, mask) and
 *    hands every other byte back unchanged in its reply: put a tag of your own
 *    in the 100 opaque header bytes (offset ACL_TCAM_WIRE_OPAQUE_AT) to match
 *    replies to requests.
 *  - Every request with a known msg_type (1 to 4) is answered exactly once,
 *    on the handle it came with, to the sender. The length tells the two
 *    forms apart:
 *      a full reply (184 bytes) for status 0: aux carried over, and the
 *        flow's frame and byte totals at offsets 152 and 160 for a query
 *        (zero for a set or delete). A query before the host declared the
 *        TCAM region ready is answered so too, with zero totals: that is
 *        not an error;
 *      a short reply (112 bytes, the header alone) for a refusal: the
 *        non-zero status at offset 8, aux 0.
 *    A message of another msg_type gets no reply at all.
 *  - The library originates one message: the initial download request
 *    (opcode ACL_TCAM_FS_FLOW_DOWNLOAD_OPC, 4 bytes, to node 0xfe000001,
 *    endpoint 25) on acl_tcam_flow_init, asking the supervisor to send this
 *    card's flows again. It carries the slot as the card service wrote it
 *    (a big-endian u32 here), with byte 1 forced to 0.
 *  - A display (acl_tcam_print_flows_info) answers in chunks of exactly
 *    ACL_TCAM_FS_PRINT_REPLY_LEN bytes; the last has last_chunk 1.
 *
 * The header compiles as C11 and as C++.
 */
#ifndef ACL_TCAM_FLOW_WIRE_H
#define ACL_TCAM_FLOW_WIRE_H

#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "acl_tcam_flow_stats.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Byte offsets in the 184-byte request and reply ----------------------- */

#define ACL_TCAM_WIRE_MSG_TYPE_AT 0u
#define ACL_TCAM_WIRE_AUX_AT 4u
#define ACL_TCAM_WIRE_STATUS_AT 8u
#define ACL_TCAM_WIRE_OPAQUE_AT 12u /* 100 bytes, handed back in every reply */
#define ACL_TCAM_WIRE_OPAQUE_LEN 100u
#define ACL_TCAM_WIRE_INDEX_AT 124u
#define ACL_TCAM_WIRE_FLOW_TYPE_AT 128u
#define ACL_TCAM_WIRE_VSAN_AT 132u
#define ACL_TCAM_WIRE_DID_AT 136u
#define ACL_TCAM_WIRE_SID_AT 140u
#define ACL_TCAM_WIRE_MASK_AT 144u
#define ACL_TCAM_WIRE_FRAMES_AT 152u
#define ACL_TCAM_WIRE_BYTES_AT 160u

/* ---- Byte offsets in a display chunk -------------------------------------- */

#define ACL_TCAM_WIRE_LAST_CHUNK_AT 12u
#define ACL_TCAM_WIRE_TEXT_LEN_AT 16u
#define ACL_TCAM_WIRE_TEXT_AT 20u

/* ---- What a request may name ---------------------------------------------- */

/* A VSAN is 1 to 4095; an FC ID (SID or DID) 0x010000 to 0xffffff, so its
 * domain byte is never 0. The library refuses a request outside these. */
#define ACL_TCAM_WIRE_VSAN_MIN 1u
#define ACL_TCAM_WIRE_VSAN_MAX 4095u
#define ACL_TCAM_WIRE_FCID_MIN 0x010000u
#define ACL_TCAM_WIRE_FCID_MAX 0xffffffu

/* ---- The display's text ---------------------------------------------------- */

/* A display is the not-initialised line alone, or the four header lines (each
 * followed by a newline) and one row per stored flow in key order. */
#define ACL_TCAM_WIRE_DISPLAY_NOT_INIT "Flow Tables are not yet initialized\n"
#define ACL_TCAM_WIRE_DISPLAY_HEADER_LINES 4u
#define ACL_TCAM_WIRE_DISPLAY_HEADER_0                                                             \
    "-------------------------------------------------------------------------------"
#define ACL_TCAM_WIRE_DISPLAY_HEADER_1                                                             \
    "T Vsan SID    DID    Cntr       HW Cnt           Pos Cnt           Neg Cnt     "
#define ACL_TCAM_WIRE_DISPLAY_HEADER_2                                                             \
    "                      ID  frames   bytes    frames   bytes    frames   bytes   "
#define ACL_TCAM_WIRE_DISPLAY_HEADER_3                                                             \
    "- ---- ------ ------ ---- -------- -------- -------- -------- -------- --------"
/* A row: type, VSAN, SID, DID and counter id left-aligned in fields of these
 * widths (no value the library stores overflows its field), then the six
 * counts (hardware, pos and neg frames and bytes), each at least this wide and
 * separated by a space. A wide count pushes the rest to the right. */
#define ACL_TCAM_WIRE_ROW_TYPE_WIDTH 2
#define ACL_TCAM_WIRE_ROW_VSAN_WIDTH 5
#define ACL_TCAM_WIRE_ROW_SID_WIDTH 7
#define ACL_TCAM_WIRE_ROW_DID_WIDTH 7
#define ACL_TCAM_WIRE_ROW_COUNTER_WIDTH 5
#define ACL_TCAM_WIRE_ROW_COUNT_WIDTH 8
#define ACL_TCAM_WIRE_ROW_COUNTS 6
/* The row as a printf format built from those widths (int, int, unsigned,
 * unsigned, int, then six unsigned long long). */
#define ACL_TCAM_WIRE_TEXT_(x) #x
#define ACL_TCAM_WIRE_TEXT(x) ACL_TCAM_WIRE_TEXT_(x)
#define ACL_TCAM_WIRE_ROW_COUNT_FORMAT "%-" ACL_TCAM_WIRE_TEXT(ACL_TCAM_WIRE_ROW_COUNT_WIDTH) "llu"
/* clang-format off */
#define ACL_TCAM_WIRE_ROW_FORMAT                                                   \
    "%-" ACL_TCAM_WIRE_TEXT(ACL_TCAM_WIRE_ROW_TYPE_WIDTH) "d"                     \
    "%-" ACL_TCAM_WIRE_TEXT(ACL_TCAM_WIRE_ROW_VSAN_WIDTH) "d"                     \
    "%-" ACL_TCAM_WIRE_TEXT(ACL_TCAM_WIRE_ROW_SID_WIDTH) "x"                      \
    "%-" ACL_TCAM_WIRE_TEXT(ACL_TCAM_WIRE_ROW_DID_WIDTH) "x"                      \
    "%-" ACL_TCAM_WIRE_TEXT(ACL_TCAM_WIRE_ROW_COUNTER_WIDTH) "d"                  \
    ACL_TCAM_WIRE_ROW_COUNT_FORMAT " " ACL_TCAM_WIRE_ROW_COUNT_FORMAT " "         \
    ACL_TCAM_WIRE_ROW_COUNT_FORMAT " " ACL_TCAM_WIRE_ROW_COUNT_FORMAT " "         \
    ACL_TCAM_WIRE_ROW_COUNT_FORMAT " " ACL_TCAM_WIRE_ROW_COUNT_FORMAT "\n"
/* clang-format on */

/* Length of the initial download request. */
#define ACL_TCAM_WIRE_DOWNLOAD_LEN 4u

/* ---- Big-endian fields ------------------------------------------------------ */

static inline void acl_tcam_wire_put_be32(uint8_t *at, uint32_t value) {
    at[0] = (uint8_t)(value >> 24);
    at[1] = (uint8_t)(value >> 16);
    at[2] = (uint8_t)(value >> 8);
    at[3] = (uint8_t)value;
}

static inline void acl_tcam_wire_put_be64(uint8_t *at, uint64_t value) {
    acl_tcam_wire_put_be32(at, (uint32_t)(value >> 32));
    acl_tcam_wire_put_be32(at + 4, (uint32_t)value);
}

static inline uint32_t acl_tcam_wire_get_be32(const uint8_t *at) {
    return (uint32_t)at[0] << 24 | (uint32_t)at[1] << 16 | (uint32_t)at[2] << 8 | (uint32_t)at[3];
}

static inline uint64_t acl_tcam_wire_get_be64(const uint8_t *at) {
    return (uint64_t)acl_tcam_wire_get_be32(at) << 32 | acl_tcam_wire_get_be32(at + 4);
}

/* ---- Requests --------------------------------------------------------------- */

/* A request's fields as they go on the wire. Build one from a flow key with
 * acl_tcam_wire_flow_request, or fill it field by field to send something
 * the library must refuse. */
typedef struct acl_tcam_wire_request {
    int32_t msg_type;  /* ACL_TCAM_FS_MSG_* (2 is a second query type) */
    uint32_t aux;      /* carried back in a full reply */
    int32_t index;     /* any non-zero value; 0 is refused */
    uint8_t flow_type; /* ACL_TCAM_FS_REQ_FLOW_VSAN or ..._SID_DID */
    uint32_t vsan;     /* 1 to 4095 */
    uint32_t did;      /* SID/DID requests: 0x010000 to 0xffffff */
    uint32_t sid;      /* likewise */
    uint32_t mask;     /* SID/DID requests: ACL_TCAM_FS_REQ_MASK_DOMAIN or ..._EXACT */
} acl_tcam_wire_request_t;

/*
 * The request for a flow: type is FLOW_TYPE_VSAN, FLOW_TYPE_DOMAIN or
 * FLOW_TYPE_SID_DID; sid and did are ignored for a VSAN flow, and for a
 * domain flow any identifier in each domain will do (the library keeps the
 * domain byte). An unknown type gives flow_type 0, which the library refuses.
 */
static inline acl_tcam_wire_request_t acl_tcam_wire_flow_request(int32_t msg_type, uint32_t type,
                                                                 uint32_t vsan, uint32_t sid,
                                                                 uint32_t did, int32_t index) {
    acl_tcam_wire_request_t r;
    memset(&r, 0, sizeof r);
    r.msg_type = msg_type;
    r.index = index;
    r.vsan = vsan;
    if (type == FLOW_TYPE_VSAN) {
        r.flow_type = (uint8_t)ACL_TCAM_FS_REQ_FLOW_VSAN;
    } else if (type == FLOW_TYPE_DOMAIN || type == FLOW_TYPE_SID_DID) {
        r.flow_type = (uint8_t)ACL_TCAM_FS_REQ_FLOW_SID_DID;
        r.sid = sid;
        r.did = did;
        r.mask =
            type == FLOW_TYPE_DOMAIN ? ACL_TCAM_FS_REQ_MASK_DOMAIN : ACL_TCAM_FS_REQ_MASK_EXACT;
    }
    return r;
}

/*
 * Writes the request's fields into a payload of at least ACL_TCAM_FS_CMI_LEN
 * bytes. Bytes of no field (the status, the opaque areas, the reply totals)
 * are left as they are: zero them, or put a tag of your own there first.
 */
static inline void acl_tcam_wire_encode_request(uint8_t *payload,
                                                const acl_tcam_wire_request_t *r) {
    acl_tcam_wire_put_be32(payload + ACL_TCAM_WIRE_MSG_TYPE_AT, (uint32_t)r->msg_type);
    acl_tcam_wire_put_be32(payload + ACL_TCAM_WIRE_AUX_AT, r->aux);
    acl_tcam_wire_put_be32(payload + ACL_TCAM_WIRE_INDEX_AT, (uint32_t)r->index);
    payload[ACL_TCAM_WIRE_FLOW_TYPE_AT] = r->flow_type;
    acl_tcam_wire_put_be32(payload + ACL_TCAM_WIRE_VSAN_AT, r->vsan);
    acl_tcam_wire_put_be32(payload + ACL_TCAM_WIRE_DID_AT, r->did);
    acl_tcam_wire_put_be32(payload + ACL_TCAM_WIRE_SID_AT, r->sid);
    acl_tcam_wire_put_be32(payload + ACL_TCAM_WIRE_MASK_AT, r->mask);
}

/* The tag a requester keeps in the first 4 opaque header bytes. */
static inline void acl_tcam_wire_put_tag(uint8_t *payload, uint32_t tag) {
    acl_tcam_wire_put_be32(payload + ACL_TCAM_WIRE_OPAQUE_AT, tag);
}

static inline uint32_t acl_tcam_wire_get_tag(const uint8_t *payload) {
    return acl_tcam_wire_get_be32(payload + ACL_TCAM_WIRE_OPAQUE_AT);
}

/* ---- Replies ------------------------------------------------------------------ */

typedef struct acl_tcam_wire_reply {
    int full;        /* 1: a full reply (184 bytes), 0: a short one (112) */
    uint32_t status; /* 0 or an ACL_TCAM_FS_ERR_* / host callback code */
    uint32_t aux;    /* full replies only; 0 in a short one */
    uint32_t tag;    /* the requester's first 4 opaque header bytes, handed back */
    uint64_t frames; /* full replies only: the flow's frame total */
    uint64_t bytes;  /* full replies only: the flow's byte total */
} acl_tcam_wire_reply_t;

/* Reads a reply by its length. 0, or -1 when len is neither
 * ACL_TCAM_FS_CMI_LEN nor ACL_TCAM_FS_CMI_HEADER_LEN (not a reply). */
static inline int acl_tcam_wire_decode_reply(const uint8_t *payload, size_t len,
                                             acl_tcam_wire_reply_t *out) {
    if (len != ACL_TCAM_FS_CMI_LEN && len != ACL_TCAM_FS_CMI_HEADER_LEN) {
        return -1;
    }
    memset(out, 0, sizeof *out);
    out->full = len == ACL_TCAM_FS_CMI_LEN;
    out->status = acl_tcam_wire_get_be32(payload + ACL_TCAM_WIRE_STATUS_AT);
    out->aux = acl_tcam_wire_get_be32(payload + ACL_TCAM_WIRE_AUX_AT);
    out->tag = acl_tcam_wire_get_tag(payload);
    if (out->full) {
        out->frames = acl_tcam_wire_get_be64(payload + ACL_TCAM_WIRE_FRAMES_AT);
        out->bytes = acl_tcam_wire_get_be64(payload + ACL_TCAM_WIRE_BYTES_AT);
    }
    return 0;
}

/* ---- Display chunks ----------------------------------------------------------- */

typedef struct acl_tcam_wire_chunk {
    int last; /* 1 in the final chunk of a display */
    uint32_t text_len;
    const char *text; /* text_len bytes inside the payload, then a NUL */
} acl_tcam_wire_chunk_t;

/* Reads a display chunk. 0, or -1 when len is not ACL_TCAM_FS_PRINT_REPLY_LEN
 * or the text length does not fit with its NUL. */
static inline int acl_tcam_wire_decode_chunk(const uint8_t *payload, size_t len,
                                             acl_tcam_wire_chunk_t *out) {
    if (len != ACL_TCAM_FS_PRINT_REPLY_LEN) {
        return -1;
    }
    const uint32_t text_len = acl_tcam_wire_get_be32(payload + ACL_TCAM_WIRE_TEXT_LEN_AT);
    if (text_len >= ACL_TCAM_FS_PRINT_TEXT_CAPACITY) {
        return -1;
    }
    out->last = acl_tcam_wire_get_be32(payload + ACL_TCAM_WIRE_LAST_CHUNK_AT) != 0;
    out->text_len = text_len;
    out->text = (const char *)(payload + ACL_TCAM_WIRE_TEXT_AT);
    return 0;
}

/* ---- The initial download request --------------------------------------------- */

/* Reads the slot from a download request. 0, or -1 when len is not
 * ACL_TCAM_WIRE_DOWNLOAD_LEN. */
static inline int acl_tcam_wire_decode_download(const uint8_t *payload, size_t len,
                                                uint32_t *slot) {
    if (len != ACL_TCAM_WIRE_DOWNLOAD_LEN) {
        return -1;
    }
    *slot = acl_tcam_wire_get_be32(payload);
    return 0;
}

/* ---- Status codes -------------------------------------------------------------- */

/* The library's name of a status code ("ACL_TCAM_FS_ERR_FLOW_EXISTS"), "OK"
 * for 0, or NULL for a code the library does not define (a host callback's
 * own code, passed through, or an OR of several). */
static inline const char *acl_tcam_wire_status_name(uint32_t status) {
    switch (status) {
    case 0:
        return "OK";
    case ACL_TCAM_FS_ERR_INVALID_ARG:
        return "ACL_TCAM_FS_ERR_INVALID_ARG";
    case ACL_TCAM_FS_ERR_NULL_PAYLOAD:
        return "ACL_TCAM_FS_ERR_NULL_PAYLOAD";
    case ACL_TCAM_FS_ERR_FLOW_EXISTS:
        return "ACL_TCAM_FS_ERR_FLOW_EXISTS";
    case ACL_TCAM_FS_ERR_NO_ENTRY:
        return "ACL_TCAM_FS_ERR_NO_ENTRY";
    case ACL_TCAM_FS_ERR_INVALID_INDEX:
        return "ACL_TCAM_FS_ERR_INVALID_INDEX";
    case ACL_TCAM_FS_ERR_REGION_NOT_INIT:
        return "ACL_TCAM_FS_ERR_REGION_NOT_INIT";
    case ACL_TCAM_FS_ERR_NO_MEMORY:
        return "ACL_TCAM_FS_ERR_NO_MEMORY";
    case ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED:
        return "ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED";
    case ACL_TCAM_FS_ERR_NO_CALLBACK:
        return "ACL_TCAM_FS_ERR_NO_CALLBACK";
    case ACL_TCAM_FS_ERR_INIT_ARGS:
        return "ACL_TCAM_FS_ERR_INIT_ARGS";
    default:
        return NULL;
    }
}

/* A short English description of a status code; "host or unknown code" for
 * one the library does not define. */
static inline const char *acl_tcam_wire_status_text(uint32_t status) {
    switch (status) {
    case 0:
        return "success";
    case ACL_TCAM_FS_ERR_INVALID_ARG:
        return "invalid request";
    case ACL_TCAM_FS_ERR_NULL_PAYLOAD:
        return "request without payload";
    case ACL_TCAM_FS_ERR_FLOW_EXISTS:
        return "flow exists";
    case ACL_TCAM_FS_ERR_NO_ENTRY:
        return "no such flow";
    case ACL_TCAM_FS_ERR_INVALID_INDEX:
        return "invalid index";
    case ACL_TCAM_FS_ERR_REGION_NOT_INIT:
        return "TCAM region not ready";
    case ACL_TCAM_FS_ERR_NO_MEMORY:
        return "out of memory";
    case ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED:
        return "counters exhausted";
    case ACL_TCAM_FS_ERR_NO_CALLBACK:
        return "host callback missing";
    case ACL_TCAM_FS_ERR_INIT_ARGS:
        return "invalid counter range";
    default:
        return "host or unknown code";
    }
}

/* ---- Start-up self-check -------------------------------------------------------- */

#define ACL_TCAM_WIRE_MISSING_DEBUG_CB 1u  /* acl_tcam_flow_debug_cb */
#define ACL_TCAM_WIRE_MISSING_UPDATE_CB 2u /* acl_tcam_flow_handle_update_cb */
#define ACL_TCAM_WIRE_MISSING_STATS_CB 4u  /* acl_tcam_flow_stats_get_cb */

/*
 * Which of the three host callbacks the library will not find in the
 * process's global symbol scope, as an OR of ACL_TCAM_WIRE_MISSING_*; 0 when
 * all three are there. Call it once at start-up and stop if it is not 0: the
 * library stays silent about a missing debug callback (it has nowhere to log
 * it), and a missing update or stats callback fails every flow operation.
 * The usual cause is an executable linked without -rdynamic (CMake:
 * ENABLE_EXPORTS ON).
 */
static inline uint32_t acl_tcam_wire_missing_callbacks(void) {
    /* The handle of the main program searches the global scope, as the
     * library's own lookups do. */
    void *global = dlopen(NULL, RTLD_LAZY);
    uint32_t missing = 0;
    if (global == NULL || dlsym(global, "acl_tcam_flow_debug_cb") == NULL) {
        missing |= ACL_TCAM_WIRE_MISSING_DEBUG_CB;
    }
    if (global == NULL || dlsym(global, "acl_tcam_flow_handle_update_cb") == NULL) {
        missing |= ACL_TCAM_WIRE_MISSING_UPDATE_CB;
    }
    if (global == NULL || dlsym(global, "acl_tcam_flow_stats_get_cb") == NULL) {
        missing |= ACL_TCAM_WIRE_MISSING_STATS_CB;
    }
    if (global != NULL) {
        dlclose(global);
    }
    return missing;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ACL_TCAM_FLOW_WIRE_H */
