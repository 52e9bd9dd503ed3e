// Memory figures of the host from /proc/meminfo, in bytes. Any thread.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_MEM_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_MEM_H

#include <stdint.h>

typedef struct {
  uint64_t total, free, available, buffers, cached, active, inactive, kreclaimable, slab,
      sreclaimable, sunreclaim;
} host_mem_stat_info_t;

// Parses meminfo text: each known label (with its colon) gives its field in
// bytes; a kernel without "MemAvailable:" gets free + buffers + cached. A
// value that is not a number or would overflow when turned into bytes
// leaves its field 0. out is zeroed first.
void lks_mem_parse(const char *text, host_mem_stat_info_t *out);

// Reads <root>/proc/meminfo into out. 0, or -1 when it cannot be read (out
// then zero).
int get_host_mem_stat(host_mem_stat_info_t *out);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_MEM_H
