#include "vk_lock.h"

#include <stdio.h>

int vklock_init(vk_lock_t *lock) {
  if (lock == nullptr) return -1;
  return pthread_mutex_init(lock, nullptr);
}

int vkLock(vk_lock_t *lock) {
  if (lock == nullptr) {
    printf("vkLock has failed.\n");
    fflush(stdout);
    return 0;
  }
  return pthread_mutex_lock(lock) == 0 ? 1 : 0;
}

int vkUnlock(vk_lock_t *lock) {
  if (lock == nullptr) {
    printf("vkUnlock has failed.\n");
    fflush(stdout);
    return 0;
  }
  return pthread_mutex_unlock(lock) == 0 ? 1 : 0;
}

int vklock_destroy(vk_lock_t *lock) {
  if (lock == nullptr) return -1;
  return pthread_mutex_destroy(lock);
}
