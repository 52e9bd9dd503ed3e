// Table-driven cases for the parsers of the host collectors: kernel file
// texts as they come, cut short, garbled and hand-edited for the edge
// cases, with figures that must stay sane.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "collector_test_util.h"
#include "os/linux/lks_linux_cpu.h"
#include "os/linux/lks_linux_disk.h"
#include "os/linux/lks_linux_mem.h"
#include "os/linux/lks_linux_net.h"
#include "os/linux/lks_linux_package.h"
#include "os/linux/lks_linux_process.h"
#include "os/linux/lks_linux_swap.h"

namespace {

TEST(LksMem, LabelsMatchWholeAndMissingAvailableIsDerived) {
  struct {
    const char *text;
    uint64_t total, free, available, active, slab;
  } cases[] = {
      {"MemTotal: 100 kB\nMemFree: 10 kB\nMemAvailable: 50 kB\nActive(anon): 7 kB\nActive: 30 kB\n",
       102400, 10240, 51200, 30720, 0},
      // No MemAvailable: free + buffers + cached.
      {"MemTotal: 100 kB\nMemFree: 10 kB\nBuffers: 2 kB\nCached: 3 kB\n", 102400, 10240, 15360, 0,
       0},
      // Garbled, overflowing and cut values leave their field 0.
      {"MemTotal: abc kB\nMemFree: 99999999999999999999 kB\nSlab:", 0, 0, 0, 0, 0},
      {"", 0, 0, 0, 0, 0},
      {"Slab: 4 kB", 0, 0, 0, 0, 4096},
  };
  for (const auto &c : cases) {
    host_mem_stat_info_t m;
    lks_mem_parse(c.text, &m);
    EXPECT_EQ(c.total, m.total) << c.text;
    EXPECT_EQ(c.free, m.free) << c.text;
    EXPECT_EQ(c.available, m.available) << c.text;
    EXPECT_EQ(c.active, m.active) << c.text;
    EXPECT_EQ(c.slab, m.slab) << c.text;
  }
}

TEST(LksSwap, AreasHeadingOnlyEscapesAndGarbage) {
  struct {
    const char *text;
    int count;
    const char *name;
    const char *type;
    uint64_t size, used;
    int64_t priority;
  } cases[] = {
      {"Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n", 0, "", "", 0, 0, 0},
      {"Filename\tType\n/dev/dm-1                               partition\t8388604\t\t1024\t\t-2\n",
       1, "/dev/dm-1", "partition", 8388604ull * 1024, 1024 * 1024, -2},
      {"/var/swap\\040file file\t\t4\t\t1\t\t10", 1, "/var/swap file", "file", 4096, 1024, 10},
      // Used above size (garbled) is cut to the size; a line without a
      // size is no area.
      {"/a partition\t4\t9\t1\n/b partition\tfoo\t1\t1\n\n", 1, "/a", "partition", 4096, 4096, 1},
      {"/c partition\t99999999999999999999\t1\t1\n", 1, "/c", "partition", 0, 0, 1},
  };
  for (const auto &c : cases) {
    host_swap_stat_info_t s;
    ASSERT_EQ(0, lks_swap_parse(c.text, &s));
    ASSERT_EQ(c.count, s.count) << c.text;
    if (c.count > 0) {
      EXPECT_STREQ(c.name, s.swaps[0].filename);
      EXPECT_STREQ(c.type, s.swaps[0].type);
      EXPECT_EQ(c.size, s.swaps[0].size);
      EXPECT_EQ(c.used, s.swaps[0].used);
      EXPECT_EQ(c.priority, s.swaps[0].priority);
    }
    host_swap_stat_clear(&s);
  }
}

TEST(LksNet, CountersTakenFromTheirColumns) {
  host_net_stat_info_t s;
  ASSERT_EQ(0, lks_net_parse("Inter-|   Receive\n face |bytes\n"
                             "  tun0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n"
                             "eth9:12 34\n"
                             "  : 1 2\n"
                             "x: garbage 5\n",
                             &s));
  ASSERT_EQ(3, s.count);
  const host_net_info_t &t = s.nets[0];
  EXPECT_STREQ("tun0", t.name);
  uint64_t want[] = {1, 2, 3, 4, 5, 9, 10, 11, 12, 13};
  uint64_t got[] = {t.rx_bytes, t.rx_packets, t.rx_errors, t.rx_drops, t.rx_overruns,
                    t.tx_bytes, t.tx_packets, t.tx_errors, t.tx_drops, t.tx_overruns};
  for (int i = 0; i < 10; i++) EXPECT_EQ(want[i], got[i]) << i;
  // A cut line keeps what it has; a garbled one counts nothing.
  EXPECT_STREQ("eth9", s.nets[1].name);
  EXPECT_EQ(12u, s.nets[1].rx_bytes);
  EXPECT_EQ(34u, s.nets[1].rx_packets);
  EXPECT_EQ(0u, s.nets[1].tx_bytes);
  EXPECT_STREQ("x", s.nets[2].name);
  EXPECT_EQ(0u, s.nets[2].rx_bytes);
  host_net_stat_clear(&s);
}

TEST(LksDisk, StatLinesOfEveryKernelFormat) {
  struct {
    const char *text;
    int numbers;
    uint64_t read_ios, read_sectors, write_sectors, io_ticks, queue, flush_ticks;
  } cases[] = {
      {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n", 17, 1, 3, 7, 10, 11, 17},
      {"1 2 3 4 5 6 7 8 9 10 11\n", 11, 1, 3, 7, 10, 11, 0},
      {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15\n", 15, 1, 3, 7, 10, 11, 0},
      // Old partition format: reads, read sectors, writes, write sectors.
      {"   90 720 190 1520\n", 4, 90, 720, 1520, 0, 0, 0},
      // Cut short or garbled: too few numbers to trust, all zero.
      {"1 2 3 4 5 6 7\n", 7, 0, 0, 0, 0, 0, 0},
      {"1 2 x3 4 5 6 7 8 9 10 11\n", 2, 0, 0, 0, 0, 0, 0},
      {"", 0, 0, 0, 0, 0, 0, 0},
  };
  for (const auto &c : cases) {
    uint64_t v[LKS_DISK_COUNTERS];
    EXPECT_EQ(c.numbers, lks_disk_parse_stat(c.text, v)) << c.text;
    EXPECT_EQ(c.read_ios, v[LKS_DISK_READ_IOS]) << c.text;
    EXPECT_EQ(c.read_sectors, v[LKS_DISK_READ_SECTORS]) << c.text;
    EXPECT_EQ(c.write_sectors, v[LKS_DISK_WRITE_SECTORS]) << c.text;
    EXPECT_EQ(c.io_ticks, v[LKS_DISK_IO_TICKS]) << c.text;
    EXPECT_EQ(c.queue, v[LKS_DISK_TIME_IN_QUEUE]) << c.text;
    EXPECT_EQ(c.flush_ticks, v[16]) << c.text;
  }
}

TEST(LksCpu, SharesStayWithinZeroAndHundred) {
  lks_cpu_sample_t a = {};
  lks_cpu_sample_t b = {};
  uint64_t first[] = {0, 100, 0, 50, 800, 50, 0, 0, 0, 0, 0};
  uint64_t second[] = {0, 200, 0, 100, 1600, 100, 0, 0, 0, 0, 0};
  for (int i = 1; i < LKS_CPU_TICKS; i++) {
    a.ticks[i] = first[i];
    a.ticks[0] += first[i];
    b.ticks[i] = second[i];
    b.ticks[0] += second[i];
  }
  host_cpu_stat_info_t s = {};
  lks_cpu_usage_calc(&a, &b, &s);
  EXPECT_DOUBLE_EQ(10, s.user);
  EXPECT_DOUBLE_EQ(5, s.sys);
  EXPECT_DOUBLE_EQ(80, s.idle);
  EXPECT_DOUBLE_EQ(5, s.iowait);
  // No tick elapsed, no earlier sample: all zero.
  lks_cpu_usage_calc(&b, &b, &s);
  EXPECT_DOUBLE_EQ(0, s.user + s.sys + s.idle + s.iowait);
  lks_cpu_sample_t zero = {};
  lks_cpu_usage_calc(&zero, &b, &s);
  EXPECT_DOUBLE_EQ(0, s.idle);
  // Counters that went back (idle reset) give no negative and no huge share.
  lks_cpu_sample_t back = b;
  back.ticks[4] = 10;
  back.ticks[1] += 100;
  lks_cpu_usage_calc(&b, &back, &s);
  EXPECT_DOUBLE_EQ(100, s.user);
  EXPECT_DOUBLE_EQ(0, s.idle);
}

TEST(LksProcess, StatLineNameParsedFromTheLastParenthesis) {
  struct {
    const char *text;
    int ret;
    const char *comm;
    int32_t ppid;
    uint64_t utime, vsize;
  } cases[] = {
      {"4242 (my (odd) name) S 100 4242 4242 0 -1 4194560 120 0 0 0 250 75 0 0 20 0 1 0 12000 "
       "10485760 300 1",
       0, "my (odd) name", 100, 250, 10485760},
      {"7 (a) b) c) R 1 7 7 0 -1 0 0 0 0 0 5 6 0 0 20 0 1 0 100 4096 2 1", 0, "a) b) c", 1, 5,
       4096},
      {"9 ( ) S 3 9 9 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 100 -4096 -2 1", 0, " ", 3, 1, 0},
      // Cut before field 24, garbled numbers, no name: skipped.
      {"77 (cut) S 1 77 77 0 -1 4194560 120", -1, "cut", 0, 0, 0},
      {"78 (bad) S 1 78 78 0 -1 0 0 0 0 0 x 2 0 0 20 0 1 0 100 4096 2 1", -1, "bad", 0, 0, 0},
      {"79 bad S 1", -1, "", 0, 0, 0},
      {"", -1, "", 0, 0, 0},
  };
  for (const auto &c : cases) {
    lks_proc_t rec = {};
    ASSERT_EQ(c.ret, lks_proc_parse_stat(c.text, 100, 4096, 1000, &rec)) << c.text;
    if (c.ret != 0) continue;
    EXPECT_STREQ(c.comm, rec.comm);
    EXPECT_EQ(c.ppid, rec.ppid);
    EXPECT_EQ(c.utime, rec.utime);
    EXPECT_EQ(c.vsize, rec.vsize);
  }
  lks_proc_t rec = {};
  ASSERT_EQ(0, lks_proc_parse_stat(cases[0].text, 100, 4096, 1000, &rec));
  EXPECT_EQ(75u, rec.stime);
  EXPECT_EQ(1000u + 120, rec.start_time);
  EXPECT_EQ(300u * 4096, rec.rss);
}

TEST(LksProcess, LimitsColumnsFromTheHeading) {
  std::string text = vktest::read_file(coltest::fixture("host1/proc/100/limits"));
  lks_limit_t l[LKS_LIMIT_MAX];
  ASSERT_EQ(16, lks_limits_parse(text.c_str(), l));
  EXPECT_STREQ("Max cpu time", l[0].name);
  EXPECT_STREQ("unlimited", l[0].soft);
  EXPECT_STREQ("unlimited", l[0].hard);
  EXPECT_STREQ("seconds", l[0].units);
  EXPECT_STREQ("Max realtime timeout", l[15].name);
  EXPECT_STREQ("us", l[15].units);
  EXPECT_EQ(-3, lks_limits_parse("Limit Hard Limit Units\n", l));
  EXPECT_EQ(-4, lks_limits_parse("Limit Soft Limit Units\n", l));
  EXPECT_EQ(-5, lks_limits_parse("Limit Soft Limit Hard Limit\n", l));
  // The widest values a limits file prints arrive whole.
  ASSERT_EQ(1,
            lks_limits_parse("Limit                     Soft Limit           Hard Limit           "
                             "Units     \nMax address space         1099511627776        "
                             "18446744073709551614 bytes     \n",
                             l));
  EXPECT_STREQ("1099511627776", l[0].soft);
  EXPECT_STREQ("18446744073709551614", l[0].hard);
  EXPECT_STREQ("bytes", l[0].units);
  // Rows shorter than the columns leave those values empty.
  ASSERT_EQ(1, lks_limits_parse("Limit     Soft Limit Hard Limit Units\nMax x\n", l));
  EXPECT_STREQ("Max x", l[0].name);
  EXPECT_STREQ("", l[0].soft);
}

TEST(LksPackage, QueryLinesSplitAtBars) {
  lks_package_t p;
  lks_package_parse_line("bash|5.2|15.el9|8123456|GPLv3+|1700000000|The GNU Bourne Again shell\n",
                         &p);
  EXPECT_STREQ("bash", p.name);
  EXPECT_STREQ("5.2", p.version);
  EXPECT_STREQ("15.el9", p.release);
  EXPECT_EQ(8123456, p.size);
  EXPECT_STREQ("GPLv3+", p.license);
  EXPECT_EQ(1700000000000, p.install_time);
  EXPECT_STREQ("The GNU Bourne Again shell", p.summary);
  std::string long_summary(150, 's');
  lks_package_parse_line(("a|1|2|3|MIT|4|" + long_summary + "\n").c_str(), &p);
  EXPECT_EQ(std::string(99, 's'), p.summary);
  lks_package_parse_line("only|two\n", &p);
  EXPECT_STREQ("only", p.name);
  EXPECT_STREQ("two", p.version);
  EXPECT_EQ(0, p.size);
  EXPECT_STREQ("", p.summary);
  std::string long_name(300, 'n');
  lks_package_parse_line((long_name + "|1|2|x|L|-5|s\n").c_str(), &p);
  EXPECT_EQ(std::string(LKS_PKG_NAME_SIZE - 1, 'n'), p.name);
  EXPECT_EQ(0, p.size);
  EXPECT_EQ(0, p.install_time);
}

}  // namespace
