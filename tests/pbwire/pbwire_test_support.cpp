// Value source and reference-format text printers for the pbwire tests.
#include "pbwire_test_support.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

template <typename T, size_t N>
T pick(pbwire_test_rng_t *rng_p, const T (&values)[N], bool allow_zero) {
  for (int tries = 0; tries < 64; tries++) {
    T value = values[pbwire_test_next(rng_p) % N];
    if (allow_zero || value != T(0)) {
      return value;
    }
  }
  return values[N - 1];
}

bool allow_default(pbwire_test_rng_t *rng_p, bool repeated) {
  return repeated || !rng_p->full;
}

const int32_t k_int32[] = {0, 1, -1, 127, 128, 300, -300, INT32_MAX, INT32_MIN, 16384, -2};
const int64_t k_int64[] = {0, 1, -1, INT64_MAX, INT64_MIN, 1LL << 35, -(1LL << 40), 999999, 150};
const uint32_t k_uint32[] = {0, 1, 127, 128, 16383, 16384, UINT32_MAX, 20240125};
const uint64_t k_uint64[] = {0,          1,   UINT64_MAX,   1ULL << 63, 1700000000000ULL,
                             1ULL << 49, 255, 4294967296ULL};
const float k_float[] = {0.0f,   1.5f,  -0.1f, 3.4028235e38f,
                         1e-45f, 0.25f, -7.0f, std::numeric_limits<float>::infinity()};
const double k_double[] = {0.0,
                           1.5,
                           -2.25,
                           1e300,
                           5e-324,
                           0.1,
                           3.0,
                           -1e-7,
                           123456789.125,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};

std::string long_string() {
  std::string s;
  for (int i = 0; i < 300; i++) {
    s += static_cast<char>('a' + i % 26);
  }
  return s;
}

const std::string k_long_string = long_string();

const char *string_value(int index) {
  switch (index) {
    case 0:
      return "";
    case 1:
      return "a";
    case 2:
      return "eth0 GigabitEthernet0/1";
    case 3:
      return "quote \" apostrophe ' backslash \\ newline \n tab \t cr \r";
    case 4:
      return "h\xc3\xa9llo \xe6\x97\xa5\xe6\x9c\xac";
    case 5:
      return "\x01\x1f\x7f";
    default:
      return k_long_string.c_str();
  }
}

uint8_t k_all_bytes[256];
const uint8_t k_address4[4] = {192, 168, 0, 1};
const uint8_t k_address16[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t k_nul[1] = {0};

void indent_to(std::string *out_p, int indent) {
  out_p->append(static_cast<size_t>(indent), ' ');
}

void line(std::string *out_p, int indent, const char *name, const std::string &value) {
  indent_to(out_p, indent);
  out_p->append(name);
  out_p->append(": ");
  out_p->append(value);
  out_p->append("\n");
}

}  // namespace

void pbwire_test_rng_init(pbwire_test_rng_t *rng_p, uint64_t seed, bool full) {
  rng_p->state = seed * 0x9E3779B97F4A7C15ULL + 0x1234567ULL;
  rng_p->full = full;
  for (int i = 0; i < 256; i++) {
    k_all_bytes[i] = static_cast<uint8_t>(i);
  }
}

uint32_t pbwire_test_next(pbwire_test_rng_t *rng_p) {
  // splitmix64
  uint64_t z = (rng_p->state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
}

bool pbwire_test_present(pbwire_test_rng_t *rng_p) {
  return rng_p->full || pbwire_test_next(rng_p) % 4 != 0;
}

int pbwire_test_count(pbwire_test_rng_t *rng_p) {
  if (rng_p->full) {
    return 2 + static_cast<int>(pbwire_test_next(rng_p) % 2);
  }
  return static_cast<int>(pbwire_test_next(rng_p) % 5);
}

int32_t pbwire_test_int32(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_int32, allow_default(rng_p, repeated));
}
int64_t pbwire_test_int64(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_int64, allow_default(rng_p, repeated));
}
uint32_t pbwire_test_uint32(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_uint32, allow_default(rng_p, repeated));
}
uint64_t pbwire_test_uint64(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_uint64, allow_default(rng_p, repeated));
}
int32_t pbwire_test_sint32(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_int32, allow_default(rng_p, repeated));
}
int64_t pbwire_test_sint64(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_int64, allow_default(rng_p, repeated));
}
uint32_t pbwire_test_fixed32(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_uint32, allow_default(rng_p, repeated));
}
uint64_t pbwire_test_fixed64(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_uint64, allow_default(rng_p, repeated));
}
int32_t pbwire_test_sfixed32(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_int32, allow_default(rng_p, repeated));
}
int64_t pbwire_test_sfixed64(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_int64, allow_default(rng_p, repeated));
}
float pbwire_test_float(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_float, allow_default(rng_p, repeated));
}
double pbwire_test_double(pbwire_test_rng_t *rng_p, bool repeated) {
  return pick(rng_p, k_double, allow_default(rng_p, repeated));
}
bool pbwire_test_bool(pbwire_test_rng_t *rng_p, bool repeated) {
  if (!allow_default(rng_p, repeated)) {
    return true;
  }
  return pbwire_test_next(rng_p) % 2 == 0;
}

const char *pbwire_test_string(pbwire_test_rng_t *rng_p, bool repeated) {
  int first = allow_default(rng_p, repeated) ? 0 : 1;
  return string_value(first + static_cast<int>(pbwire_test_next(rng_p) % (7 - first)));
}

pbwire_bytes_t pbwire_test_bytes(pbwire_test_rng_t *rng_p, bool repeated) {
  int first = allow_default(rng_p, repeated) ? 0 : 1;
  switch (first + static_cast<int>(pbwire_test_next(rng_p) % (5 - first))) {
    case 0:
      return pbwire_bytes_t{nullptr, 0};
    case 1:
      return pbwire_bytes_t{k_all_bytes, sizeof(k_all_bytes)};
    case 2:
      return pbwire_bytes_t{k_address4, sizeof(k_address4)};
    case 3:
      return pbwire_bytes_t{k_address16, sizeof(k_address16)};
    default:
      return pbwire_bytes_t{k_nul, sizeof(k_nul)};
  }
}

const char *pbwire_test_map_key(pbwire_test_rng_t *rng_p, pbwire_heap_t *heap_p, int index) {
  char text[64];
  int n = snprintf(text, sizeof(text), "key%d-%u", index, pbwire_test_next(rng_p) % 1000);
  char *key_p = static_cast<char *>(pbwire_heap_alloc(heap_p, static_cast<size_t>(n) + 1, 1));
  if (key_p == nullptr) {
    return "";
  }
  memcpy(key_p, text, static_cast<size_t>(n) + 1);
  return key_p;
}

int32_t pbwire_test_enum(pbwire_test_rng_t *rng_p, const int32_t *values_p, int count) {
  uint32_t r = pbwire_test_next(rng_p);
  if (rng_p->full) {
    // A declared non-zero value when there is one; else an undeclared one,
    // which proto3 keeps as a number.
    for (int i = 0; i < count; i++) {
      int32_t value = values_p[(r + static_cast<uint32_t>(i)) % static_cast<uint32_t>(count)];
      if (value != 0) {
        return value;
      }
    }
    return 77;
  }
  if (r % 8 == 0) {
    return 77;
  }
  return values_p[r % static_cast<uint32_t>(count)];
}

std::string pbwire_test_escape(const void *data_p, size_t size) {
  const unsigned char *p = static_cast<const unsigned char *>(data_p);
  std::string out;
  for (size_t i = 0; i < size; i++) {
    unsigned char c = p[i];
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\'':
        out += "\\'";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char octal[8];
          snprintf(octal, sizeof(octal), "\\%03o", c);
          out += octal;
        } else {
          out += static_cast<char>(c);
        }
        break;
    }
  }
  return out;
}

void pbwire_test_print_signed(std::string *out_p, int indent, const char *name, int64_t value,
                              bool force) {
  if (value == 0 && !force) {
    return;
  }
  line(out_p, indent, name, std::to_string(value));
}

void pbwire_test_print_unsigned(std::string *out_p, int indent, const char *name, uint64_t value,
                                bool force) {
  if (value == 0 && !force) {
    return;
  }
  line(out_p, indent, name, std::to_string(value));
}

void pbwire_test_print_float(std::string *out_p, int indent, const char *name, float value,
                             bool force) {
  if (value == 0 && !force) {
    return;
  }
  std::string text;
  if (std::isinf(value)) {
    text = value > 0 ? "inf" : "-inf";
  } else if (std::isnan(value)) {
    text = "nan";
  } else {
    // 6 significant digits when they read back exactly and without a range
    // error (so not for denormals), else 9.
    char buf[64];
    snprintf(buf, sizeof(buf), "%.6g", static_cast<double>(value));
    errno = 0;
    float back = strtof(buf, nullptr);
    if (back != value || errno != 0) {
      snprintf(buf, sizeof(buf), "%.9g", static_cast<double>(value));
    }
    text = buf;
  }
  line(out_p, indent, name, text);
}

void pbwire_test_print_double(std::string *out_p, int indent, const char *name, double value,
                              bool force) {
  if (value == 0 && !force) {
    return;
  }
  std::string text;
  if (std::isinf(value)) {
    text = value > 0 ? "inf" : "-inf";
  } else if (std::isnan(value)) {
    text = "nan";
  } else {
    // Shortest of 15 or 17 significant digits that reads back exactly.
    char buf[64];
    snprintf(buf, sizeof(buf), "%.15g", value);
    if (strtod(buf, nullptr) != value) {
      snprintf(buf, sizeof(buf), "%.17g", value);
    }
    text = buf;
  }
  line(out_p, indent, name, text);
}

void pbwire_test_print_bool(std::string *out_p, int indent, const char *name, bool value,
                            bool force) {
  if (!value && !force) {
    return;
  }
  line(out_p, indent, name, value ? "true" : "false");
}

void pbwire_test_print_string(std::string *out_p, int indent, const char *name, const char *value_p,
                              bool force) {
  if (value_p == nullptr) {
    // Never valid after init or decode; make it visible in the comparison.
    line(out_p, indent, name, "<null>");
    return;
  }
  if (value_p[0] == '\0' && !force) {
    return;
  }
  line(out_p, indent, name, "\"" + pbwire_test_escape(value_p, strlen(value_p)) + "\"");
}

void pbwire_test_print_bytes(std::string *out_p, int indent, const char *name,
                             const pbwire_bytes_t *value_p, bool force) {
  if (value_p->size == 0 && !force) {
    return;
  }
  std::string text;
  if (value_p->size > 0) {
    text = pbwire_test_escape(value_p->buf_p, static_cast<size_t>(value_p->size));
  }
  line(out_p, indent, name, "\"" + text + "\"");
}

void pbwire_test_print_enum(std::string *out_p, int indent, const char *name, int32_t value,
                            const pbwire_test_enum_names_t *names_p, bool force) {
  if (value == 0 && !force) {
    return;
  }
  for (int i = 0; i < names_p->count; i++) {
    if (names_p->values_p[i].value == value) {
      line(out_p, indent, name, names_p->values_p[i].name);
      return;
    }
  }
  line(out_p, indent, name, std::to_string(value));
}

void pbwire_test_print_open(std::string *out_p, int indent, const char *name) {
  indent_to(out_p, indent);
  out_p->append(name);
  out_p->append(" {\n");
}

void pbwire_test_print_close(std::string *out_p, int indent) {
  indent_to(out_p, indent);
  out_p->append("}\n");
}
