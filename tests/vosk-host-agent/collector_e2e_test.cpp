// The built agent with its collectors against tools/dg-sim, which decodes
// every report with protoc-generated classes (not our codec): all reports
// arrive, in the cycle's order, with figures of this machine, the package
// list from a fake rpm on PATH and the limits of a process this test starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host_test_util.h"
#include "os/linux/lks_linux_mem.h"
#include "test_process.h"

extern char **environ;

namespace {

// A child started here and stopped by its pid whatever way the test ends.
struct spawned {
  pid_t pid = -1;
  ~spawned() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(CollectorE2e, EveryReportReachesTheCollector) {
  vktest::temp_dir dir;
  std::string home = dir.path + "/home";
  std::string data = home + "/host/data";
  ASSERT_EQ(0, system(("mkdir -p " + data + " " + dir.path + "/log " + dir.path + "/bin").c_str()));
  // Reports every second (metric) and every two (processes): the test does
  // not wait for the default intervals.
  ASSERT_TRUE(vktest::write_file(data + "/config", "INTERVAL_METRIC=1\nINTERVAL_PROCESS=2\n"));
  ASSERT_TRUE(vktest::write_file(dir.path + "/bin/rpm",
                                 "#!/bin/sh\n"
                                 "echo 'e2e-pkg-1|1.0|1|100|MIT|1700000000|first package'\n"
                                 "echo 'e2e-pkg-2|2.0|1|200|MIT|1700000001|second package'\n"));
  ASSERT_EQ(0, chmod((dir.path + "/bin/rpm").c_str(), 0755));

  // A process with limits of its own, for the limits request.
  const char *argv[] = {"/usr/bin/prlimit", "--nofile=321:654", "/bin/sleep", "60", nullptr};
  spawned kid;
  ASSERT_EQ(0,
            posix_spawn(&kid.pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ));
  pid_t child = kid.pid;
  ASSERT_TRUE(vktest::wait_until(
      [&] { return vktest::read_file("/proc/" + std::to_string(child) + "/comm") == "sleep\n"; },
      10000));
  std::string scenario = dir.path + "/scenario.json";
  ASSERT_TRUE(vktest::write_file(
      scenario,
      "{\"after_handshake\": [{\"type\": \"REQ_HOST_PROCESS_LIMITS\", \"message\": "
      "{\"request\": \"limits-e2e\", \"pid\": " +
          std::to_string(child) + "}}]}"));

  hosttest::dg_sim sim;
  std::string why;
  ASSERT_TRUE(sim.start(dir.path, {"--scenario", scenario}, &why)) << why;
  vktest::child agent =
      vktest::start_program({vktest::built_program("vosk-host-agent/vosk-host-agent")}, dir.path,
                            {"VOSK_HOME=" + home, "VOSK_HOST_HOME=" + dir.path,
                             "RECEIVER_ADDR=127.0.0.1:" + std::to_string(sim.port),
                             "PATH=" + dir.path + "/bin:/usr/bin:/bin"});
  ASSERT_GT(agent.pid, 0);
  bool all = vktest::wait_until(
      [&] {
        return sim.count("\"type\": 60013,") >= 2 && sim.count("\"type\": 60016,") >= 2 &&
               sim.count("\"type\": 62001,") >= 1;
      },
      30000, 100);
  vktest::stop_program(agent);
  ASSERT_TRUE(all) << vktest::read_file(sim.out).substr(0, 4000);

  std::vector<std::string> lines = hosttest::lines_of(sim.out);
  // Once per connection: system information and the packages.
  EXPECT_EQ(1, hosttest::count_with(lines, "\"type\": 60009,", "\"os_type\": 4"));
  EXPECT_EQ(1, hosttest::count_with(lines, "\"type\": 60017,",
                                    "{\"name\": \"e2e-pkg-2\", \"version\": \"2.0\", \"release\": "
                                    "\"1\", \"size\": 200, \"license\": \"MIT\", "
                                    "\"install_time\": 1700000001000, \"summary\": \"second "
                                    "package\"}"));
  // The metric cycle's four reports leave together in their order.
  std::vector<int> codes;
  for (const std::string &l : lines) {
    for (int code : {60018, 60012, 60015, 60013}) {
      if (l.find("\"type\": " + std::to_string(code) + ",") != std::string::npos) {
        codes.push_back(code);
      }
    }
  }
  ASSERT_GE(codes.size(), 8u);
  for (size_t i = 0; i + 3 < codes.size(); i += 4) {
    EXPECT_EQ((std::vector<int>{60018, 60012, 60015, 60013}),
              std::vector<int>(codes.begin() + i, codes.begin() + i + 4));
  }
  host_mem_stat_info_t mem;
  ASSERT_EQ(0, get_host_mem_stat(&mem));
  EXPECT_GE(hosttest::count_with(lines, "\"type\": 60018,",
                                 "\"mem_stat\": {\"total\": " + std::to_string(mem.total) + ","),
            2);
  EXPECT_GE(hosttest::count_with(lines, "\"type\": 60016,",
                                 "{\"pid\": " + std::to_string(child) + ", \"ppid\": " +
                                     std::to_string(getpid()) + ", \"command\": \"sleep\""),
            2);
  EXPECT_EQ(1, hosttest::count_with(lines, "\"type\": 62001,",
                                    "{\"name\": \"Max open files\", \"soft_limit\": \"321\", "
                                    "\"hard_limit\": \"654\", \"units\": \"files\"}"));
  EXPECT_EQ(1, hosttest::count_with(lines, "\"type\": 62001,", "\"request\": \"limits-e2e\""));
  // The root file system's device is reported with its mount from the
  // second cycle on.
  vktest::run_result df = vktest::run_program({"/bin/df", "--output=source", "/"});
  std::string source = df.out.substr(df.out.find('\n') + 1);
  source = source.substr(0, source.find('\n'));
  if (source.rfind("/dev/", 0) == 0 && source.find('/', 5) == std::string::npos) {
    EXPECT_GE(
        hosttest::count_with(lines, "\"type\": 60013,", "{\"name\": \"" + source.substr(5) + "\""),
        1);
    EXPECT_GE(hosttest::count_with(lines, "\"type\": 60013,", "\"mount_names\": \"/"), 1);
  }
}

}  // namespace
