// Device manager: the network devices the collector has sent, each with its
// SNMP access and its collect events, and the "event_checker" thread that
// turns due collect events into requests on the collection queue.
//
// Owns: g_device_manager (its list of devices, each device's event array and
// pending modification) and the id index of the list. Reads the two "answer
// received" flags g_is_device_manager_res / g_is_oid_manager_res (raised by
// the inbound handlers, reset at agent activation).
//
// Threads:
// - The collector link's DG_Comm thread adds and updates devices
//   (dm_update_device_to_list) and installs events (dm_apply_event_to_device)
//   from inbound messages, each under the manager lock.
// - "event_checker" (dm_device_event_checker, started at every activation
//   through thread_startup) runs one pass a second under the manager lock for
//   the whole pass: it asks for "device_list" / "oid_pack" while none has
//   arrived, asks each device for its collect events at 0, 10, ..., 50 passes
//   and then gives up, and queues one collect request per due event
//   (collect_add_req). Requests are built under the lock, so each carries a
//   consistent copy of the device's SNMP access and event.
// - Agent deactivation (DG_Comm) stops the checker with a time limit
//   (dm_device_event_checker_stop) and then clears the list
//   (device_manager_clear).
//
// Schedule: passes are due on whole seconds counted from the checker's start
// on the clock of vk_clock.h (vk_get_time_msec), so a slow pass does not push
// the following ones back; a checker that wakes more than a pass late runs
// one pass at once and counts the next second from then. The wait between
// passes is cut into slices of at most 100 ms so that a stop is seen quickly.
// Between passes, every 200 ms, the checker also queues the events that have
// come due (dm_event_due_pass), so a collection starts within about 200 ms
// of its due time rather than up to a second after it.
// Each due event advances its due time by its interval from the old due time
// (no drift), whether or not the event is enabled.
//
// Due times are kept on the monotonic clock (vk_monotonic_msec), so a step of
// the wall clock neither stops polling nor makes every event due at once; the
// collect times sent to the collector stay wall-clock nanoseconds, taken by
// the collect threads. A new event is first due at the next instant of its
// device's phase: a stable offset within the interval made from the device id,
// so devices with the same interval are spread over it instead of all firing
// in the same pass, and the first collection is at most one interval away.
// A device listed again unchanged keeps its events and due times; a changed
// device asks for its events again, polling the events it had meanwhile (and
// keeping them if no answer comes), and events that come back unchanged
// (same type, pack and interval) keep their due times.
#ifndef QDR_AGENT_DEVICE_H
#define QDR_AGENT_DEVICE_H

#include <stdint.h>

#include <atomic>

#include "collect_event.h"
#include "hash2.h"
#include "mlist.h"
#include "snmp_manager.h"
#include "vk_lock.h"

#define DEVICE_ID_SIZE 40
#define DEVICE_NAME_SIZE 128
#define DEVICE_IP_SIZE 40

// Event types.
enum {
  EVENT_TYPE_NONE = 0,
  DEVICE_PERF = 1,
  IF_STAT = 2,
  IF_PERF = 3,
};

// Passes the checker waits for a device's events before it gives up, and the
// spacing of its requests in passes.
#define DM_EVENT_REQ_GIVE_UP 59
#define DM_EVENT_REQ_EVERY 10

// Checker status.
enum {
  DM_CHECKER_NOT_STARTED = 0,
  DM_CHECKER_RUNNING = 1,
  DM_CHECKER_STOPPING = 2,
  DM_CHECKER_STOPPED = 3,
};

typedef struct {
  char id[DEVICE_ID_SIZE];  // collector-assigned identifier
  char name[DEVICE_NAME_SIZE];
  char ip[DEVICE_IP_SIZE];
  char ip_sub[DEVICE_IP_SIZE];  // secondary address, empty unless given
  const char *vendor;           // not filled by the agent
  const char *model;            // not filled by the agent
  uint16_t port;                // SNMP port
} device_info;

typedef struct {
  int command;  // reserved, left 0; names in g_device_command_str
  int status;   // reserved, left 0; names in g_device_status_str
  device_info info;
  ::snmp_info snmp_info;
  ::event *event;       // owned array of event_count events
  int event_count;      // 0 none arrived yet; -1 the agent gave up asking
  int event_req_count;  // checker passes spent waiting for events
  int collect_syslog_flag;
  int collect_trap_flag;
  void *modify_info;      // reserved pending modification, owned (freed with the device)
  vk_lock_t modify_lock;  // guards modify_info
  uint32_t use_count;     // reserved
  // Entries in `event`: equals event_count once events are installed, and
  // keeps the old array's length while an update has reset event_count to
  // ask again (their due times carry over to the events that come back).
  int event_slots;
} device;

typedef struct {
  mlist_t list;  // device items in arrival order; guarded by `lock`
  vk_lock_t lock;
  std::atomic<int> event_checker_status;  // DM_CHECKER_*
  // Index of `list` by device id (items: dm_index_entry); guarded by `lock`.
  hash_struct index;
  // Checker passes run since start-up; read by tests to follow the schedule.
  std::atomic<uint64_t> pass_count;
} device_manager;

extern device_manager g_device_manager;

// Set to 0 on activation; counted up when the collector has sent the OID
// pack list / the device list. The checker asks for a list while its flag
// is 0. The agent's activation resets them.
extern std::atomic<int> g_is_oid_manager_res;
extern std::atomic<int> g_is_device_manager_res;

extern const char *g_device_command_str[4];  // "none", "idle", "activate", "deactivate"
extern const char *g_device_status_str[6];   // "none", "start", "run", "wait", "stop", "idle"

// Empties the list and creates the lock and the index. Returns 0; -1 for null
// or when the index cannot be allocated.
int device_manager_init(device_manager *manager);

// Allocates a zeroed device inside a new, unlisted list item, initialises its
// lock, copies id, name, address and port and sets the two forwarding flags.
// Returns the device and stores the item in *item, or null (nothing
// allocated) when memory is exhausted, an argument is null, or id, name or
// ip does not fit its field (logged). The caller lists the item with
// dm_update_device_to_list or frees it with device_free_item.
device *device_new_with_info_for_manager(const char *id, const char *name, const char *ip,
                                         uint16_t port, int collect_syslog, int collect_snmp_trap,
                                         mlist_item_t **item);

// Frees an item made by device_new_with_info_for_manager that was never
// listed, clearing its device.
void device_free_item(mlist_item_t *item);

// Results of dm_update_device_to_list.
enum {
  DM_DEVICE_ADDED = 0,
  DM_DEVICE_UNCHANGED = 1,
  DM_DEVICE_CHANGED = 2,
};

// Lists the offered device. A device with the same id and the same name,
// addresses, port, SNMP access and forwarding flags stays as it is, events,
// due times and asking included (one that had given up asking for its events
// asks again): DM_DEVICE_UNCHANGED. A device with the same id that differs
// takes the offered contents except its event array, which it keeps; its
// event count and request count become 0 so the checker asks for its events
// again: DM_DEVICE_CHANGED. Otherwise the item is appended: DM_DEVICE_ADDED.
// Takes the item in every case (a listed device's offered item is freed).
// Returns those, -1 null argument, -2 the index could not grow (the item is
// freed, logged). Takes the manager lock.
int dm_update_device_to_list(device_manager *manager, mlist_item_t *item);

// Removes the device with this id: its events go, and its place in the list
// and the index. Returns 0; -1 unknown id or null argument. Takes the manager
// lock. Requests already queued for it still run.
int dm_remove_device(device_manager *manager, const char *device_id);

// Installs `events` (event_count entries, ownership passes) as the device's
// event array, freeing the old one. Each event that matches one of the old
// array (type, OID pack and interval, each old one used once) keeps the old
// due time; the others are first due at the device's next phase instant
// after now (dm_first_due_msec). Returns 0; -1 when no device has the id
// (logged; the array stays with the caller). Takes the manager lock.
int dm_apply_event_to_device(device_manager *manager, const char *device_id, event *events,
                             int event_count);

// The device's stable offset within an interval of `interval_msec`
// (0 for an interval of 0): a hash of the id.
uint64_t dm_device_phase_msec(const char *device_id, uint64_t interval_msec);

// First due time after `now_msec` (monotonic) of an event with `interval`
// seconds of device `device_id`: the next instant congruent to the device's
// phase modulo the interval, in (now, now + interval]; now for interval 0.
uint64_t dm_first_due_msec(const char *device_id, uint32_t interval, uint64_t now_msec);

// The listed device with this exact id, or null.
// REQUIRES: the caller holds the manager lock.
device *dm_find_device(device_manager *manager, const char *id);

// Number of listed devices. Takes the manager lock.
uint32_t dm_device_count(device_manager *manager);

// Fills `ev`; its first due time is now (vk_monotonic_msec) + interval s.
void device_set_event(event *ev, uint32_t type, uint64_t oid_pack_id, uint32_t interval,
                      uint8_t use_flag);

// Prints the device ("clear#device-id:...") to standard output, frees its
// events and pending modification, destroys its lock and zeroes it.
// Returns 0 (a list clear function).
int device_clear(void *device_ptr);

// Clears and removes every device (logged at info when any was listed).
// Takes the manager lock.
void device_manager_clear(device_manager *manager);

// One checker pass at `now_msec` (monotonic ms): the command requests, the event requests
// and the collect requests of due events, as described above. Takes the
// manager lock. Exposed for tests; the checker thread calls it.
void dm_event_checker_pass(device_manager *manager, uint64_t now_msec);

// Queues the events that are due at `now_msec`, as a pass does, without a
// pass's asking for lists and events (and without counting a pass). The
// checker runs it every 200 ms between its passes. Takes the manager lock.
void dm_event_due_pass(device_manager *manager, uint64_t now_msec);

// The "event_checker" thread body (thread_startup); `ptr` is the manager.
// Sets the status to running, runs passes until it is told to stop, then
// sets it to stopped. Returns 0.
int dm_device_event_checker(void *ptr);

// Starts the checker through the thread registry. Returns 0; -1 when a
// checker is running or still stopping (nothing started), or when the
// thread cannot be started (status left stopped).
int dm_device_event_checker_start(device_manager *manager);

// Tells the checker to stop and waits in 500 ms steps for at most
// `timeout_sec` seconds (3 when 0) until it has stopped. Returns 0 (also when
// it was not running); -1 on time-out (logged).
int dm_device_event_checker_stop(device_manager *manager, int timeout_sec);

// Frees the list, the index and the lock. For the end of the process and
// tests; the checker must not be running.
void device_manager_destroy(device_manager *manager);

#endif  // QDR_AGENT_DEVICE_H
