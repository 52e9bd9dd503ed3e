#include "agent.h"

#include <stdlib.h>

#include "collect_oid.h"
#include "collect_thread.h"
#include "config.h"
#include "device.h"
#include "icmp.h"
#include "snmp_trap.h"
#include "syslog_receiver.h"
#include "vklog.h"

std::atomic<int> g_is_oid_manager_res;
std::atomic<int> g_is_device_manager_res;

namespace {

// Time limits of the stops, in seconds. The checker sleeps in 100 ms
// slices; a collect thread may be inside an SNMP time-out with retries.
constexpr int kCheckerStopSec = 3;
constexpr int kCollectStopSec = 10;
constexpr int kOidManagerStopSec = 5;
// The ICMP worker sleeps in one-second slices; a cycle in progress is
// finished first, and the registry is emptied even when the limit passes.
constexpr int kIcmpStopSec = 3;
// The receivers' main threads sleep in 100 ms slices; the receiver threads
// wait at most 100 ms at a time.
constexpr int kSyslogStopSec = 5;
constexpr int kSnmpTrapStopSec = 5;

}  // namespace

int agent_function_initialize(void) {
  oid_manager_init(&g_oid_manager);
  device_manager_init(&g_device_manager);
  collect_thread_init(g_agent_config.collect_thread_count);
  icmp_init();
  if (syslog_init() != 0) {
    VKLOG(g_vklog, VL_ERROR, "[agent_function_initialize] syslog_init() has failed.\n");
  }
  if (snmp_trap_init() != 0) {
    VKLOG(g_vklog, VL_ERROR, "[agent_function_initialize] snmp_trap_init() has failed.\n");
  }
  return 0;
}

int agent_function_activate(void) {
  VKLOG(g_vklog, VL_INFO, "agent activate ...\n");
  g_is_oid_manager_res.store(0);
  g_is_device_manager_res.store(0);
  oid_manager_activate(&g_oid_manager);
  collect_thread_run();
  dm_device_event_checker_start(&g_device_manager);
  syslog_startup();
  snmp_trap_startup();
  if (icmp_startup() != 0) {
    VKLOG(g_vklog, VL_ERROR, "[agent_function_activate] icmp_startup() has failed.\n");
  }
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
  icmp_shutdown(kIcmpStopSec);
  // The syslog and trap shutdowns end the process themselves when their
  // threads do not stop.
  syslog_shutdown(kSyslogStopSec);
  snmp_trap_shutdown(kSnmpTrapStopSec);
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
