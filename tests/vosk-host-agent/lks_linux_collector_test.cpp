// The host collectors end to end over recorded host trees: every report is
// queued through a capturing sink, decoded with the generated code and
// checked figure by figure, across cycles in which the test edits the tree
// (counters grow, go back, devices appear and vanish, processes change).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "collector_test_util.h"
#include "host_process.h"
#include "host_stat.h"
#include "host_system_info.h"
#include "os/linux/lks_linux.h"
#include "os/linux/lks_linux_disk.h"
#include "os/linux/lks_linux_net.h"
#include "os/linux/lks_linux_process.h"
#include "test_clock.h"

namespace {

using coltest::decode;
using coltest::of_code;

constexpr uint64_t T0 = 1700000000000ull;

// statvfs answers per mount directory; others fail.
std::map<std::string, struct statvfs> &fake_fs() {
  static std::map<std::string, struct statvfs> m;
  return m;
}
std::set<std::string> &asked_fs() {
  static std::set<std::string> s;
  return s;
}
int fake_statvfs(const char *path, struct statvfs *out) {
  asked_fs().insert(path);
  auto it = fake_fs().find(path);
  if (it == fake_fs().end()) return -1;
  *out = it->second;
  return 0;
}
int nfs_off() {
  return 0;
}

void add_fs(const char *dir, uint64_t blocks, uint64_t bfree, uint64_t bavail) {
  struct statvfs v = {};
  v.f_frsize = 4096;
  v.f_bsize = 4096;
  v.f_blocks = blocks;
  v.f_bfree = bfree;
  v.f_bavail = bavail;
  fake_fs()[dir] = v;
}

class LksCollector : public ::testing::Test {
 protected:
  void SetUp() override {
    test_clock_install(T0);
    fake_fs().clear();
    asked_fs().clear();
  }
  void TearDown() override {
    lks_metric_reset();
    lks_process_reset();
    coltest::uninstall();
    test_clock_uninstall();
  }
  void use_root(const std::string &root) {
    lks_ops_t ops = {};
    ops.statvfs = fake_statvfs;
    ops.collect_nfs = nfs_off;
    coltest::install(root, ops);
  }
};

std::string cpu_line(uint64_t user, uint64_t sys, uint64_t idle) {
  return "cpu  " + std::to_string(user) + " 0 " + std::to_string(sys) + " " + std::to_string(idle) +
         " 0 0 0 0 0 0\nbtime 1796719059\n";
}

TEST_F(LksCollector, MetricCyclesOverARecordedHost) {
  coltest::tree_copy t("host1");
  use_root(t.root);
  add_fs("/", 1000, 400, 300);
  add_fs("/srv/my data", 2000, 2000, 2000);
  add_fs("/mnt/ro more", 100, 50, 50);
  add_fs("/tmp", 10, 5, 5);
  t.write("/proc/stat", cpu_line(1000, 1000, 1000));

  ASSERT_EQ(0, lks_metric_cycle(5));
  ASSERT_EQ(4u, coltest::reports().size());
  uint16_t order[] = {60018, 60012, 60015, 60013};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(order[i], coltest::reports()[i].code);
    EXPECT_EQ(1, coltest::reports()[i].status);
  }
  std::vector<uint8_t> w1, w2, w3, w4;
  host_stat_message_t *hs =
      decode(of_code(60018)[0], w1, host_stat_message_new, host_stat_message_decode);
  ASSERT_NE(nullptr, hs);
  EXPECT_STREQ("0f1e2d3c-host", hs->identity_p->host_id_p);
  EXPECT_EQ(T0, hs->identity_p->time);
  EXPECT_EQ(4u, hs->identity_p->os_type);
  EXPECT_FLOAT_EQ(3.34f, static_cast<float>(hs->cpu_stat_p->load1));
  EXPECT_FLOAT_EQ(6.04f, static_cast<float>(hs->cpu_stat_p->load15));
  EXPECT_EQ(0, hs->cpu_stat_p->user);  // first cycle: no earlier sample
  EXPECT_EQ(24683752ll * 1024, hs->mem_stat_p->total);
  EXPECT_EQ(0, hs->disk_usage);

  host_swap_stat_message_t *sw =
      decode(of_code(60012)[0], w2, host_swap_stat_message_new, host_swap_stat_message_decode);
  ASSERT_NE(nullptr, sw);
  ASSERT_EQ(2, sw->host_swap_stats.length);
  EXPECT_STREQ("/dev/dm-1", sw->host_swap_stats.items_p[0].filename_p);
  EXPECT_EQ(-2, sw->host_swap_stats.items_p[0].priority);
  EXPECT_STREQ("/var/swap file", sw->host_swap_stats.items_p[1].filename_p);
  EXPECT_EQ(1048572ll * 1024, sw->host_swap_stats.items_p[1].size);

  host_net_stat_message_t *ns =
      decode(of_code(60015)[0], w3, host_net_stat_message_new, host_net_stat_message_decode);
  ASSERT_NE(nullptr, ns);
  ASSERT_EQ(5, ns->host_net_stats.length);
  EXPECT_STREQ("tun0", ns->host_net_stats.items_p[4].name_p);
  EXPECT_EQ(9, ns->host_net_stats.items_p[4].tx_bytes);
  EXPECT_EQ(13, ns->host_net_stats.items_p[4].tx_overruns);

  host_disk_stat_message_t *ds =
      decode(of_code(60013)[0], w4, host_disk_stat_message_new, host_disk_stat_message_decode);
  ASSERT_NE(nullptr, ds);
  EXPECT_EQ(0, ds->host_disk_stats.length);  // first cycle: no rates yet

  // Second cycle, 5 s later: CPU 20/20/60, vda busy, sdb reset, sdc new,
  // loop0 gone between the listing and the read.
  t.write("/proc/stat", cpu_line(1100, 1100, 1300));
  t.write("/sys/class/block/vda/stat",
          "  186618    28613  5380754    87695   170187   130828 35533408   244152        0    "
          "46416   361542   100380      124 27998664    18639    15305     1054\n");
  t.write("/sys/class/block/sdb/stat", "    1 0 8 1 2 0 16 2 0 3 4 0 0 0 0\n");
  t.write("/sys/class/block/sdc/stat", "    1 0 8 1 2 0 16 2 0 3 4\n");
  t.remove("/sys/class/block/loop0/stat");
  test_clock_advance_msec(5000);
  coltest::reports().clear();
  ASSERT_EQ(0, lks_metric_cycle(5));
  hs = decode(of_code(60018)[0], w1, host_stat_message_new, host_stat_message_decode);
  ASSERT_NE(nullptr, hs);
  EXPECT_DOUBLE_EQ(20, hs->cpu_stat_p->user);
  EXPECT_DOUBLE_EQ(20, hs->cpu_stat_p->system);
  EXPECT_DOUBLE_EQ(60, hs->cpu_stat_p->idle);
  ds = decode(of_code(60013)[0], w4, host_disk_stat_message_new, host_disk_stat_message_decode);
  ASSERT_NE(nullptr, ds);
  std::map<std::string, const host_disk_stat_t *> disks;
  for (int i = 0; i < ds->host_disk_stats.length; i++) {
    disks[ds->host_disk_stats.items_p[i].name_p] = &ds->host_disk_stats.items_p[i];
  }
  std::set<std::string> names;
  for (auto &d : disks) names.insert(d.first);
  EXPECT_EQ((std::set<std::string>{"dm-0", "sdb", "sdb1", "sr0", "vda", "vda1"}), names);
  const host_disk_stat_t *vda = disks["vda"];
  EXPECT_DOUBLE_EQ(100, vda->read_requests);
  EXPECT_DOUBLE_EQ(512.0 * 1000 / 5, vda->write_bytes);
  EXPECT_DOUBLE_EQ(50, vda->util);
  EXPECT_DOUBLE_EQ(2, vda->queue_length);
  EXPECT_EQ(_host_disk_type_whole_disk_e, vda->type);
  EXPECT_STREQ("/, /run/netns", vda->mount_info_p->mount_names_p);
  EXPECT_STREQ("/dev/vda", vda->mount_info_p->file_system_p);
  EXPECT_EQ(1000 * 4096, vda->mount_info_p->total);
  EXPECT_EQ(static_cast<int64_t>(1000 * (600.0 / 900) * 4096), vda->mount_info_p->used);
  EXPECT_STREQ("/srv/my data", disks["dm-0"]->mount_info_p->mount_names_p);
  EXPECT_STREQ("/dev/mapper/vg0-root", disks["dm-0"]->mount_info_p->file_system_p);
  EXPECT_EQ(_host_disk_type_other_e, disks["dm-0"]->type);
  // Counters that went back: zero rates, never huge ones.
  const host_disk_stat_t *sdb = disks["sdb"];
  EXPECT_EQ(0, sdb->read_requests + sdb->write_bytes + sdb->util + sdb->queue_length);
  EXPECT_EQ(_host_disk_type_whole_disk_e, sdb->type);
  EXPECT_STREQ("/mnt/ro more", sdb->mount_info_p->mount_names_p);  // "ro,noatime" is kept
  EXPECT_STREQ("", disks["sdb1"]->mount_info_p->mount_names_p);    // exactly "ro": skipped
  EXPECT_EQ(_host_disk_type_other_e, disks["sdb1"]->type);
  EXPECT_EQ(_host_disk_type_other_e, disks["sr0"]->type);
  EXPECT_EQ(_host_disk_type_other_e, disks["vda1"]->type);
  double used = static_cast<double>(vda->mount_info_p->used) + disks["sdb"]->mount_info_p->used;
  double total = 1000.0 * 4096 + 2000.0 * 4096 + 100.0 * 4096;
  // The usage of the host report comes from the same cycle's disks.
  EXPECT_NEAR(used / total * 100, hs->disk_usage, 1e-9);
  EXPECT_EQ(0u, asked_fs().count("/tmp"));
  EXPECT_EQ(0u, asked_fs().count("/mnt/nfs"));
  EXPECT_EQ(0u, asked_fs().count("/media/cd"));
}

TEST_F(LksCollector, OldKernelAndGarbledFilesGiveSaneReports) {
  use_root(coltest::fixture("old-kernel"));
  ASSERT_EQ(0, lks_metric_cycle(5));
  ASSERT_EQ(0, lks_metric_cycle(5));
  ASSERT_EQ(8u, coltest::reports().size());
  std::vector<uint8_t> w;
  host_stat_message_t *hs =
      decode(of_code(60018)[1], w, host_stat_message_new, host_stat_message_decode);
  ASSERT_NE(nullptr, hs);
  EXPECT_EQ((512000ll + 64000 + 256000) * 1024, hs->mem_stat_p->available);
  EXPECT_EQ(900000ll * 1024, hs->mem_stat_p->active);
  EXPECT_EQ(0, hs->cpu_stat_p->load1);
  EXPECT_EQ(0, hs->cpu_stat_p->user);
  std::vector<uint8_t> w2;
  host_swap_stat_message_t *sw =
      decode(of_code(60012)[1], w2, host_swap_stat_message_new, host_swap_stat_message_decode);
  ASSERT_NE(nullptr, sw);
  EXPECT_EQ(0, sw->host_swap_stats.length);
  ASSERT_NE(nullptr, sw->identity_p);
  EXPECT_EQ(4u, sw->identity_p->os_type);
}

TEST_F(LksCollector, LargeReportsGrowPastSixtyFourKiB) {
  coltest::tree_copy t("host1");
  use_root(t.root);
  std::string dev = "Inter-|\n face |\n";
  for (int i = 0; i < 1500; i++) {
    std::string big = " " + std::to_string(1000000000000000ull + i);
    dev += "veth" + std::to_string(i) + ": " + std::to_string(i);
    for (int k = 0; k < 15; k++) dev += big;
    dev += "\n";
  }
  t.write("/proc/net/dev", dev);
  std::string swaps = "Filename\tType\tSize\tUsed\tPriority\n";
  for (int i = 0; i < 200; i++) {
    swaps += "/swap/" + std::string(400, 'a') + std::to_string(i) + " file\t1024\t0\t-3\n";
  }
  t.write("/proc/swaps", swaps);
  for (int i = 0; i < 1000; i++) {
    t.write("/sys/class/block/nbd" + std::string(190, 'x') + std::to_string(i) + "/stat",
            "1 2 3 4 5 6 7 8 9 10 11\n");
  }
  ASSERT_EQ(0, lks_metric_cycle(5));
  ASSERT_EQ(0, lks_metric_cycle(5));
  std::vector<uint8_t> w;
  auto net = of_code(60015);
  ASSERT_EQ(2u, net.size());
  EXPECT_GT(net[1].body.size(), 65536u);
  host_net_stat_message_t *ns =
      decode(net[1], w, host_net_stat_message_new, host_net_stat_message_decode);
  ASSERT_NE(nullptr, ns);
  ASSERT_EQ(1500, ns->host_net_stats.length);
  EXPECT_EQ(1499, ns->host_net_stats.items_p[1499].rx_bytes);
  auto swap = of_code(60012);
  EXPECT_GT(swap[1].body.size(), 65536u);
  host_swap_stat_message_t *sw =
      decode(swap[1], w, host_swap_stat_message_new, host_swap_stat_message_decode);
  ASSERT_NE(nullptr, sw);
  EXPECT_EQ(200, sw->host_swap_stats.length);
  auto disk = of_code(60013);
  EXPECT_GT(disk[1].body.size(), 65536u);
  host_disk_stat_message_t *ds =
      decode(disk[1], w, host_disk_stat_message_new, host_disk_stat_message_decode);
  ASSERT_NE(nullptr, ds);
  EXPECT_EQ(1000 + 7, ds->host_disk_stats.length);
}

TEST_F(LksCollector, ProcessScanOverARecordedHost) {
  coltest::tree_copy t("host1");
  use_root(t.root);
  lks_proc_set_btime(1699990000);
  long hz = sysconf(_SC_CLK_TCK);
  ASSERT_EQ(0, get_host_process_list());
  std::vector<uint8_t> w;
  host_process_info_message_t *m =
      decode(of_code(60016)[0], w, host_process_info_message_new, host_process_info_message_decode);
  ASSERT_NE(nullptr, m);
  std::map<int64_t, const host_process_info_t *> procs;
  for (int i = 0; i < m->host_process_infos.length; i++) {
    procs[m->host_process_infos.items_p[i].pid] = &m->host_process_infos.items_p[i];
  }
  // 2 is a kernel thread, 5000 vanished, 77 has a cut stat line.
  ASSERT_EQ(2u, procs.size());
  const host_process_info_t *p = procs[4242];
  ASSERT_NE(nullptr, p);
  EXPECT_STREQ("my (odd) name", p->command_p);
  EXPECT_STREQ("my odd command", p->command_line_p);
  EXPECT_EQ(100, p->ppid);
  EXPECT_STREQ("root", p->user_name_p);
  EXPECT_EQ((12000 / hz + 1699990000) * 1000, static_cast<int64_t>(p->start_time));
  EXPECT_EQ(10485760u, p->virtual_size);
  EXPECT_EQ(300u * sysconf(_SC_PAGESIZE), p->resident_size);
  EXPECT_EQ(4096u, p->read_bytes);
  EXPECT_EQ(8192u, p->write_bytes);
  EXPECT_EQ(0, p->cpu_usage);
  EXPECT_STREQ("sleep", procs[100]->command_p);

  // 10 s later 4242 used 100 more ticks; 100's counters went back.
  t.write("/proc/4242/stat",
          "4242 (my (odd) name) S 100 4242 4242 0 -1 4194560 120 0 0 0 330 95 0 0 20 0 1 0 "
          "12000 10485760 300 1\n");
  t.write("/proc/100/stat",
          "100 (sleep) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 274996 2990080 397 1\n");
  std::string old100 = vktest::read_file(coltest::fixture("host1/proc/100/stat"));
  test_clock_advance_msec(10000);
  coltest::reports().clear();
  ASSERT_EQ(0, get_host_process_list());
  m = decode(of_code(60016)[0], w, host_process_info_message_new, host_process_info_message_decode);
  ASSERT_NE(nullptr, m);
  for (int i = 0; i < m->host_process_infos.length; i++) {
    const host_process_info_t &e = m->host_process_infos.items_p[i];
    double elapsed_ticks = 10000.0 / (1000 / hz);
    if (e.pid == 4242) {
      EXPECT_DOUBLE_EQ(100 * 100 / elapsed_ticks, e.cpu_usage);
    } else if (e.pid == 100) {
      EXPECT_EQ(0, e.cpu_usage);
    }
  }
}

// The command line is read on every scan: a process that rewrites its own
// title shows the new one at the next scan even when nothing in its stat
// line moved; a long one is cut to the field, never emptied.
TEST_F(LksCollector, CommandLineIsReadOnEveryScanAndCutToTheField) {
  coltest::tree_copy t("host1");
  use_root(t.root);
  std::vector<std::string> stat = {"4242", "(worker)", "S", "100"};
  for (int n = 5; n <= 52; n++) stat.push_back(n == 22 ? "12000" : n == 48 ? "1000" : "0");
  std::string line;
  for (const std::string &f : stat) line += (line.empty() ? "" : " ") + f;
  t.write("/proc/4242/stat", line + "\n");
  auto scan_4242 = [&]() -> std::string {
    coltest::reports().clear();
    test_clock_advance_msec(10000);
    EXPECT_EQ(0, get_host_process_list());
    std::vector<uint8_t> w;
    host_process_info_message_t *m = decode(of_code(60016)[0], w, host_process_info_message_new,
                                            host_process_info_message_decode);
    for (int i = 0; m != nullptr && i < m->host_process_infos.length; i++) {
      if (m->host_process_infos.items_p[i].pid == 4242) {
        return m->host_process_infos.items_p[i].command_line_p;
      }
    }
    return "(not listed)";
  };
  EXPECT_EQ("my odd command", scan_4242());
  std::string args5000 = std::string(2500, 'a') + '\0' + std::string(2499, 'b');
  const struct {
    std::string file;
    std::string shown;
  } steps[] = {
      {"postgres: checkpointer", "postgres: checkpointer"},
      {"postgres: walwriter", "postgres: walwriter"},
      {std::string("java\0-jar\0app.jar\0", 19), "java -jar app.jar"},
      {args5000, std::string(511, 'a')},
      {std::string(4095, 'x'), std::string(511, 'x')},
      {"", "(not listed)"},
  };
  for (const auto &s : steps) {
    ASSERT_TRUE(vktest::write_file(t.root + "/proc/4242/cmdline", s.file));
    EXPECT_EQ(s.shown, scan_4242()) << s.file.size();
  }
}

TEST_F(LksCollector, LimitsRequestAnsweredEvenForAMissingProcess) {
  use_root(coltest::fixture("host1"));
  struct {
    int64_t pid;
    int limits;
  } cases[] = {{100, 16}, {31337, 0}, {-1, 0}};
  for (const auto &c : cases) {
    std::vector<uint8_t> ws(4096);
    req_host_process_limits_message_t *req = req_host_process_limits_message_new(ws.data(), 4096);
    req->request_p = "req-7";
    req->pid = c.pid;
    uint8_t body[256];
    int len = req_host_process_limits_message_encode(req, body, sizeof(body));
    ASSERT_GT(len, 0);
    coltest::reports().clear();
    ASSERT_EQ(0, lks_process_limits_request(body, static_cast<size_t>(len)));
    auto answers = of_code(62001);
    ASSERT_EQ(1u, answers.size());
    std::vector<uint8_t> w;
    res_host_process_limits_message_t *res = decode(
        answers[0], w, res_host_process_limits_message_new, res_host_process_limits_message_decode);
    ASSERT_NE(nullptr, res);
    EXPECT_STREQ("req-7", res->request_p);
    ASSERT_EQ(c.limits, res->limits.length) << c.pid;
    if (c.limits > 0) {
      EXPECT_STREQ("Max open files", res->limits.items_p[7].name_p);
    }
  }
  // A body that does not decode: no answer, an error for the link.
  coltest::reports().clear();
  const uint8_t garbage[] = {0x0a, 0x7f, 0x01};
  EXPECT_EQ(-1, lks_process_limits_request(garbage, sizeof(garbage)));
  EXPECT_TRUE(coltest::reports().empty());
}

TEST_F(LksCollector, SystemInformationFromRecordedFiles) {
  use_root(coltest::fixture("host1"));
  ASSERT_EQ(0, send_host_system_info());
  std::vector<uint8_t> w;
  host_system_info_message_t *m =
      decode(of_code(60009)[0], w, host_system_info_message_new, host_system_info_message_decode);
  ASSERT_NE(nullptr, m);
  EXPECT_STREQ("Debian GNU/Linux 12 (bookworm)", m->os_name_p);
  EXPECT_EQ(1796719059000ll, m->boot_time);
  EXPECT_EQ(2737830, m->uptime);
  EXPECT_STREQ("GenuineIntel", m->cpu_vendor_id_p);  // the first processor only
  EXPECT_STREQ("Intel(R) Xeon(R) Processor", m->cpu_model_name_p);
  EXPECT_STREQ("167", m->cpu_model_p);
  EXPECT_STREQ("2599.998", m->cpu_mhz_p);
  EXPECT_GE(m->network_info.length, 1);  // the live interfaces

  coltest::reports().clear();
  use_root(coltest::fixture("old-kernel"));
  ASSERT_EQ(0, send_host_system_info());
  m = decode(of_code(60009)[0], w, host_system_info_message_new, host_system_info_message_decode);
  ASSERT_NE(nullptr, m);
  EXPECT_STREQ("", m->os_name_p);
  EXPECT_EQ(1700000000000ll, m->boot_time);
  EXPECT_EQ(-1, m->uptime);
  EXPECT_STREQ("", m->cpu_vendor_id_p);
}

unsigned fake_index(const char *name) {
  if (strcmp(name, "lo") == 0) return 1;
  if (strcmp(name, "eth0") == 0) return 2;
  return 7;
}

TEST_F(LksCollector, InterfaceInventoryKindsAddressesAndMissingHardwareAddress) {
  use_root(coltest::fixture("host1"));
  sockaddr_in lo4 = {}, eth4 = {}, mask4 = {}, bcast = {}, tun4 = {}, peer = {};
  sockaddr_in6 eth6 = {};
  sockaddr_ll ll = {};
  lo4.sin_family = eth4.sin_family = mask4.sin_family = bcast.sin_family = AF_INET;
  tun4.sin_family = peer.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &lo4.sin_addr);
  inet_pton(AF_INET, "10.1.2.3", &eth4.sin_addr);
  inet_pton(AF_INET, "255.255.255.0", &mask4.sin_addr);
  inet_pton(AF_INET, "10.1.2.255", &bcast.sin_addr);
  inet_pton(AF_INET, "10.9.0.1", &tun4.sin_addr);
  inet_pton(AF_INET, "10.9.0.2", &peer.sin_addr);
  eth6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fe80::1", &eth6.sin6_addr);
  ll.sll_family = AF_PACKET;
  ll.sll_halen = 6;
  const uint8_t mac[6] = {2, 0xfc, 0, 0, 0, 1};
  memcpy(ll.sll_addr, mac, 6);
  char lo[] = "lo", eth0[] = "eth0", tun0[] = "tun0";
  unsigned up = IFF_UP | IFF_RUNNING;
  ifaddrs e[6] = {};
  e[0] = {&e[1], lo, up | IFF_LOOPBACK, (sockaddr *)&lo4, nullptr, {nullptr}, nullptr};
  e[1] = {&e[2], eth0, up | IFF_BROADCAST, (sockaddr *)&ll, nullptr, {nullptr}, nullptr};
  e[2] = {
      &e[3],  eth0, up | IFF_BROADCAST, (sockaddr *)&eth4, (sockaddr *)&mask4, {(sockaddr *)&bcast},
      nullptr};
  e[3] = {&e[4],  tun0, up | IFF_POINTOPOINT, (sockaddr *)&tun4, nullptr, {(sockaddr *)&peer},
          nullptr};
  e[4] = {&e[5], eth0, up | IFF_BROADCAST, (sockaddr *)&eth6, nullptr, {nullptr}, nullptr};
  e[5] = {nullptr, tun0, up, nullptr, nullptr, {nullptr}, nullptr};
  host_if_list_t list;
  ASSERT_EQ(0, lks_net_info_build(e, fake_index, &list));
  ASSERT_EQ(3, list.count);
  EXPECT_EQ(LKS_IF_KIND_LOOPBACK, list.ifs[0].kind);  // though listed as virtual
  EXPECT_EQ(65536, list.ifs[0].mtu);
  const host_if_info_t &eth = list.ifs[1];
  EXPECT_EQ(2u, eth.index);
  EXPECT_EQ(LKS_IF_KIND_PHYSICAL, eth.kind);
  EXPECT_EQ(0, memcmp(mac, eth.mac, 6));
  EXPECT_STREQ("UP,BROADCAST,RUNNING", eth.flags);
  ASSERT_EQ(2, eth.addr_count);
  EXPECT_EQ(4, eth.addrs[0].family);
  EXPECT_EQ(0, memcmp(&bcast.sin_addr, eth.addrs[0].broadcast, 4));
  EXPECT_EQ(6, eth.addrs[1].family);
  const host_if_info_t &tun = list.ifs[2];
  EXPECT_EQ(LKS_IF_KIND_VIRTUAL, tun.kind);
  EXPECT_EQ(1400, tun.mtu);
  const uint8_t zero[6] = {};
  EXPECT_EQ(0, memcmp(zero, tun.mac, 6));
  ASSERT_EQ(1, tun.addr_count);
  EXPECT_EQ(0, memcmp(&peer.sin_addr, tun.addrs[0].destination, 4));
  host_if_list_clear(&list);
}

}  // namespace
