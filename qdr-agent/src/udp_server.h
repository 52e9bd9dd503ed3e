// UDP server framework: one UDP service on one port with several receiver
// threads. Each receiver thread owns its own IPv4 socket bound to the same
// port with SO_REUSEADDR and SO_REUSEPORT, so the kernel spreads incoming
// datagrams over the threads. Every datagram is handed, with the sender's
// address, to the service's receive callback on the receiver thread. The
// framework only receives; it never sends. The syslog receiver (service
// "syslog") and the SNMP trap receiver ("snmp_trap") are built on it.
//
// Threads and shutdown:
// - udp_server_start starts `work_thread_count` receiver threads named
//   "<service>_<index>" through the thread registry, each with a 10 MiB
//   stack (its 64 KiB datagram buffer lives there) and bound to processor
//   index modulo the processor count.
// - A receiver waits on epoll for at most 100 ms at a time, so it notices
//   the stop request (`activate` 0) within that time. Readiness is waited
//   for with epoll rather than select: descriptors of any number work.
// - udp_server_shutdown clears `activate` and polls `thread_run_count`
//   every 50 ms until the threads are gone; only then are the receiver
//   records freed. On time-out they are kept, since a thread may still use
//   them.
// Shared between threads: `activate` and `thread_run_count` (atomics); a
// record's counters are written by its thread only and read by statistics
// loops (relaxed atomics). The callback runs concurrently on several
// threads and does its own locking.
#ifndef QDR_AGENT_UDP_SERVER_H
#define QDR_AGENT_UDP_SERVER_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "vklog.h"

#define UDP_SERVER_NAME_SIZE 128
#define UDP_SERVER_IP_SIZE 40
// Largest datagram a receiver takes whole; the buffer has one more byte for
// the terminator.
#define UDP_SERVER_DATAGRAM_MAX 65535
#define UDP_SERVER_STACK_SIZE 10485760
// Receive buffer asked for each receiver socket.
#define UDP_SERVER_RCVBUF_SIZE (4 * 1024 * 1024)
#define UDP_SERVER_WAIT_MSEC 100
#define UDP_SERVER_SHUTDOWN_POLL_MSEC 50

// Receiver record status.
enum {
  UDP_SERVER_STATUS_STARTING = 1,
  UDP_SERVER_STATUS_RECEIVING = 2,
  UDP_SERVER_STATUS_ENDED = 3,
  UDP_SERVER_STATUS_SOCKET_ERROR = 4,
};

// Receive callback: (receiver socket, sender IPv4 address as dotted text,
// datagram bytes followed by a NUL that `len` does not count, length). Its
// result is ignored.
typedef int (*collback_func_receive_work)(int sock, const char *ip, const char *data, size_t len);

typedef struct udp_server_perf {
  int sock;                     // not maintained
  std::atomic<uint32_t> count;  // datagrams received
  std::atomic<uint32_t> size;   // bytes received (wraps)
} udp_server_perf;

typedef struct udp_server {
  char name[UDP_SERVER_NAME_SIZE];  // not filled
  std::atomic<int> sock;            // -1 once closed
  int port;
  std::atomic<int> status;  // UDP_SERVER_STATUS_*
  std::atomic<int> *activate;
  std::atomic<int> *thread_run_count;
  collback_func_receive_work func;
  udp_server_perf perf;
  vklog_t *log_dump;
} udp_server_t;

typedef struct udp_server_manager {
  char name[UDP_SERVER_NAME_SIZE];
  uint16_t port;
  int work_thread_count;
  std::atomic<int> thread_run_count;  // receiver threads not yet ended
  std::atomic<int> activate;          // 1 while the receivers shall run
  // work_thread_count records, or null; set by the starting thread, read by
  // statistics and tests on others.
  std::atomic<udp_server_t *> servers;
  collback_func_receive_work func;
  vklog_t *log_dump;  // optional: every datagram at info level
  int is_maintain;    // udp_server_start stays in a statistics loop
} udp_server_manager_t;

// New zeroed manager for service `name` (cut to 127 characters) on `port`.
// Thread count: the online processor count when `thread_count` is 0, else
// the smaller of it and the processor count. Returns null (logged) when
// memory runs out or `func` is null. Free with udp_server_manager_free.
udp_server_manager_t *udp_server_manager_new(const char *name, uint16_t port, int thread_count,
                                             collback_func_receive_work func);

// Frees a manager whose receivers have stopped (or never started). Returns
// 0; -1 while receiver threads still run (nothing is freed). Null: 0.
int udp_server_manager_free(udp_server_manager_t *manager);

// Starts the receiver threads and returns once they are started (unless
// `is_maintain` is set: then it stays in the statistics loop while the
// service is active). A receiver that cannot open or bind its socket ends
// alone; no error reaches the caller. Returns 0; -1 for a null manager,
// -2 when the service is already running, -3 when the records cannot be
// allocated.
int udp_server_start(udp_server_manager_t *manager);

// Stops the receivers: clears `activate` and waits, polling every 50 ms, at
// most `timeout_sec` seconds (3 when 0) for every receiver to end; then
// frees the records. Returns 0 when stopped (or already down); -1 on
// time-out (the records are kept).
int udp_server_shutdown(udp_server_manager_t *manager, int timeout_sec);

// Allocates `count` receiver records for `port` sharing the manager's flag,
// run count, dump category and callback. Null when memory runs out.
udp_server_t *udp_server_new(int count, int port, std::atomic<int> *activate,
                             std::atomic<int> *thread_run_count, vklog_t *log_dump,
                             collback_func_receive_work func);

// Frees the records, logging each one whose status is not "ended normally".
void udp_server_destroy(udp_server_t *servers, int count);

// Datagrams and bytes received by all receivers of the manager so far.
uint64_t udp_server_total_count(const udp_server_manager_t *manager);

// `bytes` scaled to a human-readable unit ("B", "KB", "MB", "GB", "TB"),
// stored in *unit.
double udp_server_human_size(double bytes, const char **unit);

// Statistics block of the receivers since the previous call: per receiver
// "[#%d] c:%u/s(%u),s:%.2f %s/s(%u)\n" to `log` at info level. `last` holds
// work_thread_count (count, size) pairs kept between calls (zeroed at
// first). Does nothing without records.
void udp_server_log_stats(udp_server_manager_t *manager, vklog_t *log, uint32_t *last_count,
                          uint32_t *last_size, int last_len);

#endif  // QDR_AGENT_UDP_SERVER_H
