#include "environment.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "os/linux_process.h"
#include "test_process.h"

namespace {

TEST(Process, CommandLineAndBaseNameOfARunningProcess) {
  vktest::temp_dir logs;
  vktest::child c = vktest::start_program({"/bin/sleep", "30"}, logs.path);
  ASSERT_GT(c.pid, 0);
  char buffer[256];
  int n = get_proc_cmdline(c.pid, buffer, sizeof(buffer));
  ASSERT_GT(n, 0);
  EXPECT_STREQ("/bin/sleep 30", buffer);  // the inner NUL became a space

  char name[64];
  EXPECT_EQ(0, get_process_cmd_by_pid(c.pid, name, sizeof(name)));
  EXPECT_STREQ("sleep", name);
  char tiny[3];
  EXPECT_EQ(0, get_process_cmd_by_pid(c.pid, tiny, sizeof(tiny)));
  EXPECT_STREQ("sl", tiny);  // cut to the buffer

  EXPECT_EQ(1, process_check(c.pid, "sleep"));
  EXPECT_EQ(1, process_check(c.pid, "lee"));  // contained anywhere
  EXPECT_EQ(0, process_check(c.pid, "qdr-agent"));
  EXPECT_EQ(0, process_check(c.pid, ""));
  EXPECT_EQ(0, process_check(0, "sleep"));
  vktest::stop_program(c);
}

TEST(Process, VanishedProcessIsNotFound) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  char buffer[64];
  EXPECT_EQ(-2, get_proc_cmdline(gone, buffer, sizeof(buffer)));
  EXPECT_EQ(-1, get_process_cmd_by_pid(gone, buffer, sizeof(buffer)));
  EXPECT_EQ(0, process_check(gone, "anything"));
}

TEST(Process, LongCommandLineIsCheckedByItsProgramName) {
  vktest::temp_dir logs;
  // The shell stays the process (it runs a list, not one command), so its
  // command line keeps the 5000-byte argument.
  vktest::child c =
      vktest::start_program({"/bin/sh", "-c", "sleep 30; true", std::string(5000, 'x')}, logs.path);
  ASSERT_GT(c.pid, 0);
  char name[64];
  ASSERT_TRUE(vktest::wait_until([&] { return get_proc_cmdline(c.pid, name, 8) == 8; }, 5000));
  EXPECT_EQ(0, get_process_cmd_by_pid(c.pid, name, sizeof(name)));
  EXPECT_STREQ("sh", name);
  EXPECT_EQ(1, process_check(c.pid, "sh"));
  vktest::stop_program(c);
}

TEST(Process, ProgramPathLongerThanWhatIsReadIsNotAMatch) {
  std::string long_name(5000, 'q');
  pid_t pid = fork();
  if (pid == 0) {
    char *argv[] = {long_name.data(), const_cast<char *>("30"), nullptr};
    execv("/bin/sleep", argv);
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  char name[64];
  ASSERT_TRUE(vktest::wait_until(  // until the child has run exec
      [&] { return get_proc_cmdline(pid, name, 2) == 2 && name[0] == 'q'; }, 5000));
  EXPECT_EQ(-2, get_process_cmd_by_pid(pid, name, sizeof(name)));
  EXPECT_EQ(0, process_check(pid, "q"));  // not a failed check: start-up goes on
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

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
