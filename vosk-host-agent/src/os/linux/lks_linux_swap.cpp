#include "os/linux/lks_linux_swap.h"

#include <stdlib.h>
#include <string.h>

#include "host_stat.h"
#include "os/linux/lks_linux_env.h"
#include "vk_util.h"
#include "vklog.h"

namespace {

lks_msgbuf_t g_swap_buf = {};

// Copies [begin, end) with octal escapes ("\040") decoded into a field of
// `size` bytes, cut to fit.
void copy_unescaped(char *field, size_t size, const char *begin, const char *end) {
  size_t n = 0;
  for (const char *p = begin; p < end && n + 1 < size; p++) {
    if (*p == '\\' && end - p >= 4 && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' &&
        p[3] >= '0' && p[3] <= '7') {
      field[n++] = static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
      p += 3;
    } else {
      field[n++] = *p;
    }
  }
  field[n] = '\0';
}

const char *skip(const char *p, const char *set) {
  while (*p != '\0' && strchr(set, *p) != nullptr) p++;
  return p;
}

// Parses one line into rec; false when it holds no swap area.
bool parse_line(const char *line, const char *end, host_swap_info_t *rec) {
  *rec = host_swap_info_t{};
  const char *p = line;
  const char *name_end = p;
  while (name_end < end && *name_end != ' ' && *name_end != '\t') name_end++;
  if (name_end == p) return false;
  copy_unescaped(rec->filename, sizeof(rec->filename), p, name_end);
  p = skip(name_end, " ");
  const char *type_end = p;
  while (type_end < end && *type_end != '\t') type_end++;
  std::string_view type(p, static_cast<size_t>(type_end - p));
  while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
  if (!vk_copy_field(rec->type, sizeof(rec->type), type)) {
    vk_copy_field(rec->type, sizeof(rec->type), type.substr(0, sizeof(rec->type) - 1));
  }
  p = skip(type_end, "\t ");
  const char *after = nullptr;
  uint64_t size_kb = lks_parse_u64(p, &after);
  if (after == p || after > end) return false;
  p = skip(after, "\t ");
  uint64_t used_kb = lks_parse_u64(p, &after);
  if (after > end) used_kb = 0;
  p = skip(after, "\t ");
  rec->priority = p < end ? lks_parse_i64(p, nullptr) : 0;
  // Figures that cannot be bytes (garbled) are sent as 0, not wrapped.
  rec->size = size_kb > UINT64_MAX / 1024 ? 0 : size_kb * 1024;
  rec->used = used_kb > UINT64_MAX / 1024 ? 0 : used_kb * 1024;
  if (rec->used > rec->size) rec->used = rec->size;
  return true;
}

int build_swap(void *arg, void *work, size_t work_size, uint8_t *encoded, size_t encoded_size) {
  const host_swap_stat_info_t *s = static_cast<const host_swap_stat_info_t *>(arg);
  host_swap_stat_message_t *m = host_swap_stat_message_new(work, work_size);
  if (m == nullptr || host_swap_stat_message_identity_alloc(m) != 0 ||
      (s->count > 0 && host_swap_stat_message_host_swap_stats_alloc(m, s->count) != 0)) {
    return LKS_BUILD_FULL;
  }
  char host_id[LKS_HOST_ID_SIZE];
  lks_identity_fill(m->identity_p, host_id);
  for (int i = 0; i < s->count; i++) {
    host_swap_stat_t *e = &m->host_swap_stats.items_p[i];
    e->filename_p = s->swaps[i].filename;
    e->type_p = s->swaps[i].type;
    e->size = static_cast<int64_t>(s->swaps[i].size);
    e->used = static_cast<int64_t>(s->swaps[i].used);
    e->priority = s->swaps[i].priority;
  }
  return lks_encode_result(host_swap_stat_message_encode(m, encoded, encoded_size));
}

}  // namespace

int lks_swap_parse(const char *text, host_swap_stat_info_t *out) {
  *out = host_swap_stat_info_t{};
  int lines = lks_count_lines(text);
  host_swap_info_t *recs = static_cast<host_swap_info_t *>(calloc(lines, sizeof(*recs)));
  if (recs == nullptr) {
    VKLOG(g_vklog, VL_DEBUG, "[get_host_swap_stat] allocation failed. (size: %d)\n",
          static_cast<int>(lines * sizeof(*recs)));
    return -1;
  }
  int count = 0;
  const char *line = text;
  while (*line != '\0') {
    const char *end = strchr(line, '\n');
    if (end == nullptr) end = line + strlen(line);
    if (end > line && strncmp(line, "Filename", 8) != 0 && parse_line(line, end, &recs[count])) {
      const host_swap_info_t &r = recs[count];
      VKLOG(g_vklog, VL_DEBUG, "[get_swap_info_LINUX][%s,%s,%llu,%llu,%ld]\n", r.filename, r.type,
            (unsigned long long)r.size, (unsigned long long)r.used, (long)r.priority);
      count++;
    }
    line = *end == '\n' ? end + 1 : end;
  }
  if (count == 0) {
    free(recs);
    recs = nullptr;
  }
  out->count = count;
  out->swaps = recs;
  return 0;
}

int get_host_swap_stat(host_swap_stat_info_t *out) {
  *out = host_swap_stat_info_t{};
  char *text = nullptr;
  if (lks_read_file_all(&text, "/proc/swaps") < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[load_file_info_buffer] load file has failed.[%s]\n", "/proc/swaps");
    return -1;
  }
  int ret = lks_swap_parse(text, out);
  free(text);
  return ret;
}

void host_swap_stat_clear(host_swap_stat_info_t *stat) {
  free(stat->swaps);
  *stat = host_swap_stat_info_t{};
}

int send_host_swap_stat(host_swap_stat_info_t *stat) {
  // Room for every record's two strings and figures, so a host with many
  // swap files is built in one pass.
  size_t need = 4096 + static_cast<size_t>(stat->count) * (sizeof(host_swap_info_t) + 128);
  int len = lks_msgbuf_build(&g_swap_buf, need, need, build_swap, stat);
  int ret = 0;
  if (len < 0) {
    VKLOG(g_vklog, VL_ERROR,
          "[send_host_swap_stat] host_swap_stat_message_encode failed(%d). buffer size: %zu\n", len,
          g_swap_buf.encoded_size);
    ret = -1;
  } else {
    ret = lks_send(LKS_CODE_SWAP, g_swap_buf.encoded, static_cast<size_t>(len)) == 0 ? 0 : -2;
    for (int i = 0; i < stat->count; i++) {
      const host_swap_info_t &r = stat->swaps[i];
      VKLOG(g_vklog, VL_DEBUG,
            "[send_host_swap_stat] (%s): type(%s), total(%llu), used(%llu), priority(%lld)\n",
            r.filename, r.type, (unsigned long long)r.size, (unsigned long long)r.used,
            (long long)r.priority);
    }
  }
  host_swap_stat_clear(stat);
  return ret;
}

void lks_swap_release(void) {
  lks_msgbuf_clear(&g_swap_buf);
}
