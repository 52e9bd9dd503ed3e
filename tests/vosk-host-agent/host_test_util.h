// Helpers of the host agent tests: the stand-in collector tools/dg-sim as
// a child process, the lines of its --out file, and a network namespace
// with thousands of addresses.
#ifndef TESTS_VOSK_HOST_AGENT_HOST_TEST_UTIL_H
#define TESTS_VOSK_HOST_AGENT_HOST_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

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
  // `prefix` runs it through another program (e.g. "ip netns exec NAME",
  // which keeps the pid).
  bool start(const std::string &dir, std::vector<std::string> options, std::string *why,
             const std::vector<std::string> &prefix = {}) {
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
    argv.insert(argv.begin(), prefix.begin(), prefix.end());
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

// A network namespace of its own with `v4` IPv4 and `v6` IPv6 addresses
// on its loopback; removed by the destructor.
struct many_address_netns {
  std::string name = "h17ai" + std::to_string(getpid());
  bool made = false;
  std::string why;
  many_address_netns(const std::string &dir, int v4, int v6) {
    if (system(("ip netns add " + name + " 2>" + dir + "/ns.err").c_str()) != 0) {
      why = vktest::read_file(dir + "/ns.err");
      return;
    }
    made = true;
    std::string batch = "link set lo up\n";
    for (int i = 0; i < v4; i++)
      batch += "address add 10.77." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) +
               "/32 dev lo\n";
    for (int i = 0; i < v6; i++)
      batch += "address add fd17::" + std::to_string(i + 1) + "/128 dev lo\n";
    vktest::write_file(dir + "/ns.batch", batch);
    if (system(("ip -n " + name + " -b " + dir + "/ns.batch 2>" + dir + "/ns.err").c_str()) != 0)
      why = vktest::read_file(dir + "/ns.err");
  }
  ~many_address_netns() {
    if (made) system(("ip netns del " + name).c_str());
  }
};

}  // namespace hosttest

#endif  // TESTS_VOSK_HOST_AGENT_HOST_TEST_UTIL_H
