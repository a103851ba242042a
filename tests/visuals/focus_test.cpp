#include "visuals/focus.h"

#include <gtest/gtest.h>

#include "gui_fixture.h"

namespace {

using namespace guitest;

// Slot 0: window W1 with b1, a panel (mask 0) holding b2 and b3, and b4 whose
// child is never listed. Slot 1: W2 with c1, c2. Slot 2: empty. Slot 3: W3
// (hidden) with d1.
class FocusTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    root_ = Make(0, 0, 0, 400, 300, 0, "", nullptr);
    w1_ = Make(root_, 0, 0, 100, 100, 0);
    b1_ = Make(w1_, 10, 10, 10, 10, 11);
    panel_ = Make(w1_, 0, 30, 100, 50, 0);
    b2_ = Make(panel_, 10, 5, 10, 10, 11);
    b3_ = Make(panel_, 30, 5, 10, 10, 11);
    b4_ = Make(w1_, 50, 10, 20, 10, 11);
    inner_ = Make(b4_, 2, 2, 5, 5, 11);
    w2_ = Make(root_, 200, 0, 100, 100, 0);
    c1_ = Make(w2_, 10, 10, 10, 10, 11);
    c2_ = Make(w2_, 30, 10, 10, 10, 11);
    w3_ = Make(root_, 0, 200, 100, 100, 0);
    d1_ = Make(w3_, 10, 10, 10, 10, 11);
    ControlSetVisible(ControlAt(w3_), 0);
    WindowList[0] = w1_;
    WindowList[1] = w2_;
    WindowList[3] = w3_;
  }
  void Build() {
    BuildAllFocusLists();
    FocusedControl = FocusWindow(0);
  }
  int32_t root_, w1_, b1_, panel_, b2_, b3_, b4_, inner_, w2_, c1_, c2_, w3_, d1_;
};

TEST_F(FocusTest, ListsHoldTheFocusableControlsInTreeOrder) {
  EXPECT_EQ(FocusNext(), 0);  // inert before the lists exist
  EXPECT_EQ(FocusWindow(0), 0);
  SetFocusControl(b2_);
  EXPECT_EQ(FocusedControl.load(), 0);

  Build();
  ASSERT_EQ(FocusListCounts[0], 4);
  EXPECT_EQ(std::vector<int32_t>(FocusLists[0], FocusLists[0] + 4),
            (std::vector<int32_t>{b1_, b2_, b3_, b4_}));
  EXPECT_EQ(FocusListCounts[1], 2);
  EXPECT_EQ(FocusListCounts[2], 0);
  EXPECT_EQ(FocusListCounts[3], 1);  // hidden windows are listed, and skipped at moves
  EXPECT_EQ(ControlAt(b2_)->Focusable, -1);
  EXPECT_EQ(ControlAt(inner_)->Focusable, 0);
  EXPECT_EQ(ControlAt(panel_)->Focusable, 0);
  EXPECT_EQ(FocusedControl.load(), b1_);
  EXPECT_EQ(FocusReady(), -1);

  // Building again starts the lists afresh.
  BuildAllFocusLists();
  EXPECT_EQ(FocusListCounts[0], 4);
}

TEST_F(FocusTest, NextRunsThroughTheWindowsAndWraps) {
  Build();
  std::vector<int32_t> seen;
  for (int i = 0; i < 7; ++i) seen.push_back(FocusNext());
  // The last control of W1 leads to W2; the empty slot and hidden W3 are passed over.
  EXPECT_EQ(seen, (std::vector<int32_t>{b2_, b3_, b4_, c1_, c2_, b1_, b2_}));
  EXPECT_EQ(FocusWindowSlot(), 0);
  EXPECT_EQ(FocusListPosition(), 1);
}

TEST_F(FocusTest, HiddenAndDisabledControlsAndPanelsArePassedOver) {
  Build();
  ControlSetVisible(ControlAt(panel_), 0);  // b2 and b3 stay visible themselves
  EXPECT_EQ(IsControlFocusable(b2_), 0);
  EXPECT_EQ(FocusNext(), b4_);
  ControlSetVisible(ControlAt(panel_), -1);
  SetDisabled(&ControlAt(c1_)->State, -1);
  EXPECT_EQ(FocusNext(), c2_);
  EXPECT_EQ(IsControlFocusable(c2_), -1);
  SetDisabled(&ControlAt(root_)->State, -1);
  EXPECT_EQ(IsControlFocusable(c2_), 0);
}

TEST_F(FocusTest, WindowMovesSkipEmptyHiddenAndDisabledSlots) {
  Build();
  EXPECT_EQ(FocusNextWindow(), w2_);
  EXPECT_EQ(FocusNextWindow(), w1_);  // from the last slot with a window back to slot 0
  EXPECT_EQ(FocusPrevWindow(), w2_);
  ControlSetVisible(ControlAt(w3_), -1);
  EXPECT_EQ(FocusNextWindow(), w3_);
  SetDisabled(&ControlAt(w2_)->State, -1);
  EXPECT_EQ(IsWindowActive(1), 0);
  EXPECT_EQ(FocusPrevWindow(), w1_);
  EXPECT_EQ(FocusWindow(3), d1_);
  EXPECT_EQ(FocusWindow(99), b1_);  // clamped to the last slot, which is empty: on to slot 0
}

TEST_F(FocusTest, NothingFocusableAnywhereEndsTheSearch) {
  Build();
  for (int32_t w : {w1_, w2_}) ControlSetVisible(ControlAt(w), 0);
  EXPECT_EQ(FocusNext(), 0);
  EXPECT_EQ(FocusPrev(), 0);
  EXPECT_EQ(FocusNextInWindow(-1), 0);
  EXPECT_EQ(FocusWindow(0), 0);
  EXPECT_EQ(FocusNextWindow(), 0);
  // A window whose controls are all hidden, though the window itself shows.
  ControlSetVisible(ControlAt(w1_), -1);
  for (int32_t b : {b1_, b4_}) ControlSetVisible(ControlAt(b), 0);
  ControlSetVisible(ControlAt(panel_), 0);
  EXPECT_EQ(FocusNextInWindow(-1), 0);
}

TEST_F(FocusTest, APressOnAListedControlFocusesIt) {
  Build();
  platform::WindowEventInject(platform::PointerMoveEvent(215, 15, 0, 0));
  platform::WindowEventInject(platform::ButtonEvent(platform::kWindowButtonPress, 1));
  platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
  EXPECT_EQ(GuiMessageLoop(), 0);
  EXPECT_EQ(FocusedControl.load(), c1_);
  EXPECT_EQ(FocusWindowSlot(), 1);
}

TEST_F(FocusTest, TheFirstAnsweringJoystickIsTheGamepad) {
  EXPECT_EQ(FindFirstJoystick(), -1);
  platform::JoystickSimulate(5, true, 0, nullptr);
  platform::JoystickSimulate(9, true, 0, nullptr);
  EXPECT_EQ(FindFirstJoystick(), 5);
  EXPECT_EQ(JoystickPresent[5], -1);
  EXPECT_EQ(JoystickPresent[9], -1);
  EXPECT_EQ(JoystickPresent[0], 0);
}

// The gamepad's stick and button through the event loop: each push of the
// stick moves the focus once; button 1 clicks the focused control.
int32_t g_clicks = 0;
int32_t ClickToQuit(uint32_t bits, int32_t, int32_t, int32_t, int32_t) {
  if (bits == kEventClick && ++g_clicks == 1) PostQuit();
  return 0;
}

TEST_F(FocusTest, TheStickMovesTheFocusAndButtonOneClicks) {
  Build();
  ControlAt(c2_)->EventCallback = ClickToQuit;
  g_clicks = 0;
  float axes[8] = {1.0f, 0.0f, 0, 0, 0, 0, 0, 0};  // right: the next window
  platform::JoystickSimulate(3, true, 0, axes);
  g_step = 0.004;
  // Each run lasts a quarter of a second of the fake timer: several polls.
  auto runFor = [&](int runs) {
    for (int i = 0; i < runs; ++i) ASSERT_EQ(RunFor(0.25), 0);
  };
  runFor(2);
  EXPECT_EQ(Gamepad.Id, 3);
  EXPECT_EQ(FocusMode.load() & 2u, 2u);
  EXPECT_EQ(FocusedControl.load(), c1_);  // moved once, though the stick stays pushed
  axes[0] = 0.0f;
  axes[1] = 1.0f;  // down
  platform::JoystickSimulate(3, true, 0, axes);
  runFor(2);
  EXPECT_EQ(FocusedControl.load(), c2_);
  axes[1] = 0.0f;
  platform::JoystickSimulate(3, true, 1, axes);  // button 1
  runFor(2);  // the click reaches c2 through queue 0; its quit ends one of the runs
  EXPECT_EQ(g_clicks, 1);
  EXPECT_EQ(QUARLE_BASICS::CommandQueuePending(0), 0);

  // A gamepad that stops answering is reset and searched for again.
  platform::JoystickSimulate(3, false, 0, nullptr);
  runFor(6);
  EXPECT_EQ(Gamepad.Id, -1);
  EXPECT_EQ(FocusMode.load() & 2u, 0u);
}

}  // namespace
