// Processes of the host: the scan of /proc, each process's CPU share since
// the previous scan, the process report (60016), and the resource limits of
// one process answered to the collector's request (62000 -> 62001).
//
// The previous scan's list, the report buffers and the process files kept
// open between scans belong to the process thread (THR_PROCESS_LIST), which
// holds g_username_lock around a cycle.
// The limits request runs on the server-link thread and touches neither.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_PROCESS_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_PROCESS_H

#include <stddef.h>
#include <stdint.h>

#include "hash2.h"

#define LKS_PROC_USER_SIZE 24
#define LKS_PROC_CMDLINE_SIZE 512
#define LKS_PROC_COMM_SIZE 128
// Spare entries the report buffers keep above the process count.
#define LKS_PROC_SPARE_ITEMS 30

typedef struct {
  uint32_t pid;  // pid and uid: the first 8 bytes are the map key
  uint32_t uid;  // owner of /proc/<pid>/stat
  char user[LKS_PROC_USER_SIZE];
  char cmdline[LKS_PROC_CMDLINE_SIZE];
  int32_t ppid;
  char comm[LKS_PROC_COMM_SIZE];  // without the parentheses
  uint64_t utime, stime;          // clock ticks
  uint64_t vsize;                 // bytes
  uint64_t rss;                   // bytes
  uint64_t start_time;            // seconds since the epoch
  uint64_t sample_msec;           // when the stat file was read
  uint64_t read_bytes, write_bytes;
  double cpu_sys, cpu_user, cpu_total;
  // Start time in ticks, the kernel flags (kernel threads are left out)
  // and the address range of the argument area (0 when the kernel does not
  // show it).
  uint64_t start_ticks;
  uint64_t flags;
  uint64_t arg_start, arg_end;
} lks_proc_t;

typedef struct {
  lks_proc_t **items;  // owned through `map`
  int count;
  int cap;
  hash_struct map;  // key pid+uid -> item (the map frees the items)
  double total_cpu;
} lks_proc_list_t;

// Parses a stat line. The command name is taken between the first '(' and
// the LAST ')', so a name holding blanks or parentheses never shifts the
// fields after it. start time = ticks / hz + btime_sec; rss = pages ×
// page_size; flags, arg_start and arg_end when the line holds them (0
// otherwise). 0, or -1 when the line is cut before field 24 or garbled
// (rec then partly filled).
int lks_proc_parse_stat(const char *text, long hz, long page_size, uint64_t btime_sec,
                        lks_proc_t *rec);

// The boot time in seconds from the "btime" (or "Btime") line of
// <root>/proc/stat: the number, 0 when the line is missing, -1 when the file
// cannot be read.
int64_t lks_read_btime(void);
// Sets the boot time the scan adds to start times (read once at start).
void lks_proc_set_btime(uint64_t btime_sec);

// Scans <root>/proc into `list` (zeroed by the caller or cleared). A process
// that vanishes while it is read, or whose command line is empty (a kernel
// thread), is left out. Every process's stat, command line and io files are
// read on every scan (the command line cut to the field when longer). On
// procfs the three files of each process stay open from scan to scan (at
// most half the descriptor limit; the files of processes that have exited
// are closed at the end of the scan): a read at offset 0 gives the current
// text. 0; -2 when /proc cannot be read; -3 when memory is exhausted (the
// records read so far stay).
// REQUIRES: the caller holds g_username_lock (user names are looked up).
int get_process_infos(lks_proc_list_t *list);
// Closes every kept process file (safe to call twice); the number of
// descriptors held now; whether files of `pid` are held.
void lks_process_files_close(void);
size_t lks_process_files_open(void);
bool lks_process_files_held(uint32_t pid);
void lks_proc_list_clear(lks_proc_list_t *list);

// CPU shares of `cur` against `prev` (same position and name first, then
// the pid+uid key), elapsed time from the two sample times. A counter that
// went back counts 0. Sets cur->total_cpu.
void lks_proc_cpu_calc(const lks_proc_list_t *prev, lks_proc_list_t *cur, long hz);

// One process cycle: scan, shares, the report queued, the scan kept for the
// next cycle. 0; -1 when /proc cannot be read; -2 when memory is exhausted;
// -6 when the report cannot be encoded. Process thread only.
int get_host_process_list(void);
// Forgets the previous scan and frees the report buffers.
void lks_process_reset(void);

#define LKS_LIMIT_NAME_SIZE 32
// Wide enough for every value a limits file prints: "unlimited" or up to
// 20 digits of a 64-bit number.
#define LKS_LIMIT_VALUE_SIZE 24
#define LKS_LIMIT_MAX 16

typedef struct {
  char name[LKS_LIMIT_NAME_SIZE];
  char soft[LKS_LIMIT_VALUE_SIZE];
  char hard[LKS_LIMIT_VALUE_SIZE];
  char units[LKS_LIMIT_VALUE_SIZE];
} lks_limit_t;

// Parses the text of a "limits" file: column positions from the heading,
// then at most LKS_LIMIT_MAX rows, every value trimmed and cut to its field.
// The count of rows; -3, -4, -5 when the heading lacks "Soft Limit", "Hard
// Limit" or "Units".
int lks_limits_parse(const char *text, lks_limit_t out[LKS_LIMIT_MAX]);
// Reads <root>/proc/<pid>/limits. The count; -1 when it cannot be read; or
// the parse result.
int get_host_process_limits(lks_limit_t out[LKS_LIMIT_MAX], int64_t pid);

// Handles the collector's request (payload of 62000): reads the limits of
// the process it names (none for a process that does not exist) and queues
// the answer (62001) echoing the request text. 0; -1 when the request
// cannot be decoded; -2 when the answer cannot be built.
int lks_process_limits_request(const uint8_t *body, size_t length);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_PROCESS_H
