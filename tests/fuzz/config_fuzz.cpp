// Fuzz entries for the configuration file readers. The input becomes a file
// in a private temporary folder (made once per process, removed at exit),
// read through the real file path.
//
// vk_config_file: the key=value reader. The input is a key (up to 63
// bytes), a value field size and the file's content. Checked: lookups end
// with a documented code; a found value is terminated within its field,
// stripped (no leading space, tab, CR or LF, nor trailing ones unless the
// value was cut) and free of the comment sign; the default comes back when the key is absent; and
// the environment expansion of the file's content stays within its buffer.
//
// qdr_conf_file: the network agent's own file (qdr.conf) read into a
// cleared agent configuration, then the defaults applied. Checked: texts
// terminated within their fields, ports from 1 to 65535, a buffer size not
// negative.
//
// vklog_conf_file: the logging library's sectioned configuration file.
// Checked: the loader returns a list exactly when its code is 0, the code
// is one of the documented ones, and every section's texts are terminated
// within their fields with consistent lengths.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "config.h"
#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "vk_config.h"
#include "vklog_config.h"

namespace {

std::string g_dir;

void remove_dir() {
  if (g_dir.empty()) return;
  unlink((g_dir + "/input.conf").c_str());
  rmdir(g_dir.c_str());
}

// Writes `content` to the input file; its path, or empty on failure.
std::string write_input(std::string_view content) {
  if (g_dir.empty()) {
    // Memory-backed when there is /dev/shm: a disk file system makes each
    // run wait on metadata writes.
    char pattern[] = "/dev/shm/vk-config-fuzz-XXXXXX";
    char fallback[] = "/tmp/vk-config-fuzz-XXXXXX";
    char *made = mkdtemp(pattern);
    if (made == nullptr) made = mkdtemp(fallback);
    if (made == nullptr) {
      perror("mkdtemp /tmp/vk-config-fuzz-XXXXXX");
      return "";
    }
    g_dir = made;
    atexit(remove_dir);
    // Values the expansion may reference: one short, one too long to use.
    setenv("VK_FUZZ_HOME", "/home/fuzz", 1);
    setenv("VK_FUZZ_LONG", std::string(2000, 'x').c_str(), 1);
  }
  std::string path = g_dir + "/input.conf";
  FILE *fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) {
    perror(path.c_str());
    return "";
  }
  bool ok = fwrite(content.data(), 1, content.size(), fp) == content.size();
  ok = fclose(fp) == 0 && ok;
  if (!ok) {
    perror(path.c_str());
    return "";
  }
  return path;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool terminated(const char *field, size_t size) {
  return memchr(field, '\0', size) != nullptr;
}

}  // namespace

int fuzz_vk_config_file(const uint8_t *data, size_t size) {
  fuzz_input in = fuzz_input_make(data, size);
  std::string key(fuzz_input_bytes(&in, fuzz_input_u8(&in) % 64));
  key.resize(strnlen(key.c_str(), key.size()));
  size_t value_size = 1 + fuzz_input_u8(&in) * 5;  // 1..1276
  std::string_view content = fuzz_input_bytes(&in, fuzz_input_left(&in));
  std::string path = write_input(content);
  if (path.empty()) return 1;

  std::string value(value_size + 1, '\x7f');  // one guard byte past the field
  int r = _get_config_string(path.c_str(), key.c_str(), value.data(), value_size);
  if (r != 0 && r != -1) return 1;
  if (value[value_size] != '\x7f') return 1;
  if (r == 0) {
    if (!terminated(value.data(), value_size)) return 1;
    std::string_view v(value.c_str());
    // A cut value may end inside its own blanks; a whole one is stripped.
    if (!v.empty() && (is_blank(v.front()) || (v.size() < value_size - 1 && is_blank(v.back())))) {
      return 1;
    }
    if (v.find('#') != std::string_view::npos) return 1;
  }

  static const char kDefault[] = "fallback";
  std::string expanded(value_size + 1, '\x7f');
  ReadConfStringEx(path.c_str(), key.c_str(), expanded.data(), value_size, kDefault);
  if (expanded[value_size] != '\x7f' || !terminated(expanded.data(), value_size)) return 1;
  if (r == -1 &&
      std::string_view(expanded.c_str()) != std::string_view(kDefault).substr(0, value_size - 1)) {
    return 1;
  }

  // The content itself as a value with references.
  std::string text(content);
  text.resize(strnlen(text.c_str(), text.size()));
  std::string result(value_size + 1, '\x7f');
  int n = convert_string_Environment(text.c_str(), result.data(), value_size);
  if (n < 0 || static_cast<size_t>(n) >= value_size || result[value_size] != '\x7f' ||
      strlen(result.c_str()) != static_cast<size_t>(n)) {
    return 1;
  }
  return 0;
}

int fuzz_vklog_conf_file(const uint8_t *data, size_t size) {
  std::string path = write_input(std::string_view(reinterpret_cast<const char *>(data), size));
  if (path.empty()) return 1;
  int code = 1;
  int err_no = 0;
  vklog_config_t *list = vl_load_config_from_conf_file(path.c_str(), &code, &err_no);
  int broken = 0;
  if ((list != nullptr) != (code == 0)) broken = 1;
  if (code != 0 && (code < VKLOG_LOAD_NO_MEMORY || code > VKLOG_LOAD_OPEN_FAILED)) broken = 1;
  if (code == VKLOG_LOAD_OPEN_FAILED) broken = 1;  // the file is there
  for (const vklog_config_t *c = list; c != nullptr && broken == 0; c = c->next) {
    if (!terminated(c->name, sizeof(c->name)) || !terminated(c->out_dir, sizeof(c->out_dir)) ||
        !terminated(c->out_file, sizeof(c->out_file)) ||
        !terminated(c->out_path, sizeof(c->out_path)) ||
        !terminated(c->vklogger_ip, sizeof(c->vklogger_ip)) ||
        !terminated(c->backup_dir, sizeof(c->backup_dir)) ||
        !terminated(c->backup_path, sizeof(c->backup_path)) || strlen(c->name) != c->name_len ||
        strlen(c->out_file) != c->out_file_len || c->name_len == 0 ||
        (c->file_permission & ~0666u) != 0) {
      broken = 1;
    }
  }
  vl_config_list_free(list);
  return broken;
}

int fuzz_qdr_conf_file(const uint8_t *data, size_t size) {
  std::string path = write_input(std::string_view(reinterpret_cast<const char *>(data), size));
  if (path.empty()) return 1;
  char config_path[AGENT_CONFIG_PATH_SIZE];
  snprintf(config_path, sizeof(config_path), "%s", path.c_str());
  config_init(&g_agent_config);
  if (load_config_from_file(config_path) != 0 || config_validation() != 0) return 1;
  const agent_config *c = &g_agent_config;
  if (!terminated(c->app_name, sizeof(c->app_name)) ||
      !terminated(c->receiver_ip, sizeof(c->receiver_ip)) ||
      !terminated(c->config_path, sizeof(c->config_path)) ||
      !terminated(c->log_config_path, sizeof(c->log_config_path)) || c->receiver_port == 0 ||
      c->syslog_port < 1 || c->syslog_port > 65535 || c->snmptrap_port < 1 ||
      c->snmptrap_port > 65535 || c->event_buffer_bytes < 0) {
    return 1;
  }
  return 0;
}
