// Helpers of the host agent tests: the stand-in collector tools/dg-sim as
// a child process, and the lines of its --out file.
#ifndef TESTS_VOSK_HOST_AGENT_HOST_TEST_UTIL_H
#define TESTS_VOSK_HOST_AGENT_HOST_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "test_process.h"

namespace hosttest {

inline std::vector<std::string> lines_of(const std::string &path) {
  return vktest::read_lines(path);
}

inline int count_with(const std::vector<std::string> &lines, const std::string &a,
                      const std::string &b = "") {
  int n = 0;
  for (const std::string &l : lines) {
    if (l.find(a) != std::string::npos && (b.empty() || l.find(b) != std::string::npos)) n++;
  }
  return n;
}

// dg-sim on a free loopback port, writing its JSON lines to `out`.
struct dg_sim {
  vktest::child child;
  uint16_t port = 0;
  std::string out;

  // Returns false (with the reason in *why) when it does not come up.
  bool start(const std::string &dir, std::vector<std::string> options, std::string *why) {
    std::string port_file = dir + "/sim.port";
    out = dir + "/sim.jsonl";
    std::vector<std::string> argv = {vktest::built_program("tools/dg-sim/dg-sim"),
                                     "--port",
                                     "0",
                                     "--port-file",
                                     port_file,
                                     "--out",
                                     out,
                                     "--quiet",
                                     "--show-sent"};
    argv.insert(argv.end(), options.begin(), options.end());
    child = vktest::start_program(argv, dir);
    if (child.pid <= 0 ||
        !vktest::wait_until([&] { return !vktest::read_file(port_file).empty(); }, 15000)) {
      *why = vktest::read_file(child.err_path);
      return false;
    }
    port = static_cast<uint16_t>(strtoul(vktest::read_file(port_file).c_str(), nullptr, 10));
    return port > 0;
  }
  int count(const std::string &a, const std::string &b = "") {
    return count_with(lines_of(out), a, b);
  }
  ~dg_sim() {
    if (child.pid > 0) vktest::stop_program(child);
  }
};

}  // namespace hosttest

#endif  // TESTS_VOSK_HOST_AGENT_HOST_TEST_UTIL_H
