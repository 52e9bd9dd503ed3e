// Process-wide state of the host agent: the stop word, the agent's home,
// its start time, the user-name lock and the per-thread breadcrumbs that a
// crash report prints.
//
// Written by the main thread during start-up (before any other thread
// starts) except: g_stop_the_world (any thread, and the signal handlers,
// may set it; every loop reads it at least every 100 ms) and each
// breadcrumb slot (written only by its own thread, read by the crash
// handler).
#ifndef VOSK_HOST_AGENT_PUB_CONF_H
#define VOSK_HOST_AGENT_PUB_CONF_H

#include <signal.h>
#include <stdint.h>

#include <atomic>

#include "vk_lock.h"

#define HOST_PROCESS_NAME "vosk-host-agent"
#define HOST_HOME_SIZE 256
#define HOST_PATH_SIZE 512
#define HOST_PID_FILE "host_agent_pid"
#define HOST_CONFIG_FILE "config"
#define HOST_ID_FILE "host_id"
#define HOST_THREAD_STACK_SIZE 10485760

// Breadcrumb slots, one per thread.
enum {
  HOST_SLOT_MAIN = 0,
  HOST_SLOT_DGCONN = 1,
  HOST_SLOT_DGCONN_SENDER = 2,
  HOST_SLOT_HOST_STAT = 3,
  HOST_SLOT_PROCESS_LIST = 4,
  HOST_SLOT_PACKAGE_MANAGER = 5,
  HOST_SLOT_COUNT = 6,
};

// Where a thread last was: source file and line. Lock-free words so that a
// crash handler may read them.
typedef struct {
  std::atomic<const char *> file;
  std::atomic<int> line;
} host_breadcrumb_t;

// 0 while running; 1 makes every loop of the agent end. sig_atomic_t-sized
// and lock-free, so the SIGINT/SIGTERM handler may set it.
extern std::atomic<int> g_stop_the_world;
// VOSK_HOME (quotes trimmed) followed by "/host".
extern char g_vk_host_home[HOST_HOME_SIZE];
// Milliseconds since the epoch when main began.
extern uint64_t g_agent_boot_time;
// Serialises user-name look-ups of the process collector.
extern vk_lock_t g_username_lock;
extern host_breadcrumb_t g_signal_debug_code[HOST_SLOT_COUNT];

static_assert(std::atomic<int>::is_always_lock_free, "the stop word is set from a signal handler");

// Records that the calling thread (slot) is at file:line.
inline void host_mark(int slot, const char *file, int line) {
  g_signal_debug_code[slot].file.store(file, std::memory_order_relaxed);
  g_signal_debug_code[slot].line.store(line, std::memory_order_relaxed);
}

// Writes "<home>/data/<name>" into `path` (size bytes). 0, or -1 when it
// does not fit (path then empty).
int host_data_path(char *path, size_t size, const char *name);

#endif  // VOSK_HOST_AGENT_PUB_CONF_H
