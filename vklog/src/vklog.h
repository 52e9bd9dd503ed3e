// vklog: the logging library of both agents.
//
// A program registers up to VKLOG_CATEGORY_MAX named categories, each with its
// own configuration (outputs, level filter, header fields, file rotation and
// remote vklogger output). Configurations come from a sectioned file, from
// presets, or from single-item calls, and can be swapped under running
// threads: a log call pins the configuration it uses with a reference count
// (count_in_use) so a reload never frees it under the call.
//
// Threads: any thread may log through any handle. Registration of categories
// and reloading are expected from one thread (the program's main thread).
// Which lock guards which field is noted beside the field; the words that
// log calls read without a lock (a handle's level copy, activate,
// last_error, the file output's err_no and backup_work, the manager's
// count) are std::atomic.
//
// Every call site uses the VKLOG / VKLOG_HEX pattern below: the level filter
// is tested on the handle before anything is formatted, so a line filtered
// out costs one comparison.
#ifndef VKLOG_VKLOG_H
#define VKLOG_VKLOG_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>

#define VKLOG_CATEGORY_MAX 12
#define VKLOG_NAME_SIZE 128
#define VKLOG_DIR_SIZE 4096
#define VKLOG_PATH_SIZE 8192
#define VKLOG_IP_SIZE 40
#define VKLOG_LINE_BUFFER_SIZE 10240
#define VKLOG_HEX_BUFFER_SIZE 4096
#define VKLOG_DEFAULT_VKLOGGER_PORT 10010

// Levels. 0 is never accepted in a configuration.
enum {
  VL_NONE = 0,
  VL_FATAL = 1,
  VL_ERROR = 2,
  VL_WARN = 3,
  VL_NOTICE = 4,
  VL_INFO = 5,
  VL_DEBUG = 6,
  VL_TRACE = 7,
};

// Output bits of vklog_config_t.output.
enum {
  VKLOG_OUTPUT_FILE = 1,
  VKLOG_OUTPUT_STDOUT = 2,
  VKLOG_OUTPUT_STDERR = 4,
  VKLOG_OUTPUT_VKLOGGER = 8,
};

// Header field bits of vklog_config_t.header_flag.
enum {
  VKLOG_HEADER_TIME = 1,
  VKLOG_HEADER_PID = 2,
  VKLOG_HEADER_THREAD_ID = 4,
  VKLOG_HEADER_FILE = 8,
  VKLOG_HEADER_FUNCTION = 16,
  VKLOG_HEADER_LINE = 32,
  VKLOG_HEADER_LEVEL = 64,
};

typedef enum {
  VKLOG_CFG_TYPE_NONE = 0,
  VKLOG_CFG_TYPE_NAME = 1,
  VKLOG_CFG_TYPE_DIRECTORY = 2,
  VKLOG_CFG_TYPE_FILENAME = 3,
  VKLOG_CFG_TYPE_OUTPUT_TYPE = 4,
  VKLOG_CFG_TYPE_FILE_PERMISSION = 5,
  VKLOG_CFG_TYPE_VKLOGGER_IP = 6,
  VKLOG_CFG_TYPE_VKLOGGER_PORT = 7,
  VKLOG_CFG_TYPE_LEVEL = 8,
  VKLOG_CFG_TYPE_HEADER_FLAG = 9,
  VKLOG_CFG_TYPE_INCLUDE_US_TO_TIME = 10,
  VKLOG_CFG_TYPE_LIMIT_FILE_SIZE = 11,
  VKLOG_CFG_TYPE_BACKUP_DIRECTORY = 12,
  VKLOG_CFG_TYPE_BACKUP_FILE_COUNT = 13,
  VKLOG_CFG_TYPE_MAX = 14,
} vklog_cfg_type;

typedef enum {
  VKLOG_CFG_PRESET_NONE = 0,
  VKLOG_CFG_PRESET_DEFAULT = 1,
  VKLOG_CFG_PRESET_DEFAULT_STDOUT = 2,
  VKLOG_CFG_PRESET_DEFAULT_FILE = 3,
  VKLOG_CFG_PRESET_MAX = 4,
} vklog_cfg_preset_type;

// The level filter. A line of level L passes (value V, sign S) when S is '<'
// and L <= V, '>' and L >= V, '=' and L == V; any other sign passes nothing.
// A handle holds its copy as one std::atomic of this pair, so that a reload
// replaces value and sign together while other threads test them.
typedef struct {
  int value;
  int inequality_sign;
} vklog_level_t;

typedef struct _vklog_config {
  char name[VKLOG_NAME_SIZE];
  unsigned int name_len;
  char out_dir[VKLOG_DIR_SIZE];
  char out_file[VKLOG_NAME_SIZE];
  unsigned int out_file_len;
  char out_path[VKLOG_PATH_SIZE];
  unsigned int file_permission;
  char vklogger_ip[VKLOG_IP_SIZE];
  uint16_t vklogger_port;
  // Set before the configuration is applied. Afterwards only its vklogger
  // bit changes (cleared by a log call whose remote output has no socket or
  // address), under the owning handle's config_lock; read it under that lock.
  uint8_t output;
  unsigned int header_flag;
  char include_us_to_time;
  vklog_level_t level;
  unsigned int limit_size;
  char backup_dir[VKLOG_DIR_SIZE];
  char backup_path[VKLOG_PATH_SIZE];
  unsigned int backup_count;
  int count_in_use;  // guarded by the owning handle's config_lock
  struct _vklog_config *next;
} vklog_config_t;

typedef struct {
  std::atomic<int> err_no;  // last file error, 0 after a good open
  unsigned int backup_idx;  // guarded by g_file_backup_lock
  // 1 while a rotation runs and after one failed (the category is then
  // switched off until a configuration is applied again). Written under
  // g_file_backup_lock; writers read it without the lock to skip work.
  std::atomic<int> backup_work;
  pthread_mutex_t fd_lock;
} vklog_output_file_t;

typedef struct {
  uint32_t sent_success_count;
  uint32_t sent_error_count;
  uint32_t sent_size;
} vklog_vklogger_perf_data_t;

typedef struct {
  int sock;        // -1 when none; guarded by lock
  int err_no;      // guarded by lock
  int is_connect;  // guarded by lock
  pthread_mutex_t lock;
  vklog_vklogger_perf_data_t perf_data;  // guarded by lock
} vklog_output_vklogger_t;

typedef struct _vklog {
  // First field: read without a lock by the VKLOG pattern; a copy of the
  // configuration's filter, stored under config_lock when it is applied.
  std::atomic<vklog_level_t> level;
  vklog_config_t *config;       // guarded by config_lock
  vklog_config_t *config_temp;  // guarded by config_lock
  pthread_mutex_t config_lock;
  vklog_output_file_t output_file;
  vklog_output_file_t output_std;
  vklog_output_vklogger_t output_vklogger;
  std::atomic<int> last_error;  // last file output error of a log call
  std::atomic<int> activate;    // 0: the category writes nothing
} vklog_t;

// Registration and reloading run on one thread; of these fields only
// `count` is read by other threads (category lookup).
typedef struct {
  char config_filepath[VKLOG_PATH_SIZE];
  time_t config_file_last_modify_time;
  char reload_use_flag;
  // Published with a release store once a new slot is set up.
  std::atomic<unsigned int> count;
  vklog_t log[VKLOG_CATEGORY_MAX];
  int debug;
} vklog_manager_t;

// The program's main log and its console-debug log; each is set once.
extern vklog_t *g_vklog;
extern vklog_t *g_vklog_console_debug;

static_assert(std::atomic<vklog_level_t>::is_always_lock_free,
              "the filter test on every call site must not take a lock");

// True when a line of `level` passes the filter `lv`.
inline bool vklog_level_pass(const vklog_level_t *lv, int level) {
  switch (lv->inequality_sign) {
    case '<':
      return level <= lv->value;
    case '>':
      return level >= lv->value;
    case '=':
      return level == lv->value;
    default:
      return false;
  }
}

// True when a line of `level` passes the filter of handle `h` (non-null).
inline bool vklog_handle_pass(const vklog_t *h, int level) {
  vklog_level_t lv = h->level.load(std::memory_order_relaxed);
  return vklog_level_pass(&lv, level);
}

// The one logging call pattern: test the filter on the handle, then format.
#define VKLOG(h, lvl, ...)                                                                      \
  do {                                                                                          \
    vklog_t *vklog_h_ = (h);                                                                    \
    if (vklog_h_ != nullptr && vklog_handle_pass(vklog_h_, (lvl)))                              \
      vklog(vklog_h_, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, \
            (lvl), __VA_ARGS__);                                                                \
  } while (0)

#define VKLOG_HEX(h, lvl, columns, data, data_len, ...)                                   \
  do {                                                                                    \
    vklog_t *vklog_h_ = (h);                                                              \
    if (vklog_h_ != nullptr && vklog_handle_pass(vklog_h_, (lvl)))                        \
      vklog_hex(vklog_h_, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, \
                __LINE__, (lvl), (columns), (data), (data_len), __VA_ARGS__);             \
  } while (0)

// Formats and writes one line: the header fields of the category's
// configuration, then `format` (cut to fit the 10,240-byte line buffer),
// to each output in the order remote, file, standard output. Use it through
// VKLOG, which tests the filter first. Returns -1 for a null handle or when
// the header does not fit; 0 when the category is inactive (nothing
// written); -2 when it has no configuration; else 0, also when an output
// failed: a file error is kept in handle->last_error, a remote output
// without socket or address is switched off for the configuration in use,
// and a failed rotation switches the category off (one message on standard
// error) until a configuration is applied to it again.
int vklog(vklog_t *handle, const char *file, size_t file_len, const char *func, size_t func_len,
          long line, int level, const char *format, ...) __attribute__((format(printf, 8, 9)));

// Writes a hex dump block of `data_length` bytes of `data` (title from
// `format`, `hex_print_column_count` bytes a row, 8 when below 1, at most
// 256) to the file and standard outputs of the category, never to the
// remote one. A null `data` dumps 0 bytes. Same results as vklog().
int vklog_hex(vklog_t *handle, const char *file, size_t file_len, const char *func, size_t func_len,
              long line, int level, int hex_print_column_count, const void *data,
              size_t data_length, const char *format, ...) __attribute__((format(printf, 11, 12)));

// Records `path` (only if none is recorded yet), enables reloading, loads the
// file and applies each section as a category. A UTF-8 byte-order mark at
// the start of the file is skipped. Returns 0 or the loader's negative code
// (-11 open failed, errno in *err_no; -12 section without ']'; -13 value too
// long; -14 bad level; -15 section name empty or 128+ chars; -16 line longer
// than 64 KiB; -17 no section at all (e.g. empty file); -18 a derived file
// name does not fit; -19 out of memory). Nothing is applied on error. On 0,
// *err_no is the last apply error (-2 no free slot, -4 remote output not
// set up) or 0. `err_no` may be null.
int vklog_initialize_with_config_file(const char *path, int *err_no);

// Finishes and applies one configuration; the same as vklog_apply_config.
int vklog_initialize_with_config(vklog_config_t *config, int *err_no);

// Applies the DEFAULT preset (no output) under `conf_name`. 0; -1 when the
// name is null, empty or 128+ characters; -2 when the record cannot be
// made or applied (*err_no as for vklog_apply_config).
int vklog_initialize_with_default_config(const char *conf_name, int *err_no);

// Re-reads the recorded file when its version (modification time, size,
// inode) differs from the last load, and applies each section in order.
// 0 also when reloading is disabled, no path is recorded or the file is
// unchanged; -11 with errno in *err_no when the file cannot be examined or
// opened; else the loader's code, and the running configuration stays. A
// file that failed to load is not read again until it changes.
// REQUIRES: called on the thread that registers categories.
int vklog_reload(int *err_no);

// A null name gives the static handle that writes everything to standard
// output with time and level. Otherwise the registered category of that
// name, or null when there is none. Every lookup sets the category's
// activation by the LKS_DAEMON_VKLOG_DEACTIVATE rule (inactive exactly when
// the variable is "true"). The handle stays valid for the process's life.
vklog_t *vklog_get_category(const char *cname);

// Sets the process-wide handle g_vklog (or g_vklog_console_debug) once.
// 0; -1 for a null handle; -2 when it is set already (it is never replaced).
// REQUIRES: called before other threads read the global handle.
int vklog_set_global_log_handle(vklog_t *h);
int vklog_set_global_log_console_debug_handle(vklog_t *h);

// Activates the category by the LKS_DAEMON_VKLOG_DEACTIVATE rule, or
// deactivates it (its log calls return 0 and write nothing). 0, or -1 for a
// null handle. The _from_config_name forms look the category up by name
// and return -1 also when there is no such category.
int vklog_enable(vklog_t *h);
int vklog_disable(vklog_t *h);
int vklog_enable_from_config_name(const char *name);
int vklog_disable_from_config_name(const char *name);

// Configuration records. Each of these returns a new record that the caller
// owns: free it with vklog_config_free, or hand it to vklog_apply_config,
// which takes it. Null when memory is exhausted and:
// - vklog_config_new: never otherwise; every field zero (NONE preset).
// - vklog_config_new_from_preset: for a type outside NONE..DEFAULT_FILE.
// - vklog_config_clone_from_config: for a null `c`. A full copy with
//   count_in_use 0 and no `next`. REQUIRES: no other thread changes `c`;
//   copy a category's configuration with vklog_config_clone_from_vklog.
// - vklog_config_clone_from_vklog: for a null handle or one without a
//   configuration; copies the current configuration under the handle's lock.
// - vklog_config_clone_from_global_log: while g_vklog is not set.
// - vklog_config_clone_from_category: for a null or unknown name.
vklog_config_t *vklog_config_new(void);
vklog_config_t *vklog_config_new_from_preset(vklog_cfg_preset_type type);
vklog_config_t *vklog_config_clone_from_config(const vklog_config_t *c);
vklog_config_t *vklog_config_clone_from_vklog(vklog_t *h);
vklog_config_t *vklog_config_clone_from_global_log(void);
vklog_config_t *vklog_config_clone_from_category(const char *name);

// Sets one item from `length` bytes of `value` (it stops at a NUL). 0; -2 for
// a null config or value; or `type` when the value is rejected, and the
// record is then unchanged. The rules per item are listed at vl_set_config
// in vklog_config.h.
int vklog_config_set(vklog_config_t *config, vklog_cfg_type type, size_t length, const char *value);

// Derives the record's paths and defaults (out_path, out_file from the name
// when empty, backup_path, limit_size 10 and port 10010 when 0, no execute
// bits in file_permission); finishing twice is harmless. 0; -1 for a null
// config; -2 when the file name derived from the name does not fit 128
// bytes (record unchanged).
int vklog_config_finish(vklog_config_t *config);

// Prints every field of the record to standard output, one group a line.
// A null config prints nothing. REQUIRES: as vklog_config_clone_from_config.
void vklog_config_print(const vklog_config_t *config);

// Frees a configuration that was never applied (null is ignored).
// REQUIRES: the record is not installed in a category.
void vklog_config_free(vklog_config_t *config);

// Finishes `config` and applies it: replaces the configuration of the
// category of that name, or registers a new category. The manager takes
// `config` in every case (it is freed on failure). 0, or -2 with *err_no -1
// (null or unnamed), -2 (all categories taken) or -3 (derived file name does
// not fit). *err_no -4 with result 0: applied, but the remote output could
// not be set up. Applying to an existing category also re-arms it after a
// failed rotation switched it off: it is activated again (by the
// LKS_DAEMON_VKLOG_DEACTIVATE rule) and its next rotation is tried afresh.
// REQUIRES: called on the thread that registers categories.
int vklog_apply_config(vklog_config_t *config, int *err_no);

// Records the configuration file's path for the loader and reloads. 0; -1
// when a path is recorded already (it is kept); -2 for a null or empty
// path; -3 when it is 8,192 bytes or longer.
int vklog_set_config_path(const char *path);

// Turns reloading off: vklog_reload returns 0 without looking at the file
// until vklog_initialize_with_config_file turns it on again.
void vklog_set_reload_disable(void);

// Deletes the category's backup files numbered above its backup count.
// Returns the number deleted; -1 for a null handle; -2 when it has no
// configuration; -1 or -6 when the backup path has no file name or its
// directory cannot be opened.
int vklog_cleanup_backup_file(vklog_t *h);

// Copies the category's remote send counters into *out (under the remote
// output's lock). 0, or -1 for a null handle or `out`.
int vklog_get_vklogger_perf_sent(vklog_t *h, vklog_vklogger_perf_data_t *out);

// Does nothing; the categories live until the process ends.
void vklog_fini(void);

// The library's version text ("vklog library\nBuild on <date>\nVersion
// <version> (commit:<hash>)") and its short form ("vklog <version>(<hash>)").
// Static texts; never null.
const char *vklog_get_version(void);
const char *vklog_get_simple_version(void);

#endif  // VKLOG_VKLOG_H
