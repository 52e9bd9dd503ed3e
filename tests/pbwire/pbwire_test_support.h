// Test support for the pbwire tests: a seeded value source that the
// generated *_test_helpers use to fill every field of a message, the text
// printers those helpers use to print a message exactly as the reference
// compiler (`protoc --decode`) prints it, and the record describing one
// message type to the table-driven tests. Single-threaded.
#ifndef TESTS_PBWIRE_PBWIRE_TEST_SUPPORT_H
#define TESTS_PBWIRE_PBWIRE_TEST_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "pbwire.h"

// Value source. In `full` mode every singular field gets a non-default
// value, every sub-message is present and every repeated field has items;
// otherwise defaults, absent sub-messages and empty lists are mixed in.
struct pbwire_test_rng_t {
  uint64_t state;
  bool full;
};

void pbwire_test_rng_init(pbwire_test_rng_t *rng_p, uint64_t seed, bool full);
uint32_t pbwire_test_next(pbwire_test_rng_t *rng_p);

bool pbwire_test_present(pbwire_test_rng_t *rng_p);
int pbwire_test_count(pbwire_test_rng_t *rng_p);

// Values with the interesting edges of each type (negative, zigzag, 64-bit
// extremes, denormals, infinities). `repeated` items may be 0.
int32_t pbwire_test_int32(pbwire_test_rng_t *rng_p, bool repeated);
int64_t pbwire_test_int64(pbwire_test_rng_t *rng_p, bool repeated);
uint32_t pbwire_test_uint32(pbwire_test_rng_t *rng_p, bool repeated);
uint64_t pbwire_test_uint64(pbwire_test_rng_t *rng_p, bool repeated);
int32_t pbwire_test_sint32(pbwire_test_rng_t *rng_p, bool repeated);
int64_t pbwire_test_sint64(pbwire_test_rng_t *rng_p, bool repeated);
uint32_t pbwire_test_fixed32(pbwire_test_rng_t *rng_p, bool repeated);
uint64_t pbwire_test_fixed64(pbwire_test_rng_t *rng_p, bool repeated);
int32_t pbwire_test_sfixed32(pbwire_test_rng_t *rng_p, bool repeated);
int64_t pbwire_test_sfixed64(pbwire_test_rng_t *rng_p, bool repeated);
float pbwire_test_float(pbwire_test_rng_t *rng_p, bool repeated);
double pbwire_test_double(pbwire_test_rng_t *rng_p, bool repeated);
bool pbwire_test_bool(pbwire_test_rng_t *rng_p, bool repeated);
// Constant strings: empty, short, escapes, UTF-8, control bytes, 300 bytes.
const char *pbwire_test_string(pbwire_test_rng_t *rng_p, bool repeated);
// Constant bytes: all 256 byte values, a NUL, addresses, empty.
pbwire_bytes_t pbwire_test_bytes(pbwire_test_rng_t *rng_p, bool repeated);
// A map key distinct for each `index`, allocated from `heap_p`.
const char *pbwire_test_map_key(pbwire_test_rng_t *rng_p, pbwire_heap_t *heap_p, int index);
// One of `values`, or an undeclared number now and then.
int32_t pbwire_test_enum(pbwire_test_rng_t *rng_p, const int32_t *values_p, int count);

struct pbwire_test_enum_value_t {
  int32_t value;
  const char *name;
};

struct pbwire_test_enum_names_t {
  const pbwire_test_enum_value_t *values_p;
  int count;
};

// Text printers: one "name: value" line at `indent` spaces. Without `force`
// a default value prints nothing, as for a proto3 field not on the wire.
void pbwire_test_print_signed(std::string *out_p, int indent, const char *name, int64_t value,
                              bool force);
void pbwire_test_print_unsigned(std::string *out_p, int indent, const char *name, uint64_t value,
                                bool force);
void pbwire_test_print_float(std::string *out_p, int indent, const char *name, float value,
                             bool force);
void pbwire_test_print_double(std::string *out_p, int indent, const char *name, double value,
                              bool force);
void pbwire_test_print_bool(std::string *out_p, int indent, const char *name, bool value,
                            bool force);
void pbwire_test_print_string(std::string *out_p, int indent, const char *name, const char *value_p,
                              bool force);
void pbwire_test_print_bytes(std::string *out_p, int indent, const char *name,
                             const pbwire_bytes_t *value_p, bool force);
void pbwire_test_print_enum(std::string *out_p, int indent, const char *name, int32_t value,
                            const pbwire_test_enum_names_t *names_p, bool force);
void pbwire_test_print_open(std::string *out_p, int indent, const char *name);
void pbwire_test_print_close(std::string *out_p, int indent);

// Text of a string or bytes value as the reference printer escapes it.
std::string pbwire_test_escape(const void *data_p, size_t size);

// One message type of a generated module, for table-driven tests.
struct pbwire_test_message_t {
  const char *name;         // message name in its .proto
  const char *proto_path;   // absolute path of the .proto
  const char *include_dir;  // directory of the .proto, for imports
  bool has_map;             // maps make byte order of entries free
  void *(*new_fn)(void *workspace_p, size_t size);
  void (*fill_fn)(void *self_p, pbwire_test_rng_t *rng_p);
  void (*print_fn)(const void *self_p, std::string *out_p);
  int (*encode_fn)(const void *self_p, void *encoded_p, size_t size);
  int (*decode_fn)(void *self_p, const void *encoded_p, size_t size);
};

#endif  // TESTS_PBWIRE_PBWIRE_TEST_SUPPORT_H
