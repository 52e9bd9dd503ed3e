#include "vk_list.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

void *item_alloc(size_t header_size, size_t size, void **payload, bool zero) {
  if (size == 0 || payload == nullptr) return nullptr;
  constexpr size_t kAlign = alignof(max_align_t);
  *payload = nullptr;
  if (header_size > SIZE_MAX - kAlign) return nullptr;
  size_t offset = (header_size + kAlign - 1) / kAlign * kAlign;
  if (size > SIZE_MAX - offset) return nullptr;
  char *block = static_cast<char *>(zero ? calloc(1, offset + size) : malloc(offset + size));
  if (block == nullptr) return nullptr;
  if (!zero) memset(block, 0, offset);
  *payload = block + offset;
  return block;
}

}  // namespace

void *vk_list_item_alloc(size_t header_size, size_t size, void **payload) {
  return item_alloc(header_size, size, payload, true);
}

void *vk_list_item_alloc_uninit(size_t header_size, size_t size, void **payload) {
  return item_alloc(header_size, size, payload, false);
}

vk_list_t *create_vklist(void) {
  return static_cast<vk_list_t *>(calloc(1, sizeof(vk_list_t)));
}

void init_vklist(vk_list_t *list) {
  if (list == nullptr) return;
  list->m_front = nullptr;
  list->m_back = nullptr;
  list->m_count = 0;
}

int push_back_vklist(vk_list_t *list, void *data) {
  if (list == nullptr) return -1;
  vk_node *node = static_cast<vk_node *>(malloc(sizeof(vk_node)));
  if (node == nullptr) return 0;
  node->data = data;
  node->pNext = nullptr;
  node->pPrev = list->m_back;
  if (list->m_back == nullptr) {
    list->m_front = node;
  } else {
    list->m_back->pNext = node;
  }
  list->m_back = node;
  list->m_count++;
  return static_cast<int>(list->m_count);
}

void *pop_front_vklist(vk_list_t *list) {
  if (list == nullptr || list->m_front == nullptr) return nullptr;
  vk_node *node = list->m_front;
  list->m_front = node->pNext;
  if (list->m_front == nullptr) {
    list->m_back = nullptr;
  } else {
    list->m_front->pPrev = nullptr;
  }
  list->m_count--;
  void *data = node->data;
  free(node);
  return data;
}

int move_bulk_vklist(vk_list_t *from, vk_list_t *to) {
  if (from == nullptr || to == nullptr || from == to) return -1;
  if (from->m_front != nullptr) {
    // Appended rather than replacing: nodes already in `to` would otherwise
    // be lost with their data.
    if (to->m_back == nullptr) {
      to->m_front = from->m_front;
    } else {
      to->m_back->pNext = from->m_front;
      from->m_front->pPrev = to->m_back;
    }
    to->m_back = from->m_back;
    to->m_count += from->m_count;
    init_vklist(from);
  }
  return static_cast<int>(to->m_count);
}

void clean_vklist(vk_list_t *list, callback_clean_vklist callback) {
  if (list == nullptr) return;
  vk_node *node = list->m_back;
  init_vklist(list);
  while (node != nullptr) {
    vk_node *prev = node->pPrev;
    if (callback != nullptr) {
      callback(&node->data);
    } else {
      free(node->data);
    }
    free(node);
    node = prev;
  }
}

void destroy_vklist(vk_list_t *list, callback_clean_vklist callback) {
  if (list == nullptr) return;
  clean_vklist(list, callback);
  free(list);
}

uint32_t count_vklist(const vk_list_t *list) {
  return list == nullptr ? 0 : list->m_count;
}

int is_empty_vklist(const vk_list_t *list) {
  return list != nullptr && list->m_count == 0 ? 1 : 0;
}

vk_list_sp_t *init_vklist_sp(vk_list_sp_t *list, callback_clean_vklist_sp func) {
  int allocated = 0;
  if (list == nullptr) {
    list = static_cast<vk_list_sp_t *>(malloc(sizeof(vk_list_sp_t)));
    if (list == nullptr) return nullptr;
    allocated = 1;
  }
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
  list->clean_func = func;
  list->is_allocate = allocated;
  return list;
}

int push_vklist_sp(vk_list_sp_t *list, const void *data, size_t size) {
  if (list == nullptr || data == nullptr || size == 0) return -2;
  void *payload = nullptr;
  vk_node_sp *node =
      static_cast<vk_node_sp *>(vk_list_item_alloc(sizeof(vk_node_sp), size, &payload));
  if (node == nullptr) return -1;
  node->size = size;
  node->data = payload;
  node->next = nullptr;
  memcpy(node->data, data, size);
  if (list->tail == nullptr) {
    list->head = node;
  } else {
    list->tail->next = node;
  }
  list->tail = node;
  list->count++;
  return 0;
}

void *pop_vklist_sp(vk_list_sp_t *list, size_t *size, vk_node_sp **node) {
  if (size != nullptr) *size = 0;
  if (node != nullptr) *node = nullptr;
  if (list == nullptr || list->head == nullptr) return nullptr;
  vk_node_sp *head = list->head;
  void *result;
  if (node == nullptr) {
    // Copy before unlinking so that a failed copy leaves the list intact.
    result = malloc(head->size);
    if (result == nullptr) return nullptr;
    memcpy(result, head->data, head->size);
  } else {
    result = head->data;
  }
  list->head = head->next;
  if (list->head == nullptr) list->tail = nullptr;
  list->count--;
  head->next = nullptr;
  if (size != nullptr) *size = head->size;
  if (node != nullptr) {
    *node = head;
  } else {
    free(head);
  }
  return result;
}

int destroy_vklist_sp(vk_list_sp_t *list) {
  if (list == nullptr) return -1;
  vk_node_sp *node = list->head;
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
  while (node != nullptr) {
    vk_node_sp *next = node->next;
    if (list->clean_func != nullptr) list->clean_func(node);
    free(node);
    node = next;
  }
  int allocated = list->is_allocate;
  if (allocated == 1) free(list);
  return allocated;
}
