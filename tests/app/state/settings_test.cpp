// Settings.txt written and read back, the reader's clamps and defaults, damaged
// and missing files, a failed save that keeps the old file, the zoom limit and
// the sizes derived from the zoom, and the start-up path services.
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
#include "app/state/ui_hooks.h"
#include "basics/console.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "engine/notes.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "visuals/fonts.h"
#include "visuals/visuals.h"

namespace Tarvelo {
namespace {

namespace fs = std::filesystem;

std::vector<std::pair<std::string, int32_t>> g_reports;
void Capture(const std::string& text, int32_t level) { g_reports.emplace_back(text, level); }

void ResetSettings() {
  Settings = SettingsRecord{};
  ZoomFactor = ZoomLimit = BaseZoom = 0.0f;
  MonitorsSpanned = 0;
  MonitorCount = 0;
  SessionFolder.clear();
  SessionFile.clear();
  SessionTitle.clear();
  DefaultTextSize = UiUnit = 0;
  TimeBaseIndex = 0;
  QUARLE_BASICS::DisplayDriverIndex = 0;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tarvelo_settings_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    home_ = platform::FromOsPath(dir_.string());
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, home_);
    SetDisplayDriverNames();
    SetLanguageAndLevelTables();
    ResetSettings();
    g_reports.clear();
    QUARLE_BASICS::MessageHook = Capture;
    cwd_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(cwd_);
    QUARLE_BASICS::MessageHook = nullptr;
    QUARLE_BASICS::DynZStringFree(QUARLE_BASICS::HomeFolder);
    platform::DisplayResetSimulated();
    ResetSettings();
    fs::remove_all(dir_);
  }

  fs::path SettingsPath() const { return dir_ / "Settings.txt"; }
  std::string ReadFile(const fs::path& p) const {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void WriteFile(const fs::path& p, const std::string& text) const {
    std::ofstream(p, std::ios::binary) << text;
  }
  // Reads a settings file made of these bytes.
  int32_t Load(const std::string& text) {
    WriteFile(SettingsPath(), text);
    return LoadSettings("");
  }

  fs::path dir_;
  fs::path cwd_;
  std::string home_;
};

const char* const kAllKeys =
    "\"DISPLAY DRIVER\",\"OpenGL\"\r\n"
    "\"SCREEN WIDTH\",1920\r\n"
    "\"SCREEN HEIGHT\",1080\r\n"
    "\"MONITORS\",1\r\n"
    "\"ZOOM FACTOR\",1.2\r\n"
    "\"USE SHADER\",\"TRUE\"\r\n"
    "\"CPU-SAVING\",\"FALSE\"\r\n"
    "\"LANGUAGE\",\"FR\"\r\n"
    "\"OUTPUT DEVICE\",\"Speakers, front\"\r\n"
    "\"INPUT DEVICE\",\"Micro \xE9l\xE9gant\"\r\n"
    "\"OUTPUT BUFFER LENGTH\",7\r\n"
    "\"AUTO-CONNECT\",\"TRUE\"\r\n"
    "\"USE DEFAULT DEVICE\",\"FALSE\"\r\n"
    "\"TIME BASE\",3\r\n"
    "\"AUTO-SAVE\",\"TRUE\"\r\n"
    "\"DISPLAY MIDI INPUT\",\"FALSE\"\r\n"
    "\"SCOPE\",2\r\n"
    "\"SESSION\",\"\\home\\me\\Tarvelo\\SYNTHS\",\"Bass line.tarvelo\"\r\n";

TEST_F(SettingsTest, EighteenKeysWrittenInOrderAndReadBack) {
  Settings.DisplayDriver = 2;
  Settings.ScreenWidth = 1920;
  Settings.ScreenHeight = 1080;
  Settings.Monitors = 1;
  Settings.Zoom = 1.2f;
  Settings.UseShader = -1;
  Settings.CpuSaving = 0;
  Settings.Language = 1;
  Settings.OutputDevice = "Speakers, front";
  Settings.InputDevice = "Micro \xE9l\xE9gant";
  Settings.OutputBufferLength = 7;
  Settings.AutoConnect = -1;
  Settings.UseDefaultDevice = 0;
  TimeBaseIndex = 1;
  Settings.TimeBase = 0;  // the writer takes it from the index
  Settings.AutoSave = -1;
  Settings.DisplayMidiInput = 0;
  Settings.Scope = 2;
  SessionFolder = "\\home\\me\\Tarvelo\\SYNTHS";
  SessionFile = "Bass line.tarvelo";
  ASSERT_EQ(SaveSettings(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), kAllKeys);
  EXPECT_EQ(Settings.TimeBase, 3);
  EXPECT_FALSE(fs::exists(dir_ / "Settings.txt.tmp"));

  platform::DisplaySetSimulated(platform::DisplayModes(), 1920, 1080, 1);
  ResetSettings();
  ASSERT_EQ(LoadSettings(""), 0);
  EXPECT_EQ(Settings.DisplayDriver, 2);
  EXPECT_EQ(QUARLE_BASICS::DisplayDriverIndex, 2);
  EXPECT_EQ(Settings.ScreenWidth, 1920);
  EXPECT_EQ(Settings.ScreenHeight, 1080);
  EXPECT_EQ(Settings.Monitors, 1);
  EXPECT_EQ(MonitorsSpanned, 1);
  EXPECT_FLOAT_EQ(Settings.Zoom, 1.2f);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.2f);
  EXPECT_EQ(Settings.UseShader, -1);
  EXPECT_EQ(Settings.CpuSaving, 0);
  EXPECT_EQ(Settings.Language, 1);
  EXPECT_EQ(Settings.OutputDevice, "Speakers, front");
  EXPECT_EQ(Settings.InputDevice, "Micro \xE9l\xE9gant");
  EXPECT_EQ(Settings.OutputBufferLength, 7);
  EXPECT_EQ(Settings.AutoConnect, -1);
  EXPECT_EQ(Settings.UseDefaultDevice, 0);
  EXPECT_EQ(Settings.TimeBase, 3);
  EXPECT_EQ(TimeBaseIndex, 1);
  EXPECT_EQ(Settings.AutoSave, -1);
  EXPECT_EQ(Settings.DisplayMidiInput, 0);
  EXPECT_EQ(Settings.Scope, 2);
  EXPECT_EQ(SessionFolder, "\\home\\me\\Tarvelo\\SYNTHS");
  EXPECT_EQ(SessionFile, "Bass line.tarvelo");
  EXPECT_EQ(SessionTitle, "Bass line");

  // Saving what was read gives the same bytes.
  ASSERT_EQ(SaveSettings(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), kAllKeys);
}

TEST_F(SettingsTest, EveryZoomStepSurvivesSaveAndLoad) {
  for (int k = 0; k <= 40; ++k) {
    Settings.Zoom = static_cast<float>(k) / 5.0f;
    ASSERT_EQ(SaveSettings(), 0);
    Settings.Zoom = -7.0f;
    ASSERT_EQ(LoadSettings(""), 0);
    EXPECT_EQ(Settings.Zoom, static_cast<float>(k) / 5.0f) << k;
  }
}

TEST_F(SettingsTest, ReaderClampsNumbers) {
  struct Case {
    const char* line;
    int64_t SettingsRecord::*field;
    int64_t expected;
  };
  const Case cases[] = {
      {"\"OUTPUT BUFFER LENGTH\",7", &SettingsRecord::OutputBufferLength, 7},
      {"\"OUTPUT BUFFER LENGTH\",0", &SettingsRecord::OutputBufferLength, 1},
      {"\"OUTPUT BUFFER LENGTH\",99", &SettingsRecord::OutputBufferLength, 32},
      {"\"OUTPUT BUFFER LENGTH\",abc", &SettingsRecord::OutputBufferLength, 1},
      {"\"SCREEN WIDTH\",100", &SettingsRecord::ScreenWidth, 1280},
      {"\"SCREEN WIDTH\",99999999999999999999999", &SettingsRecord::ScreenWidth, 4096},
      {"\"SCREEN WIDTH\",2560.9", &SettingsRecord::ScreenWidth, 2560},
      {"\"SCREEN HEIGHT\",-5", &SettingsRecord::ScreenHeight, 720},
      {"\"SCREEN HEIGHT\",5000", &SettingsRecord::ScreenHeight, 2160},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Load(std::string(c.line) + "\r\n"), 0);
    EXPECT_EQ(Settings.*c.field, c.expected) << c.line;
  }
  ASSERT_EQ(Load("\"SCOPE\",5\r\n"), 0);
  EXPECT_EQ(Settings.Scope, 4);
  ASSERT_EQ(Load("\"SCOPE\",-1\r\n"), 0);
  EXPECT_EQ(Settings.Scope, 0);
  ASSERT_EQ(Load("\"ZOOM FACTOR\",1.33\r\n"), 0);
  EXPECT_FLOAT_EQ(Settings.Zoom, 1.2f);
  ASSERT_EQ(Load("\"ZOOM FACTOR\",-3\r\n"), 0);
  EXPECT_EQ(Settings.Zoom, 0.0f);
  ASSERT_EQ(Load("\"ZOOM FACTOR\",1e300\r\n"), 0);
  EXPECT_TRUE(std::isfinite(Settings.Zoom));
}

TEST_F(SettingsTest, TimeBaseTakesTwoThreeOrFive) {
  const std::pair<const char*, int32_t> cases[] = {{"4", 2}, {"5", 5}, {"7", 2}, {"3", 3}, {"4.6", 5},
                                                   {"2.9", 3}, {"x", 2}};
  for (const auto& [value, base] : cases) {
    ASSERT_EQ(Load(std::string("\"TIME BASE\",") + value + "\r\n"), 0);
    EXPECT_EQ(Settings.TimeBase, base) << value;
    EXPECT_EQ(TimeBaseIndex, base == 5 ? 2 : (base == 3 ? 1 : 0)) << value;
  }
}

TEST_F(SettingsTest, KeysTextsAndFlags) {
  // Lower case with a trailing colon, aliases, booleans in their many forms.
  ASSERT_EQ(Load("  \"output buffer length:\" , 9\r\n"
                 "\"CPU SAVING\",\"yes\"\r\n"
                 "\"AUTO SAVE\",1\r\n"
                 "\"USE SHADER\",\"off\"\r\n"
                 "\"DISPLAY MIDI INPUT\",\"-1\"\r\n"
                 "\"AUTO-CONNECT\",\"2\"\r\n"
                 "\"OUTPUT DEVICE\",\"  padded  \"\r\n"
                 "\"LAST SYNTH\",\"\\x\",\"song\"\r\n"
                 "\"LANGUAGE\",\"es\"\r\n"),
            0);
  EXPECT_EQ(Settings.OutputBufferLength, 9);
  EXPECT_EQ(Settings.CpuSaving, -1);
  EXPECT_EQ(Settings.AutoSave, -1);
  EXPECT_EQ(Settings.UseShader, 0);
  EXPECT_EQ(Settings.DisplayMidiInput, -1);
  EXPECT_EQ(Settings.AutoConnect, -1);
  EXPECT_EQ(Settings.OutputDevice, "padded");
  EXPECT_EQ(SessionFolder, "\\x");
  EXPECT_EQ(SessionFile, "song");
  EXPECT_EQ(SessionTitle, "[NEW SESSION]");
  EXPECT_EQ(Settings.Language, 2);

  // An unknown language leaves the index; a driver name must match exactly and
  // an unknown one leaves the setting but puts GDI in use.
  ASSERT_EQ(Load("\"LANGUAGE\",\"DE\"\r\n\"DISPLAY DRIVER\",\"DirectX\"\r\n"), 0);
  EXPECT_EQ(Settings.Language, 2);
  EXPECT_EQ(Settings.DisplayDriver, 1);
  EXPECT_EQ(QUARLE_BASICS::DisplayDriverIndex, 1);
  ASSERT_EQ(Load("\"DISPLAY DRIVER\",\"opengl\"\r\n"), 0);
  EXPECT_EQ(Settings.DisplayDriver, 1);
  EXPECT_EQ(QUARLE_BASICS::DisplayDriverIndex, 0);

  ASSERT_EQ(Load("\"SESSION\",\"\\f\",\"\"\r\n"), 0);
  EXPECT_EQ(SessionTitle, "[NEW SESSION]");
  ASSERT_EQ(Load("\"SESSION\",\"\\f\",\"a.b.tarvelo\"\r\n"), 0);
  EXPECT_EQ(SessionTitle, "a.b");
}

TEST_F(SettingsTest, MonitorsLimitedToThoseAttached) {
  platform::DisplaySetSimulated(platform::DisplayModes(), 3840, 1080, 2);
  ASSERT_EQ(Load("\"MONITORS\",3\r\n"), 0);
  EXPECT_EQ(Settings.Monitors, 2);
  EXPECT_EQ(MonitorsSpanned, 2);
  EXPECT_EQ(MonitorCount, 2);
  ASSERT_EQ(Load("\"MONITORS\",0\r\n"), 0);
  EXPECT_EQ(Settings.Monitors, 1);
  platform::DisplaySetSimulated(platform::DisplayModes(), 3840, 1080, 5);
  ASSERT_EQ(Load("\"MONITORS\",5\r\n"), 0);
  EXPECT_EQ(Settings.Monitors, 3);
}

TEST_F(SettingsTest, MissingFileChangesNothing) {
  Settings.ScreenWidth = 1600;
  EXPECT_EQ(LoadSettings(""), -24);
  EXPECT_EQ(LoadSettings(home_ + "\\lang.txt"), -24);
  EXPECT_EQ(Settings.ScreenWidth, 1600);
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
  EXPECT_EQ(LoadSettings(""), -24);
  // Without a data folder nothing is written anywhere.
  EXPECT_EQ(SaveSettings(), -27);
}

TEST_F(SettingsTest, DefaultsFileReadTheSameWay) {
  WriteFile(dir_ / "lang.txt", "\"LANGUAGE\",\"FR\"\r\n\"SCOPE\",3");  // last line without its end
  ASSERT_EQ(LoadSettings(home_ + "\\lang.txt"), 0);
  EXPECT_EQ(Settings.Language, 1);
  EXPECT_EQ(Settings.Scope, 3);
}

TEST_F(SettingsTest, DamagedFilesLoseOnlyTheirDamagedValues) {
  Settings.ScreenHeight = 900;
  Settings.Scope = 1;
  // Cut in the middle of a key: the lines before it count, the stump is skipped.
  ASSERT_EQ(Load("\"SCREEN WIDTH\",1920\r\n\"SCREEN HEI"), 0);
  EXPECT_EQ(Settings.ScreenWidth, 1920);
  EXPECT_EQ(Settings.ScreenHeight, 900);
  // A line without its value does not take the next line's key as its value.
  ASSERT_EQ(Load("\"OUTPUT DEVICE\"\r\n\"SCOPE\",3\r\n"), 0);
  EXPECT_EQ(Settings.OutputDevice, "");
  EXPECT_EQ(Settings.Scope, 3);
  // Unknown keys, blank lines, an unterminated quote and binary bytes.
  const std::string junk = std::string("\"COLOUR\",\"red\",\"extra\"\r\n\r\n\"INPUT DEVICE\",\"Mic\r\n") +
                           std::string("\x00\x01\xFF,\x7F\"\r\n", 7) + "\"SCOPE\",4\n\"SCREEN HEIGHT\",1000\r";
  ASSERT_EQ(Load(junk), 0);
  EXPECT_EQ(Settings.InputDevice, "Mic");
  EXPECT_EQ(Settings.Scope, 4);
  EXPECT_EQ(Settings.ScreenHeight, 1000);
  EXPECT_EQ(Settings.ScreenWidth, 1920);
  // Very long line.
  ASSERT_EQ(Load("\"OUTPUT DEVICE\",\"" + std::string(10000, 'a') + "\"\r\n\"SCOPE\",0\r\n"), 0);
  EXPECT_EQ(Settings.Scope, 0);
  EXPECT_LE(Settings.OutputDevice.size(), 4096u);
}

TEST_F(SettingsTest, FailedSaveKeepsTheOldFile) {
  Settings.Scope = 3;
  ASSERT_EQ(SaveSettings(), 0);
  const std::string before = ReadFile(SettingsPath());
  // The temporary file cannot be made: the settings on disk stay whole.
  fs::create_directory(dir_ / "Settings.txt.tmp");
  Settings.Scope = 1;
  EXPECT_LT(SaveSettings(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()), before);
  fs::remove(dir_ / "Settings.txt.tmp");
  ASSERT_EQ(SaveSettings(), 0);
  EXPECT_NE(ReadFile(SettingsPath()).find("\"SCOPE\",1\r\n"), std::string::npos);
}

TEST_F(SettingsTest, ZoomLimitFollowsTheScreenWidth) {
  Settings.Zoom = 4.0f;
  SetZoomLimit(1920);
  EXPECT_FLOAT_EQ(ZoomLimit, 1.0f);
  EXPECT_FLOAT_EQ(Settings.Zoom, 1.0f);
  Settings.Zoom = 2.0f;
  SetZoomLimit(5760);
  EXPECT_FLOAT_EQ(ZoomLimit, 3.4f);
  EXPECT_FLOAT_EQ(Settings.Zoom, 2.0f);
  SetZoomLimit(0);
  EXPECT_FLOAT_EQ(ZoomLimit, 0.4f);
  SetZoomLimit(INT64_MAX);
  EXPECT_GT(ZoomLimit, 0.4f);
}

class DisplaySettingsTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    platform::SetProgramFolderOverride("/usr/share/fonts/truetype/dejavu");
    QUARLE_VISUALS::MT_FONT = platform::MutexCreate();
    ASSERT_EQ(QUARLE_VISUALS::FontEngineStart(), 0);
  }
  void TearDown() override {
    QUARLE_VISUALS::FontEngineStop();
    platform::MutexDestroy(QUARLE_VISUALS::MT_FONT);
    QUARLE_VISUALS::MT_FONT = nullptr;
    platform::SetProgramFolderOverride("");
    QUARLE_VISUALS::BorderWidth = 0;
    ResetStateUiHooks();
    SettingsTest::TearDown();
  }
};

int g_editFieldFont = 0;

TEST_F(DisplaySettingsTest, SizesAndIconAdvancesFromTheZoom) {
  ASSERT_EQ(QUARLE_VISUALS::LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf"), 0);
  StateUi.UseTextFontForEditField = [] { ++g_editFieldFont; };
  g_editFieldFont = 0;
  Settings.Zoom = 1.2f;
  Settings.Monitors = 1;
  Settings.ScreenWidth = 2560;  // zoom limit 1.4
  ASSERT_EQ(ApplyDisplaySettings(), 0);
  EXPECT_EQ(QUARLE_VISUALS::IconFont.IconSize, 26);
  EXPECT_EQ(DefaultTextSize, 24);
  EXPECT_EQ(QUARLE_VISUALS::BorderWidth, 3);
  EXPECT_EQ(UiUnit, 6);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.2f);
  EXPECT_EQ(MonitorsSpanned, 1);
  EXPECT_EQ(g_editFieldFont, 1);
  for (int c = 1; c <= 121; ++c) EXPECT_GT(QUARLE_VISUALS::IconAdvances[c], 0) << c;
  // The settings were saved on the way.
  EXPECT_TRUE(fs::exists(SettingsPath()));

  // Above the limit of the screen: lowered to it.
  Settings.ScreenWidth = 1920;
  Settings.Zoom = 3.0f;
  ASSERT_EQ(ApplyDisplaySettings(), 0);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.0f);
  EXPECT_EQ(DefaultTextSize, 20);
  EXPECT_EQ(QUARLE_VISUALS::BorderWidth, 3);
  EXPECT_EQ(UiUnit, 5);
  EXPECT_EQ(QUARLE_VISUALS::IconFont.IconSize, 22);

  // No zoom at all (no settings file): a usable zoom instead of zero sizes.
  Settings.Zoom = 0.0f;
  ASSERT_EQ(ApplyDisplaySettings(), 0);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.0f);
  EXPECT_GT(UiUnit, 0);
}

TEST_F(DisplaySettingsTest, MissingIconFontIsAnError) {
  Settings.Zoom = 1.0f;
  Settings.Monitors = 1;
  Settings.ScreenWidth = 1920;
  ZoomFactor = 0.4f;
  EXPECT_LT(ApplyDisplaySettings(), 0);
  EXPECT_FLOAT_EQ(ZoomFactor, 0.4f);  // not applied
}

TEST_F(SettingsTest, SessionFromCommandLine) {
  WriteFile(dir_ / "My Synth.TARVELO", "x");
  WriteFile(dir_ / "notes.txt", "x");
  EXPECT_EQ(SetSessionFromPath("  " + home_ + "\\notes.txt "), 0);
  EXPECT_EQ(SetSessionFromPath(home_ + "\\missing.tarvelo"), 0);
  EXPECT_EQ(SetSessionFromPath(""), 0);
  EXPECT_EQ(SessionFile, "");
  EXPECT_EQ(SetSessionFromPath("  " + home_ + "\\My Synth.TARVELO  "), 0);
  EXPECT_EQ(SessionFolder, home_);
  EXPECT_EQ(SessionFile, "My Synth.TARVELO");
  EXPECT_EQ(SessionTitle, "My Synth");
  // The OS form of the path is taken as well.
  SessionFile.clear();
  EXPECT_EQ(SetSessionFromPath((dir_ / "My Synth.TARVELO").string()), 0);
  EXPECT_EQ(SessionFile, "My Synth.TARVELO");
}

TEST_F(SettingsTest, EnsureFolderMakesItAndEndsAtTheParent) {
  fs::current_path(fs::temp_directory_path());
  ASSERT_EQ(EnsureFolder("AUDIO", home_), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "AUDIO"));
  EXPECT_EQ(fs::current_path(), dir_);
  ASSERT_EQ(EnsureFolder("CONVERTED", home_ + "\\AUDIO"), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "AUDIO" / "CONVERTED"));
  EXPECT_EQ(fs::current_path(), dir_ / "AUDIO");
  ASSERT_EQ(EnsureFolder("AUDIO", home_), 0);  // already there
  EXPECT_EQ(fs::current_path(), dir_);

  WriteFile(dir_ / "plain", "x");
  EXPECT_EQ(EnsureFolder("SUB", home_ + "\\plain"), -27);
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].second, 4);
  EXPECT_EQ(g_reports[0].first, QUARLE_BASICS::ErrorText(-27));
}

TEST_F(SettingsTest, LocateFileFindsMovedFolders) {
  fs::create_directories(dir_ / "SYNTHS" / "DEMO");
  fs::create_directories(dir_ / "here");
  WriteFile(dir_ / "here" / "a.tarvelo", "x");
  WriteFile(dir_ / "SYNTHS" / "DEMO" / "b.tarvelo", "x");
  WriteFile(dir_ / "SYNTHS" / "c.tarvelo", "x");
  EXPECT_EQ(LocateFile(home_ + "\\here", "a.tarvelo", "\\SYNTHS"), home_ + "\\here");
  // Saved on another machine: the same sub-folder under this user's data folder.
  EXPECT_EQ(LocateFile("C:\\Users\\Old\\Tarvelo\\SYNTHS\\DEMO", "b.tarvelo", "\\SYNTHS"),
            home_ + "\\SYNTHS\\DEMO");
  EXPECT_EQ(LocateFile("\\elsewhere", "c.tarvelo", "\\SYNTHS"), home_ + "\\SYNTHS");
  EXPECT_TRUE(g_reports.empty());
  EXPECT_EQ(LocateFile("\\elsewhere", "gone.tarvelo", "\\SYNTHS"), "");
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].first, "Can't find gone.tarvelo");
  EXPECT_EQ(g_reports[0].second, 1);
}

}  // namespace
}  // namespace Tarvelo
