// Device performance against a private snmpd: the figures a device keeps
// in types other than the plain ones (numbers as text, 64-bit memory,
// temperatures below zero) reach the collector as numbers, checked in the
// decoded 54101 packets; and the number reading of each value type.
#include "collect_perf.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "dg_outbox.h"
#include "dgcomm.h"
#include "if_table_agent.h"
#include "network_public_stat.h"
#include "snmp_test_env.h"
#include "snmpd_fixture.h"

namespace {

const auto *const g_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(/*agent_output=*/true));

constexpr long kTimeoutUs = 3000000;
constexpr int kRetries = 3;

class DevicePerf : public ::testing::Test {
 protected:
  void SetUp() override {
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
  }

  vktest::temp_dir files;
  vktest::if_table_agent table;
  vktest::snmpd_instance agent;
  dg_conn *conn = nullptr;
  oid_manager mgr{};
  snmptest::open_session session;
  alignas(8) uint8_t ws[4096];
};

TEST_F(DevicePerf, FiguresOfEveryTypeReachTheCollectorAsNumbers) {
  vlist_item_t *item = nullptr;
  oid_pack *pack = om_new_oid_pack_for_list(1, SNMP_REQ_TYPE_GET, &item);
  const char *names[] = {"device.cpu", "device.memory", "device.temperature", "device.uptime"};
  for (int i = 0; i < 4; i++) {
    oid_info_add_to_list(&pack->list, names[i], vktest::if_table_agent::scalar_oid(i + 1).c_str());
  }
  om_update_oid_pack_from_item(&mgr, item);
  pack = om_get_oid_pack_by_id(&mgr, 1);
  ASSERT_NE(pack, nullptr);

  // Each round: the four values as served (type, value) and the message.
  struct served {
    const char *type;
    const char *value;
  };
  struct {
    const char *what;
    served cpu, memory, temperature, uptime;
    uint32_t w_cpu, w_memory, w_temperature;
    uint64_t w_uptime;
  } rounds[] = {
      {"plain types",
       {"gauge", "17"},
       {"integer", "2048"},
       {"integer", "45"},
       {"timeticks", "12345"},
       17,
       2048,
       45,
       12345},
      {"numbers kept as text, 64-bit memory, a cold sensor",
       {"string", "17"},
       {"counter64", "5000000000"},  // not its low half, 705032704
       {"integer", "-5"},
       {"string", " 42.7 "},
       17,
       4294967295u,
       static_cast<uint32_t>(-5),
       42},
      {"what is not a number is 0",
       {"string", "busy"},
       {"octet", "FF FE"},
       {"string", "-"},
       {"gauge", "0"},
       0,
       0,
       0,
       0},
  };
  for (const auto &r : rounds) {
    ASSERT_TRUE(table.set_rows({}, {{1, r.cpu.type, r.cpu.value},
                                    {2, r.memory.type, r.memory.value},
                                    {3, r.temperature.type, r.temperature.value},
                                    {4, r.uptime.type, r.uptime.value}}));
    ASSERT_EQ(colt_device_perf(77, "dev-perf", nullptr, session.fd, pack), 0) << r.what;
    mlist_item_t *qi = nullptr;
    pkt_data *pd = static_cast<pkt_data *>(mlist_pop_front_data(&conn->send_queue, nullptr, &qi));
    ASSERT_NE(pd, nullptr) << r.what;
    EXPECT_EQ(pd->type, DG_PKT_DEVICE_PERF);
    network_device_perf_t *m = network_device_perf_new(ws, sizeof(ws));
    ASSERT_GE(network_device_perf_decode(m, pd->body, pd->body_len), 0) << r.what;
    EXPECT_STREQ(m->device_id_p, "dev-perf");
    EXPECT_EQ(m->cpu, r.w_cpu) << r.what;
    EXPECT_EQ(m->memory, r.w_memory) << r.what;
    EXPECT_EQ(m->temperature, r.w_temperature) << r.what;
    EXPECT_EQ(static_cast<int32_t>(m->temperature), static_cast<int32_t>(r.w_temperature));
    EXPECT_EQ(m->uptime, r.w_uptime) << r.what;
    EXPECT_EQ(m->collect_time, 77u);
    remove_pkt(conn, qi);
  }
  om_release(&mgr, pack);
}

TEST(DevicePerfValue, NumberTextOfEachVariableType) {
  struct {
    u_char type;
    long integer;
    const char *text;  // value of an OCTET STRING
    const char *want;
    int ret;
  } cases[] = {
      {ASN_INTEGER, -40, nullptr, "-40", 0},
      {ASN_GAUGE, 4294967295L, nullptr, "4294967295", 0},
      {ASN_TIMETICKS, 100, nullptr, "100", 0},
      {ASN_OCTET_STR, 0, "17", "17", 0},
      {ASN_OCTET_STR, 0, "+8", "8", 0},
      {ASN_OCTET_STR, 0, "12x", "", -2},
      {ASN_OCTET_STR, 0, "", "", -2},
      {ASN_OCTET_STR, 0, "1.", "", -2},
      {ASN_OCTET_STR, 0, "99999999999999999999999", "", -2},
      {ASN_IPADDRESS, 0, "\x7f\0\0\x01", "", -2},
  };
  for (const auto &c : cases) {
    netsnmp_variable_list v{};
    if (c.text != nullptr) {
      size_t len = c.type == ASN_IPADDRESS ? 4 : strlen(c.text);
      snmp_set_var_typed_value(&v, c.type, c.text, len);
    } else {
      snmp_set_var_typed_value(&v, c.type, &c.integer, sizeof(c.integer));
    }
    char text[COLT_DEVICE_PERF_VALUE_SIZE] = "stale";
    EXPECT_EQ(colt_get_vars_to_number_text(&v, text, sizeof(text)), c.ret) << c.want;
    EXPECT_STREQ(text, c.want);
    snmp_free_var_internals(&v);
  }
  char small[3];
  netsnmp_variable_list v{};
  long big = 123456;
  snmp_set_var_typed_value(&v, ASN_INTEGER, &big, sizeof(big));
  EXPECT_EQ(colt_get_vars_to_number_text(&v, small, sizeof(small)), -2);  // no room: empty
  EXPECT_STREQ(small, "");
  snmp_free_var_internals(&v);
}

}  // namespace
