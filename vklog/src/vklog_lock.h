// vklog_lock: the mutex wrapper of the logging library.
//
// Owns nothing; it wraps the pthread mutexes embedded in the library's
// records (each handle's config_lock, its vklogger output lock, its file
// fd_lock) and the two process-wide locks used by file rotation. Any thread
// may call it.
#ifndef VKLOG_VKLOG_LOCK_H
#define VKLOG_VKLOG_LOCK_H

#include <pthread.h>

// Initialises `m` as a plain (non-recursive) mutex. 0, or -1 when `m` is
// null or pthread_mutex_init failed.
int vl_lock_init(pthread_mutex_t *m);

// Destroys a mutex made by vl_lock_init. REQUIRES: no thread holds or waits
// for it. A null `m` is ignored.
void vl_lock_destroy(pthread_mutex_t *m);

// Blocks until `m` is held by the calling thread.
void vl_lock(pthread_mutex_t *m);

// Releases `m`. REQUIRES: the calling thread holds it.
void vl_unlock(pthread_mutex_t *m);

// Holds a mutex for the rest of a scope.
struct vl_lock_guard {
  pthread_mutex_t *m;
  explicit vl_lock_guard(pthread_mutex_t *mutex) : m(mutex) { vl_lock(m); }
  ~vl_lock_guard() { vl_unlock(m); }
  vl_lock_guard(const vl_lock_guard &) = delete;
  vl_lock_guard &operator=(const vl_lock_guard &) = delete;
};

#endif  // VKLOG_VKLOG_LOCK_H
