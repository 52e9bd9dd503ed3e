#include "vk_util.h"

#include "vk_clock.h"

#include <errno.h>
#include <string.h>

#include <string_view>

namespace {

bool in_set(char c, const char *set) {
  return c != '\0' && strchr(set, c) != nullptr;
}

}  // namespace

int vk_rtrim_ex(char *text, size_t length, const char *set) {
  if (text == nullptr || length == 0) return 0;
  if (set == nullptr) set = VK_BLANK_CHARS;
  size_t end = length;
  while (end > 0 && in_set(text[end - 1], set)) end--;
  if (end < length) text[end] = '\0';
  return static_cast<int>(length - end);
}

int vk_ltrim_ex(char *text, size_t length, const char *set) {
  if (text == nullptr || length == 0) return 0;
  if (set == nullptr) set = VK_BLANK_CHARS;
  size_t start = 0;
  while (start < length && in_set(text[start], set)) start++;
  // A text made only of stripped characters is left as it is.
  if (start == 0 || start == length) return 0;
  memmove(text, text + start, length - start);
  text[length - start] = '\0';
  return static_cast<int>(start);
}

int vk_trim_ex(char *text, size_t length, const char *set) {
  if (text == nullptr || length == 0) return 0;
  int removed = vk_rtrim_ex(text, length, set);
  // After the right trim a text of stripped characters only is empty, so the
  // left trim's "leave it unchanged" rule never applies here.
  return removed + vk_ltrim_ex(text, length - static_cast<size_t>(removed), set);
}

int vk_rtrim(char *text, size_t length) {
  return vk_rtrim_ex(text, length, nullptr);
}
int vk_ltrim(char *text, size_t length) {
  return vk_ltrim_ex(text, length, nullptr);
}
int vk_trim(char *text, size_t length) {
  return vk_trim_ex(text, length, nullptr);
}

int vk_sleep(uint32_t msec) {
  return vk_clock_get()->sleep_msec(msec);
}

uint64_t vk_get_time_msec(void) {
  return vk_clock_get()->realtime_nsec() / 1000000ULL;
}

uint64_t vk_get_time_nsec(void) {
  return vk_clock_get()->realtime_nsec();
}

bool vk_copy_field(char *field, size_t size, std::string_view src) {
  if (field == nullptr || size == 0 || src.size() >= size) return false;
  // An empty view may carry a null pointer, which memcpy must not be given.
  if (!src.empty()) memcpy(field, src.data(), src.size());
  field[src.size()] = '\0';
  return true;
}

int get_last_error(void) {
  return errno;
}

int localtime_vk(struct tm *out, time_t t) {
  if (out == nullptr) return -1;
  return localtime_r(&t, out) == nullptr ? -1 : 0;
}

char *vk_basename(const char *path, char *buffer, size_t size) {
  if (path == nullptr || buffer == nullptr) return nullptr;
  std::string_view p(path);
  size_t slash = p.rfind('/');
  std::string_view base = slash == std::string_view::npos ? p : p.substr(slash + 1);
  if (base.size() >= size) return nullptr;
  memcpy(buffer, base.data(), base.size());
  buffer[base.size()] = '\0';
  return buffer;
}

size_t vk_utf8_char_len(const uint8_t *s, size_t n) {
  if (s == nullptr || n == 0) return 0;
  uint8_t c = s[0];
  if (c < 0x80) return 1;
  size_t len = 0;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong forms
    if (c == 0xED) hi = 0x9F;  // UTF-16 surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // overlong forms
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;  // continuation byte, C0, C1 or F5..FF cannot start a character
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; i++) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return len;
}
