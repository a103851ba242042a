#include "ui/views/list_views.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "app/state/console.h"
#include "app/state/ui_hooks.h"
#include "app/state/wave_library.h"
#include "basics/listings.h"
#include "platform/paths.h"
#include "basics/program.h"
#include "engine/catalog/catalog.h"
#include "engine/modulelist.h"
#include "platform/folders.h"
#include "platform/threads.h"
#include "ui/build/callbacks.h"
#include "ui/views/control_drawing.h"
#include "ui/views/dialog_drawing.h"
#include "ui/views/install.h"
#include "ui/views/library_views.h"
#include "ui/views/melody_list.h"
#include "ui/views/module_lists.h"
#include "ui/views/tuning_displays.h"
#include "views_a_fixture.h"
#include "visuals/dirty_region.h"
#include "visuals/list_range.h"
#include "visuals/text.h"

namespace {

using namespace Tarvelo;
using uitest::TipOf;
using viewtest::Snap;
using viewtest::ViewTest;
namespace V = QUARLE_VISUALS;

// --- Event side ---------------------------------------------------------------------

class ListProcedureTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    // 10 rows of 10 pixels inside a 3-pixel border, at (0, 20).
    id = Make(0, 20, 100, 106, nullptr, nullptr, 415);
    C(id)->Text.VisibleRows = 10;
    ListSelectable(C(id)->Text) = -1;
  }
  V::TextField& F() { return C(id)->Text; }
  uint32_t Call(uint32_t bits, int32_t x, int32_t y) {
    return ListProcedure(bits, x, y, id, count, acc);
  }
  int32_t id = 0;
  int32_t count = 25;
  int32_t acc = 0;
};

TEST_F(ListProcedureTest, DraggingScrollsOneRowPerStep) {
  EXPECT_EQ(Call(V::kEventDrag, 0, -7), V::kEventDrag);  // step nearest(6.7) = 7
  EXPECT_EQ(F().FirstVisible, 1);
  EXPECT_EQ(F().Changed, -1);
  EXPECT_EQ(C(id)->Dragged, -1);
  Call(V::kEventDrag, 0, -3);
  EXPECT_EQ(F().FirstVisible, 1);
  Call(V::kEventDrag, 0, -700);  // held at the last page
  EXPECT_EQ(F().FirstVisible, 15);
  Call(V::kEventWheel, 0, -40);
  EXPECT_EQ(F().FirstVisible, 0);
  Call(V::kEventWheel, 0, 4);
  EXPECT_EQ(F().FirstVisible, 4);
}

TEST_F(ListProcedureTest, ReleaseAfterADragIsAClickOnlyWhenShort) {
  C(id)->PressY = 20 + 3 + 25;
  EXPECT_EQ(Call(V::kEventDragRelease, 5, 20 + 3 + 30), V::kEventClick);  // moved 5 < 6.7
  EXPECT_EQ(F().Selected, 3);
  C(id)->PressY = 20 + 3 + 25;
  EXPECT_EQ(Call(V::kEventDragRelease, 5, 20 + 3 + 45), V::kEventHover);
  EXPECT_EQ(F().Mark, 4);
  EXPECT_EQ(F().Selected, 3);
}

TEST_F(ListProcedureTest, ClicksSelectAndToggleHoverFollowsAndLeaveClears) {
  Call(V::kEventHover, 5, 20 + 3 + 12);
  EXPECT_EQ(F().Mark, 1);
  Call(V::kEventClick, 5, 20 + 3 + 12);
  EXPECT_EQ(F().Selected, 1);
  Call(V::kEventClick, 5, 20 + 3 + 12);
  EXPECT_EQ(F().Selected, -1);
  // In the frame: no row; a click clears the selection.
  Call(V::kEventClick, 5, 20 + 3 + 5);
  F().Selected = 4;
  Call(V::kEventClick, 5, 20 + 1);
  EXPECT_EQ(F().Selected, -1);
  // Reversed: the top row is the last item.
  F().Reversed = -1;
  Call(V::kEventHover, 5, 20 + 3 + 2);
  EXPECT_EQ(F().Mark, 24);
}

TEST_F(ListProcedureTest, ArrowKeysWrapAndEveryKeyIsAClick) {
  auto key = [&](uint32_t scan) {
    V::KeyInput.Spare[1] = 256;
    V::KeyInput.Spare[2] = scan;
    return Call(V::kEventKey, 0, 0);
  };
  EXPECT_EQ(key(72), V::kEventClick);  // up from nothing: the last item
  EXPECT_EQ(F().Selected, 24);
  EXPECT_EQ(F().FirstVisible, 15);
  EXPECT_EQ(F().Mark, 24);
  key(80);  // down from the last wraps to 0
  EXPECT_EQ(F().Selected, 0);
  EXPECT_EQ(F().FirstVisible, 0);

  F().Reversed = -1;
  F().Selected = -1;
  key(72);  // up on a reversed list: the next higher index
  EXPECT_EQ(F().Selected, 0);
  V::KeyInput.Spare[1] = V::KeyInput.Spare[2] = 0;
}

// --- Draw side --------------------------------------------------------------------

struct Recorder {
  std::vector<int32_t> rendered;
};
void RenderRecorded(platform::Image* row, int32_t item, const V::RenderRecord*, void* ctx) {
  static_cast<Recorder*>(ctx)->rendered.push_back(item);
  platform::DrawBox(row, 0, 0, 2, 2, 0xFFFFFFFF);
}
std::string TooltipOf(int32_t item, void*) { return "item " + std::to_string(item); }

class ListDrawTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    id = Make(0, 0, 100, 106, nullptr, nullptr, 415);
    ASSERT_EQ(V::SetListRows(id, 8, 10, 10), 0);
  }
  int32_t DrawList(int32_t n, int64_t flags = 0) {
    Snap s;
    Take(id, s, flags);
    ListDrawPlan plan;
    plan.count = n;
    plan.context = &rec;
    plan.renderRow = RenderRecorded;
    plan.tooltip = TooltipOf;
    rec.rendered.clear();
    return DrawListView(s.get(), id, plan, statics);
  }
  int32_t id = 0;
  Recorder rec;
  ListDrawStatics statics;
};

TEST_F(ListDrawTest, EmptyListDrawsOnlyItsFrame) {
  EXPECT_EQ(DrawList(0), 0);
  EXPECT_EQ(CountOther(3, 3, 96, 102, viewtest::kBackdrop), 0);
  EXPECT_EQ(At(0, 0), kListFrame);
  EXPECT_EQ(At(99, 105), kListFrame);
  EXPECT_TRUE(rec.rendered.empty());
}

TEST_F(ListDrawTest, RowsStripeByItemAndShowSelectionAndHover) {
  C(id)->Text.Selected = 2;
  C(id)->Text.Mark = 3;
  C(id)->Text.FirstVisible = 1;
  DrawList(25);
  EXPECT_EQ(At(50, 3 + 5), kListRowOdd);        // slot 0: item 1
  EXPECT_EQ(At(50, 13 + 5), kListRowSelected);  // item 2
  EXPECT_EQ(At(50, 23 + 5), kListRowHovered);   // item 3
  EXPECT_EQ(At(50, 33 + 5), kListRowEven);      // item 4
  // The draw leaves the control's record alone: it posts the hovered row's
  // tooltip, which the interface thread sets; once, while it stays the same.
  auto posted = [] {
    int32_t n = 0;
    for (const QUARLE_BASICS::CommandMessage& m : uitest::DrainQueue(0)) n += m.type == QUARLE_BASICS::kCommandFoundTooltips;
    return n;
  };
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(C(id)->Tooltip), "");
  EXPECT_EQ(posted(), 1);
  EXPECT_EQ(TipOf(id), "item 3");
  // Row images at (x + B, top + textY), textY = nearest((10 - 8) / 2) = 1.
  EXPECT_EQ(At(3, 3 + 1), 0xFFFFFFFFu);
  ASSERT_EQ(rec.rendered.size(), 10u);
  EXPECT_EQ(rec.rendered.front(), 1);
  EXPECT_EQ(rec.rendered.back(), 10);
  DrawList(25);
  EXPECT_EQ(posted(), 0) << "the same row again";
  C(id)->Text.Mark = 4;
  DrawList(25);
  EXPECT_EQ(posted(), 1);
  EXPECT_EQ(TipOf(id), "item 4");
}

TEST_F(ListDrawTest, RowsRenderOnlyWhenTheListChanged) {
  DrawList(25);
  EXPECT_EQ(rec.rendered.size(), 10u);
  DrawList(25);
  EXPECT_TRUE(rec.rendered.empty());
  C(id)->Text.FirstVisible = 3;
  DrawList(25);
  EXPECT_EQ(rec.rendered.size(), 10u);
}

int32_t g_items = 0;
int32_t ItemsOf() { return g_items; }
int32_t DrawNothing(V::RenderRecord*, int32_t) { return 0; }

// The draw shows a shrunk list from its last rows but leaves the position to
// the interface thread, which clamps it and publishes every change of the
// item count.
TEST_F(ListDrawTest, AShrunkListScrollsBack) {
  C(id)->Text.FirstVisible = 15;
  DrawList(25);
  DrawList(20);
  EXPECT_EQ(C(id)->Text.FirstVisible, 15);  // the draw writes no interface record
  ASSERT_EQ(rec.rendered.size(), 10u);
  EXPECT_EQ(rec.rendered.front(), 10);
  Clear();
  DrawList(4);
  EXPECT_EQ(rec.rendered.size(), 4u);
  EXPECT_EQ(rec.rendered.front(), 0);
  EXPECT_EQ(At(50, 43 + 5), viewtest::kBackdrop);  // no row past the last item

  C(id)->DrawCallback = DrawNothing;
  V::SetListCount(DrawNothing, ItemsOf);
  struct Step {
    int32_t items, first, published;
    const char* what;
  };
  const Step steps[] = {
      {25, 15, 0, "first seen"},         {25, 15, 0, "nothing changed"},
      {20, 10, 1, "shrunk below it"},    {26, 10, 1, "grown: drawn anew"},
      {24, 10, 1, "shrunk above it"},    {4, 0, 1, "fewer items than rows"},
      {4, 0, 0, "nothing changed again"},
  };
  V::ControlPublish(C(id), 0);
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    g_items = s.items;
    std::vector<platform::ScreenRect> marked;
    bool whole = false;
    V::TakeDirtyRegion(marked, whole);
    EXPECT_EQ(V::KeepListsInRange(), s.published);
    EXPECT_EQ(C(id)->Text.FirstVisible, s.first);
    EXPECT_EQ(C(id)->Render->Text.FirstVisible, s.first);
    V::TakeDirtyRegion(marked, whole);
    EXPECT_EQ(!marked.empty(), s.published == 1);
    if (s.published) {
      EXPECT_EQ(C(id)->Render->Text.Changed, -1);
    }
    C(id)->Render->Text.Changed = 0;
  }
  V::SetListCount(DrawNothing, nullptr);
}

TEST_F(ListDrawTest, OverflowMarksAndThumb) {
  DrawList(25);
  // At the top: no upper mark, dotted lower mark, thumb 40 high at the top.
  const int32_t mx = static_cast<int32_t>(std::nearbyint((100 - 32) * 0.5));
  EXPECT_EQ(At(mx, 102), 0xFFFFFFFFu);
  EXPECT_NE(At(mx + 2, 102), 0xFFFFFFFFu);
  EXPECT_NE(At(mx, 3), 0xFFFFFFFFu);
  EXPECT_EQ(At(96, 0 + 39), 0xFFFFFFFFu);
  EXPECT_NE(At(96, 41), 0xFFFFFFFFu);
}

TEST_F(ListDrawTest, FewerRowImagesThanRowsDrawBackgroundOnly) {
  V::ControlRecord* c = C(id);
  for (int32_t i = 5; i < c->LayerCount; ++i) {
    platform::ImageDestroy(c->Layers[i]);
    c->Layers[i] = nullptr;
  }
  DrawList(25);
  EXPECT_EQ(rec.rendered.size(), 5u);
  EXPECT_EQ(At(50, 83 + 5), kListRowEven);
}

// --- Members ---------------------------------------------------------------------------

class ListMembersTest : public ViewTest {
 protected:
  // A 200 x 30 drive strip drawing `list`, which holds drives 1 to n.
  int32_t DriveStrip(QUARLE_BASICS::DriveList& list, int n) {
    list.count = n;
    for (int i = 0; i < n; ++i) list.codes[i] = static_cast<uint32_t>(i + 1);
    Drives = &list;
    const int32_t id = Make(0, 0, 200, 30, DrawDriveList, nullptr, 11);
    AddLayer(id, 194, 24, 0);
    C(id)->Text.TextSize = 12;
    return id;
  }
  void SetUp() override {
    ViewTest::SetUp();
    InstallViewCallbacksA();
    for (int i = 0; i < 5; ++i) savedLevels[i] = QUARLE_BASICS::LevelColour[i];
    QUARLE_BASICS::LevelColour[0] = 0xFFFFFFFF;
    QUARLE_BASICS::LevelColour[2] = 0xFFDE0000;
  }
  void TearDown() override {
    for (int i = 0; i < 5; ++i) QUARLE_BASICS::LevelColour[i] = savedLevels[i];
    ResetStateUiHooks();
    ResetUiCallbacks();
    ViewTest::TearDown();
  }
  int32_t ListControl(V::DrawCallbackFn draw, int32_t extraLayers = 0) {
    const int32_t id = Make(0, 0, 300, 66, draw, nullptr, 415);
    for (int32_t i = 0; i < extraLayers; ++i) AddLayer(id, 4, 4, 0xFFFF0000 + i);
    EXPECT_GE(V::SetListRows(id, 14, 3, 20), 0);
    return id;
  }
  uint32_t savedLevels[5] = {};
};

// Every list whose items come and go tells the interface thread its count, so
// that a shrink brings its scroll position back and an addition is drawn.
TEST_F(ListMembersTest, EveryListWhoseItemsComeAndGoCountsThem) {
  InstallViewCallbacksB();
  const struct {
    V::DrawCallbackFn draw;
    V::ListCountFn count;
  } lists[] = {
      {DrawSystemMessageList, SystemMessageCount}, {DrawActionHistoryList, ActionHistoryCount},
      {DrawFileList, FileListCount},               {DrawCreatedModuleList, CreatedModuleCount},
      {DrawSampleLibraryList, SampleLibraryCount}, {DrawSampleMemoryList, SampleMemoryCount},
      {DrawFilterList, FilterListCount},           {DrawMelodyList, MelodyListCount},
      {DrawParameterList, ParameterListCount},     {DrawScalePatternList, ScalePatternCount},
      {DrawScaleList, ScaleListCount},
  };
  for (const auto& l : lists) EXPECT_EQ(V::ListCountOf(l.draw), l.count);
}

TEST_F(ListMembersTest, SystemMessagesAreColouredByLevel) {
  ASSERT_EQ(MessageConsoleCreate(), 0);
  LogMessage("all fine", 0);
  LogMessage("something broke", 2);
  const int32_t id = ListControl(DrawSystemMessageList);
  C(id)->Text.Reversed = -1;
  C(id)->Text.Mark = 1;
  Draw(id);
  // Newest on top, in the error colour.
  const platform::Image* top = C(id)->Layers[0];
  bool red = false;
  for (int32_t i = 0; i < top->width * top->height; ++i)
    if ((top->pixels[i] >> 24) != 0 && (top->pixels[i] & 0xFFFFFF) == 0xDE0000) red = true;
  EXPECT_TRUE(red);
  EXPECT_EQ(TipOf(id), "something broke");
  MessageConsoleFree();
}

// A message too long for its row is read whole where the pointer rests: its
// lines over the rows from it down (up from the foot when too few are left),
// and the rows it covered hold their own messages again once it is left.
TEST_F(ListMembersTest, AHoveredMessageTooLongForItsRowIsShownWhole) {
  ASSERT_EQ(MessageConsoleCreate(), 0);
  const std::string longOne =
      "The last run ended before these files were saved; each may still hold its earlier contents: "
      "SS20261210-14h30m44.tarvelo, Settings.txt";
  for (int32_t i = 0; i < 8; ++i) LogMessage(i == 2 || i == 7 ? longOne : "message " + std::to_string(i), 0);
  const int32_t id = Make(0, 0, 300, 166, DrawSystemMessageList, nullptr, 415);
  ASSERT_GE(V::SetListRows(id, 14, 8, 20), 0);
  const int32_t b = V::BorderWidth, rowH = static_cast<int32_t>(std::lround((166.0 - 2 * b) / 8));
  const int32_t room = 300 - b - 3 - 2 * UnitPx();
  const std::vector<std::string> lines = ListRowLines(longOne, 14, room);
  ASSERT_GE(lines.size(), 2u);
  std::string joined;
  for (const std::string& l : lines) joined += l;
  EXPECT_EQ(joined, longOne);
  EXPECT_EQ(lines.back().substr(lines.back().size() - 12), "Settings.txt");
  const auto hovered = [&](int32_t slot) { return At(300 - b - 6, b + slot * rowH + rowH / 2) == kListRowHovered; };
  const auto inked = [&](int32_t slot) {
    const platform::Image* row = C(id)->Layers[slot];
    int32_t n = 0;
    for (int32_t i = 0; i < row->width * row->height; ++i) n += (row->pixels[i] >> 24) != 0;
    return n;
  };
  const struct {
    int32_t item, firstSlot;
  } rows[] = {{2, 2}, {7, 8 - static_cast<int32_t>(lines.size())}, {-1, -1}};
  int32_t held = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.item);
    C(id)->Text.Mark = r.item;
    Draw(id);
    int32_t ok = 0;
    for (int32_t slot = 0; slot < 8; ++slot) {
      const bool covered = r.firstSlot >= 0 && slot >= r.firstSlot && slot < r.firstSlot + int32_t(lines.size());
      ok += hovered(slot) == (covered || slot == r.item) && inked(slot) > 0;
    }
    EXPECT_EQ(ok, 8);
    held += ok == 8;
  }
  EXPECT_EQ(held, 3);
  MessageConsoleFree();
}

TEST_F(ListMembersTest, FileListShowsFoldersWithTheirGlyph) {
  QUARLE_BASICS::DirList* saved = BrowserListing;
  QUARLE_BASICS::DirList* list = new QUARLE_BASICS::DirList;
  ASSERT_EQ(QUARLE_BASICS::DirListInit(*list), 0);
  ASSERT_EQ(QUARLE_BASICS::DirListAdd(*list, "song.tarvelo", 32, 0), 0);
  ASSERT_EQ(QUARLE_BASICS::DirListAdd(*list, "DEMO", 16, 0), 0);
  BrowserListing = list;
  const int32_t id = ListControl(DrawFileList);
  C(id)->Text.Mark = 1;
  Draw(id);
  const platform::Image* folderRow = C(id)->Layers[1];
  const platform::Image* fileRow = C(id)->Layers[0];
  const int32_t glyphEnd = UnitPx() + IconPx();
  EXPECT_GT(Coverage(folderRow, UnitPx(), 0, glyphEnd, folderRow->height - 1), 0);
  EXPECT_EQ(Coverage(fileRow, 0, 0, IconPx() + 2 * UnitPx() - 1, fileRow->height - 1), 0);
  EXPECT_GT(Coverage(fileRow), 10);
  EXPECT_EQ(TipOf(id), "DEMO");
  BrowserListing = saved;
  QUARLE_BASICS::DirListFree(list);

}

// File names that begin alike (Cyrillic ones, in their escape forms) draw
// apart in a list too narrow for them: each row keeps its name's end; so do
// the drive strip's cells.
TEST_F(ListMembersTest, NamesThatBeginAlikeDrawApartInANarrowList) {
  QUARLE_BASICS::DirList* saved = BrowserListing;
  QUARLE_BASICS::DirList* list = new QUARLE_BASICS::DirList;
  ASSERT_EQ(QUARLE_BASICS::DirListInit(*list), 0);
  for (const char* n : {"1", "2", "3"}) {
    const std::string name = platform::FromOsPath(
        std::string("\xD0\x91\xD0\xB0\xD1\x80\xD0\xB0\xD0\xB1\xD0\xB0\xD0\xBD\xD1\x8B 0") + n + ".wav");
    ASSERT_EQ(QUARLE_BASICS::DirListAdd(*list, name.c_str(), 32, 0), 0);
  }
  BrowserListing = list;
  const int32_t id = ListControl(DrawFileList);
  Draw(id);
  const auto pixels = [&](int32_t row) {
    const platform::Image* r = C(id)->Layers[row];
    return std::vector<uint32_t>(r->pixels, r->pixels + r->width * r->height);
  };
  EXPECT_NE(pixels(0), pixels(1));
  EXPECT_NE(pixels(1), pixels(2));
  EXPECT_NE(pixels(0), pixels(2));
  BrowserListing = saved;
  QUARLE_BASICS::DirListFree(list);

  QUARLE_BASICS::DriveList* savedDrives = Drives;
  const std::string disk = "/media/ann/\xD0\x94\xD0\xB8\xD1\x81\xD0\xBA ";
  platform::SetDriveRootsForTests({"/", disk + "1", disk + "2"});
  QUARLE_BASICS::DriveList three{};
  const int32_t strip = DriveStrip(three, 3);
  C(strip)->Text.Changed = -1;
  EXPECT_EQ(Draw(strip), 0);
  const platform::Image* cells = C(strip)->Layers[0];
  const auto cell = [&](int32_t x0) {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < cells->height; ++y)
      for (int32_t x = x0; x < x0 + 64; ++x) out.push_back(cells->pixels[y * (cells->pitch / 4) + x]);
    return out;
  };
  EXPECT_NE(cell(65), cell(130));
  Drives = savedDrives;
  platform::ProbeDrives();
}

// The status line names the row under the pointer: numbered names that read
// alike to its width still read apart there, at every width the line takes
// (the window's width less the system bar's; zoom 1 from 1280 px, 2 from
// 2560): the part where a name differs from the rows beside it stays in view.
// A name that fits is shown whole.
TEST_F(ListMembersTest, TheStatusLineTellsApartNamesNumberedInTheMiddle) {
  const struct {
    const char* stem;
    const char* rest;
  } groups[] = {
      {"\xD0\x91\xD0\xB0\xD1\x80\xD0\xB0\xD0\xB1\xD0\xB0\xD0\xBD\xD1\x8B ",
       " \xD0\xB6\xD1\x91\xD1\x81\xD1\x82\xD0\xBA\xD0\xB8\xD0\xB9 \xD1\x83\xD0\xB4\xD0\xB0\xD1\x80.wav"},
      {"Acoustic snare ", " with brushes, soft, close microphone, room left.wav"},
  };
  const int32_t widths[] = {120, 230, 400, 760, 1100, 2000};  // the line's layer
  QUARLE_BASICS::DirList* saved = BrowserListing;
  int32_t alike = 0, cases = 0;  // the figure: names shown alike, of those compared
  int32_t fewest = 1 << 30;       // and the fewest columns apart
  for (const auto& g : groups) {
    QUARLE_BASICS::DirList* list = new QUARLE_BASICS::DirList;
    ASSERT_EQ(QUARLE_BASICS::DirListInit(*list), 0);
    std::vector<std::string> names;
    for (const char* n : {"01", "02", "03"}) {
      names.push_back(platform::FromOsPath(std::string(g.stem) + n + g.rest));
      ASSERT_EQ(QUARLE_BASICS::DirListAdd(*list, names.back().c_str(), 32, 0), 0);
    }
    BrowserListing = list;
    const int32_t id = ListControl(DrawFileList);
    for (const int32_t w : widths) {
      SCOPED_TRACE(std::string(g.stem) + " in " + std::to_string(w) + " px");
      const int32_t guide = Make(0, 0, w + 6, 35, DrawLiveGuide);
      AddLayer(guide, w, 29, 0);
      C(guide)->Text.TextSize = 20;
      std::vector<std::vector<uint32_t>> shown;
      for (int32_t row = 0; row < 3; ++row) {
        C(id)->Text.Mark = row;
        Draw(id);
        const std::string tip = TipOf(id);
        ASSERT_EQ(tip, names[row]);
        {
          platform::MutexGuard hold(V::MT_HOVER);
          V::TextFieldSetText(&V::HoverText, tip.c_str());
          V::HoverText.Changed = -1;
        }
        EXPECT_EQ(Draw(guide), 0);
        const platform::Image* layer = C(guide)->Layers[0];
        shown.emplace_back(layer->pixels, layer->pixels + layer->width * layer->height);
        const int32_t whole = V::TextWidth(tip, &V::TextFont, 20);
        if (whole <= w) {
          EXPECT_EQ(C(guide)->Text.LayoutWidth, whole);  // not cut
        }
      }
      // Columns where two names' pictures differ.
      const auto apart = [&](int32_t a, int32_t b) {
        int32_t n = 0;
        for (int32_t x = 0; x < w; ++x)
          for (int32_t y = 0; y < 29; ++y)
            if (shown[a][y * w + x] != shown[b][y * w + x]) {
              ++n;
              break;
            }
        return n;
      };
      for (int32_t a = 0; a < 3; ++a)
        for (int32_t b = a + 1; b < 3; ++b, ++cases) {
          alike += apart(a, b) == 0;
          fewest = std::min(fewest, apart(a, b));
        }
    }
    BrowserListing = saved;
    QUARLE_BASICS::DirListFree(list);
  }
  EXPECT_EQ(alike, 0) << "of " << cases << ", fewest columns apart " << fewest;
}

TEST_F(ListMembersTest, DriveStripCellsAndLabels) {
  QUARLE_BASICS::DriveList* saved = Drives;
  QUARLE_BASICS::DriveList four{};
  const int32_t id = DriveStrip(four, 4);
  C(id)->Text.Mark = 2;
  C(id)->Text.Selected = 3;
  EXPECT_EQ(Draw(id), 0);
  // Cells of nearest(194 / 4) = 48 from x = 3.
  EXPECT_EQ(At(3 + 48 + 2, 25), kColourAmber);
  EXPECT_EQ(At(3 + 96 + 2, 25), kColourBlue);
  EXPECT_EQ(At(3 + 2, 25), kColourNavy);
  Drives = nullptr;
  EXPECT_EQ(Draw(id), 0);  // no drives: no cells
  Drives = saved;
}

// Mounts side by side under one folder (/media/<user>/...) begin alike: each
// cell shows the last folder of its drive's root, which tells them apart (the
// tooltip names the root whole).
TEST_F(ListMembersTest, DriveCellsShowTheLastFolderOfTheirRoot) {
  const std::pair<const char*, const char*> labels[] = {
      {"\\", "\\"}, {"\\media\\ann\\ALPHA", "ALPHA"}, {"\\media\\ann\\USB STICK\\", "USB STICK"},
      {"\\boot", "boot"}, {"", ""}};
  for (const auto& [root, label] : labels) EXPECT_EQ(DriveLabel(root), label) << root;

  QUARLE_BASICS::DriveList* saved = Drives;
  platform::SetDriveRootsForTests({"/", "/media/ann/ALPHA", "/media/ann/I"});
  QUARLE_BASICS::DriveList three{};
  const int32_t id = DriveStrip(three, 3);
  C(id)->Text.Changed = -1;
  EXPECT_EQ(Draw(id), 0);
  // Cells of nearest(194 / 3) = 65: the wide name inks more than the narrow one
  // (the labels are drawn additively: colour without alpha).
  const platform::Image* layer = C(id)->Layers[0];
  const auto inked = [&](int32_t x1, int32_t x2) {
    int32_t n = 0;
    for (int32_t y = 0; y < layer->height; ++y)
      for (int32_t x = x1; x <= x2; ++x) n += (layer->pixels[y * (layer->pitch / 4) + x] & 0xFFFFFFu) != 0;
    return n;
  };
  const int32_t alpha = inked(65, 129), narrow = inked(130, 193);
  EXPECT_GT(narrow, 0);
  EXPECT_GT(alpha, 2 * narrow);
  Drives = saved;
  platform::ProbeDrives();
}

// --- Library lists ------------------------------------------------------------------------

TEST(FormatSecondsTest, TwoDecimalsAndAnS) {
  EXPECT_EQ(FormatSeconds(1.0f), "1.00s");
  EXPECT_EQ(FormatSeconds(1.5f), "1.50s");
  EXPECT_EQ(FormatSeconds(12.34f), "12.34s");
  EXPECT_EQ(FileStem("kick.take.2.wav"), "kick.take.2");
  EXPECT_EQ(FileStem("noext"), "noext");
}

TEST_F(ListMembersTest, CatalogRowsCarryCategoryAndPolyphonyMarks) {
  const int32_t type = std::clamp(ModulePaletteOrder[0], 0, 42);
  ModuleRecord& t = ModuleCatalog[type];
  const int32_t savedCat = t.Category;
  const int64_t savedPoly = t.PolyphonyCapability;
  t.Category = 5;
  t.PolyphonyCapability = 1;
  const int32_t id = ListControl(DrawModuleCatalogList, 1);  // layer 0: the icon
  Draw(id);
  // Row 0 at top 3, height 20: marker edge and fill.
  EXPECT_EQ(At(3, 3), 0xFF141414u);
  EXPECT_EQ(At(3 + 4, 3 + 10), 0xFFC800AAu);
  // Icon at (x0 + w0 - IconSize - 3, top + textOffset - 1) = (3 + 295 - 16 - 3, 3 + 3 - 1).
  EXPECT_EQ(At(279, 5), 0xFFFF0000u);
  t.PolyphonyCapability = 0;
  Draw(id);
  EXPECT_NE(At(279, 5), 0xFFFF0000u);
  t.Category = savedCat;
  t.PolyphonyCapability = savedPoly;
}

TEST_F(ListMembersTest, SampleRowsShowTagsDurationsAndStatusIcons) {
  ASSERT_EQ(WaveLibraryListCreate(SynthSamples), 0);
  static float data[4] = {};
  const char* names[3] = {"busy.wav", "empty.wav", "kick.take.2.wav"};
  WaveLibraryEntry* e[3];
  for (int i = 0; i < 3; ++i) {
    e[i] = WaveLibraryEntryNew();
    ASSERT_NE(e[i], nullptr);
    QUARLE_BASICS::DynZStringAssign(e[i]->File, names[i]);
    e[i]->Sound.format.channels = static_cast<int16_t>(i == 2 ? 2 : 1);
    e[i]->Duration.Store(2.5f);
    ASSERT_EQ(WaveLibraryListReserve(SynthSamples), 0);
    WaveLibraryListCommit(SynthSamples, e[i]);
  }
  e[0]->State.Store(kWaveCreating);
  e[0]->Sound.samples = data;
  e[2]->Sound.samples = data;
  ModuleRecord module{};
  module.SampleEntry.Store(e[0]);
  ModuleRecord* savedSelected = SelectedModule;
  SetSelectedModule(&module);

  const int32_t id = ListControl(DrawSampleMemoryList, 3);  // icons 0xFFFF0000, 01, 02
  C(id)->Text.Mark = 2;
  Draw(id);
  // Busy beats attached; no data; the selected module's wave.
  EXPECT_EQ(At(279, 5), 0xFFFF0001u);
  EXPECT_EQ(At(279, 25), 0xFFFF0002u);
  EXPECT_NE(At(279, 45), 0xFFFF0000u);
  module.SampleEntry.Store(e[2]);
  Draw(id);
  EXPECT_EQ(At(279, 45), 0xFFFF0000u);
  EXPECT_EQ(TipOf(id), "kick.take.2.wav (Stereo, 2.50s)");
  EXPECT_GT(Coverage(C(id)->Layers[3 + 2]), 10);

  SetSelectedModule(savedSelected);
  for (int i = 0; i < 3; ++i) e[i]->Sound.samples = nullptr;
  WaveLibraryListFree(SynthSamples);
}

// Entries for the library lists: name, channels, data, state.
WaveLibraryEntry* ListEntry(WaveLibraryList& list, const char* name, int32_t channels, float* data = nullptr,
                            int32_t state = kWaveIdle) {
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  EXPECT_NE(e, nullptr);
  QUARLE_BASICS::DynZStringAssign(e->File, name);
  e->Sound.format.channels = static_cast<int16_t>(channels);
  e->Sound.samples = data;
  e->Duration.Store(2.5f);
  e->State.Store(state);
  EXPECT_EQ(WaveLibraryListReserve(list), 0);
  WaveLibraryListCommit(list, e);
  return e;
}
void ForgetData(WaveLibraryList& list) {
  for (int32_t i = 0; i < list.header.count; ++i) list.entries[i]->Sound.samples = nullptr;
}
bool SamePixels(const platform::Image* a, const platform::Image* b) {
  if (!a || !b || a->width != b->width || a->height != b->height) return false;
  for (int32_t y = 0; y < a->height; ++y)
    for (int32_t x = 0; x < a->width; ++x)
      if (a->pixels[y * (a->pitch / 4) + x] != b->pixels[y * (b->pitch / 4) + x]) return false;
  return true;
}

// A sound of more channels than there are tags shows the tag and layout name
// of index 0 ("N/A"), like a sound that says 0 channels; a mono one shows "M".
TEST_F(ListMembersTest, SampleLibraryRowsClampTheChannelTag) {
  ASSERT_EQ(WaveLibraryListCreate(SampleLibrary), 0);
  ListEntry(SampleLibrary, "wide.wav", 14);
  ListEntry(SampleLibrary, "wide.wav", 0);
  ListEntry(SampleLibrary, "wide.wav", 1);
  const int32_t id = ListControl(DrawSampleLibraryList);
  C(id)->Text.Mark = 0;
  EXPECT_EQ(Draw(id), 0);
  const V::ControlRecord* c = C(id);
  EXPECT_TRUE(SamePixels(c->Layers[0], c->Layers[1]));
  EXPECT_FALSE(SamePixels(c->Layers[0], c->Layers[2]));
  // Tag, duration and the whole name (extension included) are drawn.
  EXPECT_GT(Coverage(c->Layers[0], UnitPx(), 0, 6 * UnitPx() - 1, -1), 0);
  EXPECT_GT(Coverage(c->Layers[0], 6 * UnitPx(), 0, 20 * UnitPx() - 1, -1), 0);
  EXPECT_GT(Coverage(c->Layers[0], 20 * UnitPx(), 0, -1, -1), 10);
  EXPECT_EQ(TipOf(id), "wide.wav (N/A, 2.50s)");
  C(id)->Text.Mark = 2;
  Draw(id);
  EXPECT_EQ(TipOf(id), "wide.wav (Mono, 2.50s)");
  WaveLibraryListFree(SampleLibrary);
}

// Filter rows: the name without its extension, the status icon (busy beats
// attached, no data, the selected module's wave) and the whole name as tooltip.
TEST_F(ListMembersTest, FilterRowsShowStemsAndStatusIcons) {
  ASSERT_EQ(WaveLibraryListCreate(FilterLibrary), 0);
  static float taps[4] = {};
  WaveLibraryEntry* busy = ListEntry(FilterLibrary, "lp.x.wav", 1, taps, kWaveCreating);
  ListEntry(FilterLibrary, "lp.x.y", 1);  // no data
  WaveLibraryEntry* played = ListEntry(FilterLibrary, "hp.wav", 16, taps);
  ModuleRecord module{};
  module.SampleEntry.Store(busy);
  ModuleRecord* savedSelected = SelectedModule;
  SetSelectedModule(&module);
  const int32_t id = ListControl(DrawFilterList, 3);  // icons 0xFFFF0000, 01, 02
  C(id)->Text.Mark = 0;
  EXPECT_EQ(Draw(id), 0);
  EXPECT_EQ(At(279, 5), 0xFFFF0001u);
  EXPECT_EQ(At(279, 25), 0xFFFF0002u);
  EXPECT_NE(At(279, 45), 0xFFFF0000u);
  EXPECT_EQ(TipOf(id), "lp.x.wav");
  // Only the text from the last dot on goes: both rows read "lp.x".
  EXPECT_TRUE(SamePixels(C(id)->Layers[3], C(id)->Layers[4]));
  module.SampleEntry.Store(played);
  C(id)->Text.Mark = 2;
  Draw(id);
  EXPECT_EQ(At(279, 45), 0xFFFF0000u);
  EXPECT_EQ(TipOf(id), "hp.wav");
  SetSelectedModule(savedSelected);
  ForgetData(FilterLibrary);
  WaveLibraryListFree(FilterLibrary);
}

// Created modules: the category marker, the label (name, " #", instance) and
// the polyphony icon only while the module computes per voice.
TEST_F(ListMembersTest, CreatedModuleRowsCarryCategoryLabelAndPolyphony) {
  const ModuleListRecord saved = ModuleList;
  auto a = std::make_unique<ModuleRecord>();
  auto b = std::make_unique<ModuleRecord>();
  QUARLE_BASICS::DynZStringAssign(a->Name, "Delay");
  QUARLE_BASICS::DynZStringAssign(b->Name, "Delay");
  a->InstanceNumber.Store(1);
  b->InstanceNumber.Store(12);
  a->Category = 6;
  b->Category = 4;
  b->ModuleSwitches[kSwitchPerVoice].Store(-1);
  ModuleRecord* rows[2] = {a.get(), b.get()};
  ModuleList.entries = rows;
  ModuleList.count = 2;
  ModuleList.capacity = 2;
  ModuleList.lock = nullptr;
  const int32_t id = ListControl(DrawCreatedModuleList, 1);  // layer 0: the icon
  C(id)->Text.Mark = 1;
  EXPECT_EQ(Draw(id), 0);
  ModuleList = saved;
  EXPECT_EQ(At(3, 3), 0xFF141414u);
  EXPECT_EQ(At(3 + 4, 3 + 10), CategoryColours[6]);
  EXPECT_EQ(At(3 + 4, 23 + 10), CategoryColours[4]);
  // Icon at (x0 + w0 - IconSize - 5, top + textOffset) = (3 + 295 - 16 - 5, top + 3).
  EXPECT_NE(At(277, 6), 0xFFFF0000u);
  EXPECT_EQ(At(277, 26), 0xFFFF0000u);
  EXPECT_EQ(TipOf(id), "Delay #12");
  // The two labels differ only in their numbers; the text starts at 3 x UiUnit.
  EXPECT_FALSE(SamePixels(C(id)->Layers[1], C(id)->Layers[2]));
  EXPECT_EQ(Coverage(C(id)->Layers[1], 0, 0, 3 * UnitPx() - 1, -1), 0);
  EXPECT_GT(Coverage(C(id)->Layers[1]), 10);
  QUARLE_BASICS::DynZStringFree(a->Name);
  QUARLE_BASICS::DynZStringFree(b->Name);
}

}  // namespace
