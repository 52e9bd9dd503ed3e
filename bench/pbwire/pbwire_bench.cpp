// pbwire against Google's C++ Protocol Buffers library (lite runtime), on
// the same .proto files and the same data, in one run:
//   - an interface performance list of 1,000 interfaces (network agent),
//   - a host process list of 500 processes (host agent).
// For each: encoding a built message, decoding it, and building + encoding
// from the agent's own records (what a collect thread does per cycle).
// Google decodes into a reused message object, its fastest steady state.
//
// Every call to malloc, calloc and realloc in this program is counted
// (the benchmark binary interposes them), so each run reports system
// allocations per message. Messages per second and the ratio
// ours / Google (higher is better for ours) are printed after the runs.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host_process.h"
#include "network_public_stat.h"
// Google's generated classes (protoc --cpp_out=lite at build time).
#include "reference/host_process.pb.h"
#include "reference/network_public_stat.pb.h"

// ---- allocation counting --------------------------------------------------

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *ptr, size_t size);

namespace {
std::atomic<uint64_t> g_allocations{0};
}

extern "C" void *malloc(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

extern "C" void *realloc(void *ptr, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(ptr, size);
}

namespace {

constexpr int k_interfaces = 1000;
constexpr int k_processes = 500;
constexpr size_t k_buffer_size = 4 << 20;

// ---- the agents' own records, the source of both encodings -----------------

struct interface_sample {
  char device_id[40];
  uint64_t collect_time;
  uint64_t sys_uptime;
  uint32_t oid_index;
  uint64_t counters[18];
  double rates[10];
};

struct process_sample {
  int64_t pid;
  int64_t ppid;
  char command[64];
  char command_line[256];
  char user_name[32];
  uint64_t start_time;
  double cpu_usage;
  uint64_t sizes[4];
};

// Counters as a router's interface table shows them: octets in the
// gigabytes to terabytes, packets in the millions, multicast and broadcast
// in the thousands, errors, discards and CRC errors mostly zero, queue
// length and collisions zero (zero values stay off the wire).
std::vector<interface_sample> make_interfaces() {
  std::vector<interface_sample> out(k_interfaces);
  uint64_t x = 88172645463325252ULL;
  auto next = [&x]() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  auto between = [&next](uint64_t low, uint64_t high) { return low + next() % (high - low); };
  auto mostly_zero = [&next](int percent_zero, uint64_t high) {
    return next() % 100 < static_cast<uint64_t>(percent_zero) ? 0 : 1 + next() % high;
  };
  for (int i = 0; i < k_interfaces; i++) {
    interface_sample &s = out[i];
    snprintf(s.device_id, sizeof(s.device_id), "device-%04d", i / 48);
    s.collect_time = 1700000000000000000ULL + static_cast<uint64_t>(i) * 1000;
    s.sys_uptime = 123456789 + static_cast<uint64_t>(i);
    s.oid_index = static_cast<uint32_t>(i % 48 + 1);
    uint64_t *c = s.counters;
    c[0] = between(1000000000ULL, 10000000000000ULL);  // in octets
    c[1] = between(1000000000ULL, 10000000000000ULL);  // out octets
    c[2] = between(1000000ULL, 10000000000ULL);        // unicast packets
    c[3] = between(1000000ULL, 10000000000ULL);
    c[4] = between(1000, 10000000);  // multicast
    c[5] = between(1000, 10000000);
    c[6] = between(1000, 1000000);  // broadcast
    c[7] = between(1000, 1000000);
    c[8] = c[4] + c[6];  // non-unicast
    c[9] = c[5] + c[7];
    c[10] = mostly_zero(70, 1000);  // errors
    c[11] = mostly_zero(70, 1000);
    c[12] = mostly_zero(50, 10000);  // discards
    c[13] = mostly_zero(50, 10000);
    c[14] = mostly_zero(80, 100);                                 // unknown protocols
    c[15] = 0;                                                    // output queue length
    c[16] = 0;                                                    // collisions
    c[17] = mostly_zero(90, 10);                                  // CRC errors
    s.rates[0] = static_cast<double>(between(1000, 1000000000));  // bits per second
    s.rates[1] = static_cast<double>(between(1000, 1000000000));
    s.rates[2] = static_cast<double>(next() % 10000) / 100.0;  // percentages
    s.rates[3] = static_cast<double>(next() % 10000) / 100.0;
    for (int r = 4; r < 10; r++) {
      s.rates[r] = c[6 + r] == 0 ? 0.0 : static_cast<double>(c[6 + r]) / 1e6;
    }
  }
  return out;
}

std::vector<process_sample> make_processes() {
  std::vector<process_sample> out(k_processes);
  const char *commands[] = {"systemd", "sshd", "postgres", "java", "kworker/3:1", "nginx"};
  for (int i = 0; i < k_processes; i++) {
    process_sample &p = out[i];
    p.pid = 1 + i * 7;
    p.ppid = i == 0 ? 0 : 1 + (i / 3) * 7;
    snprintf(p.command, sizeof(p.command), "%s", commands[i % 6]);
    snprintf(p.command_line, sizeof(p.command_line),
             "/usr/bin/%s --config /etc/%s/%s.conf --worker %d", commands[i % 6], commands[i % 6],
             commands[i % 6], i);
    snprintf(p.user_name, sizeof(p.user_name), "%s", i % 4 == 0 ? "root" : "service");
    p.start_time = 1699990000000ULL + static_cast<uint64_t>(i) * 1000;
    p.cpu_usage = (i % 13) * 0.37;
    p.sizes[0] = 100000000ULL + static_cast<uint64_t>(i) * 4096;
    p.sizes[1] = 5000000ULL + static_cast<uint64_t>(i) * 4096;
    p.sizes[2] = static_cast<uint64_t>(i) * 65536;
    p.sizes[3] = static_cast<uint64_t>(i) * 1024;
  }
  return out;
}

const std::vector<interface_sample> g_interfaces = make_interfaces();
const std::vector<process_sample> g_processes = make_processes();

// ---- building the messages -------------------------------------------------

network_if_perf_list_t *build_pbwire_interfaces(void *workspace_p, size_t size) {
  network_if_perf_list_t *list_p = network_if_perf_list_new(workspace_p, size);
  if (list_p == nullptr || network_if_perf_list_perfs_alloc(list_p, k_interfaces) != 0) {
    return nullptr;
  }
  for (int i = 0; i < k_interfaces; i++) {
    const interface_sample &s = g_interfaces[i];
    network_if_perf_t *p = &list_p->perfs.items_p[i];
    p->device_id_p = s.device_id;
    p->collect_time = s.collect_time;
    p->sys_uptime = s.sys_uptime;
    p->oid_index = s.oid_index;
    p->in_octet_count = s.counters[0];
    p->out_octet_count = s.counters[1];
    p->in_ucast_pkt_count = s.counters[2];
    p->out_ucast_pkt_count = s.counters[3];
    p->in_mcast_pkt_count = s.counters[4];
    p->out_mcast_pkt_count = s.counters[5];
    p->in_bcast_pkt_count = s.counters[6];
    p->out_bcast_pkt_count = s.counters[7];
    p->in_nucast_pkt_count = s.counters[8];
    p->out_nucast_pkt_count = s.counters[9];
    p->in_error_count = s.counters[10];
    p->out_error_count = s.counters[11];
    p->in_discard_count = s.counters[12];
    p->out_discard_count = s.counters[13];
    p->in_unknown_pkt_count = s.counters[14];
    p->out_qlen = s.counters[15];
    p->collizn_count = s.counters[16];
    p->crc_error_count = s.counters[17];
    p->in_bps = s.rates[0];
    p->out_bps = s.rates[1];
    p->in_bps_rate = s.rates[2];
    p->out_bps_rate = s.rates[3];
    p->in_error_rate = s.rates[4];
    p->out_error_rate = s.rates[5];
    p->in_discard_rate = s.rates[6];
    p->out_discard_rate = s.rates[7];
    p->collizn_rate = s.rates[8];
    p->crc_rate = s.rates[9];
  }
  return list_p;
}

void build_google_interfaces(::network_if_perf_list *list_p) {
  list_p->Clear();
  for (int i = 0; i < k_interfaces; i++) {
    const interface_sample &s = g_interfaces[i];
    ::network_if_perf *p = list_p->add_perfs();
    p->set_device_id(s.device_id);
    p->set_collect_time(s.collect_time);
    p->set_sys_uptime(s.sys_uptime);
    p->set_oid_index(s.oid_index);
    p->set_in_octet_count(s.counters[0]);
    p->set_out_octet_count(s.counters[1]);
    p->set_in_ucast_pkt_count(s.counters[2]);
    p->set_out_ucast_pkt_count(s.counters[3]);
    p->set_in_mcast_pkt_count(s.counters[4]);
    p->set_out_mcast_pkt_count(s.counters[5]);
    p->set_in_bcast_pkt_count(s.counters[6]);
    p->set_out_bcast_pkt_count(s.counters[7]);
    p->set_in_nucast_pkt_count(s.counters[8]);
    p->set_out_nucast_pkt_count(s.counters[9]);
    p->set_in_error_count(s.counters[10]);
    p->set_out_error_count(s.counters[11]);
    p->set_in_discard_count(s.counters[12]);
    p->set_out_discard_count(s.counters[13]);
    p->set_in_unknown_pkt_count(s.counters[14]);
    p->set_out_qlen(s.counters[15]);
    p->set_collizn_count(s.counters[16]);
    p->set_crc_error_count(s.counters[17]);
    p->set_in_bps(s.rates[0]);
    p->set_out_bps(s.rates[1]);
    p->set_in_bps_rate(s.rates[2]);
    p->set_out_bps_rate(s.rates[3]);
    p->set_in_error_rate(s.rates[4]);
    p->set_out_error_rate(s.rates[5]);
    p->set_in_discard_rate(s.rates[6]);
    p->set_out_discard_rate(s.rates[7]);
    p->set_collizn_rate(s.rates[8]);
    p->set_crc_rate(s.rates[9]);
  }
}

host_process_info_message_t *build_pbwire_processes(void *workspace_p, size_t size) {
  host_process_info_message_t *m = host_process_info_message_new(workspace_p, size);
  if (m == nullptr || host_process_info_message_identity_alloc(m) != 0 ||
      host_process_info_message_host_process_infos_alloc(m, k_processes) != 0) {
    return nullptr;
  }
  m->identity_p->host_id_p = "6f1c2a9e-4b7d-4e0a-9a51-2f3c8d7e6b10";
  m->identity_p->time = 1700000000000ULL;
  m->identity_p->os_type = 4;
  for (int i = 0; i < k_processes; i++) {
    const process_sample &s = g_processes[i];
    host_process_info_t *p = &m->host_process_infos.items_p[i];
    p->pid = s.pid;
    p->ppid = s.ppid;
    p->command_p = s.command;
    p->command_line_p = s.command_line;
    p->user_name_p = s.user_name;
    p->start_time = s.start_time;
    p->cpu_usage = s.cpu_usage;
    p->virtual_size = s.sizes[0];
    p->resident_size = s.sizes[1];
    p->read_bytes = s.sizes[2];
    p->write_bytes = s.sizes[3];
  }
  return m;
}

void build_google_processes(::host_process_info_message *m) {
  m->Clear();
  ::host_message_common *identity = m->mutable_identity();
  identity->set_host_id("6f1c2a9e-4b7d-4e0a-9a51-2f3c8d7e6b10");
  identity->set_time(1700000000000ULL);
  identity->set_os_type(4);
  for (int i = 0; i < k_processes; i++) {
    const process_sample &s = g_processes[i];
    ::host_process_info *p = m->add_host_process_infos();
    p->set_pid(s.pid);
    p->set_ppid(s.ppid);
    p->set_command(s.command);
    p->set_command_line(s.command_line);
    p->set_user_name(s.user_name);
    p->set_start_time(s.start_time);
    p->set_cpu_usage(s.cpu_usage);
    p->set_virtual_size(s.sizes[0]);
    p->set_resident_size(s.sizes[1]);
    p->set_read_bytes(s.sizes[2]);
    p->set_write_bytes(s.sizes[3]);
  }
}

// ---- measuring ---------------------------------------------------------------

std::vector<char> g_workspace(k_buffer_size);
std::vector<char> g_build_workspace(k_buffer_size);
std::vector<uint8_t> g_buffer(k_buffer_size);

// Reports messages per second and system allocations per message.
void finish(benchmark::State &state, uint64_t allocations_before) {
  uint64_t allocations = g_allocations.load() - allocations_before;
  state.counters["msg/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["allocs/msg"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

void BM_if_perf_list_encode_pbwire(benchmark::State &state) {
  network_if_perf_list_t *list_p = build_pbwire_interfaces(g_build_workspace.data(), k_buffer_size);
  int length = 0;
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    length = network_if_perf_list_encode(list_p, g_buffer.data(), g_buffer.size());
    benchmark::DoNotOptimize(length);
  }
  finish(state, before);
  state.SetBytesProcessed(state.iterations() * length);
}

void BM_if_perf_list_encode_google(benchmark::State &state) {
  ::network_if_perf_list list;
  build_google_interfaces(&list);
  int length = static_cast<int>(list.ByteSizeLong());
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    bool ok = list.SerializeToArray(g_buffer.data(), static_cast<int>(g_buffer.size()));
    benchmark::DoNotOptimize(ok);
  }
  finish(state, before);
  state.SetBytesProcessed(state.iterations() * length);
}

void BM_if_perf_list_decode_pbwire(benchmark::State &state) {
  network_if_perf_list_t *list_p = build_pbwire_interfaces(g_build_workspace.data(), k_buffer_size);
  std::vector<uint8_t> encoded(k_buffer_size);
  int length = network_if_perf_list_encode(list_p, encoded.data(), encoded.size());
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    network_if_perf_list_t *back_p = network_if_perf_list_new(g_workspace.data(), k_buffer_size);
    int result = network_if_perf_list_decode(back_p, encoded.data(), static_cast<size_t>(length));
    benchmark::DoNotOptimize(result);
  }
  finish(state, before);
  state.SetBytesProcessed(state.iterations() * length);
}

void BM_if_perf_list_decode_google(benchmark::State &state) {
  ::network_if_perf_list list;
  build_google_interfaces(&list);
  std::string encoded = list.SerializeAsString();
  ::network_if_perf_list back;
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    bool ok = back.ParseFromArray(encoded.data(), static_cast<int>(encoded.size()));
    benchmark::DoNotOptimize(ok);
  }
  finish(state, before);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(encoded.size()));
}

void BM_if_perf_list_build_encode_pbwire(benchmark::State &state) {
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    network_if_perf_list_t *list_p =
        build_pbwire_interfaces(g_build_workspace.data(), k_buffer_size);
    int length = network_if_perf_list_encode(list_p, g_buffer.data(), g_buffer.size());
    benchmark::DoNotOptimize(length);
  }
  finish(state, before);
}

void BM_if_perf_list_build_encode_google(benchmark::State &state) {
  ::network_if_perf_list list;
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    build_google_interfaces(&list);
    bool ok = list.SerializeToArray(g_buffer.data(), static_cast<int>(g_buffer.size()));
    benchmark::DoNotOptimize(ok);
  }
  finish(state, before);
}

void BM_process_list_encode_pbwire(benchmark::State &state) {
  host_process_info_message_t *m = build_pbwire_processes(g_build_workspace.data(), k_buffer_size);
  int length = 0;
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    length = host_process_info_message_encode(m, g_buffer.data(), g_buffer.size());
    benchmark::DoNotOptimize(length);
  }
  finish(state, before);
  state.SetBytesProcessed(state.iterations() * length);
}

void BM_process_list_encode_google(benchmark::State &state) {
  ::host_process_info_message m;
  build_google_processes(&m);
  int length = static_cast<int>(m.ByteSizeLong());
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    bool ok = m.SerializeToArray(g_buffer.data(), static_cast<int>(g_buffer.size()));
    benchmark::DoNotOptimize(ok);
  }
  finish(state, before);
  state.SetBytesProcessed(state.iterations() * length);
}

void BM_process_list_decode_pbwire(benchmark::State &state) {
  host_process_info_message_t *m = build_pbwire_processes(g_build_workspace.data(), k_buffer_size);
  std::vector<uint8_t> encoded(k_buffer_size);
  int length = host_process_info_message_encode(m, encoded.data(), encoded.size());
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    host_process_info_message_t *back =
        host_process_info_message_new(g_workspace.data(), k_buffer_size);
    int result =
        host_process_info_message_decode(back, encoded.data(), static_cast<size_t>(length));
    benchmark::DoNotOptimize(result);
  }
  finish(state, before);
  state.SetBytesProcessed(state.iterations() * length);
}

void BM_process_list_decode_google(benchmark::State &state) {
  ::host_process_info_message m;
  build_google_processes(&m);
  std::string encoded = m.SerializeAsString();
  ::host_process_info_message back;
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    bool ok = back.ParseFromArray(encoded.data(), static_cast<int>(encoded.size()));
    benchmark::DoNotOptimize(ok);
  }
  finish(state, before);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(encoded.size()));
}

void BM_process_list_build_encode_pbwire(benchmark::State &state) {
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    host_process_info_message_t *m =
        build_pbwire_processes(g_build_workspace.data(), k_buffer_size);
    int length = host_process_info_message_encode(m, g_buffer.data(), g_buffer.size());
    benchmark::DoNotOptimize(length);
  }
  finish(state, before);
}

void BM_process_list_build_encode_google(benchmark::State &state) {
  ::host_process_info_message m;
  uint64_t before = g_allocations.load();
  for (auto _ : state) {
    build_google_processes(&m);
    bool ok = m.SerializeToArray(g_buffer.data(), static_cast<int>(g_buffer.size()));
    benchmark::DoNotOptimize(ok);
  }
  finish(state, before);
}

BENCHMARK(BM_if_perf_list_encode_pbwire);
BENCHMARK(BM_if_perf_list_encode_google);
BENCHMARK(BM_if_perf_list_decode_pbwire);
BENCHMARK(BM_if_perf_list_decode_google);
BENCHMARK(BM_if_perf_list_build_encode_pbwire);
BENCHMARK(BM_if_perf_list_build_encode_google);
BENCHMARK(BM_process_list_encode_pbwire);
BENCHMARK(BM_process_list_encode_google);
BENCHMARK(BM_process_list_decode_pbwire);
BENCHMARK(BM_process_list_decode_google);
BENCHMARK(BM_process_list_build_encode_pbwire);
BENCHMARK(BM_process_list_build_encode_google);

// Console output as usual; keeps each run's messages per second and
// allocations per message for the summary.
class summary_reporter : public benchmark::ConsoleReporter {
 public:
  struct figures {
    double messages_per_second;
    double allocations_per_message;
  };
  std::map<std::string, figures> runs;

  void ReportRuns(const std::vector<Run> &reports) override {
    for (const Run &run : reports) {
      figures f{0, 0};
      auto rate = run.counters.find("msg/s");
      auto allocs = run.counters.find("allocs/msg");
      if (rate != run.counters.end()) {
        f.messages_per_second = rate->second.value;
      }
      if (allocs != run.counters.end()) {
        f.allocations_per_message = allocs->second.value;
      }
      runs[run.benchmark_name()] = f;
    }
    ConsoleReporter::ReportRuns(reports);
  }
};

void print_pair(const summary_reporter &reporter, const std::string &what) {
  auto ours = reporter.runs.find("BM_" + what + "_pbwire");
  auto theirs = reporter.runs.find("BM_" + what + "_google");
  if (ours == reporter.runs.end() || theirs == reporter.runs.end() ||
      theirs->second.messages_per_second <= 0) {
    return;
  }
  printf(
      "%-28s pbwire %10.0f msg/s (%.2f allocs/msg)  google %10.0f msg/s (%.2f allocs/msg)  "
      "ratio pbwire/google = %.2f\n",
      what.c_str(), ours->second.messages_per_second, ours->second.allocations_per_message,
      theirs->second.messages_per_second, theirs->second.allocations_per_message,
      ours->second.messages_per_second / theirs->second.messages_per_second);
}

}  // namespace

int main(int argc, char **argv) {
  GOOGLE_PROTOBUF_VERIFY_VERSION;
  benchmark::Initialize(&argc, argv);
  summary_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\n");
  for (const char *what :
       {"if_perf_list_encode", "if_perf_list_decode", "if_perf_list_build_encode",
        "process_list_encode", "process_list_decode", "process_list_build_encode"}) {
    print_pair(reporter, what);
  }
  benchmark::Shutdown();
  return 0;
}
