// The library views: tabs, the module offered to the plane by a press, the
// module page following a click, the catalog staying put while a row is
// carried to the plane, the channel selector following the sample library,
// and the samples in memory keeping only an idle selection.
#include "panels_b_fixture.h"

#include "platform/events.h"
#include "ui/views/synth_plane.h"
#include "visuals/event_loop.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

TEST_F(PanelsBTest, LibraryTabsShowOneList) {
  const int32_t t1 = Slot(kUiLIBT1), refm = Slot(kUiREFM);
  Press(OnLibraryTab, t1 + 1);
  EXPECT_EQ(On(t1), 0);
  EXPECT_EQ(On(t1 + 1), -1);
  EXPECT_EQ(Shown(refm), 0);
  EXPECT_EQ(Shown(refm + 1), -1);
  EXPECT_EQ(Field(Slot(kUiLSORDER)).Selected, 1);
}

TEST_F(PanelsBTest, CatalogPressOffersTheTypeAndClickShowsItsMaster) {
  const int32_t refm = Slot(kUiREFM);
  PressRow(OnModuleCatalogList, refm, 3);
  EXPECT_EQ(DragModuleIndex, ModulePaletteOrder[3]);
  Press(OnModuleCatalogList, refm);  // on the frame: no row
  EXPECT_EQ(DragModuleIndex, -1);
  ClickRow(OnModuleCatalogList, refm, 3);
  EXPECT_EQ(SelectedModule, &ModuleCatalog[ModulePaletteOrder[3]]);
  ClickRow(OnModuleCatalogList, refm, 3);  // deselected: no module shown
  EXPECT_EQ(SelectedModule, nullptr);
  // Reversed, the top row is the last type and up moves to a higher index.
  Field(refm).Reversed = -1;
  PressRow(OnModuleCatalogList, refm, 0);
  EXPECT_EQ(DragModuleIndex, ModulePaletteOrder[42]);
  Field(refm).Selected = 5;
  V::KeyInput.Spare[1] = 256;
  V::KeyInput.Spare[2] = 72;  // up
  Send(OnModuleCatalogList, V::kEventKey, 0, 0, refm);
  EXPECT_EQ(SelectedModule, &ModuleCatalog[ModulePaletteOrder[6]]);
}

// A row carried from a module list to the plane, through the event loop: the
// pointer leaves the list on a slant, and the list shows the rows it showed
// at the press once the module is made. A drag that stays in the list still
// scrolls it.
TEST_F(PanelsBTest, ModuleListsStayPutWhileARowIsCarriedToThePlane) {
  const int32_t refm = Slot(kUiREFM), plane = V::WindowList[kWinSYNTH];
  const int32_t tabmod = Named("TABMOD");
  ASSERT_GT(tabmod, 0);
  C(tabmod)->EventCallback(V::kEventPress, 0, 0, tabmod, 0);
  V::UpdateControl(tabmod, 0);
  C(plane)->EventCallback = OnSynthPlaneMouse;  // the plane's own, installed with the views
  C(plane)->EventMask = 127;
  const int32_t closeTarget = V::CloseRequestTarget;
  const int64_t saving = V::CpuSaving;
  V::CloseRequestTarget = 0;  // the window's close ends the loop at once
  V::CpuSaving = 0;
  Drain(0);

  // Pressed on the third row shown, moved `steps` times by (dx, dy), released.
  auto drag = [&](int32_t dx, int32_t dy, int32_t steps) {
    using platform::WindowEventInject, platform::ButtonEvent, platform::PointerMoveEvent;
    using platform::kButtonLeft;
    int32_t x = C(refm)->X + C(refm)->W - 20, y = RowY(refm, 2);
    WindowEventInject(PointerMoveEvent(x, y, 0, 0));
    WindowEventInject(ButtonEvent(platform::kWindowButtonPress, kButtonLeft));
    for (int32_t i = 0; i < steps; ++i)
      WindowEventInject(PointerMoveEvent(x += dx, y += dy, dx, dy));
    WindowEventInject(ButtonEvent(platform::kWindowButtonRelease, kButtonLeft));
    WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    EXPECT_EQ(V::GuiMessageLoop(), 0);
    Drain(0);
  };
  struct Case {
    const char* what;
    int32_t first, dx, dy, steps;
    bool carried;  // it ends on the plane
  };
  const int32_t out = (C(refm)->W + 200) / 15;
  for (const Case& k : {Case{"carried rising", 0, -15, -3, out, true},
                        Case{"carried falling", 6, -15, 3, out, true},
                        Case{"dragged down in the list", 6, 0, 4, 20, false}}) {
    SCOPED_TRACE(k.what);
    Field(refm).FirstVisible = k.first;
    const int32_t before = ModuleList.count;
    drag(k.dx, k.dy, k.steps);
    ASSERT_EQ(ModuleList.count, before + (k.carried ? 1 : 0));
    if (k.carried) {
      EXPECT_EQ(ModuleList.entries[before]->Type, ModulePaletteOrder[k.first + 2]);
      EXPECT_EQ(Field(refm).FirstVisible, k.first);
    } else {
      EXPECT_LT(Field(refm).FirstVisible, k.first);  // down shows earlier rows
    }
  }
  V::CloseRequestTarget = closeTarget;
  V::CpuSaving = saving;
}

TEST_F(PanelsBTest, CreatedModulesSelectOnlyAModuleStillAtItsRow) {
  const int32_t libm = Slot(kUiREFM) + 1;
  ModuleRecord* a = Make(kTypeOscillator);
  ModuleRecord* b = Make(kTypeOscillator);
  PressRow(OnCreatedModuleList, libm, 1);
  EXPECT_EQ(DragModuleIndex, 1);
  ClickRow(OnCreatedModuleList, libm, 1);
  EXPECT_EQ(SelectedModule, b);
  ClickRow(OnCreatedModuleList, libm, 1);
  SelectedModule = a;
  b->ListIndex.Store(7);  // renumbered meanwhile
  ClickRow(OnCreatedModuleList, libm, 1);
  EXPECT_EQ(SelectedModule, nullptr);
  b->ListIndex.Store(1);
}

TEST_F(PanelsBTest, ChannelSelectorFollowsTheSampleLibraryAndSteps) {
  const int32_t sam = Slot(kUiSAM_LIBRARY), slibc = Slot(kUiSLIBC);
  AddEntry(SampleLibrary, "mono.wav", 100, 1);
  AddEntry(SampleLibrary, "stereo.wav", 100, 2);
  AddEntry(SampleLibrary, "busy.wav", 100, 2, kWaveBusy);
  ClickRow(OnSampleLibraryList, sam, 1);
  EXPECT_EQ(Text(slibc), "Stereo");
  EXPECT_EQ(Disabled(slibc), 0);
  ClickRow(OnSampleLibraryList, sam, 0);
  EXPECT_EQ(Text(slibc), "Mono");
  EXPECT_EQ(Disabled(slibc), -1);
  ClickRow(OnSampleLibraryList, sam, 2);  // busy: not kept, shown as mono
  EXPECT_EQ(Field(sam).Selected, -1);
  EXPECT_EQ(Text(slibc), "Mono");

  Step(OnSampleChannels, slibc, -1);  // wraps from Mono to Stereo
  EXPECT_EQ(Text(slibc), "Stereo");
  Send(OnSampleChannels, V::kEventDrag, 60, 0, slibc);  // one step, 10 kept
  EXPECT_EQ(Text(slibc), "Mono");
  Send(OnSampleChannels, V::kEventDrag, 3, 0, slibc);
  EXPECT_EQ(Text(slibc), "L");
}

TEST_F(PanelsBTest, SampleMemoryListKeepsOnlyAnIdleSelection) {
  const int32_t wlist = Slot(kUiWLIST);
  AddEntry(SynthSamples, "a.wav", 10);
  AddEntry(SynthSamples, "b.wav", 10, 1, kWaveCreating);
  ClickRow(OnSampleList, wlist, 0);
  EXPECT_EQ(Field(wlist).Selected, 0);
  ClickRow(OnSampleList, wlist, 1);
  EXPECT_EQ(Field(wlist).Selected, -1);
}

}  // namespace
}  // namespace panelsb
