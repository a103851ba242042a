// Golden renders: every module type in each polyphony mode it has, fed by
// linked and constant ports while notes start, join, end and ring out, plus
// feedback cables and whole synth chains, rendered frame by frame through the
// real render callback. Every float of the stream and of the watched module's
// outputs (level and frequency of each voice it publishes) goes into a 64-bit
// hash per case; a few stream samples are kept beside it so that a mismatch
// shows roughly where the sound went elsewhere. The render path may be laid
// out any way that keeps these bit for bit.
//
// The goldens live in data/golden_renders.txt. To record them again (only
// when a change of sound is intended and explained) run this program alone:
//   TARVELO_GOLDEN_WRITE=1 ./test_engine_dsp --gtest_filter='Golden*'
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/dsp/type_rig.h"
#include "engine/dsp/arithmetic.h"
#include "engine/dsp/averages.h"
#include "engine/dsp/delay.h"
#include "engine/dsp/distortion.h"
#include "engine/dsp/dynamics.h"
#include "engine/dsp/filter.h"
#include "engine/dsp/logic.h"
#include "engine/dsp/mixer.h"
#include "engine/dsp/pitch.h"
#include "engine/dsp/stepseq.h"
#include "engine/tuning.h"

namespace Tarvelo {
namespace {

using namespace testing_rig;

constexpr int32_t kTFilter = 22;
constexpr int32_t kTMixer = 18;
constexpr int32_t kTAddition = 33;
constexpr int32_t kTHarmonic = 6;
constexpr int32_t kTDistortion = 23;
constexpr int32_t kCaptureBlock = 48;
// Stream frames whose left sample is kept beside the hash.
constexpr int64_t kSampleFrames[4] = {1000, 4000, 8000, 12000};

std::string GoldenPath() { return std::string(TARVELO_SOURCE_DIR) + "/tests/engine/dsp/data/golden_renders.txt"; }
bool Writing() { return std::getenv("TARVELO_GOLDEN_WRITE") != nullptr; }

// One case's record: the hash, the frames rendered and the sampled floats'
// bit patterns.
struct Golden {
  uint64_t hash = 0;
  int64_t frames = 0;
  uint32_t samples[4] = {};

  std::string Text() const {
    char s[128];
    std::snprintf(s, sizeof(s), "%016" PRIx64 " %" PRId64 " %08x %08x %08x %08x", hash, frames, samples[0],
                  samples[1], samples[2], samples[3]);
    return s;
  }
};

std::map<std::string, std::string> ReadGoldens() {
  std::map<std::string, std::string> all;
  std::ifstream in(GoldenPath());
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    all[line.substr(0, space)] = line.substr(space + 1);
  }
  return all;
}

void WriteGolden(const std::string& name, const Golden& g) {
  std::map<std::string, std::string> all = ReadGoldens();
  all[name] = g.Text();
  std::ofstream out(GoldenPath(), std::ios::trunc);
  out << "# name hash frames left@1000 left@4000 left@8000 left@12000 (see golden_render_test.cpp)\n";
  for (const auto& [n, text] : all) out << n << ' ' << text << '\n';
}

// Every NaN hashes alike: which NaN two NaNs give (its sign and payload)
// depends on the order the compiler put them in, which differs between the
// plain and the AVX2 builds.
uint32_t Bits(float x) {
  if (x != x) return 0x7fc00000u;
  uint32_t u;
  std::memcpy(&u, &x, 4);
  return u;
}

// Many voices whose ids leave their positions: twenty notes, five from the
// middle let go while the rest hold, three new ones take the freed ids, then
// all end and ring out. Keys straight into the keyboard's voices.
class ManyVoices {
 public:
  ManyVoices(KeyboardState& state, platform::Mutex* lock) : state_(state), lock_(lock) {}
  void On(int32_t from, int32_t count) {
    for (int32_t k = from; k < from + count; ++k) {
      platform::MutexGuard guard(lock_);
      ids_.push_back(NoteOn(state_, KeyToFrequency(k), 0.4f + 0.02f * static_cast<float>(k % 16)));
    }
  }
  void Off(size_t from, size_t count) {
    for (size_t i = from; i < from + count && i < ids_.size(); ++i) {
      platform::MutexGuard guard(lock_);
      NoteOff(state_, ids_[i]);
    }
  }
  size_t Count() const { return ids_.size(); }

 private:
  KeyboardState& state_;
  platform::Mutex* lock_;
  std::vector<int32_t> ids_;
};

template <class PlayFn>
void PlayManyVoices(ManyVoices& notes, PlayFn play) {
  notes.On(20, 20);
  play(2400);
  notes.Off(6, 5);
  play(2400);
  notes.On(44, 3);
  play(2400);
  notes.Off(0, notes.Count());
  play(4800);
}

class GoldenRender : public TypeRig {
 protected:
  // The frame counter, the parity and the random generator (the catalog's
  // first step pattern is drawn from it) outlive an engine restart: each case
  // starts from the same ones whichever cases ran before it in the program.
  void SetUp() override {
    SeedRandom(7);
    FrameCounter.store(0);
    FrameParity = 0;
    PreviousFrameParity = 1;
    TypeRig::SetUp();
  }

  // FNV-1a over 32-bit words.
  void Mix(uint32_t word) {
    for (int32_t k = 0; k < 4; ++k) {
      golden_.hash ^= (word >> (8 * k)) & 0xFFu;
      golden_.hash *= 0x100000001B3ull;
    }
  }

  // What followers of a module can read: column 0 always, and every voice it
  // publishes, on each channel it processes.
  void MixOutputs(const ModuleRecord* m) {
    Mix(static_cast<uint32_t>(m->ActiveVoices.Load()));
    const int32_t channels = m->ChannelsProcessed.Load() > 1 ? 2 : 1;
    int32_t voices = m->ActiveVoices.Load() > 1 ? m->ActiveVoices.Load() : 1;
    if (voices > kVoices) voices = kVoices;
    for (int32_t ch = 0; ch < channels; ++ch) {
      for (int32_t v = 0; v < voices; ++v) {
        Mix(Bits(m->Outputs[ch][v].Level));
        Mix(Bits(m->Outputs[ch][v].Frequency));
      }
    }
  }

  // The voice ids a trigger owner publishes beside its outputs.
  void MixVoiceIds(const ModuleRecord* m) {
    int32_t voices = m->ActiveVoices.Load() > 1 ? m->ActiveVoices.Load() : 1;
    if (voices > kVoices) voices = kVoices;
    for (int32_t v = 0; v < voices; ++v) Mix(static_cast<uint32_t>(m->VoiceIds[v]));
  }

  // Renders frame by frame, feeding the capture ring block by block as the
  // audio thread does.
  void Play(int64_t frames) {
    for (int64_t i = 0; i < frames; ++i) {
      if (capturing_ && rendered_ % kCaptureBlock == 0) {
        float block[2 * kCaptureBlock];
        for (int32_t k = 0; k < 2 * kCaptureBlock; ++k)
          block[k] = 0.3f * std::sin(static_cast<float>(rendered_ + k / 2) * 0.05f);
        float* in = block;
        int64_t resync = 0;
        CaptureAudio(&in, 2 * kCaptureBlock, &resync);
      }
      float frame[2] = {-9.0f, -9.0f};
      float* out = frame;
      RenderAudio(&out, 0, 2);
      Mix(Bits(frame[0]));
      Mix(Bits(frame[1]));
      if (m_ != nullptr) MixOutputs(m_);
      for (const ModuleRecord* w : watched_) MixOutputs(w);
      for (const ModuleRecord* w : idsWatched_) MixVoiceIds(w);
      for (int32_t k = 0; k < 4; ++k)
        if (rendered_ == kSampleFrames[k]) golden_.samples[k] = Bits(frame[0]);
      if (frame[0] != 0.0f) heard_ = true;
      ++rendered_;
      if (tick_ && rendered_ % kCaptureBlock == 0) tick_(rendered_ / kCaptureBlock - 1);
    }
  }

  // Three notes, a fourth joins, all end and ring out, two more start and end.
  void PlayScenario() {
    PlayNoteScenario([this](int64_t frames) { Play(frames); });
  }

  void Check(const std::string& name) {
    golden_.frames = rendered_;
    if (Writing()) {
      WriteGolden(name, golden_);
      return;
    }
    const std::map<std::string, std::string> all = ReadGoldens();
    const auto it = all.find(name);
    ASSERT_NE(it, all.end()) << "no golden render for " << name;
    EXPECT_EQ(golden_.Text(), it->second) << name << " no longer renders bit for bit as recorded";
  }

  Golden golden_;
  std::vector<const ModuleRecord*> watched_;  // hashed beside m_
  std::vector<const ModuleRecord*> idsWatched_;  // voice ids hashed too
  int64_t rendered_ = 0;
  bool heard_ = false;
};

// ---------------------------------------------------------------------------
// Every type in every mode.

class GoldenType : public GoldenRender, public ::testing::WithParamInterface<Config> {};

TEST_P(GoldenType, RendersAsRecorded) {
  const Config config = GetParam();
  Build(kPlans[config.type], config.mode);
  if (HasFatalFailure()) return;
  PlayScenario();
  if (HasFatalFailure()) return;
  Check(ConfigName(config));
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenType, ::testing::ValuesIn(AllConfigs()),
                         [](const ::testing::TestParamInfo<Config>& info) { return ConfigName(info.param); });

// ---------------------------------------------------------------------------
// Chains and feedback cables, each in both modes.

class GoldenChain : public GoldenRender, public ::testing::WithParamInterface<int32_t> {
 protected:
  bool PerVoiceMode() const { return GetParam() == 1; }
  ModuleRecord* Made(int32_t type) {
    ModuleRecord* m = Add(type);
    if (m != nullptr && PerVoiceMode()) PerVoice(m);
    return m;
  }
  std::string Named(const char* name) const { return std::string(name) + (PerVoiceMode() ? "_PerVoice" : "_SingleVoice"); }

  // The many-voice cases' ending: `out` to the stream, the ManyVoices notes
  // played through, the render checked against its golden.
  void PlayManyVoicesAndCheck(ModuleRecord* out, const char* name) {
    Output(out);
    ManyVoices notes(*KeyboardStates[kb_->InstanceNumber.Load() - 1].Load(), KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
    PlayManyVoices(notes, [this](int64_t frames) { Play(frames); });
    EXPECT_TRUE(heard_);
    Check(Named(name));
  }

  // The same, heard through a Mixer made last of `count` watched modules,
  // every `stride`th one.
  void MixWatchedAndCheck(int32_t count, int32_t stride, float volume, const char* name) {
    ModuleRecord* mixer = Made(kTMixer);
    ASSERT_NE(mixer, nullptr);
    for (int32_t p = 0; p < count; ++p) Link(mixer, kMixerFirstInput + p, const_cast<ModuleRecord*>(watched_[stride * p]));
    Set(mixer, kMixerMasterVolume, volume);
    PlayManyVoicesAndCheck(mixer, name);
  }

  // What each frame of the many-voice cases below mixes into the hash besides
  // the sound: nothing, the watched modules' clip flags, or those and their
  // voice counts.
  enum class Watch { kSound, kClips, kClipsAndVoices };

  // The many-voice cases' ending heard through a Mixer of `all`, which are
  // watched too, at 0.05.
  void MixAllAndCheck(std::initializer_list<ModuleRecord*> all, Watch watch, const char* name) {
    for (ModuleRecord* w : all) watched_.push_back(w);
    ModuleRecord* mixer = Made(kTMixer);
    ASSERT_NE(mixer, nullptr);
    int32_t p = 0;
    for (ModuleRecord* w : all) Link(mixer, kMixerFirstInput + p++, w);
    Set(mixer, kMixerMasterVolume, 0.05f);
    Output(mixer);
    ManyVoices notes(*KeyboardStates[kb_->InstanceNumber.Load() - 1].Load(), KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
    PlayManyVoices(notes, [&](int64_t frames) {
      if (watch == Watch::kSound) {
        Play(frames);
        return;
      }
      for (int64_t i = 0; i < frames; ++i) {
        Play(1);
        for (const ModuleRecord* w : all) {
          Mix(static_cast<uint32_t>(w->ClipFlag.Load()));
          if (watch == Watch::kClipsAndVoices) Mix(static_cast<uint32_t>(w->VoicesToCompute));
        }
      }
    });
    EXPECT_TRUE(heard_);
    Check(Named(name));
  }
};

// Keyboard holding 32 notes -> envelope -> sawtooth -> two filters, the
// render benchmark's synth; the notes then end and ring out.
TEST_P(GoldenChain, ThirtyTwoSawtoothsThroughTwoFilters) {
  BuildFeed(true);
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* osc = Made(kTypeOscillator);
  ModuleRecord* f1 = Made(kTFilter);
  ModuleRecord* f2 = Made(kTFilter);
  ASSERT_TRUE(osc && f1 && f2);
  SetOscillatorShape(*osc, 3);
  Link(osc, kOscFrequency, env_);
  Link(osc, kOscAmplitude, env_);
  Set(osc, kOscAmplitude, 1.0f / 32.0f);
  Link(f1, kFilterInput, osc);
  Set(f1, kFilterLowPass, 0.75f);
  Link(f2, kFilterInput, f1);
  Set(f2, kFilterLowPass, 0.75f);
  Set(f2, kFilterHighPass, 0.02f);
  Output(f2);
  m_ = f1;
  // More notes than keys can be held: straight into the keyboard's voices.
  KeyboardState& state = *KeyboardStates[kb_->InstanceNumber.Load() - 1].Load();
  std::vector<int32_t> voices;
  for (int32_t k = 0; k < 32; ++k) {
    platform::MutexGuard guard(KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
    voices.push_back(NoteOn(state, KeyToFrequency(20 + k), 0.5f + 0.01f * static_cast<float>(k)));
  }
  Play(4800);
  for (int32_t v : voices) {
    platform::MutexGuard guard(KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
    NoteOff(state, v);
  }
  Play(4800);
  EXPECT_TRUE(heard_);
  Check(Named("Saw32Filters"));
}

// Keyboard -> envelope -> oscillator -> filter -> delay -> mixer with the dry
// voice beside the delayed one.
TEST_P(GoldenChain, ChainThroughDelayAndMixer) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  ModuleRecord* filter = Made(kTFilter);
  ModuleRecord* delay = Made(kTDelay);
  ModuleRecord* mixer = Made(kTMixer);
  ASSERT_TRUE(filter && delay && mixer);
  SetOscillatorShape(*voice_, 2);
  Link(filter, kFilterInput, voice_);
  Set(filter, kFilterLowPass, 0.8f);
  Set(filter, kFilterHighPass, 0.05f);
  Link(filter, kFilterHighPass, lfo_);
  Link(delay, kDelayInput, filter);
  Set(delay, kDelayPeriod, 0.01f);
  Link(mixer, kMixerFirstInput, delay);
  Link(mixer, kMixerFirstInput + 1, filter);
  Set(mixer, kMixerFirstInput + 1, 0.5f);
  Output(mixer);
  m_ = filter;
  PlayScenario();
  EXPECT_TRUE(heard_);
  Check(Named("DelayMixerChain"));
}

// A feedback cable: the mixer hears the voice and its own output delayed,
// and an adder feeds its own output back into itself.
TEST_P(GoldenChain, FeedbackCables) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  ModuleRecord* mixer = Made(kTMixer);
  ModuleRecord* delay = Made(kTDelay);
  ModuleRecord* adder = Made(kTAddition);
  ASSERT_TRUE(mixer && delay && adder);
  Link(mixer, kMixerFirstInput, voice_);
  Link(delay, kDelayInput, mixer);
  Set(delay, kDelayPeriod, 0.005f);
  Link(mixer, kMixerFirstInput + 1, delay);
  Set(mixer, kMixerFirstInput + 1, 0.6f);
  Link(adder, 0, mixer);
  Link(adder, 1, adder);
  Set(adder, 1, 0.5f);
  Output(adder);
  m_ = mixer;
  PlayScenario();
  EXPECT_TRUE(heard_);
  Check(Named("FeedbackCables"));
}

// Every wave shape in four settings: plain; negative period, phase offset,
// duty 0.6 and the doubled frequency; period 2, negative duty, one period
// only and rewind at frequency 0; a loud amplitude with a moving bias that
// clips. Each Oscillator in the chosen mode, fed per voice; the Sine wave
// type beside them with and without its switches.
TEST_P(GoldenChain, WaveShapesManyVoices) {
  BuildFeed(true);
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  for (int32_t shape = 0; shape < kWaveShapeCount; ++shape) {
    for (int32_t variant = 0; variant < 4; ++variant) {
      ModuleRecord* osc = Made(kTypeOscillator);
      ASSERT_NE(osc, nullptr);
      SetOscillatorShape(*osc, shape);
      Link(osc, kOscFrequency, kb_);
      Link(osc, kOscAmplitude, env_);
      Set(osc, kOscAmplitude, 0.5f);
      switch (variant) {
        case 1:
          Set(osc, kOscPeriod, -1.5f);
          Set(osc, kOscPhase, 0.3f);
          Set(osc, kOscDuty, 0.6f);
          osc->ModuleSwitches[kSwitch2].Store(-1);
          break;
        case 2:
          Set(osc, kOscPeriod, 2.0f);
          Set(osc, kOscDuty, -0.4f);
          osc->ModuleSwitches[kSwitchLoop].Store(0);
          osc->ModuleSwitches[kSwitchRewind].Store(-1);
          break;
        case 3:
          Set(osc, kOscAmplitude, 3.0f);
          Link(osc, kOscBias, lfo_);
          break;
        default:
          break;
      }
      watched_.push_back(osc);
    }
  }
  for (int32_t variant = 0; variant < 2; ++variant) {
    ModuleRecord* sine = Made(kTSineWave);
    ASSERT_NE(sine, nullptr);
    Link(sine, kOscFrequency, kb_);
    Link(sine, kOscAmplitude, env_);
    Set(sine, kOscAmplitude, variant == 0 ? 0.5f : 4.0f);
    if (variant == 1) {
      sine->ModuleSwitches[kSwitch2].Store(-1);
      sine->ModuleSwitches[kSwitchRewind].Store(-1);
    }
    watched_.push_back(sine);
  }
  MixWatchedAndCheck(kMixerInputs, 3, 0.1f, "WaveShapesManyVoices");
}

// Oscillators off the common road, in many voices: two channels (with the
// shape's settings plain, and with a negative period, a duty and the doubled
// frequency); a phase offset that differs per voice; an amplitude bent by the
// module's own output; a period that swings through 0 and a duty that swings
// through both signs, one period only; a bias and an amplitude per voice
// from another oscillator.
TEST_P(GoldenChain, OscillatorsOffTheCommonRoad) {
  BuildFeed(true);
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  for (int32_t k = 0; k < 9; ++k) {
    ModuleRecord* osc = Made(kTypeOscillator);
    ASSERT_NE(osc, nullptr);
    SetOscillatorShape(*osc, (3 * k + 1) % kWaveShapeCount);
    Link(osc, kOscFrequency, kb_);
    Link(osc, kOscAmplitude, env_);
    Set(osc, kOscAmplitude, 0.7f);
    switch (k) {
      case 0:
        ModuleUpdateChannels(*osc, 2, -1);
        Link(osc, kOscBias, lfo_);
        break;
      case 1:
        ModuleUpdateChannels(*osc, 2, -1);
        Set(osc, kOscPeriod, -0.75f);
        Set(osc, kOscDuty, 0.45f);
        osc->ModuleSwitches[kSwitch2].Store(-1);
        break;
      case 2:
        Link(osc, kOscPhase, env_);
        Set(osc, kOscPhase, 0.8f);
        break;
      case 3:
        Link(osc, kOscAmplitude, osc);
        Set(osc, kOscAmplitude, 2.5f);
        Set(osc, kOscBias, 0.1f);
        break;
      case 4:
        Link(osc, kOscPeriod, lfo_);
        Set(osc, kOscPeriod, 3.0f);
        Link(osc, kOscDuty, lfo_);
        Set(osc, kOscDuty, -1.6f);
        osc->ModuleSwitches[kSwitchLoop].Store(0);
        break;
      case 5:
        Link(osc, kOscDuty, lfo_);
        Set(osc, kOscDuty, 1.8f);
        osc->ModuleSwitches[kSwitchLoop].Store(0);
        osc->ModuleSwitches[kSwitchRewind].Store(-1);
        osc->ModuleSwitches[kSwitch2].Store(-1);
        break;
      case 6:
        Link(osc, kOscBias, voice_);
        Link(osc, kOscAmplitude, voice_);
        Set(osc, kOscAmplitude, 1.5f);
        break;
      case 7:
        SetOscillatorShape(*osc, 3);
        Set(osc, kOscPeriod, 0.0f);
        Link(osc, kOscBias, lfo_);
        break;
      default:
        SetOscillatorShape(*osc, 0);
        Set(osc, kOscPhase, -2.3f);
        Set(osc, kOscPeriod, -3.5f);
        Set(osc, kOscDuty, -0.2f);
        break;
    }
    watched_.push_back(osc);
  }
  MixWatchedAndCheck(9, 1, 0.2f, "OscillatorsOffTheCommonRoad");
}

// Two-operator FM: a sine modulator whose depth follows the envelope, added
// to the note's frequency, drives a sine carrier.
TEST_P(GoldenChain, FrequencyModulation) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* mod = Made(kTypeOscillator);
  ModuleRecord* add = Made(kTAddition);
  ModuleRecord* car = Made(kTypeOscillator);
  ASSERT_TRUE(mod && add && car);
  SetOscillatorShape(*mod, 0);
  SetOscillatorShape(*car, 0);
  Link(mod, kOscFrequency, env_);
  Link(mod, kOscAmplitude, env_);
  Set(mod, kOscAmplitude, 0.02f);
  Link(add, 0, kb_);
  add->Params[0].OutputSide.Store(1);
  Link(add, 1, mod);
  Link(car, kOscFrequency, add);
  Link(car, kOscAmplitude, env_);
  Set(car, kOscAmplitude, 0.03f);
  m_ = add;
  watched_.push_back(mod);
  PlayManyVoicesAndCheck(car, "FrequencyModulation");
}

// Envelopes in the modes the usual held note never reaches, side by side on
// one keyboard of four keys, each heard through its own Oscillator: a
// retrigger factor, repeat (SW1) with a sustain that ends by time, a live
// sustain input, zero-length decay and release, a zero-length attack, and a
// sustain that ends by time without repeat. Notes end mid-attack, change
// pitch and velocity while held, end by a zero pitch and start again on the
// same voice (a retrigger), and more notes come than keys, so that released
// voices are taken while their envelopes still ring.
TEST_P(GoldenChain, EnvelopeModes) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 4.0f);
  ModuleRecord* mixer = Made(kTMixer);
  ASSERT_NE(mixer, nullptr);
  Set(mixer, kMixerMasterVolume, 0.2f);
  for (int32_t k = 0; k < 6; ++k) {
    ModuleRecord* env = Made(kTAdsr);
    ModuleRecord* osc = Made(kTypeOscillator);
    ASSERT_TRUE(env && osc);
    Link(env, kAdsrFrequency, kb_);
    Link(env, kAdsrVelocity, kb_);
    Set(env, kAdsrAttack, 0.01f);
    Set(env, kAdsrDecay, 0.02f);
    Set(env, kAdsrSustain, 0.5f);
    Set(env, kAdsrSustainLength, 0.0f);
    Set(env, kAdsrRelease, 0.03f);
    switch (k) {
      case 0:
        Set(env, kAdsrRetrigger, 0.7f);
        break;
      case 1:
        env->ModuleSwitches[kSwitch1].Store(-1);
        for (int32_t p : {kAdsrAttack, kAdsrDecay, kAdsrSustainLength, kAdsrRelease}) Set(env, p, 0.004f);
        break;
      case 2:
        Link(env, kAdsrSustain, lfo_);
        Set(env, kAdsrSustain, 0.6f);
        Set(env, kAdsrDecay, 0.04f);
        break;
      case 3:
        Set(env, kAdsrDecay, 0.0f);
        Set(env, kAdsrRelease, 0.0f);
        break;
      case 4:
        Set(env, kAdsrAttack, 0.0f);
        break;
      default:
        Set(env, kAdsrSustainLength, 0.015f);
        break;
    }
    Link(osc, kOscFrequency, kb_);
    Link(osc, kOscAmplitude, env);
    Set(osc, kOscAmplitude, 0.5f);
    Link(mixer, kMixerFirstInput + k, osc);
    watched_.push_back(env);
  }
  Output(mixer);
  KeyboardState& state = *KeyboardStates[kb_->InstanceNumber.Load() - 1].Load();
  platform::Mutex* lock = KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1];
  auto on = [&](int32_t key, float velocity) {
    platform::MutexGuard guard(lock);
    return NoteOn(state, KeyToFrequency(key), velocity);
  };
  auto off = [&](int32_t id) {
    platform::MutexGuard guard(lock);
    NoteOff(state, id);
  };
  auto slide = [&](int32_t id, float frequency, float velocity) {
    platform::MutexGuard guard(lock);
    SlideVoice(state, id, frequency, velocity);
  };
  const int32_t a = on(30, 0.9f);
  const int32_t b = on(34, 0.6f);
  const int32_t c = on(37, 0.75f);
  Play(300);
  off(a);  // mid-attack
  Play(700);
  slide(b, KeyToFrequency(36), 0.3f);
  Play(900);
  slide(c, 0.0f, 0.75f);
  Play(250);
  slide(c, KeyToFrequency(39), 0.85f);  // back on the same voice mid-release
  Play(1500);
  std::vector<int32_t> more;
  for (int32_t key : {41, 44, 47}) more.push_back(on(key, 0.5f));
  off(b);
  Play(200);
  more.push_back(on(49, 0.7f));  // takes a released voice
  Play(1200);
  for (int32_t id : {b, c}) off(id);
  for (int32_t id : more) off(id);
  Play(3000);
  EXPECT_TRUE(heard_);
  Check(Named("EnvelopeModes"));
}

// Envelopes whose velocity is no voice's: set as a value, global (the
// template's value) and one switched between the keyboard and its value
// while the notes hold, each value and the sustain moved at the start of a
// frame as a controller would, in attack, decay and sustain.
TEST_P(GoldenChain, EnvelopeSetVelocities) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord& templ = ModuleCatalog[kTAdsr];
  ModuleRecord* envs[3];
  for (ModuleRecord*& env : envs) {
    env = Made(kTAdsr);
    ASSERT_NE(env, nullptr);
    Link(env, kAdsrFrequency, kb_);
    Set(env, kAdsrAttack, 0.01f);
    Set(env, kAdsrDecay, 0.02f);
    Set(env, kAdsrSustain, 0.6f);
    Set(env, kAdsrSustainLength, 0.0f);
    Set(env, kAdsrRelease, 0.03f);
    watched_.push_back(env);
  }
  Set(envs[0], kAdsrVelocity, 0.8f);
  envs[1]->Params[kAdsrVelocity].Global.Store(-1);
  ModuleLinkInput(*envs[1], kAdsrVelocity, nullptr, &templ);
  ASSERT_EQ(envs[1]->Params[kAdsrVelocity].PortLinkState.Load(), kPortGlobal);
  Set(&templ, kAdsrVelocity, 0.7f);
  Link(envs[2], kAdsrVelocity, kb_);
  Set(envs[2], kAdsrVelocity, 0.9f);
  ModuleRecord* mixer = Made(kTMixer);
  ASSERT_NE(mixer, nullptr);
  for (int32_t p = 0; p < 3; ++p) Link(mixer, kMixerFirstInput + p, envs[p]);
  Set(mixer, kMixerMasterVolume, 0.02f);
  Output(mixer);
  ManyVoices notes(*KeyboardStates[kb_->InstanceNumber.Load() - 1].Load(), KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
  notes.On(20, 20);
  Play(300);
  Set(envs[0], kAdsrVelocity, 0.5f);  // in the attack
  Play(700);
  Set(&templ, kAdsrVelocity, 0.4f);  // in the decay
  ModuleLinkInput(*envs[2], kAdsrVelocity, nullptr, &templ);  // its value from now on
  Play(1500);
  Set(envs[0], kAdsrVelocity, 0.95f);  // in the sustain
  Set(envs[2], kAdsrVelocity, 0.3f);
  Play(400);
  Link(envs[2], kAdsrVelocity, kb_);  // the keyboard's velocities again
  Set(envs[1], kAdsrSustain, 0.45f);
  Play(400);
  Set(envs[0], kAdsrSustain, 1.5f);
  Set(&templ, kAdsrVelocity, -0.6f);
  Play(400);
  notes.Off(6, 5);
  Play(600);
  notes.On(44, 3);
  Play(300);
  Set(envs[0], kAdsrVelocity, 0.25f);  // the new notes' attack
  Play(2000);
  notes.Off(0, notes.Count());
  Play(3000);
  EXPECT_TRUE(heard_);
  Check(Named("EnvelopeSetVelocities"));
}

// Partials: per partial a Harmonic of the note drives an Oscillator (the
// shapes in turn) through a Filter and a Distortion into a Mixer, whose mean
// goes through a last Filter.
TEST_P(GoldenChain, HarmonicPartials) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* mixer = Made(kTMixer);
  ModuleRecord* last = Made(kTFilter);
  ASSERT_TRUE(mixer && last);
  Set(mixer, kMixerMasterVolume, 0.5f);
  for (int32_t k = 1; k <= 6; ++k) {
    ModuleRecord* h = Made(kTHarmonic);
    ModuleRecord* osc = Made(kTypeOscillator);
    ModuleRecord* f = Made(kTFilter);
    ModuleRecord* d = Made(kTDistortion);
    ASSERT_TRUE(h && osc && f && d);
    Link(h, kHarmonicFrequency, kb_);
    Set(h, kHarmonicFactor, static_cast<float>(k));
    SetOscillatorShape(*osc, (k - 1) % 4);
    Link(osc, kOscFrequency, h);
    Link(osc, kOscAmplitude, env_);
    Set(osc, kOscAmplitude, 1.0f / static_cast<float>(k));
    Link(f, kFilterInput, osc);
    Set(f, kFilterLowPass, 0.6f + 0.05f * static_cast<float>(k));
    Set(f, kFilterHighPass, k % 2 == 0 ? 0.0f : 0.03f);
    Link(d, kDistortionInput, f);
    Set(d, kDistortionFactor, 0.05f * static_cast<float>(k));
    if (k == 3) Link(d, kDistortionAttenuation, lfo_);
    Link(mixer, kMixerFirstInput + k - 1, d);
    Set(mixer, kMixerFirstInput + k - 1, k == 2 ? -0.7f : 1.0f);
    watched_.push_back(d);
  }
  Link(last, kFilterInput, mixer);
  Set(last, kFilterLowPass, 0.5f);
  m_ = mixer;
  PlayManyVoicesAndCheck(last, "HarmonicPartials");
}

// Filters, Distortions and Mixers in the modes the plain cases leave out, in
// many voices whose ids leave their positions. Filters: high pass alone; a
// low pass that freezes for a while and then moves again; per-voice low and
// high pass in two channels; a low pass read from its own output; seven
// passes of a loud input that clips; an input fed back from itself.
// Distortions: a set attenuation; a per-voice factor with an attenuation that
// clips; an attenuation read from its own output in two channels; factor and
// attenuation both linked. Mixers: live inputs beside set unlinked ones under
// a per-voice master; one that hears its own output; sources of one voice
// and of many together.
TEST_P(GoldenChain, FilterDistortionMixerModes) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* loud = Made(testing_synth::kTypeLevel);
  ASSERT_NE(loud, nullptr);
  Link(loud, 0, voice_);
  Set(loud, 1, 4.0f);
  ModuleRecord* f[6];
  for (int32_t k = 0; k < 6; ++k) {
    f[k] = Made(kTFilter);
    ASSERT_NE(f[k], nullptr);
    Link(f[k], kFilterInput, voice_);
    watched_.push_back(f[k]);
  }
  Set(f[0], kFilterLowPass, 0.0f);
  Set(f[0], kFilterHighPass, 0.3f);
  Set(f[1], kFilterLowPass, 0.6f);
  Set(f[1], kFilterPasses, 2.0f);
  ModuleUpdateChannels(*f[2], 2, -1);
  Link(f[2], kFilterLowPass, env_);
  Link(f[2], kFilterHighPass, env_);
  Set(f[2], kFilterPasses, 3.0f);
  Link(f[3], kFilterLowPass, f[3]);
  Set(f[3], kFilterHighPass, 0.1f);
  Link(f[4], kFilterInput, loud);
  Set(f[4], kFilterLowPass, 1.5f);
  Set(f[4], kFilterHighPass, 0.5f);
  Set(f[4], kFilterPasses, 7.0f);
  Link(f[5], kFilterInput, f[5]);
  Set(f[5], kFilterLowPass, 0.5f);
  tick_ = [this, f](int64_t block) {
    if (block == 30) Set(f[1], kFilterLowPass, 1.0f);
    if (block == 80) Set(f[1], kFilterHighPass, 0.2f);
    if (block == 130) Set(f[1], kFilterLowPass, -0.7f);
  };
  ModuleRecord* d[4];
  for (int32_t k = 0; k < 4; ++k) {
    d[k] = Made(kTDistortion);
    ASSERT_NE(d[k], nullptr);
    Link(d[k], kDistortionInput, k == 1 ? loud : voice_);
    watched_.push_back(d[k]);
  }
  Set(d[0], kDistortionFactor, 0.3f);
  Set(d[0], kDistortionAttenuation, 0.4f);
  Link(d[1], kDistortionFactor, env_);
  Set(d[1], kDistortionAttenuation, -1.5f);
  ModuleUpdateChannels(*d[2], 2, -1);
  Link(d[2], kDistortionAttenuation, d[2]);
  Set(d[2], kDistortionFactor, 0.8f);
  Link(d[3], kDistortionFactor, lfo_);
  Link(d[3], kDistortionAttenuation, env_);
  ModuleRecord* x[3];
  for (int32_t k = 0; k < 3; ++k) {
    x[k] = Made(kTMixer);
    ASSERT_NE(x[k], nullptr);
    watched_.push_back(x[k]);
  }
  Link(x[0], kMixerFirstInput, f[0]);
  Set(x[0], kMixerFirstInput + 1, 0.7f);
  Link(x[0], kMixerFirstInput + 2, d[0]);
  Set(x[0], kMixerFirstInput + 2, -0.8f);
  Link(x[0], kMixerMasterVolume, env_);
  Link(x[1], kMixerFirstInput, d[1]);
  Link(x[1], kMixerFirstInput + 3, x[1]);
  Set(x[1], kMixerFirstInput + 3, 0.5f);
  Set(x[1], kMixerMasterVolume, 0.9f);
  ModuleUpdateChannels(*x[2], 2, -1);
  Link(x[2], kMixerFirstInput + 4, lfo_);
  Link(x[2], kMixerFirstInput + 5, f[2]);
  Link(x[2], kMixerFirstInput + 6, d[2]);
  Set(x[2], kMixerMasterVolume, 8.0f);
  MixWatchedAndCheck(13, 1, 0.3f, "FilterDistortionMixerModes");
  EXPECT_NE(f[4]->ClipFlag.Load(), 0);
  EXPECT_NE(d[1]->ClipFlag.Load(), 0);
  EXPECT_NE(x[2]->ClipFlag.Load(), 0);
}

// Whole chunks of voices (8, then 32 held notes) through two-channel Filters
// (five passes with a high pass; a frozen one), a two-channel Distortion and
// a per-voice Mixer of them, then the notes end and ring out.
TEST_P(GoldenChain, WholeChunksInTwoChannels) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* f = Made(kTFilter);
  ModuleRecord* frozen = Made(kTFilter);
  ModuleRecord* d = Made(kTDistortion);
  ModuleRecord* mixer = Made(kTMixer);
  ASSERT_TRUE(f && frozen && d && mixer);
  for (ModuleRecord* m : {f, frozen, d}) ModuleUpdateChannels(*m, 2, -1);
  Link(f, kFilterInput, voice_);
  Set(f, kFilterLowPass, 0.55f);
  Set(f, kFilterHighPass, 0.1f);
  Set(f, kFilterPasses, 5.0f);
  Link(frozen, kFilterInput, f);
  Set(frozen, kFilterLowPass, 1.0f);
  Link(d, kDistortionInput, f);
  Set(d, kDistortionFactor, 0.4f);
  Set(d, kDistortionAttenuation, 0.2f);
  Link(mixer, kMixerFirstInput, d);
  Link(mixer, kMixerFirstInput + 1, frozen);
  Set(mixer, kMixerFirstInput + 1, 0.8f);
  Link(mixer, kMixerFirstInput + 2, voice_);
  Set(mixer, kMixerMasterVolume, 0.6f);
  Output(mixer);
  ManyVoices notes(*KeyboardStates[kb_->InstanceNumber.Load() - 1].Load(), KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
  notes.On(30, 8);
  Play(2400);
  notes.On(40, 24);
  Play(2400);
  notes.Off(0, notes.Count());
  Play(4800);
  EXPECT_TRUE(heard_);
  Check(Named("WholeChunksInTwoChannels"));
}

// Voices of a per-voice Filter leave and come back on the same ids while the
// others stay in place: eight notes, the last four let go and freed, then
// four new ones on those ids, which go on from the states their ids kept.
TEST_F(GoldenRender, FilterVoicesComeBack) {
  BuildFeed(true);
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* filter = Add(kTFilter);
  ASSERT_NE(filter, nullptr);
  PerVoice(filter);
  Link(filter, kFilterInput, voice_);
  Set(filter, kFilterLowPass, 0.7f);
  Set(filter, kFilterHighPass, 0.1f);
  Set(filter, kFilterPasses, 2.0f);
  Output(filter);
  m_ = filter;
  ManyVoices notes(*KeyboardStates[kb_->InstanceNumber.Load() - 1].Load(), KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
  notes.On(30, 8);
  Play(2400);
  notes.Off(4, 4);
  Play(4800);
  notes.On(50, 4);
  Play(2400);
  notes.Off(0, notes.Count());
  Play(2400);
  EXPECT_TRUE(heard_);
  Check("FilterVoicesComeBack");
}

// Samples in many voices whose ids leave their positions, in the modes the
// plain Sample case leaves out: a stereo sound played once per note (no loop,
// rewind, doubled frequency, a short period); a frequency that changes sign
// (the position runs backwards) with a negative period and an amplitude that
// is not an envelope; no sound (the input passed through) loud enough to
// clip; a one-frame sound; a phase read from the module's own output; and a
// stereo recording that finishes and then plays.
TEST_P(GoldenChain, SampleModesManyVoices) {
  BuildFeed(true);
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  std::vector<float> mono(4800), stereo(2 * 3000);
  for (size_t i = 0; i < mono.size(); ++i)
    mono[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 480.0 * static_cast<double>(i) / 48000.0));
  for (size_t i = 0; i < stereo.size(); ++i)
    stereo[i] = (i % 2 == 0 ? 0.7f : -0.4f) * static_cast<float>(std::sin(0.031 * static_cast<double>(i / 2)));
  ModuleRecord* bend = Made(testing_synth::kTypeProduct);
  ASSERT_NE(bend, nullptr);
  Link(bend, 0, kb_);
  bend->Params[0].OutputSide.Store(1);
  Link(bend, 1, lfo_);
  for (int32_t variant = 0; variant < 7; ++variant) {
    ModuleRecord* s = Made(kTSample);
    ASSERT_NE(s, nullptr);
    Link(s, kSampleFrequency, kb_);
    Link(s, kSampleAmplitude, env_);
    Link(s, kSamplePhase, lfo_);
    switch (variant) {
      case 0:
        AttachWaveToModule(s, Sound(mono, 1, 480.0f), 0);
        break;
      case 1:
        AttachWaveToModule(s, Sound(stereo, 2, 300.0f), 0);
        ModuleUpdateChannels(*s, 2, -1);
        s->ModuleSwitches[kSwitchLoop].Store(0);
        s->ModuleSwitches[kSwitchRewind].Store(-1);
        s->ModuleSwitches[kSwitch2].Store(-1);
        Set(s, kSamplePeriod, 0.4f);
        break;
      case 2:
        AttachWaveToModule(s, Sound(mono, 1, 480.0f), 0);
        Link(s, kSampleFrequency, bend);
        Link(s, kSampleAmplitude, lfo_);
        Set(s, kSamplePeriod, -0.7f);
        Set(s, kSampleBias, 0.1f);
        break;
      case 3:
        Link(s, kSampleInput, voice_);
        Set(s, kSampleAmplitude, 8.0f);
        Link(s, kSampleBias, lfo_);
        break;
      case 4:
        AttachWaveToModule(s, Sound(std::vector<float>{0.6f}, 1, 0.0f), 0);
        Set(s, kSampleAmplitude, 2.5f);
        break;
      case 5:
        AttachWaveToModule(s, Sound(mono, 1, 480.0f), 0);
        Link(s, kSamplePhase, s);
        Set(s, kSampleBias, -0.05f);
        break;
      default:
        AttachWaveToModule(s, Sound(std::vector<float>(2 * 3000, 0.0f), 2, 0.0f), ~uint64_t{0});
        ModuleUpdateChannels(*s, 2, -1);
        Link(s, kSampleInput, voice_);
        break;
    }
    s->ModuleSwitches[kSwitchPlay].Store(-1);
    watched_.push_back(s);
  }
  MixWatchedAndCheck(7, 1, 0.3f, "SampleModesManyVoices");
  EXPECT_NE(watched_[3]->ClipFlag.Load(), 0);
  EXPECT_EQ(watched_[6]->ModuleSwitches[kSwitchRecord].Load(), 0) << "the recording finished";
}

// Samples in many voices at the edges of their reads: a mono sound on two
// channels (the second reads the first), steps many periods long that wrap
// again, infinite and NaN frequencies, a read point at the period's ends
// (phase past a whole length, period 1, played once), and a stereo sound
// played backwards from the rewound start.
TEST_P(GoldenChain, SampleEdgesManyVoices) {
  BuildFeed(true);
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  std::vector<float> mono(2000), stereo(2 * 1500);
  for (size_t i = 0; i < mono.size(); ++i)
    mono[i] = 0.6f * static_cast<float>(std::sin(0.017 * static_cast<double>(i * i % 9973)));
  for (size_t i = 0; i < stereo.size(); ++i)
    stereo[i] = (i % 2 == 0 ? 0.5f : -0.8f) * static_cast<float>(std::cos(0.043 * static_cast<double>(i / 2)));
  ModuleRecord* fast = Made(testing_synth::kTypeProduct);
  ASSERT_NE(fast, nullptr);
  Link(fast, 0, kb_);
  fast->Params[0].OutputSide.Store(1);
  Set(fast, 1, 700.0f);
  ModuleRecord* back = Made(testing_synth::kTypeProduct);
  ASSERT_NE(back, nullptr);
  Link(back, 0, kb_);
  back->Params[0].OutputSide.Store(1);
  Set(back, 1, -3.0f);
  for (int32_t variant = 0; variant < 6; ++variant) {
    ModuleRecord* s = Made(kTSample);
    ASSERT_NE(s, nullptr);
    Link(s, kSampleFrequency, kb_);
    Link(s, kSampleAmplitude, env_);
    switch (variant) {
      case 0:
        AttachWaveToModule(s, Sound(mono, 1, 200.0f), 0);
        ModuleUpdateChannels(*s, 2, -1);
        Link(s, kSamplePhase, lfo_);
        Set(s, kSamplePeriod, 0.9f);
        break;
      case 1:
        AttachWaveToModule(s, Sound(stereo, 2, 300.0f), 0);
        ModuleUpdateChannels(*s, 2, -1);
        Link(s, kSampleFrequency, fast);
        Set(s, kSamplePeriod, 0.3f);
        break;
      case 2:
        AttachWaveToModule(s, Sound(mono, 1, 200.0f), 0);
        Set(s, kSampleFrequency, std::numeric_limits<float>::infinity());
        Set(s, kSampleBias, 0.02f);
        break;
      case 3:
        AttachWaveToModule(s, Sound(mono, 1, 200.0f), 0);
        Set(s, kSampleFrequency, std::numeric_limits<float>::quiet_NaN());
        Link(s, kSamplePhase, lfo_);
        break;
      case 4:
        AttachWaveToModule(s, Sound(mono, 1, 200.0f), 0);
        s->ModuleSwitches[kSwitchLoop].Store(0);
        Set(s, kSamplePhase, -2.75f);
        Set(s, kSamplePeriod, 1.0f);
        break;
      default:
        AttachWaveToModule(s, Sound(stereo, 2, 300.0f), 0);
        ModuleUpdateChannels(*s, 2, -1);
        Link(s, kSampleFrequency, back);
        s->ModuleSwitches[kSwitchLoop].Store(0);
        s->ModuleSwitches[kSwitchRewind].Store(-1);
        Set(s, kSamplePeriod, -0.8f);
        break;
    }
    s->ModuleSwitches[kSwitchPlay].Store(-1);
    watched_.push_back(s);
  }
  MixWatchedAndCheck(6, 1, 0.3f, "SampleEdgesManyVoices");
}

// The types that play on after their input stops, in many voices whose ids
// leave their positions: Delays and Echoes with periods and decays shared or
// per voice, Mobile averages whose window follows each voice's envelope or is
// shared, an Envelope follower loud enough to clip; some in two channels.
TEST_P(GoldenChain, TailsManyVoices) {
  constexpr int32_t kTEcho = 16;
  constexpr int32_t kTFollower = 14;
  constexpr int32_t kTAverage = 42;
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  const int32_t types[8] = {kTDelay, kTDelay, kTEcho, kTEcho, kTAverage, kTAverage, kTFollower, kTFollower};
  for (int32_t k = 0; k < 8; ++k) {
    ModuleRecord* t = Made(types[k]);
    ASSERT_NE(t, nullptr);
    Link(t, 0, voice_);
    switch (k) {
      case 0: Set(t, kDelayPeriod, 0.004f); break;
      case 1:
        ModuleUpdateChannels(*t, 2, -1);
        Link(t, kDelayPeriod, env_);
        Set(t, kDelayPeriod, 0.01f);
        break;
      case 2:
        Set(t, kDelayPeriod, 0.003f);
        Link(t, kEchoDecay, lfo_);
        break;
      case 3:
        ModuleUpdateChannels(*t, 2, -1);
        Set(t, kDelayPeriod, 0.002f);
        Set(t, kEchoDecay, 0.3f);
        break;
      case 4:
        Link(t, kAveragePeriod, env_);
        Set(t, kAveragePeriod, 0.003f);
        break;
      case 5:
        ModuleUpdateChannels(*t, 2, -1);
        Set(t, kAveragePeriod, 0.002f);
        break;
      case 6:
        Set(t, kFollowerPeriod, 200.0f);
        Set(t, kFollowerGain, 6.0f);
        break;
      default:
        ModuleUpdateChannels(*t, 2, -1);
        Set(t, kFollowerPeriod, 37.0f);
        break;
    }
    watched_.push_back(t);
  }
  MixWatchedAndCheck(8, 1, 0.4f, "TailsManyVoices");
}

// The dynamics effects in many voices whose ids leave their positions: Soft
// Limiters with a shared and a per-voice threshold, one bending its own
// output; Wave Folders of one and of seven passes; Compressors with fast and
// slow periods, a makeup gain that clips, one in two channels.
TEST_P(GoldenChain, DynamicsManyVoices) {
  constexpr int32_t kTLimiter = 39;
  constexpr int32_t kTFolder = 28;
  constexpr int32_t kTCompressor = 31;
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* loud = Made(testing_synth::kTypeLevel);
  ASSERT_NE(loud, nullptr);
  Link(loud, 0, voice_);
  Set(loud, 1, 4.0f);
  const int32_t types[8] = {kTLimiter, kTLimiter, kTLimiter, kTFolder, kTFolder, kTCompressor, kTCompressor, kTCompressor};
  for (int32_t k = 0; k < 8; ++k) {
    ModuleRecord* t = Made(types[k]);
    ASSERT_NE(t, nullptr);
    Link(t, 0, loud);
    switch (k) {
      case 0: Set(t, kLimiterThreshold, 0.3f); break;
      case 1:
        Link(t, kLimiterThreshold, env_);
        Set(t, kLimiterThreshold, 0.9f);
        break;
      case 2:
        Link(t, kLimiterThreshold, t);
        ModuleUpdateChannels(*t, 2, -1);
        break;
      case 3:
        Link(t, kFolderThreshold, lfo_);
        Set(t, kFolderRange, 0.8f);
        break;
      case 4:
        Set(t, kFolderThreshold, 0.2f);
        Set(t, kFolderRange, 0.3f);
        Set(t, kFolderPasses, 7.0f);
        ModuleUpdateChannels(*t, 2, -1);
        break;
      case 5:
        Set(t, kCompressorThreshold, 0.1f);
        Set(t, kCompressorRatio, 4.0f);
        Set(t, kCompressorAttack, 3.0f);
        Set(t, kCompressorRelease, 40.0f);
        break;
      case 6:
        Set(t, kCompressorThreshold, 0.05f);
        Set(t, kCompressorRatio, 8.0f);
        Set(t, kCompressorAttack, 200.0f);
        Set(t, kCompressorRelease, 900.0f);
        Set(t, kCompressorGain, 30.0f);
        break;
      default:
        ModuleUpdateChannels(*t, 2, -1);
        Set(t, kCompressorThreshold, 0.2f);
        Set(t, kCompressorRatio, 2.0f);
        break;
    }
    watched_.push_back(t);
  }
  MixWatchedAndCheck(8, 1, 0.4f, "DynamicsManyVoices");
  EXPECT_NE(watched_[6]->ClipFlag.Load(), 0);
}

// Step Sequencers gating many voices whose ids leave their positions, each
// heard through an Oscillator: patterns of 7 and 45 steps, a tempo that runs
// backwards, a negative duty, a per-voice duty, rewind at frequency 0, two
// channels.
TEST_P(GoldenChain, StepSequencersManyVoices) {
  constexpr int32_t kTStep = 29;
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* mixer = Made(kTMixer);
  ASSERT_NE(mixer, nullptr);
  Set(mixer, kMixerMasterVolume, 0.4f);
  for (int32_t k = 0; k < 5; ++k) {
    ModuleRecord* seq = Made(kTStep);
    ModuleRecord* osc = Made(kTypeOscillator);
    ASSERT_TRUE(seq && osc);
    Link(seq, kStepFrequency, kb_);
    Link(seq, kStepVelocity, kb_);
    seq->ModuleSwitches[kSwitchPlay].Store(-1);
    Set(seq, kStepLength, 7.0f);
    Set(seq, kStepPattern, 91.0f);
    Set(seq, kStepTempo, 0.002f);
    switch (k) {
      case 1:
        Set(seq, kStepTempo, -0.003f);
        Set(seq, kStepDuty, -0.3f);
        break;
      case 2:
        Link(seq, kStepDuty, env_);
        seq->ModuleSwitches[kSwitchRewind].Store(-1);
        break;
      case 3:
        ModuleUpdateChannels(*seq, 2, -1);
        Set(seq, kStepLength, 45.0f);
        Set(seq, kStepPattern + 1, 699050.0f);
        Set(seq, kStepPattern + 2, 1048575.0f);
        Link(seq, kStepTempo, lfo_);
        break;
      case 4:
        Set(seq, kStepDuty, 0.5f);
        Set(seq, kStepTempo, 0.0007f);
        break;
      default:
        break;
    }
    Link(osc, kOscFrequency, seq);
    Link(osc, kOscAmplitude, seq);
    Set(osc, kOscAmplitude, 0.3f);
    Link(mixer, kMixerFirstInput + k, osc);
    watched_.push_back(seq);
  }
  PlayManyVoicesAndCheck(mixer, "StepSequencersManyVoices");
}

// Logic switches choosing per voice among sources of many voices whose ids
// leave their positions: thresholds shared and per voice, an unlinked port
// among the choices, two channels, one fed back from its own output.
TEST_P(GoldenChain, LogicSwitchesManyVoices) {
  constexpr int32_t kTLogic = 10;
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* mixer = Made(kTMixer);
  ASSERT_NE(mixer, nullptr);
  Set(mixer, kMixerMasterVolume, 0.4f);
  for (int32_t k = 0; k < 4; ++k) {
    ModuleRecord* sw = Made(kTLogic);
    ASSERT_NE(sw, nullptr);
    Link(sw, kLogicInput, voice_);
    Link(sw, kLogicBelow, voice_);
    Link(sw, kLogicAbove, env_);
    switch (k) {
      case 0: Link(sw, kLogicThreshold, lfo_); break;
      case 1:
        Link(sw, kLogicThreshold, env_);
        Set(sw, kLogicThreshold, 0.1f);
        Link(sw, kLogicEqual, lfo_);
        break;
      case 2:
        ModuleUpdateChannels(*sw, 2, -1);
        Set(sw, kLogicThreshold, 0.02f);
        Link(sw, kLogicAbove, lfo_);
        Set(sw, kLogicBelow, 0.5f);
        break;
      default:
        Link(sw, kLogicThreshold, sw);
        break;
    }
    Link(mixer, kMixerFirstInput + k, sw);
    watched_.push_back(sw);
  }
  PlayManyVoicesAndCheck(mixer, "LogicSwitchesManyVoices");
}

// A Keyboard and an Octave board through what can happen to held notes: a
// release mid-hold that an envelope keeps alive, a slide, the keyboard moved
// an octave, max keys lowered below the voices sounding, the base frequency
// moved, the kill-released switch, more notes than voices, the modules
// switched off and on, a state copied in as a load does, and every key
// stopped. Both boards' voice ids are hashed beside their outputs.
TEST_P(GoldenChain, KeyboardEvents) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  ModuleRecord* ob = Made(kTypeOctaveBoard);
  ModuleRecord* obVoice = Made(kTypeOscillator);
  ModuleRecord* mixer = Made(kTMixer);
  ASSERT_TRUE(ob && obVoice && mixer);
  Link(obVoice, kOscFrequency, ob);
  Link(obVoice, kOscAmplitude, ob);
  Set(obVoice, kOscAmplitude, 0.2f);
  Link(mixer, kMixerFirstInput, voice_);
  Link(mixer, kMixerFirstInput + 1, obVoice);
  Set(mixer, kMixerMasterVolume, 0.5f);
  Output(mixer);
  m_ = kb_;
  watched_.push_back(ob);
  watched_.push_back(env_);
  idsWatched_.push_back(kb_);
  idsWatched_.push_back(ob);
  octave_ = ob;
  CurrentOctaveBoardIndex.Store(ob->InstanceNumber.Load() - 1);
  CurrentKeyboardIndex.Store(kb_->InstanceNumber.Load() - 1);
  const int32_t k = kb_->InstanceNumber.Load() - 1;
  const int32_t o = ob->InstanceNumber.Load() - 1;
  KeyboardState& keys = *KeyboardStates[k].Load();
  KeyboardState& board = *OctaveBoardStates[o].Load();

  NotesOn({24, 28, 31});
  if (HasFatalFailure()) return;
  Play(600);
  // Let go mid-hold: the envelope keeps the voice for its release.
  KeyNoteOff(-1, 28, kb_->InstanceNumber.Load());
  OctaveNoteOff(-1, 28 % 12);
  Play(2000);
  // A slide moves a held note's pitch and velocity.
  KeyNoteSlide(FindHeldKey(keys, 24), 26, 0.6f);
  OctaveNoteSlide(FindHeldKey(board, 24 % 12), 2, 0.5f);
  Play(300);
  // The keyboard moved an octave up: held notes keep their pitch.
  keys.Octave.Store(4);
  keys.KeyOffset.Store(48);
  Play(200);
  ASSERT_GE(KeyNoteOn(40, 0.8f, kb_->InstanceNumber.Load()), 0);
  Play(400);
  // Max keys below the voices sounding: a release is freed at once.
  Set(kb_, 0, 2.0f);
  Set(ob, 1, 1.0f);
  KeyNoteOff(-1, 31, kb_->InstanceNumber.Load());
  OctaveNoteOff(-1, 31 % 12);
  Play(300);
  Set(kb_, 0, 8.0f);
  Set(ob, 1, 8.0f);
  // The base frequency moved while notes hold.
  Set(ob, 0, ob->Params[0].Value.Load() * 1.5f);
  Play(300);
  // The kill-released switch frees a release without waiting.
  kb_->ModuleSwitches[kSwitchKillReleased].Store(-1);
  ob->ModuleSwitches[kSwitchKillReleased].Store(-1);
  KeyNoteOff(-1, 40, kb_->InstanceNumber.Load());
  OctaveNoteOff(-1, 2);
  Play(200);
  kb_->ModuleSwitches[kSwitchKillReleased].Store(0);
  ob->ModuleSwitches[kSwitchKillReleased].Store(0);
  // More notes than voices: the extra ones get none.
  std::vector<int32_t> voices;
  for (int32_t n = 0; n < 36; ++n) {
    platform::MutexGuard guard(KeyboardVoiceLocks[k]);
    voices.push_back(NoteOn(keys, KeyToFrequency(50 + n), 0.3f + 0.01f * static_cast<float>(n)));
  }
  for (int32_t n = 0; n < 5; ++n) {
    platform::MutexGuard guard(OctaveBoardVoiceLocks[o]);
    NoteOn(board, OctaveKeyToFrequency(n), 0.4f);
  }
  Play(1200);
  for (size_t n = 3; n < 10; ++n) {
    platform::MutexGuard guard(KeyboardVoiceLocks[k]);
    NoteOff(keys, voices[n]);
  }
  Play(800);
  // Switched off a while, then on again.
  kb_->ModuleSwitches[kSwitchPlay].Store(0);
  ob->ModuleSwitches[kSwitchPlay].Store(0);
  Play(100);
  kb_->ModuleSwitches[kSwitchPlay].Store(-1);
  ob->ModuleSwitches[kSwitchPlay].Store(-1);
  Play(300);
  // A state copied in word by word, as loading a synth does.
  {
    platform::MutexGuard voicesLock(KeyboardVoiceLocks[k]);
    platform::MutexGuard keysLock(KeyboardKeyLocks[k]);
    KeyboardState copy;
    KeyboardStateCopyOut(copy, keys);
    copy.Voices[voices[12]].Frequency.Store(copy.Voices[voices[12]].Frequency.Load() * 2.0f);
    copy.Voices[voices[13]].Velocity.Store(0.25f);
    copy.Voices[voices[14]].State.Store(kVoiceFree);
    copy.Changed.Store(0);
    SanitizeKeyboardState(copy);
    KeyboardStateCopyIn(keys, copy);
  }
  Play(600);
  // Every key stopped: the render resets both states.
  {
    platform::MutexGuard guard(KeyboardVoiceLocks[k]);
    KbPostPending(keys, kPendingReset);
  }
  {
    platform::MutexGuard guard(OctaveBoardVoiceLocks[o]);
    KbPostPending(board, kPendingReset);
  }
  Play(3000);
  EXPECT_TRUE(heard_);
  held_.clear();
  Check(Named("KeyboardEvents"));
}

// A Keyboard switched between single-voice and per-voice mode while notes
// hold and one is let go: each function takes over what the other wrote.
TEST_P(GoldenChain, KeyboardModeSwitches) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Output(voice_);
  m_ = kb_;
  watched_.push_back(env_);
  idsWatched_.push_back(kb_);
  auto toggle = [this] {
    kb_->ModuleSwitches[kSwitchPerVoice].Store(kb_->ModuleSwitches[kSwitchPerVoice].Load() != 0 ? 0 : -1);
    kb_->PolyphonyMode.Store(kb_->PolyphonyMode.Load() ^ 1);
    Output(voice_);
  };
  NotesOn({24, 28, 31});
  if (HasFatalFailure()) return;
  Play(500);
  toggle();
  Play(300);
  toggle();
  Play(300);
  KeyNoteOff(-1, 28, kb_->InstanceNumber.Load());
  Play(40);
  toggle();
  Play(200);
  toggle();
  Play(600);
  NotesOn({36});
  Play(5);
  toggle();
  Play(5);
  toggle();
  Play(400);
  NotesOff();
  Play(2000);
  EXPECT_TRUE(heard_);
  Check(Named("KeyboardModeSwitches"));
}

// The tails' modes the plain cases leave out, in many voices whose ids leave
// their positions: a Delay whose period follows a sine while it plays, one of
// a period of 0, one long enough that new notes start while old voices ring
// out; Echoes fed back through a Mixer from their own output, with a period
// of 0, with a per-voice decay in two channels; Mobile averages whose window
// swings both ways, a long one in two channels; Envelope followers of periods
// below and about one frame.
TEST_P(GoldenChain, TailModesManyVoices) {
  constexpr int32_t kTEcho = 16;
  constexpr int32_t kTFollower = 14;
  constexpr int32_t kTAverage = 42;
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  const int32_t types[11] = {kTDelay, kTDelay, kTDelay, kTEcho, kTEcho, kTEcho,
                             kTAverage, kTAverage, kTFollower, kTFollower, kTDelay};
  for (int32_t k = 0; k < 11; ++k) {
    ModuleRecord* t = Made(types[k]);
    ASSERT_NE(t, nullptr);
    Link(t, 0, voice_);
    switch (k) {
      case 0:
        Link(t, kDelayPeriod, lfo_);
        Set(t, kDelayPeriod, 0.02f);
        break;
      case 1: Set(t, kDelayPeriod, 0.0f); break;
      case 2: Set(t, kDelayPeriod, 0.05f); break;
      case 3: {
        // The Echo hears the voice and its own output through a Mixer.
        ModuleRecord* mix = Made(kTMixer);
        ASSERT_NE(mix, nullptr);
        Link(mix, kMixerFirstInput, voice_);
        Link(mix, kMixerFirstInput + 1, t);
        Set(mix, kMixerFirstInput + 1, 0.5f);
        Link(t, 0, mix);
        Set(t, kDelayPeriod, 0.004f);
        Set(t, kEchoDecay, 0.1f);
        break;
      }
      case 4:
        Set(t, kDelayPeriod, 0.0f);
        Set(t, kEchoDecay, 0.5f);
        break;
      case 5:
        ModuleUpdateChannels(*t, 2, -1);
        Link(t, kDelayPeriod, lfo_);
        Set(t, kDelayPeriod, 0.006f);
        Link(t, kEchoDecay, env_);
        Set(t, kEchoDecay, 0.8f);
        break;
      case 6:
        Link(t, kAveragePeriod, lfo_);
        Set(t, kAveragePeriod, 0.004f);
        break;
      case 7:
        ModuleUpdateChannels(*t, 2, -1);
        Set(t, kAveragePeriod, 0.04f);
        break;
      case 8: Set(t, kFollowerPeriod, 1.5f); break;
      case 9:
        Set(t, kFollowerPeriod, 0.5f);
        Set(t, kFollowerGain, 0.5f);
        break;
      default:
        // A Delay fed from a Delay: a tail that follows a tail.
        Link(t, 0, const_cast<ModuleRecord*>(watched_[2]));
        Set(t, kDelayPeriod, 0.01f);
        break;
    }
    watched_.push_back(t);
  }
  MixWatchedAndCheck(11, 1, 0.3f, "TailModesManyVoices");
}

// Mappers in many voices whose ids leave their positions, each heard through
// an Oscillator: plain and logarithmic mapping, island mode, negative and wide
// octave ranges, inputs of every sign and loud enough to leave every octave,
// in the default tuning and in one of 19 keys at another reference pitch.
TEST_P(GoldenChain, MappersManyVoices) {
  constexpr int32_t kTMapper = 40;
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* mixer = Made(kTMixer);
  ModuleRecord* loud = Made(testing_synth::kTypeLevel);
  ASSERT_TRUE(mixer && loud);
  Link(loud, 0, voice_);
  Set(loud, 1, 3000.0f);
  Set(mixer, kMixerMasterVolume, 0.3f);
  for (int32_t k = 0; k < 7; ++k) {
    ModuleRecord* map = Made(kTMapper);
    ModuleRecord* osc = Made(kTypeOscillator);
    ASSERT_TRUE(map && osc);
    Link(map, kMapperInput, voice_);
    Set(map, kMapperOctaveMin, 3.0f);
    Set(map, kMapperOctaveRange, 2.0f);
    map->ModuleSwitches[kSwitch1].Store(0);
    map->ModuleSwitches[kSwitchZeroOut].Store(0);
    switch (k) {
      case 1: map->ModuleSwitches[kSwitch1].Store(-1); break;
      case 2:
        map->ModuleSwitches[kSwitchZeroOut].Store(-1);
        Link(map, kMapperInput, lfo_);
        break;
      case 3:
        Set(map, kMapperOctaveMin, -2.0f);
        Set(map, kMapperOctaveRange, -5.0f);
        map->ModuleSwitches[kSwitch1].Store(-1);
        map->ModuleSwitches[kSwitchZeroOut].Store(-1);
        break;
      case 4:
        Link(map, kMapperInput, loud);
        Set(map, kMapperOctaveRange, 40.0f);
        break;
      case 5:
        ModuleUpdateChannels(*map, 2, -1);
        Link(map, kMapperInput, env_);
        Set(map, kMapperOctaveMin, 0.0f);
        Set(map, kMapperOctaveRange, 7.0f);
        break;
      default:
        break;
    }
    Link(osc, kOscFrequency, map);
    Link(osc, kOscAmplitude, map);
    Set(osc, kOscAmplitude, 0.2f);
    Link(mixer, kMixerFirstInput + k, osc);
    watched_.push_back(map);
  }
  // Half the cases again in another tuning.
  ManyVoices notes(*KeyboardStates[kb_->InstanceNumber.Load() - 1].Load(), KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
  Output(mixer);
  notes.On(20, 20);
  Play(2400);
  TuningSetNoteCount(EngineTuning, 19);
  TuningSetEqualTemperament(EngineTuning);
  TuningSetReferencePitch(EngineTuning, 415.0f);
  notes.Off(6, 5);
  Play(2400);
  notes.On(44, 3);
  Play(2400);
  notes.Off(0, notes.Count());
  Play(4800);
  EXPECT_TRUE(heard_);
  Check(Named("MappersManyVoices"));
}

// The arithmetic types and the Harmonic reading what their followers and
// the render loop meet in practice: the frequency side of a per-voice source,
// a single-voice source beside a per-voice one (scaled and plain), an input
// linked to the module's own output, both inputs the same module, sums that
// clip, and modules switched off and on again while notes sound (their
// readers keep running). Every frame also hashes each watched module's clip
// flag and the voices the render loop handed it.
TEST_P(GoldenChain, ArithmeticReadsManyVoices) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* sum = Made(kTAddition);       // note frequency side + lfo x 0.25
  ModuleRecord* loud = Made(kTAddition);      // voice + voice x 3: clips
  ModuleRecord* diff = Made(testing_synth::kTypeDifference); // voice - its own output x 0.5
  ModuleRecord* prod = Made(testing_synth::kTypeProduct);    // envelope x voice frequency side
  ModuleRecord* mono = Made(testing_synth::kTypeProduct);    // lfo x lfo: single-voice inputs only
  ModuleRecord* h1 = Made(kTHarmonic);        // of the keyboard
  ModuleRecord* h2 = Made(kTHarmonic);        // of the lfo (single voice)
  ModuleRecord* h3 = Made(kTHarmonic);        // of the envelope's level side
  ModuleRecord* h4 = Made(kTHarmonic);        // of its own output
  ModuleRecord* osc = Made(kTypeOscillator);  // hears the first harmonic
  ASSERT_TRUE(sum && loud && diff && prod && mono && h1 && h2 && h3 && h4 && osc);
  Link(sum, kInputA, kb_);
  sum->Params[kInputA].OutputSide.Store(1);
  Link(sum, kInputB, lfo_);
  Set(sum, kInputB, 0.25f);
  Link(loud, kInputA, voice_);
  Link(loud, kInputB, voice_);
  Set(loud, kInputB, 3.0f);
  Link(diff, kInputA, voice_);
  Link(diff, kInputB, diff);
  Set(diff, kInputB, 0.5f);
  Link(prod, kInputA, env_);
  Link(prod, kInputB, voice_);
  prod->Params[kInputB].OutputSide.Store(1);
  Set(prod, kInputB, 20.0f);
  Link(mono, kInputA, lfo_);
  Link(mono, kInputB, lfo_);
  Link(h1, kHarmonicFrequency, kb_);
  Set(h1, kHarmonicFactor, 3.0f);
  Link(h2, kHarmonicFrequency, lfo_);
  h2->Params[kHarmonicFrequency].OutputSide.Store(0);
  Set(h2, kHarmonicFactor, 0.5f);
  Link(h3, kHarmonicFrequency, env_);
  h3->Params[kHarmonicFrequency].OutputSide.Store(0);
  Set(h3, kHarmonicFactor, 0.01f);
  Link(h4, kHarmonicFrequency, h4);
  Set(h4, kHarmonicFactor, 1.5f);
  SetOscillatorShape(*osc, 1);
  Link(osc, kOscFrequency, h1);
  Link(osc, kOscAmplitude, env_);
  Set(osc, kOscAmplitude, 0.2f);
  // Switched off for a while: the sum (the oscillator still reads it), the
  // first harmonic (which the oscillator follows) and the difference.
  tick_ = [&](int64_t block) {
    const int64_t word = (block >= 60 && block < 90) ? 0 : -1;
    sum->ModuleSwitches[kSwitchPlay].Store(word);
    h1->ModuleSwitches[kSwitchPlay].Store(word);
    diff->ModuleSwitches[kSwitchPlay].Store((block >= 120 && block < 130) ? 0 : -1);
  };
  MixAllAndCheck({sum, loud, diff, prod, mono, h1, h2, h3, h4, osc}, Watch::kClipsAndVoices, "ArithmeticReadsManyVoices");
  tick_ = nullptr;
}

// The two-input types over many voices in every pairing of a per-voice and
// a single-voice input (either side scaled), with sums that clip and a
// Harmonic of a voice signal: the rows the kernels compute side by side.
TEST_P(GoldenChain, ArithmeticRowsManyVoices) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* d1 = Made(testing_synth::kTypeDifference);  // voice x 3 - lfo: clips
  ModuleRecord* d2 = Made(testing_synth::kTypeDifference);  // lfo x 0.5 - note frequency side
  ModuleRecord* p1 = Made(testing_synth::kTypeProduct);     // voice x lfo x 2
  ModuleRecord* p2 = Made(testing_synth::kTypeProduct);     // lfo x envelope x 4
  ModuleRecord* a1 = Made(kTAddition);                      // envelope x 2 + voice: clips
  ModuleRecord* h = Made(kTHarmonic);                       // voice x 2.5
  ASSERT_TRUE(d1 && d2 && p1 && p2 && a1 && h);
  Link(d1, kInputA, voice_);
  Set(d1, kInputA, 3.0f);
  Link(d1, kInputB, lfo_);
  Link(d2, kInputA, lfo_);
  Set(d2, kInputA, 0.5f);
  Link(d2, kInputB, kb_);
  d2->Params[kInputB].OutputSide.Store(1);
  Link(p1, kInputA, voice_);
  Link(p1, kInputB, lfo_);
  Set(p1, kInputB, 2.0f);
  Link(p2, kInputA, lfo_);
  Link(p2, kInputB, env_);
  Set(p2, kInputB, 4.0f);
  Link(a1, kInputA, env_);
  Set(a1, kInputA, 2.0f);
  Link(a1, kInputB, voice_);
  Link(h, kHarmonicFrequency, voice_);
  h->Params[kHarmonicFrequency].OutputSide.Store(0);
  Set(h, kHarmonicFactor, 2.5f);
  MixAllAndCheck({d1, d2, p1, p2, a1, h}, Watch::kClipsAndVoices, "ArithmeticRowsManyVoices");
}

// The one-input shapers, the Level and the Clipper over many voices: scaled
// per-voice inputs that clip, a live level and a threshold from a per-voice
// and from a single-voice source, and the frequency side of a voice.
TEST_P(GoldenChain, ShapersManyVoices) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* inv = Made(testing_synth::kTypeInverter);    // voice x 2
  ModuleRecord* abs = Made(testing_synth::kTypeAbsolute);    // voice frequency side x 0.5
  ModuleRecord* rect = Made(testing_synth::kTypeRectifier);  // voice
  ModuleRecord* l1 = Made(testing_synth::kTypeLevel);        // voice x 3 at the envelope's level, biased: clips
  ModuleRecord* l2 = Made(testing_synth::kTypeLevel);        // lfo at the voice's level
  ModuleRecord* c1 = Made(testing_synth::kTypeClipper);      // voice x 4 within the envelope
  ModuleRecord* c2 = Made(testing_synth::kTypeClipper);      // voice within the lfo
  ASSERT_TRUE(inv && abs && rect && l1 && l2 && c1 && c2);
  Link(inv, 0, voice_);
  Set(inv, 0, 2.0f);
  Link(abs, 0, voice_);
  abs->Params[0].OutputSide.Store(1);
  Set(abs, 0, 0.5f);
  Link(rect, 0, voice_);
  Link(l1, kLevelInput, voice_);
  Set(l1, kLevelInput, 3.0f);
  Link(l1, kLevelLevel, env_);
  Set(l1, kLevelBias, 0.125f);
  Set(l1, kLevelMaxInput, 1.5f);
  Link(l2, kLevelInput, lfo_);
  Link(l2, kLevelLevel, voice_);
  Link(c1, kClipperInput, voice_);
  Set(c1, kClipperInput, 4.0f);
  Link(c1, kClipperThreshold, env_);
  Link(c2, kClipperInput, voice_);
  Link(c2, kClipperThreshold, lfo_);
  MixAllAndCheck({inv, abs, rect, l1, l2, c1, c2}, Watch::kClips, "ShapersManyVoices");
}

// The Derivative over many voices, whose state follows the voice ids as
// they leave their positions and come back: of a scaled voice that clips, of
// the note frequency side and of a single-voice source.
TEST_P(GoldenChain, DerivativeManyVoices) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* d1 = Made(testing_synth::kTypeDerivative);  // voice x 40
  ModuleRecord* d2 = Made(testing_synth::kTypeDerivative);  // note frequency side x 2
  ModuleRecord* d3 = Made(testing_synth::kTypeDerivative);  // lfo
  ASSERT_TRUE(d1 && d2 && d3);
  Link(d1, 0, voice_);
  Set(d1, 0, 40.0f);
  Link(d2, 0, kb_);
  d2->Params[0].OutputSide.Store(1);
  Set(d2, 0, 2.0f);
  Link(d3, 0, lfo_);
  MixAllAndCheck({d1, d2, d3}, Watch::kClips, "DerivativeManyVoices");
}

// The Pitch bend over many voices: the note frequency bent by a single-voice
// source, a voice bent by the envelope past the limit, and a single-voice
// frequency bent by each voice.
TEST_P(GoldenChain, PitchBendManyVoices) {
  BuildFeed(PerVoiceMode());
  if (HasFatalFailure()) return;
  Set(kb_, 0, 32.0f);
  ModuleRecord* b1 = Made(testing_synth::kTypePitchBend);
  ModuleRecord* b2 = Made(testing_synth::kTypePitchBend);
  ModuleRecord* b3 = Made(testing_synth::kTypePitchBend);
  ASSERT_TRUE(b1 && b2 && b3);
  Link(b1, kBendFrequency, kb_);
  b1->Params[kBendFrequency].OutputSide.Store(1);
  Link(b1, kBendPitch, lfo_);
  Set(b1, kBendRange, 2.0f);
  Link(b2, kBendFrequency, voice_);
  b2->Params[kBendFrequency].OutputSide.Store(0);
  Link(b2, kBendPitch, env_);
  Set(b2, kBendRange, 3.0f);
  Link(b3, kBendFrequency, lfo_);
  b3->Params[kBendFrequency].OutputSide.Store(0);
  Link(b3, kBendPitch, voice_);
  Set(b3, kBendRange, 1.5f);
  MixAllAndCheck({b1, b2, b3}, Watch::kSound, "PitchBendManyVoices");
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenChain, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return std::string(info.param == 1 ? "PerVoice" : "SingleVoice");
                         });

}  // namespace
}  // namespace Tarvelo
