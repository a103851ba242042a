// Delay and Echo: delay lengths in frames, echo decay, tails that play on after
// the input voice stops and then end, voices that keep their own history, and
// hostile period, decay and input values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/dsp/adsr.h"
#include "engine/dsp/delay.h"
#include "engine/dsp/tails.h"
#include "time_fixture.h"

namespace Tarvelo {
namespace testing_time {
namespace {

constexpr double kRoot = 0.7071067811865476;

class DelayTest : public TimeTest {
 protected:
  // A module of the type fed by a hand-driven source on port 0, with its
  // period set to a number of frames.
  ModuleRecord* Make(int32_t type, ModuleRecord* src, int32_t frames) {
    ModuleRecord* m = Add(type);
    Link(m, kDelayInput, src);
    Set(m, kDelayPeriod, static_cast<float>(frames) / 48000.0f);
    return m;
  }
};

TEST_F(DelayTest, ImpulseComesOutAfterThePeriodAndTheTailLastsOnePeriod) {
  ModuleRecord* src = Source();
  ModuleRecord* d = Make(kTypeDelay, src, 10);
  ASSERT_EQ(d->PolyphonyMode, 0);
  std::vector<float> out;
  std::vector<int32_t> active;
  for (int32_t f = 0; f <= 12; ++f) {
    Put(src, 0, 0, f == 0 ? 1.0f : (f == 12 ? 0.5f : 0.0f));
    Step(d);
    out.push_back(d->Outputs[0][0].Level);
  }
  for (int32_t f = 0; f <= 12; ++f) EXPECT_EQ(out[f], f == 10 ? 1.0f : 0.0f) << f;
  EXPECT_EQ(d->SequencerVoices[0].A[0], 10.0f);

  // Frame 12 was the last fed one: the voice drains silence, marking itself
  // to the source, and the impulse of frame 12 still comes out at frame 22.
  src->ActiveVoices = 0;
  for (int32_t f = 13; f <= 25; ++f) {
    const int32_t parity = Parity();
    Step(d);
    out.push_back(d->Outputs[0][0].Level);
    active.push_back(d->ActiveVoices);
    const bool marked = src->TriggerBuffers[parity][0] != 0;
    EXPECT_EQ(marked, f <= 23) << f;
  }
  EXPECT_EQ(out[22], 0.5f);
  for (int32_t f = 13; f <= 25; ++f) {
    if (f != 22) {
      EXPECT_EQ(out[f], 0.0f) << f;
    }
  }
  // Stage 3 at frame 23 (the eleventh frame of silence); listed once more
  // while its own mark lasts, then gone.
  for (int32_t f = 13; f <= 24; ++f) EXPECT_EQ(active[f - 13], 1) << f;
  EXPECT_EQ(active[25 - 13], 0);
  EXPECT_EQ(d->SequencerVoices[0].State, kTailStageIdle);
}

TEST_F(DelayTest, PeriodZeroPassesTheInputUnclipped) {
  ModuleRecord* src = Source();
  ModuleRecord* d = Make(kTypeDelay, src, 0);
  for (float x : {0.25f, -0.75f, 1.5f}) {
    Put(src, 0, 0, x);
    Step(d);
    EXPECT_EQ(d->Outputs[0][0].Level, x);
    EXPECT_EQ(d->Outputs[0][0].Frequency, x);
  }
  EXPECT_EQ(d->ClipFlag, 0);
}

TEST_F(DelayTest, ChannelsKeepSeparateHistoriesInOneBuffer) {
  ModuleRecord* src = Source(2);
  ModuleRecord* d = Make(kTypeDelay, src, 5);
  d->ChannelsProcessed = 2;
  std::vector<float> left, right;
  for (int32_t f = 0; f < 12; ++f) {
    Put(src, 0, 0, f == 0 ? 0.5f : 0.0f);
    Put(src, 1, 0, f == 3 ? -0.25f : 0.0f);
    Step(d);
    left.push_back(d->Outputs[0][0].Level);
    right.push_back(d->Outputs[1][0].Level);
  }
  for (int32_t f = 0; f < 12; ++f) {
    EXPECT_EQ(left[f], f == 5 ? 0.5f : 0.0f) << f;
    EXPECT_EQ(right[f], f == 8 ? -0.25f : 0.0f) << f;
  }
  // A one-channel module writes only the even floats.
  ModuleRecord* mono = Make(kTypeDelay, Source(), 5);
  Put(mono->PortSources[0], 0, 0, 0.75f);
  Steps(mono, 8);
  const float* b = mono->WorkBuffers[0];
  for (int32_t i = 0; i < 16; ++i) EXPECT_EQ(b[i], (i % 2 == 0) ? 0.75f : 0.0f) << i;
}

TEST_F(DelayTest, APeriodPortIsReadWhileFedAndFrozenDuringTheTail) {
  ModuleRecord* src = Source();
  ModuleRecord* period = Source();
  ModuleRecord* d = Make(kTypeDelay, src, 0);
  Link(d, kDelayPeriod, period);
  Put(period, 0, 0, 10.0f / 48000.0f);
  // The linked period is read plainly: the port's own value is no gain.
  Set(d, kDelayPeriod, 0.5f);
  for (int32_t f = 0; f < 20; ++f) {
    Put(src, 0, 0, static_cast<float>(f) / 100.0f);
    Step(d);
  }
  EXPECT_FLOAT_EQ(d->Outputs[0][0].Level, 0.09f);  // frame 19 reads frame 9
  Put(period, 0, 0, 4.0f / 48000.0f);
  Put(src, 0, 0, 0.2f);
  Step(d);
  EXPECT_FLOAT_EQ(d->Outputs[0][0].Level, 0.16f);  // frame 20 reads frame 16
  // Stopped: a longer period during the tail changes nothing; it ends after 4.
  src->ActiveVoices = 0;
  Put(period, 0, 0, 50.0f / 48000.0f);
  std::vector<int32_t> active;
  for (int32_t f = 0; f < 8; ++f) {
    Step(d);
    active.push_back(d->ActiveVoices);
  }
  EXPECT_EQ(d->SequencerVoices[0].A[0], 4.0f);
  EXPECT_EQ(active, (std::vector<int32_t>{1, 1, 1, 1, 1, 1, 0, 0}));
}

TEST_F(DelayTest, EchoRepeatsWithTheDecayAndDrainsTwentyPeriods) {
  ModuleRecord* src = Source();
  ModuleRecord* e = Make(kTypeEcho, src, 10);
  Set(e, kEchoDecay, 0.2f);
  std::vector<float> out;
  for (int32_t f = 0; f < 41; ++f) {
    Put(src, 0, 0, f == 0 ? 1.0f : 0.0f);
    Step(e);
    out.push_back(e->Outputs[0][0].Level);
  }
  // y[n] = (x[n] + 0.8 y[n - 10]) / sqrt 2.
  double y = kRoot;
  for (int32_t f = 0; f < 41; ++f) {
    if (f % 10 == 0) {
      EXPECT_NEAR(out[f], y, 1e-6) << f;
      y = 0.8 * y * kRoot;
    } else {
      EXPECT_EQ(out[f], 0.0f) << f;
    }
  }
  EXPECT_NEAR(out[10], 0.4f, 1e-6);
  EXPECT_EQ(e->ClipFlag, 0);

  // The input stops after frame 40: 200 frames of silence, then stage 3.
  src->ActiveVoices = 0;
  int32_t ended = -1;
  for (int32_t f = 1; f <= 203 && ended < 0; ++f) {
    Step(e);
    if (e->SequencerVoices[0].State == kTailStageDone) ended = f;
  }
  EXPECT_EQ(ended, 201);
  EXPECT_EQ(e->Outputs[0][0].Level, 0.0f);
  Steps(e, 2);
  EXPECT_EQ(e->ActiveVoices, 0);
}

TEST_F(DelayTest, EchoWithDecayOneIsTheInputOverRootTwo) {
  ModuleRecord* src = Source();
  ModuleRecord* e = Make(kTypeEcho, src, 3);
  Set(e, kEchoDecay, 1.0f);
  for (int32_t f = 0; f < 10; ++f) {
    Put(src, 0, 0, 0.5f);
    Step(e);
    EXPECT_FLOAT_EQ(e->Outputs[0][0].Level, static_cast<float>(0.5 * kRoot)) << f;
  }
}

TEST_F(DelayTest, EchoWithPeriodZeroReadsOneWholeBufferBack) {
  ModuleRecord* src = Source();
  ModuleRecord* e = Make(kTypeEcho, src, 0);
  Set(e, kEchoDecay, 0.2f);
  Put(src, 0, 0, 1.0f);
  Step(e);
  const float first = e->Outputs[0][0].Level;
  Put(src, 0, 0, 0.0f);
  // Q + 1 = 48001 frames later the first output comes round again.
  std::vector<float> out = Steps(e, 48001);
  for (int32_t f = 0; f < 48000; ++f) {
    ASSERT_EQ(out[f], 0.0f) << f;
  }
  EXPECT_NEAR(out[48000], 0.8 * first * kRoot, 1e-6);
  // And a stopped voice ends after its first frame of silence.
  src->ActiveVoices = 0;
  Step(e);
  EXPECT_EQ(e->SequencerVoices[0].State, kTailStageDone);
}

TEST_F(DelayTest, EchoWithoutDecayClipsAndFlags) {
  ModuleRecord* src = Source();
  ModuleRecord* e = Make(kTypeEcho, src, 1);
  Set(e, kEchoDecay, 0.0f);
  Put(src, 0, 0, 1.0f);
  std::vector<float> out = Steps(e, 6);
  EXPECT_FLOAT_EQ(out[0], static_cast<float>(kRoot));
  EXPECT_EQ(out[5], 1.0f);
  EXPECT_EQ(e->ClipFlag, -1);
  // The buffer holds the clipped output.
  for (int32_t i = 0; i < 6; i += 2) EXPECT_LE(std::fabs(e->WorkBuffers[0][i]), 1.0f);
}

TEST_F(DelayTest, VoicesFollowTheirOwnInputWhenTheSourceReordersThem) {
  ModuleRecord* src = Source(1, 2, true);
  ModuleRecord* d = Make(kTypeDelay, src, 0);
  PerVoice(d);
  src->VoiceIds[0] = 3;
  src->VoiceIds[1] = 5;
  Put(src, 0, 0, 0.3f);
  Put(src, 0, 1, 0.5f);
  Steps(d, 2);
  ASSERT_EQ(d->ActiveVoices, 2);
  EXPECT_EQ(d->VoiceIds[0], 3);
  EXPECT_EQ(d->VoiceIds[1], 5);
  EXPECT_EQ(d->Outputs[0][0].Level, 0.3f);
  EXPECT_EQ(d->Outputs[0][1].Level, 0.5f);

  // Voice 3 stops and voice 1 starts; the source lists its voices by id, so
  // voice 5 moves to position 1 and voice 1 takes position 0.
  src->VoiceIds[0] = 1;
  Put(src, 0, 0, 0.1f);
  const int32_t parity = Parity();
  Step(d);
  ASSERT_EQ(d->ActiveVoices, 3);
  EXPECT_EQ(d->VoiceIds[0], 3);
  EXPECT_EQ(d->VoiceIds[1], 5);
  EXPECT_EQ(d->VoiceIds[2], 1);
  EXPECT_EQ(d->Outputs[0][0].Level, 0.0f);  // drained (period 0: one frame)
  EXPECT_EQ(d->Outputs[0][1].Level, 0.5f);  // voice 5 still hears voice 5
  EXPECT_EQ(d->Outputs[0][2].Level, 0.1f);
  for (int32_t w : {1, 3, 5}) EXPECT_NE(src->TriggerBuffers[parity][w], 0u) << w;
  // Voice 3 stays listed, silent, for its own mark, then drops out.
  Step(d);
  EXPECT_EQ(d->ActiveVoices, 3);
  EXPECT_EQ(d->Outputs[0][0].Level, 0.0f);
  Step(d);
  ASSERT_EQ(d->ActiveVoices, 2);
  EXPECT_EQ(d->VoiceIds[0], 5);
  EXPECT_EQ(d->VoiceIds[1], 1);
  EXPECT_EQ(d->Outputs[0][0].Level, 0.5f);
  EXPECT_EQ(d->Outputs[0][1].Level, 0.1f);
  EXPECT_EQ(d->Outputs[0][2].Level, 0.0f);  // cleared as a dropped position
}

TEST_F(DelayTest, EachVoiceIdHasItsOwnHistory) {
  ModuleRecord* src = Source(1, 2, true);
  ModuleRecord* d = Make(kTypeDelay, src, 3);
  PerVoice(d);
  src->VoiceIds[0] = 0;
  src->VoiceIds[1] = 7;
  std::vector<float> a, b;
  for (int32_t f = 0; f < 6; ++f) {
    Put(src, 0, 0, f == 0 ? 0.2f : 0.0f);
    Put(src, 0, 1, f == 1 ? -0.4f : 0.0f);
    Step(d);
    a.push_back(d->Outputs[0][0].Level);
    b.push_back(d->Outputs[0][1].Level);
  }
  EXPECT_EQ(a, (std::vector<float>{0, 0, 0, 0.2f, 0, 0}));
  EXPECT_EQ(b, (std::vector<float>{0, 0, 0, 0, -0.4f, 0}));
  EXPECT_EQ(d->WorkBuffers[7][2], -0.4f);
}

TEST_F(DelayTest, HostilePeriodsDecaysAndInputsStayInTheBuffer) {
  ModuleRecord* src = Source();
  ModuleRecord* period = Source();
  ModuleRecord* d = Make(kTypeDelay, src, 0);
  Link(d, kDelayPeriod, period);
  // A live period beyond 1 s is held to the buffer's one second.
  Put(period, 0, 0, 5.0f);
  Put(src, 0, 0, 1.0f);
  Step(d);
  EXPECT_EQ(d->SequencerVoices[0].A[0], 48000.0f);
  Put(src, 0, 0, 0.0f);
  std::vector<float> out = Steps(d, 48000);
  EXPECT_EQ(out[47999], 1.0f);
  EXPECT_EQ(out[47998], 0.0f);
  // Not a number: no delay at all.
  for (float p : {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
    Put(period, 0, 0, p);
    Put(src, 0, 0, 0.125f);
    Step(d);
    EXPECT_EQ(d->SequencerVoices[0].A[0], std::isnan(p) ? 0.0f : 48000.0f);
  }
  // A NaN input passes once and does not stay in the line.
  Put(period, 0, 0, 2.0f / 48000.0f);
  Put(src, 0, 0, std::numeric_limits<float>::quiet_NaN());
  Step(d);
  Put(src, 0, 0, 0.25f);
  out = Steps(d, 5);
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_EQ(out[3], 0.25f);
  EXPECT_EQ(out[4], 0.25f);

  // Echo: a NaN input publishes 0 with the flag and leaves the buffer clean;
  // a NaN decay stops the repetitions.
  ModuleRecord* esrc = Source();
  ModuleRecord* e = Make(kTypeEcho, esrc, 2);
  Put(esrc, 0, 0, std::numeric_limits<float>::quiet_NaN());
  Step(e);
  EXPECT_EQ(e->Outputs[0][0].Level, 0.0f);
  EXPECT_EQ(e->ClipFlag, -1);
  Put(esrc, 0, 0, 0.5f);
  out = Steps(e, 4);
  for (float y : out) EXPECT_TRUE(std::isfinite(y));
  ModuleRecord* decay = Source();
  Link(e, kEchoDecay, decay);
  Put(decay, 0, 0, std::numeric_limits<float>::quiet_NaN());
  Step(e);
  EXPECT_EQ(e->SequencerVoices[0].B[0], 0.0f);
  EXPECT_FLOAT_EQ(e->Outputs[0][0].Level, static_cast<float>(0.5 * kRoot));
}

TEST_F(DelayTest, Templates) {
  const ModuleRecord& d = ModuleCatalog[kTypeDelay];
  const ModuleRecord& e = ModuleCatalog[kTypeEcho];
  EXPECT_EQ(d.ProcessFunctions[0], ProcessDelayMono);
  EXPECT_EQ(d.ProcessFunctions[1], ProcessDelayPoly);
  EXPECT_EQ(e.ProcessFunctions[0], ProcessEchoMono);
  EXPECT_EQ(e.ProcessFunctions[1], ProcessEchoPoly);
  EXPECT_EQ(d.ParamCount, 3);
  EXPECT_EQ(e.ParamCount, 4);
  EXPECT_EQ(d.PortCount, 2);
  EXPECT_EQ(e.PortCount, 3);
  for (const ModuleRecord* t : {&d, &e}) {
    EXPECT_EQ(Name(t->Params[0]), "Input");
    EXPECT_EQ(Label(t->Params[0]), "In");
    EXPECT_EQ(t->Params[0].Value, 1.0f);
    EXPECT_EQ(t->Params[0].Number.UnitFamily, kUnitLevel);
    EXPECT_EQ(t->Params[0].Number.Unit, 1);
    EXPECT_EQ(Name(t->Params[1]), "Period");
    EXPECT_EQ(Label(t->Params[1]), "T");
    EXPECT_EQ(t->Params[1].Min, 0.0f);
    EXPECT_EQ(t->Params[1].Max, 1.0f);
    EXPECT_EQ(t->Params[1].Number.DisplayMode, 1);
    EXPECT_EQ(t->Params[1].Number.UnitFamily, kUnitTime);
    EXPECT_EQ(t->Params[1].Number.Unit, 1);
    EXPECT_EQ(t->KeepsVoices, -1);
    EXPECT_EQ(t->VoiceOwner, -1);
    EXPECT_EQ(t->RequiresPortLink, -1);
    EXPECT_EQ(t->RequiredPort, 0);
    EXPECT_EQ(t->WorkBufferSize, 2 * 48001);
    EXPECT_NE(t->WorkBuffers[31], nullptr);
  }
  EXPECT_EQ(d.Params[1].Value, 0.5f);
  EXPECT_EQ(e.Params[1].Value, 0.25f);
  EXPECT_EQ(Name(e.Params[2]), "Decay");
  EXPECT_EQ(Label(e.Params[2]), "D");
  EXPECT_FLOAT_EQ(e.Params[2].Value, 0.2f);
  EXPECT_EQ(e.Params[2].Min, 0.0f);
  EXPECT_EQ(Name(e.Params[3]), "Feedback seed");
}

class DelayRenderTest : public TimeRenderTest {};

TEST_F(DelayRenderTest, ATailPlaysOnAfterTheNoteAndTheModuleThenSleeps) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  ModuleRecord* d = Add(kTypeDelay);
  Link(d, kDelayInput, kb);
  Set(d, kDelayPeriod, 100.0f / 48000.0f);
  Output(d);
  ASSERT_GE(KeyNoteOn(48, 0.8f, 1), 0);
  std::vector<float> out = Left(Render(200));
  // The keyboard's first frame of a note is {0, 0}; the delay shifts by 100.
  for (int32_t f = 0; f <= 100; ++f) EXPECT_EQ(out[f], 0.0f) << f;
  for (int32_t f = 101; f < 200; ++f) EXPECT_EQ(out[f], 0.8f) << f;
  KeyNoteOff(-1, 48, 1);
  out = Left(Render(200));
  for (int32_t f = 0; f < 100; ++f) EXPECT_EQ(out[f], 0.8f) << f;
  for (int32_t f = 100; f < 200; ++f) EXPECT_EQ(out[f], 0.0f) << f;
  EXPECT_EQ(d->ActiveVoices, 0);
  EXPECT_EQ(d->Awake, 0);
}

TEST_F(DelayRenderTest, PerVoiceEchoKeepsAReleasedVoiceUntilItsTailEnds) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* env = Add(kTypeAdsr);
  Link(env, kAdsrFrequency, kb);
  Set(env, kAdsrAttack, 0.001f);
  Set(env, kAdsrDecay, 0.001f);
  Set(env, kAdsrSustainLength, 0.0f);
  Set(env, kAdsrRelease, 0.001f);
  ModuleRecord* e = Add(kTypeEcho);
  Link(e, kDelayInput, env);
  Set(e, kDelayPeriod, 50.0f / 48000.0f);
  Output(e);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  ASSERT_GE(KeyNoteOn(52, 1.0f, 1), 0);
  Render(300);
  ASSERT_EQ(e->PolyphonyMode, 1);
  ASSERT_EQ(e->ActiveVoices, 2);
  KeyNoteOff(-1, 48, 1);
  // The envelope releases in 48 frames; the echo then drains 20 periods.
  Render(300);
  EXPECT_EQ(env->ActiveVoices, 1);
  EXPECT_EQ(e->ActiveVoices, 2);
  Render(1000);
  EXPECT_EQ(e->ActiveVoices, 1);
  KeyNoteOff(-1, 52, 1);
  Render(1200);
  EXPECT_EQ(e->ActiveVoices, 0);
  std::vector<float> out = Left(Render(10));
  for (float y : out) EXPECT_EQ(y, 0.0f);
}

}  // namespace
}  // namespace testing_time
}  // namespace Tarvelo
