// Where the host collectors plug into the agent.
//
// The collection threads (thr_os, thr_package_manager) and the server link
// (thr_dgconn) reach the collectors only through the table g_collect_hooks.
// A member left null means "not built": the thread that would call it
// builds nothing and says so once in the log. The collectors fill the table
// in collect_hooks_install (os/linux/lks_linux.cpp); main calls it before
// any thread starts when the build has the collectors (the build defines
// VOSK_HOST_HAVE_COLLECTORS when that file exists). Tests may fill members
// with their own functions before the threads start.
//
// A collector hands each finished message to the send queue with
// host_queue_message (or a framed packet with add_to_send_buffer); the
// queue owns the packet from then on, sends it while the link is up and
// frees it, or frees it at once while the link is down or the queue full.
//
// Shared facts a collector needs live elsewhere: the configuration
// (get_conf_value_int_for_idx(g_conf_handle, ...), configure.h), the host
// id (host_id_get, hostinfo.h), the stop word g_stop_the_world and the user
// name lock g_username_lock (pub_conf.h).
#ifndef VOSK_HOST_AGENT_COLLECT_HOOKS_H
#define VOSK_HOST_AGENT_COLLECT_HOOKS_H

#include <stddef.h>
#include <stdint.h>

typedef struct {
  // OS layer start-up, on the main thread before the collection threads
  // start: keeps `cpu100` (configuration CPU100), logs the OS identity and
  // reads the boot time. 0, or a negative code (logged by the caller).
  int (*os_init)(int cpu100);
  // One metric cycle on THR_HOST_STAT: CPU, memory, swap, network and disk,
  // queued as 60018, 60012, 60015 and 60013 in that order. `interval_sec`
  // is INTERVAL_METRIC (the divisor of the disk rates). 0 or negative.
  int (*host_stat_cycle)(int interval_sec);
  // One process cycle on THR_PROCESS_LIST: scan, CPU shares and the 60016
  // report. REQUIRES: the caller holds g_username_lock.
  int (*process_list_cycle)(void);
  // Installed packages, queued as 60017. Called on THR_PACKAGE_MANAGER and
  // on THR_DGCONN after each handshake. REQUIRES: the caller holds the
  // package lock (thr_package_manager.h), so two runs never overlap.
  int (*package_cycle)(void);
  // Host system information, queued as 60009 after each handshake
  // (THR_DGCONN).
  int (*system_info_send)(void);
  // The collector's process-limits request: `body`/`length` is the payload
  // of packet 62000 (req_host_process_limits_message); the answer is queued
  // as 62001. Runs on THR_DGCONN. 0, or a negative code when the request
  // cannot be decoded (the link then reconnects).
  int (*process_limits_request)(const uint8_t *body, size_t length);
} collect_hooks_t;

extern collect_hooks_t g_collect_hooks;

// Fills the members the collectors provide. Defined by the collectors.
void collect_hooks_install(collect_hooks_t *hooks);

// Status byte of every report packet.
#define HOST_PKT_STATUS_REPORT 1

// Frames `body` (`length` bytes, may be empty) as one packet of type `code`
// with `status` (flag 4, id 0, body version 19121701) and hands it to the
// send queue. Returns 0 when handed over (the queue then decides: sent, or
// freed while disconnected or full); -1 when the packet cannot be
// allocated. The body stays the caller's in every case. Any thread.
int host_queue_message(uint16_t code, uint8_t status, const void *body, size_t length);

// Takes ownership of `packet` (a whole framed packet of `length` bytes,
// malloc'd): queues it while connected and the queue holds fewer than 2000
// items; otherwise frees it (a full queue also counts one drop). Any thread.
void add_to_send_buffer(uint32_t code, uint8_t *packet, uint64_t length);

#endif  // VOSK_HOST_AGENT_COLLECT_HOOKS_H
