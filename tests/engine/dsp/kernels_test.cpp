// Kernels on modules made from the catalog, called directly: how ports read,
// the clip rule, and the keyboard and octave-board kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "engine/dsp/adsr.h"

#include "engine/dsp/keyboards.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

class KernelTest : public testing_synth::SynthTest {
 protected:
  // Runs a kernel slot as the render callback would, with a fixed parity.
  static void Run(ModuleRecord* m, int32_t parity) {
    if (m->TriggerOwner.Load() == m) ClearTriggerBuffer(*m, parity);
    m->ProcessFunctions[m->PolyphonyMode.Load()](m, 0, parity, parity ^ 1);
    if (m->ActiveVoices.Load() < m->PreviousActiveVoices) ClearDroppedVoices(*m, m->PreviousActiveVoices);
    m->PreviousActiveVoices = m->ActiveVoices.Load();
  }
  static void Rebuild(KeyboardState& s) { VoiceListRebuild(s, nullptr); }
};

TEST_F(KernelTest, PortReadsUnlinkedLinkedAndAcrossChannels) {
  ModuleRecord* src = Add(kTypeOscillator);
  ModuleRecord* osc = Add(kTypeOscillator);
  // Unlinked: the set value under both reads.
  ModuleSetParamValue(*osc, kOscBias, -0.5f);
  ModuleSetParamValue(*osc, kOscAmplitude, -0.5f);
  EXPECT_EQ(PlainRead(*osc, kOscBias, 0, 0), -0.5f);
  EXPECT_EQ(ScaledRead(*osc, kOscAmplitude, 0, 0), -0.5f);
  EXPECT_EQ(ScaledRead(*osc, kOscAmplitude, 1, 7), -0.5f);
  // Linked to a live source publishing 0.8, set to 0.5: 0.4 scaled, 0.8 plain.
  ASSERT_EQ(ModuleLinkInput(*osc, kOscAmplitude, src, &ModuleCatalog[kTypeOscillator]), kLinkConnected);
  ASSERT_EQ(ModuleLinkInput(*osc, kOscBias, src, &ModuleCatalog[kTypeOscillator]), kLinkConnected);
  ModuleSetParamValue(*osc, kOscAmplitude, 0.5f);
  ModuleSetParamValue(*osc, kOscBias, 0.5f);
  src->Outputs[0][0] = OutputElement{0.8f, 0.3f};
  src->ChannelsProcessed.Store(1);
  EXPECT_FLOAT_EQ(ScaledRead(*osc, kOscAmplitude, 0, 0), 0.4f);
  EXPECT_EQ(PlainRead(*osc, kOscBias, 0, 0), 0.8f);
  // A one-channel source gives channel 0 to both channels; a single-voice
  // source (row 0) gives voice 0 to every position.
  EXPECT_EQ(PlainRead(*osc, kOscBias, 1, 0), 0.8f);
  osc->Params[kOscBias].VoiceMapRow = 0;
  EXPECT_EQ(PlainRead(*osc, kOscBias, 1, 9), 0.8f);
  // A two-channel source read per voice.
  src->ChannelsProcessed.Store(2);
  src->Outputs[1][3] = OutputElement{-0.2f, 0.1f};
  osc->Params[kOscBias].VoiceMapRow = 1;
  EXPECT_EQ(PlainRead(*osc, kOscBias, 1, 3), -0.2f);
  // The frequency side.
  ASSERT_EQ(ModuleLinkInput(*osc, kOscFrequency, src, &ModuleCatalog[kTypeOscillator]), kLinkConnected);
  osc->Params[kOscFrequency].VoiceMapRow = 0;
  EXPECT_EQ(PlainRead(*osc, kOscFrequency, 0, 4), 0.3f);
}

TEST_F(KernelTest, ClipRuleAtTheLimits) {
  Shared<int64_t> flag{0};
  EXPECT_EQ(ClipValue(1.0f, flag), 1.0f);
  EXPECT_EQ(ClipValue(-1.0f, flag), -1.0f);
  EXPECT_EQ(flag.Load(), 0);
  EXPECT_EQ(ClipValue(1.0001f, flag), 1.0f);
  EXPECT_EQ(flag.Load(), -1);
  flag.Store(0);
  EXPECT_EQ(ClipValue(-7.0f, flag), -1.0f);
  EXPECT_EQ(flag.Load(), -1);
  flag.Store(0);
  EXPECT_EQ(ClipValue(std::nanf(""), flag), 0.0f);
  EXPECT_EQ(flag.Load(), -1);
  EXPECT_EQ(LimitValue(3.0f), 1.0f);
  EXPECT_EQ(LimitValue(-0.5f), -0.5f);
}

TEST_F(KernelTest, SingleVoiceKeyboardRetriggersAndFreesAtOnce) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  KeyboardState& s = *KeyboardStates[0].Load();
  const int32_t a = NoteOn(s, 440.0f, 0.9f);
  Rebuild(s);
  Run(kb, 0);
  EXPECT_EQ(kb->ActiveVoices.Load(), 1);
  EXPECT_EQ(kb->Outputs[0][0].Level, 0.0f);  // first frame of a note
  Run(kb, 1);
  EXPECT_EQ(kb->Outputs[0][0].Level, 0.9f);
  EXPECT_FLOAT_EQ(kb->Outputs[0][0].Frequency, 440.0f * FrequencyNorm);
  // A second key while holding the first: one frame of {0, 0}, then the note.
  const int32_t b = NoteOn(s, 880.0f, 0.7f);
  Rebuild(s);
  Run(kb, 0);
  EXPECT_EQ(kb->Outputs[0][0].Level, 0.0f);
  EXPECT_EQ(kb->Outputs[0][0].Frequency, 0.0f);
  Run(kb, 1);
  EXPECT_EQ(kb->Outputs[0][0].Level, 0.7f);
  // Releasing it publishes {0, 0} and frees it in the same frame.
  NoteOff(s, b);
  Run(kb, 0);
  EXPECT_EQ(kb->Outputs[0][0].Level, 0.0f);
  EXPECT_EQ(s.Voices[b].State.Load(), kVoiceFree);
  EXPECT_EQ(s.Voices[a].State.Load(), kVoiceOn);
  // The last voice is gone: nothing sounds.
  Rebuild(s);
  Run(kb, 1);
  EXPECT_EQ(kb->ActiveVoices.Load(), 0);
}

TEST_F(KernelTest, MaxKeysRoundsToEven) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  kb->PolyphonyMode.Store(1);
  KeyboardState& s = *KeyboardStates[0].Load();
  for (float maxKeys : {2.5f, 3.5f}) {
    ResetKeyboardState(s, nullptr);
    kb->PortValueModules[0]->Outputs[0][0].Level = maxKeys;
    const int32_t v0 = NoteOn(s, 220.0f, 1.0f);
    NoteOn(s, 330.0f, 1.0f);
    NoteOn(s, 440.0f, 1.0f);
    Rebuild(s);
    Run(kb, 0);
    NoteOff(s, v0);
    // A follower keeps the released voice alive.
    kb->TriggerBuffers[0][v0] = kVoiceMark;
    Run(kb, 1);
    // 2.5 rounds to 2 (3 voices >= 2: freed), 3.5 to 4 (kept).
    EXPECT_EQ(s.Voices[v0].State.Load(), maxKeys == 2.5f ? kVoiceFree : kVoiceReleased) << maxKeys;
    EXPECT_EQ(kb->Outputs[0][0].Level, 0.0f);
    EXPECT_EQ(kb->Outputs[0][0].Frequency, 0.0f);
  }
}

TEST_F(KernelTest, KillReleasedFlagFreesEveryReleasedVoice) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  kb->PolyphonyMode.Store(1);
  kb->ModuleSwitches[kSwitchKillReleased].Store(-1);
  KeyboardState& s = *KeyboardStates[0].Load();
  const int32_t v = NoteOn(s, 220.0f, 1.0f);
  Rebuild(s);
  Run(kb, 0);
  NoteOff(s, v);
  kb->TriggerBuffers[0][v] = kVoiceMark;
  Run(kb, 1);
  EXPECT_EQ(s.Voices[v].State.Load(), kVoiceFree);
}

TEST_F(KernelTest, OctaveBoardScalesByItsBaseAndLimitsWithoutFlag) {
  ModuleRecord* ob = Add(kTypeOctaveBoard);
  ob->PolyphonyMode.Store(1);
  ModuleSetParamValue(*ob, 0, 2.0f);
  KeyboardState& s = *OctaveBoardStates[0].Load();
  NoteOn(s, 1000.0f, 1.0f);
  NoteOn(s, 8000.0f, 1.0f);  // above rate / 8: 2 x 8000 x 4 / 48000 > 1
  Rebuild(s);
  Run(ob, 0);
  ASSERT_EQ(ob->ActiveVoices.Load(), 2);
  EXPECT_FLOAT_EQ(ob->Outputs[0][0].Frequency, 2.0f * 1000.0f * FrequencyNorm);
  EXPECT_EQ(ob->Outputs[0][1].Frequency, 1.0f);
  EXPECT_EQ(ob->ClipFlag.Load(), 0);
  // Negative bases limit to -1.
  ModuleSetParamValue(*ob, 0, -16.0f);
  Run(ob, 1);
  EXPECT_EQ(ob->Outputs[0][1].Frequency, -1.0f);
  // Single-voice mode publishes the latest note the same way.
  ob->PolyphonyMode.Store(0);
  Run(ob, 0);
  Run(ob, 1);
  EXPECT_EQ(ob->Outputs[0][0].Frequency, -1.0f);
  EXPECT_EQ(ob->ClipFlag.Load(), 0);
}

// Frames in which nothing changes leave a per-voice keyboard's outputs as
// they are; whatever does change (a slide, a release, the rate, outputs
// written by someone else, the single-voice function) is published in the
// next frame exactly as if every frame were computed afresh.
TEST_F(KernelTest, PerVoiceKeyboardPublishesEveryChange) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  kb->PolyphonyMode.Store(1);
  KeyboardState& s = *KeyboardStates[0].Load();
  const int32_t a = NoteOn(s, 220.0f, 0.9f);
  const int32_t b = NoteOn(s, 330.0f, 0.8f);
  const int32_t c = NoteOn(s, 440.0f, 0.7f);
  Rebuild(s);
  auto expect = [&](int32_t i, int32_t id, float level, float frequency) {
    EXPECT_EQ(kb->VoiceIds[i], id) << i;
    EXPECT_EQ(kb->Outputs[0][i].Level, level) << i;
    EXPECT_EQ(kb->Outputs[0][i].Frequency, frequency) << i;
  };
  for (int32_t frame = 0; frame < 5; ++frame) Run(kb, frame & 1);
  ASSERT_EQ(kb->ActiveVoices.Load(), 3);
  expect(1, b, 0.8f, 330.0f * FrequencyNorm);
  EXPECT_EQ(s.Changed.Load(), 0);

  // Outputs and ids written by a reset or the single-voice function.
  kb->Outputs[0][1] = OutputElement{0.0f, 0.0f};
  kb->VoiceIds[2] = 0;
  Run(kb, 1);
  expect(1, b, 0.8f, 330.0f * FrequencyNorm);
  expect(2, c, 0.7f, 440.0f * FrequencyNorm);
  kb->PolyphonyMode.Store(0);
  Run(kb, 0);
  kb->PolyphonyMode.Store(1);
  Run(kb, 1);
  ASSERT_EQ(kb->ActiveVoices.Load(), 3);
  expect(0, a, 0.9f, 220.0f * FrequencyNorm);

  // A slide.
  SlideVoice(s, a, 247.5f, 0.6f);
  Run(kb, 0);
  expect(0, a, 0.6f, 247.5f * FrequencyNorm);

  // Another rate.
  const float norm = FrequencyNorm;
  FrequencyNorm = 4.0f / 44100.0f;
  Run(kb, 1);
  expect(2, c, 0.7f, 440.0f * FrequencyNorm);
  FrequencyNorm = norm;
  Run(kb, 0);
  expect(2, c, 0.7f, 440.0f * norm);

  // A release kept alive by a follower's marks, frame after frame, then
  // freed in the first frame after one without a mark.
  NoteOff(s, b);
  for (int32_t frame = 0; frame < 4; ++frame) {
    kb->TriggerBuffers[(frame & 1) ^ 1][b] = kVoiceMark;  // the previous frame's mark
    Run(kb, frame & 1);
    expect(1, b, 0.0f, 0.0f);
    EXPECT_EQ(s.Voices[b].State.Load(), kVoiceReleased) << frame;
  }
  Run(kb, 0);
  EXPECT_EQ(s.Voices[b].State.Load(), kVoiceFree);
  expect(1, b, 0.0f, 0.0f);
  Rebuild(s);
  Run(kb, 0);
  ASSERT_EQ(kb->ActiveVoices.Load(), 2);
  expect(1, c, 0.7f, 440.0f * FrequencyNorm);

  // Max keys lowered below the voices sounding frees a release at once,
  // though a follower keeps it.
  NoteOff(s, c);
  kb->TriggerBuffers[0][c] = kVoiceMark;
  Run(kb, 1);
  kb->TriggerBuffers[1][c] = kVoiceMark;
  Run(kb, 0);
  EXPECT_EQ(s.Voices[c].State.Load(), kVoiceReleased);
  kb->PortValueModules[0]->Outputs[0][0].Level = 2.0f;
  kb->TriggerBuffers[0][c] = kVoiceMark;
  Run(kb, 1);
  EXPECT_EQ(s.Voices[c].State.Load(), kVoiceFree);
}

TEST_F(KernelTest, KeyboardWithoutAStatePublishesNothing) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  kb->InstanceNumber.Store(17);
  kb->ActiveVoices.Store(3);
  Run(kb, 0);
  EXPECT_EQ(kb->ActiveVoices.Load(), 0);
  kb->PolyphonyMode.Store(1);
  kb->InstanceNumber.Store(0);
  Run(kb, 1);
  EXPECT_EQ(kb->ActiveVoices.Load(), 0);
}

// While a removal renumbers the keyboards, a keyboard plays the state it
// found last, in both modes, and frees its released voices under the lock of
// the entry that holds that state now; once the renumbering ends, its number
// and entry are read again.
TEST_F(KernelTest, ARenumberedKeyboardPlaysOnlyItsOwnState) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  ASSERT_EQ(kb->InstanceNumber.Load(), 1);
  KeyboardState& own = *KeyboardStates[0].Load();
  KeyboardState& other = *KeyboardStates[1].Load();
  const int32_t a = NoteOn(own, 220.0f, 0.9f);
  NoteOn(other, 330.0f, 0.8f);
  Rebuild(own);
  Rebuild(other);
  for (int32_t mode : {0, 1}) {
    SCOPED_TRACE(mode);
    kb->PolyphonyMode.Store(mode);
    kb->InstanceNumber.Store(1);
    Run(kb, 0);
    Run(kb, 1);
    EXPECT_EQ(kb->Outputs[0][0].Frequency, 220.0f * FrequencyNorm);
    BeginKeyboardRenumbering();
    kb->InstanceNumber.Store(2);  // renumbered, the entries not yet swapped
    Run(kb, 0);
    EXPECT_EQ(kb->Outputs[0][0].Frequency, 220.0f * FrequencyNorm);
    EndKeyboardRenumbering();
    Run(kb, 1);
    Run(kb, 0);
    EXPECT_EQ(kb->Outputs[0][0].Frequency, 330.0f * FrequencyNorm);
  }
  // The state found last moved to entry 5: its release is freed there.
  kb->PolyphonyMode.Store(0);
  kb->InstanceNumber.Store(1);
  Run(kb, 0);
  std::swap(KeyboardStates[0], KeyboardStates[5]);
  BeginKeyboardRenumbering();
  NoteOff(own, a);
  Run(kb, 1);
  EndKeyboardRenumbering();
  EXPECT_EQ(own.Voices[a].State.Load(), kVoiceFree);
  platform::Mutex* lock = LockEntryOf(KeyboardStates, KeyboardVoiceLocks, &own, 0);
  EXPECT_EQ(lock, KeyboardVoiceLocks[5]);
  platform::MutexUnlock(lock);
  EXPECT_EQ(LockEntryOf(KeyboardStates, KeyboardVoiceLocks, nullptr, 0), nullptr);
  std::swap(KeyboardStates[0], KeyboardStates[5]);
}

// A long envelope stage ends where its length puts it, within a millisecond,
// an hour into it too: each case drives the stage time near the end and
// plays on, one voice and 8 voices side by side.
TEST_F(KernelTest, LongEnvelopeStagesEndOnTime) {
  struct Case {
    int32_t stage;   // attack or decay
    float length;    // s
    float from;      // s, the stage time driven into the state
  };
  const Case cases[] = {{kAdsrAttacking, 100.0f, 99.0f},
                        {kAdsrDecaying, 1000.0f, 999.5f},
                        {kAdsrAttacking, 3500.0f, 3499.75f},
                        {kAdsrDecaying, 2.0f, 0.25f}};
  for (const Case& c : cases) {
    for (const int32_t voices : {1, 8}) {
      ModuleRecord* notes = Source(1, voices, voices > 1);
      for (int32_t v = 0; v < voices; ++v) Put(notes, 0, v, 1.0f, 0.01f);
      ModuleRecord* env = Add(kTypeAdsr);
      if (voices > 1) {
        PerVoice(env);
        env->TriggerOwner.Store(notes);
      }
      Link(env, kAdsrFrequency, notes);
      Link(env, kAdsrVelocity, notes);
      env->Params[kAdsrFrequency].VoiceMapRow = voices > 1 ? 1 : 0;
      env->Params[kAdsrVelocity].VoiceMapRow = voices > 1 ? 1 : 0;
      Set(env, kAdsrSustain, 0.5f);
      Set(env, kAdsrAttack, c.stage == kAdsrAttacking ? c.length : 0.001f);
      Set(env, kAdsrDecay, c.stage == kAdsrDecaying ? c.length : 0.001f);
      Set(env, kAdsrSustainLength, 0.0f);
      Set(env, kAdsrRelease, 1.0f);
      int64_t f = 0;
      auto frame = [&] {
        if (voices > 1) ClearTriggerBuffer(*notes, static_cast<int32_t>(f & 1));
        EngineTest::Run(env, voices, static_cast<int32_t>(f & 1));
        ++f;
      };
      // Into the stage, then its time driven near the end.
      while (env->SequencerVoices[0].Index < c.stage && f < 1000) frame();
      ASSERT_EQ(env->SequencerVoices[0].Index, c.stage);
      for (int32_t v = 0; v < voices; ++v) env->VoiceState[0][env->VoiceIds[v]] = c.from;
      const int64_t start = f;
      const int64_t limit = start + static_cast<int64_t>((c.length - c.from + 0.1f) * RateWhole);
      while (env->SequencerVoices[0].Index == c.stage && f < limit) frame();
      const double late = (static_cast<double>(f - start) / RateWhole - (c.length - c.from)) * 1000.0;
      EXPECT_LT(std::fabs(late), 1.0) << "stage " << c.stage << " of " << c.length << " s from " << c.from << " s, "
                                      << voices << " voices: ends late by (ms)";
      for (int32_t v = 1; v < voices; ++v) EXPECT_EQ(env->SequencerVoices[v].Index, env->SequencerVoices[0].Index);
    }
  }
}

}  // namespace
}  // namespace Tarvelo
