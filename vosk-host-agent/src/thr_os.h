// THR_HOST_STAT and THR_PROCESS_LIST: the metric and process reports on
// whole wall-clock seconds that are multiples of INTERVAL_METRIC and
// INTERVAL_PROCESS, and the OS layer start-up. The collections themselves
// are the collectors' (collect_hooks.h); until they are built each thread
// says so once in the log and sends nothing.
#ifndef VOSK_HOST_AGENT_THR_OS_H
#define VOSK_HOST_AGENT_THR_OS_H

#include "pub_func.h"

extern host_tick_state_t g_host_stat_tick;
extern host_tick_state_t g_process_tick;

// OS layer start-up on the main thread: CPU100 to the collectors, the OS
// identity to the log. 0, or the collector's negative result.
int host_os_initialize(void);

void *thread_host_stat(void *arg);
void *thread_processlist(void *arg);

#endif  // VOSK_HOST_AGENT_THR_OS_H
