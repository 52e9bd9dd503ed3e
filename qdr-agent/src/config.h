// Agent configuration: the one process-wide record g_agent_config.
//
// Filled during start-up, by the main thread only, from three sources in a
// fixed order of precedence: the command line first, then the configuration
// file for whatever the command line left empty, then built-in defaults for
// whatever is still empty. Read afterwards by every thread without locking.
#ifndef QDR_AGENT_CONFIG_H
#define QDR_AGENT_CONFIG_H

#include <stdint.h>

#define AGENT_CONFIG_PATH_SIZE 4096

// Arguments of the one-shot SNMP request (--cmd-snmp).
typedef struct {
  char addr[60];                // "ip:port"
  char version[4];              // "v1", "v2c", "v3"
  char community_secname[128];  // community (v1/v2c) or security name (v3)
  char authpriv[32];            // security level word
  int sec_level;
  char auth_algorithm[32];
  char auth_password[32];
  char priv_algorithm[32];
  char priv_password[32];
  char type[32];  // request type word: "get" or "subtree"
  char object_id[512];
} agent_config_snmp;

// Argument of the one-shot ping test (--cmd-ping).
typedef struct {
  char ip[40];
} agent_config_ping;

typedef struct {
  char app_name[256];
  char receiver_ip[40];
  uint16_t receiver_port;
  char config_path[AGENT_CONFIG_PATH_SIZE];
  char log_config_path[AGENT_CONFIG_PATH_SIZE];
  int is_only_type;  // 0 none, 1 syslog only, 2 SNMP trap only, 3 ping only
  int syslog_port;
  int snmptrap_port;
  char ping_ip[40];
  agent_config_snmp snmp;
  agent_config_ping ping;
  int collect_thread_count;  // always 40, also the collect threads' limit
  // Bytes of accepted syslog lines and traps held while the collector link
  // is down ("event_buffer_bytes"; 0 holds none); -1 until set.
  long long event_buffer_bytes;
} agent_config;

// Setting identifiers: the `type` argument of the setters.
enum {
  AGENT_CONFIG_TYPE_APP_NAME = 0,
  AGENT_CONFIG_TYPE_RECEIVER_IP = 1,
  AGENT_CONFIG_TYPE_RECEIVER_PORT = 2,
  AGENT_CONFIG_TYPE_CONFIG_PATH = 3,
  AGENT_CONFIG_TYPE_LOG_CONFIG_PATH = 4,
  AGENT_CONFIG_TYPE_SYSLOG_ONLY = 5,
  AGENT_CONFIG_TYPE_SYSLOG_PORT = 6,
  AGENT_CONFIG_TYPE_SNMPTRAP_ONLY = 7,
  AGENT_CONFIG_TYPE_SNMPTRAP_PORT = 8,
  AGENT_CONFIG_TYPE_PING_ONLY = 9,
  AGENT_CONFIG_TYPE_PING_IP = 10,
  AGENT_CONFIG_TYPE_MAX = 11,
};

#define AGENT_CONFIG_COLLECT_THREAD_COUNT 40
// Default of event_buffer_bytes: 32 MiB, minutes of a busy site's syslog
// and traps (2,000 lines and 50 traps a second fill about 0.3 MB a second).
#define AGENT_CONFIG_EVENT_BUFFER_BYTES (32ll * 1024 * 1024)

extern agent_config g_agent_config;

// Empties `config` and sets collect_thread_count to 40.
void config_init(agent_config *config);

// Stores a text or port setting. Text settings (0, 1, 3, 4, 10) are copied
// when their length is within the limit; ports (2, 6, 8) are parsed as an
// unsigned decimal number (text that is not a number parses as 0) and stored
// when at most 65535. Returns 0; the setting's error code (-10 .. -17) when
// the value is too long or too large, leaving the field unchanged; -1 for
// any other type or a null argument.
int config_set_value_from_str(agent_config *config, int type, const char *value);

// Stores an only-mode (types 5, 7, 9) in is_only_type when that is still 0.
// Returns 0; -2 when a mode is already set; -1 for any other type.
int config_set_value_from_int(agent_config *config, int type, int value);

// Reads the five keys of the configuration file into g_agent_config where
// the command line left them unset. An empty config_path becomes
// "<home>/conf/qdr.conf". A missing file or key is not an error; a path that
// is not a regular file reads as missing, with a line on standard error; a
// rejected value is dropped (a port must be digits only). A line with a key
// the agent does not know, or a port that is not a number, is named on
// standard error with the file and line number. Returns -1 if `config_path`
// is null, else 0.
int load_config_from_file(char *config_path);

// Applies the defaults to fields still empty or 0 (event_buffer_bytes: still
// unset). Returns 0.
int config_validation(void);

// Checks a collector address before the agent starts on it: 0 usable (a
// numeric IPv4 or IPv6 address, the latter with an interface after '%',
// or a well-formed host name, which may end in a dot); -1 empty or null; -2 not an address
// ("10.0.0.300", "127.0.0.1:9010", "collector host").
int config_check_receiver_ip(const char *ip);

#endif  // QDR_AGENT_CONFIG_H
