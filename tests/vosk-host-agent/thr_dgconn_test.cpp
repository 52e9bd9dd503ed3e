// The host agent's collector link: the bounded queue, writes that the
// socket takes only in part, the handshake's answer limit, and the
// reconnect rules against tools/dg-sim.
#include "thr_dgconn.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "collect_hooks.h"
#include "common_agent_info.h"
#include "configure.h"
#include "host_test_util.h"
#include "on_demand.h"
#include "pkt_proto/proto_recv.h"
#include "pkt_proto/proto_send.h"
#include "pub_conf.h"
#include "test_clock.h"
#include "vk_clock.h"
#include "vk_comm.h"
#include "vklog.h"

namespace {

std::atomic<int> g_send_calls{0};
std::atomic<size_t> g_fail_after{0};  // bytes accepted before the failure; 0: never fail
std::atomic<size_t> g_accepted{0};

// Takes at most 3 bytes a call, and says EINTR every fifth call.
ssize_t trickle_send(int sock, const void *buf, size_t len, int flags) {
  int n = ++g_send_calls;
  if (n % 5 == 0) {
    errno = EINTR;
    return -1;
  }
  size_t fail = g_fail_after.load();
  if (fail != 0 && g_accepted.load() >= fail) {
    errno = EIO;
    return -1;
  }
  size_t take = len < 3 ? len : 3;
  ssize_t r = send(sock, buf, take, flags);
  if (r > 0) g_accepted += static_cast<size_t>(r);
  return r;
}

struct LinkFixture : ::testing::Test {
  vktest::temp_dir dir;
  void SetUp() override {
    dg_link_hooks_t hooks = {};
    host_link_hooks_fill(&hooks);
    hooks.handle_packet = read_msg_nio;
    ASSERT_EQ(dg_link_init(&hooks), 0);
    snprintf(g_vk_host_home, sizeof(g_vk_host_home), "%s", dir.path.c_str());
    mkdir((dir.path + "/data").c_str(), 0755);
    g_stop_the_world.store(0);
    g_send_calls = 0;
    g_fail_after = 0;
    g_accepted = 0;
  }
  void TearDown() override {
    clear_send_queue();
    g_dg_link.is_connection.store(0);
    g_dg_link.sock.store(0);
  }
};

// Reads whole packets from `fd` until it is closed or quiet for 200 ms;
// returns their types, or pushes 0 for bytes that do not make a packet.
std::vector<int> read_packets(int fd) {
  std::string data;
  char buf[4096];
  struct timeval tv = {0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  for (int i = 0; i < 10000; i++) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  std::vector<int> types;
  size_t pos = 0;
  while (pos < data.size()) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(data.data()) + pos;
    if (data.size() - pos < NIO_HEADER_SIZE || !is_nio_header(p)) {
      types.push_back(0);
      break;
    }
    size_t total = NIO_MAIN_HEADER_SIZE + vk_get_be32(p + 8);
    if (data.size() - pos < total) {
      types.push_back(0);
      break;
    }
    types.push_back(vk_get_be16(p + NIO_MAIN_HEADER_SIZE));
    pos += total;
  }
  return types;
}

TEST_F(LinkFixture, TheQueueHoldsTwoThousandAndReportsTheDrop) {
  std::string body(100, 'x');
  EXPECT_EQ(host_queue_message(60018, 1, body.data(), body.size()), 0);
  EXPECT_EQ(dg_queue_count(), 0u);  // disconnected: freed at once
  g_dg_link.is_connection.store(1);
  for (int i = 0; i < DG_SEND_QUEUE_MAX + 1; i++)
    ASSERT_EQ(host_queue_message(60018, 1, body.data(), body.size()), 0);
  EXPECT_EQ(dg_queue_count(), static_cast<uint32_t>(DG_SEND_QUEUE_MAX));
  EXPECT_EQ(info_log(), 1u);
  EXPECT_EQ(info_log(), 0u);
  // The drop counter wraps; the report still counts the difference.
  g_dg_link.info_log.store(0xFFFFFFFFu);
  g_dg_link.info_log_reported = 0xFFFFFFFEu;
  host_queue_message(60018, 1, body.data(), body.size());
  EXPECT_EQ(info_log(), 2u);
}

TEST_F(LinkFixture, PacketsTakenInPiecesAreFinishedWhole) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  g_dg_link.ops.send = trickle_send;
  g_dg_link.is_connection.store(1);
  g_dg_link.sock.store(sv[0]);
  std::string body(50, 'b');
  host_queue_message(60018, 1, body.data(), body.size());
  host_queue_message(60012, 1, nullptr, 0);
  host_queue_message(60013, 1, body.data(), 7);
  EXPECT_EQ(send_buffer(sv[0]), 3);
  close(sv[0]);
  EXPECT_EQ(read_packets(sv[1]), (std::vector<int>{60018, 60012, 60013}));
  close(sv[1]);
}

TEST_F(LinkFixture, AWriteFailingMidPacketEndsTheStreamInsteadOfSendingMore) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  g_dg_link.ops.send = trickle_send;
  g_fail_after = 5;
  g_dg_link.is_connection.store(1);
  g_dg_link.sock.store(sv[0]);
  std::string body(50, 'b');
  host_queue_message(60018, 1, body.data(), body.size());
  host_queue_message(60012, 1, body.data(), body.size());
  EXPECT_EQ(send_buffer(sv[0]), -1);
  EXPECT_EQ(dg_queue_count(), 0u);  // the batch's rest is freed
  // The peer sees the cut packet and then the end of the stream.
  EXPECT_EQ(read_packets(sv[1]), (std::vector<int>{0}));
  char c;
  EXPECT_EQ(recv(sv[1], &c, 1, MSG_DONTWAIT), 0);
  close(sv[0]);
  close(sv[1]);
}

TEST_F(LinkFixture, ACollectorThatNeverAnswersTheHandshakeIsLeftAfterTheLimit) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
  ASSERT_EQ(listen(ls, 1), 0);
  getsockname(ls, reinterpret_cast<sockaddr *>(&sa), &len);
  int sock = ConnectDGServer(sa.sin_addr.s_addr, ntohs(sa.sin_port));
  ASSERT_GT(sock, 0);
  g_dg_link.handshake_answer_sec = 1;
  EXPECT_EQ(dg_communicate(sock), -2);
  close(sock);
  close(ls);
}

// Sends the agent's log to <dir>/log/vosk-host-agent.log; returns that path.
std::string log_into(const std::string &dir) {
  setenv("H17_LOG_HOME", dir.c_str(), 1);
  mkdir((dir + "/log").c_str(), 0755);
  destroy_configure(g_conf_handle);  // no thread reads it between the tests
  g_conf_handle = create_configure(g_conf_table, CONF_COUNT);
  update_conf_value_for_key(g_conf_handle, "LOG_DIRECTORY", "${H17_LOG_HOME}/log", 19);
  EXPECT_EQ(init_vklog(0), 0);
  return dir + "/log/vosk-host-agent.log";
}

std::string nio_header(uint32_t body_length, uint8_t version = 2, uint8_t flag = 4) {
  std::string h = {'\xF9', '\xF2', '\xF8', static_cast<char>(version), static_cast<char>(flag),
                   0,      0,      0};
  for (int shift = 24; shift >= 0; shift -= 8) h += static_cast<char>(body_length >> shift);
  return h;
}

TEST_F(LinkFixture, HostileFramesAreRefusedWithTheirReasonLogged) {
  std::string log_path = log_into(dir.path);
  std::string good = nio_header(11 + 3) + std::string(11, '\0') + "abc";
  struct {
    std::string bytes;
    bool close_after;
    int result;
    const char *logged;
  } cases[] = {
      {good, false, 14, nullptr},
      {nio_header(0x80000000u), false, DG_RECV_BAD_LENGTH,
       "frame announces 2147483648 bytes, limit 65523"},
      {nio_header(65524), false, DG_RECV_BAD_LENGTH, "frame announces 65524 bytes"},
      {nio_header(0), false, DG_RECV_BAD_LENGTH, "frame announces 0 bytes"},
      {"GET / HTTP/1.0\r\n", false, DG_RECV_BAD_MAGIC, "not a framed header (47 45 54)"},
      {nio_header(20, 3), false, DG_RECV_BAD_VERSION, "header version 3 refused"},
      {nio_header(20, 2, 9), false, DG_RECV_BAD_FLAG, "header flag 9 refused"},
      {nio_header(20) + "abc", true, DG_RECV_CUT,
       "connection closed inside a frame after 15 bytes"},
      {good.substr(0, 5), true, DG_RECV_CUT, "connection closed inside a frame after 5 bytes"},
      {"", true, DG_RECV_CLOSED, "collector closed the connection"},
  };
  for (const auto &c : cases) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(send(sv[1], c.bytes.data(), c.bytes.size(), 0), static_cast<ssize_t>(c.bytes.size()));
    if (c.close_after) close(sv[1]);
    uint8_t buf[VK_COMM_RECV_BUFFER_SIZE];
    EXPECT_EQ(dg_recv_frame(sv[0], buf, sizeof(buf), 5000), c.result) << c.logged;
    if (c.logged != nullptr) {
      EXPECT_NE(vktest::read_file(log_path).find(c.logged), std::string::npos) << c.logged;
    }
    close(sv[0]);
    if (!c.close_after) close(sv[1]);
  }
  // A quiet collector: the wait ends as a plain time-out.
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  uint8_t buf[64];
  EXPECT_EQ(dg_recv_frame(sv[0], buf, sizeof(buf), 0), DG_RECV_TIMEOUT);
  close(sv[0]);
  close(sv[1]);
}

// Runs dg_recv_frame on a thread against the pair's first socket.
struct frame_reader {
  std::atomic<int> result{1};
  pthread_t tid{};
  int sock = -1;
  static void *run(void *arg) {
    frame_reader *r = static_cast<frame_reader *>(arg);
    static thread_local uint8_t buf[VK_COMM_RECV_BUFFER_SIZE];
    r->result.store(dg_recv_frame(r->sock, buf, sizeof(buf), 2000));
    return nullptr;
  }
};

TEST_F(LinkFixture, AHeaderWithoutItsBodyStallsOutAndAStopEndsAnyWait) {
  std::string log_path = log_into(dir.path);
  test_clock_install(1700000000000ULL);
  for (int with_stop = 0; with_stop < 2; with_stop++) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    // 12 bytes announcing a body that never comes.
    std::string h = nio_header(100);
    ASSERT_EQ(send(sv[1], h.data(), h.size(), 0), 12);
    frame_reader r;
    r.sock = sv[0];
    ASSERT_EQ(pthread_create(&r.tid, nullptr, frame_reader::run, &r), 0);
    if (with_stop) {
      // The clock stands still: only the stop word can end the wait.
      g_stop_the_world.store(1);
    } else {
      for (int i = 0; i < 2000 && r.result.load() == 1; i++) {
        test_clock_advance_msec(500);
        struct timespec ts = {0, 2000000};
        nanosleep(&ts, nullptr);
      }
    }
    EXPECT_TRUE(vktest::wait_until([&] { return r.result.load() != 1; }, 10000));
    pthread_join(r.tid, nullptr);
    EXPECT_EQ(r.result.load(), with_stop ? DG_RECV_STOPPED : DG_RECV_STALLED);
    g_stop_the_world.store(0);
    close(sv[0]);
    close(sv[1]);
  }
  test_clock_uninstall();
  EXPECT_NE(vktest::read_file(log_path).find(
                "frame stalled after 12 bytes for 30000 ms, collector taken as gone"),
            std::string::npos);
}

// Reads one whole frame from a blocking socket; false on a closed one.
bool read_frame(int fd) {
  uint8_t head[12];
  size_t got = 0;
  while (got < sizeof(head)) {
    ssize_t n = recv(fd, head + got, sizeof(head) - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  uint32_t left = vk_get_be32(head + 8);
  char buf[4096];
  while (left > 0) {
    ssize_t n = recv(fd, buf, left < sizeof(buf) ? left : sizeof(buf), 0);
    if (n <= 0) return false;
    left -= static_cast<uint32_t>(n);
  }
  return true;
}

TEST_F(LinkFixture, AFrameStalledAfterItsHeaderDropsTheLinkWithItsReasonAndReconnects) {
  std::string log_path = log_into(dir.path);
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  ASSERT_EQ(bind(ls, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
  ASSERT_EQ(listen(ls, 4), 0);
  getsockname(ls, reinterpret_cast<sockaddr *>(&sa), &len);
  clear_properties_preset();
  std::string addr = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  set_properties_preset("RECEIVER_ADDR", 13, addr.c_str(), addr.size());
  ASSERT_EQ(set_dg_address(), 0);
  g_dg_link.reconnect_msec = 10;
  test_clock_install(1700000000000ULL);
  pthread_t tid;
  ASSERT_EQ(pthread_create(&tid, nullptr, thr_DGConn, nullptr), 0);
  // Time moves one second per round while the test waits for a connection,
  // so that the stall limit and the reconnect pause pass quickly.
  auto accept_one = [&]() {
    for (int i = 0; i < 3000; i++) {
      struct pollfd pfd = {ls, POLLIN, 0};
      if (poll(&pfd, 1, 5) == 1) return accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
      test_clock_advance_msec(1000);
    }
    return -1;
  };
  // The answer with an id, then a header that announces 100 bytes and
  // nothing more.
  alignas(8) uint8_t ws[1024];
  common_res_agent_info_message_t *m = common_res_agent_info_message_new(ws, sizeof(ws));
  ASSERT_NE(m, nullptr);
  m->agent_id_p = "stall-host";
  uint8_t body[256];
  int body_len = common_res_agent_info_message_encode(m, body, sizeof(body));
  ASSERT_GT(body_len, 0);
  uint8_t *packet = nullptr;
  size_t packet_len =
      host_make_packet(&packet, HOST_PKT_RES_AGENT_INFO, 1, body, static_cast<size_t>(body_len));
  ASSERT_GT(packet_len, 0u);
  std::string stalled = nio_header(100);
  int c = accept_one();
  int again = -1;
  // The agent information read, the answer and the stalled header sent.
  bool served = c > 0 && read_frame(c) &&
                send(c, packet, packet_len, 0) == static_cast<ssize_t>(packet_len) &&
                send(c, stalled.data(), stalled.size(), 0) == 12;
  free(packet);
  if (served) again = accept_one();
  g_stop_the_world.store(1);
  pthread_join(tid, nullptr);
  EXPECT_TRUE(vktest::wait_until([&] { return g_dg_link.sender_running.load() == 0; }, 5000));
  test_clock_uninstall();
  EXPECT_TRUE(served);
  EXPECT_GT(again, 0);
  std::string text = vktest::read_file(log_path);
  EXPECT_NE(text.find("[dg_recv_frame] frame stalled after 12 bytes for 30000 ms"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[thr_DGConn] retry connection ... [ret: -7]"), std::string::npos);
  if (again > 0) close(again);
  if (c > 0) close(c);
  close(ls);
  g_stop_the_world.store(0);
}

TEST(TimeSync, TenSamplesGiveTheMeanOfTheMiddleSix) {
  const int32_t diffs[] = {100, 5, 7, 9, 11, 13, 15, 17, -50, 19};
  timesync_reset();
  int32_t offset = 0;
  for (int i = 0; i < 9; i++) EXPECT_EQ(timesync_add_sample(diffs[i], &offset), 0);
  EXPECT_EQ(timesync_add_sample(diffs[9], &offset), 1);
  EXPECT_EQ(offset, 12);
  const int32_t negative[] = {-7, -7, -7, -7, -7, -8, -8, -8, -8, -8};
  EXPECT_EQ(timesync_middle_mean(negative), -7);  // (-45) / 6, toward zero
}

// Clock for the link thread: each thread's sleeps add to its own count of
// slept milliseconds (and wait a real millisecond), so the pauses between
// connection attempts are measured exactly without waiting for them.
thread_local uint64_t t_slept_msec;
uint64_t sys_realtime() {
  return g_vk_clock_system.realtime_nsec();
}
uint64_t sys_monotonic() {
  return g_vk_clock_system.monotonic_nsec();
}
int counting_sleep(uint32_t msec) {
  t_slept_msec += msec;
  struct timespec ts = {0, 1000000};
  nanosleep(&ts, nullptr);
  return 0;
}
const vk_clock_ops kCountingClock = {sys_realtime, sys_monotonic, counting_sleep};

std::mutex g_attempt_lock;
std::vector<uint64_t> g_attempts;  // slept ms of the link thread at each attempt
constexpr int kRefusedAttempts = 5;

int counting_connect(uint32_t addr, uint16_t port) {
  size_t n;
  {
    std::lock_guard<std::mutex> g(g_attempt_lock);
    g_attempts.push_back(t_slept_msec);
    n = g_attempts.size();
  }
  if (n <= kRefusedAttempts) {
    errno = ECONNREFUSED;
    return -1;
  }
  return ConnectDGServer(addr, port);
}

TEST_F(LinkFixture, RefusedConnectsAndRefusedHandshakesAreRetriedEveryFiveSeconds) {
  hosttest::dg_sim sim;
  std::string why;
  ASSERT_TRUE(sim.start(dir.path, {"--empty-agent-id"}, &why)) << why;
  // Log into the temporary home to count the connect failure lines.
  setenv("H8_LOG_HOME", dir.path.c_str(), 1);
  destroy_configure(g_conf_handle);
  g_conf_handle = create_configure(g_conf_table, CONF_COUNT);
  update_conf_value_for_key(g_conf_handle, "LOG_DIRECTORY", "${H8_LOG_HOME}/log", 18);
  mkdir((dir.path + "/log").c_str(), 0755);
  ASSERT_EQ(init_vklog(0), 0);
  clear_properties_preset();
  std::string addr = "127.0.0.1:" + std::to_string(sim.port);
  set_properties_preset("RECEIVER_ADDR", 13, addr.c_str(), addr.size());
  ASSERT_EQ(set_dg_address(), 0);
  g_dg_link.ops.connect = counting_connect;
  vk_clock_set(&kCountingClock);
  pthread_t tid;
  ASSERT_EQ(pthread_create(&tid, nullptr, thr_DGConn, nullptr), 0);
  bool enough = vktest::wait_until(
      [&] {
        std::lock_guard<std::mutex> g(g_attempt_lock);
        return g_attempts.size() >= kRefusedAttempts + 3;
      },
      30000);
  g_stop_the_world.store(1);
  pthread_join(tid, nullptr);
  EXPECT_TRUE(vktest::wait_until([&] { return g_dg_link.sender_running.load() == 0; }, 5000));
  vk_clock_set(nullptr);
  ASSERT_TRUE(enough);
  for (size_t i = 1; i < g_attempts.size(); i++)
    EXPECT_EQ(g_attempts[i] - g_attempts[i - 1], 5000u) << "attempt " << i;
  // Every connection was refused by an empty id after the request.
  EXPECT_GE(sim.count("\"dir\": \"recv\"", "\"type\": 10043,"), 2);
  EXPECT_EQ(sim.count("\"dir\": \"recv\"", "\"type\": 40006,"), 0);
  std::string log = vktest::read_file(dir.path + "/log/vosk-host-agent.log");
  size_t n = 0;
  for (size_t p = log.find("Connection failed"); p != std::string::npos;
       p = log.find("Connection failed", p + 1))
    n++;
  EXPECT_EQ(n, 3u);
  g_stop_the_world.store(0);
}

}  // namespace
