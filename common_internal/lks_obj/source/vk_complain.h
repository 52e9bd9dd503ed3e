// Complaints that back off: a repeated failure (a device that does not
// answer, a collection that is still pending) is logged when it starts and
// when it ends, not on every repeat, and a caller that retries the failing
// operation can pause longer after each failure, up to a limit.
//
// The record only counts; the caller logs (this library does not log), so
// each module keeps its own texts and levels. A record is guarded by
// whatever guards the thing it describes: it has no lock of its own.
#ifndef COMMON_INTERNAL_VK_COMPLAIN_H
#define COMMON_INTERNAL_VK_COMPLAIN_H

#include <stdint.h>

typedef struct {
  uint32_t failures;    // failures of the current streak; 0: none
  uint64_t since_msec;  // caller's time of the streak's first failure
} vk_complain_t;

// Zeroes the record: no streak.
void vk_complain_init(vk_complain_t *c);

// Counts one failure at `now_msec`. Returns 1 when it starts a streak (the
// caller logs the failure now), 0 when the streak goes on (stay quiet), -1
// for a null record.
int vk_complain(vk_complain_t *c, uint64_t now_msec);

// Ends the streak, if any. Returns the number of failures it held (the
// caller logs that the failure is over when this is above 0), 0 when there
// was none or the record is null. The record is ready for a new streak.
uint32_t vk_complain_release(vk_complain_t *c);

// 1 while a streak is on, else 0 (also for null).
int vk_complain_active(const vk_complain_t *c);

// Pause before the next try after `failures` failures in a row: 0 for none,
// `first_msec` after the first, doubled after each further one, never more
// than `limit_msec`.
uint64_t vk_backoff_pause_msec(uint32_t failures, uint64_t first_msec, uint64_t limit_msec);

#endif  // COMMON_INTERNAL_VK_COMPLAIN_H
