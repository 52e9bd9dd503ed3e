// Process environment of the network agent: home directory, program name,
// run flag, pid file, and the duplicate-execution check. Main thread only,
// except g_is_run_process which other threads may read.
#ifndef QDR_AGENT_ENVIRONMENT_H
#define QDR_AGENT_ENVIRONMENT_H

#include <stddef.h>
#include <sys/types.h>

#include <atomic>

#define QDR_HOME_SIZE 4096
#define QDR_APP_NAME_SIZE 128
#define QDR_PROCESS_NAME "qdr-agent"

extern char g_qdr_home[QDR_HOME_SIZE];
extern char g_real_app_name[QDR_APP_NAME_SIZE];
extern std::atomic<int> g_is_run_process;
extern char g_pid_filename[QDR_HOME_SIZE];
// Why the last check_double_execution could not use the pid file: an errno
// value, or 0 when the file was usable (a result of 1 then means that
// another instance runs).
extern int g_pid_file_error;
extern int g_is_output_help;
extern int g_is_output_version;

// Sets g_is_run_process, takes the home directory from VOSK_QDR_HOME (quotes
// stripped) when none is set yet, stores the base name of `real_app_name`
// (cut to QDR_APP_NAME_SIZE - 1 bytes) and prints it. Returns 0.
int init_environment(const char *real_app_name);

// Claims the pid file "<home>/data/<process_name>.pid". Returns 0 when this
// process now owns it (its pid written as a 32-byte NUL-padded field), 1 when
// another instance runs or the file cannot be used (g_pid_file_error then
// tells which), -1 when the check itself failed.
int check_double_execution(const char *basename, const char *process_name);

// Copies up to `mac_addr_size` / 6 hardware addresses of the host's
// interfaces, 6 bytes each, into `mac_addr`. Returns the number copied, or
// -1 when the interfaces cannot be listed or an address cannot be read.
int get_if_hardware_addr(unsigned char *mac_addr, size_t mac_addr_size);

#endif  // QDR_AGENT_ENVIRONMENT_H
