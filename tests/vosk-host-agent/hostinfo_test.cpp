#include "hostinfo.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "pub_conf.h"
#include "test_process.h"

namespace {

TEST(HostId, TheFileGivesAtMostThirtySixCharactersOfItsFirstLine) {
  vktest::temp_dir dir;
  snprintf(g_vk_host_home, sizeof(g_vk_host_home), "%s", dir.path.c_str());
  mkdir((dir.path + "/data").c_str(), 0755);
  std::string path = dir.path + "/data/host_id";
  struct {
    std::string file;
    std::string id;
  } cases[] = {
      {"", ""},
      {"abc\nsecond line\n", "abc"},
      {"  padded \r\n", "padded"},
      {std::string(50, 'x') + "\n", std::string(36, 'x')},
      {"0123456789012345678901234567890123456789ZZZ", "012345678901234567890123456789012345"},
  };
  char id[HOST_ID_LEN + 4];
  EXPECT_EQ(get_host_agent_id(id, sizeof(id)), 0);  // no file
  for (const auto &c : cases) {
    ASSERT_TRUE(vktest::write_file(path, c.file));
    EXPECT_EQ(get_host_agent_id(id, sizeof(id)), static_cast<int>(c.id.size())) << c.file;
    EXPECT_EQ(std::string(id), c.id) << c.file;
  }
  EXPECT_EQ(get_host_agent_id(id, HOST_ID_LEN), -1);
  ASSERT_EQ(store_host_agent_id("new-id"), 0);
  EXPECT_EQ(vktest::read_file(path), "new-id\n");
  EXPECT_FALSE(vktest::file_exists(path + ".tmp"));
  host_id_set(std::string(40, 'y').c_str());
  EXPECT_EQ(host_id_get(id, sizeof(id)), HOST_ID_LEN);
  snprintf(g_vk_host_home, sizeof(g_vk_host_home), "%s/none", dir.path.c_str());
  EXPECT_EQ(store_host_agent_id("x"), -4);
}

}  // namespace
