// tools/dg-sim, the stand-in collector, run as a real process and spoken to
// over loopback TCP with hand-made frames: the handshake answer, JSON lines
// of what it receives, scenario packets on request, refusal of bad frames
// without disturbing other agents, and its test options.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_process.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes frame(uint16_t type, const bytes &payload, uint8_t version = 2, uint32_t body_version = 0) {
  bytes p = {0xF9, 0xF2, 0xF8, version, 4, 0, 0, 0};
  uint32_t len = static_cast<uint32_t>(payload.size() + 11);
  for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(len >> s));
  p.push_back(static_cast<uint8_t>(type >> 8));
  p.push_back(static_cast<uint8_t>(type));
  p.insert(p.end(), {0, 0, 0, 1, 0});
  for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<uint8_t>(body_version >> s));
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

bytes text_field(uint8_t key, const std::string &s) {
  bytes b;
  b.push_back(key);
  b.push_back(static_cast<uint8_t>(s.size()));
  for (char c : s) b.push_back(static_cast<uint8_t>(c));
  return b;
}

struct packet {
  uint16_t type = 0;
  uint32_t body_version = 0;
  bytes payload;
};

// One agent-side connection.
struct client {
  int fd = -1;
  explicit client(uint16_t port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~client() {
    if (fd >= 0) close(fd);
  }
  bool put(const bytes &b) const {
    return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
  }
  // Reads exactly n bytes within the time limit.
  bool read_exact(uint8_t *dst, size_t n, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t got = 0;
    while (got < n) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) return false;
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) return false;
      ssize_t r = recv(fd, dst + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }
  bool get(packet &out, int timeout_ms = 5000) const {
    uint8_t h[23];
    if (!read_exact(h, sizeof(h), timeout_ms)) return false;
    if (h[0] != 0xF9 || h[1] != 0xF2 || h[2] != 0xF8 || h[3] != 2 || h[4] != 4) return false;
    uint32_t len = (uint32_t{h[8]} << 24) | (uint32_t{h[9]} << 16) | (uint32_t{h[10]} << 8) | h[11];
    out.type = static_cast<uint16_t>((h[12] << 8) | h[13]);
    out.body_version =
        (uint32_t{h[19]} << 24) | (uint32_t{h[20]} << 16) | (uint32_t{h[21]} << 8) | h[22];
    out.payload.assign(len - 11, 0);
    return len == 11 || read_exact(out.payload.data(), len - 11, timeout_ms);
  }
  // True when the collector closed this connection within the time limit.
  bool closed_by_peer(int timeout_ms) const {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
  }
};

class DgSim : public ::testing::Test {
 protected:
  void TearDown() override {
    if (sim.pid > 0) vktest::stop_program(sim);
  }
  void start(std::vector<std::string> options) {
    std::string port_file = dir.path + "/port";
    unlink(port_file.c_str());
    out = dir.path + "/out.jsonl";
    std::vector<std::string> argv = {vktest::built_program("tools/dg-sim/dg-sim"),
                                     "--port",
                                     "0",
                                     "--port-file",
                                     port_file,
                                     "--out",
                                     out};
    argv.insert(argv.end(), options.begin(), options.end());
    sim = vktest::start_program(argv, dir.path);
    ASSERT_GT(sim.pid, 0);
    ASSERT_TRUE(vktest::wait_until([&] { return vktest::file_exists(port_file); }, 15000))
        << vktest::read_file(sim.err_path);
    port = static_cast<uint16_t>(strtoul(vktest::read_file(port_file).c_str(), nullptr, 10));
  }
  bool out_has(const std::string &what, int timeout_ms = 5000) {
    return vktest::wait_until(
        [&] { return vktest::read_file(out).find(what) != std::string::npos; }, timeout_ms);
  }
  vktest::temp_dir dir;
  vktest::child sim;
  std::string out;
  uint16_t port = 0;
};

const bytes kAgentInfo = text_field(0x12, "tester");  // agent_name = "tester"

TEST_F(DgSim, AnswersTheAgentInformationAndPrintsItAsJson) {
  start({"--agent-id", "id-42"});
  client a(port);
  ASSERT_GE(a.fd, 0);
  ASSERT_TRUE(a.put(frame(10043, kAgentInfo)));
  packet p;
  ASSERT_TRUE(a.get(p));
  EXPECT_EQ(p.type, 50036);
  EXPECT_EQ(p.body_version, 0u);
  bytes expect = text_field(0x0A, "id-42");
  ASSERT_GE(p.payload.size(), expect.size());
  EXPECT_TRUE(std::equal(expect.begin(), expect.end(), p.payload.begin()));
  EXPECT_TRUE(out_has("\"type\": 10043, \"name\": \"REQ_AGENT_INFO\""));
  EXPECT_TRUE(out_has("\"message\": {\"agent_name\": \"tester\"}"));
  std::string stdout_text;
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(sim.out_path).find("\"agent_name\": \"tester\"") !=
               std::string::npos;
      },
      5000));
}

TEST_F(DgSim, HostAgentHandshakeIsAnsweredInItsOwnForm) {
  start({});
  client a(port);
  ASSERT_TRUE(a.put(frame(10043, kAgentInfo, 2, 19121701)));
  packet p;
  ASSERT_TRUE(a.get(p));
  EXPECT_EQ(p.type, 50036);
  EXPECT_EQ(p.body_version, 19121701u);
  // A time-synchronisation request is answered with the agent's time echoed.
  ASSERT_TRUE(a.put(frame(40006, {0x08, 0x05})));
  ASSERT_TRUE(a.get(p));
  EXPECT_EQ(p.type, 50020);
  ASSERT_GE(p.payload.size(), 2u);
  EXPECT_EQ(p.payload[p.payload.size() - 2], 0x10);
  EXPECT_EQ(p.payload[p.payload.size() - 1], 0x05);
}

TEST_F(DgSim, EmptyAgentIdOptionSendsAnEmptyAnswer) {
  start({"--empty-agent-id", "--protocol-version", "0", "--dg-protocol-version", "0"});
  client a(port);
  ASSERT_TRUE(a.put(frame(10043, {})));
  packet p;
  ASSERT_TRUE(a.get(p));
  EXPECT_EQ(p.type, 50036);
  EXPECT_TRUE(p.payload.empty());
}

TEST_F(DgSim, ScenarioAnswersRequestsWithTheDeviceId) {
  std::string scenario = dir.path + "/s.json";
  ASSERT_TRUE(vktest::write_file(scenario, R"({
    "on_request": {
      "device_list": [{"type": "DEVICE_LIST", "message": {"request_id": "L1",
        "devices": [{"id": "d1", "ip": {"version": 4, "addr": "10.1.2.3"}, "port": 161,
                     "flag": "device_flag_update"}]}}],
      "collect_event": [{"type": 55005, "message": {"request_id": "E1", "device_id": "$device_id",
        "event_info": [{"type": 1, "oid_pack_id": 7, "interval": 60, "use": true}]}}]
    }})"));
  start({"--scenario", scenario});
  client a(port);
  ASSERT_TRUE(a.put(frame(10043, {})));
  packet p;
  ASSERT_TRUE(a.get(p));
  ASSERT_TRUE(a.put(frame(54001, text_field(0x0A, "device_list"))));
  ASSERT_TRUE(a.get(p));
  EXPECT_EQ(p.type, 55002);
  std::string body(p.payload.begin(), p.payload.end());
  EXPECT_NE(body.find("10.1.2.3"), std::string::npos);  // address text in the bytes field
  ASSERT_TRUE(a.put(frame(54005, text_field(0x0A, "dev-77"))));
  ASSERT_TRUE(a.get(p));
  EXPECT_EQ(p.type, 55005);
  body.assign(p.payload.begin(), p.payload.end());
  EXPECT_NE(body.find("dev-77"), std::string::npos);
}

TEST_F(DgSim, BadFrameClosesOnlyThatAgent) {
  start({});
  client good(port);
  client bad(port);
  ASSERT_TRUE(good.put(frame(10043, {})));
  packet p;
  ASSERT_TRUE(good.get(p));
  ASSERT_TRUE(bad.put(frame(10043, {}, 1)));  // header version 1
  EXPECT_TRUE(bad.closed_by_peer(5000));
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(sim.err_path).find("refused a bad frame (bad header version 1)") !=
               std::string::npos;
      },
      5000));
  ASSERT_TRUE(good.put(frame(54000, {0x0A, 1, 'r', 0x10, 1})));
  EXPECT_TRUE(out_has("\"name\": \"PACKET_RESULT\""));
  EXPECT_TRUE(out_has("\"request_id\": \"r\", \"success\": true"));
  EXPECT_FALSE(good.closed_by_peer(300));
}

TEST_F(DgSim, UndecodablePayloadIsReportedAndTheConnectionStays) {
  start({});
  client a(port);
  ASSERT_TRUE(a.put(frame(54001, {0x0A, 0x7F, 'x'})));  // length past the end
  EXPECT_TRUE(out_has("\"error\": \"decode failed"));
  EXPECT_TRUE(out_has("\"raw_hex\": \"0a7f78\""));
  EXPECT_FALSE(a.closed_by_peer(300));
}

TEST_F(DgSim, CloseAfterHandshakeAndStopReadingOptions) {
  start({"--close-after-handshake"});
  client a(port);
  ASSERT_TRUE(a.put(frame(10043, {})));
  packet p;
  ASSERT_TRUE(a.get(p));
  EXPECT_TRUE(a.closed_by_peer(5000));
  vktest::stop_program(sim);

  start({"--stop-reading"});
  client b(port);
  ASSERT_TRUE(b.put(frame(10043, {})));
  ASSERT_TRUE(b.get(p));
  // Once the collector stops reading, a writer fills the buffers and blocks.
  bytes chunk(64 * 1024, 0x55);
  size_t sent = 0;
  for (int i = 0; i < 2000; i++) {
    ssize_t r = send(b.fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r <= 0) break;
    sent += static_cast<size_t>(r);
  }
  EXPECT_LT(sent, chunk.size() * 2000);
}

TEST_F(DgSim, RefusesABrokenScenarioAtStart) {
  std::string scenario = dir.path + "/bad.json";
  ASSERT_TRUE(vktest::write_file(
      scenario, R"({"on_connect": [{"type": "DEVICE_LIST", "message": {"nope": 1}}]})"));
  vktest::run_result r = vktest::run_program(
      {vktest::built_program("tools/dg-sim/dg-sim"), "--port", "0", "--scenario", scenario});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("has no field 'nope'"), std::string::npos) << r.err;
}

// An HTTP GET on a fresh connection; the answer as far as it came within
// the time limit (an event stream never ends: the caller names what it
// waits for).
std::string http_get(const client &c, const std::string &path, const std::string &until = "") {
  std::string got;
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
  if (c.fd >= 0 && c.put(bytes(request.begin(), request.end()))) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!until.empty() && got.find(until) != std::string::npos) break;
      pollfd p = {c.fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      ssize_t r = recv(c.fd, buf, sizeof(buf), 0);
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
  }
  return got;
}

TEST_F(DgSim, LivePageServesItsPageAndStreamsTheDecodedPacketsWithReadableLines) {
  std::string web_file = dir.path + "/web-port";
  start({"--web", "0", "--web-port-file", web_file, "--readable"});
  uint16_t web = static_cast<uint16_t>(strtoul(vktest::read_file(web_file).c_str(), nullptr, 10));
  ASSERT_GT(web, 0);
  std::string page = http_get(client(web), "/");
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html", 0), 0u) << page;
  EXPECT_NE(page.find("new EventSource(\"events\")"), std::string::npos);
  EXPECT_EQ(page.find("://"), std::string::npos);  // nothing fetched from elsewhere
  EXPECT_EQ(http_get(client(web), "/nothing").rfind("HTTP/1.1 404 Not Found", 0), 0u);

  // A page that is open, then a device's latency from an agent.
  client events(web);
  std::string stream = http_get(events, "/events", "event: hello");
  EXPECT_NE(stream.find("Content-Type: text/event-stream"), std::string::npos) << stream;
  client a(port);
  ASSERT_TRUE(a.put(frame(10043, {})));
  packet p;
  ASSERT_TRUE(a.get(p));
  bytes latency = text_field(0x0A, "dev-1");  // latency 0.25 ms, ICMP answered, SNMP not
  latency.insert(latency.end(), {0x11, 0, 0, 0, 0, 0, 0, 0xD0, 0x3F, 0x18, 1});
  ASSERT_TRUE(a.put(frame(54106, latency)));
  bool seen = vktest::wait_until(
      [&] {
        pollfd pf = {events.fd, POLLIN, 0};
        char buf[4096];
        while (poll(&pf, 1, 0) > 0) {
          ssize_t r = recv(events.fd, buf, sizeof(buf), 0);
          if (r <= 0) return false;
          stream.append(buf, static_cast<size_t>(r));
        }
        return stream.find("\"type\":54106") != std::string::npos;
      },
      5000);
  EXPECT_TRUE(seen) << stream;
  EXPECT_NE(stream.find("\"message\":{\"device_id\":\"dev-1\",\"latency\":0.25,"
                        "\"icmp_success\":true}"),
            std::string::npos)
      << stream;
  EXPECT_TRUE(vktest::wait_until(
      [&] {
        return vktest::read_file(sim.out_path)
                   .find(
                       "LATENCY     - dev-1 icmp=0.25 ms "
                       "snmp=failed (-)") != std::string::npos;
      },
      5000))
      << vktest::read_file(sim.out_path);
}

TEST_F(DgSim, LivePagePortInUseEndsWithTheAddress) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  socklen_t sl = sizeof(sa);
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl);
  std::string busy = std::to_string(ntohs(sa.sin_port));
  vktest::run_result r = vktest::run_program(
      {vktest::built_program("tools/dg-sim/dg-sim"), "--port", "0", "--web", busy});
  close(fd);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("('127.0.0.1', " + busy + "): address already in use"), std::string::npos)
      << r.err;
}

}  // namespace
