#include "dgcomm_util.h"

#include <stdlib.h>
#include <string.h>

#include "common.h"
#include "common_agent_info.h"
#include "config.h"
#include "dgcomm.h"
#include "environment.h"
#include "network_collect_info.h"
#include "version.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

// Every string field costs at most its key and a 10-byte length on the wire.
constexpr size_t kStringFieldOverhead = 12;

size_t text_size(const char *s) {
  return s == nullptr ? 0 : strlen(s) + kStringFieldOverhead;
}

// 8-byte aligned stack workspace for the small messages.
struct small_workspace {
  alignas(8) uint8_t data[DG_SMALL_MESSAGE_SIZE];
};

}  // namespace

size_t dg_agent_info_workspace_size(size_t ip_count, size_t mac_count) {
  size_t sum = DG_AGENT_INFO_BASE_SIZE + DG_AGENT_INFO_IP_ITEM_SIZE * ip_count +
               DG_AGENT_INFO_MAC_ITEM_SIZE * mac_count;
  return (sum / 128 + 1) * 128;
}

int send_agent_info(void) {
  // The hardware addresses are read first: the workspace is sized for them.
  uint8_t macs[DG_AGENT_MAC_BUFFER_SIZE];
  int mac_count = get_if_hardware_addr(macs, sizeof(macs));
  if (mac_count <= 0) {
    VKLOG(g_vklog, VL_ERROR, "get hardware address(mac) has failed.\n");
    exit(10);
  }
  size_t ip_count = g_ip_list.count;
  size_t ws_size = dg_agent_info_workspace_size(ip_count, static_cast<size_t>(mac_count));
  uint8_t *ws = static_cast<uint8_t *>(malloc(ws_size));
  common_req_agent_info_message_t *msg =
      ws != nullptr ? common_req_agent_info_message_new(ws, ws_size) : nullptr;
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_agent_info] common_agent_req_agent_info_message_new failed.(size: %lu)\n",
          static_cast<unsigned long>(ws_size));
    free(ws);
    return -1;
  }

  msg->time = static_cast<int64_t>(vk_get_time_msec());
  msg->agent_name_p = g_agent_config.app_name;
  msg->agent_version_p = get_simple_version_string();
  msg->platform_type = DG_AGENT_PLATFORM_TYPE;
  msg->agent_type = DG_AGENT_TYPE;
  msg->agent_protocol_version = DG_AGENT_PROTOCOL_VERSION;
  msg->hostname_p = g_hostname;
  msg->machine_id_p = g_machine_id;
  msg->os_type = DG_AGENT_OS_TYPE;
  msg->os_version_p = g_os_version;
  msg->cpu_arch = DG_AGENT_CPU_ARCH;
  msg->cpu_physical_count = static_cast<uint32_t>(g_cpu_physical_count);
  msg->cpu_logical_count = static_cast<uint32_t>(g_cpu_logical_count);

  if (ip_count > 0) {
    if (common_req_agent_info_message_ip_infos_alloc(msg, static_cast<int>(ip_count)) != 0) {
      VKLOG(g_vklog, VL_ERROR,
            "common_agent_req_agent_info_message_ip_infos_alloc() has failed.(size:%u, pos:%u)\n",
            static_cast<unsigned>(ws_size), static_cast<unsigned>(msg->base.heap_p->pos));
      free(ws);
      return -1;
    }
    size_t i = 0;
    for (const vk_ip_struct *ip = g_ip_list.list; ip != nullptr && i < ip_count; ip = ip->next) {
      common_ip_info_t *item = &msg->ip_infos.items_p[i++];
      item->ip_version = ip->version;
      item->ip_addr.buf_p = ip->ip;
      item->ip_addr.size = static_cast<uint64_t>(ip->ip_len);
      VKLOG(g_vklog, VL_INFO, "ip info[var:%hu,%u.%u.%u.%u]\n", ip->version, ip->ip[0], ip->ip[1],
            ip->ip[2], ip->ip[3]);
    }
    msg->ip_infos.length = static_cast<int32_t>(i);
  }

  if (common_req_agent_info_message_mac_infos_alloc(msg, mac_count) != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "common_agent_req_agent_info_message_ip_infos_alloc() has failed.(size:%u, pos:%u)\n",
          static_cast<unsigned>(ws_size), static_cast<unsigned>(msg->base.heap_p->pos));
    free(ws);
    return -1;
  }
  for (int i = 0; i < mac_count; i++) {
    const uint8_t *m = macs + 6 * i;
    msg->mac_infos.items_p[i].mac_addr.buf_p = m;
    msg->mac_infos.items_p[i].mac_addr.size = 6;
    VKLOG(g_vklog, VL_INFO, "mac[%lu] info[%02X:%02X:%02X:%02X:%02X:%02X]\n",
          static_cast<unsigned long>(i), m[0], m[1], m[2], m[3], m[4], m[5]);
  }
  msg->custom_infos.length = 0;

  // The workspace holds the structures, not the texts they point at: the
  // packet gets room for the texts on top, so long names still fit.
  size_t size = ws_size + text_size(msg->agent_name_p) + text_size(msg->agent_version_p) +
                text_size(msg->hostname_p) + text_size(msg->machine_id_p) +
                text_size(msg->os_version_p);
  mlist_item_t *item = nullptr;
  pkt_data *pd = dg_new_packet("send_agent_info", DG_PKT_REQ_AGENT_INFO, size, &item);
  int r = -1;
  if (pd != nullptr) {
    r = dg_queue_encoded("send_agent_info", item, pd,
                         common_req_agent_info_message_encode(msg, pd->body, size),
                         "encode(agent info) has success.(body_len:%lu)\n");
  }
  free(ws);
  return r;
}

int send_packet_result(const char *req_id, int success, const char *fail_message) {
  small_workspace ws;
  network_packet_result_t *msg = network_packet_result_new(ws.data, sizeof(ws.data));
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_packet_result] network_packet_result_new() has failed.(size:%lu)\n",
          static_cast<unsigned long>(sizeof(ws.data)));
    return -1;
  }
  if (req_id != nullptr) msg->request_id_p = req_id;
  msg->success = success != 0;
  if (fail_message != nullptr && fail_message[0] != '\0') msg->fail_message_p = fail_message;
  // The ids come from the collector: room for them on top of the message.
  size_t size = DG_SMALL_MESSAGE_SIZE + text_size(req_id) + text_size(fail_message);
  mlist_item_t *item = nullptr;
  pkt_data *pd = dg_new_packet("send_packet_result", DG_PKT_PACKET_RESULT, size, &item);
  if (pd == nullptr) return -1;
  return dg_queue_encoded("send_packet_result", item, pd,
                          network_packet_result_encode(msg, pd->body, size),
                          "encode(agent info) has success.(body_len:%lu)\n");
}

int send_request_command(const char *command) {
  small_workspace ws;
  network_req_command_t *msg = network_req_command_new(ws.data, sizeof(ws.data));
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_request_command] network_req_command_new() has failed.(size:%lu)\n",
          static_cast<unsigned long>(sizeof(ws.data)));
    return -1;
  }
  if (command != nullptr) msg->command_p = command;
  VKLOG(g_vklog, VL_INFO, "[send_request_command] request command:%s\n", msg->command_p);
  // Refusals are logged under the agent information's name, as the agent
  // always has.
  mlist_item_t *item = nullptr;
  size_t size = DG_SMALL_MESSAGE_SIZE + text_size(command);
  pkt_data *pd = dg_new_packet("send_agent_info", DG_PKT_REQ_COMMAND, size, &item);
  if (pd == nullptr) return -1;
  return dg_queue_encoded("send_agent_info", item, pd,
                          network_req_command_encode(msg, pd->body, size),
                          "encode(network_req_command) has success.(body_len:%lu)\n");
}

int send_request_collect_event(const char *device_id) {
  small_workspace ws;
  network_req_collect_event_t *msg = network_req_collect_event_new(ws.data, sizeof(ws.data));
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_request_collect_event] network_req_collect_event_new() has failed.(size:%lu)\n",
          static_cast<unsigned long>(sizeof(ws.data)));
    return -1;
  }
  if (device_id != nullptr) msg->device_id_p = device_id;
  mlist_item_t *item = nullptr;
  size_t size = DG_SMALL_MESSAGE_SIZE + text_size(device_id);
  pkt_data *pd = dg_new_packet("send_request_collect_event", DG_PKT_REQ_COLLECT_EVENT, size, &item);
  if (pd == nullptr) return -1;
  return dg_queue_encoded("send_request_collect_event", item, pd,
                          network_req_collect_event_encode(msg, pd->body, size),
                          "encode(network_req_collect_event) has success.(body_len:%lu)\n");
}

int send_discovery_device(const char *request_id, snmp_info *info) {
  // One workspace for the life of the process, used only by DG_Comm.
  static uint8_t *s_ws = nullptr;
  discovery_device dd;
  memset(&dd, 0, sizeof(dd));
  int dr = sm_discovery_device(info, &dd);
  if (dr < 0) {
    VKLOG(g_vklog, VL_ERROR, "sm_discovery_device() has failed.(ret:%d)(error:%s)\n", dr,
          dd.message);
  }
  if (s_ws == nullptr) {
    s_ws = static_cast<uint8_t *>(malloc(DG_DISCOVERY_MESSAGE_SIZE));
    if (s_ws == nullptr) return -1;
    VKLOG(g_vklog, VL_DEBUG, "buffer(network_discovery_device) allocate.(size:%lu)\n",
          static_cast<unsigned long>(DG_DISCOVERY_MESSAGE_SIZE));
  }
  network_discovery_device_t *msg = network_discovery_device_new(s_ws, DG_DISCOVERY_MESSAGE_SIZE);
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "network_discovery_device_new() has failed.(size:%lu)\n",
          static_cast<unsigned long>(DG_DISCOVERY_MESSAGE_SIZE));
    return -1;
  }
  int ar = network_discovery_device_snmp_alloc(msg);
  if (ar != 0) {
    VKLOG(g_vklog, VL_ERROR, "network_discovery_device_snmp_alloc() has failed.(ret:%d,size:%lu)\n",
          ar, static_cast<unsigned long>(DG_DISCOVERY_MESSAGE_SIZE));
    return -2;
  }
  ar = network_snmp_info_security_alloc(msg->snmp_p);
  if (ar != 0) {
    VKLOG(g_vklog, VL_ERROR, "network_snmp_info_security_alloc() has failed.(ret:%d,size:%lu)\n",
          ar, static_cast<unsigned long>(DG_DISCOVERY_MESSAGE_SIZE));
    return -3;
  }
  ar = network_discovery_device_system_alloc(msg);
  if (ar != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "network_discovery_device_system_alloc() has failed.(ret:%d,size:%lu)\n", ar,
          static_cast<unsigned long>(DG_DISCOVERY_MESSAGE_SIZE));
    return -4;
  }

  if (request_id != nullptr) msg->request_id_p = request_id;
  bool ok = dr == 0 && dd.success != 0 && info != nullptr;
  if (ok) {
    msg->ip_p = info->ip;
    msg->port = info->port;
    if (info->version != 3) msg->snmp_p->security_p = nullptr;
    if (conv_snmp_info_to_proto(info, msg->snmp_p) != 0) msg->snmp_p = nullptr;
    conv_device_system_to_proto(&dd.device_system, msg->system_p);
  } else {
    // A failed discovery reports only its outcome: no address, access or
    // system facts.
    msg->snmp_p = nullptr;
    msg->system_p = nullptr;
  }
  msg->success = ok;
  if (dd.message[0] != '\0') msg->fail_message_p = dd.message;
  VKLOG(g_vklog, VL_INFO, "[send_discovery_device] discovery:%s,message:%s\n",
        ok ? "true" : "false", dd.message[0] != '\0' ? dd.message : "null");
  mlist_item_t *item = nullptr;
  pkt_data *pd = dg_new_packet("send_discovery_device", DG_PKT_DISCOVERY_DEVICE,
                               DG_DISCOVERY_MESSAGE_SIZE, &item);
  if (pd == nullptr) return -1;
  return dg_queue_encoded("send_discovery_device", item, pd,
                          network_discovery_device_encode(msg, pd->body, DG_DISCOVERY_MESSAGE_SIZE),
                          "encode(agent info) has success.(body_len:%lu)\n");
}

int conv_snmp_info_to_proto(const snmp_info *info, network_snmp_info_t *proto) {
  if (info == nullptr || proto == nullptr) return -1;
  switch (info->version) {
    case 0:
      proto->version = _v1_e;
      break;
    case 1:
      proto->version = _v2c_e;
      break;
    case 3:
      proto->version = _v3_e;
      break;
    default:
      VKLOG(g_vklog, VL_ERROR, "[conv_snmp_info_to_proto] snmp version is wrong.\n");
      return -1;
  }
  if (info->community[0] != '\0') proto->community_p = info->community;
  if (info->version == 3 && proto->security_p != nullptr) {
    if (conv_snmp_sec_info_to_proto(&info->security, proto->security_p) != 0) return -2;
  }
  return 0;
}

int conv_snmp_sec_info_to_proto(const snmp_sec_info *sec_info, network_snmp_security_t *proto) {
  if (sec_info == nullptr || proto == nullptr) return -1;
  switch (sec_info->level) {
    case SM_SEC_LEVEL_NOAUTH:
      proto->security_level = _no_auth_no_priv_e;
      break;
    case SM_SEC_LEVEL_AUTHNOPRIV:
      proto->security_level = _auth_no_priv_e;
      break;
    case SM_SEC_LEVEL_AUTHPRIV:
      proto->security_level = _auth_priv_e;
      break;
    default:
      return -1;
  }
  if (sec_info->name[0] != '\0') proto->security_name_p = sec_info->name;
  if (sec_info->level != SM_SEC_LEVEL_NOAUTH) {
    if (sec_info->auth_algorithm != 0) {
      proto->auth_algorithm = static_cast<uint32_t>(sec_info->auth_algorithm);
      proto->auth_password_p = sec_info->auth_password;
    }
    if (sec_info->priv_algorithm != 0) {
      proto->privacy_algorithm = static_cast<uint32_t>(sec_info->priv_algorithm);
      proto->privacy_password_p = sec_info->priv_password;
    }
  }
  return 0;
}

int conv_device_system_to_proto(const device_system *system, network_device_system_t *proto) {
  if (system == nullptr || proto == nullptr) return -1;
  proto->name_p = system->name;
  proto->oid_p = system->object_id;
  proto->description_p = system->description;
  proto->contract_p = system->contract;
  proto->uptime = system->uptime;
  proto->collect_time = system->collect_time;
  return 0;
}

int send_discovery_refused(const char *request_id, const char *reason) {
  small_workspace ws;
  network_discovery_device_t *msg = network_discovery_device_new(ws.data, sizeof(ws.data));
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_discovery_refused] network_discovery_device_new() has failed.\n");
    return -1;
  }
  if (request_id != nullptr) msg->request_id_p = request_id;
  msg->success = false;
  if (reason != nullptr && reason[0] != '\0') msg->fail_message_p = reason;
  VKLOG(g_vklog, VL_INFO, "[send_discovery_refused] discovery:false,message:%s\n",
        reason != nullptr ? reason : "null");
  size_t size = DG_SMALL_MESSAGE_SIZE + text_size(request_id) + text_size(reason);
  mlist_item_t *item = nullptr;
  pkt_data *pd = dg_new_packet("send_discovery_refused", DG_PKT_DISCOVERY_DEVICE, size, &item);
  if (pd == nullptr) return -1;
  return dg_queue_encoded("send_discovery_refused", item, pd,
                          network_discovery_device_encode(msg, pd->body, size),
                          "encode(discovery refused) has success.(body_len:%lu)\n");
}
