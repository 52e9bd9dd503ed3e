#include "agent.h"

#include <stdlib.h>

#include "collect_oid.h"
#include "vklog.h"

int g_is_oid_manager_res;
int g_is_device_manager_res;

int agent_function_initialize(void) {
  oid_manager_init(&g_oid_manager);
  return 0;
}

int agent_function_activate(void) {
  VKLOG(g_vklog, VL_INFO, "agent activate ...\n");
  __atomic_store_n(&g_is_oid_manager_res, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&g_is_device_manager_res, 0, __ATOMIC_RELAXED);
  oid_manager_activate(&g_oid_manager);
  return 0;
}

int agent_function_deactivate(void) {
  // A function that does not stop in time may still use what the next
  // activation would reuse: end the process rather than run on.
  if (oid_manager_shutdown(&g_oid_manager, 5) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[agent_halt] oid_manager_shutdown() has failed.\n");
    exit(0);
  }
  VKLOG(g_vklog, VL_INFO, "agent function deactivate.\n");
  return 0;
}
