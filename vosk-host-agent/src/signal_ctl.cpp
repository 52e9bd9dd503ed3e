#include "signal_ctl.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "pub_conf.h"
#include "thr_dgconn.h"
#include "thr_os.h"
#include "thr_package_manager.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

std::atomic<int> s_stop_signal{0};
std::atomic<int> s_hup_count{0};
int s_hup_reported;  // main thread

// Two buffers so that the crash handler never reads one being rewritten.
char s_crash_log[2][VKLOG_PATH_SIZE];
std::atomic<int> s_crash_log_index{-1};

const char *const kSlotNames[HOST_SLOT_COUNT] = {"main_thr",          "dgconn_thr",
                                                 "dgconn_sender_thr", "host_stat_thr",
                                                 "process_thr",       "package_manager_thr"};

// Async-signal-safe appends into a fixed buffer.
struct safe_line {
  char buf[512];
  size_t len = 0;
  void add(const char *s) {
    while (s != nullptr && *s != '\0' && len < sizeof(buf) - 1) buf[len++] = *s++;
  }
  void add_int(long v) {
    char digits[24];
    size_t n = 0;
    bool neg = v < 0;
    unsigned long u = neg ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0 && n < sizeof(digits));
    if (neg) add("-");
    while (n > 0 && len < sizeof(buf) - 1) buf[len++] = digits[--n];
  }
};

void write_all(int fd, const char *buf, size_t len) {
  while (fd >= 0 && len > 0) {
    ssize_t n = write(fd, buf, len);
    if (n <= 0) return;
    buf += n;
    len -= static_cast<size_t>(n);
  }
}

const char *crash_name(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGABRT:
      return "SIGABRT";
    default:
      return "signal";
  }
}

void crash_handler(int sig) {
  int index = s_crash_log_index.load();
  int log_fd =
      index >= 0 ? open(s_crash_log[index], O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW) : -1;
  safe_line head;
  head.add("[PQH-OSM-00040050] ");
  head.add(crash_name(sig));
  head.add(" sig caught.\n");
  write_all(STDERR_FILENO, head.buf, head.len);
  write_all(log_fd, head.buf, head.len);
  for (int i = 0; i < HOST_SLOT_COUNT; i++) {
    const char *file = g_signal_debug_code[i].file.load(std::memory_order_relaxed);
    if (file == nullptr) continue;
    safe_line l;
    l.add("[vk_debug_logging] ");
    l.add(kSlotNames[i]);
    l.add(" [");
    l.add(file);
    l.add("][");
    l.add_int(g_signal_debug_code[i].line.load(std::memory_order_relaxed));
    l.add("]\n");
    write_all(STDERR_FILENO, l.buf, l.len);
    write_all(log_fd, l.buf, l.len);
  }
  if (log_fd >= 0) close(log_fd);
  // End by the signal itself: default action, re-raised. For a fault the
  // signal is blocked inside this handler, so it is delivered on return.
  signal(sig, SIG_DFL);
  raise(sig);
}

void stop_handler(int sig) {
  s_stop_signal.store(sig);
  g_stop_the_world.store(1);
}

void hup_handler(int) {
  s_hup_count.fetch_add(1);
}

int install(int sig, void (*fn)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = fn;
  sigemptyset(&sa.sa_mask);
  return sigaction(sig, &sa, nullptr);
}

}  // namespace

int initsignal(void) {
  int ret = 0;
  ret |= install(SIGALRM, SIG_IGN);
  ret |= install(SIGPIPE, SIG_IGN);
  ret |= install(SIGHUP, hup_handler);
  ret |= install(SIGINT, stop_handler);
  ret |= install(SIGTERM, stop_handler);
  ret |= install(SIGSEGV, crash_handler);
  ret |= install(SIGBUS, crash_handler);
  ret |= install(SIGABRT, crash_handler);
  atexit(exit_handler);
  return ret == 0 ? 0 : -1;
}

void signal_ctl_set_crash_log(void) {
  vklog_config_t *c = vklog_config_clone_from_global_log();
  if (c == nullptr) return;
  int next = s_crash_log_index.load() == 0 ? 1 : 0;
  vk_copy_field(s_crash_log[next], sizeof(s_crash_log[next]), c->out_path);
  s_crash_log_index.store(next);
  vklog_config_free(c);
}

int signal_ctl_report(void) {
  int hups = s_hup_count.load();
  for (; s_hup_reported < hups; s_hup_reported++)
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00040040] SIGHUP sig caught\n");
  int sig = s_stop_signal.exchange(0);
  if (sig != 0) {
    VKLOG(g_vklog, VL_ERROR, "[PQH-OSM-00040050] SIGTERM sig caught.\n");
    vk_debug_logging();
  }
  return sig;
}

void vk_debug_logging(void) {
  for (int i = 0; i < HOST_SLOT_COUNT; i++) {
    const char *file = g_signal_debug_code[i].file.load();
    if (file == nullptr) continue;
    VKLOG(g_vklog, VL_ERROR, "[vk_debug_logging] %s [%s][%d]\n", kSlotNames[i], file,
          g_signal_debug_code[i].line.load());
  }
}

void exit_handler(void) {
  VKLOG(g_vklog, VL_DEBUG, "[exit_handler] start \n");
  g_stop_the_world.store(1);
  for (int i = 0; i < 10; i++) {
    if (g_dg_link.comm_running.load() == 0 && g_dg_link.sender_running.load() == 0 &&
        g_host_stat_tick.running.load() == 0 && g_process_tick.running.load() == 0 &&
        g_package_tick.running.load() == 0)
      break;
    vk_sleep(100);
  }
  VKLOG(g_vklog, VL_INFO, "[exit_handler] terminated.\n");
  vklog_fini();
  printf("[exit_handler] terminated.\n");
  fflush(stdout);
}
