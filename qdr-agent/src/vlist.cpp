#include "vlist.h"

#include <stdlib.h>

#include "vk_list.h"

namespace {

// The index points at items by position; once membership changes it would
// point at items no longer there, so it is dropped.
void drop_index(vlist_t *list) {
  free(list->array);
  list->array = nullptr;
}

void reset(vlist_t *list) {
  list->head = nullptr;
  list->tail = nullptr;
  list->count = 0;
  list->array = nullptr;
}

// True when `item` is linked in `list`: walking back from it reaches this
// list's head within `count` steps. Neighbours that point back at the item
// prove only that it is in some list, not in this one.
bool is_linked_in(const vlist_t *list, const vlist_item_t *item) {
  const vlist_item_t *at = item;
  for (uint32_t steps = 0; steps < list->count; steps++) {
    if (at->prev == nullptr) return at == list->head;
    if (at->prev->next != at) return false;
    at = at->prev;
  }
  return false;
}

}  // namespace

vlist_t *vlist_init(vlist_t *pList, callback_clear_data_vlist func, int *err_no) {
  int allocated = 0;
  if (pList == nullptr) {
    pList = static_cast<vlist_t *>(malloc(sizeof(vlist_t)));
    if (pList == nullptr) {
      if (err_no != nullptr) *err_no = -1;
      return nullptr;
    }
    allocated = 1;
  }
  reset(pList);
  pList->clear_func = func;
  pList->is_alloc = allocated;
  if (err_no != nullptr) *err_no = 0;
  return pList;
}

void *vlist_new_item(uint64_t size, vlist_item_t **item) {
  if (size == 0 || item == nullptr) return nullptr;
  void *data = nullptr;
  vlist_item_t *it = nullptr;
  // A size beyond what this machine can address cannot be allocated.
  if (size == static_cast<size_t>(size)) {
    it = static_cast<vlist_item_t *>(
        vk_list_item_alloc(sizeof(vlist_item_t), static_cast<size_t>(size), &data));
  }
  if (it == nullptr) {
    *item = nullptr;
    return nullptr;
  }
  it->size = size;
  it->data = data;
  *item = it;
  return it->data;
}

int vlist_push_back(vlist_t *list, vlist_item_t *item) {
  if (list == nullptr || item == nullptr) return 0;
  drop_index(list);
  item->next = nullptr;
  item->prev = list->tail;
  if (list->tail == nullptr) {
    list->head = item;
  } else {
    list->tail->next = item;
  }
  list->tail = item;
  list->count++;
  return 0;
}

vlist_item_t *vlist_pop_front(vlist_t *list) {
  if (list == nullptr || list->head == nullptr) return nullptr;
  drop_index(list);
  vlist_item_t *item = list->head;
  list->head = item->next;
  if (list->head == nullptr) {
    list->tail = nullptr;
  } else {
    list->head->prev = nullptr;
  }
  list->count--;
  item->prev = nullptr;
  item->next = nullptr;
  return item;
}

void *vlist_pop_front_data(vlist_t *list, uint64_t *data_size, vlist_item_t **item) {
  vlist_item_t *it = vlist_pop_front(list);
  if (data_size != nullptr) *data_size = it != nullptr ? it->size : 0;
  if (item != nullptr) *item = it;
  return it != nullptr ? it->data : nullptr;
}

vlist_item_t *vlist_pop_item(vlist_t *list, vlist_item_t *item) {
  if (list == nullptr || item == nullptr || list->head == nullptr) return nullptr;
  // Unlinking an item that is not in this list would corrupt the list and
  // its count.
  if (!is_linked_in(list, item)) return nullptr;
  drop_index(list);
  vlist_item_t *before = item->prev;
  if (before == nullptr) {
    list->head = item->next;
  } else {
    before->next = item->next;
  }
  if (item->next == nullptr) {
    list->tail = before;
  } else {
    item->next->prev = before;
  }
  list->count--;
  item->prev = nullptr;
  item->next = nullptr;
  return before;
}

int vlist_destroy_item(vlist_t *list, vlist_item_t *item) {
  if (item == nullptr) return 0;
  if (list != nullptr && list->clear_func != nullptr) list->clear_func(item->data);
  free(item);
  return 0;
}

int vlist_clean(vlist_t *list) {
  if (list == nullptr) return 0;
  int rc = 0;
  vlist_item_t *item = list->head;
  drop_index(list);
  reset(list);
  while (item != nullptr) {
    vlist_item_t *next = item->next;
    if (list->clear_func != nullptr) rc = list->clear_func(item->data);
    free(item);
    item = next;
  }
  return rc;
}

int vlist_destroy(vlist_t *list) {
  if (list == nullptr) return -1;
  vlist_clean(list);
  if (list->is_alloc != 1) return -2;
  free(list);
  return 0;
}

int vlist_move(vlist_t *to, vlist_t *from) {
  if (to == nullptr || from == nullptr || to == from) return 0;
  if (to->clear_func != from->clear_func) return -1;
  if (to->array != nullptr) return -2;
  drop_index(from);
  if (from->head == nullptr) return 0;
  if (to->tail == nullptr) {
    to->head = from->head;
  } else {
    to->tail->next = from->head;
    from->head->prev = to->tail;
  }
  to->tail = from->tail;
  to->count += from->count;
  reset(from);
  return 0;
}

int vlist_move_lockup(vlist_t *to, vlist_t *from) {
  if (to == nullptr || from == nullptr || to == from) return 0;
  if (to->clear_func != from->clear_func) return -1;
  // Replacing items `to` still holds would lose them (and whatever their
  // data owns); the caller empties `to` first.
  if (to->head != nullptr) return -2;
  drop_index(to);
  to->head = from->head;
  to->tail = from->tail;
  to->count = from->count;
  to->array = from->array;
  reset(from);
  return 0;
}

int vlist_lockup(vlist_t *list) {
  if (list == nullptr || list->array != nullptr) return -1;
  if (list->count == 0) return 0;
  vlist_item_t **array = static_cast<vlist_item_t **>(malloc(sizeof(vlist_item_t *) * list->count));
  if (array == nullptr) return -1;
  uint32_t i = 0;
  for (vlist_item_t *item = list->head; item != nullptr && i < list->count; item = item->next) {
    array[i++] = item;
  }
  list->array = array;
  return 0;
}

void *vlist_get_data_at_index(vlist_t *list, uint64_t *data_size, uint32_t index) {
  if (data_size != nullptr) *data_size = 0;
  if (list == nullptr || list->array == nullptr || index >= list->count) return nullptr;
  vlist_item_t *item = list->array[index];
  if (data_size != nullptr) *data_size = item->size;
  return item->data;
}

void *vlist_getting_data(vlist_t *list, uint64_t *data_size, vlist_item_t **item) {
  if (data_size != nullptr) *data_size = 0;
  if (list == nullptr || item == nullptr) return nullptr;
  vlist_item_t *next = *item == nullptr ? list->head : (*item)->next;
  *item = next;
  if (next == nullptr) return nullptr;
  if (data_size != nullptr) *data_size = next->size;
  return next->data;
}

void *vlist_get_data_from_item(uint64_t *data_size, vlist_item_t *item) {
  if (data_size != nullptr) *data_size = item != nullptr ? item->size : 0;
  return item != nullptr ? item->data : nullptr;
}

uint64_t vlist_get_size_from_item(vlist_item_t *item) {
  return item != nullptr ? item->size : 0;
}
