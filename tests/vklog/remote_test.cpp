// Remote output: datagrams received on a real loopback socket and checked
// byte by byte, the sequence wrap, reconnection on reload, switching off
// without an address, and the receiver-side checks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vklog_config.h"
#include "vklog_packet.h"
#include "vklog_test_util.h"

using vklogtest::VklogFixture;

namespace {

// CRC-32 (IEEE 802.3), bit by bit: independent of the library's table.
uint32_t crc32_bitwise(const unsigned char *p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

uint32_t be32(const unsigned char *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint16_t be16(const unsigned char *p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

struct receiver {
  int sock = -1;
  int port = 0;
  receiver() {
    sock = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock >= 0 && bind(sock, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0) {
      socklen_t len = sizeof(sa);
      getsockname(sock, reinterpret_cast<sockaddr *>(&sa), &len);
      port = ntohs(sa.sin_port);
      int size = 4 << 20;
      setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
  }
  ~receiver() {
    if (sock >= 0) close(sock);
  }
  // One datagram, or empty after `timeout_ms`.
  std::vector<unsigned char> recv_one(int timeout_ms = 2000) {
    struct pollfd p = {sock, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return {};
    std::vector<unsigned char> buf(70000);
    ssize_t n = recv(sock, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
  }
};

std::string remote_section(const std::string &name, const std::string &dir, int port,
                           const std::string &ip = "127.0.0.1") {
  return "[" + name +
         "]\noutput_type=file,vklogger\nlevel=info\nheader_flag=level\ndirectory=" + dir +
         "\nvklogger_ip=" + ip + "\nvklogger_port=" + std::to_string(port) + "\n";
}

}  // namespace

TEST_F(VklogFixture, DatagramCarriesTheLineByteForByte) {
  receiver r;
  ASSERT_GT(r.port, 0);
  ASSERT_EQ(0, load(remote_section("remote cat", dir.path, r.port)));
  vklog_t *h = vklog_get_category("remote cat");
  ASSERT_NE(nullptr, h);
  VKLOG(h, VL_ERROR, "hello %d\n", 42);
  std::vector<unsigned char> d = r.recv_one();
  ASSERT_GE(d.size(), 31u);
  const unsigned char *p = d.data();
  EXPECT_EQ(0xB9, p[0]);
  EXPECT_EQ(0xC8, p[1]);
  EXPECT_EQ(0xAC, p[2]);
  EXPECT_EQ(0xE2, p[3]);
  std::vector<unsigned char> zeroed = d;
  zeroed[4] = zeroed[5] = zeroed[6] = zeroed[7] = 0;
  EXPECT_EQ(crc32_bitwise(zeroed.data(), zeroed.size()), be32(p + 4));
  EXPECT_LT(be16(p + 8), 60000);
  EXPECT_EQ(0, be16(p + 10));
  EXPECT_EQ(d.size() - 14, be16(p + 12));
  EXPECT_EQ(3, be16(p + 14));
  char host[128] = {};
  gethostname(host, sizeof(host) - 1);
  size_t off = 16;
  ASSERT_EQ(strlen(host), p[off]);
  EXPECT_EQ(std::string(host), std::string(reinterpret_cast<const char *>(p + off + 1), p[off]));
  off += 1 + p[off];
  ASSERT_EQ(10u, p[off]);
  EXPECT_EQ("remote cat", std::string(reinterpret_cast<const char *>(p + off + 1), 10));
  off += 11;
  ASSERT_EQ(14u, p[off]);
  EXPECT_EQ("remote_cat.log", std::string(reinterpret_cast<const char *>(p + off + 1), 14));
  off += 15;
  ASSERT_LE(off + 12, d.size());
  uint64_t pid = (uint64_t(be32(p + off)) << 32) | be32(p + off + 4);
  EXPECT_EQ(static_cast<uint64_t>(getpid()), pid);
  uint32_t tlen = be32(p + off + 8);
  off += 12;
  ASSERT_EQ(d.size() - off, tlen);
  std::string text(reinterpret_cast<const char *>(p + off), tlen);
  EXPECT_EQ("[ERRO]hello 42\n", text);
  // The file gets the same line.
  EXPECT_EQ(text, vktest::read_file(path("remote_cat.log")));

  // The library's own receiver checks agree.
  EXPECT_EQ(0, vk_udp_check_magic(d.data(), d.size()));
  EXPECT_EQ(0, vk_udp_check_crc(be32(p + 4), zeroed.data(), zeroed.size()));
  vl_vklogger_record_t rec;
  ASSERT_EQ(0, vl_vklogger_parse_packet(d.data(), d.size(), &rec));
  EXPECT_EQ(std::string("[ERRO]hello 42\n"), std::string(rec.text, rec.text_len));
  vklog_vklogger_perf_data_t perf = {};
  EXPECT_EQ(0, vklog_get_vklogger_perf_sent(h, &perf));
  EXPECT_EQ(1u, perf.sent_success_count);
  EXPECT_EQ(0u, perf.sent_error_count);
  EXPECT_EQ(d.size(), perf.sent_size);
}

TEST_F(VklogFixture, LongLineIsCutToFitTheDatagramAndTheFileGetsTheSameText) {
  receiver r;
  ASSERT_EQ(0, load(remote_section("long", dir.path, r.port)));
  vklog_t *h = vklog_get_category("long");
  std::string msg(20000, 'z');
  VKLOG(h, VL_INFO, "%s\n", msg.c_str());
  std::vector<unsigned char> d = r.recv_one();
  ASSERT_EQ(static_cast<size_t>(VKLOG_LINE_BUFFER_SIZE - 1), d.size());
  vl_vklogger_record_t rec;
  ASSERT_EQ(0, vl_vklogger_parse_packet(d.data(), d.size(), &rec));
  EXPECT_EQ(std::string(rec.text, rec.text_len), vktest::read_file(path("long.log")));
}

TEST_F(VklogFixture, SequenceNumbersRunUpTo59999AndWrapToZero) {
  receiver r;
  ASSERT_EQ(0, load(remote_section("seq", dir.path, r.port) + "output_type=vklogger\n"));
  vklog_t *h = vklog_get_category("seq");
  VKLOG(h, VL_INFO, "first\n");
  std::vector<unsigned char> d = r.recv_one();
  ASSERT_FALSE(d.empty());
  uint16_t prev = be16(d.data() + 8);
  int wraps = 0;
  // 60000 more datagrams pass 59999 exactly once.
  for (int i = 0; i < 60000; i++) {
    VKLOG(h, VL_INFO, "n\n");
    d = r.recv_one();
    ASSERT_FALSE(d.empty()) << i;
    uint16_t s = be16(d.data() + 8);
    if (prev == 59999) {
      ASSERT_EQ(0, s);
      wraps++;
    } else {
      ASSERT_EQ(prev + 1, s) << i;
    }
    prev = s;
  }
  EXPECT_EQ(1, wraps);
}

TEST_F(VklogFixture, PortChangeOnReloadReconnects) {
  receiver a, b;
  ASSERT_EQ(0, load(remote_section("moving", dir.path, a.port)));
  vklog_t *h = vklog_get_category("moving");
  VKLOG(h, VL_INFO, "to a\n");
  ASSERT_FALSE(a.recv_one().empty());
  ASSERT_TRUE(vktest::write_file(conf, remote_section("moving", dir.path, b.port)));
  int e = 0;
  ASSERT_EQ(0, vklog_reload(&e));
  EXPECT_EQ(0, e);
  VKLOG(h, VL_INFO, "to b\n");
  std::vector<unsigned char> d = b.recv_one();
  ASSERT_FALSE(d.empty());
  vl_vklogger_record_t rec;
  ASSERT_EQ(0, vl_vklogger_parse_packet(d.data(), d.size(), &rec));
  EXPECT_EQ("[INFO]to b\n", std::string(rec.text, rec.text_len));
  EXPECT_TRUE(a.recv_one(100).empty());

  // Turning remote output off closes the socket; on again reopens it.
  ASSERT_TRUE(
      vktest::write_file(conf, remote_section("moving", dir.path, b.port) + "output_type=file\n"));
  ASSERT_EQ(0, vklog_reload(&e));
  EXPECT_EQ(-1, h->output_vklogger.sock);
  VKLOG(h, VL_INFO, "file only\n");
  EXPECT_TRUE(b.recv_one(100).empty());
  ASSERT_TRUE(vktest::write_file(conf, remote_section("moving", dir.path, a.port)));
  ASSERT_EQ(0, vklog_reload(&e));
  VKLOG(h, VL_INFO, "back to a\n");
  EXPECT_FALSE(a.recv_one().empty());
}

TEST_F(VklogFixture, RemoteOutputWithoutAddressSwitchesItselfOffAndFileStillWorks) {
  ASSERT_EQ(0, load("[noip]\noutput_type=file,vklogger\nlevel=info\nheader_flag=level\n"
                    "directory=" +
                    dir.path + "\n[badip]\noutput_type=vklogger\nvklogger_ip=300.1.2.3\n"));
  vklog_t *h = vklog_get_category("noip");
  VKLOG(h, VL_INFO, "one\n");
  VKLOG(h, VL_INFO, "two\n");
  EXPECT_EQ("[INFO]one\n[INFO]two\n", vktest::read_file(path("noip.log")));
  vklog_config_t *c = vklog_config_clone_from_vklog(h);
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(VKLOG_OUTPUT_FILE, c->output);  // remote bit cleared in use
  vklog_config_free(c);
  vklog_vklogger_perf_data_t perf = {};
  vklog_get_vklogger_perf_sent(h, &perf);
  EXPECT_EQ(0u, perf.sent_success_count + perf.sent_error_count);
  // An address that is not IPv4 text: the category exists, with -4 reported.
  int e = 0;
  vklog_config_t *bad = vklog_config_clone_from_category("badip");
  ASSERT_NE(nullptr, bad);
  EXPECT_EQ(0, vklog_apply_config(bad, &e));
  vklog_test_reset();
  EXPECT_EQ(0, load("[badip]\noutput_type=vklogger\nvklogger_ip=300.1.2.3\n", &e));
  EXPECT_EQ(-4, e);
  EXPECT_NE(nullptr, vklog_get_category("badip"));
}

TEST(VklogPacket, ReceiverChecksRejectEveryDamagedDatagram) {
  EXPECT_EQ(-5, vk_udp_check_magic(nullptr, 4));
  EXPECT_EQ(-5, vk_udp_check_magic("\xB9\xC8\xAC", 3));
  EXPECT_EQ(-4, vk_udp_check_magic("\xB8\xC8\xAC\xE2", 4));
  EXPECT_EQ(-3, vk_udp_check_magic("\xB9\xC9\xAC\xE2", 4));
  EXPECT_EQ(-2, vk_udp_check_magic("\xB9\xC8\xAD\xE2", 4));
  EXPECT_EQ(-1, vk_udp_check_magic("\xB9\xC8\xAC\xD2", 4));
  EXPECT_EQ(0, vk_udp_check_magic("\xB9\xC8\xAC\xEF", 4));
  EXPECT_EQ(-1, vk_udp_check_crc(0, nullptr, 0));

  // A datagram built by the library for a configuration with long names.
  vklog_config_t *c = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT);
  ASSERT_EQ(0, vklog_config_set(c, VKLOG_CFG_TYPE_NAME, 127, std::string(127, 'c').c_str()));
  ASSERT_EQ(0, vklog_config_set(c, VKLOG_CFG_TYPE_FILENAME, 127, std::string(127, 'f').c_str()));
  ASSERT_EQ(0, vklog_config_finish(c));
  char buf[VKLOG_LINE_BUFFER_SIZE];
  size_t prefix = vl_vklogger_set_packet_from_config(c, buf);
  memcpy(buf + prefix, "text\n", 5);
  size_t total = vl_vklogger_set_packet_finish_from_config(c, buf, 5, prefix);
  vklog_config_free(c);
  vl_vklogger_record_t rec;
  ASSERT_EQ(0, vl_vklogger_parse_packet(buf, total, &rec));
  EXPECT_EQ(127u, rec.category_len);
  EXPECT_EQ(127u, rec.file_len);
  EXPECT_EQ(5u, rec.text_len);
  // Every truncation fails the layout check.
  for (size_t n = 0; n < total; n++) EXPECT_NE(0, vl_vklogger_parse_packet(buf, n, &rec)) << n;
  // Lengths past the end are caught even when the header length matches.
  std::vector<unsigned char> d(buf, buf + total);
  std::vector<unsigned char> bad = d;
  bad[16] = 255;  // host name length: the later fields no longer line up
  EXPECT_LT(vl_vklogger_parse_packet(bad.data(), bad.size(), &rec), 0);
  bad = d;
  size_t file_len_at = 16 + 1 + d[16] + 1 + 127;
  ASSERT_EQ(127, bad[file_len_at]);
  bad[file_len_at] = 255;  // file name length past the end
  EXPECT_EQ(-6, vl_vklogger_parse_packet(bad.data(), bad.size(), &rec));
  bad = d;
  bad[total - 5 - 1] = 0xFF;  // low byte of the text length
  EXPECT_EQ(-8, vl_vklogger_parse_packet(bad.data(), bad.size(), &rec));
  bad = d;
  bad[15] = 4;  // record type
  EXPECT_EQ(-3, vl_vklogger_parse_packet(bad.data(), bad.size(), &rec));
  bad = d;
  bad.push_back(0);  // a trailing byte the header does not count
  EXPECT_EQ(-2, vl_vklogger_parse_packet(bad.data(), bad.size(), &rec));
  // A flipped bit fails the CRC.
  uint32_t crc = be32(d.data() + 4);
  bad = d;
  bad[4] = bad[5] = bad[6] = bad[7] = 0;
  EXPECT_EQ(0, vk_udp_check_crc(crc, bad.data(), bad.size()));
  bad[20] ^= 1;
  EXPECT_EQ(-1, vk_udp_check_crc(crc, bad.data(), bad.size()));
}
