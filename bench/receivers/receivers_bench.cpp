// The event receivers against baselines in the same run, all on loopback:
//
// - syslog: datagrams accepted and forwarded per second by the agent's
//   syslog service with two receiver threads (look-up, copy, queue, batch of
//   up to 1000, encode, collector link to a reading TCP sink), fed by a
//   bounded sender that keeps at most a window of datagrams in flight;
//   baseline: two plain receive loops on SO_REUSEPORT sockets that only
//   count. A second pass sends open loop at a fixed rate and reports loss.
// - traps: v2c traps decoded and forwarded per second by the trap service
//   (one receiver thread, as the agent runs it); baseline: the system's
//   snmptrapd -f -Lo rendering the same traps, counted by its output lines.
//
// Usage: bench_receivers [syslog_count] [trap_count]
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "communication.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "snmp_manager.h"
#include "snmp_trap.h"
#include "syslog_receiver.h"
#include "target_device.h"
#include "thread_manager.h"
#include "udp_server.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) {
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

int no_hook() {
  return 0;
}

// A loopback TCP listener that reads and discards everything: the collector.
struct tcp_sink {
  int listen_fd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::thread th;
  bool start() {
    listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) return false;
    listen(listen_fd, 4);
    socklen_t len = sizeof(sa);
    getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
    th = std::thread([this] {
      std::vector<int> conns;
      std::vector<char> buf(1 << 20);
      while (!stop.load()) {
        std::vector<pollfd> p{{listen_fd, POLLIN, 0}};
        for (int c : conns) p.push_back({c, POLLIN, 0});
        if (poll(p.data(), p.size(), 20) <= 0) continue;
        if (p[0].revents & POLLIN) conns.push_back(accept(listen_fd, nullptr, nullptr));
        for (size_t i = 1; i < p.size(); i++) {
          if (p[i].revents) recv(p[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
        }
      }
      for (int c : conns) close(c);
    });
    return true;
  }
  ~tcp_sink() {
    stop = true;
    if (th.joinable()) th.join();
    if (listen_fd >= 0) close(listen_fd);
  }
};

// Sends `count` copies of `payloads` (round robin) to 127.0.0.1:port from
// 16 source sockets, keeping at most `window` datagrams beyond `handled()`
// in flight, or (window 0) at `rate` datagrams per second. Returns the
// number sent.
uint64_t send_datagrams(uint16_t port, const std::vector<std::string> &payloads, uint64_t count,
                        uint64_t window, double rate, const std::function<uint64_t()> &handled) {
  constexpr int kSockets = 16;
  int fds[kSockets];
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int &fd : fds) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to));
  }
  auto start = clock_type::now();
  uint64_t sent = 0;
  auto deadline = start + std::chrono::seconds(120);
  while (sent < count && clock_type::now() < deadline) {
    if (window > 0) {
      if (sent - handled() >= window) {
        std::this_thread::yield();
        continue;
      }
    } else if (static_cast<double>(sent) > rate * seconds_since(start)) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      continue;
    }
    const std::string &p = payloads[sent % payloads.size()];
    if (send(fds[sent % kSockets], p.data(), p.size(), 0) == static_cast<ssize_t>(p.size())) {
      sent++;
    }
  }
  for (int fd : fds) close(fd);
  return sent;
}

// Waits until `counter` reaches `target` or stops moving for 300 ms (what
// the kernel dropped never arrives); returns the seconds since `start` at
// the last increase.
double wait_settled(const std::function<uint64_t()> &counter, uint64_t target,
                    clock_type::time_point start) {
  uint64_t last = counter();
  auto last_change = clock_type::now();
  while (last < target) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    uint64_t now = counter();
    if (now != last) {
      last = now;
      last_change = clock_type::now();
    } else if (seconds_since(last_change) > 0.3) {
      break;
    }
  }
  return std::chrono::duration<double>(last_change - start).count();
}

bool wait_for(const std::function<bool()> &done, double seconds) {
  auto start = clock_type::now();
  while (!done()) {
    if (seconds_since(start) > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

uint64_t received(udp_server_manager_t *m) {
  return udp_server_total_count(m);
}

int free_udp_port() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
  socklen_t len = sizeof(sa);
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

// Two receive loops on SO_REUSEPORT sockets that only count.
struct plain_receivers {
  std::atomic<uint64_t> count{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  uint16_t port = 0;
  void start(uint16_t p, int n) {
    port = p;
    for (int i = 0; i < n; i++) {
      int fd = socket(AF_INET, SOCK_DGRAM, 0);
      int on = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on));
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(port);
      bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
      threads.emplace_back([this, fd] {
        std::vector<char> buf(65536);
        while (!stop.load()) {
          pollfd pf{fd, POLLIN, 0};
          if (poll(&pf, 1, 100) <= 0) continue;
          while (recv(fd, buf.data(), buf.size(), MSG_DONTWAIT) > 0) count++;
        }
        close(fd);
      });
    }
  }
  ~plain_receivers() {
    stop = true;
    for (auto &t : threads) t.join();
  }
};

std::vector<std::string> syslog_payloads() {
  std::vector<std::string> out;
  for (int i = 0; i < 64; i++) {
    out.push_back("<" + std::to_string(8 + i % 180) +
                  ">Dec  8 09:00:00 bench-router link: interface ge-0/0/" + std::to_string(i) +
                  " changed state to down");
  }
  return out;
}

dg_conn *link_to(tcp_sink &sink) {
  dgcomm_init();
  dg_conn *conn = make_dg_conn("127.0.0.1", sink.port, 100000);
  dg_link_callbacks_t cb = {};
  comm_link_callbacks(&cb);
  cb.activate = no_hook;
  cb.deactivate = no_hook;
  dg_link_set_callbacks(conn, &cb);
  gp_main_dgconn = conn;
  create_dg_connection(conn);
  wait_for([&] { return conn->connection_state.load() == DG_STATE_CONNECTED; }, 10);
  return conn;
}

void bench_syslog(uint64_t count) {
  std::vector<std::string> payloads = syslog_payloads();
  const uint64_t window = 128;
  printf("== syslog: %llu datagrams of %zu bytes, at most %llu in flight\n",
         static_cast<unsigned long long>(count), payloads[0].size(),
         static_cast<unsigned long long>(window));

  double base_rate = 0;
  {
    plain_receivers plain;
    plain.start(static_cast<uint16_t>(free_udp_port()), SYSLOG_RECEIVER_THREADS);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t0 = clock_type::now();
    send_datagrams(plain.port, payloads, count, window, 0, [&] { return plain.count.load(); });
    double secs = wait_settled([&] { return plain.count.load(); }, count, t0);
    base_rate = static_cast<double>(plain.count.load()) / secs;
    printf("baseline plain receive loops: %.0f datagrams/s (received %llu)\n", base_rate,
           static_cast<unsigned long long>(plain.count.load()));
  }

  tcp_sink sink;
  sink.start();
  dg_conn *conn = link_to(sink);
  g_agent_config.syslog_port = free_udp_port();
  syslog_init();
  syslog_startup();
  syslog_target_device_add_by_ip("127.0.0.1", "bench-device");
  // The main thread starts the receivers after its start-up delay.
  wait_for(
      [] {
        return g_syslog.server->servers.load() != nullptr &&
               g_syslog.server->thread_run_count.load() == SYSLOG_RECEIVER_THREADS;
      },
      10);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  uint16_t port = static_cast<uint16_t>(g_agent_config.syslog_port);
  uint32_t forwarded0 = g_syslog.perf.sent_count.load();
  auto t0 = clock_type::now();
  send_datagrams(port, payloads, count, window, 0, [] { return received(g_syslog.server); });
  double accept_secs = wait_settled([] { return received(g_syslog.server); }, count, t0);
  uint64_t accepted = received(g_syslog.server);
  wait_for([&] { return g_syslog.perf.sent_count.load() - forwarded0 >= accepted; }, 10);
  double forward_secs = seconds_since(t0);
  uint64_t forwarded = g_syslog.perf.sent_count.load() - forwarded0;
  double ours = static_cast<double>(accepted) / accept_secs;
  printf(
      "agent syslog service: accepted %.0f datagrams/s, forwarded %.0f/s "
      "(accepted %llu, forwarded %llu, lost %llu; the sender batches once a second)\n",
      ours, static_cast<double>(forwarded) / forward_secs,
      static_cast<unsigned long long>(accepted), static_cast<unsigned long long>(forwarded),
      static_cast<unsigned long long>(count - forwarded));
  printf("ratio agent / baseline: %.2f\n", ours / base_rate);

  // Open loop at fixed rates: what the kernel's buffers let through.
  for (double rate : {50000.0, 100000.0, 200000.0}) {
    uint64_t before = received(g_syslog.server);
    uint64_t n = static_cast<uint64_t>(rate * 2);
    uint64_t sent = send_datagrams(port, payloads, n, 0, rate, [] { return uint64_t{0}; });
    wait_for([&] { return received(g_syslog.server) - before >= sent; }, 2);
    uint64_t got = received(g_syslog.server) - before;
    printf("open loop at %.0f/s for 2 s: sent %llu, accepted %llu, lost %llu (%.2f%%)\n", rate,
           static_cast<unsigned long long>(sent), static_cast<unsigned long long>(got),
           static_cast<unsigned long long>(sent - got),
           sent ? 100.0 * static_cast<double>(sent - got) / static_cast<double>(sent) : 0.0);
  }
  syslog_shutdown(5);
  shutdown_dg_connection(conn);
  wait_for(
      [&] {
        return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
      },
      10);
  gp_main_dgconn = nullptr;
  dg_conn_free(conn);
}

// One v2c trap as the system's snmptrap tool sends it, captured on a
// loopback socket.
std::string capture_trap(int i) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
  socklen_t len = sizeof(sa);
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  std::string to = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  std::string n = std::to_string(i);
  std::string ticks = std::to_string(12345 + i);
  std::string descr = "GigabitEthernet0/" + n + " it's down";
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execlp("snmptrap", "snmptrap", "-v", "2c", "-c", "public", to.c_str(), ticks.c_str(),
           ".1.3.6.1.6.3.1.1.5.3", (".1.3.6.1.2.1.2.2.1.1." + n).c_str(), "i", n.c_str(),
           (".1.3.6.1.2.1.2.2.1.2." + n).c_str(), "s", descr.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  waitpid(pid, nullptr, 0);
  std::string out(65536, '\0');
  pollfd p{fd, POLLIN, 0};
  ssize_t got = poll(&p, 1, 5000) == 1 ? recv(fd, out.data(), out.size(), 0) : -1;
  close(fd);
  out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return out;
}

// snmptrapd in the foreground, line-buffered, one output line per trap.
struct trapd {
  pid_t pid = -1;
  int out_fd = -1;
  std::atomic<uint64_t> lines{0};
  std::atomic<bool> stop{false};
  std::thread reader;
  bool start(uint16_t port, const std::string &conf) {
    int p[2];
    if (pipe(p) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(p[1], 1);
      int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 2);
      close(p[0]);
      std::string addr = "udp:127.0.0.1:" + std::to_string(port);
      execlp("stdbuf", "stdbuf", "-oL", "snmptrapd", "-f", "-Lo", "-n", "-C", "-c", conf.c_str(),
             "-m", "", "-M", "/nonexistent", "-On", "-F", "T %v\n", addr.c_str(),
             static_cast<char *>(nullptr));
      _exit(127);
    }
    close(p[1]);
    out_fd = p[0];
    reader = std::thread([this] {
      char buf[65536];
      while (!stop.load()) {
        pollfd pf{out_fd, POLLIN, 0};
        if (poll(&pf, 1, 50) <= 0) continue;
        ssize_t n = read(out_fd, buf, sizeof(buf));
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; i++) {
          if (buf[i] == '\n') lines++;
        }
      }
    });
    return pid > 0;
  }
  ~trapd() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    stop = true;
    if (reader.joinable()) reader.join();
    if (out_fd >= 0) close(out_fd);
  }
};

void bench_traps(uint64_t count) {
  std::vector<std::string> traps;
  for (int i = 1; i <= 8; i++) traps.push_back(capture_trap(i));
  if (traps[0].empty()) {
    printf("snmptrap could not be run\n");
    return;
  }
  const uint64_t window = 64;
  printf("== traps: %llu v2c traps of %zu bytes, at most %llu in flight\n",
         static_cast<unsigned long long>(count), traps[0].size(),
         static_cast<unsigned long long>(window));

  tcp_sink sink;
  sink.start();
  dg_conn *conn = link_to(sink);
  g_agent_config.snmptrap_port = free_udp_port();
  snmp_trap_init();
  target_device_activate(&g_snmptrap_device_manager);
  snmp_trap_target_device_add_by_ip("127.0.0.1", "bench-device");
  udp_server_start(g_snmp_trap.server);
  wait_for([] { return g_snmp_trap.server->thread_run_count.load() == 1; }, 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  uint16_t port = static_cast<uint16_t>(g_agent_config.snmptrap_port);
  uint32_t f0 = g_snmp_trap.forwarded.load();
  auto t0 = clock_type::now();
  send_datagrams(port, traps, count, window, 0, [] { return received(g_snmp_trap.server); });
  double secs =
      wait_settled([&] { return uint64_t{g_snmp_trap.forwarded.load() - f0}; }, count, t0);
  double ours = static_cast<double>(g_snmp_trap.forwarded.load() - f0) / secs;
  printf("agent trap service (1 receiver): %.0f traps/s decoded and forwarded (%u of %llu)\n", ours,
         g_snmp_trap.forwarded.load() - f0, static_cast<unsigned long long>(count));
  udp_server_shutdown(g_snmp_trap.server, 5);
  shutdown_dg_connection(conn);
  wait_for(
      [&] {
        return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
      },
      10);
  gp_main_dgconn = nullptr;
  dg_conn_free(conn);

  char conf[] = "/tmp/bench_trapd_XXXXXX";
  int cfd = mkstemp(conf);
  const char *text = "disableAuthorization yes\n";
  if (cfd < 0 || write(cfd, text, strlen(text)) < 0) return;
  close(cfd);
  uint16_t tport = static_cast<uint16_t>(free_udp_port());
  trapd d;
  if (!d.start(tport, conf)) {
    printf("snmptrapd could not be started\n");
    unlink(conf);
    return;
  }
  // Ready once it prints the first trap.
  std::string probe = traps[0];
  if (!wait_for(
          [&] {
            send_datagrams(tport, {probe}, 1, 0, 1e9, [] { return uint64_t{0}; });
            return wait_for([&] { return d.lines.load() > 0; }, 0.2);
          },
          15)) {
    printf("snmptrapd printed nothing\n");
    unlink(conf);
    return;
  }
  uint64_t l0 = d.lines.load();
  t0 = clock_type::now();
  send_datagrams(tport, traps, count, window, 0, [&] { return d.lines.load() - l0; });
  secs = wait_settled([&] { return d.lines.load() - l0; }, count, t0);
  double theirs = static_cast<double>(d.lines.load() - l0) / secs;
  printf("snmptrapd -f -Lo: %.0f traps/s rendered (%llu of %llu)\n", theirs,
         static_cast<unsigned long long>(d.lines.load() - l0),
         static_cast<unsigned long long>(count));
  printf("ratio agent / snmptrapd: %.2f\n", ours / theirs);
  unlink(conf);
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t syslog_count = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000;
  uint64_t trap_count = argc > 2 ? strtoull(argv[2], nullptr, 10) : 50000;
  signal(SIGPIPE, SIG_IGN);
  setenv("MIBS", "", 1);
  setenv("SNMPCONFPATH", "/nonexistent", 1);
  sm_set_library_output_options();
  init_snmp("bench-receivers");
  tm_init();
  bench_syslog(syslog_count);
  bench_traps(trap_count);
  return 0;
}
