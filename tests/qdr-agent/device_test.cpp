// The device manager and its event checker, driven by the manual clock: the
// event requests of a device without events and the give-up, due times
// that advance from the old due time (a late checker, interval 0), one
// request per due event, the stop within its limit, wall-clock steps that
// change nothing, first due times spread over the interval; and the inbound
// handlers: bad device-list entries beside good ones named in the answer,
// lists sent again and changed, removal, the receivers' registries, answers
// beside a full queue at 5,000 devices, pack ids beyond 32 bits and
// connection tests with unusable settings.
#include "device.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "agent.h"
#include "collect_interface.h"
#include "collect_oid.h"
#include "collect_request.h"
#include "common.h"
#include "communication.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "network_agent_device_info.h"
#include "snmp_test_env.h"
#include "target_device.h"
#include "test_clock.h"
#include "thread_manager.h"
#include "vk_clock.h"
#include "vk_util.h"

namespace {

const ::testing::Environment *const g_snmp_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(true));

constexpr uint64_t kT0 = 1796690000000ull;  // an instant in ms since the epoch

std::atomic<int> g_events_run{0};
int count_event(const char *, const char *, int, uint64_t) {
  g_events_run.fetch_add(1);
  return 0;
}

// Waits (real time, bounded) until `pred` holds.
template <typename F>
bool wait_for(F pred, int limit_ms = 5000) {
  for (int i = 0; i < limit_ms && !pred(); i++) usleep(1000);
  return pred();
}

class DeviceManager : public ::testing::Test {
 protected:
  // Once per process: the derived suite must not initialise the thread
  // registry again under a thread that has just left it.
  static void SetUpTestSuite() {
    static bool done = false;
    if (done) return;
    done = true;
    common_init();
    tm_init();
    oid_manager_init(&g_oid_manager);
  }
  void SetUp() override {
    test_clock_install(kT0);
    ASSERT_EQ(device_manager_init(&mgr), 0);
    dgcomm_init();
    conn = make_dg_conn("127.0.0.1", 9010, 100000);
    ASSERT_NE(conn, nullptr);
    conn->connection_state.store(DG_STATE_CONNECTED);  // no threads: packets stay queued
    gp_main_dgconn = conn;
    g_is_device_manager_res = 1;
    g_is_oid_manager_res = 1;
  }
  void TearDown() override {
    dm_device_event_checker_stop(&mgr, 3);
    collect_thread_stop(10);
    g_colt_latency_hook.store(nullptr);
    device_manager_destroy(&mgr);
    gp_main_dgconn = nullptr;
    dg_conn_free(conn);
    test_clock_uninstall();
  }
  device *add(const char *id, const char *name = "dev") {
    mlist_item_t *item = nullptr;
    device *d = device_new_with_info_for_manager(id, name, "127.0.0.1", 9, 0, 0, &item);
    EXPECT_NE(d, nullptr);
    sm_set_snmp_info(&d->snmp_info, "127.0.0.1", 9, SNMP_VERSION_2c, 0, 0, "public");
    EXPECT_GE(dm_update_device_to_list(&mgr, item), 0);
    return dm_find_device(&mgr, id);
  }
  // Packets queued for the collector since the last call, oldest first.
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> sent_packets() {
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> out;
    vkLock(&conn->queue_lock);
    mlist_item_t *item = nullptr;
    pkt_data *pd;
    while (
        (pd = static_cast<pkt_data *>(mlist_pop_front_data(&conn->send_queue, nullptr, &item)))) {
      out.emplace_back(pd->type, std::vector<uint8_t>(pd->body, pd->body + pd->body_len));
      mlist_destroy_item(&conn->send_queue, item);
    }
    vkUnlock(&conn->queue_lock);
    return out;
  }
  // Types of the packets queued for the collector since the last call.
  std::vector<uint16_t> sent() {
    std::vector<uint16_t> types;
    for (const auto &p : sent_packets()) types.push_back(p.first);
    return types;
  }
  void start_pool() {
    g_events_run = 0;
    g_colt_latency_hook.store(count_event);
    ASSERT_EQ(collect_thread_init(2), 0);
    ASSERT_GT(collect_thread_run(), 0);
  }
  int requests_popped() {
    int n = 0;
    for (int i = 0; i < COLT_THREAD_MAX; i++) {
      collect_perf p;
      colt_get_perf(i, &p);
      n += static_cast<int>(p.pop_queue_count);
    }
    return n;
  }

  device_manager mgr;
  dg_conn *conn = nullptr;
};

TEST(DeviceManagerStop, NeverStartedCheckerStopsAtOnce) {
  device_manager m;
  ASSERT_EQ(device_manager_init(&m), 0);
  EXPECT_EQ(dm_device_event_checker_stop(&m, 1), 0);
  device_manager_destroy(&m);
}

TEST_F(DeviceManager, AsksForEventsAtPasses0To50OnTheClockAndThenGivesUp) {
  device *d = add("dev-a");
  ASSERT_EQ(dm_device_event_checker_start(&mgr), 0);
  EXPECT_EQ(dm_device_event_checker_start(&mgr), -1);  // a second activation starts no twin
  std::vector<int> asked;
  for (int s = 0; s <= 65; s++) {
    ASSERT_TRUE(wait_for([&] { return mgr.pass_count.load() >= static_cast<uint64_t>(s + 1); }))
        << "pass " << s;
    for (uint16_t t : sent()) {
      EXPECT_EQ(t, DG_PKT_REQ_COLLECT_EVENT);
      asked.push_back(s);
    }
    // Without the clock moving there is no further pass.
    if (s == 3) {
      usleep(20000);
      EXPECT_EQ(mgr.pass_count.load(), 4u);
    }
    test_clock_advance_msec(1000);
  }
  EXPECT_EQ(asked, (std::vector<int>{0, 10, 20, 30, 40, 50}));
  vkLock(&mgr.lock);
  EXPECT_EQ(d->event_count, -1);
  vkUnlock(&mgr.lock);
  test_clock_uninstall();  // the stop below waits on the real clock
  EXPECT_EQ(dm_device_event_checker_stop(&mgr, 3), 0);
  EXPECT_EQ(mgr.event_checker_status.load(), DM_CHECKER_STOPPED);
}

TEST_F(DeviceManager, CommandRequestsUntilTheListsArrive) {
  g_is_device_manager_res = 0;
  g_is_oid_manager_res = 0;
  dm_event_checker_pass(&mgr, kT0);
  EXPECT_EQ(sent(), (std::vector<uint16_t>{DG_PKT_REQ_COMMAND, DG_PKT_REQ_COMMAND}));
  g_is_oid_manager_res = 1;
  dm_event_checker_pass(&mgr, kT0 + 1000);
  EXPECT_EQ(sent(), (std::vector<uint16_t>{DG_PKT_REQ_COMMAND}));
  add("dev-a");  // a listed device also ends the device list requests
  dm_event_checker_pass(&mgr, kT0 + 2000);
  EXPECT_EQ(sent(), (std::vector<uint16_t>{DG_PKT_REQ_COLLECT_EVENT}));
}

TEST_F(DeviceManager, EventRequestsRefusedByAFullQueueAreAskedOnTheNextPass) {
  conn->queue_count_max = 4;
  for (int i = 0; i < 10; i++) add(("dev-" + std::to_string(i)).c_str());
  std::vector<size_t> per_pass;
  for (int pass = 0; pass < 4; pass++) {
    dm_event_checker_pass(&mgr, kT0 + pass * 1000u);
    per_pass.push_back(sent().size());  // the link took them
  }
  // Each device asked once: a refused request is not one of its six.
  EXPECT_EQ(per_pass, (std::vector<size_t>{4, 4, 2, 0}));
}

TEST_F(DeviceManager, DueTimesAdvanceFromTheOldDueTimeAndEachDueEventIsOneRequest) {
  start_pool();
  add("dev-a");
  ::event *ev = static_cast<::event *>(calloc(3, sizeof(::event)));
  device_set_event(&ev[0], DEVICE_PERF, 7, 60, 1);  // due at T0 + 60 s
  device_set_event(&ev[1], IF_STAT, 7, 60, 1);
  device_set_event(&ev[2], IF_PERF, 7, 0, 1);  // interval 0: due on every pass
  ASSERT_EQ(dm_apply_event_to_device(&mgr, "dev-a", ev, 3), 0);
  // First due at the device's phase, within one interval.
  const uint64_t m0 = vk_monotonic_msec();
  const uint64_t due = ev[0].collect_next_msec;
  EXPECT_EQ(due, dm_first_due_msec("dev-a", 60, m0));
  EXPECT_GT(due, m0);
  EXPECT_LE(due, m0 + 60000);
  EXPECT_EQ(ev[1].collect_next_msec, due);  // one phase per device

  struct step {
    uint64_t at;
    int requests;      // requests queued by this pass
    uint64_t next_60;  // due time of the 60 s events afterwards
  };
  const step steps[] = {
      {due - 1, 1, due},             // only the interval-0 event
      {due + 2500, 3, due + 60000},  // 2.5 s late: next due from the old due time
      {due + 3500, 1, due + 60000},
      {due + 60000, 3, due + 120000},
  };
  int total = 0;
  for (const step &st : steps) {
    dm_event_checker_pass(&mgr, st.at);
    total += st.requests;
    EXPECT_TRUE(wait_for([&] { return requests_popped() == total && g_events_run == total; }))
        << "at +" << st.at - due << ": " << requests_popped() << " requests, " << g_events_run
        << " events";
    vkLock(&mgr.lock);
    device *d = dm_find_device(&mgr, "dev-a");
    EXPECT_EQ(d->event[0].collect_next_msec, st.next_60);
    EXPECT_EQ(d->event[1].collect_next_msec, st.next_60);
    vkUnlock(&mgr.lock);
  }
}

TEST_F(DeviceManager, ASecondEntryKeepsThePlaceAndAsksForEventsAgain) {
  add("dev-a", "first");
  add("dev-b");
  ::event *ev = static_cast<::event *>(calloc(1, sizeof(::event)));
  device_set_event(&ev[0], DEVICE_PERF, 1, 10, 1);
  ASSERT_EQ(dm_apply_event_to_device(&mgr, "dev-a", ev, 1), 0);
  add("dev-a", "renamed");
  EXPECT_EQ(dm_device_count(&mgr), 2u);
  mlist_item_t *cursor = nullptr;
  device *first = static_cast<device *>(mlist_getting_data(&mgr.list, nullptr, &cursor));
  EXPECT_STREQ(first->info.id, "dev-a");
  EXPECT_STREQ(first->info.name, "renamed");
  EXPECT_EQ(first->event_count, 0);
  dm_event_checker_pass(&mgr, kT0);
  EXPECT_EQ(sent().size(), 2u);  // both devices ask
  ::event *lost = static_cast<::event *>(calloc(1, sizeof(::event)));
  EXPECT_EQ(dm_apply_event_to_device(&mgr, "dev-x", lost, 1), -1);
  free(lost);
}

// ---- the device list handler ----

struct dev_spec {
  const char *id;
  const char *ip;
  int version;  // wire version; -1: no SNMP settings
  int flag;
  int level = 0;  // v3
  uint32_t auth = 0, priv = 0;
  bool applied;
  uint32_t port = 161;
  const char *auth_pass = "auth-pass-phrase";
  size_t ip_len = 0;  // bytes of `ip` on the wire; 0: its length
  bool syslog = false, trap = false;
  const char *name = "n";
};

int dispatch(uint16_t type, const std::vector<uint8_t> &payload) {
  std::vector<uint8_t> sub = {
      static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 0, 0, 1, 0, 0, 0, 0, 0};
  sub.insert(sub.end(), payload.begin(), payload.end());
  return recv_msg_process(sub.data(), static_cast<uint32_t>(sub.size()));
}

std::vector<uint8_t> encode_list(const std::vector<dev_spec> &specs) {
  std::vector<uint8_t> ws(4096 + 512 * specs.size()), out(4096 + 128 * specs.size());
  network_device_list_t *m = network_device_list_new(ws.data(), ws.size());
  m->request_id_p = "req-1";
  network_device_list_devices_alloc(m, static_cast<int>(specs.size()));
  for (size_t i = 0; i < specs.size(); i++) {
    network_device_t *d = &m->devices.items_p[i];
    const dev_spec &s = specs[i];
    d->id_p = s.id;
    d->name_p = s.name;
    d->port = s.port;
    d->flag = static_cast<device_flag_e>(s.flag);
    d->collect_syslog = s.syslog;
    d->collect_snmp_trap = s.trap;
    network_device_ip_alloc(d);
    d->ip_p->addr.buf_p = reinterpret_cast<const uint8_t *>(s.ip);
    d->ip_p->addr.size = s.ip_len != 0 ? s.ip_len : strlen(s.ip);
    if (s.version < 0) continue;
    network_device_snmp_alloc(d);
    d->snmp_p->version = static_cast<snmp_version_e>(s.version);
    d->snmp_p->community_p = "public";
    if (s.version == _v3_e) {
      network_snmp_info_security_alloc(d->snmp_p);
      network_snmp_security_t *sec = d->snmp_p->security_p;
      sec->security_name_p = "user";
      sec->security_level = static_cast<security_level_e>(s.level);
      sec->auth_algorithm = s.auth;
      sec->auth_password_p = s.auth_pass;
      sec->privacy_algorithm = s.priv;
      sec->privacy_password_p = "priv-pass-phrase";
    }
  }
  int n = network_device_list_encode(m, out.data(), out.size());
  EXPECT_GT(n, 0);
  out.resize(n > 0 ? n : 0);
  return out;
}

// The result answer (54000) of a queued packet: success and failure text.
std::pair<bool, std::string> result_of(const std::pair<uint16_t, std::vector<uint8_t>> &pkt) {
  EXPECT_EQ(pkt.first, DG_PKT_PACKET_RESULT);
  std::vector<uint8_t> ws(4096 + pkt.second.size());
  network_packet_result_t *m = network_packet_result_new(ws.data(), ws.size());
  EXPECT_GE(network_packet_result_decode(m, pkt.second.data(), pkt.second.size()), 0);
  return {m->success, m->fail_message_p != nullptr ? m->fail_message_p : ""};
}

// Puts a NUL (which the encoder cannot put into a text) in place of the
// 0x01 byte of the one occurrence of `text` in the encoded list.
void put_nul(std::vector<uint8_t> *out, const std::string &text) {
  auto at = std::search(out->begin(), out->end(), text.begin(), text.end());
  ASSERT_NE(at, out->end());
  ASSERT_EQ(std::search(at + 1, out->end(), text.begin(), text.end()), out->end());
  *std::find(at, at + static_cast<long>(text.size()), 0x01) = 0x00;
}

TEST_F(DeviceManager, DeviceListAppliesTheGoodEntriesAndSkipsEachBadOneNamingItInTheAnswer) {
  device_manager_init(&g_device_manager);
  const std::string long_id(45, 'x');
  static const char kIpWithNul[] = "127.0.0.1\0.5";
  const std::vector<dev_spec> specs = {
      {"ok-v2c", "127.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, true},
      {"flag-add", "127.0.0.1", _v2c_e, _device_flag_add_e, 0, 0, 0, false},
      {"flag-9", "127.0.0.1", _v2c_e, 9, 0, 0, 0, false},
      {"no-snmp", "127.0.0.1", -1, _device_flag_update_e, 0, 0, 0, false},
      {"ver-7", "127.0.0.1", 7, _device_flag_update_e, 0, 0, 0, false},
      {"v3-auth-9", "127.0.0.1", _v3_e, _device_flag_update_e, _auth_no_priv_e, 9, 0, false},
      {"v3-auth-none", "127.0.0.1", _v3_e, _device_flag_update_e, _auth_priv_e, 0, 2, false},
      {"v3-priv-7", "127.0.0.1", _v3_e, _device_flag_update_e, _auth_priv_e, 4, 7, false},
      {"ok-v3", "::1", _v3_e, _device_flag_update_e, _auth_priv_e, 4, 2, true},
      {long_id.c_str(), "127.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, false},
      {"", "127.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, false},
      {"no-ip", "", _v2c_e, _device_flag_update_e, 0, 0, 0, false},
      {"ok-v2c", "127.0.0.2", _v1_e, _device_flag_update_e, 0, 0, 0, true},  // duplicate id
      {"ip-nul", kIpWithNul, _v2c_e, _device_flag_update_e, 0, 0, 0, false, 161, "", 13},
      {"port-70000", "127.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, false, 70000},
      {"v3-short", "127.0.0.1", _v3_e, _device_flag_update_e, _auth_priv_e, 4, 2, false, 161,
       "seven77"},
      {"id\x01nul", "127.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, false},
      {"id", "127.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, true},
  };
  ASSERT_EQ(target_device_init("icmp", &g_icmp_device_manager), 0);
  target_device_activate(&g_icmp_device_manager);
  g_is_device_manager_res = 0;
  std::vector<uint8_t> list = encode_list(specs);
  put_nul(&list, "id\x01nul");  // decoded, "id\0nul" would read as device "id"
  EXPECT_EQ(dispatch(DG_PKT_DEVICE_LIST, list), 0);
  EXPECT_EQ(g_is_device_manager_res.load(), 1);
  auto answers = sent_packets();
  ASSERT_EQ(answers.size(), 1u);
  auto [ok, text] = result_of(answers[0]);
  EXPECT_TRUE(ok);
  const std::string expected =
      "skipped 13 devices: flag-9: device flag is not supported; no-snmp: no snmp settings; "
      "ver-7: snmp version is wrong; v3-auth-9: snmp auth algorithm is wrong; v3-auth-none: "
      "snmp auth algorithm is wrong; v3-priv-7: snmp privacy algorithm is wrong; " +
      long_id.substr(0, 40) +
      ": id is longer than 39 characters; #10: id is empty; no-ip: address is missing; ip-nul: "
      "address holds a NUL; port-70000: port is out of range; v3-short: snmp auth pass phrase "
      "is shorter than 8 characters; id?nul: id holds a NUL";
  EXPECT_EQ(text.substr(0, expected.size()), expected);
  // Pinged: the devices at their addresses as they now stand; the repeated
  // id moved to its new address and is no longer pinged at the old one.
  char id[80];
  EXPECT_EQ(target_device_count(&g_icmp_device_manager), 3u);
  EXPECT_EQ(target_device_is_exist(&g_icmp_device_manager, "127.0.0.2", id, sizeof(id)), 1);
  EXPECT_STREQ(id, "ok-v2c");
  EXPECT_EQ(target_device_is_exist(&g_icmp_device_manager, "127.0.0.1", id, sizeof(id)), 1);
  EXPECT_STREQ(id, "id");
  EXPECT_EQ(dispatch(DG_PKT_DEVICE_LIST, encode_list({specs[8], specs[12]})), 0);
  EXPECT_EQ(target_device_count(&g_icmp_device_manager), 3u);
  EXPECT_EQ(result_of(sent_packets().at(0)), std::make_pair(true, std::string()));
  target_device_clear(&g_icmp_device_manager);
  EXPECT_EQ(dm_device_count(&g_device_manager), 3u);
  vkLock(&g_device_manager.lock);
  for (const dev_spec &s : specs) {
    EXPECT_EQ(dm_find_device(&g_device_manager, s.id) != nullptr, s.applied) << "'" << s.id << "'";
  }
  device *dup = dm_find_device(&g_device_manager, "ok-v2c");
  EXPECT_STREQ(dup->snmp_info.ip, "127.0.0.2");  // the later entry wins
  EXPECT_EQ(dup->snmp_info.version, SNMP_VERSION_1);
  EXPECT_EQ(dm_find_device(&g_device_manager, "ok-v3")->snmp_info.security.priv_algorithm,
            SM_PRIV_AES128);
  vkUnlock(&g_device_manager.lock);

  // Events for an unknown device, and an empty list: each one failure result.
  EXPECT_EQ(dispatch(DG_PKT_ADD_COLLECT_EVENT, {0x0a, 0x01, 'r', 0x12, 0x01, 'z', 0x1a, 0x00}), -3);
  EXPECT_EQ(dispatch(DG_PKT_ADD_COLLECT_EVENT,
                     {0x0a, 0x01, 'r', 0x12, 0x06, 'o', 'k', '-', 'v', '2', 'c'}),
            -3);
  EXPECT_EQ(sent(), (std::vector<uint16_t>{DG_PKT_PACKET_RESULT, DG_PKT_PACKET_RESULT}));
  device_manager_destroy(&g_device_manager);
}

TEST_F(DeviceManager, AHundredThousandDeviceListIsRead) {
  device_manager_init(&g_device_manager);
  const int kN = 100000;
  std::vector<std::string> ids;
  for (int i = 0; i < kN; i++) ids.push_back("d" + std::to_string(i));
  std::vector<dev_spec> specs;
  for (const std::string &id : ids) {
    specs.push_back({id.c_str(), "10.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, true});
  }
  std::vector<uint8_t> out = encode_list(specs);
  ASSERT_GT(out.size(), 65535u * 16);  // far beyond the first workspace
  EXPECT_EQ(dispatch(DG_PKT_DEVICE_LIST, out), 0);
  EXPECT_EQ(dm_device_count(&g_device_manager), static_cast<uint32_t>(kN));
  device_manager_destroy(&g_device_manager);
}

// ---- schedules ----

struct ev_spec {
  uint32_t type;
  uint64_t pack;
  uint32_t interval;
};

std::vector<uint8_t> encode_events(const char *req, const char *dev,
                                   const std::vector<ev_spec> &evs) {
  std::vector<uint8_t> ws(4096 + 256 * evs.size()), out(1024 + 64 * evs.size());
  network_collect_event_t *m = network_collect_event_new(ws.data(), ws.size());
  m->request_id_p = req;
  m->device_id_p = dev;
  network_collect_event_event_info_alloc(m, static_cast<int>(evs.size()));
  for (size_t i = 0; i < evs.size(); i++) {
    network_collect_event_info_t *e = &m->event_info.items_p[i];
    e->type = evs[i].type;
    e->oid_pack_id = evs[i].pack;
    e->interval = evs[i].interval;
    e->use = true;
  }
  int n = network_collect_event_encode(m, out.data(), out.size());
  EXPECT_GT(n, 0);
  out.resize(n > 0 ? n : 0);
  return out;
}

// Due times of a listed device's events, in order; empty when unknown.
std::vector<uint64_t> due_times(const char *id, int *count = nullptr) {
  std::vector<uint64_t> out;
  vkLock(&g_device_manager.lock);
  device *d = dm_find_device(&g_device_manager, id);
  if (d != nullptr) {
    for (int i = 0; i < d->event_slots; i++) out.push_back(d->event[i].collect_next_msec);
    if (count != nullptr) *count = d->event_count;
  }
  vkUnlock(&g_device_manager.lock);
  return out;
}

// A collection that comes due between two passes starts within the 200 ms
// due check, not at the next whole-second pass.
TEST_F(DeviceManager, DueEventsStartBetweenPasses) {
  start_pool();
  add("dev-a");
  ::event *ev = static_cast<::event *>(calloc(1, sizeof(::event)));
  device_set_event(ev, DEVICE_PERF, 7, 10, 1);
  ASSERT_EQ(dm_apply_event_to_device(&mgr, "dev-a", ev, 1), 0);
  const uint64_t start = vk_monotonic_msec();  // passes fall on start + whole seconds
  vkLock(&mgr.lock);
  const uint64_t due = dm_find_device(&mgr, "dev-a")->event[0].collect_next_msec;
  vkUnlock(&mgr.lock);
  const uint64_t offset = (due - start) % 1000;
  ASSERT_GE(offset, 200u) << "the device's phase puts its due time near a pass";
  ASSERT_EQ(dm_device_event_checker_start(&mgr), 0);
  ASSERT_TRUE(wait_for([&] { return mgr.pass_count.load() >= 1u; }));
  // To the pass before the due time, then to the due time itself.
  uint64_t whole = (due - start) / 1000 * 1000;
  if (whole > 0) {
    test_clock_advance_msec(static_cast<uint32_t>(whole));
    ASSERT_TRUE(wait_for([&] { return mgr.pass_count.load() >= 2u; }));
  }
  const uint64_t passes = mgr.pass_count.load();
  EXPECT_EQ(g_events_run.load(), 0);
  test_clock_advance_msec(static_cast<uint32_t>(offset));
  EXPECT_TRUE(wait_for([&] { return g_events_run.load() == 1; })) << "not started between passes";
  EXPECT_EQ(mgr.pass_count.load(), passes);
  test_clock_uninstall();
  EXPECT_EQ(dm_device_event_checker_stop(&mgr, 3), 0);
}

TEST_F(DeviceManager, WallClockStepsNeitherStopNorFloodPolling) {
  start_pool();
  add("dev-a");
  ::event *ev = static_cast<::event *>(calloc(1, sizeof(::event)));
  device_set_event(ev, DEVICE_PERF, 7, 10, 1);
  ASSERT_EQ(dm_apply_event_to_device(&mgr, "dev-a", ev, 1), 0);
  const uint64_t first = ev->collect_next_msec;
  const uint64_t m0 = vk_monotonic_msec();
  ASSERT_EQ(dm_device_event_checker_start(&mgr), 0);
  // Collections due by monotonic time `now`: one every 10 s from `first`.
  auto due_by = [&](uint64_t now) {
    int n = 0;
    for (uint64_t t = first; t <= now; t += 10000) n++;
    return n;
  };
  // 90 passes a second apart; the wall clock is set back 120 s after 15 s
  // and forward 300 s after 45 s. One collection every 10 s throughout:
  // each pass's collection has run before the clock moves on (a device
  // whose last collection is still running would be skipped, which on a
  // busy machine says nothing about the clock).
  for (int s = 0; s < 90; s++) {
    ASSERT_TRUE(wait_for([&] { return mgr.pass_count.load() >= static_cast<uint64_t>(s + 1); }))
        << "pass " << s;
    const int due = due_by(m0 + static_cast<uint64_t>(s) * 1000);
    ASSERT_TRUE(wait_for([&] { return g_events_run.load() >= due; }))
        << "pass " << s << ": " << g_events_run.load() << " collections, " << due << " due";
    ASSERT_EQ(g_events_run.load(), due) << "pass " << s;
    if (s == 15) test_clock_step_realtime_msec(-120000);
    if (s == 45) test_clock_step_realtime_msec(300000);
    test_clock_advance_msec(1000);
  }
  const int expected = due_by(m0 + 89000);
  EXPECT_TRUE(wait_for([&] { return g_events_run.load() == expected; }))
      << g_events_run.load() << " collections, " << expected << " due";
  test_clock_uninstall();
  EXPECT_EQ(dm_device_event_checker_stop(&mgr, 3), 0);
  EXPECT_EQ(g_events_run.load(), expected);
  EXPECT_GE(expected, 8);
}

TEST_F(DeviceManager, FirstDueTimesAreSpreadOverTheIntervalAtAStablePhase) {
  const uint64_t now = vk_monotonic_msec();
  std::vector<int> per_second(60, 0);
  for (int i = 0; i < 1200; i++) {
    std::string id = "router-" + std::to_string(i);
    uint64_t due = dm_first_due_msec(id.c_str(), 60, now);
    ASSERT_GT(due, now);
    ASSERT_LE(due, now + 60000);
    per_second[(due - now - 1) / 1000]++;
    // Stable: the same phase whenever the events arrive.
    ASSERT_EQ(dm_first_due_msec(id.c_str(), 60, now + 12345) % 60000, due % 60000);
  }
  // 20 a second on average; all in one pass without the spreading.
  EXPECT_LE(*std::max_element(per_second.begin(), per_second.end()), 40);
  EXPECT_GE(*std::min_element(per_second.begin(), per_second.end()), 5);
  EXPECT_EQ(dm_first_due_msec("router-1", 0, now), now);  // interval 0: due at once
}

class DeviceList : public DeviceManager {
 protected:
  void SetUp() override {
    DeviceManager::SetUp();
    device_manager_init(&g_device_manager);
    for (auto *r : {&g_icmp_device_manager, &g_syslog_device_manager, &g_snmptrap_device_manager}) {
      ASSERT_EQ(target_device_init(r == &g_icmp_device_manager     ? "icmp"
                                   : r == &g_syslog_device_manager ? "syslog"
                                                                   : "snmptrap",
                                   r),
                0);
      target_device_activate(r);
    }
    colt_if_prev_table_init();
  }
  void TearDown() override {
    colt_if_prev_table_clear();
    for (auto *r : {&g_icmp_device_manager, &g_syslog_device_manager, &g_snmptrap_device_manager}) {
      target_device_clear(r);
    }
    device_manager_destroy(&g_device_manager);
    DeviceManager::TearDown();
  }
  // Whom each registry names at `ip` ("" for nobody): icmp, syslog, trap.
  std::string at(const char *ip) {
    std::string out;
    for (auto *r : {&g_icmp_device_manager, &g_syslog_device_manager, &g_snmptrap_device_manager}) {
      char id[80] = "";
      if (target_device_is_exist(r, ip, id, sizeof(id)) != 1) id[0] = '\0';
      out += std::string(r == &g_icmp_device_manager ? "" : "/") + id;
    }
    return out;
  }
};

TEST_F(DeviceList, UpdatesKeepSchedulesAndRegistriesMatchTheDeviceAndRemoveForgetsIt) {
  dev_spec a = {"dev-a", "10.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, true};
  a.syslog = a.trap = true;
  dev_spec b = {"dev-b", "10.0.0.2", _v2c_e, _device_flag_update_e, 0, 0, 0, true};
  ASSERT_EQ(dispatch(DG_PKT_DEVICE_LIST, encode_list({a, b})), 0);
  ASSERT_EQ(dispatch(DG_PKT_ADD_COLLECT_EVENT,
                     encode_events("e1", "dev-a", {{DEVICE_PERF, 1, 60}, {IF_PERF, 2, 60}})),
            0);
  const std::vector<uint64_t> due = due_times("dev-a");
  ASSERT_EQ(due.size(), 2u);
  EXPECT_EQ(at("10.0.0.1"), "dev-a/dev-a/dev-a");
  sent();

  // The collector sends its list every 20 s: unchanged devices keep their
  // events and due times, ask for nothing and are polled when due.
  for (int i = 0; i < 6; i++) {
    test_clock_advance_msec(20000);
    ASSERT_EQ(dispatch(DG_PKT_DEVICE_LIST, encode_list({a, b})), 0);
    int count = 0;
    EXPECT_EQ(due_times("dev-a", &count), due) << i;
    EXPECT_EQ(count, 2) << i;
  }
  dm_event_checker_pass(&g_device_manager, vk_monotonic_msec());
  std::vector<uint16_t> types = sent();
  EXPECT_EQ(std::count(types.begin(), types.end(), DG_PKT_REQ_COLLECT_EVENT), 1);  // dev-b only
  EXPECT_GT(due_times("dev-a")[0], due[0]);  // polled: the next due time moved on
  const std::vector<uint64_t> due2 = due_times("dev-a");
  EXPECT_EQ(target_device_count(&g_icmp_device_manager), 2u);

  // Moved to a new address with syslog off: asked for its events again, its
  // unchanged event keeps its due time, the changed one gets the phase.
  a.ip = "10.0.0.9";
  a.syslog = false;
  ASSERT_EQ(dispatch(DG_PKT_DEVICE_LIST, encode_list({a})), 0);
  int count = -5;
  due_times("dev-a", &count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(at("10.0.0.1"), "//");
  EXPECT_EQ(at("10.0.0.9"), "dev-a//dev-a");
  // While it asks, the events it had go on.
  sent();
  dm_event_checker_pass(&g_device_manager, due2[0]);
  EXPECT_EQ(sent(), (std::vector<uint16_t>{DG_PKT_REQ_COLLECT_EVENT}));
  const std::vector<uint64_t> due3 = due_times("dev-a");
  EXPECT_EQ(due3, (std::vector<uint64_t>{due2[0] + 60000, due2[1] + 60000}));
  ASSERT_EQ(dispatch(DG_PKT_ADD_COLLECT_EVENT,
                     encode_events("e2", "dev-a", {{IF_PERF, 2, 60}, {DEVICE_PERF, 1, 30}})),
            0);
  std::vector<uint64_t> now_due = due_times("dev-a", &count);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(now_due[0], due3[1]);
  EXPECT_EQ(now_due[1], dm_first_due_msec("dev-a", 30, vk_monotonic_msec()));
  a.trap = false;
  ASSERT_EQ(dispatch(DG_PKT_DEVICE_LIST, encode_list({a})), 0);
  EXPECT_EQ(at("10.0.0.9"), "dev-a//");

  // Removed: its entry, events, previous sample and registrations go.
  collect_interface ci;
  collect_interface_init(&ci, "dev-a", 1);
  mlist_item_t *cursor = nullptr;
  colt_get_collect_data_by_index(&ci, &cursor, 1);
  ASSERT_EQ(colt_set_if_perf_prev("dev-a", &ci, nullptr), 0);
  collect_interface_clear(&ci);
  a.flag = _device_flag_remove_e;
  sent();
  ASSERT_EQ(dispatch(DG_PKT_DEVICE_LIST, encode_list({a})), 0);
  EXPECT_EQ(result_of(sent_packets().at(0)), std::make_pair(true, std::string()));
  EXPECT_TRUE(due_times("dev-a").empty());
  EXPECT_EQ(dm_device_count(&g_device_manager), 1u);
  EXPECT_EQ(at("10.0.0.9"), "//");
  EXPECT_EQ(colt_get_if_perf_prev("dev-a"), nullptr);
  EXPECT_EQ(target_device_count(&g_icmp_device_manager), 1u);
  dm_event_checker_pass(&g_device_manager, vk_monotonic_msec() + 3600000);
  types = sent();
  EXPECT_EQ(std::count(types.begin(), types.end(), DG_PKT_REQ_COLLECT_EVENT), 0);
}

TEST_F(DeviceList, AnswersAreNotLostToTheAgentsOwnRequestsAtFiveThousandDevices) {
  conn->queue_count_max = 1000;  // the agent's own limit
  std::vector<std::string> ids;
  std::vector<dev_spec> specs;
  for (int i = 0; i < 5000; i++) ids.push_back("d" + std::to_string(i));
  for (const std::string &id : ids) {
    specs.push_back({id.c_str(), "10.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, true});
  }
  ASSERT_EQ(dispatch(DG_PKT_DEVICE_LIST, encode_list(specs)), 0);
  dm_event_checker_pass(&g_device_manager, vk_monotonic_msec());  // fills the queue with 54005
  ASSERT_EQ(dg_queue_count(conn), 1000u);
  for (int i = 0; i < 300; i++) {
    ASSERT_EQ(dispatch(DG_PKT_ADD_COLLECT_EVENT,
                       encode_events("e", ids[i].c_str(), {{DEVICE_PERF, 1, 60}})),
              0);
  }
  std::vector<uint16_t> types = sent();
  EXPECT_EQ(std::count(types.begin(), types.end(), DG_PKT_PACKET_RESULT), 301);
  EXPECT_EQ(std::count(types.begin(), types.end(), DG_PKT_REQ_COLLECT_EVENT), 999);
}

TEST_F(DeviceList, EventsOfAPackIdBeyond32BitsAreRefusedAndNamed) {
  dev_spec a = {"dev-a", "10.0.0.1", _v2c_e, _device_flag_update_e, 0, 0, 0, true};
  ASSERT_EQ(dispatch(DG_PKT_DEVICE_LIST, encode_list({a})), 0);
  sent();
  ASSERT_EQ(dispatch(DG_PKT_ADD_COLLECT_EVENT,
                     encode_events("e1", "dev-a",
                                   {{DEVICE_PERF, (1ull << 32) + 1, 60}, {IF_PERF, 1, 60}})),
            0);
  EXPECT_EQ(
      result_of(sent_packets().at(0)),
      std::make_pair(true, std::string("skipped 1 event: pack 4294967297: oid pack id is beyond "
                                       "32 bits")));
  vkLock(&g_device_manager.lock);
  device *d = dm_find_device(&g_device_manager, "dev-a");
  EXPECT_EQ(d->event_count, 1);
  const ::event installed = d->event[0];
  vkUnlock(&g_device_manager.lock);
  EXPECT_EQ(installed.oid_pack_id, 1u);
  EXPECT_EQ(installed.type, static_cast<uint32_t>(IF_PERF));
  // Only such events: nothing to install, the device keeps what it has.
  EXPECT_EQ(dispatch(DG_PKT_ADD_COLLECT_EVENT,
                     encode_events("e2", "dev-a", {{DEVICE_PERF, 1ull << 40, 60}})),
            -3);
  EXPECT_EQ(result_of(sent_packets().at(0)).first, false);
}

TEST_F(DeviceList, ConnectionTestsWithUnusableSettingsAreAnsweredWithTheReason) {
  struct test_case {
    const char *ip;
    uint32_t port;
    int version;
    const char *auth_pass;
    const char *reason;
  };
  const test_case cases[] = {
      {"127.0.0.1", 161, 7, "", "snmp version is wrong"},
      {"127.0.0.1", 161, -1, "", "no snmp settings"},
      {"127.0.0.1", 70000, _v2c_e, "", "port is out of range"},
      {"", 161, _v2c_e, "", "address is missing"},
      {"127.0.0.1", 161, _v3_e, "short", "snmp auth pass phrase is shorter than 8 characters"},
  };
  for (const test_case &c : cases) {
    std::vector<uint8_t> ws(8192), out(2048);
    network_connect_test_device_t *m = network_connect_test_device_new(ws.data(), ws.size());
    m->request_id_p = "ct-1";
    m->port = c.port;
    network_connect_test_device_ip_alloc(m);
    m->ip_p->addr.buf_p = reinterpret_cast<const uint8_t *>(c.ip);
    m->ip_p->addr.size = strlen(c.ip);
    if (c.version >= 0) {
      network_connect_test_device_snmp_alloc(m);
      m->snmp_p->version = static_cast<snmp_version_e>(c.version);
      m->snmp_p->community_p = "public";
      network_snmp_info_security_alloc(m->snmp_p);
      m->snmp_p->security_p->security_name_p = "user";
      m->snmp_p->security_p->security_level = _auth_no_priv_e;
      m->snmp_p->security_p->auth_algorithm = 4;
      m->snmp_p->security_p->auth_password_p = c.auth_pass;
    }
    int n = network_connect_test_device_encode(m, out.data(), out.size());
    ASSERT_GT(n, 0);
    out.resize(n);
    EXPECT_EQ(dispatch(DG_PKT_CONNECT_TEST_DEVICE, out), -3) << c.reason;
    auto pk = sent_packets();
    ASSERT_EQ(pk.size(), 1u) << c.reason;
    EXPECT_EQ(pk[0].first, DG_PKT_DISCOVERY_DEVICE);
    std::vector<uint8_t> dws(65536);
    network_discovery_device_t *d = network_discovery_device_new(dws.data(), dws.size());
    ASSERT_GE(network_discovery_device_decode(d, pk[0].second.data(), pk[0].second.size()), 0);
    EXPECT_STREQ(d->request_id_p, "ct-1");
    EXPECT_FALSE(d->success);
    EXPECT_STREQ(d->fail_message_p, c.reason);
  }
}

}  // namespace
