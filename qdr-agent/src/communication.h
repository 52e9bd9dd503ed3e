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

// Dispatches one packet. `sub_header` points at the 11-byte sub header
// (big-endian fields) followed by the payload; `length` is the main
// header's body length (sub header + payload, at least 11). Returns the
// handler's result, or -1 for a type without a handler (logged as not
// supported; the connection stays) or a length shorter than the sub header.
int recv_msg_process(const uint8_t *sub_header, uint32_t length);

// Agent information response (50036): decodes it, and with a non-empty
// agent id stores the id and activates the agent functions; with an empty
// id (or an undecodable message) asks the connection manager to reconnect
// (reason 16). Returns 0 when the agent was activated; -1 no message could
// be created; -3 empty agent id.
int recv_res_agent_info(const uint8_t *payload, size_t length);

// Agent configuration response (50038): decodes it and logs every entry;
// nothing is applied. Returns 0; -1 message could not be created; -2
// decode failed.
int recv_config(const uint8_t *payload, size_t length);

#endif  // QDR_AGENT_COMMUNICATION_H
