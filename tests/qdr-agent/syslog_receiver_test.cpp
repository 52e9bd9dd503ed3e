// The syslog receiver: the PRI field read from every shape of datagram, what
// is accepted and dropped, batches of at most 1000 entries, and the whole path
// from `logger` (RFC 3164 and RFC 5424) through the receiver threads and the
// sender to tools/dg-sim.
#include "syslog_receiver.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config.h"
#include "network_public_stat.h"
#include "receivers_test_env.h"
#include "target_device.h"
#include "test_clock.h"
#include "thread_manager.h"

namespace {

using rxtest::bytes;

TEST(SyslogPri, ReadsTheFieldBetweenTheFirstAngleBrackets) {
  struct {
    std::string data;
    int result;
    uint64_t pri;
    uint32_t facility;
    uint32_t severity;
  } cases[] = {
      {"<34>Oct 11 22:14:15 host su: 'su root' failed", 0, 34, 4, 2},
      {"<>text", 0, 0, 0, 0},
      {"<1024>x", 0, 1024, 0, 1024},
      {"<191>x", 0, 191, 23, 7},
      {"junk <13>x", 0, 13, 1, 5},
      {"<13 x>y", 0, 13, 1, 5},  // conversion stops at the first non-digit
      {"< 13>x", 0, 0, 0, 0},    // no digits
      {"<+13>x", 0, 0, 0, 0},    // a sign is not a digit
      {"text without", -3, 0, 0, 0},
      {"<13 text", -4, 0, 0, 0},
      {"x>13<", -4, 0, 0, 0},  // the '>' must follow the '<'
      {std::string("\0<5>", 4), 0, 5, 0, 5},
      // Over-long fields: only the first 31 characters count.
      {"<" + std::string(30, '0') + "7" + "9>x", 0, 7, 0, 7},
      {"<" + std::string(31, '9') + ">x", 0, UINT64_MAX, 0x7F, 0xFFFFFC07u},
  };
  for (const auto &c : cases) {
    syslog_pri_t p{99, 99, 99};
    int r = syslog_parse_pri(c.data.data(), c.data.size(), &p);
    EXPECT_EQ(r, c.result) << c.data;
    if (r != 0) {
      EXPECT_EQ(p.pri, 99u) << c.data;  // untouched
      continue;
    }
    EXPECT_EQ(p.pri, c.pri) << c.data;
    EXPECT_EQ(p.facility, c.facility) << c.data;
    EXPECT_EQ(p.severity, c.severity) << c.data;
  }
}

// syslog_work with the registry in each state; the queue read back.
class SyslogWork : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(syslog_init(), 0); }
  void SetUp() override {
    target_device_manager_clean(&g_syslog_device_manager);
    vlist_clean(&g_syslog.sender_queue);
  }
  void TearDown() override {
    target_device_deactivate(&g_syslog_device_manager);
    vlist_clean(&g_syslog.sender_queue);
  }
  int work(const std::string &ip, const std::string &data) {
    return syslog_work(7, ip.c_str(), data.data(), data.size(), nullptr);
  }
};

TEST_F(SyslogWork, KeepsOnlyDatagramsFromRegisteredDevicesWhileActive) {
  target_device_deactivate(&g_syslog_device_manager);
  EXPECT_EQ(work("127.0.0.1", "<34>x"), SYSLOG_DROPPED);
  target_device_activate(&g_syslog_device_manager);
  ASSERT_EQ(syslog_target_device_add_by_ip("127.0.0.1", "dev-1"), 0);
  EXPECT_EQ(work("127.0.0.3", "<34>x"), SYSLOG_DROPPED);
  EXPECT_EQ(work("127.0.0.1", "no pri"), SYSLOG_ERR_NO_OPEN);
  EXPECT_EQ(work("127.0.0.1", "<34 open"), SYSLOG_ERR_NO_CLOSE);
  test_clock_install(1700000000123ull);
  std::string dg("<34>Oct 11 22:14:15 host su: \0binary", 37);
  EXPECT_EQ(work("127.0.0.1", dg), 0);
  test_clock_uninstall();
  ASSERT_EQ(g_syslog.sender_queue.count, 1u);
  vlist_item_t *item = nullptr;
  auto *rec =
      static_cast<syslog_data_t *>(vlist_getting_data(&g_syslog.sender_queue, nullptr, &item));
  EXPECT_STREQ(rec->device_id, "dev-1");
  EXPECT_STREQ(rec->client_ip, "127.0.0.1");
  EXPECT_EQ(rec->facility, 4u);
  EXPECT_EQ(rec->severity, 2u);
  EXPECT_EQ(rec->collect_time, 1700000000123000000ull);
  EXPECT_EQ(std::string(rec->msg, rec->msg_len), dg);
  EXPECT_EQ(rec->msg[rec->msg_len], '\0');
  EXPECT_EQ(target_device_receive_count(&g_syslog_device_manager, "127.0.0.1"), 3u);
}

TEST_F(SyslogWork, DeviceIdsTooLongForTheMessageAreRefusedNotCut) {
  target_device_activate(&g_syslog_device_manager);
  std::string fits(39, 'a');
  std::string too_long(40, 'b');
  EXPECT_EQ(syslog_target_device_add_by_ip("127.0.0.1", too_long.c_str()),
            TARGET_DEVICE_ERR_TOO_LONG);
  EXPECT_EQ(work("127.0.0.1", "<1>x"), SYSLOG_DROPPED);
  EXPECT_EQ(syslog_target_device_add_by_ip("127.0.0.1", fits.c_str()), 0);
  EXPECT_EQ(work("127.0.0.1", "<1>x"), 0);
  auto *rec =
      static_cast<syslog_data_t *>(vlist_get_data_from_item(nullptr, g_syslog.sender_queue.head));
  EXPECT_EQ(std::string(rec->device_id), fits);
}

// Through a lost link the targets stay and keep answering; the first
// registration afterwards (the next device list) replaces them all.
TEST_F(SyslogWork, TargetsStayThroughALostLinkUntilTheNextListReplacesThem) {
  target_device_activate(&g_syslog_device_manager);
  ASSERT_EQ(syslog_target_device_add_by_ip("127.0.0.1", "dev-old"), 0);
  ASSERT_EQ(syslog_target_device_add_by_ip("127.0.0.2", "dev-gone"), 0);
  syslog_link_lost();
  EXPECT_EQ(work("127.0.0.2", "<1>while down"), 0);
  ASSERT_EQ(syslog_target_device_add_by_ip("127.0.0.1", "dev-new"), 0);
  ASSERT_EQ(syslog_target_device_add_by_ip("127.0.0.3", "dev-3"), 0);
  EXPECT_EQ(target_device_count(&g_syslog_device_manager), 2u);
  EXPECT_EQ(work("127.0.0.2", "<1>after"), SYSLOG_DROPPED);
  EXPECT_EQ(work("127.0.0.1", "<1>after"), 0);
  ASSERT_EQ(g_syslog.sender_queue.count, 2u);
  auto *rec =
      static_cast<syslog_data_t *>(vlist_get_data_from_item(nullptr, g_syslog.sender_queue.tail));
  EXPECT_STREQ(rec->device_id, "dev-new");
}

TEST_F(SyslogWork, StopBeforeTheFirstStartReturnsAtOnceAndKeepsTheProcess) {
  // The collector link may drop before the first activation; the stop then
  // has no thread to wait for and must not end the process.
  EXPECT_EXIT(
      {
        syslog_shutdown(1);
        syslog_shutdown(1);
        exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}

TEST(SyslogSend, QueuedMessagesGoOutInBatchesOfAtMostAThousand) {
  rxtest::queue_link link;
  vlist_t list;
  vlist_init(&list, nullptr, nullptr);
  for (int i = 0; i < 2500; i++) {
    std::string msg = "<" + std::to_string(i % 192) + ">message " + std::to_string(i);
    vlist_item_t *item = nullptr;
    auto *rec =
        static_cast<syslog_data_t *>(vlist_new_item(sizeof(syslog_data_t) + msg.size() + 1, &item));
    snprintf(rec->device_id, sizeof(rec->device_id), "dev-%d", i % 3);
    snprintf(rec->client_ip, sizeof(rec->client_ip), "127.0.0.%d", 1 + i % 3);
    char *copy = reinterpret_cast<char *>(rec + 1);
    memcpy(copy, msg.data(), msg.size());
    rec->msg = copy;
    rec->msg_len = msg.size();
    rec->facility = static_cast<uint32_t>(i % 192) >> 3;
    rec->severity = static_cast<uint32_t>(i % 8);
    rec->collect_time = 1000u + static_cast<uint64_t>(i);
    vlist_push_back(&list, item);
  }
  uint32_t packs = g_syslog.perf.pack_count.load();
  while (list.count > 0) ASSERT_EQ(syslog_send_list(&list), 0);
  EXPECT_EQ(g_syslog.perf.pack_count.load() - packs, 3u);
  int next = 0;
  for (int want : {1000, 1000, 500}) {
    bytes p;
    ASSERT_EQ(link.pop(&p), DG_PKT_SYSLOG);
    std::vector<uint8_t> ws(1 << 20);
    network_syslog_list_t *m = network_syslog_list_new(ws.data(), ws.size());
    ASSERT_GE(network_syslog_list_decode(m, p.data(), p.size()), 0);
    ASSERT_EQ(m->logs.length, want);
    for (int k = 0; k < want; k++, next++) {
      const network_syslog_t &e = m->logs.items_p[k];
      std::string msg = "<" + std::to_string(next % 192) + ">message " + std::to_string(next);
      ASSERT_EQ(std::string(reinterpret_cast<const char *>(e.message.buf_p), e.message.size), msg);
      ASSERT_EQ(std::string(e.device_id_p), "dev-" + std::to_string(next % 3));
      ASSERT_EQ(e.collect_time, 1000u + static_cast<uint64_t>(next));
      ASSERT_EQ(e.severity, static_cast<uint32_t>(next % 8));
    }
  }
  EXPECT_EQ(link.count(), 0u);
  // A refused batch loses its messages and frees them.
  link.conn->connection_state.store(DG_STATE_DISCONNECTED);
  vlist_item_t *item = nullptr;
  auto *rec = static_cast<syslog_data_t *>(vlist_new_item(sizeof(syslog_data_t) + 2, &item));
  rec->msg = "x";
  rec->msg_len = 1;
  vlist_push_back(&list, item);
  EXPECT_EQ(syslog_send_list(&list), -3);
  EXPECT_EQ(list.count, 0u);
}

// The agent's service from activation to shutdown with `logger` as the
// sender and dg-sim as the collector.
TEST(SyslogService, MessagesFromLoggerReachTheCollectorWithinASecond) {
  rxtest::init_threads();
  rxtest::sim_link sim;
  ASSERT_TRUE(sim.start()) << vktest::read_file(sim.sim.err_path);
  int port = vktest::free_port(SOCK_DGRAM);
  ASSERT_GT(port, 0);
  g_agent_config.syslog_port = port;
  ASSERT_EQ(syslog_init(), 0);
  // A manager made before this test (another test's init) keeps its port.
  g_syslog.server->port = static_cast<uint16_t>(port);
  target_device_manager_clean(&g_syslog_device_manager);
  test_clock_install(1700000000000ull);
  uint32_t threads = tm_count();
  ASSERT_EQ(syslog_startup(), 0);
  ASSERT_EQ(syslog_startup(), 0);  // a second activation: no twins
  ASSERT_EQ(syslog_target_device_add_by_ip("127.0.0.1", "dev-sys-1"), 0);
  ASSERT_EQ(syslog_target_device_add_by_ip("::1", "dev-sys-6"), 0);
  ASSERT_TRUE(vktest::wait_until(
      [] {
        udp_server_manager_t *m = g_syslog.server;
        if (m->servers.load() == nullptr) return false;
        for (int i = 0; i < m->work_thread_count; i++) {
          if (m->servers.load()[i].status.load() != UDP_SERVER_STATUS_RECEIVING) return false;
        }
        return true;
      },
      5000));
  EXPECT_EQ(tm_count(), threads + 2 + SYSLOG_RECEIVER_THREADS);
  std::string p = std::to_string(port);
  vktest::run_result a =
      vktest::run_program({"/usr/bin/logger", "--rfc3164", "-d", "-n", "127.0.0.1", "-P", p, "-p",
                           "local4.crit", "-t", "router", "it's link down"});
  ASSERT_EQ(a.status, 0) << a.err;
  vktest::run_result b =
      vktest::run_program({"/usr/bin/logger", "--rfc5424", "-d", "-n", "127.0.0.1", "-P", p, "-p",
                           "auth.notice", "-t", "sw", "--msgid", "ID47", "five four two four"});
  ASSERT_EQ(b.status, 0) << b.err;
  vktest::run_result c = vktest::run_program(
      {"/usr/bin/logger", "--rfc3164", "-d", "-n", "::1", "-P", p, "-t", "v6", "over ipv6"});
  ASSERT_EQ(c.status, 0) << c.err;
  // Not registered, and not syslog: dropped.
  ASSERT_TRUE(
      rxtest::send_from("127.0.0.2", static_cast<uint16_t>(port), rxtest::text("<13>other")));
  ASSERT_TRUE(rxtest::send_from("127.0.0.1", static_cast<uint16_t>(port), rxtest::text("no pri")));
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        std::string all = vktest::read_file(sim.out);
        return all.find(rxtest::hex("it's link down")) != std::string::npos &&
               all.find(rxtest::hex("five four two four")) != std::string::npos &&
               all.find(rxtest::hex("over ipv6")) != std::string::npos;
      },
      10000, 50))
      << vktest::read_file(sim.out);
  std::string all;
  for (const std::string &l : sim.lines_with("\"type\": 54104,")) all += l + "\n";
  // local4.crit = 20 * 8 + 2; auth.notice = 4 * 8 + 5.
  EXPECT_NE(all.find("\"facility\": 20, \"severity\": 2"), std::string::npos) << all;
  EXPECT_NE(all.find("\"facility\": 4, \"severity\": 5"), std::string::npos) << all;
  EXPECT_NE(all.find("\"message\": \"" + rxtest::hex("<162>")), std::string::npos) << all;
  EXPECT_NE(all.find("\"message\": \"" + rxtest::hex("<37>1 ")), std::string::npos) << all;
  EXPECT_NE(all.find(rxtest::hex("ID47")), std::string::npos) << all;
  EXPECT_NE(all.find("\"device_id\": \"dev-sys-1\""), std::string::npos) << all;
  EXPECT_NE(all.find("\"device_id\": \"dev-sys-6\", \"received_ip\": \"::1\""), std::string::npos)
      << all;
  EXPECT_NE(all.find("\"collect_time\": 1700000000000000000"), std::string::npos) << all;
  EXPECT_EQ(all.find(rxtest::hex("other")), std::string::npos) << all;
  EXPECT_EQ(all.find(rxtest::hex("no pri")), std::string::npos) << all;

  EXPECT_EQ(syslog_shutdown(3), 0);
  EXPECT_EQ(g_syslog.thread_status.load(), TARGET_SERVICE_DOWN);
  EXPECT_EQ(g_syslog.sender_status.load(), TARGET_SERVICE_DOWN);
  EXPECT_EQ(g_syslog.server->servers.load(), nullptr);
  EXPECT_EQ(target_device_count(&g_syslog_device_manager), 0u);
  EXPECT_EQ(syslog_shutdown(3), 0);
  test_clock_uninstall();
}

}  // namespace

namespace {

// The syslog-only mode as a user starts it: its receivers run at once and,
// with no registered device yet, write every datagram to "syslog-dump" and
// drop it; start-up then goes on.
TEST(SyslogProgram, SyslogOnlyModeDumpsWhatArrives) {
  vktest::temp_dir dir;
  std::string home = dir.path;
  for (const char *d : {"/conf", "/data", "/log", "/mibs"}) mkdir((home + d).c_str(), 0755);
  vktest::write_file(home + "/conf/qdr.conf", "receiver_ip=127.0.0.1\nreceiver_port=" +
                                                  std::to_string(vktest::free_port(SOCK_STREAM)) +
                                                  "\n");
  vktest::write_file(home + "/conf/log.conf",
                     "[qdr-agent]\ndirectory=" + home +
                         "/log\nfilename=qdr-agent.log\noutput_type=file\nlevel=<info\n"
                         "[syslog-dump]\ndirectory=" +
                         home + "/log\nfilename=syslog-dump.log\noutput_type=file\nlevel=<trace\n");
  int port = vktest::free_port(SOCK_DGRAM);
  vktest::child agent =
      vktest::start_program({vktest::built_program("qdr-agent/qdr-agent"), "--syslog-only",
                             "--syslog-port=" + std::to_string(port)},
                            home, {"VOSK_QDR_HOME=" + home});
  ASSERT_GT(agent.pid, 0);
  std::string dump_path = home + "/log/syslog-dump.log";
  bool dumped = vktest::wait_until(
      [&] {
        vktest::run_program({"/usr/bin/logger", "--rfc3164", "-d", "-n", "127.0.0.1", "-P",
                             std::to_string(port), "-t", "edge", "syslog-only mode"});
        return vktest::read_file(dump_path).find("edge: syslog-only mode") != std::string::npos;
      },
      15000, 200);
  EXPECT_TRUE(dumped) << vktest::read_file(agent.out_path)
                      << vktest::read_file(home + "/log/qdr-agent.log");
  EXPECT_NE(vktest::read_file(agent.out_path).find("syslog-only"), std::string::npos);
  // Start-up went on: the main loop stops when the pid file goes.
  unlink((home + "/data/qdr-agent.pid").c_str());
  EXPECT_EQ(vktest::wait_program(agent, 10000), 0);
  if (agent.pid > 0) vktest::stop_program(agent);
}

// A home that any user may use, for the receivers' modes on `port`.
std::string only_mode_home(const vktest::temp_dir &dir) {
  std::string home = dir.path;
  chmod(home.c_str(), 0777);
  for (const char *d : {"/conf", "/data", "/log", "/mibs"}) {
    mkdir((home + d).c_str(), 0777);
    chmod((home + d).c_str(), 0777);
  }
  vktest::write_file(home + "/conf/qdr.conf", "receiver_ip=127.0.0.1\nreceiver_port=" +
                                                  std::to_string(vktest::free_port(SOCK_STREAM)) +
                                                  "\n");
  vktest::write_file(home + "/conf/log.conf", "[qdr-agent]\ndirectory=" + home +
                                                  "/log\nfilename=qdr-agent.log\n"
                                                  "output_type=file\nlevel=<info\n");
  return home;
}

// Neither receiver mode pretends to receive when its port cannot be bound,
// whether the port is taken or not permitted to an unprivileged user: it
// names the service, address and port with the system's reason, says
// "couldn't open udp:<port>" and ends with status 1.
TEST(SyslogProgram, ReceiverModesThatCannotBindSayItAndExitOne) {
  int held = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
  socklen_t len = sizeof(a);
  getsockname(held, reinterpret_cast<sockaddr *>(&a), &len);
  std::string taken = std::to_string(ntohs(a.sin_port));
  struct {
    std::vector<std::string> prefix;
    const char *mode;
    const char *service;
    std::string port;
    const char *reason;
  } cases[] = {
      {{}, "syslog", "syslog", taken, "Address already in use"},
      {{}, "snmptrap", "snmp_trap", taken, "Address already in use"},
      {{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"},
       "snmptrap",
       "snmp_trap",
       "162",
       "Permission denied"},
  };
  for (const auto &c : cases) {
    vktest::temp_dir dir;
    std::string home = only_mode_home(dir);
    std::vector<std::string> argv = c.prefix;
    argv.insert(argv.end(),
                {vktest::built_program("qdr-agent/qdr-agent"), std::string("--") + c.mode + "-only",
                 std::string("--") + c.mode + "-port=" + c.port});
    vktest::run_result r = vktest::run_program(argv, {"VOSK_QDR_HOME=" + home}, home, 20000);
    if (!c.prefix.empty() && r.err.find("setpriv") != std::string::npos) {
      GTEST_SKIP() << "setpriv refused: " << r.err;
    }
    EXPECT_EQ(r.status, 1) << c.mode << r.out << r.err;
    EXPECT_NE(r.err.find(std::string("[") + c.service + "] cannot bind udp [::] port " + c.port +
                         ": " + c.reason),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(std::string(c.mode) + "-only: couldn't open udp:" + c.port),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("receiving on udp port"), std::string::npos) << r.out;
  }
  close(held);
}

}  // namespace

namespace {

// The whole agent with the collector listing its devices: syslog lines from
// `logger` and traps from `snmptrap` sent by a listed device reach dg-sim
// with its id; a device listed without syslog and trap collection has its
// syslog dropped and its traps forwarded as "unknown id".
TEST(ReceiversProgram, ListedDevicesHaveTheirSyslogAndTrapsForwarded) {
  vktest::temp_dir dir;
  std::string home = dir.path;
  for (const char *d : {"/conf", "/data", "/log", "/mibs"}) mkdir((home + d).c_str(), 0755);
  std::string scenario = home + "/scenario.json";
  vktest::write_file(scenario, R"({"on_request": {"device_list": [
    {"type": "DEVICE_LIST", "message": {"request_id": "rx-devices", "devices": [
      {"id": "dev-rx", "name": "listed", "ip": {"version": 4, "addr": "127.0.0.1"}, "port": 161,
       "snmp": {"version": "v2c", "community": "public"},
       "collect_syslog": true, "collect_snmp_trap": true, "flag": "device_flag_update"},
      {"id": "dev-quiet", "name": "no events", "ip": {"version": 4, "addr": "127.0.0.3"},
       "port": 161, "snmp": {"version": "v2c", "community": "public"},
       "flag": "device_flag_update"}]}}]}})");
  std::string out = home + "/packets.jsonl";
  std::string port_file = home + "/port";
  vktest::child sim = vktest::start_program(
      {vktest::built_program("tools/dg-sim/dg-sim"), "--port", "0", "--port-file", port_file,
       "--scenario", scenario, "--out", out, "--quiet"},
      home);
  ASSERT_TRUE(vktest::wait_until([&] { return vktest::file_exists(port_file); }, 15000));
  int syslog_port = vktest::free_port(SOCK_DGRAM);
  int trap_port = vktest::free_port(SOCK_DGRAM);
  vktest::write_file(home + "/conf/qdr.conf",
                     "receiver_ip=127.0.0.1\nreceiver_port=" + vktest::read_file(port_file) +
                         "\nsyslog_port=" + std::to_string(syslog_port) +
                         "\nsnmptrap_port=" + std::to_string(trap_port) + "\n");
  std::string log = home + "/log/qdr-agent.log";
  vktest::write_file(home + "/conf/log.conf", "[qdr-agent]\ndirectory=" + home +
                                                  "/log\nfilename=qdr-agent.log\n"
                                                  "output_type=file\nlevel=<info\n");
  bytes quiet_trap = rxtest::capture({"/usr/bin/snmptrap", "-v", "2c", "-c", "public",
                                      "127.0.0.1:PORT", "7", ".1.3.6.1.6.3.1.1.5.1"});
  vktest::child agent = vktest::start_program({vktest::built_program("qdr-agent/qdr-agent")}, home,
                                              {"VOSK_QDR_HOME=" + home});
  ASSERT_GT(agent.pid, 0);
  // Both receivers run (3 s after activation) and the device list is in.
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        std::string l = vktest::read_file(log);
        size_t first = l.find("udp server call.");
        return first != std::string::npos &&
               l.find("udp server call.", first + 1) != std::string::npos &&
               l.find("device: id[dev-quiet]") != std::string::npos;
      },
      20000, 100))
      << vktest::read_file(log);
  std::string sp = std::to_string(syslog_port);
  std::string tp = "127.0.0.1:" + std::to_string(trap_port);
  vktest::run_program({"/usr/bin/logger", "--rfc3164", "-d", "-n", "127.0.0.1", "-P", sp, "-p",
                       "daemon.err", "-t", "core", "fan tray 2 failed"});
  vktest::run_program({"/usr/bin/logger", "--rfc5424", "-d", "-n", "127.0.0.1", "-P", sp, "-p",
                       "user.info", "-t", "edge", "config saved"});
  vktest::run_program({"/usr/bin/snmptrap", "-v", "1", "-c", "public", tp, ".1.3.6.1.4.1.8072",
                       "127.0.0.1", "3", "0", "100", ".1.3.6.1.2.1.2.2.1.2.2", "s", "eth1"});
  vktest::run_program({"/usr/bin/snmptrap", "-v", "2c", "-c", "public", tp, "200",
                       ".1.3.6.1.6.3.1.1.5.3", ".1.3.6.1.2.1.2.2.1.2.2", "s", "eth2"});
  vktest::run_program({"/usr/bin/snmptrap", "-Ci", "-r", "0", "-t", "1", "-v", "2c", "-c", "public",
                       tp, "300", ".1.3.6.1.6.3.1.1.5.4", ".1.3.6.1.2.1.2.2.1.2.2", "s", "eth3"});
  ASSERT_TRUE(rxtest::send_from("127.0.0.3", static_cast<uint16_t>(syslog_port),
                                rxtest::text("<13>from the quiet device")));
  ASSERT_TRUE(rxtest::send_from("127.0.0.3", static_cast<uint16_t>(trap_port), quiet_trap));
  auto traps = [&] {
    std::string all = vktest::read_file(out);
    int n = 0;
    for (size_t at = all.find("\"type\": 54105,"); at != std::string::npos;
         at = all.find("\"type\": 54105,", at + 1)) {
      n++;
    }
    return n;
  };
  bool arrived = vktest::wait_until(
      [&] {
        std::string all = vktest::read_file(out);
        return traps() == 4 && all.find(rxtest::hex("config saved")) != std::string::npos &&
               all.find(rxtest::hex("fan tray 2 failed")) != std::string::npos;
      },
      15000, 100);
  std::string all = vktest::read_file(out);
  EXPECT_TRUE(arrived) << all;
  EXPECT_NE(all.find("\"device_id\": \"dev-rx\", \"received_ip\": \"127.0.0.1\", \"facility\": 3, "
                     "\"severity\": 3"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("\"message\": \" eth3\""), std::string::npos) << all;  // the inform
  EXPECT_NE(all.find("\"enterprise_oid\": \".1.3.6.1.4.1.8072\", \"generic_trap_type\": 3"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("\"device_id\": \"unknown id\", \"received_ip\": \"127.0.0.3\""),
            std::string::npos)
      << all;
  EXPECT_EQ(all.find(rxtest::hex("from the quiet device")), std::string::npos) << all;
  unlink((home + "/data/qdr-agent.pid").c_str());
  EXPECT_EQ(vktest::wait_program(agent, 10000), 0);
  if (agent.pid > 0) vktest::stop_program(agent);
  vktest::stop_program(sim);
}

// Stops a child started by the test on every way out of it.
struct stop_at_exit {
  vktest::child *c;
  ~stop_at_exit() { vktest::stop_program(*c); }
};

// A collector restart loses nothing the receivers accepted: with dg-sim
// killed, syslog lines from `logger` and traps and an inform keep being
// accepted (the inform is answered), still under the listed device's id,
// and reach the restarted collector after the handshake, in the order
// they arrived. The statistics show the receivers and the buffer.
TEST(ReceiversProgram, CollectorRestartLosesNothingAccepted) {
  vktest::temp_dir dir;
  std::string home = dir.path;
  for (const char *d : {"/conf", "/data", "/log", "/mibs"}) mkdir((home + d).c_str(), 0755);
  std::string scenario = home + "/scenario.json";
  vktest::write_file(scenario, R"({"on_request": {"device_list": [
    {"type": "DEVICE_LIST", "message": {"request_id": "rx-devices", "devices": [
      {"id": "dev-rx", "name": "listed", "ip": {"version": 4, "addr": "127.0.0.1"}, "port": 161,
       "snmp": {"version": "v2c", "community": "public"},
       "collect_syslog": true, "collect_snmp_trap": true, "flag": "device_flag_update"}]}}]}})");
  std::string port_file = home + "/port";
  auto start_sim = [&](const std::string &port, const std::string &out) {
    return vktest::start_program(
        {vktest::built_program("tools/dg-sim/dg-sim"), "--port", port, "--port-file", port_file,
         "--scenario", scenario, "--out", out, "--quiet"},
        home);
  };
  std::string out1 = home + "/before.jsonl";
  vktest::child sim = start_sim("0", out1);
  stop_at_exit sim_guard{&sim};  // also when an assertion ends the test early
  ASSERT_TRUE(vktest::wait_until([&] { return vktest::file_exists(port_file); }, 15000));
  std::string collector_port = vktest::read_file(port_file);
  int syslog_port = vktest::free_port(SOCK_DGRAM);
  int trap_port = vktest::free_port(SOCK_DGRAM);
  vktest::write_file(home + "/conf/qdr.conf",
                     "receiver_ip=127.0.0.1\nreceiver_port=" + collector_port +
                         "\nsyslog_port=" + std::to_string(syslog_port) + "\nsnmptrap_port=" +
                         std::to_string(trap_port) + "\nevent_buffer_bytes=1048576\n");
  std::string log = home + "/log/qdr-agent.log";
  vktest::write_file(home + "/conf/log.conf", "[qdr-agent]\ndirectory=" + home +
                                                  "/log\nfilename=qdr-agent.log\n"
                                                  "output_type=file\nlevel=<info\n");
  vktest::child agent = vktest::start_program({vktest::built_program("qdr-agent/qdr-agent")}, home,
                                              {"VOSK_QDR_HOME=" + home});
  stop_at_exit agent_guard{&agent};
  ASSERT_GT(agent.pid, 0);
  std::string sp = std::to_string(syslog_port);
  std::string tp = "127.0.0.1:" + std::to_string(trap_port);
  auto syslog_line = [&](const std::string &text) {
    vktest::run_program(
        {"/usr/bin/logger", "--rfc3164", "-d", "-n", "127.0.0.1", "-P", sp, "-t", "rx", text});
  };
  // Up and listed: a line sent now arrives.
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        syslog_line("before the restart");
        return vktest::read_file(out1).find(rxtest::hex("before the restart")) != std::string::npos;
      },
      20000, 500))
      << vktest::read_file(log);

  vktest::stop_program(sim);
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(log).find("agent function deactivate.") != std::string::npos;
      },
      10000, 50))
      << vktest::read_file(log);
  // One logger process sends the lines from one socket, as a device does:
  // the receivers spread datagrams over their threads by source address and
  // port, so order holds within one source, not across separate senders.
  constexpr int kLines = 30;
  std::string lines;
  for (int i = 0; i < kLines; i++) lines += "while down " + std::to_string(i) + "\n";
  vktest::write_file(home + "/down.txt", lines);
  vktest::run_program({"/usr/bin/logger", "--rfc3164", "-d", "-n", "127.0.0.1", "-P", sp, "-t",
                       "rx", "-f", home + "/down.txt"});
  vktest::run_program({"/usr/bin/snmptrap", "-v", "2c", "-c", "public", tp, "1",
                       ".1.3.6.1.6.3.1.1.5.3", ".1.3.6.1.2.1.2.2.1.2.2", "s", "trap while down"});
  vktest::run_result inform = vktest::run_program(
      {"/usr/bin/snmpinform", "-v", "2c", "-c", "public", "-r", "2", "-t", "3", tp, "2",
       ".1.3.6.1.6.3.1.1.5.4", ".1.3.6.1.2.1.2.2.1.2.2", "s", "inform while down"});
  EXPECT_EQ(inform.status, 0) << inform.err;
  // Held, and shown in the statistics.
  ASSERT_TRUE(vktest::wait_until(
      [&] { return vktest::read_file(log).find("event buffer: held[") != std::string::npos; },
      10000, 100));

  std::string out2 = home + "/after.jsonl";
  sim = start_sim(collector_port, out2);
  bool arrived = vktest::wait_until(
      [&] {
        std::string all = vktest::read_file(out2);
        return all.find(rxtest::hex("while down " + std::to_string(kLines - 1))) !=
                   std::string::npos &&
               all.find("inform while down") != std::string::npos;
      },
      30000, 200);
  std::string all = vktest::read_file(out2);
  ASSERT_TRUE(arrived) << all << vktest::read_file(log);
  size_t last = 0;
  for (int i = 0; i < kLines; i++) {
    size_t at = all.find(rxtest::hex("while down " + std::to_string(i)) + "\"");
    ASSERT_NE(at, std::string::npos) << i;
    EXPECT_GT(at, last) << "line " << i << " out of order";
    last = at;
  }
  EXPECT_NE(all.find("\"device_id\": \"dev-rx\", \"received_ip\": \"127.0.0.1\", "
                     "\"snmp_version\": \"v2c\""),
            std::string::npos)
      << all;
  EXPECT_EQ(all.find("unknown id"), std::string::npos) << all;
  EXPECT_LT(all.find("trap while down"), all.find("inform while down")) << all;
  // Sent after the handshake: the agent's announcement comes first.
  EXPECT_LT(all.find("\"type\": 10043"), all.find("\"type\": 54104")) << all;
  std::string l = vktest::read_file(log);
  EXPECT_NE(l.find("receiver: syslog udp [::]:" + sp + " receiving "), std::string::npos) << l;
  EXPECT_NE(l.find("[evbuf_flush] held events sent after the reconnect."), std::string::npos) << l;
  EXPECT_EQ(l.find("add_packet_to_dgcomm() has failed"), std::string::npos) << l;
  EXPECT_NE(l.find("outbox: refused["), std::string::npos) << l;
  unlink((home + "/data/qdr-agent.pid").c_str());
  EXPECT_EQ(vktest::wait_program(agent, 10000), 0);
  if (agent.pid > 0) vktest::stop_program(agent);
  vktest::stop_program(sim);
}

}  // namespace
