/*
 * ACL TCAM Flow Stats Library: the rest of the exported set.
 *
 * What the library exports for its own use and for tests, which a host never
 * calls: the tree comparison and walk callbacks, the wrappers through which
 * the library calls the host's callbacks and the memory tracker, the
 * memory-type names, the exported variables and the state record. Kept
 * exported and declared, unchanged, so that binaries and sources built
 * against earlier releases keep working; acl_tcam_flow_stats.h includes this header, so
 * every exported name is declared for a host that includes that one.
 *
 * Needs the records of acl_tcam_flow_stats.h, which it includes first.
 */
#ifndef ACL_TCAM_FLOW_STATS_COMPAT_H
#define ACL_TCAM_FLOW_STATS_COMPAT_H

#include "acl_tcam_flow_stats.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Context of a tree walk over the flows. The first 20 bytes describe the
 * walk's subject flow and have the layout of flow_t's first 20 bytes. Walk
 * callbacks report failures only by OR-ing codes into status. 48 bytes.
 */
typedef struct flow_walk_ctx {
    uint16_t type;
    uint16_t counter_id;
    uint32_t vsan;
    uint32_t sid;
    uint32_t did;
    uint32_t bitmask;
    uint16_t parent_counter_id; /* removal: nearest covering flow's counter; 0 = none */
    uint16_t reserved0;
    uint32_t status; /* OR of the walk's failure codes; 0 = none */
    uint32_t reserved1;
    uint64_t frames; /* accumulator */
    uint64_t bytes;  /* accumulator */
} flow_walk_ctx_t;

/* ---- Tree comparison and walk callbacks ---------------------------------- */

/* Key order: bitmask, vsan, did, sid, unsigned. Returns 1, -1 or 0. */
ACL_TCAM_FS_API int acl_tcam_flow_avl_compare(const void *a, const void *b);
/* Walk callbacks: node is a flow_t * in the tree, ctx a flow_walk_ctx_t *.
 * Their result means nothing; they report through ctx->status. */
ACL_TCAM_FS_API int get_finer_flow_stats(void *node, void *ctx);
ACL_TCAM_FS_API int set_coarser_flow_stats(void *node, void *ctx);
ACL_TCAM_FS_API int set_finer_flow_counters(void *node, void *ctx);
ACL_TCAM_FS_API int acl_tcam_get_parent_counter_id(void *node, void *ctx);

/* ---- Host-callback wrappers ---------------------------------------------- */

/* Hands text to the host's debug callback; ACL_TCAM_FS_ERR_NO_CALLBACK if the
 * host has none. */
ACL_TCAM_FS_API uint32_t acl_tcam_fs_debug(uint32_t level, uint32_t kind, const char *text);
/* Has the host move flow's entry onto counter_id; the host's code. */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_handle_update(flow_t *flow, uint16_t counter_id,
                                                     uint32_t install, uint32_t flag);
/* Reads a hardware counter through the host; the host's code. */
ACL_TCAM_FS_API uint32_t acl_tcam_flow_stats_get(uint32_t counter_id, flow_hw_stats_t *stats);

/* ---- Memory types -------------------------------------------------------- */

typedef enum acl_tcam_flow_stats_mem_type {
    ACL_TCAM_FS_MEM_flow_t = 0,             /* flow records */
    ACL_TCAM_FS_MEM_flow_stats_cmi_t = 1,   /* full reply buffers */
    ACL_TCAM_FS_MEM_gl_counter_table_t = 2, /* the counter table */
    ACL_TCAM_FS_MEM_MAX = 3
} acl_tcam_flow_stats_mem_type_t;

/* ---- Memory -------------------------------------------------------------- */

/* Allocate, reallocate and free through the platform memory tracker under
 * module ACL_TCAM_FS_MTRACK_ID. file and line name the caller in the failure
 * log. Blocks are not zero-filled. */
ACL_TCAM_FS_API void *acl_tcam_flow_malloc(const char *file, int line, uint32_t mem_type,
                                           uint32_t size);
ACL_TCAM_FS_API void *acl_tcam_flow_realloc(const char *file, int line, uint32_t mem_type,
                                            void *block, uint32_t size);
ACL_TCAM_FS_API void acl_tcam_flow_free(const char *file, int line, void *block);
/* Name of a memory type ("ACL_TCAM_FS_MEM_MAX" for 3), or NULL. */
ACL_TCAM_FS_API const char *__acl_tcam_flow_stats_mem_type_t_find(int value);
/* Memory type of a name, ignoring case; 0 when none matches. */
ACL_TCAM_FS_API int __acl_tcam_flow_stats_mem_type_t_str2enum(const char *name);

/* ---- Exported variables -------------------------------------------------- */

ACL_TCAM_FS_API extern uint32_t g_start_counter_id;   /* lowest id handed out */
ACL_TCAM_FS_API extern uint32_t g_counter_table_size; /* ids lie below it */
ACL_TCAM_FS_API extern uint16_t g_num_counters_used;  /* claimed counters */
/* The display reply buffer, reused by every display. */
ACL_TCAM_FS_API extern acl_tcam_fs_print_reply_t acl_tcam_fs_print_reply;

/* ---- Library state ------------------------------------------------------- */

/* Opaque handle of the platform's ordered tree service. */
struct avl_tree;
/* The 25 bytes (six u32 and one u8) at the start of a message that identify
 * it; a copy names the message a display reply answers. */
typedef struct acl_tcam_fs_msg_desc {
    uint32_t words[6];
    uint8_t tail;
} acl_tcam_fs_msg_desc_t;

/* The library's process-wide state; one static instance, for reference. */
typedef struct acl_tcam_fs_state {
    gl_counter_table_t *counter_table;   /* NULL until initialised */
    uint32_t handle;                     /* message-service handle of acl_tcam_flow_init */
    acl_tcam_fs_msg_desc_t request_desc; /* of the last display request */
    struct avl_tree *flow_tree;          /* NULL until initialised */
    uint16_t next_counter_id;            /* lowest id never handed out */
    uint32_t region_init_done;           /* 1 once the host declared the TCAM region ready */
} acl_tcam_fs_state_t;

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks ------------------------------------------------------- */

static_assert(sizeof(flow_walk_ctx_t) == 48, "flow_walk_ctx_t is 48 bytes");
static_assert(offsetof(flow_walk_ctx_t, bitmask) == 16, "context key like flow_t");
static_assert(offsetof(flow_walk_ctx_t, parent_counter_id) == 20, "flow_walk_ctx_t layout");
static_assert(offsetof(flow_walk_ctx_t, status) == 24, "flow_walk_ctx_t layout");
static_assert(offsetof(flow_walk_ctx_t, frames) == 32, "flow_walk_ctx_t layout");
static_assert(offsetof(flow_walk_ctx_t, bytes) == 40, "flow_walk_ctx_t layout");

static_assert(offsetof(acl_tcam_fs_msg_desc_t, tail) == 24, "a descriptor is 25 bytes");

#endif /* ACL_TCAM_FLOW_STATS_COMPAT_H */
