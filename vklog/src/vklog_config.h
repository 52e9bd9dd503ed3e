// vklog_config: configuration records of the logging library — presets,
// single-item setting, finishing (derived paths), and the loader of the
// sectioned configuration file ("conf/log.conf" of the network agent).
//
// Owns nothing beyond the records it returns: every vklog_config_t comes from
// calloc and is released with vklog_config_free (or handed to the manager by
// an apply call). Loading and setting run on the thread that configures
// logging (the program's main thread); the functions keep no state.
//
// File format: one section per category,
//   [category name]
//   key = value    # comment
// Keys: directory, filename, output_type, file_permission, vklogger_ip,
// vklogger_port, level, header_flag, include_us_in_time, limit_file_size,
// backup_directory, backup_file_count. Each section starts from the DEFAULT
// preset. Unknown keys, lines without '=' and lines before the first section
// are ignored; rejected values other than "level" are ignored. A UTF-8
// byte-order mark at the very start of the file is skipped.
#ifndef VKLOG_VKLOG_CONFIG_H
#define VKLOG_VKLOG_CONFIG_H

#include <stddef.h>

#include "vklog.h"

// Header codes of the levels 0..7, eight fixed 8-byte slots.
extern const char g_vklog_level_str[8][8];

// Longest value accepted in the configuration file; longer gives -13.
#define VKLOG_CONF_VALUE_MAX 1022
// Longest line read from the configuration file; longer gives -16.
#define VKLOG_CONF_LINE_MAX 65536

// Loader result codes.
enum {
  VKLOG_LOAD_OPEN_FAILED = -11,     // file not opened or not readable; errno in *err_no
  VKLOG_LOAD_NO_BRACKET = -12,      // a section line without ']'
  VKLOG_LOAD_VALUE_TOO_LONG = -13,  // a value of 1023 characters or more
  VKLOG_LOAD_BAD_LEVEL = -14,       // a "level" value that is not a level
  VKLOG_LOAD_BAD_SECTION = -15,     // a section name that is empty or 128+ characters
  VKLOG_LOAD_LINE_TOO_LONG = -16,   // a line longer than VKLOG_CONF_LINE_MAX
  VKLOG_LOAD_NO_SECTION = -17,      // the file holds no section (e.g. it is empty)
  VKLOG_LOAD_FINISH_FAILED = -18,   // a section's derived file name does not fit
  VKLOG_LOAD_NO_MEMORY = -19,       // allocation failed
};

// Sets one item of `config` from `length` bytes of `value` (stops at a NUL).
// Returns 0; -2 for a null config or value; or `type` itself when the value
// is rejected (config unchanged):
//   NAME: empty or 128+ chars. FILENAME: 128+ chars. VKLOGGER_IP: 40+ chars.
//   DIRECTORY / BACKUP_DIRECTORY: environment expansion did not fit 4096.
//   OUTPUT_TYPE: a word other than file, stdout, stderr, vklogger.
//   LEVEL: not [<=>]?(fatal|error|warn|notice|info|debug|trace).
//   VKLOGGER_PORT, LIMIT_FILE_SIZE, BACKUP_FILE_COUNT: not a decimal number
//   in range. NONE, MAX and unknown types are rejected.
// FILE_PERMISSION takes octal text; 0, above 0777 or not octal gives 0640.
// HEADER_FLAG ignores unknown words. INCLUDE_US_TO_TIME is 1 only for "true".
int vl_set_config(vklog_config_t *config, vklog_cfg_type type, size_t length, const char *value);

// Fills `config` (all fields) with preset `type`. 0, or -1 for an unknown
// preset or null config.
int vl_config_fill_preset(vklog_config_t *config, vklog_cfg_preset_type type);

// Derives out_path, out_file (from the name when empty: blanks become '_',
// plus ".log"), backup_path, the default limit_size (10 MiB when 0), the
// default vklogger_port (10010 when 0) and clears execute bits of the file
// permission. Recomputes from the set items, so finishing twice is harmless.
// 0; -1 for a null config; -2 when the derived file name does not fit 128
// bytes (config unchanged).
int vl_load_config_finish(vklog_config_t *config);

// Loads the configuration file at `path`: returns the list of finished
// section configurations linked by `next` (caller frees each with
// vklog_config_free), or null with *code set to a VKLOG_LOAD_* value and,
// for -11, *err_no to errno. On success *code is 0. Nothing leaks on error.
vklog_config_t *vl_load_config_from_conf_file(const char *path, int *code, int *err_no);

// Frees a list made by the loader (follows `next`).
void vl_config_list_free(vklog_config_t *list);

#endif  // VKLOG_VKLOG_CONFIG_H
