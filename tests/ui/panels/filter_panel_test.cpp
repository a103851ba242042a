// The filter page: the design reset by a list click, the selectors and the
// high-pass button, the graph drag, creating, unloading and setting filters.
#include <cstring>

#include "app/documents/wave_convert.h"
#include "panels_b_fixture.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

constexpr int32_t kConvolutive = 17;

class FilterPanelTest : public PanelsBTest {
 protected:
  void SetUp() override {
    PanelsBTest::SetUp();
    flist_ = Slot(kUiFLIST);
    window_ = Slot(kUiFWS_WINDOW);
    size_ = Slot(kUiFWS_SIZE);
    lobe_ = Slot(kUiFKS);
    ASSERT_EQ(Id(window_ + 1), "FHI");
    ASSERT_EQ(Id(window_ + 2), "FADD");
    ASSERT_EQ(Id(window_ + 3), "FDEL");
    ASSERT_EQ(Id(window_ + 4), "FSET");
  }
  int32_t flist_ = 0, window_ = 0, size_ = 0, lobe_ = 0;
};

TEST_F(FilterPanelTest, ListClickWithoutAFilterGivesThePrototypeAndCreateNamesIt) {
  FirDesign.FirHighPass = -1;
  FirDesign.FirOffset = 3;
  ClickRow(OnFilterList, flist_, 0);  // an empty list: no selection
  EXPECT_EQ(FirDesign.FirSourceEntry, -1);
  EXPECT_EQ(FirDesign.FirTapCount, 16);
  EXPECT_EQ(FirDesign.FirWidth, 8);
  EXPECT_EQ(FirDesign.FirWindowIndex, 1);
  EXPECT_EQ(FirDesign.FirHighPass, 0);
  EXPECT_EQ(FirDesign.FirOffset, 0);
  EXPECT_EQ(On(window_ + 1), 0);
  EXPECT_EQ(Field(window_).Selected, 1);
  EXPECT_EQ(Text(window_), "Triangular");
  EXPECT_EQ(Field(lobe_).Selected, 8);
  EXPECT_EQ(Text(lobe_), "K = 8");
  EXPECT_EQ(Field(size_).Selected, 13);
  EXPECT_EQ(Text(size_), "N = 16");

  EXPECT_EQ(Click(OnFilterCreate, window_ + 2), 0);
  ASSERT_EQ(FilterLibrary.header.count, 1);
  const WaveLibraryEntry* e = FilterLibrary.entries[0];
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File), "FIR_8-16_Triangular.wav");
  EXPECT_EQ(e->State, kWaveIdle);
  EXPECT_EQ(e->LoadState, kWaveDataHeld);
  EXPECT_EQ(e->Sound.frameCount, 16u);
  EXPECT_EQ(e->Sound.dataSize, 64u);
  EXPECT_EQ(std::memcmp(e->Sound.samples, FirDesign.FirKernel, 64), 0);
  EXPECT_TRUE(fs::exists(Home() / "FILTERS" / "FIR_8-16_Triangular.wav"));
  EXPECT_NE(e->Saved, 0);
  // The design and the selection stay.
  EXPECT_EQ(Field(flist_).Selected, -1);
  EXPECT_EQ(FirDesign.FirTapCount, 16);
}

TEST_F(FilterPanelTest, AFilterAsSourceNamesTheCopyAfterItsStem) {
  AddEntry(FilterLibrary, "lowpass.wav", 40);
  ClickRow(OnFilterList, flist_, 0);
  EXPECT_EQ(FirDesign.FirSourceEntry, 0);
  EXPECT_EQ(FirDesign.FirTapCount, 40);
  EXPECT_EQ(Text(size_), "N = 40");
  Click(OnFilterHighPass, window_ + 1);
  EXPECT_EQ(FirDesign.FirHighPass, -1);
  EXPECT_EQ(On(window_ + 1), -1);
  Field(window_).Selected = 2;
  Step(OnFilterWindowFunction, window_, +1);
  EXPECT_EQ(FirDesign.FirWindowIndex, 3);
  EXPECT_EQ(Text(window_), "Hanning");
  EXPECT_EQ(FilterDesignFileName(), "lowpass_40_HI_Hanning.wav");
  Click(OnFilterHighPass, window_ + 1);
  EXPECT_EQ(FirDesign.FirHighPass, 0);
  Field(window_).Selected = 8;
  Step(OnFilterWindowFunction, window_, +1);  // wraps to the square window
  EXPECT_EQ(Text(window_), "Square (none)");
  EXPECT_EQ(FilterDesignFileName(), "lowpass_40.wav");
  // A busy entry is no source.
  FilterLibrary.entries[0]->State = kWaveBusy;
  ClickRow(OnFilterList, flist_, 0);  // deselects
  ClickRow(OnFilterList, flist_, 0);
  EXPECT_EQ(FirDesign.FirSourceEntry, -1);
  EXPECT_EQ(FirDesign.FirTapCount, 16);
}

TEST_F(FilterPanelTest, WindowSizeDragsTheLobeDownAndTheLobeTakesZero) {
  ClickRow(OnFilterList, flist_, 0);
  Field(size_).Selected = 3;  // N = 6
  Step(OnFilterWindowSize, size_, -1);
  EXPECT_EQ(Text(size_), "N = 5");
  EXPECT_EQ(FirDesign.FirTapCount, 5);
  EXPECT_EQ(Field(lobe_).Selected, 5);
  EXPECT_EQ(Text(lobe_), "K = 5");
  EXPECT_EQ(FirDesign.FirWidth, 5);
  Step(OnFilterWindowSize, size_, +1);
  EXPECT_EQ(FirDesign.FirTapCount, 6);
  EXPECT_EQ(FirDesign.FirWidth, 5);
  // The lobe runs 0..N and wraps there.
  Field(lobe_).Selected = 1;
  Step(OnFilterLobeSize, lobe_, -1);
  EXPECT_EQ(Text(lobe_), "K = 0");
  EXPECT_EQ(FirDesign.FirWidth, 0);
  Step(OnFilterLobeSize, lobe_, -1);
  EXPECT_EQ(FirDesign.FirWidth, 6);
  Step(OnFilterLobeSize, lobe_, +1);
  EXPECT_EQ(FirDesign.FirWidth, 0);
  // The size wraps from 128 back to 3.
  Field(size_).Selected = 125;
  Step(OnFilterWindowSize, size_, +1);
  EXPECT_EQ(Text(size_), "N = 3");
}

TEST_F(FilterPanelTest, GraphDragMovesTheCutWithinTheSource) {
  const int32_t graph = Slot(kUiFGRAPH);
  // Without a source nothing moves.
  ClickRow(OnFilterList, flist_, 0);
  Send(OnFilterGraph, V::kEventDrag, -5, 0, graph);
  EXPECT_EQ(FirDesign.FirOffset, 0);

  AddEntry(FilterLibrary, "src.wav", 40);
  ClickRow(OnFilterList, flist_, 0);
  Field(size_).Selected = 13;
  Step(OnFilterWindowSize, size_, +1);  // N = 17
  ASSERT_EQ(FirDesign.FirTapCount, 17);
  Send(OnFilterGraph, V::kEventDrag, -5, 0, graph);
  EXPECT_EQ(FirDesign.FirOffset, 5);
  // Dragging right moves towards the start, never before it.
  Send(OnFilterGraph, V::kEventDrag, 10, 0, graph);
  EXPECT_EQ(FirDesign.FirOffset, 0);
  Send(OnFilterGraph, V::kEventDrag, -100, 0, graph);
  EXPECT_EQ(FirDesign.FirOffset, 23);
  EXPECT_FLOAT_EQ(FirDesign.FirSource[0], FilterLibrary.entries[0]->Sound.samples[0]);
  // Only a drag acts.
  Send(OnFilterGraph, V::kEventClick, 0, 0, graph);
  EXPECT_EQ(FirDesign.FirOffset, 23);
  // A source no longer than N gives nothing to move.
  Field(size_).Selected = 36;  // N = 39
  Step(OnFilterWindowSize, size_, +1);
  Send(OnFilterGraph, V::kEventDrag, -3, 0, graph);
  EXPECT_EQ(FirDesign.FirTapCount, 40);
  EXPECT_EQ(FirDesign.FirOffset, 0);
}

TEST_F(FilterPanelTest, UnloadDetachesEverywhereAndKeepsTheSourceInStep) {
  AddEntry(FilterLibrary, "one.wav", 20);
  WaveLibraryEntry* two = AddEntry(FilterLibrary, "two.wav", 20);
  ModuleRecord* m = Make(kConvolutive);
  ASSERT_NE(m, nullptr);
  AttachWaveToModule(m, two, 0);
  ModuleCatalog[kConvolutive].SampleEntry = two;
  FirDesign.FirSourceEntry = 1;

  Field(flist_).Selected = 0;
  Click(OnFilterUnload, window_ + 3);
  EXPECT_EQ(FilterLibrary.header.count, 1);
  EXPECT_EQ(FirDesign.FirSourceEntry, 0);  // still two.wav
  EXPECT_EQ(Field(flist_).Selected, 0);

  Click(OnFilterUnload, window_ + 3);
  EXPECT_EQ(FilterLibrary.header.count, 0);
  EXPECT_EQ(m->SampleEntry, nullptr);
  EXPECT_EQ(ModuleCatalog[kConvolutive].SampleEntry, nullptr);
  EXPECT_EQ(FirDesign.FirSourceEntry, -1);
  EXPECT_EQ(Field(flist_).Selected, -1);
  // The file on disk is not touched; an empty list does nothing.
  Click(OnFilterUnload, window_ + 3);
  EXPECT_EQ(Field(flist_).Selected, -1);
}

TEST_F(FilterPanelTest, SetGivesTheGainAndTheTapsToAConvolutiveFilterOnly) {
  WaveLibraryEntry* e = AddEntry(FilterLibrary, "f.wav", 20);
  e->Pitch[0] = 0.75f;
  ModuleRecord* m = Make(kConvolutive);
  SelectedModule = m;
  Field(flist_).Selected = 0;
  Click(OnFilterSet, window_ + 4);
  EXPECT_EQ(m->SampleEntry, e);
  EXPECT_FLOAT_EQ(m->Params[3].Value, 0.75f);
  Field(flist_).Selected = -1;
  Click(OnFilterSet, window_ + 4);
  EXPECT_EQ(m->SampleEntry, nullptr);
  // Busy: nothing. Another module type: nothing.
  e->State = kWaveBusy;
  Field(flist_).Selected = 0;
  Click(OnFilterSet, window_ + 4);
  EXPECT_EQ(m->SampleEntry, nullptr);
  e->State = kWaveIdle;
  ModuleRecord* osc = Make(kTypeOscillator);
  SelectedModule = osc;
  Click(OnFilterSet, window_ + 4);
  EXPECT_EQ(osc->SampleEntry, nullptr);
}

}  // namespace
}  // namespace panelsb
