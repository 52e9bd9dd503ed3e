// CPU figures of the host: load average, utilisation per time category
// between two samples of the aggregate "cpu" line of /proc/stat, the
// processor description of /proc/cpuinfo, and the host statistics report
// (60018) that carries them with the memory figures and the disk usage.
//
// The previous CPU sample belongs to the metric thread (THR_HOST_STAT);
// get_host_cpu_info and the pure functions may run on any thread.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_CPU_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_CPU_H

#include <stdint.h>

#include "os/linux/lks_linux_mem.h"

// Index 0 the sum of the others; 1..10 user, nice, system, idle, iowait,
// irq, softirq, steal, guest, guest_nice in file order.
#define LKS_CPU_TICKS 11
typedef struct {
  uint64_t ticks[LKS_CPU_TICKS];
} lks_cpu_sample_t;

typedef struct {
  double load1, load5, load15;
  double user, nice, sys, idle, iowait, irq, softirq, steal, guest, guest_nice;
} host_cpu_stat_info_t;

#define LKS_CPU_INFO_FIELD 128
typedef struct {
  char vendor_id[LKS_CPU_INFO_FIELD];
  char model_name[LKS_CPU_INFO_FIELD];
  char mhz[LKS_CPU_INFO_FIELD];
  char cache_size[LKS_CPU_INFO_FIELD];
  char family[LKS_CPU_INFO_FIELD];
  char model[LKS_CPU_INFO_FIELD];
  char stepping[LKS_CPU_INFO_FIELD];
} host_cpu_info_t;

// Reads the aggregate "cpu" line of <root>/proc/stat. 0; -1 when the file
// cannot be opened or has no such line (sample then all zero).
int lks_cpu_sample_read(lks_cpu_sample_t *out);

// Percentages of each category between `prev` and `cur` into out (load
// fields untouched). All zero when prev has a zero total (no earlier
// sample) or no tick elapsed. A category whose counter went back counts 0
// ticks and the divisor is the sum of the categories' ticks, so every share
// stays within 0..100.
void lks_cpu_usage_calc(const lks_cpu_sample_t *prev, const lks_cpu_sample_t *cur,
                        host_cpu_stat_info_t *out);

// Load averages from <root>/proc/loadavg; 0 or -1 (loads then 0).
int get_cpu_loadavg(host_cpu_stat_info_t *out);

// Zeroes out, fills the loads and the utilisation since the previous call
// (zero on the first). Metric thread only.
void get_host_cpu_stat(host_cpu_stat_info_t *out);
// Forgets the previous sample and frees the report buffers.
void lks_cpu_reset(void);

// The first processor's description from <root>/proc/cpuinfo; missing keys
// stay empty. 0, or -1 when the file cannot be opened.
int get_host_cpu_info(host_cpu_info_t *out);

// Builds and queues the host statistics report. 0; -1 when the message
// cannot be built; -2 when it was built but not handed over.
int send_host_stat(const host_cpu_stat_info_t *cpu, const host_mem_stat_info_t *mem,
                   double disk_usage);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_CPU_H
