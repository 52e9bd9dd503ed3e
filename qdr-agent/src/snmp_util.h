// Two single-purpose users of the SNMP session manager: the one-shot request
// of the --cmd-snmp command-line mode, and device discovery, which reads the
// five scalars of a device's MIB-II system group into a discovery_device
// record for the collector's connection test.
//
// Owns nothing beyond the records it fills. Threads: the one-shot request
// runs on the main thread before the agent starts; discovery runs on the
// collector link's thread (DG_Comm) and may run alongside the collect
// threads.
#ifndef QDR_AGENT_SNMP_UTIL_H
#define QDR_AGENT_SNMP_UTIL_H

#include <stdint.h>

#include "config.h"
#include "snmp_manager.h"

#define DISCOVERY_IP_SIZE 40
#define DISCOVERY_MESSAGE_SIZE 1024

// The MIB-II system group of one device. Text values are cut to their field.
typedef struct device_system {
  char name[512];          // sysName (.1.3.6.1.2.1.1.5.0)
  char object_id[512];     // sysObjectID, numeric (.1.3.6.1.2.1.1.2.0)
  char description[1024];  // sysDescr (.1.3.6.1.2.1.1.1.0)
  char contract[128];      // sysContact (.1.3.6.1.2.1.1.4.0)
  uint64_t uptime;         // sysUpTime in hundredths of a second (.1.3.6.1.2.1.1.3.0)
  uint64_t collect_time;   // wall-clock nanoseconds since the epoch of the reading
} device_system;

typedef struct {
  char ip[DISCOVERY_IP_SIZE];
  uint16_t port;
  struct device_system device_system;
  int success;                           // 1 when the system group was read
  char message[DISCOVERY_MESSAGE_SIZE];  // failure text when success is 0
} discovery_device;

// Result codes of sm_request_from_argument. The caller ends the process with
// status 0 for a result and 1 for any failure; every failure has been
// printed, and named with the address on standard error.
enum {
  SM_CMD_ERR_VERSION = -1,   // unknown version word
  SM_CMD_ERR_ADDRESS = -2,   // empty host, or a port that is not a number in 0..65535
  SM_CMD_ERR_SETUP = -3,     // the session could not be set up (names, algorithms, keys)
  SM_CMD_ERR_OPEN = -4,      // "open snmp session has failed."
  SM_CMD_ERR_REQ_TYPE = -5,  // request type neither "get" nor "subtree"
  SM_CMD_ERR_REQUEST = -6,   // the request failed ("snmp error:..." printed), or the
                             // answer carried an error status
  SM_CMD_ERR_EMPTY = -7,     // the answer held no value (no such object, empty subtree)
};

// Splits "host[:port]" at its first colon into `host` (a field of
// `host_size` bytes) and *port (161 when there is no colon). False, with
// nothing promised about the outputs, for a null argument, an empty or
// over-long host, or a port that is not a decimal number in 0..65535.
bool sm_parse_address(const char *address, char *host, size_t host_size, uint16_t *port);

// The --cmd-snmp request: prints the command, sends one GET or one subtree
// walk (80 repetitions a request) to `config_snmp->addr` ("host:port", port
// 161 when absent) with the library's default time-out and retries, and
// prints the result on standard output. Pass phrases print masked. A failed request prints the
// library's text, or, when it left none and no error status (a walk cut at
// its variable limit), "snmp error:(<code>)<text of the code>"; either way no
// value lines. The library is initialised the same way for every version and
// reads none of the host's Net-SNMP configuration, persistent or MIB files,
// so the output has one form (the library's default style) whatever the
// host has. Process-wide: meant for a process that ends afterwards. Returns
// 0 after printing a result, else one of the SM_CMD_ERR_* codes. Frees
// everything it made.
int sm_request_from_argument(const agent_config_snmp *config_snmp);

// Reads sysDescr, sysObjectID, sysUpTime, sysContact and sysName in one GET
// and fills `device` (ip and port from `info`, values cut to their fields,
// double quotes trimmed from both ends of the texts, collect_time, success
// 1). On failure `success` is 0 and `message` holds the failure text.
// Returns 0 on success; -1 when the session cannot be set up or opened (or
// for a null argument); otherwise the request's SM_ERR_* code.
int sm_discovery_device(snmp_info *info, discovery_device *device);

// ---- Text of OCTET STRING values ----

// Writes a device's text as it gave it into `text` (`size` bytes, at least
// 1), as valid UTF-8 for the collector: valid UTF-8 sequences are copied
// unchanged (quotes and backslashes included, nothing escaped or trimmed);
// a byte that starts no valid sequence is taken as a Latin-1 character (the
// usual single-byte text of older devices) and written as its two-byte
// UTF-8 form; a NUL byte ends the text. A text longer than the field is
// cut at a character boundary, never inside a sequence. Returns the length
// written.
size_t sm_octets_to_text(const uint8_t *bytes, size_t len, char *text, size_t size);

// Writes bytes as two-digit upper-case hexadecimal separated by single
// spaces ("00 1A 2B"), the form a hardware address takes whatever its bytes
// (a printable address would otherwise pass for text). Cut to whole bytes
// when the field is short. Returns the length written.
size_t sm_octets_to_hex(const uint8_t *bytes, size_t len, char *text, size_t size);

#endif  // QDR_AGENT_SNMP_UTIL_H
