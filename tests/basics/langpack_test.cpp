#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "basics/messages.h"
#include "basics/queues.h"
#include "platform/files.h"
#include "platform/paths.h"

using namespace QUARLE_BASICS;

namespace {

class LanguagePack : public ::testing::Test {
 protected:
  void SetUp() override {
    BasicsReset();
    ASSERT_EQ(BasicsCreateLocks(), 0);
    char tmpl[] = "/tmp/tarvelo_langpack_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    platform::SetProgramFolderOverride(platform::FromOsPath(dir));
    ASSERT_EQ(LanguageTableCreate(kLanguageTableFirstCount), 0);
    for (uint32_t n = 0; n < kLanguageTableFirstCount; ++n) {
      ASSERT_EQ(LanguageTableSet(n, ("en" + std::to_string(n)).c_str()), 0);
    }
  }
  void TearDown() override {
    platform::SetProgramFolderOverride("");
    std::filesystem::remove_all(dir);
    BasicsShutdown();
    BasicsReset();
  }
  void Grow() {
    ASSERT_EQ(LanguageTableGrow(kLanguageTableCount), 0);
    for (uint32_t n = kLanguageTableFirstCount; n < kLanguageTableCount; ++n) {
      ASSERT_EQ(LanguageTableSet(n, ("en" + std::to_string(n)).c_str()), 0);
    }
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out << bytes;
  }
  static std::string T(uint32_t n) { return LangText(n, "default"); }
  std::string dir;
};

}  // namespace

TEST_F(LanguagePack, ArgumentChecks) {
  Write("FR_LANGPACK.txt", "1\n3\ntrois\n");
  EXPECT_EQ(LoadLanguagePack(4), -19);
  EXPECT_EQ(T(3), "en3");
  EXPECT_EQ(LoadLanguagePack(0xFFFFFFFFu), -19);
  LanguageTableRelease();  // counts stay, table gone
  EXPECT_EQ(LoadLanguagePack(1), -1);
  LanguageTableFree();  // first-stage count 0
  EXPECT_EQ(LoadLanguagePack(1), -19);
}

TEST_F(LanguagePack, FirstFileReplacesEntriesByNumber) {
  Write("FR_LANGPACK.txt", "116\r\n3\r\nTrois\r\n64\r\nChemin d'acc\xE8s introuvable !\r\n");
  EXPECT_EQ(LoadLanguagePack(1), 0);  // no second stage: no extended file needed
  EXPECT_EQ(T(3), "Trois");
  EXPECT_EQ(T(64), "Chemin d'acc\xE8s introuvable !");
  EXPECT_EQ(T(4), "en4");
}

TEST_F(LanguagePack, MissingFiles) {
  EXPECT_EQ(LoadLanguagePack(2), -24);
  Write("ES_LANGPACK.txt", "1\n3\ntres\n");
  Grow();
  // The extended file is missing: the pack is refused whole, so no text of
  // it shows while the program falls back to English.
  EXPECT_EQ(LoadLanguagePack(2), -24);
  EXPECT_EQ(T(3), "en3");
  EXPECT_EQ(T(200), "en200");
  Write("ES_LANGPACK_EXT.txt", "1\n200\ndoscientos\n");
  EXPECT_EQ(LoadLanguagePack(2), 0);
  EXPECT_EQ(T(3), "tres");
  EXPECT_EQ(T(200), "doscientos");
}

TEST_F(LanguagePack, CommasAndQuotesInTextLines) {
  Write("XX_LANGPACK.txt",
        "1\n"
        "5\n"
        "Out, of, memory\n"
        "6\n"
        "\"  quoted, with blanks  \"\n"
        "7\n"
        "   leading blanks go\n"
        "8\n"
        "\"He said \"hi\"\"\n"
        "9\n"
        "\n"
        "10\n"
        "trailing kept  \n");
  EXPECT_EQ(LoadLanguagePack(3), 0);
  EXPECT_EQ(T(5), "Out, of, memory");  // nothing shifted
  EXPECT_EQ(T(6), "  quoted, with blanks  ");
  EXPECT_EQ(T(7), "leading blanks go");
  EXPECT_EQ(T(8), "He said \"hi\"");
  EXPECT_EQ(T(9), "");  // an empty text is a text
  EXPECT_EQ(T(10), "trailing kept  ");
  EXPECT_EQ(T(0), "en0");
}

TEST_F(LanguagePack, IndexItems) {
  Write("FR_LANGPACK.txt",
        "116,whatever\n"  // the first item alone is passed over
        " 700 \n"         // out of range: takes no text line
        "3\n"
        "three\n"
        "\"4\"\n"
        "four\n"
        "4.6,five on the same line\n"
        "  -1\n"
        "six point five\n"  // read as an index: not a number -> 0
        "zero\n");
  EXPECT_EQ(LoadLanguagePack(1), 0);
  EXPECT_EQ(T(3), "three");
  EXPECT_EQ(T(4), "four");
  EXPECT_EQ(T(5), "five on the same line");
  EXPECT_EQ(T(0), "zero");
}

TEST_F(LanguagePack, CounterLimitsBothFiles) {
  // 116 index lines in the first file use up the first-stage count; the
  // extended file may then hold at most 635 - 116 more.
  std::string first = "0\n";
  for (int i = 0; i < 116; ++i) first += "999\n";
  first += "3\nnever read\n";
  Write("FR_LANGPACK.txt", first);
  Grow();
  std::string ext = "0\n200\ntwo hundred\n300\nthree hundred\n50\n";
  Write("FR_LANGPACK_EXT.txt", ext);
  EXPECT_EQ(LoadLanguagePack(1), 0);
  EXPECT_EQ(T(3), "en3");
  EXPECT_EQ(T(200), "two hundred");
  EXPECT_EQ(T(300), "three hundred");
  EXPECT_EQ(T(50), "en50");  // below the extended file's range
}

TEST_F(LanguagePack, ExtendedFileRangeOnly) {
  Write("FR_LANGPACK.txt", "1\n115\nlast early\n116\n");  // 116 is out of range here
  // The last message of the table, then the first number past it.
  const std::string last = std::to_string(kLanguageTableCount - 1), past = std::to_string(kLanguageTableCount);
  Write("FR_LANGPACK_EXT.txt", "1\n115\n" + last + "\nlast\n" + past + "\n116\nfirst late\n");
  Grow();
  EXPECT_EQ(LoadLanguagePack(1), 0);
  EXPECT_EQ(T(115), "last early");
  EXPECT_EQ(T(kLanguageTableCount - 1), "last");
  EXPECT_EQ(T(116), "first late");
}

TEST_F(LanguagePack, TruncatedAndHostileFiles) {
  // Ends after an index line: the texts so far stay, nothing else is touched.
  Write("FR_LANGPACK.txt", "1\n3\nthree\n4");
  EXPECT_EQ(LoadLanguagePack(1), 0);
  EXPECT_EQ(T(3), "three");
  EXPECT_EQ(T(4), "en4");

  Write("FR_LANGPACK.txt", "");
  EXPECT_EQ(LoadLanguagePack(1), 0);
  EXPECT_EQ(T(3), "three");

  // An unclosed quote, a NUL byte, binary noise, a huge line and huge numbers.
  std::string hostile = "1\n7\n\"unclosed, quote\n8\nnul";
  hostile += '\0';
  hostile += "after\n9\n";
  hostile += std::string(10000, 'x') + "\n";
  hostile += "1e400\n-1e400\n11\n\xFF\xFE\x01\x02\n";  // out-of-range numbers take no text
  Write("FR_LANGPACK.txt", hostile);
  EXPECT_EQ(LoadLanguagePack(1), 0);
  EXPECT_EQ(T(7), "unclosed, quote");
  EXPECT_EQ(T(8), "nul");
  EXPECT_EQ(T(9), std::string(platform::kMaxItemLength, 'x'));
  EXPECT_EQ(T(11), "\xFF\xFE\x01\x02");
  EXPECT_EQ(T(10), "en10");
  EXPECT_EQ(T(0), "en0");
}

TEST_F(LanguagePack, UnreadableFileGivesTheOpenFailure) {
  std::filesystem::create_directory(dir + "/FR_LANGPACK.txt");  // exists but cannot be read as a file
  int32_t rc = LoadLanguagePack(1);
  EXPECT_NE(rc, 0);
  EXPECT_EQ(T(3), "en3");
  EXPECT_FALSE(platform::FileIsOpen(1));
}
