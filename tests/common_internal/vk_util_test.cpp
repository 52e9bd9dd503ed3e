#include "vk_util.h"

#include "test_clock.h"
#include "vk_clock.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

// Runs a trim function on a copy of `text` inside a buffer with a guard
// byte before and after, and checks neither guard was touched.
struct trimmed {
  std::string text;
  int removed;
};

trimmed run_trim(int (*fn)(char *, size_t, const char *), const std::string &text,
                 const char *set = nullptr) {
  std::string buf = "G" + text + std::string(1, '\0') + "G";
  int removed = fn(buf.data() + 1, text.size(), set);
  EXPECT_EQ(buf.front(), 'G');
  EXPECT_EQ(buf.back(), 'G');
  return {std::string(buf.c_str() + 1), removed};
}

}  // namespace

TEST(VkUtil, TrimFamily) {
  trimmed t = run_trim(vk_trim_ex, "  a b \r\n");
  EXPECT_EQ(t.text, "a b");
  EXPECT_EQ(t.removed, 5);

  t = run_trim(vk_ltrim_ex, "   ");
  EXPECT_EQ(t.text, "   ");
  EXPECT_EQ(t.removed, 0);
  t = run_trim(vk_trim_ex, " \t\r\n");
  EXPECT_EQ(t.text, "");
  EXPECT_EQ(t.removed, 4);
  t = run_trim(vk_rtrim_ex, "x  ");
  EXPECT_EQ(t.text, "x");
  EXPECT_EQ(t.removed, 2);
  t = run_trim(vk_ltrim_ex, "\t\tx y ");
  EXPECT_EQ(t.text, "x y ");
  EXPECT_EQ(t.removed, 2);
  t = run_trim(vk_trim_ex, "abc");
  EXPECT_EQ(t.text, "abc");
  EXPECT_EQ(t.removed, 0);

  // Length 0 touches nothing, even the byte before the text.
  t = run_trim(vk_rtrim_ex, "");
  EXPECT_EQ(t.removed, 0);
  t = run_trim(vk_trim_ex, "");
  EXPECT_EQ(t.removed, 0);
  EXPECT_EQ(vk_trim(nullptr, 4), 0);

  t = run_trim(vk_trim_ex, "\"quoted value\"", "\"");
  EXPECT_EQ(t.text, "quoted value");
  EXPECT_EQ(t.removed, 2);
  t = run_trim(vk_trim_ex, " \"x\" ", "\"");
  EXPECT_EQ(t.text, " \"x\" ");

  char plain[] = " z ";
  EXPECT_EQ(vk_trim(plain, strlen(plain)), 2);
  EXPECT_STREQ(plain, "z");
  char right[] = "z\n";
  EXPECT_EQ(vk_rtrim(right, strlen(right)), 1);
  char left[] = "\nz";
  EXPECT_EQ(vk_ltrim(left, strlen(left)), 1);
  EXPECT_STREQ(left, "z");
}

TEST(VkUtil, Basename) {
  char buf[128];
  EXPECT_STREQ(vk_basename("/opt/agent/bin/qdr-agent", buf, sizeof(buf)), "qdr-agent");
  char small[4];
  memcpy(small, "ZZZ", 4);
  EXPECT_EQ(vk_basename("/opt/agent/bin/qdr-agent", small, sizeof(small)), nullptr);
  EXPECT_STREQ(small, "ZZZ");
  EXPECT_STREQ(vk_basename("/opt/abc", small, sizeof(small)), "abc");
  EXPECT_STREQ(vk_basename("plain", buf, sizeof(buf)), "plain");
  EXPECT_STREQ(vk_basename("/dir/", buf, sizeof(buf)), "");
  EXPECT_EQ(vk_basename(nullptr, buf, sizeof(buf)), nullptr);
  EXPECT_EQ(vk_basename("x", buf, 0), nullptr);
  EXPECT_EQ(vk_basename("x", nullptr, 8), nullptr);
}

TEST(VkUtil, LocaltimeAndLastError) {
  struct tm tm_out;
  EXPECT_EQ(localtime_vk(&tm_out, 0), 0);
  EXPECT_GE(tm_out.tm_year, 69);
  EXPECT_EQ(localtime_vk(nullptr, 0), -1);
  errno = ENOENT;
  EXPECT_EQ(get_last_error(), ENOENT);
}

TEST(VkUtil, CopyFieldFitsOrLeavesFieldUnchanged) {
  char field[4] = {'x', 'x', 'x', 'x'};
  EXPECT_TRUE(vk_copy_field(field, sizeof(field), "abc"));
  EXPECT_STREQ(field, "abc");
  EXPECT_FALSE(vk_copy_field(field, sizeof(field), "abcd"));
  EXPECT_STREQ(field, "abc");
  EXPECT_TRUE(vk_copy_field(field, sizeof(field), ""));
  EXPECT_STREQ(field, "");
  EXPECT_FALSE(vk_copy_field(field, 0, "a"));
  EXPECT_TRUE(vk_copy_field(field, sizeof(field), std::string_view()));
  EXPECT_STREQ(field, "");
}

TEST(VkUtil, ClockTableMovesEveryReadingTogether) {
  test_clock_install(1700000000123ULL);
  uint64_t mono = vk_monotonic_msec();
  EXPECT_EQ(vk_get_time_msec(), 1700000000123ULL);
  EXPECT_EQ(vk_sleep(60000), 0);  // a manual clock's sleep does not move it
  EXPECT_EQ(vk_get_time_msec(), 1700000000123ULL);
  test_clock_advance_msec(2500);
  EXPECT_EQ(vk_get_time_msec(), 1700000002623ULL);
  EXPECT_EQ(vk_get_time_nsec(), 1700000002623ULL * 1000000ULL);
  EXPECT_EQ(vk_monotonic_msec(), mono + 2500);
  test_clock_uninstall();
  EXPECT_GT(vk_get_time_msec(), 1700000002623ULL);
  EXPECT_NE(vk_monotonic_msec(), 0u);
}

// Well-formed UTF-8 characters and the byte runs that are not one.
TEST(VkUtil, Utf8CharLenTakesWholeWellFormedCharactersOnly) {
  const struct {
    std::string bytes;
    size_t len;
  } rows[] = {
      {"a", 1},
      {"\xC3\xA9", 2},                // é
      {"\xE2\x82\xAC", 3},            // €
      {"\xF0\x9F\x98\x80", 4},        // U+1F600
      {"\xF4\x8F\xBF\xBF", 4},        // U+10FFFF, the last code point
      {"\xE2\x82", 0},                // cut
      {"\x80", 0},                    // a stray continuation byte
      {"\xC0\xAF", 0},                // overlong
      {"\xE0\x80\xAF", 0},            // overlong
      {"\xED\xA0\x80", 0},            // a UTF-16 surrogate
      {"\xF4\x90\x80\x80", 0},        // past U+10FFFF
      {"\xE2\x28\xA1", 0},            // a bad continuation byte
      {"\xFF", 0},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(vk_utf8_char_len(reinterpret_cast<const uint8_t *>(row.bytes.data()),
                               row.bytes.size()),
              row.len)
        << testing::PrintToString(row.bytes);
  }
  EXPECT_EQ(vk_utf8_char_len(nullptr, 4), 0u);
  EXPECT_EQ(vk_utf8_char_len(reinterpret_cast<const uint8_t *>("a"), 0), 0u);
}
