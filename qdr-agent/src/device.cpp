#include "device.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "collect_oid.h"
#include "collect_request.h"
#include "dgcomm_util.h"
#include "thread_manager.h"
#include "vk_clock.h"
#include "vk_util.h"
#include "vklog.h"

device_manager g_device_manager;
std::atomic<int> g_is_oid_manager_res;
std::atomic<int> g_is_device_manager_res;
const char *g_device_command_str[4] = {"none", "idle", "activate", "deactivate"};
const char *g_device_status_str[6] = {"none", "start", "run", "wait", "stop", "idle"};

namespace {

// 4096 buckets keep chains short up to tens of thousands of devices; the
// table costs 96 KiB.
constexpr uint16_t kIndexBuckets = 4096;
constexpr uint64_t kPassMsec = 1000;
// Between passes the checker looks for due events this often, so a
// collection starts at most this long after its due time, not up to a pass.
constexpr uint64_t kDueCheckMsec = 200;
// Longest single sleep of the checker, so a stop is noticed quickly.
constexpr uint32_t kSleepSliceMsec = 100;
constexpr uint32_t kStopStepMsec = 500;
constexpr int kStopDefaultSec = 3;
// Result of the senders of dgcomm_util when the send queue refused a packet.
constexpr int kSendRefused = -3;

// Index entry: the key is the id, zero-padded to its full width.
typedef struct {
  char id[DEVICE_ID_SIZE];
  device *dev;
  mlist_item_t *item;  // the list item holding `dev`
} dm_index_entry;

void index_key(const char *id, char key[DEVICE_ID_SIZE]) {
  memset(key, 0, DEVICE_ID_SIZE);
  vk_copy_field(key, DEVICE_ID_SIZE, id);
}

const char *version_name(int version) {
  switch (version) {
    case SNMP_VERSION_1:
      return "v1";
    case SNMP_VERSION_2c:
      return "v2c";
    default:
      return "not support";
  }
}

bool same_security(const snmp_sec_info &a, const snmp_sec_info &b) {
  return strcmp(a.name, b.name) == 0 && a.level == b.level && a.algorithm_bit == b.algorithm_bit &&
         a.auth_algorithm == b.auth_algorithm && strcmp(a.auth_password, b.auth_password) == 0 &&
         a.priv_algorithm == b.priv_algorithm && strcmp(a.priv_password, b.priv_password) == 0;
}

// Field by field rather than memcmp: the texts' bytes past their ends and
// the padding are not part of the settings.
bool same_snmp(const snmp_info &a, const snmp_info &b) {
  return strcmp(a.peername, b.peername) == 0 && strcmp(a.ip, b.ip) == 0 && a.port == b.port &&
         a.version == b.version && strcmp(a.community, b.community) == 0 &&
         same_security(a.security, b.security) && a.timeout == b.timeout && a.retries == b.retries;
}

bool same_device(const device &a, const device &b) {
  return strcmp(a.info.name, b.info.name) == 0 && strcmp(a.info.ip, b.info.ip) == 0 &&
         strcmp(a.info.ip_sub, b.info.ip_sub) == 0 && a.info.port == b.info.port &&
         same_snmp(a.snmp_info, b.snmp_info) && a.collect_syslog_flag == b.collect_syslog_flag &&
         a.collect_trap_flag == b.collect_trap_flag;
}

}  // namespace

int device_manager_init(device_manager *manager) {
  if (manager == nullptr) return -1;
  mlist_init(&manager->list, device_clear, nullptr);
  vklock_init(&manager->lock);
  manager->event_checker_status.store(DM_CHECKER_NOT_STARTED);
  manager->pass_count.store(0);
  memset(&manager->index, 0, sizeof(manager->index));
  if (map_init(&manager->index, kIndexBuckets, sizeof(dm_index_entry)) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[device_manager_init] device index allocate has failed.\n");
    return -1;
  }
  return 0;
}

device *device_new_with_info_for_manager(const char *id, const char *name, const char *ip,
                                         uint16_t port, int collect_syslog, int collect_snmp_trap,
                                         mlist_item_t **item) {
  if (id == nullptr || name == nullptr || ip == nullptr || item == nullptr) return nullptr;
  if (strlen(id) >= DEVICE_ID_SIZE || strlen(name) >= DEVICE_NAME_SIZE ||
      strlen(ip) >= DEVICE_IP_SIZE) {
    VKLOG(g_vklog, VL_ERROR,
          "[device_new_with_info_for_manager] device field is too long.(id:%zu/%d,name:%zu/%d,"
          "ip:%zu/%d)[id:%.39s]\n",
          strlen(id), DEVICE_ID_SIZE - 1, strlen(name), DEVICE_NAME_SIZE - 1, strlen(ip),
          DEVICE_IP_SIZE - 1, id);
    return nullptr;
  }
  mlist_item_t *it = nullptr;
  device *dev = static_cast<device *>(mlist_new_item(sizeof(device), &it));
  if (dev == nullptr) return nullptr;
  vklock_init(&dev->modify_lock);
  vk_copy_field(dev->info.id, sizeof(dev->info.id), id);
  vk_copy_field(dev->info.name, sizeof(dev->info.name), name);
  vk_copy_field(dev->info.ip, sizeof(dev->info.ip), ip);
  dev->info.port = port;
  dev->collect_syslog_flag = collect_syslog;
  dev->collect_trap_flag = collect_snmp_trap;
  VKLOG(g_vklog, VL_DEBUG, "add device[id:%s,name:%s,ip:%s,port:%hu\n", dev->info.id,
        dev->info.name, dev->info.ip, dev->info.port);
  *item = it;
  return dev;
}

void device_free_item(mlist_item_t *item) {
  if (item == nullptr) return;
  device_clear(mlist_get_data_from_item(nullptr, item));
  mlist_destroy_item(nullptr, item);
}

int dm_update_device_to_list(device_manager *manager, mlist_item_t *item) {
  if (manager == nullptr || item == nullptr) {
    device_free_item(item);
    return -1;
  }
  device *offered = static_cast<device *>(mlist_get_data_from_item(nullptr, item));
  char key[DEVICE_ID_SIZE];
  index_key(offered->info.id, key);
  int ret = DM_DEVICE_ADDED;
  vkLock(&manager->lock);
  device *stored = dm_find_device(manager, offered->info.id);
  if (stored != nullptr && same_device(*stored, *offered)) {
    // Collectors send their lists again to resynchronise: an unchanged
    // device keeps its events and due times. One that gave up asking for
    // its events asks again.
    if (stored->event_count < 0) {
      stored->event_count = 0;
      stored->event_req_count = 0;
    }
    vkUnlock(&manager->lock);
    // Dropped quietly: the offered copy was never listed.
    free(offered->modify_info);
    vklock_destroy(&offered->modify_lock);
    mlist_destroy_item(nullptr, item);
    return DM_DEVICE_UNCHANGED;
  }
  if (stored != nullptr) {
    // The stored record keeps its place in the list, its lock and its
    // events (until new ones arrive, which take over the due times of those
    // that did not change); everything else is the offered one's.
    ::event *events = stored->event;
    free(stored->modify_info);
    stored->command = offered->command;
    stored->status = offered->status;
    stored->info = offered->info;
    stored->snmp_info = offered->snmp_info;
    stored->collect_syslog_flag = offered->collect_syslog_flag;
    stored->collect_trap_flag = offered->collect_trap_flag;
    stored->modify_info = offered->modify_info;
    stored->use_count = offered->use_count;
    stored->event = events;
    stored->event_count = 0;
    stored->event_req_count = 0;
    offered->modify_info = nullptr;
    vkUnlock(&manager->lock);
    vklock_destroy(&offered->modify_lock);
    mlist_destroy_item(nullptr, item);
    return DM_DEVICE_CHANGED;
  }
  dm_index_entry *entry = static_cast<dm_index_entry *>(malloc(sizeof(dm_index_entry)));
  if (entry != nullptr) {
    memcpy(entry->id, key, DEVICE_ID_SIZE);
    entry->dev = offered;
    entry->item = item;
  }
  if (entry == nullptr ||
      map_setat(&manager->index, key, DEVICE_ID_SIZE, entry) == MAP_SETAT_FAILED) {
    free(entry);
    ret = -2;
  } else {
    mlist_push_back(&manager->list, item);
  }
  vkUnlock(&manager->lock);
  if (ret != 0) {
    VKLOG(g_vklog, VL_ERROR, "[dm_update_device_to_list] device index is full.[id:%s]\n",
          offered->info.id);
    device_free_item(item);
  }
  return ret;
}

int dm_remove_device(device_manager *manager, const char *device_id) {
  if (manager == nullptr || device_id == nullptr || strlen(device_id) >= DEVICE_ID_SIZE) return -1;
  char key[DEVICE_ID_SIZE];
  index_key(device_id, key);
  vkLock(&manager->lock);
  void *found = nullptr;
  if (map_lookup(&manager->index, key, DEVICE_ID_SIZE, &found) != 1) {
    vkUnlock(&manager->lock);
    return -1;
  }
  mlist_item_t *item = static_cast<dm_index_entry *>(found)->item;
  mlist_pop_data_by_item(&manager->list, item);
  map_item_delete(&manager->index, key, DEVICE_ID_SIZE);
  vkUnlock(&manager->lock);
  device_free_item(item);
  return 0;
}

uint64_t dm_device_phase_msec(const char *device_id, uint64_t interval_msec) {
  if (device_id == nullptr || interval_msec == 0) return 0;
  // FNV-1a: stable across runs and machines, and spreads short ids that
  // differ in one character.
  uint64_t h = 1469598103934665603ull;
  for (const char *p = device_id; *p != '\0'; p++) {
    h ^= static_cast<uint8_t>(*p);
    h *= 1099511628211ull;
  }
  return h % interval_msec;
}

uint64_t dm_first_due_msec(const char *device_id, uint32_t interval, uint64_t now_msec) {
  uint64_t period = static_cast<uint64_t>(interval) * 1000u;
  if (period == 0) return now_msec;
  uint64_t phase = dm_device_phase_msec(device_id, period);
  uint64_t ahead = (phase + period - now_msec % period) % period;
  return now_msec + (ahead == 0 ? period : ahead);
}

int dm_apply_event_to_device(device_manager *manager, const char *device_id, ::event *events,
                             int event_count) {
  if (manager == nullptr || device_id == nullptr) return -1;
  uint64_t now = vk_monotonic_msec();
  vkLock(&manager->lock);
  device *dev = dm_find_device(manager, device_id);
  if (dev == nullptr) {
    vkUnlock(&manager->lock);
    VKLOG(g_vklog, VL_ERROR, "[dm_apply_event_to_device] device id is not exist.[device_id:%s]\n",
          device_id);
    return -1;
  }
  // An event sent again as it was keeps its due time: the collector sends
  // the events of a device again after every update of the device, and a
  // schedule restarted each time would fall behind, or never come due.
  std::vector<bool> taken(static_cast<size_t>(dev->event != nullptr ? dev->event_slots : 0));
  for (int i = 0; i < event_count && events != nullptr; i++) {
    ::event *ev = &events[i];
    bool kept = false;
    for (size_t j = 0; j < taken.size(); j++) {
      const ::event *old = &dev->event[j];
      if (taken[j] || old->type != ev->type || old->oid_pack_id != ev->oid_pack_id ||
          old->interval != ev->interval) {
        continue;
      }
      taken[j] = true;
      ev->collect_next_msec = old->collect_next_msec;
      kept = true;
      break;
    }
    if (!kept) ev->collect_next_msec = dm_first_due_msec(dev->info.id, ev->interval, now);
  }
  free(dev->event);
  dev->event = events;
  dev->event_count = event_count;
  dev->event_slots = events != nullptr ? event_count : 0;
  vkUnlock(&manager->lock);
  return 0;
}

device *dm_find_device(device_manager *manager, const char *id) {
  if (manager == nullptr || id == nullptr || strlen(id) >= DEVICE_ID_SIZE) return nullptr;
  char key[DEVICE_ID_SIZE];
  index_key(id, key);
  void *found = nullptr;
  if (map_lookup(&manager->index, key, DEVICE_ID_SIZE, &found) != 1) return nullptr;
  return static_cast<dm_index_entry *>(found)->dev;
}

uint32_t dm_device_count(device_manager *manager) {
  if (manager == nullptr) return 0;
  vkLock(&manager->lock);
  uint32_t n = manager->list.count;
  vkUnlock(&manager->lock);
  return n;
}

void device_set_event(::event *ev, uint32_t type, uint64_t oid_pack_id, uint32_t interval,
                      uint8_t use_flag) {
  if (ev == nullptr) return;
  ev->type = type;
  ev->oid_pack_id = oid_pack_id;
  ev->interval = interval;
  ev->use_flag = use_flag;
  ev->collect_next_msec = vk_monotonic_msec() + static_cast<uint64_t>(interval) * 1000u;
}

int device_clear(void *device_ptr) {
  device *dev = static_cast<device *>(device_ptr);
  if (dev == nullptr) return 0;
  printf("%s#device-id:%s,name:%s,ip:%s,port:%hu,snmp[ver:%s(%d),comm:%s]\n", "clear", dev->info.id,
         dev->info.name, dev->info.ip, dev->info.port, version_name(dev->snmp_info.version),
         dev->snmp_info.version, dev->snmp_info.community);
  free(dev->event);
  free(dev->modify_info);
  vklock_destroy(&dev->modify_lock);
  memset(dev, 0, sizeof(*dev));
  return 0;
}

void device_manager_clear(device_manager *manager) {
  if (manager == nullptr) return;
  vkLock(&manager->lock);
  bool any = manager->list.count > 0;
  mlist_clean(&manager->list);
  if (manager->index.hash_table != nullptr) map_clear(&manager->index);
  vkUnlock(&manager->lock);
  if (any) VKLOG(g_vklog, VL_INFO, "device manager list clear\n");
}

namespace {

// Queues a request for each polled event of `dev` that is due at
// `now_msec` (and moves its due time on). A device updated since its events
// arrived goes on with the events it had while it asks for its events
// again. Caller holds the lock.
void queue_due_events(device *dev, uint64_t now_msec) {
  int polled = dev->event_count > 0    ? dev->event_count
               : dev->event_count == 0 ? dev->event_slots
                                       : 0;
  for (int i = polled - 1; i >= 0; i--) {
    if (now_msec < dev->event[i].collect_next_msec) continue;  // nothing to build
    collect_req_info *req =
        colt_req_info_new_with_info(dev->info.id, &dev->event[i], 1, &dev->snmp_info, now_msec);
    if (req != nullptr) collect_add_req(req);
  }
}

}  // namespace

void dm_event_due_pass(device_manager *manager, uint64_t now_msec) {
  if (manager == nullptr) return;
  vkLock(&manager->lock);
  mlist_item_t *cursor = nullptr;
  device *dev;
  while ((dev = static_cast<device *>(mlist_getting_data(&manager->list, nullptr, &cursor))) !=
         nullptr) {
    queue_due_events(dev, now_msec);
  }
  vkUnlock(&manager->lock);
}

void dm_event_checker_pass(device_manager *manager, uint64_t now_msec) {
  if (manager == nullptr) return;
  vkLock(&manager->lock);
  if (manager->list.count == 0 &&
      g_is_device_manager_res.load() == 0) {
    send_request_command("device_list");
  }
  if (om_count(&g_oid_manager) == 0 &&
      g_is_oid_manager_res.load() == 0) {
    send_request_command("oid_pack");
  }
  // Once the send queue refuses an event request, the remaining devices of
  // this pass ask on the next pass instead: a refused request was never
  // sent and does not count as one of the device's six.
  bool queue_full = false;
  uint32_t refused = 0;
  mlist_item_t *cursor = nullptr;
  device *dev;
  while ((dev = static_cast<device *>(mlist_getting_data(&manager->list, nullptr, &cursor))) !=
         nullptr) {
    queue_due_events(dev, now_msec);
    if (dev->event_count == 0) {
      if (dev->event_req_count > DM_EVENT_REQ_GIVE_UP) {
        // Unanswered: a device that had events keeps them.
        dev->event_count = dev->event_slots > 0 ? dev->event_slots : -1;
        VKLOG(g_vklog, VL_WARN,
              "[dm_event_checker] no collect event arrived, stop asking.[id:%s,req count:%d,kept "
              "events:%d]\n",
              dev->info.id, dev->event_req_count, dev->event_slots);
        dev->event_req_count++;
        continue;
      }
      if (dev->event_req_count % DM_EVENT_REQ_EVERY == 0) {
        if (queue_full) {
          refused++;
          continue;
        }
        int r = send_request_collect_event(dev->info.id);
        if (r == kSendRefused) {
          queue_full = true;
          refused++;
          continue;
        }
        if (r != 0) {
          VKLOG(g_vklog, VL_ERROR, "send_request_collect_event() has failed.(req count:%d)\n",
                dev->event_req_count);
        }
        VKLOG(g_vklog, VL_DEBUG, "req device collect event list count: %d\n", dev->event_req_count);
      }
      dev->event_req_count++;
    }
  }
  vkUnlock(&manager->lock);
  manager->pass_count.fetch_add(1);
  if (refused > 0) {
    VKLOG(g_vklog, VL_ERROR,
          "send_request_collect_event() has failed.(send queue full, %u devices ask again)\n",
          refused);
  }
}

int dm_device_event_checker(void *ptr) {
  device_manager *manager = static_cast<device_manager *>(ptr);
  if (manager == nullptr) return -1;
  // The pass cadence runs on the monotonic clock: whole seconds from the
  // start, so a slow pass does not push the next ones back.
  uint64_t next = vk_monotonic_msec();
  uint64_t next_due = next + kDueCheckMsec;
  while (manager->event_checker_status.load() == DM_CHECKER_RUNNING) {
    uint64_t mono = vk_monotonic_msec();
    if (mono >= next) {
      dm_event_checker_pass(manager, mono);
      next += kPassMsec;
      // More than a pass late: one pass now, the next a second later.
      if (next <= mono) next = mono + kPassMsec;
      next_due = mono + kDueCheckMsec;
      continue;
    }
    if (mono >= next_due) {
      dm_event_due_pass(manager, mono);
      next_due = mono + kDueCheckMsec;
      continue;
    }
    uint64_t wait = (next < next_due ? next : next_due) - mono;
    if (next - mono > kPassMsec) {
      // The clock went back: do not wait out the difference.
      next = mono + kPassMsec;
      next_due = mono + kDueCheckMsec;
      wait = kDueCheckMsec;
    }
    vk_sleep(static_cast<uint32_t>(wait < kSleepSliceMsec ? wait : kSleepSliceMsec));
  }
  manager->event_checker_status.store(DM_CHECKER_STOPPED);
  VKLOG(g_vklog, VL_INFO, "dm_device_event_checker() stopped thread.\n");
  return 0;
}

int dm_device_event_checker_start(device_manager *manager) {
  if (manager == nullptr) return -1;
  // Running is set before the thread exists, so a stop that comes before
  // the thread's first instruction is not overwritten by it. A checker that
  // runs (or is still leaving) is not started twice: a second agent
  // information answer on the same connection activates again.
  int st = manager->event_checker_status.load();
  if (st == DM_CHECKER_RUNNING || st == DM_CHECKER_STOPPING ||
      !manager->event_checker_status.compare_exchange_strong(st, DM_CHECKER_RUNNING)) {
    VKLOG(g_vklog, VL_WARN, "[dm_device_event_checker_start] checker is already running.(%d)\n",
          st);
    return -1;
  }
  if (thread_startup(-1, "event_checker", dm_device_event_checker, manager, 0) != 0) {
    manager->event_checker_status.store(DM_CHECKER_STOPPED);
    VKLOG(g_vklog, VL_ERROR, "[dm_device_event_checker_start] thread start has failed.\n");
    return -1;
  }
  return 0;
}

int dm_device_event_checker_stop(device_manager *manager, int timeout_sec) {
  if (manager == nullptr) return -1;
  int expected = DM_CHECKER_RUNNING;
  if (!manager->event_checker_status.compare_exchange_strong(expected, DM_CHECKER_STOPPING)) {
    // Stopping, stopped or never started (a connection lost before the
    // collector's answer): nothing runs that must be waited for.
    VKLOG(g_vklog, VL_INFO, "device event checer is already stopped.[(%d)]\n", expected);
    return 0;
  }
  if (timeout_sec <= 0) timeout_sec = kStopDefaultSec;
  int steps = timeout_sec * 1000 / static_cast<int>(kStopStepMsec);
  for (int i = 0; i <= steps; i++) {
    if (manager->event_checker_status.load() == DM_CHECKER_STOPPED) {
      VKLOG(g_vklog, VL_INFO, "device event checer stop[(%d)]\n", DM_CHECKER_STOPPED);
      return 0;
    }
    if (i < steps) vk_sleep(kStopStepMsec);
  }
  VKLOG(g_vklog, VL_ERROR, "device event checker stop has failed.\n");
  return -1;
}

void device_manager_destroy(device_manager *manager) {
  if (manager == nullptr) return;
  device_manager_clear(manager);
  map_destroy(&manager->index);
  vklock_destroy(&manager->lock);
}
