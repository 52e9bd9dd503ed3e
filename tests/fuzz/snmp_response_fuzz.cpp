// Fuzz entries for what the network agent makes of a device's SNMP answers.
//
// snmp_octets_text: an OCTET STRING value rendered as text and as hardware
// address bytes into a field whose size the input picks. Checked: the text
// is terminated within its field, is valid UTF-8 without NUL, and holds the
// whole value when the field is large enough; the hexadecimal form is
// "XX XX ..." of the leading bytes.
//
// snmp_interface_rows: two samples of an interface table, each a list of
// answered columns whose variables (type, row index, value) come from the
// input, built as the library's decoder builds them, and fed through the
// same row filling the collections use while walking. Statistics samples
// are then encoded for the collector; performance samples go through the
// previous-sample table and the counter, rate and utilisation arithmetic,
// then are encoded. Checked: text fields stay within their fields as valid
// UTF-8, computed records pair up with rows of the earlier sample, bit
// rates are eight times the octets over the interval, and every percentage
// lies in 0..100.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include "collect_interface.h"
#include "fuzz_input.h"
#include "fuzz_targets.h"
#include "snmp_manager.h"
#include "snmp_util.h"

namespace {

void snmp_setup() {
  static bool ready = false;
  if (ready) return;
  setenv("MIBS", "", 1);
  setenv("SNMPCONFPATH", "/nonexistent", 1);
  sm_set_library_output_options();
  init_snmp("qdr-agent-fuzz");
  colt_if_prev_table_init();
  ready = true;
}

// Length of the valid UTF-8 sequence at s, or 0.
size_t utf8_length(const uint8_t *s, size_t len) {
  if (s[0] < 0x80) return 1;
  size_t n = s[0] >= 0xC2 && s[0] <= 0xDF   ? 2
             : s[0] >= 0xE0 && s[0] <= 0xEF ? 3
             : s[0] >= 0xF0 && s[0] <= 0xF4 ? 4
                                            : 0;
  if (n == 0 || len < n) return 0;
  uint32_t cp = s[0] & (0x7F >> n);
  for (size_t i = 1; i < n; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (s[i] & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// A text field: terminated within `size` bytes, valid UTF-8.
bool field_sound(const char *field, size_t size) {
  size_t len = strnlen(field, size);
  if (len >= size) return false;
  const auto *s = reinterpret_cast<const uint8_t *>(field);
  for (size_t i = 0; i < len;) {
    size_t n = utf8_length(s + i, len - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// "XX XX ..." of the leading bytes of `bytes`, `len` characters.
bool hex_sound(const char *text, size_t len, std::string_view bytes) {
  if (len != 0 && len % 3 != 2) return false;
  size_t n = len == 0 ? 0 : (len + 1) / 3;
  if (n > bytes.size()) return false;
  static const char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < n; i++) {
    auto b = static_cast<uint8_t>(bytes[i]);
    if (text[3 * i] != kDigits[b >> 4] || text[3 * i + 1] != kDigits[b & 15]) return false;
    if (i + 1 < n && text[3 * i + 2] != ' ') return false;
  }
  return text[len] == '\0';
}

// ---- Answers built from the input ----

constexpr oid kColumnPrefix[] = {1, 3, 6, 1, 2, 1, 2, 2, 1};
constexpr oid kIfHighSpeed[] = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 15};
constexpr int kLastTypeCode = 40;  // past the interface codes: columns of other kinds

const uint8_t kTypes[] = {ASN_INTEGER,       ASN_OCTET_STR,       ASN_NULL,         ASN_OBJECT_ID,
                          ASN_IPADDRESS,     ASN_COUNTER,         ASN_GAUGE,        ASN_TIMETICKS,
                          ASN_OPAQUE,        ASN_COUNTER64,       ASN_UINTEGER,     ASN_BIT_STR,
                          SNMP_NOSUCHOBJECT, SNMP_NOSUCHINSTANCE, SNMP_ENDOFMIBVIEW};

// Appends one variable of the input's choosing, valued the way the
// decoder values its type (32-bit integers, two 32-bit halves of a
// Counter64, four address bytes, sub-identifiers of 32 bits).
void add_variable(fuzz_input *in, netsnmp_variable_list **vars, oid column) {
  uint8_t how = fuzz_input_u8(in);
  oid name[MAX_OID_LEN];
  size_t name_len = 0;
  for (oid o : kColumnPrefix) name[name_len++] = o;
  name[name_len++] = column;
  switch (how & 3) {
    case 0:
      name[name_len++] = fuzz_input_u8(in);
      break;
    case 1:
      name[name_len++] = static_cast<uint32_t>(fuzz_input_uint(in, 4));
      break;
    case 2:  // a bare one-arc name
      name[0] = fuzz_input_u8(in);
      name_len = 1;
      break;
    default:  // a row index of two arcs
      name[name_len++] = fuzz_input_u8(in);
      name[name_len++] = fuzz_input_u8(in);
      break;
  }
  uint8_t type = kTypes[(how >> 2) % sizeof(kTypes)];
  long number = 0;
  struct counter64 c64 = {0, 0};
  oid sub[32];
  std::string_view bytes;
  const void *value = nullptr;
  size_t value_len = 0;
  switch (type) {
    case ASN_INTEGER:
      number = static_cast<int32_t>(fuzz_input_uint(in, 4));
      value = &number;
      value_len = sizeof(number);
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      number = static_cast<long>(fuzz_input_uint(in, 4));
      value = &number;
      value_len = sizeof(number);
      break;
    case ASN_COUNTER64:
      c64.high = static_cast<u_long>(fuzz_input_uint(in, 4));
      c64.low = static_cast<u_long>(fuzz_input_uint(in, 4));
      value = &c64;
      value_len = sizeof(c64);
      break;
    case ASN_IPADDRESS:
      bytes = fuzz_input_bytes(in, 4);
      if (bytes.size() < 4) return;
      value = bytes.data();
      value_len = 4;
      break;
    case ASN_OBJECT_ID: {
      size_t n = 1 + fuzz_input_u8(in) % 32;
      for (size_t i = 0; i < n; i++) sub[i] = static_cast<uint32_t>(fuzz_input_uint(in, 4));
      value = sub;
      value_len = n * sizeof(oid);
      break;
    }
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_BIT_STR: {
      uint8_t l = fuzz_input_u8(in);
      bytes = fuzz_input_bytes(in, (l & 0x80) != 0 ? (l & 0x7F) * 8u : l);
      value = bytes.data();
      value_len = bytes.size();
      break;
    }
    default:
      break;
  }
  snmp_varlist_add_variable(vars, name, name_len, type, value, value_len);
}

// Fills one sample from the input: up to 8 columns of up to 16 variables.
void fill_sample(fuzz_input *in, collect_interface *ci, bool stat) {
  size_t columns = fuzz_input_u8(in) % 9;
  for (size_t c = 0; c < columns; c++) {
    snmp_response_data entry;
    memset(&entry, 0, sizeof(entry));
    uint8_t code = fuzz_input_u8(in) % (kLastTypeCode + 2);
    if (code > kLastTypeCode) {
      memcpy(entry.obj_id, kIfHighSpeed, sizeof(kIfHighSpeed));
      entry.obj_id_length = sizeof(kIfHighSpeed) / sizeof(kIfHighSpeed[0]);
      entry.type_code = -1;
    } else {
      entry.type_code = code;
    }
    snprintf(entry.name, sizeof(entry.name), "column.%d", entry.type_code);
    netsnmp_variable_list *vars = nullptr;
    size_t count = fuzz_input_u8(in) % 17;
    for (size_t i = 0; i < count; i++) add_variable(in, &vars, code);
    size_t made = 0;
    for (const netsnmp_variable_list *v = vars; v != nullptr; v = v->next_variable) made++;
    colt_fill_rows(ci, stat ? 1 : 0, &entry, vars, made);
    snmp_free_varbind(vars);
  }
}

bool stat_sample_sound(const collect_interface *ci) {
  for (const mlist_item_t *it = ci->data.head; it != nullptr; it = it->next) {
    const collect_if_stat &s = static_cast<const collect_if_stat_data *>(it->data)->stat;
    if (!field_sound(s.index, sizeof(s.index)) ||
        !field_sound(s.descriptor, sizeof(s.descriptor)) || !field_sound(s.name, sizeof(s.name)) ||
        !field_sound(s.admin_status, sizeof(s.admin_status)) ||
        !field_sound(s.oper_status, sizeof(s.oper_status)) ||
        !field_sound(s.type, sizeof(s.type)) || !field_sound(s.mtu, sizeof(s.mtu)) ||
        !field_sound(s.bandwidth, sizeof(s.bandwidth)) ||
        !field_sound(s.physical_address, sizeof(s.physical_address)) ||
        !field_sound(s.duplex_status, sizeof(s.duplex_status)) ||
        !field_sound(s.last_change, sizeof(s.last_change))) {
      return false;
    }
  }
  return true;
}

bool percent_sound(double p) {
  return !isnan(p) && p >= 0.0 && p <= 100.0;
}

// Bits per second of `octets` over `interval` seconds, as the records must
// give them (never wrapped to 64 bits).
bool bps_sound(double bps, uint64_t octets, double interval) {
  double want = static_cast<double>(octets) * 8 / interval;
  return !isnan(bps) && fabs(bps - want) <= want * 1e-9;
}

bool perf_sound(const collect_interface *prev, const collect_interface *cur,
                const collect_if_perf *perf, size_t count) {
  if (count > prev->data.count) return false;
  double interval = static_cast<double>(cur->collect_time - prev->collect_time) / 1e9;
  for (size_t i = 0; i < count; i++) {
    const collect_if_perf &r = perf[i];
    bool paired = false;
    for (const mlist_item_t *it = prev->data.head; it != nullptr && !paired; it = it->next) {
      paired = static_cast<const collect_if_data *>(it->data)->oid_index == r.oid_index;
    }
    if (!paired || !bps_sound(r.in_bps, r.in_octet_count, interval) ||
        !bps_sound(r.out_bps, r.out_octet_count, interval) || !percent_sound(r.in_bps_rate) ||
        !percent_sound(r.out_bps_rate) || !percent_sound(r.in_error_rate) ||
        !percent_sound(r.out_error_rate) || !percent_sound(r.in_discard_rate) ||
        !percent_sound(r.out_discard_rate) || !percent_sound(r.collizn_rate) ||
        !percent_sound(r.crc_rate)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int fuzz_snmp_octets_text(const uint8_t *data, size_t size) {
  fuzz_input in = fuzz_input_make(data, size);
  size_t field_size = 1 + fuzz_input_u8(&in);
  std::string_view value = fuzz_input_bytes(&in, fuzz_input_left(&in));
  const auto *bytes = reinterpret_cast<const uint8_t *>(value.data());
  std::string field(field_size + 1, '\x7f');  // one guard byte past the field
  size_t len = sm_octets_to_text(bytes, value.size(), field.data(), field_size);
  if (len >= field_size || field[len] != '\0' || field[field_size] != '\x7f' ||
      !field_sound(field.data(), field_size)) {
    return 1;
  }
  // Room for every byte as two: the whole value (up to a NUL) is written.
  std::string whole(2 * value.size() + 1, '\0');
  size_t whole_len = sm_octets_to_text(bytes, value.size(), whole.data(), whole.size());
  if (whole_len < strnlen(value.data(), value.size())) return 1;
  // A cut text is a prefix of the whole one.
  if (whole.compare(0, len, field.data(), len) != 0) return 1;
  size_t hex_len = sm_octets_to_hex(bytes, value.size(), field.data(), field_size);
  if (hex_len >= field_size || field[field_size] != '\x7f' ||
      !hex_sound(field.data(), hex_len, value)) {
    return 1;
  }
  return 0;
}

int fuzz_snmp_interface_rows(const uint8_t *data, size_t size) {
  snmp_setup();
  static const char kDevice[] = "fuzz-device";
  fuzz_input in = fuzz_input_make(data, size);
  bool stat = (fuzz_input_u8(&in) & 1) != 0;
  uint64_t collect_time = 1700000000ull * 1000000000ull;
  int broken = 0;
  for (int s = 0; s < 2 && broken == 0; s++) {
    if (s == 1) {
      uint8_t how = fuzz_input_u8(&in);
      collect_time += (how & 1) != 0 ? fuzz_input_uint(&in, 5) : (how >> 1) * 1000000000ull;
    }
    collect_interface ci;
    collect_interface_init(&ci, kDevice, collect_time);
    fill_sample(&in, &ci, stat);
    if (stat) {
      if (!stat_sample_sound(&ci)) broken = 1;
      colt_send_if_stat(&ci);
      collect_interface_clear(&ci);
      continue;
    }
    // The device's uptime goes into every row, as a collection reads it.
    if ((fuzz_input_u8(&in) & 1) != 0) {
      colt_integer64 uptime = {ASN_TIMETICKS, fuzz_input_uint(&in, 4)};
      for (mlist_item_t *it = ci.data.head; it != nullptr; it = it->next) {
        static_cast<collect_if_data *>(it->data)->perf_raw.sys_uptime = uptime;
      }
    }
    collect_interface *prev = colt_get_if_perf_prev(kDevice);
    size_t count = 0;
    collect_if_perf *perf = prev != nullptr ? colt_calculate_if_perf(prev, &ci, &count) : nullptr;
    if (perf != nullptr && !perf_sound(prev, &ci, perf, count)) broken = 1;
    colt_send_if_perf_raw(&ci);
    colt_set_if_perf_prev(kDevice, &ci, prev);
    if (perf != nullptr) colt_send_if_perf(kDevice, perf, count);
    free(perf);
    collect_interface_clear(&ci);
  }
  // Each input starts without a previous sample.
  colt_if_prev_table_clear();
  colt_if_prev_table_init();
  return broken;
}
