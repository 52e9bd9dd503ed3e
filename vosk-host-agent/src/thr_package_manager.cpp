#include "thr_package_manager.h"

#include <atomic>
#include <mutex>

#include "collect_hooks.h"
#include "configure.h"
#include "pub_conf.h"
#include "vklog.h"

host_tick_state_t g_package_tick;

namespace {

std::mutex s_package_lock;
std::atomic<int> s_missing_logged{0};

int package_cycle(int) {
  return host_package_collect("thread_package_manager");
}

}  // namespace

int host_package_collect(const char *caller) {
  std::lock_guard<std::mutex> g(s_package_lock);
  if (g_collect_hooks.package_cycle == nullptr) {
    if (s_missing_logged.exchange(1) == 0)
      VKLOG(g_vklog, VL_INFO, "[%s] installed-package collector not built; nothing sent\n", caller);
    return 0;
  }
  return g_collect_hooks.package_cycle();
}

void *thr_package_manager(void *) {
  host_tick_loop(HOST_SLOT_PACKAGE_MANAGER, CONF_INTERVAL_INSTALLED_PACKAGE, package_cycle,
                 &g_package_tick);
  VKLOG(g_vklog, VL_INFO, "[thread_package_manager] finish normally.\n");
  return nullptr;
}
