/*
 * Platform memory tracker: allocations accounted per module and memory type.
 */
#ifndef PLATFORM_MTRACK_H
#define PLATFORM_MTRACK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Registers a module's display name and the names of its memory types. The
 * strings must outlive the process's use of the tracker. */
int mtrack_init(const char *name, uint32_t module_id, const char *const *type_names,
                uint32_t n_types);
/* size bytes, not zero-filled, or NULL. */
void *mtrack_alloc(uint32_t module_id, uint32_t mem_type, uint32_t size);
/* Resizes a block (NULL block: allocates); NULL on failure, block untouched. */
void *mtrack_realloc(void *block, uint32_t size, uint32_t mem_type);
/* Frees a block; NULL is ignored. */
void mtrack_free(void *block);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_MTRACK_H */
