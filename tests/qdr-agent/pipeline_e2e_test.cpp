// The built qdr-agent polling three private snmpd devices (v2c with 64- and
// 32-bit counters, v3 authPriv) and one device that never answers, with
// tools/dg-sim as the collector. One run checks the requests and results of
// the exchange, the skipped bad entries, the decoded device performance,
// interface statistics, raw counters and rates (each rate against the two
// raw samples it came from), that the dead device holds up nobody, the
// connection tests, and that losing the collector stops the functions
// without ending the process.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "snmpd_fixture.h"
#include "test_process.h"

namespace {

using record = std::map<std::string, std::string>;

struct packet {
  int type = 0;
  std::string line;
  std::vector<record> objects;  // the flat JSON objects of the line (records without nesting)
};

std::vector<packet> read_packets(const std::string &path) {
  static const std::regex type_re("\"dir\": \"recv\", \"type\": (\\d+)");
  static const std::regex object_re("\\{[^{}]*\\}");
  static const std::regex field_re("\"(\\w+)\": (\"[^\"]*\"|[-0-9.eE+]+|true|false)");
  std::vector<packet> out;
  std::string text = vktest::read_file(path);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    std::smatch m;
    if (!std::regex_search(line, m, type_re)) continue;
    packet p;
    p.type = std::stoi(m[1]);
    p.line = line;
    std::string body = line.substr(line.find("\"message\""));
    for (std::sregex_iterator it(body.begin(), body.end(), object_re), e; it != e; ++it) {
      record r;
      std::string obj = it->str();
      for (std::sregex_iterator f(obj.begin(), obj.end(), field_re); f != std::sregex_iterator();
           ++f) {
        std::string v = (*f)[2];
        if (v.size() >= 2 && v[0] == '"') v = v.substr(1, v.size() - 2);
        r[(*f)[1]] = v;
      }
      p.objects.push_back(r);
    }
    out.push_back(p);
  }
  return out;
}

uint64_t num(const record &r, const char *key) {
  auto it = r.find(key);
  return it == r.end() ? 0 : std::stoull(it->second);
}
double real(const record &r, const char *key) {
  auto it = r.find(key);
  return it == r.end() ? 0.0 : std::stod(it->second);
}

// Device "dev-a" (v2c) is also "dev-a32" (32-bit counters); "dev-b" is v3
// authPriv; "dev-dead" never answers; "dev-add" and "dev-v7" are refused.
// Pack 1 carries an OID that is not numeric, pack 2 an unknown type name,
// pack 5 an unknown request type; event pack 99 does not exist; "nobody" is
// not a device. "$..." are filled in by dg-sim's --var.
const char *const kScenario = R"({
 "after": [
  {"delay": 1, "after_handshake": true, "type": "ADD_COLLECT_EVENT", "message": {
   "request_id": "ev-unknown", "device_id": "nobody",
   "event_info": [{"type": 1, "oid_pack_id": 1, "interval": 1, "use": true}]}},
  {"delay": 3, "after_handshake": true, "type": "CONNECT_TEST_DEVICE", "message": {
   "request_id": "ct-a", "ip": {"addr": "127.0.0.1"}, "port": "$port_a",
   "snmp": {"version": "v2c", "community": "public"}}},
  {"delay": 3.5, "after_handshake": true, "type": "CONNECT_TEST_DEVICE", "message": {
   "request_id": "ct-dead", "ip": {"addr": "127.0.0.1"}, "port": "$port_dead",
   "snmp": {"version": "v2c", "community": "public"}}},
  {"delay": 3.7, "after_handshake": true, "type": "CONNECT_TEST_DEVICE", "message": {
   "request_id": "ct-short", "ip": {"addr": "127.0.0.1"}, "port": "$port_b",
   "snmp": {"version": "v3", "security": {"security_name": "$user", "security_level": "auth_priv",
    "auth_algorithm": 4, "auth_password": "short", "privacy_algorithm": 2,
    "privacy_password": "$priv"}}}},
  {"delay": 5, "after_handshake": true, "type": "DEVICE_LIST", "message": {
   "request_id": "list-2", "devices": [
   {"id": "dev-a", "ip": {"addr": "127.0.0.1"}, "port": "$port_a", "flag": "device_flag_update",
    "snmp": {"version": "v2c", "community": "public"}},
   {"id": "dev-dead", "ip": {"addr": "127.0.0.1"}, "port": "$port_dead",
    "flag": "device_flag_remove", "snmp": {"version": "v2c", "community": "public"}}]}}],
 "on_request": {
  "device_list": [{"type": "DEVICE_LIST", "message": {"request_id": "list-1", "devices": [
   {"id": "dev-a", "ip": {"addr": "127.0.0.1"}, "port": "$port_a", "flag": "device_flag_update",
    "snmp": {"version": "v2c", "community": "public"}},
   {"id": "dev-a32", "ip": {"addr": "127.0.0.1"}, "port": "$port_a", "flag": "device_flag_update",
    "snmp": {"version": "v2c", "community": "public"}},
   {"id": "dev-b", "ip": {"addr": "127.0.0.1"}, "port": "$port_b", "flag": "device_flag_update",
    "snmp": {"version": "v3", "security": {"security_name": "$user", "security_level": "auth_priv",
     "auth_algorithm": 4, "auth_password": "$auth", "privacy_algorithm": 2,
     "privacy_password": "$priv"}}},
   {"id": "dev-dead", "ip": {"addr": "127.0.0.1"}, "port": "$port_dead",
    "flag": "device_flag_update", "snmp": {"version": "v2c", "community": "public"}},
   {"id": "dev-add", "ip": {"addr": "127.0.0.1"}, "port": "$port_a", "flag": "device_flag_add",
    "snmp": {"version": "v2c", "community": "public"}},
   {"id": "dev-v7", "ip": {"addr": "127.0.0.1"}, "port": "$port_a", "flag": "device_flag_update",
    "snmp": {"version": 7}}]}}],
  "oid_pack": [{"type": "ADD_OID_PACK_LIST", "message": {"request_id": "packs-1", "packs": [
   {"id": 1, "type": "get", "oid": [
    {"value_name": "device.uptime", "oid": ".1.3.6.1.2.1.1.3.0"},
    {"value_name": "device.cpu", "oid": "not.an.oid"}]},
   {"id": 2, "type": "bulk", "oid": [
    {"value_name": "interface.name", "oid": ".1.3.6.1.2.1.31.1.1.1.1"},
    {"value_name": "interface.type", "oid": ".1.3.6.1.2.1.2.2.1.3"},
    {"value_name": "interface.bogus", "oid": ".1.3.6.1.2.1.2.2.1.4"}]},
   {"id": 3, "type": "subtree", "oid": [
    {"value_name": "interface.speed", "oid": ".1.3.6.1.2.1.2.2.1.5"},
    {"value_name": "interface.in_octets", "oid": ".1.3.6.1.2.1.31.1.1.1.6"},
    {"value_name": "interface.out_octets", "oid": ".1.3.6.1.2.1.31.1.1.1.10"},
    {"value_name": "interface.in_ucast_pkts", "oid": ".1.3.6.1.2.1.31.1.1.1.7"}]},
   {"id": 4, "type": "bulk", "oid": [
    {"value_name": "interface.speed", "oid": ".1.3.6.1.2.1.2.2.1.5"},
    {"value_name": "interface.in_octets", "oid": ".1.3.6.1.2.1.2.2.1.10"},
    {"value_name": "interface.out_octets", "oid": ".1.3.6.1.2.1.2.2.1.16"}]},
   {"id": 5, "type": 7, "oid": [
    {"value_name": "interface.speed", "oid": ".1.3.6.1.2.1.2.2.1.5"}]}]}}],
  "collect_event": [
   {"devices": ["dev-a"], "type": "ADD_COLLECT_EVENT", "message": {
    "request_id": "ev-a", "device_id": "$device_id", "event_info": [
     {"type": 1, "oid_pack_id": 1, "interval": 1, "use": true},
     {"type": 2, "oid_pack_id": 2, "interval": 2, "use": true},
     {"type": 3, "oid_pack_id": 3, "interval": 1, "use": true},
     {"type": 1, "oid_pack_id": 99, "interval": 1, "use": true},
     {"type": 1, "oid_pack_id": 4294967297, "interval": 1, "use": true}]}},
   {"devices": ["dev-a32"], "type": "ADD_COLLECT_EVENT", "message": {
    "request_id": "ev-a32", "device_id": "$device_id", "event_info": [
     {"type": 3, "oid_pack_id": 4, "interval": 1, "use": true}]}},
   {"devices": ["dev-b"], "type": "ADD_COLLECT_EVENT", "message": {
    "request_id": "ev-b", "device_id": "$device_id", "event_info": [
     {"type": 1, "oid_pack_id": 1, "interval": 1, "use": true},
     {"type": 2, "oid_pack_id": 2, "interval": 1, "use": true}]}},
   {"devices": ["dev-dead"], "type": "ADD_COLLECT_EVENT", "message": {
    "request_id": "ev-dead", "device_id": "$device_id", "event_info": [
     {"type": 1, "oid_pack_id": 1, "interval": 1, "use": true},
     {"type": 3, "oid_pack_id": 3, "interval": 1, "use": true}]}}]}
})";

// Stops the children it watches when the test ends early (a failed ASSERT),
// so that no collector or agent is left running.
struct stop_at_exit {
  std::vector<vktest::child *> children;
  ~stop_at_exit() {
    for (vktest::child *c : children) vktest::stop_program(*c);
  }
};

TEST(PollingPipeline, PollsLiveDevicesPastADeadOneAndSendsConsistentRates) {
  vktest::snmpd_instance a, b;
  vktest::snmpd_options opt;
  opt.sys_name = "device-a";
  std::string err;
  ASSERT_TRUE(a.start(opt, &err)) << err;
  opt.sys_name = "device-b";
  ASSERT_TRUE(b.start(opt, &err)) << err;
  // The dead device: a bound UDP port that never answers.
  int dead_fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(dead_fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
  socklen_t sl = sizeof(sa);
  getsockname(dead_fd, reinterpret_cast<sockaddr *>(&sa), &sl);
  int dead_port = ntohs(sa.sin_port);

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
                                   "--quiet"};
  for (const std::string &v :
       {"port_a=" + std::to_string(a.port), "port_b=" + std::to_string(b.port),
        "port_dead=" + std::to_string(dead_port), "user=" + vktest::snmpd_user_name(4, 2),
        std::string("auth=") + vktest::kSnmpdAuthPass,
        std::string("priv=") + vktest::kSnmpdPrivPass}) {
    argv.insert(argv.end(), {"--var", v});
  }
  vktest::child sim = vktest::start_program(argv, home.path);
  stop_at_exit guard{{&sim}};
  ASSERT_TRUE(vktest::write_file(
      home.path + "/conf/qdr.conf",
      "receiver_ip=127.0.0.1\nreceiver_port=" + std::to_string(port) +
          "\napp_name=pipeline\nsyslog_port=" + std::to_string(vktest::free_port(SOCK_DGRAM)) +
          "\nsnmptrap_port=" + std::to_string(vktest::free_port(SOCK_DGRAM)) + "\n"));
  std::string log = home.path + "/log/qdr-agent.log";
  ASSERT_TRUE(
      vktest::write_file(home.path + "/conf/log.conf",
                         "[qdr-agent]\ndirectory=" + home.path +
                             "/log\nfilename=qdr-agent.log\noutput_type=file\nlevel=<info\n"));
  ASSERT_TRUE(vktest::wait_until(
      [&] { return vktest::read_file(sim.err_path).find("listening") != std::string::npos; },
      10000));
  // Under ThreadSanitizer: the SNMP library's engine-time table is left
  // unlocked on purpose (see snmp_concurrency_test.cpp); everything else
  // counts.
  ASSERT_TRUE(vktest::write_file(home.path + "/tsan.supp",
                                 "race:search_enginetime_list\nrace:set_enginetime\n"
                                 "race:get_enginetime\n"));
  vktest::child agent = vktest::start_program(
      {vktest::built_program("qdr-agent/qdr-agent")}, home.path,
      {"VOSK_QDR_HOME=" + home.path, "SNMP_PERSISTENT_DIR=" + home.path + "/snmp",
       "SNMPCONFPATH=" + home.path + "/snmpconf", "MIBS=", "MIBDIRS=" + home.path + "/mibs",
       "TSAN_OPTIONS=suppressions=" + home.path + "/tsan.supp"});
  guard.children.push_back(&agent);
  ASSERT_GT(agent.pid, 0);

  // Poll until dev-a has four rate packets (the first needs two samples).
  auto count = [&](int type, const std::string &dev) {
    int n = 0;
    for (const packet &p : read_packets(out)) {
      if (p.type == type && p.line.find("\"device_id\": \"" + dev + "\"") != std::string::npos) n++;
    }
    return n;
  };
  EXPECT_TRUE(vktest::wait_until(
      [&] { return count(54102, "dev-a") >= 4 && count(54102, "dev-a32") >= 3; }, 30000, 200))
      << vktest::read_file(log);
  // The list sent again (dev-a unchanged, dev-dead removed) is answered;
  // dev-a goes on being polled without asking for its events again.
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(out).find("\"request_id\": \"list-2\"") != std::string::npos;
      },
      30000, 200));
  const int rates_before = count(54102, "dev-a");
  EXPECT_TRUE(
      vktest::wait_until([&] { return count(54102, "dev-a") >= rates_before + 2; }, 30000, 200));
  std::vector<packet> pk = read_packets(out);

  std::map<std::string, int> results;  // request id -> success
  std::map<std::string, int> asked;
  int commands = 0;
  for (const packet &p : pk) {
    const record &r = p.objects.empty() ? record() : p.objects.back();
    if (p.type == 54000 && r.count("request_id")) results[r.at("request_id")] = r.count("success");
    if (p.type == 54005 && r.count("device_id")) asked[r.at("device_id")]++;
    if (p.type == 54001) commands++;
  }
  EXPECT_GE(commands, 2);  // "device_list" and "oid_pack"
  EXPECT_EQ(results["list-1"], 1);
  EXPECT_EQ(results["list-2"], 1);
  EXPECT_EQ(results["packs-1"], 1);
  EXPECT_EQ(results["ev-a"], 1);
  EXPECT_EQ(results["ev-b"], 1);
  EXPECT_EQ(results.count("ev-unknown"), 1u);
  EXPECT_EQ(results["ev-unknown"], 0);
  for (const char *d : {"dev-a", "dev-a32", "dev-b", "dev-dead"}) EXPECT_EQ(asked[d], 1) << d;
  EXPECT_EQ(asked.count("dev-add") + asked.count("dev-v7"), 0u);

  // Device performance and statistics from both live devices (v2c and v3),
  // nothing from the dead one.
  for (const char *d : {"dev-a", "dev-b"}) {
    EXPECT_GE(count(54101, d), 3) << d;
    bool lo = false;
    for (const packet &p : pk) {
      if (p.type != 54103 || p.line.find("\"" + std::string(d) + "\"") == std::string::npos)
        continue;
      for (const record &r : p.objects)
        lo |= r.count("name") && r.at("name") == "lo" && num(r, "type") == 24;
    }
    EXPECT_TRUE(lo) << d;
  }
  for (const packet &p : pk) {
    if (p.type == 54101 && p.line.find("\"dev-a\"") != std::string::npos) {
      EXPECT_GT(num(p.objects.back(), "uptime"), 0u);  // the pack works without its bad OID
    }
  }
  EXPECT_EQ(count(54101, "dev-dead") + count(54107, "dev-dead"), 0);
  // A figure, not a rule: how far dev-a's 1 s device performance slipped
  // beside the dead device.
  uint64_t last = 0, slip = 0;
  for (const packet &p : pk) {
    if (p.type != 54101 || p.line.find("\"dev-a\"") == std::string::npos) continue;
    uint64_t t = num(p.objects.back(), "collect_time");
    if (last != 0 && t - last > 1000000000u) slip = std::max(slip, t - last - 1000000000u);
    last = t;
  }
  printf("schedule slip of dev-a beside a dead device: at most %.3f s\n", slip / 1e9);

  // Every rate record against the raw samples it came from: the sample of
  // its collect time and the device's previous sample. That is the newest
  // earlier one (samples of overlapping polls may arrive out of order),
  // or, when polls overlapped, an older one: a poll that finds the previous
  // sample held by another sends raw counters only, and the holder's rate
  // spans both intervals. The octet counts follow the agent's rules: a
  // Counter64 that fell was reset; a Counter32 that fell wrapped, unless
  // the wrap is more than the interface can carry in the interval (ifSpeed,
  // 25 % slack) while the current value is not, which is a reset; a reset
  // of either octet counter resets the row (delta = current value). The
  // loopback's nominal 10 Mb/s is far below what it carries on a busy
  // machine, so its 32-bit counter wraps within seconds there.
  std::map<std::string, uint64_t> speed;  // interface index -> ifSpeed
  vktest::run_result walk =
      vktest::run_program({"/usr/bin/snmpwalk", "-On", "-v2c", "-c", "public", "-t", "3", "-r", "3",
                           a.address, ".1.3.6.1.2.1.2.2.1.5"},
                          a.tool_env());
  ASSERT_EQ(walk.status, 0) << walk.err;
  static const std::regex speed_re(
      "\\.1\\.3\\.6\\.1\\.2\\.1\\.2\\.2\\.1\\.5\\.(\\d+) = Gauge32: (\\d+)");
  for (std::sregex_iterator it(walk.out.begin(), walk.out.end(), speed_re), e; it != e; ++it) {
    speed[(*it)[1]] = std::stoull((*it)[2]);
  }
  ASSERT_FALSE(speed.empty()) << walk.out;
  const char *const octets[2] = {"in_octet_count", "out_octet_count"};
  struct octet_deltas {
    uint64_t d[2];
    double in_bps;
    int fell;  // octet counters that fell
  };
  int wraps = 0;
  // The agent's octet deltas from `prev` to `cur` of the interface of `r`.
  auto deltas_of = [&](const record &prev, const record &cur, const record &r) {
    double secs = (num(cur, "collect_time") - num(prev, "collect_time")) / 1e9;
    uint64_t bw = speed[r.at("oid_index")];
    uint64_t bound = static_cast<uint64_t>(bw / 8.0 * secs * 1.25) + 1;
    octet_deltas w{};
    bool reset = false;
    for (int i = 0; i < 2; i++) {
      uint64_t was = num(prev, octets[i]), now = num(cur, octets[i]);
      w.d[i] = now - was;
      if (now >= was) continue;
      w.fell++;
      if (r.at("device_id") != "dev-a32") {
        reset = true;
      } else {
        w.d[i] = (1ull << 32) - was + now;
        if (bw != 0 && w.d[i] > bound && now <= bound) reset = true;
      }
    }
    for (int i = 0; i < 2; i++) {
      if (reset) w.d[i] = num(cur, octets[i]);
    }
    w.in_bps = w.d[0] * 8.0 / secs;
    return w;
  };
  auto matches = [&](const octet_deltas &w, const record &r) {
    return num(r, octets[0]) == w.d[0] && num(r, octets[1]) == w.d[1] &&
           std::fabs(real(r, "in_bps") - w.in_bps) <= 1e-6 * (w.in_bps + 1);
  };
  std::set<std::string> rated;  // device/index@time of the samples with a rate of their own
  for (const packet &p : pk) {
    for (const record &r : p.objects) {
      if (p.type == 54102 && r.count("oid_index")) {
        rated.insert(r.at("device_id") + "/" + r.at("oid_index") + "@" +
                     std::to_string(num(r, "collect_time")));
      }
    }
  }
  std::map<std::string, std::vector<record>> raw;  // device/index -> raw samples in order
  int checked = 0, spanning = 0, late = 0;
  for (const packet &p : pk) {
    for (const record &r : p.objects) {
      if (!r.count("oid_index")) continue;
      std::string key = r.at("device_id") + "/" + r.at("oid_index");
      std::vector<record> &samples = raw[key];
      if (p.type == 54107) {
        if (!samples.empty() && num(samples.back(), "collect_time") > num(r, "collect_time")) {
          late++;
        }
        samples.push_back(r);
      }
      if (p.type != 54102) continue;
      const uint64_t t = num(r, "collect_time");
      const record *cur = nullptr;
      std::vector<const record *> earlier;  // newest first
      for (const record &s : samples) {
        if (num(s, "collect_time") == t) cur = &s;
        if (num(s, "collect_time") < t) earlier.push_back(&s);
      }
      std::sort(earlier.begin(), earlier.end(), [](const record *x, const record *y) {
        return num(*x, "collect_time") > num(*y, "collect_time");
      });
      ASSERT_NE(cur, nullptr) << key << " at " << t;
      ASSERT_FALSE(earlier.empty()) << key << " at " << t;
      // Older samples are candidates only past newer ones that gave no rate.
      bool found = false;
      for (size_t i = 0; i < earlier.size() && !found; i++) {
        const record &prev = *earlier[i];
        octet_deltas w = deltas_of(prev, *cur, r);
        if (t - num(prev, "collect_time") >= 1000000000u && matches(w, r)) {
          found = true;
          spanning += i > 0;
          wraps += w.fell;
        }
        if (rated.count(key + "@" + std::to_string(num(prev, "collect_time")))) break;
      }
      if (!found) {
        const record &prev = *earlier.front();
        octet_deltas w = deltas_of(prev, *cur, r);
        wraps += w.fell;
        for (int i = 0; i < 2; i++) {
          EXPECT_EQ(num(r, octets[i]), w.d[i])
              << key << " " << octets[i] << ": prev " << num(prev, octets[i]) << " at "
              << num(prev, "collect_time") << ", cur " << num(*cur, octets[i]) << " at " << t;
        }
        EXPECT_NEAR(real(r, "in_bps"), w.in_bps, 1e-6 * (w.in_bps + 1)) << key << " at " << t;
      }
      checked++;
    }
  }
  printf(
      "rate records checked: %d (%d against an older sample), counters that fell: %d, raw samples "
      "that arrived after a later one: %d\n",
      checked, spanning, wraps, late);
  EXPECT_GE(checked, 8);

  // Connection tests: the live device answers with its name, the dead one fails.
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(out).find("\"request_id\": \"ct-dead\"") != std::string::npos;
      },
      15000, 200));
  std::string all = vktest::read_file(out);
  std::smatch m;
  EXPECT_TRUE(std::regex_search(
      all, m,
      std::regex("\"request_id\": \"ct-a\"[^\\n]*\"name\": \"device-a\"[^\\n]*\"success\": true")));
  EXPECT_TRUE(std::regex_search(all, m, std::regex("\"request_id\": \"ct-dead\"")));
  EXPECT_FALSE(
      std::regex_search(all, m, std::regex("\"request_id\": \"ct-dead\"[^\\n]*\"success\": true")));
  // Settings the library would refuse are answered at once, with the reason.
  EXPECT_TRUE(std::regex_search(
      all, m,
      std::regex("\"request_id\": \"ct-short\"[^\\n]*\"fail_message\": \"snmp auth pass phrase is "
                 "shorter than 8 characters\"")));
  // The skipped entry is named in the list's answer.
  EXPECT_TRUE(std::regex_search(
      all, m,
      std::regex("\"request_id\": \"list-1\"[^\\n]*\"fail_message\": \"skipped 1 device: dev-v7: "
                 "snmp version is wrong\"")));

  std::string text = vktest::read_file(log);
  for (const char *line :
       {"device flag is not support.(0)[add][id:dev-add]", "snmp version is wrong.",
        "oid is not numeric, skipped.", "oid type name is unknown", "oid pack is skipped",
        "oid pack is not found", "oid pack is not known (yet).[dev:dev-a,pack:99]",
        "oid pack id is beyond 32 bits, event refused.[dev:dev-a,type:1,pack:4294967297]",
        "device is removed.[id:dev-dead]"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }

  // The dead device is backed off: its failure logged once, and asked a few
  // times in all (each poll due every second would otherwise be queued
  // again and again, every one with all its retries).
  size_t failure_lines = 0;
  for (size_t at = 0; (at = text.find("device does not answer", at)) != std::string::npos; at++) {
    if (text.compare(text.find('[', at + 1), 14, "[dev:dev-dead,") == 0) failure_lines++;
  }
  EXPECT_EQ(failure_lines, 1u) << text;
  int datagrams = 0;
  char scratch[2048];
  while (datagrams < 100000 && recv(dead_fd, scratch, sizeof(scratch), MSG_DONTWAIT) >= 0) {
    datagrams++;
  }
  EXPECT_LE(datagrams, 30);
  printf("datagrams to the dead device: %d\n", datagrams);

  // Losing the collector stops the functions; the agent itself goes on, and
  // the next collector gets the whole job again.
  vktest::stop_program(sim);
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(log).find("agent function deactivate.") != std::string::npos;
      },
      20000, 100))
      << vktest::read_file(log);
  EXPECT_EQ(vktest::wait_program(agent, 500), -1);
  out += ".2";
  argv[6] = out;
  sim = vktest::start_program(argv, home.path);
  EXPECT_TRUE(vktest::wait_until([&] { return count(54102, "dev-a") >= 1; }, 30000, 200))
      << vktest::read_file(log);
  vktest::stop_program(sim);
  vktest::stop_program(agent);
  std::string agent_err = vktest::read_file(agent.err_path);
  EXPECT_EQ(agent_err.find("Sanitizer"), std::string::npos) << agent_err;
  EXPECT_EQ(agent_err.find("runtime error"), std::string::npos) << agent_err;
  close(dead_fd);
}

}  // namespace
