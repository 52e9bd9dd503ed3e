#include "hostinfo.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string_view>

#include "pub_conf.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

std::mutex s_id_lock;
char s_host_id[HOST_ID_LEN + 1];  // guarded by s_id_lock

std::once_flag s_info_once;
host_agent_info_t s_info;

void gather_info() {
  if (init_os_info() != 0)
    VKLOG(g_vklog, VL_ERROR, "[initialize_agent_info] init_os_info failed (%d)\n", errno);
  get_os_info_hostname(s_info.hostname, sizeof(s_info.hostname));
  get_os_info_os_version(s_info.os_version, sizeof(s_info.os_version));
  get_os_info_machine_id(s_info.machine_id, sizeof(s_info.machine_id));
  int err = 0;
  int ret = init_cpu_core(&err);
  if (ret != 0)
    VKLOG(g_vklog, VL_ERROR, "[initialize_agent_info] init_cpu_core failed (%d:%d)\n", ret, err);
  s_info.cpu_logical_count = get_os_info_logical_cpu_count();
  s_info.cpu_physical_count = get_os_info_physical_cpu_count();
  refresh_agent_addresses();
}

}  // namespace

int host_id_get(char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  std::lock_guard<std::mutex> g(s_id_lock);
  size_t n = strnlen(s_host_id, size - 1);
  memcpy(buffer, s_host_id, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

void host_id_set(const char *id) {
  std::string_view v(id != nullptr ? id : "");
  v = v.substr(0, HOST_ID_LEN);
  std::lock_guard<std::mutex> g(s_id_lock);
  memcpy(s_host_id, v.data(), v.size());
  s_host_id[v.size()] = '\0';
}

int get_host_agent_id(char *id, size_t size) {
  if (id == nullptr || size <= HOST_ID_LEN) return -1;
  id[0] = '\0';
  char path[HOST_PATH_SIZE];
  if (host_data_path(path, sizeof(path), HOST_ID_FILE) != 0) return 0;
  FILE *fp = fopen(path, "r");
  if (fp == nullptr) return 0;
  char line[40] = {0};
  if (fgets(line, sizeof(line), fp) == nullptr) line[0] = '\0';
  fclose(fp);
  line[strcspn(line, "\r\n")] = '\0';
  line[HOST_ID_LEN] = '\0';
  vk_trim(line, strlen(line));
  memcpy(id, line, strlen(line) + 1);
  if (id[0] != '\0')
    VKLOG(g_vklog, VL_INFO, "[get_host_agent_id] get host agent existed ID [%s]\n", id);
  return static_cast<int>(strlen(id));
}

int store_host_agent_id(const char *id) {
  char path[HOST_PATH_SIZE], tmp[HOST_PATH_SIZE + 8];
  if (id == nullptr || host_data_path(path, sizeof(path), HOST_ID_FILE) != 0) return -4;
  snprintf(tmp, sizeof(tmp), "%s.tmp", path);
  FILE *fp = fopen(tmp, "w");
  if (fp == nullptr) return -4;
  bool ok = fprintf(fp, "%s\n", id) > 0;
  if (fclose(fp) != 0) ok = false;
  if (!ok || rename(tmp, path) != 0) {
    unlink(tmp);
    return -4;
  }
  return 0;
}

int refresh_agent_addresses(void) {
  vk_ip_list_clear(&s_info.ip_list);
  vk_mac_list_clear(&s_info.mac_list);
  int err = 0;
  int ret = get_address_info(&s_info.ip_list, &s_info.mac_list, &err);
  if (ret != 0) {
    VKLOG(g_vklog, VL_ERROR, "[initialize_agent_info] get_address_info failed (%d:%d)\n", ret, err);
    vk_ip_list_clear(&s_info.ip_list);
    vk_mac_list_clear(&s_info.mac_list);
  }
  return ret;
}

const host_agent_info_t *initialize_agent_info(void) {
  std::call_once(s_info_once, gather_info);
  return &s_info;
}
