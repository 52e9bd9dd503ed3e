#include "vk_lock.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

TEST(VkLock, NullLockPrintsOneLinePerCallAndFails) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(vkLock(nullptr), 0);
  EXPECT_EQ(vkLock(nullptr), 0);
  EXPECT_EQ(vkUnlock(nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "vkLock has failed.\nvkLock has failed.\nvkUnlock has failed.\n");
  EXPECT_EQ(vklock_init(nullptr), -1);
  EXPECT_EQ(vklock_destroy(nullptr), -1);
}

TEST(VkLock, LockAndUnlockReportSuccess) {
  vk_lock_t lock;
  ASSERT_EQ(vklock_init(&lock), 0);
  EXPECT_EQ(vkLock(&lock), 1);
  EXPECT_EQ(pthread_mutex_trylock(&lock), EBUSY);
  EXPECT_EQ(vkUnlock(&lock), 1);
  EXPECT_EQ(vklock_destroy(&lock), 0);
}

TEST(VkLock, SerialisesThreads) {
  vk_lock_t lock;
  ASSERT_EQ(vklock_init(&lock), 0);
  long counter = 0;  // guarded by lock
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; i++) {
        vkLock(&lock);
        counter++;
        vkUnlock(&lock);
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
  vklock_destroy(&lock);
}
