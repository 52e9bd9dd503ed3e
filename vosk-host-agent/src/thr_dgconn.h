// The host agent's link to the collector (DG): one TCP connection, the
// identity handshake, the dispatch of the collector's packets and the
// bounded send queue that every other part of the agent feeds.
//
// Threads, queue and shutdown order:
// - THR_DGCONN (thr_DGConn) connects, handshakes, receives one packet per
//   wait of at most 2 s and hands it to the packet handler main installed
//   (proto_recv's dispatch), and after any receive failure disconnects and
//   retries every reconnect_msec. It alone opens and closes the socket. It
//   starts THR_DGCONN_SENDER.
// - THR_DGCONN_SENDER (thr_DGConn_sender) drains the queue every 100 ms
//   while connected. A failed write abandons the batch; a write that fails
//   after part of a packet went out shuts the socket down (the stream is
//   cut) so that THR_DGCONN reconnects.
// - Producers on any thread hand packets to add_to_send_buffer (or
//   host_queue_message, collect_hooks.h); the queue owns them.
// send_queue is guarded by send_queue_lock; every socket write (sender,
// ping answer, handshake) holds send_lock, so packets never interleave.
// sock and is_connection are atomics written by THR_DGCONN. Both threads
// end within about 2 s of g_stop_the_world being set; THR_DGCONN then
// closes the socket and empties the queue. Every reconnect empties it too.
#ifndef VOSK_HOST_AGENT_THR_DGCONN_H
#define VOSK_HOST_AGENT_THR_DGCONN_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>

#include "mlist.h"
#include "vk_lock.h"

#define DG_SEND_QUEUE_MAX 2000
#define DG_RECONNECT_MSEC 5000
#define DG_SENDER_PERIOD_MSEC 100
#define DG_RECV_WAIT_SEC 2
// The collector must answer the agent information within this time; one
// that accepts and stays silent is dropped and retried like a refusal.
#define DG_HANDSHAKE_ANSWER_SEC 10
// A socket write blocked this long fails (SO_SNDTIMEO): a collector that
// stops reading cannot hold the sender for ever.
#define DG_SEND_TIMEOUT_SEC 10
// Once the first byte of a frame has arrived, a collector that sends no
// further byte for this long is taken as gone (as the network agent does).
#define DG_RECV_STALL_MSEC 30000
// Longest wait in one poll of the receive side, so that the stop word and
// the stall limit are looked at this often.
#define DG_RECV_SLICE_MSEC 100
// Error lines for failed connects in a row; later failures are silent.
#define DG_CONNECT_FAIL_LOG_MAX 3

// Packet types.
enum {
  HOST_PKT_REQ_AGENT_INFO = 10043,
  HOST_PKT_RES_PING = 40000,
  HOST_PKT_RES_TIMEZONE = 40001,
  HOST_PKT_REQ_TIMESYNC = 40006,
  HOST_PKT_REQ_PING = 50000,
  HOST_PKT_REQ_TIMEZONE = 50001,
  HOST_PKT_RES_TIMESYNC = 50020,
  HOST_PKT_RES_AGENT_INFO = 50036,
  HOST_PKT_RES_AGENT_CONFIG = 50038,
  HOST_PKT_REQ_PROCESS_LIMITS = 62000,
  HOST_PKT_RES_PROCESS_LIMITS = 62001,
};

#define HOST_PKT_FLAG 4
#define HOST_PKT_BODY_VERSION 19121701
#define HOST_PKT_STATUS_HANDSHAKE 2
#define HOST_PKT_STATUS_ANSWER 4

// What the link does to the outside world; tests replace members (before
// the threads start) to cut sends short or refuse connects.
typedef struct {
  ssize_t (*send)(int sock, const void *buf, size_t len, int flags);
  // Connects to addr (IPv4, network order):port; the socket, or negative.
  int (*connect)(uint32_t addr, uint16_t port);
} dg_link_ops_t;

// What the link hands to the packet handler with every received packet:
// one per connected session (and one per handshake).
typedef struct {
  int sock;
  int got_agent_info;  // set by the handler when a 50036 answer was handled (any result)
} dg_recv_ctx_t;

// What the link asks of the application. The link neither builds nor reads
// messages itself: main hands these to dg_link_init (host_link_hooks_fill,
// proto_send.h, gives the handshake and the on-connect work; main adds the
// packet handler, read_msg_nio of proto_recv.h). A null member: the
// handshake cannot be sent / nothing runs after it / received packets are
// read and dropped (so no handshake completes).
typedef struct {
  // Builds the framed handshake request (the agent information). 0 with
  // *packet (malloc'd; the link frees it) and *length set, or negative.
  int (*build_handshake)(uint8_t **packet, size_t *length);
  // Work after each completed handshake, on THR_DGCONN, before the first
  // receive.
  void (*on_connect)(void);
  // Handles one received packet (`buffer` from the main header on) with
  // the session's dg_recv_ctx_t as `context`, on THR_DGCONN. Its negative
  // result drops the link; 0 or above keeps it.
  int (*handle_packet)(uint8_t *buffer, void *context);
} dg_link_hooks_t;

// One queued packet (mlist payload); the queue frees `packet`.
typedef struct {
  uint32_t code;
  uint64_t length;
  uint8_t *packet;
} dg_send_item_t;

typedef struct {
  dg_link_ops_t ops;
  dg_link_hooks_t hooks;  // set by dg_link_init before THR_DGCONN starts
  vk_lock_t send_queue_lock;
  mlist_t send_queue;  // guarded by send_queue_lock
  vk_lock_t send_lock;
  std::atomic<int> sock;           // 0 while disconnected
  std::atomic<int> is_connection;  // 1 from a completed handshake to the drop
  std::atomic<uint32_t> info_log;  // packets dropped on a full queue (wraps)
  uint32_t info_log_reported;      // value at the last report; main thread
  int prev_send_errno;             // THR_DGCONN_SENDER
  uint32_t reconnect_msec;         // DG_RECONNECT_MSEC; tests shorten it
  int handshake_answer_sec;        // DG_HANDSHAKE_ANSWER_SEC; tests shorten it
  std::atomic<int> comm_running;
  std::atomic<int> sender_running;
} dg_link_t;

extern dg_link_t g_dg_link;

// The system's send(2) and connect.
ssize_t dg_sys_send(int sock, const void *buf, size_t len, int flags);
int ConnectDGServer(uint32_t addr, uint16_t port);

// Prepares g_dg_link (locks, empty queue, real ops, default times, a copy
// of `hooks`; null means none). Called once before THR_DGCONN starts (or by
// tests). 0, or -1 when the locks cannot be made.
int dg_link_init(const dg_link_hooks_t *hooks);

// Writes all `len` bytes with link->ops.send, continuing after partial
// writes and EINTR. REQUIRES: send_lock held. Returns len; 0 when nothing
// could be written; -1 when the write failed after part of the packet went
// out (the socket is then shut down: the stream is cut); errno is that of
// the failing call.
ssize_t dg_send_packet(int sock, const uint8_t *buf, size_t len);

// Drains the queue onto `sock` (see the header comment). Returns the number
// written, or -1 at the first failed write (remaining items freed).
int send_buffer(int sock);

// Frees every queued packet (under the queue lock).
void clear_send_queue(void);

// Current queue length.
uint32_t dg_queue_count(void);

// Logs "[info_log] current tcp_queue[%u] skip[%d]" and returns the drops
// since the previous report (32-bit wrap-around handled). Main thread.
uint32_t info_log(void);

// The handshake on a connected socket: send the agent information, then
// dispatch what arrives until the agent-info answer or the answer limit.
// 0; -1 the request could not be sent; -2 no usable answer in time.
int dg_communicate(int sock);

// Closes `sock` when above 0 and marks the link disconnected.
void DisconnectDGServer(int sock);

// Shuts the connected socket down (without closing it) so that a receive
// wait of THR_DGCONN ends at once; used on stop. Any thread.
void dg_link_wake(void);

// Writes a framed packet directly (under send_lock) on the current socket.
// Returns what dg_send_packet returns, -1 while disconnected.
ssize_t dg_send_direct(int sock, const uint8_t *packet, size_t len);

// Results of dg_recv_frame (besides a positive body length).
enum {
  DG_RECV_TIMEOUT = -100,    // no frame began within the wait (normal)
  DG_RECV_STOPPED = -101,    // g_stop_the_world was set while waiting
  DG_RECV_CLOSED = -1,       // the collector closed the connection between frames
  DG_RECV_FAILED = -2,       // poll or recv failed (errno logged)
  DG_RECV_BAD_MAGIC = -3,    // not a framed header
  DG_RECV_BAD_VERSION = -4,  // header version other than 0 or 2
  DG_RECV_BAD_LENGTH = -5,   // body length 0 or over the buffer
  DG_RECV_BAD_FLAG = -6,     // flag other than 0, 1, 2 or 4
  DG_RECV_STALLED = -7,      // no byte for DG_RECV_STALL_MSEC inside a frame
  DG_RECV_CUT = -8,          // closed inside a frame
};

// Receives one framed packet from `sock` into `buffer` (size bytes; the
// main header at the start, sub header and payload behind it). Waits up to
// wait_msec for the frame's first byte; from that byte on the stall limit
// applies to every later byte, header and body alike. Every wait is sliced
// to DG_RECV_SLICE_MSEC and timed on the monotonic clock of vk_clock, and
// the stop word is read at each slice, so a stop is seen within about
// 100 ms. Returns the body length (> 0), or a DG_RECV_ code; every code but
// TIMEOUT and STOPPED is logged at error level with the socket and the
// reason. On failure the buffer holds what was received.
int dg_recv_frame(int sock, uint8_t *buffer, size_t size, uint32_t wait_msec);

// dg_recv_frame into a zeroed 65,535-byte buffer, then handler(buffer,
// param). The handler's result, or the negative dg_recv_frame code (-99
// when the buffer cannot be allocated).
int dg_process_frame(int sock, uint32_t wait_msec, int (*handler)(uint8_t *, void *), void *param);

// Thread bodies.
void *thr_DGConn(void *arg);
void *thr_DGConn_sender(void *arg);

#endif  // VOSK_HOST_AGENT_THR_DGCONN_H
