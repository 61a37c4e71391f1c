/*
 * Platform ordered tree service: a balanced binary search tree of records
 * stored by pointer (never copied) and ordered by the caller's comparison.
 */
#ifndef PLATFORM_AVL_H
#define PLATFORM_AVL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* <0, 0 or >0 as a sorts before, with or after b. */
typedef int (*avl_compare_fn)(const void *a, const void *b);
/* Visits one record; the result is ignored. */
typedef int (*avl_walk_fn)(void *record, void *ctx);

typedef struct avl_tree avl_tree_t;

/* A new empty tree, or NULL when memory is short. reserved must be NULL. */
avl_tree_t *avl_create(avl_compare_fn cmp, void *reserved);
/* Stores record. 0 when stored; non-zero when a record with an equal key is
 * already stored or memory is short (nothing stored then). */
int avl_insert(avl_tree_t *tree, void *record);
/* The stored record equal to key, or NULL. */
void *avl_find(avl_tree_t *tree, const void *key);
/* Unlinks the stored record equal to key and returns it, or NULL. */
void *avl_delete(avl_tree_t *tree, const void *key);
/* Calls fn(record, ctx) once per record in ascending key order. fn may change
 * a record's non-key fields but must not insert or delete. Returns 0. */
int avl_walk(avl_tree_t *tree, avl_walk_fn fn, void *ctx);
/* Number of stored records, in constant time. */
uint32_t avl_count(const avl_tree_t *tree);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_AVL_H */
