#include "thr_os.h"

#include <atomic>

#include "collect_hooks.h"
#include "configure.h"
#include "pub_conf.h"
#include "util.h"
#include "vklog.h"

collect_hooks_t g_collect_hooks;
host_tick_state_t g_host_stat_tick;
host_tick_state_t g_process_tick;

namespace {

std::atomic<int> s_stat_missing_logged{0};
std::atomic<int> s_process_missing_logged{0};

int host_stat_cycle(int interval) {
  if (g_collect_hooks.host_stat_cycle == nullptr) {
    if (s_stat_missing_logged.exchange(1) == 0)
      VKLOG(g_vklog, VL_INFO, "[thread_host_stat] metric collectors not built; nothing sent\n");
    return 0;
  }
  return g_collect_hooks.host_stat_cycle(interval);
}

int process_cycle(int) {
  if (g_collect_hooks.process_list_cycle == nullptr) {
    if (s_process_missing_logged.exchange(1) == 0)
      VKLOG(g_vklog, VL_INFO, "[thread_processlist] process collector not built; nothing sent\n");
    return 0;
  }
  vkLock(&g_username_lock);
  int ret = g_collect_hooks.process_list_cycle();
  vkUnlock(&g_username_lock);
  return ret;
}

}  // namespace

int host_os_initialize(void) {
  int cpu100 = get_conf_value_int_for_idx(g_conf_handle, CONF_CPU100);
  check_os_info(nullptr);
  if (g_collect_hooks.os_init == nullptr) return 0;
  int ret = g_collect_hooks.os_init(cpu100);
  if (ret < 0) VKLOG(g_vklog, VL_ERROR, "[process_main] OS layer start-up failed (%d)\n", ret);
  return ret;
}

void *thread_host_stat(void *) {
  host_tick_loop(HOST_SLOT_HOST_STAT, CONF_INTERVAL_METRIC, host_stat_cycle, &g_host_stat_tick);
  VKLOG(g_vklog, VL_INFO, "[thread_host_stat] finish normally.\n");
  return nullptr;
}

void *thread_processlist(void *) {
  host_tick_loop(HOST_SLOT_PROCESS_LIST, CONF_INTERVAL_PROCESS, process_cycle, &g_process_tick);
  VKLOG(g_vklog, VL_INFO, "[thread_processlist] finish normally.\n");
  return nullptr;
}
