// The ping modes of the command line, run as a user would run the built
// agent: the endless --cmd-ping test against 127.0.0.1 and ::1, the
// one-shot --ping-only mode, a host that cannot be resolved, and a host that
// does not answer (the agent run inside a network namespace made here).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "test_process.h"

namespace {

const std::string kAgent = vktest::built_program("qdr-agent/qdr-agent");

#define REQUIRE_RAW()                                                                        \
  do {                                                                                       \
    if (!vktest::raw_icmp_allowed()) GTEST_SKIP() << "raw ICMP sockets refused: needs root"; \
  } while (0)

// A home with the configuration and logging files that the ping-only mode
// reads before it pings.
struct agent_home {
  vktest::temp_dir dir;
  agent_home() {
    mkdir((dir.path + "/conf").c_str(), 0755);
    mkdir((dir.path + "/data").c_str(), 0755);
    mkdir((dir.path + "/log").c_str(), 0755);
    vktest::write_file(dir.path + "/conf/log.conf", "[qdr-agent]\ndirectory = " + dir.path +
                                                        "/log\noutput_type = file\nlevel = info\n");
    vktest::write_file(dir.path + "/conf/qdr.conf", "receiver_ip=127.0.0.1\nreceiver_port=9\n");
  }
  std::string env() const { return "VOSK_QDR_HOME=" + dir.path; }
};

const std::regex kReply4(
    R"(\n19 bytes from 127\.0\.0\.1 \(127\.0\.0\.1\): icmp_seq=1 ttl=64 time=[0-9]+\.[0-9]{2} ms\n)");

TEST(IcmpModes, CmdPingPingsEveryThreeSecondsWithTraceLoggingOnStandardOutput) {
  REQUIRE_RAW();
  for (const char *host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    agent_home home;
    vktest::child c =
        vktest::start_program({kAgent, "--cmd-ping", host, "5"}, home.dir.path, {home.env()});
    ASSERT_GT(c.pid, 0);
    std::string want = std::string("19 bytes from ") + host + " (" + host + "): icmp_seq=1 ttl=64 ";
    // Two rounds: the test goes on after each ping.
    bool two = vktest::wait_until(
        [&] {
          std::string out = vktest::read_file(c.out_path);
          size_t first = out.find(want);
          return first != std::string::npos && out.find(want, first + 1) != std::string::npos;
        },
        15000, 50);
    std::string out = vktest::read_file(c.out_path);
    EXPECT_EQ(vktest::wait_program(c, 0), -1) << "the test ends only when stopped";
    vktest::stop_program(c);
    EXPECT_TRUE(two) << out << vktest::read_file(c.err_path);
    // Trace lines of the engine go to standard output too.
    EXPECT_NE(out.find("host = " + std::string(host)), std::string::npos) << out;
  }
}

TEST(IcmpModes, PingOnlyPingsOnceAndExitsZero) {
  REQUIRE_RAW();
  agent_home home;
  vktest::run_result r =
      vktest::run_program({kAgent, "--ping-only", "--ping-ip=127.0.0.1"}, {home.env()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(std::regex_search(r.out, kReply4)) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST(IcmpModes, AHostThatCannotBeAddedEndsEitherModeWithStatusOne) {
  agent_home home;
  const std::string err = "Adding host `no-such-host.invalid' failed: getaddrinfo: ";
  vktest::run_result r =
      vktest::run_program({kAgent, "--ping-only", "--ping-ip=no-such-host.invalid"}, {home.env()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind(err, 0), 0u) << r.err;
  r = vktest::run_program({kAgent, "--cmd-ping", "no-such-host.invalid", "1"}, {home.env()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
}

TEST(IcmpModes, ASilentHostIsReportedAsTimeout) {
  REQUIRE_RAW();
  std::string ns = "icmp-mode-test-" + std::to_string(getpid());
  auto sh = [](const std::string &cmd) {
    return vktest::run_program({"/bin/sh", "-c", cmd}).status == 0;
  };
  if (!sh("ip netns add " + ns)) GTEST_SKIP() << "network namespace refused, not tested";
  bool ready = sh("ip netns exec " + ns + " ip link set lo up") &&
               sh("ip netns exec " + ns + " sysctl -qw net.ipv4.icmp_echo_ignore_all=1");
  agent_home home;
  vktest::run_result r;
  if (ready) {
    r = vktest::run_program(
        {"/usr/sbin/ip", "netns", "exec", ns, kAgent, "--ping-only", "--ping-ip=127.0.0.1"},
        {home.env()});
  }
  sh("ip netns del " + ns);
  ASSERT_TRUE(ready);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("echo reply from 127.0.0.1 (127.0.0.1): icmp_seq=1 timeout\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
