// vosk-host-agent run as a process: command line and environment, the pid
// file, the server's requests from tools/dg-sim, and the signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host_test_util.h"
#include "test_process.h"

namespace {

struct AgentRun : ::testing::Test {
  vktest::temp_dir dir;
  std::string home, data, log_path;
  void SetUp() override {
    home = dir.path + "/home";
    data = home + "/host/data";
    ASSERT_EQ(system(("mkdir -p " + data + " " + dir.path + "/log").c_str()), 0);
    log_path = dir.path + "/log/vosk-host-agent.log";
  }
  std::vector<std::string> env(const std::string &receiver) {
    return {"VOSK_HOME=\"" + home + "\"", "VOSK_HOST_HOME=" + dir.path, "RECEIVER_ADDR=" + receiver,
            "REMOVE_PERM_GROUP",          "REMOVE_PERM_OTHER",          "PERM_FILE_OTHER_WR"};
  }
  std::string agent() { return vktest::built_program("vosk-host-agent/vosk-host-agent"); }
  std::string log() { return vktest::read_file(log_path); }
  bool log_has(const std::string &text, int timeout_ms = 15000) {
    return vktest::wait_until([&] { return log().find(text) != std::string::npos; }, timeout_ms);
  }
};

TEST_F(AgentRun, CommandLineAndStartUpFailuresEndWithTheirOwnStatus) {
  vktest::run_result r = vktest::run_program({agent(), "-v"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("vosk-host-agent 1.1.1 [linux x86_64 64bit] Build "), std::string::npos);
  r = vktest::run_program({agent(), "-d", "-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("debug mode on\n"), std::string::npos);
  EXPECT_NE(r.out.find("[usage] " + agent() + " [-D][-d][-v|-h]\n"), std::string::npos);
  r = vktest::run_program({agent(), "--help"}, env("127.0.0.1:1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("[usage] "), std::string::npos);
  // An unknown argument never starts the agent.
  for (const char *arg : {"--version", "-x", "start"}) {
    r = vktest::run_program({agent(), arg}, env("127.0.0.1:1"));
    EXPECT_EQ(r.status, 2) << arg;
    EXPECT_NE(r.err.find("[main] unknown argument [" + std::string(arg) + "]"), std::string::npos);
    EXPECT_NE(r.err.find("[usage] "), std::string::npos);
  }
  EXPECT_FALSE(vktest::file_exists(data + "/host_agent_pid"));
  r = vktest::run_program({agent(), "-c"});
  EXPECT_NE(r.out.find("[check_os_info] OS Name : Linux\n"), std::string::npos);
  r = vktest::run_program({agent()}, {"VOSK_HOME"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("[PQH-OSM-00010010][ERROR] Failed to get environment variable VOSK_HOME."),
            std::string::npos);
  std::vector<std::string> e = env("127.0.0.1:1");
  e.back() = "PERM_FILE_OTHER_WR=maybe";
  r = vktest::run_program({agent()}, e);
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("environment variable PERM_FILE_OTHER_WR is wrong.[maybe]"),
            std::string::npos);
  EXPECT_FALSE(vktest::file_exists(data + "/host_agent_pid"));

  // A saved value the agent cannot start with: named on stderr, also with
  // -D (checked before detaching).
  ASSERT_TRUE(vktest::write_file(data + "/config", "LOG_LEVEL=bogus\n"));
  for (const char *d : {"-d", "-D"}) {
    r = vktest::run_program({agent(), d}, env("127.0.0.1:1"));
    EXPECT_EQ(r.status, 5) << d;
    EXPECT_NE(r.err.find("option[LOG_LEVEL] value[bogus] refused: not a log level"),
              std::string::npos)
        << r.err;
  }
  ASSERT_EQ(unlink((data + "/config").c_str()), 0);
  // The data directory, then the home, missing.
  ASSERT_EQ(system(("rm -rf " + data).c_str()), 0);
  r = vktest::run_program({agent(), "-D"}, env("127.0.0.1:1"));
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("[main] data directory " + data + " cannot be used: "), std::string::npos)
      << r.err;
  ASSERT_EQ(system(("rm -rf " + home).c_str()), 0);
  r = vktest::run_program({agent()}, env("127.0.0.1:1"));
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("[main] home " + home + "/host cannot be used: "), std::string::npos);
}

TEST_F(AgentRun, AnnouncesItselfAnswersTheServerAndStopsOnSigterm) {
  ASSERT_TRUE(vktest::write_file(data + "/host_id", "kept-host-id-0001\n"));
  ASSERT_TRUE(vktest::write_file(data + "/config",
                                 "# settings of this host\n\nINTERVAL_METRIC = 10 # ten\n"
                                 "OLD_KEY=1\nLOG_LEVEL=debug\n"));
  hosttest::dg_sim sim;
  std::string why;
  ASSERT_TRUE(
      sim.start(dir.path,
                {"--scenario", std::string(VK_SOURCE_DIR) + "/tools/dg-sim/scenarios/host.json",
                 "--agent-id", "new-host-id-0002"},
                &why))
      << why;
  vktest::child a =
      vktest::start_program({agent()}, dir.path, env("127.0.0.1:" + std::to_string(sim.port)));
  ASSERT_GT(a.pid, 0);
  ASSERT_TRUE(log_has("[process_res_timesync] timesync diff:12\n")) << log();
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        return sim.count("\"type\": 40000,") > 0 && sim.count("\"type\": 40001,") > 0 &&
               vktest::read_file(data + "/config").find("INTERVAL_PROCESS=30") != std::string::npos;
      },
      10000));

  // The handshake carried the kept id; the answer's id replaced it.
  EXPECT_EQ(sim.count("\"type\": 10043,", "\"custom_infos\": {\"host_id\": \"kept-host-id-0001\"}"),
            1);
  EXPECT_EQ(sim.count("\"type\": 10043,", "\"status\": 2, \"body_version\": 19121701"), 1);
  EXPECT_EQ(vktest::read_file(data + "/host_id"), "new-host-id-0002\n");
  // Where rpm is absent, this Debian machine's own packages arrive: one
  // batch per 100 installed packages and the last, partial one.
  if (system("command -v rpm >/dev/null 2>&1") != 0 &&
      system("command -v dpkg-query >/dev/null 2>&1") == 0) {
    vktest::run_result l = vktest::run_program({"/bin/sh", "-c", "dpkg -l | grep -c '^ii'"});
    int installed = atoi(l.out.c_str());
    ASSERT_GT(installed, 0);
    EXPECT_TRUE(vktest::wait_until(
        [&] { return sim.count("\"type\": 60017,") == installed / 100 + 1; }, 20000))
        << sim.count("\"type\": 60017,");
  }
  // Ten time-sync rounds, each request answered once.
  EXPECT_EQ(sim.count("\"dir\": \"recv\"", "\"type\": 40006,"), 10);
  // The change rewrote every key in table order; CPU100 and unknown keys
  // from the server were ignored, comments and the file's unknown key gone.
  EXPECT_EQ(vktest::read_file(data + "/config"),
            "CPU100=0\nINTERVAL_INFO_LOG=60\nINTERVAL_METRIC=10\nINTERVAL_PROCESS=30\n"
            "INTERVAL_INSTALLED_PACKAGE=86400\nCOLLECT_FILESYSTEM_TYPE_NFS=0\n"
            "LOG_DIRECTORY=${VOSK_HOST_HOME}/log\nLOG_FILENAME=vosk-host-agent.log\n"
            "LOG_LEVEL=debug\n");
  struct stat st;
  ASSERT_EQ(stat((data + "/host_agent_pid").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(stat((data + "/config").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0002, 0u);  // no mask variable: not writable by others
  EXPECT_EQ(vktest::read_file(data + "/host_agent_pid").substr(0, std::to_string(a.pid).size() + 1),
            std::to_string(a.pid) + std::string(1, '\0'));

  // A second instance finds the first.
  vktest::run_result second =
      vktest::run_program({agent()}, env("127.0.0.1:" + std::to_string(sim.port)));
  EXPECT_EQ(second.status, 6);
  EXPECT_NE(second.err.find("[main] vosk-host-agent is already running"), std::string::npos);
  EXPECT_TRUE(log_has("[PQH-OSM-00020080] Already exists. pid:" + std::to_string(a.pid)));

  kill(a.pid, SIGHUP);
  EXPECT_TRUE(log_has("[PQH-OSM-00040040] SIGHUP sig caught"));
  EXPECT_EQ(vktest::wait_program(a, 200), -1);  // still running
  kill(a.pid, SIGTERM);
  EXPECT_EQ(vktest::wait_program(a, 3000), 0);
  std::string text = log();
  for (const char *line :
       {"[PQH-OSM-00040050] SIGTERM sig caught.", "[process_main] vosk-host-agent process stopped.",
        "[process_main] finished.", "[MAIN] vosk-host-agent terminated normally.",
        "[vk_debug_logging] main_thr ["})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(AgentRun, HostileSettingsFromTheServerAreRefusedAndTheAgentStartsAgain) {
  // A link where a new log file name would go points at a file outside.
  std::string victim = dir.path + "/victim";
  ASSERT_TRUE(vktest::write_file(victim, ""));
  ASSERT_EQ(symlink(victim.c_str(), (dir.path + "/log/planted.log").c_str()), 0);
  hosttest::dg_sim sim;
  std::string why;
  ASSERT_TRUE(sim.start(dir.path,
                        {"--scenario", std::string(VK_SOURCE_DIR) +
                                           "/tools/dg-sim/scenarios/host_hostile_settings.json"},
                        &why))
      << why;
  vktest::child a =
      vktest::start_program({agent()}, dir.path, env("127.0.0.1:" + std::to_string(sim.port)));
  ASSERT_GT(a.pid, 0);
  ASSERT_TRUE(vktest::wait_until([&] { return sim.count("\"type\": 40000,") > 0; }, 15000))
      << log();
  std::string text = log();
  for (const char *line :
       {"option[LOG_LEVEL] value[bogus] refused: not a log level",
        "option[LOG_FILENAME] value[agent.log...] refused: line break or NUL in the value",
        "option[LOG_DIRECTORY] value[/etc] refused: directory outside the agent's home",
        "option[INTERVAL_METRIC] value[2147483648] refused: not a number of seconds",
        "option[INTERVAL_PROCESS] value[99999999999999999999] refused: not a number of seconds"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  // Only the sound values were kept, as a restart reads them back.
  EXPECT_EQ(vktest::read_file(data + "/config"),
            "CPU100=0\nINTERVAL_INFO_LOG=60\nINTERVAL_METRIC=5\nINTERVAL_PROCESS=20\n"
            "INTERVAL_INSTALLED_PACKAGE=86400\nCOLLECT_FILESYSTEM_TYPE_NFS=0\n"
            "LOG_DIRECTORY=${VOSK_HOST_HOME}/log\nLOG_FILENAME=planted.log\n"
            "LOG_LEVEL=info\n");
  // The log switch to the planted link (within 3 s) writes nothing through it.
  ASSERT_TRUE(log_has("log file " + dir.path + "/log/planted.log is a symbolic link"));
  ASSERT_EQ(unlink((data + "/host_agent_pid").c_str()), 0);
  EXPECT_EQ(vktest::wait_program(a, 10000), 0);
  EXPECT_EQ(vktest::read_file(victim), "");
  vktest::stop_program(sim.child);
  sim.child.pid = -1;

  // The saved file starts the agent again.
  ASSERT_EQ(unlink((dir.path + "/log/planted.log").c_str()), 0);
  vktest::child b = vktest::start_program({agent()}, dir.path, env("127.0.0.1:1"));
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(dir.path + "/log/planted.log").find("write pid. ") !=
               std::string::npos;
      },
      15000));
  ASSERT_EQ(unlink((data + "/host_agent_pid").c_str()), 0);
  EXPECT_EQ(vktest::wait_program(b, 10000), 0);
}

TEST_F(AgentRun, AHostWithThousandsOfAddressesConnectsAndReports) {
  // The agent and dg-sim in a network namespace whose loopback holds 4,000
  // addresses: the announcement is far over 64 KiB.
  hosttest::many_address_netns ns(dir.path, 1000, 3000);
  if (!ns.made) GTEST_SKIP() << "network namespaces refused here: " << ns.why;
  ASSERT_EQ(ns.why, "");
  std::vector<std::string> in_ns = {"/usr/sbin/ip", "netns", "exec", ns.name};
  hosttest::dg_sim sim;
  std::string why;
  ASSERT_TRUE(sim.start(dir.path, {}, &why, in_ns)) << why;
  std::vector<std::string> argv = in_ns;
  argv.push_back(agent());
  vktest::child a =
      vktest::start_program(argv, dir.path, env("127.0.0.1:" + std::to_string(sim.port)));
  ASSERT_GT(a.pid, 0);
  EXPECT_TRUE(vktest::wait_until([&] { return sim.count("\"type\": 60009,") > 0; }, 20000))
      << log();
  EXPECT_EQ(sim.count("\"type\": 10043,", "fd170000000000000000000000003000"), 1);  // fd17::3000
  EXPECT_EQ(log().find("common_req_agent_info_message_encode failed"), std::string::npos);
  ASSERT_EQ(unlink((data + "/host_agent_pid").c_str()), 0);
  EXPECT_EQ(vktest::wait_program(a, 10000), 0);
}

TEST_F(AgentRun, ACrashEndsByItsSignalAndADeletedPidFileStopsTheAgent) {
  // The pid file names a live `tail` of the agent's log: not an instance.
  vktest::write_file(log_path, "");
  vktest::child tail = vktest::start_program({"/usr/bin/tail", "-f", log_path}, dir.path);
  ASSERT_GT(tail.pid, 0);
  ASSERT_TRUE(vktest::write_file(data + "/host_agent_pid", std::to_string(tail.pid)));
  vktest::child a = vktest::start_program({agent()}, dir.path, env("127.0.0.1:1"));
  // Every thread has started (and the main thread's breadcrumb exists):
  // the crash report below names them.
  ASSERT_TRUE(log_has("[run_thread] create success. THR_PACKAGE_MANAGER")) << log();
  vktest::stop_program(tail);
  kill(a.pid, SIGSEGV);
  EXPECT_EQ(vktest::wait_program(a, 5000), 128 + SIGSEGV);
  std::string err = vktest::read_file(a.err_path);
  EXPECT_NE(err.find("[PQH-OSM-00040050] SIGSEGV sig caught.\n"), std::string::npos) << err;
  EXPECT_NE(err.find("[vk_debug_logging] main_thr ["), std::string::npos) << err;
  EXPECT_NE(log().find("[PQH-OSM-00040050] SIGSEGV sig caught.\n"), std::string::npos);

  // The crashed agent's pid is dead: the next start claims the file.
  vktest::child b = vktest::start_program({agent()}, dir.path, env("127.0.0.1:1"));
  ASSERT_TRUE(log_has("write pid. " + std::to_string(b.pid))) << log();
  ASSERT_EQ(unlink((data + "/host_agent_pid").c_str()), 0);
  EXPECT_EQ(vktest::wait_program(b, 5000), 0);
  EXPECT_NE(log().find("[process_main] vosk-host-agent process stopped."), std::string::npos);
  if (b.pid > 0 && vktest::wait_program(b, 0) == -1) vktest::stop_program(b);
}

}  // namespace
