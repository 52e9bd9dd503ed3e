// vklog_internal: functions of the vklog module shared with the other
// modules of the library and with its tests. Not for the agents: they use
// vklog.h only.
//
// Owns the declaration of the process-wide manager g_vklog_manager (defined
// in vklog.cpp). Its `count` is published with a release store after a new
// slot is fully set up, and read with an acquire load by lookups, so a
// category can be looked up from any thread; registering categories and
// reloading stay on one thread.
#ifndef VKLOG_VKLOG_INTERNAL_H
#define VKLOG_VKLOG_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "vklog.h"

extern vklog_manager_t g_vklog_manager;

// Pins and returns the handle's current configuration (count_in_use + 1
// under config_lock), or null when it has none. When `output` is not null,
// *output is the configuration's output bits read under the same lock (0
// without a configuration). Every non-null result must be given back with
// vl_release_config.
vklog_config_t *vl_get_config(vklog_t *handle, uint8_t *output);

// Gives back a configuration pinned by vl_get_config; frees it when it was
// the last user of a configuration that a reload has replaced.
void vl_release_config(vklog_t *handle, vklog_config_t *config);

// Builds the line header at `buffer` (capacity `size`, always terminated):
// the fields selected by `header_flag` in the order time, pid/thread, level,
// file/function/line. Returns its length; -1 when a field does not fit the
// remaining space (nothing of the line may be written); -2 .. -13 when a
// field cannot be formatted (-2 time, -3 pid:thread, -4 pid, -5 thread,
// -6 file:function:line, -7 file:function, -8 file:line, -9 function:line,
// -10 file, -11 function, -12 line, -13 level).
int vl_set_header(int level, unsigned int header_flag, char include_us_to_time, const char *file,
                  size_t file_len, const char *func, size_t func_len, long line, char *buffer,
                  size_t size);

// Appends `length` bytes to the category's log file (open, write, close) and
// rotates the file when it reached the configured size. The size is measured
// on the first line after set-up and then every 64 KiB written through the
// handle, so rotation happens within 64 KiB past the limit. 0 (also when another
// thread is rotating); -1 the missing output directory could not be made
// (also when a file stands in its path: ENOTDIR); -2 the missing backup
// directory could not be made; -3 the rotation failed: the category is
// switched off, with one message on standard error, until a configuration
// is applied to it or it is enabled again; -4 the file could not be opened;
// -5 the write failed. The "is not make" messages are printed once per run
// of the same error.
int vl_va_log_file_writer(vklog_t *handle, const vklog_config_t *config, const char *data,
                          size_t length);

// Moves the log file of `config` into the backup ring (or deletes it when
// backup_count is 0). *backup_idx is the ring position of the last backup
// written (0: look it up from the files on disk) and is advanced on
// success. A backup directory on another file system (rename fails with
// EXDEV) gets a copy of the file, and the file is then removed. 0; -1 the
// log file could not be deleted; -2 the old backup could not be deleted; -3
// the log file could not be moved (a partial copy is removed). errno tells
// the failed step's error.
// REQUIRES: g_file_backup_lock held.
int vl_file_backup(const vklog_config_t *config, unsigned int *backup_idx);

// Applies a finished configuration to the manager (see vklog_apply_config
// in vklog.h). 0, or -2 with *err_no -2 when all 12 slots are taken.
int vl_apply_config(vklog_manager_t *manager, vklog_config_t *config, int *err_no);

// FOR TESTS ONLY: returns the library to its state at program start — every
// category unregistered and its configuration freed, remote sockets closed,
// g_vklog and g_vklog_console_debug cleared, the recorded configuration path
// and reload state forgotten. The sequence counter of remote datagrams and
// the files on disk are kept. REQUIRES: no other thread is logging or holds
// a handle obtained before the call.
void vklog_test_reset(void);

#endif  // VKLOG_VKLOG_INTERNAL_H
