// The sample page: recording into a new sample in memory, setting, saving and
// unloading the sample selected in WLIST.
#include "app/documents/wave_convert.h"
#include "basics/errors.h"
#include "basics/timetext.h"
#include "engine/globals.h"
#include "panels_b_fixture.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

QUARLE_BASICS::LocalDateTime FixedClock() { return {2024, 3, 9, 14, 5, 7}; }

class SamplePanelTest : public PanelsBTest {
 protected:
  void SetUp() override {
    PanelsBTest::SetUp();
    QUARLE_BASICS::SetLocalClock(FixedClock);
    rec_ = 0;
    for (int32_t id = 1; id < V::ControlTableCount(); ++id)
      if (Id(id) == "REC") rec_ = id;
    ASSERT_GT(rec_, 0);
    m_ = Make(kTypeSample);
    ASSERT_NE(m_, nullptr);
    SelectedModule = m_;
  }
  void TearDown() override {
    QUARLE_BASICS::SetLocalClock(nullptr);
    PanelsBTest::TearDown();
  }
  void SelectRow(int32_t r) { Field(Slot(kUiWLIST)).Selected = r; }
  int32_t rec_ = 0;
  ModuleRecord* m_ = nullptr;
};

TEST_F(SamplePanelTest, RecordMakesAnUnsavedSampleThenAsksTheStop) {
  m_->Params[6].Value = 2.0f;
  Click(OnSampleRecord, rec_);
  ASSERT_EQ(SynthSamples.header.count, 1);
  WaveLibraryEntry* e = SynthSamples.entries[0];
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File), "Rec20240309-14h05m07.wav");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->Folder),
            QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\AUDIO\\RECORDED");
  EXPECT_EQ(e->Sound.frameCount, 96000u);
  EXPECT_EQ(e->Saved, 0);
  EXPECT_EQ(m_->SampleEntry, e);
  EXPECT_EQ(m_->ModuleSwitches[kSwitchRecord], -1);
  EXPECT_EQ(On(rec_), -1);
  EXPECT_EQ(C(rec_)->Colour, 0u);

  Click(OnSampleRecord, rec_);
  EXPECT_EQ(m_->RecordDone, -1);
  EXPECT_EQ(C(rec_)->Colour, kRecordPendingColour);
  // While the stop is pending a click changes nothing.
  Click(OnSampleRecord, rec_);
  EXPECT_EQ(m_->RecordDone, -1);
  EXPECT_EQ(m_->ModuleSwitches[kSwitchRecord], -1);
  EXPECT_EQ(SynthSamples.header.count, 1);
  // Once the render callback finished, the next refresh clears the colour.
  m_->RecordDone = 0;
  m_->ModuleSwitches[kSwitchRecord] = 0;
  ShowRecordState(rec_, m_);
  EXPECT_EQ(C(rec_)->Colour, 0u);
  EXPECT_EQ(On(rec_), 0);
}

TEST_F(SamplePanelTest, RecordFailureIsLoggedAndLeavesTheModule) {
  m_->Params[6].Value = 0.0f;  // no length: no sample can be made
  Click(OnSampleRecord, rec_);
  EXPECT_EQ(SynthSamples.header.count, 0);
  EXPECT_EQ(m_->SampleEntry, nullptr);
  EXPECT_EQ(m_->ModuleSwitches[kSwitchRecord], 0);
  ASSERT_FALSE(Reports.empty());
  EXPECT_EQ(Reports.back().text,
            "Error creating new wave file: " + QUARLE_BASICS::ErrorText(-19));
  EXPECT_EQ(Reports.back().level, 2);
  // Only a click acts, and only on a Sample module.
  m_->Params[6].Value = 1.0f;
  Press(OnSampleRecord, rec_);
  EXPECT_EQ(SynthSamples.header.count, 0);
  SelectedModule = Make(kTypeOscillator);
  Click(OnSampleRecord, rec_);
  EXPECT_EQ(SynthSamples.header.count, 0);
}

TEST_F(SamplePanelTest, SetAttachesTheSelectedSampleWithItsPitchOrDetaches) {
  WaveLibraryEntry* e = AddEntry(SynthSamples, "a.wav", 480);
  e->Pitch[0] = 1200.0f;
  SelectRow(0);
  Click(OnSampleSet, Slot(kUiWLIST) + 3);
  EXPECT_EQ(m_->SampleEntry, e);
  EXPECT_FLOAT_EQ(m_->Params[2].Value, 1200.0f / RateQuarter);

  // A ratio other than 1 divides the frequency.
  e->RateRatio = QUARLE_BASICS::Ratio{2, 1};
  Click(OnSampleSet, Slot(kUiWLIST) + 3);
  EXPECT_FLOAT_EQ(m_->Params[2].Value, 1200.0f / RateQuarter / 2.0f);

  // While the module records, nothing.
  m_->ModuleSwitches[kSwitchRecord] = -1;
  SelectRow(-1);
  Click(OnSampleSet, Slot(kUiWLIST) + 3);
  EXPECT_EQ(m_->SampleEntry, e);
  m_->ModuleSwitches[kSwitchRecord] = 0;

  // No row: the wave is detached. A row past the list: nothing.
  Click(OnSampleSet, Slot(kUiWLIST) + 3);
  EXPECT_EQ(m_->SampleEntry, nullptr);
  SelectRow(5);
  Click(OnSampleSet, Slot(kUiWLIST) + 3);
  EXPECT_EQ(m_->SampleEntry, nullptr);
  // A busy entry is not set.
  e->State = kWaveCreating;
  SelectRow(0);
  Click(OnSampleSet, Slot(kUiWLIST) + 3);
  EXPECT_EQ(m_->SampleEntry, nullptr);
}

TEST_F(SamplePanelTest, SaveWritesOnceAddsToTheLibraryAndShowsTheFile) {
  WaveLibraryEntry* e = AddEntry(SynthSamples, "take.wav", 64);
  e->Saved = 0;
  // The browser shows its file list, on the folder the sample goes to.
  Press(OnBrowserTab, Slot(kUiTABMSG) + 1);
  const int32_t files = Slot(kUiFILES);
  SelectRow(0);
  const int32_t ssav = Slot(kUiWLIST) + 1;
  ASSERT_EQ(Id(ssav), "SSAV");
  Click(OnSampleSave, ssav);
  EXPECT_NE(e->Saved, 0);
  EXPECT_TRUE(fs::exists(Home() / "take.wav"));
  EXPECT_EQ(Text(Slot(kUiMB)), "take.wav has been saved.");
  ASSERT_GE(Field(files).Selected, 0);
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, Field(files).Selected), "take.wav");
  EXPECT_EQ(SampleLibrary.header.count, 1);

  Click(OnSampleSave, ssav);
  EXPECT_EQ(Text(Slot(kUiMB)), "This file is already saved.");
  EXPECT_EQ(SampleLibrary.header.count, 1);
}

TEST_F(SamplePanelTest, SaveWhileAnotherListShowsLeavesTheFileListAndReportsFailures) {
  WaveLibraryEntry* e = AddEntry(SynthSamples, "quiet.wav", 64);
  e->Saved = 0;
  const int32_t before = QUARLE_BASICS::DirListCount(BrowserListing);
  SelectRow(0);
  Click(OnSampleSave, Slot(kUiWLIST) + 1);
  EXPECT_NE(e->Saved, 0);
  EXPECT_EQ(QUARLE_BASICS::DirListCount(BrowserListing), before);

  // A folder that does not exist: reported, the entry stays unsaved.
  WaveLibraryEntry* lost = AddEntry(SynthSamples, "lost.wav", 64);
  lost->Saved = 0;
  QUARLE_BASICS::DynZStringAssign(lost->Folder, platform::FromOsPath((Home() / "none").string()));
  SelectRow(1);
  Click(OnSampleSave, Slot(kUiWLIST) + 1);
  EXPECT_EQ(lost->Saved, 0);
  ASSERT_FALSE(Reports.empty());
  EXPECT_EQ(Reports.back().text.rfind("Error saving file: ", 0), 0u);
  EXPECT_EQ(Reports.back().level, 2);
}

TEST_F(SamplePanelTest, UnloadDetachesRemovesAndMovesTheSelection) {
  WaveLibraryEntry* a = AddEntry(SynthSamples, "a.wav", 16);
  AddEntry(SynthSamples, "b.wav", 16);
  WaveLibraryEntry* c = AddEntry(SynthSamples, "c.wav", 16);
  AttachWaveToModule(m_, c, 0);
  ModuleCatalog[kTypeSample].SampleEntry = c;
  const int32_t wlist = Slot(kUiWLIST), sdel = wlist + 2;
  ASSERT_EQ(Id(sdel), "SDEL");

  SelectRow(2);
  Click(OnSampleUnload, sdel);
  EXPECT_EQ(SynthSamples.header.count, 2);
  EXPECT_EQ(m_->SampleEntry, nullptr);
  EXPECT_EQ(m_->SampleData, nullptr);
  EXPECT_EQ(ModuleCatalog[kTypeSample].SampleEntry, nullptr);
  EXPECT_EQ(Field(wlist).Selected, 1);

  // A row past the end counts as the last one; later entries move down.
  SelectRow(0);
  Click(OnSampleUnload, sdel);
  EXPECT_EQ(SynthSamples.header.count, 1);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(SynthSamples.entries[0]->File), "b.wav");
  EXPECT_EQ(SynthSamples.entries[0]->ListIndex, 0);
  EXPECT_EQ(Field(wlist).Selected, 0);
  (void)a;

  // A busy sample stays.
  SynthSamples.entries[0]->State = kWaveCreating;
  Click(OnSampleUnload, sdel);
  EXPECT_EQ(SynthSamples.header.count, 1);
  SynthSamples.entries[0]->State = kWaveIdle;
  SelectRow(9);
  Click(OnSampleUnload, sdel);
  EXPECT_EQ(SynthSamples.header.count, 0);
  EXPECT_EQ(Field(wlist).Selected, -1);
  // An empty list: nothing.
  Click(OnSampleUnload, sdel);
  EXPECT_EQ(Field(wlist).Selected, -1);
}

}  // namespace
}  // namespace panelsb
