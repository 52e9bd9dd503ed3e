#include "os/linux/lks_linux_package.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string_view>

#include "host_system_info.h"
#include "os/linux/lks_linux_env.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

constexpr size_t PKG_PATH_SIZE = 1024;

// Copies the next '|'-separated field of *rest (or all of it when `last`)
// into field, cut to fit; advances *rest.
std::string_view next_field(std::string_view *rest, bool last) {
  size_t bar = last ? std::string_view::npos : rest->find('|');
  std::string_view v = rest->substr(0, bar);
  *rest = bar == std::string_view::npos ? std::string_view() : rest->substr(bar + 1);
  return v;
}

void put(char *field, size_t size, std::string_view v) {
  field[0] = '\0';
  if (v.empty()) return;
  if (v.size() >= size) v = v.substr(0, size - 1);
  vk_copy_field(field, size, v);
}

int64_t to_i64(std::string_view v, size_t max_digits) {
  char digits[24];
  if (v.size() > max_digits) v = v.substr(0, max_digits);
  put(digits, sizeof(digits), v);
  return lks_parse_i64(digits, nullptr);
}

// "YYYYMMDD" as a number of the local date of t.
int local_date(time_t t) {
  struct tm tm;
  if (localtime_vk(&tm, t) != 0) return 0;
  return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

struct pkg_batch {
  const lks_package_t *records;
  int count;
  uint64_t collect_msec;
};

int build_packages(void *arg, void *work, size_t work_size, uint8_t *encoded, size_t encoded_size) {
  const pkg_batch *b = static_cast<const pkg_batch *>(arg);
  host_installed_pkg_message_t *m = host_installed_pkg_message_new(work, work_size);
  if (m == nullptr || host_installed_pkg_message_identity_alloc(m) != 0 ||
      (b->count > 0 && host_installed_pkg_message_host_installed_pkgs_alloc(m, b->count) != 0)) {
    return LKS_BUILD_FULL;
  }
  char host_id[LKS_HOST_ID_SIZE];
  lks_identity_fill(m->identity_p, host_id);
  m->identity_p->time = b->collect_msec;
  for (int i = 0; i < b->count; i++) {
    const lks_package_t &r = b->records[i];
    host_installed_pkg_t *e = &m->host_installed_pkgs.items_p[i];
    e->name_p = r.name;
    e->version_p = r.version;
    e->release_p = r.release;
    e->size = r.size;
    e->license_p = r.license;
    e->install_time = r.install_time;
    e->summary_p = r.summary;
    e->extra_p = r.extra;
  }
  return lks_encode_result(host_installed_pkg_message_encode(m, encoded, encoded_size));
}

// True when an executable `name` is in a directory of PATH.
bool on_path(const char *name) {
  const char *path = getenv("PATH");
  std::string_view rest(path != nullptr ? path : "");
  while (true) {
    size_t colon = rest.find(':');
    std::string_view dir = rest.substr(0, colon);
    char file[PKG_PATH_SIZE];
    // An empty entry is the current directory, which is never searched here.
    if (!dir.empty() &&
        snprintf(file, sizeof(file), "%.*s/%s", static_cast<int>(dir.size()), dir.data(), name) <
            static_cast<int>(sizeof(file)) &&
        access(file, X_OK) == 0)
      return true;
    if (colon == std::string_view::npos) return false;
    rest = rest.substr(colon + 1);
  }
}

// Quotes `path` for the shell inside single quotes; false when it does not
// fit.
bool shell_quote(char *out, size_t size, const char *path) {
  size_t n = 0;
  if (size < 3) return false;
  out[n++] = '\'';
  for (const char *p = path; *p != '\0'; p++) {
    if (n + 6 >= size) return false;
    if (*p == '\'') {
      memcpy(out + n, "'\\''", 4);
      n += 4;
    } else {
      out[n++] = *p;
    }
  }
  out[n++] = '\'';
  out[n] = '\0';
  return true;
}

// The dpkg-query format read by lks_package_parse_dpkg_line; the package
// name with its architecture where several may be installed, as the file
// list below /var/lib/dpkg/info is named.
constexpr const char *DPKG_FORMAT =
    "${db:Status-Status}|${binary:Package}|${Version}|${Installed-Size}|${binary:Summary}\\n";

// Milliseconds of the last change of the package's file list, 0 unknown.
int64_t dpkg_install_msec(const char *package) {
  char path[PKG_PATH_SIZE];
  struct stat st;
  if (lks_path(path, sizeof(path), "/var/lib/dpkg/info/%s.list", package) != 0 ||
      stat(path, &st) != 0)
    return 0;
  return static_cast<int64_t>(st.st_mtime) * 1000;
}

// Runs dpkg-query and writes its installed packages to `path` in the rpm
// line format (through a temporary file and a rename). 0, -1 when the
// query cannot be started, -2 when the file cannot be written.
int dpkg_query_to_file(const char *path) {
  char cmd[256];
  snprintf(cmd, sizeof(cmd), "dpkg-query -W -f='%s'", DPKG_FORMAT);
  char tmp[PKG_PATH_SIZE + 8];
  if (snprintf(tmp, sizeof(tmp), "%s.tmp", path) >= static_cast<int>(sizeof(tmp))) return -2;
  FILE *out = fopen(tmp, "we");
  if (out == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[get_host_installed_package] %s cannot be written (%d)\n", tmp,
          errno);
    return -2;
  }
  FILE *in = popen(cmd, "r");
  if (in == nullptr) {
    fclose(out);
    unlink(tmp);
    VKLOG(g_vklog, VL_INFO, "popen() has failed.\n");
    return -1;
  }
  char *line = nullptr;
  size_t cap = 0;
  bool ok = true;
  lks_package_t pkg;
  while (getline(&line, &cap, in) >= 0) {
    if (!lks_package_parse_dpkg_line(line, &pkg)) continue;
    if (fprintf(out, "%s|%s|%s|%lld||%lld|%s\n", pkg.name, pkg.version, pkg.release,
                static_cast<long long>(pkg.size),
                static_cast<long long>(dpkg_install_msec(pkg.name) / 1000), pkg.summary) < 0)
      ok = false;
  }
  free(line);
  int status = pclose(in);
  if (status != 0)
    VKLOG(g_vklog, VL_ERROR, "[get_host_installed_package] dpkg-query ended with status %d\n",
          status);
  if (fclose(out) != 0) ok = false;
  if (!ok || rename(tmp, path) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[get_host_installed_package] %s cannot be written (%d)\n", path,
          errno);
    unlink(tmp);
    return -2;
  }
  return 0;
}

// An empty package file: the host has no tool to ask.
int write_empty(const char *path) {
  FILE *f = fopen(path, "we");
  if (f == nullptr) return -2;
  return fclose(f) == 0 ? 0 : -2;
}

}  // namespace

int lks_package_tool(void) {
  if (on_path("rpm")) return LKS_PKG_TOOL_RPM;
  if (on_path("dpkg-query")) return LKS_PKG_TOOL_DPKG;
  return LKS_PKG_TOOL_NONE;
}

bool lks_package_parse_dpkg_line(const char *line, lks_package_t *out) {
  *out = lks_package_t{};
  std::string_view rest(line);
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.remove_suffix(1);
  if (next_field(&rest, false) != "installed") return false;
  put(out->name, sizeof(out->name), next_field(&rest, false));
  std::string_view version = next_field(&rest, false);
  size_t dash = version.rfind('-');
  if (dash != std::string_view::npos) {
    put(out->release, sizeof(out->release), version.substr(dash + 1));
    version = version.substr(0, dash);
  }
  put(out->version, sizeof(out->version), version);
  int64_t kib = to_i64(next_field(&rest, false), 20);
  out->size = kib > 0 && kib <= INT64_MAX / 1024 ? kib * 1024 : 0;
  put(out->summary, sizeof(out->summary), next_field(&rest, true));
  return out->name[0] != '\0';
}

void lks_package_parse_line(const char *line, lks_package_t *out) {
  *out = lks_package_t{};
  std::string_view rest(line);
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.remove_suffix(1);
  put(out->name, sizeof(out->name), next_field(&rest, false));
  put(out->version, sizeof(out->version), next_field(&rest, false));
  put(out->release, sizeof(out->release), next_field(&rest, false));
  out->size = to_i64(next_field(&rest, false), 20);
  put(out->license, sizeof(out->license), next_field(&rest, false));
  int64_t seconds = to_i64(next_field(&rest, false), 20);
  out->install_time = seconds > INT64_MAX / 1000 || seconds < 0 ? 0 : seconds * 1000;
  // The rest of the line, of which at most 100 characters with the newline
  // are read and the last one dropped: a long summary keeps 99.
  put(out->summary, sizeof(out->summary), next_field(&rest, true));
}

int send_host_installed_package(const lks_package_t *records, int count, uint64_t collect_msec) {
  pkg_batch batch = {records, count, collect_msec};
  lks_msgbuf_t buf = {};
  size_t need = 4096 + static_cast<size_t>(count) * (sizeof(lks_package_t) + 128);
  int len = lks_msgbuf_build(&buf, need, need, build_packages, &batch);
  int ret = 0;
  if (len < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_host_installed_package] host_installed_pkg_message_encode failed(%d). buffer "
          "size: %zu\n",
          len, buf.encoded_size);
    ret = -1;
  } else {
    ret = lks_send(LKS_CODE_PACKAGE, buf.encoded, static_cast<size_t>(len)) == 0 ? 0 : -2;
    VKLOG(g_vklog, VL_DEBUG, "[send_host_installed_package] send count %d\n", count);
  }
  lks_msgbuf_clear(&buf);
  return ret;
}

int lks_package_command(char *cmd, size_t size, const char *path) {
  // The path goes inside single quotes; a quote in it is closed, escaped
  // and reopened, so a home directory with blanks or quotes stays one word.
  char quoted[PKG_PATH_SIZE * 4 + 3];
  if (!shell_quote(quoted, sizeof(quoted), path)) return -1;
  int len = snprintf(cmd, size,
                     "rpm -qa --queryformat "
                     "\"%%{NAME}|%%{VERSION}|%%{RELEASE}|%%{SIZE}|%%{LICENSE}|%%{INSTALLTIME}|%%{"
                     "SUMMARY}\\n\" > %s",
                     quoted);
  return len < 0 || static_cast<size_t>(len) >= size ? -1 : 0;
}

int get_host_installed_package(void) {
  const lks_ops_t *ops = lks_get_ops();
  char path[PKG_PATH_SIZE];
  if (ops->data_path == nullptr || ops->data_path(path, sizeof(path), LKS_PKG_FILE) != 0) {
    VKLOG(g_vklog, VL_INFO, "fopen() has failed.\n");
    return -2;
  }
  struct stat st;
  time_t mtime = stat(path, &st) == 0 ? st.st_mtime : 0;
  time_t now = static_cast<time_t>(vk_get_time_msec() / 1000);
  if (local_date(mtime) != local_date(now)) {
    int tool = lks_package_tool();
    if (tool == LKS_PKG_TOOL_RPM) {
      char cmd[PKG_PATH_SIZE * 4 + 256];
      FILE *p = lks_package_command(cmd, sizeof(cmd), path) == 0 ? popen(cmd, "w") : nullptr;
      if (p == nullptr) {
        VKLOG(g_vklog, VL_INFO, "popen() has failed.\n");
        return -1;
      }
      pclose(p);  // waits for the query to finish
    } else if (tool == LKS_PKG_TOOL_DPKG) {
      int ret = dpkg_query_to_file(path);
      if (ret != 0) return ret;
    } else {
      VKLOG(g_vklog, VL_ERROR,
            "[get_host_installed_package] neither rpm nor dpkg-query found on PATH: no "
            "packages\n");
      if (write_empty(path) != 0) {
        VKLOG(g_vklog, VL_INFO, "fopen() has failed.\n");
        return -2;
      }
    }
  }
  FILE *f = fopen(path, "re");
  if (f == nullptr) {
    VKLOG(g_vklog, VL_INFO, "fopen() has failed.\n");
    return -2;
  }
  uint64_t collect_msec = vk_get_time_msec();
  lks_package_t *batch =
      static_cast<lks_package_t *>(malloc(LKS_PKG_BATCH * sizeof(lks_package_t)));
  if (batch == nullptr) {
    fclose(f);
    return -2;
  }
  int in_batch = 0;
  long lines = 0;
  char *line = nullptr;
  size_t cap = 0;
  for (;;) {
    // A full batch leaves before the next read, so exactly 100 packages
    // give a batch of 100 and then an empty one.
    if (in_batch == LKS_PKG_BATCH) {
      send_host_installed_package(batch, in_batch, collect_msec);
      in_batch = 0;
    }
    // Whole lines, however long: a cut line's tail must not become a record.
    if (getline(&line, &cap, f) < 0) break;
    lks_package_parse_line(line, &batch[in_batch++]);
    lines++;
  }
  free(line);
  fclose(f);
  send_host_installed_package(batch, in_batch, collect_msec);
  free(batch);
  VKLOG(g_vklog, VL_DEBUG, "[get_host_installed_package] %ld packages\n", lines);
  return 0;
}
