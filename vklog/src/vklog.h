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
// The two words are read and written with relaxed atomics because a reload
// copies a new filter into a handle while other threads test it.
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
  int err_no;
  unsigned int backup_idx;  // guarded by g_file_backup_lock
  int backup_work;          // guarded by g_file_backup_lock
  pthread_mutex_t fd_lock;
} vklog_output_file_t;

typedef struct {
  uint32_t sent_success_count;
  uint32_t sent_error_count;
  uint32_t sent_size;
} vklog_vklogger_perf_data_t;

typedef struct {
  int sock;  // -1 when none; guarded by lock
  int err_no;
  int is_connect;  // guarded by lock
  pthread_mutex_t lock;
  vklog_vklogger_perf_data_t perf_data;  // guarded by lock
} vklog_output_vklogger_t;

typedef struct _vklog {
  vklog_level_t level;          // first field: read directly by the VKLOG pattern
  vklog_config_t *config;       // guarded by config_lock
  vklog_config_t *config_temp;  // guarded by config_lock
  pthread_mutex_t config_lock;
  vklog_output_file_t output_file;
  vklog_output_file_t output_std;
  vklog_output_vklogger_t output_vklogger;
  int last_error;
  int activate;  // 0: the category writes nothing
} vklog_t;

typedef struct {
  char config_filepath[VKLOG_PATH_SIZE];
  time_t config_file_last_modify_time;
  char reload_use_flag;
  unsigned int count;
  vklog_t log[VKLOG_CATEGORY_MAX];
  int debug;
} vklog_manager_t;

// The program's main log and its console-debug log; each is set once.
extern vklog_t *g_vklog;
extern vklog_t *g_vklog_console_debug;

// True when a line of `level` passes the filter `lv`.
inline bool vklog_level_pass(const vklog_level_t *lv, int level) {
  int value = __atomic_load_n(&lv->value, __ATOMIC_RELAXED);
  switch (__atomic_load_n(&lv->inequality_sign, __ATOMIC_RELAXED)) {
    case '<':
      return level <= value;
    case '>':
      return level >= value;
    case '=':
      return level == value;
    default:
      return false;
  }
}

// The one logging call pattern: test the filter on the handle, then format.
#define VKLOG(h, lvl, ...)                                                                      \
  do {                                                                                          \
    vklog_t *vklog_h_ = (h);                                                                    \
    if (vklog_h_ != nullptr && vklog_level_pass(&vklog_h_->level, (lvl)))                       \
      vklog(vklog_h_, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__, \
            (lvl), __VA_ARGS__);                                                                \
  } while (0)

#define VKLOG_HEX(h, lvl, columns, data, data_len, ...)                                   \
  do {                                                                                    \
    vklog_t *vklog_h_ = (h);                                                              \
    if (vklog_h_ != nullptr && vklog_level_pass(&vklog_h_->level, (lvl)))                 \
      vklog_hex(vklog_h_, __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, \
                __LINE__, (lvl), (columns), (data), (data_len), __VA_ARGS__);             \
  } while (0)

// Formats and writes one line. Returns -1 for a null handle, 0 if the
// category is inactive, -2 if it has no configuration, -1 if the header did
// not fit, else 0.
int vklog(vklog_t *handle, const char *file, size_t file_len, const char *func, size_t func_len,
          long line, int level, const char *format, ...) __attribute__((format(printf, 8, 9)));

// Writes a hex dump block of `data` (title from `format`) to the file and
// standard outputs of the category. Same results as vklog().
int vklog_hex(vklog_t *handle, const char *file, size_t file_len, const char *func, size_t func_len,
              long line, int level, int hex_print_column_count, const void *data,
              size_t data_length, const char *format, ...) __attribute__((format(printf, 11, 12)));

// Records `path` (only if none is recorded yet), enables reloading, loads the
// file and applies each section as a category. Returns 0 or the loader's
// negative code (-11 open failed, errno in *err_no; -12 section without ']';
// -13 value too long; -14 bad level; -15 section name empty or 128+ chars;
// -16 line longer than 64 KiB; -17 no section at all (e.g. empty file);
// -18 a derived file name does not fit; -19 out of memory). Nothing is
// applied on error. On 0, *err_no is the last apply error (-2 no free slot,
// -4 remote output not set up) or 0.
int vklog_initialize_with_config_file(const char *path, int *err_no);
// Finishes and applies one configuration (the manager takes it). 0 or -2.
int vklog_initialize_with_config(vklog_config_t *config, int *err_no);
// Applies the DEFAULT preset under `conf_name`. 0, -1 (name rejected) or -2.
int vklog_initialize_with_default_config(const char *conf_name, int *err_no);
// Re-reads the recorded file when its modification time changed. 0 or the
// loader's code; on error the running configuration stays.
int vklog_reload(int *err_no);

// Null name: the static stdout handle. Else the registered category (or
// null), (re)activated by the LKS_DAEMON_VKLOG_DEACTIVATE rule.
vklog_t *vklog_get_category(const char *cname);
int vklog_set_global_log_handle(vklog_t *h);
int vklog_set_global_log_console_debug_handle(vklog_t *h);
int vklog_enable(vklog_t *h);
int vklog_disable(vklog_t *h);
int vklog_enable_from_config_name(const char *name);
int vklog_disable_from_config_name(const char *name);

vklog_config_t *vklog_config_new(void);
vklog_config_t *vklog_config_new_from_preset(vklog_cfg_preset_type type);
vklog_config_t *vklog_config_clone_from_config(const vklog_config_t *c);
vklog_config_t *vklog_config_clone_from_vklog(vklog_t *h);
vklog_config_t *vklog_config_clone_from_global_log(void);
vklog_config_t *vklog_config_clone_from_category(const char *name);
// Sets one item; 0, -2 for a null config or value, or `type` when rejected.
int vklog_config_set(vklog_config_t *config, vklog_cfg_type type, size_t length, const char *value);
int vklog_config_finish(vklog_config_t *config);
void vklog_config_print(const vklog_config_t *config);
// Frees a configuration that was never applied.
void vklog_config_free(vklog_config_t *config);
// Finishes `config` and applies it: replaces the configuration of the
// category of that name, or registers a new category. The manager takes
// `config` in every case (it is freed on failure). 0, or -2 with *err_no -1
// (null or unnamed), -2 (all categories taken) or -3 (derived file name does
// not fit). *err_no -4 with result 0: applied, but the remote output could
// not be set up.
int vklog_apply_config(vklog_config_t *config, int *err_no);

int vklog_set_config_path(const char *path);
void vklog_set_reload_disable(void);
int vklog_cleanup_backup_file(vklog_t *h);
int vklog_get_vklogger_perf_sent(vklog_t *h, vklog_vklogger_perf_data_t *out);
void vklog_fini(void);

const char *vklog_get_version(void);
const char *vklog_get_simple_version(void);

#endif  // VKLOG_VKLOG_H
