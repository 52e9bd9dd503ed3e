// Configuration file reader: single string values from a plain-text
// "key=value" file, with environment references (${NAME}) expanded.
//
// The module keeps no state: every lookup opens, scans and closes the file,
// so an edit is seen by the next call. File format: one key=value per line;
// everything from the first '#' is a comment; the first '=' splits key from
// value; both are stripped of space, tab, CR and LF; keys compare byte for
// byte; the first matching line wins; lines without '=' are ignored. Lines
// are read through a 1024-byte buffer: of a line longer than 1023 bytes
// (line feed included) only the first 1023 are parsed and the rest is
// dropped. A UTF-8 byte-order mark before the first line is skipped. Only
// regular files are read: a device, a FIFO or a directory reads like a
// missing file.
//
// Diagnostics go to standard output (this module sits below the logging
// library). All functions are safe to call from any thread.
#ifndef COMMON_INTERNAL_VK_CONFIG_H
#define COMMON_INTERNAL_VK_CONFIG_H

#include <stddef.h>

// Size of the work buffers: a value or an environment value is at most
// VK_CONFIG_BUFFER_SIZE - 1 characters.
#define VK_CONFIG_BUFFER_SIZE 1024
// Longest environment variable name inside a reference.
#define VK_CONFIG_ENV_NAME_MAX 127

// Reads `key` from `file` and expands environment references in its value
// into `value` (at most size - 1 characters, always terminated when
// size > 0). When the key is absent, its value is empty after stripping, or
// the file cannot be read, `def` is copied unexpanded instead (cut to
// size - 1 characters; a null `def` gives the empty text).
// Returns 0 always (also for a null `value` or size 0, which copy nothing).
int ReadConfStringEx(const char *file, const char *key, char *value, size_t size, const char *def);

// Key lookup underneath ReadConfStringEx. On a match copies the stripped,
// unexpanded value into `value` (cut to size - 1 characters, terminated) and
// returns 0. Returns -1 when the key is not found, the file cannot be opened
// or an argument is null / size is 0; -2 when the file exists but is not a
// regular file. `value` is then left untouched.
int _get_config_string(const char *file, const char *key, char *value, size_t size);

// Called by vk_config_for_each for one key=value line: the stripped key,
// the stripped and unexpanded value, and the line's number (from 1).
typedef void (*vk_config_line_fn)(const char *key, const char *value, int line, void *arg);

// Hands every key=value line of `file`, in order, to `fn` (duplicates
// included), parsed as the lookups above parse them: a caller can tell keys
// it does not know or values it cannot use. Returns the number of lines
// handed over; -1 for a null argument or a file that cannot be opened; -2
// when the file is not a regular file.
int vk_config_for_each(const char *file, vk_config_line_fn fn, void *arg);

// Expands environment references of `input` into `result` (size bytes),
// by vk_env.h's normalising rules with names of up to 127 characters.
// "$" opens a reference that "}" closes; "{" and further "$" inside it are
// dropped, so "${HOME}", "$HOME}" and "${HO{ME}" all name HOME. A set,
// non-empty value shorter than 1024 characters is substituted; otherwise the
// reference is written back as "${NAME}". A reference still open at the end
// of the input is dropped. A name longer than 127 characters cannot name a
// variable: the reference is written back literally as "${" + the whole name
// + "}" without a lookup.
// The result holds at most size - 1 characters and is always terminated;
// when the next piece does not fit, a "buffer size over" line is printed
// and the expansion stops with what was produced so far.
// Returns the length of the result, or -1 if `input` or `result` is null or
// size is 0.
int convert_string_Environment(const char *input, char *result, size_t size);

// Copies the value of environment variable `name` into `buffer`.
// Returns the length copied; 0 with an empty buffer when the variable is not
// set (or `name` is null); -1 when `buffer` is null or size is 0; -3 when the
// value does not fit (length >= size; the buffer is then the empty text).
int getenv_vk(char *buffer, size_t size, const char *name);

#endif  // COMMON_INTERNAL_VK_CONFIG_H
