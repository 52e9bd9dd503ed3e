#include "on_demand.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>

#include "configure.h"
#include "pub_conf.h"
#include "vklog.h"

namespace {

int32_t s_samples[TIMESYNC_SAMPLE_COUNT];  // THR_DGCONN
int s_sample_count;                        // THR_DGCONN
std::atomic<int32_t> s_offset{0};

}  // namespace

int32_t timesync_middle_mean(const int32_t samples[TIMESYNC_SAMPLE_COUNT]) {
  int32_t sorted[TIMESYNC_SAMPLE_COUNT];
  memcpy(sorted, samples, sizeof(sorted));
  std::sort(sorted, sorted + TIMESYNC_SAMPLE_COUNT);
  int64_t sum = 0;
  for (int i = 2; i < 8; i++) sum += sorted[i];
  return static_cast<int32_t>(sum / 6);
}

int timesync_add_sample(int32_t diff, int32_t *offset) {
  s_samples[s_sample_count++] = diff;
  if (s_sample_count < TIMESYNC_SAMPLE_COUNT) return 0;
  s_sample_count = 0;
  int32_t v = timesync_middle_mean(s_samples);
  s_offset.store(v);
  if (offset != nullptr) *offset = v;
  return 1;
}

int32_t timesync_offset(void) {
  return s_offset.load();
}

void timesync_reset(void) {
  s_sample_count = 0;
}

int64_t timezone_offset_msec(void) {
  tzset();
  long west = timezone;
  struct tm tm_epoch;
  time_t zero = 0;
  if (localtime_r(&zero, &tm_epoch) != nullptr && tm_epoch.tm_isdst > 0) west -= 3600;
  return -1000LL * west;
}

int apply_remote_config(const conf_pair_t *pairs, int count) {
  if (pairs == nullptr || count <= 0) return 0;
  for (int i = 0; i < count; i++) {
    if (pairs[i].key == nullptr || pairs[i].value == nullptr) continue;
    size_t length = pairs[i].value_length != 0 ? pairs[i].value_length : strlen(pairs[i].value);
    update_conf_value_for_key(g_conf_handle, pairs[i].key, pairs[i].value,
                              static_cast<int>(length));
  }
  char path[HOST_PATH_SIZE];
  if (host_config_path(path, sizeof(path)) != 0) return -2;
  int ret = save_config_file(g_conf_handle, path);
  if (ret != 0)
    VKLOG(g_vklog, VL_ERROR, "[apply_remote_config] save_config_file(%s) failed (%d)\n", path, ret);
  return ret;
}
