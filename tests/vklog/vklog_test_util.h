// Helpers shared by the vklog tests: a fixture that resets the library's
// process-wide state around each test, and small file helpers.
#ifndef TESTS_VKLOG_VKLOG_TEST_UTIL_H
#define TESTS_VKLOG_VKLOG_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_process.h"
#include "vklog.h"
#include "vklog_internal.h"

namespace vklogtest {

// Every test starts and ends with no categories registered.
class VklogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    vklog_test_reset();
    ASSERT_FALSE(dir.path.empty());
  }
  void TearDown() override { vklog_test_reset(); }

  std::string path(const std::string &name) const { return dir.path + "/" + name; }

  // Writes `text` as the configuration file and loads it; the load's code.
  int load(const std::string &text, int *err_no = nullptr) {
    int e = 0;
    conf = path("log.conf");
    EXPECT_TRUE(vktest::write_file(conf, text));
    int rc = vklog_initialize_with_config_file(conf.c_str(), &e);
    if (err_no != nullptr) *err_no = e;
    return rc;
  }

  vktest::temp_dir dir;
  std::string conf;
};

inline long long file_size(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// True when `text` has the shape of `pattern`: each '#' stands for one
// decimal digit, every other character for itself.
inline bool has_shape(const std::string &text, const std::string &pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); i++) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == '#' ? !digit : text[i] != pattern[i]) return false;
  }
  return true;
}

// Lines of `text` (without their newlines).
inline std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> out;
  size_t b = 0;
  while (b < text.size()) {
    size_t e = text.find('\n', b);
    if (e == std::string::npos) e = text.size();
    out.push_back(text.substr(b, e - b));
    b = e + 1;
  }
  return out;
}

}  // namespace vklogtest

#endif  // TESTS_VKLOG_VKLOG_TEST_UTIL_H
