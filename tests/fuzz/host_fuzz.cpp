// Fuzz entries for the host agent's readers of kernel files. Each writes
// the input as the files a parser reads, below a private root folder (made
// once per process, removed at exit; the root-directory seam points the
// parsers at it), then runs the parser as the agent does and encodes the
// report it feeds (the send service drops it).
//
// host_proc_file: the first byte picks one file: /proc/stat (two samples,
// CPU shares between them), /proc/loadavg, /proc/cpuinfo, /proc/uptime,
// /etc/os-release, /proc/meminfo, /proc/swaps or /proc/net/dev. Checked:
// CPU shares lie in 0..100, texts are terminated within their fields.
//
// host_disk_tree: up to four block devices under /sys/class/block (name,
// "stat" line, partition mark, device type, device-mapper name) and
// /etc/mtab, read twice with new "stat" lines between, so the rates run;
// statvfs answers from the input. Checked: records pair up with devices,
// rates are not negative, names are terminated, and a file system's used
// bytes do not exceed its total, which is capped at 2^64 - 1.
//
// host_if_inventory: an interface-address list (names, flags, IPv4, IPv6
// and link-layer addresses of any length) with MTU files and virtual-device
// marks under /sys, through the inventory builder. Checked: entries are
// terminated and their address counts match their arrays.
#include <math.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fuzz_host_env.h"
#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "os/linux/lks_linux.h"
#include "os/linux/lks_linux_cpu.h"
#include "os/linux/lks_linux_disk.h"
#include "os/linux/lks_linux_env.h"
#include "os/linux/lks_linux_mem.h"
#include "os/linux/lks_linux_net.h"
#include "os/linux/lks_linux_swap.h"
#include "pub_conf.h"

namespace {

std::string g_root;

void remove_root() {
  std::error_code ec;
  if (!g_root.empty()) std::filesystem::remove_all(g_root, ec);
}

struct statvfs g_vfs;

int fuzz_statvfs(const char *path, struct statvfs *out) {
  (void)path;
  *out = g_vfs;
  return g_vfs.f_fsid == 1 ? -1 : 0;
}

int nfs_too() {
  return 1;
}

int drop_report(uint16_t code, uint8_t status, const void *body, size_t length) {
  (void)code;
  (void)status;
  (void)body;
  (void)length;
  return 0;
}

}  // namespace

const std::string &fuzz_host_root() {
  if (!g_root.empty()) return g_root;
  // Memory-backed when there is /dev/shm: a disk file system makes each
  // run wait on metadata writes.
  char pattern[] = "/dev/shm/vk-host-fuzz-XXXXXX";
  char fallback[] = "/tmp/vk-host-fuzz-XXXXXX";
  char *made = mkdtemp(pattern);
  if (made == nullptr) made = mkdtemp(fallback);
  if (made == nullptr) {
    perror("mkdtemp /tmp/vk-host-fuzz-XXXXXX");
    return g_root;
  }
  std::string home = std::string(made) + "/home";
  std::error_code ec;
  std::filesystem::create_directories(home + "/data", ec);
  if (ec || home.size() >= sizeof(g_vk_host_home)) {
    fprintf(stderr, "%s/data cannot be made: %s\n", home.c_str(), ec.message().c_str());
    std::filesystem::remove_all(made, ec);
    return g_root;
  }
  if (lks_set_root(made) != 0) {
    fprintf(stderr, "root %s refused\n", made);
    std::filesystem::remove_all(made, ec);
    return g_root;
  }
  snprintf(g_vk_host_home, sizeof(g_vk_host_home), "%s", home.c_str());
  g_root = made;
  atexit(remove_root);
  return g_root;
}

void fuzz_host_ops_install(void) {
  lks_ops_t ops = {};
  ops.send = drop_report;
  ops.statvfs = fuzz_statvfs;
  ops.collect_nfs = nfs_too;
  ops.data_path = host_data_path;
  lks_set_ops(&ops);
}

bool fuzz_host_put_file(const std::string &rel, std::string_view content) {
  std::filesystem::path path = fuzz_host_root() + rel;
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  FILE *fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) {
    perror(path.c_str());
    return false;
  }
  bool ok = fwrite(content.data(), 1, content.size(), fp) == content.size();
  ok = fclose(fp) == 0 && ok;
  if (!ok) perror(path.c_str());
  return ok;
}

void fuzz_host_remove(const char *rel) {
  std::error_code ec;
  std::filesystem::remove_all(fuzz_host_root() + rel, ec);
}

namespace {

const std::string &root() {
  return fuzz_host_root();
}

bool put_file(const std::string &rel, std::string_view content) {
  return fuzz_host_put_file(rel, content);
}

void remove_below_root(const char *rel) {
  fuzz_host_remove(rel);
}

bool terminated(const char *field, size_t size) {
  return memchr(field, '\0', size) != nullptr;
}

bool share_sound(double p) {
  return !isnan(p) && p >= 0.0 && p <= 100.0 + 1e-9;
}

// A file name from input bytes: no '/' or NUL, never "." or "..", never
// empty.
std::string file_name(std::string_view bytes) {
  std::string name(bytes);
  for (char &c : name) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (name.empty() || name == "." || name == "..") name += "d";
  return name;
}

int cpu_files(fuzz_input *in) {
  std::string_view first = fuzz_input_bytes(in, fuzz_input_uint(in, 2));
  std::string_view second = fuzz_input_bytes(in, fuzz_input_left(in));
  lks_cpu_sample_t prev, cur;
  if (!put_file("/proc/stat", first)) return 1;
  lks_cpu_sample_read(&prev);
  if (!put_file("/proc/stat", second)) return 1;
  lks_cpu_sample_read(&cur);
  host_cpu_stat_info_t stat = {};
  lks_cpu_usage_calc(&prev, &cur, &stat);
  double shares[] = {stat.user, stat.nice,    stat.sys,   stat.idle,  stat.iowait,
                     stat.irq,  stat.softirq, stat.steal, stat.guest, stat.guest_nice};
  for (double s : shares) {
    if (!share_sound(s)) return 1;
  }
  host_mem_stat_info_t mem = {};
  send_host_stat(&stat, &mem, 0);
  return 0;
}

}  // namespace

int fuzz_host_proc_file(const uint8_t *data, size_t size) {
  if (root().empty()) return 1;
  fuzz_input in = fuzz_input_make(data, size);
  uint8_t which = fuzz_input_u8(&in) % 8;
  if (which == 0) return cpu_files(&in);
  std::string_view content = fuzz_input_bytes(&in, fuzz_input_left(&in));
  static const char *const kFiles[] = {"",
                                       "/proc/loadavg",
                                       "/proc/cpuinfo",
                                       "/proc/uptime",
                                       "/etc/os-release",
                                       "/proc/meminfo",
                                       "/proc/swaps",
                                       "/proc/net/dev"};
  if (!put_file(kFiles[which], content)) return 1;
  int broken = 0;
  switch (which) {
    case 1: {
      host_cpu_stat_info_t stat = {};
      get_cpu_loadavg(&stat);
      host_mem_stat_info_t mem = {};
      send_host_stat(&stat, &mem, 0);
      break;
    }
    case 2: {
      host_cpu_info_t info;
      get_host_cpu_info(&info);
      const char *fields[] = {info.vendor_id, info.model_name, info.mhz,     info.cache_size,
                              info.family,    info.model,      info.stepping};
      for (const char *f : fields) {
        if (!terminated(f, LKS_CPU_INFO_FIELD)) broken = 1;
      }
      break;
    }
    case 3:
      if (get_uptime() < 0) broken = 1;  // the file is there
      break;
    case 4: {
      char name[LKS_OS_NAME_SIZE + 1];
      name[LKS_OS_NAME_SIZE] = '\x7f';
      int n = get_extend_os_info(name, LKS_OS_NAME_SIZE);
      if (n < 0 || n >= LKS_OS_NAME_SIZE || name[LKS_OS_NAME_SIZE] != '\x7f' ||
          strlen(name) != static_cast<size_t>(n)) {
        broken = 1;
      }
      break;
    }
    case 5: {
      host_mem_stat_info_t mem;
      get_host_mem_stat(&mem);
      host_cpu_stat_info_t stat = {};
      send_host_stat(&stat, &mem, 0);
      break;
    }
    case 6: {
      host_swap_stat_info_t swaps;
      get_host_swap_stat(&swaps);
      for (int i = 0; i < swaps.count; i++) {
        if (!terminated(swaps.swaps[i].filename, LKS_SWAP_FILENAME_SIZE) ||
            !terminated(swaps.swaps[i].type, LKS_SWAP_TYPE_SIZE)) {
          broken = 1;
        }
      }
      send_host_swap_stat(&swaps);  // frees the records
      break;
    }
    default: {
      host_net_stat_info_t nets;
      get_host_net_stat(&nets);
      for (int i = 0; i < nets.count; i++) {
        if (!terminated(nets.nets[i].name, LKS_NET_NAME_SIZE)) broken = 1;
      }
      send_host_net_stat(&nets);  // frees the records
      break;
    }
  }
  return broken;
}

namespace {

struct disk_device {
  std::string name;
  std::string_view stat[2];
};

}  // namespace

int fuzz_host_disk_tree(const uint8_t *data, size_t size) {
  if (root().empty()) return 1;
  fuzz_host_ops_install();
  fuzz_input in = fuzz_input_make(data, size);
  remove_below_root("/sys");
  g_vfs = {};
  g_vfs.f_bsize = fuzz_input_uint(&in, 4);
  g_vfs.f_frsize = fuzz_input_uint(&in, 4);
  g_vfs.f_blocks = fuzz_input_uint(&in, 8);
  g_vfs.f_bfree = fuzz_input_uint(&in, 8);
  g_vfs.f_bavail = fuzz_input_uint(&in, 8);
  g_vfs.f_fsid = fuzz_input_u8(&in) & 1;
  int interval = 1 + fuzz_input_u8(&in) % 60;
  std::vector<disk_device> devices;
  size_t count = fuzz_input_u8(&in) % 5;
  for (size_t i = 0; i < count; i++) {
    uint8_t how = fuzz_input_u8(&in);
    disk_device d;
    d.name = file_name(fuzz_input_piece(&in));
    if ((how & 1) != 0) d.name = "dm-" + d.name.substr(0, 200);
    std::string dir = "/sys/class/block/" + d.name;
    d.stat[0] = fuzz_input_piece(&in);
    d.stat[1] = fuzz_input_piece(&in);
    if (!put_file(dir + "/stat", d.stat[0])) return 1;
    if ((how & 2) != 0 && !put_file(dir + "/partition", "1\n")) return 1;
    if ((how & 4) != 0 && !put_file(dir + "/device/type", fuzz_input_piece(&in))) return 1;
    if ((how & 1) != 0 && !put_file("/sys/block/" + d.name + "/dm/name",
                                    fuzz_input_bytes(&in, fuzz_input_uint(&in, 2) % 600))) {
      return 1;
    }
    devices.push_back(d);
  }
  if (!put_file("/etc/mtab", fuzz_input_bytes(&in, fuzz_input_left(&in)))) return 1;

  int broken = 0;
  double usage = -1;
  for (int round = 0; round < 2 && broken == 0; round++) {
    if (round == 1) {
      for (const disk_device &d : devices) {
        if (!put_file("/sys/class/block/" + d.name + "/stat", d.stat[1])) return 1;
      }
    }
    host_disk_stat_info_t stat;
    get_host_disk_stat(&stat, interval, &usage);
    if (stat.count < 0 || static_cast<size_t>(stat.count) > devices.size()) broken = 1;
    for (int i = 0; i < stat.count && broken == 0; i++) {
      const host_disk_info_t &r = stat.disks[i];
      if (!terminated(r.name, sizeof(r.name)) ||
          !terminated(r.device_path, sizeof(r.device_path)) ||
          !terminated(r.file_system, sizeof(r.file_system)) || !(r.reads >= 0) ||
          !(r.writes >= 0) || !(r.read_bytes >= 0) || !(r.write_bytes >= 0) ||
          !(r.queue_length >= 0) || !(r.util >= 0)) {
        broken = 1;
      }
    }
    // A file system of more than 2^64 bytes reports the cap, not a wrapped
    // or undefined number.
    double frsize = static_cast<double>(g_vfs.f_frsize != 0 ? g_vfs.f_frsize : g_vfs.f_bsize);
    bool huge = static_cast<double>(g_vfs.f_blocks) * frsize >= 18446744073709551616.0;
    for (int i = 0; i < stat.count; i++) {
      const host_disk_info_t &r = stat.disks[i];
      if (r.mount_names != nullptr && (r.used > r.total || (huge && r.total != UINT64_MAX))) {
        broken = 1;
      }
    }
    if (isnan(usage)) broken = 1;
    send_host_disk_stat(&stat);  // frees the records
  }
  lks_disk_reset();
  return broken;
}

namespace {

unsigned index_by_length(const char *name) {
  return static_cast<unsigned>(strlen(name));
}

}  // namespace

int fuzz_host_if_inventory(const uint8_t *data, size_t size) {
  if (root().empty()) return 1;
  fuzz_input in = fuzz_input_make(data, size);
  remove_below_root("/sys");
  size_t count = fuzz_input_u8(&in) % 7;
  std::vector<ifaddrs> list(count);
  std::vector<std::string> names(count);
  std::vector<sockaddr_storage> addrs(count * 4);
  for (size_t i = 0; i < count; i++) {
    ifaddrs &a = list[i];
    a = ifaddrs{};
    a.ifa_next = i + 1 < count ? &list[i + 1] : nullptr;
    uint8_t how = fuzz_input_u8(&in);
    // Entries share names, as the several addresses of one interface do.
    names[i] = (how & 1) != 0 && i > 0 ? names[i - 1] : file_name(fuzz_input_piece(&in));
    a.ifa_name = names[i].data();
    a.ifa_flags = static_cast<unsigned>(fuzz_input_uint(&in, 4));
    if ((how & 2) != 0 && !put_file("/sys/class/net/" + names[i] + "/mtu", fuzz_input_piece(&in))) {
      return 1;
    }
    if ((how & 4) != 0 && !put_file("/sys/devices/virtual/net/" + names[i] + "/type", "1\n")) {
      return 1;
    }
    sockaddr **slots[] = {&a.ifa_addr, &a.ifa_netmask, &a.ifa_broadaddr};
    int family = (how >> 3) % 4;  // none, IPv4, IPv6, link layer
    for (size_t s = 0; s < 3 && family != 0; s++) {
      if (s > 0 && (how & (0x20 << s)) == 0) continue;
      sockaddr_storage *st = &addrs[i * 4 + s];
      memset(st, 0, sizeof(*st));
      std::string_view raw = fuzz_input_bytes(&in, 16);
      if (family == 1) {
        auto *sin = reinterpret_cast<sockaddr_in *>(st);
        sin->sin_family = AF_INET;
        memcpy(&sin->sin_addr, raw.data(), raw.size() < 4 ? raw.size() : 4);
      } else if (family == 2) {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(st);
        sin6->sin6_family = AF_INET6;
        memcpy(&sin6->sin6_addr, raw.data(), raw.size());
      } else {
        auto *ll = reinterpret_cast<sockaddr_ll *>(st);
        ll->sll_family = AF_PACKET;
        ll->sll_halen = fuzz_input_u8(&in) % 9;  // the field holds 8 bytes
        memcpy(ll->sll_addr, raw.data(), raw.size() < 8 ? raw.size() : 8);
      }
      *slots[s] = reinterpret_cast<sockaddr *>(st);
    }
  }
  host_if_list_t out;
  int r = lks_net_info_build(count > 0 ? list.data() : nullptr, index_by_length, &out);
  int broken = r != 0 && r != -1 ? 1 : 0;
  for (int i = 0; r == 0 && i < out.count; i++) {
    const host_if_info_t &f = out.ifs[i];
    if (!terminated(f.name, sizeof(f.name)) || !terminated(f.flags, sizeof(f.flags)) ||
        f.addr_count < 0 || (f.addr_count > 0 && f.addrs == nullptr)) {
      broken = 1;
    }
    for (int k = 0; k < f.addr_count; k++) {
      if (f.addrs[k].family != 4 && f.addrs[k].family != 6) broken = 1;
    }
  }
  if (r == 0) host_if_list_clear(&out);
  return broken;
}
