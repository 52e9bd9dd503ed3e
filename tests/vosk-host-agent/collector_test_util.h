// Helpers of the host collector tests: the recorded fixture trees, a copy
// of one that a test may edit, a sink that keeps every report the
// collectors queue, and decoding of a report with the generated code.
#ifndef TESTS_VOSK_HOST_AGENT_COLLECTOR_TEST_UTIL_H
#define TESTS_VOSK_HOST_AGENT_COLLECTOR_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

#include "os/linux/lks_linux_env.h"
#include "test_process.h"

namespace coltest {

inline std::string fixture(const std::string &name) {
  return std::string(VK_SOURCE_DIR) + "/tests/vosk-host-agent/fixtures/" + name;
}

struct report {
  uint16_t code;
  uint8_t status;
  std::vector<uint8_t> body;
};

inline std::vector<report> &reports() {
  static std::vector<report> r;
  return r;
}

inline int capture_send(uint16_t code, uint8_t status, const void *body, size_t length) {
  const uint8_t *b = static_cast<const uint8_t *>(body);
  reports().push_back({code, status, std::vector<uint8_t>(b, b + length)});
  return 0;
}

inline int fixed_host_id(char *buffer, size_t size) {
  return snprintf(buffer, size, "%s", "0f1e2d3c-host");
}

// Reports of one code, oldest first.
inline std::vector<report> of_code(uint16_t code) {
  std::vector<report> out;
  for (const report &r : reports()) {
    if (r.code == code) out.push_back(r);
  }
  return out;
}

// Installs the capturing sink (and `extra` members) and the root.
inline void install(const std::string &root, lks_ops_t ops = {}) {
  ops.send = capture_send;
  ops.host_id = fixed_host_id;
  lks_set_ops(&ops);
  ASSERT_EQ(0, lks_set_root(root.c_str()));
  reports().clear();
}

inline void uninstall() {
  lks_set_ops(nullptr);
  lks_set_root(nullptr);
  reports().clear();
}

inline size_t lines_in(const std::string &path) {
  std::string text = vktest::read_file(path);
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

// A writable copy of a fixture tree in a temporary directory.
struct tree_copy {
  vktest::temp_dir dir;
  std::string root;
  explicit tree_copy(const std::string &name) {
    root = dir.path + "/root";
    std::filesystem::copy(fixture(name), root, std::filesystem::copy_options::recursive);
  }
  void write(const std::string &relative, const std::string &text) {
    std::filesystem::create_directories(std::filesystem::path(root + relative).parent_path());
    ASSERT_TRUE(vktest::write_file(root + relative, text)) << relative;
  }
  void remove(const std::string &relative) { std::filesystem::remove_all(root + relative); }
};

// Decodes a report body into a message made in `work` (kept by the caller).
template <typename T>
T *decode(const report &r, std::vector<uint8_t> &work, T *(*make)(void *, size_t),
          int (*dec)(T *, const void *, size_t)) {
  work.assign(r.body.size() * 8 + 65536, 0);
  T *m = make(work.data(), work.size());
  if (m == nullptr) return nullptr;
  if (dec(m, r.body.data(), r.body.size()) < 0) return nullptr;
  return m;
}

}  // namespace coltest

#endif  // TESTS_VOSK_HOST_AGENT_COLLECTOR_TEST_UTIL_H
