#include "vk_thread.h"

#include <errno.h>
#include <limits.h>

int create_thread_with_attr_vk(pthread_t *handle, void *(*fn)(void *), void *arg,
                               const pthread_attr_t *attr) {
  if (attr == nullptr) return -2;
  if (fn == nullptr) return -1;
  pthread_t id;
  if (pthread_create(&id, attr, fn, arg) != 0) return -1;
  if (handle != nullptr) *handle = id;
  return 0;
}

int create_thread_vk(pthread_t *handle, void *(*fn)(void *), void *arg, long stack_size) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return -1;
  int rc = -1;
  if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0) {
    bool stack_ok = true;
    if (stack_size > 0) {
      size_t size = static_cast<size_t>(stack_size);
      if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
      stack_ok = pthread_attr_setstacksize(&attr, size) == 0;
    }
    if (stack_ok) rc = create_thread_with_attr_vk(handle, fn, arg, &attr) == 0 ? 0 : -1;
  }
  pthread_attr_destroy(&attr);
  return rc;
}

int vk_cond_init_monotonic(pthread_cond_t *cond) {
  pthread_condattr_t attr;
  int rc = pthread_condattr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (rc == 0) rc = pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
  return rc;
}

struct timespec vk_deadline_after_msec(uint32_t msec) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += static_cast<time_t>(msec / 1000);
  ts.tv_nsec += static_cast<long>(msec % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec++;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

namespace {
bool before(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}
}  // namespace

bool vk_deadline_passed(const struct timespec *deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return !before(now, *deadline);
}

int vk_cond_wait_msec(pthread_cond_t *cond, pthread_mutex_t *mutex, uint32_t msec,
                      const struct timespec *limit) {
  timespec until = vk_deadline_after_msec(msec);
  if (limit != nullptr && before(*limit, until)) until = *limit;
  int rc = pthread_cond_timedwait(cond, mutex, &until);
  return rc == ETIMEDOUT ? ETIMEDOUT : 0;
}
