// The collector connection manager against a small loopback collector run
// inside the test: connect, reconnect reasons, the bounded queue while the
// collector stops reading, the send hang limit, shutdown, and the hex dump
// of a failed send, the memory of a frame cut short, and the syslog and
// trap packets a dropped link had not sent, which go out on the next one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "communication.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "event_buffer.h"
#include "test_process.h"
#include "vk_clock.h"
#include "vk_comm.h"
#include "vklog.h"

namespace {

std::atomic<int> g_activations{0};
std::atomic<int> g_deactivations{0};
int count_activate() {
  return ++g_activations, 0;
}
int count_deactivate() {
  return ++g_deactivations, 0;
}

// Accepts connections on 127.0.0.1 and reads (or, when told, stops reading)
// whatever arrives, splitting it into frames and keeping the bodies of
// syslog frames in arrival order. Everything runs on one thread with 20 ms
// polls. kill() closes every connection with its unread bytes (the peer
// sees a reset) and the listening socket, as a collector process that
// dies; start() again on the same port is its restart.
struct loop_collector {
  int listen_fd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::atomic<bool> reading{true};
  std::atomic<bool> close_now{false};
  std::atomic<int> accepted{0};
  std::atomic<size_t> bytes_read{0};
  std::mutex mu;
  std::vector<std::string> syslog_bodies;  // guarded by mu
  std::thread th;

  bool start() {
    listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd < 0) return false;
    int on = 1;
    setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
      ADD_FAILURE() << "bind 127.0.0.1:" << port << ": " << strerror(errno);
      return false;
    }
    if (listen(listen_fd, 8) != 0) return false;
    socklen_t len = sizeof(sa);
    getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
    stop = false;
    th = std::thread([this] { run(); });
    return true;
  }

  // Takes whole frames off the front of `in`.
  void frames(std::string *in) {
    while (in->size() >= NIO_HEADER_SIZE) {
      const uint8_t *b = reinterpret_cast<const uint8_t *>(in->data());
      size_t total = NIO_MAIN_HEADER_SIZE + size_t{vk_get_be32(b + 8)};
      if (in->size() < total) return;
      if (vk_get_be16(b + NIO_MAIN_HEADER_SIZE) == DG_PKT_SYSLOG) {
        std::lock_guard<std::mutex> g(mu);
        syslog_bodies.push_back(in->substr(NIO_HEADER_SIZE, total - NIO_HEADER_SIZE));
      }
      in->erase(0, total);
    }
  }

  void run() {
    std::vector<std::pair<int, std::string>> conns;
    std::vector<char> buf(1 << 16);
    for (int round = 0; !stop.load() && round < 100000; round++) {
      std::vector<pollfd> pfds;
      pfds.push_back({listen_fd, POLLIN, 0});
      if (reading.load()) {
        for (const auto &c : conns) pfds.push_back({c.first, POLLIN, 0});
      }
      poll(pfds.data(), pfds.size(), 20);
      if (close_now.exchange(false)) {
        for (const auto &c : conns) close(c.first);
        conns.clear();
        continue;
      }
      if ((pfds[0].revents & POLLIN) != 0) {
        int c = accept(listen_fd, nullptr, nullptr);
        if (c >= 0) {
          conns.emplace_back(c, std::string());
          accepted++;
        }
      }
      for (size_t i = 1; i < pfds.size(); i++) {
        if ((pfds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        auto &c = conns[i - 1];
        ssize_t r = recv(c.first, buf.data(), buf.size(), MSG_DONTWAIT);
        if (r > 0) {
          bytes_read += static_cast<size_t>(r);
          c.second.append(buf.data(), static_cast<size_t>(r));
          frames(&c.second);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
          close(c.first);
          c.first = -1;
        }
      }
      conns.erase(std::remove_if(conns.begin(), conns.end(),
                                 [](const std::pair<int, std::string> &c) { return c.first < 0; }),
                  conns.end());
    }
    for (const auto &c : conns) close(c.first);
  }

  void kill() {
    stop = true;
    if (th.joinable()) th.join();
    if (listen_fd >= 0) close(listen_fd);
    listen_fd = -1;
  }

  std::vector<std::string> bodies() {
    std::lock_guard<std::mutex> g(mu);
    return syslog_bodies;
  }

  ~loop_collector() { kill(); }
};

class DgConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    comm_link_callbacks(&cb);
    cb.activate = count_activate;
    cb.deactivate = count_deactivate;
    g_activations = 0;
    g_deactivations = 0;
    dgcomm_init();
    if (getenv("DG_TEST_LOG") != nullptr) g_vklog = vklog_get_category(nullptr);
    // A failed send dumps "send.hex" into the working directory.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    old_cwd = cwd;
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
  void TearDown() override {
    if (conn != nullptr) {
      shutdown_dg_connection(conn);
      bool ended = vktest::wait_until(
          [&] {
            return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
          },
          10000);
      EXPECT_TRUE(ended);
      if (gp_main_dgconn == conn) gp_main_dgconn = nullptr;
      if (ended) {
        EXPECT_EQ(dg_conn_free(conn), 0);
      }
    }
    evbuf_clear();
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  void start(uint16_t port, uint32_t queue_max = 1000) {
    conn = make_dg_conn("127.0.0.1", port, queue_max);
    ASSERT_NE(conn, nullptr);
    dg_link_set_callbacks(conn, &cb);
    gp_main_dgconn = conn;
    ASSERT_EQ(create_dg_connection(conn), 0);
  }
  bool connected() const {
    return conn->connection_state.load() == DG_STATE_CONNECTED && conn->reconnect_flag.load() == 0;
  }
  // Queues one packet with `size` payload bytes; returns the queue's answer.
  int queue(uint32_t size) {
    mlist_item_t *item = nullptr;
    pkt_data *pd = make_packet_data(&item, DG_PKT_DEVICE_PERF, size);
    if (pd == nullptr) return -100;
    memset(pd->body, 'p', size);
    pd->body_len = size;
    int r = add_packet_to_dgcomm(conn, item);
    if (r != 0) remove_pkt(conn, item);
    return r;
  }

  vktest::temp_dir dir;
  std::string old_cwd;
  dg_link_callbacks_t cb = {};
  dg_conn *conn = nullptr;
};

TEST(DgConnRecord, RefusesMissingOrOverlongAddressAndBadPorts) {
  EXPECT_EQ(make_dg_conn(nullptr, 9010, 10), nullptr);
  EXPECT_EQ(make_dg_conn("127.0.0.1", 0, 10), nullptr);
  EXPECT_EQ(make_dg_conn(std::string(48, 'a').c_str(), 9010, 10), nullptr);
  for (const char *bad : {"", "90x", "65536", "-1", " 9010", "0"}) {
    EXPECT_EQ(make_dg_conn_by_string("127.0.0.1", bad, 10), nullptr) << bad;
  }
  dg_conn *c = make_dg_conn_by_string(std::string(47, 'a').c_str(), "65535", 10);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->port, 65535);
  EXPECT_EQ(c->sock.load(), -1);
  EXPECT_EQ(c->recv_buffer.size, DATA_BUFFER_SIZE_MAX);
  EXPECT_EQ(add_packet_to_dgcomm(nullptr, nullptr), -1);
  mlist_item_t *item = nullptr;
  ASSERT_NE(make_packet_data(&item, 1, 1), nullptr);
  EXPECT_EQ(add_packet_to_dgcomm(c, item), -2);  // not connected: stays the caller's
  remove_pkt(c, item);
  EXPECT_EQ(dg_conn_free(c), 0);
  EXPECT_EQ(dg_conn_free(nullptr), 0);
  EXPECT_EQ(create_dg_connection(nullptr), -1);
}

TEST(DgConnRecord, NamesPacketTypesByDirection) {
  EXPECT_STREQ(dg_send_packet_type_name(54002), "DESCOVERY_DEVICE");
  EXPECT_STREQ(dg_send_packet_type_name(50036), "UNKNOWN");
  EXPECT_STREQ(dg_recv_packet_type_name(50036), "RES_AGENT_INFO");
  EXPECT_STREQ(dg_recv_packet_type_name(54002), "UNKNOWN");
}

TEST_F(DgConnection, ReconnectsAfterThePeerClosesWithFreshSendCounters) {
  loop_collector col;
  ASSERT_TRUE(col.start());
  start(col.port);
  ASSERT_TRUE(vktest::wait_until([&] { return col.accepted.load() == 1 && connected(); }, 5000));
  // The connected socket: a send time-out above the 3 s hang limit, reset
  // on close, address reuse, keepalive.
  int fd = conn->sock.load();
  struct timeval tv = {};
  socklen_t len = sizeof(tv);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
  EXPECT_GT(tv.tv_sec * 1000 + tv.tv_usec / 1000, DG_SEND_TIMEOUT_MSEC);
  const std::pair<int, int> keepalive[] = {{SOL_SOCKET, SO_KEEPALIVE},
                                           {IPPROTO_TCP, TCP_KEEPIDLE},
                                           {IPPROTO_TCP, TCP_KEEPINTVL},
                                           {IPPROTO_TCP, TCP_KEEPCNT},
                                           {IPPROTO_TCP, TCP_USER_TIMEOUT}};
  const int want[] = {1, DG_KEEPALIVE_IDLE_SEC, DG_KEEPALIVE_INTERVAL_SEC, DG_KEEPALIVE_COUNT,
                      DG_USER_TIMEOUT_MSEC};
  for (size_t i = 0; i < 5; i++) {
    int v = 0;
    len = sizeof(v);
    ASSERT_EQ(getsockopt(fd, keepalive[i].first, keepalive[i].second, &v, &len), 0);
    EXPECT_EQ(v, want[i]) << i;
  }
  struct linger lg = {};
  len = sizeof(lg);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
  EXPECT_EQ(lg.l_onoff, 1);
  EXPECT_EQ(lg.l_linger, 0);
  int reuse = 0;
  len = sizeof(reuse);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len), 0);
  EXPECT_NE(reuse, 0);
  // Four partial sends and ten empty sends on this connection: one more of
  // either would end it. A new connection must start counting from zero.
  conn->resend_count.store(4);
  conn->remote_hang_count.store(10);
  conn->send_tcp_count.store(7);
  col.close_now = true;
  ASSERT_TRUE(
      vktest::wait_until([&] { return conn->reconnect_flag.load() != 0 || !connected(); }, 5000));
  ASSERT_TRUE(vktest::wait_until([&] { return col.accepted.load() == 2 && connected(); }, 10000));
  EXPECT_EQ(conn->resend_count.load(), 0u);
  EXPECT_EQ(conn->remote_hang_count.load(), 0u);
  EXPECT_EQ(conn->send_tcp_zero_count.load(), 0u);
  EXPECT_GE(g_deactivations.load(), 1);
  EXPECT_EQ(queue(100), 0);
  ASSERT_TRUE(vktest::wait_until([&] { return col.bytes_read.load() >= 123; }, 5000));
}

TEST_F(DgConnection, ReconnectReasonDropsTheQueueAndReconnects) {
  loop_collector col;
  ASSERT_TRUE(col.start());
  start(col.port);
  ASSERT_TRUE(vktest::wait_until([&] { return connected(); }, 5000));
  col.reading = false;
  dg_reconnect_with_status(conn, DG_RECONNECT_INIT_FAILED);
  EXPECT_EQ(queue(10), -2);  // a pending reason refuses packets at once
  ASSERT_TRUE(vktest::wait_until([&] { return col.accepted.load() == 2 && connected(); }, 10000));
  EXPECT_LE(dg_queue_count(conn), 1u);  // at most the new agent information request
  EXPECT_GE(g_deactivations.load(), 1);
}

TEST_F(DgConnection, RefusesThePacketBeyondTheLimitWhileTheSenderIsStalled) {
  loop_collector col;
  ASSERT_TRUE(col.start());
  start(col.port, 1000);
  ASSERT_TRUE(vktest::wait_until([&] { return connected(); }, 5000));
  col.reading = false;
  // Fill the socket buffers until the sender stays blocked in one send
  // call (the same call in progress across a 300 ms look).
  bool stalled = false;
  for (int i = 0; i < 400 && !stalled; i++) {
    ASSERT_EQ(queue(256 * 1024), 0) << "packet " << i;
    if (dg_queue_count(conn) < 2) continue;
    uint64_t started = conn->send_start_time.load();
    vktest::wait_until([&] { return conn->send_start_time.load() != started; }, 300);
    stalled = started != 0 && conn->send_start_time.load() == started;
  }
  ASSERT_TRUE(stalled);
  int accepted = 0;
  int refused = 0;
  for (int i = 0; i < 1100 && refused == 0; i++) {
    int r = queue(16);
    if (r == 0) accepted++;
    if (r == -3) refused = 1;
    ASSERT_TRUE(r == 0 || r == -3) << r;
  }
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(dg_queue_count(conn), 1000u);
  EXPECT_GE(accepted, 900);

  // The send blocked for more than 3 s ends the connection; the next one
  // starts with an empty queue.
  ASSERT_TRUE(vktest::wait_until([&] { return col.accepted.load() == 2 && connected(); }, 20000));
  EXPECT_GE(g_deactivations.load(), 1);
  EXPECT_LE(dg_queue_count(conn), 1u);
}

int hold_events_on_drop() {
  evbuf_set_link_ready(0);
  return count_deactivate();
}

// The collector stops reading while syslog batches pour in, dies with the
// link's socket buffers and send queue full, and comes back: every packet
// still in the queue, and the one whose send the death cut, arrives at the
// restarted collector, in order and once. Only what the agent's socket
// had taken in full before the death may be missing, at the start.
TEST_F(DgConnection, EventsQueuedWhenTheCollectorDiesArriveAfterItsRestartInOrder) {
  cb.deactivate = hold_events_on_drop;
  evbuf_init(64u << 20);
  loop_collector col;
  col.reading = false;  // from the start: every packet stays with the agent or its socket
  ASSERT_TRUE(col.start());
  start(col.port, 1000);
  ASSERT_TRUE(vktest::wait_until([&] { return connected(); }, 5000));
  evbuf_set_link_ready(1);  // the collector answered the handshake
  // Batches of 32 KiB syslog packets until the sender stays in one send
  // call across a 300 ms look: the socket buffers are full.
  const std::string pad(32 * 1024, '.');
  int sent = 0;
  bool stalled = false;
  while (sent < 900 && !stalled && connected()) {
    for (int n = 0; n < 20; n++, sent++) {
      mlist_item_t *pkt = nullptr;
      char head[16];
      snprintf(head, sizeof(head), "%06d", sent);
      std::string body = head + pad;
      pkt_data *pd = make_packet_data(&pkt, DG_PKT_SYSLOG, static_cast<uint32_t>(body.size()));
      ASSERT_NE(pd, nullptr);
      memcpy(pd->body, body.data(), body.size());
      pd->body_len = static_cast<uint32_t>(body.size());
      ASSERT_GE(evbuf_submit(pkt, 1, "test"), 0) << sent;
    }
    uint64_t started = conn->send_start_time.load();
    vktest::wait_until([&] { return conn->send_start_time.load() != started; }, 300);
    stalled = started != 0 && conn->send_start_time.load() == started;
  }
  // Stalled, or the hang check already dropped the link (what it had not
  // sent is then held already).
  ASSERT_TRUE(stalled || !connected());
  uint32_t queued = dg_queue_count(conn);
  col.kill();
  ASSERT_TRUE(vktest::wait_until([&] { return !connected(); }, 30000));
  col.reading = true;
  col.accepted = 0;
  ASSERT_TRUE(col.start());
  ASSERT_TRUE(vktest::wait_until([&] { return col.accepted.load() >= 1 && connected(); }, 20000));
  evbuf_set_link_ready(1);
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        auto got = col.bodies();
        return !got.empty() && atoi(got.back().substr(0, 6).c_str()) == sent - 1;
      },
      30000));
  std::vector<std::string> got = col.bodies();
  ASSERT_FALSE(got.empty());
  int first = atoi(got[0].substr(0, 6).c_str());
  EXPECT_EQ(got.size(), static_cast<size_t>(sent - first));
  for (size_t i = 0; i < got.size(); i++) {
    ASSERT_EQ(atoi(got[i].substr(0, 6).c_str()), first + static_cast<int>(i)) << i;
    ASSERT_EQ(got[i].size(), 6 + pad.size()) << i;
  }
  // The queue's packets and the cut one, at least.
  EXPECT_GE(got.size(), size_t{queued} + 1);
  evbuf_stats_t s;
  evbuf_get_stats(&s);
  EXPECT_EQ(s.dropped_events, 0u);
  EXPECT_GE(s.sent_late_events, uint64_t{queued} + 1);
}

// The link's outside world replaced through conn->ops: a connect that hands
// out one end of a socket pair (or fails), a send that answers as the test
// row says, and a monotonic clock that runs ten times faster than real time
// so that the 3 s limits pass in a few hundred milliseconds.
enum fake_send_mode {
  SEND_ALL,
  SEND_ONE_BYTE,
  SEND_NOTHING,
  SEND_FAIL,
  SEND_TOO_MUCH,
  SEND_BLOCK,       // until the link closes the socket
  SEND_BLOCK_HARD,  // until the test lets go
};

std::atomic<int> g_mode{SEND_ALL};
std::atomic<bool> g_connect_fails{false};
std::atomic<int> g_connects{0};
std::atomic<bool> g_release{false};
std::mutex g_seam_mu;
std::vector<int> g_peer_fds;            // the test's ends of the socket pairs
std::vector<uint64_t> g_connect_times;  // fast clock at each connect call
std::vector<int> g_sends_per_conn;      // send calls, by connection number
std::vector<int> g_drop_reasons;        // reconnect_flag when a socket was closed
// Syslog and trap bodies of whole frames sent (SEND_ALL), with the connection number.
std::vector<std::pair<int, std::string>> g_event_frames;
int g_frames_torn = 0;       // sends on the first connection that did not start a whole frame
uint64_t g_frame_bytes = 0;  // bytes of the whole frames handed to send
dg_conn *g_seam_conn = nullptr;

uint64_t fast_clock() {
  return g_vk_clock_system.monotonic_nsec() / 100000u + 1u;
}

int fake_connect(int *fd, const char *, uint16_t) {
  std::lock_guard<std::mutex> g(g_seam_mu);
  g_connect_times.push_back(fast_clock());
  if (g_connect_fails.load()) return -1;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -1;
  g_peer_fds.push_back(sv[1]);
  g_sends_per_conn.resize(static_cast<size_t>(g_connects.fetch_add(1) + 2));
  *fd = sv[0];
  return 0;
}

ssize_t fake_send(int sock, const void *buf, size_t len, int) {
  {
    std::lock_guard<std::mutex> g(g_seam_mu);
    g_sends_per_conn[static_cast<size_t>(g_connects.load())]++;
    const uint8_t *b = static_cast<const uint8_t *>(buf);
    if (len < 12 || b[0] != 0xF9 || vk_get_be32(b + 8) + 12u != len) {
      if (g_connects.load() == 1) g_frames_torn++;
    } else {
      g_frame_bytes += len;
      uint16_t type = vk_get_be16(b + NIO_MAIN_HEADER_SIZE);
      if (g_mode.load() == SEND_ALL && (type == DG_PKT_SYSLOG || type == DG_PKT_SNMP_TRAP)) {
        g_event_frames.emplace_back(g_connects.load(),
                                    std::string(reinterpret_cast<const char *>(b) + NIO_HEADER_SIZE,
                                                len - NIO_HEADER_SIZE));
      }
    }
  }
  switch (g_mode.load()) {
    case SEND_ONE_BYTE:
      return 1;
    case SEND_NOTHING:
      return 0;
    case SEND_FAIL:
      errno = EPIPE;
      return -1;
    case SEND_TOO_MUCH:
      return static_cast<ssize_t>(len + 100);
    case SEND_BLOCK:
    case SEND_BLOCK_HARD:
      for (int i = 0; i < 5000 && !g_release.load(); i++) {
        if (g_mode.load() == SEND_BLOCK && g_seam_conn->sock.load() != sock) break;
        usleep(1000);
      }
      errno = EPIPE;
      return -1;
    default:
      return static_cast<ssize_t>(len);
  }
}

int record_drop() {
  std::lock_guard<std::mutex> g(g_seam_mu);
  g_drop_reasons.push_back(g_seam_conn->reconnect_flag.load());
  return 0;
}

class DgSeam : public DgConnection {
 protected:
  void SetUp() override {
    DgConnection::SetUp();
    cb.deactivate = record_drop;
    reset();
  }
  void reset() {
    g_mode = SEND_ALL;
    g_connect_fails = false;
    g_connects = 0;
    g_release = false;
    g_frames_torn = 0;
    g_frame_bytes = 0;
    g_connect_times.clear();
    g_sends_per_conn.assign(1, 0);
    g_drop_reasons.clear();
    g_event_frames.clear();
  }
  void TearDown() override {
    stop();
    DgConnection::TearDown();
  }
  void stop() {
    g_release = true;
    if (conn != nullptr) {
      shutdown_dg_connection(conn);
      ASSERT_TRUE(vktest::wait_until(
          [&] {
            return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
          },
          10000));
      EXPECT_EQ(dg_conn_free(conn), 0);
      conn = nullptr;
      gp_main_dgconn = nullptr;
    }
    for (int fd : g_peer_fds) close(fd);
    g_peer_fds.clear();
  }
  void start_seam(bool fast = true) {
    conn = make_dg_conn("127.0.0.1", 9, 1000);
    ASSERT_NE(conn, nullptr);
    dg_link_set_callbacks(conn, &cb);
    conn->ops.connect = fake_connect;
    conn->ops.send = fake_send;
    if (fast) conn->ops.monotonic_msec = fast_clock;
    g_seam_conn = conn;
    gp_main_dgconn = conn;
    ASSERT_EQ(create_dg_connection(conn), 0);
  }
  size_t drops() {
    std::lock_guard<std::mutex> g(g_seam_mu);
    return g_drop_reasons.size();
  }
};

TEST_F(DgSeam, RetriesEveryThreeSecondsWhileTheCollectorIsDownAndRefusesPackets) {
  g_connect_fails = true;
  start_seam();
  ASSERT_TRUE(vktest::wait_until(
      [] {
        std::lock_guard<std::mutex> g(g_seam_mu);
        return g_connect_times.size() >= 3;
      },
      10000));
  EXPECT_EQ(queue(10), -2);
  std::lock_guard<std::mutex> g(g_seam_mu);
  for (size_t i = 1; i < g_connect_times.size(); i++) {
    EXPECT_GE(g_connect_times[i] - g_connect_times[i - 1], uint64_t{DG_RECONNECT_PAUSE_MSEC}) << i;
  }
  EXPECT_TRUE(g_drop_reasons.empty());  // no socket was ever open
}

// Each way a send can go wrong, and a frame stalled mid-way, ends the
// connection with its reason after exactly as many send calls as the limit
// allows; the first drop tells which.
TEST_F(DgSeam, SendResultsAndStalledFramesEndTheConnectionByTheirRules) {
  struct row {
    fake_send_mode mode;
    int reason;  // reconnect_flag when the socket is closed
    int calls;   // send calls on the first connection (-1: any)
  } const rows[] = {
      {SEND_ONE_BYTE, DG_RECONNECT_RESEND, 5},
      {SEND_NOTHING, DG_RECONNECT_REMOTE_HANG, 11},
      {SEND_FAIL, DG_RECONNECT_SEND_FAILED, 1},
      {SEND_BLOCK, 0, 1},  // the hang check closes it while the send runs
      {SEND_ALL, 0, -1},   // sends are fine, an inbound frame stops half-way
  };
  // A header announcing 100 bytes, and 8 of them: the rest never comes.
  const uint8_t part[20] = {0xF9, 0xF2, 0xF8, 2, 4, 0, 0, 0, 0, 0, 0, 100};
  for (const row &r : rows) {
    SCOPED_TRACE(r.mode);
    reset();
    g_mode = r.mode;
    start_seam();
    // The rules may end the connection before a poll could see it up.
    ASSERT_TRUE(vktest::wait_until(
        [&] { return connected() || conn->reconnect_flag.load() != 0 || drops() >= 1; }, 5000));
    queue(100);
    if (r.mode == SEND_ALL) {
      std::lock_guard<std::mutex> g(g_seam_mu);
      ASSERT_EQ(write(g_peer_fds.back(), part, sizeof(part)), static_cast<ssize_t>(sizeof(part)));
    }
    ASSERT_TRUE(vktest::wait_until([&] { return drops() >= 1 && g_connects.load() >= 2; }, 15000));
    {
      std::lock_guard<std::mutex> g(g_seam_mu);
      EXPECT_EQ(g_drop_reasons[0], r.reason);
      if (r.calls >= 0) {
        EXPECT_EQ(g_sends_per_conn[1], r.calls);
      }
      EXPECT_EQ(g_frames_torn, r.mode == SEND_ONE_BYTE ? 4 : 0);
    }
    stop();
  }
}

TEST_F(DgSeam, ASendReportingMoreThanTheFrameEndsThatFrameOnly) {
  g_mode = SEND_TOO_MUCH;
  start_seam();
  ASSERT_TRUE(vktest::wait_until([&] { return connected(); }, 5000));
  ASSERT_EQ(queue(100), 0);
  ASSERT_EQ(queue(200), 0);
  // Each frame counts as sent once, with its own length; the next call
  // begins the next whole frame.
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        std::lock_guard<std::mutex> g(g_seam_mu);
        return dg_queue_count(conn) == 0 && g_frame_bytes >= 123u + 223u &&
               conn->send_tcp_size.load() == g_frame_bytes;
      },
      5000));
  std::lock_guard<std::mutex> g(g_seam_mu);
  EXPECT_EQ(g_frames_torn, 0);
  EXPECT_TRUE(g_drop_reasons.empty());
  EXPECT_EQ(g_connects.load(), 1);
}

int record_drop_and_hold() {
  evbuf_set_link_ready(0);
  return record_drop();
}

// A syslog packet cut after a few bytes, when the link drops, goes again
// whole on the next connection, ahead of the packets queued behind it and
// of the events that came during the drop; each goes out whole once.
TEST_F(DgSeam, APacketCutByADropIsSentAgainWholeAheadOfNewerEvents) {
  cb.deactivate = record_drop_and_hold;
  evbuf_init(1 << 20);
  start_seam();
  // The agent information request has gone whole.
  ASSERT_TRUE(
      vktest::wait_until([&] { return connected() && conn->send_tcp_count.load() >= 1; }, 5000));
  evbuf_set_link_ready(1);
  g_mode = SEND_ONE_BYTE;
  auto submit = [](const char *text, uint16_t type) {
    mlist_item_t *pkt = nullptr;
    pkt_data *pd = make_packet_data(&pkt, type, 8);
    pd->body_len = static_cast<uint32_t>(strlen(text));
    memcpy(pd->body, text, pd->body_len);
    return evbuf_submit(pkt, 1, "test");
  };
  for (const char *text : {"a", "b"}) EXPECT_GE(submit(text, DG_PKT_SYSLOG), 0);
  EXPECT_GE(submit("c", DG_PKT_SNMP_TRAP), 0);
  // Five one-byte sends of "a" end the connection.
  ASSERT_TRUE(vktest::wait_until([&] { return drops() >= 1; }, 5000));
  g_mode = SEND_ALL;
  EXPECT_EQ(submit("d", DG_PKT_SYSLOG), EVBUF_HELD);
  ASSERT_TRUE(vktest::wait_until(
      [&] { return g_connects.load() >= 2 && connected() && conn->send_tcp_count.load() >= 1; },
      10000));
  evbuf_set_link_ready(1);
  const std::vector<std::pair<int, std::string>> want = {{2, "a"}, {2, "b"}, {2, "c"}, {2, "d"}};
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        std::lock_guard<std::mutex> g(g_seam_mu);
        return g_event_frames.size() >= want.size();
      },
      5000));
  std::lock_guard<std::mutex> g(g_seam_mu);
  EXPECT_EQ(g_event_frames, want);
  EXPECT_EQ(g_frames_torn, 4);  // the sends of "a" after its first byte
  EXPECT_EQ(g_drop_reasons.size(), 1u);
}

// Resident pages among the first `len` bytes at `p`.
size_t resident_pages(const uint8_t *p, size_t len) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t first = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(p) + len) & ~(page - 1);
  std::vector<unsigned char> vec((end - first) / page);
  if (mincore(reinterpret_cast<void *>(first), end - first, vec.data()) != 0) return SIZE_MAX;
  size_t n = 0;
  for (unsigned char v : vec) n += v & 1;
  return n;
}

// A frame announcing 64 MB that stops after 16 MB when the collector goes
// away: the link drops and gives the 16 MB back to the system at once, not
// only after some later large frame.
TEST_F(DgSeam, AFrameCutShortByADropGivesItsMemoryBack) {
  start_seam();
  ASSERT_TRUE(vktest::wait_until([&] { return connected(); }, 5000));
  constexpr uint32_t kAnnounced = 64u << 20;
  constexpr size_t kSent = 16u << 20;
  uint8_t head[12] = {0xF9, 0xF2, 0xF8, 2, 4, 0, 0, 0};
  vk_put_be32(head + 8, kAnnounced);
  std::vector<uint8_t> body(kSent, 'b');
  int peer;
  {
    std::lock_guard<std::mutex> g(g_seam_mu);
    peer = g_peer_fds.back();
  }
  ASSERT_EQ(write(peer, head, sizeof(head)), static_cast<ssize_t>(sizeof(head)));
  size_t off = 0;
  while (off < body.size()) {
    ssize_t n = write(peer, body.data() + off, body.size() - off);
    ASSERT_GT(n, 0);
    off += static_cast<size_t>(n);
  }
  // All of it has been taken into the reassembly buffer (watched through
  // its pages: the length belongs to the link's thread).
  const size_t pages = kSent / static_cast<size_t>(sysconf(_SC_PAGESIZE));
  ASSERT_TRUE(vktest::wait_until(
      [&] { return resident_pages(conn->recv_buffer.buffer, kSent) + 2 >= pages; }, 10000));
  {
    std::lock_guard<std::mutex> g(g_seam_mu);
    shutdown(peer, SHUT_RDWR);  // the collector goes away mid-frame
  }
  ASSERT_TRUE(vktest::wait_until([&] { return drops() >= 1 && g_connects.load() >= 2; }, 15000));
  EXPECT_EQ(resident_pages(conn->recv_buffer.buffer, kSent), 0u);
}

TEST_F(DgSeam, ShutdownReportsThreadsThatHaveNotEndedAndSucceedsOnceTheyHave) {
  g_mode = SEND_BLOCK_HARD;
  start_seam(false);
  ASSERT_TRUE(vktest::wait_until([&] { return conn->send_start_time.load() != 0; }, 5000));
  EXPECT_EQ(shutdown_dg_connection(conn), -1);  // the sender is still inside its send
  g_release = true;
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
      },
      5000));
  EXPECT_EQ(shutdown_dg_connection(conn), 0);
  EXPECT_EQ(conn->sock.load(), -1);
}

// The sender sends each packet's frame straight from its queue item, so a
// drop may take the item back only between two send calls: the take-back
// waits for the send in progress, and that send's failure dump is written
// from the item before it changes hands (a take-back that did not wait
// frees the item under it: ASan reports the read, and the wait check fails).
TEST_F(DgSeam, ATakeBackWaitsForTheSendCallThatReadsThePacket) {
  struct restore {
    int msec;
    ~restore() { g_send_timeout_msec = msec; }
  } saved{g_send_timeout_msec};
  g_send_timeout_msec = 600000;  // no hang check while the send is held
  g_mode = SEND_BLOCK_HARD;
  start_seam(false);
  // The agent information request is inside its send call.
  ASSERT_TRUE(vktest::wait_until([&] { return conn->send_start_time.load() != 0; }, 5000));
  std::atomic<int> taken{-1};
  std::thread drop([&] { taken = dg_take_back_events(conn); });
  usleep(200000);  // a take-back that did not wait has ended long before
  EXPECT_EQ(taken.load(), -1);
  g_release = true;
  drop.join();
  EXPECT_EQ(taken.load(), 0);  // not an event: dropped with the link, not handed on
  EXPECT_EQ(conn->sending, nullptr);
  std::ifstream in(dir.path + "/" DG_SEND_HEX_FILE);
  std::string dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(dump.find("FUNCTION:[send]"), std::string::npos);
  EXPECT_NE(dump.find("F9 F2 F8 02 04"), std::string::npos);  // the frame's header, whole
  stop();  // before the time-out is put back: DG_Comm reads it
}

TEST(DgSendHex, AppendsADumpAndStartsAfreshPastTheLimit) {
  vktest::temp_dir dir;
  std::string path = dir.path + "/send.hex";
  const uint8_t data[11] = {0xF9, 0xF2, 0xF8, 'A', 'b', ' ', 0x00, 0x7F, 'z', '1', '2'};
  ASSERT_EQ(writeHex(path.c_str(), "send", data, sizeof(data)), 0);
  std::string text = vktest::read_file(path);
  EXPECT_EQ(text.rfind("\n======================== start hexlog ========================\n", 0),
            0u);
  EXPECT_NE(text.find("] FUNCTION:[send] (11 byte)("), std::string::npos);
  EXPECT_NE(text.find(": F9 F2 F8 41 62 20 00 7F  . . . A b   . . \n"), std::string::npos);
  EXPECT_NE(text.find(": 7A 31 32                 z 1 2           \n"), std::string::npos);
  EXPECT_NE(text.find("========================= end hexlog =========================\n\n"),
            std::string::npos);
  ASSERT_EQ(writeHex(path.c_str(), "send", data, 3), 0);
  std::string twice = vktest::read_file(path);
  EXPECT_GT(twice.size(), text.size());

  ASSERT_EQ(truncate(path.c_str(), DG_SEND_HEX_LIMIT + 1), 0);
  ASSERT_EQ(writeHex(path.c_str(), "send", data, 3), 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_LT(st.st_size, 1000);
  EXPECT_EQ(writeHex((dir.path + "/no/such/dir").c_str(), "send", data, 3), -1);
}

}  // namespace
