#include "snmp_trap.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_impl.h>
// clang-format on
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "config.h"
#include "dg_outbox.h"
#include "dgcomm_packet.h"
#include "event_buffer.h"
#include "network_public_stat.h"
#include "target_device.h"
#include "thread_manager.h"
#include "vk_clock.h"
#include "vk_util.h"

snmp_trap_service_t g_snmp_trap;

namespace {

constexpr uint32_t SNMP_TRAP_SLICE_MSEC = 100;
constexpr uint32_t SNMP_TRAP_POLL_MSEC = 500;
constexpr int SNMP_TRAP_START_DELAY_SLICES = 30;  // 3 s before the receivers start
constexpr int SNMP_TRAP_PASS_SLICES = 10;         // one second a pass
constexpr int SNMP_TRAP_STATS_PASSES = 5;
constexpr int SNMP_TRAP_RECEIVER_STOP_SEC = 5;
// The version field is not an INTEGER, or there is no message sequence.
constexpr long SNMP_TRAP_VERSION_UNREADABLE = -14;
// Room for the trap message's record in its encode work area.
constexpr size_t SNMP_TRAP_WORK_AREA_SIZE = 256;

const oid kSysUpTime0[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const oid kSnmpTrapOid0[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

vklog_t *trap_log() {
  return g_snmp_trap.log != nullptr ? g_snmp_trap.log : g_vklog;
}

// The rendered bindings, grown as the original agent grows them: to the
// capacity plus the needed length plus 512 bytes whenever an append would
// fill it.
struct trap_message {
  char *text = nullptr;
  size_t len = 0;
  size_t cap = 0;
};

bool message_append(trap_message *m, const char *s, size_t n) {
  if (m->len + n + 1 > m->cap) {
    size_t cap = m->cap + n + 1 + 512;
    char *grown = static_cast<char *>(calloc(1, cap));
    if (grown == nullptr) {
      VKLOG(trap_log(), VL_INFO, "addtoBuffer() - malloc has failed![size : %u]\n",
            static_cast<unsigned>(cap));
      return false;
    }
    if (m->text != nullptr) memcpy(grown, m->text, m->len);
    free(m->text);
    m->text = grown;
    m->cap = cap;
  }
  memcpy(m->text + m->len, s, n);
  m->len += n;
  m->text[m->len] = '\0';
  return true;
}

void message_drop(trap_message *m) {
  free(m->text);
  *m = trap_message{};
}

// Renders one value into `buf` (SNMP_TRAP_RENDER_SIZE bytes). An OCTET
// STRING goes through snmp_trap_render_octets (text when it is UTF-8 text,
// else hex); other types go through the library's type-aware printer.
// Returns false when the value cannot be rendered.
bool render_value(netsnmp_variable_list *var, char *buf) {
  if (var->type == ASN_OCTET_STR) {
    if (var->val_len > SNMP_TRAP_VALUE_SIZE - 1) {
      VKLOG(trap_log(), VL_INFO, "PduProcess() - Buffer size over![val len:%d]\n",
            static_cast<int>(var->val_len));
      return false;
    }
    return snmp_trap_render_octets(var->val.string, var->val_len, buf, SNMP_TRAP_RENDER_SIZE) >= 0;
  }
  buf[0] = '\0';
  return snprint_by_type(buf, SNMP_TRAP_VALUE_SIZE, var, nullptr, nullptr, nullptr) >= 0;
}

bool append_value(trap_message *m, const char *value, int place) {
  if (message_append(m, " ", 1) && message_append(m, value, strlen(value))) return true;
  VKLOG(trap_log(), VL_INFO, "PduProcess() - AddStrToBuffer(%d) has Failed.\n", place);
  message_drop(m);
  return false;
}

void render_failed(trap_message *m, netsnmp_variable_list *var, const char *version) {
  VKLOG(trap_log(), VL_INFO,
        "PduProcess() - Failed to import variable data.[%s,type:%s(%d),val_len:%d]\n", version,
        su_variable_type_to_str(var->type), var->type, static_cast<int>(var->val_len));
  message_drop(m);
}

void parse_v1(netsnmp_pdu *pdu, snmp_trap_data_t *out, trap_message *m, char *value) {
  out->uptime = pdu->time;
  if (pdu->enterprise != nullptr && snprint_objid(out->enterprise_oid, sizeof(out->enterprise_oid),
                                                  pdu->enterprise, pdu->enterprise_length) < 0) {
    out->enterprise_oid[0] = '\0';
  }
  VKLOG(trap_log(), VL_DEBUG,
        "pdu-agent_addr:%d.%d.%d.%d,generic:%s(%ld),specific:%ld,uptime:%llu,enteroid:%s\n",
        pdu->agent_addr[0], pdu->agent_addr[1], pdu->agent_addr[2], pdu->agent_addr[3],
        snmp_trap_generic_name(pdu->trap_type), pdu->trap_type, pdu->specific_type,
        static_cast<unsigned long long>(out->uptime), out->enterprise_oid);
  out->generic_trap_type = static_cast<uint32_t>(pdu->trap_type);
  out->specific_trap_code = static_cast<uint32_t>(pdu->specific_type);
  for (netsnmp_variable_list *var = pdu->variables; var != nullptr; var = var->next_variable) {
    if (!render_value(var, value)) {
      render_failed(m, var, "v1");
      return;
    }
    if (!append_value(m, value, 4)) return;
  }
}

bool oid_is(const netsnmp_variable_list *var, const oid *name, size_t len) {
  return snmp_oid_compare(var->name, var->name_length, name, len) == 0;
}

void parse_v2(netsnmp_pdu *pdu, snmp_trap_data_t *out, trap_message *m, char *value) {
  for (netsnmp_variable_list *var = pdu->variables; var != nullptr; var = var->next_variable) {
    if (var->val_len == 0) {
      VKLOG(trap_log(), VL_ERROR, "PduProcess() - Variable data size is zero. continue.\n");
      continue;
    }
    if (m->len > 0 && !message_append(m, " ", 1)) {
      VKLOG(trap_log(), VL_INFO, "PduProcess() - AddStrToBuffer(5) has Failed.\n");
      message_drop(m);
      return;
    }
    if (oid_is(var, kSysUpTime0, sizeof(kSysUpTime0) / sizeof(oid))) {
      if (!render_value(var, value)) {
        render_failed(m, var, "v2");
        return;
      }
      out->uptime = strtoull(value, nullptr, 10);
      uint64_t cs = out->uptime;
      VKLOG(trap_log(), VL_DEBUG, "[%s]timestemp: %ldd %ldh %ldm %lds(%scs)\n", out->received_ip,
            static_cast<long>(cs / 8640000), static_cast<long>(cs / 360000 % 24),
            static_cast<long>(cs / 6000 % 60), static_cast<long>(cs / 100 % 60), value);
    } else if (oid_is(var, kSnmpTrapOid0, sizeof(kSnmpTrapOid0) / sizeof(oid))) {
      char trap_oid[SNMP_TRAP_OID_SIZE];
      trap_oid[0] = '\0';
      if (snprint_by_type(trap_oid, sizeof(trap_oid), var, nullptr, nullptr, nullptr) < 0) {
        render_failed(m, var, "v2");
        return;
      }
      memcpy(out->enterprise_oid, trap_oid, sizeof(trap_oid));
    } else {
      if (!render_value(var, value)) {
        render_failed(m, var, "v2");
        return;
      }
      if (!append_value(m, value, 9)) return;
    }
  }
}

// Fills `out` from a parsed PDU.
void snmp_trap_pdu_parser(netsnmp_pdu *pdu, const char *community, snmp_trap_data_t *out) {
  out->collect_time = vk_get_time_nsec();
  out->snmp_version = static_cast<int>(pdu->version);
  VKLOG(trap_log(), VL_DEBUG, "[%s]command[%s(%d)],community[%s]\n", out->received_ip,
        snmp_trap_command_name(pdu->command), pdu->command, community);
  out->generic_trap_type = SNMP_TRAP_TYPE_NONE;
  out->specific_trap_code = SNMP_TRAP_TYPE_NONE;
  trap_message m;
  char value[SNMP_TRAP_RENDER_SIZE];
  if (pdu->command == SNMP_MSG_TRAP) {
    parse_v1(pdu, out, &m, value);
  } else {
    parse_v2(pdu, out, &m, value);
  }
  if (m.text == nullptr) return;
  VKLOG(trap_log(), VL_DEBUG, "pdu_process() - pMsg[%s]\n", m.text);
  size_t cap = m.len * 2 + 1;
  if (cap > SNMP_TRAP_MESSAGE_LIMIT + 1) cap = SNMP_TRAP_MESSAGE_LIMIT + 1;
  char *finished = static_cast<char *>(malloc(cap));
  if (finished != nullptr) snmp_trap_escape_message(m.text, m.len, finished, cap);
  message_drop(&m);
  out->message = finished;
}

// Bound of the encoded size of `msg`: each text with its tag and length
// prefix (at most 12 bytes), and each number field at most 11 bytes.
uint32_t snmp_trap_packet_size(const network_snmp_trap_t *msg) {
  size_t size = 6 * 11;
  for (const char *text : {msg->device_id_p, msg->received_ip_p, msg->enterprise_oid_p,
                           msg->trap_oid_p, msg->message_p}) {
    size += strlen(text) + 12;
  }
  return static_cast<uint32_t>(size < SNMP_TRAP_PACKET_SIZE ? size : SNMP_TRAP_PACKET_SIZE);
}

int snmp_trap_main(void *) {
  int expected = TARGET_SERVICE_STARTUP;
  g_snmp_trap.thread_status.compare_exchange_strong(expected, TARGET_SERVICE_UP);
  for (int i = 0;
       i < SNMP_TRAP_START_DELAY_SLICES && g_snmp_trap.thread_status.load() == TARGET_SERVICE_UP;
       i++) {
    vk_sleep(SNMP_TRAP_SLICE_MSEC);
  }
  if (g_snmp_trap.thread_status.load() == TARGET_SERVICE_UP) {
    VKLOG(trap_log(), VL_INFO, "[snmp_trap] udp server call.\n");
    udp_server_start(g_snmp_trap.server);
  }
  uint32_t last_count[64] = {0};
  uint32_t last_size[64] = {0};
  for (uint64_t pass = 0; g_snmp_trap.thread_status.load() == TARGET_SERVICE_UP; pass++) {
    for (int i = 0;
         i < SNMP_TRAP_PASS_SLICES && g_snmp_trap.thread_status.load() == TARGET_SERVICE_UP; i++) {
      vk_sleep(SNMP_TRAP_SLICE_MSEC);
    }
    evbuf_flush();  // held traps drain even when no new trap comes
    if (pass % SNMP_TRAP_STATS_PASSES == 0) {
      VKLOG(trap_log(), VL_INFO, "--------------------\n");
      udp_server_log_stats(g_snmp_trap.server, trap_log(), last_count, last_size, 64);
    }
  }
  g_snmp_trap.thread_status.store(TARGET_SERVICE_DOWN);
  VKLOG(trap_log(), VL_INFO, "snmptrap main thread terminate.\n");
  return 0;
}

}  // namespace

const char *snmp_trap_command_name(int command) {
  switch (command) {
    case SNMP_MSG_TRAP:
      return "SNMP_MSG_TRAP";
    case SNMP_MSG_INFORM:
      return "SNMP_MSG_INFORM";
    case SNMP_MSG_TRAP2:
      return "SNMP_MSG_TRAP2";
    case SNMP_MSG_REPORT:
      return "SNMP_MSG_REPORT";
    default:
      return "Unknown variables type!";
  }
}

const char *snmp_trap_generic_name(long generic) {
  static const char *const kNames[] = {
      "Cold Start",        "Warm Start",         "Link Down", "Link Up", "Authentication Failure",
      "EGP Neighbor Loss", "Enterprise Specific"};
  if (generic < 0 || generic > 6) return "Unknown Type";
  return kNames[generic];
}

int snmp_trap_render_octets(const uint8_t *value, size_t len, char *out, size_t out_size) {
  if (out == nullptr || out_size == 0) return -1;
  out[0] = '\0';
  // Devices often count a C string's terminator in the value.
  size_t n = len;
  while (n > 0 && value[n - 1] == 0) n--;
  bool text = true;
  for (size_t i = 0; i < n && text;) {
    size_t c = vk_utf8_char_len(value + i, n - i);
    if (c == 0 ||
        (c == 1 && value[i] < 32 && value[i] != '\t' && value[i] != '\n' && value[i] != '\r') ||
        (c == 1 && value[i] == 127)) {
      text = false;
    }
    i += c == 0 ? 1 : c;
  }
  if (text) {
    if (n + 1 > out_size) return -1;
    if (n > 0) memcpy(out, value, n);
    out[n] = '\0';
    return static_cast<int>(n);
  }
  // Raw bytes (a MAC address, Latin-1 text) as the SNMP tools print them:
  // two upper-case hex digits a byte, separated by spaces.
  static const char kHex[] = "0123456789ABCDEF";
  if (len * 3 > out_size) return -1;
  size_t o = 0;
  for (size_t i = 0; i < len; i++) {
    if (i > 0) out[o++] = ' ';
    out[o++] = kHex[value[i] >> 4];
    out[o++] = kHex[value[i] & 15];
  }
  out[o] = '\0';
  return static_cast<int>(o);
}

size_t snmp_trap_escape_message(const char *in, size_t in_len, char *out, size_t out_size) {
  if (out == nullptr || out_size == 0) return 0;
  const auto *s = reinterpret_cast<const uint8_t *>(in);
  size_t o = 0;
  size_t limit = out_size - 1;
  for (size_t i = 0; in != nullptr && i < in_len;) {
    uint8_t c = s[i];
    if (c >= 32 && c <= 126) {
      size_t need = c == '\'' ? 2 : 1;
      if (o + need > limit) break;
      out[o++] = static_cast<char>(c);
      if (c == '\'') out[o++] = '\'';
      i++;
      continue;
    }
    size_t n = c >= 0x80 ? vk_utf8_char_len(s + i, in_len - i) : 0;
    if (n == 0) break;         // control characters, 127 and broken UTF-8 end the text
    if (o + n > limit) break;  // never half a character
    memcpy(out + o, s + i, n);
    o += n;
    i += n;
  }
  out[o] = '\0';
  return o;
}

void snmp_trap_data_clear(snmp_trap_data_t *trap) {
  if (trap == nullptr) return;
  free(trap->message);
  trap->message = nullptr;
  free(trap->response);
  trap->response = nullptr;
  trap->response_len = 0;
}

int snmp_trap_decode(const char *ip, const uint8_t *data, size_t len, snmp_trap_data_t *out) {
  memset(out, 0, sizeof(*out));
  vk_copy_field(out->received_ip, sizeof(out->received_ip), ip != nullptr ? ip : "");
  // The library's parsers take writable pointers but do not write.
  auto *bytes = const_cast<u_char *>(data);
  int framed = asn_check_packet(bytes, len);
  VKLOG(trap_log(), VL_TRACE, "[snmp_trap_work] PDU Length : %ld\n", static_cast<long>(framed));
  if (framed <= 0 || static_cast<size_t>(framed) > len) {
    VKLOG(trap_log(), VL_ERROR, "snmp_comstr_parse() has failed!\n");
    return SNMP_TRAP_ERR_COMMUNITY;
  }
  size_t length = static_cast<size_t>(framed);
  netsnmp_pdu *pdu = snmp_pdu_create(0);
  if (pdu == nullptr) {
    VKLOG(trap_log(), VL_ERROR, "snmp_pdu_create() has failed!\n");
    return SNMP_TRAP_ERR_PDU;
  }
  long version = SNMP_TRAP_VERSION_UNREADABLE;
  {
    size_t rest = length;
    u_char type = 0;
    u_char *p = asn_parse_sequence(bytes, &rest, &type, ASN_SEQUENCE | ASN_CONSTRUCTOR, "version");
    long v = 0;
    if (p != nullptr && rest > 0 && *p == ASN_INTEGER &&
        asn_parse_int(p, &rest, &type, &v, sizeof(v)) != nullptr) {
      version = v;
    }
  }
  pdu->version = version;
  VKLOG(trap_log(), VL_TRACE, "[snmp_trap_work] version:%ld\n", version);

  u_char community[SNMP_TRAP_COMMUNITY_SIZE];
  size_t community_len = sizeof(community) - 1;
  long comstr_version = 0;
  size_t rest = length;
  u_char *p = snmp_comstr_parse(bytes, &rest, community, &community_len, &comstr_version);
  // Only v1 and v2c carry a community; SNMPv3 messages end here.
  if (p == nullptr || (version != SNMP_VERSION_1 && version != SNMP_VERSION_2c)) {
    VKLOG(trap_log(), VL_ERROR, "snmp_comstr_parse() has failed!\n");
    snmp_free_pdu(pdu);
    return SNMP_TRAP_ERR_COMMUNITY;
  }
  community[community_len < sizeof(community) ? community_len : sizeof(community) - 1] = '\0';
  VKLOG(trap_log(), VL_INFO, "trap version[%d],community[%s]\n", static_cast<int>(version),
        reinterpret_cast<char *>(community));
  size_t pdu_at = static_cast<size_t>(p - bytes);
  if (snmp_pdu_parse(pdu, p, &rest) != 0) {
    VKLOG(trap_log(), VL_INFO, "snmp_pdu_parse() has failed!\n");
    snmp_free_pdu(pdu);
    return SNMP_TRAP_ERR_PARSE;
  }
  // Only notifications are forwarded: a v1 trap in a v1 message, a v2 trap
  // or an inform in a v2c message. A request or a response sent to this
  // port is not a trap.
  bool notification = version == SNMP_VERSION_1
                          ? pdu->command == SNMP_MSG_TRAP
                          : (pdu->command == SNMP_MSG_TRAP2 || pdu->command == SNMP_MSG_INFORM);
  if (!notification) {
    VKLOG(trap_log(), VL_INFO,
          "[snmp_trap_decode] not a trap or inform, dropped.[from:%s,%s(%d)]\n", out->received_ip,
          snmp_trap_command_name(pdu->command), pdu->command);
    snmp_free_pdu(pdu);
    return SNMP_TRAP_ERR_NOT_TRAP;
  }
  if (pdu->command == SNMP_MSG_INFORM) {
    out->is_inform = 1;
    out->request_id = pdu->reqid;
    if (snmp_trap_inform_response(bytes, length, pdu_at, &out->response, &out->response_len) != 0) {
      VKLOG(trap_log(), VL_ERROR, "[snmp_trap_decode] inform answer cannot be made.[from:%s]\n",
            out->received_ip);
    }
  }
  snmp_trap_pdu_parser(pdu, reinterpret_cast<char *>(community), out);
  snmp_free_pdu(pdu);
  return 0;
}

namespace {

// Reads one BER header at `p` (of `avail` bytes): tag, header length and
// content length (short form, or long form of at most 4 length bytes).
// False when it does not fit in `avail`.
bool ber_header(const uint8_t *p, size_t avail, uint8_t *tag, size_t *header, size_t *content) {
  if (avail < 2) return false;
  *tag = p[0];
  size_t h = 2;
  size_t n = p[1];
  if (n & 0x80) {
    size_t bytes = n & 0x7F;
    if (bytes == 0 || bytes > 4 || avail < 2 + bytes) return false;
    n = 0;
    for (size_t i = 0; i < bytes; i++) n = (n << 8) | p[2 + i];
    h += bytes;
  }
  if (n > avail - h) return false;
  *header = h;
  *content = n;
  return true;
}

}  // namespace

int snmp_trap_inform_response(const uint8_t *msg, size_t len, size_t pdu_at, uint8_t **out,
                              size_t *out_len) {
  *out = nullptr;
  *out_len = 0;
  if (msg == nullptr || pdu_at >= len || msg[pdu_at] != SNMP_MSG_INFORM) return -1;
  // The answer is the inform itself with the PDU tag turned into a
  // Response and error-status and error-index set to 0: same version,
  // community, request id and bindings, as the receiver of an inform must
  // answer. The lengths do not change, so the framing stays valid.
  uint8_t tag = 0;
  size_t h = 0, c = 0;
  if (!ber_header(msg + pdu_at, len - pdu_at, &tag, &h, &c)) return -1;
  size_t at = pdu_at + h;
  size_t end = at + c;
  size_t error_fields[2] = {0, 0};
  for (int field = 0; field < 3; field++) {  // request-id, error-status, error-index
    if (!ber_header(msg + at, end - at, &tag, &h, &c) || tag != ASN_INTEGER || c == 0) return -1;
    if (field > 0) error_fields[field - 1] = at;
    at += h + c;
  }
  auto *copy = static_cast<uint8_t *>(malloc(len));
  if (copy == nullptr) return -2;
  memcpy(copy, msg, len);
  copy[pdu_at] = SNMP_MSG_RESPONSE;
  for (size_t field_at : error_fields) {
    ber_header(copy + field_at, end - field_at, &tag, &h, &c);
    memset(copy + field_at + h, 0, c);
  }
  *out = copy;
  *out_len = len;
  return 0;
}

int snmp_trap_send_data(const char *device_id, const snmp_trap_data_t *trap) {
  alignas(8) uint8_t work[SNMP_TRAP_WORK_AREA_SIZE];
  network_snmp_trap_t *msg = network_snmp_trap_new(work, sizeof(work));
  if (msg == nullptr) {
    VKLOG(trap_log(), VL_ERROR, "[snmp_trap_send_data] network_snmp_trap_new() has failed.\n");
    return SNMP_TRAP_ERR_MESSAGE;
  }
  msg->device_id_p = device_id;
  msg->received_ip_p = trap->received_ip;
  switch (trap->snmp_version) {
    case 0:
      msg->snmp_version = _v1_e;
      break;
    case 1:
      msg->snmp_version = _v2c_e;
      break;
    case 3:
      msg->snmp_version = _v3_e;
      break;
    default:
      msg->snmp_version = static_cast<snmp_version_e>(-1);
      break;
  }
  msg->enterprise_oid_p = trap->enterprise_oid;
  msg->index = trap->index;
  msg->generic_trap_type = trap->generic_trap_type;
  msg->specific_trap_code = trap->specific_trap_code;
  msg->trap_oid_p = trap->trap_oid;
  msg->message_p = trap->message != nullptr ? trap->message : "";
  msg->collect_time = trap->collect_time;

  // The packet is sized for this trap (a 64 KiB zeroed packet per trap
  // costs more than decoding it), never above the 65535-byte packet limit.
  uint32_t size = snmp_trap_packet_size(msg);
  mlist_item_t *pkt = nullptr;
  pkt_data *pd = make_packet_data(&pkt, DG_PKT_SNMP_TRAP, size);
  int n = pd != nullptr ? network_snmp_trap_encode(msg, pd->body, size) : -1;
  if (dg_outbox_seal(trap_log(), "snmp_trap_send_data", pkt, pd, n) != 0) {
    return SNMP_TRAP_ERR_ENCODE;
  }
  VKLOG(trap_log(), VL_TRACE, "encode(network_snmp_trap) has success.(size:%u,var:%lu)\n",
        pd->body_len, static_cast<unsigned long>(strlen(msg->message_p)));
  // The buffer owns the packet from here; it holds it while the link is
  // down and logs a drop.
  if (evbuf_submit(pkt, 1, "snmp_trap_send_data") < 0) return SNMP_TRAP_ERR_REFUSED;
  g_snmp_trap.forwarded.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

namespace {

uint16_t peer_port(const udp_peer_t *peer) {
  if (peer == nullptr) return 0;
  if (peer->addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const struct sockaddr_in6 *>(&peer->addr)->sin6_port);
  }
  if (peer->addr.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const struct sockaddr_in *>(&peer->addr)->sin_port);
  }
  return 0;
}

// True when this inform was seen lately; else it is remembered now.
bool inform_repeated(const char *ip, uint16_t port, long request_id) {
  uint64_t now = vk_monotonic_msec();
  std::lock_guard<std::mutex> guard(g_snmp_trap.inform_lock);
  for (const auto &seen : g_snmp_trap.informs) {
    if (seen.seen_msec != 0 && now - seen.seen_msec < SNMP_TRAP_INFORM_MEMORY_MSEC &&
        seen.port == port && seen.request_id == request_id && strcmp(seen.ip, ip) == 0) {
      return true;
    }
  }
  auto &slot = g_snmp_trap.informs[g_snmp_trap.inform_next];
  g_snmp_trap.inform_next = (g_snmp_trap.inform_next + 1) % SNMP_TRAP_INFORM_MEMORY_COUNT;
  vk_copy_field(slot.ip, sizeof(slot.ip), ip);
  slot.port = port;
  slot.request_id = request_id;
  slot.seen_msec = now;
  return false;
}

const char *decode_error_text(int r) {
  switch (r) {
    case SNMP_TRAP_ERR_PDU:
      return "no memory for a PDU";
    case SNMP_TRAP_ERR_COMMUNITY:
      return "not an SNMPv1/v2c message";
    case SNMP_TRAP_ERR_PARSE:
      return "undecodable PDU";
    case SNMP_TRAP_ERR_NOT_TRAP:
      return "not a trap or inform";
    default:
      return "unknown";
  }
}

}  // namespace

int snmp_trap_work(int sock, const char *ip, const char *data, size_t len, const udp_peer_t *peer) {
  if (ip == nullptr) ip = "";
  VKLOG(trap_log(), VL_TRACE, "[#%d] ip:%s,data len:%lu\n", sock, ip,
        static_cast<unsigned long>(len));
  snmp_trap_data_t trap;
  int r = snmp_trap_decode(ip, reinterpret_cast<const uint8_t *>(data), len, &trap);
  if (r != 0) {
    g_snmp_trap.dropped.fetch_add(1, std::memory_order_relaxed);
    VKLOG(trap_log(), VL_INFO, "[snmp_trap_work] datagram dropped.[from:%s,len:%lu,%s]\n", ip,
          static_cast<unsigned long>(len), decode_error_text(r));
    return r;
  }
  // The answer goes out before anything else, so the sender stops retrying.
  if (trap.is_inform && trap.response != nullptr && peer != nullptr &&
      udp_server_reply(sock, peer, trap.response, trap.response_len) == 0) {
    g_snmp_trap.answered.fetch_add(1, std::memory_order_relaxed);
  }
  if (trap.is_inform && inform_repeated(ip, peer_port(peer), trap.request_id)) {
    VKLOG(trap_log(), VL_DEBUG,
          "[snmp_trap_work] inform repeated, answered only.[from:%s,id:%ld]\n", ip,
          trap.request_id);
    snmp_trap_data_clear(&trap);
    return SNMP_TRAP_REPEATED_INFORM;
  }
  char id[TARGET_DEVICE_ID_SIZE];
  if (target_device_is_exist(&g_snmptrap_device_manager, ip, id, sizeof(id)) != 1) {
    VKLOG(trap_log(), VL_TRACE, "'%s' is not target device.\n", ip);
    snprintf(id, sizeof(id), "%s", SNMP_TRAP_UNKNOWN_ID);
  }
  VKLOG(trap_log(), VL_DEBUG,
        "ip[%s],ver[%d],uptime[%llu],ent oid[%s],index[%d],gen type[%d],spec code[%d],trap "
        "oid[%s]\n[%s]\n",
        trap.received_ip, trap.snmp_version, static_cast<unsigned long long>(trap.uptime),
        trap.enterprise_oid, static_cast<int>(trap.index), static_cast<int>(trap.generic_trap_type),
        static_cast<int>(trap.specific_trap_code), trap.trap_oid,
        trap.message != nullptr ? trap.message : "null");
  snmp_trap_send_data(id, &trap);
  snmp_trap_data_clear(&trap);
  return 0;
}

int snmp_trap_init(void) {
  if (g_snmp_trap.initialized) return 0;
  g_snmp_trap.log = vklog_get_category("snmp_trap");
  g_snmp_trap.log_dump = vklog_get_category("snmp_trap-dump");
  g_snmp_trap.thread_status.store(TARGET_SERVICE_NONE);
  target_device_init("snmptrap", &g_snmptrap_device_manager);
  g_snmp_trap.server =
      udp_server_manager_new("snmp_trap", static_cast<uint16_t>(g_agent_config.snmptrap_port),
                             SNMP_TRAP_RECEIVER_THREADS, snmp_trap_work);
  g_snmp_trap.initialized = 1;
  if (g_snmp_trap.server == nullptr) return -12;
  g_snmp_trap.server->bind_retry = 1;
  VKLOG(trap_log(), VL_INFO, "[snmp_trap_init] snmp_trap_init initialized\n");
  return 0;
}

int snmp_trap_startup(void) {
  if (!g_snmp_trap.initialized) return -1;
  int status = g_snmp_trap.thread_status.load();
  if (status == TARGET_SERVICE_STARTUP || status == TARGET_SERVICE_UP) {
    return 0;  // a second activation starts no twin thread
  }
  target_device_activate(&g_snmptrap_device_manager);
  g_snmp_trap.thread_status.store(TARGET_SERVICE_STARTUP);
  if (thread_startup(-1, "snmptrap_main", snmp_trap_main, nullptr, 0) != 0) {
    g_snmp_trap.thread_status.store(TARGET_SERVICE_FAIL);
    VKLOG(trap_log(), VL_ERROR, "[snmp_trap_startup] Create thread(snmptrap_main) failed.\n");
  }
  return 0;
}

int snmp_trap_shutdown(int timeout_sec) {
  int status = g_snmp_trap.thread_status.load();
  // Never started counts as down: the link may drop before the first
  // activation.
  if (!g_snmp_trap.initialized || status == TARGET_SERVICE_SHUTDOWN ||
      status == TARGET_SERVICE_DOWN || status == TARGET_SERVICE_NONE) {
    VKLOG(trap_log(), VL_INFO, "snmptrap is already down.[(%d)%s]\n", status,
          target_service_status_to_str(status));
    return 0;
  }
  target_device_deactivate(&g_snmptrap_device_manager);
  if (status != TARGET_SERVICE_FAIL) {
    g_snmp_trap.thread_status.store(TARGET_SERVICE_SHUTDOWN);
    int64_t limit = static_cast<int64_t>(timeout_sec > 0 ? timeout_sec : 3) * 1000;
    uint64_t start = vk_monotonic_msec();
    int64_t max_polls = limit / SNMP_TRAP_POLL_MSEC * 20;
    for (int64_t polls = 0;
         g_snmp_trap.thread_status.load() != TARGET_SERVICE_DOWN && polls < max_polls; polls++) {
      if (static_cast<int64_t>(vk_monotonic_msec() - start) >= limit) break;
      vk_sleep(SNMP_TRAP_POLL_MSEC);
    }
    if (g_snmp_trap.thread_status.load() != TARGET_SERVICE_DOWN) {
      g_snmp_trap.thread_status.store(TARGET_SERVICE_FAIL);
      VKLOG(trap_log(), VL_ERROR, "snmptrap shutdown has failed.(timeout)\n");
      exit(2);
    }
  }
  udp_server_shutdown(g_snmp_trap.server, SNMP_TRAP_RECEIVER_STOP_SEC);
  target_device_manager_clean(&g_snmptrap_device_manager);
  status = g_snmp_trap.thread_status.load();
  VKLOG(trap_log(), VL_INFO, "snmptrap shutdown[(%d)%s]\n", status,
        target_service_status_to_str(status));
  return 0;
}

void snmp_trap_link_lost(void) {
  if (!g_snmp_trap.initialized) return;
  g_snmp_trap.registrations_kept.store(1);
}

int snmp_trap_target_device_add_by_ip(const char *ip, const char *id) {
  // The first device of the list that follows a reconnect replaces what
  // was kept through it.
  if (g_snmp_trap.registrations_kept.exchange(0) == 1) {
    VKLOG(trap_log(), VL_INFO,
          "[snmp_trap_target_device_add_by_ip] the new device list replaces the kept targets.\n");
    target_device_manager_clean(&g_snmptrap_device_manager);
  }
  return target_device_add_by_ip(&g_snmptrap_device_manager, ip, id);
}

int snmp_trap_only(uint16_t port) {
  if (snmp_trap_init() != 0) return 1;
  if (g_snmp_trap.only_server != nullptr) return 0;
  g_snmp_trap.only_server =
      udp_server_manager_new("snmp_trap", port, SNMP_TRAP_ONLY_RECEIVER_THREADS, snmp_trap_work);
  if (g_snmp_trap.only_server == nullptr) return 1;
  udp_server_start(g_snmp_trap.only_server);
  if (udp_server_bound_count(g_snmp_trap.only_server) == 0) {
    // Nothing listens: the mode must not pretend it receives.
    udp_server_shutdown(g_snmp_trap.only_server, 1);
    if (udp_server_manager_free(g_snmp_trap.only_server) == 0) g_snmp_trap.only_server = nullptr;
    return 2;
  }
  return 0;
}

int snmp_trap_only_shutdown(void) {
  if (g_snmp_trap.only_server == nullptr) return 0;
  if (udp_server_shutdown(g_snmp_trap.only_server, SNMP_TRAP_RECEIVER_STOP_SEC) != 0) return -1;
  udp_server_manager_free(g_snmp_trap.only_server);
  g_snmp_trap.only_server = nullptr;
  return 0;
}
