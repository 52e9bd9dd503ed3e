// Outbound event buffer: keeps the packets of accepted syslog lines and
// traps while the collector link cannot take them, and hands them to the
// link, in the order they were accepted, once the agent is acknowledged
// again after a reconnect.
//
// The receivers produce packets (syslog batches, one trap each) and give
// every one to evbuf_submit, which owns it from then on. While the link is
// up and nothing is held, the packet goes straight to the link's send
// queue. While the link is down (from the loss of a connection until the
// collector has answered the next handshake), or the send queue is full,
// or older packets are still held, it is held here instead, so nothing
// overtakes what was accepted earlier. The buffer is bounded in bytes
// (g_agent_config.event_buffer_bytes); when a packet does not fit, the
// oldest held packets are dropped and their events counted. A limit of 0
// holds nothing: a packet the link refuses is dropped, as it always was.
//
// Threads: producers (trap receiver threads, the syslog sender) call
// evbuf_submit; DG_Comm calls evbuf_set_link_ready on activation and
// deactivation, and evbuf_take_back with what a dropped connection had not
// sent (never holding the link's queue lock); the syslog sender and the trap main thread call
// evbuf_flush once a second, so held packets drain even when no new event
// comes; the main thread reads the statistics. Everything in the state
// record is guarded by its lock, which is taken before the link's queue
// lock (never the other way round).
#ifndef QDR_AGENT_EVENT_BUFFER_H
#define QDR_AGENT_EVENT_BUFFER_H

#include <stddef.h>
#include <stdint.h>

#include "mlist.h"

// Bytes counted for a held packet beside its body: the record and the
// list item.
#define EVBUF_PACKET_OVERHEAD 96

// Results of evbuf_submit.
enum {
  EVBUF_SENT = 0,           // on the link's send queue
  EVBUF_HELD = 1,           // held until the link takes it
  EVBUF_ERR_ARGUMENT = -1,  // no packet
  EVBUF_ERR_REFUSED = -2,   // the link refused it and nothing is held (limit 0): dropped
  EVBUF_ERR_TOO_BIG = -3,   // larger than the whole buffer: dropped
};

typedef struct evbuf_stats {
  uint64_t limit_bytes;
  uint64_t held_bytes;
  uint32_t held_packets;
  uint64_t held_events;
  uint64_t dropped_events;  // since start: dropped to make room, refused, too big
  uint64_t dropped_packets;
  uint64_t sent_late_events;  // since start: held first, then handed to the link
  int link_ready;
} evbuf_stats_t;

// Sets the limit in bytes and empties the buffer (the held packets are
// freed). The link starts as not ready. Returns 0.
int evbuf_init(uint64_t limit_bytes);

// Frees every held packet. Safe to call twice and before evbuf_init.
void evbuf_clear(void);

// The link can take events (1: the collector acknowledged the agent) or
// cannot (0: the connection was lost). Becoming ready flushes at once.
void evbuf_set_link_ready(int ready);

// Hands one packet (an item of make_packet_data) carrying `events` events
// to the link or the buffer; the buffer owns it in every case (on a
// negative result it is already freed, and the drop is counted and logged
// with `what`, the producer's name). Returns an EVBUF_* result.
int evbuf_submit(mlist_item_t *pkt, uint32_t events, const char *what);

// Takes back packets the link had accepted but not delivered when its
// connection dropped: syslog and trap packets still in its send queue and
// the one whose send was cut, `count` of them in `pkts`, oldest first. They
// are held ahead of every held packet (they were accepted earlier), with
// the events each carries (pkt_data.events), and go out after the next
// handshake like any held packet; when they do not all fit, the oldest are
// dropped and counted. With a limit of 0 they are dropped and counted, as
// the link always dropped them. The buffer owns every packet passed.
// Returns the number held.
int evbuf_take_back(mlist_item_t *const *pkts, uint32_t count);

// Hands held packets to the link, oldest first, while it takes them.
// Returns the number handed over.
int evbuf_flush(void);

// A copy of the counters.
void evbuf_get_stats(evbuf_stats_t *out);

// One statistics line: "event buffer: held[<packets> pkt,<events> ev,
// <bytes>/<limit> B],sent late[<n>],dropped[<n> ev]" to the main log at
// info level.
void evbuf_log_stats(void);

#endif  // QDR_AGENT_EVENT_BUFFER_H
