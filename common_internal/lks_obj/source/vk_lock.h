// Lock and its null-safe lock/unlock wrappers.
//
// A vk_lock_t is a plain process-private mutex (default attributes: not
// recursive, no error checking) kept in its owner's storage. A thread must
// not lock a lock it already holds. Any thread may call these.
#ifndef COMMON_INTERNAL_VK_LOCK_H
#define COMMON_INTERNAL_VK_LOCK_H

#include <pthread.h>

typedef pthread_mutex_t vk_lock_t;

// Initialises the mutex with default attributes. Returns the system result
// (0 on success), or -1 for a null lock.
int vklock_init(vk_lock_t *lock);

// Locks. Returns 1 on success, 0 when locking fails. A null lock prints
// "vkLock has failed." as a line on standard output and returns 0.
int vkLock(vk_lock_t *lock);

// Unlocks. Returns 1 on success, 0 on failure. A null lock prints
// "vkUnlock has failed." as a line on standard output and returns 0.
int vkUnlock(vk_lock_t *lock);

// Destroys an initialised, unlocked mutex. Returns the system result (0 on
// success), or -1 for a null lock.
int vklock_destroy(vk_lock_t *lock);

#endif  // COMMON_INTERNAL_VK_LOCK_H
