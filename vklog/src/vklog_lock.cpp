#include "vklog_lock.h"

int vl_lock_init(pthread_mutex_t *m) {
  if (m == nullptr) return -1;
  return pthread_mutex_init(m, nullptr) == 0 ? 0 : -1;
}

void vl_lock_destroy(pthread_mutex_t *m) {
  if (m != nullptr) pthread_mutex_destroy(m);
}

void vl_lock(pthread_mutex_t *m) {
  pthread_mutex_lock(m);
}

void vl_unlock(pthread_mutex_t *m) {
  pthread_mutex_unlock(m);
}
