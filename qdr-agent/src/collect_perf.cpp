#include "collect_perf.h"

#include <stdlib.h>
#include <string.h>

#include <charconv>
#include <string_view>

#include "dgcomm.h"
#include "network_public_stat.h"
#include "vk_util.h"
#include "vklog.h"

int colt_device_perf(uint64_t collect_time, const char *device_id, const event *ev,
                     void *session_fd, oid_pack *pack) {
  (void)ev;
  if (session_fd == nullptr || pack == nullptr || device_id == nullptr) return -4;
  VKLOG(g_vklog, VL_DEBUG, "collect device perf - device id:%s,oid pack id:%u\n", device_id,
        pack->id);
  mlist_t list;
  sm_response_list_init(&list);
  snmp_session_error err;
  sm_snmp_error_init(&err);
  int r = colt_request_from_oid_pack(&list, 0, session_fd, pack, &err, nullptr);
  sm_snmp_error_clean(&err);
  if (r < 0) {
    VKLOG(g_vklog, VL_ERROR, "[colt_device_perf] colt_request_from_oid_pack() has failed.\n");
    sm_response_list_clean(&list);
    return r;
  }
  collect_device_perf perf;
  memset(&perf, 0, sizeof(perf));
  for (mlist_item_t *it = list.head; it != nullptr; it = it->next) {
    const snmp_response_data *entry = static_cast<const snmp_response_data *>(it->data);
    VKLOG(g_vklog, VL_DEBUG, "[colt_device_perf][dev:%s]name[%s],type code[%d]\n", device_id,
          entry->name, entry->type_code);
    char *field = nullptr;
    switch (entry->type_code) {
      case OBJ_ID_PREFIX_CODE_DEV_CPU:
        field = perf.cpu;
        break;
      case OBJ_ID_PREFIX_CODE_DEV_MEMORY:
        field = perf.memory;
        break;
      case OBJ_ID_PREFIX_CODE_DEV_TEMPERATURE:
        field = perf.temperature;
        break;
      case OBJ_ID_PREFIX_CODE_DEV_UPTIME:
        field = perf.uptime;
        break;
      default:
        break;
    }
    if (field != nullptr && entry->variables != nullptr) {
      colt_get_vars_to_number_text(entry->variables, field, COLT_DEVICE_PERF_VALUE_SIZE);
    }
  }
  sm_response_list_clean(&list);
  vk_copy_field(perf.device_id, sizeof(perf.device_id),
                std::string_view(device_id, strnlen(device_id, sizeof(perf.device_id) - 1)));
  perf.collect_time = collect_time;
  VKLOG(g_vklog, VL_DEBUG,
        "device - devid[%s],cpu[%s],mem[%s],temp[%s],uptime[%s],collecttime[%llu]\n",
        perf.device_id, perf.cpu, perf.memory, perf.temperature, perf.uptime,
        static_cast<unsigned long long>(perf.collect_time));
  return colt_send_device_perf(&perf);
}

namespace {

// A decimal integer with an optional sign and an optional fraction (which
// is dropped), spaces around it allowed: " 17", "-5", "45.8". False for
// anything else, including an empty text.
bool parse_decimal(std::string_view text, bool *negative, uint64_t *magnitude) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  *negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    *negative = text.front() == '-';
    text.remove_prefix(1);
  }
  size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot);
  if (dot != std::string_view::npos) {
    std::string_view fraction = text.substr(dot + 1);
    if (fraction.empty() || fraction.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
  }
  uint64_t v = 0;
  auto [ptr, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), v);
  if (whole.empty() || ec != std::errc() || ptr != whole.data() + whole.size()) return false;
  *magnitude = v;
  return true;
}

// The field's number for an unsigned 32-bit wire field: 0 for empty,
// non-numeric or negative text; a value beyond 32 bits saturates (a 64-bit
// memory figure cut to its low half would read as a small one) and is
// logged.
uint32_t field_u32(const char *device_id, const char *what, const char *text) {
  bool negative = false;
  uint64_t v = 0;
  if (!parse_decimal(text, &negative, &v) || negative) return 0;
  if (v > UINT32_MAX) {
    VKLOG(g_vklog, VL_INFO,
          "[colt_send_device_perf] %s value does not fit 32 bits, sent as %u.[dev:%s,value:%s]\n",
          what, static_cast<unsigned>(UINT32_MAX), device_id, text);
    return UINT32_MAX;
  }
  return static_cast<uint32_t>(v);
}

// The temperature for its unsigned 32-bit wire field: below zero it is
// sent as the 32-bit two's complement of the value (-5 is 4294967291), so
// a reader that takes the field as a signed 32-bit number reads -5; the
// wire type stays as it is. Values saturate at the 32-bit signed range.
uint32_t field_temperature(const char *device_id, const char *text) {
  bool negative = false;
  uint64_t v = 0;
  if (!parse_decimal(text, &negative, &v)) return 0;
  if (!negative) return field_u32(device_id, "temperature", text);
  int64_t t = v > static_cast<uint64_t>(INT32_MAX) + 1 ? INT32_MIN : -static_cast<int64_t>(v);
  return static_cast<uint32_t>(static_cast<int32_t>(t));
}

// The uptime in ticks; 0 for empty, non-numeric or negative text.
uint64_t field_u64(const char *text) {
  bool negative = false;
  uint64_t v = 0;
  return parse_decimal(text, &negative, &v) && !negative ? v : 0;
}

}  // namespace

int colt_get_vars_to_number_text(const netsnmp_variable_list *vars, char *text, size_t size) {
  if (text == nullptr || size == 0) return -1;
  text[0] = '\0';
  if (vars == nullptr) return -1;
  int n = -1;
  switch (vars->type) {
    case ASN_INTEGER:
      if (vars->val.integer != nullptr) n = snprintf(text, size, "%ld", *vars->val.integer);
      break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
      if (vars->val.integer != nullptr) {
        n = snprintf(text, size, "%lu",
                     static_cast<unsigned long>(static_cast<uint32_t>(*vars->val.integer)));
      }
      break;
    case ASN_COUNTER64:
      if (vars->val.counter64 != nullptr) {
        uint64_t v = (static_cast<uint64_t>(vars->val.counter64->high) << 32) |
                     static_cast<uint32_t>(vars->val.counter64->low);
        n = snprintf(text, size, "%llu", static_cast<unsigned long long>(v));
      }
      break;
    case ASN_OCTET_STR: {
      // Devices that keep figures as text ("17", " 45.5"): the number it
      // holds, cut to its whole part.
      if (vars->val.string == nullptr) break;
      std::string_view s(reinterpret_cast<const char *>(vars->val.string), vars->val_len);
      bool negative = false;
      uint64_t v = 0;
      if (parse_decimal(s, &negative, &v)) {
        n = snprintf(text, size, "%s%llu", negative && v != 0 ? "-" : "",
                     static_cast<unsigned long long>(v));
      }
      break;
    }
    default:
      break;
  }
  if (n < 0 || static_cast<size_t>(n) >= size) {
    text[0] = '\0';
    return -2;
  }
  return 0;
}

int colt_send_device_perf(const collect_device_perf *device_perf) {
  if (device_perf == nullptr) return -1;
  if (device_perf->device_id[0] == '\0') {
    VKLOG(g_vklog, VL_ERROR, "device_id is empty.\n");
    return -1;
  }
  alignas(8) uint8_t ws[COLT_DEVICE_PERF_WORKSPACE];
  network_device_perf_t *msg = network_device_perf_new(ws, sizeof(ws));
  if (msg == nullptr) {
    VKLOG(g_vklog, VL_INFO, "network_device_perf allocate has failed.(size:%lu)\n",
          static_cast<unsigned long>(sizeof(ws)));
    return -1;
  }
  msg->device_id_p = device_perf->device_id;
  const char *dev = device_perf->device_id;
  msg->cpu = field_u32(dev, "cpu", device_perf->cpu);
  msg->memory = field_u32(dev, "memory", device_perf->memory);
  msg->temperature = field_temperature(dev, device_perf->temperature);
  msg->uptime = field_u64(device_perf->uptime);
  msg->collect_time = device_perf->collect_time;
  return colt_queue_message(
      "colt_send_device_perf", DG_PKT_DEVICE_PERF, COLT_DEVICE_PERF_WORKSPACE,
      [](const void *m, void *out, size_t size) {
        return network_device_perf_encode(static_cast<const network_device_perf_t *>(m), out, size);
      },
      msg);
}
