#include "hash2.h"

#include <stdlib.h>
#include <string.h>

namespace {

// The mixing step of lookup2: reversible, every input bit affects every
// output bit.
inline void mix(uint32_t &a, uint32_t &b, uint32_t &c) {
  // clang-format off
  a -= b; a -= c; a ^= (c >> 13);
  b -= c; b -= a; b ^= (a << 8);
  c -= a; c -= b; c ^= (b >> 13);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 16);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 3);
  b -= c; b -= a; b ^= (a << 10);
  c -= a; c -= b; c ^= (b >> 15);
  // clang-format on
}

inline uint32_t le32(const uint8_t *k) {
  return static_cast<uint32_t>(k[0]) | (static_cast<uint32_t>(k[1]) << 8) |
         (static_cast<uint32_t>(k[2]) << 16) | (static_cast<uint32_t>(k[3]) << 24);
}

bool usable(const hash_struct *map) {
  return map != nullptr && map->hash_table != nullptr;
}

node_struct *bucket_of(hash_struct *map, const void *key, uint32_t key_len) {
  return &map->hash_table[hash(key, key_len, 0) & map->hash_mask];
}

bool key_matches(const node_struct *node, const void *key, uint32_t key_len) {
  return node->item != nullptr && memcmp(node->item, key, key_len) == 0;
}

// Frees the items of every bucket (through `callback` when given) and the
// overflow nodes; the heads are zeroed.
void release_all(hash_struct *map, void (*callback)(void *item)) {
  for (uint32_t i = 0; i < map->map_size; i++) {
    node_struct *head = &map->hash_table[i];
    node_struct *node = head->next;
    while (node != nullptr) {
      node_struct *next = node->next;
      if (callback != nullptr) {
        callback(node->item);
      } else {
        free(node->item);
      }
      free(node);
      node = next;
    }
    if (head->item != nullptr) {
      if (callback != nullptr) {
        callback(head->item);
      } else {
        free(head->item);
      }
    }
    memset(head, 0, sizeof(*head));
  }
  map->item_count = 0;
}

}  // namespace

uint32_t hash(const void *key, uint32_t length, uint32_t initval) {
  const uint8_t *k = static_cast<const uint8_t *>(key);
  uint32_t a = 0x9e3779b9;
  uint32_t b = 0x9e3779b9;
  uint32_t c = initval;
  uint32_t len = length;
  while (len >= 12) {
    a += le32(k);
    b += le32(k + 4);
    c += le32(k + 8);
    mix(a, b, c);
    k += 12;
    len -= 12;
  }
  // The last 0..11 bytes; the low byte of c is reserved for the length.
  c += length;
  uint8_t tail[12] = {};
  if (len > 0) memcpy(tail, k, len);
  a += le32(tail);
  b += le32(tail + 4);
  c += le32(tail + 8) << 8;
  mix(a, b, c);
  return c;
}

int map_init(hash_struct *map, uint16_t size, uint16_t item_size) {
  if (map == nullptr) return -2;
  memset(map, 0, sizeof(*map));
  if (size == 0 || (size & (size - 1)) != 0) return -2;
  map->hash_table = static_cast<node_struct *>(calloc(size, sizeof(node_struct)));
  if (map->hash_table == nullptr) return -1;
  map->map_size = size;
  map->hash_mask = static_cast<uint16_t>(size - 1);
  map->item_size = item_size;
  return 0;
}

unsigned int map_setat(hash_struct *map, const void *key, uint32_t key_len, void *item) {
  if (!usable(map) || key == nullptr || item == nullptr) return MAP_SETAT_FAILED;
  node_struct *head = bucket_of(map, key, key_len);
  uint32_t index = static_cast<uint32_t>(head - map->hash_table);
  if (head->item == nullptr) {
    head->hash_key = index;
    head->item = item;
    map->item_count++;
    return 1;
  }
  node_struct *last = head;
  for (node_struct *node = head; node != nullptr; node = node->next) {
    if (key_matches(node, key, key_len)) {
      // Storing the very item again must not free it.
      if (node->item != item) free(node->item);
      node->item = item;
      return 2;
    }
    last = node;
  }
  node_struct *added = static_cast<node_struct *>(calloc(1, sizeof(node_struct)));
  if (added == nullptr) return MAP_SETAT_FAILED;
  added->hash_key = index;
  added->item = item;
  last->next = added;
  map->item_count++;
  return 1;
}

int map_lookup(hash_struct *map, const void *key, uint32_t key_len, void **item) {
  if (!usable(map) || key == nullptr) return 0;
  for (node_struct *node = bucket_of(map, key, key_len); node != nullptr; node = node->next) {
    if (key_matches(node, key, key_len)) {
      if (item != nullptr) *item = node->item;
      return 1;
    }
  }
  return 0;
}

int map_item_delete(hash_struct *map, const void *key, uint32_t key_len) {
  if (!usable(map) || key == nullptr) return 0;
  node_struct *head = bucket_of(map, key, key_len);
  node_struct *prev = nullptr;
  for (node_struct *node = head; node != nullptr; prev = node, node = node->next) {
    if (!key_matches(node, key, key_len)) continue;
    free(node->item);
    if (node == head) {
      node_struct *second = head->next;
      if (second != nullptr) {
        // The head lives in the table: the second node moves into it.
        *head = *second;
        free(second);
      } else {
        head->item = nullptr;
      }
    } else {
      prev->next = node->next;
      free(node);
    }
    map->item_count--;
    return 1;
  }
  return 0;
}

uint32_t map_walk(hash_struct *map, int (*fn)(void *item, void *arg), void *arg) {
  if (!usable(map) || fn == nullptr) return 0;
  uint32_t visited = 0;
  for (uint32_t i = 0; i < map->map_size; i++) {
    for (node_struct *node = &map->hash_table[i]; node != nullptr; node = node->next) {
      if (node->item == nullptr) continue;
      visited++;
      if (fn(node->item, arg) != 0) return visited;
    }
  }
  return visited;
}

void map_clear(hash_struct *map) {
  if (!usable(map)) return;
  release_all(map, nullptr);
}

void map_destroy_ex(hash_struct *map, void (*callback)(void *item)) {
  if (map == nullptr) return;
  if (map->hash_table != nullptr) {
    release_all(map, callback);
    free(map->hash_table);
  }
  memset(map, 0, sizeof(*map));
}

void map_destroy(hash_struct *map) {
  map_destroy_ex(map, nullptr);
}
