#include "vk_comm.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// A connected pair of stream sockets, closed by the destructor.
struct sock_pair {
  int a = -1;
  int b = -1;
  sock_pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      a = fds[0];
      b = fds[1];
    }
  }
  ~sock_pair() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
  void send_all(const bytes &data) const {
    size_t off = 0;
    while (off < data.size()) {
      ssize_t r = send(b, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      ASSERT_GT(r, 0);
      off += static_cast<size_t>(r);
    }
  }
  void close_writer() {
    close(b);
    b = -1;
  }
};

bytes make_packet(uint16_t type, const std::string &body, uint8_t version = 2, uint8_t flag = 4) {
  set_nio_header_version(version);
  uint8_t *buf = nullptr;
  size_t n = wrap_packet_nio_header(&buf, body.data(), body.size(), flag, type, 7, 1, 19121701);
  bytes out(buf, buf + n);
  free(buf);
  set_nio_header_version(2);
  return out;
}

uint32_t be32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

TEST(VkCommHeader, WritesTheExactTwentyThreeByteLayout) {
  set_nio_header_version(2);
  uint8_t *buf = nullptr;
  size_t n =
      wrap_packet_nio_header(&buf, "abc", 3, NIO_FLAG_PROTOBUF, 0x1234, 0xA1B2C3D4, 4, 0x01020304);
  ASSERT_EQ(n, 26u);
  const bytes expect = {0xF9, 0xF2, 0xF8, 2,    4,    0, 0, 0, 0, 0, 0,   14,  0x12,
                        0x34, 0xA1, 0xB2, 0xC3, 0xD4, 4, 1, 2, 3, 4, 'a', 'b', 'c'};
  EXPECT_EQ(bytes(buf, buf + n), expect);
  free(buf);
}

TEST(VkCommHeader, EmptyBodyIsABareHeaderWithBodyLengthEleven) {
  set_nio_header_version(2);
  for (const char *body : {static_cast<const char *>(nullptr), "ignored"}) {
    uint8_t *buf = nullptr;
    size_t n = wrap_packet_nio_header(&buf, body, 0, NIO_FLAG_PROTOBUF, 10043, 0, 2, 0);
    ASSERT_EQ(n, 23u);
    EXPECT_EQ(be32(buf + 8), 11u);
    EXPECT_EQ(is_nio_header(buf), 1);
    free(buf);
  }
}

TEST(VkCommHeader, HelpersIgnoreNullAndShortHeaderIsThreeBytes) {
  EXPECT_EQ(set_nio_main_header(nullptr, 4, 11), nullptr);
  set_nio_sub_header(nullptr, 1, 2, 3, 4);
  set_oio_header(nullptr, 1);
  EXPECT_EQ(is_nio_header(nullptr), 0);
  EXPECT_EQ(wrap_packet_nio_header(nullptr, nullptr, 0, 4, 1, 0, 0, 0), 0u);

  uint8_t *buf = nullptr;
  size_t n = wrap_packet_oio_header(&buf, "xy", 2, 0xBEEF);
  ASSERT_EQ(n, 5u);
  EXPECT_EQ(bytes(buf, buf + n), (bytes{0xFF, 0xBE, 0xEF, 'x', 'y'}));
  EXPECT_EQ(is_nio_header(buf), 0);
  free(buf);
}

TEST(VkCommHeader, VersionByteIsTheStoredOne) {
  pkt_nio_main_header h;
  set_nio_header_version(0);
  set_nio_main_header(&h, NIO_FLAG_NONE, 99);
  EXPECT_EQ(h.header_version, 0);
  set_nio_header_version(2);
  set_nio_main_header(&h, NIO_FLAG_NONE, 99);
  EXPECT_EQ(h.header_version, 2);
  EXPECT_EQ(be32(reinterpret_cast<uint8_t *>(&h) + 8), 99u);
}

TEST(VkCommReceive, DeliversAWholePacket) {
  sock_pair sp;
  sp.send_all(make_packet(50036, "payload"));
  uint8_t buf[128] = {};
  EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), 11 + 7);
  EXPECT_EQ(buf[12], 50036 >> 8);
  EXPECT_EQ(memcmp(buf + 23, "payload", 7), 0);
}

TEST(VkCommReceive, AcceptsVersionZeroAndTwoOnlyAndTheFourSingleFlags) {
  for (uint8_t v : {0, 2}) {
    sock_pair sp;
    sp.send_all(make_packet(1, "x", v));
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), 12) << "version " << int{v};
  }
  for (uint8_t v : {1, 3, 255}) {
    sock_pair sp;
    sp.send_all(make_packet(1, "x", v));
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), -3) << "version " << int{v};
  }
  for (uint8_t f : {0, 1, 2, 4}) {
    sock_pair sp;
    sp.send_all(make_packet(1, "x", 2, f));
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), 12) << "flag " << int{f};
  }
  for (uint8_t f : {3, 5, 6, 8}) {
    sock_pair sp;
    sp.send_all(make_packet(1, "x", 2, f));
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), -6) << "flag " << int{f};
  }
}

TEST(VkCommReceive, RefusesBadMagicAndBodyLengthsThatDoNotFit) {
  {
    sock_pair sp;
    bytes p = make_packet(1, "x");
    p[0] = 0xF8;
    sp.send_all(p);
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), -2);
  }
  // body_length 0, one past the buffer's room, and negative as a signed value.
  for (uint32_t len : {0u, 64u - 12u + 1u, 0x80000000u}) {
    sock_pair sp;
    bytes p = make_packet(1, "");
    p[8] = static_cast<uint8_t>(len >> 24);
    p[9] = static_cast<uint8_t>(len >> 16);
    p[10] = static_cast<uint8_t>(len >> 8);
    p[11] = static_cast<uint8_t>(len);
    sp.send_all(p);
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), -4) << "length " << len;
  }
  {
    // Exactly the room behind the main header fits.
    sock_pair sp;
    sp.send_all(make_packet(1, std::string(64 - 23, 'z')));
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), 64 - 12);
  }
  uint8_t buf[16];
  EXPECT_EQ(get_nio_packet(0, nullptr, 100), -1);
  EXPECT_EQ(get_nio_packet(0, buf, 11), -1);
}

TEST(VkCommReceive, ClosedStreamGivesHeaderOrBodyError) {
  {
    sock_pair sp;
    sp.close_writer();
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), -1);
  }
  {
    sock_pair sp;
    bytes p = make_packet(1, "abcdef");
    p.resize(p.size() - 3);  // the body is cut short
    sp.send_all(p);
    sp.close_writer();
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), -5);
  }
  {
    sock_pair sp;
    bytes p = make_packet(1, "abcdef");
    p.resize(5);  // the main header is cut short
    sp.send_all(p);
    sp.close_writer();
    uint8_t buf[64];
    EXPECT_EQ(get_nio_packet(sp.a, buf, sizeof(buf)), -1);
  }
}

TEST(VkCommReceive, CompletesAPacketThatArrivesInPieces) {
  sock_pair sp;
  bytes p = make_packet(60018, std::string(300, 'q'));
  std::thread writer([&] {
    for (size_t off = 0; off < p.size(); off += 50) {
      size_t n = std::min<size_t>(50, p.size() - off);
      send(sp.b, p.data() + off, n, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  uint8_t buf[512] = {};
  int r = get_nio_packet(sp.a, buf, sizeof(buf));
  writer.join();
  EXPECT_EQ(r, 311);
  EXPECT_EQ(buf[23 + 299], 'q');
}

TEST(VkCommReceive, ShortHeaderReceiverRefusesTheNioMagic) {
  {
    sock_pair sp;
    sp.send_all({0xFF, 0x00, 0x10});
    uint8_t buf[8];
    EXPECT_EQ(get_oio_packet(sp.a, buf, sizeof(buf)), 3);
  }
  {
    sock_pair sp;
    sp.send_all(make_packet(1, ""));
    uint8_t buf[8];
    EXPECT_EQ(get_oio_packet(sp.a, buf, sizeof(buf)), -2);
  }
  {
    sock_pair sp;
    sp.close_writer();
    uint8_t buf[8];
    EXPECT_EQ(get_oio_packet(sp.a, buf, sizeof(buf)), -1);
  }
}

struct seen_packet {
  uint16_t type = 0;
  std::string body;
  int expected = 0;
  int calls = 0;
};

int record_packet(uint8_t *buffer, void *param) {
  seen_packet *s = static_cast<seen_packet *>(param);
  s->calls++;
  s->type = static_cast<uint16_t>((buffer[12] << 8) | buffer[13]);
  uint32_t len = be32(buffer + 8) - 11;
  s->body.assign(reinterpret_cast<char *>(buffer + 23), len);
  return 42;
}

int record_expected(uint8_t *buffer, void *param, int expected) {
  static_cast<seen_packet *>(param)->expected = expected;
  return record_packet(buffer, param);
}

TEST(VkCommProcessing, CallsTheHandlerWithTheWholePacket) {
  sock_pair sp;
  seen_packet seen;
  sp.send_all(make_packet(50020, "sync"));
  EXPECT_EQ(processing_socket(sp.a, 1, 2, record_packet, &seen), 42);
  EXPECT_EQ(seen.type, 50020);
  EXPECT_EQ(seen.body, "sync");

  sp.send_all(make_packet(50000, ""));
  EXPECT_EQ(processing_socket(sp.a, 1, 2, nullptr, nullptr), 0);

  sp.send_all(make_packet(62000, "lim"));
  EXPECT_EQ(receive_expected_nio_packet(sp.a, record_expected, &seen, 50036), 42);
  EXPECT_EQ(seen.expected, 50036);
  EXPECT_EQ(seen.body, "lim");

  sp.send_all(make_packet(50001, "tz"));
  EXPECT_EQ(receive_nio_packet(sp.a, record_packet, &seen), 42);
  EXPECT_EQ(seen.type, 50001);
}

TEST(VkCommProcessing, ReportsTimeOutClosedStreamAndBadWait) {
  sock_pair sp;
  seen_packet seen;
  EXPECT_EQ(processing_socket(sp.a, 1, 0, record_packet, &seen), -100);
  bytes bad = make_packet(1, "x", 1);
  sp.send_all(bad);
  EXPECT_EQ(processing_socket(sp.a, 1, 1, record_packet, &seen), -99);
  sp.close_writer();
  EXPECT_EQ(processing_socket(sp.a, 1, 1, record_packet, &seen), -99);
  EXPECT_EQ(receive_nio_packet(sp.a, record_packet, &seen), -99);
  EXPECT_EQ(seen.calls, 0);
}

TEST(VkCommAddress, ConvertsAddressAndPortText) {
  uint8_t addr[18];
  ASSERT_EQ(convert_ip_str_to_addr("10.0.0.1:162", 64, addr, sizeof(addr)), 6);
  EXPECT_EQ(bytes(addr, addr + 6), (bytes{10, 0, 0, 1, 0, 162}));
  ASSERT_EQ(convert_ip_str_to_addr("[::1]:162", 64, addr, sizeof(addr)), 18);
  EXPECT_EQ(addr[15], 1);
  EXPECT_EQ(addr[16], 0);
  EXPECT_EQ(addr[17], 162);
  ASSERT_EQ(convert_ip_str_to_addr("127.0.0.1:65535", 64, addr, sizeof(addr)), 6);
  EXPECT_EQ(addr[4], 0xFF);
  EXPECT_EQ(addr[5], 0xFF);
}

TEST(VkCommAddress, RefusesMalformedAddressText) {
  uint8_t addr[18];
  EXPECT_EQ(convert_ip_str_to_addr("::1:162", 64, addr, sizeof(addr)), -3);
  EXPECT_EQ(convert_ip_str_to_addr("[[::1]]:162", 64, addr, sizeof(addr)), -3);
  EXPECT_EQ(convert_ip_str_to_addr("[::1:162", 64, addr, sizeof(addr)), -3);
  EXPECT_EQ(convert_ip_str_to_addr("10.0.0.1:16x", 64, addr, sizeof(addr)), -4);
  EXPECT_EQ(convert_ip_str_to_addr("10.0.0.1:", 64, addr, sizeof(addr)), -4);
  EXPECT_EQ(convert_ip_str_to_addr("10.0.0.1:65536", 64, addr, sizeof(addr)), -4);
  EXPECT_EQ(convert_ip_str_to_addr("10.0.0.1:-1", 64, addr, sizeof(addr)), -4);
  EXPECT_EQ(convert_ip_str_to_addr("10.0.0.300:1", 64, addr, sizeof(addr)), -4);
  EXPECT_EQ(convert_ip_str_to_addr("10.0.0.1", 64, addr, sizeof(addr)), -2);
  EXPECT_EQ(convert_ip_str_to_addr("10.0.0.1:1", 64, addr, 17), -4);
  EXPECT_EQ(convert_ip_str_to_addr(nullptr, 64, addr, sizeof(addr)), -1);
  std::string long_text(60, '1');
  long_text += ".0:1";
  EXPECT_EQ(convert_ip_str_to_addr(long_text.c_str(), 128, addr, sizeof(addr)), -1);
  // The length limit applies to what the caller allows to be read.
  EXPECT_EQ(convert_ip_str_to_addr("10.0.0.1:162trailing", 12, addr, sizeof(addr)), 6);

  EXPECT_EQ(convert_ip_port_to_addr("10.0.0.1", "1", addr, 17), -1);
  EXPECT_EQ(convert_ip_port_to_addr(std::string(64, '1').c_str(), "1", addr, 18), -2);
  EXPECT_EQ(convert_ip_port_to_addr("1.2.3", "1", addr, 18), -3);
  EXPECT_EQ(convert_ip_port_to_addr("fe80::zz", "1", addr, 18), -3);
  EXPECT_EQ(convert_ip_port_to_addr("10.0.0.1", "", addr, 18), -4);
}

TEST(VkCommAddress, ChecksInterfaceAddresses) {
  struct ifreq ifr;
  memset(&ifr, 0, sizeof(ifr));
  auto set = [&](const char *name, const char *ip) {
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
    struct sockaddr_in *sin = reinterpret_cast<struct sockaddr_in *>(&ifr.ifr_addr);
    sin->sin_family = AF_INET;
    inet_pton(AF_INET, ip, &sin->sin_addr);
  };
  set("lo", "127.0.0.1");
  EXPECT_EQ(CheckIPAddr(&ifr), -1);
  set("eth0", "0.0.0.0");
  EXPECT_EQ(CheckIPAddr(&ifr), -2);
  set("eth0", "127.0.0.1");
  EXPECT_EQ(CheckIPAddr(&ifr), -3);
  set("eth0", "192.0.2.7");
  EXPECT_EQ(CheckIPAddr(&ifr), 0);
  set("lo0", "192.0.2.7");
  EXPECT_EQ(CheckIPAddr(&ifr), 0);
}

TEST(VkCommAddress, ResolvesLiteralsAndLocalNames) {
  char ip[64];
  EXPECT_EQ(getIPFromDomain("127.0.0.1", ip, sizeof(ip)), 0);
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_EQ(getIPFromDomain("::1", ip, sizeof(ip)), 0);
  EXPECT_STREQ(ip, "::1");
  EXPECT_EQ(getIPFromDomain("localhost", ip, sizeof(ip)), 0);
  EXPECT_TRUE(strcmp(ip, "127.0.0.1") == 0 || strcmp(ip, "::1") == 0) << ip;
  char small[4];
  EXPECT_EQ(getIPFromDomain("127.0.0.1", small, sizeof(small)), -2);
}

TEST(VkCommAddress, ListsTheLoopbackInterface) {
  EXPECT_EQ(get_ip_info(nullptr), -1);
  vk_ip_info_t info;
  ASSERT_EQ(get_ip_info(&info), 0);
  bool found = false;
  for (int i = 0; i < info.count; i++) {
    if (strcmp(info.array[i].ip_str, "127.0.0.1") == 0) found = true;
  }
  free(info.array);
  EXPECT_TRUE(found);
}

TEST(VkCommSocket, CloseShutsTheConnectionDown) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  EXPECT_EQ(vk_close_socket_debug(fds[0], "test"), 0);
  char c;
  EXPECT_EQ(recv(fds[1], &c, 1, 0), 0);
  close(fds[1]);
  EXPECT_NE(vk_close_socket_debug(fds[0], nullptr), 0);
}

}  // namespace
