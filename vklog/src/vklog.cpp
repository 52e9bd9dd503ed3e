#include "vklog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <mutex>

#include "vklog_comm.h"
#include "vklog_config.h"
#include "vklog_internal.h"
#include "vklog_lock.h"
#include "vklog_packet.h"
#include "vklog_utils.h"

constinit vklog_manager_t g_vklog_manager{};
vklog_t *g_vklog = nullptr;
vklog_t *g_vklog_console_debug = nullptr;

namespace {

// What identifies the configuration file's version at the last load. The
// manager keeps whole seconds only; two edits within one second (or an edit
// racing the load) would be missed, so the nanoseconds, size and inode are
// compared as well.
struct reload_stamp {
  bool valid;
  struct timespec mtime;
  off_t size;
  ino_t ino;
  dev_t dev;
};

reload_stamp g_reload_stamp;

bool same_stamp(const reload_stamp &a, const struct stat &st) {
  return a.valid && a.mtime.tv_sec == st.st_mtim.tv_sec && a.mtime.tv_nsec == st.st_mtim.tv_nsec &&
         a.size == st.st_size && a.ino == st.st_ino && a.dev == st.st_dev;
}

void set_stamp(const struct stat &st) {
  g_reload_stamp.valid = true;
  g_reload_stamp.mtime = st.st_mtim;
  g_reload_stamp.size = st.st_size;
  g_reload_stamp.ino = st.st_ino;
  g_reload_stamp.dev = st.st_dev;
  g_vklog_manager.config_file_last_modify_time = st.st_mtim.tv_sec;
}

// The log file's size is measured (one fstat, a system call) only after
// this many bytes went through a registered handle since the last
// measurement, and on the first line after the category is set up or
// reconfigured. A file is therefore rotated at most this far past its
// limit, which is at least 1 MiB.
constexpr uint32_t kSizeCheckBytes = 64 * 1024;
std::atomic<uint32_t> g_unmeasured[VKLOG_CATEGORY_MAX];

std::atomic<uint32_t> *unmeasured_of(const vklog_t *h) {
  uintptr_t p = reinterpret_cast<uintptr_t>(h);
  uintptr_t first = reinterpret_cast<uintptr_t>(&g_vklog_manager.log[0]);
  if (p < first || p >= first + sizeof(g_vklog_manager.log)) return nullptr;
  return &g_unmeasured[(p - first) / sizeof(vklog_t)];
}

void measure_next_line(const vklog_t *h) {
  std::atomic<uint32_t> *u = unmeasured_of(h);
  if (u != nullptr) u->store(kSizeCheckBytes, std::memory_order_relaxed);
}

constexpr const char *kDeactivateEnv = "LKS_DAEMON_VKLOG_DEACTIVATE";

// A category is active unless the environment says exactly "true".
int activation_from_env() {
  const char *v = getenv(kDeactivateEnv);
  return (v != nullptr && strcmp(v, "true") == 0) ? 0 : 1;
}

void store_level(vklog_t *h, const vklog_level_t &lv) {
  h->level.store(lv, std::memory_order_relaxed);
}

void output_file_reset(vklog_output_file_t *of) {
  of->err_no.store(0, std::memory_order_relaxed);
  of->backup_idx = 0;
  of->backup_work.store(0, std::memory_order_relaxed);
  vl_lock_init(&of->fd_lock);
}

// Sets every field of a handle slot to its start value (zero, no socket)
// and initialises its locks. REQUIRES: no other thread uses the slot.
void handle_reset(vklog_t *h) {
  store_level(h, vklog_level_t{0, 0});
  h->config = nullptr;
  h->config_temp = nullptr;
  vl_lock_init(&h->config_lock);
  output_file_reset(&h->output_file);
  output_file_reset(&h->output_std);
  memset(&h->output_vklogger, 0, sizeof(h->output_vklogger));
  h->output_vklogger.sock = -1;
  h->last_error.store(0, std::memory_order_relaxed);
  h->activate.store(0, std::memory_order_relaxed);
}

// Under g_file_backup_lock, backup_work 1 means that a rotation failed (a
// running one holds the lock throughout) and switched the category off.
// Clears it so that the next measured line over the limit tries the
// rotation afresh; a second failure switches the category off again, with
// its message. REQUIRES: g_file_backup_lock held.
void rearm_rotation(vklog_t *h) {
  h->output_file.backup_work.store(0, std::memory_order_relaxed);
  h->output_file.backup_idx = 0;
  measure_next_line(h);
}

// Sets the category's activation by the environment rule. A category that
// comes on again after a failed rotation also gets its rotation back, so it
// never writes on past its size limit.
void set_activation(vklog_t *h) {
  vl_lock_guard g(&g_file_backup_lock);
  int on = activation_from_env();
  if (on && h->output_file.backup_work.load(std::memory_order_relaxed)) rearm_rotation(h);
  h->activate.store(on, std::memory_order_relaxed);
}

// The static handle returned for a null category name: everything to
// standard output with time and level.
vklog_t *default_stdout_handle() {
  static vklog_config_t config;
  static vklog_t handle;
  static std::once_flag once;
  std::call_once(once, [] {
    vl_config_fill_preset(&config, VKLOG_CFG_PRESET_DEFAULT_STDOUT);
    config.level.value = VL_TRACE;
    config.level.inequality_sign = '<';
    config.header_flag = VKLOG_HEADER_TIME | VKLOG_HEADER_LEVEL;
    config.include_us_to_time = 0;
    vl_load_config_finish(&config);
    handle_reset(&handle);
    handle.config = &config;
    store_level(&handle, config.level);
    vl_lock_init(&handle.output_vklogger.lock);
    handle.activate.store(1, std::memory_order_relaxed);
  });
  return &handle;
}

// The registered category named `name`, or null. No activation change.
vklog_t *find_category(const char *name, size_t name_len) {
  unsigned int n = g_vklog_manager.count.load(std::memory_order_acquire);
  for (unsigned int i = 0; i < n && i < VKLOG_CATEGORY_MAX; i++) {
    vklog_t *h = &g_vklog_manager.log[i];
    vl_lock_guard g(&h->config_lock);
    if (h->config != nullptr && h->config->name_len == name_len &&
        memcmp(h->config->name, name, name_len) == 0)
      return h;
  }
  return nullptr;
}

// Local time of `sec`, cached per thread for the current second.
const struct tm &local_time(time_t sec) {
  thread_local time_t cached_sec = -1;
  thread_local struct tm cached_tm;
  if (sec != cached_sec) {
    localtime_r(&sec, &cached_tm);
    cached_sec = sec;
  }
  return cached_tm;
}

// Appends one formatted header field; false when it does not fit.
bool put_field(char *buffer, size_t size, size_t *len, int *rc, int fail_code, const char *fmt, ...)
    __attribute__((format(printf, 6, 7)));

bool put_field(char *buffer, size_t size, size_t *len, int *rc, int fail_code, const char *fmt,
               ...) {
  size_t left = size - *len;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buffer + *len, left, fmt, ap);
  va_end(ap);
  if (n < 0) {
    buffer[*len] = '\0';
    *rc = fail_code;
    return false;
  }
  if (static_cast<size_t>(n) >= left) {
    buffer[*len] = '\0';
    *rc = -1;
    return false;
  }
  *len += static_cast<size_t>(n);
  return true;
}

// Appends `n` bytes and a terminator; false (nothing written) when they do
// not fit.
bool put_text(char *buffer, size_t size, size_t *len, const char *text, size_t n) {
  if (n >= size - *len) {
    buffer[*len] = '\0';
    return false;
  }
  memcpy(buffer + *len, text, n);
  *len += n;
  buffer[*len] = '\0';
  return true;
}

size_t put_2digits(char *t, size_t n, int v) {
  t[n] = static_cast<char>('0' + (v / 10) % 10);
  t[n + 1] = static_cast<char>('0' + v % 10);
  return n + 2;
}

void write_stdout(const char *data, size_t length) {
  fwrite(data, 1, length, stdout);
  fflush(stdout);
}

}  // namespace

vklog_config_t *vl_get_config(vklog_t *handle, uint8_t *output) {
  vl_lock_guard g(&handle->config_lock);
  vklog_config_t *c = handle->config;
  if (c != nullptr) c->count_in_use++;
  if (output != nullptr) *output = c != nullptr ? c->output : 0;
  return c;
}

void vl_release_config(vklog_t *handle, vklog_config_t *config) {
  bool free_it = false;
  {
    vl_lock_guard g(&handle->config_lock);
    config->count_in_use--;
    if (config->count_in_use <= 0 && config != handle->config) {
      free_it = true;
      if (handle->config_temp == config) handle->config_temp = nullptr;
    }
  }
  if (free_it) vklog_config_free(config);
}

int vl_set_header(int level, unsigned int header_flag, char include_us_to_time, const char *file,
                  size_t file_len, const char *func, size_t func_len, long line, char *buffer,
                  size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  buffer[0] = '\0';
  size_t len = 0;
  int rc = 0;
  if (file == nullptr) file_len = 0;
  if (func == nullptr) func_len = 0;
  int fl = static_cast<int>(file != nullptr ? strnlen(file, file_len) : 0);
  int gl = static_cast<int>(func != nullptr ? strnlen(func, func_len) : 0);
  const char *fs = file != nullptr ? file : "";
  const char *gs = func != nullptr ? func : "";

  if (header_flag & VKLOG_HEADER_TIME) {
    // Formatted by hand: this field is on nearly every line.
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const struct tm &tm = local_time(ts.tv_sec);
    char t[24];
    size_t n = 0;
    t[n++] = '[';
    n = put_2digits(t, n, tm.tm_mday);
    t[n++] = ' ';
    n = put_2digits(t, n, tm.tm_hour);
    t[n++] = ':';
    n = put_2digits(t, n, tm.tm_min);
    t[n++] = ':';
    n = put_2digits(t, n, tm.tm_sec);
    if (include_us_to_time) {
      long us = ts.tv_nsec <= 1000 ? 0 : ts.tv_nsec > 1000000000L ? 999999 : ts.tv_nsec / 1000;
      t[n++] = '.';
      for (int i = 5; i >= 0; i--, us /= 10)
        t[n + static_cast<size_t>(i)] = static_cast<char>('0' + us % 10);
      n += 6;
    }
    t[n++] = ']';
    if (!put_text(buffer, size, &len, t, n)) return -1;
  }
  bool pid = header_flag & VKLOG_HEADER_PID;
  bool tid = header_flag & VKLOG_HEADER_THREAD_ID;
  unsigned long self = static_cast<unsigned long>(pthread_self());
  if (pid && tid) {
    if (!put_field(buffer, size, &len, &rc, -3, "[%d:%lx]", static_cast<int>(vl_getpid()), self))
      return rc;
  } else if (pid) {
    char t[16];
    t[0] = '[';
    auto r = std::to_chars(t + 1, t + sizeof(t) - 1, static_cast<int>(vl_getpid()));
    if (r.ec != std::errc()) return -4;
    *r.ptr = ']';
    if (!put_text(buffer, size, &len, t, static_cast<size_t>(r.ptr + 1 - t))) return -1;
  } else if (tid) {
    if (!put_field(buffer, size, &len, &rc, -5, "[%lx]", self)) return rc;
  }
  if (header_flag & VKLOG_HEADER_LEVEL) {
    // Levels outside 0..7 (also negative ones) print "null" instead of
    // indexing past the table.
    const char *code = level >= 0 && level <= 7 ? g_vklog_level_str[level] : "null";
    char t[sizeof(g_vklog_level_str[0]) + 2];
    size_t n = strnlen(code, sizeof(g_vklog_level_str[0]));
    t[0] = '[';
    memcpy(t + 1, code, n);
    t[n + 1] = ']';
    if (!put_text(buffer, size, &len, t, n + 2)) return -1;
  }
  bool f = header_flag & VKLOG_HEADER_FILE;
  bool g = header_flag & VKLOG_HEADER_FUNCTION;
  bool l = header_flag & VKLOG_HEADER_LINE;
  bool ok = true;
  if (f && g && l) {
    ok = put_field(buffer, size, &len, &rc, -6, "[%.*s:%.*s:%ld]", fl, fs, gl, gs, line);
  } else if (f && g) {
    ok = put_field(buffer, size, &len, &rc, -7, "[%.*s:%.*s]", fl, fs, gl, gs);
  } else if (f && l) {
    ok = put_field(buffer, size, &len, &rc, -8, "[%.*s:%ld]", fl, fs, line);
  } else if (g && l) {
    ok = put_field(buffer, size, &len, &rc, -9, "[%.*s:%ld]", gl, gs, line);
  } else if (f) {
    ok = put_field(buffer, size, &len, &rc, -10, "[%.*s]", fl, fs);
  } else if (g) {
    ok = put_field(buffer, size, &len, &rc, -11, "[%.*s]", gl, gs);
  } else if (l) {
    ok = put_field(buffer, size, &len, &rc, -12, "[%ld]", line);
  }
  if (!ok) return rc;
  return static_cast<int>(len);
}

namespace {

// Moves `from` to the new file `to` on another file system, where rename
// cannot: copies the bytes, then removes `from`. Lines that other threads
// append while the copy runs are copied too (it reads to the end). A
// partial copy is removed. 0, or -1 with errno of the failed step.
int move_by_copy(const char *from, const char *to) {
  int in = open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  struct stat st;
  int out = -1;
  if (fstat(in, &st) == 0) out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  int e = out < 0 ? errno : 0;
  if (out >= 0 && fchmod(out, st.st_mode & 0777) != 0) e = errno;
  char buf[32 * 1024];
  while (e == 0) {
    ssize_t n = read(in, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) e = errno;
      break;
    }
    for (ssize_t done = 0; e == 0 && done < n;) {
      ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        e = w < 0 ? errno : EIO;
      } else {
        done += w;
      }
    }
  }
  close(in);
  if (out >= 0 && close(out) != 0 && e == 0) e = errno;
  if (e == 0 && unlink(from) != 0) e = errno;
  if (e != 0) {
    if (out >= 0) unlink(to);
    errno = e;
    return -1;
  }
  return 0;
}

}  // namespace

int vl_file_backup(const vklog_config_t *config, unsigned int *backup_idx) {
  if (config->backup_count == 0) {
    if (unlink(config->out_path) != 0 && errno != ENOENT) return -1;
    return 0;
  }
  if (*backup_idx == 0) {
    int last = vl_get_last_backup_index(config->backup_path);
    *backup_idx = last > 0 ? static_cast<unsigned int>(last) : 0;
  }
  unsigned int next = *backup_idx + 1;
  if (next > config->backup_count || next == 0) next = 1;
  char name[VKLOG_PATH_SIZE + 16];
  snprintf(name, sizeof(name), "%s.%u", config->backup_path, next);
  if (unlink(name) != 0 && errno != ENOENT) return -2;
  // A backup directory on another file system cannot take a rename.
  if (rename(config->out_path, name) != 0 &&
      (errno != EXDEV || move_by_copy(config->out_path, name) != 0))
    return -3;
  *backup_idx = next;
  return 0;
}

namespace {

// Rotates the category's file if it is still over the limit. Result codes
// as vl_va_log_file_writer. A failed rotation switches the category off
// here, under the lock, so that applying a configuration (which re-arms it
// under the same lock) cannot be undone by a late switch-off.
int rotate(vklog_t *handle, const vklog_config_t *config) {
  vl_lock_guard g(&g_file_backup_lock);
  vklog_output_file_t *of = &handle->output_file;
  if (of->backup_work.load(std::memory_order_relaxed)) return 0;
  // Another thread may have rotated since this one measured the file; the
  // fresh file must not be rotated again.
  struct stat st;
  if (stat(config->out_path, &st) != 0 ||
      (static_cast<unsigned long long>(st.st_size) >> 20) < config->limit_size)
    return 0;
  of->backup_work.store(1, std::memory_order_relaxed);
  if (config->backup_dir[0] != '\0' && mkdir(config->backup_dir, 0750) != 0 && errno != EEXIST) {
    int e = errno;
    if (of->err_no.exchange(e, std::memory_order_relaxed) != e)
      fprintf(stderr, "backup dir[%s] is not make.[(%d)%s]\n", config->backup_dir, e, strerror(e));
    of->backup_work.store(0, std::memory_order_relaxed);
    return -2;
  }
  if (vl_file_backup(config, &of->backup_idx) != 0) {
    int e = errno;
    of->err_no.store(e, std::memory_order_relaxed);
    // backup_work stays 1: no rotation is tried until a configuration is
    // applied again. Said once: the category writes nothing meanwhile.
    handle->activate.store(0, std::memory_order_relaxed);
    fprintf(stderr,
            "log file[%s] is not rotated to [%s].[(%d)%s] category[%s] is off until its "
            "configuration is reloaded.\n",
            config->out_path, config->backup_path, e, strerror(e), config->name);
    return -3;
  }
  of->backup_work.store(0, std::memory_order_relaxed);
  return 0;
}

// Reports a missing output directory that cannot be made, once per run of
// the same error. -1 for the writer.
int out_dir_failed(vklog_output_file_t *of, const vklog_config_t *config, int e) {
  if (of->err_no.exchange(e, std::memory_order_relaxed) != e)
    fprintf(stderr, "out dir[%s] is not make.[(%d)%s]\n", config->out_dir, e, strerror(e));
  return -1;
}

}  // namespace

int vl_va_log_file_writer(vklog_t *handle, const vklog_config_t *config, const char *data,
                          size_t length) {
  vklog_output_file_t *of = &handle->output_file;
  // O_NOFOLLOW: a link planted where the log file goes must not turn log
  // lines into writes to another file (the agents run as root).
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  int fd = open(config->out_path, flags, config->file_permission);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR) && config->out_dir[0] != '\0') {
    // The output directory is made (one level) only when it is missing,
    // which an open failing with ENOENT tells without a stat per line.
    // ENOTDIR: a file stands where the directory or one of its parents
    // should be; mkdir reports it, or the second open does when the
    // directory's own name is taken by a file.
    if (mkdir(config->out_dir, 0750) != 0 && errno != EEXIST)
      return out_dir_failed(of, config, errno);
    fd = open(config->out_path, flags, config->file_permission);
    if (fd < 0 && errno == ENOTDIR) return out_dir_failed(of, config, ENOTDIR);
  }
  if (fd < 0) {
    of->err_no.store(errno, std::memory_order_relaxed);
    return -4;
  }
  if (of->err_no.load(std::memory_order_relaxed) != 0)
    of->err_no.store(0, std::memory_order_relaxed);
  size_t done = 0;
  bool failed = false;
  while (done < length) {
    ssize_t n = write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = true;
      of->err_no.store(errno, std::memory_order_relaxed);
      break;
    }
    done += static_cast<size_t>(n);
  }
  bool measure = true;
  std::atomic<uint32_t> *unmeasured = unmeasured_of(handle);
  if (unmeasured != nullptr) {
    uint32_t n = unmeasured->fetch_add(static_cast<uint32_t>(length), std::memory_order_relaxed);
    measure = n + length >= kSizeCheckBytes;
    if (measure) unmeasured->store(0, std::memory_order_relaxed);
  }
  struct stat st;
  bool have_size = measure && !failed && fstat(fd, &st) == 0;
  close(fd);
  if (failed) return -5;
  if (!have_size || of->backup_work.load(std::memory_order_relaxed)) {
    // A measurement that could not be acted on (another thread was
    // rotating, or fstat failed) is owed to the next line; dropping it would
    // let the file run another 64 KiB past its limit each time.
    if (measure && unmeasured != nullptr)
      unmeasured->fetch_add(kSizeCheckBytes, std::memory_order_relaxed);
    return 0;
  }
  if ((static_cast<unsigned long long>(st.st_size) >> 20) < config->limit_size) return 0;
  return rotate(handle, config);
}

namespace {

// Writes one finished line to the outputs of `config`, in the order remote,
// file, standard output. `buffer` holds the datagram prefix (`prefix` bytes,
// 0 without remote output) followed by the line of `length` bytes.
void write_line(vklog_t *handle, vklog_config_t *config, uint8_t output, char *buffer,
                size_t prefix, size_t length) {
  const char *text = buffer + prefix;
  if (output & VKLOG_OUTPUT_VKLOGGER) {
    size_t total = vl_vklogger_set_packet_finish_from_config(config, buffer, length, prefix);
    int rc = vl_va_log_send_to_vklogger(&handle->output_vklogger, buffer, total);
    if (rc == -2 || rc == -3) {
      // No socket or no address: stop trying until the category is
      // reconfigured.
      vl_lock_guard g(&handle->config_lock);
      config->output = static_cast<uint8_t>(config->output & ~VKLOG_OUTPUT_VKLOGGER);
    }
  }
  if (output & VKLOG_OUTPUT_FILE) {
    // A failed rotation (-3) has switched the category off already.
    int rc = vl_va_log_file_writer(handle, config, text, length);
    if (rc != 0) handle->last_error.store(rc, std::memory_order_relaxed);
  }
  if (output & VKLOG_OUTPUT_STDOUT) write_stdout(text, length);
}

}  // namespace

int vklog(vklog_t *handle, const char *file, size_t file_len, const char *func, size_t func_len,
          long line, int level, const char *format, ...) {
  if (handle == nullptr) return -1;
  if (!handle->activate.load(std::memory_order_relaxed)) return 0;
  uint8_t output = 0;
  vklog_config_t *config = vl_get_config(handle, &output);
  if (config == nullptr) return -2;
  char buffer[VKLOG_LINE_BUFFER_SIZE];
  size_t prefix = 0;
  if (output & VKLOG_OUTPUT_VKLOGGER) prefix = vl_vklogger_set_packet_from_config(config, buffer);
  char *text = buffer + prefix;
  size_t size = sizeof(buffer) - prefix;
  int hl = vl_set_header(level, config->header_flag, config->include_us_to_time, file, file_len,
                         func, func_len, line, text, size);
  if (hl < 0) {
    vl_release_config(handle, config);
    return -1;
  }
  size_t length = static_cast<size_t>(hl);
  if (format != nullptr) {
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text + length, size - length, format, ap);
    va_end(ap);
    // A message too long for the buffer is cut; vsnprintf left it
    // terminated at the last byte.
    if (n > 0)
      length += static_cast<size_t>(n) < size - length ? static_cast<size_t>(n) : size - length - 1;
  }
  write_line(handle, config, output, buffer, prefix, length);
  vl_release_config(handle, config);
  return 0;
}

namespace {

constexpr const char kHexStart[] =
    "\n======================== start hexlog ========================\n";
constexpr const char kHexEnd[] =
    "========================= end hexlog =========================\n\n";
// Widest row accepted: 20 + 4 * 256 bytes fit the 4096-byte buffer.
constexpr int kHexMaxColumns = 256;

// The hex dump buffer and where its contents go.
struct hex_out {
  char buf[VKLOG_HEX_BUFFER_SIZE];
  size_t len;
  vklog_t *handle;
  const vklog_config_t *config;
  uint8_t output;
  int file_rc;
};

void hex_flush(hex_out *h) {
  if (h->len == 0) return;
  if ((h->output & VKLOG_OUTPUT_FILE) && h->file_rc != -3) {
    int rc = vl_va_log_file_writer(h->handle, h->config, h->buf, h->len);
    if (rc != 0) h->file_rc = rc;
  }
  if (h->output & VKLOG_OUTPUT_STDOUT) write_stdout(h->buf, h->len);
  h->len = 0;
}

// Appends bytes, flushing first when they would not fit; text longer than
// the buffer goes out in pieces.
void hex_put(hex_out *h, const char *s, size_t n) {
  if (h->len + n > sizeof(h->buf)) hex_flush(h);
  while (n > sizeof(h->buf)) {
    memcpy(h->buf, s, sizeof(h->buf));
    h->len = sizeof(h->buf);
    hex_flush(h);
    s += sizeof(h->buf);
    n -= sizeof(h->buf);
  }
  memcpy(h->buf + h->len, s, n);
  h->len += n;
}

// One row of the dump: address, hex bytes, padding, characters.
size_t hex_row(char *row, const unsigned char *p, size_t n, int columns) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  size_t len = static_cast<size_t>(
      snprintf(row, 20, "%016lx:", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p))));
  for (size_t i = 0; i < static_cast<size_t>(columns); i++) {
    row[len++] = ' ';
    row[len++] = i < n ? kDigits[p[i] >> 4] : ' ';
    row[len++] = i < n ? kDigits[p[i] & 15] : ' ';
  }
  row[len++] = ' ';
  row[len++] = ' ';
  for (size_t i = 0; i < n; i++)
    row[len++] = p[i] >= 0x20 && p[i] < 0x7f ? static_cast<char>(p[i]) : '.';
  row[len++] = '\n';
  return len;
}

}  // namespace

int vklog_hex(vklog_t *handle, const char *file, size_t file_len, const char *func, size_t func_len,
              long line, int level, int hex_print_column_count, const void *data,
              size_t data_length, const char *format, ...) {
  if (handle == nullptr) return -1;
  if (!handle->activate.load(std::memory_order_relaxed)) return 0;
  uint8_t output = 0;
  vklog_config_t *config = vl_get_config(handle, &output);
  if (config == nullptr) return -2;
  hex_out h;
  h.len = 0;
  h.handle = handle;
  h.config = config;
  h.output = output & (VKLOG_OUTPUT_FILE | VKLOG_OUTPUT_STDOUT);
  h.file_rc = 0;
  int hl = vl_set_header(level, config->header_flag, config->include_us_to_time, file, file_len,
                         func, func_len, line, h.buf, sizeof(h.buf));
  if (hl < 0) {
    vl_release_config(handle, config);
    return -1;
  }
  h.len = static_cast<size_t>(hl);
  hex_put(&h, kHexStart, sizeof(kHexStart) - 1);
  char title[VKLOG_HEX_BUFFER_SIZE];
  int tn = 0;
  if (format != nullptr) {
    va_list ap;
    va_start(ap, format);
    tn = vsnprintf(title, sizeof(title), format, ap);
    va_end(ap);
  }
  size_t title_len = tn <= 0                                   ? 0
                     : static_cast<size_t>(tn) < sizeof(title) ? static_cast<size_t>(tn)
                                                               : sizeof(title) - 1;
  if (data == nullptr) data_length = 0;
  hex_put(&h, "Title: ", 7);
  hex_put(&h, title, title_len);
  char line_buf[64];
  int ln = snprintf(line_buf, sizeof(line_buf), ", %lu byte (0x%lx)\n",
                    static_cast<unsigned long>(data_length),
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(data)));
  hex_put(&h, line_buf, static_cast<size_t>(ln));
  int columns = hex_print_column_count < 1 ? 8 : hex_print_column_count;
  if (columns > kHexMaxColumns) columns = kHexMaxColumns;
  char row[20 + 4 * kHexMaxColumns + 8];
  const unsigned char *p = static_cast<const unsigned char *>(data);
  for (size_t off = 0; off < data_length; off += static_cast<size_t>(columns)) {
    size_t n = data_length - off < static_cast<size_t>(columns) ? data_length - off
                                                                : static_cast<size_t>(columns);
    hex_put(&h, row, hex_row(row, p + off, n, columns));
  }
  hex_put(&h, kHexEnd, sizeof(kHexEnd) - 1);
  hex_flush(&h);
  if (h.file_rc != 0) handle->last_error.store(h.file_rc, std::memory_order_relaxed);
  vl_release_config(handle, config);
  return 0;
}

int vl_apply_config(vklog_manager_t *manager, vklog_config_t *config, int *err_no) {
  vklog_t *h = find_category(config->name, config->name_len);
  if (h != nullptr) {
    // Only this thread replaces configurations, so the current one stays
    // valid here without a pin.
    vklog_config_t *old = h->config;
    if (vl_apply_config_to_vklogger(&h->output_vklogger, old, config) != 0) *err_no = -4;
    bool ring_changed = old->backup_count != config->backup_count ||
                        strcmp(old->backup_path, config->backup_path) != 0;
    if (old->backup_count != config->backup_count)
      vl_cleanup_backup_file(config->backup_path, config->backup_count);
    {
      vl_lock_guard g(&g_file_backup_lock);
      // The ring position is looked up again from the files.
      if (ring_changed) h->output_file.backup_idx = 0;
      // A category that a failed rotation switched off gets another try
      // with its new configuration.
      if (h->output_file.backup_work.load(std::memory_order_relaxed)) {
        rearm_rotation(h);
        h->activate.store(activation_from_env(), std::memory_order_relaxed);
      }
    }
    bool free_old = false;
    {
      vl_lock_guard g(&h->config_lock);
      h->config = config;
      if (old->count_in_use <= 0) {
        free_old = true;
      } else {
        h->config_temp = old;  // freed by its last user
      }
      store_level(h, config->level);
    }
    if (free_old) vklog_config_free(old);
    measure_next_line(h);
    return 0;
  }
  unsigned int n = manager->count.load(std::memory_order_relaxed);
  if (n >= VKLOG_CATEGORY_MAX) {
    *err_no = -2;
    vklog_config_free(config);
    return -2;
  }
  h = &manager->log[n];
  handle_reset(h);
  h->config = config;
  store_level(h, config->level);
  h->activate.store(activation_from_env(), std::memory_order_relaxed);
  if (vl_output_vklogger_init_from_config(&h->output_vklogger, config) != 0) *err_no = -4;
  measure_next_line(h);
  manager->count.store(n + 1, std::memory_order_release);
  return 0;
}

int vklog_apply_config(vklog_config_t *config, int *err_no) {
  int dummy = 0;
  if (err_no == nullptr) err_no = &dummy;
  *err_no = 0;
  if (config == nullptr) {
    *err_no = -1;
    return -2;
  }
  if (config->name[0] == '\0') {
    *err_no = -1;
    vklog_config_free(config);
    return -2;
  }
  config->name_len = static_cast<unsigned int>(strnlen(config->name, sizeof(config->name) - 1));
  config->name[config->name_len] = '\0';
  if (vl_load_config_finish(config) != 0) {
    *err_no = -3;
    vklog_config_free(config);
    return -2;
  }
  config->count_in_use = 0;
  config->next = nullptr;
  return vl_apply_config(&g_vklog_manager, config, err_no);
}

int vklog_initialize_with_config(vklog_config_t *config, int *err_no) {
  return vklog_apply_config(config, err_no);
}

int vklog_initialize_with_default_config(const char *conf_name, int *err_no) {
  int dummy = 0;
  if (err_no == nullptr) err_no = &dummy;
  *err_no = 0;
  if (conf_name == nullptr) return -1;
  vklog_config_t *c = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT);
  if (c == nullptr) return -2;
  if (vl_set_config(c, VKLOG_CFG_TYPE_NAME, strlen(conf_name), conf_name) != 0) {
    vklog_config_free(c);
    return -1;
  }
  return vklog_apply_config(c, err_no);
}

namespace {

// Applies every section of a loaded list in order; the last apply error
// goes to *err_no.
void apply_list(vklog_config_t *list, int *err_no) {
  while (list != nullptr) {
    vklog_config_t *next = list->next;
    list->next = nullptr;
    int e = 0;
    vl_apply_config(&g_vklog_manager, list, &e);
    if (e != 0) *err_no = e;
    list = next;
  }
}

}  // namespace

int vklog_initialize_with_config_file(const char *path, int *err_no) {
  int dummy = 0;
  if (err_no == nullptr) err_no = &dummy;
  *err_no = 0;
  if (path == nullptr || path[0] == '\0') {
    *err_no = EINVAL;
    return VKLOG_LOAD_OPEN_FAILED;
  }
  vklog_set_config_path(path);
  g_vklog_manager.reload_use_flag = 1;
  // The version is taken before loading so that an edit made during the
  // load is seen by the next reload.
  struct stat st;
  bool have_stat = stat(path, &st) == 0;
  int code = 0;
  vklog_config_t *list = vl_load_config_from_conf_file(path, &code, err_no);
  if (list == nullptr) return code;
  apply_list(list, err_no);
  if (have_stat && strcmp(path, g_vklog_manager.config_filepath) == 0) set_stamp(st);
  return 0;
}

int vklog_reload(int *err_no) {
  int dummy = 0;
  if (err_no == nullptr) err_no = &dummy;
  *err_no = 0;
  if (!g_vklog_manager.reload_use_flag || g_vklog_manager.config_filepath[0] == '\0') return 0;
  struct stat st;
  if (stat(g_vklog_manager.config_filepath, &st) != 0) {
    *err_no = errno;
    return VKLOG_LOAD_OPEN_FAILED;
  }
  if (same_stamp(g_reload_stamp, st)) return 0;
  // Recorded first: a file that fails to load is not parsed again until it
  // changes.
  set_stamp(st);
  int code = 0;
  vklog_config_t *list =
      vl_load_config_from_conf_file(g_vklog_manager.config_filepath, &code, err_no);
  if (list == nullptr) return code;
  apply_list(list, err_no);
  return 0;
}

vklog_t *vklog_get_category(const char *cname) {
  if (cname == nullptr) return default_stdout_handle();
  vklog_t *h = find_category(cname, strnlen(cname, VKLOG_NAME_SIZE));
  if (h != nullptr) set_activation(h);
  return h;
}

int vklog_set_global_log_handle(vklog_t *h) {
  if (h == nullptr) return -1;
  if (g_vklog != nullptr) return -2;
  g_vklog = h;
  return 0;
}

int vklog_set_global_log_console_debug_handle(vklog_t *h) {
  if (h == nullptr) return -1;
  if (g_vklog_console_debug != nullptr) return -2;
  g_vklog_console_debug = h;
  return 0;
}

int vklog_enable(vklog_t *h) {
  if (h == nullptr) return -1;
  set_activation(h);
  return 0;
}

int vklog_disable(vklog_t *h) {
  if (h == nullptr) return -1;
  h->activate.store(0, std::memory_order_relaxed);
  return 0;
}

int vklog_enable_from_config_name(const char *name) {
  if (name == nullptr) return -1;
  return vklog_enable(find_category(name, strnlen(name, VKLOG_NAME_SIZE)));
}

int vklog_disable_from_config_name(const char *name) {
  if (name == nullptr) return -1;
  return vklog_disable(find_category(name, strnlen(name, VKLOG_NAME_SIZE)));
}

vklog_config_t *vklog_config_clone_from_vklog(vklog_t *h) {
  if (h == nullptr) return nullptr;
  // Under the lock: the current configuration cannot be replaced and freed,
  // and its output bits cannot change, while it is copied.
  vl_lock_guard g(&h->config_lock);
  return vklog_config_clone_from_config(h->config);
}

vklog_config_t *vklog_config_clone_from_global_log(void) {
  return vklog_config_clone_from_vklog(g_vklog);
}

vklog_config_t *vklog_config_clone_from_category(const char *name) {
  if (name == nullptr) return nullptr;
  return vklog_config_clone_from_vklog(find_category(name, strnlen(name, VKLOG_NAME_SIZE)));
}

int vklog_set_config_path(const char *path) {
  if (path == nullptr || path[0] == '\0') return -2;
  if (g_vklog_manager.config_filepath[0] != '\0') return -1;
  size_t n = strnlen(path, VKLOG_PATH_SIZE);
  if (n >= VKLOG_PATH_SIZE) return -3;
  memcpy(g_vklog_manager.config_filepath, path, n + 1);
  return 0;
}

void vklog_set_reload_disable(void) {
  g_vklog_manager.reload_use_flag = 0;
}

int vklog_cleanup_backup_file(vklog_t *h) {
  if (h == nullptr) return -1;
  vklog_config_t *c = vl_get_config(h, nullptr);
  if (c == nullptr) return -2;
  int rc = vl_cleanup_backup_file(c->backup_path, c->backup_count);
  vl_release_config(h, c);
  return rc;
}

int vklog_get_vklogger_perf_sent(vklog_t *h, vklog_vklogger_perf_data_t *out) {
  if (h == nullptr || out == nullptr) return -1;
  vl_lock_guard g(&h->output_vklogger.lock);
  *out = h->output_vklogger.perf_data;
  return 0;
}

void vklog_fini(void) {}

void vklog_test_reset(void) {
  vklog_manager_t *m = &g_vklog_manager;
  unsigned int n = m->count.load(std::memory_order_acquire);
  for (unsigned int i = 0; i < n && i < VKLOG_CATEGORY_MAX; i++) {
    vklog_t *h = &m->log[i];
    vl_output_vklogger_clear(&h->output_vklogger);
    if (h->config_temp != nullptr && h->config_temp != h->config) vklog_config_free(h->config_temp);
    vklog_config_free(h->config);
    vl_lock_destroy(&h->config_lock);
    vl_lock_destroy(&h->output_file.fd_lock);
    vl_lock_destroy(&h->output_std.fd_lock);
    h->config = nullptr;
    h->config_temp = nullptr;
  }
  // The slots are set up afresh (handle_reset) when they are taken again.
  memset(m->config_filepath, 0, sizeof(m->config_filepath));
  m->config_file_last_modify_time = 0;
  m->reload_use_flag = 0;
  m->count.store(0, std::memory_order_release);
  m->debug = 0;
  g_reload_stamp = reload_stamp{};
  g_vklog = nullptr;
  g_vklog_console_debug = nullptr;
}
