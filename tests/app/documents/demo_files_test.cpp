// Demo synths and shipped tunings copied into the data folder: everything on
// a first run, nothing but deleted tunings on a later run, a new version's
// demo folder beside the old ones.
#include "app/documents/demo_files.h"

#include "doc_fixture.h"

#include <cstring>

#include "app/fixed_tables.h"
#include "platform/saver.h"

namespace Tarvelo {
namespace doc_test {
namespace {

class DemoFilesTest : public DocumentTest {
 protected:
  void SetUp() override {
    DocumentTest::SetUp();
    std::strcpy(ProductVersion, "1.8.13");
    program_ = dir_ / "program";
    fs::create_directories(program_ / "SYNTHS" / "DEMO 1.8.13");
    fs::create_directories(program_ / "TUNINGS");
    fs::create_directories(dir_ / "SYNTHS" / "DEMO 1.8.13");
    WriteText(program_ / "SYNTHS" / "DEMO 1.8.13" / "Pad.tarvelo", "pad");
    WriteText(program_ / "SYNTHS" / "DEMO 1.8.13" / "Lead.TARVELO", "lead");
    WriteText(program_ / "SYNTHS" / "DEMO 1.8.13" / "notes.txt", "not a synth");
    WriteText(program_ / "TUNINGS" / "Just.tng", "just");
    WriteText(program_ / "TUNINGS" / "Pyth.tng", "pyth");
    platform::SetProgramFolderOverride(platform::FromOsPath(program_.string()));
    cwd_ = fs::current_path();
  }
  void TearDown() override {
    platform::SetProgramFolderOverride("");
    std::strcpy(ProductVersion, "1.8.13");
    EXPECT_EQ(fs::current_path(), cwd_);  // the listing puts the current folder back
    DocumentTest::TearDown();
  }
  fs::path Demo(const std::string& name) const { return dir_ / "SYNTHS" / "DEMO 1.8.13" / name; }
  std::string Text(const fs::path& p) const {
    const auto b = ReadBytes(p);
    return std::string(b.begin(), b.end());
  }
  fs::path program_;
  fs::path cwd_;
};

TEST_F(DemoFilesTest, FirstRunCopiesEverythingAndSaysSo) {
  CopyDemoFiles(kCopyDemoSynths | kCopyAllTunings);
  EXPECT_EQ(Text(Demo("Pad.tarvelo")), "pad");
  EXPECT_EQ(Text(Demo("Lead.TARVELO")), "lead");
  EXPECT_FALSE(fs::exists(Demo("notes.txt")));
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Just.tng"), "just");
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Pyth.tng"), "pyth");
  EXPECT_EQ(CountReports("Copying bundled synth files."), 1);
  EXPECT_EQ(CountReports("Copying bundled tuning files."), 1);
  // Copies replace files of the same name.
  WriteText(Demo("Pad.tarvelo"), "edited");
  WriteText(dir_ / "TUNINGS" / "Just.tng", "edited");
  CopyDemoFiles(kCopyDemoSynths | kCopyAllTunings);
  EXPECT_EQ(Text(Demo("Pad.tarvelo")), "pad");
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Just.tng"), "just");
}

TEST_F(DemoFilesTest, LaterRunOnlyBringsBackDeletedTunings) {
  WriteText(dir_ / "TUNINGS" / "Just.tng", "mine");
  CopyDemoFiles(0);
  EXPECT_FALSE(fs::exists(Demo("Pad.tarvelo")));
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Just.tng"), "mine");
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Pyth.tng"), "pyth");
  EXPECT_TRUE(Reports().empty());
}

TEST_F(DemoFilesTest, NewVersionGetsItsOwnDemoFolderAndMissingSourcesCopyNothing) {
  std::strcpy(ProductVersion, "1.9.0");
  fs::create_directories(dir_ / "SYNTHS" / "DEMO 1.9.0");
  fs::create_directories(program_ / "SYNTHS" / "DEMO 1.9.0");
  WriteText(program_ / "SYNTHS" / "DEMO 1.9.0" / "New.tarvelo", "new");
  CopyDemoFiles(kCopyDemoSynths);
  EXPECT_TRUE(fs::exists(dir_ / "SYNTHS" / "DEMO 1.9.0" / "New.tarvelo"));
  EXPECT_FALSE(fs::exists(Demo("Pad.tarvelo")));

  fs::remove_all(program_);
  Reports().clear();
  CopyDemoFiles(kCopyDemoSynths | kCopyAllTunings);
  EXPECT_EQ(CountReports("Copying bundled synth files."), 1);
  EXPECT_EQ(CountReports("Copying bundled tuning files."), 1);
}

// With the saver running the copies are its: written behind the caller, in
// place whole once it has them, and said once when the last has ended.
TEST_F(DemoFilesTest, TheCopiesGoToTheSaverAndTheLastSaysTheyAreInPlace) {
  ASSERT_TRUE(platform::SaverStart());
  CopyDemoFiles(kCopyDemoSynths | kCopyAllTunings);
  EXPECT_TRUE(platform::SaverWaitIdle(30.0));
  platform::SaverTakeOutcomes();
  EXPECT_EQ(platform::SaverStop(10.0, nullptr), 0);
  EXPECT_EQ(Text(Demo("Pad.tarvelo")), "pad");
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Pyth.tng"), "pyth");
  EXPECT_FALSE(fs::exists(Demo("Pad.tarvelo~tarvelo-1.part~")));
  EXPECT_EQ(CountReports("The bundled files are in place."), 1);
  // A later start that brings back a deleted tuning says nothing.
  fs::remove(dir_ / "TUNINGS" / "Pyth.tng");
  Reports().clear();
  CopyDemoFiles(0);
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Pyth.tng"), "pyth");
  EXPECT_TRUE(Reports().empty());
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
