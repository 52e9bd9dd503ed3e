// The SNMP trap receiver: traps made by the real `snmptrap` tool decoded and
// rendered field by field, the message finishing (quotes doubled, nothing
// cut), every refused input (SNMPv3, truncated BER, bad framing), and the
// whole path from `snmptrap` through the receiver threads to tools/dg-sim.
#include "snmp_trap.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config.h"
#include "network_public_stat.h"
#include "receivers_test_env.h"
#include "snmp_test_env.h"
#include "target_device.h"
#include "test_clock.h"
#include "thread_manager.h"
#include "vk_util.h"

namespace {

using rxtest::bytes;

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(true));

std::vector<std::string> trap_v2c(std::vector<std::string> bindings, const std::string &uptime,
                                  const std::string &trap_oid,
                                  const std::string &community = "public") {
  std::vector<std::string> argv = {"/usr/bin/snmptrap", "-v",   "2c",    "-c", community,
                                   "127.0.0.1:PORT",    uptime, trap_oid};
  argv.insert(argv.end(), bindings.begin(), bindings.end());
  return argv;
}

struct decoded {
  int result = 0;
  snmp_trap_data_t trap{};
  std::string message;
};

decoded decode(const bytes &datagram, const char *ip = "127.0.0.1") {
  decoded d;
  d.result = snmp_trap_decode(ip, datagram.data(), datagram.size(), &d.trap);
  if (d.trap.message != nullptr) d.message = d.trap.message;
  snmp_trap_data_clear(&d.trap);
  return d;
}

TEST(SnmpTrap, V2cTrapGivesUptimeTrapOidAndTheOtherValuesAsText) {
  bytes dg = rxtest::capture(
      trap_v2c({".1.3.6.1.2.1.2.2.1.1.2", "i", "2", ".1.3.6.1.2.1.2.2.1.2.2", "s", "eth0"}, "12345",
               ".1.3.6.1.6.3.1.1.5.3"));
  decoded d = decode(dg);
  ASSERT_EQ(d.result, 0);
  EXPECT_STREQ(d.trap.received_ip, "127.0.0.1");
  EXPECT_EQ(d.trap.snmp_version, 1);
  EXPECT_EQ(d.trap.uptime, 12345u);
  EXPECT_STREQ(d.trap.enterprise_oid, ".1.3.6.1.6.3.1.1.5.3");
  EXPECT_EQ(d.trap.generic_trap_type, 0xFFFFFFFFu);
  EXPECT_EQ(d.trap.specific_trap_code, 0xFFFFFFFFu);
  EXPECT_EQ(d.trap.index, 0u);
  EXPECT_STREQ(d.trap.trap_oid, "");
  EXPECT_EQ(d.message, " 2  eth0");
  EXPECT_GT(d.trap.collect_time, 0u);
}

TEST(SnmpTrap, InformIsDecodedLikeATrapAndCarriesItsAnswer) {
  std::vector<std::string> argv =
      trap_v2c({".1.3.6.1.2.1.1.5.0", "s", "router-7"}, "77", ".1.3.6.1.4.1.8072.2.3.0.1");
  argv.insert(argv.begin() + 1, {"-Ci", "-r", "0", "-t", "1"});
  bytes dg = rxtest::capture(argv);
  snmp_trap_data_t t;
  ASSERT_EQ(snmp_trap_decode("127.0.0.1", dg.data(), dg.size(), &t), 0);
  EXPECT_EQ(t.uptime, 77u);
  EXPECT_STREQ(t.enterprise_oid, ".1.3.6.1.4.1.8072.2.3.0.1");
  EXPECT_STREQ(t.message, " router-7");
  EXPECT_EQ(t.is_inform, 1);
  // The answer is the same message with a Response PDU, and is itself no
  // trap: sent back to the trap port it is dropped.
  ASSERT_NE(t.response, nullptr);
  ASSERT_EQ(t.response_len, dg.size());
  bytes answer(t.response, t.response + t.response_len);
  // Only the PDU tag differs (the tool sends error-status and index 0).
  std::vector<size_t> changed;
  for (size_t i = 0; i < dg.size(); i++) {
    if (answer[i] != dg[i]) changed.push_back(i);
  }
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(dg[changed[0]], 0xA6);
  EXPECT_EQ(answer[changed[0]], 0xA2);
  EXPECT_EQ(decode(answer).result, SNMP_TRAP_ERR_NOT_TRAP);
  snmp_trap_data_clear(&t);
  snmp_trap_data_clear(&t);  // twice is safe
  uint8_t *out = nullptr;
  size_t out_len = 0;
  EXPECT_EQ(snmp_trap_inform_response(answer.data(), answer.size(), 0, &out, &out_len), -1);
  EXPECT_EQ(out, nullptr);
}

TEST(SnmpTrap, RequestsAndResponsesSentToTheTrapPortAreNotTraps) {
  for (const char *tool : {"/usr/bin/snmpget", "/usr/bin/snmpgetnext", "/usr/bin/snmpset"}) {
    std::vector<std::string> argv = {tool,
                                     "-v",
                                     "2c",
                                     "-c",
                                     "public",
                                     "-r",
                                     "0",
                                     "-t",
                                     "1",
                                     "127.0.0.1:PORT",
                                     ".1.3.6.1.2.1.1.5.0"};
    if (std::string(tool) == "/usr/bin/snmpset") argv.insert(argv.end(), {"s", "x"});
    EXPECT_EQ(decode(rxtest::capture(argv)).result, SNMP_TRAP_ERR_NOT_TRAP) << tool;
  }
  // A v2 trap PDU inside a v1 message is no v1 trap either.
  bytes v2 = rxtest::capture(trap_v2c({}, "1", ".1.3.6.1.6.3.1.1.5.1"));
  ASSERT_EQ(decode(v2).result, 0);
  ASSERT_EQ(v2[4], 0x01);  // the version INTEGER's value: 1 = v2c
  v2[4] = 0x00;
  EXPECT_EQ(decode(v2).result, SNMP_TRAP_ERR_NOT_TRAP);
}

// Text values keep every character whatever its length in UTF-8; values
// that are not UTF-8 text go out as hex, and the message stays valid UTF-8.
TEST(SnmpTrap, TextValuesKeepWholeCharactersAndRawBytesBecomeHex) {
  struct {
    const char *type;
    const char *value;
    const char *message;
  } cases[] = {
      {"s", "price 5\xe2\x82\xac", " price 5\xe2\x82\xac"},
      {"s", "\xe6\x97\xa5 x", " \xe6\x97\xa5 x"},
      {"s", "caf\xc3\xa9 \xf0\x9f\x98\x80", " caf\xc3\xa9 \xf0\x9f\x98\x80"},
      {"x", "001a2b3c4d5e", " 00 1A 2B 3C 4D 5E"},  // a MAC address
      {"x", "636166e9", " 63 61 66 E9"},            // Latin-1 "caf\xe9"
      {"x", "e282", " E2 82"},                      // a cut character
      {"x", "eda080", " ED A0 80"},                 // a surrogate
      {"x", "6f6b00", " ok"},                       // a counted terminator
      {"x", "61620063", " 61 62 00 63"},            // a NUL inside
      {"s", "it's", " it''s"},
  };
  for (const auto &c : cases) {
    decoded d = decode(rxtest::capture({"/usr/bin/snmptrap", "-v", "1", "-c", "public",
                                        "127.0.0.1:PORT", ".1.3.6.1.4.1.8072", "127.0.0.1", "6",
                                        "1", "0", ".1.3.6.1.2.1.1.4.0", c.type, c.value}));
    ASSERT_EQ(d.result, 0) << c.value;
    EXPECT_EQ(d.message, c.message) << c.value;
  }
}

TEST(SnmpTrap, V1TrapCarriesTheEnterpriseTypesAndTimeStampOfThePdu) {
  decoded d = decode(
      rxtest::capture({"/usr/bin/snmptrap", "-v", "1", "-c", "public", "127.0.0.1:PORT",
                       ".1.3.6.1.4.1.8072.3.2.10", "127.0.0.1", "2", "0", "4567",
                       ".1.3.6.1.2.1.2.2.1.1.3", "i", "3", ".1.3.6.1.2.1.2.2.1.2.3", "s", "eth2"}));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.trap.snmp_version, 0);
  EXPECT_EQ(d.trap.generic_trap_type, 2u);
  EXPECT_EQ(d.trap.specific_trap_code, 0u);
  EXPECT_EQ(d.trap.uptime, 4567u);
  EXPECT_STREQ(d.trap.enterprise_oid, ".1.3.6.1.4.1.8072.3.2.10");
  EXPECT_EQ(d.message, " 3 eth2");
}

TEST(SnmpTrap, QuotesAreDoubledWithoutLosingCharactersAndControlBytesEndTheText) {
  struct {
    const char *value;
    const char *message;
  } cases[] = {
      {"it's", " it''s"},
      {"don't stop", " don''t stop"},
      {"''", " ''''"},
      {"line one\nline two", " line one"},
  };
  for (const auto &c : cases) {
    decoded d = decode(rxtest::capture({"/usr/bin/snmptrap", "-v", "1", "-c", "public",
                                        "127.0.0.1:PORT", ".1.3.6.1.4.1.8072", "127.0.0.1", "6",
                                        "1", "0", ".1.3.6.1.2.1.1.4.0", "s", c.value}));
    ASSERT_EQ(d.result, 0) << c.value;
    EXPECT_EQ(d.message, c.message) << c.value;
  }
}

TEST(SnmpTrap, EscapeKeepsWholeUtf8CharactersAndNeverSplitsAtTheLimit) {
  struct {
    std::string in;
    size_t out_size;
    std::string out;
  } cases[] = {
      {"a'b", 64, "a''b"},
      {"a'b", 3, "a"},  // the doubled quote does not fit: not half of it
      {"\xc3\xa9t\xc3\xa9", 64, "\xc3\xa9t\xc3\xa9"},
      {"5\xe2\x82\xac!", 64, "5\xe2\x82\xac!"},  // three bytes kept whole
      {"\xf0\x9f\x98\x80.", 64, "\xf0\x9f\x98\x80."},
      {"x\xe2\x82\xac", 4, "x"},  // three-byte character does not fit
      {"x\xe2\x82\xac", 5, "x\xe2\x82\xac"},
      {"ab\xc3", 64, "ab"},              // lead byte without a second byte
      {"ab\xc3\x20z", 64, "ab"},         // unfit second byte
      {"ab\xe9z", 64, "ab"},             // Latin-1
      {"ab\xc0\xafz", 64, "ab"},         // overlong
      {"ab\xf5\x80\x80\x80", 64, "ab"},  // above U+10FFFF
      {"ab\x7f"
       "cd",
       64, "ab"},             // DEL
      {"x\xc3\xa9", 3, "x"},  // two-byte character does not fit
      {"", 64, ""},
  };
  for (const auto &c : cases) {
    std::vector<char> out(c.out_size);
    size_t n = snmp_trap_escape_message(c.in.data(), c.in.size(), out.data(), out.size());
    EXPECT_EQ(std::string(out.data(), n), c.out) << c.in;
    EXPECT_EQ(out[n], '\0');
  }
  // A long text of quotes doubles in full below the message limit.
  std::string quotes(20000, '\'');
  std::vector<char> out(SNMP_TRAP_MESSAGE_LIMIT + 1);
  EXPECT_EQ(snmp_trap_escape_message(quotes.data(), quotes.size(), out.data(), out.size()), 40000u);
}

TEST(SnmpTrap, RefusesSnmpV3WrongFramingAndEveryTruncation) {
  bytes v2 =
      rxtest::capture(trap_v2c({".1.3.6.1.2.1.1.5.0", "s", "x"}, "1", ".1.3.6.1.6.3.1.1.5.1"));
  ASSERT_EQ(decode(v2).result, 0);
  for (size_t n = 0; n < v2.size(); n++) {
    bytes cut(v2.begin(), v2.begin() + static_cast<long>(n));
    int r = decode(cut).result;
    EXPECT_NE(r, 0) << n;
  }
  bytes v3 =
      rxtest::capture({"/usr/bin/snmptrap", "-v", "3", "-u", "trapuser", "-l", "noAuthNoPriv", "-e",
                       "0x8000000001020304", "127.0.0.1:PORT", "1", ".1.3.6.1.6.3.1.1.5.1"});
  EXPECT_EQ(decode(v3).result, SNMP_TRAP_ERR_COMMUNITY);
  // The community as an INTEGER instead of an OCTET STRING.
  bytes bad = v2;
  size_t at = 2;
  while (at < bad.size() && bad[at] != 0x04) at++;
  ASSERT_LT(at, bad.size());
  bad[at] = 0x02;
  EXPECT_EQ(decode(bad).result, SNMP_TRAP_ERR_COMMUNITY);
  // A version field that is not an INTEGER.
  bytes nover = v2;
  nover[2] = 0x04;
  EXPECT_EQ(decode(nover).result, SNMP_TRAP_ERR_COMMUNITY);
}

TEST(SnmpTrap, ValueThatCannotBeRenderedEmptiesTheMessageButTheTrapStays) {
  std::string big(2048, 'x');
  decoded d = decode(
      rxtest::capture(trap_v2c({".1.3.6.1.2.1.1.5.0", "s", "first", ".1.3.6.1.2.1.1.4.0", "s", big},
                               "5", ".1.3.6.1.6.3.1.1.5.1")));
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.trap.uptime, 5u);
  EXPECT_EQ(d.message, "");
}

TEST(SnmpTrap, SendDataEncodesEveryFieldAndMapsTheVersion) {
  rxtest::queue_link link;
  snmp_trap_data_t t{};
  snprintf(t.received_ip, sizeof(t.received_ip), "127.0.0.9");
  snprintf(t.enterprise_oid, sizeof(t.enterprise_oid), ".1.3.6.1.6.3.1.1.5.3");
  t.snmp_version = 1;
  t.uptime = 99;
  t.generic_trap_type = 0xFFFFFFFFu;
  t.specific_trap_code = 0xFFFFFFFFu;
  t.collect_time = 1234567890123ull;
  ASSERT_EQ(snmp_trap_send_data("dev-9", &t), 0);  // no message: an empty text
  t.snmp_version = 3;
  t.message = const_cast<char *>(" a  b");
  ASSERT_EQ(snmp_trap_send_data("dev-9", &t), 0);
  t.snmp_version = 7;
  ASSERT_EQ(snmp_trap_send_data("dev-9", &t), 0);
  t.message = nullptr;
  snmp_version_e want[] = {_v2c_e, _v3_e, static_cast<snmp_version_e>(-1)};
  for (snmp_version_e v : want) {
    bytes p;
    ASSERT_EQ(link.pop(&p), DG_PKT_SNMP_TRAP);
    alignas(8) uint8_t ws[4096];
    network_snmp_trap_t *m = network_snmp_trap_new(ws, sizeof(ws));
    ASSERT_GE(network_snmp_trap_decode(m, p.data(), p.size()), 0);
    EXPECT_STREQ(m->device_id_p, "dev-9");
    EXPECT_STREQ(m->received_ip_p, "127.0.0.9");
    EXPECT_EQ(m->snmp_version, v);
    EXPECT_STREQ(m->enterprise_oid_p, ".1.3.6.1.6.3.1.1.5.3");
    EXPECT_EQ(m->generic_trap_type, 0xFFFFFFFFu);
    EXPECT_EQ(m->collect_time, 1234567890123ull);
    EXPECT_STREQ(m->message_p, v == _v2c_e ? "" : " a  b");
  }
  // Refused by a link that is not connected: the packet is not kept.
  link.conn->connection_state.store(DG_STATE_DISCONNECTED);
  EXPECT_EQ(snmp_trap_send_data("dev-9", &t), SNMP_TRAP_ERR_REFUSED);
  EXPECT_EQ(link.count(), 0u);
}

// Through a lost link the targets stay; the next device list replaces them.
TEST(SnmpTrap, TargetsStayThroughALostLinkUntilTheNextListReplacesThem) {
  if (!g_snmp_trap.initialized) g_agent_config.snmptrap_port = vktest::free_port(SOCK_DGRAM);
  ASSERT_EQ(snmp_trap_init(), 0);
  target_device_manager_clean(&g_snmptrap_device_manager);
  target_device_activate(&g_snmptrap_device_manager);
  ASSERT_EQ(snmp_trap_target_device_add_by_ip("127.0.0.2", "dev-gone"), 0);
  snmp_trap_link_lost();
  char id[TARGET_DEVICE_ID_SIZE];
  EXPECT_EQ(target_device_is_exist(&g_snmptrap_device_manager, "127.0.0.2", id, sizeof(id)), 1);
  ASSERT_EQ(snmp_trap_target_device_add_by_ip("127.0.0.1", "dev-new"), 0);
  EXPECT_EQ(target_device_is_exist(&g_snmptrap_device_manager, "127.0.0.2", id, sizeof(id)), 0);
  EXPECT_EQ(target_device_count(&g_snmptrap_device_manager), 1u);
  target_device_manager_clean(&g_snmptrap_device_manager);
  target_device_deactivate(&g_snmptrap_device_manager);
}

TEST(SnmpTrap, StopBeforeTheFirstStartReturnsAtOnceAndKeepsTheProcess) {
  EXPECT_EXIT(
      {
        snmp_trap_init();
        snmp_trap_shutdown(1);
        exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}

// Receivers of the trap callback on a free port, forwarding into a queue
// the test reads.
struct trap_receivers {
  rxtest::queue_link link;
  udp_server_manager_t *m = nullptr;
  int port = 0;
  trap_receivers() {
    rxtest::init_threads();
    if (!g_snmp_trap.initialized) g_agent_config.snmptrap_port = vktest::free_port(SOCK_DGRAM);
    snmp_trap_init();  // the registry
    port = vktest::free_port(SOCK_DGRAM);
    m = udp_server_manager_new("trap-test", static_cast<uint16_t>(port), 1, snmp_trap_work);
    udp_server_start(m);
  }
  ~trap_receivers() {
    udp_server_shutdown(m, 3);
    udp_server_manager_free(m);
  }
  // Messages of the queued traps, oldest first.
  std::vector<std::string> messages() {
    std::vector<std::string> got;
    bytes p;
    while (link.pop(&p) == DG_PKT_SNMP_TRAP) {
      alignas(8) uint8_t ws[4096];
      network_snmp_trap_t *msg = network_snmp_trap_new(ws, sizeof(ws));
      if (network_snmp_trap_decode(msg, p.data(), p.size()) >= 0) got.push_back(msg->message_p);
    }
    return got;
  }
};

// `snmpinform` gets its answer at the first try and exits 0, and the
// collector gets the inform once; a repeat of the same inform (a lost
// answer) is answered again but not forwarded again. Also over IPv6.
TEST(SnmpTrapService, InformsAreAnsweredAndForwardedOnce) {
  trap_receivers rx;
  ASSERT_EQ(udp_server_bound_count(rx.m), 1);
  std::string p = std::to_string(rx.port);
  for (const std::string &to : {"127.0.0.1:" + p, "udp6:[::1]:" + p}) {
    vktest::run_result r = vktest::run_program(
        {"/usr/bin/snmpinform", "-v", "2c", "-c", "public", "-r", "3", "-t", "3", to, "42",
         ".1.3.6.1.6.3.1.1.5.1", ".1.3.6.1.2.1.1.5.0", "s", "inform " + to});
    EXPECT_EQ(r.status, 0) << to << r.out << r.err;
  }
  ASSERT_TRUE(vktest::wait_until([&] { return rx.link.count() >= 2; }, 5000));
  std::vector<std::string> got = rx.messages();
  EXPECT_EQ(got, (std::vector<std::string>{" inform 127.0.0.1:" + p, " inform udp6:[::1]:" + p}));

  std::vector<std::string> argv =
      trap_v2c({".1.3.6.1.2.1.1.5.0", "s", "again"}, "7", ".1.3.6.1.6.3.1.1.5.1");
  argv.insert(argv.begin() + 1, {"-Ci", "-r", "0", "-t", "1"});
  bytes inform = rxtest::capture(argv);
  rxtest::udp_sink sender;  // one source port, as a retrying sender has
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(rx.port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(sendto(sender.fd, inform.data(), inform.size(), 0, reinterpret_cast<sockaddr *>(&to),
                     sizeof(to)),
              static_cast<ssize_t>(inform.size()));
    bytes answer = sender.receive(5000);
    ASSERT_EQ(answer.size(), inform.size()) << i;
    EXPECT_EQ(decode(answer).result, SNMP_TRAP_ERR_NOT_TRAP);
  }
  vk_sleep(300);  // nothing more may arrive; a later check would see it too
  EXPECT_EQ(rx.messages(), std::vector<std::string>{" again"});
}

// Traps sent to ::1 arrive with the sender's IPv6 address; IPv4 senders
// keep their dotted address on the same socket.
TEST(SnmpTrapService, TrapsArriveOverIpv6AndIpv4) {
  trap_receivers rx;
  std::string p = std::to_string(rx.port);
  for (const std::string &to : {"udp6:[::1]:" + p, "127.0.0.1:" + p}) {
    vktest::run_program({"/usr/bin/snmptrap", "-v", "2c", "-c", "public", to, "5",
                         ".1.3.6.1.6.3.1.1.5.1", ".1.3.6.1.2.1.1.5.0", "s", to});
    ASSERT_TRUE(vktest::wait_until([&] { return rx.link.count() >= 1; }, 5000)) << to;
    bytes pkt;
    ASSERT_EQ(rx.link.pop(&pkt), DG_PKT_SNMP_TRAP);
    alignas(8) uint8_t ws[4096];
    network_snmp_trap_t *msg = network_snmp_trap_new(ws, sizeof(ws));
    ASSERT_GE(network_snmp_trap_decode(msg, pkt.data(), pkt.size()), 0);
    EXPECT_STREQ(msg->received_ip_p, to[0] == 'u' ? "::1" : "127.0.0.1");
    EXPECT_EQ(std::string(msg->message_p), " " + to);
  }
}

// The agent's service from activation to shutdown: traps from `snmptrap`
// reach dg-sim decoded, a registered sender by its id and another loopback
// address as "unknown id"; bad datagrams are dropped on the way.
TEST(SnmpTrapService, TrapsFromTheRealSenderReachTheCollector) {
  rxtest::init_threads();
  rxtest::sim_link sim;
  ASSERT_TRUE(sim.start()) << vktest::read_file(sim.sim.err_path);
  // The service keeps the port of its first initialisation.
  if (!g_snmp_trap.initialized) g_agent_config.snmptrap_port = vktest::free_port(SOCK_DGRAM);
  // The manual clock makes the 3-second start delay short and stamps a
  // known collect time.
  test_clock_install(1700000000000ull);
  ASSERT_EQ(snmp_trap_init(), 0);
  int port = g_snmp_trap.server->port;
  ASSERT_GT(port, 0);
  ASSERT_EQ(snmp_trap_startup(), 0);
  ASSERT_EQ(snmp_trap_target_device_add_by_ip("127.0.0.1", "dev-trap-1"), 0);
  ASSERT_TRUE(vktest::wait_until(
      [] {
        return g_snmp_trap.server->servers.load() != nullptr &&
               g_snmp_trap.server->servers.load()[0].status.load() == UDP_SERVER_STATUS_RECEIVING;
      },
      5000));
  std::string p = std::to_string(port);
  vktest::run_program({"/usr/bin/snmptrap", "-v", "2c", "-c", "public", "127.0.0.1:" + p, "321",
                       ".1.3.6.1.6.3.1.1.5.4", ".1.3.6.1.2.1.2.2.1.1.1", "i", "1"});
  vktest::run_program({"/usr/bin/snmptrap", "-v", "1", "-c", "public", "127.0.0.1:" + p,
                       ".1.3.6.1.4.1.8072", "127.0.0.1", "3", "0", "55", ".1.3.6.1.2.1.1.4.0", "s",
                       "it's up"});
  bytes v2 = rxtest::capture(trap_v2c({}, "9", ".1.3.6.1.6.3.1.1.5.1"));
  ASSERT_TRUE(rxtest::send_from("127.0.0.2", static_cast<uint16_t>(port), v2));
  // UTF-8 text and raw bytes: the collector's decoder refuses a message
  // that is not valid UTF-8.
  vktest::run_program({"/usr/bin/snmptrap", "-v", "2c", "-c", "public", "127.0.0.1:" + p, "1",
                       ".1.3.6.1.6.3.1.1.5.1", ".1.3.6.1.2.1.1.5.0", "s",
                       "price 5\xe2\x82\xac \xe6\x97\xa5 x", ".1.3.6.1.2.1.1.4.0", "x",
                       "001a2b3c4d5e"});
  ASSERT_TRUE(rxtest::send_from("127.0.0.2", static_cast<uint16_t>(port), bytes(65507, 0x30)));
  ASSERT_TRUE(rxtest::send_from("127.0.0.2", static_cast<uint16_t>(port), bytes{0x30, 0x03}));
  bool all =
      vktest::wait_until([&] { return sim.lines_with("\"type\": 54105,").size() >= 4; }, 10000, 50);
  std::vector<std::string> lines = sim.lines_with("\"type\": 54105,");
  EXPECT_TRUE(all) << vktest::read_file(sim.out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[3].find("\"message\": \" price 5\\u20ac \\u65e5 x  00 1A 2B 3C 4D 5E\""),
            std::string::npos)
      << lines[3];
  EXPECT_NE(lines[0].find("\"device_id\": \"dev-trap-1\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"snmp_version\": \"v2c\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"enterprise_oid\": \".1.3.6.1.6.3.1.1.5.4\""), std::string::npos);
  EXPECT_NE(lines[0].find("\"message\": \" 1\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"collect_time\": 1700000000000000000"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"generic_trap_type\": 3"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("\"message\": \" it''s up\""), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("\"device_id\": \"unknown id\""), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("\"received_ip\": \"127.0.0.2\""), std::string::npos) << lines[2];
  EXPECT_EQ(target_device_receive_count(&g_snmptrap_device_manager, "127.0.0.1"), 3u);

  EXPECT_EQ(snmp_trap_shutdown(3), 0);
  EXPECT_EQ(g_snmp_trap.thread_status.load(), TARGET_SERVICE_DOWN);
  EXPECT_EQ(g_snmp_trap.server->servers.load(), nullptr);
  EXPECT_EQ(target_device_count(&g_snmptrap_device_manager), 0u);
  EXPECT_EQ(snmp_trap_shutdown(3), 0);  // already down
  test_clock_uninstall();
}

}  // namespace

namespace {

// A home directory for the program with its collector at `collector_port`
// and these extra logging sections.
std::string make_home(const vktest::temp_dir &dir, uint16_t collector_port,
                      const std::string &log_sections) {
  std::string home = dir.path;
  for (const char *d : {"/conf", "/data", "/log", "/mibs"}) mkdir((home + d).c_str(), 0755);
  vktest::write_file(home + "/conf/qdr.conf", "receiver_ip=127.0.0.1\nreceiver_port=" +
                                                  std::to_string(collector_port) + "\n");
  vktest::write_file(home + "/conf/log.conf", "[qdr-agent]\ndirectory=" + home +
                                                  "/log\nfilename=qdr-agent.log\n"
                                                  "output_type=file\nlevel=<info\n" +
                                                  log_sections);
  return home;
}

// The trap-only mode as a user starts it: its receivers run at once, and
// once the collector link is up the traps reach the collector as coming
// from an unknown device.
TEST(SnmpTrapProgram, TrapOnlyModeForwardsTrapsOnceTheCollectorIsUp) {
  vktest::temp_dir dir;
  std::string out = dir.path + "/packets.jsonl";
  std::string port_file = dir.path + "/port";
  vktest::child collector =
      vktest::start_program({vktest::built_program("tools/dg-sim/dg-sim"), "--port", "0",
                             "--port-file", port_file, "--out", out, "--quiet"},
                            dir.path);
  ASSERT_TRUE(vktest::wait_until([&] { return vktest::file_exists(port_file); }, 15000));
  uint16_t collector_port =
      static_cast<uint16_t>(strtoul(vktest::read_file(port_file).c_str(), nullptr, 10));
  std::string home = make_home(dir, collector_port, "");
  int port = vktest::free_port(SOCK_DGRAM);
  vktest::child agent =
      vktest::start_program({vktest::built_program("qdr-agent/qdr-agent"), "--snmptrap-only",
                             "--snmptrap-port=" + std::to_string(port)},
                            home, {"VOSK_QDR_HOME=" + home});
  ASSERT_GT(agent.pid, 0);
  bool forwarded = vktest::wait_until(
      [&] {
        vktest::run_program({"/usr/bin/snmptrap", "-v", "2c", "-c", "public",
                             "127.0.0.1:" + std::to_string(port), "42", ".1.3.6.1.6.3.1.1.5.1",
                             ".1.3.6.1.2.1.1.5.0", "s", "trap-only mode"});
        return vktest::read_file(out).find("\"type\": 54105,") != std::string::npos;
      },
      20000, 200);
  std::string packets = vktest::read_file(out);
  EXPECT_TRUE(forwarded) << packets << vktest::read_file(agent.out_path)
                         << vktest::read_file(home + "/log/qdr-agent.log");
  EXPECT_NE(packets.find("\"device_id\": \"unknown id\""), std::string::npos) << packets;
  EXPECT_NE(packets.find("\"message\": \" trap-only mode\""), std::string::npos) << packets;
  unlink((home + "/data/qdr-agent.pid").c_str());  // the agent stops when its pid file goes
  if (vktest::wait_program(agent, 10000) < 0) vktest::stop_program(agent);
  vktest::stop_program(collector);
}

}  // namespace
