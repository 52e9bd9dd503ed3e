#include "communication.h"

#include <stdlib.h>
#include <string.h>

#include "common.h"
#include "common_agent_info.h"
#include "dgcomm.h"
#include "vk_comm.h"
#include "vklog.h"

namespace {

constexpr int kAgentInfoDecodeAttempts = 5;
constexpr size_t kAgentInfoFirstWorkspace = 40;
constexpr size_t kAgentInfoWorkspaceStep = 1024;
constexpr size_t kConfigWorkspaceMin = 1024;
// A map entry takes 24 bytes of workspace for every 2 bytes on the wire at
// worst; its texts need no more than their own encoded size.
constexpr size_t kConfigWorkspacePerByte = 16;

const char *text_or_empty(const char *s) {
  return s != nullptr ? s : "";
}

}  // namespace

int recv_msg_process(const uint8_t *sub_header, uint32_t length) {
  if (sub_header == nullptr || length < DG_PKT_SUB_HEADER_SIZE) return -1;
  uint16_t type = vk_get_be16(sub_header);
  uint32_t id = vk_get_be32(sub_header + 2);
  uint8_t status = sub_header[6];
  uint32_t body_version = vk_get_be32(sub_header + 7);
  const uint8_t *payload = sub_header + DG_PKT_SUB_HEADER_SIZE;
  size_t payload_len = length - DG_PKT_SUB_HEADER_SIZE;
  const char *name = dg_recv_packet_type_name(type);
  VKLOG(g_vklog, VL_TRACE,
        "[recv_msg_process] msg type(%d)[%s],id[%u],status[%d],ver[%u],len[%u]\n", type, name, id,
        status, body_version, static_cast<unsigned>(payload_len));
  switch (type) {
    case DG_PKT_RES_AGENT_INFO:
      return recv_res_agent_info(payload, payload_len);
    case DG_PKT_RES_AGENT_CONFIG:
      return recv_config(payload, payload_len);
    case DG_PKT_CONNECT_TEST_DEVICE:
    case DG_PKT_DEVICE_LIST:
    case DG_PKT_ADD_COLLECT_EVENT:
    case DG_PKT_ADD_OID_PACK_LIST:
      // Known requests whose handlers this build does not carry yet: they
      // are dropped unanswered and the connection stays.
      VKLOG(g_vklog, VL_WARN, "[recv_msg_process] packet is not handled yet.[type:%d(%s)]\n", type,
            name);
      return -1;
    default:
      VKLOG(g_vklog, VL_ERROR, "receive packet is not support.[type:%d]\n", type);
      return -1;
  }
}

int recv_res_agent_info(const uint8_t *payload, size_t length) {
  // A workspace big enough for the structure and every text of the payload
  // is tried first; each further try adds 1 KiB.
  size_t want = kAgentInfoFirstWorkspace + length;
  uint8_t *ws = nullptr;
  common_res_agent_info_message_t *msg = nullptr;
  for (int attempt = 0; attempt < kAgentInfoDecodeAttempts; attempt++) {
    uint8_t *grown = static_cast<uint8_t *>(malloc(want));
    if (grown == nullptr) break;
    VKLOG(g_vklog, VL_DEBUG, "buffer(common_res_agent_info_message) allocate.(size:%lu)\n",
          static_cast<unsigned long>(want));
    common_res_agent_info_message_t *m = common_res_agent_info_message_new(grown, want);
    if (m == nullptr) {
      VKLOG(g_vklog, VL_DEBUG,
            "[recv_res_agent_info] common_res_agent_info_message_new() has failed.(want:%lu)\n",
            static_cast<unsigned long>(want));
      free(grown);
      want += kAgentInfoWorkspaceStep;
      continue;
    }
    free(ws);
    ws = grown;
    msg = m;
    int r = common_res_agent_info_message_decode(msg, payload, length);
    if (r >= 0) break;
    VKLOG(g_vklog, VL_DEBUG,
          "[recv_res_agent_info] common_res_agent_info_message_decode() has "
          "failed.[size(buf:%lu,packet:%lu,need:%lu)]\n",
          static_cast<unsigned long>(want), static_cast<unsigned long>(length),
          static_cast<unsigned long>(want + kAgentInfoWorkspaceStep));
    want += kAgentInfoWorkspaceStep;
  }
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[recv_res_agent_info] response agent into decode error.\n");
    dg_reconnect_with_status(gp_main_dgconn, DG_RECONNECT_INIT_FAILED);
    free(ws);
    return -1;
  }
  const char *agent_id = text_or_empty(msg->agent_id_p);
  VKLOG(g_vklog, VL_INFO, "[recv_res_agent_info] agent id: %s,proto[%u,dg:%u]\n", agent_id,
        msg->protocol_version, msg->dg_protocol_version);
  int ret = 0;
  if (agent_id[0] != '\0') {
    common_set_agent_id(agent_id, strlen(agent_id));
    if (g_dg_agent_hooks.activate != nullptr) g_dg_agent_hooks.activate();
  } else {
    VKLOG(g_vklog, VL_ERROR, "get agent id from datagather has failed.\n");
    dg_reconnect_with_status(gp_main_dgconn, DG_RECONNECT_INIT_FAILED);
    ret = -3;
  }
  free(ws);
  return ret;
}

int recv_config(const uint8_t *payload, size_t length) {
  size_t size = kConfigWorkspaceMin + kConfigWorkspacePerByte * length;
  uint8_t *ws = static_cast<uint8_t *>(malloc(size));
  common_res_agent_config_message_t *msg =
      ws != nullptr ? common_res_agent_config_message_new(ws, size) : nullptr;
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[recv_config] common_res_agent_config_message_new() failed.(size: %lu)\n",
          static_cast<unsigned long>(size));
    free(ws);
    return -1;
  }
  VKLOG(g_vklog, VL_DEBUG, "buffer(common_res_agent_config_message) allocate.(size:%lu)\n",
        static_cast<unsigned long>(size));
  int r = common_res_agent_config_message_decode(msg, payload, length);
  if (r < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[recv_config] common_res_agent_config_message_decode() has "
          "failed.[size(buf:%d,packet:%d),len:%d]\n",
          static_cast<int>(size), static_cast<int>(length), r);
    free(ws);
    return -2;
  }
  if (msg->configs.length == 0) {
    VKLOG(g_vklog, VL_INFO, "agent config received count is zero.(%d)\n", msg->configs.length);
  }
  for (int32_t i = 0; i < msg->configs.length; i++) {
    const common_res_agent_config_message_pbwire_map_configs_t *e = &msg->configs.items_p[i];
    VKLOG(g_vklog, VL_DEBUG, "key:%s,value:%s\n", text_or_empty(e->key_p),
          text_or_empty(e->value_p));
  }
  free(ws);
  return 0;
}
