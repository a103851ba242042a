// The root's once-a-second tick: CPU saving, the tick-numbered work (monitor
// watch every third tick, About window at the fifth, auto-save every sixtieth),
// the status line's countdown, the frame-rate watch, the module page's
// transport buttons and the posted clicks of the device selectors.
#include "app/documents/sample_library_file.h"
#include "app/documents/synth_file.h"
#include "app/documents/wave_convert.h"
#include "app/state/console.h"
#include "audio/sync_count.h"
#include "basics/errors.h"
#include "panels_a_fixture.h"
#include "platform/display.h"
#include "platform/saver.h"
#include "platform/screen.h"
#include "ui/build/frame.h"
#include "ui/views/cables.h"
#include "visuals/video_thread.h"

namespace panelsa {
namespace {

using namespace Tarvelo;

int g_midiChecks = 0;
int g_sessionSaves = 0;
int g_librarySaves = 0;
int32_t CountMidiCheck() { return ++g_midiChecks, 0; }
int32_t CountSessionSave(const std::string&, const std::string&, std::function<void(int32_t)> done) {
  ++g_sessionSaves;
  if (done) done(-24);
  return -24;
}
int32_t CountLibrarySave(std::function<void(int32_t)> done) {
  ++g_librarySaves;
  if (done) done(-21);
  return -21;
}

class SysbarTest : public PanelsATest {
 protected:
  void SetUp() override {
    PanelsATest::SetUp();
    g_midiChecks = g_sessionSaves = g_librarySaves = 0;
    Panel.CheckMidiDevices = CountMidiCheck;
    Startup.SaveSession = CountSessionSave;
    Startup.SaveWFLibrary = CountLibrarySave;
  }
  void TearDown() override {
    V::VideoThreadActive = 0;
    V::VideoRunFlag = 0;
    V::FrameRate = 0;
    LowFrameRateMode.store(0);
    platform::ScreenMoveWindow(0, 0);
    PanelsATest::TearDown();
  }
  static void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) OnSysbarTick(0, 1, 0, 0, 0);
  }
};

TEST_F(SysbarTest, EventBitsOnlyRefreshCpuSaving) {
  Settings.CpuSaving = 0;
  PlaybackActive = -1;
  OnSysbarTick(8, 0, 0, 0, 0);
  EXPECT_EQ(V::CpuSaving, 0);
  EXPECT_EQ(TickCounter, 1);
  EXPECT_EQ(g_midiChecks, 0);
  // Output off: the loop always sleeps, whatever the setting.
  PlaybackActive = 0;
  OnSysbarTick(2, 0, 0, 0, 0);
  EXPECT_EQ(V::CpuSaving, -1);
  Tick();
  EXPECT_EQ(TickCounter, 2);
  EXPECT_EQ(g_midiChecks, 1);
}

TEST_F(SysbarTest, AboutWindowClosesAtTheFifthTickOnce) {
  const int32_t about = Window(kWinABOUT);
  V::ControlSetVisible(C(about), -1);
  SetOnWord(AboutTabId, -1);
  Tick(4);
  EXPECT_EQ(Shown(about), -1);
  Tick();
  EXPECT_EQ(Shown(about), 0);
  EXPECT_EQ(On(AboutTabId), 0);
  EXPECT_EQ(AboutAutoClose, 0);
  // Opened again by the user, it stays open when the counter passes 5 again.
  V::ControlSetVisible(C(about), -1);
  Tick(300);
  EXPECT_EQ(Shown(about), -1);
  EXPECT_EQ(TickCounter, 6);
}

TEST_F(SysbarTest, AutoSaveEverySixtiethTickWithItsReports) {
  Settings.AutoSave = -1;
  LibraryChanged = -1;
  Tick(59);
  EXPECT_EQ(g_sessionSaves, 0);
  EXPECT_EQ(g_librarySaves, 0);
  Tick();
  EXPECT_EQ(g_librarySaves, 1);
  EXPECT_EQ(g_sessionSaves, 1);
  EXPECT_TRUE(HasReport("SaveWFLibrary(): Memory Allocation Failed", 2));
  EXPECT_TRUE(HasReport("SaveSession(): File Not Found", 2));
  EXPECT_EQ(Text(Slot(kUiMB)), "Saving session...");
  // Both failed saves are tried again at the next auto-save.
  EXPECT_EQ(LibraryChanged, -1);
  Tick(59);
  EXPECT_EQ(g_librarySaves, 1);
  Tick();
  EXPECT_EQ(g_librarySaves, 2);
  EXPECT_EQ(g_sessionSaves, 2);
}

// The minute's save while a Sample records says, as Ctrl+S does, that the
// take is not in the file.
TEST_F(SysbarTest, TheAutoSaveSaysATakeStillRecordingIsNotInTheFile) {
  Startup.SaveSession = SaveSessionThen;
  Settings.AutoSave = -1;
  SessionFolder = platform::FromOsPath(Home().string());
  SessionFile = "mine.tarvelo";
  ModuleRecord* sample = Make(kTypeSample);
  ASSERT_EQ(RecordToWaveFile(SessionFolder, "Rec1.wav", 0.1f, 1, 48000), 0);
  AssignWaveToModule(sample, SynthSamples.entries[0], ~uint64_t{0});
  TickCounter = 60;
  Tick();
  Settings.AutoSave = 0;
  EXPECT_TRUE(fs::exists(Home() / "mine.tarvelo"));
  EXPECT_EQ(Text(Slot(kUiMB)), "The take still recording on Sample #1 is not in the file (saved as it was before the "
                               "take); save again once it ends.");
}

// The minute's library save on a disk that holds its sync: the tick hands it
// to the saver and returns; the list is in place once the sync is done. One
// the disk refuses is said when the saver tells it, and tried again.
TEST_F(SysbarTest, TheAutoSaveWaitsForNoSync) {
  Startup.SaveWFLibrary = SaveWFLibraryThen;
  ASSERT_TRUE(platform::SaverStart());
  const fs::path list = Home() / "WF_Library.txt";
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused" : "held");
    fs::remove(list);
    if (refused) fs::create_directory(Home() / "WF_Library.txt~tarvelo-1.tmp");
    LibraryChanged = -1;
    synccount::Reset();
    synccount::Hold("tarvelo-save");
    TickCounter = 60;
    Tick();
    EXPECT_EQ(synccount::On(synccount::ThreadName()), 0) << "synced on the window's thread";
    EXPECT_FALSE(fs::exists(list));
    EXPECT_EQ(LibraryChanged, 0);
    synccount::Release();
    ASSERT_TRUE(platform::SaverWaitIdle(30.0));
    EXPECT_EQ(platform::SaverTakeOutcomes(), 1);
    EXPECT_EQ(fs::exists(list), !refused);
    EXPECT_EQ(HasReport("SaveWFLibrary(): A folder, not a file", 2), refused);
    EXPECT_EQ(LibraryChanged, refused ? -1 : 0);
  }
  EXPECT_EQ(platform::SaverStop(30.0, nullptr), 0);
}

TEST_F(SysbarTest, StatusLineGivesWayToTheLiveGuide) {
  const int32_t guide = Slot(kUiCTRL_INFO), box = Slot(kUiMB);
  SetStatusText("Hello");
  ASSERT_EQ(Shown(box), -1);
  ASSERT_EQ(Shown(guide), 0);
  Tick(3);
  EXPECT_EQ(Shown(box), -1);
  EXPECT_EQ(StatusTextCountdown, 1);
  Tick();
  EXPECT_EQ(Shown(box), 0);
  EXPECT_EQ(Shown(guide), -1);
  Tick();
  EXPECT_EQ(StatusTextCountdown, -1);
}

TEST_F(SysbarTest, FrameRateReadoutAndLowFrameRateMode) {
  V::VideoThreadActive = -1;
  V::VideoRunFlag = -1;
  V::InterfaceReady = -1;
  V::FrameRate = 37;
  Tick(5);
  EXPECT_EQ(Text(Slot(kUiSTB_FPS)), "37 FPS");
  EXPECT_EQ(LowFrameRateMode.load(), 0);
  V::FrameRate = 42;
  Tick();
  EXPECT_EQ(LowFrameRateTicks, 0);
  V::FrameRate = 20;
  Tick(6);
  EXPECT_EQ(LowFrameRateMode.load(), -1);
  V::FrameRate = 60;
  Tick();
  EXPECT_EQ(LowFrameRateMode.load(), -1);  // never cleared
}

TEST_F(SysbarTest, AQuietScreenShowingFewFramesIsNotSlow) {
  V::VideoThreadActive = -1;
  V::VideoRunFlag = -1;
  V::InterfaceReady = -1;
  // Nothing changed on screen: one frame a second shown, the other wake-ups idle.
  V::FrameRate = 1;
  V::IdleFrameRate = 59;
  Tick(10);
  EXPECT_EQ(Text(Slot(kUiSTB_FPS)), "1 FPS");
  EXPECT_EQ(LowFrameRateMode.load(), 0);
  V::IdleFrameRate = 0;  // busy every frame, and still slow
  Tick(6);
  EXPECT_EQ(LowFrameRateMode.load(), -1);
}

TEST_F(SysbarTest, MonitorWatchKeepsTheWindowOnTheDesktop) {
  platform::DisplaySetSimulated(platform::DisplayModes(), 1920, 1080, 2);
  platform::ScreenMoveWindow(2000, 0);
  Tick(3);
  int32_t x = 0, y = 0;
  platform::ScreenWindowPosition(x, y);
  EXPECT_EQ(x, 2000);
  EXPECT_EQ(MonitorCount, 2);
  // One monitor removed: back to the origin at the next third tick.
  platform::DisplaySetSimulated(platform::DisplayModes(), 1920, 1080, 1);
  Tick(2);
  platform::ScreenWindowPosition(x, y);
  EXPECT_EQ(x, 2000);
  Tick();
  platform::ScreenWindowPosition(x, y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  // The monitor selector never offers more monitors than there are.
  C(Slot(kUiVS_NBMON))->Text.Selected = 2;
  Tick(3);
  EXPECT_EQ(C(Slot(kUiVS_NBMON))->Text.Selected, 0);
  EXPECT_TRUE(Drain(0).empty());
}

// The watch starts from where the window manager put the window, not from the
// place the program set last.
TEST_F(SysbarTest, MonitorWatchBringsAWindowMovedOutsideBack) {
  struct Row {
    int32_t monitors, x, y, wantX, wantY;
  };
  const Row rows[] = {
      {1, -10, 50, 0, 50},   // left of the desktop
      {1, 100, -7, 100, 0},  // above it
      {1, 2000, 0, 0, 0},    // beyond a monitor removed
      {2, 2000, 0, 2000, 0}, // on the second monitor: stays
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.monitors << " monitors, moved to " << r.x << "," << r.y);
    platform::DisplaySetSimulated(platform::DisplayModes(), 1920, 1080, r.monitors);
    platform::ScreenMoveWindow(0, 0);
    WindowManagerMoves(r.x, r.y);
    Tick(3 - (TickCounter - 1) % 3);  // up to and including the next third tick
    int32_t x = -1, y = -1;
    platform::ScreenWindowPosition(x, y);
    EXPECT_EQ(x, r.wantX);
    EXPECT_EQ(y, r.wantY);
  }
  platform::DisplayResetSimulated();
}

// The handler takes a mode index: the largest listed mode that fits the
// desktop is asked for, once per desktop size (the window keeps its size
// until the next start).
TEST_F(SysbarTest, WindowLargerThanTheDesktopAsksOnceForTheModeThatFits) {
  ASSERT_GT(V::ScreenModeCount, 5);
  platform::DisplaySetSimulated(platform::DisplayModes(), 1600, 900, 1);
  const int64_t w = V::ScreenWidth, h = V::ScreenHeight;
  V::ScreenWidth = 1920;
  V::ScreenHeight = 1080;
  platform::ScreenMoveWindow(-5, -5);
  Tick(3);
  const auto posted = Drain(0);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].type, 102u);
  const auto mode = static_cast<int32_t>(posted[0].single1);
  ASSERT_GE(mode, 0);
  ASSERT_LT(mode, V::ScreenModeCount);
  EXPECT_EQ(V::ScreenModes[mode][0], 1600.0f);
  EXPECT_EQ(V::ScreenModes[mode][1], 900.0f);
  EXPECT_EQ(posted[0].single3, 0.0f);
  int32_t x = 0, y = 0;
  platform::ScreenWindowPosition(x, y);
  EXPECT_EQ(x, -5);  // no position change at that tick
  Tick(3);
  EXPECT_TRUE(Drain(0).empty());
  // A desktop that changes again is asked about again.
  platform::DisplaySetSimulated(platform::DisplayModes(), 1366, 768, 1);
  Tick(3);
  const auto again = Drain(0);
  ASSERT_EQ(again.size(), 1u);
  const auto second = static_cast<int32_t>(again[0].single1);
  EXPECT_EQ(V::ScreenModes[second][0], 1366.0f);
  V::ScreenWidth = w;
  V::ScreenHeight = h;
  platform::DisplayResetSimulated();
}

// A snapshot the video thread could not save is told once, on the main thread.
TEST_F(SysbarTest, AFailedSnapshotIsReported) {
  V::SnapshotError = -QUARLE_BASICS::kErrFileAccess;
  Tick();
  const std::string code = QUARLE_BASICS::ErrorText(-QUARLE_BASICS::kErrFileAccess);
  EXPECT_TRUE(HasReport("Screen snapshot not saved: " + code, 2));
  EXPECT_EQ(V::SnapshotError.load(), 0);
}

TEST_F(SysbarTest, TransportButtonsFollowTheSelectedModule) {
  ModuleRecord* m = Make(kTypeSequencer);
  SelectedModule = m;
  const int32_t play = Slot(kUiPLAY);
  m->ModuleSwitches[kSwitchPower].Store(0);
  m->ModuleSwitches[kSwitchPlay].Store(-1);
  m->ModuleSwitches[kSwitchRecord].Store(-1);
  m->RecordDone.Store(-1);
  m->StateWord21.Store(-1);
  Tick();
  EXPECT_EQ(On(Slot(kUiMFP)), 0);
  EXPECT_EQ(On(play), -1);
  EXPECT_EQ(On(play + 2), -1);
  EXPECT_EQ(C(play + 2)->Colour, kTransportActiveColour);
  EXPECT_EQ(C(play + 3)->Colour, kTransportActiveColour);
}

TEST_F(SysbarTest, ChangedDeviceListsClickBothResetButtons) {
  QUARLE_AUDIO::DeviceListChanged = -1;
  Tick();
  EXPECT_EQ(QUARLE_AUDIO::DeviceListChanged, 0);
  const auto posted = Drain(0);
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].type, 100u);
  EXPECT_EQ(posted[0].arg5, 8u);
  EXPECT_EQ(static_cast<int32_t>(posted[0].arg2), Slot(kUiAS_INFO) + 3);
  EXPECT_EQ(Id(posted[0].arg2), "AS_RESET");
  EXPECT_EQ(Id(posted[1].arg2), "AS_IRES");
}

}  // namespace
}  // namespace panelsa
