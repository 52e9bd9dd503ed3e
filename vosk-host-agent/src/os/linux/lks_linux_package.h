// Installed packages of the host: the system's rpm tool (or, where rpm is
// absent, dpkg-query, converted to the same line format) writes one line
// per package into "rpm_package_list" of the agent's data directory at most
// once per calendar day; every collection reads that file and queues its
// records as reports (60017) of at most 100 packages.
//
// Runs on THR_PACKAGE_MANAGER and, after each handshake, on THR_DGCONN;
// REQUIRES: the caller holds the package lock, so two runs never share the
// file at the same time. Scratch memory is local to each run.
#ifndef VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_PACKAGE_H
#define VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_PACKAGE_H

#include <stddef.h>
#include <stdint.h>

#define LKS_PKG_FILE "rpm_package_list"
#define LKS_PKG_BATCH 100
#define LKS_PKG_NAME_SIZE 129
#define LKS_PKG_VERSION_SIZE 33
#define LKS_PKG_RELEASE_SIZE 65
#define LKS_PKG_LICENSE_SIZE 257
// The summary keeps at most 99 characters.
#define LKS_PKG_SUMMARY_SIZE 100

typedef struct {
  char name[LKS_PKG_NAME_SIZE];
  char version[LKS_PKG_VERSION_SIZE];
  char release[LKS_PKG_RELEASE_SIZE];
  int64_t size;
  char license[LKS_PKG_LICENSE_SIZE];
  int64_t install_time;  // milliseconds since the epoch
  char summary[LKS_PKG_SUMMARY_SIZE];
  char extra[1];  // always empty
} lks_package_t;

// Splits one query line "name|version|release|size|license|time|summary"
// into out (zeroed first). Missing fields stay empty or 0; texts longer
// than their fields are cut; the summary is cut to 99 characters and loses
// its newline; the install time (seconds) is stored in milliseconds.
void lks_package_parse_line(const char *line, lks_package_t *out);

// Reads one dpkg-query line "status|package|version|installed KiB|summary"
// (the format of lks_package_dpkg_format) into out (zeroed first): the
// version is split at its last '-' into version and release (Debian
// revision), the size given in bytes, no licence, no install time. False,
// with out zeroed, for a package that is not installed (only its
// configuration left, or half-installed).
bool lks_package_parse_dpkg_line(const char *line, lks_package_t *out);

// The package tools, looked up on PATH in this order.
enum { LKS_PKG_TOOL_NONE = 0, LKS_PKG_TOOL_RPM = 1, LKS_PKG_TOOL_DPKG = 2 };
int lks_package_tool(void);

// Builds and queues one batch. 0; -1 when it cannot be built; -2 when not
// handed over.
int send_host_installed_package(const lks_package_t *records, int count, uint64_t collect_msec);

// Runs the query when the package file is missing or was written on an
// earlier local calendar day than today (clock seam), then sends the file's
// records in batches of LKS_PKG_BATCH, the last one possibly empty. With
// dpkg-query the install time is the modification time of the package's
// file list below /var/lib/dpkg/info (0 when there is none). A host with
// neither tool gets an empty file (logged once a query). 0; -1 when the
// query cannot be started; -2 when the file cannot be opened or written (or
// there is no data directory).
int get_host_installed_package(void);

// The shell command that writes the package file at `path` (quoted for
// the shell). 0, or -1 when it does not fit.
int lks_package_command(char *cmd, size_t size, const char *path);

#endif  // VOSK_HOST_AGENT_OS_LINUX_LKS_LINUX_PACKAGE_H
