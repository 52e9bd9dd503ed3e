// tools/dg-sim/qdr-check, the one-shot device check, run as a real program:
// the built qdr-agent polls a private snmpd through a private dg-sim, by v2c,
// SNMPv3 authPriv and v1, and the report shows both rounds with units and
// "n/a" for what is unknown; a silent address, a wrong pass phrase and wrong
// arguments end non-zero with the reason.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "snmpd_fixture.h"
#include "test_process.h"

namespace {

vktest::run_result check(const std::vector<std::string> &options) {
  std::vector<std::string> argv = {vktest::built_program("tools/dg-sim/qdr-check")};
  argv.insert(argv.end(), options.begin(), options.end());
  return vktest::run_program(argv, {}, "", 90000);
}

bool has(const std::string &text, const char *pattern) {
  return std::regex_search(text, std::regex(pattern));
}

TEST(QdrCheck, PollsAPrivateDeviceByV2cAndV3AndPrintsTwoRounds) {
  vktest::snmpd_instance snmpd;
  vktest::snmpd_options opt;
  opt.sys_name = "checked-switch";
  std::string err;
  ASSERT_TRUE(snmpd.start(opt, &err)) << err;
  std::string port = std::to_string(snmpd.port);
  std::string user = vktest::snmpd_user_name(4, 2);  // SHA-256 and AES-128
  struct run {
    std::vector<std::string> options;
    const char *version;
  };
  const run runs[] = {
      {{"127.0.0.1", "--port", port, "--community", opt.community, "--interval", "1"}, "v2c"},
      {{"127.0.0.1", "--port", port, "-v", "3", "-u", user, "-l", "authpriv", "-a", "sha256", "-A",
        vktest::kSnmpdAuthPass, "-x", "aes128", "-X", vktest::kSnmpdPrivPass, "--interval", "1"},
       "v3"},
      // SNMPv1 has no 64-bit counters: the rates come from the 32-bit ones.
      {{"127.0.0.1", "--port", port, "-v", "1", "-c", opt.community, "--interval", "1"}, "v1"},
  };
  for (const run &r : runs) {
    vktest::run_result res = check(r.options);
    const std::string &o = res.out;
    EXPECT_EQ(res.status, 0) << r.version << "\n" << o << res.err;
    EXPECT_NE(o.find(std::string("SNMP ") + r.version), std::string::npos) << o;
    EXPECT_NE(o.find("device answered: name 'checked-switch'"), std::string::npos) << o;
    size_t first = o.find("poll 1\n  device ");
    EXPECT_NE(first, std::string::npos) << o;
    EXPECT_GT(o.find("poll 2\n  device "), first) << o;
    // Units on every figure; a temperature the device does not report is n/a.
    EXPECT_TRUE(has(o,
                    "cpu \\d+ %  memory available \\d+ kB  uptime \\d+d \\d\\dh \\d\\dm \\d\\ds  "
                    "temperature n/a"))
        << o;
    EXPECT_TRUE(has(o, "interface   #\\d+ +lo +type 24  mtu \\d+ bytes  speed [0-9.]+ [kMG]bit/s"))
        << o;
    EXPECT_TRUE(has(o,
                    "rate        #\\d+ +lo +in [0-9.]+ (k|M|G|)bit/s  out [0-9.]+ (k|M|G|)bit/s  "
                    "use [0-9.]+ % / [0-9.]+ %"))
        << o;
    EXPECT_NE(o.find("result: 127.0.0.1 port " + port + " answered"), std::string::npos) << o;
    EXPECT_EQ(res.err, "");
  }
}

TEST(QdrCheck, FailuresEndNonZeroWithTheReason) {
  vktest::snmpd_instance snmpd;
  std::string err;
  ASSERT_TRUE(snmpd.start(vktest::snmpd_options(), &err)) << err;
  // A silent device: a bound UDP port on loopback that never answers.
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
  socklen_t sl = sizeof(sa);
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl);
  std::string silent = std::to_string(ntohs(sa.sin_port));
  std::string port = std::to_string(snmpd.port);
  struct bad {
    std::vector<std::string> options;
    int status;
    std::string reason;
  };
  const bad cases[] = {
      {{"127.0.0.1", "--port", silent, "--interval", "1"},
       1,
       "qdr-check: 127.0.0.1 port " + silent + " did not answer: Timeout"},
      {{"127.0.0.1", "--port", port, "-v", "3", "-u", vktest::snmpd_user_name(4, 2), "-a", "sha256",
        "-A", "not-the-pass-phrase", "-X", vktest::kSnmpdPrivPass},
       1,
       "did not answer: Authentication failure"},
      {{"127.0.0.1", "--port", port, "--community", "wrong-community", "--timeout", "8"},
       1,
       "did not answer: Timeout"},
      {{"127.0.0.1", "-v", "3"}, 2, "SNMPv3 needs --user"},
      {{"not-an-address"}, 2, "'not-an-address' is not an IPv4 or IPv6 address"},
      {{"127.0.0.1", "--agent", "/nonexistent/qdr-agent"},
       2,
       "cannot run /nonexistent/qdr-agent: not an executable file"},
  };
  for (const bad &c : cases) {
    vktest::run_result res = check(c.options);
    EXPECT_EQ(res.status, c.status) << c.reason << "\n" << res.out << res.err;
    EXPECT_NE(res.err.find(c.reason), std::string::npos) << res.err;
    EXPECT_EQ(res.out.find("result:"), std::string::npos) << res.out;
  }
  close(fd);
}

// The children of a process, by the parent field of /proc/<pid>/stat.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> out;
  DIR *d = opendir("/proc");
  if (d == nullptr) return out;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    std::string stat = vktest::read_file(std::string("/proc/") + e->d_name + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
      out.push_back(static_cast<pid_t>(strtol(e->d_name, nullptr, 10)));
    }
  }
  closedir(d);
  return out;
}

TEST(QdrCheck, TerminatedCheckStopsTheAgentAndDgSimAndRemovesItsFolder) {
  vktest::snmpd_instance snmpd;
  std::string err;
  ASSERT_TRUE(snmpd.start(vktest::snmpd_options(), &err)) << err;
  vktest::temp_dir tmp;
  vktest::child c =
      vktest::start_program({vktest::built_program("tools/dg-sim/qdr-check"), "127.0.0.1", "--port",
                             std::to_string(snmpd.port), "--interval", "30"},
                            tmp.path, {"TMPDIR=" + tmp.path});
  ASSERT_GT(c.pid, 0);
  // Running once the device answered the access test.
  ASSERT_TRUE(vktest::wait_until(
      [&] { return vktest::read_file(c.out_path).find("device answered") != std::string::npos; },
      30000, 100))
      << vktest::read_file(c.err_path);
  std::vector<pid_t> kids = children_of(c.pid);  // dg-sim and the agent
  EXPECT_EQ(kids.size(), 2u);
  kill(c.pid, SIGTERM);
  EXPECT_EQ(vktest::wait_program(c, 20000), 130);
  for (pid_t k : kids) {
    EXPECT_TRUE(vktest::wait_until([&] { return kill(k, 0) != 0; }, 10000)) << k;
  }
  DIR *d = opendir(tmp.path.c_str());
  ASSERT_NE(d, nullptr);
  int left = 0;
  while (dirent *e = readdir(d)) left += strncmp(e->d_name, "qdr-check.", 10) == 0;
  closedir(d);
  EXPECT_EQ(left, 0);
}

}  // namespace
