// The collection queue and the collect thread pool: which events make a
// request, the pool against a private snmpd (FIFO order with one thread,
// every counter, the SNMP time reports, a missing pack, a session that
// cannot be opened, device performance in the decoded packets), stops
// while a thread waits in an SNMP time-out, and the pool with a scripted run
// function in place of the SNMP runner.
#include "collect_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collect_interface.h"
#include "collect_oid.h"
#include "collect_request.h"
#include "device.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "icmp.h"
#include "if_table_agent.h"
#include "network_public_stat.h"
#include "snmp_responder.h"
#include "snmp_test_env.h"
#include "snmpd_fixture.h"
#include "test_clock.h"
#include "thread_manager.h"

namespace {

const auto *const g_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(/*agent_output=*/true));

constexpr uint64_t kNow = 1700000000000ull;

event make_event(uint32_t type, uint64_t pack, uint32_t interval, uint64_t next, uint8_t use) {
  event e{};
  e.type = type;
  e.oid_pack_id = pack;
  e.interval = interval;
  e.collect_next_msec = next;
  e.use_flag = use;
  return e;
}

std::vector<uint32_t> request_types(collect_req_info *req) {
  std::vector<uint32_t> out;
  for (mlist_item_t *it = req->event_list.head; it != nullptr; it = it->next) {
    out.push_back(static_cast<event *>(it->data)->type);
  }
  return out;
}

TEST(CollectThread, DueEventsMakeOneRequestAndAdvanceWithoutDrift) {
  snmp_info info{};
  ASSERT_EQ(sm_set_snmp_info(&info, "127.0.0.1", 161, 1, 0, 0, "public"), 0);
  event evs[] = {
      make_event(COLT_EVENT_DEVICE_PERF, 1, 60, kNow - 2500, 1),  // late by 2.5 s
      make_event(COLT_EVENT_IF_STAT, 2, 10, kNow + 1, 1),         // not yet due
      make_event(COLT_EVENT_IF_PERF, 3, 10, kNow, 0),             // due, disabled
      make_event(COLT_EVENT_IF_PERF, 4, 0, kNow, 1),              // interval 0
      make_event(COLT_EVENT_IF_STAT, 5, 10, kNow - 25000, 1),     // far behind
  };
  collect_req_info *req = colt_req_info_new_with_info("router-1", evs, 5, &info, kNow);
  ASSERT_NE(req, nullptr);
  EXPECT_STREQ(req->device_id, "router-1");
  EXPECT_STREQ(req->snmp_info.peername, "127.0.0.1:161");
  EXPECT_EQ(request_types(req), (std::vector<uint32_t>{COLT_EVENT_DEVICE_PERF, COLT_EVENT_IF_PERF,
                                                       COLT_EVENT_IF_STAT}));
  EXPECT_EQ(evs[0].collect_next_msec, kNow - 2500 + 60000);  // from the old due time
  EXPECT_EQ(evs[1].collect_next_msec, kNow + 1);
  EXPECT_EQ(evs[2].collect_next_msec, kNow + 10000);  // advances though disabled
  EXPECT_EQ(evs[3].collect_next_msec, kNow);
  EXPECT_EQ(evs[4].collect_next_msec, kNow - 15000);
  colt_req_info_destroy(req);

  // Next pass at the same time: the catching-up event and interval 0 again.
  req = colt_req_info_new_with_info("router-1", evs, 5, &info, kNow);
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(request_types(req), (std::vector<uint32_t>{COLT_EVENT_IF_PERF, COLT_EVENT_IF_STAT}));
  colt_req_info_destroy(req);

  // Only a disabled event due: no request.
  event off[] = {make_event(COLT_EVENT_IF_PERF, 3, 10, kNow, 0)};
  EXPECT_EQ(colt_req_info_new_with_info("router-1", off, 1, &info, kNow), nullptr);
  EXPECT_EQ(off[0].collect_next_msec, kNow + 10000);
  EXPECT_EQ(colt_req_info_new_with_info("router-1", evs, 0, &info, kNow), nullptr);
  EXPECT_EQ(colt_add_event_to_req_info(nullptr, &evs[0]), -1);
}

// Every SNMP time report of the pool.
struct latency_report {
  std::string device_id;
  int success;
  std::string failure;  // the failure text the collect thread noted
};
std::mutex g_reports_lock;
std::vector<latency_report> g_reports;

int record_latency(const char *device_id, const char *ip, int success, uint64_t elapsed_ns) {
  (void)ip;
  (void)elapsed_ns;
  std::lock_guard<std::mutex> g(g_reports_lock);
  g_reports.push_back({device_id, success, icmp_noted_snmp_failure()});
  icmp_note_snmp_failure(nullptr);
  return 0;
}

size_t report_count() {
  std::lock_guard<std::mutex> g(g_reports_lock);
  return g_reports.size();
}

collect_perf perf_sum() {
  collect_perf sum{};
  for (int i = 0; i < COLT_THREAD_MAX; i++) {
    collect_perf p;
    colt_get_perf(i, &p);
    sum.snmp_open += p.snmp_open;
    sum.snmp_failed += p.snmp_failed;
    sum.snmp_close += p.snmp_close;
    sum.worked_count += p.worked_count;
    sum.pop_queue_count += p.pop_queue_count;
  }
  return sum;
}

// Waits (bounded) until `done` holds.
bool wait_for(const std::function<bool()> &done, int limit_ms) {
  for (int waited = 0; waited < limit_ms; waited += 10) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class CollectPool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tm_init(); }
  void SetUp() override {
    {
      std::lock_guard<std::mutex> g(g_reports_lock);
      g_reports.clear();
    }
    saved_hook = g_colt_latency_hook.load();
    g_colt_latency_hook.store(record_latency);
    dgcomm_init();
    conn = make_dg_conn("127.0.0.1", 9010, 256);
    ASSERT_NE(conn, nullptr);
    conn->connection_state.store(DG_STATE_CONNECTED);
    gp_main_dgconn = conn;
    ASSERT_EQ(oid_manager_init(&g_oid_manager), 0);
    ASSERT_EQ(oid_manager_activate(&g_oid_manager), 0);
  }
  void TearDown() override {
    EXPECT_EQ(collect_thread_stop(10), 0);
    EXPECT_TRUE(wait_for([] { return colt_get_active_count() == 0; }, 15000));
    collect_thread_clear();
    gp_main_dgconn = nullptr;
    dg_conn_free(conn);
    oid_manager_clear(&g_oid_manager);
    g_colt_latency_hook.store(saved_hook);
  }
  // One request of one event of `type` on pack `pack` for `device_id`.
  static collect_req_info *request(const char *device_id, const snmp_info &info, uint32_t type,
                                   uint64_t pack) {
    event e = make_event(type, pack, 10, kNow, 1);
    return colt_req_info_new_with_info(device_id, &e, 1, &info, kNow);
  }
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> packets() {
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> out;
    mlist_item_t *item = nullptr;
    vkLock(&conn->queue_lock);
    for (pkt_data *pd; (pd = static_cast<pkt_data *>(
                            mlist_pop_front_data(&conn->send_queue, nullptr, &item))) != nullptr;) {
      out.push_back({pd->type, {pd->body, pd->body + pd->body_len}});
      remove_pkt(conn, item);
    }
    vkUnlock(&conn->queue_lock);
    return out;
  }

  colt_latency_fn saved_hook = nullptr;
  dg_conn *conn = nullptr;
};

TEST_F(CollectPool, OneThreadRunsRequestsInOrderAndCountsEverything) {
  vktest::temp_dir files;
  vktest::if_table_agent table;
  std::string err;
  ASSERT_TRUE(table.prepare(files.path, &err)) << err;
  vktest::if_row row;
  row.index = 1;
  row.mtu = 17;
  ASSERT_TRUE(table.set_rows({row}));
  vktest::snmpd_instance agent;
  vktest::snmpd_options o;
  o.v3_users = false;
  o.extra_lines.push_back(table.conf_line());
  ASSERT_TRUE(agent.start(o, &err)) << err;

  // Device performance by GET: cpu from the table, uptime from the agent.
  vlist_item_t *item = nullptr;
  oid_pack *pack = om_new_oid_pack_for_list(10, SNMP_REQ_TYPE_GET, &item);
  oid_info_add_to_list(&pack->list, "device.cpu",
                       (vktest::if_table_agent::column_oid(vktest::IF_COL_MTU) + ".1").c_str());
  oid_info_add_to_list(&pack->list, "device.uptime", ".1.3.6.1.2.1.1.3.0");
  om_update_oid_pack_from_item(&g_oid_manager, item);

  // Explicit, generous time-out and retries: the table's script runs once a
  // request and may be slow on a busy machine.
  snmp_info good{};
  ASSERT_EQ(sm_set_snmp_info(&good, "127.0.0.1", static_cast<uint16_t>(agent.port), 1, 5000000, 3,
                             "public"),
            0);
  snmp_info unusable = good;
  unusable.version = 2;  // no such SNMP version: the session cannot be set up

  ASSERT_EQ(collect_thread_init(1), 0);
  collect_perf before = perf_sum();
  // Not running yet: refused and destroyed.
  EXPECT_EQ(collect_add_req(request("early", good, COLT_EVENT_DEVICE_PERF, 10)), -1);
  ASSERT_EQ(collect_thread_run(), 1);
  EXPECT_EQ(colt_get_thread_count(), 1);

  const char *devices[] = {"d0", "d1", "d2", "d3", "d4"};
  for (const char *d : devices) {
    ASSERT_EQ(collect_add_req(request(d, good, COLT_EVENT_DEVICE_PERF, 10)), 0);
  }
  ASSERT_EQ(collect_add_req(request("no-pack", good, COLT_EVENT_DEVICE_PERF, 99)), 0);
  ASSERT_EQ(collect_add_req(request("no-session", unusable, COLT_EVENT_DEVICE_PERF, 10)), 0);
  ASSERT_TRUE(wait_for([] { return report_count() == 7; }, 120000)) << report_count();
  EXPECT_EQ(colt_get_queue_count(), 0);

  collect_perf after = perf_sum();
  EXPECT_EQ(after.pop_queue_count - before.pop_queue_count, 7u);
  EXPECT_EQ(after.snmp_open - before.snmp_open, 6u);
  EXPECT_EQ(after.snmp_failed - before.snmp_failed, 1u);
  EXPECT_EQ(after.snmp_close - before.snmp_close, 7u);
  EXPECT_EQ(after.worked_count - before.worked_count, 5u);  // the missing pack ran nothing
  {
    std::lock_guard<std::mutex> g(g_reports_lock);
    for (size_t i = 0; i < 5; i++) {
      EXPECT_EQ(g_reports[i].device_id, devices[i]);
      EXPECT_EQ(g_reports[i].success, 1) << devices[i];
      EXPECT_EQ(g_reports[i].failure, "") << devices[i];
    }
    // A failure goes with its reason, which the device's latency records
    // carry to the collector.
    EXPECT_EQ(g_reports[5].device_id, "no-pack");
    EXPECT_EQ(g_reports[5].success, 0);
    EXPECT_NE(g_reports[5].failure, "");
    EXPECT_EQ(g_reports[6].device_id, "no-session");
    EXPECT_EQ(g_reports[6].success, 0);
    EXPECT_NE(g_reports[6].failure, "");
  }
  auto pkts = packets();
  ASSERT_EQ(pkts.size(), 5u);  // nothing for the missing pack or the dead session
  for (size_t i = 0; i < pkts.size(); i++) {
    ASSERT_EQ(pkts[i].first, DG_PKT_DEVICE_PERF);
    alignas(8) uint8_t ws[1024];
    network_device_perf_t *m = network_device_perf_new(ws, sizeof(ws));
    ASSERT_GE(network_device_perf_decode(m, pkts[i].second.data(), pkts[i].second.size()), 0);
    EXPECT_STREQ(m->device_id_p, devices[i]);
    EXPECT_EQ(m->cpu, 17u);
    EXPECT_EQ(m->memory, 0u);
    EXPECT_GT(m->uptime, 0u);
    EXPECT_GT(m->collect_time, 0u);
  }

  EXPECT_EQ(collect_thread_stop(10), 0);
  EXPECT_EQ(colt_get_status(), COLT_STATUS_STOPPED);
  EXPECT_EQ(collect_add_req(request("late", good, COLT_EVENT_DEVICE_PERF, 10)), -1);
}

// A loopback UDP port that never answers; closed with the object.
struct silent_port {
  int fd = -1;
  uint16_t port = 0;
  silent_port() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
      port = ntohs(a.sin_port);
    }
  }
  ~silent_port() {
    if (fd >= 0) close(fd);
  }
};

// The pool knows requests only through the run function it is given: a
// scripted one stands for the SNMP runner. Its outcome per device decides
// the device's health; a failure that ends in a stop is no failure.
struct scripted_run {
  const char *device_id;
  int outcome;  // 2: wait for the stop, then report no answer
};
constexpr scripted_run kScript[] = {
    {"answers", 1}, {"silent", -1}, {"asked-nothing", 0}, {"cancelled", 2}};
std::mutex g_runs_lock;
std::vector<std::string> g_runs;

int run_scripted(int index, collect_req_info *req, colt_thread_counters *counters) {
  (void)index;
  colt_bump(counters->worked_count);
  {
    std::lock_guard<std::mutex> g(g_runs_lock);
    g_runs.push_back(req->device_id);
  }
  for (const scripted_run &s : kScript) {
    if (strcmp(s.device_id, req->device_id) != 0) continue;
    if (s.outcome != 2) return s.outcome;
    for (int i = 0; i < 6000 && colt_get_status() != COLT_STATUS_STOPPING; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  return 0;
}

size_t run_count() {
  std::lock_guard<std::mutex> g(g_runs_lock);
  return g_runs.size();
}

TEST_F(CollectPool, TheRunFunctionsOutcomeDecidesTheDevicesHealthAndAStopIsNoFailure) {
  EXPECT_EQ(colt_pool_init(1, nullptr), -1);
  ASSERT_EQ(colt_pool_init(1, run_scripted), 0);
  ASSERT_EQ(collect_thread_run(), 1);
  collect_perf before = perf_sum();
  snmp_info any{};
  for (const scripted_run &s : kScript) {
    ASSERT_EQ(collect_add_req(request(s.device_id, any, COLT_EVENT_IF_STAT, 7)), 0) << s.device_id;
  }
  ASSERT_TRUE(wait_for([] { return run_count() == 4; }, 60000)) << run_count();
  // Only the device that answered nothing is backed off.
  ASSERT_TRUE(wait_for([] { return colt_get_pending_count() == 1; }, 60000));
  EXPECT_EQ(colt_get_failing_count(), 1);
  EXPECT_EQ(collect_add_req(request("silent", any, COLT_EVENT_IF_STAT, 7)), -3);
  EXPECT_EQ(collect_add_req(request("answers", any, COLT_EVENT_IF_STAT, 7)), 0);
  EXPECT_EQ(collect_thread_stop(10), 0);
  EXPECT_EQ(colt_get_failing_count(), 1);
  {
    std::lock_guard<std::mutex> g(g_runs_lock);
    EXPECT_EQ(g_runs,
              (std::vector<std::string>{"answers", "silent", "asked-nothing", "cancelled"}));
    g_runs.clear();
  }
  // The counters the function was given are the thread's own.
  collect_perf after = perf_sum();
  EXPECT_EQ(after.worked_count - before.worked_count, 4u);
  EXPECT_EQ(after.pop_queue_count - before.pop_queue_count, 4u);
  EXPECT_EQ(after.snmp_open, before.snmp_open);
}

void add_pack(uint64_t id, int type, const char *oid) {
  vlist_item_t *item = nullptr;
  oid_pack *pack = om_new_oid_pack_for_list(id, type, &item);
  oid_info_add_to_list(&pack->list, "device.cpu", oid);
  om_update_oid_pack_from_item(&g_oid_manager, item);
}

TEST_F(CollectPool, StopInterruptsSnmpWaitsAndASecondStopWaitsForWhatTheFirstLeft) {
  silent_port silent;
  ASSERT_NE(silent.port, 0);
  // 5 s a try and the library's 5 retries: 30 s in all, far past the limits.
  snmp_info dead{};
  ASSERT_EQ(sm_set_snmp_info(&dead, "127.0.0.1", silent.port, 1, 5000000, 0, "public"), 0);
  add_pack(20, SNMP_REQ_TYPE_GET, ".1.3.6.1.2.1.1.3.0");

  // Every thread waits on the dead device; the stop interrupts them all.
  // Requests still queued are destroyed, none is run.
  ASSERT_EQ(collect_thread_init(2), 0);
  ASSERT_EQ(collect_thread_run(), 2);
  collect_perf before = perf_sum();
  for (const char *d : {"dead-1", "dead-2", "queued"}) {
    ASSERT_EQ(collect_add_req(request(d, dead, COLT_EVENT_DEVICE_PERF, 20)), 0);
  }
  ASSERT_TRUE(
      wait_for([&] { return perf_sum().pop_queue_count >= before.pop_queue_count + 2; }, 60000));
  EXPECT_EQ(colt_get_queue_count(), 1);
  EXPECT_EQ(collect_thread_stop(8), 0);
  EXPECT_EQ(colt_get_queue_count(), 0);
  EXPECT_EQ(colt_get_status(), COLT_STATUS_STOPPED);
  EXPECT_EQ(colt_get_active_count(), 0);
  EXPECT_EQ(report_count(), 2u);
  // A cancelled request is not a failure of the device.
  EXPECT_EQ(colt_get_failing_count(), 0);

  // An SNMPv3 engine probe is not interrupted: a stop shorter than its
  // time-out gives up; a second stop waits again for the thread instead of
  // calling the pool stopped while it is still inside.
  snmp_info v3 = dead;
  v3.version = SNMP_VERSION_3;
  v3.timeout = 2500000;
  v3.retries = 1;  // 5 s
  ASSERT_EQ(sm_set_snmp_sec_info(&v3.security, SM_SEC_LEVEL_NOAUTH, "nobody", 0, "", 0, ""), 0);
  ASSERT_EQ(collect_thread_init(1), 0);
  ASSERT_EQ(collect_thread_run(), 1);
  before = perf_sum();
  ASSERT_EQ(collect_add_req(request("probe", v3, COLT_EVENT_DEVICE_PERF, 20)), 0);
  ASSERT_TRUE(wait_for([&] { return perf_sum().pop_queue_count > before.pop_queue_count; }, 60000));
  EXPECT_EQ(collect_thread_stop(1), -1);
  EXPECT_EQ(colt_get_status(), COLT_STATUS_STOPPING);
  EXPECT_EQ(collect_thread_run(), -1);  // not while threads are still out
  EXPECT_EQ(collect_thread_stop(10), 0);
  EXPECT_EQ(colt_get_active_count(), 0);
  EXPECT_EQ(colt_get_status(), COLT_STATUS_STOPPED);

  // A full pool whose busy threads leave one by one, each waking the
  // stopper: the limit is counted in time, not in wake-ups. Twenty dead
  // devices with time-outs of 20 .. 400 ms (six tries each) end 0.12 s apart.
  ASSERT_EQ(collect_thread_init(COLT_THREAD_MAX), 0);
  ASSERT_EQ(collect_thread_run(), COLT_THREAD_MAX);
  before = perf_sum();
  for (int i = 1; i <= 20; i++) {
    snmp_info staggered{};
    ASSERT_EQ(sm_set_snmp_info(&staggered, "127.0.0.1", silent.port, 1, i * 20000, 0, "public"), 0);
    std::string id = "dead-3-" + std::to_string(i);
    ASSERT_EQ(collect_add_req(request(id.c_str(), staggered, COLT_EVENT_DEVICE_PERF, 20)), 0);
  }
  ASSERT_TRUE(
      wait_for([&] { return perf_sum().pop_queue_count >= before.pop_queue_count + 20; }, 60000));
  EXPECT_EQ(collect_thread_stop(4), 0);
  EXPECT_EQ(colt_get_active_count(), 0);
  EXPECT_TRUE(packets().empty());
}

// The rules that keep dead devices and slow collections from starving the
// pool, on one thread against a device that answers each walk slowly and one
// that never answers, with time moved by the test:
// - a collection still queued or running is not queued again (counted);
//   another event of the same device is;
// - the queue refuses requests past its bound (counted);
// - a device that answered nothing is backed off: refused until its pause
//   has passed, then asked once without retries; the pause doubles;
// - its first answer ends the back-off: asked with retries again.
TEST_F(CollectPool, PendingCollectionsAreSkippedAndDeadDevicesBackedOff) {
  vktest::snmp_responder slow;
  slow.walk_delay_ms.store(4000);
  ASSERT_TRUE(slow.start(vktest::responder_mode::walk_ok, 5));
  vktest::snmp_responder dead_device;
  ASSERT_TRUE(dead_device.start(vktest::responder_mode::silent));
  snmp_info live{};
  ASSERT_EQ(sm_set_snmp_info(&live, "127.0.0.1", static_cast<uint16_t>(slow.port), 1, 8000000, 1,
                             "public"),
            0);
  snmp_info dead{};
  ASSERT_EQ(sm_set_snmp_info(&dead, "127.0.0.1", static_cast<uint16_t>(dead_device.port), 1, 100000,
                             2, "public"),
            0);  // three tries of 0.1 s
  add_pack(30, SNMP_REQ_TYPE_BULK, vktest::kResponderRootText);
  add_pack(31, SNMP_REQ_TYPE_BULK, vktest::kResponderRootText);
  test_clock_install(kNow);
  colt_skip_counts s0;
  colt_get_skip_counts(&s0);

  ASSERT_EQ(collect_thread_init(1), 0);
  ASSERT_EQ(collect_thread_run(), 1);
  colt_set_queue_limit(2);
  ASSERT_EQ(collect_add_req(request("slow", live, COLT_EVENT_DEVICE_PERF, 30)), 0);
  ASSERT_TRUE(wait_for([&] { return slow.requests.load() >= 1; }, 60000));
  // Running: the same collection is skipped, another of the device queued.
  EXPECT_EQ(collect_add_req(request("slow", live, COLT_EVENT_DEVICE_PERF, 30)), -2);
  EXPECT_EQ(collect_add_req(request("slow", live, COLT_EVENT_IF_STAT, 31)), 0);
  // Queued: skipped as well.
  EXPECT_EQ(collect_add_req(request("slow", live, COLT_EVENT_IF_STAT, 31)), -2);
  EXPECT_EQ(collect_add_req(request("dead", dead, COLT_EVENT_DEVICE_PERF, 30)), 0);
  EXPECT_EQ(collect_add_req(request("other", live, COLT_EVENT_DEVICE_PERF, 30)), -4);
  EXPECT_EQ(colt_get_queue_count(), 2);
  colt_skip_counts s1;
  colt_get_skip_counts(&s1);
  EXPECT_EQ(s1.pending - s0.pending, 2u);
  EXPECT_EQ(s1.queue_full - s0.queue_full, 1u);
  ASSERT_TRUE(wait_for([] { return report_count() == 3; }, 60000)) << report_count();
  EXPECT_EQ(dead_device.requests.load(), 3);  // the first failure: every retry
  {
    // The device's latency records carry why it failed.
    std::lock_guard<std::mutex> g(g_reports_lock);
    auto it = std::find_if(g_reports.begin(), g_reports.end(),
                           [](const latency_report &r) { return r.device_id == "dead"; });
    ASSERT_NE(it, g_reports.end());
    EXPECT_EQ(it->success, 0);
    EXPECT_EQ(it->failure.rfind("Timeout", 0), 0u) << it->failure;
  }
  ASSERT_TRUE(wait_for([] { return colt_get_failing_count() == 1; }, 60000));
  // Free again once done.
  EXPECT_EQ(collect_add_req(request("slow", live, COLT_EVENT_DEVICE_PERF, 30)), 0);

  // Backed off: refused during the pause (15 s, then 30 s), asked once
  // without retries after it.
  EXPECT_EQ(collect_add_req(request("dead", dead, COLT_EVENT_DEVICE_PERF, 30)), -3);
  test_clock_advance_msec(COLT_BACKOFF_FIRST_MSEC - 1);
  EXPECT_EQ(collect_add_req(request("dead", dead, COLT_EVENT_DEVICE_PERF, 30)), -3);
  test_clock_advance_msec(1);
  EXPECT_EQ(collect_add_req(request("dead", dead, COLT_EVENT_DEVICE_PERF, 30)), 0);
  ASSERT_TRUE(wait_for([] { return report_count() == 5; }, 60000)) << report_count();
  EXPECT_EQ(dead_device.requests.load(), 4);
  // Once the failure is recorded: in its doubled pause.
  ASSERT_TRUE(wait_for([] { return colt_get_pending_count() == 0; }, 60000));
  test_clock_advance_msec(2 * COLT_BACKOFF_FIRST_MSEC - 1);
  EXPECT_EQ(collect_add_req(request("dead", dead, COLT_EVENT_DEVICE_PERF, 30)), -3);
  test_clock_advance_msec(1);
  // Its first answer (the device moved to a live address) ends the back-off.
  EXPECT_EQ(collect_add_req(request("dead", live, COLT_EVENT_DEVICE_PERF, 30)), 0);
  ASSERT_TRUE(wait_for([] { return report_count() == 6; }, 60000)) << report_count();
  ASSERT_TRUE(wait_for([] { return colt_get_failing_count() == 0; }, 60000));
  EXPECT_EQ(collect_add_req(request("dead", dead, COLT_EVENT_DEVICE_PERF, 30)), 0);
  ASSERT_TRUE(wait_for([] { return report_count() == 7; }, 60000)) << report_count();
  EXPECT_EQ(dead_device.requests.load(), 7);  // with retries again
  colt_skip_counts s2;
  colt_get_skip_counts(&s2);
  EXPECT_EQ(s2.backed_off - s0.backed_off, 3u);
  colt_set_queue_limit(0);
  test_clock_uninstall();
}

}  // namespace
