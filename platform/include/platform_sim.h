/*
 * Host-side controls of the in-process platform stand-ins: building
 * messages, capturing sends, fault injection and memory accounting. Hosts and
 * tests include this; the flow stats library never does.
 */
#ifndef PLATFORM_SIM_H
#define PLATFORM_SIM_H

#include <stdint.h>
#include <stdio.h>

#include "avl.h"
#include "card.h"
#include "mtrack.h"
#include "vexa.h"
#include "vexa_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Message service ----------------------------------------------------- */

/* What one vexa_send handed over. Pointers are valid only during the sink
 * call. */
typedef struct vexa_sim_sent {
    uint32_t handle;
    vexa_addr_t dst;
    uint32_t opcode;
    const uint8_t *payload;
    uint32_t len;
    uint32_t flags;
    int has_reply_to;                    /* 0 when reply_to was NULL */
    uint8_t reply_to[VEXA_SIM_DESC_LEN]; /* the answered message's descriptor */
    uint32_t timeout;
} vexa_sim_sent_t;

/* Receives every send; its result becomes vexa_send's. A sink that fails
 * may set errno itself; otherwise vexa_send sets it to EIO. */
typedef int (*vexa_sim_sink_fn)(void *user, const vexa_sim_sent_t *sent);

/* Installs the sink (NULL: sends succeed and go nowhere). */
void vexa_sim_set_sink(vexa_sim_sink_fn sink, void *user);
/* Number of vexa_send calls since load. */
uint64_t vexa_sim_send_count(void);

/* ---- Tree service -------------------------------------------------------- */

/* Makes the next call of the operation fail as if memory were short
 * (create, insert) or the key absent (delete). One shot each. */
void avl_sim_fail_next_create(void);
void avl_sim_fail_next_insert(void);
void avl_sim_fail_next_delete(void);
/* Checks order, balance, parent links, heights and count. Returns the height,
 * or -1 when an invariant is broken. */
int avl_sim_check(const avl_tree_t *tree);
/* Frees the tree's nodes and the tree, not the records. */
void avl_sim_destroy(avl_tree_t *tree);

/* ---- Memory tracker ------------------------------------------------------ */

#define MTRACK_SIM_MAX_TYPES 16u

/* Fails the nth allocation or reallocation from now on (1 = the next one);
 * 0 disarms. */
void mtrack_sim_fail_nth(uint32_t n);
/* Fails every allocation of one memory type of one module until cleared. */
void mtrack_sim_fail_type(uint32_t module_id, uint32_t mem_type);
/* Fills every new block with byte (0 to 255), as a reused heap may hand it
 * out; -1 (the default) leaves blocks as they come. */
void mtrack_sim_fill_new_blocks(int byte);
/* Disarms every fault. */
void mtrack_sim_clear_faults(void);

/* Registered display name of a module, or NULL. */
const char *mtrack_sim_module_name(uint32_t module_id);
/* Registered name of a memory type, or NULL. */
const char *mtrack_sim_type_name(uint32_t module_id, uint32_t mem_type);
/* Live blocks and bytes of one memory type. */
uint64_t mtrack_sim_live_blocks(uint32_t module_id, uint32_t mem_type);
uint64_t mtrack_sim_live_bytes(uint32_t module_id, uint32_t mem_type);
/* The most recently allocated block of one memory type that is still live,
 * or NULL: lets a test look at a library's own tables. */
void *mtrack_sim_last_block(uint32_t module_id, uint32_t mem_type);
/* Allocations attempted (successful or not) since load. */
uint64_t mtrack_sim_alloc_calls(void);
/* Writes one line per memory type with live blocks; returns the number of
 * live blocks over all modules. */
uint64_t mtrack_sim_leak_report(FILE *out);

/* ---- Card service -------------------------------------------------------- */

/* Sets the slot that card_get_slot_num reports (default 1). */
void card_sim_set_slot(uint32_t slot);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_SIM_H */
