// Swap areas of the host from /proc/swaps and their report (60012).
// Metric thread (the report buffers are its own); parsing on any thread.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_SWAP_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_SWAP_H

#include <stdint.h>

#define LKS_SWAP_FILENAME_SIZE 1024
#define LKS_SWAP_TYPE_SIZE 32

typedef struct {
  char filename[LKS_SWAP_FILENAME_SIZE];
  char type[LKS_SWAP_TYPE_SIZE];
  uint64_t size;  // bytes
  uint64_t used;  // bytes
  int64_t priority;
} host_swap_info_t;

typedef struct {
  int count;
  host_swap_info_t *swaps;  // owned, count records
} host_swap_stat_info_t;

// Parses /proc/swaps text: the heading ("Filename...") and empty lines are
// skipped; octal escapes of the file name ("\040" for a blank) are decoded.
// Lines without a size are skipped. 0, or -1 when memory is exhausted (out
// then empty). The caller frees with host_swap_stat_clear.
int lks_swap_parse(const char *text, host_swap_stat_info_t *out);

// Reads <root>/proc/swaps whole (no length limit) into out. 0; -1 when the
// file cannot be read or memory is exhausted (out then empty).
int get_host_swap_stat(host_swap_stat_info_t *out);
void host_swap_stat_clear(host_swap_stat_info_t *stat);

// Builds and queues the report, then frees the records. 0; -1 when it
// cannot be built; -2 when not handed over.
int send_host_swap_stat(host_swap_stat_info_t *stat);
// Frees the report buffers (metric thread, or when it is stopped).
void lks_swap_release(void);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_SWAP_H
