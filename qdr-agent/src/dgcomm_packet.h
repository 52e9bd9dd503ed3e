// Packets of the network agent's collector link: the queued outbound packet
// (pkt_data), the sender's in-place framing, and the buffers and resynchronisation
// of the receiver's incremental reassembler (dg_receive_packet, in dgcomm.h).
//
// Wire form: a 23-byte header (12-byte main header from the template
// g_packet_main_header, 11-byte sub header with type, id, status 0 and body
// version 0; all integers big-endian) followed by the encoded message.
//
// Threads: producers of any thread call make_packet_data/remove_pkt; the
// DG_Sender thread frames each packet in its own item; the DG_Comm thread
// resynchronises the connection's buffer. g_packet_id is incremented
// atomically; the template header is written once by dgcomm_init before the
// threads start and only read afterwards.
#ifndef QDR_AGENT_DGCOMM_PACKET_H
#define QDR_AGENT_DGCOMM_PACKET_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "mlist.h"
#include "vk_comm.h"

struct dg_conn;

// Capacity of a connection's reassembly buffer: the largest inbound packet
// (main header + body_length) the agent accepts.
#define DATA_BUFFER_SIZE_MAX 300000000u

// After a packet longer than this has been handled, the pages it used in the
// reassembly buffer are given back to the system (the buffer stays).
#define DG_RECV_RELEASE_MIN (1024u * 1024u)

// Header sizes, magic and flags are vk_comm's (NIO_*); the agent always
// writes header version 2.
#define DG_PKT_HEADER_VERSION 2

#pragma pack(push, 1)
// Multi-byte fields are big-endian on the wire. The reassembler converts
// body_length to host order in place once the header is validated.
typedef struct {
  uint8_t magic_number[3];
  uint8_t version;
  uint8_t flag;
  uint8_t dummy[3];
  uint32_t body_length;  // sub header + payload
} pkt_main_header_t;

typedef struct {
  uint16_t type;
  uint32_t id;
  uint8_t status;
  uint32_t body_version;
} pkt_sub_header_t;
#pragma pack(pop)

static_assert(sizeof(pkt_main_header_t) == NIO_MAIN_HEADER_SIZE, "main header is 12 bytes");
static_assert(sizeof(pkt_sub_header_t) == NIO_SUB_HEADER_SIZE, "sub header is 11 bytes");

// One queued outbound packet. It lives in one mlist item: the record, room
// for the frame header, then the payload space that `body` points at. The
// sender writes the header into that room and sends header and payload
// straight from the item, so the payload is never copied. The producer
// encodes into `body`
// and stores the encoded length in `body_len`. `events` is the number of
// accepted events (syslog lines, traps) the packet carries, set by the event
// buffer; 0 for every other packet.
typedef struct {
  uint16_t type;
  uint8_t *body;
  uint32_t body_len;
  uint32_t events;
} pkt_data;

// The sender's view of the packet being sent: its frame inside the queue
// item (not owned; the item is freed or taken back as a whole).
typedef struct {
  uint8_t *ptr;     // current send position (null when empty)
  uint8_t *buffer;  // start of the frame (null when empty)
  uint64_t length;  // bytes of the frame
  uint64_t remain;  // bytes still to send
} pakcet_buffer_t;

// A connection's receive reassembly buffer.
typedef struct {
  uint8_t *buffer;  // DATA_BUFFER_SIZE_MAX bytes, malloc'd, never cleared as a whole
  uint32_t length;  // bytes held
  uint32_t size;    // capacity
} data_buffer_t;

extern pkt_main_header_t g_packet_main_header;
// Id of the last serialized packet; the first packet carries 1.
extern std::atomic<uint32_t> g_packet_id;

// Fills the template main header: magic, version 2, flag 4, zero dummy.
void packet_set_main_header(void);

// Allocates one unlinked queue item holding a pkt_data, NIO_HEADER_SIZE
// bytes of header room and `size` bytes of payload space (not zeroed: the
// producer encodes into it, and only body_len bytes of it are ever sent);
// *pkt gets the item handle (what add_packet_to_dgcomm and remove_pkt
// take). Returns the record (type set, body pointing at the payload space,
// body_len 0), or null with *pkt null when memory is exhausted or `pkt` is
// null.
pkt_data *make_packet_data(mlist_item_t **pkt, uint16_t type, uint32_t size);

// Frees a packet item that was not queued (or was refused). Null: nothing.
void remove_pkt(struct dg_conn *pdgconn, mlist_item_t *pkt);

// Frames `data` in place: writes the header, with the next packet id, into
// the room before its body and points `pkt_buf` at the frame (length =
// remain = header + body_len). `data` must come from make_packet_data.
// Framing the same packet again (a resend) gives it a new id. Returns 0;
// -1 when the payload does not fit the 32-bit length (`pkt_buf` is left as
// it was).
int packet_data_serialize(pkt_data *data, pakcet_buffer_t *pkt_buf);

// Marks the buffer empty (buffer and ptr null, length = remain = 0).
void packet_data_clear(pakcet_buffer_t *pkt_buf);

// Resynchronises on the last magic in the held bytes: with 2 or fewer bytes
// held nothing is done (0). Returns 0 when the magic is found (the bytes
// from it on are moved to the start), -2 when there is none.
int _recovery_data_buffer(data_buffer_t *buf);

#endif  // QDR_AGENT_DGCOMM_PACKET_H
