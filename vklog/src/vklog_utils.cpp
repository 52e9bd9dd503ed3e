#include "vklog_utils.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <mutex>

#include "vk_env.h"
#include "vklog.h"
#include "vklog_lock.h"

pthread_mutex_t g_file_backup_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_file_direcotry_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

std::atomic<pid_t> g_pid{0};

void forget_pid() {
  g_pid.store(0, std::memory_order_relaxed);
}

}  // namespace

pid_t vl_getpid(void) {
  pid_t p = g_pid.load(std::memory_order_relaxed);
  if (p != 0) return p;
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, forget_pid); });
  p = getpid();
  g_pid.store(p, std::memory_order_relaxed);
  return p;
}

std::string_view vl_trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  size_t b = text.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  size_t e = text.find_last_not_of(kBlanks);
  return text.substr(b, e - b + 1);
}

bool vl_equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

namespace {

// Prints the expansion's complaints to standard error, in this library's
// words.
void print_expand_event(const vk_env_event *e, void *) {
  if (e->type == VK_ENV_EVENT_VALUE_TOO_LONG) {
    // -2: this library's code for a value that is too long.
    fprintf(stderr, "[vklog_convert_string_Environment] getenv_vk() error.(ret:%d)[varname:%s]\n",
            -2, e->name);
    return;
  }
  unsigned long need = static_cast<unsigned long>(e->len + e->piece_size + 1);
  if (e->piece == VK_ENV_PIECE_VALUE) {
    fprintf(stderr,
            "[convert_string_Environment] (get env has success) buffer size over.(need:%lu)\n",
            need);
  } else if (e->piece == VK_ENV_PIECE_REFERENCE) {
    fprintf(stderr,
            "[vklog_convert_string_Environment] (get env has failed) buffer size "
            "over.(need:%lu)\n",
            need);
  } else {
    fprintf(stderr, "[vklog_convert_string_Environment] (result) buffer size over.(need:%lu)\n",
            need);
  }
}

}  // namespace

int vklog_convert_string_Environment(const char *src, size_t src_len, char *dst, size_t dst_size) {
  if (src == nullptr || dst == nullptr || dst_size == 0) return -2;
  vk_env_rules rules{1, VKLOG_ENV_NAME_MAX, print_expand_event, nullptr};
  size_t len = 0;
  if (vk_env_expand(src, src_len, &rules, dst, dst_size, &len) != 0) return -1;
  return static_cast<int>(len);
}

int vklog_make_directory_with_parents(const char *dir, size_t len) {
  if (dir == nullptr || len == 0 || len > 4094) return -1;
  char path[4096];
  len = strnlen(dir, len);
  if (len == 0) return -1;
  memcpy(path, dir, len);
  path[len] = '\0';
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  // Create each component in turn; the ones that exist are skipped.
  for (size_t i = 1; i <= len; i++) {
    if (i < len && path[i] != '/') continue;
    char saved = path[i];
    path[i] = '\0';
    if (mkdir(path, 0750) != 0 && errno != EEXIST) {
      int e = errno;
      fprintf(stderr, "[%s] is not make.[(%d)%s]\n", path, e, strerror(e));
      return -3;
    }
    path[i] = saved;
  }
  // mkdir's EEXIST also answers for a file of that name.
  int e = stat(path, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (e != 0) {
    fprintf(stderr, "[%s] is not make.[(%d)%s]\n", path, e, strerror(e));
    return -3;
  }
  return 0;
}

namespace {

// Splits a backup path into its directory ("." when none) and base name.
// False when there is no base name or the directory does not fit.
bool split_backup_path(const char *backup_path, char *dir, size_t dir_size,
                       std::string_view *base) {
  if (backup_path == nullptr) return false;
  std::string_view p(backup_path);
  size_t slash = p.rfind('/');
  std::string_view d = slash == std::string_view::npos ? std::string_view(".")
                       : slash == 0                    ? std::string_view("/")
                                                       : p.substr(0, slash);
  *base = slash == std::string_view::npos ? p : p.substr(slash + 1);
  if (base->empty() || d.size() >= dir_size) return false;
  memcpy(dir, d.data(), d.size());
  dir[d.size()] = '\0';
  return true;
}

// The backup number of directory entry `name`, or 0 when it is not
// "base.N" with N a whole decimal number above 0.
unsigned int backup_number(const char *name, std::string_view base) {
  std::string_view n(name);
  if (n.size() <= base.size() + 1 || n.compare(0, base.size(), base) != 0 || n[base.size()] != '.')
    return 0;
  std::string_view digits = n.substr(base.size() + 1);
  unsigned int v = 0;
  auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return 0;
  return v;
}

}  // namespace

int vl_get_last_backup_index(const char *backup_path) {
  char dir[VKLOG_PATH_SIZE];
  std::string_view base;
  if (!split_backup_path(backup_path, dir, sizeof(dir), &base)) return -1;
  vl_lock_guard g(&g_file_direcotry_lock);
  DIR *d = opendir(dir);
  if (d == nullptr) return -6;
  unsigned int best = 0;
  struct timespec best_time = {0, 0};
  for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
    unsigned int n = backup_number(e->d_name, base);
    if (n == 0) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, 0) != 0) continue;
    const struct timespec &t = st.st_mtim;
    bool newer = best == 0 || t.tv_sec > best_time.tv_sec ||
                 (t.tv_sec == best_time.tv_sec && t.tv_nsec > best_time.tv_nsec) ||
                 (t.tv_sec == best_time.tv_sec && t.tv_nsec == best_time.tv_nsec && n > best);
    if (newer) {
      best = n;
      best_time = t;
    }
  }
  closedir(d);
  return best > static_cast<unsigned int>(INT32_MAX) ? INT32_MAX : static_cast<int>(best);
}

int vl_cleanup_backup_file(const char *backup_path, unsigned int max_count) {
  char dir[VKLOG_PATH_SIZE];
  std::string_view base;
  if (!split_backup_path(backup_path, dir, sizeof(dir), &base)) return -1;
  vl_lock_guard g(&g_file_direcotry_lock);
  DIR *d = opendir(dir);
  if (d == nullptr) return -6;
  int deleted = 0;
  for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
    unsigned int n = backup_number(e->d_name, base);
    if (n == 0 || n <= max_count) continue;
    if (unlinkat(dirfd(d), e->d_name, 0) == 0) deleted++;
  }
  closedir(d);
  return deleted;
}
