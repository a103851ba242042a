// The sample page: recording into a new sample in memory, setting, saving and
// unloading the sample selected in WLIST.
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include "app/documents/synth_file.h"
#include "app/documents/wave_convert.h"
#include "app/shutdown.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/modules.h"
#include "audio/audio.h"
#include "audio/wav.h"
#include "basics/errors.h"
#include "basics/timetext.h"
#include "engine/command.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/sequencer.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "engine/globals.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "ui/panels/filter_panel.h"
#include "ui/panels/list_buttons.h"
#include "ui/panels/melody_panel.h"
#include "ui/panels/sysbar.h"
#include "app/documents/synth_file_walk.h"
#include "engine/midimap.h"
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
    rec_ = IdOf("REC");
    wlist_ = Slot(kUiWLIST);
    ASSERT_EQ(Id(wlist_ + 3), "SSET");
    m_ = Make(kTypeSample);
    SelectedModule = m_;
  }
  void TearDown() override {
    PlaybackActive = 0;
    CommandSlotWait = slotWait_;
    ModuleLiveWait = liveWait_;
    QUARLE_BASICS::SetLocalClock(nullptr);
    PanelsBTest::TearDown();
  }
  // The output plays with m the synth output module (so in the processing
  // order); the audio thread is this test, rendering when it says so.
  void OutputOn(ModuleRecord* m) {
    PlaybackActive = 0;
    RequestGraphRebuild(0, 0, m);
    ResetEngineCommand(EngineCommand);  // no rebuild left for the first frame
    CommandSlotWait = ModuleLiveWait = 0.02;
    PlaybackActive = -1;
  }
  static void Frames(int32_t n) {
    std::vector<float> block(2 * static_cast<size_t>(n));
    float* p = block.data();
    RenderAudio(&p, 0, 2 * n);
  }
  static void Tick() { OnSysbarTick(0, 1, 0, 0, 0); }
  int32_t rec_ = 0, wlist_ = 0;
  ModuleRecord* m_ = nullptr;
  const double slotWait_ = CommandSlotWait, liveWait_ = ModuleLiveWait;
};

// A take starts only where the render callback will write it: with the output
// off, the module off or out of the synth's reach, the status line says why
// and nothing is made, busy or not; the button stays off, on every recorder.
// Where the render plays the module a take starts.
TEST_F(SamplePanelTest, ATakeStartsOnlyWhereTheRenderRecordsIt) {
  ModuleRecord* other = Make(kTypeSample);
  const struct {
    const char* why;
    std::function<void()> arrange;
  } cases[] = {
      {"Turn audio output ON to record.", [] {}},
      {"Turn the module ON to record.",
       [&] {
         m_->ModuleSwitches[kSwitchPower].Store(0);
         OutputOn(m_);
       }},
      {"Link the module to the synth output to record.", [&] { OutputOn(other); }},
      {"", [&] { OutputOn(m_); }},
  };
  platform::MarkInterfaceThread();
  for (const V::EventCallbackFn record : {OnSampleRecord, OnSequencerRecord, OnMelodyGeneratorRecord}) {
    if (record != OnSampleRecord) SelectedModule = m_ = Make(record == OnSequencerRecord ? kTypeSequencer : kTypeMelodyGenerator);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(m_->Type) + ": " + c.why);
      c.arrange();
      m_->Params[6].Value.Store(1.0f);
      SetTextOf(Slot(kUiMB), "");
      Click(record, rec_);
      EXPECT_EQ(Text(Slot(kUiMB)), c.why);
      ExecuteEngineCommand();  // a start, taken at the start of a frame
      EXPECT_EQ(SynthSamples.header.count + MelodyLibrary.header.count, *c.why ? 0 : 1);
      EXPECT_EQ(m_->ModuleSwitches[kSwitchRecord].Load(), *c.why ? 0 : -1);
      EXPECT_EQ(On(rec_), 0);
      EXPECT_EQ(C(rec_)->Colour, 0u);
      m_->ModuleSwitches[kSwitchPower].Store(-1);
      PlaybackActive = 0;
      Click(record, rec_);  // a take of no frame leaves nothing
    }
  }
  platform::ForgetInterfaceThread();
  EXPECT_FALSE(fs::exists(Home() / "AUDIO" / "RECORDED" / "Rec20240309-14h05m07.wav"));
}

// Every way a take ends turns the button off: a stop, served at the next
// frame also when the module has no voice to run with (its lead input a
// keyboard with no key down), the output going off (the stop report ends it
// with what it holds), a click once nothing renders it. A take of no frame
// leaves no entry.
TEST_F(SamplePanelTest, EveryTakeEndsWithTheButtonOffAndNoEmptyEntry) {
  enum End { kStopClick, kOutputOff, kClickWithoutRender, kQuit };
  const struct {
    const char* what;
    End end;
    bool asleep;     // the bias port, which leads the voices, fed by an idle keyboard
    int32_t frames;  // rendered before the end
    int32_t kept;    // frames the entry holds after, 0 no entry
  } cases[] = {
      {"stopped", kStopClick, false, 100, 100},
      {"stopped while the module sleeps", kStopClick, true, 100, 0},
      {"output off", kOutputOff, false, 100, 100},
      {"output off before a frame", kOutputOff, false, 0, 0},
      {"clicked with the output gone", kClickWithoutRender, false, 40, 40},
      {"clicked before a frame, the output gone", kClickWithoutRender, false, 0, 0},
      {"quit while recording", kQuit, false, 100, 100},
      {"quit before a frame", kQuit, false, 0, 0},
  };
  ModuleRecord* kb = Make(kTypeKeyboard);
  platform::MarkInterfaceThread();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.asleep) PostLinkInput(m_, 0, kb, m_->Type);
    OutputOn(m_);
    m_->Params[6].Value.Store(1.0f);
    Click(OnSampleRecord, rec_);
    ASSERT_EQ(SynthSamples.header.count, 1);
    WaveLibraryEntry* e = SynthSamples.entries[0];
    ExecuteEngineCommand();  // the attach, taken at the start of a frame
    ASSERT_EQ(m_->ModuleSwitches[kSwitchRecord].Load(), -1);
    Tick();
    EXPECT_EQ(On(rec_), -1);
    if (c.frames > 0) Frames(c.frames);
    EXPECT_EQ(m_->FramesRecorded, c.asleep ? 0 : c.frames);

    if (c.end == kStopClick) {
      Click(OnSampleRecord, rec_);
      EXPECT_EQ(C(rec_)->Colour, kRecordPendingColour);  // until the next frame
      Frames(1);
    } else if (c.end == kQuit) {
      EndRunningTakes();
      Frames(1);
    } else if (c.end == kOutputOff) {
      QUARLE_BASICS::CommandMessage stopped{};
      stopped.type = QUARLE_AUDIO::kAudioPlaybackOff;
      HandleSystemMessage(&stopped);
    } else {
      PlaybackActive = 0;
      Click(OnSampleRecord, rec_);
    }
    EXPECT_EQ(m_->ModuleSwitches[kSwitchRecord].Load(), 0);
    EXPECT_EQ(m_->RecordDone.Load(), 0);
    Tick();
    EXPECT_EQ(On(rec_), 0);
    EXPECT_EQ(C(rec_)->Colour, 0u);
    PlaybackActive = 0;  // what follows runs at once
    if (c.kept > 0) {
      ASSERT_EQ(SynthSamples.header.count, 1);
      EXPECT_EQ(e->Sound.frameCount, uint32_t(c.kept));
      EXPECT_EQ(e->State.Load(), kWaveIdle);
      EXPECT_EQ(m_->SampleEntry.Load(), e);
      EXPECT_EQ(m_->ModuleSwitches[kSwitchPlay].Load(), -1);
      Field(wlist_).Selected = 0;
      Click(OnSampleUnload, wlist_ + 2);
    }
    EXPECT_EQ(SynthSamples.header.count, 0);
    EXPECT_EQ(m_->SampleEntry.Load(), nullptr);
    if (c.asleep) PostLinkInput(m_, 0, kb, m_->Type);  // unlinked again
  }
  platform::ForgetInterfaceThread();
}

// A melody take whose module nothing renders any more (output off or unlinked; its stop asked or not, a
// generator's waiting for a phrase end) ends at the next click: REC off, no row busy, REC works again.
TEST_F(SamplePanelTest, AMelodyTakeThatLosesItsRendererEndsAtTheNextClick) {
  QUARLE_BASICS::CommandMessage stopped{};
  stopped.type = QUARLE_AUDIO::kAudioPlaybackOff;
  platform::MarkInterfaceThread();
  for (int32_t loss = 0; loss < 8; ++loss) {  // bit 0 unlinked (else the output off), 1 the stop asked, 2 a generator
    const V::EventCallbackFn record = loss & 4 ? OnMelodyGeneratorRecord : OnSequencerRecord;
    SCOPED_TRACE(loss);
    ModuleRecord* m = SelectedModule = Make(loss & 4 ? kTypeMelodyGenerator : kTypeSequencer);
    OutputOn(m);
    Click(record, rec_);
    Frames(100);
    if (loss & 2) Click(record, rec_);
    if (loss & 1) PostUnlinkModule(m), Frames(4);
    else HandleSystemMessage(&stopped);
    Click(record, rec_);
    if (loss & 1) Frames(4);  // the render takes the stop
    TakeFinishedRecordings();
    Tick();
    EXPECT_EQ(On(rec_), 0);
    EXPECT_EQ(C(rec_)->Colour, 0u);
    for (int32_t i = 0; i < MelodyLibrary.header.count; ++i)
      EXPECT_EQ(MelodyLibrary.entries[i]->State.Load(), kWaveIdle) << "a busy row";
    OutputOn(m);
    Click(record, rec_);
    ExecuteEngineCommand();
    EXPECT_EQ(m->ModuleSwitches[kSwitchRecord].Load(), -1) << "REC starts no take again";
    PlaybackActive = 0;
    Click(record, rec_);
  }
  platform::ForgetInterfaceThread();
}

// A recording ends with what it holds whenever its module goes away (deleted,
// the synth cleared, New, another synth loaded, quit): a Sample's take, a
// Sequencer's or a Melody Generator's melody. The entry is idle with what was
// recorded, a module plays it, it saves as that (not the silent length or the
// empty note slots the recording was given) and unloads. A load saves it
// before the old lists go. A recording of no frame leaves nothing: no entry,
// no file, and no name in a session saved as it ends (New, quit, or the stop
// button with a save right after, before the render's hand-over is read).
TEST_F(SamplePanelTest, ATakeEndsWithWhatItHoldsWhenItsModuleGoes) {
  const std::string synths = QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\SYNTHS";
  ASSERT_EQ(SaveSession(synths, "other.tarvelo"), 0);
  const int64_t autoSave = Settings.AutoSave;
  Settings.AutoSave = -1;
  const struct {
    const char* what;
    std::function<void(ModuleRecord*)> remove;
    bool listed;   // the entry stays in the synth's list
    bool saves;    // a session is saved as the take ends
    bool sample;   // a Sample's take only (the stop button's own path)
  } paths[] = {
      {"module list's Delete", [](ModuleRecord* m) { DeleteModule(m); }, true, false, false},
      {"synth cleared", [](ModuleRecord*) { ClearSynth(); }, true, false, false},
      {"New",
       [&](ModuleRecord*) {
         SessionFile = "before_new.tarvelo";  // saved by New, not the synth loaded below
         OnNewSynth(V::kEventClick, 0, 0, Slot(kUiSNEW), 0);
       },
       true, true, false},
      {"another synth loaded", [&](ModuleRecord*) { LoadSynth(synths, "other.tarvelo"); }, false, false, false},
      {"quit", [](ModuleRecord*) { EndRunningTakes(); }, true, false, false},
      {"quit, saving the session",
       [&](ModuleRecord*) {
         EndRunningTakes();
         SaveSession(synths, "quit.tarvelo");
       },
       true, true, false},
      {"stop button, then Save",
       [&](ModuleRecord*) {
         // The stop waits for the render (serving it here) to take it.
         Click(OnSampleRecord, rec_);
         SaveSession(synths, "stopped.tarvelo");
       },
       true, true, true},
  };
  // The entries a saved session names (samples, filters, melodies).
  const auto named = [](const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return synthfile::WalkLists(b).names;
  };
  const int32_t mlist = Slot(kUiMLIST);
  // What 100 frames leave: a Sample's frames (of a 1 s take); a melody's
  // record bytes, its 24-byte head and 16 bytes a note (the Sequencer holds
  // its port's steady note; the generator, seeded, composes three on a held
  // key at 20 frames a step).
  const auto compose = [](ModuleRecord* m) {
    ModuleRecord* kb = Make(kTypeKeyboard);
    ModuleLinkInput(*m, kMelFrequency, kb, &ModuleCatalog[m->Type]);
    ModuleSetParamValue(*m, kMelTempo, 0.05f);
    ASSERT_GE(KeyNoteOn(48, 1.0f, 0), 0);
    SeedRandom(11);
  };
  const struct {
    int32_t type;
    std::function<void(ModuleRecord*)> prepare;
    V::EventCallbackFn record;
    WaveLibraryList* list;
    int32_t listId;
    V::EventCallbackFn save, unload;
    fs::path file;
    uint32_t kept;
  } kinds[] = {
      {kTypeSample, [](ModuleRecord* m) { m->Params[6].Value.Store(1.0f); }, OnSampleRecord, &SynthSamples, wlist_, OnSampleSave, OnSampleUnload,
       Home() / "AUDIO" / "RECORDED" / "Rec20240309-14h05m07.wav", 100},
      {kTypeSequencer, [](ModuleRecord*) {}, OnSequencerRecord, &MelodyLibrary, mlist, OnMelodySave, OnMelodyUnload,
       Home() / "MELODIES" / "20240309-14h05m07.mel", 40},
      {kTypeMelodyGenerator, compose, OnMelodyGeneratorRecord, &MelodyLibrary, mlist, OnMelodySave, OnMelodyUnload,
       Home() / "MELODIES" / "20240309-14h05m07.mel", 72},
  };
  // What an entry holds and what its file holds, in the same unit.
  const auto held = [](const WaveLibraryEntry* e) {
    return e->Sound.frameCount != 0 ? e->Sound.frameCount : e->Sound.dataSize;
  };
  const auto saved = [](const fs::path& file) -> uint32_t {
    if (file.extension() == ".mel") return static_cast<uint32_t>(fs::file_size(file)) - 32u;
    QUARLE_AUDIO::SoundBuffer s;
    QUARLE_AUDIO::SoundBufferInit(&s);
    EXPECT_EQ(QUARLE_AUDIO::ReadWavHeader(platform::FromOsPath(file.string()), &s), 0);
    const uint32_t frames = s.frameCount;
    QUARLE_AUDIO::SoundBufferFree(&s);
    return frames;
  };
  platform::MarkInterfaceThread();
  for (const auto& kind : kinds) {
    for (const auto& path : paths) {
      if (path.sample && kind.type != kTypeSample) continue;
      for (const int32_t frames : {100, 0}) {
        SCOPED_TRACE(std::string(path.what) + ", type " + std::to_string(kind.type) + ", frames " +
                     std::to_string(frames));
        ModuleRecord* m = Make(kind.type);
        SelectedModule = m;
        kind.prepare(m);
        OutputOn(m);
        Click(kind.record, rec_);
        ASSERT_EQ(kind.list->header.count, 1);
        WaveLibraryEntry* e = kind.list->entries[0];
        ExecuteEngineCommand();
        ASSERT_EQ(m->ModuleSwitches[kSwitchRecord].Load(), -1);
        if (frames > 0) Frames(frames);
        // The render serves what the interface posts while the module goes.
        std::atomic<bool> stop{false};
        std::thread audio([&] {
          while (!stop.load())
            if (EngineCommandPending())
              Frames(1);
            else if (FrameHoldWanted.load() != 0)
              ExecuteEngineCommand();  // a frame boundary, no frame
            else
              std::this_thread::yield();
        });
        // A copy made while the take runs does not share its entry, which
        // a take of nothing frees.
        ModuleRecord* copy = nullptr;
        EXPECT_GE(AddModule(m->ListIndex.Load(), false, &copy), 0);
        if (copy != nullptr) {
          EXPECT_EQ(copy->SampleEntry.Load(), nullptr);
          EXPECT_EQ(copy->SampleData, nullptr);
        }
        Reports.clear();
        // What goes waits for the render (served here) to take the stops:
        // a wait that ran out on a busy machine would leave the take running
        // (and a load refuses then).
        CommandSlotWait = ModuleLiveWait = 30.0;
        path.remove(m);
        CommandSlotWait = ModuleLiveWait = 0.02;
        stop = true;
        audio.join();
        PlaybackActive = 0;
        for (const Reported& r : Reports) EXPECT_EQ(r.text.find("Could not save"), std::string::npos) << r.text;
        if (frames == 0) {
          EXPECT_EQ(kind.list->header.count, 0);
          if (path.saves) {
            EXPECT_EQ(named(platform::ToOsPath(SessionFolder + "\\" + SessionFile)), 0) << SessionFile;
          }
        }
        TakeFinishedRecordings();
        if (frames > 0 && path.listed) {
          ASSERT_EQ(kind.list->header.count, 1);
          EXPECT_EQ(e->State.Load(), kWaveIdle);
          EXPECT_EQ(held(e), kind.kept);
          ModuleRecord* player = Make(kind.type == kTypeSample ? kTypeSample : kTypeSequencer);
          AttachWaveToModule(player, e, 0);
          if (kind.type == kTypeSample) {
            EXPECT_EQ(player->SampleFrames, 100);
          }
          EXPECT_EQ(player->SampleEntry.Load(), e);
          Field(kind.listId).Selected = 0;
          Click(kind.save, kind.listId + 1);
          EXPECT_EQ(e->Saved, -1);
          Click(kind.unload, kind.listId + 2);
          EXPECT_EQ(player->SampleEntry.Load(), nullptr);
        }
        EXPECT_EQ(kind.list->header.count, 0);
        EXPECT_EQ(fs::exists(kind.file), frames > 0);
        if (frames > 0 && fs::exists(kind.file)) {
          EXPECT_EQ(saved(kind.file), kind.kept);
        }
        fs::remove(kind.file);
        ClearSynth();
      }
    }
  }
  Settings.AutoSave = autoSave;
  platform::ForgetInterfaceThread();
}

// A Sequencer's take on a module no frame plays (the output plays another
// module since the take began) ends at the stop all the same, and a session
// saved while it still records names no melody file it did not write: a load
// of either finds every file it names.
TEST_F(SamplePanelTest, ATakeOnASequencerTheRenderDoesNotPlayEndsAtTheStopAndNoSaveNamesItsMissingFile) {
  const std::string synths = QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\SYNTHS";
  const struct {
    const char* what;
    bool stop;
  } cases[] = {{"stopped, then saved", true}, {"saved while it records", false}};
  platform::MarkInterfaceThread();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ModuleRecord* seq = Make(kTypeSequencer);
    OutputOn(seq);
    SelectedModule = seq;
    Click(OnSequencerRecord, rec_);
    ASSERT_EQ(MelodyLibrary.header.count, 1);
    ExecuteEngineCommand();
    RequestGraphRebuild(0, 0, m_);
    Frames(10);
    ASSERT_EQ(seq->ModuleSwitches[kSwitchRecord].Load(), -1);
    if (c.stop) {
      Click(OnSequencerRecord, rec_);
      Frames(10);
      TakeFinishedRecordings();
      EXPECT_EQ(seq->ModuleSwitches[kSwitchRecord].Load(), 0) << "the take never ended";
      EXPECT_EQ(MelodyLibrary.header.count, 0) << "a take of nothing stays listed";
    }
    ASSERT_EQ(SaveSession(synths, "unwired.tarvelo"), 0);
    PlaybackActive = 0;
    Reports.clear();
    ASSERT_EQ(LoadSynth(synths, "unwired.tarvelo"), 0);
    for (const Reported& r : Reports)  // the test's home holds no tuning file
      EXPECT_FALSE(r.text.rfind("Can't find", 0) == 0 && r.text.find(".mel") != std::string::npos) << r.text;
    ClearSynth();
    m_ = Make(kTypeSample);
  }
  platform::ForgetInterfaceThread();
}

TEST_F(SamplePanelTest, RecordMakesAnUnsavedSampleThenAsksTheStop) {
  OutputOn(m_);
  m_->Params[6].Value.Store(2.0f);
  Click(OnSampleRecord, rec_);
  ExecuteEngineCommand();
  Tick();
  ASSERT_EQ(SynthSamples.header.count, 1);
  WaveLibraryEntry* e = SynthSamples.entries[0];
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->File), "Rec20240309-14h05m07.wav");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(e->Folder),
            QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\AUDIO\\RECORDED");
  EXPECT_EQ(e->Sound.frameCount, 96000u);
  EXPECT_EQ(e->Saved, 0);
  EXPECT_EQ(m_->SampleEntry.Load(), e);
  EXPECT_EQ(On(rec_), -1);
  Click(OnSampleRecord, rec_);
  EXPECT_EQ(m_->RecordDone.Load(), -1);
  EXPECT_EQ(C(rec_)->Colour, kRecordPendingColour);
  Click(OnSampleRecord, rec_);  // the stop pending: nothing changes
  EXPECT_EQ(SynthSamples.header.count, 1);
  EXPECT_EQ(m_->ModuleSwitches[kSwitchRecord].Load(), -1);
}

// A stop that meets the take's own end (its Length reached in the frame
// between the page's read of the switch and its ask): nothing stays pending
// and every later Record starts a take.
TEST_F(SamplePanelTest, AStopThatMeetsTheTakesOwnEndLeavesRecordWorking) {
  OutputOn(m_);
  m_->Params[6].Value.Store(0.01f);
  int32_t started = -1;
  for (int32_t i = 0; i < 9; ++i) {
    Click(OnSampleRecord, rec_);
    ExecuteEngineCommand();
    const bool on = m_->ModuleSwitches[kSwitchRecord].Load() != 0;
    started += on;
    Frames(8);
    if (on) FinishSampleRecording(*m_);  // the render's end
    if (i == 0) {
      AskTakeEnd(m_);
      ShowRecordState(rec_, m_);
      EXPECT_EQ(m_->RecordDone.Load(), 0);
      EXPECT_EQ(C(rec_)->Colour, 0u);
    }
  }
  EXPECT_EQ(started, 8) << "Record clicks after the stop that started a take";
}

TEST_F(SamplePanelTest, RecordingsWithinOneSecondGetNamesOfTheirOwn) {
  OutputOn(m_);
  m_->Params[6].Value.Store(0.01f);
  Click(OnSampleRecord, rec_);
  ExecuteEngineCommand();
  fs::create_directories(Home() / "AUDIO" / "RECORDED");
  std::ofstream(Home() / "AUDIO" / "RECORDED" / "Rec20240309-14h05m07 (2).wav") << "x";
  ModuleRecord* second = Make(kTypeSample);
  second->Params[6].Value.Store(0.01f);
  SelectedModule = second;
  OutputOn(second);
  Click(OnSampleRecord, rec_);
  ASSERT_EQ(SynthSamples.header.count, 2);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(SynthSamples.entries[0]->File), "Rec20240309-14h05m07.wav");
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(SynthSamples.entries[1]->File), "Rec20240309-14h05m07 (3).wav");
}

// Stopped before its first frame, a recording leaves nothing behind: the audio
// thread hands the empty entry to the interface thread, which takes it out of
// the list; meanwhile it cannot be attached.
TEST_F(SamplePanelTest, RecordingStoppedBeforeItsFirstFrameLeavesTheList) {
  OutputOn(m_);
  m_->Params[6].Value.Store(0.01f);
  Click(OnSampleRecord, rec_);
  ExecuteEngineCommand();
  ASSERT_EQ(SynthSamples.header.count, 1);
  ASSERT_EQ(m_->ModuleSwitches[kSwitchRecord].Load(), -1);
  bool (*wake)() = WakeInterfaceForMelodies;
  static int32_t wakes = 0;
  wakes = 0;
  WakeInterfaceForMelodies = [] { return ++wakes > 0; };
  platform::MarkInterfaceThread();
  m_->RecordDone.Store(-1);
  std::thread audio([&] { FinishSampleRecording(*m_); });
  audio.join();
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(m_->SampleEntry.Load(), nullptr);
  EXPECT_EQ(m_->ModuleSwitches[kSwitchRecord].Load(), 0);
  ASSERT_EQ(SynthSamples.header.count, 1);  // not yet taken
  Field(wlist_).Selected = 0;
  Click(OnSampleSet, wlist_ + 3);
  EXPECT_EQ(m_->SampleEntry.Load(), nullptr);
  TakeFinishedRecordings();
  EXPECT_EQ(SynthSamples.header.count, 0);
  platform::ForgetInterfaceThread();
  WakeInterfaceForMelodies = wake;
}

TEST_F(SamplePanelTest, RecordFailureIsOnlyLogged) {
  OutputOn(m_);
  m_->Params[6].Value.Store(0.0f);
  Click(OnSampleRecord, rec_);
  EXPECT_EQ(SynthSamples.header.count, 0);
  EXPECT_EQ(m_->SampleEntry.Load(), nullptr);
  ASSERT_FALSE(Reports.empty());
  EXPECT_EQ(Reports.back().text, "Error creating new wave file: " + QUARLE_BASICS::ErrorText(-19));
  EXPECT_EQ(Reports.back().level, 2);
}

// Set right after Record, the take's start not yet taken by the render:
// where nothing takes it Set says so, where the render does Set finds the
// module recording; the take runs on either way.
TEST_F(SamplePanelTest, SetAfterARecordTheRenderHasNotTakenLeavesTheTakeAlone) {
  WaveLibraryEntry* e = AddEntry(SynthSamples, "a.wav", 480);
  OutputOn(m_);
  m_->Params[6].Value.Store(1.0f);
  for (const bool renders : {false, true}) {
    SCOPED_TRACE(renders ? "the render takes it meanwhile" : "nothing renders");
    const float before = m_->Params[2].Value.Load();
    Click(OnSampleRecord, rec_);
    ASSERT_TRUE(EngineCommandReferences(m_));
    if (renders) Frames(48);
    SetTextOf(Slot(kUiMB), "");
    Field(wlist_).Selected = 0;
    Click(OnSampleSet, wlist_ + 3);
    EXPECT_EQ(Text(Slot(kUiMB)), renders ? "" : "Waiting for audio thread.");
    EXPECT_FALSE(ControllerMovesPending());
    Frames(48);
    EXPECT_NE(m_->ModuleSwitches[kSwitchRecord].Load(), 0);
    EXPECT_NE(m_->SampleEntry.Load(), e);
    EXPECT_EQ(m_->Params[2].Value.Load(), before);
    Click(OnSampleRecord, rec_);
    Frames(48);
    ASSERT_EQ(m_->ModuleSwitches[kSwitchRecord].Load(), 0);
  }
}

TEST_F(SamplePanelTest, SetAttachesWithThePitchOrDetaches) {
  WaveLibraryEntry* e = AddEntry(SynthSamples, "a.wav", 480);
  e->Pitch[0] = 1200.0f;
  e->RateRatio = QUARLE_BASICS::Ratio{2, 1};
  Field(wlist_).Selected = 0;
  Click(OnSampleSet, wlist_ + 3);
  EXPECT_EQ(m_->SampleEntry.Load(), e);
  EXPECT_FLOAT_EQ(m_->Params[2].Value.Load(), 1200.0f / RateQuarter);  // the pitch it plays, whatever the rate
  Field(wlist_).Selected = -1;
  m_->ModuleSwitches[kSwitchRecord].Store(-1);  // recording: nothing
  Click(OnSampleSet, wlist_ + 3);
  EXPECT_EQ(m_->SampleEntry.Load(), e);
  m_->ModuleSwitches[kSwitchRecord].Store(0);
  Click(OnSampleSet, wlist_ + 3);
  EXPECT_EQ(m_->SampleEntry.Load(), nullptr);
}

// A 440 Hz sine in a 16-bit stereo file of any common rate, loaded and Set
// from the page: F shows 440 Hz, and the sound plays at 440 Hz for the half
// second the file lasts, from its own F and from the key of 440 Hz.
TEST_F(SamplePanelTest, SetPlaysASoundOfAnyRateAtItsPitchAndSpeed) {
  const std::string folder = platform::FromOsPath((Home() / "AUDIO").string());
  ModuleRecord* kb = Make(kTypeKeyboard);
  constexpr int32_t kA4 = 57;  // played at 440 Hz whatever tuning an earlier test left
  // The left channel of n rendered frames.
  const auto render = [](int32_t n) {
    std::vector<float> block(2 * static_cast<size_t>(n)), left;
    float* p = block.data();
    RenderAudio(&p, 0, 2 * n);
    for (size_t i = 0; i < block.size(); i += 2) left.push_back(block[i]);
    return left;
  };
  // Cents from 440 Hz of the rising zero crossings over the first 0.4 s, and
  // the frames up to the last sound.
  const auto measure = [](const std::vector<float>& y, double& cents, int32_t& length) {
    double first = -1.0, last = -1.0;
    int32_t n = 0;
    for (size_t i = 1; i < 19200; ++i) {
      if (!(y[i - 1] < 0.0f && y[i] >= 0.0f)) continue;
      const double t = static_cast<double>(i - 1) + y[i - 1] / (y[i - 1] - y[i]);
      if (first < 0.0) first = t;
      last = t, ++n;
    }
    cents = n > 1 ? 1200.0 * std::log2((n - 1) * 48000.0 / (last - first) / 440.0) : 1e9;
    length = 0;
    for (size_t i = 0; i < y.size(); ++i)
      if (y[i] != 0.0f) length = static_cast<int32_t>(i) + 1;
  };
  for (const int32_t rate : {8000, 22050, 32000, 44100, 48000, 88200, 96000}) {
    SCOPED_TRACE(rate);
    const std::string file = "sine" + std::to_string(rate) + ".wav";
    QUARLE_AUDIO::SoundBuffer sb;
    QUARLE_AUDIO::SoundBufferInitFormat(&sb, 2, 32, rate);
    sb.frameCount = static_cast<uint32_t>(rate / 2);
    sb.dataSize = sb.frameCount * 8;
    sb.samples = static_cast<float*>(std::calloc(2 * sb.frameCount, sizeof(float)));
    for (uint32_t i = 0; i < 2 * sb.frameCount; ++i)
      sb.samples[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * (i / 2) / rate));
    ASSERT_EQ(QUARLE_AUDIO::SaveWavFile(folder + "\\" + file, &sb, 16), 0);
    QUARLE_AUDIO::SoundBufferFree(&sb);
    const int32_t lib = ConvertAndLoadWave(folder, file);
    ASSERT_GE(lib, 0);
    const int32_t row = AddLoadedWave(*SampleLibrary.entries[lib], -1);
    ASSERT_GE(row, 0);
    const int32_t expected = static_cast<int32_t>(std::lround(48000.0 * (rate / 2) / rate));

    m_ = Make(kTypeSample);
    SelectedModule = m_;
    m_->ModuleSwitches[kSwitchPlay].Store(-1);
    m_->ModuleSwitches[kSwitchLoop].Store(0);  // once through, to time it
    m_->ModuleSwitches[kSwitchRewind].Store(-1);
    OutputOn(m_);
    Field(wlist_).Selected = row;
    Click(OnSampleSet, wlist_ + 3);
    double cents = 0.0;
    int32_t length = 0;
    measure(render(36000), cents, length);
    EXPECT_NEAR(1200.0 * std::log2(m_->Params[2].Value.Load() * RateQuarter / 440.0), 0.0, 1.0) << "F shown";
    EXPECT_NEAR(cents, 0.0, 1.0) << "own F";
    EXPECT_NEAR(length, expected, 2) << "own F";

    PostLinkInput(m_, kSampleFrequency, kb, kTypeSample);
    Click(OnSampleSet, wlist_ + 3);  // from the start again
    render(16);
    const int32_t held = KeyNoteOnAt(kA4, 440.0f, 1.0f, 0);
    ASSERT_GE(held, 0);
    measure(render(36000), cents, length);
    EXPECT_NEAR(cents, 0.0, 1.0) << "A4 key";
    EXPECT_NEAR(length, expected, 2) << "A4 key";
    KeyNoteOff(held, kA4, 0);
    render(16);
  }
}

TEST_F(SamplePanelTest, SaveWritesOnceAddsToTheLibraryAndShowsTheFile) {
  WaveLibraryEntry* e = AddEntry(SynthSamples, "take.wav", 64);
  e->Saved = 0;
  Press(OnBrowserTab, Slot(kUiTABMSG) + 1);  // the file list on the sample's folder
  Field(wlist_).Selected = 0;
  Click(OnSampleSave, wlist_ + 1);
  EXPECT_TRUE(fs::exists(Home() / "take.wav"));
  EXPECT_EQ(Text(Slot(kUiMB)), "take.wav has been saved.");
  const int32_t selected = Field(Slot(kUiFILES)).Selected;
  EXPECT_EQ(QUARLE_BASICS::DirListName(BrowserListing, selected), "take.wav");
  EXPECT_EQ(SampleLibrary.header.count, 1);
  Click(OnSampleSave, wlist_ + 1);
  EXPECT_EQ(Text(Slot(kUiMB)), "This file is already saved.");
  EXPECT_EQ(SampleLibrary.header.count, 1);

  WaveLibraryEntry* lost = AddEntry(SynthSamples, "lost.wav", 64);
  lost->Saved = 0;
  QUARLE_BASICS::DynZStringAssign(lost->Folder, platform::FromOsPath((Home() / "none").string()));
  Field(wlist_).Selected = 1;
  Click(OnSampleSave, wlist_ + 1);
  EXPECT_EQ(lost->Saved, 0);
  EXPECT_EQ(Reports.back().text.rfind("Error saving file: ", 0), 0u);
}

// Save and - of the Samples, Melodies and Shapes pages with no row chosen
// say so, as the browser's buttons do, and change nothing.
TEST_F(SamplePanelTest, ThePagesButtonsSayWhenNoRowIsChosen) {
  const int32_t mlist = Slot(kUiMLIST), flist = Slot(kUiFLIST), window = Slot(kUiFWS_WINDOW);
  ASSERT_EQ(Id(mlist + 2), "MDEL");
  ASSERT_EQ(Id(window + 3), "FDEL");
  const struct {
    const char* page;
    V::EventCallbackFn button;
    int32_t id, list;
    WaveLibraryList* library;
  } rows[] = {{"Samples save", OnSampleSave, wlist_ + 1, wlist_, &SynthSamples},
              {"Samples -", OnSampleUnload, wlist_ + 2, wlist_, &SynthSamples},
              {"Melodies save", OnMelodySave, mlist + 1, mlist, &MelodyLibrary},
              {"Melodies -", OnMelodyUnload, mlist + 2, mlist, &MelodyLibrary},
              {"Shapes -", OnFilterUnload, window + 3, flist, &FilterLibrary}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.page);
    AddEntry(*row.library, "one.wav", 16)->Saved = 0;
    const int32_t count = row.library->header.count;
    Field(row.list).Selected = -1;
    SetStatusText("before");
    Click(row.button, row.id);
    EXPECT_EQ(Text(Slot(kUiMB)), "No item is selected.");
    EXPECT_EQ(row.library->header.count, count);
    EXPECT_FALSE(fs::exists(Home() / "one.wav"));
  }
}

TEST_F(SamplePanelTest, UnloadDetachesRemovesAndMovesTheSelection) {
  AddEntry(SynthSamples, "a.wav", 16);
  WaveLibraryEntry* b = AddEntry(SynthSamples, "b.wav", 16, 2);
  AttachWaveToModule(m_, b, 0);
  ASSERT_EQ(m_->OutputChannels.Load(), 2);
  ModuleCatalog[kTypeSample].SampleEntry.Store(b);
  Field(wlist_).Selected = 1;
  Click(OnSampleUnload, wlist_ + 2);
  EXPECT_EQ(SynthSamples.header.count, 1);
  // Left as one that never had the sound (as while playing): its two
  // channels go with it.
  EXPECT_EQ(m_->SampleEntry.Load(), nullptr);
  EXPECT_EQ(m_->SampleData, nullptr);
  EXPECT_EQ(m_->OutputChannels.Load(), 1);
  EXPECT_EQ(ModuleCatalog[kTypeSample].SampleEntry.Load(), nullptr);
  EXPECT_EQ(Field(wlist_).Selected, 0);
  SynthSamples.entries[0]->State.Store(kWaveCreating);  // busy: stays
  Click(OnSampleUnload, wlist_ + 2);
  EXPECT_EQ(SynthSamples.header.count, 1);
  SynthSamples.entries[0]->State.Store(kWaveIdle);
  Click(OnSampleUnload, wlist_ + 2);
  EXPECT_EQ(SynthSamples.header.count, 0);
  EXPECT_EQ(Field(wlist_).Selected, -1);
}

TEST_F(SamplePanelTest, UnloadFreesOnlyOnceTheEngineHasLetGo) {
  WaveLibraryEntry* b = AddEntry(SynthSamples, "b.wav", 16);
  AttachWaveToModule(m_, b, 0);
  RequestGraphRebuild(0, 0, m_);  // m_ is in the processing order
  ResetEngineCommand(EngineCommand);
  const double slotWait = CommandSlotWait, liveWait = ModuleLiveWait;
  CommandSlotWait = ModuleLiveWait = 0.02;
  PlaybackActive = -1;  // playing, but the audio thread takes nothing
  Field(wlist_).Selected = 0;
  Click(OnSampleUnload, wlist_ + 2);
  EXPECT_EQ(SynthSamples.header.count, 0);
  // The detach is still pending: the module plays the entry, which must live on.
  EXPECT_EQ(m_->SampleEntry.Load(), b);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(b->File), "b.wav");
  EXPECT_EQ(ReclaimUnloadedEntries(), 1);
  ExecuteEngineCommand();
  EXPECT_EQ(m_->SampleEntry.Load(), nullptr);
  EXPECT_EQ(ReclaimUnloadedEntries(), 0);
  PlaybackActive = 0;
  CommandSlotWait = slotWait;
  ModuleLiveWait = liveWait;
}

TEST_F(SamplePanelTest, RecordingsEndedWithoutAFrameAreDiscarded) {
  WaveLibraryEntry* kept = AddEntry(SynthSamples, "kept.wav", 16);
  AddEntry(SynthSamples, "empty.wav", 0);
  WaveLibraryEntry* held = AddEntry(SynthSamples, "held.wav", 0);
  AttachWaveToModule(m_, held, 0);
  WaveLibraryEntry* saved = AddEntry(SynthSamples, "saved.wav", 0);
  saved->Saved = -1;
  AddEntry(SynthSamples, "busy.wav", 0, 1, kWaveCreating);
  ReclaimUnloadedEntries();
  ASSERT_EQ(SynthSamples.header.count, 4);
  EXPECT_EQ(SynthSamples.entries[0], kept);
  EXPECT_EQ(SynthSamples.entries[1], held);
  EXPECT_EQ(SynthSamples.entries[2]->ListIndex, 2);
}

}  // namespace
}  // namespace panelsb
