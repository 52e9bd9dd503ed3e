#include "mlist.h"

#include <gtest/gtest.h>
#include <stdint.h>

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

_MLIST_ITEM *push_int(mlist_t *list, int value) {
  _MLIST_ITEM *item = nullptr;
  int *p = static_cast<int *>(mlist_new_item(sizeof(int), &item));
  EXPECT_NE(p, nullptr);
  *p = value;
  EXPECT_EQ(mlist_push_back(list, item), 0);
  return item;
}

std::vector<int> contents(mlist_t *list) {
  std::vector<int> out;
  _MLIST_ITEM *cursor = nullptr;
  for (int i = 0; i < 1000; i++) {
    int *p = static_cast<int *>(mlist_getting_data(list, nullptr, &cursor));
    if (p == nullptr) break;
    out.push_back(*p);
  }
  return out;
}

// Checks head, tail and count agree with a walk.
void expect_consistent(mlist_t *list) {
  uint32_t n = 0;
  _MLIST_ITEM *last = nullptr;
  for (_MLIST_ITEM *it = list->head; it != nullptr && n <= list->count; it = it->next) {
    last = it;
    n++;
  }
  EXPECT_EQ(n, list->count);
  EXPECT_EQ(last, list->tail);
}

}  // namespace

TEST(Mlist, NewItemIsZeroedAlignedAndRefusesSizeZero) {
  _MLIST_ITEM *item = reinterpret_cast<_MLIST_ITEM *>(0x1);
  EXPECT_EQ(mlist_new_item(0, &item), nullptr);
  EXPECT_EQ(item, reinterpret_cast<_MLIST_ITEM *>(0x1));
  EXPECT_EQ(mlist_new_item(8, nullptr), nullptr);
  EXPECT_EQ(mlist_new_item(SIZE_MAX, &item), nullptr);
  EXPECT_EQ(item, nullptr);

  unsigned char *p = static_cast<unsigned char *>(mlist_new_item(100, &item));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(max_align_t), 0u);
  for (int i = 0; i < 100; i++) EXPECT_EQ(p[i], 0);
  size_t size = 0;
  EXPECT_EQ(mlist_get_data_from_item(&size, item), p);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(mlist_destroy_item(nullptr, item), 0);
}

TEST(Mlist, FifoOrderAndEmptyingResetsEnds) {
  mlist_t list;
  int err = 99;
  ASSERT_EQ(mlist_init(&list, nullptr, &err), &list);
  EXPECT_EQ(err, 0);
  _MLIST_ITEM *only = push_int(&list, 1);
  size_t size = 0;
  _MLIST_ITEM *item = nullptr;
  int *p = static_cast<int *>(mlist_pop_front_data(&list, &size, &item));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(*p, 1);
  EXPECT_EQ(item, only);
  EXPECT_EQ(size, sizeof(int));
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.tail, nullptr);
  EXPECT_EQ(list.count, 0u);
  mlist_destroy_item(&list, item);
  EXPECT_EQ(mlist_pop_front_data(&list, &size, &item), nullptr);
  EXPECT_EQ(item, nullptr);

  for (int i = 0; i < 5; i++) push_int(&list, i);
  EXPECT_EQ(contents(&list), (std::vector<int>{0, 1, 2, 3, 4}));
  for (int i = 0; i < 5; i++) {
    p = static_cast<int *>(mlist_pop_front_data(&list, nullptr, &item));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, i);
    mlist_destroy_item(&list, item);
  }
  expect_consistent(&list);
  EXPECT_EQ(mlist_push_back(nullptr, item), -1);
  EXPECT_EQ(mlist_push_back(&list, nullptr), -1);
}

TEST(Mlist, PopByItemFromEveryPositionKeepsListConsistent) {
  for (int victim = 0; victim < 4; victim++) {
    mlist_t list;
    mlist_init(&list, nullptr, nullptr);
    std::vector<_MLIST_ITEM *> items;
    for (int i = 0; i < 4; i++) items.push_back(push_int(&list, i));
    int *p = static_cast<int *>(mlist_pop_data_by_item(&list, items[victim]));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(*p, victim);
    expect_consistent(&list);
    EXPECT_EQ(contents(&list).size(), 3u);
    // Appending after removing the tail must link behind the new tail.
    push_int(&list, 9);
    expect_consistent(&list);
    EXPECT_EQ(contents(&list).back(), 9);
    mlist_destroy_item(&list, items[victim]);
    mlist_clean(&list);
  }
}

TEST(Mlist, PopByItemRefusesItemsNotInTheList) {
  mlist_t a, b;
  mlist_init(&a, nullptr, nullptr);
  mlist_init(&b, nullptr, nullptr);
  push_int(&a, 1);
  push_int(&a, 2);
  _MLIST_ITEM *foreign = push_int(&b, 3);
  _MLIST_ITEM *loose = nullptr;
  mlist_new_item(4, &loose);

  EXPECT_EQ(mlist_pop_data_by_item(&a, foreign), nullptr);
  EXPECT_EQ(mlist_pop_data_by_item(&a, loose), nullptr);
  EXPECT_EQ(mlist_pop_data_by_item(&a, nullptr), nullptr);
  EXPECT_EQ(a.count, 2u);
  EXPECT_EQ(b.count, 1u);
  expect_consistent(&a);
  expect_consistent(&b);
  // Popping the same item twice: the second time it is no longer linked.
  EXPECT_NE(mlist_pop_data_by_item(&b, foreign), nullptr);
  EXPECT_EQ(mlist_pop_data_by_item(&b, foreign), nullptr);
  EXPECT_EQ(b.count, 0u);
  mlist_destroy_item(&b, foreign);
  mlist_destroy_item(&a, loose);
  mlist_clean(&a);
}

TEST(Mlist, RemovingDuringAWalkVisitsEveryItemOnce) {
  mlist_t list;
  mlist_init(&list, nullptr, nullptr);
  for (int i = 0; i < 10; i++) push_int(&list, i);
  std::vector<int> seen;
  _MLIST_ITEM *cursor = nullptr;
  _MLIST_ITEM *prev = nullptr;
  for (int guard = 0; guard < 100; guard++) {
    int *p = static_cast<int *>(mlist_getting_data(&list, nullptr, &cursor));
    if (p == nullptr) break;
    seen.push_back(*p);
    if (*p % 2 == 0) {
      _MLIST_ITEM *current = cursor;
      mlist_pop_data_by_item(&list, current);
      mlist_destroy_item(&list, current);
      cursor = prev;  // continue behind the removed item
    } else {
      prev = cursor;
    }
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(contents(&list), (std::vector<int>{1, 3, 5, 7, 9}));
  expect_consistent(&list);
  mlist_clean(&list);
}

TEST(Mlist, CleanRunsClearFunctionAndReturnsItsLastResult) {
  g_cleared = 0;
  mlist_t *list = mlist_init(nullptr, count_clear, nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(mlist_clean(list), 0);
  push_int(list, 5);
  push_int(list, 7);
  EXPECT_EQ(mlist_clean(list), 7);
  EXPECT_EQ(g_cleared, 2);
  EXPECT_EQ(list->count, 0u);
  EXPECT_EQ(list->head, nullptr);
  EXPECT_EQ(list->tail, nullptr);
  _MLIST_ITEM *item = push_int(list, 1);
  mlist_pop_data_by_item(list, item);
  mlist_destroy_item(list, item);
  EXPECT_EQ(g_cleared, 3);
  free(list);
}

TEST(Mlist, MoveAppendsOrRefusesOnDifferentClearFunctions) {
  mlist_t to, from, other;
  mlist_init(&to, nullptr, nullptr);
  mlist_init(&from, nullptr, nullptr);
  mlist_init(&other, other_clear, nullptr);
  push_int(&to, 1);
  push_int(&from, 2);
  push_int(&from, 3);
  push_int(&other, 4);

  EXPECT_EQ(mlist_move(&to, &other), -1);
  EXPECT_EQ(contents(&to), (std::vector<int>{1}));
  EXPECT_EQ(other.count, 1u);

  EXPECT_EQ(mlist_move(&to, &from), 0);
  EXPECT_EQ(contents(&to), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(from.count, 0u);
  EXPECT_EQ(from.head, nullptr);
  EXPECT_EQ(from.tail, nullptr);
  expect_consistent(&to);

  mlist_t empty;
  mlist_init(&empty, nullptr, nullptr);
  EXPECT_EQ(mlist_move(&empty, &to), 0);
  EXPECT_EQ(contents(&empty), (std::vector<int>{1, 2, 3}));
  push_int(&empty, 4);
  expect_consistent(&empty);
  EXPECT_EQ(mlist_move(&empty, &empty), 0);
  EXPECT_EQ(mlist_move(nullptr, &empty), 0);
  expect_consistent(&empty);
  mlist_clean(&empty);
  mlist_clean(&other);
}
