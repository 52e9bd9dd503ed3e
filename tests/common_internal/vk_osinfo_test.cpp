#include "vk_osinfo.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <string>

#include "test_process.h"

namespace {

// A cpuinfo-format file with `packages` packages of `per_package` logical
// processors each, in the kernel's layout.
std::string cpuinfo(int packages, int per_package) {
  std::string text;
  int n = 0;
  for (int p = 0; p < packages; p++) {
    for (int c = 0; c < per_package; c++, n++) {
      text += "processor\t: " + std::to_string(n) + "\n";
      text += "vendor_id\t: Example\n";
      text += "physical id\t: " + std::to_string(p) + "\n";
      text += "siblings\t: " + std::to_string(per_package) + "\n";
      text += "core id\t\t: " + std::to_string(c) + "\n\n";
    }
  }
  return text;
}

int count_in(const std::string &text, int logical, int *err) {
  vktest::temp_dir dir;
  std::string path = dir.path + "/cpuinfo";
  vktest::write_file(path, text);
  return get_physical_cpu_count(path.c_str(), logical, err);
}

}  // namespace

TEST(VkOsinfo, HostIdentityFieldsAreCopiedWithinBounds) {
  ASSERT_EQ(init_os_info(), 0);
  struct utsname un;
  ASSERT_EQ(uname(&un), 0);
  char buf[VK_OS_INFO_FIELD_SIZE];
  EXPECT_EQ(get_os_info_hostname(buf, sizeof(buf)), static_cast<int>(strlen(un.nodename)));
  EXPECT_STREQ(buf, un.nodename);
  EXPECT_GT(get_os_info_os_version(buf, sizeof(buf)), 0);
  EXPECT_STREQ(buf, un.release);
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(get_os_info_machine_id(buf, sizeof(buf)), 0);
  EXPECT_STREQ(buf, "");

  // A small buffer gets a terminated prefix and nothing past its end.
  char small[4] = {'a', 'b', 'c', 'd'};
  int n = get_os_info_os_version(small, 3);
  EXPECT_EQ(n, static_cast<int>(strlen(un.release) < 2 ? strlen(un.release) : 2));
  EXPECT_EQ(small[n], '\0');
  EXPECT_EQ(small[3], 'd');
  EXPECT_EQ(get_os_info_hostname(small, 0), -1);
  EXPECT_EQ(get_os_info_hostname(nullptr, 8), -1);
  // A buffer larger than the field is fine too.
  char big[1024];
  EXPECT_GE(get_os_info_hostname(big, sizeof(big)), 0);
  EXPECT_STREQ(big, un.nodename);
}

TEST(VkOsinfo, PhysicalCountFromCraftedFiles) {
  int err = 0;
  EXPECT_EQ(count_in(cpuinfo(2, 8), 16, &err), 2);
  EXPECT_EQ(count_in(cpuinfo(1, 4), 4, &err), 1);
  EXPECT_EQ(count_in(cpuinfo(4, 1), 4, &err), 4);
  EXPECT_EQ(count_in("processor\t: 0\nprocessor\t: 1\n", 2, &err), 0);
  EXPECT_EQ(count_in("", 2, &err), 0);
  // A logical count of 1 answers 1 without reading.
  EXPECT_EQ(get_physical_cpu_count("/nonexistent/cpuinfo", 1, &err), 1);
  err = 0;
  EXPECT_EQ(get_physical_cpu_count("/nonexistent/cpuinfo", 4, &err), -10);
  EXPECT_EQ(err, ENOENT);
  EXPECT_EQ(get_physical_cpu_count(nullptr, 4, &err), -30);
  EXPECT_EQ(get_physical_cpu_count("/proc/cpuinfo", 0, &err), -30);
}

TEST(VkOsinfo, PhysicalCountNeverExceedsTheLogicalCount) {
  int err = 0;
  // More distinct ids than the caller's logical count: reading stops there.
  EXPECT_EQ(count_in(cpuinfo(6, 1), 3, &err), 3);
  EXPECT_EQ(count_in(cpuinfo(300, 1), 2, &err), 2);
}

TEST(VkOsinfo, PhysicalCountSkipsMalformedAndContinuedLines) {
  int err = 0;
  std::string text =
      "physical id\t: x\n"
      "physical id\t:\n"
      "physical id\t: 12junk\n"
      "physical idle\n"
      "physical id : 7\n"
      "physical id\t: 7\n";
  // An over-long line whose continuation piece starts with "physical ": the
  // first piece read is 255 characters.
  text += std::string(255, 'p') + "physical id : 9\n";
  EXPECT_EQ(count_in(text, 8, &err), 1);
}

TEST(VkOsinfo, InitCpuCoreStoresCounts) {
  int err = 0;
  ASSERT_EQ(init_cpu_core(&err), 0);
  EXPECT_EQ(get_os_info_logical_cpu_count(), static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_GE(get_os_info_physical_cpu_count(), 0);
  EXPECT_LE(get_os_info_physical_cpu_count(), get_os_info_logical_cpu_count());
}

TEST(VkOsinfo, AddressListsSeeLoopbackAndAppend) {
  vk_ip_list ips{};
  vk_mac_list macs{};
  int err = 0;
  ASSERT_EQ(get_address_info(&ips, &macs, &err), 0);
  bool has_loopback4 = false;
  uint16_t n = 0;
  for (vk_ip_struct *r = ips.list; r != nullptr; r = r->next, n++) {
    EXPECT_TRUE((r->version == 4 && r->ip_len == 4) || (r->version == 6 && r->ip_len == 16));
    const uint8_t lo[4] = {127, 0, 0, 1};
    if (r->version == 4 && memcmp(r->ip, lo, 4) == 0) has_loopback4 = true;
  }
  EXPECT_EQ(n, ips.count);
  EXPECT_TRUE(has_loopback4);

  // lo has an all-zero hardware address; names are left empty.
  bool has_zero_mac = false;
  n = 0;
  for (vk_mac_struct *r = macs.list; r != nullptr; r = r->next, n++) {
    EXPECT_STREQ(r->name, "");
    const uint8_t zero[6] = {};
    if (memcmp(r->mac, zero, 6) == 0) has_zero_mac = true;
  }
  EXPECT_EQ(n, macs.count);
  EXPECT_TRUE(has_zero_mac);

  // A second call appends behind the existing records.
  uint16_t ip_count = ips.count;
  uint16_t mac_count = macs.count;
  ASSERT_EQ(get_address_info(&ips, nullptr, &err), 0);
  EXPECT_EQ(ips.count, 2 * ip_count);
  EXPECT_EQ(macs.count, mac_count);

  vk_ip_list_clear(&ips);
  vk_mac_list_clear(&macs);
  EXPECT_EQ(ips.count, 0);
  EXPECT_EQ(ips.list, nullptr);
  EXPECT_EQ(macs.list, nullptr);
  vk_ip_list_clear(&ips);
  vk_mac_list_clear(nullptr);
}
