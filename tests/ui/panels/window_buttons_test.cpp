// The system bar's buttons: quit through the dialog, moving the window between
// monitors, window tabs, the audio power switches and gain meters, output
// recording, the visualization mode and the plane reset.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/documents/synth_file.h"
#include "app/state/dialogs.h"
#include "app/state/modules.h"
#include "app/state/system_messages.h"
#include "basics/timetext.h"
#include "engine/tuningfile.h"
#include "panels_a_fixture.h"
#include "platform/display.h"
#include "platform/events.h"
#include "platform/screen.h"
#include "ui/build/frame.h"
#include "ui/panels/dialog.h"
#include "ui/panels/window_buttons.h"
#include "ui/views/scope_view.h"
#include "visuals/event_loop.h"

namespace panelsa {
namespace {

using namespace Tarvelo;

QUARLE_BASICS::LocalDateTime FixedClock() { return {2026, 3, 14, 9, 5, 7}; }

class WindowButtonsTest : public PanelsATest {
 protected:
  void SetUp() override {
    PanelsATest::SetUp();
    MoveMonitorIndex = 0;
    OutputRecording = 0;
    InputGain = 1.0f;
    OutputLevel = 0.5f;
  }
  void TearDown() override {
    platform::ScreenMoveWindow(0, 0);
    QUARLE_AUDIO::CaptureOpen = 0;
    QUARLE_AUDIO::PlaybackOpen = 0;
    OutputRecording = 0;
    QUARLE_BASICS::SetLocalClock(nullptr);
    PanelsATest::TearDown();
  }
  // Delivers the clicks queue 0 holds, as the event loop would.
  static void DeliverPosted() {
    for (const CommandMessage& m : Drain(0))
      if (m.type == 100 && C(m.arg2) && C(m.arg2)->EventCallback)
        C(m.arg2)->EventCallback(m.arg5, 0, 0, m.arg2, m.arg1);
  }
  static std::pair<int32_t, int32_t> WindowAt() {
    int32_t x = 0, y = 0;
    platform::ScreenWindowPosition(x, y);
    return {x, y};
  }
};

TEST_F(WindowButtonsTest, QuitAsksAndOnlyAYesEndsTheLoop) {
  const int32_t quit = Named("Quit");
  const int32_t db = Slot(kUiDB);
  Click(OnQuit, quit);
  EXPECT_EQ(DialogOwner, quit);
  EXPECT_EQ(Shown(db), -1);
  EXPECT_EQ(On(quit), -1);
  EXPECT_EQ(Text(db + 1), "  Please confirm that you want to quit.");
  // Yes: the loop's end message.
  Click(OnDialogOk, db + 3);
  DeliverPosted();
  const auto posted = Drain(0);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].type, QUARLE_BASICS::kCommandEndLoop);
  EXPECT_GT(posted[0].timeStamp, 0.0);
  EXPECT_EQ(On(quit), 0);
  EXPECT_EQ(C(quit)->State.Pressed, 0);
}

// The window manager's close runs through the real loop: a probe message,
// handled on the loop's thread, answers the question once it is shown.
struct CloseProbe {
  int32_t quit = 0, db = 0, answer = 0;  // answer: the dialog button to click
  int32_t stage = 0, passes = 0, after = 0;
  bool asked = false, ranAfterAnswer = false;
};
CloseProbe g_probe;
constexpr uint32_t kProbeType = 4242;

void PostQuitMessage() {
  CommandMessage m{};
  m.type = QUARLE_BASICS::kCommandEndLoop;
  QUARLE_BASICS::PostCommand(m, 0, 0);
}
void PostProbe() {
  CommandMessage m{};
  m.type = kProbeType;
  QUARLE_BASICS::PostCommand(m, 0, 0);
}
void PostDialogClick(int32_t id) {
  CommandMessage m{};
  m.type = QUARLE_BASICS::kCommandControlEvent;
  m.arg2 = static_cast<uint32_t>(id);
  m.arg5 = V::kEventClick;
  QUARLE_BASICS::PostCommand(m, 0, 0);
}
int32_t Probe(CommandMessage* m) {
  if (m->type != kProbeType) return 0;
  if (++g_probe.passes > 200) {  // never asked: end the loop rather than hang
    PostQuitMessage();
    return 0;
  }
  if (g_probe.stage == 0 && DialogOwner == g_probe.quit) {
    g_probe.asked = true;
    PostDialogClick(g_probe.answer);
    g_probe.stage = 1;
  } else if (g_probe.stage == 1 && DialogOwner == 0 && ++g_probe.after == 5) {
    // Still here some passes after the answer: a "no" leaves the program running.
    g_probe.ranAfterAnswer = true;
    PostQuitMessage();
    return 0;
  }
  PostProbe();
  return 0;
}

TEST_F(WindowButtonsTest, WindowCloseAsksAsQuitDoesAndNoKeepsTheProgramRunning) {
  const int32_t quit = Named("Quit");
  const int32_t db = Slot(kUiDB);
  ASSERT_EQ(V::CloseRequestTarget, quit);
  V::SystemMessageHandler = Probe;
  for (const int32_t answer : {db + 4, db + 3}) {
    SCOPED_TRACE(answer == db + 4 ? "no" : "yes");
    g_probe = CloseProbe{quit, db, answer};
    platform::WindowEventsClear();
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    PostProbe();
    EXPECT_EQ(V::GuiMessageLoop(), 0);
    EXPECT_TRUE(g_probe.asked);
    EXPECT_EQ(Text(db + 1), "  Please confirm that you want to quit.");
    // "No" closes the question and the loop goes on; "Yes" ends it at once.
    EXPECT_EQ(g_probe.ranAfterAnswer, answer == db + 4);
    EXPECT_EQ(DialogOwner, 0);
    EXPECT_EQ(On(quit), 0);
    Drain(0);
  }
  V::SystemMessageHandler = V::DefaultSystemMessageHandler;
}

// Ends the loop at its third probe: two passes after the one that took the
// window's events, so the clicks they posted have been delivered.
int32_t g_probesLeft = 0;
int32_t EndAfterProbes(CommandMessage* m) {
  if (m->type != kProbeType) return 0;
  if (--g_probesLeft <= 0)
    PostQuitMessage();
  else
    PostProbe();
  return 0;
}

// A close while the question is up (the close button clicked twice, a window
// manager that repeats itself) leaves the question up; the Quit button's own
// second click takes it back.
TEST_F(WindowButtonsTest, ACloseLeavesTheQuestionUpAndOnlyQuitWithdrawsIt) {
  const int32_t quit = Named("Quit");
  const int32_t db = Slot(kUiDB);
  V::SystemMessageHandler = EndAfterProbes;
  const struct {
    const char* what;
    int32_t closes;     // window closes in one pass
    bool quitClick;     // then a click on Quit itself
    bool askingAfter;
  } kCases[] = {{"one close", 1, false, true},
                {"two closes", 2, false, true},
                {"three closes", 3, false, true},
                {"a close, then Quit", 1, true, false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    platform::WindowEventsClear();
    for (int32_t i = 0; i < c.closes; ++i)
      platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    g_probesLeft = 3;
    PostProbe();
    ASSERT_EQ(V::GuiMessageLoop(), 0);
    Drain(0);
    EXPECT_EQ(DialogOwner, quit);
    EXPECT_EQ(Shown(db), -1);
    EXPECT_EQ(On(quit), -1);
    if (c.quitClick) Click(OnQuit, quit);
    EXPECT_EQ(DialogOwner != 0, c.askingAfter);
    EXPECT_EQ(Shown(db) == -1, c.askingAfter);
    EXPECT_EQ(On(quit), c.askingAfter ? -1 : 0);
    // Nothing was answered: no end of the loop is waiting.
    EXPECT_TRUE(Drain(0).empty());
    if (DialogOwner != 0) Click(OnDialogCancel, db + 4);
    DeliverPosted();
    EXPECT_EQ(DialogOwner, 0);
  }
  V::SystemMessageHandler = V::DefaultSystemMessageHandler;
}

// A button reached by its key is not outlined as if the pointer were on it:
// Ctrl-X asks through Quit, Esc answers through Cancel, and neither keeps the
// hover mark afterwards; the mark stays with the pointer's control, which
// hears its leave when the pointer goes on.
TEST_F(WindowButtonsTest, AButtonReachedByItsKeyKeepsNoHoverMark) {
  const int32_t quit = Named("Quit");
  const int32_t minimise = Named("WINMIN");
  const int32_t cancel = Slot(kUiDB) + 4;
  const int32_t close = V::CloseRequestTarget;
  // Runs the loop over the events, then a close that ends it.
  const auto run = [close](const std::vector<platform::WindowEvent>& events) {
    platform::WindowEventsClear();
    for (const platform::WindowEvent& e : events) platform::WindowEventInject(e);
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    V::CloseRequestTarget = 0;
    V::GuiMessageLoop();
    V::CloseRequestTarget = close;
    DeliverPosted();
  };
  const auto pointOn = [](int32_t id) {
    int32_t x = 0, y = 0;
    while (V::ControlHitTest(x, y, 0) != id && y < 200) x < 600 ? ++x : (x = 0, ++y);
    EXPECT_EQ(V::ControlHitTest(x, y, 0), id);
    return platform::PointerMoveEvent(x, y, 1, 1);
  };
  run({pointOn(minimise)});
  EXPECT_EQ(C(minimise)->State.Active, -1);
  const struct {
    const char* what;
    uint32_t scan, ascii;
    int32_t button;
    int32_t ownerAfter;
  } keys[] = {{"Ctrl-X", 45, 24, quit, quit}, {"Esc", 1, 27, cancel, 0}};
  for (const auto& k : keys) {
    SCOPED_TRACE(k.what);
    run({platform::KeyPressEvent(k.scan, k.ascii), platform::KeyReleaseEvent(k.scan, k.ascii)});
    EXPECT_EQ(DialogOwner, k.ownerAfter);
    EXPECT_EQ(C(quit)->State.Active, 0);
    EXPECT_EQ(C(k.button)->State.Active, 0);
    EXPECT_EQ(C(minimise)->State.Active, -1);
  }
  run({pointOn(quit)});
  EXPECT_EQ(C(quit)->State.Active, -1);
  EXPECT_EQ(C(minimise)->State.Active, 0);
}

TEST_F(WindowButtonsTest, MoveCyclesThroughTheMonitorsAndDragsTheWindow) {
  const int32_t move = Named("Move");
  MonitorCount = 1;
  Click(OnMoveWindow, move);
  Click(OnMoveWindow, move);
  EXPECT_EQ(WindowAt(), std::make_pair(0, 0));
  MonitorCount = 3;
  platform::DisplaySetSimulated(platform::DisplayModes(), 1920, 1080, 3);
  std::vector<int32_t> xs;
  for (int i = 0; i < 4; ++i) {
    Click(OnMoveWindow, move);
    xs.push_back(WindowAt().first);
  }
  EXPECT_EQ(xs, (std::vector<int32_t>{1920, 3840, 0, 1920}));
  platform::DisplaySetSimulatedPointer(2000, 10);
  OnMoveWindow(V::kEventPress, 80, 10, move, 0);
  platform::DisplaySetSimulatedPointer(2015, -10);
  OnMoveWindow(V::kEventDrag, 15, -20, move, 0);
  EXPECT_EQ(WindowAt(), std::make_pair(1935, -20));
  EXPECT_EQ(C(move)->State.Pressed, -1);
  // A drag after the window manager moved the window goes on from its real place.
  WindowManagerMoves(200, 100);
  platform::DisplaySetSimulatedPointer(2045, -10);
  OnMoveWindow(V::kEventDrag, 30, 0, move, 0);
  EXPECT_EQ(WindowAt(), std::make_pair(230, 100));
}

// The window follows the pointer's travel on the desktop. The window reports
// each move relative to itself, so once it moved under the pointer a move's
// own motion is the travel less the window's move since the move before.
TEST_F(WindowButtonsTest, ADragMovesTheWindowAsFarAsThePointerWent) {
  const int32_t move = Named("Move");
  const struct {
    int32_t sx, sy, steps;
    int32_t before;  // pointer travel to the right before the first drag (the drag threshold)
    int32_t after;   // and after the last, which the window did not report (the release did)
  } rows[] = {{10, 0, 12, 0, 0}, {10, 0, 12, 6, 0}, {-3, 2, 40, 0, -3}, {25, -25, 4, 0, 0},
              {1, 1, 90, 4, 1}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.sx << "," << r.sy << " x " << r.steps);
    platform::ScreenMoveWindow(300, 200);
    int32_t px = 700, py = 400;
    platform::DisplaySetSimulatedPointer(px, py);
    OnMoveWindow(V::kEventPress, 400, 200, move, 0);
    px += r.before;
    std::pair<int32_t, int32_t> seen = WindowAt();
    for (int32_t i = 0; i < r.steps; ++i) {
      px += r.sx;
      py += r.sy;
      platform::DisplaySetSimulatedPointer(px, py);
      const std::pair<int32_t, int32_t> now = WindowAt();
      const int32_t dx = r.sx + (i == 0 ? r.before : 0) - (now.first - seen.first);
      const int32_t dy = r.sy - (now.second - seen.second);
      seen = now;
      OnMoveWindow(V::kEventDrag, dx, dy, move, 0);
    }
    px += r.after;
    platform::DisplaySetSimulatedPointer(px, py);
    OnMoveWindow(V::kEventDragRelease, 0, 0, move, 0);
    EXPECT_EQ(WindowAt(), std::make_pair(300 + px - 700, 200 + py - 400));
  }
}

// Through the event loop, as the window reports them: a drag whose first move
// leaves the window at once (steps of 30 px up off the system bar) moves the
// window as far as the pointer went on the desktop, and turns the output
// level as far as it went to the side.
TEST_F(WindowButtonsTest, DragsThatLeaveTheWindowAtOnceFollowThePointer) {
  const int32_t close = V::CloseRequestTarget;
  const auto run = [close](const std::vector<platform::WindowEvent>& events) {
    platform::WindowEventsClear();
    for (const platform::WindowEvent& e : events) platform::WindowEventInject(e);
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    V::CloseRequestTarget = 0;
    V::GuiMessageLoop();
    V::CloseRequestTarget = close;
  };
  const struct {
    const char* control;
    int32_t firstX, firstY, thenX, thenY, steps;  // the first move, and each after it
    const char* level;                            // the output level's caption after
  } rows[] = {{"Move", 0, -30, 0, -30, 3, "-6.02dB"},  {"Move", 10, -30, 30, -30, 3, "-6.02dB"},
              {"Move", 0, -6, 0, -30, 3, "-6.02dB"},   {"PlayM", 0, -30, 20, 0, 3, "0dB"},
              {"PlayM", 30, -30, 10, 0, 3, "0dB"},     {"PlayM", 0, -3, 20, -10, 3, "0dB"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.control << " " << r.firstX << "," << r.firstY);
    OutputLevel = 0.5f;
    platform::ScreenMoveWindow(300, 200);
    const int32_t id = Named(r.control);
    int32_t x = C(id)->X + C(id)->W / 2, y = C(id)->Y + C(id)->H / 2;
    int32_t px = 300 + x, py = 200 + y;
    platform::DisplaySetSimulatedPointer(px, py);
    run({platform::PointerMoveEvent(x, y, 0, 0),
         platform::ButtonEvent(platform::kWindowButtonPress, platform::kButtonLeft)});
    ASSERT_EQ(V::Pointer.pressed, id);
    for (int32_t i = 0; i <= r.steps; ++i) {
      px += i == 0 ? r.firstX : r.thenX;
      py += i == 0 ? r.firstY : r.thenY;
      platform::DisplaySetSimulatedPointer(px, py);
      // Where the pointer is in the window, which may have moved under it.
      const auto [wx, wy] = WindowAt();
      const int32_t nx = px - wx, ny = py - wy;
      run({platform::PointerMoveEvent(nx, ny, nx - x, ny - y, platform::kButtonLeft)});
      x = nx;
      y = ny;
    }
    run({platform::ButtonEvent(platform::kWindowButtonRelease, platform::kButtonLeft)});
    const int32_t wentX = r.firstX + r.steps * r.thenX, wentY = r.firstY + r.steps * r.thenY;
    EXPECT_EQ(WindowAt(), std::make_pair(300 + (r.control[0] == 'M' ? wentX : 0),
                                         200 + (r.control[0] == 'M' ? wentY : 0)));
    EXPECT_EQ(GainCaption(OutputLevel), r.level);
    EXPECT_EQ(V::Pointer.dragging, 0);
  }
}

TEST_F(WindowButtonsTest, MinimiseAsksTheScreenOnClickOnly) {
  const int32_t button = Named("WINMIN");
  const int32_t before = platform::ScreenMinimizeCount();
  OnMinimizeWindow(V::kEventPress, 0, 0, button, 0);
  EXPECT_EQ(platform::ScreenMinimizeCount(), before);
  Click(OnMinimizeWindow, button);
  EXPECT_EQ(platform::ScreenMinimizeCount(), before + 1);
}

TEST_F(WindowButtonsTest, WindowTabsToggleTheirWindows) {
  const int32_t vs = Window(kWinVS);
  ASSERT_GT(vs, 0);
  Press(OnWindowTab, VideoTabId);
  EXPECT_EQ(Shown(vs), -1);
  EXPECT_EQ(On(VideoTabId), -1);
  Press(OnWindowTab, VideoTabId);
  EXPECT_EQ(Shown(vs), 0);
  EXPECT_EQ(On(VideoTabId), 0);
  // The About tab stops the automatic close.
  ASSERT_EQ(AboutAutoClose, -1);
  Press(OnWindowTab, AboutTabId);
  EXPECT_EQ(AboutAutoClose, 0);
  // The status bar and the scope follow the plane.
  V::ControlSetVisible(C(Window(kWinSYNTH)), 0);
  Press(OnWindowTab, VideoTabId);
  EXPECT_EQ(Shown(Window(kWinSTB)), 0);
  EXPECT_EQ(Shown(Slot(kUiSCOPE)), 0);
}

TEST_F(WindowButtonsTest, AWindowOpenedOverAnotherComesToTheFront) {
  const int32_t vs = Window(kWinVS), tng = Window(kWinTNG), audio = Window(kWinAUDIO);
  ASSERT_GT(vs, 0);
  ASSERT_GT(tng, 0);
  // The point of the root's children list: the later, the further in front.
  auto place = [](int32_t id) {
    const V::ControlRecord* root = C(0);
    for (uint32_t i = 0; i < root->Children.Count; ++i)
      if (root->Children.Ids[i] == id) return static_cast<int32_t>(i);
    return -1;
  };
  // The middle of where the two windows overlap.
  auto hitWindow = [](int32_t over, int32_t under) {
    const V::ControlRecord* a = C(over);
    const V::ControlRecord* b = C(under);
    const int32_t x = (std::max(a->X, b->X) + std::min(a->X + a->W, b->X + b->W)) / 2;
    const int32_t y = (std::max(a->Y, b->Y) + std::min(a->Y + a->H, b->Y + b->H)) / 2;
    return V::WindowOfControl(V::ControlHitTest(x, y, 0));
  };
  Press(OnWindowTab, TuningTabId);
  ASSERT_EQ(Shown(tng), -1);
  Press(OnWindowTab, VideoTabId);
  ASSERT_EQ(Shown(vs), -1);
  EXPECT_GT(place(vs), place(tng));
  EXPECT_EQ(hitWindow(vs, tng), vs);
  // The tuning editor closed and opened again is in front once more.
  Press(OnWindowTab, TuningTabId);
  Press(OnWindowTab, TuningTabId);
  EXPECT_GT(place(tng), place(vs));
  EXPECT_EQ(hitWindow(tng, vs), tng);
  // So is every window the system bar opens.
  const int32_t audioTab = Named("ASTAB");
  ASSERT_GT(audioTab, 0);
  Press(OnWindowTab, audioTab);
  EXPECT_GT(place(audio), place(tng));
  EXPECT_GT(place(audio), place(vs));
}

TEST_F(WindowButtonsTest, TuningTabSavesAMissingTuningAndSelectsIt) {
  const std::string tunings = platform::FromOsPath((Home() / "TUNINGS").string());
  QUARLE_BASICS::DynZStringAssign(ActiveTuning.Folder, tunings);
  QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, "Mine.tng");
  Press(OnWindowTab, TuningTabId);
  EXPECT_EQ(Shown(Window(kWinTNG)), -1);
  EXPECT_TRUE(fs::exists(Home() / "TUNINGS" / "Mine.tng"));
  const int32_t files = Slot(kUiFILES);
  const int32_t row = C(files)->Text.Selected;
  ASSERT_GE(row, 0);
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, row), "Mine.tng");
}

TEST_F(WindowButtonsTest, PowerSwitchesPostOnlyWithAnOpenDevice) {
  const int32_t mic = Slot(kUiMicMP), play = Slot(kUiPlayMP);
  SetOnWord(mic, -1);
  Click(OnAudioInputPower, mic);
  EXPECT_TRUE(HasReport("Audio capture is not available.", 1));
  EXPECT_EQ(On(mic), 0);
  Click(OnAudioOutputPower, play);
  EXPECT_TRUE(HasReport("Audio playback is not available", 1));
  EXPECT_TRUE(AudioPosts().empty());

  QUARLE_AUDIO::CaptureOpen = -1;
  QUARLE_AUDIO::PlaybackOpen = -1;
  Click(OnAudioInputPower, mic);
  CaptureActive = -1;
  Click(OnAudioInputPower, mic);
  Click(OnAudioOutputPower, play);
  PlaybackActive = -1;
  Click(OnAudioOutputPower, play);
  const auto posted = AudioPosts();
  ASSERT_EQ(posted.size(), 4u);
  EXPECT_EQ(posted[0].type, 202u);
  EXPECT_EQ(posted[1].type, 203u);
  EXPECT_EQ(posted[2].type, 200u);
  EXPECT_EQ(posted[3].type, 201u);
  // The switches show what the audio thread reports, not the click.
  EXPECT_EQ(On(play), 0);
}

TEST_F(WindowButtonsTest, MeterDragsClampTheGains) {
  const int32_t mic = Slot(kUiMicM), out = Slot(kUiPlayM);
  const int32_t w = C(mic)->W;
  OnAudioInputMeter(V::kEventDrag, w / 2, 0, mic, 0);
  EXPECT_FLOAT_EQ(InputGain, 1.5f);
  OnAudioInputMeter(V::kEventDrag, -10 * w, 0, mic, 0);
  EXPECT_EQ(InputGain, kMinGain);
  EXPECT_EQ(Text(mic), "-140dB");
  OnAudioInputMeter(V::kEventDrag, 10 * w, 0, mic, 0);
  EXPECT_EQ(InputGain, 2.0f);
  EXPECT_EQ(Text(mic), "6.02dB");
  EXPECT_TRUE(AudioPosts().empty());  // the capture callback reads it directly

  OnAudioOutputMeter(V::kEventDrag, 10 * C(out)->W, 0, out, 0);
  EXPECT_EQ(OutputLevel, 1.0f);
  EXPECT_EQ(Text(out), "0dB");
  // A click changes nothing.
  OnAudioOutputMeter(V::kEventClick, 0, 0, out, 0);
  const auto posted = AudioPosts();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].type, 212u);
  EXPECT_EQ(posted[0].single1, 1.0f);
}

TEST_F(WindowButtonsTest, RecordStartsWithTheStemAndStopsWithoutWaiting) {
  QUARLE_BASICS::SetLocalClock(FixedClock);
  const int32_t rec = Slot(kUiRec);
  const uint32_t before = RecordingTake;
  Click(OnRecordOutput, rec);
  EXPECT_EQ(OutputRecording, -1);
  EXPECT_EQ(On(rec), -1);
  Click(OnRecordOutput, rec);
  EXPECT_EQ(OutputRecording, 0);
  EXPECT_EQ(On(rec), 0);
  const auto posted = AudioPosts();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].type, 204u);
  // Each take the interface asks for has a number of its own, which its stop
  // reports carry back.
  EXPECT_EQ(posted[0].arg2, before + 1);
  EXPECT_EQ(RecordingTake, before + 1);
  auto* block = reinterpret_cast<char*>(posted[0].word2);
  ASSERT_NE(block, nullptr);
  const std::string stem = "REC_20260314-09h05m07_Session";
  EXPECT_EQ(std::string(block), stem);
  EXPECT_EQ(posted[0].single1, static_cast<float>(stem.size() + 1));
  std::free(block);
  EXPECT_EQ(posted[1].type, 205u);
}

TEST_F(WindowButtonsTest, VisualizationModeCyclesAndIsSaved) {
  const int32_t dm = Slot(kUiSTB_DM);
  std::vector<int32_t> modes;
  for (int i = 0; i < 6; ++i) {
    Click(OnVisualizationMode, dm);
    modes.push_back(ScopeMode.load());
    EXPECT_EQ(C(dm)->Colour, VisualizationModeColours[ScopeMode.load()]);
  }
  EXPECT_EQ(modes, (std::vector<int32_t>{1, 2, 3, 4, 0, 1}));
  std::ifstream in(Home() / "Settings.txt");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("SCOPE"), std::string::npos);
  EXPECT_EQ(Settings.Scope, 1);
}

TEST_F(WindowButtonsTest, PlaneResetPutsTheOutputPortAtTheBottomCentre) {
  const int32_t cp = Slot(kUiSTB_CP), soutId = Slot(kUiSOUT);
  V::ControlRecord* plane = C(Window(kWinSYNTH));
  V::ControlRecord* sout = C(soutId);
  V::ControlRecord* keys = C(Window(kWinKBGROUP));
  V::ControlSetVisible(keys, -1);
  PlaneOffset = {30, 40};
  CablesDirty.store(0);
  Click(OnResetPlanePosition, cp);
  EXPECT_EQ(sout->X, static_cast<int32_t>(std::nearbyint(plane->X + plane->W * 0.5)));
  EXPECT_EQ(sout->Y + sout->H, plane->Y + plane->H);
  EXPECT_EQ(PlaneOffset.x, 0);
  EXPECT_EQ(CablesDirty.load(), -1);
  // With a module the port hangs 50 pixels under its box, which moves along.
  V::ControlSetVisible(keys, -1);
  const int32_t i = CreateModule(kTypeOscillator, plane->X + 100, plane->Y + 100, -1);
  ASSERT_GE(i, 0);
  V::ControlRecord* box = C(static_cast<int32_t>(ModuleList.entries[i]->BoxControl.Load()));
  ASSERT_NE(box, nullptr);
  Click(OnResetPlanePosition, cp);
  EXPECT_EQ(sout->Y, box->Y + box->H + 50);
  EXPECT_NEAR(sout->X + sout->W * 0.5, box->X + box->W * 0.5, 1.0);
  EXPECT_EQ(sout->X, static_cast<int32_t>(std::nearbyint(plane->X + plane->W * 0.5)));
}

}  // namespace
}  // namespace panelsa
