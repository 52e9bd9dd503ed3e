#include "os/linux_process.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "vk_util.h"
#include "vklog.h"

namespace {

constexpr size_t kCmdlineBufferSize = 4096;
constexpr size_t kProcessNameSize = 256;

}  // namespace

int get_proc_cmdline(pid_t pid, char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return -1;
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

  // The arguments are separated by NUL bytes: turn the inner ones into
  // spaces so the command line reads as one string; the last byte keeps its
  // terminator.
  for (size_t i = 1; i + 1 < total; i++) {
    if (buffer[i] == '\0') buffer[i] = ' ';
  }
  return static_cast<int>(total);
}

int get_process_cmd_by_pid(pid_t pid, char *buffer, size_t buffer_size) {
  char cmdline[kCmdlineBufferSize];
  int n = get_proc_cmdline(pid, cmdline, sizeof(cmdline));
  if (n < 1) {
    VKLOG(g_vklog, VL_DEBUG, "get /proc/%d/cmdline has failed.[%d]\n", static_cast<int>(pid), n);
    return -1;
  }
  if (n > static_cast<int>(kCmdlineBufferSize) - 2) return -2;
  cmdline[n] = '\0';
  char *space = strchr(cmdline, ' ');
  if (space != nullptr) *space = '\0';
  if (buffer == nullptr || vk_basename(cmdline, buffer, buffer_size) == nullptr) return -3;
  return 0;
}

int process_check(pid_t check_pid, const char *compare_name) {
  if (check_pid == 0 || compare_name == nullptr || compare_name[0] == '\0') return 0;
  char name[kProcessNameSize] = {0};
  int ret = get_process_cmd_by_pid(check_pid, name, sizeof(name));
  if (ret == -2) {
    VKLOG(g_vklog, VL_DEBUG, "[process_check] get_process_name_by_pid() has failed.(%d)\n", ret);
    return -1;
  }
  if (ret != 0) return 0;  // no such process, or no readable name
  return strstr(name, compare_name) != nullptr ? 1 : 0;
}
