#include "os/linux/lks_linux_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <string_view>
#include <unordered_map>

#include "host_process.h"
#include "os/linux/lks_linux_env.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

constexpr uint16_t PROC_MAP_BUCKETS = 128;
constexpr int PROC_ARRAY_STEP = 32;
constexpr size_t PROC_READ_SIZE = 4096;
// Bytes per entry of the report's workspace and encoding buffer.
constexpr size_t PROC_WORK_PER_ITEM = 96;
constexpr size_t PROC_ENCODED_PER_ITEM = 648;
constexpr size_t LIMITS_WORK_SIZE = 65535;

std::atomic<uint64_t> g_btime{0};

// The process thread's previous scan and report buffers.
lks_proc_list_t g_prev_list = {};
bool g_have_prev = false;
lks_msgbuf_t g_proc_buf = {};

// The files of one process, kept open from scan to scan: a read at offset
// 0 makes procfs produce the file afresh, so a kept descriptor gives the
// same text as a new open, without the open and close that cost as much as
// the read (each scan would otherwise open three files per process). The
// descriptors belong to the process itself, not to its pid: once it has
// exited, a read fails (ESRCH) even when the pid was given to another
// process, and the files are opened again for the new one.
struct kept_files {
  int fd[4];      // stat, cmdline, io, the directory (O_PATH); -1 when not open
  uint32_t scan;  // last scan that met the process
};

// Process thread only.
struct file_cache {
  std::unordered_map<uint32_t, kept_files> by_pid;
  uint32_t scan = 0;
  size_t open_fds = 0;
  // Only procfs fails a read for an exited process; on any other tree (a
  // recorded fixture) every file is opened anew.
  bool usable = false;
  char proc_path[LKS_PATH_SIZE] = "";
};
file_cache g_files;

constexpr const char *PROC_FILE_NAMES[3] = {"stat", "cmdline", "io"};
enum { FILE_STAT = 0, FILE_CMDLINE = 1, FILE_IO = 2, FILE_DIR = 3 };
constexpr long PROC_SUPER_MAGIC_VALUE = 0x9fa0;

void close_kept(kept_files *k) {
  for (int &fd : k->fd) {
    if (fd >= 0) {
      close(fd);
      g_files.open_fds--;
      fd = -1;
    }
  }
}

// Descriptors the cache may hold: half the process's limit, so that the
// rest of the agent always has room.
size_t fd_budget() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 512;
  return static_cast<size_t>(rl.rlim_cur / 2);
}

// Reads `which` of the process into `text`: through the kept descriptor
// (opened below the kept directory when missing) when `k` is given, else
// "<pid>/<file>" (`name`, the file part at `file`) opened below the /proc
// descriptor `proc` and closed. Returns the bytes read (text terminated),
// or -1.
long read_proc_file(int proc, char *name, char *file, kept_files *k, int which, char *text,
                    size_t size) {
  if (k == nullptr) {
    strcpy(file, PROC_FILE_NAMES[which]);
    return lks_read_at(proc, name, text, size, nullptr);
  }
  text[0] = '\0';
  if (k->fd[which] < 0) {
    k->fd[which] = openat(k->fd[FILE_DIR], PROC_FILE_NAMES[which], O_RDONLY | O_CLOEXEC);
    if (k->fd[which] < 0) return -1;
    g_files.open_fds++;
  }
  ssize_t n;
  do {
    n = pread(k->fd[which], text, size - 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  text[n] = '\0';
  return static_cast<long>(n);
}

// Opens the process's directory into k (O_PATH: only a handle for the
// files below it and for its owner). False when the process is gone.
bool open_kept_dir(int proc, const char *pid_text, kept_files *k) {
  k->fd[FILE_DIR] = openat(proc, pid_text, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (k->fd[FILE_DIR] < 0) return false;
  g_files.open_fds++;
  return true;
}

// User names of the uids met during one scan: each uid is looked up once a
// scan, not once per process (the lookup reads the account files).
struct user_cache {
  uint32_t uid[64];
  char name[64][LKS_PROC_USER_SIZE];
  int count;
};

// Constants of one scan.
struct scan_env {
  long hz;
  long page;
  uint64_t btime;
  uid_t euid;
};

void lookup_user(user_cache *cache, uint32_t uid, char out[LKS_PROC_USER_SIZE]) {
  for (int i = 0; i < cache->count; i++) {
    if (cache->uid[i] == uid) {
      memcpy(out, cache->name[i], LKS_PROC_USER_SIZE);
      return;
    }
  }
  struct passwd pw;
  struct passwd *found = nullptr;
  char buf[1024];
  if (getpwuid_r(uid, &pw, buf, sizeof(buf), &found) == 0 && found != nullptr) {
    // A longer name is cut to the field, as the report's width says.
    snprintf(out, LKS_PROC_USER_SIZE, "%.*s", LKS_PROC_USER_SIZE - 1, found->pw_name);
  } else {
    snprintf(out, LKS_PROC_USER_SIZE, "%u", uid);
  }
  VKLOG(g_vklog, VL_TRACE, "[vk_username] buf[%s]\n", out);
  if (cache->count < 64) {
    cache->uid[cache->count] = uid;
    memcpy(cache->name[cache->count], out, LKS_PROC_USER_SIZE);
    cache->count++;
  }
}

// read_bytes and write_bytes from the text of an io file.
void take_io(const char *text, lks_proc_t *rec) {
  for (const char *line = text; line != nullptr && *line != '\0';) {
    const char *colon = strchr(line, ':');
    const char *next = strchr(line, '\n');
    if (colon != nullptr && (next == nullptr || colon < next)) {
      std::string_view key(line, static_cast<size_t>(colon - line));
      if (key == "read_bytes") rec->read_bytes = lks_parse_u64(colon + 1, nullptr);
      if (key == "write_bytes") rec->write_bytes = lks_parse_u64(colon + 1, nullptr);
    }
    line = next != nullptr ? next + 1 : nullptr;
  }
}

// Command line (`text`, n bytes read) with NUL separators turned into
// blanks, trimmed, cut to the field (a long one, e.g. of a Java program,
// keeps its first 511 characters). False when it is empty or unreadable (a
// kernel thread).
bool take_cmdline(char *text, long n, char out[LKS_PROC_CMDLINE_SIZE]) {
  if (n <= 0) return false;
  for (long i = 0; i < n; i++) {
    if (text[i] == '\0') text[i] = ' ';
  }
  text[n] = '\0';
  vk_trim(text, static_cast<size_t>(n));
  if (text[0] == '\0') return false;
  vk_copy_field(out, LKS_PROC_CMDLINE_SIZE,
                std::string_view(text, strnlen(text, LKS_PROC_CMDLINE_SIZE - 1)));
  return true;
}

bool list_append(lks_proc_list_t *list, lks_proc_t *rec) {
  if (list->count == list->cap) {
    int cap = list->cap + PROC_ARRAY_STEP;
    void *grown = realloc(list->items, cap * sizeof(lks_proc_t *));
    if (grown == nullptr) {
      VKLOG(g_vklog, VL_ERROR, "[increase_array_process_infos] malloc(count:%u) open has failed.\n",
            static_cast<unsigned>(cap));
      return false;
    }
    list->items = static_cast<lks_proc_t **>(grown);
    list->cap = cap;
  }
  if (map_setat(&list->map, rec, 8, rec) == MAP_SETAT_FAILED) return false;
  list->items[list->count++] = rec;
  return true;
}

// The kernel's flag of its own threads, which never have a command line.
constexpr uint64_t PROC_FLAG_KTHREAD = 0x00200000;

// Reads one process below the /proc directory `proc`; null when it is to
// be left out. *oom set when memory is exhausted.
lks_proc_t *read_process(int proc, uint32_t pid, const scan_env *env, user_cache *users,
                         bool *oom) {
  // "<pid>/" once; the file names are put after it.
  char name[32];
  int dir_len = snprintf(name, sizeof(name), "%u/", pid);
  char *file = name + dir_len;
  char pid_text[16];
  memcpy(pid_text, name, static_cast<size_t>(dir_len - 1));
  pid_text[dir_len - 1] = '\0';
  kept_files *k = nullptr;
  if (g_files.usable) {
    auto it = g_files.by_pid.find(pid);
    if (it == g_files.by_pid.end() && g_files.open_fds + 4 <= fd_budget())
      it = g_files.by_pid.emplace(pid, kept_files{{-1, -1, -1, -1}, 0}).first;
    if (it != g_files.by_pid.end()) {
      k = &it->second;
      k->scan = g_files.scan;
      // Gone since the listing: left out.
      if (k->fd[FILE_DIR] < 0 && !open_kept_dir(proc, pid_text, k)) return nullptr;
    }
  }
  char text[PROC_READ_SIZE + 1];
  long n = read_proc_file(proc, name, file, k, FILE_STAT, text, sizeof(text));
  if (n <= 0 && k != nullptr) {
    // The process the descriptors were opened for has exited; the pid may
    // belong to a new one.
    close_kept(k);
    if (!open_kept_dir(proc, pid_text, k)) return nullptr;
    n = read_proc_file(proc, name, file, k, FILE_STAT, text, sizeof(text));
  }
  // Gone since the listing, or an unreadable or empty stat file: left out.
  if (n <= 0) return nullptr;
  // The owner of the process's directory, which is that of its stat file.
  // procfs works it out at each call, so a process that changed its uid
  // since the last scan shows the new one through a kept descriptor too.
  struct stat st;
  if (k != nullptr ? fstat(k->fd[FILE_DIR], &st) != 0 : fstatat(proc, pid_text, &st, 0) != 0)
    return nullptr;
  lks_proc_t *rec = static_cast<lks_proc_t *>(calloc(1, sizeof(lks_proc_t)));
  if (rec == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[get_process_infos] malloc(%u) open has failed.\n",
          static_cast<unsigned>(sizeof(lks_proc_t)));
    *oom = true;
    return nullptr;
  }
  rec->sample_msec = vk_get_time_msec();
  if (lks_proc_parse_stat(text, env->hz, env->page, env->btime, rec) != 0 ||
      (rec->flags & PROC_FLAG_KTHREAD) != 0) {
    free(rec);
    return nullptr;
  }
  rec->pid = pid;
  rec->uid = st.st_uid;
  // Read on every scan: a process may rewrite its own title at any time
  // without anything in its stat line telling.
  n = read_proc_file(proc, name, file, k, FILE_CMDLINE, text, sizeof(text));
  if (!take_cmdline(text, n, rec->cmdline)) {
    free(rec);
    return nullptr;
  }
  // The io file only when this process may read it (as root, or as the
  // process's owner).
  if (env->euid == 0 || env->euid == st.st_uid) {
    n = read_proc_file(proc, name, file, k, FILE_IO, text, sizeof(text));
    if (n > 0) take_io(text, rec);
  }
  lookup_user(users, rec->uid, rec->user);
  return rec;
}

const lks_proc_t *find_previous(const lks_proc_list_t *prev, int pos, const lks_proc_t *cur) {
  if (pos < prev->count) {
    const lks_proc_t *p = prev->items[pos];
    if (p->pid == cur->pid && strcmp(p->comm, cur->comm) == 0) return p;
  }
  void *found = nullptr;
  if (map_lookup(const_cast<hash_struct *>(&prev->map), cur, 8, &found) == 1) {
    return static_cast<const lks_proc_t *>(found);
  }
  return nullptr;
}

struct proc_report {
  const lks_proc_list_t *list;
};

int build_process(void *arg, void *work, size_t work_size, uint8_t *encoded, size_t encoded_size) {
  const lks_proc_list_t *list = static_cast<const proc_report *>(arg)->list;
  host_process_info_message_t *m = host_process_info_message_new(work, work_size);
  if (m == nullptr || host_process_info_message_identity_alloc(m) != 0 ||
      (list->count > 0 &&
       host_process_info_message_host_process_infos_alloc(m, list->count) != 0)) {
    return LKS_BUILD_FULL;
  }
  char host_id[LKS_HOST_ID_SIZE];
  lks_identity_fill(m->identity_p, host_id);
  for (int i = 0; i < list->count; i++) {
    const lks_proc_t *r = list->items[i];
    host_process_info_t *e = &m->host_process_infos.items_p[i];
    e->pid = r->pid;
    e->ppid = r->ppid;
    e->command_p = r->comm;
    e->command_line_p = r->cmdline;
    e->user_name_p = r->user;
    e->start_time = r->start_time * 1000;
    e->cpu_usage = r->cpu_total;
    e->virtual_size = r->vsize;
    e->resident_size = r->rss;
    e->read_bytes = r->read_bytes;
    e->write_bytes = r->write_bytes;
  }
  return lks_encode_result(host_process_info_message_encode(m, encoded, encoded_size));
}

struct limits_answer {
  const char *request;
  const lks_limit_t *limits;
  int count;
};

int build_limits(void *arg, void *work, size_t work_size, uint8_t *encoded, size_t encoded_size) {
  const limits_answer *a = static_cast<const limits_answer *>(arg);
  res_host_process_limits_message_t *m = res_host_process_limits_message_new(work, work_size);
  if (m == nullptr || res_host_process_limits_message_identity_alloc(m) != 0 ||
      (a->count > 0 && res_host_process_limits_message_limits_alloc(m, a->count) != 0)) {
    return LKS_BUILD_FULL;
  }
  char host_id[LKS_HOST_ID_SIZE];
  lks_identity_fill(m->identity_p, host_id);
  m->request_p = a->request;
  for (int i = 0; i < a->count; i++) {
    host_process_limits_t *e = &m->limits.items_p[i];
    e->name_p = a->limits[i].name;
    e->soft_limit_p = a->limits[i].soft;
    e->hard_limit_p = a->limits[i].hard;
    e->units_p = a->limits[i].units;
  }
  return lks_encode_result(res_host_process_limits_message_encode(m, encoded, encoded_size));
}

// Copies text[from, min(from + width, to)) trimmed into field.
void take_column(const char *line, size_t len, size_t from, size_t to, char *field, size_t size) {
  field[0] = '\0';
  if (from >= len) return;
  if (to > len) to = len;
  if (to <= from) return;
  std::string_view v(line + from, to - from);
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\n'))
    v.remove_suffix(1);
  if (v.size() >= size) v = v.substr(0, size - 1);
  vk_copy_field(field, size, v);
}

// A whole word of decimal digits, with an optional '-', as a number (this
// runs for every field of every process, hence no general parser): the
// value capped at INT64_MAX, 0 for a negative one (negative values of
// unsigned fields would be huge after conversion). False when the word is
// no number.
bool word_number(const char *p, const char *end, uint64_t *out) {
  bool negative = p < end && *p == '-';
  if (negative) p++;
  if (p == end) return false;
  uint64_t v = 0;
  for (; p < end; p++) {
    unsigned d = static_cast<unsigned>(*p - '0');
    if (d > 9) return false;
    v = v > (static_cast<uint64_t>(INT64_MAX) - d) / 10 ? static_cast<uint64_t>(INT64_MAX)
                                                        : v * 10 + d;
  }
  *out = negative ? 0 : v;
  return true;
}

}  // namespace

int lks_proc_parse_stat(const char *text, long hz, long page_size, uint64_t btime_sec,
                        lks_proc_t *rec) {
  const char *open = strchr(text, '(');
  const char *close = strrchr(text, ')');
  if (open == nullptr || close == nullptr || close < open) return -1;
  const char *end = nullptr;
  int64_t pid = lks_parse_i64(text, &end);
  if (end == text || pid <= 0 || pid > INT32_MAX) return -1;
  size_t comm_len = static_cast<size_t>(close - open - 1);
  if (comm_len >= LKS_PROC_COMM_SIZE) comm_len = LKS_PROC_COMM_SIZE - 1;
  memcpy(rec->comm, open + 1, comm_len);
  rec->comm[comm_len] = '\0';
  // Fields after the name, numbered as the kernel documents them (3 = state).
  // 24 must be there; 25 to 49 (up to the end of the argument area) are
  // taken when present.
  uint64_t field[50] = {};
  const char *p = close + 1;
  int n = 3;
  for (; n <= 49; n++) {
    while (*p == ' ') p++;
    if (*p == '\0' || *p == '\n') break;
    const char *word_end = p;
    while (*word_end != '\0' && *word_end != ' ' && *word_end != '\n') word_end++;
    // The state (3) is a letter; 25 to 47 are not used.
    if (n != 3 && (n <= 24 || n >= 48)) {
      uint64_t v = 0;
      if (!word_number(p, word_end, &v)) {
        if (n <= 24) return -1;
        break;
      }
      field[n] = v;
    }
    p = word_end;
  }
  if (n <= 24) return -1;
  rec->flags = field[9];
  rec->start_ticks = field[22];
  rec->arg_start = field[48];
  rec->arg_end = field[49];
  rec->ppid = static_cast<int32_t>(field[4] > INT32_MAX ? 0 : field[4]);
  rec->utime = field[14];
  rec->stime = field[15];
  rec->start_time = (hz > 0 ? field[22] / static_cast<uint64_t>(hz) : 0) + btime_sec;
  rec->vsize = field[23];
  uint64_t pages = field[24];
  rec->rss = page_size > 0 && pages <= UINT64_MAX / static_cast<uint64_t>(page_size)
                 ? pages * static_cast<uint64_t>(page_size)
                 : 0;
  return 0;
}

int64_t lks_read_btime(void) {
  char *text = nullptr;
  if (lks_read_file_all(&text, "/proc/stat") < 0) return -1;
  int64_t btime = 0;
  for (const char *line = text; line != nullptr && *line != '\0';) {
    if (strncmp(line, "btime ", 6) == 0 || strncmp(line, "Btime ", 6) == 0) {
      const char *end = nullptr;
      int64_t v = lks_parse_i64(line + 6, &end);
      if (end != line + 6 && v > 0) btime = v;
      break;
    }
    const char *next = strchr(line, '\n');
    line = next != nullptr ? next + 1 : nullptr;
  }
  free(text);
  return btime;
}

void lks_proc_set_btime(uint64_t btime_sec) {
  g_btime.store(btime_sec, std::memory_order_relaxed);
}

int get_process_infos(lks_proc_list_t *list) {
  if (list->map.hash_table == nullptr && map_init(&list->map, PROC_MAP_BUCKETS, 8) != 0) return -3;
  char path[LKS_PATH_SIZE];
  DIR *dir = lks_path(path, sizeof(path), "/proc") == 0 ? opendir(path) : nullptr;
  if (dir == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[get_process_infos] directory(/proc) open has failed.\n");
    return -2;
  }
  // Each process's files are opened relative to the listed directory:
  // "<pid>/stat" is one short walk, with no descriptor of its own for
  // the process's directory.
  int proc = dirfd(dir);
  if (strcmp(g_files.proc_path, path) != 0) {
    lks_process_files_close();
    vk_copy_field(g_files.proc_path, sizeof(g_files.proc_path), path);
    struct statfs fs;
    g_files.usable = fstatfs(proc, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC_VALUE;
  }
  g_files.scan++;
  scan_env env;
  env.hz = sysconf(_SC_CLK_TCK);
  env.page = sysconf(_SC_PAGESIZE);
  env.btime = g_btime.load(std::memory_order_relaxed);
  env.euid = geteuid();
  user_cache users;
  users.count = 0;
  int ret = 0;
  while (struct dirent *de = readdir(dir)) {
    if (de->d_name[0] < '0' || de->d_name[0] > '9') continue;
    const char *end = nullptr;
    uint64_t pid = lks_parse_u64(de->d_name, &end);
    if (*end != '\0' || pid == 0 || pid > INT32_MAX) continue;
    bool oom = false;
    lks_proc_t *rec = read_process(proc, static_cast<uint32_t>(pid), &env, &users, &oom);
    if (oom) {
      ret = -3;
      break;
    }
    if (rec == nullptr) continue;
    void *dup = nullptr;
    if (map_lookup(&list->map, rec, 8, &dup) == 1) {  // listed twice: keep the first
      free(rec);
      continue;
    }
    if (!list_append(list, rec)) {
      free(rec);
      ret = -3;
      break;
    }
  }
  closedir(dir);
  // Processes not met in this scan have exited: their files are closed.
  for (auto it = g_files.by_pid.begin(); it != g_files.by_pid.end();) {
    if (it->second.scan != g_files.scan) {
      close_kept(&it->second);
      it = g_files.by_pid.erase(it);
    } else {
      ++it;
    }
  }
  return ret;
}

void lks_process_files_close(void) {
  for (auto &entry : g_files.by_pid) close_kept(&entry.second);
  g_files.by_pid.clear();
  g_files.proc_path[0] = '\0';
  g_files.usable = false;
}

size_t lks_process_files_open(void) {
  return g_files.open_fds;
}

bool lks_process_files_held(uint32_t pid) {
  auto it = g_files.by_pid.find(pid);
  return it != g_files.by_pid.end() && it->second.fd[FILE_DIR] >= 0;
}

void lks_proc_list_clear(lks_proc_list_t *list) {
  map_destroy(&list->map);  // frees the records
  free(list->items);
  *list = lks_proc_list_t{};
}

void lks_proc_cpu_calc(const lks_proc_list_t *prev, lks_proc_list_t *cur, long hz) {
  cur->total_cpu = 0;
  double msec_per_tick = hz > 0 ? 1000 / hz : 10;
  if (msec_per_tick <= 0) msec_per_tick = 1;
  for (int i = 0; i < cur->count; i++) {
    lks_proc_t *c = cur->items[i];
    c->cpu_sys = c->cpu_user = c->cpu_total = 0;
    const lks_proc_t *p = prev != nullptr ? find_previous(prev, i, c) : nullptr;
    if (p == nullptr || (p->utime == c->utime && p->stime == c->stime)) continue;
    if (c->sample_msec <= p->sample_msec) continue;
    double elapsed = static_cast<double>(c->sample_msec - p->sample_msec) / msec_per_tick;
    if (elapsed <= 0) continue;
    // A pid reused by another process of the same user can show smaller
    // counters than the old one: no negative share.
    double du = c->utime > p->utime ? static_cast<double>(c->utime - p->utime) : 0;
    double ds = c->stime > p->stime ? static_cast<double>(c->stime - p->stime) : 0;
    c->cpu_sys = 100 * ds / elapsed;
    c->cpu_user = 100 * du / elapsed;
    c->cpu_total = c->cpu_sys + c->cpu_user;
    cur->total_cpu += c->cpu_total;
  }
}

int get_host_process_list(void) {
  lks_proc_list_t cur = {};
  int ret = get_process_infos(&cur);
  if (ret == -2) {
    VKLOG(g_vklog, VL_ERROR, "[get_process_list] get process info has failed.[ret:%d]\n", ret);
    lks_proc_list_clear(&cur);
    return -1;
  }
  if (ret != 0) {
    VKLOG(g_vklog, VL_ERROR, "[get_process_list] get process info has failed.[ret:%d]\n", ret);
    lks_proc_list_clear(&cur);
    return -2;
  }
  lks_proc_cpu_calc(g_have_prev ? &g_prev_list : nullptr, &cur, sysconf(_SC_CLK_TCK));
  size_t items = static_cast<size_t>(cur.count) + LKS_PROC_SPARE_ITEMS;
  size_t work_per = PROC_WORK_PER_ITEM;
  if (work_per < sizeof(host_process_info_t) + 16) work_per = sizeof(host_process_info_t) + 16;
  if (g_proc_buf.encoded_size < items * PROC_ENCODED_PER_ITEM) {
    VKLOG(g_vklog, VL_DEBUG,
          "[get_host_process_list] s_message_item_count < new process count + "
          "ADD_BUFFER_ITEM_COUNT (%u < %d + %d)\n",
          static_cast<unsigned>(g_proc_buf.encoded_size / PROC_ENCODED_PER_ITEM), cur.count,
          LKS_PROC_SPARE_ITEMS);
  }
  proc_report report = {&cur};
  int len = lks_msgbuf_build(&g_proc_buf, items * work_per, items * PROC_ENCODED_PER_ITEM,
                             build_process, &report);
  if (len < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_host_process] process_list_message_encode failed(%d). buffer size: %zu\n", len,
          g_proc_buf.encoded_size);
    ret = -6;
  } else {
    lks_send(LKS_CODE_PROCESS, g_proc_buf.encoded, static_cast<size_t>(len));
    VKLOG(g_vklog, VL_DEBUG, "[send_host_process] count:%d length:%d\n", cur.count, len);
    ret = 0;
  }
  lks_proc_list_clear(&g_prev_list);
  g_prev_list = cur;
  g_have_prev = true;
  VKLOG(g_vklog, VL_DEBUG, "[get_process_list] finish. [total util:%.3f]\n", cur.total_cpu);
  return ret;
}

void lks_process_reset(void) {
  lks_process_files_close();
  lks_proc_list_clear(&g_prev_list);
  g_have_prev = false;
  lks_msgbuf_clear(&g_proc_buf);
}

int lks_limits_parse(const char *text, lks_limit_t out[LKS_LIMIT_MAX]) {
  const char *nl = strchr(text, '\n');
  std::string_view head(text, nl != nullptr ? static_cast<size_t>(nl - text) : strlen(text));
  size_t soft = head.find("Soft Limit");
  if (soft == std::string_view::npos) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_process_limits] Not found 'Soft Limit'");
    return -3;
  }
  size_t hard = head.find("Hard Limit");
  if (hard == std::string_view::npos) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_process_limits] Not found 'Hard Limit'");
    return -4;
  }
  size_t units = head.find("Units");
  if (units == std::string_view::npos) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_process_limits] Not found 'Units'");
    return -5;
  }
  int count = 0;
  const char *line = nl != nullptr ? nl + 1 : nullptr;
  while (line != nullptr && *line != '\0' && count < LKS_LIMIT_MAX) {
    const char *next = strchr(line, '\n');
    size_t len = next != nullptr ? static_cast<size_t>(next - line) : strlen(line);
    lks_limit_t *l = &out[count];
    // Each column ends one character before the next one begins.
    take_column(line, len, 0, soft > 0 ? soft - 1 : 0, l->name, sizeof(l->name));
    take_column(line, len, soft, hard > 0 ? hard - 1 : 0, l->soft, sizeof(l->soft));
    take_column(line, len, hard, units > 0 ? units - 1 : 0, l->hard, sizeof(l->hard));
    take_column(line, len, units, len, l->units, sizeof(l->units));
    if (len > 0) {
      VKLOG(g_vklog, VL_DEBUG, "[get_host_process_limits] %s, soft(%s), hard(%s), unit(%s)\n",
            l->name, l->soft, l->hard, l->units);
      count++;
    }
    line = next != nullptr ? next + 1 : nullptr;
  }
  return count;
}

int get_host_process_limits(lks_limit_t out[LKS_LIMIT_MAX], int64_t pid) {
  char text[8192];
  if (pid <= 0 || lks_read_file(text, sizeof(text), "/proc/%lld/limits", (long long)pid) < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_process_limits] fopen() has failed. (filename: %s%lld)\n",
          "/proc/", (long long)pid);
    return -1;
  }
  return lks_limits_parse(text, out);
}

int lks_process_limits_request(const uint8_t *body, size_t length) {
  void *work = malloc(LIMITS_WORK_SIZE);
  req_host_process_limits_message_t *req =
      work != nullptr ? req_host_process_limits_message_new(work, LIMITS_WORK_SIZE) : nullptr;
  if (req == nullptr) {
    VKLOG(g_vklog, VL_ERROR,
          "[process_req_process_limits] req_host_process_limits_new() failed. (buffer size: %d)\n",
          static_cast<int>(LIMITS_WORK_SIZE));
    free(work);
    return -1;
  }
  if (length > INT32_MAX || req_host_process_limits_message_decode(req, body, length) < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[process_req_process_limits] req_host_process_limits_decode() failed. (buffer size: "
          "%d)\n",
          static_cast<int>(LIMITS_WORK_SIZE));
    free(work);
    return -1;
  }
  lks_limit_t limits[LKS_LIMIT_MAX];
  int count = get_host_process_limits(limits, req->pid);
  if (count < 0) count = 0;  // a process that does not exist: an empty list
  limits_answer answer = {req->request_p != nullptr ? req->request_p : "", limits, count};
  lks_msgbuf_t buf = {};
  int len = lks_msgbuf_build(&buf, LKS_MSG_START_SIZE, LKS_MSG_START_SIZE, build_limits, &answer);
  int ret = 0;
  if (len < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_res_host_process_limits] res_host_process_limits_message_encode(%d). buffer "
          "size: %zu\n",
          len, buf.encoded_size);
    ret = -2;
  } else {
    lks_send(LKS_CODE_PROCESS_LIMITS, buf.encoded, static_cast<size_t>(len));
    for (int i = 0; i < count; i++) {
      VKLOG(g_vklog, VL_DEBUG, "[send_res_host_process_limits] %s, %s, %s, %s\n", limits[i].name,
            limits[i].soft, limits[i].hard, limits[i].units);
    }
  }
  lks_msgbuf_clear(&buf);
  free(work);
  return ret;
}
