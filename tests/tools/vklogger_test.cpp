// The vklogger collector as a real process: datagrams from the logging
// library are printed, damaged ones are counted and dropped, and the
// process keeps running until it is stopped by its pid.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_process.h"
#include "vklog.h"
#include "vklog_internal.h"
#include "vklog_packet.h"

namespace {

const std::string kTool = vktest::built_program("tools/vklogger/vklogger");

// The port printed by a started vklogger, or 0.
int wait_port(const vktest::child &c) {
  int port = 0;
  vktest::wait_until(
      [&] {
        std::string err = vktest::read_file(c.err_path);
        size_t at = err.find("listening on 127.0.0.1:");
        if (at == std::string::npos) return false;
        port = atoi(err.c_str() + at + strlen("listening on 127.0.0.1:"));
        return true;
      },
      5000);
  return port;
}

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

// Sends raw bytes to 127.0.0.1:port.
void send_raw(int port, const void *data, size_t len) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(static_cast<ssize_t>(len),
            sendto(s, data, len, 0, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)));
  close(s);
}

// A well-formed datagram for category `name` carrying `text`.
std::vector<unsigned char> make_datagram(const std::string &name, const std::string &text) {
  vklog_config_t *c = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT);
  vklog_config_set(c, VKLOG_CFG_TYPE_NAME, name.size(), name.c_str());
  vklog_config_finish(c);
  std::vector<unsigned char> buf(VKLOG_LINE_BUFFER_SIZE);
  char *b = reinterpret_cast<char *>(buf.data());
  size_t prefix = vl_vklogger_set_packet_from_config(c, b);
  memcpy(b + prefix, text.data(), text.size());
  size_t total = vl_vklogger_set_packet_finish_from_config(c, b, text.size(), prefix);
  vklog_config_free(c);
  buf.resize(total);
  return buf;
}

// Stores a fresh header and CRC over the datagram as it now is, so that
// only its record layout is wrong.
void reseal(std::vector<unsigned char> *d) {
  vk_udp_set_header(d->data(), 1, d->size() - VKLOG_UDP_HEADER_SIZE);
}

class VkloggerProcess : public ::testing::Test {
 protected:
  void SetUp() override { vklog_test_reset(); }
  void TearDown() override { vklog_test_reset(); }
  vktest::temp_dir dir;
};

}  // namespace

TEST_F(VkloggerProcess, PrintsGoodDatagramsAndDropsDamagedOnesWithoutDying) {
  std::string out = dir.path + "/lines.txt";
  vktest::child c = vktest::start_program({kTool, "-p", "0", "-o", out}, dir.path);
  ASSERT_GT(c.pid, 0);
  int port = wait_port(c);
  ASSERT_GT(port, 0);

  std::string conf = dir.path + "/log.conf";
  ASSERT_TRUE(vktest::write_file(conf,
                                 "[tool cat]\noutput_type=vklogger\nlevel=info\n"
                                 "header_flag=level\nvklogger_ip=127.0.0.1\nvklogger_port=" +
                                     std::to_string(port) + "\n"));
  int e = 0;
  ASSERT_EQ(0, vklog_initialize_with_config_file(conf.c_str(), &e));
  vklog_t *h = vklog_get_category("tool cat");
  ASSERT_NE(nullptr, h);
  VKLOG(h, VL_INFO, "first %d\n", 1);

  std::vector<unsigned char> good = make_datagram("raw", "raw text\n");
  send_raw(port, "garbage", 7);
  send_raw(port, "\xB9\xC8", 2);
  std::vector<unsigned char> bad = good;
  bad[bad.size() - 2] ^= 0x20;  // the CRC no longer matches
  send_raw(port, bad.data(), bad.size());
  bad = good;
  bad.resize(bad.size() - 3);  // cut short, header resealed
  reseal(&bad);
  send_raw(port, bad.data(), bad.size());
  bad = good;
  bad[16] = 255;  // a host name length far past the end
  reseal(&bad);
  send_raw(port, bad.data(), bad.size());
  bad = good;
  bad[12] = 0xFF;  // payload length larger than the datagram
  bad[13] = 0xFF;
  send_raw(port, bad.data(), bad.size());
  send_raw(port, good.data(), good.size());
  VKLOG(h, VL_INFO, "last %s\n", "line");

  ASSERT_TRUE(
      vktest::wait_until([&] { return count_of(vktest::read_file(out), "\n") >= 3; }, 5000));
  ASSERT_TRUE(vktest::wait_until(
      [&] { return count_of(vktest::read_file(c.err_path), "dropped datagram") >= 6; }, 5000));
  EXPECT_EQ(-1, vktest::wait_program(c, 0));  // still running

  char host[128] = {};
  gethostname(host, sizeof(host) - 1);
  std::string pid = std::to_string(getpid());
  std::string lines = vktest::read_file(out);
  EXPECT_EQ("[" + std::string(host) + "][tool cat][tool_cat.log][" + pid + "] [INFO]first 1\n" +
                "[" + host + "][raw][raw.log][" + pid + "] raw text\n" + "[" + host +
                "][tool cat][tool_cat.log][" + pid + "] [INFO]last line\n",
            lines);
  EXPECT_EQ(lines, vktest::read_file(c.out_path));

  vktest::stop_program(c);
  std::string err = vktest::read_file(c.err_path);
  EXPECT_NE(std::string::npos, err.find("good 3 bad 6")) << err;
  EXPECT_NE(std::string::npos, err.find("bad CRC")) << err;
  EXPECT_NE(std::string::npos, err.find("bad magic")) << err;
}

TEST_F(VkloggerProcess, ExitsAfterTheRequestedCountAndRejectsBadOptions) {
  vktest::child c = vktest::start_program({kTool, "-p", "0", "-n", "2"}, dir.path);
  ASSERT_GT(c.pid, 0);
  int port = wait_port(c);
  ASSERT_GT(port, 0);
  std::vector<unsigned char> d = make_datagram("count", "x\n");
  send_raw(port, d.data(), d.size());
  send_raw(port, d.data(), d.size());
  int status = vktest::wait_program(c, 5000);
  if (status == -1) vktest::stop_program(c);
  EXPECT_EQ(0, status);
  EXPECT_EQ(2u, count_of(vktest::read_file(c.out_path), "\n"));

  EXPECT_EQ(2, vktest::run_program({kTool, "-p", "70000"}).status);
  EXPECT_EQ(2, vktest::run_program({kTool, "-n", "0"}).status);
  EXPECT_EQ(2, vktest::run_program({kTool, "extra"}).status);
  EXPECT_EQ(1, vktest::run_program({kTool, "-p", "0", "-b", "not-an-address"}).status);
}
