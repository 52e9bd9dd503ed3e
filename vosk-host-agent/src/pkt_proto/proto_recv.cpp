#include "pkt_proto/proto_recv.h"

#include <stdlib.h>
#include <string.h>

#include "collect_hooks.h"
#include "common_agent_info.h"
#include "host_common.h"
#include "hostinfo.h"
#include "on_demand.h"
#include "pbwire.h"
#include "pkt_proto/proto_send.h"
#include "thr_dgconn.h"
#include "vk_comm.h"
#include "vklog.h"

namespace {

constexpr size_t kAgentInfoDecodeSize = 1024;

int send_res_ping(int sock) {
  uint8_t *packet = nullptr;
  size_t size = host_make_packet(&packet, HOST_PKT_RES_PING, HOST_PKT_STATUS_ANSWER, nullptr, 0);
  if (size == 0) return -1;
  ssize_t n = dg_send_direct(sock, packet, size);
  free(packet);
  VKLOG(g_vklog, VL_DEBUG, "[send_res_ping] ping.(%d)\n", static_cast<int>(n));
  return 0;
}

int process_req_process_limits(const uint8_t *body, size_t length) {
  if (g_collect_hooks.process_limits_request == nullptr) {
    VKLOG(g_vklog, VL_INFO,
          "[process_req_process_limits] process collector not built; request ignored\n");
    return 0;
  }
  return g_collect_hooks.process_limits_request(body, length);
}

// Reads a varint at *p (below end); false when it runs past the end.
bool wire_varint(const uint8_t **p, const uint8_t *end, uint64_t *v) {
  *v = 0;
  for (int shift = 0; shift < 64 && *p < end; shift += 7) {
    uint8_t b = *(*p)++;
    *v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

// The sent length of each map entry's value, in wire order, from the raw
// body of a configuration message (field 1: entries of key 1 and value 2).
// The decoded strings end at a NUL; these lengths show one inside. Returns
// the number of entries, or -1 when the body is not as expected (up to
// `max` lengths are stored).
int config_value_lengths(const uint8_t *body, size_t length, size_t *lengths, int max) {
  const uint8_t *p = body, *end = body + length;
  int count = 0;
  while (p < end) {
    uint64_t tag = 0, len = 0;
    if (!wire_varint(&p, end, &tag)) return -1;
    if ((tag & 7) != 2) {
      uint64_t skip = 0;
      if ((tag & 7) != 0 || !wire_varint(&p, end, &skip)) return -1;
      continue;
    }
    if (!wire_varint(&p, end, &len) || len > static_cast<uint64_t>(end - p)) return -1;
    const uint8_t *entry = p, *entry_end = p + len;
    p = entry_end;
    if ((tag >> 3) != 1) continue;
    size_t value_length = 0;
    while (entry < entry_end) {
      uint64_t etag = 0, elen = 0;
      if (!wire_varint(&entry, entry_end, &etag)) return -1;
      if ((etag & 7) != 2) {
        uint64_t skip = 0;
        if ((etag & 7) != 0 || !wire_varint(&entry, entry_end, &skip)) return -1;
        continue;
      }
      if (!wire_varint(&entry, entry_end, &elen) || elen > static_cast<uint64_t>(entry_end - entry))
        return -1;
      if ((etag >> 3) == 2) value_length = static_cast<size_t>(elen);
      entry += elen;
    }
    if (count < max) lengths[count] = value_length;
    count++;
  }
  return count;
}

}  // namespace

int read_msg_nio(uint8_t *buffer, void *context) {
  dg_recv_ctx_t *ctx = static_cast<dg_recv_ctx_t *>(context);
  uint32_t body_length = vk_get_be32(buffer + 8);
  if (body_length < NIO_SUB_HEADER_SIZE) {
    VKLOG(g_vklog, VL_ERROR, "[read_msg_nio] body length %u shorter than the sub header\n",
          body_length);
    return -1;
  }
  uint16_t code = vk_get_be16(buffer + NIO_MAIN_HEADER_SIZE);
  int ret =
      process_msg_common(ctx, code, buffer + NIO_HEADER_SIZE, body_length - NIO_SUB_HEADER_SIZE);
  return ret < 0 ? ret : 0;
}

int process_msg_common(dg_recv_ctx_t *ctx, uint16_t code, const uint8_t *body, size_t length) {
  switch (code) {
    case HOST_PKT_REQ_PING:
      return send_res_ping(ctx->sock);
    case HOST_PKT_REQ_TIMEZONE:
      send_res_timezone_offset();
      return 0;
    case HOST_PKT_RES_TIMESYNC:
      return process_res_timesync(body, length);
    case HOST_PKT_RES_AGENT_INFO: {
      ctx->got_agent_info = 1;
      int ret = process_res_common_agent_info(body, length);
      return ret == -4 ? 0 : ret;
    }
    case HOST_PKT_RES_AGENT_CONFIG:
      return process_res_agent_config(body, length);
    case HOST_PKT_REQ_PROCESS_LIMITS:
      return process_req_process_limits(body, length);
    default:
      VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00060080] Packet processing failed.(%d)\n", code);
      return 1;
  }
}

int process_res_common_agent_info(const uint8_t *body, size_t length) {
  alignas(8) uint8_t ws[kAgentInfoDecodeSize];
  common_res_agent_info_message_t *m = common_res_agent_info_message_new(ws, sizeof(ws));
  if (m == nullptr || common_res_agent_info_message_decode(m, body, length) < 0 ||
      m->agent_id_p == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[process_res_common_agent_info] common_res_agent_info_message_decode failed. buffer "
          "size: %d, packet size: %d\n",
          static_cast<int>(sizeof(ws)), static_cast<int>(length));
    return -2;
  }
  if (m->agent_id_p[0] == '\0') {
    VKLOG(g_vklog, VL_INFO, "[process_res_common_agent_info] wrong host id\n");
    return -3;
  }
  host_id_set(m->agent_id_p);
  char id[HOST_ID_LEN + 1];
  host_id_get(id, sizeof(id));
  VKLOG(g_vklog, VL_INFO, "[process_res_common_agent_info] host id: [%s]\n", id);
  VKLOG(g_vklog, VL_DEBUG,
        "[process_res_common_agent_info] protocol_version: %d, dg_protocol_version: %d\n",
        static_cast<int>(m->protocol_version), static_cast<int>(m->dg_protocol_version));
  if (store_host_agent_id(id) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[process_res_common_agent_info] host id file not written\n");
    return -4;
  }
  return 0;
}

int process_res_timesync(const uint8_t *body, size_t length) {
  alignas(8) uint8_t ws[256];
  res_time_sync_message_t *m = res_time_sync_message_new(ws, sizeof(ws));
  if (m == nullptr || res_time_sync_message_decode(m, body, length) < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[process_res_timesync] res_time_sync_message_decode failed. packet size: %d\n",
          static_cast<int>(length));
    return -2;
  }
  int32_t diff = static_cast<int32_t>(m->server_time - m->agent_time);
  int32_t offset = 0;
  if (timesync_add_sample(diff, &offset) == 1) {
    VKLOG(g_vklog, VL_INFO, "[process_res_timesync] timesync diff:%d\n", offset);
  } else {
    send_req_timesync();
  }
  return 0;
}

int process_res_agent_config(const uint8_t *body, size_t length) {
  // A map that does not fit the first workspace fails with out-of-memory;
  // it is decoded once more in a workspace sized from the body (each entry
  // of n wire bytes needs its record and at most n + 2 bytes of text).
  size_t size = HOST_CONFIG_DECODE_SIZE;
  void *ws = nullptr;
  common_res_agent_config_message_t *m = nullptr;
  int ret = -PBWIRE_OUT_OF_MEMORY;
  for (int attempt = 0; attempt < 2 && ret == -PBWIRE_OUT_OF_MEMORY; attempt++) {
    if (attempt == 1) size = HOST_CONFIG_DECODE_SIZE + 16 * length;
    free(ws);
    ws = malloc(size);
    m = ws != nullptr ? common_res_agent_config_message_new(ws, size) : nullptr;
    ret = m != nullptr ? common_res_agent_config_message_decode(m, body, length) : -1;
  }
  if (ret < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[process_res_agent_config] common_res_agent_config_message_decode failed(%d). buffer "
          "size: %d, packet size: %d\n",
          ret, static_cast<int>(size), static_cast<int>(length));
    free(ws);
    return -2;
  }
  int count = m->configs.length;
  conf_pair_t *pairs =
      count > 0
          ? static_cast<conf_pair_t *>(calloc(static_cast<size_t>(count), sizeof(conf_pair_t)))
          : nullptr;
  if (count > 0 && pairs == nullptr) count = 0;
  // The sent lengths, so that a value with a NUL inside is refused rather
  // than applied cut at the NUL (the decoded text holds every sent byte).
  size_t *lengths = count > 0
                        ? static_cast<size_t *>(calloc(static_cast<size_t>(count), sizeof(size_t)))
                        : nullptr;
  bool have_lengths =
      lengths != nullptr && config_value_lengths(body, length, lengths, count) == count;
  for (int i = 0; i < count; i++) {
    pairs[i].key = m->configs.items_p[i].key_p;
    pairs[i].value = m->configs.items_p[i].value_p;
    pairs[i].value_length = have_lengths ? lengths[i] : 0;
  }
  free(lengths);
  apply_remote_config(pairs, count);
  free(pairs);
  free(ws);
  return 0;
}
