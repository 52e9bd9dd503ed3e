// Detached thread creation with an optional stack size.
//
// Threads made here are never joined: a thread reports its end through its
// owner's status variables. Any thread may create threads.
#ifndef COMMON_INTERNAL_VK_THREAD_H
#define COMMON_INTERNAL_VK_THREAD_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>

// Creates a detached thread running fn(arg). A stack_size greater than 0 is
// applied (bytes; raised to the system minimum when smaller); 0 or less keeps
// the system default. Stores the thread id in *handle (if given).
// Returns 0, or -1 when the thread cannot be created (*handle untouched).
int create_thread_vk(pthread_t *handle, void *(*fn)(void *), void *arg, long stack_size);

// Creates a thread running fn(arg) with the given attributes (the caller
// sets the detach state); stores its id in *handle (if given).
// Returns 0; -1 when the thread cannot be created or `fn` is null; -2 when
// `attr` is null.
int create_thread_with_attr_vk(pthread_t *handle, void *(*fn)(void *), void *arg,
                               const pthread_attr_t *attr);

// Timed waits on the system's monotonic clock. A stepped wall clock neither
// stretches nor cuts them. They use the system clock, not the vk_clock seam:
// a limit on how long a thread may block must hold whatever a test does with
// time.

// Initialises `cond` to time its waits on CLOCK_MONOTONIC. Returns 0, or the
// error number of pthread_cond_init.
int vk_cond_init_monotonic(pthread_cond_t *cond);

// The monotonic instant `msec` milliseconds from now, for
// pthread_cond_timedwait on a condition made by vk_cond_init_monotonic.
struct timespec vk_deadline_after_msec(uint32_t msec);

// Whether the monotonic clock has reached `deadline`.
bool vk_deadline_passed(const struct timespec *deadline);

// Waits on `cond` (with `mutex` held) until it is signalled or until the
// earlier of `msec` from now and `limit` (null: no limit). Returns 0 when
// woken, ETIMEDOUT when the wait ran out. Wake-ups may be spurious: callers
// check their state after each wait.
int vk_cond_wait_msec(pthread_cond_t *cond, pthread_mutex_t *mutex, uint32_t msec,
                      const struct timespec *limit);

#endif  // COMMON_INTERNAL_VK_THREAD_H
