// The library views: the tabs over the catalog and the created modules, the
// module offered to the plane by a press, the module page following a click,
// the channel selector following the sample library, and the samples in
// memory keeping only an idle selection.
#include "panels_b_fixture.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

TEST_F(PanelsBTest, LibraryTabsShowOneListAndTheOrderSwitchFollowsIt) {
  const int32_t t1 = Slot(kUiLIBT1), refm = Slot(kUiREFM), order = Slot(kUiLSORDER);
  ASSERT_EQ(Id(t1 + 1), "LIBT2");
  ASSERT_EQ(Id(refm + 1), "LIBM");
  Press(OnLibraryTab, t1 + 1);
  EXPECT_EQ(On(t1), 0);
  EXPECT_EQ(On(t1 + 1), -1);
  EXPECT_EQ(Shown(refm), 0);
  EXPECT_EQ(Shown(refm + 1), -1);
  EXPECT_EQ(Field(order).Selected, 1);  // LIBM in normal order
  Field(refm).Reversed = -1;
  Press(OnLibraryTab, t1);
  EXPECT_EQ(On(t1), -1);
  EXPECT_EQ(Shown(refm), -1);
  EXPECT_EQ(Shown(refm + 1), 0);
  EXPECT_EQ(Field(order).Selected, 0);
  // A click (not a press) changes nothing.
  Click(OnLibraryTab, t1 + 1);
  EXPECT_EQ(Shown(refm), -1);
}

TEST_F(PanelsBTest, CatalogPressOffersTheTypeAndClickShowsItsMaster) {
  const int32_t refm = Slot(kUiREFM);
  PressRow(OnModuleCatalogList, refm, 3);
  EXPECT_EQ(DragModuleIndex, ModulePaletteOrder[3]);
  EXPECT_EQ(C(refm)->State.Pressed, -1);
  // A press below the last row (or on the frame) offers nothing.
  Send(OnModuleCatalogList, V::kEventPress, C(refm)->X + 10, C(refm)->Y + 1, refm);
  EXPECT_EQ(DragModuleIndex, -1);

  ClickRow(OnModuleCatalogList, refm, 3);
  EXPECT_EQ(SelectedModule, &ModuleCatalog[ModulePaletteOrder[3]]);
  // The selected row clicked again: no selection, no module on the page.
  ClickRow(OnModuleCatalogList, refm, 3);
  EXPECT_EQ(Field(refm).Selected, -1);
  EXPECT_EQ(SelectedModule, nullptr);

  // In reversed order the top row is the last type, and up moves to a higher index.
  Field(refm).Reversed = -1;
  PressRow(OnModuleCatalogList, refm, 0);
  EXPECT_EQ(DragModuleIndex, ModulePaletteOrder[42]);
  Field(refm).Selected = 5;
  V::KeyInput.Spare[1] = 256;
  V::KeyInput.Spare[2] = 72;  // up
  Send(OnModuleCatalogList, V::kEventKey, 0, 0, refm);
  EXPECT_EQ(Field(refm).Selected, 6);
  EXPECT_EQ(SelectedModule, &ModuleCatalog[ModulePaletteOrder[6]]);
  // Normal order: up from no selection wraps to the last type.
  Field(refm).Reversed = 0;
  Field(refm).Selected = -1;
  Send(OnModuleCatalogList, V::kEventKey, 0, 0, refm);
  EXPECT_EQ(Field(refm).Selected, 42);
}

TEST_F(PanelsBTest, CreatedModulesSelectOnlyAModuleStillAtItsRow) {
  const int32_t libm = Slot(kUiREFM) + 1;
  ModuleRecord* a = Make(kTypeOscillator);
  ModuleRecord* b = Make(kTypeOscillator);
  ASSERT_NE(b, nullptr);
  PressRow(OnCreatedModuleList, libm, 1);
  EXPECT_EQ(DragModuleIndex, 1);
  PressRow(OnCreatedModuleList, libm, 4);
  EXPECT_EQ(DragModuleIndex, -1);

  ClickRow(OnCreatedModuleList, libm, 0);
  EXPECT_EQ(SelectedModule, a);
  // A module renumbered meanwhile is not taken.
  ClickRow(OnCreatedModuleList, libm, 0);
  ClickRow(OnCreatedModuleList, libm, 1);
  EXPECT_EQ(SelectedModule, b);
  ClickRow(OnCreatedModuleList, libm, 1);  // clears
  SelectedModule = a;
  b->ListIndex = 7;
  ClickRow(OnCreatedModuleList, libm, 1);
  EXPECT_EQ(SelectedModule, nullptr);
  b->ListIndex = 1;
}

TEST_F(PanelsBTest, ChannelSelectorFollowsTheSampleLibrary) {
  const int32_t sam = Slot(kUiSAM_LIBRARY), slibc = Slot(kUiSLIBC);
  AddEntry(SampleLibrary, "mono.wav", 100, 1);
  AddEntry(SampleLibrary, "stereo.wav", 100, 2);
  AddEntry(SampleLibrary, "busy.wav", 100, 2, kWaveBusy);
  EXPECT_EQ(Disabled(slibc), -1);

  ClickRow(OnSampleLibraryList, sam, 1);
  EXPECT_EQ(Field(sam).Selected, 1);
  EXPECT_EQ(Field(slibc).Selected, 3);
  EXPECT_EQ(Text(slibc), "Stereo");
  EXPECT_EQ(Disabled(slibc), 0);

  ClickRow(OnSampleLibraryList, sam, 0);
  EXPECT_EQ(Field(slibc).Selected, 0);
  EXPECT_EQ(Text(slibc), "Mono");
  EXPECT_EQ(Disabled(slibc), -1);

  // A busy sample cannot stay selected and shows as mono.
  Field(slibc).Selected = 3;
  ClickRow(OnSampleLibraryList, sam, 2);
  EXPECT_EQ(Field(sam).Selected, -1);
  EXPECT_EQ(Text(slibc), "Mono");
  EXPECT_EQ(Disabled(slibc), -1);

  // No selection: disabled, item and caption kept.
  ClickRow(OnSampleLibraryList, sam, 1);
  ClickRow(OnSampleLibraryList, sam, 1);
  EXPECT_EQ(Field(sam).Selected, -1);
  EXPECT_EQ(Text(slibc), "Stereo");
  EXPECT_EQ(Disabled(slibc), -1);
}

TEST_F(PanelsBTest, ChannelSelectorStepsWrapsAndDrags) {
  const int32_t slibc = Slot(kUiSLIBC);
  Field(slibc).Selected = 0;
  Step(OnSampleChannels, slibc, -1);
  EXPECT_EQ(Field(slibc).Selected, 3);
  EXPECT_EQ(Text(slibc), "Stereo");
  Step(OnSampleChannels, slibc, +1);
  Step(OnSampleChannels, slibc, +1);
  EXPECT_EQ(Text(slibc), "L");
  // One drag event of 60 pixels steps once and keeps 10 for the next.
  Send(OnSampleChannels, V::kEventDrag, 60, 0, slibc);
  EXPECT_EQ(Text(slibc), "R");
  Send(OnSampleChannels, V::kEventDrag, 3, 0, slibc);  // 13 pixels: one more step
  EXPECT_EQ(Text(slibc), "Stereo");
  EXPECT_EQ(C(slibc)->Dragged, -1);
  // Hover marks the half under the pointer.
  const V::ControlRecord* c = C(slibc);
  Send(OnSampleChannels, V::kEventHover, c->X + 1, c->Y, slibc);
  EXPECT_EQ(Field(slibc).Mark, 1);
  Send(OnSampleChannels, V::kEventHover, c->X + c->W - 1, c->Y, slibc);
  EXPECT_EQ(Field(slibc).Mark, 2);
}

TEST_F(PanelsBTest, SampleMemoryListKeepsOnlyAnIdleSelection) {
  const int32_t wlist = Slot(kUiWLIST);
  ASSERT_GT(Field(wlist).VisibleRows, 1);
  AddEntry(SynthSamples, "a.wav", 10);
  AddEntry(SynthSamples, "b.wav", 10, 1, kWaveCreating);
  ClickRow(OnSampleList, wlist, 0);
  EXPECT_EQ(Field(wlist).Selected, 0);
  ClickRow(OnSampleList, wlist, 1);
  EXPECT_EQ(Field(wlist).Selected, -1);
}

}  // namespace
}  // namespace panelsb
