#include "os/linux/lks_linux.h"

#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "collect_hooks.h"
#include "configure.h"
#include "host_system_info.h"
#include "hostinfo.h"
#include "os/linux/lks_linux_cpu.h"
#include "os/linux/lks_linux_disk.h"
#include "os/linux/lks_linux_env.h"
#include "os/linux/lks_linux_mem.h"
#include "os/linux/lks_linux_net.h"
#include "os/linux/lks_linux_package.h"
#include "os/linux/lks_linux_process.h"
#include "os/linux/lks_linux_swap.h"
#include "pub_conf.h"
#include "util.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

// Configuration CPU100 as read at start; no collection depends on it.
int g_cpu100 = 0;
// The disk usage of the last cycle that had file systems (metric thread).
double g_disk_usage = 0;

struct sysinfo_args {
  const char *os_name;
  int64_t boot_time;
  int64_t uptime;
  const host_cpu_info_t *cpu;
  const host_if_list_t *ifs;
};

int build_sysinfo(void *arg, void *work, size_t work_size, uint8_t *encoded, size_t encoded_size) {
  const sysinfo_args *a = static_cast<const sysinfo_args *>(arg);
  host_system_info_message_t *m = host_system_info_message_new(work, work_size);
  if (m == nullptr || host_system_info_message_identity_alloc(m) != 0 ||
      (a->ifs->count > 0 && host_system_info_message_network_info_alloc(m, a->ifs->count) != 0)) {
    return LKS_BUILD_FULL;
  }
  char host_id[LKS_HOST_ID_SIZE];
  lks_identity_fill(m->identity_p, host_id);
  m->os_name_p = a->os_name;
  m->boot_time = a->boot_time;
  m->uptime = a->uptime;
  m->cpu_vendor_id_p = a->cpu->vendor_id;
  m->cpu_model_name_p = a->cpu->model_name;
  m->cpu_mhz_p = a->cpu->mhz;
  m->cpu_cache_size_p = a->cpu->cache_size;
  m->cpu_family_p = a->cpu->family;
  m->cpu_model_p = a->cpu->model;
  m->cpu_stepping_p = a->cpu->stepping;
  for (int i = 0; i < a->ifs->count; i++) {
    const host_if_info_t &r = a->ifs->ifs[i];
    network_info_t *e = &m->network_info.items_p[i];
    e->index = static_cast<int32_t>(r.index);
    e->name_p = r.name;
    e->flags_p = r.flags;
    e->mac.buf_p = r.mac;
    e->mac.size = sizeof(r.mac);
    e->mtu = r.mtu;
    e->kind = static_cast<interface_kind_e>(r.kind);
    if (r.addr_count > 0 && network_info_ip_extends_alloc(e, r.addr_count) != 0) {
      return LKS_BUILD_FULL;
    }
    for (int k = 0; k < r.addr_count; k++) {
      ip_extend_t *x = &e->ip_extends.items_p[k];
      x->family = static_cast<uint32_t>(r.addrs[k].family);
      x->addr.buf_p = r.addrs[k].addr;
      x->addr.size = r.addrs[k].family == 4 ? 4 : 16;
    }
  }
  return lks_encode_result(host_system_info_message_encode(m, encoded, encoded_size));
}

int conf_collect_nfs(void) {
  int v = get_conf_value_int_for_idx(g_conf_handle, CONF_COLLECT_FILESYSTEM_TYPE_NFS);
  return v == CONF_INT_INVALID ? 0 : v;
}

int hook_host_stat_cycle(int interval_sec) {
  return lks_metric_cycle(interval_sec);
}
int hook_process_list_cycle(void) {
  return get_host_process_list();
}
int hook_package_cycle(void) {
  return get_host_installed_package();
}
int hook_system_info_send(void) {
  return send_host_system_info();
}

}  // namespace

int lks_os_init(int cpu100) {
  g_cpu100 = cpu100;
  check_os_info(nullptr);
  int64_t btime = lks_read_btime();
  if (btime <= 0) {
    VKLOG(g_vklog, VL_ERROR, "[lks_os_init] boot time unreadable (%lld)\n", (long long)btime);
    lks_proc_set_btime(0);
    return -1;
  }
  lks_proc_set_btime(static_cast<uint64_t>(btime));
  VKLOG(g_vklog, VL_INFO, "[lks_os_init] cpu100(%d) btime(%lld)\n", g_cpu100, (long long)btime);
  return 0;
}

int lks_metric_cycle(int interval_sec) {
  host_cpu_stat_info_t cpu;
  host_mem_stat_info_t mem;
  host_swap_stat_info_t swap;
  host_net_stat_info_t net;
  host_disk_stat_info_t disk;
  get_host_cpu_stat(&cpu);
  get_host_mem_stat(&mem);
  get_host_swap_stat(&swap);
  get_host_net_stat(&net);
  get_host_disk_stat(&disk, interval_sec, &g_disk_usage);
  int failed = 0;
  failed += send_host_stat(&cpu, &mem, g_disk_usage) == -1;
  failed += send_host_swap_stat(&swap) == -1;
  failed += send_host_net_stat(&net) == -1;
  failed += send_host_disk_stat(&disk) == -1;
  return -failed;
}

void lks_metric_reset(void) {
  lks_cpu_reset();
  lks_disk_reset();
  lks_swap_release();
  lks_net_release();
  g_disk_usage = 0;
}

int get_extend_os_info(char *buffer, size_t size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  char *text = nullptr;
  if (lks_read_file_all(&text, "/etc/os-release") < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_extend_os_info] fopen() has failed. (filename: %s)\n",
          "/etc/os-release");
    return 0;
  }
  for (const char *line = text; line != nullptr && *line != '\0';) {
    const char *next = strchr(line, '\n');
    std::string_view l(line, next != nullptr ? static_cast<size_t>(next - line) : strlen(line));
    size_t eq = l.find('=');
    if (eq != std::string_view::npos && l.substr(0, eq) == "PRETTY_NAME") {
      std::string_view v = l.substr(eq + 1);
      while (!v.empty() && (v.front() == '"' || v.front() == '\n')) v.remove_prefix(1);
      while (!v.empty() && (v.back() == '"' || v.back() == '\n' || v.back() == '\r')) {
        v.remove_suffix(1);
      }
      if (v.size() >= size) v = v.substr(0, size - 1);
      vk_copy_field(buffer, size, v);
      break;
    }
    line = next != nullptr ? next + 1 : nullptr;
  }
  free(text);
  return static_cast<int>(strlen(buffer));
}

int64_t get_boot_time(void) {
  int64_t btime = lks_read_btime();
  if (btime < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_boot_time] fopen() has failed. (filename: %s)\n", "/proc/stat");
    return -1;
  }
  return btime * 1000;
}

int64_t get_uptime(void) {
  char text[128];
  if (lks_read_file(text, sizeof(text), "/proc/uptime") < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_uptime] fopen() has failed. (filename: %s)\n", "/proc/uptime");
    return -1;
  }
  char *end = nullptr;
  double up = strtod(text, &end);
  // A garbled or negative figure is no up time.
  if (end == text || !(up >= 0) || up > 1e15) return 0;
  return static_cast<int64_t>(up * 1000);
}

int send_host_system_info(void) {
  char os_name[LKS_OS_NAME_SIZE];
  get_extend_os_info(os_name, sizeof(os_name));
  host_cpu_info_t cpu;
  get_host_cpu_info(&cpu);
  host_if_list_t ifs;
  get_host_net_info(&ifs);
  sysinfo_args args = {os_name, get_boot_time(), get_uptime(), &cpu, &ifs};
  size_t need = 8192;
  for (int i = 0; i < ifs.count; i++) need += 512 + static_cast<size_t>(ifs.ifs[i].addr_count) * 64;
  lks_msgbuf_t buf = {};
  int len = lks_msgbuf_build(&buf, need, need, build_sysinfo, &args);
  int ret = 0;
  if (len < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_host_system_info] host_system_info_message_encode failed(%d). buffer size: %zu\n",
          len, buf.encoded_size);
    ret = -1;
  } else {
    ret = lks_send(LKS_CODE_SYSTEM_INFO, buf.encoded, static_cast<size_t>(len)) == 0 ? 0 : -2;
  }
  lks_msgbuf_clear(&buf);
  host_if_list_clear(&ifs);
  return ret;
}

void collect_hooks_install(collect_hooks_t *hooks) {
  lks_ops_t ops = {};
  ops.send = host_queue_message;
  ops.host_id = host_id_get;
  ops.collect_nfs = conf_collect_nfs;
  ops.data_path = host_data_path;
  lks_set_ops(&ops);
  hooks->os_init = lks_os_init;
  hooks->host_stat_cycle = hook_host_stat_cycle;
  hooks->process_list_cycle = hook_process_list_cycle;
  hooks->package_cycle = hook_package_cycle;
  hooks->system_info_send = hook_system_info_send;
  hooks->process_limits_request = lks_process_limits_request;
}
