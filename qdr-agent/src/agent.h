// Agent functions: the order in which the monitoring functions of the
// network agent are initialised (once, at start-up, main thread), activated
// (each time the collector acknowledges the agent information, DG_Comm
// thread) and deactivated (each time a connected collector socket is lost,
// DG_Comm thread).
#ifndef QDR_AGENT_AGENT_H
#define QDR_AGENT_AGENT_H

// Set to 0 on activation; counted up when the collector has sent the OID
// pack list / the device list.
extern int g_is_oid_manager_res;
extern int g_is_device_manager_res;

// Initialises every monitoring function that exists. Returns 0.
int agent_function_initialize(void);
// Starts the monitoring functions. Returns 0.
int agent_function_activate(void);
// Stops the monitoring functions in a fixed order with time limits. A stop
// that does not finish in time ends the process with status 0. Returns 0.
int agent_function_deactivate(void);

#endif  // QDR_AGENT_AGENT_H
