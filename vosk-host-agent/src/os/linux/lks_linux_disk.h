// Block devices and file systems of the host: I/O rates from the "stat"
// files below /sys/class/block between two metric cycles, the mounted
// file systems of /etc/mtab with their sizes, and the disk report (60013).
//
// The previous device sample and the report buffers belong to the metric
// thread (THR_HOST_STAT). The parsing and rate functions are pure.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_DISK_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_DISK_H

#include <stdint.h>

#define LKS_DISK_NAME_SIZE 256
#define LKS_DISK_PATH_SIZE 292
#define LKS_DISK_FS_SIZE 128
#define LKS_MOUNT_DIR_SIZE 128
#define LKS_DISK_COUNTERS 17

// Counter indexes in the kernel's order.
enum {
  LKS_DISK_READ_IOS = 0,
  LKS_DISK_READ_MERGES,
  LKS_DISK_READ_SECTORS,
  LKS_DISK_READ_TICKS,
  LKS_DISK_WRITE_IOS,
  LKS_DISK_WRITE_MERGES,
  LKS_DISK_WRITE_SECTORS,
  LKS_DISK_WRITE_TICKS,
  LKS_DISK_IN_FLIGHT,
  LKS_DISK_IO_TICKS,
  LKS_DISK_TIME_IN_QUEUE,
};

typedef struct {
  char name[LKS_DISK_NAME_SIZE];
  int32_t type;  // 1 whole disk, 0 partition, device-mapper or other
  uint64_t counters[LKS_DISK_COUNTERS];
} lks_disk_sample_t;

typedef struct {
  int count;
  lks_disk_sample_t *devices;  // owned, sorted by name (strcmp)
} lks_disk_samples_t;

typedef struct {
  char name[LKS_DISK_NAME_SIZE];
  double reads, writes, read_bytes, write_bytes, queue_length, util;
  int32_t type;
  char device_path[LKS_DISK_PATH_SIZE];
  char *mount_names;  // owned, ", "-joined directories; null when none
  char file_system[LKS_DISK_FS_SIZE];
  uint64_t used, total;
} host_disk_info_t;

typedef struct {
  int count;
  host_disk_info_t *disks;  // owned
} host_disk_stat_info_t;

// Parses a block device "stat" line into counters (zeroed first): more
// than 10 numbers give the first 11, more than 14 the discard counters too,
// more than 16 the flush counters; exactly 4 (old partition format) are
// read_ios, read_sectors, write_ios, write_sectors. Returns how many
// numbers were read (garbled text ends the count).
int lks_disk_parse_stat(const char *text, uint64_t counters[LKS_DISK_COUNTERS]);

// Lists <root>/sys/class/block and reads each device's counters and type.
// A device whose stat file cannot be read (it went away since the listing)
// is left out. 0; -1 when the directory cannot be listed; -2 when memory is
// exhausted (out then empty).
int get_disk_stat(lks_disk_samples_t *out);
void lks_disk_samples_clear(lks_disk_samples_t *samples);

// Rates of every device present in both samples, in name order, over
// `interval_sec` (at least 1). A counter that went back gives 0 for its
// rate. `out` gets at most cur->count records (the caller allocates them
// zeroed); returns their count. Device paths: "/dev/<name>", or for "dm-*"
// "/dev/mapper/<first line of <root>/sys/block/<name>/dm/name>" (empty
// when unreadable).
int calc_disk_info(const lks_disk_samples_t *prev, const lks_disk_samples_t *cur, int interval_sec,
                   host_disk_info_t *out);

// One metric cycle of disks: mounts, device sample, rates against the
// previous sample, file systems attached by device path. *usage gets used /
// total × 100 of the attached file systems when there is any (left as it
// was otherwise). 0; -1 when the report cannot be allocated (out empty).
// Metric thread.
int get_host_disk_stat(host_disk_stat_info_t *out, int interval_sec, double *usage);
void host_disk_stat_clear(host_disk_stat_info_t *stat);

// Builds and queues the report, then frees it. 0; -1 when it cannot be
// built; -2 when not handed over.
int send_host_disk_stat(host_disk_stat_info_t *stat);

// Forgets the previous sample and frees the report buffers.
void lks_disk_reset(void);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_DISK_H
