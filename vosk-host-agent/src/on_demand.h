// Work the collector asks for on the server-link thread: the clock-offset
// estimate from time-synchronisation samples, the time-zone offset, and
// configuration changes that rewrite the "config" file.
//
// The sample store belongs to THR_DGCONN (tests call it on their own
// thread while the link is not running).
#ifndef VOSK_HOST_AGENT_ON_DEMAND_H
#define VOSK_HOST_AGENT_ON_DEMAND_H

#include <stddef.h>
#include <stdint.h>

#define TIMESYNC_SAMPLE_COUNT 10

// Mean of the middle six of ten samples sorted ascending (integer division).
int32_t timesync_middle_mean(const int32_t samples[TIMESYNC_SAMPLE_COUNT]);

// Stores one sample (server time minus agent time). Returns 1 and sets
// *offset when it was the tenth (the store starts over), else 0.
int timesync_add_sample(int32_t diff, int32_t *offset);

// The last computed offset (0 before the first complete round).
int32_t timesync_offset(void);

// Forgets the samples of an unfinished round.
void timesync_reset(void);

// Milliseconds east of UTC of the local zone (daylight saving by the
// rule of the zone at time 0, as the collector expects).
int64_t timezone_offset_msec(void);

// One key/value pair of a configuration change.
typedef struct {
  const char *key;
  const char *value;
  size_t value_length;  // bytes of value as sent (a NUL inside shows); 0: strlen
} conf_pair_t;

// Applies the pairs to g_conf_handle and, when there was at least one,
// rewrites "<home>/data/config" with every key in table order. 0, or the
// negative result of save_config_file.
int apply_remote_config(const conf_pair_t *pairs, int count);

#endif  // VOSK_HOST_AGENT_ON_DEMAND_H
