// Many threads using the session manager at once, as the collect threads do:
// SNMPv3 sessions of several users (one of them with a pass phrase that keeps
// changing), v2c walks, and a reader of the counters.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "snmp_manager.h"
#include "snmp_test_env.h"
#include "snmpd_fixture.h"

// The Net-SNMP library is not built for threads and is not instrumented, so
// only its intercepted string, memory and allocation calls are seen. Its
// SNMPv3 user table is kept whole by the session manager's locks: every
// message that looks a user up holds the table shared, every change holds it
// exclusively, and a race on it is reported. Only the library's engine-time
// table is not covered: every engine probe and every request writes it,
// entries are filled before they are linked in and never freed while the
// process runs, and there is no way to lock it from outside short of
// serialising all SNMPv3 traffic.
extern "C" const char *__tsan_default_suppressions() {
  return "race:search_enginetime_list\n"
         "race:set_enginetime\n"
         "race:get_enginetime\n";
}

namespace {

using snmptest::open_session;
using snmptest::response_list;

const auto *const g_env =
    ::testing::AddGlobalTestEnvironment(new snmptest::library_env(/*agent_output=*/true));

constexpr int kRounds = 30;

TEST(SnmpConcurrency, ThreadsWithTheirOwnSessionsAllSucceed) {
  vktest::snmpd_instance agent;
  vktest::snmpd_options o;
  o.sys_name = "shared-host";
  std::string error;
  ASSERT_TRUE(agent.start(o, &error)) << error;
  uint16_t port = static_cast<uint16_t>(agent.port);

  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  // Four users with fixed keys: every request must succeed.
  const std::pair<int, int> users[] = {{2, 1}, {4, 2}, {6, 4}, {1, 3}};
  for (auto [auth, priv] : users) {
    threads.emplace_back([&, auth = auth, priv = priv] {
      for (int i = 0; i < kRounds; i++) {
        open_session s;
        sm_set_snmp_info(&s.info, "127.0.0.1", port, SNMP_VERSION_3, 1000000, 2, nullptr);
        sm_set_snmp_sec_info(&s.info.security, 3, vktest::snmpd_user_name(auth, priv).c_str(), auth,
                             vktest::kSnmpdAuthPass, priv, vktest::kSnmpdPrivPass);
        response_list rl;
        sm_response_list_add(&rl.list, "name", 0, ".1.3.6.1.2.1.1.5.0");
        sm_response_list_add(&rl.list, "system", 0, ".1.3.6.1.2.1.1");
        if (!s.open() || sm_get_request(s.fd, &rl.list, &s.err) != 0 ||
            rl.at(0)->variables == nullptr) {
          failures++;
        }
      }
    });
  }
  // One user whose pass phrase flips between right and wrong: its stored
  // user is replaced again and again while the others run.
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; i++) {
      open_session s;
      sm_set_snmp_info(&s.info, "127.0.0.1", port, SNMP_VERSION_3, 200000, 1, nullptr);
      sm_set_snmp_sec_info(&s.info.security, 2, vktest::snmpd_user_name(3, 0).c_str(), 3,
                           i % 2 == 0 ? vktest::kSnmpdAuthPass : "wrong-pass-phrase", 0, "");
      response_list rl;
      sm_response_list_add(&rl.list, "name", 0, ".1.3.6.1.2.1.1.5.0");
      if (s.open()) sm_get_request(s.fd, &rl.list, &s.err);
    }
  });
  // v2c walks beside them.
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; i++) {
      open_session s;
      sm_set_snmp_info(&s.info, "127.0.0.1", port, SNMP_VERSION_2c, 1000000, 2, "public");
      response_list rl;
      sm_response_list_add(&rl.list, "interfaces", 0, ".1.3.6.1.2.1.2");
      if (!s.open() || sm_bulk_request_multiple(s.fd, 0, &rl.list, &s.err) != 0 ||
          rl.at(0)->variables == nullptr) {
        failures++;
      }
    }
  });
  // The main loop's reader of the counters.
  std::thread reader([&] {
    snmp_perf p{};
    while (!done) {
      sm_get_perf(&p);
      std::this_thread::yield();
    }
  });
  for (std::thread &t : threads) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
}

// Opens the fixture's authPriv user (sha, aes128) and reads sysName.
bool get_name_v3(int port) {
  open_session s;
  sm_set_snmp_info(&s.info, "127.0.0.1", static_cast<uint16_t>(port), SNMP_VERSION_3, 1000000, 1,
                   nullptr);
  sm_set_snmp_sec_info(&s.info.security, 3, vktest::snmpd_user_name(2, 2).c_str(), 2,
                       vktest::kSnmpdAuthPass, 2, vktest::kSnmpdPrivPass);
  response_list rl;
  sm_response_list_add(&rl.list, "name", 0, ".1.3.6.1.2.1.1.5.0");
  return s.open() && sm_get_request(s.fd, &rl.list, &s.err) == 0;
}

// A device whose user is known is served while another device's engine probe
// waits out its time-out. (Adding a user would wait for that probe: it
// changes the table the probe reads.)
TEST(SnmpConcurrency, SilentV3DeviceDoesNotHoldUpKnownUsers) {
  vktest::snmpd_instance agent;
  std::string error;
  ASSERT_TRUE(agent.start(vktest::snmpd_options{}, &error)) << error;
  ASSERT_TRUE(get_name_v3(agent.port));  // the user is in the table from now on
  int silent_port = vktest::free_port(SOCK_DGRAM);

  std::atomic<bool> silent_done{false};
  std::atomic<bool> started{false};
  std::thread silent([&] {
    open_session s;
    sm_set_snmp_info(&s.info, "127.0.0.1", static_cast<uint16_t>(silent_port), SNMP_VERSION_3,
                     2000000, 2, nullptr);
    sm_set_snmp_sec_info(&s.info.security, 2, "u", 2, "authpass1", 0, "");
    started = true;
    EXPECT_FALSE(s.open());  // its engine probe waits for the whole time-out
    silent_done = true;
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the probe begin
  EXPECT_TRUE(get_name_v3(agent.port));
  // The reachable device was served while the silent one was still probed.
  EXPECT_FALSE(silent_done.load());
  silent.join();
}

}  // namespace
