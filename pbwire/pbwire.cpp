// Protocol Buffers runtime: workspace heap, backwards encoder, bounded
// decoder. Repeated fields are in pbwire_repeated.cpp. See pbwire.h for
// the contracts.
#include "pbwire.h"

#include <climits>
#include <cstring>

#include "pbwire_internal.h"

const char pbwire_empty_string[1] = {'\0'};

namespace {

// Largest field number the wire format allows (29 bits).
constexpr uint64_t MAX_FIELD_NUMBER = (1u << 29) - 1;

// ---- encoder primitives -------------------------------------------------

void encoder_fail(pbwire_encoder_t *encoder_p) {
  encoder_p->pos = -PBWIRE_ENCODE_BUFFER_FULL;
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

void encoder_write_key(pbwire_encoder_t *encoder_p, int field_number, int wire_type) {
  pbwire_encoder_put_varint(
      encoder_p, (static_cast<uint64_t>(field_number) << 3) | static_cast<uint64_t>(wire_type));
}

// ---- decoder primitives -------------------------------------------------

uint64_t decoder_read_varint(pbwire_decoder_t *decoder_p) {
  int32_t pos = decoder_p->pos;
  if (pos < 0) {
    return 0;
  }
  const uint8_t *buf_p = decoder_p->buf_p;
  uint64_t value = 0;
  for (int i = 0; i < 10; i++) {
    if (pos >= decoder_p->size) {
      pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
      return 0;
    }
    uint8_t byte = buf_p[pos++];
    value |= static_cast<uint64_t>(byte & 0x7f) << (7 * i);
    if ((byte & 0x80) == 0) {
      decoder_p->pos = pos;
      return value;
    }
  }
  pbwire_decoder_fail(decoder_p, PBWIRE_VARINT_OVERFLOW);
  return 0;
}

uint64_t decoder_read_fixed(pbwire_decoder_t *decoder_p, int size) {
  if (decoder_p->pos < 0) {
    return 0;
  }
  if (decoder_p->size - decoder_p->pos < size) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
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

}  // namespace

// ---- helpers shared with pbwire_repeated.cpp --------------------------------

void pbwire_encoder_put_varint(pbwire_encoder_t *encoder_p, uint64_t value) {
  if (encoder_p->pos < 0) {
    return;
  }
  int size = pbwire_varint_size(value);
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

void pbwire_encoder_put_fixed32(pbwire_encoder_t *encoder_p, uint32_t value) {
  uint8_t buf[4];
  for (int i = 0; i < 4; i++) {
    buf[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  encoder_put(encoder_p, buf, sizeof(buf));
}

void pbwire_encoder_put_fixed64(pbwire_encoder_t *encoder_p, uint64_t value) {
  uint8_t buf[8];
  for (int i = 0; i < 8; i++) {
    buf[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  encoder_put(encoder_p, buf, sizeof(buf));
}

void pbwire_encoder_put_string_field(pbwire_encoder_t *encoder_p, int field_number,
                                     const char *value_p) {
  if (encoder_p->pos < 0) {
    return;
  }
  int32_t end = encoder_p->pos;
  if (value_p != nullptr) {
    encoder_put(encoder_p, value_p, strlen(value_p));
  }
  pbwire_encoder_write_length_key(encoder_p, field_number, end);
}

void pbwire_encoder_put_bytes_field(pbwire_encoder_t *encoder_p, int field_number,
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
  pbwire_encoder_write_length_key(encoder_p, field_number, end);
}

void pbwire_encoder_put_sub_message(pbwire_encoder_t *encoder_p, int field_number,
                                    const void *message_p, pbwire_encode_inner_t encode_inner) {
  if (encoder_p->pos < 0) {
    return;
  }
  int32_t end = encoder_p->pos;
  if (message_p != nullptr) {
    encode_inner(encoder_p, message_p);
  }
  pbwire_encoder_write_length_key(encoder_p, field_number, end);
}

void pbwire_decoder_fail(pbwire_decoder_t *decoder_p, int code) {
  if (decoder_p->pos >= 0) {
    decoder_p->pos = -code;
  }
}

void pbwire_decoder_seek(pbwire_decoder_t *decoder_p, int64_t offset) {
  if (decoder_p->pos < 0) {
    return;
  }
  int64_t target = static_cast<int64_t>(decoder_p->pos) + offset;
  if (target > INT32_MAX || target < 0) {
    pbwire_decoder_fail(decoder_p, PBWIRE_SEEK_OVERFLOW);
  } else if (target > decoder_p->size) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
  } else {
    decoder_p->pos = static_cast<int32_t>(target);
  }
}

// Reads the length of a length-delimited field and checks it against the
// input that remains, so callers may copy or skip that many bytes. -1 on
// failure.
int32_t pbwire_decoder_read_length(pbwire_decoder_t *decoder_p) {
  uint64_t length = decoder_read_varint(decoder_p);
  if (decoder_p->pos < 0) {
    return -1;
  }
  if (length >= INT32_MAX) {
    pbwire_decoder_fail(decoder_p, PBWIRE_LENGTH_DELIMITED_OVERFLOW);
    return -1;
  }
  if (static_cast<int64_t>(length) > decoder_p->size - decoder_p->pos) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_DATA);
    return -1;
  }
  return static_cast<int32_t>(length);
}

// A decoder over the next `length` bytes of `decoder_p`; the caller moves
// `decoder_p` past them afterwards.
pbwire_decoder_t pbwire_decoder_slice(const pbwire_decoder_t *decoder_p, int32_t length) {
  pbwire_decoder_t slice;
  slice.buf_p = decoder_p->buf_p;
  slice.size = decoder_p->pos + length;
  slice.pos = decoder_p->pos;
  slice.heap_p = decoder_p->heap_p;
  return slice;
}

// Continues after a slice: its error, or the position at its end.
void pbwire_decoder_leave_slice(pbwire_decoder_t *decoder_p, const pbwire_decoder_t *slice_p) {
  if (slice_p->pos < 0) {
    pbwire_decoder_fail(decoder_p, -slice_p->pos);
  } else {
    decoder_p->pos = slice_p->size;
  }
}

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

// ---- slow paths of the inline field writers and readers -------------------

void pbwire_encoder_write_length_key_slow(pbwire_encoder_t *encoder_p, int field_number,
                                          int32_t end) {
  if (encoder_p->pos < 0) {
    return;
  }
  pbwire_encoder_put_varint(encoder_p, static_cast<uint64_t>(end - encoder_p->pos));
  encoder_write_key(encoder_p, field_number, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED);
}

int32_t pbwire_encoder_write_varint_field_slow(uint8_t *buf_p, int32_t pos, int field_number,
                                               uint64_t value) {
  pbwire_encoder_t encoder = {buf_p, 0, pos};
  pbwire_encoder_put_varint(&encoder, value);
  encoder_write_key(&encoder, field_number, PBWIRE_WIRE_TYPE_VARINT);
  return encoder.pos;
}

int32_t pbwire_encoder_write_fixed32_field_slow(uint8_t *buf_p, int32_t pos, int field_number,
                                                uint32_t value) {
  pbwire_encoder_t encoder = {buf_p, 0, pos};
  pbwire_encoder_put_fixed32(&encoder, value);
  encoder_write_key(&encoder, field_number, PBWIRE_WIRE_TYPE_FIXED_32);
  return encoder.pos;
}

int32_t pbwire_encoder_write_fixed64_field_slow(uint8_t *buf_p, int32_t pos, int field_number,
                                                uint64_t value) {
  pbwire_encoder_t encoder = {buf_p, 0, pos};
  pbwire_encoder_put_fixed64(&encoder, value);
  encoder_write_key(&encoder, field_number, PBWIRE_WIRE_TYPE_FIXED_64);
  return encoder.pos;
}

uint64_t pbwire_decoder_read_varint_slow(pbwire_decoder_t *decoder_p) {
  return decoder_read_varint(decoder_p);
}

uint64_t pbwire_decoder_read_fixed_slow(pbwire_decoder_t *decoder_p, int size) {
  return decoder_read_fixed(decoder_p, size);
}

int pbwire_decoder_read_tag_slow(pbwire_decoder_t *decoder_p, int *wire_type_p) {
  *wire_type_p = -1;
  uint64_t key = decoder_read_varint(decoder_p);
  if (decoder_p->pos < 0) {
    return -1;
  }
  uint64_t field_number = key >> 3;
  if (field_number == 0 || field_number > MAX_FIELD_NUMBER) {
    pbwire_decoder_fail(decoder_p, PBWIRE_BAD_FIELD_NUMBER);
    return -1;
  }
  *wire_type_p = static_cast<int>(key & 7);
  return static_cast<int>(field_number);
}

void pbwire_decoder_fail_wire_type(pbwire_decoder_t *decoder_p) {
  pbwire_decoder_fail(decoder_p, PBWIRE_BAD_WIRE_TYPE);
}

void pbwire_encoder_write_string_always(pbwire_encoder_t *encoder_p, int field_number,
                                        const char *value_p) {
  pbwire_encoder_put_string_field(encoder_p, field_number, value_p);
}

void pbwire_encoder_write_bytes(pbwire_encoder_t *encoder_p, int field_number,
                                const pbwire_bytes_t *value_p) {
  if (value_p == nullptr || value_p->size == 0 || value_p->buf_p == nullptr) {
    return;
  }
  pbwire_encoder_put_bytes_field(encoder_p, field_number, value_p);
}

void pbwire_encoder_write_bytes_always(pbwire_encoder_t *encoder_p, int field_number,
                                       const pbwire_bytes_t *value_p) {
  pbwire_encoder_put_bytes_field(encoder_p, field_number, value_p);
}

void pbwire_encoder_sub_message_encode(pbwire_encoder_t *encoder_p, int field_number,
                                       const void *message_p, pbwire_encode_inner_t encode_inner) {
  if (message_p == nullptr) {
    return;
  }
  pbwire_encoder_put_sub_message(encoder_p, field_number, message_p, encode_inner);
}

void pbwire_encoder_sub_message_encode_always(pbwire_encoder_t *encoder_p, int field_number,
                                              const void *message_p,
                                              pbwire_encode_inner_t encode_inner) {
  pbwire_encoder_put_sub_message(encoder_p, field_number, message_p, encode_inner);
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

void pbwire_decoder_skip_field(pbwire_decoder_t *decoder_p, int wire_type) {
  if (decoder_p->pos < 0) {
    return;
  }
  switch (wire_type) {
    case PBWIRE_WIRE_TYPE_VARINT:
      decoder_read_varint(decoder_p);
      break;
    case PBWIRE_WIRE_TYPE_FIXED_64:
      pbwire_decoder_seek(decoder_p, 8);
      break;
    case PBWIRE_WIRE_TYPE_LENGTH_DELIMITED: {
      int32_t length = pbwire_decoder_read_length(decoder_p);
      if (length >= 0) {
        pbwire_decoder_seek(decoder_p, length);
      }
      break;
    }
    case PBWIRE_WIRE_TYPE_FIXED_32:
      pbwire_decoder_seek(decoder_p, 4);
      break;
    default:
      pbwire_decoder_fail(decoder_p, PBWIRE_BAD_WIRE_TYPE);
      break;
  }
}

const char *pbwire_decoder_read_string(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
    return pbwire_empty_string;
  }
  int32_t length = pbwire_decoder_read_length(decoder_p);
  if (length <= 0) {
    return pbwire_empty_string;
  }
  char *value_p =
      static_cast<char *>(pbwire_heap_alloc(decoder_p->heap_p, static_cast<size_t>(length) + 1, 1));
  if (value_p == nullptr) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
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
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
    return;
  }
  int32_t length = pbwire_decoder_read_length(decoder_p);
  if (length <= 0) {
    return;
  }
  uint8_t *buf_p =
      static_cast<uint8_t *>(pbwire_heap_alloc(decoder_p->heap_p, static_cast<size_t>(length), 1));
  if (buf_p == nullptr) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
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
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED)) {
    return nullptr;
  }
  int32_t length = pbwire_decoder_read_length(decoder_p);
  if (length < 0) {
    return nullptr;
  }
  void *message_p = pbwire_sub_message_alloc(decoder_p->heap_p, message_size, init);
  if (message_p == nullptr) {
    pbwire_decoder_fail(decoder_p, PBWIRE_OUT_OF_MEMORY);
    return nullptr;
  }
  pbwire_decoder_t slice = pbwire_decoder_slice(decoder_p, length);
  decode_inner(&slice, message_p);
  pbwire_decoder_leave_slice(decoder_p, &slice);
  return message_p;
}
