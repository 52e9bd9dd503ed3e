// Protocol Buffers runtime: workspace heap, backwards encoder, bounded
// decoder with two-pass repeated fields. See pbwire.h for the contracts.
#include "pbwire.h"

#include <bit>
#include <climits>
#include <cstring>

const char pbwire_empty_string[1] = {'\0'};

namespace {

// Largest field number the wire format allows (29 bits).
constexpr uint64_t MAX_FIELD_NUMBER = (1u << 29) - 1;

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

uint64_t zigzag_encode(int64_t value) {
  return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

int64_t zigzag_decode(uint64_t value) {
  return static_cast<int64_t>((value >> 1) ^ (~(value & 1) + 1));
}

uint32_t float_bits(float value) {
  uint32_t bits;
  memcpy(&bits, &value, sizeof(bits));
  return bits;
}

uint64_t double_bits(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// ---- encoder primitives -------------------------------------------------

void encoder_fail(pbwire_encoder_t *encoder_p) {
  encoder_p->pos = -PBWIRE_ENCODE_BUFFER_FULL;
}

int varint_size(uint64_t value) {
  return (std::bit_width(value | 1) + 6) / 7;
}

void encoder_put(pbwire_encoder_t *encoder_p, const void *src_p, size_t size) {
  if (encoder_p->pos < 0) {
    return;
  }
  // The first byte of the buffer is never written: a write of n bytes
  // needs pos >= n.
  if (size > static_cast<size_t>(encoder_p->pos)) {
    encoder_fail(encoder_p);
    return;
  }
  encoder_p->pos -= static_cast<int32_t>(size);
  if (size > 0) {
    memcpy(&encoder_p->buf_p[encoder_p->pos + 1], src_p, size);
  }
}

void encoder_write_varint(pbwire_encoder_t *encoder_p, uint64_t value) {
  if (encoder_p->pos < 0) {
    return;
  }
  int size = varint_size(value);
  if (size > encoder_p->pos) {
    encoder_fail(encoder_p);
    return;
  }
  encoder_p->pos -= size;
  uint8_t *dst_p = &encoder_p->buf_p[encoder_p->pos + 1];
  while (value >= 0x80) {
    *dst_p++ = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  *dst_p = static_cast<uint8_t>(value);
}

void encoder_write_key(pbwire_encoder_t *encoder_p, int field_number, int wire_type) {
  encoder_write_varint(
      encoder_p, (static_cast<uint64_t>(field_number) << 3) | static_cast<uint64_t>(wire_type));
}

void encoder_write_fixed32(pbwire_encoder_t *encoder_p, uint32_t value) {
  uint8_t buf[4];
  for (int i = 0; i < 4; i++) {
    buf[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  encoder_put(encoder_p, buf, sizeof(buf));
}

void encoder_write_fixed64(pbwire_encoder_t *encoder_p, uint64_t value) {
  uint8_t buf[8];
  for (int i = 0; i < 8; i++) {
    buf[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  encoder_put(encoder_p, buf, sizeof(buf));
}

void encoder_write_varint_field(pbwire_encoder_t *encoder_p, int field_number, uint64_t value) {
  encoder_write_varint(encoder_p, value);
  encoder_write_key(encoder_p, field_number, PBWIRE_WIRE_TYPE_VARINT);
}

void encoder_write_fixed32_field(pbwire_encoder_t *encoder_p, int field_number, uint32_t value) {
  encoder_write_fixed32(encoder_p, value);
  encoder_write_key(encoder_p, field_number, PBWIRE_WIRE_TYPE_FIXED_32);
}

void encoder_write_fixed64_field(pbwire_encoder_t *encoder_p, int field_number, uint64_t value) {
  encoder_write_fixed64(encoder_p, value);
  encoder_write_key(encoder_p, field_number, PBWIRE_WIRE_TYPE_FIXED_64);
}

// Key and length in front of what was written since `end` (the encoder's
// position before the content).
void encoder_write_length_key(pbwire_encoder_t *encoder_p, int field_number, int32_t end) {
  if (encoder_p->pos < 0) {
    return;
  }
  encoder_write_varint(encoder_p, static_cast<uint64_t>(end - encoder_p->pos));
  encoder_write_key(encoder_p, field_number, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED);
}

void encoder_write_string_field(pbwire_encoder_t *encoder_p, int field_number,
                                const char *value_p) {
  if (encoder_p->pos < 0) {
    return;
  }
  int32_t end = encoder_p->pos;
  if (value_p != nullptr) {
    encoder_put(encoder_p, value_p, strlen(value_p));
  }
  encoder_write_length_key(encoder_p, field_number, end);
}

void encoder_write_bytes_field(pbwire_encoder_t *encoder_p, int field_number,
                               const pbwire_bytes_t *value_p) {
  if (encoder_p->pos < 0) {
    return;
  }
  int32_t end = encoder_p->pos;
  if (value_p != nullptr && value_p->buf_p != nullptr) {
    if (value_p->size > static_cast<uint64_t>(encoder_p->pos)) {
      encoder_fail(encoder_p);
      return;
    }
    encoder_put(encoder_p, value_p->buf_p, static_cast<size_t>(value_p->size));
  }
  encoder_write_length_key(encoder_p, field_number, end);
}

void encoder_write_sub_message(pbwire_encoder_t *encoder_p, int field_number, const void *message_p,
                               pbwire_encode_inner_t encode_inner) {
  if (encoder_p->pos < 0) {
    return;
  }
  int32_t end = encoder_p->pos;
  if (message_p != nullptr) {
    encode_inner(encoder_p, message_p);
  }
  encoder_write_length_key(encoder_p, field_number, end);
}

// One value of a packed repeated scalar, read from item `index`.
void encoder_write_scalar_item(pbwire_encoder_t *encoder_p, scalar_kind kind, const void *items_p,
                               int32_t index) {
  const char *item_p = static_cast<const char *>(items_p) + index * kind_item_size(kind);
  switch (kind) {
    case KIND_INT32: {
      int32_t v;
      memcpy(&v, item_p, sizeof(v));
      encoder_write_varint(encoder_p, static_cast<uint64_t>(static_cast<int64_t>(v)));
      break;
    }
    case KIND_SINT32: {
      int32_t v;
      memcpy(&v, item_p, sizeof(v));
      encoder_write_varint(encoder_p, zigzag_encode(v));
      break;
    }
    case KIND_UINT32: {
      uint32_t v;
      memcpy(&v, item_p, sizeof(v));
      encoder_write_varint(encoder_p, v);
      break;
    }
    case KIND_INT64:
    case KIND_UINT64: {
      uint64_t v;
      memcpy(&v, item_p, sizeof(v));
      encoder_write_varint(encoder_p, v);
      break;
    }
    case KIND_SINT64: {
      int64_t v;
      memcpy(&v, item_p, sizeof(v));
      encoder_write_varint(encoder_p, zigzag_encode(v));
      break;
    }
    case KIND_FIXED32:
    case KIND_SFIXED32:
    case KIND_FLOAT: {
      uint32_t v;
      memcpy(&v, item_p, sizeof(v));
      encoder_write_fixed32(encoder_p, v);
      break;
    }
    case KIND_FIXED64:
    case KIND_SFIXED64:
    case KIND_DOUBLE: {
      uint64_t v;
      memcpy(&v, item_p, sizeof(v));
      encoder_write_fixed64(encoder_p, v);
      break;
    }
    case KIND_BOOL: {
      bool v;
      memcpy(&v, item_p, sizeof(v));
      encoder_write_varint(encoder_p, v ? 1 : 0);
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
  encoder_write_length_key(encoder_p, field_number, end);
}

// ---- decoder primitives -------------------------------------------------

void decoder_fail(pbwire_decoder_t *decoder_p, int code) {
  if (decoder_p->pos >= 0) {
    decoder_p->pos = -code;
  }
}

uint64_t decoder_read_varint(pbwire_decoder_t *decoder_p) {
  int32_t pos = decoder_p->pos;
  if (pos < 0) {
    return 0;
  }
  const uint8_t *buf_p = decoder_p->buf_p;
  uint64_t value = 0;
  for (int i = 0; i < 10; i++) {
    if (pos >= decoder_p->size) {
      decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
      return 0;
    }
    uint8_t byte = buf_p[pos++];
    value |= static_cast<uint64_t>(byte & 0x7f) << (7 * i);
    if ((byte & 0x80) == 0) {
      decoder_p->pos = pos;
      return value;
    }
  }
  decoder_fail(decoder_p, PBWIRE_VARINT_OVERFLOW);
  return 0;
}

uint64_t decoder_read_fixed(pbwire_decoder_t *decoder_p, int size) {
  if (decoder_p->pos < 0) {
    return 0;
  }
  if (decoder_p->size - decoder_p->pos < size) {
    decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
    return 0;
  }
  const uint8_t *src_p = &decoder_p->buf_p[decoder_p->pos];
  uint64_t value = 0;
  for (int i = 0; i < size; i++) {
    value |= static_cast<uint64_t>(src_p[i]) << (8 * i);
  }
  decoder_p->pos += size;
  return value;
}

void decoder_seek(pbwire_decoder_t *decoder_p, int64_t offset) {
  if (decoder_p->pos < 0) {
    return;
  }
  int64_t target = static_cast<int64_t>(decoder_p->pos) + offset;
  if (target > INT32_MAX || target < 0) {
    decoder_fail(decoder_p, PBWIRE_SEEK_OVERFLOW);
  } else if (target > decoder_p->size) {
    decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
  } else {
    decoder_p->pos = static_cast<int32_t>(target);
  }
}

// Reads the length of a length-delimited field and checks it against the
// input that remains, so callers may copy or skip that many bytes. -1 on
// failure.
int32_t decoder_read_length(pbwire_decoder_t *decoder_p) {
  uint64_t length = decoder_read_varint(decoder_p);
  if (decoder_p->pos < 0) {
    return -1;
  }
  if (length >= INT32_MAX) {
    decoder_fail(decoder_p, PBWIRE_LENGTH_DELIMITED_OVERFLOW);
    return -1;
  }
  if (static_cast<int64_t>(length) > decoder_p->size - decoder_p->pos) {
    decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
    return -1;
  }
  return static_cast<int32_t>(length);
}

bool decoder_check_wire_type(pbwire_decoder_t *decoder_p, int wire_type, int expected) {
  if (decoder_p->pos < 0) {
    return false;
  }
  if (wire_type != expected) {
    decoder_fail(decoder_p, PBWIRE_BAD_WIRE_TYPE);
    return false;
  }
  return true;
}

// A decoder over the next `length` bytes of `decoder_p`; the caller moves
// `decoder_p` past them afterwards.
pbwire_decoder_t decoder_slice(const pbwire_decoder_t *decoder_p, int32_t length) {
  pbwire_decoder_t slice;
  slice.buf_p = decoder_p->buf_p;
  slice.size = decoder_p->pos + length;
  slice.pos = decoder_p->pos;
  slice.heap_p = decoder_p->heap_p;
  return slice;
}

// Continues after a slice: its error, or the position at its end.
void decoder_leave_slice(pbwire_decoder_t *decoder_p, const pbwire_decoder_t *slice_p) {
  if (slice_p->pos < 0) {
    decoder_fail(decoder_p, -slice_p->pos);
  } else {
    decoder_p->pos = slice_p->size;
  }
}

// One scalar value in its native wire form, as raw bits.
uint64_t decoder_read_scalar(pbwire_decoder_t *decoder_p, scalar_kind kind) {
  switch (kind_wire_type(kind)) {
    case PBWIRE_WIRE_TYPE_FIXED_32:
      return decoder_read_fixed(decoder_p, 4);
    case PBWIRE_WIRE_TYPE_FIXED_64:
      return decoder_read_fixed(decoder_p, 8);
    default:
      return decoder_read_varint(decoder_p);
  }
}

void store_scalar_item(void *items_p, scalar_kind kind, int32_t index, uint64_t raw) {
  char *item_p = static_cast<char *>(items_p) + index * kind_item_size(kind);
  switch (kind) {
    case KIND_SINT32: {
      int32_t v = static_cast<int32_t>(zigzag_decode(raw));
      memcpy(item_p, &v, sizeof(v));
      break;
    }
    case KIND_SINT64: {
      int64_t v = zigzag_decode(raw);
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
    decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return;
  }
  pbwire_decoder_t *reader_p = &repeated_info_p->decoder;
  int wire_type = repeated_info_p->wire_type;
  int32_t filled = 0;
  do {
    if (wire_type == PBWIRE_WIRE_TYPE_LENGTH_DELIMITED) {
      int32_t chunk_length = decoder_read_length(reader_p);
      if (chunk_length < 0) {
        break;
      }
      pbwire_decoder_t chunk = decoder_slice(reader_p, chunk_length);
      while (filled < length && pbwire_decoder_available(&chunk)) {
        uint64_t raw = decoder_read_scalar(&chunk, kind);
        if (chunk.pos < 0) {
          break;
        }
        store_scalar_item(items_p, kind, filled++, raw);
      }
      decoder_leave_slice(reader_p, &chunk);
    } else if (decoder_check_wire_type(reader_p, wire_type, kind_wire_type(kind))) {
      uint64_t raw = decoder_read_scalar(reader_p, kind);
      if (reader_p->pos >= 0) {
        store_scalar_item(items_p, kind, filled++, raw);
      }
    }
  } while (filled < length && reader_p->pos >= 0 &&
           repeated_info_next(repeated_info_p, &wire_type));
  if (reader_p->pos < 0) {
    decoder_fail(decoder_p, -reader_p->pos);
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
    int32_t length = decoder_read_length(decoder_p);
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
        decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
        return;
      }
    } else {
      int32_t item_size = native == PBWIRE_WIRE_TYPE_FIXED_32 ? 4 : 8;
      if (length % item_size != 0) {
        decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
        return;
      }
      count = length / item_size;
    }
    decoder_seek(decoder_p, length);
  } else if (wire_type == native) {
    pbwire_decoder_skip_field(decoder_p, wire_type);
    count = 1;
  } else {
    decoder_fail(decoder_p, PBWIRE_BAD_WIRE_TYPE);
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
    decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return;
  }
  repeated_info_p->length += count;
}

}  // namespace

const char *pbwire_error_code_to_string(int code) {
  int64_t value = code < 0 ? -static_cast<int64_t>(code) : code;
  switch (value) {
    case PBWIRE_OK:
      return "Ok";
    case PBWIRE_BAD_WIRE_TYPE:
      return "Bad wire type";
    case PBWIRE_OUT_OF_DATA:
      return "Out of data";
    case PBWIRE_OUT_OF_MEMORY:
      return "Out of memory";
    case PBWIRE_ENCODE_BUFFER_FULL:
      return "Encode buffer full";
    case PBWIRE_BAD_FIELD_NUMBER:
      return "Bad field number";
    case PBWIRE_VARINT_OVERFLOW:
      return "Varint overflow";
    case PBWIRE_SEEK_OVERFLOW:
      return "Seek overflow";
    case PBWIRE_LENGTH_DELIMITED_OVERFLOW:
      return "Length delimited overflow";
    default:
      return "Unknown error";
  }
}

// ---- workspace -----------------------------------------------------------

pbwire_heap_t *pbwire_heap_new(void *workspace_p, size_t size) {
  if (workspace_p == nullptr) {
    return nullptr;
  }
  // The heap record holds pointers: align it when the caller's workspace
  // is not aligned (malloc'ed workspaces always are).
  size_t gap = (0 - reinterpret_cast<uintptr_t>(workspace_p)) & 7;
  if (size < gap + PBWIRE_HEAP_HEADER_SIZE) {
    return nullptr;
  }
  size -= gap;
  if (size > INT32_MAX) {
    size = INT32_MAX;
  }
  char *base_p = static_cast<char *>(workspace_p) + gap;
  pbwire_heap_t *heap_p = reinterpret_cast<pbwire_heap_t *>(base_p);
  heap_p->buf_p = base_p;
  heap_p->size = static_cast<int32_t>(size);
  heap_p->pos = PBWIRE_HEAP_HEADER_SIZE;
  return heap_p;
}

void *pbwire_heap_alloc(pbwire_heap_t *heap_p, size_t size, size_t alignment) {
  if (heap_p == nullptr || heap_p->pos < 0 || heap_p->pos > heap_p->size) {
    return nullptr;
  }
  size_t left = static_cast<size_t>(heap_p->size - heap_p->pos);
  // buf_p is 8-byte aligned, so the offset's alignment is the address's.
  size_t gap = (0 - static_cast<size_t>(heap_p->pos)) & (alignment - 1);
  if (size > left || gap > left - size) {
    return nullptr;
  }
  char *p = heap_p->buf_p + heap_p->pos + gap;
  heap_p->pos += static_cast<int32_t>(gap + size);
  return p;
}

void *pbwire_message_new(void *workspace_p, size_t size, size_t message_size, pbwire_init_t init) {
  pbwire_heap_t *heap_p = pbwire_heap_new(workspace_p, size);
  if (heap_p == nullptr) {
    return nullptr;
  }
  return pbwire_sub_message_alloc(heap_p, message_size, init);
}

void *pbwire_sub_message_alloc(pbwire_heap_t *heap_p, size_t message_size, pbwire_init_t init) {
  void *message_p = pbwire_heap_alloc(heap_p, message_size, 8);
  if (message_p != nullptr) {
    init(message_p, heap_p);
  }
  return message_p;
}

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

namespace {

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

}  // namespace

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

// ---- encoding -----------------------------------------------------------

void pbwire_encoder_init(pbwire_encoder_t *encoder_p, void *buf_p, size_t size) {
  encoder_p->buf_p = static_cast<uint8_t *>(buf_p);
  if (size > INT32_MAX) {
    size = INT32_MAX;
  }
  encoder_p->size = static_cast<int32_t>(size);
  encoder_p->pos = encoder_p->size - 1;
  if (buf_p == nullptr || size == 0) {
    // pos would be -1, which reads as an error code of its own.
    encoder_fail(encoder_p);
  }
}

int pbwire_encoder_get_result(pbwire_encoder_t *encoder_p) {
  if (encoder_p->pos < 0) {
    return encoder_p->pos;
  }
  int32_t length = encoder_p->size - encoder_p->pos - 1;
  if (length > 0) {
    memmove(encoder_p->buf_p, &encoder_p->buf_p[encoder_p->pos + 1], static_cast<size_t>(length));
  }
  return length;
}

int pbwire_message_encode(const void *message_p, void *encoded_p, size_t size,
                          pbwire_encode_inner_t encode_inner) {
  pbwire_encoder_t encoder;
  pbwire_encoder_init(&encoder, encoded_p, size);
  if (encoder.pos >= 0) {
    encode_inner(&encoder, message_p);
  }
  return pbwire_encoder_get_result(&encoder);
}

void pbwire_encoder_write_int32(pbwire_encoder_t *encoder_p, int field_number, int32_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_varint_field(encoder_p, field_number,
                             static_cast<uint64_t>(static_cast<int64_t>(value)));
}

void pbwire_encoder_write_int32_always(pbwire_encoder_t *encoder_p, int field_number,
                                       int32_t value) {
  encoder_write_varint_field(encoder_p, field_number,
                             static_cast<uint64_t>(static_cast<int64_t>(value)));
}

void pbwire_encoder_write_int64(pbwire_encoder_t *encoder_p, int field_number, int64_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_varint_field(encoder_p, field_number, static_cast<uint64_t>(value));
}

void pbwire_encoder_write_int64_always(pbwire_encoder_t *encoder_p, int field_number,
                                       int64_t value) {
  encoder_write_varint_field(encoder_p, field_number, static_cast<uint64_t>(value));
}

void pbwire_encoder_write_uint32(pbwire_encoder_t *encoder_p, int field_number, uint32_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_varint_field(encoder_p, field_number, value);
}

void pbwire_encoder_write_uint32_always(pbwire_encoder_t *encoder_p, int field_number,
                                        uint32_t value) {
  encoder_write_varint_field(encoder_p, field_number, value);
}

void pbwire_encoder_write_uint64(pbwire_encoder_t *encoder_p, int field_number, uint64_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_varint_field(encoder_p, field_number, value);
}

void pbwire_encoder_write_uint64_always(pbwire_encoder_t *encoder_p, int field_number,
                                        uint64_t value) {
  encoder_write_varint_field(encoder_p, field_number, value);
}

void pbwire_encoder_write_sint32(pbwire_encoder_t *encoder_p, int field_number, int32_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_varint_field(encoder_p, field_number, zigzag_encode(value));
}

void pbwire_encoder_write_sint32_always(pbwire_encoder_t *encoder_p, int field_number,
                                        int32_t value) {
  encoder_write_varint_field(encoder_p, field_number, zigzag_encode(value));
}

void pbwire_encoder_write_sint64(pbwire_encoder_t *encoder_p, int field_number, int64_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_varint_field(encoder_p, field_number, zigzag_encode(value));
}

void pbwire_encoder_write_sint64_always(pbwire_encoder_t *encoder_p, int field_number,
                                        int64_t value) {
  encoder_write_varint_field(encoder_p, field_number, zigzag_encode(value));
}

void pbwire_encoder_write_fixed32(pbwire_encoder_t *encoder_p, int field_number, uint32_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_fixed32_field(encoder_p, field_number, value);
}

void pbwire_encoder_write_fixed32_always(pbwire_encoder_t *encoder_p, int field_number,
                                         uint32_t value) {
  encoder_write_fixed32_field(encoder_p, field_number, value);
}

void pbwire_encoder_write_fixed64(pbwire_encoder_t *encoder_p, int field_number, uint64_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_fixed64_field(encoder_p, field_number, value);
}

void pbwire_encoder_write_fixed64_always(pbwire_encoder_t *encoder_p, int field_number,
                                         uint64_t value) {
  encoder_write_fixed64_field(encoder_p, field_number, value);
}

void pbwire_encoder_write_sfixed32(pbwire_encoder_t *encoder_p, int field_number, int32_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_fixed32_field(encoder_p, field_number, static_cast<uint32_t>(value));
}

void pbwire_encoder_write_sfixed32_always(pbwire_encoder_t *encoder_p, int field_number,
                                          int32_t value) {
  encoder_write_fixed32_field(encoder_p, field_number, static_cast<uint32_t>(value));
}

void pbwire_encoder_write_sfixed64(pbwire_encoder_t *encoder_p, int field_number, int64_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_fixed64_field(encoder_p, field_number, static_cast<uint64_t>(value));
}

void pbwire_encoder_write_sfixed64_always(pbwire_encoder_t *encoder_p, int field_number,
                                          int64_t value) {
  encoder_write_fixed64_field(encoder_p, field_number, static_cast<uint64_t>(value));
}

void pbwire_encoder_write_float(pbwire_encoder_t *encoder_p, int field_number, float value) {
  if (value == 0) {
    return;
  }
  encoder_write_fixed32_field(encoder_p, field_number, float_bits(value));
}

void pbwire_encoder_write_float_always(pbwire_encoder_t *encoder_p, int field_number, float value) {
  encoder_write_fixed32_field(encoder_p, field_number, float_bits(value));
}

void pbwire_encoder_write_double(pbwire_encoder_t *encoder_p, int field_number, double value) {
  if (value == 0) {
    return;
  }
  encoder_write_fixed64_field(encoder_p, field_number, double_bits(value));
}

void pbwire_encoder_write_double_always(pbwire_encoder_t *encoder_p, int field_number,
                                        double value) {
  encoder_write_fixed64_field(encoder_p, field_number, double_bits(value));
}

void pbwire_encoder_write_bool(pbwire_encoder_t *encoder_p, int field_number, bool value) {
  if (!value) {
    return;
  }
  encoder_write_varint_field(encoder_p, field_number, value ? 1 : 0);
}

void pbwire_encoder_write_bool_always(pbwire_encoder_t *encoder_p, int field_number, bool value) {
  encoder_write_varint_field(encoder_p, field_number, value ? 1 : 0);
}

void pbwire_encoder_write_enum(pbwire_encoder_t *encoder_p, int field_number, int32_t value) {
  if (value == 0) {
    return;
  }
  encoder_write_varint_field(encoder_p, field_number,
                             static_cast<uint64_t>(static_cast<int64_t>(value)));
}

void pbwire_encoder_write_enum_always(pbwire_encoder_t *encoder_p, int field_number,
                                      int32_t value) {
  encoder_write_varint_field(encoder_p, field_number,
                             static_cast<uint64_t>(static_cast<int64_t>(value)));
}

void pbwire_encoder_write_string(pbwire_encoder_t *encoder_p, int field_number,
                                 const char *value_p) {
  if (value_p == nullptr || value_p[0] == '\0') {
    return;
  }
  encoder_write_string_field(encoder_p, field_number, value_p);
}

void pbwire_encoder_write_string_always(pbwire_encoder_t *encoder_p, int field_number,
                                        const char *value_p) {
  encoder_write_string_field(encoder_p, field_number, value_p);
}

void pbwire_encoder_write_bytes(pbwire_encoder_t *encoder_p, int field_number,
                                const pbwire_bytes_t *value_p) {
  if (value_p == nullptr || value_p->size == 0 || value_p->buf_p == nullptr) {
    return;
  }
  encoder_write_bytes_field(encoder_p, field_number, value_p);
}

void pbwire_encoder_write_bytes_always(pbwire_encoder_t *encoder_p, int field_number,
                                       const pbwire_bytes_t *value_p) {
  encoder_write_bytes_field(encoder_p, field_number, value_p);
}

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
    encoder_write_string_field(encoder_p, field_number, repeated_p->items_p[i]);
  }
}

void pbwire_encoder_write_repeated_bytes(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_bytes_t *repeated_p) {
  if (repeated_p->items_p == nullptr) {
    return;
  }
  for (int32_t i = repeated_p->length - 1; i >= 0 && encoder_p->pos >= 0; i--) {
    encoder_write_bytes_field(encoder_p, field_number, &repeated_p->items_p[i]);
  }
}

void pbwire_encoder_sub_message_encode(pbwire_encoder_t *encoder_p, int field_number,
                                       const void *message_p, pbwire_encode_inner_t encode_inner) {
  if (message_p == nullptr) {
    return;
  }
  encoder_write_sub_message(encoder_p, field_number, message_p, encode_inner);
}

void pbwire_encoder_sub_message_encode_always(pbwire_encoder_t *encoder_p, int field_number,
                                              const void *message_p,
                                              pbwire_encode_inner_t encode_inner) {
  encoder_write_sub_message(encoder_p, field_number, message_p, encode_inner);
}

void pbwire_encode_repeated_inner(pbwire_encoder_t *encoder_p, int field_number,
                                  const void *items_p, int32_t length, size_t item_size,
                                  pbwire_encode_inner_t encode_inner) {
  if (items_p == nullptr) {
    return;
  }
  const char *base_p = static_cast<const char *>(items_p);
  for (int32_t i = length - 1; i >= 0 && encoder_p->pos >= 0; i--) {
    encoder_write_sub_message(encoder_p, field_number, base_p + static_cast<size_t>(i) * item_size,
                              encode_inner);
  }
}

// ---- decoding -----------------------------------------------------------

void pbwire_decoder_init(pbwire_decoder_t *decoder_p, const void *buf_p, size_t size,
                         pbwire_heap_t *heap_p) {
  decoder_p->buf_p = static_cast<const uint8_t *>(buf_p);
  decoder_p->heap_p = heap_p;
  decoder_p->pos = 0;
  if (size >= INT32_MAX) {
    decoder_p->size = 0;
    decoder_p->pos = -PBWIRE_LENGTH_DELIMITED_OVERFLOW;
  } else if (buf_p == nullptr) {
    decoder_p->size = 0;
    if (size > 0) {
      decoder_p->pos = -PBWIRE_OUT_OF_DATA;
    }
  } else {
    decoder_p->size = static_cast<int32_t>(size);
  }
}

int pbwire_decoder_get_result(const pbwire_decoder_t *decoder_p) {
  return decoder_p->pos;
}

bool pbwire_decoder_available(const pbwire_decoder_t *decoder_p) {
  return decoder_p->pos >= 0 && decoder_p->pos < decoder_p->size;
}

int pbwire_message_decode(void *message_p, const void *encoded_p, size_t size, pbwire_init_t init,
                          pbwire_decode_inner_t decode_inner) {
  pbwire_heap_t *heap_p = static_cast<pbwire_message_base_t *>(message_p)->heap_p;
  // Start from the defaults so that nothing of an earlier decode remains.
  init(message_p, heap_p);
  pbwire_decoder_t decoder;
  pbwire_decoder_init(&decoder, encoded_p, size, heap_p);
  if (decoder.pos >= 0) {
    decode_inner(&decoder, message_p);
  }
  return pbwire_decoder_get_result(&decoder);
}

int pbwire_decoder_read_tag(pbwire_decoder_t *decoder_p, int *wire_type_p) {
  *wire_type_p = -1;
  uint64_t key = decoder_read_varint(decoder_p);
  if (decoder_p->pos < 0) {
    return -1;
  }
  uint64_t field_number = key >> 3;
  if (field_number == 0 || field_number > MAX_FIELD_NUMBER) {
    decoder_fail(decoder_p, PBWIRE_BAD_FIELD_NUMBER);
    return -1;
  }
  *wire_type_p = static_cast<int>(key & 7);
  return static_cast<int>(field_number);
}

void pbwire_decoder_skip_field(pbwire_decoder_t *decoder_p, int wire_type) {
  if (decoder_p->pos < 0) {
    return;
  }
  switch (wire_type) {
    case PBWIRE_WIRE_TYPE_VARINT:
      decoder_read_varint(decoder_p);
      break;
    case PBWIRE_WIRE_TYPE_FIXED_64:
      decoder_seek(decoder_p, 8);
      break;
    case PBWIRE_WIRE_TYPE_LENGTH_DELIMITED: {
      int32_t length = decoder_read_length(decoder_p);
      if (length >= 0) {
        decoder_seek(decoder_p, length);
      }
      break;
    }
    case PBWIRE_WIRE_TYPE_FIXED_32:
      decoder_seek(decoder_p, 4);
      break;
    default:
      decoder_fail(decoder_p, PBWIRE_BAD_WIRE_TYPE);
      break;
  }
}

int32_t pbwire_decoder_read_int32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<int32_t>(decoder_read_varint(decoder_p));
}

int64_t pbwire_decoder_read_int64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<int64_t>(decoder_read_varint(decoder_p));
}

uint32_t pbwire_decoder_read_uint32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<uint32_t>(decoder_read_varint(decoder_p));
}

uint64_t pbwire_decoder_read_uint64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return decoder_read_varint(decoder_p);
}

int32_t pbwire_decoder_read_sint32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<int32_t>(zigzag_decode(decoder_read_varint(decoder_p)));
}

int64_t pbwire_decoder_read_sint64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return zigzag_decode(decoder_read_varint(decoder_p));
}

uint32_t pbwire_decoder_read_fixed32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_32)) {
    return 0;
  }
  return static_cast<uint32_t>(decoder_read_fixed(decoder_p, 4));
}

uint64_t pbwire_decoder_read_fixed64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_64)) {
    return 0;
  }
  return decoder_read_fixed(decoder_p, 8);
}

int32_t pbwire_decoder_read_sfixed32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_32)) {
    return 0;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(decoder_read_fixed(decoder_p, 4)));
}

int64_t pbwire_decoder_read_sfixed64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_64)) {
    return 0;
  }
  return static_cast<int64_t>(decoder_read_fixed(decoder_p, 8));
}

bool pbwire_decoder_read_bool(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return false;
  }
  return decoder_read_varint(decoder_p) != 0;
}

int32_t pbwire_decoder_read_enum(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<int32_t>(decoder_read_varint(decoder_p));
}

float pbwire_decoder_read_float(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_32)) {
    return 0;
  }
  uint32_t bits = static_cast<uint32_t>(decoder_read_fixed(decoder_p, 4));
  float value;
  memcpy(&value, &bits, sizeof(value));
  return value;
}

double pbwire_decoder_read_double(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_64)) {
    return 0;
  }
  uint64_t bits = decoder_read_fixed(decoder_p, 8);
  double value;
  memcpy(&value, &bits, sizeof(value));
  return value;
}

const char *pbwire_decoder_read_string(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
    return pbwire_empty_string;
  }
  int32_t length = decoder_read_length(decoder_p);
  if (length <= 0) {
    return pbwire_empty_string;
  }
  char *value_p =
      static_cast<char *>(pbwire_heap_alloc(decoder_p->heap_p, static_cast<size_t>(length) + 1, 1));
  if (value_p == nullptr) {
    decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return pbwire_empty_string;
  }
  memcpy(value_p, &decoder_p->buf_p[decoder_p->pos], static_cast<size_t>(length));
  value_p[length] = '\0';
  decoder_p->pos += length;
  return value_p;
}

void pbwire_decoder_read_bytes(pbwire_decoder_t *decoder_p, int wire_type,
                               pbwire_bytes_t *value_p) {
  value_p->buf_p = nullptr;
  value_p->size = 0;
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
    return;
  }
  int32_t length = decoder_read_length(decoder_p);
  if (length <= 0) {
    return;
  }
  uint8_t *buf_p =
      static_cast<uint8_t *>(pbwire_heap_alloc(decoder_p->heap_p, static_cast<size_t>(length), 1));
  if (buf_p == nullptr) {
    decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return;
  }
  memcpy(buf_p, &decoder_p->buf_p[decoder_p->pos], static_cast<size_t>(length));
  decoder_p->pos += length;
  value_p->buf_p = buf_p;
  value_p->size = static_cast<uint64_t>(length);
}

void *pbwire_decoder_sub_message_decode(pbwire_decoder_t *decoder_p, int wire_type,
                                        size_t message_size, pbwire_init_t init,
                                        pbwire_decode_inner_t decode_inner) {
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
    return nullptr;
  }
  int32_t length = decoder_read_length(decoder_p);
  if (length < 0) {
    return nullptr;
  }
  void *message_p = pbwire_sub_message_alloc(decoder_p->heap_p, message_size, init);
  if (message_p == nullptr) {
    decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return nullptr;
  }
  pbwire_decoder_t slice = decoder_slice(decoder_p, length);
  decode_inner(&slice, message_p);
  decoder_leave_slice(decoder_p, &slice);
  return message_p;
}

// ---- repeated fields ------------------------------------------------------

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
  if (!decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
    return;
  }
  pbwire_decoder_t start = *decoder_p;
  int32_t length = decoder_read_length(decoder_p);
  if (length < 0) {
    return;
  }
  decoder_seek(decoder_p, length);
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
    // Too many items for the workspace: the field stays empty and the rest
    // of the message is still usable.
    return;
  }
  char *base_p = static_cast<char *>(items_p);
  pbwire_decoder_t *reader_p = &repeated_info_p->decoder;
  int wire_type = repeated_info_p->wire_type;
  int32_t started = 0;
  do {
    void *item_p = base_p + static_cast<size_t>(started) * item_size;
    if (!decoder_check_wire_type(reader_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
      break;
    }
    int32_t length = decoder_read_length(reader_p);
    if (length < 0) {
      break;
    }
    started++;
    pbwire_decoder_t slice = decoder_slice(reader_p, length);
    decode_inner(&slice, item_p);
    decoder_leave_slice(reader_p, &slice);
  } while (started < repeated_info_p->length && reader_p->pos >= 0 &&
           repeated_info_next(repeated_info_p, &wire_type));
  if (reader_p->pos < 0) {
    decoder_fail(decoder_p, -reader_p->pos);
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
    decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
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
    decoder_fail(decoder_p, -reader_p->pos);
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
    decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
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
    decoder_fail(decoder_p, -reader_p->pos);
  }
  repeated_p->items_p = items.items_p;
  repeated_p->length = filled;
}
