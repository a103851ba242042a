// Synth files: a synth built from the catalog saved and loaded back equal (and
// saved again to the same bytes), the byte layout, version 1.0 files, the
// backup's life cycle and failed writes, block positions independent of zoom
// and pan, unsaved samples, missing samples, old files, and damaged or hostile
// files that must leave the synth as it was.
#include "app/documents/synth_file.h"

#include "synth_doc_fixture.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/documents/melody_file.h"
#include "app/documents/wave_convert.h"
#include "app/state/history.h"
#include "audio/midi.h"
#include "basics/errors.h"
#include "basics/timetext.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/control_common.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/sequencer.h"
#include "engine/dsp/windows.h"
#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/midimap_hooks.h"
#include "engine/notes.h"
#include "engine/modulelist.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "engine/ui_hooks.h"
#include "platform/midi.h"
#include "platform/threads.h"

namespace Tarvelo {
namespace doc_test {
namespace {

using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::kErrIncompatibleFile;

constexpr int32_t kTypeConvolutive = 17;
class SynthFileTest : public SynthDocumentTest {
 protected:
  ModuleRecord* Add(int32_t type) {
    ModuleRecord* m = nullptr;
    EXPECT_GE(AddModule(type, true, &m), 0);
    return m;
  }
  static void Link(ModuleRecord* m, int32_t port, ModuleRecord* source) {
    EXPECT_EQ(ModuleLinkInput(*m, port, source, &ModuleCatalog[m->Type]), kLinkConnected);
  }

  // Keyboard -> oscillator, ADSR -> mixer (the output), a sample and a
  // sequencer with their library entries, a filter, MIDI maps, a held note,
  // a changed master preset and gains.
  void BuildSynth() {
    kb_ = Add(kTypeKeyboard);
    osc_ = Add(kTypeOscillator);
    adsr_ = Add(kTypeAdsr);
    mix_ = Add(kTypeMixer);
    smp_ = Add(kTypeSample);
    seq_ = Add(kTypeSequencer);
    conv_ = Add(kTypeConvolutive);
    Link(osc_, 0, kb_);
    Link(adsr_, 0, kb_);
    Link(mix_, 0, osc_);
    Link(mix_, 1, adsr_);
    Link(mix_, 2, smp_);
    Link(smp_, 0, kb_);
    ModuleSetParamValue(*osc_, 1, 0.125f);
    osc_->Params[1].Value.Store(0.125f);
    RequestGraphRebuild(0, 0, mix_);

    MakeWav(Home("AUDIO\\s.wav"), 4800, 2, 32, 48000);
    const int32_t lib = ConvertAndLoadWave(Home("AUDIO"), "s.wav");
    ASSERT_GE(lib, 0);
    ASSERT_EQ(AddLoadedWave(*SampleLibrary.entries[lib], -1), 0);
    AttachWaveToModule(smp_, SynthSamples.entries[0], 0);

    MakeWav(Home("FILTERS\\FIR_a.wav"), 32, 1, 32, 48000);
    ASSERT_EQ(LoadFilterFile(Home("FILTERS"), "FIR_a.wav"), 0);
    AttachWaveToModule(conv_, FilterLibrary.entries[0], 0);

    ASSERT_EQ(WaveLibraryListReserve(MelodyLibrary), 0);
    WaveLibraryEntry* mel = WaveLibraryEntryNew();
    QUARLE_BASICS::DynZStringAssign(mel->Folder, Home("MELODIES"));
    QUARLE_BASICS::DynZStringAssign(mel->File, "tune.mel");
    mel->Sound.samples = static_cast<float*>(std::calloc(6 + 4 * 8, sizeof(float)));
    mel->Sound.dataSize = (6 + 4 * 8) * 4;
    mel->Sound.samples[0] = 8.0f;
    mel->Sound.samples[5] = 2.0f;
    mel->LoadState = kWaveDataHeld;
    WaveLibraryListCommit(MelodyLibrary, mel);  // not saved yet: the synth save writes it
    AttachWaveToModule(seq_, mel, 0);

    {
      platform::MutexGuard guard(MT_MIDIMAPS);
      std::strcpy(MidiMaps[0].DeviceName, "Dev A");
      MidiMapEntry& e = MidiMaps[0].Entries[7][0];
      e.Mode = kMidiFixedParam;
      e.Kind = kControllerStandard;
      e.Target = osc_;
      e.Param = 1;
      MidiMapEntry& t = MidiMaps[0].Entries[9][3];
      t.Mode = kMidiFixedParam;
      t.Target = &ModuleCatalog[kTypeAdsr];
      t.Param = 2;
    }

    KeyboardState& k = *KeyboardStates[0].Load();
    // A key held down, as a press makes it: a held key names its voice.
    const int32_t held = HeldKeyReserve(k, KeyboardKeyLocks[0]);
    ASSERT_GE(held, 0);
    const int32_t voice = NoteOn(k, 440.0f, 0.75f);
    ASSERT_GE(voice, 0);
    StoreHeldKey(k.HeldKeys[held], 0, 57u, voice);
    VoiceListRebuild(k, KeyboardKeyLocks[0]);
    k.LockFlag.Store(-1);
    k.KeyOffset.Store(48);
    OctaveBoardStates[2].Load()->Stamp.Store(1);

    ModuleSetParamValue(ModuleCatalog[kTypeAdsr], 1, 0.375f);
    ModuleCatalog[kTypeAdsr].Params[1].Value.Store(0.375f);

    InputGain = 0.75f;
    OutputLevel = 0.25f;
  }

  std::string Save(const std::string& name) {
    EXPECT_EQ(SaveSession(Home("SYNTHS"), name), 0);
    return Home("SYNTHS\\" + name);
  }
  std::vector<unsigned char> Bytes(const std::string& name) { return ReadBytes(Os("SYNTHS/" + name)); }

  // What a refused file must leave untouched.
  struct Snapshot {
    std::vector<ModuleRecord*> modules;
    float input, output, pitch;
    KeyboardState keyboard;
    int32_t samples, melodies, midiParam;
    int64_t history;
  };
  Snapshot Take() {
    Snapshot s{};
    for (int32_t i = 0; i < ModuleList.count; ++i) s.modules.push_back(ModuleList.entries[i]);
    s.input = InputGain;
    s.output = OutputLevel;
    s.pitch = TuningGetReferencePitch(ActiveTuning);
    std::memcpy(static_cast<void*>(&s.keyboard), KeyboardStates[0].Load(), sizeof(KeyboardState));
    s.samples = SynthSamples.header.count;
    s.melodies = MelodyLibrary.header.count;
    s.midiParam = MidiMaps[0].Entries[7][0].Param;
    s.history = ActionHistory.count;
    return s;
  }
  void ExpectUnchanged(const Snapshot& s) {
    ASSERT_EQ(ModuleList.count, static_cast<int32_t>(s.modules.size()));
    for (size_t i = 0; i < s.modules.size(); ++i) EXPECT_EQ(ModuleList.entries[i], s.modules[i]);
    EXPECT_EQ(InputGain, s.input);
    EXPECT_EQ(OutputLevel, s.output);
    EXPECT_EQ(TuningGetReferencePitch(ActiveTuning), s.pitch);
    EXPECT_EQ(std::memcmp(KeyboardStates[0].Load(), &s.keyboard, sizeof(KeyboardState)), 0);
    EXPECT_EQ(SynthSamples.header.count, s.samples);
    EXPECT_EQ(MelodyLibrary.header.count, s.melodies);
    EXPECT_EQ(MidiMaps[0].Entries[7][0].Param, s.midiParam);
    EXPECT_EQ(ActionHistory.count, s.history);
    EXPECT_EQ(SynthOutputModule.load(), mix_);
  }

  // A user playing a live set, the test being the interface: the render
  // callback plays block after block (the audio thread's stand-in), resting
  // restMs between two as a stream waits for its device, and a MIDI device
  // (unless left out) plays notes and moves controller 7 on channel 1 through
  // the MIDI thread, over and over, until the set ends. Stall() makes it a
  // device that stops asking for data (playback stays on, nothing renders)
  // until Resume().
  struct LiveSet {
    std::atomic<bool> stop{false};
    std::atomic<bool> stalled{false};
    std::mutex rendering;  // held around each render call
    std::atomic<int64_t> blocks{0};
    bool madeLocks = false;
    bool device = true;
    std::thread audio;
    std::thread midi;
    explicit LiveSet(bool withDevice = true, int32_t restMs = 1) : device(withDevice) {
      // The tuning locks the program makes at start-up (the other tests run
      // without them).
      for (platform::Mutex*& m : MT_TUNINGS)
        if (m == nullptr) m = platform::MutexCreate(), madeLocks = true;
      platform::MarkInterfaceThread();
      PlaybackActive = -1;
      audio = std::thread([this, restMs] {
        std::vector<float> block(96 * restMs);
        float* stream = block.data();
        while (!stop.load()) {
          {
            std::lock_guard<std::mutex> guard(rendering);
            if (!stalled.load()) {
              RenderAudio(&stream, 0, static_cast<int32_t>(block.size()));
              blocks.fetch_add(1);
            }
          }
          platform::SleepMs(restMs);
        }
      });
      if (!device) return;
      platform::MidiFakeRemoveAll();
      EXPECT_EQ(QUARLE_AUDIO::InitMidiControllerTypes(), 0);
      QUARLE_AUDIO::MidiInCallback = &QUARLE_AUDIO::MidiInProc;
      const int32_t slot = platform::MidiFakePlug("Dev A");
      QUARLE_AUDIO::CheckMidiDevices();
      midi = std::thread([this, slot] {
        for (int32_t i = 0; !stop.load(); ++i) {
          const uint8_t key = static_cast<uint8_t>(60 + i % 12);
          platform::MidiFakeSend(slot, {0x90, key, 100, 0xB0, 7, static_cast<uint8_t>(i % 128), 0x80, key, 0});
          platform::SleepMs(1);
        }
      });
    }
    // On return no render call runs, and none starts until Resume.
    void Stall() {
      stalled = true;
      std::lock_guard<std::mutex> guard(rendering);
    }
    void Resume() { stalled = false; }
    // Until the render has played n more blocks.
    void Blocks(int64_t n) const {
      const int64_t until = blocks.load() + n;
      while (blocks.load() < until) platform::SleepMs(1);
    }
    ~LiveSet() {
      Resume();
      Blocks(3);
      stop = true;
      audio.join();
      if (device) {
        midi.join();
        platform::MidiInFlush(5.0);
        QUARLE_AUDIO::CloseMidiInput();
        platform::MidiFakeRemoveAll();
      }
      PlaybackActive = 0;
      TakeControllerMoves(false);
      platform::ForgetInterfaceThread();
      if (madeLocks) {
        for (platform::Mutex*& m : MT_TUNINGS) {
          platform::MutexDestroy(m);
          m = nullptr;
        }
      }
    }
  };

  ModuleRecord* kb_ = nullptr;
  ModuleRecord* osc_ = nullptr;
  ModuleRecord* adsr_ = nullptr;
  ModuleRecord* mix_ = nullptr;
  ModuleRecord* smp_ = nullptr;
  ModuleRecord* seq_ = nullptr;
  ModuleRecord* conv_ = nullptr;
};

TEST_F(SynthFileTest, BuiltSynthLoadsBackEqualAndSavesToTheSameBytes) {
  BuildSynth();
  TuningSetReferencePitch(ActiveTuning, 432.0f);
  ASSERT_EQ(SaveTuning(ActiveTuning), 0);
  Save("a.tarvelo");
  EXPECT_EQ(MelodyLibrary.entries[0]->Saved, -1);  // written before its reference
  EXPECT_TRUE(fs::exists(Os("MELODIES/tune.mel")));
  const auto a = Bytes("a.tarvelo");
  EXPECT_EQ(SessionFile, "a.tarvelo");
  EXPECT_EQ(SessionTitle, "a");

  struct Shape {
    int32_t type, instance;
    std::vector<int32_t> sources;
  };
  std::vector<Shape> before;
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    Shape s{m->Type, m->InstanceNumber.Load(), {}};
    for (int32_t p = 0; p < m->PortCount; ++p)
      s.sources.push_back(m->PortSources[p].Load() != nullptr && m->PortSources[p].Load()->Role == kRoleLive
                              ? m->PortSources[p].Load()->ListIndex.Load()
                              : -1);
    before.push_back(s);
  }
  const int32_t outputIndex = mix_->ListIndex.Load();

  // Everything changes before the load brings it back.
  ResetEngine();
  ApplyAllMasterPresets();
  InputGain = 1.0f;
  OutputLevel = 0.5f;
  TuningSetReferencePitch(ActiveTuning, 440.0f);
  RecordAction(kActionCreate, nullptr, -1, nullptr);
  static std::string meters, tab;
  DocumentUi.ShowGains = [](const std::string& in, const std::string& out) { meters = in + " " + out; };
  DocumentUi.ShowSessionTitle = [](const std::string& text) { tab = text; };
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "a.tarvelo"), 0);
  EXPECT_EQ(meters, "-2.5dB -12.04dB");
  EXPECT_EQ(tab, " a");

  ASSERT_EQ(ModuleList.count, static_cast<int32_t>(before.size()));
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ListIndex.Load(), i);
    EXPECT_EQ(m->Type, before[i].type);
    EXPECT_EQ(m->InstanceNumber.Load(), before[i].instance);
    for (int32_t p = 0; p < m->PortCount; ++p) {
      const ModuleRecord* s = m->PortSources[p].Load();
      EXPECT_EQ(s != nullptr && s->Role == kRoleLive ? s->ListIndex.Load() : -1, before[i].sources[p]) << i << " " << p;
    }
  }
  ModuleRecord* out = SynthOutputModule.load();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->ListIndex.Load(), outputIndex);
  EXPECT_EQ(InputGain, 0.75f);
  EXPECT_EQ(OutputLevel, 0.25f);
  EXPECT_EQ(TuningGetReferencePitch(ActiveTuning), 432.0f);
  EXPECT_EQ(TuningGetReferencePitch(EditedTuning), 432.0f);
  EXPECT_EQ(KeyboardStates[0].Load()->LockFlag.Load(), -1);
  EXPECT_EQ(KeyboardStates[0].Load()->KeyOffset.Load(), 48);
  EXPECT_EQ(KeyboardStates[0].Load()->ActiveCount.Load(), 1);
  EXPECT_EQ(OctaveBoardStates[2].Load()->Stamp.Load(), 1);
  EXPECT_EQ(ModuleCatalog[kTypeAdsr].Params[1].Value.Load(), 0.375f);
  EXPECT_EQ(ActionHistory.count, 0);

  ASSERT_EQ(SynthSamples.header.count, 1);
  ASSERT_EQ(FilterLibrary.header.count, 1);
  ASSERT_EQ(MelodyLibrary.header.count, 1);
  ModuleRecord* smp = nullptr;
  ModuleRecord* seq = nullptr;
  ModuleRecord* conv = nullptr;
  ModuleRecord* osc = nullptr;
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (m->Type == kTypeSample) smp = m;
    if (m->Type == kTypeSequencer) seq = m;
    if (m->Type == kTypeConvolutive) conv = m;
    if (m->Type == kTypeOscillator) osc = m;
  }
  EXPECT_EQ(smp->SampleEntry.Load(), SynthSamples.entries[0]);
  EXPECT_EQ(SynthSamples.entries[0]->LoadState, kWaveDataHeld);
  EXPECT_EQ(seq->SampleEntry.Load(), MelodyLibrary.entries[0]);
  EXPECT_EQ(conv->SampleEntry.Load(), FilterLibrary.entries[0]);
  EXPECT_EQ(osc->Params[1].Value.Load(), 0.125f);
  EXPECT_EQ(MidiMaps[0].Entries[7][0].Target, osc);
  EXPECT_EQ(MidiMaps[0].Entries[9][3].Target, &ModuleCatalog[kTypeAdsr]);
  EXPECT_EQ(std::string(MidiMaps[0].DeviceName), "Dev A");

  Save("b.tarvelo");
  const auto b = Bytes("b.tarvelo");
  ASSERT_EQ(a.size(), b.size());
  // The engine repairs what it reads (voice slots numbered, port value
  // outputs filled in), so the records of a first save and of a save after the
  // load may differ; the rest comes back byte for byte, and from then on the
  // file is a fixed point.
  const Layout l = Walk(a);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + l.states, b.begin()));
  EXPECT_TRUE(std::equal(a.begin() + l.output, a.begin() + l.records, b.begin() + l.output));
  EXPECT_TRUE(std::equal(a.begin() + l.midi, a.end(), b.begin() + l.midi));
  ResetEngine();
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "b.tarvelo"), 0);
  Save("c.tarvelo");
  EXPECT_TRUE(b == Bytes("c.tarvelo"));
}

TEST_F(SynthFileTest, EmptySynthHasTheStoredLayout) {
  QUARLE_BASICS::DynZStringAssign(ActiveTuning.Folder, "F");
  QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, "tn.tng");
  Save("empty.tarvelo");
  const auto b = Bytes("empty.tarvelo");
  ASSERT_EQ(static_cast<int64_t>(b.size()), kSynthEmptyFileBytes + 1 + 6);
  EXPECT_EQ(I32At(b, 0), 23);
  EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 27), "TARVELO SYNTH FILE V1.1");
  EXPECT_EQ(I32At(b, 27), 1);
  EXPECT_EQ(b[31], 'F');
  EXPECT_EQ(I32At(b, 32), 6);
  float gains[2];
  std::memcpy(gains, b.data() + 42, 8);
  EXPECT_EQ(gains[0], 1.0f);
  EXPECT_EQ(gains[1], 0.5f);
  EXPECT_EQ(I32At(b, 50), 0);  // samples
  EXPECT_EQ(I32At(b, 54), 0);  // filters
  EXPECT_EQ(I32At(b, 58), 0);  // melodies
  EXPECT_EQ(I32At(b, 62), 16);
  const size_t out = 66 + 2 * 16 * 828;
  EXPECT_EQ(I32At(b, out), -1);
  EXPECT_EQ(I32At(b, out + 4), 43);
  // The presets: type t, instance 0, at zero position.
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    const size_t r = out + 8 + static_cast<size_t>(t) * kModuleFileRecordSize;
    EXPECT_EQ(I32At(b, r), 0);
    EXPECT_EQ(I32At(b, r + 8), t);
    EXPECT_EQ(I32At(b, r + 12), 0);
  }
  EXPECT_EQ(b.size() - (out + 8 + 43 * static_cast<size_t>(kModuleFileRecordSize)), 16u * 24704u);
  EXPECT_FALSE(fs::exists(Os("SYNTHS/empty.tarvelo~tarvelo-1.tmp")));
}

TEST_F(SynthFileTest, BackupLivesOnlyUntilTheWriteIsComplete) {
  BuildSynth();
  Save("a.tarvelo");
  const auto first = Bytes("a.tarvelo");
  InputGain = 0.5f;
  Save("a.tarvelo");  // over an existing file
  EXPECT_FALSE(fs::exists(Os("SYNTHS/a_BACKUP.tarvelo")));
  const auto second = Bytes("a.tarvelo");
  EXPECT_NE(first, second);

  // A write that fails half way keeps the previous file and its backup.
  InputGain = 0.25f;
  DocumentFailWritesAfter(100000);
  EXPECT_LT(SaveSession(Home("SYNTHS"), "a.tarvelo"), 0);
  EXPECT_EQ(Bytes("a.tarvelo"), second);
  EXPECT_EQ(ReadBytes(Os("SYNTHS/a_BACKUP.tarvelo")), second);
  EXPECT_FALSE(fs::exists(Os("SYNTHS/a.tarvelo~tarvelo-1.tmp")));
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "a.tarvelo"), 0);
  EXPECT_EQ(InputGain, 0.5f);

  // A name without "." keeps the whole name as its stem.
  WriteText(Os("SYNTHS/plain"), "old");
  DocumentFailWritesAfter(10);
  EXPECT_LT(SaveSession(Home("SYNTHS"), "plain"), 0);
  EXPECT_TRUE(fs::exists(Os("SYNTHS/plain_BACKUP.tarvelo")));
  const auto kept = Bytes("plain");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "old");

  // A folder that cannot be made.
  WriteText(Os("SYNTHS/file"), "x");
  EXPECT_EQ(SaveSession(Home("SYNTHS\\file\\sub"), "x.tarvelo"), -QUARLE_BASICS::kErrFolder);
}

TEST_F(SynthFileTest, AFullDiskIsReportedAsAFileWriteError) {
  // The file being written goes to a device that is always full.
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  BuildSynth();
  Save("a.tarvelo");
  const auto before = Bytes("a.tarvelo");
  fs::create_symlink("/dev/full", Os("SYNTHS/a.tarvelo~tarvelo-1.tmp"));
  const int32_t rc = SaveSession(Home("SYNTHS"), "a.tarvelo");
  EXPECT_EQ(rc, -QUARLE_BASICS::kErrFileIo);
  EXPECT_EQ(QUARLE_BASICS::ErrorText(rc), "File I/O Error: Disk Full, Restricted Access or Other");
  EXPECT_EQ(Bytes("a.tarvelo"), before);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Os("SYNTHS/a.tarvelo~tarvelo-1.tmp"))));
}

// Every writer saving through a work file takes a 254-byte name (the disk's 255 less one) whole, alone.
TEST_F(SynthFileTest, EveryWriterSavesALongLegalNameWhole) {
  BuildSynth();
  MakeWav(Home("made.wav"), 40, 2, 32, 48000);
  using S = const std::string&;
  const std::pair<const char*, std::function<int32_t(S folder, S name)>> rows[] = {  // folder\\extension, writer
      {"SYNTHS\\.tarvelo", SaveSession},
      {"TUNINGS\\.tng", [](S, S n) { return QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, n), SaveTuning(ActiveTuning); }},
      {"AUDIO\\RECORDED\\.wav", [](S f, S n) { return MakeWav(f + "\\" + n, 40, 2, 16, 48000), 0; }},
      {"AUDIO\\CONVERTED\\.wav", [this](S f, S n) { return platform::FileCopy(Home("made.wav"), f + "\\" + n); }},
  };
  for (const auto& [where, save] : rows) {
    const std::string w = where, folder = w.substr(0, w.rfind('\\')), extension = w.substr(folder.size() + 1);
    const std::string name = std::string(254 - extension.size(), 'n') + extension;
    const auto count = [&] { return std::distance(fs::directory_iterator(Os(folder)), fs::directory_iterator()); };
    const auto before = count();
    EXPECT_TRUE(save(Home(folder), name) == 0 && fs::file_size(Os(folder) / name) > 0 && count() == before + 1)
        << where;
  }
}

QUARLE_BASICS::LocalDateTime FixedClock() { return {2026, 3, 4, 5, 6, 7}; }

TEST_F(SynthFileTest, UnnamedSynthGetsATimeStampedName) {
  QUARLE_BASICS::SetLocalClock(FixedClock);
  ASSERT_EQ(SaveSession("", ""), 0);
  EXPECT_TRUE(fs::exists(Os("SYNTHS/SS20260304-05h06m07.tarvelo")));
  EXPECT_EQ(SessionFolder, Home("SYNTHS"));
  EXPECT_EQ(SessionFile, "SS20260304-05h06m07.tarvelo");
  EXPECT_EQ(SessionTitle, "SS20260304-05h06m07");
  // The session is kept in the settings.
  const auto settings = ReadBytes(dir_ / "Settings.txt");
  EXPECT_NE(std::string(settings.begin(), settings.end()).find("SS20260304-05h06m07.tarvelo"), std::string::npos);
  // Another within the same second gets a file of its own.
  ASSERT_EQ(SaveSession("", ""), 0);
  EXPECT_EQ(SessionFile, "SS20260304-05h06m07 (2).tarvelo");
  EXPECT_EQ(SessionTitle, "SS20260304-05h06m07 (2)");
  EXPECT_TRUE(fs::exists(Os("SYNTHS/SS20260304-05h06m07.tarvelo")));
  EXPECT_TRUE(fs::exists(Os("SYNTHS/SS20260304-05h06m07 (2).tarvelo")));
}

TEST_F(SynthFileTest, VersionOneZeroFilesBringChannelZeroMaps) {
  BuildSynth();
  Save("new.tarvelo");
  auto b = Bytes("new.tarvelo");
  const Layout l = Walk(b);
  ASSERT_EQ(b.size() - l.midi, 16u * 24704u);
  std::vector<unsigned char> old(16 * 1664, 0);
  for (int32_t m = 0; m < 16; ++m) {
    const unsigned char* src = b.data() + l.midi + static_cast<size_t>(m) * 24704;
    unsigned char* dst = old.data() + static_cast<size_t>(m) * 1664;
    std::memcpy(dst, src, 128);
    for (int32_t c = 0; c < 128; ++c) std::memcpy(dst + 128 + c * 12, src + 128 + (c * 16) * 12, 12);
  }
  b.resize(l.midi);
  b.insert(b.end(), old.begin(), old.end());
  b[26] = '0';
  WriteBytes(Os("SYNTHS/old.tarvelo"), b);

  ResetEngine();
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "old.tarvelo"), 0);
  ModuleRecord* osc = nullptr;
  for (int32_t i = 0; i < ModuleList.count; ++i)
    if (ModuleList.entries[i]->Type == kTypeOscillator) osc = ModuleList.entries[i];
  ASSERT_NE(osc, nullptr);
  EXPECT_EQ(MidiMaps[0].Entries[7][0].Target, osc);
  EXPECT_EQ(MidiMaps[0].Entries[7][0].Param, 1);
  EXPECT_EQ(MidiMaps[0].Entries[9][3].Target, nullptr);  // channel 3 is not in the old file
  EXPECT_EQ(ModuleList.count, 7);
}

TEST_F(SynthFileTest, DamagedAndHostileFilesLeaveTheSynthAsItWas) {
  BuildSynth();
  Save("good.tarvelo");
  const auto good = Bytes("good.tarvelo");
  const Layout l = Walk(good);
  const Snapshot s = Take();

  int n = 0;
  auto refused = [&](auto change) {
    auto b = good;
    change(b);
    const std::string name = "bad" + std::to_string(n++) + ".tarvelo";
    WriteBytes(Os("SYNTHS/" + name), b);
    const int32_t rc = LoadSynth(Home("SYNTHS"), name);
    EXPECT_EQ(Bytes(name), b);  // the file itself is only read
    return rc;
  };
  const size_t live0 = l.records;
  EXPECT_EQ(refused([](auto& b) { b.resize(52999); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([](auto& b) { b.pop_back(); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([](auto& b) { b.push_back(0); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([](auto& b) { b[26] = '2'; }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([](auto& b) { b[5] = 'x'; }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([](auto& b) { PutI32(b, 0, 24); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([](auto& b) { PutI32(b, 0, -5); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.tuningFolder, 1 << 30); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.tuningFolder, -1); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.samples, 0x7FFFFFFF); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.samples, -1); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.samples, 2); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.melodies, 1000000); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.states, 0x40000000); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.states, 15); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.output + 4, 0x7FFFFFFF); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.output + 4, -1); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, l.output + 4, l.recordCount - 1); }), -kErrIncompatibleFile);
  // A live module of a type this system does not have, or a negative one.
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, live0 + 8, 99); }), -kErrIncompatibleFile);
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, live0 + 8, -3); }), -kErrIncompatibleFile);
  // A live module after the first preset.
  EXPECT_EQ(refused([&](auto& b) { PutI32(b, live0 + 8 * kModuleFileRecordSize + 12, 1); }), -kErrIncompatibleFile);
  ExpectUnchanged(s);
  EXPECT_EQ(LoadSynth(Home("SYNTHS"), ""), -QUARLE_BASICS::kErrBadParameter);
  EXPECT_LT(LoadSynth(Home("SYNTHS"), "absent.tarvelo"), 0);
  ExpectUnchanged(s);
  EXPECT_EQ(SessionFile, "good.tarvelo");
}

TEST_F(SynthFileTest, OutOfRangeValuesAreBroughtIntoRange) {
  BuildSynth();
  Save("good.tarvelo");
  const auto good = Bytes("good.tarvelo");
  const Layout l = Walk(good);

  auto load = [&](const std::string& name, auto change) {
    auto b = good;
    change(b);
    WriteBytes(Os("SYNTHS/" + name), b);
    return LoadSynth(Home("SYNTHS"), name);
  };
  ASSERT_EQ(load("gains.tarvelo", [&](auto& b) {
    PutF32(b, l.gains, 5.0f);
    PutF32(b, l.gains + 4, 0.0f);
  }), 0);
  EXPECT_EQ(InputGain, 2.0f);
  EXPECT_EQ(OutputLevel, 1e-7f);
  ASSERT_EQ(load("nan.tarvelo", [&](auto& b) {
    PutF32(b, l.gains, std::numeric_limits<float>::quiet_NaN());
    PutF32(b, l.gains + 4, -std::numeric_limits<float>::infinity());
  }), 0);
  EXPECT_EQ(InputGain, 1e-7f);
  EXPECT_EQ(OutputLevel, 1e-7f);

  // An output module position beyond the modules means no output module.
  ASSERT_EQ(load("out.tarvelo", [&](auto& b) { PutI32(b, l.output, 500); }), 0);
  EXPECT_EQ(SynthOutputModule.load(), nullptr);

  // A preset of an unknown type is dropped with one notice.
  Reports().clear();
  const size_t preset = l.records + 7 * static_cast<size_t>(kModuleFileRecordSize);
  ASSERT_EQ(load("preset.tarvelo", [&](auto& b) {
    PutI32(b, preset + 8, 77);
    PutI32(b, preset + kModuleFileRecordSize + 8, 78);
  }), 0);
  EXPECT_EQ(CountReports("Some masters presets can't be loaded"), 1);
  EXPECT_EQ(ModuleList.count, 7);

  // Twenty stored states: the surplus all lands in the last, the last winning.
  ASSERT_EQ(load("states.tarvelo", [&](auto& b) {
    std::vector<unsigned char> octave(b.begin() + l.states + 4, b.begin() + l.states + 4 + 16 * 828);
    std::vector<unsigned char> keys(b.begin() + l.states + 4 + 16 * 828, b.begin() + l.states + 4 + 32 * 828);
    for (int32_t i = 0; i < 4; ++i) {
      std::vector<unsigned char> extra(828, 0);
      PutI32(extra, 12, 100 + i);  // KeyOffset
      octave.insert(octave.end(), extra.begin(), extra.end());
      keys.insert(keys.end(), extra.begin(), extra.end());
    }
    std::vector<unsigned char> rebuilt(b.begin(), b.begin() + l.states);
    rebuilt.resize(rebuilt.size() + 4);
    PutI32(rebuilt, l.states, 20);
    rebuilt.insert(rebuilt.end(), octave.begin(), octave.end());
    rebuilt.insert(rebuilt.end(), keys.begin(), keys.end());
    rebuilt.insert(rebuilt.end(), b.begin() + l.output, b.end());
    b = rebuilt;
  }), 0);
  EXPECT_EQ(OctaveBoardStates[15].Load()->KeyOffset.Load(), 103);
  EXPECT_EQ(KeyboardStates[15].Load()->KeyOffset.Load(), 103);
  EXPECT_EQ(KeyboardStates[0].Load()->KeyOffset.Load(), 48);
}

TEST_F(SynthFileTest, BlockPositionsDoNotDependOnZoomOrPan) {
  BuildSynth();
  // Plane positions of the blocks at zoom 1 without pan.
  std::map<int64_t, std::pair<int32_t, int32_t>> plane;
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleList.entries[i]->BoxControl.Store(1000 + i);
    plane[1000 + i] = {100 + 37 * i, 200 - 11 * i};
  }
  static std::map<int64_t, std::pair<int32_t, int32_t>> window;
  static int32_t px = 0, py = 0;
  EngineUi.Visible = [](int64_t) { return -1; };
  EngineUi.X = [](int64_t c) { return window[c].first; };
  EngineUi.Y = [](int64_t c) { return window[c].second; };
  DocumentUi.OutputPortPosition = [](int32_t* x, int32_t* y) {
    *x = 640;
    *y = 360;
  };
  DocumentUi.PlaneOffset = [](int32_t* x, int32_t* y) {
    *x = px;
    *y = py;
  };

  // Zoom 1, no pan: the window shows the plane as it is.
  window = plane;
  ZoomFactor = 1.0f;
  px = py = 0;
  Save("flat.tarvelo");
  // Zoom 2 and panned by (40, -30): each block drawn where that view puts it.
  ZoomFactor = 2.0f;
  px = 40;
  py = -30;
  for (auto& [id, p] : window) {
    p.first = 640 + 2 * (plane[id].first + px - 640);
    p.second = 360 + 2 * (plane[id].second + py - 360);
  }
  Save("zoomed.tarvelo");
  const auto a = Bytes("flat.tarvelo");
  const auto b = Bytes("zoomed.tarvelo");
  const Layout la = Walk(a);
  for (int32_t i = 0; i < 7; ++i) {
    const size_t r = la.records + static_cast<size_t>(i) * kModuleFileRecordSize;
    EXPECT_EQ(I32At(a, r), plane[1000 + i].first);
    EXPECT_EQ(I32At(a, r + 4), plane[1000 + i].second);
    EXPECT_EQ(I32At(b, r), I32At(a, r));
    EXPECT_EQ(I32At(b, r + 4), I32At(a, r + 4));
  }

  // Loading at zoom 1.5 places each block around the output port; the pan is reset.
  static std::vector<std::pair<int32_t, int32_t>> made;
  static int resets = 0;
  made.clear();
  resets = 0;
  DocumentUi.CreateModuleControls = [](ModuleRecord*, int32_t x, int32_t y) {
    made.emplace_back(x, y);
    return 5;
  };
  DocumentUi.ResetPlaneOffset = [] { ++resets; };
  ZoomFactor = 1.5f;
  ResetEngine();
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "zoomed.tarvelo"), 0);
  EXPECT_EQ(resets, 1);
  ASSERT_EQ(made.size(), 7u);
  for (int32_t i = 0; i < 7; ++i) {
    const float x = 640.0f + 1.5f * static_cast<float>(plane[1000 + i].first - 640);
    const float y = 360.0f + 1.5f * static_cast<float>(plane[1000 + i].second - 360);
    EXPECT_EQ(made[i].first, static_cast<int32_t>(std::nearbyint(x)));
    EXPECT_EQ(made[i].second, static_cast<int32_t>(std::nearbyint(y)));
  }
  EXPECT_EQ(CountReports("Error creating module controls"), 0);
}

// A synth saved with a Melody Generator (and its preset) on pattern 5 of a
// six-pattern tuning, loaded after its tuning file changed: a pattern the
// loaded tuning lacks becomes pattern 0 (else the melody holds one note);
// one it has stays.
TEST_F(SynthFileTest, ALoadBringsMelodyGeneratorsWithinTheTuningsPatterns) {
  const struct {
    int32_t patterns;  // in the tuning file when the synth loads
    int32_t expected;
  } rows[] = {{1, 0}, {5, 0}, {6, 5}, {47, 5}};
  const auto withPatterns = [](Tuning& t, int32_t n) {
    for (int32_t i = t.PatternCount; i < n; ++i) TuningAddScalePattern(t, uint64_t{5} << (i % 10), "P", 0);
    t.PatternCount = n;
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.patterns);
    ResetEngine();
    withPatterns(ActiveTuning, 6);
    ASSERT_EQ(SaveTuning(ActiveTuning), 0);
    ModuleRecord* gen = Add(kTypeMelodyGenerator);
    ASSERT_NE(gen, nullptr);
    SetMelodyScalePattern(*gen, 5);
    SetMelodyScalePattern(ModuleCatalog[kTypeMelodyGenerator], 5);
    Save("patterns.tarvelo");
    Tuning changed;
    InitTuning(changed);
    withPatterns(changed, row.patterns);
    QUARLE_BASICS::DynZStringAssign(changed.Folder, Home("TUNINGS"));
    QUARLE_BASICS::DynZStringAssign(changed.FileName, "test.tng");
    ASSERT_EQ(SaveTuning(changed), 0);
    FreeTuning(changed);
    ASSERT_EQ(LoadSynth(Home("SYNTHS"), "patterns.tarvelo"), 0);
    ASSERT_EQ(ActiveTuning.PatternCount, row.patterns);
    ASSERT_EQ(ModuleList.count, 1);
    EXPECT_EQ(MelodyScalePattern(*ModuleList.entries[0]), row.expected);
    EXPECT_EQ(MelodyScalePattern(ModuleCatalog[kTypeMelodyGenerator]), row.expected);
  }
  SetMelodyScalePattern(ModuleCatalog[kTypeMelodyGenerator], 0);
  ActiveTuning.PatternCount = 1;
}

// A melody entry as the recorder makes it: busy, not saved, a head claiming
// four events.
WaveLibraryEntry* RecordingMelody(const std::string& folder, const std::string& file) {
  EXPECT_EQ(WaveLibraryListReserve(MelodyLibrary), 0);
  WaveLibraryEntry* mel = WaveLibraryEntryNew();
  QUARLE_BASICS::DynZStringAssign(mel->Folder, folder);
  QUARLE_BASICS::DynZStringAssign(mel->File, file);
  mel->Sound.samples = static_cast<float*>(std::calloc(6 + 4 * 4, sizeof(float)));
  mel->Sound.dataSize = (6 + 4 * 4) * 4;
  mel->Sound.samples[0] = 4.0f;
  mel->LoadState = kWaveDataHeld;
  mel->State.Store(kWaveCreating);
  WaveLibraryListCommit(MelodyLibrary, mel);
  return mel;
}

// A melody entry as the Sequencer's Record press makes it: busy, not saved,
// room for a long take.
WaveLibraryEntry* TakeEntry(const std::string& folder, const std::string& file) {
  WaveLibraryEntry* mel = RecordingMelody(folder, file);
  std::free(mel->Sound.samples);
  mel->Sound.samples = static_cast<float*>(std::calloc(kMelodyRecordBytes / 4, sizeof(float)));
  mel->Sound.dataSize = kMelodyRecordBytes;
  return mel;
}

float SavedSampleAt(const std::string& path, size_t i) {
  QUARLE_AUDIO::SoundBuffer sb;
  QUARLE_AUDIO::SoundBufferInit(&sb);
  float v = -1.0f;
  if (QUARLE_AUDIO::ReadWavHeader(path, &sb) == 0 && QUARLE_AUDIO::ReadWavData(path, &sb) == 0 &&
      i < sb.dataSize / 4)
    v = sb.samples[i];
  QUARLE_AUDIO::SoundBufferFree(&sb);
  return v;
}

TEST_F(SynthFileTest, UnsavedSamplesAreWrittenBeforeTheirReference) {
  ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "rec.wav", 0.1f, 1, 48000), 0);
  SynthSamples.entries[0]->Sound.samples[3] = 0.5f;
  // Both recordings have ended.
  SynthSamples.entries[0]->State.Store(kWaveIdle);
  Save("s.tarvelo");
  EXPECT_TRUE(fs::exists(Os("AUDIO/RECORDED/rec.wav")));
  EXPECT_EQ(SynthSamples.entries[0]->Saved, -1);
  ASSERT_EQ(SampleLibrary.header.count, 1);
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[0]->File), "rec.wav");
  EXPECT_FLOAT_EQ(SavedSampleAt(Home("AUDIO\\RECORDED\\rec.wav"), 3), 0.5f);
}

// Takes whose own files cannot be written (their folder gone, a full disk):
// the synth file leaves them out, and the modules that play them name no
// entry, so the file names only what is on the disk; everything else is
// saved. The takes stay in memory unsaved, and the first save that can write
// them names them again.
TEST_F(SynthFileTest, ATakeThatCannotBeWrittenIsLeftOutUntilASaveWritesIt) {
  BuildSynth();
  const std::string nowhere = Home("NOWHERE");
  ModuleRecord* smp2 = Add(kTypeSample);
  ModuleRecord* conv2 = Add(kTypeConvolutive);
  ModuleRecord* seq2 = Add(kTypeSequencer);
  ASSERT_EQ(RecordToWaveFile(nowhere, "lost.wav", 0.1f, 1, 48000), 0);
  WaveLibraryEntry* take = SynthSamples.entries[1];
  take->State.Store(kWaveIdle);
  take->Sound.samples[4] = 0.25f;
  AttachWaveToModule(smp2, take, 0);
  ASSERT_EQ(WaveLibraryListReserve(FilterLibrary), 0);
  WaveLibraryEntry* fir = WaveLibraryEntryNew();
  WaveLibraryEntryAssign(*fir, *FilterLibrary.entries[0]);
  QUARLE_BASICS::DynZStringAssign(fir->Folder, nowhere);
  QUARLE_BASICS::DynZStringAssign(fir->File, "FIR_lost.wav");
  fir->Saved = 0;
  WaveLibraryListCommit(FilterLibrary, fir);
  AttachWaveToModule(conv2, fir, 0);
  WaveLibraryEntry* mel = RecordingMelody(nowhere, "lost.mel");
  mel->State.Store(kWaveIdle);
  AttachWaveToModule(seq2, mel, 0);

  // one thread: value
  struct Case {
    const char* what;
    ModuleRecord* kept;
    ModuleRecord* left;
    WaveLibraryEntry* entry;
    const char* file;
  };
  const Case cases[] = {{"sample", smp_, smp2, take, "lost.wav"},
                        {"filter", conv_, conv2, fir, "FIR_lost.wav"},
                        {"melody", seq_, seq2, mel, "lost.mel"}};
  Save("t.tarvelo");
  auto b = Bytes("t.tarvelo");
  Layout l = Walk(b);
  EXPECT_EQ(I32At(b, l.samples), 1);
  EXPECT_EQ(I32At(b, l.filters), 1);
  EXPECT_EQ(I32At(b, l.melodies), 1);
  EXPECT_EQ(std::string(b.begin(), b.end()).find("NOWHERE"), std::string::npos);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CountReports(std::string("Could not save ") + c.file + ": "), 1);
    EXPECT_EQ(RecordAt(b, l, c.kept->ListIndex.Load()).LibraryIndex, 0);
    EXPECT_EQ(RecordAt(b, l, c.left->ListIndex.Load()).LibraryIndex, -1);
    EXPECT_EQ(c.entry->Saved, 0);
    EXPECT_EQ(c.entry->LoadState, kWaveDataHeld);
    EXPECT_EQ(c.left->SampleEntry.Load(), c.entry);
  }
  const std::vector<SaveLeftOutEntry>& left = SaveSessionLeftOut();
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0].File, "lost.wav");
  EXPECT_NE(left[0].Code, 0);

  // Room again: the next save writes the takes and names them.
  fs::create_directories(Os("NOWHERE"));
  Save("t.tarvelo");
  EXPECT_TRUE(SaveSessionLeftOut().empty());
  b = Bytes("t.tarvelo");
  l = Walk(b);
  EXPECT_EQ(I32At(b, l.samples), 2);
  EXPECT_EQ(I32At(b, l.filters), 2);
  EXPECT_EQ(I32At(b, l.melodies), 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(fs::exists(Os(std::string("NOWHERE/") + c.file)));
    EXPECT_EQ(RecordAt(b, l, c.left->ListIndex.Load()).LibraryIndex, 1);
    EXPECT_EQ(c.entry->Saved, -1);
  }
  EXPECT_FLOAT_EQ(SavedSampleAt(nowhere + "\\lost.wav", 4), 0.25f);
}

TEST_F(SynthFileTest, EntriesStillRecordingAreSavedOnlyOnceTheirRecordingEnded) {
  ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "rec.wav", 0.1f, 1, 48000), 0);
  WaveLibraryEntry* smp = SynthSamples.entries[0];
  smp->Sound.samples[3] = 0.75f;
  WaveLibraryEntry* mel = RecordingMelody(Home("MELODIES"), "rec.mel");
  Save("a.tarvelo");
  // Half-recorded: nothing written, still unsaved and still busy.
  EXPECT_FALSE(fs::exists(Os("AUDIO/RECORDED/rec.wav")));
  EXPECT_FALSE(fs::exists(Os("MELODIES/rec.mel")));
  EXPECT_EQ(smp->Saved, 0);
  EXPECT_EQ(smp->State.Load(), kWaveCreating);
  EXPECT_EQ(mel->Saved, 0);
  EXPECT_EQ(mel->State.Load(), kWaveCreating);
  // A melody saved directly keeps its busy state too.
  EXPECT_EQ(SaveMelody(mel), 0);
  EXPECT_EQ(mel->State.Load(), kWaveCreating);
  mel->Saved = 0;

  // The recordings end; the next save writes them whole.
  smp->Sound.samples[5] = 0.25f;
  smp->State.Store(kWaveIdle);
  mel->State.Store(kWaveIdle);
  Save("a.tarvelo");
  EXPECT_EQ(smp->Saved, -1);
  EXPECT_EQ(mel->Saved, -1);
  EXPECT_FLOAT_EQ(SavedSampleAt(Home("AUDIO\\RECORDED\\rec.wav"), 3), 0.75f);
  EXPECT_FLOAT_EQ(SavedSampleAt(Home("AUDIO\\RECORDED\\rec.wav"), 5), 0.25f);
  EXPECT_GE(LoadMelody(Home("MELODIES"), "rec.mel"), 0);
}

TEST_F(SynthFileTest, LoadingAnotherSynthWritesUnsavedRecordingsFirst) {
  BuildSynth();
  Save("other.tarvelo");
  ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "late.wav", 0.1f, 1, 48000), 0);
  WaveLibraryEntry* smp = SynthSamples.entries[SynthSamples.header.count - 1];
  smp->Sound.samples[7] = 0.5f;
  smp->State.Store(kWaveIdle);
  RecordingMelody(Home("MELODIES"), "late.mel")->State.Store(kWaveIdle);
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "other.tarvelo"), 0);
  EXPECT_FLOAT_EQ(SavedSampleAt(Home("AUDIO\\RECORDED\\late.wav"), 7), 0.5f);
  EXPECT_TRUE(fs::exists(Os("MELODIES/late.mel")));
}

// Entries the load cannot write are named and never stop it: a take holding something stays for the
// next save, a filter with nothing goes and the design loses it as its source.
TEST_F(SynthFileTest, ALoadWhoseUnsavedEntriesCannotBeWrittenLoadsAndNamesThem) {
  BuildSynth();
  Save("other.tarvelo");
  const int32_t melodies = MelodyLibrary.header.count, filters = FilterLibrary.header.count;
  WaveLibraryEntry* mel = RecordingMelody(Home("MELODIES"), "late.mel");
  mel->State.Store(kWaveIdle);
  ASSERT_EQ(WaveLibraryListReserve(FilterLibrary), 0);
  WaveLibraryEntry* noTaps = WaveLibraryEntryNew();
  QUARLE_BASICS::DynZStringAssign(noTaps->File, "FIR_0-0.wav");
  noTaps->LoadState = kWaveDataHeld;
  WaveLibraryListCommit(FilterLibrary, noTaps);
  FirDesign.FirSourceEntry = filters;
  DocumentFailWritesAfter(0);
  EXPECT_EQ(LoadSynth(Home("SYNTHS"), "other.tarvelo"), 0);
  DocumentFailWritesAfter(-1);
  EXPECT_EQ(CountReports("Could not save late.mel: ") + CountReports("Could not save FIR_0-0.wav: "), 2);
  EXPECT_EQ(FirDesign.FirSourceEntry, -1);
  EXPECT_EQ(FilterLibrary.header.count, filters);
  ASSERT_EQ(MelodyLibrary.header.count, melodies + 1);
  EXPECT_EQ(MelodyLibrary.entries[melodies], mel);
  EXPECT_FALSE(fs::exists(Os("MELODIES/late.mel")));
  EXPECT_EQ(SaveUnsavedLibraryEntries(), 0);
  EXPECT_TRUE(fs::exists(Os("MELODIES/late.mel")));
}

// A Sample module still recording when another synth is loaded: the
// recording ends with the frames it holds and is written before the old
// synth's lists are emptied, and so does a melody recording; one that got no
// note goes.
TEST_F(SynthFileTest, LoadingAnotherSynthEndsRunningRecordingsAndWritesThem) {
  BuildSynth();
  Save("other.tarvelo");
  ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "live.wav", 0.1f, 1, 48000), 0);
  WaveLibraryEntry* rec = SynthSamples.entries[SynthSamples.header.count - 1];
  AttachWaveToModule(smp_, rec, ~uint64_t{0});
  ASSERT_EQ(smp_->ModuleSwitches[kSwitchRecord].Load(), -1);
  for (int32_t k = 0; k < 300; ++k) rec->Sound.samples[k] = 0.001f * static_cast<float>(k);
  smp_->FramesRecorded = 300;  // as the render callback left it
  WaveLibraryEntry* mel = RecordingMelody(Home("MELODIES"), "none.mel");
  AttachWaveToModule(seq_, mel, ~uint64_t{0});
  ASSERT_EQ(seq_->ModuleSwitches[kSwitchRecord].Load(), -1);
  // A second Sequencer has recorded eight notes, a beat every 0.5 s, in 4 s.
  ModuleRecord* seq8 = Add(kTypeSequencer);
  ASSERT_EQ(WaveLibraryListReserve(MelodyLibrary), 0);
  WaveLibraryEntry* eight = WaveLibraryEntryNew();
  QUARLE_BASICS::DynZStringAssign(eight->Folder, Home("MELODIES"));
  QUARLE_BASICS::DynZStringAssign(eight->File, "eight.mel");
  eight->Sound.samples = static_cast<float*>(std::calloc(6 + 4 * 12, sizeof(float)));
  eight->Sound.dataSize = (6 + 4 * 12) * 4;
  eight->LoadState = kWaveDataHeld;
  eight->State.Store(kWaveCreating);
  float* d = eight->Sound.samples;
  d[0] = 8.0f;
  d[1] = 8.0f;
  d[3] = 1.0f;
  for (int32_t k = 0; k < 8; ++k) {
    d[6 + 4 * k] = 0.25f;
    d[7 + 4 * k] = 0.02f;
    d[8 + 4 * k] = 1.0f;
    d[9 + 4 * k] = 0.5f * static_cast<float>(k);
    d[2] += 0.25f;
  }
  WaveLibraryListCommit(MelodyLibrary, eight);
  AttachWaveToModule(seq8, eight, ~uint64_t{0});
  ASSERT_EQ(seq8->ModuleSwitches[kSwitchRecord].Load(), -1);
  SetIntField(seq8->AuxVoiceState[0][3], 8);          // notes recorded
  SetIntField(seq8->AuxVoiceState[0][0], 4 * 48000);  // frames recorded

  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "other.tarvelo"), 0);
  QUARLE_AUDIO::SoundBuffer sb;
  QUARLE_AUDIO::SoundBufferInit(&sb);
  ASSERT_EQ(QUARLE_AUDIO::ReadWavHeader(Home("AUDIO\\RECORDED\\live.wav"), &sb), 0);
  ASSERT_EQ(QUARLE_AUDIO::ReadWavData(Home("AUDIO\\RECORDED\\live.wav"), &sb), 0);
  EXPECT_EQ(sb.frameCount, 300u);
  EXPECT_FLOAT_EQ(sb.samples[299], 0.299f);
  QUARLE_AUDIO::SoundBufferFree(&sb);
  EXPECT_GE(FindLoadedWave(Home("AUDIO\\RECORDED"), "live.wav", 0), 0);
  EXPECT_FALSE(fs::exists(Os("MELODIES/none.mel")));  // no note: nothing to keep
  // The eight notes are in their file, trimmed to what was recorded.
  const auto b = ReadBytes(Os("MELODIES/eight.mel"));
  ASSERT_EQ(b.size(), 32u + 24u + 16u * 8u);
  float first = 0.0f;
  std::memcpy(&first, b.data() + 32 + 4 * 7, 4);
  EXPECT_EQ(first, 0.02f);
}

// A save made while a Sample records into a new sound and a Sequencer into a
// new melody, as their REC buttons start it: the takes have no file yet, so
// each module is written as it was before its take (the sound or melody it
// played, REC off, its voices from the start) and the save names the takes
// it left out. Once a take ends, the synth differs from the one saved, and
// the next save names the take.
TEST_F(SynthFileTest, ASaveDuringATakeKeepsWhatTheModulePlayedBeforeAndSaysSo) {
  BuildSynth();
  // A Sample that played nothing before its take.
  ModuleRecord* bare = Add(kTypeSample);
  Save("before.tarvelo");
  const auto ref = Bytes("before.tarvelo");
  const Layout rl = Walk(ref);

  ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "live.wav", 0.1f, 1, 48000), 0);
  WaveLibraryEntry* sound = SynthSamples.entries[SynthSamples.header.count - 1];
  ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "bare.wav", 0.1f, 1, 48000), 0);
  WaveLibraryEntry* bareSound = SynthSamples.entries[SynthSamples.header.count - 1];
  WaveLibraryEntry* melody = TakeEntry(Home("MELODIES"), "live.mel");
  // one thread: value
  struct Case {
    const char* what;
    ModuleRecord* m;
    WaveLibraryEntry* take;
  };
  const Case cases[] = {{"sample", smp_, sound}, {"sequencer", seq_, melody}, {"bare sample", bare, bareSound}};
  for (const Case& c : cases) {
    AssignWaveToModule(c.m, c.take, ~uint64_t{0});
    ASSERT_EQ(c.m->ModuleSwitches[kSwitchRecord].Load(), -1) << c.what;
  }
  for (int32_t k = 0; k < 300; ++k) sound->Sound.samples[k] = 0.001f * static_cast<float>(k);
  smp_->FramesRecorded = 300;  // as the render callback left it

  std::shared_ptr<const SynthTaken> taken;
  ASSERT_EQ(SaveSessionTaking(Home("SYNTHS"), "during.tarvelo", nullptr, &taken), 0);
  ASSERT_TRUE(taken);
  const auto b = Bytes("during.tarvelo");
  const Layout l = Walk(b);
  EXPECT_EQ(I32At(b, l.samples), I32At(ref, rl.samples));
  EXPECT_EQ(I32At(b, l.melodies), I32At(ref, rl.melodies));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int32_t i = c.m->ListIndex.Load();
    const ModuleFileRecord now = RecordAt(b, l, i), was = RecordAt(ref, rl, i);
    EXPECT_EQ(now.LibraryIndex, was.LibraryIndex);
    EXPECT_EQ(now.Switches[kSwitchRecord], 0u);
    // Byte for byte the module as a save before its take wrote it.
    EXPECT_EQ(std::memcmp(&now, &was, sizeof now), 0);
    EXPECT_EQ(c.take->Saved, 0);
  }
  EXPECT_EQ(RecordAt(b, l, smp_->ListIndex.Load()).LibraryIndex, 0);
  EXPECT_EQ(RecordAt(b, l, seq_->ListIndex.Load()).LibraryIndex, 0);
  // In the list's order.
  EXPECT_EQ(SaveSessionTakesNote(),
            "The take still recording on Sample #1, Sample #2, Sequencer #1 is not in the file "
            "(saved as it was before the take); save again once it ends.");
  // Nothing else changed while the takes run: a save then would write the same.
  EXPECT_FALSE(SynthChangedSince(*taken));

  // The Sample's take ends with the frames it holds.
  ASSERT_TRUE(EndRecordings(smp_));
  EXPECT_EQ(smp_->SampleEntry.Load(), sound);
  EXPECT_TRUE(SynthChangedSince(*taken));
  Save("after.tarvelo");
  const auto a = Bytes("after.tarvelo");
  const Layout al = Walk(a);
  EXPECT_EQ(I32At(a, al.samples), I32At(ref, rl.samples) + 1);
  EXPECT_EQ(RecordAt(a, al, smp_->ListIndex.Load()).LibraryIndex, I32At(ref, rl.samples));
  EXPECT_EQ(sound->Saved, -1);
  EXPECT_EQ(SaveSessionTakesNote(),
            "The take still recording on Sample #2, Sequencer #1 is not in the file "
            "(saved as it was before the take); save again once it ends.");
  ASSERT_TRUE(EndRecordings());
  Save("after.tarvelo");
  EXPECT_EQ(SaveSessionTakesNote(), "");
}

// The same while the render plays: the take starts and records on the audio
// thread, and the save copies the module between two frames.
TEST_F(SynthFileTest, ASaveWhileTheRenderRecordsKeepsTheEarlierSound) {
  BuildSynth();
  // Long enough to run through the save.
  ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "live.wav", 60.0f, 1, 48000), 0);
  WaveLibraryEntry* take = SynthSamples.entries[SynthSamples.header.count - 1];
  {
    LiveSet set(false);
    AssignWaveToModule(smp_, take, ~uint64_t{0});
    ASSERT_EQ(smp_->ModuleSwitches[kSwitchRecord].Load(), -1);
    set.Blocks(5);
    Save("during.tarvelo");
    const auto b = Bytes("during.tarvelo");
    const Layout l = Walk(b);
    const ModuleFileRecord r = RecordAt(b, l, smp_->ListIndex.Load());
    EXPECT_EQ(r.LibraryIndex, 0);
    EXPECT_EQ(r.Switches[kSwitchRecord], 0u);
    EXPECT_EQ(SaveSessionTakesNote().rfind("The take still recording on Sample #1 is", 0), 0u);
    set.Blocks(5);
    ASSERT_TRUE(EndRecordings(smp_));
  }
  ASSERT_EQ(smp_->SampleEntry.Load(), take);
  Save("after.tarvelo");
  const auto a = Bytes("after.tarvelo");
  EXPECT_EQ(RecordAt(a, Walk(a), smp_->ListIndex.Load()).LibraryIndex, 1);
  EXPECT_EQ(SaveSessionTakesNote(), "");
}

// The module list starts with room for 1,000 modules and the reader places
// record i at position i: a synth of more modules grows the list first, and
// links and the output beyond position 1,000 come back.
TEST_F(SynthFileTest, ASynthOfMoreThanAThousandModulesLoadsWhole) {
  constexpr int32_t kRectifierType = 41;
  constexpr int32_t kCount = 1003;
  std::vector<ModuleRecord*> made;
  for (int32_t i = 0; i < kCount; ++i) made.push_back(Add(kRectifierType));
  ASSERT_EQ(ModuleList.count, kCount);
  Link(made[1002], 0, made[1001]);
  Link(made[1001], 0, made[3]);
  RequestGraphRebuild(0, 0, made[1002]);
  Save("big.tarvelo");
  ResetEngine();
  ReclaimRemovedModules();
  std::free(ModuleList.entries);
  ModuleList.entries = static_cast<ModuleRecord**>(std::calloc(kModuleListInitialCapacity, sizeof(ModuleRecord*)));
  ModuleList.capacity = kModuleListInitialCapacity;

  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "big.tarvelo"), 0);
  ASSERT_EQ(ModuleList.count, kCount);
  EXPECT_GE(ModuleList.capacity, kCount);
  ModuleRecord* last = ModuleList.entries[1002];
  ModuleRecord* middle = ModuleList.entries[1001];
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->InstanceNumber.Load(), 1003);
  EXPECT_EQ(last->ListIndex.Load(), 1002);
  EXPECT_EQ(last->PortSources[0].Load(), middle);
  EXPECT_EQ(middle->PortSources[0].Load(), ModuleList.entries[3]);
  EXPECT_EQ(SynthOutputModule.load(), last);
}

TEST_F(SynthFileTest, MissingSampleBecomesAPlaceholderTheModuleKeeps) {
  BuildSynth();
  Save("m.tarvelo");
  ResetEngine();
  WaveLibraryListsFree();
  ASSERT_EQ(WaveLibraryListsCreate(), 0);
  fs::remove(Os("AUDIO/s.wav"));
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "m.tarvelo"), 0);
  ASSERT_EQ(SynthSamples.header.count, 1);
  WaveLibraryEntry* e = SynthSamples.entries[0];
  EXPECT_EQ(e->LoadState, kWavePlaceholder);
  EXPECT_EQ(DynZStringGet(e->File), "s.wav");
  EXPECT_EQ(CountReports("Can't find s.wav"), 1);
  ModuleRecord* smp = nullptr;
  for (int32_t i = 0; i < ModuleList.count; ++i)
    if (ModuleList.entries[i]->Type == kTypeSample) smp = ModuleList.entries[i];
  ASSERT_NE(smp, nullptr);
  EXPECT_EQ(smp->SampleEntry.Load(), e);
  // Saved again, the synth still names the sample.
  Save("m2.tarvelo");
  const auto b = Bytes("m2.tarvelo");
  EXPECT_NE(std::string(b.begin(), b.end()).find("s.wav"), std::string::npos);
}

// Samples named in Japanese and Cyrillic, with a Latin-1 byte that is no
// UTF-8 and with a backslash load under the names their listing gives, and a
// synth that names them finds each again.
TEST_F(SynthFileTest, SamplesNamedBeyondTheCodePageLoadAndAreFoundAgain) {
  BuildSynth();
  const std::string names[] = {"\xE9\x9F\xB3.wav", "\xD0\x9C\xD1\x83\xD0\xB7.wav", "caf\xE9.wav", "back\\slash.wav"};
  std::vector<std::string> listed;
  for (const std::string& os : names) {
    fs::copy_file(Os("AUDIO/s.wav"), dir_ / "AUDIO" / os);
    listed.push_back(platform::FromOsPath(os));  // as a listing of the folder gives it
    const int32_t lib = ConvertAndLoadWave(Home("AUDIO"), listed.back());
    EXPECT_TRUE(lib >= 0 && AddLoadedWave(*SampleLibrary.entries[lib], -1) >= 0) << os;
  }
  Save("names.tarvelo");
  ResetEngine();
  WaveLibraryListsFree();
  ASSERT_EQ(WaveLibraryListsCreate(), 0);
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "names.tarvelo"), 0);
  int32_t found = 0;  // the figure: samples found again and held
  for (const std::string& name : listed)
    for (int32_t i = 0; i < SynthSamples.header.count; ++i)
      found += DynZStringGet(SynthSamples.entries[i]->File) == name && SynthSamples.entries[i]->LoadState == kWaveDataHeld;
  EXPECT_EQ(found, 4);
  EXPECT_EQ(CountReports("Can't find"), 0);
}

TEST_F(SynthFileTest, SoundsWhoseFilesVanishedAreWrittenAgain) {
  BuildSynth();
  Save("v.tarvelo");
  WaveLibraryEntry* smp = SynthSamples.entries[0];
  WaveLibraryEntry* mel = MelodyLibrary.entries[0];
  ASSERT_EQ(smp->Saved, -1);
  ASSERT_EQ(mel->Saved, -1);
  const std::vector<float> sound(smp->Sound.samples, smp->Sound.samples + smp->Sound.dataSize / 4);
  // Deleted behind the program's back while the sounds stay loaded.
  fs::remove(Os("AUDIO/s.wav"));
  fs::remove(Os("FILTERS/FIR_a.wav"));
  fs::remove(Os("MELODIES/tune.mel"));
  Save("v.tarvelo");
  EXPECT_TRUE(fs::exists(Os("AUDIO/s.wav")));
  EXPECT_TRUE(fs::exists(Os("FILTERS/FIR_a.wav")));
  EXPECT_TRUE(fs::exists(Os("MELODIES/tune.mel")));
  EXPECT_EQ(CountReports("Could not save"), 0);

  // The next load finds every sound again, the sample as it was held.
  ResetEngine();
  WaveLibraryListsFree();
  ASSERT_EQ(WaveLibraryListsCreate(), 0);
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "v.tarvelo"), 0);
  EXPECT_EQ(CountReports("Can't find"), 0);
  ASSERT_EQ(SynthSamples.header.count, 1);
  WaveLibraryEntry* back = SynthSamples.entries[0];
  EXPECT_EQ(back->LoadState, kWaveDataHeld);
  ASSERT_EQ(back->Sound.dataSize / 4, sound.size());
  for (size_t i = 0; i < sound.size(); ++i) ASSERT_EQ(back->Sound.samples[i], sound[i]) << i;
  ASSERT_EQ(MelodyLibrary.header.count, 1);
  EXPECT_EQ(MelodyLibrary.entries[0]->Sound.samples[5], 2.0f);
  ASSERT_EQ(FilterLibrary.header.count, 1);
  EXPECT_EQ(FilterLibrary.entries[0]->LoadState, kWaveDataHeld);
}

TEST_F(SynthFileTest, OldFilesGetTheEngineRepairs) {
  BuildSynth();
  osc_->ModuleSwitches[kSwitchLoop].Store(0);
  Save("o.tarvelo");
  ResetEngine();
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "o.tarvelo"), 0);
  auto oscLoop = [] {
    for (int32_t i = 0; i < ModuleList.count; ++i)
      if (ModuleList.entries[i]->Type == kTypeOscillator) return ModuleList.entries[i]->ModuleSwitches[kSwitchLoop].Load();
    return int64_t{99};
  };
  EXPECT_EQ(oscLoop(), 0);
  // Dated August 2025: written before the current record layout.
  const std::chrono::sys_seconds day{std::chrono::sys_days{std::chrono::year{2025} / std::chrono::August / 15}};
  const auto august = std::chrono::file_clock::from_sys(day);
  fs::last_write_time(Os("SYNTHS/o.tarvelo"), august);
  ResetEngine();
  ASSERT_EQ(LoadSynth(Home("SYNTHS"), "o.tarvelo"), 0);
  EXPECT_EQ(oscLoop(), -1);
}

// A Sample whose sound has another rate than the engine's plays the sound's
// frames at the sound's rate with its F at the pitch found, after a load too:
// a file from before the mark (whose Set divided F by the rates' ratio, the
// sound stepped at the engine's rate) sounds as it did, a newer file keeps
// its F, and a sound at the engine's rate needs no mark. Saved again while
// its sound is missing, a file keeps telling which it is.
TEST_F(SynthFileTest, SamplesOfAnotherRateSoundAsTheyDidInOlderFiles) {
  const struct {
    int32_t rate;
    bool older, missing;
  } cases[] = {{44100, true, false}, {22050, true, false}, {96000, true, false}, {44100, false, false},
               {48000, true, false}, {44100, true, true},   {44100, false, true}};
  constexpr int32_t kFrames = 4800;
  for (const auto& c : cases) {
    const std::string name = "r" + std::to_string(c.rate) + (c.older ? "o" : "n") + (c.missing ? "m" : "");
    SCOPED_TRACE(name);
    const auto fresh = [] {
      ResetEngine();
      WaveLibraryListsFree();
      ASSERT_EQ(WaveLibraryListsCreate(), 0);
    };
    const auto reload = [&](const std::string& file) {
      fresh();
      ASSERT_EQ(LoadSynth(Home("SYNTHS"), file), 0);
      ASSERT_EQ(ModuleList.count, 1);
    };
    const auto mark = [&](const std::string& file) {
      const auto b = Bytes(file);
      return RecordAt(b, Walk(b), 0).SampleRateMark;
    };
    fresh();
    MakeWav(Home("AUDIO\\" + name + ".wav"), kFrames, 1, 32, c.rate);
    const int32_t lib = ConvertAndLoadWave(Home("AUDIO"), name + ".wav");
    ASSERT_GE(lib, 0);
    ASSERT_EQ(AddLoadedWave(*SampleLibrary.entries[lib], -1), 0);
    ModuleRecord* smp = Add(kTypeSample);
    AttachWaveToModule(smp, SynthSamples.entries[0], 0);
    const float pitch = SynthSamples.entries[0]->Pitch[0];
    ASSERT_GT(pitch, 0.0f);
    const float ratio = c.older ? 48000.0f / static_cast<float>(c.rate) : 1.0f;
    ModuleSetParamValue(*smp, kSampleFrequency, pitch / RateQuarter / ratio);
    Save(name + ".tarvelo");
    EXPECT_EQ(mark(name + ".tarvelo"), 48000);  // every Sample with a sound carries it
    if (c.older) {
      auto b = Bytes(name + ".tarvelo");
      PutI32(b, Walk(b).records + offsetof(ModuleFileRecord, SampleRateMark), 0);
      WriteBytes(Os("SYNTHS/" + name + ".tarvelo"), b);
    }
    std::string file = name + ".tarvelo";
    if (c.missing) {
      fs::remove(Os("AUDIO/" + name + ".wav"));
      reload(file);
      file = name + "2.tarvelo";
      Save(file);
      MakeWav(Home("AUDIO\\" + name + ".wav"), kFrames, 1, 32, c.rate);
    }
    EXPECT_EQ(mark(file), c.older ? 0 : 48000);
    reload(file);
    const ModuleRecord* loaded = ModuleList.entries[0];
    const double f = loaded->Params[kSampleFrequency].Value.Load();
    EXPECT_NEAR(f * RateQuarter / pitch, 1.0, 1e-5) << "F shows what it plays";
    // Frames of the sound per frame of the engine, at a frequency input of F.
    EXPECT_NEAR(loaded->SampleStep * f * kFrames / (c.rate / 48000.0), 1.0, 1e-5) << "speed";
  }
}

// A Sample saved with a sound at the engine's rate is marked too: when its
// sound file is later replaced by one at another rate, its F is still the one
// saved (unmarked, it was taken for an older file's and played the ratio off,
// 146.9 cents at 44100 Hz).
TEST_F(SynthFileTest, ASampleWhoseSoundLaterChangesRateKeepsTheFSaved) {
  for (const int32_t rate : {44100, 96000}) {
    SCOPED_TRACE(rate);
    const auto fresh = [] {
      ResetEngine();
      WaveLibraryListsFree();
      ASSERT_EQ(WaveLibraryListsCreate(), 0);
    };
    fresh();
    MakeWav(Home("AUDIO\\s.wav"), 4800, 1, 32, 48000);
    const int32_t lib = ConvertAndLoadWave(Home("AUDIO"), "s.wav");
    ASSERT_GE(lib, 0);
    ASSERT_EQ(AddLoadedWave(*SampleLibrary.entries[lib], -1), 0);
    ModuleRecord* smp = Add(kTypeSample);
    AttachWaveToModule(smp, SynthSamples.entries[0], 0);
    ModuleSetParamValue(*smp, kSampleFrequency, SynthSamples.entries[0]->Pitch[0] / RateQuarter);
    const double saved = smp->Params[kSampleFrequency].Value.Load();
    Save("s.tarvelo");
    MakeWav(Home("AUDIO\\s.wav"), 4800, 1, 32, rate);
    fresh();
    ASSERT_EQ(LoadSynth(Home("SYNTHS"), "s.tarvelo"), 0);
    ASSERT_EQ(ModuleList.count, 1);
    const double f = ModuleList.entries[0]->Params[kSampleFrequency].Value.Load();
    EXPECT_NEAR(1200.0 * std::log2(f / saved), 0.0, 0.01) << "cents off the F saved";
  }
}

// An audio thread that never takes the keyboards' pending key changes holds a
// save up for one bounded wait in all (it spun up to a second for each of the
// 32 states), and the save says the keys are written as they stand.
TEST_F(SynthFileTest, UnansweredKeyChangesDelayASaveOnce) {
  KeyboardPendingWait = 0.5;
  Save("calm.tarvelo");
  for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
    ASSERT_NE(KeyboardStates[k].Load(), nullptr);
    KeyboardStates[k].Load()->Pending.Store(kPendingRebuild);
    OctaveBoardStates[k].Load()->Pending.Store(kPendingRebuild);
  }
  PlaybackActive = -1;
  Reports().clear();
  const auto start = std::chrono::steady_clock::now();
  Save("stuck.tarvelo");
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PlaybackActive = 0;
  KeyboardPendingWait = 1.0;
  // A wait per state would take 32 s at least: far beyond what a sanitizer or
  // a busy machine adds to one.
  EXPECT_GE(took, 0.5);
  EXPECT_LT(took, 32 * 0.5);
  EXPECT_EQ(CountReports("The audio engine did not take the latest key changes"), 1);
  EXPECT_EQ(Bytes("stuck.tarvelo").size(), Bytes("calm.tarvelo").size());  // saved all the same
}

// A key handler changes held keys under the held-keys lock alone: the save
// must wait for it, or it writes a state half old, half new.
TEST_F(SynthFileTest, SaveCopiesAKeyboardStateUnderItsHeldKeysLockToo) {
  KeyboardState& k = *KeyboardStates[3].Load();
  std::atomic<bool> done{false};
  std::thread saver;
  {
    platform::MutexGuard keys(KeyboardKeyLocks[3]);
    saver = std::thread([&] {
      EXPECT_EQ(SaveSession(Home("SYNTHS"), "held.tarvelo"), 0);
      done = true;
    });
    for (int32_t i = 0; i < 50 && !done.load(); ++i) platform::SleepMs(2);
    EXPECT_FALSE(done.load());
    k.HeldKeys[0].Key.Store(77u);
    k.HeldKeys[0].Voice.Store(5);
    k.LockFlag.Store(-1);  // a locked keyboard's held keys are saved held
  }
  saver.join();
  const auto b = Bytes("held.tarvelo");
  const Layout l = Walk(b);
  KeyboardState stored;
  std::memcpy(static_cast<void*>(&stored), b.data() + l.states + 4 + (16 + 3) * sizeof(KeyboardState),
              sizeof stored);
  EXPECT_EQ(stored.HeldKeys[0].Key.Load(), 77u);
  EXPECT_EQ(stored.HeldKeys[0].Voice.Load(), 5);
}

// A note held while the synth is saved loads let go (nobody holds it), unless its keyboard is locked.
TEST_F(SynthFileTest, AHeldNoteIsSavedLetGoUnlessItsKeyboardIsLocked) {
  for (const int32_t row : {0, 1, 2, 3}) {  // bit 0 the octave board, bit 1 locked
    const bool board = row & 1, locked = row & 2;
    SCOPED_TRACE(testing::Message() << "board " << board << ", locked " << locked);
    ResetEngine();
    KeyboardState& s = board ? *OctaveBoardStates[0].Load() : *KeyboardStates[0].Load();
    s.LockFlag.Store(locked ? -1 : 0);
    ASSERT_EQ(board ? OctaveNoteOn(3, 1.0f) : KeyNoteOn(48, 1.0f, 1), 0);
    VoiceListRebuild(s, board ? OctaveBoardKeyLocks[0] : KeyboardKeyLocks[0]);  // as a frame takes it
    Save("held.tarvelo");
    ResetEngine();
    ASSERT_EQ(LoadSynth(Home("SYNTHS"), "held.tarvelo"), 0);
    EXPECT_EQ(s.VoicesOn.Load() + (s.HeldKeys[0].Voice.Load() >= 0), locked ? 2 : 0);
  }
}

// Everything at once, as a user playing a live set would have it: the render
// callback plays (the audio thread's stand-in calls it block after block), a
// MIDI device plays notes and moves a mapped controller through the MIDI
// thread, and the interface saves and loads synths meanwhile. Run under
// ThreadSanitizer this is the proof that the threads share nothing unguarded;
// here it checks that every save and load succeeds and playback goes on.
TEST_F(SynthFileTest, PlayingWhileAMidiDeviceSendsAndTheInterfaceLoadsAndSaves) {
  BuildSynth();
  Save("stress_a.tarvelo");
  int32_t failures = 0;
  int64_t blocks = 0;
  {
    LiveSet set;
    for (int32_t round = 0; round < 12; ++round) {
      if (SaveSession(Home("SYNTHS"), "stress_b.tarvelo") != 0) ++failures;
      if (LoadSynth(Home("SYNTHS"), round % 2 ? "stress_b.tarvelo" : "stress_a.tarvelo") != 0) ++failures;
      TakeControllerMoves(false);  // does nothing while playing: the render callback takes them
      // A copy of a linked module joins its source's output table while frames run.
      for (int32_t i = 0; i < ModuleList.count; ++i) {
        if (ModuleList.entries[i]->Type != kTypeOscillator) continue;
        ModuleRecord* copy = nullptr;
        if (AddModule(i, false, &copy) < 0 || copy->PortSources[0].Load() != ModuleList.entries[i]->PortSources[0].Load()) ++failures;
        break;
      }
    }
    set.Blocks(3);
    blocks = set.blocks.load();
  }
  EXPECT_EQ(failures, 0);
  EXPECT_GT(blocks, 12);
  EXPECT_EQ(CountReports("The audio engine did not"), 0);
}

// A Sequencer records while the controller bound to its tempo moves (the MIDI
// thread queues each move, the render applies it at a frame's start, also to
// a module no frame plays), and the interface loads another synth. The load
// ends the take where the moves land, on the render: the finish resets the
// module's voices and sets three of its parameters, a move's words too.
// ThreadSanitizer reports a finish made beside the moves.
TEST_F(SynthFileTest, LoadsWhileABoundSequencerRecordsAndItsControllerMoves) {
  BuildSynth();
  Link(seq_, kSeqFrequency, kb_);
  Link(seq_, kSeqVelocity, kb_);
  Link(mix_, 3, seq_);  // played: it records the device's notes
  RequestGraphRebuild(0, 0, mix_);
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    MidiMapEntry& e = MidiMaps[0].Entries[7][0];
    e.Target = seq_;
    e.Param = kSeqTempo;
  }
  Save("bound.tarvelo");
#if defined(__SANITIZE_THREAD__)
  constexpr int32_t kLoads = 60;
#else
  constexpr int32_t kLoads = 120;
#endif
  int32_t recording = 0, bound = 0, failures = 0;
  {
    LiveSet set;
    for (int32_t round = 0; round < kLoads; ++round) {
      ModuleRecord* seq = nullptr;
      for (int32_t i = 0; i < ModuleList.count && seq == nullptr; ++i)
        if (ModuleList.entries[i]->Type == kTypeSequencer) seq = ModuleList.entries[i];
      if (seq == nullptr) {
        ++failures;
        break;
      }
      {
        platform::MutexGuard guard(MT_MIDIMAPS);
        bound += MidiMaps[0].Entries[7][0].Target == seq ? 1 : 0;
      }
      // The Record press: the render starts the take at its next frame.
      AssignWaveToModule(seq, TakeEntry(Home("MELODIES"), "take" + std::to_string(round) + ".mel"), ~uint64_t{0});
      WaitEngineCommandSlot();
      set.Blocks(1 + round % 3);
      recording += seq->ModuleSwitches[kSwitchRecord].Load() != 0 ? 1 : 0;
      if (LoadSynth(Home("SYNTHS"), "bound.tarvelo") != 0) ++failures;
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(bound, kLoads);
  EXPECT_EQ(recording, kLoads);
  EXPECT_EQ(CountReports("The audio engine did not"), 0);
}

// The audio thread stops rendering (a device that no longer asks for data)
// while a Sample, a Sequencer and a Melody Generator record, and another
// synth is loaded. The render never takes the stops the load asks for, so
// the load refuses before it changes anything, and says why: the synth, its
// lists and the busy entries the takes write stay. Once the render comes
// back it ends the takes as asked, and a load then goes through and writes
// what they recorded.
TEST_F(SynthFileTest, ALoadTheStalledRenderDoesNotAnswerLeavesTheSynthAndItsTakes) {
  BuildSynth();
  ModuleRecord* gen = Add(kTypeMelodyGenerator);
  Save("other.tarvelo");
  // Pointers compared only: what a load freed is never read here.
  auto listed = [](const WaveLibraryList& list, const WaveLibraryEntry* e) {
    for (int32_t i = 0; i < list.header.count; ++i)
      if (list.entries[i] == e) return true;
    return false;
  };
  WaveLibraryEntry* sound = nullptr;
  {
    LiveSet set(false);
    ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "live.wav", 1.0f, 1, 48000), 0);
    sound = SynthSamples.entries[SynthSamples.header.count - 1];
    AssignWaveToModule(smp_, sound, ~uint64_t{0});
    WaveLibraryEntry* melody = TakeEntry(Home("MELODIES"), "seq.mel");
    AssignWaveToModule(seq_, melody, ~uint64_t{0});
    WaveLibraryEntry* generated = TakeEntry(Home("MELODIES"), "gen.mel");
    PostBeginTake(gen, generated);
    WaitEngineCommandSlot();
    set.Blocks(3);
    const struct {
      ModuleRecord* module;
      WaveLibraryEntry* entry;
      const WaveLibraryList& list;
    } takes[] = {{smp_, sound, SynthSamples}, {seq_, melody, MelodyLibrary}, {gen, generated, MelodyLibrary}};
    for (const auto& t : takes) ASSERT_NE(t.module->ModuleSwitches[kSwitchRecord].Load(), 0) << t.module->Type;

    set.Stall();
    const Snapshot before = Take();
    const double slot = CommandSlotWait, live = ModuleLiveWait, hold = FrameHoldWait;
    CommandSlotWait = ModuleLiveWait = FrameHoldWait = 0.05;
    Reports().clear();
    const int32_t rc = LoadSynth(Home("SYNTHS"), "other.tarvelo");
    CommandSlotWait = slot;
    ModuleLiveWait = live;
    FrameHoldWait = hold;
    EXPECT_EQ(rc, -QUARLE_BASICS::kErrUnknown);
    EXPECT_EQ(CountReports("Waiting for audio thread."), 1);
    ExpectUnchanged(before);
    for (const auto& t : takes) {
      ASSERT_TRUE(listed(t.list, t.entry)) << t.module->Type;
      EXPECT_EQ(t.module->SampleEntry.Load(), t.entry) << t.module->Type;
      EXPECT_EQ(t.entry->State.Load(), kWaveCreating) << t.module->Type;
      EXPECT_NE(t.module->ModuleSwitches[kSwitchRecord].Load(), 0) << t.module->Type;
    }

    // Back: the stops asked for run first.
    set.Resume();
    const auto start = std::chrono::steady_clock::now();
    auto recording = [&] {
      int32_t n = 0;
      for (const auto& t : takes) n += t.module->ModuleSwitches[kSwitchRecord].Load() != 0 ? 1 : 0;
      return n;
    };
    while (recording() > 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) set.Blocks(1);
    EXPECT_EQ(recording(), 0);
  }
  ASSERT_TRUE(listed(SynthSamples, sound));
  EXPECT_EQ(sound->State.Load(), kWaveIdle);
  EXPECT_GT(sound->Sound.frameCount, 0u);
  EXPECT_EQ(LoadSynth(Home("SYNTHS"), "other.tarvelo"), 0);
  EXPECT_TRUE(fs::exists(Os("AUDIO/RECORDED/live.wav")));
}

// New lets every key go and saves at once. While playing, the release is a
// reset the render takes at its next frame, so the save may come first: the
// file holds the states as the reset leaves them, and a Keyboard added to the
// synth loaded from it sounds nothing. First with the render between two
// frames (the reset is certainly still to come), then playing; and a file
// that holds voices on with nobody holding them (written so, or hostile)
// loads silent as well.
TEST_F(SynthFileTest, NewsSaveWhileKeysSoundLoadsSilent) {
  // Voices on in the states a file holds.
  auto storedVoices = [&](const std::string& name) {
    const auto b = Bytes(name);
    const Layout l = Walk(b);
    int32_t on = 0;
    for (int32_t k = 0; k < 2 * kKeyboardBankSize; ++k) {
      KeyboardState state;
      std::memcpy(static_cast<void*>(&state), b.data() + l.states + 4 + k * sizeof(KeyboardState), sizeof state);
      for (const VoiceSlot& v : state.Voices) on += v.State.Load() != kVoiceFree ? 1 : 0;
    }
    return on;
  };
  // Loaded with playback off, a Keyboard added and played: its voices.
  auto soundsAfterLoad = [&](const std::string& name) {
    EXPECT_EQ(LoadSynth(Home("SYNTHS"), name), 0);
    ModuleRecord* kb = Add(kTypeKeyboard);
    RequestGraphRebuild(0, 0, kb);
    std::vector<float> block(128);
    float* p = block.data();
    RenderAudio(&p, 0, static_cast<int32_t>(block.size()));
    return kb->ActiveVoices.Load() + KeyboardStates[0].Load()->VoicesOn.Load() +
           OctaveBoardStates[0].Load()->VoicesOn.Load();
  };
  // Rendered on this thread: one block between the presses and New. Else
  // playing, in blocks of 20 ms, as a stream's device asks for them.
#if defined(__SANITIZE_THREAD__)
  constexpr int32_t kPlayingRounds = 24;
#else
  constexpr int32_t kPlayingRounds = 40;
#endif
  const struct {
    const char* what;
    int32_t restMs;
    int32_t rounds;
  } cases[] = {{"between two frames", 0, 1}, {"playing", 20, kPlayingRounds}};
  for (const auto& c : cases) {
    int32_t stored = 0, sounding = 0;
    for (int32_t round = 0; round < c.rounds; ++round) {
      ResetEngine();
      {
        std::unique_ptr<LiveSet> set;
        if (c.restMs > 0) set = std::make_unique<LiveSet>(false, c.restMs);
        PlaybackActive = -1;
        for (int32_t k = 0; k < 3; ++k) EXPECT_GE(KeyNoteOnAt(40 + k, 220.0f * (k + 1), 0.8f, 1), 0);
        for (int32_t k = 0; k < 2; ++k) EXPECT_GE(OctaveNoteOn(k, 0.8f), 0);
        if (set) {
          set->Blocks(1 + round % 3);  // the render plays them
        } else {
          std::vector<float> block(96);
          float* p = block.data();
          RenderAudio(&p, 0, static_cast<int32_t>(block.size()));
        }
        // New: the old synth goes (the render may take its rebuild before
        // the keys are let go), then the keys, then the save.
        ClearSynth();
        SettleEngineCommands();
        ReleaseAllKeys();
        Save("new.tarvelo");
        if (!set) PlaybackActive = 0;
      }
      stored += storedVoices("new.tarvelo") > 0 ? 1 : 0;
      sounding += soundsAfterLoad("new.tarvelo") > 0 ? 1 : 0;
    }
    EXPECT_EQ(stored, 0) << c.what << ": " << stored << " of " << c.rounds << " files hold voices";
    EXPECT_EQ(sounding, 0) << c.what << ": " << sounding << " of " << c.rounds << " loaded synths sound";
  }

  // The other side: files with voices on and no held key naming them, or
  // with the reset still to come.
  ResetEngine();
  Save("quiet.tarvelo");
  const auto quiet = Bytes("quiet.tarvelo");
  const Layout l = Walk(quiet);
  const struct {
    const char* what;
    bool named;
    int32_t pending;
  } hostile[] = {{"no held keys", false, kPendingTaken},
                 {"held keys, a reset to come", true, kPendingReset},
                 {"no held keys, a reset to come", false, kPendingReset}};
  for (const auto& h : hostile) {
    auto b = quiet;
    for (int32_t k = 0; k < 2 * kKeyboardBankSize; ++k) {
      KeyboardState state;
      KeyboardStateInit(state);
      for (int32_t v = 0; v < 4; ++v) {
        state.Voices[v].Frequency.Store(110.0f * (v + 1));
        state.Voices[v].Velocity.Store(1.0f);
        state.Voices[v].State.Store(kVoiceOn);
        state.ActiveList[v].Store(v);
        if (h.named) StoreHeldKey(state.HeldKeys[v], 0, 50u + v, v);
      }
      state.ActiveCount.Store(4);
      state.VoicesOn.Store(4);
      state.LastVoice.Store(3);
      state.NewNote.Store(1);
      state.Pending.Store(h.pending);
      std::memcpy(b.data() + l.states + 4 + k * sizeof(KeyboardState), &state, sizeof state);
    }
    WriteBytes(Os("SYNTHS/hostile.tarvelo"), b);
    EXPECT_EQ(soundsAfterLoad("hostile.tarvelo"), 0) << h.what;
    for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
      EXPECT_EQ(KeyboardStates[k].Load()->VoicesOn.Load(), 0) << h.what << ", keyboard " << k;
      EXPECT_EQ(OctaveBoardStates[k].Load()->VoicesOn.Load(), 0) << h.what << ", octave board " << k;
    }
  }
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
