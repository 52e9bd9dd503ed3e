// vklog_comm: the UDP socket of each category's remote (vklogger) output.
//
// Works on the vklog_output_vklogger_t embedded in each handle: its socket,
// connection state and send counters, all guarded by the record's own lock.
// Sends are made by any logging thread; open, close and reconfiguration by
// the thread that applies configurations. Sending never blocks: a datagram
// that the socket cannot take at once is counted as a send error.
#ifndef VKLOG_VKLOG_COMM_H
#define VKLOG_VKLOG_COMM_H

#include <stddef.h>

#include "vklog.h"

// Opens the UDP/IPv4 socket (send buffer raised to at least 65535 bytes).
// 0; -1 when a socket exists already; -2 when it cannot be created
// (errno in output->err_no, is_connect 0). REQUIRES: output->lock held.
int vl_vklogger_socket_open(vklog_output_vklogger_t *output);

// Clears is_connect, shuts the socket down and closes it (sock becomes -1).
// 0, or -1 when there was no socket. REQUIRES: output->lock held.
int vl_vklogger_socket_close(vklog_output_vklogger_t *output);

// Connects the socket to `ip`:`port`. An empty or null `ip` does nothing and
// returns 0. Otherwise is_connect is cleared first; -3 when `ip` is not an
// IPv4 address, -4 when the parser fails, -5 when connect fails (or there is
// no socket); 0 and is_connect 1 on success. REQUIRES: output->lock held.
int vl_vklogger_connect(vklog_output_vklogger_t *output, const char *ip, uint16_t port);

// Set-up of a new category: initialises the lock and, when `config` outputs
// to vklogger, opens the socket and connects it to the configured address.
// 0; -1 when the socket cannot be opened (err_no kept); -3 when it cannot be
// connected; -5 when the lock cannot be initialised.
// REQUIRES: `output` is zeroed except sock == -1.
int vl_output_vklogger_init_from_config(vklog_output_vklogger_t *output,
                                        const vklog_config_t *config);

// Reconfigures the socket when a category changes from `old_config` to
// `new_config`: opens or closes it as the vklogger output bit requires, and
// reconnects when the address or port changed (an empty new address only
// marks it unconnected). 0; -1 close failed; -2 open failed; -3 connect
// failed.
int vl_apply_config_to_vklogger(vklog_output_vklogger_t *output, const vklog_config_t *old_config,
                                const vklog_config_t *new_config);

// Sends one datagram of `length` bytes. 0 when it was handed to the socket or
// the send failed (counted in perf_data); -2 when there is no socket; -3 when
// it is not connected.
int vl_va_log_send_to_vklogger(vklog_output_vklogger_t *output, const char *buffer, size_t length);

// Closes the socket and destroys the lock. For the test reset only:
// REQUIRES no other thread uses `output`.
void vl_output_vklogger_clear(vklog_output_vklogger_t *output);

#endif  // VKLOG_VKLOG_COMM_H
