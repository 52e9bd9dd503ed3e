#include "vk_list.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

int *new_int(int v) {
  int *p = static_cast<int *>(malloc(sizeof(int)));
  *p = v;
  return p;
}

std::vector<int> g_taken;
void take_over(void **data) {
  g_taken.push_back(*static_cast<int *>(*data));
  free(*data);
  *data = nullptr;
}

std::vector<std::string> g_sp_cleaned;
void sp_clean(vk_node_sp *node) {
  g_sp_cleaned.emplace_back(static_cast<char *>(node->data), node->size);
}

std::vector<int> drain(vk_list_t *list) {
  std::vector<int> out;
  for (int guard = 0; guard < 1000; guard++) {
    int *p = static_cast<int *>(pop_front_vklist(list));
    if (p == nullptr) break;
    out.push_back(*p);
    free(p);
  }
  return out;
}

}  // namespace

TEST(VkList, PushPopCountsAndNullList) {
  vk_list_t *list = create_vklist();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(is_empty_vklist(list), 1);
  EXPECT_EQ(is_empty_vklist(nullptr), 0);
  EXPECT_EQ(count_vklist(nullptr), 0u);
  EXPECT_EQ(push_back_vklist(nullptr, nullptr), -1);
  EXPECT_EQ(push_back_vklist(list, new_int(1)), 1);
  EXPECT_EQ(push_back_vklist(list, new_int(2)), 2);
  EXPECT_EQ(count_vklist(list), 2u);
  EXPECT_EQ(is_empty_vklist(list), 0);
  EXPECT_EQ(drain(list), (std::vector<int>{1, 2}));
  EXPECT_EQ(list->m_front, nullptr);
  EXPECT_EQ(list->m_back, nullptr);
  EXPECT_EQ(pop_front_vklist(list), nullptr);
  destroy_vklist(list, nullptr);
}

TEST(VkList, MoveBulkAppendsAndEmptiesSource) {
  vk_list_t from, to;
  init_vklist(&from);
  init_vklist(&to);
  push_back_vklist(&from, new_int(1));
  push_back_vklist(&from, new_int(2));
  EXPECT_EQ(move_bulk_vklist(&from, &to), 2);
  EXPECT_EQ(count_vklist(&from), 0u);
  EXPECT_EQ(from.m_front, nullptr);
  // Moving into a non-empty list keeps what it held.
  push_back_vklist(&from, new_int(3));
  EXPECT_EQ(move_bulk_vklist(&from, &to), 3);
  EXPECT_EQ(move_bulk_vklist(&to, &to), -1);
  EXPECT_EQ(move_bulk_vklist(nullptr, &to), -1);
  EXPECT_EQ(move_bulk_vklist(&from, &to), 3);
  // The back links survive the splice: cleaning walks from the back.
  g_taken.clear();
  clean_vklist(&to, take_over);
  EXPECT_EQ(g_taken, (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(count_vklist(&to), 0u);
  EXPECT_EQ(is_empty_vklist(&to), 1);
}

TEST(VkList, CleanWithoutCallbackFreesData) {
  vk_list_t list;
  init_vklist(&list);
  for (int i = 0; i < 3; i++) push_back_vklist(&list, new_int(i));
  clean_vklist(&list, nullptr);
  EXPECT_EQ(count_vklist(&list), 0u);
  clean_vklist(&list, nullptr);
  clean_vklist(nullptr, nullptr);
}

TEST(VkListSp, CopiesPayloadsInFifoOrder) {
  vk_list_sp_t list;
  ASSERT_EQ(init_vklist_sp(&list, nullptr), &list);
  EXPECT_EQ(list.is_allocate, 0);
  char text[] = "hello";
  EXPECT_EQ(push_vklist_sp(&list, text, 6), 0);
  text[0] = 'J';  // the list holds its own copy
  EXPECT_EQ(push_vklist_sp(&list, "xy", 2), 0);
  EXPECT_EQ(push_vklist_sp(&list, nullptr, 2), -2);
  EXPECT_EQ(push_vklist_sp(&list, "x", 0), -2);
  EXPECT_EQ(list.count, 2u);

  size_t size = 0;
  char *copy = static_cast<char *>(pop_vklist_sp(&list, &size, nullptr));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(size, 6u);
  EXPECT_STREQ(copy, "hello");
  free(copy);

  vk_node_sp *node = nullptr;
  char *inside = static_cast<char *>(pop_vklist_sp(&list, &size, &node));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(inside, node->data);
  EXPECT_EQ(std::string(inside, size), "xy");
  free(node);

  EXPECT_EQ(pop_vklist_sp(&list, &size, &node), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(node, nullptr);
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.tail, nullptr);
  EXPECT_EQ(push_vklist_sp(&list, "z", 1), 0);  // tail was reset
  EXPECT_EQ(list.head, list.tail);
  EXPECT_EQ(destroy_vklist_sp(&list), 0);
}

TEST(VkListSp, DestroyRunsCleanFunctionAndFreesAllocatedHeader) {
  g_sp_cleaned.clear();
  vk_list_sp_t *list = init_vklist_sp(nullptr, sp_clean);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->is_allocate, 1);
  push_vklist_sp(list, "a", 1);
  push_vklist_sp(list, "bc", 2);
  EXPECT_EQ(destroy_vklist_sp(list), 1);
  EXPECT_EQ(g_sp_cleaned, (std::vector<std::string>{"a", "bc"}));
  EXPECT_EQ(destroy_vklist_sp(nullptr), -1);
}
