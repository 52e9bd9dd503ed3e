// Test helpers: temporary directories, child processes with captured output
// and bounded waits, and free loopback ports.
//
// Every wait here is bounded; a child that outlives its test is killed by
// its process id.
#ifndef TESTS_SUPPORT_TEST_PROCESS_H
#define TESTS_SUPPORT_TEST_PROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace vktest {

// A directory under /tmp removed with everything in it by the destructor.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
};

// Result of a finished child. `status` is the exit status, or 128 + signal.
struct run_result {
  int status = -1;
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with `env` added to (or, for "NAME" without '=',
// removed from) this process's environment, in directory `cwd` when not
// empty, and waits at most `timeout_ms`; a child still running then is killed.
run_result run_program(const std::vector<std::string> &argv,
                       const std::vector<std::string> &env = {}, const std::string &cwd = "",
                       int timeout_ms = 20000);

// A child left running; its output goes to the files out_path / err_path.
struct child {
  pid_t pid = -1;
  std::string out_path;
  std::string err_path;
};

// Starts a child as run_program does, with its outputs sent to files in
// `log_dir`. Returns a child with pid -1 when it cannot be started.
child start_program(const std::vector<std::string> &argv, const std::string &log_dir,
                    const std::vector<std::string> &env = {}, const std::string &cwd = "");

// Waits up to `timeout_ms` for the child to end; its exit status, 128 +
// signal, or -1 when it is still running.
int wait_program(child &c, int timeout_ms);

// Sends SIGTERM, then SIGKILL after `grace_ms`, and reaps the child.
void stop_program(child &c, int grace_ms = 2000);

// Polls `pred` every `step_ms` until it holds or `timeout_ms` passed.
bool wait_until(const std::function<bool()> &pred, int timeout_ms, int step_ms = 20);

std::string read_file(const std::string &path);

// True when this process may open a raw ICMP socket (root or CAP_NET_RAW).
bool raw_icmp_allowed();
// The complete lines (ended by a newline; a line still being written is
// left out) of a file that contain `needle` (every line for "").
std::vector<std::string> read_lines(const std::string &path, const std::string &needle = "");
bool write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);

// A port on 127.0.0.1 that was free a moment ago (bound to port 0 and
// released). `type` is SOCK_STREAM or SOCK_DGRAM.
int free_port(int type);

// Path of a program built in this build tree, e.g. "qdr-agent/qdr-agent".
std::string built_program(const std::string &relative);

}  // namespace vktest

#endif  // TESTS_SUPPORT_TEST_PROCESS_H
