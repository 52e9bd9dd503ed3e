#include "communication.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "agent.h"
#include "collect_interface.h"
#include "collect_oid.h"
#include "common.h"
#include "common_agent_info.h"
#include "device.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "dgcomm_util.h"
#include "event_buffer.h"
#include "icmp.h"
#include "network_agent_device_info.h"
#include "network_collect_info.h"
#include "pbwire.h"
#include "snmp_trap.h"
#include "syslog_receiver.h"
#include "target_device.h"
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

void comm_link_callbacks(dg_link_callbacks_t *cb) {
  if (cb == nullptr) return;
  cb->packet_handler = recv_msg_process;
  cb->on_connect = send_agent_info;
  cb->activate = agent_function_activate;
  cb->deactivate = agent_function_deactivate;
  cb->take_back = evbuf_take_back;
}

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
    dg_link_activate(gp_main_dgconn);
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

// Copies the address text of `ip` into `out`. Null when it is usable, else
// why not.
const char *ip_text(const network_ip_info_t *ip, char *out, size_t out_size) {
  out[0] = '\0';
  if (ip == nullptr || ip->addr.buf_p == nullptr || ip->addr.size <= 0) return "address is missing";
  if (memchr(ip->addr.buf_p, '\0', static_cast<size_t>(ip->addr.size)) != nullptr) {
    return "address holds a NUL";
  }
  if (static_cast<size_t>(ip->addr.size) >= out_size) return "address is too long";
  memcpy(out, ip->addr.buf_p, static_cast<size_t>(ip->addr.size));
  out[ip->addr.size] = '\0';
  return nullptr;
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

// ---- Reading the raw device list ----
// The decoder hands strings over as C texts, so an id with a NUL inside
// would arrive cut at the NUL, naming another device. The raw payload is
// walked once to find the devices whose id holds one.

bool raw_varint(const uint8_t *p, size_t len, size_t *pos, uint64_t *out) {
  uint64_t v = 0;
  for (int shift = 0; shift < 64 && *pos < len; shift += 7) {
    uint8_t b = p[(*pos)++];
    v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if ((b & 0x80) == 0) {
      *out = v;
      return true;
    }
  }
  return false;
}

// Skips or reads one field at *pos. A length-delimited field's bytes are
// stored in *body / *body_len. False when the bytes do not parse.
bool raw_field(const uint8_t *p, size_t len, size_t *pos, uint32_t *field, const uint8_t **body,
               size_t *body_len) {
  uint64_t key = 0, v = 0;
  if (!raw_varint(p, len, pos, &key)) return false;
  *field = static_cast<uint32_t>(key >> 3);
  *body = nullptr;
  *body_len = 0;
  switch (key & 7) {
    case 0:
      return raw_varint(p, len, pos, &v);
    case 1:
      if (len - *pos < 8) return false;
      *pos += 8;
      return true;
    case 5:
      if (len - *pos < 4) return false;
      *pos += 4;
      return true;
    case 2:
      if (!raw_varint(p, len, pos, &v) || v > len - *pos) return false;
      *body = p + *pos;
      *body_len = static_cast<size_t>(v);
      *pos += static_cast<size_t>(v);
      return true;
    default:
      return false;
  }
}

// One text per device of the list, in order: empty, or when its id (the
// last one given, as the decoder keeps) holds a NUL, that id with each
// byte below 0x20 shown as '?'.
std::vector<std::string> raw_ids_with_nul(const uint8_t *payload, size_t length) {
  std::vector<std::string> out;
  size_t pos = 0;
  uint32_t field = 0;
  const uint8_t *body = nullptr;
  size_t body_len = 0;
  while (pos < length && raw_field(payload, length, &pos, &field, &body, &body_len)) {
    if (field != 2 || body == nullptr) continue;
    std::string shown;
    size_t dpos = 0;
    uint32_t dfield = 0;
    const uint8_t *dbody = nullptr;
    size_t dlen = 0;
    while (dpos < body_len && raw_field(body, body_len, &dpos, &dfield, &dbody, &dlen)) {
      if (dfield != 1 || dbody == nullptr) continue;
      shown.clear();
      if (memchr(dbody, '\0', dlen) == nullptr) continue;
      for (size_t k = 0; k < dlen && k < DEVICE_ID_SIZE + 8; k++) {
        shown += dbody[k] < 0x20 ? '?' : static_cast<char>(dbody[k]);
      }
    }
    out.push_back(shown);
  }
  return out;
}

// Why the SNMP settings cannot be used, or null; *code gets -2 for the
// security part, -3 for the rest.
const char *snmp_settings_problem(const network_snmp_info_t *s, int *code) {
  *code = -3;
  if (s == nullptr) return "no snmp settings";
  if (s->version != _v1_e && s->version != _v2c_e && s->version != _v3_e) {
    return "snmp version is wrong";
  }
  if (s->version != _v3_e) return nullptr;
  *code = -2;
  const network_snmp_security_t *sec = s->security_p;
  int level = sec != nullptr ? conv_proto_to_snmp_sec_level_info(sec->security_level) : -1;
  if (level < 0) return "snmp security level is wrong";
  if (text_or_empty(sec->security_name_p)[0] == '\0') return "snmp security name is empty";
  if (level >= SM_SEC_LEVEL_AUTHNOPRIV) {
    if (sec->auth_algorithm < SM_AUTH_MD5 || sec->auth_algorithm > SM_AUTH_SHA512) {
      return "snmp auth algorithm is wrong";
    }
    // The library refuses to make a key from a shorter pass phrase, so
    // every request would fail.
    if (strlen(text_or_empty(sec->auth_password_p)) < USM_LENGTH_P_MIN) {
      return "snmp auth pass phrase is shorter than 8 characters";
    }
  }
  if (level >= SM_SEC_LEVEL_AUTHPRIV) {
    if (sec->privacy_algorithm < SM_PRIV_DES || sec->privacy_algorithm > SM_PRIV_AES256) {
      return "snmp privacy algorithm is wrong";
    }
    if (strlen(text_or_empty(sec->privacy_password_p)) < USM_LENGTH_P_MIN) {
      return "snmp privacy pass phrase is shorter than 8 characters";
    }
  }
  *code = 0;
  return nullptr;
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

// Makes one registry hold the device as it now stands: at its address when
// `wanted`, not at all otherwise.
void sync_registry(target_device_manager_t *registry, bool wanted, const char *ip, const char *id) {
  if (wanted) {
    target_device_set_by_id(registry, ip, id);
  } else {
    target_device_remove_by_id(registry, id);
  }
}

// Registers the device with the receivers as it now stands. A device new to
// the agent is appended (the registries hold nothing for it: they are
// emptied with the device list at deactivation and on removal); one whose
// address or forwarding flags changed is moved or removed, so the old
// address is no longer forwarded or pinged; an unchanged one is left alone,
// so a list sent again adds nothing.
void register_device(const network_device_t *d, const char *ip, bool known, bool same) {
  const char *id = text_or_empty(d->id_p);
  if (!known) {
    if (d->collect_syslog) syslog_target_device_add_by_ip(ip, id);
    if (d->collect_snmp_trap) snmp_trap_target_device_add_by_ip(ip, id);
    icmp_target_device_add_by_ip(ip, id);
    return;
  }
  if (same) return;
  sync_registry(&g_syslog_device_manager, d->collect_syslog, ip, id);
  sync_registry(&g_snmptrap_device_manager, d->collect_snmp_trap, ip, id);
  sync_registry(&g_icmp_device_manager, true, ip, id);
}

// Forgets a device the collector removed: its events, its previous sample
// and its registrations.
void remove_device(const char *id) {
  int r = dm_remove_device(&g_device_manager, id);
  colt_if_prev_remove(id);
  target_device_remove_by_id(&g_syslog_device_manager, id);
  target_device_remove_by_id(&g_snmptrap_device_manager, id);
  target_device_remove_by_id(&g_icmp_device_manager, id);
  VKLOG(g_vklog, VL_INFO, "[recv_device_list] device is removed.[id:%s]%s\n", id,
        r == 0 ? "" : "(not listed)");
}

// Applies one entry of a device list. Returns null when it was applied or
// skipped for its flag, else why it was skipped (logged).
const char *apply_device(const network_device_t *d, bool id_has_nul) {
  char ip[DEVICE_IP_SIZE];
  const char *ip_problem = ip_text(d->ip_p, ip, sizeof(ip));
  log_device(d, ip);
  const char *id = text_or_empty(d->id_p);
  const char *why = id[0] == '\0'                  ? "id is empty"
                    : id_has_nul                   ? "id holds a NUL"
                    : strlen(id) >= DEVICE_ID_SIZE ? "id is longer than 39 characters"
                                                   : nullptr;
  if (d->flag == _device_flag_remove_e && why == nullptr) {
    remove_device(id);
    return nullptr;
  }
  if (d->flag != _device_flag_update_e && d->flag != _device_flag_remove_e) {
    VKLOG(g_vklog, VL_INFO, "device flag is not support.(%d)[%s][id:%s]\n", d->flag,
          device_flag_name(d->flag), id);
    return d->flag == _device_flag_add_e ? nullptr : "device flag is not supported";
  }
  int code = 0;
  uint16_t port = kSnmpDefaultPort;
  if (why == nullptr && strlen(text_or_empty(d->name_p)) >= DEVICE_NAME_SIZE) {
    why = "name is longer than 127 characters";
  }
  if (why == nullptr) why = ip_problem;
  if (why == nullptr && d->port > 65535) why = "port is out of range";
  if (why == nullptr) why = snmp_settings_problem(d->snmp_p, &code);
  if (d->port != 0 && d->port <= 65535) port = static_cast<uint16_t>(d->port);
  mlist_item_t *item = nullptr;
  device *dev = nullptr;
  if (why == nullptr) {
    dev = device_new_with_info_for_manager(id, text_or_empty(d->name_p), ip, port,
                                           d->collect_syslog, d->collect_snmp_trap, &item);
    if (dev == nullptr) why = "device entry cannot be made";
  }
  if (dev != nullptr && conv_proto_to_snmp_info(ip, port, 0, 0, d->snmp_p, &dev->snmp_info) != 0) {
    why = "snmp settings are refused";
    device_free_item(item);
  }
  if (why != nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[recv_device_list] device is skipped: %s.[id:%.39s,port:%u]\n", why,
          id, d->port);
    return why;
  }
  int r = dm_update_device_to_list(&g_device_manager, item);
  if (r < 0) return "device list is full";
  register_device(d, ip, r != DM_DEVICE_ADDED, r == DM_DEVICE_UNCHANGED);
  return nullptr;
}

// Collects the ids and reasons of skipped entries for the answer's text,
// up to kSkipTextMax bytes; the rest is counted.
constexpr size_t kSkipTextMax = 900;

void note_skip(std::string *text, int *more, const char *what, const char *why) {
  std::string one = std::string(what) + ": " + why;
  if (text->size() + one.size() + 2 > kSkipTextMax) {
    (*more)++;
    return;
  }
  if (!text->empty()) *text += "; ";
  *text += one;
}

// "skipped 2 devices: a: why; b: why" (`kind` is the singular).
std::string skip_text(const std::string &noted, int count, int more, const char *kind) {
  if (count == 0) return std::string();
  std::string out =
      "skipped " + std::to_string(count) + " " + kind + (count == 1 ? "" : "s") + ": " + noted;
  if (more > 0) out += "; and " + std::to_string(more) + " more";
  return out;
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
  int code = 0;
  const char *why = snmp_settings_problem(proto, &code);
  if (why != nullptr && code == -3) {
    VKLOG(g_vklog, VL_ERROR, "snmp version is wrong.[ip:%s,port:%hu,ver:%d]\n", ip, port,
          static_cast<int>(proto->version));
    return -3;
  }
  const network_snmp_security_t *sec = proto->security_p;
  if (why != nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "snmp security is wrong: %s.[ip:%s,port:%hu,level:%d,auth:%u,priv:%u,name:%s]\n", why, ip,
          port, sec != nullptr ? static_cast<int>(sec->security_level) : -1,
          sec != nullptr ? sec->auth_algorithm : 0u, sec != nullptr ? sec->privacy_algorithm : 0u,
          sec != nullptr ? text_or_empty(sec->security_name_p) : "");
    return -2;
  }
  int version = proto->version == _v1_e    ? SNMP_VERSION_1
                : proto->version == _v2c_e ? SNMP_VERSION_2c
                                           : SNMP_VERSION_3;
  if (version == SNMP_VERSION_3) {
    int level = conv_proto_to_snmp_sec_level_info(sec->security_level);
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
  std::vector<std::string> nul_ids = raw_ids_with_nul(payload, length);
  std::string noted;
  int skipped = 0, more = 0;
  for (int32_t i = 0; i < msg->devices.length; i++) {
    const network_device_t *d = &msg->devices.items_p[i];
    const std::string *nul_id =
        static_cast<size_t>(i) < nul_ids.size() && !nul_ids[static_cast<size_t>(i)].empty()
            ? &nul_ids[static_cast<size_t>(i)]
            : nullptr;
    const char *why = apply_device(d, nul_id != nullptr);
    if (why == nullptr) continue;
    skipped++;
    // Ids go into the text as far as they are printable and fit their
    // field; one without an id by its place in the list.
    std::string id =
        nul_id != nullptr
            ? *nul_id
            : std::string(text_or_empty(d->id_p), strnlen(text_or_empty(d->id_p), DEVICE_ID_SIZE));
    for (char &c : id) {
      if (static_cast<unsigned char>(c) < 0x20) c = '?';
    }
    if (id.empty()) id = "#" + std::to_string(i);
    note_skip(&noted, &more, id.c_str(), why);
  }
  g_is_device_manager_res.fetch_add(1);
  // The list is answered with success (the devices that could be used are
  // applied); the text names the entries that were skipped and why.
  std::string text = skip_text(noted, skipped, more, "device");
  send_packet_result(text_or_empty(msg->request_id_p), 1, text.empty() ? nullptr : text.c_str());
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
  // An event of a pack id beyond 32 bits cannot name any pack the agent
  // holds (pack ids are 32 bits); cut down it would poll another pack.
  std::vector<network_collect_event_info_t> usable;
  std::string noted;
  int refused = 0, more = 0;
  for (int i = 0; i < count; i++) {
    const network_collect_event_info_t *e = &msg->event_info.items_p[i];
    if (e->oid_pack_id > UINT32_MAX) {
      VKLOG(g_vklog, VL_ERROR,
            "[recv_add_collect_event] oid pack id is beyond 32 bits, event refused."
            "[dev:%s,type:%u,pack:%llu]\n",
            dev_id, e->type, static_cast<unsigned long long>(e->oid_pack_id));
      refused++;
      note_skip(&noted, &more, ("pack " + std::to_string(e->oid_pack_id)).c_str(),
                "oid pack id is beyond 32 bits");
      continue;
    }
    usable.push_back(*e);
  }
  count = static_cast<int>(usable.size());
  for (int i = 0; i < count; i++) {
    const network_collect_event_info_t *e = &usable[static_cast<size_t>(i)];
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
    oid_pack *pack = om_get_oid_pack_by_id(&g_oid_manager, static_cast<uint32_t>(e->oid_pack_id));
    if (pack != nullptr) {
      om_release(&g_oid_manager, pack);
    } else {
      // Kept: the pack may still come; until then the event collects nothing.
      VKLOG(g_vklog, VL_WARN,
            "[recv_add_collect_event] oid pack is not known (yet).[dev:%s,pack:%llu]\n", dev_id,
            static_cast<unsigned long long>(e->oid_pack_id));
    }
  }
  ::event *events = conv_proto_to_collect_event(usable.data(), count);
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
  std::string text = skip_text(noted, refused, more, "event");
  send_packet_result(req_id, 1, text.empty() ? nullptr : text.c_str());
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
  const char *why = ip_text(msg->ip_p, ip, sizeof(ip));
  const network_snmp_info_t *s = msg->snmp_p;
  const char *req_id = text_or_empty(msg->request_id_p);
  VKLOG(g_vklog, VL_INFO,
        "[recv_connect_test_device] req info[id:%s,ip:%s,port:%u,snmp(ver:%d,comm:%s)\n", req_id,
        ip, msg->port, s != nullptr ? static_cast<int>(s->version) : -1,
        s != nullptr ? text_or_empty(s->community_p) : "");
  uint16_t port =
      msg->port != 0 && msg->port <= 65535 ? static_cast<uint16_t>(msg->port) : kSnmpDefaultPort;
  VKLOG(g_vklog, VL_DEBUG, "[recv_connect_test_device] 1.device ip:%s,port:%hu\n", ip, port);
  int code = 0;
  if (why == nullptr && msg->port > 65535) why = "port is out of range";
  if (why == nullptr) why = snmp_settings_problem(s, &code);
  snmp_info info;
  memset(&info, 0, sizeof(info));
  int r = why == nullptr ? conv_proto_to_snmp_info(ip, port, kConnectTestTimeoutUs,
                                                   kConnectTestRetries, s, &info)
                         : -1;
  if (r != 0) {
    if (why == nullptr) why = "snmp settings are refused";
    // The collector waits for a report: a test that cannot be run is
    // reported as a failed one, with the reason.
    VKLOG(g_vklog, VL_ERROR, "[recv_connect_test_device] snmp_info is wrong.(ret:%d)(%s)\n", r,
          why);
    send_discovery_refused(req_id, why);
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
