// vlist: the network agent's doubly linked list of owned, variable-size
// items.
//
// Each item is one allocation: a header followed by the caller's data. The
// list owns linked items and runs its clear function on an item's data
// before freeing the item. An optional index array (vlist_lockup) gives
// access by position; any change to the list's membership drops the index
// (it would otherwise point at items no longer there), so an index is built
// after the list is complete.
//
// No locking: every user guards its list with its own lock (the OID
// manager's lock, the syslog sender queue lock, a target registry's lock).
#ifndef QDR_AGENT_VLIST_H
#define QDR_AGENT_VLIST_H

#include <stddef.h>
#include <stdint.h>

// Called with an item's data just before the item is freed; its result is
// handed back by vlist_clean.
typedef int (*callback_clear_data_vlist)(void *data);

typedef struct _VLIST_ITEM {
  struct _VLIST_ITEM *prev;
  struct _VLIST_ITEM *next;
  uint64_t size;  // bytes of data
  void *data;     // right behind this header
} vlist_item_t;

typedef struct _VLIST {
  vlist_item_t *head;
  vlist_item_t *tail;
  uint32_t count;
  vlist_item_t **array;                  // index built by vlist_lockup, or null
  callback_clear_data_vlist clear_func;  // may be null
  int is_alloc;                          // 1 when vlist_init allocated this record
} vlist_t;

// Initialises `pList` as an empty list with clear function `func`, or
// allocates a record when `pList` is null (is_alloc 1). *err_no (if given)
// gets 0, or -1 when the allocation fails (then null is returned).
vlist_t *vlist_init(vlist_t *pList, callback_clear_data_vlist func, int *err_no);

// Allocates an unlinked item with `size` zeroed data bytes, stores it in
// *item and returns its data. Null when size is 0 or `item` is null (*item
// untouched), or when memory is exhausted (*item = null).
void *vlist_new_item(uint64_t size, vlist_item_t **item);

// Appends an unlinked item; the list owns it afterwards. Drops the index.
// Returns 0 (a null list or item is ignored).
int vlist_push_back(vlist_t *list, vlist_item_t *item);

// Detaches the first item and returns it (the caller owns it and frees it
// with vlist_destroy_item); null when the list is empty or null. Drops the
// index.
vlist_item_t *vlist_pop_front(vlist_t *list);

// vlist_pop_front, returning the item's data; *data_size (if given) and
// *item (if given) get its size and the item. Null (size 0, item null) when
// the list is empty or null.
void *vlist_pop_front_data(vlist_t *list, uint64_t *data_size, vlist_item_t **item);

// Unlinks `item` from anywhere in the list and returns the item before it
// (null when it was the first), so a forward walk can continue from the
// returned item. The caller owns the unlinked item. Returns null and changes
// nothing for a null list or item, an empty list, or an item that is not
// linked in this list (checked by walking back to the head: one step per
// item before it). Drops the index.
vlist_item_t *vlist_pop_item(vlist_t *list, vlist_item_t *item);

// Runs the list's clear function on the item's data (when `list` and its
// function are given) and frees the item, which must not be linked any more.
// Returns 0.
int vlist_destroy_item(vlist_t *list, vlist_item_t *item);

// Frees every item (running the clear function on each item's data) and the
// index; leaves the list empty. Returns the last clear function result (0
// without one, when empty, or for a null list).
int vlist_clean(vlist_t *list);

// Cleans the list and frees the record when vlist_init allocated it: 0.
// -1 for a null list; -2 when the record was not allocated by vlist_init (it
// is cleaned but not freed).
int vlist_destroy(vlist_t *list);

// Appends all items of `from` to `to`, keeping their order, and leaves
// `from` empty (its index dropped). Returns 0 (null lists: nothing moves);
// -1 when the lists have different clear functions; -2 when `to` has an
// index. Nothing moves on failure.
int vlist_move(vlist_t *to, vlist_t *from);

// Hands `from`'s items, count and index over to `to` and leaves `from`
// empty. `to` must be empty (an index it has is freed). Returns 0 (null
// lists: nothing moves); -1 when the lists have different clear functions;
// -2 when `to` still holds items. Nothing moves on failure.
int vlist_move_lockup(vlist_t *to, vlist_t *from);

// Builds the index: one item pointer per item, in list order. Returns 0 (an
// empty list gets no index); -1 when an index exists already, memory is
// exhausted or the list is null.
int vlist_lockup(vlist_t *list);

// Data of the item at `index` through the index; *data_size (if given) gets
// its size. Null when there is no index or index >= count.
void *vlist_get_data_at_index(vlist_t *list, uint64_t *data_size, uint32_t index);

// Walk: with *item null starts at the head, otherwise moves to the item after
// *item; stores the current item in *item and its size in *data_size (if
// given) and returns its data. At the end returns null and sets *item to
// null. Null list or `item`: null.
void *vlist_getting_data(vlist_t *list, uint64_t *data_size, vlist_item_t **item);

// Data and (if `data_size` is given) size of one item; null for null.
void *vlist_get_data_from_item(uint64_t *data_size, vlist_item_t *item);

// Size of an item's data; 0 for null.
uint64_t vlist_get_size_from_item(vlist_item_t *item);

#endif  // QDR_AGENT_VLIST_H
