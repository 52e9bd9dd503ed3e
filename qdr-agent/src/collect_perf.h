// Device performance: the collection the collect threads run for events of
// type DEVICE_PERF. It polls a pack of scalar OIDs (cpu, memory,
// temperature, uptime by type code) and sends one sample per device as
// network_device_perf (54101).
//
// Owns nothing between calls. Threads: runs on collect threads, any number
// at once; each call uses only its own stack.
#ifndef QDR_AGENT_COLLECT_PERF_H
#define QDR_AGENT_COLLECT_PERF_H

#include <stdint.h>

#include "collect_oid.h"
#include "collect_thread.h"
#include "snmp_manager.h"

#define COLT_DEVICE_PERF_VALUE_SIZE 32
#define COLT_DEVICE_PERF_WORKSPACE 1024

// One device-performance sample.
typedef struct {
  char device_id[COLT_DEVICE_ID_SIZE];
  char cpu[COLT_DEVICE_PERF_VALUE_SIZE];
  char memory[COLT_DEVICE_PERF_VALUE_SIZE];
  char temperature[COLT_DEVICE_PERF_VALUE_SIZE];
  char uptime[COLT_DEVICE_PERF_VALUE_SIZE];
  uint64_t collect_time;  // ns since the epoch
} collect_device_perf;

// Device performance: polls the pack, fills a sample (cpu, memory,
// temperature, uptime by type code) and sends it (54101). Returns 0; -2
// the SNMP request failed (nothing sent); -4 null session (nothing sent);
// else the result of colt_send_device_perf.
int colt_device_perf(uint64_t collect_time, const char *device_id, const struct event *ev,
                     void *session_fd, oid_pack *pack);

// Encodes the sample as network_device_perf and queues it (54101).
// Returns 0; -1 the message cannot be made or encoded; -3 the queue
// refused the packet (freed).
int colt_send_device_perf(const collect_device_perf *device_perf);

#endif  // QDR_AGENT_COLLECT_PERF_H
