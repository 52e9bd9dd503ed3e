#include "vk_env.h"

#include <stdlib.h>
#include <string.h>

#include <string_view>

namespace {

struct expansion {
  const vk_env_rules *rules;
  char *out;
  size_t size;
  size_t len;
};

void report(const expansion &x, int type, int piece, const char *name, size_t piece_size,
            size_t rest) {
  if (x.rules->on_event == nullptr) return;
  vk_env_event e{type, piece, name, x.len, piece_size, rest};
  x.rules->on_event(&e, x.rules->arg);
}

// Appends `piece` whole when it fits beside the terminator; otherwise
// reports the overflow and returns false.
bool append(expansion &x, std::string_view piece, int kind, size_t rest) {
  if (x.len + piece.size() + 1 > x.size) {
    report(x, VK_ENV_EVENT_OVERFLOW, kind, "", piece.size(), rest);
    return false;
  }
  memcpy(x.out + x.len, piece.data(), piece.size());
  x.len += piece.size();
  x.out[x.len] = '\0';
  return true;
}

// Writes an unresolved reference back: `ref` runs from its '$' to its '}'.
bool append_unresolved(expansion &x, std::string_view ref, size_t rest) {
  if (x.rules->literal) return append(x, ref, VK_ENV_PIECE_REFERENCE, rest);
  size_t kept = 3;
  for (char c : ref.substr(1, ref.size() - 2)) kept += (c != '{' && c != '$') ? 1 : 0;
  if (x.len + kept + 1 > x.size) {
    report(x, VK_ENV_EVENT_OVERFLOW, VK_ENV_PIECE_REFERENCE, "", kept, rest);
    return false;
  }
  x.out[x.len++] = '$';
  x.out[x.len++] = '{';
  for (char c : ref.substr(1, ref.size() - 2)) {
    if (c != '{' && c != '$') x.out[x.len++] = c;
  }
  x.out[x.len++] = '}';
  x.out[x.len] = '\0';
  return true;
}

// Resolves the reference `ref` ('$' to '}') and appends its value or, when
// unresolved, the reference itself.
bool expand_reference(expansion &x, std::string_view ref, size_t rest) {
  size_t name_max = x.rules->name_max < VK_ENV_NAME_MAX ? x.rules->name_max : VK_ENV_NAME_MAX;
  char name[VK_ENV_NAME_MAX + 1];
  size_t name_len = 0;
  bool name_fits = true;
  for (char c : ref.substr(1, ref.size() - 2)) {
    if (c == '{' || (c == '$' && !x.rules->literal)) continue;
    if (name_len >= name_max) {
      name_fits = false;
      break;
    }
    name[name_len++] = c;
  }
  name[name_len] = '\0';
  const char *value = name_fits && name_len > 0 ? getenv(name) : nullptr;
  if (value != nullptr && value[0] != '\0') {
    size_t n = strnlen(value, VK_ENV_VALUE_MAX + 1);
    if (n <= VK_ENV_VALUE_MAX) {
      return append(x, std::string_view(value, n), VK_ENV_PIECE_VALUE, rest);
    }
    report(x, VK_ENV_EVENT_VALUE_TOO_LONG, 0, name, 0, rest);
  }
  return append_unresolved(x, ref, rest);
}

}  // namespace

int vk_env_expand(const char *input, size_t input_len, const vk_env_rules *rules, char *out,
                  size_t out_size, size_t *out_len) {
  if (input == nullptr || rules == nullptr || out == nullptr || out_size == 0) return -1;
  std::string_view in(input, strnlen(input, input_len));
  expansion x{rules, out, out_size, 0};
  out[0] = '\0';
  bool ok = true;
  size_t i = 0;
  while (ok && i < in.size()) {
    if (in[i] != '$') {
      ok = append(x, in.substr(i, 1), VK_ENV_PIECE_TEXT, in.size() - i);
      i++;
      continue;
    }
    size_t close = in.find('}', i + 1);
    if (close == std::string_view::npos) {
      // Unterminated: kept as written under literal rules, else dropped.
      if (rules->literal) ok = append(x, in.substr(i), VK_ENV_PIECE_TAIL, in.size() - i);
      break;
    }
    ok = expand_reference(x, in.substr(i, close - i + 1), in.size() - i);
    i = close + 1;
  }
  if (out_len != nullptr) *out_len = x.len;
  return ok ? 0 : -2;
}
