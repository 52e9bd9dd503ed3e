#include "collect_interface.h"

#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "dgcomm.h"
#include "hash2.h"
#include "network_public_stat.h"
#include "snmp_util.h"
#include "vk_clock.h"
#include "vk_lock.h"
#include "vk_util.h"
#include "vklog.h"
#include "xvar.h"

namespace {

constexpr uint64_t kNsecPerSec = 1000000000ull;
constexpr uint64_t kTwoPow32 = 4294967296ull;
// Hash buckets of the previous-sample table (a power of two): chains stay
// short up to tens of thousands of devices.
constexpr uint16_t kPrevTableBuckets = 1024;
// Encoded size bounds: a key and a 10-byte varint per number field.
constexpr size_t kFieldBound = 11;
constexpr size_t kStatRowFixed = 16 * kFieldBound;
constexpr size_t kPerfRowFixed = 34 * kFieldBound;
constexpr size_t kRawRowFixed = 24 * kFieldBound;

// One table slot: the key (the zero-padded device id) and the record.
struct prev_slot {
  char key[COLT_IF_PREV_KEY_SIZE];
  collect_interface *rec;
};

hash_struct g_interface_perf_map;  // prev_slot items; g_interface_perf_map_lock
vk_lock_t g_interface_perf_map_lock = PTHREAD_MUTEX_INITIALIZER;
bool g_interface_perf_map_ready;  // g_interface_perf_map_lock

// Per-thread encode work areas, grown to the largest message and kept.
struct colt_work {
  xvar *stat = nullptr;
  xvar *perf = nullptr;
  xvar *raw = nullptr;
  ~colt_work() {
    xvar_destroy(stat);
    xvar_destroy(perf);
    xvar_destroy(raw);
  }
};
thread_local colt_work t_work;

// Work area of at least `need` bytes, or null.
uint8_t *work_area(xvar **w, size_t need) {
  if (*w == nullptr) *w = xvar_new(need);
  if (*w == nullptr) return nullptr;
  xvar_clear_data(*w);
  if (xvar_add_data(nullptr, need, *w) < 0) return nullptr;
  return (*w)->data;
}

using raw_field = colt_integer64 collect_if_perf_raw::*;
using perf_field = uint64_t collect_if_perf::*;
using wire_perf_field = uint64_t network_if_perf_t::*;
using wire_raw_field = uint64_t network_if_perf_raw_t::*;

// The eighteen counters from in_octet_count to crc_error_count, in the
// sample, in the computed record and on the wire.
struct counter_map {
  raw_field raw;
  perf_field perf;
  wire_perf_field wire_perf;
  wire_raw_field wire_raw;
};
#define COLT_COUNTER(f) \
  { &collect_if_perf_raw::f, &collect_if_perf::f, &network_if_perf_t::f, &network_if_perf_raw_t::f }
constexpr counter_map kCounters[] = {
    COLT_COUNTER(in_octet_count),       COLT_COUNTER(out_octet_count),
    COLT_COUNTER(in_ucast_pkt_count),   COLT_COUNTER(out_ucast_pkt_count),
    COLT_COUNTER(in_mcast_pkt_count),   COLT_COUNTER(out_mcast_pkt_count),
    COLT_COUNTER(in_bcast_pkt_count),   COLT_COUNTER(out_bcast_pkt_count),
    COLT_COUNTER(in_nucast_pkt_count),  COLT_COUNTER(out_nucast_pkt_count),
    COLT_COUNTER(in_error_count),       COLT_COUNTER(out_error_count),
    COLT_COUNTER(in_discard_count),     COLT_COUNTER(out_discard_count),
    COLT_COUNTER(in_unknown_pkt_count), COLT_COUNTER(out_qlen),
    COLT_COUNTER(collizn_count),        COLT_COUNTER(crc_error_count),
};
#undef COLT_COUNTER
constexpr size_t kOctetCounters = 2;  // the first two entries are the octet counters
constexpr size_t kCounterCount = sizeof(kCounters) / sizeof(kCounters[0]);

// True when the device's uptime (TimeTicks, hundredths of a second) went
// back between two samples `interval_ns` apart: the device restarted. A
// fall that the 32-bit tick count's wrap (every 497 days) explains, with
// 25 % slack on the interval, is not a restart.
bool uptime_went_back(const colt_integer64 &prev, const colt_integer64 &cur, uint64_t interval_ns) {
  if (prev.type != ASN_TIMETICKS || cur.type != ASN_TIMETICKS || cur.value >= prev.value) {
    return false;
  }
  uint64_t ticks = interval_ns / 10000000ull * 125 / 100 + 100;
  return prev.value + ticks < kTwoPow32;
}

// A non-negative figure as a whole number, capped at 2^64 - 1 instead of
// converted out of range.
uint64_t whole_number(double v) {
  constexpr double kTwoPow64 = 18446744073709551616.0;
  if (!(v >= 0)) return 0;
  return v < kTwoPow64 ? static_cast<uint64_t>(v) : UINT64_MAX;
}

// The raw field a performance OID type code fills, or null.
raw_field perf_field_of_code(int code) {
  switch (code) {
    case OBJ_ID_PREFIX_CODE_IF_SPEED:
      return &collect_if_perf_raw::bandwidth;
    case OBJ_ID_PREFIX_CODE_IF_IN_OCTETS:
      return &collect_if_perf_raw::in_octet_count;
    case OBJ_ID_PREFIX_CODE_IF_IN_UCAST_PKTS:
      return &collect_if_perf_raw::in_ucast_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_IN_MCAST_PKTS:
      return &collect_if_perf_raw::in_mcast_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_IN_BCAST_PKTS:
      return &collect_if_perf_raw::in_bcast_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_IN_NUCAST_PKTS:
      return &collect_if_perf_raw::in_nucast_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_IN_DISCARDS:
      return &collect_if_perf_raw::in_discard_count;
    case OBJ_ID_PREFIX_CODE_IF_IN_ERRORS:
      return &collect_if_perf_raw::in_error_count;
    case OBJ_ID_PREFIX_CODE_IF_IN_UNKNOWN_PROTOS:
      return &collect_if_perf_raw::in_unknown_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_OUT_OCTETS:
      return &collect_if_perf_raw::out_octet_count;
    case OBJ_ID_PREFIX_CODE_IF_OUT_UCAST_PKTS:
      return &collect_if_perf_raw::out_ucast_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_OUT_MCAST_PKTS:
      return &collect_if_perf_raw::out_mcast_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_OUT_BCAST_PKTS:
      return &collect_if_perf_raw::out_bcast_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_OUT_NUCAST_PKTS:
      return &collect_if_perf_raw::out_nucast_pkt_count;
    case OBJ_ID_PREFIX_CODE_IF_OUT_DISCARDS:
      return &collect_if_perf_raw::out_discard_count;
    case OBJ_ID_PREFIX_CODE_IF_OUT_ERRORS:
      return &collect_if_perf_raw::out_error_count;
    case OBJ_ID_PREFIX_CODE_IF_OUT_QLEN:
      return &collect_if_perf_raw::out_qlen;
    case OBJ_ID_PREFIX_CODE_IF_COLLIZN_COUNT:
      return &collect_if_perf_raw::collizn_count;
    case OBJ_ID_PREFIX_CODE_IF_CRC_ERROR_COUNT:
      return &collect_if_perf_raw::crc_error_count;
    default:
      return nullptr;
  }
}

// A statistics text column: its code, constant name, place in the row,
// size, and whether a string value is written as hexadecimal bytes.
struct stat_column {
  int code;
  const char *constant;
  size_t offset;
  size_t size;
  bool hex;
};
constexpr stat_column kStatColumns[] = {
    {OBJ_ID_PREFIX_CODE_IF_INDEX, "IF_INDEX", offsetof(collect_if_stat, index), COLT_IF_INDEX_SIZE,
     false},
    {OBJ_ID_PREFIX_CODE_IF_DESC, "IF_DESC", offsetof(collect_if_stat, descriptor),
     COLT_IF_DESC_SIZE, false},
    {OBJ_ID_PREFIX_CODE_IF_NAME, "IF_NAME", offsetof(collect_if_stat, name), COLT_IF_NAME_SIZE,
     false},
    {OBJ_ID_PREFIX_CODE_IF_TYPE, "IF_TYPE", offsetof(collect_if_stat, type), COLT_IF_TYPE_SIZE,
     false},
    {OBJ_ID_PREFIX_CODE_IF_MTU, "IF_MTU", offsetof(collect_if_stat, mtu), COLT_IF_NUMBER_SIZE,
     false},
    {OBJ_ID_PREFIX_CODE_IF_SPEED, "IF_SPEED", offsetof(collect_if_stat, bandwidth),
     COLT_IF_NUMBER_SIZE, false},
    {OBJ_ID_PREFIX_CODE_IF_PHYS_ADDR, "IF_PHYS_ADDR", offsetof(collect_if_stat, physical_address),
     COLT_IF_PHYS_ADDR_SIZE, true},
    {OBJ_ID_PREFIX_CODE_IF_ADMIN_STATUS, "IF_ADMIN_STATUS", offsetof(collect_if_stat, admin_status),
     COLT_IF_STATUS_SIZE, false},
    {OBJ_ID_PREFIX_CODE_IF_OPER_STATUS, "IF_OPER_STATUS", offsetof(collect_if_stat, oper_status),
     COLT_IF_STATUS_SIZE, false},
    {OBJ_ID_PREFIX_CODE_IF_DUPLEX_STATUS, "IF_DUPLEX_STATUS",
     offsetof(collect_if_stat, duplex_status), COLT_IF_DUPLEX_SIZE, false},
    {OBJ_ID_PREFIX_CODE_IF_LAST_CHANGE, "IF_LAST_CHANGE", offsetof(collect_if_stat, last_change),
     COLT_IF_NUMBER_SIZE, false},
};

const stat_column *stat_column_of(int code) {
  for (const stat_column &c : kStatColumns) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

// Writes a statistics value into its column's field. Strings go as the
// device gave them (sm_octets_to_text: no quotes added, nothing escaped,
// valid UTF-8 cut at a character boundary) or, for the hardware address,
// as hexadecimal bytes. Other types take the library's rendering, cut to
// the field: a long value is cut, never emptied.
void render_stat_value(const stat_column *col, const netsnmp_variable_list *v, char *field) {
  field[0] = '\0';
  if (v->type == ASN_OCTET_STR) {
    const uint8_t *bytes = v->val.string;
    if (col->hex) {
      sm_octets_to_hex(bytes, v->val_len, field, col->size);
    } else {
      sm_octets_to_text(bytes, v->val_len, field, col->size);
    }
    return;
  }
  size_t buf_len = 64;
  u_char *buf = static_cast<u_char *>(malloc(buf_len));
  size_t len = 0;
  if (buf != nullptr &&
      get_variable_realloc_by_type(&buf, &buf_len, &len, 1, v, nullptr, nullptr, nullptr) != 0) {
    // Renderings of the other types are ASCII: any byte is a boundary.
    vk_copy_field(field, col->size,
                  std::string_view(reinterpret_cast<char *>(buf), len).substr(0, col->size - 1));
  }
  free(buf);
}

// Unsigned decimal text to a number; empty or non-numeric text gives 0.
uint64_t parse_u64(const char *text) {
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  return (end != nullptr && *end == '\0') ? v : 0;
}

const char *asn_type_name(int type) {
  switch (type) {
    case ASN_INTEGER:
      return "INTEGER";
    case ASN_OCTET_STR:
      return "OCTET STRING";
    case ASN_NULL:
      return "NULL";
    case ASN_OBJECT_ID:
      return "OBJECT IDENTIFIER";
    case ASN_IPADDRESS:
      return "IpAddress";
    case ASN_TIMETICKS:
      return "Timeticks";
    case ASN_OPAQUE:
      return "Opaque";
    case SNMP_NOSUCHOBJECT:
      return "noSuchObject";
    case SNMP_NOSUCHINSTANCE:
      return "noSuchInstance";
    case SNMP_ENDOFMIBVIEW:
      return "endOfMibView";
    default:
      return "unknown";
  }
}

void free_record(collect_interface *rec) {
  if (rec == nullptr) return;
  mlist_clean(&rec->data);
  free(rec);
}

void free_slot(void *item) {
  prev_slot *slot = static_cast<prev_slot *>(item);
  free_record(slot->rec);
  free(slot);
}

void make_key(char key[COLT_IF_PREV_KEY_SIZE], const char *device_id) {
  memset(key, 0, COLT_IF_PREV_KEY_SIZE);
  vk_copy_field(key, COLT_IF_PREV_KEY_SIZE,
                std::string_view(device_id, strnlen(device_id, COLT_IF_PREV_KEY_SIZE - 1)));
}

bool device_id_empty(const char *device_id) {
  return device_id == nullptr || device_id[0] == '\0';
}

// Logs the failed collection and cleans up.
void log_collect_failure(const char *what, const char *device_id, int ret,
                         const snmp_session_error *err) {
  char text[1024];
  size_t len = sizeof(text);
  if (sm_get_error_message(ret, err, text, &len) != 0) text[0] = '\0';
  VKLOG(g_vklog, VL_ERROR, "colt_interface_from_oid_pack(%s) has failed.(%s)[did:%s]\n", what, text,
        device_id);
}

}  // namespace

void collect_interface_init(collect_interface *ci, const char *device_id, uint64_t collect_time) {
  memset(ci, 0, sizeof(*ci));
  if (device_id != nullptr) {
    vk_copy_field(ci->device_id, sizeof(ci->device_id),
                  std::string_view(device_id, strnlen(device_id, sizeof(ci->device_id) - 1)));
  }
  ci->collect_time = collect_time;
  mlist_init(&ci->data, nullptr, nullptr);
}

void collect_interface_clear(collect_interface *ci) {
  if (ci != nullptr) mlist_clean(&ci->data);
}

namespace {

// The row (of `row_size` bytes, starting with its uint32_t oid_index) with
// `oid_index`: searched from after *cursor to the end, then from the head,
// else appended zeroed.
void *row_by_index(collect_interface *ci, mlist_item_t **cursor, uint32_t oid_index,
                   size_t row_size) {
  auto index_of = [](const mlist_item_t *it) {
    uint32_t idx;
    memcpy(&idx, it->data, sizeof(idx));
    return idx;
  };
  mlist_item_t *start = (*cursor != nullptr) ? (*cursor)->next : ci->data.head;
  mlist_item_t *found = nullptr;
  for (mlist_item_t *it = start; it != nullptr && found == nullptr; it = it->next) {
    if (index_of(it) == oid_index) found = it;
  }
  // Rows may come out of order: the part before the start is searched too.
  for (mlist_item_t *it = ci->data.head; it != start && found == nullptr; it = it->next) {
    if (index_of(it) == oid_index) found = it;
  }
  if (found == nullptr) {
    void *row = mlist_new_item(row_size, &found);
    if (row == nullptr) return nullptr;
    memcpy(row, &oid_index, sizeof(oid_index));
    mlist_push_back(&ci->data, found);
  }
  *cursor = found;
  return found->data;
}

}  // namespace

collect_if_data *colt_get_collect_data_by_index(collect_interface *ci, mlist_item_t **cursor,
                                                uint32_t oid_index) {
  static_assert(offsetof(collect_if_data, oid_index) == 0);
  // Kept for every interface of every device: no text fields in it.
  static_assert(sizeof(collect_if_data) <= 336);
  return static_cast<collect_if_data *>(
      row_by_index(ci, cursor, oid_index, sizeof(collect_if_data)));
}

collect_if_stat_data *colt_get_collect_stat_by_index(collect_interface *ci, mlist_item_t **cursor,
                                                     uint32_t oid_index) {
  static_assert(offsetof(collect_if_stat_data, oid_index) == 0);
  return static_cast<collect_if_stat_data *>(
      row_by_index(ci, cursor, oid_index, sizeof(collect_if_stat_data)));
}

uint32_t colt_get_oid_index_from_name(const oid *name, size_t name_length) {
  if (name == nullptr || name_length == 0) return 0;
  return static_cast<uint32_t>(name[name_length - 1]);
}

int colt_get_vars_to_integer64(const netsnmp_variable_list *vars, colt_integer64 *out) {
  if (vars == nullptr || out == nullptr) return -1;
  out->type = vars->type;
  switch (vars->type) {
    case ASN_COUNTER:
    case ASN_GAUGE:
      if (vars->val.integer == nullptr) return -2;
      out->value = static_cast<uint32_t>(*vars->val.integer);
      return 0;
    case ASN_COUNTER64:
      if (vars->val.counter64 == nullptr) return -2;
      out->value = (static_cast<uint64_t>(vars->val.counter64->high) << 32) |
                   static_cast<uint32_t>(vars->val.counter64->low);
      return 0;
    default:
      VKLOG(g_vklog, VL_ERROR, "%s(%d) type is not support\n", asn_type_name(vars->type),
            vars->type);
      return -2;
  }
}

int colt_cal_delta_integer64_bounded(const colt_integer64 *prev, const colt_integer64 *cur,
                                     uint64_t max_delta, uint64_t *delta) {
  if (prev == nullptr || cur == nullptr || delta == nullptr) return -1;
  if (prev->type == 0 || prev->type != cur->type) return -2;
  if (cur->type == ASN_GAUGE) {
    // A gauge is a level (a queue length), not a running count: a fall is
    // just a lower level.
    *delta = cur->value;
    return 0;
  }
  if (cur->value >= prev->value) {
    *delta = cur->value - prev->value;
    VKLOG(g_vklog, VL_TRACE, "type(%u)[%s],cur[%llu],prev[%llu]\n", prev->type, "",
          static_cast<unsigned long long>(cur->value),
          static_cast<unsigned long long>(prev->value));
    return 0;
  }
  int r = 0;
  if (cur->type == ASN_COUNTER64) {
    *delta = cur->value;  // reset: a 64-bit wrap is not believable
    r = 1;
  } else {
    uint64_t wrap = kTwoPow32 - (prev->value & 0xffffffffull) + (cur->value & 0xffffffffull);
    // A counter restarted from 0 within the interval holds no more than the
    // link carried since; a current value beyond the bound contradicts a
    // reset as much as the wrap: the stated speed is then no ceiling (the
    // nominal 10 Mb/s of a loopback or virtual interface) and the counter
    // wrapped.
    if (cur->type == ASN_COUNTER && max_delta != 0 && wrap > max_delta &&
        (cur->value & 0xffffffffull) <= max_delta) {
      *delta = cur->value;
      r = 1;
    } else {
      *delta = wrap;
    }
  }
  VKLOG(g_vklog, VL_DEBUG, "type(%u)[%s],cur[%llu],ext[%llu],prev[%llu]>[%llu]\n", cur->type,
        r == 1 ? "reset" : "wrap", static_cast<unsigned long long>(cur->value),
        static_cast<unsigned long long>(*delta), static_cast<unsigned long long>(prev->value),
        static_cast<unsigned long long>(*delta));
  return r;
}

int colt_cal_delta_integer64(const colt_integer64 *prev, const colt_integer64 *cur,
                             uint64_t *delta) {
  return colt_cal_delta_integer64_bounded(prev, cur, 0, delta);
}

int colt_cal_rate_integer64(uint64_t dividend, uint64_t divisor, double *rate) {
  if (rate == nullptr) return -1;
  if (divisor == 0) {
    *rate = 0;
    return 0;
  }
  double r = static_cast<double>(dividend) / static_cast<double>(divisor) * 100.0;
  *rate = r > 100.0 ? 100.0 : r;
  return 0;
}

collect_if_perf *colt_calculate_if_perf(const collect_interface *prev, const collect_interface *cur,
                                        size_t *count) {
  if (count != nullptr) *count = 0;
  if (prev == nullptr || cur == nullptr || count == nullptr || prev->data.count == 0) {
    return nullptr;
  }
  if (cur->collect_time < prev->collect_time + kNsecPerSec) {
    VKLOG(g_vklog, VL_DEBUG,
          "[colt_calculate_if_perf] samples less than a second apart, raw counters only.[dev "
          "id:%s,prev:%llu,cur:%llu]\n",
          cur->device_id, static_cast<unsigned long long>(prev->collect_time),
          static_cast<unsigned long long>(cur->collect_time));
    return nullptr;
  }
  uint64_t interval_ns = cur->collect_time - prev->collect_time;
  // Rates are per exact interval: samples 9.9996 s apart are divided by
  // 9.9996 s, not by a whole 9 s.
  double interval = static_cast<double>(interval_ns) / static_cast<double>(kNsecPerSec);
  collect_if_perf *out =
      static_cast<collect_if_perf *>(calloc(prev->data.count, sizeof(collect_if_perf)));
  if (out == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "memory allocate(collect_if_perf_t) has failed.(cnt:%lu,need:%lu)\n",
          static_cast<unsigned long>(prev->data.count),
          static_cast<unsigned long>(prev->data.count * sizeof(collect_if_perf)));
    return nullptr;
  }
  size_t n = 0;
  const mlist_item_t *cur_item = nullptr;
  for (const mlist_item_t *p = prev->data.head; p != nullptr; p = p->next) {
    const collect_if_data *pr = static_cast<const collect_if_data *>(p->data);
    const mlist_item_t *c = cur_item != nullptr ? cur_item->next : cur->data.head;
    if (c == nullptr || static_cast<const collect_if_data *>(c->data)->oid_index != pr->oid_index) {
      for (c = cur->data.head; c != nullptr; c = c->next) {
        if (static_cast<const collect_if_data *>(c->data)->oid_index == pr->oid_index) break;
      }
    }
    if (c == nullptr) continue;  // the interface is gone
    cur_item = c;
    const collect_if_data *cr = static_cast<const collect_if_data *>(c->data);
    VKLOG(g_vklog, VL_TRACE, "[colt_calculate_if_perf] device id[%s],oid[prev:%u,cur:%d]\n",
          cur->device_id, pr->oid_index, static_cast<int>(cr->oid_index));
    collect_if_perf *r = &out[n++];
    r->oid_index = pr->oid_index;
    r->collect_time = cur->collect_time;
    uint64_t bandwidth = pr->perf_raw.bandwidth.value;
    // Octets the interface can carry in the interval, with slack.
    uint64_t max_octets = 0;
    if (bandwidth != 0) {
      long double cap =
          static_cast<long double>(bandwidth) / 8.0L * static_cast<long double>(interval_ns) /
          static_cast<long double>(kNsecPerSec) * COLT_OCTET_BOUND_SLACK_PERCENT / 100.0L;
      max_octets = cap >= 1.8e19L ? 0 : static_cast<uint64_t>(cap) + 1;
    }
    // A reboot (or a cleared interface) resets every counter of the row at
    // once; a counter found reset, or an uptime that went back, stands for
    // the whole row: each counter then counts from 0, so a packet counter
    // that fell is not read as a 2^32 wrap.
    bool row_reset =
        uptime_went_back(pr->perf_raw.sys_uptime, cr->perf_raw.sys_uptime, interval_ns);
    int kinds[kCounterCount];
    for (size_t i = 0; i < kCounterCount; i++) {
      kinds[i] = colt_cal_delta_integer64_bounded(
          &(pr->perf_raw.*kCounters[i].raw), &(cr->perf_raw.*kCounters[i].raw),
          i < kOctetCounters ? max_octets : 0, &(r->*kCounters[i].perf));
      if (kinds[i] == 1) row_reset = true;
    }
    if (row_reset) {
      VKLOG(g_vklog, VL_DEBUG, "[colt_calculate_if_perf] counters reset.[dev id:%s,idx:%u]\n",
            cur->device_id, pr->oid_index);
      for (size_t i = 0; i < kCounterCount; i++) {
        if (kinds[i] >= 0) r->*kCounters[i].perf = (cr->perf_raw.*kCounters[i].raw).value;
      }
    }
    // Bits in floating point: eight times a 64-bit octet count can exceed
    // 64 bits (a device's garbled or reset Counter64).
    r->in_bps = static_cast<double>(r->in_octet_count) * 8 / interval;
    r->out_bps = static_cast<double>(r->out_octet_count) * 8 / interval;
    if (bandwidth != 0) {
      colt_cal_rate_integer64(whole_number(r->in_bps), bandwidth, &r->in_bps_rate);
      colt_cal_rate_integer64(whole_number(r->out_bps), bandwidth, &r->out_bps_rate);
    } else {
      VKLOG(g_vklog, VL_DEBUG,
            "bandwidth is zero or minus value.[dev id:%s,idx:%u,collect time:%llu]\n",
            cur->device_id, pr->oid_index, static_cast<unsigned long long>(cur->collect_time));
    }
    uint64_t in_total = r->in_ucast_pkt_count + r->in_nucast_pkt_count + r->in_unknown_pkt_count +
                        r->in_error_count + r->in_discard_count;
    uint64_t out_total = r->out_ucast_pkt_count + r->out_nucast_pkt_count + r->out_error_count +
                         r->out_discard_count;
    colt_cal_rate_integer64(r->in_error_count, in_total, &r->in_error_rate);
    colt_cal_rate_integer64(r->out_error_count, out_total, &r->out_error_rate);
    colt_cal_rate_integer64(r->in_discard_count, in_total, &r->in_discard_rate);
    colt_cal_rate_integer64(r->out_discard_count, out_total, &r->out_discard_rate);
    colt_cal_rate_integer64(r->collizn_count, in_total + out_total, &r->collizn_rate);
    colt_cal_rate_integer64(r->crc_error_count, in_total + out_total, &r->crc_rate);
  }
  if (n == 0) {
    free(out);
    return nullptr;
  }
  *count = n;
  return out;
}

// ---- Previous-sample table ----

int colt_if_prev_table_init(void) {
  vkLock(&g_interface_perf_map_lock);
  int r = 0;
  if (!g_interface_perf_map_ready) {
    r = map_init(&g_interface_perf_map, kPrevTableBuckets, sizeof(prev_slot)) == 0 ? 0 : -1;
    g_interface_perf_map_ready = (r == 0);
  }
  vkUnlock(&g_interface_perf_map_lock);
  return r;
}

void colt_if_prev_table_clear(void) {
  vkLock(&g_interface_perf_map_lock);
  if (g_interface_perf_map_ready) map_destroy_ex(&g_interface_perf_map, free_slot);
  g_interface_perf_map_ready = false;
  vkUnlock(&g_interface_perf_map_lock);
}

int colt_if_prev_remove(const char *device_id) {
  if (device_id_empty(device_id)) return 0;
  char key[COLT_IF_PREV_KEY_SIZE];
  make_key(key, device_id);
  int r = 0;
  vkLock(&g_interface_perf_map_lock);
  void *item = nullptr;
  if (g_interface_perf_map_ready && map_lookup(&g_interface_perf_map, key, sizeof(key), &item)) {
    prev_slot *slot = static_cast<prev_slot *>(item);
    if (slot->rec != nullptr && slot->rec->is_use) {
      slot->rec->is_detached = 1;
    } else {
      free_record(slot->rec);
    }
    slot->rec = nullptr;
    map_item_delete(&g_interface_perf_map, key, sizeof(key));  // frees the slot
    r = 1;
  }
  vkUnlock(&g_interface_perf_map_lock);
  return r;
}

collect_interface *colt_get_if_perf_prev(const char *device_id) {
  if (device_id_empty(device_id)) return nullptr;
  char key[COLT_IF_PREV_KEY_SIZE];
  make_key(key, device_id);
  collect_interface *rec = nullptr;
  vkLock(&g_interface_perf_map_lock);
  void *item = nullptr;
  if (g_interface_perf_map_ready && map_lookup(&g_interface_perf_map, key, sizeof(key), &item)) {
    prev_slot *slot = static_cast<prev_slot *>(item);
    if (slot->rec != nullptr && !slot->rec->is_use) {
      rec = slot->rec;
      rec->is_use = 1;
    }
  }
  vkUnlock(&g_interface_perf_map_lock);
  return rec;
}

int colt_set_if_perf_prev(const char *device_id, collect_interface *cur, collect_interface *prev) {
  if (device_id_empty(device_id) || cur == nullptr) return -1;
  char key[COLT_IF_PREV_KEY_SIZE];
  make_key(key, device_id);
  int r = 0;
  vkLock(&g_interface_perf_map_lock);
  if (prev != nullptr) {
    // Given back: a record replaced while we held it is ours to free.
    if (prev->is_detached) {
      free_record(prev);
    } else {
      prev->is_use = 0;
    }
  }
  void *item = nullptr;
  prev_slot *slot = nullptr;
  if (g_interface_perf_map_ready && map_lookup(&g_interface_perf_map, key, sizeof(key), &item)) {
    slot = static_cast<prev_slot *>(item);
  }
  collect_interface *target = slot != nullptr ? slot->rec : nullptr;
  if (target != nullptr && !target->is_use) {
    if (cur->collect_time < target->collect_time) {
      r = 1;  // an older sample than the stored one: keep the newer
    } else {
      mlist_clean(&target->data);
      mlist_move(&target->data, &cur->data);
      target->collect_time = cur->collect_time;
    }
  } else if (!g_interface_perf_map_ready) {
    r = -1;
  } else {
    // No record yet, or another thread holds it: store a new record; the
    // held one is detached and freed by its holder when given back.
    collect_interface *rec = static_cast<collect_interface *>(calloc(1, sizeof(*rec)));
    prev_slot *fresh =
        slot == nullptr ? static_cast<prev_slot *>(calloc(1, sizeof(*fresh))) : nullptr;
    if (rec == nullptr || (slot == nullptr && fresh == nullptr)) {
      VKLOG(g_vklog, VL_ERROR, "memory allocate(collect_interface_t) has failed.\n");
      free(rec);
      free(fresh);
      r = -1;
    } else {
      collect_interface_init(rec, device_id, cur->collect_time);
      mlist_move(&rec->data, &cur->data);
      VKLOG(g_vklog, VL_TRACE, "[colt_set_if_perf_prev]device_id[%s],collect_interface_prev[%p]\n",
            device_id, static_cast<void *>(rec));
      if (slot != nullptr) {
        target->is_detached = 1;
        slot->rec = rec;
      } else {
        memcpy(fresh->key, key, sizeof(key));
        fresh->rec = rec;
        if (map_setat(&g_interface_perf_map, fresh->key, sizeof(fresh->key), fresh) ==
            MAP_SETAT_FAILED) {
          mlist_move(&cur->data, &rec->data);
          free_record(rec);
          free(fresh);
          r = -1;
        }
      }
    }
  }
  vkUnlock(&g_interface_perf_map_lock);
  return r;
}

// ---- Senders ----

int colt_send_if_stat(const collect_interface *ci) {
  if (ci == nullptr) return -1;
  if (device_id_empty(ci->device_id)) {
    VKLOG(g_vklog, VL_ERROR, "device_id is empty.\n");
    return -1;
  }
  size_t rows = ci->data.count;
  size_t ws_size = sizeof(network_if_stat_list_t) + 256 + rows * (sizeof(network_if_stat_t) + 16);
  size_t payload = 64;
  for (const mlist_item_t *it = ci->data.head; it != nullptr; it = it->next) {
    const collect_if_stat &s = static_cast<const collect_if_stat_data *>(it->data)->stat;
    payload += kStatRowFixed + strlen(ci->device_id) + strlen(s.descriptor) + strlen(s.name) +
               strlen(s.physical_address) + strlen(s.duplex_status) + strlen(s.ip) +
               strlen(s.subnet_mask);
  }
  uint8_t *ws = work_area(&t_work.stat, ws_size);
  network_if_stat_list_t *msg = ws != nullptr ? network_if_stat_list_new(ws, ws_size) : nullptr;
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_ERROR, "network_if_stat_list allocate has failed.(size:%lu)\n",
          static_cast<unsigned long>(ws_size));
    return -1;
  }
  if (rows > 0 && network_if_stat_list_stats_alloc(msg, static_cast<int>(rows)) != 0) {
    VKLOG(g_vklog, VL_ERROR, "network_if_stat_list_stats_alloc() has failed.(size:%u, pos:%u)\n",
          static_cast<unsigned>(ws_size), static_cast<unsigned>(msg->base.heap_p->pos));
    return -1;
  }
  size_t i = 0;
  for (const mlist_item_t *it = ci->data.head; it != nullptr; it = it->next, i++) {
    const collect_if_stat_data *row = static_cast<const collect_if_stat_data *>(it->data);
    const collect_if_stat &s = row->stat;
    network_if_stat_t *w = &msg->stats.items_p[i];
    w->device_id_p = ci->device_id;
    w->oid_index = row->oid_index;
    w->index = static_cast<uint32_t>(parse_u64(s.index));
    w->admin_status = static_cast<uint32_t>(parse_u64(s.admin_status));
    w->oper_status = static_cast<uint32_t>(parse_u64(s.oper_status));
    w->type = static_cast<uint32_t>(parse_u64(s.type));
    w->mtu = static_cast<uint32_t>(parse_u64(s.mtu));
    w->bandwidth = parse_u64(s.bandwidth);
    w->descriptor_p = s.descriptor;
    w->name_p = s.name;
    w->physical_address_p = s.physical_address;
    w->ip_p = s.ip;
    w->subnet_mask_p = s.subnet_mask;
    w->duplex_status_p = s.duplex_status;
    w->collect_time = ci->collect_time;
  }
  return colt_queue_message(
      "colt_send_if_stat", DG_PKT_INTERFACE_STAT, payload,
      [](const void *m, void *out, size_t size) {
        return network_if_stat_list_encode(static_cast<const network_if_stat_list_t *>(m), out,
                                           size);
      },
      msg);
}

int colt_send_if_perf(const char *device_id, const collect_if_perf *perf, size_t count) {
  if (count == 0) return 0;
  if (perf == nullptr) return -1;
  if (device_id_empty(device_id)) {
    VKLOG(g_vklog, VL_ERROR, "device_id is empty.\n");
    return -1;
  }
  size_t ws_size = sizeof(network_if_perf_list_t) + 256 + count * (sizeof(network_if_perf_t) + 16);
  size_t payload = 64 + count * (kPerfRowFixed + strlen(device_id));
  uint8_t *ws = work_area(&t_work.perf, ws_size);
  network_if_perf_list_t *msg = ws != nullptr ? network_if_perf_list_new(ws, ws_size) : nullptr;
  if (msg == nullptr || network_if_perf_list_perfs_alloc(msg, static_cast<int>(count)) != 0) {
    VKLOG(g_vklog, VL_ERROR, "network_if_perf_list allocate has failed.(size:%lu)\n",
          static_cast<unsigned long>(ws_size));
    return -1;
  }
  for (size_t i = 0; i < count; i++) {
    const collect_if_perf &p = perf[i];
    network_if_perf_t *w = &msg->perfs.items_p[i];
    w->device_id_p = device_id;
    w->collect_time = p.collect_time;
    w->sys_uptime = 0;
    w->oid_index = p.oid_index;
    for (const counter_map &c : kCounters) w->*c.wire_perf = p.*c.perf;
    w->in_bps = p.in_bps;
    w->out_bps = p.out_bps;
    w->in_bps_rate = p.in_bps_rate;
    w->out_bps_rate = p.out_bps_rate;
    w->in_error_rate = p.in_error_rate;
    w->out_error_rate = p.out_error_rate;
    w->in_discard_rate = p.in_discard_rate;
    w->out_discard_rate = p.out_discard_rate;
    w->collizn_rate = p.collizn_rate;
    w->crc_rate = p.crc_rate;
    VKLOG(g_vklog, VL_DEBUG,
          "send perf - [%u]devid[%s],octet[%llu/%llu],error[%llu/%llu],discard[%llu/%llu],"
          "collecttime[%llu]\n",
          p.oid_index, device_id, static_cast<unsigned long long>(p.in_octet_count),
          static_cast<unsigned long long>(p.out_octet_count),
          static_cast<unsigned long long>(p.in_error_count),
          static_cast<unsigned long long>(p.out_error_count),
          static_cast<unsigned long long>(p.in_discard_count),
          static_cast<unsigned long long>(p.out_discard_count),
          static_cast<unsigned long long>(p.collect_time));
  }
  return colt_queue_message(
      "colt_send_if_perf", DG_PKT_INTERFACE_PERF, payload,
      [](const void *m, void *out, size_t size) {
        return network_if_perf_list_encode(static_cast<const network_if_perf_list_t *>(m), out,
                                           size);
      },
      msg);
}

int colt_send_if_perf_raw(const collect_interface *ci) {
  if (ci == nullptr) return -1;
  if (device_id_empty(ci->device_id)) {
    // One bad sample must not stop the agent: it is dropped.
    VKLOG(g_vklog, VL_ERROR, "device_id is empty.\n");
    return -1;
  }
  size_t rows = ci->data.count;
  size_t ws_size =
      sizeof(network_if_perf_raw_list_t) + 256 + rows * (sizeof(network_if_perf_raw_t) + 16);
  size_t payload = 64 + rows * (kRawRowFixed + strlen(ci->device_id));
  uint8_t *ws = work_area(&t_work.raw, ws_size);
  network_if_perf_raw_list_t *msg =
      ws != nullptr ? network_if_perf_raw_list_new(ws, ws_size) : nullptr;
  if (msg == nullptr ||
      (rows > 0 && network_if_perf_raw_list_perfs_alloc(msg, static_cast<int>(rows)) != 0)) {
    VKLOG(g_vklog, VL_ERROR, "network_if_perf_raw_list allocate has failed.(size:%lu)\n",
          static_cast<unsigned long>(ws_size));
    return -1;
  }
  size_t i = 0;
  for (const mlist_item_t *it = ci->data.head; it != nullptr; it = it->next, i++) {
    const collect_if_data *row = static_cast<const collect_if_data *>(it->data);
    network_if_perf_raw_t *w = &msg->perfs.items_p[i];
    w->device_id_p = ci->device_id;
    w->collect_time = ci->collect_time;
    w->sys_uptime = 0;
    w->oid_index = row->oid_index;
    for (const counter_map &c : kCounters) w->*c.wire_raw = (row->perf_raw.*c.raw).value;
  }
  return colt_queue_message(
      "colt_send_if_perf_raw", DG_PKT_INTERFACE_PERF_RAW, payload,
      [](const void *m, void *out, size_t size) {
        return network_if_perf_raw_list_encode(static_cast<const network_if_perf_raw_list_t *>(m),
                                               out, size);
      },
      msg);
}

// ---- Collections ----

namespace {

// A sample being filled from a walk's answers as they arrive. Each response
// entry is one table column; the row cursor restarts with each column.
struct row_fill {
  collect_interface *ci;
  const snmp_response_data *entry;  // the column being filled
  mlist_item_t *cursor;
  const stat_column *col;  // statistics: the column's text field, or null
  raw_field field;         // performance: the column's counter, or null
  bool high_speed;         // the column is ifHighSpeed
  bool existing_rows;      // fill only rows the sample has already
};

// ifHighSpeed: an interface's speed in Mb/s, for links beyond ifSpeed's
// 32 bits. It has no type name of its own; a pack carries it under any.
constexpr oid kIfHighSpeed[] = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 15};
constexpr const char *kIfHighSpeedText = ".1.3.6.1.2.1.31.1.1.1.15";
constexpr const char *kSysUpTimeText = ".1.3.6.1.2.1.1.3.0";
// ifSpeed of every link at or above 4.29 Gb/s.
constexpr uint64_t kSaturatedSpeed = 4294967295ull;

bool is_high_speed_column(const snmp_response_data *entry) {
  return entry->obj_id_length == sizeof(kIfHighSpeed) / sizeof(kIfHighSpeed[0]) &&
         memcmp(entry->obj_id, kIfHighSpeed, sizeof(kIfHighSpeed)) == 0;
}

void next_column(row_fill *f, const snmp_response_data *entry) {
  f->entry = entry;
  f->cursor = nullptr;
  f->col = stat_column_of(entry->type_code);
  f->field = perf_field_of_code(entry->type_code);
  f->high_speed = is_high_speed_column(entry);
}

// The row (performance or statistics) with `idx` that the sample already
// has, or null.
void *existing_row(collect_interface *ci, uint32_t idx) {
  for (mlist_item_t *it = ci->data.head; it != nullptr; it = it->next) {
    uint32_t row_idx;
    memcpy(&row_idx, it->data, sizeof(row_idx));
    if (row_idx == idx) return it->data;
  }
  return nullptr;
}

// Stores the ifHighSpeed values of one answer into their rows. Both row
// kinds keep it at the same place, right after the index.
void store_high_speed(row_fill *f, bool stat, const netsnmp_variable_list *v, size_t count) {
  static_assert(offsetof(collect_if_data, high_speed) ==
                offsetof(collect_if_stat_data, high_speed));
  for (size_t i = 0; i < count && v != nullptr; i++, v = v->next_variable) {
    uint32_t idx = colt_get_oid_index_from_name(v->name, v->name_length);
    void *row = nullptr;
    if (f->existing_rows) {
      row = existing_row(f->ci, idx);
    } else if (stat) {
      row = colt_get_collect_stat_by_index(f->ci, &f->cursor, idx);
    } else {
      row = colt_get_collect_data_by_index(f->ci, &f->cursor, idx);
    }
    if (row != nullptr && v->type == ASN_GAUGE && v->val.integer != nullptr) {
      uint32_t speed = static_cast<uint32_t>(*v->val.integer);
      memcpy(static_cast<char *>(row) + offsetof(collect_if_data, high_speed), &speed,
             sizeof(speed));
    }
  }
}

void receive_stat(void *ctx, const snmp_response_data *entry, const netsnmp_variable_list *v,
                  size_t count) {
  row_fill *f = static_cast<row_fill *>(ctx);
  if (entry != f->entry) next_column(f, entry);
  if (f->high_speed) {
    store_high_speed(f, true, v, count);
    return;
  }
  if (f->col == nullptr) return;  // logged once the request is done
  for (size_t i = 0; i < count && v != nullptr; i++, v = v->next_variable) {
    uint32_t idx = colt_get_oid_index_from_name(v->name, v->name_length);
    collect_if_stat_data *row = colt_get_collect_stat_by_index(f->ci, &f->cursor, idx);
    if (row == nullptr) {
      VKLOG(g_vklog, VL_ERROR, "get collect data(%s) has failed.(type:%d, oid index:%d)\n",
            f->col->constant, entry->type_code, static_cast<int>(idx));
      continue;
    }
    char *field = reinterpret_cast<char *>(&row->stat) + f->col->offset;
    render_stat_value(f->col, v, field);
    row->stat.collect_time = f->ci->collect_time;
  }
}

void receive_perf(void *ctx, const snmp_response_data *entry, const netsnmp_variable_list *v,
                  size_t count) {
  row_fill *f = static_cast<row_fill *>(ctx);
  if (entry != f->entry) next_column(f, entry);
  if (f->high_speed) {
    store_high_speed(f, false, v, count);
    return;
  }
  if (f->field == nullptr) return;  // columns of other codes are ignored
  for (size_t i = 0; i < count && v != nullptr; i++, v = v->next_variable) {
    uint32_t idx = colt_get_oid_index_from_name(v->name, v->name_length);
    collect_if_data *row = colt_get_collect_data_by_index(f->ci, &f->cursor, idx);
    if (row == nullptr) {
      VKLOG(g_vklog, VL_ERROR, "get collect data(%s) has failed.(type:%d, oid index:%d)\n",
            obj_id_type_code_to_str(entry->type_code), entry->type_code, static_cast<int>(idx));
      continue;
    }
    colt_get_vars_to_integer64(v, &(row->perf_raw.*f->field));
  }
}

// Walks the pack into the statistics or performance rows of `ci`, one
// answer at a time. Returns 0, or -1 after logging the failure.
int collect_rows(bool stat, collect_interface *ci, void *session_fd, oid_pack *pack) {
  row_fill fill = {ci, nullptr, nullptr, nullptr, nullptr, false, false};
  sm_var_sink sink = {stat ? receive_stat : receive_perf, &fill};
  mlist_t list;
  sm_response_list_init(&list);
  snmp_session_error err;
  sm_snmp_error_init(&err);
  int ret =
      colt_request_from_oid_pack(&list, COLT_IF_MAX_REPETITIONS, session_fd, pack, &err, &sink);
  if (ret < 0) {
    log_collect_failure(stat ? "stat" : "perf", ci->device_id, ret, &err);
  } else if (stat) {
    for (const mlist_item_t *it = list.head; it != nullptr; it = it->next) {
      const snmp_response_data *entry = static_cast<const snmp_response_data *>(it->data);
      VKLOG(g_vklog, VL_DEBUG, "[colt_if_stat][dev:%s]name[%s],type code[%d]\n", ci->device_id,
            entry->name, entry->type_code);
      if (stat_column_of(entry->type_code) == nullptr && !is_high_speed_column(entry)) {
        VKLOG(g_vklog, VL_ERROR, "this type code is not support.(type:%d,name:%s)\n",
              entry->type_code, entry->name);
      }
    }
  }
  sm_snmp_error_clean(&err);
  sm_response_list_clean(&list);
  return ret < 0 ? -1 : 0;
}

bool pack_has_oid(const oid_pack *pack, std::string_view text) {
  for (const vlist_item_t *it = pack->list.head; it != nullptr; it = it->next) {
    std::string_view o(static_cast<const oid_info *>(it->data)->oid);
    if (!o.empty() && o.front() == '.') o.remove_prefix(1);
    if (o == text.substr(1)) return true;
  }
  return false;
}

// Walks ifHighSpeed into the rows the sample has. A device without the
// column leaves the rows as they are.
void walk_high_speed(collect_interface *ci, void *session_fd, bool stat) {
  row_fill fill = {ci, nullptr, nullptr, nullptr, nullptr, false, true};
  sm_var_sink sink = {stat ? receive_stat : receive_perf, &fill};
  mlist_t list;
  sm_response_list_init(&list);
  sm_response_list_add(&list, "interface.high_speed", -1, kIfHighSpeedText);
  snmp_session_error err;
  sm_snmp_error_init(&err);
  if (sm_request_multiple_to(session_fd, COLT_IF_MAX_REPETITIONS, SNMP_REQ_TYPE_BULK, &list, &err,
                             &sink) < 0) {
    VKLOG(g_vklog, VL_DEBUG, "[colt_interface] ifHighSpeed is not read.[did:%s]\n", ci->device_id);
  }
  sm_snmp_error_clean(&err);
  sm_response_list_clean(&list);
}

// Statistics rows whose ifSpeed is saturated report ifHighSpeed x 10^6 as
// their bandwidth (walked when the pack did not carry it).
void complete_stat_sample(collect_interface *ci, void *session_fd, const oid_pack *pack) {
  static constexpr std::string_view kSaturatedText = "4294967295";
  size_t saturated = 0;
  for (mlist_item_t *it = ci->data.head; it != nullptr; it = it->next) {
    const collect_if_stat_data *row = static_cast<const collect_if_stat_data *>(it->data);
    if (row->stat.bandwidth == kSaturatedText && row->high_speed == 0) saturated++;
  }
  if (saturated > 0 && !pack_has_oid(pack, kIfHighSpeedText)) {
    walk_high_speed(ci, session_fd, true);
  }
  for (mlist_item_t *it = ci->data.head; it != nullptr; it = it->next) {
    collect_if_stat_data *row = static_cast<collect_if_stat_data *>(it->data);
    if (row->stat.bandwidth == kSaturatedText && row->high_speed != 0) {
      snprintf(row->stat.bandwidth, sizeof(row->stat.bandwidth), "%llu",
               static_cast<unsigned long long>(row->high_speed) * 1000000ull);
    }
  }
}

// Completes a performance sample with what the pack does not hold but the
// figures need: the device's uptime (sysUpTime.0, to see a restart), and,
// for rows whose ifSpeed is saturated, ifHighSpeed (walked when the pack
// did not carry it) so that utilisation is taken against the real speed.
// A device that answers neither keeps the sample as it is.
void complete_perf_sample(collect_interface *ci, void *session_fd, const oid_pack *pack) {
  snmp_session_error err;
  sm_snmp_error_init(&err);
  mlist_t list;
  sm_response_list_init(&list);
  sm_response_list_add(&list, "device.uptime", OBJ_ID_PREFIX_CODE_DEV_UPTIME, kSysUpTimeText);
  if (sm_request_multiple(session_fd, 0, SNMP_REQ_TYPE_GET, &list, &err) == 0 &&
      list.head != nullptr) {
    const netsnmp_variable_list *v = static_cast<snmp_response_data *>(list.head->data)->variables;
    if (v != nullptr && v->type == ASN_TIMETICKS && v->val.integer != nullptr) {
      colt_integer64 uptime = {ASN_TIMETICKS, static_cast<uint32_t>(*v->val.integer)};
      for (mlist_item_t *it = ci->data.head; it != nullptr; it = it->next) {
        static_cast<collect_if_data *>(it->data)->perf_raw.sys_uptime = uptime;
      }
    }
  }
  sm_response_list_clean(&list);

  size_t saturated = 0;
  for (mlist_item_t *it = ci->data.head; it != nullptr; it = it->next) {
    const collect_if_data *row = static_cast<const collect_if_data *>(it->data);
    if (row->perf_raw.bandwidth.value == kSaturatedSpeed && row->high_speed == 0) saturated++;
  }
  sm_snmp_error_clean(&err);
  if (saturated > 0 && !pack_has_oid(pack, kIfHighSpeedText)) {
    walk_high_speed(ci, session_fd, false);
  }
  for (mlist_item_t *it = ci->data.head; it != nullptr; it = it->next) {
    collect_if_data *row = static_cast<collect_if_data *>(it->data);
    if (row->perf_raw.bandwidth.value == kSaturatedSpeed && row->high_speed != 0) {
      row->perf_raw.bandwidth.value = static_cast<uint64_t>(row->high_speed) * 1000000ull;
    }
  }
}

}  // namespace

void colt_fill_rows(collect_interface *ci, int stat, const snmp_response_data *entry,
                    const netsnmp_variable_list *v, size_t count) {
  if (ci == nullptr || entry == nullptr) return;
  row_fill fill = {ci, nullptr, nullptr, nullptr, nullptr, false, false};
  (stat != 0 ? receive_stat : receive_perf)(&fill, entry, v, count);
}

int colt_if_stat(uint64_t collect_time, const char *device_id, const struct event *ev,
                 void *session_fd, oid_pack *pack) {
  (void)ev;
  if (device_id_empty(device_id)) {
    VKLOG(g_vklog, VL_ERROR, "device_id is empty.\n");
    return -4;
  }
  if (session_fd == nullptr || pack == nullptr) return -4;
  VKLOG(g_vklog, VL_DEBUG, "collect if stat - device id:%s,oid pack id:%u\n", device_id, pack->id);
  collect_interface ci;
  collect_interface_init(&ci, device_id, collect_time);
  int r = collect_rows(true, &ci, session_fd, pack);
  if (r == 0) {
    complete_stat_sample(&ci, session_fd, pack);
    r = colt_send_if_stat(&ci);
  }
  collect_interface_clear(&ci);
  return r;
}

int colt_if_perf(uint64_t collect_time, const char *device_id, const struct event *ev,
                 void *session_fd, oid_pack *pack) {
  (void)ev;
  if (device_id_empty(device_id)) {
    VKLOG(g_vklog, VL_ERROR, "device_id is empty.\n");
    return -4;
  }
  if (session_fd == nullptr || pack == nullptr) return -4;
  VKLOG(g_vklog, VL_DEBUG, "collect if perf - device id:%s,oid pack id:%u\n", device_id, pack->id);
  uint64_t t0 = vk_clock_get()->monotonic_nsec();
  collect_interface ci;
  collect_interface_init(&ci, device_id, collect_time);
  if (collect_rows(false, &ci, session_fd, pack) != 0) {
    collect_interface_clear(&ci);
    return -1;
  }
  complete_perf_sample(&ci, session_fd, pack);
  VKLOG(g_vklog, VL_TRACE, "[colt_if_perf] device id[%s], snmp elapse[%.5f]\n", device_id,
        static_cast<double>(vk_clock_get()->monotonic_nsec() - t0) / 1e9);

  collect_interface *prev = colt_get_if_perf_prev(device_id);
  size_t count = 0;
  collect_if_perf *perf = prev != nullptr ? colt_calculate_if_perf(prev, &ci, &count) : nullptr;
  colt_send_if_perf_raw(&ci);
  colt_set_if_perf_prev(device_id, &ci, prev);
  if (perf != nullptr) colt_send_if_perf(device_id, perf, count);
  free(perf);
  collect_interface_clear(&ci);
  return 0;
}
