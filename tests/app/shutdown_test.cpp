// The shutdown after a clean start and after a failed one: what is saved, the
// code message and its pause, the announced order of the subsystems' ends, the
// log's last line, the countdown, and the whole program's exit code.
#include "app/shutdown.h"
#include "app/state/dialogs.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstring>
#include <thread>

#include "app/documents/doc_io.h"
#include "app/documents/sample_library_file.h"
#include "app/documents/take_recovery.h"
#include "app/startup.h"
#include "app/startup_hooks.h"
#include "app/startup_work.h"
#include "basics/program.h"
#include "app/state/console.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "app_run_fixture.h"
#include "audio/audio.h"
#include "audio/recording.h"
#include "audio/sync_count.h"
#include "program_process.h"
#include "basics/errors.h"
#include "engine/modulelist.h"
#include "platform/display_link.h"
#include "platform/quit_signals.h"
#include "platform/saver.h"
#include "platform/threads.h"
#include "visuals/video_thread.h"

namespace apptest {
namespace {

using Tarvelo::Startup;

// The lines of the shutdown, in order, from "Cleaning memory." on.
const std::vector<std::string> kClosingLines = {
    "Cleaning memory.",           "Terminating QUARLE_VISUALS", "Terminating QUARLE_AUDIO",
    "Terminating TARVELO",        "Terminating QUARLE_BASICS",
};

void ExpectClosing(const std::vector<LogEntry>& log, int32_t from) {
  int32_t at = from;
  for (const std::string& line : kClosingLines) {
    const int32_t i = AppRun::Find(log, line, at);
    ASSERT_GE(i, at) << line;
    EXPECT_EQ(log[i].level, 0) << line;
    at = i + 1;
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().level, -1);
  EXPECT_EQ(log.back().text, "END|FIN");
}

void ExpectCountdown(const std::string& console) {
  const size_t head = console.rfind("END|FIN - CLOSING TERMINAL IN:\n");
  ASSERT_NE(head, std::string::npos);
  EXPECT_EQ(console.substr(head), "END|FIN - CLOSING TERMINAL IN:\n 2\n 1\n 0\n");
}

// Whether the video thread ran when the audio thread's end, and then the
// memory's, was reported.
std::vector<int64_t> g_videoAt;

TEST_F(AppRun, ACleanRunSavesThenEndsEverySubsystemInOrder) {
  g_videoAt.clear();
  g_beforeStep = [](int32_t step) {
    if (step != 41) return;
    QUARLE_BASICS::MessageHook = [](const std::string& text, int32_t level) {
      if (text == "Audio thread terminated." || text == "Cleaning memory.")
        g_videoAt.push_back(QUARLE_VISUALS::VideoRunFlag.load());
      Tarvelo::LogMessageHook(text, level);
    };
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  const std::vector<LogEntry> log = Log();
  const int32_t saving = Find(log, "Saving libraries.");
  ASSERT_GE(saving, 0);
  EXPECT_EQ(Find(log, "Something went wrong"), -1);
  // The audio thread was started, so it is stopped before anything is freed.
  const int32_t waiting = Find(log, "Waiting for audio thread.", saving);
  ASSERT_GT(waiting, saving);
  const int32_t ended = Find(log, "Audio thread terminated.", waiting);
  ASSERT_GT(ended, waiting);
  ExpectClosing(log, ended);
  EXPECT_EQ(Tarvelo::AudioThreadHandle, nullptr);
  // The window drew on while the audio thread and the recordings' writer
  // ended (its status line shows what is left to write), and no longer after.
  EXPECT_EQ(g_videoAt, (std::vector<int64_t>{-1, 0}));
  // Only the countdown pauses.
  EXPECT_EQ(g_calls.pauses, (std::vector<int32_t>{1000, 1000}));
  ExpectCountdown(console_);
}

TEST_F(AppRun, AFailedStartSavesNothingAndReportsItsCode) {
  g_beforeStep = [](int32_t step) {
    if (step == 23) platform::FailNextMutexCreations(1);
  };
  g_calls.loadSynthResult = 0;
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupTuningLocks);
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "Something went wrong during initialization.");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text,
            "Something went wrong during initialization. (Code 3)");
  EXPECT_EQ(log[i].level, 4);
  EXPECT_EQ(Find(log, "Saving libraries."), -1);
  // No audio thread ever ran: straight from the code message to the memory.
  EXPECT_EQ(Find(log, "Waiting for audio thread."), -1);
  EXPECT_EQ(Find(log, "Cleaning memory."), i + 1);
  ExpectClosing(log, i);
  EXPECT_EQ(g_calls.pauses, (std::vector<int32_t>{2000, 1000, 1000}));
  EXPECT_EQ(g_calls.savedLibraries, 0);
  ExpectCountdown(console_);
}

// Entries that exist when the loop ends: one of each kind unsaved, one saved.
void AddEntries(int32_t step) {
  if (step != 41) return;
  using namespace Tarvelo;
  auto add = [](WaveLibraryList& list, const char* file, int64_t saved) {
    const int32_t i = AddLibraryPlaceholder(list, "\\somewhere", file);
    ASSERT_GE(i, 0);
    WaveLibraryListAt(list, i)->Saved = saved;
  };
  add(SampleLibrary, "library.wav", 0);
  add(SynthSamples, "unsaved.wav", 0);
  add(SynthSamples, "saved.wav", -1);
  add(FilterLibrary, "filter.wav", 0);
  add(MelodyLibrary, "tune.mel", 0);
  LibraryChanged = -1;
  Settings.AutoSave = -1;
}

TEST_F(AppRun, AnEmptyPlaneSavesNoSessionButEveryUnsavedSampleFilterAndMelody) {
  g_beforeStep = AddEntries;
  g_calls.saveLibraryResult = -QUARLE_BASICS::kErrFileAccess;
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_TRUE(g_calls.savedSessions.empty());
  EXPECT_EQ(g_calls.savedLibraries, 1);
  EXPECT_EQ(Tarvelo::LibraryChanged, 0);
  // The sample library's own entries are not written at exit.
  EXPECT_EQ(g_calls.savedWaves, (std::vector<std::string>{"unsaved.wav", "filter.wav"}));
  EXPECT_EQ(g_calls.savedMelodies, (std::vector<std::string>{"tune.mel"}));
  const std::vector<LogEntry> log = Log();
  EXPECT_EQ(Find(log, "Saving session."), -1);
  const int32_t i = Find(log, "SaveWFLibrary(): ");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text, "SaveWFLibrary(): " + QUARLE_BASICS::ErrorText(-QUARLE_BASICS::kErrFileAccess));
  EXPECT_EQ(log[i].level, 2);
  ExpectClosing(log, i);
}

// The end waits for the saver: a save the disk still holds is on the disk,
// and its outcome said, before the audio thread is asked to end; meanwhile the
// window's status line says how many saves are left.
// What runs when the end says it waits for the saves.
void (*g_onSavesWait)() = nullptr;

// The start's disk jobs ended and every save they handed over landed.
void LetTheStartsSavesLand() {
  for (int32_t i = 0; i < 30000 && Tarvelo::StartDiskJobsLeft() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  platform::SaverWaitIdle(30.0);
}

// At the loop's start: the sample library list changed, its save goes to the
// saver, and the disk holds the saver's syncs. The start's own saves landed
// first (a loaded machine may still be writing them): the library's is the
// only one the end waits for.
void HoldTheLibrarysSave(int32_t step) {
  if (step != 41) return;
  LetTheStartsSavesLand();
  Tarvelo::LibraryChanged = -1;
  Startup.SaveWFLibrary = Tarvelo::SaveWFLibraryThen;
  synccount::Hold("tarvelo-save");
  QUARLE_BASICS::MessageHook = [](const std::string& text, int32_t level) {
    if (text.rfind("Saving to the disk: ", 0) == 0 && g_onSavesWait) g_onSavesWait();
    Tarvelo::LogMessageHook(text, level);
  };
}

TEST_F(AppRun, TheEndWaitsForEverySaveTheDiskStillHolds) {
  g_onSavesWait = [] { synccount::Release(); };
  g_beforeStep = HoldTheLibrarysSave;
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  synccount::Release();
  const std::vector<LogEntry> log = Log();
  const int32_t saving = Find(log, "Saving libraries.");
  ASSERT_GE(saving, 0);
  const int32_t left = Find(log, "Saving to the disk: 1 files left", saving);
  ASSERT_GT(left, saving);
  EXPECT_EQ(log[left].level, 0);
  // The audio thread's end and the recordings' wait go on beside the saves'.
  const int32_t audio = Find(log, "Waiting for audio thread.", saving);
  EXPECT_GT(audio, saving);
  EXPECT_LT(audio, left);
  EXPECT_GT(Find(log, "Audio thread terminated.", left), left);
  EXPECT_TRUE(fs::exists(DataFolder() + "/WF_Library.txt"));
  EXPECT_EQ(synccount::ThreadsNamed("tarvelo-save"), 0);
  // Noted before the wait, and no longer once the save landed.
  EXPECT_FALSE(fs::exists(DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote));
}

// The last run's note names the file whose save the end waits for: the names
// it holds do not change, so the end leaves it as it is (no rewrite: a held
// disk would hold that too), before the wait and after the save landed.
TEST_F(AppRun, TheEndLeavesTheLastRunsNoteAloneWhileItsNamesStayTheSame) {
  const std::string note = DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote;
  WriteFile(note, "WF_Library.txt\n");
  struct stat before {};
  ASSERT_EQ(::stat(note.c_str(), &before), 0);
  g_onSavesWait = [] { synccount::Release(); };
  g_beforeStep = [](int32_t step) {
    HoldTheLibrarysSave(step);
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  synccount::Release();
  EXPECT_GE(Find(Log(), "Saving to the disk: 1 files left"), 0);
  EXPECT_TRUE(fs::exists(DataFolder() + "/WF_Library.txt"));
  struct stat after {};
  ASSERT_EQ(::stat(note.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the note was written anew";
  EXPECT_EQ(ReadAll(note), "WF_Library.txt\n");
}

// What the end said while the disk held it.
struct BothWaits {
  std::string note;                // the takes' note as the wait began
  std::vector<std::string> lines;  // the end's lines, in order
};
BothWaits& g_both = *new BothWaits;  // the run's threads may read it to the end
std::string& g_bothData = *new std::string;
std::string& g_bothStem = *new std::string;  // the take's, a row's own

// Plays on the first device the driver lists and starts a take of the output
// named `stem`, numbered `take`, as REC's press asks it.
void PlayAndRecord(const char* stem, int32_t take) {
  QUARLE_BASICS::CommandMessage m{};
  m.type = QUARLE_AUDIO::kAudioPlaybackDevice;
  m.single1 = 1.0f;
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
  m.type = QUARLE_AUDIO::kAudioPlaybackOn;
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
  m.type = QUARLE_AUDIO::kAudioRecordStart;
  m.word2 = reinterpret_cast<uintptr_t>(strdup(stem));
  m.arg2 = take;
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
}

// At the loop's start a take of the output runs; once a second of it is in
// its file the disk holds every sync under the data folder, and the end's
// lines are kept: the first notes the takes' note, one that says both waits
// (or, without a save, the recordings' alone) lets the disk go.
void RecordATake(int32_t step) {
  if (step != 41) return;
  LetTheStartsSavesLand();
  PlayAndRecord(g_bothStem.c_str(), ++Tarvelo::RecordingTake);
  Tarvelo::OutputRecording = -1;
  const std::string take = g_bothData + "/AUDIO/" + g_bothStem + ".wav";
  ASSERT_TRUE(WaitUntil([&] { std::error_code ec; return fs::file_size(take, ec) > 88 + 48000 && !ec; }));
  synccount::HoldUnder(g_bothData);
  QUARLE_BASICS::MessageHook = [](const std::string& text, int32_t level) {
    const bool saves = text.rfind("Saving to the disk: ", 0) == 0;
    if (saves || text.rfind("Writing the recordings to the disk: ", 0) == 0) {
      if (g_both.lines.empty()) g_both.note = ReadAll(g_bothData + "/" + Tarvelo::kUnconfirmedNoteName);
      g_both.lines.push_back(text);
      if (!saves || text.find(". Writing the recordings to the disk: ") != std::string::npos) synccount::Release();
    }
    Tarvelo::LogMessageHook(text, level);
  };
}

// A take runs and the disk holds every sync of the data folder (the saves'
// and the take's) at the quit: the take's name is noted for the next start
// before the wait, the saves and the take are waited for together under one
// line, and once the disk lets go the take is whole and no longer noted.
// Rows: whether the quit comes while a save is on its way.

TEST_F(AppRun, TheEndWaitsForTheSavesAndTheTakesTogetherAndNotesTheTakesFirst) {
  for (const bool save : {true, false}) {
    SCOPED_TRACE(save ? "a save on its way" : "no save");
    if (!save) Restart();
    g_both = BothWaits{};
    g_bothData = fs::weakly_canonical(DataFolder()).string();
    g_bothStem = save ? "both" : "alone";
    g_beforeStep = save ? [](int32_t step) {
      if (step != 41) return;
      Tarvelo::LibraryChanged = -1;
      Startup.SaveWFLibrary = Tarvelo::SaveWFLibraryThen;
      RecordATake(step);
    } : RecordATake;
    ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
    synccount::Release();
    // Named before the wait, as the disk held it.
    EXPECT_EQ(g_both.note, g_bothStem + ".wav\n");
    const std::string both = "Saving to the disk: 1 files left. Writing the recordings to the disk: ";
    const auto said = [&](const std::string& prefix) {
      return std::any_of(g_both.lines.begin(), g_both.lines.end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(said(both), save);
    EXPECT_TRUE(said(save ? both : "Writing the recordings to the disk: "));
    // Whole once let go, and no longer noted.
    const std::string bytes = ReadAll(DataFolder() + "/AUDIO/" + g_bothStem + ".wav");
    ASSERT_GT(bytes.size(), 88u + 48000);
    uint32_t named = 0;
    std::memcpy(&named, bytes.data() + 84, 4);
    EXPECT_EQ(named + 88, bytes.size());
    EXPECT_FALSE(fs::exists(DataFolder() + "/" + Tarvelo::kUnconfirmedNoteName));
    EXPECT_FALSE(fs::exists(DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote));
    EXPECT_EQ(synccount::ThreadsNamed("tarvelo-end"), 0);
  }
}

// The last run's end could not finish some saves: the next start says which,
// where the status line shows it, and asks; the note goes once acknowledged.
TEST_F(AppRun, TheSavesTheLastEndCouldNotFinishAreSaidAtTheNextStart) {
  WriteFile(DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote, "mine.tarvelo\nWF_Library.txt\n");
  g_beforeStep = [](int32_t step) {
    if (step == 42) Tarvelo::AcknowledgeLastEnd(QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder));
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "The last run ended before these files were saved; each may still hold its earlier "
                              "contents: mine.tarvelo, WF_Library.txt");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].level, 2);
  EXPECT_FALSE(fs::exists(DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote));
}

// An end with nothing new to note leaves the notes the user has not
// acknowledged as they are: the same file, not one written again (the disk
// that held the last run's saves may still be writing it back), and one the
// start could not read whole stays to be said again.
TEST_F(AppRun, AnEndWithNothingNewLeavesTheNotesAsTheyAre) {
  const std::string saves = DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote;
  const std::string takes = DataFolder() + "/" + Tarvelo::kUnconfirmedNoteName;
  const struct {
    std::string savesText, takesText;
  } rows[] = {
      {"mine.tarvelo\nWF_Library.txt\n", "REC_1.wav\n"},
      {"mine.tarvelo\nmine.tarvelo\n", ""},                       // a name twice is the same names
      {std::string("mine.tarvelo\n\0\0\0", 16), std::string(8, '\0')},  // not read whole
  };
  int32_t held = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.savesText);
    Restart();
    fs::remove_all(saves);
    fs::remove_all(takes);
    WriteFile(saves, r.savesText);
    if (!r.takesText.empty()) WriteFile(takes, r.takesText);
    struct stat before[2] = {};
    ::stat(saves.c_str(), &before[0]);
    ::stat(takes.c_str(), &before[1]);
    // The start's own saves landed (a loaded machine may still be writing
    // them at the end, which would then have something new to note).
    g_beforeStep = [](int32_t step) {
      if (step == 41) LetTheStartsSavesLand();
    };
    ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
    struct stat after[2] = {};
    const bool ok = ::stat(saves.c_str(), &after[0]) == 0 && after[0].st_ino == before[0].st_ino &&
                    ReadAll(saves) == r.savesText &&
                    (r.takesText.empty() ? !fs::exists(takes)
                                         : ::stat(takes.c_str(), &after[1]) == 0 &&
                                               after[1].st_ino == before[1].st_ino && ReadAll(takes) == r.takesText);
    EXPECT_TRUE(ok);
    held += ok;
  }
  EXPECT_EQ(held, static_cast<int32_t>(std::size(rows)));
}

void AddModuleWithAutoSave(int32_t step) {
  if (step != 41) return;
  Tarvelo::ModuleRecord* m = nullptr;
  ASSERT_GE(Tarvelo::AddModule(2, true, &m), 0);
  Tarvelo::Settings.AutoSave = -1;
  Tarvelo::SessionFolder = "\\songs";
  Tarvelo::SessionFile = "mine.tarvelo";
}

TEST_F(AppRun, ModulesOnThePlaneAreSavedOnlyWithAutoSave) {
  g_beforeStep = AddModuleWithAutoSave;
  g_calls.saveSessionResult = -QUARLE_BASICS::kErrFileNotFound;
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  ASSERT_EQ(g_calls.savedSessions, (std::vector<std::string>{"\\songs|mine.tarvelo"}));
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "Saving session.");
  ASSERT_GE(i, 0);
  // The failure is the error text alone.
  ASSERT_LT(i + 1, static_cast<int32_t>(log.size()));
  EXPECT_EQ(log[i + 1].text, QUARLE_BASICS::ErrorText(-QUARLE_BASICS::kErrFileNotFound));
  EXPECT_EQ(log[i + 1].level, 2);

  // Without auto-save nothing is saved.
  Restart();
  g_beforeStep = [](int32_t step) {
    AddModuleWithAutoSave(step);
    Tarvelo::Settings.AutoSave = 0;
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_TRUE(g_calls.savedSessions.empty());
}

using AppRunDeathTest = AppRun;

// A normal quit ends with 0; a start-up that failed must not look like success.
TEST_F(AppRunDeathTest, TheExitCodeIs0OnlyAfterANormalRun) {
  GTEST_FLAG_SET(death_test_style, "fast");
  std::string self = program_ + "/tarvelo";
  char* argv[] = {self.data(), nullptr};
  EXPECT_EXIT(Tarvelo::Main(1, argv), ::testing::ExitedWithCode(0), "");
  fs::remove_all(program_ + "/FONTS");
  EXPECT_EXIT(Tarvelo::Main(1, argv), ::testing::ExitedWithCode(1), "");
}

// The display server going away while the loop runs ends the run as a quit
// does (the work is saved), with a line that says so and a failing exit code.
TEST_F(AppRunDeathTest, ALostDisplaySavesTheWorkAndExitsWithCode1) {
  GTEST_FLAG_SET(death_test_style, "fast");
  std::string self = program_ + "/tarvelo";
  char* argv[] = {self.data(), nullptr};
  unsetenv("TARVELO_EXIT_AFTER_MS");  // only the lost display may end the run
  g_beforeStep = [](int32_t step) {
    if (step != 41) return;
    Tarvelo::Settings.AutoSave = -1;
    Tarvelo::ModuleRecord* m = nullptr;
    ASSERT_GE(Tarvelo::AddModule(2, true, &m), 0);
    platform::MarkDisplayLost();
  };
  EXPECT_EXIT(Tarvelo::Main(1, argv), ::testing::ExitedWithCode(1), "");
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "The connection to the display ");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].level, 3);
  EXPECT_GT(Find(log, "Saving session.", i), i);
  EXPECT_GT(Find(log, "Saving libraries.", i), i);
}

// Two quit signals while the end waits for a disk that holds the recordings'
// syncs (the header of a take then names only what a sync kept): the second
// cuts the wait short, every take's header names all its file holds, and the
// process ends with 128 + the second's number.
TEST_F(AppRunDeathTest, ASecondQuitSignalCutsTheEndShortWithEveryTakeNamedWhole) {
  GTEST_FLAG_SET(death_test_style, "fast");
  std::string self = program_ + "/tarvelo";
  char* argv[] = {self.data(), nullptr};
  unsetenv("TARVELO_EXIT_AFTER_MS");  // only the signals end the run
  const std::string take = DataFolder() + "/AUDIO/held.wav";
  // Never destroyed: the test's thread in the run reads it until the process ends.
  static std::string& g_take = *new std::string;
  g_take = take;
  g_beforeStep = [](int32_t step) {
    if (step != 41) return;
    PlayAndRecord("held", 1);
    std::thread([] {
      // A second of sound on the disk, then a disk that keeps nothing more.
      WaitUntil([] { std::error_code ec; return fs::file_size(g_take, ec) > 88 + 192000 && !ec; });
      synccount::Hold("tarvelo-recsync");
      WaitUntil([] { std::error_code ec; return fs::file_size(g_take, ec) > 88 + 3 * 192000 && !ec; });
      ::kill(::getpid(), SIGTERM);
      // The end is waiting for the writer once the audio thread is gone.
      WaitUntil([] { return synccount::ThreadsNamed("tarvelo-audio") == 0; });
      ::kill(::getpid(), SIGTERM);
    }).detach();
  };
  EXPECT_EXIT(Tarvelo::Main(1, argv), ::testing::ExitedWithCode(128 + SIGTERM), "");
  const std::string bytes = ReadAll(take);
  ASSERT_GT(bytes.size(), 88u + 3 * 192000);
  uint32_t named = 0;
  std::memcpy(&named, bytes.data() + 84, 4);
  EXPECT_EQ(named + 88, bytes.size()) << "seconds named " << named / 192000.0 << " of "
                                      << (bytes.size() - 88) / 192000.0;
  // The disk never confirmed it: said at the end, and noted for the next start.
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "These recordings may not be whole on the disk, which did not confirm them before the end: ");
  ASSERT_GE(i, 0);
  EXPECT_NE(log[i].text.find("held.wav"), std::string::npos);
  EXPECT_EQ(ReadAll(DataFolder() + "/" + Tarvelo::kUnconfirmedNoteName), "held.wav\n");
}

// A second quit signal while the end waits for a save the disk holds: the wait
// ends, the save is named (and noted for the next start), the file keeps its
// old bytes, and the process ends with 128 + the signal's number.
TEST_F(AppRunDeathTest, ASecondQuitSignalCutsTheSaversWaitShortAndNamesTheSave) {
  GTEST_FLAG_SET(death_test_style, "fast");
  std::string self = program_ + "/tarvelo";
  char* argv[] = {self.data(), nullptr};
  unsetenv("TARVELO_EXIT_AFTER_MS");  // only the signals end the run
  WriteFile(DataFolder() + "/WF_Library.txt", "old");
  g_onSavesWait = [] { ::kill(::getpid(), SIGTERM); };
  g_beforeStep = [](int32_t step) {
    HoldTheLibrarysSave(step);
    if (step == 41) std::thread([] { ::kill(::getpid(), SIGTERM); }).detach();
  };
  EXPECT_EXIT(Tarvelo::Main(1, argv), ::testing::ExitedWithCode(128 + SIGTERM), "");
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "These files were not saved before the end, as the disk did not write them; each may "
                              "still hold its earlier contents: WF_Library.txt");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].level, 2);
  EXPECT_EQ(ReadAll(DataFolder() + "/WF_Library.txt"), "old");
  EXPECT_EQ(ReadAll(DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote), "WF_Library.txt\n");
}

// A quit signal while a take runs and the disk holds a save: the take ends at
// once, as REC off ends it (its file is closed while the saves still wait),
// the file not yet saved is noted for the next start before the wait (a
// desktop may kill the program in it), the end gives up by itself once the
// signal's bound has passed (here at once) and names the file whole, and the
// exit code says the end was not clean.
TEST_F(AppRunDeathTest, AQuitSignalEndsTheTakeAtOnceAndTheEndGivesUpByItself) {
  GTEST_FLAG_SET(death_test_style, "fast");
  std::string self = program_ + "/tarvelo";
  char* argv[] = {self.data(), nullptr};
  unsetenv("TARVELO_EXIT_AFTER_MS");  // only the signal ends the run
  // Never destroyed: the run's threads read them until the process ends.
  static std::string& g_data = *new std::string;
  g_data = DataFolder();
  WriteFile(DataFolder() + "/WF_Library.txt", "old");
  // The waits give up at once; the steps after them keep their share.
  Tarvelo::SignalEndSeconds = Tarvelo::kSignalSayingSeconds + Tarvelo::kSignalTailSeconds;
  g_onSavesWait = [] {
    // Once only: what the note holds as the wait begins, and whether the
    // take was closed while the saves wait.
    static bool once = false;
    if (once) return;
    once = true;
    std::ofstream(g_data + "/note-at-wait") << ReadAll(g_data + "/" + Tarvelo::kUnfinishedSavesNote);
    std::ofstream(g_data + "/take-at-wait") << (QUARLE_AUDIO::RecordingWriterSettle(30.0) ? "closed" : "running");
  };
  g_beforeStep = [](int32_t step) {
    HoldTheLibrarysSave(step);
    if (step != 41) return;
    PlayAndRecord("logout", ++Tarvelo::RecordingTake);
    Tarvelo::OutputRecording = -1;
    std::thread([] {
      WaitUntil([] {
        std::error_code ec;
        return fs::file_size(g_data + "/AUDIO/logout.wav", ec) > 88 + 192000 && !ec;
      });
      ::kill(::getpid(), SIGTERM);
    }).detach();
  };
  EXPECT_EXIT(Tarvelo::Main(1, argv), ::testing::ExitedWithCode(Tarvelo::kExitEndUnclean), "");
  EXPECT_EQ(ReadAll(DataFolder() + "/take-at-wait"), "closed");
  EXPECT_EQ(ReadAll(DataFolder() + "/note-at-wait"), "WF_Library.txt\n");
  EXPECT_EQ(ReadAll(DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote), "WF_Library.txt\n");
  EXPECT_EQ(ReadAll(DataFolder() + "/WF_Library.txt"), "old");
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "These files were not saved before the end, as the disk did not write them; each may "
                              "still hold its earlier contents: WF_Library.txt. The disk does not finish writing "
                              "WF_Library.txt: ");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].level, 2);
  // The take's header names all its file holds.
  const std::string bytes = ReadAll(DataFolder() + "/AUDIO/logout.wav");
  ASSERT_GT(bytes.size(), 88u);
  uint32_t named = 0;
  std::memcpy(&named, bytes.data() + 84, 4);
  EXPECT_EQ(named + 88, bytes.size());
}

// The end's clock in a death test: it moves a quarter second at each read
// and by each pause of the end (the test's pauses take no time), so the end
// after a signal runs in a few seconds whatever its bound; the parent reads
// what the run's clock said when the signal came and last.
struct EndClockShare {
  std::atomic<int64_t> reads{0};
  std::atomic<int64_t> pausedMs{0};
  std::atomic<int64_t> signalAt{-1};  // in reads' quarters and pauses' ms: ms
  std::atomic<int64_t> lastAt{0};     // ms
};
EndClockShare* g_endClock = nullptr;  // shared with the run's process (mmap)

int64_t EndClockMs() { return g_endClock->reads.load() * 250 + g_endClock->pausedMs.load(); }
double EndClockRead() {
  g_endClock->reads.fetch_add(1);
  const int64_t at = EndClockMs();
  int64_t last = g_endClock->lastAt.load();
  while (last < at && !g_endClock->lastAt.compare_exchange_weak(last, at)) {
  }
  return at / 1000.0;
}

// After a quit signal the whole end is over within its one bound, counted
// from the signal's moment: the waits for a disk that holds the saves and
// the take give up in time for the steps after them (the takes' last moment,
// the notes, what the end says, the countdown), each of which takes only
// what the bound leaves.
TEST_F(AppRunDeathTest, TheEndAfterASignalIsOverWithinItsBound) {
  GTEST_FLAG_SET(death_test_style, "fast");
  std::string self = program_ + "/tarvelo";
  char* argv[] = {self.data(), nullptr};
  unsetenv("TARVELO_EXIT_AFTER_MS");  // only the signal ends the run
  void* shared = ::mmap(nullptr, sizeof(EndClockShare), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  g_endClock = new (shared) EndClockShare;
  static std::string& g_data = *new std::string;  // the run's threads read it to the end
  g_data = DataFolder();
  Tarvelo::SignalEndSeconds = 50.0;
  g_beforeStep = [](int32_t step) {
    if (step != 41) return;
    LetTheStartsSavesLand();  // the library's is the only save the disk holds
    Startup.Pause = [](int32_t ms) { g_endClock->pausedMs.fetch_add(ms); };
    Tarvelo::SetEndClock(EndClockRead);
    Tarvelo::LibraryChanged = -1;
    Startup.SaveWFLibrary = Tarvelo::SaveWFLibraryThen;
    PlayAndRecord("bound", ++Tarvelo::RecordingTake);
    Tarvelo::OutputRecording = -1;
    std::thread([] {
      WaitUntil([] {
        std::error_code ec;
        return fs::file_size(g_data + "/AUDIO/bound.wav", ec) > 88 + 48000 && !ec;
      });
      // A disk that keeps nothing more: the take and the library's save wait.
      synccount::HoldUnder(g_data);
      g_endClock->signalAt.store(EndClockMs());
      ::kill(::getpid(), SIGTERM);
    }).detach();
  };
  EXPECT_EXIT(Tarvelo::Main(1, argv), ::testing::ExitedWithCode(Tarvelo::kExitEndUnclean), "");
  const int64_t signalAt = g_endClock->signalAt.load(), lastAt = g_endClock->lastAt.load();
  ::munmap(shared, sizeof(EndClockShare));
  g_endClock = nullptr;
  ASSERT_GE(signalAt, 0);
  // It waited for the disk (the waits ran on its clock) ...
  EXPECT_GT(lastAt - signalAt, 30000);
  // ... and all of it was over within the bound.
  EXPECT_LE(lastAt - signalAt, 50000) << "signal " << signalAt << " last " << lastAt;
  const std::vector<LogEntry> log = Log();
  EXPECT_GE(Find(log, "These files were not saved before the end, as the disk did not write them; each may still "
                      "hold its earlier contents: WF_Library.txt"),
            0);
}

// A quit signal that comes while the window's thread is busy for longer than
// the signal's bound (a save it waits for, a slow handler): the end counts the
// bound from the signal's own moment, so it is already over when the end
// begins. The end gives up on the save the disk holds at its first look,
// though the disk lets the save go soon after: the file is named and noted.
TEST_F(AppRunDeathTest, TheSignalsBoundCountsFromTheSignalNotFromWhenABusyWindowTookIt) {
  GTEST_FLAG_SET(death_test_style, "fast");
  std::string self = program_ + "/tarvelo";
  char* argv[] = {self.data(), nullptr};
  unsetenv("TARVELO_EXIT_AFTER_MS");  // only the signal ends the run
  WriteFile(DataFolder() + "/WF_Library.txt", "old");
  // Half a second after the end said it waits, the disk writes again: an end
  // that counted its bound from its own start would see the save land.
  g_onSavesWait = [] {
    static std::atomic<bool> once{false};
    if (once.exchange(true)) return;
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      synccount::Release();
    }).detach();
  };
  g_beforeStep = [](int32_t step) {
    HoldTheLibrarysSave(step);
    if (step != 41) return;
    ::kill(::getpid(), SIGTERM);
    WaitUntil([] { return platform::FirstQuitSignalAt() > 0; });
    // The window's thread busy past the bound, counted from the signal.
    while (platform::HighResClock() < platform::FirstQuitSignalAt() + Tarvelo::SignalEndSeconds + 0.1)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  // Set in the run's own process only.
  EXPECT_EXIT(
      {
        Tarvelo::SignalEndSeconds = 3.0;
        Tarvelo::Main(1, argv);
      },
      ::testing::ExitedWithCode(Tarvelo::kExitEndUnclean), "");
  const std::vector<LogEntry> log = Log();
  EXPECT_GE(Find(log, "These files were not saved before the end, as the disk did not write them; each may "
                      "still hold its earlier contents: WF_Library.txt"),
            0);
  // The disk let the save go after the end gave up on it: on a loaded machine
  // it may land before the process is gone, and the note may then name
  // nothing. A file not saved is always named.
  const std::string note = ReadAll(DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote);
  if (ReadAll(DataFolder() + "/WF_Library.txt") == "old" || !note.empty()) EXPECT_EQ(note, "WF_Library.txt\n");
}

// A save the disk refuses at the end (a stick pulled out during the wait):
// the end names the file whole, once, notes it for the next start, and the
// exit code says the end was not clean. Without a window nothing waits to be
// read.
TEST_F(AppRunDeathTest, TheEndNamesEachFileItCouldNotSaveOnce) {
  GTEST_FLAG_SET(death_test_style, "fast");
  std::string self = program_ + "/tarvelo";
  char* argv[] = {self.data(), nullptr};
  WriteFile(DataFolder() + "/WF_Library.txt", "old");
  g_beforeStep = [](int32_t step) {
    if (step != 41) return;
    ASSERT_GE(Tarvelo::AddLibraryPlaceholder(Tarvelo::SampleLibrary, "\\somewhere", "library.wav"), 0);
    Tarvelo::LibraryChanged = -1;
    Startup.SaveWFLibrary = Tarvelo::SaveWFLibraryThen;
    // The disk refuses the library's bytes, twice: an earlier save of it
    // failed too, and it is named once.
    Tarvelo::DocumentFailWritesAfter(0);
    Tarvelo::SaveWFLibraryThen([](int32_t) {});
    platform::SaverWaitIdle(30.0);
    platform::SaverTakeOutcomes();
    Tarvelo::DocumentFailWritesAfter(0);
  };
  EXPECT_EXIT(Tarvelo::Main(1, argv), ::testing::ExitedWithCode(Tarvelo::kExitEndUnclean), "");
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "These files could not be saved; each keeps what it held before: WF_Library.txt");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text, "These files could not be saved; each keeps what it held before: WF_Library.txt");
  EXPECT_EQ(log[i].level, 2);
  EXPECT_EQ(ReadAll(DataFolder() + "/WF_Library.txt"), "old");
  EXPECT_EQ(ReadAll(DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote), "WF_Library.txt\n");
}

// What the end says is shown whole on the status line: pieces cut at blanks,
// a word longer than a line where the line ends, each marked with its place;
// a text that fits, or a line too narrow for any piece, stays whole. Rows:
// the text, the line's room in characters, the pieces.
TEST(EndSaying, TextsLongerThanTheStatusLineAreShownWholeInPieces) {
  const struct {
    std::string text;
    size_t room;
    std::vector<std::string> pages;
  } kRows[] = {
      {"short", 20, {"short"}},
      {"", 20, {""}},
      {"aaa bbb ccc ddd", 15, {"aaa bbb ccc ddd"}},
      {"These files: a.txt, b.txt, c.txt", 20, {"(1/3) These files:", "(2/3) a.txt,", "(3/3) b.txt, c.txt"}},
      {"x ABCDEFGHIJKLMNOPQRST y", 14,
       {"(1/5) x", "(2/5) ABCDEF", "(3/5) GHIJKL", "(4/5) MNOPQR", "(5/5) ST y"}},
      {"too narrow for anything", 3, {"too narrow for anything"}},
  };
  for (const auto& r : kRows) {
    SCOPED_TRACE(r.text);
    const size_t room = r.room;
    EXPECT_EQ(Tarvelo::StatusLinePages(r.text, [room](const std::string& t) { return t.size() <= room; }), r.pages);
  }
  // Each piece stays up long enough to be read, a long one longer.
  EXPECT_EQ(Tarvelo::ReadingSeconds(0, Tarvelo::EndWarningSeconds), Tarvelo::EndWarningSeconds);
  EXPECT_GE(Tarvelo::ReadingSeconds(240, Tarvelo::EndWarningSeconds), 240 / 15.0);
}

}  // namespace
}  // namespace apptest
