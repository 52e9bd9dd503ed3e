#include "agent.h"

#include <stdlib.h>

#include "collect_oid.h"
#include "collect_request.h"
#include "config.h"
#include "device.h"
#include "dg_outbox.h"
#include "event_buffer.h"
#include "icmp.h"
#include "snmp_trap.h"
#include "syslog_receiver.h"
#include "udp_server.h"
#include "vklog.h"

namespace {

// Time limits of the stops, in seconds. The checker sleeps in 100 ms
// slices; a collect thread may be inside an SNMP time-out with retries.
constexpr int kCheckerStopSec = 3;
constexpr int kCollectStopSec = 10;
constexpr int kOidManagerStopSec = 5;
// The ICMP worker sleeps in one-second slices; a cycle in progress is
// finished first, and the registry is emptied even when the limit passes.
constexpr int kIcmpStopSec = 3;

}  // namespace

int agent_function_initialize(void) {
  oid_manager_init(&g_oid_manager);
  device_manager_init(&g_device_manager);
  collect_thread_init(g_agent_config.collect_thread_count);
  icmp_init();
  evbuf_init(static_cast<uint64_t>(g_agent_config.event_buffer_bytes));
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
  // The collector has answered the handshake: events held while the link
  // was down go out now, before new ones.
  evbuf_set_link_ready(1);
  return 0;
}

int agent_function_deactivate(void) {
  // From here until the next handshake, accepted events are held.
  evbuf_set_link_ready(0);
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
  // A collector restart is routine: the syslog and trap receivers keep
  // accepting (into the event buffer) and keep their targets until the
  // next device list.
  syslog_link_lost();
  snmp_trap_link_lost();
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

void agent_log_receivers(void) {
  char line[256];
  for (udp_server_manager_t *m :
       {g_syslog.server, g_syslog.only_server, g_snmp_trap.server, g_snmp_trap.only_server}) {
    if (m == nullptr) continue;
    VKLOG(g_vklog, VL_INFO, "receiver: %s\n", udp_server_state_text(m, line, sizeof(line)));
  }
  VKLOG(g_vklog, VL_INFO, "traps: forwarded[%u],informs answered[%u],dropped[%u]\n",
        g_snmp_trap.forwarded.load(), g_snmp_trap.answered.load(), g_snmp_trap.dropped.load());
  evbuf_log_stats();
  VKLOG(g_vklog, VL_INFO, "outbox: refused[%llu]\n",
        static_cast<unsigned long long>(dg_outbox_refused()));
}
