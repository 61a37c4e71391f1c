/*
 * ACL TCAM Flow Stats Library: public C interface, the part a host calls.
 *
 * The library keeps the table of monitored Fibre Channel flows of one line
 * card, gives every flow a hardware counter from a fixed range, and reports
 * per-flow frame and byte totals that stay exact although the hardware counts
 * each frame only on the most specific TCAM entry that matches it.
 *
 * Conventions that hold for the whole interface:
 *
 *  - Every function returns a uint32_t status, 0 on success, unless said
 *    otherwise. Codes are the ACL_TCAM_FS_ERR_* values below, or a code that a
 *    host callback returned and the library passed on unchanged. Nothing is
 *    thrown.
 *  - Byte order. Message payloads (flow_stats_cmi_t, the display reply
 *    acl_tcam_fs_print_reply_t and the download request) are big-endian on
 *    every host; read and write their multi-byte fields with a big-endian
 *    conversion. Records shared in memory with the host (flow_t,
 *    flow_hw_stats_t, flow_handle_update_t, gl_counter_table_t, and
 *    flow_walk_ctx_t) are in the process's native byte order.
 *  - Ownership. The library owns the flow records it stores (from insertion
 *    to removal) and its counter table. The host owns the messages it hands
 *    in. Pointers handed to host callbacks are valid only during the call.
 *  - Threads. The library takes no locks and starts no threads: call it from
 *    one thread at a time. Host callbacks run synchronously inside the call
 *    that makes them; from inside them the host may call the counter lookups
 *    (acl_tcam_flow_get_counter_id, acl_tcam_flow_choose_counter), but must
 *    not insert or remove flows.
 *
 * The header compiles as C11 and as C++. At its end it includes
 * acl_tcam_flow_stats_compat.h, which declares the rest of the exported set:
 * the library's own tree-walk callbacks, host-callback and allocator
 * wrappers, memory-type helpers, exported variables and state record. A host
 * needs none of it; it stays declared so that code written against the
 * single header of 1.1.0 and before still compiles unchanged.
 */
#ifndef ACL_TCAM_FLOW_STATS_H
#define ACL_TCAM_FLOW_STATS_H

/* Older compilers would otherwise stop deep inside, on static_assert. */
#if defined(__cplusplus)
#if __cplusplus < 201103L
#error "acl_tcam_flow_stats.h needs C++11 or later"
#endif
#elif !defined(__STDC_VERSION__) || __STDC_VERSION__ < 201112L
#error "acl_tcam_flow_stats.h needs C11 or later: compile with -std=c11"
#endif

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#if defined(ACL_TCAM_FS_BUILDING_LIBRARY)
#define ACL_TCAM_FS_API __attribute__((visibility("default")))
#else
#define ACL_TCAM_FS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ------------------------------------------------------------- */

/* The release this header belongs to; the build takes the package version
 * from these three lines. The major number is the shared library's SONAME
 * version (libacl_tcam_flow_stats.so.1): it changes only when the exported
 * set, a record's layout or a wire format does. */
#define ACL_TCAM_FS_VERSION_MAJOR 1
#define ACL_TCAM_FS_VERSION_MINOR 1
#define ACL_TCAM_FS_VERSION_PATCH 0

/* ---- Identifiers --------------------------------------------------------- */

/* Module id under which the library registers with the memory tracker. */
#define ACL_TCAM_FS_MTRACK_ID 761u
/* Opcode of the one message the library originates: the initial download
 * request, sent by acl_tcam_flow_init. */
#define ACL_TCAM_FS_FLOW_DOWNLOAD_OPC 565u

/* ---- Status codes -------------------------------------------------------- */

#define ACL_TCAM_FS_ERR_INVALID_ARG 0x40520001u        /* malformed request or message */
#define ACL_TCAM_FS_ERR_NULL_PAYLOAD 0x4052000du       /* message to answer has no payload */
#define ACL_TCAM_FS_ERR_FLOW_EXISTS 0x4052000fu        /* insertion of a stored flow */
#define ACL_TCAM_FS_ERR_NO_ENTRY 0x40520010u           /* flow not stored; tree delete failed */
#define ACL_TCAM_FS_ERR_INVALID_INDEX 0x4052001au      /* request with a zero index */
#define ACL_TCAM_FS_ERR_REGION_NOT_INIT 0x404e000bu    /* library or TCAM region not ready */
#define ACL_TCAM_FS_ERR_NO_MEMORY 0x404e0011u          /* allocation failed */
#define ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED 0x404e003au /* no free counter id */
#define ACL_TCAM_FS_ERR_NO_CALLBACK 0x404e003fu        /* host does not export the callback */
#define ACL_TCAM_FS_ERR_INIT_ARGS 0x404e0042u          /* invalid counter range */

/* ---- Flow model ---------------------------------------------------------- */

/* Flow granularities, coarsest first. A higher type is a finer flow. */
#define FLOW_TYPE_VSAN 1u    /* the whole VSAN */
#define FLOW_TYPE_DOMAIN 2u  /* a (source domain, destination domain) pair */
#define FLOW_TYPE_SID_DID 3u /* one exact SID/DID pair */

/* The bitmask of each type. They nest: the bits of a coarser mask are a
 * subset of those of every finer one, so the key order (bitmask first) lists
 * all VSAN flows, then all domain flows, then all exact flows. */
#define FLOW_MASK_VSAN 0x80000000u
#define FLOW_MASK_DOMAIN 0xc8000000u
#define FLOW_MASK_SID_DID 0xfe000000u

/* Bits 16 to 23 of a 24-bit Fibre Channel identifier: its domain byte. */
#define FLOW_DOMAIN_MASK 0x00ff0000u

/*
 * A flow record; also the decoded request and the search key of the flow
 * tree. 64 bytes, native byte order. Only bitmask, vsan, did and sid take part
 * in the key order; type and counter_id take part in key equality.
 *
 * For type 2 the stored sid and did hold only their domain byte; for type 1
 * both are 0. In a request record the fields at offsets 24 and 32
 * (pos_frames, pos_bytes) receive the frame and byte totals of a query.
 */
typedef struct flow {
    uint16_t type;       /* FLOW_TYPE_* */
    uint16_t counter_id; /* hardware counter; 0 in a request or search key */
    uint32_t vsan;       /* 1 to 4095 */
    uint32_t sid;        /* source identifier */
    uint32_t did;        /* destination identifier */
    uint32_t bitmask;    /* FLOW_MASK_* of the type */
    uint32_t reserved0;
    uint64_t pos_frames; /* frames handed over by removed finer flows */
    uint64_t pos_bytes;  /* bytes handed over likewise */
    uint64_t neg_frames; /* finer flows' frames when this flow was created */
    uint64_t neg_bytes;  /* finer flows' bytes likewise */
    uint8_t reserved1[8];
} flow_t;

/*
 * One entry of the counter table, indexed by counter id. A claimed entry has
 * in_use 1, counter_id equal to its index, the owning flow's type and the
 * owning flow; a free entry has in_use 0 and type 0. 12 bytes with 32-bit
 * pointers, 16 with 64-bit ones.
 */
typedef struct gl_counter_table {
    uint8_t in_use;
    uint16_t counter_id;
    uint16_t type;
    flow_t *owner;
} gl_counter_table_t;

/* ---- Host callbacks ------------------------------------------------------ */

/* One reading of a hardware counter. 16 bytes, native byte order. */
typedef struct flow_hw_stats {
    uint64_t frames;
    uint64_t bytes;
} flow_hw_stats_t;

/*
 * Request to move a flow's hardware entry onto a counter. install is 1 when
 * the flow was just inserted with a counter of its own, 0 when an existing
 * flow's entry moves (re-pointing or removal); flag is always 1. counter_id 0
 * means no counter. 16 bytes with 32-bit pointers.
 */
typedef struct flow_handle_update {
    flow_t *flow;
    uint16_t counter_id;
    uint16_t reserved;
    uint32_t install;
    uint32_t flag;
} flow_handle_update_t;

/*
 * The three functions a host process must export by these names in its
 * global symbol scope (link the executable with -rdynamic, or load a library
 * that defines them with RTLD_GLOBAL). The library looks each one up with
 * dlsym(RTLD_DEFAULT, name) on every call and never links against them; a
 * missing one makes logging silent and every counter read or entry update
 * fail with ACL_TCAM_FS_ERR_NO_CALLBACK.
 */
/* Takes one log text; level 0 to 4; kind 1 = event, 2 = error. */
void acl_tcam_flow_debug_cb(uint32_t level, uint32_t kind, const char *text);
/* Moves *update->flow's entry onto update->counter_id; 0 or a failure code.
 * The library forgets a removed flow, but its TCAM entry stays, parked on the
 * counter of the nearest flow that covered it; keeping parked entries right
 * is the host's part:
 * install 1: a new flow with a counter handed out afresh (possibly a reused
 *   id). The library takes no baseline of it: start it from zero. Parked
 *   entries inside the new flow must then count on the counter
 *   acl_tcam_flow_get_counter_id names for them (the new one where the new
 *   flow is now the most specific flow covering them), or their frames
 *   would miss it.
 * install 0 for a flow being removed (update->flow->counter_id is still its
 *   old counter): its entry moves onto the given counter (0: none), and so
 *   does every entry parked on the old counter, or they would count on a
 *   released counter. */
int32_t acl_tcam_flow_handle_update_cb(flow_handle_update_t *update);
/* Reads counter_id into *stats; 0 or a failure code. */
int32_t acl_tcam_flow_stats_get_cb(uint32_t counter_id, flow_hw_stats_t *stats);

/* ---- Request and reply payload ------------------------------------------- */

/* Byte sizes and offsets of flow_stats_cmi_t on the wire. */
#define ACL_TCAM_FS_CMI_HEADER_LEN 112u /* a short reply: the header alone */
#define ACL_TCAM_FS_CMI_LEN 184u        /* a full reply: header and body */
#define ACL_TCAM_FS_CMI_BODY_OFFSET 112u

/* flow_type byte of a request body. */
#define ACL_TCAM_FS_REQ_FLOW_VSAN 128u
#define ACL_TCAM_FS_REQ_FLOW_SID_DID 224u
/* mask of a SID/DID request body. */
#define ACL_TCAM_FS_REQ_MASK_DOMAIN 0x00ff0000u
#define ACL_TCAM_FS_REQ_MASK_EXACT 0x00ffffffu

/* msg_type of a request. */
#define ACL_TCAM_FS_MSG_GET 1
#define ACL_TCAM_FS_MSG_GET_ALT 2
#define ACL_TCAM_FS_MSG_SET 3
#define ACL_TCAM_FS_MSG_DEL 4

/*
 * The request and reply payload: a 112-byte header and a 72-byte body. ALL
 * MULTI-BYTE FIELDS ARE BIG-ENDIAN on every host. Bytes the library neither
 * reads nor writes (the opaque areas) go back to the requester unchanged.
 */
typedef struct flow_stats_cmi {
    int32_t msg_type; /* 1 or 2 get, 3 set, 4 delete */
    uint32_t aux;     /* 0 in a short reply, carried in a full reply */
    uint32_t status;  /* reply: the request's status, 0 in a full reply */
    uint8_t opaque_hdr[100];
    /* request body, offset 112 */
    uint8_t opaque_body0[12];
    int32_t index;     /* must not be 0 */
    uint8_t flow_type; /* ACL_TCAM_FS_REQ_FLOW_* */
    uint8_t opaque_body1[3];
    uint32_t vsan_id; /* 1 to 4095 */
    uint32_t did;     /* 0x10000 to 0xffffff, SID/DID flows only */
    uint32_t sid;     /* 0x10000 to 0xffffff, SID/DID flows only */
    uint32_t mask;    /* ACL_TCAM_FS_REQ_MASK_*, SID/DID flows only */
    uint8_t opaque_body2[4];
    uint64_t frames; /* full reply: the flow's frame total */
    uint64_t bytes;  /* full reply: the flow's byte total */
    uint8_t opaque_body3[16];
} flow_stats_cmi_t;

/* ---- Display reply ------------------------------------------------------- */

#define ACL_TCAM_FS_PRINT_TEXT_CAPACITY 120632u
#define ACL_TCAM_FS_PRINT_FLUSH_THRESHOLD 120432u
#define ACL_TCAM_FS_PRINT_REPLY_LEN 120652u

/*
 * One chunk of the flow table display, sent whole (120652 bytes) every time.
 * last_chunk and text_len are BIG-ENDIAN. text holds text_len bytes and a NUL;
 * what lies behind the NUL is left over from earlier chunks.
 */
typedef struct acl_tcam_fs_print_reply {
    uint32_t reserved[3];
    uint32_t last_chunk; /* 1 in the final chunk of a display */
    int32_t text_len;
    char text[ACL_TCAM_FS_PRINT_TEXT_CAPACITY];
} acl_tcam_fs_print_reply_t;

/* ---- Platform message -------------------------------------------------- */

/* Opaque message of the platform's message service; its first 25 bytes (six
 * u32 and one u8) identify it. */
typedef struct vexa_msg vexa_msg_t;

/* ---- Life cycle ---------------------------------------------------------- */

/*
 * Creates the flow tree and a counter table of table_size entries, of which
 * ids start_counter_id to table_size - 1 are handed out, and sends the
 * initial download request on handle (a failed send is logged, not
 * returned). ACL_TCAM_FS_ERR_INIT_ARGS when table_size is 0, not above
 * start_counter_id, or 65536 and more (counter ids are 16 bits wide);
 * ACL_TCAM_FS_ERR_NO_MEMORY when the tree or table cannot be allocated.
 * Calling it again resets the library: every stored flow is dropped (the host
 * is not told) and the old counter table is freed.
 */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_init(uint32_t handle, uint32_t start_counter_id,
                                            uint32_t table_size);
/* 1 once the flow tree exists, else 0. */
ACL_TCAM_FS_API int acl_tcam_flow_is_initialized(void);
/* The host declares its TCAM region ready; until then flow requests other
 * than queries are refused. Cannot be undone. */
ACL_TCAM_FS_API void acl_tcam_flow_set_region_init_done(void);
/* 1 once the region is ready, else 0. */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_is_region_init_done(void);
/* Number of stored flows; 0 (and an error log) before initialisation. */
ACL_TCAM_FS_API uint32_t acl_tcam_get_avl_flow_count(void);

/* ---- Flow operations ----------------------------------------------------- */
/*
 * Each takes a request record as acl_tcam_build_flow_request fills it; only
 * bitmask, vsan, did and sid select the flow. Before a successful
 * acl_tcam_flow_init (or after one whose counter table could not be
 * allocated) each returns ACL_TCAM_FS_ERR_REGION_NOT_INIT and changes nothing.
 */

/* Adds the flow with a counter of its own and has the host move its entry
 * onto it. ACL_TCAM_FS_ERR_FLOW_EXISTS, ACL_TCAM_FS_ERR_NO_MEMORY,
 * ACL_TCAM_FS_ERR_COUNTERS_EXHAUSTED, the OR of failed counter-read codes, or
 * the handle-update callback's code (the flow then stays inserted). */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_set(flow_t *req);
/* Writes the flow's frame and byte totals into req->pos_frames and
 * req->pos_bytes; on failure leaves them untouched. ACL_TCAM_FS_ERR_NO_ENTRY
 * or counter-read codes. */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_get(flow_t *req);
/* Removes the flow, handing its counts to every covering flow and its entry
 * to the nearest covering flow's counter (0 when none). Removing an absent
 * flow returns 0. */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_del(flow_t *key);

/* ---- Message front end --------------------------------------------------- */

/* Validates a request body (byte 112 of a big-endian flow_stats_cmi_t) and
 * fills *record. ACL_TCAM_FS_ERR_INVALID_INDEX or ACL_TCAM_FS_ERR_INVALID_ARG. */
ACL_TCAM_FS_API uint32_t acl_tcam_build_flow_request(const void *body, flow_t *record);
/* Serves one flow-statistics message and replies on handle. Returns the
 * request's status; the outcome of the reply's send does not change it. */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_process_stats_msg(uint32_t handle, const vexa_msg_t *msg);
/* Sends the 112-byte short reply carrying status. 0, ACL_TCAM_FS_ERR_NULL_PAYLOAD
 * or errno of a failed send. */
ACL_TCAM_FS_API uint32_t acl_tcam_cmi_resp(uint32_t handle, const vexa_msg_t *msg, uint32_t status);
/* Sends the 184-byte full reply carrying totals[0] frames and totals[1]
 * bytes. 0, 1 (no memory), ACL_TCAM_FS_ERR_NULL_PAYLOAD or the send's result. */
ACL_TCAM_FS_API uint32_t acl_tcam_cmi_resp_data(uint32_t handle, const vexa_msg_t *msg,
                                                const uint64_t *totals);

/* ---- Counter lookup (callable from inside host callbacks) ---------------- */

/* Writes to *out the counter of the most specific flow matching the key:
 * exact, else domain-based, else VSAN-based, else 0. sid and did are given
 * as stored for the type. An invalid type leaves *out alone. Always 0. */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_get_counter_id(uint32_t vsan, uint32_t sid, uint32_t did,
                                                      uint32_t type, uint32_t *out);
/* Writes to *out the counter whose entry records the finer flow; a tie goes to
 * second unless its entry is free. An id outside the table reads as a free
 * entry. Always 0. */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_choose_counter(uint32_t first, uint32_t second,
                                                      uint32_t *out);

/* ---- Display ------------------------------------------------------------- */

/* Prints the flow table to standard output and sends it in chunks in
 * acl_tcam_fs_print_reply, answering the message whose first 25 bytes
 * request_msg points to. Returns the status of the final send. */
ACL_TCAM_FS_API uint32_t acl_tcam_print_flows_info(const void *request_msg);
/* Logs one flow record on one line; NULL logs nothing. */
ACL_TCAM_FS_API void acl_tcam_dump_flow(const flow_t *flow);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks ------------------------------------------------------- */

static_assert(sizeof(flow_t) == 64, "flow_t is 64 bytes");
static_assert(offsetof(flow_t, bitmask) == 16, "flow_t key is 20 bytes");
static_assert(offsetof(flow_t, pos_frames) == 24, "totals of a query at 24");
static_assert(offsetof(flow_t, pos_bytes) == 32, "totals of a query at 32");
static_assert(offsetof(flow_t, neg_frames) == 40, "flow_t layout");
static_assert(offsetof(flow_t, neg_bytes) == 48, "flow_t layout");

static_assert(sizeof(flow_hw_stats_t) == 16, "flow_hw_stats_t is 16 bytes");

/* Records holding a pointer follow its width: 12 and 16 bytes on the 32-bit
 * target, natural alignment elsewhere. */
static_assert(offsetof(gl_counter_table_t, counter_id) == 2, "gl_counter_table_t layout");
static_assert(offsetof(gl_counter_table_t, type) == 4, "gl_counter_table_t layout");
static_assert(offsetof(gl_counter_table_t, owner) == 8, "gl_counter_table_t layout");
static_assert(sizeof(gl_counter_table_t) == 8 + sizeof(flow_t *), "gl_counter_table_t size");
static_assert(offsetof(flow_handle_update_t, counter_id) == sizeof(flow_t *), "update layout");
static_assert(offsetof(flow_handle_update_t, install) == sizeof(flow_t *) + 4, "update layout");
static_assert(offsetof(flow_handle_update_t, flag) == sizeof(flow_t *) + 8, "update layout");
static_assert(sizeof(flow_t *) != 4 || sizeof(flow_handle_update_t) == 16, "update is 16 bytes");

static_assert(sizeof(flow_stats_cmi_t) == ACL_TCAM_FS_CMI_LEN, "payload is 184 bytes");
static_assert(offsetof(flow_stats_cmi_t, aux) == 4, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, status) == 8, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, opaque_body0) == ACL_TCAM_FS_CMI_BODY_OFFSET,
              "body at 112");
static_assert(offsetof(flow_stats_cmi_t, index) == 124, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, flow_type) == 128, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, vsan_id) == 132, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, did) == 136, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, sid) == 140, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, mask) == 144, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, frames) == 152, "payload layout");
static_assert(offsetof(flow_stats_cmi_t, bytes) == 160, "payload layout");

static_assert(sizeof(acl_tcam_fs_print_reply_t) == ACL_TCAM_FS_PRINT_REPLY_LEN,
              "display reply is 120652 bytes");
static_assert(offsetof(acl_tcam_fs_print_reply_t, last_chunk) == 12, "display reply layout");
static_assert(offsetof(acl_tcam_fs_print_reply_t, text_len) == 16, "display reply layout");
static_assert(offsetof(acl_tcam_fs_print_reply_t, text) == 20, "display reply layout");

/* The rest of the exported set, after everything it refers to. */
#include "acl_tcam_flow_stats_compat.h"

#endif /* ACL_TCAM_FLOW_STATS_H */
