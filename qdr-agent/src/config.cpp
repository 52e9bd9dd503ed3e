#include "config.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <charconv>
#include <string>
#include <string_view>

#include "environment.h"
#include "vk_config.h"
#include "vklog.h"

// Emptied and given its initial values by config_init() at start-up.
agent_config g_agent_config;

namespace {

// The text the file reader returns for a missing or empty key.
constexpr const char *kNotSet = "not set";

struct text_setting {
  int type;
  size_t offset;
  size_t max_len;  // longest accepted value
  int error;
};

constexpr text_setting kTextSettings[] = {
    {AGENT_CONFIG_TYPE_APP_NAME, offsetof(agent_config, app_name), 254, -10},
    {AGENT_CONFIG_TYPE_RECEIVER_IP, offsetof(agent_config, receiver_ip), 38, -11},
    {AGENT_CONFIG_TYPE_CONFIG_PATH, offsetof(agent_config, config_path), 4094, -13},
    {AGENT_CONFIG_TYPE_LOG_CONFIG_PATH, offsetof(agent_config, log_config_path), 4094, -14},
    {AGENT_CONFIG_TYPE_PING_IP, offsetof(agent_config, ping_ip), 38, -17},
};

// Parses an unsigned decimal port the way the command line and the file
// give it: leading digits count, anything that is not a number gives 0.
// Returns false when the value is above 65535.
bool parse_port(const char *value, unsigned long *out) {
  std::string_view text(value);
  // A negative number is out of range, not "not a number".
  if (!text.empty() && text[0] == '-') return false;
  unsigned long n = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec == std::errc::result_out_of_range) return false;
  if (ec != std::errc()) n = 0;
  (void)ptr;
  if (n > 65535) return false;
  *out = n;
  return true;
}

// The keys of the configuration file, in the order they are read.
struct file_key {
  const char *key;
  int type;
  bool number;  // a port: the whole value must be a decimal number
};

constexpr file_key kFileKeys[] = {
    {"receiver_ip", AGENT_CONFIG_TYPE_RECEIVER_IP, false},
    {"receiver_port", AGENT_CONFIG_TYPE_RECEIVER_PORT, true},
    {"syslog_port", AGENT_CONFIG_TYPE_SYSLOG_PORT, true},
    {"snmptrap_port", AGENT_CONFIG_TYPE_SNMPTRAP_PORT, true},
    {"app_name", AGENT_CONFIG_TYPE_APP_NAME, false},
};

const file_key *find_file_key(const char *key) {
  for (const file_key &k : kFileKeys) {
    if (strcmp(k.key, key) == 0) return &k;
  }
  return nullptr;
}

// True when `text` is a decimal number and nothing else.
bool is_decimal(const char *text) {
  if (*text == '\0') return false;
  for (const char *p = text; *p != '\0'; p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

// Warns, on standard error (logging is not up while the file is read), of
// a line the agent cannot use: a misspelt key would otherwise leave its
// setting at the default without a word, and "90x" would read as 90.
void warn_unusable_line(const char *key, const char *value, int line, void *arg) {
  const char *path = static_cast<const char *>(arg);
  // event_buffer_bytes is read and checked on its own, below.
  if (strcmp(key, "event_buffer_bytes") == 0) return;
  const file_key *k = find_file_key(key);
  if (k == nullptr) {
    fprintf(stderr, "[load_config_from_file] unknown key '%s' ignored.[%s:%d]\n", key, path, line);
    return;
  }
  // A value that names the environment is judged after expansion, below.
  if (k->number && strchr(value, '$') == nullptr && value[0] != '\0' && !is_decimal(value) &&
      strcmp(value, kNotSet) != 0) {
    fprintf(stderr, "[load_config_from_file] '%s' is not a number, ignored.[%s:%d: %s]\n", key,
            path, line, value);
  }
}

// "event_buffer_bytes": a whole unsigned decimal number. Anything else is
// refused with a line on standard error, and the default applies.
void load_event_buffer_bytes(const char *config_path, agent_config *c) {
  char value[64];
  ReadConfStringEx(config_path, "event_buffer_bytes", value, sizeof(value), kNotSet);
  if (strcmp(value, kNotSet) == 0) return;
  std::string_view text(value);
  unsigned long long n = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || ptr != text.data() + text.size() ||
      n > static_cast<unsigned long long>(INT64_MAX)) {
    fprintf(stderr,
            "[load_config_from_file] event_buffer_bytes is not a number of bytes, "
            "the default applies.[%s]\n",
            value);
    return;
  }
  c->event_buffer_bytes = static_cast<long long>(n);
}

}  // namespace

void config_init(agent_config *config) {
  memset(config, 0, sizeof(*config));
  config->collect_thread_count = AGENT_CONFIG_COLLECT_THREAD_COUNT;
  config->event_buffer_bytes = -1;
}

int config_set_value_from_str(agent_config *config, int type, const char *value) {
  if (config == nullptr || value == nullptr) return -1;
  for (const text_setting &s : kTextSettings) {
    if (s.type != type) continue;
    size_t len = strlen(value);
    if (len > s.max_len) return s.error;
    char *field = reinterpret_cast<char *>(config) + s.offset;
    memcpy(field, value, len + 1);
    return 0;
  }
  unsigned long port = 0;
  switch (type) {
    case AGENT_CONFIG_TYPE_RECEIVER_PORT:
      if (!parse_port(value, &port)) return -12;
      config->receiver_port = static_cast<uint16_t>(port);
      return 0;
    case AGENT_CONFIG_TYPE_SYSLOG_PORT:
      if (!parse_port(value, &port)) return -15;
      config->syslog_port = static_cast<int>(port);
      return 0;
    case AGENT_CONFIG_TYPE_SNMPTRAP_PORT:
      if (!parse_port(value, &port)) return -16;
      config->snmptrap_port = static_cast<int>(port);
      return 0;
    default:
      return -1;
  }
}

int config_set_value_from_int(agent_config *config, int type, int value) {
  if (config == nullptr) return -1;
  switch (type) {
    case AGENT_CONFIG_TYPE_SYSLOG_ONLY:
    case AGENT_CONFIG_TYPE_SNMPTRAP_ONLY:
    case AGENT_CONFIG_TYPE_PING_ONLY:
      if (config->is_only_type != 0) return -2;
      config->is_only_type = value;
      return 0;
    default:
      return -1;
  }
}

int load_config_from_file(char *config_path) {
  if (config_path == nullptr) return -1;
  if (config_path[0] == '\0') {
    int n = snprintf(config_path, AGENT_CONFIG_PATH_SIZE, "%s/conf/qdr.conf", g_qdr_home);
    if (n < 0 || n >= AGENT_CONFIG_PATH_SIZE) {
      // A home this long leaves no room for the file name: read nothing,
      // so every key takes its default.
      config_path[0] = '\0';
      return 0;
    }
  }
  VKLOG(g_vklog, VL_DEBUG, "load config info from file.[%s]\n", config_path);
  // The reader takes a device, a FIFO or a directory for a missing file (it
  // would block or never end); say so, since every key takes its default.
  // Logging is not up yet at start-up: the line goes to standard error.
  struct stat st;
  if (stat(config_path, &st) == 0 && !S_ISREG(st.st_mode)) {
    fprintf(stderr, "[load_config_from_file] not a regular file, read as missing.[%s]\n",
            config_path);
    VKLOG(g_vklog, VL_ERROR, "[load_config_from_file] not a regular file, read as missing.[%s]\n",
          config_path);
  }

  vk_config_for_each(config_path, warn_unusable_line, config_path);

  agent_config *c = &g_agent_config;
  for (const file_key &k : kFileKeys) {
    bool unset = false;
    switch (k.type) {
      case AGENT_CONFIG_TYPE_RECEIVER_IP:
        unset = c->receiver_ip[0] == '\0';
        break;
      case AGENT_CONFIG_TYPE_RECEIVER_PORT:
        unset = c->receiver_port == 0;
        break;
      case AGENT_CONFIG_TYPE_SYSLOG_PORT:
        unset = c->syslog_port == 0;
        break;
      case AGENT_CONFIG_TYPE_SNMPTRAP_PORT:
        unset = c->snmptrap_port == 0;
        break;
      case AGENT_CONFIG_TYPE_APP_NAME:
        unset = c->app_name[0] == '\0';
        break;
    }
    if (!unset) continue;
    char value[1024];
    ReadConfStringEx(config_path, k.key, value, sizeof(value), kNotSet);
    if (strcmp(value, kNotSet) == 0) continue;
    // A port with anything but digits is dropped as well: "90x" is not 90.
    // (The line scan above has named a written value; one that came from
    // the environment is named here.)
    if (k.number && !is_decimal(value)) {
      char raw[1024] = "";
      _get_config_string(config_path, k.key, raw, sizeof(raw));
      if (strchr(raw, '$') != nullptr) {
        fprintf(stderr, "[load_config_from_file] '%s' is not a number, ignored.[%s: %s]\n", k.key,
                config_path, value);
      }
      continue;
    }
    // A rejected value (too long, port above 65535) is dropped: the field
    // keeps its earlier value and the default applies.
    config_set_value_from_str(c, k.type, value);
  }
  load_event_buffer_bytes(config_path, c);
  return 0;
}

int config_validation(void) {
  agent_config *c = &g_agent_config;
  if (c->log_config_path[0] == '\0') {
    int n =
        snprintf(c->log_config_path, sizeof(c->log_config_path), "%s/conf/log.conf", g_qdr_home);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(c->log_config_path)) c->log_config_path[0] = '\0';
  }
  if (c->receiver_port == 0) c->receiver_port = 9010;
  if (c->syslog_port == 0) c->syslog_port = 514;
  if (c->snmptrap_port == 0) c->snmptrap_port = 162;
  if (c->event_buffer_bytes < 0) c->event_buffer_bytes = AGENT_CONFIG_EVENT_BUFFER_BYTES;
  if (c->app_name[0] == '\0') snprintf(c->app_name, sizeof(c->app_name), "%s", "vosk-qdr-agent");
  return 0;
}

int config_check_receiver_ip(const char *ip) {
  if (ip == nullptr || ip[0] == '\0') return -1;
  unsigned char buf[sizeof(struct in6_addr)];
  std::string_view text(ip);
  // A text of digits and dots is meant as an IPv4 address, one with a colon
  // as an IPv6 address (a port does not belong here): they must parse.
  if (text.find(':') != std::string_view::npos) {
    // A link-local address may name its interface after a '%'.
    std::string addr(text.substr(0, text.find('%')));
    bool zone_ok = addr.size() == text.size() || addr.size() + 1 < text.size();
    return zone_ok && inet_pton(AF_INET6, addr.c_str(), buf) == 1 ? 0 : -2;
  }
  if (text.find_first_not_of("0123456789.") == std::string_view::npos) {
    return inet_pton(AF_INET, ip, buf) == 1 ? 0 : -2;
  }
  // A host name: dot-separated labels of letters, digits and hyphens, 1 to
  // 63 characters each, not beginning or ending with a hyphen.
  if (text.size() > 253) return -2;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find('.', start);
    std::string_view label = text.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return dot == std::string_view::npos && label.empty() && start > 0 ? 0 : -2;
    }
    for (char ch : label) {
      if (!isalnum(static_cast<unsigned char>(ch)) && ch != '-') return -2;
    }
    if (dot == std::string_view::npos) return 0;
    start = dot + 1;
  }
}
