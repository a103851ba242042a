#include "app/messages.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/fixed_tables.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "platform/paths.h"

using namespace Tarvelo;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::LanguageTable;

namespace {

std::vector<std::pair<std::string, int32_t>> reports;

void Capture(const std::string& text, int32_t level) { reports.emplace_back(text, level); }

class MessageTable : public ::testing::Test {
 protected:
  void SetUp() override {
    QUARLE_BASICS::BasicsReset();
    ASSERT_EQ(QUARLE_BASICS::BasicsCreateLocks(), 0);
    SetLanguageAndLevelTables();
    char tmpl[] = "/tmp/tarvelo_messages_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    platform::SetProgramFolderOverride(platform::FromOsPath(dir));
    reports.clear();
    QUARLE_BASICS::MessageHook = Capture;
  }
  void TearDown() override {
    QUARLE_BASICS::MessageHook = nullptr;
    platform::SetProgramFolderOverride("");
    std::filesystem::remove_all(dir);
    QUARLE_BASICS::BasicsShutdown();
    QUARLE_BASICS::LanguageTableFree();
    QUARLE_BASICS::BasicsReset();
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out << bytes;
  }
  void BothStages() {
    ASSERT_EQ(MessageTableFirstStage(), 0);
    ASSERT_EQ(MessageTableSecondStage(), 0);
  }
  std::string dir;
};

}  // namespace

TEST(MessageDefaults, CountAndRepresentativeTexts) {
  ASSERT_EQ(sizeof(kMessageDefaults) / sizeof(kMessageDefaults[0]), 740u);
  for (uint32_t n = 0; n < kMessageCount; ++n) ASSERT_NE(kMessageDefaults[n], nullptr) << n;
  EXPECT_STREQ(MessageDefault(kMessageCount), "");
  EXPECT_STREQ(MessageDefault(0xFFFFFFFFu), "");
  EXPECT_STREQ(kMessageDefaults[121], "[INVALID ASSIGMENT]");  // spelt as shipped
  EXPECT_STREQ(kMessageDefaults[87], " is now opened for audio streaming.");  // blanks belong to the text
  EXPECT_STREQ(kMessageDefaults[124], "I've found {$} CPU cores, {$} drives and {$} MIDI devices.");
}

TEST_F(MessageTable, StagesFillAndGrow) {
  EXPECT_EQ(LangText(3, "call site"), "call site");  // no table yet
  EXPECT_EQ(MessageTableSecondStage(), -1);            // nothing to grow

  ASSERT_EQ(MessageTableFirstStage(), 0);
  EXPECT_EQ(LanguageTable.firstCount, 116u);
  EXPECT_EQ(LanguageTable.fullCount, 0u);
  EXPECT_EQ(LangText(3, "call site"), "Illegal Function Call");
  EXPECT_EQ(LangText(115, "x"), "Error connecting to ");
  // Between the stages the later numbers give their call-site defaults.
  EXPECT_EQ(LangText(146, "[NEW SESSION]"), "[NEW SESSION]");
  EXPECT_EQ(LangText(116, "call site"), "call site");
  EXPECT_EQ(QUARLE_BASICS::ErrorText(-24), "File Not Found");

  // A text changed in the first stage survives the move into the full table.
  ASSERT_EQ(QUARLE_BASICS::LanguageTableSet(5, "changed"), 0);
  ASSERT_EQ(MessageTableSecondStage(), 0);
  EXPECT_EQ(LanguageTable.fullCount, 740u);
  EXPECT_EQ(LangText(5, "x"), "changed");
  for (uint32_t n = 0; n < kMessageCount; ++n) {
    if (n == 5) continue;
    ASSERT_EQ(LangText(n, "call site"), kMessageDefaults[n]) << n;
  }
  EXPECT_EQ(LangText(kMessageCount, "beyond"), "beyond");
}

TEST_F(MessageTable, EnglishLoadsNoPack) {
  BothStages();
  Write("EN_LANGPACK.txt", "1\n3\nthree\n");
  int32_t language = 0;
  EXPECT_EQ(ApplyLanguagePack(language), 0);
  EXPECT_EQ(language, 0);
  EXPECT_EQ(LangText(3, "x"), "Illegal Function Call");
  EXPECT_TRUE(reports.empty());
}

TEST_F(MessageTable, PackOverridesAfterGrowth) {
  BothStages();
  // Texts in the program's own 8-bit code, a quoted one with a leading blank.
  Write("FR_LANGPACK.txt", "1\n3\nAppel de fonction ill\xE9gal\n64\n\" Dossier personnel introuvable\"\n");
  Write("FR_LANGPACK_EXT.txt", "1\n601\nFusion st\xE9r\xE9o\n900\n146\n[NOUVELLE SESSION]\n");
  int32_t language = 1;
  EXPECT_EQ(ApplyLanguagePack(language), 0);
  EXPECT_EQ(language, 1);
  EXPECT_EQ(LangText(3, "x"), "Appel de fonction ill\xE9gal");
  EXPECT_EQ(LangText(64, "x"), " Dossier personnel introuvable");
  EXPECT_EQ(LangText(601, "x"), "Fusion st\xE9r\xE9o");
  EXPECT_EQ(LangText(146, "x"), "[NOUVELLE SESSION]");  // 900 took no text
  EXPECT_EQ(LangText(2, "x"), "No Error");               // untouched numbers keep English
  EXPECT_EQ(LangText(607, "x"), "Feedback seed");
  EXPECT_TRUE(reports.empty());
}

TEST_F(MessageTable, UserPackUnderCodeXX) {
  BothStages();
  Write("XX_LANGPACK.txt", "1\n2\nKein Fehler\n");
  Write("XX_LANGPACK_EXT.txt", "1\n");
  int32_t language = 3;
  EXPECT_EQ(ApplyLanguagePack(language), 0);
  EXPECT_EQ(language, 3);
  EXPECT_EQ(LangText(2, "x"), "Kein Fehler");
}

TEST_F(MessageTable, FailedPackRevertsToEnglish) {
  BothStages();
  int32_t language = 2;  // no ES pack beside the program
  EXPECT_EQ(ApplyLanguagePack(language), -24);
  EXPECT_EQ(language, 0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].first,
            "Could not find or load the selected language. Reverting to default (English). "
            "File Not Found");
  EXPECT_EQ(reports[0].second, QUARLE_BASICS::kLevelError);
  EXPECT_EQ(LangText(3, "x"), "Illegal Function Call");

  // Only the extension file missing: the pack is refused whole, so English
  // falls back with English texts, none of the base file's.
  reports.clear();
  Write("FR_LANGPACK.txt", "1\n3\ntrois\n");
  language = 1;
  EXPECT_EQ(ApplyLanguagePack(language), -24);
  EXPECT_EQ(language, 0);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(LangText(3, "x"), "Illegal Function Call");
  EXPECT_EQ(LangText(116, "x"), kMessageDefaults[116]);

  // An index outside the codes is refused without reading anything.
  reports.clear();
  language = 7;
  EXPECT_EQ(ApplyLanguagePack(language), -19);
  EXPECT_EQ(language, 0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].first.find("Incorrect Function Parameter"), std::string::npos);
  language = -1;
  EXPECT_EQ(ApplyLanguagePack(language), -19);
  EXPECT_EQ(language, 0);
}
