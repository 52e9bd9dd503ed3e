#include "thread_manager.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_process.h"

namespace {

// What a started thread saw of itself.
struct probe {
  std::atomic<int> done{0};
  std::atomic<int> release{0};
  char name[32] = {0};
  int cpu_count_in_mask = -1;
  int bound_cpu = -1;
  size_t stack_size = 0;
  int result = 0;
};

int probe_body(void *arg) {
  probe *p = static_cast<probe *>(arg);
  pthread_getname_np(pthread_self(), p->name, sizeof(p->name));
  cpu_set_t set;
  CPU_ZERO(&set);
  if (pthread_getaffinity_np(pthread_self(), sizeof(set), &set) == 0) {
    p->cpu_count_in_mask = CPU_COUNT(&set);
    for (int i = 0; i < CPU_SETSIZE; i++) {
      if (CPU_ISSET(i, &set)) {
        p->bound_cpu = i;
        break;
      }
    }
  }
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &p->stack_size);
    pthread_attr_destroy(&attr);
  }
  // Stay registered until the test has looked at the registry.
  vktest::wait_until([&] { return p->release.load() != 0; }, 10000, 1);
  int result = p->result;
  p->done.store(1);  // `p` may be gone after this
  return result;
}

class ThreadManager : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tm_init(); }
  // A thread of an earlier test may still be on its way out of the
  // registry after it signalled the test: start from an empty registry.
  void SetUp() override {
    ASSERT_TRUE(vktest::wait_until([] { return tm_count() == 0; }, 10000));
  }
};

TEST_F(ThreadManager, ThreadIsRegisteredWhileItRunsAndRemovesItselfAtItsEnd) {
  probe p;
  uint32_t before = tm_count();
  ASSERT_EQ(0, thread_startup(-1, "tm_probe", probe_body, &p, 0));
  EXPECT_EQ(before + 1, tm_count());
  p.release.store(1);
  ASSERT_TRUE(vktest::wait_until([&] { return p.done.load() == 1; }, 10000));
  EXPECT_TRUE(vktest::wait_until([&] { return tm_count() == before; }, 10000));
  EXPECT_STREQ("tm_probe", p.name);
}

TEST_F(ThreadManager, NegativeResultAndLongNameDoNotStopTheThread) {
  probe p;
  p.result = -5;
  p.release.store(1);
  uint32_t before = tm_count();
  std::string long_name(200, 'n');  // cut to the record's 127 characters
  ASSERT_EQ(0, thread_startup(-1, long_name.c_str(), probe_body, &p, 0));
  ASSERT_TRUE(vktest::wait_until([&] { return p.done.load() == 1; }, 10000));
  EXPECT_TRUE(vktest::wait_until([&] { return tm_count() == before; }, 10000));
}

TEST_F(ThreadManager, CpuIndexBindsToOneProcessorModuloTheCount) {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  probe p;
  p.release.store(1);
  ASSERT_EQ(0, thread_startup(static_cast<int>(cpus) + 1, "tm_bound", probe_body, &p, 0));
  ASSERT_TRUE(vktest::wait_until([&] { return p.done.load() == 1; }, 10000));
  // Binding may be refused in a restricted cpuset; when it took, it is one
  // processor, the index reduced modulo the count.
  if (p.cpu_count_in_mask == 1) {
    EXPECT_EQ((cpus + 1) % cpus, p.bound_cpu);
  }
}

TEST_F(ThreadManager, StackSizeIsApplied) {
  probe p;
  p.release.store(1);
  ASSERT_EQ(0, thread_startup(-1, "tm_stack", probe_body, &p, 10485760));
  ASSERT_TRUE(vktest::wait_until([&] { return p.done.load() == 1; }, 10000));
  EXPECT_GE(p.stack_size, 10485760u);
}

// Threads started from several threads at once, each ending at once: the
// registry stays consistent (ThreadSanitizer checks the locking).
int quick_body(void *arg) {
  static_cast<std::atomic<int> *>(arg)->fetch_add(1);
  return 0;
}

TEST_F(ThreadManager, ConcurrentStartsAndEndsKeepTheRegistryConsistent) {
  uint32_t before = tm_count();
  std::atomic<int> ran{0};
  constexpr int kStarters = 4;
  constexpr int kEach = 50;
  std::vector<std::thread> starters;
  std::atomic<int> failures{0};
  for (int s = 0; s < kStarters; s++) {
    starters.emplace_back([&] {
      for (int i = 0; i < kEach; i++) {
        if (thread_startup(-1, "tm_quick", quick_body, &ran, 0) != 0) failures.fetch_add(1);
      }
    });
  }
  for (std::thread &t : starters) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_TRUE(vktest::wait_until([&] { return ran.load() == kStarters * kEach; }, 20000));
  EXPECT_TRUE(vktest::wait_until([&] { return tm_count() == before; }, 20000));
}

}  // namespace
