// SNMP trap receiver and forwarding: decodes SNMPv1 traps, SNMPv2c traps and
// informs with the SNMP library, renders their variable bindings into one
// text line and forwards every trap at once, one message (packet 54105) per
// trap, through the event buffer (event_buffer.h), which holds them while
// the collector link is down. Informs are answered with their Response and
// forwarded once; SNMPv3 messages and PDUs other than traps and informs
// are refused. The receivers and the registered devices stay through a
// reconnect (snmp_trap_link_lost); the device list that follows it
// replaces the registrations.
//
// It runs on the UDP server framework (service "snmp_trap", one receiver
// thread). The sender is looked up in the "snmptrap" target registry; a trap
// from an address that is not registered (or while the registry is not
// active) is forwarded with the device id "unknown id".
//
// Threads and shutdown:
// - receiver threads "snmp_trap_<i>" call snmp_trap_work, which decodes,
//   answers an inform, renders, encodes and queues each trap before reading
//   the next datagram; they share the registry (its read lock), the ring of
//   recent informs (inform_lock) and the event buffer (its lock);
// - "snmptrap_main" starts the receivers 3 seconds after the first
//   activation, lets the event buffer drain once a second and logs
//   statistics every 5 seconds.
// snmp_trap_shutdown (the end of the process, not a lost link) deactivates
// the registry, stops the main thread (the process ends when it does not
// stop in time), then the receivers (5-second limit), and removes the
// targets.
//
// Rendering depends on the SNMP library's output settings made at start-up
// (sm_set_library_output_options): bare values, numeric time ticks and
// numeric object identifiers with a leading dot.
//
// Log categories: "snmp_trap" (the main log when the configuration has no
// such section) and "snmp_trap-dump" (looked up; nothing is written to it).
#ifndef QDR_AGENT_SNMP_TRAP_H
#define QDR_AGENT_SNMP_TRAP_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

#include "udp_server.h"
#include "vklog.h"

#define SNMP_TRAP_IP_SIZE 40
#define SNMP_TRAP_OID_SIZE 512
#define SNMP_TRAP_TRAP_OID_SIZE 128
#define SNMP_TRAP_COMMUNITY_SIZE 256
#define SNMP_TRAP_VALUE_SIZE 2048
// Work buffer of one rendered value: room for the hex form of the longest
// OCTET STRING taken (SNMP_TRAP_VALUE_SIZE - 1 bytes, three characters each).
#define SNMP_TRAP_RENDER_SIZE (3 * SNMP_TRAP_VALUE_SIZE)
#define SNMP_TRAP_NAME_OID_SIZE 1024
// Largest rendered message forwarded (after quotes are doubled); it keeps a
// trap's message with its other fields within one 65535-byte packet.
#define SNMP_TRAP_MESSAGE_LIMIT 64000
#define SNMP_TRAP_PACKET_SIZE 65535
#define SNMP_TRAP_RECEIVER_THREADS 1
#define SNMP_TRAP_ONLY_RECEIVER_THREADS 3
#define SNMP_TRAP_UNKNOWN_ID "unknown id"
#define SNMP_TRAP_TYPE_NONE 0xFFFFFFFFu
// A sender that missed our answer sends its inform again with the same
// request id (the tools retry for some seconds): repeats are remembered
// this long, for this many informs.
#define SNMP_TRAP_INFORM_MEMORY_MSEC 120000
#define SNMP_TRAP_INFORM_MEMORY_COUNT 256
// snmp_trap_work's result for an inform already forwarded.
#define SNMP_TRAP_REPEATED_INFORM 1

// Results of snmp_trap_decode / snmp_trap_work.
enum {
  SNMP_TRAP_ERR_PDU = -1,        // no PDU could be created
  SNMP_TRAP_ERR_COMMUNITY = -2,  // bad framing, bad community or not v1/v2c (SNMPv3)
  SNMP_TRAP_ERR_PARSE = -3,      // the PDU could not be parsed
  SNMP_TRAP_ERR_NOT_TRAP = -4,   // a PDU other than a trap or an inform
};

// Results of snmp_trap_send_data.
enum {
  SNMP_TRAP_ERR_MESSAGE = -1,  // the message could not be made
  SNMP_TRAP_ERR_ENCODE = -2,   // packet allocation or encoding failed
  SNMP_TRAP_ERR_REFUSED = -3,  // the collector link refused the packet
};

// One decoded trap.
typedef struct snmp_trap_data {
  char received_ip[SNMP_TRAP_IP_SIZE];      // UDP sender
  int snmp_version;                         // 0 v1, 1 v2c
  uint64_t uptime;                          // hundredths of a second; 0 if absent
  char enterprise_oid[SNMP_TRAP_OID_SIZE];  // v1: the PDU's; v2c: snmpTrapOID.0
  uint32_t index;                           // always 0
  uint32_t generic_trap_type;               // v2c: SNMP_TRAP_TYPE_NONE
  uint32_t specific_trap_code;              // v2c: SNMP_TRAP_TYPE_NONE
  char trap_oid[SNMP_TRAP_TRAP_OID_SIZE];   // always empty
  char *message;                            // rendered bindings, owned (malloc), may be null
  uint64_t collect_time;                    // ns since the epoch, real-time clock
  int is_inform;                            // 1 for an inform
  long request_id;                          // of an inform
  uint8_t *response;  // an inform's Response message, owned (malloc), may be null
  size_t response_len;
} snmp_trap_data_t;

typedef struct snmp_trap_service {
  int initialized;                      // 1 after snmp_trap_init; main thread only
  vklog_t *log;                         // "snmp_trap", or the main log
  vklog_t *log_dump;                    // "snmp_trap-dump", may be null
  std::atomic<int> thread_status;       // "snmptrap_main", TARGET_SERVICE_*
  udp_server_manager_t *server;         // receivers of the agent
  udp_server_manager_t *only_server;    // receivers of the trap-only mode
  std::atomic<uint32_t> forwarded;      // traps handed to the collector link
  std::atomic<uint32_t> answered;       // informs answered
  std::atomic<uint32_t> dropped;        // datagrams that were not a usable trap
  std::atomic<int> registrations_kept;  // 1 from a link loss to the next registration
  // Informs seen lately, a ring: guarded by inform_lock.
  std::mutex inform_lock;
  struct {
    char ip[SNMP_TRAP_IP_SIZE];
    uint16_t port;
    long request_id;
    uint64_t seen_msec;  // monotonic; 0 for an empty slot
  } informs[SNMP_TRAP_INFORM_MEMORY_COUNT];
  size_t inform_next;
} snmp_trap_service_t;

extern snmp_trap_service_t g_snmp_trap;

// Decodes one datagram from `ip`: framing, version (v1 and v2c only),
// community, PDU (a v1 trap in a v1 message, a v2 trap or an inform in a
// v2c message; any other PDU gives SNMP_TRAP_ERR_NOT_TRAP), then the
// bindings (see snmp_trap_pdu_parser). For an inform, `response` holds the
// Response message to send back (null when it could not be made). Returns
// 0 with *out filled (free with snmp_trap_data_clear); else a
// SNMP_TRAP_ERR_* code and *out holds nothing to free.
int snmp_trap_decode(const char *ip, const uint8_t *data, size_t len, snmp_trap_data_t *out);

// Makes the Response message answering the inform `msg` (of `len` framed
// bytes, its PDU starting at `pdu_at`): the same message with a Response
// PDU tag and error-status and error-index 0. Returns 0 with *out (malloc,
// the caller frees it) and *out_len set; -1 when `msg` is not an inform
// with readable request-id and error fields; -2 when memory runs out. On
// failure *out is null.
int snmp_trap_inform_response(const uint8_t *msg, size_t len, size_t pdu_at, uint8_t **out,
                              size_t *out_len);

// Frees the message and the inform answer of a decoded trap; safe to call
// twice.
void snmp_trap_data_clear(snmp_trap_data_t *trap);

// Renders an OCTET STRING value into `out` (of `out_size` bytes,
// terminated). A value that is UTF-8 text (well-formed, no control
// characters but tab, line feed and carriage return; trailing NUL bytes
// ignored) is copied as it is; any other value is written as hex, two
// upper-case digits a byte separated by spaces ("00 1A 2B"), as the SNMP
// tools print raw bytes. Returns the length written; -1 when it does not
// fit (out then holds an empty text).
int snmp_trap_render_octets(const uint8_t *value, size_t len, char *out, size_t out_size);

// Finishes a rendered message into `out` (of `out_size` bytes, terminated):
// keeps bytes 32..126 and whole well-formed UTF-8 characters, cuts the text
// at the first other byte (control characters, 127, broken UTF-8), and
// doubles every single quote. The result is always valid UTF-8. Nothing is
// cut to make room for the doubled quotes; only `out_size` bounds the
// result, and then never inside a doubled quote or a character. Returns the
// length written.
size_t snmp_trap_escape_message(const char *in, size_t in_len, char *out, size_t out_size);

// Encodes one trap for `device_id` and queues it on the collector link.
// Returns 0 or a SNMP_TRAP_ERR_MESSAGE/ENCODE/REFUSED code.
int snmp_trap_send_data(const char *device_id, const snmp_trap_data_t *trap);

// Looks up the log categories, initialises the "snmptrap" registry and
// creates the receiver service on g_agent_config.snmptrap_port. A second
// call changes nothing. Returns 0; -12 when the service cannot be created.
int snmp_trap_init(void);

// Activates the registry and starts "snmptrap_main". Returns 0 (also when
// already running: no second thread is started); -1 before snmp_trap_init.
int snmp_trap_startup(void);

// Stops what snmp_trap_startup started. Returns 0; ends the process with
// status 2 when the main thread does not stop in time.
int snmp_trap_shutdown(int timeout_sec);

// The collector link was lost: everything keeps running, and the targets
// stay registered until the first registration that follows, which
// replaces them all (the next device list). Main thread or DG_Comm.
void snmp_trap_link_lost(void);

// Registers a device for traps (replacing the kept targets first, see
// snmp_trap_link_lost); the registry's result.
int snmp_trap_target_device_add_by_ip(const char *ip, const char *id);

// Receive callback: decodes and forwards one datagram. An inform is
// answered with its Response through `sock` to `peer` (when both are
// given), and forwarded once: a repeat of the same inform (sender address,
// port and request id) within SNMP_TRAP_INFORM_MEMORY_MSEC is answered
// again but not forwarded. Returns 0 when forwarded (or refused by the
// link) and SNMP_TRAP_REPEATED_INFORM for a repeat; else a SNMP_TRAP_ERR_*
// code, the datagram dropped with one log line naming the sender.
int snmp_trap_work(int sock, const char *ip, const char *data, size_t len, const udp_peer_t *peer);

// Trap-only mode: snmp_trap_init, then a second receiver service on `port`
// with 3 receivers (at most one per processor) started at once. Returns 0;
// 1 when a service cannot be created; 2 when no receiver could bind the
// port (the receivers are stopped again; the bind error went to the log
// and to standard error).
int snmp_trap_only(uint16_t port);

// Stops the trap-only receivers (5-second limit) and frees them. Returns 0,
// -1 on time-out.
int snmp_trap_only_shutdown(void);

// Names for log lines: PDU commands and v1 generic trap types.
const char *snmp_trap_command_name(int command);
const char *snmp_trap_generic_name(long generic);

#endif  // QDR_AGENT_SNMP_TRAP_H
