// Target device registries and the SNMP status store.
//
// A registry maps the IP addresses of monitored devices to their device ids
// for one consumer. The agent keeps three: "icmp" (the ping worker),
// "syslog" (the syslog receiver) and "snmptrap" (the trap receiver), the
// globals below. The collector link's device-list handling adds devices; the
// receiver threads look senders up by address; the ping worker walks the
// list. Only an active registry accepts targets and answers look-ups.
//
// The "icmp" registry also keeps, per device, the latest SNMP status
// (`target_snmp_status`) reported by the collect threads. Reports pass
// through a queue (`user_data_queue`, its own mutex, held for one push or
// one pop) to the store thread "icmp_user_data", so collect threads never
// wait for the registry's write lock.
//
// Threads and locks:
// - `target_devices_lock` (read-write) guards `status`, `target_devices`
//   and `user_data_active`. Look-ups by address take the read lock and count
//   the datagram with an atomic add; everything else takes the write lock.
// - `user_data_queue_lock` guards `user_data_queue`. Lock order: the store
//   thread never holds the queue lock while taking the registry lock.
// - Shutdown of the store thread: target_device_user_data_shutdown asks it
//   to stop (state 3) and polls every 500 ms until it reports 4 or the time
//   limit passes; queued reports are then discarded.
#ifndef QDR_AGENT_TARGET_DEVICE_H
#define QDR_AGENT_TARGET_DEVICE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "vk_lock.h"
#include "vlist.h"

// Size of the id and address fields; texts must be shorter.
#define TARGET_DEVICE_ID_SIZE 80
#define TARGET_DEVICE_IP_SIZE 80
#define TARGET_DEVICE_NAME_SIZE 128

// Registry status.
enum {
  TARGET_DEVICE_STATUS_INIT = 0,
  TARGET_DEVICE_STATUS_ACTIVE = 1,
  TARGET_DEVICE_STATUS_DEACTIVE = 2,
};

// States of the status store thread (user_data_active).
enum {
  TARGET_USER_DATA_INIT = 0,
  TARGET_USER_DATA_STARTING = 1,
  TARGET_USER_DATA_RUNNING = 2,
  TARGET_USER_DATA_STOP = 3,
  TARGET_USER_DATA_STOPPED = 4,
};

// Status of the services that own a registry: the ICMP worker and the
// syslog and trap threads. Names by target_service_status_to_str.
enum {
  TARGET_SERVICE_NONE = 0,      // "none": never started
  TARGET_SERVICE_FAIL = 1,      // "fail": the start failed or the stop timed out
  TARGET_SERVICE_ERROR = 2,     // "error": the thread ended on an error
  TARGET_SERVICE_STARTUP = 3,   // "startup": start requested, thread not yet running
  TARGET_SERVICE_UP = 4,        // "up": running
  TARGET_SERVICE_SHUTDOWN = 5,  // "shutdown": stop requested
  TARGET_SERVICE_DOWN = 6,      // "down": the thread has ended
};

// Results of target_device_add_by_ip / target_device_is_exist.
enum {
  TARGET_DEVICE_ERR_ARGUMENT = -1,  // null argument (is_exist); memory (add)
  TARGET_DEVICE_ERR_INACTIVE = -2,  // registry not active
  TARGET_DEVICE_ERR_TOO_LONG = -3,  // id or address does not fit its field
};

// Latest SNMP collection result of one device (the "icmp" registry's user
// data).
typedef struct target_snmp_status {
  char last_oid[512];
  double snmp_latency;  // milliseconds
  int snmp_success;     // non-zero: success
  char err_message[1024];
} target_snmp_status;

// One registered device. Lives inside a vlist item of the registry.
typedef struct target_device {
  char device_id[TARGET_DEVICE_ID_SIZE];
  char device_ip[TARGET_DEVICE_IP_SIZE];
  std::atomic<uint64_t> receive_count;  // datagrams attributed to the device
  target_snmp_status *user_data;        // owned; freed with the record
} target_device_t;

// One queued status report; owns `status` until it is stored.
typedef struct target_snmp_bucket {
  char device_id[TARGET_DEVICE_ID_SIZE];
  char device_ip[TARGET_DEVICE_IP_SIZE];
  target_snmp_status *status;
} target_snmp_bucket;

typedef struct target_device_manager {
  char name[TARGET_DEVICE_NAME_SIZE];
  int status;              // guarded by target_devices_lock
  vlist_t target_devices;  // of target_device_t; guarded by target_devices_lock
  pthread_rwlock_t target_devices_lock;
  int lock_ready;           // 1 once the read-write lock exists
  int user_data_active;     // guarded by target_devices_lock
  vlist_t user_data_queue;  // of target_snmp_bucket; guarded by user_data_queue_lock
  vk_lock_t user_data_queue_lock;
  int queue_ready;  // 1 once the queue and its lock exist
} target_device_manager_t;

// The agent's three registries ("icmp", "syslog", "snmptrap"). Initialised
// by the owning service's init (icmp, syslog, snmp trap).
extern target_device_manager_t g_icmp_device_manager;
extern target_device_manager_t g_syslog_device_manager;
extern target_device_manager_t g_snmptrap_device_manager;

// Zeroes `registry`, names it (cut to 127 characters), creates its lock and
// an empty target list. Returns 0; -1 for a null argument or when the lock
// cannot be created. REQUIRES: the registry is fresh or was cleared with
// target_device_clear (an initialised one would leak its targets).
int target_device_init(const char *name, target_device_manager_t *registry);

// Destroys the targets, the queue and the locks; safe to call twice and after
// a failed init. REQUIRES: no thread uses the registry any more.
void target_device_clear(target_device_manager_t *registry);

// Status 1 (accepting) / 2 (refusing). Return 0; -1 for a null or
// uninitialised registry.
int target_device_activate(target_device_manager_t *registry);
int target_device_deactivate(target_device_manager_t *registry);

// Appends a target (receive count 0, no user data) if the registry is
// active; no duplicate check. Returns 0 when appended; -2 when the registry
// is not active (nothing kept); -3 when the id or the address is null, empty
// or does not fit its 80-byte field (refused, never cut); -1 when memory
// runs out.
int target_device_add_by_ip(target_device_manager_t *registry, const char *ip, const char *id);

// Makes the registry hold one target for device `id`, at `ip`: the first
// target with the id takes the address (its receive count and user data
// stay), later ones with the id are removed; with none a target is appended
// as target_device_add_by_ip does. For a device whose address changed, so
// that the old address is no longer forwarded or pinged. Returns 0; -2 the
// registry is not active (nothing changed); -3 id or address null, empty or
// too long; -1 memory.
int target_device_set_by_id(target_device_manager_t *registry, const char *ip, const char *id);

// Removes every target of device `id` (and its user data), active registry
// or not. Returns the number removed; -1 for a null or uninitialised
// registry or a null id.
int target_device_remove_by_id(target_device_manager_t *registry, const char *id);

// Looks `ip` up. Returns 1 when found: the first matching target's id is
// copied into `id_buffer` (of `id_size` bytes) and its receive count is
// raised by one; 0 when not registered; -1 for a null ip or buffer; -2 when
// the registry is not active; -3 when the id does not fit `id_size` (the
// buffer is then unchanged and nothing is counted).
int target_device_is_exist(target_device_manager_t *registry, const char *ip, char *id_buffer,
                           size_t id_size);

// Receive count of the first target with address `ip`; 0 when there is none.
uint64_t target_device_receive_count(target_device_manager_t *registry, const char *ip);

// Number of targets.
uint32_t target_device_count(target_device_manager_t *registry);

// Copies the stored status of device `id` into *out. Returns 0; -1 when the
// registry is not active, the id is unknown or has no status (*out
// unchanged).
int target_device_get_user_data_by_id(target_device_manager_t *registry, const char *id,
                                      target_snmp_status *out);

// Stores `status` (taking ownership) as device `id`'s status, freeing the
// old one. A status that is not stored (registry inactive or empty, unknown
// id) is freed. Returns 0.
int target_device_set_user_data_by_id(target_device_manager_t *registry, const char *id,
                                      target_snmp_status *status);

// Calls `func(target, arg)` for every target in order under the read lock.
// The callback must not call back into the registry. Returns the number of
// targets visited; -1 for a null registry or function.
int target_device_for_each(target_device_manager_t *registry,
                           void (*func)(const target_device_t *target, void *arg), void *arg);

// Removes every target (and its user data). Returns 0.
int target_device_manager_clean(target_device_manager_t *registry);

// Queues a report for the store thread, which takes ownership of `status`.
// When the store thread is not running, the status is freed and 0 returned.
// Returns 0; -10 when no bucket can be allocated (the status is freed).
int target_push_snmp_status(target_device_manager_t *registry, const char *id, const char *ip,
                            target_snmp_status *status);

// Creates the report queue and its lock; user_data_active 0. Returns 0; -1
// when the lock cannot be created.
int target_device_user_data_init(target_device_manager_t *registry);

// Starts the store thread "icmp_user_data". Returns 0; -1 when the thread
// cannot be started (state back to 0).
int target_device_user_data_startup(target_device_manager_t *registry);

// Asks the store thread to stop and waits for it, polling every 500 ms, at
// most `timeout_sec` seconds (3 when 0); then discards every queued report.
// Returns 0 when the thread stopped (or never ran); -1 on time-out.
int target_device_user_data_shutdown(target_device_manager_t *registry, int timeout_sec);

// State of the store thread (TARGET_USER_DATA_*), read under the lock.
int target_device_user_data_state(target_device_manager_t *registry);

// Name of a TARGET_SERVICE_* status ("none" ... "down"), "unknown" for others.
const char *target_service_status_to_str(int status);

// Name of an SNMP value type code, "Unknown variables type!" when unknown.
const char *su_variable_type_to_str(int type);

#endif  // QDR_AGENT_TARGET_DEVICE_H
