#include "collect_perf.h"

#include <stdlib.h>
#include <string.h>

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
    if (field != nullptr && entry->variables != nullptr &&
        colt_get_vars_value_to_string(entry->variables, field, COLT_DEVICE_PERF_VALUE_SIZE,
                                      nullptr) <= 0) {
      field[0] = '\0';
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

// Unsigned decimal text; empty or non-numeric text gives 0.
uint64_t parse_number(const char *text) {
  if (text[0] < '0' || text[0] > '9') return 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  return *end == '\0' ? v : 0;
}

}  // namespace

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
  msg->cpu = static_cast<uint32_t>(parse_number(device_perf->cpu));
  msg->memory = static_cast<uint32_t>(parse_number(device_perf->memory));
  msg->temperature = static_cast<uint32_t>(parse_number(device_perf->temperature));
  msg->uptime = parse_number(device_perf->uptime);
  msg->collect_time = device_perf->collect_time;
  return colt_queue_message(
      "colt_send_device_perf", DG_PKT_DEVICE_PERF, COLT_DEVICE_PERF_WORKSPACE,
      [](const void *m, void *out, size_t size) {
        return network_device_perf_encode(static_cast<const network_device_perf_t *>(m), out, size);
      },
      msg);
}
