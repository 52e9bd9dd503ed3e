// The collector link's throughput against plain socket loops in the same
// process:
// - send: packets from several producer threads through
//   add_packet_to_dgcomm, the DG_Sender thread and a loopback TCP
//   connection to a collector that only reads; baseline: one thread writing
//   the same framed bytes with send() to the same kind of connection; and
//   for 20 KiB a second baseline that builds each packet in fresh memory
//   before it sends it, as the agent's producers must.
// - receive: a stream of 1 KiB packets through a socket pair into the
//   incremental reassembler (dispatching each packet to a counter);
//   baseline: a plain read loop over the same bytes.
// Every benchmark runs VK_BENCH_ROUNDS times (default 3), the kinds taking
// turns, and each ratio (ours / baseline) is printed after the runs from the
// best rate of each kind.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dgcomm.h"
#include "dgcomm_packet.h"

namespace {

constexpr int kProducers = 4;

// A loopback TCP listener whose accepted connections are read and counted
// by one thread.
struct reader {
  int listen_fd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bytes{0};
  std::thread th;

  bool start() {
    listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) return false;
    listen(listen_fd, 4);
    socklen_t len = sizeof(sa);
    getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
    th = std::thread([this] { run(); });
    return true;
  }
  void run() {
    std::vector<int> conns;
    std::vector<char> buf(1 << 20);
    while (!stop.load()) {
      std::vector<pollfd> p;
      p.push_back({listen_fd, POLLIN, 0});
      for (int c : conns) p.push_back({c, POLLIN, 0});
      if (poll(p.data(), p.size(), 20) <= 0) continue;
      if (p[0].revents & POLLIN) {
        int c = accept(listen_fd, nullptr, nullptr);
        if (c >= 0) conns.push_back(c);
      }
      for (size_t i = 1; i < p.size(); i++) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t r = recv(p[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (r > 0) bytes += static_cast<uint64_t>(r);
      }
    }
    for (int c : conns) close(c);
  }
  ~reader() {
    stop = true;
    if (th.joinable()) th.join();
    if (listen_fd >= 0) close(listen_fd);
  }
};

void wait_bytes(const reader &r, uint64_t target) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (r.bytes.load() < target && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

// Items (or bytes) per second of each kind of run, for the ratios printed
// at the end.
std::map<std::string, double> g_rates;

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The best rate of a kind over all rounds: the rounds alternate the kinds,
// so a burst of load on the shared machine costs each kind alike.
void keep_rate(const std::string &name, double amount, double secs) {
  if (secs <= 0) return;
  double rate = amount / secs;
  auto it = g_rates.find(name);
  if (it == g_rates.end() || rate > it->second) g_rates[name] = rate;
}

// Sends `batch` packets of `payload` bytes per iteration through the
// connection manager from kProducers threads.
void BM_QueueToCollector(benchmark::State &state) {
  const uint32_t payload = static_cast<uint32_t>(state.range(0));
  const int batch = static_cast<int>(state.range(1));
  dgcomm_init();
  reader col;
  if (!col.start()) {
    state.SkipWithError("listen failed");
    return;
  }
  dg_conn *conn = make_dg_conn("127.0.0.1", col.port, 1000);
  create_dg_connection(conn);
  while (conn->connection_state.load() != DG_STATE_CONNECTED) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const uint64_t frame = payload + NIO_HEADER_SIZE;
  uint64_t sent_total = 0;
  auto start = clock_type::now();
  for (auto _ : state) {
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
      producers.emplace_back([&, p] {
        int mine = batch / kProducers + (p < batch % kProducers ? 1 : 0);
        for (int i = 0; i < mine; i++) {
          mlist_item_t *item = nullptr;
          pkt_data *pd = make_packet_data(&item, DG_PKT_DEVICE_PERF, payload);
          memset(pd->body, 'x', payload);
          pd->body_len = payload;
          // A full queue is waited out, not spun on: the sender needs the CPU.
          while (add_packet_to_dgcomm(conn, item) == -3) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }
      });
    }
    for (auto &t : producers) t.join();
    sent_total += static_cast<uint64_t>(batch) * frame;
    wait_bytes(col, sent_total);
  }
  keep_rate("queue/" + std::to_string(payload), static_cast<double>(state.iterations()) * batch,
            seconds_since(start));
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * batch *
                          static_cast<int64_t>(frame));
  shutdown_dg_connection(conn);
  while (conn->thread_running_comm.load() != 0 || conn->thread_running_sender.load() != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  dg_conn_free(conn);
}

// A TCP socket connected to `port` on loopback, or -1.
int connect_loopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The same framed bytes written by one thread with plain send() calls.
void BM_PlainSendLoop(benchmark::State &state) {
  const uint32_t payload = static_cast<uint32_t>(state.range(0));
  const int batch = static_cast<int>(state.range(1));
  reader col;
  if (!col.start()) {
    state.SkipWithError("listen failed");
    return;
  }
  int fd = connect_loopback(col.port);
  if (fd < 0) {
    state.SkipWithError("connect failed");
    return;
  }
  std::vector<uint8_t> pkt(payload + NIO_HEADER_SIZE, 'x');
  memcpy(pkt.data(), g_nio_magic_number, 3);
  uint64_t sent_total = 0;
  auto start = clock_type::now();
  for (auto _ : state) {
    for (int i = 0; i < batch; i++) {
      size_t off = 0;
      while (off < pkt.size()) {
        ssize_t r = send(fd, pkt.data() + off, pkt.size() - off, MSG_NOSIGNAL);
        if (r <= 0) break;
        off += static_cast<size_t>(r);
      }
    }
    sent_total += static_cast<uint64_t>(batch) * pkt.size();
    wait_bytes(col, sent_total);
  }
  keep_rate("plain/" + std::to_string(payload), static_cast<double>(state.iterations()) * batch,
            seconds_since(start));
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * batch *
                          static_cast<int64_t>(pkt.size()));
  close(fd);
}

// The plain loop again, but building each packet as a producer must: a
// fresh zeroed heap block, the payload written into it, the frame header,
// then send() and free. It shows how much of the gap to the plain loop is
// the making of the packets rather than the link.
void BM_PlainSendLoopFreshPackets(benchmark::State &state) {
  const uint32_t payload = static_cast<uint32_t>(state.range(0));
  const int batch = static_cast<int>(state.range(1));
  reader col;
  if (!col.start()) {
    state.SkipWithError("listen failed");
    return;
  }
  int fd = connect_loopback(col.port);
  if (fd < 0) {
    state.SkipWithError("connect failed");
    return;
  }
  const size_t frame = payload + NIO_HEADER_SIZE;
  uint64_t sent_total = 0;
  auto start = clock_type::now();
  for (auto _ : state) {
    for (int i = 0; i < batch; i++) {
      uint8_t *pkt = static_cast<uint8_t *>(calloc(1, frame));
      if (pkt == nullptr) break;
      memset(pkt + NIO_HEADER_SIZE, 'x', payload);
      memcpy(pkt, g_nio_magic_number, 3);
      size_t off = 0;
      while (off < frame) {
        ssize_t r = send(fd, pkt + off, frame - off, MSG_NOSIGNAL);
        if (r <= 0) break;
        off += static_cast<size_t>(r);
      }
      free(pkt);
    }
    sent_total += static_cast<uint64_t>(batch) * frame;
    wait_bytes(col, sent_total);
  }
  keep_rate("fresh/" + std::to_string(payload), static_cast<double>(state.iterations()) * batch,
            seconds_since(start));
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * batch *
                          static_cast<int64_t>(frame));
  close(fd);
}

std::vector<uint8_t> packet_stream(int count, size_t payload) {
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(count) * (payload + NIO_HEADER_SIZE));
  for (int i = 0; i < count; i++) {
    uint32_t len = static_cast<uint32_t>(payload + NIO_SUB_HEADER_SIZE);
    uint8_t h[NIO_HEADER_SIZE] = {0xF9,
                                  0xF2,
                                  0xF8,
                                  2,
                                  4,
                                  0,
                                  0,
                                  0,
                                  static_cast<uint8_t>(len >> 24),
                                  static_cast<uint8_t>(len >> 16),
                                  static_cast<uint8_t>(len >> 8),
                                  static_cast<uint8_t>(len),
                                  0xC3,
                                  0x79};  // an unknown type: counted, not decoded
    out.insert(out.end(), h, h + NIO_HEADER_SIZE);
    out.insert(out.end(), payload, 'r');
  }
  return out;
}

std::atomic<uint64_t> g_dispatched{0};
int count_packet(const uint8_t *, uint32_t) {
  g_dispatched++;
  return 0;
}

void write_all(int fd, const std::vector<uint8_t> &data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t r = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (r <= 0) break;
    off += static_cast<size_t>(r);
  }
}

constexpr int kReceivePackets = 20000;
constexpr size_t kReceivePayload = 1024 - NIO_HEADER_SIZE;

// The reassembler reading a stream of 1 KiB packets, waking on readiness as
// DG_Comm does.
void BM_Reassembler(benchmark::State &state) {
  std::vector<uint8_t> stream = packet_stream(kReceivePackets, kReceivePayload);
  dg_conn *conn = make_dg_conn("127.0.0.1", 9010, 10);
  conn->callbacks.packet_handler = count_packet;
  auto start = clock_type::now();
  for (auto _ : state) {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    conn->sock.store(fds[0]);
    conn->recv_buffer.length = 0;
    conn->is_chk_header = 0;
    g_dispatched = 0;
    std::thread writer([&] { write_all(fds[1], stream); });
    while (g_dispatched.load() < static_cast<uint64_t>(kReceivePackets)) {
      pollfd p = {fds[0], POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      if (dg_receive_packet(conn) < 0) break;
    }
    writer.join();
    close(fds[0]);
    close(fds[1]);
  }
  conn->sock.store(-1);
  dg_conn_free(conn);
  keep_rate("reassembler", static_cast<double>(state.iterations()) * stream.size(),
            seconds_since(start));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(stream.size()));
  state.SetItemsProcessed(state.iterations() * kReceivePackets);
}

// A plain read loop over the same bytes.
void BM_PlainReadLoop(benchmark::State &state) {
  std::vector<uint8_t> stream = packet_stream(kReceivePackets, kReceivePayload);
  std::vector<uint8_t> buf(65536);
  auto start = clock_type::now();
  for (auto _ : state) {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    std::thread writer([&] { write_all(fds[1], stream); });
    size_t got = 0;
    while (got < stream.size()) {
      ssize_t r = recv(fds[0], buf.data(), buf.size(), 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    benchmark::DoNotOptimize(got);
    writer.join();
    close(fds[0]);
    close(fds[1]);
  }
  keep_rate("readloop", static_cast<double>(state.iterations()) * stream.size(),
            seconds_since(start));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(stream.size()));
  state.SetItemsProcessed(state.iterations() * kReceivePackets);
}

BENCHMARK(BM_QueueToCollector)
    ->Args({200, 20000})
    ->Args({20 * 1024, 2000})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainSendLoop)
    ->Args({200, 20000})
    ->Args({20 * 1024, 2000})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainSendLoopFreshPackets)
    ->Args({20 * 1024, 2000})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reassembler)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainReadLoop)->UseRealTime()->Unit(benchmark::kMillisecond);

void print_ratio(const char *what, const std::string &ours, const std::string &base,
                 const char *unit, double scale) {
  auto a = g_rates.find(ours);
  auto b = g_rates.find(base);
  if (a == g_rates.end() || b == g_rates.end() || b->second <= 0) return;
  printf("%-34s ours %12.1f %s, baseline %12.1f %s, ratio %.2f\n", what, a->second / scale, unit,
         b->second / scale, unit, a->second / b->second);
}

}  // namespace

int main(int argc, char **argv) {
  // VK_BENCH_MALLOC_KEEP=1 keeps freed heap memory instead of returning it
  // to the system, to show what the page faults of packets allocated on one
  // thread and freed on another cost. The agent runs with the allocator's
  // default: keeping the memory kept its resident size climbing in a soak.
  if (getenv("VK_BENCH_MALLOC_KEEP") != nullptr) {
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  }
  benchmark::Initialize(&argc, argv);
  // VK_BENCH_ROUNDS (default 3) runs of every benchmark, one after another.
  int rounds = getenv("VK_BENCH_ROUNDS") != nullptr ? atoi(getenv("VK_BENCH_ROUNDS")) : 3;
  benchmark::ConsoleReporter console(benchmark::ConsoleReporter::OO_Tabular);
  for (int r = 0; r < (rounds > 0 ? rounds : 1); r++) benchmark::RunSpecifiedBenchmarks(&console);
  printf("\n");
  print_ratio("send 200-byte packets", "queue/200", "plain/200", "pkt/s", 1.0);
  print_ratio("send 20-KiB packets", "queue/20480", "plain/20480", "pkt/s", 1.0);
  print_ratio("send 20-KiB packets, each built", "queue/20480", "fresh/20480", "pkt/s", 1.0);
  print_ratio("receive 1-KiB packets", "reassembler", "readloop", "MB/s", 1e6);
  benchmark::Shutdown();
  return 0;
}
