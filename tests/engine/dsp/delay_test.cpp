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
const float kNaN = std::numeric_limits<float>::quiet_NaN();

class DelayTest : public TimeTest {
 protected:
  // A module of the type fed by a hand-driven source, its period in frames.
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
  std::vector<float> out;
  for (int32_t f = 0; f <= 12; ++f) {
    Put(src, 0, 0, f == 0 ? 1.0f : (f == 12 ? 0.5f : 0.0f));
    Step(d);
    out.push_back(d->Outputs[0][0].Level);
  }
  // Frame 12 was the last fed one: the voice drains silence, marking itself
  // to the source, reaches stage 3 in its eleventh silent frame (23), stays
  // listed for its own mark (24) and is gone at 25.
  src->ActiveVoices.Store(0);
  for (int32_t f = 13; f <= 25; ++f) {
    const int32_t parity = Parity();
    Step(d);
    out.push_back(d->Outputs[0][0].Level);
    EXPECT_EQ(src->TriggerBuffers[parity][0] != 0, f <= 23) << f;
    EXPECT_EQ(d->ActiveVoices.Load(), f <= 24 ? 1 : 0) << f;
  }
  for (int32_t f = 0; f <= 25; ++f) EXPECT_EQ(out[f], f == 10 ? 1.0f : (f == 22 ? 0.5f : 0.0f)) << f;
  // Period 0: the input itself, unclipped.
  ModuleRecord* now = Make(kTypeDelay, src, 0);
  src->ActiveVoices.Store(1);
  Put(src, 0, 0, 1.5f);
  Step(now);
  EXPECT_EQ(now->Outputs[0][0].Level, 1.5f);
  EXPECT_EQ(now->ClipFlag.Load(), 0);
}

TEST_F(DelayTest, APeriodPortIsReadWhileFedAndFrozenDuringTheTail) {
  ModuleRecord* src = Source();
  ModuleRecord* period = Source();
  ModuleRecord* d = Make(kTypeDelay, src, 0);
  Link(d, kDelayPeriod, period);
  Set(d, kDelayPeriod, 0.5f);  // read plainly: no gain on the linked value
  Put(period, 0, 0, 10.0f / 48000.0f);
  for (int32_t f = 0; f < 20; ++f) {
    Put(src, 0, 0, static_cast<float>(f) / 100.0f);
    Step(d);
  }
  EXPECT_FLOAT_EQ(d->Outputs[0][0].Level, 0.09f);
  Put(period, 0, 0, 4.0f / 48000.0f);
  Put(src, 0, 0, 0.2f);
  Step(d);
  EXPECT_FLOAT_EQ(d->Outputs[0][0].Level, 0.16f);
  src->ActiveVoices.Store(0);
  Put(period, 0, 0, 50.0f / 48000.0f);
  std::vector<int32_t> active;
  for (int32_t f = 0; f < 7; ++f) {
    Step(d);
    active.push_back(d->ActiveVoices.Load());
  }
  EXPECT_EQ(active, (std::vector<int32_t>{1, 1, 1, 1, 1, 1, 0}));
}

TEST_F(DelayTest, EchoRepeatsWithTheDecayAndDrainsTwentyPeriods) {
  ModuleRecord* src = Source();
  ModuleRecord* e = Make(kTypeEcho, src, 10);
  Set(e, kEchoDecay, 0.2f);
  // y[n] = (x[n] + 0.8 y[n - 10]) / sqrt 2.
  double y = kRoot;
  for (int32_t f = 0; f < 41; ++f) {
    Put(src, 0, 0, f == 0 ? 1.0f : 0.0f);
    Step(e);
    EXPECT_NEAR(e->Outputs[0][0].Level, f % 10 == 0 ? y : 0.0, 1e-6) << f;
    if (f % 10 == 0) y = 0.8 * y * kRoot;
  }
  src->ActiveVoices.Store(0);
  int32_t ended = 0;
  while (e->SequencerVoices[0].State != kTailStageDone && ended < 1000) {
    Step(e);
    ++ended;
  }
  EXPECT_EQ(ended, 201);
  Steps(e, 2);
  EXPECT_EQ(e->ActiveVoices.Load(), 0);
}

TEST_F(DelayTest, EchoWithPeriodZeroReadsOneWholeBufferBack) {
  ModuleRecord* src = Source();
  ModuleRecord* e = Make(kTypeEcho, src, 0);
  Set(e, kEchoDecay, 0.2f);
  Put(src, 0, 0, 1.0f);
  Step(e);
  Put(src, 0, 0, 0.0f);
  std::vector<float> out = Steps(e, 48001);  // Q + 1 frames
  EXPECT_EQ(out[47999], 0.0f);
  EXPECT_NEAR(out[48000], 0.8 * kRoot * kRoot, 1e-6);
  src->ActiveVoices.Store(0);
  Step(e);
  EXPECT_EQ(e->SequencerVoices[0].State, kTailStageDone);
  // Without decay a held input grows past 1: clipped, flagged, stored clipped.
  ModuleRecord* loud = Make(kTypeEcho, Source(), 1);
  Set(loud, kEchoDecay, 0.0f);
  Put(loud->PortSources[0].Load(), 0, 0, 1.0f);
  EXPECT_EQ(Steps(loud, 4).back(), 1.0f);
  EXPECT_EQ(loud->ClipFlag.Load(), -1);
  EXPECT_EQ(loud->WorkBuffers[0][4], 1.0f);
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
  // Voice 3 stops and voice 1 starts; the source lists its voices by id, so
  // voice 5 moves to position 1 and voice 1 takes position 0.
  src->VoiceIds[0] = 1;
  Put(src, 0, 0, 0.1f);
  const int32_t parity = Parity();
  Step(d);
  ASSERT_EQ(d->ActiveVoices.Load(), 3);
  EXPECT_EQ(std::vector<int32_t>(d->VoiceIds, d->VoiceIds + 3), (std::vector<int32_t>{3, 5, 1}));
  EXPECT_EQ(d->Outputs[0][0].Level, 0.0f);  // drained (period 0: one frame)
  EXPECT_EQ(d->Outputs[0][1].Level, 0.5f);  // voice 5 still hears voice 5
  EXPECT_EQ(d->Outputs[0][2].Level, 0.1f);
  for (int32_t w : {1, 3, 5}) EXPECT_NE(src->TriggerBuffers[parity][w], 0u) << w;
  Steps(d, 2);
  ASSERT_EQ(d->ActiveVoices.Load(), 2);
  EXPECT_EQ(d->VoiceIds[0], 5);
  EXPECT_EQ(d->Outputs[0][0].Level, 0.5f);
  EXPECT_EQ(d->Outputs[0][1].Level, 0.1f);
  EXPECT_EQ(d->Outputs[0][2].Level, 0.0f);
}

// A list left in a foreign state (after a reset) that looks like the source's
// own: a voice listed twice is kept once and fed from the last position that
// sounds it; an id beyond the voices stands for voice 0, which joins after the
// voices still sounding.
TEST_F(DelayTest, AListThatOnlyLooksLikeTheSourcesIsRebuilt) {
  ModuleRecord* src = Source(1, 2, true);
  ModuleRecord* d = Make(kTypeDelay, src, 0);
  PerVoice(d);
  Put(src, 0, 0, 0.3f);
  Put(src, 0, 1, 0.5f);
  src->VoiceIds[0] = 4;
  src->VoiceIds[1] = 4;
  d->ActiveVoices.Store(d->PreviousActiveVoices = 2);
  d->VoiceIds[0] = d->VoiceIds[1] = 4;
  d->SequencerVoices[4].State = kTailStageFed;
  Step(d);
  ASSERT_EQ(d->ActiveVoices.Load(), 1);
  EXPECT_EQ(d->VoiceIds[0], 4);
  EXPECT_EQ(d->SequencerVoices[4].Position, 1);
  EXPECT_EQ(d->Outputs[0][0].Level, 0.5f);

  src->VoiceIds[0] = 40;
  src->VoiceIds[1] = 2;
  d->ActiveVoices.Store(d->PreviousActiveVoices = 2);
  d->VoiceIds[0] = 40;
  d->VoiceIds[1] = 2;
  d->SequencerVoices[0].State = kTailStageIdle;
  d->SequencerVoices[2].State = kTailStageFed;
  const int32_t parity = Parity();
  Step(d);
  ASSERT_EQ(d->ActiveVoices.Load(), 2);
  EXPECT_EQ(std::vector<int32_t>(d->VoiceIds, d->VoiceIds + 2), (std::vector<int32_t>{2, 0}));
  EXPECT_EQ(d->Outputs[0][0].Level, 0.5f);
  EXPECT_EQ(d->Outputs[0][1].Level, 0.3f);
  EXPECT_NE(src->TriggerBuffers[parity][0], 0u);
  EXPECT_NE(src->TriggerBuffers[parity][2], 0u);
}

TEST_F(DelayTest, HostilePeriodsDecaysAndInputsStayInTheBuffer) {
  ModuleRecord* src = Source();
  ModuleRecord* period = Source();
  ModuleRecord* d = Make(kTypeDelay, src, 0);
  Link(d, kDelayPeriod, period);
  // Beyond 1 s the period is held to the buffer's second; NaN is no delay.
  const float cases[3][2] = {{5.0f, 48000.0f}, {-1e30f, 48000.0f}, {kNaN, 0.0f}};
  for (const auto& c : cases) {
    Put(period, 0, 0, c[0]);
    Step(d);
    EXPECT_EQ(d->SequencerVoices[0].A[0], c[1]) << c[0];
  }
  Put(period, 0, 0, 1.0f);
  Put(src, 0, 0, 1.0f);
  Step(d);
  Put(src, 0, 0, 0.0f);
  EXPECT_EQ(Steps(d, 48000)[47999], 1.0f);
  // A NaN input passes once and does not stay in the line.
  Put(period, 0, 0, 2.0f / 48000.0f);
  Put(src, 0, 0, kNaN);
  Step(d);
  Put(src, 0, 0, 0.25f);
  std::vector<float> out = Steps(d, 4);
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_EQ(out[3], 0.25f);

  // Echo: a NaN input publishes 0 with the flag and leaves the buffer clean;
  // a NaN decay stops the repetitions.
  ModuleRecord* e = Make(kTypeEcho, Source(), 2);
  Put(e->PortSources[0].Load(), 0, 0, kNaN);
  Step(e);
  EXPECT_EQ(e->Outputs[0][0].Level, 0.0f);
  EXPECT_EQ(e->ClipFlag.Load(), -1);
  ModuleRecord* decay = Source();
  Link(e, kEchoDecay, decay);
  Put(decay, 0, 0, kNaN);
  Put(e->PortSources[0].Load(), 0, 0, 0.5f);
  for (float y : Steps(e, 4)) EXPECT_FLOAT_EQ(y, static_cast<float>(0.5 * kRoot));
}

// Every period in millisecond steps from 0 to 1 s gives the frames of the
// single-precision rule, floor(|p| x 48000 + 1e-6) with the product rounded
// to a float, latched by a Delay and an Echo alike.
TEST_F(DelayTest, PeriodsInMillisecondsGiveTheSinglePrecisionFrames) {
  ModuleRecord* period = Source();
  ModuleRecord* d = Make(kTypeDelay, Source(), 0);
  ModuleRecord* e = Make(kTypeEcho, Source(), 0);
  Link(d, kDelayPeriod, period);
  Link(e, kDelayPeriod, period);
  const struct {
    float seconds;
    float frames;
  } named[] = {{0.01f, 480.0f}, {0.35f, 16800.0f}, {0.7f, 33600.0f}, {1.0f, 48000.0f}};
  for (const auto& r : named) EXPECT_EQ(PeriodFrames(r.seconds, 48000), r.frames) << r.seconds;
  int32_t wrong = 0;
  for (int32_t ms = 0; ms <= 1000; ++ms) {
    const float p = static_cast<float>(ms / 1000.0);
    volatile float product = p * 48000.0f;  // rounded to single here
    const float expected = std::floor(product + 1e-6f);
    Put(period, 0, 0, ms % 2 == 0 ? p : -p);
    Step(d);
    Step(e);
    wrong += d->SequencerVoices[0].A[0] != expected || e->SequencerVoices[0].A[0] != expected;
  }
  EXPECT_EQ(wrong, 0) << "of 1001 periods";
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
  EXPECT_EQ(out[100], 0.0f);
  EXPECT_EQ(out[101], 0.8f);
  KeyNoteOff(-1, 48, 1);
  out = Left(Render(200));
  EXPECT_EQ(out[99], 0.8f);
  EXPECT_EQ(out[100], 0.0f);
  EXPECT_EQ(d->ActiveVoices.Load(), 0);
  EXPECT_EQ(d->Awake, 0);
}

TEST_F(DelayRenderTest, PerVoiceEchoKeepsAReleasedVoiceUntilItsTailEnds) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* env = Add(kTypeAdsr);
  Link(env, kAdsrFrequency, kb);
  for (int32_t p : {kAdsrAttack, kAdsrDecay, kAdsrRelease}) Set(env, p, 0.001f);
  Set(env, kAdsrSustainLength, 0.0f);
  ModuleRecord* e = Add(kTypeEcho);
  Link(e, kDelayInput, env);
  Set(e, kDelayPeriod, 50.0f / 48000.0f);
  Output(e);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  ASSERT_GE(KeyNoteOn(52, 1.0f, 1), 0);
  Render(300);
  ASSERT_EQ(e->PolyphonyMode.Load(), 1);
  ASSERT_EQ(e->ActiveVoices.Load(), 2);
  // The envelope ends its voice about 50 frames after the release; the echo
  // then drains 20 periods (1000 frames).
  KeyNoteOff(-1, 48, 1);
  Render(300);
  EXPECT_EQ(env->ActiveVoices.Load(), 1);
  EXPECT_EQ(e->ActiveVoices.Load(), 2);
  Render(1000);
  EXPECT_EQ(e->ActiveVoices.Load(), 1);
  KeyNoteOff(-1, 52, 1);
  Render(1200);
  EXPECT_EQ(e->ActiveVoices.Load(), 0);
  EXPECT_EQ(Left(Render(2))[1], 0.0f);
}

}  // namespace
}  // namespace testing_time
}  // namespace Tarvelo
