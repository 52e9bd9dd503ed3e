// Host identity and the interface address lists.
//
// Owns the module's host identity storage: host name and kernel release
// (from uname), the machine id (never filled: always empty) and the logical
// and physical processor counts. init_os_info and init_cpu_core write it
// once at start-up on the main thread, before other threads read it with the
// get_os_info_* functions.
//
// get_address_info builds caller-owned lists of the host's IPv4/IPv6
// addresses and MAC addresses; the caller frees them with vk_ip_list_clear /
// vk_mac_list_clear. Address functions are safe from any thread. Nothing
// here logs: failures are results plus an errno in the caller's variable.
#ifndef COMMON_INTERNAL_VK_OSINFO_H
#define COMMON_INTERNAL_VK_OSINFO_H

#include <stddef.h>
#include <stdint.h>

// Width of the stored host identity fields (terminator included).
#define VK_OS_INFO_FIELD_SIZE 256
#define VK_MAC_NAME_SIZE 41
#define VK_MAC_LEN 6
#define VK_IP_LEN_MAX 16

typedef struct vk_ip_struct {
  uint16_t version;           // 4 or 6
  int ip_len;                 // 4 or 16
  uint8_t ip[VK_IP_LEN_MAX];  // network byte order
  struct vk_ip_struct *next;
} vk_ip_struct;

typedef struct vk_ip_list {
  uint16_t count;
  vk_ip_struct *list;  // first record
} vk_ip_list;

typedef struct vk_mac_struct {
  char name[VK_MAC_NAME_SIZE];  // left empty
  uint8_t mac[VK_MAC_LEN];
  struct vk_mac_struct *next;
} vk_mac_struct;

typedef struct vk_mac_list {
  uint16_t count;
  vk_mac_struct *list;  // first record
} vk_mac_list;

// Reads uname and stores the node name and the kernel release. 0, or -1 when
// uname fails (the stored fields are then left as they were).
int init_os_info(void);

// Copy the stored host name / OS version / machine id into `buffer`: at most
// size - 1 bytes (and never more than the field holds), always terminated.
// Return the length copied, or -1 for a null buffer or size 0.
int get_os_info_hostname(char *buffer, size_t size);
int get_os_info_os_version(char *buffer, size_t size);
int get_os_info_machine_id(char *buffer, size_t size);

// Logical count = online processors; physical count = distinct "physical id"
// values of /proc/cpuinfo. Stores both and returns 0; otherwise returns the
// first negative result unchanged (-1 when the online count is unknown; the
// results of get_physical_cpu_count), with *err (if given) set to errno.
int init_cpu_core(int *err);

// The stored counts (0 until init_cpu_core has run).
int get_os_info_logical_cpu_count(void);
int get_os_info_physical_cpu_count(void);

// Counts the distinct "physical id" values of a cpuinfo-format file (processor
// packages), reading until `logical_count` distinct ids were seen. Returns the
// count (0 for a file without such lines; 1 at once for logical_count 1);
// -10 when the file cannot be opened and -20 when memory is exhausted, with
// *err (if given) = errno; -30 for a null path or logical_count < 1.
int get_physical_cpu_count(const char *path, int logical_count, int *err);

// Appends a record per interface address of the host, in the system's order,
// loopback included: IPv4 and IPv6 addresses to `ip_list`, hardware
// addresses (first 6 bytes at most) to `mac_list`. The lists must be empty
// or zeroed, or hold earlier records (new ones go behind them); either list
// may be null to skip that kind. A list stops growing at 65535 records.
// Returns 0; -1 when the interface list cannot be read; -3 / -4 / -5 when an
// IPv4 / IPv6 / MAC record cannot be allocated (records appended so far
// stay). On failure *err (if given) = errno.
int get_address_info(vk_ip_list *ip_list, vk_mac_list *mac_list, int *err);

// Free every record of a list and zero it. Safe on a zeroed list and twice.
void vk_ip_list_clear(vk_ip_list *list);
void vk_mac_list_clear(vk_mac_list *list);

#endif  // COMMON_INTERNAL_VK_OSINFO_H
