#include "snmp_util.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>
#include <string>
#include <string_view>

#include "vk_util.h"
#include "vklog.h"

namespace {

constexpr uint16_t kDefaultSnmpPort = 161;
constexpr size_t kValueBufferSize = 1024;

// A fixed-width text field of the command-line record, never read past its
// width even if it were not terminated.
std::string_view field_view(const char *field, size_t size) {
  return std::string_view(field, strnlen(field, size));
}
#define FIELD(f) field_view((f), sizeof(f))

int auth_word_to_code(std::string_view word) {
  static constexpr std::string_view words[] = {"md5",    "sha",    "sha224",
                                               "sha256", "sha384", "sha512"};
  for (size_t i = 0; i < sizeof(words) / sizeof(words[0]); i++) {
    if (word == words[i]) return static_cast<int>(i) + 1;
  }
  return SM_AUTH_NONE;
}

int priv_word_to_code(std::string_view word) {
  static constexpr std::string_view words[] = {"des", "aes128", "aes192", "aes256"};
  for (size_t i = 0; i < sizeof(words) / sizeof(words[0]); i++) {
    if (word == words[i]) return static_cast<int>(i) + 1;
  }
  return SM_PRIV_NONE;
}

// Copies `text` into a field of `size` bytes, cut to fit.
void copy_cut(char *field, size_t size, const char *text, size_t len) {
  if (len >= size) len = size - 1;
  memcpy(field, text, len);
  field[len] = '\0';
}

// True for a variable that carries a value: not an exception (no such
// object or instance, end of the MIB view) and not NULL.
bool has_value(const netsnmp_variable_list *v) {
  return v->type != SNMP_NOSUCHOBJECT && v->type != SNMP_NOSUCHINSTANCE &&
         v->type != SNMP_ENDOFMIBVIEW && v->type != ASN_NULL;
}

// Prints every variable of the entry as the one-shot request's value lines.
// Returns the number of variables that carry a value.
int print_variables(const snmp_response_data *entry) {
  if (entry->variables == nullptr) {
    printf("variables is NULL.\n");
    return 0;
  }
  int values = 0;
  size_t oid_size = 256;
  auto *oid_buf = static_cast<u_char *>(malloc(oid_size));
  size_t value_size = 256;
  auto *value_buf = static_cast<u_char *>(malloc(value_size));
  if (oid_buf == nullptr || value_buf == nullptr) {
    free(oid_buf);
    free(value_buf);
    printf("get_variable_realloc_by_type() has failed\n");
    return 0;
  }
  for (const netsnmp_variable_list *v = entry->variables; v != nullptr; v = v->next_variable) {
    values += has_value(v) ? 1 : 0;
    size_t oid_len = 0;
    oid_buf[0] = '\0';
    sprint_realloc_objid(&oid_buf, &oid_size, &oid_len, 1, v->name, v->name_length);
    size_t value_len = 0;
    value_buf[0] = '\0';
    if (get_variable_realloc_by_type(&value_buf, &value_size, &value_len, 1, v, nullptr, nullptr,
                                     nullptr) == 0) {
      printf("get_variable_realloc_by_type() has failed\n");
      continue;
    }
    printf("value(%lu)-[type:%02x][%d](%lu)[%s](%lu)[%s]\n", static_cast<unsigned long>(value_size),
           v->type, v->index, static_cast<unsigned long>(v->name_length),
           reinterpret_cast<char *>(oid_buf), static_cast<unsigned long>(value_len),
           reinterpret_cast<char *>(value_buf));
  }
  free(oid_buf);
  free(value_buf);
  return values;
}

// Stores one system-group value into the record by its label.
void store_system_value(device_system *sys, const snmp_response_data *entry, char *text,
                        size_t text_len) {
  std::string_view label(entry->name);
  if (label == "system.uptime") {
    const netsnmp_variable_list *v = entry->variables;
    // Read the ticks from the value itself: its printed form depends on the
    // library's output settings ("123" or "Timeticks: (123) 0:00:01.23").
    if (v != nullptr && v->val.integer != nullptr &&
        (v->type == ASN_TIMETICKS || v->type == ASN_GAUGE || v->type == ASN_COUNTER ||
         v->type == ASN_UINTEGER)) {
      sys->uptime = static_cast<unsigned long>(*v->val.integer) & 0xffffffffUL;
      return;
    }
    uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(text, text + text_len, value);
    if (ec == std::errc() && ptr == text + text_len) sys->uptime = value;
    return;
  }
  char *field = nullptr;
  size_t size = 0;
  if (label == "system.description") {
    field = sys->description;
    size = sizeof(sys->description);
  } else if (label == "system.object_id") {
    field = sys->object_id;
    size = sizeof(sys->object_id);
  } else if (label == "system.contact") {
    field = sys->contract;
    size = sizeof(sys->contract);
  } else if (label == "system.name") {
    field = sys->name;
    size = sizeof(sys->name);
  } else {
    return;
  }
  // An OCTET STRING is stored from its own bytes, as UTF-8
  // (sm_octets_to_text): the formatter wraps text in quotes and escapes
  // quotes inside it, which would leave backslashes behind once the outer
  // quotes are trimmed, and it shows UTF-8 text as a hex dump.
  const netsnmp_variable_list *v = entry->variables;
  std::string raw;
  if (v != nullptr && v->type == ASN_OCTET_STR && v->val.string != nullptr) {
    raw.resize(v->val_len * 2 + 1);  // a Latin-1 byte takes two
    raw.resize(sm_octets_to_text(v->val.string, v->val_len, raw.data(), raw.size()));
  } else {
    raw.assign(text, text_len);
  }
  // Trim the quotes before cutting, so that a long quoted value keeps as
  // much of its content as the field holds.
  size_t begin = raw.find_first_not_of('"');
  size_t end = raw.find_last_not_of('"');
  if (begin == std::string::npos) {
    raw.clear();
  } else {
    raw = raw.substr(begin, end - begin + 1);
  }
  // Cut at a character boundary (the text is UTF-8 by now).
  sm_octets_to_text(reinterpret_cast<const uint8_t *>(raw.data()), raw.size(), field, size);
}

// ---- The one-shot request, step by step ----

// Everything one request makes, so that one clean-up frees it.
struct one_shot {
  snmp_info info;
  netsnmp_session session;  // borrows from info
  mlist_t list;             // the one entry "exec.command"
  snmp_session_error err;
  void *fd;  // open session or null
};

// A pass phrase as it may be printed or logged: masked, and empty only
// when it is empty.
std::string_view masked(std::string_view secret) {
  return secret.empty() ? std::string_view() : std::string_view("********");
}

void print_command(const agent_config_snmp *c) {
  std::string_view addr = FIELD(c->addr);
  std::string_view ver = FIELD(c->version);
  std::string_view comm = FIELD(c->community_secname);
  std::string_view level_word = FIELD(c->authpriv);
  std::string_view auth_word = FIELD(c->auth_algorithm);
  std::string_view auth_pw = masked(FIELD(c->auth_password));
  std::string_view priv_word = FIELD(c->priv_algorithm);
  std::string_view priv_pw = masked(FIELD(c->priv_password));
  std::string_view type = FIELD(c->type);
  std::string_view oid_text = FIELD(c->object_id);
  printf(
      "exec command - ip[%.*s],ver[%.*s],comm[%.*s],level[%d][%.*s],auth[%.*s,%.*s],"
      "priv[%.*s,%.*s],type[%.*s],oid[%.*s]\n",
      (int)addr.size(), addr.data(), (int)ver.size(), ver.data(), (int)comm.size(), comm.data(),
      c->sec_level, (int)level_word.size(), level_word.data(), (int)auth_word.size(),
      auth_word.data(), (int)auth_pw.size(), auth_pw.data(), (int)priv_word.size(),
      priv_word.data(), (int)priv_pw.size(), priv_pw.data(), (int)type.size(), type.data(),
      (int)oid_text.size(), oid_text.data());
}

// SNMP_VERSION_* of a version word, or -1.
int version_from_word(std::string_view ver) {
  if (ver == "v1") return SNMP_VERSION_1;
  if (ver == "v2c") return SNMP_VERSION_2c;
  if (ver == "v3") return SNMP_VERSION_3;
  return -1;
}

// Initialises the library the same way for every version, reading and
// writing nothing of the host's: no snmp.conf (in the configuration path,
// the home directory or the one SNMPCONFPATH names), no persistent state, no
// MIB files. SNMPv3 needs the initialisation (without it there is no USM
// security model); the host's files would change how names and values print,
// and MIB modules that cannot be found or parsed fill stderr with warnings.
// Output stays in the library's default style. Runs before the agent's own
// library settings, in a process that ends after the request; init_snmp does
// nothing when the library is initialised already.
void init_library_for_one_shot() {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
  // Even with saving off, start-up makes directories under the persistent
  // directory (and says so on stderr); none can be made under /dev/null,
  // which the library lets pass quietly.
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, "/dev/null");
  // No MIB: an empty search path (preferred by the library to MIBDIRS and
  // its built-in path), an empty module list and no extra files. The module
  // list has no setting of its own: without MIBS the library would try its
  // default modules and report each one it cannot find.
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, "");
  setenv("MIBS", "", 1);
  unsetenv("MIBFILES");
  init_snmp("vosk-qdr-agent");
}

// The SNMPv3 part of the command line into `sec`: prints the v3 line.
// 0, or SM_CMD_ERR_SETUP after printing why.
int set_v3_security(const agent_config_snmp *c, snmp_sec_info *sec) {
  std::string_view level_word = FIELD(c->authpriv);
  std::string auth_pw(FIELD(c->auth_password));
  std::string priv_pw(FIELD(c->priv_password));
  std::string name(FIELD(c->community_secname));
  int level = 0;
  const char *level_name = nullptr;
  if (level_word == "authpriv") {
    level = SM_SEC_LEVEL_AUTHPRIV;
    level_name = "authpriv";
  } else if (level_word == "authnopriv") {
    level = SM_SEC_LEVEL_AUTHNOPRIV;
    level_name = "authnopriv";
  } else if (level_word == "noauthnopriv") {
    level = SM_SEC_LEVEL_NOAUTH;
    level_name = "noauth";
  } else {
    printf("'%.*s' auth priv type is wrong.\n", (int)level_word.size(), level_word.data());
    return SM_CMD_ERR_SETUP;
  }
  int auth = auth_word_to_code(FIELD(c->auth_algorithm));
  int priv = priv_word_to_code(FIELD(c->priv_algorithm));
  std::string_view auth_shown = masked(auth_pw);
  std::string_view priv_shown = masked(priv_pw);
  printf("exec command - v3 level[%s],auth[type:%s,pw:%.*s],priv[type:%s,pw:%.*s]\n", level_name,
         sm_auth_algorithm_name(auth), (int)auth_shown.size(), auth_shown.data(),
         sm_priv_algorithm_name(priv), (int)priv_shown.size(), priv_shown.data());
  int r =
      sm_set_snmp_sec_info(sec, level, name.c_str(), auth, auth_pw.c_str(), priv, priv_pw.c_str());
  if (r != 0) {
    printf("snmp security setting has failed.(%d)\n", r);
    return SM_CMD_ERR_SETUP;
  }
  return 0;
}

// Fills req->info and req->session from the command line, with the
// library's default time-out and retries. 0, or SM_CMD_ERR_SETUP after
// printing why.
int set_up_session(one_shot *req, const agent_config_snmp *c, int version, const char *host,
                   uint16_t port) {
  if (version == SNMP_VERSION_3 && set_v3_security(c, &req->info.security) != 0) {
    return SM_CMD_ERR_SETUP;
  }
  std::string community(FIELD(c->community_secname));
  int r = sm_set_snmp_info(&req->info, host, port, version, 0, 0,
                           version == SNMP_VERSION_3 ? nullptr : community.c_str());
  if (r == 0) r = sm_set_session_by_info(&req->session, &req->info);
  if (r != 0) {
    printf("snmp session setting has failed.(%d)\n", r);
    return SM_CMD_ERR_SETUP;
  }
  return 0;
}

// Prints the result line and then the failure or the value lines.
// `request_ret` is the request's own result: a failure that left no text and
// no error status in the record (a walk cut at its variable limit, an
// answer that never came) would otherwise show as success with whatever it
// had collected, so its code and text are printed instead.
int print_result(one_shot *req, int request_ret) {
  const snmp_session_error &e = req->err;
  printf("result> stat:%ld,lib:%d,snmp:%d,status:%ld\n", e.response_errstat, e.sess_clib_error_num,
         e.sess_snmp_error_num, e.sess_status);
  if (e.error_message != nullptr) {
    printf("snmp error:%s\n", e.error_message);
    return SM_CMD_ERR_REQUEST;
  }
  if (request_ret < 0 && e.response_errstat == 0) {
    printf("snmp error:(%d)%s\n", request_ret, sm_get_func_error_str(request_ret));
    return SM_CMD_ERR_REQUEST;
  }
  mlist_item_t *cur = nullptr;
  auto *entry = static_cast<snmp_response_data *>(mlist_getting_data(&req->list, nullptr, &cur));
  int values = entry != nullptr ? print_variables(entry) : 0;
  // An error status in the answer, or an answer without a single value
  // (no such object, an empty subtree), is no result.
  if (e.response_errstat != 0) return SM_CMD_ERR_REQUEST;
  return values > 0 ? 0 : SM_CMD_ERR_EMPTY;
}

// What a failed one-shot request says on standard error, after what it
// printed on standard output.
const char *cmd_error_text(int code, const snmp_session_error *e) {
  if (e->error_message != nullptr) return e->error_message;
  switch (code) {
    case SM_CMD_ERR_VERSION:
      return "unknown version";
    case SM_CMD_ERR_ADDRESS:
      return "bad address";
    case SM_CMD_ERR_SETUP:
      return "session setting has failed";
    case SM_CMD_ERR_OPEN:
      return "open snmp session has failed";
    case SM_CMD_ERR_REQ_TYPE:
      return "unknown request type";
    case SM_CMD_ERR_EMPTY:
      return "no value in the answer";
    default:
      return e->response_errstat != 0 ? snmp_errstring(static_cast<int>(e->response_errstat))
                                      : "request has failed";
  }
}

// Opens the session, sends the one GET or walk and prints what came back.
// 0, or the SM_CMD_ERR_* of the step that failed after printing it.
int send_and_print(one_shot *req, std::string_view type, std::string_view oid_text) {
  std::string oid_s(oid_text);
  sm_response_list_add(&req->list, "exec.command", 0, oid_s.c_str());
  req->fd = sm_snmp_open_by_session(&req->session, &req->err);
  if (req->fd == nullptr) {
    printf("open snmp session has failed.[peer:%s,ver:%ld]\n", req->info.peername,
           req->session.version);
    return SM_CMD_ERR_OPEN;
  }
  int ret;
  if (type == "get") {
    ret = sm_get_request(req->fd, &req->list, &req->err);
  } else if (type == "subtree") {
    ret = sm_bulk_request_multiple(req->fd, 0, &req->list, &req->err);
  } else {
    printf("snmp requeset type(%.*s) is not support.\n", (int)type.size(), type.data());
    return SM_CMD_ERR_REQ_TYPE;
  }
  return print_result(req, ret);
}

}  // namespace

bool sm_parse_address(const char *address, char *host, size_t host_size, uint16_t *port) {
  if (address == nullptr || host == nullptr || host_size == 0 || port == nullptr) return false;
  std::string_view addr(address);
  size_t colon = addr.find(':');
  std::string_view h = addr.substr(0, colon);
  if (h.empty() || h.size() >= host_size) return false;
  memcpy(host, h.data(), h.size());
  host[h.size()] = '\0';
  *port = kDefaultSnmpPort;
  if (colon == std::string_view::npos) return true;
  std::string_view p = addr.substr(colon + 1);
  unsigned value = 0;
  auto [ptr, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
  if (p.empty() || ec != std::errc() || ptr != p.data() + p.size() || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

int sm_request_from_argument(const agent_config_snmp *config_snmp) {
  if (config_snmp == nullptr) return SM_CMD_ERR_VERSION;
  print_command(config_snmp);
  int version = version_from_word(FIELD(config_snmp->version));
  if (version < 0) return SM_CMD_ERR_VERSION;

  std::string addr(FIELD(config_snmp->addr));
  char host[SM_IP_SIZE];
  uint16_t port = 0;
  if (!sm_parse_address(addr.c_str(), host, sizeof(host), &port)) {
    printf("snmp address is wrong.[%s]\n", addr.c_str());
    fflush(stdout);
    fprintf(stderr, "--cmd-snmp %s has failed: bad address\n", addr.c_str());
    return SM_CMD_ERR_ADDRESS;
  }

  // Large records (pass phrases of 512 bytes): off the caller's stack.
  auto *req = static_cast<one_shot *>(calloc(1, sizeof(one_shot)));
  if (req == nullptr) {
    printf("memory allocate has failed.\n");
    return SM_CMD_ERR_SETUP;
  }
  sm_response_list_init(&req->list);
  sm_snmp_error_init(&req->err);

  init_library_for_one_shot();
  int ret = set_up_session(req, config_snmp, version, host, port);
  if (ret == 0) ret = send_and_print(req, FIELD(config_snmp->type), FIELD(config_snmp->object_id));
  fflush(stdout);
  if (ret != 0) {
    fprintf(stderr, "--cmd-snmp %s:%u has failed: %s\n", host, static_cast<unsigned>(port),
            cmd_error_text(ret, &req->err));
  }

  sm_snmp_close(req->fd);
  sm_response_list_clean(&req->list);
  sm_snmp_error_clean(&req->err);
  sm_clear_session(&req->session);
  sm_clear_snmp_info(&req->info);
  free(req);
  return ret;
}

int sm_discovery_device(snmp_info *info, discovery_device *device) {
  if (info == nullptr || device == nullptr) return -1;
  VKLOG(g_vklog, VL_INFO, "[sm_discovery_device]ip[%s],port[%hu,ver[%d]]\n", info->ip, info->port,
        info->version);
  copy_cut(device->ip, sizeof(device->ip), info->ip, strnlen(info->ip, sizeof(info->ip)));
  device->port = info->port;
  memset(&device->device_system, 0, sizeof(device->device_system));
  device->success = 0;
  device->message[0] = '\0';

  snmp_session_error err;
  sm_snmp_error_init(&err);
  netsnmp_session session;
  int r = sm_set_session_by_info(&session, info);
  if (r != 0) {
    snprintf(device->message, sizeof(device->message), "snmp session set-up has failed.(%d)", r);
    VKLOG(g_vklog, VL_INFO, "[sm_discovery_device] %s(ip[%s],port[%hu])\n", device->message,
          info->ip, info->port);
    sm_clear_session(&session);
    return -1;
  }
  void *fd = sm_snmp_open_by_session(&session, &err);
  if (fd == nullptr) {
    VKLOG(g_vklog, VL_INFO,
          "[sm_discovery_device] open snmp session has failed.(ip[%s],port[%hu])\n", info->ip,
          info->port);
    size_t len = sizeof(device->message);
    sm_get_error_message(-1, &err, device->message, &len);
    sm_snmp_error_clean(&err);
    sm_clear_session(&session);
    return -1;
  }

  mlist_t list;
  sm_response_list_init(&list);
  sm_response_list_add(&list, "system.description", 0, ".1.3.6.1.2.1.1.1.0");
  sm_response_list_add(&list, "system.object_id", 0, ".1.3.6.1.2.1.1.2.0");
  sm_response_list_add(&list, "system.uptime", 0, ".1.3.6.1.2.1.1.3.0");
  sm_response_list_add(&list, "system.contact", 0, ".1.3.6.1.2.1.1.4.0");
  sm_response_list_add(&list, "system.name", 0, ".1.3.6.1.2.1.1.5.0");
  int ret = sm_request_multiple(fd, 0, SNMP_REQ_TYPE_GET, &list, &err);
  if (ret < 0) {
    size_t len = sizeof(device->message);
    sm_get_error_message(ret, &err, device->message, &len);
    VKLOG(g_vklog, VL_INFO,
          "[sm_discovery_device]sm_request_multiple() has failed.(ip[%s],port[%hu],err[%s])\n",
          info->ip, info->port, device->message);
  } else {
    size_t buf_size = kValueBufferSize;
    auto *buf = static_cast<u_char *>(malloc(buf_size));
    snmp_response_data *entry;
    mlist_item_t *cur = nullptr;
    while (buf != nullptr && (entry = static_cast<snmp_response_data *>(
                                  mlist_getting_data(&list, nullptr, &cur))) != nullptr) {
      size_t out_len = 0;
      buf[0] = '\0';
      if (entry->variables != nullptr &&
          get_variable_realloc_by_type(&buf, &buf_size, &out_len, 1, entry->variables, nullptr,
                                       nullptr, nullptr) == 0) {
        out_len = 0;
        buf[0] = '\0';
      }
      VKLOG(g_vklog, VL_INFO, "name[%s],(%lu)[%s]\n", entry->name,
            static_cast<unsigned long>(out_len), reinterpret_cast<char *>(buf));
      if (entry->variables != nullptr) {
        store_system_value(&device->device_system, entry, reinterpret_cast<char *>(buf), out_len);
      }
    }
    free(buf);
    device->device_system.collect_time = vk_get_time_nsec();
    device->success = 1;
  }

  sm_response_list_clean(&list);
  sm_snmp_close(fd);
  sm_clear_session(&session);
  sm_snmp_error_clean(&err);
  return ret;
}

size_t sm_octets_to_text(const uint8_t *bytes, size_t len, char *text, size_t size) {
  if (text == nullptr || size == 0) return 0;
  size_t out = 0;
  for (size_t i = 0; bytes != nullptr && i < len && bytes[i] != 0;) {
    size_t n = vk_utf8_char_len(bytes + i, len - i);
    uint8_t latin1[2] = {static_cast<uint8_t>(0xC0 | (bytes[i] >> 6)),
                         static_cast<uint8_t>(0x80 | (bytes[i] & 0x3F))};
    const uint8_t *src = n > 0 ? bytes + i : latin1;
    size_t out_n = n > 0 ? n : 2;
    if (out + out_n > size - 1) break;
    memcpy(text + out, src, out_n);
    out += out_n;
    i += n > 0 ? n : 1;
  }
  text[out] = '\0';
  return out;
}

size_t sm_octets_to_hex(const uint8_t *bytes, size_t len, char *text, size_t size) {
  if (text == nullptr || size == 0) return 0;
  size_t out = 0;
  for (size_t i = 0; bytes != nullptr && i < len; i++) {
    size_t need = i == 0 ? 2 : 3;
    if (out + need > size - 1) break;
    out += static_cast<size_t>(snprintf(text + out, size - out, i == 0 ? "%02X" : " %02X",
                                        static_cast<unsigned>(bytes[i])));
  }
  text[out] = '\0';
  return out;
}
