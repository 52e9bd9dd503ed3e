// Configuration items, presets, finishing, environment expansion, the
// configuration file loader and category management.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "vklog_config.h"
#include "vklog_test_util.h"
#include "vklog_utils.h"

using vklogtest::VklogFixture;

namespace {

struct config_deleter {
  void operator()(vklog_config_t *c) const { vklog_config_free(c); }
};
using config_ptr = std::unique_ptr<vklog_config_t, config_deleter>;

config_ptr new_config(vklog_cfg_preset_type t = VKLOG_CFG_PRESET_NONE) {
  return config_ptr(vklog_config_new_from_preset(t));
}

int set(vklog_config_t *c, vklog_cfg_type t, const std::string &v) {
  return vklog_config_set(c, t, v.size(), v.c_str());
}

}  // namespace

TEST(VklogConfigSet, OutputTypeAcceptsListsAndRejectsUnknownWordsWhole) {
  config_ptr c = new_config();
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_OUTPUT_TYPE, "File, STDOUT"));
  EXPECT_EQ(VKLOG_OUTPUT_FILE | VKLOG_OUTPUT_STDOUT, c->output);
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_OUTPUT_TYPE, "stderr,vklogger,"));
  EXPECT_EQ(VKLOG_OUTPUT_STDERR | VKLOG_OUTPUT_VKLOGGER, c->output);
  EXPECT_EQ(VKLOG_CFG_TYPE_OUTPUT_TYPE, set(c.get(), VKLOG_CFG_TYPE_OUTPUT_TYPE, "file,syslog"));
  EXPECT_EQ(VKLOG_OUTPUT_STDERR | VKLOG_OUTPUT_VKLOGGER, c->output);  // unchanged
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_OUTPUT_TYPE, ""));
  EXPECT_EQ(0, c->output);
}

TEST(VklogConfigSet, LevelTakesOptionalSignAndSevenNamesOnly) {
  config_ptr c = new_config();
  struct {
    const char *text;
    int value;
    int sign;
  } good[] = {{"info", VL_INFO, '<'},       {">debug", VL_DEBUG, '>'}, {"=INFO", VL_INFO, '='},
              {" < Error ", VL_ERROR, '<'}, {"fatal", VL_FATAL, '<'},  {"trace", VL_TRACE, '<'}};
  for (const auto &g : good) {
    EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_LEVEL, g.text)) << g.text;
    EXPECT_EQ(g.value, c->level.value) << g.text;
    EXPECT_EQ(g.sign, c->level.inequality_sign) << g.text;
  }
  for (const char *bad : {"none", "", "<", "inf", "info2", "!info", "7"}) {
    EXPECT_EQ(VKLOG_CFG_TYPE_LEVEL, set(c.get(), VKLOG_CFG_TYPE_LEVEL, bad)) << bad;
    EXPECT_EQ(VL_TRACE, c->level.value) << bad;  // unchanged
  }
}

TEST(VklogConfigSet, NumbersNeedWholeDecimalTextInRange) {
  config_ptr c = new_config();
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_VKLOGGER_PORT, "65535"));
  EXPECT_EQ(65535, c->vklogger_port);
  for (const char *bad : {"65536", "12x", "-1", "", " ", "0x10"})
    EXPECT_EQ(VKLOG_CFG_TYPE_VKLOGGER_PORT, set(c.get(), VKLOG_CFG_TYPE_VKLOGGER_PORT, bad)) << bad;
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_LIMIT_FILE_SIZE, "4294967295"));
  EXPECT_EQ(4294967295u, c->limit_size);
  EXPECT_EQ(VKLOG_CFG_TYPE_LIMIT_FILE_SIZE,
            set(c.get(), VKLOG_CFG_TYPE_LIMIT_FILE_SIZE, "4294967296"));
  EXPECT_EQ(VKLOG_CFG_TYPE_BACKUP_FILE_COUNT, set(c.get(), VKLOG_CFG_TYPE_BACKUP_FILE_COUNT, "3a"));
}

TEST(VklogConfigSet, PermissionFallsBackTo0640AndFinishClearsExecuteBits) {
  config_ptr c = new_config();
  ASSERT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_NAME, "perm"));
  for (const char *text : {"0", "1000", "abc", "", "8"}) {
    EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_FILE_PERMISSION, text));
    EXPECT_EQ(0640u, c->file_permission) << text;
  }
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_FILE_PERMISSION, "0755"));
  EXPECT_EQ(0755u, c->file_permission);
  EXPECT_EQ(0, vklog_config_finish(c.get()));
  EXPECT_EQ(0644u, c->file_permission);
}

TEST(VklogConfigSet, FixedFieldsRejectTextThatDoesNotFit) {
  config_ptr c = new_config();
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_NAME, std::string(127, 'n')));
  EXPECT_EQ(127u, c->name_len);
  EXPECT_EQ(VKLOG_CFG_TYPE_NAME, set(c.get(), VKLOG_CFG_TYPE_NAME, std::string(128, 'n')));
  EXPECT_EQ(VKLOG_CFG_TYPE_NAME, set(c.get(), VKLOG_CFG_TYPE_NAME, ""));
  EXPECT_EQ(127u, c->name_len);
  EXPECT_EQ(VKLOG_CFG_TYPE_FILENAME, set(c.get(), VKLOG_CFG_TYPE_FILENAME, std::string(128, 'f')));
  EXPECT_EQ(VKLOG_CFG_TYPE_VKLOGGER_IP,
            set(c.get(), VKLOG_CFG_TYPE_VKLOGGER_IP, std::string(40, '1')));
  // A NUL inside the given length ends the value.
  EXPECT_EQ(0, vklog_config_set(c.get(), VKLOG_CFG_TYPE_NAME, 5, "ab\0cd"));
  EXPECT_STREQ("ab", c->name);
  EXPECT_EQ(2u, c->name_len);
  EXPECT_EQ(-2, vklog_config_set(nullptr, VKLOG_CFG_TYPE_NAME, 1, "a"));
  EXPECT_EQ(-2, vklog_config_set(c.get(), VKLOG_CFG_TYPE_NAME, 1, nullptr));
  EXPECT_EQ(VKLOG_CFG_TYPE_MAX, set(c.get(), VKLOG_CFG_TYPE_MAX, "x"));
}

TEST(VklogConfigSet, HeaderFlagsIgnoreUnknownWordsAndMicrosecondsNeedExactTrue) {
  config_ptr c = new_config();
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_HEADER_FLAG, "time, bogus ,LEVEL"));
  EXPECT_EQ(unsigned(VKLOG_HEADER_TIME | VKLOG_HEADER_LEVEL), c->header_flag);
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_HEADER_FLAG, "pid,thread_id,file,function,line"));
  EXPECT_EQ(unsigned(VKLOG_HEADER_PID | VKLOG_HEADER_THREAD_ID | VKLOG_HEADER_FILE |
                     VKLOG_HEADER_FUNCTION | VKLOG_HEADER_LINE),
            c->header_flag);
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_INCLUDE_US_TO_TIME, "true"));
  EXPECT_EQ(1, c->include_us_to_time);
  EXPECT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_INCLUDE_US_TO_TIME, "TRUE"));
  EXPECT_EQ(0, c->include_us_to_time);
}

TEST(VklogConfigFinish, DerivesPathsAndDefaults) {
  config_ptr c = new_config();
  ASSERT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_NAME, "my cat x"));
  ASSERT_EQ(0, vklog_config_finish(c.get()));
  EXPECT_STREQ("my_cat_x.log", c->out_file);
  EXPECT_STREQ("my_cat_x.log", c->out_path);  // relative without a directory
  EXPECT_STREQ("my_cat_x.log", c->backup_path);
  EXPECT_EQ(VKLOG_DEFAULT_VKLOGGER_PORT, c->vklogger_port);
  EXPECT_EQ(10u, c->limit_size);  // 0 would rotate after every line

  ASSERT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_DIRECTORY, "/var/x"));
  ASSERT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_BACKUP_DIRECTORY, "/var/b"));
  ASSERT_EQ(0, vklog_config_finish(c.get()));
  ASSERT_EQ(0, vklog_config_finish(c.get()));  // finishing twice changes nothing
  EXPECT_STREQ("/var/x/my_cat_x.log", c->out_path);
  EXPECT_STREQ("/var/b/my_cat_x.log", c->backup_path);

  // A name that leaves no room for ".log" in the 128-byte file name.
  config_ptr l = new_config();
  ASSERT_EQ(0, set(l.get(), VKLOG_CFG_TYPE_NAME, std::string(124, 'n')));
  EXPECT_EQ(-2, vklog_config_finish(l.get()));
  ASSERT_EQ(0, set(l.get(), VKLOG_CFG_TYPE_NAME, std::string(123, 'n')));
  EXPECT_EQ(0, vklog_config_finish(l.get()));
  EXPECT_EQ(127u, l->out_file_len);
}

TEST(VklogEnvironment, ReferencesExpandOrStayAsWritten) {
  char out[256];
  setenv("VKTEST_SET", "/opt/x", 1);
  setenv("VKTEST_EMPTY", "", 1);
  unsetenv("VKTEST_UNSET");
  struct {
    const char *in;
    const char *out;
  } cases[] = {
      {"${VKTEST_SET}/log", "/opt/x/log"},
      {"a${VKTEST_SET}b${VKTEST_SET}", "a/opt/xb/opt/x"},
      {"${VKTEST_UNSET}/log", "${VKTEST_UNSET}/log"},
      {"${VKTEST_EMPTY}/log", "${VKTEST_EMPTY}/log"},
      {"/x/${VKTEST_SET", "/x/${VKTEST_SET"},  // unterminated
      {"/x/$", "/x/$"},
      {"${}", "${}"},
      {"plain", "plain"},
  };
  for (const auto &c : cases) {
    int n = vklog_convert_string_Environment(c.in, strlen(c.in), out, sizeof(out));
    EXPECT_EQ(static_cast<int>(strlen(c.out)), n) << c.in;
    EXPECT_STREQ(c.out, out) << c.in;
  }
  // A value longer than 1023 characters is not substituted.
  setenv("VKTEST_LONG", std::string(1024, 'v').c_str(), 1);
  char big[4096];
  const char *ref = "${VKTEST_LONG}";
  EXPECT_EQ(14, vklog_convert_string_Environment(ref, strlen(ref), big, sizeof(big)));
  EXPECT_STREQ(ref, big);
  setenv("VKTEST_LONG", std::string(1023, 'v').c_str(), 1);
  EXPECT_EQ(1023, vklog_convert_string_Environment(ref, strlen(ref), big, sizeof(big)));
  unsetenv("VKTEST_LONG");
  unsetenv("VKTEST_SET");
  unsetenv("VKTEST_EMPTY");
}

TEST(VklogEnvironment, ResultThatDoesNotFitIsCutTerminatedAndRejectedAsDirectory) {
  char small[8];
  memset(small, 'X', sizeof(small));
  EXPECT_EQ(-1, vklog_convert_string_Environment("abcdefghij", 10, small, sizeof(small)));
  EXPECT_STREQ("abcdefg", small);
  setenv("VKTEST_MID", "0123456789", 1);
  EXPECT_EQ(-1, vklog_convert_string_Environment("${VKTEST_MID}", 13, small, sizeof(small)));
  EXPECT_EQ('\0', small[7]);
  EXPECT_EQ(-1, vklog_convert_string_Environment("${VKTEST_UNSET_X}", 17, small, sizeof(small)));
  EXPECT_EQ(-2, vklog_convert_string_Environment("a", 1, nullptr, 8));

  // Five 1000-byte values make a 5000-byte directory: the item is rejected
  // and the directory already set stays.
  setenv("VKTEST_K", std::string(1000, 'k').c_str(), 1);
  config_ptr c = new_config();
  ASSERT_EQ(0, set(c.get(), VKLOG_CFG_TYPE_DIRECTORY, "/keep"));
  EXPECT_EQ(VKLOG_CFG_TYPE_DIRECTORY,
            set(c.get(), VKLOG_CFG_TYPE_DIRECTORY,
                "${VKTEST_K}${VKTEST_K}${VKTEST_K}${VKTEST_K}${VKTEST_K}"));
  EXPECT_STREQ("/keep", c->out_dir);
  unsetenv("VKTEST_K");
  unsetenv("VKTEST_MID");
}

class VklogLoader : public VklogFixture {
 protected:
  // Loads `text` with the loader alone; the code, list freed.
  int load_code(const std::string &text, int *err_no = nullptr) {
    std::string p = path("l.conf");
    EXPECT_TRUE(vktest::write_file(p, text));
    int code = 0, e = 0;
    vklog_config_t *list = vl_load_config_from_conf_file(p.c_str(), &code, &e);
    if (err_no != nullptr) *err_no = e;
    EXPECT_EQ(list == nullptr, code != 0);
    vl_config_list_free(list);
    return code;
  }
};

TEST_F(VklogLoader, ReadsSectionsKeysAndCommentsAndIgnoresTheRest) {
  setenv("VKTEST_HOME", dir.path.c_str(), 1);
  unsetenv("VKTEST_NOPE");
  std::string text =
      "directory = /ignored/before/any/section\n"
      "# comment [not a section\n"
      "  [ first cat ]   # trailing comment\n"
      "directory = ${VKTEST_HOME}/logs\n"
      "filename=first.log\n"
      "output_type = file,stdout\n"
      "level = >debug\n"
      "header_flag = time,level,line\n"
      "include_us_in_time = true\n"
      "limit_file_size = 2\n"
      "backup_file_count = 7\n"
      "vklogger_port = not-a-number\n"
      "file_permission = 600\n"
      "unknown_key = 1\n"
      "no equals sign here\n"
      "[second]\r\n"
      "backup_directory = ${VKTEST_NOPE}/b\r\n";
  std::string p = path("l.conf");
  ASSERT_TRUE(vktest::write_file(p, text));
  int code = 1, e = 0;
  vklog_config_t *list = vl_load_config_from_conf_file(p.c_str(), &code, &e);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(0, code);
  const vklog_config_t *a = list;
  EXPECT_STREQ("first cat", a->name);
  EXPECT_EQ(dir.path + "/logs", std::string(a->out_dir));
  EXPECT_EQ(dir.path + "/logs/first.log", std::string(a->out_path));
  EXPECT_EQ(VKLOG_OUTPUT_FILE | VKLOG_OUTPUT_STDOUT, a->output);
  EXPECT_EQ(VL_DEBUG, a->level.value);
  EXPECT_EQ('>', a->level.inequality_sign);
  EXPECT_EQ(unsigned(VKLOG_HEADER_TIME | VKLOG_HEADER_LEVEL | VKLOG_HEADER_LINE), a->header_flag);
  EXPECT_EQ(2u, a->limit_size);
  EXPECT_EQ(7u, a->backup_count);
  EXPECT_EQ(VKLOG_DEFAULT_VKLOGGER_PORT, a->vklogger_port);
  EXPECT_EQ(0600u, a->file_permission);
  ASSERT_NE(nullptr, a->next);
  const vklog_config_t *b = a->next;
  // A section without output_type has the DEFAULT preset's outputs: none.
  EXPECT_STREQ("second", b->name);
  EXPECT_EQ(0, b->output);
  EXPECT_EQ(VL_ERROR, b->level.value);
  EXPECT_STREQ("${VKTEST_NOPE}/b/second.log", b->backup_path);
  EXPECT_EQ(nullptr, b->next);
  vl_config_list_free(list);
  unsetenv("VKTEST_HOME");
}

TEST_F(VklogLoader, BadFilesGiveDistinctCodes) {
  int e = 0;
  int code = 0;
  EXPECT_EQ(nullptr, vl_load_config_from_conf_file(path("missing.conf").c_str(), &code, &e));
  EXPECT_EQ(VKLOG_LOAD_OPEN_FAILED, code);
  EXPECT_EQ(ENOENT, e);
  EXPECT_EQ(nullptr, vl_load_config_from_conf_file(dir.path.c_str(), &code, &e));
  EXPECT_EQ(VKLOG_LOAD_OPEN_FAILED, code);
  EXPECT_EQ(EISDIR, e);

  EXPECT_EQ(VKLOG_LOAD_NO_SECTION, load_code(""));
  EXPECT_EQ(VKLOG_LOAD_NO_SECTION, load_code("# only a comment\nlevel=info\n"));
  EXPECT_EQ(VKLOG_LOAD_NO_BRACKET, load_code("[a]\n[broken\nlevel=info\n"));
  EXPECT_EQ(VKLOG_LOAD_BAD_SECTION, load_code("[]\nlevel=info\n"));
  EXPECT_EQ(VKLOG_LOAD_BAD_SECTION, load_code("[ \t ]\n"));
  EXPECT_EQ(VKLOG_LOAD_BAD_SECTION, load_code("[" + std::string(128, 's') + "]\n"));
  EXPECT_EQ(0, load_code("[" + std::string(123, 's') + "]\n"));
  EXPECT_EQ(VKLOG_LOAD_FINISH_FAILED, load_code("[" + std::string(127, 's') + "]\n"));
  EXPECT_EQ(VKLOG_LOAD_BAD_LEVEL, load_code("[a]\nlevel=info\n[b]\nlevel = none\n"));
  EXPECT_EQ(VKLOG_LOAD_BAD_LEVEL, load_code("[a]\nlevel=\n"));
}

TEST_F(VklogLoader, LongLinesAndValuesAreBounded) {
  // A value of 1022 characters is read; 1023 gives -13.
  EXPECT_EQ(0, load_code("[a]\nunknown = " + std::string(1022, 'v') + "\n"));
  EXPECT_EQ(VKLOG_LOAD_VALUE_TOO_LONG,
            load_code("[a]\nunknown = " + std::string(1023, 'v') + "\n"));
  EXPECT_EQ(VKLOG_LOAD_VALUE_TOO_LONG,
            load_code("[a]\ndirectory=" + std::string(5000, 'd') + "\n"));
  // A line past 1024 bytes is one line: its tail is not read as a new line.
  std::string comment = "# " + std::string(1100, 'c') + "[tail]\n";
  std::string p = path("c.conf");
  ASSERT_TRUE(vktest::write_file(p, "[only]\n" + comment + std::string(3000, 'k') + "=1\n"));
  int code = 0, e = 0;
  vklog_config_t *list = vl_load_config_from_conf_file(p.c_str(), &code, &e);
  ASSERT_NE(nullptr, list);
  EXPECT_STREQ("only", list->name);
  EXPECT_EQ(nullptr, list->next);
  vl_config_list_free(list);
  EXPECT_EQ(VKLOG_LOAD_LINE_TOO_LONG, load_code("[a]\n" + std::string(70000, 'x') + "\n"));
}

TEST_F(VklogLoader, BinaryBytesNeitherOverflowNorSneakInValues) {
  // A NUL ends its line; high bytes are ordinary characters.
  std::string text = "[bin]\nlevel = debug";
  text += std::string("\0garbage\n", 9);
  text += "filename = a\xff\xfe.log\n";
  text += std::string("\0[hidden]\n", 10);
  std::string p = path("b.conf");
  ASSERT_TRUE(vktest::write_file(p, text));
  int code = 0, e = 0;
  vklog_config_t *list = vl_load_config_from_conf_file(p.c_str(), &code, &e);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(VL_DEBUG, list->level.value);
  EXPECT_STREQ("a\xff\xfe.log", list->out_file);
  EXPECT_EQ(nullptr, list->next);
  vl_config_list_free(list);
  EXPECT_EQ(VKLOG_LOAD_NO_BRACKET, load_code(std::string("[ab\0c]\n", 7)));
  std::string noise;
  for (int i = 0; i < 4096; i++) noise.push_back(static_cast<char>((i * 7919) & 0xff));
  int rc = load_code(noise);
  EXPECT_LT(rc, 0);
}

TEST_F(VklogFixture, ByteOrderMarkBeforeTheFirstSectionIsSkipped) {
  ASSERT_EQ(0, load("\xEF\xBB\xBF[bom]\nlevel=debug\n"));
  ASSERT_NE(nullptr, vklog_get_category("bom"));
  EXPECT_EQ(VL_DEBUG, vklog_get_category("bom")->level.load().value);
  // Only at the very start of the file.
  EXPECT_EQ(VKLOG_LOAD_NO_SECTION, load("\n\xEF\xBB\xBF[late]\n"));
}

TEST_F(VklogFixture, ThirteenthSectionIsNotRegisteredWhileTwelveWork) {
  std::string text;
  for (int i = 1; i <= 13; i++)
    text += "[cat" + std::to_string(i) + "]\noutput_type=file\nlevel=info\ndirectory=" + dir.path +
            "\n";
  int e = 0;
  EXPECT_EQ(0, load(text, &e));
  EXPECT_EQ(-2, e);
  for (int i = 1; i <= 12; i++) {
    vklog_t *h = vklog_get_category(("cat" + std::to_string(i)).c_str());
    ASSERT_NE(nullptr, h) << i;
    VKLOG(h, VL_INFO, "line of %d\n", i);
    std::string got = vktest::read_file(path("cat" + std::to_string(i) + ".log"));
    std::string want = "[INFO]line of " + std::to_string(i) + "\n";
    ASSERT_GE(got.size(), want.size()) << i;
    EXPECT_EQ(want, got.substr(got.size() - want.size())) << i;
  }
  EXPECT_EQ(nullptr, vklog_get_category("cat13"));
  EXPECT_EQ(12u, g_vklog_manager.count);
}

TEST_F(VklogFixture, InitialiseCallsReportBadInputAndTakeTheConfiguration) {
  int e = 0;
  EXPECT_EQ(-11, vklog_initialize_with_config_file(path("none.conf").c_str(), &e));
  EXPECT_EQ(ENOENT, e);
  EXPECT_EQ(-11, vklog_initialize_with_config_file(nullptr, &e));
  EXPECT_EQ(-1, vklog_initialize_with_default_config(nullptr, &e));
  EXPECT_EQ(-1, vklog_initialize_with_default_config(std::string(128, 'x').c_str(), &e));
  EXPECT_EQ(-1, vklog_initialize_with_default_config("", &e));
  EXPECT_EQ(0, vklog_initialize_with_default_config("dflt", &e));
  vklog_t *h = vklog_get_category("dflt");
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(VL_ERROR, h->level.load().value);
  EXPECT_EQ(-2, vklog_apply_config(nullptr, &e));
  // A configuration without a name is refused (and freed: ASan checks).
  EXPECT_EQ(-2, vklog_apply_config(vklog_config_new(), &e));
  EXPECT_EQ(-1, e);
  vklog_config_t *c = vklog_config_new_from_preset(VKLOG_CFG_PRESET_DEFAULT_STDOUT);
  EXPECT_EQ(0, vklog_initialize_with_config(c, &e));
  EXPECT_NE(nullptr, vklog_get_category("default stdout config"));
}

TEST_F(VklogFixture, GlobalHandlesAreSetOnceAndNullNameGivesTheStdoutHandle) {
  ASSERT_EQ(0, vklog_initialize_with_default_config("main", nullptr));
  vklog_t *h = vklog_get_category("main");
  EXPECT_EQ(-1, vklog_set_global_log_handle(nullptr));
  EXPECT_EQ(0, vklog_set_global_log_handle(h));
  EXPECT_EQ(-2, vklog_set_global_log_handle(vklog_get_category(nullptr)));
  EXPECT_EQ(h, g_vklog);
  EXPECT_EQ(0, vklog_set_global_log_console_debug_handle(h));
  EXPECT_EQ(-2, vklog_set_global_log_console_debug_handle(h));
  vklog_t *s = vklog_get_category(nullptr);
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(VL_TRACE, s->level.load().value);
  EXPECT_EQ('<', s->level.load().inequality_sign);
  config_ptr sc(vklog_config_clone_from_vklog(s));
  ASSERT_NE(nullptr, sc);
  EXPECT_EQ(VKLOG_OUTPUT_STDOUT, sc->output);
  EXPECT_EQ(unsigned(VKLOG_HEADER_TIME | VKLOG_HEADER_LEVEL), sc->header_flag);
  config_ptr gc(vklog_config_clone_from_global_log());
  ASSERT_NE(nullptr, gc);
  EXPECT_STREQ("main", gc->name);
  EXPECT_EQ(0, gc->count_in_use);
  EXPECT_EQ(nullptr, gc->next);
  EXPECT_EQ(nullptr, vklog_config_clone_from_category("absent"));
}

TEST_F(VklogFixture, DeactivationVariableMakesHandlesWriteNothing) {
  std::string text = "[quiet]\noutput_type=file\nlevel=info\ndirectory=" + dir.path + "\n";
  ASSERT_EQ(0, load(text));
  setenv("LKS_DAEMON_VKLOG_DEACTIVATE", "true", 1);
  vklog_t *h = vklog_get_category("quiet");
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(0, h->activate);
  VKLOG(h, VL_INFO, "hidden\n");
  EXPECT_FALSE(vktest::file_exists(path("quiet.log")));
  setenv("LKS_DAEMON_VKLOG_DEACTIVATE", "TRUE", 1);  // only exactly "true"
  h = vklog_get_category("quiet");
  EXPECT_EQ(1, h->activate);
  unsetenv("LKS_DAEMON_VKLOG_DEACTIVATE");
  EXPECT_EQ(0, vklog_disable_from_config_name("quiet"));
  VKLOG(h, VL_INFO, "hidden\n");
  EXPECT_FALSE(vktest::file_exists(path("quiet.log")));
  EXPECT_EQ(0, vklog_enable_from_config_name("quiet"));
  VKLOG(h, VL_INFO, "shown\n");
  EXPECT_NE(std::string::npos, vktest::read_file(path("quiet.log")).find("shown"));
  EXPECT_EQ(-1, vklog_enable_from_config_name("absent"));
  EXPECT_EQ(-1, vklog_disable(nullptr));
}

TEST_F(VklogFixture, ReloadAppliesChangesKeepsConfigurationOnErrorAndSkipsUnchangedFiles) {
  std::string head = "[rl]\noutput_type=file\ndirectory=" + dir.path + "\n";
  ASSERT_EQ(0, load(head + "level=info\n"));
  vklog_t *h = vklog_get_category("rl");
  ASSERT_NE(nullptr, h);
  int e = 0;
  EXPECT_EQ(0, vklog_reload(&e));  // unchanged: nothing happens
  EXPECT_EQ(VL_INFO, h->level.load().value);

  ASSERT_TRUE(vktest::write_file(conf, head + "level=>debug\n"));
  EXPECT_EQ(0, vklog_reload(&e));
  EXPECT_EQ(VL_DEBUG, h->level.load().value);
  EXPECT_EQ('>', h->level.load().inequality_sign);

  // A broken file keeps the running configuration, and is not parsed again
  // until it changes.
  ASSERT_TRUE(vktest::write_file(conf, head + "level=loud\n"));
  EXPECT_EQ(VKLOG_LOAD_BAD_LEVEL, vklog_reload(&e));
  EXPECT_EQ(VL_DEBUG, h->level.load().value);
  EXPECT_EQ(0, vklog_reload(&e));

  ASSERT_EQ(0, unlink(conf.c_str()));
  EXPECT_EQ(VKLOG_LOAD_OPEN_FAILED, vklog_reload(&e));
  EXPECT_EQ(ENOENT, e);
  ASSERT_TRUE(vktest::write_file(conf, head + "level==warn\n"));
  EXPECT_EQ(0, vklog_reload(&e));
  EXPECT_EQ(VL_WARN, h->level.load().value);
  EXPECT_EQ('=', h->level.load().inequality_sign);

  // The recorded path stays the first one; disabling stops reloading.
  EXPECT_EQ(-1, vklog_set_config_path(path("other.conf").c_str()));
  vklog_set_reload_disable();
  ASSERT_TRUE(vktest::write_file(conf, head + "level=fatal\n"));
  EXPECT_EQ(0, vklog_reload(&e));
  EXPECT_EQ(VL_WARN, h->level.load().value);
}
