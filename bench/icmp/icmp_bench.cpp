// Ping cycles over 1,000 loopback addresses (127.1.x.y, all answered by the
// kernel), wall-clock and CPU time per cycle:
//  - worker: the ICMP worker's cycle (icmp_worker_cycle) over 1,000 targets
//    registered in the "icmp" registry, each with an SNMP status, its
//    latency records queued on a collector link marked connected (the queue
//    is emptied between cycles, nothing is written to a socket);
//  - engine/check and engine/send: the engine's sequential and interleaved
//    cycles alone over the same hosts (host list built once);
//  - baseline: a minimal loop on one raw socket that sends the same echo
//    requests one after the other and reads each reply before the next.
// The ratios (ours / baseline, lower is better) are printed after the runs.
// Needs raw sockets (root).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dg_outbox.h"
#include "dgcomm.h"
#include "icmp.h"
#include "target_device.h"

namespace {

constexpr int kHosts = 1000;

struct cost {
  double wall = 0;
  double cpu = 0;
};
std::map<std::string, cost> g_cost;  // per cycle, by run name

double now(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string address(int i) {
  return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

// Runs `cycle` once per iteration and records its wall and CPU time.
void measure(benchmark::State &state, const std::string &name, const std::function<void()> &cycle) {
  double w0 = now(CLOCK_MONOTONIC);
  double c0 = now(CLOCK_PROCESS_CPUTIME_ID);
  for (auto _ : state) cycle();
  double n = static_cast<double>(state.iterations());
  g_cost[name] = {(now(CLOCK_MONOTONIC) - w0) / n, (now(CLOCK_PROCESS_CPUTIME_ID) - c0) / n};
}

void BM_worker_cycle(benchmark::State &state) {
  dgcomm_init();
  dg_conn *conn = make_dg_conn("127.0.0.1", 9, 2 * kHosts);
  conn->connection_state.store(DG_STATE_CONNECTED);
  gp_main_dgconn = conn;
  target_device_init("icmp", &g_icmp_device_manager);
  target_device_activate(&g_icmp_device_manager);
  for (int i = 0; i < kHosts; i++) {
    std::string id = "device-" + std::to_string(i);
    icmp_target_device_add_by_ip(address(i).c_str(), id.c_str());
    auto *st = static_cast<target_snmp_status *>(calloc(1, sizeof(target_snmp_status)));
    st->snmp_success = 1;
    st->snmp_latency = 1.5;
    target_device_set_user_data_by_id(&g_icmp_device_manager, id.c_str(), st);
  }
  uint32_t records = 0;
  measure(state, "worker", [&] {
    icmp_worker_cycle();
    records = dg_queue_count(conn);
    clear_tcpqueue(conn);
  });
  state.counters["records"] = records;
  gp_main_dgconn = nullptr;
  dg_conn_free(conn);
  target_device_clear(&g_icmp_device_manager);
}

icmp_object_t *engine_with_hosts() {
  icmp_object_t *obj = icmp_object_new();
  for (int i = 0; i < kHosts; i++) icmp_host_add(obj, nullptr, address(i).c_str(), 124 + i);
  return obj;
}

int replies(icmp_object_t *obj) {
  int n = 0;
  for (icmp_host_t *h = icmp_iterator_get(obj); h != nullptr; h = icmp_iterator_next(h)) {
    n += h->latency >= 0;
  }
  return n;
}

void BM_engine_check(benchmark::State &state) {
  icmp_object_t *obj = engine_with_hosts();
  measure(state, "engine/check", [&] { icmp_check(obj); });
  state.counters["replies"] = replies(obj);
  icmp_object_destroy(obj);
}

void BM_engine_send(benchmark::State &state) {
  icmp_object_t *obj = engine_with_hosts();
  measure(state, "engine/send", [&] { icmp_send(obj); });
  state.counters["replies"] = replies(obj);
  icmp_object_destroy(obj);
}

uint16_t checksum(const uint8_t *p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n % 2) sum += static_cast<uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Requests of the worker's size (the 19-byte payload text, identifier
// 124 + i), one round trip at a time on one socket.
void BM_baseline_sequential_echo(benchmark::State &state) {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  std::vector<sockaddr_in> to(kHosts);
  for (int i = 0; i < kHosts; i++) {
    to[i].sin_family = AF_INET;
    inet_pton(AF_INET, address(i).c_str(), &to[i].sin_addr);
  }
  uint16_t seq = 0;
  int got = 0;
  measure(state, "baseline", [&] {
    got = 0;
    for (int i = 0; i < kHosts; i++) {
      uint16_t ident = static_cast<uint16_t>(124 + i);
      uint8_t req[8 + 19] = {8,
                             0,
                             0,
                             0,
                             static_cast<uint8_t>(ident >> 8),
                             static_cast<uint8_t>(ident),
                             static_cast<uint8_t>(seq >> 8),
                             static_cast<uint8_t>(seq)};
      size_t len = 8 + 19;
      memcpy(req + 8, ICMP_DEF_DATA, 19);
      uint16_t sum = checksum(req, len);
      req[2] = static_cast<uint8_t>(sum >> 8);
      req[3] = static_cast<uint8_t>(sum);
      sendto(fd, req, len, 0, reinterpret_cast<sockaddr *>(&to[i]), sizeof(to[i]));
      for (int tries = 0; tries < 8; tries++) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) break;
        uint8_t buf[4200];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 28) continue;
        const uint8_t *icmp = buf + (buf[0] & 0x0f) * 4;
        if (icmp[0] == 0 && (icmp[4] << 8 | icmp[5]) == ident && (icmp[6] << 8 | icmp[7]) == seq) {
          got++;
          break;
        }
      }
    }
    seq++;
  });
  state.counters["replies"] = got;
  close(fd);
}

BENCHMARK(BM_worker_cycle)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_engine_check)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_engine_send)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_baseline_sequential_echo)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void print_ratio(const char *ours, const char *base) {
  auto a = g_cost.find(ours);
  auto b = g_cost.find(base);
  if (a == g_cost.end() || b == g_cost.end() || b->second.wall <= 0) return;
  printf(
      "%-13s wall %7.2f ms cpu %7.2f ms | %s wall %7.2f ms cpu %7.2f ms | ratio wall %.2f cpu "
      "%.2f\n",
      ours, a->second.wall * 1e3, a->second.cpu * 1e3, base, b->second.wall * 1e3,
      b->second.cpu * 1e3, a->second.wall / b->second.wall,
      b->second.cpu > 0 ? a->second.cpu / b->second.cpu : 0.0);
}

}  // namespace

int main(int argc, char **argv) {
  int probe = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (probe < 0) {
    fprintf(stderr, "bench_icmp: raw ICMP sockets refused (needs root); skipped\n");
    return 0;
  }
  close(probe);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  printf("one cycle over %d loopback addresses, per cycle:\n", kHosts);
  print_ratio("worker", "baseline");
  print_ratio("engine/check", "baseline");
  print_ratio("engine/send", "baseline");
  return 0;
}
