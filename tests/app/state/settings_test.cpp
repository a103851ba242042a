// Settings.txt written and read back, the reader's clamps, damaged and missing
// files, a failed save that keeps the old file, the zoom limit and the sizes
// derived from the zoom, and the start-up path services.
#include "app/state/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/fixed_tables.h"
#include "audio/sync_count.h"
#include "basics/console.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "engine/notes.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "platform/saver.h"
#include "visuals/fonts.h"
#include "visuals/visuals.h"

namespace Tarvelo {
namespace {

namespace fs = std::filesystem;

std::vector<std::pair<std::string, int32_t>> g_reports;
void Capture(const std::string& text, int32_t level) { g_reports.emplace_back(text, level); }

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tarvelo_settings_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    home_ = platform::FromOsPath(dir_.string());
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, home_);
    SetDisplayDriverNames();
    SetLanguageAndLevelTables();
    Reset();
    g_reports.clear();
    QUARLE_BASICS::MessageHook = Capture;
    cwd_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(cwd_);
    QUARLE_BASICS::MessageHook = nullptr;
    QUARLE_BASICS::DynZStringFree(QUARLE_BASICS::HomeFolder);
    platform::DisplayResetSimulated();
    Reset();
    fs::remove_all(dir_);
  }
  static void Reset() {
    Settings = SettingsRecord{};
    ZoomFactor = ZoomLimit = 0.0f;
    MonitorsSpanned = 0;
    SessionFolder = SessionFile = SessionTitle = "";
    TimeBaseIndex.Store(0);
    QUARLE_BASICS::DisplayDriverIndex = 0;
  }
  std::string Read(const fs::path& p) const {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
  }
  void Write(const fs::path& p, const std::string& text) const { std::ofstream(p, std::ios::binary) << text; }
  int32_t Load(const std::string& text) {
    Write(dir_ / "Settings.txt", text);
    return LoadSettings("");
  }
  fs::path dir_, cwd_;
  std::string home_;
};

const char* const kAllKeys =
    "\"DISPLAY DRIVER\",\"OpenGL\"\r\n\"SCREEN WIDTH\",1920\r\n\"SCREEN HEIGHT\",1080\r\n"
    "\"MONITORS\",1\r\n\"ZOOM FACTOR\",1.2\r\n\"USE SHADER\",\"TRUE\"\r\n\"CPU-SAVING\",\"FALSE\"\r\n"
    "\"LANGUAGE\",\"FR\"\r\n\"OUTPUT DEVICE\",\"Speakers, front\"\r\n"
    "\"INPUT DEVICE\",\"Micro \xE9l\xE9gant\"\r\n\"OUTPUT BUFFER LENGTH\",7\r\n"
    "\"AUTO-CONNECT\",\"TRUE\"\r\n\"USE DEFAULT DEVICE\",\"FALSE\"\r\n\"TIME BASE\",3\r\n"
    "\"AUTO-SAVE\",\"TRUE\"\r\n\"DISPLAY MIDI INPUT\",\"FALSE\"\r\n\"SCOPE\",2\r\n"
    "\"SESSION\",\"\\home\\me\\Tarvelo\\SYNTHS\",\"Bass line.tarvelo\"\r\n";

TEST_F(SettingsTest, EighteenKeysWrittenInOrderAndReadBack) {
  Settings = SettingsRecord{2, 1920, 1080, 1, 1.2f, QUARLE_BASICS::Shared<int64_t>{-1}, 0, 1, "Speakers, front", "Micro \xE9l\xE9gant",
                            7, -1, 0, 0, -1, QUARLE_BASICS::Shared<int64_t>{0}, 2};
  TimeBaseIndex.Store(1);  // the writer takes the time base from the index
  SessionFolder = "\\home\\me\\Tarvelo\\SYNTHS";
  SessionFile = "Bass line.tarvelo";
  ASSERT_EQ(SaveSettings(), 0);
  EXPECT_EQ(Read(dir_ / "Settings.txt"), kAllKeys);
  EXPECT_FALSE(fs::exists(dir_ / "Settings.txt~tarvelo-1.tmp"));

  const std::string output = Settings.OutputDevice, input = Settings.InputDevice;
  Reset();
  ASSERT_EQ(LoadSettings(""), 0);
  EXPECT_EQ(QUARLE_BASICS::DisplayDriverIndex, 2);
  EXPECT_EQ(MonitorsSpanned, 1);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.2f);
  EXPECT_EQ(TimeBaseIndex.Load(), 1);
  EXPECT_EQ(SessionTitle, "Bass line");
  // Saving what was read gives the same bytes, so every value came back.
  ASSERT_EQ(SaveSettings(), 0);
  EXPECT_EQ(Read(dir_ / "Settings.txt"), kAllKeys);
  EXPECT_EQ(Settings.OutputDevice, output);
  EXPECT_EQ(Settings.InputDevice, input);

  // Every zoom step from the least usable one survives the single-precision
  // write and read.
  for (int k = 3; k <= 40; ++k) {
    Settings.Zoom = static_cast<float>(k) / 5.0f;
    ASSERT_EQ(SaveSettings(), 0);
    ASSERT_EQ(LoadSettings(""), 0);
    EXPECT_EQ(Settings.Zoom, static_cast<float>(k) / 5.0f) << k;
  }
}

TEST_F(SettingsTest, TextsHoldingQuotesReadBackWhole) {
  Settings.OutputDevice = "Built-in \"Analog\" Stereo";
  Settings.InputDevice = "\"";
  SessionFolder = "\\home\\me \"x\", y";
  SessionFile = "A \"\"quoted\"\" synth.tarvelo";
  ASSERT_EQ(SaveSettings(), 0);
  const std::string text = Read(dir_ / "Settings.txt");
  EXPECT_NE(text.find("\"OUTPUT DEVICE\",\"Built-in \"\"Analog\"\" Stereo\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"INPUT DEVICE\",\"\"\"\"\r\n"), std::string::npos);
  const std::string output = Settings.OutputDevice, input = Settings.InputDevice;
  const std::string folder = SessionFolder, file = SessionFile;
  Reset();
  ASSERT_EQ(LoadSettings(""), 0);
  EXPECT_EQ(Settings.OutputDevice, output);
  EXPECT_EQ(Settings.InputDevice, input);
  EXPECT_EQ(SessionFolder, folder);
  EXPECT_EQ(SessionFile, file);
  EXPECT_EQ(SessionTitle, "A \"\"quoted\"\" synth");

  // Files written before: a quote cut the text there, and still does; empty
  // texts stay empty.
  ASSERT_EQ(Load("\"OUTPUT DEVICE\",\"Built-in \"Analog\" Stereo\"\r\n\"SESSION\",\"\",\"\"\r\n"), 0);
  EXPECT_EQ(Settings.OutputDevice, "Built-in");
  EXPECT_EQ(SessionFolder, "");
  EXPECT_EQ(SessionFile, "");
}

// A name keeps its spaces: a session whose folder and file end or start with
// them is found again after the settings were saved and read. Quoted items are
// taken as they stand between their quotes (the writer has always quoted the
// session's names, so files written before read as they did); an unquoted one,
// written by hand, is trimmed as before.
TEST_F(SettingsTest, SessionNamesKeepTheirSpaces) {
  fs::create_directories(dir_ / "Mine ");
  Write(dir_ / "Mine " / " Favourite.tarvelo", "x");
  SessionFolder = home_ + "\\Mine ";
  SessionFile = " Favourite.tarvelo";
  ASSERT_EQ(SaveSettings(), 0);
  Reset();
  ASSERT_EQ(LoadSettings(""), 0);
  EXPECT_EQ(LocateFile(SessionFolder, SessionFile, "\\SYNTHS"), home_ + "\\Mine ");
  EXPECT_EQ(SessionTitle, " Favourite");

  const struct {
    const char* line;
    const char* folder;
    const char* file;
  } rows[] = {
      {"\"SESSION\",\"\\x\\Mine \",\" Favourite.tarvelo\"", "\\x\\Mine ", " Favourite.tarvelo"},
      {"\"SESSION\",\"  \",\"  .tarvelo  \"", "  ", "  .tarvelo  "},
      {"\"SESSION\", \"\\x\" , \"a.tarvelo\"x", "\\x", "a.tarvelo"},
      {"\"LAST SYNTH\",  \\x\\Mine ,  b.tarvelo  ", "\\x\\Mine", "b.tarvelo"},
  };
  for (const auto& row : rows) {
    ASSERT_EQ(Load(std::string(row.line) + "\r\n"), 0);
    EXPECT_EQ(SessionFolder, row.folder) << row.line;
    EXPECT_EQ(SessionFile, row.file) << row.line;
  }
}

TEST_F(SettingsTest, ReaderClampsAndDefaults) {
  struct Case {
    const char* line;
    int64_t SettingsRecord::*field;
    int64_t expected;
  };
  const Case cases[] = {
      {"\"OUTPUT BUFFER LENGTH\",0", &SettingsRecord::OutputBufferLength, 1},
      {"\"OUTPUT BUFFER LENGTH\",99", &SettingsRecord::OutputBufferLength, 32},
      {"\"OUTPUT BUFFER LENGTH\",abc", &SettingsRecord::OutputBufferLength, 1},
      {"  \"output buffer length:\" , 9", &SettingsRecord::OutputBufferLength, 9},
      {"\"SCREEN WIDTH\",99999999999999999999999", &SettingsRecord::ScreenWidth, 4096},
      {"\"SCREEN WIDTH\",2560.9", &SettingsRecord::ScreenWidth, 2560},
      {"\"SCREEN HEIGHT\",-5", &SettingsRecord::ScreenHeight, 720},
      {"\"CPU SAVING\",\"yes\"", &SettingsRecord::CpuSaving, -1},
      {"\"AUTO SAVE\",2", &SettingsRecord::AutoSave, -1},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Load(std::string(c.line) + "\r\n"), 0);
    EXPECT_EQ(Settings.*c.field, c.expected) << c.line;
  }
  ASSERT_EQ(Load("\"USE SHADER\",\"off\"\r\n"), 0);
  EXPECT_EQ(Settings.UseShader.Load(), 0);
  ASSERT_EQ(Load("\"SCOPE\",5\r\n"), 0);
  EXPECT_EQ(Settings.Scope, 4);
  ASSERT_EQ(Load("\"SCOPE\",-1\r\n\"ZOOM FACTOR\",1.33\r\n"), 0);
  EXPECT_EQ(Settings.Scope, 0);
  EXPECT_FLOAT_EQ(Settings.Zoom, 1.2f);
  // The least zoom is kept; below it the zoom counts as unset (1.0 at start).
  ASSERT_EQ(Load("\"ZOOM FACTOR\",0.6\r\n"), 0);
  EXPECT_FLOAT_EQ(Settings.Zoom, 0.6f);
  for (const char* low : {"0.4", "0.2", "0.1"}) {
    ASSERT_EQ(Load(std::string("\"ZOOM FACTOR\",") + low + "\r\n"), 0);
    EXPECT_EQ(Settings.Zoom, 0.0f) << low;
  }
  ASSERT_EQ(Load("\"ZOOM FACTOR\",1e300\r\n"), 0);
  EXPECT_TRUE(std::isfinite(Settings.Zoom));
  for (const auto& [value, base] : {std::pair{"4", 2}, {"5", 5}, {"7", 2}, {"2.9", 3}}) {
    ASSERT_EQ(Load(std::string("\"TIME BASE\",") + value + "\r\n"), 0);
    EXPECT_EQ(Settings.TimeBase, base) << value;
    EXPECT_EQ(TimeBaseIndex.Load(), base == 5 ? 2 : (base == 3 ? 1 : 0)) << value;
  }
  platform::DisplaySetSimulated(platform::DisplayModes(), 3840, 1080, 2);
  ASSERT_EQ(Load("\"MONITORS\",3\r\n\"LANGUAGE\",\"es\"\r\n\"LAST SYNTH\",\"\\x\",\"\"\r\n"), 0);
  EXPECT_EQ(Settings.Monitors, 2);
  EXPECT_EQ(Settings.Language, 2);
  EXPECT_EQ(SessionFolder, "\\x");
  EXPECT_EQ(SessionTitle, "[NEW SESSION]");
  // An unknown language keeps the index; a driver name must match exactly, and
  // an unknown one keeps the setting but puts GDI in use.
  ASSERT_EQ(Load("\"LANGUAGE\",\"DE\"\r\n\"DISPLAY DRIVER\",\"DirectX\"\r\n"), 0);
  EXPECT_EQ(Settings.Language, 2);
  ASSERT_EQ(Load("\"DISPLAY DRIVER\",\"opengl\"\r\n"), 0);
  EXPECT_EQ(Settings.DisplayDriver, 1);
  EXPECT_EQ(QUARLE_BASICS::DisplayDriverIndex, 0);
}

TEST_F(SettingsTest, DamagedOrMissingFilesLoseNothingElse) {
  Settings.ScreenHeight = 900;
  EXPECT_EQ(LoadSettings(""), -24);
  EXPECT_EQ(LoadSettings(home_ + "\\lang.txt"), -24);
  EXPECT_EQ(Settings.ScreenHeight, 900);
  // Cut in the middle of a key: the lines before it count.
  ASSERT_EQ(Load("\"SCREEN WIDTH\",1920\r\n\"SCREEN HEI"), 0);
  EXPECT_EQ(Settings.ScreenWidth, 1920);
  EXPECT_EQ(Settings.ScreenHeight, 900);
  // A line short of its value does not take the next line's key for it.
  ASSERT_EQ(Load("\"OUTPUT DEVICE\"\r\n\"SCOPE\",3"), 0);
  EXPECT_EQ(Settings.Scope, 3);
  // Unknown keys with extra items, blank lines, an open quote, binary bytes.
  std::string junk = "\"COLOUR\",\"red\",\"x\"\r\n\r\n\"INPUT DEVICE\",\"Mic\r\n";
  junk += std::string("\0\x01\xFF,\"\r\n", 7);
  ASSERT_EQ(Load(junk + "\"SCOPE\",4\n\"SCREEN HEIGHT\",1000\r"), 0);
  EXPECT_EQ(Settings.InputDevice, "Mic");
  EXPECT_EQ(Settings.Scope, 4);
  EXPECT_EQ(Settings.ScreenHeight, 1000);

  // A save that cannot complete leaves the file on disk whole.
  ASSERT_EQ(SaveSettings(), 0);
  const std::string before = Read(dir_ / "Settings.txt");
  fs::create_directory(dir_ / "Settings.txt~tarvelo-1.tmp");
  Settings.Scope = 1;
  EXPECT_LT(SaveSettings(), 0);
  EXPECT_EQ(Read(dir_ / "Settings.txt"), before);
  // Another save holding the work file's name (on a full disk here) is left
  // alone: this one writes beside it.
  fs::remove(dir_ / "Settings.txt~tarvelo-1.tmp");
  const std::string held = platform::ClaimWorkFile(home_ + "\\Settings.txt", ".tmp");
  fs::create_symlink("/dev/full", platform::ToOsPath(held));
  EXPECT_EQ(SaveSettings(), 0);
  EXPECT_TRUE(fs::is_symlink(platform::ToOsPath(held)));
  platform::ReleaseWorkFile(held);
  EXPECT_NE(Read(dir_ / "Settings.txt"), before);
  // Without a data folder nothing is read or written anywhere.
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
  EXPECT_EQ(LoadSettings(""), -24);
  EXPECT_EQ(SaveSettings(), -27);
}

// The window's thread hands the settings to the saver and goes on while the
// disk holds the sync: the file changes only once synced, and a failure the
// saver meets after the call returned is said when it comes.
TEST_F(SettingsTest, ASaveGoesOnWhileTheDiskHoldsItsSync) {
  ASSERT_EQ(SaveSettings(), 0);
  const std::string before = Read(dir_ / "Settings.txt");
  Settings.Scope = 2;
  ASSERT_TRUE(platform::SaverStart());
  synccount::Reset();
  synccount::Hold();
  EXPECT_EQ(SaveSettings(), 0);
  EXPECT_EQ(synccount::On(synccount::ThreadName()), 0) << "synced on the caller's thread";
  EXPECT_EQ(Read(dir_ / "Settings.txt"), before);
  synccount::Release();
  ASSERT_TRUE(platform::SaverWaitIdle(30.0));
  EXPECT_EQ(platform::SaverTakeOutcomes(), 1);
  EXPECT_NE(Read(dir_ / "Settings.txt"), before);
  EXPECT_TRUE(g_reports.empty());

  fs::create_directory(dir_ / "Settings.txt~tarvelo-1.tmp");
  EXPECT_EQ(SaveSettings(), 0);
  ASSERT_TRUE(platform::SaverWaitIdle(30.0));
  EXPECT_EQ(platform::SaverTakeOutcomes(), 1);
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].first, "Error saving settings file: A folder, not a file");
  EXPECT_EQ(g_reports[0].second, 2);
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

TEST_F(SettingsTest, ZoomLimitAndDisplaySizes) {
  Settings.Zoom = 2.0f;
  SetZoomLimit(5760);
  EXPECT_FLOAT_EQ(ZoomLimit, 3.4f);
  EXPECT_FLOAT_EQ(Settings.Zoom, 2.0f);
  SetZoomLimit(1920);
  EXPECT_FLOAT_EQ(ZoomLimit, 1.0f);
  EXPECT_FLOAT_EQ(Settings.Zoom, 1.0f);

  platform::SetProgramFolderOverride("/usr/share/fonts/truetype/dejavu");
  QUARLE_VISUALS::MT_FONT = platform::MutexCreate();
  ASSERT_EQ(QUARLE_VISUALS::FontEngineStart(), 0);
  Settings.Monitors = 1;
  Settings.ScreenWidth = 2560;  // limit 1.4
  Settings.Zoom = 1.2f;
  ZoomFactor = 0.4f;
  EXPECT_LT(ApplyDisplaySettings(), 0);  // no icon font yet
  EXPECT_FLOAT_EQ(ZoomFactor, 0.4f);
  ASSERT_EQ(QUARLE_VISUALS::LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf"), 0);
  ASSERT_EQ(ApplyDisplaySettings(), 0);
  EXPECT_EQ(QUARLE_VISUALS::IconFont.IconSize, 26);
  EXPECT_EQ(DefaultTextSize, 24);
  EXPECT_EQ(QUARLE_VISUALS::BorderWidth, 3);
  EXPECT_EQ(UiUnit, 6);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.2f);
  EXPECT_EQ(MonitorsSpanned, 1);
  for (int c = 1; c <= 121; ++c) EXPECT_GT(QUARLE_VISUALS::IconAdvances[c], 0) << c;
  EXPECT_NE(Read(dir_ / "Settings.txt").find("\"ZOOM FACTOR\",1.2\r\n"), std::string::npos);
  // No zoom at all (no settings file): a usable zoom instead of zero sizes.
  Settings.Zoom = 0.0f;
  ASSERT_EQ(ApplyDisplaySettings(), 0);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.0f);
  EXPECT_EQ(UiUnit, 5);
  QUARLE_VISUALS::FontEngineStop();
  platform::MutexDestroy(QUARLE_VISUALS::MT_FONT);
  QUARLE_VISUALS::MT_FONT = nullptr;
  platform::SetProgramFolderOverride("");
  QUARLE_VISUALS::BorderWidth = 0;
}

TEST_F(SettingsTest, StartUpPathServices) {
  Write(dir_ / "My Synth.TARVELO", "x");
  Write(dir_ / "notes.txt", "x");
  SetSessionFromPath(home_ + "\\notes.txt");
  SetSessionFromPath(home_ + "\\missing.tarvelo");
  EXPECT_EQ(SessionFile, "");
  EXPECT_EQ(SetSessionFromPath("  " + home_ + "\\My Synth.TARVELO "), 0);
  EXPECT_EQ(SessionFolder, home_);
  EXPECT_EQ(SessionFile, "My Synth.TARVELO");
  EXPECT_EQ(SessionTitle, "My Synth");

  fs::current_path(fs::temp_directory_path());
  ASSERT_EQ(EnsureFolder("AUDIO", home_), 0);
  ASSERT_EQ(EnsureFolder("CONVERTED", home_ + "\\AUDIO"), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "AUDIO" / "CONVERTED"));
  EXPECT_EQ(fs::current_path(), dir_ / "AUDIO");
  ASSERT_EQ(EnsureFolder("AUDIO", home_), 0);
  EXPECT_EQ(fs::current_path(), dir_);
  EXPECT_EQ(EnsureFolder("SUB", home_ + "\\notes.txt"), -27);
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0], std::make_pair(QUARLE_BASICS::ErrorText(-27) + ": " + home_ + "\\notes.txt\\SUB", 4));

  fs::create_directories(dir_ / "SYNTHS" / "DEMO");
  Write(dir_ / "SYNTHS" / "DEMO" / "b.tarvelo", "x");
  Write(dir_ / "SYNTHS" / "c.tarvelo", "x");
  EXPECT_EQ(LocateFile(home_, "notes.txt", "\\SYNTHS"), home_);
  // Saved on another machine: the same sub-folder under this user's data folder.
  EXPECT_EQ(LocateFile("C:\\Users\\Old\\Tarvelo\\SYNTHS\\DEMO", "b.tarvelo", "\\SYNTHS"),
            home_ + "\\SYNTHS\\DEMO");
  EXPECT_EQ(LocateFile("\\elsewhere", "c.tarvelo", "\\SYNTHS"), home_ + "\\SYNTHS");
  EXPECT_EQ(LocateFile("\\elsewhere", "gone.tarvelo", "\\SYNTHS"), "");
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[1], std::make_pair(std::string("Can't find gone.tarvelo"), 1));
}

}  // namespace
}  // namespace Tarvelo
