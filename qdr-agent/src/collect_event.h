// The collect event record shared by the device manager, which schedules
// events, the collection queue, which keeps one pending collection per
// device, type and pack, and the request runner, which runs them. A record
// with no behaviour of its own: nothing here allocates or locks.
#ifndef QDR_AGENT_COLLECT_EVENT_H
#define QDR_AGENT_COLLECT_EVENT_H

#include <stdint.h>

// Width of the device id in collect requests and samples (the device
// manager's id field has the same width).
#define COLT_DEVICE_ID_SIZE 40

// Event types.
enum {
  COLT_EVENT_NONE = 0,
  COLT_EVENT_DEVICE_PERF = 1,
  COLT_EVENT_IF_STAT = 2,
  COLT_EVENT_IF_PERF = 3,
};

// One collect event of a device (named so that other modules can declare
// `struct event` without including this header).
typedef struct event {
  uint32_t type;               // COLT_EVENT_*
  uint64_t oid_pack_id;        // OID pack to poll
  uint32_t interval;           // period in seconds
  uint64_t collect_next_msec;  // next due time, monotonic ms (vk_monotonic_msec)
  uint8_t use_flag;            // 1 when enabled
} event;

#endif  // QDR_AGENT_COLLECT_EVENT_H
