// Outbound messages of the network agent that the collector link itself
// sends: the agent information request that opens every connection, the
// result reply to collector requests, the device-list / OID-pack and
// collect-event requests, and the device discovery report; plus the
// conversions of SNMP settings and device system facts to their wire form.
//
// Every sender builds its message in a workspace, encodes it into a packet
// (dg_new_packet) and hands it to the outbox (dg_queue_encoded); none waits
// for the collector, none retries. A refused packet is freed and logged once.
// Threads: send_agent_info, send_packet_result and send_discovery_device
// run on DG_Comm (the agent information and discovery workspaces are used
// only there); the requests run on the device event checker's thread.
#ifndef QDR_AGENT_DGCOMM_UTIL_H
#define QDR_AGENT_DGCOMM_UTIL_H

#include <stddef.h>
#include <stdint.h>

#include "dg_outbox.h"
#include "dgcomm.h"
#include "network_agent_device_info.h"
#include "network_common.h"
#include "snmp_manager.h"
#include "snmp_util.h"

// Values of the agent information request.
#define DG_AGENT_PLATFORM_TYPE 1
#define DG_AGENT_TYPE 3
#define DG_AGENT_PROTOCOL_VERSION 20240125u
#define DG_AGENT_OS_TYPE 4
#define DG_AGENT_CPU_ARCH 5
// Room for the host's hardware addresses, 6 bytes each.
#define DG_AGENT_MAC_BUFFER_SIZE 1024

// Workspace sizes.
#define DG_SMALL_MESSAGE_SIZE 1024
#define DG_DISCOVERY_MESSAGE_SIZE 65535
// Parts of the agent information workspace: message + heap header, each
// address item, each hardware address item.
#define DG_AGENT_INFO_BASE_SIZE 168
#define DG_AGENT_INFO_IP_ITEM_SIZE 32
#define DG_AGENT_INFO_MAC_ITEM_SIZE 24

// The agent information workspace for `ip_count` addresses and `mac_count`
// hardware addresses: 168 + 32 * ip + 24 * mac rounded up to the next
// multiple of 128 above the sum (280 -> 384).
size_t dg_agent_info_workspace_size(size_t ip_count, size_t mac_count);

// Queues the agent information request (10043) built from the host facts.
// Returns 0; -1 when the message or one of its arrays cannot be made (or
// encoding fails); -3 when the queue refuses the packet. Ends the process
// with status 10 when no hardware address can be read.
int send_agent_info(void);

// Queues a result reply (54000) for request `req_id`; `fail_message` is
// sent when given and not empty. Returns 0; -1 message cannot be made or
// encoded; -3 queue refused.
int send_packet_result(const char *req_id, int success, const char *fail_message);

// Queues a command request (54001): "device_list" or "oid_pack".
// Returns 0, -1, -3 as above.
int send_request_command(const char *command);

// Queues a collect event request (54005) for `device_id`. 0, -1, -3.
int send_request_collect_event(const char *device_id);

// Runs the SNMP discovery of the device in `info` and queues its report
// (54002), also when the discovery failed. Returns 0; -1 message cannot
// be made or encoded; -2, -3, -4 the snmp, security or system part cannot
// be allocated; -3 queue refused.
int send_discovery_device(const char *request_id, snmp_info *info);

// Queues a failed discovery report (54002) for request `request_id` with
// `reason` as its failure text, without asking the device: for a
// connection test whose settings cannot be used. Returns 0, -1, -3 as above.
int send_discovery_refused(const char *request_id, const char *reason);

// SNMP settings to the wire form (texts borrowed from `info`); the v3
// security goes into proto->security_p when that is allocated. Returns 0;
// -1 for an internal version other than 0, 1, 3 (or null arguments); -2
// the security settings cannot be converted.
int conv_snmp_info_to_proto(const snmp_info *info, network_snmp_info_t *proto);

// SNMPv3 security to the wire form. Returns 0; -1 for a level other than
// 1, 2, 3 (or null arguments).
int conv_snmp_sec_info_to_proto(const snmp_sec_info *sec_info, network_snmp_security_t *proto);

// Device system facts to the wire form. The texts are borrowed: `system`
// must outlive the encoding. Returns 0; -1 for null arguments.
int conv_device_system_to_proto(const device_system *system, network_device_system_t *proto);

#endif  // QDR_AGENT_DGCOMM_UTIL_H
