#include "environment.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <string_view>

#include "vk_process.h"
#include "vk_util.h"
#include "vklog.h"

char g_qdr_home[QDR_HOME_SIZE];
char g_real_app_name[QDR_APP_NAME_SIZE];
std::atomic<int> g_is_run_process;
char g_pid_filename[QDR_HOME_SIZE];
int g_pid_file_error;
int g_is_output_help;
int g_is_output_version;

namespace {

// The pid file holds the decimal pid in a NUL-padded field of this size.
constexpr size_t kPidFieldSize = 32;

// SIOCGIFCONF is asked with room for this many records first, then with
// this many more each time until two answers have the same length.
constexpr int kIfconfFirstRecords = 30;
constexpr int kIfconfGrowRecords = 10;
// Bounds the growth loop: 100,000 interfaces is far beyond any host.
constexpr int kIfconfMaxRecords = 100000;

constexpr size_t kMacLength = 6;

// Reads a decimal pid from the start of the pid file's field; anything
// that is not a number reads as 0.
pid_t parse_pid_field(const char *field, size_t len) {
  size_t start = 0;
  while (start < len && (field[start] == ' ' || field[start] == '\t')) start++;
  long pid = 0;
  auto [ptr, ec] = std::from_chars(field + start, field + len, pid);
  (void)ptr;
  if (ec != std::errc() || pid <= 0 || pid > 0x7fffffff) return 0;
  return static_cast<pid_t>(pid);
}

}  // namespace

int init_environment(const char *real_app_name) {
  g_is_run_process = 1;
  const char *home = getenv("VOSK_QDR_HOME");
  if (g_qdr_home[0] == '\0' && home != nullptr) {
    snprintf(g_qdr_home, sizeof(g_qdr_home), "%s", home);
    vk_trim_ex(g_qdr_home, strlen(g_qdr_home), "\"");
  }
  if (real_app_name != nullptr) {
    // A longer name is cut to the field: the process check looks for it
    // inside the other process's name, so its start is enough.
    std::string_view path(real_app_name);
    size_t slash = path.rfind('/');
    std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    vk_copy_field(g_real_app_name, sizeof(g_real_app_name),
                  base.substr(0, sizeof(g_real_app_name) - 1));
  }
  printf("[init_environment]real app name[%s]\n", g_real_app_name);
  return 0;
}

int check_double_execution(const char *basename, const char *process_name) {
  g_pid_file_error = 0;
  int n =
      snprintf(g_pid_filename, sizeof(g_pid_filename), "%s/data/%s.pid", g_qdr_home, process_name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(g_pid_filename)) {
    // The path does not fit: the pid file cannot be used.
    VKLOG(g_vklog, VL_ERROR, "[PQH-TXN-00020070] File open failed. FileName:%s (%s(%d))\n",
          g_pid_filename, strerror(ENAMETOOLONG), ENAMETOOLONG);
    g_pid_file_error = ENAMETOOLONG;
    return 1;
  }

  int fd = open(g_pid_filename, O_RDWR | O_CREAT | O_CLOEXEC, 0660);
  if (fd < 0) {
    int err = errno;
    VKLOG(g_vklog, VL_ERROR, "[PQH-TXN-00020070] File open failed. FileName:%s (%s(%d))\n",
          g_pid_filename, strerror(err), err);
    g_pid_file_error = err;
    return 1;
  }
  if (lockf(fd, F_TLOCK, 0) != 0) {
    // EACCES and EAGAIN mean another process holds the lock; anything else
    // means the file cannot be locked at all.
    if (errno != EACCES && errno != EAGAIN) g_pid_file_error = errno;
    VKLOG(g_vklog, VL_ERROR, "[PQH-TXN-00020050] The lks is already running. ProcessName:%s\n",
          process_name);
    close(fd);
    return 1;
  }

  char field[kPidFieldSize] = {0};
  ssize_t got = pread(fd, field, sizeof(field), 0);
  pid_t old_pid = got > 0 ? parse_pid_field(field, static_cast<size_t>(got)) : 0;
  // Our own pid in the file is left over from an earlier run that had the
  // same pid (common for the first process of a container): not another
  // instance.
  if (old_pid > 0 && old_pid != getpid()) {
    int ret = vk_process_check(old_pid, basename);
    if (ret == 1) {
      VKLOG(g_vklog, VL_INFO, "[PQH-OSM-00020080] Already exists. pid:%d, ProcessName:%s\n",
            static_cast<int>(old_pid), process_name);
      lockf(fd, F_ULOCK, 0);
      close(fd);
      return 1;
    }
    if (ret < 0) {
      VKLOG(g_vklog, VL_ERROR, "Check Process has failed.[pid:%d,%s]\n", static_cast<int>(old_pid),
            process_name);
      lockf(fd, F_ULOCK, 0);
      close(fd);
      return -1;
    }
  }

  memset(field, 0, sizeof(field));
  snprintf(field, sizeof(field), "%d", static_cast<int>(getpid()));
  ssize_t written = pwrite(fd, field, sizeof(field), 0);
  lockf(fd, F_ULOCK, 0);
  if (written != static_cast<ssize_t>(sizeof(field))) {
    int err = written < 0 ? errno : EIO;
    VKLOG(g_vklog, VL_ERROR, "[PQH-TXN-00020070] File open failed. FileName:%s (%s(%d))\n",
          g_pid_filename, strerror(err), err);
    g_pid_file_error = err;
    close(fd);
    return 1;
  }
  VKLOG(g_vklog, VL_INFO, "[check_double_execution] write pid. %d\n", static_cast<int>(getpid()));
  close(fd);
  return 0;
}

int get_if_hardware_addr(unsigned char *mac_addr, size_t mac_addr_size) {
  VKLOG(g_vklog, VL_INFO, "Start get_if_hardware_addr() -\n");
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    VKLOG(g_vklog, VL_INFO, "get_if_hardware_addr() - socket() Failed......\n");
    return -1;
  }

  // Ask with a growing buffer until two successive answers have the same
  // length: then the buffer held every interface.
  struct ifconf ifc;
  char *buffer = nullptr;
  int records = kIfconfFirstRecords;
  int last_len = 0;
  for (;;) {
    size_t size = static_cast<size_t>(records) * sizeof(struct ifreq);
    char *grown = static_cast<char *>(realloc(buffer, size));
    if (grown == nullptr) {
      VKLOG(g_vklog, VL_INFO, "get_if_hardware_addr() - pBuffer Malloc Failed !!\n");
      free(buffer);
      close(sock);
      return -1;
    }
    buffer = grown;
    memset(buffer, 0, size);
    ifc.ifc_len = static_cast<int>(size);
    ifc.ifc_buf = buffer;
    if (ioctl(sock, SIOCGIFCONF, &ifc) < 0) {
      if (errno != EINVAL || last_len != 0 || records >= kIfconfMaxRecords) {
        VKLOG(g_vklog, VL_INFO, "get_if_hardware_addr() - ioctl(SIOCGIFCONF) has Failed !!\n");
        free(buffer);
        close(sock);
        return -1;
      }
    } else {
      if (ifc.ifc_len == last_len) break;
      last_len = ifc.ifc_len;
    }
    if (records >= kIfconfMaxRecords) break;
    records += kIfconfGrowRecords;
  }
  printf("ifc_len:%d\n", ifc.ifc_len);

  int count = 0;
  size_t capacity = mac_addr == nullptr ? 0 : mac_addr_size / kMacLength;
  int listed = ifc.ifc_len / static_cast<int>(sizeof(struct ifreq));
  struct ifreq *ifr = ifc.ifc_req;
  for (int i = 0; i < listed; i++) {
    // Stop when the caller's buffer is full.
    if (static_cast<size_t>(count) >= capacity) break;
    char ip[INET_ADDRSTRLEN] = "";
    const struct sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(&ifr[i].ifr_addr);
    inet_ntop(AF_INET, &sin->sin_addr, ip, sizeof(ip));
    VKLOG(g_vklog, VL_DEBUG, "name[%s],ip[%s]\n", ifr[i].ifr_name, ip);

    struct ifreq req;
    memset(&req, 0, sizeof(req));
    memcpy(req.ifr_name, ifr[i].ifr_name, sizeof(req.ifr_name));
    if (ioctl(sock, SIOCGIFHWADDR, &req) < 0) {
      VKLOG(g_vklog, VL_ERROR, "ioctl(SIOCSIFHWADDR) Failed.[%s]\n", strerror(errno));
      free(buffer);
      close(sock);
      return -1;
    }
    const unsigned char *hw = reinterpret_cast<const unsigned char *>(req.ifr_hwaddr.sa_data);
    VKLOG(g_vklog, VL_DEBUG, "\tmac(%d)[%02X:%02X:%02X:%02X:%02X:%02X]\n", count, hw[0], hw[1],
          hw[2], hw[3], hw[4], hw[5]);
    memcpy(mac_addr + static_cast<size_t>(count) * kMacLength, hw, kMacLength);
    count++;
  }
  free(buffer);
  close(sock);
  return count;
}
