#include "vk_complain.h"

void vk_complain_init(vk_complain_t *c) {
  if (c == nullptr) return;
  c->failures = 0;
  c->since_msec = 0;
}

int vk_complain(vk_complain_t *c, uint64_t now_msec) {
  if (c == nullptr) return -1;
  // Saturates: a streak of 2^32 failures is still one streak.
  if (c->failures < UINT32_MAX) c->failures++;
  if (c->failures > 1) return 0;
  c->since_msec = now_msec;
  return 1;
}

uint32_t vk_complain_release(vk_complain_t *c) {
  if (c == nullptr) return 0;
  uint32_t n = c->failures;
  c->failures = 0;
  c->since_msec = 0;
  return n;
}

int vk_complain_active(const vk_complain_t *c) {
  return c != nullptr && c->failures > 0 ? 1 : 0;
}

uint64_t vk_backoff_pause_msec(uint32_t failures, uint64_t first_msec, uint64_t limit_msec) {
  if (failures == 0) return 0;
  uint64_t pause = first_msec;
  // Doubling stops at the limit, so the shift can never overflow.
  for (uint32_t i = 1; i < failures && pause < limit_msec; i++) pause *= 2;
  return pause < limit_msec ? pause : limit_msec;
}
