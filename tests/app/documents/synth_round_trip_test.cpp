// Synths saved and loaded back. Random synths from a seed (the shared builder
// of tests/engine/random_patch.h), saved with the program's save and loaded
// again, render bit for bit what the synth that was saved renders from the
// same keys; and a synth saved while it plays comes back with every module's
// kept state, from which its next frames go on.
//
// TARVELO_ROUND_TRIP_SEEDS sets how many seeds the random tests run (a longer
// run than CI's).
#include "app/documents/synth_file.h"

#include "synth_doc_fixture.h"
#include "tests/engine/random_patch.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/documents/wave_convert.h"
#include "basics/errors.h"
#include "engine/command.h"
#include "engine/dsp/mixer.h"
#include "engine/globals.h"
#include "platform/threads.h"

namespace Tarvelo {
namespace doc_test {
namespace {

namespace rp = random_patch;

int32_t SeedCount(int32_t fallback) {
  const char* s = std::getenv("TARVELO_ROUND_TRIP_SEEDS");
  const int32_t n = s != nullptr ? std::atoi(s) : 0;
  return n > 0 ? n : fallback;
}

class SynthRoundTripTest : public SynthDocumentTest {
 protected:
  void SetUp() override {
    SynthDocumentTest::SetUp();
    // The keys go through the tuning, under the locks the program makes.
    for (platform::Mutex*& m : MT_TUNINGS)
      if (m == nullptr) m = platform::MutexCreate(), madeLocks_ = true;
    PlaybackActive = 0;
    RequestTuningApply();
    // A two-channel sound in the synth's list: what the file can refer to.
    MakeWav(Home("AUDIO\\s.wav"), 2400, 2, 32, 48000);
    const int32_t lib = ConvertAndLoadWave(Home("AUDIO"), "s.wav");
    ASSERT_GE(lib, 0);
    ASSERT_EQ(AddLoadedWave(*SampleLibrary.entries[lib], -1), 0);
  }
  void TearDown() override {
    PlaybackActive = 0;
    ResetEngine();
    rp::FreeEntries(patch_);
    if (madeLocks_) {
      for (platform::Mutex*& m : MT_TUNINGS) {
        platform::MutexDestroy(m);
        m = nullptr;
      }
    }
    SynthDocumentTest::TearDown();
  }

  static bool Listed(const WaveLibraryList& list, const WaveLibraryEntry* e) {
    for (int32_t i = 0; i < list.header.count; ++i)
      if (list.entries[i] == e) return true;
    return false;
  }
  // A file refers to sounds by their place in the synth's sample list: the
  // builder's own sounds become the listed one (an Oscillator's sound is not
  // stored: it loses it).
  void ListSounds() {
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      ModuleRecord* m = ModuleList.entries[i];
      if (m->SampleEntry.Load() == nullptr || Listed(SynthSamples, m->SampleEntry.Load()) || Listed(MelodyLibrary, m->SampleEntry.Load()))
        continue;
      PostAttachWave(m, m->Type == kTypeSample ? SynthSamples.entries[0] : nullptr, 0);
    }
    // Melodies are written to files of their own by the save.
    for (int32_t i = 0; i < MelodyLibrary.header.count; ++i) {
      WaveLibraryEntry* e = MelodyLibrary.entries[i];
      if (e == nullptr || !QUARLE_BASICS::DynZStringGet(e->File).empty()) continue;
      QUARLE_BASICS::DynZStringAssign(e->Folder, Home("MELODIES"));
      QUARLE_BASICS::DynZStringAssign(e->File, "m" + std::to_string(i) + ".mel");
    }
  }
  // The change a load makes on purpose to a synth built as the interface
  // builds it: a setting out of its parameter's range (NaN too) comes back as
  // the default, and each element of its value module out of the range as the
  // value. Made before the save, so that any other difference shows.
  static void Conform() {
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      ModuleRecord* m = ModuleList.entries[i];
      for (int32_t p = 0; p < std::min(m->ParamCount, kModuleParams); ++p) {
        ModuleParam& q = m->Params[p];
        float lo = q.Min, hi = q.Max;
        if (q.Scale != 0.0f) lo /= q.Scale, hi /= q.Scale;
        if (lo > hi) std::swap(lo, hi);
        auto within = [&](float x) { return x >= lo && x <= hi; };
        if (!within(q.Value.Load())) q.Value.Store(q.InitialValue);
        if (ModuleRecord* k = m->PortValueModules[p])
          for (int32_t ch = 0; ch < 2; ++ch)
            for (int32_t v = 0; v < kVoices; ++v) {
              if (!within(k->Outputs[ch][v].Level)) k->Outputs[ch][v].Level = q.Value.Load();
              if (!within(k->Outputs[ch][v].Frequency)) k->Outputs[ch][v].Frequency = q.Value.Load();
            }
      }
    }
  }
  // What else a load makes of a synth on purpose, applied to the synth that
  // was saved, so that it renders as the loaded one should:
  // - a keyboard state is repaired as stored: only voices that are on and
  //   named by a held key are kept, none when its stored count is 0 (a voice
  //   released since the last frame goes at once, without the frame that
  //   would free it) or a reset was pending;
  // - the switches: Play back on but for four types, a control module's zero
  //   switch, an envelope's, a keyboard's kill-released word as NOT its first
  //   switch, the per-voice word forced by the type's polyphony;
  // - the tuning is the one its file holds (an applied change not saved to
  //   the file goes);
  // - a module keeps only the sound the file keeps (a Sample's, a
  //   Convolutive filter's, a Sequencer's: an Oscillator's or a Melody
  //   generator's goes), attached again without a take;
  // - a module's channels are what its settings and links call for (a
  //   cycle no longer holds two channels that a sound since gone gave it);
  // - a module starts with no voices (but as the attach leaves it), and the
  //   order is rebuilt.
  static void ApplyLoadRules() {
    {
      platform::MutexGuard guard(MT_TUNINGS[kActiveTuning]);
      const std::string folder = QUARLE_BASICS::DynZStringGet(ActiveTuning.Folder);
      const std::string file = QUARLE_BASICS::DynZStringGet(ActiveTuning.FileName);
      EXPECT_EQ(LoadTuning(ActiveTuning, folder, file), 0);
    }
    RequestTuningApply();
    for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
      SanitizeLoadedKeyboardState(*KeyboardStates[k].Load());
      SanitizeLoadedKeyboardState(*OctaveBoardStates[k].Load());
    }
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      ModuleRecord& m = *ModuleList.entries[i];
      Shared<int64_t>* sw = m.ModuleSwitches;
      for (int32_t w = 0; w < kModuleSwitchWords; ++w) sw[w].Store(sw[w].Load() != 0 ? -1 : 0);
      if (m.Category == kCategoryControl && m.Type != kTypeMapper) sw[kSwitchZeroOut].Store(-1);
      if (m.Type == kTypeAdsr || m.Type == kTypeEnvelopeFollower) sw[kSwitchEnvelope].Store(-1);
      if (m.Type != kTypeSample && m.Type != kTypeSequencer && m.Type != kTypeMelodyGenerator &&
          m.Type != kTypeStepSequencer)
        sw[kSwitchPlay].Store(-1);
      if (m.Type == kTypeKeyboard || m.Type == kTypeOctaveBoard) sw[kSwitchKillReleased].Store(sw[kSwitch1].Load() != 0 ? 0 : -1);
      if (m.PolyphonyCapability == 1) sw[kSwitchPerVoice].Store(-1);
      if (m.PolyphonyCapability == 0) sw[kSwitchPerVoice].Store(0);
      m.PolyphonyMode.Store(sw[kSwitchPerVoice].Load() != 0 ? 1 : 0);
      if (m.Type != kTypeSample && m.Type != kTypeSequencer && m.Type != kTypeConvolutiveFilter)
        m.SampleEntry.Store(nullptr), m.SampleData = nullptr;
      if (m.KeepsState == 0) sw[kSwitchRecord].Store(0);
      m.RecordDone.Store(0);
      m.ActiveVoices.Store(0);
      m.SleepingVoices = 0;
      if (m.SampleEntry.Load() != nullptr) {
        // Attached as the load attaches it (no take goes on), the kept state
        // taken after.
        float kept[kChannelRows][kVoiceColumns];
        std::memcpy(kept, m.VoiceState, sizeof kept);
        AttachWaveToModule(&m, m.SampleEntry.Load(), 0);
        if (m.KeepsState != 0) std::memcpy(m.VoiceState, kept, sizeof kept);
      }
      int32_t channels = ModuleCatalog[m.Type].ChannelsProcessed.Load();
      for (int32_t p = 0; p < std::min(m.ParamCount, kPortValueSlots); ++p)
        if (m.PortValueModules[p] != nullptr && m.Params[p].ChannelCountExempt == 0)
          channels = std::max(channels, m.Params[p].WriteBothChannels != 0 ? 1 : 2);
      m.ChannelsProcessed.Store(channels);
    }
    SettleLoadedChannels(ModuleList.count);
    RequestGraphRebuild(0, 0, SynthOutputModule.load());
  }
  static constexpr int32_t kTypeEnvelopeFollower = 14;
  static constexpr int32_t kTypeConvolutiveFilter = 17;

  // The patch's modules are the listed ones again (after a load).
  void Relist() {
    patch_.modules.assign(ModuleList.entries, ModuleList.entries + ModuleList.count);
    patch_.held.clear();
  }

  void Save(const std::string& name) { ASSERT_EQ(SaveSession(Home("SYNTHS"), name), 0); }
  void Load(const std::string& name) {
    ASSERT_EQ(LoadSynth(Home("SYNTHS"), name), 0);
    Relist();
  }

  // Blocks of 32 frames, a key pressed or released before each: per block, a
  // hash of the frames and one of each listed module's voices and outputs.
  struct Take {
    std::vector<uint64_t> frames;
    std::vector<std::vector<uint64_t>> modules;
  };
  Take Play(uint32_t seed, int32_t blocks) {
    Take t;
    rp::Rng keys(seed ^ 0x5EEDu);
    SeedRandom(seed);
    std::vector<float> block(64);
    for (int32_t b = 0; b < blocks; ++b) {
      rp::PlayRandomNote(keys, patch_);
      float* p = block.data();
      RenderAudio(&p, 0, static_cast<int32_t>(block.size()));
      rp::Hash h;
      for (float x : block) h.Float(x);
      t.frames.push_back(h.h);
      std::vector<uint64_t> row;
      for (int32_t i = 0; i < ModuleList.count; ++i) {
        rp::Hash m;
        rp::HashModule(m, *ModuleList.entries[i]);
        row.push_back(m.h);
      }
      t.modules.push_back(row);
    }
    return t;
  }
  // The first block where two takes part, and the module that parts first
  // (-1: the frames only); empty when they agree.
  static std::string Parting(const Take& a, const Take& b) {
    for (size_t k = 0; k < a.frames.size() && k < b.frames.size(); ++k) {
      for (size_t i = 0; i < a.modules[k].size() && i < b.modules[k].size(); ++i)
        if (a.modules[k][i] != b.modules[k][i])
          return "block " + std::to_string(k) + ", module " + std::to_string(i) + " (type " +
                 std::to_string(ModuleList.entries[i]->Type) + ")";
      if (a.frames[k] != b.frames[k] || a.modules[k].size() != b.modules[k].size())
        return "block " + std::to_string(k) + ", the frames";
    }
    return a.frames.size() == b.frames.size() ? std::string() : "the length";
  }

  // The audio thread's stand-in: renders blocks while playback is on, so that a
  // save takes its copy under a frame hold.
  // The render on a thread of its own: blocks of 48 frames back to back, or
  // with a rest given, bursts of 480 frames that far apart (in ms), as a
  // stream renders a buffer and then waits until the device wants the next.
  struct Player {
    std::atomic<bool> stop{false};
    std::atomic<bool> resting{false};
    std::thread thread;
    explicit Player(int32_t restMs = 0) {
      PlaybackActive = -1;
      thread = std::thread([this, restMs] {
        std::vector<float> block(restMs > 0 ? 960 : 96);
        while (!stop.load()) {
          float* p = block.data();
          RenderAudio(&p, 0, static_cast<int32_t>(block.size()));
          if (restMs <= 0) {
            std::this_thread::yield();
            continue;
          }
          resting = true;
          std::this_thread::sleep_for(std::chrono::milliseconds(restMs));
          resting = false;
        }
      });
    }
    // Until a burst has ended and the rest after it begun.
    void WaitResting() {
      while (resting.load()) std::this_thread::yield();
      while (!resting.load()) std::this_thread::yield();
    }
    ~Player() {
      stop = true;
      thread.join();
      PlaybackActive = 0;
      SettleEngineCommands();
    }
    static void Wait(uint64_t frames) {
      const uint64_t until = FrameCounter.load() + frames;
      while (FrameCounter.load() < until) std::this_thread::yield();
    }
  };

  // The kept state each listed module's record holds in a saved file.
  std::vector<std::vector<float>> StoredStates(const std::string& name) {
    const auto b = ReadBytes(Os("SYNTHS/" + name));
    const Layout l = Walk(b);
    std::vector<std::vector<float>> states;
    for (int32_t i = 0; i < l.recordCount - kModuleTypeCount; ++i) {
      const ModuleFileRecord r = RecordAt(b, l, i);
      std::vector<float> v;
      for (int32_t ch = 0; ch < 2; ++ch)
        for (int32_t k = 0; k < kVoices; ++k) v.push_back(std::isfinite(r.Slots[ch][k][0]) ? r.Slots[ch][k][0] : 0.0f);
      states.push_back(v);
    }
    return states;
  }
  static std::vector<float> StateOf(const ModuleRecord& m) {
    std::vector<float> v;
    for (int32_t ch = 0; ch < 2; ++ch)
      for (int32_t k = 0; k < kVoices; ++k) v.push_back(m.VoiceState[ch][k]);
    return v;
  }
  static bool Equal(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
  }
  static bool AnyNonZero(const std::vector<float>& a) {
    for (float x : a)
      if (x != 0.0f) return true;
    return false;
  }

  // A Keyboard playing a two-channel Sample, the module of the type reading the
  // Sample on its lead port (two channels reach it through a link) as the
  // synth output.
  void BuildAround(int32_t type, rp::Rng& rng) {
    ModuleRecord* kb = rp::AddOfType(patch_, kTypeKeyboard);
    ModuleRecord* sound = rp::AddOfType(patch_, kTypeSample);
    ModuleRecord* x = type == kTypeSample ? sound : rp::AddOfType(patch_, type);
    ASSERT_TRUE(kb != nullptr && sound != nullptr && x != nullptr) << type;
    for (ModuleRecord* m : {kb, sound, x}) {
      if (m->PolyphonyCapability == 2) m->ModuleSwitches[kSwitchPerVoice].Store(-1), m->PolyphonyMode.Store(1);
      if (m->DerivedFlag1 != 0) m->ModuleSwitches[kSwitchPlay].Store(-1);
    }
    PostAttachWave(sound, SynthSamples.entries[0], 0);
    if (type == kTypeSequencer || type == kTypeMelodyGenerator) PostAttachWave(x, rp::NewMelody(rng, 8, true), 0);
    rp::LinkPort(sound, sound->VoiceMapSourcePort.Load(), kb);
    if (x != sound) rp::LinkPort(x, x->VoiceMapSourcePort.Load(), sound);
    RequestGraphRebuild(0, 0, x);
  }

  // Each listed module's kept state and voices and outputs.
  static std::vector<std::vector<float>> States() {
    std::vector<std::vector<float>> states;
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      const ModuleRecord& m = *ModuleList.entries[i];
      std::vector<float> v = StateOf(m);
      rp::Hash h;
      rp::HashModule(h, m);
      v.push_back(std::bit_cast<float>(static_cast<uint32_t>(h.h)));
      states.push_back(v);
    }
    return states;
  }

  rp::Patch patch_;
  bool madeLocks_ = false;
};

// Built and saved without playing, rendered from the same keys before and
// after the load.
TEST_F(SynthRoundTripTest, LoadedSynthsRenderAsTheSavedOnes) {
  // ThreadSanitizer, many times slower, runs the first 40 seeds.
#if defined(__SANITIZE_THREAD__)
  const int32_t seeds = SeedCount(40);
#else
  const int32_t seeds = SeedCount(100);
#endif
  for (int32_t seed = 1; seed <= seeds; ++seed) {
    ResetEngine();
    rp::FreeEntries(patch_);
    patch_ = rp::Patch{};
    rp::Rng rng(static_cast<uint64_t>(seed));
    rp::BuildPatch(rng, patch_, 1 + rng.Below(8));
    ListSounds();
    Conform();
    Save("r.tarvelo");
    const Take before = Play(static_cast<uint32_t>(seed), 48);
    Load("r.tarvelo");
    const Take after = Play(static_cast<uint32_t>(seed), 48);
    const std::string parting = Parting(before, after);
    if (!parting.empty()) {
      std::string types;
      for (int32_t i = 0; i < ModuleList.count; ++i) types += " " + std::to_string(ModuleList.entries[i]->Type);
      ADD_FAILURE() << "seed " << seed << " parts at " << parting << "; types" << types;
    }
  }
}

// Built, then edited with playback off (nothing rendered, every key let go
// before the save), saved, and rendered from the same keys before and after
// the load, the load's own rules applied to the synth that was saved: keys
// only, sounds only (attached, detached, taken), and every kind of edit.
// TARVELO_ROUND_TRIP_EDITS names one of the three to run alone.
TEST_F(SynthRoundTripTest, EditedSynthsRenderAsTheSavedOnes) {
  // The sound seeds start where two of them detach a two-channel sound with
  // playback off.
  const struct {
    const char* name;
    int32_t first;
    std::vector<int32_t> kinds;
  } sets[] = {
      {"keys", 1, {rp::kActNote}},
      {"sounds", 90, {rp::kActSound}},
      {"mixed", 1, {rp::kActLink, rp::kActUnlink, rp::kActSwitch, rp::kActValue, rp::kActMoves, rp::kActSound,
                    rp::kActMelody, rp::kActTuning, rp::kActCopy, rp::kActDelete, rp::kActAdd, rp::kActNote}},
  };
#if defined(__SANITIZE_THREAD__)
  const int32_t seeds = SeedCount(6);
#else
  const int32_t seeds = SeedCount(12);
#endif
  const char* only = std::getenv("TARVELO_ROUND_TRIP_EDITS");
  for (const auto& set : sets) {
    if (only != nullptr && set.name != std::string(only)) continue;
    std::vector<int32_t> done(rp::kActionKinds, 0);
    int32_t untaken = 0;  // seeds saved with key changes no frame took
    for (int32_t seed = set.first; seed < set.first + seeds; ++seed) {
      ResetEngine();
      rp::FreeEntries(patch_);
      patch_ = rp::Patch{};
      rp::Rng rng(static_cast<uint64_t>(seed));
      rp::BuildPatch(rng, patch_, 1 + rng.Below(8));
      // Six edits; with many kinds each seed takes its own six of them, so that
      // a few seeds make every kind.
      const int32_t kinds = static_cast<int32_t>(set.kinds.size());
      for (int32_t a = 0; a < 6; ++a) {
        const int32_t pick = rng.Below(kinds);
        const int32_t kind = set.kinds[static_cast<size_t>(kinds > 6 ? (seed + 5 * a) % kinds : pick)];
        ++done[static_cast<size_t>(rp::ApplyAction(rng, patch_, kind))];
      }
      rp::ReleaseAll(patch_);
      ListSounds();
      Conform();
      for (int32_t k = 0; k < kKeyboardBankSize; ++k)
        if (KeyboardStates[k].Load()->Pending.Load() != 0 || OctaveBoardStates[k].Load()->Pending.Load() != 0) {
          ++untaken;
          break;
        }
      Save("e.tarvelo");
      ApplyLoadRules();
      const Take before = Play(static_cast<uint32_t>(seed), 48);
      Load("e.tarvelo");
      const Take after = Play(static_cast<uint32_t>(seed), 48);
      const std::string parting = Parting(before, after);
      if (!parting.empty()) {
        std::string types;
        for (int32_t i = 0; i < ModuleList.count; ++i) types += " " + std::to_string(ModuleList.entries[i]->Type);
        ADD_FAILURE() << set.name << " seed " << seed << " parts at " << parting << "; types" << types;
      }
    }
    for (int32_t kind : set.kinds) {
      EXPECT_GT(done[static_cast<size_t>(kind)], 0) << set.name << ": no edit " << kind;
    }
    if (set.kinds.size() == 1 && set.kinds[0] == rp::kActNote) {
      EXPECT_GT(untaken, 0) << "no synth was saved with keys no frame had taken";
    }
  }
}

// Played, saved with the program's save (a copy between two frames) and
// loaded back: every module of a type that keeps state (phases, play and read
// positions) holds what its record holds, and the frames after the load go on
// from it the same whether the load ran with playback off or while playing
// (its rebuild then runs in a frame). First one synth per such type, then
// random synths changed while they play.
TEST_F(SynthRoundTripTest, ASynthSavedWhilePlayingComesBackWithItsModulesState) {
  std::vector<int32_t> types;
  for (int32_t t = 0; t < kModuleTypeCount; ++t)
    if (ModuleCatalog[t].KeepsState != 0) types.push_back(t);
  const int32_t seeds = SeedCount(12);
  std::vector<int32_t> kept(kModuleTypeCount, 0);
  for (size_t c = 0; c < types.size() + static_cast<size_t>(seeds); ++c) {
    const bool random = c >= types.size();
    const std::string what = random ? "seed " + std::to_string(c - types.size() + 1)
                                    : "type " + std::to_string(types[c]);
    ResetEngine();
    rp::FreeEntries(patch_);
    patch_ = rp::Patch{};
    rp::Rng rng(c + 1);
    if (random)
      rp::BuildPatch(rng, patch_, 2 + rng.Below(8));
    else
      BuildAround(types[c], rng);
    // A random synth plays a while, is changed with playback off, and plays
    // on; the others only play.
    for (int32_t round = random ? 3 : 1; round > 0; --round) {
      if (round == 1) ListSounds();
      {
        Player player;
        patch_.playing = true;
        if (patch_.held.empty())
          for (int32_t k = 0; k < 3; ++k)
            if (const int32_t h = KeyNoteOn(40 + 7 * k, 0.8f, 1); h >= 0) patch_.held.push_back({h, 40 + 7 * k, 1});
        for (int32_t step = 0; step < 30; ++step) {
          Player::Wait(64);
          if (random) rp::PlayRandomNote(rng, patch_);
        }
        if (round == 1) Save("p.tarvelo");
      }
      patch_.playing = false;
      for (int32_t a = round > 1 ? 6 : 0; a > 0; --a) rp::ApplyRandomAction(rng, patch_);
    }
    EXPECT_EQ(CountReports("The audio engine did not"), 0) << what;
    // What the file holds, read before the load lists the modules again.
    std::vector<std::vector<float>> stored;
    {
      const int32_t before = ModuleList.count;
      stored = StoredStates("p.tarvelo");
      ASSERT_EQ(static_cast<int32_t>(stored.size()), before) << what;
    }

    // While playing: the load's rebuild runs in a frame; then n frames.
    std::vector<std::vector<float>> playing;
    uint64_t frames = 0;
    {
      Player player;
      // The old synth goes silent first (as the load's first step does), so
      // that both loads start from one random state.
      RequestGraphRebuild(~uint64_t{0}, 0, nullptr);
      WaitEngineCommandSlot();
      SeedRandom(7);
      Load("p.tarvelo");
      Player::Wait(200);
      FrameHold hold;
      ASSERT_TRUE(hold.held) << what;
      frames = FrameCounter.load() - InstallFrame.load();
      playing = States();
    }

    // Playback off: the state stands as loaded, and n frames give the same.
    SeedRandom(7);
    Load("p.tarvelo");
    ASSERT_EQ(ModuleList.count, static_cast<int32_t>(stored.size())) << what;
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      const ModuleRecord& m = *ModuleList.entries[i];
      if (m.KeepsState == 0) continue;
      EXPECT_TRUE(Equal(StateOf(m), stored[static_cast<size_t>(i)]))
          << what << ": module " << i << " (type " << m.Type << ") does not hold the state its record holds";
      if (AnyNonZero(stored[static_cast<size_t>(i)])) ++kept[static_cast<size_t>(m.Type)];
    }
    std::vector<float> block(2 * frames);
    float* p = block.data();
    if (frames > 0) RenderAudio(&p, 0, static_cast<int32_t>(block.size()));
    const auto off = States();
    ASSERT_EQ(off.size(), playing.size()) << what;
    for (size_t i = 0; i < off.size(); ++i)
      EXPECT_TRUE(Equal(off[i], playing[i])) << what << ": module " << i << " (type " << ModuleList.entries[i]->Type
                                             << ") after " << frames << " frames";
  }
  // The types whose phases and positions came back as 0 are among those checked.
  for (int32_t t : {int32_t{kTypeSample}, int32_t{kTypeOscillator}, 35, 36, int32_t{kTypeStepSequencer}, 32})
    EXPECT_GT(kept[static_cast<size_t>(t)], 0) << "no saved state of type " << t << " was checked";
}

// A module switched off right before a save, while the render rests between
// two bursts as a stream does between its buffers: the rebuild that resets a
// switched-off module's voices is still waiting when the save starts. The
// save lets what the interface posted before it run first, so the file holds
// the state the load restores (none, for a module switched off), not the
// phases the module had before it went off.
TEST_F(SynthRoundTripTest, AModuleSwitchedOffRightBeforeASaveComesBackAsSaved) {
  rp::Rng rng(1);
  BuildAround(kTypeOscillator, rng);
  ModuleRecord* osc = nullptr;
  for (int32_t i = 0; i < ModuleList.count && osc == nullptr; ++i)
    if (ModuleList.entries[i]->Type == kTypeOscillator) osc = ModuleList.entries[i];
  ASSERT_NE(osc, nullptr);
  {
    Player player(100);
    for (int32_t k = 0; k < 3; ++k)
      if (const int32_t h = KeyNoteOn(40 + 7 * k, 0.8f, 1); h >= 0) patch_.held.push_back({h, 40 + 7 * k, 1});
    Player::Wait(2000);
    {
      FrameHold hold;
      ASSERT_TRUE(hold.held);
      ASSERT_TRUE(AnyNonZero(StateOf(*osc))) << "the oscillator does not play";
    }
    player.WaitResting();
    osc->ModuleSwitches[kSwitchPower].Store(0, std::memory_order_seq_cst);
    RequestGraphRebuild(0, 0, nullptr);
    Save("off.tarvelo");
  }
  EXPECT_EQ(CountReports("The audio engine did not"), 0);
  const std::vector<std::vector<float>> stored = StoredStates("off.tarvelo");
  Load("off.tarvelo");
  ASSERT_EQ(ModuleList.count, static_cast<int32_t>(stored.size()));
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    const ModuleRecord& m = *ModuleList.entries[i];
    if (m.KeepsState == 0) continue;
    EXPECT_TRUE(Equal(StateOf(m), stored[static_cast<size_t>(i)]))
        << "module " << i << " (type " << m.Type << ", power " << m.ModuleSwitches[kSwitchPower].Load()
        << ") does not hold the state its record holds";
  }
}

// A save whose copy outlasts the render's wait for it (a loaded machine, here
// a wait made tiny) still holds one frame of every module: the frames the
// render plays meanwhile touch no module. Four like Oscillators fed alike
// keep one phase, so a copy taken across frames shows as unlike phases.
TEST_F(SynthRoundTripTest, ASaveOutlastingTheRendersWaitHoldsOneFrame) {
  ModuleRecord* kb = rp::AddOfType(patch_, kTypeKeyboard);
  ModuleRecord* sound = rp::AddOfType(patch_, kTypeSample);
  ModuleRecord* mix = rp::AddOfType(patch_, kTypeMixer);
  ASSERT_TRUE(kb != nullptr && sound != nullptr && mix != nullptr);
  PostAttachWave(sound, SynthSamples.entries[0], 0);
  rp::LinkPort(sound, sound->VoiceMapSourcePort.Load(), kb);
  std::vector<int32_t> oscillators;
  for (int32_t k = 0; k < 4; ++k) {
    ModuleRecord* osc = rp::AddOfType(patch_, kTypeOscillator);
    ASSERT_NE(osc, nullptr);
    rp::LinkPort(osc, osc->VoiceMapSourcePort.Load(), sound);
    rp::LinkPort(mix, kMixerFirstInput + k, osc);
    oscillators.push_back(osc->ListIndex.Load());
  }
  for (ModuleRecord* m : patch_.modules) {
    if (m->PolyphonyCapability == 2) m->ModuleSwitches[kSwitchPerVoice].Store(-1), m->PolyphonyMode.Store(1);
    if (m->DerivedFlag1 != 0) m->ModuleSwitches[kSwitchPlay].Store(-1);
  }
  RequestGraphRebuild(0, 0, mix);
  const double limit = FrameHoldLimit;
  FrameHoldLimit = 1e-6;
  int32_t torn = 0;
  int32_t playing = 0;
  {
    Player player;
    for (int32_t k = 0; k < 3; ++k)
      if (const int32_t h = KeyNoteOn(40 + 7 * k, 0.8f, 1); h >= 0) patch_.held.push_back({h, 40 + 7 * k, 1});
    for (int32_t round = 0; round < 20; ++round) {
      Player::Wait(64);
      Save("held.tarvelo");
      const std::vector<std::vector<float>> stored = StoredStates("held.tarvelo");
      ASSERT_EQ(stored.size(), static_cast<size_t>(ModuleList.count));
      const std::vector<float>& first = stored[static_cast<size_t>(oscillators[0])];
      playing += AnyNonZero(first);
      for (int32_t i : oscillators) torn += !Equal(stored[static_cast<size_t>(i)], first);
    }
  }
  FrameHoldLimit = limit;
  EXPECT_EQ(torn, 0);
  EXPECT_GT(playing, 0) << "the oscillators never played";
}

// A render that never stops at a frame boundary (stuck inside a frame): the
// save asks again, then gives up and says so, and the file saved before
// stays as it was rather than taking a copy the render may be writing. A
// load stuck from its start changes nothing; one whose render stops
// answering once the old synth is gone keeps the templates.
TEST_F(SynthRoundTripTest, ASaveOrLoadTheRenderNeverPausesForKeepsTheFileAndTheTemplates) {
  rp::Rng rng(3);
  BuildAround(kTypeOscillator, rng);
  Save("kept.tarvelo");
  const std::vector<unsigned char> before = ReadBytes(Os("SYNTHS/kept.tarvelo"));
  rp::AddOfType(patch_, kTypeOscillator);
  // What f returns with the render stuck inside a frame; untilCleared: it
  // still takes commands at its frame boundaries (long waits for them: a busy
  // machine) until the synth's modules are gone and it took every command,
  // then it is stuck. No frame hold is asked before that.
  auto stuck = [&](const std::function<int32_t()>& f, bool untilCleared = false) {
    const double hold = FrameHoldWait, slot = CommandSlotWait, live = ModuleLiveWait;
    FrameHoldWait = CommandSlotWait = ModuleLiveWait = 0.01;
    // Each wait that gives up once the render is stuck takes all of this:
    // long enough for a starved thread's next 1-ms look, no longer.
    if (untilCleared) CommandSlotWait = ModuleLiveWait = 5.0;
    PlaybackActive = -1;
    RenderBusy = 1;
    Reports().clear();
    std::atomic<bool> done{false};
    std::thread render;
    if (untilCleared) {
      render = std::thread([&] {
        while (!done.load() &&
               (std::atomic_ref<int32_t>(ModuleList.count).load() > 0 || EngineCommandPending())) {
          if (EngineCommandPending() && FrameHoldWanted.load() == 0) ExecuteEngineCommand();
          platform::SleepMs(1);
        }
      });
    }
    const int32_t rc = f();
    done = true;
    if (render.joinable()) render.join();
    RenderBusy = 0;
    PlaybackActive = 0;
    FrameHoldWait = hold;
    CommandSlotWait = slot;
    ModuleLiveWait = live;
    return rc;
  };
  EXPECT_LT(stuck([&] { return SaveSession(Home("SYNTHS"), "kept.tarvelo"); }), 0);
  EXPECT_EQ(CountReports("Could not save kept.tarvelo: Waiting for audio thread."), 1);
  EXPECT_TRUE(ReadBytes(Os("SYNTHS/kept.tarvelo")) == before);

  ModuleCatalog[kTypeOscillator].Params[0].Value.Store(0.75f);
  Save("templates.tarvelo");
  const std::vector<unsigned char> templates = ReadBytes(Os("SYNTHS/templates.tarvelo"));
  ModuleCatalog[kTypeOscillator].Params[0].Value.Store(0.25f);
  const int32_t modules = ModuleList.count;
  const auto load = [&] { return LoadSynth(Home("SYNTHS"), "templates.tarvelo"); };

  // Stuck from the start of the load, inside a frame that plays the synth's
  // sample: the load cannot take the output away, so it refuses, says why
  // once and frees nothing; the frame still reads its sample as it ends.
  WaveLibraryEntry* const played = SynthSamples.entries[0];
  const float* const data = played->Sound.samples;
  const uint32_t count = played->Sound.dataSize / sizeof(float);
  ASSERT_TRUE(data != nullptr && count > 0);
  ModuleRecord* const output = SynthOutputModule.load();
  const std::string session = SessionFile;
  EXPECT_EQ(stuck(load), -QUARLE_BASICS::kErrUnknown);
  float sum = 0.0f;
  for (uint32_t i = 0; i < count; ++i) sum += data[i];  // the stuck frame ends
  EXPECT_FALSE(std::isnan(sum));
  EXPECT_EQ(CountReports("Waiting for audio thread."), 1);
  EXPECT_EQ(ModuleList.count, modules);
  EXPECT_EQ(SynthOutputModule.load(), output);
  EXPECT_TRUE(Listed(SynthSamples, played));
  EXPECT_EQ(SessionFile, session);
  EXPECT_EQ(ModuleCatalog[kTypeOscillator].Params[0].Value.Load(), 0.25f);
  SettleEngineCommands();  // what the load left asked for runs: the output stays
  EXPECT_FALSE(EngineCommandPending());
  EXPECT_EQ(SynthOutputModule.load(), output);

  // A render that stops answering once the old synth is gone: the load makes
  // none of the synth's modules (each is copied from its template, which a
  // frame may be writing) and leaves the templates as they were, rather than
  // rewrite them under a frame that reads them; it says why once and fails,
  // as a load that could not read its file does. The file is then no longer
  // the session: a session save would write the synth it could not make over
  // it.
  const int32_t loaded = stuck(load, true);
  EXPECT_EQ(loaded, -QUARLE_BASICS::kErrUnknown);
  EXPECT_EQ(CountReports("Waiting for audio thread."), 1);
  EXPECT_EQ(ModuleList.count, 0) << "of " << modules;
  EXPECT_EQ(ModuleCatalog[kTypeOscillator].Params[0].Value.Load(), 0.25f);
  EXPECT_NE(SessionFile, "templates.tarvelo");
  EXPECT_EQ(SaveSession(SessionFolder, SessionFile), 0);
  EXPECT_TRUE(ReadBytes(Os("SYNTHS/templates.tarvelo")) == templates);
  EXPECT_TRUE(ReadBytes(Os("SYNTHS/kept.tarvelo")) == before);
  Load("templates.tarvelo");  // nothing renders now: the file's modules and template
  EXPECT_EQ(ModuleList.count, modules);
  EXPECT_EQ(ModuleCatalog[kTypeOscillator].Params[0].Value.Load(), 0.75f);
  EXPECT_EQ(SessionFile, "templates.tarvelo");
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
