#include "vk_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "test_process.h"

namespace {

TEST(Process, CommandLineAndBaseNameOfARunningProcess) {
  vktest::temp_dir logs;
  vktest::child c = vktest::start_program({"/bin/sleep", "30"}, logs.path);
  ASSERT_GT(c.pid, 0);
  char buffer[256];
  // Until the child has run exec its command line is empty or the test's
  // own: wait for the program's.
  int n = 0;
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        n = vk_proc_cmdline(c.pid, buffer, sizeof(buffer));
        return n > 0 && strcmp(buffer, "/bin/sleep 30") == 0;  // the inner NUL became a space
      },
      5000))
      << n << " [" << (n > 0 ? buffer : "") << "]";

  char name[64];
  EXPECT_EQ(0, vk_process_name(c.pid, name, sizeof(name)));
  EXPECT_STREQ("sleep", name);
  char tiny[3];
  EXPECT_EQ(0, vk_process_name(c.pid, tiny, sizeof(tiny)));
  EXPECT_STREQ("sl", tiny);  // cut to the buffer

  EXPECT_EQ(1, vk_process_check(c.pid, "sleep"));
  EXPECT_EQ(1, vk_process_check(c.pid, "lee"));  // contained anywhere
  EXPECT_EQ(0, vk_process_check(c.pid, "qdr-agent"));
  EXPECT_EQ(0, vk_process_check(c.pid, ""));
  EXPECT_EQ(0, vk_process_check(0, "sleep"));
  vktest::stop_program(c);
}

TEST(Process, VanishedProcessIsNotFound) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  char buffer[64];
  EXPECT_EQ(-2, vk_proc_cmdline(gone, buffer, sizeof(buffer)));
  EXPECT_EQ(-1, vk_process_name(gone, buffer, sizeof(buffer)));
  EXPECT_EQ(0, vk_process_check(gone, "anything"));
}

TEST(Process, LongCommandLineIsCheckedByItsProgramName) {
  vktest::temp_dir logs;
  // The shell stays the process (it runs a list, not one command), so its
  // command line keeps the 5000-byte argument.
  vktest::child c =
      vktest::start_program({"/bin/sh", "-c", "sleep 30; true", std::string(5000, 'x')}, logs.path);
  ASSERT_GT(c.pid, 0);
  char name[64];
  ASSERT_TRUE(vktest::wait_until([&] { return vk_proc_cmdline(c.pid, name, 8) == 8; }, 5000));
  EXPECT_EQ(0, vk_process_name(c.pid, name, sizeof(name)));
  EXPECT_STREQ("sh", name);
  EXPECT_EQ(1, vk_process_check(c.pid, "sh"));
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
      [&] { return vk_proc_cmdline(pid, name, 2) == 2 && name[0] == 'q'; }, 5000));
  EXPECT_EQ(-2, vk_process_name(pid, name, sizeof(name)));
  EXPECT_EQ(0, vk_process_check(pid, "q"));  // not a failed check: start-up goes on
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace
