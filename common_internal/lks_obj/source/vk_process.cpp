#include "vk_process.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "vk_util.h"

namespace {

constexpr size_t kCmdlineBufferSize = 4096;
// Only the start of a command line is read: the program path comes first,
// and the rest (a Java class path, a browser's flags) can be far longer.
constexpr size_t kCmdlineReadSize = kCmdlineBufferSize - 2;
constexpr size_t kProcessNameSize = 256;

// Reads at most `size` bytes of /proc/<pid>/cmdline as they are: the
// arguments separated by NUL bytes. Returns the bytes read, -2 when the
// process does not exist, -1 when the file cannot be opened otherwise.
int read_cmdline(pid_t pid, char *buffer, size_t size) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/cmdline", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? -2 : -1;
  size_t total = 0;
  while (total < size) {
    ssize_t n = read(fd, buffer + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  close(fd);
  return static_cast<int>(total);
}

}  // namespace

int vk_proc_cmdline(pid_t pid, char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  int total = read_cmdline(pid, buffer, size);
  // The arguments are separated by NUL bytes: turn the inner ones into
  // spaces so the command line reads as one string; the last byte keeps its
  // terminator.
  for (int i = 1; i + 1 < total; i++) {
    if (buffer[i] == '\0') buffer[i] = ' ';
  }
  return total;
}

int vk_process_name(pid_t pid, char *buffer, size_t buffer_size) {
  if (buffer == nullptr || buffer_size == 0) return -3;
  char cmdline[kCmdlineBufferSize];
  int n = read_cmdline(pid, cmdline, kCmdlineReadSize);
  if (n < 1) return -1;
  // The program path is the first argument, whole: a path may hold spaces.
  std::string_view read(cmdline, static_cast<size_t>(n));
  size_t end = read.find('\0');
  if (end == std::string_view::npos && read.size() == kCmdlineReadSize) return -2;
  std::string_view program = read.substr(0, end);
  size_t slash = program.rfind('/');
  std::string_view base = slash == std::string_view::npos ? program : program.substr(slash + 1);
  vk_copy_field(buffer, buffer_size, base.substr(0, buffer_size - 1));
  return 0;
}

int vk_process_check(pid_t check_pid, const char *compare_name) {
  if (check_pid == 0 || compare_name == nullptr || compare_name[0] == '\0') return 0;
  char name[kProcessNameSize] = {0};
  // No such process, no readable name, or a program path of 4094 bytes or
  // more (not an agent's): not a match, and start-up goes on.
  if (vk_process_name(check_pid, name, sizeof(name)) != 0) return 0;
  return strstr(name, compare_name) != nullptr ? 1 : 0;
}
