// The qdr-agent program with a collector address: while nothing listens it
// keeps trying every 3 seconds; once tools/dg-sim listens on that port the
// agent connects and announces itself.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>

#include "test_process.h"

namespace {

int count_of(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) n++;
  return n;
}

TEST(QdrAgentProgram, RetriesUntilTheCollectorListensThenAnnouncesItself) {
  vktest::temp_dir home;
  for (const char *d : {"/conf", "/data", "/log", "/mibs"}) {
    ASSERT_EQ(system(("mkdir -p " + home.path + d).c_str()), 0);
  }
  int port = vktest::free_port(SOCK_STREAM);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(vktest::write_file(home.path + "/conf/qdr.conf",
                                 "receiver_ip=127.0.0.1\nreceiver_port=" + std::to_string(port) +
                                     "\napp_name=agent-under-test\n"));
  std::string log = home.path + "/log/qdr-agent.log";
  ASSERT_TRUE(vktest::write_file(home.path + "/conf/log.conf",
                                 "[qdr-agent]\ndirectory=" + home.path +
                                     "/log\nfilename=qdr-agent.log\noutput_type=file\n"
                                     "level=<info\n"));
  vktest::child agent = vktest::start_program({vktest::built_program("qdr-agent/qdr-agent")},
                                              home.path, {"VOSK_QDR_HOME=" + home.path});
  ASSERT_GT(agent.pid, 0);
  const std::string failed = "Connect to Data Gather is failed.";
  bool retried =
      vktest::wait_until([&] { return count_of(vktest::read_file(log), failed) >= 2; }, 15000, 100);
  EXPECT_TRUE(retried) << vktest::read_file(log) << vktest::read_file(agent.err_path);

  std::string out = home.path + "/packets.jsonl";
  vktest::child sim = vktest::start_program(
      {vktest::built_program("tools/dg-sim/dg-sim"), "--port", std::to_string(port), "--out", out,
       "--quiet", "--agent-id", "program-agent"},
      home.path);
  ASSERT_GT(sim.pid, 0);
  bool announced = vktest::wait_until(
      [&] {
        std::string p = vktest::read_file(out);
        return p.find("\"type\": 10043,") != std::string::npos &&
               p.find("\"agent_name\": \"agent-under-test\"") != std::string::npos;
      },
      15000, 100);
  EXPECT_TRUE(announced) << vktest::read_file(out) << vktest::read_file(sim.err_path);
  bool activated = vktest::wait_until(
      [&] { return vktest::read_file(log).find("agent id: program-agent") != std::string::npos; },
      10000, 100);
  EXPECT_TRUE(activated) << vktest::read_file(log);
  vktest::stop_program(agent);
  vktest::stop_program(sim);
}

}  // namespace
