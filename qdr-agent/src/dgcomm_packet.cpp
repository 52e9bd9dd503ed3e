#include "dgcomm_packet.h"

#include <string.h>

#include "vk_comm.h"
#include "vklog.h"

pkt_main_header_t g_packet_main_header;
std::atomic<uint32_t> g_packet_id;

void packet_set_main_header(void) {
  memcpy(g_packet_main_header.magic_number, g_nio_magic_number, 3);
  g_packet_main_header.version = DG_PKT_HEADER_VERSION;
  g_packet_main_header.flag = NIO_FLAG_PROTOBUF;
  memset(g_packet_main_header.dummy, 0, sizeof(g_packet_main_header.dummy));
  g_packet_main_header.body_length = 0;
}

pkt_data *make_packet_data(mlist_item_t **pkt, uint16_t type, uint32_t size) {
  if (pkt == nullptr) return nullptr;
  *pkt = nullptr;
  mlist_item_t *item = nullptr;
  void *mem = mlist_new_item_uninit(sizeof(pkt_data) + NIO_HEADER_SIZE + static_cast<size_t>(size),
                                    &item);
  if (mem == nullptr || item == nullptr) return nullptr;
  pkt_data *data = static_cast<pkt_data *>(mem);
  data->type = type;
  data->body = static_cast<uint8_t *>(mem) + sizeof(pkt_data) + NIO_HEADER_SIZE;
  data->body_len = 0;
  data->events = 0;
  *pkt = item;
  return data;
}

void remove_pkt(struct dg_conn *pdgconn, mlist_item_t *pkt) {
  (void)pdgconn;  // the send queue has no clear function: the item is freed alone
  if (pkt == nullptr) return;
  mlist_destroy_item(nullptr, pkt);
}

int packet_data_serialize(pkt_data *data, pakcet_buffer_t *pkt_buf) {
  if (data == nullptr || pkt_buf == nullptr || data->body == nullptr) return -1;
  if (data->body_len > UINT32_MAX - NIO_SUB_HEADER_SIZE) return -1;
  uint8_t *p = data->body - NIO_HEADER_SIZE;
  memcpy(p, &g_packet_main_header, NIO_MAIN_HEADER_SIZE);
  vk_put_be32(p + 8, data->body_len + NIO_SUB_HEADER_SIZE);
  vk_put_be16(p + 12, data->type);
  uint32_t id = g_packet_id.fetch_add(1, std::memory_order_relaxed) + 1;
  vk_put_be32(p + 14, id);
  memset(p + 18, 0, 5);  // status and body version
  pkt_buf->buffer = p;
  pkt_buf->ptr = p;
  pkt_buf->length = static_cast<uint64_t>(data->body_len) + NIO_HEADER_SIZE;
  pkt_buf->remain = pkt_buf->length;
  return 0;
}

void packet_data_clear(pakcet_buffer_t *pkt_buf) {
  if (pkt_buf == nullptr) return;
  pkt_buf->buffer = nullptr;
  pkt_buf->length = 0;
  pkt_buf->remain = 0;
  pkt_buf->ptr = nullptr;
}

int _recovery_data_buffer(data_buffer_t *buf) {
  if (buf == nullptr || buf->length <= 2) return 0;
  // The last marker wins: what precedes it cannot start a packet that the
  // held bytes would complete.
  uint32_t pos = buf->length - 3;
  for (;;) {
    if (memcmp(buf->buffer + pos, g_nio_magic_number, 3) == 0) break;
    if (pos == 0) return -2;
    pos--;
  }
  if (pos == 0) return 0;
  uint32_t keep = buf->length - pos;
  memmove(buf->buffer, buf->buffer + pos, keep);
  buf->length = keep;
  return 0;
}
