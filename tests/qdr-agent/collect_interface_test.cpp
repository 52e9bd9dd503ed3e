// Interface statistics and performance: the counter arithmetic as tables of
// cases, the row lookup and the previous-sample table, and whole collections
// against a private snmpd whose interface table the test moves between
// samples (32-bit wraps, 64-bit resets, interfaces that come and go),
// checked in the decoded packets.
#include "collect_interface.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "collect_oid.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "if_table_agent.h"
#include "network_public_stat.h"
#include "snmp_test_env.h"
#include "snmpd_fixture.h"

namespace {

const auto *const g_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(/*agent_output=*/true));

constexpr uint64_t kSec = 1000000000ull;
constexpr long kTimeoutUs = 3000000;
constexpr int kRetries = 3;

colt_integer64 c32(uint64_t v) {
  return {ASN_COUNTER, v};
}
colt_integer64 g32(uint64_t v) {
  return {ASN_GAUGE, v};
}
colt_integer64 c64(uint64_t v) {
  return {ASN_COUNTER64, v};
}

TEST(CollectInterface, DeltaOfEachCounterKind) {
  struct {
    const char *what;
    colt_integer64 prev, cur;
    uint64_t bound;
    int ret;
    uint64_t delta;
  } cases[] = {
      {"counter32 up", c32(100), c32(250), 0, 0, 150},
      {"counter32 wrap", c32(4294967000u), c32(100), 0, 0, 396},
      {"counter32 wrap within the bound", c32(4294967000u), c32(100), 1000, 0, 396},
      {"counter32 'wrap' beyond the bound is a reset", c32(4000000000u), c32(100), 1000, 1, 100},
      {"a reset cannot count past the bound: beyond it too, cur says it wrapped", c32(3153847306u),
       c32(446138756), 1562501, 0, 1587258746},
      {"cur right at the bound may be a reset", c32(4000000000u), c32(1000), 1000, 1, 1000},
      {"a gauge that falls is its value, not a wrap", g32(4294967000u), g32(100), 10, 0, 100},
      {"a gauge that rises is its value too", g32(5), g32(7), 0, 0, 7},
      {"counter64 down is a reset", c64(10), c64(5), 0, 1, 5},
      {"counter64 up", c64(1ull << 40), c64((1ull << 40) + 7), 0, 0, 7},
      {"type changed", c32(1), c64(5), 0, -2, 999},
      {"previous never set", {0, 0}, c32(5), 0, -2, 999},
      {"integer stays 0", {ASN_INTEGER, 0}, {ASN_INTEGER, 0}, 0, 0, 0},
  };
  for (const auto &c : cases) {
    uint64_t d = 999;
    EXPECT_EQ(colt_cal_delta_integer64_bounded(&c.prev, &c.cur, c.bound, &d), c.ret) << c.what;
    EXPECT_EQ(d, c.delta) << c.what;
  }
  uint64_t d = 0;
  colt_integer64 a = c32(1);
  EXPECT_EQ(colt_cal_delta_integer64(nullptr, &a, &d), -1);
}

TEST(CollectInterface, RateIsAPercentCappedAt100) {
  struct {
    uint64_t dividend, divisor;
    double rate;
  } cases[] = {{5, 0, 0}, {50, 200, 25}, {300, 200, 100}, {0, 7, 0}};
  for (const auto &c : cases) {
    double r = -1;
    EXPECT_EQ(colt_cal_rate_integer64(c.dividend, c.divisor, &r), 0);
    EXPECT_DOUBLE_EQ(r, c.rate) << c.dividend << "/" << c.divisor;
  }
}

// A sample with one row per entry: {index, bandwidth, in octets, in errors,
// in ucast}; octets as Counter32.
struct row_spec {
  uint32_t index;
  uint64_t bandwidth;
  colt_integer64 in_octets;
  uint64_t in_errors;
  uint64_t in_ucast;
  uint64_t uptime = 0;  // device uptime in ticks; 0: not read
  colt_integer64 qlen = {};
};

void fill(collect_interface *ci, const char *dev, uint64_t t, const std::vector<row_spec> &rows) {
  collect_interface_init(ci, dev, t);
  mlist_item_t *cursor = nullptr;
  for (const row_spec &r : rows) {
    collect_if_data *d = colt_get_collect_data_by_index(ci, &cursor, r.index);
    ASSERT_NE(d, nullptr);
    d->perf_raw.bandwidth = g32(r.bandwidth);
    d->perf_raw.in_octet_count = r.in_octets;
    d->perf_raw.in_error_count = c32(r.in_errors);
    d->perf_raw.in_ucast_pkt_count = c32(r.in_ucast);
    if (r.uptime != 0) d->perf_raw.sys_uptime = {ASN_TIMETICKS, r.uptime};
    d->perf_raw.out_qlen = r.qlen;
  }
}

TEST(CollectInterface, ComputedRecordsFollowTheRules) {
  // What the first computed record must carry (count: records expected).
  struct want {
    size_t count;
    uint64_t in_octets;
    double in_bps, in_bps_rate, in_error_rate;
    uint64_t in_errors = 0, in_ucast = 0, qlen = 0;
  };
  const uint64_t mb100 = 100000000, mb10 = 10000000, gb1 = 1000000000;
  struct {
    const char *what;
    uint64_t interval_ns;
    std::vector<row_spec> prev, cur;
    want w;
  } cases[] = {
      {"150 MB in 60 s on 100 Mb/s",
       60 * kSec,
       {{1, mb100, c32(0), 0, 0}},
       {{1, mb100, c32(150000000), 0, 0}},
       {1, 150000000, 20000000, 20, 0}},
      {"bandwidth 0 leaves the bit-rate percentages at 0",
       10 * kSec,
       {{1, 0, c32(0), 0, 0}},
       {{1, 0, c32(1000), 0, 0}},
       {1, 1000, 800, 0, 0}},
      {"errors over all packets in",
       10 * kSec,
       {{1, 0, c32(0), 0, 0}},
       {{1, 0, c32(0), 50, 150}},
       {1, 0, 0, 0, 25, 50, 150}},
      {"a reboot of a 10 Mb/s port is a reset, not 4 GB",
       10 * kSec,
       {{1, mb10, c32(4000000000u), 0, 0}},
       {{1, mb10, c32(5000), 0, 0}},
       {1, 5000, 4000, 0.04, 0}},
      {"a genuine wrap on a 1 Gb/s port stays a wrap",
       10 * kSec,
       {{1, gb1, c32(4294967000u), 0, 0}},
       {{1, gb1, c32(1000000000u), 0, 0}},
       {1, 1000000296, 800000236.8, 80.0000236, 0}},
      {"a loopback's nominal 10 Mb/s is no ceiling: 1.59 GB in 1 s past a wrap stays a wrap",
       kSec,
       {{1, mb10, c32(3153847306u), 7, 0}},
       {{1, mb10, c32(446138756), 9, 0}},
       {1, 1587258746, 12698069968, 100, 100, 2}},
      {"a reboot resets the whole row: errors and packets count from 0, not from a 2^32 wrap",
       10 * kSec,
       {{1, mb10, c32(4000000000u), 3000, 6000}},
       {{1, mb10, c32(5000), 0, 20}},
       {1, 5000, 4000, 0.04, 0, 0, 20}},
      {"an uptime that went back resets the row even with no bandwidth to bound octets",
       10 * kSec,
       {{1, 0, c32(1000000), 100, 1000, 500000}},
       {{1, 0, c32(500), 0, 30, 300}},
       {1, 500, 400, 0, 0, 0, 30}},
      {"an uptime that wrapped its 32 bits is no restart",
       10 * kSec,
       {{1, 0, c32(1000), 0, 0, 4294967000u}},
       {{1, 0, c32(2000), 0, 0, 500}},
       {1, 1000, 800, 0, 0}},
      {"a falling gauge queue length is its value",
       10 * kSec,
       {{1, 0, c32(0), 0, 0, 0, g32(50)}},
       {{1, 0, c32(0), 0, 0, 0, g32(3)}},
       {1, 0, 0, 0, 0, 0, 0, 3}},
      {"counter64 reset: the current value",
       10 * kSec,
       {{1, 0, c64(1ull << 50), 0, 0}},
       {{1, 0, c64(1000), 0, 0}},
       {1, 1000, 800, 0, 0}},
      {"rates divide by the exact interval, not its whole seconds",
       9999600000ull,  // 9.9996 s: a whole-second interval would be 9 s, 11 % high
       {{1, mb100, c32(0), 0, 0}},
       {{1, mb100, c32(62497500), 0, 0}},
       {1, 62497500, 50000000, 50, 0}},
      {"just over a second apart",
       kSec + kSec / 2,
       {{1, mb100, c32(0), 0, 0}},
       {{1, mb100, c32(1500000), 0, 0}},
       {1, 1500000, 8000000, 8, 0}},
      {"under a second apart: no records",
       kSec - 1,
       {{1, 0, c32(0), 0, 0}},
       {{1, 0, c32(10), 0, 0}},
       {0, 0, 0, 0, 0}},
      {"gone and new interfaces pair up by index",
       10 * kSec,
       {{1, 0, c32(0), 0, 0}, {2, 0, c32(0), 0, 0}},
       {{3, 0, c32(0), 0, 0}, {2, 0, c32(80), 0, 0}},
       {1, 80, 64, 0, 0}},
  };
  for (const auto &c : cases) {
    collect_interface prev, cur;
    fill(&prev, "dev", 100 * kSec, c.prev);
    fill(&cur, "dev", 100 * kSec + c.interval_ns, c.cur);
    size_t n = 99;
    collect_if_perf *p = colt_calculate_if_perf(&prev, &cur, &n);
    EXPECT_EQ(n, c.w.count) << c.what;
    if (c.w.count > 0 && p != nullptr) {
      EXPECT_EQ(p[0].in_octet_count, c.w.in_octets) << c.what;
      EXPECT_DOUBLE_EQ(p[0].in_bps, c.w.in_bps) << c.what;
      EXPECT_NEAR(p[0].in_bps_rate, c.w.in_bps_rate, 1e-6) << c.what;
      EXPECT_DOUBLE_EQ(p[0].in_error_rate, c.w.in_error_rate) << c.what;
      EXPECT_EQ(p[0].in_error_count, c.w.in_errors) << c.what;
      EXPECT_EQ(p[0].in_ucast_pkt_count, c.w.in_ucast) << c.what;
      EXPECT_EQ(p[0].out_qlen, c.w.qlen) << c.what;
      EXPECT_EQ(p[0].collect_time, cur.collect_time) << c.what;
    } else {
      EXPECT_EQ(p, nullptr) << c.what;
    }
    free(p);
    collect_interface_clear(&prev);
    collect_interface_clear(&cur);
  }
}

TEST(CollectInterface, RowsOutOfOrderFindTheirRowOverTheWholeList) {
  collect_interface ci;
  collect_interface_init(&ci, "dev", 1);
  for (const std::vector<uint32_t> &column :
       {std::vector<uint32_t>{1, 2, 3}, {3, 1, 2}, {2, 3, 1}}) {
    mlist_item_t *cursor = nullptr;
    for (uint32_t idx : column) {
      collect_if_data *d = colt_get_collect_data_by_index(&ci, &cursor, idx);
      ASSERT_NE(d, nullptr);
      EXPECT_EQ(d->oid_index, idx);
    }
  }
  EXPECT_EQ(ci.data.count, 3u);
  collect_interface_clear(&ci);
}

TEST(CollectInterface, PreviousSampleHeldByAnotherThreadIsNeitherFreedNorLeaked) {
  ASSERT_EQ(colt_if_prev_table_init(), 0);
  const char *dev = "prev-table-dev";
  collect_interface s1;
  fill(&s1, dev, 10 * kSec, {{1, 0, c32(1), 0, 0}});
  EXPECT_EQ(colt_get_if_perf_prev(dev), nullptr);  // first sample
  ASSERT_EQ(colt_set_if_perf_prev(dev, &s1, nullptr), 0);
  EXPECT_EQ(s1.data.count, 0u);  // rows moved into the table

  collect_interface *held = colt_get_if_perf_prev(dev);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->collect_time, 10 * kSec);
  // Another thread finds it in use and stores its own, newer sample.
  std::thread other([&] {
    EXPECT_EQ(colt_get_if_perf_prev(dev), nullptr);
    collect_interface s2;
    fill(&s2, dev, 30 * kSec, {{1, 0, c32(3), 0, 0}});
    EXPECT_EQ(colt_set_if_perf_prev(dev, &s2, nullptr), 0);
    collect_interface_clear(&s2);
  });
  other.join();
  // The held record is still ours to read (ASan would see a free here).
  ASSERT_EQ(held->data.count, 1u);
  EXPECT_EQ(static_cast<collect_if_data *>(held->data.head->data)->perf_raw.in_octet_count.value,
            1u);
  // Giving it back with an older sample frees it and keeps the newer one.
  collect_interface s3;
  fill(&s3, dev, 20 * kSec, {{1, 0, c32(2), 0, 0}});
  EXPECT_EQ(colt_set_if_perf_prev(dev, &s3, held), 1);
  collect_interface_clear(&s3);
  collect_interface *now = colt_get_if_perf_prev(dev);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->collect_time, 30 * kSec);
  collect_interface s4;
  fill(&s4, dev, 40 * kSec, {});
  EXPECT_EQ(colt_set_if_perf_prev(dev, &s4, now), 0);
  collect_interface_clear(&s4);
  colt_if_prev_table_clear();
}

// ---- Whole collections against a private snmpd ----

class IfCollection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(colt_if_prev_table_init(), 0);
    std::string err;
    ASSERT_TRUE(table.prepare(files.path, &err)) << err;
    vktest::snmpd_options o;
    o.v3_users = false;
    o.extra_lines.push_back(table.conf_line());
    ASSERT_TRUE(agent.start(o, &err)) << err;
    dgcomm_init();
    conn = make_dg_conn("127.0.0.1", 9010, 64);
    ASSERT_NE(conn, nullptr);
    conn->connection_state.store(DG_STATE_CONNECTED);
    gp_main_dgconn = conn;
    ASSERT_EQ(oid_manager_init(&mgr), 0);
    ASSERT_EQ(oid_manager_activate(&mgr), 0);
    // Explicit time-out and retries: a busy machine may hold an answer for
    // a while, and the library's default would decide how long.
    ASSERT_EQ(sm_set_snmp_info(&session.info, "127.0.0.1", static_cast<uint16_t>(agent.port), 1,
                               kTimeoutUs, kRetries, "public"),
              0);
    ASSERT_TRUE(session.open());
  }
  void TearDown() override {
    session.close();
    gp_main_dgconn = nullptr;
    if (conn != nullptr) dg_conn_free(conn);
    oid_manager_clear(&mgr);
    colt_if_prev_table_clear();
  }
  // A bulk pack of (type name, column) pairs.
  oid_pack *make_pack(uint32_t id, const std::vector<std::pair<const char *, int>> &oids) {
    vlist_item_t *item = nullptr;
    oid_pack *p = om_new_oid_pack_for_list(id, SNMP_REQ_TYPE_BULK, &item);
    for (const auto &o : oids) {
      oid_info_add_to_list(&p->list, o.first, vktest::if_table_agent::column_oid(o.second).c_str());
    }
    om_update_oid_pack_from_item(&mgr, item);
    return om_get_oid_pack_by_id(&mgr, id);
  }
  // Takes the oldest queued packet: its type and payload.
  std::pair<uint16_t, std::vector<uint8_t>> pop() {
    mlist_item_t *item = nullptr;
    pkt_data *pd = static_cast<pkt_data *>(mlist_pop_front_data(&conn->send_queue, nullptr, &item));
    if (pd == nullptr) return {0, {}};
    std::pair<uint16_t, std::vector<uint8_t>> out{pd->type, {pd->body, pd->body + pd->body_len}};
    remove_pkt(conn, item);
    return out;
  }

  vktest::temp_dir files;
  vktest::if_table_agent table;
  vktest::snmpd_instance agent;
  dg_conn *conn = nullptr;
  oid_manager mgr{};
  snmptest::open_session session;
  alignas(8) uint8_t ws[65536];
};

TEST_F(IfCollection, StatisticsCarryTheTableAsText) {
  vktest::if_row a;
  a.index = 1;
  a.descr = "eth 0";
  a.speed = 1000000000;
  a.mtu = 9000;
  a.phys = "00:11:22:33:44:55";
  a.phys_octets = "ABCDEF";  // printable bytes, still an address
  vktest::if_row b;
  b.index = 7;
  b.descr = std::string(500, 'd');  // far beyond a fixed per-row packet size
  b.oper = 2;
  b.phys_octets = std::string("\x00\x11\x22\x33\x44\x55", 6);
  // Texts as devices hold them: quotes and a backslash, UTF-8, a Latin-1
  // byte, and a UTF-8 text longer than its field.
  vktest::if_row q, u, l, g;
  q.index = 8;
  q.descr = "\"core-1\" up\\link";
  u.index = 9;
  u.descr = "B\xC3\xBCro-Switch \xE2\x82\xAC";
  l.index = 10;
  l.descr = "caf\xE9";
  g.index = 11;
  for (int i = 0; i < 300; i++) g.descr += "\xC3\xA9";  // 600 bytes, 300 characters
  ASSERT_TRUE(table.set_rows({a, b, q, u, l, g}));
  oid_pack *pack = make_pack(1, {{"interface.index", vktest::IF_COL_INDEX},
                                 {"interface.descriptor", vktest::IF_COL_DESCR},
                                 {"interface.phys_addr", vktest::IF_COL_PHYS_OCTETS},
                                 {"interface.mtu", vktest::IF_COL_MTU},
                                 {"interface.speed", vktest::IF_COL_SPEED},
                                 {"interface.oper_status", vktest::IF_COL_OPER},
                                 {"interface.in_octets", vktest::IF_COL_IN_OCTETS}});
  ASSERT_NE(pack, nullptr);
  EXPECT_EQ(colt_if_stat(5 * kSec, "dev-stat", nullptr, session.fd, pack), 0);
  om_release(&mgr, pack);
  auto pkt = pop();
  ASSERT_EQ(pkt.first, DG_PKT_INTERFACE_STAT);
  network_if_stat_list_t *m = network_if_stat_list_new(ws, sizeof(ws));
  ASSERT_GE(network_if_stat_list_decode(m, pkt.second.data(), pkt.second.size()), 0);
  ASSERT_EQ(m->stats.length, 6);
  const network_if_stat_t &s0 = m->stats.items_p[0];
  EXPECT_STREQ(s0.device_id_p, "dev-stat");
  EXPECT_EQ(s0.oid_index, 1u);
  EXPECT_EQ(s0.index, 1u);
  EXPECT_STREQ(s0.descriptor_p, "eth 0");
  EXPECT_EQ(s0.mtu, 9000u);
  EXPECT_EQ(s0.bandwidth, 1000000000u);
  EXPECT_EQ(s0.collect_time, 5 * kSec);
  EXPECT_EQ(m->stats.items_p[1].oid_index, 7u);
  EXPECT_EQ(strlen(m->stats.items_p[1].descriptor_p), 500u);
  EXPECT_EQ(m->stats.items_p[1].oper_status, 2u);
  EXPECT_STREQ(s0.physical_address_p, "41 42 43 44 45 46");
  EXPECT_STREQ(m->stats.items_p[1].physical_address_p, "00 11 22 33 44 55");
  EXPECT_STREQ(m->stats.items_p[2].descriptor_p, "\"core-1\" up\\link");
  EXPECT_STREQ(m->stats.items_p[3].descriptor_p, "B\xC3\xBCro-Switch \xE2\x82\xAC");
  EXPECT_STREQ(m->stats.items_p[4].descriptor_p, "caf\xC3\xA9");
  // Cut to the 511 bytes the field holds, at a character boundary: 255
  // two-byte characters.
  std::string cut;
  for (int i = 0; i < 255; i++) cut += "\xC3\xA9";
  EXPECT_EQ(std::string(m->stats.items_p[5].descriptor_p), cut);
  EXPECT_EQ(pop().first, 0);  // one packet only
}

TEST_F(IfCollection, PerformanceAcrossWrapsResetsAndChangingInterfaces) {
  oid_pack *pack = make_pack(2, {{"interface.speed", vktest::IF_COL_SPEED},
                                 {"interface.in_octets", vktest::IF_COL_HC_IN_OCTETS},
                                 {"interface.out_octets", vktest::IF_COL_OUT_OCTETS},
                                 {"interface.in_errors", vktest::IF_COL_IN_ERRORS},
                                 {"interface.in_ucast_pkts", vktest::IF_COL_IN_UCAST},
                                 {"interface.out_qlen", vktest::IF_COL_OUT_QLEN}});
  ASSERT_NE(pack, nullptr);
  auto decode_raw = [&](const std::vector<uint8_t> &b) {
    network_if_perf_raw_list_t *m = network_if_perf_raw_list_new(ws, sizeof(ws));
    EXPECT_GE(network_if_perf_raw_list_decode(m, b.data(), b.size()), 0);
    return m;
  };
  auto decode_perf = [&](const std::vector<uint8_t> &b) {
    network_if_perf_list_t *m = network_if_perf_list_new(ws, sizeof(ws));
    EXPECT_GE(network_if_perf_list_decode(m, b.data(), b.size()), 0);
    return m;
  };
  const char *dev = "dev-perf";
  vktest::if_row r1, r2, r4;
  r1.index = 1;
  r1.speed = 100000000;
  r1.hc_in_octets = 1ull << 40;
  r1.out_octets = 4294967000u;
  r2.index = 2;
  r2.speed = 10000000;
  r2.out_octets = 4000000000u;
  r2.in_errors = 3000;
  r2.in_ucast = 6000;
  r2.out_qlen = 50;
  // Interface 4: a nominal 10 Mb/s (as a loopback reports) carrying far more.
  r4.index = 4;
  r4.speed = 10000000;
  r4.out_octets = 3000000000u;
  ASSERT_TRUE(table.set_rows({r1, r2, r4}));

  // First sample: raw counters only.
  ASSERT_EQ(colt_if_perf(100 * kSec, dev, nullptr, session.fd, pack), 0);
  auto p = pop();
  ASSERT_EQ(p.first, DG_PKT_INTERFACE_PERF_RAW);
  network_if_perf_raw_list_t *raw = decode_raw(p.second);
  ASSERT_EQ(raw->perfs.length, 3);
  EXPECT_EQ(raw->perfs.items_p[0].in_octet_count, 1ull << 40);
  EXPECT_EQ(raw->perfs.items_p[1].out_octet_count, 4000000000u);
  EXPECT_EQ(pop().first, 0);

  // Ten seconds on: row 1's 64-bit counter was reset, so its whole row
  // counts from 0 (the 32-bit out counter that fell is not a wrap); row 2
  // (10 Mb/s) "wrapped" by more than it can carry: a reboot, so its errors
  // and packets count from 0 as well, and its queue length (a gauge) fell;
  // interface 4's counter fell to 2e9, beyond what 10 Mb/s carries in 10 s
  // just as its wrap is: not a reset, the wrap; interface 3 appeared.
  r1.hc_in_octets = 500;
  r1.out_octets = 1000;
  r1.in_errors = 5;
  r1.in_ucast = 15;
  r2.out_octets = 7000;
  r2.in_errors = 0;
  r2.in_ucast = 20;
  r2.out_qlen = 3;
  r4.out_octets = 2000000000u;
  vktest::if_row r3;
  r3.index = 3;
  ASSERT_TRUE(table.set_rows({r1, r2, r3, r4}));
  ASSERT_EQ(colt_if_perf(110 * kSec, dev, nullptr, session.fd, pack), 0);
  p = pop();
  ASSERT_EQ(p.first, DG_PKT_INTERFACE_PERF_RAW);
  EXPECT_EQ(decode_raw(p.second)->perfs.length, 4);
  p = pop();
  ASSERT_EQ(p.first, DG_PKT_INTERFACE_PERF);
  network_if_perf_list_t *perf = decode_perf(p.second);
  ASSERT_EQ(perf->perfs.length, 3);  // interface 3 has no earlier sample
  const network_if_perf_t &a = perf->perfs.items_p[0];
  EXPECT_STREQ(a.device_id_p, dev);
  EXPECT_EQ(a.oid_index, 1u);
  EXPECT_EQ(a.in_octet_count, 500u);
  EXPECT_EQ(a.out_octet_count, 1000u);
  EXPECT_DOUBLE_EQ(a.in_bps, 400);
  EXPECT_DOUBLE_EQ(a.in_error_rate, 25);
  EXPECT_EQ(a.collect_time, 110 * kSec);
  const network_if_perf_t &b = perf->perfs.items_p[1];
  EXPECT_EQ(b.oid_index, 2u);
  EXPECT_EQ(b.out_octet_count, 7000u);
  EXPECT_EQ(b.in_error_count, 0u);
  EXPECT_EQ(b.in_ucast_pkt_count, 20u);
  EXPECT_DOUBLE_EQ(b.in_error_rate, 0);
  EXPECT_EQ(b.out_qlen, 3u);
  const network_if_perf_t &c = perf->perfs.items_p[2];
  EXPECT_EQ(c.oid_index, 4u);
  EXPECT_EQ(c.out_octet_count, 3294967296u);
  EXPECT_DOUBLE_EQ(c.out_bps, 3294967296.0 * 8 / 10);

  // Half a second later: raw counters, no computed records. Interface 2 is
  // gone.
  ASSERT_TRUE(table.set_rows({r1, r3, r4}));
  ASSERT_EQ(colt_if_perf(110 * kSec + kSec / 2, dev, nullptr, session.fd, pack), 0);
  p = pop();
  ASSERT_EQ(p.first, DG_PKT_INTERFACE_PERF_RAW);
  EXPECT_EQ(decode_raw(p.second)->perfs.length, 3);
  EXPECT_EQ(pop().first, 0);
  om_release(&mgr, pack);
}

TEST_F(IfCollection, FastLinksAreMeasuredAgainstTheirHighSpeed) {
  // 10 Gb/s and 40 Gb/s ports: ifSpeed saturated; utilisation and the
  // reported bandwidth follow ifHighSpeed. The first pack does not
  // carry ifHighSpeed (it is walked), the second does.
  vktest::if_row r1, r2, r3;
  r1.index = 1;
  r1.speed = 4294967295u;
  r1.high_speed = 10000;
  r2.index = 2;
  r2.speed = 4294967295u;
  r2.high_speed = 40000;
  r3.index = 3;
  r3.speed = 100000000;
  r3.high_speed = 100;
  ASSERT_TRUE(table.set_rows({r1, r2, r3}));
  std::vector<std::pair<const char *, int>> columns = {
      {"interface.speed", vktest::IF_COL_SPEED},
      {"interface.in_octets", vktest::IF_COL_HC_IN_OCTETS}};
  oid_pack *walked = make_pack(4, columns);
  ASSERT_NE(walked, nullptr);
  vlist_item_t *item = nullptr;
  oid_pack *carried = om_new_oid_pack_for_list(5, SNMP_REQ_TYPE_BULK, &item);
  for (const auto &o : columns) {
    oid_info_add_to_list(&carried->list, o.first,
                         vktest::if_table_agent::column_oid(o.second).c_str());
  }
  oid_info_add_to_list(&carried->list, "etc", "1.3.6.1.2.1.31.1.1.1.15");
  om_update_oid_pack_from_item(&mgr, item);
  carried = om_get_oid_pack_by_id(&mgr, 5);
  ASSERT_NE(carried, nullptr);

  for (oid_pack *pack : {walked, carried}) {
    std::string dev = "dev-fast-" + std::to_string(pack->id);
    r1.hc_in_octets = r2.hc_in_octets = r3.hc_in_octets = 0;
    ASSERT_TRUE(table.set_rows({r1, r2, r3}));
    ASSERT_EQ(colt_if_perf(100 * kSec, dev.c_str(), nullptr, session.fd, pack), 0);
    EXPECT_EQ(pop().first, DG_PKT_INTERFACE_PERF_RAW);
    // 1.25e9 octets in 10 s: 1 Gb/s.
    r1.hc_in_octets = r2.hc_in_octets = r3.hc_in_octets = 1250000000ull;
    ASSERT_TRUE(table.set_rows({r1, r2, r3}));
    ASSERT_EQ(colt_if_perf(110 * kSec, dev.c_str(), nullptr, session.fd, pack), 0);
    EXPECT_EQ(pop().first, DG_PKT_INTERFACE_PERF_RAW);
    auto p = pop();
    ASSERT_EQ(p.first, DG_PKT_INTERFACE_PERF);
    network_if_perf_list_t *m = network_if_perf_list_new(ws, sizeof(ws));
    ASSERT_GE(network_if_perf_list_decode(m, p.second.data(), p.second.size()), 0);
    ASSERT_EQ(m->perfs.length, 3) << dev;
    EXPECT_DOUBLE_EQ(m->perfs.items_p[0].in_bps, 1e9) << dev;
    EXPECT_DOUBLE_EQ(m->perfs.items_p[0].in_bps_rate, 10) << dev;   // not 23.3 % of 4.29 Gb/s
    EXPECT_DOUBLE_EQ(m->perfs.items_p[1].in_bps_rate, 2.5) << dev;  // 40 Gb/s
    EXPECT_DOUBLE_EQ(m->perfs.items_p[2].in_bps_rate, 100) << dev;  // ifSpeed as it is

    // Statistics report the same speeds.
    ASSERT_EQ(colt_if_stat(120 * kSec, dev.c_str(), nullptr, session.fd, pack), 0);
    p = pop();
    ASSERT_EQ(p.first, DG_PKT_INTERFACE_STAT);
    network_if_stat_list_t *s = network_if_stat_list_new(ws, sizeof(ws));
    ASSERT_GE(network_if_stat_list_decode(s, p.second.data(), p.second.size()), 0);
    ASSERT_EQ(s->stats.length, 3) << dev;
    EXPECT_EQ(s->stats.items_p[0].bandwidth, 10000000000ull) << dev;
    EXPECT_EQ(s->stats.items_p[1].bandwidth, 40000000000ull) << dev;
    EXPECT_EQ(s->stats.items_p[2].bandwidth, 100000000ull) << dev;
    om_release(&mgr, pack);
  }
}

// The helper also serves the device's uptime, so a test can restart it.
class IfCollectionUptime : public IfCollection {
 protected:
  void SetUp() override {
    table.own_uptime = true;
    IfCollection::SetUp();
  }
};

TEST_F(IfCollectionUptime, ARestartSeenOnlyInTheUptimeResetsEveryCounter) {
  oid_pack *pack = make_pack(6, {{"interface.speed", vktest::IF_COL_SPEED},
                                 {"interface.in_octets", vktest::IF_COL_IN_OCTETS},
                                 {"interface.in_errors", vktest::IF_COL_IN_ERRORS},
                                 {"interface.in_ucast_pkts", vktest::IF_COL_IN_UCAST}});
  ASSERT_NE(pack, nullptr);
  // No speed: nothing bounds the octets, only the uptime tells a restart.
  vktest::if_row r;
  r.index = 1;
  r.in_octets = 3000000000u;
  r.in_errors = 3000;
  r.in_ucast = 6000;
  struct step {
    uint32_t uptime, in_octets, in_errors, in_ucast;
    uint64_t w_octets, w_errors, w_ucast;
  } steps[] = {
      {500000, 3000000000u, 3000, 6000, 0, 0, 0},  // first sample: raw only
      {300, 5000, 0, 20, 5000, 0, 20},             // restarted
      {1300, 6000, 3, 29, 1000, 3, 9},             // running on
  };
  uint64_t t = 100 * kSec;
  for (const step &s : steps) {
    table.uptime = s.uptime;
    r.in_octets = s.in_octets;
    r.in_errors = s.in_errors;
    r.in_ucast = s.in_ucast;
    ASSERT_TRUE(table.set_rows({r}));
    ASSERT_EQ(colt_if_perf(t, "dev-restart", nullptr, session.fd, pack), 0);
    EXPECT_EQ(pop().first, DG_PKT_INTERFACE_PERF_RAW);
    if (t > 100 * kSec) {
      auto p = pop();
      ASSERT_EQ(p.first, DG_PKT_INTERFACE_PERF) << s.uptime;
      network_if_perf_list_t *m = network_if_perf_list_new(ws, sizeof(ws));
      ASSERT_GE(network_if_perf_list_decode(m, p.second.data(), p.second.size()), 0);
      ASSERT_EQ(m->perfs.length, 1);
      EXPECT_EQ(m->perfs.items_p[0].in_octet_count, s.w_octets) << s.uptime;
      EXPECT_EQ(m->perfs.items_p[0].in_error_count, s.w_errors) << s.uptime;
      EXPECT_EQ(m->perfs.items_p[0].in_ucast_pkt_count, s.w_ucast) << s.uptime;
      EXPECT_DOUBLE_EQ(m->perfs.items_p[0].in_error_rate,
                       100.0 * s.w_errors / static_cast<double>(s.w_errors + s.w_ucast));
    }
    t += 10 * kSec;
  }
  om_release(&mgr, pack);
}

TEST_F(IfCollection, BadDeviceIdOrNoSessionSendsNothing) {
  ASSERT_TRUE(table.set_rows({vktest::if_row{}}));
  oid_pack *pack = make_pack(3, {{"interface.in_octets", vktest::IF_COL_IN_OCTETS}});
  ASSERT_NE(pack, nullptr);
  uint32_t requests = snmptest::perf_now().request;
  EXPECT_EQ(colt_if_perf(kSec, "", nullptr, session.fd, pack), -4);
  EXPECT_EQ(colt_if_stat(kSec, "", nullptr, session.fd, pack), -4);
  EXPECT_EQ(colt_if_perf(kSec, "dev", nullptr, nullptr, pack), -4);
  EXPECT_EQ(colt_if_stat(kSec, "dev", nullptr, nullptr, pack), -4);
  EXPECT_EQ(snmptest::perf_now().request, requests);
  collect_interface empty;
  collect_interface_init(&empty, "", kSec);
  EXPECT_EQ(colt_send_if_perf_raw(&empty), -1);
  EXPECT_EQ(pop().first, 0);
  om_release(&mgr, pack);
}

}  // namespace
