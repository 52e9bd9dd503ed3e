// The collector connection manager against a small loopback collector run
// inside the test: connect, reconnect reasons, the bounded queue while the
// collector stops reading, the send hang limit, shutdown, and the hex dump
// of a failed send.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "test_process.h"
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
// whatever arrives. Everything runs on one thread with 20 ms polls.
struct loop_collector {
  int listen_fd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::atomic<bool> reading{true};
  std::atomic<bool> close_now{false};
  std::atomic<int> accepted{0};
  std::atomic<size_t> bytes_read{0};
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
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) return false;
    if (listen(listen_fd, 8) != 0) return false;
    socklen_t len = sizeof(sa);
    getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &len);
    port = ntohs(sa.sin_port);
    th = std::thread([this] { run(); });
    return true;
  }

  void run() {
    std::vector<int> conns;
    char buf[65536];
    while (!stop.load()) {
      std::vector<pollfd> pfds;
      pfds.push_back({listen_fd, POLLIN, 0});
      if (reading.load()) {
        for (int c : conns) pfds.push_back({c, POLLIN, 0});
      }
      poll(pfds.data(), pfds.size(), 20);
      if (close_now.exchange(false)) {
        for (int c : conns) close(c);
        conns.clear();
        continue;
      }
      if ((pfds[0].revents & POLLIN) != 0) {
        int c = accept(listen_fd, nullptr, nullptr);
        if (c >= 0) {
          conns.push_back(c);
          accepted++;
        }
      }
      for (size_t i = 1; i < pfds.size(); i++) {
        if ((pfds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        ssize_t r = recv(pfds[i].fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (r > 0) {
          bytes_read += static_cast<size_t>(r);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
          close(pfds[i].fd);
          conns.erase(std::find(conns.begin(), conns.end(), pfds[i].fd));
        }
      }
    }
    for (int c : conns) close(c);
  }

  ~loop_collector() {
    stop = true;
    if (th.joinable()) th.join();
    if (listen_fd >= 0) close(listen_fd);
  }
};

class DgConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_hooks = g_dg_agent_hooks;
    g_dg_agent_hooks.activate = count_activate;
    g_dg_agent_hooks.deactivate = count_deactivate;
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
    g_dg_agent_hooks = saved_hooks;
    EXPECT_EQ(chdir(old_cwd.c_str()), 0);
  }
  void start(uint16_t port, uint32_t queue_max = 1000) {
    conn = make_dg_conn("127.0.0.1", port, queue_max);
    ASSERT_NE(conn, nullptr);
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
  dg_agent_hooks_t saved_hooks;
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

TEST_F(DgConnection, RetriesWhileTheCollectorIsDownAndRefusesPackets) {
  int port = vktest::free_port(SOCK_STREAM);
  ASSERT_GT(port, 0);
  start(static_cast<uint16_t>(port));
  vktest::wait_until([] { return false; }, 300);
  EXPECT_FALSE(connected());
  EXPECT_EQ(queue(10), -2);
  EXPECT_EQ(g_deactivations.load(), 0);  // no socket was ever open
}

TEST_F(DgConnection, ReconnectsAfterThePeerClosesWithFreshSendCounters) {
  loop_collector col;
  ASSERT_TRUE(col.start());
  start(col.port);
  ASSERT_TRUE(vktest::wait_until([&] { return col.accepted.load() == 1 && connected(); }, 5000));
  // The connected socket: 3 s send time-out, reset on close, address reuse.
  int fd = conn->sock.load();
  struct timeval tv = {};
  socklen_t len = sizeof(tv);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 3);
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
    vktest::wait_until([] { return false; }, 300);
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

TEST_F(DgConnection, ShutdownEndsBothThreads) {
  loop_collector col;
  ASSERT_TRUE(col.start());
  start(col.port);
  ASSERT_TRUE(vktest::wait_until([&] { return connected(); }, 5000));
  int r = shutdown_dg_connection(conn);
  EXPECT_TRUE(r == 0 || r == -1);
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
      },
      5000));
  EXPECT_EQ(shutdown_dg_connection(conn), 0);
  EXPECT_EQ(conn->sock.load(), -1);
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
