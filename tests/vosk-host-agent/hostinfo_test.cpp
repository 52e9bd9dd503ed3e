#include "hostinfo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common_agent_info.h"
#include "host_test_util.h"
#include "pkt_proto/proto_send.h"
#include "pub_conf.h"
#include "test_process.h"
#include "vk_comm.h"

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

// Builds the agent information inside the namespace (on a thread that
// enters it) and returns the addresses it announces; -1 entries on failure.
std::vector<std::string> announced_addresses(const std::string &ns, int *build_result) {
  std::vector<std::string> out;
  std::thread t([&] {
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      *build_result = -100;
      if (fd >= 0) close(fd);
      return;
    }
    close(fd);
    uint8_t *packet = nullptr;
    size_t length = 0;
    *build_result = build_host_agent_info(&packet, &length);
    if (*build_result == 0) {
      std::vector<uint8_t> ws(32 * 1024 * 1024);
      common_req_agent_info_message_t *m = common_req_agent_info_message_new(ws.data(), ws.size());
      if (m != nullptr && common_req_agent_info_message_decode(m, packet + NIO_HEADER_SIZE,
                                                               length - NIO_HEADER_SIZE) >= 0) {
        for (int i = 0; i < m->ip_infos.length; i++) {
          const auto &ip = m->ip_infos.items_p[i];
          char text[64] = "";
          inet_ntop(ip.ip_version == 4 ? AF_INET : AF_INET6, ip.ip_addr.buf_p, text, sizeof(text));
          out.push_back(text);
        }
      }
    }
    free(packet);
  });
  t.join();
  return out;
}

TEST(AgentInfo, AHostWithThousandsOfAddressesIsAnnouncedWholeAndANewAddressAtTheNextConnection) {
  vktest::temp_dir dir;
  snprintf(g_vk_host_home, sizeof(g_vk_host_home), "%s", dir.path.c_str());
  hosttest::many_address_netns ns(dir.path, 2000, 3000);
  if (!ns.made) GTEST_SKIP() << "network namespaces refused here: " << ns.why;
  ASSERT_EQ(ns.why, "");
  int ret = 1;
  std::vector<std::string> first = announced_addresses(ns.name, &ret);
  ASSERT_EQ(ret, 0);
  // 127.0.0.1, ::1 and the 5,000 added (far over the first 64 KiB).
  EXPECT_EQ(first.size(), 5002u);
  EXPECT_NE(std::find(first.begin(), first.end(), "fd17::3000"), first.end());
  ASSERT_EQ(system(("ip -n " + ns.name + " address add 10.78.0.1/32 dev lo").c_str()), 0);
  std::vector<std::string> second = announced_addresses(ns.name, &ret);
  ASSERT_EQ(ret, 0);
  EXPECT_EQ(second.size(), 5003u);
  EXPECT_NE(std::find(second.begin(), second.end(), "10.78.0.1"), second.end());
}

}  // namespace
