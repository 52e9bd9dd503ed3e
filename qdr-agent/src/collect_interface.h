// Interface statistics and interface performance: the two interface-table
// collections the collect threads run for events of type IF_STAT and
// IF_PERF, the counter arithmetic behind the rates, and the table of each
// device's previous sample.
//
// Statistics read the descriptive columns of a device's interface table and
// send them as network_if_stat_list (54103). String columns go as the
// device gave them, as valid UTF-8 cut at a character boundary (nothing
// escaped or trimmed, a long value cut rather than emptied); the hardware
// address always as hexadecimal bytes ("00 1A 2B 3C 4D 5E"). Performance reads the traffic
// counters, sends them raw (network_if_perf_raw_list, 54107) and, from the
// difference to the device's previous sample, sends per-interval counts, bit
// rates, utilisation and error percentages (network_if_perf_list, 54102).
// Both fill their rows from each SNMP answer as it arrives (a sink of the
// session manager), so a walk never holds more than one answer.
//
// Counter arithmetic (colt_cal_delta_integer64 and the octet bound of
// colt_calculate_if_perf):
// - Gauge32 (out_qlen): a level, not a count; the record carries the
//   current value, whether it rose or fell.
// - cur >= prev: cur - prev.
// - Counter64 that went down: the counter was reset (a reboot, a cleared
//   counter); 2^64 increments take decades at any line rate, so a wrap is
//   not believable. Delta = cur.
// - Counter32 that went down: a 2^32 wrap, delta = 2^32 - prev + cur;
//   except for the two octet counters (in_octet_count, out_octet_count) of
//   an interface with a known bandwidth, where a "wrap" implying more
//   octets than the interface can carry in the interval (with 25 % slack
//   for the distance between collect time and reading) is a reset as well:
//   delta = cur. Only while cur itself is within that bound: a counter
//   restarted in the interval cannot have counted past it either, so a
//   larger cur says the stated speed is no ceiling (a loopback or virtual
//   interface reports a nominal 10 Mb/s and carries gigabytes) and the
//   counter wrapped.
// - A row with any counter found reset, or whose device's uptime
//   (sysUpTime, read with each sample) went back, is reset as a whole:
//   every counter's delta is its current value. A restart resets all
//   counters together, and a packet counter that fell from a few thousand
//   is not 4.29e9 packets.
// Bandwidth (of both collections): a row whose ifSpeed is saturated
// (4294967295, every link of 4.29 Gb/s and more) takes ifHighSpeed x 10^6
// instead, from the pack or, when the pack does not carry it, from a walk
// of that column.
// Rates divide by the exact interval between the two collect times (in
// seconds, fractions kept). Samples less than a second apart give no
// computed records (the raw counters are still sent): so short an interval
// says little about a rate, and none at all when the times are equal.
//
// Previous-sample table: one record per device id, guarded by its own
// mutex. A thread takes a device's record (colt_get_if_perf_prev marks it in
// use) and always gives it back through colt_set_if_perf_prev. A thread that
// finds the record in use stores its own sample as a new record; the one in
// use is then detached from the table and freed by its holder when it gives
// it back, so it is neither freed under the holder nor leaked. The table
// never goes back in time: a sample older than the stored one is dropped.
//
// Threads: the collections run on collect threads, any number at once; each
// thread encodes into its own work buffers.
#ifndef QDR_AGENT_COLLECT_INTERFACE_H
#define QDR_AGENT_COLLECT_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

#include "collect_oid.h"
#include "collect_util.h"
#include "mlist.h"
#include "snmp_manager.h"

// Max-repetitions of the interface collections' walks.
#define COLT_IF_MAX_REPETITIONS 80

// Sizes of the statistics text fields.
#define COLT_IF_INDEX_SIZE 32
#define COLT_IF_DESC_SIZE 512
#define COLT_IF_NAME_SIZE 128
#define COLT_IF_STATUS_SIZE 4
#define COLT_IF_TYPE_SIZE 128
#define COLT_IF_NUMBER_SIZE 32
#define COLT_IF_PHYS_ADDR_SIZE 128
#define COLT_IF_IP_SIZE 40
#define COLT_IF_DUPLEX_SIZE 40
// Bytes of the device id that key the previous-sample table (the whole
// zero-padded field, so ids differing only past the 36th byte stay apart).
#define COLT_IF_PREV_KEY_SIZE COLT_DEVICE_ID_SIZE
// A Counter32 octet "wrap" is a reset when it exceeds the interface's
// capacity over the interval times this factor (in percent).
#define COLT_OCTET_BOUND_SLACK_PERCENT 125

typedef struct {
  uint8_t type;  // ASN type of the value; 0 when not set
  uint64_t value;
} colt_integer64;

typedef struct {
  char index[COLT_IF_INDEX_SIZE];
  char descriptor[COLT_IF_DESC_SIZE];
  char name[COLT_IF_NAME_SIZE];
  char admin_status[COLT_IF_STATUS_SIZE];
  char oper_status[COLT_IF_STATUS_SIZE];
  char type[COLT_IF_TYPE_SIZE];
  char mtu[COLT_IF_NUMBER_SIZE];
  char bandwidth[COLT_IF_NUMBER_SIZE];
  char physical_address[COLT_IF_PHYS_ADDR_SIZE];
  char ip[COLT_IF_IP_SIZE];
  char subnet_mask[COLT_IF_IP_SIZE];
  char duplex_status[COLT_IF_DUPLEX_SIZE];
  char last_change[COLT_IF_NUMBER_SIZE];
  uint64_t collect_time;
} collect_if_stat;

typedef struct {
  colt_integer64 sys_uptime;
  colt_integer64 bandwidth;
  colt_integer64 in_octet_count;
  colt_integer64 out_octet_count;
  colt_integer64 in_ucast_pkt_count;
  colt_integer64 out_ucast_pkt_count;
  colt_integer64 in_mcast_pkt_count;
  colt_integer64 out_mcast_pkt_count;
  colt_integer64 in_bcast_pkt_count;
  colt_integer64 out_bcast_pkt_count;
  colt_integer64 in_nucast_pkt_count;
  colt_integer64 out_nucast_pkt_count;
  colt_integer64 in_error_count;
  colt_integer64 out_error_count;
  colt_integer64 in_discard_count;
  colt_integer64 out_discard_count;
  colt_integer64 in_unknown_pkt_count;
  colt_integer64 out_qlen;
  colt_integer64 collizn_count;
  colt_integer64 crc_error_count;
} collect_if_perf_raw;

// One interface row of a performance sample: the raw counters only, all
// that the next rate computation needs. These rows are what the
// previous-sample table keeps, one per interface of every device, so they
// carry no text fields.
typedef struct {
  uint32_t oid_index;   // last sub-identifier of the row's OIDs
  uint32_t high_speed;  // ifHighSpeed in Mb/s when read, else 0
  collect_if_perf_raw perf_raw;
} collect_if_data;

// One interface row of a statistics sample (text fields; never stored).
typedef struct {
  uint32_t oid_index;   // last sub-identifier of the row's OIDs
  uint32_t high_speed;  // ifHighSpeed in Mb/s when read, else 0
  collect_if_stat stat;
} collect_if_stat_data;

// One device's sample: performance rows (collect_if_data) or statistics rows
// (collect_if_stat_data), never both.
typedef struct {
  char device_id[COLT_DEVICE_ID_SIZE];
  uint64_t collect_time;  // ns since the epoch
  mlist_t data;           // rows, in order of first appearance
  int is_use;             // 1 while a thread computes against it; table mutex
  int is_detached;        // 1 once replaced in the table while in use; table mutex
} collect_interface;

// One computed interface record (per-interval counts and rates).
typedef struct {
  uint32_t oid_index;
  uint64_t collect_time;
  uint64_t sys_uptime;  // 0
  uint64_t in_octet_count;
  uint64_t out_octet_count;
  uint64_t in_ucast_pkt_count;
  uint64_t out_ucast_pkt_count;
  uint64_t in_mcast_pkt_count;
  uint64_t out_mcast_pkt_count;
  uint64_t in_bcast_pkt_count;
  uint64_t out_bcast_pkt_count;
  uint64_t in_nucast_pkt_count;
  uint64_t out_nucast_pkt_count;
  uint64_t in_error_count;
  uint64_t out_error_count;
  uint64_t in_discard_count;
  uint64_t out_discard_count;
  uint64_t in_unknown_pkt_count;
  uint64_t out_qlen;
  uint64_t collizn_count;
  uint64_t crc_error_count;
  double in_bps;
  double out_bps;
  double in_bps_rate;
  double out_bps_rate;
  double in_error_rate;
  double out_error_rate;
  double in_discard_rate;
  double out_discard_rate;
  double collizn_rate;
  double crc_rate;
} collect_if_perf;

// ---- Samples ----

// Empties and initialises a sample for `device_id` (cut to 39 characters)
// and `collect_time`.
void collect_interface_init(collect_interface *ci, const char *device_id, uint64_t collect_time);
// Frees the rows; the sample stays usable (empty). Null is ignored.
void collect_interface_clear(collect_interface *ci);

// The performance row with `oid_index`, looked up over the whole list
// starting after `*cursor` (the row matched last), or a new zeroed row
// appended when none has it. *cursor becomes the returned row's item. Null
// when memory is exhausted.
collect_if_data *colt_get_collect_data_by_index(collect_interface *ci, mlist_item_t **cursor,
                                                uint32_t oid_index);
// The same for a statistics sample's rows.
collect_if_stat_data *colt_get_collect_stat_by_index(collect_interface *ci, mlist_item_t **cursor,
                                                     uint32_t oid_index);

// ---- Collections ----

// Fills the rows of `ci` from one answer of a walk, exactly as the
// collections do while walking: `v` (its first `count` variables) answers
// the pack's column `entry`. `stat` non-zero fills statistics rows, else
// performance rows. Each call starts its own row cursor.
void colt_fill_rows(collect_interface *ci, int stat, const snmp_response_data *entry,
                    const netsnmp_variable_list *v, size_t count);

// Interface statistics: walks the pack, fills one row per interface and
// sends them (54103). Returns 0; -1 the SNMP request failed; -4 null
// session or empty device id (nothing requested or sent); else the result
// of colt_send_if_stat.
int colt_if_stat(uint64_t collect_time, const char *device_id, const struct event *ev,
                 void *session_fd, oid_pack *pack);

// Interface performance: walks the pack (and reads sysUpTime.0, and
// ifHighSpeed where ifSpeed is saturated), sends the raw counters (54107),
// stores the sample as the device's previous one and sends the records
// computed against the earlier one (54102) when there are any. Returns 0;
// -1 the SNMP request failed; -4 null session or empty device id (nothing
// requested or sent).
int colt_if_perf(uint64_t collect_time, const char *device_id, const struct event *ev,
                 void *session_fd, oid_pack *pack);

// ---- Senders: 0; -1 message cannot be made or encoded (or empty device
// id, logged at level error: the sample is dropped); -3 queue refused.

int colt_send_if_stat(const collect_interface *ci);
// Nothing is sent for 0 records (0); -1 for a null array with a count.
int colt_send_if_perf(const char *device_id, const collect_if_perf *perf, size_t count);
int colt_send_if_perf_raw(const collect_interface *ci);

// ---- Previous-sample table ----

// Creates the table (empty); safe to call again. 0, or -1 out of memory.
int colt_if_prev_table_init(void);
// Frees every record. REQUIRES: no thread holds a record.
void colt_if_prev_table_clear(void);

// The device's previous sample, marked in use, or null (first sample, or a
// record another thread holds). A returned record must be given back with
// colt_set_if_perf_prev.
collect_interface *colt_get_if_perf_prev(const char *device_id);

// Moves the rows of `cur` (left empty) into the device's stored record and
// gives `prev` back (null when colt_get_if_perf_prev returned none).
// Returns 0 (stored); 1 when `cur` was older than the stored sample and was
// dropped; -1 out of memory (cur keeps its rows).
int colt_set_if_perf_prev(const char *device_id, collect_interface *cur, collect_interface *prev);

// Forgets the device's previous sample (a device the collector removed). A
// record a thread holds is detached and freed when given back. Returns 1
// when there was one, 0 when not.
int colt_if_prev_remove(const char *device_id);

// ---- Arithmetic ----

// Computed records for each row of `prev` that `cur` also has, in `prev`'s
// order; *count gets their number. Null (count 0) when the samples are less
// than a second apart or none pairs up. The array is the caller's (free).
collect_if_perf *colt_calculate_if_perf(const collect_interface *prev, const collect_interface *cur,
                                        size_t *count);

// Delta of two readings of one counter (rules in the header comment).
// Returns 0; 1 when the counter was found reset (*delta = cur); -1 an
// argument is null; -2 prev's type is 0 or differs from cur's (*delta
// unchanged).
int colt_cal_delta_integer64(const colt_integer64 *prev, const colt_integer64 *cur,
                             uint64_t *delta);

// As colt_cal_delta_integer64, but a Counter32 decrease whose wrap delta
// exceeds `max_delta` (when not 0) while cur does not counts as a reset:
// delta = cur, result 1.
int colt_cal_delta_integer64_bounded(const colt_integer64 *prev, const colt_integer64 *cur,
                                     uint64_t max_delta, uint64_t *delta);

// dividend / divisor * 100 capped at 100; 0 when the divisor is 0. Returns
// 0, or -1 for a null `rate`.
int colt_cal_rate_integer64(uint64_t dividend, uint64_t divisor, double *rate);

// Stores the variable's ASN type and, for Counter32, Gauge32 and Counter64,
// its value. Returns 0; -1 null argument; -2 another type (logged; value
// unchanged).
int colt_get_vars_to_integer64(const netsnmp_variable_list *vars, colt_integer64 *out);

// Row index of an OID: its last sub-identifier (0 for an empty name).
uint32_t colt_get_oid_index_from_name(const oid *name, size_t name_length);

#endif  // QDR_AGENT_COLLECT_INTERFACE_H
