// Device discovery against a private snmpd and a misbehaving responder, the
// address parser of the one-shot request, and --cmd-snmp end to end through
// the built qdr-agent program.
#include "snmp_util.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "snmp_responder.h"
#include "snmp_test_env.h"
#include "snmpd_fixture.h"
#include "vk_util.h"

namespace {

// The agent's output settings: bare values, numeric OIDs and time ticks.
const auto *const g_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(/*agent_output=*/true));

// Short: for devices that never answer, so a failure comes quickly.
constexpr long kTimeoutUs = 100000;
constexpr int kRetries = 1;
// For agents that do answer: generous, so that a busy machine does not
// turn a slow answer into a failure.
constexpr long kLiveTimeoutUs = 3000000;
constexpr int kLiveRetries = 3;

const std::string kLongContact = "ops-team@" + std::string(150, 'c') + ".example";

class SnmpUtil : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new vktest::snmpd_instance();
    vktest::snmpd_options o;
    o.sys_descr = "\"Core switch, rack 4\"";
    o.sys_contact = kLongContact;
    o.sys_name = "core-sw-4";
    std::string error;
    if (!agent_->start(o, &error)) {
      start_error_ = error;
      delete agent_;
      agent_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(agent_, nullptr) << start_error_; }

  static vktest::snmpd_instance *agent_;
  static std::string start_error_;
};

vktest::snmpd_instance *SnmpUtil::agent_ = nullptr;
std::string SnmpUtil::start_error_;

TEST(SnmpText, DeviceTextGoesAsGivenInValidUtf8CutAtACharacterBoundary) {
  struct {
    const char *what;
    std::string bytes;
    size_t size;
    const char *want;
  } cases[] = {
      {"quotes and backslashes unescaped", "\"core-1\" a\\b", 64, "\"core-1\" a\\b"},
      {"spaces kept", " eth 0 ", 64, " eth 0 "},
      {"UTF-8 as it is", "B\xC3\xBCro \xE2\x82\xAC \xF0\x9F\x98\x80", 64,
       "B\xC3\xBCro \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"Latin-1 byte becomes its character", "caf\xE9", 64, "caf\xC3\xA9"},
      {"overlong and surrogate forms are not UTF-8", "\xC0\xAF\xED\xA0\x80", 64,
       "\xC3\x80\xC2\xAF\xC3\xAD\xC2\xA0\xC2\x80"},
      {"cut before a character that does not fit", "ab\xE2\x82\xAC", 5, "ab"},
      {"cut after a character that fits", "ab\xE2\x82\xAC", 6, "ab\xE2\x82\xAC"},
      {"a long text is cut, not emptied", std::string(600, 'x'), 512, nullptr},
      {"a NUL ends the text", std::string("ab\0cd", 5), 64, "ab"},
      {"empty", "", 64, ""},
  };
  for (const auto &c : cases) {
    char out[600];
    memset(out, '#', sizeof(out));
    size_t n = sm_octets_to_text(reinterpret_cast<const uint8_t *>(c.bytes.data()), c.bytes.size(),
                                 out, c.size);
    std::string want = c.want != nullptr ? c.want : std::string(c.size - 1, 'x');
    EXPECT_EQ(std::string(out), want) << c.what;
    EXPECT_EQ(n, want.size()) << c.what;
  }
  // A printable address is hexadecimal all the same.
  const uint8_t mac[] = {'A', 'B', 0x00, 0xFF};
  char wide[64];
  EXPECT_EQ(sm_octets_to_hex(mac, 4, wide, sizeof(wide)), 11u);
  EXPECT_STREQ(wide, "41 42 00 FF");
  char hex[9];
  EXPECT_EQ(sm_octets_to_hex(mac, 4, hex, sizeof(hex)), 8u);
  EXPECT_STREQ(hex, "41 42 00");  // whole bytes only
  EXPECT_EQ(sm_octets_to_hex(nullptr, 0, hex, sizeof(hex)), 0u);
  EXPECT_STREQ(hex, "");
}

TEST(SnmpAddress, HostAndPortAreSplitAtTheFirstColon) {
  char host[60];
  uint16_t port = 0;
  ASSERT_TRUE(sm_parse_address("10.1.2.3:1161", host, sizeof(host), &port));
  EXPECT_STREQ(host, "10.1.2.3");
  EXPECT_EQ(port, 1161);
  ASSERT_TRUE(sm_parse_address("10.1.2.3", host, sizeof(host), &port));
  EXPECT_STREQ(host, "10.1.2.3");
  EXPECT_EQ(port, 161);  // no port: the SNMP port
  ASSERT_TRUE(sm_parse_address("router.example:0", host, sizeof(host), &port));
  EXPECT_EQ(port, 0);
  ASSERT_TRUE(sm_parse_address("h:65535", host, sizeof(host), &port));
  EXPECT_EQ(port, 65535);
  for (const char *bad : {"h:65536", "h:", "h:12x", "h:-1", ":161", "", "h: 161"}) {
    EXPECT_FALSE(sm_parse_address(bad, host, sizeof(host), &port)) << bad;
  }
  EXPECT_FALSE(sm_parse_address(std::string(60, 'h').c_str(), host, sizeof(host), &port));
  EXPECT_TRUE(sm_parse_address(std::string(59, 'h').c_str(), host, sizeof(host), &port));
  EXPECT_FALSE(sm_parse_address(nullptr, host, sizeof(host), &port));
}

TEST_F(SnmpUtil, DiscoveryReadsTheSystemGroup) {
  snmp_info info{};
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(agent_->port),
                             SNMP_VERSION_2c, kLiveTimeoutUs, kLiveRetries, "public"),
            0);
  discovery_device d{};
  uint64_t before = vk_get_time_nsec();
  ASSERT_EQ(sm_discovery_device(&info, &d), 0) << d.message;
  EXPECT_EQ(d.success, 1);
  EXPECT_STREQ(d.message, "");
  EXPECT_STREQ(d.ip, "127.0.0.1");
  EXPECT_EQ(d.port, agent_->port);
  EXPECT_STREQ(d.device_system.description, "Core switch, rack 4");  // quotes trimmed
  EXPECT_STREQ(d.device_system.name, "core-sw-4");
  EXPECT_STREQ(d.device_system.object_id, ".1.3.6.1.4.1.8072.3.2.10");
  EXPECT_EQ(std::string(d.device_system.contract), kLongContact.substr(0, 127));  // cut
  EXPECT_GT(d.device_system.uptime, 0u);
  EXPECT_GE(d.device_system.collect_time, before);
  EXPECT_LE(d.device_system.collect_time, vk_get_time_nsec());
}

TEST_F(SnmpUtil, DiscoveryOverSnmpV3) {
  snmp_info info{};
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(agent_->port),
                             SNMP_VERSION_3, kLiveTimeoutUs, kLiveRetries, nullptr),
            0);
  ASSERT_EQ(sm_set_snmp_sec_info(&info.security, 3, vktest::snmpd_user_name(6, 4).c_str(), 6,
                                 vktest::kSnmpdAuthPass, 4, vktest::kSnmpdPrivPass),
            0);
  discovery_device d{};
  ASSERT_EQ(sm_discovery_device(&info, &d), 0) << d.message;
  EXPECT_EQ(d.success, 1);
  EXPECT_STREQ(d.device_system.name, "core-sw-4");
}

TEST(SnmpDiscovery, UnreachableDeviceGivesTheTimeoutText) {
  snmp_info info{};
  int port = vktest::free_port(SOCK_DGRAM);
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(port), SNMP_VERSION_2c,
                             kTimeoutUs, kRetries, "public"),
            0);
  discovery_device d{};
  snprintf(d.device_system.name, sizeof(d.device_system.name), "stale");
  // Another session's failure leaves its detail in the library: the text
  // of this one must not carry it.
  const char *kOtherDetail = "The supplied password length is too short.";
  snmp_set_detail(kOtherDetail);
  EXPECT_EQ(sm_discovery_device(&info, &d), SM_ERR_RESPONSE);
  EXPECT_EQ(d.success, 0);
  EXPECT_EQ(std::string(d.message).rfind("Timeout", 0), 0u) << d.message;
  EXPECT_EQ(strstr(d.message, "password"), nullptr) << d.message;
  EXPECT_STREQ(d.device_system.name, "");  // nothing left from before

  // SNMPv3: the engine probe at open already fails.
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(port), SNMP_VERSION_3,
                             kTimeoutUs, kRetries, nullptr),
            0);
  ASSERT_EQ(sm_set_snmp_sec_info(&info.security, 2, "u", 2, "authpass1", 0, ""), 0);
  snmp_set_detail(kOtherDetail);
  EXPECT_EQ(sm_discovery_device(&info, &d), -1);
  EXPECT_EQ(d.success, 0);
  EXPECT_EQ(std::string(d.message).rfind("Timeout", 0), 0u) << d.message;
  EXPECT_EQ(strstr(d.message, "password"), nullptr) << d.message;
}

TEST(SnmpDiscovery, BadSetUpAndNullsFailCleanly) {
  snmp_info info{};
  ASSERT_EQ(
      sm_set_snmp_info(&info, "127.0.0.1", 161, SNMP_VERSION_3, kTimeoutUs, kRetries, nullptr), 0);
  ASSERT_EQ(sm_set_snmp_sec_info(&info.security, 2, "u", 2, "short", 0, ""), 0);
  discovery_device d{};
  EXPECT_EQ(sm_discovery_device(&info, &d), -1);
  EXPECT_EQ(d.success, 0);
  EXPECT_NE(d.message[0], '\0');
  EXPECT_EQ(sm_discovery_device(nullptr, &d), -1);
  EXPECT_EQ(sm_discovery_device(&info, nullptr), -1);
}

TEST(SnmpDiscovery, Utf8SystemTextsArriveAsText) {
  vktest::snmpd_instance agent;
  vktest::snmpd_options o;
  o.v3_users = false;
  o.sys_descr = "B\xC3\xBCro-Switch \xE2\x82\xAC";
  o.sys_name = "\xE6\x9D\xB1\xE4\xBA\xAC-1";
  std::string error;
  ASSERT_TRUE(agent.start(o, &error)) << error;
  snmp_info info{};
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(agent.port), SNMP_VERSION_2c,
                             kLiveTimeoutUs, kLiveRetries, "public"),
            0);
  discovery_device d{};
  ASSERT_EQ(sm_discovery_device(&info, &d), 0) << d.message;
  EXPECT_STREQ(d.device_system.description, o.sys_descr.c_str());  // not a hex dump
  EXPECT_STREQ(d.device_system.name, o.sys_name.c_str());
}

TEST(SnmpDiscovery, OverLongValuesAreCutToTheirFields) {
  vktest::snmp_responder responder;
  ASSERT_TRUE(responder.start(vktest::responder_mode::get_long_text, 2000));
  snmp_info info{};
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(responder.port),
                             SNMP_VERSION_2c, kLiveTimeoutUs, kLiveRetries, "public"),
            0);
  discovery_device d{};
  ASSERT_EQ(sm_discovery_device(&info, &d), 0) << d.message;
  EXPECT_EQ(strlen(d.device_system.name), sizeof(d.device_system.name) - 1);
  EXPECT_EQ(strlen(d.device_system.object_id), sizeof(d.device_system.object_id) - 1);
  EXPECT_EQ(strlen(d.device_system.description), sizeof(d.device_system.description) - 1);
  EXPECT_EQ(strlen(d.device_system.contract), sizeof(d.device_system.contract) - 1);
  EXPECT_EQ(d.device_system.name[0], 'x');
  EXPECT_EQ(d.device_system.uptime, 0u);  // a text is no number
}

// ---- --cmd-snmp end to end ----

struct cmd_run {
  vktest::temp_dir home;
  vktest::run_result r;
};

void run_cmd(cmd_run *c, const vktest::snmpd_instance *agent, std::vector<std::string> args) {
  std::vector<std::string> argv = {vktest::built_program("qdr-agent/qdr-agent"), "--cmd-snmp"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = agent->tool_env();
  env.push_back("VOSK_QDR_HOME=" + c->home.path);
  c->r = vktest::run_program(argv, env, c->home.path, 60000);
}

TEST_F(SnmpUtil, CmdSnmpGetPrintsTheValueLine) {
  cmd_run c;
  std::string addr = "127.0.0.1:" + std::to_string(agent_->port);
  run_cmd(&c, agent_, {addr, "v2c", "public", "get", ".1.3.6.1.2.1.1.5.0"});
  ASSERT_FALSE(c.r.timed_out);
  EXPECT_EQ(c.r.status, 0) << c.r.err;
  EXPECT_NE(c.r.out.find("exec command - ip[" + addr +
                         "],ver[v2c],comm[public],level[0][],auth[,]"
                         ",priv[,],type[get],oid[.1.3.6.1.2.1.1.5.0]\n"),
            std::string::npos)
      << c.r.out;
  EXPECT_NE(c.r.out.find("result> stat:0,lib:0,snmp:0,status:0\n"), std::string::npos) << c.r.out;
  // One value line: an OCTET STRING (type 04) of 9 characters.
  size_t at = c.r.out.find("value(");
  ASSERT_NE(at, std::string::npos) << c.r.out;
  std::string line = c.r.out.substr(at, c.r.out.find('\n', at) - at);
  EXPECT_NE(line.find(")-[type:04][0](9)["), std::string::npos) << line;
  EXPECT_NE(line.find("core-sw-4"), std::string::npos) << line;
  EXPECT_EQ(c.r.out.find("value(", at + 1), std::string::npos) << c.r.out;
}

TEST_F(SnmpUtil, CmdSnmpV3SubtreePrintsEveryVariable) {
  cmd_run c;
  std::string addr = "127.0.0.1:" + std::to_string(agent_->port);
  run_cmd(&c, agent_,
          {addr, "v3", vktest::snmpd_user_name(4, 2), "authpriv", "sha256", vktest::kSnmpdAuthPass,
           "aes128", vktest::kSnmpdPrivPass, "subtree", ".1.3.6.1.2.1.1"});
  ASSERT_FALSE(c.r.timed_out);
  EXPECT_EQ(c.r.status, 0) << c.r.err;
  // Pass phrases are masked on every line.
  EXPECT_NE(c.r.out.find("exec command - v3 level[authpriv],auth[type:sha256,pw:********],"
                         "priv[type:aes128,pw:********]\n"),
            std::string::npos)
      << c.r.out;
  EXPECT_NE(c.r.out.find(",auth[sha256,********],priv[aes128,********],"), std::string::npos)
      << c.r.out;
  for (const char *secret : {vktest::kSnmpdAuthPass, vktest::kSnmpdPrivPass}) {
    EXPECT_EQ(c.r.out.find(secret), std::string::npos) << c.r.out;
    EXPECT_EQ(c.r.err.find(secret), std::string::npos) << c.r.err;
  }
  EXPECT_NE(c.r.out.find("result> stat:0,lib:0,snmp:0,status:0\n"), std::string::npos) << c.r.out;
  size_t lines = 0;
  for (size_t at = c.r.out.find("value("); at != std::string::npos;
       at = c.r.out.find("value(", at + 1)) {
    lines++;
  }
  EXPECT_GE(lines, 7u) << c.r.out;  // sysDescr .. sysServices and more
  EXPECT_NE(c.r.out.find("core-sw-4"), std::string::npos);
}

TEST_F(SnmpUtil, CmdSnmpUnknownUserPrintsTheLibraryError) {
  cmd_run c;
  std::string addr = "127.0.0.1:" + std::to_string(agent_->port);
  run_cmd(
      &c, agent_,
      {addr, "v3", "nobody", "authnopriv", "md5", "auth-pass-phrase", "get", ".1.3.6.1.2.1.1.5.0"});
  ASSERT_FALSE(c.r.timed_out);
  EXPECT_EQ(c.r.status, 1);
  EXPECT_NE(c.r.out.find("snmp error:Unknown user name"), std::string::npos) << c.r.out;
  EXPECT_NE(c.r.err.find("--cmd-snmp 127.0.0.1:" + std::to_string(agent_->port) +
                         " has failed: Unknown user name"),
            std::string::npos)
      << c.r.err;
  EXPECT_EQ(c.r.out.find("auth-pass-phrase"), std::string::npos) << c.r.out;
  EXPECT_EQ(c.r.out.find("value("), std::string::npos);
}

// Every way the one-shot request can fail ends with status 1 and a line on
// standard error naming the address and the reason; stdout keeps what the
// request printed.
TEST_F(SnmpUtil, CmdSnmpFailuresEndWithStatusOne) {
  std::string addr = "127.0.0.1:" + std::to_string(agent_->port);
  std::string silent = "127.0.0.1:" + std::to_string(vktest::free_port(SOCK_DGRAM));
  const struct {
    std::vector<std::string> args;
    std::string out;  // expected on stdout
    std::string err;  // expected on stderr
  } rows[] = {
      // v1: noSuchName as the error status
      {{addr, "v1", "public", "get", ".1.3.6.1.2.1.1.99.0"},
       "result> stat:2,",
       "--cmd-snmp " + addr + " has failed: "},
      // v2c: an answer holding only "no such object"
      {{addr, "v2c", "public", "get", ".1.3.6.1.2.1.1.99.0"},
       "result> stat:0,lib:0,snmp:0,status:0\n",
       "--cmd-snmp " + addr + " has failed: no value in the answer"},
      // an empty subtree
      {{addr, "v2c", "public", "subtree", ".1.3.6.1.4.1.99999"},
       "variables is NULL.",
       "--cmd-snmp " + addr + " has failed: no value in the answer"},
      {{addr, "v2c", "public", "set", ".1.3.6.1.2.1.1.5.0"},
       "snmp requeset type(set) is not support.\n",
       "has failed: unknown request type"},
      {{silent, "v2c", "public", "get", ".1.3.6.1.2.1.1.5.0"},
       "snmp error:Timeout",
       "--cmd-snmp " + silent + " has failed: Timeout"},
      {{"no-such-host.invalid:161", "v2c", "public", "get", ".1.3.6.1.2.1.1.5.0"},
       "open snmp session has failed.[peer:no-such-host.invalid",
       "--cmd-snmp no-such-host.invalid:161 has failed: "},
      // a wrong pass phrase: the device's report may not carry the
      // request's id, and must still end the wait
      {{addr, "v3", vktest::snmpd_user_name(4, 2), "authpriv", "sha256", "not-the-pass-phrase",
        "aes128", vktest::kSnmpdPrivPass, "get", ".1.3.6.1.2.1.1.5.0"},
       "snmp error:Authentication failure",
       "--cmd-snmp " + addr + " has failed: Authentication failure"},
      {{"127.0.0.1:99999", "v2c", "public", "get", ".1.3.6.1.2.1.1.5.0"},
       "snmp address is wrong.[127.0.0.1:99999]\n",
       "--cmd-snmp 127.0.0.1:99999 has failed: bad address\n"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[3] + " " + row.args[4]);
    cmd_run c;
    run_cmd(&c, agent_, row.args);
    ASSERT_FALSE(c.r.timed_out);
    EXPECT_EQ(c.r.status, 1);
    EXPECT_NE(c.r.out.find(row.out), std::string::npos) << c.r.out;
    EXPECT_NE(c.r.err.find(row.err), std::string::npos) << c.r.err;
  }
}

// The host's Net-SNMP files must not change the one-shot output: an
// snmp.conf in the home directory and in SNMPCONFPATH that would change how
// names and values print, the system MIB directory with the default modules
// (most of them missing) and an extra MIB file, and a persistent directory
// that must stay empty. Nothing may reach stderr.
TEST_F(SnmpUtil, CmdSnmpIgnoresTheHostConfigurationForEveryVersion) {
  vktest::temp_dir host;
  std::string conf = "oidOutputFormat 3\nquickPrinting yes\nmibs +ALL\n";
  for (const char *sub : {"/.snmp", "/conf", "/persist"}) mkdir((host.path + sub).c_str(), 0700);
  ASSERT_TRUE(vktest::write_file(host.path + "/.snmp/snmp.conf", conf));
  ASSERT_TRUE(vktest::write_file(host.path + "/conf/snmp.conf", conf));
  std::vector<std::string> env = {"HOME=" + host.path,
                                  "SNMPCONFPATH=" + host.path + "/conf",
                                  "SNMP_PERSISTENT_DIR=" + host.path + "/persist",
                                  "MIBDIRS=/usr/share/snmp/mibs",
                                  "MIBFILES=/usr/share/snmp/mibs/NET-SNMP-MIB.txt",
                                  "MIBS"};
  std::string addr = "127.0.0.1:" + std::to_string(agent_->port);
  const std::vector<std::vector<std::string>> versions = {
      {"v1", "public"},
      {"v2c", "public"},
      {"v3", vktest::snmpd_user_name(2, 2), "authpriv", "sha", vktest::kSnmpdAuthPass, "aes128",
       vktest::kSnmpdPrivPass}};
  for (const auto &v : versions) {
    cmd_run c;
    std::vector<std::string> argv = {vktest::built_program("qdr-agent/qdr-agent"), "--cmd-snmp",
                                     addr};
    argv.insert(argv.end(), v.begin(), v.end());
    argv.insert(argv.end(), {"get", ".1.3.6.1.2.1.1.5.0"});
    std::vector<std::string> e = env;
    e.push_back("VOSK_QDR_HOME=" + c.home.path);
    c.r = vktest::run_program(argv, e, c.home.path, 60000);
    ASSERT_FALSE(c.r.timed_out);
    EXPECT_EQ(c.r.status, 0) << v[0];
    EXPECT_EQ(c.r.err, "") << v[0];
    EXPECT_NE(c.r.out.find("result> stat:0,lib:0,snmp:0,status:0\nvalue(256)-[type:04][0](9)"
                           "[iso.3.6.1.2.1.1.5.0](19)[STRING: \"core-sw-4\"]\n"),
              std::string::npos)
        << v[0] << "\n"
        << c.r.out;
  }
  DIR *d = opendir((host.path + "/persist").c_str());
  ASSERT_NE(d, nullptr);
  int entries = 0;
  while (readdir(d) != nullptr) entries++;
  closedir(d);
  EXPECT_EQ(entries, 2);  // "." and ".."
}

// A walk cut at its variable limit is a failure, not a result: the code and
// its text are printed and the cut list is not.
TEST(SnmpCmd, WalkStoppedAtTheVariableLimitPrintsTheCode) {
  vktest::snmp_responder responder;
  ASSERT_TRUE(responder.start(vktest::responder_mode::endless));
  agent_config_snmp c{};
  snprintf(c.addr, sizeof(c.addr), "127.0.0.1:%d", responder.port);
  snprintf(c.version, sizeof(c.version), "v2c");
  snprintf(c.community_secname, sizeof(c.community_secname), "public");
  snprintf(c.type, sizeof(c.type), "subtree");
  snprintf(c.object_id, sizeof(c.object_id), "%s", vktest::kResponderRootText);
  sm_set_bulk_variable_limit(100);
  testing::internal::CaptureStdout();
  int ret = sm_request_from_argument(&c);
  std::string out = testing::internal::GetCapturedStdout();
  sm_set_bulk_variable_limit(0);
  EXPECT_EQ(ret, SM_CMD_ERR_REQUEST);
  EXPECT_NE(out.find("result> stat:0,lib:0,snmp:0,status:0\n"
                     "snmp error:(-107)walk variable limit reached\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("value("), std::string::npos);
}

}  // namespace
