// Replays the seed corpus through the fuzz entry points with the normal
// compiler: every seed of every target goes through every entry (the
// entries must survive any input, so the other targets' seeds are useful
// inputs too), and each target must have seeds of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "test_process.h"

namespace {

std::string corpus_dir(const char *name) {
  return std::string(VK_SOURCE_DIR) + "/tests/fuzz/corpus/" + name;
}

std::vector<std::string> corpus_files(const char *name) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(corpus_dir(name), error)) {
    if (entry.is_regular_file()) {
      files.push_back(entry.path().string());
    }
  }
  return files;
}

TEST(FuzzCorpus, EveryTargetHasSeeds) {
  ASSERT_GT(vk_fuzz_target_count, 0);
  for (int i = 0; i < vk_fuzz_target_count; i++) {
    EXPECT_FALSE(corpus_files(vk_fuzz_targets[i].name).empty()) << vk_fuzz_targets[i].name;
  }
}

TEST(FuzzCorpus, EverySeedPassesEveryEntryPoint) {
  int runs = 0;
  for (int source = 0; source < vk_fuzz_target_count; source++) {
    for (const std::string &path : corpus_files(vk_fuzz_targets[source].name)) {
      std::string data = vktest::read_file(path);
      for (int target = 0; target < vk_fuzz_target_count; target++) {
        EXPECT_EQ(vk_fuzz_targets[target].entry(reinterpret_cast<const uint8_t *>(data.data()),
                                                data.size()),
                  0)
            << vk_fuzz_targets[target].name << " on " << path;
        runs++;
      }
    }
  }
  EXPECT_GT(runs, 0);
}

}  // namespace
