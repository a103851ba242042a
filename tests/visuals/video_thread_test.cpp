#include "visuals/video_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "basics/dynzstring.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "platform/screen.h"
#include "platform/threads.h"
#include "platform/video.h"
#include "visuals/control_table.h"
#include "visuals/dirty_region.h"
#include "visuals/glyphs.h"
#include "visuals/visuals.h"

namespace {

using namespace QUARLE_VISUALS;
namespace fs = std::filesystem;

constexpr int32_t kW = 64;
constexpr int32_t kH = 48;
constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint32_t kBlue = 0xFF0000FF;
constexpr uint32_t kGreen = 0xFF00FF00;

std::vector<std::pair<std::string, int32_t>> g_messages;
void Capture(const std::string& text, int32_t level) { g_messages.emplace_back(text, level); }

QUARLE_BASICS::LocalDateTime FivePastTwo() { return {2026, 2, 18, 14, 5, 9}; }

// Waits until done holds. The bound only catches a hang: a busy machine may
// take its time.
bool WaitFor(const std::function<bool()>& done, double seconds = 30.0) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A clock of the test's own for the thread. A sleep moves it on by the time
// asked for plus a wake-up's lateness, so the thread paces and counts exactly
// as on an idle machine however busy this one is; a draw costs what it adds.
// The test lets it run up to a limit: a sleep that would pass it waits there.
std::atomic<double> g_simNow{0.0};
std::atomic<double> g_simLimit{HUGE_VAL};
std::atomic<double> g_simHeldAt{0.0};  // the limit the thread waits at
constexpr double kWakeLateness = 0.00005;
double SimNow() { return g_simNow.load(); }
void SimSleep(double seconds) {
  const double to = g_simNow.load() + std::max(seconds, 0.0) + kWakeLateness;
  for (double limit = g_simLimit.load(); to > limit; limit = g_simLimit.load()) {
    g_simHeldAt = limit;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  g_simNow = to;
}
// Before the thread starts: its clock just after a retrace (1000 s is a whole
// number of them at every rate used here), as a thread woken by one would be,
// running up to the limit.
void UseSimulatedClock(double limit = HUGE_VAL) {
  g_simNow = 1000.0 + kWakeLateness;
  g_simLimit = limit;
  g_simHeldAt = 0.0;
  SetVideoClock(SimNow, SimSleep);
}
// Lets the thread run until its clock reads `until`; true once it waits there.
bool RunSimulatedUntil(double until) {
  g_simLimit = until;
  return WaitFor([until] { return g_simHeldAt.load() == until; });
}

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

uint32_t Le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
  return v;
}

// A 64 x 48 headless screen with a red root and a blue child holding a green
// grandchild.
class VideoThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
    platform::SetSimulatedRefreshRate(1000);
    g_messages.clear();
    QUARLE_BASICS::MessageHook = Capture;
    int64_t w = 0, h = 0;
    ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
    ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
    root_ = Make(0, 0, 0, kW, kH, kRed);
    child_ = Make(root_, 10, 10, 20, 20, kBlue);
    grandchild_ = Make(child_, 2, 2, 4, 4, kGreen);
    dir_ = fs::temp_directory_path() / ("tarvelo_video_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    TargetFps = 60;
  }
  void TearDown() override {
    g_simLimit = HUGE_VAL;  // a thread held by the test's clock must see the stop
    StopVideoThread();
    SetVideoClock(nullptr, nullptr);
    platform::ScreenClose();
    VisualsShutdown();
    QUARLE_BASICS::MessageHook = nullptr;
    QUARLE_BASICS::SetLocalClock(nullptr);
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, "");
    platform::SetSimulatedRefreshRate(0);
    PurgeRequest = 0;
    SnapshotRequest = 0;
    fs::remove_all(dir_);
  }
  static int32_t Make(int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
    int32_t id = -1;
    EXPECT_EQ(CreateControl(parent, x, y, w, h, nullptr, nullptr, -1, 11, "", "", &id), 0);
    ControlAt(id)->Colour = colour;
    UpdateControl(id, 0);
    return id;
  }
  // The visible page is written by the page copy, under the work page's lock.
  static uint32_t Shown(int32_t x, int32_t y) {
    platform::WorkPageGuard page;
    const uint32_t* p = platform::ScreenPagePixels(1);
    return p ? p[y * kW + x] : 0;
  }
  // The system path of the temporary folder.
  std::string SystemDir() const { return platform::FromOsPath(dir_.string()); }

  int32_t root_ = 0, child_ = 0, grandchild_ = 0;
  fs::path dir_;
};

TEST_F(VideoThreadTest, FramesReachTheVisiblePageUntilTheThreadStops) {
  TargetFps = 10;
  InterfaceReady = -1;
  ASSERT_EQ(StartVideoThread(0), 0);
  ASSERT_NE(VideoThreadHandle, nullptr);
  EXPECT_EQ(StartVideoThread(0), 0);  // a running thread is kept
  ASSERT_TRUE(WaitFor([] { return VideoThreadActive.load() == -1; }));
  EXPECT_EQ(TargetFps.load(), kMinTargetFps);
  EXPECT_EQ(platform::ScreenWorkPage(), 0);
  EXPECT_EQ(platform::ScreenVisiblePage(), 1);
  ASSERT_TRUE(WaitFor([] { return Shown(1, 1) == kRed && Shown(20, 20) == kBlue; }));
  EXPECT_EQ(Shown(13, 13), kGreen);
  EXPECT_EQ(VideoThreadStopper, &StopVideoThread);

  StopVideoThread();
  EXPECT_EQ(VideoThreadHandle, nullptr);
  EXPECT_EQ(VideoThreadActive.load(), 0);
  EXPECT_EQ(VideoRunFlag.load(), 0);
  EXPECT_EQ(InterfaceReady.load(), 0);
  EXPECT_FALSE(platform::ScreenIsOpen());  // the window goes with the thread

  ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
  TargetFps = 200;
  ASSERT_EQ(StartVideoThread(0), 0);
  ASSERT_TRUE(WaitFor([] { return VideoThreadActive.load() == -1; }));
  EXPECT_EQ(TargetFps.load(), kMaxTargetFps);
}

TEST_F(VideoThreadTest, NothingIsRenderedWhileTheInterfaceIsNotReady) {
  InterfaceReady = 0;
  ASSERT_EQ(StartVideoThread(0), 0);
  ASSERT_TRUE(WaitFor([] { return VideoThreadActive.load() == -1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(Shown(1, 1), 0u);
  InterfaceReady = -1;
  EXPECT_TRUE(WaitFor([] { return Shown(1, 1) == kRed; }));
}

TEST_F(VideoThreadTest, FlaggedControlsStayUntilThePurgeRemovesTheirSubtree) {
  ControlAt(child_)->DeletePending = -1;
  InterfaceReady = -1;
  ASSERT_EQ(StartVideoThread(0), 0);
  ASSERT_TRUE(WaitFor([] { return Shown(20, 20) == kBlue; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(ControlAt(child_), nullptr);  // still drawn, still there

  PurgeRequest = -1;
  ASSERT_TRUE(WaitFor([] { return PurgeRequest.load() == 0; }));
  ASSERT_TRUE(WaitFor([] { return Shown(20, 20) == kRed; }));
  EXPECT_EQ(ControlAt(child_), nullptr);
  EXPECT_EQ(ControlAt(grandchild_), nullptr);
  const IdSet& kids = ControlAt(root_)->Children;
  for (uint32_t i = 0; i < kids.Count; ++i) EXPECT_NE(kids.Ids[i], child_);
}

// Every pass that draws or purges runs with the frame serial odd, and a pass
// ends it even: what the interface takes away from the drawing (a removed
// module) is freed only once a pass in progress at that time is over.
std::atomic<int32_t> g_passes{0};
std::atomic<int32_t> g_evenInsideAPass{0};
void CountPass() {
  ++g_passes;
  if ((VideoFrameSerial.load() & 1) == 0) ++g_evenInsideAPass;
}
int32_t DrawAndLookAtTheSerial(RenderRecord*, int32_t) {
  if ((VideoFrameSerial.load() & 1) == 0) ++g_evenInsideAPass;
  return 0;
}

TEST_F(VideoThreadTest, EveryPassThatDrawsRunsWithAnOddFrameSerial) {
  g_passes = 0;
  g_evenInsideAPass = 0;
  ControlAt(child_)->DrawCallback = DrawAndLookAtTheSerial;
  SetFrameWatch(CountPass, CountPass);
  const uint64_t before = VideoFrameSerial.load();
  ASSERT_EQ(before & 1, 0u);
  InterfaceReady = -1;
  ASSERT_EQ(StartVideoThread(0), 0);
  ASSERT_TRUE(WaitFor([] { return g_passes.load() >= 6; }));
  PurgeRequest = -1;
  ASSERT_TRUE(WaitFor([] { return PurgeRequest.load() == 0 && g_passes.load() >= 12; }));
  StopVideoThread();
  SetFrameWatch(nullptr, nullptr);
  EXPECT_EQ(g_evenInsideAPass.load(), 0);
  // Two watch calls and two steps of the serial a pass.
  EXPECT_EQ(VideoFrameSerial.load() - before, static_cast<uint64_t>(g_passes.load()));
}

TEST_F(VideoThreadTest, ASnapshotIsAValidBmpOfTheScreenNamedByTheTime) {
  QUARLE_BASICS::SetLocalClock(FivePastTwo);
  EXPECT_EQ(SnapshotName(), "SNAP_20260218-14h05m09.bmp");
  // Paint the visible page: red, with a blue top-left pixel and a green bottom row.
  uint32_t* page = platform::ScreenPagePixels(1);
  platform::ScreenSetPages(0, 1);
  for (int32_t i = 0; i < kW * kH; ++i) page[i] = kRed;
  page[0] = kBlue;
  for (int32_t x = 0; x < kW; ++x) page[(kH - 1) * kW + x] = kGreen;

  const std::string folder = SystemDir() + "\\SNAPSHOTS\\";  // not there yet: made
  ASSERT_EQ(SaveSnapshot(folder), 0);
  const fs::path file = dir_ / "SNAPSHOTS" / "SNAP_20260218-14h05m09.bmp";
  ASSERT_TRUE(fs::exists(file));
  const std::string s = ReadFile(file);
  const uint32_t row = kW * 3;  // 192: already a multiple of 4
  ASSERT_EQ(s.size(), 54u + row * kH);
  EXPECT_EQ(s.substr(0, 2), "BM");
  EXPECT_EQ(Le(s, 2, 4), s.size());
  EXPECT_EQ(Le(s, 10, 4), 54u);
  EXPECT_EQ(Le(s, 14, 4), 40u);
  EXPECT_EQ(Le(s, 18, 4), static_cast<uint32_t>(kW));
  EXPECT_EQ(Le(s, 22, 4), static_cast<uint32_t>(kH));
  EXPECT_EQ(Le(s, 26, 2), 1u);
  EXPECT_EQ(Le(s, 28, 2), 24u);
  EXPECT_EQ(Le(s, 30, 4), 0u);  // uncompressed
  // Rows run bottom-up: the first stored row is the green bottom one.
  EXPECT_EQ(Le(s, 54, 3), 0x00FF00u);
  EXPECT_EQ(Le(s, 54 + row * (kH - 1), 3), 0x0000FFu);      // blue top-left, as B, G, R
  EXPECT_EQ(Le(s, 54 + row * (kH - 1) + 3, 3), 0xFF0000u);  // red beside it
}

TEST_F(VideoThreadTest, SnapshotFailuresAreErrors) {
  // A file where the folder should be: the picture cannot be created.
  std::ofstream(dir_ / "BLOCKED") << "x";
  EXPECT_LT(SaveSnapshot(SystemDir() + "\\BLOCKED\\"), 0);
  platform::ScreenClose();
  EXPECT_EQ(SaveSnapshot(SystemDir() + "\\"), -19);
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1);  // only the blocking file: no half-made picture
}

TEST_F(VideoThreadTest, ASnapshotTheDiskCannotHoldIsNoSnapshot) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // A small screen: its whole picture waits in the stream's buffer, so the
  // full disk shows only when the buffer is written.
  platform::ScreenClose();
  ASSERT_TRUE(platform::ScreenOpen(16, 8, 32, 2, 0, 0));
  QUARLE_BASICS::SetLocalClock(FivePastTwo);
  fs::create_directories(dir_ / "SNAPSHOTS");
  // One taken before within the same second, and the picture's side file on
  // a full device.
  const fs::path file = dir_ / "SNAPSHOTS" / "SNAP_20260218-14h05m09.bmp";
  std::ofstream(file) << "earlier";
  const fs::path side = dir_ / "SNAPSHOTS" / "SNAP_20260218-14h05m09.bmp~tarvelo-1.tmp";
  fs::create_symlink("/dev/full", side);
  EXPECT_EQ(SaveSnapshot(SystemDir() + "\\SNAPSHOTS\\"), -3);  // the disk's file error
  EXPECT_FALSE(fs::exists(fs::symlink_status(side)));  // nothing half-made left behind
  EXPECT_EQ(ReadFile(file), "earlier");
  // With room on the disk the same name takes the new picture whole.
  ASSERT_EQ(SaveSnapshot(SystemDir() + "\\SNAPSHOTS\\"), 0);
  EXPECT_EQ(ReadFile(file).size(), 54u + 16 * 3 * 8);
}

TEST_F(VideoThreadTest, TheThreadTakesRequestedSnapshotsIntoTheHomeFolder) {
  QUARLE_BASICS::SetLocalClock(FivePastTwo);
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, SystemDir().c_str());
  InterfaceReady = -1;
  ASSERT_EQ(StartVideoThread(0), 0);
  ASSERT_TRUE(WaitFor([] { return Shown(1, 1) == kRed; }));
  SnapshotRequest = -1;
  ASSERT_TRUE(WaitFor([] { return SnapshotRequest.load() == 0; }));
  StopVideoThread();
  const fs::path file = dir_ / "SNAPSHOTS" / "SNAP_20260218-14h05m09.bmp";
  ASSERT_TRUE(fs::exists(file));
  const std::string s = ReadFile(file);
  ASSERT_EQ(s.size(), 54u + kW * 3 * kH);
  EXPECT_EQ(Le(s, 54 + kW * 3 * (kH - 1), 3), 0xFF0000u);  // the red root, top-left
}

// A requested snapshot that cannot be saved leaves its code for the main thread.
TEST_F(VideoThreadTest, ARequestedSnapshotThatFailsLeavesItsCode) {
  std::ofstream(dir_ / "SNAPSHOTS") << "x";  // a file where the folder should be
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, SystemDir().c_str());
  InterfaceReady = -1;
  SnapshotError = 0;
  ASSERT_EQ(StartVideoThread(0), 0);
  SnapshotRequest = -1;
  ASSERT_TRUE(WaitFor([] { return SnapshotRequest.load() == 0; }));
  StopVideoThread();
  EXPECT_LT(SnapshotError.exchange(0), 0);
}

TEST_F(VideoThreadTest, AFailedStartIsReported) {
  FailNextVideoThreadStart();
  EXPECT_EQ(StartVideoThread(0), -29);
  EXPECT_EQ(VideoThreadHandle, nullptr);
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0].first.rfind("VIDEO THREAD STARTUP: ", 0), 0u);
  EXPECT_EQ(g_messages[0].first, "VIDEO THREAD STARTUP: " + QUARLE_BASICS::ErrorText(29));
  EXPECT_EQ(g_messages[0].second, QUARLE_BASICS::kLevelError);
}

// Ten retraces timed on the thread's clock give the display's rate, rounded;
// a start without the measurement keeps the last one.
TEST_F(VideoThreadTest, TheRefreshRateIsMeasuredOverTenRetraces) {
  for (const int32_t hz : {60, 75, 144, 400}) {
    SCOPED_TRACE(hz);
    UseSimulatedClock();
    platform::SetSimulatedRefreshRate(hz);
    RefreshRate = 0;
    ASSERT_EQ(StartVideoThread(-1), 0);
    EXPECT_EQ(RefreshRate.load(), hz);
    StopVideoThread();
    ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
  }
  ASSERT_EQ(StartVideoThread(0), 0);
  EXPECT_EQ(RefreshRate.load(), 400);
}

// A draw callback that paints its whole box with slanted stripes (lines that a
// frame's clip cuts across), counting its calls.
int g_draws = 0;
int32_t Striped(RenderRecord* snap, int32_t) {
  ++g_draws;
  platform::DrawBox(DrawTarget, snap->X, snap->Y, snap->W, snap->H, snap->Colour);
  for (int32_t i = 3; i < snap->H; i += 3)
    platform::DrawLine(DrawTarget, snap->X, snap->Y + i, snap->X + snap->W - 1, snap->Y + i - 2,
                       0xFF000000u | static_cast<uint32_t>(i * 0x010203));
  return 0;
}

std::vector<uint32_t> ShownPage() {
  platform::WorkPageGuard page;
  const uint32_t* p = platform::ScreenPagePixels(1);
  return std::vector<uint32_t>(p, p + kW * kH);
}

TEST_F(VideoThreadTest, AFrameWithNothingChangedDrawsAndCopiesNothing) {
  const int32_t striped = Make(root_, 40, 5, 12, 12, kGreen);
  ControlAt(striped)->DrawCallback = Striped;
  g_draws = 0;
  EXPECT_GT(RenderFrame(true), 0);
  EXPECT_EQ(g_draws, 1);
  EXPECT_EQ(Shown(45, 6), kGreen);

  // A mark on the work page would reach the window with any copy.
  platform::ScreenPagePixels(0)[0] = 0xFF123456u;
  EXPECT_EQ(RenderFrame(false), 0);
  EXPECT_EQ(g_draws, 1);
  EXPECT_EQ(Shown(0, 0), kRed);

  // Published again without a change: nothing to draw.
  platform::ScreenPagePixels(0)[0] = kRed;
  UpdateControl(striped, 0);
  EXPECT_EQ(RenderFrame(false), 0);
  EXPECT_EQ(g_draws, 1);

  // Asked to redraw: drawn, but nothing differs to be shown.
  ControlPublish(ControlAt(striped), -1);
  EXPECT_EQ(RenderFrame(false), 0);
  EXPECT_EQ(g_draws, 2);
}

// Drawn like Striped; registered as showing neither the hover nor the press
// point, and as painting 5 pixels above its rectangle.
int32_t StripedElsewhere(RenderRecord* snap, int32_t id) { return Striped(snap, id); }
void FiveAbove(const ControlRecord*, int32_t&, int32_t& y0, int32_t&, int32_t&) { y0 = -5; }

// A publish marks the control when its drawn record changes, and only then.
TEST_F(VideoThreadTest, APublishMarksOnlyAChangeOfWhatTheDrawShows) {
  SetDrawIgnores(StripedElsewhere, kIgnoresHover | kIgnoresPressPoint);
  SetPaintReach(StripedElsewhere, FiveAbove);
  struct Case {
    const char* what;
    DrawCallbackFn draw;
    void (*apply)(ControlRecord* c);
    bool marked;
  };
  const Case cases[] = {
      {"nothing changed", Striped, [](ControlRecord*) {}, false},
      {"hover", Striped, [](ControlRecord* c) { c->State.Active = -1; }, true},
      {"hover, not shown", StripedElsewhere, [](ControlRecord* c) { c->State.Active = -1; }, false},
      {"press point", Striped, [](ControlRecord* c) { c->PressX = 7; }, true},
      {"press point, not shown", StripedElsewhere, [](ControlRecord* c) { c->PressY = 7; }, false},
      {"pressed", StripedElsewhere, [](ControlRecord* c) { c->State.Pressed = -1; }, true},
      {"on", Striped, [](ControlRecord* c) { c->State.On = -1; }, true},
      {"text", Striped, [](ControlRecord* c) { TextFieldSetText(&c->Text, "x"); }, true},
      {"selected row", Striped, [](ControlRecord* c) { c->Text.Selected = 2; }, true},
      {"text colour", Striped, [](ControlRecord* c) { c->Text.TextColour = kRed; }, true},
      {"glyph", Striped, [](ControlRecord* c) { c->Style.Glyph = 'A'; }, true},
      {"tag", Striped, [](ControlRecord* c) { c->Tag = 3; }, true},
      {"shared pointer", Striped, [](ControlRecord* c) { c->UserPointer = c; }, true},
      {"plain box: hover", nullptr, [](ControlRecord* c) { c->State.Active = -1; }, false},
      {"plain box: colour", nullptr, [](ControlRecord* c) { c->Colour = kBlue; }, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const int32_t id = Make(root_, 20, 20, 10, 10, kGreen);
    ControlRecord* c = ControlAt(id);
    c->DrawCallback = k.draw;
    ControlPublish(c, -1);
    std::vector<platform::ScreenRect> rects;
    bool whole = false;
    TakeDirtyRegion(rects, whole);
    k.apply(c);
    UpdateControl(id, 0);
    TakeDirtyRegion(rects, whole);
    EXPECT_FALSE(whole);
    EXPECT_EQ(!rects.empty(), k.marked);
    // A mark takes in what the control paints above itself.
    for (const auto& r : rects) EXPECT_EQ(r.y, k.draw == StripedElsewhere ? 15 : 20);
    DestroyControlTree(c);
  }
}

struct Change {
  const char* name;
  void (*apply)(int32_t child, int32_t striped, int32_t clipped);
};

const Change kChanges[] = {
    {"colour", [](int32_t child, int32_t, int32_t) { ControlAt(child)->Colour = kGreen; }},
    {"move uncovers the old place",
     [](int32_t child, int32_t, int32_t) {
       ControlSetX(ControlAt(child), 30);
       ControlSetY(ControlAt(child), 25);
     }},
    {"hidden", [](int32_t child, int32_t, int32_t) { ControlSetVisible(ControlAt(child), 0); }},
    {"translucent", [](int32_t, int32_t striped, int32_t) { ControlSetAlpha(ControlAt(striped), 100); }},
    {"disabled overlay",
     [](int32_t child, int32_t, int32_t) { SetDisabled(&ControlAt(child)->State, -1); }},
    {"clipped by its parent", [](int32_t, int32_t, int32_t clipped) {
       ControlAt(clipped)->Colour = kBlue;
       ControlSetX(ControlAt(clipped), 52);
     }},
};

TEST_F(VideoThreadTest, APartialRedrawShowsWhatAWholeRedrawShows) {
  for (const Change& change : kChanges) {
    SCOPED_TRACE(change.name);
    DestroyAllControls();
    root_ = Make(0, 0, 0, kW, kH, kRed);
    child_ = Make(root_, 10, 10, 20, 20, kBlue);
    grandchild_ = Make(child_, 2, 2, 4, 4, kGreen);
    const int32_t striped = Make(root_, 14, 18, 24, 14, 0xFF808080u);
    ControlAt(striped)->DrawCallback = Striped;
    const int32_t frame = Make(root_, 44, 30, 16, 14, 0xFF202020u);
    ControlAt(frame)->ClipChildren = -1;
    const int32_t clipped = Make(frame, 6, 4, 14, 6, kGreen);
    // A control far from every change: a partial frame leaves it alone.
    const int32_t far = Make(root_, 2, 40, 6, 6, 0xFF00FFFFu);
    ControlAt(far)->DrawCallback = Striped;
    EXPECT_GT(RenderFrame(true), 0);

    change.apply(child_, striped, clipped);
    for (int32_t id : {child_, striped, clipped}) UpdateControl(id, 0);
    g_draws = 0;
    EXPECT_GT(RenderFrame(false), 0);
    const std::vector<uint32_t> partial = ShownPage();
    EXPECT_LE(g_draws, 1);  // at most the striped control, never the far one

    MarkAllControlsDirty();
    RenderFrame(true);
    const std::vector<uint32_t> whole = ShownPage();
    int32_t differing = 0;
    for (size_t i = 0; i < whole.size(); ++i) differing += partial[i] != whole[i];
    EXPECT_EQ(differing, 0);
  }
}

// A box with its glyph layer inside the border, the glyph taller than the box
// (a module's output port is one).
int32_t BoxWithGlyph(RenderRecord* snap, int32_t id) {
  platform::DrawBox(DrawTarget, snap->X, snap->Y, snap->W, snap->H, snap->Colour);
  ControlRecord* c = ControlAt(id);
  if (c && c->LayerCount > 0 && c->Layers[0])
    platform::ImageCopyAlpha(c->Layers[0], 0, 0, c->Layers[0]->width, c->Layers[0]->height, DrawTarget,
                             snap->X + BorderWidth, snap->Y + BorderWidth);
  return 0;
}

// What a control paints past its rectangle is marked with it: where it is
// made, where it moves from and to, and where it is hidden; hiding or fading a
// parent takes a child lying outside it along.
TEST_F(VideoThreadTest, PartialFramesCoverWhatControlsPaintPastTheirRectangles) {
  const auto stale = [] {
    RenderFrame(false);
    const std::vector<uint32_t> partial = ShownPage();
    MarkAllControlsDirty();
    RenderFrame(true);
    const std::vector<uint32_t> whole = ShownPage();
    int32_t n = 0;
    for (size_t i = 0; i < whole.size(); ++i) n += partial[i] != whole[i];
    return n;
  };
  BorderWidth = 2;
  RenderFrame(true);
  const int32_t port = Make(root_, 36, 8, 12, 6, kBlue);
  ASSERT_EQ(ControlCreateLayer(ControlAt(port), 0, 8, 10, kGreen), 0);
  ControlAt(port)->DrawCallback = BoxWithGlyph;
  UpdateControl(port, 0);
  EXPECT_EQ(stale(), 0) << "made";
  for (int32_t step = 0; step < 5; ++step) {
    ControlSetX(ControlAt(port), ControlAt(port)->X - 2);
    ControlSetY(ControlAt(port), ControlAt(port)->Y + 3);
    UpdateControl(port, 0);
    RenderFrame(false);
  }
  EXPECT_EQ(stale(), 0) << "dragged";
  ControlSetVisible(ControlAt(port), 0);
  UpdateControl(port, 0);
  EXPECT_EQ(stale(), 0) << "hidden";

  // The grandchild moved below its parent's rectangle.
  ControlSetY(ControlAt(grandchild_), 34);
  UpdateControl(grandchild_, 0);
  RenderFrame(false);
  ControlSetVisible(ControlAt(child_), 0);
  UpdateControl(child_, 0);
  EXPECT_EQ(stale(), 0) << "parent hidden";
  ControlSetVisible(ControlAt(child_), -1);
  UpdateControl(child_, 0);
  EXPECT_EQ(stale(), 0) << "parent shown";
  ControlSetAlpha(ControlAt(child_), 0);
  UpdateControl(child_, 0);
  EXPECT_EQ(stale(), 0) << "parent transparent";
  BorderWidth = 3;
}

// A draw that costs 50 ms of the thread's clock.
int32_t SlowDraw(RenderRecord* snap, int32_t) {
  platform::DrawBox(DrawTarget, snap->X, snap->Y, snap->W, snap->H, snap->Colour);
  SimSleep(0.05);
  return 0;
}

// A pass that finds the screen current shows a frame too: a quiet screen
// counts the target rate, and only a draw too slow for it lowers the count
// (at most 30 of 60 is the read-out's red).
TEST_F(VideoThreadTest, AQuietScreenCountsItsFramesAndASlowDrawDoesNot) {
  const int32_t slow = Make(root_, 40, 5, 12, 12, kGreen);
  ControlAt(slow)->DrawCallback = SlowDraw;
  UseSimulatedClock(1000.0);  // held until the test lets it go
  TargetFps = 60;
  InterfaceReady = -1;
  ASSERT_EQ(StartVideoThread(0), 0);
  // The first second draws everything; the second finds the screen current.
  ASSERT_TRUE(RunSimulatedUntil(1002.5));
  EXPECT_EQ(FrameRate.load(), 60);
  EXPECT_GE(IdleFrameRate.load(), 59);
  AddLiveDrawCallback(SlowDraw);  // now drawn every frame
  ASSERT_TRUE(RunSimulatedUntil(1005.0));
  EXPECT_EQ(FrameRate.load(), 20);  // 50 ms a frame
  g_simLimit = HUGE_VAL;
  StopVideoThread();
  ClearLiveDrawCallbacks();
}

TEST_F(VideoThreadTest, LiveControlsAreRedrawnOnlyWhileTheirDataMayChange) {
  static bool news = false;
  const int32_t live = Make(root_, 40, 5, 12, 12, kGreen);
  ControlAt(live)->DrawCallback = Striped;
  AddLiveDrawCallback(Striped, [] { return news; });
  RenderFrame(true);
  g_draws = 0;
  EXPECT_EQ(RenderFrame(false), 0);
  EXPECT_EQ(g_draws, 0);
  news = true;
  ControlAt(live)->Colour = kBlue;  // live data the control did not publish
  ControlAt(live)->Render->Colour = kBlue;
  EXPECT_GT(RenderFrame(false), 0);
  EXPECT_EQ(g_draws, 1);
  EXPECT_EQ(Shown(45, 6), kBlue);
  ClearLiveDrawCallbacks();
}

// Rectangles marked with row spans keep them through the merging: a join takes
// in each row the columns from the first either covers to the last; spans are
// cut to their rectangle; too many rectangles become one box without spans.
TEST_F(VideoThreadTest, MarkedRowSpansSurviveMergingAsTheirPerRowHull) {
  using Rows = std::vector<int32_t>;
  struct Mark {
    platform::ScreenRect r;
    Rows spans;  // empty: a plain rectangle
  };
  struct Case {
    const char* name;
    std::vector<Mark> marks;
    platform::ScreenRect box;
    Rows rows;  // empty: all of the box
  };
  const Case cases[] = {
      {"alone, cut to its rectangle", {{{10, 10, 4, 3}, {10, 12, 8, 20, 12, 12}}},
       {10, 10, 4, 3}, {10, 12, 10, 14, 12, 12}},
      {"two overlapping",
       {{{10, 10, 4, 3}, {10, 11, 12, 13, 13, 14}}, {{10, 11, 4, 3}, {13, 14, 10, 11, 11, 12}}},
       {10, 10, 4, 4}, {10, 11, 12, 14, 10, 14, 11, 12}},
      {"with a plain one",
       {{{10, 10, 6, 4}, {10, 11, 14, 16, 12, 12, 10, 16}}, {{12, 11, 3, 2}, {}}},
       {10, 10, 6, 4}, {10, 11, 12, 16, 12, 15, 10, 16}},
      {"far apart stay apart", {{{0, 0, 4, 2}, {0, 1, 2, 3}}, {{40, 30, 4, 2}, {}}},
       {0, 0, 4, 2}, {0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<platform::ScreenRect> rects;
    std::vector<Rows> rows;
    bool whole = false;
    TakeDirtyRegion(rects, rows, whole);  // whatever came before
    for (const Mark& m : c.marks) {
      if (m.spans.empty())
        MarkScreenDirty(m.r.x, m.r.y, m.r.w, m.r.h);
      else
        MarkScreenRows(m.r.x, m.r.y, m.r.w, m.r.h, m.spans.data());
    }
    TakeDirtyRegion(rects, rows, whole);
    EXPECT_FALSE(whole);
    ASSERT_EQ(rects.size(), rows.size());
    ASSERT_GE(rects.size(), 1u);
    EXPECT_EQ(rects[0].x, c.box.x);
    EXPECT_EQ(rects[0].y, c.box.y);
    EXPECT_EQ(rects[0].w, c.box.w);
    EXPECT_EQ(rects[0].h, c.box.h);
    EXPECT_EQ(rows[0], c.rows);
  }
  // Beyond the count a frame draws separately: one box, all of it.
  std::vector<platform::ScreenRect> rects;
  std::vector<Rows> rows;
  bool whole = false;
  const int32_t spans[] = {0, 1, 0, 1};
  for (int32_t i = 0; i < 9; ++i) MarkScreenRows(i * 5, i * 4, 2, 2, spans);
  TakeDirtyRegion(rects, rows, whole);
  ASSERT_EQ(rects.size(), 1u);
  EXPECT_TRUE(rows[0].empty());
}

// A live control whose view names row spans is redrawn there only, and what
// it shows there is what a whole redraw shows.
const int32_t* g_liveSpans = nullptr;
int32_t SpannedArea(const platform::ScreenRect& c, platform::ScreenRect* areas) {
  areas[0] = c;
  return 1;
}
const int32_t* SpannedRows(int32_t area) { return area == 0 ? g_liveSpans : nullptr; }

TEST_F(VideoThreadTest, ALiveControlWithRowSpansIsRedrawnAlongThemOnly) {
  static bool news = false;
  const int32_t live = Make(root_, 40, 5, 12, 12, kGreen);
  ControlAt(live)->DrawCallback = Striped;
  AddLiveDrawCallback(Striped, [] { return news; }, SpannedArea, SpannedRows);
  RenderFrame(true);
  std::vector<int32_t> spans;
  for (int32_t r = 0; r < 12; ++r) {
    spans.push_back(40 + r % 5);
    spans.push_back(r == 7 ? 40 + r % 5 : 46 + r % 4);  // row 7 empty
  }
  g_liveSpans = spans.data();
  news = true;
  ControlAt(live)->Render->Colour = kBlue;  // live data the control did not publish
  const std::vector<uint32_t> before = ShownPage();
  EXPECT_GT(RenderFrame(false), 0);
  const std::vector<uint32_t> partial = ShownPage();
  news = false;
  MarkAllControlsDirty();
  RenderFrame(true);
  const std::vector<uint32_t> all = ShownPage();
  for (int32_t y = 0; y < kH; ++y) {
    for (int32_t x = 0; x < kW; ++x) {
      const int32_t r = y - 5;
      const bool inside = r >= 0 && r < 12 && x >= spans[2 * r] && x < spans[2 * r + 1];
      EXPECT_EQ(partial[y * kW + x], inside ? all[y * kW + x] : before[y * kW + x])
          << x << "," << y;
    }
  }
  EXPECT_NE(partial, before);
  g_liveSpans = nullptr;
  ClearLiveDrawCallbacks();
}

}  // namespace
