#include "collect_thread.h"

#include <string.h>

namespace {

// Owned by the collect threads; each thread writes only its own entry.
collect_perf g_collect_perf[COLT_THREAD_MAX];
int g_collect_thread_count;  // written before the threads start
int g_collect_queue_count;

uint32_t load(const uint32_t *v) {
  return __atomic_load_n(v, __ATOMIC_RELAXED);
}

}  // namespace

int colt_get_thread_count(void) {
  return __atomic_load_n(&g_collect_thread_count, __ATOMIC_RELAXED);
}

void colt_get_perf(int index, collect_perf *out) {
  if (out == nullptr) return;
  if (index < 0 || index >= COLT_THREAD_MAX) {
    memset(out, 0, sizeof(*out));
    return;
  }
  const collect_perf &p = g_collect_perf[index];
  out->snmp_open = load(&p.snmp_open);
  out->snmp_failed = load(&p.snmp_failed);
  out->snmp_close = load(&p.snmp_close);
  out->worked_count = load(&p.worked_count);
  out->pop_queue_count = load(&p.pop_queue_count);
}

int colt_get_queue_count(void) {
  return __atomic_load_n(&g_collect_queue_count, __ATOMIC_RELAXED);
}
