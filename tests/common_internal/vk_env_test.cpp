#include "vk_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

void collect(const vk_env_event *e, void *arg) {
  static_cast<std::vector<vk_env_event> *>(arg)->push_back(*e);
}

// Each row under both rule sets: the configuration reader's (normalising,
// names up to 127) and the logging library's (literal, names up to 255).
TEST(VkEnv, ReferencesResolveOrStayAsEachRuleSetSays) {
  setenv("VKE_SET", "/opt/x", 1);
  setenv("VKE_EMPTY", "", 1);
  unsetenv("VKE_UNSET");
  setenv("VKE_HUGE", std::string(VK_ENV_VALUE_MAX + 1, 'h').c_str(), 1);
  setenv("VKE_BIG", std::string(VK_ENV_VALUE_MAX, 'b').c_str(), 1);
  std::string n128(128, 'N');
  setenv(n128.c_str(), "long-name", 1);
  struct {
    std::string in, normalised, literal;
  } rows[] = {
      {"${VKE_SET}/log", "/opt/x/log", "/opt/x/log"},
      {"a${VKE_SET}b$VKE_SET}", "a/opt/xb/opt/x", "a/opt/xb/opt/x"},
      {"${VK{E_SET}", "/opt/x", "/opt/x"},
      {"${VKE_UNSET}/l", "${VKE_UNSET}/l", "${VKE_UNSET}/l"},
      {"$VKE_UNSET}", "${VKE_UNSET}", "$VKE_UNSET}"},
      {"${VKE_EMPTY}", "${VKE_EMPTY}", "${VKE_EMPTY}"},
      {"${VK$E_SET}", "/opt/x", "${VK$E_SET}"},
      {"/x/${VKE_SET", "/x/", "/x/${VKE_SET"},
      {"/x/$", "/x/", "/x/$"},
      {"${}", "${}", "${}"},
      {"${VKE_HUGE}", "${VKE_HUGE}", "${VKE_HUGE}"},
      {"${VKE_BIG}", std::string(VK_ENV_VALUE_MAX, 'b'), std::string(VK_ENV_VALUE_MAX, 'b')},
      {"${" + n128 + "}", "${" + n128 + "}", "long-name"},
      {"plain", "plain", "plain"},
  };
  for (const auto &r : rows) {
    for (int literal = 0; literal < 2; literal++) {
      std::vector<vk_env_event> events;
      vk_env_rules rules{literal, literal ? 255u : 127u, collect, &events};
      char out[2048];
      size_t len = 99;
      ASSERT_EQ(0, vk_env_expand(r.in.c_str(), r.in.size(), &rules, out, sizeof(out), &len));
      const std::string &want = literal ? r.literal : r.normalised;
      EXPECT_EQ(want, out) << r.in << " literal " << literal;
      EXPECT_EQ(want.size(), len) << r.in;
      bool huge = r.in == "${VKE_HUGE}";
      ASSERT_EQ(huge ? 1u : 0u, events.size()) << r.in;
      if (huge) {
        EXPECT_STREQ("VKE_HUGE", events[0].name);
      }
    }
  }
  unsetenv("VKE_SET");
  unsetenv("VKE_EMPTY");
  unsetenv("VKE_HUGE");
  unsetenv("VKE_BIG");
  unsetenv(n128.c_str());
}

TEST(VkEnv, APieceThatDoesNotFitStopsTheExpansionWithWhatCameBefore) {
  setenv("VKE_MID", "0123456789", 1);
  unsetenv("VKE_UNSET");
  struct {
    const char *in;
    int literal;
    const char *out;
    int piece;
    size_t piece_size, rest;
  } rows[] = {
      {"abcdefghij", 0, "abcdefg", VK_ENV_PIECE_TEXT, 1, 3},
      {"ab${VKE_MID}cd", 1, "ab", VK_ENV_PIECE_VALUE, 10, 12},
      {"x${VKE_UNSET}", 0, "x", VK_ENV_PIECE_REFERENCE, 12, 12},
      {"x$VKE_UNSET}", 1, "x", VK_ENV_PIECE_REFERENCE, 11, 11},
      {"xy${VKE_UNS", 1, "xy", VK_ENV_PIECE_TAIL, 9, 9},
  };
  for (const auto &r : rows) {
    std::vector<vk_env_event> events;
    vk_env_rules rules{r.literal, 127, collect, &events};
    char out[8];
    size_t len = 99;
    EXPECT_EQ(-2, vk_env_expand(r.in, strlen(r.in), &rules, out, sizeof(out), &len)) << r.in;
    EXPECT_STREQ(r.out, out);
    EXPECT_EQ(strlen(r.out), len);
    ASSERT_EQ(1u, events.size()) << r.in;
    EXPECT_EQ(VK_ENV_EVENT_OVERFLOW, events[0].type);
    EXPECT_EQ(r.piece, events[0].piece) << r.in;
    EXPECT_EQ(r.piece_size, events[0].piece_size) << r.in;
    EXPECT_EQ(r.rest, events[0].rest) << r.in;
    EXPECT_EQ(len, events[0].len);
  }
  // Input stops at its length or a NUL byte; bad arguments leave out alone.
  vk_env_rules quiet{1, 255, nullptr, nullptr};
  char out[8] = "keep";
  EXPECT_EQ(0, vk_env_expand("ab\0cd", 5, &quiet, out, sizeof(out), nullptr));
  EXPECT_STREQ("ab", out);
  EXPECT_EQ(0, vk_env_expand("abcdef", 3, &quiet, out, sizeof(out), nullptr));
  EXPECT_STREQ("abc", out);
  EXPECT_EQ(-1, vk_env_expand(nullptr, 1, &quiet, out, sizeof(out), nullptr));
  EXPECT_EQ(-1, vk_env_expand("a", 1, nullptr, out, sizeof(out), nullptr));
  EXPECT_EQ(-1, vk_env_expand("a", 1, &quiet, out, 0, nullptr));
  EXPECT_STREQ("abc", out);
  unsetenv("VKE_MID");
}

}  // namespace
