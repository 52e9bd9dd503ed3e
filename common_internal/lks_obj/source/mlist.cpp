#include "mlist.h"

#include <stddef.h>
#include <stdlib.h>

#include "vk_list.h"

mlist_t *mlist_init(mlist_t *list, callback_clear_data_mlist func, int *err) {
  if (list == nullptr) {
    list = static_cast<mlist_t *>(malloc(sizeof(mlist_t)));
    if (list == nullptr) {
      if (err != nullptr) *err = -1;
      return nullptr;
    }
  }
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
  list->clear_func = func;
  if (err != nullptr) *err = 0;
  return list;
}

namespace {

void *new_item(size_t size, _MLIST_ITEM **item, bool zero) {
  if (size == 0 || item == nullptr) return nullptr;
  void *payload = nullptr;
  void *block = zero ? vk_list_item_alloc(sizeof(_MLIST_ITEM), size, &payload)
                     : vk_list_item_alloc_uninit(sizeof(_MLIST_ITEM), size, &payload);
  _MLIST_ITEM *it = static_cast<_MLIST_ITEM *>(block);
  if (it == nullptr) {
    *item = nullptr;
    return nullptr;
  }
  it->next = nullptr;
  it->size = size;
  it->data = payload;
  *item = it;
  return it->data;
}

}  // namespace

void *mlist_new_item(size_t size, _MLIST_ITEM **item) {
  return new_item(size, item, true);
}

void *mlist_new_item_uninit(size_t size, _MLIST_ITEM **item) {
  return new_item(size, item, false);
}

int mlist_push_back(mlist_t *list, _MLIST_ITEM *item) {
  if (list == nullptr || item == nullptr) return -1;
  item->next = nullptr;
  if (list->tail == nullptr) {
    list->head = item;
  } else {
    list->tail->next = item;
  }
  list->tail = item;
  list->count++;
  return 0;
}

void *mlist_pop_front_data(mlist_t *list, size_t *size, _MLIST_ITEM **item) {
  if (size != nullptr) *size = 0;
  if (item != nullptr) *item = nullptr;
  if (list == nullptr || list->head == nullptr) return nullptr;
  _MLIST_ITEM *it = list->head;
  list->head = it->next;
  if (list->head == nullptr) list->tail = nullptr;
  list->count--;
  it->next = nullptr;
  if (size != nullptr) *size = it->size;
  if (item != nullptr) *item = it;
  return it->data;
}

void *mlist_pop_data_by_item(mlist_t *list, _MLIST_ITEM *item) {
  if (list == nullptr || item == nullptr) return nullptr;
  // The predecessor is found by walking, which also proves the item belongs
  // to this list: unlinking a foreign item would corrupt both lists.
  _MLIST_ITEM *prev = nullptr;
  _MLIST_ITEM *cur = list->head;
  while (cur != nullptr && cur != item) {
    prev = cur;
    cur = cur->next;
  }
  if (cur == nullptr) return nullptr;
  if (prev == nullptr) {
    list->head = item->next;
  } else {
    prev->next = item->next;
  }
  if (list->tail == item) list->tail = prev;
  list->count--;
  item->next = nullptr;
  return item->data;
}

int mlist_destroy_item(mlist_t *list, _MLIST_ITEM *item) {
  if (item == nullptr) return 0;
  if (list != nullptr && list->clear_func != nullptr) list->clear_func(item->data);
  free(item);
  return 0;
}

int mlist_clean(mlist_t *list) {
  if (list == nullptr) return 0;
  int rc = 0;
  _MLIST_ITEM *it = list->head;
  // Detach first so a clear function that looks at the list sees it empty.
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
  while (it != nullptr) {
    _MLIST_ITEM *next = it->next;
    if (list->clear_func != nullptr) rc = list->clear_func(it->data);
    free(it);
    it = next;
  }
  return rc;
}

void *mlist_getting_data(mlist_t *list, size_t *size, _MLIST_ITEM **cursor) {
  if (size != nullptr) *size = 0;
  if (list == nullptr || cursor == nullptr) return nullptr;
  _MLIST_ITEM *it = *cursor == nullptr ? list->head : (*cursor)->next;
  *cursor = it;
  if (it == nullptr) return nullptr;
  if (size != nullptr) *size = it->size;
  return it->data;
}

void *mlist_get_data_from_item(size_t *size, _MLIST_ITEM *item) {
  if (item == nullptr) {
    if (size != nullptr) *size = 0;
    return nullptr;
  }
  if (size != nullptr) *size = item->size;
  return item->data;
}

int mlist_move(mlist_t *to, mlist_t *from) {
  if (to == nullptr || from == nullptr || to == from) return 0;
  if (to->clear_func != from->clear_func) return -1;
  if (from->head == nullptr) return 0;
  if (to->tail == nullptr) {
    to->head = from->head;
  } else {
    to->tail->next = from->head;
  }
  to->tail = from->tail;
  to->count += from->count;
  from->head = nullptr;
  from->tail = nullptr;
  from->count = 0;
  return 0;
}
