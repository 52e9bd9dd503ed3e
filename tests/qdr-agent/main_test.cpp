// The qdr-agent program run as a real process: command line, exit statuses
// and texts, home directory and logging checks, the pid file and the main
// loop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_process.h"

namespace {

const std::string kAgent = vktest::built_program("qdr-agent/qdr-agent");

const std::string kUsage =
    "\nusage: vosk-qdr-agent [<Option>]\n"
    "  -v, --version                 print version\n"
    "      --dg-ip=<ip>              Pellan Server ip(receiver)\n"
    "      --dg-port=<port>          Pellan Server port(receiver)\n"
    "      --snmptrap-port=<port>    snmp-trap receive port(receiver)\n"
    "      --syslog-port=<port>      syslog receive port(receiver)\n"
    "\n"
    "      --cmd-snmp <addr> <version> <community> <req type> <oid>\n"
    "                                <addr>: ip:port\n"
    "                                <version>: snmp version(v1,v2c,v3)\n"
    "                                <community>: snmp community\n"
    "                                <req type>: request type(get,subtree)\n"
    "                                <oid>: request oid\n"
    "      --cmd-ping <addr> <count>\n"
    "                                <addr>: test target ip\n"
    "                                <count>: test count\n"
    "\n"
    "\n";

// A home directory with conf/, data/ and log/, a logging configuration
// whose "qdr-agent" category writes log/qdr-agent.log at trace level, and a
// configuration that points the collector link at a loopback port nobody
// listens on.
struct agent_home {
  vktest::temp_dir dir;
  std::string path;

  explicit agent_home(const std::string &log_conf = "") {
    path = dir.path;
    mkdir((path + "/conf").c_str(), 0755);
    mkdir((path + "/data").c_str(), 0755);
    mkdir((path + "/log").c_str(), 0755);
    std::string conf = log_conf;
    if (conf.empty()) {
      conf =
          "[qdr-agent]\n"
          "directory = " +
          path +
          "/log\n"
          "output_type = file\n"
          "level = trace\n"
          "header_flag = time,pid,level\n";
    }
    vktest::write_file(path + "/conf/log.conf", conf);
    int port = vktest::free_port(SOCK_STREAM);
    vktest::write_file(path + "/conf/qdr.conf",
                       "receiver_ip=127.0.0.1\nreceiver_port=" + std::to_string(port) + "\n");
  }
  std::string env() const { return "VOSK_QDR_HOME=" + path; }
  std::string pid_file() const { return path + "/data/qdr-agent.pid"; }
  std::string log() const { return vktest::read_file(path + "/log/qdr-agent.log"); }
};

vktest::run_result run(const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {"VOSK_QDR_HOME"},
                       const std::string &program = kAgent) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return vktest::run_program(argv, env);
}

// Starts the agent in `home` and waits until it owns the pid file.
vktest::child start_agent(const agent_home &home, const std::vector<std::string> &args = {},
                          const std::string &program = kAgent) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  vktest::child c = vktest::start_program(argv, home.path, {home.env()});
  std::string me = std::to_string(c.pid);
  vktest::wait_until([&] { return vktest::read_file(home.pid_file()).rfind(me, 0) == 0; }, 10000);
  return c;
}

TEST(CommandLine, StatusAndUsageForEveryMalformedArgument) {
  struct row {
    std::vector<std::string> args;
    int status;
  };
  const row rows[] = {
      {{"-x"}, 3},
      {{"word"}, 3},
      {{"-"}, 1},
      {{"-hv"}, 1},
      {{"--"}, 2},
      {{"--unknown"}, 3},
      {{"--dg-port=65536"}, 22},
      {{"--dg-port=-1"}, 22},
      {{"--dg-ip=" + std::string(39, '1')}, 21},
      {{"--config=" + std::string(4095, 'c')}, 20},
      {{"--log-config-path=" + std::string(4095, 'l')}, 23},
      {{"--syslog-only", "--syslog-only"}, 31},
      {{"--syslog-port=65536"}, 32},
      {{"--syslog-only", "--snmptrap-only"}, 41},
      {{"--ping-only", "--ping-only"}, 41},
      {{"--snmptrap-port=70000"}, 42},
      {{"--ping-ip=" + std::string(39, '2')}, 42},
      {{"--cmd-snmp"}, 3},
      {{"--cmd-snmp", "127.0.0.1:161", "v2c"}, 3},
      {{"--cmd-snmp", "127.0.0.1:161", "v2c", "public", "get"}, 3},
      {{"--cmd-snmp", std::string(60, 'a'), "v2c", "public", "get", ".1.3"}, 3},
      {{"--cmd-snmp", "127.0.0.1:161", "v2c", "public", "get", std::string(512, '1')}, 3},
      {{"--cmd-snmp", "127.0.0.1:161", "v3", "user", "authpriv", "sha", "pw", "aes"}, 3},
      {{"--cmd-snmp", "127.0.0.1:161", "v3", "user", "authnopriv", "sha", std::string(32, 'p'),
        "get", ".1.3"},
       3},
      {{"--cmd-ping"}, 3},
      {{"--cmd-ping", "127.0.0.1"}, 3},
      {{"--cmd-ping", std::string(40, '3'), "1"}, 3},
  };
  for (const row &r : rows) {
    std::string label = r.args[0] + (r.args.size() > 1 ? " " + r.args[1] : "");
    vktest::run_result res = run(r.args);
    EXPECT_EQ(r.status, res.status) << label;
    EXPECT_NE(std::string::npos, res.out.find(kUsage)) << label;
  }
}

TEST(CommandLine, HelpAndVersionStopParsing) {
  vktest::run_result help = run({"-h", "--dg-port=99999"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(kUsage, help.out);
  EXPECT_EQ(kUsage, run({"--helpme"}).out);  // long options match by prefix

  vktest::run_result version = run({"-v", "--dg-port=99999"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(0u, version.out.find("vosk-qdr-agent - Network Device Monitoring Agent\nBuild on "));
  std::string tail = "\nVersion 1.0.1-debug (m:0,ci:0,ce:0)\n\n";
  ASSERT_GE(version.out.size(), tail.size());
  EXPECT_EQ(tail, version.out.substr(version.out.size() - tail.size()));
  EXPECT_EQ(version.out, run({"--version"}).out);
}

TEST(CommandLine, CmdSnmpAnswersBadVersionOrLevelWithStatusZero) {
  vktest::run_result r = run({"--cmd-snmp", "127.0.0.1:161", "v4", "public", "get", ".1.3"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("'v4' version is not support\n", r.out);

  r = run({"--cmd-snmp", "127.0.0.1:161", "v3", "user", "authsomething", "get", ".1.3"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("'authsomething' auth priv type is wrong.\n", r.out);
}

TEST(CommandLine, UnknownCmdWritesArgumentAndGoesOn) {
  vktest::run_result r = run({"--cmd-foo"});
  EXPECT_EQ("argument", r.err.substr(0, 8));
  EXPECT_EQ(2, r.status);  // parsing succeeded; then the home check fails
}

TEST(StartUp, HomeDirectoryMustBeSetAndExist) {
  vktest::run_result r = run({});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.out.find("[init_environment]real app name[qdr-agent]\n"));
  EXPECT_EQ("VOSK_QDR_HOME is not set.\n", r.err);

  r = run({}, {"VOSK_QDR_HOME=/nonexistent/qdr-home"});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.out.find("QDR HOME[/nonexistent/qdr-home]\n"));
  EXPECT_EQ("VOSK_QDR_HOME is not exist. please check directory.[/nonexistent/qdr-home]\n", r.err);

  // Quotes around the value are stripped.
  r = run({}, {"VOSK_QDR_HOME=\"/nonexistent/quoted\""});
  EXPECT_NE(std::string::npos, r.out.find("QDR HOME[/nonexistent/quoted]\n"));
}

TEST(StartUp, BadLoggingConfigurationEndsWithStatus2) {
  const std::string bad[] = {
      "",  // replaced by a missing file below
      "[qdr-agent\nlevel=info\n",
      "[qdr-agent]\nlevel=none\n",
      "[qdr-agent]\nlevel=" + std::string(1100, 'x') + "\n",
  };
  for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); i++) {
    agent_home home(bad[i].empty() ? "x" : bad[i]);
    if (bad[i].empty()) unlink((home.path + "/conf/log.conf").c_str());
    vktest::run_result r = run({}, {home.env()});
    EXPECT_EQ(2, r.status) << i;
    EXPECT_NE(std::string::npos, r.out.find("vklog_initialize_with_config_file() has failed.["))
        << i;
    EXPECT_FALSE(vktest::file_exists(home.pid_file())) << i;
  }
}

TEST(StartUp, ConfigurationThatIsNotARegularFileReadsAsMissing) {
  agent_home home;
  unlink((home.path + "/conf/log.conf").c_str());  // ends start-up right after the file
  std::string fifo = home.path + "/conf/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  for (const std::string &path : {std::string("/dev/zero"), fifo, home.path}) {
    vktest::run_result r = run({"--config=" + path}, {home.env()});
    EXPECT_EQ(2, r.status) << path;
    EXPECT_EQ("[load_config_from_file] not a regular file, read as missing.[" + path + "]\n", r.err)
        << path;
  }
}

// Without a usable collector address the agent would retry for ever: it
// refuses to start, says why on stderr and in its log, and claims no pid
// file. The ping-only mode needs no collector.
TEST(StartUp, EmptyOrInvalidCollectorAddressEndsWithStatus24) {
  const struct {
    std::string conf;
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {"receiver_port=9010\n", {}, "The collector address is not set: receiver_ip in "},
      {"receiver_ip=\n", {}, "The collector address is not set: receiver_ip in "},
      {"receiver_ip=127.0.0.1:9010\n",
       {},
       "The collector address is not an address.[127.0.0.1:9010]\n"},
      {"", {"--dg-ip=10.0.0.300"}, "The collector address is not an address.[10.0.0.300]\n"},
  };
  for (const auto &r : rows) {
    agent_home home;
    vktest::write_file(home.path + "/conf/qdr.conf", r.conf);
    vktest::run_result res = run(r.args, {home.env()});
    EXPECT_EQ(24, res.status) << r.conf;
    EXPECT_NE(std::string::npos, res.err.find(r.err)) << res.err;
    EXPECT_NE(std::string::npos, home.log().find("The collector address is not")) << r.conf;
    EXPECT_FALSE(vktest::file_exists(home.pid_file())) << r.conf;
  }
  // The ping-only mode gets past the check (and then pings, or fails to
  // for want of privilege: either way not with 24).
  agent_home home;
  vktest::write_file(home.path + "/conf/qdr.conf", "");
  vktest::run_result res = run({"--ping-only", "--ping-ip=127.0.0.1"}, {home.env()});
  EXPECT_NE(24, res.status) << res.err;
}

TEST(StartUp, UnusablePidFileEndsWithStatus6AndItsCause) {
  struct row {
    const char *what;
    int (*spoil)(const std::string &data, const std::string &pid_file);
    const char *cause;
  };
  const row rows[] = {
      {"no data directory",
       [](const std::string &d, const std::string &) { return rmdir(d.c_str()); },
       "No such file or directory"},
      {"pid path is a directory",
       [](const std::string &, const std::string &f) { return mkdir(f.c_str(), 0755); },
       "Is a directory"},
  };
  for (const row &r : rows) {
    agent_home home;
    ASSERT_EQ(0, r.spoil(home.path + "/data", home.pid_file())) << r.what;
    vktest::run_result res = run({}, {home.env()});
    EXPECT_EQ(6, res.status) << r.what;
    EXPECT_EQ("Duplicate execution.\nThe pid file cannot be used.[" + home.pid_file() + ": " +
                  r.cause + "]\n",
              res.err)
        << r.what;
    EXPECT_NE(std::string::npos, home.log().find("[PQH-TXN-00020070] File open failed."));
  }
}

TEST(PidFile, SecondInstanceIsFoundWhateverThePathAndTheFirstKeepsItsOutput) {
  const std::string names[] = {"my dir/qdr-agent", "qdr-agent" + std::string(121, 'x')};
  for (const std::string &name : names) {
    agent_home home;
    std::string program = home.path + "/" + name;
    mkdir((home.path + "/my dir").c_str(), 0755);
    ASSERT_EQ(0, symlink(kAgent.c_str(), program.c_str())) << name;
    vktest::child first = start_agent(home, {}, program);
    ASSERT_GT(first.pid, 0) << name;

    vktest::run_result second = run({}, {home.env()}, program);
    EXPECT_EQ(6, second.status) << name;
    EXPECT_EQ("Duplicate execution.\n", second.err) << name;

    // Killed in its main loop, the first still leaves its start-up lines.
    kill(first.pid, SIGKILL);
    vktest::wait_program(first, 10000);
    std::string out = vktest::read_file(first.out_path);
    EXPECT_NE(std::string::npos, out.find("QDR HOME[" + home.path + "]\n")) << name;
    EXPECT_NE(std::string::npos, out.find("g_agent_config.snmp.version[]\n")) << name;
  }
}

TEST(PidFile, SecondStartExitsSixAndDeletingTheFileStopsTheFirst) {
  agent_home home;
  vktest::child first = start_agent(home);
  ASSERT_GT(first.pid, 0);
  std::string content = vktest::read_file(home.pid_file());
  ASSERT_EQ(32u, content.size());
  EXPECT_EQ(std::to_string(first.pid), std::string(content.c_str()));
  EXPECT_EQ(std::string(32 - std::to_string(first.pid).size(), '\0'),
            content.substr(std::to_string(first.pid).size()));

  vktest::run_result second = run({}, {home.env()});
  EXPECT_EQ(6, second.status);
  EXPECT_EQ("Duplicate execution.\n", second.err);
  EXPECT_EQ(content, vktest::read_file(home.pid_file()));  // untouched

  ASSERT_EQ(0, unlink(home.pid_file().c_str()));
  int status = vktest::wait_program(first, 10000);
  EXPECT_EQ(0, status);
  if (status < 0) vktest::stop_program(first);
  EXPECT_NE(std::string::npos, home.log().find("qdr-agent process stopped.\n"));
}

TEST(PidFile, StaleOrForeignPidIsOverwritten) {
  // A pid that no longer exists: a child we started and reaped.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  // Live processes whose program names do not contain "qdr-agent", one of
  // them with a command line longer than 4094 bytes.
  vktest::temp_dir logs;
  vktest::child sleeper = vktest::start_program({"/bin/sleep", "30"}, logs.path);
  vktest::child shell =
      vktest::start_program({"/bin/sh", "-c", "sleep 30; true", std::string(5000, 'x')}, logs.path);

  for (const std::string &old :
       {std::to_string(gone), std::to_string(sleeper.pid), std::to_string(shell.pid),
        std::string("garbage\x01\xff", 9), std::string(64, '9')}) {
    agent_home home;
    vktest::write_file(home.pid_file(), old);
    vktest::child agent = start_agent(home);
    std::string content = vktest::read_file(home.pid_file());
    EXPECT_EQ(std::to_string(agent.pid), std::string(content.c_str())) << old;
    unlink(home.pid_file().c_str());
    if (vktest::wait_program(agent, 10000) < 0) vktest::stop_program(agent);
  }
  vktest::stop_program(sleeper);
  vktest::stop_program(shell);
}

TEST(MainLoop, FirstReportHasNoCollectLinesAndLaterOnesDo) {
  agent_home home;
  vktest::child agent = start_agent(home);
  ASSERT_GT(agent.pid, 0);
  // Two reports are three seconds apart; wait for the second.
  bool two = vktest::wait_until(
      [&] { return home.log().find("collect: queue count[") != std::string::npos; }, 15000, 100);
  unlink(home.pid_file().c_str());
  if (vktest::wait_program(agent, 10000) < 0) vktest::stop_program(agent);
  ASSERT_TRUE(two);

  std::string log = home.log();
  size_t first_snmp = log.find("snmp: open[0/0],close[0],req[0/0],res[0/0],fail[0]\n");
  size_t first_totals = log.find(" - o(0/0),c(0),rq(0/0),rs(0/0),f(0)\n");
  size_t first_dash = log.find("-------------------------------------\n");
  size_t first_collect = log.find("collect: queue count[0]\n");
  ASSERT_NE(std::string::npos, first_snmp);
  ASSERT_NE(std::string::npos, first_dash);
  EXPECT_LT(first_snmp, first_totals);
  EXPECT_LT(first_totals, first_dash);
  EXPECT_LT(first_dash, first_collect);
  EXPECT_NE(std::string::npos, log.find(" thd[0],work[0],snmp[o:0,c:0,f:0],pq[0]\n"));
}

TEST(MainLoop, LoggingConfigurationIsReloadedWhenTheFileChanges) {
  agent_home home;
  vktest::child agent = start_agent(home);
  ASSERT_GT(agent.pid, 0);
  ASSERT_TRUE(vktest::wait_until(
      [&] { return home.log().find("snmp: open[") != std::string::npos; }, 10000, 50));
  // Switch the category to a second file; within a reload period or two
  // the reports go there.
  sleep(1);  // a different modification time second
  vktest::write_file(home.path + "/conf/log.conf", "[qdr-agent]\ndirectory = " + home.path +
                                                       "/log\nfilename = moved.log\n"
                                                       "output_type = file\nlevel = info\n");
  bool moved = vktest::wait_until(
      [&] {
        return vktest::read_file(home.path + "/log/moved.log").find("snmp: open[") !=
               std::string::npos;
      },
      15000, 100);
  unlink(home.pid_file().c_str());
  if (vktest::wait_program(agent, 10000) < 0) vktest::stop_program(agent);
  EXPECT_TRUE(moved);
}

}  // namespace
