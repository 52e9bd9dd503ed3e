#include "vk_thread.h"

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
