// Host facts and the agent identity shared by the whole network agent.
//
// common_init() fills the host facts once, on the main thread, before any
// other thread starts; afterwards they are only read (by the agent
// information message). g_agent_id is written by the collector link's
// DG_Comm thread when the collector assigns an id.
#ifndef QDR_AGENT_COMMON_H
#define QDR_AGENT_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "vk_osinfo.h"

#define COMMON_HOST_FACT_SIZE 128
#define COMMON_AGENT_ID_SIZE 128

extern char g_hostname[COMMON_HOST_FACT_SIZE];
extern size_t g_hostname_length;
extern char g_os_version[COMMON_HOST_FACT_SIZE];
extern size_t g_os_version_length;
extern char g_machine_id[COMMON_HOST_FACT_SIZE];
extern size_t g_machine_id_length;
extern int g_cpu_logical_count;
extern int g_cpu_physical_count;
extern vk_ip_list g_ip_list;
extern vk_mac_list g_mac_list;
extern char g_agent_id[COMMON_AGENT_ID_SIZE];

// Gathers the host facts (host name, OS version, machine id, processor
// counts) and the interface address lists, then sets the packet header
// version to 2. Returns 0, or -1 when the address lists cannot be read
// (logged; the other facts are kept and start-up continues).
int common_init(void);

// Copies at most `len` bytes of `id` (and never more than fits with its
// terminator) into g_agent_id.
void common_set_agent_id(const char *id, size_t len);

#endif  // QDR_AGENT_COMMON_H
