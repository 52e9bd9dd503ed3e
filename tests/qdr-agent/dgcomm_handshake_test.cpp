// The collector link against the stand-in collector tools/dg-sim run as a
// real process on loopback: the handshake, the agent information as an
// independent decoder reads it, a collector that closes the connection, an
// empty agent id, and packet types the agent does not handle.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <vector>

#include "common.h"
#include "communication.h"
#include "dg_outbox.h"
#include "dgcomm.h"
#include "environment.h"
#include "test_process.h"
#include "vklog.h"

namespace {

std::atomic<int> g_activations{0};
std::atomic<int> g_deactivations{0};
int count_activate() {
  return ++g_activations, 0;
}
int count_deactivate() {
  return ++g_deactivations, 0;
}

std::string hex(const uint8_t *p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof(b), "%02x", p[i]);
    s += b;
  }
  return s;
}

// Lines of dg-sim's --out file.
std::vector<std::string> lines_of(const std::string &path) {
  return vktest::read_lines(path);
}

int count_with(const std::vector<std::string> &lines, const std::string &a,
               const std::string &b = "") {
  int n = 0;
  for (const std::string &l : lines) {
    if (l.find(a) != std::string::npos && (b.empty() || l.find(b) != std::string::npos)) n++;
  }
  return n;
}

class DgSimLink : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (getenv("DG_TEST_LOG") != nullptr) g_vklog = vklog_get_category(nullptr);
    common_init();  // host facts and addresses, once per process
  }
  void SetUp() override {
    g_activations = 0;
    g_deactivations = 0;
    dgcomm_init();
    out_path = dir.path + "/packets.jsonl";
  }
  void TearDown() override {
    if (conn != nullptr) {
      shutdown_dg_connection(conn);
      bool ended = vktest::wait_until(
          [&] {
            return conn->thread_running_comm.load() == 0 && conn->thread_running_sender.load() == 0;
          },
          10000);
      EXPECT_TRUE(ended);
      gp_main_dgconn = nullptr;
      if (ended) {
        EXPECT_EQ(dg_conn_free(conn), 0);
      }
    }
    if (sim.pid > 0) vktest::stop_program(sim);
  }

  // Starts dg-sim on a free port with the given options.
  void start_sim(std::vector<std::string> options) {
    std::string port_file = dir.path + "/port";
    std::vector<std::string> argv = {vktest::built_program("tools/dg-sim/dg-sim"),
                                     "--port",
                                     "0",
                                     "--port-file",
                                     port_file,
                                     "--out",
                                     out_path,
                                     "--quiet"};
    argv.insert(argv.end(), options.begin(), options.end());
    sim = vktest::start_program(argv, dir.path);
    ASSERT_GT(sim.pid, 0);
    ASSERT_TRUE(vktest::wait_until([&] { return vktest::file_exists(port_file); }, 15000))
        << vktest::read_file(sim.err_path);
    std::string text = vktest::read_file(port_file);
    port = static_cast<uint16_t>(strtoul(text.c_str(), nullptr, 10));
    ASSERT_GT(port, 0);
  }
  void start_link(const char *address = "127.0.0.1") {
    conn = make_dg_conn(address, port, 1000);
    ASSERT_NE(conn, nullptr);
    dg_link_callbacks_t cb = {};
    comm_link_callbacks(&cb);
    cb.activate = count_activate;
    cb.deactivate = count_deactivate;
    dg_link_set_callbacks(conn, &cb);
    gp_main_dgconn = conn;
    ASSERT_EQ(create_dg_connection(conn), 0);
  }
  int requests() { return count_with(lines_of(out_path), "\"type\": 10043,"); }

  vktest::temp_dir dir;
  std::string out_path;
  vktest::child sim;
  uint16_t port = 0;
  dg_conn *conn = nullptr;
};

TEST_F(DgSimLink, HandshakeStoresTheAgentIdAndActivatesOnce) {
  start_sim({"--agent-id", "agent-under-test-7"});
  start_link();
  ASSERT_TRUE(vktest::wait_until([] { return g_activations.load() == 1; }, 10000));
  EXPECT_STREQ(g_agent_id, "agent-under-test-7");
  EXPECT_EQ(requests(), 1);
  EXPECT_EQ(g_deactivations.load(), 0);
  EXPECT_EQ(conn->reconnect_flag.load(), 0);
}

TEST_F(DgSimLink, ConnectsOverIpv6Loopback) {
  start_sim({"--listen", "::1", "--agent-id", "v6-agent"});
  start_link("::1");
  ASSERT_TRUE(vktest::wait_until([] { return g_activations.load() == 1; }, 10000));
  EXPECT_STREQ(g_agent_id, "v6-agent");
  std::vector<std::string> lines = lines_of(out_path);
  EXPECT_EQ(count_with(lines, "\"agent\": \"[::1]:", "\"type\": 10043,"), 1);
}

TEST_F(DgSimLink, ConnectsToAHostName) {
  start_sim({});
  start_link("localhost");
  ASSERT_TRUE(vktest::wait_until([] { return g_activations.load() == 1; }, 10000));
}

TEST_F(DgSimLink, AgentInformationCarriesTheHostAddressesAsDecodedByTheCollector) {
  start_sim({});
  start_link();
  ASSERT_TRUE(vktest::wait_until([&] { return requests() == 1; }, 10000));
  std::string line;
  for (const std::string &l : lines_of(out_path)) {
    if (l.find("\"type\": 10043,") != std::string::npos) line = l;
  }
  EXPECT_NE(line.find("\"status\": 0, \"body_version\": 0"), std::string::npos) << line;
  EXPECT_NE(line.find("\"hostname\": \"" + std::string(g_hostname) + "\""), std::string::npos)
      << line;
  EXPECT_NE(line.find("\"agent_type\": 3"), std::string::npos);
  EXPECT_NE(line.find("\"platform_type\": 1"), std::string::npos);
  EXPECT_NE(line.find("\"agent_protocol_version\": 20240125"), std::string::npos);
  EXPECT_NE(line.find("\"os_type\": 4"), std::string::npos);
  EXPECT_NE(line.find("\"cpu_arch\": 5"), std::string::npos);
  EXPECT_EQ(line.find("boot_time"), std::string::npos);
  EXPECT_EQ(line.find("custom_infos"), std::string::npos);

  ASSERT_GT(g_ip_list.count, 0);
  std::string ips;
  for (const vk_ip_struct *ip = g_ip_list.list; ip != nullptr; ip = ip->next) {
    ips += "{\"ip_version\": " + std::to_string(ip->version) + ", \"ip_addr\": \"" +
           hex(ip->ip, static_cast<size_t>(ip->ip_len)) + "\"}, ";
  }
  ips.resize(ips.size() - 2);
  EXPECT_NE(line.find("\"ip_infos\": [" + ips + "]"), std::string::npos) << line;

  uint8_t macs[1024];
  int n = get_if_hardware_addr(macs, sizeof(macs));
  ASSERT_GT(n, 0);
  std::string mac_text;
  for (int i = 0; i < n; i++) mac_text += "{\"mac_addr\": \"" + hex(macs + 6 * i, 6) + "\"}, ";
  mac_text.resize(mac_text.size() - 2);
  EXPECT_NE(line.find("\"mac_infos\": [" + mac_text + "]"), std::string::npos) << line;
}

TEST_F(DgSimLink, CollectorClosingTheConnectionLeadsToDeactivationAndANewRequest) {
  start_sim({"--close-after-handshake"});
  start_link();
  // Close (reason 8), deactivate, pause 3 s, reconnect, ask again.
  ASSERT_TRUE(vktest::wait_until([&] { return requests() >= 2; }, 15000));
  EXPECT_GE(g_deactivations.load(), 1);
  EXPECT_GE(g_activations.load(), 1);
  std::vector<std::string> lines = lines_of(out_path);
  EXPECT_GE(count_with(lines, "\"dir\": \"connected\""), 2);
}

TEST_F(DgSimLink, EmptyAgentIdDropsTheConnectionAndRetries) {
  start_sim({"--empty-agent-id"});
  start_link();
  ASSERT_TRUE(vktest::wait_until([&] { return requests() >= 2; }, 15000));
  EXPECT_EQ(g_activations.load(), 0);
  std::vector<std::string> lines = lines_of(out_path);
  EXPECT_GE(count_with(lines, "\"dir\": \"closed\""), 1);
}

TEST_F(DgSimLink, UnhandledAndUnknownPacketTypesKeepTheConnection) {
  std::string scenario = dir.path + "/scenario.json";
  // A packet type nobody knows and a configuration response between two
  // device lists: the answer to the second list shows that the link read
  // past the first two on the same connection.
  ASSERT_TRUE(vktest::write_file(scenario, R"({
    "after_handshake": [
      {"type": "DEVICE_LIST", "message": {"request_id": "r-1"}},
      {"raw_hex": "f9f2f80204000000000000103039000000010000000000ffeeddccbb"},
      {"type": "RES_AGENT_CONFIG", "message": {"configs": {"a": "1", "b": "2", "c": "3"}}},
      {"type": "DEVICE_LIST", "message": {"request_id": "r-2"}}
    ]})"));
  start_sim({"--scenario", scenario});
  start_link();
  ASSERT_TRUE(vktest::wait_until([] { return g_activations.load() == 1; }, 10000));
  ASSERT_TRUE(vktest::wait_until(
      [&] { return count_with(lines_of(out_path), "\"dir\": \"recv\"", "r-2") == 1; }, 10000));
  EXPECT_EQ(conn->reconnect_flag.load(), 0);
  EXPECT_EQ(conn->connection_state.load(), DG_STATE_CONNECTED);
  EXPECT_EQ(requests(), 1);
  EXPECT_EQ(g_deactivations.load(), 0);
}

}  // namespace
