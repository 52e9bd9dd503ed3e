#include "pub_conf.h"

#include <stdio.h>

std::atomic<int> g_stop_the_world{0};
char g_vk_host_home[HOST_HOME_SIZE];
uint64_t g_agent_boot_time;
vk_lock_t g_username_lock = PTHREAD_MUTEX_INITIALIZER;
host_breadcrumb_t g_signal_debug_code[HOST_SLOT_COUNT];

int host_data_path(char *path, size_t size, const char *name) {
  int n = snprintf(path, size, "%s/data/%s", g_vk_host_home, name);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    if (size > 0) path[0] = '\0';
    return -1;
  }
  return 0;
}
