// Target device registries: the rules of each state, ids and addresses that
// do not fit, receive counts under concurrent look-ups, and the SNMP status
// store with its thread.
#include "target_device.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "test_clock.h"
#include "test_process.h"
#include "thread_manager.h"

namespace {

struct registry {
  target_device_manager_t r{};
  registry() { target_device_init("test", &r); }
  ~registry() { target_device_clear(&r); }
};

TEST(TargetDevice, OnlyAnActiveRegistryTakesTargetsAndAnswers) {
  registry g;
  char id[TARGET_DEVICE_ID_SIZE] = "untouched";
  EXPECT_EQ(target_device_add_by_ip(&g.r, "10.0.0.1", "d1"), TARGET_DEVICE_ERR_INACTIVE);
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.1", id, sizeof(id)), TARGET_DEVICE_ERR_INACTIVE);
  ASSERT_EQ(target_device_activate(&g.r), 0);
  EXPECT_EQ(target_device_count(&g.r), 0u);  // the refused target was not kept
  EXPECT_EQ(target_device_add_by_ip(&g.r, "10.0.0.1", "d1"), 0);
  EXPECT_EQ(target_device_add_by_ip(&g.r, "10.0.0.1", "d2"), 0);  // no duplicate check
  EXPECT_EQ(target_device_add_by_ip(&g.r, "10.0.0.2", "d3"), 0);
  EXPECT_EQ(target_device_count(&g.r), 3u);
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.1", id, sizeof(id)), 1);
  EXPECT_STREQ(id, "d1");  // the first record wins
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.9", id, sizeof(id)), 0);
  EXPECT_EQ(target_device_is_exist(&g.r, nullptr, id, sizeof(id)), TARGET_DEVICE_ERR_ARGUMENT);
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.1", nullptr, 0), TARGET_DEVICE_ERR_ARGUMENT);
  char small[2];
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.1", small, sizeof(small)),
            TARGET_DEVICE_ERR_TOO_LONG);
  EXPECT_EQ(target_device_receive_count(&g.r, "10.0.0.1"), 1u);  // the refused look-up not counted
  target_device_deactivate(&g.r);
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.1", id, sizeof(id)), TARGET_DEVICE_ERR_INACTIVE);
  target_device_manager_clean(&g.r);
  EXPECT_EQ(target_device_count(&g.r), 0u);
}

TEST(TargetDevice, IdsAndAddressesThatDoNotFitAreRefusedNotCut) {
  registry g;
  target_device_activate(&g.r);
  std::string fits(TARGET_DEVICE_ID_SIZE - 1, 'i');
  std::string too_long(TARGET_DEVICE_ID_SIZE, 'j');
  EXPECT_EQ(target_device_add_by_ip(&g.r, "10.0.0.1", too_long.c_str()),
            TARGET_DEVICE_ERR_TOO_LONG);
  EXPECT_EQ(target_device_add_by_ip(&g.r, too_long.c_str(), "d"), TARGET_DEVICE_ERR_TOO_LONG);
  EXPECT_EQ(target_device_add_by_ip(&g.r, "10.0.0.1", ""), TARGET_DEVICE_ERR_TOO_LONG);
  EXPECT_EQ(target_device_add_by_ip(&g.r, "10.0.0.1", nullptr), TARGET_DEVICE_ERR_TOO_LONG);
  EXPECT_EQ(target_device_count(&g.r), 0u);
  EXPECT_EQ(target_device_add_by_ip(&g.r, "10.0.0.1", fits.c_str()), 0);
  char id[TARGET_DEVICE_ID_SIZE];
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.1", id, sizeof(id)), 1);
  EXPECT_EQ(std::string(id), fits);
}

TEST(TargetDevice, SetAndRemoveByIdLeaveOneTargetPerDeviceAsItNowStands) {
  registry g;
  EXPECT_EQ(target_device_set_by_id(&g.r, "10.0.0.1", "d1"), TARGET_DEVICE_ERR_INACTIVE);
  target_device_activate(&g.r);
  target_device_add_by_ip(&g.r, "10.0.0.1", "d1");
  target_device_add_by_ip(&g.r, "10.0.0.2", "d2");
  target_device_add_by_ip(&g.r, "10.0.0.3", "d1");  // a second record of d1
  char id[TARGET_DEVICE_ID_SIZE];
  ASSERT_EQ(target_device_is_exist(&g.r, "10.0.0.1", id, sizeof(id)), 1);
  target_device_set_user_data_by_id(
      &g.r, "d1", static_cast<target_snmp_status *>(calloc(1, sizeof(target_snmp_status))));
  // Moved: one record at the new address, count and status kept.
  EXPECT_EQ(target_device_set_by_id(&g.r, "10.0.0.9", "d1"), 0);
  EXPECT_EQ(target_device_count(&g.r), 2u);
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.1", id, sizeof(id)), 0);
  EXPECT_EQ(target_device_is_exist(&g.r, "10.0.0.3", id, sizeof(id)), 0);
  EXPECT_EQ(target_device_receive_count(&g.r, "10.0.0.9"), 1u);
  target_snmp_status st;
  EXPECT_EQ(target_device_get_user_data_by_id(&g.r, "d1", &st), 0);
  // A device not held yet is appended; bad texts are refused.
  EXPECT_EQ(target_device_set_by_id(&g.r, "10.0.0.4", "d4"), 0);
  EXPECT_EQ(target_device_set_by_id(&g.r, "", "d5"), TARGET_DEVICE_ERR_TOO_LONG);
  EXPECT_EQ(target_device_count(&g.r), 3u);
  // Removal works in any state.
  target_device_deactivate(&g.r);
  EXPECT_EQ(target_device_remove_by_id(&g.r, "d1"), 1);
  EXPECT_EQ(target_device_remove_by_id(&g.r, "d1"), 0);
  EXPECT_EQ(target_device_remove_by_id(&g.r, nullptr), -1);
  EXPECT_EQ(target_device_count(&g.r), 2u);
}

TEST(TargetDevice, ConcurrentLookupsLoseNoCount) {
  registry g;
  target_device_activate(&g.r);
  for (int i = 0; i < 50; i++) {
    target_device_add_by_ip(&g.r, ("10.0.1." + std::to_string(i)).c_str(), "d");
  }
  constexpr int kThreads = 4;
  constexpr int kLookups = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&] {
      char id[TARGET_DEVICE_ID_SIZE];
      for (int i = 0; i < kLookups; i++) target_device_is_exist(&g.r, "10.0.1.49", id, sizeof(id));
    });
  }
  // A writer at the same time: new targets go in behind the looked-up one.
  for (int i = 0; i < 200; i++) target_device_add_by_ip(&g.r, "10.0.2.1", "w");
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(target_device_receive_count(&g.r, "10.0.1.49"), uint64_t{kThreads} * kLookups);
}

target_snmp_status *status_of(double latency, const char *err = "") {
  auto *s = static_cast<target_snmp_status *>(calloc(1, sizeof(target_snmp_status)));
  s->snmp_latency = latency;
  s->snmp_success = err[0] == '\0';
  snprintf(s->err_message, sizeof(s->err_message), "%s", err);
  return s;
}

TEST(TargetDevice, StoreThreadKeepsTheLatestReportPerDevice) {
  static bool threads = (tm_init(), true);  // once per program
  (void)threads;
  registry g;
  target_device_activate(&g.r);
  target_device_add_by_ip(&g.r, "10.0.0.1", "d1");
  target_device_add_by_ip(&g.r, "10.0.0.2", "d2");
  ASSERT_EQ(target_device_user_data_init(&g.r), 0);
  target_snmp_status out{};
  out.snmp_latency = -7;
  // Before the thread runs, reports are discarded.
  EXPECT_EQ(target_push_snmp_status(&g.r, "d1", "10.0.0.1", status_of(1)), 0);
  test_clock_install(1700000000000ull);  // the idle pauses take a real millisecond each
  ASSERT_EQ(target_device_user_data_startup(&g.r), 0);
  ASSERT_TRUE(vktest::wait_until(
      [&] { return target_device_user_data_state(&g.r) == TARGET_USER_DATA_RUNNING; }, 5000));
  EXPECT_EQ(target_device_get_user_data_by_id(&g.r, "d1", &out), -1);
  EXPECT_EQ(out.snmp_latency, -7);  // unchanged
  target_push_snmp_status(&g.r, "d1", "10.0.0.1", status_of(2));
  target_push_snmp_status(&g.r, "d1", "10.0.0.1", status_of(3, "timeout"));
  target_push_snmp_status(&g.r, "nobody", "10.0.0.9", status_of(4));
  target_push_snmp_status(&g.r, "d2", "10.0.0.2", status_of(5));
  ASSERT_TRUE(vktest::wait_until(
      [&] { return target_device_get_user_data_by_id(&g.r, "d2", &out) == 0; }, 5000));
  EXPECT_EQ(out.snmp_latency, 5);
  ASSERT_EQ(target_device_get_user_data_by_id(&g.r, "d1", &out), 0);
  EXPECT_EQ(out.snmp_latency, 3);
  EXPECT_EQ(out.snmp_success, 0);
  EXPECT_STREQ(out.err_message, "timeout");
  EXPECT_EQ(target_device_get_user_data_by_id(&g.r, "nobody", &out), -1);
  EXPECT_EQ(target_device_user_data_shutdown(&g.r, 3), 0);
  EXPECT_EQ(target_device_user_data_state(&g.r), TARGET_USER_DATA_STOPPED);
  // After the stop, reports are discarded (and freed: the leak checker
  // sees it).
  EXPECT_EQ(target_push_snmp_status(&g.r, "d1", "10.0.0.1", status_of(9)), 0);
  EXPECT_EQ(target_device_get_user_data_by_id(&g.r, "d1", &out), 0);
  EXPECT_EQ(out.snmp_latency, 3);
  test_clock_uninstall();
}

}  // namespace
