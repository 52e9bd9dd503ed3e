// The collection threads run on whole wall-clock seconds that are
// multiples of their intervals, driven here by the manual clock.
#include "thr_os.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "collect_hooks.h"
#include "configure.h"
#include "pub_conf.h"
#include "test_clock.h"
#include "test_process.h"
#include "thr_package_manager.h"
#include "vk_util.h"

namespace {

std::mutex g_calls_lock;
std::vector<uint64_t> g_stat_secs, g_process_secs, g_package_secs;
std::vector<int> g_stat_intervals;
bool g_process_lock_held = false;

uint64_t now_sec() {
  return vk_get_time_msec() / 1000;
}

int record_stat(int interval) {
  std::lock_guard<std::mutex> g(g_calls_lock);
  g_stat_secs.push_back(now_sec());
  g_stat_intervals.push_back(interval);
  return 0;
}
int record_process(void) {
  // The user-name lock is held around the process cycle.
  bool held = pthread_mutex_trylock(&g_username_lock) != 0;
  if (!held) pthread_mutex_unlock(&g_username_lock);
  std::lock_guard<std::mutex> g(g_calls_lock);
  g_process_secs.push_back(now_sec());
  g_process_lock_held = held;
  return 0;
}
int record_package(void) {
  std::lock_guard<std::mutex> g(g_calls_lock);
  g_package_secs.push_back(now_sec());
  return 0;
}

TEST(HostTicks, WaitEndsAtTheTickOnAClockSetBackOrOnStop) {
  test_clock_install(1000000500ULL);
  g_stop_the_world.store(0);
  uint64_t now = 0;
  EXPECT_EQ(host_wait_tick(1000000, &now), 0);
  EXPECT_EQ(now, 1000000500ULL);
  EXPECT_EQ(host_wait_tick(1000000 + 60, &now), 1);  // a minute ahead: the clock went back
  g_stop_the_world.store(1);
  EXPECT_EQ(host_wait_tick(1000000 + 1, &now), -1);
  g_stop_the_world.store(0);
  test_clock_uninstall();
}

TEST(HostTicks, CollectionsLeaveOnMultiplesOfTheirIntervalsAndAZeroIntervalPausesThem) {
  // 25 s before a midnight UTC (epoch seconds divisible by 86400).
  const uint64_t midnight = 86400ULL * 20000;
  const uint64_t start = midnight - 25;
  test_clock_install(start * 1000 + 300);
  g_conf_handle = create_configure(g_conf_table, CONF_COUNT);
  ASSERT_NE(g_conf_handle, nullptr);
  g_stop_the_world.store(0);
  g_collect_hooks.host_stat_cycle = record_stat;
  g_collect_hooks.process_list_cycle = record_process;
  g_collect_hooks.package_cycle = record_package;
  pthread_t t[3];
  ASSERT_EQ(pthread_create(&t[0], nullptr, thread_host_stat, nullptr), 0);
  ASSERT_EQ(pthread_create(&t[1], nullptr, thread_processlist, nullptr), 0);
  ASSERT_EQ(pthread_create(&t[2], nullptr, thr_package_manager, nullptr), 0);
  host_tick_state_t *states[3] = {&g_host_stat_tick, &g_process_tick, &g_package_tick};
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        for (host_tick_state_t *s : states)
          if (s->running.load() == 0) return false;
        return true;
      },
      5000));
  bool all_ticked = true;
  for (uint64_t sec = start + 1; sec <= start + 70 && all_ticked; sec++) {
    if (sec == midnight + 11) update_conf_value_for_key(g_conf_handle, "INTERVAL_PROCESS", "0", 1);
    if (sec == midnight + 31) update_conf_value_for_key(g_conf_handle, "INTERVAL_PROCESS", "20", 2);
    test_clock_advance_msec(1000);
    all_ticked = vktest::wait_until(
        [&] {
          for (host_tick_state_t *s : states)
            if (s->last_tick_sec.load() != sec) return false;
          return true;
        },
        5000, 1);
  }
  g_stop_the_world.store(1);
  for (pthread_t &th : t) pthread_join(th, nullptr);
  g_stop_the_world.store(0);
  test_clock_uninstall();
  g_collect_hooks = collect_hooks_t{};
  destroy_configure(g_conf_handle);
  g_conf_handle = nullptr;
  ASSERT_TRUE(all_ticked);

  std::vector<uint64_t> want_stat;
  for (uint64_t s = start + 1; s <= start + 70; s++)
    if (s % 5 == 0) want_stat.push_back(s);
  EXPECT_EQ(g_stat_secs, want_stat);
  EXPECT_EQ(g_stat_intervals, std::vector<int>(want_stat.size(), 5));
  EXPECT_EQ(g_process_secs, (std::vector<uint64_t>{midnight - 20, midnight, midnight + 40}));
  EXPECT_TRUE(g_process_lock_held);
  EXPECT_EQ(g_package_secs, std::vector<uint64_t>{midnight});
}

}  // namespace
