// A clock for tests that moves only when the test says so.
//
// test_clock_install() puts a manual clock into the vk_clock table: the
// real-time and monotonic readings start at the given instant and advance
// only by test_clock_advance_msec. Sleeps through vk_sleep do not move it;
// they wait a real millisecond so that a thread polling the clock does not
// spin. test_clock_uninstall() restores the system's clocks. Readings are
// atomic: a test may advance the clock while agent threads read it.
#ifndef TESTS_SUPPORT_TEST_CLOCK_H
#define TESTS_SUPPORT_TEST_CLOCK_H

#include <stdint.h>

// Installs the manual clock with the wall clock at `realtime_msec` since the
// epoch (and the monotonic clock at an arbitrary non-zero start).
void test_clock_install(uint64_t realtime_msec);
void test_clock_advance_msec(uint64_t msec);
// Steps the wall clock alone by `msec` (back when negative), as an
// operator or time service setting the clock would; the monotonic clock
// does not move.
void test_clock_step_realtime_msec(int64_t msec);
void test_clock_uninstall(void);

#endif  // TESTS_SUPPORT_TEST_CLOCK_H
