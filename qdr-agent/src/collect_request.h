// Collect requests: turns a device's due collect events into a request for
// the collection pool (collect_thread.h), and runs a popped request on a
// collect thread: one SNMP session for all its events, each event through
// its collection (interface statistics and performance in
// collect_interface, device performance in collect_perf), then each
// event's elapsed SNMP time to the ICMP monitor.
//
// Owns nothing between calls but the latency hook. Threads: the event
// checker builds requests under the device manager's lock; the runner runs
// on collect threads, any number at once, each on its own request.
//
// Start-up and end: collect_thread_init prepares the previous-sample table
// of the interface collections and the pool with this module's runner;
// collect_thread_clear frees both. The pool's collect_thread_run and
// collect_thread_stop start and stop the threads.
#ifndef QDR_AGENT_COLLECT_REQUEST_H
#define QDR_AGENT_COLLECT_REQUEST_H

#include <stdint.h>

#include <atomic>

#include "collect_event.h"
#include "collect_thread.h"
#include "snmp_manager.h"

// Where each event's elapsed SNMP time goes: (device id, address text,
// success of the collection, elapsed ns). icmp_push_snmp_latency by
// default; tests replace it to observe the reports.
typedef int (*colt_latency_fn)(const char *device_id, const char *ip, int success,
                               uint64_t elapsed_ns);
extern std::atomic<colt_latency_fn> g_colt_latency_hook;

// Creates the previous-sample table of the interface collections and
// initialises the pool (colt_pool_init) with `thread_count` threads running
// colt_run_request. Safe to call again while no thread runs. Returns 0; -1
// when memory is exhausted (logged).
int collect_thread_init(int thread_count);

// Frees the pool's queue and state (colt_pool_clear) and the
// previous-sample table. For the end of the process and tests; REQUIRES: no
// collect thread runs.
void collect_thread_clear(void);

// Builds a request of device `device_id` from the due events among
// `events[0 .. event_count-1]`, with `cur_time` in ms since the epoch. Each
// due event (cur_time >= collect_next_msec) advances its due time by its
// interval from the old due time (no drift; a late event stays due until it
// has caught up) and, when its use flag is set, is copied into the request.
// Returns the request with a copy of `info`, or null when no enabled event
// is due, an argument is null, or memory is exhausted (due times advance
// all the same). REQUIRES: the caller holds the lock that guards `events`.
collect_req_info *colt_req_info_new_with_info(const char *device_id, struct event *events,
                                              int event_count, const snmp_info *info,
                                              uint64_t cur_time);

// The pool's run function (colt_run_fn): opens one SNMP session from the
// request's access (no retries for a backed-off device), runs and removes
// each event in order, closes the session, and reports each event's
// elapsed time and success to g_colt_latency_hook (with why it failed,
// icmp_note_snmp_failure). Bumps the thread's session and event counters.
// Returns 1 when the device answered anything, -1 when it answered nothing
// (time-outs, or the session did not open), 0 otherwise.
int colt_run_request(int index, collect_req_info *req, colt_thread_counters *counters);

#endif  // QDR_AGENT_COLLECT_REQUEST_H
