// The ping worker with its threads: latency records of registered devices
// reaching the stand-in collector tools/dg-sim over the real collector link,
// and what one record carries when its texts are long or its device has no
// SNMP status. Time runs on the manual test clock, so the worker's ten
// one-second sleeps pass at once.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "common.h"
#include "communication.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "icmp.h"
#include "network_public_stat.h"
#include "target_device.h"
#include "test_clock.h"
#include "test_process.h"
#include "thread_manager.h"
#include "vklog.h"

namespace {

constexpr uint64_t kT0 = 1700000000000ull;  // ms since the epoch

int no_hook() {
  return 0;
}
std::atomic<int> g_activations{0};
int count_activate() {
  return ++g_activations, 0;
}

std::vector<std::string> lines_with(const std::string &path, const std::string &needle) {
  return vktest::read_lines(path, needle);
}

// Text of a JSON field, up to the next ',' or '}' (good enough for the
// flat latency message).
std::string field(const std::string &line, const std::string &name) {
  size_t p = line.find("\"" + name + "\": ");
  if (p == std::string::npos) return "";
  p += name.size() + 4;
  size_t e = line.find_first_of(",}", p);
  return line.substr(p, e - p);
}

class IcmpWorker : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (getenv("ICMP_TEST_LOG") != nullptr) g_vklog = vklog_get_category(nullptr);
    tm_init();
    common_init();
  }
  void SetUp() override {
    target_device_clear(&g_icmp_device_manager);
    g_icmp_worker_status.store(TARGET_SERVICE_NONE);
    ASSERT_EQ(icmp_init(), 0);
  }
  void TearDown() override {
    test_clock_uninstall();
    icmp_shutdown(3);
    if (conn != nullptr) {
      if (threads) {
        shutdown_dg_connection(conn);
        EXPECT_TRUE(vktest::wait_until(
            [&] {
              return conn->thread_running_comm.load() == 0 &&
                     conn->thread_running_sender.load() == 0;
            },
            10000));
      }
      gp_main_dgconn = nullptr;
      EXPECT_EQ(dg_conn_free(conn), 0);
    }
    if (sim.pid > 0) vktest::stop_program(sim);
    target_device_clear(&g_icmp_device_manager);
  }
  // The stored SNMP status of `id` is there.
  static bool stored(const char *id) {
    target_snmp_status s;
    return target_device_get_user_data_by_id(&g_icmp_device_manager, id, &s) == 0;
  }

  dg_conn *conn = nullptr;
  bool threads = false;
  vktest::temp_dir dir;
  vktest::child sim;
};

TEST_F(IcmpWorker, RecordsOfRegisteredDevicesReachTheCollectorEveryCycle) {
  if (!vktest::raw_icmp_allowed()) GTEST_SKIP() << "raw ICMP sockets refused: needs root";
  // The collector and the link, on the real clock.
  std::string out = dir.path + "/packets.jsonl";
  std::string port_file = dir.path + "/port";
  sim = vktest::start_program({vktest::built_program("tools/dg-sim/dg-sim"), "--port", "0",
                               "--port-file", port_file, "--out", out, "--quiet"},
                              dir.path);
  ASSERT_GT(sim.pid, 0);
  ASSERT_TRUE(vktest::wait_until([&] { return vktest::file_exists(port_file); }, 15000));
  uint16_t port = static_cast<uint16_t>(strtoul(vktest::read_file(port_file).c_str(), nullptr, 10));
  g_activations = 0;
  dgcomm_init();
  conn = make_dg_conn("127.0.0.1", port, 1000);
  ASSERT_NE(conn, nullptr);
  dg_link_callbacks_t cb = {};
  comm_link_callbacks(&cb);
  cb.activate = count_activate;
  cb.deactivate = no_hook;
  dg_link_set_callbacks(conn, &cb);
  gp_main_dgconn = conn;
  threads = true;
  ASSERT_EQ(create_dg_connection(conn), 0);
  ASSERT_TRUE(vktest::wait_until([] { return g_activations.load() == 1; }, 10000));

  test_clock_install(kT0);
  ASSERT_EQ(icmp_startup(), 0);
  ASSERT_EQ(icmp_target_device_add_by_ip("127.0.0.1", "dev-a"), 0);
  ASSERT_EQ(icmp_target_device_add_by_ip("::1", "dev-b"), 0);
  ASSERT_EQ(icmp_target_device_add_by_ip("127.0.0.1", "dev-c"), 0);  // same address as dev-a
  ASSERT_EQ(icmp_target_device_add_by_ip("no-such-host.invalid", "dev-d"), 0);
  ASSERT_EQ(icmp_target_device_add_by_ip("127.0.0.3", "dev-e"), 0);  // never collected
  EXPECT_EQ(icmp_target_device_add_by_ip(std::string(80, '1').c_str(), "dev-f"), -3);
  // Reports pushed before the store thread runs are dropped: repeat them.
  ASSERT_TRUE(vktest::wait_until(
      [] {
        EXPECT_EQ(icmp_push_snmp_latency("dev-a", "", 1, 2500000), 0);
        icmp_note_snmp_failure("Timeout");  // dev-b's collection failed
        EXPECT_EQ(icmp_push_snmp_latency("dev-b", "", 0, 4000000), 0);
        EXPECT_EQ(icmp_push_snmp_latency("dev-c", "", 1, 1000000), 0);
        EXPECT_EQ(icmp_push_snmp_latency("dev-d", "", 1, 750000), 0);
        EXPECT_EQ(icmp_push_snmp_latency("dev-x", "", 1, 1000000), 0);  // not registered
        return stored("dev-a") && stored("dev-b") && stored("dev-c") && stored("dev-d");
      },
      10000, 50));
  EXPECT_FALSE(stored("dev-x"));
  // Cycles from here on start at T1 and see every status.
  test_clock_advance_msec(1000000);
  std::string t1 = std::to_string((kT0 + 1000000) * 1000000ull);
  ASSERT_TRUE(vktest::wait_until([&] { return lines_with(out, t1).size() >= 9; }, 20000))
      << lines_with(out, "54106").size() << " records";
  EXPECT_EQ(g_icmp_worker_status.load(), TARGET_SERVICE_UP);

  std::vector<std::string> recs = lines_with(out, t1);
  // Per cycle: the failed add at once, then the pinged hosts in order.
  const char *order[] = {"\"dev-d\"", "\"dev-a\"", "\"dev-b\""};
  for (size_t i = 0; i < 9; i++) {
    const std::string &r = recs[i];
    SCOPED_TRACE(r);
    EXPECT_EQ(field(r, "type"), "54106");
    EXPECT_EQ(field(r, "device_id"), order[i % 3]);
    if (i % 3 == 0) {
      EXPECT_EQ(field(r, "latency"), "-1.0");
      EXPECT_EQ(field(r, "icmp_success"), "");
      EXPECT_EQ(field(r, "icmp_fail_message").rfind("\"getaddrinfo: ", 0), 0u);
      EXPECT_EQ(field(r, "snmp_res_time"), "0.75");
    } else {
      EXPECT_EQ(field(r, "icmp_success"), "true");
      EXPECT_EQ(field(r, "latency").find('-'), std::string::npos);
      EXPECT_EQ(field(r, "icmp_fail_message"), "");
      EXPECT_EQ(field(r, "snmp_res_time"), i % 3 == 1 ? "2.5" : "4.0");
      // A failed collection is reported as failed, with its reason.
      EXPECT_EQ(field(r, "snmp_res_success"), i % 3 == 1 ? "true" : "");
      EXPECT_EQ(field(r, "snmp_fail_message"), i % 3 == 1 ? "" : "\"Timeout\"");
    }
  }
  EXPECT_TRUE(lines_with(out, "\"dev-c\"").empty());
  EXPECT_TRUE(lines_with(out, "\"dev-e\"").empty());

  test_clock_uninstall();
  EXPECT_EQ(icmp_shutdown(3), 0);
  EXPECT_EQ(g_icmp_worker_status.load(), TARGET_SERVICE_DOWN);
  EXPECT_EQ(target_device_count(&g_icmp_device_manager), 0u);
  EXPECT_EQ(icmp_shutdown(3), 0);  // only logs that ICMP is down
  EXPECT_EQ(g_icmp_worker_status.load(), TARGET_SERVICE_DOWN);
}

// Takes the oldest queued packet's payload.
std::vector<uint8_t> pop(dg_conn *conn, uint16_t *type) {
  mlist_item_t *item = nullptr;
  pkt_data *pd = static_cast<pkt_data *>(mlist_pop_front_data(&conn->send_queue, nullptr, &item));
  if (pd == nullptr) return {};
  *type = pd->type;
  std::vector<uint8_t> p(pd->body, pd->body + pd->body_len);
  remove_pkt(conn, item);
  return p;
}

TEST_F(IcmpWorker, RecordWithLongTextsIsSentWholeAndRecordsWithoutStatusAreNot) {
  dgcomm_init();
  conn = make_dg_conn("127.0.0.1", 9010, 2);
  ASSERT_NE(conn, nullptr);
  gp_main_dgconn = conn;
  ASSERT_EQ(target_device_activate(&g_icmp_device_manager), 0);
  ASSERT_EQ(icmp_target_device_add_by_ip("127.0.0.9", "dev-long"), 0);
  target_snmp_status *st = static_cast<target_snmp_status *>(calloc(1, sizeof(*st)));
  ASSERT_NE(st, nullptr);
  st->snmp_latency = 12.5;
  std::string snmp_err = std::string(1000, 's') + "|end";
  memcpy(st->err_message, snmp_err.c_str(), snmp_err.size() + 1);
  target_device_set_user_data_by_id(&g_icmp_device_manager, "dev-long", st);

  std::string icmp_err = "getaddrinfo: " + std::string(1000, 'i') + "|end";
  // Not connected: refused and dropped.
  EXPECT_EQ(icmp_send_data(42, "dev-long", -1.0, icmp_err.c_str()), -4);
  conn->connection_state.store(DG_STATE_CONNECTED);
  EXPECT_EQ(icmp_send_data(42, "dev-long", -1.0, icmp_err.c_str()), 0);
  EXPECT_EQ(icmp_send_data(43, "dev-long", 3.25, "not a failure"), 0);
  EXPECT_EQ(icmp_send_data(44, "dev-long", 3.25, nullptr), -4);  // queue full
  EXPECT_EQ(icmp_send_data(42, "dev-unknown", 1.0, nullptr), -1);

  alignas(8) uint8_t ws[8192];
  uint16_t type = 0;
  std::vector<uint8_t> p = pop(conn, &type);
  EXPECT_EQ(type, 54106);
  network_device_latency_t *m = network_device_latency_new(ws, sizeof(ws));
  ASSERT_GT(network_device_latency_decode(m, p.data(), p.size()), 0);
  EXPECT_STREQ(m->device_id_p, "dev-long");
  EXPECT_EQ(m->latency, -1.0);
  EXPECT_FALSE(m->icmp_success);
  EXPECT_EQ(std::string(m->icmp_fail_message_p), icmp_err);
  EXPECT_EQ(m->snmp_res_time, 12.5);
  EXPECT_FALSE(m->snmp_res_success);
  EXPECT_EQ(std::string(m->snmp_fail_message_p), snmp_err);
  EXPECT_EQ(m->collect_time, 42u);

  p = pop(conn, &type);
  m = network_device_latency_new(ws, sizeof(ws));
  ASSERT_GE(network_device_latency_decode(m, p.data(), p.size()), 0);
  EXPECT_EQ(m->latency, 3.25);
  EXPECT_TRUE(m->icmp_success);
  EXPECT_STREQ(m->icmp_fail_message_p, "");
  EXPECT_EQ(m->collect_time, 43u);
  EXPECT_TRUE(pop(conn, &type).empty());
}

// The latency records queued so far, by device id.
struct latency_record {
  double latency;
  bool icmp_success;
  std::string icmp_fail_message;
};

std::map<std::string, latency_record> drain(dg_conn *conn) {
  std::map<std::string, latency_record> recs;
  alignas(8) static uint8_t ws[8192];
  for (;;) {
    uint16_t type = 0;
    std::vector<uint8_t> p = pop(conn, &type);
    if (p.empty()) break;
    network_device_latency_t *m = network_device_latency_new(ws, sizeof(ws));
    EXPECT_GE(network_device_latency_decode(m, p.data(), p.size()), 0);
    recs[m->device_id_p] = {m->latency, m->icmp_success, m->icmp_fail_message_p};
  }
  return recs;
}

void register_with_status(const std::string &ip, const std::string &id) {
  ASSERT_EQ(icmp_target_device_add_by_ip(ip.c_str(), id.c_str()), 0);
  target_snmp_status *st = static_cast<target_snmp_status *>(calloc(1, sizeof(*st)));
  ASSERT_NE(st, nullptr);
  st->snmp_success = 1;
  target_device_set_user_data_by_id(&g_icmp_device_manager, id.c_str(), st);
}

// Four thousand devices in one cycle, each pinged with a request of the
// same small size (the payload once grew with the position until the
// requests failed), a request the system refuses to send, and a cycle in
// which no socket can be opened: every device gets its record, and a
// device that got no request says why.
TEST_F(IcmpWorker, ManyTargetsAreAllPingedAndRequestsNotSentSayWhy) {
  if (!vktest::raw_icmp_allowed()) GTEST_SKIP() << "raw ICMP sockets refused: needs root";
  dgcomm_init();
  conn = make_dg_conn("127.0.0.1", 9010, 5000);
  ASSERT_NE(conn, nullptr);
  gp_main_dgconn = conn;
  conn->connection_state.store(DG_STATE_CONNECTED);
  ASSERT_EQ(target_device_activate(&g_icmp_device_manager), 0);
  constexpr int kDevices = 4000;
  for (int n = 0; n < kDevices; n++) {
    register_with_status("127.1." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250),
                         "dev-" + std::to_string(n));
  }
  // A broadcast address without the broadcast option: sendto says EACCES.
  register_with_status("255.255.255.255", "dev-bcast");

  ASSERT_EQ(icmp_worker_cycle(), 0);
  std::map<std::string, latency_record> recs = drain(conn);
  ASSERT_EQ(recs.size(), static_cast<size_t>(kDevices + 1));
  int alive = 0;
  for (int n = 0; n < kDevices; n++) {
    const latency_record &r = recs["dev-" + std::to_string(n)];
    alive += r.latency >= 0.0 && r.icmp_success && r.icmp_fail_message.empty();
  }
  EXPECT_EQ(alive, kDevices);
  const latency_record &b = recs["dev-bcast"];
  EXPECT_EQ(b.latency, -1.0);
  EXPECT_FALSE(b.icmp_success);
  EXPECT_EQ(b.icmp_fail_message, std::string("icmp_sendto: ") + strerror(EACCES));

  // No descriptor left for the raw sockets: every record says so.
  target_device_manager_clean(&g_icmp_device_manager);
  register_with_status("127.0.0.1", "dev-a");
  register_with_status("::1", "dev-b");
  int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  EXPECT_EQ(icmp_worker_cycle(), 0);
  setrlimit(RLIMIT_NOFILE, &saved);
  recs = drain(conn);
  ASSERT_EQ(recs.size(), 2u);
  for (const auto &[id, r] : recs) {
    SCOPED_TRACE(id);
    EXPECT_EQ(r.latency, -1.0);
    EXPECT_EQ(r.icmp_fail_message, std::string("socket: ") + strerror(EMFILE));
  }
}

int threads_named(const char *name) {
  int n = 0;
  vkLock(&g_thread_manager_lock);
  mlist_item_t *cur = nullptr;
  while (void *d = mlist_getting_data(&g_thread_manager, nullptr, &cur)) {
    n += strcmp(static_cast<thread_info *>(d)->name, name) == 0;
  }
  vkUnlock(&g_thread_manager_lock);
  return n;
}

TEST_F(IcmpWorker, StartsOnceAndStopsWhenIdleNeverStartedOrJustStarted) {
  // Never started: nothing to wait for, so nothing timed out.
  EXPECT_EQ(icmp_shutdown(3), 0);
  EXPECT_EQ(g_icmp_worker_status.load(), TARGET_SERVICE_DOWN);

  g_icmp_worker_status.store(TARGET_SERVICE_NONE);
  test_clock_install(kT0);
  ASSERT_EQ(icmp_startup(), 0);
  ASSERT_TRUE(
      vktest::wait_until([] { return g_icmp_worker_status.load() == TARGET_SERVICE_UP; }, 10000));
  // A second activation starts no twin threads.
  EXPECT_EQ(icmp_startup(), 0);
  EXPECT_EQ(threads_named("icmp_worker"), 1);
  EXPECT_EQ(threads_named("icmp_user_data"), 1);
  // An empty registry: cycles run and find nothing to do.
  test_clock_uninstall();
  EXPECT_EQ(icmp_shutdown(3), 0);
  EXPECT_EQ(g_icmp_worker_status.load(), TARGET_SERVICE_DOWN);

  // Stopped at once, before or after the thread got to run: down either way.
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(icmp_startup(), 0);
    EXPECT_EQ(icmp_shutdown(3), 0);
    EXPECT_EQ(g_icmp_worker_status.load(), TARGET_SERVICE_DOWN) << i;
  }
}

}  // namespace
