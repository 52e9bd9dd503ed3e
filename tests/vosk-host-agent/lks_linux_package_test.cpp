// Installed packages through a fake `rpm` first on PATH: batches of 100,
// the query run at most once per calendar day, a host without the tool,
// and a data directory whose path needs quoting in the shell.
#include "os/linux/lks_linux_package.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <set>
#include <sstream>
#include <string>

#include "collector_test_util.h"
#include "host_system_info.h"
#include "test_clock.h"
#include "vk_util.h"

namespace {

std::string &data_dir() {
  static std::string d;
  return d;
}

int test_data_path(char *path, size_t size, const char *name) {
  int n = snprintf(path, size, "%s/%s", data_dir().c_str(), name);
  return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

class LksPackage : public ::testing::Test {
 protected:
  vktest::temp_dir tmp;
  std::string bin;
  std::string old_path;

  void SetUp() override {
    old_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
    data_dir() = tmp.path + "/home with blank/it's data";
    ASSERT_EQ(0, system(("mkdir -p \"" + data_dir() + "\"").c_str()));
    bin = tmp.path + "/bin";
    ASSERT_EQ(0, mkdir(bin.c_str(), 0755));
    lks_ops_t ops = {};
    ops.data_path = test_data_path;
    coltest::install("/", ops);
    test_clock_install(vk_get_time_msec());
  }
  void TearDown() override {
    setenv("PATH", old_path.c_str(), 1);
    unsetenv("FAKE_RPM_COUNT");
    unsetenv("FAKE_RPM_RUNS");
    test_clock_uninstall();
    coltest::uninstall();
  }
  // A fake rpm printing `count` packages in the query format and counting
  // its runs; PATH then holds only its directory and the shell's tools.
  void fake_rpm(int count) {
    std::string script =
        "#!/bin/sh\n"
        "echo run >> \"$FAKE_RPM_RUNS\"\n"
        "i=0\n"
        "while [ $i -lt $FAKE_RPM_COUNT ]; do\n"
        "  echo \"pkg$i|1.$i|3.el9|$((i * 1000))|GPLv2|1700000000|Package number $i\"\n"
        "  i=$((i + 1))\n"
        "done\n";
    ASSERT_TRUE(vktest::write_file(bin + "/rpm", script));
    ASSERT_EQ(0, chmod((bin + "/rpm").c_str(), 0755));
    setenv("FAKE_RPM_COUNT", std::to_string(count).c_str(), 1);
    setenv("FAKE_RPM_RUNS", (tmp.path + "/runs").c_str(), 1);
    setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);
  }
  int runs() { return static_cast<int>(coltest::lines_in(tmp.path + "/runs")); }

  // Sizes of the batches sent, and checks every record of them.
  std::vector<int> batches() {
    std::vector<int> sizes;
    int next = 0;
    uint64_t time = 0;
    for (const coltest::report &r : coltest::of_code(60017)) {
      std::vector<uint8_t> w;
      host_installed_pkg_message_t *m =
          coltest::decode(r, w, host_installed_pkg_message_new, host_installed_pkg_message_decode);
      EXPECT_NE(nullptr, m);
      if (m == nullptr) break;
      if (time == 0) time = m->identity_p->time;
      EXPECT_EQ(time, m->identity_p->time);  // one collect time for all batches
      for (int i = 0; i < m->host_installed_pkgs.length; i++, next++) {
        const host_installed_pkg_t &p = m->host_installed_pkgs.items_p[i];
        EXPECT_EQ("pkg" + std::to_string(next), p.name_p);
        EXPECT_EQ("1." + std::to_string(next), p.version_p);
        EXPECT_EQ(next * 1000, p.size);
        EXPECT_EQ(1700000000000, p.install_time);
        EXPECT_EQ("Package number " + std::to_string(next), p.summary_p);
        EXPECT_STREQ("", p.extra_p);
      }
      sizes.push_back(m->host_installed_pkgs.length);
    }
    coltest::reports().clear();
    return sizes;
  }
};

TEST_F(LksPackage, BatchesOfAHundredAndOneQueryPerDay) {
  fake_rpm(250);
  ASSERT_EQ(0, get_host_installed_package());
  EXPECT_EQ((std::vector<int>{100, 100, 50}), batches());
  EXPECT_EQ(1, runs());
  // The same day: the file is reused, the tool not run again.
  ASSERT_EQ(0, get_host_installed_package());
  EXPECT_EQ((std::vector<int>{100, 100, 50}), batches());
  EXPECT_EQ(1, runs());
  // The next day: a fresh query.
  fake_rpm(100);
  test_clock_advance_msec(86400ull * 1000);
  ASSERT_EQ(0, get_host_installed_package());
  EXPECT_EQ((std::vector<int>{100, 0}), batches());
  EXPECT_EQ(2, runs());
}

TEST_F(LksPackage, HostWithoutTheToolSendsOneEmptyBatch) {
  setenv("PATH", bin.c_str(), 1);  // no rpm there
  ASSERT_EQ(0, get_host_installed_package());
  EXPECT_EQ((std::vector<int>{0}), batches());
}

TEST(LksPackageDpkg, QueryLinesOfInstalledPackagesOnly) {
  struct {
    const char *line;
    bool installed;
    const char *name, *version, *release;
    int64_t size;
    const char *summary;
  } cases[] = {
      {"installed|adduser|3.134|686|add and remove users and groups\n", true, "adduser", "3.134",
       "", 686 * 1024, "add and remove users and groups"},
      {"installed|libc6:amd64|2.36-9+deb12u4|12986|GNU C Library: Shared libraries\n", true,
       "libc6:amd64", "2.36", "9+deb12u4", 12986 * 1024, "GNU C Library: Shared libraries"},
      {"installed|vim|2:9.0.1378-2|3770|Vi IMproved | enhanced vi editor", true, "vim",
       "2:9.0.1378", "2", 3770 * 1024, "Vi IMproved | enhanced vi editor"},
      {"installed|odd|1.0-rc1-3||", true, "odd", "1.0-rc1", "3", 0, ""},
      {"config-files|gone|1.0-1|10|removed, configuration kept\n", false, "", "", "", 0, ""},
      {"half-installed|broken|1.0-1|10|x\n", false, "", "", "", 0, ""},
      {"installed||1.0|1|no name", false, "", "", "", 0, ""},
      {"", false, "", "", "", 0, ""},
  };
  for (const auto &c : cases) {
    lks_package_t p;
    EXPECT_EQ(c.installed, lks_package_parse_dpkg_line(c.line, &p)) << c.line;
    if (!c.installed) continue;
    EXPECT_STREQ(c.name, p.name);
    EXPECT_STREQ(c.version, p.version);
    EXPECT_STREQ(c.release, p.release);
    EXPECT_EQ(c.size, p.size);
    EXPECT_STREQ(c.summary, p.summary);
  }
}

// This machine's own packages, where rpm is absent and dpkg-query present:
// every package dpkg lists as installed arrives, in batches of 100.
TEST_F(LksPackage, WithoutRpmTheDpkgPackagesOfThisMachineArrive) {
  setenv("PATH", "/usr/bin:/bin", 1);
  if (lks_package_tool() != LKS_PKG_TOOL_DPKG)
    GTEST_SKIP() << "this machine has rpm, or no dpkg-query";
  vktest::run_result l = vktest::run_program({"/usr/bin/dpkg", "-l"});
  ASSERT_EQ(0, l.status) << l.err;
  std::set<std::string> listed;
  std::istringstream in(l.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string state, name;
    if (words >> state >> name && state == "ii") listed.insert(name);
  }
  ASSERT_GT(listed.size(), 10u);
  ASSERT_EQ(0, get_host_installed_package());
  std::set<std::string> sent;
  std::vector<int> sizes;
  int with_time = 0;
  for (const coltest::report &r : coltest::of_code(60017)) {
    std::vector<uint8_t> w;
    host_installed_pkg_message_t *m =
        coltest::decode(r, w, host_installed_pkg_message_new, host_installed_pkg_message_decode);
    ASSERT_NE(nullptr, m);
    sizes.push_back(m->host_installed_pkgs.length);
    for (int i = 0; i < m->host_installed_pkgs.length; i++) {
      const host_installed_pkg_t &p = m->host_installed_pkgs.items_p[i];
      sent.insert(p.name_p);
      EXPECT_STRNE("", p.version_p) << p.name_p;
      with_time += p.install_time > 0;
    }
  }
  // dpkg -l shows an architecture only where it is needed to tell two
  // packages apart, as the names sent do.
  EXPECT_EQ(listed, sent);
  EXPECT_EQ(static_cast<int>(listed.size()), with_time);
  ASSERT_FALSE(sizes.empty());
  for (size_t i = 0; i + 1 < sizes.size(); i++) EXPECT_EQ(100, sizes[i]);
  EXPECT_EQ(listed.size() % 100, static_cast<size_t>(sizes.back()));
}

TEST_F(LksPackage, NoDataDirectoryIsAnError) {
  lks_set_ops(nullptr);
  EXPECT_EQ(-2, get_host_installed_package());
  EXPECT_TRUE(coltest::reports().empty());
}

}  // namespace
