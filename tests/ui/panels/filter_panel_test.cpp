// The filter page: the design reset by a list click, the selectors, the graph
// drag, creating, unloading and setting filters.
#include <cstring>
#include <functional>
#include <utility>

#include "app/documents/synth_file.h"
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
    ASSERT_EQ(Id(window_ + 4), "FSET");  // FHI, FADD, FDEL, FSET follow
  }
  int32_t flist_ = 0, window_ = 0, size_ = 0, lobe_ = 0;
};

TEST_F(FilterPanelTest, NoFilterSelectedGivesThePrototypeAndItsFile) {
  FirDesign.FirHighPass = -1;
  ClickRow(OnFilterList, flist_, 0);  // an empty list: no selection
  EXPECT_EQ(FirDesign.FirSourceEntry, -1);
  EXPECT_EQ(FirDesign.FirHighPass, 0);
  EXPECT_EQ(Text(window_), "Triangular");
  EXPECT_EQ(Text(lobe_), "K = 8");
  EXPECT_EQ(Field(size_).Selected, 13);
  EXPECT_EQ(Text(size_), "N = 16");
  EXPECT_EQ(Click(OnFilterCreate, window_ + 2), 0);
  ASSERT_EQ(FilterLibrary.header.count, 1);
  const WaveLibraryEntry* e = FilterLibrary.entries[0];
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File), "FIR_8-16_Triangular.wav");
  EXPECT_EQ(e->State.Load(), kWaveIdle);
  EXPECT_EQ(e->Sound.frameCount, 16u);
  EXPECT_EQ(std::memcmp(e->Sound.samples, FirDesign.FirKernel, 64), 0);
  EXPECT_TRUE(fs::exists(Home() / "FILTERS" / "FIR_8-16_Triangular.wav"));
}

// A design never changes a loaded entry in place (a Convolutive filter may be
// playing its taps, with the gain of those taps): the same design again is a
// new entry under a name of its own.
TEST_F(FilterPanelTest, TheSameDesignTwiceMakesANewEntryAndLeavesThePlayedOneAlone) {
  ClickRow(OnFilterList, flist_, 0);
  ASSERT_EQ(Click(OnFilterCreate, window_ + 2), 0);
  ASSERT_EQ(FilterLibrary.header.count, 1);
  WaveLibraryEntry* first = FilterLibrary.entries[0];
  const float tap0 = first->Sound.samples[0];
  const float gain = first->Pitch[0];
  ModuleRecord* conv = Make(kConvolutive);
  SelectedModule = conv;
  Field(flist_).Selected = 0;
  Click(OnFilterSet, window_ + 4);
  ASSERT_EQ(conv->SampleEntry.Load(), first);
  const float moduleGain = conv->Params[3].Value.Load();

  FirDesign.FirKernel[0] = 0.75f;  // the design changed, its name did not
  FirDesign.FirGainSum = 9;
  ASSERT_EQ(Click(OnFilterCreate, window_ + 2), 0);
  ASSERT_EQ(FilterLibrary.header.count, 2);
  EXPECT_EQ(FilterLibrary.entries[0], first);
  EXPECT_EQ(first->Sound.samples[0], tap0);
  EXPECT_EQ(first->Pitch[0], gain);
  EXPECT_EQ(conv->SampleEntry.Load(), first);
  EXPECT_EQ(conv->Params[3].Value.Load(), moduleGain);
  const WaveLibraryEntry* second = FilterLibrary.entries[1];
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(second->File), "FIR_8-16_Triangular (2).wav");
  EXPECT_EQ(second->Sound.samples[0], 0.75f);
  EXPECT_TRUE(fs::exists(Home() / "FILTERS" / "FIR_8-16_Triangular (2).wav"));
}

// A file of the design's name that is on disk but not loaded is not written over.
TEST_F(FilterPanelTest, AFileOfTheDesignsNameOnDiskIsKept) {
  ClickRow(OnFilterList, flist_, 0);
  fs::create_directories(Home() / "FILTERS");
  std::ofstream(Home() / "FILTERS" / "FIR_8-16_Triangular.wav") << "someone's filter";
  ASSERT_EQ(Click(OnFilterCreate, window_ + 2), 0);
  ASSERT_EQ(FilterLibrary.header.count, 1);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(FilterLibrary.entries[0]->File), "FIR_8-16_Triangular (2).wav");
  std::ifstream kept(Home() / "FILTERS" / "FIR_8-16_Triangular.wav");
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "someone's filter");
  EXPECT_TRUE(fs::exists(Home() / "FILTERS" / "FIR_8-16_Triangular (2).wav"));
}

// Whatever the first action on a fresh page, + writes the file its captions name, with the taps shown.
TEST_F(FilterPanelTest, AFirstActionOnAFreshPageMakesWhatThePageShows) {
  const struct { V::EventCallbackFn fn; int32_t control, step, n, k; const char* file; } rows[] = {  // step 0: a click
      {nullptr, 0, 0, 3, 2, "FIR_2-3.wav"}, {OnFilterWindowSize, 2, +1, 4, 2, "FIR_2-4.wav"},
      {OnFilterWindowSize, 2, -1, 128, 2, "FIR_2-128.wav"}, {OnFilterLobeSize, 3, -1, 3, 1, "FIR_1-3.wav"},
      {OnFilterWindowFunction, 0, +1, 3, 2, "FIR_2-3_Triangular.wav"}, {OnFilterHighPass, 1, 0, 3, 2, "FIR_2-3_HI.wav"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    FirDesign = FirDesignRecord{};  // as the program starts
    BuildFirKernel(-1);
    ASSERT_EQ(BuildInterface(1.0f), 0);
    const int32_t controls[4] = {window_, window_ + 1, size_, lobe_};
    if (row.fn) row.step ? Step(row.fn, controls[row.control], row.step) : Click(row.fn, controls[row.control]);
    EXPECT_EQ(Text(size_) + ", " + Text(lobe_), "N = " + std::to_string(row.n) + ", K = " + std::to_string(row.k));
    const int32_t before = FilterLibrary.header.count;
    ASSERT_EQ(Click(OnFilterCreate, window_ + 2), 0);
    ASSERT_EQ(FilterLibrary.header.count, before + 1);
    const WaveLibraryEntry* e = FilterLibrary.entries[before];
    EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File), row.file);
    FirDesign = FirDesignRecord{};  // the design the page shows, built apart
    FirDesign.FirTapCount = row.n, FirDesign.FirWidth = row.k, FirDesign.FirWindowIndex = row.fn == OnFilterWindowFunction;
    FirDesign.FirHighPass = row.fn == OnFilterHighPass ? -1 : 0;
    BuildFirKernel(-1);
    ASSERT_EQ(e->Sound.frameCount, static_cast<uint32_t>(row.n));
    EXPECT_EQ(std::memcmp(e->Sound.samples, FirDesign.FirKernel, 4 * row.n), 0);
  }
}

// + adds nothing it could not write, nor a design under three taps: both are said.
TEST_F(FilterPanelTest, AFilterThatCannotBeWrittenIsSaid) {
  const struct { int32_t taps; bool blocked; const char* said; int32_t level; } rows[] = {  // blocked: a file as FILTERS
      {16, true, "Could not save FIR_8-16_Triangular.wav: ", 2}, {2, false, "Invalid window size. N = 2", 1}};
  for (const auto& row : rows) {
    ClickRow(OnFilterList, flist_, 0);
    FirDesign.FirTapCount = row.taps;
    fs::remove_all(Home() / "FILTERS");
    if (row.blocked) std::ofstream(Home() / "FILTERS") << "a file where the folder should be";
    Reports.clear();
    ASSERT_EQ(Click(OnFilterCreate, window_ + 2), 0);
    EXPECT_EQ(FilterLibrary.header.count, 0);
    ASSERT_FALSE(Reports.empty());
    EXPECT_EQ(Reports.back().text.rfind(row.said, 0), 0u) << Reports.back().text;
    EXPECT_EQ(Reports.back().level, row.level);
  }
}

TEST_F(FilterPanelTest, ASourceNamesTheDesignAfterItsStem) {
  AddEntry(FilterLibrary, "lowpass.wav", 40);
  ClickRow(OnFilterList, flist_, 0);
  EXPECT_EQ(FirDesign.FirSourceEntry, 0);
  EXPECT_EQ(Text(size_), "N = 40");
  Click(OnFilterHighPass, window_ + 1);
  EXPECT_EQ(On(window_ + 1), -1);
  Field(window_).Selected = 2;
  Step(OnFilterWindowFunction, window_, +1);
  EXPECT_EQ(FilterDesignFileName(), "lowpass_40_HI_Hanning.wav");
  Field(window_).Selected = 8;
  Step(OnFilterWindowFunction, window_, +1);  // wraps to the square window
  EXPECT_EQ(Text(window_), "Square (none)");
}

TEST_F(FilterPanelTest, WindowSizeDragsTheLobeDownAndTheLobeTakesZero) {
  ClickRow(OnFilterList, flist_, 0);
  Field(size_).Selected = 3;  // N = 6
  Step(OnFilterWindowSize, size_, -1);
  EXPECT_EQ(FirDesign.FirTapCount, 5);
  EXPECT_EQ(Text(lobe_), "K = 5");
  EXPECT_EQ(FirDesign.FirWidth, 5);
  Field(lobe_).Selected = 1;
  Step(OnFilterLobeSize, lobe_, -1);
  EXPECT_EQ(FirDesign.FirWidth, 0);
  Step(OnFilterLobeSize, lobe_, -1);  // wraps to N
  EXPECT_EQ(FirDesign.FirWidth, 5);
}

TEST_F(FilterPanelTest, GraphDragMovesTheCutWithinTheSource) {
  const int32_t graph = Slot(kUiFGRAPH);
  Send(OnFilterGraph, V::kEventDrag, -5, 0, graph);  // no source: nothing
  EXPECT_EQ(FirDesign.FirOffset, 0);
  AddEntry(FilterLibrary, "src.wav", 40);
  ClickRow(OnFilterList, flist_, 0);
  Field(size_).Selected = 13;
  Step(OnFilterWindowSize, size_, +1);  // N = 17
  Send(OnFilterGraph, V::kEventDrag, -5, 0, graph);
  EXPECT_EQ(FirDesign.FirOffset, 5);
  Send(OnFilterGraph, V::kEventDrag, 10, 0, graph);
  EXPECT_EQ(FirDesign.FirOffset, 0);
}

TEST_F(FilterPanelTest, UnloadDetachesEverywhereAndKeepsTheSourceInStep) {
  AddEntry(FilterLibrary, "one.wav", 20);
  WaveLibraryEntry* two = AddEntry(FilterLibrary, "two.wav", 20);
  ModuleRecord* m = Make(kConvolutive);
  AttachWaveToModule(m, two, 0);
  ModuleCatalog[kConvolutive].SampleEntry.Store(two);
  FirDesign.FirSourceEntry = 1;
  Field(flist_).Selected = 0;
  Click(OnFilterUnload, window_ + 3);
  EXPECT_EQ(FirDesign.FirSourceEntry, 0);  // still two.wav
  Click(OnFilterUnload, window_ + 3);
  EXPECT_EQ(FilterLibrary.header.count, 0);
  EXPECT_EQ(m->SampleEntry.Load(), nullptr);
  EXPECT_EQ(ModuleCatalog[kConvolutive].SampleEntry.Load(), nullptr);
  EXPECT_EQ(FirDesign.FirSourceEntry, -1);
  EXPECT_EQ(Field(flist_).Selected, -1);
}

// When the design's source goes (its row's -, another synth loaded), the page
// still shows its window, N and K: the design, its graph and + become that
// prototype, not the old source's taps under the prototype's name.
TEST_F(FilterPanelTest, WhenTheSourceGoesPlusWritesThePrototypeThePageShows) {
  const std::string synths = QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\SYNTHS";
  ASSERT_EQ(SaveSession(synths, "empty.tarvelo"), 0);
  const struct { const char* path; std::function<void()> remove; } rows[] = {
      {"its row's -", [&] { Click(OnFilterUnload, window_ + 3); }},
      {"another synth loaded", [&] { ASSERT_EQ(LoadSynth(synths, "empty.tarvelo"), 0); }}};
  FirDesignRecord prototype{};  // Triangular, N = 16, K = 8, built apart
  prototype.FirTapCount = 16, prototype.FirWidth = 8, prototype.FirWindowIndex = 1;
  std::swap(prototype, FirDesign);
  BuildFirKernel(-1);
  std::swap(prototype, FirDesign);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    Field(flist_).Selected = -1;
    ClickRow(OnFilterList, flist_, 0);  // none selected: the prototype
    ASSERT_EQ(Click(OnFilterCreate, window_ + 2), 0);
    ClickRow(OnFilterList, flist_, 0);  // the new filter becomes the source
    ASSERT_EQ(FirDesign.FirSourceEntry, 0);
    row.remove();
    EXPECT_EQ(FirDesign.FirSourceEntry, -1);
    EXPECT_EQ(Text(window_) + ", " + Text(size_) + ", " + Text(lobe_), "Triangular, N = 16, K = 8");
    const int32_t before = FilterLibrary.header.count;
    ASSERT_EQ(Click(OnFilterCreate, window_ + 2), 0);
    ASSERT_EQ(FilterLibrary.header.count, before + 1);
    const WaveLibraryEntry* e = FilterLibrary.entries[before];
    EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File).rfind("FIR_8-16_Triangular", 0), 0u);
    ASSERT_EQ(e->Sound.frameCount, 16u);
    EXPECT_EQ(std::memcmp(e->Sound.samples, prototype.FirKernel, 64), 0);
    FirGraphCopy graph{};
    CopyFirGraph(graph);
    EXPECT_EQ(std::memcmp(graph.Kernel, prototype.FirKernel, 64), 0);
    Field(flist_).Selected = 0;
    Click(OnFilterUnload, window_ + 3);  // the next row starts from an empty list
    ASSERT_EQ(FilterLibrary.header.count, 0);
  }
}

TEST_F(FilterPanelTest, SetGivesGainAndTapsToAConvolutiveFilterOnly) {
  WaveLibraryEntry* e = AddEntry(FilterLibrary, "f.wav", 20);
  e->Pitch[0] = 0.75f;
  SelectedModule = Make(kConvolutive);
  Field(flist_).Selected = 0;
  Click(OnFilterSet, window_ + 4);
  EXPECT_EQ(SelectedModule->SampleEntry.Load(), e);
  EXPECT_FLOAT_EQ(SelectedModule->Params[3].Value.Load(), 0.75f);
  Field(flist_).Selected = -1;
  Click(OnFilterSet, window_ + 4);
  EXPECT_EQ(SelectedModule->SampleEntry.Load(), nullptr);
}

}  // namespace
}  // namespace panelsb
