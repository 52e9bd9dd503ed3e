// The host collectors on this machine, each figure compared with an
// independent reader of the same moment: free, swapon, df, /proc/net/dev
// read directly, ps and prlimit; and one process scan of 1,000 processes
// this test starts and stops.
//
// Tolerances: memory and traffic change between our read and the other
// tool's, so free figures and counters are compared within a drift bound
// (named at each check); sizes that do not move (total memory, file system
// size, limits, a process's parent) must match exactly.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "collector_test_util.h"
#include "host_process.h"
#include "host_stat.h"
#include "os/linux/lks_linux.h"
#include "os/linux/lks_linux_mem.h"
#include "os/linux/lks_linux_net.h"
#include "os/linux/lks_linux_process.h"
#include "os/linux/lks_linux_swap.h"

extern char **environ;

namespace {

using coltest::decode;
using coltest::of_code;

std::vector<std::vector<std::string>> table_of(const std::vector<std::string> &argv) {
  vktest::run_result r = vktest::run_program(argv);
  EXPECT_EQ(0, r.status) << argv[0] << ": " << r.err;
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> row;
    std::string w;
    while (words >> w) row.push_back(w);
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

class LksLive : public ::testing::Test {
 protected:
  void SetUp() override {
    coltest::install("/");
    lks_proc_set_btime(static_cast<uint64_t>(lks_read_btime()));
  }
  void TearDown() override {
    lks_metric_reset();
    lks_process_reset();
    coltest::uninstall();
  }
};

TEST_F(LksLive, MemoryAgreesWithFree) {
  host_mem_stat_info_t m;
  ASSERT_EQ(0, get_host_mem_stat(&m));
  auto rows = table_of({"/usr/bin/free", "-b"});
  ASSERT_GE(rows.size(), 2u);
  ASSERT_EQ("Mem:", rows[1][0]);
  EXPECT_EQ(m.total, std::stoull(rows[1][1]));
  // free, available and buff/cache move with every allocation on the
  // machine between the two reads: 5 % of the total.
  double drift = 0.05 * static_cast<double>(m.total);
  EXPECT_NEAR(static_cast<double>(m.free), std::stod(rows[1][3]), drift);
  EXPECT_NEAR(static_cast<double>(m.buffers + m.cached + m.sreclaimable), std::stod(rows[1][5]),
              drift);
  EXPECT_NEAR(static_cast<double>(m.available), std::stod(rows[1][6]), drift);
}

TEST_F(LksLive, SwapAgreesWithSwapon) {
  host_swap_stat_info_t s;
  ASSERT_EQ(0, get_host_swap_stat(&s));
  auto rows = table_of({"/sbin/swapon", "--show", "--bytes", "--noheadings", "--raw"});
  ASSERT_EQ(rows.size(), static_cast<size_t>(s.count));
  for (int i = 0; i < s.count; i++) {
    EXPECT_EQ(rows[i][0], s.swaps[i].filename);
    EXPECT_EQ(std::stoull(rows[i][2]), s.swaps[i].size);
    EXPECT_EQ(std::stoll(rows[i][4]), s.swaps[i].priority);
  }
  host_swap_stat_clear(&s);
}

TEST_F(LksLive, FileSystemsAgreeWithDf) {
  ASSERT_EQ(0, lks_metric_cycle(5));
  ASSERT_EQ(0, lks_metric_cycle(5));
  std::vector<uint8_t> w;
  host_disk_stat_message_t *d =
      decode(of_code(60013).back(), w, host_disk_stat_message_new, host_disk_stat_message_decode);
  ASSERT_NE(nullptr, d);
  int checked = 0;
  for (int i = 0; i < d->host_disk_stats.length; i++) {
    const host_disk_stat_t &e = d->host_disk_stats.items_p[i];
    if (e.mount_info_p == nullptr || e.mount_info_p->total == 0) continue;
    std::string first = e.mount_info_p->mount_names_p;
    first = first.substr(0, first.find(", "));
    auto rows = table_of({"/bin/df", "-B1", "--output=size,used,avail", first});
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(std::stoll(rows[1][0]), e.mount_info_p->total) << first;
    // Our used figure is the df percentage (used of what users may fill)
    // applied to the whole size; files written meanwhile: 1 point.
    double used = std::stod(rows[1][1]);
    double pct = used * 100 / (used + std::stod(rows[1][2]));
    EXPECT_NEAR(pct, 100.0 * e.mount_info_p->used / e.mount_info_p->total, 1.0) << first;
    EXPECT_GE(e.util, 0);
    EXPECT_GE(e.read_requests, 0);
    checked++;
  }
  EXPECT_GE(checked, 1) << "no local file system attached to a block device";
}

TEST_F(LksLive, NetworkCountersAgreeWithTheKernelFile) {
  host_net_stat_info_t s;
  ASSERT_EQ(0, get_host_net_stat(&s));
  std::string text = vktest::read_file("/proc/net/dev");
  std::map<std::string, std::vector<uint64_t>> direct;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    name.erase(0, name.find_first_not_of(' '));
    std::istringstream nums(line.substr(colon + 1));
    std::vector<uint64_t> v;
    uint64_t x;
    while (nums >> x) v.push_back(x);
    direct[name] = v;
  }
  ASSERT_EQ(direct.size(), static_cast<size_t>(s.count));
  for (int i = 0; i < s.count; i++) {
    const host_net_info_t &n = s.nets[i];
    ASSERT_EQ(1u, direct.count(n.name)) << n.name;
    const std::vector<uint64_t> &v = direct[n.name];
    ASSERT_EQ(16u, v.size());
    // Read later, the file's counters are as large or larger: traffic in
    // between (this machine's loopback is busy) within 64 MiB.
    uint64_t ours[] = {n.rx_bytes, n.rx_errors, n.rx_drops, n.tx_bytes, n.tx_errors, n.tx_drops};
    uint64_t theirs[] = {v[0], v[2], v[3], v[8], v[10], v[11]};
    for (int k = 0; k < 6; k++) {
      EXPECT_LE(ours[k], theirs[k]) << n.name << " column " << k;
      EXPECT_LE(theirs[k] - ours[k], 64u << 20) << n.name << " column " << k;
    }
  }
  host_net_stat_clear(&s);
}

TEST_F(LksLive, CpuSharesOfTwoCyclesAddUpToAHundred) {
  ASSERT_EQ(0, lks_metric_cycle(5));
  usleep(300 * 1000);
  ASSERT_EQ(0, lks_metric_cycle(5));
  std::vector<uint8_t> w;
  host_stat_message_t *m =
      decode(of_code(60018).back(), w, host_stat_message_new, host_stat_message_decode);
  ASSERT_NE(nullptr, m);
  const host_cpu_stat_t *c = m->cpu_stat_p;
  double parts[] = {c->user, c->nice, c->system, c->idle, c->iowait, c->irq, c->softirq, c->steal};
  double sum = 0;
  for (double p : parts) {
    EXPECT_GE(p, 0);
    EXPECT_LE(p, 100);
    sum += p;
  }
  // guest and guest_nice are counted in the divisor but not sent.
  EXPECT_GT(sum, 90);
  EXPECT_LE(sum, 100.0001);
}

// Children started here, stopped by pid.
struct children {
  std::vector<pid_t> pids;
  ~children() {
    for (pid_t p : pids) kill(p, SIGKILL);
    for (pid_t p : pids) waitpid(p, nullptr, 0);
  }
  bool start(int count, std::vector<std::string> argv) {
    std::vector<char *> args;
    for (std::string &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (int i = 0; i < count; i++) {
      pid_t pid = -1;
      if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
      pids.push_back(pid);
    }
    return true;
  }
};

TEST_F(LksLive, ProcessScanOfAThousandAgreesWithPs) {
  children kids;
  ASSERT_TRUE(kids.start(1000, {"/bin/sleep", "120"}));
  // posix_spawn returns while a child's exec is still setting up its
  // command line, and the loader then grows it: wait until every child
  // sleeps (state S) in "sleep 120".
  ASSERT_TRUE(vktest::wait_until(
      [&] {
        for (pid_t p : kids.pids) {
          std::string stat = vktest::read_file("/proc/" + std::to_string(p) + "/stat");
          size_t close = stat.rfind(')');
          if (close == std::string::npos || stat.compare(close, 4, ") S ") != 0) return false;
          if (vktest::read_file("/proc/" + std::to_string(p) + "/cmdline") !=
              std::string("/bin/sleep\0"
                          "120\0",
                          15)) {
            return false;
          }
        }
        return true;
      },
      30000, 50));
  ASSERT_EQ(0, get_host_process_list());
  std::vector<uint8_t> w;
  host_process_info_message_t *m = decode(of_code(60016).back(), w, host_process_info_message_new,
                                          host_process_info_message_decode);
  ASSERT_NE(nullptr, m);
  std::map<int64_t, const host_process_info_t *> ours;
  for (int i = 0; i < m->host_process_infos.length; i++) {
    ours[m->host_process_infos.items_p[i].pid] = &m->host_process_infos.items_p[i];
  }
  int found = 0;
  for (pid_t p : kids.pids) {
    auto it = ours.find(p);
    if (it == ours.end()) continue;
    found++;
    EXPECT_EQ(getpid(), it->second->ppid);
    EXPECT_STREQ("sleep", it->second->command_p);
    EXPECT_STREQ("/bin/sleep 120", it->second->command_line_p);
  }
  EXPECT_EQ(1000, found);
  auto rows = table_of({"/bin/ps", "-eo", "pid=,ppid=,user:32=,vsz=,comm="});
  std::set<int64_t> mine(kids.pids.begin(), kids.pids.end());
  int compared = 0;
  int moved = 0;
  for (const auto &row : rows) {
    if (row.size() < 5) continue;
    auto it = ours.find(std::stoll(row[0]));
    if (it == ours.end()) continue;  // kernel threads, or started after our scan
    compared++;
    const host_process_info_t *p = it->second;
    bool same = std::stoll(row[1]) == p->ppid && row[2] == p->user_name_p &&
                row[4] == std::string(p->command_p).substr(0, row[4].size()) &&
                std::stoull(row[3]) * 1024 == p->virtual_size;
    // Our sleeping children stay as they were; other processes of the
    // machine may exec, grow or lose their parent between the two reads.
    if (mine.count(it->first) != 0) {
      EXPECT_TRUE(same) << row[0] << " " << row[4];
    } else {
      moved += !same;
    }
  }
  EXPECT_GE(compared, 1000);
  EXPECT_LE(moved * 20, compared) << "more than 5 % of the processes changed";
}

// The command line of one process in the latest report ("" when absent).
std::string reported_cmdline(pid_t pid) {
  std::vector<uint8_t> w;
  host_process_info_message_t *m = decode(of_code(60016).back(), w, host_process_info_message_new,
                                          host_process_info_message_decode);
  for (int i = 0; m != nullptr && i < m->host_process_infos.length; i++) {
    if (m->host_process_infos.items_p[i].pid == pid)
      return m->host_process_infos.items_p[i].command_line_p;
  }
  return "";
}

TEST_F(LksLive, ALongCommandLineIsCutAndARewrittenTitleShowsAtTheNextScan) {
  // A 5,000-byte command line; on SIGUSR1 the process rewrites its title
  // in place (as postgres and sshd do) while it sleeps, so neither its CPU
  // counters nor its argument area move.
  // It makes the file `ready` once its handler is in place.
  vktest::temp_dir dir;
  std::string ready = dir.path + "/ready";
  children kid;
  std::string tail(5000, 'y');
  ASSERT_TRUE(kid.start(1, {"/usr/bin/perl", "-e",
                            "$SIG{USR1} = sub { $0 = 'title-two' }; open(F, '>', $ARGV[1]); "
                            "close(F); select(undef, undef, undef, 0.2) while 1;",
                            tail, ready}));
  pid_t pid = kid.pids[0];
  std::string proc = "/proc/" + std::to_string(pid) + "/cmdline";
  ASSERT_TRUE(vktest::wait_until([&] { return vktest::file_exists(ready); }, 20000));
  ASSERT_EQ(0, get_host_process_list());
  std::string first = reported_cmdline(pid);
  EXPECT_EQ(511u, first.size());
  EXPECT_EQ(0u, first.find("/usr/bin/perl -e $SIG{USR1}")) << first;
  kill(pid, SIGUSR1);
  ASSERT_TRUE(vktest::wait_until(
      [&] { return vktest::read_file(proc).compare(0, 9, "title-two") == 0; }, 20000));
  ASSERT_EQ(0, get_host_process_list());
  EXPECT_EQ("title-two", reported_cmdline(pid));
  // Its files were kept open between the scans; once it has exited they
  // are closed and it is not listed.
  EXPECT_TRUE(lks_process_files_held(static_cast<uint32_t>(pid)));
  EXPECT_GE(lks_process_files_open(), 4u);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  kid.pids.clear();
  ASSERT_EQ(0, get_host_process_list());
  EXPECT_EQ("", reported_cmdline(pid));
  EXPECT_FALSE(lks_process_files_held(static_cast<uint32_t>(pid)));
}

TEST_F(LksLive, LimitsAgreeWithPrlimit) {
  children kid;
  // Terabyte limits and the largest finite one: every digit must arrive.
  ASSERT_TRUE(kid.start(1, {"/usr/bin/prlimit", "--nofile=123:456", "--core=0:unlimited",
                            "--as=1099511627776:18446744073709551614",
                            "--fsize=1099511627776:1099511627776", "/bin/sleep", "120"}));
  pid_t pid = kid.pids[0];
  ASSERT_TRUE(vktest::wait_until(
      [&] { return vktest::read_file("/proc/" + std::to_string(pid) + "/comm") == "sleep\n"; },
      20000));
  lks_limit_t l[LKS_LIMIT_MAX];
  ASSERT_EQ(16, get_host_process_limits(l, pid));
  std::map<std::string, const lks_limit_t *> ours;
  for (const lks_limit_t &x : l) ours[x.name] = &x;
  auto rows = table_of({"/usr/bin/prlimit", "--pid", std::to_string(pid), "--raw", "--noheadings",
                        "--output=RESOURCE,SOFT,HARD"});
  std::map<std::string, std::string> names = {
      {"NOFILE", "Max open files"}, {"CORE", "Max core file size"}, {"STACK", "Max stack size"},
      {"NPROC", "Max processes"},   {"AS", "Max address space"},    {"CPU", "Max cpu time"}};
  int compared = 0;
  for (const auto &row : rows) {
    auto it = names.find(row[0]);
    if (it == names.end()) continue;
    ASSERT_EQ(1u, ours.count(it->second)) << it->second;
    EXPECT_EQ(row[1], ours[it->second]->soft) << row[0];
    EXPECT_EQ(row[2], ours[it->second]->hard) << row[0];
    compared++;
  }
  EXPECT_EQ(6, compared);
  EXPECT_STREQ("123", ours["Max open files"]->soft);
  EXPECT_STREQ("456", ours["Max open files"]->hard);
  EXPECT_STREQ("1099511627776", ours["Max address space"]->soft);
  EXPECT_STREQ("18446744073709551614", ours["Max address space"]->hard);
  EXPECT_STREQ("1099511627776", ours["Max file size"]->hard);
}

}  // namespace
