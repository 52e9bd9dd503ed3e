#include "hash2.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

namespace {

// Items begin with their key, as the map requires.
struct record {
  char key[36];
  int value;
};

record *new_record(const std::string &key, int value) {
  record *r = static_cast<record *>(calloc(1, sizeof(record)));
  snprintf(r->key, sizeof(r->key), "%s", key.c_str());
  r->value = value;
  return r;
}

int lookup_value(hash_struct *map, const std::string &key) {
  record k{};
  snprintf(k.key, sizeof(k.key), "%s", key.c_str());
  void *item = nullptr;
  if (map_lookup(map, k.key, sizeof(k.key), &item) != 1) return -1;
  return static_cast<record *>(item)->value;
}

unsigned int store(hash_struct *map, const std::string &key, int value) {
  record *r = new_record(key, value);
  unsigned int rc = map_setat(map, r->key, sizeof(r->key), r);
  if (rc == MAP_SETAT_FAILED) free(r);
  return rc;
}

int delete_key(hash_struct *map, const std::string &key) {
  record k{};
  snprintf(k.key, sizeof(k.key), "%s", key.c_str());
  return map_item_delete(map, k.key, sizeof(k.key));
}

int g_destroyed = 0;
void count_destroy(void *item) {
  g_destroyed++;
  free(item);
}

int sum_values(void *item, void *arg) {
  *static_cast<long *>(arg) += static_cast<record *>(item)->value;
  return 0;
}

}  // namespace

TEST(Hash2, HashDependsOnEveryByteLengthAndInitval) {
  const char text[] = "The quick brown fox jumps over the lazy dog";
  uint32_t base = hash(text, 43, 0);
  EXPECT_EQ(base, hash(text, 43, 0));
  EXPECT_NE(base, hash(text, 43, 1));
  EXPECT_NE(base, hash(text, 42, 0));
  // Flipping any single byte, in a full block or in the tail, changes the hash.
  for (size_t i = 0; i < 43; i++) {
    char copy[44];
    memcpy(copy, text, sizeof(copy));
    copy[i] ^= 0x01;
    EXPECT_NE(hash(copy, 43, 0), base) << "byte " << i;
  }
  // Zero bytes still count through the length.
  const char zeros[24] = {};
  std::set<uint32_t> seen;
  for (uint32_t len = 0; len <= 24; len++) seen.insert(hash(zeros, len, 0));
  EXPECT_EQ(seen.size(), 25u);
}

TEST(Hash2, InitRequiresPowerOfTwo) {
  hash_struct map;
  EXPECT_EQ(map_init(&map, 0, 0), -2);
  EXPECT_EQ(map_init(&map, 12, 0), -2);
  EXPECT_EQ(map_init(nullptr, 16, 0), -2);
  map_destroy(&map);
  ASSERT_EQ(map_init(&map, 1, sizeof(record)), 0);
  EXPECT_EQ(map.hash_mask, 0);
  EXPECT_EQ(store(&map, "a", 1), 1u);
  EXPECT_EQ(store(&map, "b", 2), 1u);
  EXPECT_EQ(lookup_value(&map, "b"), 2);
  map_destroy(&map);
  map_destroy(&map);
  EXPECT_EQ(map.hash_table, nullptr);
  EXPECT_EQ(store(&map, "c", 3), MAP_SETAT_FAILED);
}

TEST(Hash2, SameKeyReplacesAndFreesTheFirst) {
  hash_struct map;
  ASSERT_EQ(map_init(&map, 16, sizeof(record)), 0);
  EXPECT_EQ(store(&map, "dev-1", 1), 1u);
  EXPECT_EQ(store(&map, "dev-1", 2), 2u);
  EXPECT_EQ(map.item_count, 1u);
  EXPECT_EQ(lookup_value(&map, "dev-1"), 2);
  // Storing the very same item again must not free it.
  void *item = nullptr;
  record k{};
  snprintf(k.key, sizeof(k.key), "dev-1");
  ASSERT_EQ(map_lookup(&map, k.key, sizeof(k.key), &item), 1);
  EXPECT_EQ(map_setat(&map, k.key, sizeof(k.key), item), 2u);
  EXPECT_EQ(lookup_value(&map, "dev-1"), 2);
  map_destroy(&map);
}

TEST(Hash2, ManyCollisionsStayFindableThroughDeletes) {
  hash_struct map;
  ASSERT_EQ(map_init(&map, 16, sizeof(record)), 0);
  for (int i = 0; i < 100; i++) EXPECT_EQ(store(&map, "id-" + std::to_string(i), i), 1u);
  EXPECT_EQ(map.item_count, 100u);
  for (int i = 0; i < 100; i++) EXPECT_EQ(lookup_value(&map, "id-" + std::to_string(i)), i);
  EXPECT_EQ(lookup_value(&map, "id-100"), -1);

  long sum = 0;
  EXPECT_EQ(map_walk(&map, sum_values, &sum), 100u);
  EXPECT_EQ(sum, 4950);

  // Delete every third item: heads, middles and ends of chains alike.
  for (int i = 0; i < 100; i += 3) EXPECT_EQ(delete_key(&map, "id-" + std::to_string(i)), 1);
  EXPECT_EQ(delete_key(&map, "id-0"), 0);
  EXPECT_EQ(map.item_count, 66u);
  for (int i = 0; i < 100; i++) {
    EXPECT_EQ(lookup_value(&map, "id-" + std::to_string(i)), i % 3 == 0 ? -1 : i) << i;
  }
  // Every bucket head and chain node carries its bucket index.
  for (uint32_t b = 0; b < map.map_size; b++) {
    for (node_struct *n = &map.hash_table[b]; n != nullptr && n->item != nullptr; n = n->next) {
      EXPECT_EQ(n->hash_key, b);
    }
  }
  // Deleted keys can be stored again.
  EXPECT_EQ(store(&map, "id-0", 1000), 1u);
  EXPECT_EQ(lookup_value(&map, "id-0"), 1000);
  map_destroy(&map);
}

TEST(Hash2, ClearEmptiesForReuseAndDestroyExHandsItemsOver) {
  hash_struct map;
  ASSERT_EQ(map_init(&map, 4, sizeof(record)), 0);
  for (int i = 0; i < 20; i++) store(&map, "k" + std::to_string(i), i);
  map_clear(&map);
  EXPECT_EQ(map.item_count, 0u);
  EXPECT_EQ(lookup_value(&map, "k1"), -1);
  EXPECT_EQ(store(&map, "k1", 11), 1u);
  EXPECT_EQ(lookup_value(&map, "k1"), 11);
  for (int i = 0; i < 9; i++) store(&map, "x" + std::to_string(i), i);
  g_destroyed = 0;
  map_destroy_ex(&map, count_destroy);
  EXPECT_EQ(g_destroyed, 10);
  EXPECT_EQ(map.item_count, 0u);
}

TEST(Hash2, KeyLengthDecidesWhatIsCompared) {
  hash_struct map;
  ASSERT_EQ(map_init(&map, 8, 0), 0);
  // Keys sharing a 4-byte prefix collide as one key when only 4 bytes count.
  char *a = strdup("abcd-1");
  char *b = strdup("abcd-2");
  EXPECT_EQ(map_setat(&map, a, 4, a), 1u);
  EXPECT_EQ(map_setat(&map, b, 4, b), 2u);
  void *item = nullptr;
  EXPECT_EQ(map_lookup(&map, "abcd", 4, &item), 1);
  EXPECT_EQ(item, b);
  EXPECT_EQ(map_lookup(&map, "abce", 4, &item), 0);
  map_destroy(&map);
}
