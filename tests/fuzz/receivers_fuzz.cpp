// Fuzz entries for the event receivers: the input is one UDP datagram.
//
// syslog_datagram: goes through syslog_work from a registered sender. Checked
// besides memory safety: the result is one of the documented codes, the
// priority obeys facility = (PRI >> 3) & 0x7F and severity = PRI - 8 *
// facility, and an accepted datagram is queued byte for byte.
//
// snmp_trap_datagram: goes through the trap decoder. Checked: the result is
// one of the documented codes, and a decoded trap's message holds only
// printable bytes and two-byte characters, every single quote doubled,
// within the message limit.
#include <stdlib.h>
#include <string.h>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include "fuzz_targets.h"
#include "snmp_manager.h"
#include "snmp_trap.h"
#include "syslog_receiver.h"
#include "target_device.h"

namespace {

bool syslog_setup() {
  static bool ready = false;
  if (ready) return true;
  if (syslog_init() != 0) return false;
  target_device_activate(&g_syslog_device_manager);
  syslog_target_device_add_by_ip("127.0.0.1", "fuzz-device");
  ready = true;
  return true;
}

void snmp_setup() {
  static bool ready = false;
  if (ready) return;
  setenv("MIBS", "", 1);
  setenv("SNMPCONFPATH", "/nonexistent", 1);
  sm_set_library_output_options();
  init_snmp("qdr-agent-fuzz");
  ready = true;
}

}  // namespace

int fuzz_syslog_datagram(const uint8_t *data, size_t size) {
  if (!syslog_setup()) return 1;
  const char *text = reinterpret_cast<const char *>(data);
  syslog_pri_t pri{};
  int parsed = syslog_parse_pri(text, size, &pri);
  if (parsed != 0 && parsed != SYSLOG_ERR_NO_OPEN && parsed != SYSLOG_ERR_NO_CLOSE) return 1;
  if (parsed == 0 &&
      (pri.facility != ((pri.pri >> 3) & 0x7F) ||
       pri.severity != static_cast<uint32_t>(pri.pri - uint64_t{pri.facility} * 8))) {
    return 1;
  }
  // The receiver hands the callback a terminated copy.
  char *copy = static_cast<char *>(malloc(size + 1));
  if (copy == nullptr) return 0;
  if (size > 0) memcpy(copy, data, size);
  copy[size] = '\0';
  int r = syslog_work(3, "127.0.0.1", copy, size, nullptr);
  free(copy);
  if (r != parsed) return 1;
  vlist_item_t *item = vlist_pop_front(&g_syslog.sender_queue);
  if (r == 0) {
    auto *rec = static_cast<syslog_data_t *>(vlist_get_data_from_item(nullptr, item));
    if (rec == nullptr || rec->msg_len != size || memcmp(rec->msg, data, size) != 0 ||
        rec->facility != pri.facility || strcmp(rec->device_id, "fuzz-device") != 0) {
      return 1;
    }
  } else if (item != nullptr) {
    return 1;
  }
  if (item != nullptr) vlist_destroy_item(nullptr, item);
  return 0;
}

int fuzz_snmp_trap_datagram(const uint8_t *data, size_t size) {
  snmp_setup();
  snmp_trap_data_t trap;
  int r = snmp_trap_decode("127.0.0.1", data, size, &trap);
  if (r != 0) {
    return r == SNMP_TRAP_ERR_PDU || r == SNMP_TRAP_ERR_COMMUNITY || r == SNMP_TRAP_ERR_PARSE ? 0
                                                                                              : 1;
  }
  int broken = 0;
  if (trap.message != nullptr) {
    const auto *m = reinterpret_cast<const unsigned char *>(trap.message);
    size_t len = strlen(trap.message);
    if (len > SNMP_TRAP_MESSAGE_LIMIT) broken = 1;
    for (size_t i = 0; i < len && !broken; i++) {
      if (m[i] >= 129 && m[i] <= 254) {
        if (i + 1 >= len || m[i + 1] < 65) broken = 1;
        i++;
      } else if (m[i] < 32 || m[i] > 126) {
        broken = 1;
      } else if (m[i] == '\'') {
        if (i + 1 >= len || m[i + 1] != '\'') broken = 1;
        i++;
      }
    }
  }
  if (trap.snmp_version != 0 && trap.snmp_version != 1) broken = 1;
  snmp_trap_data_clear(&trap);
  return broken;
}
