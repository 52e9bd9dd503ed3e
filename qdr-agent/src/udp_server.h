// UDP server framework: one UDP service on one port with several receiver
// threads. Each receiver thread owns its own socket bound to the same port
// with SO_REUSEADDR and SO_REUSEPORT, so the kernel spreads incoming
// datagrams over the threads. The socket is an IPv6 one that also takes
// IPv4 (IPV6_V6ONLY off), so devices reach the agent over both families; on
// a host without IPv6 it is an IPv4 one. Every datagram is handed, with the
// sender's address, to the service's receive callback on the receiver
// thread; the callback may answer through udp_server_reply (the trap
// receiver answers informs). The syslog receiver (service "syslog") and the
// SNMP trap receiver ("snmp_trap") are built on it.
//
// Binding: udp_server_start binds every receiver's socket before it starts
// the threads, so its caller knows at once whether the port could be had
// (udp_server_bound_count). A bind failure is logged and written to
// standard error with the service, address and port. With `bind_retry` set,
// a receiver without a socket tries again on a back-off (1 s doubling to
// UDP_SERVER_BIND_RETRY_MAX_MSEC) until it binds or the service stops;
// without it the receiver ends with a socket error.
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
#include <sys/socket.h>

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
#define UDP_SERVER_BIND_RETRY_MIN_MSEC 1000
#define UDP_SERVER_BIND_RETRY_MAX_MSEC 64000

// Receiver record status.
enum {
  UDP_SERVER_STATUS_STARTING = 1,
  UDP_SERVER_STATUS_RECEIVING = 2,
  UDP_SERVER_STATUS_ENDED = 3,
  UDP_SERVER_STATUS_SOCKET_ERROR = 4,
  UDP_SERVER_STATUS_BIND_RETRY = 5,  // no socket yet; binding again on a back-off
};

// The sender of a datagram, as the socket gave it.
typedef struct udp_peer {
  struct sockaddr_storage addr;
  socklen_t len;
} udp_peer_t;

// Receive callback: (receiver socket, sender address as text: dotted IPv4
// for IPv4 senders, IPv6 text otherwise, datagram bytes followed by a NUL
// that `len` does not count, length, the sender for an answer). Its result
// is ignored.
typedef int (*collback_func_receive_work)(int sock, const char *ip, const char *data, size_t len,
                                          const udp_peer_t *peer);

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
  std::atomic<int> bind_errno;  // errno of the last failed bind; 0 once bound
  struct udp_server_manager *manager;
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
  vklog_t *log_dump;        // optional: every datagram at info level
  int is_maintain;          // udp_server_start stays in a statistics loop
  int bind_retry;           // a receiver that cannot bind tries again (see above)
  std::atomic<int> family;  // AF_INET6, or AF_INET on a host without IPv6
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

// Binds every receiver's socket, then starts the receiver threads and
// returns once they are started (unless `is_maintain` is set: then it stays
// in the statistics loop while the service is active). A receiver that
// cannot open or bind its socket is logged and reported on standard error
// ("[<service>] cannot bind udp <address> port <port>: <error>"), then
// retries or ends (see `bind_retry`); udp_server_bound_count tells the
// caller how many are bound. Returns 0; -1 for a null manager, -2 when the
// service is already running, -3 when the records cannot be allocated.
int udp_server_start(udp_server_manager_t *manager);

// Receivers of the manager that hold a bound socket now.
int udp_server_bound_count(const udp_server_manager_t *manager);

// One line on the state of the service for the statistics, into `buf`:
// "<service> udp <address>:<port> receiving <bound>/<threads>", with
// ", bind failed[<error>], retrying" while receivers wait for the port, or
// "<service> udp <address>:<port> stopped". Returns `buf`.
const char *udp_server_state_text(const udp_server_manager_t *manager, char *buf, size_t size);

// Sends `len` bytes from the receiver socket `sock` to `peer` (an answer to
// the datagram just received). Returns 0; -1 for a bad argument; -2 when
// the send fails (logged with the address and the system's error text).
int udp_server_reply(int sock, const udp_peer_t *peer, const void *data, size_t len);

// Stops the receivers: clears `activate` and waits, polling every 50 ms, at
// most `timeout_sec` seconds (3 when 0) for every receiver to end; then
// frees the records. Returns 0 when stopped (or already down); -1 on
// time-out (the records are kept).
int udp_server_shutdown(udp_server_manager_t *manager, int timeout_sec);

// Allocates `count` receiver records for `port` sharing the manager's flag,
// run count, dump category and callback. Null when memory runs out. The
// records' `manager` is left null (udp_server_start sets it).
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
