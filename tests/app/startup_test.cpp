// The start-up sequence run headless in a temporary home: the data folder and
// its sub-folders, the demo bits, the default tuning file, the welcome lines,
// the session from the command line, and each failure with its status.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/display.h"

#include "app/documents/synth_file.h"
#include "app/documents/take_recovery.h"
#include "app/fixed_tables.h"
#include "app/startup_hooks.h"
#include "app/startup_work.h"
#include "basics/program.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/settings.h"
#include "app/state/ui_hooks.h"
#include "app_run_fixture.h"
#include "audio/wav.h"
#include "basics/errors.h"
#include "engine/tuning.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/visuals.h"

namespace apptest {
namespace {

using Tarvelo::Startup;

int64_t g_rootDisabledAtEnd = 0;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(AppRun, FirstStartMakesTheDataFolderAndLogsTheWelcome) {
  // What the video thread was drawing when the loop ended: an enabled root.
  g_rootDisabledAtEnd = 1;
  g_beforeStep = [](int32_t step) {
    if (step != 42) return;
    QUARLE_VISUALS::RenderRecord r;
    QUARLE_VISUALS::RenderRecordInit(&r);
    QUARLE_VISUALS::FetchRenderRecord(&r, 0);
    g_rootDisabledAtEnd = r.State.Disabled;
    QUARLE_VISUALS::RenderRecordFree(&r);
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(loopEntered_, -1);
  EXPECT_EQ(g_rootDisabledAtEnd, 0);

  // The folders did not exist when they were probed.
  EXPECT_EQ(demoFlags_, 3);
  ASSERT_EQ(g_calls.demoFlags.size(), 1u);
  EXPECT_EQ(g_calls.demoFlags[0], 3);
  for (const char* sub : {"AUDIO", "AUDIO/CONVERTED", "AUDIO/RECORDED", "FILTERS", "MELODIES",
                          "SYNTHS", "SYNTHS/DEMO 1.8.13", "TUNINGS"})
    EXPECT_TRUE(fs::is_directory(DataFolder() + "/" + sub)) << sub;
  EXPECT_EQ(Tarvelo::DataSubFolder(6), "SYNTHS\\DEMO 1.8.13");
  EXPECT_GT(fs::file_size(DataFolder() + "/TUNINGS/Chromatic.tng"), 27u);
  EXPECT_TRUE(fs::exists(DataFolder() + "/Settings.txt"));

  // No session: a new synth, started as a click on its button.
  EXPECT_EQ(newSession_, -1);
  EXPECT_TRUE(g_calls.loadedSynths.empty());
  ASSERT_EQ(g_calls.newSynthClicks.size(), 1u);
  EXPECT_EQ(g_calls.newSynthClicks[0].first, 8);

  const std::vector<LogEntry> log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0].text, "Tarvelo v1.8.13 64-bit");
  EXPECT_EQ(log[0].level, 0);
  EXPECT_EQ(log[1].text.rfind("Started on ", 0), 0u);
  // mm-dd-yyyy at hh:mm:ss
  EXPECT_EQ(log[1].text.size(), std::string("Started on 01-02-2026 at 10:11:12").size());
  // The user's name with its first letter in upper case.
  EXPECT_EQ(log[2].text, "Welcome to Tarvelo, Zo\xE9!");
  EXPECT_EQ(log[3].text.rfind("I've found ", 0), 0u);
  EXPECT_NE(log[3].text.find(" MIDI devices."), std::string::npos);
  EXPECT_EQ(log[3].level, 0);
  EXPECT_GE(Find(log, "Loading audio library."), 0);
  EXPECT_GE(Find(log, "Loading filters."), 0);
  EXPECT_GE(Find(log, "Display driver is GDI"), 0);
}

TEST_F(AppRun, ASecondStartFindsTheFolders) {
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  Restart();
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(demoFlags_, 0);
  EXPECT_EQ(g_calls.demoFlags, (std::vector<int32_t>{0}));
  // The default tuning in memory is built once per start, not added to.
  EXPECT_EQ(Tarvelo::ActiveTuning.PatternCount, 47);
}

TEST_F(AppRun, TheLastSynthFileOnTheCommandLineBecomesTheSession) {
  const std::string first = root_ + "/songs/first.TARVELO";
  const std::string second = root_ + "/songs/Second.Tarvelo";
  WriteFile(first, "x");
  WriteFile(second, "x");
  WriteFile(root_ + "/songs/notes.txt", "x");
  fs::current_path(root_ + "/songs");
  // A relative name counts from the folder the program was started in.
  ASSERT_EQ(RunProgram({first, "Second.Tarvelo", "notes.txt", root_ + "/songs/missing.tarvelo"}),
            Tarvelo::kStartupOk);
  ASSERT_EQ(g_calls.loadedSynths.size(), 1u);
  EXPECT_EQ(g_calls.loadedSynths[0], platform::FromOsPath(root_ + "/songs") + "|Second.Tarvelo");
  EXPECT_EQ(newSession_, 0);
  EXPECT_TRUE(g_calls.newSynthClicks.empty());
  EXPECT_EQ(Tarvelo::SessionTitle, "Second");
  EXPECT_GE(Find(Log(), "Loading synthesizer file."), 0);
}

TEST_F(AppRun, ASynthFileThatCannotBeOpenedStartsANewSynth) {
  const std::string file = root_ + "/broken.tarvelo";
  WriteFile(file, "x");
  g_calls.loadSynthResult = -QUARLE_BASICS::kErrIncompatibleFile;
  ASSERT_EQ(RunProgram({file}), Tarvelo::kStartupOk);
  EXPECT_EQ(newSession_, -1);
  EXPECT_EQ(g_calls.newSynthClicks.size(), 1u);
  EXPECT_TRUE(Tarvelo::SessionFile.empty());
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "broken.tarvelo could not be opened: ");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text, "broken.tarvelo could not be opened: Incompatible file content");
  EXPECT_EQ(log[i].level, 2);
}

// A pipe, a link to a device or a folder named as the session is refused as a
// damaged file is; the session saved before is neither loaded nor written.
TEST_F(AppRun, ASessionThatIsNoFileIsNamedWithItsCauseAndANewSynthStarts) {
  const std::string previous = DataFolder() + "/SYNTHS/previous.tarvelo";
  Startup.LoadSynth = [](const std::string& folder, const std::string& file) -> int32_t {
    g_calls.loadedSynths.push_back(folder + "|" + file);
    return Tarvelo::LoadSynth(folder, file);
  };
  for (const std::string name : {"fifo.tarvelo", "zero.tarvelo", "folder.tarvelo"}) {
    SCOPED_TRACE(name);
    Restart();
    WriteFile(DataFolder() + "/Settings.txt", "\"SESSION\",\"\\old\\place\",\"previous.tarvelo\"\r\n");
    WriteFile(previous, "saved before");
    const std::string at = root_ + "/" + name;
    const bool folder = name[1] == 'o';
    const char* p = at.c_str();
    ASSERT_EQ(folder ? ::mkdir(p, 0755) : name[0] == 'z' ? ::symlink("/dev/zero", p) : ::mkfifo(p, 0644), 0);
    ASSERT_EQ(RunProgram({at + (folder ? "/" : "")}), Tarvelo::kStartupOk);  // a shell ends a folder's name so
    EXPECT_EQ(g_calls.newSynthClicks.size(), 1u);
    EXPECT_TRUE(Tarvelo::SessionFile.empty());
    for (const std::string& loaded : g_calls.loadedSynths) EXPECT_EQ(loaded.find("previous"), std::string::npos);
    const std::vector<LogEntry> log = Log();
    const char* cause = folder ? "A folder, not a file" : "Not a regular file (a named pipe, a device or a socket)";
    const int32_t i = Find(log, name + " could not be opened: " + cause);
    EXPECT_EQ(i < 0 ? -1 : log[i].level, 2);
    EXPECT_EQ(ReadAll(previous), "saved before");
  }
}

// A Settings.txt that is no file is said (a folder as its save's failure); the run starts from the defaults.
TEST_F(AppRun, ASettingsFileThatIsNoFileIsNamedWithItsCause) {
  const std::string at = DataFolder() + "/Settings.txt";
  for (const std::string kind : {"fifo", "zero", "folder"}) {
    Restart();
    fs::create_directories(DataFolder()), fs::remove_all(at);
    const char* p = at.c_str();
    ASSERT_EQ(kind == "folder" ? ::mkdir(p, 0755) : kind == "zero" ? ::symlink("/dev/zero", p) : ::mkfifo(p, 0644), 0);
    ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
    const std::vector<LogEntry> log = Log();
    const int32_t i = Find(log, kind == "folder" ? "Error saving settings file: "
                                                 : "Settings.txt could not be opened: Not a regular file (a named pipe");
    EXPECT_TRUE(i >= 0 && log[i].level == 2) << kind;
  }
  fs::remove_all(at);
}

TEST_F(AppRun, ASessionWhoseFolderIsGoneIsLookedForInTheSynthsFolder) {
  WriteFile(DataFolder() + "/Settings.txt", "\"SESSION\",\"\\old\\place\",\"moved.tarvelo\"\r\n");
  WriteFile(DataFolder() + "/SYNTHS/moved.tarvelo", "x");
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  ASSERT_EQ(g_calls.loadedSynths.size(), 1u);
  EXPECT_EQ(g_calls.loadedSynths[0], platform::FromOsPath(DataFolder()) + "\\SYNTHS|moved.tarvelo");

  // Nowhere to be found: a warning and a new synth.
  Restart();
  WriteFile(DataFolder() + "/Settings.txt", "\"SESSION\",\"\\old\\place\",\"gone.tarvelo\"\r\n");
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_TRUE(g_calls.loadedSynths.empty());
  EXPECT_EQ(newSession_, -1);
  EXPECT_EQ(g_calls.newSynthClicks.size(), 1u);
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "gone.tarvelo could not be found.");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].level, 1);
}

TEST_F(AppRun, TuningLocksThatCannotBeMadeGiveStatus3) {
  g_beforeStep = [](int32_t step) {
    if (step == 23) platform::FailNextMutexCreations(1);
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupTuningLocks);
  EXPECT_EQ(loopEntered_, 0);
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "MUTEXCREATE MT_TUNINGS(): ");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text,
            "MUTEXCREATE MT_TUNINGS(): Error creating a mutex during the initialization process.");
  EXPECT_EQ(log[i].level, 4);
  // Nothing after the locks ran.
  EXPECT_EQ(Find(log, "Loading audio library."), -1);
  EXPECT_TRUE(g_calls.newSynthClicks.empty());
}

TEST_F(AppRun, MissingFontsEndTheStartUpWithStatus2) {
  fs::remove_all(program_ + "/FONTS");
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupNoLoop);
  EXPECT_EQ(loopEntered_, 0);
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "I could not find/load: ");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].level, 4);
  EXPECT_EQ(Find(log, "Display driver is "), -1);
  // The session and the settings are steps that never ran.
  EXPECT_TRUE(g_calls.newSynthClicks.empty());
  EXPECT_FALSE(fs::exists(DataFolder() + "/Settings.txt"));
  EXPECT_GE(Find(log, "Something went wrong during initialization. (Code 2)"),
            0);
}

// A WAV file's save syncs "<name>.wav~tarvelo-1.part" and renames it: a run that ended
// between the two leaves a whole take under a name nothing reads.
TEST_F(AppRun, TakesWhoseSaveWasCutShortArePutInPlaceOrNamedAndKept) {
  ASSERT_EQ(QUARLE_BASICS::BasicsCreateLocks(), 0);
  // The real writer's file as its sync left it, before the rename.
  const auto saved = [&](int32_t bits, const char* text) {
    QUARLE_AUDIO::SoundBuffer sb;
    QUARLE_AUDIO::SoundBufferInitFormat(&sb, 2, 32, 48000);
    sb.dataSize = 4 * 2 * 301;
    sb.samples = static_cast<float*>(std::calloc(2 * 301, sizeof(float)));
    QUARLE_BASICS::DynZStringAssign(sb.listText, text);
    EXPECT_EQ(QUARLE_AUDIO::SaveWavFile(platform::FromOsPath(root_ + "/made.wav"), &sb, bits), 0);
    QUARLE_AUDIO::SoundBufferFree(&sb);
    return ReadAll(root_ + "/made.wav");
  };
  const std::string whole = saved(16, "");
  ASSERT_GT(whole.size(), 88u);
  // The whole take with one size field (the RIFF's at 4, the data's at 84) set off by `by`.
  const auto sized = [&whole](size_t at, int64_t by) {
    std::string b = whole;
    const auto v = static_cast<uint32_t>(static_cast<int64_t>(whole.size()) - (at == 4 ? 8 : 88) + by);
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    return b;
  };
  enum Kind { kFile, kFolder, kLink, kDanglingLink };
  const char* const cut = ": it is no whole WAV file (its save was cut short before it was complete).";
  const char* const rec = "AUDIO/RECORDED";
  // The leftover, what holds the name it would take, what the log says after "Kept <leftover>" ("": put
  // in place instead; null: not looked at), and the name it takes if not its own less "~tarvelo-<n>.part".
  const struct Row { const char *folder, *name; std::string bytes; Kind kind; const char *taken, *says, *to{}; } rows[] = {
      {rec, "Rec1.wav~tarvelo-1.part", whole, kFile, nullptr, ""},
      {rec, "Text.wav~tarvelo-1.part", saved(32, "odd"), kFile, nullptr, ""},  // a LIST of odd size, no pad
      {rec, "Padded.wav~tarvelo-1.part", sized(84, -1), kFile, nullptr, ""},   // odd data and its pad byte
      {rec, "UPPER.WAV~tarvelo-1.part", whole, kFile, nullptr, ""},
      {"AUDIO/CONVERTED", "Converted.wav~tarvelo-1.part", whole, kFile, nullptr, ""},
      {"FILTERS", "Kernel.wav~tarvelo-1.part", whole, kFile, nullptr, ""},
      {rec, "Second.wav~tarvelo-2.part", whole, kFile, nullptr, "", "Second.wav"},  // a second save's work file
      {rec, "~tarvelo-0123456789abcdef-1.wav.part", whole, kFile, nullptr,
       ": it holds a whole WAV file whose name was too long to write beside it; rename it to keep it.", "-"},
      {rec, "~tarvelo-0123456789abcdef.part", whole, kFile, nullptr,  // an older version's short name
       ": it holds a whole WAV file whose name was too long to write beside it; rename it to keep it.", "-"},
      {rec, "Taken.wav~tarvelo-1.part", whole, kFile, "older take",
       ": it holds a whole WAV file, but Taken.wav is already there; rename one of them to keep both."},
      {rec, "Truncated.wav~tarvelo-1.part", whole.substr(0, whole.size() - 10), kFile, nullptr, cut},
      {rec, "RiffSize.wav~tarvelo-1.part", sized(4, 2), kFile, nullptr, cut},
      {rec, "Beyond.wav~tarvelo-1.part", sized(84, 4), kFile, nullptr, cut},
      {rec, "Short.wav~tarvelo-1.part", sized(84, -4), kFile, nullptr, cut},
      {rec, "NoFormat.wav~tarvelo-1.part", std::string(whole).replace(12, 4, "fmtx"), kFile, nullptr, cut},
      {rec, "Notes.wav~tarvelo-1.part", "not a RIFF file at all", kFile, nullptr, cut},
      {rec, "Empty.wav~tarvelo-1.part", "", kFile, nullptr, cut},
      {rec, "Folder.wav~tarvelo-1.part", "", kFolder, nullptr, ": it is no plain file."},
      {rec, "Link.wav~tarvelo-1.part", whole, kLink, nullptr, ": it is no plain file."},
      {rec, "Dangling.wav~tarvelo-1.part", "", kDanglingLink, nullptr, ": it is no plain file."},
      {rec, "Song.tarvelo~tarvelo-1.part", whole, kFile, nullptr, nullptr},  // only WAV files' leftovers are looked at
      {"AUDIO", "REC_out.wav~tarvelo-1.part", whole, kFile, nullptr, nullptr},  // recordings are written in place
      {rec, "Download.wav.part", whole, kFile, nullptr, nullptr},  // the user's own, or an older version's
  };
  // The name a leftover would take: its own less the mark, its claim number and ".part".
  const auto intoOf = [](const Row& r) {
    const std::string name = r.name;
    return r.to ? std::string(r.to) : name.substr(0, name.rfind("~tarvelo-") == std::string::npos ? name.size() - 5 : name.rfind("~tarvelo-"));
  };
  const auto path = [this](const Row& r) { return DataFolder() + "/" + r.folder + "/" + r.name; };
  for (const Row& r : rows) {
    const std::string part = path(r);
    fs::create_directories(DataFolder() + "/" + r.folder);
    if (r.kind == kFile) WriteFile(part, r.bytes);
    if (r.kind == kFolder) fs::create_directories(part);
    if (r.kind == kLink) WriteFile(root_ + "/elsewhere.wav", r.bytes);
    if (r.kind >= kLink) fs::create_symlink(root_ + (r.kind == kLink ? "/elsewhere.wav" : "/nothing.wav"), part);
    if (r.taken) WriteFile(DataFolder() + "/" + r.folder + "/" + intoOf(r), r.taken);
  }

  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  const std::vector<LogEntry> log = Log();
  int32_t held = 0;  // the figure: rows that came out as they should
  for (const Row& r : rows) {
    const std::string part = path(r), into = intoOf(r);
    const std::string to = DataFolder() + "/" + r.folder + "/" + into;
    const auto line = std::find_if(log.begin(), log.end(), [&](const LogEntry& e) {  // naming it or its take
      return e.text.find(" " + std::string(r.name) + ":") != std::string::npos ||
             e.text.find(" " + into + ":") != std::string::npos;
    });
    const LogEntry said = line == log.end() ? LogEntry{-1, "(nothing)"} : *line;
    const bool moved = r.says && !*r.says;
    const fs::file_status st = fs::symlink_status(part);
    const bool asItWas = r.kind == kFile ? ReadAll(part) == r.bytes : fs::is_directory(st) || fs::is_symlink(st);
    const std::string at = fs::exists(fs::symlink_status(to)) ? ReadAll(to) : "(none)";
    const std::string want = !r.says ? "(nothing)"
                             : moved ? "Recovered " + into + ": its save was cut short before the file took its name."
                                     : std::string("Kept ") + r.name + r.says;
    const bool ok = (moved ? !fs::exists(st) : asItWas) && at == (moved ? r.bytes : r.taken ? r.taken : "(none)") &&
                    said.text.rfind(want, 0) == 0 && said.level == (!r.says ? -1 : moved ? 0 : 1) &&
                    (!r.says || said.text.find(" Folder: " + DataFolder() + "/" + r.folder) != std::string::npos);
    EXPECT_TRUE(ok) << r.name << ": the log said " << said.text;
    held += ok;
  }
  EXPECT_EQ(held, static_cast<int32_t>(std::size(rows)));
  EXPECT_EQ(ReadAll(root_ + "/elsewhere.wav"), whole);

  // A kept leftover is said again at the next start, and nothing changes.
  Restart();
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_GE(Find(Log(), "Kept Truncated.wav~tarvelo-1.part: "), 0);
  EXPECT_EQ(Find(Log(), "Recovered "), -1);
}

// A recording whose end was cut short (a second quit signal, a power cut)
// may hold more than its header names: the next start names every whole frame
// it holds and says so; every other file of the folder stays as it is. The
// takes an end could not confirm are said again at the next start, once.
TEST_F(AppRun, TakesWhoseHeaderNamesLessThanTheyHoldArePutRightAtTheStart) {
  ASSERT_EQ(QUARLE_BASICS::BasicsCreateLocks(), 0);
  const auto saved = [&](int32_t bits) {  // 301 frames as the writer names them whole
    QUARLE_AUDIO::SoundBuffer sb;
    QUARLE_AUDIO::SoundBufferInitFormat(&sb, 2, bits, 48000);
    sb.dataSize = 4 * 2 * 301;
    sb.samples = static_cast<float*>(std::calloc(2 * 301, sizeof(float)));
    EXPECT_EQ(QUARLE_AUDIO::SaveWavFile(platform::FromOsPath(root_ + "/made.wav"), &sb, bits), 0);
    QUARLE_AUDIO::SoundBufferFree(&sb);
    return ReadAll(root_ + "/made.wav");
  };
  const std::string whole = saved(16);
  ASSERT_EQ(whole.size(), 88u + 4 * 301);
  // The take with its RIFF, fact and data sizes naming `frames` frames.
  const auto naming = [](std::string b, uint32_t frames) {
    for (const auto& [at, v] : {std::pair<size_t, uint32_t>{4, 80 + 4 * frames}, {44, frames}, {84, 4 * frames}})
      for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    return b;
  };
  // Built once: two builds may stamp PEAK with two different seconds.
  const std::string floatTake = naming(saved(32), 10);
  const char* const said = "The recording {} named less than its file holds: its header now names all 0.01 s";
  // The file, its bytes, what it holds after the start, whether the log names it.
  const struct Row { const char* name; std::string bytes, after; bool named; bool link = false; } rows[] = {
      {"Cut.wav", naming(whole, 200), whole, true},
      {"Nothing.wav", naming(whole, 0), whole, true},               // the header of a fresh take
      {"PartFrame.wav", naming(whole, 200) + "xy", whole, true},     // a part frame at the end goes
      {"Whole.wav", whole, whole, false},
      {"Beyond.wav", naming(whole, 400), naming(whole, 400), false},  // names more: left for the user
      {"Float.wav", floatTake, floatTake, false},  // no take of the writer's
      {"Notes.wav", "not a RIFF file at all", "not a RIFF file at all", false},
      {"Link.wav", naming(whole, 200), naming(whole, 200), false, true},
  };
  const std::string audio = DataFolder() + "/AUDIO";
  fs::create_directories(audio);
  for (const Row& r : rows) {
    if (!r.link) WriteFile(audio + "/" + r.name, r.bytes);
    if (r.link) WriteFile(root_ + "/elsewhere.wav", r.bytes);
    if (r.link) fs::create_symlink(root_ + "/elsewhere.wav", audio + "/" + r.name);
  }
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  const std::vector<LogEntry> log = Log();
  for (const Row& r : rows) {
    std::string line = said;
    line.replace(line.find("{}"), 2, r.name);
    const int32_t i = Find(log, line);
    EXPECT_EQ(ReadAll(r.link ? root_ + "/elsewhere.wav" : audio + "/" + r.name), r.after) << r.name;
    EXPECT_EQ(i >= 0, r.named) << r.name;
    EXPECT_EQ(i >= 0 ? log[i].level : 1, 1) << r.name;
  }
}

// WAV files of other programs kept in AUDIO: what follows their data chunk is
// theirs (chunks, a pad byte), never sound. Only a take of the writer's
// layout whose data runs to the end of its file, or one the last end named,
// is put right; every other file stays byte for byte.
TEST_F(AppRun, OnlyTheWritersTakesArePutRightAtTheStart) {
  using namespace std::string_literals;
  const auto u32 = [](uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  };
  const auto chunk = [&](const char* id, const std::string& body) {
    return std::string(id, 4) + u32(static_cast<uint32_t>(body.size())) + body + (body.size() % 2 ? "\0"s : "");
  };
  const auto fmt = [&](uint16_t channels, uint32_t rate, uint16_t bits) {
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    std::string b = u32(1 | uint32_t(channels) << 16) + u32(rate) + u32(align * rate) + u32(align | uint32_t(bits) << 16);
    return chunk("fmt ", b);
  };
  const auto riff = [&](const std::string& chunks) { return "RIFF" + u32(uint32_t(chunks.size() + 4)) + "WAVE" + chunks; };
  const auto sound = [](size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 37 + 11);
    return s;
  };
  const std::string info = chunk("LIST", "INFO" + chunk("INAM", "Song\0"s) + chunk("IART", "Me\0"s));
  // The writer's layout (fmt, fact, PEAK, data): 301 frames, the header naming `frames` of them, then
  // the chunks of `tail`.
  const auto take = [&](uint32_t frames, const std::string& after, const std::string& tail = "") {
    const std::string data = sound(4 * 301 - after.size()) + after;
    return riff(fmt(2, 48000, 16) + chunk("fact", u32(frames)) + chunk("PEAK", std::string(24, '\1')) + "data" +
                u32(4 * frames) + data + tail)
        .replace(4, 4, u32(80 + 4 * frames + uint32_t(tail.size())));
  };
  // Sound after the named 200 frames that reads as a chunk running to the end.
  const std::string chunkLike = "LIST" + u32(4 * 101 - 8) + sound(4 * 101 - 8);
  const struct Row { const char* name; std::string bytes; bool putRight; } rows[] = {
      {"Info.wav", riff(fmt(2, 48000, 16) + chunk("data", sound(400)) + info), false},
      {"Id3.wav", riff(fmt(1, 44100, 16) + chunk("data", sound(200)) + chunk("id3 ", sound(31))), false},
      {"Loop.wav", riff(fmt(2, 48000, 24) + chunk("data", sound(600)) + chunk("smpl", sound(60)) + chunk("cue ", sound(28))), false},
      {"Odd8.wav", riff(fmt(1, 22050, 8) + chunk("data", sound(101))), false},  // its pad byte
      {"Noted24.wav", riff(fmt(2, 48000, 24) + chunk("data", sound(300)) + chunk("note", "abcdef")), false},
      {"Tagged.wav", take(301, "", info), false},  // a whole take another program tagged
      {"Cut.wav", take(200, ""), true},
      {"Unnamed.wav", take(200, chunkLike), false},
      {"Named.wav", take(200, chunkLike), true},  // the last end named it
  };
  const std::string audio = DataFolder() + "/AUDIO";
  for (const Row& r : rows) WriteFile(audio + "/" + r.name, r.bytes);
  WriteFile(DataFolder() + "/" + Tarvelo::kUnconfirmedNoteName, "Named.wav\n");
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  const std::vector<LogEntry> log = Log();
  int32_t held = 0;  // the figure: files that came out as they should
  for (const Row& r : rows) {
    const std::string now = ReadAll(audio + "/" + r.name);
    const bool said = Find(log, "The recording "s + r.name + " named less than its file holds") >= 0;
    const bool ok = r.putRight ? now == take(301, r.name == "Named.wav"s ? chunkLike : "") && said
                               : now == r.bytes && !said;
    EXPECT_TRUE(ok) << r.name << (now == r.bytes ? " stayed" : " changed") << (said ? ", said" : "");
    held += ok;
  }
  EXPECT_EQ(held, static_cast<int32_t>(std::size(rows)));
}

// A stick pulled out under a take leaves the file as long as the writer asked,
// its unwritten pages zeros: the start names the sound the writer wrote, not
// those pages. Whole zero pages to the end past the named data are cut; a
// zero page inside the sound, a zero tail the header names, and the zeros of
// a page the writer wrote into stay.
TEST_F(AppRun, ZeroPagesAFailedDiskLeftAfterATakeAreNotNamedAsSound) {
  const auto u32 = [](uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  };
  // The writer's layout (fmt, fact, PEAK, data at 88) with `data` after it, its header naming `frames`.
  const auto take = [&](uint32_t frames, const std::string& data) {
    return "RIFF" + u32(80 + 4 * frames) + "WAVE" + "fmt " + u32(16) + u32(1 | 2u << 16) + u32(48000) +
           u32(192000) + u32(4 | 16u << 16) + "fact" + u32(4) + u32(frames) + "PEAK" + u32(24) +
           std::string(24, '\1') + "data" + u32(4 * frames) + data;
  };
  // Sound (never a zero byte) from byte 88 of the file up to `end`, then zeros up to `length`.
  const auto file = [&](uint32_t frames, size_t end, size_t length, size_t hole = 0) {
    std::string data(end - 88, '\x5a');
    if (hole) data.replace(hole - 88, 4096, std::string(4096, '\0'));  // a silent page inside the sound
    return take(frames, data + std::string(length - end, '\0'));
  };
  const size_t k = 4096;
  const struct Row {
    const char* name;
    std::string bytes;
    size_t keeps;      // the bytes the file holds after the start
    uint32_t frames;   // the frames its header names then
    const char* cut;   // the seconds of zeros said cut, or null
  } rows[] = {
      {"Pulled.wav", file(200, 10088, 3 * k + 12288), 12288, (12288 - 88) / 4, "0.06"},  // sound ends mid-page
      {"PageEnd.wav", file(200, 2 * k, 5 * k), 2 * k, (2 * k - 88) / 4, "0.06"},
      {"PartPage.wav", file(200, 2 * k, 2 * k + 1000), 2 * k, (2 * k - 88) / 4, "0.01"},  // zeros to a part page
      {"Fresh.wav", file(0, 88, 4 * k), k, (k - 88) / 4, "0.06"},  // the first page the writer's own
      {"Hole.wav", file(200, 6 * k, 6 * k, 2 * k), 6 * k, (6 * k - 88) / 4, nullptr},
      {"NamedZeros.wav", file((4 * k - 88) / 4, 2 * k, 4 * k), 4 * k, (4 * k - 88) / 4, nullptr},
      {"ZerosOnly.wav", file(200, 2 * k, 2 * k + 3), 2 * k, (2 * k - 88) / 4, nullptr},  // a part frame
  };
  const std::string audio = DataFolder() + "/AUDIO";
  for (const Row& r : rows) WriteFile(audio + "/" + r.name, r.bytes);
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  const std::vector<LogEntry> log = Log();
  int32_t held = 0;  // the figure: takes that came out naming only their sound
  for (const Row& r : rows) {
    const std::string now = ReadAll(audio + "/" + r.name);
    const std::string want = take(r.frames, "").substr(0, 88) + r.bytes.substr(88, r.keeps - 88);
    const auto cut = std::find_if(log.begin(), log.end(), [&](const LogEntry& e) {
      return e.text.rfind("The last ", 0) == 0 &&
             e.text.find(std::string(" s of the recording ") + r.name + " were zeros") != std::string::npos;
    });
    const std::string said = cut == log.end() ? "" : cut->text.substr(9, cut->text.find(' ', 9) - 9);
    const bool ok = now == want && said == (r.cut ? r.cut : "") && (cut == log.end() || cut->level == 1);
    EXPECT_TRUE(ok) << r.name << ": holds " << now.size() << " bytes, its data named "
                    << (now.size() >= 88 ? uint32_t(uint8_t(now[84])) | uint32_t(uint8_t(now[85])) << 8 |
                                               uint32_t(uint8_t(now[86])) << 16
                                         : 0)
                    << " bytes" << (said.empty() ? "" : ", " + said + " s of zeros said cut");
    held += ok;
  }
  EXPECT_EQ(held, static_cast<int32_t>(std::size(rows)));
}

// The notes the last end left are said in the message list and asked about in
// the window, each name once; they go only once the question is acknowledged,
// so a start that fails before it, or a user who has not answered, keeps them.
std::string Names(int32_t n) {
  std::string s;
  for (int32_t i = 0; i < n; ++i) s += "REC_" + std::to_string(i) + ".wav\n";
  return s;
}

std::string Listed(int32_t n) {
  std::string s;
  for (int32_t i = 0; i < n; ++i) s += (i ? ", REC_" : "REC_") + std::to_string(i) + ".wav";
  return s;
}

TEST_F(AppRun, TheTakesAnEndCouldNotConfirmAreSaidAtTheNextStartOnce) {
  const std::string note = DataFolder() + "/" + Tarvelo::kUnconfirmedNoteName;
  const std::string saves = DataFolder() + "/" + Tarvelo::kUnfinishedSavesNote;
  const std::string line =
      "The last run ended before the disk confirmed these recordings, which may not be whole: ";
  const std::string unsaved =
      "The last run ended before these files were saved; each may still hold its earlier contents: ";
  const std::string unreadable = "The last run's note ";
  const auto cannotRead = [&](const std::string& notes) {
    return unreadable + notes +
           " could not be read whole (the disk kept nothing, zeros or a cut end of it): a file it named may not be "
           "whole, and may not be named here.";
  };
  static bool answer = false, asked = false;
  enum Kind { kNone, kFile, kFolder };
  const struct {
    Kind kind;
    std::string text, says, savesText, savesSays;
    bool noteKept, savesKept;  // after the run
    bool answered = false, fails = false;
    std::string unreadableSays = "";
  } rows[] = {
      {kFile, "REC_1.wav\r\nREC_2.wav\n", line + "REC_1.wav, REC_2.wav", "", "", true, false},
      // An empty note lost its names (no end leaves one): said, and kept
      // until the user has read it.
      {kFile, "", "", "", "", true, false, false, false, cannotRead(Tarvelo::kUnconfirmedNoteName)},
      // The zeros a power cut leaves in the unsynced note are no names: what
      // can be read is said, and that the rest could not be.
      {kFile, std::string("REC_1.wav\n\0\0\0\nREC\0_2.wav\n", 25), line + "REC_1.wav", "", "", true, false, false,
       false, cannotRead(Tarvelo::kUnconfirmedNoteName)},
      // A note of zeros only, and one whose last name was cut short.
      {kFile, std::string(64, '\0'), "", "", "", true, false, false, false, cannotRead(Tarvelo::kUnconfirmedNoteName)},
      {kFile, "REC_1.wav\nREC_2.w", line + "REC_1.wav", std::string("Song.tarvelo\n\0\0", 15), unsaved + "Song.tarvelo", true, true,
       false, false, cannotRead(std::string(Tarvelo::kUnfinishedSavesNote) + ", " + Tarvelo::kUnconfirmedNoteName)},
      {kFolder, "", "", "", "", true, false},  // a folder under the name is no note: kept, nothing said
      // A file the end named twice is named once.
      {kNone, "", "", "Settings.txt\nSong.tarvelo\nSettings.txt\n", unsaved + "Settings.txt, Song.tarvelo", false,
       true},
      {kFile, "REC_1.wav\n", line + "REC_1.wav", "Song.tarvelo\n", unsaved + "Song.tarvelo", false, false, true},
      // An unreadable note the user has read goes.
      {kFile, std::string(8, '\0'), "", "", "", false, false, true, false, cannotRead(Tarvelo::kUnconfirmedNoteName)},
      // The start fails: nothing asked, both kept for the next.
      {kFile, "REC_1.wav\n", "", "Song.tarvelo\n", "", true, true, true, true},
      // A note longer than any end writes: its first 256 names.
      {kFile, Names(300), line + Listed(256), "", "", true, false},
  };
  int32_t held = 0;  // the figure: rows that came out as they should
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text + "|" + r.savesText);
    Restart();
    fs::remove_all(note);
    fs::remove_all(saves);
    if (r.kind == kFolder)
      fs::create_directories(note);
    else if (r.kind == kFile)
      WriteFile(note, r.text);
    if (!r.savesText.empty()) WriteFile(saves, r.savesText);
    answer = r.answered;
    asked = false;
    g_beforeStep = [](int32_t step) {
      if (step != 42) return;
      asked = Tarvelo::DialogOwner != 0;
      if (asked && answer) Tarvelo::AcknowledgeLastEnd(QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder));
    };
    if (r.fails) Startup.BuildInterface = [](float) -> int32_t { return -QUARLE_BASICS::kErrAllocation; };
    const int32_t status = RunProgram();
    Startup.BuildInterface = Tarvelo::DefaultBuildInterface;
    const std::vector<LogEntry> log = Log();
    const int32_t i = Find(log, line), j = Find(log, unsaved), k = Find(log, unreadable);
    const bool named = !r.says.empty() || !r.savesSays.empty() || !r.unreadableSays.empty();
    const bool ok = status == (r.fails ? Tarvelo::kStartupInterface : Tarvelo::kStartupOk) &&
                    (i >= 0 ? log[i].text : "") == r.says && (i < 0 || log[i].level == 2) &&
                    (j >= 0 ? log[j].text : "") == r.savesSays && (j < 0 || log[j].level == 2) &&
                    (k >= 0 ? log[k].text : "") == r.unreadableSays && (k < 0 || log[k].level == 2) &&
                    asked == named && fs::exists(note) == r.noteKept && fs::exists(saves) == r.savesKept;
    EXPECT_TRUE(ok) << "said \"" << (i >= 0 ? log[i].text : "") << "\" and \"" << (j >= 0 ? log[j].text : "")
                    << "\" and \"" << (k >= 0 ? log[k].text : "") << "\"; asked " << asked << "; notes kept "
                    << fs::exists(note) << fs::exists(saves);
    held += ok;
  }
  EXPECT_EQ(held, static_cast<int32_t>(std::size(rows)));
  // Said until acknowledged: the next start says nothing of them.
  Restart();
  g_beforeStep = nullptr;
  WriteFile(note, "REC_1.wav\n");
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_GE(Find(Log(), line), 0);
  Restart();
  g_beforeStep = [](int32_t step) {
    if (step == 42) Tarvelo::AcknowledgeLastEnd(QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder));
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  Restart();
  g_beforeStep = nullptr;
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(Find(Log(), line), -1);
  EXPECT_FALSE(fs::exists(note));
}

// The question's forms, the fullest first; each names every file (the box
// shows the shortest whole, or the fullest in pieces), and a note that could
// not be read is said in both.
TEST(LastEndQuestion, NamesEachFileOnceInEveryForm) {
  Tarvelo::LastEndNotes notes;
  notes.saves = {"Song.tarvelo", "Settings.txt"};
  notes.takes = {"REC_1.wav"};
  std::vector<std::string> forms = Tarvelo::LastEndQuestion(notes);
  ASSERT_EQ(forms.size(), 2u);
  EXPECT_EQ(forms[0],
            "The last run ended before these files were saved; each may still hold its earlier contents: "
            "Song.tarvelo, Settings.txt. The last run ended before the disk confirmed these recordings, which may "
            "not be whole: REC_1.wav.");
  EXPECT_EQ(forms[1], "Not saved or not confirmed at the last end: Song.tarvelo, Settings.txt, REC_1.wav.");
  notes.takes.clear();
  notes.unreadable = {Tarvelo::kUnconfirmedNoteName};
  const std::string said =
      " The last run's note RECORDINGS_UNCONFIRMED.TXT could not be read whole (the disk kept nothing, zeros or a "
      "cut end of it): a file it named may not be whole, and may not be named here.";
  forms = Tarvelo::LastEndQuestion(notes);
  ASSERT_EQ(forms.size(), 2u);
  EXPECT_EQ(forms[0],
            "The last run ended before these files were saved; each may still hold its earlier contents: "
            "Song.tarvelo, Settings.txt." + said);
  EXPECT_EQ(forms[1], "Not saved or not confirmed at the last end: Song.tarvelo, Settings.txt." + said);
}

// A start job the disk holds past the end's wait for it: once it gets out, its
// news is dropped (the queues it would reach may be gone), never handed to the
// interface. In a process of its own: a wait given up on is the run's last.
TEST(StartWork, AJobTheEndStoppedWaitingForTellsNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto run = [] {
    static std::atomic<bool> began{false}, go{false}, told{false}, out{false};
    Tarvelo::BeginStartWork();
    Tarvelo::StartDiskJob([] {
      began = true;
      while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      Tarvelo::StartWorkNews([] { told = true; });
      out = true;
    });
    // Under way when the end comes (one that has not begun is never run).
    for (int i = 0; i < 30000 && !began.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool whole = Tarvelo::FinishStartDiskWork(0.05);  // the end gives up on it
    go = true;
    for (int i = 0; i < 30000 && !out.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int32_t waiting = Tarvelo::StartWorkNewsWaiting();
    Tarvelo::TakeStartWorkNews();
    std::fprintf(stderr, "whole %d out %d waiting %d told %d\n", int(whole), int(out.load()), int(waiting),
                 int(told.load()));
    std::_Exit(!whole && out.load() && waiting == 0 && !told.load() ? 0 : 1);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "whole 0 out 1 waiting 0 told 0");
}

// A disk that holds the start's work (a card writing back a copy) holds no
// step of the window's: the loop is entered while the bundled files' copy is
// still held, and the copy runs on a thread of its own.
TEST_F(AppRun, TheWindowComesWhileTheStartsDiskWorkIsHeld) {
  static std::atomic<bool> windowUp{false};
  static std::atomic<bool> copySawWindow{false}, copyOnOwnThread{false};
  static std::thread::id interface;
  windowUp = false;
  copySawWindow = false;
  interface = std::this_thread::get_id();
  Startup.CopyDemoFiles = [](uint32_t) {
    // Bounded: a start that waits for its copy never shows its window first.
    for (int32_t i = 0; i < 5000 && !windowUp.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    copySawWindow = windowUp.load();
    copyOnOwnThread = std::this_thread::get_id() != interface;
  };
  g_beforeStep = [](int32_t step) {
    if (step == 41) windowUp = true;
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(loopEntered_, -1);
  EXPECT_TRUE(copySawWindow.load()) << "the window came only after the bundled files' copy";
  EXPECT_TRUE(copyOnOwnThread.load());
}

// A disk that holds a job of the start's work past its bound: the start ends
// without it and says how many jobs it left undone; the next start (the same
// process, the held job still in its disk) runs every job of its own.
TEST_F(AppRun, AStartWhoseWorkTheDiskHeldSaysSoAndTheNextStartRunsItsWork) {
  static std::atomic<bool> held{false}, release{false};
  held = false;
  release = false;
  Startup.StartWorkBound = 0.2;
  Startup.CopyDemoFiles = [](uint32_t) {
    if (held.exchange(true)) return;
    // Bounded: a disk that holds the copy until the test lets it go.
    for (int32_t i = 0; i < 30000 && !release.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_TRUE(held.load());
  // Behind the held copy only the last end's notes were still to be read.
  EXPECT_NE(console_.find("The disk holds the start's work on it: the start ends without it, 1 of its jobs not begun."),
            std::string::npos)
      << console_;
  Restart();
  static std::atomic<int32_t> copies{0};
  copies = 0;
  Startup.CopyDemoFiles = [](uint32_t) { copies.fetch_add(1); };
  WriteFile(DataFolder() + "/SYNTHS/Song.tarvelo~tarvelo-1.tmp", "");  // a leftover the second start's work clears
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  release = true;
  EXPECT_EQ(copies.load(), 1);
  EXPECT_FALSE(fs::exists(DataFolder() + "/SYNTHS/Song.tarvelo~tarvelo-1.tmp"));
  EXPECT_EQ(console_.find("The disk holds the start's work"), std::string::npos) << console_;
}

// What a crash or a cut-short end left of saves (the work files no listing
// shows) is cleared at the next start: a work file the file beside it holds
// all of goes, one that holds more is kept under a name the browser lists,
// each said; what is no save's work file, or a save's of this run, stays.
TEST_F(AppRun, WorkFilesCutShortSavesLeftAreRemovedOrOfferedBack) {
  const struct Row {
    const char *folder, *name;
    std::string bytes;
    const char* beside;  // the file it was written for holds this, or null
    const char* keptAs;  // "": removed; null: left as it is
  } rows[] = {
      {"SYNTHS", "Song.tarvelo~tarvelo-1.tmp", "synth b", "synth bytes", ""},  // the start of the file beside it
      {"SYNTHS", "Same.tarvelo~tarvelo-2.tmp", "synth", "synth", ""},
      {"TUNINGS", "Ed.tng~tarvelo-1.tmp", "", nullptr, ""},  // empty, its file gone
      {"AUDIO/CONVERTED", "big.wav~tarvelo-1.part~", "RIFF....WAVE", "RIFF....WAVEfmt ", ""},
      {"SYNTHS", "Newer.tarvelo~tarvelo-1.tmp", "newer synth", "older synth", "Newer (recovered).tarvelo"},
      {"MELODIES", "Gone.mel~tarvelo-1.tmp", "melody", nullptr, "Gone (recovered).mel"},
      {"SYNTHS", "~tarvelo-0123456789abcdef-1.tarvelo.tmp", "long", nullptr, "Recovered 0123456789abcdef.tarvelo"},
      {"", "~tarvelo-0123456789abcdef.tmp", "long", nullptr, "Recovered 0123456789abcdef"},  // an older version's
      {"AUDIO/CONVERTED", "kick.wav~tarvelo-1.part~", "RIFF1234", nullptr, "kick (recovered).wav"},
      {"SYNTHS", "Notes.txt", "mine", nullptr, nullptr},            // no work file
      {"SYNTHS", "Song.tarvelo~tarvelo-1.part", "synth", nullptr, nullptr},   // no save of ours leaves it
      {"SYNTHS", "Held.tarvelo~tarvelo-1.tmp", "being written", nullptr, nullptr},  // a running save's
      {"SYNTHS", "Mine.tarvelo.tmp", "the user's", nullptr, nullptr},  // an older version's, or the user's
  };
  const auto at = [this](const Row& r, const std::string& name) {
    return DataFolder() + (*r.folder ? "/" + std::string(r.folder) : "") + "/" + name;
  };
  for (const Row& r : rows) {
    WriteFile(at(r, r.name), r.bytes);
    if (r.beside) WriteFile(at(r, fs::path(r.name).stem().string().substr(0, fs::path(r.name).stem().string().find('~'))), r.beside);
  }
  // A save of this run holds its work file while it writes it.
  const std::string held = platform::ToOsPath(platform::WorkFileName(platform::FromOsPath(DataFolder() + "/SYNTHS/Held.tarvelo"), ".tmp"));
  ASSERT_EQ(held, DataFolder() + "/SYNTHS/Held.tarvelo~tarvelo-1.tmp");
  const int holder = open(held.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const int32_t started = RunProgram();
  close(holder);
  ASSERT_EQ(started, Tarvelo::kStartupOk);
  const std::vector<LogEntry> log = Log();
  const auto said = [&](const std::string& text) {
    return std::any_of(log.begin(), log.end(), [&](const LogEntry& e) { return e.level == 1 && e.text.find(text) != std::string::npos; });
  };
  int32_t right = 0;  // the figure: leftovers that came out as they should
  for (const Row& r : rows) {
    const bool there = fs::exists(at(r, r.name));
    bool ok = false;
    if (!r.keptAs)
      ok = there && ReadAll(at(r, r.name)) == r.bytes;
    else if (!*r.keptAs)
      ok = !there && said(std::string("Removed the work files of saves cut short")) && said(std::string(r.name));
    else
      ok = !there && ReadAll(at(r, r.keptAs)) == r.bytes &&
           said(std::string(r.name) + " held what ") && said(std::string("kept as ") + r.keptAs + ".");
    if (r.beside) ok = ok && ReadAll(at(r, fs::path(r.name).stem().string().substr(0, fs::path(r.name).stem().string().find('~')))) == r.beside;
    EXPECT_TRUE(ok) << r.folder << "/" << r.name << (there ? " is still there" : " is gone");
    right += ok;
  }
  EXPECT_EQ(right, static_cast<int32_t>(std::size(rows)));
  // Nothing is left to say at the next start.
  Restart();
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(Find(Log(), "Removed the work files"), -1);
}

// A second start beside a running save: the work file another program of
// ours writes (a process of its own holding it, as its save does) is left
// alone, and so are the user's own files whose names only look like work
// files. A leftover of a name near the disk's longest keeps its extension.
TEST_F(AppRun, TheStartsSweepLeavesRunningSavesAndTheUsersFilesAlone) {
  for (const char* sub : {"SYNTHS", "AUDIO/CONVERTED"}) fs::create_directories(DataFolder() + "/" + sub);
  const auto workOf = [](const std::string& target, const char* suffix) {
    const std::string claimed = platform::ClaimWorkFile(platform::FromOsPath(target), suffix);
    platform::ReleaseWorkFile(claimed);
    return platform::ToOsPath(claimed);
  };
  const std::string copying = workOf(DataFolder() + "/AUDIO/CONVERTED/big#2.wav", ".part~");
  const std::string leftover = workOf(DataFolder() + "/SYNTHS/" + std::string(246, 's') + ".tarvelo", ".tmp");
  const std::string leftName = fs::path(leftover).filename().string();
  ASSERT_EQ(leftName.rfind("~tarvelo-", 0), 0u) << leftName;
  const std::string keptAs = DataFolder() + "/SYNTHS/Recovered " + leftName.substr(9, 16) + ".tarvelo";
  WriteFile(leftover, "long synth");
  const struct {
    std::string path, bytes;
  } users[] = {
      {DataFolder() + "/SYNTHS/X.tarvelo.tmp", "mine"},
      {DataFolder() + "/AUDIO/CONVERTED/mix.wav.tmp", "RIFF mine"},
      {DataFolder() + "/download.wav.part~", "RIFF half"},
      {DataFolder() + "/Todo.txt.tmp", ""},
      {DataFolder() + "/AUDIO/CONVERTED/kick.wav.part", "RIFF"},
  };
  for (const auto& u : users) WriteFile(u.path, u.bytes);

  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    // Only calls a forked child of a threaded process may make.
    const int fd = open(copying.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    char c = fd >= 0 && flock(fd, LOCK_EX) == 0 && write(fd, "RIFF copy", 9) == 9 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) < 0) _exit(2);
    _exit(0);
  }
  // The other program is let go on every way out.
  struct Ends {
    int go;
    pid_t other;
    ~Ends() {
      (void)!write(go, "x", 1);
      int status = 0;
      waitpid(other, &status, 0);
    }
  } ends{go[1], other};
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');

  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  const std::vector<LogEntry> log = Log();
  const auto said = [&log](const std::string& text) {
    return std::any_of(log.begin(), log.end(), [&](const LogEntry& e) { return e.text.find(text) != std::string::npos; });
  };
  int32_t right = 0;  // the figure: files that came out as they should
  const bool copyLeft = ReadAll(copying) == "RIFF copy" &&
                        !fs::exists(DataFolder() + "/AUDIO/CONVERTED/big#2 (recovered).wav") &&
                        !said(fs::path(copying).filename().string());
  EXPECT_TRUE(copyLeft) << "the running copy's work file was taken for a leftover";
  right += copyLeft;
  for (const auto& u : users) {
    const bool left = fs::exists(u.path) && ReadAll(u.path) == u.bytes && !said(fs::path(u.path).filename().string());
    EXPECT_TRUE(left) << u.path << " is the user's";
    right += left;
  }
  const bool kept = !fs::exists(leftover) && ReadAll(keptAs) == "long synth";
  EXPECT_TRUE(kept) << "the long name's leftover is not " << keptAs;
  right += kept;
  EXPECT_EQ(right, static_cast<int32_t>(std::size(users)) + 2);
}

// A data folder whose disk does not answer (an earlier process held by a
// stick that writes nothing holds the log's open): the start gives it its
// bound, then opens its window all the same and says so there. A named pipe
// under the log's name holds the open as such a disk does, until it is read.
TEST_F(AppRun, ADataFolderThatDoesNotAnswerIsSaidAndTheWindowComes) {
  fs::create_directories(DataFolder());
  const std::string log = DataFolder() + "/" + Tarvelo::kLogFileName;
  ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
  Startup.DataFolderBound = 0.2;
  // Bounded: a start that waits for its log is let go after 10 s.
  static std::atomic<bool> ended{false}, letGo{false};
  ended = false;
  letGo = false;
  std::thread release([log] {
    for (int32_t i = 0; i < 10000 && !ended.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    letGo = !ended.load();
    const int fd = open(log.c_str(), O_RDONLY | O_NONBLOCK);  // the held open (the probe's) returns
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (fd >= 0) close(fd);
  });
  // What the status line says once the window is up (the run builds no
  // status line of its own: its texts are taken as they are put up).
  static std::vector<std::string> statusLine;
  statusLine.clear();
  const Tarvelo::StateUiHooks saved = Tarvelo::StateUi;
  Tarvelo::StateUi.ControlId = [](int32_t slot) { return slot == Tarvelo::kSlotMessageBox ? 1 << 30 : 0; };
  Tarvelo::StateUi.SetText = [](int32_t, const std::string& text) { statusLine.push_back(text); };
  const int32_t status = RunProgram();
  Tarvelo::StateUi = saved;
  ended = true;
  release.join();
  ASSERT_FALSE(statusLine.empty());
  EXPECT_EQ(statusLine.back(), "The data folder " + DataFolder() +
                                   " does not answer (its disk may be held or gone): nothing can be saved there until "
                                   "it does.");
  EXPECT_FALSE(letGo.load()) << "the start waited for its data folder's disk";
  EXPECT_EQ(status, Tarvelo::kStartupOk);
  EXPECT_EQ(loopEntered_, -1);
  EXPECT_NE(console_.find("The data folder " + DataFolder() + " does not answer (its disk may be held or gone): "
                          "nothing can be saved there until it does."),
            std::string::npos)
      << console_;
}

// A data folder that answers after the bound (the held disk let go) gets the
// start's disk work then, and the window says so.
TEST_F(AppRun, ADataFolderThatAnswersLateGetsTheStartsWorkThen) {
  fs::create_directories(DataFolder() + "/SYNTHS");
  WriteFile(DataFolder() + "/SYNTHS/Song.tarvelo~tarvelo-1.tmp", "");  // a leftover the start's work clears
  static std::string fifo;
  fifo = DataFolder() + "/" + Tarvelo::kLogFileName;
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  Startup.DataFolderBound = 0.2;
  static int reader = -1;
  reader = -1;
  g_beforeStep = [](int32_t step) {
    if (step != 41) return;
    // The held open returns; its news wait for the interface (bounded).
    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    for (int32_t i = 0; i < 10000 && Tarvelo::StartWorkNewsWaiting() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  if (reader >= 0) close(reader);
  EXPECT_NE(console_.find("does not answer"), std::string::npos);
  EXPECT_NE(console_.find("The data folder " + DataFolder() + " answers again: the start's work on it follows."),
            std::string::npos)
      << console_;
  EXPECT_FALSE(fs::exists(DataFolder() + "/SYNTHS/Song.tarvelo~tarvelo-1.tmp"));
}

// The closing message names what failed: the display and its own words.
TEST_F(AppRun, ADisplayWithoutADesktopIsNamedInTheClosingMessage) {
  SaveEnv("DISPLAY");
  setenv("DISPLAY", ":99", 1);
  platform::DisplaySetSimulated({{1920, 1080, 32}}, 0, 0, 1);
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupNoLoop);
  platform::DisplayResetSimulated();
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "Something went wrong during initialization.");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text,
            "Something went wrong during initialization. (Code 2): the display \":99\": the "
            "desktop has no size");
  EXPECT_EQ(Find(log, "credentials"), -1);
}

// A size saved on another display: the run opens in the display's smallest
// mode and says which setting it passed over, where and on which display; a
// display with no usable mode is named in the closing message with why.
TEST_F(AppRun, ASavedSizeNoModeFitsFallsBackToTheSmallestMode) {
  SaveEnv("DISPLAY");
  setenv("DISPLAY", ":98", 1);
  WriteFile(DataFolder() + "/Settings.txt", "\"SCREEN WIDTH\",1280\r\n\"SCREEN HEIGHT\",720\r\n");
  platform::DisplaySetSimulated({{1920, 1080, 32}}, 1920, 1080, 1);
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  std::vector<LogEntry> log = Log();
  int32_t i = Find(log, "the display \":98\": no display mode fits");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text, "the display \":98\": no display mode fits \"SCREEN WIDTH\",1280 and \"SCREEN HEIGHT\",720 of " +
                             DataFolder() + "/Settings.txt; the window takes the smallest mode, 1920 x 1080, instead");
  EXPECT_EQ(log[i].level, 1);
  // The size the window took is the one saved: the next start says nothing.
  std::ifstream in(DataFolder() + "/Settings.txt", std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(saved.find("\"SCREEN WIDTH\",1920\r\n\"SCREEN HEIGHT\",1080\r\n"), std::string::npos) << saved;
  platform::DisplayResetSimulated();
}

TEST_F(AppRun, ADisplayWithoutAUsableModeIsNamedInTheClosingMessage) {
  SaveEnv("DISPLAY");
  setenv("DISPLAY", ":98", 1);
  platform::DisplaySetSimulated({{1920, 1080, 16}}, 1920, 1080, 1);
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupNoLoop);
  platform::DisplayResetSimulated();
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "Something went wrong during initialization.");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text,
            "Something went wrong during initialization. (Code 2): the display \":98\": no 32-bit display mode "
            "from 1280 x 720 to 4096 x 2160");
}

TEST_F(AppRun, AnAudioLibraryThatCannotStartGivesStatus2) {
  g_beforeStep = [](int32_t step) {
    if (step == 28) platform::FailNextMutexCreations(1);
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupNoLoop);
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "QUARLE_AUDIO.init(): ");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text,
            "QUARLE_AUDIO.init(): Error creating a mutex during the initialization process.");
  EXPECT_EQ(log[i].level, 4);
  EXPECT_EQ(Find(log, "Loading audio library."), -1);
}

TEST_F(AppRun, AnInterfaceThatCannotBeBuiltGivesStatus5) {
  Startup.BuildInterface = [](float) -> int32_t { return -QUARLE_BASICS::kErrAllocation; };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupInterface);
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "Memory Allocation Failed");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].level, 2);
  ASSERT_LT(i + 1, static_cast<int32_t>(log.size()));
  EXPECT_EQ(log[i + 1].text, "The interface could not be completed.");
  EXPECT_EQ(log[i + 1].level, 4);
}

// A stored zoom the interface cannot be built at: the run says so and goes on
// at zoom 1; the settings file keeps the user's zoom and everything else.
TEST_F(AppRun, AZoomTheInterfaceCannotBeBuiltAtFallsBackToOneForTheRun) {
  WriteFile(DataFolder() + "/Settings.txt",
            "\"SCREEN WIDTH\",1920\r\n\"MONITORS\",1\r\n\"ZOOM FACTOR\",0.8\r\n"
            "\"AUTO-CONNECT\",\"FALSE\"\r\n");
  static std::vector<std::pair<float, int32_t>> builds;
  builds.clear();
  Startup.BuildInterface = [](float) -> int32_t {
    builds.emplace_back(Tarvelo::ZoomFactor, Tarvelo::UiUnit);
    return Tarvelo::ZoomFactor == 1.0f ? Tarvelo::DefaultBuildInterface(1.0f)
                                       : -QUARLE_BASICS::kErrBadParameter;
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(loopEntered_, -1);
  ASSERT_EQ(builds.size(), 2u);
  EXPECT_EQ(builds[0], std::make_pair(0.8f, 4));
  EXPECT_EQ(builds[1], std::make_pair(1.0f, 5));
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "The interface could not be built at zoom 0.8x");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text, "The interface could not be built at zoom 0.8x; it is shown at zoom 1x for this run.");
  EXPECT_EQ(log[i].level, 1);
  EXPECT_EQ(Find(log, "The interface could not be completed."), -1);
  std::ifstream in(DataFolder() + "/Settings.txt", std::ios::binary);
  const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(saved.find("\"ZOOM FACTOR\",0.8\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"AUTO-CONNECT\",\"FALSE\"\r\n"), std::string::npos) << saved;
}

// Folder links in FILTERS that lead back up (into FILTERS, or to the data
// folder that holds it) are named in the log and not followed; a link to
// impulse responses elsewhere is.
std::vector<std::string> g_filtersLoaded;
TEST_F(AppRun, FolderLinksBackUpInTheFiltersFolderAreNotFollowed) {
  const std::string filters = DataFolder() + "/FILTERS";
  WriteFile(filters + "/kit/hall.wav", "x");
  WriteFile(root_ + "/irs/room.wav", "x");
  fs::create_directory_symlink("..", filters + "/kit/up");
  fs::create_directory_symlink(DataFolder(), filters + "/data");
  fs::create_directory_symlink(root_ + "/irs", filters + "/irs");
  g_filtersLoaded.clear();
  Startup.LoadFilterFile = [](const std::string& folder, const std::string& file) -> int32_t {
    g_filtersLoaded.push_back(folder + "\\" + file);
    return 0;
  };
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(loopEntered_, -1);
  // Each file from the folder it lies in (behind a link, the link's target); no
  // folder is handed over as a filter.
  std::sort(g_filtersLoaded.begin(), g_filtersLoaded.end());
  EXPECT_EQ(g_filtersLoaded, (std::vector<std::string>{platform::FromOsPath(filters + "/kit/hall.wav"),
                                                       platform::FromOsPath(root_ + "/irs/room.wav")}));
  const std::vector<LogEntry> log = Log();
  const std::string said = "I did not follow this link, which leads back into a folder the listing is inside: " +
                           platform::FromOsPath(filters);
  for (const char* link : {"\\data", "\\kit\\up"}) {
    const int32_t i = Find(log, said + link);
    EXPECT_TRUE(i >= 0 && log[i].level == 0 && log[i].text == said + link) << link;
  }
}

TEST_F(AppRun, ADataFolderThatCannotBeMadeGivesStatus1AndRunsNothingElse) {
  // The profile folder is a plain file: nothing can be made under it.
  WriteFile(root_ + "/plainfile", "x");
  setenv("HOME", (root_ + "/plainfile").c_str(), 1);
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupFolders);
  EXPECT_EQ(loopEntered_, 0);
  EXPECT_TRUE(g_calls.demoFlags.empty());
  // Each failure names the folder it could not make or use.
  const std::string data = root_ + "/plainfile/Tarvelo";
  for (const std::string sub : {"", "/AUDIO", "/AUDIO/CONVERTED", "/SYNTHS/DEMO 1.8.13", "/TUNINGS"}) {
    std::string shown = data + sub;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    EXPECT_NE(console_.find("Directory creation or access error: " + shown + "\n"), std::string::npos) << shown;
  }
  // Before the message console existed every report went to the text console.
  EXPECT_NE(console_.find("Something went wrong during initialization. (Code 1)"),
            std::string::npos);
  EXPECT_EQ(console_.find("Welcome to"), std::string::npos);
}

// A profile folder named in Cyrillic, under a folder named in Japanese.
TEST_F(AppRun, AHomeFolderNamedBeyondTheCodePageStarts) {
  const std::string home = root_ + "/\xE9\x9F\xB3/\xD0\x94\xD0\xB8\xD0\xBC\xD0\xB0";
  fs::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(loopEntered_, -1);
  for (const char* sub : {"AUDIO/RECORDED", "FILTERS", "SYNTHS/DEMO 1.8.13", "TUNINGS"})
    EXPECT_TRUE(fs::is_directory(home + "/Tarvelo/" + sub)) << sub;
  EXPECT_GT(fs::file_size(home + "/Tarvelo/TUNINGS/Chromatic.tng"), 27u);
  EXPECT_TRUE(fs::exists(home + "/Tarvelo/Settings.txt"));
  EXPECT_TRUE(fs::exists(home + "/Tarvelo/TARVELO_LOG.TXT"));
  EXPECT_EQ(console_.find("Directory creation or access error"), std::string::npos);
}

// No display and no headless run asked for: the program ends at once, as with
// an unreachable display, naming what is missing; asking for headless runs on.
TEST_F(AppRun, NoDisplayWithoutHeadlessEndsWithExitCode1AndSaysWhy) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVELO_HEADLESS", "SDL_VIDEODRIVER"}) {
    SaveEnv(name);
    unsetenv(name);
  }
  ASSERT_EQ(RunProgram(), Tarvelo::kStartupNoLoop);
  EXPECT_EQ(loopEntered_, 0);
  EXPECT_EQ(Tarvelo::ProgramExitCode(), 1);
  const std::vector<LogEntry> log = Log();
  const int32_t i = Find(log, "Something went wrong during initialization.");
  ASSERT_GE(i, 0);
  EXPECT_EQ(log[i].text,
            "Something went wrong during initialization. (Code 2): no display: neither DISPLAY nor "
            "WAYLAND_DISPLAY is set (TARVELO_HEADLESS=1 runs without a window)");
  EXPECT_EQ(log[i].level, 4);
  EXPECT_EQ(Find(log, "Display driver is "), -1);

  Restart();
  setenv("TARVELO_HEADLESS", "1", 1);
  EXPECT_EQ(RunProgram(), Tarvelo::kStartupOk);
  EXPECT_EQ(Tarvelo::ProgramExitCode(), 0);
}

}  // namespace
}  // namespace apptest
