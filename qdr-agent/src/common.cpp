#include "common.h"

#include <string.h>

#include "vk_comm.h"
#include "vklog.h"

char g_hostname[COMMON_HOST_FACT_SIZE];
size_t g_hostname_length;
char g_os_version[COMMON_HOST_FACT_SIZE];
size_t g_os_version_length;
char g_machine_id[COMMON_HOST_FACT_SIZE];
size_t g_machine_id_length;
int g_cpu_logical_count;
int g_cpu_physical_count;
vk_ip_list g_ip_list;
vk_mac_list g_mac_list;
char g_agent_id[COMMON_AGENT_ID_SIZE];

int common_init(void) {
  init_os_info();
  get_os_info_hostname(g_hostname, sizeof(g_hostname));
  g_hostname[sizeof(g_hostname) - 1] = '\0';
  g_hostname_length = strlen(g_hostname);
  get_os_info_os_version(g_os_version, sizeof(g_os_version));
  g_os_version[sizeof(g_os_version) - 1] = '\0';
  g_os_version_length = strlen(g_os_version);
  get_os_info_machine_id(g_machine_id, sizeof(g_machine_id));
  g_machine_id[sizeof(g_machine_id) - 1] = '\0';
  g_machine_id_length = strlen(g_machine_id);

  int err = 0;
  init_cpu_core(&err);
  g_cpu_logical_count = get_os_info_logical_cpu_count();
  g_cpu_physical_count = get_os_info_physical_cpu_count();

  if (get_address_info(&g_ip_list, &g_mac_list, &err) != 0) {
    VKLOG(g_vklog, VL_ERROR, "get_address_info() has failed.\n");
    return -1;
  }
  set_nio_header_version(2);
  return 0;
}

void common_set_agent_id(const char *id, size_t len) {
  if (id == nullptr) return;
  // The id field keeps its terminator: a longer id is cut.
  size_t n = strnlen(id, len);
  if (n > sizeof(g_agent_id) - 1) n = sizeof(g_agent_id) - 1;
  memcpy(g_agent_id, id, n);
  g_agent_id[n] = '\0';
  VKLOG(g_vklog, VL_TRACE, "[common_set_agent_id] set agent id(%lu): %s\n",
        static_cast<unsigned long>(n), g_agent_id);
}
