// The UDP server framework on loopback: thread counts, datagrams spread over
// receivers sharing one port and handed over whole, a port that cannot be
// shared, and stops that are prompt and safe to repeat.
#include "udp_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "receivers_test_env.h"
#include "thread_manager.h"

namespace {

std::atomic<int> g_received{0};
std::atomic<size_t> g_largest{0};
std::atomic<int> g_terminated{0};
std::mutex g_socks_lock;
std::set<int> g_socks;

int record(int sock, const char *ip, const char *data, size_t len, const udp_peer_t *) {
  if (strcmp(ip, "127.0.0.1") == 0 && data[len] == '\0') g_terminated++;
  size_t prev = g_largest.load();
  while (len > prev && !g_largest.compare_exchange_weak(prev, len)) {
  }
  {
    std::lock_guard<std::mutex> guard(g_socks_lock);
    g_socks.insert(sock);
  }
  g_received++;
  return 0;
}

int cpus() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1 : static_cast<int>(n);
}

TEST(UdpServer, ThreadCountIsLimitedByTheProcessors) {
  struct {
    int wanted;
    int got;
  } cases[] = {{0, cpus()}, {1, 1}, {8, std::min(8, cpus())}, {1000, cpus()}};
  for (const auto &c : cases) {
    udp_server_manager_t *m = udp_server_manager_new("t", 9, c.wanted, record);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->work_thread_count, c.got) << c.wanted;
    EXPECT_EQ(udp_server_manager_free(m), 0);
  }
  EXPECT_EQ(udp_server_manager_new("t", 9, 1, nullptr), nullptr);
}

bool all_receiving(udp_server_manager_t *m) {
  if (m->servers.load() == nullptr) return false;
  for (int i = 0; i < m->work_thread_count; i++) {
    if (m->servers.load()[i].status.load() != UDP_SERVER_STATUS_RECEIVING) return false;
  }
  return true;
}

TEST(UdpServer, ReceiversShareThePortAndPassEveryDatagramWhole) {
  rxtest::init_threads();
  g_received = 0;
  g_largest = 0;
  g_terminated = 0;
  g_socks.clear();
  int port = vktest::free_port(SOCK_DGRAM);
  udp_server_manager_t *m = udp_server_manager_new("rx", static_cast<uint16_t>(port), 2, record);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(udp_server_start(m), 0);
  EXPECT_EQ(udp_server_start(m), -2);  // already running
  ASSERT_TRUE(vktest::wait_until([&] { return all_receiving(m); }, 5000));
  // Many senders (source ports), so that the kernel spreads them.
  constexpr int kSenders = 64;
  for (int i = 0; i < kSenders; i++) {
    ASSERT_TRUE(rxtest::send_from("127.0.0.1", static_cast<uint16_t>(port), rxtest::text("x")));
  }
  // The largest datagram UDP over IPv4 can carry.
  ASSERT_TRUE(
      rxtest::send_from("127.0.0.1", static_cast<uint16_t>(port), rxtest::bytes(65507, 'y')));
  ASSERT_TRUE(vktest::wait_until([] { return g_received.load() == kSenders + 1; }, 5000));
  EXPECT_EQ(g_terminated.load(), kSenders + 1);
  EXPECT_EQ(g_largest.load(), 65507u);
  EXPECT_EQ(udp_server_total_count(m), uint64_t{kSenders} + 1);
  if (m->work_thread_count > 1) {
    EXPECT_EQ(g_socks.size(), 2u);
  }
  EXPECT_EQ(udp_server_shutdown(m, 3), 0);
  EXPECT_EQ(m->servers.load(), nullptr);
  EXPECT_EQ(m->thread_run_count.load(), 0);
  EXPECT_EQ(udp_server_shutdown(m, 3), 0);  // already down
  EXPECT_EQ(udp_server_manager_free(m), 0);
}

std::mutex g_sources_lock;
std::set<std::string> g_sources;

int record_source(int, const char *ip, const char *, size_t, const udp_peer_t *) {
  std::lock_guard<std::mutex> guard(g_sources_lock);
  g_sources.insert(ip);
  return 0;
}

TEST(UdpServer, SenderAddressesAreNamedInDottedFormWithEveryDigitCount) {
  rxtest::init_threads();
  {
    std::lock_guard<std::mutex> guard(g_sources_lock);
    g_sources.clear();
  }
  int port = vktest::free_port(SOCK_DGRAM);
  udp_server_manager_t *m =
      udp_server_manager_new("rx", static_cast<uint16_t>(port), 1, record_source);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(udp_server_start(m), 0);
  ASSERT_TRUE(vktest::wait_until([&] { return all_receiving(m); }, 5000));
  // Bytes of one, two and three digits, zeros inside and at the end.
  const std::set<std::string> sources = {"127.0.0.1",       "127.0.0.10",  "127.0.1.100",
                                         "127.9.99.255",    "127.200.0.7", "127.10.100.0",
                                         "127.255.255.254", "127.1.20.199"};
  for (const std::string &src : sources) {
    ASSERT_TRUE(rxtest::send_from(src.c_str(), static_cast<uint16_t>(port), rxtest::text("x")))
        << src;
  }
  EXPECT_TRUE(vktest::wait_until(
      [] {
        std::lock_guard<std::mutex> guard(g_sources_lock);
        return g_sources.size() >= 8;
      },
      5000));
  {
    std::lock_guard<std::mutex> guard(g_sources_lock);
    EXPECT_EQ(g_sources, sources);
  }
  EXPECT_EQ(udp_server_shutdown(m, 3), 0);
  EXPECT_EQ(udp_server_manager_free(m), 0);
}

TEST(UdpServer, StopRightAfterStartWaitsForEveryReceiver) {
  rxtest::init_threads();
  int port = vktest::free_port(SOCK_DGRAM);
  for (int round = 0; round < 20; round++) {
    udp_server_manager_t *m = udp_server_manager_new("rx", static_cast<uint16_t>(port), 0, record);
    ASSERT_EQ(udp_server_start(m), 0);
    ASSERT_EQ(udp_server_shutdown(m, 3), 0) << round;
    EXPECT_EQ(m->thread_run_count.load(), 0);
    ASSERT_EQ(udp_server_manager_free(m), 0);
  }
}

TEST(UdpServer, PortHeldWithoutReuseEndsEveryReceiverWithASocketError) {
  rxtest::init_threads();
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  udp_server_manager_t *m = udp_server_manager_new("busy", ntohs(a.sin_port), 0, record);
  ASSERT_EQ(udp_server_start(m), 0);
  ASSERT_TRUE(vktest::wait_until([&] { return m->thread_run_count.load() == 0; }, 5000));
  for (int i = 0; i < m->work_thread_count; i++) {
    EXPECT_EQ(m->servers.load()[i].status.load(), UDP_SERVER_STATUS_SOCKET_ERROR);
    EXPECT_EQ(m->servers.load()[i].sock.load(), -1);
  }
  EXPECT_EQ(udp_server_shutdown(m, 3), 0);
  EXPECT_EQ(udp_server_manager_free(m), 0);
  close(fd);
}

// An agent's service whose port is taken says so (service, address, port,
// the system's reason) on stderr and in its state line, waits for the
// port on a back-off, and receives once the port is free, over IPv4 and
// IPv6 alike.
TEST(UdpServer, PortTakenIsNamedThenRetriedUntilItIsFree) {
  rxtest::init_threads();
  g_received = 0;
  int fd = socket(AF_INET6, SOCK_DGRAM, 0);
  int off = 0;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_any;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  uint16_t port = ntohs(a.sin6_port);
  udp_server_manager_t *m = udp_server_manager_new("taken", port, 1, record);
  m->bind_retry = 1;
  testing::internal::CaptureStderr();
  ASSERT_EQ(udp_server_start(m), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[taken] cannot bind udp [::] port " + std::to_string(port) +
                     ": Address already in use, retrying"),
            std::string::npos)
      << err;
  EXPECT_EQ(udp_server_bound_count(m), 0);
  ASSERT_TRUE(vktest::wait_until(
      [&] { return m->servers.load()[0].status.load() == UDP_SERVER_STATUS_BIND_RETRY; }, 5000));
  char state[256];
  EXPECT_EQ(std::string(udp_server_state_text(m, state, sizeof(state))),
            "taken udp [::]:" + std::to_string(port) +
                " receiving 0/1, bind failed[Address already in use], retrying");
  close(fd);
  ASSERT_TRUE(vktest::wait_until([&] { return udp_server_bound_count(m) == 1; }, 15000));
  EXPECT_EQ(std::string(udp_server_state_text(m, state, sizeof(state))),
            "taken udp [::]:" + std::to_string(port) + " receiving 1/1");
  ASSERT_TRUE(rxtest::send_from("127.0.0.1", port, rxtest::text("v4")));
  ASSERT_TRUE(vktest::wait_until([] { return g_received.load() == 1; }, 5000));
  EXPECT_EQ(udp_server_shutdown(m, 3), 0);
  EXPECT_EQ(std::string(udp_server_state_text(m, state, sizeof(state))),
            "taken udp [::]:" + std::to_string(port) + " stopped");
  EXPECT_EQ(udp_server_manager_free(m), 0);
}

TEST(UdpServer, StopWhileWaitingForThePortIsPrompt) {
  rxtest::init_threads();
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  udp_server_manager_t *m = udp_server_manager_new("wait", ntohs(a.sin_port), 0, record);
  m->bind_retry = 1;
  testing::internal::CaptureStderr();
  ASSERT_EQ(udp_server_start(m), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(udp_server_shutdown(m, 3), 0);
  EXPECT_EQ(m->thread_run_count.load(), 0);
  EXPECT_EQ(udp_server_manager_free(m), 0);
  close(fd);
}

}  // namespace
