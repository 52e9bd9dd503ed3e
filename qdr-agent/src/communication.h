// Inbound message dispatch of the network agent: each complete packet from
// the collector is handed to recv_msg_process, which picks the handler by
// packet type.
//
// Everything here runs on the DG_Comm thread, one packet at a time, in
// arrival order; while a handler runs no further packet is read. The
// handlers' decode workspaces are private to that thread.
#ifndef QDR_AGENT_COMMUNICATION_H
#define QDR_AGENT_COMMUNICATION_H

#include <stddef.h>
#include <stdint.h>

#include "device.h"
#include "dgcomm.h"
#include "network_collect_info.h"
#include "network_common.h"
#include "snmp_manager.h"

// The agent's side of the collector link, for dg_link_set_callbacks:
// packets to recv_msg_process, the agent information request
// (send_agent_info) after each connect, the agent functions' activation and
// deactivation (agent_function_activate / _deactivate), and the unsent
// events of a dropped connection back to the event buffer
// (evbuf_take_back). Fills *cb; nothing when cb is null.
void comm_link_callbacks(dg_link_callbacks_t *cb);

// Dispatches one packet. `sub_header` points at the 11-byte sub header
// (big-endian fields) followed by the payload; `length` is the main
// header's body length (sub header + payload, at least 11). Returns the
// handler's result, or -1 for a type without a handler (logged as not
// supported; the connection stays) or a length shorter than the sub header.
int recv_msg_process(const uint8_t *sub_header, uint32_t length);

// Agent information response (50036): decodes it, and with a non-empty
// agent id stores the id and activates the agent functions through the
// main link (dg_link_activate); with an empty
// id (or an undecodable message) asks the connection manager to reconnect
// (reason 16). Returns 0 when the agent was activated; -1 no message could
// be created; -3 empty agent id.
int recv_res_agent_info(const uint8_t *payload, size_t length);

// Agent configuration response (50038): decodes it and logs every entry;
// nothing is applied. Returns 0; -1 message could not be created; -2
// decode failed.
int recv_config(const uint8_t *payload, size_t length);

// The list messages below are decoded into a workspace of at least 64 KiB
// that grows with the payload, so a list of any size the framing accepts
// can be read. Decode failures are logged and not answered.

// Device list (55002): applies every device flagged "update" (insert, or
// replace in the device manager when it changed; a device sent again
// unchanged keeps its events and due times) and leaves the syslog, trap
// and ICMP registries holding it as it now stands (old address and
// forwarding that was turned off removed). A device flagged "remove" is
// forgotten: its entry and events, its previous interface sample and its
// registrations (logged). Entries flagged "add" are skipped with a log
// line. Entries that cannot be used (unknown flag, no or over-long id, an
// id or address holding a NUL, port beyond 65535, no SNMP settings, a
// wrong version, security level or algorithm, a v3 pass phrase shorter than
// the library accepts) are skipped with a log line. Counts the answer
// (g_is_device_manager_res) and answers success (54000) whose text, when
// entries were skipped, names each skipped id and why. Returns 0; -1
// message could not be created; -2 decode failed.
int recv_device_list(const uint8_t *payload, size_t length);

// Collect events (55005): installs the events on the device; events that
// match the device's current ones keep their due times (see
// dm_apply_event_to_device). Events naming a pack id beyond 32 bits are
// refused with a log line and named in the success answer's text. An
// empty list is answered "event list convert error." (the device keeps its
// events), an unknown device "apply event list to device info." (both -3);
// else success, 0. -1 / -2 as above.
int recv_add_collect_event(const uint8_t *payload, size_t length);

// OID pack list (55006): offers each pack to the OID manager. Packs with an
// id beyond 32 bits or an unknown request type, and OIDs that are not
// dotted numbers, are skipped with a log line. Counts the answer
// (g_is_oid_manager_res) and answers success. Returns 0; -1 / -2 as above.
int recv_add_oid_pack_list(const uint8_t *payload, size_t length);

// Connection test (55001): reads the device's system group with a 1 s
// time-out and 1 retry and answers with the discovery report (54002).
// Settings that cannot be used (address, port, version, security) are
// answered with a failed report whose text says why, and -3. Returns 0;
// -1 / -2 as above (no answer).
int recv_connect_test_device(const uint8_t *payload, size_t length);

// Fills `info` from the wire form: version 0/1/2 become v1/v2c/v3; for v3
// the security settings are set first (a level that needs authentication
// or privacy must name a known algorithm and carry a pass phrase of at
// least 8 characters, and the user name must not be empty). `timeout_us` /
// `retries` of 0 mean the library defaults. Returns 0; -1 null argument; -2
// security settings refused; -3 version or SNMP settings refused (each
// logged). On failure `info` may hold a part.
int conv_proto_to_snmp_info(const char *ip, uint16_t port, long timeout_us, int retries,
                            const network_snmp_info_t *proto, snmp_info *info);

// Security level of the wire form as the session manager numbers it
// (1 noAuthNoPriv, 2 authNoPriv, 3 authPriv), or -1.
int conv_proto_to_snmp_sec_level_info(int level);

// One event per item, each scheduled at now + interval (device_set_event).
// Returns a malloc'ed array the caller owns, or null for no items or when
// memory is exhausted.
::event *conv_proto_to_collect_event(const network_collect_event_info_t *event_info, int count);

#endif  // QDR_AGENT_COMMUNICATION_H
