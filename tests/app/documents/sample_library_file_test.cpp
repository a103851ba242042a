// WF_Library.txt: written and read back, the one backup made after a load
// that missed samples, duplicates, samples whose folder moved, damaged lines,
// and a failed save that keeps the previous list.
#include "app/documents/sample_library_file.h"

#include "doc_fixture.h"

#include "app/documents/wave_convert.h"
#include "basics/errors.h"

namespace Tarvelo {
namespace doc_test {
namespace {

using QUARLE_BASICS::DynZStringGet;

class SampleLibraryFileTest : public DocumentTest {
 protected:
  void SetUp() override {
    DocumentTest::SetUp();
    WFLibraryLoaded = 0;
  }
  int Backups() const {
    int n = 0;
    for (const auto& f : fs::directory_iterator(dir_))
      if (f.path().filename().string().rfind(kSampleLibraryBackupPrefix, 0) == 0) ++n;
    return n;
  }
};

TEST_F(SampleLibraryFileTest, SavedListReadsBackInOrder) {
  MakeWav(Home("AUDIO\\one.wav"), 480, 1, 32, 48000);
  MakeWav(Home("AUDIO\\two.wav"), 480, 2, 32, 48000);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO"), "two.wav"), 0);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO"), "one.wav"), 1);
  ASSERT_EQ(AddLibraryPlaceholder(SampleLibrary, Home("AUDIO"), ""), 2);  // no name: not written
  ASSERT_EQ(SaveWFLibrary(), 0);
  const std::string expected = Home("AUDIO") + ",two.wav\r\n" + Home("AUDIO") + ",one.wav\r\n";
  const auto bytes = ReadBytes(dir_ / kSampleLibraryFileName);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);

  WaveLibraryListsFree();
  ASSERT_EQ(WaveLibraryListsCreate(), 0);
  ASSERT_EQ(LoadWFLibrary(), 0);
  ASSERT_EQ(SampleLibrary.header.count, 2);
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[0]->File), "two.wav");
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[1]->File), "one.wav");
  EXPECT_EQ(Backups(), 0);
  // Once per run.
  WaveLibraryListsFree();
  ASSERT_EQ(WaveLibraryListsCreate(), 0);
  EXPECT_EQ(LoadWFLibrary(), 0);
  EXPECT_EQ(SampleLibrary.header.count, 0);
}

TEST_F(SampleLibraryFileTest, NamesWithCommasAndQuotesReadBack) {
  fs::create_directories(Os("AUDIO/a,b"));
  const struct {
    const char* folder;
    const char* file;
    const char* line;
  } cases[] = {
      {"AUDIO\\a,b", "kick.wav", "\"<home>\\AUDIO\\a,b\",kick.wav"},
      {"AUDIO", "x,\"y\".wav", "<home>\\AUDIO,\"x,\"\"y\"\".wav\""},
      {"AUDIO", "plain.wav", "<home>\\AUDIO,plain.wav"},
  };
  std::string expected;
  for (const auto& c : cases) {
    MakeWav(Home(c.folder) + "\\" + c.file, 480, 1, 32, 48000);
    ASSERT_GE(ConvertAndLoadWave(Home(c.folder), c.file), 0) << c.file;
    std::string line = c.line;
    line.replace(line.find("<home>"), 6, Home());
    expected += line + "\r\n";
  }
  ASSERT_EQ(SaveWFLibrary(), 0);
  const auto bytes = ReadBytes(dir_ / kSampleLibraryFileName);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);

  WaveLibraryListsFree();
  ASSERT_EQ(WaveLibraryListsCreate(), 0);
  ASSERT_EQ(LoadWFLibrary(), 0);
  ASSERT_EQ(SampleLibrary.header.count, 3);
  for (int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(DynZStringGet(SampleLibrary.entries[i]->Folder), Home(cases[i].folder));
    EXPECT_EQ(DynZStringGet(SampleLibrary.entries[i]->File), cases[i].file);
  }
  EXPECT_EQ(Backups(), 0);
}

TEST_F(SampleLibraryFileTest, ListsWrittenBeforeQuotingStillRead) {
  MakeWav(Home("AUDIO\\\"q\".wav"), 480, 1, 32, 48000);
  MakeWav(Home("AUDIO\\one.wav"), 480, 1, 32, 48000);
  // An unquoted name that starts with a quote, and a line with a third item.
  WriteText(dir_ / kSampleLibraryFileName,
            Home("AUDIO") + ",\"q\".wav\r\n" + Home("AUDIO") + " , one.wav , 3\r\n");
  ASSERT_EQ(LoadWFLibrary(), 0);
  ASSERT_EQ(SampleLibrary.header.count, 2);
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[0]->File), "\"q\".wav");
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[1]->File), "one.wav");
}

TEST_F(SampleLibraryFileTest, MissingSamplesMakeOneBackupAfterTheWholeFile) {
  MakeWav(Home("AUDIO\\here.wav"), 480, 1, 32, 48000);
  const std::string text = "C:\\gone,lost1.wav\r\n" + Home("AUDIO") + " , here.wav \r\n" +
                           "C:\\gone,lost2.wav\r\n" + Home("AUDIO") + ",here.wav\r\n";
  WriteText(dir_ / kSampleLibraryFileName, text);
  ASSERT_EQ(LoadWFLibrary(), 0);
  EXPECT_EQ(SampleLibrary.header.count, 1);
  EXPECT_EQ(CountReports("Could not find: lost"), 2);
  EXPECT_EQ(CountReports("here.wav is already in library."), 1);
  ASSERT_EQ(Backups(), 1);
  for (const auto& f : fs::directory_iterator(dir_))
    if (f.path().filename().string().rfind(kSampleLibraryBackupPrefix, 0) == 0) {
      EXPECT_EQ(f.path().extension(), ".txt");
      const auto copy = ReadBytes(f.path());
      EXPECT_EQ(std::string(copy.begin(), copy.end()), text);
    }
}

TEST_F(SampleLibraryFileTest, MovedFolderIsFoundUnderTheDataFolder) {
  fs::create_directories(Os("AUDIO/drums"));
  MakeWav(Home("AUDIO\\drums\\kick.wav"), 480, 1, 32, 48000);
  WriteText(dir_ / kSampleLibraryFileName, "D:\\Old\\Tarvelo\\AUDIO\\drums,kick.wav\r\n");
  ASSERT_EQ(LoadWFLibrary(), 0);
  ASSERT_EQ(SampleLibrary.header.count, 1);
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[0]->Folder), Home("AUDIO\\drums"));
  EXPECT_EQ(Backups(), 0);
}

TEST_F(SampleLibraryFileTest, DamagedListsCostOnlyTheirBadLines) {
  MakeWav(Home("AUDIO\\ok.wav"), 480, 1, 32, 48000);
  std::vector<unsigned char> junk(3000, 0xFF);
  WriteBytes(Os("AUDIO/bad.wav"), junk);
  std::string text = "no comma at all\r\n,\r\n" + Home("AUDIO") + ",bad.wav\r\n";
  text += std::string(9000, 'x') + "\r\n";
  // A name holding a NUL (found by fuzzing): it named ok.wav a second time.
  text += Home("AUDIO") + std::string(",ok.wav\0v\r\n", 11);
  text += Home("AUDIO") + ",ok.wav";  // no line end
  WriteText(dir_ / kSampleLibraryFileName, text);
  ASSERT_EQ(LoadWFLibrary(), 0);
  ASSERT_EQ(SampleLibrary.header.count, 1);
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[0]->File), "ok.wav");
  EXPECT_EQ(CountReports("Could not load: bad.wav"), 1);
  EXPECT_EQ(CountReports("Could not load: ok.wav"), 1);
  EXPECT_EQ(Backups(), 1);
}

TEST_F(SampleLibraryFileTest, FailedSaveKeepsThePreviousList) {
  MakeWav(Home("AUDIO\\one.wav"), 480, 1, 32, 48000);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO"), "one.wav"), 0);
  ASSERT_EQ(SaveWFLibrary(), 0);
  const auto before = ReadBytes(dir_ / kSampleLibraryFileName);
  MakeWav(Home("AUDIO\\two.wav"), 480, 1, 32, 48000);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO"), "two.wav"), 1);
  DocumentFailWritesAfter(5);
  EXPECT_LT(SaveWFLibrary(), 0);
  EXPECT_EQ(ReadBytes(dir_ / kSampleLibraryFileName), before);
  EXPECT_FALSE(fs::exists(dir_ / (std::string(kSampleLibraryFileName) + "~tarvelo-1.tmp")));

  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
  EXPECT_EQ(SaveWFLibrary(), -QUARLE_BASICS::kErrFolder);
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
