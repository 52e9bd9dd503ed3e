#include "configure.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

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
  void load(const std::string &text) {
    std::string path = dir.path + "/config";
    ASSERT_TRUE(vktest::write_file(path, text));
    ASSERT_EQ(load_config_file(h, path.c_str()), 0);
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
       "INTERVAL_INFO_LOG=99999999999\n" + std::string("LOG_LEVEL=de\0bug\n", 17) +
       "LOG_FILENAME=\x01\xff.log\n" + "=orphan\n" + "INTERVAL_INSTALLED_PACKAGE=12x\n");
  EXPECT_EQ(value(CONF_INTERVAL_METRIC), "10");
  EXPECT_EQ(get_conf_value_int_for_idx(h, CONF_INTERVAL_METRIC), 10);
  EXPECT_EQ(value(CONF_CPU100), "1");  // the file may set what the server may not
  // The over-long line is dropped whole, its tail is not read as a line.
  EXPECT_EQ(value(CONF_INTERVAL_PROCESS), "20");
  // A number out of the int range reads as 0 (reports of that kind off).
  EXPECT_EQ(get_conf_value_int_for_idx(h, CONF_INTERVAL_INFO_LOG), 0);
  EXPECT_EQ(value(CONF_LOG_LEVEL), "de");
  EXPECT_EQ(value(CONF_LOG_FILENAME), "\x01\xff.log");
  EXPECT_EQ(get_conf_value_int_for_idx(h, CONF_INTERVAL_INSTALLED_PACKAGE), 12);
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
