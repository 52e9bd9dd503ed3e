#include "util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

struct MaskCase {
  const char *group;  // null: unset
  const char *other;
  const char *other_wr;
  int result;
  mode_t mask;
};

void set_or_unset(const char *name, const char *value) {
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

TEST(HostUmask, EnvironmentWordsGiveTheMaskAndNoVariableGivesOtherWriteOff) {
  const MaskCase cases[] = {
      // No variable at all: other users may not write the agent's files.
      {nullptr, nullptr, nullptr, 0, 0002},
      {nullptr, nullptr, "true", 0, 0},
      {nullptr, nullptr, "false", 0, 0002},
      {nullptr, nullptr, "maybe", -1, 0},
      {"read,write", nullptr, nullptr, 0, 0060},
      {"write", "read, write", nullptr, 0, 0026},
      {nullptr, "read,exec", "true", 0, 0004},  // PERM_FILE_OTHER_WR not consulted
      {"", nullptr, "maybe", 0, 0},             // set but empty: no bits, no check
  };
  for (const MaskCase &c : cases) {
    set_or_unset("REMOVE_PERM_GROUP", c.group);
    set_or_unset("REMOVE_PERM_OTHER", c.other);
    set_or_unset("PERM_FILE_OTHER_WR", c.other_wr);
    mode_t mask = 0777;
    EXPECT_EQ(host_umask_from_env(&mask), c.result)
        << (c.group ? c.group : "-") << " " << (c.other ? c.other : "-");
    if (c.result == 0) {
      EXPECT_EQ(mask, c.mask) << (c.group ? c.group : "-") << " " << (c.other ? c.other : "-");
    }
  }
  unsetenv("REMOVE_PERM_GROUP");
  unsetenv("REMOVE_PERM_OTHER");
  unsetenv("PERM_FILE_OTHER_WR");
}

TEST(HostVersion, CompilerDatesBecomeYearMonthDay) {
  struct {
    const char *in;
    int result;
    const char *out;
  } cases[] = {
      {"Mar  8 2024", 0, "24-03-08"}, {"Dec 31 1999", 0, "99-12-31"},
      {"Jan 10 2100", 0, "00-01-10"}, {"Foo  8 2024", -1, "00-00-00"},
      {"Mar 8 2024", -1, "00-00-00"}, {"", -1, "00-00-00"},
  };
  for (const auto &c : cases) {
    char out[16];
    EXPECT_EQ(host_build_date(c.in, out, sizeof(out)), c.result) << c.in;
    EXPECT_STREQ(out, c.out) << c.in;
  }
}

}  // namespace
