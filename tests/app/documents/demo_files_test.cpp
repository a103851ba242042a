// Demo synths and shipped tunings copied into the data folder: everything on
// a first run, nothing but deleted tunings on a later run, a new version's
// demo folder beside the old ones.
#include "app/documents/demo_files.h"

#include "doc_fixture.h"

#include <cstring>

#include <chrono>
#include <thread>

#include "app/fixed_tables.h"
#include "audio/sync_count.h"
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

// Waits by sleeping until `done` holds; false after 30 s (a hang only).
template <class F>
bool WaitFor(F done) {
  for (int i = 0; i < 30000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// A synth file's head as far as a load's look for its files reads: the
// tuning it names and its samples (no filters, no melodies).
std::string SynthHead(const std::string& tuningFolder, const std::string& tuning,
                      const std::vector<std::pair<std::string, std::string>>& samples) {
  std::string b;
  const auto i32 = [&b](int32_t v) { b.append(reinterpret_cast<const char*>(&v), 4); };
  const auto text = [&](const std::string& t) {
    i32(static_cast<int32_t>(t.size()));
    b += t;
  };
  text("TARVELO SYNTH FILE V1.1");
  text(tuningFolder);
  text(tuning);
  b.append(8, '\0');  // the gains
  i32(static_cast<int32_t>(samples.size()));
  for (const auto& [folder, file] : samples) {
    i32(0);
    text(folder);
    text(file);
  }
  i32(0);
  i32(0);
  return b;
}

// A first start cut short by the end (a second quit, the disk holding the
// copies): the next start puts in place every bundled file still missing,
// leaves a file the user put under a demo's name alone and empties the note;
// the start after it brings back a deleted tuning but not a deleted demo synth.
TEST_F(DemoFilesTest, AStartCutShortIsFinishedByTheNextWithoutReplacingTheUsersFiles) {
  const fs::path note = dir_ / kDemoCopyNote;
  ASSERT_TRUE(platform::SaverStart());
  synccount::Reset();
  synccount::Hold("tarvelo-save", false);
  CopyDemoFiles(kCopyDemoSynths | kCopyAllTunings);
  ASSERT_TRUE(WaitFor([] { return synccount::On("tarvelo-save") >= 1; }));
  // The end: a second quit, and the disk still holding the first copy.
  EXPECT_EQ(platform::SaverStop(10.0, [](int32_t) { return false; }), 0);
  EXPECT_TRUE(platform::SaverUnfinished().empty());
  synccount::Release();
  ASSERT_TRUE(WaitFor([] { return synccount::ThreadsNamed("tarvelo-save") == 0; }));
  EXPECT_FALSE(fs::exists(Demo("Pad.tarvelo")));
  EXPECT_EQ(Text(note), "\\SYNTHS\\DEMO 1.8.13");
  EXPECT_EQ(CountReports("The bundled files are in place."), 0);
  WriteText(Demo("Lead.TARVELO"), "mine");

  // The next start: its folders are there.
  const auto start = [] {
    ASSERT_TRUE(platform::SaverStart());
    CopyDemoFiles(0);
    EXPECT_TRUE(platform::SaverWaitIdle(30.0));
    platform::SaverTakeOutcomes();
    EXPECT_EQ(platform::SaverStop(10.0, nullptr), 0);
  };
  start();
  EXPECT_EQ(Text(Demo("Pad.tarvelo")), "pad");
  EXPECT_EQ(Text(Demo("Lead.TARVELO")), "mine");
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Just.tng"), "just");
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Pyth.tng"), "pyth");
  EXPECT_EQ(Text(note), "");
  EXPECT_EQ(CountReports("The bundled files are in place."), 1);

  fs::remove(Demo("Pad.tarvelo"));
  fs::remove(dir_ / "TUNINGS" / "Pyth.tng");
  start();
  EXPECT_FALSE(fs::exists(Demo("Pad.tarvelo")));
  EXPECT_EQ(Text(dir_ / "TUNINGS" / "Pyth.tng"), "pyth");
  EXPECT_FALSE(fs::exists(note));
}

// A load of a synth naming a bundled tuning and sound waits for their copies:
// first for the start's thread to hand them over, then for the disk to hold
// them (its syncs held); it runs once both are in place. A synth naming no
// bundled file loads at once meanwhile.
TEST_F(DemoFilesTest, ALoadWaitsForTheBundledFilesItsSynthNames) {
  fs::create_directories(program_ / "AUDIO" / "DEMO");
  WriteText(program_ / "AUDIO" / "DEMO" / "Reed.wav", "reed");
  WriteText(dir_ / "SYNTHS" / "Mine.tarvelo", SynthHead("C:\\old\\TUNINGS", "Just.tng", {{"C:\\old\\AUDIO\\DEMO", "Reed.wav"}}));
  WriteText(dir_ / "SYNTHS" / "Plain.tarvelo", SynthHead("", "", {}));
  const std::string synths = home_ + "\\SYNTHS";
  ASSERT_TRUE(platform::SaverStart());
  synccount::Reset();
  synccount::Hold("tarvelo-save", false);
  ExpectBundledCopies();
  std::vector<std::string> loaded;
  const auto load = [&](const std::string& name) {
    LoadWhenFilesArrive(synths, name, [&loaded, name, this] {
      loaded.push_back(name + (fs::exists(dir_ / "TUNINGS" / "Just.tng") ? " tuning" : "") +
                       (fs::exists(dir_ / "AUDIO" / "DEMO" / "Reed.wav") ? " sound" : ""));
    });
  };
  load("Mine.tarvelo");
  load("Plain.tarvelo");
  EXPECT_EQ(loaded, (std::vector<std::string>{"Plain.tarvelo"}));
  EXPECT_EQ(SynthFileOnItsWay(synths, "Mine.tarvelo"), home_ + "\\TUNINGS\\Just.tng");
  // The start's thread hands them over; the disk holds them.
  CopyDemoFiles(0);
  BundledCopiesHanded();
  EXPECT_EQ(loaded.size(), 1u);
  EXPECT_EQ(SynthFileOnItsWay(synths, "Mine.tarvelo"), home_ + "\\TUNINGS\\Just.tng");
  synccount::Release();
  EXPECT_TRUE(platform::SaverWaitIdle(30.0));
  platform::SaverTakeOutcomes();
  EXPECT_EQ(loaded, (std::vector<std::string>{"Plain.tarvelo", "Mine.tarvelo tuning sound"}));
  EXPECT_EQ(SynthFileOnItsWay(synths, "Mine.tarvelo"), "");
  EXPECT_EQ(platform::SaverStop(10.0, nullptr), 0);
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
