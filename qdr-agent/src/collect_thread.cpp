#include "collect_thread.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collect_interface.h"
#include "collect_perf.h"
#include "device.h"
#include "dgcomm.h"
#include "dgcomm_util.h"
#include "icmp.h"
#include "network_public_stat.h"
#include "thread_manager.h"
#include "vk_thread.h"
#include "vk_clock.h"
#include "vk_complain.h"
#include "vk_lock.h"
#include "vk_util.h"
#include "vklog.h"

std::atomic<colt_latency_fn> g_colt_latency_hook{icmp_push_snmp_latency};

namespace {

constexpr int kStopPollMsec = 500;

// Counters of one thread; written by that thread only.
struct thread_perf {
  std::atomic<uint32_t> snmp_open;
  std::atomic<uint32_t> snmp_failed;
  std::atomic<uint32_t> snmp_close;
  std::atomic<uint32_t> worked_count;
  std::atomic<uint32_t> pop_queue_count;
};

thread_perf g_collect_perf[COLT_THREAD_MAX];

// Why the calling thread's last request of an event failed; empty when it
// did not. Reported with the event's response time.
thread_local char t_request_failure[1024];

// The queue: collect_req_info items, oldest first. g_queue_lock guards the
// list; g_queue_cond (monotonic clock) wakes idle threads when a request
// is added or a stop begins; g_stop_cond wakes the stopper when the last
// thread leaves.
mlist_t g_collect_req_queue;
vk_lock_t g_queue_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_queue_cond;
pthread_cond_t g_stop_cond;
bool g_initialised;  // g_queue_lock
std::atomic<int> g_queue_count{0};

// What keeps a device that does not answer, or a collection slower than
// its interval, from filling the queue and the pool. All guarded by
// g_queue_lock.
// - g_pending: per collection (device, event type, pack) the requests that
//   hold it, queued or running (0 or 1); an entry goes at 0.
// - g_skipping: the complaint about collections skipped because they were
//   still pending, for the whole pool (one line when skipping starts, one
//   when none has been skipped for COLT_SKIP_QUIET_MSEC, however many
//   devices are slow); g_last_skip_msec: the last skip.
// - g_health: the devices whose last request failed to get any answer:
//   their failures in a row (the complaint) and the monotonic time before
//   which no request of theirs is queued. A device goes at its first answer.
// - g_backoff_in_flight: requests of such devices queued or running; at
//   most a quarter of the pool, so that dead devices never hold it all.
struct pending_entry {
  int pending;
};
struct device_health {
  vk_complain_t failing;
  uint64_t next_try_msec;
};
std::unordered_map<std::string, pending_entry> g_pending;
vk_complain_t g_skipping;
uint64_t g_last_skip_msec;
std::unordered_map<std::string, device_health> g_health;
int g_backoff_in_flight;
vk_complain_t g_queue_full;
int g_queue_limit = COLT_QUEUE_MAX;
std::atomic<uint32_t> g_skip_pending{0};
std::atomic<uint32_t> g_skip_backoff{0};
std::atomic<uint32_t> g_skip_full{0};

// Set while the calling collect thread polls a device known not to answer:
// its failures are logged once by finish_request, not by every request.
thread_local bool t_colt_quiet = false;

// Set by a stop, cleared by a start: every collect thread's SNMP requests
// give up within a wait slice once it is set.
std::atomic<bool> g_colt_cancel{false};

std::atomic<int> g_collect_status{COLT_STATUS_NOT_STARTED};
std::atomic<int> g_collect_thread_count{0};  // configured count, set by init
std::atomic<int> g_collect_thread_started{0};
std::atomic<int> g_collect_thread_activate_count{0};

void bump(std::atomic<uint32_t> &c) {
  c.fetch_add(1, std::memory_order_relaxed);
}

int clear_request(void *data) {
  collect_req_info *req = static_cast<collect_req_info *>(data);
  mlist_clean(&req->event_list);
  return 0;
}

const char *event_type_name(uint32_t type) {
  static const char *const names[] = {"NONE", "DEVICE_PERF", "IF_STAT", "IF_PERF"};
  return type < 4 ? names[type] : "UNKNOWN";
}

// One collection: the device and what is polled.
std::string event_key(const char *device_id, const event *ev) {
  std::string key(device_id, strnlen(device_id, COLT_DEVICE_ID_SIZE));
  key += '\x1f';
  key += std::to_string(ev->type);
  key += '/';
  key += std::to_string(ev->oid_pack_id);
  return key;
}

int backoff_share() {
  int share = g_collect_thread_count.load() / 4;
  return share < 1 ? 1 : share;
}

// Drops from `req` every event whose previous collection is still queued or
// running, counting it; the first skip after a quiet spell is logged, and
// the end of the spell once nothing has been skipped for
// COLT_SKIP_QUIET_MSEC. REQUIRES: g_queue_lock.
void drop_pending_events(collect_req_info *req, uint64_t now) {
  mlist_t kept;
  mlist_init(&kept, nullptr, nullptr);
  mlist_item_t *item = nullptr;
  for (event *ev; (ev = static_cast<event *>(
                       mlist_pop_front_data(&req->event_list, nullptr, &item))) != nullptr;) {
    auto it = g_pending.find(event_key(req->device_id, ev));
    if (it == g_pending.end() || it->second.pending == 0) {
      mlist_push_back(&kept, item);
      continue;
    }
    g_skip_pending.fetch_add(1, std::memory_order_relaxed);
    g_last_skip_msec = now;
    if (vk_complain(&g_skipping, now) == 1) {
      VKLOG(g_vklog, VL_WARN,
            "[collect_add_req] collections still queued or running when due again are skipped."
            "(first:[dev:%s,event:%s,pack:%llu])\n",
            req->device_id, event_type_name(ev->type),
            static_cast<unsigned long long>(ev->oid_pack_id));
    }
    mlist_destroy_item(nullptr, item);
  }
  mlist_move(&req->event_list, &kept);
  if (vk_complain_active(&g_skipping) && now - g_last_skip_msec >= COLT_SKIP_QUIET_MSEC) {
    uint32_t skipped = vk_complain_release(&g_skipping);
    VKLOG(g_vklog, VL_NOTICE,
          "[collect_add_req] no collection skipped for %d s; %u were skipped.\n",
          COLT_SKIP_QUIET_MSEC / 1000, skipped);
  }
}

// The keys of the request's collections, taken before its events are run.
std::vector<std::string> request_keys(const collect_req_info *req) {
  std::vector<std::string> keys;
  for (mlist_item_t *it = req->event_list.head; it != nullptr; it = it->next) {
    keys.push_back(event_key(req->device_id, static_cast<const event *>(it->data)));
  }
  return keys;
}

// Frees the request's collections for the next request, and records whether
// the device answered (outcome 1), failed to answer (-1) or neither (0: a
// cancel, nothing asked).
void finish_request(const collect_req_info *req, const std::vector<std::string> &keys,
                    int outcome) {
  uint64_t now = vk_monotonic_msec();
  vkLock(&g_queue_lock);
  for (const std::string &k : keys) {
    auto it = g_pending.find(k);
    if (it == g_pending.end()) continue;
    if (it->second.pending > 0) it->second.pending--;
    if (it->second.pending == 0) g_pending.erase(it);
  }
  if (req->backed_off && g_backoff_in_flight > 0) g_backoff_in_flight--;
  std::string dev(req->device_id, strnlen(req->device_id, sizeof(req->device_id)));
  if (outcome > 0) {
    auto it = g_health.find(dev);
    if (it != g_health.end()) {
      uint32_t failures = vk_complain_release(&it->second.failing);
      g_health.erase(it);
      VKLOG(g_vklog, VL_NOTICE,
            "[collect_thread] device answers again; polling resumes.[dev:%s,peer:%s](failed %u "
            "times)\n",
            req->device_id, req->snmp_info.peername, failures);
    }
  } else if (outcome < 0) {
    device_health &h = g_health[dev];
    if (vk_complain(&h.failing, now) == 1) {
      VKLOG(g_vklog, VL_ERROR,
            "[collect_thread] device does not answer; polled with fewer retries and longer pauses "
            "until it does.[dev:%s,peer:%s]\n",
            req->device_id, req->snmp_info.peername);
    }
    h.next_try_msec = now + vk_backoff_pause_msec(h.failing.failures, COLT_BACKOFF_FIRST_MSEC,
                                                  COLT_BACKOFF_LIMIT_MSEC);
  }
  vkUnlock(&g_queue_lock);
}

// Pops the oldest request, waiting at most one idle slice for one. Null
// when none came or the pool is no longer running.
collect_req_info *pop_request(mlist_item_t **item) {
  vkLock(&g_queue_lock);
  collect_req_info *req = nullptr;
  // The status is checked before each pop: once a stop has begun, queued
  // requests are left for the stopper to destroy.
  while (g_collect_status.load() == COLT_STATUS_RUNNING) {
    req =
        static_cast<collect_req_info *>(mlist_pop_front_data(&g_collect_req_queue, nullptr, item));
    if (req != nullptr) {
      g_queue_count.store(static_cast<int>(g_collect_req_queue.count), std::memory_order_relaxed);
      break;
    }
    if (vk_cond_wait_msec(&g_queue_cond, &g_queue_lock, COLT_IDLE_WAIT_MSEC, nullptr) == ETIMEDOUT)
      break;
  }
  vkUnlock(&g_queue_lock);
  return req;
}

// Runs one event against the session; returns the collection's result.
int run_event(int index, const char *device_id, const event *ev, uint64_t collect_time,
              void *session_fd) {
  VKLOG(g_vklog, VL_DEBUG, "[thd:%d] event type:%u,interval:%u,op_id:%u\n", index, ev->type,
        ev->interval, static_cast<unsigned>(ev->oid_pack_id));
  oid_pack *pack = om_get_oid_pack_by_id(&g_oid_manager, static_cast<uint32_t>(ev->oid_pack_id));
  if (pack == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "oid pack is not found.[id:%u]\n",
          static_cast<unsigned>(ev->oid_pack_id));
    return -5;
  }
  int r = -6;
  switch (ev->type) {
    case COLT_EVENT_IF_STAT:
      r = colt_if_stat(collect_time, device_id, ev, session_fd, pack);
      break;
    case COLT_EVENT_IF_PERF:
      r = colt_if_perf(collect_time, device_id, ev, session_fd, pack);
      break;
    case COLT_EVENT_DEVICE_PERF:
      r = colt_device_perf(collect_time, device_id, ev, session_fd, pack);
      break;
    default:
      break;
  }
  om_release(&g_oid_manager, pack);
  bump(g_collect_perf[index].worked_count);
  return r;
}

// Handles one request: one session for all its events. Returns 1 when the
// device answered anything, -1 when it answered nothing (time-outs, or no
// session), 0 otherwise (cancelled, or nothing was asked).
int run_request(int index, collect_req_info *req) {
  thread_perf &perf = g_collect_perf[index];
  uint64_t start = vk_clock_get()->monotonic_nsec();
  sm_tally_reset();
  // A device known not to answer is asked once, without retries, and its
  // failures are logged by finish_request, not by every request.
  t_colt_quiet = req->backed_off != 0;
  sm_set_thread_quiet(t_colt_quiet);
  netsnmp_session session{};
  snmp_session_error err;
  sm_snmp_error_init(&err);
  void *fd = nullptr;
  if (sm_set_session_by_info(&session, &req->snmp_info) == 0) {
    if (req->backed_off) session.retries = 0;
    fd = sm_snmp_open_by_session(&session, &err);
  }
  char open_failure[sizeof(t_request_failure)] = "";
  if (fd != nullptr) {
    bump(perf.snmp_open);
  } else {
    VKLOG(g_vklog, req->backed_off ? VL_DEBUG : VL_ERROR,
          "open snmp session has failed.[peer:%s,ver:%d]\n", req->snmp_info.peername,
          req->snmp_info.version);
    bump(perf.snmp_failed);
    size_t len = sizeof(open_failure);
    if (sm_get_error_message(-1, &err, open_failure, &len) != 0) open_failure[0] = '\0';
  }
  sm_snmp_error_clean(&err);

  uint64_t collect_time = vk_get_time_nsec();
  int events = 0;
  mlist_item_t *item = nullptr;
  for (event *ev; (ev = static_cast<event *>(
                       mlist_pop_front_data(&req->event_list, nullptr, &item))) != nullptr;) {
    uint64_t t0 = vk_clock_get()->monotonic_nsec();
    t_request_failure[0] = '\0';
    // Without a session nothing is requested or sent; the event counts as
    // a failed collection.
    int r = fd != nullptr ? run_event(index, req->device_id, ev, collect_time, fd) : -4;
    if (r != 0) {
      // The device's latency records carry why its collection failed.
      const char *why = fd == nullptr ? open_failure : t_request_failure;
      char fallback[64];
      if (why[0] == '\0') {
        snprintf(fallback, sizeof(fallback), "collection has failed.(ret:%d)", r);
        why = fallback;
      }
      icmp_note_snmp_failure(why);
    }
    uint64_t elapsed = vk_clock_get()->monotonic_nsec() - t0;
    VKLOG(g_vklog, VL_TRACE, "[collect_thread] device id[%s],event[%u], elapse[%.5f]\n",
          req->device_id, ev->type, static_cast<double>(elapsed) / 1e9);
    colt_latency_fn hook = g_colt_latency_hook.load();
    if (hook != nullptr) hook(req->device_id, "", r == 0 ? 1 : 0, elapsed);
    mlist_destroy_item(&req->event_list, item);
    events++;
  }

  if (fd != nullptr) sm_snmp_close(fd);
  bump(perf.snmp_close);
  sm_clear_session(&session);
  t_colt_quiet = false;
  sm_set_thread_quiet(false);
  VKLOG(g_vklog, VL_TRACE, "[collect_thread] event count[%d],elapse[%.5f]\n", events,
        static_cast<double>(vk_clock_get()->monotonic_nsec() - start) / 1e9);
  sm_exchange_tally tally;
  sm_tally_get(&tally);
  if (tally.answers > 0) return 1;
  if (g_colt_cancel.load()) return 0;
  return (fd == nullptr || tally.timeouts > 0) ? -1 : 0;
}

int collect_thread_main(void *arg) {
  int index = *static_cast<int *>(arg);
  free(arg);
  VKLOG(g_vklog, VL_INFO, "start collect thread[%d]\n", index);
  sm_set_thread_cancel(&g_colt_cancel);
  while (g_collect_status.load() == COLT_STATUS_RUNNING) {
    mlist_item_t *item = nullptr;
    collect_req_info *req = pop_request(&item);
    if (req == nullptr) continue;
    bump(g_collect_perf[index].pop_queue_count);
    std::vector<std::string> keys = request_keys(req);
    int outcome = run_request(index, req);
    finish_request(req, keys, outcome);
    colt_req_info_destroy(req);
  }
  sm_set_thread_cancel(nullptr);
  vkLock(&g_queue_lock);
  if (g_collect_thread_activate_count.fetch_sub(1) - 1 < 1) {
    g_collect_status.store(COLT_STATUS_STOPPED);
  }
  pthread_cond_broadcast(&g_stop_cond);
  vkUnlock(&g_queue_lock);
  VKLOG(g_vklog, VL_INFO, "[collect_thread] thread end\n");
  return 0;
}

}  // namespace

// ---- Pool ----

int collect_thread_init(int thread_count) {
  vkLock(&g_queue_lock);
  if (!g_initialised) {
    mlist_init(&g_collect_req_queue, clear_request, nullptr);
    vk_cond_init_monotonic(&g_queue_cond);
    vk_cond_init_monotonic(&g_stop_cond);
    g_initialised = true;
  }
  vkUnlock(&g_queue_lock);
  int count = (thread_count < 1 || thread_count > COLT_THREAD_MAX) ? COLT_THREAD_MAX : thread_count;
  g_collect_thread_count.store(count);
  for (thread_perf &p : g_collect_perf) {
    p.snmp_open = 0;
    p.snmp_failed = 0;
    p.snmp_close = 0;
    p.worked_count = 0;
    p.pop_queue_count = 0;
  }
  if (colt_if_prev_table_init() != 0) {
    VKLOG(g_vklog, VL_ERROR, "[collect_thread_init] collect perf allocate(thread count:%d)\n",
          count);
    return -1;
  }
  VKLOG(g_vklog, VL_INFO, "collect thread initilize(thread count:%d)\n", count);
  return 0;
}

int collect_thread_run(void) {
  vkLock(&g_queue_lock);
  bool ready = g_initialised;
  vkUnlock(&g_queue_lock);
  int status = g_collect_status.load();
  if (!ready || status == COLT_STATUS_RUNNING || status == COLT_STATUS_STOPPING) return -1;
  g_colt_cancel.store(false);
  g_collect_status.store(COLT_STATUS_RUNNING);
  int count = g_collect_thread_count.load();
  int started = 0;
  for (int i = 0; i < count; i++) {
    int *arg = static_cast<int *>(malloc(sizeof(int)));
    if (arg == nullptr) {
      VKLOG(g_vklog, VL_ERROR, "[collect_thread_run] thread index allocate has failed.(idx:%d)\n",
            i);
      break;
    }
    *arg = i;
    char name[32];
    snprintf(name, sizeof(name), "collect_%d", i);
    // Counted before it runs, so that a stop never sees an empty pool while
    // a thread is still starting.
    g_collect_thread_activate_count.fetch_add(1);
    if (thread_startup(i, name, collect_thread_main, arg, 0) != 0) {
      g_collect_thread_activate_count.fetch_sub(1);
      free(arg);
      break;
    }
    started++;
  }
  g_collect_thread_started.store(started);
  // With no thread to notice a stop, the pool is stopped at once.
  if (started == 0) g_collect_status.store(COLT_STATUS_STOPPED);
  return started;
}

int collect_thread_stop(int timeout_sec) {
  int status = g_collect_status.load();
  if (status == COLT_STATUS_STOPPED || status == COLT_STATUS_NOT_STARTED) {
    VKLOG(g_vklog, VL_INFO, "collect thread is already stopped.[(%d),thread count:%d]\n", status,
          g_collect_thread_count.load());
    return 0;
  }
  // A stop that timed out earlier leaves the status at stopping: this one
  // waits again for the threads still out, rather than calling them gone.
  if (timeout_sec <= 0) timeout_sec = COLT_STOP_TIMEOUT_SEC;
  vkLock(&g_queue_lock);
  // Threads inside an SNMP exchange give up within a wait slice.
  g_colt_cancel.store(true);
  if (g_collect_status.load() == COLT_STATUS_RUNNING) g_collect_status.store(COLT_STATUS_STOPPING);
  pthread_cond_broadcast(&g_queue_cond);
  bool done = false;
  // Waits of at most 500 ms against one deadline on the system's monotonic
  // clock (not the clock seam, so the limit holds whatever a test does with
  // time). Every leaving thread wakes this wait; counting wake-ups as whole
  // slices would cut the limit short when many threads leave one by one.
  timespec limit = vk_deadline_after_msec(static_cast<uint32_t>(std::min(timeout_sec, 86400)) * 1000u);
  for (;;) {
    done = g_collect_status.load() == COLT_STATUS_STOPPED &&
           g_collect_thread_activate_count.load() == 0;
    if (done) break;
    if (vk_deadline_passed(&limit)) break;
    VKLOG(g_vklog, VL_INFO, "count:%d\n", g_collect_thread_activate_count.load());
    vk_cond_wait_msec(&g_stop_cond, &g_queue_lock, kStopPollMsec, &limit);
  }
  done =
      g_collect_status.load() == COLT_STATUS_STOPPED && g_collect_thread_activate_count.load() == 0;
  if (done) {
    mlist_clean(&g_collect_req_queue);
    g_queue_count.store(0);
    // Nothing is queued or running any more; the health of the devices is
    // kept for the next start.
    g_pending.clear();
    g_backoff_in_flight = 0;
  }
  vkUnlock(&g_queue_lock);
  if (!done) return -1;
  VKLOG(g_vklog, VL_INFO, "collect thread stop[(%d), remain thread count:%d]\n",
        g_collect_status.load(), g_collect_thread_activate_count.load());
  g_collect_thread_started.store(0);
  return 0;
}

void collect_thread_clear(void) {
  vkLock(&g_queue_lock);
  if (g_initialised) {
    mlist_clean(&g_collect_req_queue);
    g_queue_count.store(0);
  }
  g_pending.clear();
  g_health.clear();
  vk_complain_init(&g_skipping);
  g_backoff_in_flight = 0;
  vk_complain_init(&g_queue_full);
  vkUnlock(&g_queue_lock);
  colt_if_prev_table_clear();
}

int colt_get_status(void) {
  return g_collect_status.load();
}

int colt_get_thread_count(void) {
  return g_collect_thread_started.load(std::memory_order_relaxed);
}

int colt_get_active_count(void) {
  return g_collect_thread_activate_count.load();
}

void colt_get_perf(int index, collect_perf *out) {
  if (out == nullptr) return;
  if (index < 0 || index >= COLT_THREAD_MAX) {
    memset(out, 0, sizeof(*out));
    return;
  }
  const thread_perf &p = g_collect_perf[index];
  out->snmp_open = p.snmp_open.load(std::memory_order_relaxed);
  out->snmp_failed = p.snmp_failed.load(std::memory_order_relaxed);
  out->snmp_close = p.snmp_close.load(std::memory_order_relaxed);
  out->worked_count = p.worked_count.load(std::memory_order_relaxed);
  out->pop_queue_count = p.pop_queue_count.load(std::memory_order_relaxed);
}

int colt_get_queue_count(void) {
  return g_queue_count.load(std::memory_order_relaxed);
}

void colt_get_skip_counts(colt_skip_counts *out) {
  if (out == nullptr) return;
  out->pending = g_skip_pending.load(std::memory_order_relaxed);
  out->backed_off = g_skip_backoff.load(std::memory_order_relaxed);
  out->queue_full = g_skip_full.load(std::memory_order_relaxed);
}

int colt_get_pending_count(void) {
  vkLock(&g_queue_lock);
  int n = 0;
  for (const auto &entry : g_pending) n += entry.second.pending > 0 ? 1 : 0;
  vkUnlock(&g_queue_lock);
  return n;
}

int colt_get_failing_count(void) {
  vkLock(&g_queue_lock);
  int n = static_cast<int>(g_health.size());
  vkUnlock(&g_queue_lock);
  return n;
}

void colt_set_queue_limit(int limit) {
  vkLock(&g_queue_lock);
  g_queue_limit = limit > 0 ? limit : COLT_QUEUE_MAX;
  vkUnlock(&g_queue_lock);
}

// ---- Requests ----

int collect_add_req(collect_req_info *req) {
  if (req == nullptr) return 0;
  uint64_t now = vk_monotonic_msec();
  int ret = 0;
  vkLock(&g_queue_lock);
  auto health =
      g_health.find(std::string(req->device_id, strnlen(req->device_id, sizeof(req->device_id))));
  bool failing = health != g_health.end();
  if (!g_initialised || g_collect_status.load() != COLT_STATUS_RUNNING) {
    ret = -1;
  } else if (failing &&
             (now < health->second.next_try_msec || g_backoff_in_flight >= backoff_share())) {
    // Its failure was logged when it began; the skips are only counted.
    g_skip_backoff.fetch_add(1, std::memory_order_relaxed);
    ret = -3;
  } else {
    drop_pending_events(req, now);
    if (req->event_list.count == 0) {
      ret = -2;
    } else if (g_collect_req_queue.count >= static_cast<uint32_t>(g_queue_limit)) {
      g_skip_full.fetch_add(1, std::memory_order_relaxed);
      if (vk_complain(&g_queue_full, now) == 1) {
        VKLOG(g_vklog, VL_WARN,
              "[collect_add_req] collection queue is full, requests are dropped.(limit:%d)\n",
              g_queue_limit);
      }
      ret = -4;
    }
  }
  if (ret == 0) {
    for (mlist_item_t *it = req->event_list.head; it != nullptr; it = it->next) {
      g_pending[event_key(req->device_id, static_cast<const event *>(it->data))].pending++;
    }
    req->backed_off = failing ? 1 : 0;
    if (failing) g_backoff_in_flight++;
    uint32_t dropped = vk_complain_release(&g_queue_full);
    if (dropped > 0) {
      VKLOG(g_vklog, VL_NOTICE,
            "[collect_add_req] collection queue takes requests again; %u dropped.\n", dropped);
    }
    mlist_push_back(&g_collect_req_queue, req->self_item);
    g_queue_count.store(static_cast<int>(g_collect_req_queue.count), std::memory_order_relaxed);
    pthread_cond_signal(&g_queue_cond);
  }
  vkUnlock(&g_queue_lock);
  if (ret != 0) colt_req_info_destroy(req);
  return ret;
}

int colt_add_event_to_req_info(collect_req_info *req, const event *ev) {
  if (req == nullptr) return -1;
  if (ev == nullptr) return -2;
  mlist_item_t *item = nullptr;
  event *copy = static_cast<event *>(mlist_new_item(sizeof(event), &item));
  if (copy == nullptr) return -3;
  *copy = *ev;
  mlist_push_back(&req->event_list, item);
  return static_cast<int>(req->event_list.count);
}

void colt_req_info_destroy(collect_req_info *req) {
  if (req == nullptr) return;
  mlist_clean(&req->event_list);
  mlist_destroy_item(nullptr, req->self_item);
}

collect_req_info *colt_req_info_new_with_info(const char *device_id, event *events, int event_count,
                                              const snmp_info *info, uint64_t cur_time) {
  if (events == nullptr || event_count < 1 || device_id == nullptr || info == nullptr) {
    return nullptr;
  }
  mlist_item_t *item = nullptr;
  collect_req_info *req =
      static_cast<collect_req_info *>(mlist_new_item(sizeof(collect_req_info), &item));
  // Without memory no request is made, but due times still advance so the
  // schedule does not pile up.
  if (req != nullptr) {
    req->self_item = item;
    mlist_init(&req->event_list, nullptr, nullptr);
    vk_copy_field(req->device_id, sizeof(req->device_id),
                  std::string_view(device_id, strnlen(device_id, sizeof(req->device_id) - 1)));
    VKLOG(g_vklog, VL_DEBUG, "[colt_req_info_new_with_info] event count[%d]\n", event_count);
  }
  for (int i = 0; i < event_count; i++) {
    event *ev = &events[i];
    VKLOG(g_vklog, VL_DEBUG, "[%llu]dev:%s,evt:%u,nextime:%llu\n",
          static_cast<unsigned long long>(cur_time), device_id, ev->type,
          static_cast<unsigned long long>(ev->collect_next_msec));
    if (cur_time < ev->collect_next_msec) continue;
    if (ev->use_flag && req != nullptr) {
      int r = colt_add_event_to_req_info(req, ev);
      if (r < 0) {
        VKLOG(g_vklog, VL_DEBUG, "colt_add_event_to_req_info() has failed.(ret:%d)\n", r);
        colt_req_info_destroy(req);
        req = nullptr;
      }
    }
    ev->collect_next_msec += static_cast<uint64_t>(ev->interval) * 1000u;
  }
  if (req == nullptr) return nullptr;
  if (req->event_list.count == 0) {
    colt_req_info_destroy(req);
    return nullptr;
  }
  req->snmp_info = *info;
  return req;
}

// ---- Collecting ----

int colt_get_vars_value_to_string(const netsnmp_variable_list *vars, char *value, size_t value_size,
                                  size_t *out_len) {
  if (vars == nullptr || value == nullptr || value_size == 0) return -1;
  u_char *buf = reinterpret_cast<u_char *>(value);
  size_t buf_len = value_size;
  size_t len = 0;
  value[0] = '\0';
  int r = get_variable_realloc_by_type(&buf, &buf_len, &len, 0, vars, nullptr, nullptr, nullptr);
  if (len >= value_size) len = value_size - 1;
  value[len] = '\0';
  if (out_len != nullptr) *out_len = len;
  return r;
}

int colt_request_from_oid_pack(mlist_t *list, int req_max_repetitions, void *session_fd,
                               oid_pack *pack, snmp_session_error *err, const sm_var_sink *sink) {
  if (list == nullptr || pack == nullptr || err == nullptr) return -2;
  for (vlist_item_t *it = pack->list.head; it != nullptr; it = it->next) {
    const oid_info *oi = static_cast<const oid_info *>(it->data);
    VKLOG(g_vklog, VL_DEBUG, "req name[%s],oid[%s],type[%d]\n", oi->name, oi->oid, oi->type_code);
    sm_response_list_add(list, oi->name, oi->type_code, oi->oid);
  }
  sm_snmp_error_clean(err);
  sm_snmp_error_init(err);
  int r = sm_request_multiple_to(session_fd, req_max_repetitions, pack->type, list, err, sink);
  if (r < 0) {
    VKLOG(g_vklog, t_colt_quiet ? VL_DEBUG : VL_ERROR,
          "[colt_if_stat] sm_request_multiple() has failed.\n");
    size_t len = sizeof(t_request_failure);
    if (sm_get_error_message(r, err, t_request_failure, &len) != 0) t_request_failure[0] = '\0';
    return -2;
  }
  return 0;
}

int colt_queue_message(const char *func, uint16_t type, size_t payload, colt_encode_fn encode,
                       const void *msg) {
  mlist_item_t *item = nullptr;
  pkt_data *pd = dg_new_packet(func, type, payload, &item);
  if (pd == nullptr) return -1;
  return dg_queue_encoded(func, item, pd, encode(msg, pd->body, payload),
                          "collect packet encoded.(size:%lu)\n");
}
