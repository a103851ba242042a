// Each report reaching the system-message handler: thread reports, playback and
// capture state, recording failure, settled buffer length, the scope ring and
// the power history with their heap blocks, the loss of the output (the output
// module removed and recorded), and the display changes of the settings windows.
#include "app/state/system_messages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>

#include "app/fixed_tables.h"
#include "app/state/history.h"
#include "app/state/settings.h"
#include "app/state/ui_hooks.h"
#include "audio/audio.h"
#include "basics/console.h"
#include "basics/errors.h"
#include "basics/program.h"
#include "engine/catalog/engine_init.h"
#include "engine/module_fixture.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "platform/screen.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace Tarvelo {
namespace {

namespace fs = std::filesystem;
using QUARLE_BASICS::CommandMessage;
using tarvelo_test::Messages;

struct FakeUi {
  std::map<int32_t, int64_t> on;
  std::map<int32_t, std::string> text;
  std::map<int32_t, int32_t> selected;
  int32_t noticeControl = 0;
  int stops = 0, starts = 0;
  int64_t ready = 0;
  bool startedAfterStop = false;
  uint32_t* screen = nullptr;
};
FakeUi g_ui;

int32_t Id(int32_t slot) { return 1000 + slot; }

void InstallFakeUi() {
  g_ui = FakeUi{};
  StateUi.ControlId = [](int32_t slot) {
    return slot == kSlotResolutionNotice ? g_ui.noticeControl : Id(slot);
  };
  StateUi.SetOn = [](int32_t id, int64_t on) { g_ui.on[id] = on; };
  StateUi.SetText = [](int32_t id, const std::string& t) { g_ui.text[id] = t; };
  StateUi.SetSelected = [](int32_t id, int32_t item) { g_ui.selected[id] = item; };
  StateUi.StopVideoThread = [] { ++g_ui.stops; };
  StateUi.StartVideoThread = [](int32_t) {
    g_ui.startedAfterStop = g_ui.stops > 0;
    ++g_ui.starts;
    return 0;
  };
  StateUi.SetInterfaceReady = [](int64_t r) { g_ui.ready = r; };
  StateUi.ScreenOpened = [](uint32_t* s) { g_ui.screen = s; };
}

CommandMessage Message(uint32_t type) {
  CommandMessage m{};
  m.type = type;
  return m;
}

uint64_t Word(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

class SystemMessageTest : public tarvelo_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    dir_ = fs::temp_directory_path() /
           ("tarvelo_sysmsg_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(dir_.string()));
    SetDisplayDriverNames();
    SetLanguageAndLevelTables();
    Settings = SettingsRecord{};
    InstallFakeUi();
    ASSERT_EQ(ActionHistoryCreate(), 0);
    PlaybackActive = 0;
    CaptureActive = 0;
  }
  void TearDown() override {
    ScopeBlockRingFree();
    ActionHistoryFree();
    ResetStateUiHooks();
    Settings = SettingsRecord{};
    SynthOutputModule = nullptr;
    CaptureActive = 0;
    QUARLE_BASICS::DynZStringFree(QUARLE_BASICS::HomeFolder);
    fs::remove_all(dir_);
    EngineTest::TearDown();
  }
  std::string SettingsFile() const {
    std::ifstream in(dir_ / "Settings.txt", std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  int32_t Handle(CommandMessage m) { return HandleSystemMessage(&m); }
  fs::path dir_;
};

TEST_F(SystemMessageTest, ThreadReports) {
  CommandMessage m = Message(1);
  m.arg1 = 7;
  m.arg3 = 2;
  m.arg4 = 21;
  EXPECT_EQ(Handle(m), 0);
  m = Message(2);
  m.arg1 = 3;
  EXPECT_EQ(Handle(m), 0);
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[0].first, "Error with thread #2: " + QUARLE_BASICS::ErrorText(-21));
  EXPECT_EQ(Messages()[0].second, 2);
  EXPECT_EQ(Messages()[1].first, "Thread #3 ended.");
  EXPECT_EQ(Messages()[1].second, 1);
}

TEST_F(SystemMessageTest, PlaybackAndCaptureState) {
  Handle(Message(200));
  EXPECT_EQ(PlaybackActive.load(), -1);
  EXPECT_EQ(g_ui.on[Id(kSlotPlayPower)], -1);
  Handle(Message(202));
  EXPECT_EQ(CaptureActive.load(), -1);
  EXPECT_EQ(g_ui.on[Id(kSlotMicPower)], -1);
  Handle(Message(201));
  EXPECT_EQ(PlaybackActive.load(), 0);
  EXPECT_EQ(g_ui.on[Id(kSlotPlayPower)], 0);
  Handle(Message(203));
  EXPECT_EQ(CaptureActive.load(), 0);
  EXPECT_EQ(g_ui.on[Id(kSlotMicPower)], 0);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(SystemMessageTest, RecordingFailure) {
  OutputRecording = -1;
  g_ui.on[Id(kSlotRecord)] = -1;
  CommandMessage m = Message(205);
  m.arg4 = 20;
  Handle(m);
  EXPECT_EQ(OutputRecording, 0);
  EXPECT_EQ(g_ui.on[Id(kSlotRecord)], 0);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].first,
            "Recording has stopped because of an error: " + QUARLE_BASICS::ErrorText(-20));
  EXPECT_EQ(Messages()[0].second, 0);
}

TEST_F(SystemMessageTest, SettledBufferLength) {
  CommandMessage m = Message(206);
  m.single1 = 1440.0f;
  Handle(m);
  EXPECT_EQ(Settings.OutputBufferLength, 15);
  EXPECT_EQ(g_ui.selected[Id(kSlotOutputBuffer)], 14);
  EXPECT_EQ(g_ui.text[Id(kSlotOutputBuffer)], " Playback buffer: 15ms");
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].first, "Playback buffer length is now set to 15ms.");
  EXPECT_NE(SettingsFile().find("\"OUTPUT BUFFER LENGTH\",15\r\n"), std::string::npos);
  // Lengths the selector cannot show stay within its 1..32 ms.
  m.single1 = std::numeric_limits<float>::quiet_NaN();
  Handle(m);
  EXPECT_EQ(Settings.OutputBufferLength, 1);
  m.single1 = 1.0e9f;
  Handle(m);
  EXPECT_EQ(Settings.OutputBufferLength, 32);
  EXPECT_EQ(g_ui.selected[Id(kSlotOutputBuffer)], 31);
}

TEST_F(SystemMessageTest, CaptureCopiesAreFreed) {
  CommandMessage m = Message(207);
  m.word2 = Word(std::malloc(64));  // a leak here fails the sanitizer run
  Handle(m);
  EXPECT_EQ(Handle(Message(207)), 0);  // without a block
}

TEST_F(SystemMessageTest, ScopeRingKeepsTheLatestHundredBlocks) {
  float* first = nullptr;
  for (int i = 1; i <= 101; ++i) {
    auto* block = static_cast<float*>(std::malloc(4 * sizeof(float)));
    block[0] = static_cast<float>(i);
    if (i == 1) first = block;
    CommandMessage m = Message(208);
    m.word2 = Word(block);
    m.single1 = 4.4f;
    ASSERT_EQ(HandleSystemMessage(&m), 0);
    EXPECT_EQ(m.word2, 0u);  // the ring owns it now
    EXPECT_EQ(ScopeBlockRing.newest, i % 100);
    EXPECT_EQ(ScopeBlockRing.blocks[i % 100], block);
    EXPECT_EQ(ScopeBlockRing.lengths[i % 100], 4);
  }
  // The first block (slot 1) was freed when the 101st took its slot.
  EXPECT_NE(ScopeBlockRing.blocks[1], first);
  EXPECT_EQ(ScopeBlockRing.blocks[1][0], 101.0f);
  EXPECT_EQ(ScopeBlockRing.blocks[0][0], 100.0f);
  EXPECT_EQ(ScopeBlockRing.blocks[99][0], 99.0f);
  // A report without a block changes nothing.
  Handle(Message(208));
  EXPECT_EQ(ScopeBlockRing.newest, 1);
}

TEST_F(SystemMessageTest, PowerHistoryWrapsAfterAHundredEntries) {
  PowerHistoryRing = static_cast<float*>(std::calloc(kPowerHistoryFloats, sizeof(float)));
  static float values[6];
  for (int i = 0; i < 100; ++i) {
    for (int k = 0; k < 6; ++k) values[k] = static_cast<float>(i * 10 + k);
    CommandMessage m = Message(209);
    m.word2 = Word(values);
    Handle(m);
    EXPECT_EQ(PowerHistoryWrite, (i + 1) % 100 * 6);
  }
  EXPECT_EQ(PowerHistoryCount, 100);
  EXPECT_EQ(PowerHistoryRing[0], 0.0f);
  EXPECT_EQ(PowerHistoryRing[6 * 57 + 5], 575.0f);
  EXPECT_EQ(PowerHistoryRing[599], 995.0f);
  Handle(Message(209));  // no values
  EXPECT_EQ(PowerHistoryCount, 100);
  std::free(PowerHistoryRing);
  // Without the ring the entry is dropped.
  PowerHistoryRing = nullptr;
  CommandMessage m = Message(209);
  m.word2 = Word(values);
  Handle(m);
  EXPECT_EQ(PowerHistoryCount, 100);
}

TEST_F(SystemMessageTest, OutputLostRemovesTheOutputModule) {
  ModuleRecord* osc = Add(kTypeOscillator);
  ASSERT_NE(osc, nullptr);
  SynthOutputModule = osc;
  UpdateProcessingOrder(0);
  ASSERT_EQ(ProcessingOrder.load()->Count, 1);
  PlaybackActive = -1;
  g_ui.on[Id(kSlotPlayPower)] = -1;
  EngineCommand.State = kCommandPosted;

  Handle(Message(213));
  EXPECT_EQ(PlaybackActive.load(), 0);
  EXPECT_EQ(g_ui.on[Id(kSlotPlayPower)], 0);
  EXPECT_EQ(EngineCommand.State.load(), kCommandIdle);
  EXPECT_EQ(EngineCommand.RebuildArgument, ~uint64_t{0});
  EXPECT_EQ(SynthOutputModule.load(), nullptr);
  EXPECT_EQ(ProcessingOrder.load()->Count, 0);
  ASSERT_EQ(ActionHistory.count, 1);
  EXPECT_EQ(GetActionLine(0),
            "0- Disconnect " + QUARLE_BASICS::DynZStringGet(osc->ShortName) + " 1 from synth.");

  // Lost again with no output module: nothing more to record.
  Handle(Message(213));
  EXPECT_EQ(ActionHistory.count, 1);
}

TEST_F(SystemMessageTest, ZoomAndLanguageWaitForARestart) {
  ZoomFactor = 1.0f;
  CommandMessage m = Message(101);
  m.single1 = 1.4f;
  Handle(m);
  EXPECT_FLOAT_EQ(Settings.Zoom, 1.4f);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.0f);
  EXPECT_NE(SettingsFile().find("\"ZOOM FACTOR\",1.4\r\n"), std::string::npos);
  Settings.Language = 2;
  Handle(Message(3));
  EXPECT_NE(SettingsFile().find("\"LANGUAGE\",\"ES\"\r\n"), std::string::npos);
  ASSERT_EQ(Messages().size(), 2u);
  for (const auto& [text, level] : Messages()) {
    EXPECT_EQ(text, "Please restart for this change to take effect.");
    EXPECT_EQ(level, 0);
  }
  // A save that cannot be made is said.
  Messages().clear();
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
  Handle(Message(3));
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[0].first, "Error saving settings file: " + QUARLE_BASICS::ErrorText(-27));
  EXPECT_EQ(Messages()[0].second, 2);
}

TEST_F(SystemMessageTest, MonitorsAndScreenMode) {
  platform::DisplaySetSimulated(platform::DisplayModes(), 3840, 1080, 2);
  const float modes[3][2] = {{1280, 720}, {1600, 900}, {1920, 1080}};
  for (int i = 0; i < 3; ++i) {
    QUARLE_VISUALS::ScreenModes[i][0] = modes[i][0];
    QUARLE_VISUALS::ScreenModes[i][1] = modes[i][1];
  }
  QUARLE_VISUALS::ScreenModeCount = 3;
  QUARLE_VISUALS::ScreenModeIndex = 0;
  Settings.Zoom = 3.0f;

  CommandMessage m = Message(102);
  m.single1 = 2.0f;
  m.single3 = 5.0f;
  Handle(m);
  EXPECT_EQ(MonitorCount, 2);
  EXPECT_EQ(Settings.Monitors, 2);
  EXPECT_EQ(g_ui.selected[Id(kSlotMonitors)], 1);
  EXPECT_EQ(g_ui.text[Id(kSlotMonitors)], "x2");
  EXPECT_EQ(Settings.ScreenWidth, 3840);
  EXPECT_EQ(Settings.ScreenHeight, 1080);
  EXPECT_EQ(QUARLE_VISUALS::ScreenModeIndex, 2);
  // The limit is taken for MONITORS x SCREEN WIDTH, as at start-up: 7680, n = 24.
  EXPECT_FLOAT_EQ(ZoomLimit, 4.6f);
  EXPECT_FLOAT_EQ(Settings.Zoom, 3.0f);
  EXPECT_NE(SettingsFile().find("\"SCREEN WIDTH\",3840\r\n\"SCREEN HEIGHT\",1080\r\n\"MONITORS\",2\r\n"),
            std::string::npos);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].first, "Please restart for this change to take effect.");

  m.single1 = -4.0f;
  m.single3 = -1.0f;
  Handle(m);
  EXPECT_FLOAT_EQ(ZoomLimit, 0.6f);  // 1280 wide: n = 4
  EXPECT_FLOAT_EQ(Settings.Zoom, 0.6f);
  EXPECT_EQ(Settings.Monitors, 1);
  EXPECT_EQ(g_ui.text[Id(kSlotMonitors)], "x1");
  EXPECT_EQ(Settings.ScreenWidth, 1280);
  EXPECT_EQ(QUARLE_VISUALS::ScreenModeIndex, 0);
  m.single1 = 2.6f;  // rounds past the last mode
  Handle(m);
  EXPECT_EQ(QUARLE_VISUALS::ScreenModeIndex, 2);

  // The notice click goes out only to a control that exists.
  if (QUARLE_BASICS::CommandQueueCount() == 0) {
    int32_t q = -1;
    ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
  }
  CommandMessage* buffer = nullptr;
  QUARLE_BASICS::ArrayHeader header;
  QUARLE_BASICS::ArrayHeaderInit(header);
  QUARLE_BASICS::FetchCommands(buffer, header, 0);
  Handle(m);
  QUARLE_BASICS::FetchCommands(buffer, header, 0);
  EXPECT_EQ(header.count, 0);
  g_ui.noticeControl = 77;
  Handle(m);
  QUARLE_BASICS::FetchCommands(buffer, header, 0);
  ASSERT_EQ(header.count, 1);
  EXPECT_EQ(buffer[0].type, 100u);
  EXPECT_EQ(buffer[0].arg2, 77u);
  EXPECT_EQ(buffer[0].arg5, 8u);
  std::free(buffer);
  QUARLE_BASICS::ArrayHeaderFree(header);

  platform::DisplayResetSimulated();
  QUARLE_VISUALS::ScreenModeCount = 0;
}

TEST_F(SystemMessageTest, DisplayDriverChange) {
  QUARLE_BASICS::ScreenWidth = 1280;
  QUARLE_BASICS::ScreenHeight = 720;
  CommandMessage m = Message(103);
  m.single1 = 2.0f;
  Handle(m);
  EXPECT_EQ(QUARLE_BASICS::DisplayDriverIndex, 2);
  EXPECT_EQ(Settings.DisplayDriver, 2);
  EXPECT_EQ(platform::ScreenDriver(), "OpenGL");
  EXPECT_EQ(g_ui.stops, 1);
  EXPECT_EQ(g_ui.starts, 1);
  EXPECT_TRUE(g_ui.startedAfterStop);
  EXPECT_EQ(g_ui.ready, -1);
  EXPECT_NE(g_ui.screen, nullptr);
  EXPECT_NE(SettingsFile().find("\"DISPLAY DRIVER\",\"OpenGL\"\r\n"), std::string::npos);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].first, "Display driver now set to: OpenGL");

  // An index no driver has is GDI.
  m.single1 = 9.0f;
  Handle(m);
  EXPECT_EQ(Settings.DisplayDriver, 0);
  EXPECT_EQ(Messages().back().first, "Display driver now set to: GDI");

  // A screen that cannot be opened is said, and no video thread starts on it.
  platform::ScreenClose();
  QUARLE_BASICS::ScreenWidth = QUARLE_BASICS::ScreenHeight = 0;
  Messages().clear();
  m.single1 = 1.0f;
  Handle(m);
  EXPECT_EQ(g_ui.starts, 2);
  EXPECT_EQ(g_ui.screen, nullptr);
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[0].first, "I could not set the screen.");
  EXPECT_EQ(Messages()[0].second, 2);
  platform::ScreenClose();
  QUARLE_BASICS::ScreenWidth = QUARLE_BASICS::ScreenHeight = QUARLE_BASICS::ScreenDepth = 0;
  QUARLE_BASICS::DisplayDriverIndex = 0;
}

TEST_F(SystemMessageTest, OtherTypesAreIgnored) {
  for (uint32_t type : {0u, 4u, 100u, 204u, 210u, 0xFFFFFFFFu}) EXPECT_EQ(Handle(Message(type)), 0);
  EXPECT_EQ(HandleSystemMessage(nullptr), 0);
  EXPECT_TRUE(Messages().empty());
  EXPECT_TRUE(g_ui.on.empty());
}

// The default hooks switch the real control found through the control index.
TEST_F(SystemMessageTest, PowerSwitchOnRealControl) {
  ResetStateUiHooks();
  ASSERT_EQ(QUARLE_VISUALS::ControlTableCreate(), 0);
  int32_t root = -1, play = -1;
  ASSERT_EQ(QUARLE_VISUALS::CreateControl(0, 0, 0, 800, 600, nullptr, nullptr, -1, 0, "ROOT", "", &root), 0);
  ASSERT_EQ(QUARLE_VISUALS::CreateControl(0, 0, 0, 20, 20, nullptr, nullptr, -1, 0, "PlayMP", "", &play), 0);
  QUARLE_VISUALS::UiIndex = static_cast<int32_t*>(std::calloc(113, sizeof(int32_t)));
  QUARLE_VISUALS::UiIndex[kSlotPlayPower] = play;
  Handle(Message(200));
  QUARLE_VISUALS::ControlRecord* c = QUARLE_VISUALS::ControlAt(play);
  EXPECT_EQ(c->State.On, -1);
  EXPECT_EQ(c->Render->State.On, -1);  // published
  // MicMP is not in the index: capture changes state without touching a control.
  Handle(Message(202));
  EXPECT_EQ(CaptureActive.load(), -1);
  EXPECT_EQ(QUARLE_VISUALS::ControlAt(root)->State.On, 0);
  std::free(QUARLE_VISUALS::UiIndex);
  QUARLE_VISUALS::UiIndex = nullptr;
  QUARLE_VISUALS::ControlTableFree();
}

}  // namespace
}  // namespace Tarvelo
