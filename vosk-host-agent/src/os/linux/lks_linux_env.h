// What every host collector shares: the directory the kernel files are read
// below, the table of outside services a collector calls (the send queue,
// the host id, the configuration, statvfs), whole-file reading, the growing
// message buffers and the identity block of every report.
//
// The root directory defaults to "/"; tests point it at fixture trees that
// hold copies of /proc, /sys and /etc. The services default to "absent": a
// report built without a sink is dropped after it was encoded, an unknown
// host id is empty, configuration values read 0. The agent installs the
// real services (lks_linux.cpp) before its collection threads start; tests
// install their own. Both settings are process-wide and must be changed only
// while no collector runs.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_ENV_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_ENV_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "host_common.h"

#define LKS_PATH_SIZE 4096
// Packet status of every report.
#define LKS_STATUS_REPORT 1
// The fixed value of field 3 of the identity block.
#define LKS_IDENTITY_OS_TYPE 4
// Room of the host id (36 characters and a terminator, rounded up).
#define LKS_HOST_ID_SIZE 40
// Starting size of a report's workspace and encoding buffer.
#define LKS_MSG_START_SIZE 65536
// A report never grows its buffers beyond this.
#define LKS_MSG_MAX_SIZE (256u * 1024u * 1024u)

// Packet codes of the reports.
enum {
  LKS_CODE_SYSTEM_INFO = 60009,
  LKS_CODE_SWAP = 60012,
  LKS_CODE_DISK = 60013,
  LKS_CODE_NET = 60015,
  LKS_CODE_PROCESS = 60016,
  LKS_CODE_PACKAGE = 60017,
  LKS_CODE_HOST_STAT = 60018,
  LKS_CODE_PROCESS_LIMITS = 62001,
};

typedef struct {
  // Frames and queues one report body (the body stays the caller's). 0 when
  // handed over, negative otherwise. Null: the report is dropped.
  int (*send)(uint16_t code, uint8_t status, const void *body, size_t length);
  // Copies the host id into buffer; its length or -1. Null: empty id.
  int (*host_id)(char *buffer, size_t size);
  // Non-zero when mounts of type "nfs..." are scanned too. Null: 0.
  int (*collect_nfs)(void);
  // statvfs of a mount directory (the live one is ::statvfs). Null: ::statvfs.
  int (*statvfs)(const char *path, struct statvfs *out);
  // Path of file `name` in the agent's data directory (the package list);
  // 0, or -1 when it does not fit. Null: no data directory.
  int (*data_path)(char *path, size_t size, const char *name);
} lks_ops_t;

// Installs `ops` (copied); null restores the defaults.
void lks_set_ops(const lks_ops_t *ops);
const lks_ops_t *lks_get_ops(void);

// Sets the directory kernel files are read below ("/" when null or empty).
// 0, or -1 when it is too long (the root is then unchanged).
int lks_set_root(const char *root);
const char *lks_get_root(void);

// Formats a kernel file's path ("/proc/stat", with printf arguments) below
// the root into `path`. 0, or -1 when it does not fit.
int lks_path(char *path, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// fopen of a path below the root (format as lks_path). Null on failure.
FILE *lks_fopen(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Reads at most size - 1 bytes of a file below the root into `buffer` and
// terminates it. The count read, or -1 when the file cannot be opened or
// read (buffer then empty).
long lks_read_file(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// As lks_read_file, and *st (if given) gets the open file's status (the
// owner of a /proc file is the process's owner).
long lks_read_file_stat(char *buffer, size_t size, struct stat *st, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Opens a directory below the root for lks_read_at (O_PATH: no read
// access is checked). The descriptor, or -1. The caller closes it.
int lks_open_dir(const char *format, ...) __attribute__((format(printf, 1, 2)));
// As lks_read_file_stat for file `name` in the directory `dir_fd`.
long lks_read_at(int dir_fd, const char *name, char *buffer, size_t size, struct stat *st);

// A whole file in a heap buffer that grows as needed; *text is
// NUL-terminated. The length, or -1 (nothing allocated) when the file cannot
// be read. The caller frees *text.
long lks_read_file_all(char **text, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Number of lines of `text`: its newlines plus one (an upper bound on the
// records a line-per-record file can hold).
int lks_count_lines(const char *text);

// Parses an unsigned decimal number at the start of `s` (after blanks);
// *end (if given) gets the first character after it. 0 and *end == s when
// there is no number; saturates at UINT64_MAX.
uint64_t lks_parse_u64(const char *s, const char **end);
int64_t lks_parse_i64(const char *s, const char **end);

// Workspace and encoding buffer of one kind of report, kept between cycles
// by the thread that builds it and grown when a report does not fit.
typedef struct {
  uint8_t *work;
  size_t work_size;
  uint8_t *encoded;
  size_t encoded_size;
} lks_msgbuf_t;

// Builds a message in `work` and encodes it into `encoded`: the encoded
// length, LKS_BUILD_FULL when the workspace or the buffer is too small, or
// another negative code that ends the attempt.
#define LKS_BUILD_FULL (-1000)
typedef int (*lks_build_fn)(void *arg, void *work, size_t work_size, uint8_t *encoded,
                            size_t encoded_size);

// Makes the buffers at least `work_size` / `encoded_size` bytes, then calls
// `build` and, while it answers LKS_BUILD_FULL, doubles both and calls it
// again, up to LKS_MSG_MAX_SIZE. The encoded length (body in
// buf->encoded); -2 when memory is exhausted; LKS_BUILD_FULL when even the
// largest buffers do not hold it; or build's own negative code.
int lks_msgbuf_build(lks_msgbuf_t *buf, size_t work_size, size_t encoded_size, lks_build_fn build,
                     void *arg);
// Frees both buffers. Safe twice.
void lks_msgbuf_clear(lks_msgbuf_t *buf);

// Maps the result of a generated T_encode to a build result: the length,
// LKS_BUILD_FULL when the buffer was too small, or the negative code.
int lks_encode_result(int encoded);

// Fills the identity block: host id (copied into `host_id`, which must live
// until the message is encoded), now in milliseconds, the constant 4.
void lks_identity_fill(host_message_common_t *identity, char host_id[LKS_HOST_ID_SIZE]);

// Hands an encoded report to the installed sink. 0 when handed over, -1
// when there is no sink or the sink refused it.
int lks_send(uint16_t code, const void *body, size_t length);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_ENV_H
