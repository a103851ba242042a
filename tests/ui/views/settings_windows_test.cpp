#include "ui/views/settings_windows.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "basics/console.h"
#include "basics/program.h"
#include "platform/display.h"
#include "ui/views/views_c_fixture.h"

namespace {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::CommandMessage;

class SettingsWindows : public viewsc::ViewsCTest {
 protected:
  void SetUp() override {
    ViewsCTest::SetUp();
    if (QUARLE_BASICS::MainCommandQueue < 0) QUARLE_BASICS::MainCommandQueue = 0;
    char dir[] = "/tmp/tarvelo_settings_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    home = dir;
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, home);
    Tarvelo::ResetSelectorAccumulators();
    QUARLE_BASICS::DisplayDriverIndex = 0;
  }
  void TearDown() override {
    platform::SetProgramFolderOverride("");
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
    std::string cmd = "rm -rf '" + home + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    ViewsCTest::TearDown();
  }
  // Points left and right of the control's middle.
  static void ClickLeft(int32_t id) { Send(id, 8, C(id)->X + 2, C(id)->Y + 2); }
  static void ClickRight(int32_t id) { Send(id, 8, C(id)->X + C(id)->W - 2, C(id)->Y + 2); }
  static int32_t Opt(int32_t id) { return C(id)->Text.Selected; }
  std::string SavedSettings() const {
    std::ifstream in(home + "/Settings.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The type and first number of the one message a queue holds.
  static std::pair<uint32_t, float> Posted(int32_t queue) {
    const std::vector<CommandMessage> q = Drain(queue);
    EXPECT_EQ(q.size(), 1u);
    return q.empty() ? std::pair<uint32_t, float>{} : std::pair<uint32_t, float>{q[0].type, q[0].single1};
  }
  std::string home;
};

TEST_F(SettingsWindows, SelectorsStepByClickAndDragAndWrapRound) {
  const int32_t driver = Find("VS_DRIVER");
  ASSERT_GT(driver, 0);
  C(driver)->Text.Selected = 0;
  ClickLeft(driver);
  EXPECT_EQ(Opt(driver), 2);
  EXPECT_EQ(Text(driver), "Driver: 3) OpenGL");
  ClickRight(driver);
  EXPECT_EQ(Opt(driver), 0);

  // Drags: 12 pixels do not step, 13 do.
  Send(driver, 16, 12, 0);
  EXPECT_EQ(Opt(driver), 0);
  Send(driver, 2, C(driver)->X + 2, C(driver)->Y + 2);  // a press forgets the sum
  Send(driver, 16, 13, 0);
  EXPECT_EQ(Opt(driver), 1);
  EXPECT_EQ(C(driver)->Dragged, -1);

  // A single option never moves.
  const int32_t zoom = Find("VS_ZOOM");
  Tarvelo::ZoomLimit = Tarvelo::BaseZoom = 0.0f;
  C(zoom)->Text.Selected = 0;
  ClickRight(zoom);
  Send(zoom, 16, 40, 0);
  EXPECT_EQ(Opt(zoom), 0);
}

TEST_F(SettingsWindows, TheDriverIsPostedOnlyWhenItChanges) {
  const int32_t driver = Find("VS_DRIVER");
  C(driver)->Text.Selected = 0;
  Send(driver + 1, 8);
  EXPECT_TRUE(Drain(0).empty());
  ClickRight(driver);
  ClickRight(driver);
  Send(driver + 1, 8);
  EXPECT_EQ(Posted(0), std::make_pair(103u, 2.0f));
  EXPECT_EQ(Text(Slot(Tarvelo::kUiVS_INFO)), "OpenGL, 1920 x 1080 @ 32-bit");
}

TEST_F(SettingsWindows, WindowSizesBeyondTheDesktopAreSkippedAndRefused) {
  platform::DisplaySetSimulated({}, 1600, 900, 2);
  V::ScreenModeCount = 4;
  const float modes[4][2] = {{1280, 720}, {1600, 900}, {1920, 1080}, {2560, 1440}};
  for (int i = 0; i < 4; ++i) {
    V::ScreenModes[i][0] = modes[i][0];
    V::ScreenModes[i][1] = modes[i][1];
  }
  const int32_t res = Slot(Tarvelo::kUiVS_RESOLUTION);
  const int32_t mon = Slot(Tarvelo::kUiVS_NBMON);
  C(res)->Text.Selected = 1;
  ClickRight(res);
  EXPECT_EQ(Opt(res), 0);  // 1920 and 2560 are passed over, wrapping to the first
  EXPECT_EQ(Text(res), "Resolution: 1280 x 720");
  ClickLeft(res);
  EXPECT_EQ(Opt(res), 1);
  const int32_t set = Find("VS_RES_SET");
  Tarvelo::Settings.Monitors = 1;
  Tarvelo::MonitorCount = 2;
  ClickRight(mon);
  EXPECT_EQ(Opt(mon), 1);
  EXPECT_EQ(Text(mon), "x2");
  Send(set, 8);
  std::vector<CommandMessage> q = Drain(0);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].type, 102u);
  EXPECT_EQ(q[0].single1, 1.0f);
  EXPECT_EQ(q[0].single3, 1.0f);

  C(res)->Text.Selected = 3;  // stepped while the desktop was larger
  viewsc::Reports().clear();
  Send(set, 8);
  EXPECT_TRUE(Drain(0).empty());
  ASSERT_EQ(viewsc::Reports().size(), 1u);
  EXPECT_EQ(viewsc::Reports()[0].first, "Invalid window size.");
  EXPECT_EQ(viewsc::Reports()[0].second, 1);
}

TEST_F(SettingsWindows, ZoomIsCutToHundredthsAndPostedWhenNew) {
  const int32_t zoom = Find("VS_ZOOM");
  Tarvelo::BaseZoom = 0.0f;
  Tarvelo::ZoomLimit = 2.0f;
  Tarvelo::Settings.Zoom = 1.0f;
  C(zoom)->Text.Selected = 5;
  ClickRight(zoom);
  EXPECT_EQ(Text(zoom), "Zoom: 1.2x");
  Send(zoom + 1, 8);
  EXPECT_EQ(Posted(0), std::make_pair(101u, 1.2f));
  C(zoom)->Text.Selected = 10;  // the zoom the settings hold: none
  Tarvelo::Settings.Zoom = 2.0f;
  Send(zoom + 1, 8);
  EXPECT_TRUE(Drain(0).empty());
}

// Every zoom offered is one the program keeps: none below the least usable
// zoom, which the start-up would replace with 1.0.
TEST_F(SettingsWindows, TheZoomOptionsStartAtTheLeastUsableZoom) {
  const int32_t zoom = Find("VS_ZOOM");
  Tarvelo::BaseZoom = 0.6f;  // other tests in this program lower it
  Tarvelo::ZoomLimit = 1.0f;
  Tarvelo::Settings.Zoom = 1.0f;
  C(zoom)->Text.Selected = 1;
  ClickLeft(zoom);
  EXPECT_EQ(Opt(zoom), 0);
  EXPECT_EQ(Text(zoom), "Zoom: 0.6x");
  ClickLeft(zoom);  // wraps to the last of three options
  EXPECT_EQ(Text(zoom), "Zoom: 1x");
  C(zoom)->Text.Selected = 0;
  Send(zoom + 1, 8);
  EXPECT_EQ(Posted(0), std::make_pair(101u, 0.6f));
}

// Built at a zoom, the selector stands on that zoom: Set posts it (to a
// setting changed meanwhile) and one step right shows the next option; at the
// limit the step wraps to the least zoom.
TEST_F(SettingsWindows, TheZoomSelectorStartsAtTheZoomInForce) {
  Tarvelo::BaseZoom = 0.6f;  // other tests in this program lower it
  Tarvelo::ZoomLimit = 1.4f;
  for (const float z : {0.6f, 0.8f, 1.0f, 1.2f, 1.4f}) {
    SCOPED_TRACE(z);
    Tarvelo::Settings.Zoom = z;
    ASSERT_EQ(Tarvelo::ApplyZoomSizes(z), 0);
    ASSERT_EQ(Tarvelo::BuildInterface(1.0f), 0);
    const int32_t zoom = Find("VS_ZOOM");
    ASSERT_GT(zoom, 0);
    EXPECT_EQ(Text(zoom), "Zoom: " + Tarvelo::ZoomText(z) + "x");
    Send(zoom + 1, 8);
    EXPECT_TRUE(Drain(0).empty());  // the zoom the settings hold
    Tarvelo::Settings.Zoom = 2.0f;
    Send(zoom + 1, 8);
    EXPECT_EQ(Posted(0), std::make_pair(101u, z));
    ClickRight(zoom);
    const float next = z < 1.3f ? z + 0.2f : 0.6f;
    EXPECT_EQ(Text(zoom), "Zoom: " + Tarvelo::ZoomText(next) + "x");
  }
  Tarvelo::Settings.Zoom = 1.0f;
  Tarvelo::ApplyZoomSizes(1.0f);
}

TEST_F(SettingsWindows, LanguagesWithoutTheirPackFilesArePassedOver) {
  platform::SetProgramFolderOverride(home);
  const int32_t lang = Find("VS_LNS");
  C(lang)->Text.Selected = 0;
  ClickRight(lang);
  EXPECT_EQ(Opt(lang), 0);
  EXPECT_EQ(Text(lang), "English");
  std::ofstream(home + "/FR_LANGPACK.txt") << "1\n";
  ClickRight(lang);
  EXPECT_EQ(Opt(lang), 0);  // half a pair is no pack
  std::ofstream(home + "/FR_LANGPACK_EXT.txt") << "1\n";
  ClickRight(lang);
  EXPECT_EQ(Opt(lang), 1);
  EXPECT_EQ(Text(lang), "Fran\xE7" "ais");
  Tarvelo::Settings.Language = 0;
  Send(lang + 1, 8);
  EXPECT_EQ(Tarvelo::Settings.Language, 1);
  EXPECT_EQ(Posted(0).first, 3u);
}

TEST_F(SettingsWindows, DevicesAreSavedAndPostedToTheAudioThread) {
  const char* names[3] = {"[No Device]", "Speakers", "Headphones"};
  for (int i = 0; i < 3; ++i) {
    QUARLE_BASICS::DynZStringAssign(QUARLE_AUDIO::PlaybackDeviceList[i], names[i]);
    QUARLE_BASICS::DynZStringAssign(QUARLE_AUDIO::CaptureDeviceList[i], names[i]);
  }
  QUARLE_AUDIO::PlaybackDeviceCount = 3;
  QUARLE_AUDIO::CaptureDeviceCount = 3;
  QUARLE_AUDIO::PlaybackSelected = 1;
  QUARLE_BASICS::DynZStringAssign(QUARLE_AUDIO::PlaybackSelectedName, "Speakers");
  const int32_t out = Find("AS_DRIVER");
  C(out)->Text.Selected = 1;
  Send(out + 1, 8);  // the device in use: nothing
  EXPECT_TRUE(Drain(QUARLE_BASICS::AudioCommandQueue).empty());
  ClickRight(out);
  EXPECT_EQ(Text(out), "3) Headphones");
  Send(out + 1, 8);
  EXPECT_EQ(Tarvelo::Settings.OutputDevice, "Headphones");
  EXPECT_EQ(Posted(QUARLE_BASICS::AudioCommandQueue), std::make_pair(210u, 2.0f));
  EXPECT_NE(SavedSettings().find("Headphones"), std::string::npos);
}

TEST_F(SettingsWindows, ThePlaybackBufferOptionsStandForOneTo32Ms) {
  const int32_t obs = Slot(Tarvelo::kUiAS_OBS);
  Tarvelo::Settings.OutputBufferLength = 10;
  Send(obs + 2, 8);
  EXPECT_EQ(Opt(obs), 9);
  EXPECT_EQ(Text(obs), "Playback buffer: 10ms");
  Send(obs + 1, 8);
  EXPECT_TRUE(Drain(QUARLE_BASICS::AudioCommandQueue).empty());
  C(obs)->Text.Selected = 31;
  ClickRight(obs);
  EXPECT_EQ(Text(obs), "Playback buffer: 1ms");
  ClickLeft(obs);
  Send(obs + 1, 8);
  EXPECT_EQ(Tarvelo::Settings.OutputBufferLength, 32);
  EXPECT_EQ(Posted(QUARLE_BASICS::AudioCommandQueue), std::make_pair(206u, 32.0f));
  EXPECT_NE(SavedSettings().find("\"OUTPUT BUFFER LENGTH\""), std::string::npos);
}

TEST_F(SettingsWindows, SwitchesToggleTheirSettingAndAutoConnectGreysTheDefaultDevice) {
  const int32_t ac = Find("AS_AC0");
  const int32_t ud = Slot(Tarvelo::kUiAS_UD0);
  ASSERT_EQ(C(ac)->Text.Selected, 0);
  Send(ac, 2);
  EXPECT_EQ(C(ac)->State.Pressed, -1);
  EXPECT_EQ(Tarvelo::Settings.AutoConnect, 0);  // only a click toggles
  Send(ac, 8);
  EXPECT_EQ(C(ac)->Text.Selected, 1);
  EXPECT_EQ(Tarvelo::Settings.AutoConnect, -1);
  EXPECT_EQ(QUARLE_AUDIO::AutoConnect, -1);
  Send(ac, 8);
  EXPECT_EQ(Tarvelo::Settings.AutoConnect, 0);
  EXPECT_EQ(C(ud)->State.Disabled, -1);
  EXPECT_EQ(C(ud + 1)->State.Disabled, -1);

  Send(ud, 8);
  EXPECT_EQ(Tarvelo::Settings.UseDefaultDevice, -1);
  EXPECT_EQ(QUARLE_AUDIO::UseDefaultDevice, -1);
  EXPECT_NE(SavedSettings().find("\"USE SHADER\""), std::string::npos);
}

}  // namespace
