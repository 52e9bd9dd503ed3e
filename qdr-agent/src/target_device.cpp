#include "target_device.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string_view>

#include "thread_manager.h"
#include "vk_clock.h"
#include "vk_util.h"
#include "vklog.h"

target_device_manager_t g_icmp_device_manager;
target_device_manager_t g_syslog_device_manager;
target_device_manager_t g_snmptrap_device_manager;

namespace {

// The store thread's idle pause and the shutdown poll step.
constexpr uint32_t TARGET_USER_DATA_IDLE_MSEC = 500;
constexpr uint32_t TARGET_USER_DATA_POLL_MSEC = 500;

int target_device_clear_record(void *data) {
  auto *target = static_cast<target_device_t *>(data);
  free(target->user_data);
  target->user_data = nullptr;
  return 0;
}

int target_bucket_clear(void *data) {
  auto *bucket = static_cast<target_snmp_bucket *>(data);
  free(bucket->status);
  bucket->status = nullptr;
  return 0;
}

// Fits `text` into a field of `size` bytes (length below size, not empty).
bool target_text_fits(const char *text, size_t size) {
  if (text == nullptr || text[0] == '\0') return false;
  return strnlen(text, size) < size;
}

// First target with `ip` or `id` (whichever is given).
// REQUIRES: the caller holds target_devices_lock.
target_device_t *target_find(target_device_manager_t *registry, const char *ip, const char *id) {
  vlist_item_t *item = nullptr;
  void *data;
  while ((data = vlist_getting_data(&registry->target_devices, nullptr, &item)) != nullptr) {
    auto *target = static_cast<target_device_t *>(data);
    if (ip != nullptr && strcmp(target->device_ip, ip) == 0) return target;
    if (id != nullptr && strcmp(target->device_id, id) == 0) return target;
  }
  return nullptr;
}

int target_rdlock(target_device_manager_t *registry) {
  return pthread_rwlock_rdlock(&registry->target_devices_lock);
}
int target_wrlock(target_device_manager_t *registry) {
  return pthread_rwlock_wrlock(&registry->target_devices_lock);
}
void target_unlock(target_device_manager_t *registry) {
  pthread_rwlock_unlock(&registry->target_devices_lock);
}

void target_set_user_data_state(target_device_manager_t *registry, int state) {
  target_wrlock(registry);
  registry->user_data_active = state;
  target_unlock(registry);
}

// Takes the oldest report off the queue; null when it is empty.
target_snmp_bucket *target_pop_bucket(target_device_manager_t *registry, vlist_item_t **item) {
  vkLock(&registry->user_data_queue_lock);
  auto *bucket = static_cast<target_snmp_bucket *>(
      vlist_pop_front_data(&registry->user_data_queue, nullptr, item));
  vkUnlock(&registry->user_data_queue_lock);
  return bucket;
}

int target_user_data_thread(void *args) {
  auto *registry = static_cast<target_device_manager_t *>(args);
  // A stop requested before the thread ran is kept: the loop is skipped.
  target_wrlock(registry);
  if (registry->user_data_active == TARGET_USER_DATA_STARTING) {
    registry->user_data_active = TARGET_USER_DATA_RUNNING;
  }
  target_unlock(registry);
  while (target_device_user_data_state(registry) == TARGET_USER_DATA_RUNNING) {
    vlist_item_t *item = nullptr;
    target_snmp_bucket *bucket = target_pop_bucket(registry, &item);
    if (bucket == nullptr) {
      vk_sleep(TARGET_USER_DATA_IDLE_MSEC);
      continue;
    }
    // The queue lock is released before the registry lock is taken.
    target_device_set_user_data_by_id(registry, bucket->device_id, bucket->status);
    bucket->status = nullptr;
    vlist_destroy_item(nullptr, item);
  }
  target_set_user_data_state(registry, TARGET_USER_DATA_STOPPED);
  VKLOG(g_vklog, VL_INFO, "target user data thread has terminate.\n");
  return 0;
}

}  // namespace

int target_device_init(const char *name, target_device_manager_t *registry) {
  if (name == nullptr || registry == nullptr) return -1;
  VKLOG(g_vklog, VL_INFO, "target_device('%s') initialize .. \n", name);
  memset(static_cast<void *>(registry), 0, sizeof(*registry));
  snprintf(registry->name, sizeof(registry->name), "%s", name);
  if (pthread_rwlock_init(&registry->target_devices_lock, nullptr) != 0) return -1;
  registry->lock_ready = 1;
  vlist_init(&registry->target_devices, target_device_clear_record, nullptr);
  return 0;
}

void target_device_clear(target_device_manager_t *registry) {
  if (registry == nullptr) return;
  if (registry->lock_ready) {
    vlist_clean(&registry->target_devices);
    pthread_rwlock_destroy(&registry->target_devices_lock);
    registry->lock_ready = 0;
  }
  if (registry->queue_ready) {
    vlist_clean(&registry->user_data_queue);
    vklock_destroy(&registry->user_data_queue_lock);
    registry->queue_ready = 0;
  }
  registry->status = TARGET_DEVICE_STATUS_INIT;
}

int target_device_activate(target_device_manager_t *registry) {
  if (registry == nullptr || !registry->lock_ready) return -1;
  target_wrlock(registry);
  registry->status = TARGET_DEVICE_STATUS_ACTIVE;
  target_unlock(registry);
  VKLOG(g_vklog, VL_INFO, "target device manager('%s') has activate.\n", registry->name);
  return 0;
}

int target_device_deactivate(target_device_manager_t *registry) {
  if (registry == nullptr || !registry->lock_ready) return -1;
  target_wrlock(registry);
  registry->status = TARGET_DEVICE_STATUS_DEACTIVE;
  target_unlock(registry);
  VKLOG(g_vklog, VL_INFO, "target device manager('%s') has deactivate.\n", registry->name);
  return 0;
}

int target_device_add_by_ip(target_device_manager_t *registry, const char *ip, const char *id) {
  if (registry == nullptr || !registry->lock_ready) return TARGET_DEVICE_ERR_INACTIVE;
  if (!target_text_fits(ip, TARGET_DEVICE_IP_SIZE) ||
      !target_text_fits(id, TARGET_DEVICE_ID_SIZE)) {
    VKLOG(g_vklog, VL_ERROR, "[target_device_add_by_ip] '%s' id or address too long, refused.\n",
          registry->name);
    return TARGET_DEVICE_ERR_TOO_LONG;
  }
  vlist_item_t *item = nullptr;
  void *data = vlist_new_item(sizeof(target_device_t), &item);
  if (data == nullptr) return TARGET_DEVICE_ERR_ARGUMENT;
  auto *target = new (data) target_device_t;
  snprintf(target->device_id, sizeof(target->device_id), "%s", id);
  snprintf(target->device_ip, sizeof(target->device_ip), "%s", ip);
  target->receive_count.store(0, std::memory_order_relaxed);
  target->user_data = nullptr;

  target_wrlock(registry);
  bool active = registry->status == TARGET_DEVICE_STATUS_ACTIVE;
  if (active) vlist_push_back(&registry->target_devices, item);
  target_unlock(registry);
  if (!active) {
    vlist_destroy_item(nullptr, item);
    return TARGET_DEVICE_ERR_INACTIVE;
  }
  return 0;
}

int target_device_set_by_id(target_device_manager_t *registry, const char *ip, const char *id) {
  if (registry == nullptr || !registry->lock_ready) return TARGET_DEVICE_ERR_INACTIVE;
  if (!target_text_fits(ip, TARGET_DEVICE_IP_SIZE) ||
      !target_text_fits(id, TARGET_DEVICE_ID_SIZE)) {
    VKLOG(g_vklog, VL_ERROR, "[target_device_set_by_id] '%s' id or address too long, refused.\n",
          registry->name);
    return TARGET_DEVICE_ERR_TOO_LONG;
  }
  bool found = false;
  int result = 0;
  target_wrlock(registry);
  if (registry->status != TARGET_DEVICE_STATUS_ACTIVE) {
    result = TARGET_DEVICE_ERR_INACTIVE;
  } else {
    vlist_item_t *item = nullptr;
    void *data;
    while ((data = vlist_getting_data(&registry->target_devices, nullptr, &item)) != nullptr) {
      auto *target = static_cast<target_device_t *>(data);
      if (strcmp(target->device_id, id) != 0) continue;
      if (!found) {
        snprintf(target->device_ip, sizeof(target->device_ip), "%s", ip);
        found = true;
        continue;
      }
      vlist_item_t *gone = item;
      item = vlist_pop_item(&registry->target_devices, gone);
      vlist_destroy_item(&registry->target_devices, gone);
    }
  }
  target_unlock(registry);
  if (result != 0 || found) return result;
  return target_device_add_by_ip(registry, ip, id);
}

int target_device_remove_by_id(target_device_manager_t *registry, const char *id) {
  if (registry == nullptr || id == nullptr || !registry->lock_ready) return -1;
  int removed = 0;
  target_wrlock(registry);
  vlist_item_t *item = nullptr;
  void *data;
  while ((data = vlist_getting_data(&registry->target_devices, nullptr, &item)) != nullptr) {
    if (strcmp(static_cast<target_device_t *>(data)->device_id, id) != 0) continue;
    vlist_item_t *gone = item;
    item = vlist_pop_item(&registry->target_devices, gone);
    vlist_destroy_item(&registry->target_devices, gone);
    removed++;
  }
  target_unlock(registry);
  return removed;
}

int target_device_is_exist(target_device_manager_t *registry, const char *ip, char *id_buffer,
                           size_t id_size) {
  if (ip == nullptr || id_buffer == nullptr || registry == nullptr) {
    return TARGET_DEVICE_ERR_ARGUMENT;
  }
  if (!registry->lock_ready) return TARGET_DEVICE_ERR_INACTIVE;
  int result = 0;
  target_rdlock(registry);
  if (registry->status != TARGET_DEVICE_STATUS_ACTIVE) {
    result = TARGET_DEVICE_ERR_INACTIVE;
  } else if (target_device_t *target = target_find(registry, ip, nullptr)) {
    if (vk_copy_field(id_buffer, id_size, target->device_id)) {
      target->receive_count.fetch_add(1, std::memory_order_relaxed);
      result = 1;
    } else {
      result = TARGET_DEVICE_ERR_TOO_LONG;
    }
  }
  target_unlock(registry);
  return result;
}

uint64_t target_device_receive_count(target_device_manager_t *registry, const char *ip) {
  if (registry == nullptr || ip == nullptr || !registry->lock_ready) return 0;
  target_rdlock(registry);
  target_device_t *target = target_find(registry, ip, nullptr);
  uint64_t count = target ? target->receive_count.load(std::memory_order_relaxed) : 0;
  target_unlock(registry);
  return count;
}

uint32_t target_device_count(target_device_manager_t *registry) {
  if (registry == nullptr || !registry->lock_ready) return 0;
  target_rdlock(registry);
  uint32_t count = registry->target_devices.count;
  target_unlock(registry);
  return count;
}

int target_device_get_user_data_by_id(target_device_manager_t *registry, const char *id,
                                      target_snmp_status *out) {
  if (registry == nullptr || id == nullptr || out == nullptr || !registry->lock_ready) return -1;
  int result = -1;
  target_wrlock(registry);
  if (registry->status == TARGET_DEVICE_STATUS_ACTIVE) {
    target_device_t *target = target_find(registry, nullptr, id);
    if (target != nullptr && target->user_data != nullptr) {
      *out = *target->user_data;
      result = 0;
    }
  }
  target_unlock(registry);
  return result;
}

int target_device_set_user_data_by_id(target_device_manager_t *registry, const char *id,
                                      target_snmp_status *status) {
  if (registry == nullptr || id == nullptr || !registry->lock_ready) {
    free(status);
    return 0;
  }
  bool stored = false;
  bool unknown = false;
  target_wrlock(registry);
  if (registry->status == TARGET_DEVICE_STATUS_ACTIVE && registry->target_devices.count > 0) {
    target_device_t *target = target_find(registry, nullptr, id);
    if (target != nullptr) {
      free(target->user_data);
      target->user_data = status;
      stored = true;
    } else {
      unknown = true;
    }
  }
  target_unlock(registry);
  if (unknown)
    VKLOG(g_vklog, VL_INFO, "[target_device_set_user_data_by_id] '%s' is not exist.\n", id);
  if (!stored) free(status);
  return 0;
}

int target_device_for_each(target_device_manager_t *registry,
                           void (*func)(const target_device_t *target, void *arg), void *arg) {
  if (registry == nullptr || func == nullptr || !registry->lock_ready) return -1;
  int count = 0;
  target_rdlock(registry);
  vlist_item_t *item = nullptr;
  void *data;
  while ((data = vlist_getting_data(&registry->target_devices, nullptr, &item)) != nullptr) {
    func(static_cast<const target_device_t *>(data), arg);
    ++count;
  }
  target_unlock(registry);
  return count;
}

int target_device_manager_clean(target_device_manager_t *registry) {
  if (registry == nullptr || !registry->lock_ready) return 0;
  target_wrlock(registry);
  vlist_clean(&registry->target_devices);
  target_unlock(registry);
  return 0;
}

int target_push_snmp_status(target_device_manager_t *registry, const char *id, const char *ip,
                            target_snmp_status *status) {
  if (registry == nullptr || !registry->lock_ready || !registry->queue_ready) {
    free(status);
    return 0;
  }
  vlist_item_t *item = nullptr;
  auto *bucket =
      static_cast<target_snmp_bucket *>(vlist_new_item(sizeof(target_snmp_bucket), &item));
  if (bucket == nullptr) {
    free(status);
    return -10;
  }
  // An id that does not fit names no registered device: the report is
  // dropped with the bucket below rather than stored under a cut id.
  bool fits = vk_copy_field(bucket->device_id, sizeof(bucket->device_id), id ? id : "");
  vk_copy_field(bucket->device_ip, sizeof(bucket->device_ip), ip ? ip : "");
  bucket->status = status;
  bool queued = false;
  if (fits && target_device_user_data_state(registry) == TARGET_USER_DATA_RUNNING) {
    vkLock(&registry->user_data_queue_lock);
    vlist_push_back(&registry->user_data_queue, item);
    vkUnlock(&registry->user_data_queue_lock);
    queued = true;
    VKLOG(g_vklog, VL_TRACE, "push snmp status to target device list.[id:%s]\n", bucket->device_id);
  }
  if (!queued) vlist_destroy_item(&registry->user_data_queue, item);
  return 0;
}

int target_device_user_data_init(target_device_manager_t *registry) {
  if (registry == nullptr) return -1;
  if (registry->queue_ready) {
    vlist_clean(&registry->user_data_queue);
    vklock_destroy(&registry->user_data_queue_lock);
    registry->queue_ready = 0;
  }
  if (vklock_init(&registry->user_data_queue_lock) != 0) return -1;
  vlist_init(&registry->user_data_queue, target_bucket_clear, nullptr);
  registry->user_data_active = TARGET_USER_DATA_INIT;
  registry->queue_ready = 1;
  return 0;
}

int target_device_user_data_startup(target_device_manager_t *registry) {
  if (registry == nullptr || !registry->lock_ready || !registry->queue_ready) return -1;
  target_set_user_data_state(registry, TARGET_USER_DATA_STARTING);
  if (thread_startup(-1, "icmp_user_data", target_user_data_thread, registry, 0) != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[target_device_user_data_startup] Create thread(icmp_user_data) failed. (errno:%d)\n",
          errno);
    target_set_user_data_state(registry, TARGET_USER_DATA_INIT);
    return -1;
  }
  return 0;
}

int target_device_user_data_shutdown(target_device_manager_t *registry, int timeout_sec) {
  if (registry == nullptr || !registry->lock_ready || !registry->queue_ready) return 0;
  target_wrlock(registry);
  int state = registry->user_data_active;
  bool running = state == TARGET_USER_DATA_STARTING || state == TARGET_USER_DATA_RUNNING;
  if (running) registry->user_data_active = TARGET_USER_DATA_STOP;
  target_unlock(registry);

  int result = 0;
  if (running) {
    uint64_t limit = static_cast<uint64_t>(timeout_sec > 0 ? timeout_sec : 3) * 1000;
    uint64_t start = vk_monotonic_msec();
    // Bounded by count too: a manual test clock does not move.
    uint64_t max_polls = limit / TARGET_USER_DATA_POLL_MSEC * 20;
    for (uint64_t polls = 0; target_device_user_data_state(registry) != TARGET_USER_DATA_STOPPED &&
                             vk_monotonic_msec() - start < limit && polls < max_polls;
         polls++) {
      vk_sleep(TARGET_USER_DATA_POLL_MSEC);
    }
    if (target_device_user_data_state(registry) != TARGET_USER_DATA_STOPPED) {
      VKLOG(g_vklog, VL_ERROR, "target device user data thread shutdown has failed.(timeout)\n");
      result = -1;
    }
  }
  vkLock(&registry->user_data_queue_lock);
  vlist_clean(&registry->user_data_queue);
  vkUnlock(&registry->user_data_queue_lock);
  VKLOG(g_vklog, VL_INFO, "target device user data shutdown has complate.\n");
  return result;
}

int target_device_user_data_state(target_device_manager_t *registry) {
  if (registry == nullptr || !registry->lock_ready) return TARGET_USER_DATA_INIT;
  target_rdlock(registry);
  int state = registry->user_data_active;
  target_unlock(registry);
  return state;
}

const char *target_service_status_to_str(int status) {
  static const char *const kNames[] = {"none", "fail",     "error", "startup",
                                       "up",   "shutdown", "down"};
  if (status < 0 || status >= static_cast<int>(sizeof(kNames) / sizeof(kNames[0])))
    return "unknown";
  return kNames[status];
}

const char *su_variable_type_to_str(int type) {
  switch (type) {
    case 2:
    case 5:
      return "ASN_INTEGER";
    case 3:
      return "ASN_BIT_STR";
    case 4:
      return "ASN_OCTET_STR";
    case 6:
      return "ASN_OBJECT_ID";
    case 64:
      return "ASN_IPADDRESS";
    case 65:
      return "ASN_COUNTER";
    case 66:
      return "ASN_GAUGE";
    case 67:
      return "ASN_TIMETICKS";
    case 68:
      return "ASN_OPAQUE";
    case 69:
      return "ASN_NSAP";
    case 70:
      return "ASN_COUNTER64";
    case 71:
      return "ASN_UINTEGER";
    case 118:
      return "ASN_OPAQUE_COUNTER64";
    case 120:
      return "ASN_OPAQUE_FLOAT";
    case 121:
      return "ASN_OPAQUE_DOUBLE";
    case 122:
      return "ASN_OPAQUE_I64";
    case 123:
      return "ASN_OPAQUE_U64";
    case 128:
      return "SNMP_NOSUCHOBJECT";
    case 129:
      return "SNMP_NOSUCHINSTANCE";
    case 130:
      return "SNMP_ENDOFMIBVIEW";
    default:
      return "Unknown variables type!";
  }
}
