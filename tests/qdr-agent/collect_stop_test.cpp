// The built qdr-agent polling a device that answers every GETBULK slowly (a
// pack of eight walks over a 200-row table, each walk three requests: far
// longer than the 10 s stop limit), with tools/dg-sim as the collector.
// The collector goes away in the middle of the walk: the agent stops its
// functions (interrupting the walk), stays up, reconnects to the next
// collector and polls the device again.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "snmp_responder.h"
#include "test_process.h"

namespace {

const char *const kScenario = R"({
 "on_request": {
  "device_list": [{"type": "DEVICE_LIST", "message": {"request_id": "list-1", "devices": [
   {"id": "dev-slow", "ip": {"addr": "127.0.0.1"}, "port": "$port_slow",
    "flag": "device_flag_update", "snmp": {"version": "v2c", "community": "public"}}]}}],
  "oid_pack": [{"type": "ADD_OID_PACK_LIST", "message": {"request_id": "packs-1", "packs": [
   {"id": 1, "type": "bulk", "oid": [
    {"value_name": "device.cpu", "oid": ".1.3.6.1.4.1.99999.1"},
    {"value_name": "device.memory", "oid": ".1.3.6.1.4.1.99999.1"},
    {"value_name": "device.temperature", "oid": ".1.3.6.1.4.1.99999.1"},
    {"value_name": "device.uptime", "oid": ".1.3.6.1.4.1.99999.1"},
    {"value_name": "device.cpu", "oid": ".1.3.6.1.4.1.99999.1"},
    {"value_name": "device.memory", "oid": ".1.3.6.1.4.1.99999.1"},
    {"value_name": "device.temperature", "oid": ".1.3.6.1.4.1.99999.1"},
    {"value_name": "device.uptime", "oid": ".1.3.6.1.4.1.99999.1"}]}]}}],
  "collect_event": [{"type": "ADD_COLLECT_EVENT", "message": {
   "request_id": "ev-slow", "device_id": "$device_id", "event_info": [
    {"type": 1, "oid_pack_id": 1, "interval": 2, "use": true}]}}]}
})";

int count_device_perf(const std::string &path) {
  int n = 0;
  for (const std::string &line : vktest::read_lines(path, "\"type\": 54101")) {
    if (line.find("\"dev-slow\"") != std::string::npos) n++;
  }
  return n;
}

TEST(CollectStop, CollectorLostMidWalkStopsTheWalkAndTheAgentGoesOn) {
  vktest::snmp_responder device;
  // Within the library's default time-out of 1 s a try, but 24 requests
  // make a walk of about 14 s.
  device.walk_delay_ms.store(600);
  ASSERT_TRUE(device.start(vktest::responder_mode::walk_ok, 200));

  vktest::temp_dir home;
  for (const char *d : {"/conf", "/data", "/log", "/mibs", "/snmp", "/snmpconf"}) {
    ASSERT_EQ(system(("mkdir -p " + home.path + d).c_str()), 0);
  }
  ASSERT_TRUE(vktest::write_file(home.path + "/scenario.json", kScenario));
  int port = vktest::free_port(SOCK_STREAM);
  std::string out = home.path + "/packets.jsonl";
  std::vector<std::string> argv = {vktest::built_program("tools/dg-sim/dg-sim"),
                                   "--port",
                                   std::to_string(port),
                                   "--scenario",
                                   home.path + "/scenario.json",
                                   "--out",
                                   out,
                                   "--quiet",
                                   "--var",
                                   "port_slow=" + std::to_string(device.port)};
  vktest::child sim = vktest::start_program(argv, home.path);
  ASSERT_GT(sim.pid, 0);
  ASSERT_TRUE(vktest::wait_until(
      [&] { return vktest::read_file(sim.err_path).find("listening") != std::string::npos; },
      10000));
  ASSERT_TRUE(vktest::write_file(
      home.path + "/conf/qdr.conf",
      "receiver_ip=127.0.0.1\nreceiver_port=" + std::to_string(port) +
          "\napp_name=stop\nsyslog_port=" + std::to_string(vktest::free_port(SOCK_DGRAM)) +
          "\nsnmptrap_port=" + std::to_string(vktest::free_port(SOCK_DGRAM)) + "\n"));
  std::string log = home.path + "/log/qdr-agent.log";
  ASSERT_TRUE(
      vktest::write_file(home.path + "/conf/log.conf",
                         "[qdr-agent]\ndirectory=" + home.path +
                             "/log\nfilename=qdr-agent.log\noutput_type=file\nlevel=<info\n"));
  vktest::child agent = vktest::start_program(
      {vktest::built_program("qdr-agent/qdr-agent")}, home.path,
      {"VOSK_QDR_HOME=" + home.path, "SNMP_PERSISTENT_DIR=" + home.path + "/snmp",
       "SNMPCONFPATH=" + home.path + "/snmpconf", "MIBS=", "MIBDIRS=" + home.path + "/mibs"});
  ASSERT_GT(agent.pid, 0);

  // The walk is under way: the collector goes.
  ASSERT_TRUE(vktest::wait_until([&] { return device.requests.load() >= 3; }, 60000, 50))
      << vktest::read_file(log);
  vktest::stop_program(sim);
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(log).find("agent function deactivate.") != std::string::npos;
      },
      30000, 100))
      << vktest::read_file(log);
  EXPECT_EQ(count_device_perf(out), 0);  // the walk did not finish
  EXPECT_EQ(vktest::wait_program(agent, 500), -1) << "the agent ended";

  // The next collector gets the device polled again, now quickly.
  device.walk_delay_ms.store(0);
  out += ".2";
  argv[6] = out;
  sim = vktest::start_program(argv, home.path);
  ASSERT_GT(sim.pid, 0);
  EXPECT_TRUE(vktest::wait_until([&] { return count_device_perf(out) >= 1; }, 60000, 200))
      << vktest::read_file(log);
  EXPECT_EQ(vktest::wait_program(agent, 0), -1) << "the agent ended";
  std::string text = vktest::read_file(log);
  EXPECT_EQ(text.find("collect_thread_stop() has failed"), std::string::npos) << text;
  vktest::stop_program(sim);
  vktest::stop_program(agent);
  device.stop();
}

}  // namespace
