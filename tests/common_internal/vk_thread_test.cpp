#include "vk_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <errno.h>
#include <unistd.h>

#include "test_process.h"

namespace {

// What a started thread saw of itself.
struct thread_report {
  void *arg_seen = nullptr;
  size_t stack_size = 0;
  int detach_state = -1;
  std::atomic<bool> done{false};
};

void *report_self(void *arg) {
  thread_report *r = static_cast<thread_report *>(arg);
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &r->stack_size);
    pthread_attr_getdetachstate(&attr, &r->detach_state);
    pthread_attr_destroy(&attr);
  }
  r->arg_seen = arg;
  r->done.store(true);
  return nullptr;
}

bool wait_done(thread_report &r) {
  return vktest::wait_until([&] { return r.done.load(); }, 10000);
}

}  // namespace

TEST(VkThread, StackSizeIsAppliedAndThreadIsDetached) {
  thread_report big;
  pthread_t handle{};
  ASSERT_EQ(create_thread_vk(&handle, report_self, &big, 10485760), 0);
  ASSERT_TRUE(wait_done(big));
  EXPECT_EQ(big.arg_seen, &big);
  EXPECT_GE(big.stack_size, 10485760u);
  EXPECT_LT(big.stack_size, 10485760u + 1048576u);
  EXPECT_EQ(big.detach_state, PTHREAD_CREATE_DETACHED);
}

TEST(VkThread, ZeroOrNegativeStackKeepsTheDefault) {
  pthread_attr_t def;
  ASSERT_EQ(pthread_getattr_default_np(&def), 0);
  size_t default_size = 0;
  pthread_attr_getstacksize(&def, &default_size);
  pthread_attr_destroy(&def);

  for (long size : {0L, -1L}) {
    thread_report r;
    ASSERT_EQ(create_thread_vk(nullptr, report_self, &r, size), 0);
    ASSERT_TRUE(wait_done(r));
    // The C library reuses the stacks of ended threads, so a default-sized
    // thread may run on a larger cached stack, never on a smaller one.
    if (default_size != 0) {
      EXPECT_GE(r.stack_size, default_size) << size;
      EXPECT_LT(r.stack_size, 4 * default_size + 1) << size;
    }
    EXPECT_EQ(r.detach_state, PTHREAD_CREATE_DETACHED);
  }
}

TEST(VkThread, TinyStackIsRaisedToTheMinimum) {
  thread_report r;
  ASSERT_EQ(create_thread_vk(nullptr, report_self, &r, 1), 0);
  ASSERT_TRUE(wait_done(r));
  EXPECT_GE(r.stack_size, 16384u);
}

TEST(VkThread, WithAttrResults) {
  thread_report r;
  EXPECT_EQ(create_thread_with_attr_vk(nullptr, report_self, &r, nullptr), -2);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  EXPECT_EQ(create_thread_with_attr_vk(nullptr, nullptr, &r, &attr), -1);
  pthread_t handle{};
  ASSERT_EQ(create_thread_with_attr_vk(&handle, report_self, &r, &attr), 0);
  EXPECT_EQ(pthread_join(handle, nullptr), 0);  // joinable attributes were kept
  EXPECT_TRUE(r.done.load());
  EXPECT_EQ(r.detach_state, PTHREAD_CREATE_JOINABLE);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(create_thread_vk(nullptr, nullptr, &r, 0), -1);
}

// A wait ends at the earlier of its own span and the caller's limit, and a
// signal ends it early; the limit is the one a stop loop keeps across waits.
TEST(VkThread, MonotonicWaitsEndAtTheEarlierDeadline) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond;
  ASSERT_EQ(vk_cond_init_monotonic(&cond), 0);
  timespec limit = vk_deadline_after_msec(30);
  EXPECT_FALSE(vk_deadline_passed(&limit));
  pthread_mutex_lock(&mutex);
  int rc = 0;
  for (int i = 0; i < 100 && !vk_deadline_passed(&limit); i++)
    rc = vk_cond_wait_msec(&cond, &mutex, 60000, &limit);
  EXPECT_EQ(rc, ETIMEDOUT);  // a 60 s wait cut to the 30 ms limit
  EXPECT_TRUE(vk_deadline_passed(&limit));
  pthread_mutex_unlock(&mutex);

  std::atomic<bool> woken{false};
  std::thread waker([&] {
    for (int i = 0; i < 6000 && !woken.load(); i++) {
      pthread_mutex_lock(&mutex);
      pthread_cond_signal(&cond);
      pthread_mutex_unlock(&mutex);
      usleep(10000);
    }
  });
  pthread_mutex_lock(&mutex);
  EXPECT_EQ(vk_cond_wait_msec(&cond, &mutex, 60000, nullptr), 0);
  woken.store(true);
  pthread_mutex_unlock(&mutex);
  waker.join();
  pthread_cond_destroy(&cond);
}
