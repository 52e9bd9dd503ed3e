// OID packs and the OID manager.
//
// The collector tells the agent what to poll in OID packs: a numbered set of
// OIDs, each labelled with an OID type name ("interface.in_octets"), and the
// request style (GET or bulk walk). The OID manager (g_oid_manager) keeps the
// packs, hands them to collect threads with a use count and applies deletions
// and updates only when no thread uses the pack.
//
// Owns: the packs (items of the manager's vlist) and, inside each pack, its
// live OID list and the reserve list that waits to replace it.
//
// Threads: the collector link's thread offers and removes packs; collect
// threads take and release them; agent activation and deactivation (the
// collector link's thread) activate and shut the manager down. Every change
// of the pack list, of a use count, of a command or of a pack's lists happens
// under the manager's lock. A thread holding a pack reads its `list` and
// `type` without the lock: both are replaced only when the use count is 0,
// and a pack is only freed then.
//
// When an update takes effect: an offered pack whose id already exists
// becomes the reserve of that pack (replacing an earlier reserve). If no
// thread uses the pack, the reserve replaces the live OIDs at once;
// otherwise at the release that brings the use count to 0.
#ifndef QDR_AGENT_COLLECT_OID_H
#define QDR_AGENT_COLLECT_OID_H

#include <stdint.h>

#include "snmp_manager.h"
#include "vk_lock.h"
#include "vlist.h"

#define OID_INFO_NAME_SIZE 128

// OID type codes; the collector sends the names of obj_id_type_str_to_code.
enum {
  OBJ_ID_PREFIX_CODE_NONE = 0,
  OBJ_ID_PREFIX_CODE_DEV_LATENCY = 1,
  OBJ_ID_PREFIX_CODE_DEV_CPU = 2,
  OBJ_ID_PREFIX_CODE_DEV_MEMORY = 3,
  OBJ_ID_PREFIX_CODE_DEV_TEMPERATURE = 4,
  OBJ_ID_PREFIX_CODE_DEV_UPTIME = 5,
  OBJ_ID_PREFIX_CODE_IF_INDEX = 6,
  OBJ_ID_PREFIX_CODE_IF_DESC = 7,
  OBJ_ID_PREFIX_CODE_IF_NAME = 8,
  OBJ_ID_PREFIX_CODE_IF_TYPE = 9,
  OBJ_ID_PREFIX_CODE_IF_MTU = 10,
  OBJ_ID_PREFIX_CODE_IF_SPEED = 11,
  OBJ_ID_PREFIX_CODE_IF_IP = 12,
  OBJ_ID_PREFIX_CODE_IF_SUBNETMASK = 13,
  OBJ_ID_PREFIX_CODE_IF_PHYS_ADDR = 14,
  OBJ_ID_PREFIX_CODE_IF_ADMIN_STATUS = 15,
  OBJ_ID_PREFIX_CODE_IF_OPER_STATUS = 16,
  OBJ_ID_PREFIX_CODE_IF_DUPLEX_STATUS = 17,
  OBJ_ID_PREFIX_CODE_IF_LAST_CHANGE = 18,
  OBJ_ID_PREFIX_CODE_IF_IN_OCTETS = 19,
  OBJ_ID_PREFIX_CODE_IF_IN_UCAST_PKTS = 20,
  OBJ_ID_PREFIX_CODE_IF_IN_MCAST_PKTS = 21,
  OBJ_ID_PREFIX_CODE_IF_IN_BCAST_PKTS = 22,
  OBJ_ID_PREFIX_CODE_IF_IN_NUCAST_PKTS = 23,
  OBJ_ID_PREFIX_CODE_IF_IN_DISCARDS = 24,
  OBJ_ID_PREFIX_CODE_IF_IN_ERRORS = 25,
  OBJ_ID_PREFIX_CODE_IF_IN_UNKNOWN_PROTOS = 26,
  OBJ_ID_PREFIX_CODE_IF_OUT_OCTETS = 27,
  OBJ_ID_PREFIX_CODE_IF_OUT_UCAST_PKTS = 28,
  OBJ_ID_PREFIX_CODE_IF_OUT_MCAST_PKTS = 29,
  OBJ_ID_PREFIX_CODE_IF_OUT_BCAST_PKTS = 30,
  OBJ_ID_PREFIX_CODE_IF_OUT_NUCAST_PKTS = 31,
  OBJ_ID_PREFIX_CODE_IF_OUT_DISCARDS = 32,
  OBJ_ID_PREFIX_CODE_IF_OUT_ERRORS = 33,
  OBJ_ID_PREFIX_CODE_IF_OUT_QLEN = 34,
  OBJ_ID_PREFIX_CODE_IF_COLLIZN_COUNT = 35,
  OBJ_ID_PREFIX_CODE_IF_CRC_ERROR_COUNT = 36,
  OBJ_ID_PREFIX_CODE_ETC = 37,
  OBJ_ID_PREFIX_CODE_MAX = 38,  // end marker
};

// Pending command of a pack.
enum {
  OM_CMD_NONE = 0,
  OM_CMD_DELETE = 1,
  OM_CMD_UPDATE = 2,
};

// One OID of a pack.
typedef struct {
  char name[OID_INFO_NAME_SIZE];  // OID type name
  char *oid;                      // owned copy of the OID text
  int type_code;                  // code of `name`, -1 when not in the table
} oid_info;

typedef struct {
  uint32_t id;              // assigned by the collector
  uint64_t dev_kind_id;     // left 0 by the agent
  int type;                 // SNMP_REQ_TYPE_*
  vlist_t list;             // live oid_info entries
  vlist_t reserve_list;     // oid_info entries of an update, waiting to replace `list`
  vlist_item_t *self_item;  // the manager-list item holding this pack
  uint32_t use_count;       // threads using the pack; guarded by the manager lock
  uint8_t cmd;              // OM_CMD_*; guarded by the manager lock
  int reserve_type;         // request style that comes with the reserve list
} oid_pack;

typedef struct {
  vlist_t list;  // oid_pack items; guarded by `lock`
  vk_lock_t lock;
  int activate;  // 1 while the agent functions are active; guarded by `lock`
} oid_manager;

extern oid_manager g_oid_manager;

// Code of an OID type name (exact, case-sensitive), or -1 (also for null).
int obj_id_type_str_to_code(const char *str);

// Name of a code, or null outside 0 .. OBJ_ID_PREFIX_CODE_MAX - 1.
const char *obj_id_type_code_to_str(int code);

// Allocates a pack inside a new, unlinked vlist item with empty lists, the
// given id and type. Returns the pack and stores the item in *item, or null
// (nothing allocated). The item is freed by offering it
// (om_update_oid_pack_from_item) or with om_free_oid_pack_item.
oid_pack *om_new_oid_pack_for_list(uint32_t id, int type, vlist_item_t **item);

// Frees a pack item that was never offered, with its OID lists.
void om_free_oid_pack_item(vlist_item_t *item);

// Appends an oid_info with a copy of `type_name` (cut to 127 characters),
// a copy of `oid_text` and the code of the name. Returns the entry, or null for
// a null argument or when memory is exhausted (nothing appended).
oid_info *oid_info_add_to_list(vlist_t *oid_list, const char *type_name, const char *oid_text);

// Logs " id:%u ---" and one "name:%s,oid:%s" line per OID at level info.
void om_print(oid_pack *pack);

// Creates the lock and the empty pack list; the manager starts inactive.
// Returns 0, or -1 for null.
int oid_manager_init(oid_manager *manager);

// Marks the manager active (packs are accepted and handed out). Returns 0,
// or -1 for null.
int oid_manager_activate(oid_manager *manager);

// Offers a newly received pack; the manager takes the item in every case.
// Returns 0 when an existing pack of the same id took the OIDs as its
// reserve (see the header comment for when they take effect); -1 when the
// pack was added as new (the normal first arrival) or the manager is
// inactive (the pack is freed) or an argument is null; -2 when the OIDs
// could not be moved (the new pack is freed, the existing one unchanged).
int om_update_oid_pack_from_item(oid_manager *manager, vlist_item_t *item);

// Finds the pack and counts one more use. Null when the manager is
// inactive, no pack has the id, or the pack is waiting to be deleted. Every
// pack returned must be given back with om_release.
oid_pack *om_get_oid_pack_by_id(oid_manager *manager, uint32_t id);

// Counts one use less; at 0, carries out the pending command (delete frees
// the pack, update swaps the reserve in). Returns 0; 1 when the pack was
// freed; -1 for a null argument or a pack not in use.
int om_release(oid_manager *manager, oid_pack *pack);

// Deletes the pack: at once when unused (0), else marks it to be freed at
// its last release (1). -1 when no pack has the id.
int om_remove_oid_pack_by_id(oid_manager *manager, uint32_t id);

// Number of packs held.
uint32_t om_count(oid_manager *manager);

// Deactivates the manager: unused packs are freed at once, packs in use are
// marked for deletion. Then waits in 500 ms steps for at most `timeout_sec`
// seconds (5 when 0) until every pack is gone. Returns 0; -1 when packs
// remain (logged, and "shutdown oid manager has failed." on standard error;
// the caller ends the process), or for null.
int oid_manager_shutdown(oid_manager *manager, int timeout_sec);

// Frees every pack whether in use or not and destroys the lock. For the end
// of the process and for tests; no thread may use a pack any more.
void oid_manager_clear(oid_manager *manager);

#endif  // QDR_AGENT_COLLECT_OID_H
