// Thread registry of the network agent.
//
// Every long-running thread of the agent except the collector link's two is
// started through thread_startup(), which records it in g_thread_manager.
// The record is in the registry before the thread can run, and the thread
// removes and frees its own record when its body returns. The registry is
// guarded by g_thread_manager_lock; any thread may start threads.
#ifndef QDR_AGENT_THREAD_MANAGER_H
#define QDR_AGENT_THREAD_MANAGER_H

#include <pthread.h>
#include <stdint.h>

#include "mlist.h"
#include "vk_lock.h"

typedef int (*thread_function_t)(void *args);

typedef struct {
  char name[128];
  pthread_t handle;
  uint64_t start_time;  // ns since the epoch, stamped when the thread begins
  thread_function_t function;
  void *args;
  void *self_item;  // the registry item holding this record
  int cpu_index;    // processor the thread binds itself to; -1: none
} thread_info;

extern mlist_t g_thread_manager;  // guarded by g_thread_manager_lock
extern vk_lock_t g_thread_manager_lock;

// Initialises the registry and its lock. Called once by main().
void tm_init(void);

// Starts `function(args)` as a detached, registered thread named `name`
// (cut to 127 characters), with `stacksize` bytes of stack (0: default).
// With cpu_index_assign >= 0 the thread is bound to that processor (reduced
// modulo the processor count). Returns 0; -1 when the record cannot be
// allocated; -2 when the thread cannot be created (nothing is registered).
int thread_startup(int cpu_index_assign, const char *name, thread_function_t function, void *args,
                   size_t stacksize);

// The body every registered thread runs: names the thread and binds it to
// its processor before anything else, stamps the start time, runs the
// function, logs its end and removes its own record from the registry.
void *tm_running(void *ptr);

// Number of registered (running) threads.
uint32_t tm_count(void);

#endif  // QDR_AGENT_THREAD_MANAGER_H
