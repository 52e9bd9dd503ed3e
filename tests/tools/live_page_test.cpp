// dg-sim's live page and readable lines with both real agents: qdr-agent
// polls a private snmpd and receives a trap and a syslog line, and
// vosk-host-agent reports this host, both to one dg-sim with --web. The
// readable lines carry units and addresses as text; then headless Chromium
// (tests/tools/live_page_check.py) checks that the page shows each rate
// within one polling interval, the trap and the syslog line within a second,
// the latency and the host's CPU, memory, disks and processes, and that its
// console holds no errors.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "snmpd_fixture.h"
#include "test_process.h"

namespace {

// One device polled every 2 s; a ping to the host agent only (entries
// marked "agent" go to that kind of agent alone).
const char *const kScenario = R"({
 "after_handshake": [{"agent": "host", "type": "REQ_PING"}],
 "on_request": {
  "device_list": [{"type": "DEVICE_LIST", "message": {"request_id": "web-list", "devices": [
   {"id": "dev-web", "ip": {"version": 4, "addr": "127.0.0.1"}, "port": "$snmp_port",
    "snmp": {"version": "v2c", "community": "public"}, "collect_syslog": true,
    "collect_snmp_trap": true, "flag": "device_flag_update"}]}}],
  "oid_pack": [{"type": "ADD_OID_PACK_LIST", "message": {"request_id": "web-packs", "packs": [
   {"id": 1, "type": "get", "oid": [
    {"value_name": "device.cpu", "oid": ".1.3.6.1.4.1.2021.11.9.0"},
    {"value_name": "device.memory", "oid": ".1.3.6.1.4.1.2021.4.6.0"},
    {"value_name": "device.uptime", "oid": ".1.3.6.1.2.1.1.3.0"}]},
   {"id": 2, "type": "bulk", "oid": [
    {"value_name": "interface.speed", "oid": ".1.3.6.1.2.1.2.2.1.5"},
    {"value_name": "interface.name", "oid": ".1.3.6.1.2.1.31.1.1.1.1"},
    {"value_name": "interface.oper_status", "oid": ".1.3.6.1.2.1.2.2.1.8"}]},
   {"id": 3, "type": "bulk", "oid": [
    {"value_name": "interface.speed", "oid": ".1.3.6.1.2.1.2.2.1.5"},
    {"value_name": "interface.in_octets", "oid": ".1.3.6.1.2.1.31.1.1.1.6"},
    {"value_name": "interface.out_octets", "oid": ".1.3.6.1.2.1.31.1.1.1.10"}]}]}}],
  "collect_event": [{"type": "ADD_COLLECT_EVENT", "message": {
   "request_id": "web-events", "device_id": "$device_id", "event_info": [
    {"type": 1, "oid_pack_id": 1, "interval": 2, "use": true},
    {"type": 2, "oid_pack_id": 2, "interval": 2, "use": true},
    {"type": 3, "oid_pack_id": 3, "interval": 2, "use": true}]}}]}
})";

int port_in(const std::string &path) {
  return static_cast<int>(strtol(vktest::read_file(path).c_str(), nullptr, 10));
}

struct agent_guard {
  vktest::child c;
  std::string pid_file;  // the agent ends on its own once this goes
  ~agent_guard() {
    if (c.pid <= 0) return;
    if (!pid_file.empty()) unlink(pid_file.c_str());
    if (vktest::wait_program(c, 5000) < 0) vktest::stop_program(c);
  }
};

TEST(LivePage, ShowsBothAgentsAsTheirPacketsArrive) {
  vktest::snmpd_instance snmpd;
  std::string err;
  ASSERT_TRUE(snmpd.start(vktest::snmpd_options(), &err)) << err;
  vktest::temp_dir dir;
  const std::string &d = dir.path;
  ASSERT_EQ(0,
            system(("mkdir -p " + d + "/q/conf " + d + "/q/data " + d + "/q/log " + d + "/q/mibs " +
                    d + "/q/snmp " + d + "/h/host/data " + d + "/h/log " + d + "/browser")
                       .c_str()));
  ASSERT_TRUE(vktest::write_file(d + "/scenario.json", kScenario));
  vktest::child sim = vktest::start_program(
      {vktest::built_program("tools/dg-sim/dg-sim"), "--port", "0", "--port-file", d + "/port",
       "--web", "0", "--web-port-file", d + "/web-port", "--scenario", d + "/scenario.json",
       "--var", "snmp_port=" + std::to_string(snmpd.port), "--out", d + "/out.jsonl", "--show-sent",
       "--readable", "--quiet"},
      d);
  ASSERT_GT(sim.pid, 0);
  struct sim_guard {
    vktest::child &c;
    ~sim_guard() { vktest::stop_program(c); }
  } stop_sim{sim};
  ASSERT_TRUE(vktest::wait_until([&] { return vktest::file_exists(d + "/port"); }, 15000))
      << vktest::read_file(sim.err_path);
  int port = port_in(d + "/port");
  int web = port_in(d + "/web-port");
  ASSERT_GT(web, 0);
  EXPECT_NE(vktest::read_file(sim.err_path)
                .find("live page on http://127.0.0.1:" + std::to_string(web) + "/"),
            std::string::npos);

  int trap_port = vktest::free_port(SOCK_DGRAM);
  int syslog_port = vktest::free_port(SOCK_DGRAM);
  ASSERT_TRUE(vktest::write_file(d + "/q/conf/qdr.conf",
                                 "receiver_ip=127.0.0.1\nreceiver_port=" + std::to_string(port) +
                                     "\napp_name=page\nsyslog_port=" + std::to_string(syslog_port) +
                                     "\nsnmptrap_port=" + std::to_string(trap_port) + "\n"));
  ASSERT_TRUE(vktest::write_file(d + "/q/conf/log.conf",
                                 "[qdr-agent]\ndirectory=" + d +
                                     "/q/log\nfilename=qdr-agent.log\noutput_type=file\n"
                                     "level=<info\n"));
  agent_guard qdr{
      vktest::start_program({vktest::built_program("qdr-agent/qdr-agent")}, d,
                            {"VOSK_QDR_HOME=" + d + "/q", "SNMP_PERSISTENT_DIR=" + d + "/q/snmp",
                             "SNMPCONFPATH=" + d + "/q/snmp", "MIBS=", "MIBDIRS=" + d + "/q/mibs"}),
      d + "/q/data/qdr-agent.pid"};
  ASSERT_GT(qdr.c.pid, 0);
  // The host agent reports every 2 s (metrics) and 3 s (processes).
  ASSERT_TRUE(
      vktest::write_file(d + "/h/host/data/config", "INTERVAL_METRIC=2\nINTERVAL_PROCESS=3\n"));
  agent_guard host{
      vktest::start_program({vktest::built_program("vosk-host-agent/vosk-host-agent")}, d + "/h",
                            {"VOSK_HOME=" + d + "/h", "VOSK_HOST_HOME=" + d + "/h",
                             "RECEIVER_ADDR=127.0.0.1:" + std::to_string(port)}),
      d + "/h/host/data/host_agent_pid"};
  ASSERT_GT(host.c.pid, 0);

  // Readable lines with units, from both agents.
  std::string out;
  auto lines_have = [&](const std::vector<const char *> &patterns) {
    out = vktest::read_file(sim.out_path);
    for (const char *p : patterns) {
      if (!std::regex_search(out, std::regex(p))) return false;
    }
    return true;
  };
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return lines_have(
            {"DEVICE_PERF \\S+ dev-web cpu=\\d+% memory=\\d+ kB temperature=n/a "
             "uptime=\\d+d\\d\\dh\\d\\dm\\d\\ds",
             "IF_RATE +\\S+ dev-web if#\\d+ in=[0-9.]+ (k|M|G|)bit/s",
             "IF_STAT +\\S+ dev-web if#\\d+ lo +type=n/a mtu=n/a speed=[0-9.]+ [kMG]bit/s",
             "HOST_STAT +\\S+ \\S+ cpu user=[0-9.]+% system=[0-9.]+% .* memory "
             "total=[0-9.]+ [KMGT]iB available=[0-9.]+ [KMGT]iB",
             "HOST_DISK +\\S+ \\S+ \\S+ +util=[0-9.]+% read=[0-9.]+ (B|[KMGT]iB)/s",
             "HOST_PROC +\\S+ \\S+ \\d+ processes; the \\d+ with the most CPU:\n"
             " +pid \\d+ +\\S+ +cpu=[0-9.]+% rss=[0-9.]+ (B|[KMGT]iB) user=",
             "HOST_INFO +\\S+ \\S+ .* up \\d+d\\d\\dh\\d\\dm\\d\\ds"});
      },
      60000, 200))
      << out;
  // No JSON cut short, no float with a dozen digits.
  EXPECT_FALSE(std::regex_search(out, std::regex("\\.\\d{5,}"))) << out;
  // The device list shows the device's address as text.
  std::string json = vktest::read_file(d + "/out.jsonl");
  EXPECT_NE(json.find("\"ip\": {\"version\": 4, \"addr\": \"127.0.0.1\"}"), std::string::npos);
  EXPECT_EQ(json.find("3132372e302e302e31"), std::string::npos);
  // The ping went to the host agent only.
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(json, m,
                        std::regex("\"agent\": \"([^\"]+)\", \"dir\": \"recv\", \"type\": 10043, "
                                   "[^\\n]*\"body_version\": 19121701")));
  std::string host_name = m[1];
  std::vector<std::string> pings = vktest::read_lines(d + "/out.jsonl", "\"type\": 50000,");
  ASSERT_EQ(pings.size(), 1u) << json.substr(0, 3000);
  EXPECT_NE(pings[0].find("\"agent\": \"" + host_name + "\", \"dir\": \"sent\""),
            std::string::npos);

  // The trap and syslog receivers start a few seconds after the collector
  // activated the agent; what is sent before is lost.
  std::string log = d + "/q/log/qdr-agent.log";
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_lines(log, "[snmp_trap] udp server call.").size() == 1 &&
               vktest::read_lines(log, "[syslog] udp server call.").size() == 1;
      },
      30000, 100))
      << vktest::read_file(log);

  // The page in a real browser.
  std::vector<std::string> check = {"/usr/bin/python3",
                                    std::string(VK_SOURCE_DIR) + "/tests/tools/live_page_check.py",
                                    "--url",
                                    "http://127.0.0.1:" + std::to_string(web) + "/",
                                    "--out",
                                    d + "/out.jsonl",
                                    "--device",
                                    "dev-web",
                                    "--interval",
                                    "2",
                                    "--trap-port",
                                    std::to_string(trap_port),
                                    "--syslog-port",
                                    std::to_string(syslog_port),
                                    "--profile",
                                    d + "/browser",
                                    "--timeout",
                                    "60"};
  if (vktest::raw_icmp_allowed()) check.push_back("--latency");
  vktest::run_result r = vktest::run_program(check, {}, "", 240000);
  if (r.status == 77) GTEST_SKIP() << r.out;
  EXPECT_EQ(r.status, 0) << r.out << r.err << vktest::read_file(sim.err_path);
  EXPECT_NE(r.out.find("PASSED"), std::string::npos) << r.out;
  printf("%s", r.out.c_str());
}

}  // namespace
