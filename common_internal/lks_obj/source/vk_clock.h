// The clocks and the sleep of both agents, reached through one table so that
// tests can move time instead of waiting for it.
//
// Everything in the agents that reads the time or sleeps goes through
// vk_get_time_msec / vk_get_time_nsec / vk_monotonic_msec / vk_sleep (vk_util
// and this module), which call the installed table. The table defaults to the
// system's clocks. Installing a table is meant for tests: do it while no other
// thread reads the clock, or accept that a thread may see either table for
// one call (the pointer is swapped atomically, never half-written).
#ifndef COMMON_INTERNAL_VK_CLOCK_H
#define COMMON_INTERNAL_VK_CLOCK_H

#include <stdint.h>

typedef struct vk_clock_ops {
  // Nanoseconds since the epoch (CLOCK_REALTIME): values for the wire, logs
  // and wall-clock alignment.
  uint64_t (*realtime_nsec)(void);
  // Nanoseconds since an arbitrary start (CLOCK_MONOTONIC): intervals and
  // deadlines. Never goes back.
  uint64_t (*monotonic_nsec)(void);
  // Sleeps `msec` milliseconds; 0, or -1 when interrupted early.
  int (*sleep_msec)(uint32_t msec);
} vk_clock_ops;

// The system's clocks and nanosleep.
extern const vk_clock_ops g_vk_clock_system;

// Installs `ops` (which must stay valid while installed; every member set);
// null restores the system's clocks.
void vk_clock_set(const vk_clock_ops *ops);

// The installed table (never null).
const vk_clock_ops *vk_clock_get(void);

// Milliseconds on the monotonic clock, never 0 (callers use 0 for "not set").
uint64_t vk_monotonic_msec(void);

#endif  // COMMON_INTERNAL_VK_CLOCK_H
