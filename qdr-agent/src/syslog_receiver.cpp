#include "syslog_receiver.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "config.h"
#include "dg_outbox.h"
#include "dgcomm_packet.h"
#include "event_buffer.h"
#include "network_public_stat.h"
#include "thread_manager.h"
#include "vk_clock.h"
#include "vk_util.h"

syslog_service_t g_syslog;

namespace {

// Waits are sliced so a stop request is seen within this time.
constexpr uint32_t SYSLOG_SLICE_MSEC = 100;
constexpr uint32_t SYSLOG_POLL_MSEC = 500;
constexpr int SYSLOG_MAIN_START_DELAY_SLICES = 30;  // 3 s before the receivers start
constexpr int SYSLOG_PASS_SLICES = 10;              // one second a pass
constexpr int SYSLOG_STATS_PASSES = 5;
constexpr int SYSLOG_SENDER_STOP_SEC = 3;
constexpr int SYSLOG_RECEIVER_STOP_SEC = 5;

vklog_t *syslog_log() {
  return g_syslog.log != nullptr ? g_syslog.log : g_vklog;
}

// Sleeps `slices` slices while `status` stays `while_status`.
void syslog_sleep_while(const std::atomic<int> &status, int while_status, int slices) {
  for (int i = 0; i < slices && status.load() == while_status; i++) vk_sleep(SYSLOG_SLICE_MSEC);
}

// Polls `status` every 500 ms until it is `want` or `limit_msec` passed
// (bounded by count too: a manual test clock does not move).
bool syslog_wait_status(const std::atomic<int> &status, int want, int64_t limit_msec) {
  uint64_t start = vk_monotonic_msec();
  int64_t max_polls = limit_msec / SYSLOG_POLL_MSEC * 20;
  for (int64_t polls = 0; status.load() != want && polls < max_polls; polls++) {
    if (static_cast<int64_t>(vk_monotonic_msec() - start) >= limit_msec) break;
    vk_sleep(SYSLOG_POLL_MSEC);
  }
  return status.load() == want;
}

void syslog_clear_queue(void) {
  vkLock(&g_syslog.sender_queue_lock);
  vlist_clean(&g_syslog.sender_queue);
  vkUnlock(&g_syslog.sender_queue_lock);
}

int syslog_sender(void *) {
  int expected = TARGET_SERVICE_STARTUP;
  // A stop that came before the thread ran is kept (the thread then ends).
  g_syslog.sender_status.compare_exchange_strong(expected, TARGET_SERVICE_UP);
  vlist_t pending;
  vlist_init(&pending, nullptr, nullptr);
  while (g_syslog.sender_status.load() == TARGET_SERVICE_UP) {
    vkLock(&g_syslog.sender_queue_lock);
    if (g_syslog.sender_queue.count > 0) vlist_move(&pending, &g_syslog.sender_queue);
    vkUnlock(&g_syslog.sender_queue_lock);
    while (pending.count > 0) {
      VKLOG(syslog_log(), VL_DEBUG, "[syslog_sender] log count:%d\n",
            static_cast<int>(pending.count));
      if (syslog_send_list(&pending) != 0) break;
    }
    vlist_clean(&pending);
    evbuf_flush();  // held events drain even when no new line comes
    syslog_sleep_while(g_syslog.sender_status, TARGET_SERVICE_UP, SYSLOG_PASS_SLICES);
  }
  vlist_clean(&pending);
  g_syslog.sender_status.store(TARGET_SERVICE_DOWN);
  return 0;
}

void syslog_log_stats(uint32_t *last_sent, uint32_t *last_size, uint32_t *last_pack,
                      uint32_t *last_count, uint32_t *last_bytes, int last_len) {
  uint32_t sent = g_syslog.perf.sent_count.load(std::memory_order_relaxed);
  uint32_t size = g_syslog.perf.sent_size.load(std::memory_order_relaxed);
  uint32_t pack = g_syslog.perf.pack_count.load(std::memory_order_relaxed);
  const char *unit = "B";
  double amount = udp_server_human_size(static_cast<double>(size - *last_size), &unit);
  vklog_t *log = syslog_log();
  VKLOG(log, VL_INFO, "--------------------\n");
  VKLOG(log, VL_INFO, "sent[%.2f%s/s(%.2f),count:%u],pack[%u]\n", amount / SYSLOG_STATS_PASSES,
        unit, amount, sent - *last_sent, pack - *last_pack);
  *last_sent = sent;
  *last_size = size;
  *last_pack = pack;
  udp_server_manager_t *m = g_syslog.server;
  udp_server_t *servers = m != nullptr ? m->servers.load() : nullptr;
  if (servers == nullptr) return;
  for (int i = 0; i < m->work_thread_count && i < last_len; i++) {
    udp_server_t *s = &servers[i];
    uint32_t c = s->perf.count.load(std::memory_order_relaxed);
    uint32_t b = s->perf.size.load(std::memory_order_relaxed);
    const char *bu = "B";
    double bytes = udp_server_human_size(static_cast<double>(b - last_bytes[i]), &bu);
    VKLOG(log, VL_INFO, "[#%d] c:%.0f/s(%u<%u),s:%.2f%s/s(%.2f<%u)\n", s->sock.load(),
          static_cast<double>(c - last_count[i]) / SYSLOG_STATS_PASSES, c - last_count[i], c,
          bytes / SYSLOG_STATS_PASSES, bu, bytes, b);
    last_count[i] = c;
    last_bytes[i] = b;
  }
}

int syslog_main(void *) {
  int expected = TARGET_SERVICE_STARTUP;
  g_syslog.thread_status.compare_exchange_strong(expected, TARGET_SERVICE_UP);
  syslog_sleep_while(g_syslog.thread_status, TARGET_SERVICE_UP, SYSLOG_MAIN_START_DELAY_SLICES);
  if (g_syslog.thread_status.load() == TARGET_SERVICE_UP) {
    VKLOG(syslog_log(), VL_INFO, "[syslog] udp server call.\n");
    udp_server_start(g_syslog.server);
  }
  uint32_t last_sent = 0, last_size = 0, last_pack = 0;
  uint32_t last_count[64] = {0};
  uint32_t last_bytes[64] = {0};
  for (uint64_t pass = 0; g_syslog.thread_status.load() == TARGET_SERVICE_UP; pass++) {
    syslog_sleep_while(g_syslog.thread_status, TARGET_SERVICE_UP, SYSLOG_PASS_SLICES);
    if (pass % SYSLOG_STATS_PASSES == 0) {
      syslog_log_stats(&last_sent, &last_size, &last_pack, last_count, last_bytes, 64);
    }
  }
  g_syslog.thread_status.store(TARGET_SERVICE_DOWN);
  VKLOG(syslog_log(), VL_INFO, "syslog main thread terminate.\n");
  return 0;
}

}  // namespace

int syslog_parse_pri(const char *data, size_t len, syslog_pri_t *out) {
  if (data == nullptr || out == nullptr) return SYSLOG_ERR_NO_OPEN;
  const char *open = static_cast<const char *>(memchr(data, '<', len));
  if (open == nullptr) return SYSLOG_ERR_NO_OPEN;
  const char *text = open + 1;
  size_t rest = len - static_cast<size_t>(text - data);
  const char *close = static_cast<const char *>(memchr(text, '>', rest));
  if (close == nullptr) return SYSLOG_ERR_NO_CLOSE;
  size_t field = static_cast<size_t>(close - text);
  if (field > SYSLOG_PRI_TEXT_MAX) field = SYSLOG_PRI_TEXT_MAX;
  uint64_t pri = 0;
  for (size_t i = 0; i < field && text[i] >= '0' && text[i] <= '9'; i++) {
    uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    pri = (pri > (UINT64_MAX - digit) / 10) ? UINT64_MAX : pri * 10 + digit;
  }
  out->pri = pri;
  out->facility = static_cast<uint32_t>((pri >> 3) & 0x7F);
  out->severity = static_cast<uint32_t>(pri - static_cast<uint64_t>(out->facility) * 8);
  return 0;
}

int syslog_init(void) {
  if (g_syslog.initialized) return 0;
  g_syslog.log = vklog_get_category("syslog");
  g_syslog.log_dump = vklog_get_category("syslog-dump");
  vklock_init(&g_syslog.sender_queue_lock);
  vlist_init(&g_syslog.sender_queue, nullptr, nullptr);
  g_syslog.thread_status.store(TARGET_SERVICE_NONE);
  g_syslog.sender_status.store(TARGET_SERVICE_NONE);
  target_device_init("syslog", &g_syslog_device_manager);
  g_syslog.server =
      udp_server_manager_new("syslog", static_cast<uint16_t>(g_agent_config.syslog_port),
                             SYSLOG_RECEIVER_THREADS, syslog_work);
  g_syslog.initialized = 1;
  if (g_syslog.server == nullptr) return 1;
  g_syslog.server->bind_retry = 1;
  VKLOG(syslog_log(), VL_INFO, "[syslog_init] syslog initialized\n");
  return 0;
}

int syslog_startup(void) {
  if (!g_syslog.initialized) return -1;
  int status = g_syslog.thread_status.load();
  if (status == TARGET_SERVICE_STARTUP || status == TARGET_SERVICE_UP) {
    return 0;  // a second activation starts no twin threads
  }
  syslog_clear_queue();
  g_syslog.sender_status.store(TARGET_SERVICE_STARTUP);
  if (thread_startup(-1, "syslog_sender", syslog_sender, nullptr, 0) != 0) {
    g_syslog.sender_status.store(TARGET_SERVICE_FAIL);
    VKLOG(syslog_log(), VL_ERROR, "[syslog_sender_startup]\n");
  }
  target_device_activate(&g_syslog_device_manager);
  g_syslog.thread_status.store(TARGET_SERVICE_STARTUP);
  if (thread_startup(-1, "syslog_main", syslog_main, nullptr, 0) != 0) {
    g_syslog.thread_status.store(TARGET_SERVICE_FAIL);
    VKLOG(syslog_log(), VL_ERROR, "[syslog_startup] Create thread(syslog_main) failed.\n");
  }
  return 0;
}

int syslog_shutdown(int timeout_sec) {
  int status = g_syslog.thread_status.load();
  // Never started counts as down: the link may drop before the first
  // activation, and there is no thread to wait for.
  if (!g_syslog.initialized || status == TARGET_SERVICE_SHUTDOWN || status == TARGET_SERVICE_DOWN ||
      status == TARGET_SERVICE_NONE) {
    VKLOG(syslog_log(), VL_INFO, "syslog is already down.[(%d)%s]\n", status,
          target_service_status_to_str(status));
    return 0;
  }
  target_device_deactivate(&g_syslog_device_manager);

  if (g_syslog.sender_status.load() != TARGET_SERVICE_FAIL) {
    g_syslog.sender_status.store(TARGET_SERVICE_SHUTDOWN);
    if (!syslog_wait_status(g_syslog.sender_status, TARGET_SERVICE_DOWN,
                            SYSLOG_SENDER_STOP_SEC * 1000)) {
      VKLOG(syslog_log(), VL_ERROR, "syslog sender thread shutdown has failed.\n");
      g_syslog.sender_status.store(TARGET_SERVICE_FAIL);
      exit(0);
    }
  }
  syslog_clear_queue();
  VKLOG(syslog_log(), VL_INFO, "syslog sender thread shutdown has complate.\n");

  if (status != TARGET_SERVICE_FAIL) {
    g_syslog.thread_status.store(TARGET_SERVICE_SHUTDOWN);
    int64_t limit = static_cast<int64_t>(timeout_sec > 0 ? timeout_sec : 3) * 1000;
    if (!syslog_wait_status(g_syslog.thread_status, TARGET_SERVICE_DOWN, limit)) {
      g_syslog.thread_status.store(TARGET_SERVICE_FAIL);
      VKLOG(syslog_log(), VL_ERROR, "syslog shutdown has failed.\n");
      exit(2);
    }
  }
  udp_server_shutdown(g_syslog.server, SYSLOG_RECEIVER_STOP_SEC);
  target_device_manager_clean(&g_syslog_device_manager);
  status = g_syslog.thread_status.load();
  VKLOG(syslog_log(), VL_INFO, "syslog shutdown.[(%d)%s]\n", status,
        target_service_status_to_str(status));
  return 0;
}

void syslog_link_lost(void) {
  if (!g_syslog.initialized) return;
  g_syslog.registrations_kept.store(1);
}

int syslog_target_device_add_by_ip(const char *ip, const char *id) {
  // The first device of the list that follows a reconnect replaces what
  // was kept through it.
  if (g_syslog.registrations_kept.exchange(0) == 1) {
    VKLOG(syslog_log(), VL_INFO,
          "[syslog_target_device_add_by_ip] the new device list replaces the kept targets.\n");
    target_device_manager_clean(&g_syslog_device_manager);
  }
  if (id != nullptr && strnlen(id, SYSLOG_DEVICE_ID_SIZE) >= SYSLOG_DEVICE_ID_SIZE) {
    VKLOG(syslog_log(), VL_ERROR,
          "[syslog_target_device_add_by_ip] device id is too long, refused.[ip:%s,id:%.*s...]\n",
          ip != nullptr ? ip : "", SYSLOG_DEVICE_ID_SIZE - 1, id);
    return TARGET_DEVICE_ERR_TOO_LONG;
  }
  return target_device_add_by_ip(&g_syslog_device_manager, ip, id);
}

int syslog_work(int sock, const char *ip, const char *data, size_t len, const udp_peer_t *) {
  VKLOG(g_syslog.log_dump, VL_TRACE, "[#%d,from:%s]%.*s\n", sock, ip, static_cast<int>(len), data);
  char id[SYSLOG_DEVICE_ID_SIZE];
  int found = target_device_is_exist(&g_syslog_device_manager, ip, id, sizeof(id));
  if (found == 0) {
    VKLOG(syslog_log(), VL_TRACE, "'%s' is not target device.\n", ip);
    return SYSLOG_DROPPED;
  }
  if (found == TARGET_DEVICE_ERR_INACTIVE) {
    VKLOG(syslog_log(), VL_TRACE, "target device manager is deactivate\n");
    return SYSLOG_DROPPED;
  }
  if (found != 1) {
    VKLOG(syslog_log(), VL_TRACE, "get target device error.\n");
    return SYSLOG_ERR_REGISTRY;
  }
  uint64_t now = vk_get_time_nsec();
  syslog_pri_t pri;
  int r = syslog_parse_pri(data, len, &pri);
  if (r != 0) {
    // At most the start of the datagram: a hostile one may be 64 KiB.
    VKLOG(syslog_log(), VL_INFO, "this data is not syslog message![%.*s]\n",
          static_cast<int>(len < SYSLOG_LOG_TEXT_MAX ? len : SYSLOG_LOG_TEXT_MAX), data);
    return r;
  }
  vlist_item_t *item = nullptr;
  void *mem = vlist_new_item(sizeof(syslog_data_t) + len + 1, &item);
  if (mem == nullptr) {
    VKLOG(syslog_log(), VL_ERROR, "new syslog data item has failed.\n");
    return SYSLOG_ERR_MEMORY;
  }
  auto *rec = static_cast<syslog_data_t *>(mem);
  vk_copy_field(rec->device_id, sizeof(rec->device_id), id);
  rec->collect_time = now;
  vk_copy_field(rec->client_ip, sizeof(rec->client_ip), ip != nullptr ? ip : "");
  rec->facility = pri.facility;
  rec->severity = pri.severity;
  char *copy = static_cast<char *>(mem) + sizeof(syslog_data_t);
  memcpy(copy, data, len);
  copy[len] = '\0';
  rec->msg = copy;
  rec->msg_len = len;
  VKLOG(syslog_log(), VL_TRACE, "[syslog_work] pri:%d,fac:%u,ser:%u\n", static_cast<int>(pri.pri),
        pri.facility, pri.severity);
  vkLock(&g_syslog.sender_queue_lock);
  vlist_push_back(&g_syslog.sender_queue, item);
  vkUnlock(&g_syslog.sender_queue_lock);
  return 0;
}

int syslog_only(uint16_t port, int) {
  if (syslog_init() != 0) return 1;
  if (g_syslog.only_server != nullptr) return 0;
  g_syslog.only_server =
      udp_server_manager_new("syslog", port, SYSLOG_ONLY_RECEIVER_THREADS, syslog_work);
  if (g_syslog.only_server == nullptr) return 1;
  udp_server_start(g_syslog.only_server);
  if (udp_server_bound_count(g_syslog.only_server) == 0) {
    // Nothing listens: the mode must not pretend it receives.
    udp_server_shutdown(g_syslog.only_server, 1);
    if (udp_server_manager_free(g_syslog.only_server) == 0) g_syslog.only_server = nullptr;
    return 2;
  }
  return 0;
}

int syslog_only_shutdown(void) {
  if (g_syslog.only_server == nullptr) return 0;
  if (udp_server_shutdown(g_syslog.only_server, SYSLOG_RECEIVER_STOP_SEC) != 0) return -1;
  udp_server_manager_free(g_syslog.only_server);
  g_syslog.only_server = nullptr;
  return 0;
}

int syslog_send_list(vlist_t *list) {
  if (list == nullptr || list->count == 0) return 0;
  uint32_t n = list->count < SYSLOG_BATCH_MAX ? list->count : SYSLOG_BATCH_MAX;
  // The records stay in `batch` until the packet is encoded: the entries
  // point into them.
  vlist_t batch;
  vlist_init(&batch, nullptr, nullptr);
  for (uint32_t i = 0; i < n; i++) vlist_push_back(&batch, vlist_pop_front(list));

  alignas(8) uint8_t work[SYSLOG_WORK_AREA_SIZE];
  network_syslog_list_t *msg = network_syslog_list_new(work, sizeof(work));
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "network_syslog_list_new has failed.\n");
    vlist_clean(&batch);
    return -1;
  }
  if (network_syslog_list_logs_alloc(msg, static_cast<int>(n)) != 0) {
    VKLOG(g_vklog, VL_ERROR, "network_syslog_list_logs_alloc has failed.\n");
    vlist_clean(&batch);
    return -1;
  }
  uint64_t capacity = SYSLOG_PACKET_BASE;
  vlist_item_t *item = nullptr;
  for (uint32_t i = 0; i < n; i++) {
    auto *rec = static_cast<syslog_data_t *>(vlist_getting_data(&batch, nullptr, &item));
    network_syslog_t *e = &msg->logs.items_p[i];
    e->device_id_p = rec->device_id;
    e->received_ip_p = rec->client_ip;
    e->facility = rec->facility;
    e->severity = rec->severity;
    e->message.buf_p = reinterpret_cast<const uint8_t *>(rec->msg);
    e->message.size = rec->msg_len;
    e->collect_time = rec->collect_time;
    capacity += rec->msg_len + SYSLOG_ENTRY_OVERHEAD;
  }
  VKLOG(syslog_log(), VL_DEBUG, "encode_size:%d,count:%d\n", static_cast<int>(capacity),
        static_cast<int>(n));
  mlist_item_t *pkt = nullptr;
  pkt_data *pd = make_packet_data(&pkt, DG_PKT_SYSLOG, static_cast<uint32_t>(capacity));
  int len = pd != nullptr ? network_syslog_list_encode(msg, pd->body, capacity) : -1;
  if (dg_outbox_seal(syslog_log(), "syslog_send_list", pkt, pd, len) != 0) {
    vlist_clean(&batch);
    return -2;
  }
  VKLOG(syslog_log(), VL_DEBUG, "encode(network_syslog_list) has success.(len:%u,need:%lu)\n",
        pd->body_len, static_cast<unsigned long>(capacity));
  g_syslog.perf.sent_size.fetch_add(static_cast<uint32_t>(capacity), std::memory_order_relaxed);
  g_syslog.perf.sent_count.fetch_add(n, std::memory_order_relaxed);
  g_syslog.perf.pack_count.fetch_add(1, std::memory_order_relaxed);
  // The buffer owns the packet from here; it holds it while the link is
  // down and logs a drop.
  int r = evbuf_submit(pkt, n, "syslog_send_list");
  vlist_clean(&batch);
  return r < 0 ? -3 : 0;
}
