// The level filter, the line header, message cutting and hex dumps.
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "vklog_test_util.h"

using vklogtest::VklogFixture;

TEST(VklogLevel, FilterPassesByItsSign) {
  vklog_level_t lt = {VL_INFO, '<'};
  vklog_level_t gt = {VL_DEBUG, '>'};
  vklog_level_t eq = {VL_INFO, '='};
  vklog_level_t none = {VL_INFO, 0};
  for (int l = VL_FATAL; l <= VL_TRACE; l++) {
    EXPECT_EQ(l <= VL_INFO, vklog_level_pass(&lt, l)) << l;
    EXPECT_EQ(l >= VL_DEBUG, vklog_level_pass(&gt, l)) << l;
    EXPECT_EQ(l == VL_INFO, vklog_level_pass(&eq, l)) << l;
    EXPECT_FALSE(vklog_level_pass(&none, l)) << l;
  }
}

namespace {

std::string header(unsigned int flags, char us, int level = VL_INFO, const char *file = "./src/a.c",
                   const char *func = "fn", long line = 42) {
  char buf[512];
  int n = vl_set_header(level, flags, us, file, strlen(file), func, strlen(func), line, buf,
                        sizeof(buf));
  EXPECT_GE(n, 0);
  return n >= 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

TEST(VklogHeader, TimePidAndLevelWithMicroseconds) {
  std::string h = header(VKLOG_HEADER_TIME | VKLOG_HEADER_PID | VKLOG_HEADER_LEVEL, 1);
  EXPECT_TRUE(
      vklogtest::has_shape(h, "[## ##:##:##.######][" + std::to_string(getpid()) + "][INFO]"))
      << h;
  h = header(VKLOG_HEADER_TIME, 0);
  EXPECT_TRUE(vklogtest::has_shape(h, "[## ##:##:##]")) << h;
}

TEST(VklogHeader, FieldsKeepTheirOrderAndSourcePositionCombinations) {
  const unsigned F = VKLOG_HEADER_FILE, G = VKLOG_HEADER_FUNCTION, L = VKLOG_HEADER_LINE;
  EXPECT_EQ("[./src/a.c:fn:42]", header(F | G | L, 0));
  EXPECT_EQ("[./src/a.c:fn]", header(F | G, 0));
  EXPECT_EQ("[./src/a.c:42]", header(F | L, 0));
  EXPECT_EQ("[fn:42]", header(G | L, 0));
  EXPECT_EQ("[./src/a.c]", header(F, 0));
  EXPECT_EQ("[fn]", header(G, 0));
  EXPECT_EQ("[42]", header(L, 0));
  EXPECT_EQ("", header(0, 0));
  char tid[32];
  snprintf(tid, sizeof(tid), "%lx", static_cast<unsigned long>(pthread_self()));
  std::string pid = std::to_string(getpid());
  EXPECT_EQ("[" + pid + ":" + tid + "]", header(VKLOG_HEADER_PID | VKLOG_HEADER_THREAD_ID, 0));
  EXPECT_EQ("[" + std::string(tid) + "]", header(VKLOG_HEADER_THREAD_ID, 0));
  EXPECT_EQ("[" + pid + "][ERRO][fn]",
            header(VKLOG_HEADER_FUNCTION | VKLOG_HEADER_LEVEL | VKLOG_HEADER_PID, 0, VL_ERROR));
}

TEST(VklogHeader, LevelCodesAndOutOfRangeLevels) {
  EXPECT_EQ("[TRAC]", header(VKLOG_HEADER_LEVEL, 0, VL_TRACE));
  EXPECT_EQ("[null]", header(VKLOG_HEADER_LEVEL, 0, 8));
  EXPECT_EQ("[null]", header(VKLOG_HEADER_LEVEL, 0, -1));
}

TEST(VklogHeader, FieldThatDoesNotFitFailsWithoutOverflow) {
  // "[dd hh:mm:ss.uuuuuu]" is 20 bytes and needs 21 with its terminator.
  char buf[64];
  for (size_t size = 1; size <= 21; size++) {
    memset(buf, 'X', sizeof(buf));
    int n = vl_set_header(VL_INFO, VKLOG_HEADER_TIME, 1, "", 0, "", 0, 0, buf, size);
    EXPECT_EQ(size == 21 ? 20 : -1, n) << size;
    EXPECT_EQ('X', buf[size]) << size;  // nothing written past the buffer
    EXPECT_NE(nullptr, memchr(buf, '\0', size)) << size;
  }
  // A long file name that does not fit the remaining space.
  std::string longname(600, 'f');
  char small[512];
  EXPECT_EQ(-1, vl_set_header(VL_INFO, VKLOG_HEADER_FILE, 0, longname.c_str(), longname.size(), "f",
                              1, 1, small, sizeof(small)));
  // Lengths shorter than the strings bound what is printed.
  EXPECT_EQ(6, vl_set_header(VL_INFO, VKLOG_HEADER_FILE | VKLOG_HEADER_FUNCTION, 0, "abc", 1, "xyz",
                             2, 1, small, sizeof(small)));
  EXPECT_STREQ("[a:xy]", small);
}

class VklogLine : public VklogFixture {
 protected:
  void SetUp() override {
    VklogFixture::SetUp();
    ASSERT_EQ(0, load("[line]\noutput_type=file\nlevel=<info\nheader_flag=level\ndirectory=" +
                      dir.path + "\n"));
    h = vklog_get_category("line");
    ASSERT_NE(nullptr, h);
  }
  std::string log_text() { return vktest::read_file(path("line.log")); }
  vklog_t *h = nullptr;
};

TEST_F(VklogLine, FilteredLinesAreNotWrittenAndResultsFollowTheHandleState) {
  VKLOG(h, VL_DEBUG, "debug %d\n", 1);
  VKLOG(h, VL_INFO, "info %d\n", 2);
  EXPECT_EQ("[INFO]info 2\n", log_text());
  EXPECT_EQ(-1, vklog(nullptr, "f", 1, "g", 1, 1, VL_INFO, "x\n"));
  vklog_disable(h);
  EXPECT_EQ(0, vklog(h, "f", 1, "g", 1, 1, VL_INFO, "x\n"));
  EXPECT_EQ("[INFO]info 2\n", log_text());
  vklog_t *absent = nullptr;
  VKLOG(absent, VL_FATAL, "nothing %d\n", 3);  // a null handle logs nothing
}

TEST_F(VklogLine, MessageLongerThanTheBufferIsCutAndTerminated) {
  std::string msg(20000, 'm');
  EXPECT_EQ(0, vklog(h, "f", 1, "g", 1, 1, VL_INFO, "%s\n", msg.c_str()));
  std::string text = log_text();
  ASSERT_EQ(static_cast<size_t>(VKLOG_LINE_BUFFER_SIZE - 1), text.size());
  EXPECT_EQ("[INFO]", text.substr(0, 6));
  EXPECT_EQ(std::string(VKLOG_LINE_BUFFER_SIZE - 1 - 6, 'm'), text.substr(6));
  // One byte shorter than the room left fits whole.
  ASSERT_EQ(0, unlink(path("line.log").c_str()));
  std::string fit(VKLOG_LINE_BUFFER_SIZE - 1 - 6 - 1, 'k');
  VKLOG(h, VL_INFO, "%s\n", fit.c_str());
  EXPECT_EQ("[INFO]" + fit + "\n", log_text());
}

TEST_F(VklogLine, HexDumpOfNothingHasOnlyItsFrame) {
  static const char kEmpty[] = "";
  VKLOG_HEX(h, VL_INFO, 16, kEmpty, 0, "empty %s", "block");
  char address[32];
  snprintf(address, sizeof(address), "%lx", reinterpret_cast<unsigned long>(kEmpty));
  EXPECT_EQ(std::string("[INFO]\n======================== start hexlog ========================\n"
                        "Title: empty block, 0 byte (0x") +
                address + ")\n========================= end hexlog =========================\n\n",
            log_text());
}

TEST_F(VklogLine, HexDumpRowsShowAddressBytesAndCharacters) {
  unsigned char data[20];
  for (int i = 0; i < 20; i++) data[i] = static_cast<unsigned char>(i < 10 ? 'A' + i : i);
  VKLOG_HEX(h, VL_INFO, 0, data, sizeof(data), "t");  // column count below 1 means 8
  std::vector<std::string> lines = vklogtest::split_lines(log_text());
  ASSERT_EQ(8u, lines.size());
  char addr[32];
  snprintf(addr, sizeof(addr),
           "%016lx:", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(data)));
  EXPECT_EQ(std::string(addr) + " 41 42 43 44 45 46 47 48  ABCDEFGH", lines[3]);
  snprintf(addr, sizeof(addr),
           "%016lx:", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(data + 8)));
  EXPECT_EQ(std::string(addr) + " 49 4A 0A 0B 0C 0D 0E 0F  IJ......", lines[4]);
  snprintf(addr, sizeof(addr),
           "%016lx:", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(data + 16)));
  // The short last row is padded so its characters line up.
  EXPECT_EQ(std::string(addr) + " 10 11 12 13" + std::string(12, ' ') + "  ....", lines[5]);
}

TEST_F(VklogLine, LargeHexDumpsAndHugeColumnCountsStayInsideTheBuffer) {
  std::vector<unsigned char> data(10000, 0x5a);
  VKLOG_HEX(h, VL_INFO, 16, data.data(), data.size(), "%s", std::string(5000, 't').c_str());
  std::vector<std::string> lines = vklogtest::split_lines(log_text());
  // header+start, title, 625 rows, end
  size_t rows = 0;
  for (const std::string &l : lines)
    if (l.size() > 17 && l[16] == ':') rows++;
  EXPECT_EQ(625u, rows);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ("========================= end hexlog =========================",
            lines[lines.size() - 2]);
  ASSERT_EQ(0, unlink(path("line.log").c_str()));
  VKLOG_HEX(h, VL_INFO, 1000000, data.data(), 600, "wide");
  rows = 0;
  for (const std::string &l : vklogtest::split_lines(log_text()))
    if (l.size() > 17 && l[16] == ':') rows++;
  EXPECT_EQ(3u, rows);  // at most 256 bytes per row
}

TEST_F(VklogFixture, ChildAfterForkPrintsItsOwnPid) {
  ASSERT_EQ(0, load("[forked]\noutput_type=file\nlevel=info\nheader_flag=pid\ndirectory=" +
                    dir.path + "\n"));
  vklog_t *h = vklog_get_category("forked");
  VKLOG(h, VL_INFO, "parent\n");  // the pid is cached from here on
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    VKLOG(h, VL_INFO, "child\n");
    _exit(0);
  }
  int st = 0;
  ASSERT_EQ(child, waitpid(child, &st, 0));
  EXPECT_EQ("[" + std::to_string(getpid()) + "]parent\n[" + std::to_string(child) + "]child\n",
            vktest::read_file(path("forked.log")));
}
