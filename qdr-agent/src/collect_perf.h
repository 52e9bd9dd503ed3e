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
#include "collect_util.h"
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
// temperature, uptime by type code, each the first value of its entry as a
// decimal number, colt_get_vars_to_number_text) and sends it (54101).
// Returns 0; -2 the SNMP request failed (nothing sent); -4 null session
// (nothing sent); else the result of colt_send_device_perf.
int colt_device_perf(uint64_t collect_time, const char *device_id, const struct event *ev,
                     void *session_fd, oid_pack *pack);

// Encodes the sample as network_device_perf and queues it (54101). The
// text fields are read as decimal numbers (empty or non-numeric: 0). cpu
// and memory: a negative value is 0, one beyond 32 bits is sent as
// 4294967295 (logged). temperature below zero: the wire field keeps its
// unsigned 32-bit type and carries the 32-bit two's complement (-5 is sent
// as 4294967291, read back as -5 by a signed 32-bit reading).
// Returns 0; -1 the message cannot be made or encoded; -3 the queue
// refused the packet (freed).
int colt_send_device_perf(const collect_device_perf *device_perf);

// Writes the variable's value as a decimal number into `text` (`size`
// bytes): INTEGER signed; Counter32, Gauge32, TimeTicks and Unsigned32 as
// unsigned 32-bit; Counter64 whole; an OCTET STRING holding a number (" 17",
// "-5", "45.8": spaces around, a sign, a fraction that is dropped) as that
// number. Returns 0; -1 null argument; -2 any other type or text, or no
// room (text left empty, which is sent as 0).
int colt_get_vars_to_number_text(const netsnmp_variable_list *vars, char *text, size_t size);

#endif  // QDR_AGENT_COLLECT_PERF_H
