#include "configure.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <charconv>
#include <mutex>
#include <string_view>

#include "pub_conf.h"
#include "vk_comm.h"
#include "vk_util.h"
#include "vklog.h"

const conf_table_t g_conf_table[CONF_COUNT] = {
    {0, "CPU100", "0"},
    {1, "INTERVAL_INFO_LOG", "300"},
    {1, "INTERVAL_METRIC", "5"},
    {1, "INTERVAL_PROCESS", "20"},
    {1, "INTERVAL_INSTALLED_PACKAGE", "86400"},
    {1, "COLLECT_FILESYSTEM_TYPE_NFS", "0"},
    {1, "LOG_DIRECTORY", "${VOSK_HOST_HOME}/log"},
    {1, "LOG_FILENAME", "vosk-host-agent.log"},
    {1, "LOG_LEVEL", "info"},
};

conf_handle_t *g_conf_handle;
dg_slave_info_t g_dgconn_slave_info;

namespace {

constexpr size_t kPresetMax = 16;
constexpr size_t kPresetNameSize = 128;
constexpr size_t kPresetValueSize = 1024;

typedef struct {
  char name[kPresetNameSize];
  char value[kPresetValueSize];
  size_t value_len;
} preset_t;

// Filled on the main thread before any other thread starts; read-only after.
preset_t s_presets[kPresetMax];
size_t s_preset_count;

conf_entry_t *find_entry(conf_handle_t *handle, std::string_view key) {
  for (int i = 0; i < handle->count; i++) {
    if (key == handle->entries[i].key) return &handle->entries[i];
  }
  return nullptr;
}

// Replaces the entry's value. REQUIRES: the write lock (or no other thread).
int set_entry_value(conf_entry_t *e, std::string_view value) {
  if (e->value != nullptr && value.size() <= strlen(e->value)) {
    memcpy(e->value, value.data(), value.size());
    e->value[value.size()] = '\0';
  } else {
    char *copy = static_cast<char *>(calloc(value.size() + 1, 1));
    if (copy == nullptr) return -1;
    memcpy(copy, value.data(), value.size());
    free(e->value);
    e->value = copy;
  }
  e->length = static_cast<int>(value.size());
  return 0;
}

std::string_view trim_view(std::string_view s) {
  size_t b = s.find_first_not_of(VK_BLANK_CHARS);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(VK_BLANK_CHARS);
  return s.substr(b, e - b + 1);
}

// The value as the file reader sees it: cut at the first '#', trimmed.
std::string_view read_back_view(std::string_view v) {
  size_t hash_pos = v.find('#');
  if (hash_pos != std::string_view::npos) v = v.substr(0, hash_pos);
  return trim_view(v);
}

void set_why(char *why, size_t why_size, const char *text) {
  if (why != nullptr && why_size > 0) vk_copy_field(why, why_size, text);
}

bool whole_int32(std::string_view v, long long low, long long *out) {
  long long n = 0;
  auto r = std::from_chars(v.data(), v.data() + v.size(), n);
  if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size()) return false;
  if (n < low || n > INT32_MAX) return false;
  *out = n;
  return true;
}

// True when `path` (absolute, expanded) lies inside `home` (or is it),
// both resolved.
// A directory not made yet is judged by its nearest existing parent.
bool path_inside_home(const char *path, const char *home) {
  std::string_view p(path);
  if (p.empty() || p[0] != '/') return false;
  // "." and ".." parts are refused outright: the check below resolves only
  // the part that exists, and vklog makes the missing last part.
  size_t pos = 0;
  while (pos < p.size()) {
    size_t next = p.find('/', pos);
    if (next == std::string_view::npos) next = p.size();
    std::string_view part = p.substr(pos, next - pos);
    if (part == "." || part == "..") return false;
    pos = next + 1;
  }
  char real_home[PATH_MAX];
  if (realpath(home, real_home) == nullptr) return false;
  char probe[PATH_MAX];
  if (!vk_copy_field(probe, sizeof(probe), p)) return false;
  char real[PATH_MAX];
  while (realpath(probe, real) == nullptr) {
    char *slash = strrchr(probe, '/');
    if (slash == nullptr || slash == probe) return false;
    *slash = '\0';
  }
  size_t hl = strlen(real_home);
  return strncmp(real, real_home, hl) == 0 && (real[hl] == '\0' || real[hl] == '/');
}

}  // namespace

int conf_check_value(int index, const char *value, size_t length, int from_server, char *why,
                     size_t why_size) {
  if (value == nullptr) {
    set_why(why, why_size, "no value");
    return CONF_CHECK_BAD_TEXT;
  }
  std::string_view v(value, length);
  if (v.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos) {
    set_why(why, why_size, "line break or NUL in the value");
    return CONF_CHECK_BAD_TEXT;
  }
  long long n = 0;
  switch (index) {
    case CONF_CPU100:
    case CONF_COLLECT_FILESYSTEM_TYPE_NFS:
      if (whole_int32(v, INT32_MIN, &n)) return CONF_CHECK_OK;
      set_why(why, why_size, "not a whole number of the int range");
      return CONF_CHECK_BAD_NUMBER;
    case CONF_INTERVAL_INFO_LOG:
    case CONF_INTERVAL_METRIC:
    case CONF_INTERVAL_PROCESS:
    case CONF_INTERVAL_INSTALLED_PACKAGE:
      if (whole_int32(v, 0, &n)) return CONF_CHECK_OK;
      set_why(why, why_size, "not a number of seconds from 0 to 2147483647");
      return CONF_CHECK_BAD_NUMBER;
    case CONF_LOG_LEVEL: {
      // The agent reads the level into a 10-byte buffer; vklog judges the
      // word itself.
      vklog_config_t *c = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT);
      bool ok = c != nullptr && v.size() < 10 &&
                vklog_config_set(c, VKLOG_CFG_TYPE_LEVEL, v.size(), v.data()) == 0;
      vklog_config_free(c);
      if (ok) return CONF_CHECK_OK;
      set_why(why, why_size, "not a log level");
      return CONF_CHECK_BAD_LEVEL;
    }
    case CONF_LOG_FILENAME:
      if (v.size() >= 256) {
        set_why(why, why_size, "file name too long");
        return CONF_CHECK_BAD_TEXT;
      }
      if (v.empty() || v == "." || v == ".." || v.find('/') != std::string_view::npos) {
        set_why(why, why_size, "not a plain file name");
        return CONF_CHECK_BAD_NAME;
      }
      return CONF_CHECK_OK;
    case CONF_LOG_DIRECTORY: {
      char text[512], expanded[256];
      if (!vk_copy_field(text, sizeof(text), v) ||
          convert_env_path(text, expanded, sizeof(expanded)) != 0) {
        set_why(why, why_size, "directory cannot be expanded");
        return CONF_CHECK_BAD_DIR;
      }
      if (from_server && !path_inside_home(expanded, g_vk_host_home)) {
        set_why(why, why_size, "directory outside the agent's home");
        return CONF_CHECK_BAD_DIR;
      }
      // Nor among the agent's own files (configuration, pid file, host id),
      // which log lines appended under their names would spoil.
      char data_dir[HOST_PATH_SIZE];
      if (from_server &&
          snprintf(data_dir, sizeof(data_dir), "%s/data", g_vk_host_home) <
              static_cast<int>(sizeof(data_dir)) &&
          path_inside_home(expanded, data_dir)) {
        set_why(why, why_size, "directory of the agent's own files");
        return CONF_CHECK_BAD_DIR;
      }
      return CONF_CHECK_OK;
    }
    default:
      return CONF_CHECK_OK;
  }
}

conf_handle_t *create_configure(const conf_table_t *table, int count) {
  if (table == nullptr || count < 0) return nullptr;
  conf_handle_t *h = static_cast<conf_handle_t *>(calloc(1, sizeof(conf_handle_t)));
  if (h == nullptr) return nullptr;
  h->entries = static_cast<conf_entry_t *>(calloc(count > 0 ? count : 1, sizeof(conf_entry_t)));
  if (h->entries == nullptr) {
    free(h);
    return nullptr;
  }
  pthread_rwlock_init(&h->lock, nullptr);
  h->count = count;
  for (int i = 0; i < count; i++) {
    vk_copy_field(h->entries[i].key, sizeof(h->entries[i].key), table[i].key);
    h->entries[i].flag = table[i].flag;
    if (set_entry_value(&h->entries[i], table[i].default_value) != 0) {
      destroy_configure(h);
      return nullptr;
    }
  }
  return h;
}

void destroy_configure(conf_handle_t *handle) {
  if (handle == nullptr) return;
  for (int i = 0; i < handle->count; i++) free(handle->entries[i].value);
  free(handle->entries);
  pthread_rwlock_destroy(&handle->lock);
  free(handle);
}

int load_config_file(conf_handle_t *handle, const char *path) {
  if (handle == nullptr || path == nullptr) return -1;
  FILE *fp = fopen(path, "r");
  if (fp == nullptr) {
    VKLOG(g_vklog, VL_INFO, "[load_config_file] File(%s) open Failed(%d)\n", path, errno);
    return -2;
  }
  char line[CONF_LINE_SIZE + 1];
  int result = 0;
  bool skipping = false;  // inside the dropped rest of an over-long line
  while (fgets(line, sizeof(line), fp) != nullptr) {
    // fgets stops at a NUL byte's line too; the view ends at the first NUL,
    // so binary bytes only shorten what is read.
    size_t len = strlen(line);
    bool whole = len > 0 && line[len - 1] == '\n';
    bool was_skipping = skipping;
    skipping = !whole && !feof(fp) && len == CONF_LINE_SIZE;
    // An over-long line is dropped whole: a value cut at the limit would
    // be applied silently.
    if (was_skipping || skipping) continue;
    std::string_view text(line, len);
    size_t hash_pos = text.find('#');
    if (hash_pos != std::string_view::npos) text = text.substr(0, hash_pos);
    size_t eq = text.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = trim_view(text.substr(0, eq).substr(0, CONF_KEY_SIZE - 1));
    std::string_view value = trim_view(text.substr(eq + 1));
    conf_entry_t *e = find_entry(handle, key);
    if (e == nullptr) continue;
    char why[64];
    if (conf_check_value(static_cast<int>(e - handle->entries), value.data(), value.size(), 0, why,
                         sizeof(why)) != CONF_CHECK_OK) {
      fprintf(stderr, "[load_config_file] File(%s) option[%s] value[%.*s] refused: %s\n", path,
              e->key, static_cast<int>(value.size()), value.data(), why);
      VKLOG(g_vklog, VL_WARN, "[load_config_file] File(%s) option[%s] value[%.*s] refused: %s\n",
            path, e->key, static_cast<int>(value.size()), value.data(), why);
      result = -3;
      continue;
    }
    pthread_rwlock_wrlock(&handle->lock);
    if (set_entry_value(e, value) == 0) {
      VKLOG(g_vklog, VL_INFO, "[load_config_file] option[%s] value[%s] tmp[%.*s]\n", e->key,
            e->value, static_cast<int>(value.size()), value.data());
    }
    pthread_rwlock_unlock(&handle->lock);
  }
  fclose(fp);
  return result;
}

int save_config_file(conf_handle_t *handle, const char *path) {
  if (handle == nullptr || path == nullptr) return -1;
  char tmp[HOST_PATH_SIZE + 8];
  if (snprintf(tmp, sizeof(tmp), "%s.tmp", path) >= static_cast<int>(sizeof(tmp))) return -2;
  FILE *fp = fopen(tmp, "w");
  if (fp == nullptr) return -2;
  pthread_rwlock_rdlock(&handle->lock);
  bool ok = true;
  for (int i = 0; i < handle->count; i++) {
    const conf_entry_t *e = &handle->entries[i];
    if (fprintf(fp, "%s=%s\n", e->key, e->value != nullptr ? e->value : "") < 0) ok = false;
  }
  pthread_rwlock_unlock(&handle->lock);
  if (fclose(fp) != 0) ok = false;
  if (!ok || rename(tmp, path) != 0) {
    unlink(tmp);
    return -2;
  }
  return 0;
}

int get_conf_value_int_for_idx(conf_handle_t *handle, int index) {
  if (handle == nullptr || index < 0 || index >= handle->count) return CONF_INT_INVALID;
  int result = 0;
  pthread_rwlock_rdlock(&handle->lock);
  const char *v = handle->entries[index].value;
  if (v != nullptr) {
    std::string_view s = trim_view(v);
    size_t digits = (!s.empty() && s[0] == '-') ? 1 : 0;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') digits++;
    int n = 0;
    auto r = std::from_chars(s.data(), s.data() + digits, n);
    if (r.ec == std::errc()) result = n;
  }
  pthread_rwlock_unlock(&handle->lock);
  return result;
}

int get_conf_value_string_for_idx(conf_handle_t *handle, int index, char *buffer, size_t size) {
  if (handle == nullptr || buffer == nullptr || size == 0) return -1;
  if (handle->count <= 0) return -2;
  if (index < 0 || index >= handle->count) return -3;
  pthread_rwlock_rdlock(&handle->lock);
  const char *v = handle->entries[index].value;
  size_t n = v != nullptr ? strnlen(v, size - 1) : 0;
  if (n > 0) memcpy(buffer, v, n);
  buffer[n] = '\0';
  pthread_rwlock_unlock(&handle->lock);
  return 0;
}

int update_conf_value_for_key(conf_handle_t *handle, const char *key, const char *value,
                              int length) {
  if (handle == nullptr || key == nullptr || value == nullptr || length < 0) return -1;
  if (handle->count <= 0) return -2;
  std::string_view raw(value, static_cast<size_t>(length));
  conf_entry_t *e = find_entry(handle, key);
  if (e == nullptr || e->flag != 1) return 0;
  pthread_rwlock_rdlock(&handle->lock);
  bool same = e->value != nullptr && raw == e->value;
  pthread_rwlock_unlock(&handle->lock);
  if (same) return 0;
  // Refused before the '#' cut: a line break or NUL hidden in a comment
  // would still be text the collector meant to send.
  std::string_view v = read_back_view(raw);
  char why[64] = "line break or NUL in the value";
  bool bad_text = raw.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos;
  if (bad_text || conf_check_value(static_cast<int>(e - handle->entries), v.data(), v.size(), 1,
                                   why, sizeof(why)) != CONF_CHECK_OK) {
    std::string_view shown = raw.substr(0, raw.find_first_of(std::string_view("\n\r\0", 3)));
    VKLOG(g_vklog, VL_WARN, "[update_conf_value_for_key] option[%s] value[%.*s%s] refused: %s\n",
          e->key, static_cast<int>(shown.size()), shown.data(),
          shown.size() < raw.size() ? "..." : "", why);
    return -4;
  }
  int ret = 0;
  pthread_rwlock_wrlock(&handle->lock);
  if (e->value == nullptr || v != e->value) {
    VKLOG(g_vklog, VL_INFO, "[update_conf_value_for_key] update option[%s] : [%s] -> [%.*s]\n",
          e->key, e->value != nullptr ? e->value : "", static_cast<int>(v.size()), v.data());
    if (set_entry_value(e, v) != 0) ret = -3;
  }
  pthread_rwlock_unlock(&handle->lock);
  return ret;
}

void print_configure(conf_handle_t *handle) {
  if (handle == nullptr) return;
  pthread_rwlock_rdlock(&handle->lock);
  for (int i = 0; i < handle->count; i++) {
    if (handle->entries[i].value == nullptr) continue;
    VKLOG(g_vklog, VL_INFO, "[print_configure] config %s=[%s]\n", handle->entries[i].key,
          handle->entries[i].value);
  }
  pthread_rwlock_unlock(&handle->lock);
}

int set_properties_preset(const char *name, size_t name_len, const char *value, size_t value_len) {
  if (name == nullptr || value == nullptr || name_len == 0) return -1;
  std::string_view n(name,
                     strnlen(name, name_len < kPresetNameSize ? name_len : kPresetNameSize - 1));
  for (size_t i = 0; i < s_preset_count; i++) {
    if (n == s_presets[i].name) return 0;
  }
  if (s_preset_count == kPresetMax) return -2;
  preset_t *p = &s_presets[s_preset_count++];
  vk_copy_field(p->name, sizeof(p->name), n);
  size_t vl = strnlen(value, value_len < kPresetValueSize ? value_len : kPresetValueSize - 1);
  memcpy(p->value, value, vl);
  p->value[vl] = '\0';
  p->value_len = vl;
  return 0;
}

int get_properties_preset(const char *name, char *buffer, size_t size) {
  if (name == nullptr || buffer == nullptr) return 0;
  for (size_t i = 0; i < s_preset_count; i++) {
    if (strcmp(name, s_presets[i].name) != 0) continue;
    if (s_presets[i].value_len >= size) return 0;
    memcpy(buffer, s_presets[i].value, s_presets[i].value_len + 1);
    return static_cast<int>(s_presets[i].value_len);
  }
  return 0;
}

void clear_properties_preset(void) {
  s_preset_count = 0;
  memset(s_presets, 0, sizeof(s_presets));
}

int setDGAddrFromStr(const char *text, uint32_t *addr, uint32_t *port) {
  if (text == nullptr || addr == nullptr || port == nullptr) return -1;
  char copy[48];
  if (!vk_copy_field(copy, sizeof(copy), text)) return -1;
  char *colon = strrchr(copy, ':');
  if (colon == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00020020] Wrong option value. [RECEIVER_ADDR]\n");
    return -2;
  }
  *colon = '\0';
  std::string_view port_text(colon + 1);
  uint32_t p = 0;
  auto r = std::from_chars(port_text.data(), port_text.data() + port_text.size(), p);
  if (port_text.empty() || r.ec != std::errc() || r.ptr != port_text.data() + port_text.size() ||
      p < 1 || p > 65535) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00020020] Wrong option value. [RECEIVER_ADDR(port)]\n");
    return -3;
  }
  char ip[48] = {0};
  struct in_addr in;
  if (copy[0] == '\0' || getIPFromDomain(copy, ip, sizeof(ip)) != 0 ||
      inet_pton(AF_INET, ip, &in) != 1) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00020020] Wrong option value. [RECEIVER_ADDR(ip)]\n");
    return -4;
  }
  VKLOG(g_vklog, VL_DEBUG, "[setDGAddrFromStr] data[%s] IP[%s] PORT[%u]\n", text, ip, p);
  *addr = in.s_addr;
  *port = p;
  return 0;
}

int set_dg_address(void) {
  char value[32] = {0};
  dg_slave_info_t info = {};
  if (get_properties_preset("RECEIVER_ADDR", value, sizeof(value)) > 0) {
    if (setDGAddrFromStr(value, &info.addr, &info.port) == 0) {
      vk_copy_field(info.text, sizeof(info.text), value);
    } else {
      info.addr = 0;
      VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00020020] Wrong option value. [RECEIVER_ADDR]\n");
    }
  }
  g_dgconn_slave_info = info;
  if (info.addr == 0) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00020020] receiver ip:port [RECEIVER_ADDR] is empty.\n");
    return -1;
  }
  return 0;
}

int convert_env_path(const char *in, char *out, size_t size) {
  if (in == nullptr || out == nullptr || size == 0) return -1;
  std::string_view rest(in);
  size_t used = 0;
  auto append = [&](std::string_view piece) {
    if (used + piece.size() >= size) return false;
    memcpy(out + used, piece.data(), piece.size());
    used += piece.size();
    out[used] = '\0';
    return true;
  };
  out[0] = '\0';
  while (true) {
    size_t open = rest.find("${");
    if (open == std::string_view::npos) break;
    size_t close = rest.find('}', open + 2);
    if (close == std::string_view::npos) return -2;
    char name[128];
    if (!vk_copy_field(name, sizeof(name), rest.substr(open + 2, close - open - 2))) return -3;
    const char *value = getenv(name);
    if (value == nullptr || value[0] == '\0') return -3;
    if (!append(rest.substr(0, open)) || !append(value)) return -4;
    rest = rest.substr(close + 1);
  }
  return append(rest) ? 0 : -4;
}

namespace {

int set_log_items(vklog_config_t *c, const char *dir, const char *file, const char *level) {
  if (dir != nullptr && vklog_config_set(c, VKLOG_CFG_TYPE_DIRECTORY, strlen(dir), dir) != 0)
    return -1;
  if (vklog_config_set(c, VKLOG_CFG_TYPE_FILENAME, strlen(file), file) != 0) return -1;
  if (vklog_config_set(c, VKLOG_CFG_TYPE_LEVEL, strlen(level), level) != 0) return -1;
  return 0;
}

void read_log_keys(char *dir, size_t dir_size, char *file, size_t file_size, char *level,
                   size_t level_size) {
  get_conf_value_string_for_idx(g_conf_handle, CONF_LOG_DIRECTORY, dir, dir_size);
  get_conf_value_string_for_idx(g_conf_handle, CONF_LOG_FILENAME, file, file_size);
  get_conf_value_string_for_idx(g_conf_handle, CONF_LOG_LEVEL, level, level_size);
}

int init_vklog_debug_mode(void) {
  vklog_config_t *c = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT);
  int err = 0;
  if (c == nullptr || vklog_config_set(c, VKLOG_CFG_TYPE_NAME, 10, "debug-mode") != 0 ||
      vklog_config_set(c, VKLOG_CFG_TYPE_OUTPUT_TYPE, 6, "stdout") != 0 ||
      vklog_config_set(c, VKLOG_CFG_TYPE_LEVEL, 6, "=trace") != 0 ||
      vklog_config_set(c, VKLOG_CFG_TYPE_HEADER_FLAG, 4, "time") != 0) {
    vklog_config_free(c);
    fprintf(stderr,
            "[init_vklog_debug_mode] vklog_apply_config() has failed. (ret:%d, error_no:%d)\n", -1,
            0);
    return -1;
  }
  int ret = vklog_apply_config(c, &err);
  if (ret != 0) {
    fprintf(stderr,
            "[init_vklog_debug_mode] vklog_apply_config() has failed. (ret:%d, error_no:%d)\n", ret,
            err);
    return -1;
  }
  vklog_t *h = vklog_get_category("debug-mode");
  if (h == nullptr) {
    fprintf(stderr, "[init_vklog_debug_mode] vklog_get_category() has failed.\n");
    return -2;
  }
  vklog_set_global_log_console_debug_handle(h);
  return 0;
}

}  // namespace

int init_vklog(int debug) {
  char dir[512] = {0}, file[512] = {0}, level[10] = {0}, expanded[256];
  read_log_keys(dir, sizeof(dir), file, sizeof(file), level, sizeof(level));
  int ret = convert_env_path(dir, expanded, sizeof(expanded));
  if (ret != 0) {
    fprintf(stderr, "[init_vklog] convert_env_path() has failed. (ret: %d)\n", ret);
    return -1;
  }
  vklog_config_t *c = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT);
  if (c == nullptr || vklog_config_set(c, VKLOG_CFG_TYPE_NAME, 15, HOST_PROCESS_NAME) != 0 ||
      vklog_config_set(c, VKLOG_CFG_TYPE_OUTPUT_TYPE, 4, "file") != 0 ||
      vklog_config_set(c, VKLOG_CFG_TYPE_INCLUDE_US_TO_TIME, 5, "false") != 0 ||
      set_log_items(c, expanded, file, level) != 0) {
    vklog_config_free(c);
    fprintf(stderr,
            "[init_vklog] vklog_initialize_with_config() has failed. (ret:%d, error_no:%d)\n", -1,
            0);
    return -2;
  }
  int err = 0;
  ret = vklog_initialize_with_config(c, &err);
  if (ret != 0) {
    fprintf(stderr,
            "[init_vklog] vklog_initialize_with_config() has failed. (ret:%d, error_no:%d)\n", ret,
            err);
    return -2;
  }
  vklog_t *h = vklog_get_category(HOST_PROCESS_NAME);
  if (h == nullptr) {
    fprintf(stderr, "[init_vklog] vklog_get_category() has failed.\n");
    return -3;
  }
  vklog_set_global_log_handle(h);
  if (debug) return init_vklog_debug_mode() == 0 ? 0 : -4;
  vklog_set_global_log_console_debug_handle(h);
  return 0;
}

int update_vklog(void) {
  char dir[512] = {0}, file[512] = {0}, level[10] = {0}, expanded[256];
  read_log_keys(dir, sizeof(dir), file, sizeof(file), level, sizeof(level));
  int ret = convert_env_path(dir, expanded, sizeof(expanded));
  if (ret != 0) {
    VKLOG(g_vklog, VL_DEBUG, "[update_vklog] convert_env_path() has failed. (ret: %d)\n", ret);
    return -1;
  }
  vklog_config_t *c = vklog_config_clone_from_global_log();
  if (c == nullptr) {
    VKLOG(g_vklog, VL_DEBUG, "[update_vklog] vklog_config_clone_from_global_log() has failed.\n");
    return -2;
  }
  struct stat st;
  bool dir_ok = stat(expanded, &st) == 0 && S_ISDIR(st.st_mode);
  if (!dir_ok) {
    VKLOG(g_vklog, VL_ERROR, "[update_vklog] directory does not exist. config[%s] convert[%s]\n",
          dir, expanded);
  }
  // Unchanged settings need no re-apply: applying re-opens the log file.
  bool same = strcmp(c->out_file, file) == 0 && (!dir_ok || strcmp(c->out_dir, expanded) == 0);
  if (set_log_items(c, dir_ok ? expanded : nullptr, file, level) != 0) {
    vklog_config_free(c);
    VKLOG(g_vklog, VL_DEBUG,
          "[update_vklog] vklog_apply_config() has failed. (ret:%d, error_no:%d)\n", -1, 0);
    return -3;
  }
  vklog_level_t lv = g_vklog->level.load();
  if (same && lv.value == c->level.value && lv.inequality_sign == c->level.inequality_sign) {
    vklog_config_free(c);
    return 0;
  }
  // Logged here, into the file still in use: the new one is never opened
  // through a link, so its lines would be lost without a word.
  char target[HOST_PATH_SIZE];
  struct stat lst;
  if (snprintf(target, sizeof(target), "%s/%s", c->out_dir, file) <
          static_cast<int>(sizeof(target)) &&
      lstat(target, &lst) == 0 && S_ISLNK(lst.st_mode)) {
    VKLOG(g_vklog, VL_ERROR,
          "[update_vklog] log file %s is a symbolic link: it is not written through\n", target);
  }
  int err = 0;
  ret = vklog_apply_config(c, &err);
  if (ret != 0) {
    VKLOG(g_vklog, VL_DEBUG,
          "[update_vklog] vklog_apply_config() has failed. (ret:%d, error_no:%d)\n", ret, err);
    return -3;
  }
  return 0;
}

int host_config_path(char *path, size_t size) {
  return host_data_path(path, size, HOST_CONFIG_FILE);
}

int initialize_configure_host_agent(int debug) {
  if (g_conf_handle == nullptr) g_conf_handle = create_configure(g_conf_table, CONF_COUNT);
  if (g_conf_handle == nullptr) return -1;
  char path[HOST_PATH_SIZE];
  if (host_config_path(path, sizeof(path)) == 0 && load_config_file(g_conf_handle, path) == -3)
    return -3;
  int ret = init_vklog(debug);
  if (ret != 0) {
    fprintf(stderr, "[main] init_vklog() has failed. (ret:%d)\n", ret);
    return -2;
  }
  print_configure(g_conf_handle);
  return 0;
}
