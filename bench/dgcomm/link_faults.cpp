// How fast the collector link notices a collector that misbehaves, and what
// one large inbound frame leaves resident. Prints figures for one build; run
// it from bench/dgcomm/link_faults.sh, which runs the same measurements on a
// baseline build (another tree) and prints both.
//
//   bench_dgcomm_faults stop-reading ROUNDS
//       A loopback collector reads for a while, then stops reading; the
//       agent keeps queueing 64 KiB packets. Prints the seconds from the stop
//       to the link dropping the connection, per round.
//   bench_dgcomm_faults vanish IP PORT COMMAND LIMIT_SEC
//       Connects to a collector at IP:PORT, idles 2 s, runs COMMAND (which
//       makes the collector vanish without closing), and prints the seconds
//       until the link drops the connection, or that it did not within
//       LIMIT_SEC.
//   bench_dgcomm_faults rss MB
//       Feeds one MB-megabyte frame through a socket pair into the
//       reassembler and prints the resident set before and after.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dgcomm.h"
#include "dgcomm_packet.h"

namespace {

using steady = std::chrono::steady_clock;

std::atomic<int> g_drops{0};
std::atomic<int64_t> g_drop_ns{0};

int no_activate() {
  return 0;
}

// What the links of this program call: no agent functions, a drop noted.
dg_link_callbacks_t g_link_callbacks = {};

int note_drop() {
  g_drop_ns.store(steady::now().time_since_epoch().count());
  g_drops.fetch_add(1);
  return 0;
}

double since_sec(steady::time_point t0) {
  return std::chrono::duration<double>(steady::duration(g_drop_ns.load()) - t0.time_since_epoch())
      .count();
}

bool wait_for(const std::atomic<int> &v, int at_least, int limit_ms) {
  for (int i = 0; i < limit_ms / 5; i++) {
    if (v.load() >= at_least) return true;
    usleep(5000);
  }
  return v.load() >= at_least;
}

bool connected(const dg_conn *c) {
  return c->connection_state.load() == DG_STATE_CONNECTED && c->reconnect_flag.load() == 0;
}

void queue_one(dg_conn *c, uint32_t size) {
  mlist_item_t *item = nullptr;
  pkt_data *pd = make_packet_data(&item, DG_PKT_DEVICE_PERF, size);
  if (pd == nullptr) return;
  memset(pd->body, 'x', size);
  pd->body_len = size;
  if (add_packet_to_dgcomm(c, item) != 0) remove_pkt(c, item);
}

int stop_reading(int rounds) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 || listen(lfd, 4) != 0) {
    return 1;
  }
  socklen_t len = sizeof(sa);
  getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len);
  dg_conn *c = make_dg_conn("127.0.0.1", ntohs(sa.sin_port), 1000);
  dg_link_set_callbacks(c, &g_link_callbacks);
  if (c == nullptr || create_dg_connection(c) != 0) return 1;
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    while (!stop.load()) {
      if (connected(c) && dg_queue_count(c) < 64) {
        queue_one(c, 64 * 1024);
      } else {
        usleep(1000);
      }
    }
  });
  std::vector<double> seen;
  for (int r = 0; r < rounds; r++) {
    int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0) break;
    // Read for a second so that the link is in full flow, then stop.
    static char buf[1 << 16];
    steady::time_point until = steady::now() + std::chrono::seconds(1);
    while (steady::now() < until) {
      if (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) < 0) usleep(1000);
    }
    int drops = g_drops.load();
    steady::time_point t0 = steady::now();
    bool dropped = wait_for(g_drops, drops + 1, 120000);
    double s = dropped ? since_sec(t0) : -1;
    printf("stop-reading round %d: %s %.2f s\n", r + 1,
           dropped ? "noticed after" : "not noticed in", dropped ? s : 120.0);
    fflush(stdout);
    if (dropped) seen.push_back(s);
    close(fd);
  }
  double sum = 0;
  for (double s : seen) sum += s;
  if (!seen.empty())
    printf("stop-reading mean: %.2f s over %zu rounds\n", sum / seen.size(), seen.size());
  stop = true;
  producer.join();
  shutdown_dg_connection(c);
  close(lfd);
  return 0;
}

int vanish(const char *ip, uint16_t port, const char *command, int limit_sec) {
  dg_conn *c = make_dg_conn(ip, port, 1000);
  dg_link_set_callbacks(c, &g_link_callbacks);
  if (c == nullptr || create_dg_connection(c) != 0) return 1;
  for (int i = 0; i < 2000 && !connected(c); i++) usleep(5000);
  if (!connected(c)) {
    printf("vanish: never connected\n");
    return 1;
  }
  sleep(2);
  int drops = g_drops.load();
  steady::time_point t0 = steady::now();
  if (system(command) != 0) printf("vanish: command failed: %s\n", command);
  bool dropped = wait_for(g_drops, drops + 1, limit_sec * 1000);
  if (dropped) {
    printf("vanish: noticed after %.2f s\n", since_sec(t0));
  } else {
    printf("vanish: not noticed in %d s\n", limit_sec);
  }
  shutdown_dg_connection(c);
  return 0;
}

long rss_kib() {
  FILE *fp = fopen("/proc/self/status", "r");
  if (fp == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof(line), fp) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  }
  fclose(fp);
  return kib;
}

std::atomic<int> g_frames{0};
int count_frame(const uint8_t *, uint32_t) {
  g_frames.fetch_add(1);
  return 0;
}

int rss(uint32_t mb) {
  dgcomm_init();
  dg_conn *c = make_dg_conn("127.0.0.1", 1, 10);
  int sv[2];
  if (c == nullptr || socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 1;
  c->callbacks.packet_handler = count_frame;
  c->sock.store(sv[0]);
  long before = rss_kib();
  uint32_t body = mb * 1000000u;
  std::thread writer([&] {
    std::vector<uint8_t> frame(static_cast<size_t>(body) + 12, 'y');
    const uint8_t head[12] = {0xF9,
                              0xF2,
                              0xF8,
                              2,
                              4,
                              0,
                              0,
                              0,
                              static_cast<uint8_t>(body >> 24),
                              static_cast<uint8_t>(body >> 16),
                              static_cast<uint8_t>(body >> 8),
                              static_cast<uint8_t>(body)};
    memcpy(frame.data(), head, sizeof(head));
    memset(frame.data() + 12, 0, 11);
    size_t off = 0;
    while (off < frame.size()) {
      ssize_t w = write(sv[1], frame.data() + off, frame.size() - off);
      if (w <= 0) break;
      off += static_cast<size_t>(w);
    }
  });
  while (g_frames.load() == 0) {
    pollfd p = {sv[0], POLLIN, 0};
    poll(&p, 1, 1000);
    if (dg_receive_packet(c) != 0) {
      printf("rss: reassembler refused the frame\n");
      break;
    }
  }
  writer.join();
  long after = rss_kib();
  printf("rss: before %ld KiB, after one %u MB frame %ld KiB\n", before, mb, after);
  c->sock.store(-1);
  close(sv[0]);
  close(sv[1]);
  dg_conn_free(c);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  g_link_callbacks.activate = no_activate;
  g_link_callbacks.deactivate = note_drop;
  dgcomm_init();
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "stop-reading" && argc == 3) return stop_reading(atoi(argv[2]));
  if (mode == "vanish" && argc == 6) {
    return vanish(argv[2], static_cast<uint16_t>(atoi(argv[3])), argv[4], atoi(argv[5]));
  }
  if (mode == "rss" && argc == 3) return rss(static_cast<uint32_t>(atoi(argv[2])));
  fprintf(stderr, "usage: %s stop-reading ROUNDS | vanish IP PORT COMMAND LIMIT_SEC | rss MB\n",
          argv[0]);
  return 2;
}
