// Expansion of environment references ("${NAME}") in configuration values
// and paths: the one scanner behind the configuration reader's and the
// logging library's expansion. Stateless and silent: what goes wrong is
// handed to the caller's event function, which words and prints it. Safe
// from any thread that does not change the environment meanwhile.
#ifndef COMMON_INTERNAL_VK_ENV_H
#define COMMON_INTERNAL_VK_ENV_H

#include <stddef.h>

// Longest value substituted; a longer one leaves the reference unresolved.
#define VK_ENV_VALUE_MAX 1023
// Upper bound of vk_env_rules.name_max.
#define VK_ENV_NAME_MAX 255

// Event types.
#define VK_ENV_EVENT_OVERFLOW 1        // a piece did not fit; expansion stops
#define VK_ENV_EVENT_VALUE_TOO_LONG 2  // a set value is above VK_ENV_VALUE_MAX

// Pieces of the result.
#define VK_ENV_PIECE_TEXT 1       // one character outside any reference
#define VK_ENV_PIECE_VALUE 2      // a variable's value
#define VK_ENV_PIECE_REFERENCE 3  // an unresolved reference written back
#define VK_ENV_PIECE_TAIL 4       // an unterminated reference kept (literal rules)

struct vk_env_event {
  int type;           // VK_ENV_EVENT_*
  int piece;          // VK_ENV_PIECE_* (overflow only)
  const char *name;   // the variable's name (value too long only), else ""
  size_t len;         // result length so far
  size_t piece_size;  // bytes of the piece that did not fit (overflow)
  size_t rest;        // input bytes not copied yet, the piece's own included
};

typedef void (*vk_env_event_fn)(const vk_env_event *event, void *arg);

// How references are read. A reference opens at "$" and closes at the next
// "}"; every "{" inside it is dropped from the name. A set, non-empty value
// of at most VK_ENV_VALUE_MAX characters is substituted; an unset or empty
// variable, a longer value, an empty name or a name longer than `name_max`
// (no lookup then) leaves the reference unresolved.
//  - literal 0: a "$" inside a reference is dropped from the name too; an
//    unresolved reference is written back as "${" + its characters between
//    "$" and "}" without "{" and "$" + "}" (so "$HOME}" reads "${HOME}");
//    an unterminated reference is dropped with the rest of the input.
//  - literal 1: a "$" inside a reference is part of the name; an unresolved
//    reference and an unterminated one stay exactly as written.
struct vk_env_rules {
  int literal;
  size_t name_max;           // at most VK_ENV_NAME_MAX
  vk_env_event_fn on_event;  // may be null
  void *arg;                 // handed to on_event
};

// Expands the first `input_len` bytes of `input` (up to a NUL byte) into
// `out` (out_size bytes, always terminated, at most out_size - 1
// characters). Characters outside references are copied one by one; a
// value or written-back reference goes in whole or not at all. Returns 0;
// -1 for a null `input`, `out` or `rules`, or out_size 0 (`out` untouched);
// -2 when a piece did not fit: `out` holds what was produced before it. The
// result length is stored in *out_len (may be null) on 0 and -2.
int vk_env_expand(const char *input, size_t input_len, const vk_env_rules *rules, char *out,
                  size_t out_size, size_t *out_len);

#endif  // COMMON_INTERNAL_VK_ENV_H
