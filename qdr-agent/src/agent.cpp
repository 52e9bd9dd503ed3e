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
  // Collect threads of the last connection that outlived its deactivation
  // get one more limit to leave; the pool starts only once they are out.
  if (colt_get_status() == COLT_STATUS_STOPPING && collect_thread_stop(kCollectStopSec) != 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[agent_function_activate] collect threads are still stopping; not started.\n");
  }
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
  // A lost collector never ends the process: the link reconnects and the
  // next activation starts the functions again. A function that does not
  // stop in time is left running and what it uses is not freed (the device
  // list stays while the checker runs; the packs stay while a collect
  // thread may hold one).
  int failed = 0;
  bool checker_out = dm_device_event_checker_stop(&g_device_manager, kCheckerStopSec) == 0;
  if (!checker_out) {
    VKLOG(g_vklog, VL_ERROR,
          "[agent_function_deactivate] dm_device_event_checker_stop() has failed.\n");
    failed = 1;
  } else {
    device_manager_clear(&g_device_manager);
  }
  icmp_shutdown(kIcmpStopSec);
  // The syslog and trap shutdowns end the process themselves when their
  // threads do not stop.
  syslog_shutdown(kSyslogStopSec);
  snmp_trap_shutdown(kSnmpTrapStopSec);
  // A stop interrupts the collect threads' SNMP exchanges; only an SNMPv3
  // engine probe (one time-out span of one device) can outlast the limit.
  // Such a thread is waited for once more.
  bool collect_out = collect_thread_stop(kCollectStopSec) == 0;
  if (!collect_out) {
    VKLOG(g_vklog, VL_ERROR,
          "[agent_function_deactivate] collect_thread_stop() has failed; waiting once more.\n");
    collect_out = collect_thread_stop(kCollectStopSec) == 0;
  }
  if (!collect_out) {
    VKLOG(g_vklog, VL_ERROR, "[agent_function_deactivate] collect_thread_stop() has failed.\n");
    failed = 1;
  } else if (oid_manager_shutdown(&g_oid_manager, kOidManagerStopSec) != 0) {
    VKLOG(g_vklog, VL_ERROR, "[agent_function_deactivate] oid_manager_shutdown() has failed.\n");
    failed = 1;
  }
  VKLOG(g_vklog, VL_INFO, "agent function deactivate.\n");
  return failed ? -1 : 0;
}
