// Pacing shared by the agent's threads: the one-second tick aligned to
// whole seconds of the wall clock, sleeps that end early when the agent
// stops, and thread start with its log lines.
//
// Time is read only through vk_get_time_msec / vk_sleep, so tests drive the
// ticks with a manual clock. Any thread.
#ifndef VOSK_HOST_AGENT_PUB_FUNC_H
#define VOSK_HOST_AGENT_PUB_FUNC_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

// Polling step of every wait: the stop word is seen within this time.
#define HOST_POLL_MSEC 100
// A tick this far ahead of the clock means the clock was set back.
#define HOST_CLOCK_BACK_SEC 60

// Waits until the wall clock reaches second `tick_sec`, polling every
// HOST_POLL_MSEC. Returns 0 when reached; 1 when the tick lies
// HOST_CLOCK_BACK_SEC or more ahead of the clock (set back): the wait ends
// at once; -1 when the agent is stopping. *now_msec gets the clock read last.
int host_wait_tick(uint64_t tick_sec, uint64_t *now_msec);

// Sleeps `msec` in HOST_POLL_MSEC slices; returns early (-1) once the agent
// is stopping, else 0.
int host_sleep_msec(uint32_t msec);

// A collection cycle of one thread: called with the interval (seconds) on
// every whole second that is a multiple of it.
typedef int (*host_cycle_fn)(int interval_sec);

// State of one ticking thread, for its owner and for tests.
typedef struct {
  std::atomic<uint64_t> last_tick_sec;  // the last second handled (0 before the first)
  std::atomic<int> running;             // 1 while the loop runs
} host_tick_state_t;

// The tick loop of the collection threads: until the agent stops, wait for
// the next whole second, read the interval from configuration index
// `conf_index` (each tick, so a change applies at once) and, when it is at
// least 1 and divides the second, run `cycle`. Seconds that pass during a
// long cycle are not made up. `slot` is the thread's breadcrumb slot.
void host_tick_loop(int slot, int conf_index, host_cycle_fn cycle, host_tick_state_t *state);

// Creates a thread with `attr` (null: detached, 10 MiB stack) running
// fn(arg). Logs success or failure with `name`. 0, or the creation result.
int run_thread(pthread_t *tid, const pthread_attr_t *attr, void *(*fn)(void *), void *arg,
               const char *name);

#endif  // VOSK_HOST_AGENT_PUB_FUNC_H
