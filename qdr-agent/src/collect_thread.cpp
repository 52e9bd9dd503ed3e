#include "collect_thread.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "thread_manager.h"
#include "vk_clock.h"
#include "vk_complain.h"
#include "vk_lock.h"
#include "vk_thread.h"
#include "vklog.h"

namespace {

constexpr int kStopPollMsec = 500;

// What keeps a device that does not answer, or a collection slower than
// its interval, from filling the queue and the pool.
struct pending_entry {
  int pending;
};
struct device_health {
  vk_complain_t failing;
  uint64_t next_try_msec;
};

// The pool's whole state. `lock` guards every plain field below it; the
// atomic ones are read without it (statistics, the threads' loop test).
struct colt_pool {
  vk_lock_t lock = PTHREAD_MUTEX_INITIALIZER;
  // Wakes idle threads when a request is added or a stop begins (monotonic
  // clock, created once by the first colt_pool_init).
  pthread_cond_t queue_cond;
  // Wakes the stopper when a thread leaves.
  pthread_cond_t stop_cond;
  bool initialised = false;  // queue and conditions exist
  colt_run_fn run = nullptr;
  // collect_req_info items, oldest first.
  mlist_t queue;
  int queue_limit = COLT_QUEUE_MAX;
  // Per collection (device, event type, pack): the requests that hold it,
  // queued or running (0 or 1); an entry goes at 0.
  std::unordered_map<std::string, pending_entry> pending;
  // The complaint about collections skipped because they were still
  // pending, for the whole pool (one line when skipping starts, one when
  // none has been skipped for COLT_SKIP_QUIET_MSEC, however many devices are
  // slow); last_skip_msec: the last skip.
  vk_complain_t skipping;
  uint64_t last_skip_msec = 0;
  // The devices whose last request failed to get any answer: their failures
  // in a row (the complaint) and the monotonic time before which no request
  // of theirs is queued. A device goes at its first answer.
  std::unordered_map<std::string, device_health> health;
  // Requests of such devices queued or running; at most a quarter of the
  // pool, so that dead devices never hold it all.
  int backoff_in_flight = 0;
  vk_complain_t queue_full;

  std::atomic<int> queue_count{0};
  std::atomic<uint32_t> skip_pending{0};
  std::atomic<uint32_t> skip_backoff{0};
  std::atomic<uint32_t> skip_full{0};
  // Set by a stop, cleared by a start: every collect thread's SNMP requests
  // give up within a wait slice once it is set.
  std::atomic<bool> cancel{false};
  std::atomic<int> status{COLT_STATUS_NOT_STARTED};
  std::atomic<int> thread_count{0};  // configured count, set by init
  std::atomic<int> started{0};
  std::atomic<int> active{0};  // threads started and not yet out of their loop
  colt_thread_counters counters[COLT_THREAD_MAX];
};

colt_pool g_pool;

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

std::string device_key(const collect_req_info *req) {
  return std::string(req->device_id, strnlen(req->device_id, sizeof(req->device_id)));
}

int backoff_share() {
  int share = g_pool.thread_count.load() / 4;
  return share < 1 ? 1 : share;
}

// Drops from `req` every event whose previous collection is still queued or
// running, counting it; the first skip after a quiet spell is logged, and
// the end of the spell once nothing has been skipped for
// COLT_SKIP_QUIET_MSEC. REQUIRES: g_pool.lock.
void drop_pending_events(collect_req_info *req, uint64_t now) {
  mlist_t kept;
  mlist_init(&kept, nullptr, nullptr);
  mlist_item_t *item = nullptr;
  for (event *ev; (ev = static_cast<event *>(
                       mlist_pop_front_data(&req->event_list, nullptr, &item))) != nullptr;) {
    auto it = g_pool.pending.find(event_key(req->device_id, ev));
    if (it == g_pool.pending.end() || it->second.pending == 0) {
      mlist_push_back(&kept, item);
      continue;
    }
    g_pool.skip_pending.fetch_add(1, std::memory_order_relaxed);
    g_pool.last_skip_msec = now;
    if (vk_complain(&g_pool.skipping, now) == 1) {
      VKLOG(g_vklog, VL_WARN,
            "[collect_add_req] collections still queued or running when due again are skipped."
            "(first:[dev:%s,event:%s,pack:%llu])\n",
            req->device_id, event_type_name(ev->type),
            static_cast<unsigned long long>(ev->oid_pack_id));
    }
    mlist_destroy_item(nullptr, item);
  }
  mlist_move(&req->event_list, &kept);
  if (vk_complain_active(&g_pool.skipping) && now - g_pool.last_skip_msec >= COLT_SKIP_QUIET_MSEC) {
    uint32_t skipped = vk_complain_release(&g_pool.skipping);
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
  vkLock(&g_pool.lock);
  for (const std::string &k : keys) {
    auto it = g_pool.pending.find(k);
    if (it == g_pool.pending.end()) continue;
    if (it->second.pending > 0) it->second.pending--;
    if (it->second.pending == 0) g_pool.pending.erase(it);
  }
  if (req->backed_off && g_pool.backoff_in_flight > 0) g_pool.backoff_in_flight--;
  std::string dev = device_key(req);
  if (outcome > 0) {
    auto it = g_pool.health.find(dev);
    if (it != g_pool.health.end()) {
      uint32_t failures = vk_complain_release(&it->second.failing);
      g_pool.health.erase(it);
      VKLOG(g_vklog, VL_NOTICE,
            "[collect_thread] device answers again; polling resumes.[dev:%s,peer:%s](failed %u "
            "times)\n",
            req->device_id, req->snmp_info.peername, failures);
    }
  } else if (outcome < 0) {
    device_health &h = g_pool.health[dev];
    if (vk_complain(&h.failing, now) == 1) {
      VKLOG(g_vklog, VL_ERROR,
            "[collect_thread] device does not answer; polled with fewer retries and longer pauses "
            "until it does.[dev:%s,peer:%s]\n",
            req->device_id, req->snmp_info.peername);
    }
    h.next_try_msec = now + vk_backoff_pause_msec(h.failing.failures, COLT_BACKOFF_FIRST_MSEC,
                                                  COLT_BACKOFF_LIMIT_MSEC);
  }
  vkUnlock(&g_pool.lock);
}

// Pops the oldest request, waiting at most one idle slice for one. Null
// when none came or the pool is no longer running.
collect_req_info *pop_request(mlist_item_t **item) {
  vkLock(&g_pool.lock);
  collect_req_info *req = nullptr;
  // The status is checked before each pop: once a stop has begun, queued
  // requests are left for the stopper to destroy.
  while (g_pool.status.load() == COLT_STATUS_RUNNING) {
    req = static_cast<collect_req_info *>(mlist_pop_front_data(&g_pool.queue, nullptr, item));
    if (req != nullptr) {
      g_pool.queue_count.store(static_cast<int>(g_pool.queue.count), std::memory_order_relaxed);
      break;
    }
    if (vk_cond_wait_msec(&g_pool.queue_cond, &g_pool.lock, COLT_IDLE_WAIT_MSEC, nullptr) ==
        ETIMEDOUT)
      break;
  }
  vkUnlock(&g_pool.lock);
  return req;
}

int collect_thread_main(void *arg) {
  int index = *static_cast<int *>(arg);
  free(arg);
  VKLOG(g_vklog, VL_INFO, "start collect thread[%d]\n", index);
  colt_thread_counters *counters = &g_pool.counters[index];
  // Set before the threads start and not changed while they run.
  colt_run_fn run = g_pool.run;
  sm_set_thread_cancel(&g_pool.cancel);
  while (g_pool.status.load() == COLT_STATUS_RUNNING) {
    mlist_item_t *item = nullptr;
    collect_req_info *req = pop_request(&item);
    if (req == nullptr) continue;
    colt_bump(counters->pop_queue_count);
    std::vector<std::string> keys = request_keys(req);
    int outcome = run(index, req, counters);
    // A cancelled request says nothing about the device.
    if (outcome < 0 && g_pool.cancel.load()) outcome = 0;
    finish_request(req, keys, outcome);
    colt_req_info_destroy(req);
  }
  sm_set_thread_cancel(nullptr);
  vkLock(&g_pool.lock);
  if (g_pool.active.fetch_sub(1) - 1 < 1) {
    g_pool.status.store(COLT_STATUS_STOPPED);
  }
  pthread_cond_broadcast(&g_pool.stop_cond);
  vkUnlock(&g_pool.lock);
  VKLOG(g_vklog, VL_INFO, "[collect_thread] thread end\n");
  return 0;
}

}  // namespace

// ---- Pool ----

int colt_pool_init(int thread_count, colt_run_fn run) {
  if (run == nullptr) return -1;
  vkLock(&g_pool.lock);
  if (!g_pool.initialised) {
    mlist_init(&g_pool.queue, clear_request, nullptr);
    vk_cond_init_monotonic(&g_pool.queue_cond);
    vk_cond_init_monotonic(&g_pool.stop_cond);
    g_pool.initialised = true;
  }
  g_pool.run = run;
  vkUnlock(&g_pool.lock);
  int count = (thread_count < 1 || thread_count > COLT_THREAD_MAX) ? COLT_THREAD_MAX : thread_count;
  g_pool.thread_count.store(count);
  for (colt_thread_counters &c : g_pool.counters) {
    c.snmp_open = 0;
    c.snmp_failed = 0;
    c.snmp_close = 0;
    c.worked_count = 0;
    c.pop_queue_count = 0;
  }
  VKLOG(g_vklog, VL_INFO, "collect thread initilize(thread count:%d)\n", count);
  return 0;
}

int collect_thread_run(void) {
  vkLock(&g_pool.lock);
  bool ready = g_pool.initialised;
  vkUnlock(&g_pool.lock);
  int status = g_pool.status.load();
  if (!ready || status == COLT_STATUS_RUNNING || status == COLT_STATUS_STOPPING) return -1;
  g_pool.cancel.store(false);
  g_pool.status.store(COLT_STATUS_RUNNING);
  int count = g_pool.thread_count.load();
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
    g_pool.active.fetch_add(1);
    if (thread_startup(i, name, collect_thread_main, arg, 0) != 0) {
      g_pool.active.fetch_sub(1);
      free(arg);
      break;
    }
    started++;
  }
  g_pool.started.store(started);
  // With no thread to notice a stop, the pool is stopped at once.
  if (started == 0) g_pool.status.store(COLT_STATUS_STOPPED);
  return started;
}

int collect_thread_stop(int timeout_sec) {
  int status = g_pool.status.load();
  if (status == COLT_STATUS_STOPPED || status == COLT_STATUS_NOT_STARTED) {
    VKLOG(g_vklog, VL_INFO, "collect thread is already stopped.[(%d),thread count:%d]\n", status,
          g_pool.thread_count.load());
    return 0;
  }
  // A stop that timed out earlier leaves the status at stopping: this one
  // waits again for the threads still out, rather than calling them gone.
  if (timeout_sec <= 0) timeout_sec = COLT_STOP_TIMEOUT_SEC;
  vkLock(&g_pool.lock);
  // Threads inside an SNMP exchange give up within a wait slice.
  g_pool.cancel.store(true);
  if (g_pool.status.load() == COLT_STATUS_RUNNING) g_pool.status.store(COLT_STATUS_STOPPING);
  pthread_cond_broadcast(&g_pool.queue_cond);
  bool done = false;
  // Waits of at most 500 ms against one deadline on the system's monotonic
  // clock (not the clock seam, so the limit holds whatever a test does with
  // time). Every leaving thread wakes this wait; counting wake-ups as whole
  // slices would cut the limit short when many threads leave one by one.
  timespec limit =
      vk_deadline_after_msec(static_cast<uint32_t>(std::min(timeout_sec, 86400)) * 1000u);
  for (;;) {
    done = g_pool.status.load() == COLT_STATUS_STOPPED && g_pool.active.load() == 0;
    if (done) break;
    if (vk_deadline_passed(&limit)) break;
    VKLOG(g_vklog, VL_INFO, "count:%d\n", g_pool.active.load());
    vk_cond_wait_msec(&g_pool.stop_cond, &g_pool.lock, kStopPollMsec, &limit);
  }
  done = g_pool.status.load() == COLT_STATUS_STOPPED && g_pool.active.load() == 0;
  if (done) {
    mlist_clean(&g_pool.queue);
    g_pool.queue_count.store(0);
    // Nothing is queued or running any more; the health of the devices is
    // kept for the next start.
    g_pool.pending.clear();
    g_pool.backoff_in_flight = 0;
  }
  vkUnlock(&g_pool.lock);
  if (!done) return -1;
  VKLOG(g_vklog, VL_INFO, "collect thread stop[(%d), remain thread count:%d]\n",
        g_pool.status.load(), g_pool.active.load());
  g_pool.started.store(0);
  return 0;
}

void colt_pool_clear(void) {
  vkLock(&g_pool.lock);
  if (g_pool.initialised) {
    mlist_clean(&g_pool.queue);
    g_pool.queue_count.store(0);
  }
  g_pool.pending.clear();
  g_pool.health.clear();
  vk_complain_init(&g_pool.skipping);
  g_pool.backoff_in_flight = 0;
  vk_complain_init(&g_pool.queue_full);
  vkUnlock(&g_pool.lock);
}

int colt_get_status(void) {
  return g_pool.status.load();
}

int colt_get_thread_count(void) {
  return g_pool.started.load(std::memory_order_relaxed);
}

int colt_get_active_count(void) {
  return g_pool.active.load();
}

void colt_get_perf(int index, collect_perf *out) {
  if (out == nullptr) return;
  if (index < 0 || index >= COLT_THREAD_MAX) {
    memset(out, 0, sizeof(*out));
    return;
  }
  const colt_thread_counters &c = g_pool.counters[index];
  out->snmp_open = c.snmp_open.load(std::memory_order_relaxed);
  out->snmp_failed = c.snmp_failed.load(std::memory_order_relaxed);
  out->snmp_close = c.snmp_close.load(std::memory_order_relaxed);
  out->worked_count = c.worked_count.load(std::memory_order_relaxed);
  out->pop_queue_count = c.pop_queue_count.load(std::memory_order_relaxed);
}

int colt_get_queue_count(void) {
  return g_pool.queue_count.load(std::memory_order_relaxed);
}

void colt_get_skip_counts(colt_skip_counts *out) {
  if (out == nullptr) return;
  out->pending = g_pool.skip_pending.load(std::memory_order_relaxed);
  out->backed_off = g_pool.skip_backoff.load(std::memory_order_relaxed);
  out->queue_full = g_pool.skip_full.load(std::memory_order_relaxed);
}

int colt_get_pending_count(void) {
  vkLock(&g_pool.lock);
  int n = 0;
  for (const auto &entry : g_pool.pending) n += entry.second.pending > 0 ? 1 : 0;
  vkUnlock(&g_pool.lock);
  return n;
}

int colt_get_failing_count(void) {
  vkLock(&g_pool.lock);
  int n = static_cast<int>(g_pool.health.size());
  vkUnlock(&g_pool.lock);
  return n;
}

void colt_set_queue_limit(int limit) {
  vkLock(&g_pool.lock);
  g_pool.queue_limit = limit > 0 ? limit : COLT_QUEUE_MAX;
  vkUnlock(&g_pool.lock);
}

// ---- Requests ----

int collect_add_req(collect_req_info *req) {
  if (req == nullptr) return 0;
  uint64_t now = vk_monotonic_msec();
  int ret = 0;
  vkLock(&g_pool.lock);
  auto health = g_pool.health.find(device_key(req));
  bool failing = health != g_pool.health.end();
  if (!g_pool.initialised || g_pool.status.load() != COLT_STATUS_RUNNING) {
    ret = -1;
  } else if (failing &&
             (now < health->second.next_try_msec || g_pool.backoff_in_flight >= backoff_share())) {
    // Its failure was logged when it began; the skips are only counted.
    g_pool.skip_backoff.fetch_add(1, std::memory_order_relaxed);
    ret = -3;
  } else {
    drop_pending_events(req, now);
    if (req->event_list.count == 0) {
      ret = -2;
    } else if (g_pool.queue.count >= static_cast<uint32_t>(g_pool.queue_limit)) {
      g_pool.skip_full.fetch_add(1, std::memory_order_relaxed);
      if (vk_complain(&g_pool.queue_full, now) == 1) {
        VKLOG(g_vklog, VL_WARN,
              "[collect_add_req] collection queue is full, requests are dropped.(limit:%d)\n",
              g_pool.queue_limit);
      }
      ret = -4;
    }
  }
  if (ret == 0) {
    for (mlist_item_t *it = req->event_list.head; it != nullptr; it = it->next) {
      g_pool.pending[event_key(req->device_id, static_cast<const event *>(it->data))].pending++;
    }
    req->backed_off = failing ? 1 : 0;
    if (failing) g_pool.backoff_in_flight++;
    uint32_t dropped = vk_complain_release(&g_pool.queue_full);
    if (dropped > 0) {
      VKLOG(g_vklog, VL_NOTICE,
            "[collect_add_req] collection queue takes requests again; %u dropped.\n", dropped);
    }
    mlist_push_back(&g_pool.queue, req->self_item);
    g_pool.queue_count.store(static_cast<int>(g_pool.queue.count), std::memory_order_relaxed);
    pthread_cond_signal(&g_pool.queue_cond);
  }
  vkUnlock(&g_pool.lock);
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
