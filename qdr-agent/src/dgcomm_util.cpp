#include "dgcomm_util.h"

#include "dgcomm.h"
#include "vklog.h"

size_t dg_agent_info_workspace_size(size_t ip_count, size_t mac_count) {
  size_t sum = DG_AGENT_INFO_BASE_SIZE + DG_AGENT_INFO_IP_ITEM_SIZE * ip_count +
               DG_AGENT_INFO_MAC_ITEM_SIZE * mac_count;
  return (sum / 128 + 1) * 128;
}

#ifndef DG_HAVE_MESSAGES
// The message code is not generated yet: nothing can be sent.
int send_agent_info(void) { return -1; }
int send_packet_result(const char *, int, const char *) { return -1; }
int send_request_command(const char *) { return -1; }
int send_request_collect_event(const char *) { return -1; }
int send_discovery_device(const char *, snmp_info *) { return -1; }
#endif
