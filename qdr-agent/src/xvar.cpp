#include "xvar.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Makes room for `need` bytes. False, with the buffer unchanged, when the
// block cannot be allocated.
bool xvar_reserve(xvar *var, size_t need) {
  if (need <= var->size) return true;
  size_t new_size = xvar_grow_size(need);
  if (new_size == 0) return false;
  auto *block = static_cast<uint8_t *>(calloc(1, new_size));
  if (block == nullptr) return false;
  if (var->data != nullptr && var->length > 0) memcpy(block, var->data, var->length);
  free(var->data);
  var->data = block;
  var->size = new_size;
  return true;
}

}  // namespace

size_t xvar_grow_size(size_t need) {
  size_t base = need / XVAR_GROW_STEP * XVAR_GROW_STEP;
  if (base > SIZE_MAX - XVAR_GROW_STEP) return 0;
  return base + XVAR_GROW_STEP;
}

xvar *xvar_new(size_t need_size) {
  auto *var = static_cast<xvar *>(calloc(1, sizeof(xvar)));
  if (var == nullptr) return nullptr;
  if (need_size > 0) {
    var->data = static_cast<uint8_t *>(calloc(1, need_size));
    if (var->data == nullptr) {
      free(var);
      return nullptr;
    }
    var->size = need_size;
  }
  return var;
}

int64_t xvar_add_data(const void *data, size_t data_len, xvar *var) {
  if (var == nullptr) return XVAR_ERR_ARGUMENT;
  return xvar_add_data_at(data, data_len, var->length, var);
}

int64_t xvar_add_data_at(const void *data, size_t data_len, size_t idx, xvar *var) {
  if (var == nullptr) return XVAR_ERR_ARGUMENT;
  if (idx > SIZE_MAX - data_len) return XVAR_ERR_NO_MEMORY;
  size_t end = idx + data_len;
  if (end > static_cast<size_t>(INT64_MAX)) return XVAR_ERR_NO_MEMORY;
  if (!xvar_reserve(var, end)) return XVAR_ERR_NO_MEMORY;
  if (data != nullptr && data_len > 0) memcpy(var->data + idx, data, data_len);
  if (end > var->length) var->length = end;
  return static_cast<int64_t>(var->length);
}

void xvar_clear_data(xvar *var) {
  if (var != nullptr) var->length = 0;
}

void xvar_clear(xvar *var) {
  if (var == nullptr) return;
  free(var->data);
  var->data = nullptr;
  var->size = 0;
  var->length = 0;
}

void xvar_destroy(xvar *var) {
  if (var == nullptr) return;
  xvar_clear(var);
  free(var);
}
