#include "configure.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "pub_conf.h"
#include "test_process.h"

namespace {

struct ConfFixture : ::testing::Test {
  vktest::temp_dir dir;
  conf_handle_t *h = nullptr;
  void SetUp() override {
    h = create_configure(g_conf_table, CONF_COUNT);
    ASSERT_NE(h, nullptr);
  }
  void TearDown() override { destroy_configure(h); }
  std::string value(int index) {
    char buf[256] = {0};
    EXPECT_EQ(get_conf_value_string_for_idx(h, index, buf, sizeof(buf)), 0);
    return buf;
  }
  void load(const std::string &text, int result = 0) {
    std::string path = dir.path + "/config";
    ASSERT_TRUE(vktest::write_file(path, text));
    ASSERT_EQ(load_config_file(h, path.c_str()), result);
  }
};

TEST_F(ConfFixture, DefaultsHoldWithoutAFile) {
  EXPECT_EQ(load_config_file(h, (dir.path + "/none").c_str()), -2);
  for (int i = 0; i < CONF_COUNT; i++) EXPECT_EQ(value(i), g_conf_table[i].default_value);
  EXPECT_EQ(get_conf_value_int_for_idx(h, CONF_INTERVAL_METRIC), 5);
  EXPECT_EQ(get_conf_value_int_for_idx(h, 9), CONF_INT_INVALID);
  EXPECT_EQ(get_conf_value_int_for_idx(nullptr, 0), CONF_INT_INVALID);
}

TEST_F(ConfFixture, FileLinesAreReadAsKeyEqualsValueWithCommentsAndBadLinesSkipped) {
  std::string longline = "INTERVAL_PROCESS=" + std::string(5000, '7') + "\n";
  load(std::string("# comment line\n") + "\n" + "  INTERVAL_METRIC  =  10   # ten seconds\n" +
           "CPU100=1\n" + "no equals sign here\n" + "UNKNOWN_KEY=5\n" + longline +
           "LOG_FILENAME=\x01\xff.log\n" + "=orphan\n",
       0);
  EXPECT_EQ(value(CONF_INTERVAL_METRIC), "10");
  EXPECT_EQ(get_conf_value_int_for_idx(h, CONF_INTERVAL_METRIC), 10);
  EXPECT_EQ(value(CONF_CPU100), "1");  // the file may set what the server may not
  // The over-long line is dropped whole, its tail is not read as a line.
  EXPECT_EQ(value(CONF_INTERVAL_PROCESS), "20");
  EXPECT_EQ(value(CONF_LOG_FILENAME), "\x01\xff.log");
}

TEST_F(ConfFixture, FileValuesTheAgentCannotStartWithAreRefusedAndReported) {
  // Each refused line keeps the default; the others still apply.
  load("INTERVAL_INFO_LOG=99999999999\nINTERVAL_METRIC=7\n" +
           std::string("LOG_LEVEL=de\0bug\n", 17) + "LOG_LEVEL=bogus\n" +
           "INTERVAL_INSTALLED_PACKAGE=12x\nLOG_FILENAME=../x.log\n",
       -3);
  EXPECT_EQ(value(CONF_INTERVAL_INFO_LOG), "300");
  EXPECT_EQ(value(CONF_INTERVAL_METRIC), "7");
  EXPECT_EQ(value(CONF_LOG_LEVEL), "info");
  EXPECT_EQ(value(CONF_INTERVAL_INSTALLED_PACKAGE), "86400");
  EXPECT_EQ(value(CONF_LOG_FILENAME), "vosk-host-agent.log");
}

TEST(ConfCheck, EachKeyAcceptsOnlyValuesTheAgentCanUse) {
  vktest::temp_dir dir;
  ASSERT_EQ(
      system(("mkdir -p " + dir.path + "/home/log " + dir.path + "/home/data " + dir.path + "/out")
                 .c_str()),
      0);
  ASSERT_EQ(symlink((dir.path + "/out").c_str(), (dir.path + "/home/link").c_str()), 0);
  char saved[sizeof(g_vk_host_home)];
  memcpy(saved, g_vk_host_home, sizeof(saved));
  snprintf(g_vk_host_home, sizeof(g_vk_host_home), "%s/home", dir.path.c_str());
  setenv("H17_CONF_HOME", g_vk_host_home, 1);
  std::string home = g_vk_host_home;
  struct {
    int index;
    std::string value;
    int server;
    int result;
  } cases[] = {
      {CONF_INTERVAL_METRIC, "0", 1, CONF_CHECK_OK},
      {CONF_INTERVAL_METRIC, "2147483647", 1, CONF_CHECK_OK},
      {CONF_INTERVAL_METRIC, "2147483648", 1, CONF_CHECK_BAD_NUMBER},
      {CONF_INTERVAL_PROCESS, "99999999999999999999", 1, CONF_CHECK_BAD_NUMBER},
      {CONF_INTERVAL_PROCESS, "-1", 1, CONF_CHECK_BAD_NUMBER},
      {CONF_INTERVAL_PROCESS, "", 1, CONF_CHECK_BAD_NUMBER},
      {CONF_INTERVAL_PROCESS, "12x", 1, CONF_CHECK_BAD_NUMBER},
      {CONF_INTERVAL_INFO_LOG, "5\n", 1, CONF_CHECK_BAD_TEXT},
      {CONF_CPU100, "-1", 0, CONF_CHECK_OK},
      {CONF_COLLECT_FILESYSTEM_TYPE_NFS, "1", 1, CONF_CHECK_OK},
      {CONF_LOG_LEVEL, "debug", 1, CONF_CHECK_OK},
      {CONF_LOG_LEVEL, "=trace", 1, CONF_CHECK_OK},
      {CONF_LOG_LEVEL, "bogus", 1, CONF_CHECK_BAD_LEVEL},
      {CONF_LOG_LEVEL, "", 1, CONF_CHECK_BAD_LEVEL},
      {CONF_LOG_FILENAME, "agent.log", 1, CONF_CHECK_OK},
      {CONF_LOG_FILENAME, "agent.log\nCPU100=1", 1, CONF_CHECK_BAD_TEXT},
      {CONF_LOG_FILENAME, std::string("a\0b", 3), 1, CONF_CHECK_BAD_TEXT},
      {CONF_LOG_FILENAME, "sub/agent.log", 1, CONF_CHECK_BAD_NAME},
      {CONF_LOG_FILENAME, "..", 1, CONF_CHECK_BAD_NAME},
      {CONF_LOG_FILENAME, "", 1, CONF_CHECK_BAD_NAME},
      {CONF_LOG_DIRECTORY, home + "/log", 1, CONF_CHECK_OK},
      {CONF_LOG_DIRECTORY, "${H17_CONF_HOME}/new", 1, CONF_CHECK_OK},
      {CONF_LOG_DIRECTORY, home, 1, CONF_CHECK_OK},
      {CONF_LOG_DIRECTORY, "/tmp", 1, CONF_CHECK_BAD_DIR},
      {CONF_LOG_DIRECTORY, "/tmp", 0, CONF_CHECK_OK},  // the file may point anywhere
      {CONF_LOG_DIRECTORY, home + "/../out", 1, CONF_CHECK_BAD_DIR},
      {CONF_LOG_DIRECTORY, home + "/link", 1, CONF_CHECK_BAD_DIR},
      {CONF_LOG_DIRECTORY, home + "x", 1, CONF_CHECK_BAD_DIR},
      {CONF_LOG_DIRECTORY, home + "/data", 1, CONF_CHECK_BAD_DIR},
      {CONF_LOG_DIRECTORY, home + "/data/sub", 1, CONF_CHECK_BAD_DIR},
      {CONF_LOG_DIRECTORY, home + "/database", 1, CONF_CHECK_OK},
      {CONF_LOG_DIRECTORY, "log", 1, CONF_CHECK_BAD_DIR},
      {CONF_LOG_DIRECTORY, "${H17_CONF_UNSET_VAR}/log", 0, CONF_CHECK_BAD_DIR},
  };
  for (const auto &c : cases) {
    char why[64] = "";
    EXPECT_EQ(conf_check_value(c.index, c.value.data(), c.value.size(), c.server, why, sizeof(why)),
              c.result)
        << c.index << " [" << c.value << "]";
    if (c.result != CONF_CHECK_OK) {
      EXPECT_NE(why[0], '\0');
    }
  }
  memcpy(g_vk_host_home, saved, sizeof(saved));
}

TEST_F(ConfFixture, ServerValuesAreRefusedWholeOrKeptAsTheFileReadsThemBack) {
  std::string path = dir.path + "/config";
  const char *bad[][2] = {{"LOG_LEVEL", "bogus"},
                          {"LOG_FILENAME", "agent.log\nCPU100=1"},
                          {"LOG_FILENAME", "agent.log\r"},
                          {"LOG_FILENAME", "/etc/passwd"},
                          {"LOG_DIRECTORY", "/etc"},
                          {"INTERVAL_METRIC", "2147483648"},
                          {"INTERVAL_PROCESS", "99999999999999999999"}};
  for (const auto &kv : bad)
    EXPECT_EQ(update_conf_value_for_key(h, kv[0], kv[1], static_cast<int>(strlen(kv[1]))), -4)
        << kv[0] << "=" << kv[1];
  std::string nul("x.log\0CPU100=1", 14);
  EXPECT_EQ(update_conf_value_for_key(h, "LOG_FILENAME", nul.data(), static_cast<int>(nul.size())),
            -4);
  EXPECT_EQ(update_conf_value_for_key(h, "INTERVAL_METRIC", "10 # ten", 8), 0);
  EXPECT_EQ(update_conf_value_for_key(h, "LOG_LEVEL", "  debug  ", 9), 0);
  ASSERT_EQ(save_config_file(h, path.c_str()), 0);
  EXPECT_EQ(vktest::read_file(path),
            "CPU100=0\nINTERVAL_INFO_LOG=300\nINTERVAL_METRIC=10\nINTERVAL_PROCESS=20\n"
            "INTERVAL_INSTALLED_PACKAGE=86400\nCOLLECT_FILESYSTEM_TYPE_NFS=0\n"
            "LOG_DIRECTORY=${VOSK_HOST_HOME}/log\nLOG_FILENAME=vosk-host-agent.log\n"
            "LOG_LEVEL=debug\n");
}

TEST_F(ConfFixture, ServerChangeRespectsFlagsAndRewritesEveryKeyInTableOrder) {
  load("# my settings\nLOG_LEVEL = debug\nEXTRA=1\n\n");
  std::string path = dir.path + "/config";
  EXPECT_EQ(update_conf_value_for_key(h, "INTERVAL_PROCESS", "30", 2), 0);
  EXPECT_EQ(update_conf_value_for_key(h, "CPU100", "1", 1), 0);  // flag 0: ignored
  EXPECT_EQ(update_conf_value_for_key(h, "NOT_A_KEY", "1", 1), 0);
  EXPECT_EQ(update_conf_value_for_key(h, "LOG_FILENAME", "a-much-longer-file-name.log", 27), 0);
  EXPECT_EQ(update_conf_value_for_key(h, "INTERVAL_METRIC", "1", 1), 0);  // shorter: reused
  ASSERT_EQ(save_config_file(h, path.c_str()), 0);
  EXPECT_EQ(vktest::read_file(path),
            "CPU100=0\nINTERVAL_INFO_LOG=300\nINTERVAL_METRIC=1\nINTERVAL_PROCESS=30\n"
            "INTERVAL_INSTALLED_PACKAGE=86400\nCOLLECT_FILESYSTEM_TYPE_NFS=0\n"
            "LOG_DIRECTORY=${VOSK_HOST_HOME}/log\nLOG_FILENAME=a-much-longer-file-name.log\n"
            "LOG_LEVEL=debug\n");
  EXPECT_FALSE(vktest::file_exists(path + ".tmp"));
  // Round trip: what was written reads back to the same values.
  setenv("VOSK_HOST_HOME", dir.path.c_str(), 1);
  conf_handle_t *again = create_configure(g_conf_table, CONF_COUNT);
  ASSERT_EQ(load_config_file(again, path.c_str()), 0);
  for (int i = 0; i < CONF_COUNT; i++) {
    char a[256] = {0};
    get_conf_value_string_for_idx(again, i, a, sizeof(a));
    EXPECT_EQ(a, value(i)) << i;
  }
  destroy_configure(again);
  EXPECT_EQ(save_config_file(h, (dir.path + "/no/such/dir/config").c_str()), -2);
}

struct AddrCase {
  const char *text;
  int result;
  uint32_t port;
};

TEST(ConfAddress, ReceiverAddrTextsAreParsedOrRefused) {
  const AddrCase cases[] = {
      {"127.0.0.1:9010", 0, 9010},
      {"localhost:1", 0, 1},
      {"127.0.0.1:65535", 0, 65535},
      {"127.0.0.1", -2, 0},
      {"127.0.0.1:0", -3, 0},
      {"127.0.0.1:70000", -3, 0},
      {"127.0.0.1:", -3, 0},
      {"127.0.0.1:90x", -3, 0},
      {"127.0.0.1:-1", -3, 0},
      {":9010", -4, 0},
      {"no-such-host.invalid:9010", -4, 0},
  };
  for (const AddrCase &c : cases) {
    uint32_t addr = 0, port = 0;
    EXPECT_EQ(setDGAddrFromStr(c.text, &addr, &port), c.result) << c.text;
    EXPECT_EQ(port, c.port) << c.text;
    if (c.result == 0) {
      EXPECT_NE(addr, 0u) << c.text;
    }
  }
}

TEST(ConfAddress, SetDgAddressTakesThePropertyAndTreatsFortyCharactersAsUnset) {
  clear_properties_preset();
  EXPECT_EQ(set_dg_address(), -1);
  std::string v = "127.0.0.1:9010";
  set_properties_preset("RECEIVER_ADDR", 13, v.c_str(), v.size());
  set_properties_preset("RECEIVER_ADDR", 13, "10.0.0.1:1", 10);  // first one stays
  EXPECT_EQ(set_dg_address(), 0);
  EXPECT_EQ(g_dgconn_slave_info.port, 9010u);
  EXPECT_STREQ(g_dgconn_slave_info.text, "127.0.0.1:9010");
  clear_properties_preset();
  std::string forty = "host-name-of-thirty-three-chars.x:9010";
  forty += "00";
  ASSERT_EQ(forty.size(), 40u);
  set_properties_preset("RECEIVER_ADDR", 13, forty.c_str(), forty.size());
  EXPECT_EQ(set_dg_address(), -1);
  EXPECT_EQ(g_dgconn_slave_info.addr, 0u);
  clear_properties_preset();
}

TEST(ConfEnvPath, ReferencesExpandOrFail) {
  setenv("H8_CONF_A", "/a", 1);
  setenv("H8_CONF_EMPTY", "", 1);
  unsetenv("H8_CONF_UNSET");
  struct {
    const char *in;
    int result;
    const char *out;
  } cases[] = {
      {"${H8_CONF_A}/log", 0, "/a/log"},
      {"x${H8_CONF_A}${H8_CONF_A}y", 0, "x/a/ay"},
      {"/plain", 0, "/plain"},
      {"${H8_CONF_A", -2, nullptr},
      {"${H8_CONF_UNSET}/log", -3, nullptr},
      {"${H8_CONF_EMPTY}/log", -3, nullptr},
  };
  for (const auto &c : cases) {
    char out[256];
    EXPECT_EQ(convert_env_path(c.in, out, sizeof(out)), c.result) << c.in;
    if (c.out != nullptr) {
      EXPECT_STREQ(out, c.out);
    }
  }
  char small[4];
  EXPECT_EQ(convert_env_path("${H8_CONF_A}/log", small, sizeof(small)), -4);
  EXPECT_EQ(convert_env_path(nullptr, small, sizeof(small)), -1);
}

}  // namespace
