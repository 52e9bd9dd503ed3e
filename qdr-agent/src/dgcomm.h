// Collector connection manager of the network agent: the one TCP
// connection to the DG collector, its bounded send queue, the reconnect
// policy, and the start of the handshake after every connect.
//
// Threads, queue and shutdown order:
// - DG_Comm (dg_communicate) connects, reconnects, receives, and runs the
//   inbound dispatcher for each complete packet. It alone closes and opens
//   the socket and acts on a reconnect reason; after every connect it
//   calls the on-connect callback (where the agent queues its information
//   request). Between readiness waits of
//   DG_CHECK_STEP_MSEC it checks for a send blocked longer than
//   g_send_timeout_msec and for a frame stalled mid-way (DG_RECV_STALL_MSEC);
//   either drops the connection.
// - DG_Sender (dg_sender) takes the oldest queued packet, frames it in
//   its own item (no copy) and writes it with one send call per round.
// - Producers on any thread queue packets with add_packet_to_dgcomm while
//   the connection is up; a refused packet stays theirs (remove_pkt).
// The queue is guarded by queue_lock; the socket's use by the sender
// against its closing by send_lock. The state words (connection_state,
// reconnect_flag, sock, send_start_time, counters) are atomics written by
// one thread and polled by the others; any thread may set a reconnect
// reason, only DG_Comm acts on it. Every reconnect empties the queue:
// syslog and trap packets in it, and the one whose send was cut, are handed
// in their order to the take-back callback (the agent's event buffer);
// other packets are dropped. A packet whose bytes the socket took in full counts as sent:
// the protocol has no acknowledgement, so what the kernel held for a
// collector that then died cannot be known or sent again. A packet cut
// mid-way cannot have reached the collector whole, so it is sent again in
// full, never twice whole.
// The link knows nothing of the application: what it hands up (inbound
// packets, connect, activation, drop, unsent events) goes through the
// connection's callback table, which the owner installs before
// create_dg_connection. With none installed the link still connects,
// sends, and drops inbound packets with a log line.
// shutdown_dg_connection clears `active`, shuts the socket down (waking a
// blocked receive wait or send; DG_Comm closes it on its way out), empties
// the queue and polls both thread counters; the record may be freed with
// dg_conn_free only once both threads are gone.
#ifndef QDR_AGENT_DGCOMM_H
#define QDR_AGENT_DGCOMM_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>

#include "dgcomm_packet.h"
#include "mlist.h"
#include "vk_lock.h"

#define DG_IP_SIZE 48
// A send call in progress for longer than this is a hung collector.
#define DG_SEND_TIMEOUT_MSEC 3000
// The socket's own send time-out lies this much above the hang limit, so
// that DG_Comm's hang check (not the time-out) ends a blocked send; the
// time-out only backs the check up.
#define DG_SEND_TIMEOUT_MARGIN_MSEC 2000
// DG_Comm's readiness wait is cut into steps of this length so that the
// send-hang and stalled-frame checks run at least this often.
#define DG_CHECK_STEP_MSEC 100
// A frame begun but not completed gets no further byte for this long: the
// collector is taken as gone and the connection rebuilt.
#define DG_RECV_STALL_MSEC 30000
// TCP keepalive on the collector socket: a silent collector is probed after
// 10 s idle, every 5 s, and given up after 3 unanswered probes; data left
// unacknowledged for 25 s ends the connection as well (TCP_USER_TIMEOUT).
// A collector that vanishes without closing is noticed within about 25 s.
#define DG_KEEPALIVE_IDLE_SEC 10
#define DG_KEEPALIVE_INTERVAL_SEC 5
#define DG_KEEPALIVE_COUNT 3
#define DG_USER_TIMEOUT_MSEC 25000
#define DG_RECONNECT_PAUSE_MSEC 3000
#define DG_SENDER_IDLE_MSEC 100
#define DG_SENDER_PAUSE_MSEC 1000
#define DG_THREAD_STACK_SIZE 10485760
#define DG_SEND_HEX_FILE "send.hex"
// Room in the send queue beyond queue_count_max that only answers to the
// collector's requests may use. Answers are made one per inbound packet on
// DG_Comm; a first pass over thousands of devices queues as many event
// requests, and the collector's answers to them must still be answered.
#define DG_ANSWER_RESERVE 1000
// The failed-send dump is started afresh once it grows past this size.
#define DG_SEND_HEX_LIMIT 10048576

// connection_state
enum {
  DG_STATE_DISCONNECTED = 0,
  DG_STATE_CONNECTING = 1,
  DG_STATE_CONNECTED = 2,
};

// Reconnect reasons (reconnect_flag).
enum {
  DG_RECONNECT_REMOTE_HANG = 1,   // more than 10 sends returned 0 on this connection
  DG_RECONNECT_SEND_FAILED = 2,   // a send call failed
  DG_RECONNECT_RESEND = 4,        // more than 4 partial sends on this connection
  DG_RECONNECT_PEER_CLOSED = 8,   // the peer closed the stream
  DG_RECONNECT_INIT_FAILED = 16,  // unusable agent information response
};

// Outbound packet types.
enum {
  DG_PKT_REQ_AGENT_INFO = 10043,
  DG_PKT_PACKET_RESULT = 54000,
  DG_PKT_REQ_COMMAND = 54001,
  DG_PKT_DISCOVERY_DEVICE = 54002,
  DG_PKT_REQ_COLLECT_EVENT = 54005,
  DG_PKT_DEVICE_PERF = 54101,
  DG_PKT_INTERFACE_PERF = 54102,
  DG_PKT_INTERFACE_STAT = 54103,
  DG_PKT_SYSLOG = 54104,
  DG_PKT_SNMP_TRAP = 54105,
  DG_PKT_DEVICE_LATENCY = 54106,
  DG_PKT_INTERFACE_PERF_RAW = 54107,
};

// Inbound packet types.
enum {
  DG_PKT_RES_AGENT_INFO = 50036,
  DG_PKT_RES_AGENT_CONFIG = 50038,
  DG_PKT_CONNECT_TEST_DEVICE = 55001,
  DG_PKT_DEVICE_LIST = 55002,
  DG_PKT_ADD_COLLECT_EVENT = 55005,
  DG_PKT_ADD_OID_PACK_LIST = 55006,
};

// Receives one complete inbound packet: `sub_header` points at the sub
// header (fields big-endian), `length` is the main header's body length.
typedef int (*dg_packet_handler_t)(const uint8_t *sub_header, uint32_t length);

// What the link calls in its owner. Every member may be null (then the link
// does nothing there, but a dropped packet is logged). Called on DG_Comm,
// except `activate` (on the thread that calls dg_link_activate) and
// `deactivate` (on whichever thread drops the socket: DG_Comm, or the
// caller of shutdown_dg_connection when DG_Comm is not running).
typedef struct {
  // Each complete inbound packet; its result is not looked at.
  dg_packet_handler_t packet_handler;
  // Right after each connect, with the connection up: the handshake starts here.
  int (*on_connect)(void);
  // The handshake completed (dg_link_activate): the agent functions start.
  int (*activate)(void);
  // An open socket is being dropped: the agent functions stop.
  int (*deactivate)(void);
  // Unsent syslog and trap packets of a dropped connection, oldest first;
  // the callee owns them. Not installed: they are freed and logged.
  int (*take_back)(mlist_item_t *const *pkts, uint32_t count);
} dg_link_callbacks_t;

// What the link does to the outside world: send, connect and the
// monotonic clock. make_dg_conn installs the real ones (send(2),
// dg_connect, vk_monotonic_msec); tests replace members before
// create_dg_connection to produce partial, empty, failed or blocked sends
// and to move time.
typedef struct {
  ssize_t (*send)(int sock, const void *buf, size_t len, int flags);
  int (*connect)(int *socket_fd, const char *ip, uint16_t port);
  uint64_t (*monotonic_msec)(void);  // never 0
} dg_conn_ops_t;

typedef struct dg_conn {
  char sz_ip[DG_IP_SIZE];
  uint16_t port;
  vk_lock_t queue_lock;
  // Signalled (under queue_lock) when a packet is queued: the idle sender
  // waits on it for at most DG_SENDER_IDLE_MSEC instead of sleeping.
  pthread_cond_t queue_cond;
  // Held by DG_Sender around each send call, and by the closer between
  // shutting the socket down (which ends a blocked send) and closing it, so
  // a descriptor is never closed, or reused by the next connect, while a
  // send still uses it; and by dg_take_back_events, so the packet being
  // sent, whose frame the send call reads, never changes hands during one.
  // Taken before queue_lock when both are held.
  vk_lock_t send_lock;
  // Guards taking the descriptor out of `sock` together with shutting it
  // down, so another thread may shut the current socket down (to wake
  // DG_Comm) without racing its close. Never held across a blocking call.
  vk_lock_t sock_lock;
  uint32_t queue_count_max;
  std::atomic<int> sock;  // -1 when closed; written by DG_Comm
  std::atomic<int> connection_state;
  std::atomic<int> reconnect_flag;
  // Monotonic milliseconds when the current send call began; 0 while no
  // send is in progress. Written by DG_Sender, checked by DG_Comm.
  std::atomic<uint64_t> send_start_time;
  // Per connection; reset by DG_Comm at every connect attempt.
  std::atomic<uint32_t> send_tcp_size;
  std::atomic<uint32_t> send_tcp_count;
  std::atomic<uint32_t> send_tcp_error_count;
  std::atomic<uint32_t> send_tcp_zero_count;
  std::atomic<uint32_t> remote_hang_count;  // sends that returned 0
  std::atomic<uint32_t> resend_count;       // sends that sent only part
  // Counts connects; the sender abandons a packet begun on an earlier one.
  std::atomic<uint32_t> connection_seq;
  mlist_t send_queue;  // guarded by queue_lock
  // The packet DG_Sender took from the queue and has not yet handed to the
  // socket in full; guarded by queue_lock. The sender frees it once a send
  // call completes it (under send_lock, so no drop can come in between);
  // when the connection drops first, DG_Comm takes it back with the queue.
  mlist_item_t *sending;
  std::atomic<int> active;
  std::atomic<int> thread_running_comm;
  std::atomic<int> thread_running_sender;
  pthread_t comm_thread;
  pthread_t sender_thread;
  // Reassembly state, DG_Comm only.
  data_buffer_t recv_buffer;
  int last_recv_ret_val;
  int is_chk_header;
  // Monotonic ms of the last byte received for the frame being assembled.
  uint64_t recv_progress_msec;
  dg_conn_ops_t ops;
  // Written before create_dg_connection, read-only while the threads run.
  dg_link_callbacks_t callbacks;
} dg_conn;

// Limit of a send call, ms (the hang check); the socket's send time-out is
// this plus DG_SEND_TIMEOUT_MARGIN_MSEC.
extern int g_send_timeout_msec;

// Prepares the template main header. Called once at start-up, before any
// connection is made.
void dgcomm_init(void);

// Makes a connection record for `ip` (address or host name, at most 47
// characters) and `port`, with a send queue of at most queue_count_max
// packets and a reassembly buffer of DATA_BUFFER_SIZE_MAX bytes (allocated,
// not touched). Prints "ip[%s],port[%hu]\n". Returns the record (free it with
// dg_conn_free), or null when ip is null or too long, port is 0, or memory
// is exhausted.
dg_conn *make_dg_conn(const char *ip, uint16_t port, uint32_t queue_count_max);

// The same with the port as decimal text; null when the text is not a
// number from 1 to 65535.
dg_conn *make_dg_conn_by_string(const char *ip, const char *port, uint32_t queue_count_max);

// Installs `cb` (copied; null: none) as the connection's callback table.
// REQUIRES: the connection's threads are not running.
void dg_link_set_callbacks(dg_conn *conn, const dg_link_callbacks_t *cb);

// Calls the activate callback, if any: the owner's packet handler reports
// a completed handshake. Returns its result, or 0 when none is installed
// (or conn is null).
int dg_link_activate(dg_conn *conn);

// Sets `active`, ignores SIGPIPE for the process and starts DG_Comm, then
// DG_Sender, each with a 10 MiB stack. Returns 0; -1 when DG_Comm cannot
// be started; -2 when DG_Sender cannot be started (DG_Comm is then told to
// stop). Null conn: -1.
int create_dg_connection(dg_conn *conn);

// Queues `pkt` (an item from make_packet_data). Returns 0 when queued (the
// queue owns it); -1 no record or no packet; -2 not connected (state not
// 2, or a reconnect reason set); -3 the queue holds queue_count_max
// packets, or for an answer to the collector (result 54000, discovery report
// 54002) queue_count_max + DG_ANSWER_RESERVE: the agent's own requests and
// reports cannot take the room its answers need. On a negative result the
// packet stays the caller's.
int add_packet_to_dgcomm(dg_conn *pdgconn, mlist_item_t *pkt);

// Number of queued packets.
uint32_t dg_queue_count(dg_conn *pdgconn);

// Drops every queued packet under the queue lock.
void clear_tcpqueue(dg_conn *pdgconn);

// Empties the queue of a dropped connection, the packet whose send was cut
// first: syslog and trap packets go to the take-back callback in their
// order (freed and logged when none is installed), the rest are freed.
// Returns the number given back. Waits for a send call in progress to end.
// REQUIRES: the connection is marked down (no packet can be queued
// meanwhile).
int dg_take_back_events(dg_conn *pdgconn);

// Asks DG_Comm to rebuild the connection for `status` (a DG_RECONNECT_*).
void dg_reconnect_with_status(dg_conn *pdgconn, int status);

// Closes an open socket: calls the deactivate callback, state 0, shuts
// the socket down, waits for a send in progress to end, closes it; sock is
// -1 from the start. A closed socket is left alone. REQUIRES: called by
// DG_Comm, or when DG_Comm is not running.
void dg_disconnect(dg_conn *pdgconn);

// Connects to ip:port and sets the socket options (send time-out
// g_send_timeout_msec + DG_SEND_TIMEOUT_MARGIN_MSEC, linger 0, address
// reuse, keepalive and user time-out as above; a failing option is logged
// and the socket still used). Returns 0 with *socket_fd set, or -1.
int dg_connect(int *socket_fd, const char *ip, uint16_t port);

// Tries each resolved address of host:port in order (IPv6 once per
// non-loopback interface as scope). Returns 0 with *socket_fd set; -1 no
// address connected; -2 resolution failed; -3 the interface list cannot be
// read.
int connect_using_addrinfo(int *socket_fd, const char *host, uint16_t port);

// Text of the peer address of `sock` into peername. 0, or -1.
int get_peer_addr(int sock, char *peername, size_t size);

// Stops both threads: clears `active`, shuts the socket down (disconnects
// it when DG_Comm is not running), empties the queue and checks up to 5
// times, 10 ms apart, that both threads ended. Returns 0, or -1 when they
// have not ended yet (the record must then stay).
int shutdown_dg_connection(dg_conn *conn);

// Frees a record whose threads have ended (or never started): the queue,
// the lock and the buffers. Returns 0, or -1 while a thread still runs
// (nothing freed). Null: 0.
int dg_conn_free(dg_conn *conn);

// Appends a hex dump of `data` to `filename`, labelled `label`, deleting
// the file first when it is larger than DG_SEND_HEX_LIMIT. Returns 0, or
// -1 when the file cannot be opened.
int writeHex(const char *filename, const char *label, const void *data, size_t size);

// Names logged for packet types: outbound types (the sender) and inbound
// types (the receiver); "UNKNOWN" for others.
const char *dg_send_packet_type_name(uint16_t type);
const char *dg_recv_packet_type_name(uint16_t type);

// Receives what the connection's socket has for the packet being assembled
// (never more than that packet lacks) and, when the packet is complete,
// hands its sub header and body length to the connection's packet handler
// (none installed: the packet is dropped with a log line); after a packet of more than
// DG_RECV_RELEASE_MIN bytes the buffer's used pages are given back. After a complete packet it goes
// on with the next one while the socket has more (at most 64 packets a call, and not once a
// reconnect reason is set). The receive result is kept in last_recv_ret_val: 0 means the peer
// closed the stream (not an error here; the caller acts on it); nothing available yet is not an
// error. Returns 0, or:
//   -1 no connection record;
//   -2 receive error on the header;
//   -3 resynchronisation found no magic;
//   -4 header version other than 2;
//   -5 body length 0, shorter than the sub header, or too large for the
//      reassembly buffer;
//   -6 receive error on the body.
// Every negative result means the connection must be dropped.
int dg_receive_packet(struct dg_conn *pdgconn);

// The thread bodies (exposed for the thread names in logs and for tests).
void *dg_communicate(void *arg);
void *dg_sender(void *arg);

#endif  // QDR_AGENT_DGCOMM_H
