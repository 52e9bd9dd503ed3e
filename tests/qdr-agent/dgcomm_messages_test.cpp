// The collector link's own messages without threads: what each sender
// queues (exact payload bytes where the encoding is short enough to write
// down), the conversions to the wire form, and the inbound dispatcher with
// the agent information and configuration handlers.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "common.h"
#include "common_agent_info.h"
#include "communication.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "dgcomm_util.h"
#include "network_agent_device_info.h"
#include "test_process.h"

namespace {

using bytes = std::vector<uint8_t>;

std::atomic<int> g_activations{0};
int count_activate() {
  return ++g_activations, 0;
}
int no_deactivate() {
  return 0;
}

struct queued {
  uint16_t type = 0;
  bytes payload;
};

class DgMessages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { common_init(); }
  void SetUp() override {
    g_activations = 0;
    dgcomm_init();
    conn = make_dg_conn("127.0.0.1", 9010, 4);
    ASSERT_NE(conn, nullptr);
    dg_link_callbacks_t cb = {};
    comm_link_callbacks(&cb);
    cb.activate = count_activate;
    cb.deactivate = no_deactivate;
    dg_link_set_callbacks(conn, &cb);
    // Marked connected without threads: queued packets stay in the queue.
    conn->connection_state.store(DG_STATE_CONNECTED);
    gp_main_dgconn = conn;
  }
  void TearDown() override {
    gp_main_dgconn = nullptr;
    EXPECT_EQ(dg_conn_free(conn), 0);
  }
  // Takes the oldest queued packet.
  queued pop() {
    queued q;
    mlist_item_t *item = nullptr;
    pkt_data *pd = static_cast<pkt_data *>(mlist_pop_front_data(&conn->send_queue, nullptr, &item));
    if (pd == nullptr) return q;
    q.type = pd->type;
    q.payload.assign(pd->body, pd->body + pd->body_len);
    remove_pkt(conn, item);
    return q;
  }
  // Dispatches a packet as the reassembler would.
  int dispatch(uint16_t type, const bytes &payload) {
    bytes sub = {
        static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 0, 0, 1, 0, 0, 0, 0, 0};
    sub.insert(sub.end(), payload.begin(), payload.end());
    return recv_msg_process(sub.data(), static_cast<uint32_t>(sub.size()));
  }

  dg_conn *conn = nullptr;
};

bytes text(const std::string &s) {
  return bytes(s.begin(), s.end());
}

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(DgMessages, ResultReplyCarriesOnlyWhatIsSet) {
  ASSERT_EQ(send_packet_result("r1", 1, nullptr), 0);
  ASSERT_EQ(send_packet_result("r2", 0, "oops"), 0);
  ASSERT_EQ(send_packet_result("r3", 0, ""), 0);
  queued a = pop();
  EXPECT_EQ(a.type, DG_PKT_PACKET_RESULT);
  EXPECT_EQ(a.payload, (bytes{0x0A, 2, 'r', '1', 0x10, 1}));
  EXPECT_EQ(pop().payload, cat({{0x0A, 2, 'r', '2', 0x1A, 4}, text("oops")}));
  EXPECT_EQ(pop().payload, (bytes{0x0A, 2, 'r', '3'}));
}

TEST_F(DgMessages, RequestsCarryTheirSingleText) {
  ASSERT_EQ(send_request_command("device_list"), 0);
  ASSERT_EQ(send_request_collect_event("dev-1"), 0);
  queued c = pop();
  EXPECT_EQ(c.type, DG_PKT_REQ_COMMAND);
  EXPECT_EQ(c.payload, cat({{0x0A, 11}, text("device_list")}));
  queued e = pop();
  EXPECT_EQ(e.type, DG_PKT_REQ_COLLECT_EVENT);
  EXPECT_EQ(e.payload, cat({{0x0A, 5}, text("dev-1")}));
}

TEST_F(DgMessages, LongRequestIdsStillFit) {
  std::string id(5000, 'i');
  ASSERT_EQ(send_packet_result(id.c_str(), 1, std::string(3000, 'f').c_str()), 0);
  EXPECT_GT(pop().payload.size(), 8000u);
}

TEST_F(DgMessages, RefusedPacketsAreFreedAndReported) {
  for (int i = 0; i < 4; i++) ASSERT_EQ(send_request_command("oid_pack"), 0);
  EXPECT_EQ(send_request_command("oid_pack"), -3);  // queue of 4 is full
  // Answers to the collector have room of their own beyond the limit, which
  // the agent's own requests cannot take.
  for (int i = 0; i < DG_ANSWER_RESERVE; i++) ASSERT_EQ(send_packet_result("x", 1, nullptr), 0);
  EXPECT_EQ(send_packet_result("x", 1, nullptr), -3);
  EXPECT_EQ(send_request_collect_event("d"), -3);
  EXPECT_EQ(dg_queue_count(conn), 4u + DG_ANSWER_RESERVE);
  conn->connection_state.store(DG_STATE_DISCONNECTED);
  clear_tcpqueue(conn);
  EXPECT_EQ(send_request_collect_event("d"), -3);
  EXPECT_EQ(dg_queue_count(conn), 0u);
}

TEST_F(DgMessages, AgentInformationWorkspaceGrowsInStepsOf128) {
  EXPECT_EQ(dg_agent_info_workspace_size(2, 2), 384u);  // 280 bytes needed
  EXPECT_EQ(dg_agent_info_workspace_size(0, 0), 256u);
  EXPECT_EQ(dg_agent_info_workspace_size(0, 5), 384u);  // exactly 288 -> next step
  uint8_t ws[512];
  common_req_agent_info_message_t *m = common_req_agent_info_message_new(ws, 168);
  ASSERT_NE(m, nullptr);  // the structure and heap header fit the base size
  EXPECT_EQ(common_req_agent_info_message_ip_infos_alloc(m, 1), -1);
  EXPECT_EQ(sizeof(common_ip_info_t), static_cast<size_t>(DG_AGENT_INFO_IP_ITEM_SIZE));
  EXPECT_EQ(sizeof(common_mac_info_t), static_cast<size_t>(DG_AGENT_INFO_MAC_ITEM_SIZE));
}

TEST_F(DgMessages, AgentInformationListsEveryAddressAndLongNamesFit) {
  char saved[sizeof(g_agent_config.app_name)];
  memcpy(saved, g_agent_config.app_name, sizeof(saved));
  memset(g_agent_config.app_name, 'n', sizeof(g_agent_config.app_name) - 1);
  g_agent_config.app_name[sizeof(g_agent_config.app_name) - 1] = '\0';
  int r = send_agent_info();
  memcpy(g_agent_config.app_name, saved, sizeof(saved));
  ASSERT_EQ(r, 0);
  queued q = pop();
  EXPECT_EQ(q.type, DG_PKT_REQ_AGENT_INFO);
  std::vector<uint8_t> ws(65536);
  common_req_agent_info_message_t *m = common_req_agent_info_message_new(ws.data(), ws.size());
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(common_req_agent_info_message_decode(m, q.payload.data(), q.payload.size()),
            static_cast<int>(q.payload.size()));
  EXPECT_EQ(strlen(m->agent_name_p), sizeof(g_agent_config.app_name) - 1);
  EXPECT_EQ(m->ip_infos.length, g_ip_list.count);
  EXPECT_GT(m->mac_infos.length, 0);
  EXPECT_EQ(m->agent_type, 3);
  EXPECT_GT(m->time, 0);
}

TEST_F(DgMessages, ConvertsSnmpSettingsToTheWireForm) {
  uint8_t ws[2048];
  network_snmp_info_t *p = network_snmp_info_new(ws, sizeof(ws));
  ASSERT_NE(p, nullptr);
  snmp_info info;
  memset(&info, 0, sizeof(info));
  info.version = 2;  // not a version the agent uses
  EXPECT_EQ(conv_snmp_info_to_proto(&info, p), -1);
  info.version = 1;
  EXPECT_EQ(conv_snmp_info_to_proto(&info, p), 0);
  EXPECT_EQ(p->version, _v2c_e);
  EXPECT_STREQ(p->community_p, "");  // an empty community is not set
  snprintf(info.community, sizeof(info.community), "public");
  info.version = 0;
  EXPECT_EQ(conv_snmp_info_to_proto(&info, p), 0);
  EXPECT_EQ(p->version, _v1_e);
  EXPECT_STREQ(p->community_p, "public");

  ASSERT_EQ(network_snmp_info_security_alloc(p), 0);
  info.version = 3;
  info.security.level = SM_SEC_LEVEL_AUTHPRIV;
  snprintf(info.security.name, sizeof(info.security.name), "user");
  info.security.auth_algorithm = SM_AUTH_SHA256;
  snprintf(info.security.auth_password, sizeof(info.security.auth_password), "authpass");
  info.security.priv_algorithm = SM_PRIV_NONE;
  EXPECT_EQ(conv_snmp_info_to_proto(&info, p), 0);
  EXPECT_EQ(p->version, _v3_e);
  EXPECT_EQ(p->security_p->security_level, _auth_priv_e);
  EXPECT_STREQ(p->security_p->security_name_p, "user");
  EXPECT_EQ(p->security_p->auth_algorithm, 4u);
  EXPECT_STREQ(p->security_p->auth_password_p, "authpass");
  EXPECT_EQ(p->security_p->privacy_algorithm, 0u);
  EXPECT_STREQ(p->security_p->privacy_password_p, "");
  info.security.level = 7;
  EXPECT_EQ(conv_snmp_info_to_proto(&info, p), -2);
}

TEST_F(DgMessages, NoAuthLevelSendsNoPassPhrases) {
  uint8_t ws[1024];
  network_snmp_security_t *s = network_snmp_security_new(ws, sizeof(ws));
  ASSERT_NE(s, nullptr);
  snmp_sec_info sec;
  memset(&sec, 0, sizeof(sec));
  sec.level = SM_SEC_LEVEL_NOAUTH;
  sec.auth_algorithm = SM_AUTH_MD5;
  sec.priv_algorithm = SM_PRIV_DES;
  snprintf(sec.auth_password, sizeof(sec.auth_password), "secret");
  EXPECT_EQ(conv_snmp_sec_info_to_proto(&sec, s), 0);
  EXPECT_EQ(s->security_level, _no_auth_no_priv_e);
  EXPECT_EQ(s->auth_algorithm, 0u);
  EXPECT_STREQ(s->auth_password_p, "");
  EXPECT_STREQ(s->security_name_p, "");
  EXPECT_EQ(conv_snmp_sec_info_to_proto(nullptr, s), -1);
  sec.level = 0;
  EXPECT_EQ(conv_snmp_sec_info_to_proto(&sec, s), -1);
}

TEST_F(DgMessages, FailedDiscoveryIsReportedWithoutDeviceFacts) {
  int port = vktest::free_port(SOCK_DGRAM);  // nothing answers there
  snmp_info info;
  memset(&info, 0, sizeof(info));
  ASSERT_EQ(
      sm_set_snmp_info(&info, "127.0.0.1", static_cast<uint16_t>(port), 1, 200000, 0, "public"), 0);
  ASSERT_EQ(send_discovery_device("req-9", &info), 0);
  queued q = pop();
  EXPECT_EQ(q.type, DG_PKT_DISCOVERY_DEVICE);
  std::vector<uint8_t> ws(65536);
  network_discovery_device_t *m = network_discovery_device_new(ws.data(), ws.size());
  ASSERT_NE(m, nullptr);
  ASSERT_GE(network_discovery_device_decode(m, q.payload.data(), q.payload.size()), 0);
  EXPECT_STREQ(m->request_id_p, "req-9");
  EXPECT_FALSE(m->success);
  EXPECT_STRNE(m->fail_message_p, "");
  EXPECT_STREQ(m->ip_p, "");
  EXPECT_EQ(m->port, 0u);
  EXPECT_EQ(m->snmp_p, nullptr);
  EXPECT_EQ(m->system_p, nullptr);
}

TEST_F(DgMessages, DispatcherRefusesShortAndUnknownPackets) {
  EXPECT_EQ(recv_msg_process(nullptr, 20), -1);
  uint8_t sub[11] = {};
  EXPECT_EQ(recv_msg_process(sub, 10), -1);
  EXPECT_EQ(dispatch(12345, {1, 2, 3}), -1);
  EXPECT_EQ(dispatch(DG_PKT_DEVICE_LIST, {0x0A, 1, 'r', 0x12}), -2);  // cut short: no answer
  EXPECT_EQ(dispatch(DG_PKT_REQ_AGENT_INFO, {}), -1);                 // our own outbound type
  EXPECT_EQ(conn->reconnect_flag.load(), 0);
  EXPECT_EQ(g_activations.load(), 0);
}

TEST_F(DgMessages, AgentIdActivatesTheAgent) {
  bytes payload = cat({{0x0A, 9}, text("agent-abc"), {0x10, 5, 0x18, 6}});
  EXPECT_EQ(dispatch(DG_PKT_RES_AGENT_INFO, payload), 0);
  EXPECT_STREQ(g_agent_id, "agent-abc");
  EXPECT_EQ(g_activations.load(), 1);
  EXPECT_EQ(conn->reconnect_flag.load(), 0);
}

TEST_F(DgMessages, EmptyOrUnreadableAgentIdAsksForAReconnect) {
  // The last: a valid agent id, then a field cut short. What was decoded
  // before the failure must not activate the agent.
  for (const bytes &payload : {bytes{}, bytes{0x10, 5}, bytes{0x00, 0x01}, bytes{0x0A, 0x7F},
                               bytes{0x0A, 3, 'a', 'b', 'c', 0x10}}) {
    conn->reconnect_flag.store(0);
    EXPECT_EQ(dispatch(DG_PKT_RES_AGENT_INFO, payload), -3);
    EXPECT_EQ(conn->reconnect_flag.load(), DG_RECONNECT_INIT_FAILED);
  }
  EXPECT_EQ(g_activations.load(), 0);
}

TEST_F(DgMessages, ConfigurationResponseIsDecodedAndNotApplied) {
  bytes entries = cat({{0x0A, 6, 0x0A, 1, 'a', 0x12, 1, '1'},
                       {0x0A, 6, 0x0A, 1, 'b', 0x12, 1, '2'},
                       {0x0A, 6, 0x0A, 1, 'c', 0x12, 1, '3'}});
  EXPECT_EQ(dispatch(DG_PKT_RES_AGENT_CONFIG, entries), 0);
  EXPECT_EQ(dispatch(DG_PKT_RES_AGENT_CONFIG, {}), 0);
  EXPECT_EQ(dispatch(DG_PKT_RES_AGENT_CONFIG, {0x0A, 0x40, 0x0A}), -2);
  EXPECT_EQ(recv_config(nullptr, 0), 0);
  // Two million empty entries need more work area than the cap: refused,
  // without asking for a work area of 16 bytes per payload byte.
  bytes huge;
  for (int i = 0; i < 2000000; i++) huge.insert(huge.end(), {0x0A, 0x00});
  EXPECT_EQ(dispatch(DG_PKT_RES_AGENT_CONFIG, huge), -2);
  EXPECT_EQ(conn->reconnect_flag.load(), 0);
  EXPECT_EQ(dg_queue_count(conn), 0u);  // nothing is answered
}

}  // namespace
