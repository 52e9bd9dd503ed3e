// Small helpers shared by both agents: trimming, sleeping, wall-clock time,
// the thread's error number, thread-safe local time and file base names.
//
// Everything here is stateless and safe to call from any thread.
#ifndef COMMON_INTERNAL_VK_UTIL_H
#define COMMON_INTERNAL_VK_UTIL_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string_view>

// Characters the trimming functions strip by default.
#define VK_BLANK_CHARS " \t\n\r"

// The trimming functions work on text[0 .. length), where `length` is the
// text's length (strlen), never its buffer size. Removed characters are cut
// by writing a terminator at the new end. Length 0 or a null text: 0.

// Removes trailing blanks and terminates the text there; returns the number
// removed.
int vk_rtrim(char *text, size_t length);

// Removes leading blanks by moving the rest (and its terminator) to the
// front; returns the number removed. A text made only of blanks is left
// unchanged and 0 is returned.
int vk_ltrim(char *text, size_t length);

// vk_rtrim, then vk_ltrim on what remains; returns the total removed. A text
// made only of blanks becomes empty.
int vk_trim(char *text, size_t length);

// The same with the characters of `set` stripped instead of the blanks;
// a null `set` means the blanks (for example set "\"" strips quote marks).
int vk_rtrim_ex(char *text, size_t length, const char *set);
int vk_ltrim_ex(char *text, size_t length, const char *set);
int vk_trim_ex(char *text, size_t length, const char *set);

// Sleeps `msec` milliseconds through the clock table of vk_clock.h (the
// system's nanosleep by default). A signal ends the sleep early (not
// resumed). Returns 0, or -1 when the sleep was interrupted.
int vk_sleep(uint32_t msec);

// Real-time clock, milliseconds / nanoseconds since the epoch, through the
// clock table of vk_clock.h. For values that go on the wire or into logs;
// measure intervals with vk_monotonic_msec.
uint64_t vk_get_time_msec(void);
uint64_t vk_get_time_nsec(void);

// Copies `src` and a terminator into the fixed field `field` of `size` bytes.
// Returns true; false when it does not fit (or a null/empty field), and the
// field is then unchanged. Pass `p ? p : ""` for a C text that may be null.
bool vk_copy_field(char *field, size_t size, std::string_view src);

// The calling thread's errno.
int get_last_error(void);

// Local time of `t` into *out (localtime_r). Returns 0, or -1 on failure or a
// null `out` (*out is then unspecified).
int localtime_vk(struct tm *out, time_t t);

// Copies the part of `path` after its last '/' (the whole path when it has
// none) into `buffer` and returns `buffer`, if it is shorter than `size`.
// Otherwise, and for a null path or buffer, copies nothing and returns null.
char *vk_basename(const char *path, char *buffer, size_t size);

// Length of the well-formed UTF-8 character at `s` (of `n` bytes): 1 to 4;
// 0 when the bytes there are not one (a stray continuation byte, an
// overlong form, a surrogate, a code point above U+10FFFF, a cut sequence)
// or `s` is null or `n` is 0.
size_t vk_utf8_char_len(const uint8_t *s, size_t n);

#endif  // COMMON_INTERNAL_VK_UTIL_H
