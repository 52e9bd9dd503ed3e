#include "vlist.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

namespace {

int g_cleared = 0;
int count_clear(void *data) {
  g_cleared++;
  return *static_cast<int *>(data);
}
int other_clear(void *) {
  return 0;
}

vlist_item_t *push_int(vlist_t *list, int value) {
  vlist_item_t *item = nullptr;
  int *p = static_cast<int *>(vlist_new_item(sizeof(int), &item));
  EXPECT_NE(p, nullptr);
  *p = value;
  vlist_push_back(list, item);
  return item;
}

std::vector<int> contents(vlist_t *list) {
  std::vector<int> out;
  vlist_item_t *cursor = nullptr;
  for (int guard = 0; guard < 1000; guard++) {
    int *p = static_cast<int *>(vlist_getting_data(list, nullptr, &cursor));
    if (p == nullptr) break;
    out.push_back(*p);
  }
  return out;
}

// Checks the links agree in both directions with head, tail and count.
void expect_consistent(const vlist_t *list) {
  uint32_t n = 0;
  const vlist_item_t *prev = nullptr;
  for (const vlist_item_t *it = list->head; it != nullptr && n <= list->count; it = it->next) {
    EXPECT_EQ(it->prev, prev);
    prev = it;
    n++;
  }
  EXPECT_EQ(n, list->count);
  EXPECT_EQ(prev, list->tail);
}

}  // namespace

TEST(Vlist, InitAndNewItem) {
  vlist_t list;
  int err = 5;
  ASSERT_EQ(vlist_init(&list, nullptr, &err), &list);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(list.is_alloc, 0);
  EXPECT_EQ(list.array, nullptr);

  vlist_item_t *item = reinterpret_cast<vlist_item_t *>(0x1);
  EXPECT_EQ(vlist_new_item(0, &item), nullptr);
  EXPECT_EQ(item, reinterpret_cast<vlist_item_t *>(0x1));
  EXPECT_EQ(vlist_new_item(4, nullptr), nullptr);
  EXPECT_EQ(vlist_new_item(UINT64_MAX, &item), nullptr);
  EXPECT_EQ(item, nullptr);

  unsigned char *p = static_cast<unsigned char *>(vlist_new_item(33, &item));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(max_align_t), 0u);
  for (int i = 0; i < 33; i++) EXPECT_EQ(p[i], 0);
  uint64_t size = 0;
  EXPECT_EQ(vlist_get_data_from_item(&size, item), p);
  EXPECT_EQ(size, 33u);
  EXPECT_EQ(vlist_get_size_from_item(item), 33u);
  EXPECT_EQ(vlist_get_size_from_item(nullptr), 0u);
  EXPECT_EQ(vlist_get_data_from_item(&size, nullptr), nullptr);
  vlist_destroy_item(&list, item);
}

TEST(Vlist, WalkingAnEmptyListEndsAtOnce) {
  vlist_t list;
  vlist_init(&list, nullptr, nullptr);
  vlist_item_t *cursor = nullptr;
  uint64_t size = 7;
  EXPECT_EQ(vlist_getting_data(&list, &size, &cursor), nullptr);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(vlist_pop_front(&list), nullptr);
  vlist_item_t *item = reinterpret_cast<vlist_item_t *>(0x1);
  EXPECT_EQ(vlist_pop_front_data(&list, &size, &item), nullptr);
  EXPECT_EQ(item, nullptr);
}

TEST(Vlist, PushPopKeepsOrderAndEnds) {
  vlist_t list;
  vlist_init(&list, nullptr, nullptr);
  for (int i = 0; i < 4; i++) push_int(&list, i);
  EXPECT_EQ(contents(&list), (std::vector<int>{0, 1, 2, 3}));
  expect_consistent(&list);
  for (int i = 0; i < 4; i++) {
    uint64_t size = 0;
    vlist_item_t *item = nullptr;
    int *p = static_cast<int *>(vlist_pop_front_data(&list, &size, &item));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, i);
    EXPECT_EQ(size, sizeof(int));
    expect_consistent(&list);
    vlist_destroy_item(&list, item);
  }
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.tail, nullptr);
  EXPECT_EQ(vlist_push_back(nullptr, nullptr), 0);
}

TEST(Vlist, RemovingDuringAWalkVisitsEveryRemainingItemOnce) {
  vlist_t list;
  vlist_init(&list, nullptr, nullptr);
  for (int i = 0; i < 10; i++) push_int(&list, i);
  std::vector<int> seen;
  vlist_item_t *cursor = nullptr;
  for (int guard = 0; guard < 100; guard++) {
    int *p = static_cast<int *>(vlist_getting_data(&list, nullptr, &cursor));
    if (p == nullptr) break;
    seen.push_back(*p);
    // Remove the first, every even item and the last.
    if (*p % 2 == 0 || *p == 9) {
      vlist_item_t *current = cursor;
      cursor = vlist_pop_item(&list, current);
      vlist_destroy_item(&list, current);
      expect_consistent(&list);
    }
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(contents(&list), (std::vector<int>{1, 3, 5, 7}));
  vlist_clean(&list);
}

TEST(Vlist, PopItemRefusesItemsNotInTheList) {
  vlist_t a, b;
  vlist_init(&a, nullptr, nullptr);
  vlist_init(&b, nullptr, nullptr);
  push_int(&a, 1);
  push_int(&a, 2);
  vlist_item_t *b_head = push_int(&b, 3);
  vlist_item_t *b_middle = push_int(&b, 4);
  vlist_item_t *b_tail = push_int(&b, 5);
  vlist_item_t *loose = nullptr;
  vlist_new_item(4, &loose);

  for (vlist_item_t *other :
       {b_head, b_middle, b_tail, loose, static_cast<vlist_item_t *>(nullptr)}) {
    EXPECT_EQ(vlist_pop_item(&a, other), nullptr);
  }
  EXPECT_EQ(a.count, 2u);
  EXPECT_EQ(b.count, 3u);
  expect_consistent(&a);
  expect_consistent(&b);

  vlist_item_t *only = vlist_pop_front(&a);
  EXPECT_EQ(vlist_pop_item(&a, only), nullptr);  // popped twice
  EXPECT_EQ(a.count, 1u);
  vlist_destroy_item(&a, only);
  vlist_destroy_item(&a, loose);
  vlist_clean(&a);
  vlist_clean(&b);
}

TEST(Vlist, CleanAndDestroy) {
  g_cleared = 0;
  vlist_t *list = vlist_init(nullptr, count_clear, nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->is_alloc, 1);
  push_int(list, 4);
  push_int(list, 6);
  ASSERT_EQ(vlist_lockup(list), 0);
  EXPECT_EQ(vlist_clean(list), 6);
  EXPECT_EQ(g_cleared, 2);
  EXPECT_EQ(list->array, nullptr);
  EXPECT_EQ(list->count, 0u);
  push_int(list, 8);
  EXPECT_EQ(vlist_destroy(list), 0);
  EXPECT_EQ(g_cleared, 3);

  // A record embedded in another structure is cleaned, not freed.
  struct owner {
    int before;
    vlist_t list;
  } o{};
  vlist_init(&o.list, count_clear, nullptr);
  push_int(&o.list, 1);
  EXPECT_EQ(vlist_destroy(&o.list), -2);
  EXPECT_EQ(o.list.count, 0u);
  EXPECT_EQ(g_cleared, 4);
  EXPECT_EQ(vlist_destroy(nullptr), -1);
  EXPECT_EQ(vlist_clean(nullptr), 0);
}

TEST(Vlist, IndexGivesDataByPositionAndIsDroppedOnChange) {
  vlist_t list;
  vlist_init(&list, nullptr, nullptr);
  EXPECT_EQ(vlist_lockup(&list), 0);  // empty: no index
  EXPECT_EQ(list.array, nullptr);
  for (int i = 0; i < 5; i++) push_int(&list, i * 10);
  EXPECT_EQ(vlist_get_data_at_index(&list, nullptr, 0), nullptr);
  ASSERT_EQ(vlist_lockup(&list), 0);
  EXPECT_EQ(vlist_lockup(&list), -1);
  for (uint32_t i = 0; i < 5; i++) {
    uint64_t size = 0;
    int *p = static_cast<int *>(vlist_get_data_at_index(&list, &size, i));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, static_cast<int>(i) * 10);
    EXPECT_EQ(size, sizeof(int));
  }
  EXPECT_EQ(vlist_get_data_at_index(&list, nullptr, 5), nullptr);

  // Popping an item would leave the index pointing at freed memory.
  vlist_item_t *first = vlist_pop_front(&list);
  vlist_destroy_item(&list, first);
  EXPECT_EQ(list.array, nullptr);
  EXPECT_EQ(vlist_get_data_at_index(&list, nullptr, 0), nullptr);
  ASSERT_EQ(vlist_lockup(&list), 0);
  EXPECT_EQ(*static_cast<int *>(vlist_get_data_at_index(&list, nullptr, 0)), 10);
  push_int(&list, 50);
  EXPECT_EQ(list.array, nullptr);
  vlist_clean(&list);
}

TEST(Vlist, MoveAppendsOrRefuses) {
  vlist_t to, from, other;
  vlist_init(&to, nullptr, nullptr);
  vlist_init(&from, nullptr, nullptr);
  vlist_init(&other, other_clear, nullptr);
  push_int(&to, 1);
  push_int(&from, 2);
  push_int(&from, 3);
  push_int(&other, 9);

  EXPECT_EQ(vlist_move(&to, &other), -1);
  EXPECT_EQ(other.count, 1u);

  ASSERT_EQ(vlist_lockup(&to), 0);
  EXPECT_EQ(vlist_move(&to, &from), -2);
  EXPECT_EQ(contents(&to), (std::vector<int>{1}));
  EXPECT_EQ(contents(&from), (std::vector<int>{2, 3}));
  free(to.array);
  to.array = nullptr;

  EXPECT_EQ(vlist_move(&to, &from), 0);
  EXPECT_EQ(contents(&to), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(from.count, 0u);
  EXPECT_EQ(from.head, nullptr);
  EXPECT_EQ(from.tail, nullptr);
  expect_consistent(&to);
  EXPECT_EQ(vlist_move(nullptr, &to), 0);
  EXPECT_EQ(vlist_move(&to, &to), 0);
  expect_consistent(&to);
  vlist_clean(&to);
  vlist_clean(&other);
}

TEST(Vlist, MoveLockupHandsOverItemsAndIndex) {
  vlist_t to, from, other;
  vlist_init(&to, nullptr, nullptr);
  vlist_init(&from, nullptr, nullptr);
  vlist_init(&other, other_clear, nullptr);
  push_int(&from, 5);
  push_int(&from, 6);
  ASSERT_EQ(vlist_lockup(&from), 0);
  EXPECT_EQ(vlist_move_lockup(&to, &other), -1);

  EXPECT_EQ(vlist_move_lockup(&to, &from), 0);
  EXPECT_EQ(to.count, 2u);
  EXPECT_EQ(*static_cast<int *>(vlist_get_data_at_index(&to, nullptr, 1)), 6);
  EXPECT_EQ(from.count, 0u);
  EXPECT_EQ(from.array, nullptr);
  EXPECT_EQ(from.head, nullptr);

  // Items still held by `to` would be lost: refused.
  push_int(&from, 7);
  EXPECT_EQ(vlist_move_lockup(&to, &from), -2);
  EXPECT_EQ(to.count, 2u);
  EXPECT_EQ(from.count, 1u);
  vlist_clean(&to);
  vlist_clean(&from);
  vlist_clean(&other);
}
