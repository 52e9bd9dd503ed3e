// Helpers shared by the syslog and trap receiver tests: datagrams captured
// from the real senders (`logger`, `snmptrap`) on a loopback socket, sending
// from a chosen loopback source address, a collector link marked connected
// without threads whose queue the test reads, and the stand-in collector
// tools/dg-sim with its decoded output.
#ifndef TESTS_QDR_AGENT_RECEIVERS_TEST_ENV_H
#define TESTS_QDR_AGENT_RECEIVERS_TEST_ENV_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common.h"
#include "communication.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "test_process.h"
#include "thread_manager.h"

namespace rxtest {

using bytes = std::vector<uint8_t>;

// The thread registry, initialised once per test program: a thread of an
// earlier test may still be leaving it when the next test starts.
inline void init_threads() {
  static bool done = (tm_init(), true);
  (void)done;
}

// A UDP socket bound to 127.0.0.1 on a free port.
struct udp_sink {
  int fd = -1;
  uint16_t port = 0;
  udp_sink() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0) {
      socklen_t len = sizeof(a);
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
      port = ntohs(a.sin_port);
    }
  }
  ~udp_sink() {
    if (fd >= 0) close(fd);
  }
  udp_sink(const udp_sink &) = delete;
  udp_sink &operator=(const udp_sink &) = delete;
  // Next datagram within `timeout_ms`; empty when none came.
  bytes receive(int timeout_ms = 5000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return {};
    bytes buf(65536);
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
  }
};

// Runs a sender whose arguments contain "PORT" (replaced by a sink's port)
// and returns the first datagram it sent to 127.0.0.1.
inline bytes capture(std::vector<std::string> argv, int timeout_ms = 5000) {
  udp_sink sink;
  for (std::string &a : argv) {
    size_t at = a.find("PORT");
    if (at != std::string::npos) a.replace(at, 4, std::to_string(sink.port));
  }
  vktest::run_result r = vktest::run_program(argv, {}, "", timeout_ms + 5000);
  bytes got = sink.receive(timeout_ms);
  EXPECT_FALSE(got.empty()) << argv[0] << ": " << r.out << r.err;
  return got;
}

// Sends one datagram from `src` (a loopback address) to 127.0.0.1:port.
inline bool send_from(const char *src, uint16_t port, const bytes &data) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in s{};
  s.sin_family = AF_INET;
  inet_pton(AF_INET, src, &s.sin_addr);
  sockaddr_in d{};
  d.sin_family = AF_INET;
  d.sin_port = htons(port);
  d.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bind(fd, reinterpret_cast<sockaddr *>(&s), sizeof(s)) == 0 &&
            sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&d), sizeof(d)) ==
                static_cast<ssize_t>(data.size());
  close(fd);
  return ok;
}

inline bytes text(const std::string &s) {
  return bytes(s.begin(), s.end());
}

// A collector link record marked connected, with no threads: queued packets
// stay in its queue for the test to read.
struct queue_link {
  dg_conn *conn = nullptr;
  explicit queue_link(uint32_t max = 10000) {
    dgcomm_init();
    conn = make_dg_conn("127.0.0.1", 9010, max);
    if (conn != nullptr) conn->connection_state.store(DG_STATE_CONNECTED);
    dg_link_callbacks_t cb = {};
    comm_link_callbacks(&cb);
    dg_link_set_callbacks(conn, &cb);
    gp_main_dgconn = conn;
  }
  ~queue_link() {
    gp_main_dgconn = nullptr;
    dg_conn_free(conn);
  }
  queue_link(const queue_link &) = delete;
  queue_link &operator=(const queue_link &) = delete;
  // Oldest queued packet's type and payload; type 0 when empty. Receiver
  // threads may be queueing meanwhile: the queue is read under its lock.
  uint16_t pop(bytes *payload) {
    mlist_item_t *item = nullptr;
    vkLock(&conn->queue_lock);
    auto *pd = static_cast<pkt_data *>(mlist_pop_front_data(&conn->send_queue, nullptr, &item));
    vkUnlock(&conn->queue_lock);
    if (pd == nullptr) return 0;
    uint16_t type = pd->type;
    payload->assign(pd->body, pd->body + pd->body_len);
    remove_pkt(conn, item);
    return type;
  }
  uint32_t count() { return dg_queue_count(conn); }
};

// The stand-in collector, its link and its decoded output (one JSON line a
// packet).
struct sim_link {
  vktest::temp_dir dir;
  vktest::child sim;
  dg_conn *conn = nullptr;
  std::string out;

  // Starts dg-sim and a link to it; false when either fails. The agent
  // functions are not run on activation: the test starts what it needs.
  bool start() {
    static bool facts = (common_init(), true);
    (void)facts;
    out = dir.path + "/packets.jsonl";
    std::string port_file = dir.path + "/port";
    sim = vktest::start_program(
        {vktest::built_program("tools/dg-sim/dg-sim"), "--port", "0", "--port-file", port_file,
         "--out", out, "--quiet", "--agent-id", "rx-agent"},
        dir.path);
    if (sim.pid <= 0) return false;
    if (!vktest::wait_until([&] { return vktest::file_exists(port_file); }, 15000)) return false;
    uint16_t port =
        static_cast<uint16_t>(strtoul(vktest::read_file(port_file).c_str(), nullptr, 10));
    dgcomm_init();
    conn = make_dg_conn("127.0.0.1", port, 1000);
    if (conn == nullptr) return false;
    dg_link_callbacks_t cb = {};
    comm_link_callbacks(&cb);
    cb.activate = [] { return 0; };
    cb.deactivate = [] { return 0; };
    dg_link_set_callbacks(conn, &cb);
    gp_main_dgconn = conn;
    if (create_dg_connection(conn) != 0) return false;
    return vktest::wait_until([&] { return conn->connection_state.load() == DG_STATE_CONNECTED; },
                              10000);
  }
  ~sim_link() {
    if (conn != nullptr) {
      shutdown_dg_connection(conn);
      bool ended = vktest::wait_until(
          [&] {
            return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
          },
          10000);
      gp_main_dgconn = nullptr;
      if (ended) dg_conn_free(conn);
    }
    if (sim.pid > 0) vktest::stop_program(sim);
  }
  // dg-sim's lines that contain `what`.
  std::vector<std::string> lines_with(const std::string &what) {
    return vktest::read_lines(out, what);
  }
};

// Hex text as dg-sim prints bytes.
inline std::string hex(const std::string &s) {
  static const char *digits = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += digits[c >> 4];
    h += digits[c & 15];
  }
  return h;
}

}  // namespace rxtest

#endif  // TESTS_QDR_AGENT_RECEIVERS_TEST_ENV_H
