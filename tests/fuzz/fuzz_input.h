// A cursor over a fuzz input, for entries that build structured input
// (several samples, lengths, choices) from the bytes. Reads past the end
// give zeros and empty spans, so every input is usable.
#ifndef TESTS_FUZZ_FUZZ_INPUT_H
#define TESTS_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

struct fuzz_input {
  const uint8_t *data;
  size_t size;
  size_t pos;
};

inline fuzz_input fuzz_input_make(const uint8_t *data, size_t size) {
  return fuzz_input{data, size, 0};
}

inline size_t fuzz_input_left(const fuzz_input *in) {
  return in->size - in->pos;
}

inline uint8_t fuzz_input_u8(fuzz_input *in) {
  return in->pos < in->size ? in->data[in->pos++] : 0;
}

// Little-endian unsigned number of `bytes` bytes (at most 8).
inline uint64_t fuzz_input_uint(fuzz_input *in, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; i++) v |= static_cast<uint64_t>(fuzz_input_u8(in)) << (8 * i);
  return v;
}

// The next `len` bytes (fewer at the end of the input).
inline std::string_view fuzz_input_bytes(fuzz_input *in, size_t len) {
  if (len > fuzz_input_left(in)) len = fuzz_input_left(in);
  std::string_view s(reinterpret_cast<const char *>(in->data + in->pos), len);
  in->pos += len;
  return s;
}

// A piece whose length is given by the next byte.
inline std::string_view fuzz_input_piece(fuzz_input *in) {
  return fuzz_input_bytes(in, fuzz_input_u8(in));
}

#endif  // TESTS_FUZZ_FUZZ_INPUT_H
