#include "os/linux/lks_linux_env.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pbwire.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

lks_ops_t g_ops = {};
char g_root[LKS_PATH_SIZE] = "/";

// Formats "<root><relative>" into path; the root's trailing '/' and the
// relative path's leading '/' are joined into one.
int vformat_path(char *path, size_t size, const char *format, va_list ap) {
  char relative[LKS_PATH_SIZE];
  int n = vsnprintf(relative, sizeof(relative), format, ap);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(relative)) return -1;
  size_t root_len = strlen(g_root);
  while (root_len > 0 && g_root[root_len - 1] == '/') root_len--;
  const char *rel = relative;
  while (*rel == '/') rel++;
  n = snprintf(path, size, "%.*s/%s", static_cast<int>(root_len), g_root, rel);
  if (n < 0 || static_cast<size_t>(n) >= size) return -1;
  return 0;
}

}  // namespace

void lks_set_ops(const lks_ops_t *ops) {
  if (ops == nullptr) {
    g_ops = lks_ops_t{};
  } else {
    g_ops = *ops;
  }
}

const lks_ops_t *lks_get_ops(void) {
  return &g_ops;
}

int lks_set_root(const char *root) {
  if (root == nullptr || root[0] == '\0') root = "/";
  return vk_copy_field(g_root, sizeof(g_root), root) ? 0 : -1;
}

const char *lks_get_root(void) {
  return g_root;
}

int lks_path(char *path, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int ret = vformat_path(path, size, format, ap);
  va_end(ap);
  if (ret != 0 && size > 0) path[0] = '\0';
  return ret;
}

FILE *lks_fopen(const char *format, ...) {
  char path[LKS_PATH_SIZE];
  va_list ap;
  va_start(ap, format);
  int ret = vformat_path(path, sizeof(path), format, ap);
  va_end(ap);
  if (ret != 0) return nullptr;
  return fopen(path, "re");
}

namespace {

// open/read/close without stdio: no stream buffer is allocated per file,
// which counts when a process scan reads two or three files per process.
long read_fd(int fd, char *buffer, size_t size, struct stat *st);

long read_path(const char *path, char *buffer, size_t size, struct stat *st) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  return read_fd(fd, buffer, size, st);
}

// Reads and closes fd.
long read_fd(int fd, char *buffer, size_t size, struct stat *st) {
  if (st != nullptr && fstat(fd, st) != 0) {
    close(fd);
    return -1;
  }
  size_t n = 0;
  while (n < size - 1) {
    ssize_t r = read(fd, buffer + n, size - 1 - n);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      close(fd);
      buffer[0] = '\0';
      return -1;
    }
    if (r == 0) break;
    n += static_cast<size_t>(r);
    // Kernel files hand over their whole text in one read; a short read is
    // the end, which saves the read that would only return 0.
    if (static_cast<size_t>(r) < size - 1 - (n - static_cast<size_t>(r))) break;
  }
  close(fd);
  buffer[n] = '\0';
  return static_cast<long>(n);
}

}  // namespace

namespace {

long vread_file(char *buffer, size_t size, struct stat *st, const char *format, va_list ap) {
  if (buffer == nullptr || size == 0) return -1;
  buffer[0] = '\0';
  char path[LKS_PATH_SIZE];
  if (vformat_path(path, sizeof(path), format, ap) != 0) return -1;
  return read_path(path, buffer, size, st);
}

}  // namespace

int lks_count_lines(const char *text) {
  int lines = 1;
  for (const char *p = text; *p != '\0'; p++) lines += *p == '\n';
  return lines;
}

long lks_read_file(char *buffer, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  long n = vread_file(buffer, size, nullptr, format, ap);
  va_end(ap);
  return n;
}

long lks_read_file_stat(char *buffer, size_t size, struct stat *st, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  long n = vread_file(buffer, size, st, format, ap);
  va_end(ap);
  return n;
}

int lks_open_dir(const char *format, ...) {
  char path[LKS_PATH_SIZE];
  va_list ap;
  va_start(ap, format);
  int ret = vformat_path(path, sizeof(path), format, ap);
  va_end(ap);
  if (ret != 0) return -1;
  return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

long lks_read_at(int dir_fd, const char *name, char *buffer, size_t size, struct stat *st) {
  if (buffer == nullptr || size == 0) return -1;
  buffer[0] = '\0';
  int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  return read_fd(fd, buffer, size, st);
}

long lks_read_file_all(char **text, const char *format, ...) {
  *text = nullptr;
  char path[LKS_PATH_SIZE];
  va_list ap;
  va_start(ap, format);
  int ret = vformat_path(path, sizeof(path), format, ap);
  va_end(ap);
  if (ret != 0) return -1;
  FILE *f = fopen(path, "re");
  if (f == nullptr) return -1;
  // Kernel files report size 0, so grow while reading instead of asking.
  size_t cap = 4096;
  size_t len = 0;
  char *buf = static_cast<char *>(malloc(cap));
  while (buf != nullptr) {
    size_t n = fread(buf + len, 1, cap - len - 1, f);
    len += n;
    if (len < cap - 1) break;
    char *bigger = static_cast<char *>(realloc(buf, cap * 2));
    if (bigger == nullptr) {
      free(buf);
      buf = nullptr;
      break;
    }
    buf = bigger;
    cap *= 2;
  }
  bool failed = buf == nullptr || ferror(f) != 0;
  fclose(f);
  if (failed) {
    free(buf);
    return -1;
  }
  buf[len] = '\0';
  *text = buf;
  return static_cast<long>(len);
}

uint64_t lks_parse_u64(const char *s, const char **end) {
  const char *p = s;
  while (*p == ' ' || *p == '\t') p++;
  uint64_t v = 0;
  const char *digits = p;
  while (*p >= '0' && *p <= '9') {
    unsigned d = static_cast<unsigned>(*p - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    p++;
  }
  if (p == digits) p = s;
  if (end != nullptr) *end = p;
  return v;
}

int64_t lks_parse_i64(const char *s, const char **end) {
  const char *p = s;
  while (*p == ' ' || *p == '\t') p++;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  const char *after = nullptr;
  uint64_t v = lks_parse_u64(p, &after);
  if (after == p) {
    if (end != nullptr) *end = s;
    return 0;
  }
  if (end != nullptr) *end = after;
  if (negative) return v > static_cast<uint64_t>(INT64_MAX) ? INT64_MIN : -static_cast<int64_t>(v);
  return v > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(v);
}

int lks_msgbuf_build(lks_msgbuf_t *buf, size_t work_size, size_t encoded_size, lks_build_fn build,
                     void *arg) {
  if (work_size < LKS_MSG_START_SIZE) work_size = LKS_MSG_START_SIZE;
  if (encoded_size < LKS_MSG_START_SIZE) encoded_size = LKS_MSG_START_SIZE;
  if (work_size > LKS_MSG_MAX_SIZE) work_size = LKS_MSG_MAX_SIZE;
  if (encoded_size > LKS_MSG_MAX_SIZE) encoded_size = LKS_MSG_MAX_SIZE;
  for (;;) {
    if (buf->work_size < work_size) {
      free(buf->work);
      buf->work = static_cast<uint8_t *>(malloc(work_size));
      buf->work_size = buf->work != nullptr ? work_size : 0;
    }
    if (buf->encoded_size < encoded_size) {
      free(buf->encoded);
      buf->encoded = static_cast<uint8_t *>(malloc(encoded_size));
      buf->encoded_size = buf->encoded != nullptr ? encoded_size : 0;
    }
    if (buf->work == nullptr || buf->encoded == nullptr) return -2;
    int ret = build(arg, buf->work, buf->work_size, buf->encoded, buf->encoded_size);
    if (ret != LKS_BUILD_FULL) return ret;
    if (buf->work_size >= LKS_MSG_MAX_SIZE && buf->encoded_size >= LKS_MSG_MAX_SIZE) return ret;
    work_size = buf->work_size * 2 > LKS_MSG_MAX_SIZE ? LKS_MSG_MAX_SIZE : buf->work_size * 2;
    encoded_size =
        buf->encoded_size * 2 > LKS_MSG_MAX_SIZE ? LKS_MSG_MAX_SIZE : buf->encoded_size * 2;
    VKLOG(g_vklog, VL_DEBUG, "[lks_msgbuf_build] report does not fit; buffers grow to %zu/%zu\n",
          work_size, encoded_size);
  }
}

void lks_msgbuf_clear(lks_msgbuf_t *buf) {
  free(buf->work);
  free(buf->encoded);
  *buf = lks_msgbuf_t{};
}

int lks_encode_result(int encoded) {
  if (encoded == -PBWIRE_ENCODE_BUFFER_FULL || encoded == -PBWIRE_OUT_OF_MEMORY) {
    return LKS_BUILD_FULL;
  }
  return encoded;
}

void lks_identity_fill(host_message_common_t *identity, char host_id[LKS_HOST_ID_SIZE]) {
  host_id[0] = '\0';
  if (g_ops.host_id != nullptr && g_ops.host_id(host_id, LKS_HOST_ID_SIZE) < 0) host_id[0] = '\0';
  identity->host_id_p = host_id;
  identity->time = vk_get_time_msec();
  identity->os_type = LKS_IDENTITY_OS_TYPE;
}

int lks_send(uint16_t code, const void *body, size_t length) {
  if (g_ops.send == nullptr) return -1;
  return g_ops.send(code, LKS_STATUS_REPORT, body, length) == 0 ? 0 : -1;
}
