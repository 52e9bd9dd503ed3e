// hash2: fixed-size chained hash map of owned items, keyed by each item's
// leading bytes.
//
// An item's key is its own first `key_len` bytes: callers store malloc'ed
// items that begin with their key, and every operation compares with memcmp
// over the key length it is given. The map owns stored items and frees them
// with free() (map_destroy_ex hands them to a callback instead). The bucket
// count is fixed at map_init and must be a power of two; the first node of
// each bucket lives in the table, further nodes are allocated.
//
// No locking: a shared map is guarded by its owner's lock around every call.
#ifndef COMMON_INTERNAL_HASH2_H
#define COMMON_INTERNAL_HASH2_H

#include <stddef.h>
#include <stdint.h>

typedef struct node_struct {
  uint32_t hash_key;  // bucket index
  void *item;         // null in an empty bucket head
  struct node_struct *next;
} node_struct;

typedef struct hash_struct {
  node_struct *hash_table;  // map_size bucket heads
  uint16_t map_size;        // power of two
  uint16_t hash_mask;       // map_size - 1
  uint32_t item_count;
  uint16_t item_size;  // recorded, not used
} hash_struct;

// Result of map_setat when a node cannot be allocated.
#define MAP_SETAT_FAILED ((unsigned int)-1)

// Allocates and zeroes `size` bucket heads. Returns 0; -1 when memory is
// exhausted; -2 for a null map or a size that is 0 or not a power of two.
// On failure the map is left empty (hash_table null) and map_destroy is safe.
int map_init(hash_struct *map, uint16_t size, uint16_t item_size);

// Stores `item` (owned by the map from now on) under `key`. If an item with
// the same key is in the bucket it is freed and replaced: 2. Otherwise the
// item fills the empty bucket head or a new chained node and the count grows:
// 1. MAP_SETAT_FAILED when a node cannot be allocated or an argument is null
// (the caller keeps the item).
unsigned int map_setat(hash_struct *map, const void *key, uint32_t key_len, void *item);

// 1 and *item set when an item with `key` is stored, else 0 (*item untouched).
int map_lookup(hash_struct *map, const void *key, uint32_t key_len, void **item);

// Frees the item stored under `key` and its node. 1 when deleted, 0 when
// absent.
int map_item_delete(hash_struct *map, const void *key, uint32_t key_len);

// Calls fn(item, arg) for every stored item, bucket by bucket, until fn
// returns non-zero. The callback must not change the map. Returns the number
// of items visited.
uint32_t map_walk(hash_struct *map, int (*fn)(void *item, void *arg), void *arg);

// Frees every item and overflow node, zeroes the table; count 0. The table
// stays allocated for reuse.
void map_clear(hash_struct *map);

// Frees every item, the overflow nodes and the table; the map is left empty
// and may be map_init'ed again. Safe to call twice.
void map_destroy(hash_struct *map);

// As map_destroy, but hands each item to `callback` (which takes it over)
// instead of freeing it; a null callback frees as map_destroy does.
void map_destroy_ex(hash_struct *map, void (*callback)(void *item));

// Bob Jenkins' lookup2 hash of `length` bytes at `key` (12-byte blocks,
// little-endian byte assembly, golden-ratio start, length added into the
// third word). The map uses initval 0 and the low bits through its mask.
uint32_t hash(const void *key, uint32_t length, uint32_t initval);

#endif  // COMMON_INTERNAL_HASH2_H
