// Detached thread creation with an optional stack size.
//
// Threads made here are never joined: a thread reports its end through its
// owner's status variables. Any thread may create threads.
#ifndef COMMON_INTERNAL_VK_THREAD_H
#define COMMON_INTERNAL_VK_THREAD_H

#include <pthread.h>

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

#endif  // COMMON_INTERNAL_VK_THREAD_H
