#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <mutex>
#include <string_view>

#include "pub_conf.h"
#include "vk_config.h"
#include "vk_process.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

constexpr char kBuildTime[] = "19:44:40";
constexpr size_t kPidRecordSize = 32;

std::once_flag s_version_once;
char s_full_version[512];
char s_agent_version[128];

void build_versions() {
  char date[16];
  host_build_date(__DATE__, date, sizeof(date));
  snprintf(s_full_version, sizeof(s_full_version),
           "<Pellan %s> vosk-host-agent %s [%s %s %dbit] Build %s %s (mc:%s,cc:%s,pc:%s)",
           HOST_PRODUCT_VERSION, HOST_AGENT_VERSION, "linux", "x86_64", 64, date, kBuildTime,
           HOST_REV_MC, HOST_REV_CC, HOST_REV_PC);
  snprintf(s_agent_version, sizeof(s_agent_version), "%s (mc: %s, cc: %s, pc: %s)",
           HOST_AGENT_VERSION, HOST_REV_MC, HOST_REV_CC, HOST_REV_PC);
}

// Adds the mask bits of the comma-separated words of `value`.
mode_t mask_words(std::string_view value, mode_t read_bit, mode_t write_bit) {
  mode_t mask = 0;
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view word = value.substr(0, comma);
    size_t b = word.find_first_not_of(' ');
    size_t e = word.find_last_not_of(' ');
    word = b == std::string_view::npos ? std::string_view() : word.substr(b, e - b + 1);
    if (word == "read") mask |= read_bit;
    if (word == "write") mask |= write_bit;
    if (comma == std::string_view::npos) break;
    value = value.substr(comma + 1);
  }
  return mask;
}

}  // namespace

int host_build_date(const char *compiler_date, char *out, size_t size) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  snprintf(out, size, "00-00-00");
  if (compiler_date == nullptr || strlen(compiler_date) != 11) return -1;
  std::string_view d(compiler_date);
  const char *m = strstr(kMonths, std::string(d.substr(0, 3)).c_str());
  if (m == nullptr || (m - kMonths) % 3 != 0) return -1;
  std::string_view day = d.substr(4, 2);
  if (day[0] == ' ') day = day.substr(1);
  int dd = 0, yy = 0;
  if (std::from_chars(day.data(), day.data() + day.size(), dd).ec != std::errc() ||
      std::from_chars(d.data() + 7, d.data() + 11, yy).ec != std::errc())
    return -1;
  snprintf(out, size, "%02d-%02d-%02d", yy % 100, static_cast<int>((m - kMonths) / 3) + 1, dd);
  return 0;
}

const char *host_full_version(void) {
  std::call_once(s_version_once, build_versions);
  return s_full_version;
}

const char *host_agent_version_text(void) {
  std::call_once(s_version_once, build_versions);
  return s_agent_version;
}

int check_os_info(FILE *out) {
  struct utsname u;
  if (uname(&u) != 0) {
    int e = errno;
    if (out != nullptr)
      fprintf(out, "[check_os_info] uname Error (%d)\n", e);
    else
      VKLOG(g_vklog, VL_ERROR, "[check_os_info] uname Error (%d)\n", e);
    return -1;
  }
  const char *labels[5] = {"OS Name", "Nodename", "Release", "Version", "Machine"};
  const char *values[5] = {u.sysname, u.nodename, u.release, u.version, u.machine};
  for (int i = 0; i < 5; i++) {
    if (out != nullptr)
      fprintf(out, "[check_os_info] %s : %s\n", labels[i], values[i]);
    else
      VKLOG(g_vklog, VL_INFO, "[check_os_info] %s : %s\n", labels[i], values[i]);
  }
  return 0;
}

int host_umask_from_env(mode_t *mask) {
  char group[1024], other[1024], wr[1024];
  int g = getenv_vk(group, sizeof(group), "REMOVE_PERM_GROUP");
  int o = getenv_vk(other, sizeof(other), "REMOVE_PERM_OTHER");
  bool group_set = getenv("REMOVE_PERM_GROUP") != nullptr;
  bool other_set = getenv("REMOVE_PERM_OTHER") != nullptr;
  *mask = 0;
  if (group_set || other_set) {
    if (g > 0) *mask |= mask_words(group, 0040, 0020);
    if (o > 0) *mask |= mask_words(other, 0004, 0002);
    return 0;
  }
  if (getenv("PERM_FILE_OTHER_WR") == nullptr) {
    // No instruction at all: other users may not write the agent's files
    // (the configuration names the log directory the agent writes to).
    *mask = 0002;
    return 0;
  }
  getenv_vk(wr, sizeof(wr), "PERM_FILE_OTHER_WR");
  if (strcmp(wr, "true") == 0) return 0;
  if (strcmp(wr, "false") == 0) {
    *mask = 0002;
    return 0;
  }
  fprintf(stderr,
          "[PQH-OSM-00010011][ERROR] environment variable PERM_FILE_OTHER_WR is wrong.[%s]\n", wr);
  return -1;
}

void initdaemon(void) {
  pid_t pid = fork();
  if (pid != 0) exit(0);  // the parent, and a failed fork
  setsid();
  struct rlimit rl;
  long top = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? static_cast<long>(rl.rlim_cur) : 1024;
  if (top > 65536) top = 65536;
  for (long fd = top; fd >= 0; fd--) close(static_cast<int>(fd));
  int fd = open("/dev/null", O_RDWR);
  if (fd >= 0) {
    dup(fd);
    dup(fd);
  }
  signal(SIGCHLD, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
}

int check_double_execution(const char *process_name) {
  char path[HOST_PATH_SIZE];
  host_data_path(path, sizeof(path), HOST_PID_FILE);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00020070] File open failed. FileName:%s (%d)\n", path,
          errno);
    return 1;
  }
  struct flock lk = {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &lk) != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[PQH-OSM-00020050] The vosk-host-agent is already running. ProcessName:%s\n",
          HOST_PROCESS_NAME);
    close(fd);
    return 2;
  }
  char record[kPidRecordSize + 1] = {0};
  ssize_t n = read(fd, record, kPidRecordSize);
  pid_t old_pid = 0;
  if (n > 0) {
    size_t digits = 0;
    while (digits < static_cast<size_t>(n) && record[digits] >= '0' && record[digits] <= '9')
      digits++;
    int v = 0;
    if (std::from_chars(record, record + digits, v).ec == std::errc()) old_pid = v;
  }
  VKLOG(g_vklog_console_debug, VL_TRACE, "[check_double_execution] open file. %s(%d)\n", path,
        static_cast<int>(old_pid));
  bool running = old_pid > 0 && old_pid != getpid() && vk_process_check(old_pid, process_name) == 1;
  VKLOG(g_vklog, VL_DEBUG, "[process_check] pid[%d] name[%s] running[%d]\n",
        static_cast<int>(old_pid), process_name, running ? 1 : 0);
  lk.l_type = F_UNLCK;
  if (running) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00020080] Already exists. pid:%d, ProcessName:%s\n",
          static_cast<int>(old_pid), HOST_PROCESS_NAME);
    fcntl(fd, F_SETLK, &lk);
    close(fd);
    return 3;
  }
  char own[kPidRecordSize] = {0};
  snprintf(own, sizeof(own), "%d", static_cast<int>(getpid()));
  bool ok = lseek(fd, 0, SEEK_SET) == 0 && write(fd, own, sizeof(own)) == sizeof(own);
  fcntl(fd, F_SETLK, &lk);
  close(fd);
  if (!ok) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00020070] File open failed. FileName:%s (%d)\n", path,
          errno);
    return 1;
  }
  VKLOG(g_vklog, VL_INFO, "[check_double_execution] write pid. %d\n", static_cast<int>(getpid()));
  return 0;
}
