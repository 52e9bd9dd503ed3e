#include "config.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "environment.h"
#include "test_process.h"

namespace {

// Each test starts from an empty record and a fresh home directory holding
// conf/qdr.conf with the given text.
class ConfigFile : public ::testing::Test {
 protected:
  vktest::temp_dir home;

  void SetUp() override {
    config_init(&g_agent_config);
    snprintf(g_qdr_home, sizeof(g_qdr_home), "%s", home.path.c_str());
    mkdir((home.path + "/conf").c_str(), 0755);
  }

  void load(const std::string &text) {
    ASSERT_TRUE(vktest::write_file(home.path + "/conf/qdr.conf", text));
    ASSERT_EQ(0, load_config_from_file(g_agent_config.config_path));
    ASSERT_EQ(0, config_validation());
  }
};

TEST(ConfigSetter, TextLimitsAreInclusiveAndRejectedValuesLeaveTheField) {
  agent_config c;
  config_init(&c);
  std::string name254(254, 'a');
  EXPECT_EQ(0, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_APP_NAME, name254.c_str()));
  EXPECT_EQ(name254, c.app_name);
  std::string name255(255, 'b');
  EXPECT_EQ(-10, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_APP_NAME, name255.c_str()));
  EXPECT_EQ(name254, c.app_name);

  std::string ip38(38, '1');
  EXPECT_EQ(0, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_IP, ip38.c_str()));
  EXPECT_EQ(-11, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_IP,
                                           std::string(39, '2').c_str()));
  EXPECT_EQ(ip38, c.receiver_ip);
  EXPECT_EQ(-17,
            config_set_value_from_str(&c, AGENT_CONFIG_TYPE_PING_IP, std::string(39, '3').c_str()));
  EXPECT_EQ(0, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_CONFIG_PATH,
                                         std::string(4094, 'p').c_str()));
  EXPECT_EQ(-13, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_CONFIG_PATH,
                                           std::string(4095, 'p').c_str()));
  EXPECT_EQ(-14, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_LOG_CONFIG_PATH,
                                           std::string(4095, 'p').c_str()));
  EXPECT_EQ(-1, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_MAX, "x"));
  EXPECT_EQ(-1, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_SYSLOG_ONLY, "1"));
  EXPECT_EQ(-1, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_APP_NAME, nullptr));
}

TEST(ConfigSetter, PortsParseDecimalAndRejectAbove65535) {
  agent_config c;
  config_init(&c);
  EXPECT_EQ(0, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_PORT, "65535"));
  EXPECT_EQ(65535, c.receiver_port);
  EXPECT_EQ(-12, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_PORT, "65536"));
  EXPECT_EQ(65535, c.receiver_port);
  EXPECT_EQ(-12, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_PORT,
                                           "99999999999999999999999"));
  EXPECT_EQ(-12, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_PORT, "-1"));
  // Text that is not a number parses as 0; leading digits count.
  EXPECT_EQ(0, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_PORT, "abc"));
  EXPECT_EQ(0, c.receiver_port);
  EXPECT_EQ(0, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_PORT, "12x"));
  EXPECT_EQ(12, c.receiver_port);
  EXPECT_EQ(0, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_RECEIVER_PORT, ""));
  EXPECT_EQ(0, c.receiver_port);
  EXPECT_EQ(-15, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_SYSLOG_PORT, "70000"));
  EXPECT_EQ(-16, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_SNMPTRAP_PORT, "70000"));
  EXPECT_EQ(0, config_set_value_from_str(&c, AGENT_CONFIG_TYPE_SNMPTRAP_PORT, "1162"));
  EXPECT_EQ(1162, c.snmptrap_port);
}

TEST(ConfigSetter, OnlyModeCanBeSetOnce) {
  agent_config c;
  config_init(&c);
  EXPECT_EQ(0, config_set_value_from_int(&c, AGENT_CONFIG_TYPE_SYSLOG_ONLY, 1));
  EXPECT_EQ(-2, config_set_value_from_int(&c, AGENT_CONFIG_TYPE_SNMPTRAP_ONLY, 2));
  EXPECT_EQ(-2, config_set_value_from_int(&c, AGENT_CONFIG_TYPE_SYSLOG_ONLY, 1));
  EXPECT_EQ(1, c.is_only_type);
  EXPECT_EQ(-1, config_set_value_from_int(&c, AGENT_CONFIG_TYPE_RECEIVER_PORT, 1));
  EXPECT_EQ(40, c.collect_thread_count);
}

TEST_F(ConfigFile, FileFillsWhatTheCommandLineLeftEmpty) {
  ASSERT_EQ(0,
            config_set_value_from_str(&g_agent_config, AGENT_CONFIG_TYPE_RECEIVER_IP, "10.1.1.1"));
  load(
      "receiver_ip = 192.0.2.7\n"
      "receiver_port=9100  # the collector\n"
      "syslog_port=1514\n"
      "snmptrap_port=1162\n"
      "app_name=\"site agent\"\n");
  EXPECT_STREQ("10.1.1.1", g_agent_config.receiver_ip);  // the command line wins
  EXPECT_EQ(9100, g_agent_config.receiver_port);
  EXPECT_EQ(1514, g_agent_config.syslog_port);
  EXPECT_EQ(1162, g_agent_config.snmptrap_port);
  EXPECT_STREQ("\"site agent\"", g_agent_config.app_name);  // quotes are kept
  EXPECT_EQ(home.path + "/conf/qdr.conf", g_agent_config.config_path);
  EXPECT_EQ(home.path + "/conf/log.conf", g_agent_config.log_config_path);
}

TEST_F(ConfigFile, RejectedOrMissingValuesTakeTheDefaults) {
  // Port 0 from the command line lets the file apply; 70000 and "abc" are
  // dropped; a 39-character address is ignored.
  load(
      "receiver_port=70000\n"
      "syslog_port=abc\n"
      "receiver_ip=" +
      std::string(39, '9') +
      "\n"
      "app_name=\n");
  EXPECT_EQ(9010, g_agent_config.receiver_port);
  EXPECT_EQ(514, g_agent_config.syslog_port);
  EXPECT_EQ(162, g_agent_config.snmptrap_port);
  EXPECT_STREQ("", g_agent_config.receiver_ip);
  EXPECT_STREQ("vosk-qdr-agent", g_agent_config.app_name);
}

TEST_F(ConfigFile, LiteralNotSetCountsAsAbsent) {
  load("app_name=not set\nreceiver_ip=not set\n");
  EXPECT_STREQ("vosk-qdr-agent", g_agent_config.app_name);
  EXPECT_STREQ("", g_agent_config.receiver_ip);
}

TEST_F(ConfigFile, MissingEmptyOrGarbledFilesLeaveDefaults) {
  ASSERT_EQ(0, load_config_from_file(g_agent_config.config_path));  // no file at all
  config_validation();
  EXPECT_EQ(9010, g_agent_config.receiver_port);

  const std::string garbled[] = {
      "",
      std::string("\x00\x01\xff\xfe=\x80\x81\n", 8),
      std::string(5000, 'x') + "\n",
      "receiver_ip=${UNTERMINATED\n",
      "[]\n[section\n=\n==\n",
  };
  for (const std::string &text : garbled) {
    config_init(&g_agent_config);
    load(text);
    EXPECT_EQ(9010, g_agent_config.receiver_port);
    EXPECT_EQ(514, g_agent_config.syslog_port);
    EXPECT_STREQ("vosk-qdr-agent", g_agent_config.app_name);
    EXPECT_LT(strlen(g_agent_config.receiver_ip), sizeof(g_agent_config.receiver_ip));
  }
}

TEST_F(ConfigFile, OverLongLineIsReadInPiecesAndCannotOverflowAField) {
  // A 2000-character line is cut every 1023 bytes; its tail is parsed as a
  // line of its own. Nothing longer than a field reaches the field.
  std::string line = "app_name=" + std::string(2000, 'n') + "\n";
  load(line + "receiver_port=9200\n");
  EXPECT_STREQ("vosk-qdr-agent", g_agent_config.app_name);
  EXPECT_EQ(9200, g_agent_config.receiver_port);
}

TEST_F(ConfigFile, ExplicitPathIsUsedAndEnvironmentIsExpanded) {
  std::string path = home.path + "/other.conf";
  ASSERT_TRUE(vktest::write_file(path, "app_name=${QDR_TEST_NAME}-x\n"));
  setenv("QDR_TEST_NAME", "probe", 1);
  snprintf(g_agent_config.config_path, sizeof(g_agent_config.config_path), "%s", path.c_str());
  ASSERT_EQ(0, load_config_from_file(g_agent_config.config_path));
  unsetenv("QDR_TEST_NAME");
  EXPECT_STREQ("probe-x", g_agent_config.app_name);
  EXPECT_EQ(-1, load_config_from_file(nullptr));
}

TEST_F(ConfigFile, UnknownKeysAndPortsThatAreNotNumbersAreNamedAndDropped) {
  setenv("QDR_TEST_PORT", "15x", 1);
  testing::internal::CaptureStderr();
  load(
      "recever_ip=192.0.2.7\n"
      "receiver_port=90x\n"
      "syslog_port=${QDR_TEST_PORT}\n"
      "snmptrap_port = 1162 # a comment\n"
      "app_name=site\n");
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("QDR_TEST_PORT");
  std::string path = home.path + "/conf/qdr.conf";
  EXPECT_EQ("[load_config_from_file] unknown key 'recever_ip' ignored.[" + path + ":1]\n" +
                "[load_config_from_file] 'receiver_port' is not a number, ignored.[" + path +
                ":2: 90x]\n" + "[load_config_from_file] 'syslog_port' is not a number, ignored.[" +
                path + ": 15x]\n",
            err);
  EXPECT_STREQ("", g_agent_config.receiver_ip);
  EXPECT_EQ(9010, g_agent_config.receiver_port);  // not 90
  EXPECT_EQ(514, g_agent_config.syslog_port);
  EXPECT_EQ(1162, g_agent_config.snmptrap_port);
  EXPECT_STREQ("site", g_agent_config.app_name);
}

TEST(ConfigCheck, CollectorAddressMustBeAnAddressOrAHostName) {
  const struct {
    const char *ip;
    int want;
  } rows[] = {
      {"127.0.0.1", 0},       {"::1", 0},
      {"fe80::1%eth0", 0},    {"2001:db8::7", 0},
      {"dg.example.com", 0},  {"dg.example.com.", 0},
      {"collector-2", 0},     {"", -1},
      {nullptr, -1},          {"10.0.0.300", -2},
      {"127.0.0.1:9010", -2}, {"1.2.3", -2},
      {"collector host", -2}, {"-dg.example", -2},
      {"dg..example", -2},    {".", -2},
      {"dg_1.example", -2},   {"fe80::1%", -2},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(r.want, config_check_receiver_ip(r.ip)) << (r.ip != nullptr ? r.ip : "(null)");
  }
}

}  // namespace
