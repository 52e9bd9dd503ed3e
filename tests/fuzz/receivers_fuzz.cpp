// Fuzz entries for the event receivers: the input is one UDP datagram.
//
// syslog_datagram: goes through syslog_work from a registered sender. Checked
// besides memory safety: the result is one of the documented codes, the
// priority obeys facility = (PRI >> 3) & 0x7F and severity = PRI - 8 *
// facility, and an accepted datagram is queued byte for byte.
//
// snmp_trap_datagram: goes through the trap decoder. Checked: the result is
// one of the documented codes, and a decoded trap's message is well-formed
// UTF-8 without control characters, every single quote doubled, within the
// message limit. An inform also goes through the receive callback with a
// loopback sender: its answer must arrive there, be as long as the inform
// and be refused as a trap when decoded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include "fuzz_targets.h"
#include "snmp_manager.h"
#include "snmp_trap.h"
#include "syslog_receiver.h"
#include "target_device.h"
#include "vk_util.h"

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

namespace {

// A loopback socket the receiver answers from, and one that stands for the
// sender and takes the answers.
struct answer_path {
  int receiver = -1;
  int sender = -1;
  udp_peer_t peer{};
};

answer_path *answer_setup() {
  static answer_path path;
  static bool ready = false;
  if (ready) return path.receiver >= 0 && path.sender >= 0 ? &path : nullptr;
  ready = true;
  path.receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  path.sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(path.sender, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) return nullptr;
  socklen_t len = sizeof(a);
  getsockname(path.sender, reinterpret_cast<sockaddr *>(&a), &len);
  memcpy(&path.peer.addr, &a, sizeof(a));
  path.peer.len = sizeof(a);
  return &path;
}

// True when `m` is well-formed UTF-8 without control characters, with
// every single quote doubled, within the message limit.
bool message_is_sound(const char *text) {
  const auto *m = reinterpret_cast<const uint8_t *>(text);
  size_t len = strlen(text);
  if (len > SNMP_TRAP_MESSAGE_LIMIT) return false;
  for (size_t i = 0; i < len;) {
    size_t n = vk_utf8_char_len(m + i, len - i);
    if (n == 0 || (n == 1 && (m[i] < 32 || m[i] == 127))) return false;
    if (m[i] == '\'') {
      if (i + 1 >= len || m[i + 1] != '\'') return false;
      n = 2;
    }
    i += n;
  }
  return true;
}

}  // namespace

int fuzz_snmp_trap_datagram(const uint8_t *data, size_t size) {
  snmp_setup();
  snmp_trap_data_t trap;
  int r = snmp_trap_decode("127.0.0.1", data, size, &trap);
  if (r != 0) {
    return r == SNMP_TRAP_ERR_PDU || r == SNMP_TRAP_ERR_COMMUNITY || r == SNMP_TRAP_ERR_PARSE ||
                   r == SNMP_TRAP_ERR_NOT_TRAP
               ? 0
               : 1;
  }
  int broken = 0;
  if (trap.message != nullptr && !message_is_sound(trap.message)) broken = 1;
  if (trap.snmp_version != 0 && trap.snmp_version != 1) broken = 1;
  // An inform's answer: as long as the inform, a Response the decoder
  // refuses as a trap, and it reaches the sender through the receive path.
  if (trap.is_inform) {
    if (trap.response == nullptr || trap.response_len > size) {
      broken = 1;
    } else {
      snmp_trap_data_t answer;
      if (snmp_trap_decode("127.0.0.1", trap.response, trap.response_len, &answer) !=
          SNMP_TRAP_ERR_NOT_TRAP) {
        broken = 1;
        snmp_trap_data_clear(&answer);
      }
    }
    answer_path *path = answer_setup();
    if (path != nullptr) {
      int w = snmp_trap_work(path->receiver, "127.0.0.1", reinterpret_cast<const char *>(data),
                             size, &path->peer);
      if (w != 0 && w != SNMP_TRAP_REPEATED_INFORM) broken = 1;
      uint8_t got[65536];
      ssize_t n = recv(path->sender, got, sizeof(got), 0);
      if (trap.response != nullptr &&
          (n != static_cast<ssize_t>(trap.response_len) || memcmp(got, trap.response, n) != 0)) {
        broken = 1;
      }
      while (recv(path->sender, got, sizeof(got), 0) > 0) {
      }
    }
  } else if (trap.response != nullptr) {
    broken = 1;
  }
  snmp_trap_data_clear(&trap);
  return broken;
}
