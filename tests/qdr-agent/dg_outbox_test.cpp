// The outbox's refusals and the collector link without any callbacks: a
// refused packet is freed (the sanitizers see a leak or a double free),
// counted and logged under its sender's name; a link nobody installed
// callbacks on connects, drops inbound packets with a log line, sends, and
// gives nothing back on a drop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "icmp.h"
#include "target_device.h"
#include "test_process.h"
#include "thread_manager.h"
#include "vk_comm.h"
#include "vklog.h"

namespace {

// Log lines go to standard output while a test runs, so that it can read them.
struct stdout_log {
  vklog_t *saved = g_vklog;
  stdout_log() {
    g_vklog = vklog_get_category(nullptr);
    testing::internal::CaptureStdout();
  }
  std::string take() {
    std::string out = testing::internal::GetCapturedStdout();
    g_vklog = saved;
    return out;
  }
};

mlist_item_t *packet(uint16_t type, uint32_t size) {
  mlist_item_t *item = nullptr;
  pkt_data *pd = make_packet_data(&item, type, size);
  if (pd != nullptr) pd->body_len = size;
  return item;
}

TEST(DgOutbox, ARefusedPacketIsFreedCountedAndLoggedUnderItsSendersName) {
  dgcomm_init();
  dg_conn *conn = make_dg_conn("127.0.0.1", 9010, 1);
  ASSERT_NE(conn, nullptr);
  struct {
    const char *sender;
    dg_conn *link;
    int connected;
    int result;
  } cases[] = {
      {"no_link_sender", nullptr, 0, -1},
      {"down_link_sender", conn, 0, -2},
      {"full_queue_sender", conn, 1, -3},
  };
  stdout_log log;
  gp_main_dgconn = conn;
  conn->connection_state.store(DG_STATE_CONNECTED);
  ASSERT_EQ(dg_outbox_send("first", packet(DG_PKT_SYSLOG, 8)), 0);  // fills the queue
  for (const auto &c : cases) {
    gp_main_dgconn = c.link;
    conn->connection_state.store(c.connected ? DG_STATE_CONNECTED : DG_STATE_DISCONNECTED);
    uint64_t before = dg_outbox_refused();
    EXPECT_EQ(dg_outbox_send(c.sender, packet(DG_PKT_DEVICE_LATENCY, 64)), c.result) << c.sender;
    EXPECT_EQ(dg_outbox_refused(), before + 1) << c.sender;
  }
  EXPECT_EQ(dg_outbox_send("nothing", nullptr), -1);
  // Encoding failures and a packet never made are freed by the seal.
  mlist_item_t *item = nullptr;
  pkt_data *pd = dg_new_packet("seal_sender", DG_PKT_SNMP_TRAP, 16, &item);
  ASSERT_NE(pd, nullptr);
  EXPECT_EQ(dg_outbox_seal(nullptr, "seal_sender", item, pd, -3), -1);
  EXPECT_EQ(dg_outbox_seal(nullptr, "seal_sender", nullptr, nullptr, -1), -1);
  pd = dg_new_packet("seal_sender", DG_PKT_SNMP_TRAP, 16, &item);
  ASSERT_EQ(dg_outbox_seal(nullptr, "seal_sender", item, pd, 5), 0);
  EXPECT_EQ(pd->body_len, 5u);
  EXPECT_EQ(dg_queue_encoded("queue_sender", item, pd, 5, "encoded %lu\n"), -3);
  std::string out = log.take();
  for (const auto &c : cases) {
    EXPECT_NE(out.find("[" + std::string(c.sender) + "] add_packet_to_dgcomm() has failed.(ret:" +
                       std::to_string(c.result) + ")"),
              std::string::npos)
        << out;
  }
  EXPECT_NE(out.find("[seal_sender] encode has failed.(ret:-3,"), std::string::npos) << out;
  EXPECT_NE(out.find("[queue_sender] add_packet_to_dgcomm() has failed.(ret:-3)"),
            std::string::npos)
      << out;
  EXPECT_EQ(dg_queue_count(conn), 1u);
  gp_main_dgconn = nullptr;
  EXPECT_EQ(dg_conn_free(conn), 0);
}

// The ICMP worker's latency record, refused, is logged under the function
// that sends it.
TEST(DgOutbox, ARefusedLatencyRecordIsLoggedUnderIcmpSendData) {
  tm_init();
  common_init();
  target_device_clear(&g_icmp_device_manager);
  ASSERT_EQ(icmp_init(), 0);
  ASSERT_EQ(target_device_activate(&g_icmp_device_manager), 0);
  ASSERT_EQ(icmp_target_device_add_by_ip("127.0.0.9", "dev-refused"), 0);
  auto *st = static_cast<target_snmp_status *>(calloc(1, sizeof(target_snmp_status)));
  ASSERT_NE(st, nullptr);
  target_device_set_user_data_by_id(&g_icmp_device_manager, "dev-refused", st);
  dgcomm_init();
  dg_conn *conn = make_dg_conn("127.0.0.1", 9010, 10);
  ASSERT_NE(conn, nullptr);
  gp_main_dgconn = conn;  // never connected
  uint64_t before = dg_outbox_refused();
  stdout_log log;
  EXPECT_EQ(icmp_send_data(42, "dev-refused", 1.5, nullptr), -4);
  std::string out = log.take();
  EXPECT_EQ(dg_outbox_refused(), before + 1);
  EXPECT_NE(out.find("[icmp_send_data] add_packet_to_dgcomm() has failed.(ret:-2)"),
            std::string::npos)
      << out;
  gp_main_dgconn = nullptr;
  EXPECT_EQ(dg_conn_free(conn), 0);
  icmp_shutdown(3);
  target_device_clear(&g_icmp_device_manager);
}

// Without a take-back callback the unsent packets of a dropped connection
// are freed, none given back.
TEST(DgBareLink, UnsentPacketsOfADropAreFreedWhenNothingTakesThemBack) {
  dg_conn *conn = make_dg_conn("127.0.0.1", 9010, 10);
  ASSERT_NE(conn, nullptr);
  conn->connection_state.store(DG_STATE_CONNECTED);
  for (uint16_t type : {DG_PKT_SYSLOG, DG_PKT_DEVICE_PERF, DG_PKT_SNMP_TRAP}) {
    ASSERT_EQ(add_packet_to_dgcomm(conn, packet(type, 32)), 0);
  }
  conn->connection_state.store(DG_STATE_DISCONNECTED);
  EXPECT_EQ(dg_take_back_events(conn), 0);
  EXPECT_EQ(dg_queue_count(conn), 0u);
  EXPECT_EQ(dg_conn_free(conn), 0);
}

std::vector<uint8_t> inbound_frame(uint16_t type, const std::string &payload) {
  std::vector<uint8_t> f = {0xF9, 0xF2, 0xF8, 2, 4, 0, 0, 0};
  uint32_t len = static_cast<uint32_t>(payload.size() + NIO_SUB_HEADER_SIZE);
  for (int s = 24; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(len >> s));
  f.push_back(static_cast<uint8_t>(type >> 8));
  f.push_back(static_cast<uint8_t>(type));
  for (int i = 0; i < 9; i++) f.push_back(0);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

// Accepts one connection on `lfd` within 10 s; -1 when none came.
int accept_within(int lfd) {
  struct pollfd p = {lfd, POLLIN, 0};
  if (poll(&p, 1, 10000) != 1) return -1;
  return accept(lfd, nullptr, nullptr);
}

// Reads one whole frame from `fd` within 10 s; its type, or -1.
int read_frame_type(int fd) {
  std::vector<uint8_t> got;
  size_t want = NIO_HEADER_SIZE;
  for (int i = 0; i < 500 && got.size() < want; i++) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 20) != 1) continue;
    uint8_t buf[4096];
    ssize_t r = recv(fd, buf, sizeof(buf), 0);
    if (r <= 0) return -1;
    got.insert(got.end(), buf, buf + r);
    if (got.size() >= NIO_MAIN_HEADER_SIZE) {
      want = NIO_MAIN_HEADER_SIZE + ((size_t{got[8]} << 24) | (size_t{got[9]} << 16) |
                                     (size_t{got[10]} << 8) | got[11]);
    }
  }
  if (got.size() < NIO_HEADER_SIZE || got.size() < want) return -1;
  return (got[12] << 8) | got[13];
}

TEST(DgBareLink, ConnectsDropsInboundPacketsWithALogLineSendsAndStaysUp) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(lfd, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lfd, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)), 0);
  ASSERT_EQ(listen(lfd, 4), 0);
  socklen_t len = sizeof(sa);
  ASSERT_EQ(getsockname(lfd, reinterpret_cast<struct sockaddr *>(&sa), &len), 0);
  dgcomm_init();
  dg_conn *conn = make_dg_conn("127.0.0.1", ntohs(sa.sin_port), 100);
  ASSERT_NE(conn, nullptr);
  stdout_log log;
  ASSERT_EQ(create_dg_connection(conn), 0);
  int peer = accept_within(lfd);
  EXPECT_GE(peer, 0);
  bool up = vktest::wait_until(
      [&] { return conn->connection_state.load() == DG_STATE_CONNECTED; }, 10000);
  EXPECT_TRUE(up);
  if (peer >= 0 && up) {
    // Two packets for the agent, then one from it: nothing handles the
    // first two, and the link goes on.
    for (uint16_t type : {DG_PKT_RES_AGENT_INFO, DG_PKT_DEVICE_LIST}) {
      std::vector<uint8_t> f = inbound_frame(type, "payload");
      EXPECT_EQ(send(peer, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
    }
    EXPECT_TRUE(vktest::wait_until(
        [&] {
          int unread = -1;
          return ioctl(conn->sock.load(), FIONREAD, &unread) == 0 && unread == 0;
        },
        10000));
    EXPECT_EQ(add_packet_to_dgcomm(conn, packet(DG_PKT_DEVICE_PERF, 100)), 0);
    EXPECT_EQ(read_frame_type(peer), DG_PKT_DEVICE_PERF);
    EXPECT_EQ(conn->connection_state.load(), DG_STATE_CONNECTED);
    EXPECT_EQ(conn->reconnect_flag.load(), 0);
    EXPECT_EQ(conn->connection_seq.load(), 1u);
  }
  // A drop with nothing installed: the link connects again.
  if (peer >= 0) close(peer);
  peer = accept_within(lfd);
  EXPECT_GE(peer, 0);
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return conn->connection_seq.load() >= 2 &&
               conn->connection_state.load() == DG_STATE_CONNECTED;
      },
      15000));
  shutdown_dg_connection(conn);
  bool ended = vktest::wait_until(
      [&] {
        return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
      },
      10000);
  std::string out = log.take();
  EXPECT_TRUE(ended);
  if (ended) {
    EXPECT_EQ(dg_conn_free(conn), 0);
  }
  if (peer >= 0) close(peer);
  close(lfd);
  EXPECT_NE(out.find("[dg_receive_packet] no handler for packets, dropped.(type:50036[RES_AGENT_"
                     "INFO],len:18)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("no handler for packets, dropped.(type:55002[DEVICE_LIST]"),
            std::string::npos);
}

}  // namespace
