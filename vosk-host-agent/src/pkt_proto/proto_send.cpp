#include "pkt_proto/proto_send.h"

#include <stdlib.h>
#include <string.h>

#include "collect_hooks.h"
#include "common_agent_info.h"
#include "host_common.h"
#include "hostinfo.h"
#include "on_demand.h"
#include "pub_conf.h"
#include "thr_dgconn.h"
#include "thr_package_manager.h"
#include "util.h"
#include "vk_comm.h"
#include "vk_util.h"
#include "vklog.h"

size_t host_make_packet(uint8_t **packet, uint16_t code, uint8_t status, const void *body,
                        size_t length) {
  return wrap_packet_nio_header(packet, body, length, HOST_PKT_FLAG, code, 0, status,
                                HOST_PKT_BODY_VERSION);
}

int host_queue_message(uint16_t code, uint8_t status, const void *body, size_t length) {
  uint8_t *packet = nullptr;
  size_t size = host_make_packet(&packet, code, status, body, length);
  if (size == 0) return -1;
  add_to_send_buffer(code, packet, size);
  return 0;
}

int build_host_agent_info(uint8_t **packet, size_t *length) {
  const host_agent_info_t *info = initialize_agent_info();
  refresh_agent_addresses();
  char host_id[HOST_ID_LEN + 4];
  get_host_agent_id(host_id, sizeof(host_id));
  size_t ws_size = 8192 + 32u * info->ip_list.count + 24u * info->mac_list.count;
  void *ws = malloc(ws_size);
  int ret = 0;
  common_req_agent_info_message_t *m =
      ws != nullptr ? common_req_agent_info_message_new(ws, ws_size) : nullptr;
  if (m == nullptr || common_req_agent_info_message_ip_infos_alloc(m, info->ip_list.count) != 0 ||
      common_req_agent_info_message_mac_infos_alloc(m, info->mac_list.count) != 0 ||
      (host_id[0] != '\0' && common_req_agent_info_message_custom_infos_alloc(m, 1) != 0)) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_host_agent_info] common_req_agent_info_message_new failed. buffer size: %d\n",
          static_cast<int>(ws_size));
    ret = -1;
  }
  if (ret == 0) {
    m->time = static_cast<int64_t>(vk_get_time_msec());
    m->agent_name_p = HOST_PROCESS_NAME;
    m->agent_version_p = host_agent_version_text();
    m->platform_type = 1;
    m->agent_type = 1;
    m->agent_protocol_version = 20231103;
    m->hostname_p = info->hostname;
    m->machine_id_p = info->machine_id;
    m->os_version_p = info->os_version;
    m->os_type = 4;
    m->cpu_arch = 5;
    m->cpu_physical_count = static_cast<uint32_t>(info->cpu_physical_count);
    m->cpu_logical_count = static_cast<uint32_t>(info->cpu_logical_count);
    int i = 0;
    for (const vk_ip_struct *ip = info->ip_list.list; ip != nullptr && i < m->ip_infos.length;
         ip = ip->next, i++) {
      m->ip_infos.items_p[i].ip_version = ip->version;
      m->ip_infos.items_p[i].ip_addr.buf_p = const_cast<uint8_t *>(ip->ip);
      m->ip_infos.items_p[i].ip_addr.size = static_cast<uint64_t>(ip->ip_len);
    }
    i = 0;
    for (const vk_mac_struct *mac = info->mac_list.list; mac != nullptr && i < m->mac_infos.length;
         mac = mac->next, i++) {
      m->mac_infos.items_p[i].mac_addr.buf_p = const_cast<uint8_t *>(mac->mac);
      m->mac_infos.items_p[i].mac_addr.size = VK_MAC_LEN;
    }
    if (host_id[0] != '\0') {
      m->custom_infos.items_p[0].key_p = "host_id";
      m->custom_infos.items_p[0].value_p = host_id;
    }
    m->boot_time = static_cast<int64_t>(g_agent_boot_time);
    // 64 KiB holds a usual host; one with thousands of addresses (routers,
    // container hosts) needs more: the buffer doubles while the encoder
    // reports it full, up to HOST_AGENT_INFO_BUFFER_MAX.
    size_t size = HOST_AGENT_INFO_BUFFER_SIZE;
    uint8_t *encoded = nullptr;
    int n = -PBWIRE_ENCODE_BUFFER_FULL;
    while (n == -PBWIRE_ENCODE_BUFFER_FULL && size <= HOST_AGENT_INFO_BUFFER_MAX) {
      free(encoded);
      encoded = static_cast<uint8_t *>(malloc(size));
      n = encoded != nullptr ? common_req_agent_info_message_encode(m, encoded, size)
                             : -PBWIRE_OUT_OF_MEMORY;
      if (n == -PBWIRE_ENCODE_BUFFER_FULL) size *= 2;
    }
    if (n < 0) {
      VKLOG(g_vklog, VL_ERROR,
            "[send_host_agent_info] common_req_agent_info_message_encode failed(%d). buffer "
            "size: %d\n",
            n, static_cast<int>(size));
      ret = -2;
    } else {
      *length = host_make_packet(packet, HOST_PKT_REQ_AGENT_INFO, HOST_PKT_STATUS_HANDSHAKE,
                                 encoded, static_cast<size_t>(n));
      if (*length == 0) ret = -3;
    }
    free(encoded);
  }
  free(ws);
  return ret;
}

int send_req_timesync(void) {
  uint8_t ws[256], encoded[64];
  req_time_sync_t *m = req_time_sync_new(ws, sizeof(ws));
  if (m == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[send_req_timesync] req_time_sync_new failed. buffer size: %d\n",
          static_cast<int>(sizeof(ws)));
    return -1;
  }
  m->agent_time = vk_get_time_msec();
  int n = req_time_sync_encode(m, encoded, sizeof(encoded));
  if (n < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_req_timesync] req_time_sync_encode failed(%d). buffer size: %d\n", n,
          static_cast<int>(sizeof(encoded)));
    return -2;
  }
  VKLOG(g_vklog, VL_DEBUG, "[send_req_timesync] server_time:%lld\n",
        static_cast<long long>(m->agent_time));
  VKLOG(g_vklog_console_debug, VL_TRACE, "[send_req_timesync] server_time:%lld\n",
        static_cast<long long>(m->agent_time));
  return host_queue_message(HOST_PKT_REQ_TIMESYNC, HOST_PKT_STATUS_HANDSHAKE, encoded,
                            static_cast<size_t>(n)) == 0
             ? 0
             : -3;
}

int send_res_timezone_offset(void) {
  uint8_t ws[256], encoded[64];
  res_timezone_offset_message_t *m = res_timezone_offset_message_new(ws, sizeof(ws));
  if (m == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_res_timezone_offset] res_timezone_offset_message_new failed. buffer size: %d\n",
          static_cast<int>(sizeof(ws)));
    return -1;
  }
  int64_t offset = timezone_offset_msec();
  m->status = 0;
  m->current_time = vk_get_time_msec();
  m->offset = static_cast<uint64_t>(offset);
  int n = res_timezone_offset_message_encode(m, encoded, sizeof(encoded));
  if (n < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_res_timezone_offset] res_timezone_offset_message_encode failed(%d). buffer "
          "size: %d\n",
          n, static_cast<int>(sizeof(encoded)));
    return -2;
  }
  VKLOG(g_vklog, VL_INFO, "[send_res_timezone_offset] offset:%lld\n",
        static_cast<long long>(offset));
  return host_queue_message(HOST_PKT_RES_TIMEZONE, HOST_PKT_STATUS_ANSWER, encoded,
                            static_cast<size_t>(n)) == 0
             ? 0
             : -3;
}

void host_after_handshake(void) {
  send_req_timesync();
  if (g_collect_hooks.system_info_send != nullptr) {
    g_collect_hooks.system_info_send();
  } else {
    VKLOG(g_vklog, VL_INFO, "[thr_DGConn] system information collector not built; nothing sent\n");
  }
  host_package_collect("thr_DGConn");
}

void host_link_hooks_fill(dg_link_hooks_t *hooks) {
  hooks->build_handshake = build_host_agent_info;
  hooks->on_connect = host_after_handshake;
}
