#include "os/linux/lks_linux_net.h"

#include <dirent.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string_view>

#include "hash2.h"
#include "host_stat.h"
#include "os/linux/lks_linux_env.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

lks_msgbuf_t g_net_buf = {};

constexpr uint16_t IF_MAP_BUCKETS = 128;

int build_net(void *arg, void *work, size_t work_size, uint8_t *encoded, size_t encoded_size) {
  const host_net_stat_info_t *s = static_cast<const host_net_stat_info_t *>(arg);
  host_net_stat_message_t *m = host_net_stat_message_new(work, work_size);
  if (m == nullptr || host_net_stat_message_identity_alloc(m) != 0 ||
      (s->count > 0 && host_net_stat_message_host_net_stats_alloc(m, s->count) != 0)) {
    return LKS_BUILD_FULL;
  }
  char host_id[LKS_HOST_ID_SIZE];
  lks_identity_fill(m->identity_p, host_id);
  for (int i = 0; i < s->count; i++) {
    const host_net_info_t &n = s->nets[i];
    host_net_stat_t *e = &m->host_net_stats.items_p[i];
    e->name_p = n.name;
    e->rx_bytes = static_cast<int64_t>(n.rx_bytes);
    e->rx_packets = static_cast<int64_t>(n.rx_packets);
    e->rx_errors = static_cast<int64_t>(n.rx_errors);
    e->rx_drops = static_cast<int64_t>(n.rx_drops);
    e->rx_overruns = static_cast<int64_t>(n.rx_overruns);
    e->tx_bytes = static_cast<int64_t>(n.tx_bytes);
    e->tx_packets = static_cast<int64_t>(n.tx_packets);
    e->tx_errors = static_cast<int64_t>(n.tx_errors);
    e->tx_drops = static_cast<int64_t>(n.tx_drops);
    e->tx_overruns = static_cast<int64_t>(n.tx_overruns);
  }
  return lks_encode_result(host_net_stat_message_encode(m, encoded, encoded_size));
}

// Names listed in <root>/sys/devices/virtual/net, in a map keyed by the
// zero-padded name. False when the directory cannot be listed.
bool load_virtual_names(hash_struct *map) {
  char path[LKS_PATH_SIZE];
  DIR *dir =
      lks_path(path, sizeof(path), "/sys/devices/virtual/net") == 0 ? opendir(path) : nullptr;
  if (dir == nullptr) return false;
  while (struct dirent *de = readdir(dir)) {
    if (de->d_name[0] == '.') continue;
    if (strlen(de->d_name) >= LKS_NET_NAME_SIZE) continue;
    char *key = static_cast<char *>(calloc(1, LKS_NET_NAME_SIZE));
    if (key == nullptr) break;
    memcpy(key, de->d_name, strlen(de->d_name));
    if (map_setat(map, key, LKS_NET_NAME_SIZE, key) == MAP_SETAT_FAILED) free(key);
  }
  closedir(dir);
  return true;
}

int32_t read_mtu(const char *name) {
  char text[10];
  if (lks_read_file(text, sizeof(text), "/sys/class/net/%s/mtu", name) < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_interface_mtu] fopen() has failed. (filename: %s)\n", name);
    return 0;
  }
  const char *end = nullptr;
  uint64_t v = lks_parse_u64(text, &end);
  return end == text || v > INT32_MAX ? 0 : static_cast<int32_t>(v);
}

void copy_addr(uint8_t out[16], const struct sockaddr *sa) {
  if (sa == nullptr) return;
  if (sa->sa_family == AF_INET) {
    memcpy(out, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
  } else if (sa->sa_family == AF_INET6) {
    memcpy(out, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, 16);
  }
}

bool append_addr(host_if_info_t *rec, const struct ifaddrs *ifa) {
  void *grown = realloc(rec->addrs, (rec->addr_count + 1) * sizeof(lks_ip_addr_t));
  if (grown == nullptr) return false;
  rec->addrs = static_cast<lks_ip_addr_t *>(grown);
  lks_ip_addr_t *a = &rec->addrs[rec->addr_count++];
  *a = lks_ip_addr_t{};
  a->family = ifa->ifa_addr->sa_family == AF_INET ? 4 : 6;
  copy_addr(a->addr, ifa->ifa_addr);
  copy_addr(a->netmask, ifa->ifa_netmask);
  if ((ifa->ifa_flags & IFF_BROADCAST) != 0 && ifa->ifa_broadaddr != nullptr) {
    copy_addr(a->broadcast, ifa->ifa_broadaddr);
  } else if ((ifa->ifa_flags & IFF_POINTOPOINT) != 0 && ifa->ifa_dstaddr != nullptr) {
    copy_addr(a->destination, ifa->ifa_dstaddr);
  }
  if (a->family == 4) {
    uint32_t v4 = 0;
    memcpy(&v4, a->addr, 4);
    VKLOG(g_vklog, VL_DEBUG, "[get_interface_info] IPv4 address: %ld\n", (long)v4);
  }
  return true;
}

// Position of an index in the inventory array, as a map item.
struct if_slot {
  uint32_t index;
  int pos;
};

}  // namespace

int lks_net_parse(const char *text, host_net_stat_info_t *out) {
  *out = host_net_stat_info_t{};
  int lines = lks_count_lines(text);
  host_net_info_t *recs = static_cast<host_net_info_t *>(calloc(lines, sizeof(*recs)));
  if (recs == nullptr) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_net_stat] allocation failed. (size: %d)\n",
          static_cast<int>(lines * sizeof(*recs)));
    return -1;
  }
  int count = 0;
  const char *line = text;
  while (*line != '\0') {
    const char *end = strchr(line, '\n');
    if (end == nullptr) end = line + strlen(line);
    const char *colon =
        static_cast<const char *>(memchr(line, ':', static_cast<size_t>(end - line)));
    if (colon != nullptr) {
      std::string_view name(line, static_cast<size_t>(colon - line));
      while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
      host_net_info_t *r = &recs[count];
      vk_copy_field(r->name, sizeof(r->name), name.substr(0, sizeof(r->name) - 1));
      uint64_t v[16] = {};
      const char *p = colon + 1;
      for (int i = 0; i < 16 && p < end; i++) {
        const char *after = nullptr;
        v[i] = lks_parse_u64(p, &after);
        if (after == p) break;
        p = after;
      }
      r->rx_bytes = v[0];
      r->rx_packets = v[1];
      r->rx_errors = v[2];
      r->rx_drops = v[3];
      r->rx_overruns = v[4];
      r->tx_bytes = v[8];
      r->tx_packets = v[9];
      r->tx_errors = v[10];
      r->tx_drops = v[11];
      r->tx_overruns = v[12];
      if (!name.empty()) count++;
    }
    line = *end == '\n' ? end + 1 : end;
  }
  out->count = count;
  out->nets = recs;
  return 0;
}

int get_host_net_stat(host_net_stat_info_t *out) {
  *out = host_net_stat_info_t{};
  char *text = nullptr;
  if (lks_read_file_all(&text, "/proc/net/dev") < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_network_stat] fopen() has failed. (filename:%s)\n",
          "/proc/net/dev");
    return -1;
  }
  int ret = lks_net_parse(text, out);
  free(text);
  return ret;
}

void host_net_stat_clear(host_net_stat_info_t *stat) {
  free(stat->nets);
  *stat = host_net_stat_info_t{};
}

int send_host_net_stat(host_net_stat_info_t *stat) {
  size_t need = 4096 + static_cast<size_t>(stat->count) * (LKS_NET_NAME_SIZE + 160);
  int len = lks_msgbuf_build(&g_net_buf, need, need, build_net, stat);
  int ret = 0;
  if (len < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_host_net_stat] host_net_stat_message_encode failed(%d). buffer size: %zu\n", len,
          g_net_buf.encoded_size);
    ret = -1;
  } else {
    ret = lks_send(LKS_CODE_NET, g_net_buf.encoded, static_cast<size_t>(len)) == 0 ? 0 : -2;
    for (int i = 0; i < stat->count; i++) {
      const host_net_info_t &n = stat->nets[i];
      VKLOG(g_vklog, VL_DEBUG,
            "[send_host_net_stat] (%s) recv bytes(%lld), pkts(%lld), errs(%lld), drop(%lld), "
            "overruns(%lld) / send bytes(%lld), pkts(%lld), errs(%lld), drop(%lld), "
            "overruns(%lld)\n",
            n.name, (long long)n.rx_bytes, (long long)n.rx_packets, (long long)n.rx_errors,
            (long long)n.rx_drops, (long long)n.rx_overruns, (long long)n.tx_bytes,
            (long long)n.tx_packets, (long long)n.tx_errors, (long long)n.tx_drops,
            (long long)n.tx_overruns);
    }
  }
  host_net_stat_clear(stat);
  return ret;
}

void lks_net_release(void) {
  lks_msgbuf_clear(&g_net_buf);
}

void lks_if_flags_text(unsigned flags, char *out, size_t size) {
  static constexpr struct {
    unsigned bit;
    const char *word;
  } WORDS[] = {{0x1, "UP"},           {0x2, "BROADCAST"},  {0x4, "DEBUG"},       {0x8, "LOOPBACK"},
               {0x10, "POINTOPOINT"}, {0x40, "RUNNING"},   {0x80, "NOARP"},      {0x100, "PROMISC"},
               {0x20, "NOTRAILERS"},  {0x200, "ALLMULTI"}, {0x400, "MASTER"},    {0x800, "SLAVE"},
               {0x1000, "MULTICAST"}, {0x2000, "PORTSEL"}, {0x4000, "AUTOMEDIA"}};
  size_t len = 0;
  out[0] = '\0';
  for (const auto &w : WORDS) {
    if ((flags & w.bit) == 0) continue;
    int n = snprintf(out + len, size - len, "%s%s", len > 0 ? "," : "", w.word);
    if (n < 0 || static_cast<size_t>(n) >= size - len) break;
    len += static_cast<size_t>(n);
  }
}

int lks_net_info_build(const struct ifaddrs *list, unsigned (*index_of)(const char *name),
                       host_if_list_t *out) {
  *out = host_if_list_t{};
  hash_struct virtual_names = {};
  hash_struct slots = {};
  if (map_init(&virtual_names, IF_MAP_BUCKETS, LKS_NET_NAME_SIZE) != 0 ||
      map_init(&slots, IF_MAP_BUCKETS, sizeof(if_slot)) != 0) {
    map_destroy(&virtual_names);
    return -1;
  }
  // Without the directory every interface but loopback counts as virtual.
  bool have_virtual = load_virtual_names(&virtual_names);
  int cap = 0;
  int ret = 0;
  for (const struct ifaddrs *ifa = list; ifa != nullptr && ret == 0; ifa = ifa->ifa_next) {
    if (ifa->ifa_name == nullptr) continue;
    uint32_t index = index_of(ifa->ifa_name);
    void *found = nullptr;
    host_if_info_t *rec = nullptr;
    if (map_lookup(&slots, &index, sizeof(index), &found) == 1) {
      rec = &out->ifs[static_cast<if_slot *>(found)->pos];
    } else {
      if (out->count == cap) {
        int grown_cap = cap == 0 ? 16 : cap * 2;
        void *grown = realloc(out->ifs, grown_cap * sizeof(host_if_info_t));
        if (grown == nullptr) {
          ret = -1;
          break;
        }
        out->ifs = static_cast<host_if_info_t *>(grown);
        cap = grown_cap;
      }
      if_slot *slot = static_cast<if_slot *>(malloc(sizeof(if_slot)));
      if (slot == nullptr) {
        ret = -1;
        break;
      }
      slot->index = index;
      slot->pos = out->count;
      if (map_setat(&slots, slot, sizeof(index), slot) == MAP_SETAT_FAILED) {
        free(slot);
        ret = -1;
        break;
      }
      rec = &out->ifs[out->count++];
      *rec = host_if_info_t{};
      rec->index = index;
      snprintf(rec->name, sizeof(rec->name), "%s", ifa->ifa_name);
      char key[LKS_NET_NAME_SIZE] = {};
      snprintf(key, sizeof(key), "%s", ifa->ifa_name);
      void *v = nullptr;
      if ((ifa->ifa_flags & IFF_LOOPBACK) != 0) {
        rec->kind = LKS_IF_KIND_LOOPBACK;
      } else if (!have_virtual || map_lookup(&virtual_names, key, sizeof(key), &v) == 1) {
        rec->kind = LKS_IF_KIND_VIRTUAL;
      } else {
        rec->kind = LKS_IF_KIND_PHYSICAL;
      }
      lks_if_flags_text(ifa->ifa_flags, rec->flags, sizeof(rec->flags));
      rec->mtu = read_mtu(ifa->ifa_name);
    }
    if (ifa->ifa_addr == nullptr) continue;
    int family = ifa->ifa_addr->sa_family;
    if (family == AF_INET || family == AF_INET6) {
      if (!append_addr(rec, ifa)) ret = -1;
    } else if (family == AF_PACKET) {
      const sockaddr_ll *ll = reinterpret_cast<const sockaddr_ll *>(ifa->ifa_addr);
      if (ll->sll_halen >= 6) memcpy(rec->mac, ll->sll_addr, 6);
    }
  }
  map_destroy(&slots);
  map_destroy(&virtual_names);
  if (ret != 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_net_info] allocation failed. (size: %d)\n",
          static_cast<int>(cap * sizeof(host_if_info_t)));
    host_if_list_clear(out);
    return ret;
  }
  VKLOG(g_vklog, VL_DEBUG, "[get_host_net_info] interface count: %d\n", out->count);
  return 0;
}

int get_host_net_info(host_if_list_t *out) {
  *out = host_if_list_t{};
  struct ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_net_info] getifaddrs() has failed.\n");
    return -1;
  }
  int ret = lks_net_info_build(list, if_nametoindex, out);
  freeifaddrs(list);
  return ret;
}

void host_if_list_clear(host_if_list_t *list) {
  for (int i = 0; i < list->count; i++) free(list->ifs[i].addrs);
  free(list->ifs);
  *list = host_if_list_t{};
}
