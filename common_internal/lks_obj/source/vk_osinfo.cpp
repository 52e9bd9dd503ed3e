#include "vk_osinfo.h"

#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <string_view>

namespace {

// Host identity, written once at start-up before other threads read it.
struct os_info_state {
  char hostname[VK_OS_INFO_FIELD_SIZE];
  char osVersion[VK_OS_INFO_FIELD_SIZE];
  char machineId[VK_OS_INFO_FIELD_SIZE];  // nothing fills it
  int g_logical_cpu_count;
  int g_physical_cpu_count;
};

os_info_state g_os_info;

constexpr uint16_t kListMax = UINT16_MAX;

// Copies a NUL-terminated field of VK_OS_INFO_FIELD_SIZE bytes: at most
// size - 1 bytes, never past the field's terminator.
int copy_out(const char *field, char *buffer, size_t size) {
  if (buffer == nullptr || size == 0) return -1;
  size_t len = strnlen(field, VK_OS_INFO_FIELD_SIZE - 1);
  if (len > size - 1) len = size - 1;
  memcpy(buffer, field, len);
  buffer[len] = '\0';
  return static_cast<int>(len);
}

void set_field(char *field, const char *value) {
  size_t len = strnlen(value, VK_OS_INFO_FIELD_SIZE - 1);
  memset(field, 0, VK_OS_INFO_FIELD_SIZE);
  memcpy(field, value, len);
}

void set_err(int *err, int value) {
  if (err != nullptr) *err = value;
}

// Reads the id of a "physical id : N" line; false when there is none.
bool parse_physical_id(std::string_view line, long *id) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view rest = line.substr(colon + 1);
  size_t start = rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return false;
  rest = rest.substr(start);
  rest = rest.substr(0, rest.find_first_of(" \t\r\n"));
  if (rest.empty()) return false;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), *id);
  return ec == std::errc() && end == rest.data() + rest.size();
}

}  // namespace

int init_os_info(void) {
  struct utsname un;
  if (uname(&un) != 0) return -1;
  set_field(g_os_info.hostname, un.nodename);
  set_field(g_os_info.osVersion, un.release);
  return 0;
}

int get_os_info_hostname(char *buffer, size_t size) {
  return copy_out(g_os_info.hostname, buffer, size);
}

int get_os_info_os_version(char *buffer, size_t size) {
  return copy_out(g_os_info.osVersion, buffer, size);
}

int get_os_info_machine_id(char *buffer, size_t size) {
  return copy_out(g_os_info.machineId, buffer, size);
}

int init_cpu_core(int *err) {
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online < 1) {
    set_err(err, errno);
    return -1;
  }
  int logical = online > INT32_MAX ? INT32_MAX : static_cast<int>(online);
  int physical = get_physical_cpu_count("/proc/cpuinfo", logical, err);
  if (physical < 0) return physical;
  g_os_info.g_logical_cpu_count = logical;
  g_os_info.g_physical_cpu_count = physical;
  return 0;
}

int get_os_info_logical_cpu_count(void) {
  return g_os_info.g_logical_cpu_count;
}
int get_os_info_physical_cpu_count(void) {
  return g_os_info.g_physical_cpu_count;
}

int get_physical_cpu_count(const char *path, int logical_count, int *err) {
  if (path == nullptr || logical_count < 1) return -30;
  if (logical_count == 1) return 1;
  FILE *fp = fopen(path, "r");
  if (fp == nullptr) {
    set_err(err, errno);
    return -10;
  }
  long *ids = static_cast<long *>(malloc(sizeof(long) * static_cast<size_t>(logical_count)));
  if (ids == nullptr) {
    set_err(err, errno);
    fclose(fp);
    return -20;
  }
  int found = 0;
  char line[256];  // 254 characters, the line feed and the terminator
  bool at_line_start = true;
  while (found < logical_count && fgets(line, sizeof(line), fp) != nullptr) {
    std::string_view text(line);
    // Only the first piece of an over-long line is a line of its own.
    bool line_start = at_line_start;
    at_line_start = !text.empty() && text.back() == '\n';
    if (!line_start || text.substr(0, 9) != "physical ") continue;
    long id;
    if (!parse_physical_id(text, &id)) continue;
    bool seen = false;
    for (int i = 0; i < found && !seen; i++) seen = ids[i] == id;
    // `found` never reaches past the array: the loop ends at logical_count.
    if (!seen) ids[found++] = id;
  }
  free(ids);
  fclose(fp);
  return found;
}

int get_address_info(vk_ip_list *ip_list, vk_mac_list *mac_list, int *err) {
  struct ifaddrs *all = nullptr;
  if (getifaddrs(&all) != 0) {
    set_err(err, errno);
    return -1;
  }
  // New records go behind those the lists already hold.
  vk_ip_struct **ip_tail = ip_list != nullptr ? &ip_list->list : nullptr;
  while (ip_tail != nullptr && *ip_tail != nullptr) ip_tail = &(*ip_tail)->next;
  vk_mac_struct **mac_tail = mac_list != nullptr ? &mac_list->list : nullptr;
  while (mac_tail != nullptr && *mac_tail != nullptr) mac_tail = &(*mac_tail)->next;
  int rc = 0;
  for (struct ifaddrs *ifa = all; ifa != nullptr && rc == 0; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr) continue;
    int family = ifa->ifa_addr->sa_family;
    if (family == AF_INET || family == AF_INET6) {
      if (ip_list == nullptr || ip_list->count == kListMax) continue;
      vk_ip_struct *rec = static_cast<vk_ip_struct *>(calloc(1, sizeof(vk_ip_struct)));
      if (rec == nullptr) {
        set_err(err, errno);
        rc = family == AF_INET ? -3 : -4;
        break;
      }
      if (family == AF_INET) {
        const struct sockaddr_in *sin = reinterpret_cast<const struct sockaddr_in *>(ifa->ifa_addr);
        rec->version = 4;
        rec->ip_len = 4;
        memcpy(rec->ip, &sin->sin_addr, 4);
      } else {
        const struct sockaddr_in6 *sin6 =
            reinterpret_cast<const struct sockaddr_in6 *>(ifa->ifa_addr);
        rec->version = 6;
        rec->ip_len = 16;
        memcpy(rec->ip, &sin6->sin6_addr, 16);
      }
      *ip_tail = rec;
      ip_tail = &rec->next;
      ip_list->count++;
    } else if (family == AF_PACKET) {
      if (mac_list == nullptr || mac_list->count == kListMax) continue;
      vk_mac_struct *rec = static_cast<vk_mac_struct *>(calloc(1, sizeof(vk_mac_struct)));
      if (rec == nullptr) {
        set_err(err, errno);
        rc = -5;
        break;
      }
      const struct sockaddr_ll *sll = reinterpret_cast<const struct sockaddr_ll *>(ifa->ifa_addr);
      size_t len = sll->sll_halen < VK_MAC_LEN ? sll->sll_halen : VK_MAC_LEN;
      memcpy(rec->mac, sll->sll_addr, len);
      *mac_tail = rec;
      mac_tail = &rec->next;
      mac_list->count++;
    }
  }
  freeifaddrs(all);
  return rc;
}

void vk_ip_list_clear(vk_ip_list *list) {
  if (list == nullptr) return;
  vk_ip_struct *rec = list->list;
  while (rec != nullptr) {
    vk_ip_struct *next = rec->next;
    free(rec);
    rec = next;
  }
  list->list = nullptr;
  list->count = 0;
}

void vk_mac_list_clear(vk_mac_list *list) {
  if (list == nullptr) return;
  vk_mac_struct *rec = list->list;
  while (rec != nullptr) {
    vk_mac_struct *next = rec->next;
    free(rec);
    rec = next;
  }
  list->list = nullptr;
  list->count = 0;
}
