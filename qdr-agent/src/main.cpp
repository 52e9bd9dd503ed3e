// qdr-agent: the network device monitoring agent.
//
// main() parses the command line, checks the home directory, loads the
// configuration and the logging configuration, claims the pid file, sets up
// Net-SNMP, runs a one-shot mode or starts the agent functions and the
// collector link, and then runs the one-second main loop until the pid file
// is deleted. The agent stays in the foreground.
#include <errno.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "agent.h"
#include "collect_thread.h"
#include "common.h"
#include "config.h"
#include "dgcomm.h"
#include "environment.h"
#include "snmp_manager.h"
#include "snmp_util.h"
#include "thread_manager.h"
#include "version.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

constexpr const char *kUsageHead = "\nusage: vosk-qdr-agent [<Option>]\n";
constexpr const char *kOptionHelp =
    "  -v, --version                 print version\n"
    "      --dg-ip=<ip>              Pellan Server ip(receiver)\n"
    "      --dg-port=<port>          Pellan Server port(receiver)\n"
    "      --snmptrap-port=<port>    snmp-trap receive port(receiver)\n"
    "      --syslog-port=<port>      syslog receive port(receiver)\n"
    "\n"
    "      --cmd-snmp <addr> <version> <community> <req type> <oid>\n"
    "                                <addr>: ip:port\n"
    "                                <version>: snmp version(v1,v2c,v3)\n"
    "                                <community>: snmp community\n"
    "                                <req type>: request type(get,subtree)\n"
    "                                <oid>: request oid\n"
    "      --cmd-ping <addr> <count>\n"
    "                                <addr>: test target ip\n"
    "                                <count>: test count\n"
    "\n";

// Status for a wrong argument; also used when --cmd-snmp or --cmd-ping is
// given too few arguments or a value longer than its field.
constexpr int kStatusArgumentWrong = 3;

void print_usage() {
  printf("%s%s\n", kUsageHead, kOptionHelp);
}

// Result of parsing: 0 to go on, a negative status to print the usage text
// and exit with -status, or kParseExitZero when parsing already printed its
// answer and the process ends with status 0.
constexpr int kParseExitZero = 1;

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

int argument_wrong(int index, const char *arg) {
  VKLOG(g_vklog, VL_ERROR, "Argument is wrong.[(index:%d)%s]\n", index, arg);
  return -kStatusArgumentWrong;
}

// Copies `value` into a field of `size` bytes; false when it does not fit.
bool copy_field(char *field, size_t size, const char *value) {
  size_t len = strlen(value);
  if (len >= size) return false;
  memcpy(field, value, len + 1);
  return true;
}

// --cmd-snmp <addr> <version> (<community> | <secname> <level> ...) <type> <oid>
int parse_cmd_snmp(int argc, char **argv, int index) {
  agent_config_snmp *s = &g_agent_config.snmp;
  int i = index + 1;
  auto next = [&](char *field, size_t size) -> bool {
    if (i >= argc) return false;
    return copy_field(field, size, argv[i++]);
  };
  if (!next(s->addr, sizeof(s->addr))) return argument_wrong(index, argv[index]);
  if (i >= argc) return argument_wrong(index, argv[index]);
  const char *version = argv[i];
  if (strcmp(version, "v1") != 0 && strcmp(version, "v2c") != 0 && strcmp(version, "v3") != 0) {
    printf("'%s' version is not support\n", version);
    return kParseExitZero;
  }
  copy_field(s->version, sizeof(s->version), argv[i++]);
  if (!next(s->community_secname, sizeof(s->community_secname))) {
    return argument_wrong(index, argv[index]);
  }
  if (strcmp(s->version, "v3") == 0) {
    if (i >= argc) return argument_wrong(index, argv[index]);
    const char *level = argv[i];
    int extra = 0;
    if (strcmp(level, "authpriv") == 0) {
      s->sec_level = 3;
      extra = 4;
    } else if (strcmp(level, "authnopriv") == 0) {
      s->sec_level = 2;
      extra = 2;
    } else if (strcmp(level, "noauthnopriv") == 0) {
      s->sec_level = 1;
    } else {
      printf("'%s' auth priv type is wrong.\n", level);
      return kParseExitZero;
    }
    copy_field(s->authpriv, sizeof(s->authpriv), argv[i++]);
    if (extra >= 2 && (!next(s->auth_algorithm, sizeof(s->auth_algorithm)) ||
                       !next(s->auth_password, sizeof(s->auth_password)))) {
      return argument_wrong(index, argv[index]);
    }
    if (extra == 4 && (!next(s->priv_algorithm, sizeof(s->priv_algorithm)) ||
                       !next(s->priv_password, sizeof(s->priv_password)))) {
      return argument_wrong(index, argv[index]);
    }
  }
  if (!next(s->type, sizeof(s->type)) || !next(s->object_id, sizeof(s->object_id))) {
    return argument_wrong(index, argv[index]);
  }
  printf("ip[%s],ver[%s],comm_sec[%s],authpriv[%s],type[%s],oid[%s]\n", s->addr, s->version,
         s->community_secname, s->authpriv, s->type, s->object_id);
  return 0;
}

// --cmd-ping <addr> <count>; the count is accepted and not used.
int parse_cmd_ping(int argc, char **argv, int index) {
  if (index + 2 >= argc ||
      !copy_field(g_agent_config.ping.ip, sizeof(g_agent_config.ping.ip), argv[index + 1])) {
    return argument_wrong(index, argv[index]);
  }
  return 0;
}

// One option of a family ("--dg-", "--syslog-", ...): the suffix after the
// family prefix and the setter to call with the text after it (or, for a
// flag, the only-mode to set). Suffixes not in the table are ignored.
struct long_option {
  const char *name;  // full prefix, e.g. "--dg-port="
  int type;
  int only_mode;  // 0: a value setter; else the only-mode to set
  int status;     // exit status on a rejected value
};

constexpr const char *kFamilies[] = {"--dg-", "--log-", "--syslog-", "--snmptrap-", "--ping-"};

constexpr long_option kLongOptions[] = {
    {"--config=", AGENT_CONFIG_TYPE_CONFIG_PATH, 0, 20},
    {"--dg-ip=", AGENT_CONFIG_TYPE_RECEIVER_IP, 0, 21},
    {"--dg-port=", AGENT_CONFIG_TYPE_RECEIVER_PORT, 0, 22},
    {"--log-config-path=", AGENT_CONFIG_TYPE_LOG_CONFIG_PATH, 0, 23},
    {"--syslog-only", AGENT_CONFIG_TYPE_SYSLOG_ONLY, 1, 31},
    {"--syslog-port=", AGENT_CONFIG_TYPE_SYSLOG_PORT, 0, 32},
    {"--snmptrap-only", AGENT_CONFIG_TYPE_SNMPTRAP_ONLY, 2, 41},
    {"--snmptrap-port=", AGENT_CONFIG_TYPE_SNMPTRAP_PORT, 0, 42},
    {"--ping-only", AGENT_CONFIG_TYPE_PING_ONLY, 3, 41},
    {"--ping-ip=", AGENT_CONFIG_TYPE_PING_IP, 0, 42},
};

int parse_argument(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    std::string_view arg(argv[i]);
    if (starts_with(arg, "--")) {
      if (arg.size() <= 2) return -2;
      if (starts_with(arg, "--help")) {
        g_is_output_help = 1;
        return 0;
      }
      if (starts_with(arg, "--version")) {
        g_is_output_version = 1;
        return 0;
      }
      if (starts_with(arg, "--cmd-")) {
        if (starts_with(arg, "--cmd-snmp")) return parse_cmd_snmp(argc, argv, i);
        if (starts_with(arg, "--cmd-ping")) return parse_cmd_ping(argc, argv, i);
        fputs("argument", stderr);
        return 0;
      }
      const long_option *found = nullptr;
      for (const long_option &o : kLongOptions) {
        if (starts_with(arg, o.name)) {
          found = &o;
          break;
        }
      }
      if (found != nullptr) {
        int ret;
        if (found->only_mode != 0) {
          ret = config_set_value_from_int(&g_agent_config, found->type, found->only_mode);
        } else {
          std::string value(arg.substr(strlen(found->name)));
          ret = config_set_value_from_str(&g_agent_config, found->type, value.c_str());
        }
        if (ret != 0) return -found->status;
        continue;
      }
      bool in_family = false;
      for (const char *family : kFamilies) in_family = in_family || starts_with(arg, family);
      if (in_family) continue;  // an unknown option of a known family is ignored
      return argument_wrong(i, argv[i]);
    }
    if (starts_with(arg, "-")) {
      if (arg.size() != 2) return -1;
      if (arg == "-h") {
        g_is_output_help = 1;
        return 0;
      }
      if (arg == "-v") {
        g_is_output_version = 1;
        return 0;
      }
      return argument_wrong(i, argv[i]);
    }
    return argument_wrong(i, argv[i]);
  }
  return 0;
}

bool is_directory(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Net-SNMP output and MIB settings for the whole process, before init_snmp.
// Returns false when the MIB directory cannot be stored.
bool set_snmp_library_options() {
  sm_set_library_output_options();
  char mibdirs[QDR_HOME_SIZE + 8];
  int n = snprintf(mibdirs, sizeof(mibdirs), "%s/mibs", g_qdr_home);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(mibdirs)) return false;
  return netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, mibdirs) ==
         SNMPERR_SUCCESS;
}

// The three-second performance report of the main loop.
struct perf_report {
  snmp_perf previous_snmp;  // totals at the previous report
  collect_perf previous_collect[COLT_THREAD_MAX];
  int collect_snapshot_count;  // threads in previous_collect; -1 before the first report
};

void report_performance(perf_report *r) {
  snmp_perf now;
  sm_get_perf(&now);
  const snmp_perf &p = r->previous_snmp;
  VKLOG(g_vklog, VL_INFO, "snmp: open[%u/%u],close[%u],req[%u/%u],res[%u/%u],fail[%u]\n",
        now.session_open - p.session_open, now.session_open_error - p.session_open_error,
        now.session_close - p.session_close, now.request - p.request,
        now.request_error - p.request_error, now.response - p.response,
        now.response_error - p.response_error, now.fail - p.fail);
  VKLOG(g_vklog, VL_INFO, " - o(%u/%u),c(%u),rq(%u/%u),rs(%u/%u),f(%u)\n", now.session_open,
        now.session_open_error, now.session_close, now.request, now.request_error, now.response,
        now.response_error, now.fail);
  r->previous_snmp = now;

  int threads = colt_get_thread_count();
  if (threads > COLT_THREAD_MAX) threads = COLT_THREAD_MAX;
  if (r->collect_snapshot_count >= 0) {
    VKLOG(g_vklog, VL_INFO, "collect: queue count[%d]\n", colt_get_queue_count());
    collect_perf sum{};
    for (int i = 0; i < threads; i++) {
      collect_perf c;
      colt_get_perf(i, &c);
      // A thread started since the last report counts from zero.
      collect_perf prev{};
      if (i < r->collect_snapshot_count) prev = r->previous_collect[i];
      sum.worked_count += c.worked_count - prev.worked_count;
      sum.snmp_open += c.snmp_open - prev.snmp_open;
      sum.snmp_close += c.snmp_close - prev.snmp_close;
      sum.snmp_failed += c.snmp_failed - prev.snmp_failed;
      sum.pop_queue_count += c.pop_queue_count - prev.pop_queue_count;
    }
    VKLOG(g_vklog, VL_INFO, " thd[%d],work[%d],snmp[o:%d,c:%d,f:%d],pq[%d]\n", threads,
          static_cast<int>(sum.worked_count), static_cast<int>(sum.snmp_open),
          static_cast<int>(sum.snmp_close), static_cast<int>(sum.snmp_failed),
          static_cast<int>(sum.pop_queue_count));
  }
  VKLOG(g_vklog, VL_INFO, "-------------------------------------\n");
  for (int i = 0; i < threads; i++) colt_get_perf(i, &r->previous_collect[i]);
  r->collect_snapshot_count = threads;
}

bool pid_file_exists() {
  struct stat st;
  return !(stat(g_pid_filename, &st) != 0 && errno == ENOENT);
}

void main_loop() {
  perf_report report{};
  report.collect_snapshot_count = -1;
  unsigned int tick = 0;
  while (g_is_run_process) {
    vk_sleep(1000);
    if (tick % 3 == 0) {
      int err_no = 0;
      vklog_reload(&err_no);
      report_performance(&report);
    }
    if (!pid_file_exists()) {
      g_is_run_process = 0;
      VKLOG(g_vklog, VL_INFO, "qdr-agent process stopped.\n");
    }
    tick++;
    if (tick > 1000000000u) tick = 0;
  }
}

}  // namespace

int main(int argc, char **argv) {
  config_init(&g_agent_config);

  int ret = parse_argument(argc, argv);
  if (ret == kParseExitZero) return 0;
  if (ret < 0) {
    print_usage();
    return -ret;
  }
  if (g_is_output_version) {
    printf("%s\n", get_full_version_string());
    return 0;
  }
  if (g_is_output_help) {
    print_usage();
    return 0;
  }

  init_environment(argv[0]);
  printf("QDR HOME[%s]\n", g_qdr_home);
  if (g_qdr_home[0] == '\0') {
    fprintf(stderr, "VOSK_QDR_HOME is not set.\n");
    return 2;
  }
  if (!is_directory(g_qdr_home)) {
    fprintf(stderr, "VOSK_QDR_HOME is not exist. please check directory.[%s]\n", g_qdr_home);
    return 2;
  }

  printf("g_agent_config.snmp.version[%s]\n", g_agent_config.snmp.version);
  if (g_agent_config.snmp.version[0] != '\0') {
    sm_request_from_argument(&g_agent_config.snmp);
    return 0;
  }

  if (g_agent_config.ping.ip[0] != '\0') {
    // The ping test needs the ICMP engine, which this build does not have.
    fprintf(stderr, "ping test is not available in this build.[%s]\n", g_agent_config.ping.ip);
    return 1;
  }

  if (load_config_from_file(g_agent_config.config_path) < 0) {
    fprintf(stderr, "load config file has failed.[%d]\n", -1);
    return 1;
  }
  if ((ret = config_validation()) < 0) {
    fprintf(stderr, "config validation has failed.[%d]\n", ret);
    return 1;
  }

  int err_no = 0;
  if ((ret = vklog_initialize_with_config_file(g_agent_config.log_config_path, &err_no)) != 0) {
    printf("vklog_initialize_with_config_file() has failed.[%d]\n", err_no != 0 ? err_no : ret);
    return 2;
  }
  vklog_set_global_log_handle(vklog_get_category(QDR_PROCESS_NAME));

  ret = check_double_execution(g_real_app_name, QDR_PROCESS_NAME);
  if (ret > 0) {
    fprintf(stderr, "Duplicate execution.\n");
    VKLOG(g_vklog, VL_ERROR, "Duplicate execution.\n");
    return 6;
  }
  if (ret < 0) {
    fprintf(stderr, "Check process status has failed.\n");
    VKLOG(g_vklog, VL_ERROR, "Check process status has failed.\n");
    return 7;
  }

  if (!set_snmp_library_options()) {
    VKLOG(g_vklog, VL_ERROR, "set error\n");
    return 0;
  }
  init_snmp("vosk-qdr-agent");

  if (g_agent_config.is_only_type == 1 || g_agent_config.is_only_type == 2) {
    // The receivers of these modes are not part of this build: start-up
    // goes on as it does when a receiver returns.
    VKLOG(g_vklog, VL_ERROR, "only-mode %d is not available in this build.\n",
          g_agent_config.is_only_type);
  } else if (g_agent_config.is_only_type == 3) {
    fprintf(stderr, "ping-only mode is not available in this build.[%s]\n", g_agent_config.ping_ip);
    return 1;
  }

  tm_init();
  common_init();
  agent_function_initialize();
  dgcomm_init();
  gp_main_dgconn = make_dg_conn(g_agent_config.receiver_ip, g_agent_config.receiver_port, 1000);
  if (gp_main_dgconn != nullptr) {
    create_dg_connection(gp_main_dgconn);
    vk_sleep(1000);
  }

  main_loop();
  return 0;
}
