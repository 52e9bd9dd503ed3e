#include "vk_clock.h"

#include <time.h>

#include <atomic>

namespace {

uint64_t timespec_nsec(const struct timespec &ts) {
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t system_realtime_nsec(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return timespec_nsec(ts);
}

uint64_t system_monotonic_nsec(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return timespec_nsec(ts);
}

int system_sleep_msec(uint32_t msec) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(msec / 1000);
  ts.tv_nsec = static_cast<long>(msec % 1000) * 1000000L;
  return nanosleep(&ts, nullptr) == 0 ? 0 : -1;
}

std::atomic<const vk_clock_ops *> g_clock{&g_vk_clock_system};

}  // namespace

const vk_clock_ops g_vk_clock_system = {system_realtime_nsec, system_monotonic_nsec,
                                        system_sleep_msec};

void vk_clock_set(const vk_clock_ops *ops) {
  g_clock.store(ops != nullptr ? ops : &g_vk_clock_system, std::memory_order_release);
}

const vk_clock_ops *vk_clock_get(void) {
  return g_clock.load(std::memory_order_acquire);
}

uint64_t vk_monotonic_msec(void) {
  return vk_clock_get()->monotonic_nsec() / 1000000ULL + 1u;
}
