#include "os/linux/lks_linux_mem.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>

#include "os/linux/lks_linux_env.h"
#include "vklog.h"

namespace {

// Larger than any meminfo seen (about 1.5 KiB), so no label is cut off.
constexpr size_t MEMINFO_READ_SIZE = 16384;

struct mem_label {
  const char *label;
  size_t offset;
};

#define MEM_FIELD(label, field) \
  { label, offsetof(host_mem_stat_info_t, field) }
constexpr mem_label MEM_LABELS[] = {
    MEM_FIELD("MemTotal:", total),
    MEM_FIELD("MemFree:", free),
    MEM_FIELD("MemAvailable:", available),
    MEM_FIELD("Buffers:", buffers),
    MEM_FIELD("Cached:", cached),
    MEM_FIELD("Active:", active),
    MEM_FIELD("Inactive:", inactive),
    MEM_FIELD("KReclaimable:", kreclaimable),
    MEM_FIELD("Slab:", slab),
    MEM_FIELD("SReclaimable:", sreclaimable),
    MEM_FIELD("SUnreclaim:", sunreclaim),
};
#undef MEM_FIELD

}  // namespace

void lks_mem_parse(const char *text, host_mem_stat_info_t *out) {
  *out = host_mem_stat_info_t{};
  bool have_available = false;
  const char *line = text;
  while (line != nullptr && *line != '\0') {
    const char *next = strchr(line, '\n');
    for (const mem_label &m : MEM_LABELS) {
      size_t n = strlen(m.label);
      if (strncmp(line, m.label, n) != 0) continue;
      const char *end = nullptr;
      uint64_t kb = lks_parse_u64(line + n, &end);
      uint64_t bytes = (end == line + n || kb > UINT64_MAX / 1024) ? 0 : kb * 1024;
      memcpy(reinterpret_cast<char *>(out) + m.offset, &bytes, sizeof(bytes));
      if (m.offset == offsetof(host_mem_stat_info_t, available)) have_available = true;
      break;
    }
    line = next != nullptr ? next + 1 : nullptr;
  }
  if (!have_available) out->available = out->free + out->buffers + out->cached;
}

int get_host_mem_stat(host_mem_stat_info_t *out) {
  char text[MEMINFO_READ_SIZE];
  if (lks_read_file(text, sizeof(text), "/proc/meminfo") < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[loadFileToList] open(%s) has failed(%d).\n", "/proc/meminfo", errno);
    *out = host_mem_stat_info_t{};
    return -1;
  }
  lks_mem_parse(text, out);
  return 0;
}
