// The melody page: idle-only selection, save, unload and set, and the
// two-click recordings of a Sequencer and of a Melody Generator.
#include <vector>

#include "app/documents/wave_convert.h"
#include "basics/timetext.h"
#include "engine/command.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/sequencer.h"
#include "engine/midimap.h"
#include "engine/render.h"
#include "panels_b_fixture.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

QUARLE_BASICS::LocalDateTime FixedClock() { return {2025, 11, 30, 8, 9, 10}; }

class MelodyPanelTest : public PanelsBTest {
 protected:
  void SetUp() override {
    PanelsBTest::SetUp();
    QUARLE_BASICS::SetLocalClock(FixedClock);
    mlist_ = Slot(kUiMLIST);
    ASSERT_EQ(Id(mlist_ + 3), "MSET");  // MSAV, MDEL, MSET follow
    rec_ = IdOf("REC");
  }
  void TearDown() override {
    PlaybackActive = 0, CommandSlotWait = slotWait_, ModuleLiveWait = liveWait_;
    QUARLE_BASICS::SetLocalClock(nullptr);
    PanelsBTest::TearDown();
  }
  // A take starts only where the render records it: the output plays m; REC's click is taken as a frame.
  void Record(ModuleRecord* m, V::EventCallbackFn record) {
    PlaybackActive = 0;
    RequestGraphRebuild(0, 0, m);
    ResetEngineCommand(EngineCommand);
    CommandSlotWait = ModuleLiveWait = 0.02;
    PlaybackActive = -1;
    Click(record, rec_), ExecuteEngineCommand();
  }
  WaveLibraryEntry* Melody(const std::string& file) {
    WaveLibraryEntry* e = AddEntry(MelodyLibrary, file, 16);
    QUARLE_BASICS::DynZStringAssign(e->Folder, platform::FromOsPath((Home() / "MELODIES").string()));
    e->Saved = 0;
    for (int32_t i = 0; i < 16; ++i) e->Sound.samples[i] = static_cast<float>(i) + 0.5f;
    e->Pitch[0] = 3.0f;
    e->Duration.Store(12.0f);
    return e;
  }
  int32_t mlist_ = 0, rec_ = 0;
  const double slotWait_ = CommandSlotWait, liveWait_ = ModuleLiveWait;
};

TEST_F(MelodyPanelTest, SelectAndSaveOnlyIdleUnsavedMelodies) {
  WaveLibraryEntry* e = Melody("tune.mel");
  Melody("busy.mel")->State.Store(kWaveCreating);
  ClickRow(OnMelodyList, mlist_, 1);
  EXPECT_EQ(Field(mlist_).Selected, -1);
  ClickRow(OnMelodyList, mlist_, 0);
  Click(OnMelodySave, mlist_ + 1);
  EXPECT_NE(e->Saved, 0);
  EXPECT_TRUE(fs::exists(Home() / "MELODIES" / "tune.mel"));
  EXPECT_EQ(Text(Slot(kUiMB)), "tune.mel has been saved.");
  SetStatusText("x");
  Click(OnMelodySave, mlist_ + 1);  // saved: nothing
  EXPECT_EQ(Text(Slot(kUiMB)), "x");
  e->Saved = 0;
  QUARLE_BASICS::DynZStringAssign(e->Folder, platform::FromOsPath((Home() / "gone").string()));
  Click(OnMelodySave, mlist_ + 1);
  EXPECT_EQ(e->Saved, 0);
  EXPECT_EQ(Reports.back().text.rfind("Error saving file: ", 0), 0u);
  EXPECT_EQ(Reports.back().level, 2);
}

TEST_F(MelodyPanelTest, UnloadDetachesSequencersAndGenerators) {
  Melody("a.mel");
  WaveLibraryEntry* b = Melody("b.mel");
  ModuleRecord* seq = Make(kTypeSequencer);
  ModuleRecord* gen = Make(kTypeMelodyGenerator);
  AttachWaveToModule(seq, b, 0);
  BeginMelodyGeneratorRecording(*gen, b);
  ModuleCatalog[kTypeSequencer].SampleEntry.Store(b);
  Field(mlist_).Selected = 1;
  Click(OnMelodyUnload, mlist_ + 2);
  EXPECT_EQ(MelodyLibrary.header.count, 1);
  EXPECT_EQ(seq->SampleEntry.Load(), nullptr);
  EXPECT_EQ(gen->SampleData, nullptr);
  EXPECT_EQ(ModuleCatalog[kTypeSequencer].SampleEntry.Load(), nullptr);
  EXPECT_EQ(Field(mlist_).Selected, 0);
  Click(OnMelodyUnload, mlist_ + 2);
  EXPECT_EQ(MelodyLibrary.header.count, 0);
  EXPECT_EQ(Field(mlist_).Selected, -1);
}

TEST_F(MelodyPanelTest, SetGivesTheSequencerTheMelodysNumbersOrZeros) {
  WaveLibraryEntry* e = Melody("m.mel");
  ModuleRecord* seq = Make(kTypeSequencer);
  SelectedModule = seq;
  seq->ModuleSwitches[kSwitchPlay].Store(-1);
  Field(mlist_).Selected = 0;
  Click(OnMelodySet, mlist_ + 3);
  EXPECT_EQ(seq->SampleEntry.Load(), e);
  EXPECT_FLOAT_EQ(seq->Params[0].Value.Load(), 7.5f);
  EXPECT_FLOAT_EQ(seq->Params[2].Value.Load(), 3.0f);
  EXPECT_FLOAT_EQ(seq->Params[3].Value.Load(), 4.5f);
  EXPECT_FLOAT_EQ(seq->Params[4].Value.Load(), 12.0f);
  EXPECT_EQ(seq->ModuleSwitches[kSwitchPlay].Load(), -1);
  Field(mlist_).Selected = -1;
  Click(OnMelodySet, mlist_ + 3);
  EXPECT_EQ(seq->SampleEntry.Load(), nullptr);
  for (int32_t p : {0, 2, 3, 4}) EXPECT_FLOAT_EQ(seq->Params[p].Value.Load(), 0.0f) << p;
}

// Set pressed right after Record, while the take's start still waits for the
// render: Set waits for it and then changes nothing on the recording module
// (before, its values landed first and the take's end wrote over them, or its
// melody cut the take short); where the render takes nothing, it says so.
TEST_F(MelodyPanelTest, SetAfterARecordTheRenderHasNotTakenLeavesTheTakeAlone) {
  WaveLibraryEntry* tune = Melody("m.mel");
  ModuleRecord* seq = Make(kTypeSequencer);
  SelectedModule = seq;
  PlaybackActive = 0;
  RequestGraphRebuild(0, 0, seq);
  ResetEngineCommand(EngineCommand);
  const double slotWait = CommandSlotWait, liveWait = ModuleLiveWait;
  CommandSlotWait = ModuleLiveWait = 0.02;
  PlaybackActive = -1;
  auto frames = [] {
    std::vector<float> block(96);
    float* p = block.data();
    for (int32_t i = 0; i < 4; ++i) RenderAudio(&p, 0, 96);
  };
  for (const bool renders : {false, true}) {
    SCOPED_TRACE(renders ? "the render takes it meanwhile" : "nothing renders");
    ModuleSetParamValue(*seq, kSeqLength, 60.0f);  // the take runs on (a take's end sets it)
    const float before = seq->Params[0].Value.Load();
    Click(OnSequencerRecord, rec_);
    ASSERT_EQ(seq->ModuleSwitches[kSwitchRecord].Load(), 0);
    ASSERT_TRUE(EngineCommandReferences(seq));
    if (renders) frames();
    SetTextOf(Slot(kUiMB), "");
    Field(mlist_).Selected = 0;
    Click(OnMelodySet, mlist_ + 3);
    EXPECT_EQ(Text(Slot(kUiMB)), renders ? "" : "Waiting for audio thread.");
    EXPECT_FALSE(ControllerMovesPending());
    frames();
    EXPECT_NE(seq->ModuleSwitches[kSwitchRecord].Load(), 0);
    EXPECT_NE(seq->SampleEntry.Load(), tune);
    EXPECT_EQ(seq->Params[0].Value.Load(), before);
    seq->RecordDone.Store(-1);
    PostFinishTake(seq);
    frames();
    ASSERT_EQ(seq->ModuleSwitches[kSwitchRecord].Load(), 0);
  }
  PlaybackActive = 0;
  CommandSlotWait = slotWait;
  ModuleLiveWait = liveWait;
}

TEST_F(MelodyPanelTest, SequencerRecordsInTwoClicks) {
  ModuleRecord* seq = Make(kTypeSequencer);
  SelectedModule = seq;
  Record(seq, OnSequencerRecord);
  ShowRecordState(rec_, seq);  // as the system bar's tick shows the switch the render set
  ASSERT_EQ(MelodyLibrary.header.count, 1);
  WaveLibraryEntry* e = MelodyLibrary.entries[0];
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File), "20251130-08h09m10.mel");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->Folder),
            QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\MELODIES");
  EXPECT_EQ(e->State.Load(), kWaveCreating);
  EXPECT_EQ(e->Sound.dataSize, 192024u);
  EXPECT_EQ(seq->SampleEntry.Load(), e);
  EXPECT_EQ(On(rec_), -1);
  // The stop: with nothing rendering the module the take ends at once; one
  // of no note leaves the list.
  PlaybackActive = 0;
  Click(OnSequencerRecord, rec_);
  EXPECT_EQ(seq->RecordDone.Load(), 0);
  EXPECT_EQ(seq->ModuleSwitches[kSwitchRecord].Load(), 0);
  EXPECT_EQ(On(rec_), 0);
  EXPECT_EQ(C(rec_)->Colour, 0u);
  EXPECT_EQ(MelodyLibrary.header.count, 0);
}

// A stop that meets the take's own end: the page read the record switch as
// on, then the render ended the take (its Length, a full melody, a phrase
// end) before the page asked the end. The ask finds no take: nothing stays
// pending, REC loses the pending colour and every later Record starts a take.
TEST_F(MelodyPanelTest, AStopThatMeetsTheTakesOwnEndLeavesRecordWorking) {
  const struct {
    int32_t type;
    int32_t (*record)(uint32_t, int32_t, int32_t, int32_t, int32_t);
  } cases[] = {{kTypeSequencer, OnSequencerRecord}, {kTypeMelodyGenerator, OnMelodyGeneratorRecord}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    ModuleRecord* m = Make(c.type);
    SelectedModule = m;
    Record(m, c.record);
    ASSERT_NE(m->ModuleSwitches[kSwitchRecord].Load(), 0);
    FinishRecording(*m);  // the render's end, between the page's read and its ask
    AskTakeEnd(m);
    ShowRecordState(rec_, m);
    EXPECT_EQ(m->RecordDone.Load(), 0);
    EXPECT_EQ(C(rec_)->Colour, 0u);
    int32_t started = 0;
    for (int32_t i = 0; i < 8; ++i) {
      Click(c.record, rec_), ExecuteEngineCommand();
      const bool on = m->ModuleSwitches[kSwitchRecord].Load() != 0;
      started += on;
      if (on) FinishRecording(*m);
    }
    EXPECT_EQ(started, 8) << "Record clicks that started a take";
  }
}

// REC on a Melody Generator whose take no phrase end would close: waiting
// for a trigger, the stop ends the take at the next frame; with a phrase that
// does not move on (its tempo at 0) the stop waits for its end, and a further
// click ends it at the next frame. A take of no note leaves the list, and the
// next click starts a take.
TEST_F(MelodyPanelTest, AGeneratorsStopEndsTheTakeWhereNoPhraseEndComes) {
  const auto frames = [] {
    std::vector<float> block(96);
    float* p = block.data();
    for (int32_t i = 0; i < 4; ++i) RenderAudio(&p, 0, 96);
  };
  for (const bool phrase : {false, true}) {
    SCOPED_TRACE(phrase ? "a phrase that does not move on" : "waiting for a trigger");
    ModuleRecord* gen = Make(kTypeMelodyGenerator);
    SelectedModule = gen;
    Record(gen, OnMelodyGeneratorRecord);
    frames();
    ASSERT_NE(gen->ModuleSwitches[kSwitchRecord].Load(), 0);
    ASSERT_EQ(MelodyLibrary.header.count, 1);
    if (phrase) {
      ModuleSetParamValue(*gen, kMelTempo, 0.0f);
      SetMelodyInt(*gen, kMelRootKey, 48);
      gen->MelodyRestart = 0;
      gen->VoiceState[0][kMelCountdown] = 4.0f;
    }
    Click(OnMelodyGeneratorRecord, rec_);
    frames();
    if (phrase) {
      EXPECT_NE(gen->ModuleSwitches[kSwitchRecord].Load(), 0) << "the take waits for its phrase end";
      Click(OnMelodyGeneratorRecord, rec_);
      frames();
    }
    TakeFinishedRecordings();
    ShowRecordState(rec_, gen);
    EXPECT_EQ(gen->ModuleSwitches[kSwitchRecord].Load(), 0);
    EXPECT_EQ(gen->RecordDone.Load(), 0);
    EXPECT_EQ(C(rec_)->Colour, 0u);
    EXPECT_EQ(MelodyLibrary.header.count, 0);
    Click(OnMelodyGeneratorRecord, rec_);
    frames();
    EXPECT_NE(gen->ModuleSwitches[kSwitchRecord].Load(), 0) << "the next click starts a take";
    gen->RecordDone.Store(-1);
    PostFinishTake(gen);
    frames();
    TakeFinishedRecordings();
  }
}

TEST_F(MelodyPanelTest, MelodiesRecordedWithinOneSecondGetNamesOfTheirOwn) {
  // One name is taken by an unsaved melody, the next by a file on disk.
  Record(SelectedModule = Make(kTypeSequencer), OnSequencerRecord);
  fs::create_directories(Home() / "MELODIES");
  std::ofstream(Home() / "MELODIES" / "20251130-08h09m10 (2).mel") << "x";
  Record(SelectedModule = Make(kTypeMelodyGenerator), OnMelodyGeneratorRecord);
  ASSERT_EQ(MelodyLibrary.header.count, 2);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(MelodyLibrary.entries[0]->File), "20251130-08h09m10.mel");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(MelodyLibrary.entries[1]->File), "20251130-08h09m10 (3).mel");
}

TEST_F(MelodyPanelTest, GeneratorRecordsStraightAndTheLibraryDoubles) {
  ModuleRecord* gen = Make(kTypeMelodyGenerator);
  SelectedModule = gen;
  for (int i = 0; i < 16; ++i) Melody("m" + std::to_string(i) + ".mel");
  Record(gen, OnMelodyGeneratorRecord);
  EXPECT_EQ(MelodyLibrary.header.count, 17);
  EXPECT_EQ(MelodyLibrary.header.capacity, 32);
  EXPECT_EQ(gen->SampleEntry.Load(), MelodyLibrary.entries[16]);
  EXPECT_EQ(gen->ModuleSwitches[kSwitchRecord].Load(), -1);
  EXPECT_EQ(MelodyInt(*gen, kMelRecordPosition), 0);
}

}  // namespace
}  // namespace panelsb
