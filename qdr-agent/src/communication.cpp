#include "communication.h"

#include <stdlib.h>
#include <string.h>

#include "agent.h"
#include "collect_oid.h"
#include "common.h"
#include "common_agent_info.h"
#include "device.h"
#include "dgcomm.h"
#include "dgcomm_util.h"
#include "icmp.h"
#include "network_agent_device_info.h"
#include "network_collect_info.h"
#include "pbwire.h"
#include "snmp_trap.h"
#include "syslog_receiver.h"
#include "vk_comm.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

constexpr int kAgentInfoDecodeAttempts = 5;
constexpr size_t kAgentInfoFirstWorkspace = 40;
constexpr size_t kAgentInfoWorkspaceStep = 1024;
constexpr size_t kConfigWorkspaceMin = 1024;
// A map entry takes 24 bytes of workspace for every 2 bytes on the wire at
// worst; its texts need no more than their own encoded size.
constexpr size_t kConfigWorkspacePerByte = 16;
// The configuration map carries a handful of settings; 16 MiB holds
// hundreds of thousands of entries. A map that needs more is refused
// instead of asking for gigabytes (a 290 MB packet would want 4.6 GB).
constexpr size_t kConfigWorkspaceMax = 16u * 1024u * 1024u;

const char *text_or_empty(const char *s) {
  return s != nullptr ? s : "";
}

}  // namespace

int recv_msg_process(const uint8_t *sub_header, uint32_t length) {
  if (sub_header == nullptr || length < NIO_SUB_HEADER_SIZE) return -1;
  uint16_t type = vk_get_be16(sub_header);
  uint32_t id = vk_get_be32(sub_header + 2);
  uint8_t status = sub_header[6];
  uint32_t body_version = vk_get_be32(sub_header + 7);
  const uint8_t *payload = sub_header + NIO_SUB_HEADER_SIZE;
  size_t payload_len = length - NIO_SUB_HEADER_SIZE;
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
      return recv_connect_test_device(payload, payload_len);
    case DG_PKT_DEVICE_LIST:
      return recv_device_list(payload, payload_len);
    case DG_PKT_ADD_COLLECT_EVENT:
      return recv_add_collect_event(payload, payload_len);
    case DG_PKT_ADD_OID_PACK_LIST:
      return recv_add_oid_pack_list(payload, payload_len);
    default:
      VKLOG(g_vklog, VL_ERROR, "receive packet is not support.[type:%d]\n", type);
      return -1;
  }
}

int recv_res_agent_info(const uint8_t *payload, size_t length) {
  // A workspace big enough for the structure and every text of the payload
  // is tried first; a further try with 1 KiB more is made only when the
  // workspace ran out. Any other decode failure means a broken answer:
  // fields decoded before the failure (an agent id, say) are not used.
  size_t want = kAgentInfoFirstWorkspace + length;
  uint8_t *ws = nullptr;
  common_res_agent_info_message_t *msg = nullptr;
  bool decoded = false;
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
    if (r >= 0) {
      decoded = true;
      break;
    }
    VKLOG(g_vklog, VL_DEBUG,
          "[recv_res_agent_info] common_res_agent_info_message_decode() has "
          "failed.[size(buf:%lu,packet:%lu,need:%lu)]\n",
          static_cast<unsigned long>(want), static_cast<unsigned long>(length),
          static_cast<unsigned long>(want + kAgentInfoWorkspaceStep));
    if (r != -PBWIRE_OUT_OF_MEMORY) break;
    want += kAgentInfoWorkspaceStep;
  }
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[recv_res_agent_info] response agent into decode error.\n");
    dg_reconnect_with_status(gp_main_dgconn, DG_RECONNECT_INIT_FAILED);
    free(ws);
    return -1;
  }
  const char *agent_id = decoded ? text_or_empty(msg->agent_id_p) : "";
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
  if (size > kConfigWorkspaceMax) size = kConfigWorkspaceMax;
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
  // A map whose entries do not fit the capped work area is refused; the link
  // stays up.
  if (size == kConfigWorkspaceMax && r == -PBWIRE_OUT_OF_MEMORY) {
    VKLOG(g_vklog, VL_ERROR,
          "[recv_config] configuration map does not fit the work area, refused.[size(buf:%lu,"
          "packet:%lu)]\n",
          static_cast<unsigned long>(size), static_cast<unsigned long>(length));
    free(ws);
    return -2;
  }
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

namespace {

// The list messages are decoded into a workspace of at least 64 KiB; a
// bigger list (tens of thousands of devices) grows it by doubling until the
// decode fits, up to kListWorkspacePerByte bytes for every payload byte.
constexpr size_t kListWorkspaceMin = 65535;
constexpr size_t kListWorkspacePerByte = 64;
// Absolute bound: a list that needs more is refused (logged) rather than
// asking for gigabytes.
constexpr size_t kListWorkspaceMax = 256u * 1024u * 1024u;
constexpr uint16_t kSnmpDefaultPort = 161;
constexpr long kConnectTestTimeoutUs = 1000000;
constexpr int kConnectTestRetries = 1;

typedef void *(*list_new_fn)(void *ws, size_t size);
typedef int (*list_decode_fn)(void *msg, const uint8_t *payload, size_t length);

// Decodes a list message into a workspace that grows while the decode runs
// out of room. Returns the message and stores the workspace (the caller
// frees it) in *ws; null with *ws null when no message could be made (*rc
// -1) or the payload does not decode, or does not fit within
// kListWorkspaceMax (*rc -2).
void *decode_list(const char *func, const char *msg_name, const uint8_t *payload, size_t length,
                  list_new_fn make, list_decode_fn decode, uint8_t **ws, int *rc) {
  *ws = nullptr;
  size_t size = kListWorkspaceMin;
  size_t cap = kListWorkspaceMin + kListWorkspacePerByte * length;
  if (cap > kListWorkspaceMax) cap = kListWorkspaceMax;
  while (size <= cap) {
    uint8_t *buf = static_cast<uint8_t *>(malloc(size));
    void *msg = buf != nullptr ? make(buf, size) : nullptr;
    if (msg == nullptr) {
      VKLOG(g_vklog, VL_ERROR, "[%s] %s_new() has failed.(size: %lu)\n", func, msg_name,
            static_cast<unsigned long>(size));
      free(buf);
      *rc = -1;
      return nullptr;
    }
    int r = decode(msg, payload, length);
    if (r >= 0) {
      *ws = buf;
      *rc = 0;
      return msg;
    }
    free(buf);
    if (r != -PBWIRE_OUT_OF_MEMORY || size == cap) {
      VKLOG(g_vklog, VL_ERROR, "[%s] %s_decode() has failed.[size(buf:%d,packet:%d](ret:%d)\n",
            func, msg_name, static_cast<int>(size), static_cast<int>(length), r);
      break;
    }
    size = size * 2 < cap ? size * 2 : cap;
  }
  *rc = -2;
  return nullptr;
}

const char *device_flag_name(int flag) {
  switch (flag) {
    case _device_flag_add_e:
      return "add";
    case _device_flag_remove_e:
      return "remove";
    case _device_flag_update_e:
      return "update";
    default:
      return "unknown";
  }
}

const char *snmp_version_name(int version) {
  static const char *const names[] = {"v1", "v2c", "v3"};
  return version >= 0 && version <= 2 ? names[version] : "unknown";
}

const char *sec_level_name(int level) {
  static const char *const names[] = {"noAuth", "authNoPriv", "authPriv"};
  return level >= 0 && level <= 2 ? names[level] : "unknown";
}

const char *auth_alg_name(uint32_t alg) {
  static const char *const names[] = {"none", "md5", "sha", "sha224", "sha256", "sha384", "sha512"};
  return alg <= 6 ? names[alg] : "unknown";
}

const char *priv_alg_name(uint32_t alg) {
  static const char *const names[] = {"none", "des", "aes128", "aes192", "aes256"};
  return alg <= 4 ? names[alg] : "unknown";
}

// Copies the address text of `ip` into `out`. False when it is missing,
// empty, holds a NUL or does not fit.
bool ip_text(const network_ip_info_t *ip, char *out, size_t out_size) {
  if (ip == nullptr || ip->addr.buf_p == nullptr || ip->addr.size == 0 ||
      ip->addr.size >= out_size ||
      memchr(ip->addr.buf_p, '\0', static_cast<size_t>(ip->addr.size)) != nullptr) {
    return false;
  }
  memcpy(out, ip->addr.buf_p, static_cast<size_t>(ip->addr.size));
  out[ip->addr.size] = '\0';
  return true;
}

// Dotted numeric OID text ("1.3.6.1.2.1.2.2.1.10", a leading dot allowed).
bool oid_text_is_numeric(const char *text) {
  if (text == nullptr) return false;
  const char *p = text[0] == '.' ? text + 1 : text;
  int parts = 0;
  while (*p != '\0') {
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') p++;
    parts++;
    if (*p == '.') {
      p++;
      if (*p == '\0') return false;
    }
  }
  return parts >= 2 && parts <= SM_OID_MAX;
}

// Request style of a pack: both walking kinds of the wire are walked with
// GETBULK; -1 for a code the agent does not know.
int oid_pack_request_type(int wire_type) {
  switch (wire_type) {
    case _get_e:
      return SNMP_REQ_TYPE_GET;
    case _subtree_e:
    case _bulk_e:
      return SNMP_REQ_TYPE_BULK;
    default:
      return -1;
  }
}

void log_device(const network_device_t *d, const char *ip) {
  const network_snmp_info_t *s = d->snmp_p;
  int ver = s != nullptr ? static_cast<int>(s->version) : -1;
  const char *id = text_or_empty(d->id_p);
  const char *name = text_or_empty(d->name_p);
  unsigned long ip_len = static_cast<unsigned long>(strlen(ip));
  if (s != nullptr && s->version == _v3_e) {
    const network_snmp_security_t *sec = s->security_p;
    VKLOG(g_vklog, VL_INFO,
          "'%s' device: id[%s],name[%s],ip(%lu)[%s],port[%u],snmp[(%d)%s,sec-name:%s,%s,auth:%s,"
          "priv:%s],syslog[%d],trap[%d]\n",
          device_flag_name(d->flag), id, name, ip_len, ip, d->port, ver, snmp_version_name(ver),
          sec != nullptr ? text_or_empty(sec->security_name_p) : "",
          sec != nullptr ? sec_level_name(sec->security_level) : "unknown",
          sec != nullptr ? auth_alg_name(sec->auth_algorithm) : "unknown",
          sec != nullptr ? priv_alg_name(sec->privacy_algorithm) : "unknown", d->collect_syslog,
          d->collect_snmp_trap);
  } else {
    VKLOG(g_vklog, VL_INFO,
          "'%s' device: id[%s],name[%s],ip(%lu)[%s],port[%u],snmp[(%d)%s,community:%s],syslog[%d],"
          "trap[%d]\n",
          device_flag_name(d->flag), id, name, ip_len, ip, d->port, ver, snmp_version_name(ver),
          s != nullptr ? text_or_empty(s->community_p) : "", d->collect_syslog,
          d->collect_snmp_trap);
  }
}

// Registers the device with the receivers unless it is listed already with
// the same address and forwarding flags (a list sent again must not add a
// second record per device to each registry).
void register_device(const network_device_t *d, const char *ip) {
  const char *id = text_or_empty(d->id_p);
  bool known = false;
  vkLock(&g_device_manager.lock);
  device *old = dm_find_device(&g_device_manager, id);
  if (old != nullptr && strcmp(old->info.ip, ip) == 0 &&
      old->collect_syslog_flag == static_cast<int>(d->collect_syslog) &&
      old->collect_trap_flag == static_cast<int>(d->collect_snmp_trap)) {
    known = true;
  }
  vkUnlock(&g_device_manager.lock);
  if (known) return;
  if (d->collect_syslog) syslog_target_device_add_by_ip(ip, id);
  if (d->collect_snmp_trap) snmp_trap_target_device_add_by_ip(ip, id);
  icmp_target_device_add_by_ip(ip, id);
}

void apply_device(const network_device_t *d) {
  char ip[DEVICE_IP_SIZE];
  bool have_ip = ip_text(d->ip_p, ip, sizeof(ip));
  if (!have_ip) ip[0] = '\0';
  log_device(d, ip);
  const char *id = text_or_empty(d->id_p);
  if (d->flag != _device_flag_update_e) {
    VKLOG(g_vklog, VL_INFO, "device flag is not support.(%d)[%s][id:%s]\n", d->flag,
          device_flag_name(d->flag), id);
    return;
  }
  if (id[0] == '\0') {
    VKLOG(g_vklog, VL_ERROR, "[recv_device_list] device without id is skipped.[name:%s]\n",
          text_or_empty(d->name_p));
    return;
  }
  if (!have_ip) {
    VKLOG(g_vklog, VL_ERROR,
          "[recv_device_list] device address is missing or too long, skipped.[id:%s]\n", id);
    return;
  }
  if (d->snmp_p == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[recv_device_list] device has no snmp settings, skipped.[id:%s]\n",
          id);
    return;
  }
  uint16_t port = kSnmpDefaultPort;
  if (d->port > 65535) {
    VKLOG(g_vklog, VL_ERROR, "[recv_device_list] device port is wrong, skipped.[id:%s,port:%u]\n",
          id, d->port);
    return;
  }
  if (d->port != 0) port = static_cast<uint16_t>(d->port);
  mlist_item_t *item = nullptr;
  device *dev = device_new_with_info_for_manager(id, text_or_empty(d->name_p), ip, port,
                                                 d->collect_syslog, d->collect_snmp_trap, &item);
  if (dev == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[recv_device_list] device entry is not made, skipped.[id:%.39s]\n",
          id);
    return;
  }
  int r = conv_proto_to_snmp_info(ip, port, 0, 0, d->snmp_p, &dev->snmp_info);
  if (r != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[recv_device_list] snmp settings are refused, skipped.(ret:%d)[id:%s]\n", r, id);
    device_free_item(item);
    return;
  }
  register_device(d, ip);
  dm_update_device_to_list(&g_device_manager, item);
}

}  // namespace

int conv_proto_to_snmp_sec_level_info(int level) {
  switch (level) {
    case _no_auth_no_priv_e:
      return SM_SEC_LEVEL_NOAUTH;
    case _auth_no_priv_e:
      return SM_SEC_LEVEL_AUTHNOPRIV;
    case _auth_priv_e:
      return SM_SEC_LEVEL_AUTHPRIV;
    default:
      return -1;
  }
}

int conv_proto_to_snmp_info(const char *ip, uint16_t port, long timeout_us, int retries,
                            const network_snmp_info_t *proto, snmp_info *info) {
  if (ip == nullptr || proto == nullptr || info == nullptr) return -1;
  int version;
  switch (proto->version) {
    case _v1_e:
      version = SNMP_VERSION_1;
      break;
    case _v2c_e:
      version = SNMP_VERSION_2c;
      break;
    case _v3_e:
      version = SNMP_VERSION_3;
      break;
    default:
      VKLOG(g_vklog, VL_ERROR, "snmp version is wrong.[ip:%s,port:%hu,ver:%d]\n", ip, port,
            static_cast<int>(proto->version));
      return -3;
  }
  if (version == SNMP_VERSION_3) {
    const network_snmp_security_t *sec = proto->security_p;
    int level = sec != nullptr ? conv_proto_to_snmp_sec_level_info(sec->security_level) : -1;
    // A level that needs an algorithm must name one the agent knows.
    bool auth_ok = level < SM_SEC_LEVEL_AUTHNOPRIV ||
                   (sec->auth_algorithm >= SM_AUTH_MD5 && sec->auth_algorithm <= SM_AUTH_SHA512);
    bool priv_ok = level < SM_SEC_LEVEL_AUTHPRIV || (sec->privacy_algorithm >= SM_PRIV_DES &&
                                                     sec->privacy_algorithm <= SM_PRIV_AES256);
    if (level < 0 || !auth_ok || !priv_ok || text_or_empty(sec->security_name_p)[0] == '\0') {
      VKLOG(g_vklog, VL_ERROR,
            "snmp security is wrong.[ip:%s,port:%hu,level:%d,auth:%u,priv:%u,name:%s]\n", ip, port,
            sec != nullptr ? static_cast<int>(sec->security_level) : -1,
            sec != nullptr ? sec->auth_algorithm : 0u, sec != nullptr ? sec->privacy_algorithm : 0u,
            sec != nullptr ? text_or_empty(sec->security_name_p) : "");
      return -2;
    }
    int r = sm_set_snmp_sec_info(&info->security, level, sec->security_name_p,
                                 static_cast<int>(sec->auth_algorithm), sec->auth_password_p,
                                 static_cast<int>(sec->privacy_algorithm), sec->privacy_password_p);
    if (r != 0) {
      VKLOG(g_vklog, VL_ERROR, "snmp security is refused.(ret:%d)[ip:%s,port:%hu]\n", r, ip, port);
      return -2;
    }
  }
  int r = sm_set_snmp_info(info, ip, port, version, timeout_us, retries, proto->community_p);
  if (r != 0) {
    VKLOG(g_vklog, VL_ERROR, "snmp settings are refused.(ret:%d)[ip:%s,port:%hu]\n", r, ip, port);
    return -3;
  }
  return 0;
}

::event *conv_proto_to_collect_event(const network_collect_event_info_t *event_info, int count) {
  if (event_info == nullptr || count <= 0) return nullptr;
  ::event *events = static_cast<::event *>(calloc(static_cast<size_t>(count), sizeof(::event)));
  if (events == nullptr) return nullptr;
  for (int i = 0; i < count; i++) {
    const network_collect_event_info_t *e = &event_info[i];
    device_set_event(&events[i], e->type, e->oid_pack_id, e->interval, e->use ? 1 : 0);
  }
  return events;
}

int recv_device_list(const uint8_t *payload, size_t length) {
  VKLOG(g_vklog, VL_INFO, "[recv_device_list] start\n");
  uint8_t *ws = nullptr;
  int rc = 0;
  network_device_list_t *msg = static_cast<network_device_list_t *>(decode_list(
      "recv_device_list", "network_device_list", payload, length,
      [](void *w, size_t n) -> void * { return network_device_list_new(w, n); },
      [](void *m, const uint8_t *p, size_t n) {
        return network_device_list_decode(static_cast<network_device_list_t *>(m), p, n);
      },
      &ws, &rc));
  if (msg == nullptr) return rc;
  VKLOG(g_vklog, VL_INFO, "[recv_device_list] received device info count:%d\n",
        msg->devices.length);
  for (int32_t i = 0; i < msg->devices.length; i++) apply_device(&msg->devices.items_p[i]);
  g_is_device_manager_res.fetch_add(1);
  send_packet_result(text_or_empty(msg->request_id_p), 1, nullptr);
  free(ws);
  return 0;
}

int recv_add_collect_event(const uint8_t *payload, size_t length) {
  uint8_t *ws = nullptr;
  int rc = 0;
  network_collect_event_t *msg = static_cast<network_collect_event_t *>(decode_list(
      "recv_add_collect_event", "network_collect_event", payload, length,
      [](void *w, size_t n) -> void * { return network_collect_event_new(w, n); },
      [](void *m, const uint8_t *p, size_t n) {
        return network_collect_event_decode(static_cast<network_collect_event_t *>(m), p, n);
      },
      &ws, &rc));
  if (msg == nullptr) return rc;
  const char *req_id = text_or_empty(msg->request_id_p);
  const char *dev_id = text_or_empty(msg->device_id_p);
  int count = msg->event_info.length;
  VKLOG(g_vklog, VL_INFO,
        "[recv_add_collect_event] decode - req id[%s],dev id[%s],event count[%d]\n", req_id, dev_id,
        count);
  for (int i = 0; i < count; i++) {
    const network_collect_event_info_t *e = &msg->event_info.items_p[i];
    if (e->type < DEVICE_PERF || e->type > IF_PERF) {
      VKLOG(
          g_vklog, VL_WARN,
          "[recv_add_collect_event] event type is unknown, it collects nothing.[dev:%s,type:%u]\n",
          dev_id, e->type);
    }
    if (e->interval == 0) {
      VKLOG(g_vklog, VL_WARN,
            "[recv_add_collect_event] event interval is 0, it is due on every "
            "pass.[dev:%s,type:%u]\n",
            dev_id, e->type);
    }
    oid_pack *pack =
        e->oid_pack_id <= UINT32_MAX
            ? om_get_oid_pack_by_id(&g_oid_manager, static_cast<uint32_t>(e->oid_pack_id))
            : nullptr;
    if (pack != nullptr) {
      om_release(&g_oid_manager, pack);
    } else {
      // Kept: the pack may still come; until then the event collects nothing.
      VKLOG(g_vklog, VL_WARN,
            "[recv_add_collect_event] oid pack is not known (yet).[dev:%s,pack:%llu]\n", dev_id,
            static_cast<unsigned long long>(e->oid_pack_id));
    }
  }
  ::event *events = conv_proto_to_collect_event(msg->event_info.items_p, count);
  if (events == nullptr) {
    // One answer per request: an empty or unconvertible list is refused and
    // the device keeps the events it had.
    VKLOG(g_vklog, VL_ERROR,
          "[recv_add_collect_event] event list convert error.[dev:%s,count:%d]\n", dev_id, count);
    send_packet_result(req_id, 0, "event list convert error.");
    free(ws);
    return -3;
  }
  if (dm_apply_event_to_device(&g_device_manager, dev_id, events, count) != 0) {
    free(events);
    send_packet_result(req_id, 0, "apply event list to device info.");
    free(ws);
    return -3;
  }
  send_packet_result(req_id, 1, nullptr);
  free(ws);
  return 0;
}

int recv_add_oid_pack_list(const uint8_t *payload, size_t length) {
  VKLOG(g_vklog, VL_INFO, "[recv_add_oid_pack_list] start\n");
  uint8_t *ws = nullptr;
  int rc = 0;
  network_collect_oid_pack_list_t *msg = static_cast<network_collect_oid_pack_list_t *>(decode_list(
      "recv_add_oid_pack_list", "network_collect_oid_pack_list", payload, length,
      [](void *w, size_t n) -> void * { return network_collect_oid_pack_list_new(w, n); },
      [](void *m, const uint8_t *p, size_t n) {
        return network_collect_oid_pack_list_decode(
            static_cast<network_collect_oid_pack_list_t *>(m), p, n);
      },
      &ws, &rc));
  if (msg == nullptr) return rc;
  for (int32_t i = 0; i < msg->packs.length; i++) {
    const network_collect_oid_pack_t *p = &msg->packs.items_p[i];
    int type = oid_pack_request_type(p->type);
    if (p->id > UINT32_MAX || type < 0) {
      VKLOG(g_vklog, VL_ERROR,
            "[recv_add_oid_pack_list] oid pack is skipped: id or request type is wrong."
            "[id:%llu,type:%d]\n",
            static_cast<unsigned long long>(p->id), static_cast<int>(p->type));
      continue;
    }
    vlist_item_t *item = nullptr;
    oid_pack *pack = om_new_oid_pack_for_list(static_cast<uint32_t>(p->id), type, &item);
    if (pack == nullptr) {
      VKLOG(g_vklog, VL_ERROR, "[recv_add_oid_pack_list] oid pack allocate has failed.[id:%llu]\n",
            static_cast<unsigned long long>(p->id));
      continue;
    }
    for (int32_t j = 0; j < p->oid.length; j++) {
      const network_collect_oid_t *o = &p->oid.items_p[j];
      const char *name = text_or_empty(o->value_name_p);
      if (!oid_text_is_numeric(o->oid_p)) {
        VKLOG(g_vklog, VL_ERROR,
              "[recv_add_oid_pack_list] oid is not numeric, skipped.[pack:%u,name:%s,oid:%s]\n",
              pack->id, name, text_or_empty(o->oid_p));
        continue;
      }
      if (obj_id_type_str_to_code(name) < 0) {
        VKLOG(g_vklog, VL_WARN,
              "[recv_add_oid_pack_list] oid type name is unknown, its values are ignored."
              "[pack:%u,name:%s]\n",
              pack->id, name);
      }
      oid_info_add_to_list(&pack->list, name, o->oid_p);
    }
    om_print(pack);
    om_update_oid_pack_from_item(&g_oid_manager, item);
  }
  g_is_oid_manager_res.fetch_add(1);
  send_packet_result(text_or_empty(msg->request_id_p), 1, nullptr);
  free(ws);
  return 0;
}

int recv_connect_test_device(const uint8_t *payload, size_t length) {
  uint8_t *ws = nullptr;
  int rc = 0;
  network_connect_test_device_t *msg = static_cast<network_connect_test_device_t *>(decode_list(
      "recv_connect_test_device", "network_connect_test_device", payload, length,
      [](void *w, size_t n) -> void * { return network_connect_test_device_new(w, n); },
      [](void *m, const uint8_t *p, size_t n) {
        return network_connect_test_device_decode(static_cast<network_connect_test_device_t *>(m),
                                                  p, n);
      },
      &ws, &rc));
  if (msg == nullptr) return rc;
  char ip[SM_IP_SIZE];
  if (!ip_text(msg->ip_p, ip, sizeof(ip))) ip[0] = '\0';
  const network_snmp_info_t *s = msg->snmp_p;
  const char *req_id = text_or_empty(msg->request_id_p);
  VKLOG(g_vklog, VL_INFO,
        "[recv_connect_test_device] req info[id:%s,ip:%s,port:%u,snmp(ver:%d,comm:%s)\n", req_id,
        ip, msg->port, s != nullptr ? static_cast<int>(s->version) : -1,
        s != nullptr ? text_or_empty(s->community_p) : "");
  uint16_t port =
      msg->port != 0 && msg->port <= 65535 ? static_cast<uint16_t>(msg->port) : kSnmpDefaultPort;
  VKLOG(g_vklog, VL_DEBUG, "[recv_connect_test_device] 1.device ip:%s,port:%hu\n", ip, port);
  snmp_info info;
  memset(&info, 0, sizeof(info));
  int r = ip[0] != '\0' && s != nullptr ? conv_proto_to_snmp_info(ip, port, kConnectTestTimeoutUs,
                                                                  kConnectTestRetries, s, &info)
                                        : -1;
  if (r != 0) {
    VKLOG(g_vklog, VL_ERROR, "[recv_connect_test_device] snmp_info is wrong.(ret:%d)\n", r);
    free(ws);
    return -3;
  }
  VKLOG(g_vklog, VL_DEBUG,
        "[recv_connect_test_device] device ip:%s,port:%hu,community[%s],sec[name:%s,level:%d,"
        "auth(alg:%d),priv(alg:%d)]\n",
        info.ip, info.port, info.community, info.security.name, info.security.level,
        info.security.auth_algorithm, info.security.priv_algorithm);
  send_discovery_device(req_id, &info);
  sm_clear_snmp_info(&info);
  free(ws);
  return 0;
}
