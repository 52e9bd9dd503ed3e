// Collect threads: the per-thread counters that the main loop reports every
// three seconds, and the collection queue length.
//
// Each collect thread bumps only its own counters (relaxed atomic adds); the
// main thread reads them without a lock through colt_get_perf. The collect
// threads and their queue are not in this build yet: until they are, the
// thread count and the queue length read 0.
#ifndef QDR_AGENT_COLLECT_THREAD_H
#define QDR_AGENT_COLLECT_THREAD_H

#include <stdint.h>

#define COLT_THREAD_MAX 40

typedef struct {
  uint32_t snmp_open;
  uint32_t snmp_failed;
  uint32_t snmp_close;
  uint32_t worked_count;
  uint32_t pop_queue_count;
} collect_perf;

// Number of collect threads started (0 while none runs).
int colt_get_thread_count(void);

// Copies the counters of collect thread `index` into *out; zeros for an
// index outside 0 .. COLT_THREAD_MAX - 1.
void colt_get_perf(int index, collect_perf *out);

// Number of collect requests waiting in the collection queue.
int colt_get_queue_count(void);

#endif  // QDR_AGENT_COLLECT_THREAD_H
