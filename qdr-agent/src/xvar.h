// xvar: a growable byte buffer used by the message encoders.
//
// Holds `length` bytes in a block of `size` bytes that it owns. Growth
// rounds the needed size down to a multiple of 128 and adds 128, copies the
// old bytes into the new block and frees the old one. A failed growth leaves
// the buffer exactly as it was and the add reports XVAR_ERR_NO_MEMORY.
//
// No locking: a buffer belongs to one thread at a time (its encoder).
#ifndef QDR_AGENT_XVAR_H
#define QDR_AGENT_XVAR_H

#include <stddef.h>
#include <stdint.h>

#define XVAR_GROW_STEP 128

// Results of the add functions besides the new length.
enum {
  XVAR_ERR_ARGUMENT = -1,   // null buffer
  XVAR_ERR_NO_MEMORY = -2,  // the buffer could not grow (or the size overflowed)
};

typedef struct {
  size_t size;    // capacity in bytes
  size_t length;  // bytes in use
  uint8_t *data;  // owned; null while size is 0
} xvar;

// A new, empty buffer with room for `need_size` bytes (no block for 0), or
// null when memory is exhausted. Freed with xvar_destroy.
xvar *xvar_new(size_t need_size);

// Appends `data_len` bytes; with a null `data` only the length grows (the
// bytes keep what the block held there; a newly grown block is zeroed).
// Returns the new length, or XVAR_ERR_ARGUMENT / XVAR_ERR_NO_MEMORY, in
// which case nothing was written and the length is unchanged.
int64_t xvar_add_data(const void *data, size_t data_len, xvar *var);

// Writes `data_len` bytes at offset `idx`, growing as needed; the length
// becomes the larger of the old length and idx + data_len (bytes between the
// old length and idx keep what the block held; a grown block is zeroed).
// Returns the length, or XVAR_ERR_ARGUMENT / XVAR_ERR_NO_MEMORY with nothing
// written.
int64_t xvar_add_data_at(const void *data, size_t data_len, size_t idx, xvar *var);

// Length 0, capacity kept. Null is ignored.
void xvar_clear_data(xvar *var);

// Frees the bytes; length and capacity 0. The record stays usable. Null is
// ignored.
void xvar_clear(xvar *var);

// xvar_clear and frees the record made by xvar_new. Null is ignored.
void xvar_destroy(xvar *var);

// Capacity the growth rule gives for `need` bytes: need rounded down to a
// multiple of 128, plus 128. 0 when that overflows.
size_t xvar_grow_size(size_t need);

#endif  // QDR_AGENT_XVAR_H
