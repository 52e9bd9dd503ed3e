// The network agent's outbox: the one way its packets reach the collector
// link. Senders build a packet (dg_new_packet), encode into it, seal it
// (dg_outbox_seal) and hand it over (dg_outbox_send, or dg_queue_encoded for
// both steps); the outbox queues it on the main link and, when the link
// refuses it, frees it, counts it and logs a line naming the sender. The
// event buffer, which keeps its own packets while the link is down, uses
// dg_outbox_add and stays the owner of a refused packet.
//
// The main link (gp_main_dgconn) is made and set by main.cpp before any
// sender runs (tests set their own); the link module itself never reads it.
// Every function may be called from any thread.
#ifndef QDR_AGENT_DG_OUTBOX_H
#define QDR_AGENT_DG_OUTBOX_H

#include <stddef.h>
#include <stdint.h>

#include "dgcomm.h"
#include "dgcomm_packet.h"
#include "mlist.h"
#include "vklog.h"

extern dg_conn *gp_main_dgconn;

// Queues `pkt` on the main link. Returns add_packet_to_dgcomm's result: 0
// queued (the link owns it); -1 no main link or no packet; -2 not connected;
// -3 queue full. A refused packet stays the caller's, and nothing is logged
// or counted.
int dg_outbox_add(mlist_item_t *pkt);

// Queues `pkt` on the main link. Returns 0 when queued (the link owns it);
// otherwise the packet is freed, the refusal counted (dg_outbox_refused)
// and logged as "[func] add_packet_to_dgcomm() has failed.(ret:%d)", and
// add_packet_to_dgcomm's negative result is returned. A null packet: -1,
// nothing counted.
int dg_outbox_send(const char *func, mlist_item_t *pkt);

// Takes the encoder's result `n` for the packet `pd` in `item`: a failed
// encoding (n < 0) or a packet that was never made (pd or item null) is
// logged as "[func] encode has failed." on `log` (g_vklog when null), the
// packet freed, and -1 returned. Otherwise the body length is set to n and 0
// returned; the packet stays the caller's, ready for dg_outbox_send or the
// event buffer.
int dg_outbox_seal(vklog_t *log, const char *func, mlist_item_t *item, pkt_data *pd, int n);

// A new packet of `type` with `size` bytes of payload space and its queue
// item in *item, or null (logged with `func`). The caller hands it to
// dg_queue_encoded.
pkt_data *dg_new_packet(const char *func, uint16_t type, size_t size, mlist_item_t **item);

// Seals the packet of dg_new_packet with the encoder's result `n` (-1 on a
// failed encoding, the packet freed), logs `encoded_log` (a format taking
// the length as unsigned long) at debug level and sends it: 0 queued, -3
// refused (freed, counted, logged).
int dg_queue_encoded(const char *func, mlist_item_t *item, pkt_data *pd, int n,
                     const char *encoded_log);

// Packets dg_outbox_send refused since the start of the process.
uint64_t dg_outbox_refused(void);

#endif  // QDR_AGENT_DG_OUTBOX_H
