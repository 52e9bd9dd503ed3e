// Process facts read from /proc: command lines and program base names, used
// by the duplicate-execution check at start-up. Stateless; any thread.
#ifndef QDR_AGENT_OS_LINUX_PROCESS_H
#define QDR_AGENT_OS_LINUX_PROCESS_H

#include <stddef.h>
#include <sys/types.h>

// Reads /proc/<pid>/cmdline into `buffer` (at most `size` bytes) with the
// inner NUL bytes turned into spaces, so the command line reads as one
// string. Returns the bytes read, -2 when the process does not exist, -1
// when the file cannot be opened otherwise.
int get_proc_cmdline(pid_t pid, char *buffer, size_t size);

// Writes the base name of the first word of the command line of `pid` into
// `buffer`. Returns 0; -1 when nothing could be read; -2 when the command
// line is longer than 4094 bytes; -3 when the base name does not fit.
int get_process_cmd_by_pid(pid_t pid, char *buffer, size_t buffer_size);

// 1 when process `check_pid` runs a program whose base name contains
// `compare_name`; 0 when it does not (or does not exist, or either argument
// is 0 / empty); -1 when its command line is too long to check.
int process_check(pid_t check_pid, const char *compare_name);

#endif  // QDR_AGENT_OS_LINUX_PROCESS_H
