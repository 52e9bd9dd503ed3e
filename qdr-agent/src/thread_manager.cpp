#include "thread_manager.h"

#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "vk_thread.h"
#include "vk_util.h"
#include "vklog.h"

mlist_t g_thread_manager;
vk_lock_t g_thread_manager_lock;

void tm_init(void) {
  vklock_init(&g_thread_manager_lock);
  mlist_init(&g_thread_manager, nullptr, nullptr);
}

void *tm_running(void *ptr) {
  thread_info *info = static_cast<thread_info *>(ptr);
  // Named and bound by the thread itself, so that its body never runs under
  // the creator's name or on another processor. Names longer than the
  // platform's 15 characters simply stay unset.
  pthread_setname_np(pthread_self(), info->name);
  if (info->cpu_index >= 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (info->cpu_index < CPU_SETSIZE) CPU_SET(info->cpu_index, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
  }
  info->start_time = vk_get_time_nsec();
  VKLOG(g_vklog, VL_DEBUG, "[tm_running] thread start[%s]\n", info->name);
  int ret = info->function(info->args);
  if (ret < 0) VKLOG(g_vklog, VL_ERROR, "[tm_running] run function has failed.(ret:%d)\n", ret);
  VKLOG(g_vklog, VL_DEBUG, "[tm_running] thread end(ret:%d)[%s]\n", ret, info->name);

  _MLIST_ITEM *item = static_cast<_MLIST_ITEM *>(info->self_item);
  vkLock(&g_thread_manager_lock);
  mlist_pop_data_by_item(&g_thread_manager, item);
  mlist_destroy_item(&g_thread_manager, item);
  vkUnlock(&g_thread_manager_lock);
  return nullptr;
}

int thread_startup(int cpu_index_assign, const char *name, thread_function_t function, void *args,
                   size_t stacksize) {
  long cpu_count = sysconf(_SC_NPROCESSORS_ONLN);
  if (cpu_count < 1) cpu_count = 1;

  _MLIST_ITEM *item = nullptr;
  thread_info *info = static_cast<thread_info *>(mlist_new_item(sizeof(thread_info), &item));
  if (info == nullptr) return -1;
  info->function = function;
  info->args = args;
  snprintf(info->name, sizeof(info->name), "%s", name != nullptr ? name : "");
  info->self_item = item;

  info->cpu_index = -1;
  if (cpu_index_assign >= 0) {
    if (cpu_index_assign >= cpu_count) {
      cpu_index_assign = static_cast<int>(cpu_index_assign % cpu_count);
    }
    VKLOG(g_vklog, VL_INFO, "thread start on %d' cpu[%s]\n", cpu_index_assign, info->name);
    info->cpu_index = cpu_index_assign;
  }

  // The record goes into the registry before the thread can run: the thread
  // removes it under the same lock when it ends.
  vkLock(&g_thread_manager_lock);
  mlist_push_back(&g_thread_manager, item);
  pthread_t handle;
  if (create_thread_vk(&handle, tm_running, info, static_cast<long>(stacksize)) != 0) {
    mlist_pop_data_by_item(&g_thread_manager, item);
    vkUnlock(&g_thread_manager_lock);
    mlist_destroy_item(nullptr, item);
    return -2;
  }
  info->handle = handle;
  vkUnlock(&g_thread_manager_lock);
  return 0;
}

uint32_t tm_count(void) {
  vkLock(&g_thread_manager_lock);
  uint32_t n = g_thread_manager.count;
  vkUnlock(&g_thread_manager_lock);
  return n;
}
