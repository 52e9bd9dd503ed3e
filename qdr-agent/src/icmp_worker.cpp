// The ICMP worker of the network agent and the one-shot ping modes, built on
// the ping engine of icmp.cpp; declarations in icmp.h.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "dg_outbox.h"
#include "dgcomm_packet.h"
#include "icmp.h"
#include "network_public_stat.h"
#include "target_device.h"
#include "thread_manager.h"
#include "vk_clock.h"
#include "vk_util.h"
#include "vklog.h"

std::atomic<int> g_icmp_worker_status{TARGET_SERVICE_NONE};

namespace {

// Bumped by every start-up: a worker whose stop timed out (still in a long
// cycle) sees it change and ends instead of running beside its successor.
std::atomic<uint32_t> g_icmp_worker_generation{0};

// Echo identifiers: the worker gives its n-th target 123 + n; the ping-only
// mode uses its own. The engine adds this process's base on the wire.
constexpr int kWorkerIdentBase = 123;
constexpr int kOnlyIdent = 41;
constexpr const char *kOnlyDeviceId = "icmp_only";

// The encode work area grows in steps of this size.
constexpr size_t kWorkStep = 128;

// Each thread that encodes latency records has its own work area; it lives
// as long as the thread.
struct latency_work_area {
  uint8_t *data = nullptr;
  size_t size = 0;
  ~latency_work_area() { free(data); }
};
thread_local latency_work_area t_work;

size_t text_len(const char *t) {
  return t == nullptr ? 0 : strlen(t);
}

// Room the encoded record needs at most: the fixed fields (under 64 bytes
// with their tags and length prefixes) and the three texts. The work area,
// and with it the packet body, is sized from this so that a long error text
// is sent whole instead of failing the encoding.
size_t latency_record_need(const char *device_id, const char *icmp_err, const char *snmp_err) {
  return 64 + text_len(device_id) + text_len(icmp_err) + text_len(snmp_err);
}

bool work_area_reserve(size_t need) {
  if (t_work.size >= need) return true;
  size_t size = (need + kWorkStep - 1) / kWorkStep * kWorkStep;
  uint8_t *p = static_cast<uint8_t *>(realloc(t_work.data, size));
  if (p == nullptr) return false;
  VKLOG(g_vklog, VL_DEBUG, "buffer(network_device_latency_t) allocate.(size:%lu,need:%lu)\n",
        static_cast<unsigned long>(size), static_cast<unsigned long>(need));
  t_work.data = p;
  t_work.size = size;
  return true;
}

// The targets of one cycle, copied under the registry's read lock so that
// the cycle neither holds the lock for seconds nor walks a list that the
// collector link appends to meanwhile.
struct icmp_target {
  char device_id[TARGET_DEVICE_ID_SIZE];
  char device_ip[TARGET_DEVICE_IP_SIZE];
};

struct target_snapshot {
  icmp_target *items = nullptr;
  size_t count = 0;
  size_t capacity = 0;
  bool active = false;
  bool out_of_memory = false;
  ~target_snapshot() { free(items); }
};

void snapshot_one(const target_device_t *target, void *arg) {
  target_snapshot *snap = static_cast<target_snapshot *>(arg);
  // The registry's read lock is held here (target_device_for_each).
  snap->active = g_icmp_device_manager.status == TARGET_DEVICE_STATUS_ACTIVE;
  if (snap->count == snap->capacity) {
    size_t cap = snap->capacity == 0 ? 64 : snap->capacity * 2;
    icmp_target *p = static_cast<icmp_target *>(realloc(snap->items, cap * sizeof(icmp_target)));
    if (p == nullptr) {
      snap->out_of_memory = true;
      return;
    }
    snap->items = p;
    snap->capacity = cap;
  }
  icmp_target *t = &snap->items[snap->count++];
  memcpy(t->device_id, target->device_id, sizeof(t->device_id));
  memcpy(t->device_ip, target->device_ip, sizeof(t->device_ip));
}

}  // namespace

int icmp_worker_cycle(void) {
  target_snapshot snap;
  target_device_for_each(&g_icmp_device_manager, snapshot_one, &snap);
  if (snap.count == 0) {
    VKLOG(g_vklog, VL_INFO, "icmp target device count is zero.\n");
    return 0;
  }
  VKLOG(g_vklog, VL_DEBUG, "icmp target device count[%u]\n", static_cast<unsigned>(snap.count));
  uint64_t collect_time = vk_get_time_nsec();
  icmp_object_t *obj = icmp_object_new();
  if (obj == nullptr) return -1;
  if (!snap.active) {
    icmp_object_destroy(obj);
    VKLOG(g_vklog, VL_INFO, "icmp target device is deactivate.\n");
    return 0;
  }
  for (size_t n = 0; n < snap.count; n++) {
    const icmp_target *t = &snap.items[n];
    // A second target with the same address is not added again (the add
    // succeeds without a host) and so gets no record of its own.
    if (icmp_host_add(obj, t->device_id, t->device_ip,
                      kWorkerIdentBase + 1 + static_cast<int>(n)) != 0) {
      char err[ICMP_ERRMSG_SIZE];
      snprintf(err, sizeof(err), "%s", icmp_get_error(obj));
      VKLOG(g_vklog, VL_ERROR, "add host `%s' failed: %s\n", t->device_ip, err);
      icmp_send_data(collect_time, t->device_id, -1.0, err);
    }
  }
  if (obj->head != nullptr) {
    int ret = icmp_check(obj);
    if (ret < 0) {
      VKLOG(g_vklog, VL_ERROR, "icmp_check failed: %s(ret:%d)\n", icmp_get_error(obj), ret);
    }
    // Every host gets its record, also when the cycle failed: a host that
    // got no request says why (no socket, the send failed), so that an
    // agent without the right to ping does not report its devices as
    // merely silent.
    for (icmp_host_t *h = obj->head; h != nullptr; h = h->next) {
      VKLOG(g_vklog, VL_DEBUG, "host:%s,latency:%.3fms\n", h->hostname, h->latency);
      const char *why = h->error[0] != '\0' ? h->error : nullptr;
      if (why == nullptr && ret < 0) why = icmp_get_error(obj);
      icmp_send_data(collect_time, h->device_id, ret < 0 ? -1.0 : h->latency, why);
    }
  }
  icmp_object_destroy(obj);
  return 0;
}

namespace {

bool worker_may_run(uint32_t generation) {
  return g_icmp_worker_status.load() == TARGET_SERVICE_UP &&
         g_icmp_worker_generation.load() == generation;
}

int icmp_worker(void *args) {
  uint32_t generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(args));
  if (g_icmp_worker_generation.load() != generation) return 0;
  int expected = TARGET_SERVICE_STARTUP;
  if (!g_icmp_worker_status.compare_exchange_strong(expected, TARGET_SERVICE_UP)) {
    // Stopped before it ran: tell the waiting shutdown it is over.
    if (expected == TARGET_SERVICE_SHUTDOWN) {
      g_icmp_worker_status.compare_exchange_strong(expected, TARGET_SERVICE_DOWN);
    }
    return 0;
  }
  while (worker_may_run(generation)) {
    // Ten one-second sleeps: a stop request is seen within a second.
    for (int i = 0; i < 10 && worker_may_run(generation); i++) vk_sleep(1000);
    if (!worker_may_run(generation)) break;
    if (icmp_worker_cycle() != 0) {
      if (g_icmp_worker_generation.load() == generation) {
        g_icmp_worker_status.store(TARGET_SERVICE_ERROR);
      }
      VKLOG(g_vklog, VL_ERROR, "icmp worker error.\n");
      return -1;
    }
  }
  if (g_icmp_worker_generation.load() == generation) {
    g_icmp_worker_status.store(TARGET_SERVICE_DOWN);
  }
  VKLOG(g_vklog, VL_INFO, "icmp worker has terminate.\n");
  return 0;
}

}  // namespace

int icmp_init(void) {
  VKLOG(g_vklog, VL_INFO, "icmp initialize .. \n");
  target_device_init("icmp", &g_icmp_device_manager);
  target_device_user_data_init(&g_icmp_device_manager);
  return 0;
}

int icmp_startup(void) {
  int status = g_icmp_worker_status.load();
  if (status == TARGET_SERVICE_UP || status == TARGET_SERVICE_STARTUP) {
    // A second activation without a deactivation between: one worker and
    // one store thread are enough.
    VKLOG(g_vklog, VL_INFO, "ICMP is already up.[(%d)%s]\n", status,
          target_service_status_to_str(status));
    return 0;
  }
  target_device_activate(&g_icmp_device_manager);
  target_device_user_data_startup(&g_icmp_device_manager);
  uint32_t generation = g_icmp_worker_generation.fetch_add(1) + 1;
  g_icmp_worker_status.store(TARGET_SERVICE_STARTUP);
  if (thread_startup(-1, "icmp_worker", icmp_worker,
                     reinterpret_cast<void *>(static_cast<uintptr_t>(generation)), 0) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[icmp_init] Create thread(icmp_worker) failed. (idx:%d,errno:%d)\n",
          -1, errno);
    g_icmp_worker_status.store(TARGET_SERVICE_FAIL);
    return -2;
  }
  return 0;
}

int icmp_shutdown(int timeout_sec) {
  int status = g_icmp_worker_status.load();
  if (status == TARGET_SERVICE_SHUTDOWN || status == TARGET_SERVICE_DOWN) {
    VKLOG(g_vklog, VL_INFO, "ICMP is already down.[(%d)%s]\n", status,
          target_service_status_to_str(status));
    return 0;
  }
  if (timeout_sec <= 0) timeout_sec = 3;
  int ret = target_device_user_data_shutdown(&g_icmp_device_manager, timeout_sec) == 0 ? 0 : -1;
  // Only a worker that was started and has not ended needs to be waited
  // for; one that never ran, failed to start or ended on an error is down.
  bool running = status == TARGET_SERVICE_UP || status == TARGET_SERVICE_STARTUP;
  g_icmp_worker_status.store(running ? TARGET_SERVICE_SHUTDOWN : TARGET_SERVICE_DOWN);
  target_device_deactivate(&g_icmp_device_manager);
  uint64_t limit = static_cast<uint64_t>(timeout_sec) * 1000;
  uint64_t start = vk_monotonic_msec();
  while (g_icmp_worker_status.load() != TARGET_SERVICE_DOWN) {
    uint64_t spent = vk_monotonic_msec() - start;
    if (spent >= limit) break;
    status = g_icmp_worker_status.load();
    VKLOG(g_vklog, VL_INFO, "ICMP timeout[%llu], status[(%d)%s]\n",
          static_cast<unsigned long long>(limit - spent), status,
          target_service_status_to_str(status));
    vk_sleep(500);
  }
  if (g_icmp_worker_status.load() != TARGET_SERVICE_DOWN) {
    // The worker is still in a cycle; the next start-up's generation makes
    // it end when the cycle is over.
    g_icmp_worker_status.store(TARGET_SERVICE_FAIL);
    VKLOG(g_vklog, VL_ERROR, "icmp shutdown has failed.(timeout)\n");
  }
  target_device_manager_clean(&g_icmp_device_manager);
  status = g_icmp_worker_status.load();
  VKLOG(g_vklog, VL_INFO, "ICMP shutdown.[(%d)%s]\n", status, target_service_status_to_str(status));
  return ret;
}

int icmp_target_device_add_by_ip(const char *device_ip, const char *device_id) {
  return target_device_add_by_ip(&g_icmp_device_manager, device_ip, device_id);
}

namespace {

// The failure text noted by this thread for its next report.
thread_local char t_snmp_failure[sizeof(target_snmp_status::err_message)];

}  // namespace

void icmp_note_snmp_failure(const char *text) {
  snprintf(t_snmp_failure, sizeof(t_snmp_failure), "%s", text != nullptr ? text : "");
}

const char *icmp_noted_snmp_failure(void) {
  return t_snmp_failure;
}

int icmp_push_snmp_latency(const char *device_id, const char *device_ip, int success,
                           uint64_t elapsed_nsec) {
  target_snmp_status *status =
      static_cast<target_snmp_status *>(calloc(1, sizeof(target_snmp_status)));
  if (status == nullptr) {
    t_snmp_failure[0] = '\0';
    return -1;
  }
  status->snmp_success = success != 0 ? 1 : 0;
  if (success == 0) memcpy(status->err_message, t_snmp_failure, sizeof(status->err_message));
  t_snmp_failure[0] = '\0';
  status->snmp_latency = static_cast<double>(elapsed_nsec) / 1000000.0;
  return target_push_snmp_status(&g_icmp_device_manager, device_id, device_ip, status);
}

int icmp_send_data(uint64_t collect_time_nsec, const char *device_id, double latency_ms,
                   const char *err_text) {
  target_snmp_status snmp;
  if (target_device_get_user_data_by_id(&g_icmp_device_manager, device_id, &snmp) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[icmp_send_data] target snmp status is not exist.[id:%s]\n",
          device_id != nullptr ? device_id : "");
    return -1;
  }
  bool icmp_ok = latency_ms >= 0.0;
  const char *icmp_err =
      !icmp_ok && err_text != nullptr && err_text[0] != '\0' ? err_text : nullptr;
  snmp.err_message[sizeof(snmp.err_message) - 1] = '\0';
  const char *snmp_err =
      snmp.snmp_success == 0 && snmp.err_message[0] != '\0' ? snmp.err_message : nullptr;
  size_t need = latency_record_need(device_id, icmp_err, snmp_err);
  network_device_latency_t *msg = nullptr;
  if (work_area_reserve(need < kWorkStep ? kWorkStep : need)) {
    msg = network_device_latency_new(t_work.data, t_work.size);
  }
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_INFO, "network_device_latency allocate has failed.(size:%lu)\n",
          static_cast<unsigned long>(t_work.size));
    return -2;
  }
  msg->device_id_p = device_id;
  msg->latency = latency_ms;
  msg->icmp_success = icmp_ok;
  if (icmp_err != nullptr) msg->icmp_fail_message_p = icmp_err;
  msg->snmp_res_time = snmp.snmp_latency;
  msg->snmp_res_success = snmp.snmp_success != 0;
  if (snmp_err != nullptr) msg->snmp_fail_message_p = snmp_err;
  msg->collect_time = collect_time_nsec;

  mlist_item_t *item = nullptr;
  pkt_data *pd = make_packet_data(&item, DG_PKT_DEVICE_LATENCY, static_cast<uint32_t>(t_work.size));
  if (pd == nullptr) {
    VKLOG(g_vklog, VL_INFO, "network_device_latency allocate has failed.(size:%lu)\n",
          static_cast<unsigned long>(t_work.size));
    return -2;
  }
  int n = network_device_latency_encode(msg, pd->body, t_work.size);
  if (dg_outbox_seal(nullptr, "icmp_send_data", item, pd, n) != 0) return -2;
  VKLOG(g_vklog, VL_DEBUG, "encode(network_device_latency) has success.(size:%u,var:%lu)\n",
        pd->body_len, static_cast<unsigned long>(t_work.size));
  if (dg_outbox_send("icmp_send_data", item) != 0) return -4;
  return 0;
}

namespace {

// Display record of one host in the ping-only mode.
struct icmp_context {
  char host[1025];
  char addr[1025];
};

}  // namespace

int icmp_only(const char *host) {
  icmp_object_t *obj = icmp_object_new();
  if (obj == nullptr) return -1;
  int ttl = ICMP_DEF_TTL;
  if (icmp_setopt(obj, ICMP_OPT_TTL, &ttl) != 0) {
    fprintf(stderr, "Setting TTL to %i failed: %s\n", ttl, icmp_get_error(obj));
  }
  uint8_t qos = 0;
  if (icmp_setopt(obj, ICMP_OPT_QOS, &qos) != 0) {
    fprintf(stderr, "Setting TOS to %i failed: %s\n", qos, icmp_get_error(obj));
  }
  double timeout = ICMP_DEF_TIMEOUT;
  if (icmp_setopt(obj, ICMP_OPT_TIMEOUT, &timeout) != 0) {
    fprintf(stderr, "Setting timeout failed: %s\n", icmp_get_error(obj));
  }
  if (icmp_host_add(obj, kOnlyDeviceId, host, kOnlyIdent) != 0) {
    fprintf(stderr, "Adding host `%s' failed: %s\n", host != nullptr ? host : "",
            icmp_get_error(obj));
    icmp_object_destroy(obj);
    return -2;
  }
  for (icmp_host_t *h = obj->head; h != nullptr; h = h->next) {
    icmp_context *ctx = static_cast<icmp_context *>(calloc(1, sizeof(icmp_context)));
    if (ctx == nullptr) continue;
    size_t n = sizeof(ctx->host);
    icmp_iterator_get_info(h, ICMP_INFO_HOSTNAME, ctx->host, &n);
    n = sizeof(ctx->addr);
    icmp_iterator_get_info(h, ICMP_INFO_ADDRESS, ctx->addr, &n);
    icmp_iterator_set_context(h, ctx);
  }
  int ret = icmp_send(obj);
  int result = 0;
  if (ret < 0) {
    // A failure is never shown as a time-out: the caller ends with a
    // non-zero status.
    fprintf(stderr, "icmp_send failed: %s(ret:%d)\n", icmp_get_error(obj), ret);
    const icmp_host_t *h = obj->head;
    if (h != nullptr && h->error[0] != '\0') {
      fprintf(stderr, "ping %s: %s\n", h->username, h->error);
    }
    bool no_socket = obj->fd4 == -1 && obj->fd6 == -1;
    result = no_socket ? -4 : -3;
  } else {
    for (icmp_host_t *h = obj->head; h != nullptr; h = h->next) {
      const icmp_context *ctx = static_cast<const icmp_context *>(icmp_iterator_get_context(h));
      const char *name = ctx != nullptr ? ctx->host : h->hostname;
      const char *addr = ctx != nullptr ? ctx->addr : "";
      unsigned seq = static_cast<unsigned>(h->sequence);
      if (h->latency >= 0.0) {
        printf("%zu bytes from %s (%s): icmp_seq=%u ttl=%i ", strlen(h->data), name, addr, seq,
               h->recv_ttl);
        if (h->recv_qos != 0) {
          char q[16];
          printf("qos=%s ", format_qos(h->recv_qos, q, sizeof(q)));
        }
        printf("time=%.2f ms\n", h->latency);
      } else {
        printf("echo reply from %s (%s): icmp_seq=%u timeout\n", name, addr, seq);
      }
    }
    fflush(stdout);
  }
  for (icmp_host_t *h = obj->head; h != nullptr; h = h->next) free(icmp_iterator_get_context(h));
  icmp_object_destroy(obj);
  return result;
}

int icmp_cmd_ping(const char *host) {
  vklog_config_t *config = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT_STDOUT);
  if (config == nullptr) {
    puts("get log config has failed.");
    return 1;
  }
  vklog_config_set(config, VKLOG_CFG_TYPE_LEVEL, 5, "trace");
  int err_no = 0;
  vklog_apply_config(config, &err_no);
  vklog_set_global_log_handle(vklog_get_category("default stdout config"));
  for (;;) {
    int r = icmp_only(host);
    // A host that cannot be added, or no right to ping: no later round
    // would do better.
    if (r == -2 || r == -4) return 1;
    vk_sleep(3000);
  }
}
