#include "dg_outbox.h"

#include <atomic>

#include "pbwire.h"

dg_conn *gp_main_dgconn;

namespace {

std::atomic<uint64_t> g_outbox_refused{0};

}  // namespace

int dg_outbox_add(mlist_item_t *pkt) {
  return add_packet_to_dgcomm(gp_main_dgconn, pkt);
}

int dg_outbox_send(const char *func, mlist_item_t *pkt) {
  if (pkt == nullptr) return -1;
  int r = add_packet_to_dgcomm(gp_main_dgconn, pkt);
  if (r == 0) return 0;
  g_outbox_refused.fetch_add(1, std::memory_order_relaxed);
  VKLOG(g_vklog, VL_ERROR, "[%s] add_packet_to_dgcomm() has failed.(ret:%d)\n",
        func != nullptr ? func : "", r);
  remove_pkt(nullptr, pkt);
  return r;
}

int dg_outbox_seal(vklog_t *log, const char *func, mlist_item_t *item, pkt_data *pd, int n) {
  if (pd == nullptr || item == nullptr || n < 0) {
    VKLOG(log != nullptr ? log : g_vklog, VL_ERROR, "[%s] encode has failed.(ret:%d,%s)\n",
          func != nullptr ? func : "", n, n < 0 ? pbwire_error_code_to_string(n) : "no packet");
    remove_pkt(nullptr, item);
    return -1;
  }
  pd->body_len = static_cast<uint32_t>(n);
  return 0;
}

pkt_data *dg_new_packet(const char *func, uint16_t type, size_t size, mlist_item_t **item) {
  pkt_data *pd = make_packet_data(item, type, static_cast<uint32_t>(size));
  if (pd == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[%s] make_packet_data() has failed.(size:%lu)\n", func,
          static_cast<unsigned long>(size));
  }
  return pd;
}

int dg_queue_encoded(const char *func, mlist_item_t *item, pkt_data *pd, int n,
                     const char *encoded_log) {
  if (dg_outbox_seal(nullptr, func, item, pd, n) != 0) return -1;
  VKLOG(g_vklog, VL_DEBUG, encoded_log, static_cast<unsigned long>(pd->body_len));
  return dg_outbox_send(func, item) == 0 ? 0 : -3;
}

uint64_t dg_outbox_refused(void) {
  return g_outbox_refused.load(std::memory_order_relaxed);
}
