// Helpers every collection uses: the SNMP request of an OID pack (with the
// calling thread's failure text and quiet flag), the text of a variable's
// value, and the hand-off of an encoded message to the collector link.
//
// Owns two thread-local values of the calling collect thread: whether its
// failures are logged quietly (a device known not to answer) and why its
// last pack request failed. Threads: any collect thread, any number at once.
#ifndef QDR_AGENT_COLLECT_UTIL_H
#define QDR_AGENT_COLLECT_UTIL_H

#include <stddef.h>
#include <stdint.h>

#include "collect_event.h"
#include "collect_oid.h"
#include "mlist.h"
#include "snmp_manager.h"

// Room for the failure text of one request.
#define COLT_FAILURE_TEXT_SIZE 1024

// Sets whether the calling thread's request failures are logged at debug
// level instead of as errors (for the session manager as well), for a
// device already known not to answer.
void colt_set_thread_quiet(bool quiet);

// Forgets the calling thread's last failure text.
void colt_reset_request_failure(void);

// Why the calling thread's last colt_request_from_oid_pack failed since
// colt_reset_request_failure; empty when it did not. Valid until the
// thread's next request.
const char *colt_request_failure(void);

// Adds one response entry per OID of the pack's live list to `list` (an
// initialised response list), resets `err` and sends the list with the
// pack's request type. With a sink the answers go to it as they arrive
// (sm_request_multiple_to) instead of into the entries. Returns 0; -2 when
// the request failed (`err` and colt_request_failure say why; entries or
// sink keep what was collected).
int colt_request_from_oid_pack(mlist_t *list, int req_max_repetitions, void *session_fd,
                               oid_pack *pack, snmp_session_error *err, const sm_var_sink *sink);

// Encodes `msg` with `encode` into a new packet of `type` with `payload`
// bytes of room and queues it on the collector link. Returns 0 (the queue
// owns the packet); -1 the packet cannot be made or the message does not
// encode (logged); -3 the queue refused it (logged as "[func]
// add_packet_to_dgcomm() has failed.", packet freed).
typedef int (*colt_encode_fn)(const void *msg, void *out, size_t size);
int colt_queue_message(const char *func, uint16_t type, size_t payload, colt_encode_fn encode,
                       const void *msg);

// Formats a variable's value into `value` (value_size bytes, not grown);
// *out_len (if given) gets the length. Returns the formatter's result
// (non-zero on success), or -1 for a null variable or buffer.
int colt_get_vars_value_to_string(const netsnmp_variable_list *vars, char *value, size_t value_size,
                                  size_t *out_len);

#endif  // QDR_AGENT_COLLECT_UTIL_H
