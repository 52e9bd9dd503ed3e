// The ping modes of the command line, run as a user would run the built
// agent: the endless --cmd-ping test against 127.0.0.1 and ::1, the
// one-shot --ping-only mode, a host that cannot be resolved, a run without
// the right to ping, a host that does not answer (the agent run inside a
// network namespace made here) while a second pinger's target does, and the
// identifiers of two ping processes.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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

// Run as "nobody", without the right to open raw sockets: neither mode
// reports a time-out or pings on; both say why and end with status 1.
TEST(IcmpModes, WithoutTheRightToPingBothModesFailWithStatusOne) {
  agent_home home;
  std::string owner = "chown -R nobody " + home.dir.path;
  ASSERT_EQ(vktest::run_program({"/bin/sh", "-c", owner}).status, 0);
  const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=nobody",
                                              "--regid=nogroup", "--clear-groups", kAgent};
  const std::vector<std::vector<std::string>> modes = {{"--ping-only", "--ping-ip=127.0.0.1"},
                                                       {"--cmd-ping", "127.0.0.1", "3"}};
  for (const auto &mode : modes) {
    SCOPED_TRACE(mode[0]);
    std::vector<std::string> argv = as_nobody;
    argv.insert(argv.end(), mode.begin(), mode.end());
    vktest::run_result r = vktest::run_program(argv, {home.env()});
    if (r.err.find("setpriv") != std::string::npos) GTEST_SKIP() << "setpriv refused: " << r.err;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("icmp_send failed: " + std::string(strerror(EPERM))), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("ping 127.0.0.1: socket: " + std::string(strerror(EPERM))),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("timeout"), std::string::npos) << r.out;
  }
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

// A second pinger on the machine: a process that pings 127.0.0.1 every
// two milliseconds with `ident` and sequences 0..3 (what a second agent or
// a ping test of the same numbers sends), inside network namespace `ns`.
// Ends by itself after a few seconds; the test stops it by its pid.
pid_t start_second_pinger(const std::string &ns, uint16_t ident) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int nsfd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) _exit(2);
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (fd < 0) _exit(3);
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 3000; i++) {
    uint16_t seq = static_cast<uint16_t>(i % 4);
    uint8_t m[8] = {8,
                    0,
                    0,
                    0,
                    static_cast<uint8_t>(ident >> 8),
                    static_cast<uint8_t>(ident),
                    static_cast<uint8_t>(seq >> 8),
                    static_cast<uint8_t>(seq)};
    uint32_t sum = 0;
    for (int k = 0; k < 8; k += 2) sum += static_cast<uint32_t>(m[k] << 8 | m[k + 1]);
    sum = (sum & 0xffff) + (sum >> 16);
    m[2] = static_cast<uint8_t>(~sum >> 8);
    m[3] = static_cast<uint8_t>(~sum);
    sendto(fd, m, sizeof(m), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    usleep(2000);
  }
  _exit(0);
}

TEST(IcmpModes, AnotherPingersRepliesDoNotMakeASilentHostAlive) {
  REQUIRE_RAW();
  std::string ns = "icmp-pinger-test-" + std::to_string(getpid());
  auto sh = [](const std::string &cmd) {
    return vktest::run_program({"/bin/sh", "-c", cmd}).status == 0;
  };
  if (!sh("ip netns add " + ns)) GTEST_SKIP() << "network namespace refused, not tested";
  // 198.51.100.9 sits behind a link with no one on it: it never answers;
  // 127.0.0.1 answers the other pinger.
  std::string in = "ip netns exec " + ns + " ";
  bool ready = sh(in + "ip link set lo up") &&
               sh(in + "ip link add pingt0 type veth peer name pingt1") &&
               sh(in + "ip addr add 198.51.100.1/24 dev pingt0") &&
               sh(in + "ip link set pingt0 up") && sh(in + "ip link set pingt1 up");
  agent_home home;
  std::vector<vktest::run_result> runs;
  if (ready) {
    // The numbers the ping modes used to put on every request (identifier
    // 41, sequence 0), and the numbers of this build's ping-only process,
    // which the other pinger cannot know: both must leave the host silent.
    pid_t pinger = start_second_pinger(ns, 41);
    for (int i = 0; i < 2; i++) {
      runs.push_back(vktest::run_program(
          {"/usr/sbin/ip", "netns", "exec", ns, kAgent, "--ping-only", "--ping-ip=198.51.100.9"},
          {home.env()}));
    }
    kill(pinger, SIGKILL);
    waitpid(pinger, nullptr, 0);
  }
  sh("ip netns del " + ns);
  ASSERT_TRUE(ready);
  for (const vktest::run_result &r : runs) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("echo reply from 198.51.100.9 (198.51.100.9): icmp_seq=1 timeout\n"),
              std::string::npos)
        << r.out;
  }
}

// The identifiers of two ping processes differ, as a raw socket on the
// loopback sees their requests.
TEST(IcmpModes, TwoPingProcessesUseDifferentIdentifiers) {
  REQUIRE_RAW();
  int fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP);
  ASSERT_GE(fd, 0);
  agent_home home;
  std::vector<int> idents;
  for (int i = 0; i < 2; i++) {
    vktest::run_result r =
        vktest::run_program({kAgent, "--ping-only", "--ping-ip=127.0.0.1"}, {home.env()});
    EXPECT_EQ(r.status, 0) << r.err;
    // The request is in the socket's queue by now: the reply came back.
    for (int k = 0; k < 1000; k++) {
      uint8_t buf[4096];
      ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n < 0) break;
      size_t hl = (buf[0] & 0x0f) * 4u;
      if (n >= static_cast<ssize_t>(hl + 8) && buf[hl] == 8) {
        EXPECT_EQ(static_cast<size_t>(n), hl + 8 + 19) << "a small fixed payload";
        idents.push_back(buf[hl + 4] << 8 | buf[hl + 5]);
      }
    }
  }
  close(fd);
  ASSERT_GE(idents.size(), 2u);
  EXPECT_NE(idents.front(), idents.back());
  EXPECT_NE(idents.front(), 41);
}

}  // namespace
