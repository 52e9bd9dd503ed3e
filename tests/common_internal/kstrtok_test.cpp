#include "kstrtok.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> tokens(int slot, char *text, const char *delims) {
  std::vector<std::string> out;
  char *t = kstrtok(slot, text, delims);
  for (int guard = 0; t != nullptr && guard < 1000; guard++) {
    out.emplace_back(t);
    t = kstrtok(slot, nullptr, delims);
  }
  return out;
}

}  // namespace

TEST(Kstrtok, SplitsLikeStrtok) {
  int slot = kstrtokbegin();
  ASSERT_GE(slot, 0);
  char a[] = "a,,b";
  EXPECT_EQ(tokens(slot, a, ","), (std::vector<std::string>{"a", "b"}));
  char b[] = "  lead and trail  ";
  EXPECT_EQ(tokens(slot, b, " "), (std::vector<std::string>{"lead", "and", "trail"}));
  char c[] = ",,,";
  EXPECT_EQ(tokens(slot, c, ","), std::vector<std::string>{});
  char d[] = "";
  EXPECT_EQ(tokens(slot, d, ","), std::vector<std::string>{});
  char e[] = "k=v;x\t=y";
  EXPECT_EQ(tokens(slot, e, "=;\t"), (std::vector<std::string>{"k", "v", "x", "y"}));
  // Delimiters above 0x7f compare as unsigned bytes.
  char f[] =
      "a\xff"
      "b\x80"
      "c";
  EXPECT_EQ(tokens(slot, f, "\xff\x80"), (std::vector<std::string>{"a", "b", "c"}));
  // After the end, further calls keep answering null.
  EXPECT_EQ(kstrtok(slot, nullptr, ","), nullptr);
  EXPECT_EQ(kstrtokend(slot), 0);
}

TEST(Kstrtok, SlotsKeepTheirOwnPositions) {
  int s1 = kstrtokbegin();
  int s2 = kstrtokbegin();
  ASSERT_GE(s1, 0);
  ASSERT_GE(s2, 0);
  ASSERT_NE(s1, s2);
  char outer[] = "1 2 3";
  char inner[] = "x,y";
  EXPECT_STREQ(kstrtok(s1, outer, " "), "1");
  EXPECT_STREQ(kstrtok(s2, inner, ","), "x");
  EXPECT_STREQ(kstrtok(s1, nullptr, " "), "2");
  EXPECT_STREQ(kstrtok(s2, nullptr, ","), "y");
  EXPECT_STREQ(kstrtok(s1, nullptr, " "), "3");
  EXPECT_EQ(kstrtok(s2, nullptr, ","), nullptr);
  kstrtokend(s1);
  kstrtokend(s2);
}

TEST(Kstrtok, ExhaustionAndInvalidSlotsFailSafely) {
  std::vector<int> slots;
  for (int i = 0; i < KSTRTOK_SLOT_COUNT; i++) {
    int s = kstrtokbegin();
    ASSERT_GE(s, 0);
    slots.push_back(s);
  }
  EXPECT_EQ(kstrtokbegin(), -1);
  char text[] = "a b";
  EXPECT_EQ(kstrtok(-1, text, " "), nullptr);
  EXPECT_EQ(kstrtok(KSTRTOK_SLOT_COUNT, text, " "), nullptr);
  EXPECT_EQ(kstrtok(slots[0], text, nullptr), nullptr);
  EXPECT_STREQ(text, "a b");  // nothing was cut
  EXPECT_EQ(kstrtokend(-1), -1);
  EXPECT_EQ(kstrtokend(KSTRTOK_SLOT_COUNT), -1);

  EXPECT_EQ(kstrtokend(slots[5]), 0);
  EXPECT_EQ(kstrtokend(slots[5]), -1);               // already free
  EXPECT_EQ(kstrtok(slots[5], text, " "), nullptr);  // unclaimed
  EXPECT_EQ(kstrtokbegin(), slots[5]);
  for (int s : slots) EXPECT_EQ(kstrtokend(s), 0);
}

TEST(Kstrtok, ThreadsClaimDistinctSlots) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t, &failures] {
      for (int r = 0; r < kRounds; r++) {
        int slot = kstrtokbegin();
        if (slot < 0) {
          failures[t]++;
          continue;
        }
        std::string text = std::to_string(t) + ":" + std::to_string(r) + ":end";
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        std::vector<std::string> got = tokens(slot, buf.data(), ":");
        if (got != std::vector<std::string>{std::to_string(t), std::to_string(r), "end"}) {
          failures[t]++;
        }
        if (kstrtokend(slot) != 0) failures[t]++;
      }
    });
  }
  for (auto &th : threads) th.join();
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(failures[t], 0) << "thread " << t;
}
