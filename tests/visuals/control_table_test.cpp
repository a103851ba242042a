#include "visuals/control_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "basics/messages.h"
#include "basics/queues.h"
#include "platform/display.h"
#include "platform/display_link.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace {

using namespace QUARLE_VISUALS;

std::vector<std::pair<std::string, int32_t>> g_messages;
void Capture(const std::string& text, int32_t level) { g_messages.emplace_back(text, level); }

std::vector<platform::DisplayMode> Modes(std::initializer_list<std::pair<int, int>> sizes,
                                         int depth = 32) {
  std::vector<platform::DisplayMode> modes;
  for (auto [w, h] : sizes) modes.push_back({w, h, depth});
  return modes;
}

class VisualsInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
  }
  void TearDown() override {
    VisualsShutdown();
    platform::DisplayResetSimulated();
    platform::FailNextMutexCreations(0);
  }
};

TEST_F(VisualsInitTest, DesktopSizePicksTheMatchingMode) {
  platform::DisplaySetSimulated(Modes({{1024, 768}, {1280, 720}, {1600, 900}, {1920, 1080}}),
                                1920, 1080, 1);
  int64_t w = 0, h = 0;
  ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
  EXPECT_EQ(w, 1920);
  EXPECT_EQ(h, 1080);
  EXPECT_EQ(ScreenModeCount, 3);  // 1024 x 768 is below the minimum
  EXPECT_EQ(ScreenModeIndex, 2);
  EXPECT_EQ(ScreenWidth, 1920);
  EXPECT_EQ(ScreenHeight, 1080);
  EXPECT_EQ(WindowSlotCount, 12);
  EXPECT_EQ(ControlTableCapacity(), kControlTableCapacity);
  EXPECT_EQ(ControlTableCount(), 0);
  EXPECT_GE(VisualsCommandQueue, 0);
  EXPECT_NE(MT_DRAW, nullptr);
  EXPECT_NE(MT_HOVER, nullptr);
  EXPECT_NE(MT_FONT, nullptr);
  EXPECT_NE(MT_CONTROLCOUNT, nullptr);

  // A second start changes nothing.
  int64_t w2 = 1300, h2 = 0;
  EXPECT_EQ(QUARLE_VISUALS::init(12, w2, h2, 1), -1);
  EXPECT_EQ(w2, 1300);
  EXPECT_EQ(ScreenModeIndex, 2);
}

TEST_F(VisualsInitTest, SmallWishesAreRaisedAndTheLargestFittingModeIsChosen) {
  platform::DisplaySetSimulated(Modes({{1280, 720}, {1280, 1024}, {1600, 900}, {1920, 1080}}),
                                1920, 1080, 1);
  int64_t w = 1000, h = 0;  // h = round(1000 / 1.777...) = 563, raised to 720
  ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
  EXPECT_EQ(w, 1280);
  EXPECT_EQ(h, 720);
  EXPECT_EQ(ScreenModeIndex, 0);
  VisualsShutdown();

  w = 0;
  h = 900;  // w = round(900 x 16 / 9) = 1600
  ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
  EXPECT_EQ(w, 1600);
  EXPECT_EQ(ScreenModeIndex, 2);
  VisualsShutdown();

  w = 5000;
  h = 5000;  // lowered to the desktop
  ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
  EXPECT_EQ(w, 1920);
  EXPECT_EQ(h, 1080);
  EXPECT_EQ(ScreenModeIndex, 3);
  EXPECT_EQ(ScreenSizePassedOver, 0);
}

// A size saved for another display: the smallest mode the desktop holds
// stands in, and the caller hears that the wish was passed over.
TEST_F(VisualsInitTest, AWishNoModeFitsTakesTheSmallestMode) {
  platform::DisplaySetSimulated(Modes({{1920, 1080}, {2560, 1440}}), 2560, 1440, 1);
  int64_t w = 1280, h = 720;
  ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 2), 0);
  EXPECT_EQ(ScreenModeIndex, 0);
  EXPECT_EQ(ScreenSizePassedOver, -1);
  EXPECT_EQ(w, 1920);
  EXPECT_EQ(h, 1080);
  EXPECT_EQ(ScreenWidth, 1920);  // one monitor attached
  EXPECT_EQ(ScreenHeight, 1080);
}

TEST_F(VisualsInitTest, FailuresGiveTheirCodes) {
  // No 32-bit mode in range; the display's failure text names the display
  // and the reason, for the start-up's last words.
  platform::DisplaySetSimulated(Modes({{1920, 1080}}, 16), 1920, 1080, 1);
  int64_t w = 0, h = 0;
  platform::SetDisplayFailure("");
  EXPECT_EQ(QUARLE_VISUALS::init(12, w, h, 1), -19);
  EXPECT_EQ(ScreenModeCount, 0);
  EXPECT_EQ(VisualsInitialised, 0);
  EXPECT_EQ(platform::DisplayFailureText(),
            platform::DisplayName() + ": no 32-bit display mode from 1280 x 720 to 4096 x 2160");
  // No mode small enough for the desktop.
  platform::DisplaySetSimulated(Modes({{1920, 1080}}), 1600, 900, 1);
  EXPECT_EQ(QUARLE_VISUALS::init(12, w, h, 1), -19);
  EXPECT_EQ(platform::DisplayFailureText(),
            platform::DisplayName() + ": no display mode fits its desktop of 1600 x 900");
  platform::SetDisplayFailure("");
  // An unknown desktop.
  platform::DisplaySetSimulated(Modes({{1920, 1080}}), 0, 0, 1);
  EXPECT_EQ(QUARLE_VISUALS::init(12, w, h, 1), -19);
  platform::DisplayResetSimulated();
  EXPECT_EQ(QUARLE_VISUALS::init(0, w, h, 1), -19);
  VisualsShutdown();

  platform::FailNextMutexCreations(1);  // MT_FONT
  EXPECT_EQ(QUARLE_VISUALS::init(12, w, h, 1), -26);
  EXPECT_EQ(MT_FONT, nullptr);
  EXPECT_NE(MT_DRAW, nullptr);  // made before the check; kept
  // A later attempt completes what is missing.
  w = h = 0;
  EXPECT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
  EXPECT_NE(MT_FONT, nullptr);
}

TEST_F(VisualsInitTest, ShutdownIsHarmlessWithoutAStart) {
  VisualsShutdown();
  VisualsShutdown();
  EXPECT_EQ(ControlAt(0), nullptr);
  EXPECT_EQ(CreateControl(0, 0, 0, 1, 1, nullptr, nullptr, -1, 11, "", ""), -21);
  EXPECT_EQ(UpdateControl(0, 0), -19);
  EXPECT_EQ(ControlHitTest(0, 0, 0), 0);
}

// A started namespace with a root of 400 x 300.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
    g_messages.clear();
    QUARLE_BASICS::MessageHook = Capture;
    int64_t w = 0, h = 0;
    ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
    ASSERT_EQ(Make(0, 0, 0, 400, 300), 0);
  }
  void TearDown() override {
    VisualsShutdown();
    QUARLE_BASICS::MessageHook = nullptr;
    platform::FailNextMutexCreations(0);
  }
  // Creates a visible control and returns its id.
  static int32_t Make(int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
                      int32_t mask = 11) {
    int32_t id = -1;
    EXPECT_EQ(CreateControl(parent, x, y, w, h, nullptr, nullptr, -1, mask, "X", "tip", &id), 0);
    return id;
  }
  static ControlRecord* C(int32_t id) { return ControlAt(id); }
  static std::vector<int32_t> Kids(int32_t id) {
    const IdSet& s = C(id)->Children;
    return std::vector<int32_t>(s.Ids, s.Ids + s.Count);
  }
};

TEST_F(TreeTest, CreationOrderGivesIdsAndChildrenGetAbsolutePositionsAndZ) {
  ControlRecord* root = C(0);
  EXPECT_EQ(root->Parent, 0);
  EXPECT_EQ(root->Children.Count, 0u);  // the root is not adopted by itself
  EXPECT_EQ(root->Visible.load(), -1);

  const int32_t a = Make(0, 10, 20, 100, 50);
  const int32_t b = Make(a, 5, 6, 10, 10);
  const int32_t c = Make(a, 0, 0, 0, 0);  // sizes below 1 become 1
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(c, 3);
  EXPECT_EQ(ControlTableCount(), 4);
  EXPECT_EQ(C(b)->X, 15);
  EXPECT_EQ(C(b)->Y, 26);
  EXPECT_EQ(C(b)->Parent, a);
  EXPECT_EQ(C(c)->W, 1);
  EXPECT_EQ(C(a)->Z, 1);
  EXPECT_EQ(C(b)->Z, 1);
  EXPECT_EQ(C(c)->Z, 2);
  EXPECT_EQ(C(a)->Children.NextZ, 2u);
  EXPECT_EQ(Kids(a), (std::vector<int32_t>{b, c}));
  // Created clean: no pending move, but the first publish still sees the size.
  EXPECT_EQ(C(b)->Moved, 0);
  EXPECT_EQ(C(b)->PendingDx, 0);
  EXPECT_EQ(C(b)->PrevX, 15);
  EXPECT_EQ(C(b)->Resized, -1);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(C(b)->Tooltip), "tip");
  EXPECT_EQ(C(b)->Text.TextSize, kDefaultTextSize);

  EXPECT_EQ(CreateControl(77, 0, 0, 1, 1, nullptr, nullptr, -1, 11, "", ""), -19);
  EXPECT_EQ(ControlTableCount(), 4);
}

TEST_F(TreeTest, ControlsWithoutLocksAreHiddenAdoptedAndReported) {
  const int32_t a = Make(0, 0, 0, 50, 50);
  platform::FailNextMutexCreations(1);
  int32_t id = -1;
  EXPECT_EQ(CreateControl(a, 1, 1, 5, 5, nullptr, nullptr, -1, 11, "B", "", &id), -26);
  EXPECT_EQ(id, 2);
  EXPECT_EQ(C(id)->Visible.load(), 0);
  EXPECT_EQ(C(id)->Parent, a);
  EXPECT_EQ(Kids(a), (std::vector<int32_t>{id}));
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0].first, "An error occured while control 1 attempted to adopt control 2.");
  EXPECT_EQ(g_messages[0].second, 2);
}

TEST_F(TreeTest, DestroyedSlotsAreReusedWithoutRaisingTheCount) {
  const int32_t a = Make(0, 0, 0, 50, 50);
  const int32_t b = Make(a, 0, 0, 10, 10);
  const int32_t c = Make(0, 0, 0, 50, 50);
  const int32_t d = Make(b, 0, 0, 5, 5);
  EXPECT_EQ(ControlTableCount(), 5);
  IdSetRemove(&C(0)->Children, a);
  EXPECT_EQ(DestroyControlTree(C(a)), 0);  // takes b and d with it
  EXPECT_EQ(C(a), nullptr);
  EXPECT_EQ(C(b), nullptr);
  EXPECT_EQ(C(d), nullptr);
  EXPECT_NE(C(c), nullptr);
  EXPECT_EQ(DestroyControlTree(nullptr), -19);

  EXPECT_EQ(Make(c, 0, 0, 1, 1), a);  // the first empty slot
  EXPECT_EQ(Make(c, 0, 0, 1, 1), b);
  EXPECT_EQ(Make(c, 0, 0, 1, 1), d);
  EXPECT_EQ(ControlTableCount(), 5);
  EXPECT_EQ(Make(c, 0, 0, 1, 1), 5);
  EXPECT_EQ(ControlTableCount(), 6);

  DestroyAllControls();
  EXPECT_EQ(ControlTableCount(), 0);
  EXPECT_EQ(C(0), nullptr);
  EXPECT_EQ(Make(0, 0, 0, 10, 10), 0);
}

// A walk copies a set without the children marked for deletion; a child it
// found is given back only while its slot holds that record: not once marked,
// not after the purge freed it, not when a new control took the slot.
TEST_F(TreeTest, LiveChildrenLeaveMarkedControlsAndTellAReusedSlotBySerial) {
  const int32_t p = Make(0, 0, 0, 100, 100);
  const int32_t a = Make(p, 0, 0, 10, 10), b = Make(p, 10, 0, 10, 10), c = Make(p, 20, 0, 10, 10);
  Make(b, 0, 0, 5, 5);  // b's subtree goes with it
  std::vector<ChildRef> kids;
  LiveChildren(C(p), kids);
  ASSERT_EQ(kids.size(), 3u);
  const ChildRef refB = kids[1];
  EXPECT_EQ(refB.Id, b);
  EXPECT_EQ(refB.Serial, C(b)->Serial);

  C(b)->DeletePending = -1;
  EXPECT_EQ(ChildRecord(refB), nullptr) << "marked";
  EXPECT_EQ(ChildRecord(kids[0]), C(a));
  LiveChildren(C(p), kids);
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_EQ(kids[0].Id, a);
  EXPECT_EQ(kids[1].Id, c);

  PurgeDeletedControls();
  EXPECT_EQ(C(b), nullptr);
  EXPECT_EQ(ChildRecord(refB), nullptr) << "purged";
  EXPECT_EQ(Kids(p), (std::vector<int32_t>{a, 0, c}));  // a free place
  // A new control in b's slot, under the same parent: another record.
  const int32_t again = Make(p, 0, 0, 1, 1);
  ASSERT_EQ(again, b);
  EXPECT_EQ(ChildRecord(refB), nullptr) << "slot reused";
  LiveChildren(C(p), kids);
  ASSERT_EQ(kids.size(), 3u);
  EXPECT_EQ(kids.back().Id, b);  // the highest z
  EXPECT_EQ(ChildRecord(kids.back()), C(b));
  LiveChildren(nullptr, kids);
  EXPECT_TRUE(kids.empty());
}

TEST_F(TreeTest, TheTableHoldsExactly100000Controls) {
  // Spread over groups so that no child set grows long.
  int32_t group = 0;
  for (int32_t i = 1; i < kControlTableCapacity; ++i) {
    int32_t id = -1;
    const int32_t parent = (i - 1) % 500 == 0 ? 0 : group;
    ASSERT_EQ(CreateControl(parent, 0, 0, 1, 1, nullptr, nullptr, -1, 11, "", "", &id), 0);
    if (parent == 0) group = id;
  }
  EXPECT_EQ(ControlTableCount(), kControlTableCapacity);
  EXPECT_EQ(CreateControl(0, 0, 0, 1, 1, nullptr, nullptr, -1, 11, "", ""), -21);
  EXPECT_EQ(CloneControlTree(C(1), -1, 0), -21);
  EXPECT_EQ(ControlTableCount(), kControlTableCapacity);

  // A subtree that does not fit: what was cloned of it goes again, so the
  // free slots stay free (a group of 500 controls into 3 slots).
  for (const int32_t id : {70002, 70003, 70004}) {
    IdSetRemove(&C(C(id)->Parent)->Children, id);
    DestroyControlTree(C(id));
  }
  EXPECT_EQ(CloneControlTree(C(1), -1, 0), -21);
  for (const int32_t id : {70002, 70003, 70004}) EXPECT_EQ(C(id), nullptr) << id;
  for (int32_t i = 0; i < 3; ++i)
    EXPECT_EQ(CreateControl(0, 0, 0, 1, 1, nullptr, nullptr, -1, 11, "", ""), 0) << i;
  EXPECT_EQ(CreateControl(0, 0, 0, 1, 1, nullptr, nullptr, -1, 11, "", ""), -21);

  // One slot freed in the middle is found again.
  const int32_t victim = 50002;
  ControlRecord* v = C(victim);
  ASSERT_EQ(v->Children.Count, 0u);
  IdSetRemove(&C(v->Parent)->Children, victim);
  DestroyControlTree(v);
  int32_t id = -1;
  EXPECT_EQ(CreateControl(0, 0, 0, 1, 1, nullptr, nullptr, -1, 11, "", "", &id), 0);
  EXPECT_EQ(id, victim);
}

TEST_F(TreeTest, UpdateHandsAMoveDownTheSubtreeOnce) {
  const int32_t a = Make(0, 10, 10, 100, 100);
  const int32_t b = Make(a, 10, 10, 50, 50);
  const int32_t c = Make(b, 5, 5, 10, 10);
  const int32_t other = Make(0, 300, 0, 10, 10);
  ControlSetX(C(a), 40);
  ControlSetY(C(a), 0);
  EXPECT_EQ(UpdateControl(a, 0), 0);
  EXPECT_EQ(C(b)->X, 50);
  EXPECT_EQ(C(b)->Y, 10);
  EXPECT_EQ(C(c)->X, 55);
  EXPECT_EQ(C(c)->Y, 15);
  EXPECT_EQ(C(other)->X, 300);
  EXPECT_EQ(C(a)->Moved, 0);
  EXPECT_EQ(C(a)->PendingDx, 0);
  EXPECT_EQ(C(c)->Moved, 0);
  // Every node published, the control too.
  EXPECT_EQ(C(c)->Render->X, 55);
  EXPECT_EQ(C(a)->Render->X, 40);
  EXPECT_EQ(C(a)->Render->Alpha, 255);

  EXPECT_EQ(UpdateControl(a, 0), 0);  // again: nothing moves
  EXPECT_EQ(C(b)->X, 50);
  EXPECT_EQ(C(c)->X, 55);
  EXPECT_EQ(UpdateControl(9999, 0), -19);
}

TEST_F(TreeTest, DisablingAControlDisablesItsSubtreeAndBack) {
  const int32_t a = Make(0, 0, 0, 100, 100);
  const int32_t b = Make(a, 0, 0, 50, 50);
  const int32_t c = Make(b, 0, 0, 10, 10);
  SetDisabled(&C(a)->State, -1);
  UpdateControl(a, 0);
  EXPECT_EQ(IsDisabled(&C(b)->State), -1);
  EXPECT_EQ(IsDisabled(&C(c)->State), -1);
  EXPECT_EQ(IsDisabled(&C(c)->Render->State), -1);
  EXPECT_EQ(C(a)->State.DisabledToggle, 0);
  EXPECT_EQ(C(c)->State.DisabledToggle, 0);
  SetDisabled(&C(a)->State, 0);
  UpdateControl(a, 0);
  EXPECT_EQ(IsDisabled(&C(b)->State), 0);
  EXPECT_EQ(IsDisabled(&C(c)->State), 0);
}

TEST_F(TreeTest, BringToFrontReordersSiblings) {
  const int32_t p = Make(0, 0, 0, 100, 100);
  const int32_t a = Make(p, 0, 0, 50, 50);
  const int32_t b = Make(p, 0, 0, 50, 50);
  const int32_t c = Make(p, 0, 0, 50, 50);
  EXPECT_EQ(ControlHitTest(1, 1, 0), c);
  BringToFront(a);
  EXPECT_EQ(C(a)->Z, 4);
  EXPECT_EQ(Kids(p), (std::vector<int32_t>{b, c, a}));
  EXPECT_EQ(ControlHitTest(1, 1, 0), a);
  BringToFront(0);  // the root has no siblings: nothing
  EXPECT_EQ(C(0)->Z, 0);
}

TEST_F(TreeTest, BringToFrontRenumbersPastTenThousand) {
  const int32_t p = Make(0, 0, 0, 100, 100);
  const int32_t a = Make(p, 0, 0, 50, 50);
  const int32_t b = Make(p, 0, 0, 50, 50);
  const int32_t c = Make(p, 0, 0, 50, 50);
  for (int i = 0; i < 3332; ++i) {
    BringToFront(a);
    BringToFront(b);
    BringToFront(c);
  }
  EXPECT_EQ(C(p)->Children.NextZ, 9999u);
  BringToFront(a);  // 10,000: not yet
  EXPECT_EQ(C(p)->Children.NextZ, 10000u);
  BringToFront(b);  // 10,001: renumbered, order kept
  EXPECT_EQ(Kids(p), (std::vector<int32_t>{c, a, b}));
  EXPECT_EQ(C(c)->Z, 0);
  EXPECT_EQ(C(a)->Z, 1);
  EXPECT_EQ(C(b)->Z, 2);
  EXPECT_EQ(C(p)->Children.NextZ, 2u);
  BringToFront(c);
  EXPECT_EQ(C(c)->Z, 3);
}

TEST_F(TreeTest, HitTestAtEdgesAndThroughHiddenDisabledAndNoHitControls) {
  const int32_t a = Make(0, 100, 50, 40, 30);  // x 100..139, y 50..79
  EXPECT_EQ(ControlHitTest(100, 50, 0), a);
  EXPECT_EQ(ControlHitTest(139, 79, 0), a);
  EXPECT_EQ(ControlHitTest(140, 79, 0), 0);  // the root itself, id 0
  EXPECT_EQ(ControlHitTest(99, 60, 0), 0);
  EXPECT_EQ(ControlHitTest(120, 80, 0), 0);
  EXPECT_EQ(ControlHitTest(500, 10, 0), 0);  // outside the root
  EXPECT_EQ(ControlHitTest(1, 1, 9999), 0);

  // A hidden control is passed over with its subtree.
  const int32_t b = Make(a, 0, 0, 10, 10);
  EXPECT_EQ(ControlHitTest(100, 50, 0), b);
  ControlSetVisible(C(b), 0);
  EXPECT_EQ(ControlHitTest(100, 50, 0), a);
  ControlSetVisible(C(b), -1);

  // A disabled control takes the hit itself, over an enabled child.
  SetDisabled(&C(a)->State, -1);
  EXPECT_EQ(ControlHitTest(100, 50, 0), a);
  SetDisabled(&C(a)->State, 0);

  // A point covered only by a NoHit child goes to the parent; a NoHit child's
  // own children still take hits.
  C(b)->NoHit = -1;
  EXPECT_EQ(ControlHitTest(100, 50, 0), a);
  const int32_t c = Make(b, 2, 2, 3, 3);
  EXPECT_EQ(ControlHitTest(103, 53, 0), c);
  EXPECT_EQ(ControlHitTest(109, 59, 0), a);
  // A disabled root answers with itself, 0.
  SetDisabled(&C(0)->State, -1);
  EXPECT_EQ(ControlHitTest(103, 53, 0), 0);
}

TEST_F(TreeTest, CloneCopiesASubtreeIntoFreeSlots) {
  const int32_t plane = Make(0, 0, 0, 300, 300);
  const int32_t tmpl = Make(0, 10, 10, 80, 40);  // the MOD template
  const int32_t label = Make(tmpl, 5, 5, 20, 10);
  const int32_t port = Make(tmpl, 30, 5, 10, 10);
  const int32_t dot = Make(port, 1, 1, 2, 2);
  QUARLE_BASICS::DynZStringAssign(C(label)->ID, "LABEL");
  TextFieldSetText(&C(label)->Text, "Osc");
  const int32_t before = Make(plane, 0, 0, 5, 5);

  const int32_t clone = CloneControlTree(C(tmpl), -1, plane);
  EXPECT_EQ(clone, 7);
  EXPECT_EQ(ControlTableCount(), 11);
  EXPECT_EQ(C(clone)->Parent, plane);
  EXPECT_EQ(C(clone)->Z, 2);  // after `before`
  EXPECT_EQ(Kids(plane), (std::vector<int32_t>{before, clone}));
  EXPECT_EQ(C(clone)->X, 10);  // the template's absolute position
  ASSERT_EQ(C(clone)->Children.Count, 2u);
  const int32_t newLabel = C(clone)->Children.Ids[0];
  const int32_t newPort = C(clone)->Children.Ids[1];
  EXPECT_EQ(newLabel, 8);
  EXPECT_EQ(newPort, 9);
  EXPECT_EQ(C(newLabel)->Parent, clone);
  EXPECT_EQ(C(newLabel)->Z, 0);
  EXPECT_EQ(C(newLabel)->X, 15);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(C(newLabel)->ID), "LABEL");
  EXPECT_STREQ(TextFieldGetText(&C(newLabel)->Text), "Osc");
  ASSERT_EQ(C(newPort)->Children.Count, 1u);
  EXPECT_EQ(C(C(newPort)->Children.Ids[0])->X, 41);
  EXPECT_EQ(Kids(tmpl), (std::vector<int32_t>{label, port}));  // the template is untouched
  (void)dot;

  // Moving the clone moves its copied subtree.
  ControlSetX(C(clone), 110);
  UpdateControl(clone, 0);
  EXPECT_EQ(C(newLabel)->X, 115);
  EXPECT_EQ(C(label)->X, 15);

  // Without recursion only the control itself.
  const int32_t single = CloneControlTree(C(tmpl), 0, plane);
  EXPECT_EQ(C(single)->Children.Count, 0u);
  EXPECT_EQ(CloneControlTree(nullptr, -1, plane), -21);
  EXPECT_EQ(CloneControlTree(C(tmpl), -1, 5000), -19);
}

}  // namespace
