// Configuration of the host agent: the fixed table of named values with
// their defaults, the "config" file in the data directory that overlays
// them at start and that a change from the collector rewrites, the
// properties taken from the environment, the collector address parsed from
// RECEIVER_ADDR, and the logging set-up driven by the log keys.
//
// g_conf_handle is made once by the main thread at start-up; afterwards
// every thread reads values under the handle's reader/writer lock and the
// server-link thread changes them under it. The properties table is filled
// before any thread starts and only read afterwards. The collector address
// record is written by set_dg_address (main thread at start, then only the
// server-link thread) and read by the server-link thread.
#ifndef VOSK_HOST_AGENT_CONFIGURE_H
#define VOSK_HOST_AGENT_CONFIGURE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#define CONF_KEY_SIZE 64
#define CONF_DEFAULT_SIZE 128
// A file line longer than this is ignored whole.
#define CONF_LINE_SIZE 4096
// Result of get_conf_value_int_for_idx for a missing handle or bad index.
#define CONF_INT_INVALID (-35199957)

// Indexes of the table.
enum {
  CONF_CPU100 = 0,
  CONF_INTERVAL_INFO_LOG = 1,
  CONF_INTERVAL_METRIC = 2,
  CONF_INTERVAL_PROCESS = 3,
  CONF_INTERVAL_INSTALLED_PACKAGE = 4,
  CONF_COLLECT_FILESYSTEM_TYPE_NFS = 5,
  CONF_LOG_DIRECTORY = 6,
  CONF_LOG_FILENAME = 7,
  CONF_LOG_LEVEL = 8,
  CONF_COUNT = 9,
};

// One row of the built-in table. flag 1: the collector may change it.
typedef struct {
  int flag;
  char key[CONF_KEY_SIZE];
  char default_value[CONF_DEFAULT_SIZE];
} conf_table_t;

extern const conf_table_t g_conf_table[CONF_COUNT];

typedef struct {
  char key[CONF_KEY_SIZE];
  int length;   // guarded by the handle's lock
  char *value;  // owned; guarded by the handle's lock
  int flag;
} conf_entry_t;

typedef struct {
  conf_entry_t *entries;  // table order; the array never changes after creation
  int count;
  pthread_rwlock_t lock;
} conf_handle_t;

extern conf_handle_t *g_conf_handle;

// Builds a handle from `table` (count rows), each value a copy of its
// default. Returns it, or null when memory runs out. Free with
// destroy_configure (null is ignored).
conf_handle_t *create_configure(const conf_table_t *table, int count);
void destroy_configure(conf_handle_t *handle);

// Overlays the file at `path`: "key = value" lines, "#" starts a comment,
// lines without "=" and unknown keys ignored, keys cut to 63 characters.
// Every known key is applied, whatever its flag, when conf_check_value
// accepts its value; a refused value keeps the previous one and is named on
// standard error (logging is not set up yet when the file is read). Returns
// 0; -1 missing argument; -2 the file cannot be opened (values unchanged);
// -3 at least one value was refused (the others are applied).
int load_config_file(conf_handle_t *handle, const char *path);

// Why a value is refused (conf_check_value).
enum {
  CONF_CHECK_OK = 0,
  CONF_CHECK_BAD_TEXT = -1,    // a line break, a NUL, or longer than the field
  CONF_CHECK_BAD_NUMBER = -2,  // not a whole decimal number in its range
  CONF_CHECK_BAD_LEVEL = -3,   // not a log level word of vklog
  CONF_CHECK_BAD_DIR = -4,     // cannot be expanded, or outside the home
  CONF_CHECK_BAD_NAME = -5,    // empty, ".", "..", or holds a '/'
};

// Checks `value` (length bytes, which may hold NULs) for the entry at
// `index`: numbers are whole decimal int32 values (the intervals 0 or
// more), LOG_LEVEL a level word, LOG_FILENAME a plain file name.
// `from_server` adds the collector's limit: LOG_DIRECTORY must expand to a
// directory inside g_vk_host_home but not inside its "data" directory
// (symbolic links resolved, no "."/".." parts). Returns CONF_CHECK_OK or one of the codes above,
// with a short reason in `why` (why_size bytes; may be null).
int conf_check_value(int index, const char *value, size_t length, int from_server, char *why,
                     size_t why_size);

// Writes "<path>.tmp" with one "key=value" line per entry in table order and
// renames it over `path`. 0; -1 missing argument; -2 the temporary file
// cannot be created or written (the old file stays).
int save_config_file(conf_handle_t *handle, const char *path);

// The value as a decimal integer (optional '-', leading digits; 0 when none
// or when it lies outside the int range). CONF_INT_INVALID for a missing
// handle or index out of range.
int get_conf_value_int_for_idx(conf_handle_t *handle, int index);

// Copies at most size - 1 bytes of the value and a terminator. 0; -1
// missing handle or buffer; -2 empty table; -3 index out of range.
int get_conf_value_string_for_idx(conf_handle_t *handle, int index, char *buffer, size_t size);

// Replaces the value of `key` when the key is known, its flag is 1 and the
// value differs (logged). The value is first read as the file would read it
// back (cut at "#", blanks trimmed), so what is kept is what a restart
// loads. A value with a line break or NUL, or one conf_check_value refuses
// (from_server), is logged at warn level and leaves the entry unchanged.
// Other keys are ignored. 0; -1 missing handle or argument; -2 empty table;
// -3 out of memory (value unchanged); -4 value refused.
int update_conf_value_for_key(conf_handle_t *handle, const char *key, const char *value,
                              int length);

// Logs every entry with a value, in table order.
void print_configure(conf_handle_t *handle);

// Properties from the environment. A name is stored only the first time
// (cut to 127 bytes, value to 1023). get_properties_preset copies the value
// with a terminator and returns its length when it is shorter than `size`;
// otherwise, or for an unknown name, returns 0.
int set_properties_preset(const char *name, size_t name_len, const char *value, size_t value_len);
int get_properties_preset(const char *name, char *buffer, size_t size);
// Forgets every property (tests).
void clear_properties_preset(void);

// The collector address.
typedef struct {
  uint32_t addr;  // IPv4, network byte order; 0 = not set
  uint32_t port;
  char text[32];
} dg_slave_info_t;

extern dg_slave_info_t g_dgconn_slave_info;

// Parses "host:port" (split at the last ':'; the host resolved to an IPv4
// address) into *addr (network order) and *port. 0; -1 missing argument or
// text of 48 bytes or more; -2 no ':'; -3 port not a number from 1 to 65535;
// -4 the host does not resolve to an IPv4 address. Logs as the agent does.
int setDGAddrFromStr(const char *text, uint32_t *addr, uint32_t *port);

// Recomputes g_dgconn_slave_info from the RECEIVER_ADDR property (a value
// of 32 characters or more counts as unset). Returns 0 when an address is
// set, -1 otherwise (record cleared).
int set_dg_address(void);

// Expands every "${NAME}" of `in` with the environment into `out` (size
// bytes). 0; -1 missing argument; -2 no closing brace; -3 a variable unset
// or empty; -4 the result does not fit.
int convert_env_path(const char *in, char *out, size_t size);

// Logging set-up from the log keys (category "vosk-host-agent"; with
// `debug` also the "debug-mode" console category). 0, or -1 directory
// expansion failed, -2 vklog refused the configuration, -3 no category, -4
// the debug category failed.
int init_vklog(int debug);
// Re-applies the log keys (every 3 s). A directory that does not exist
// keeps the old one. 0, or -1 expansion failed, -2 no configuration to
// clone, -3 vklog refused it.
int update_vklog(void);

// Start-up: table, file "<home>/data/config", logging, the logged values.
// 0, or -1 when the table cannot be made, -2 when logging cannot be set up,
// -3 when the file holds a value the agent refuses (each reason printed on
// standard error).
int initialize_configure_host_agent(int debug);

// Path of the configuration file (for the remote change).
int host_config_path(char *path, size_t size);

#endif  // VOSK_HOST_AGENT_CONFIGURE_H
