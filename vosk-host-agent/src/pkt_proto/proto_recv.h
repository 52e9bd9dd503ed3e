// Dispatch of the collector's packets on the server-link thread: ping,
// time-zone and time-synchronisation requests, the agent-information
// answer (host id), configuration changes and process-limits requests.
//
// THR_DGCONN only.
#ifndef VOSK_HOST_AGENT_PROTO_RECV_H
#define VOSK_HOST_AGENT_PROTO_RECV_H

#include <stddef.h>
#include <stdint.h>

#include "thr_dgconn.h"

// First workspace for decoding a configuration change; a map that does not
// fit it is decoded again in one sized from the body.
#define HOST_CONFIG_DECODE_SIZE 65535

// Handler of one received packet (`buffer` from the main header on; the
// link's packet handler, dg_link_hooks_t, installed by main; `context` a
// dg_recv_ctx_t): takes the type at offset 12 and the body at offset 23 and
// dispatches it.
// Returns the handler's negative result, else 0; -1 for a body length
// shorter than the sub header.
int read_msg_nio(uint8_t *buffer, void *context);

// Dispatches one packet. 0 handled; 1 unknown code (logged; the link
// stays); negative: a failure that drops the link (the handler's code).
int process_msg_common(dg_recv_ctx_t *ctx, uint16_t code, const uint8_t *body, size_t length);

// 50036: 0 with the id stored; -2 decode failure; -3 empty id; -4 the id
// file cannot be written (the id is still used).
int process_res_common_agent_info(const uint8_t *body, size_t length);

// 50020: one time-sync sample; asks for the next until ten are in.
// 0, or -2 when the body does not decode.
int process_res_timesync(const uint8_t *body, size_t length);

// 50038: applies and saves the pairs. 0, or -2 when the body does not
// decode.
int process_res_agent_config(const uint8_t *body, size_t length);

#endif  // VOSK_HOST_AGENT_PROTO_RECV_H
