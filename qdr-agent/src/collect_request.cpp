#include "collect_request.h"

#include <stdio.h>
#include <string.h>

#include <string_view>

#include "collect_interface.h"
#include "collect_oid.h"
#include "collect_perf.h"
#include "collect_util.h"
#include "icmp.h"
#include "vk_clock.h"
#include "vk_util.h"
#include "vklog.h"

std::atomic<colt_latency_fn> g_colt_latency_hook{icmp_push_snmp_latency};

namespace {

// Runs one event against the session; returns the collection's result.
int run_event(int index, const char *device_id, const event *ev, uint64_t collect_time,
              void *session_fd, colt_thread_counters *counters) {
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
  colt_bump(counters->worked_count);
  return r;
}

}  // namespace

int collect_thread_init(int thread_count) {
  colt_pool_init(thread_count, colt_run_request);
  if (colt_if_prev_table_init() != 0) {
    VKLOG(g_vklog, VL_ERROR, "[collect_thread_init] collect perf allocate(thread count:%d)\n",
          thread_count);
    return -1;
  }
  return 0;
}

void collect_thread_clear(void) {
  colt_pool_clear();
  colt_if_prev_table_clear();
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

int colt_run_request(int index, collect_req_info *req, colt_thread_counters *counters) {
  uint64_t start = vk_clock_get()->monotonic_nsec();
  sm_tally_reset();
  // A device known not to answer is asked once, without retries, and its
  // failures are logged by the pool, not by every request.
  colt_set_thread_quiet(req->backed_off != 0);
  netsnmp_session session{};
  snmp_session_error err;
  sm_snmp_error_init(&err);
  void *fd = nullptr;
  if (sm_set_session_by_info(&session, &req->snmp_info) == 0) {
    if (req->backed_off) session.retries = 0;
    fd = sm_snmp_open_by_session(&session, &err);
  }
  char open_failure[COLT_FAILURE_TEXT_SIZE] = "";
  if (fd != nullptr) {
    colt_bump(counters->snmp_open);
  } else {
    VKLOG(g_vklog, req->backed_off ? VL_DEBUG : VL_ERROR,
          "open snmp session has failed.[peer:%s,ver:%d]\n", req->snmp_info.peername,
          req->snmp_info.version);
    colt_bump(counters->snmp_failed);
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
    colt_reset_request_failure();
    // Without a session nothing is requested or sent; the event counts as
    // a failed collection.
    int r = fd != nullptr ? run_event(index, req->device_id, ev, collect_time, fd, counters) : -4;
    if (r != 0) {
      // The device's latency records carry why its collection failed.
      const char *why = fd == nullptr ? open_failure : colt_request_failure();
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
  colt_bump(counters->snmp_close);
  sm_clear_session(&session);
  colt_set_thread_quiet(false);
  VKLOG(g_vklog, VL_TRACE, "[collect_thread] event count[%d],elapse[%.5f]\n", events,
        static_cast<double>(vk_clock_get()->monotonic_nsec() - start) / 1e9);
  sm_exchange_tally tally;
  sm_tally_get(&tally);
  if (tally.answers > 0) return 1;
  return (fd == nullptr || tally.timeouts > 0) ? -1 : 0;
}
