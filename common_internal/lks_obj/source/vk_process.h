// Process facts read from /proc: command lines and program base names, used
// by both agents' duplicate-execution check at start-up. Stateless and
// silent (callers log); safe from any thread.
#ifndef COMMON_INTERNAL_VK_PROCESS_H
#define COMMON_INTERNAL_VK_PROCESS_H

#include <stddef.h>
#include <sys/types.h>

// Reads /proc/<pid>/cmdline into `buffer` (at most `size` bytes) with the
// inner NUL bytes turned into spaces, so the command line reads as one
// string. Returns the bytes read, -2 when the process does not exist, -1
// when the file cannot be opened otherwise or for a null buffer / size 0.
int vk_proc_cmdline(pid_t pid, char *buffer, size_t size);

// Writes the base name of the program path of `pid` (the first argument of
// its command line, spaces included) into `buffer`, cut to buffer_size - 1
// bytes. Only the first 4094 bytes of the command line are read. Returns 0;
// -1 when nothing could be read; -2 when the program path alone fills those
// 4094 bytes (its base name is unknown); -3 for a null buffer or size 0.
// On failure `buffer` is unchanged.
int vk_process_name(pid_t pid, char *buffer, size_t buffer_size);

// 1 when process `check_pid` runs a program whose base name (cut to 255
// bytes) contains `compare_name`; 0 when it does not, does not exist, has a
// program path too long to read (-2 above), or either argument is 0 / empty.
int vk_process_check(pid_t check_pid, const char *compare_name);

#endif  // COMMON_INTERNAL_VK_PROCESS_H
