#include "environment.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "test_process.h"

namespace {

class PidFile : public ::testing::Test {
 protected:
  vktest::temp_dir home;
  std::string path;

  void SetUp() override {
    snprintf(g_qdr_home, sizeof(g_qdr_home), "%s", home.path.c_str());
    mkdir((home.path + "/data").c_str(), 0755);
    path = home.path + "/data/probe.pid";
  }
  std::string own_field() const {
    std::string pid = std::to_string(getpid());
    return pid + std::string(32 - pid.size(), '\0');
  }
};

TEST_F(PidFile, FreshFileGetsOurPidAsA32ByteField) {
  EXPECT_EQ(0, check_double_execution("qdr-agent", "probe"));
  EXPECT_EQ(path, g_pid_filename);
  EXPECT_EQ(own_field(), vktest::read_file(path));
}

TEST_F(PidFile, RunningInstanceIsReportedAndItsFileKept) {
  vktest::temp_dir logs;
  vktest::child c = vktest::start_program({"/bin/sleep", "30"}, logs.path);
  std::string other = std::to_string(c.pid);
  vktest::write_file(path, other);
  EXPECT_EQ(1, check_double_execution("sleep", "probe"));
  EXPECT_EQ(other, vktest::read_file(path));
  // The same pid with a name it does not run is stale.
  EXPECT_EQ(0, check_double_execution("qdr-agent", "probe"));
  EXPECT_EQ(own_field(), vktest::read_file(path));
  vktest::stop_program(c);
}

TEST_F(PidFile, OwnPidLeftFromAnEarlierRunIsNotAnotherInstance) {
  vktest::write_file(path, std::to_string(getpid()));
  // This test program's name contains "qdr-agent", so without the own-pid
  // rule it would count itself as the running instance.
  EXPECT_EQ(0, check_double_execution("qdr-agent", "probe"));
}

TEST_F(PidFile, UnusablePathIsReportedAsRunning) {
  rmdir((home.path + "/data").c_str());
  EXPECT_EQ(1, check_double_execution("qdr-agent", "probe"));
  std::string long_home(QDR_HOME_SIZE - 5, 'h');
  snprintf(g_qdr_home, sizeof(g_qdr_home), "%s", long_home.c_str());
  EXPECT_EQ(1, check_double_execution("qdr-agent", "probe"));
}

TEST(HardwareAddress, StopsWhenTheCallersBufferIsFull) {
  unsigned char all[6 * 64];
  int n = get_if_hardware_addr(all, sizeof(all));
  ASSERT_GE(n, 1);  // at least the loopback interface

  unsigned char one[6 + 5];
  memset(one, 0xAB, sizeof(one));
  EXPECT_EQ(1, get_if_hardware_addr(one, sizeof(one)));
  EXPECT_EQ(0, memcmp(one, all, 6));
  for (size_t i = 6; i < sizeof(one); i++) EXPECT_EQ(0xAB, one[i]);
  EXPECT_EQ(0, get_if_hardware_addr(one, 5));
  EXPECT_EQ(0, get_if_hardware_addr(nullptr, 600));
}

TEST(Environment, HomeFromTheEnvironmentWithQuotesStripped) {
  g_qdr_home[0] = '\0';
  setenv("VOSK_QDR_HOME", "\"/opt/qdr home\"", 1);
  EXPECT_EQ(0, init_environment("/opt/agent/bin/qdr-agent"));
  unsetenv("VOSK_QDR_HOME");
  EXPECT_STREQ("/opt/qdr home", g_qdr_home);
  EXPECT_STREQ("qdr-agent", g_real_app_name);
  EXPECT_EQ(1, g_is_run_process.load());
}

}  // namespace
