#include "vk_complain.h"

#include <gtest/gtest.h>

namespace {

TEST(VkComplain, ReportsTheStartAndTheEndOfAStreakOnlyOnce) {
  vk_complain_t c;
  vk_complain_init(&c);
  EXPECT_EQ(vk_complain_active(&c), 0);
  EXPECT_EQ(vk_complain_release(&c), 0u);  // nothing to end: stay quiet
  EXPECT_EQ(vk_complain(&c, 1000), 1);     // starts: log it
  for (int i = 0; i < 5; i++) EXPECT_EQ(vk_complain(&c, 2000 + i), 0);
  EXPECT_EQ(vk_complain_active(&c), 1);
  EXPECT_EQ(c.since_msec, 1000u);
  EXPECT_EQ(vk_complain_release(&c), 6u);  // ends after six failures
  EXPECT_EQ(vk_complain_release(&c), 0u);
  EXPECT_EQ(vk_complain(&c, 9000), 1);  // a new streak is logged again
  c.failures = UINT32_MAX;
  EXPECT_EQ(vk_complain(&c, 9001), 0);  // saturates, never starts over by wrapping
  EXPECT_EQ(c.failures, UINT32_MAX);
  EXPECT_EQ(vk_complain(nullptr, 1), -1);
  EXPECT_EQ(vk_complain_release(nullptr), 0u);
  EXPECT_EQ(vk_complain_active(nullptr), 0);
}

TEST(VkComplain, BackOffDoublesFromTheFirstPauseUpToTheLimit) {
  struct row {
    uint32_t failures;
    uint64_t pause;
  } rows[] = {{0, 0},      {1, 15000},  {2, 30000},  {3, 60000},   {4, 120000},
              {5, 240000}, {6, 300000}, {7, 300000}, {64, 300000}, {UINT32_MAX, 300000}};
  for (const row &r : rows) {
    EXPECT_EQ(vk_backoff_pause_msec(r.failures, 15000, 300000), r.pause) << r.failures;
  }
  EXPECT_EQ(vk_backoff_pause_msec(3, 500, 400), 400u);  // a first pause above the limit
}

}  // namespace
