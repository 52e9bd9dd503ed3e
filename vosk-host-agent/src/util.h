// Start-up helpers of the host agent: version texts, the operating-system
// identity lines, the file-creation mask from the environment, detaching
// as a daemon, and the single-instance check on the pid file.
//
// Main thread, during start-up (the version texts may be read by any thread
// once built).
#ifndef VOSK_HOST_AGENT_UTIL_H
#define VOSK_HOST_AGENT_UTIL_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#define HOST_PRODUCT_VERSION "1.0.0"
#define HOST_AGENT_VERSION "1.1.1"
#define HOST_REV_MC "0x03b5d16"
#define HOST_REV_CC "0x6658139"
#define HOST_REV_PC "0x0aa1334"

// Converts a compiler date text ("Mar  8 2024") to "24-03-08" in `out`.
// 0, or -1 when the text is not such a date (out then "00-00-00").
int host_build_date(const char *compiler_date, char *out, size_t size);

// "<Pellan 1.0.0> vosk-host-agent 1.1.1 [linux x86_64 64bit] Build ..." and
// "1.1.1 (mc: ..., cc: ..., pc: ...)". Built once, cached; never null.
const char *host_full_version(void);
const char *host_agent_version_text(void);

// Prints (to `out`) or, with out null, logs at info level the five uname
// lines, or the uname error. 0, or -1 when uname failed.
int check_os_info(FILE *out);

// The file-creation mask the environment asks for: REMOVE_PERM_GROUP and
// REMOVE_PERM_OTHER ("read", "write" words, comma-separated); when neither
// is set, PERM_FILE_OTHER_WR "true" gives 0, "false" gives 0002; when none
// of the three is set, 0002 (other users may not write the agent's files).
// 0 with *mask set; -1 when PERM_FILE_OTHER_WR holds another word (error
// line on standard error).
int host_umask_from_env(mode_t *mask);

// Detaches: fork (the parent exits 0), new session, descriptors closed,
// 0/1/2 on /dev/null, job-control signals ignored.
void initdaemon(void);

// Claims "<home>/data/host_agent_pid" (created 0644) for this process,
// checking the pid it holds: a live process whose program base name
// contains `process_name` is another instance. 0 claimed; 1 the file
// cannot be opened; 2 another instance holds the file lock; 3 another
// instance runs (its pid is recorded).
int check_double_execution(const char *process_name);

#endif  // VOSK_HOST_AGENT_UTIL_H
