// vosk-host-agent: command line, environment, start-up order and the
// one-second supervision tick of the main thread.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "collect_hooks.h"
#include "configure.h"
#include "hostinfo.h"
#include "pkt_proto/proto_recv.h"
#include "pkt_proto/proto_send.h"
#include "pub_conf.h"
#include "pub_func.h"
#include "signal_ctl.h"
#include "thr_dgconn.h"
#include "thr_os.h"
#include "thr_package_manager.h"
#include "util.h"
#include "vk_config.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

// Exit statuses, so that a service manager (Restart=on-failure) and
// scripts see why the agent ended; the cause also goes to standard error.
// The README lists them.
enum {
  EXIT_STOPPED = 0,      // stopped normally; -v, -c, -h / --help
  EXIT_INTERNAL = 1,     // locks or other resources cannot be made
  EXIT_USAGE = 2,        // an unknown argument (usage on standard error)
  EXIT_ENVIRONMENT = 3,  // VOSK_HOME missing or too long, a bad mask variable
  EXIT_DIRECTORY = 4,    // the home or its data directory is missing
  EXIT_CONFIG = 5,       // a refused value in data/config, or logging set-up failed
  EXIT_INSTANCE = 6,     // another instance runs, or the pid file cannot be claimed
};

void print_usage(FILE *out, const char *program) {
  fprintf(out, "%s\n", host_full_version());
  fprintf(out, "[usage] %s [-D][-d][-v|-h]\n", program);
  fprintf(out, " D : daemonize\n");
  fprintf(out, " d : debug\n");
  fprintf(out, " v : print version\n");
  fprintf(out, " c : print os information.\n");
  fprintf(out, " h : print this message\n");
  fprintf(out, "\n");
}

// 0 when `path` is a directory; otherwise names it and the reason on
// standard error.
int require_directory(const char *what, const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    int e = errno;
    fprintf(stderr, "[main] %s %s cannot be used: %s(%d)\n", what, path, strerror(e), e);
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    fprintf(stderr, "[main] %s %s is not a directory\n", what, path);
    return -1;
  }
  return 0;
}

// Reads VOSK_HOME (into `home`) and RECEIVER_ADDR. 0, or -1 without a home.
int init_environment(char *home, size_t size) {
  int ret = getenv_vk(home, size, "VOSK_HOME");
  if (ret <= 0) {
    fprintf(stderr,
            "[PQH-OSM-00010010][ERROR] Failed to get environment variable VOSK_HOME.[ret:%d]\n",
            ret);
    return -1;
  }
  printf("env VOSK_HOME(%llu)[%s]\n", static_cast<unsigned long long>(strlen(home)), home);
  char value[1024];
  ret = getenv_vk(value, sizeof(value), "RECEIVER_ADDR");
  if (ret <= 0) {
    fprintf(stderr, "[PQH-OSM-00010010][ERROR] Failed to get environment variable %s.[ret:%d]\n",
            "RECEIVER_ADDR", ret);
    return 0;
  }
  printf("env %s(%d)[%s]\n", "RECEIVER_ADDR", 256, value);
  vk_trim_ex(value, strlen(value), "\"");
  if (value[0] != '\0')
    set_properties_preset("RECEIVER_ADDR", strlen("RECEIVER_ADDR"), value, strlen(value));
  return 0;
}

// The process scan keeps each process's files open between scans within
// half the descriptor limit; the usual soft limit of 1,024 would cover only
// a few hundred processes, so it is raised to the hard limit (at most
// 1,048,576). Nothing in the agent uses select(), so high descriptor
// numbers are safe.
void raise_file_limit(void) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  rlim_t want = rl.rlim_max == RLIM_INFINITY || rl.rlim_max > 1048576 ? 1048576 : rl.rlim_max;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want) {
    rlim_t old = rl.rlim_cur;
    rl.rlim_cur = want;
    if (setrlimit(RLIMIT_NOFILE, &rl) == 0)
      VKLOG(g_vklog, VL_INFO, "[main] open file limit %llu -> %llu\n",
            static_cast<unsigned long long>(old), static_cast<unsigned long long>(want));
  }
}

void start_threads(const pthread_attr_t *attr) {
  run_thread(nullptr, attr, thr_DGConn, nullptr, "THR_DGCONN");
  host_os_initialize();
  run_thread(nullptr, attr, thread_host_stat, nullptr, "THR_HOST_STAT");
  run_thread(nullptr, attr, thread_processlist, nullptr, "THR_PROCESS_LIST");
  run_thread(nullptr, attr, thr_package_manager, nullptr, "THR_PACKAGE_MANAGER");
}

void log_stopped(void) {
  VKLOG(g_vklog, VL_INFO, "[process_main] %s process stopped.\n", HOST_PROCESS_NAME);
  VKLOG(g_vklog_console_debug, VL_TRACE, "[process_main] %s process stopped.\n", HOST_PROCESS_NAME);
}

int process_main(const pthread_attr_t *attr) {
  start_threads(attr);
  char pid_path[HOST_PATH_SIZE];
  host_data_path(pid_path, sizeof(pid_path), HOST_PID_FILE);
  uint64_t next_tick = vk_get_time_msec() / 1000 + 1;
  while (g_stop_the_world.load() == 0) {
    host_mark(HOST_SLOT_MAIN, __FILE__, __LINE__);
    uint64_t now = 0;
    int w = host_wait_tick(next_tick, &now);
    if (signal_ctl_report() != 0) {
      // A stop signal ends the agent the way a deleted pid file does.
      log_stopped();
      break;
    }
    if (w < 0) break;
    if (w == 1) {
      VKLOG(g_vklog, VL_INFO, "[process_main] check GMT \n");
      send_req_timesync();
    }
    uint64_t t = now / 1000;
    next_tick = t + 1;
    if (t % 3 == 0) {
      if (update_vklog() == 0) signal_ctl_set_crash_log();
      struct stat st;
      if (stat(pid_path, &st) != 0) {
        g_stop_the_world.store(1);
        log_stopped();
        break;
      }
    }
    if (t % 3600 == 0) send_req_timesync();
    int info_interval = get_conf_value_int_for_idx(g_conf_handle, CONF_INTERVAL_INFO_LOG);
    if (info_interval > 0 && t % static_cast<uint64_t>(info_interval) == 0) info_log();
  }
  VKLOG(g_vklog, VL_INFO, "[process_main] finished.\n");
  return 0;
}

// Waits until every thread has left its loop, at most `msec`.
void wait_threads(uint32_t msec) {
  for (uint32_t waited = 0; waited < msec; waited += HOST_POLL_MSEC) {
    if (g_dg_link.comm_running.load() == 0 && g_dg_link.sender_running.load() == 0 &&
        g_host_stat_tick.running.load() == 0 && g_process_tick.running.load() == 0 &&
        g_package_tick.running.load() == 0)
      return;
    vk_sleep(HOST_POLL_MSEC);
  }
}

}  // namespace

int main(int argc, char **argv) {
  g_agent_boot_time = vk_get_time_msec();
  int daemonize = 0, debug = 0;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-D") == 0) {
      printf("daemonize on\n");
      daemonize = 1;
    } else if (strcmp(argv[i], "-d") == 0) {
      printf("debug mode on\n");
      debug = 1;
    } else if (strcmp(argv[i], "-v") == 0) {
      printf("%s\n", host_full_version());
      return EXIT_STOPPED;
    } else if (strcmp(argv[i], "-c") == 0) {
      check_os_info(stdout);
      return EXIT_STOPPED;
    } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      print_usage(stdout, argv[0]);
      return EXIT_STOPPED;
    } else {
      // A mistyped option must not start a second agent by accident.
      fprintf(stderr, "[main] unknown argument [%s]\n", argv[i]);
      print_usage(stderr, argv[0]);
      return EXIT_USAGE;
    }
  }
  char home[HOST_HOME_SIZE];
  if (init_environment(home, sizeof(home)) != 0) return EXIT_ENVIRONMENT;
  vk_trim_ex(home, strlen(home), "\"");
  mode_t mask = 0;
  if (host_umask_from_env(&mask) != 0) return EXIT_ENVIRONMENT;
  g_stop_the_world.store(0);
  if (snprintf(g_vk_host_home, sizeof(g_vk_host_home), "%s/host", home) >=
      static_cast<int>(sizeof(g_vk_host_home))) {
    fprintf(stderr, "[main] VOSK_HOME is too long.\n");
    return EXIT_ENVIRONMENT;
  }
  // What can fail is checked before detaching: a daemon's standard error
  // is /dev/null.
  char data_dir[HOST_PATH_SIZE];
  snprintf(data_dir, sizeof(data_dir), "%s/data", g_vk_host_home);
  if (require_directory("home", g_vk_host_home) != 0 ||
      require_directory("data directory", data_dir) != 0)
    return EXIT_DIRECTORY;
  char config_path[HOST_PATH_SIZE];
  g_conf_handle = create_configure(g_conf_table, CONF_COUNT);
  if (g_conf_handle == nullptr) {
    fprintf(stderr, "[main] configuration table cannot be made.\n");
    return EXIT_INTERNAL;
  }
  if (host_config_path(config_path, sizeof(config_path)) == 0 &&
      load_config_file(g_conf_handle, config_path) == -3) {
    fprintf(stderr, "[main] initialize_configure_host_agent has failed. (ret:%d)\n", -3);
    return EXIT_CONFIG;
  }
  fflush(stdout);
  if (daemonize) initdaemon();
  umask(mask);

  dg_link_hooks_t link_hooks = {};
  host_link_hooks_fill(&link_hooks);
  link_hooks.handle_packet = read_msg_nio;
  if (dg_link_init(&link_hooks) != 0) {
    fprintf(stderr, "[main] link locks cannot be made.\n");
    return EXIT_INTERNAL;
  }
  int ret = initialize_configure_host_agent(debug);
  if (ret != 0) {
    fprintf(stderr, "[main] initialize_configure_host_agent has failed. (ret:%d)\n", ret);
    return ret == -1 ? EXIT_INTERNAL : EXIT_CONFIG;
  }
  VKLOG(g_vklog, VL_NOTICE, "g_vk_host_home[%s]\n", g_vk_host_home);
  char base[256];
  if (vk_basename(argv[0], base, sizeof(base)) == nullptr)
    vk_copy_field(base, sizeof(base), HOST_PROCESS_NAME);
  ret = check_double_execution(base);
  if (ret != 0) {
    fprintf(stderr, "[main] %s\n",
            ret == 1 ? "the pid file cannot be opened (see the log)"
                     : "vosk-host-agent is already running (see the log)");
    return EXIT_INSTANCE;
  }
  VKLOG(g_vklog, VL_INFO, "[MAIN] start %s. <%s> version %s\n", HOST_PROCESS_NAME, "DEBUG",
        host_full_version());
  VKLOG(g_vklog, VL_INFO, "[MAIN] HOME: %s\n", g_vk_host_home);
  set_dg_address();
#ifdef VOSK_HOST_HAVE_COLLECTORS
  collect_hooks_install(&g_collect_hooks);
#endif
  signal_ctl_set_crash_log();
  // The main thread's breadcrumb exists before any signal can need it.
  host_mark(HOST_SLOT_MAIN, __FILE__, __LINE__);
  initsignal();
  raise_file_limit();
  VKLOG(g_vklog, VL_INFO, "[MAIN] initialize resources.\n");
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, HOST_THREAD_STACK_SIZE);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  process_main(&attr);
  g_stop_the_world.store(1);
  dg_link_wake();
  pthread_attr_destroy(&attr);
  // The threads see the stop word within 100 ms (plus a collection in
  // progress); wait for them rather than a fixed 2 s.
  wait_threads(2000);
  VKLOG(g_vklog, VL_INFO, "[MAIN] %s terminated normally.\n", HOST_PROCESS_NAME);
  return EXIT_STOPPED;
}
