#include "basics/messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace QUARLE_BASICS;

namespace {

class MessageTable : public ::testing::Test {
 protected:
  void SetUp() override { LanguageTableFree(); }
  void TearDown() override { LanguageTableFree(); }
};

}  // namespace

TEST_F(MessageTable, DefaultsBeforeTheTableExists) {
  EXPECT_EQ(LangText(0, "zero"), "zero");
  EXPECT_EQ(LangText(607, "last"), "last");
  EXPECT_EQ(LanguageTableSet(3, "x"), -1);
}

TEST_F(MessageTable, TwoStageRule) {
  ASSERT_EQ(LanguageTableCreate(kLanguageTableFirstCount), 0);
  ASSERT_EQ(LanguageTableSet(64, "Chemin introuvable"), 0);
  ASSERT_EQ(LanguageTableSet(115, "last early"), 0);
  EXPECT_EQ(LanguageTableSet(116, "too far"), -19);
  EXPECT_EQ(LangText(64, "Can't find home path!"), "Chemin introuvable");
  EXPECT_EQ(LangText(65, "I cannot access the following folder: "),
            "I cannot access the following folder: ");  // unset entry
  // Before the second stage numbers from 116 on always give their defaults.
  EXPECT_EQ(LangText(146, "[NEW SESSION]"), "[NEW SESSION]");

  ASSERT_EQ(LanguageTableGrow(kLanguageTableCount), 0);
  EXPECT_EQ(LanguageTable.fullCount, kLanguageTableCount);
  EXPECT_EQ(LangText(64, "d"), "Chemin introuvable");  // survived the move
  EXPECT_EQ(LangText(115, "d"), "last early");
  EXPECT_EQ(LangText(146, "[NEW SESSION]"), "[NEW SESSION]");
  ASSERT_EQ(LanguageTableSet(146, "[NOUVELLE SESSION]"), 0);
  EXPECT_EQ(LangText(146, "[NEW SESSION]"), "[NOUVELLE SESSION]");
  ASSERT_EQ(LanguageTableSet(607, ""), 0);
  EXPECT_EQ(LangText(607, "default"), "");  // an empty text is a set entry
  EXPECT_EQ(LangText(kLanguageTableCount, "beyond"), "beyond");
  EXPECT_EQ(LangText(4000000000u, "far beyond"), "far beyond");
  EXPECT_EQ(LanguageTableSet(kLanguageTableCount, "x"), -19);
}

TEST_F(MessageTable, CoveringCountDecides) {
  // A short first stage: numbers below 116 use it, even where the array is longer.
  ASSERT_EQ(LanguageTableCreate(10), 0);
  ASSERT_EQ(LanguageTableSet(9, "nine"), 0);
  EXPECT_EQ(LanguageTableSet(10, "ten"), -19);
  ASSERT_EQ(LanguageTableGrow(551), 0);
  ASSERT_EQ(LanguageTableSet(50, "fifty"), 0);
  ASSERT_EQ(LanguageTableSet(550, "Pitch!"), 0);
  EXPECT_EQ(LangText(9, "d"), "nine");
  EXPECT_EQ(LangText(50, "d"), "d");
  EXPECT_EQ(LangText(550, "Pitch"), "Pitch!");
  EXPECT_EQ(LangText(551, "Pitch range"), "Pitch range");
}

TEST_F(MessageTable, StageArguments) {
  EXPECT_EQ(LanguageTableCreate(0), -19);
  EXPECT_EQ(LanguageTableCreate(10001), -19);
  EXPECT_EQ(LanguageTableGrow(608), -1);
  ASSERT_EQ(LanguageTableCreate(116), 0);
  EXPECT_EQ(LanguageTableGrow(116), -19);
  EXPECT_EQ(LanguageTableGrow(10001), -19);
  EXPECT_EQ(LanguageTable.fullCount, 0u);
}

TEST(InsertArg, PlaceholderRules) {
  EXPECT_EQ(InsertArg("Loading {$} now", "x.wav"), "Loading x.wav now");
  EXPECT_EQ(InsertArg("Loaded: ", "x.wav"), "Loaded: x.wav");
  EXPECT_EQ(InsertArg("{$} v{$} {$}-bit", "Tarvelo"), "Tarvelo v{$} {$}-bit");
  EXPECT_EQ(InsertArg(InsertArg(InsertArg("{$} v{$} {$}-bit", "Tarvelo"), "1.8.13"), "64"),
            "Tarvelo v1.8.13 64-bit");
  EXPECT_EQ(InsertArg("{$}", ""), "");
  EXPECT_EQ(InsertArg("", "v"), "v");
  EXPECT_EQ(InsertArg("a{$", "v"), "a{$v");
  EXPECT_EQ(InsertArg("{$}{$}", "{$}"), "{$}{$}");  // the value is not searched
}

TEST(MessageHook, ReportGoesThroughTheHook) {
  static std::vector<std::pair<std::string, int32_t>> got;
  got.clear();
  MessageHookFn saved = MessageHook;
  MessageHook = nullptr;
  Report("nobody listens", kLevelInfo);
  MessageHook = [](const std::string& text, int32_t level) { got.emplace_back(text, level); };
  Report("Can't find home path!", kLevelWarning);
  MessageHook = saved;
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, "Can't find home path!");
  EXPECT_EQ(got[0].second, 1);
}

// The start-up and the shutdown set the hook while other threads report (after
// a display loss they still run): a report takes one hook or the other, whole.
TEST(MessageHook, ASwapWhileAnotherThreadReportsTakesOneHookWhole) {
  static std::atomic<int32_t> heard{0};
  const MessageHookFn saved = MessageHook;
  const MessageHookFn hooks[2] = {[](const std::string&, int32_t) { heard.fetch_add(1); },
                                  [](const std::string&, int32_t) { heard.fetch_add(1); }};
  heard = 0;
  MessageHook = hooks[0];
  std::atomic<bool> stop{false};
  std::thread reporter([&] {
    while (!stop.load()) Report("from another thread", kLevelInfo);
  });
  for (int32_t i = 0; i < 200 || heard.load() < 100; ++i) MessageHook = hooks[i % 2];
  stop = true;
  reporter.join();
  MessageHook = saved;
  EXPECT_GE(heard.load(), 100);
}
