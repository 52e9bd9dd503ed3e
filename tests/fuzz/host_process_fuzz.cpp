// Fuzz entries for the host agent's process collector and package list,
// fed through the root-directory seam and the data directory (see
// fuzz_host_env.h).
//
// host_process_tree: one to three processes under <root>/proc, each with a
// pid, two "stat" lines (one per scan), a "cmdline" and an "io" file, a
// "limits" file for the first, and /proc/stat, whose boot time the scans
// add to start times. Two scans run with the stat lines swapped in
// between, the second's sample times moved on by an amount from the input,
// then the CPU shares between them; the agent's own cycle (scan and
// report encoding) runs once; the limits file is read as the collector's
// request reads it. Input: count byte, the time step (2 bytes), per process
// the pid (2 bytes) and four pieces (2-byte length, bytes), /proc/stat as
// one more piece, then the limits text. Checked: every record is one of
// the written pids, its texts are terminated within their fields, shares
// are numbers and not negative, and limit rows are at most LKS_LIMIT_MAX
// with terminated fields.
//
// host_package_list: the input is the package file of the data directory
// (dated today, so no query tool runs) read by the agent's collection,
// which builds and encodes reports of 100 packages; then every line goes
// through both line readers (the rpm format and the dpkg-query format).
// Checked: texts terminated within their fields, sizes and install times
// not negative where the reader promises it.
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "fuzz_host_env.h"
#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "os/linux/lks_linux_package.h"
#include "os/linux/lks_linux_process.h"
#include "pub_conf.h"
#include "vk_util.h"

namespace {

bool terminated(const char *field, size_t size) {
  return memchr(field, '\0', size) != nullptr;
}

bool share_sound(double p) {
  return !isnan(p) && p >= 0.0;
}

struct fuzz_process {
  uint32_t pid;
  std::string_view stat[2];
  std::string_view cmdline;
  std::string_view io;
};

bool write_stats(const std::vector<fuzz_process> &procs, int which) {
  for (const fuzz_process &p : procs) {
    if (!fuzz_host_put_file("/proc/" + std::to_string(p.pid) + "/stat", p.stat[which]))
      return false;
  }
  return true;
}

bool records_sound(const lks_proc_list_t *list, const std::vector<fuzz_process> &procs) {
  if (list->count < 0 || static_cast<size_t>(list->count) > procs.size()) return false;
  for (int i = 0; i < list->count; i++) {
    const lks_proc_t *r = list->items[i];
    bool known = false;
    for (const fuzz_process &p : procs) known = known || p.pid == r->pid;
    if (!known || !terminated(r->comm, sizeof(r->comm)) ||
        !terminated(r->cmdline, sizeof(r->cmdline)) || !terminated(r->user, sizeof(r->user)) ||
        !share_sound(r->cpu_sys) || !share_sound(r->cpu_user) || !share_sound(r->cpu_total))
      return false;
  }
  return true;
}

}  // namespace

int fuzz_host_process_tree(const uint8_t *data, size_t size) {
  if (fuzz_host_root().empty()) return 1;
  fuzz_host_ops_install();
  fuzz_input in = fuzz_input_make(data, size);
  size_t count = fuzz_input_u8(&in) % 3 + 1;
  uint64_t step_msec = fuzz_input_uint(&in, 2);
  std::vector<fuzz_process> procs;
  for (size_t i = 0; i < count; i++) {
    fuzz_process p;
    p.pid = static_cast<uint32_t>(fuzz_input_uint(&in, 2)) + 1;
    p.stat[0] = fuzz_input_bytes(&in, fuzz_input_uint(&in, 2));
    p.stat[1] = fuzz_input_bytes(&in, fuzz_input_uint(&in, 2));
    p.cmdline = fuzz_input_bytes(&in, fuzz_input_uint(&in, 2));
    p.io = fuzz_input_bytes(&in, fuzz_input_uint(&in, 2));
    procs.push_back(p);
  }
  std::string_view proc_stat = fuzz_input_bytes(&in, fuzz_input_uint(&in, 2));
  std::string_view limits = fuzz_input_bytes(&in, fuzz_input_left(&in));

  fuzz_host_remove("/proc");
  for (const fuzz_process &p : procs) {
    std::string dir = "/proc/" + std::to_string(p.pid);
    if (!fuzz_host_put_file(dir + "/cmdline", p.cmdline) || !fuzz_host_put_file(dir + "/io", p.io))
      return 1;
  }
  if (!fuzz_host_put_file("/proc/" + std::to_string(procs[0].pid) + "/limits", limits) ||
      !fuzz_host_put_file("/proc/stat", proc_stat) || !write_stats(procs, 0))
    return 1;
  int64_t btime = lks_read_btime();
  if (btime < 0) return 1;  // the file is there
  lks_proc_set_btime(static_cast<uint64_t>(btime));

  int broken = 0;
  lks_proc_list_t prev = {}, cur = {};
  pthread_mutex_lock(&g_username_lock);
  lks_process_reset();
  int r0 = get_process_infos(&prev);
  if (!write_stats(procs, 1)) broken = 1;
  int r1 = get_process_infos(&cur);
  for (int i = 0; i < cur.count; i++) cur.items[i]->sample_msec += step_msec;
  lks_proc_cpu_calc(&prev, &cur, sysconf(_SC_CLK_TCK));
  if (r0 != 0 || r1 != 0 || !records_sound(&prev, procs) || !records_sound(&cur, procs) ||
      !share_sound(cur.total_cpu))
    broken = 1;
  lks_proc_list_clear(&prev);
  lks_proc_list_clear(&cur);
  int cycle = get_host_process_list();
  if (cycle != 0) broken = 1;
  lks_process_reset();
  pthread_mutex_unlock(&g_username_lock);

  lks_limit_t rows[LKS_LIMIT_MAX];
  int n = get_host_process_limits(rows, procs[0].pid);
  if (n > LKS_LIMIT_MAX) broken = 1;
  for (int i = 0; i < n; i++) {
    const lks_limit_t *l = &rows[i];
    if (!terminated(l->name, sizeof(l->name)) || !terminated(l->soft, sizeof(l->soft)) ||
        !terminated(l->hard, sizeof(l->hard)) || !terminated(l->units, sizeof(l->units)))
      broken = 1;
  }
  return broken;
}

namespace {

bool package_sound(const lks_package_t *p) {
  return terminated(p->name, sizeof(p->name)) && terminated(p->version, sizeof(p->version)) &&
         terminated(p->release, sizeof(p->release)) && terminated(p->license, sizeof(p->license)) &&
         terminated(p->summary, sizeof(p->summary)) && p->extra[0] == '\0' && p->install_time >= 0;
}

}  // namespace

int fuzz_host_package_list(const uint8_t *data, size_t size) {
  if (fuzz_host_root().empty()) return 1;
  fuzz_host_ops_install();
  std::string_view text(reinterpret_cast<const char *>(data), size);
  std::string path = std::string(g_vk_host_home) + "/data/" + LKS_PKG_FILE;
  if (!fuzz_host_put_file(path.substr(fuzz_host_root().size()), text)) return 1;
  // Dated now on the agent's clock: the file counts as today's.
  struct timespec now[2];
  now[0].tv_sec = now[1].tv_sec = static_cast<time_t>(vk_get_time_msec() / 1000);
  now[0].tv_nsec = now[1].tv_nsec = 0;
  if (utimensat(AT_FDCWD, path.c_str(), now, 0) != 0) {
    perror(path.c_str());
    return 1;
  }
  int broken = get_host_installed_package() == 0 ? 0 : 1;

  std::string line;
  size_t from = 0;
  while (from < text.size()) {
    size_t nl = text.find('\n', from);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    line.assign(text.substr(from, end - from));
    from = end;
    lks_package_t pkg;
    lks_package_parse_line(line.c_str(), &pkg);
    if (!package_sound(&pkg)) broken = 1;
    if (lks_package_parse_dpkg_line(line.c_str(), &pkg) && (pkg.size < 0 || pkg.name[0] == '\0'))
      broken = 1;
    if (!package_sound(&pkg)) broken = 1;
  }
  return broken;
}
