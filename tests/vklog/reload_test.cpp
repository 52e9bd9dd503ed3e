// Logging from several threads while the configuration is reloaded and
// while files rotate: no crash, no lost or torn lines. Also run under
// ThreadSanitizer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vklog_test_util.h"

using vklogtest::file_size;
using vklogtest::VklogFixture;

namespace {

constexpr int kThreads = 4;

// Checks every line of `text`: a header of bracketed fields, then
// "T<thread> L<line> <payload> end". Adds each (thread, line) to `seen`;
// returns the number of lines that do not match.
int check_lines(const std::string &text, std::set<std::pair<int, int>> *seen, int *duplicates) {
  int bad = 0;
  for (const std::string &l : vklogtest::split_lines(text)) {
    size_t at = 0;
    while (at < l.size() && l[at] == '[' && l.find(']', at) != std::string::npos)
      at = l.find(']', at) + 1;
    const char *p = l.data() + at;
    const char *end = l.data() + l.size();
    int thread = -1, line = -1;
    bool ok =
        end - p > 4 && p[0] == 'T' && p[1] >= '0' && p[1] <= '9' && p[2] == ' ' && p[3] == 'L';
    if (ok) {
      thread = p[1] - '0';
      auto r = std::from_chars(p + 4, end, line);
      p = r.ptr;
      ok = r.ec == std::errc() && p < end && *p == ' ';
    }
    if (ok) {
      for (p++; p < end && *p >= 'a' && *p <= 'z';) p++;
      ok = std::string_view(p, static_cast<size_t>(end - p)) == " end";
    }
    if (!ok) {
      bad++;
      continue;
    }
    if (!seen->insert({thread, line}).second) (*duplicates)++;
  }
  return bad;
}

// A UDP socket on 127.0.0.1 that only soaks up datagrams; its port.
int sink_socket(int *port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) return -1;
  socklen_t len = sizeof(sa);
  getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return s;
}

}  // namespace

TEST_F(VklogFixture, ReloadWhileFourThreadsLogLosesAndTearsNoLine) {
  int port = 0;
  int sink = sink_socket(&port);
  ASSERT_GE(sink, 0);
  // Each version differs in file, header, level sign and remote output; all
  // let notice lines through.
  const std::string versions[] = {
      "filename=a.log\nheader_flag=time,pid,level\nlevel=<info\ninclude_us_in_time=true\n",
      "filename=b.log\nheader_flag=thread_id,function,line,file\nlevel=<trace\n"
      "output_type=file,vklogger\nvklogger_ip=127.0.0.1\nvklogger_port=" +
          std::to_string(port) + "\n",
      "filename=a.log\nheader_flag=level\nlevel=>notice\noutput_type=file,vklogger\n"
      "vklogger_ip=127.0.0.1\nvklogger_port=" +
          std::to_string(port + 1 > 65535 ? port - 1 : port + 1) + "\n",
      "filename=b.log\nheader_flag=\nlevel==notice\n",
  };
  auto config_text = [&](int v) {
    return "[live]\noutput_type=file\ndirectory=" + dir.path + "\n" + versions[v % 4] +
           "# version " + std::to_string(v) + "\n";
  };
  ASSERT_EQ(0, load(config_text(0)));
  vklog_t *h = vklog_get_category("live");
  ASSERT_NE(nullptr, h);

  constexpr int kLines = 2500;
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([h, t, &running] {
      for (int i = 0; i < kLines; i++) VKLOG(h, VL_NOTICE, "T%d L%d payload end\n", t, i);
      running--;
    });
  }
  // Rewrite (write and rename, as editors do) and reload while they log;
  // bounded in rounds.
  int reloads = 0;
  for (int v = 1; v <= 3000 && running.load() > 0; v++) {
    std::string tmp = path("log.conf.tmp");
    ASSERT_TRUE(vktest::write_file(tmp, config_text(v)));
    ASSERT_EQ(0, rename(tmp.c_str(), conf.c_str()));
    int e = 0;
    ASSERT_EQ(0, vklog_reload(&e));
    reloads++;
  }
  for (std::thread &th : threads) th.join();
  close(sink);

  std::set<std::pair<int, int>> seen;
  int duplicates = 0;
  int bad = check_lines(vktest::read_file(path("a.log")), &seen, &duplicates) +
            check_lines(vktest::read_file(path("b.log")), &seen, &duplicates);
  EXPECT_EQ(0, bad);
  EXPECT_EQ(0, duplicates);
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
  EXPECT_GT(reloads, 0);
  EXPECT_EQ(nullptr, h->config_temp);  // every replaced configuration was freed
}

TEST_F(VklogFixture, ConcurrentWritersRotateEachFullFileExactlyOnce) {
  ASSERT_EQ(0, load("[par]\noutput_type=file\nlevel=info\nheader_flag=level\nlimit_file_size=1\n"
                    "backup_file_count=20\ndirectory=" +
                    dir.path + "\n"));
  vklog_t *h = vklog_get_category("par");
  constexpr int kLines = 900;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([h, t] {
      std::string pad(1000, 'q');
      for (int i = 0; i < kLines; i++) VKLOG(h, VL_INFO, "T%d L%d %s end\n", t, i, pad.c_str());
    });
  }
  for (std::thread &th : threads) th.join();

  std::set<std::pair<int, int>> seen;
  int duplicates = 0;
  int bad = check_lines(vktest::read_file(path("par.log")), &seen, &duplicates);
  int backups = 0;
  std::string sizes = "par.log " + std::to_string(file_size(path("par.log")));
  for (int n = 1; n <= 20; n++) {
    std::string b = path("par.log." + std::to_string(n));
    if (!vktest::file_exists(b)) continue;
    backups++;
    sizes += ", ." + std::to_string(n) + " " + std::to_string(file_size(b));
    // A file is rotated only once it is full: no near-empty backups from two
    // threads rotating the same file.
    EXPECT_GE(file_size(b), 1 << 20) << b;
    bad += check_lines(vktest::read_file(b), &seen, &duplicates);
  }
  // Every full file was rotated: the live one is at most the size checks'
  // distance past the limit (one check of 64 KiB, one more for a check owed
  // during a rotation, and the lines in flight). How many backups hold the
  // 3.5 MiB depends on how much the other writers added to a file while a
  // rotation of it waited for a core: two or three.
  EXPECT_LT(file_size(path("par.log")), (1 << 20) + 192 * 1024) << sizes;
  EXPECT_GE(backups, 2) << sizes;
  EXPECT_LE(backups, 3) << sizes;
  EXPECT_EQ(0, bad);
  EXPECT_EQ(0, duplicates);
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}
