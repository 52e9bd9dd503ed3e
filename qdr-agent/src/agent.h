// Agent functions: the order in which the monitoring functions of the
// network agent are initialised (once, at start-up, main thread), activated
// (each time the collector acknowledges the agent information, DG_Comm
// thread) and deactivated (each time a connected collector socket is lost,
// DG_Comm thread).
#ifndef QDR_AGENT_AGENT_H
#define QDR_AGENT_AGENT_H

// Initialises, in order: the OID manager, the device manager, the collect
// threads' queue and counters (g_agent_config.collect_thread_count), then
// ICMP, the event buffer (g_agent_config.event_buffer_bytes), syslog and
// SNMP trap. Called once by main(). Returns 0.
int agent_function_initialize(void);
// Clears the two answer flags, then starts in order: the OID manager, the
// collect threads (after waiting once more for threads a timed-out stop
// left running), the "event_checker" thread, the syslog and trap receivers
// (when not running yet) and ICMP, and lets the event buffer send what it
// holds. Returns 0.
int agent_function_activate(void);
// Stops, in order and each within its limit: the event checker (3 s), then
// clears the device list; ICMP (3 s), the collect threads (10 s,
// interrupting their SNMP exchanges; waited for a second time when needed)
// and the OID manager (5 s). The syslog and trap receivers keep running and
// keep their targets until the next device list; their events are held in
// the event buffer until the next activation. Never ends the process: a
// function that does not stop in time is logged and left running, and what
// it uses is kept (the device list, the packs). Returns 0; -1 when
// something did not stop.
int agent_function_deactivate(void);

// The receivers' lines of the three-second statistics: each service's
// state (bound receivers, a bind failure), the trap counters (forwarded,
// informs answered, datagrams dropped), the event buffer's counters and the
// packets the outbox refused ("outbox: refused[N]").
// Main thread.
void agent_log_receivers(void);

#endif  // QDR_AGENT_AGENT_H
