// The render path end to end: synths built from the catalog, notes entered
// through the note routines, RenderAudio filling a buffer, and the numbers it
// must produce.
#include "engine/render.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/wav.h"
#include "engine/dsp/adsr.h"
#include "engine/dsp/sequencer.h"
#include "engine/filerecord.h"
#include "tests/engine/random_patch.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

constexpr int32_t kSine = 0;
constexpr int32_t kSquare = 2;

using testing_synth::Crossings;

class RenderTest : public testing_synth::SynthTest {
 protected:
  KeyboardState& Kb(int32_t i = 0) { return *KeyboardStates[i].Load(); }
  int32_t SlotOfKey(int32_t key) {
    int32_t h = FindHeldKey(Kb(), static_cast<uint32_t>(key));
    return h < 0 ? -1 : Kb().HeldKeys[h].Voice.Load();
  }

  // Envelope stages in displayed units; a stage below 0 keeps its default.
  struct Stages {
    float attack = -1.0f, decay = -1.0f, sustain = -1.0f, sustainLength = -1.0f, release = -1.0f;
  };
  // An envelope following the keyboard's frequency, with those stages.
  static ModuleRecord* Envelope(ModuleRecord* kb, const Stages& st) {
    ModuleRecord* env = Add(kTypeAdsr);
    Link(env, kAdsrFrequency, kb);
    const std::pair<int32_t, float> set[] = {{kAdsrAttack, st.attack},
                                             {kAdsrDecay, st.decay},
                                             {kAdsrSustain, st.sustain},
                                             {kAdsrSustainLength, st.sustainLength},
                                             {kAdsrRelease, st.release}};
    for (const auto& [p, v] : set)
      if (v >= 0.0f) SetShown(env, p, v);
    return env;
  }
  // A per-voice keyboard playing a per-voice oscillator, the output.
  static ModuleRecord* KeyboardIntoOscillator(ModuleRecord*& kb) {
    kb = Add(kTypeKeyboard);
    PerVoice(kb);
    ModuleRecord* osc = Add(kTypeOscillator);
    PerVoice(osc);
    Link(osc, kOscFrequency, kb);
    Output(osc);
    return osc;
  }
  // Two notes held long enough for the oscillator to settle on two voices.
  void HoldTwoNotes(const ModuleRecord* osc) {
    ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
    ASSERT_GE(KeyNoteOn(52, 1.0f, 1), 0);
    Render(20);
    ASSERT_EQ(osc->VoicesToCompute, 2);
  }
  // A per-voice oscillator whose frequency and amplitude follow the envelope.
  static ModuleRecord* VoicedOscillator(ModuleRecord* env) {
    ModuleRecord* osc = Add(kTypeOscillator);
    PerVoice(osc);
    Link(osc, kOscFrequency, env);
    Link(osc, kOscAmplitude, env);
    return osc;
  }
};

TEST_F(RenderTest, FramesCountersParityAndSilenceWithoutAnOrder) {
  std::vector<float> buffer(16, -9.0f);
  float* p = buffer.data();
  const uint64_t frames = FrameCounter.load();
  const int32_t parity = FrameParity;
  RenderAudio(&p, 10, 4);
  EXPECT_EQ(FrameCounter.load(), frames + 2);
  EXPECT_EQ(FrameParity, parity);
  EXPECT_EQ(PreviousFrameParity, parity ^ 1);
  for (int32_t i = 0; i < 16; ++i) EXPECT_EQ(buffer[i], (i >= 10 && i < 14) ? 0.0f : -9.0f) << i;
  // Silence accumulates nothing, and the meters were not due yet.
  EXPECT_EQ(OutputLevelSums[0].level, 0.0f);
  EXPECT_EQ(OutputMeterCount, 6);
  // Bad calls touch nothing.
  RenderAudio(nullptr, 0, 4);
  float* none = nullptr;
  RenderAudio(&none, 0, 4);
  RenderAudio(&p, -2, 4);
  EXPECT_EQ(FrameCounter.load(), frames + 2);
}

TEST_F(RenderTest, MixedOutputIsClippedAndFlagsTheOutputModule) {
  // A per-voice keyboard as the output: its voices' levels are their velocities.
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  Output(kb);
  ASSERT_GE(KeyNoteOn(48, 0.5f, 1), 0);
  ASSERT_GE(KeyNoteOn(50, 0.4f, 1), 0);
  ASSERT_GE(KeyNoteOn(52, 0.3f, 1), 0);
  std::vector<float> out = Render(2);
  EXPECT_EQ(kb->ActiveVoices.Load(), 3);
  EXPECT_EQ(out[2], 1.0f);
  EXPECT_EQ(out[3], 1.0f);
  EXPECT_EQ(kb->ClipFlag.Load(), -1);

  kb->ClipFlag.Store(0);
  KeyNoteOff(-1, 52, 1);
  Render(3);
  ASSERT_GE(KeyNoteOn(52, 0.1f, 1), 0);
  out = Render(2);
  EXPECT_EQ(out[2], (0.5f + 0.4f) + 0.1f);
  EXPECT_LE(out[2], 1.0f);
  EXPECT_EQ(kb->ClipFlag.Load(), 0);
}

TEST_F(RenderTest, MonoOutputGoesToBothChannelsAndBothMeters) {
  ModuleRecord* osc = Add(kTypeOscillator);
  SetShown(osc, kOscFrequency, 440.0f);
  SetShown(osc, kOscAmplitude, 0.5f);
  Output(osc);
  ASSERT_EQ(osc->ChannelsProcessed.Load(), 1);
  OutputMeterCount = 0;
  std::vector<float> out = Render(480);
  bool sounded = false;
  for (size_t i = 0; i < out.size(); i += 2) {
    EXPECT_EQ(out[i], out[i + 1]);
    sounded |= out[i] != 0.0f;
  }
  EXPECT_TRUE(sounded);
  // 960 floats reached the stream length: the meters were reported and reset.
  EXPECT_EQ(OutputMeterCount, 0);
  EXPECT_EQ(QUARLE_AUDIO::OutputMeters[0].level, QUARLE_AUDIO::OutputMeters[1].level);
  EXPECT_EQ(QUARLE_AUDIO::OutputMeters[0].minimum, QUARLE_AUDIO::OutputMeters[1].minimum);
  EXPECT_EQ(QUARLE_AUDIO::OutputMeters[0].maximum, QUARLE_AUDIO::OutputMeters[1].maximum);
  EXPECT_GT(QUARLE_AUDIO::OutputMeters[0].level, -60.0f);
  EXPECT_EQ(OutputLevelSums[0].level, 0.0f);
}

TEST_F(RenderTest, VoiceMapRowsFollowTheSourcesVoices) {
  // A per-voice oscillator whose voices come from a 3-voice keyboard (port F)
  // and whose bias comes from a single-voice keyboard: every voice reads that
  // one voice.
  ModuleRecord* poly = Add(kTypeKeyboard);
  ModuleRecord* mono = Add(kTypeKeyboard);
  ASSERT_EQ(mono->InstanceNumber.Load(), 2);
  PerVoice(poly);
  ModuleRecord* osc = Add(kTypeOscillator);
  PerVoice(osc);
  Link(osc, kOscFrequency, poly);
  Link(osc, kOscBias, mono);
  SetShown(osc, kOscAmplitude, 0.0f);
  Output(osc);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  ASSERT_GE(KeyNoteOn(52, 1.0f, 1), 0);
  ASSERT_GE(KeyNoteOn(55, 1.0f, 1), 0);
  ASSERT_GE(KeyNoteOn(40, 0.25f, 2), 0);
  Render(3);
  EXPECT_EQ(osc->ActiveVoices.Load(), 3);
  EXPECT_EQ(osc->Params[kOscBias].VoiceMapRow, 0);
  EXPECT_EQ(osc->Params[kOscFrequency].VoiceMapRow, 1);
  for (int32_t v = 0; v < 3; ++v) EXPECT_EQ(osc->Outputs[0][v].Level, 0.25f) << v;
  EXPECT_EQ(osc->Outputs[0][3].Level, 0.0f);

  // A per-voice source with a single voice is still read per voice.
  KeyNoteOff(-1, 52, 1);
  KeyNoteOff(-1, 55, 1);
  Render(3);
  EXPECT_EQ(poly->ActiveVoices.Load(), 1);
  EXPECT_EQ(osc->Params[kOscFrequency].VoiceMapRow, 1);
  // The freed positions were cleared right after the keyboard ran.
  EXPECT_EQ(poly->Outputs[0][1].Level, 0.0f);
  EXPECT_EQ(poly->Outputs[0][2].Frequency, 0.0f);
  EXPECT_EQ(osc->Outputs[0][1].Level, 0.0f);
}

// Ports that read their own set value are left out of the per-frame walk
// once the order is rebuilt; a port whose source changes is walked again at
// once, before any rebuild.
TEST_F(RenderTest, PortsReadingTheirSetValuesAreWalkedAgainWhenRelinked) {
  ModuleRecord* kb = nullptr;
  ModuleRecord* osc = KeyboardIntoOscillator(kb);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  Render(2);
  ASSERT_EQ(osc->VoicesToCompute, 1);
  const uint64_t steady = ModuleSteadyPorts(*osc);
  for (int32_t p : {kOscBias, kOscAmplitude, kOscPhase, kOscPeriod, kOscDuty})
    EXPECT_NE(steady & (uint64_t{1} << p), 0u) << p;
  EXPECT_EQ(steady & (uint64_t{1} << kOscFrequency), 0u);

  // The bias now reads a module without voices: the oscillator has nothing
  // to compute, in the very next frame.
  ModuleRecord* silent = Source(1, 0);
  Link(osc, kOscBias, silent);
  EXPECT_EQ(ModuleSteadyPorts(*osc), 0u);
  ProcessModuleFrame(osc, FrameCounter.load(), FrameParity, PreviousFrameParity);
  EXPECT_EQ(osc->VoicesToCompute, 0);

  // A port whose row is still 1 from an earlier source is not steady: the
  // walk sets it to 0 first.
  // Linking the same source again takes the link away: back to its value.
  EXPECT_EQ(ModuleLinkInput(*osc, kOscBias, silent, &ModuleCatalog[osc->Type]), kLinkDisconnected);
  osc->Params[kOscPhase].VoiceMapRow = 1;
  ModuleChooseSteadyPorts(*osc);
  EXPECT_EQ(ModuleSteadyPorts(*osc) & (uint64_t{1} << kOscPhase), 0u);
  EXPECT_NE(ModuleSteadyPorts(*osc) & (uint64_t{1} << kOscBias), 0u);
  ProcessModuleFrame(osc, FrameCounter.load(), FrameParity, PreviousFrameParity);
  EXPECT_EQ(osc->Params[kOscPhase].VoiceMapRow, 0);
  EXPECT_EQ(osc->VoicesToCompute, 1);
}

TEST_F(RenderTest, DroppedVoicesReadZeroForLaterModules) {
  ModuleRecord* kb = nullptr;
  ModuleRecord* osc = KeyboardIntoOscillator(kb);
  for (int32_t key : {40, 42, 44, 46, 48}) ASSERT_GE(KeyNoteOn(key, 0.8f, 1), 0);
  Render(2);
  ASSERT_EQ(kb->ActiveVoices.Load(), 5);
  ASSERT_NE(kb->Outputs[0][4].Frequency, 0.0f);
  KeyNoteOff(-1, 46, 1);
  KeyNoteOff(-1, 48, 1);
  Render(1);  // freed (nothing marks them) but still published this frame
  EXPECT_EQ(kb->ActiveVoices.Load(), 5);
  Render(1);
  EXPECT_EQ(kb->ActiveVoices.Load(), 3);
  EXPECT_EQ(osc->ActiveVoices.Load(), 3);
  for (int32_t v = 3; v < 5; ++v) {
    EXPECT_EQ(kb->Outputs[0][v].Level, 0.0f);
    EXPECT_EQ(kb->Outputs[0][v].Frequency, 0.0f);
    EXPECT_EQ(osc->Outputs[0][v].Level, 0.0f);
  }
}

TEST_F(RenderTest, ModulesSleepWhenTheirSourcesFallSilentAndWakeAgain) {
  ModuleRecord* kb = nullptr;
  ModuleRecord* osc = KeyboardIntoOscillator(kb);
  Render(4);
  EXPECT_EQ(osc->Awake, 0);
  EXPECT_EQ(kb->Awake, -1);  // runs without voices

  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  std::vector<float> out = Left(Render(100));
  EXPECT_EQ(osc->Awake, -1);
  EXPECT_EQ(osc->ActiveVoices.Load(), 1);
  EXPECT_NE(osc->VoiceState[0][kb->VoiceIds[0]], 0.0f);
  EXPECT_NE(out[50], 0.0f);

  KeyNoteOff(-1, 48, 1);
  out = Left(Render(4));
  EXPECT_EQ(osc->ActiveVoices.Load(), 0);
  EXPECT_EQ(osc->Awake, 0);
  // Put to sleep with PLAY set: outputs and phases cleared.
  EXPECT_EQ(osc->Outputs[0][0].Level, 0.0f);
  EXPECT_EQ(osc->VoiceState[0][0], 0.0f);
  EXPECT_EQ(out[3], 0.0f);

  ASSERT_GE(KeyNoteOn(55, 1.0f, 1), 0);
  Render(2);
  EXPECT_EQ(osc->Awake, -1);
  EXPECT_EQ(osc->ActiveVoices.Load(), 1);
}

// The render loop remembers each module's port walk while no voice count
// changes; a link or a new lead port made between frames, with no rebuild, is
// still followed in the next frame.
TEST_F(RenderTest, RememberedPortWalksFollowLinksAndLeads) {
  ModuleRecord* kb = nullptr;
  ModuleRecord* osc = KeyboardIntoOscillator(kb);
  ASSERT_NO_FATAL_FAILURE(HoldTwoNotes(osc));

  // Linked straight to the keyboard: the new port's row, 0 after the link,
  // becomes 1 (a per-voice source).
  Link(osc, kOscAmplitude, kb);
  Render(2);
  EXPECT_EQ(osc->Params[kOscAmplitude].VoiceMapRow, 1);
  EXPECT_EQ(osc->VoicesToCompute, 2);

  // The phase port, reading its single-voice value, leads: one voice.
  ModuleSetPolyphonyPort(*osc, kOscPhase);
  Render(2);
  EXPECT_EQ(osc->VoicesToCompute, 1);
  ModuleSetPolyphonyPort(*osc, kOscFrequency);
  Render(2);
  EXPECT_EQ(osc->VoicesToCompute, 2);
}

// The remembered walks do not look at the lead port each frame: a lead set
// between frames (a chosen port, or back to automatic, as the module page and
// an unlinked lead cable do) is followed in the very next frame, with no
// rebuild and no other change to walk again for.
TEST_F(RenderTest, ALeadPortSetBetweenFramesIsFollowedInTheNextFrame) {
  ModuleRecord* kb = nullptr;
  ModuleRecord* osc = KeyboardIntoOscillator(kb);
  ModuleSetPolyphonyPort(*osc, -1);
  ASSERT_EQ(osc->VoiceMapSourcePort.Load(), kOscFrequency);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  ASSERT_GE(KeyNoteOn(52, 1.0f, 1), 0);
  ASSERT_GE(KeyNoteOn(55, 1.0f, 1), 0);
  Render(20);
  ASSERT_EQ(osc->VoicesToCompute, 3);

  // Each change comes after frames that settled on the voices (a frame that
  // ends with other voices makes the next one walk anyway).
  const std::pair<int32_t, int32_t> leads[] = {
      {kOscAmplitude, 1}, {-1, 3}, {kOscPhase, 1}, {kOscFrequency, 3}};
  for (const auto& [lead, voices] : leads) {
    ModuleSetPolyphonyPort(*osc, lead);  // the amplitude and phase read their single-voice values
    Render(1);
    EXPECT_EQ(osc->VoicesToCompute, voices) << lead;
    EXPECT_EQ(osc->ActiveVoices.Load(), voices) << lead;
    Render(3);
    EXPECT_EQ(osc->VoicesToCompute, voices) << lead;
  }
  // A port the module does not have is refused and changes nothing.
  ModuleSetPolyphonyPort(*osc, osc->PortCount);
  Render(1);
  EXPECT_EQ(osc->VoiceMapSourcePort.Load(), kOscFrequency);
  EXPECT_EQ(osc->VoicesToCompute, 3);
}

// A module loaded in place of a playing one brings its own lead port: the
// next frame follows it too.
TEST_F(RenderTest, ALeadPortLoadedIntoAPlayingModuleIsFollowedInTheNextFrame) {
  ModuleRecord* kb = nullptr;
  ModuleRecord* osc = KeyboardIntoOscillator(kb);
  ASSERT_NO_FATAL_FAILURE(HoldTwoNotes(osc));
  auto record = std::make_unique<ModuleFileRecord>();
  ModuleToFileRecord(*record, osc);
  record->Slots[0][32][1] = static_cast<float>(kOscPhase + 1);  // the chosen lead port + 1
  ASSERT_EQ(LoadModuleFromFileRecord(*record, osc, ModuleList.count, nullptr, 0), 0);
  ASSERT_EQ(osc->VoiceMapSourcePort.Load(), kOscPhase);
  ASSERT_EQ(osc->PortSources[kOscFrequency].Load(), kb);
  Render(1);
  EXPECT_EQ(osc->VoicesToCompute, 1);
}

// PLAY cleared while a voice sounds: the module keeps being told its voices
// but does not run and is put to sleep; set again, it wakes and sounds. With
// no voice left it is told none and stays asleep, PLAY or not.
TEST_F(RenderTest, ASwitchedOffModuleSleepsAndWakesWithItsVoices) {
  ModuleRecord* kb = nullptr;
  ModuleRecord* osc = KeyboardIntoOscillator(kb);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  Render(10);
  ASSERT_EQ(osc->Awake, -1);
  ASSERT_EQ(osc->ActiveVoices.Load(), 1);

  osc->ModuleSwitches[kSwitchPlay].Store(0);
  std::vector<float> out = Left(Render(3));
  EXPECT_EQ(osc->VoicesToCompute, 1);
  EXPECT_EQ(osc->Awake, 0);
  EXPECT_EQ(osc->Outputs[0][0].Level, 0.0f);  // an oscillator keeping phases is cleared
  EXPECT_EQ(out[2], 0.0f);

  osc->ModuleSwitches[kSwitchPlay].Store(-1);
  out = Left(Render(3));
  EXPECT_EQ(osc->Awake, -1);
  EXPECT_EQ(osc->ActiveVoices.Load(), 1);
  EXPECT_NE(out[2], 0.0f);

  KeyNoteOff(-1, 48, 1);
  Render(3);
  EXPECT_EQ(osc->VoicesToCompute, 0);
  EXPECT_EQ(osc->ActiveVoices.Load(), 0);
  EXPECT_EQ(osc->Awake, 0);
  osc->ModuleSwitches[kSwitchPlay].Store(0);
  Render(2);
  EXPECT_EQ(osc->VoicesToCompute, 0);
  EXPECT_EQ(osc->Awake, 0);
}

// The render callback looks through the keyboard banks only after a change
// was posted: a posted change is taken in the next frame, and a Pending word
// set without posting is still taken, within 1024 frames.
TEST_F(RenderTest, KeyboardChangesAreTakenWhenPostedAndByTheSweep) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  Output(kb);
  Render(2);
  {
    platform::MutexGuard guard(KeyboardVoiceLocks[0]);
    ASSERT_GE(NoteOn(Kb(), 440.0f, 1.0f), 0);
  }
  Render(1);
  EXPECT_EQ(Kb().Pending.Load(), kPendingTaken);
  EXPECT_EQ(Kb().ActiveCount.Load(), 1);

  Kb().Pending.Store(kPendingReset);
  Render(1);
  EXPECT_EQ(Kb().ActiveCount.Load(), 1);
  Render(1024);
  EXPECT_EQ(Kb().Pending.Load(), kPendingTaken);
  EXPECT_EQ(Kb().ActiveCount.Load(), 0);
}

TEST_F(RenderTest, AReleasedVoiceIsFreedOneFrameAfterItsLastMark) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* env =
      Envelope(kb, {.attack = 0.001f, .decay = 0.001f, .sustainLength = 0.0f, .release = 0.001f});
  ModuleRecord* osc = VoicedOscillator(env);
  Output(osc);
  ASSERT_EQ(env->PolyphonyMode.Load(), 1);  // follows the keyboard
  ASSERT_EQ(osc->TriggerOwner.Load(), env);

  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  const int32_t slot = SlotOfKey(48);
  ASSERT_GE(slot, 0);
  Render(200);
  EXPECT_EQ(env->SequencerVoices[slot].Index, kAdsrSustaining);
  KeyNoteOff(-1, 48, 1);

  // Frame by frame: the keyboard keeps the released voice while the envelope
  // marks it, and frees it in the frame after the first frame without a mark.
  int32_t unmarked = -1;
  for (int32_t f = 0; f < 200 && Kb().Voices[slot].State.Load() != kVoiceFree; ++f) {
    const int32_t parity = FrameParity;
    Render(1);
    const bool marked = kb->TriggerBuffers[parity][slot] != 0;
    if (unmarked < 0 && !marked) {
      unmarked = f;
      EXPECT_EQ(Kb().Voices[slot].State.Load(), kVoiceReleased) << "freed in the frame without a mark";
    } else if (unmarked >= 0) {
      EXPECT_EQ(f, unmarked + 1);
    }
    if (unmarked < 0) {
      EXPECT_EQ(Kb().Voices[slot].State.Load(), kVoiceReleased);
    }
  }
  EXPECT_GT(unmarked, 40);  // the 48-frame release ran first
  EXPECT_EQ(Kb().Voices[slot].State.Load(), kVoiceFree);
  Render(2);
  EXPECT_EQ(kb->ActiveVoices.Load(), 0);
  EXPECT_EQ(env->ActiveVoices.Load(), 0);
}

TEST_F(RenderTest, MaxKeysFreesReleasedVoicesEvenWhenMarked) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  SetShown(kb, 0, 4.0f);
  ModuleRecord* env = Add(kTypeAdsr);
  Link(env, kAdsrFrequency, kb);
  SetShown(env, kAdsrRelease, 1.0f);
  Output(env);
  for (int32_t key : {40, 42, 44, 46}) ASSERT_GE(KeyNoteOn(key, 1.0f, 1), 0);
  Render(10);
  const int32_t slot = SlotOfKey(44);
  KeyNoteOff(-1, 44, 1);
  Render(1);
  EXPECT_EQ(Kb().Voices[slot].State.Load(), kVoiceFree);
  // With three voices the envelope's mark keeps a released voice.
  Render(2);
  const int32_t other = SlotOfKey(40);
  KeyNoteOff(-1, 40, 1);
  Render(5);
  EXPECT_EQ(Kb().Voices[other].State.Load(), kVoiceReleased);
}

TEST_F(RenderTest, OscillatorSquareCycleAndFrequencyZero) {
  ModuleRecord* osc = Add(kTypeOscillator);
  SetOscillatorShape(*osc, kSquare);
  SetShown(osc, kOscAmplitude, 0.5f);
  SetShown(osc, kOscBias, 0.1f);
  SetShown(osc, kOscFrequency, 480.0f);  // normalized 0.04: a phase step of 0.01
  Output(osc);
  std::vector<float> y = Left(Render(300));
  // A cycle of 100 frames: 0.6 for the first half, -0.4 for the second (the
  // frame at the half may fall either way with the phase's rounding).
  for (int32_t c = 0; c < 3; ++c) {
    for (int32_t i = 1; i < 49; ++i) EXPECT_FLOAT_EQ(y[c * 100 + i], 0.6f) << c << " " << i;
    for (int32_t i = 51; i < 99; ++i) EXPECT_FLOAT_EQ(y[c * 100 + i], -0.4f) << c << " " << i;
  }

  // Frequency 0 publishes the bias; with ARWD the next cycle starts at phase 0.
  ASSERT_NE(osc->ModuleSwitches[kSwitchRewind].Load(), 0);
  SetShown(osc, kOscFrequency, 0.0f);
  y = Left(Render(3));
  EXPECT_FLOAT_EQ(y[2], 0.1f);
  EXPECT_EQ(osc->VoiceState[0][0], 0.0f);
  SetShown(osc, kOscFrequency, 480.0f);
  y = Left(Render(60));
  EXPECT_FLOAT_EQ(y[0], 0.6f);
  EXPECT_FLOAT_EQ(y[55], -0.4f);
}

TEST_F(RenderTest, EveryWaveShapeHasItsPeriodAndAmplitude) {
  ModuleRecord* osc = Add(kTypeOscillator);
  SetShown(osc, kOscAmplitude, 0.5f);
  SetShown(osc, kOscFrequency, 480.0f);
  Output(osc);
  for (int32_t shape = 0; shape < kWaveShapeCount; ++shape) {
    SetOscillatorShape(*osc, shape);
    std::vector<float> y = Left(Render(1000));
    float lo = 0.0f, hi = 0.0f;
    double mean = 0.0;
    for (size_t i = 100; i < y.size(); ++i) {
      lo = std::min(lo, y[i]);
      hi = std::max(hi, y[i]);
      mean += y[i];
    }
    mean /= 900.0;
    SCOPED_TRACE(shape);
    if (shape == 11) {  // Experimental: silent
      EXPECT_EQ(lo, 0.0f);
      EXPECT_EQ(hi, 0.0f);
      continue;
    }
    EXPECT_NEAR(hi, 0.5f, 0.03f);
    EXPECT_NEAR(lo, -0.5f, 0.03f);
    EXPECT_NEAR(mean, 0.0, 0.03);
    if (shape == 7) {
      // White noise: no period, but different every frame.
      EXPECT_NE(y[500], y[501]);
      continue;
    }
    // Periodic with 100 frames (a jump may land one frame apart between
    // cycles with the phase's rounding).
    int32_t mismatches = 0;
    for (size_t i = 200; i < 800; ++i) mismatches += std::fabs(y[i] - y[i + 100]) > 0.02f;
    EXPECT_LE(mismatches, 6);
  }
}

TEST_F(RenderTest, SineWaveQuarterRateCycleAndClipping) {
  ModuleRecord* sine = Add(35);
  SetShown(sine, kOscAmplitude, 0.5f);
  SetShown(sine, kOscFrequency, 12000.0f);  // normalized 1.0: four frames a cycle
  Output(sine);
  SetShown(sine, kOscFrequency, 0.0f);
  Render(1);  // ARWD: phase back to 0
  SetShown(sine, kOscFrequency, 12000.0f);
  std::vector<float> y = Left(Render(8));
  const float expect[4] = {0.0f, 0.5f, 0.0f, -0.5f};
  for (int32_t i = 0; i < 8; ++i) EXPECT_NEAR(y[i], expect[i % 4], 1e-6f) << i;
  EXPECT_EQ(sine->ClipFlag.Load(), 0);
  // A bias that pushes it past 1 is clipped and flagged.
  SetShown(sine, kOscBias, 0.8f);
  y = Left(Render(4));
  EXPECT_EQ(*std::max_element(y.begin(), y.end()), 1.0f);
  EXPECT_EQ(sine->ClipFlag.Load(), -1);
}

TEST_F(RenderTest, SingleVoiceSlotsAverageOrWeightTheirVoices) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* poly = Add(kTypeOscillator);
  PerVoice(poly);
  Link(poly, kOscFrequency, kb);
  ModuleRecord* mono = Add(kTypeOscillator);
  Link(mono, kOscFrequency, kb);
  Output(mono);
  for (int32_t key : {36, 40, 43, 47}) ASSERT_GE(KeyNoteOn(key, 1.0f, 1), 0);
  // The per-voice twin is not in the order: it runs beside the single-voice
  // one by hand, on the same keyboard outputs and from the same phases.
  auto check = [&](float divisor, int32_t frames) {
    for (int32_t f = 0; f < frames; ++f) {
      const int32_t parity = FrameParity;
      Render(1);
      ProcessModuleFrame(poly, 0, parity, parity ^ 1);
      if (divisor == 0.0f) continue;  // only keeping the twins in step
      ASSERT_EQ(poly->ActiveVoices.Load(), 4);
      float sum = 0.0f;
      for (int32_t v = 0; v < 4; ++v) sum += poly->Outputs[0][v].Level;
      ASSERT_FLOAT_EQ(mono->Outputs[0][0].Level, sum / divisor) << f;
    }
  };
  // Voices from a keyboard's per-voice chain: weighted, 1 + 4 x 0.25.
  check(2.0f, 30);
  // A voice source without the chain mark: a plain average.
  kb->PerVoiceOutput = 0;
  check(4.0f, 30);
  // An envelope on the amplitude port weights the voices as well.
  ModuleRecord* env = Add(kTypeAdsr);
  Link(env, kAdsrFrequency, kb);
  SetShown(env, kAdsrAttack, 0.0005f);
  SetShown(env, kAdsrDecay, 0.0005f);
  SetShown(env, kAdsrSustain, 1.0f);
  Link(mono, kOscAmplitude, env);
  Link(poly, kOscAmplitude, env);
  Output(mono);
  kb->PerVoiceOutput = 0;
  check(0.0f, 100);
  for (int32_t v = 0; v < 4; ++v) ASSERT_FLOAT_EQ(env->Outputs[0][v].Level, 1.0f);
  check(2.0f, 20);
}

TEST_F(RenderTest, AdsrStagesReleaseAndRetrigger) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  // Stages of 480 frames.
  ModuleRecord* env = Envelope(
      kb, {.attack = 0.01f, .decay = 0.01f, .sustain = 0.5f, .sustainLength = 0.0f, .release = 0.01f});
  Output(env);
  ASSERT_EQ(env->PolyphonyMode.Load(), 0);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  // The keyboard's first frame of a note publishes {0, 0}; the attack starts
  // one frame later.
  std::vector<float> y = Left(Render(2000));
  EXPECT_EQ(y[0], 0.0f);
  EXPECT_EQ(y[1], 0.0f);
  for (int32_t k : {1, 100, 240, 479}) EXPECT_NEAR(y[1 + k], k / 480.0f, 1e-4f) << k;
  EXPECT_NEAR(y[1 + 480 + 240], 0.75f, 2e-3f);  // half way down the decay
  EXPECT_NEAR(y[1999], 0.5f, 1e-6f);            // sustain held
  EXPECT_EQ(env->SequencerVoices[0].Index, kAdsrSustaining);
  EXPECT_FLOAT_EQ(env->Outputs[0][0].Frequency, 440.0f * FrequencyNorm);

  KeyNoteOff(-1, 48, 1);
  y = Left(Render(600));
  EXPECT_NEAR(y[0], 0.5f, 1e-6f);
  EXPECT_NEAR(y[240], 0.25f, 2e-3f);
  EXPECT_EQ(y[599], 0.0f);
  EXPECT_EQ(env->ActiveVoices.Load(), 0);
  EXPECT_EQ(env->Awake, 0);

  // Released half way through the attack: the release starts from there.
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  Render(241);
  KeyNoteOff(-1, 48, 1);
  y = Left(Render(3));
  // The attack had reached 239 / 480 when the release took over.
  EXPECT_NEAR(y[0], 239.0f / 480.0f, 1e-4f);
  EXPECT_NEAR(y[1], y[0] * 479.0f / 480.0f, 1e-5f);
  EXPECT_LT(y[2], y[1]);
  EXPECT_EQ(env->SequencerVoices[0].Index, kAdsrReleasing);
  // A new note during the release resumes the attack at the present level.
  Render(117);
  const float before = env->Outputs[0][0].Level;
  ASSERT_GE(KeyNoteOn(50, 1.0f, 1), 0);
  y = Left(Render(4));
  EXPECT_EQ(env->SequencerVoices[0].Index, kAdsrAttacking);
  EXPECT_NEAR(y[2], before, 0.01f);
  EXPECT_GT(y[3], y[2]);
}

TEST_F(RenderTest, AdsrWithPositiveSustainLengthEndsByItselfAndSw1Repeats) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  ModuleRecord* env =
      Envelope(kb, {.attack = 0.001f, .decay = 0.001f, .sustainLength = 0.001f, .release = 0.001f});
  env->ModuleSwitches[kSwitch1].Store(-1);
  Output(env);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  // Attack, decay, sustain and release of 48 frames each, then, with the key
  // still held, the attack again from about 0 without ever going silent.
  int32_t previous = kAdsrIdle;
  int32_t restarts = 0;
  bool sawRelease = false;
  for (int32_t f = 0; f < 420; ++f) {
    std::vector<float> y = Render(1);
    const int32_t stage = env->SequencerVoices[0].Index;
    EXPECT_NE(stage, kAdsrSilent) << f;
    EXPECT_LE(y[0], 1.0f);
    sawRelease |= stage == kAdsrReleasing;
    if (stage == kAdsrAttacking && previous >= kAdsrReleasing) {
      ++restarts;
      EXPECT_LT(y[0], 0.05f) << f;
    }
    previous = stage;
  }
  EXPECT_TRUE(sawRelease);
  EXPECT_EQ(restarts, 2);
}

TEST_F(RenderTest, CaptureIsReadFromTheRingBehindTheWriter) {
  ModuleRecord* cap = Add(kTypeCapture);
  Output(cap);
  CaptureActive = -1;
  const int32_t block = 96;  // 1 ms at 48 kHz
  std::vector<float> in(block);
  int64_t resync = -1;
  float counter = 0.0f;
  auto feed = [&]() {
    for (int32_t i = 0; i < block; i += 2) {
      counter += 1.0f;
      in[i] = counter / 10000.0f;
      in[i + 1] = -counter / 10000.0f;
    }
    float* p = in.data();
    CaptureAudio(&p, block, &resync);
  };
  for (int32_t b = 0; b < 20; ++b) feed();
  EXPECT_EQ(resync, 0);
  EXPECT_EQ(CaptureWriteIndex, 20 * block);
  // The first block resynchronised the reader 1000 floats behind the writer.
  EXPECT_EQ(CaptureReadIndex, CaptureRingSize - 1000);
  // The ring's own frames lag 500 frames: 19 blocks of 48 frames later the
  // reader is at frame 20 * 48 - 500 of the input.
  std::vector<float> y = Left(Render(48 * 19));
  EXPECT_EQ(CaptureReadIndex, (CaptureRingSize - 1000 + 2 * 48 * 19) % CaptureRingSize);
  const float expected = static_cast<float>(48 * 19 - 500) / 10000.0f;
  EXPECT_FLOAT_EQ(y.back(), expected);

  // No capture for 100 ms: the reader reaches the writer and asks for a resync.
  Render(CaptureRingFrames);
  EXPECT_EQ(CaptureResync.load(), -1);
  resync = 0;
  const int32_t w = CaptureWriteIndex;
  feed();
  EXPECT_EQ(CaptureReadIndex, w - 1000 < 0 ? w - 1000 + CaptureRingSize : w - 1000);
  EXPECT_EQ(CaptureResync.load(), 0);

  // Input gain, clipping and the input meters.
  InputGain = 200.0f;
  feed();
  Render(600);
  EXPECT_EQ(cap->ClipFlag.Load(), -1);
  InputGain = 1.0f;
  // Capture off: silence.
  CaptureActive = 0;
  y = Left(Render(4));
  EXPECT_EQ(y[3], 0.0f);
}

TEST_F(RenderTest, PostedRebuildRunsAtTheStartOfTheNextFrame) {
  ModuleRecord* osc = Add(kTypeOscillator);
  SynthOutputModule.store(osc);
  PlaybackActive = -1;  // the audio thread owns the graph now
  EngineCommand.Kind = kCommandRebuild;
  EngineCommand.RebuildArgument = 0;
  EngineCommand.State.store(kCommandPosted);
  EXPECT_EQ(ProcessingOrder.load()->Count, 0);
  std::vector<float> y = Left(Render(20));
  EXPECT_EQ(EngineCommand.State.load(), kCommandIdle);
  EXPECT_EQ(ProcessingOrder.load()->Count, 1);
  EXPECT_NE(y[19], 0.0f);
  PlaybackActive = 0;
}

// The audio thread renders while the interface plays notes and changes the
// graph through the mailbox: every change lands between frames.
TEST_F(RenderTest, NotesAndLinksFromAnotherThreadWhileRendering) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* env = Add(kTypeAdsr);
  Link(env, kAdsrFrequency, kb);
  ModuleRecord* osc = Add(kTypeOscillator);
  PerVoice(osc);
  Link(osc, kOscFrequency, env);
  Output(osc);
  ModuleRecord* sine = Add(35);
  PlaybackActive = -1;

  std::atomic<bool> stop{false};
  std::atomic<int32_t> bad{0};
  std::thread audio([&] {
    std::vector<float> buffer(960);
    float* p = buffer.data();
    while (!stop.load()) {
      RenderAudio(&p, 0, 960);
      for (float x : buffer)
        if (!(std::fabs(x) <= 1.0f)) bad.fetch_add(1);
    }
  });
  for (int32_t round = 0; round < 20; ++round) {
    for (int32_t k = 0; k < 6; ++k) KeyNoteOn(36 + 2 * k + round % 3, 0.7f, 1);
    PostLinkInput(osc, kOscAmplitude, round % 2 == 0 ? sine : env, kTypeOscillator);
    for (int32_t k = 0; k < 6; ++k) KeyNoteOff(-1, 36 + 2 * k + round % 3, 1);
    if (round % 5 == 4) RequestGraphRebuild(0, 0, osc);
  }
  // The last posted change has run once the mailbox is idle again.
  EXPECT_EQ(WaitEngineCommandSlot(), 1);
  stop = true;
  audio.join();
  PlaybackActive = 0;
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(EngineCommand.State.load(), kCommandIdle);
  EXPECT_EQ(osc->PortSources[kOscAmplitude].Load(), env);
}

// The module page's switches and the input domain, flipped on the interface
// thread as the page does (Play posted, the domain under a frame hold) while
// the render plays the modules, and the words the plane's frame
// watch, the system bar and a wait for a module's voices read while the render
// writes them: each is one case, and under ThreadSanitizer any side of a word
// left plain fails it.
TEST_F(RenderTest, TheRenderAndThePagesShareTheModuleWordsWhole) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* step = Add(kTypeStepSequencer);
  Link(step, 0, kb);
  ModuleRecord* filter = Add(22);  // Filter
  Link(filter, 0, step);
  ModuleRecord* osc = Add(kTypeOscillator);
  Link(osc, kOscFrequency, kb);
  ModuleRecord* merge = Add(testing_synth::kTypeMergeStereo);
  Link(merge, 0, osc);
  // A Sequencer without a melody passes its inputs through (its voice count
  // written every frame); one with a short melody ends each pass (its Play).
  ModuleRecord* through = Add(kTypeSequencer);
  PerVoice(through);
  Link(through, 0, kb);
  WaveLibraryEntry* tune = Melody({1, 1, 0.02f, 1, 0, 0.05f, 0.02f, 0.01f, 1.0f, 0.0f});
  tune->Pitch[0] = FrequencyNorm;
  ModuleRecord* seq = Add(kTypeSequencer);
  AttachWaveToModule(seq, tune, 0);
  Set(seq, kSeqTempo, seq->SampleStep);
  Set(seq, kSeqLength, 0.05f);
  ModuleRecord* mix = Add(kTypeMixer);
  Link(mix, 0, filter);
  Link(mix, 1, merge);
  Link(mix, 2, through);
  Link(mix, 3, seq);
  Output(mix);
  for (ModuleRecord* m : {step, seq}) m->ModuleSwitches[kSwitchPlay].Store(-1);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  PlaybackActive = -1;

  // As the page flips a switch: one whole load and store.
  auto flip = [](Shared<int64_t>& word) { word.Store(word.Load() != 0 ? 0 : -1); };
  int64_t seen = 0;
  const struct {
    const char* name;
    std::function<void()> act;
  } cases[] = {
      {"Play of the Step Sequencer",
       [&] { PostPlaySwitch(step, step->ModuleSwitches[kSwitchPlay].Load() != 0 ? 0 : -1); }},
      {"Play of the Sequencer as the test helpers press it", [&] { random_patch::PressPlay(seq); }},
      {"Loop of the Sequencer", [&] { flip(seq->ModuleSwitches[kSwitchLoop]); }},
      {"Autorewind of the Step Sequencer", [&] { flip(step->ModuleSwitches[kSwitchRewind]); }},
      {"per-voice of the oscillator",
       [&] {
         flip(osc->ModuleSwitches[kSwitchPerVoice]);
         osc->PolyphonyMode.Store(osc->ModuleSwitches[kSwitchPerVoice].Load() != 0 ? 1 : 0);
         RequestGraphRebuild(0, 0, nullptr);
       }},
      {"the filter's input domain",
       [&] {
         FrameHold hold;
         ASSERT_TRUE(hold.held);
         filter->Params[0].OutputSide.Store(filter->Params[0].OutputSide.Load() ^ 1);
       }},
      {"the Merge Stereo's channel count on the watch",
       [&] { seen += merge->ChannelsProcessed.Load(); }},
      {"the Sequencer's Play on the system bar",
       [&] { seen += seq->ModuleSwitches[kSwitchPlay].Load(); }},
      {"a wait for the pass-through Sequencer's voices",
       [&] { seen += through->ActiveVoices.Load(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> frames{0};
    std::thread audio([&] {
      std::vector<float> buffer(96);
      float* p = buffer.data();
      while (!stop.load()) {
        RenderAudio(&p, 0, 48);
        frames.fetch_add(1);
      }
    });
    // Each action meets frames the render plays after it.
    for (int32_t round = 0; round < 40; ++round) {
      c.act();
      const int64_t next = frames.load() + 1;
      while (frames.load() < next) std::this_thread::yield();
    }
    stop = true;
    audio.join();
    EXPECT_GE(frames.load(), 40);
  }
  PlaybackActive = 0;
  EXPECT_GE(seen, 0);
}

// A short phrase rendered to a WAV file and read back: length, level and the
// pitch of every note from its zero crossings.
TEST_F(RenderTest, PhraseRendersToAWavFileWithTheRightPitches) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* env = Envelope(
      kb, {.attack = 0.005f, .decay = 0.005f, .sustain = 0.8f, .sustainLength = 0.0f, .release = 0.02f});
  ModuleRecord* osc = VoicedOscillator(env);
  SetOscillatorShape(*osc, kSine);
  SetShown(osc, kOscAmplitude, 0.5f);
  Output(osc);

  // Three notes of 0.25 s, 0.05 s apart: A4, E5, A5 in equal temperament.
  const int32_t keys[3] = {48, 55, 60};
  const int32_t note = 12000, gap = 2400;
  std::vector<float> song;
  for (int32_t key : keys) {
    ASSERT_GE(KeyNoteOn(key, 1.0f, 1), 0);
    std::vector<float> part = Render(note);
    song.insert(song.end(), part.begin(), part.end());
    KeyNoteOff(-1, key, 1);
    part = Render(gap);
    song.insert(song.end(), part.begin(), part.end());
  }

  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("tarvelo_render_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string file = (dir / "phrase.wav").string();
  QUARLE_AUDIO::SoundBuffer sb{};
  QUARLE_AUDIO::SoundBufferInitFormat(&sb, 2, 32, 48000);
  sb.frameCount = static_cast<uint32_t>(song.size() / 2);
  sb.dataSize = static_cast<uint32_t>(song.size() * sizeof(float));
  sb.samples = static_cast<float*>(std::malloc(sb.dataSize));
  std::copy(song.begin(), song.end(), sb.samples);
  ASSERT_EQ(QUARLE_AUDIO::SaveWavFile(file, &sb, 16), 0);
  QUARLE_AUDIO::SoundBufferFree(&sb);

  QUARLE_AUDIO::SoundBuffer back{};
  QUARLE_AUDIO::SoundBufferInit(&back);
  ASSERT_EQ(QUARLE_AUDIO::ReadWavHeader(file, &back), 0);
  ASSERT_EQ(QUARLE_AUDIO::ReadWavData(file, &back), 0);
  ASSERT_EQ(QUARLE_AUDIO::WavDataToFloat(&back), 0);
  ASSERT_EQ(back.format.channels, 2);
  ASSERT_EQ(back.format.sampleRate, 48000u);
  ASSERT_EQ(back.frameCount, static_cast<uint32_t>(3 * (note + gap)));
  std::vector<float> left;
  for (uint32_t i = 0; i < back.frameCount; ++i) {
    EXPECT_EQ(back.samples[2 * i], back.samples[2 * i + 1]);
    left.push_back(back.samples[2 * i]);
  }
  QUARLE_AUDIO::SoundBufferFree(&back);
  fs::remove_all(dir);

  const double hertz[3] = {440.0, 440.0 * std::pow(2.0, 7.0 / 12.0), 880.0};
  for (int32_t n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    const size_t from = static_cast<size_t>(n) * (note + gap) + 2400;  // past the attack
    const size_t to = from + 9600;                                     // 0.2 s of sustain
    const double measured = Crossings(left, from, to) / 0.2;
    EXPECT_NEAR(measured, hertz[n], 6.0);
    double sq = 0.0;
    for (size_t i = from; i < to; ++i) sq += static_cast<double>(left[i]) * left[i];
    // Sustain 0.8 x amplitude 0.5: a 0.4 sine, RMS 0.283.
    EXPECT_NEAR(std::sqrt(sq / static_cast<double>(to - from)), 0.4 / std::sqrt(2.0), 0.01);
    // The release has died away before the next note.
    const size_t end = static_cast<size_t>(n + 1) * (note + gap) - 200;
    EXPECT_LT(std::fabs(left[end]), 1e-3f);
  }
}

}  // namespace
}  // namespace Tarvelo
