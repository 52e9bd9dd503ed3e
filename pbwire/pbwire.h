// pbwire: the Protocol Buffers runtime under the generated message code of
// both agents.
//
// Every payload exchanged with the collector is one message in the Protocol
// Buffers binary format (proto3: scalars holding their default are not sent,
// unknown fields are skipped). The generator (pbwire/generator/pbwire_gen.py)
// turns each .proto into plain structures and a family of functions per
// message; those functions call the helpers declared here.
//
// What it owns: nothing global except the shared empty string. All memory a
// message needs, built for sending or decoded, comes from a workspace the
// caller supplies: the first 16 bytes hold the heap record (pbwire_heap_t),
// the rest is handed out by a bump allocator and released all at once by
// releasing the workspace. No function here allocates from the system heap.
//
// Encoding writes backwards from the end of the caller's buffer, highest
// field first, so a nested message's length is known once it is written;
// the finished bytes are moved to the start of the buffer. Flat messages
// and lists of them (the bulk of what the agents send) are instead written
// forwards into place against upper bounds of their sizes; see "Forward
// writing" below. Both give the same bytes. Decoding never
// reads past its input: every length is checked against what remains before
// anything is copied or skipped. Repeated fields are decoded in two passes:
// the main loop only counts the items and remembers where the field first
// occurs; afterwards the array is allocated with the exact count and filled.
//
// Errors: encoders and decoders keep the first error as a negative `pos`
// (-code, codes PBWIRE_*); every later operation on them does nothing. The
// texts come from pbwire_error_code_to_string().
//
// Threads: a workspace, message, encoder or decoder belongs to the one
// thread that builds or decodes it; the runtime itself is reentrant.
#ifndef PBWIRE_PBWIRE_H
#define PBWIRE_PBWIRE_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Result codes; operations report them negated.
constexpr int PBWIRE_OK = 0;
constexpr int PBWIRE_BAD_WIRE_TYPE = 1;
constexpr int PBWIRE_OUT_OF_DATA = 2;
constexpr int PBWIRE_OUT_OF_MEMORY = 3;
constexpr int PBWIRE_ENCODE_BUFFER_FULL = 4;
constexpr int PBWIRE_BAD_FIELD_NUMBER = 5;
constexpr int PBWIRE_VARINT_OVERFLOW = 6;
constexpr int PBWIRE_SEEK_OVERFLOW = 7;
constexpr int PBWIRE_LENGTH_DELIMITED_OVERFLOW = 8;

// Wire types of the key (field number * 8 + wire type).
constexpr int PBWIRE_WIRE_TYPE_VARINT = 0;
constexpr int PBWIRE_WIRE_TYPE_FIXED_64 = 1;
constexpr int PBWIRE_WIRE_TYPE_LENGTH_DELIMITED = 2;
constexpr int PBWIRE_WIRE_TYPE_FIXED_32 = 5;

// Size of the heap record at the start of every workspace.
constexpr int PBWIRE_HEAP_HEADER_SIZE = 16;

// Bump allocator over a workspace. Lives in the workspace's first 16 bytes;
// `pos` is the next free offset from `buf_p`.
struct pbwire_heap_t {
  char *buf_p;
  int32_t size;
  int32_t pos;
};

// Backwards writer. `pos` is the index of the last free byte and moves down;
// a negative `pos` is -code of the first error and never changes again.
struct pbwire_encoder_t {
  uint8_t *buf_p;
  int32_t size;
  int32_t pos;
};

// Reader over an input slice [0, size). `pos` is the next byte to read, or
// -code after an error. Decoded strings, bytes, sub-messages and arrays are
// allocated from `heap_p`.
struct pbwire_decoder_t {
  const uint8_t *buf_p;
  int32_t size;
  int32_t pos;
  pbwire_heap_t *heap_p;
};

// A bytes field: `size` bytes at `buf_p` (null when empty).
struct pbwire_bytes_t {
  const uint8_t *buf_p;
  uint64_t size;
};

// First member of every generated message structure.
struct pbwire_message_base_t {
  pbwire_heap_t *heap_p;
};

// Holders of repeated fields: `length` items at `items_p`. Repeated
// messages and maps use generated holders of the same shape whose items are
// the message structures themselves. sint32, sfixed32 and enumerations use
// the int32 holder; sint64 and sfixed64 the int64 one; fixed32 the uint32
// one and fixed64 the uint64 one.
struct pbwire_repeated_int32_t {
  int32_t length;
  int32_t *items_p;
};
struct pbwire_repeated_int64_t {
  int32_t length;
  int64_t *items_p;
};
struct pbwire_repeated_uint32_t {
  int32_t length;
  uint32_t *items_p;
};
struct pbwire_repeated_uint64_t {
  int32_t length;
  uint64_t *items_p;
};
struct pbwire_repeated_float_t {
  int32_t length;
  float *items_p;
};
struct pbwire_repeated_double_t {
  int32_t length;
  double *items_p;
};
struct pbwire_repeated_bool_t {
  int32_t length;
  bool *items_p;
};
struct pbwire_repeated_string_t {
  int32_t length;
  const char **items_p;
};
struct pbwire_repeated_bytes_t {
  int32_t length;
  pbwire_bytes_t *items_p;
};

// Decoding state of one repeated field between the two passes: `decoder`
// is a copy of the message's decoder positioned at the value of the field's
// first occurrence, `length` the items counted so far, `tag` the field
// number and `wire_type` the wire type of the first occurrence.
struct pbwire_repeated_info_t {
  pbwire_decoder_t decoder;
  int32_t length;
  int32_t tag;
  int32_t wire_type;
};

// Per-message callbacks the generated code passes to the generic helpers.
typedef void (*pbwire_init_t)(void *message_p, pbwire_heap_t *heap_p);
typedef void (*pbwire_encode_inner_t)(pbwire_encoder_t *encoder_p, const void *message_p);
typedef void (*pbwire_decode_inner_t)(pbwire_decoder_t *decoder_p, void *message_p);

// The shared default of every string field: "".
extern const char pbwire_empty_string[1];

// Text of a result code, accepted with either sign: "Ok", "Bad wire type",
// "Out of data", "Out of memory", "Encode buffer full", "Bad field number",
// "Varint overflow", "Seek overflow", "Length delimited overflow", or
// "Unknown error" for any other value. The text is a constant.
const char *pbwire_error_code_to_string(int code);

// ---- Workspace ----------------------------------------------------------

// Makes a heap in `workspace_p`. The heap record takes the first 16 bytes
// (after up to 7 bytes skipped to align it when the workspace itself is not
// 8-byte aligned). A workspace larger than 2 GiB - 1 is used only up to that
// size. Returns the heap, or null when the workspace is null or too small.
pbwire_heap_t *pbwire_heap_new(void *workspace_p, size_t size);

// Hands out `size` bytes at a multiple of `alignment` (1, 2, 4 or 8).
// Returns null, leaving the heap unchanged, when too few bytes are left.
void *pbwire_heap_alloc(pbwire_heap_t *heap_p, size_t size, size_t alignment);

// Makes a heap in the workspace and allocates a message structure of
// `message_size` bytes from it, initialised by `init`. Returns the message,
// or null when the workspace is under 16 bytes or cannot hold the structure.
void *pbwire_message_new(void *workspace_p, size_t size, size_t message_size, pbwire_init_t init);

// Allocates and initialises a sub-message of `message_size` bytes from the
// heap. Returns it, or null when the heap is exhausted.
void *pbwire_sub_message_alloc(pbwire_heap_t *heap_p, size_t message_size, pbwire_init_t init);

// Allocates `length` message structures of `item_size` bytes and
// initialises each. Stores the array (null for length 0) in *items_pp and
// returns 0; returns -1 and stores nothing when length is negative or the
// heap cannot hold the items.
int pbwire_alloc_repeated(pbwire_heap_t *heap_p, int32_t length, size_t item_size,
                          pbwire_init_t init, void **items_pp);

// Sizes a repeated string field: `length` items, each the empty string.
// 0, or -1 (holder unchanged) when length is negative or the heap is full.
int pbwire_alloc_repeated_string(pbwire_repeated_string_t *repeated_p, pbwire_heap_t *heap_p,
                                 int32_t length);

// Sizes a repeated bytes field: `length` empty items. 0, or -1 as above.
int pbwire_alloc_repeated_bytes(pbwire_repeated_bytes_t *repeated_p, pbwire_heap_t *heap_p,
                                int32_t length);

// Sizes a repeated scalar field: `length` zero items. 0, or -1 as above.
int pbwire_alloc_repeated_int32(pbwire_repeated_int32_t *repeated_p, pbwire_heap_t *heap_p,
                                int32_t length);
int pbwire_alloc_repeated_int64(pbwire_repeated_int64_t *repeated_p, pbwire_heap_t *heap_p,
                                int32_t length);
int pbwire_alloc_repeated_uint32(pbwire_repeated_uint32_t *repeated_p, pbwire_heap_t *heap_p,
                                 int32_t length);
int pbwire_alloc_repeated_uint64(pbwire_repeated_uint64_t *repeated_p, pbwire_heap_t *heap_p,
                                 int32_t length);
int pbwire_alloc_repeated_float(pbwire_repeated_float_t *repeated_p, pbwire_heap_t *heap_p,
                                int32_t length);
int pbwire_alloc_repeated_double(pbwire_repeated_double_t *repeated_p, pbwire_heap_t *heap_p,
                                 int32_t length);
int pbwire_alloc_repeated_bool(pbwire_repeated_bool_t *repeated_p, pbwire_heap_t *heap_p,
                               int32_t length);

// ---- Encoding -----------------------------------------------------------

// Encodes a message with `encode_inner` into `encoded_p` (`size` bytes; the
// first byte is never used, so the buffer must be one byte larger than the
// encoding). Returns the encoded length, with the bytes moved to the start
// of the buffer, or -PBWIRE_ENCODE_BUFFER_FULL; on failure the buffer's
// contents are unspecified.
int pbwire_message_encode(const void *message_p, void *encoded_p, size_t size,
                          pbwire_encode_inner_t encode_inner);

// Covers `buf_p` (`size` bytes) for backwards writing. A buffer larger than
// 2 GiB - 1 is used only up to that size; an empty one fails at once.
void pbwire_encoder_init(pbwire_encoder_t *encoder_p, void *buf_p, size_t size);

// Moves the written bytes to the start of the buffer and returns their
// count, or the encoder's negative code.
int pbwire_encoder_get_result(pbwire_encoder_t *encoder_p);

// Field writers, used by the generated _encode_inner functions, which call
// them from the highest field number down. Without _always a zero number,
// false, an empty (or null) string and empty bytes write nothing. Integers
// and enumerations are varints (int32 and enum sign-extended to 64 bits,
// sint32/sint64 zigzag-encoded over 64 bits); fixed32, sfixed32 and float
// take 4 bytes, fixed64, sfixed64 and double 8, all little-endian.
//
// They run once per field, so the common case is inline: with 16 bytes or
// more of room a key and value (at most 15 bytes) fit without further
// checks; closer to the start of the buffer the out-of-line _slow versions
// check every byte. The slow versions take the buffer and position by value
// and return the new position (or -code), so that an encoder held in a
// local variable never has its address taken and can live in registers.
int32_t pbwire_encoder_write_varint_field_slow(uint8_t *buf_p, int32_t pos, int field_number,
                                               uint64_t value);
int32_t pbwire_encoder_write_fixed32_field_slow(uint8_t *buf_p, int32_t pos, int field_number,
                                                uint32_t value);
int32_t pbwire_encoder_write_fixed64_field_slow(uint8_t *buf_p, int32_t pos, int field_number,
                                                uint64_t value);

inline int pbwire_varint_size(uint64_t value) {
  // ceil(bits / 7) without a division: (bits * 9 + 64) / 64 for 1..64 bits.
  return (static_cast<int>(std::bit_width(value | 1)) * 9 + 64) / 64;
}

// Little-endian copies of 4- and 8-byte values.
inline void pbwire_store_le(uint8_t *dst_p, uint64_t value, int size) {
  if constexpr (std::endian::native == std::endian::little) {
    if (size == 4) {
      uint32_t value32 = static_cast<uint32_t>(value);
      memcpy(dst_p, &value32, 4);
    } else {
      memcpy(dst_p, &value, 8);
    }
  } else {
    for (int i = 0; i < size; i++) {
      dst_p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
  }
}

inline uint64_t pbwire_load_le(const uint8_t *src_p, int size) {
  if constexpr (std::endian::native == std::endian::little) {
    if (size == 4) {
      uint32_t value32;
      memcpy(&value32, src_p, 4);
      return value32;
    }
    uint64_t value;
    memcpy(&value, src_p, 8);
    return value;
  } else {
    uint64_t value = 0;
    for (int i = 0; i < size; i++) {
      value |= static_cast<uint64_t>(src_p[i]) << (8 * i);
    }
    return value;
  }
}

inline uint8_t *pbwire_put_varint(uint8_t *dst_p, uint64_t value) {
  while (value >= 0x80) {
    *dst_p++ = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  *dst_p++ = static_cast<uint8_t>(value);
  return dst_p;
}

inline uint64_t pbwire_zigzag_encode(int64_t value) {
  return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

inline uint32_t pbwire_float_bits(float value) {
  return std::bit_cast<uint32_t>(value);
}

inline uint64_t pbwire_double_bits(double value) {
  return std::bit_cast<uint64_t>(value);
}

inline void pbwire_encoder_write_varint_field(pbwire_encoder_t *encoder_p, int field_number,
                                              uint64_t value) {
  if (encoder_p->pos < 16) {
    encoder_p->pos = pbwire_encoder_write_varint_field_slow(encoder_p->buf_p, encoder_p->pos,
                                                            field_number, value);
    return;
  }
  uint64_t key = static_cast<uint64_t>(field_number) << 3;
  encoder_p->pos -= pbwire_varint_size(key) + pbwire_varint_size(value);
  uint8_t *dst_p = pbwire_put_varint(&encoder_p->buf_p[encoder_p->pos + 1], key);
  pbwire_put_varint(dst_p, value);
}

inline void pbwire_encoder_write_fixed_field(pbwire_encoder_t *encoder_p, int field_number,
                                             int wire_type, uint64_t value, int size) {
  uint64_t key = (static_cast<uint64_t>(field_number) << 3) | static_cast<uint64_t>(wire_type);
  encoder_p->pos -= pbwire_varint_size(key) + size;
  uint8_t *dst_p = pbwire_put_varint(&encoder_p->buf_p[encoder_p->pos + 1], key);
  pbwire_store_le(dst_p, value, size);
}

inline void pbwire_encoder_write_fixed32_field(pbwire_encoder_t *encoder_p, int field_number,
                                               uint32_t value) {
  if (encoder_p->pos < 16) {
    encoder_p->pos = pbwire_encoder_write_fixed32_field_slow(encoder_p->buf_p, encoder_p->pos,
                                                             field_number, value);
    return;
  }
  pbwire_encoder_write_fixed_field(encoder_p, field_number, PBWIRE_WIRE_TYPE_FIXED_32, value, 4);
}

inline void pbwire_encoder_write_fixed64_field(pbwire_encoder_t *encoder_p, int field_number,
                                               uint64_t value) {
  if (encoder_p->pos < 16) {
    encoder_p->pos = pbwire_encoder_write_fixed64_field_slow(encoder_p->buf_p, encoder_p->pos,
                                                             field_number, value);
    return;
  }
  pbwire_encoder_write_fixed_field(encoder_p, field_number, PBWIRE_WIRE_TYPE_FIXED_64, value, 8);
}

inline void pbwire_encoder_write_int32_always(pbwire_encoder_t *encoder_p, int field_number,
                                              int32_t value) {
  pbwire_encoder_write_varint_field(encoder_p, field_number,
                                    static_cast<uint64_t>(static_cast<int64_t>(value)));
}

inline void pbwire_encoder_write_int32(pbwire_encoder_t *encoder_p, int field_number,
                                       int32_t value) {
  if (value != 0) {
    pbwire_encoder_write_int32_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_int64_always(pbwire_encoder_t *encoder_p, int field_number,
                                              int64_t value) {
  pbwire_encoder_write_varint_field(encoder_p, field_number, static_cast<uint64_t>(value));
}

inline void pbwire_encoder_write_int64(pbwire_encoder_t *encoder_p, int field_number,
                                       int64_t value) {
  if (value != 0) {
    pbwire_encoder_write_int64_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_uint32_always(pbwire_encoder_t *encoder_p, int field_number,
                                               uint32_t value) {
  pbwire_encoder_write_varint_field(encoder_p, field_number, value);
}

inline void pbwire_encoder_write_uint32(pbwire_encoder_t *encoder_p, int field_number,
                                        uint32_t value) {
  if (value != 0) {
    pbwire_encoder_write_uint32_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_uint64_always(pbwire_encoder_t *encoder_p, int field_number,
                                               uint64_t value) {
  pbwire_encoder_write_varint_field(encoder_p, field_number, value);
}

inline void pbwire_encoder_write_uint64(pbwire_encoder_t *encoder_p, int field_number,
                                        uint64_t value) {
  if (value != 0) {
    pbwire_encoder_write_uint64_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_sint32_always(pbwire_encoder_t *encoder_p, int field_number,
                                               int32_t value) {
  pbwire_encoder_write_varint_field(encoder_p, field_number, pbwire_zigzag_encode(value));
}

inline void pbwire_encoder_write_sint32(pbwire_encoder_t *encoder_p, int field_number,
                                        int32_t value) {
  if (value != 0) {
    pbwire_encoder_write_sint32_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_sint64_always(pbwire_encoder_t *encoder_p, int field_number,
                                               int64_t value) {
  pbwire_encoder_write_varint_field(encoder_p, field_number, pbwire_zigzag_encode(value));
}

inline void pbwire_encoder_write_sint64(pbwire_encoder_t *encoder_p, int field_number,
                                        int64_t value) {
  if (value != 0) {
    pbwire_encoder_write_sint64_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_fixed32_always(pbwire_encoder_t *encoder_p, int field_number,
                                                uint32_t value) {
  pbwire_encoder_write_fixed32_field(encoder_p, field_number, value);
}

inline void pbwire_encoder_write_fixed32(pbwire_encoder_t *encoder_p, int field_number,
                                         uint32_t value) {
  if (value != 0) {
    pbwire_encoder_write_fixed32_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_fixed64_always(pbwire_encoder_t *encoder_p, int field_number,
                                                uint64_t value) {
  pbwire_encoder_write_fixed64_field(encoder_p, field_number, value);
}

inline void pbwire_encoder_write_fixed64(pbwire_encoder_t *encoder_p, int field_number,
                                         uint64_t value) {
  if (value != 0) {
    pbwire_encoder_write_fixed64_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_sfixed32_always(pbwire_encoder_t *encoder_p, int field_number,
                                                 int32_t value) {
  pbwire_encoder_write_fixed32_field(encoder_p, field_number, static_cast<uint32_t>(value));
}

inline void pbwire_encoder_write_sfixed32(pbwire_encoder_t *encoder_p, int field_number,
                                          int32_t value) {
  if (value != 0) {
    pbwire_encoder_write_sfixed32_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_sfixed64_always(pbwire_encoder_t *encoder_p, int field_number,
                                                 int64_t value) {
  pbwire_encoder_write_fixed64_field(encoder_p, field_number, static_cast<uint64_t>(value));
}

inline void pbwire_encoder_write_sfixed64(pbwire_encoder_t *encoder_p, int field_number,
                                          int64_t value) {
  if (value != 0) {
    pbwire_encoder_write_sfixed64_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_float_always(pbwire_encoder_t *encoder_p, int field_number,
                                              float value) {
  pbwire_encoder_write_fixed32_field(encoder_p, field_number, pbwire_float_bits(value));
}

inline void pbwire_encoder_write_float(pbwire_encoder_t *encoder_p, int field_number, float value) {
  if (value != 0) {
    pbwire_encoder_write_float_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_double_always(pbwire_encoder_t *encoder_p, int field_number,
                                               double value) {
  pbwire_encoder_write_fixed64_field(encoder_p, field_number, pbwire_double_bits(value));
}

inline void pbwire_encoder_write_double(pbwire_encoder_t *encoder_p, int field_number,
                                        double value) {
  if (value != 0) {
    pbwire_encoder_write_double_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_bool_always(pbwire_encoder_t *encoder_p, int field_number,
                                             bool value) {
  pbwire_encoder_write_varint_field(encoder_p, field_number, value ? 1u : 0u);
}

inline void pbwire_encoder_write_bool(pbwire_encoder_t *encoder_p, int field_number, bool value) {
  if (value) {
    pbwire_encoder_write_bool_always(encoder_p, field_number, value);
  }
}

inline void pbwire_encoder_write_enum_always(pbwire_encoder_t *encoder_p, int field_number,
                                             int32_t value) {
  pbwire_encoder_write_varint_field(encoder_p, field_number,
                                    static_cast<uint64_t>(static_cast<int64_t>(value)));
}

inline void pbwire_encoder_write_enum(pbwire_encoder_t *encoder_p, int field_number,
                                      int32_t value) {
  if (value != 0) {
    pbwire_encoder_write_enum_always(encoder_p, field_number, value);
  }
}

// Key and length in front of what was written since `end` (the position
// before the content was written); used by every length-delimited field.
void pbwire_encoder_write_length_key_slow(pbwire_encoder_t *encoder_p, int field_number,
                                          int32_t end);

inline void pbwire_encoder_write_length_key(pbwire_encoder_t *encoder_p, int field_number,
                                            int32_t end) {
  if (encoder_p->pos < 16) {
    pbwire_encoder_write_length_key_slow(encoder_p, field_number, end);
    return;
  }
  uint64_t length = static_cast<uint64_t>(end - encoder_p->pos);
  uint64_t key = (static_cast<uint64_t>(field_number) << 3) | PBWIRE_WIRE_TYPE_LENGTH_DELIMITED;
  encoder_p->pos -= pbwire_varint_size(key) + pbwire_varint_size(length);
  uint8_t *dst_p = pbwire_put_varint(&encoder_p->buf_p[encoder_p->pos + 1], key);
  pbwire_put_varint(dst_p, length);
}

void pbwire_encoder_write_string_always(pbwire_encoder_t *encoder_p, int field_number,
                                        const char *value_p);

inline void pbwire_encoder_write_string(pbwire_encoder_t *encoder_p, int field_number,
                                        const char *value_p) {
  if (value_p == nullptr || value_p[0] == '\0') {
    return;
  }
  size_t length = strlen(value_p);
  if (encoder_p->pos < 0 || static_cast<size_t>(encoder_p->pos) < length + 16) {
    pbwire_encoder_write_string_always(encoder_p, field_number, value_p);
    return;
  }
  int32_t end = encoder_p->pos;
  encoder_p->pos -= static_cast<int32_t>(length);
  memcpy(&encoder_p->buf_p[encoder_p->pos + 1], value_p, length);
  pbwire_encoder_write_length_key(encoder_p, field_number, end);
}

void pbwire_encoder_write_bytes(pbwire_encoder_t *encoder_p, int field_number,
                                const pbwire_bytes_t *value_p);
void pbwire_encoder_write_bytes_always(pbwire_encoder_t *encoder_p, int field_number,
                                       const pbwire_bytes_t *value_p);

// Repeated scalars are written packed (one length-delimited field holding
// every value; nothing when empty). Repeated strings and bytes are written
// as one field per item, empty items included, in array order.
void pbwire_encoder_write_repeated_int32(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_int32_t *repeated_p);
void pbwire_encoder_write_repeated_int64(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_int64_t *repeated_p);
void pbwire_encoder_write_repeated_uint32(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_uint32_t *repeated_p);
void pbwire_encoder_write_repeated_uint64(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_uint64_t *repeated_p);
void pbwire_encoder_write_repeated_sint32(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_int32_t *repeated_p);
void pbwire_encoder_write_repeated_sint64(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_int64_t *repeated_p);
void pbwire_encoder_write_repeated_fixed32(pbwire_encoder_t *encoder_p, int field_number,
                                           const pbwire_repeated_uint32_t *repeated_p);
void pbwire_encoder_write_repeated_fixed64(pbwire_encoder_t *encoder_p, int field_number,
                                           const pbwire_repeated_uint64_t *repeated_p);
void pbwire_encoder_write_repeated_sfixed32(pbwire_encoder_t *encoder_p, int field_number,
                                            const pbwire_repeated_int32_t *repeated_p);
void pbwire_encoder_write_repeated_sfixed64(pbwire_encoder_t *encoder_p, int field_number,
                                            const pbwire_repeated_int64_t *repeated_p);
void pbwire_encoder_write_repeated_float(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_float_t *repeated_p);
void pbwire_encoder_write_repeated_double(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_double_t *repeated_p);
void pbwire_encoder_write_repeated_bool(pbwire_encoder_t *encoder_p, int field_number,
                                        const pbwire_repeated_bool_t *repeated_p);
void pbwire_encoder_write_repeated_enum(pbwire_encoder_t *encoder_p, int field_number,
                                        const pbwire_repeated_int32_t *repeated_p);
void pbwire_encoder_write_repeated_string(pbwire_encoder_t *encoder_p, int field_number,
                                          const pbwire_repeated_string_t *repeated_p);
void pbwire_encoder_write_repeated_bytes(pbwire_encoder_t *encoder_p, int field_number,
                                         const pbwire_repeated_bytes_t *repeated_p);

// Writes a sub-message field: nothing when `message_p` is null, otherwise
// key, length and the message (key and length 0 when its encoding is
// empty). The _always twin writes an empty sub-message for null too.
void pbwire_encoder_sub_message_encode(pbwire_encoder_t *encoder_p, int field_number,
                                       const void *message_p, pbwire_encode_inner_t encode_inner);
void pbwire_encoder_sub_message_encode_always(pbwire_encoder_t *encoder_p, int field_number,
                                              const void *message_p,
                                              pbwire_encode_inner_t encode_inner);

// Writes `length` message structures of `item_size` bytes at `items_p` as
// one length-delimited field each, in array order.
void pbwire_encode_repeated_inner(pbwire_encoder_t *encoder_p, int field_number,
                                  const void *items_p, int32_t length, size_t item_size,
                                  pbwire_encode_inner_t encode_inner);

// ---- Forward writing ----------------------------------------------------
//
// Messages whose fields are all single scalars, enumerations, strings and
// bytes ("flat" messages), and messages made only of such fields and of
// single or repeated flat sub-messages, are encoded forwards from the start
// of the caller's buffer, so the result needs no final move. A flat
// message is written in one piece: the generated code adds up an upper
// bound of its encoding (each string measured once), checks that bound
// once against the room left, and then writes every field with the
// unchecked writers below. The length in front of a flat sub-message is
// given the width its bound needs; when the real length needs fewer bytes
// the content is moved down by the difference. When a bound does not fit
// although the real encoding might, the generated _encode starts again
// with the backwards encoder, which is exact, so both ways accept and
// refuse the same buffers.
//
// The writers below take the next free byte and return the byte after
// what they wrote. REQUIRES: the room was checked against the field's
// bound: its key, then 10 bytes for a varint (5 for uint32 and sint32, 1
// for bool), 4 or 8 for a fixed value, 5 plus the length for a string or
// bytes.

// A string's or bytes' length for a bound: lengths of 2^32 or more count as
// 2^32, which fits no buffer (2 GiB - 1 at most) and cannot overflow a sum
// of a message's fields.
inline size_t pbwire_bound_length(uint64_t length) {
  return static_cast<size_t>(length < (uint64_t{1} << 32) ? length : (uint64_t{1} << 32));
}

inline uint8_t *pbwire_put_key(uint8_t *dst_p, int field_number, int wire_type) {
  return pbwire_put_varint(
      dst_p, (static_cast<uint64_t>(field_number) << 3) | static_cast<uint64_t>(wire_type));
}

inline uint8_t *pbwire_put_varint_field(uint8_t *dst_p, int field_number, uint64_t value) {
  return pbwire_put_varint(pbwire_put_key(dst_p, field_number, PBWIRE_WIRE_TYPE_VARINT), value);
}

inline uint8_t *pbwire_put_fixed32_field(uint8_t *dst_p, int field_number, uint32_t value) {
  dst_p = pbwire_put_key(dst_p, field_number, PBWIRE_WIRE_TYPE_FIXED_32);
  pbwire_store_le(dst_p, value, 4);
  return dst_p + 4;
}

inline uint8_t *pbwire_put_fixed64_field(uint8_t *dst_p, int field_number, uint64_t value) {
  dst_p = pbwire_put_key(dst_p, field_number, PBWIRE_WIRE_TYPE_FIXED_64);
  pbwire_store_le(dst_p, value, 8);
  return dst_p + 8;
}

// Key, length and `length` bytes of `src_p`; nothing when `length` is 0.
inline uint8_t *pbwire_put_length_field(uint8_t *dst_p, int field_number, const void *src_p,
                                        size_t length) {
  if (length == 0) {
    return dst_p;
  }
  dst_p = pbwire_put_key(dst_p, field_number, PBWIRE_WIRE_TYPE_LENGTH_DELIMITED);
  dst_p = pbwire_put_varint(dst_p, length);
  memcpy(dst_p, src_p, length);
  return dst_p + length;
}

// One writer per field type, leaving out the default value exactly as the
// pbwire_encoder_write_<type> writers do.
inline uint8_t *pbwire_put_int32(uint8_t *dst_p, int field_number, int32_t value) {
  return value == 0 ? dst_p
                    : pbwire_put_varint_field(dst_p, field_number,
                                              static_cast<uint64_t>(static_cast<int64_t>(value)));
}

inline uint8_t *pbwire_put_int64(uint8_t *dst_p, int field_number, int64_t value) {
  return value == 0 ? dst_p
                    : pbwire_put_varint_field(dst_p, field_number, static_cast<uint64_t>(value));
}

inline uint8_t *pbwire_put_uint32(uint8_t *dst_p, int field_number, uint32_t value) {
  return value == 0 ? dst_p : pbwire_put_varint_field(dst_p, field_number, value);
}

inline uint8_t *pbwire_put_uint64(uint8_t *dst_p, int field_number, uint64_t value) {
  return value == 0 ? dst_p : pbwire_put_varint_field(dst_p, field_number, value);
}

inline uint8_t *pbwire_put_sint32(uint8_t *dst_p, int field_number, int32_t value) {
  return value == 0 ? dst_p
                    : pbwire_put_varint_field(dst_p, field_number, pbwire_zigzag_encode(value));
}

inline uint8_t *pbwire_put_sint64(uint8_t *dst_p, int field_number, int64_t value) {
  return value == 0 ? dst_p
                    : pbwire_put_varint_field(dst_p, field_number, pbwire_zigzag_encode(value));
}

inline uint8_t *pbwire_put_fixed32(uint8_t *dst_p, int field_number, uint32_t value) {
  return value == 0 ? dst_p : pbwire_put_fixed32_field(dst_p, field_number, value);
}

inline uint8_t *pbwire_put_fixed64(uint8_t *dst_p, int field_number, uint64_t value) {
  return value == 0 ? dst_p : pbwire_put_fixed64_field(dst_p, field_number, value);
}

inline uint8_t *pbwire_put_sfixed32(uint8_t *dst_p, int field_number, int32_t value) {
  return value == 0 ? dst_p
                    : pbwire_put_fixed32_field(dst_p, field_number, static_cast<uint32_t>(value));
}

inline uint8_t *pbwire_put_sfixed64(uint8_t *dst_p, int field_number, int64_t value) {
  return value == 0 ? dst_p
                    : pbwire_put_fixed64_field(dst_p, field_number, static_cast<uint64_t>(value));
}

inline uint8_t *pbwire_put_float(uint8_t *dst_p, int field_number, float value) {
  return value == 0 ? dst_p : pbwire_put_fixed32_field(dst_p, field_number, pbwire_float_bits(value));
}

inline uint8_t *pbwire_put_double(uint8_t *dst_p, int field_number, double value) {
  return value == 0 ? dst_p
                    : pbwire_put_fixed64_field(dst_p, field_number, pbwire_double_bits(value));
}

inline uint8_t *pbwire_put_bool(uint8_t *dst_p, int field_number, bool value) {
  return !value ? dst_p : pbwire_put_varint_field(dst_p, field_number, 1);
}

inline uint8_t *pbwire_put_enum(uint8_t *dst_p, int field_number, int32_t value) {
  return pbwire_put_int32(dst_p, field_number, value);
}

// A string of `length` bytes (its strlen, measured for the bound).
inline uint8_t *pbwire_put_string(uint8_t *dst_p, int field_number, const char *value_p,
                                  size_t length) {
  return pbwire_put_length_field(dst_p, field_number, value_p, length);
}

inline uint8_t *pbwire_put_bytes(uint8_t *dst_p, int field_number, const pbwire_bytes_t *value_p) {
  if (value_p->buf_p == nullptr) {
    return dst_p;
  }
  return pbwire_put_length_field(dst_p, field_number, value_p->buf_p,
                                 static_cast<size_t>(value_p->size));
}

// Length of a string field for the bound and the writer: 0 for null or "".
inline size_t pbwire_string_length(const char *value_p) {
  return value_p == nullptr || value_p[0] == '\0' ? 0 : strlen(value_p);
}

// Length of a bytes field for the bound: 0 when nothing would be written.
inline size_t pbwire_bytes_bound_length(const pbwire_bytes_t *value_p) {
  return value_p->buf_p == nullptr ? 0 : pbwire_bound_length(value_p->size);
}

// Finishes a flat sub-message written at `content_p` (up to `end_p`) after
// the bytes reserved at `length_p` for its length: writes the length and,
// when it needs fewer bytes than were reserved, moves the content down.
// Returns the byte after the content.
inline uint8_t *pbwire_put_reserved_length(uint8_t *length_p, uint8_t *content_p,
                                           uint8_t *end_p) {
  size_t length = static_cast<size_t>(end_p - content_p);
  uint8_t *moved_p = pbwire_put_varint(length_p, length);
  if (moved_p != content_p) {
    memmove(moved_p, content_p, length);
  }
  return moved_p + length;
}

// ---- Decoding -----------------------------------------------------------

// Decodes `size` bytes at `encoded_p` into a message made by a generated
// _new function (its heap is `message_p`'s first member): `init` resets the
// message to its defaults, then `decode_inner` fills it. Returns the bytes
// consumed (all of them) or a negative code; after a failure the message
// holds the fields decoded before the error and defaults elsewhere, and no
// string field is null.
int pbwire_message_decode(void *message_p, const void *encoded_p, size_t size, pbwire_init_t init,
                          pbwire_decode_inner_t decode_inner);

// Covers `size` bytes at `buf_p` for reading; allocations go to `heap_p`.
// Input of 2 GiB or more fails at once with -PBWIRE_LENGTH_DELIMITED_OVERFLOW.
void pbwire_decoder_init(pbwire_decoder_t *decoder_p, const void *buf_p, size_t size,
                         pbwire_heap_t *heap_p);

// Bytes consumed, or the decoder's negative code.
int pbwire_decoder_get_result(const pbwire_decoder_t *decoder_p);

// Readers of keys and values, used by the generated _decode_inner functions
// once per field. The common case is inline: with 10 bytes or more of
// input left no varint or fixed value can run past the end; nearer the end
// the out-of-line _slow versions check every byte.
uint64_t pbwire_decoder_read_varint_slow(pbwire_decoder_t *decoder_p);
uint64_t pbwire_decoder_read_fixed_slow(pbwire_decoder_t *decoder_p, int size);
int pbwire_decoder_read_tag_slow(pbwire_decoder_t *decoder_p, int *wire_type_p);
void pbwire_decoder_fail_wire_type(pbwire_decoder_t *decoder_p);

// True while no error occurred and input remains.
inline bool pbwire_decoder_available(const pbwire_decoder_t *decoder_p) {
  return decoder_p->pos >= 0 && decoder_p->pos < decoder_p->size;
}

// Reads a varint of at most 10 bytes: -PBWIRE_VARINT_OVERFLOW when longer,
// -PBWIRE_OUT_OF_DATA when cut by the end. 0 on failure.
inline uint64_t pbwire_decoder_read_varint(pbwire_decoder_t *decoder_p) {
  int32_t pos = decoder_p->pos;
  if (pos < 0 || decoder_p->size - pos < 10) {
    return pbwire_decoder_read_varint_slow(decoder_p);
  }
  const uint8_t *src_p = &decoder_p->buf_p[pos];
  uint64_t value = 0;
  for (int i = 0; i < 10; i++) {
    uint64_t byte = src_p[i];
    value |= (byte & 0x7f) << (7 * i);
    if (byte < 0x80) {
      decoder_p->pos = pos + i + 1;
      return value;
    }
  }
  decoder_p->pos = -PBWIRE_VARINT_OVERFLOW;
  return 0;
}

// Reads a little-endian value of `size` (4 or 8) bytes; -PBWIRE_OUT_OF_DATA
// when fewer remain. 0 on failure.
inline uint64_t pbwire_decoder_read_fixed(pbwire_decoder_t *decoder_p, int size) {
  int32_t pos = decoder_p->pos;
  if (pos < 0 || decoder_p->size - pos < size) {
    return pbwire_decoder_read_fixed_slow(decoder_p, size);
  }
  decoder_p->pos = pos + size;
  return pbwire_load_le(&decoder_p->buf_p[pos], size);
}

// Reads a key. Returns its field number and stores the wire type, or
// returns -1 after setting the decoder's error (field number 0 or above
// 2^29 - 1: -PBWIRE_BAD_FIELD_NUMBER; or the varint errors).
inline int pbwire_decoder_read_tag(pbwire_decoder_t *decoder_p, int *wire_type_p) {
  int32_t pos = decoder_p->pos;
  if (pos >= 0 && decoder_p->size - pos >= 2) {
    const uint8_t *src_p = &decoder_p->buf_p[pos];
    uint32_t key = src_p[0];
    int size = 1;
    if (key >= 0x80) {  // two bytes: field numbers 16 to 2047
      key = (key & 0x7f) | (static_cast<uint32_t>(src_p[1]) << 7);
      size = src_p[1] < 0x80 ? 2 : 0;
    }
    if (size != 0 && key >= 8) {
      decoder_p->pos = pos + size;
      *wire_type_p = static_cast<int>(key & 7);
      return static_cast<int>(key >> 3);
    }
  }
  return pbwire_decoder_read_tag_slow(decoder_p, wire_type_p);
}

// True when the decoder is usable and `wire_type` is `expected`; a
// mismatch fails the decoder with -PBWIRE_BAD_WIRE_TYPE.
inline bool pbwire_decoder_check_wire_type(pbwire_decoder_t *decoder_p, int wire_type,
                                           int expected) {
  if (wire_type != expected) {
    pbwire_decoder_fail_wire_type(decoder_p);
    return false;
  }
  return decoder_p->pos >= 0;
}

inline int64_t pbwire_zigzag_decode(uint64_t value) {
  return static_cast<int64_t>((value >> 1) ^ (~(value & 1) + 1));
}

// Skips one field's value by its wire type. Wire types 3, 4, 6 and 7 fail
// with -PBWIRE_BAD_WIRE_TYPE.
void pbwire_decoder_skip_field(pbwire_decoder_t *decoder_p, int wire_type);

// Value readers for one field whose key gave `wire_type`. A wire type that
// does not fit the field's type fails with -PBWIRE_BAD_WIRE_TYPE. On any
// failure (now or earlier) the result is 0 / false.
inline int32_t pbwire_decoder_read_int32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<int32_t>(pbwire_decoder_read_varint(decoder_p));
}

inline int64_t pbwire_decoder_read_int64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<int64_t>(pbwire_decoder_read_varint(decoder_p));
}

inline uint32_t pbwire_decoder_read_uint32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<uint32_t>(pbwire_decoder_read_varint(decoder_p));
}

inline uint64_t pbwire_decoder_read_uint64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return pbwire_decoder_read_varint(decoder_p);
}

inline int32_t pbwire_decoder_read_sint32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<int32_t>(pbwire_zigzag_decode(pbwire_decoder_read_varint(decoder_p)));
}

inline int64_t pbwire_decoder_read_sint64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return pbwire_zigzag_decode(pbwire_decoder_read_varint(decoder_p));
}

inline uint32_t pbwire_decoder_read_fixed32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_32)) {
    return 0;
  }
  return static_cast<uint32_t>(pbwire_decoder_read_fixed(decoder_p, 4));
}

inline uint64_t pbwire_decoder_read_fixed64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_64)) {
    return 0;
  }
  return pbwire_decoder_read_fixed(decoder_p, 8);
}

inline int32_t pbwire_decoder_read_sfixed32(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_32)) {
    return 0;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(pbwire_decoder_read_fixed(decoder_p, 4)));
}

inline int64_t pbwire_decoder_read_sfixed64(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_64)) {
    return 0;
  }
  return static_cast<int64_t>(pbwire_decoder_read_fixed(decoder_p, 8));
}

inline float pbwire_decoder_read_float(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_32)) {
    return 0;
  }
  return std::bit_cast<float>(static_cast<uint32_t>(pbwire_decoder_read_fixed(decoder_p, 4)));
}

inline double pbwire_decoder_read_double(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_FIXED_64)) {
    return 0;
  }
  return std::bit_cast<double>(pbwire_decoder_read_fixed(decoder_p, 8));
}

inline bool pbwire_decoder_read_bool(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return false;
  }
  return pbwire_decoder_read_varint(decoder_p) != 0;
}

inline int32_t pbwire_decoder_read_enum(pbwire_decoder_t *decoder_p, int wire_type) {
  if (!pbwire_decoder_check_wire_type(decoder_p, wire_type, PBWIRE_WIRE_TYPE_VARINT)) {
    return 0;
  }
  return static_cast<int32_t>(pbwire_decoder_read_varint(decoder_p));
}

// Copies a string into the heap with a terminating NUL. Returns the copy,
// or the shared empty string when the field is empty or on failure
// (-PBWIRE_OUT_OF_MEMORY when the heap cannot hold it).
const char *pbwire_decoder_read_string(pbwire_decoder_t *decoder_p, int wire_type);

// Copies bytes into the heap (no terminator) and stores them in *value_p;
// on failure *value_p becomes empty.
void pbwire_decoder_read_bytes(pbwire_decoder_t *decoder_p, int wire_type, pbwire_bytes_t *value_p);

// Decodes a sub-message field: allocates a structure of `message_size`
// bytes, initialises it and decodes it from a slice of exactly the field's
// length. Returns the structure (also when its contents failed to decode,
// then partly filled), or null when it could not be allocated.
void *pbwire_decoder_sub_message_decode(pbwire_decoder_t *decoder_p, int wire_type,
                                        size_t message_size, pbwire_init_t init,
                                        pbwire_decode_inner_t decode_inner);

// First pass of a repeated field. pbwire_repeated_info_init() prepares the
// state for field number `tag`. Each occurrence of the field then calls the
// counter that fits the field's type with the main decoder after the key:
// _decode for messages and maps, _decode_string and _decode_bytes (one
// length-delimited item), _decode_varint (int32, int64, uint32, uint64,
// sint32, sint64, bool, enum), _decode_fixed32 (fixed32, sfixed32, float)
// and _decode_fixed64 (fixed64, sfixed64, double). The scalar counters
// accept the packed form and count every value in it. The main decoder
// moves past the occurrence; a wrong wire type fails it.
void pbwire_repeated_info_init(pbwire_repeated_info_t *repeated_info_p, int tag);
void pbwire_repeated_info_decode(pbwire_repeated_info_t *repeated_info_p,
                                 pbwire_decoder_t *decoder_p, int wire_type);
void pbwire_repeated_info_decode_string(pbwire_repeated_info_t *repeated_info_p,
                                        pbwire_decoder_t *decoder_p, int wire_type);
void pbwire_repeated_info_decode_bytes(pbwire_repeated_info_t *repeated_info_p,
                                       pbwire_decoder_t *decoder_p, int wire_type);
void pbwire_repeated_info_decode_varint(pbwire_repeated_info_t *repeated_info_p,
                                        pbwire_decoder_t *decoder_p, int wire_type);
void pbwire_repeated_info_decode_fixed32(pbwire_repeated_info_t *repeated_info_p,
                                         pbwire_decoder_t *decoder_p, int wire_type);
void pbwire_repeated_info_decode_fixed64(pbwire_repeated_info_t *repeated_info_p,
                                         pbwire_decoder_t *decoder_p, int wire_type);

// Second pass of a repeated message or map field, after the main loop:
// allocates the counted items from the heap, initialises them and decodes
// every occurrence in order. Stores the array and its length; when the heap
// cannot hold the items the field is left empty (length 0) without an
// error. An error inside an item becomes the main decoder's error.
void pbwire_decode_repeated_inner(pbwire_decoder_t *decoder_p,
                                  pbwire_repeated_info_t *repeated_info_p, size_t item_size,
                                  pbwire_init_t init, pbwire_decode_inner_t decode_inner,
                                  void **items_pp, int32_t *length_p);

// Second pass of repeated scalar, string and bytes fields. Packed and
// unpacked occurrences are both accepted. When the heap cannot hold the
// items the main decoder fails with -PBWIRE_OUT_OF_MEMORY and the field
// stays empty.
void pbwire_decoder_decode_repeated_int32(pbwire_decoder_t *decoder_p,
                                          pbwire_repeated_info_t *repeated_info_p,
                                          pbwire_repeated_int32_t *repeated_p);
void pbwire_decoder_decode_repeated_int64(pbwire_decoder_t *decoder_p,
                                          pbwire_repeated_info_t *repeated_info_p,
                                          pbwire_repeated_int64_t *repeated_p);
void pbwire_decoder_decode_repeated_uint32(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_uint32_t *repeated_p);
void pbwire_decoder_decode_repeated_uint64(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_uint64_t *repeated_p);
void pbwire_decoder_decode_repeated_sint32(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_int32_t *repeated_p);
void pbwire_decoder_decode_repeated_sint64(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_int64_t *repeated_p);
void pbwire_decoder_decode_repeated_fixed32(pbwire_decoder_t *decoder_p,
                                            pbwire_repeated_info_t *repeated_info_p,
                                            pbwire_repeated_uint32_t *repeated_p);
void pbwire_decoder_decode_repeated_fixed64(pbwire_decoder_t *decoder_p,
                                            pbwire_repeated_info_t *repeated_info_p,
                                            pbwire_repeated_uint64_t *repeated_p);
void pbwire_decoder_decode_repeated_sfixed32(pbwire_decoder_t *decoder_p,
                                             pbwire_repeated_info_t *repeated_info_p,
                                             pbwire_repeated_int32_t *repeated_p);
void pbwire_decoder_decode_repeated_sfixed64(pbwire_decoder_t *decoder_p,
                                             pbwire_repeated_info_t *repeated_info_p,
                                             pbwire_repeated_int64_t *repeated_p);
void pbwire_decoder_decode_repeated_float(pbwire_decoder_t *decoder_p,
                                          pbwire_repeated_info_t *repeated_info_p,
                                          pbwire_repeated_float_t *repeated_p);
void pbwire_decoder_decode_repeated_double(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_double_t *repeated_p);
void pbwire_decoder_decode_repeated_bool(pbwire_decoder_t *decoder_p,
                                         pbwire_repeated_info_t *repeated_info_p,
                                         pbwire_repeated_bool_t *repeated_p);
void pbwire_decoder_decode_repeated_enum(pbwire_decoder_t *decoder_p,
                                         pbwire_repeated_info_t *repeated_info_p,
                                         pbwire_repeated_int32_t *repeated_p);
void pbwire_decoder_decode_repeated_string(pbwire_decoder_t *decoder_p,
                                           pbwire_repeated_info_t *repeated_info_p,
                                           pbwire_repeated_string_t *repeated_p);
void pbwire_decoder_decode_repeated_bytes(pbwire_decoder_t *decoder_p,
                                          pbwire_repeated_info_t *repeated_info_p,
                                          pbwire_repeated_bytes_t *repeated_p);

#endif  // PBWIRE_PBWIRE_H
