#include "agent.h"

#include <stdlib.h>

#include "collect_oid.h"
#include "collect_thread.h"
#include "config.h"
#include "device.h"
#include "vklog.h"

int g_is_oid_manager_res;
int g_is_device_manager_res;

namespace {

// Time limits of the stops, in seconds. The checker sleeps in 100 ms
// slices; a collect thread may be inside an SNMP time-out with retries.
constexpr int kCheckerStopSec = 3;
constexpr int kCollectStopSec = 10;
constexpr int kOidManagerStopSec = 5;

}  // namespace

int agent_function_initialize(void) {
  oid_manager_init(&g_oid_manager);
  device_manager_init(&g_device_manager);
  collect_thread_init(g_agent_config.collect_thread_count);
  // ICMP, syslog and SNMP trap initialisation follow, in this order.
  return 0;
}

int agent_function_activate(void) {
  VKLOG(g_vklog, VL_INFO, "agent activate ...\n");
  __atomic_store_n(&g_is_oid_manager_res, 0, __ATOMIC_RELAXED);
  __atomic_store_n(&g_is_device_manager_res, 0, __ATOMIC_RELAXED);
  oid_manager_activate(&g_oid_manager);
  collect_thread_run();
  dm_device_event_checker_start(&g_device_manager);
  // Syslog receiver, SNMP trap receiver and ICMP start-up follow, in this
  // order.
  return 0;
}

int agent_function_deactivate(void) {
  // A function that does not stop in time may still use what the next
  // activation would reuse: end the process rather than run on.
  if (dm_device_event_checker_stop(&g_device_manager, kCheckerStopSec) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[agent_halt] collect_thread_stop() has failed.\n");
    exit(0);
  }
  device_manager_clear(&g_device_manager);
  // ICMP (3 s), syslog (5 s) and SNMP trap (5 s) shutdowns follow, in this
  // order.
  if (collect_thread_stop(kCollectStopSec) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[agent_halt] collect_thread_stop() has failed.\n");
    exit(0);
  }
  if (oid_manager_shutdown(&g_oid_manager, kOidManagerStopSec) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[agent_halt] oid_manager_shutdown() has failed.\n");
    exit(0);
  }
  VKLOG(g_vklog, VL_INFO, "agent function deactivate.\n");
  return 0;
}
