#include "os/linux/lks_linux_disk.h"

#include <dirent.h>
#include <mntent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "hash2.h"
#include "host_stat.h"
#include "os/linux/lks_linux_env.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

// Previous device sample and report buffers of the metric thread.
lks_disk_samples_t g_prev_disks = {};
lks_msgbuf_t g_disk_buf = {};

constexpr uint16_t MOUNT_MAP_BUCKETS = 128;
// An mtab line of a container host (overlay options) runs to kilobytes; a
// short buffer would split it and read its tail as another entry.
constexpr size_t MNTENT_BUFFER_SIZE = 16384;

// One mount source and the directories it is mounted at. The first member
// is the map key (the zero-padded source).
struct mount_entry {
  char source[LKS_DISK_PATH_SIZE];
  uint64_t used;
  uint64_t total;
  int dir_count;
  char (*dirs)[LKS_MOUNT_DIR_SIZE];  // owned
};

void mount_entry_free(void *item) {
  mount_entry *e = static_cast<mount_entry *>(item);
  free(e->dirs);
  free(e);
}

bool mount_key(const char *source, char key[LKS_DISK_PATH_SIZE]) {
  memset(key, 0, LKS_DISK_PATH_SIZE);
  size_t n = strlen(source);
  if (n >= LKS_DISK_PATH_SIZE) return false;
  memcpy(key, source, n);
  return true;
}

// A byte count figured in floating point as a whole number. A file system
// reporting more than 2^64 bytes (garbled block counts or sizes) is capped
// rather than converted out of range.
uint64_t byte_count(double bytes) {
  constexpr double kTwoPow64 = 18446744073709551616.0;
  if (!(bytes >= 0)) return 0;
  return bytes < kTwoPow64 ? static_cast<uint64_t>(bytes) : UINT64_MAX;
}

bool add_dir(mount_entry *e, const char *dir) {
  void *grown = realloc(e->dirs, (e->dir_count + 1) * sizeof(*e->dirs));
  if (grown == nullptr) return false;
  e->dirs = static_cast<char(*)[LKS_MOUNT_DIR_SIZE]>(grown);
  // Directories longer than the field are cut, as the field's width says.
  snprintf(e->dirs[e->dir_count], LKS_MOUNT_DIR_SIZE, "%s", dir);
  e->dir_count++;
  return true;
}

bool fs_type_wanted(const char *type, bool nfs) {
  if (strncmp(type, "nfs", 3) == 0) return nfs;
  return strncmp(type, "ext", 3) == 0 || strcmp(type, "vxfs") == 0 || strcmp(type, "xfs") == 0;
}

// Fills `map` with the wanted file systems of <root>/etc/mtab.
void get_filesystem_stat(hash_struct *map) {
  const lks_ops_t *ops = lks_get_ops();
  bool nfs = ops->collect_nfs != nullptr && ops->collect_nfs() != 0;
  char path[LKS_PATH_SIZE];
  FILE *f = lks_path(path, sizeof(path), "/etc/mtab") == 0 ? setmntent(path, "re") : nullptr;
  if (f == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "[get_filesystem_stat] setmntent() has failed...1\n");
    return;
  }
  char *line = static_cast<char *>(malloc(MNTENT_BUFFER_SIZE));
  struct mntent ent;
  while (line != nullptr && getmntent_r(f, &ent, line, MNTENT_BUFFER_SIZE) != nullptr) {
    if (strcmp(ent.mnt_opts, "ro") == 0 || ent.mnt_dir[0] == '\0') continue;
    VKLOG(g_vklog, VL_TRACE, "[get_filesystem_stat] dev:(%s), mount:(%s), type:(%s)\n",
          ent.mnt_fsname, ent.mnt_dir, ent.mnt_type);
    if (!fs_type_wanted(ent.mnt_type, nfs)) continue;
    char key[LKS_DISK_PATH_SIZE];
    if (!mount_key(ent.mnt_fsname, key)) continue;
    void *found = nullptr;
    if (map_lookup(map, key, LKS_DISK_PATH_SIZE, &found) == 1) {
      add_dir(static_cast<mount_entry *>(found), ent.mnt_dir);
      continue;
    }
    struct statvfs vfs;
    int r = ops->statvfs != nullptr ? ops->statvfs(ent.mnt_dir, &vfs) : statvfs(ent.mnt_dir, &vfs);
    if (r != 0) {
      VKLOG(g_vklog, VL_ERROR, "[get_filesystem_stat] statvfs(%s) has failed..\n", ent.mnt_dir);
      continue;
    }
    if (vfs.f_blocks == 0) continue;
    mount_entry *e = static_cast<mount_entry *>(calloc(1, sizeof(mount_entry)));
    if (e == nullptr || !add_dir(e, ent.mnt_dir)) {
      VKLOG(g_vklog, VL_ERROR, "[get_filesystem_stat] malloc(struct mount_info) has failed...1\n");
      if (e != nullptr) mount_entry_free(e);
      break;
    }
    memcpy(e->source, key, sizeof(key));
    double frsize = static_cast<double>(vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize);
    double blocks = static_cast<double>(vfs.f_blocks);
    // Free blocks above the total (a garbled answer) count as none used.
    double used_blocks = vfs.f_bfree < vfs.f_blocks ? blocks - static_cast<double>(vfs.f_bfree) : 0;
    double usable = static_cast<double>(vfs.f_bavail) + used_blocks;
    // The share of used blocks among those ordinary users may fill, as the
    // df tool's percentage, scaled onto the whole size.
    double share = usable > 0 ? used_blocks * 100 / usable / 100 : 0;
    e->total = byte_count(blocks * frsize);
    e->used = byte_count(blocks * share * frsize);
    // A full file system (nothing available) has a share of 1, which the
    // rounding of the division can carry a few bytes past the total.
    if (e->used > e->total) e->used = e->total;
    if (map_setat(map, e->source, LKS_DISK_PATH_SIZE, e) == MAP_SETAT_FAILED) {
      mount_entry_free(e);
      VKLOG(g_vklog, VL_ERROR, "[get_filesystem_stat] malloc(struct mount_info) has failed...1\n");
      break;
    }
  }
  free(line);
  endmntent(f);
}

int32_t get_disk_type(const char *name) {
  if (strncmp(name, "dm-", 3) == 0) return 0;
  char path[LKS_PATH_SIZE];
  if (lks_path(path, sizeof(path), "/sys/class/block/%s/partition", name) == 0 &&
      access(path, F_OK) == 0) {
    return 0;
  }
  if (lks_path(path, sizeof(path), "/sys/class/block/%s/device/type", name) != 0 ||
      access(path, F_OK) != 0) {
    return 1;
  }
  char text[4];
  if (lks_read_file(text, sizeof(text), "/sys/class/block/%s/device/type", name) < 0) return 0;
  const char *end = nullptr;
  uint64_t v = lks_parse_u64(text, &end);
  return end != text && v == 0 ? 1 : 0;
}

int compare_names(const void *a, const void *b) {
  return strcmp(static_cast<const lks_disk_sample_t *>(a)->name,
                static_cast<const lks_disk_sample_t *>(b)->name);
}

double rate(uint64_t prev, uint64_t cur, double scale, double interval) {
  if (cur < prev) return 0;
  return static_cast<double>(cur - prev) * scale / interval;
}

void device_path(const char *name, char *path, size_t size) {
  if (strncmp(name, "dm-", 3) != 0) {
    snprintf(path, size, "/dev/%s", name);
    return;
  }
  char line[260];
  if (lks_read_file(line, sizeof(line), "/sys/block/%s/dm/name", name) < 0) {
    path[0] = '\0';
    return;
  }
  line[strcspn(line, "\n")] = '\0';
  snprintf(path, size, "/dev/mapper/%s", line);
}

// Attaches the mount entry of each record's device path; adds to the sums.
void match_mount_name(host_disk_info_t *disks, int count, hash_struct *map, double *usage) {
  double used_sum = 0;
  double total_sum = 0;
  for (int i = 0; i < count; i++) {
    host_disk_info_t *d = &disks[i];
    char key[LKS_DISK_PATH_SIZE];
    void *found = nullptr;
    if (d->device_path[0] == '\0' || !mount_key(d->device_path, key) ||
        map_lookup(map, key, LKS_DISK_PATH_SIZE, &found) != 1) {
      continue;
    }
    const mount_entry *e = static_cast<const mount_entry *>(found);
    // Each directory (at most 127 characters) with its ", " separator.
    size_t size = static_cast<size_t>(e->dir_count) * (LKS_MOUNT_DIR_SIZE + 2);
    d->mount_names = static_cast<char *>(malloc(size));
    if (d->mount_names != nullptr) {
      size_t len = 0;
      d->mount_names[0] = '\0';
      for (int k = 0; k < e->dir_count; k++) {
        int n = snprintf(d->mount_names + len, size - len, "%s%s", k > 0 ? ", " : "", e->dirs[k]);
        if (n < 0 || static_cast<size_t>(n) >= size - len) break;
        len += static_cast<size_t>(n);
      }
    }
    snprintf(d->file_system, sizeof(d->file_system), "%.*s", LKS_DISK_FS_SIZE - 1, e->source);
    d->used = e->used;
    d->total = e->total;
    used_sum += static_cast<double>(e->used);
    total_sum += static_cast<double>(e->total);
  }
  if (total_sum != 0) *usage = used_sum / total_sum * 100;
}

int build_disk(void *arg, void *work, size_t work_size, uint8_t *encoded, size_t encoded_size) {
  const host_disk_stat_info_t *s = static_cast<const host_disk_stat_info_t *>(arg);
  host_disk_stat_message_t *m = host_disk_stat_message_new(work, work_size);
  if (m == nullptr || host_disk_stat_message_identity_alloc(m) != 0 ||
      (s->count > 0 && host_disk_stat_message_host_disk_stats_alloc(m, s->count) != 0)) {
    return LKS_BUILD_FULL;
  }
  char host_id[LKS_HOST_ID_SIZE];
  lks_identity_fill(m->identity_p, host_id);
  for (int i = 0; i < s->count; i++) {
    const host_disk_info_t &d = s->disks[i];
    host_disk_stat_t *e = &m->host_disk_stats.items_p[i];
    if (host_disk_stat_mount_info_alloc(e) != 0) return LKS_BUILD_FULL;
    e->name_p = d.name;
    e->read_requests = d.reads;
    e->write_requests = d.writes;
    e->read_bytes = d.read_bytes;
    e->write_bytes = d.write_bytes;
    e->queue_length = d.queue_length;
    e->util = d.util;
    e->mount_info_p->mount_names_p = d.mount_names != nullptr ? d.mount_names : "";
    e->mount_info_p->file_system_p = d.file_system;
    e->mount_info_p->used = static_cast<int64_t>(d.used);
    e->mount_info_p->total = static_cast<int64_t>(d.total);
    e->type = d.type == 1 ? _host_disk_type_whole_disk_e : _host_disk_type_other_e;
  }
  return lks_encode_result(host_disk_stat_message_encode(m, encoded, encoded_size));
}

}  // namespace

int lks_disk_parse_stat(const char *text, uint64_t counters[LKS_DISK_COUNTERS]) {
  uint64_t v[LKS_DISK_COUNTERS] = {};
  int n = 0;
  const char *p = text;
  while (n < LKS_DISK_COUNTERS) {
    const char *end = nullptr;
    uint64_t x = lks_parse_u64(p, &end);
    if (end == p || (*end != '\0' && *end != ' ' && *end != '\t' && *end != '\n')) break;
    v[n++] = x;
    p = end;
  }
  for (int i = 0; i < LKS_DISK_COUNTERS; i++) counters[i] = 0;
  if (n == 4) {
    counters[LKS_DISK_READ_IOS] = v[0];
    counters[LKS_DISK_READ_SECTORS] = v[1];
    counters[LKS_DISK_WRITE_IOS] = v[2];
    counters[LKS_DISK_WRITE_SECTORS] = v[3];
    return n;
  }
  int take = n > 16 ? 17 : n > 14 ? 15 : n > 10 ? 11 : 0;
  for (int i = 0; i < take; i++) counters[i] = v[i];
  return n;
}

int get_disk_stat(lks_disk_samples_t *out) {
  *out = lks_disk_samples_t{};
  char path[LKS_PATH_SIZE];
  DIR *dir = lks_path(path, sizeof(path), "/sys/class/block") == 0 ? opendir(path) : nullptr;
  if (dir == nullptr) return -1;
  int cap = 0;
  int count = 0;
  lks_disk_sample_t *devs = nullptr;
  int ret = 0;
  while (struct dirent *de = readdir(dir)) {
    if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0) continue;
    if (strlen(de->d_name) >= LKS_DISK_NAME_SIZE) continue;
    char text[512];
    // Read before adding: a device that went away since the listing (a
    // detached loop device, a pulled disk) is skipped, the others stay.
    if (lks_read_file(text, sizeof(text), "/sys/class/block/%s/stat", de->d_name) < 0) {
      VKLOG(g_vklog, VL_DEBUG, "[get_disk_stat] stat of %s unreadable; device skipped\n",
            de->d_name);
      continue;
    }
    if (count == cap) {
      int grown_cap = cap == 0 ? 64 : cap * 2;
      void *grown = realloc(devs, grown_cap * sizeof(*devs));
      if (grown == nullptr) {
        VKLOG(g_vklog, VL_INFO, "[get_disk_stat] allocation failed. (size: %d)\n",
              static_cast<int>(grown_cap * sizeof(*devs)));
        ret = -2;
        break;
      }
      devs = static_cast<lks_disk_sample_t *>(grown);
      cap = grown_cap;
    }
    lks_disk_sample_t *d = &devs[count];
    *d = lks_disk_sample_t{};
    snprintf(d->name, sizeof(d->name), "%s", de->d_name);
    lks_disk_parse_stat(text, d->counters);
    d->type = get_disk_type(d->name);
    count++;
  }
  closedir(dir);
  if (ret != 0) {
    free(devs);
    return ret;
  }
  if (count > 1) qsort(devs, count, sizeof(*devs), compare_names);
  out->count = count;
  out->devices = devs;
  return 0;
}

void lks_disk_samples_clear(lks_disk_samples_t *samples) {
  free(samples->devices);
  *samples = lks_disk_samples_t{};
}

int calc_disk_info(const lks_disk_samples_t *prev, const lks_disk_samples_t *cur, int interval_sec,
                   host_disk_info_t *out) {
  if (prev == nullptr || prev->count == 0) return 0;
  double t = interval_sec >= 1 ? interval_sec : 1;
  int n = 0;
  int j = 0;
  for (int i = 0; i < cur->count && j < prev->count;) {
    const lks_disk_sample_t &c = cur->devices[i];
    const lks_disk_sample_t &p = prev->devices[j];
    int cmp = strcmp(c.name, p.name);
    if (cmp < 0) {  // new since the previous cycle: reported from the next one
      i++;
      continue;
    }
    if (cmp > 0) {  // gone since the previous cycle
      j++;
      continue;
    }
    host_disk_info_t *d = &out[n++];
    snprintf(d->name, sizeof(d->name), "%s", c.name);
    const uint64_t *pc = p.counters;
    const uint64_t *cc = c.counters;
    d->reads = rate(pc[LKS_DISK_READ_IOS], cc[LKS_DISK_READ_IOS], 1, t);
    d->writes = rate(pc[LKS_DISK_WRITE_IOS], cc[LKS_DISK_WRITE_IOS], 1, t);
    d->read_bytes = rate(pc[LKS_DISK_READ_SECTORS], cc[LKS_DISK_READ_SECTORS], 512, t);
    d->write_bytes = rate(pc[LKS_DISK_WRITE_SECTORS], cc[LKS_DISK_WRITE_SECTORS], 512, t);
    d->queue_length = rate(pc[LKS_DISK_TIME_IN_QUEUE], cc[LKS_DISK_TIME_IN_QUEUE], 1, t) / 1000;
    d->util = rate(pc[LKS_DISK_IO_TICKS], cc[LKS_DISK_IO_TICKS], 1, t) / 10;
    d->type = c.type;
    device_path(c.name, d->device_path, sizeof(d->device_path));
    i++;
    j++;
  }
  return n;
}

int get_host_disk_stat(host_disk_stat_info_t *out, int interval_sec, double *usage) {
  *out = host_disk_stat_info_t{};
  hash_struct map = {};
  if (map_init(&map, MOUNT_MAP_BUCKETS, sizeof(mount_entry)) == 0) get_filesystem_stat(&map);
  lks_disk_samples_t cur;
  get_disk_stat(&cur);
  int ret = 0;
  if (cur.count > 0) {
    out->disks = static_cast<host_disk_info_t *>(calloc(cur.count, sizeof(host_disk_info_t)));
    if (out->disks == nullptr) {
      VKLOG(g_vklog, VL_DEBUG, "[get_host_disk_stat] allocation failed. (size: %d)\n",
            static_cast<int>(cur.count * sizeof(host_disk_info_t)));
      ret = -1;
    }
  }
  if (ret == 0) {
    out->count = calc_disk_info(&g_prev_disks, &cur, interval_sec, out->disks);
    match_mount_name(out->disks, out->count, &map, usage);
    lks_disk_samples_clear(&g_prev_disks);
    g_prev_disks = cur;
  } else {
    lks_disk_samples_clear(&cur);
  }
  map_destroy_ex(&map, mount_entry_free);
  return ret;
}

void host_disk_stat_clear(host_disk_stat_info_t *stat) {
  for (int i = 0; i < stat->count; i++) free(stat->disks[i].mount_names);
  free(stat->disks);
  *stat = host_disk_stat_info_t{};
}

int send_host_disk_stat(host_disk_stat_info_t *stat) {
  size_t need = 4096 + static_cast<size_t>(stat->count) * 1024;
  for (int i = 0; i < stat->count; i++) {
    if (stat->disks[i].mount_names != nullptr) need += strlen(stat->disks[i].mount_names);
  }
  int len = lks_msgbuf_build(&g_disk_buf, need, need, build_disk, stat);
  int ret = 0;
  if (len < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_host_disk_stat] host_disk_stat_encode failed(%d). buffer size: %zu\n", len,
          g_disk_buf.encoded_size);
    ret = -1;
  } else {
    ret = lks_send(LKS_CODE_DISK, g_disk_buf.encoded, static_cast<size_t>(len)) == 0 ? 0 : -2;
    for (int i = 0; i < stat->count; i++) {
      const host_disk_info_t &d = stat->disks[i];
      VKLOG(g_vklog, VL_DEBUG,
            "[send_host_disk_stat] (%s): device path(%s), read requests(%lf), write requests(%lf), "
            "read bytes(%lf), write bytes(%lf), queue length(%lf), %%util(%lf), type(%d)\n",
            d.name, d.device_path, d.reads, d.writes, d.read_bytes, d.write_bytes, d.queue_length,
            d.util, d.type);
      if (d.mount_names != nullptr) {
        VKLOG(g_vklog, VL_DEBUG,
              "[send_host_disk_stat] (%s): mount name(%s), file system(%s), used(%llu), "
              "total(%llu)\n",
              d.name, d.mount_names, d.file_system, (unsigned long long)d.used,
              (unsigned long long)d.total);
      }
    }
  }
  host_disk_stat_clear(stat);
  return ret;
}

void lks_disk_reset(void) {
  lks_disk_samples_clear(&g_prev_disks);
  lks_msgbuf_clear(&g_disk_buf);
}
