// Network interfaces of the host: the cumulative traffic counters of
// /proc/net/dev for the network report (60015), and the interface
// inventory (index, name, flags, hardware address, MTU, kind, addresses)
// of the system information.
//
// The report buffers belong to the metric thread; the inventory is built
// by its caller's thread into caller-owned memory.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_NET_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_NET_H

#include <ifaddrs.h>
#include <stdint.h>

#define LKS_NET_NAME_SIZE 128
#define LKS_NET_FLAGS_SIZE 256

typedef struct {
  char name[LKS_NET_NAME_SIZE];
  uint64_t rx_bytes, rx_packets, rx_errors, rx_drops, rx_overruns;
  uint64_t tx_bytes, tx_packets, tx_errors, tx_drops, tx_overruns;
} host_net_info_t;

typedef struct {
  int count;
  host_net_info_t *nets;  // owned, file order
} host_net_stat_info_t;

// Parses /proc/net/dev text (lines without ':' are headings). A line with
// fewer than 16 numbers keeps the counters it has and 0 for the rest. 0, or
// -1 when memory is exhausted (out then empty).
int lks_net_parse(const char *text, host_net_stat_info_t *out);
// Reads <root>/proc/net/dev whole. 0, or -1 (out then empty).
int get_host_net_stat(host_net_stat_info_t *out);
void host_net_stat_clear(host_net_stat_info_t *stat);
// Builds and queues the report, then frees it. 0; -1 when it cannot be
// built; -2 when not handed over.
int send_host_net_stat(host_net_stat_info_t *stat);
void lks_net_release(void);

typedef struct {
  int32_t family;  // 4 or 6
  uint8_t addr[16];
  uint8_t netmask[16];
  uint8_t broadcast[16];
  uint8_t destination[16];
} lks_ip_addr_t;

enum { LKS_IF_KIND_LOOPBACK = 1, LKS_IF_KIND_VIRTUAL = 2, LKS_IF_KIND_PHYSICAL = 3 };

typedef struct {
  uint32_t index;  // first member: the map key
  char name[LKS_NET_NAME_SIZE];
  int32_t kind;
  char flags[LKS_NET_FLAGS_SIZE];
  uint8_t mac[6];  // zero when the interface has no hardware address
  int32_t mtu;     // 0 when unreadable
  int addr_count;
  lks_ip_addr_t *addrs;  // owned
} host_if_info_t;

typedef struct {
  int count;
  host_if_info_t *ifs;  // owned
} host_if_list_t;

// The comma-separated words of interface flags ("UP,BROADCAST,...").
void lks_if_flags_text(unsigned flags, char *out, size_t size);

// Builds the inventory from an interface-address list; `index_of` maps a
// name to its interface index (if_nametoindex on the live host). Kind:
// loopback flag 1; a name listed in <root>/sys/devices/virtual/net 2; else 3.
// MTU from <root>/sys/class/net/<name>/mtu. 0, or -1 when memory is
// exhausted (out then empty).
int lks_net_info_build(const struct ifaddrs *list, unsigned (*index_of)(const char *name),
                       host_if_list_t *out);
// The inventory of the live host (getifaddrs). 0, or -1 when the list cannot
// be read or memory is exhausted.
int get_host_net_info(host_if_list_t *out);
void host_if_list_clear(host_if_list_t *list);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_NET_H
