// Collection pool: the queue of collect requests and the collect threads
// that run them.
//
// The device event checker offers requests (collect_add_req); a collect
// thread pops the oldest and hands it to the run function given at
// colt_pool_init (the request runner of collect_request.h, which opens the
// SNMP session and runs each event's collection). The pool knows a request
// only as a device, its SNMP peer and a list of events keyed by type and
// pack: it never looks at what an event collects.
//
// Owns one state record: the queue (requests, oldest first), its locks and
// conditions, the pool status, the per-thread counters, the pending
// collections and the back-off table of devices that do not answer
// (colt_pool_init / colt_pool_clear).
//
// Threads, queue and shutdown order:
// - Producers (the event checker) append under the queue lock and signal the
//   queue's condition variable; requests are accepted only while the pool
//   runs, others are destroyed at once.
// - Collect thread i ("collect_<i>", bound to processor i modulo the
//   processor count) pops the oldest request under the same lock; an idle
//   thread waits on the condition variable (woken by a new request or a
//   stop) in slices of at most COLT_IDLE_WAIT_MSEC instead of polling the
//   queue. Once a stop has begun no thread pops another request.
// - collect_thread_stop sets the status to stopping, sets the cancel word
//   that every collect thread hands to the session manager and wakes every
//   idle thread. A busy thread's SNMP exchange or walk gives up within a
//   wait slice (SM_WAIT_SLICE_MSEC; only an SNMPv3 engine probe runs to its
//   time-out), the rest of its request fails at once without sending, and
//   the thread leaves: a slow or dead device never holds a stop up. The
//   last thread out sets the status to stopped. Requests still queued are
//   destroyed once every thread is out; on a time-out nothing a thread may
//   still use is freed, and a later stop waits again for those threads.
// - Under the queue lock beside the queue: which collections are pending
//   (queued or running) and which devices failed to answer (their pause
//   and complaint); see collect_add_req.
// Each thread bumps only its own counters (relaxed atomic adds); the main
// thread reads them without a lock through colt_get_perf.
#ifndef QDR_AGENT_COLLECT_THREAD_H
#define QDR_AGENT_COLLECT_THREAD_H

#include <stdint.h>

#include <atomic>

#include "collect_event.h"
#include "mlist.h"
#include "snmp_manager.h"

#define COLT_THREAD_MAX 40
// Longest wait of an idle collect thread before it looks at the status.
#define COLT_IDLE_WAIT_MSEC 500
// Most requests the queue holds (colt_set_queue_limit changes it). Each
// collection is queued at most once, so the queue stays far below this
// unless the device lists are huge; the bound is for the worst case.
#define COLT_QUEUE_MAX 20000
// A spell of collections skipped because they were still pending ends
// (with a log line) once none has been skipped for this long.
#define COLT_SKIP_QUIET_MSEC 60000
// Pause before the next request to a device that answered nothing, after
// its first failure; doubled after each further one up to the limit.
#define COLT_BACKOFF_FIRST_MSEC 15000
#define COLT_BACKOFF_LIMIT_MSEC 300000
// Time limit of collect_thread_stop when 0 is given.
#define COLT_STOP_TIMEOUT_SEC 10

// Pool status.
enum {
  COLT_STATUS_NOT_STARTED = 0,
  COLT_STATUS_RUNNING = 1,
  COLT_STATUS_STOPPING = 2,
  COLT_STATUS_STOPPED = 3,
};

// Per-thread counters as the main loop reads them.
typedef struct {
  uint32_t snmp_open;        // sessions opened
  uint32_t snmp_failed;      // session open failures
  uint32_t snmp_close;       // sessions done with (also those that failed to open)
  uint32_t worked_count;     // events run with a pack
  uint32_t pop_queue_count;  // requests taken from the queue
} collect_perf;

// The live counters of one collect thread, written by that thread only
// (relaxed adds, colt_bump) and read by colt_get_perf.
typedef struct {
  std::atomic<uint32_t> snmp_open;
  std::atomic<uint32_t> snmp_failed;
  std::atomic<uint32_t> snmp_close;
  std::atomic<uint32_t> worked_count;
  std::atomic<uint32_t> pop_queue_count;
} colt_thread_counters;

// Adds one to a counter of the calling thread.
inline void colt_bump(std::atomic<uint32_t> &counter) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

// One queued request: the due events of one device and a copy of its SNMP
// access taken when the request was made. Owned by the queue item that
// holds it (allocated with mlist_new_item), destroyed with
// colt_req_info_destroy.
typedef struct {
  char device_id[COLT_DEVICE_ID_SIZE];
  uint64_t time;            // reserved; 0
  mlist_t event_list;       // copies of `struct event`, in the order added
  ::snmp_info snmp_info;    // the device's SNMP access
  mlist_item_t *self_item;  // the queue item holding this request
  int backed_off;           // set when queued: the device answered nothing last time
} collect_req_info;

// Runs one request popped by collect thread `index` (its counters in
// `counters`). The request stays the pool's: the function may take its
// events but not free it. Returns 1 when the device answered anything, -1
// when it answered nothing (time-outs, or no session: the device is backed
// off), 0 otherwise (nothing was asked). A -1 once a stop has begun counts
// as 0: a cancelled exchange says nothing about the device.
typedef int (*colt_run_fn)(int index, collect_req_info *req, colt_thread_counters *counters);

// ---- Pool ----

// Creates the empty queue, sets the thread count to min(thread_count, 40)
// (40 when thread_count < 1), zeroes the counters and keeps `run` as the
// function the threads run requests through. Safe to call again while no
// thread runs (the queue is kept). Returns 0; -1 for a null `run`.
int colt_pool_init(int thread_count, colt_run_fn run);

// Sets the status to running and starts the threads "collect_0" .. through
// thread_startup, each bound to its index. Returns the number started (0 or
// more); -1 when the pool is not initialised or is already running.
int collect_thread_run(void);

// Stops the pool within `timeout_sec` seconds (COLT_STOP_TIMEOUT_SEC when 0
// or less), interrupting the threads' SNMP exchanges, then destroys the
// requests still queued. Returns 0 (also when already stopped or never
// started); -1 on time-out (a thread is still inside an SNMPv3 engine
// probe; the queue is left as it is, the status stays stopping, and calling
// this again waits again for that thread).
int collect_thread_stop(int timeout_sec);

// Frees the queue and forgets the pending collections, the devices' back-off
// and the complaints. For the end of the process and tests; REQUIRES: no
// collect thread runs.
void colt_pool_clear(void);

// Pool status (COLT_STATUS_*).
int colt_get_status(void);

// Number of collect threads the pool runs (0 before collect_thread_run and
// after a completed stop).
int colt_get_thread_count(void);

// Number of collect threads started and not yet out of their loop.
int colt_get_active_count(void);

// Copies the counters of collect thread `index` into *out; zeros for an
// index outside 0 .. COLT_THREAD_MAX - 1.
void colt_get_perf(int index, collect_perf *out);

// Number of collect requests waiting in the collection queue.
int colt_get_queue_count(void);

// Requests refused by collect_add_req since the process started.
typedef struct {
  uint32_t pending;     // events whose previous collection was queued or running
  uint32_t backed_off;  // requests of a device in its pause after failures
  uint32_t queue_full;  // requests refused at the queue's bound
} colt_skip_counts;
void colt_get_skip_counts(colt_skip_counts *out);

// Number of collections (device, event type, pack) queued or running.
int colt_get_pending_count(void);

// Number of devices whose last request got no answer (backed off).
int colt_get_failing_count(void);

// Sets the queue's bound (COLT_QUEUE_MAX when 0 or less). For tests and
// start-up.
void colt_set_queue_limit(int limit);

// ---- Requests ----

// Appends the request to the queue when the pool runs. An event whose
// previous collection (same device, type and pack) is still queued or
// running is dropped from the request and counted; a warning is logged once
// when such skipping starts (for the whole pool) and a notice once none has
// been skipped for COLT_SKIP_QUIET_MSEC. A device whose last
// request got no answer at all is asked again only after a pause that grows
// with its failures (COLT_BACKOFF_*), with no retries, and by at most a
// quarter of the pool at once; its failure is logged once when it starts
// and once when it ends (at its first answer).
// Returns 0: queued, the queue owns the request (also for a null request,
// which is ignored). Otherwise the request is destroyed: -1 the pool does
// not run; -2 every event was still pending; -3 the device is backed off;
// -4 the queue is at its bound.
int collect_add_req(collect_req_info *req);

// Appends a copy of `ev`. Returns the new number of events; -1 null
// request; -2 null event; -3 out of memory.
int colt_add_event_to_req_info(collect_req_info *req, const struct event *ev);

// Cleans the event list and frees the request (the queue item that holds
// it). Null is ignored.
void colt_req_info_destroy(collect_req_info *req);

#endif  // QDR_AGENT_COLLECT_THREAD_H
