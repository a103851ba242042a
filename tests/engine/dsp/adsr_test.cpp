// The ADSR's steady frames run on rows by voice position; whatever others can
// read of the module must stay what the voice-by-voice path leaves. Each
// envelope here has a twin with the same links and settings whose steady
// path is refused every frame: a held voice's NoteHeld record reads 2 instead
// of 1 before each frame, which the voice-by-voice path takes as held (and
// sets back to 1) but the rows never take up. After every frame the twins'
// records, stage times, outputs, voice ids and trigger marks must agree bit
// for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/engine/dsp/type_rig.h"
#include "engine/dsp/mixer.h"

namespace Tarvelo {
namespace {

using namespace testing_rig;

constexpr int32_t kTMixer = 18;

bool SameBits(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n) == 0; }

class AdsrRows : public TypeRig {
 protected:
  struct Twin {
    ModuleRecord* rows;
    ModuleRecord* voiceByVoice;
  };

  // Keyboard of `keys` keys; per variant two envelopes set alike by `setUp`,
  // each heard through its own Oscillator.
  template <class SetUpFn>
  void BuildTwins(int32_t keys, int32_t variants, SetUpFn setUp, int32_t board = kTypeKeyboard) {
    kb_ = Add(board);
    octave_ = board == kTypeOctaveBoard;
    ModuleRecord* mixer = Add(kTMixer);
    ASSERT_TRUE(kb_ && mixer);
    PerVoice(kb_);
    PerVoice(mixer);
    Set(kb_, octave_ ? 1 : 0, static_cast<float>(keys));
    Set(mixer, kMixerMasterVolume, 0.05f);
    int32_t input = 0;
    for (int32_t k = 0; k < variants; ++k) {
      Twin twin{};
      for (ModuleRecord** slot : {&twin.rows, &twin.voiceByVoice}) {
        ModuleRecord* env = Add(kTAdsr);
        ModuleRecord* osc = Add(kTypeOscillator);
        ASSERT_TRUE(env && osc);
        PerVoice(env);
        PerVoice(osc);
        Link(env, kAdsrFrequency, kb_);
        Link(env, kAdsrVelocity, kb_);
        Set(env, kAdsrAttack, 0.004f);
        Set(env, kAdsrDecay, 0.006f);
        Set(env, kAdsrSustain, 0.5f);
        Set(env, kAdsrSustainLength, 0.0f);
        Set(env, kAdsrRelease, 0.008f);
        setUp(k, env);
        Link(osc, kOscFrequency, kb_);
        Link(osc, kOscAmplitude, env);
        Link(mixer, kMixerFirstInput + input++, osc);
        *slot = env;
      }
      twins_.push_back(twin);
    }
    Output(mixer);
  }

  void Refuse(ModuleRecord* m) {
    for (int32_t w = 0; w < kVoices; ++w)
      if (m->SequencerVoices[w].State == 1) m->SequencerVoices[w].State = 2;
  }

  void Compare(const ModuleRecord* a, const ModuleRecord* b, int32_t variant) {
    const std::string where = "variant " + std::to_string(variant) + " frame " + std::to_string(frame_);
    ASSERT_EQ(a->ActiveVoices.Load(), b->ActiveVoices.Load()) << where;
    ASSERT_EQ(a->GateWasOpen, b->GateWasOpen) << where;
    const int32_t n = a->ActiveVoices.Load() < kVoices ? a->ActiveVoices.Load() : kVoices;
    ASSERT_TRUE(SameBits(a->VoiceIds, b->VoiceIds, sizeof(int32_t) * (n + 1))) << where;
    for (int32_t w = 0; w < kVoices; ++w) {
      ASSERT_TRUE(SameBits(&a->SequencerVoices[w], &b->SequencerVoices[w], sizeof(SequencerVoice)))
          << where << " record " << w << " stage " << a->SequencerVoices[w].Index << " / "
          << b->SequencerVoices[w].Index;
    }
    ASSERT_TRUE(SameBits(a->VoiceState[0], b->VoiceState[0], sizeof(float) * kVoices)) << where << " stage times";
    ASSERT_TRUE(SameBits(a->Outputs[0], b->Outputs[0], sizeof(a->Outputs[0]))) << where << " outputs";
    ASSERT_TRUE(SameBits(a->Outputs[1], b->Outputs[1], sizeof(a->Outputs[1]))) << where << " outputs";
    for (int32_t p = 0; p < 2; ++p)
      ASSERT_TRUE(SameBits(a->TriggerBuffers[p], b->TriggerBuffers[p], sizeof(uint32_t) * kVoices))
          << where << " marks " << p;
  }

  void Play(int32_t frames) {
    for (int32_t i = 0; i < frames; ++i, ++frame_) {
      for (const Twin& t : twins_) Refuse(t.voiceByVoice);
      float out[2];
      float* stream = out;
      RenderAudio(&stream, 0, 2);
      for (size_t k = 0; k < twins_.size(); ++k) {
        Compare(twins_[k].rows, twins_[k].voiceByVoice, static_cast<int32_t>(k));
        if (HasFatalFailure()) return;
      }
    }
  }

  KeyboardState& State() {
    const int32_t k = kb_->InstanceNumber.Load() - 1;
    return octave_ ? *OctaveBoardStates[k].Load() : *KeyboardStates[k].Load();
  }
  platform::Mutex* Lock() {
    const int32_t k = kb_->InstanceNumber.Load() - 1;
    return octave_ ? OctaveBoardVoiceLocks[k] : KeyboardVoiceLocks[k];
  }
  int32_t On(int32_t key, float velocity) {
    platform::MutexGuard guard(Lock());
    return NoteOn(State(), octave_ ? OctaveKeyToFrequency(key % 12) : KeyToFrequency(key), velocity);
  }
  void Off(int32_t id) {
    platform::MutexGuard guard(Lock());
    NoteOff(State(), id);
  }
  void Slide(int32_t id, float frequency, float velocity) {
    platform::MutexGuard guard(Lock());
    SlideVoice(State(), id, frequency, velocity);
  }

  std::vector<Twin> twins_;
  int32_t frame_ = 0;
  bool octave_ = false;
};

// Modes side by side on a keyboard of four keys: the usual held note, a
// retrigger factor, repeat with a sustain that ends by time, a live sustain
// input, zero-length stages, a sustain ending by time without repeat. Notes
// end mid-attack, change pitch and velocity while held (alone, with no other
// note starting or ending until it ends), end by a zero pitch and start again
// on the same voice, and more notes come than keys.
TEST_F(AdsrRows, ModesLeaveTheStateOfTheVoiceByVoicePath) {
  BuildTwins(4, 7, [this](int32_t k, ModuleRecord* env) {
    switch (k) {
      case 1: Set(env, kAdsrRetrigger, 0.7f); break;
      case 2:
        env->ModuleSwitches[kSwitch1].Store(-1);
        Set(env, kAdsrSustainLength, 0.003f);
        break;
      case 3: {
        ModuleRecord* lfo = Add(kTSineWave);
        SetShown(lfo, kOscFrequency, 40.0f);
        Set(lfo, kOscAmplitude, 0.5f);
        Link(env, kAdsrSustain, lfo);
        break;
      }
      case 4:
        Set(env, kAdsrDecay, 0.0f);
        Set(env, kAdsrRelease, 0.0f);
        break;
      case 5: Set(env, kAdsrAttack, 0.0f); break;
      case 6: Set(env, kAdsrSustainLength, 0.004f); break;
      default: break;
    }
  });
  if (HasFatalFailure()) return;
  const int32_t a = On(30, 0.9f);
  const int32_t b = On(34, 0.6f);
  const int32_t c = On(37, 0.75f);
  Play(100);
  Off(a);  // mid-attack
  Play(900);
  Slide(b, KeyToFrequency(36), 0.3f);
  Play(300);
  Off(b);  // its release publishes the new pitch
  Play(300);
  Slide(c, 0.0f, 0.75f);
  Play(100);
  Slide(c, KeyToFrequency(39), 0.85f);  // back on the same voice mid-release
  Play(700);
  std::vector<int32_t> more;
  for (int32_t key : {41, 44, 47}) more.push_back(On(key, 0.5f));
  Play(100);
  more.push_back(On(49, 0.7f));  // takes a released voice
  Play(800);
  Off(c);
  for (int32_t id : more) Off(id);
  Play(1200);
}

// Long stages: past half a second a stage time keeps a rest beyond single
// precision, and the rows take the same sums as the voice-by-voice path and
// end the stages on the same frames. The times are driven near the ends.
TEST_F(AdsrRows, LongStagesLeaveTheStateOfTheVoiceByVoicePath) {
  BuildTwins(8, 2, [this](int32_t k, ModuleRecord* env) {
    Set(env, kAdsrAttack, 0.62f);
    Set(env, kAdsrDecay, 0.7f);
    Set(env, kAdsrSustainLength, k == 1 ? 0.75f : 0.0f);
    Set(env, kAdsrRelease, 0.9f);
  });
  if (HasFatalFailure()) return;
  auto drive = [this](float t) {
    for (const Twin& twin : twins_)
      for (ModuleRecord* m : {twin.rows, twin.voiceByVoice})
        for (int32_t w = 0; w < kVoices; ++w)
          if (m->VoiceState[0][w] > 0.0f) m->VoiceState[0][w] = t + 0.001f * static_cast<float>(w % 3);
  };
  std::vector<int32_t> ids;
  for (int32_t key : {30, 33, 35, 38, 40}) ids.push_back(On(key, 0.8f));
  Play(20);
  drive(0.55f);  // the attack ends within about 3,500 frames
  Play(4000);
  drive(0.6f);   // into the decay's fine sums
  Play(500);
  Off(ids[1]);
  Play(300);
  drive(0.68f);  // the decay ends, then the sustain and the release run
  Play(2000);
  for (int32_t id : ids) Off(id);
  Play(300);
  drive(0.85f);
  Play(3500);
}

// Sixteen and then thirty-two voices whose ids leave their positions: notes
// let go from the middle, new ones on the freed ids, all let go; the usual
// held note, a sustain that ends by time, a live sustain input.
TEST_F(AdsrRows, ManyVoicesLeaveTheStateOfTheVoiceByVoicePath) {
  BuildTwins(32, 3, [this](int32_t k, ModuleRecord* env) {
    if (k == 1) Set(env, kAdsrSustainLength, 0.02f);
    if (k == 2) {
      ModuleRecord* lfo = Add(kTSineWave);
      SetShown(lfo, kOscFrequency, 25.0f);
      Set(lfo, kOscAmplitude, 0.5f);
      Link(env, kAdsrSustain, lfo);
    }
  });
  if (HasFatalFailure()) return;
  std::vector<int32_t> ids;
  for (int32_t k = 0; k < 16; ++k) ids.push_back(On(20 + k, 0.4f + 0.03f * static_cast<float>(k)));
  Play(1200);
  for (int32_t k = 3; k < 9; ++k) Off(ids[k]);
  Play(800);
  for (int32_t k = 0; k < 22; ++k) ids.push_back(On(40 + k, 0.5f));
  Play(1500);
  for (int32_t id : ids) Off(id);
  Play(1200);
}

// Voices started together and held, their ids the positions: 32, then 16,
// then 5 of them go through attack, decay and sustain side by side (with a
// zero-length attack, and with a sustain that ends by time while held), then
// end together.
TEST_F(AdsrRows, HeldVoicesSideBySideLeaveTheStateOfTheVoiceByVoicePath) {
  BuildTwins(32, 3, [this](int32_t k, ModuleRecord* env) {
    if (k == 1) Set(env, kAdsrSustainLength, 0.005f);
    if (k == 2) Set(env, kAdsrAttack, 0.0f);
  });
  if (HasFatalFailure()) return;
  for (int32_t count : {32, 16, 5}) {
    std::vector<int32_t> ids;
    for (int32_t k = 0; k < count; ++k) ids.push_back(On(30 + k, 0.3f + 0.02f * static_cast<float>(k)));
    Play(1000);
    if (HasFatalFailure()) return;
    for (int32_t id : ids) Off(id);
    Play(1000);
    if (HasFatalFailure()) return;
  }
}

// Held voices that the keyboard's publish stamp lets the envelope take
// without looking at its inputs, while what that proof stands on changes:
// the attack, decay and sustain lengths and the sustain's set value moved
// mid-stage, the keyboard's outputs reset between frames, the velocity port
// taken from the keyboard and given back, and a note added to voices already
// held. Sixteen voices (whole chunks of eight) and twelve (a part chunk).
TEST_F(AdsrRows, ProvenFramesFollowWhatTheirProofStandsOn) {
  BuildTwins(32, 2, [this](int32_t k, ModuleRecord* env) {
    if (k == 1) Set(env, kAdsrSustainLength, 0.02f);
  });
  if (HasFatalFailure()) return;
  ModuleRecord* lfo = Add(kTSineWave);
  ASSERT_NE(lfo, nullptr);
  SetShown(lfo, kOscFrequency, 30.0f);
  auto each = [this](auto&& f) {
    for (const Twin& t : twins_) {
      f(t.rows);
      f(t.voiceByVoice);
    }
  };
  for (int32_t count : {16, 12}) {
    std::vector<int32_t> ids;
    for (int32_t k = 0; k < count; ++k) ids.push_back(On(30 + k, 0.3f + 0.02f * static_cast<float>(k)));
    Play(100);
    if (HasFatalFailure()) return;
    each([this](ModuleRecord* env) { Set(env, kAdsrAttack, 0.005f); });  // mid-attack
    Play(200);
    each([this](ModuleRecord* env) { Set(env, kAdsrDecay, 0.004f); });  // mid-decay
    Play(400);
    // Held and unchanged a while: the proven frames are what is compared.
    ASSERT_NE(twins_[0].rows->Adsr.Stamp, 0u);
    each([this](ModuleRecord* env) { Set(env, kAdsrSustain, 0.7f); });
    Play(200);
    ModuleReset(*kb_);  // clears the keyboard's outputs, keeps its voices
    Play(50);
    each([lfo](ModuleRecord* env) { Link(env, kAdsrVelocity, lfo); });
    Play(50);
    each([this](ModuleRecord* env) { Link(env, kAdsrVelocity, kb_); });
    Play(100);
    each([this](ModuleRecord* env) { Set(env, kAdsrSustainLength, 0.01f); });
    Play(300);
    ids.push_back(On(70, 0.8f));
    Play(200);
    if (HasFatalFailure()) return;
    for (int32_t id : ids) Off(id);
    Play(1000);
    if (HasFatalFailure()) return;
    each([this](ModuleRecord* env) {
      Set(env, kAdsrAttack, 0.004f);
      Set(env, kAdsrDecay, 0.006f);
      Set(env, kAdsrSustain, 0.5f);
      Set(env, kAdsrSustainLength, 0.0f);
    });
  }
}

// Held voices whose velocity is one value for every voice: set on the
// module (variant 0) or global, the template's (variant 1). The proven frames
// take them too, and follow the value moved in attack, decay and sustain, the
// port linked to the keyboard and back (to 0) while the notes hold, a value module
// whose element holds two different values, and a single-voice source of its
// own value.
TEST_F(AdsrRows, ProvenFramesFollowASetVelocity) {
  ModuleRecord& templ = ModuleCatalog[kTAdsr];
  BuildTwins(32, 2, [&](int32_t k, ModuleRecord* env) {
    if (k == 1) env->Params[kAdsrVelocity].Global.Store(-1);
    ModuleLinkInput(*env, kAdsrVelocity, nullptr, &templ);
  });
  if (HasFatalFailure()) return;
  ASSERT_EQ(twins_[1].rows->PortSources[kAdsrVelocity].Load(), templ.PortValueModules[kAdsrVelocity]);
  ModuleRecord* constant = Constant(0.35f);
  ASSERT_NE(constant, nullptr);
  auto velocity = [&](float x) {
    Set(&templ, kAdsrVelocity, x);
    for (const Twin& t : twins_)
      for (ModuleRecord* env : {t.rows, t.voiceByVoice}) Set(env, kAdsrVelocity, x);
  };
  auto proven = [&] {
    for (const Twin& t : twins_) EXPECT_NE(t.rows->Adsr.Stamp, 0u);
  };
  auto relink = [&](ModuleRecord* source) {
    for (const Twin& t : twins_)
      for (ModuleRecord* env : {t.rows, t.voiceByVoice}) ModuleLinkInput(*env, kAdsrVelocity, source, &templ);
  };
  for (int32_t count : {32, 12}) {
    velocity(0.6f);
    std::vector<int32_t> ids;
    for (int32_t k = 0; k < count; ++k) ids.push_back(On(30 + k, 0.3f + 0.02f * static_cast<float>(k)));
    Play(150);
    velocity(0.9f);  // mid-attack
    Play(250);
    velocity(-0.4f);  // mid-decay
    Play(500);
    proven();
    velocity(1.5f);  // mid-sustain: only the records' peaks move
    Play(50);
    proven();
    relink(kb_);  // the keyboard's velocities
    Play(50);
    proven();
    velocity(0.0f);
    relink(kb_);  // and a set value again, 0
    Play(50);
    proven();
    // A value module holding a level and a frequency apart.
    for (const Twin& t : twins_)
      for (ModuleRecord* env : {t.rows, t.voiceByVoice})
        env->PortSources[kAdsrVelocity].Load()->Outputs[0][0].Frequency = 0.2f;
    Play(50);
    relink(constant);
    Play(50);
    relink(constant);
    Play(50);
    if (HasFatalFailure()) return;
    for (int32_t id : ids) Off(id);
    Play(800);
    if (HasFatalFailure()) return;
  }
}

// Held voices taking their proven frames, their envelopes' voices reset
// mid-sustain (both twins alike), with the notes still held or let go: a
// reset leaves nothing armed and no proof, so the envelope starts its notes
// again from the records as the voice-by-voice path does.
TEST_F(AdsrRows, ProvenFramesEndWithAResetOfTheVoices) {
  BuildTwins(16, 1, [](int32_t, ModuleRecord*) {});
  if (HasFatalFailure()) return;
  for (const bool letGo : {false, true}) {
    std::vector<int32_t> ids;
    for (int32_t k = 0; k < 16; ++k) ids.push_back(On(30 + k, 0.3f + 0.02f * static_cast<float>(k)));
    Play(700);
    if (HasFatalFailure()) return;
    ModuleRecord* env = twins_[0].rows;
    ASSERT_NE(env->Adsr.Stamp, 0u);
    ASSERT_NE(env->Adsr.Key, 0);
    for (ModuleRecord* m : {env, twins_[0].voiceByVoice}) ModuleResetVoices(*m);
    EXPECT_EQ(env->Adsr.Key, 0);
    EXPECT_EQ(env->Adsr.Stamp, 0u);
    EXPECT_EQ(env->Adsr.Voices, 0);
    if (letGo)
      for (int32_t id : ids) Off(id);
    Play(700);
    if (HasFatalFailure()) return;
    if (!letGo) {
      ASSERT_NE(env->Adsr.Stamp, 0u);  // armed and proven again
      for (int32_t id : ids) Off(id);
      Play(700);
      if (HasFatalFailure()) return;
    }
  }
}

// An Octave board's held voices: its base frequency moved while the
// envelopes take their proven frames, then its notes let go.
TEST_F(AdsrRows, ProvenFramesFollowAnOctaveBoardsBaseFrequency) {
  BuildTwins(8, 2, [this](int32_t k, ModuleRecord* env) {
    if (k == 1) Set(env, kAdsrAttack, 0.0f);
  }, kTypeOctaveBoard);
  if (HasFatalFailure()) return;
  std::vector<int32_t> ids;
  for (int32_t k = 0; k < 8; ++k) ids.push_back(On(k, 0.4f + 0.05f * static_cast<float>(k)));
  Play(700);
  if (HasFatalFailure()) return;
  ASSERT_NE(twins_[0].rows->Adsr.Stamp, 0u);
  Set(kb_, 0, kb_->Params[0].Value.Load() * 1.5f);
  Play(300);
  if (HasFatalFailure()) return;
  for (int32_t id : ids) Off(id);
  Play(800);
}

}  // namespace
}  // namespace Tarvelo
