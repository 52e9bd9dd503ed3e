// Messages the host agent builds for the collector outside the
// collections: the agent information of the handshake, the ping and
// time-zone answers and the time-synchronisation request, and what the
// link runs on connect. The link reaches these only through the hooks
// main installs (host_link_hooks_fill), so this module depends on the link
// and not the other way round.
//
// Any thread; each call uses its own buffers.
#ifndef VOSK_HOST_AGENT_PROTO_SEND_H
#define VOSK_HOST_AGENT_PROTO_SEND_H

#include <stddef.h>
#include <stdint.h>

#include "thr_dgconn.h"

// Encode buffer of the agent information.
#define HOST_AGENT_INFO_BUFFER_SIZE 65536
// The agent-information buffer grows up to this (65,535 addresses and MACs
// fit well below it).
#define HOST_AGENT_INFO_BUFFER_MAX (16u * 1024 * 1024)

// Frames `body` as a host packet of `code` with `status` into *packet
// (malloc'd; the caller owns it). Returns its size, or 0 (and *packet null)
// when it cannot be allocated.
size_t host_make_packet(uint8_t **packet, uint16_t code, uint8_t status, const void *body,
                        size_t length);

// Builds the framed agent-information request (10043) with the stored host
// id (if any) as custom info "host_id". 0 with *packet/*length set (caller
// frees); -1 the message cannot be made; -2 encoding failed; -3 framing
// failed.
int build_host_agent_info(uint8_t **packet, size_t *length);

// Queues a time-synchronisation request (40006) with the agent's clock.
// 0, or negative when it cannot be built.
int send_req_timesync(void);

// Queues the time-zone answer (40001). 0, or negative.
int send_res_timezone_offset(void);

// Work after each handshake, in this order: time sync, system information,
// installed packages (run on the calling thread, THR_DGCONN).
void host_after_handshake(void);

// Fills `hooks` with the agent's handshake request (build_host_agent_info)
// and host_after_handshake, for dg_link_init.
void host_link_hooks_fill(dg_link_hooks_t *hooks);

#endif  // VOSK_HOST_AGENT_PROTO_SEND_H
