#include "vk_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "test_process.h"

namespace {

// A configuration file in a fresh temporary directory.
struct conf_file {
  vktest::temp_dir dir;
  std::string path;
  explicit conf_file(const std::string &text) : path(dir.path + "/qdr.conf") {
    vktest::write_file(path, text);
  }
};

std::string read_key(const std::string &path, const char *key, const char *def = "DEF",
                     size_t size = VK_CONFIG_BUFFER_SIZE) {
  std::string buf(size, 'Z');
  EXPECT_EQ(ReadConfStringEx(path.c_str(), key, buf.data(), size, def), 0);
  return std::string(buf.c_str());
}

std::string expand(const char *input, size_t size, int *len = nullptr) {
  std::string buf(size + 8, 'Z');
  int n = convert_string_Environment(input, buf.data(), size);
  if (len != nullptr) *len = n;
  EXPECT_EQ(buf[size + 1], 'Z') << "wrote past the result size";
  return std::string(buf.c_str());
}

}  // namespace

TEST(VkConfig, ParsesKeysValuesAndComments) {
  conf_file f(
      "# leading comment\n"
      "[section]\n"
      "no equals sign here\n"
      "key = value  # trailing comment\n"
      "eq=a=b\n"
      "  spaced\t=\t padded value \t\n"
      "empty=\n"
      "blank=    \n"
      "Key=upper\n"
      "quoted=\"in quotes\"\n"
      "hash=#all comment\n");
  EXPECT_EQ(read_key(f.path, "key"), "value");
  EXPECT_EQ(read_key(f.path, "eq"), "a=b");
  EXPECT_EQ(read_key(f.path, "spaced"), "padded value");
  EXPECT_EQ(read_key(f.path, "empty"), "DEF");
  EXPECT_EQ(read_key(f.path, "blank"), "DEF");
  EXPECT_EQ(read_key(f.path, "Key"), "upper");
  EXPECT_EQ(read_key(f.path, "KEY"), "DEF");
  EXPECT_EQ(read_key(f.path, "quoted"), "\"in quotes\"");
  EXPECT_EQ(read_key(f.path, "hash"), "DEF");
  EXPECT_EQ(read_key(f.path, "[section]"), "DEF");
  EXPECT_EQ(read_key(f.path, "no equals sign here"), "DEF");
}

TEST(VkConfig, FirstOfDuplicateKeysWinsAndCrLfReadsLikeLf) {
  conf_file f("dup=first\r\ndup=second\r\nlast=x\r\n");
  EXPECT_EQ(read_key(f.path, "dup"), "first");
  EXPECT_EQ(read_key(f.path, "last"), "x");
}

TEST(VkConfig, MissingFileOrKeyGivesDefaultUnexpanded) {
  setenv("VKT_HOME", "/h", 1);
  EXPECT_EQ(read_key("/nonexistent/dir/qdr.conf", "key", "${VKT_HOME}/d"), "${VKT_HOME}/d");
  conf_file f("other=1\n");
  EXPECT_EQ(read_key(f.path, "key", "fallback"), "fallback");
  EXPECT_EQ(read_key(f.path, "key", nullptr), "");
  char v[8];
  EXPECT_EQ(_get_config_string("/nonexistent/qdr.conf", "key", v, sizeof(v)), -1);
  EXPECT_EQ(_get_config_string(f.path.c_str(), "key", v, sizeof(v)), -1);
}

TEST(VkConfig, DefaultLongerThanBufferIsCut) {
  EXPECT_EQ(read_key("/nonexistent", "k", "abcdefghij", 5), "abcd");
}

TEST(VkConfig, OverLongLinesKeepOnlyTheirFirst1023BytesAndAByteOrderMarkIsSkipped) {
  std::string v1023(1023 - 4 - 1, 'v');  // "key=" + value + "\n" is 1023 bytes
  std::string filler(1023 - 5, 'f');
  const std::string bom = "\xEF\xBB\xBF";
  struct row {
    std::string text;
    const char *key;
    std::string want;
  };
  const row rows[] = {
      {"key=" + v1023 + "\nnext=n\n", "key", v1023},
      {"key=" + v1023 + "\nnext=n\n", "next", "n"},
      // The tail of a long comment or value is not a setting of its own.
      {"#" + std::string(1022, 'x') + "receiver_port=4444\n", "receiver_port", "DEF"},
      {"long=" + filler + "piece=tail\nnext=n\n", "long", filler},
      {"long=" + filler + "piece=tail\nnext=n\n", "piece", "DEF"},
      {"long=" + filler + "piece=tail\nnext=n\n", "next", "n"},
      {std::string(3000, 'y') + "\nnext=n", "next", "n"},
      {bom + "key=v\n", "key", "v"},
      {"key=v\n" + bom + "other=o\n", "other", "DEF"},  // only before the first line
  };
  for (const row &r : rows) {
    conf_file f(r.text);
    EXPECT_EQ(read_key(f.path, r.key), r.want) << r.key << " in " << r.text.substr(0, 40);
  }
}

TEST(VkConfig, OnlyRegularFilesAreRead) {
  vktest::temp_dir dir;
  char v[8];
  EXPECT_EQ(_get_config_string(dir.path.c_str(), "key", v, sizeof(v)), -2);
  EXPECT_EQ(_get_config_string("/dev/null", "key", v, sizeof(v)), -2);
  EXPECT_EQ(read_key(dir.path, "key"), "DEF");
}

TEST(VkConfig, ValueLongerThanBufferIsCut) {
  std::string value(1500, 'x');
  conf_file f("k=" + value.substr(0, 1000) + "\n");
  EXPECT_EQ(read_key(f.path, "k").size(), 1000u);
  EXPECT_EQ(read_key(f.path, "k", "d", 11), std::string(10, 'x'));
  char small[4];
  EXPECT_EQ(_get_config_string(f.path.c_str(), "k", small, sizeof(small)), 0);
  EXPECT_STREQ(small, "xxx");
}

TEST(VkConfig, BinaryBytesAreReadSafely) {
  std::string text = std::string("bin=a\x01\xff") + '\0' + "hidden\nnext=ok\n";
  conf_file f(text);
  EXPECT_EQ(read_key(f.path, "bin"), "a\x01\xff");
  EXPECT_EQ(read_key(f.path, "next"), "ok");
}

TEST(VkConfig, ValuesAreExpandedAndFileChangesAreSeen) {
  setenv("VKT_HOME", "/h", 1);
  unsetenv("VKT_UNSET");
  conf_file f("path=${VKT_HOME}/log\nmissing=${VKT_UNSET}/x\nopen=a${VKT_HOME\n");
  EXPECT_EQ(read_key(f.path, "path"), "/h/log");
  EXPECT_EQ(read_key(f.path, "missing"), "${VKT_UNSET}/x");
  EXPECT_EQ(read_key(f.path, "open"), "a");
  vktest::write_file(f.path, "path=changed\n");
  EXPECT_EQ(read_key(f.path, "path"), "changed");
}

TEST(VkConfigEnv, ReferenceForms) {
  setenv("VKT_HOME", "/h", 1);
  unsetenv("VKT_UNSET");
  setenv("VKT_EMPTY", "", 1);
  EXPECT_EQ(expand("${VKT_HOME}/x", 64), "/h/x");
  EXPECT_EQ(expand("$VKT_HOME}/x", 64), "/h/x");
  EXPECT_EQ(expand("${VKT_{HOME}/x", 64), "/h/x");
  EXPECT_EQ(expand("${VKT_$HOME}", 64), "/h");
  EXPECT_EQ(expand("${VKT_UNSET}/x", 64), "${VKT_UNSET}/x");
  EXPECT_EQ(expand("$VKT_UNSET}", 64), "${VKT_UNSET}");
  EXPECT_EQ(expand("${VKT_EMPTY}", 64), "${VKT_EMPTY}");
  EXPECT_EQ(expand("a${VKT_HOME", 64), "a");
  EXPECT_EQ(expand("abc$VKT_HOME/x", 64), "abc");
  EXPECT_EQ(expand("no refs", 64), "no refs");
  EXPECT_EQ(expand("", 64), "");
  int len = 0;
  EXPECT_EQ(expand("${VKT_HOME}${VKT_HOME}", 64, &len), "/h/h");
  EXPECT_EQ(len, 4);
}

TEST(VkConfigEnv, ResultBoundIsKept) {
  testing::internal::CaptureStdout();
  int len = 0;
  EXPECT_EQ(expand("abcdefghij", 8, &len), "abcdefg");
  EXPECT_EQ(len, 7);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[convert_string_Environment] (result) buffer size over.(need:3)\n");

  // A value that does not fit is not appended in part.
  setenv("VKT_LONG", "0123456789", 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(expand("ab${VKT_LONG}cd", 8), "ab");
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("buffer size over.(need:"), std::string::npos);

  // Nor is a written-back reference.
  unsetenv("VKT_UNSET");
  testing::internal::CaptureStdout();
  EXPECT_EQ(expand("x${VKT_UNSET}", 8), "x");
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(expand("abc", 1), "");
  EXPECT_EQ(expand("abc", 4), "abc");
  EXPECT_EQ(convert_string_Environment(nullptr, nullptr, 4), -1);
  char one[1];
  EXPECT_EQ(convert_string_Environment(nullptr, one, 1), -1);
  EXPECT_EQ(convert_string_Environment("x", one, 0), -1);
}

TEST(VkConfigEnv, OverlongValueAndNameStayAsReferences) {
  setenv("VKT_HUGE", std::string(1024, 'h').c_str(), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(expand("${VKT_HUGE}", 64), "${VKT_HUGE}");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[convert_string_Environment] getenv_vk() error.(ret:-3)\n");
  setenv("VKT_BIG", std::string(1023, 'b').c_str(), 1);
  EXPECT_EQ(expand("${VKT_BIG}", 2048), std::string(1023, 'b'));

  // A name of 127 characters is looked up; a longer one is written back whole.
  std::string name127(127, 'N');
  setenv(name127.c_str(), "ok", 1);
  EXPECT_EQ(expand(("${" + name127 + "}").c_str(), 512), "ok");
  std::string name128(128, 'N');
  setenv(name128.c_str(), "must-not-be-used", 1);
  EXPECT_EQ(expand(("${" + name128 + "}/x").c_str(), 512), "${" + name128 + "}/x");
  EXPECT_EQ(expand(("$" + name128 + "{}").c_str(), 512), "${" + name128 + "}");
  // Dropped braces inside a long name do not count against the bound.
  std::string braced = "${" + name128.substr(0, 64) + "{{{{" + name128.substr(64) + "}";
  EXPECT_EQ(expand(braced.c_str(), 128 + 3 + 1), "${" + name128 + "}");
  std::string name2000(2000, 'Q');
  EXPECT_EQ(expand(("${" + name2000 + "}").c_str(), 4096), "${" + name2000 + "}");
}

TEST(VkConfigEnv, GetenvResults) {
  char buf[8];
  setenv("VKT_SEVEN", "1234567", 1);
  setenv("VKT_EIGHT", "12345678", 1);
  unsetenv("VKT_UNSET");
  EXPECT_EQ(getenv_vk(buf, sizeof(buf), "VKT_SEVEN"), 7);
  EXPECT_STREQ(buf, "1234567");
  EXPECT_EQ(getenv_vk(buf, sizeof(buf), "VKT_EIGHT"), -3);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(getenv_vk(buf, sizeof(buf), "VKT_UNSET"), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(getenv_vk(nullptr, 8, "VKT_SEVEN"), -1);
  EXPECT_EQ(getenv_vk(buf, 0, "VKT_SEVEN"), -1);
}

TEST(VkConfig, ForEachHandsOverEveryKeyValueLineInOrder) {
  conf_file f(
      "\xEF\xBB\xBF"
      "a = 1 # note\n"
      "no equals sign\n"
      "# b=2\n"
      "a=${X}\n"
      " c =\n");
  std::vector<std::string> seen;
  auto collect = [](const char *key, const char *value, int line, void *arg) {
    static_cast<std::vector<std::string> *>(arg)->push_back(std::string(key) + "|" + value + "|" +
                                                            std::to_string(line));
  };
  EXPECT_EQ(vk_config_for_each(f.path.c_str(), collect, &seen), 3);
  EXPECT_EQ(seen, (std::vector<std::string>{"a|1|1", "a|${X}|4", "c||5"}));
  EXPECT_EQ(vk_config_for_each("/nonexistent/qdr.conf", collect, &seen), -1);
  EXPECT_EQ(vk_config_for_each(f.dir.path.c_str(), collect, &seen), -2);
  EXPECT_EQ(vk_config_for_each(f.path.c_str(), nullptr, nullptr), -1);
}
