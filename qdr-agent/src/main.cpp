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
#include "communication.h"
#include "config.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "environment.h"
#include "icmp.h"
#include "snmp_manager.h"
#include "snmp_trap.h"
#include "snmp_util.h"
#include "syslog_receiver.h"
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

// Result of a start-up step (the parser included): go on with the next
// step, or end the process with the status the step stored in
// *exit_status. A step that ends the process has already printed what it
// has to say.
constexpr int kStepGoOn = 0;
constexpr int kStepExit = 1;

void print_usage() {
  printf("%s%s\n", kUsageHead, kOptionHelp);
}

// Ends parsing for a rejected argument: the usage text, then `status`.
int usage_exit(int status, int *exit_status) {
  print_usage();
  *exit_status = status;
  return kStepExit;
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

int argument_wrong(int index, const char *arg, int *exit_status) {
  VKLOG(g_vklog, VL_ERROR, "Argument is wrong.[(index:%d)%s]\n", index, arg);
  return usage_exit(kStatusArgumentWrong, exit_status);
}

// Ends parsing when it has already printed its answer: status 0.
int answered_exit(int *exit_status) {
  *exit_status = 0;
  return kStepExit;
}

// --cmd-snmp <addr> <version> (<community> | <secname> <level> ...) <type> <oid>
int parse_cmd_snmp(int argc, char **argv, int index, int *exit_status) {
  agent_config_snmp *s = &g_agent_config.snmp;
  int i = index + 1;
  auto next = [&](char *field, size_t size) -> bool {
    if (i >= argc) return false;
    return vk_copy_field(field, size, argv[i++]);
  };
  auto wrong = [&] { return argument_wrong(index, argv[index], exit_status); };
  if (!next(s->addr, sizeof(s->addr))) return wrong();
  if (i >= argc) return wrong();
  const char *version = argv[i];
  if (strcmp(version, "v1") != 0 && strcmp(version, "v2c") != 0 && strcmp(version, "v3") != 0) {
    printf("'%s' version is not support\n", version);
    return answered_exit(exit_status);
  }
  vk_copy_field(s->version, sizeof(s->version), argv[i++]);
  if (!next(s->community_secname, sizeof(s->community_secname))) return wrong();
  if (strcmp(s->version, "v3") == 0) {
    if (i >= argc) return wrong();
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
      return answered_exit(exit_status);
    }
    vk_copy_field(s->authpriv, sizeof(s->authpriv), argv[i++]);
    if (extra >= 2 && (!next(s->auth_algorithm, sizeof(s->auth_algorithm)) ||
                       !next(s->auth_password, sizeof(s->auth_password)))) {
      return wrong();
    }
    if (extra == 4 && (!next(s->priv_algorithm, sizeof(s->priv_algorithm)) ||
                       !next(s->priv_password, sizeof(s->priv_password)))) {
      return wrong();
    }
  }
  if (!next(s->type, sizeof(s->type)) || !next(s->object_id, sizeof(s->object_id))) {
    return wrong();
  }
  printf("ip[%s],ver[%s],comm_sec[%s],authpriv[%s],type[%s],oid[%s]\n", s->addr, s->version,
         s->community_secname, s->authpriv, s->type, s->object_id);
  return kStepGoOn;
}

// --cmd-ping <addr> <count>; the count is accepted and not used.
int parse_cmd_ping(int argc, char **argv, int index, int *exit_status) {
  if (index + 2 >= argc ||
      !vk_copy_field(g_agent_config.ping.ip, sizeof(g_agent_config.ping.ip), argv[index + 1])) {
    return argument_wrong(index, argv[index], exit_status);
  }
  return kStepGoOn;
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

// Stores one option of kLongOptions. Returns kStepGoOn, or kStepExit with
// the option's status when the setter rejects the value.
int apply_long_option(const long_option &o, std::string_view arg, int *exit_status) {
  int ret;
  if (o.only_mode != 0) {
    ret = config_set_value_from_int(&g_agent_config, o.type, o.only_mode);
  } else {
    std::string value(arg.substr(strlen(o.name)));
    ret = config_set_value_from_str(&g_agent_config, o.type, value.c_str());
  }
  return ret == 0 ? kStepGoOn : usage_exit(o.status, exit_status);
}

// One argument that begins with "--". Sets *stop when parsing ends here with
// success (help, version, a --cmd- option).
int parse_long_argument(int argc, char **argv, int i, bool *stop, int *exit_status) {
  std::string_view arg(argv[i]);
  if (arg.size() <= 2) return usage_exit(2, exit_status);
  if (starts_with(arg, "--help")) {
    g_is_output_help = 1;
    *stop = true;
    return kStepGoOn;
  }
  if (starts_with(arg, "--version")) {
    g_is_output_version = 1;
    *stop = true;
    return kStepGoOn;
  }
  if (starts_with(arg, "--cmd-")) {
    *stop = true;
    if (starts_with(arg, "--cmd-snmp")) return parse_cmd_snmp(argc, argv, i, exit_status);
    if (starts_with(arg, "--cmd-ping")) return parse_cmd_ping(argc, argv, i, exit_status);
    fputs("argument", stderr);
    return kStepGoOn;
  }
  for (const long_option &o : kLongOptions) {
    if (starts_with(arg, o.name)) return apply_long_option(o, arg, exit_status);
  }
  for (const char *family : kFamilies) {
    if (starts_with(arg, family)) return kStepGoOn;  // an unknown option of a known family
  }
  return argument_wrong(i, argv[i], exit_status);
}

// One argument that begins with a single "-".
int parse_short_argument(char **argv, int i, bool *stop, int *exit_status) {
  std::string_view arg(argv[i]);
  if (arg.size() != 2) return usage_exit(1, exit_status);
  if (arg == "-h") {
    g_is_output_help = 1;
    *stop = true;
    return kStepGoOn;
  }
  if (arg == "-v") {
    g_is_output_version = 1;
    *stop = true;
    return kStepGoOn;
  }
  return argument_wrong(i, argv[i], exit_status);
}

// Parses the command line into g_agent_config and the help / version flags.
// Returns kStepGoOn, or kStepExit with *exit_status: the usage text and the
// argument's status for a rejected argument, 0 when --cmd-snmp has already
// answered an unsupported version or level.
int parse_argument(int argc, char **argv, int *exit_status) {
  for (int i = 1; i < argc; i++) {
    bool stop = false;
    int ret;
    if (starts_with(argv[i], "--")) {
      ret = parse_long_argument(argc, argv, i, &stop, exit_status);
    } else if (starts_with(argv[i], "-")) {
      ret = parse_short_argument(argv, i, &stop, exit_status);
    } else {
      ret = argument_wrong(i, argv[i], exit_status);
    }
    if (ret != kStepGoOn || stop) return ret;
  }
  return kStepGoOn;
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
  agent_log_receivers();
  VKLOG(g_vklog, VL_INFO, "-------------------------------------\n");
  for (int i = 0; i < threads; i++) colt_get_perf(i, &r->previous_collect[i]);
  r->collect_snapshot_count = threads;
}

bool pid_file_exists() {
  struct stat st;
  return !(stat(g_pid_filename, &st) != 0 && errno == ENOENT);
}

void main_loop() {
  // Whatever start-up printed is out before the agent settles down.
  fflush(stdout);
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

// Step 1: the command line, then the version banner or the usage text.
int handle_command_line(int argc, char **argv, int *exit_status) {
  if (parse_argument(argc, argv, exit_status) == kStepExit) return kStepExit;
  if (g_is_output_version) {
    printf("%s\n", get_full_version_string());
    *exit_status = 0;
    return kStepExit;
  }
  if (g_is_output_help) {
    print_usage();
    *exit_status = 0;
    return kStepExit;
  }
  return kStepGoOn;
}

// Step 2: the environment and the home directory.
int check_home(const char *program_path, int *exit_status) {
  init_environment(program_path);
  printf("QDR HOME[%s]\n", g_qdr_home);
  if (g_qdr_home[0] == '\0') {
    fprintf(stderr, "VOSK_QDR_HOME is not set.\n");
    *exit_status = 2;
    return kStepExit;
  }
  if (!is_directory(g_qdr_home)) {
    fprintf(stderr, "VOSK_QDR_HOME is not exist. please check directory.[%s]\n", g_qdr_home);
    *exit_status = 2;
    return kStepExit;
  }
  return kStepGoOn;
}

// Steps 3 and 4: the one-shot modes of the command line, which end the
// process.
int run_one_shot_modes(int *exit_status) {
  printf("g_agent_config.snmp.version[%s]\n", g_agent_config.snmp.version);
  // The start-up lines reach a file or a pipe even if the agent is killed.
  fflush(stdout);
  if (g_agent_config.snmp.version[0] != '\0') {
    // 0 for a result; 1, as the SNMP tools give it, for a time-out, an
    // unknown host, a bad address, an error status or an empty answer.
    *exit_status = sm_request_from_argument(&g_agent_config.snmp) == 0 ? 0 : 1;
    return kStepExit;
  }
  if (g_agent_config.ping.ip[0] != '\0') {
    // Pings every three seconds until the process is stopped.
    *exit_status = icmp_cmd_ping(g_agent_config.ping.ip);
    return kStepExit;
  }
  return kStepGoOn;
}

// Step 5: the configuration file and its defaults.
int load_configuration(int *exit_status) {
  if (load_config_from_file(g_agent_config.config_path) < 0) {
    fprintf(stderr, "load config file has failed.[%d]\n", -1);
    *exit_status = 1;
    return kStepExit;
  }
  int ret = config_validation();
  if (ret < 0) {
    fprintf(stderr, "config validation has failed.[%d]\n", ret);
    *exit_status = 1;
    return kStepExit;
  }
  return kStepGoOn;
}

// Step 6: logging, with "qdr-agent" as the global category.
int start_logging(int *exit_status) {
  int err_no = 0;
  int ret = vklog_initialize_with_config_file(g_agent_config.log_config_path, &err_no);
  if (ret != 0) {
    printf("vklog_initialize_with_config_file() has failed.[%d]\n", err_no != 0 ? err_no : ret);
    *exit_status = 2;
    return kStepExit;
  }
  vklog_set_global_log_handle(vklog_get_category(QDR_PROCESS_NAME));
  return kStepGoOn;
}

// Status for a collector address that is empty or not an address.
constexpr int kStatusCollectorAddress = 24;

// After logging is up: the agent reports to its collector, so without a
// usable address it would only retry for ever. The ping-only mode needs no
// collector.
int check_collector_address(int *exit_status) {
  if (g_agent_config.is_only_type == 3) return kStepGoOn;
  int r = config_check_receiver_ip(g_agent_config.receiver_ip);
  if (r == 0) return kStepGoOn;
  if (r == -1) {
    fprintf(stderr,
            "The collector address is not set: receiver_ip in %s or --dg-ip=<ip> is needed.\n",
            g_agent_config.config_path);
    VKLOG(g_vklog, VL_ERROR, "The collector address is not set.[%s]\n", g_agent_config.config_path);
  } else {
    fprintf(stderr, "The collector address is not an address.[%s]\n", g_agent_config.receiver_ip);
    VKLOG(g_vklog, VL_ERROR, "The collector address is not an address.[%s]\n",
          g_agent_config.receiver_ip);
  }
  *exit_status = kStatusCollectorAddress;
  return kStepExit;
}

// Step 7: the pid file. When the file itself cannot be used, the line after
// "Duplicate execution." names it and the system's reason.
int claim_pid_file(int *exit_status) {
  int ret = check_double_execution(g_real_app_name, QDR_PROCESS_NAME);
  if (ret > 0) {
    fprintf(stderr, "Duplicate execution.\n");
    if (g_pid_file_error != 0) {
      fprintf(stderr, "The pid file cannot be used.[%s: %s]\n", g_pid_filename,
              strerror(g_pid_file_error));
    }
    VKLOG(g_vklog, VL_ERROR, "Duplicate execution.\n");
    *exit_status = 6;
    return kStepExit;
  }
  if (ret < 0) {
    fprintf(stderr, "Check process status has failed.\n");
    VKLOG(g_vklog, VL_ERROR, "Check process status has failed.\n");
    *exit_status = 7;
    return kStepExit;
  }
  return kStepGoOn;
}

// Step 8: Net-SNMP settings and init_snmp.
int start_snmp_library(int *exit_status) {
  if (!set_snmp_library_options()) {
    VKLOG(g_vklog, VL_ERROR, "set error\n");
    *exit_status = 0;
    return kStepExit;
  }
  init_snmp("vosk-qdr-agent");
  return kStepGoOn;
}

// Step 9: the only-modes. The receivers' modes go on with start-up when
// their port is bound, and end the process with status 1 when it cannot
// be; the ping-only mode ends the process.
int run_only_modes(int *exit_status) {
  if (g_agent_config.is_only_type == 2 || g_agent_config.is_only_type == 1) {
    // The receivers start at once and stay; start-up goes on. Until the
    // collector activates the agent no device is registered: syslog lines
    // are only written to "syslog-dump", traps go out as "unknown id".
    bool trap = g_agent_config.is_only_type == 2;
    int port = trap ? g_agent_config.snmptrap_port : g_agent_config.syslog_port;
    int r = trap ? snmp_trap_only(static_cast<uint16_t>(port))
                 : syslog_only(static_cast<uint16_t>(port), 0);
    const char *note = trap ? " (traps are forwarded once the collector link is up)"
                            : " (datagrams are written to the \"syslog-dump\" log at trace level)";
    const char *mode = trap ? "snmptrap-only" : "syslog-only";
    if (r != 0) {
      // As the SNMP tools say it, and with their status: nothing receives.
      fprintf(stderr, "%s: couldn't open udp:%d\n", mode, port);
      VKLOG(g_vklog, VL_ERROR, "only-mode %d has failed.(ret:%d)\n", g_agent_config.is_only_type,
            r);
      *exit_status = 1;
      return kStepExit;
    }
    printf("%s: receiving on udp port %d%s\n", mode, port, note);
    fflush(stdout);
  } else if (g_agent_config.is_only_type == 3) {
    // One ping: 0 with a reply or a time-out; 1 when the host cannot be
    // added, no raw socket can be opened or the request cannot be sent.
    *exit_status = icmp_only(g_agent_config.ping_ip) == 0 ? 0 : 1;
    return kStepExit;
  }
  return kStepGoOn;
}

// Step 10: the agent functions and the collector link.
void start_agent() {
  common_init();
  agent_function_initialize();
  dgcomm_init();
  gp_main_dgconn = make_dg_conn(g_agent_config.receiver_ip, g_agent_config.receiver_port, 1000);
  if (gp_main_dgconn != nullptr) {
    dg_link_callbacks_t cb = {};
    comm_link_callbacks(&cb);
    dg_link_set_callbacks(gp_main_dgconn, &cb);
    create_dg_connection(gp_main_dgconn);
    vk_sleep(1000);
  }
}

}  // namespace

int main(int argc, char **argv) {
  config_init(&g_agent_config);
  tm_init();  // before any mode that starts registered threads
  int status = 0;
  if (handle_command_line(argc, argv, &status) == kStepExit) return status;
  if (check_home(argv[0], &status) == kStepExit) return status;
  if (run_one_shot_modes(&status) == kStepExit) return status;
  if (load_configuration(&status) == kStepExit) return status;
  if (start_logging(&status) == kStepExit) return status;
  if (check_collector_address(&status) == kStepExit) return status;
  if (claim_pid_file(&status) == kStepExit) return status;
  if (start_snmp_library(&status) == kStepExit) return status;
  if (run_only_modes(&status) == kStepExit) return status;
  start_agent();
  main_loop();
  return 0;
}
