#include "event_buffer.h"

#include <string.h>

#include <mutex>

#include "dg_outbox.h"
#include "dgcomm_packet.h"
#include "vklog.h"

namespace {

// One held packet: the link's packet item and what it carries.
struct evbuf_entry {
  mlist_item_t *pkt;
  uint32_t events;
  uint64_t bytes;  // counted against the limit
};

struct evbuf_state {
  std::mutex lock;  // guards every field below
  uint64_t limit_bytes = 0;
  int link_ready = 0;
  mlist_t held{};  // of evbuf_entry, oldest first; its clear function frees the packet
  bool held_ready = false;
  uint64_t held_bytes = 0;
  uint64_t held_events = 0;
  uint64_t dropped_events = 0;
  uint64_t dropped_packets = 0;
  uint64_t sent_late_events = 0;
  // Drops of the current outage not yet logged as a whole: the first drop
  // is logged when it happens, the total when the link takes events again.
  uint64_t outage_dropped_events = 0;
};

evbuf_state g_evbuf;

int evbuf_entry_clear(void *data) {
  auto *e = static_cast<evbuf_entry *>(data);
  remove_pkt(nullptr, e->pkt);
  e->pkt = nullptr;
  return 0;
}

// REQUIRES: g_evbuf.lock held.
void evbuf_prepare_locked() {
  if (!g_evbuf.held_ready) {
    mlist_init(&g_evbuf.held, evbuf_entry_clear, nullptr);
    g_evbuf.held_ready = true;
  }
}

// A held packet keeps only the bytes it encoded: producers size packets
// for the worst case (a syslog batch asks for 64 KiB and more), which
// would fill the buffer with empty space. Returns the packet to keep (the
// same one when copying does not pay or memory runs out).
mlist_item_t *evbuf_compact(mlist_item_t *pkt) {
  auto *pd = static_cast<pkt_data *>(mlist_get_data_from_item(nullptr, pkt));
  if (pd == nullptr || pkt->size < sizeof(pkt_data) + 2 * (pd->body_len + 64)) return pkt;
  mlist_item_t *tight = nullptr;
  pkt_data *copy = make_packet_data(&tight, pd->type, pd->body_len > 0 ? pd->body_len : 1);
  if (copy == nullptr) return pkt;
  memcpy(copy->body, pd->body, pd->body_len);
  copy->body_len = pd->body_len;
  copy->events = pd->events;
  remove_pkt(nullptr, pkt);
  return tight;
}

uint64_t evbuf_packet_bytes(mlist_item_t *pkt) {
  return pkt->size + EVBUF_PACKET_OVERHEAD;
}

// Drops the oldest held packet. REQUIRES: g_evbuf.lock held, something held.
void evbuf_drop_oldest_locked(const char *what) {
  mlist_item_t *item = nullptr;
  auto *e = static_cast<evbuf_entry *>(mlist_pop_front_data(&g_evbuf.held, nullptr, &item));
  if (e == nullptr) return;
  g_evbuf.held_bytes -= e->bytes;
  g_evbuf.held_events -= e->events;
  g_evbuf.dropped_events += e->events;
  g_evbuf.dropped_packets++;
  if (g_evbuf.outage_dropped_events == 0) {
    VKLOG(g_vklog, VL_WARN,
          "[evbuf_submit] event buffer is full (limit:%llu bytes), the oldest events are "
          "dropped.[%s]\n",
          static_cast<unsigned long long>(g_evbuf.limit_bytes), what);
  }
  g_evbuf.outage_dropped_events += e->events;
  mlist_destroy_item(&g_evbuf.held, item);
}

// Hands held packets to the link while it takes them. REQUIRES:
// g_evbuf.lock held.
int evbuf_flush_locked() {
  if (!g_evbuf.link_ready || !g_evbuf.held_ready) return 0;
  int moved = 0;
  while (g_evbuf.held.count > 0) {
    auto *e = static_cast<evbuf_entry *>(g_evbuf.held.head->data);
    if (dg_outbox_add(e->pkt) != 0) break;
    mlist_item_t *item = nullptr;
    mlist_pop_front_data(&g_evbuf.held, nullptr, &item);
    g_evbuf.held_bytes -= e->bytes;
    g_evbuf.held_events -= e->events;
    g_evbuf.sent_late_events += e->events;
    e->pkt = nullptr;  // the link's queue owns it now
    mlist_destroy_item(&g_evbuf.held, item);
    moved++;
  }
  if (g_evbuf.held.count == 0 && moved > 0) {
    VKLOG(g_vklog, VL_NOTICE,
          "[evbuf_flush] held events sent after the reconnect.(sent late:%llu,dropped:%llu)\n",
          static_cast<unsigned long long>(g_evbuf.sent_late_events),
          static_cast<unsigned long long>(g_evbuf.outage_dropped_events));
    g_evbuf.outage_dropped_events = 0;
  }
  return moved;
}

}  // namespace

int evbuf_init(uint64_t limit_bytes) {
  std::lock_guard<std::mutex> guard(g_evbuf.lock);
  evbuf_prepare_locked();
  mlist_clean(&g_evbuf.held);
  g_evbuf.limit_bytes = limit_bytes;
  g_evbuf.link_ready = 0;
  g_evbuf.held_bytes = 0;
  g_evbuf.held_events = 0;
  g_evbuf.dropped_events = 0;
  g_evbuf.dropped_packets = 0;
  g_evbuf.sent_late_events = 0;
  g_evbuf.outage_dropped_events = 0;
  return 0;
}

void evbuf_clear(void) {
  std::lock_guard<std::mutex> guard(g_evbuf.lock);
  if (!g_evbuf.held_ready) return;
  g_evbuf.dropped_events += g_evbuf.held_events;
  g_evbuf.dropped_packets += g_evbuf.held.count;
  mlist_clean(&g_evbuf.held);
  g_evbuf.held_bytes = 0;
  g_evbuf.held_events = 0;
}

void evbuf_set_link_ready(int ready) {
  std::lock_guard<std::mutex> guard(g_evbuf.lock);
  g_evbuf.link_ready = ready ? 1 : 0;
  evbuf_flush_locked();
}

int evbuf_flush(void) {
  std::lock_guard<std::mutex> guard(g_evbuf.lock);
  return evbuf_flush_locked();
}

int evbuf_submit(mlist_item_t *pkt, uint32_t events, const char *what) {
  if (pkt == nullptr) return EVBUF_ERR_ARGUMENT;
  if (what == nullptr) what = "";
  // The packet keeps its event count, so that the link can give it back
  // with it when its connection drops before it went out.
  auto *pd = static_cast<pkt_data *>(mlist_get_data_from_item(nullptr, pkt));
  if (pd != nullptr) pd->events = events;
  std::lock_guard<std::mutex> guard(g_evbuf.lock);
  evbuf_prepare_locked();
  if (g_evbuf.limit_bytes == 0) {
    if (dg_outbox_send(what, pkt) == 0) return EVBUF_SENT;
    g_evbuf.dropped_events += events;
    g_evbuf.dropped_packets++;
    return EVBUF_ERR_REFUSED;
  }
  // Older events go first; a packet overtakes nothing.
  evbuf_flush_locked();
  if (g_evbuf.link_ready && g_evbuf.held.count == 0 &&
      dg_outbox_add(pkt) == 0) {
    return EVBUF_SENT;
  }
  pkt = evbuf_compact(pkt);
  uint64_t bytes = evbuf_packet_bytes(pkt);
  if (bytes > g_evbuf.limit_bytes) {
    VKLOG(
        g_vklog, VL_ERROR,
        "[evbuf_submit] packet larger than the event buffer, dropped.(size:%llu,limit:%llu)[%s]\n",
        static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(g_evbuf.limit_bytes), what);
    remove_pkt(nullptr, pkt);
    g_evbuf.dropped_events += events;
    g_evbuf.dropped_packets++;
    return EVBUF_ERR_TOO_BIG;
  }
  while (g_evbuf.held.count > 0 && g_evbuf.held_bytes + bytes > g_evbuf.limit_bytes) {
    evbuf_drop_oldest_locked(what);
  }
  mlist_item_t *item = nullptr;
  auto *e = static_cast<evbuf_entry *>(mlist_new_item(sizeof(evbuf_entry), &item));
  if (e == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[evbuf_submit] no memory to hold a packet, dropped.[%s]\n", what);
    remove_pkt(nullptr, pkt);
    g_evbuf.dropped_events += events;
    g_evbuf.dropped_packets++;
    return EVBUF_ERR_REFUSED;
  }
  e->pkt = pkt;
  e->events = events;
  e->bytes = bytes;
  mlist_push_back(&g_evbuf.held, item);
  g_evbuf.held_bytes += bytes;
  g_evbuf.held_events += events;
  return EVBUF_HELD;
}

int evbuf_take_back(mlist_item_t *const *pkts, uint32_t count) {
  if (pkts == nullptr || count == 0) return 0;
  std::lock_guard<std::mutex> guard(g_evbuf.lock);
  evbuf_prepare_locked();
  const char *what = "evbuf_take_back";
  uint64_t dropped_events = 0;
  uint32_t dropped_packets = 0;
  // The packets taken back, oldest first, then the held ones behind them.
  mlist_t front;
  mlist_init(&front, evbuf_entry_clear, nullptr);
  uint64_t front_bytes = 0;
  uint64_t front_events = 0;
  for (uint32_t i = 0; i < count; i++) {
    mlist_item_t *pkt = pkts[i];
    if (pkt == nullptr) continue;
    auto *pd = static_cast<pkt_data *>(mlist_get_data_from_item(nullptr, pkt));
    uint32_t events = pd != nullptr ? pd->events : 0;
    mlist_item_t *item = nullptr;
    evbuf_entry *e = nullptr;
    if (g_evbuf.limit_bytes > 0) {
      pkt = evbuf_compact(pkt);
      if (evbuf_packet_bytes(pkt) <= g_evbuf.limit_bytes) {
        e = static_cast<evbuf_entry *>(mlist_new_item(sizeof(evbuf_entry), &item));
      }
    }
    if (e == nullptr) {
      remove_pkt(nullptr, pkt);
      dropped_events += events;
      dropped_packets++;
      continue;
    }
    e->pkt = pkt;
    e->events = events;
    e->bytes = evbuf_packet_bytes(pkt);
    mlist_push_back(&front, item);
    front_bytes += e->bytes;
    front_events += events;
  }
  uint32_t taken = front.count;
  mlist_move(&front, &g_evbuf.held);
  mlist_move(&g_evbuf.held, &front);
  g_evbuf.held_bytes += front_bytes;
  g_evbuf.held_events += front_events;
  g_evbuf.dropped_events += dropped_events;
  g_evbuf.dropped_packets += dropped_packets;
  g_evbuf.outage_dropped_events += dropped_events;
  while (g_evbuf.held.count > 0 && g_evbuf.held_bytes > g_evbuf.limit_bytes) {
    evbuf_drop_oldest_locked(what);
    if (taken > 0) taken--;
  }
  if (dropped_packets > 0) {
    VKLOG(g_vklog, VL_WARN,
          "[evbuf_take_back] events the link had not sent are dropped.(packets:%u,events:%llu,"
          "limit:%llu bytes)\n",
          dropped_packets, static_cast<unsigned long long>(dropped_events),
          static_cast<unsigned long long>(g_evbuf.limit_bytes));
  }
  if (taken > 0) {
    VKLOG(g_vklog, VL_NOTICE,
          "[evbuf_take_back] events the link had not sent are held for the next "
          "connection.(packets:%u,events:%llu)\n",
          taken, static_cast<unsigned long long>(front_events));
  }
  return static_cast<int>(taken);
}

void evbuf_get_stats(evbuf_stats_t *out) {
  if (out == nullptr) return;
  std::lock_guard<std::mutex> guard(g_evbuf.lock);
  out->limit_bytes = g_evbuf.limit_bytes;
  out->held_bytes = g_evbuf.held_bytes;
  out->held_packets = g_evbuf.held_ready ? g_evbuf.held.count : 0;
  out->held_events = g_evbuf.held_events;
  out->dropped_events = g_evbuf.dropped_events;
  out->dropped_packets = g_evbuf.dropped_packets;
  out->sent_late_events = g_evbuf.sent_late_events;
  out->link_ready = g_evbuf.link_ready;
}

void evbuf_log_stats(void) {
  evbuf_stats_t s;
  evbuf_get_stats(&s);
  VKLOG(g_vklog, VL_INFO,
        "event buffer: held[%u pkt,%llu ev,%llu/%llu B],sent late[%llu],dropped[%llu ev]\n",
        s.held_packets, static_cast<unsigned long long>(s.held_events),
        static_cast<unsigned long long>(s.held_bytes),
        static_cast<unsigned long long>(s.limit_bytes),
        static_cast<unsigned long long>(s.sent_late_events),
        static_cast<unsigned long long>(s.dropped_events));
}
