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
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/dsp/type_rig.h"
#include "engine/dsp/delay.h"
#include "engine/dsp/distortion.h"
#include "engine/dsp/filter.h"
#include "engine/dsp/mixer.h"
#include "engine/dsp/pitch.h"

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

uint32_t Bits(float x) {
  uint32_t u;
  std::memcpy(&u, &x, 4);
  return u;
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
    Mix(static_cast<uint32_t>(m->ActiveVoices));
    const int32_t channels = m->ChannelsProcessed > 1 ? 2 : 1;
    int32_t voices = m->ActiveVoices > 1 ? m->ActiveVoices : 1;
    if (voices > kVoices) voices = kVoices;
    for (int32_t ch = 0; ch < channels; ++ch) {
      for (int32_t v = 0; v < voices; ++v) {
        Mix(Bits(m->Outputs[ch][v].Level));
        Mix(Bits(m->Outputs[ch][v].Frequency));
      }
    }
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
  KeyboardState& state = *KeyboardStates[kb_->InstanceNumber - 1];
  std::vector<int32_t> voices;
  for (int32_t k = 0; k < 32; ++k) {
    platform::MutexGuard guard(KeyboardVoiceLocks[kb_->InstanceNumber - 1]);
    voices.push_back(NoteOn(state, KeyToFrequency(20 + k), 0.5f + 0.01f * static_cast<float>(k)));
  }
  Play(4800);
  for (int32_t v : voices) {
    platform::MutexGuard guard(KeyboardVoiceLocks[kb_->InstanceNumber - 1]);
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
          osc->ModuleSwitches[kSwitch2] = -1;
          break;
        case 2:
          Set(osc, kOscPeriod, 2.0f);
          Set(osc, kOscDuty, -0.4f);
          osc->ModuleSwitches[kSwitchLoop] = 0;
          osc->ModuleSwitches[kSwitchRewind] = -1;
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
      sine->ModuleSwitches[kSwitch2] = -1;
      sine->ModuleSwitches[kSwitchRewind] = -1;
    }
    watched_.push_back(sine);
  }
  ModuleRecord* mixer = Made(kTMixer);
  ASSERT_NE(mixer, nullptr);
  for (int32_t p = 0; p < kMixerInputs; ++p) Link(mixer, kMixerFirstInput + p, const_cast<ModuleRecord*>(watched_[3 * p]));
  Set(mixer, kMixerMasterVolume, 0.1f);
  Output(mixer);
  ManyVoices notes(*KeyboardStates[kb_->InstanceNumber - 1], KeyboardVoiceLocks[kb_->InstanceNumber - 1]);
  PlayManyVoices(notes, [this](int64_t frames) { Play(frames); });
  EXPECT_TRUE(heard_);
  Check(Named("WaveShapesManyVoices"));
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
  add->Params[0].OutputSide = 1;
  Link(add, 1, mod);
  Link(car, kOscFrequency, add);
  Link(car, kOscAmplitude, env_);
  Set(car, kOscAmplitude, 0.03f);
  Output(car);
  m_ = add;
  watched_.push_back(mod);
  ManyVoices notes(*KeyboardStates[kb_->InstanceNumber - 1], KeyboardVoiceLocks[kb_->InstanceNumber - 1]);
  PlayManyVoices(notes, [this](int64_t frames) { Play(frames); });
  EXPECT_TRUE(heard_);
  Check(Named("FrequencyModulation"));
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
  Output(last);
  m_ = mixer;
  ManyVoices notes(*KeyboardStates[kb_->InstanceNumber - 1], KeyboardVoiceLocks[kb_->InstanceNumber - 1]);
  PlayManyVoices(notes, [this](int64_t frames) { Play(frames); });
  EXPECT_TRUE(heard_);
  Check(Named("HarmonicPartials"));
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
  ManyVoices notes(*KeyboardStates[kb_->InstanceNumber - 1], KeyboardVoiceLocks[kb_->InstanceNumber - 1]);
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

INSTANTIATE_TEST_SUITE_P(Golden, GoldenChain, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return std::string(info.param == 1 ? "PerVoice" : "SingleVoice");
                         });

}  // namespace
}  // namespace Tarvelo
