#include "visuals/controls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/display.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace {

using namespace QUARLE_VISUALS;

// A fresh record outside the table.
struct Rec {
  ControlRecord c;
  Rec() { ControlInit(&c); }
  ~Rec() { ControlFree(&c); }
};

// The namespace started on the default simulated display, for the operations
// that go through the control table.
class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
    int64_t w = 0, h = 0;
    ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
    ASSERT_EQ(CreateControl(0, 0, 0, 200, 100, nullptr, nullptr, -1, 11, "ROOT", ""), 0);
  }
  void TearDown() override { VisualsShutdown(); }
};

TEST(ControlRecordTest, LocksThatCannotBeMadeStayNull) {
  platform::FailNextMutexCreations(2);
  Rec r;
  platform::FailNextMutexCreations(0);
  EXPECT_EQ(r.c.RenderLock, nullptr);
  EXPECT_EQ(r.c.ChildLock, nullptr);
  r.c.X = 7;
  ControlPublish(&r.c, -1);  // skipped without a render lock
  EXPECT_EQ(r.c.Render->X, 0);
}

TEST(ControlRecordTest, SettersMarkAndSumARunOfChanges) {
  Rec r;
  ControlSetX(&r.c, 0);  // the current value: nothing at all
  EXPECT_EQ(r.c.Moved, 0);
  EXPECT_EQ(r.c.PendingDx, 0);

  ControlSetX(&r.c, 10);
  ControlSetX(&r.c, 25);
  EXPECT_EQ(r.c.X, 25);
  EXPECT_EQ(r.c.PrevX, 0);
  EXPECT_EQ(r.c.PendingDx, 25);
  EXPECT_EQ(r.c.Moved, -1);
  ControlSetY(&r.c, -4);
  EXPECT_EQ(r.c.PrevY, 0);
  EXPECT_EQ(r.c.PendingDy, -4);

  ControlSetW(&r.c, 0);  // below 1 becomes 1
  EXPECT_EQ(r.c.W, 1);
  EXPECT_EQ(r.c.Resized, -1);
  ControlSetW(&r.c, 30);
  EXPECT_EQ(r.c.PrevW, 0);
  EXPECT_EQ(r.c.PendingDw, 30);
  ControlSetH(&r.c, -9);
  EXPECT_EQ(r.c.H, 1);

  ControlSetVisible(&r.c, 0);
  EXPECT_EQ(r.c.VisibilityChanged, 0);
  ControlSetVisible(&r.c, -1);
  EXPECT_EQ(r.c.VisibilityChanged, -1);

  ControlSetAlpha(&r.c, 300);
  EXPECT_EQ(ControlAlpha(&r.c), 255u);
  ControlSetAlpha(&r.c, -3);
  EXPECT_EQ(ControlAlpha(&r.c), 0u);
}

TEST(ControlRecordTest, PublishCopiesTheDrawableStateAndClearsTheResize) {
  Rec r;
  ControlSetX(&r.c, 5);
  ControlSetY(&r.c, 6);
  ControlSetW(&r.c, 70);
  ControlSetH(&r.c, 80);
  r.c.Colour = 0xFF112233;
  r.c.Tag = 99;
  int payload = 0;
  r.c.UserPointer = &payload;
  r.c.Visible = -1;
  r.c.State.On = -1;
  TextFieldSetText(&r.c.Text, "abc");
  ControlPublish(&r.c, 4);

  const RenderRecord& p = *r.c.Render;
  EXPECT_EQ(p.X, 5);
  EXPECT_EQ(p.Y, 6);
  EXPECT_EQ(p.W, 70);
  EXPECT_EQ(p.H, 80);
  EXPECT_EQ(p.PendingDx, 5);
  EXPECT_EQ(p.PendingDw, 70);
  EXPECT_EQ(p.Colour, 0xFF112233u);
  EXPECT_EQ(p.Tag, 99u);
  EXPECT_EQ(p.UserPointer, &payload);
  EXPECT_EQ(p.Visible, -1);
  EXPECT_EQ(p.Alpha, 255);
  EXPECT_EQ(p.State.On, -1);
  EXPECT_STREQ(TextFieldGetText(&p.Text), "abc");
  EXPECT_NE(p.Text.Text, r.c.Text.Text);  // its own copy
  EXPECT_EQ(p.Text.Changed, -1);          // the text change ORed with 4

  EXPECT_EQ(r.c.Text.Changed, 0);
  EXPECT_EQ(r.c.Resized, 0);
  EXPECT_EQ(r.c.PendingDw, 0);
  EXPECT_EQ(r.c.PendingDh, 0);
  // Moves are handed down by UpdateControl, not by the publish.
  EXPECT_EQ(r.c.Moved, -1);
  EXPECT_EQ(r.c.PendingDx, 5);
}

TEST(ControlRecordTest, TextFieldTexts) {
  TextField f;
  TextFieldInit(&f);
  TextFieldSetText(&f, "hello");
  EXPECT_EQ(TextFieldTextSize(&f), 6);
  EXPECT_EQ(f.Changed, -1);
  char* buffer = f.Text;
  f.Changed = 0;
  TextFieldSetText(&f, "");  // written into the existing buffer
  EXPECT_EQ(f.Text, buffer);
  EXPECT_STREQ(TextFieldGetText(&f), "");
  EXPECT_EQ(TextFieldTextSize(&f), 1);
  EXPECT_EQ(f.Changed, -1);
  TextFieldSetText(&f, "caf\xE9");  // Windows-1252 bytes kept as they are
  EXPECT_EQ(std::strcmp(TextFieldGetText(&f), "caf\xE9"), 0);

  f.Selected = 4;
  f.Caret = 3;
  f.Reversed = -1;
  f.TextSize = 30;
  TextFieldClear(&f);
  EXPECT_STREQ(TextFieldGetText(&f), "");
  EXPECT_EQ(f.Selected, -1);
  EXPECT_EQ(f.Mark, -1);
  EXPECT_EQ(f.Caret, 0);
  EXPECT_EQ(f.FitCount, 1);
  EXPECT_EQ(f.Reversed, -1);  // not an editing word
  EXPECT_EQ(f.TextSize, 30);

  TextFieldFree(&f);
  EXPECT_STREQ(TextFieldGetText(&f), "");
}

TEST(ControlRecordTest, ClampNumberWritesTheSinglePrecisionValue) {
  TextField f;
  TextFieldInit(&f);
  f.Min = -10.0;
  f.Max = 100.0;
  const std::pair<const char*, const char*> cases[] = {
      {" 250 ", "100"}, {"-12.5", "-10"}, {"0.1", "0.1"}, {"12.3456789", "12.34568"},
      {"abc", "0"}};  // no number reads as 0
  for (const auto& [in, out] : cases) {
    TextFieldSetText(&f, in);
    TextFieldClampNumber(&f);
    EXPECT_STREQ(TextFieldGetText(&f), out) << in;
  }
  TextFieldFree(&f);
}

TEST(ControlRecordTest, ListScrollClamp) {
  TextField f;
  TextFieldInit(&f);
  ListScrollClamp(&f, 0);  // no items: the selection stays -1
  EXPECT_EQ(f.Selected, -1);
  EXPECT_EQ(f.Changed, -1);

  f.VisibleRows = 4;
  f.Selected = 12;
  ListScrollClamp(&f, 10);
  EXPECT_EQ(f.Selected, 9);
  EXPECT_EQ(f.FirstVisible, 6);
  f.Selected = 2;
  ListScrollClamp(&f, 10);
  EXPECT_EQ(f.FirstVisible, 2);
  f.Reversed = -1;
  f.Selected = 0;  // the bottom row of a reversed list is row 9
  ListScrollClamp(&f, 10);
  EXPECT_EQ(f.FirstVisible, 6);
  TextFieldFree(&f);
}

TEST(ControlRecordTest, IdSetReusesFreedEntries) {
  IdSet s;
  EXPECT_EQ(IdSetAdd(&s, 5), 0);
  EXPECT_EQ(IdSetAdd(&s, 6), 1);
  EXPECT_EQ(IdSetAdd(&s, 7), 2);
  EXPECT_EQ(IdSetAdd(&s, 6), 1);  // already present
  EXPECT_EQ(s.Count, 3u);
  IdSetRemove(&s, 6);
  EXPECT_EQ(s.Count, 3u);
  EXPECT_EQ(s.Ids[1], 0);
  EXPECT_EQ(IdSetAdd(&s, 8), 1);  // the freed entry
  IdSetRemove(&s, 99);            // absent: nothing
  EXPECT_EQ(s.Count, 3u);
  IdSetRemove(&s, 8);
  IdSetRemove(&s, 7);  // the last entry: the count drops by one only
  EXPECT_EQ(s.Count, 2u);
  EXPECT_EQ(s.Ids[1], 0);
  IdSetRemove(&s, 5);
  EXPECT_EQ(s.Count, 2u);
  IdSetFree(&s);
  EXPECT_EQ(s.Ids, nullptr);
  EXPECT_EQ(IdSetAdd(&s, 3), 0);
  IdSetFree(&s);
}

TEST(ControlRecordTest, CanvasAndLayers) {
  Rec r;
  ControlSetW(&r.c, 8);
  ControlSetH(&r.c, 6);
  EXPECT_EQ(RenderCanvasEnsure(&r.c, 0, 5, 0), -19);
  ASSERT_EQ(RenderCanvasEnsure(&r.c, 4, 3, 0xFF00FF00), 0);
  Image* first = r.c.Canvas;
  EXPECT_EQ(*platform::ImagePixel(first, 3, 2), 0xFF00FF00u);
  EXPECT_EQ(RenderCanvasEnsure(&r.c, 4, 3, 0), 0);
  EXPECT_EQ(r.c.Canvas, first);  // same size: kept
  EXPECT_EQ(RenderCanvasEnsure(&r.c, 5, 3, 0), 0);
  EXPECT_EQ(r.c.Canvas->width, 5);

  EXPECT_EQ(ControlAddLayers(&r.c, 2), 0);
  EXPECT_EQ(r.c.LayerCount, 2);
  EXPECT_EQ(r.c.Layers[1], nullptr);
  ASSERT_EQ(ControlCreateLayer(&r.c, 3, 0, 0, 0xFFFFFFFF), 0);  // grows to 4 entries
  EXPECT_EQ(r.c.LayerCount, 4);
  EXPECT_EQ(r.c.Layers[3]->width, 8);
  EXPECT_EQ(r.c.Layers[3]->height, 6);
  EXPECT_EQ(*platform::ImagePixel(r.c.Layers[3], 0, 0), 0u);  // the white fill becomes 0
  EXPECT_EQ(ControlCreateLayer(&r.c, 0, -2, 4, 0), -19);
  EXPECT_EQ(ControlCreateLayer(&r.c, -1, 2, 2, 0), -19);
  EXPECT_EQ(ControlCreateLayer(&r.c, 0, 2, 2, 0xFF0000FF), 0);
  EXPECT_EQ(*platform::ImagePixel(r.c.Layers[0], 1, 1), 0xFF0000FFu);
}

TEST(ControlRecordTest, CopyTakesTheLookButNotTheTreeLinks) {
  Rec src;
  src.c.Id = 17;
  src.c.Parent = 3;
  src.c.Z = 9;
  ControlSetX(&src.c, 10);
  ControlSetY(&src.c, 20);
  ControlSetW(&src.c, 30);
  ControlSetH(&src.c, 40);
  ControlSetVisible(&src.c, -1);
  ControlSetAlpha(&src.c, 90);
  src.c.ClipChildren = -1;
  src.c.Focusable = -1;
  int payload = 0;
  src.c.UserPointer = &payload;
  IdSetAdd(&src.c.Children, 44);
  QUARLE_BASICS::DynZStringAssign(src.c.Tooltip, "Module [DEL]");
  TextFieldSetText(&src.c.Text, "osc");
  ASSERT_EQ(ControlCreateLayer(&src.c, 1, 3, 2, 0), 0);
  *platform::ImagePixel(src.c.Layers[1], 2, 1) = 0x80FF0000;
  ControlPublish(&src.c, 0);
  // Flagged after the publish: a flagged control publishes nothing more.
  src.c.DeletePending = -1;

  Rec dst;
  ControlFree(&dst.c);  // ControlCopy builds the record itself
  ControlCopy(&dst.c, &src.c);
  EXPECT_EQ(dst.c.Id, 0);
  EXPECT_EQ(dst.c.Parent, 0);
  EXPECT_EQ(dst.c.Z, 0);
  EXPECT_EQ(dst.c.Children.Count, 0u);
  EXPECT_EQ(dst.c.UserPointer, nullptr);
  EXPECT_EQ(dst.c.DeletePending.load(), 0);
  EXPECT_EQ(dst.c.H, 40);
  EXPECT_EQ(dst.c.Moved, 0);
  EXPECT_EQ(dst.c.Alpha.load(), 90);
  EXPECT_EQ(dst.c.ClipChildren.load(), -1);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(dst.c.Tooltip), "Module [DEL]");
  EXPECT_STREQ(TextFieldGetText(&dst.c.Text), "osc");
  ASSERT_EQ(dst.c.LayerCount, 2);
  EXPECT_EQ(dst.c.Layers[0], nullptr);
  ASSERT_NE(dst.c.Layers[1], nullptr);
  EXPECT_NE(dst.c.Layers[1], src.c.Layers[1]);
  EXPECT_EQ(*platform::ImagePixel(dst.c.Layers[1], 2, 1), 0x80FF0000u);
  EXPECT_EQ(dst.c.Render->X, 10);
  EXPECT_EQ(dst.c.Render->Alpha, 90);
  EXPECT_STREQ(TextFieldGetText(&dst.c.Render->Text), "osc");
}

TEST_F(TableTest, UpdateFlagsAccumulateUntilASnapshotTakesThem) {
  ControlRecord* root = ControlAt(0);
  ControlPublish(root, 2);
  ControlPublish(root, 16);
  RenderRecord snap;
  RenderRecordInit(&snap);
  FetchRenderRecord(&snap, 0);
  EXPECT_EQ(snap.Text.Changed, 18);
  EXPECT_EQ(root->Render->Text.Changed, 0);

  // A fully transparent control keeps its flags for the frame that draws it.
  ControlSetAlpha(root, 0);
  ControlPublish(root, 4);
  FetchRenderRecord(&snap, 0);
  EXPECT_EQ(snap.Alpha, 0);
  EXPECT_EQ(root->Render->Text.Changed, 4);
  ControlSetAlpha(root, 255);
  ControlPublish(root, 1);
  FetchRenderRecord(&snap, 999);  // clamped to the last control
  EXPECT_EQ(snap.Text.Changed, 5);
  RenderRecordFree(&snap);
}

// The video thread's read against the main thread's publishing: every snapshot
// must be one whole publication, never a mix of two.
TEST_F(TableTest, SnapshotsAreWholePublicationsWhileTheMainThreadPublishes) {
  int32_t id = 0;
  ASSERT_EQ(CreateControl(0, 0, 0, 1, 10, nullptr, nullptr, -1, 11, "C", "", &id), 0);
  ControlRecord* c = ControlAt(id);
  TextFieldSetText(&c->Text, "0");
  UpdateControl(id, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    RenderRecord snap;
    RenderRecordInit(&snap);
    while (!stop.load()) {
      FetchRenderRecord(&snap, id);
      const std::string text = TextFieldGetText(&snap.Text);
      if (snap.X != snap.Y || snap.W != snap.X + 1 || text != std::to_string(snap.X)) ++torn;
      ++reads;
    }
    RenderRecordFree(&snap);
  });
  for (int i = 1; i <= 20000 || reads.load() < 100; ++i) {
    ControlSetX(c, i);
    ControlSetY(c, i);
    ControlSetW(c, i + 1);
    TextFieldSetText(&c->Text, std::to_string(i).c_str());
    ControlPublish(c, 0);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

}  // namespace
