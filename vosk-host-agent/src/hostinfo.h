// Host identity of the agent: the host id the collector assigns (kept in
// memory and in "<home>/data/host_id") and the facts the agent announces
// itself with (host name, OS version, processor counts, addresses).
//
// The host id is written by the server-link thread and read by every
// collector (host_id_get), under this module's lock. The announced facts
// are gathered by initialize_agent_info on the server-link thread before
// its first handshake; the address lists are read again before every
// handshake (refresh_agent_addresses). Only that thread touches them.
#ifndef VOSK_HOST_AGENT_HOSTINFO_H
#define VOSK_HOST_AGENT_HOSTINFO_H

#include <stddef.h>

#include "vk_osinfo.h"

// The id holds at most this many characters.
#define HOST_ID_LEN 36

// Copies the current host id (empty until known) into `buffer`. Returns
// its length, or -1 for a null buffer or size 0.
int host_id_get(char *buffer, size_t size);
// Replaces the host id with the first HOST_ID_LEN characters of `id`.
void host_id_set(const char *id);

// Reads the stored id: first line of "<home>/data/host_id" (at most 39
// characters read), first HOST_ID_LEN characters kept, blanks trimmed, into
// `id` (size > HOST_ID_LEN). Returns its length (0 when the file is absent
// or empty), -1 for a bad argument.
int get_host_agent_id(char *id, size_t size);

// Writes "<id>\n" to "<home>/data/host_id.tmp" and renames it over the
// file. 0, or -4 when the temporary file cannot be written.
int store_host_agent_id(const char *id);

typedef struct {
  char hostname[VK_OS_INFO_FIELD_SIZE];
  char machine_id[VK_OS_INFO_FIELD_SIZE];
  char os_version[VK_OS_INFO_FIELD_SIZE];
  int cpu_physical_count;
  int cpu_logical_count;
  vk_ip_list ip_list;
  vk_mac_list mac_list;
} host_agent_info_t;

// Gathers the announced facts once (later calls do nothing); failures are
// logged and leave the fact empty. Returns the record (never null).
const host_agent_info_t *initialize_agent_info(void);

// Reads the host's address and MAC lists again, so that an interface or
// address added since the last connection is announced. 0, or the negative
// result of get_address_info (logged; the lists are then empty).
// REQUIRES: the server-link thread (or no other thread using the record).
int refresh_agent_addresses(void);

#endif  // VOSK_HOST_AGENT_HOSTINFO_H
