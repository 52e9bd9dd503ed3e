// mlist: singly linked FIFO list whose items carry their payload inline.
//
// An item and its payload are one allocation (header, then `size` zeroed
// bytes); callers fill the payload through the pointer mlist_new_item gives
// and keep the item pointer as a handle (for example to unlink the item
// later with mlist_pop_data_by_item). The list owns linked items and runs
// its clear function on a payload before freeing the item, so a payload may
// own further memory.
//
// No locking: a list shared between threads is guarded by its owner's lock
// around every call, including walks with mlist_getting_data.
#ifndef COMMON_INTERNAL_MLIST_H
#define COMMON_INTERNAL_MLIST_H

#include <stddef.h>
#include <stdint.h>

// Called with an item's payload just before the item is freed. The result is
// handed back by mlist_clean.
typedef int (*callback_clear_data_mlist)(void *data);

typedef struct _MLIST_ITEM {
  struct _MLIST_ITEM *next;
  size_t size;  // payload bytes
  void *data;   // the payload, right behind this header
} _MLIST_ITEM;
typedef _MLIST_ITEM mlist_item_t;

typedef struct _MLIST {
  _MLIST_ITEM *head;
  _MLIST_ITEM *tail;
  uint32_t count;
  callback_clear_data_mlist clear_func;  // may be null
} mlist_t;

// Initialises `list` (empty, with `func` as clear function), or allocates a
// header with malloc when `list` is null; a header allocated here is freed by
// the caller with free() after mlist_clean. *err (if given) gets 0, or -1 when
// the allocation fails, in which case null is returned.
mlist_t *mlist_init(mlist_t *list, callback_clear_data_mlist func, int *err);

// Allocates an unlinked item with `size` zeroed payload bytes, stores its
// handle in *item and returns the payload. Returns null, leaving *item
// untouched, for size 0 or a null `item`; returns null with *item = null when
// memory is exhausted.
void *mlist_new_item(size_t size, _MLIST_ITEM **item);

// mlist_new_item whose payload is not zeroed: the caller writes it.
void *mlist_new_item_uninit(size_t size, _MLIST_ITEM **item);

// Appends an unlinked item; the list owns it afterwards. Returns 0, or -1 for
// a null list or item (nothing changes).
int mlist_push_back(mlist_t *list, _MLIST_ITEM *item);

// Detaches the first item and returns its payload; *size (if given) gets the
// payload size and *item the handle. The caller owns the item and frees it
// with mlist_destroy_item. Returns null (and *item = null, *size = 0) when the
// list is empty or null.
void *mlist_pop_front_data(mlist_t *list, size_t *size, _MLIST_ITEM **item);

// Unlinks `item` from wherever it is in the list and returns its payload; the
// item is not freed and belongs to the caller. Returns null and changes
// nothing when the item is not linked in this list (or an argument is null).
void *mlist_pop_data_by_item(mlist_t *list, _MLIST_ITEM *item);

// Runs the list's clear function (if `list` and its function are given) on
// the payload and frees the item, which must not be linked any more.
// Returns 0 (also for a null item, which is ignored).
int mlist_destroy_item(mlist_t *list, _MLIST_ITEM *item);

// Destroys every item as mlist_destroy_item does and leaves the list empty.
// Returns the last clear function result (0 without one or when empty).
int mlist_clean(mlist_t *list);

// Walk: with *cursor null returns the first payload, otherwise the payload of
// the item after *cursor; stores the returned item in *cursor and its size in
// *size (if given). At the end returns null and sets *cursor to null.
// To remove the current item during a walk, first note the item before it.
void *mlist_getting_data(mlist_t *list, size_t *size, _MLIST_ITEM **cursor);

// Payload (and, if `size` is given, its size) of an item; null for null.
void *mlist_get_data_from_item(size_t *size, _MLIST_ITEM *item);

// Appends all items of `from` to `to` in order and empties `from`.
// Returns 0 (also when either list is null: nothing moves), or -1 when the
// lists have different clear functions (nothing changes).
int mlist_move(mlist_t *to, mlist_t *from);

#endif  // COMMON_INTERNAL_MLIST_H
