#include "vklog_config.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <charconv>
#include <string>
#include <string_view>

#include "vk_util.h"
#include "vklog_utils.h"

const char g_vklog_level_str[8][8] = {"NONE", "FATA", "ERRO", "WARN",
                                      "NOTI", "INFO", "DBUG", "TRAC"};

namespace {

constexpr std::string_view kLevelNames[8] = {"",       "fatal", "error", "warn",
                                             "notice", "info",  "debug", "trace"};

bool parse_unsigned(std::string_view v, unsigned long max, unsigned long *out) {
  v = vl_trim(v);
  if (v.empty()) return false;
  unsigned long n = 0;
  auto r = std::from_chars(v.data(), v.data() + v.size(), n, 10);
  if (r.ec != std::errc() || r.ptr != v.data() + v.size() || n > max) return false;
  *out = n;
  return true;
}

int set_output(vklog_config_t *c, std::string_view v) {
  unsigned int bits = 0;
  while (!v.empty()) {
    size_t comma = v.find(',');
    std::string_view word = vl_trim(v.substr(0, comma));
    v = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
    if (word.empty()) continue;
    if (vl_equal_nocase(word, "file")) {
      bits |= VKLOG_OUTPUT_FILE;
    } else if (vl_equal_nocase(word, "stdout")) {
      bits |= VKLOG_OUTPUT_STDOUT;
    } else if (vl_equal_nocase(word, "stderr")) {
      bits |= VKLOG_OUTPUT_STDERR;
    } else if (vl_equal_nocase(word, "vklogger")) {
      bits |= VKLOG_OUTPUT_VKLOGGER;
    } else {
      return -1;
    }
  }
  c->output = static_cast<uint8_t>(bits);
  return 0;
}

void set_header_flag(vklog_config_t *c, std::string_view v) {
  static constexpr struct {
    std::string_view word;
    unsigned int bit;
  } kWords[] = {{"time", VKLOG_HEADER_TIME},           {"pid", VKLOG_HEADER_PID},
                {"thread_id", VKLOG_HEADER_THREAD_ID}, {"file", VKLOG_HEADER_FILE},
                {"function", VKLOG_HEADER_FUNCTION},   {"line", VKLOG_HEADER_LINE},
                {"level", VKLOG_HEADER_LEVEL}};
  unsigned int bits = 0;
  while (!v.empty()) {
    size_t comma = v.find(',');
    std::string_view word = vl_trim(v.substr(0, comma));
    v = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
    for (const auto &w : kWords)
      if (vl_equal_nocase(word, w.word)) bits |= w.bit;
  }
  c->header_flag = bits;
}

int set_level(vklog_config_t *c, std::string_view v) {
  v = vl_trim(v);
  int sign = '<';
  if (!v.empty() && (v[0] == '<' || v[0] == '=' || v[0] == '>')) {
    sign = v[0];
    v = vl_trim(v.substr(1));
  }
  for (int i = VL_FATAL; i <= VL_TRACE; i++) {
    if (vl_equal_nocase(v, kLevelNames[i])) {
      c->level.value = i;
      c->level.inequality_sign = sign;
      return 0;
    }
  }
  return -1;
}

unsigned int parse_permission(std::string_view v) {
  v = vl_trim(v);
  unsigned int p = 0;
  auto r = std::from_chars(v.data(), v.data() + v.size(), p, 8);
  if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size()) p = 0;
  if (p == 0 || p > 0777) p = 0640;
  return p;
}

int set_directory(char *field, std::string_view v) {
  char expanded[VKLOG_DIR_SIZE];
  if (vklog_convert_string_Environment(v.data(), v.size(), expanded, sizeof(expanded)) < 0)
    return -1;
  memcpy(field, expanded, strlen(expanded) + 1);
  return 0;
}

}  // namespace

int vl_set_config(vklog_config_t *config, vklog_cfg_type type, size_t length, const char *value) {
  if (config == nullptr || value == nullptr) return -2;
  std::string_view v(value, strnlen(value, length));
  int rc = 0;
  unsigned long n = 0;
  switch (type) {
    case VKLOG_CFG_TYPE_NAME:
      if (v.empty() || !vk_copy_field(config->name, sizeof(config->name), v)) return type;
      config->name_len = static_cast<unsigned int>(v.size());
      return 0;
    case VKLOG_CFG_TYPE_DIRECTORY:
      rc = set_directory(config->out_dir, v);
      break;
    case VKLOG_CFG_TYPE_BACKUP_DIRECTORY:
      rc = set_directory(config->backup_dir, v);
      break;
    case VKLOG_CFG_TYPE_FILENAME:
      if (!vk_copy_field(config->out_file, sizeof(config->out_file), v)) return type;
      config->out_file_len = static_cast<unsigned int>(v.size());
      return 0;
    case VKLOG_CFG_TYPE_OUTPUT_TYPE:
      rc = set_output(config, v);
      break;
    case VKLOG_CFG_TYPE_FILE_PERMISSION:
      config->file_permission = parse_permission(v);
      return 0;
    case VKLOG_CFG_TYPE_VKLOGGER_IP:
      if (!vk_copy_field(config->vklogger_ip, sizeof(config->vklogger_ip), vl_trim(v))) return type;
      return 0;
    case VKLOG_CFG_TYPE_VKLOGGER_PORT:
      if (!parse_unsigned(v, 65535, &n)) return type;
      config->vklogger_port = static_cast<uint16_t>(n);
      return 0;
    case VKLOG_CFG_TYPE_LEVEL:
      rc = set_level(config, v);
      break;
    case VKLOG_CFG_TYPE_HEADER_FLAG:
      set_header_flag(config, v);
      return 0;
    case VKLOG_CFG_TYPE_INCLUDE_US_TO_TIME:
      config->include_us_to_time = vl_trim(v) == "true" ? 1 : 0;
      return 0;
    case VKLOG_CFG_TYPE_LIMIT_FILE_SIZE:
      if (!parse_unsigned(v, UINT32_MAX, &n)) return type;
      config->limit_size = static_cast<unsigned int>(n);
      return 0;
    case VKLOG_CFG_TYPE_BACKUP_FILE_COUNT:
      if (!parse_unsigned(v, UINT32_MAX, &n)) return type;
      config->backup_count = static_cast<unsigned int>(n);
      return 0;
    default:
      return type;
  }
  return rc == 0 ? 0 : type;
}

int vklog_config_set(vklog_config_t *config, vklog_cfg_type type, size_t length,
                     const char *value) {
  return vl_set_config(config, type, length, value);
}

int vl_config_fill_preset(vklog_config_t *config, vklog_cfg_preset_type type) {
  if (config == nullptr || type < VKLOG_CFG_PRESET_NONE || type >= VKLOG_CFG_PRESET_MAX) return -1;
  memset(config, 0, sizeof(*config));
  if (type == VKLOG_CFG_PRESET_NONE) return 0;
  config->file_permission = 0640;
  config->header_flag = VKLOG_HEADER_TIME | VKLOG_HEADER_PID | VKLOG_HEADER_LEVEL;
  config->level.inequality_sign = '<';
  const char *name = "";
  switch (type) {
    case VKLOG_CFG_PRESET_DEFAULT:
      name = "default config";
      config->level.value = VL_ERROR;
      config->include_us_to_time = 1;
      config->limit_size = 10;
      config->backup_count = 5;
      break;
    case VKLOG_CFG_PRESET_DEFAULT_STDOUT:
      name = "default stdout config";
      config->output = VKLOG_OUTPUT_STDOUT;
      config->level.value = VL_INFO;
      break;
    case VKLOG_CFG_PRESET_DEFAULT_FILE:
      name = "default file config";
      config->output = VKLOG_OUTPUT_FILE;
      config->level.value = VL_INFO;
      config->include_us_to_time = 1;
      config->limit_size = 10;
      config->backup_count = 3;
      vk_copy_field(config->out_dir, sizeof(config->out_dir), "log");
      vk_copy_field(config->out_file, sizeof(config->out_file), "vosk_default.log");
      config->out_file_len = static_cast<unsigned int>(strlen(config->out_file));
      break;
    default:
      break;
  }
  vk_copy_field(config->name, sizeof(config->name), name);
  config->name_len = static_cast<unsigned int>(strlen(config->name));
  return 0;
}

vklog_config_t *vklog_config_new(void) {
  return vklog_config_new_from_preset(VKLOG_CFG_PRESET_NONE);
}

vklog_config_t *vklog_config_new_from_preset(vklog_cfg_preset_type type) {
  if (type < VKLOG_CFG_PRESET_NONE || type >= VKLOG_CFG_PRESET_MAX) return nullptr;
  vklog_config_t *c = static_cast<vklog_config_t *>(calloc(1, sizeof(vklog_config_t)));
  if (c == nullptr) return nullptr;
  vl_config_fill_preset(c, type);
  return c;
}

vklog_config_t *vklog_config_clone_from_config(const vklog_config_t *c) {
  if (c == nullptr) return nullptr;
  vklog_config_t *n = static_cast<vklog_config_t *>(malloc(sizeof(vklog_config_t)));
  if (n == nullptr) return nullptr;
  memcpy(n, c, sizeof(*n));
  n->count_in_use = 0;
  n->next = nullptr;
  return n;
}

void vklog_config_free(vklog_config_t *config) {
  free(config);
}

void vl_config_list_free(vklog_config_t *list) {
  while (list != nullptr) {
    vklog_config_t *next = list->next;
    free(list);
    list = next;
  }
}

int vl_load_config_finish(vklog_config_t *config) {
  if (config == nullptr) return -1;
  char out_file[VKLOG_NAME_SIZE];
  size_t file_len = strnlen(config->out_file, sizeof(config->out_file) - 1);
  if (file_len == 0) {
    // The category name with blanks made '_', plus ".log".
    size_t name_len = strnlen(config->name, sizeof(config->name) - 1);
    if (name_len + 4 >= sizeof(out_file)) return -2;
    for (size_t i = 0; i < name_len; i++)
      out_file[i] = config->name[i] == ' ' ? '_' : config->name[i];
    memcpy(out_file + name_len, ".log", 5);
    file_len = name_len + 4;
  } else {
    memcpy(out_file, config->out_file, file_len);
    out_file[file_len] = '\0';
  }
  // A directory of at most 4095 bytes plus '/' and a name of at most 127
  // always fit the 8192-byte paths.
  size_t dir_len = strnlen(config->out_dir, sizeof(config->out_dir) - 1);
  if (dir_len > 0) {
    snprintf(config->out_path, sizeof(config->out_path), "%.*s/%s", static_cast<int>(dir_len),
             config->out_dir, out_file);
  } else {
    snprintf(config->out_path, sizeof(config->out_path), "%s", out_file);
  }
  // A size limit of 0 would rotate after every line; it means "default".
  if (config->limit_size == 0) config->limit_size = 10;
  memcpy(config->out_file, out_file, file_len + 1);
  config->out_file_len = static_cast<unsigned int>(file_len);
  size_t bdir_len = strnlen(config->backup_dir, sizeof(config->backup_dir) - 1);
  if (bdir_len > 0) {
    snprintf(config->backup_path, sizeof(config->backup_path), "%.*s/%s",
             static_cast<int>(bdir_len), config->backup_dir, out_file);
  } else {
    memcpy(config->backup_path, config->out_path, strlen(config->out_path) + 1);
  }
  if (config->vklogger_port == 0) config->vklogger_port = VKLOG_DEFAULT_VKLOGGER_PORT;
  config->file_permission &= ~0111u;
  return 0;
}

int vklog_config_finish(vklog_config_t *config) {
  return vl_load_config_finish(config);
}

void vklog_config_print(const vklog_config_t *config) {
  if (config == nullptr) return;
  const vklog_config_t *c = config;
  printf("name[%s] name_len[%u]\n", c->name, c->name_len);
  printf("out_dir[%s] out_file[%s] out_file_len[%u]\n", c->out_dir, c->out_file, c->out_file_len);
  printf("out_path[%s] file_permission[%o]\n", c->out_path, c->file_permission);
  printf("vklogger_ip[%s] vklogger_port[%u]\n", c->vklogger_ip, c->vklogger_port);
  printf("output[0x%x] header_flag[0x%x] include_us_to_time[%d]\n",
         static_cast<unsigned int>(c->output), c->header_flag, c->include_us_to_time);
  printf("level[%c%d] limit_size[%u] backup_count[%u]\n",
         c->level.inequality_sign > 0 ? c->level.inequality_sign : '?', c->level.value,
         c->limit_size, c->backup_count);
  printf("backup_dir[%s] backup_path[%s]\n", c->backup_dir, c->backup_path);
}

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

struct conf_key {
  std::string_view key;
  vklog_cfg_type type;
};

constexpr conf_key kKeys[] = {
    {"directory", VKLOG_CFG_TYPE_DIRECTORY},
    {"filename", VKLOG_CFG_TYPE_FILENAME},
    {"output_type", VKLOG_CFG_TYPE_OUTPUT_TYPE},
    {"file_permission", VKLOG_CFG_TYPE_FILE_PERMISSION},
    {"vklogger_ip", VKLOG_CFG_TYPE_VKLOGGER_IP},
    {"vklogger_port", VKLOG_CFG_TYPE_VKLOGGER_PORT},
    {"level", VKLOG_CFG_TYPE_LEVEL},
    {"header_flag", VKLOG_CFG_TYPE_HEADER_FLAG},
    {"include_us_in_time", VKLOG_CFG_TYPE_INCLUDE_US_TO_TIME},
    {"limit_file_size", VKLOG_CFG_TYPE_LIMIT_FILE_SIZE},
    {"backup_directory", VKLOG_CFG_TYPE_BACKUP_DIRECTORY},
    {"backup_file_count", VKLOG_CFG_TYPE_BACKUP_FILE_COUNT},
};

// Reads one line (without its newline) into `line`, at most
// VKLOG_CONF_LINE_MAX bytes and at most `*left` bytes of the file. 1 for a
// line, 0 at the end, -16 for a line too long, -11 for a read error.
int read_line(FILE *f, std::string *line, long long *left) {
  line->clear();
  if (*left <= 0) return 0;
  for (;;) {
    if (*left <= 0) return 1;
    int ch = getc(f);
    if (ch == EOF) return ferror(f) ? VKLOG_LOAD_OPEN_FAILED : (line->empty() ? 0 : 1);
    (*left)--;
    if (ch == '\n') return 1;
    if (line->size() >= VKLOG_CONF_LINE_MAX) return VKLOG_LOAD_LINE_TOO_LONG;
    line->push_back(static_cast<char>(ch));
  }
}

// Parses one line into the list; 0 or a VKLOG_LOAD_* code.
int parse_line(std::string_view line, vklog_config_t **head, vklog_config_t **tail) {
  // Binary content: a NUL ends the line; '#' starts a comment.
  size_t cut = line.find_first_of(std::string_view("#\0", 2));
  if (cut != std::string_view::npos) line = line.substr(0, cut);
  std::string_view t = vl_trim(line);
  if (!t.empty() && t[0] == '[') {
    size_t close = t.find(']');
    if (close == std::string_view::npos) return VKLOG_LOAD_NO_BRACKET;
    std::string_view name = vl_trim(t.substr(1, close - 1));
    if (name.empty() || name.size() >= VKLOG_NAME_SIZE) return VKLOG_LOAD_BAD_SECTION;
    vklog_config_t *c = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT);
    if (c == nullptr) return VKLOG_LOAD_NO_MEMORY;
    vl_set_config(c, VKLOG_CFG_TYPE_NAME, name.size(), name.data());
    if (*tail != nullptr) {
      (*tail)->next = c;
    } else {
      *head = c;
    }
    *tail = c;
    return 0;
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos || *tail == nullptr) return 0;
  std::string_view key = vl_trim(t.substr(0, eq));
  std::string_view value = vl_trim(t.substr(eq + 1));
  if (value.size() > VKLOG_CONF_VALUE_MAX) return VKLOG_LOAD_VALUE_TOO_LONG;
  for (const conf_key &k : kKeys) {
    if (key != k.key) continue;
    int rc = vl_set_config(*tail, k.type, value.size(), value.data());
    if (rc != 0 && k.type == VKLOG_CFG_TYPE_LEVEL) return VKLOG_LOAD_BAD_LEVEL;
    break;
  }
  return 0;
}

}  // namespace

vklog_config_t *vl_load_config_from_conf_file(const char *path, int *code, int *err_no) {
  int dummy_code = 0;
  int dummy_errno = 0;
  if (code == nullptr) code = &dummy_code;
  if (err_no == nullptr) err_no = &dummy_errno;
  *code = 0;
  if (path == nullptr || path[0] == '\0') {
    *code = VKLOG_LOAD_OPEN_FAILED;
    *err_no = EINVAL;
    return nullptr;
  }
  FILE *f = fopen(path, "r");
  struct stat st;
  if (f == nullptr || fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
    *code = VKLOG_LOAD_OPEN_FAILED;
    *err_no = f == nullptr ? errno : (S_ISDIR(st.st_mode) ? EISDIR : errno);
    if (f != nullptr) fclose(f);
    return nullptr;
  }
  // Only the bytes present at opening are read: a file that grows while it
  // is read does not extend the load.
  long long left = st.st_size;
  vklog_config_t *head = nullptr;
  vklog_config_t *tail = nullptr;
  std::string line;
  int rc = 0;
  for (bool first = true;; first = false) {
    rc = read_line(f, &line, &left);
    if (rc <= 0) break;
    std::string_view text(line);
    // Editors on other systems may save the file with a UTF-8 byte-order
    // mark, which would otherwise hide the first section.
    if (first && text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
    rc = parse_line(text, &head, &tail);
    if (rc != 0) break;
  }
  if (rc == VKLOG_LOAD_OPEN_FAILED) *err_no = errno;
  fclose(f);
  if (rc == 0 && head == nullptr) rc = VKLOG_LOAD_NO_SECTION;
  for (vklog_config_t *c = head; rc == 0 && c != nullptr; c = c->next) {
    if (vl_load_config_finish(c) != 0) rc = VKLOG_LOAD_FINISH_FAILED;
  }
  if (rc != 0) {
    vl_config_list_free(head);
    *code = rc;
    return nullptr;
  }
  return head;
}
