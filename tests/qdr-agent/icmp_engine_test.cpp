// The ping engine over real raw sockets: echo to 127.0.0.1 and ::1 with both
// cycle drivers, the requests as a second raw socket sees them on the wire,
// replies forged with wrong identifiers and sequences, options, the host
// list, and a silent and a slow host in a network namespace made here.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "icmp.h"
#include "test_process.h"

namespace {

#define REQUIRE_RAW()                                                                        \
  do {                                                                                       \
    if (!vktest::raw_icmp_allowed()) GTEST_SKIP() << "raw ICMP sockets refused: needs root"; \
  } while (0)

struct ping_object {
  icmp_object_t *obj = icmp_object_new();
  ~ping_object() { icmp_object_destroy(obj); }
  // Wire numbers as given (identifier) and from 0 (sequence), so that a
  // test can forge replies to them.
  void plain_numbers() {
    obj->ident_base = 0;
    obj->seq_base = 0;
  }
};

double latency_of(icmp_host_t *h) {
  double v = 0;
  size_t n = sizeof(v);
  EXPECT_EQ(icmp_iterator_get_info(h, ICMP_INFO_LATENCY, &v, &n), 0);
  return v;
}

int int_info(icmp_host_t *h, int kind) {
  int v = 0;
  size_t n = sizeof(v);
  EXPECT_EQ(icmp_iterator_get_info(h, kind, &v, &n), 0);
  return v;
}

// Internet checksum of an ICMP message as read off the wire: 0 when valid.
uint16_t fold(const uint8_t *p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n % 2) sum += static_cast<uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

TEST(IcmpEngine, EchoToBothLoopbacksWithEitherDriver) {
  REQUIRE_RAW();
  for (int interleaved = 0; interleaved < 2; interleaved++) {
    ping_object p;
    uint8_t qos = 0xb8;
    ASSERT_EQ(icmp_setopt(p.obj, ICMP_OPT_QOS, &qos), 0);
    ASSERT_EQ(icmp_host_add(p.obj, "dev-4", "127.0.0.1", 124), 0);
    ASSERT_EQ(icmp_host_add(p.obj, "dev-6", "::1", 125), 0);
    // Two cycles on the same object: sequences advance, sockets are kept.
    for (int cycle = 1; cycle <= 2; cycle++) {
      int r = interleaved ? icmp_send(p.obj) : icmp_check(p.obj);
      ASSERT_EQ(r, interleaved ? 2 : 0) << icmp_get_error(p.obj);
      for (icmp_host_t *h = icmp_iterator_get(p.obj); h != nullptr; h = icmp_iterator_next(h)) {
        SCOPED_TRACE(h->username);
        EXPECT_GE(latency_of(h), 0.0);
        EXPECT_LT(latency_of(h), 1000.0);
        EXPECT_EQ(int_info(h, ICMP_INFO_SEQUENCE), cycle);
        EXPECT_EQ(int_info(h, ICMP_INFO_RECV_TTL), 64);
        // The kernel answers with the request's traffic class.
        uint8_t q[4] = {9, 9, 9, 9};
        size_t n = sizeof(q);
        ASSERT_EQ(icmp_iterator_get_info(h, ICMP_INFO_RECV_QOS, q, &n), 0);
        EXPECT_EQ(n, 4u);
        EXPECT_EQ(q[0], 0xb8);
        EXPECT_EQ(q[1] | q[2] | q[3], 0);
      }
    }
  }
}

TEST(IcmpEngine, HostListAndTtlEdges) {
  REQUIRE_RAW();
  ping_object p;
  ASSERT_EQ(icmp_check(p.obj), -1);
  EXPECT_STREQ(icmp_get_error(p.obj), "icmp_send: No hosts to ping");
  ASSERT_EQ(icmp_host_add(p.obj, nullptr, "LocalHost", 124), 0);
  EXPECT_EQ(icmp_host_add(p.obj, nullptr, "localHOST", 125), 0);  // present: not added
  ASSERT_EQ(icmp_host_add(p.obj, nullptr, "::1", 126), 0);
  EXPECT_EQ(icmp_iterator_next(icmp_iterator_next(icmp_iterator_get(p.obj))), nullptr);
  for (int bad : {0, 256}) {
    int good = 20;
    ASSERT_EQ(icmp_setopt(p.obj, ICMP_OPT_TTL, &good), 0);
    EXPECT_EQ(icmp_setopt(p.obj, ICMP_OPT_TTL, &bad), -1);
    EXPECT_EQ(p.obj->ttl, 64);
  }
  // A TTL set while the sockets are open reaches them at once.
  ASSERT_EQ(icmp_check(p.obj), 0);
  int ttl = 7;
  ASSERT_EQ(icmp_setopt(p.obj, ICMP_OPT_TTL, &ttl), 0);
  int v4 = 0;
  int v6 = 0;
  socklen_t len = sizeof(int);
  getsockopt(p.obj->fd4, IPPROTO_IP, IP_TTL, &v4, &len);
  getsockopt(p.obj->fd6, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &v6, &len);
  EXPECT_EQ(v4, 7);
  EXPECT_EQ(v6, 7);
}

TEST(IcmpEngine, AFamilyWithoutASocketLeavesTheOtherFamilyPinged) {
  REQUIRE_RAW();
  // Room for exactly one more descriptor: the IPv4 socket gets it, the
  // IPv6 socket fails with EMFILE.
  int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit one = saved;
  one.rlim_cur = static_cast<rlim_t>(lowest) + 1;
  for (int interleaved = 0; interleaved < 2; interleaved++) {
    ping_object p;
    ASSERT_EQ(icmp_host_add(p.obj, nullptr, "::1", 124), 0);
    ASSERT_EQ(icmp_host_add(p.obj, nullptr, "127.0.0.1", 125), 0);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one), 0);
    int r = interleaved ? icmp_send(p.obj) : icmp_check(p.obj);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(r, interleaved ? -1 : 0);  // the IPv6 host counts as a send error
    EXPECT_EQ(p.obj->fd6, -1);
    EXPECT_EQ(latency_of(icmp_iterator_get(p.obj)), -1.0);
    EXPECT_GE(latency_of(icmp_iterator_next(icmp_iterator_get(p.obj))), 0.0);
  }
}

TEST(IcmpEngine, FormatQosNamesTheDscpAndTheEcnBits) {
  struct {
    uint8_t in;
    const char *out;
  } cases[] = {{0xb8, "ef"},        {0x01, "be,ecn(1)"}, {0x04, "0x01"},
               {0x02, "be,ecn(0)"}, {0x03, "be,ce"},     {0x29, "af11,ecn(1)"},
               {0xb4, "va"},        {0xe0, "cs7"},       {0xff, "0x3f,ce"}};
  for (const auto &c : cases) {
    char buf[16];
    EXPECT_STREQ(format_qos(c.in, buf, sizeof(buf)), c.out) << int(c.in);
  }
  char tiny[3];
  EXPECT_STREQ(format_qos(0x2a, tiny, sizeof(tiny)), "af");
}

// A second raw socket that sees our requests and can forge replies.
struct wire {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  ~wire() {
    if (fd >= 0) close(fd);
  }
  // The ICMP part of the next echo request with identifier `ident`, or
  // empty when none arrives within a second.
  std::vector<uint8_t> request(uint16_t ident) {
    for (int i = 0; i < 200; i++) {
      struct pollfd pfd = {fd, POLLIN, 0};
      if (poll(&pfd, 1, 1000) <= 0) break;
      uint8_t buf[8192];
      ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n < 28) continue;
      size_t hl = (buf[0] & 0x0f) * 4u;
      const uint8_t *icmp = buf + hl;
      if (icmp[0] == 8 && (icmp[4] << 8 | icmp[5]) == ident) {
        return std::vector<uint8_t>(icmp, static_cast<const uint8_t *>(buf + n));
      }
    }
    return {};
  }
  // An echo reply that comes from `to` (the socket is bound to it) and is
  // sent to it, where our raw sockets see it.
  void reply(const char *to, uint16_t ident, uint16_t seq) { reply_from(to, to, ident, seq); }
  void reply_from(const char *from, const char *to, uint16_t ident, uint16_t seq) {
    uint8_t m[8] = {0,
                    0,
                    0,
                    0,
                    static_cast<uint8_t>(ident >> 8),
                    static_cast<uint8_t>(ident),
                    static_cast<uint8_t>(seq >> 8),
                    static_cast<uint8_t>(seq)};
    uint16_t sum = fold(m, sizeof(m));
    m[2] = static_cast<uint8_t>(sum >> 8);
    m[3] = static_cast<uint8_t>(sum);
    int out = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    struct sockaddr_in src = {};
    src.sin_family = AF_INET;
    inet_pton(AF_INET, from, &src.sin_addr);
    EXPECT_EQ(bind(out, reinterpret_cast<sockaddr *>(&src), sizeof(src)), 0) << from;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, to, &a.sin_addr);
    sendto(out, m, sizeof(m), 0, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    close(out);
  }
};

TEST(IcmpEngine, RequestsCarryTheProcessIdentifierACycleSequenceAndASmallFixedPayload) {
  REQUIRE_RAW();
  wire w;
  ASSERT_GE(w.fd, 0);
  // Identifiers from the first position to past the 1,500-byte and 4,096-byte
  // marks of a payload that grew with them: every request is 27 bytes with a
  // valid checksum (odd length: the last byte is the high byte of a word).
  std::vector<uint16_t> seq_bases;
  for (int ident : {124, 1350, 4070, 40000}) {
    SCOPED_TRACE(ident);
    ping_object p;
    uint16_t wire_ident = static_cast<uint16_t>(p.obj->ident_base + ident);
    seq_bases.push_back(p.obj->seq_base);
    ASSERT_EQ(icmp_host_add(p.obj, nullptr, "127.0.0.1", ident), 0);
    ASSERT_EQ(icmp_send(p.obj), 1) << icmp_get_error(p.obj);
    EXPECT_EQ(p.obj->head->error[0], '\0');
    std::vector<uint8_t> req = w.request(wire_ident);
    ASSERT_EQ(req.size(), 8u + 19u);
    EXPECT_EQ(fold(req.data(), req.size()), 0) << "checksum";
    EXPECT_EQ(req[6] << 8 | req[7], p.obj->seq_base);
    EXPECT_EQ(std::string(req.begin() + 8, req.end()), ICMP_DEF_DATA);
  }
  // The identifier base is this process's; each object (one per cycle)
  // starts its sequences where no earlier one of the process did.
  ping_object p1, p2;
  EXPECT_EQ(p1.obj->ident_base, p2.obj->ident_base);
  EXPECT_NE(p1.obj->seq_base, p2.obj->seq_base);
  for (size_t i = 1; i < seq_bases.size(); i++) EXPECT_NE(seq_bases[i], seq_bases[i - 1]);
}

// A network namespace of our own, entered by the calling thread (threads it
// starts inherit it): its loopback is ours to silence or slow down, and a
// veth pair with no one behind 198.51.100.9 gives an unreachable host.
// Leaves the namespace and removes it in the destructor.
struct netns_lab {
  std::string ns = "icmp-engine-test-" + std::to_string(getpid());
  int home_fd = -1;
  bool ok = false;
  std::string why;
  bool sh(const std::string &cmd) {
    vktest::run_result r = vktest::run_program({"/bin/sh", "-c", cmd});
    if (r.status != 0 && why.empty()) why = cmd + ": " + r.out + r.err;
    return r.status == 0;
  }
  bool in_ns(const std::string &cmd) { return sh("ip netns exec " + ns + " " + cmd); }
  netns_lab() {
    ok = sh("ip netns add " + ns) && in_ns("ip link set lo up") &&
         in_ns("ip link add icmpt0 type veth peer name icmpt1") &&
         in_ns("ip addr add 198.51.100.1/24 dev icmpt0") && in_ns("ip link set icmpt0 up") &&
         in_ns("ip link set icmpt1 up");
    if (!ok) return;
    home_fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    ok = home_fd >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (!ok) why = std::string("setns: ") + strerror(errno);
    if (fd >= 0) close(fd);
  }
  ~netns_lab() {
    if (home_fd >= 0) {
      EXPECT_EQ(setns(home_fd, CLONE_NEWNET), 0);
      close(home_fd);
    }
    sh("ip netns del " + ns + " 2>/dev/null");
  }
};

#define REQUIRE_LAB(lab)                                                                   \
  do {                                                                                     \
    if (!(lab).ok) GTEST_SKIP() << "network namespace refused, not tested: " << (lab).why; \
  } while (0)

TEST(IcmpEngine, OnlyTheRepliesToTheOutstandingRequestAreMatched) {
  REQUIRE_RAW();
  netns_lab lab;
  REQUIRE_LAB(lab);
  // The kernel stays silent; the replies come from the test.
  ASSERT_TRUE(lab.in_ns("sysctl -qw net.ipv4.icmp_echo_ignore_all=1")) << lab.why;
  wire w;
  ASSERT_GE(w.fd, 0);
  ping_object p;
  p.plain_numbers();
  double t = 0.3;
  icmp_setopt(p.obj, ICMP_OPT_TIMEOUT, &t);
  ASSERT_EQ(icmp_host_add(p.obj, nullptr, "127.0.0.1", 300), 0);
  // Cycle 1 sends sequence 0 and gets only wrong answers (among them the
  // right numbers from another address, as another pinger's target would
  // send them); cycle 2 sends sequence 1 and gets a stale answer to cycle 1
  // first, then its own.
  for (int cycle = 0; cycle < 2; cycle++) {
    SCOPED_TRACE(cycle);
    bool seen = false;
    std::thread peer([&] {
      seen = !w.request(300).empty();
      if (cycle == 0) {
        w.reply("127.0.0.1", 300, 1);     // not the sequence sent
        w.reply("127.0.0.1", 0x1300, 0);  // another identifier
        w.reply_from("127.0.0.3", "127.0.0.1", 300, 0);  // another source
      } else {
        w.reply("127.0.0.1", 300, 0);  // late answer to cycle 1
        w.reply("127.0.0.1", 300, 1);  // the one
        w.reply("127.0.0.1", 300, 1);  // a duplicate: the timer is clear
      }
    });
    EXPECT_EQ(icmp_check(p.obj), 0);
    peer.join();
    ASSERT_TRUE(seen);
    icmp_host_t *h = icmp_iterator_get(p.obj);
    if (cycle == 0) {
      EXPECT_EQ(latency_of(h), -1.0);
    } else {
      EXPECT_GE(latency_of(h), 0.0);
      EXPECT_EQ(int_info(h, ICMP_INFO_RECV_TTL), 64);
    }
  }
}

TEST(IcmpEngine, UnreachableAndLateHostsTimeOutAndLateRepliesAreNotCounted) {
  REQUIRE_RAW();
  netns_lab lab;
  REQUIRE_LAB(lab);
  ASSERT_TRUE(lab.in_ns("sysctl -qw net.ipv4.icmp_echo_ignore_all=1")) << lab.why;
  for (int interleaved = 0; interleaved < 2; interleaved++) {
    SCOPED_TRACE(interleaved ? "icmp_send" : "icmp_check");
    wire w;
    ASSERT_GE(w.fd, 0);
    ping_object p;
    p.plain_numbers();
    double t = 0.2;
    icmp_setopt(p.obj, ICMP_OPT_TIMEOUT, &t);
    ASSERT_EQ(icmp_host_add(p.obj, nullptr, "127.0.0.1", 301), 0);
    ASSERT_EQ(icmp_host_add(p.obj, nullptr, "198.51.100.9", 302), 0);
    ASSERT_EQ(icmp_host_add(p.obj, nullptr, "127.0.0.2", 303), 0);
    // The first host answers only once the last one has been asked: in the
    // sequential cycle that is after its own deadline.
    std::thread peer([&] {
      if (w.request(303).empty()) return;
      w.reply("127.0.0.1", 301, 0);
      w.reply("127.0.0.2", 303, 0);
    });
    int r = interleaved ? icmp_send(p.obj) : icmp_check(p.obj);
    peer.join();
    EXPECT_EQ(r, interleaved ? 2 : 0) << icmp_get_error(p.obj);
    icmp_host_t *first = icmp_iterator_get(p.obj);
    icmp_host_t *silent = icmp_iterator_next(first);
    icmp_host_t *last = icmp_iterator_next(silent);
    EXPECT_EQ(latency_of(first) >= 0.0, interleaved == 1) << latency_of(first);
    EXPECT_EQ(latency_of(silent), -1.0);
    EXPECT_EQ(int_info(silent, ICMP_INFO_RECV_TTL), -1);
    EXPECT_GE(latency_of(last), 0.0);
  }
}

}  // namespace
