#include "os/linux/lks_linux_cpu.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host_stat.h"
#include "os/linux/lks_linux_env.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

// Previous sample and report buffers of the metric thread.
lks_cpu_sample_t g_prev_cpu = {};
lks_msgbuf_t g_stat_buf = {};

struct host_stat_args {
  const host_cpu_stat_info_t *cpu;
  const host_mem_stat_info_t *mem;
  double disk_usage;
};

int build_host_stat(void *arg, void *work, size_t work_size, uint8_t *encoded,
                    size_t encoded_size) {
  const host_stat_args *a = static_cast<const host_stat_args *>(arg);
  host_stat_message_t *m = host_stat_message_new(work, work_size);
  if (m == nullptr || host_stat_message_identity_alloc(m) != 0 ||
      host_stat_message_cpu_stat_alloc(m) != 0 || host_stat_message_mem_stat_alloc(m) != 0) {
    return LKS_BUILD_FULL;
  }
  char host_id[LKS_HOST_ID_SIZE];
  lks_identity_fill(m->identity_p, host_id);
  host_cpu_stat_t *c = m->cpu_stat_p;
  c->load1 = a->cpu->load1;
  c->load5 = a->cpu->load5;
  c->load15 = a->cpu->load15;
  c->user = a->cpu->user;
  c->nice = a->cpu->nice;
  c->system = a->cpu->sys;
  c->idle = a->cpu->idle;
  c->iowait = a->cpu->iowait;
  c->irq = a->cpu->irq;
  c->softirq = a->cpu->softirq;
  c->steal = a->cpu->steal;
  host_mem_stat_t *mm = m->mem_stat_p;
  mm->total = static_cast<int64_t>(a->mem->total);
  mm->free = static_cast<int64_t>(a->mem->free);
  mm->available = static_cast<int64_t>(a->mem->available);
  mm->buffers = static_cast<int64_t>(a->mem->buffers);
  mm->cached = static_cast<int64_t>(a->mem->cached);
  mm->active = static_cast<int64_t>(a->mem->active);
  mm->inactive = static_cast<int64_t>(a->mem->inactive);
  mm->kreclaimable = static_cast<int64_t>(a->mem->kreclaimable);
  mm->slab = static_cast<int64_t>(a->mem->slab);
  mm->sreclaimable = static_cast<int64_t>(a->mem->sreclaimable);
  mm->sunreclaim = static_cast<int64_t>(a->mem->sunreclaim);
  m->disk_usage = a->disk_usage;
  return lks_encode_result(host_stat_message_encode(m, encoded, encoded_size));
}

// Copies the value after "key<blanks>:" when the key of `line` is `key`.
void cpuinfo_take(const char *key, const char *value, const char *want, char *field) {
  if (strcmp(key, want) != 0) return;
  size_t n = strlen(value);
  if (n >= LKS_CPU_INFO_FIELD) n = LKS_CPU_INFO_FIELD - 1;
  memcpy(field, value, n);
  field[n] = '\0';
}

}  // namespace

int lks_cpu_sample_read(lks_cpu_sample_t *out) {
  *out = lks_cpu_sample_t{};
  FILE *f = lks_fopen("/proc/stat");
  if (f == nullptr) {
    VKLOG(g_vklog, VL_DEBUG, "[loadFileToList] fopen(%s) has failed.\n", "/proc/stat");
    return -1;
  }
  char line[1024];
  int ret = -1;
  while (fgets(line, sizeof(line), f) != nullptr) {
    VKLOG(g_vklog, VL_DEBUG, "[_get_cpu_usage] (%lu)%s\n", static_cast<unsigned long>(strlen(line)),
          line);
    if (strncmp(line, "cpu", 3) != 0 || (line[3] != ' ' && line[3] != '\t')) continue;
    const char *p = line + 3;
    for (int i = 1; i < LKS_CPU_TICKS; i++) {
      const char *end = nullptr;
      int64_t v = lks_parse_i64(p, &end);
      if (end == p) break;
      // A garbled negative count is no count at all.
      out->ticks[i] = v < 0 ? 0 : static_cast<uint64_t>(v);
      out->ticks[0] += out->ticks[i];
      p = end;
    }
    ret = 0;
    break;
  }
  fclose(f);
  return ret;
}

void lks_cpu_usage_calc(const lks_cpu_sample_t *prev, const lks_cpu_sample_t *cur,
                        host_cpu_stat_info_t *out) {
  double *shares[] = {&out->user, &out->nice,    &out->sys,   &out->idle,  &out->iowait,
                      &out->irq,  &out->softirq, &out->steal, &out->guest, &out->guest_nice};
  for (double *s : shares) *s = 0;
  if (prev->ticks[0] == 0) return;
  double delta[LKS_CPU_TICKS] = {};
  double total = 0;
  for (int i = 1; i < LKS_CPU_TICKS; i++) {
    // A counter that went back (a processor taken offline, a garbled file)
    // counts no ticks rather than an enormous unsigned difference.
    if (cur->ticks[i] > prev->ticks[i])
      delta[i] = static_cast<double>(cur->ticks[i] - prev->ticks[i]);
    total += delta[i];
  }
  if (total <= 0) return;
  for (int i = 1; i < LKS_CPU_TICKS; i++) *shares[i - 1] = 100.0 * delta[i] / total;
  VKLOG(g_vklog, VL_DEBUG,
        "[_get_cpu_info]user[%.2f],sys[%.2f],idle[%.2f],iowait[%.2f],steal[%.2f]\n",
        out->user / 100, out->sys / 100, out->idle / 100, out->iowait / 100, out->steal / 100);
}

int get_cpu_loadavg(host_cpu_stat_info_t *out) {
  out->load1 = out->load5 = out->load15 = 0;
  char text[256];
  if (lks_read_file(text, sizeof(text), "/proc/loadavg") < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[get_cpu_loadavg] open(%s) has failed.\n", "/proc/loadavg");
    return -1;
  }
  float l1 = 0, l5 = 0, l15 = 0;
  if (sscanf(text, "%f %f %f", &l1, &l5, &l15) != 3) l1 = l5 = l15 = 0;
  // Loads are never negative; a garbled file must not send one.
  out->load1 = l1 > 0 ? l1 : 0;
  out->load5 = l5 > 0 ? l5 : 0;
  out->load15 = l15 > 0 ? l15 : 0;
  VKLOG(g_vklog, VL_DEBUG, "[get_cpu_loadavg] load1(%f) load5(%f) load15(%f)\n", out->load1,
        out->load5, out->load15);
  return 0;
}

void get_host_cpu_stat(host_cpu_stat_info_t *out) {
  *out = host_cpu_stat_info_t{};
  get_cpu_loadavg(out);
  lks_cpu_sample_t cur;
  lks_cpu_sample_read(&cur);
  lks_cpu_usage_calc(&g_prev_cpu, &cur, out);
  g_prev_cpu = cur;
}

void lks_cpu_reset(void) {
  g_prev_cpu = lks_cpu_sample_t{};
  lks_msgbuf_clear(&g_stat_buf);
}

int get_host_cpu_info(host_cpu_info_t *out) {
  *out = host_cpu_info_t{};
  FILE *f = lks_fopen("/proc/cpuinfo");
  if (f == nullptr) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_cpu_info] fopen() has failed. (filename: %s)\n",
          "/proc/cpuinfo");
    return -1;
  }
  char line[4096];
  while (fgets(line, sizeof(line), f) != nullptr) {
    char *colon = strchr(line, ':');
    if (colon == nullptr) break;  // the blank line after the first processor
    *colon = '\0';
    char key[17];
    vk_copy_field(key, sizeof(key), std::string_view(line, strnlen(line, 16)));
    vk_rtrim(key, strlen(key));
    char *value = colon + 1;
    vk_trim(value, strlen(value));
    cpuinfo_take(key, value, "vendor_id", out->vendor_id);
    cpuinfo_take(key, value, "model name", out->model_name);
    cpuinfo_take(key, value, "cpu MHz", out->mhz);
    cpuinfo_take(key, value, "cache size", out->cache_size);
    cpuinfo_take(key, value, "cpu family", out->family);
    cpuinfo_take(key, value, "model", out->model);
    cpuinfo_take(key, value, "stepping", out->stepping);
  }
  fclose(f);
  VKLOG(g_vklog, VL_DEBUG,
        "[get_host_cpu_info] vendor_id(%s), model_name(%s), mhz(%s), cache_size(%s), family(%s), "
        "model(%s), stepping(%s)\n",
        out->vendor_id, out->model_name, out->mhz, out->cache_size, out->family, out->model,
        out->stepping);
  return 0;
}

int send_host_stat(const host_cpu_stat_info_t *cpu, const host_mem_stat_info_t *mem,
                   double disk_usage) {
  lks_msgbuf_t &buf = g_stat_buf;
  host_stat_args args = {cpu, mem, disk_usage};
  int len = lks_msgbuf_build(&buf, LKS_MSG_START_SIZE, LKS_MSG_START_SIZE, build_host_stat, &args);
  if (len < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_host_stat] host_stat_message_encode failed(%d). buffer size: %zu\n", len,
          buf.encoded_size);
    return -1;
  }
  int sent = lks_send(LKS_CODE_HOST_STAT, buf.encoded, static_cast<size_t>(len));
  VKLOG(g_vklog, VL_DEBUG, "[send_host_stat] cpu - load1(%lf), load5(%lf), load15(%lf)\n",
        cpu->load1, cpu->load5, cpu->load15);
  VKLOG(g_vklog, VL_DEBUG,
        "[send_host_stat] cpu - user(%lf), nice(%lf), sys(%lf), idle(%lf), iowait(%lf), irq(%lf), "
        "softirq(%lf), steal(%lf)\n",
        cpu->user, cpu->nice, cpu->sys, cpu->idle, cpu->iowait, cpu->irq, cpu->softirq, cpu->steal);
  VKLOG(g_vklog, VL_DEBUG,
        "[send_host_stat] mem - total(%llu), free(%llu), available(%llu), buffer(%llu), "
        "cache(%llu), active(%llu), inactive(%llu), kreclaimable(%llu), slab(%llu), "
        "sreclaimable(%llu), sunreclaim(%llu)\n",
        (unsigned long long)mem->total, (unsigned long long)mem->free,
        (unsigned long long)mem->available, (unsigned long long)mem->buffers,
        (unsigned long long)mem->cached, (unsigned long long)mem->active,
        (unsigned long long)mem->inactive, (unsigned long long)mem->kreclaimable,
        (unsigned long long)mem->slab, (unsigned long long)mem->sreclaimable,
        (unsigned long long)mem->sunreclaim);
  VKLOG(g_vklog, VL_DEBUG, "[send_host_stat] disk usage(%lf)\n", disk_usage);
  return sent == 0 ? 0 : -2;
}
