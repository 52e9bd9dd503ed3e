// The host collectors' cost on this machine, side by side with the node
// exporter serving its equivalent collectors in the same run.
//
// 1. CPU time of one full metric cycle (CPU, memory, swap, network, disks
//    and file systems: four reports encoded) and of one process scan (the
//    process report encoded), averaged over many runs, reports dropped at
//    the sink.
// 2. prometheus-node-exporter started on a loopback port twice: once with
//    cpu, loadavg, meminfo, diskstats, filesystem and netdev (the metric
//    cycle's equivalent), once with processes only (the scan's); each
//    scraped as many times, its CPU read from /proc/<pid>/stat. Stopped by
//    pid.
// 3. The scan and the exporter's processes collector again with 1,000
//    sleeping children of this program (stopped by pid afterwards); then
//    the scan alone, without the report, once reading every command line
//    (cold) and once taking them over from the previous scan (warm).
// 4. An hour of default intervals (720 metric cycles, 180 process scans)
//    run in a tight loop with a manual clock, resident memory before and
//    after.
//
// Usage: bench_host [runs]   (default 200)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "os/linux/lks_linux.h"
#include "os/linux/lks_linux_env.h"
#include "os/linux/lks_linux_process.h"
#include "vk_clock.h"

extern char **environ;

namespace {

std::atomic<uint64_t> g_sent_bytes{0};

int count_send(uint16_t, uint8_t, const void *, size_t length) {
  g_sent_bytes += length;
  return 0;
}

double cpu_msec(void) {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// utime + stime of another process, in milliseconds.
double process_cpu_msec(pid_t pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  FILE *f = fopen(path, "r");
  if (f == nullptr) return -1;
  char buf[2048];
  size_t n = fread(buf, 1, sizeof(buf) - 1, f);
  fclose(f);
  buf[n] = '\0';
  const char *p = strrchr(buf, ')');
  if (p == nullptr) return -1;
  unsigned long ut = 0, st = 0;
  if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) != 2) {
    return -1;
  }
  return (ut + st) * 1000.0 / sysconf(_SC_CLK_TCK);
}

long rss_kib(void) {
  FILE *f = fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof(line), f) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  }
  fclose(f);
  return kib;
}

int free_port(void) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(s, (sockaddr *)&a, sizeof(a)) != 0 || getsockname(s, (sockaddr *)&a, &len) != 0) {
    close(s);
    return -1;
  }
  close(s);
  return ntohs(a.sin_port);
}

// One GET /metrics; the body length, or -1.
long scrape(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv = {10, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  if (connect(s, (sockaddr *)&a, sizeof(a)) != 0) {
    close(s);
    return -1;
  }
  const char req[] = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (write(s, req, sizeof(req) - 1) != static_cast<ssize_t>(sizeof(req) - 1)) {
    close(s);
    return -1;
  }
  long total = 0;
  char buf[65536];
  ssize_t n;
  while ((n = read(s, buf, sizeof(buf))) > 0) total += n;
  close(s);
  return total;
}

struct exporter {
  pid_t pid = -1;
  int port = -1;
};

bool exporter_start(exporter *e, const std::vector<std::string> &collectors) {
  e->port = free_port();
  std::vector<std::string> argv = {"/usr/bin/prometheus-node-exporter",
                                   "--web.listen-address=127.0.0.1:" + std::to_string(e->port),
                                   "--collector.disable-defaults", "--log.level=error"};
  for (const std::string &c : collectors) argv.push_back("--collector." + c);
  std::vector<char *> args;
  for (std::string &a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  // Its complaints (no udev data in a container) would clutter the table.
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  int r = posix_spawn(&e->pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) {
    e->pid = -1;
    return false;
  }
  for (int i = 0; i < 200; i++) {  // up to 10 s for the listener
    if (scrape(e->port) > 0) return true;
    usleep(50 * 1000);
  }
  return false;
}

void exporter_stop(exporter *e) {
  if (e->pid <= 0) return;
  kill(e->pid, SIGTERM);
  waitpid(e->pid, nullptr, 0);
  e->pid = -1;
}

// CPU milliseconds per scrape, averaged over `runs` (after one warm-up).
double exporter_cost(const std::vector<std::string> &collectors, int runs, long *bytes) {
  exporter e;
  if (!exporter_start(&e, collectors)) {
    exporter_stop(&e);
    return -1;
  }
  scrape(e.port);
  double before = process_cpu_msec(e.pid);
  *bytes = 0;
  for (int i = 0; i < runs; i++) *bytes = scrape(e.port);
  double after = process_cpu_msec(e.pid);
  exporter_stop(&e);
  return (after - before) / runs;
}

// A manual clock: the hour passes without waiting for it.
std::atomic<uint64_t> g_now_nsec{1700000000ull * 1000000000ull};
uint64_t manual_nsec(void) {
  return g_now_nsec.load();
}
int manual_sleep(uint32_t) {
  return 0;
}
const vk_clock_ops g_manual_clock = {manual_nsec, manual_nsec, manual_sleep};

}  // namespace

int main(int argc, char **argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 200;
  if (runs < 1) runs = 200;
  lks_ops_t ops = {};
  ops.send = count_send;
  lks_set_ops(&ops);
  lks_proc_set_btime(static_cast<uint64_t>(lks_read_btime()));

  lks_metric_cycle(5);  // warm-up: first samples, buffers
  double t0 = cpu_msec();
  for (int i = 0; i < runs; i++) lks_metric_cycle(5);
  double metric = (cpu_msec() - t0) / runs;
  uint64_t metric_bytes = g_sent_bytes / (runs + 1);

  get_host_process_list();
  g_sent_bytes = 0;
  t0 = cpu_msec();
  for (int i = 0; i < runs; i++) get_host_process_list();
  double scan = (cpu_msec() - t0) / runs;
  uint64_t scan_bytes = g_sent_bytes / runs;

  long metric_text = 0;
  long scan_text = 0;
  double exp_metric = exporter_cost(
      {"cpu", "loadavg", "meminfo", "diskstats", "filesystem", "netdev"}, runs, &metric_text);
  double exp_scan = exporter_cost({"processes"}, runs, &scan_text);

  printf("host collectors vs prometheus-node-exporter, CPU ms per cycle (%d runs each)\n", runs);
  printf("  %-14s %10s %10s %10s %12s %12s\n", "cycle", "ours", "exporter", "ratio", "our bytes",
         "their bytes");
  printf("  %-14s %10.3f %10.3f %10.3f %12llu %12ld\n", "metric", metric, exp_metric,
         exp_metric > 0 ? metric / exp_metric : 0.0, (unsigned long long)metric_bytes, metric_text);
  printf("  %-14s %10.3f %10.3f %10.3f %12llu %12ld\n", "process scan", scan, exp_scan,
         exp_scan > 0 ? scan / exp_scan : 0.0, (unsigned long long)scan_bytes, scan_text);
  if (exp_metric < 0 || exp_scan < 0) printf("  (exporter did not start: ratio not measured)\n");

  // The same scan with 1,000 more processes (sleeping children of this
  // program, stopped by pid afterwards).
  std::vector<pid_t> kids;
  for (int i = 0; i < 1000; i++) {
    const char *sleep_argv[] = {"/bin/sleep", "300", nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, sleep_argv[0], nullptr, nullptr, const_cast<char **>(sleep_argv),
                    environ) != 0) {
      break;
    }
    kids.push_back(pid);
  }
  usleep(500 * 1000);  // let them exec
  int big_runs = runs / 4 > 10 ? runs / 4 : 10;
  get_host_process_list();
  g_sent_bytes = 0;
  t0 = cpu_msec();
  for (int i = 0; i < big_runs; i++) get_host_process_list();
  double big_scan = (cpu_msec() - t0) / big_runs;
  uint64_t big_bytes = g_sent_bytes / big_runs;
  // The scan alone (no report); every command line is read on every scan.
  t0 = cpu_msec();
  for (int i = 0; i < big_runs; i++) {
    lks_proc_list_t l = {};
    get_process_infos(&l);
    lks_proc_list_clear(&l);
  }
  double cold_scan = (cpu_msec() - t0) / big_runs;
  long big_text = 0;
  double exp_big = exporter_cost({"processes"}, big_runs, &big_text);
  for (pid_t pid : kids) kill(pid, SIGKILL);
  for (pid_t pid : kids) waitpid(pid, nullptr, 0);
  printf("  %-14s %10.3f %10.3f %10.3f %12llu %12ld   (+%zu processes, %d runs)\n", "scan +1000",
         big_scan, exp_big, exp_big > 0 ? big_scan / exp_big : 0.0, (unsigned long long)big_bytes,
         big_text, kids.size(), big_runs);
  printf("  %-14s %10.3f %10.3f %10.3f   (scan alone, every command line read)\n", "  cold",
         cold_scan, exp_big, exp_big > 0 ? cold_scan / exp_big : 0.0);

  // One hour at the default intervals through the clock seam.
  vk_clock_set(&g_manual_clock);
  for (int i = 0; i < 60; i++) lks_metric_cycle(5);
  long rss_start = rss_kib();
  for (int s = 0; s < 3600; s += 5) {
    g_now_nsec += 5ull * 1000000000ull;
    lks_metric_cycle(5);
    if (s % 20 == 0) get_host_process_list();
  }
  long rss_end = rss_kib();
  vk_clock_set(nullptr);
  printf("one hour of cycles (720 metric, 180 process): RSS %ld KiB -> %ld KiB (%+ld KiB)\n",
         rss_start, rss_end, rss_end - rss_start);
  lks_metric_reset();
  lks_process_reset();
  return 0;
}
