#include "os/linux/lks_linux_process.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string_view>

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

// <pid>/io below the /proc directory `proc`: read_bytes and write_bytes,
// when this process may read it (as root, or as the file's owner).
void read_io(int proc, const char *io_name, uid_t euid, lks_proc_t *rec) {
  char text[1024];
  struct stat st;
  if (lks_read_at(proc, io_name, text, sizeof(text), euid == 0 ? nullptr : &st) < 0) return;
  if (euid != 0 && euid != st.st_uid) return;
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

// Command line with NUL separators turned into blanks, trimmed, cut to the
// field (a long one, e.g. of a Java program, keeps its first 511
// characters). False when it is empty or unreadable (a kernel thread).
bool read_cmdline(int proc, const char *name, char out[LKS_PROC_CMDLINE_SIZE]) {
  char text[PROC_READ_SIZE + 1];
  long n = lks_read_at(proc, name, text, sizeof(text), nullptr);
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
  char text[PROC_READ_SIZE];
  struct stat st;
  memcpy(file, "stat", 5);
  // Gone since the listing, or an unreadable or empty stat file: left out.
  if (lks_read_at(proc, name, text, sizeof(text), &st) <= 0) return nullptr;
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
  memcpy(file, "cmdline", 8);
  if (!read_cmdline(proc, name, rec->cmdline)) {
    free(rec);
    return nullptr;
  }
  memcpy(file, "io", 3);
  read_io(proc, name, env->euid, rec);
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
  return ret;
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
