// vk_list: doubly linked list of pointers, and vk_list_sp: singly linked
// FIFO whose nodes hold a copy of the caller's bytes.
//
// vk_list owns the data pointers it holds: clean_vklist frees them (with
// free()) unless the caller's callback takes each one over. vk_list_sp
// copies payloads into its nodes (node and copy are one allocation) and runs
// its clean function on each node before freeing it.
//
// vk_list_item_alloc is the one allocation of an item with its payload
// inline, shared by vk_list_sp, mlist and the network agent's vlist.
//
// No locking: a list shared between threads is guarded by its owner's lock.
#ifndef COMMON_INTERNAL_VK_LIST_H
#define COMMON_INTERNAL_VK_LIST_H

#include <stddef.h>
#include <stdint.h>

typedef struct vk_node {
  struct vk_node *pNext;
  struct vk_node *pPrev;
  void *data;
} vk_node;

typedef struct vk_list {
  vk_node *m_front;
  vk_node *m_back;
  uint32_t m_count;
} vk_list_t;

// Called by clean_vklist with the address of a node's data pointer; the
// callback takes the data over (frees it or keeps it).
typedef void (*callback_clean_vklist)(void **data);

// Allocates an empty list header (calloc); null when memory is exhausted.
// Free it with destroy_vklist.
vk_list_t *create_vklist(void);

// Initialises a caller-provided header as empty (nothing is freed). Null: no-op.
void init_vklist(vk_list_t *list);

// Appends `data` at the back. Returns the new count; 0 when the node cannot
// be allocated (the caller keeps `data`); -1 for a null list.
int push_back_vklist(vk_list_t *list, void *data);

// Detaches and frees the front node and returns its data (the caller owns
// it). Null when the list is empty or null.
void *pop_front_vklist(vk_list_t *list);

// Moves every node of `from` to the back of `to`, keeping their order, and
// empties `from`. Nodes already in `to` stay (they are not dropped).
// Returns the new count of `to`, or -1 when either list is null or both are
// the same list (nothing moves).
int move_bulk_vklist(vk_list_t *from, vk_list_t *to);

// Removes every node, back to front: hands the address of each data pointer
// to `callback`, or frees the data with free() when `callback` is null; frees
// the nodes and leaves the list empty. Null list: no-op.
void clean_vklist(vk_list_t *list, callback_clean_vklist callback);

// clean_vklist, then frees a header made by create_vklist. Null: no-op.
void destroy_vklist(vk_list_t *list, callback_clean_vklist callback);

// Number of nodes; 0 for a null list.
uint32_t count_vklist(const vk_list_t *list);

// 1 when the list exists and is empty, else 0.
int is_empty_vklist(const vk_list_t *list);

typedef struct vk_node_sp {
  size_t size;  // payload bytes
  void *data;   // the payload copy, inside this node's allocation
  struct vk_node_sp *next;
} vk_node_sp;

// Called with each node just before destroy_vklist_sp frees it, so a payload
// holding pointers can release what they own. Must not free the node.
typedef void (*callback_clean_vklist_sp)(vk_node_sp *node);

typedef struct vk_list_sp {
  vk_node_sp *head;
  vk_node_sp *tail;
  uint32_t count;
  callback_clean_vklist_sp clean_func;  // may be null
  int is_allocate;                      // 1 when init_vklist_sp allocated this header
} vk_list_sp_t;

// Initialises `list` (empty, `func` as clean function, is_allocate 0), or
// allocates a header when `list` is null (is_allocate 1). Null when that
// allocation fails.
vk_list_sp_t *init_vklist_sp(vk_list_sp_t *list, callback_clean_vklist_sp func);

// Copies `size` bytes of `data` into a new node at the tail. Returns 0; -1
// when the node cannot be allocated; -2 for a null list, null data or size 0.
// The list is unchanged on failure.
int push_vklist_sp(vk_list_sp_t *list, const void *data, size_t size);

// Detaches the head node. With `node` given, stores the node in *node and
// returns the payload inside it: the caller owns the node and frees it with
// free(). Without `node`, returns a malloc'ed copy of the payload (the caller
// frees it) and frees the node; if that copy cannot be allocated, null is
// returned and the node stays at the head. *size (if given) gets the payload
// size. Empty or null list: null, *size 0, *node null.
void *pop_vklist_sp(vk_list_sp_t *list, size_t *size, vk_node_sp **node);

// Frees every node (running the clean function on each first) and, when
// init_vklist_sp allocated the header, the header too. Returns is_allocate
// (1: header freed, 0: header left empty), or -1 for a null list.
int destroy_vklist_sp(vk_list_sp_t *list);

// Allocates one zeroed block for a list item: a header of `header_size`
// bytes, then `size` payload bytes at the first fundamentally aligned offset
// behind it, so any record type can live in the payload. Stores the
// payload's address in *payload and returns the block, which the caller
// frees with free(). Returns null for size 0 or a null `payload` (*payload
// untouched), and null with *payload = null when the sizes overflow or
// memory is exhausted.
void *vk_list_item_alloc(size_t header_size, size_t size, void **payload);

// The same block with only the header zeroed: the payload holds whatever the
// memory held. For large payloads the caller writes before anything reads
// them, where zeroing would be a second pass over the whole block.
void *vk_list_item_alloc_uninit(size_t header_size, size_t size, void **payload);

#endif  // COMMON_INTERNAL_VK_LIST_H
