#include "test_clock.h"

#include <time.h>

#include <atomic>

#include "vk_clock.h"

namespace {

constexpr uint64_t kNsecPerMsec = 1000000ULL;
constexpr uint64_t kMonotonicStartNsec = 1000ULL * 1000 * kNsecPerMsec;

std::atomic<uint64_t> g_offset_nsec{0};
std::atomic<uint64_t> g_realtime_start_nsec{0};

uint64_t manual_realtime_nsec(void) {
  return g_realtime_start_nsec.load() + g_offset_nsec.load();
}

uint64_t manual_monotonic_nsec(void) {
  return kMonotonicStartNsec + g_offset_nsec.load();
}

int manual_sleep_msec(uint32_t msec) {
  if (msec == 0) return 0;
  struct timespec ts = {0, static_cast<long>(kNsecPerMsec)};
  nanosleep(&ts, nullptr);
  return 0;
}

const vk_clock_ops kManualClock = {manual_realtime_nsec, manual_monotonic_nsec, manual_sleep_msec};

}  // namespace

void test_clock_install(uint64_t realtime_msec) {
  g_realtime_start_nsec.store(realtime_msec * kNsecPerMsec);
  g_offset_nsec.store(0);
  vk_clock_set(&kManualClock);
}

void test_clock_advance_msec(uint64_t msec) {
  g_offset_nsec.fetch_add(msec * kNsecPerMsec);
}

void test_clock_step_realtime_msec(int64_t msec) {
  g_realtime_start_nsec.fetch_add(static_cast<uint64_t>(msec) * kNsecPerMsec);
}

void test_clock_uninstall(void) {
  vk_clock_set(nullptr);
}
