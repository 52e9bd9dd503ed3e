// vklog_utils: text, environment and file-system helpers of the logging
// library.
//
// Owns the two process-wide mutexes of file output: g_file_backup_lock
// (guards every handle's output_file.backup_idx and backup_work, held for
// the whole of a rotation) and g_file_direcotry_lock (held while a
// directory is scanned for backup files). Both are statically initialised
// and never re-initialised, so they are valid before any set-up call and
// while other threads log. Lock order: g_file_backup_lock before
// g_file_direcotry_lock.
//
// Threads: any thread; configuration parsing runs on the thread that loads
// a configuration, the scans on a rotating logging thread or the thread that
// applies a configuration.
#ifndef VKLOG_VKLOG_UTILS_H
#define VKLOG_VKLOG_UTILS_H

#include <pthread.h>
#include <stddef.h>
#include <sys/types.h>

#include <string_view>

extern pthread_mutex_t g_file_backup_lock;
extern pthread_mutex_t g_file_direcotry_lock;

// Longest variable name looked up; a longer one is left as written.
#define VKLOG_ENV_NAME_MAX 255

// This process's id, cached (getpid is a system call on every log line
// otherwise); the cache is cleared in the child after fork.
pid_t vl_getpid(void);

// `text` without leading and trailing blanks, tabs, CR and LF.
std::string_view vl_trim(std::string_view text);

// True when `a` and `b` are equal ignoring ASCII case.
bool vl_equal_nocase(std::string_view a, std::string_view b);

// Copies `src_len` bytes of `src` into `dst` (capacity `dst_size`),
// replacing each reference "${NAME}" by the variable's value (vk_env.h's
// literal rules; a value longer than VK_ENV_VALUE_MAX is not substituted). A reference to
// an unset or empty variable, a reference whose value is too long (message
// on standard error), an over-long name, and an unterminated reference
// (no closing brace) stay in the text exactly as written. Copying stops at a
// NUL byte. Returns the length of the result; -1 when it did not fit (a
// "buffer size over" message goes to standard error and `dst` holds the
// terminated text copied so far); -2 for bad arguments (`dst` untouched).
int vklog_convert_string_Environment(const char *src, size_t src_len, char *dst, size_t dst_size);

// Creates directory `dir` (the first `len` bytes) and any missing parents
// with mode 0750. 0 on success or when it exists; -1 when `len` is 0 or above
// 4094; -3 when a component cannot be made or a file stands in its place
// ("[%s] is not make.[(%d)%s]\n" on standard error).
int vklog_make_directory_with_parents(const char *dir, size_t len);

// Number N of the most recently written backup "backup_path.N" (N > 0, newest
// modification time; among equal times the larger N), or 0 when there is
// none. A path without '/' is taken relative to the working directory.
// -1 when the path has no file name part; -6 when its directory cannot be
// opened. Takes g_file_direcotry_lock.
int vl_get_last_backup_index(const char *backup_path);

// Deletes every backup "backup_path.N" with N > max_count. Returns the number
// deleted, -1 for a path without a file name, -6 when the directory cannot
// be opened. Takes g_file_direcotry_lock.
int vl_cleanup_backup_file(const char *backup_path, unsigned int max_count);

#endif  // VKLOG_VKLOG_UTILS_H
