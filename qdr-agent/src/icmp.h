// ICMP reachability: the ping engine, the periodic ping worker with its
// latency records, and the one-shot ping modes of the command line.
//
// Engine: a ping object (`icmp_object_t`) holds the options, the two raw
// sockets (IPv4 ICMP, IPv6 ICMPv6, opened on demand by a cycle) and a list of
// hosts. One call runs one cycle over all hosts and leaves each host's
// latency and the TTL and traffic-class byte of its reply in the host
// record. `icmp_send` pings all hosts interleaved under one deadline;
// `icmp_check` pings them one after the other, each with its own deadline.
// A ping object belongs to one thread at a time; the engine takes no locks.
// The engine is icmp.cpp; the worker and the modes are icmp_worker.cpp.
//
// Worker: `icmp_init` sets up the "icmp" target registry; `icmp_startup`
// starts the registry's SNMP-status store thread "icmp_user_data" and the
// thread "icmp_worker", which every ten seconds pings every registered
// device and queues one latency record (packet type 54106) per device for
// the collector, carrying the device's last SNMP response time. The SNMP
// collect threads hand those times in through `icmp_push_snmp_latency`; the
// collector link registers devices through `icmp_target_device_add_by_ip`.
// Threads: "icmp_worker" (one at a time), the registry's "icmp_user_data",
// the collect threads (icmp_push_snmp_latency, which only queues), the
// collector link (icmp_target_device_add_by_ip) and the main thread
// (start-up, shutdown). The worker copies the target list under the
// registry's read lock at the start of each cycle and pings from the copy,
// so it never holds the lock for a cycle nor walks a list that grows.
// Shutdown order: the store thread, then the worker (status word polled
// every 500 ms up to the limit; a cycle in progress is finished first, up
// to the timeout per unanswered host), then the registry is emptied. A
// worker that outlives a timed-out stop ends after its cycle: every
// start-up bumps a generation that the old worker checks. Start-up and
// shutdown are called by one thread at a time.
//
// The engine waits for its two sockets with poll, not select, so a process
// with a thousand descriptors open (SNMP sessions, receivers, log files)
// still pings.
//
// Raw sockets see the echo replies of every pinger on the machine. A reply
// counts for a host only when it comes from the host's own address and
// carries the identifier and sequence of the host's outstanding request.
// Identifiers on the wire are the caller's identifier plus a base of this
// process, sequences on the wire the host's count plus a base that every
// new ping object (one per cycle) moves on, so another pinger, or an
// earlier cycle, does not use the same numbers. Every request carries the
// same small payload, whatever its identifier.
#ifndef QDR_AGENT_ICMP_H
#define QDR_AGENT_ICMP_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>

#define ICMP_OPT_TIMEOUT 1
#define ICMP_OPT_TTL 2
#define ICMP_OPT_QOS 64

#define ICMP_INFO_HOSTNAME 1
#define ICMP_INFO_ADDRESS 2
#define ICMP_INFO_LATENCY 4
#define ICMP_INFO_SEQUENCE 5
#define ICMP_INFO_DATA 7
#define ICMP_INFO_RECV_TTL 10
#define ICMP_INFO_RECV_QOS 11

#define ICMP_DEF_TIMEOUT 1.0
#define ICMP_DEF_TTL 64
#define ICMP_DEF_DATA "qdr-agent icmp data"
#define ICMP_TABLE_SIZE 5381
// Largest ICMP message built or received; larger requests are not sent.
#define ICMP_BUFFER_SIZE 4096
#define ICMP_ERRMSG_SIZE 1024
// Room for the reason a host got no request in a cycle.
#define ICMP_HOST_ERROR_SIZE 256

typedef struct icmp_host {
  char *device_id;  // may be null
  char *username;   // the text given at add time; key of the duplicate check
  char *hostname;   // display name: the given text or the canonical name
  struct sockaddr_storage addr;
  socklen_t addrlen;
  int addrfamily;        // AF_INET or AF_INET6
  int ident;             // echo identifier as the caller gave it
  uint16_t wire_ident;   // identifier on the wire: ident plus the process base
  uint16_t seq_base;     // sequence on the wire: seq_base plus sequence
  int sequence;          // requests sent so far; the sequence of the next one
  struct timeval timer;  // send time of the outstanding request; zero: none
  double latency;        // ms of the last reply of this cycle; -1.0 none
  int recv_ttl;          // TTL / hop limit of the last reply; -1 unknown
  uint8_t recv_qos;      // TOS / traffic class of the last reply
  char *data;            // payload text
  // Why the host got no request this cycle (no socket for its family, the
  // send failed); empty when it was sent.
  char error[ICMP_HOST_ERROR_SIZE];
  void *context;         // caller's data; never touched or freed by the engine
  struct icmp_host *next;
  struct icmp_host *table_next;
  struct icmp_host *name_next;  // next host in the same name bucket
} icmp_host_t;

typedef struct icmp_object {
  double timeout;
  int ttl;
  int addrfamily;  // family used to resolve names; 0 = any
  uint8_t qos;
  char *data;
  uint16_t ident_base;  // added to every host's identifier on the wire
  uint16_t seq_base;    // first wire sequence of the hosts added from now on
  int fd4;
  int fd6;
  char errmsg[ICMP_ERRMSG_SIZE];
  icmp_host_t *head;
  icmp_host_t *tail;
  icmp_host_t *table[ICMP_TABLE_SIZE];  // by wire identifier modulo the size
  // By the given text, ignoring case: the duplicate check of a cycle over
  // thousands of hosts stays linear.
  icmp_host_t *name_table[ICMP_TABLE_SIZE];
} icmp_object_t;

// New ping object with timeout 1 s, TTL 64, QoS 0 and the default payload,
// no sockets open, the identifier base of this process and a sequence base
// no earlier object of this process has had. Null when memory runs out.
icmp_object_t *icmp_object_new(void);

// Frees all hosts (not their contexts), closes open sockets, frees the
// object. Null is ignored.
void icmp_object_destroy(icmp_object_t *obj);

// Sets an option (ICMP_OPT_*); `value` points to a double (timeout), an int
// (TTL) or a uint8_t (QoS). 0 on success. -1: null argument, a negative
// timeout (1.0 is set), a TTL outside 1..255 (64 is set), or the open
// sockets refused the new value. -2: unknown option.
int icmp_setopt(icmp_object_t *obj, int option, const void *value);

// Resolves `host` and appends it with echo identifier `ident`. 0 when added
// or when a host with the same text (any letter case) is already present;
// -1 on failure, with the reason in the object's error text.
int icmp_host_add(icmp_object_t *obj, const char *device_id, const char *host, int ident);

// The host from `first` onwards whose given text equals `host` ignoring
// case, or null.
icmp_host_t *icmp_host_search(icmp_host_t *first, const char *host);

// Both cycles leave in each host's `error` why it got no request (its
// family's socket could not be opened, the send failed).

// Interleaved cycle: one request per host, all under one deadline of
// `timeout`. Number of replies received (>= 0), -(number of send errors)
// when some sends failed (a host whose family has no socket counts as one),
// -1 no host, -2/-3 no socket could be opened (-2 when the IPv4 one failed,
// -3 for IPv6 hosts only), -7 wait failure. The error text tells which.
int icmp_send(icmp_object_t *obj);

// Sequential cycle: each host in list order gets one request and its own
// deadline of `timeout`; only the host's own reply ends its wait, and a
// reply after its deadline is not counted. 0 after the last host (hosts
// without a reply keep latency -1, and so do the hosts of a family whose
// socket could not be opened); -1 no host, -2/-3 no socket at all (as
// above), -7 wait failure.
int icmp_check(icmp_object_t *obj);

// Checks one received datagram of `family` against the hosts: for AF_INET
// an IPv4 datagram with its header (the source is taken from the header into
// *from, the TTL into *ttl when that is negative), for AF_INET6 an ICMPv6
// message from *from (which must be an IPv6 address). The host whose
// outstanding request it answers (echo reply, sound checksum for IPv4,
// identifier, sequence and source address all matching), or null.
icmp_host_t *icmp_reply_match(icmp_object_t *obj, int family, const uint8_t *buf, size_t len,
                              struct sockaddr_storage *from, int *ttl);

// The last error text of the object; null for a null object.
const char *icmp_get_error(icmp_object_t *obj);

// First host / next host in list order; null at the end.
icmp_host_t *icmp_iterator_get(icmp_object_t *obj);
icmp_host_t *icmp_iterator_next(icmp_host_t *host);

// Copies a host value (ICMP_INFO_*) into `buffer`; *size is the buffer size
// on entry and the size the value needs on return. 0 on success, ENOMEM the
// buffer is too small, EINVAL unknown kind (or an unusable address), -1 null
// host or size, or a null buffer with a non-zero size.
int icmp_iterator_get_info(icmp_host_t *host, int info, void *buffer, size_t *size);

void *icmp_iterator_get_context(icmp_host_t *host);
void icmp_iterator_set_context(icmp_host_t *host, void *context);

// Renders a TOS / traffic-class byte: DSCP name ("ef", "af11", ...) or
// "0x%02x", then the ECN suffix (",ecn(1)", ",ecn(0)", ",ce"). Always
// terminated within `size` (size > 0). Returns `buffer`.
char *format_qos(uint8_t qos, char *buffer, size_t size);

// Status of the worker: TARGET_SERVICE_NONE .. TARGET_SERVICE_DOWN of
// target_device.h, written by the worker and by start-up and shutdown.
extern std::atomic<int> g_icmp_worker_status;

// Sets up the "icmp" registry and its SNMP-status store. Returns 0.
int icmp_init(void);

// Activates the registry, starts "icmp_user_data" and "icmp_worker".
// 0 (also when the worker is already starting or up: nothing more is
// started); -2 the worker thread could not be started (status 1, "fail").
int icmp_startup(void);

// Stops the store thread and the worker, waiting at most `timeout_sec`
// seconds each (3 when 0), then removes all targets. A worker still in a
// cycle at the limit leaves the status at 1 ("fail"). 0; -1 the store thread
// did not stop. A second call only logs that ICMP is already down.
int icmp_shutdown(int timeout_sec);

// One cycle of the worker, as its thread runs it every ten seconds: copies
// the registered targets, pings them one after the other and queues their
// records. 0 (also when there is nothing to ping or the cycle failed); -1
// when no ping object can be made. Called by the worker thread; tests and
// benchmarks may call it while no worker runs.
int icmp_worker_cycle(void);

// Registers a device as a ping target (no duplicate check). 0; -1 no
// memory; -2 the registry is not active; -3 the id or address is empty or
// does not fit its 80-byte field (refused, never cut).
int icmp_target_device_add_by_ip(const char *device_ip, const char *device_id);

// Hands in the outcome of one SNMP collection of a device: `success`
// non-zero for a successful collection, `elapsed_nsec` its response time; a
// failure carries the text noted by icmp_note_snmp_failure.
// The status reaches the registry through the store thread; reports for
// unregistered devices are dropped there. Result of the push (0 queued or
// discarded because the store is not running), -1 no memory. Any thread.
int icmp_push_snmp_latency(const char *device_id, const char *device_ip, int success,
                           uint64_t elapsed_nsec);

// Notes why the calling thread's current SNMP collection failed: the next
// icmp_push_snmp_latency of this thread that reports a failure stores the
// text (cut to 1023 characters) as the device's SNMP failure text, which
// the device's latency records carry. Any report clears the note; null
// clears it.
void icmp_note_snmp_failure(const char *text);

// The text this thread has noted and not yet reported ("" when none).
const char *icmp_noted_snmp_failure(void);

// Builds one latency record for `device_id` and queues it for the collector.
// `latency_ms` < 0 marks a failed ping; `err_text` (may be null) is its
// reason. 0 queued; -1 no stored SNMP status for the device; -2 the record
// could not be built; -4 the collector link refused it (the record is
// dropped).
int icmp_send_data(uint64_t collect_time_nsec, const char *device_id, double latency_ms,
                   const char *err_text);

// One ping of one host with the result on standard output (errors on
// standard error). 0 done (a reply or a time-out); -1 no ping object; -2 the
// host could not be added; -3 the request could not be sent; -4 no raw
// socket could be opened (ICMP not permitted).
int icmp_only(const char *host);

// The endless ping test of the command line: logs everything to standard
// output at trace level, then pings `host` once every three seconds with
// icmp_only. Returns only on failure: 1 when the log preset cannot be made,
// the host cannot be added or no raw socket can be opened.
int icmp_cmd_ping(const char *host);

#endif  // QDR_AGENT_ICMP_H
