// A frame that redraws only what was marked shows what a whole redraw shows,
// on the built interface: while a module box is created, dragged and deleted
// (its output port's glyph reaches below the port), while cables are made,
// moved, restyled and removed, and while a parent whose child lies outside it
// is hidden and shown again. And the real video thread draws while the
// interface thread changes what it draws, reading nothing it does not own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/startup.h"
#include "app/state/dialogs.h"
#include "app/state/module_page.h"
#include "app/state/modules.h"
#include "engine/catalog/catalog.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "platform/folders.h"
#include "platform/screen.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/panels/install.h"
#include "ui/views/cables.h"
#include "ui/views/control_drawing.h"
#include "ui/views/install.h"
#include "ui/views/partial_frame_fixture.h"
#include "ui/views/synth_plane.h"
#include "ui/views/tuning_displays.h"
#include "visuals/control_table.h"
#include "visuals/dirty_region.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace {

namespace V = QUARLE_VISUALS;
using Tarvelo::ModuleRecord;

class PartialFrames : public viewsc::PartialFrameTest {
 protected:
  void SetUp() override {
    PartialFrameTest::SetUp();
    if (HasFatalFailure()) return;
    // The start-up's about window covers the middle of the plane.
    const int32_t about = V::WindowList[1];
    ASSERT_GT(about, 0);
    V::ControlSetVisible(C(about), 0);
    V::UpdateControl(about, 0);
    V::RenderFrame(true);
  }
  void TearDown() override {
    Tarvelo::CancelPendingPortLink();
    Tarvelo::PlaneMoving.store(0);
    Tarvelo::LowFrameRateMode.store(0);
    PartialFrameTest::TearDown();
  }

  // The pixels marked for the next frame (-1: the whole screen); with
  // `keep` they stay marked.
  static int64_t MarkedArea(bool keep = false) {
    std::vector<platform::ScreenRect> rects;
    bool whole = false;
    V::TakeDirtyRegion(rects, whole);
    int64_t area = 0;
    for (const auto& r : rects) {
      area += int64_t{r.w} * r.h;
      if (keep) V::MarkScreenDirty(r.x, r.y, r.w, r.h);
    }
    if (whole && keep) V::MarkWholeScreenDirty();
    return whole ? -1 : area;
  }
};

TEST_F(PartialFrames, AModuleBoxCreatedDraggedAndDeletedLeavesNoTrail) {
  ModuleRecord* m = Make(Tarvelo::kTypeOscillator, 700, 500);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(StalePixels(), 0) << "created";

  // The output port's glyph reaches past the port's rectangle.
  const V::ControlRecord* out = C(Output(m));
  ASSERT_NE(out, nullptr);
  ASSERT_GT(out->LayerCount, 0);
  ASSERT_NE(out->Layers[0], nullptr);
  EXPECT_GT(V::BorderWidth + out->Layers[0]->height, out->H);

  const int32_t box = static_cast<int32_t>(m->BoxControl.Load());
  const int32_t x0 = C(box)->X, y0 = C(box)->Y;
  Send(box, 2, x0 + 5, y0 + 5);
  Send(box, 16, 6, 0);  // past the threshold: the box moves
  for (int32_t step = 0; step < 5; ++step) {
    Send(box, 16, 3, -2);
    V::RenderFrame(false);
  }
  Send(box, 4, 0, 0);
  EXPECT_NE(C(box)->X, x0);
  EXPECT_EQ(StalePixels(), 0) << "dragged";

  ASSERT_EQ(Tarvelo::DeleteModule(m), 0);
  EXPECT_EQ(StalePixels(), 0) << "deleted";
}

TEST_F(PartialFrames, EveryCableChangeIsRedrawnAtTheNextFrame) {
  ModuleRecord* kb = Make(Tarvelo::kTypeKeyboard, 300, 250);
  ModuleRecord* osc = Make(Tarvelo::kTypeOscillator, 700, 520);
  ModuleRecord* far = Make(Tarvelo::kTypeOscillator, 1200, 300);
  ASSERT_TRUE(kb && osc && far);
  ASSERT_EQ(StalePixels(), 0) << "created";
  const int32_t box = static_cast<int32_t>(osc->BoxControl.Load());
  const int32_t plane = Plane();
  auto click = [](int32_t id) { Send(id, 8, C(id)->X + 1, C(id)->Y + 1); };
  auto link = [&](ModuleRecord* from, ModuleRecord* to, int32_t port) {
    click(Output(from));
    click(Input(to, port));
  };

  struct Step {
    const char* what;
    std::function<void()> act;
  };
  const Step steps[] = {
      {"linked", [&] { link(kb, osc, 0); }},
      {"a second input linked", [&] { link(kb, osc, 1); }},
      {"linked elsewhere", [&] { link(far, osc, 1); }},
      {"box pressed", [&] { Send(box, 2, C(box)->X + 5, C(box)->Y + 5); }},
      {"box dragged past the threshold", [&] { Send(box, 16, 8, 0); }},
      {"box dragged on", [&] { Send(box, 16, -60, 45); }},
      {"box released", [&] { Send(box, 4); }},
      {"box moved by the program", [&] {
         V::ControlSetY(C(box), C(box)->Y - 70);
         V::UpdateControl(box, 0);
       }},
      {"plane dragged", [&] { Send(plane, 16, -45, 30); }},
      {"plane released", [&] { Send(plane, 4); }},
      {"synth output", [&] {
         click(Output(osc));
         click(Slot(Tarvelo::kUiSOUT));
       }},
      {"frame rate proved low", [&] { Tarvelo::LowFrameRateMode.store(-1); }},
      {"low rate ends (tests only)", [&] {
         Tarvelo::LowFrameRateMode.store(0);
         Tarvelo::PlaneMoving.store(0);
       }},
      {"unlinked", [&] { link(kb, osc, 0); }},
      {"linked module deleted", [&] { ASSERT_EQ(Tarvelo::DeleteModule(far), 0); }},
      {"module with links copied", [&] { Tarvelo::CreateModule(osc->ListIndex.Load(), 900, 800, 0); }},
      {"synth cleared", [&] { Tarvelo::ClearSynth(); }},
  };
  for (const Step& s : steps) {
    s.act();
    EXPECT_EQ(StalePixels(), 0) << s.what;
  }
}

// The frame does not wait while the module list is held (a synth loading):
// the cable made meanwhile is found, and marked, by the next frame.
TEST_F(PartialFrames, ABusyModuleListPutsTheCableCheckOffToTheNextFrame) {
  ModuleRecord* kb = Make(Tarvelo::kTypeKeyboard, 300, 250);
  ModuleRecord* osc = Make(Tarvelo::kTypeOscillator, 700, 520);
  ASSERT_TRUE(kb && osc);
  ASSERT_EQ(StalePixels(), 0);
  ASSERT_EQ(Tarvelo::ModuleLinkInput(*osc, 0, kb, &Tarvelo::ModuleCatalog[osc->Type]), 4);
  QUARLE_BASICS::Segment cable;
  ASSERT_EQ(Tarvelo::CollectCables(Plane(), &cable, nullptr, 1), 1);
  const int32_t midX = static_cast<int32_t>(cable.x0 + cable.dx * 0.5f);
  const int32_t midY = static_cast<int32_t>(cable.y0 + cable.dy * 0.5f);
  auto marked = [&] {
    std::vector<platform::ScreenRect> rects;
    bool whole = false;
    V::TakeDirtyRegion(rects, whole);
    bool mid = false;
    for (const auto& r : rects)
      mid = mid || (r.x <= midX && midX < r.x + r.w && r.y <= midY && midY < r.y + r.h);
    return mid;
  };
  marked();  // whatever the link itself marked

  std::promise<void> held, release;
  std::thread holder([&] {
    platform::MutexLock(Tarvelo::ModuleList.lock);
    held.set_value();
    release.get_future().wait();
    platform::MutexUnlock(Tarvelo::ModuleList.lock);
  });
  held.get_future().wait();
  Tarvelo::BeginCableFrame();
  Tarvelo::EndCableFrame();
  EXPECT_FALSE(marked()) << "looked while the list was held";
  release.set_value();
  holder.join();
  Tarvelo::BeginCableFrame();
  Tarvelo::EndCableFrame();
  EXPECT_TRUE(marked()) << "the cable between the boxes";
}

// What boxes and ports show of their module's state, changed with the pointer
// still (by the engine, the render, a controller, the module page): the next
// partial frame shows it, and a one-frame flash is gone the frame after.
TEST_F(PartialFrames, EngineStateShownByBoxesAndPortsIsRedrawnWithThePointerStill) {
  ModuleRecord* kb = Make(Tarvelo::kTypeKeyboard, 300, 250);
  ModuleRecord* osc = Make(Tarvelo::kTypeOscillator, 700, 520);
  ModuleRecord* lfo = Make(Tarvelo::kTypeOscillator, 1100, 300);
  ASSERT_TRUE(kb && osc && lfo);
  // The oscillator feeds the synth output through the second one, so that the
  // processing order holds it.
  ASSERT_EQ(Tarvelo::ModuleLinkInput(*osc, 0, kb, &Tarvelo::ModuleCatalog[osc->Type]), 4);
  ASSERT_EQ(Tarvelo::ModuleLinkInput(*lfo, 1, osc, &Tarvelo::ModuleCatalog[lfo->Type]), 4);
  Tarvelo::SynthOutputModule.store(lfo);
  Tarvelo::UpdateProcessingOrder(0);
  ASSERT_EQ(osc->OrderExcluded.Load(), 0);
  ASSERT_EQ(StalePixels(), 0) << "made";
  auto order = [] { Tarvelo::UpdateProcessingOrder(0); };
  auto clip = [&] { osc->ClipFlag.Store(-1); };
  auto moved = [&] { osc->Params[1].MidiMoved.Store(-1); };

  struct Step {
    const char* what;
    std::function<void()> act;
    int32_t port = 0;    // a port whose frame is looked at
    bool flash = false;  // it shows its one-frame colour
  };
  const int32_t out = Output(osc), in = Input(osc, 1);
  const Step steps[] = {
      {"switched off", [&] { osc->ModuleSwitches[Tarvelo::kSwitchPower].Store(0), order(); }},
      {"switched on", [&] { osc->ModuleSwitches[Tarvelo::kSwitchPower].Store(-1), order(); }},
      {"output clipped", clip, out, true},
      {"clip frame gone", [] {}, out},
      {"input moved by a controller", moved, in, true},
      {"controller frame gone", [] {}, in},
      {"selected: the keyboard triggers it", [&] {
         osc->TriggerOwner.Store(kb);  // as a per-voice order makes it
         Tarvelo::SelectModule(osc, -1);
       }},
      {"a new order: no longer triggered", order},
      {"triggered again", [&] { osc->TriggerOwner.Store(kb); }},
      {"another selected", [&] { Tarvelo::SelectModule(lfo, -1); }},
      {"none selected", [&] { Tarvelo::SelectModule(nullptr, -1); }},
      {"per voice", [&] { osc->ModuleSwitches[Tarvelo::kSwitchPerVoice].Store(-1); }},
      {"not per voice", [&] { osc->ModuleSwitches[Tarvelo::kSwitchPerVoice].Store(0); }},
      {"linked by the engine", [&] {
         ASSERT_EQ(Tarvelo::ModuleLinkInput(*lfo, 0, kb, &Tarvelo::ModuleCatalog[lfo->Type]), 4);
         order();
       }},
      {"linked to itself by the engine", [&] {
         ASSERT_EQ(Tarvelo::ModuleLinkInput(*lfo, 2, lfo, &Tarvelo::ModuleCatalog[lfo->Type]), 4);
         order();
       }},
      {"another synth output set by the engine", [&] {
         Tarvelo::SynthOutputModule.store(osc);
         order();
       }},
      {"output cleared by the engine", [&] {
         Tarvelo::SynthOutputModule.store(nullptr);
         order();
       }},
  };
  for (const Step& s : steps) {
    s.act();
    EXPECT_EQ(StalePixels(), 0) << s.what;
    if (s.port == 0) continue;
    const uint32_t corner = Shown()[static_cast<size_t>(C(s.port)->Y * kW + C(s.port)->X)];
    EXPECT_EQ(corner == (s.port == out ? 0xFFFF0000u : 0xFFFF7F00u), s.flash) << s.what;
  }
}

// A hover over a bare place of the plane redraws the position read-out, not
// the plane.
TEST_F(PartialFrames, AHoverOverTheBarePlaneMarksLittleOfIt) {
  ASSERT_NE(Make(Tarvelo::kTypeOscillator, 700, 520), nullptr);
  const int32_t plane = Plane();
  const V::ControlRecord* p = C(plane);
  int32_t x = p->X + 20, y = p->Y + 20;
  ASSERT_EQ(V::ControlHitTest(x, y, 0), plane);
  // The pointer has come onto the plane already.
  V::ControlRecord* live = C(plane);
  live->State.Active = -1;
  Send(plane, 1, x, y);
  ASSERT_EQ(StalePixels(), 0);
  for (int32_t step = 1; step <= 3; ++step) {
    live->State.Active = -1;
    Send(plane, 1, x + 7 * step, y + 5 * step);
    const int64_t marked = MarkedArea();
    EXPECT_GT(marked, 0) << "the read-out";
    EXPECT_LT(marked * 20, int64_t{p->W} * p->H) << "hover " << step;
  }
}

// A module dragged from the catalog list over the plane: its outline follows
// the pointer, redrawn where it was and where it is, and goes when the drag
// leaves without a drop.
TEST_F(PartialFrames, TheDropOutlineRedrawsOnlyWhereItWasAndIs) {
  const int32_t plane = Plane(), list = Slot(Tarvelo::kUiREFM);
  ASSERT_GT(list, 0);
  V::ControlRecord* live = C(plane);
  Tarvelo::DragModuleIndex = Tarvelo::kTypeOscillator;
  live->DragOver = -1;  // as the event loop sets it
  auto over = [&](int32_t x, int32_t y) {
    V::Pointer.x = x;
    V::Pointer.y = y;
    Send(plane, 32, 4, 3, list);
  };
  over(400, 400);
  EXPECT_EQ(StalePixels(), 0) << "outline shown";
  over(430, 420);
  // The frame's start marks the outline's two places.
  Tarvelo::BeginCableFrame();
  Tarvelo::EndCableFrame();
  const int64_t marked = MarkedArea(true);
  EXPECT_GT(marked, 0);
  EXPECT_LT(marked * 20, int64_t{live->W} * live->H) << "moved";
  EXPECT_EQ(StalePixels(), 0) << "outline moved";
  // The drag runs on past each edge of the plane (the lists lie beyond it):
  // the outline stays on the plane, cut at its edge (the fixture fails a
  // draw asking to paint outside).
  const int32_t edges[][2] = {{live->X - 60, live->Y + 200}, {live->X + 300, live->Y - 50},
                              {live->X + live->W - 20, live->Y + 300},
                              {live->X + 400, live->Y + live->H - 10}};
  for (const auto& e : edges) {
    over(e[0], e[1]);
    EXPECT_EQ(StalePixels(), 0) << "outline at " << e[0] << "," << e[1];
  }
  live->DragOver = 0;  // released off the plane
  EXPECT_EQ(StalePixels(), 0) << "outline gone";
  Tarvelo::DragModuleIndex = -1;
}

// The interface with every draw callback and handler the program installs.
class InstalledFrames : public PartialFrames {
 protected:
  void BeforeBuild() override {
    PartialFrames::BeforeBuild();
    Tarvelo::InstallViewCallbacksA();
    Tarvelo::InstallViewCallbacksB();
    Tarvelo::InstallPanelHandlersA();
    Tarvelo::InstallPanelHandlersB();
  }
  void TearDown() override {
    Tarvelo::TimeBaseIndex.Store(0);
    PartialFrames::TearDown();
  }
  // StalePixels with the memory read-out aside: it shows a live value of its own.
  static int64_t StaleBesideMemory() {
    std::vector<int32_t> where;
    StalePixels(&where);
    const int32_t memory = Slot(Tarvelo::kUiFRE);
    return std::count_if(where.begin(), where.end(),
                         [&](int32_t i) { return V::ControlHitTest(i % kW, i / kW, 0) != memory; });
  }
};

// A key pressed and released, in each number base the tuning editor sets,
// redraws what a whole frame shows.
TEST_F(InstalledFrames, AnOctaveBoardKeyPressedAndReleasedInEveryNumberBase) {
  for (const int32_t window : {Tarvelo::kWinBBGROUP, Tarvelo::kWinKBGROUP}) {
    V::ControlSetVisible(C(V::WindowList[window]), -1);
    V::UpdateControl(V::WindowList[window], 0);
  }
  const int32_t bb = Slot(Tarvelo::kUiBB), tstb = Slot(Tarvelo::kUiTSTB);
  ASSERT_TRUE(OnScreen(bb));
  ASSERT_GT(tstb, 0);
  ASSERT_EQ(StaleBesideMemory(), 0) << "shown";
  auto key = [&](int32_t row, uint32_t bits) {
    V::Pointer.x = C(bb)->X + C(bb)->W / 2;
    V::Pointer.y = C(bb)->Y + row * Tarvelo::OctaveKeyHeight.Load() + Tarvelo::OctaveKeyHeight.Load() / 2;
    Send(bb, bits, V::Pointer.x, V::Pointer.y);
  };
  // Base 3's 14 keys leave a strip below the last; bases 5 and 2 fill the board.
  struct Row {
    int32_t base;
    int32_t spare;  // the board's height beyond its keys
  };
  const Row rows[] = {{1, 6}, {2, 0}, {0, 0}, {1, 6}};
  for (const Row& r : rows) {
    SCOPED_TRACE("base index " + std::to_string(r.base));
    C(tstb)->Text.Selected = r.base;
    Send(Find("TSS"), V::kEventClick);
    ASSERT_EQ(Tarvelo::TimeBaseIndex.Load(), r.base);
    EXPECT_EQ(StaleBesideMemory(), 0) << "set";
    EXPECT_EQ(C(bb)->H - Tarvelo::OctaveBoardVisibleKeys.Load() * Tarvelo::OctaveKeyHeight.Load(), r.spare);
    for (const int32_t row : {0, Tarvelo::OctaveBoardVisibleKeys.Load() - 1, 2}) {
      key(row, V::kEventPress);
      EXPECT_EQ(StaleBesideMemory(), 0) << "row " << row << " pressed";
      key(row, V::kEventClick);
      EXPECT_EQ(StaleBesideMemory(), 0) << "row " << row << " released";
    }
    // The strip shows the board's own colour, whichever draw painted it last.
    if (r.spare > 0) {
      const V::ControlRecord* b = C(bb);
      EXPECT_EQ(Shown()[static_cast<size_t>((b->Y + b->H - 1) * kW + b->X + b->W / 2)], b->Colour);
    }
  }
}

TEST_F(PartialFrames, HidingAParentTakesItsChildrenOutsideItAlong) {
  // A shown parent (not a window of its own) with a shown child beyond its rectangle.
  int32_t parent = 0, child = 0;
  for (int32_t id = 1; id < V::ControlTableCount() && !parent; ++id) {
    const V::ControlRecord* c = C(id);
    if (!c || c->Parent == id || c->Visible == 0) continue;
    const V::ControlRecord* p = C(c->Parent);
    if (!p || p->Id == 0 || p->Visible == 0 || p->ClipChildren != 0) continue;
    if (!OnScreen(p->Id)) continue;
    const bool outside = c->X < p->X || c->Y < p->Y || c->X + c->W > p->X + p->W ||
                         c->Y + c->H > p->Y + p->H;
    if (outside && c->W > 0 && c->H > 0) parent = p->Id, child = id;
  }
  ASSERT_GT(parent, 0) << "no parent with a child outside it";
  SCOPED_TRACE(Id(parent) + " / " + Id(child));

  V::ControlSetVisible(C(parent), 0);
  V::UpdateControl(parent, 0);
  EXPECT_EQ(StalePixels(), 0) << "hidden";
  V::ControlSetVisible(C(parent), -1);
  V::UpdateControl(parent, 0);
  EXPECT_EQ(StalePixels(), 0) << "shown";
  V::ControlSetAlpha(C(parent), 0);
  V::UpdateControl(parent, 0);
  EXPECT_EQ(StalePixels(), 0) << "transparent";
  V::ControlSetAlpha(C(parent), 255);
  V::UpdateControl(parent, 0);
  EXPECT_EQ(StalePixels(), 0) << "opaque";
}

// A far too long text paints only within its cell (a drive's, a library row's up to its
// icon, the question's beside the edit line, a key's); a shorter one after it as afresh.
TEST_F(InstalledFrames, ALongTextPaintsOnlyWithinItsCell) {
  namespace T = Tarvelo;
  const int32_t B = V::BorderWidth, drives = Slot(T::kUiBDRV), catalog = Slot(T::kUiREFM),
                grid = Slot(T::kUiTNGSCL), question = Find("DB_TEXT");
  for (const int32_t w : {T::kWinPANEL, T::kWinTNG})
    V::ControlSetVisible(C(V::WindowList[w]), -1), V::UpdateControl(V::WindowList[w], 0);
  QUARLE_BASICS::DriveList three{{1, 2, 3}, 3}, *savedDrives = T::Drives;
  T::Drives = &three;
  ModuleRecord* osc = Make(T::kTypeOscillator, 700, 500);
  QUARLE_BASICS::DynZString& catalogName = T::ModuleCatalog[T::ModulePaletteOrder[0]].Name;
  const std::string savedName = QUARLE_BASICS::DynZStringGet(catalogName);
  const int32_t cw = T::Nearest((C(drives)->W - 2 * B) / 3.0);
  const int32_t rowW = C(catalog)->W - B - 2 - T::IconPx(), rowH = B + T::ListRowHeight;
  const float kw = T::TuningCellWidth(C(grid)->W, 12);
  const int32_t key1 = static_cast<int32_t>(std::floor(kw)), key2 = static_cast<int32_t>(std::floor(2 * kw));
  const struct {
    const char* what;
    std::vector<const char*> tabs;
    int32_t id;
    std::function<void(const std::string&)> put;
    int32_t at, dx, w, h;  // the cell: from control at's left, h 0 for its height
  } places[] = {
      {"drive 2", {"TABFIL"}, drives,
       [](const std::string& t) { platform::SetDriveRootsForTests({"/", "/media/" + t, "/mnt"}); },
       drives, B + cw, cw, 0},
      {"catalog row", {"TABMOD", "LIBT1"}, catalog,
       [&](const std::string& t) { QUARLE_BASICS::DynZStringAssign(catalogName, t); }, catalog, B, rowW - 3, rowH},
      {"created module row", {"LIBT2"}, catalog + 1,
       [&](const std::string& t) {
         platform::MutexGuard g(T::ModuleList.lock);
         QUARLE_BASICS::DynZStringAssign(osc->Name, t);
       },
       catalog, B, rowW - 5, rowH},
      {"question", {}, question,
       [&](const std::string& t) { T::CloseDialog(), T::OpenDialog(drives, t, -1, "name", 0, 0, 0); },
       question, B, C(Find("DB_EDIT"))->W - 3 * B - 1, 0},  // it narrows to the edit line
      {"key 1", {}, grid,
       [](const std::string& t) {
         platform::MutexGuard g(T::MT_TUNINGS[T::kEditedTuning]);
         T::TuningSetNoteName(T::EditedTuning, 1, t.c_str());
       },
       grid, B + key1 + 2, key2 - key1 - 2, 0},
  };
  for (const auto& p : places) {
    SCOPED_TRACE(p.what);
    for (const char* tab : p.tabs) Send(Find(tab), V::kEventPress | V::kEventClick);
    std::vector<uint32_t> fresh;
    for (const std::string& text : {std::string("Ab"), std::string(250, 'W'), std::string("Ab")}) {
      p.put(text);
      V::ControlPublishText(C(p.id), -1);
      ASSERT_TRUE(OnScreen(p.id));
      EXPECT_EQ(StaleBesideMemory(), 0);
      const std::vector<uint32_t> now = Shown();
      if (fresh.empty()) fresh = now;
      // In the control's parent: beside the cell, and after the shorter text anywhere.
      const V::ControlRecord* in = C(C(p.id)->Parent);
      const int32_t x0 = C(p.at)->X + p.dx, y0 = C(p.at)->Y, h = p.h > 0 ? p.h : C(p.at)->H;
      int32_t changed = 0;
      for (int32_t y = std::max(in->Y, 0); y < std::min(in->Y + in->H, kH); ++y)
        for (int32_t x = std::max(in->X, 0); x < std::min(in->X + in->W, kW); ++x) {
          const bool cell = x >= x0 && x < x0 + p.w && y >= y0 && y < y0 + h;
          changed += !(cell && text.size() > 2) && now[y * kW + x] != fresh[y * kW + x];
        }
      EXPECT_EQ(changed, 0) << text.size() << " characters";
    }
  }
  T::CloseDialog();
  T::Drives = savedDrives;
  platform::ProbeDrives();
  QUARLE_BASICS::DynZStringAssign(catalogName, savedName);
}

}  // namespace

namespace {

// The frames the video thread has begun, counted by its frame watch.
std::atomic<int64_t> g_framesBegun{0};
void CountingFrameBegin() {
  g_framesBegun.fetch_add(1);
  Tarvelo::BeginCableFrame();
}

// The real video thread drawing the whole interface at its own pace while the
// interface thread changes what it draws: ThreadSanitizer's pass fails on any
// read of an interface or module record the draw does not own.
class VideoThreadDraws : public InstalledFrames {
 protected:
  void TearDown() override {
    V::StopVideoThread();
    V::SetFrameWatch(Tarvelo::BeginCableFrame, Tarvelo::EndCableFrame);
    InstalledFrames::TearDown();
  }
  // Waits until the thread begins another frame, so that what comes next
  // meets that frame's draws; false after the hang bound.
  static bool NextFrame() { return uitest::WaitPast(g_framesBegun); }
};

TEST_F(VideoThreadDraws, WhatItReadsIsPublishedWhilePlanePansSelectionsAndDeletionsComeAndGo) {
  constexpr int32_t kTypes[] = {Tarvelo::kTypeKeyboard, Tarvelo::kTypeOscillator,
                                Tarvelo::kTypeAdsr, Tarvelo::kTypeMixer, Tarvelo::kTypeSequencer};
  for (int32_t i = 0; i < 6; ++i) Make(kTypes[i % 5], 260 + 230 * (i % 4), 260 + 170 * (i / 4));
  ModuleRecord* const* list = Tarvelo::ModuleList.entries;
  ASSERT_EQ(Tarvelo::ModuleList.count, 6);
  ASSERT_EQ(Tarvelo::ModuleLinkInput(*list[1], 0, list[0], &Tarvelo::ModuleCatalog[list[1]->Type]), 4);
  ASSERT_EQ(Tarvelo::ModuleLinkInput(*list[2], 0, list[1], &Tarvelo::ModuleCatalog[list[2]->Type]), 4);
  V::ControlRecord* patterns = C(Slot(Tarvelo::kUiSAM_PATTERNS));
  ASSERT_NE(patterns, nullptr);
  const int32_t libm = Slot(Tarvelo::kUiREFM) + 1;

  V::SetFrameWatch(CountingFrameBegin, Tarvelo::EndCableFrame);
  V::InterfaceReady = -1;
  ASSERT_EQ(V::StartVideoThread(0), 0);
  ASSERT_TRUE(NextFrame());

  std::mt19937 rng(38);
  auto coin = [&](int32_t n) { return std::uniform_int_distribution<int32_t>(0, n - 1)(rng); };
  auto any = [&]() -> ModuleRecord* {
    const int32_t n = Tarvelo::ModuleList.count;
    return n > 0 ? Tarvelo::ModuleList.entries[coin(n)] : nullptr;
  };
  int32_t deleted = 0, added = 0;
  for (int32_t round = 0; round < 40; ++round) {
    // The plane panned, as a drag on it does.
    for (int32_t step = 0; step < 3; ++step) Send(Plane(), V::kEventDrag, coin(15) - 7, coin(11) - 5);
    Send(Plane(), V::kEventDragRelease);
    // A box clicked (selected) or dragged.
    if (ModuleRecord* m = any()) {
      const int32_t box = static_cast<int32_t>(m->BoxControl.Load());
      Send(box, V::kEventPress);
      if (coin(2) == 0) Send(box, V::kEventDrag, 8, coin(9) - 4);
      Send(box, coin(2) == 0 ? V::kEventClick : V::kEventDragRelease);
    }
    // A port pressed (its module and the port selected) and maybe dragged,
    // then another row of the port list.
    if (ModuleRecord* m = any()) {
      const std::vector<int32_t> ports = Ports(m);
      if (!ports.empty()) {
        const int32_t port = ports[coin(static_cast<int32_t>(ports.size()))];
        Send(port, V::kEventPress);
        if (coin(3) == 0) Send(port, V::kEventDrag, 0, -2);  // its value moved by the drag
      }
      Tarvelo::SelectPort(coin(4) - 1);
    }
    // A row of the created-module list clicked.
    if (const V::ControlRecord* c = C(libm))
      Send(libm, V::kEventPress | V::kEventClick, c->X + 10, c->Y + 5 + coin(c->H > 10 ? c->H - 10 : 1));
    // Another scale pattern shown.
    patterns->Text.Selected = coin(3) - 1;
    V::ControlPublish(patterns, -1);
    // A module deleted and another added while frames draw the deleted box.
    if (round % 3 == 2) {
      if (ModuleRecord* m = any()) {
        ASSERT_EQ(Tarvelo::DeleteModule(m), 0);
        ++deleted;
      }
      const int32_t n = Tarvelo::ModuleList.count;
      const int32_t i = coin(2) == 0 || n == 0
                            ? Tarvelo::CreateModule(kTypes[coin(5)], 300 + coin(900), 250 + coin(500), -1)
                            : Tarvelo::CreateModule(coin(n), 300 + coin(900), 250 + coin(500), 0);
      ASSERT_GE(i, 0);
      ++added;
    }
    ASSERT_TRUE(NextFrame()) << "round " << round;
  }
  V::StopVideoThread();
  EXPECT_EQ(deleted, 13);
  EXPECT_EQ(added, 13);
  EXPECT_EQ(Tarvelo::ModuleList.count, 6);

  // What the thread left shows as a whole redraw does, and so do the next
  // changes (the memory read-out aside: it shows a live value of its own).
  ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
  V::RenderFrame(true);
  EXPECT_EQ(StaleBesideMemory(), 0);
  Send(Plane(), V::kEventDrag, 9, -4);
  Tarvelo::SelectModule(Tarvelo::ModuleList.entries[0], 0);
  EXPECT_EQ(StaleBesideMemory(), 0);
}

// Boxes deleted, then the plane reset and panned at once, again and again
// until the video thread's next frames purged them: the purge takes the boxes
// from the plane's set and frees their trees meanwhile, and neither walk of the
// plane's children may read the set without its lock or touch a box marked
// for deletion (ThreadSanitizer and AddressSanitizer report either). Each
// walk moves the boxes that stay, every one by the same amount.
TEST_F(VideoThreadDraws, BoxesDeletedThenThePlaneResetAndPannedAtOnce) {
  constexpr int32_t kTypes[] = {Tarvelo::kTypeOscillator, Tarvelo::kTypeAdsr, Tarvelo::kTypeMixer};
  const int32_t reset = Slot(Tarvelo::kUiSTB_CP);
  ASSERT_GT(reset, 0);
  V::SetFrameWatch(CountingFrameBegin, Tarvelo::EndCableFrame);
  V::InterfaceReady = -1;
  ASSERT_EQ(V::StartVideoThread(0), 0);
  ASSERT_TRUE(NextFrame());

  int64_t walks = 0;
  for (int32_t round = 0; round < 30; ++round) {
    while (Tarvelo::ModuleList.count < 6) {
      const int32_t n = Tarvelo::ModuleList.count;
      ASSERT_TRUE(Make(kTypes[n % 3], 300 + 150 * (n % 5), 280 + 120 * (n % 4)));
    }
    // A box that stays, to see that each walk moves it, and two deleted.
    const ModuleRecord* kept = Tarvelo::ModuleList.entries[5];
    ModuleRecord* victims[] = {Tarvelo::ModuleList.entries[round % 5],
                               Tarvelo::ModuleList.entries[(round + 1) % 5]};
    std::vector<int32_t> gone;
    for (ModuleRecord* m : victims) {
      gone.push_back(static_cast<int32_t>(m->BoxControl.Load()));
      ASSERT_EQ(Tarvelo::DeleteModule(m), 0);
    }
    const int64_t from = g_framesBegun.load();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (g_framesBegun.load() <= from + 1 && std::chrono::steady_clock::now() < give_up) {
      const V::ControlRecord* box = Box(kept);
      ASSERT_NE(box, nullptr);
      const int32_t x0 = box->X, y0 = box->Y;
      Send(reset, V::kEventPress | V::kEventClick);
      const int32_t rx = box->X - x0, ry = box->Y - y0;
      Send(Plane(), V::kEventDrag, 3, -2);
      ASSERT_EQ(box->X - x0, rx + 3) << "round " << round;
      ASSERT_EQ(box->Y - y0, ry - 2) << "round " << round;
      walks += 2;
    }
    ASSERT_GT(g_framesBegun.load(), from + 1) << "round " << round;
    // The purge ran: the deleted boxes left the plane's set.
    const V::ControlRecord* plane = C(Plane());
    for (uint32_t i = 0; i < plane->Children.Count; ++i)
      for (const int32_t id : gone) ASSERT_NE(plane->Children.Ids[i], id) << "round " << round;
    Send(Plane(), V::kEventDragRelease);
  }
  V::StopVideoThread();
  EXPECT_GE(walks, 60);
  EXPECT_EQ(Tarvelo::ModuleList.count, 4);
  ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
  V::RenderFrame(true);
  EXPECT_EQ(StaleBesideMemory(), 0);
}

}  // namespace

namespace {

class VideoThreadDrawsLists : public VideoThreadDraws {
 protected:
  // The browser panel's module library at the tab's page.
  static void ShowLibrary(const char* tab) {
    V::ControlSetVisible(C(V::WindowList[Tarvelo::kWinPANEL]), -1);
    V::UpdateControl(V::WindowList[Tarvelo::kWinPANEL], 0);
    for (const char* name : {"TABMOD", tab}) Send(Find(name), V::kEventPress | V::kEventClick);
  }
  // Keyboard -> envelope (at its voice-map port) -> oscillator, the synth output.
  static void MakeVoiceChain() {
    ModuleRecord* kb = Make(Tarvelo::kTypeKeyboard, 300, 250);
    ModuleRecord* env = Make(Tarvelo::kTypeAdsr, 700, 520);
    ModuleRecord* out = Make(Tarvelo::kTypeOscillator, 1100, 300);
    ASSERT_TRUE(kb && env && out);
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*env, env->VoiceMapSourcePort.Load(), kb, &Tarvelo::ModuleCatalog[env->Type]), 4);
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*out, 1, env, &Tarvelo::ModuleCatalog[out->Type]), 4);
    Tarvelo::SynthOutputModule.store(out);
    Tarvelo::UpdateProcessingOrder(0);
  }
  void StartDrawing() {
    V::SetFrameWatch(CountingFrameBegin, Tarvelo::EndCableFrame);
    V::InterfaceReady = -1;
    ASSERT_EQ(V::StartVideoThread(0), 0);
    ASSERT_TRUE(NextFrame());
  }
};

// Del on a Catalog row resets that type's master preset, whose template is
// then the selected module: the frame watch reads what the selected module
// relates to on the plane while the reset rewrites it.
TEST_F(VideoThreadDrawsLists, ACatalogRowsMasterPresetResetWhileTheFrameWatchReadsTheSelection) {
  MakeVoiceChain();
  if (HasFatalFailure()) return;
  ShowLibrary("LIBT1");
  const int32_t catalog = Slot(Tarvelo::kUiREFM), del = Find("LIDEL");
  ASSERT_TRUE(OnScreen(catalog));
  ASSERT_GT(del, 0);
  StartDrawing();
  if (HasFatalFailure()) return;

  const V::ControlRecord* c = C(catalog);
  const int32_t rows = std::max(c->Text.VisibleRows, 1);
  const int32_t rowH = std::max((c->H - 2 * V::BorderWidth) / rows, 1);
  int32_t resets = 0;
  for (int32_t round = 0; round < 24; ++round) {
    const int32_t row = round * 5 % rows;
    const int32_t y = c->Y + V::BorderWidth + row * rowH + rowH / 2;
    Send(catalog, V::kEventPress, c->X + 10, y);
    if (c->Text.Selected != row) Send(catalog, V::kEventClick, c->X + 10, y);
    const ModuleRecord* selected = Tarvelo::SelectedModule;
    ASSERT_NE(selected, nullptr) << "row " << row;
    ASSERT_EQ(selected->Role, Tarvelo::kRoleTemplate) << "row " << row;
    // Reset again and again while the next frame's watch runs.
    const int64_t from = g_framesBegun.load();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (g_framesBegun.load() <= from + 1 && std::chrono::steady_clock::now() < give_up) {
      Send(del, V::kEventPress);
      Send(del, V::kEventClick);
      ++resets;
    }
    ASSERT_GT(g_framesBegun.load(), from + 1) << "round " << round;
  }
  V::StopVideoThread();
  EXPECT_GE(resets, 24);
  EXPECT_EQ(Tarvelo::ModuleList.count, 3) << "a reset deletes no module";
}

// The Modules list shows each module's per-voice switch, which a rebuild of
// the processing order on the audio thread stores while the list is drawn.
TEST_F(VideoThreadDrawsLists, TheModulesListWhileTheAudioThreadRebuildsTheOrder) {
  MakeVoiceChain();
  if (HasFatalFailure()) return;
  const ModuleRecord* follower = Tarvelo::ModuleList.entries[1];
  ASSERT_EQ(follower->PolyphonyCapability, 2);
  ASSERT_NE(follower->FollowsPolyphony, 0);
  ShowLibrary("LIBT2");
  ASSERT_TRUE(OnScreen(Slot(Tarvelo::kUiREFM) + 1));
  StartDrawing();
  if (HasFatalFailure()) return;

  // The audio thread's side: the rebuild a link command runs between frames.
  std::atomic<bool> stop{false};
  std::atomic<int32_t> rebuilds{0};
  std::thread audio([&] {
    while (!stop.load()) {
      Tarvelo::UpdateProcessingOrderOnRender(0);
      rebuilds.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  for (int32_t frame = 0; frame < 20; ++frame) {
    if (NextFrame()) continue;
    ADD_FAILURE() << "frame " << frame;
    break;
  }
  stop.store(true);
  audio.join();
  V::StopVideoThread();
  EXPECT_GT(rebuilds.load(), 0);
}

}  // namespace
