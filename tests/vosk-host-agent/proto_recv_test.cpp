// Dispatch of the collector's packets: unknown codes, cut and large
// bodies, and the configuration change that rewrites the file.
#include "pkt_proto/proto_recv.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "configure.h"
#include "pub_conf.h"
#include "test_process.h"
#include "thr_dgconn.h"
#include "vk_comm.h"

namespace {

std::string config_entry(const std::string &key, const std::string &value) {
  std::string item = "\x0a" + std::string(1, static_cast<char>(key.size())) + key + "\x12" +
                     std::string(1, static_cast<char>(value.size())) + value;
  return "\x0a" + std::string(1, static_cast<char>(item.size())) + item;
}

struct Dispatch : ::testing::Test {
  vktest::temp_dir dir;
  dg_recv_ctx_t ctx = {-1, 0};
  void SetUp() override {
    snprintf(g_vk_host_home, sizeof(g_vk_host_home), "%s", dir.path.c_str());
    mkdir((dir.path + "/data").c_str(), 0755);
    g_conf_handle = create_configure(g_conf_table, CONF_COUNT);
    dg_link_init(nullptr);
  }
  void TearDown() override {
    destroy_configure(g_conf_handle);
    g_conf_handle = nullptr;
  }
  int dispatch(uint16_t code, const std::string &body) {
    return process_msg_common(&ctx, code, reinterpret_cast<const uint8_t *>(body.data()),
                              body.size());
  }
};

TEST_F(Dispatch, EachBodyIsJudgedByItsCode) {
  struct {
    uint16_t code;
    std::string body;
    int result;
  } cases[] = {
      {12345, "", 1},  // unknown: logged, link kept
      {HOST_PKT_RES_AGENT_INFO,
       "\x0a\x03"
       "ab",
       -2},                               // cut string
      {HOST_PKT_RES_AGENT_INFO, "", -3},  // no id: refused
      {HOST_PKT_RES_AGENT_INFO,
       "\x0a\x03"
       "abc",
       0},                                              // stored
      {HOST_PKT_RES_TIMESYNC, "\x08\xff", -2},          // cut varint
      {HOST_PKT_RES_AGENT_CONFIG, "\x0a\x09\x0a", -2},  // cut entry
      {HOST_PKT_REQ_PROCESS_LIMITS, "\x0a\x01x", 0},    // no collector: ignored
  };
  for (const auto &c : cases) EXPECT_EQ(dispatch(c.code, c.body), c.result) << c.code;
  EXPECT_EQ(vktest::read_file(dir.path + "/data/host_id"), "abc\n");
  EXPECT_FALSE(vktest::file_exists(dir.path + "/data/config"));
}

TEST_F(Dispatch, AConfigurationLargerThanTheFirstWorkspaceIsStillApplied) {
  // About 10,000 entries: their records and texts need several times the
  // first workspace.
  std::string body = config_entry("INTERVAL_PROCESS", "9");
  while (body.size() < 60000) body += config_entry("", "");
  body += config_entry("INTERVAL_METRIC", "7");
  EXPECT_EQ(dispatch(HOST_PKT_RES_AGENT_CONFIG, body), 0);
  EXPECT_EQ(get_conf_value_int_for_idx(g_conf_handle, CONF_INTERVAL_PROCESS), 9);
  EXPECT_EQ(get_conf_value_int_for_idx(g_conf_handle, CONF_INTERVAL_METRIC), 7);
  body = config_entry("INTERVAL_PROCESS", "11") + config_entry("CPU100", "1");
  EXPECT_EQ(dispatch(HOST_PKT_RES_AGENT_CONFIG, body), 0);
  EXPECT_EQ(get_conf_value_int_for_idx(g_conf_handle, CONF_INTERVAL_PROCESS), 11);
  std::string file = vktest::read_file(dir.path + "/data/config");
  EXPECT_NE(file.find("CPU100=0\nINTERVAL_INFO_LOG=300\nINTERVAL_METRIC=7\nINTERVAL_PROCESS=11\n"),
            std::string::npos)
      << file;
}

TEST_F(Dispatch, AValueSentWithANulInsideIsRefusedNotCut) {
  std::string body = config_entry("LOG_FILENAME", std::string("x.log\0CPU100=1", 14)) +
                     config_entry("INTERVAL_METRIC", "8") + config_entry("LOG_LEVEL", "debug");
  EXPECT_EQ(dispatch(HOST_PKT_RES_AGENT_CONFIG, body), 0);
  char name[64] = "";
  get_conf_value_string_for_idx(g_conf_handle, CONF_LOG_FILENAME, name, sizeof(name));
  EXPECT_STREQ(name, "vosk-host-agent.log");
  EXPECT_EQ(get_conf_value_int_for_idx(g_conf_handle, CONF_INTERVAL_METRIC), 8);
  get_conf_value_string_for_idx(g_conf_handle, CONF_LOG_LEVEL, name, sizeof(name));
  EXPECT_STREQ(name, "debug");
}

TEST_F(Dispatch, AHeaderShorterThanItsSubHeaderIsRefused) {
  uint8_t packet[NIO_HEADER_SIZE] = {0};
  set_nio_main_header(reinterpret_cast<pkt_nio_main_header *>(packet), 4, 10);
  EXPECT_EQ(read_msg_nio(packet, &ctx), -1);
  set_nio_main_header(reinterpret_cast<pkt_nio_main_header *>(packet), 4, 11);
  set_nio_sub_header(reinterpret_cast<pkt_nio_sub_header *>(packet + 12), 40404, 0, 0, 0);
  EXPECT_EQ(read_msg_nio(packet, &ctx), 0);  // unknown code: the link stays
}

}  // namespace
