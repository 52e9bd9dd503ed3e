// The Linux OS layer of the host agent: start-up (boot time, OS identity),
// the metric cycle of THR_HOST_STAT (CPU, memory, swap, network, disks in
// one pass, four reports), the system information sent after each
// handshake (60009), and collect_hooks_install, which plugs all collectors
// into the agent's threads (collect_hooks.h) and connects them to the send
// queue, the host id, the configuration and the data directory.
//
// Threads: os_init on the main thread before the collection threads start;
// the metric cycle on THR_HOST_STAT only; the system information on
// THR_DGCONN.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_H

#include <stddef.h>
#include <stdint.h>

#define LKS_OS_NAME_SIZE 256

// Keeps `cpu100`, logs the OS identity and reads the boot time for the
// process scan. 0, or -1 when the boot time cannot be read (start times are
// then counted from 1970).
int lks_os_init(int cpu100);

// One metric cycle: CPU, memory and swap, network counters, disks over
// `interval_sec`, then the reports 60018, 60012, 60015, 60013 in that
// order. The disk usage keeps its last value between cycles. 0, or the
// number of reports that could not be built (negated).
int lks_metric_cycle(int interval_sec);
// Forgets every sample of the metric cycle and frees its buffers.
void lks_metric_reset(void);

// PRETTY_NAME of <root>/etc/os-release, quotes and newline trimmed, cut to
// `size`; empty when the file or the key is missing. Its length.
int get_extend_os_info(char *buffer, size_t size);
// Boot time in ms from <root>/proc/stat: -1 when unreadable, 0 when the
// line is missing.
int64_t get_boot_time(void);
// Up time in ms from <root>/proc/uptime; -1 when unreadable.
int64_t get_uptime(void);

// Gathers and queues the system information. 0; -1 when it cannot be
// built; -2 when not handed over.
int send_host_system_info(void);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_H
