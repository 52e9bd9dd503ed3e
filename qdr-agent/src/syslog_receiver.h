// Syslog receiver and forwarding: keeps the syslog datagrams that come from
// registered devices and forwards them to the collector in batches.
//
// The receive side runs on the UDP server framework (service "syslog", two
// receiver threads, at most one per processor). Each datagram is looked up in
// the "syslog" target registry by its sender address; accepted ones are
// copied whole (the text is not interpreted beyond the <PRI> field) onto the
// sender queue. The sender thread takes the whole queue once a second and
// sends it as syslog-list messages (packet 54104) of at most 1000 entries
// through the event buffer (event_buffer.h), which holds them while the
// collector link is down. The receivers, the sender and the registered
// devices stay through a reconnect (syslog_link_lost); the device list that
// follows it replaces the registrations.
//
// Threads, queue and shutdown order:
// - receiver threads "syslog_<i>" call syslog_work; they share only the
//   registry (its read lock) and the sender queue (sender_queue_lock, held
//   for one append);
// - "syslog_sender" moves the whole queue out under the lock, encodes
//   packets outside it and hands them to the event buffer, which it also
//   lets drain once a second;
// - "syslog_main" starts the receivers 3 seconds after the first activation
//   and logs statistics every 5 seconds.
// A lost link stops nothing (syslog_link_lost). syslog_shutdown (the end of
// the process) deactivates the registry (receivers drop from then on),
// stops the sender, then the main thread, then the receivers, and removes
// the targets. A sender or main thread that does not stop in time ends the
// process: a later activation would start a second copy beside it.
//
// (The module is not called "syslog.h": in the agent's include path that
// name would hide the system header the SNMP library includes.)
//
// Log categories: "syslog" (operational lines; the main log when the
// configuration has no such section) and "syslog-dump" (every datagram, at
// trace level).
#ifndef QDR_AGENT_SYSLOG_RECEIVER_H
#define QDR_AGENT_SYSLOG_RECEIVER_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "target_device.h"
#include "udp_server.h"
#include "vk_lock.h"
#include "vklog.h"
#include "vlist.h"

#define SYSLOG_DEVICE_ID_SIZE 40
#define SYSLOG_IP_SIZE 40
#define SYSLOG_BATCH_MAX 1000
#define SYSLOG_WORK_AREA_SIZE 65535
// Packet capacity of a batch: this much, plus SYSLOG_ENTRY_OVERHEAD and the
// message length for every entry.
#define SYSLOG_PACKET_BASE 65535
#define SYSLOG_ENTRY_OVERHEAD 80
#define SYSLOG_RECEIVER_THREADS 2
#define SYSLOG_ONLY_RECEIVER_THREADS 3
// Of a datagram that is refused, at most this many bytes go to the log.
#define SYSLOG_LOG_TEXT_MAX 256
// The PRI field is read from at most this many characters.
#define SYSLOG_PRI_TEXT_MAX 31

// Results of syslog_work and syslog_parse_pri.
enum {
  SYSLOG_DROPPED = 0,        // not from a registered device (or registry inactive)
  SYSLOG_ERR_REGISTRY = -1,  // the registry could not answer
  SYSLOG_ERR_NO_OPEN = -3,   // no '<' in the datagram
  SYSLOG_ERR_NO_CLOSE = -4,  // no '>' after the first '<'
  SYSLOG_ERR_MEMORY = -5,    // no memory for the record
};

// One accepted message: one vlist item holding this record followed by a
// copy of the datagram and a NUL.
typedef struct syslog_data {
  char device_id[SYSLOG_DEVICE_ID_SIZE];
  uint64_t collect_time;  // ns since the epoch, real-time clock
  char client_ip[SYSLOG_IP_SIZE];
  uint32_t facility;  // (PRI >> 3) & 0x7F
  uint32_t severity;  // PRI - facility * 8
  const char *msg;    // the whole datagram, right behind the record
  size_t msg_len;
} syslog_data_t;

// Priority read from a datagram.
typedef struct syslog_pri {
  uint64_t pri;  // saturates at UINT64_MAX, as the C library's conversion does
  uint32_t facility;
  uint32_t severity;
} syslog_pri_t;

// Sender statistics: written by the sender thread, read by the main thread.
typedef struct syslog_sender_perf {
  std::atomic<uint32_t> sent_count;  // messages sent
  std::atomic<uint32_t> sent_size;   // sum of packet capacities
  std::atomic<uint32_t> pack_count;  // packets sent
} syslog_sender_perf;

typedef struct syslog_service {
  int initialized;       // 1 after syslog_init; main thread only
  vklog_t *log;          // "syslog", or the main log
  vklog_t *log_dump;     // "syslog-dump", may be null
  vlist_t sender_queue;  // of syslog_data_t; guarded by sender_queue_lock
  vk_lock_t sender_queue_lock;
  std::atomic<int> thread_status;     // "syslog_main", TARGET_SERVICE_*
  std::atomic<int> sender_status;     // "syslog_sender", TARGET_SERVICE_*
  udp_server_manager_t *server;       // receivers of the agent
  udp_server_manager_t *only_server;  // receivers of the syslog-only mode
  syslog_sender_perf perf;
  std::atomic<int> registrations_kept;  // 1 from a link loss to the next registration
} syslog_service_t;

extern syslog_service_t g_syslog;

// Reads the priority of `data[0 .. len)`: the first '<' anywhere and the
// first '>' after it; the text between them, at most its first 31
// characters, read as an unsigned decimal number that stops at the first
// non-digit (no digits: 0). Returns 0 and fills *out; SYSLOG_ERR_NO_OPEN or
// SYSLOG_ERR_NO_CLOSE (*out unchanged).
int syslog_parse_pri(const char *data, size_t len, syslog_pri_t *out);

// Looks up the log categories, prepares the sender queue and the "syslog"
// registry and creates the receiver service on g_agent_config.syslog_port.
// A second call changes nothing (the syslog-only mode initialises first,
// start-up calls it again). Returns 0; 1 when the service cannot be created.
int syslog_init(void);

// Starts the sender thread, activates the registry and starts "syslog_main"
// (which starts the receivers). Returns 0 (also when already running: no
// second set of threads is started); -1 before syslog_init.
int syslog_startup(void);

// Stops what syslog_startup started (see the header comment). Returns 0;
// ends the process when a thread does not stop in time.
int syslog_shutdown(int timeout_sec);

// The collector link was lost: everything keeps running, and the targets
// stay registered until the first registration that follows, which
// replaces them all (the next device list). Main thread or DG_Comm.
void syslog_link_lost(void);

// Registers a device for syslog (replacing the kept targets first, see
// syslog_link_lost). Returns the registry's result
// (target_device_add_by_ip); ids of SYSLOG_DEVICE_ID_SIZE characters or more
// are refused (-3) since a message record could not carry them.
int syslog_target_device_add_by_ip(const char *ip, const char *id);

// Receive callback: accepts or drops one datagram. Returns 0 when queued or
// dropped as not registered / registry inactive, else a SYSLOG_ERR_* code
// (the datagram is dropped with one log line).
int syslog_work(int sock, const char *ip, const char *data, size_t len, const udp_peer_t *peer);

// Syslog-only mode: syslog_init, then a second receiver service on `port`
// with 3 receivers (at most one per processor; `thread_count` is not used)
// started at once. Until syslog_startup activates the registry, every
// datagram is written to "syslog-dump" and dropped. Returns 0; 1 when a
// service cannot be created; 2 when no receiver could bind the port (the
// receivers are stopped again; the bind error went to the log and to
// standard error).
int syslog_only(uint16_t port, int thread_count);

// Stops the syslog-only receivers (5-second limit) and frees them. For
// tests and an orderly end; returns 0, -1 on time-out.
int syslog_only_shutdown(void);

// Encodes and queues one batch of at most SYSLOG_BATCH_MAX records taken
// from the front of `list` (sender thread). The records are freed in every
// case. Returns 0; -1 the message could not be made; -2 encoding failed;
// -3 the collector link refused the packet.
int syslog_send_list(vlist_t *list);

#endif  // QDR_AGENT_SYSLOG_RECEIVER_H
