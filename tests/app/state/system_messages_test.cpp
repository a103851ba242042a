// Each report reaching the system-message handler: thread reports, playback and
// capture state, recording failure, settled buffer length, the scope ring and
// power history with their heap blocks, the loss of the output (the output
// module removed and recorded), and the display changes of the settings windows.
#include "app/state/system_messages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
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
#include "basics/queues.h"
#include "engine/catalog/engine_init.h"
#include "engine/module_fixture.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "platform/saver.h"
#include "platform/screen.h"
#include "platform/threads.h"
#include "tests/app/state/queue_zero.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace Tarvelo {
namespace {

namespace fs = std::filesystem;
using QUARLE_BASICS::CommandMessage;
using tarvelo_test::Messages;

// A stand-in interface; the control of slot s has the id 1000 + s.
struct FakeUi {
  std::map<int32_t, int64_t> on;
  std::map<int32_t, std::string> text;
  std::map<int32_t, int32_t> selected;
  int stops = 0, starts = 0;
  int64_t ready = 0;
  uint32_t* screen = nullptr;
};
FakeUi g_ui;
int32_t Id(int32_t slot) { return 1000 + slot; }

CommandMessage Message(uint32_t type, float single1 = 0.0f, uint64_t word2 = 0) {
  CommandMessage m{};
  m.type = type;
  m.single1 = single1;
  m.word2 = word2;
  return m;
}
uint64_t Word(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

class SystemMessageTest : public tarvelo_test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    dir_ = fs::temp_directory_path() / ("tarvelo_sysmsg_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(dir_.string()));
    SetDisplayDriverNames();
    SetLanguageAndLevelTables();
    Settings = SettingsRecord{};
    g_ui = FakeUi{};
    StateUi.ControlId = [](int32_t slot) { return slot == kSlotResolutionNotice ? 0 : Id(slot); };
    StateUi.SetOn = [](int32_t id, int64_t on) { g_ui.on[id] = on; };
    StateUi.SetText = [](int32_t id, const std::string& t) { g_ui.text[id] = t; };
    StateUi.SetSelected = [](int32_t id, int32_t item) { g_ui.selected[id] = item; };
    StateUi.StopVideoThread = [] { ++g_ui.stops; };
    StateUi.StartVideoThread = [](int32_t) { return g_ui.stops > g_ui.starts++ ? 0 : -29; };
    StateUi.SetInterfaceReady = [](int64_t r) { g_ui.ready = r; };
    StateUi.ScreenOpened = [](uint32_t* s) { g_ui.screen = s; };
    ASSERT_EQ(ActionHistoryCreate(), 0);
    CaptureActive = 0;
  }
  void TearDown() override {
    ScopeBlockRingFree();
    ActionHistoryFree();
    ResetStateUiHooks();
    Settings = SettingsRecord{};
    SynthOutputModule = nullptr;
    QUARLE_BASICS::DynZStringFree(QUARLE_BASICS::HomeFolder);
    fs::remove_all(dir_);
    EngineTest::TearDown();
  }
  std::string SettingsFile() const {
    std::ostringstream s;
    s << std::ifstream(dir_ / "Settings.txt", std::ios::binary).rdbuf();
    return s.str();
  }
  static int32_t Handle(CommandMessage m) { return HandleSystemMessage(&m); }
  fs::path dir_;
};

TEST_F(SystemMessageTest, ThreadAndDeviceStateReports) {
  CommandMessage m = Message(1);
  m.arg3 = 2;
  m.arg4 = 21;
  Handle(m);
  m = Message(2);
  m.arg1 = 3;
  Handle(m);
  Handle(Message(200));
  EXPECT_EQ(PlaybackActive.load(), -1);
  EXPECT_EQ(g_ui.on[Id(kSlotPlayPower)], -1);
  Handle(Message(202));
  EXPECT_EQ(CaptureActive.load(), -1);
  EXPECT_EQ(g_ui.on[Id(kSlotMicPower)], -1);
  Handle(Message(201));
  Handle(Message(203));
  EXPECT_EQ(PlaybackActive.load(), 0);
  EXPECT_EQ(CaptureActive.load(), 0);
  EXPECT_EQ(g_ui.on[Id(kSlotPlayPower)], 0);
  EXPECT_EQ(g_ui.on[Id(kSlotMicPower)], 0);

  OutputRecording = -1;
  g_ui.on[Id(kSlotRecord)] = -1;
  m = Message(205);
  m.arg4 = 20;
  Handle(m);
  EXPECT_EQ(OutputRecording, 0);
  EXPECT_EQ(g_ui.on[Id(kSlotRecord)], 0);

  for (uint32_t type : {0u, 4u, 100u, 204u, 0xFFFFFFFFu}) EXPECT_EQ(Handle(Message(type)), 0);
  EXPECT_EQ(HandleSystemMessage(nullptr), 0);
  ASSERT_EQ(Messages().size(), 3u);
  EXPECT_EQ(Messages()[0], std::make_pair("Error with thread #2: " + QUARLE_BASICS::ErrorText(-21), 2));
  EXPECT_EQ(Messages()[1], std::make_pair(std::string("Thread #3 ended."), 1));
  EXPECT_EQ(Messages()[2],
            std::make_pair("Recording has stopped because of an error: " + QUARLE_BASICS::ErrorText(-20), 0));
}

// A stop report names its take: only one about the take the interface asked
// for last, while it runs, turns REC off; one about a take already ended is a
// log line and nothing else. A take that never began says so. Rows: REC on,
// the asked take, the report's take, its arg3, its error; REC after, the line.
TEST_F(SystemMessageTest, RecordingReportsNameTheirTake) {
  namespace QB = QUARLE_BASICS;
  const std::string stopped = "Recording has stopped because of an error: ";
  const std::string stale = "An earlier recording, already stopped, reports an error: ";
  const std::string none = "No recording was started: ";
  struct Row {
    int64_t on;
    uint32_t asked, take, arg3;
    int32_t error;
    int64_t after;
    std::string line;
    int32_t level;
  };
  const Row rows[] = {
      {-1, 3, 3, 0, -QB::kErrDiskFull, 0, stopped + QB::ErrorText(-QB::kErrDiskFull), 0},
      {-1, 3, 2, 0, -QB::kErrDiskFull, -1, stale + QB::ErrorText(-QB::kErrDiskFull), 1},
      {0, 3, 3, 0, -QB::kErrDiskTooSlow, 0, stale + QB::ErrorText(-QB::kErrDiskTooSlow), 1},
      {-1, 4, 4, QUARLE_AUDIO::kRecordNotStarted, -QB::kErrWriterBusy, 0, none + QB::ErrorText(-QB::kErrWriterBusy), 0},
      {-1, 5, 4, QUARLE_AUDIO::kRecordNotStarted, -QB::kErrWriterBusy, -1, stale + QB::ErrorText(-QB::kErrWriterBusy), 1},
      {-1, 6, 6, QUARLE_AUDIO::kRecordNotStarted, -QB::kErrNoPermission, 0, none + "Permission denied", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    OutputRecording = r.on;
    RecordingTake = r.asked;
    g_ui.on[Id(kSlotRecord)] = r.on;
    Messages().clear();
    CommandMessage m = Message(QUARLE_AUDIO::kAudioRecordStop);
    m.arg2 = r.take;
    m.arg3 = r.arg3;
    m.arg4 = static_cast<uint32_t>(r.error);
    Handle(m);
    EXPECT_EQ(OutputRecording, r.after);
    EXPECT_EQ(g_ui.on[Id(kSlotRecord)], r.after);
    EXPECT_EQ(RecordingTake, r.asked);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0], std::make_pair(r.line, r.level));
  }
  OutputRecording = 0;
  RecordingTake = 0;
}

TEST_F(SystemMessageTest, SettledBufferLength) {
  Handle(Message(206, 1440.0f));  // 15 ms at 48 kHz
  EXPECT_EQ(Settings.OutputBufferLength, 15);
  EXPECT_EQ(g_ui.selected[Id(kSlotOutputBuffer)], 14);
  EXPECT_EQ(g_ui.text[Id(kSlotOutputBuffer)], " Playback buffer: 15ms");
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].first, "Playback buffer length is now set to 15ms.");
  EXPECT_NE(SettingsFile().find("\"OUTPUT BUFFER LENGTH\",15\r\n"), std::string::npos);
  // Lengths the selector cannot show stay within its 1..32 ms.
  Handle(Message(206, std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ(Settings.OutputBufferLength, 1);
  Handle(Message(206, 1.0e9f));
  EXPECT_EQ(g_ui.selected[Id(kSlotOutputBuffer)], 31);
}

TEST_F(SystemMessageTest, ScopeBlocksAndPowerEntries) {
  // Every heap block is freed once: a leak or double free fails the sanitizer run.
  Handle(Message(207, 0.0f, Word(std::calloc(64, 1))));
  for (int i = 1; i <= 101; ++i) {
    auto* block = static_cast<float*>(std::malloc(4 * sizeof(float)));
    block[0] = static_cast<float>(i);
    CommandMessage m = Message(208, 4.4f, Word(block));
    HandleSystemMessage(&m);
    ASSERT_EQ(m.word2, 0u);  // the ring owns it now
    ASSERT_EQ(ScopeBlockRing.newest, i % 100);
    ASSERT_EQ(ScopeBlockRing.lengths[i % 100], 4);
  }
  EXPECT_EQ(ScopeBlockRing.blocks[1][0], 101.0f);  // the first block's slot, reused
  EXPECT_EQ(ScopeBlockRing.blocks[0][0], 100.0f);
  Handle(Message(208));  // without a block
  EXPECT_EQ(ScopeBlockRing.newest, 1);

  PowerHistoryRing = static_cast<float*>(std::calloc(kPowerHistoryFloats, sizeof(float)));
  static float values[6];
  for (int i = 0; i < 100; ++i) {
    for (int k = 0; k < 6; ++k) values[k] = static_cast<float>(i * 10 + k);
    Handle(Message(209, 0.0f, Word(values)));
    ASSERT_EQ(PowerHistoryWrite, (i + 1) % 100 * 6);
  }
  EXPECT_EQ(PowerHistoryCount, 100);
  EXPECT_EQ(PowerHistoryRing[6 * 57 + 5], 575.0f);
  EXPECT_EQ(PowerHistoryRing[599], 995.0f);
  Handle(Message(209));
  std::free(PowerHistoryRing);
  PowerHistoryRing = nullptr;
  Handle(Message(209, 0.0f, Word(values)));  // no ring: dropped
  EXPECT_EQ(PowerHistoryCount, 100);
}

TEST_F(SystemMessageTest, OutputLostRemovesTheOutputModule) {
  ModuleRecord* osc = Add(kTypeOscillator);
  ASSERT_NE(osc, nullptr);
  SynthOutputModule = osc;
  UpdateProcessingOrder(0);
  ASSERT_EQ(ProcessingOrder.load()->Count, 1);
  PlaybackActive = -1;
  EngineCommand.State = kCommandPosted;

  Handle(Message(213));
  EXPECT_EQ(PlaybackActive.load(), 0);
  EXPECT_EQ(g_ui.on[Id(kSlotPlayPower)], 0);
  EXPECT_EQ(EngineCommand.State.load(), kCommandIdle);
  EXPECT_EQ(EngineCommand.RebuildArgument, ~uint64_t{0});
  EXPECT_EQ(SynthOutputModule.load(), nullptr);
  EXPECT_EQ(ProcessingOrder.load()->Count, 0);
  ASSERT_EQ(ActionHistory.count, 1);
  EXPECT_EQ(GetActionLine(0), "0- Disconnect " + QUARLE_BASICS::DynZStringGet(osc->ShortName) + " 1 from synth.");
  Handle(Message(213));  // no output module left: nothing more to record
  EXPECT_EQ(ActionHistory.count, 1);
}

// The stop report comes after the audio thread's last render call: the
// interface takes the graph at once, running what the render left in the
// mailbox (it waited seconds for frames that would not come, and left the
// command to run behind later direct changes), and acknowledges each playback
// report so the audio thread renders again only once the start is taken.
TEST_F(SystemMessageTest, StopReportTakesTheGraphWithWhatTheRenderLeft) {
  // Reports as the audio thread numbers them.
  auto report = [](uint32_t type) {
    QUARLE_AUDIO::PostAudioReport(type, 0.0);
    CommandMessage m = Message(type);
    m.arg2 = QUARLE_AUDIO::LastPlaybackReport();
    return m;
  };
  ModuleRecord* out = Add(kTypeOscillator);
  ModuleRecord* kb = Add(kTypeKeyboard);
  SynthOutputModule = out;
  UpdateProcessingOrder(0);
  QUARLE_AUDIO::PlaybackHandOver = true;
  const CommandMessage started = report(200);
  EXPECT_FALSE(QUARLE_AUDIO::RenderHandedOver());  // started, not yet taken
  Handle(started);
  EXPECT_TRUE(QUARLE_AUDIO::RenderHandedOver());
  EXPECT_EQ(PlaybackActive.load(), -1);
  PostLinkInput(out, 0, kb, out->Type);  // playing: posted for the next frame
  ASSERT_TRUE(EngineCommandPending());
  EXPECT_EQ(out->PortSources[0].Load(), out->PortValueModules[0]);

  const CommandMessage stopped = report(201);  // after the last render call
  EXPECT_FALSE(QUARLE_AUDIO::RenderHandedOver());
  CommandSlotWait = 120.0;  // a wait for it would show, however busy the machine
  const double start = platform::HighResClock();
  Handle(stopped);
  EXPECT_LT(platform::HighResClock() - start, 60.0);
  CommandSlotWait = 3.0;
  EXPECT_EQ(PlaybackActive.load(), 0);
  EXPECT_FALSE(EngineCommandPending());
  EXPECT_EQ(out->PortSources[0].Load(), kb);
  EXPECT_EQ(ProcessingOrder.load()->Count, 2);
  EXPECT_TRUE(QUARLE_AUDIO::RenderHandedOver());
  QUARLE_AUDIO::PlaybackHandOver = false;
}

TEST_F(SystemMessageTest, ZoomLanguageAndScreenModeWaitForARestart) {
  ZoomFactor = 1.0f;
  Handle(Message(101, 1.4f));
  EXPECT_FLOAT_EQ(Settings.Zoom, 1.4f);
  EXPECT_FLOAT_EQ(ZoomFactor, 1.0f);
  EXPECT_NE(SettingsFile().find("\"ZOOM FACTOR\",1.4\r\n"), std::string::npos);
  Settings.Language = 2;
  Handle(Message(3));
  EXPECT_NE(SettingsFile().find("\"LANGUAGE\",\"ES\"\r\n"), std::string::npos);

  platform::DisplaySetSimulated(platform::DisplayModes(), 3840, 1080, 2);
  const float modes[3][2] = {{1280, 720}, {1600, 900}, {1920, 1080}};
  std::memcpy(QUARLE_VISUALS::ScreenModes, modes, sizeof modes);
  QUARLE_VISUALS::ScreenModeCount = 3;
  CommandMessage m = Message(102, 2.0f);
  m.single3 = 5.0f;  // more monitors than attached
  Handle(m);
  EXPECT_EQ(Settings.Monitors, 2);
  EXPECT_EQ(g_ui.selected[Id(kSlotMonitors)], 1);
  EXPECT_EQ(g_ui.text[Id(kSlotMonitors)], "x2");
  EXPECT_EQ(QUARLE_VISUALS::ScreenModeIndex, 2);
  EXPECT_NE(SettingsFile().find("\"SCREEN WIDTH\",3840\r\n\"SCREEN HEIGHT\",1080\r\n\"MONITORS\",2\r\n"),
            std::string::npos);
  EXPECT_FLOAT_EQ(ZoomLimit, 4.6f);  // for MONITORS x SCREEN WIDTH, as at start-up
  m.single1 = -4.0f;
  m.single3 = -1.0f;
  Handle(m);
  EXPECT_EQ(g_ui.text[Id(kSlotMonitors)], "x1");
  EXPECT_EQ(Settings.ScreenWidth, 1280);
  EXPECT_FLOAT_EQ(Settings.Zoom, 0.6f);  // lowered to the smaller screen's limit
  platform::DisplayResetSimulated();
  QUARLE_VISUALS::ScreenModeCount = 0;

  ASSERT_EQ(Messages().size(), 4u);
  for (const auto& report : Messages())
    EXPECT_EQ(report, std::make_pair(std::string("Please restart for this change to take effect."), 0));
  // A save that cannot be made is said.
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
  Handle(Message(3));
  EXPECT_EQ(Messages()[4], std::make_pair("Error saving settings file: " + QUARLE_BASICS::ErrorText(-27), 2));
}

// Once a control is named for the screen-mode notice, the change clicks it:
// one control event (bits 8) on queue 0, addressed to that control.
TEST_F(SystemMessageTest, ScreenModeChangeClicksTheNamedNoticeControl) {
  QueueZero queue;
  ASSERT_EQ(queue.Open(), 0);  // whatever waited
  StateUi.ControlId = [](int32_t slot) { return slot == kSlotResolutionNotice ? 321 : Id(slot); };
  platform::DisplaySetSimulated(platform::DisplayModes(), 1920, 1080, 1);
  const float modes[2][2] = {{1280, 720}, {1920, 1080}};
  std::memcpy(QUARLE_VISUALS::ScreenModes, modes, sizeof modes);
  QUARLE_VISUALS::ScreenModeCount = 2;
  CommandMessage m = Message(102, 1.0f);
  m.single3 = 0.0f;
  EXPECT_EQ(Handle(m), 0);
  platform::DisplayResetSimulated();
  QUARLE_VISUALS::ScreenModeCount = 0;
  EXPECT_EQ(Settings.ScreenWidth, 1920);
  EXPECT_EQ(Settings.Monitors, 1);
  ASSERT_EQ(queue.Fetch(), 0);
  ASSERT_EQ(queue.header.count, 1);
  EXPECT_EQ(queue.buffer[0].type, QUARLE_BASICS::kCommandControlEvent);
  EXPECT_EQ(queue.buffer[0].arg2, 321u);
  EXPECT_EQ(queue.buffer[0].arg5, 8u);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].first, "Please restart for this change to take effect.");
}

TEST_F(SystemMessageTest, DisplayDriverChange) {
  QUARLE_BASICS::ScreenWidth = 1280;
  QUARLE_BASICS::ScreenHeight = 720;
  Handle(Message(103, 2.0f));
  EXPECT_EQ(QUARLE_BASICS::DisplayDriverIndex, 2);
  EXPECT_EQ(platform::ScreenDriver(), "OpenGL");
  EXPECT_EQ(g_ui.stops, 1);
  EXPECT_EQ(g_ui.starts, 1);  // after the stop (else it fails)
  EXPECT_EQ(g_ui.ready, -1);
  EXPECT_NE(g_ui.screen, nullptr);
  EXPECT_NE(SettingsFile().find("\"DISPLAY DRIVER\",\"OpenGL\"\r\n"), std::string::npos);
  Handle(Message(103, 9.0f));  // no such driver: GDI
  EXPECT_EQ(Settings.DisplayDriver, 0);
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[0].first, "Display driver now set to: OpenGL");
  EXPECT_EQ(Messages()[1].first, "Display driver now set to: GDI");

  // A driver whose screen does not open: said, and the driver in use before
  // (GDI) is taken again, in the settings too.
  platform::ScreenFailDriver("DirectX");
  Handle(Message(103, 1.0f));
  platform::ScreenFailDriver("");
  ASSERT_EQ(Messages().size(), 4u);
  EXPECT_EQ(Messages()[2], std::make_pair(std::string("I could not set the screen."), 2));
  EXPECT_EQ(Messages()[3].first, "Display driver now set to: GDI");
  EXPECT_EQ(QUARLE_BASICS::DisplayDriverIndex, 0);
  EXPECT_EQ(platform::ScreenDriver(), "GDI");
  EXPECT_NE(g_ui.screen, nullptr);
  EXPECT_EQ(g_ui.starts, 3);
  EXPECT_NE(SettingsFile().find("\"DISPLAY DRIVER\",\"GDI\"\r\n"), std::string::npos);

  // A screen that cannot be opened is said, and no video thread starts on it.
  platform::ScreenClose();
  QUARLE_BASICS::ScreenWidth = QUARLE_BASICS::ScreenHeight = 0;
  Handle(Message(103, 1.0f));
  EXPECT_EQ(g_ui.starts, 3);
  EXPECT_EQ(g_ui.screen, nullptr);
  EXPECT_EQ(Messages()[4], std::make_pair(std::string("I could not set the screen."), 2));
  platform::ScreenClose();
  QUARLE_BASICS::ScreenWidth = QUARLE_BASICS::ScreenHeight = QUARLE_BASICS::ScreenDepth = 0;
  QUARLE_BASICS::DisplayDriverIndex = 0;
}

// The default hooks switch the real control named in the control index.
TEST_F(SystemMessageTest, PowerSwitchOnRealControl) {
  ResetStateUiHooks();
  ASSERT_EQ(QUARLE_VISUALS::ControlTableCreate(), 0);
  int32_t root = -1, play = -1;
  ASSERT_EQ(QUARLE_VISUALS::CreateControl(0, 0, 0, 800, 600, nullptr, nullptr, -1, 0, "ROOT", "", &root), 0);
  ASSERT_EQ(QUARLE_VISUALS::CreateControl(0, 0, 0, 20, 20, nullptr, nullptr, -1, 0, "PlayMP", "", &play), 0);
  QUARLE_VISUALS::UiIndex = static_cast<int32_t*>(std::calloc(113, sizeof(int32_t)));
  QUARLE_VISUALS::UiIndex[kSlotPlayPower] = play;
  Handle(Message(200));
  EXPECT_EQ(QUARLE_VISUALS::ControlAt(play)->State.On, -1);
  EXPECT_EQ(QUARLE_VISUALS::ControlAt(play)->Render->State.On, -1);  // published
  Handle(Message(202));  // MicMP is not in the index: the root is left alone
  EXPECT_EQ(QUARLE_VISUALS::ControlAt(root)->State.On, 0);
  std::free(QUARLE_VISUALS::UiIndex);
  QUARLE_VISUALS::UiIndex = nullptr;
  QUARLE_VISUALS::ControlTableFree();
}

// The status lines of saves: a save on its way says so, unless the line names
// the file already (a New or Load that waits for it); a failed save names its
// file with every other whose last save failed, each once; one that lands
// takes it off; a save left out because a file it names failed tells nothing
// (the save handed again does). Rows in order: target, outcome, the files
// not saved after it, the line said ("" none).
TEST_F(SystemMessageTest, SavesSayTheirWayAndNameEveryFileNotSavedOnce) {
  ForgetFilesNotSaved();
  SayingSaveOnItsWay("\\home\\SYNTHS\\mine.tarvelo");
  SayingSaveOnItsWay("\\home\\Settings.txt");
  EXPECT_EQ(g_ui.text[Id(kSlotMessageBox)], "Saving Settings.txt...");
  // The oldest is said again while it lasts, whatever report came between.
  EXPECT_EQ(SaveOnItsWayText(), "Saving mine.tarvelo...");
  SaveOnItsWayDone("\\home\\SYNTHS\\mine.tarvelo", 0);
  EXPECT_EQ(SaveOnItsWayText(), "Saving Settings.txt...");
  SaveOnItsWayDone("\\home\\Settings.txt", -platform::kSaveIoError);
  EXPECT_EQ(SaveOnItsWayText(), "");
  g_ui.text[Id(kSlotMessageBox)] = "";
  const std::string io = QUARLE_BASICS::ErrorText(-platform::kSaveIoError);
  struct Row {
    const char* target;
    int32_t rc;
    std::vector<std::string> notSaved;
    std::string line;
  };
  const Row rows[] = {
      {"\\home\\SYNTHS\\mine.tarvelo", -platform::kSaveIoError, {"mine.tarvelo"}, "Not saved: mine.tarvelo: " + io},
      {"\\home\\Settings.txt", -platform::kSaveIoError, {"mine.tarvelo", "Settings.txt"},
       "Not saved: mine.tarvelo, Settings.txt: " + io},
      {"\\home\\Settings.txt", -platform::kSaveIoError, {"mine.tarvelo", "Settings.txt"},
       "Not saved: mine.tarvelo, Settings.txt: " + io},
      {"\\home\\SYNTHS\\mine.tarvelo", platform::kSaveEarlierFailed, {"mine.tarvelo", "Settings.txt"}, ""},
      {"\\home\\SYNTHS\\mine.tarvelo", 0, {"Settings.txt"}, ""},
      {"\\home\\WF_Library.txt", 5, {"Settings.txt", "WF_Library.txt"},
       "Not saved: Settings.txt, WF_Library.txt: " + QUARLE_BASICS::ErrorText(-QUARLE_BASICS::kErrFileAccess)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.target) + " " + std::to_string(r.rc));
    Messages().clear();
    NoteSaveOutcome(r.target, r.rc);
    EXPECT_EQ(FilesNotSaved(), r.notSaved);
    if (r.line.empty()) {
      EXPECT_TRUE(Messages().empty());
    } else {
      ASSERT_EQ(Messages().size(), 1u);
      EXPECT_EQ(Messages()[0], std::make_pair(r.line, 2));
    }
  }
  ForgetFilesNotSaved();
}

}  // namespace
}  // namespace Tarvelo
