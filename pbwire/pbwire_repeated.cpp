// Repeated fields of the pbwire runtime: sizing them in the workspace,
// writing them (packed scalars, one field per string, bytes or message
// item) and decoding them in two passes. See pbwire.h for the contracts.
#include <climits>
#include <cstring>

#include "pbwire.h"
#include "pbwire_internal.h"

namespace {

// Scalar kinds shared by the generic repeated-field code.
enum scalar_kind {
  KIND_INT32,
  KIND_INT64,
  KIND_UINT32,
  KIND_UINT64,
  KIND_SINT32,
  KIND_SINT64,
  KIND_FIXED32,
  KIND_FIXED64,
  KIND_SFIXED32,
  KIND_SFIXED64,
  KIND_FLOAT,
  KIND_DOUBLE,
  KIND_BOOL,
};

int kind_wire_type(scalar_kind kind) {
  switch (kind) {
    case KIND_FIXED32:
    case KIND_SFIXED32:
    case KIND_FLOAT:
      return PBWIRE_WIRE_TYPE_FIXED_32;
    case KIND_FIXED64:
    case KIND_SFIXED64:
    case KIND_DOUBLE:
      return PBWIRE_WIRE_TYPE_FIXED_64;
    default:
      return PBWIRE_WIRE_TYPE_VARINT;
  }
}

size_t kind_item_size(scalar_kind kind) {
  switch (kind) {
    case KIND_INT64:
    case KIND_UINT64:
    case KIND_SINT64:
    case KIND_FIXED64:
    case KIND_SFIXED64:
    case KIND_DOUBLE:
      return 8;
    case KIND_BOOL:
      return sizeof(bool);
    default:
      return 4;
  }
}

// One value of a packed repeated scalar, read from item `index`.
void encoder_write_scalar_item(pbwire_encoder_t *encoder_p, scalar_kind kind, const void *items_p,
                               int32_t index) {
  const char *item_p = static_cast<const char *>(items_p) + index * kind_item_size(kind);
  switch (kind) {
    case KIND_INT32: {
      int32_t v;
      memcpy(&v, item_p, sizeof(v));
      pbwire_encoder_put_varint(encoder_p, static_cast<uint64_t>(static_cast<int64_t>(v)));
      break;
    }
    case KIND_SINT32: {
      int32_t v;
      memcpy(&v, item_p, sizeof(v));
      pbwire_encoder_put_varint(encoder_p, pbwire_zigzag_encode(v));
      break;
    }
    case KIND_UINT32: {
      uint32_t v;
      memcpy(&v, item_p, sizeof(v));
      pbwire_encoder_put_varint(encoder_p, v);
      break;
    }
    case KIND_INT64:
    case KIND_UINT64: {
      uint64_t v;
      memcpy(&v, item_p, sizeof(v));
      pbwire_encoder_put_varint(encoder_p, v);
      break;
    }
    case KIND_SINT64: {
      int64_t v;
      memcpy(&v, item_p, sizeof(v));
      pbwire_encoder_put_varint(encoder_p, pbwire_zigzag_encode(v));
      break;
    }
    case KIND_FIXED32:
    case KIND_SFIXED32:
    case KIND_FLOAT: {
      uint32_t v;
      memcpy(&v, item_p, sizeof(v));
      pbwire_encoder_put_fixed32(encoder_p, v);
      break;
    }
    case KIND_FIXED64:
    case KIND_SFIXED64:
    case KIND_DOUBLE: {
      uint64_t v;
      memcpy(&v, item_p, sizeof(v));
      pbwire_encoder_put_fixed64(encoder_p, v);
      break;
    }
    case KIND_BOOL: {
      bool v;
      memcpy(&v, item_p, sizeof(v));
      pbwire_encoder_put_varint(encoder_p, v ? 1 : 0);
      break;
    }
  }
}

void encoder_write_packed(pbwire_encoder_t *encoder_p, int field_number, scalar_kind kind,
                          const void *items_p, int32_t length) {
  if (encoder_p->pos < 0 || items_p == nullptr || length <= 0) {
    return;
  }
  int32_t end = encoder_p->pos;
  for (int32_t i = length - 1; i >= 0 && encoder_p->pos >= 0; i--) {
    encoder_write_scalar_item(encoder_p, kind, items_p, i);
  }
  pbwire_encoder_write_length_key(encoder_p, field_number, end);
}

// One scalar value in its native wire form, as raw bits.
uint64_t decoder_read_scalar(pbwire_decoder_t *decoder_p, scalar_kind kind) {
  switch (kind_wire_type(kind)) {
    case PBWIRE_WIRE_TYPE_FIXED_32:
      return pbwire_decoder_read_fixed(decoder_p, 4);
    case PBWIRE_WIRE_TYPE_FIXED_64:
      return pbwire_decoder_read_fixed(decoder_p, 8);
    default:
      return pbwire_decoder_read_varint(decoder_p);
  }
}

void store_scalar_item(void *items_p, scalar_kind kind, int32_t index, uint64_t raw) {
  char *item_p = static_cast<char *>(items_p) + index * kind_item_size(kind);
  switch (kind) {
    case KIND_SINT32: {
      int32_t v = static_cast<int32_t>(pbwire_zigzag_decode(raw));
      memcpy(item_p, &v, sizeof(v));
      break;
    }
    case KIND_SINT64: {
      int64_t v = pbwire_zigzag_decode(raw);
      memcpy(item_p, &v, sizeof(v));
      break;
    }
    case KIND_BOOL: {
      bool v = raw != 0;
      memcpy(item_p, &v, sizeof(v));
      break;
    }
    default: {
      // Integers are truncated to their width; fixed and floating values
      // arrive with exactly their width.
      if (kind_item_size(kind) == 4) {
        uint32_t v = static_cast<uint32_t>(raw);
        memcpy(item_p, &v, sizeof(v));
      } else {
        memcpy(item_p, &raw, sizeof(raw));
      }
      break;
    }
  }
}

// Moves `repeated_info_p`'s decoder to the value of the field's next
// occurrence, skipping other fields; false when there is none (or on error).
bool repeated_info_next(pbwire_repeated_info_t *repeated_info_p, int *wire_type_p) {
  pbwire_decoder_t *decoder_p = &repeated_info_p->decoder;
  while (pbwire_decoder_available(decoder_p)) {
    int field_number = pbwire_decoder_read_tag(decoder_p, wire_type_p);
    if (field_number == repeated_info_p->tag) {
      return true;
    }
    pbwire_decoder_skip_field(decoder_p, *wire_type_p);
  }
  return false;
}

void decode_repeated_scalar(pbwire_decoder_t *decoder_p, pbwire_repeated_info_t *repeated_info_p,
                            scalar_kind kind, void **items_pp, int32_t *length_p) {
  *items_pp = nullptr;
  *length_p = 0;
  if (decoder_p->pos < 0 || repeated_info_p->length <= 0) {
    return;
  }
  int32_t length = repeated_info_p->length;
  void *items_p =
      pbwire_heap_alloc(decoder_p->heap_p, static_cast<size_t>(length) * kind_item_size(kind), 8);
  if (items_p == nullptr) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return;
  }
  pbwire_decoder_t *reader_p = &repeated_info_p->decoder;
  int wire_type = repeated_info_p->wire_type;
  int32_t filled = 0;
  do {
    if (wire_type == PBWIRE_WIRE_TYPE_LENGTH_DELIMITED) {
      int32_t chunk_length = pbwire_decoder_read_length(reader_p);
      if (chunk_length < 0) {
        break;
      }
      pbwire_decoder_t chunk = pbwire_decoder_slice(reader_p, chunk_length);
      while (filled < length && pbwire_decoder_available(&chunk)) {
        uint64_t raw = decoder_read_scalar(&chunk, kind);
        if (chunk.pos < 0) {
          break;
        }
        store_scalar_item(items_p, kind, filled++, raw);
      }
      pbwire_decoder_leave_slice(reader_p, &chunk);
    } else if (pbwire_decoder_check_wire_type(reader_p, wire_type, kind_wire_type(kind))) {
      uint64_t raw = decoder_read_scalar(reader_p, kind);
      if (reader_p->pos >= 0) {
        store_scalar_item(items_p, kind, filled++, raw);
      }
    }
  } while (filled < length && reader_p->pos >= 0 &&
           repeated_info_next(repeated_info_p, &wire_type));
  if (reader_p->pos < 0) {
    pbwire_decoder_fail(decoder_p, -reader_p->pos);
  }
  *items_pp = items_p;
  *length_p = filled;
}

// First pass for a repeated scalar field of `kind`.
void repeated_info_count_scalar(pbwire_repeated_info_t *repeated_info_p,
                                pbwire_decoder_t *decoder_p, int wire_type, scalar_kind kind) {
  if (decoder_p->pos < 0) {
    return;
  }
  pbwire_decoder_t start = *decoder_p;
  int32_t count = 0;
  int native = kind_wire_type(kind);
  if (wire_type == PBWIRE_WIRE_TYPE_LENGTH_DELIMITED) {
    int32_t length = pbwire_decoder_read_length(decoder_p);
    if (length < 0) {
      return;
    }
    const uint8_t *chunk_p = &decoder_p->buf_p[decoder_p->pos];
    if (native == PBWIRE_WIRE_TYPE_VARINT) {
      for (int32_t i = 0; i < length; i++) {
        count += (chunk_p[i] & 0x80) == 0;
      }
      // A value cut off by the end of the field is data missing.
      if (length > 0 && (chunk_p[length - 1] & 0x80) != 0) {
        pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
        return;
      }
    } else {
      int32_t item_size = native == PBWIRE_WIRE_TYPE_FIXED_32 ? 4 : 8;
      if (length % item_size != 0) {
        pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
        return;
      }
      count = length / item_size;
    }
    pbwire_decoder_seek(decoder_p, length);
  } else if (wire_type == native) {
    pbwire_decoder_skip_field(decoder_p, wire_type);
    count = 1;
  } else {
    pbwire_decoder_fail(decoder_p, PBWIRE_BAD_WIRE_TYPE);
    return;
  }
  if (decoder_p->pos < 0 || count == 0) {
    return;
  }
  // The second pass starts at the first occurrence that holds a value.
  if (repeated_info_p->length == 0) {
    repeated_info_p->decoder = start;
    repeated_info_p->wire_type = wire_type;
  }
  if (count > INT32_MAX - repeated_info_p->length) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return;
  }
  repeated_info_p->length += count;
}

}  // namespace

// ---- sizing ------------------------------------------------------------------

int pbwire_alloc_repeated(pbwire_heap_t *heap_p, int32_t length, size_t item_size,
                          pbwire_init_t init, void **items_pp) {
  if (length < 0) {
    return -1;
  }
  if (length == 0) {
    *items_pp = nullptr;
    return 0;
  }
  // length < 2^31 and structures are small, so the product cannot wrap a
  // 64-bit size; the heap refuses anything above its 2 GiB bound.
  char *items_p =
      static_cast<char *>(pbwire_heap_alloc(heap_p, static_cast<size_t>(length) * item_size, 8));
  if (items_p == nullptr) {
    return -1;
  }
  for (int32_t i = 0; i < length; i++) {
    init(items_p + static_cast<size_t>(i) * item_size, heap_p);
  }
  *items_pp = items_p;
  return 0;
}

// `length` zeroed scalars in *items_pp (null for none). 0, or -1.
int alloc_scalar_items(pbwire_heap_t *heap_p, int32_t length, size_t item_size, void **items_pp) {
  if (length < 0) {
    return -1;
  }
  *items_pp = nullptr;
  if (length == 0) {
    return 0;
  }
  void *items_p = pbwire_heap_alloc(heap_p, static_cast<size_t>(length) * item_size, 8);
  if (items_p == nullptr) {
    return -1;
  }
  memset(items_p, 0, static_cast<size_t>(length) * item_size);
  *items_pp = items_p;
  return 0;
}

int pbwire_alloc_repeated_string(pbwire_repeated_string_t *repeated_p, pbwire_heap_t *heap_p,
                                 int32_t length) {
  if (length < 0) {
    return -1;
  }
  const char **items_p = nullptr;
  if (length > 0) {
    items_p = static_cast<const char **>(
        pbwire_heap_alloc(heap_p, static_cast<size_t>(length) * sizeof(const char *), 8));
    if (items_p == nullptr) {
      return -1;
    }
    for (int32_t i = 0; i < length; i++) {
      items_p[i] = pbwire_empty_string;
    }
  }
  repeated_p->items_p = items_p;
  repeated_p->length = length;
  return 0;
}

int pbwire_alloc_repeated_bytes(pbwire_repeated_bytes_t *repeated_p, pbwire_heap_t *heap_p,
                                int32_t length) {
  if (length < 0) {
    return -1;
  }
  pbwire_bytes_t *items_p = nullptr;
  if (length > 0) {
    items_p = static_cast<pbwire_bytes_t *>(
        pbwire_heap_alloc(heap_p, static_cast<size_t>(length) * sizeof(pbwire_bytes_t), 8));
    if (items_p == nullptr) {
      return -1;
    }
    for (int32_t i = 0; i < length; i++) {
      items_p[i].buf_p = nullptr;
      items_p[i].size = 0;
    }
  }
  repeated_p->items_p = items_p;
  repeated_p->length = length;
  return 0;
}

int pbwire_alloc_repeated_int32(pbwire_repeated_int32_t *repeated_p, pbwire_heap_t *heap_p,
                                int32_t length) {
  void *items_p;
  if (alloc_scalar_items(heap_p, length, sizeof(int32_t), &items_p) != 0) {
    return -1;
  }
  repeated_p->items_p = static_cast<int32_t *>(items_p);
  repeated_p->length = length;
  return 0;
}

int pbwire_alloc_repeated_int64(pbwire_repeated_int64_t *repeated_p, pbwire_heap_t *heap_p,
                                int32_t length) {
  void *items_p;
  if (alloc_scalar_items(heap_p, length, sizeof(int64_t), &items_p) != 0) {
    return -1;
  }
  repeated_p->items_p = static_cast<int64_t *>(items_p);
  repeated_p->length = length;
  return 0;
}

int pbwire_alloc_repeated_uint32(pbwire_repeated_uint32_t *repeated_p, pbwire_heap_t *heap_p,
                                 int32_t length) {
  void *items_p;
  if (alloc_scalar_items(heap_p, length, sizeof(uint32_t), &items_p) != 0) {
    return -1;
  }
  repeated_p->items_p = static_cast<uint32_t *>(items_p);
  repeated_p->length = length;
  return 0;
}

int pbwire_alloc_repeated_uint64(pbwire_repeated_uint64_t *repeated_p, pbwire_heap_t *heap_p,
                                 int32_t length) {
  void *items_p;
  if (alloc_scalar_items(heap_p, length, sizeof(uint64_t), &items_p) != 0) {
    return -1;
  }
  repeated_p->items_p = static_cast<uint64_t *>(items_p);
  repeated_p->length = length;
  return 0;
}

int pbwire_alloc_repeated_float(pbwire_repeated_float_t *repeated_p, pbwire_heap_t *heap_p,
                                int32_t length) {
  void *items_p;
  if (alloc_scalar_items(heap_p, length, sizeof(float), &items_p) != 0) {
    return -1;
  }
  repeated_p->items_p = static_cast<float *>(items_p);
  repeated_p->length = length;
  return 0;
}

int pbwire_alloc_repeated_double(pbwire_repeated_double_t *repeated_p, pbwire_heap_t *heap_p,
                                 int32_t length) {
  void *items_p;
  if (alloc_scalar_items(heap_p, length, sizeof(double), &items_p) != 0) {
    return -1;
  }
  repeated_p->items_p = static_cast<double *>(items_p);
  repeated_p->length = length;
  return 0;
}

int pbwire_alloc_repeated_bool(pbwire_repeated_bool_t *repeated_p, pbwire_heap_t *heap_p,
                               int32_t length) {
  void *items_p;
  if (alloc_scalar_items(heap_p, length, sizeof(bool), &items_p) != 0) {
    return -1;
  }
  repeated_p->items_p = static_cast<bool *>(items_p);
  repeated_p->length = length;
  return 0;
}

// ---- writing -----------------------------------------------------------------

void pbwire_encoder_write_repeated_int32(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_int32_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_INT32, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_int64(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_int64_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_INT64, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_uint32(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_uint32_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_UINT32, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_uint64(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_uint64_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_UINT64, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_sint32(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_int32_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_SINT32, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_sint64(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_int64_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_SINT64, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_fixed32(pbwire_encoder_t *encoder_p, int field_number,
                                           const pbwire_repeated_uint32_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_FIXED32, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_fixed64(pbwire_encoder_t *encoder_p, int field_number,
                                           const pbwire_repeated_uint64_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_FIXED64, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_sfixed32(pbwire_encoder_t *encoder_p, int field_number,
                                            const pbwire_repeated_int32_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_SFIXED32, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_sfixed64(pbwire_encoder_t *encoder_p, int field_number,
                                            const pbwire_repeated_int64_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_SFIXED64, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_float(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_float_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_FLOAT, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_double(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_double_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_DOUBLE, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_bool(pbwire_encoder_t *encoder_p, int field_number,
                                        const pbwire_repeated_bool_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_BOOL, repeated_p->items_p, repeated_p->length);
}

void pbwire_encoder_write_repeated_enum(pbwire_encoder_t *encoder_p, int field_number,
                                        const pbwire_repeated_int32_t *repeated_p) {
  encoder_write_packed(encoder_p, field_number, KIND_INT32, repeated_p->items_p,
                       repeated_p->length);
}

void pbwire_encoder_write_repeated_string(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_string_t *repeated_p) {
  if (repeated_p->items_p == nullptr) {
    return;
  }
  for (int32_t i = repeated_p->length - 1; i >= 0 && encoder_p->pos >= 0; i--) {
    pbwire_encoder_put_string_field(encoder_p, field_number, repeated_p->items_p[i]);
  }
}

void pbwire_encoder_write_repeated_bytes(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_bytes_t *repeated_p) {
  if (repeated_p->items_p == nullptr) {
    return;
  }
  for (int32_t i = repeated_p->length - 1; i >= 0 && encoder_p->pos >= 0; i--) {
    pbwire_encoder_put_bytes_field(encoder_p, field_number, &repeated_p->items_p[i]);
  }
}

void pbwire_encode_repeated_inner(pbwire_encoder_t *encoder_p, int field_number,
                                  const void *items_p, int32_t length, size_t item_size,
                                  pbwire_encode_inner_t encode_inner) {
  if (items_p == nullptr) {
    return;
  }
  const char *base_p = static_cast<const char *>(items_p);
  for (int32_t i = length - 1; i >= 0 && encoder_p->pos >= 0; i--) {
    pbwire_encoder_put_sub_message(encoder_p, field_number,
                                   base_p + static_cast<size_t>(i) * item_size, encode_inner);
  }
}

// ---- decoding in two passes --------------------------------------------------

void pbwire_repeated_info_init(pbwire_repeated_info_t *repeated_info_p, int tag) {
  repeated_info_p->decoder.buf_p = nullptr;
  repeated_info_p->decoder.size = 0;
  repeated_info_p->decoder.pos = 0;
  repeated_info_p->decoder.heap_p = nullptr;
  repeated_info_p->length = 0;
  repeated_info_p->tag = tag;
  repeated_info_p->wire_type = -1;
}

void pbwire_repeated_info_decode(pbwire_repeated_info_t *repeated_info_p,
                                 pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
    return;
  }
  pbwire_decoder_t start = *decoder_p;
  int32_t length = pbwire_decoder_read_length(decoder_p);
  if (length < 0) {
    return;
  }
  pbwire_decoder_seek(decoder_p, length);
  if (repeated_info_p->length == 0) {
    repeated_info_p->decoder = start;
    repeated_info_p->wire_type = wire_type;
  }
  // Every item takes at least one byte of input under 2 GiB: no overflow.
  repeated_info_p->length++;
}

void pbwire_repeated_info_decode_string(pbwire_repeated_info_t *repeated_info_p,
                                        pbwire_decoder_t *decoder_p, int wire_type) {
  pbwire_repeated_info_decode(repeated_info_p, decoder_p, wire_type);
}

void pbwire_repeated_info_decode_bytes(pbwire_repeated_info_t *repeated_info_p,
                                       pbwire_decoder_t *decoder_p, int wire_type) {
  pbwire_repeated_info_decode(repeated_info_p, decoder_p, wire_type);
}

void pbwire_repeated_info_decode_varint(pbwire_repeated_info_t *repeated_info_p,
                                        pbwire_decoder_t *decoder_p, int wire_type) {
  repeated_info_count_scalar(repeated_info_p, decoder_p, wire_type, KIND_UINT64);
}

void pbwire_repeated_info_decode_fixed32(pbwire_repeated_info_t *repeated_info_p,
                                         pbwire_decoder_t *decoder_p, int wire_type) {
  repeated_info_count_scalar(repeated_info_p, decoder_p, wire_type, KIND_FIXED32);
}

void pbwire_repeated_info_decode_fixed64(pbwire_repeated_info_t *repeated_info_p,
                                         pbwire_decoder_t *decoder_p, int wire_type) {
  repeated_info_count_scalar(repeated_info_p, decoder_p, wire_type, KIND_FIXED64);
}

void pbwire_decode_repeated_inner(pbwire_decoder_t *decoder_p,
                                  pbwire_repeated_info_t *repeated_info_p, size_t item_size,
                                  pbwire_init_t init, pbwire_decode_inner_t decode_inner,
                                  void **items_pp, int32_t *length_p) {
  *items_pp = nullptr;
  *length_p = 0;
  if (decoder_p->pos < 0 || repeated_info_p->length <= 0) {
    return;
  }
  void *items_p;
  if (pbwire_alloc_repeated(decoder_p->heap_p, repeated_info_p->length, item_size, init,
                            &items_p) != 0) {
    // Too many items for the workspace: fail the decode, as for scalars,
    // strings and bytes, so that a caller can retry with a larger workspace
    // instead of taking an empty list for the sender's whole list.
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return;
  }
  char *base_p = static_cast<char *>(items_p);
  pbwire_decoder_t *reader_p = &repeated_info_p->decoder;
  int wire_type = repeated_info_p->wire_type;
  int32_t started = 0;
  do {
    void *item_p = base_p + static_cast<size_t>(started) * item_size;
    if (!pbwire_decoder_check_wire_type(reader_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
      break;
    }
    int32_t length = pbwire_decoder_read_length(reader_p);
    if (length < 0) {
      break;
    }
    started++;
    pbwire_decoder_t slice = pbwire_decoder_slice(reader_p, length);
    decode_inner(&slice, item_p);
    pbwire_decoder_leave_slice(reader_p, &slice);
  } while (started < repeated_info_p->length && reader_p->pos >= 0 &&
           repeated_info_next(repeated_info_p, &wire_type));
  if (reader_p->pos < 0) {
    pbwire_decoder_fail(decoder_p, -reader_p->pos);
  }
  *items_pp = items_p;
  *length_p = started;
}

void pbwire_decoder_decode_repeated_int32(pbwire_decoder_t *decoder_p,
                                          pbwire_repeated_info_t *repeated_info_p,
                                          pbwire_repeated_int32_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_INT32, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<int32_t *>(items_p);
}

void pbwire_decoder_decode_repeated_int64(pbwire_decoder_t *decoder_p,
                                          pbwire_repeated_info_t *repeated_info_p,
                                          pbwire_repeated_int64_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_INT64, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<int64_t *>(items_p);
}

void pbwire_decoder_decode_repeated_uint32(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_uint32_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_UINT32, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<uint32_t *>(items_p);
}

void pbwire_decoder_decode_repeated_uint64(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_uint64_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_UINT64, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<uint64_t *>(items_p);
}

void pbwire_decoder_decode_repeated_sint32(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_int32_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_SINT32, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<int32_t *>(items_p);
}

void pbwire_decoder_decode_repeated_sint64(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_int64_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_SINT64, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<int64_t *>(items_p);
}

void pbwire_decoder_decode_repeated_fixed32(pbwire_decoder_t *decoder_p,
                                            pbwire_repeated_info_t *repeated_info_p,
                                            pbwire_repeated_uint32_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_FIXED32, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<uint32_t *>(items_p);
}

void pbwire_decoder_decode_repeated_fixed64(pbwire_decoder_t *decoder_p,
                                            pbwire_repeated_info_t *repeated_info_p,
                                            pbwire_repeated_uint64_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_FIXED64, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<uint64_t *>(items_p);
}

void pbwire_decoder_decode_repeated_sfixed32(pbwire_decoder_t *decoder_p,
                                             pbwire_repeated_info_t *repeated_info_p,
                                             pbwire_repeated_int32_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_SFIXED32, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<int32_t *>(items_p);
}

void pbwire_decoder_decode_repeated_sfixed64(pbwire_decoder_t *decoder_p,
                                             pbwire_repeated_info_t *repeated_info_p,
                                             pbwire_repeated_int64_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_SFIXED64, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<int64_t *>(items_p);
}

void pbwire_decoder_decode_repeated_float(pbwire_decoder_t *decoder_p,
                                          pbwire_repeated_info_t *repeated_info_p,
                                          pbwire_repeated_float_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_FLOAT, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<float *>(items_p);
}

void pbwire_decoder_decode_repeated_double(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_double_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_DOUBLE, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<double *>(items_p);
}

void pbwire_decoder_decode_repeated_bool(pbwire_decoder_t *decoder_p,
                                         pbwire_repeated_info_t *repeated_info_p,
                                         pbwire_repeated_bool_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_BOOL, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<bool *>(items_p);
}

void pbwire_decoder_decode_repeated_enum(pbwire_decoder_t *decoder_p,
                                         pbwire_repeated_info_t *repeated_info_p,
                                         pbwire_repeated_int32_t *repeated_p) {
  void *items_p;
  decode_repeated_scalar(decoder_p, repeated_info_p, KIND_INT32, &items_p, &repeated_p->length);
  repeated_p->items_p = static_cast<int32_t *>(items_p);
}

void pbwire_decoder_decode_repeated_string(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_string_t *repeated_p) {
  repeated_p->items_p = nullptr;
  repeated_p->length = 0;
  if (decoder_p->pos < 0 || repeated_info_p->length <= 0) {
    return;
  }
  pbwire_repeated_string_t items;
  if (pbwire_alloc_repeated_string(&items, decoder_p->heap_p, repeated_info_p->length) != 0) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return;
  }
  pbwire_decoder_t *reader_p = &repeated_info_p->decoder;
  int wire_type = repeated_info_p->wire_type;
  int32_t filled = 0;
  do {
    items.items_p[filled++] = pbwire_decoder_read_string(reader_p, wire_type);
  } while (filled < items.length && reader_p->pos >= 0 &&
           repeated_info_next(repeated_info_p, &wire_type));
  if (reader_p->pos < 0) {
    pbwire_decoder_fail(decoder_p, -reader_p->pos);
  }
  repeated_p->items_p = items.items_p;
  repeated_p->length = filled;
}

void pbwire_decoder_decode_repeated_bytes(pbwire_decoder_t *decoder_p,
                                          pbwire_repeated_info_t *repeated_info_p,
                                          pbwire_repeated_bytes_t *repeated_p) {
  repeated_p->items_p = nullptr;
  repeated_p->length = 0;
  if (decoder_p->pos < 0 || repeated_info_p->length <= 0) {
    return;
  }
  pbwire_repeated_bytes_t items;
  if (pbwire_alloc_repeated_bytes(&items, decoder_p->heap_p, repeated_info_p->length) != 0) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return;
  }
  pbwire_decoder_t *reader_p = &repeated_info_p->decoder;
  int wire_type = repeated_info_p->wire_type;
  int32_t filled = 0;
  do {
    pbwire_decoder_read_bytes(reader_p, wire_type, &items.items_p[filled++]);
  } while (filled < items.length && reader_p->pos >= 0 &&
           repeated_info_next(repeated_info_p, &wire_type));
  if (reader_p->pos < 0) {
    pbwire_decoder_fail(decoder_p, -reader_p->pos);
  }
  repeated_p->items_p = items.items_p;
  repeated_p->length = filled;
}
