// Runs the program's start-up and shutdown in this process, headless, in a
// temporary home and program folder, with the loop ended as soon as it starts
// and the documents' loaders and savers replaced by recorders. Gives the log
// file's lines and what reached the text console.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/shutdown.h"
#include "app/startup.h"
#include "app/startup_hooks.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "engine/notes.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "visuals/event_loop.h"
#include "visuals/focus.h"

namespace apptest {

namespace fs = std::filesystem;

constexpr const char* kSystemFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

struct LogEntry {
  int32_t level;  // from the line's prefix; -1 for a line without one
  std::string text;
};

// What the recorders saw.
struct Calls {
  std::vector<int32_t> pauses;
  std::vector<int32_t> demoFlags;
  std::vector<std::string> loadedSynths;  // folder + "|" + file
  std::vector<std::string> savedSessions;
  std::vector<std::pair<int32_t, int32_t>> newSynthClicks;  // event bits, control id
  int32_t savedLibraries = 0;
  std::vector<std::string> savedWaves;    // file names
  std::vector<std::string> savedMelodies;
  int32_t loadSynthResult = 0;
  int32_t saveSessionResult = 0;
  int32_t saveLibraryResult = 0;
};
inline Calls g_calls;

inline void (*g_beforeStep)(int32_t) = nullptr;

class AppRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kSystemFont)) GTEST_SKIP() << "no system font (fonts-dejavu-core)";
    char tmpl[] = "/tmp/tarvelo_apprun_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    home_ = root_ + "/home";
    program_ = root_ + "/program";
    fs::create_directories(home_);
    fs::create_directories(program_ + "/FONTS/Sansation");
    fs::create_directories(program_ + "/FONTS/Fontello");
    fs::copy_file(kSystemFont, program_ + "/FONTS/Sansation/Sansation_Bold.ttf");
    fs::copy_file(kSystemFont, program_ + "/FONTS/Fontello/Tarvelo-Fontello.ttf");
    startFolder_ = fs::current_path();

    SaveEnv("HOME");
    SaveEnv("USER");
    SaveEnv("TARVELO_EXIT_AFTER_MS");
    setenv("HOME", home_.c_str(), 1);
    setenv("USER", "zo\xC3\xA9", 1);  // UTF-8 in the environment, "zo\xE9" inside
    setenv("TARVELO_EXIT_AFTER_MS", "0", 1);
    setenv("TARVELO_HEADLESS", "1", 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("ALSOFT_DRIVERS", "null", 1);
    platform::SetProgramFolderOverride(platform::FromOsPath(program_));
    platform::ConsoleCaptureForTest(&console_);

    g_calls = Calls{};
    g_beforeStep = nullptr;
    Tarvelo::ResetStartupHooks();
    InstallRecorders();
  }

  void TearDown() override {
    platform::ConsoleCaptureForTest(nullptr);
    platform::SetProgramFolderOverride("");
    for (const auto& [name, value] : savedEnv_) {
      if (value.first)
        setenv(name.c_str(), value.second.c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    Tarvelo::ResetStartupHooks();
    ResetProgramState();
    if (!startFolder_.empty()) fs::current_path(startFolder_);
    if (!root_.empty()) fs::remove_all(root_);
  }

  static void InstallRecorders() {
    using Tarvelo::Startup;
    Startup.Pause = [](int32_t ms) { g_calls.pauses.push_back(ms); };
    Startup.BeforeStep = [](int32_t step) {
      if (g_beforeStep) g_beforeStep(step);
    };
    Startup.CopyDemoFiles = [](uint32_t flags) { g_calls.demoFlags.push_back(static_cast<int32_t>(flags)); };
    Startup.LoadWFLibrary = []() -> int32_t { return 0; };
    Startup.LoadFilterFile = [](const std::string&, const std::string&) -> int32_t { return 0; };
    Startup.LoadSynth = [](const std::string& folder, const std::string& file) -> int32_t {
      g_calls.loadedSynths.push_back(folder + "|" + file);
      return g_calls.loadSynthResult;
    };
    Startup.SaveSession = [](const std::string& folder, const std::string& file,
                             std::function<void(int32_t)> done) -> int32_t {
      g_calls.savedSessions.push_back(folder + "|" + file);
      if (done) done(g_calls.saveSessionResult);
      return g_calls.saveSessionResult;
    };
    Startup.SaveWFLibrary = [](std::function<void(int32_t)> done) -> int32_t {
      ++g_calls.savedLibraries;
      if (done) done(g_calls.saveLibraryResult);
      return g_calls.saveLibraryResult;
    };
    Startup.SaveWaveRecord = [](Tarvelo::WaveLibraryEntry* e) -> int32_t {
      g_calls.savedWaves.push_back(QUARLE_BASICS::DynZStringGet(e->File));
      return 0;
    };
    Startup.SaveMelody = [](Tarvelo::WaveLibraryEntry* e) -> int32_t {
      g_calls.savedMelodies.push_back(QUARLE_BASICS::DynZStringGet(e->File));
      return 0;
    };
    Startup.OnNewSynth = [](uint32_t bits, int32_t, int32_t, int32_t id, int32_t) -> int32_t {
      g_calls.newSynthClicks.emplace_back(static_cast<int32_t>(bits), id);
      return 0;
    };
  }

  // What a fresh process would hold, so the next run starts as the first did.
  static void ResetProgramState() {
    QUARLE_BASICS::BasicsReset();
    QUARLE_BASICS::MessageHook = nullptr;
    Tarvelo::Settings = Tarvelo::SettingsRecord{};
    Tarvelo::TimeBaseIndex.Store(0);
    Tarvelo::SessionFolder.clear();
    Tarvelo::SessionFile.clear();
    Tarvelo::SessionTitle.clear();
    Tarvelo::LibraryChanged = 0;
    Tarvelo::ForgetFilesNotSaved();
    Tarvelo::OutputRecording = 0;
    QUARLE_VISUALS::GuiLoopReset();
    QUARLE_VISUALS::FocusReset();
  }

  // Start-up (the loop ends at once) and shutdown, with these arguments after
  // the program's own name.
  int32_t RunProgram(const std::vector<std::string>& args = {}) {
    std::vector<std::string> all = {program_ + "/tarvelo"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int32_t status = Tarvelo::RunStartup(static_cast<int32_t>(all.size()), argv.data());
    loopEntered_ = Tarvelo::LoopEntered;
    newSession_ = Tarvelo::NewSessionFlag;
    demoFlags_ = Tarvelo::DemoFlags;
    Tarvelo::RunShutdown();
    Tarvelo::ShutdownCountdown();
    return status;
  }

  // A second run in the same process.
  void Restart() {
    ResetProgramState();
    g_calls = Calls{};
    console_.clear();
  }

  std::string DataFolder() const { return home_ + "/Tarvelo"; }

  std::vector<LogEntry> Log() const {
    std::vector<LogEntry> out;
    std::ifstream in(DataFolder() + "/TARVELO_LOG.TXT", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out.push_back(Parse(line));
    }
    return out;
  }

  // Public: free helpers of the tests use them too.
 public:
  // Index of the first entry whose text starts with the prefix, from `from` on; -1 when none.
  static int32_t Find(const std::vector<LogEntry>& log, const std::string& prefix, int32_t from = 0) {
    for (int32_t i = from; i < static_cast<int32_t>(log.size()); ++i)
      if (log[i].text.rfind(prefix, 0) == 0) return i;
    return -1;
  }

  static LogEntry Parse(const std::string& line) {
    static const char* const kPrefixes[5] = {">> ", "<!> ", "<Error> ", "<Critical Error> ",
                                             "<Fatal Error> "};
    for (int32_t level = 4; level >= 0; --level) {
      const std::string p = kPrefixes[level];
      if (line.rfind(p, 0) != 0) continue;
      // prefix, a blank, hh:mm:ss, " : ", the text
      const size_t colon = line.find(" : ", p.size());
      if (colon == std::string::npos) break;
      return {level, line.substr(colon + 3)};
    }
    return {-1, line};
  }


 protected:
  void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
  }

  std::string root_, home_, program_, startFolder_;
  std::string console_;
  int64_t loopEntered_ = 0;
  int64_t newSession_ = 0;
  int32_t demoFlags_ = 0;

  // Put back at tear-down.
  void SaveEnv(const char* name) {
    const char* v = getenv(name);
    savedEnv_.push_back({name, {v != nullptr, v ? v : ""}});
  }

 private:
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> savedEnv_;
};

}  // namespace apptest
