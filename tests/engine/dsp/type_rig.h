// Every module type built into a synth that makes it run, for the tests that
// play the whole catalog through the real render callback: a keyboard, an
// envelope, a voice and a slow sine feed the type's ports by a plan of one
// letter a port, and each type gets what it needs beyond its links (a sound,
// a melody, a capture input, a changing wave shape).
#pragma once
#include <cmath>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/engine/synth_fixture.h"
#include "engine/dsp/adsr.h"
#include "engine/dsp/convolution.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/oscillators.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/sequencer.h"

namespace Tarvelo {
namespace testing_rig {

enum Type : int32_t {
  kTCapture = 0,
  kTSample = 1,
  kTOscillator = 2,
  kTKeyboard = 3,
  kTOctaveBoard = 4,
  kTSequencer = 5,
  kTAdsr = 9,
  kTDelay = 15,
  kTConvFilter = 17,
  kTVocoder = 27,
  kTStepSequencer = 29,
  kTMelodyGenerator = 30,
  kTSineWave = 35,
};

// What feeds each input port of the type under test, one letter a port:
//   k  the keyboard (its frequency on a frequency-side port, else velocity)
//   v  a voice signal: an oscillator playing the keyboard through an envelope
//   e  the envelope itself
//   l  a slow single-voice sine (a modulation)
//   -  nothing: the port reads its set value
// Modes: 1 single voice, 2 per voice. A single-mode type is fed by a per-voice
// keyboard when pervoiceFeed is set (the types that work on voices).
struct TypePlan {
  int32_t type;
  const char* name;
  const char* ports;
  int32_t modes;
  bool pervoiceFeed;
};

constexpr int32_t kSingle = 1;
constexpr int32_t kPerVoice = 2;
constexpr int32_t kBoth = kSingle | kPerVoice;

const TypePlan kPlans[kModuleTypeCount] = {
    {0, "Capture", "", kSingle, false},
    {1, "Sample", "-ekl-v", kBoth, false},
    {2, "Oscillator", "lek--l", kBoth, false},
    {3, "Keyboard", "", kBoth, false},
    {4, "OctaveBoard", "", kBoth, false},
    {5, "Sequencer", "kk-", kBoth, false},
    {6, "Harmonic", "k", kBoth, false},
    {7, "VoiceSelector", "k", kSingle, true},
    {8, "PitchBend", "kl", kBoth, false},
    {9, "Adsr", "kkl", kBoth, false},
    {10, "LogicSwitch", "vl-lv", kBoth, false},
    {11, "Difference", "vl", kBoth, false},
    {12, "Product", "vl", kBoth, false},
    {13, "Level", "vl", kBoth, false},
    {14, "EnvelopeFollower", "v", kBoth, false},
    {15, "Delay", "v-", kBoth, false},
    {16, "Echo", "vl-", kBoth, false},
    {17, "ConvolutiveFilter", "vl", kBoth, false},
    {18, "Mixer", "-vlek------------", kBoth, false},
    {19, "JoinStereo", "vl", kBoth, false},
    {20, "MergeStereo", "v", kBoth, false},
    {21, "Balance", "vl", kBoth, false},
    {22, "Filter", "vl-", kBoth, false},
    {23, "Distortion", "vl-", kBoth, false},
    {24, "Inverter", "v", kBoth, false},
    {25, "Multiplexer", "vlek------", kPerVoice, true},
    {26, "VoiceMixer", "v-", kSingle, true},
    {27, "ConvolutiveVocoder", "vl", kBoth, false},
    {28, "WaveFolder", "vl-", kBoth, false},
    {29, "StepSequencer", "kk-l", kBoth, false},
    {30, "MelodyGenerator", "k------", kSingle, true},
    {31, "Compressor", "v", kBoth, false},
    {32, "Randomizer", "v-l-", kBoth, false},
    {33, "Addition", "vl", kBoth, false},
    {34, "Gate", "vl", kBoth, false},
    {35, "SineWave", "-ek", kBoth, false},
    {36, "Derivative", "v", kBoth, false},
    {37, "Absolute", "v", kBoth, false},
    {38, "Clipper", "vl", kBoth, false},
    {39, "SoftLimiter", "vl", kBoth, false},
    {40, "Mapper", "v", kBoth, false},
    {41, "Rectifier", "v", kBoth, false},
    {42, "MobileAverage", "vl", kBoth, false},
};

// One case per type and polyphony mode it offers.
struct Config {
  int32_t type;
  int32_t mode;  // 0 single voice, 1 per voice
};

inline std::vector<Config> AllConfigs() {
  std::vector<Config> all;
  for (const TypePlan& plan : kPlans) {
    if (plan.modes & kSingle) all.push_back(Config{plan.type, 0});
    if (plan.modes & kPerVoice) all.push_back(Config{plan.type, 1});
  }
  return all;
}

inline std::string ConfigName(const Config& c) {
  return std::string(kPlans[c.type].name) + (c.mode == 1 ? "_PerVoice" : "_SingleVoice");
}

// A major scale from key 0, for the Melody Generator's pitch choice.
constexpr uint64_t kMajorScale = (1u << 0) | (1u << 2) | (1u << 4) | (1u << 5) | (1u << 7) | (1u << 9) | (1u << 11);

class TypeRig : public testing_synth::SynthTest {
 protected:
  // A keyboard, an envelope following it, an oscillator playing it through
  // the envelope, and a slow sine: mode 1 makes the first three per voice.
  void BuildFeed(bool perVoice) {
    kb_ = Add(kTypeKeyboard);
    env_ = Add(kTypeAdsr);
    voice_ = Add(kTypeOscillator);
    lfo_ = Add(kTSineWave);
    ASSERT_TRUE(kb_ && env_ && voice_ && lfo_);
    if (perVoice) {
      PerVoice(kb_);
      PerVoice(env_);
      PerVoice(voice_);
    }
    Set(kb_, 0, 8.0f);
    Link(env_, kAdsrFrequency, kb_);
    Link(env_, kAdsrVelocity, kb_);
    Set(env_, kAdsrAttack, 0.005f);
    Set(env_, kAdsrDecay, 0.01f);
    Set(env_, kAdsrSustainLength, 0.0f);  // held while the key is
    Set(env_, kAdsrRelease, 0.03f);
    Link(voice_, kOscFrequency, kb_);
    Link(voice_, kOscAmplitude, env_);
    SetShown(lfo_, kOscFrequency, 3.0f);
    Set(lfo_, kOscAmplitude, 0.5f);
  }

  ModuleRecord* Feed(char c) {
    switch (c) {
      case 'k': return kb_;
      case 'v': return voice_;
      case 'e': return env_;
      case 'l': return lfo_;
      default: return nullptr;
    }
  }

  // Builds the synth for a plan in a mode; the output module becomes the
  // synth output.
  void Build(const TypePlan& plan, int32_t mode) {
    const bool perVoice = mode == 1;
    BuildFeed(perVoice || plan.pervoiceFeed);
    if (HasFatalFailure()) return;
    if (plan.type == kTKeyboard) {
      m_ = kb_;
    } else {
      m_ = Add(plan.type);
      ASSERT_NE(m_, nullptr);
    }
    if (perVoice && plan.type != kTKeyboard) PerVoice(m_);
    const int32_t ports = static_cast<int32_t>(std::string(plan.ports).size());
    ASSERT_EQ(ports, m_->PortCount) << plan.name;
    for (int32_t p = 0; p < ports; ++p) {
      if (ModuleRecord* s = Feed(plan.ports[p])) Link(m_, p, s);
    }
    TypeSetUp(plan.type);
    if (HasFatalFailure()) return;

    // A control module is heard through an oscillator that follows it, so
    // its voices have a follower that keeps them alive as a synth's would.
    ModuleRecord* out = m_;
    if (m_->Category == kCategoryControl && plan.type != kTAdsr) {
      out = Add(kTypeOscillator);
      if (perVoice) PerVoice(out);
      Link(out, kOscFrequency, m_);
      Link(out, kOscAmplitude, m_);
    } else if (plan.type == kTAdsr) {
      out = Add(kTypeOscillator);
      if (perVoice) PerVoice(out);
      Link(out, kOscFrequency, kb_);
      Link(out, kOscAmplitude, m_);
    }
    Output(out);

  }

  // What a type needs beyond its links to do its real work.
  void TypeSetUp(int32_t type) {
    switch (type) {
      case kTCapture:
        CaptureActive = -1;
        CaptureResync = -1;
        capturing_ = true;
        break;
      case kTSample: {
        // A tenth of a second of a 480 Hz sine, played at its pitch.
        std::vector<float> sine(4800);
        for (size_t i = 0; i < sine.size(); ++i)
          sine[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 480.0 * static_cast<double>(i) / 48000.0));
        AttachWaveToModule(m_, Sound(sine, 1, 480.0f), 0);
        m_->ModuleSwitches[kSwitchPlay].Store(-1);
        break;
      }
      case kTOscillator:
        // Every wave shape in turn, one every 10 ms.
        tick_ = [this](int64_t block) {
          if (block % 10 == 0) SetOscillatorShape(*m_, static_cast<int32_t>((block / 10) % kWaveShapeCount));
        };
        break;
      case kTOctaveBoard:
        octave_ = m_;
        CurrentOctaveBoardIndex.Store(m_->InstanceNumber.Load() - 1);
        break;
      case kTSequencer:
        PlayMelody(m_);
        break;
      case kTConvFilter: {
        // A 64-tap low pass.
        std::vector<float> taps(64);
        for (size_t i = 0; i < taps.size(); ++i)
          taps[i] = 0.03f * static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / 63.0));
        AttachWaveToModule(m_, Sound(taps), 0);
        break;
      }
      case kTVocoder:
        Set(m_, kConvWindow, 32.0f);
        break;
      case kTDelay:
        Set(m_, 1, 0.02f);  // the period: the repeats start inside the run
        break;
      case kTStepSequencer:
        m_->ModuleSwitches[kSwitchPlay].Store(-1);
        break;
      case kTMelodyGenerator:
        ComposeQuickly(m_);
        // Phrases are replayed while looping is on, composed anew while off.
        tick_ = [this](int64_t block) {
          if (block % 40 == 0) m_->ModuleSwitches[kSwitchLoop].Store((block / 40) % 2 == 0 ? -1 : 0);
        };
        break;
      default:
        break;
    }
  }

  // A Sequencer looping a four-note melody of 0.2 s at its recorded tempo;
  // each note overlaps the next (chords in per-voice mode).
  void PlayMelody(ModuleRecord* seq) {
    std::vector<float> d(6 + 4 * 4, 0.0f);
    d[0] = 4.0f;
    d[1] = 4.0f;
    const float frequencies[4] = {0.02f, 0.025f, 0.03f, 0.0225f};
    for (int32_t k = 0; k < 4; ++k) {
      d[6 + 4 * k] = 0.08f;
      d[7 + 4 * k] = frequencies[k];
      d[8 + 4 * k] = 0.8f;
      d[9 + 4 * k] = 0.05f * static_cast<float>(k);
      d[2] += 0.08f;
    }
    d[3] = 1.0f;
    d[5] = 0.2f;
    WaveLibraryEntry* e = Melody(d);
    e->Pitch[0] = FrequencyNorm;
    AttachWaveToModule(seq, e, 0);
    Set(seq, kSeqTempo, seq->SampleStep);
    Set(seq, kSeqLength, 0.2f);
    seq->ModuleSwitches[kSwitchPlay].Store(-1);
    seq->ModuleSwitches[kSwitchLoop].Store(-1);
  }

  // A Melody Generator composing 50 frames a step, one-measure phrases.
  void ComposeQuickly(ModuleRecord* mg) {
    TuningAddScalePattern(EngineTuning, kMajorScale, "Major", 0);
    SetMelodyScalePattern(*mg, 1);
    Set(mg, kMelTempo, 0.02f);
    Set(mg, kMelMeasures, 1.0f);
    Set(mg, kMelOctaveMin, 3.0f);
    Set(mg, kMelOctaves, 2.0f);
    mg->ModuleSwitches[kSwitchPlay].Store(-1);
  }

  // --- notes, as the interface plays them

  void NotesOn(std::initializer_list<int32_t> keys) {
    for (int32_t key : keys) {
      ASSERT_GE(KeyNoteOn(key, 0.8f, kb_->InstanceNumber.Load()), 0);
      held_.push_back(key);
      if (octave_ != nullptr) {
        ASSERT_GE(OctaveNoteOn(key % 12, 0.7f), 0);
      }
    }
  }
  void NotesOff() {
    for (int32_t key : held_) {
      KeyNoteOff(-1, key, kb_->InstanceNumber.Load());
      if (octave_ != nullptr) OctaveNoteOff(-1, key % 12);
    }
    held_.clear();
  }

  // Notes start, a key joins, all are let go and ring out, new ones start
  // (waking what went to sleep) and are let go again; play(frames) renders.
  template <class PlayFn>
  void PlayNoteScenario(PlayFn play) {
    NotesOn({24, 28, 31});
    if (HasFatalFailure()) return;
    play(2880);
    NotesOn({36});
    play(2400);
    NotesOff();
    play(4800);
    NotesOn({26, 33});
    play(2400);
    NotesOff();
    play(2400);
  }

  ModuleRecord* kb_ = nullptr;
  ModuleRecord* env_ = nullptr;
  ModuleRecord* voice_ = nullptr;
  ModuleRecord* lfo_ = nullptr;
  ModuleRecord* m_ = nullptr;
  ModuleRecord* octave_ = nullptr;
  std::vector<int32_t> held_;
  std::function<void(int64_t)> tick_;
  bool capturing_ = false;
};

}  // namespace testing_rig
}  // namespace Tarvelo
