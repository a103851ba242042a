// The Sample module: playback at the sound's detected pitch, loop points and
// the stop at the period, reverse play, rewinding, the pass-through without a
// sound, and recordings (interleaved channels, early stops, the levels and
// pitch found when they finish, playback of what was recorded).
#include "engine/dsp/sample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/spectrum.h"
#include "engine/dsp/analysis.h"
#include "engine/filerecord.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

int32_t ListChanges = 0;
void CountListChange() { ++ListChanges; }

using testing_synth::Crossings;

class SampleKernelTest : public testing_synth::SynthTest {
 protected:
  void SetUp() override {
    SynthTest::SetUp();
    ListChanges = 0;
    SampleListChanged = CountListChange;
  }
  void TearDown() override {
    SampleListChanged = nullptr;
    SynthTest::TearDown();
  }

  // A playing Sample with the sound attached, its frequency at the sound's
  // pitch times factor.
  ModuleRecord* Player(WaveLibraryEntry* e, float factor = 1.0f) {
    ModuleRecord* s = Add(kTypeSample);
    s->ModuleSwitches[kSwitchPlay].Store(-1);
    s->ChannelsProcessed.Store(1);
    AttachWaveToModule(s, e, 0);
    ModuleSetParamValue(*s, kSampleAmplitude, 1.0f);
    ModuleSetParamValue(*s, kSampleFrequency, factor * e->Pitch[0] * FrequencyNorm);
    return s;
  }
  std::vector<float> Play(ModuleRecord* s, int32_t frames, ModuleRecord* source = nullptr,
                          const std::vector<float>* input = nullptr) {
    std::vector<float> out;
    for (int32_t k = 0; k < frames; ++k) {
      if (source != nullptr) {
        const float x = (*input)[k];
        source->Outputs[0][0] = OutputElement{x, x};
      }
      ProcessModuleFrame(s, frame_++, parity_, parity_ ^ 1);
      parity_ ^= 1;
      out.push_back(s->Outputs[0][0].Level);
    }
    return out;
  }
  // One frame; the value of voice v.
  float Frame(ModuleRecord* s, int32_t v = 0) {
    ProcessModuleFrame(s, frame_++, parity_, parity_ ^ 1);
    parity_ ^= 1;
    return s->Outputs[0][v].Level;
  }
  // The Sample's voices led by a per-voice input of `voices` voices: from 8 on
  // the Sample computes them in rows.
  void Voices(ModuleRecord* s, int32_t voices) {
    if (voices == 1) return;
    PerVoice(s);
    Link(s, kSampleInput, Source(1, voices, true));
    s->VoiceMapSourcePort.Store(kSampleInput);
  }
  // n frames of a 440 Hz sine at amplitude 0.5, its pitch 440 Hz.
  WaveLibraryEntry* Sine440(int32_t n) {
    std::vector<float> sine(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) sine[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * i / 48000.0));
    return Sound(sine, 1, 440.0f);
  }
  // A ramp of n frames from 0 to 1, so the value read is the position.
  WaveLibraryEntry* Ramp(int32_t n) {
    std::vector<float> r(n);
    for (int32_t i = 0; i < n; ++i) r[i] = static_cast<float>(i) / static_cast<float>(n - 1);
    return Sound(r, 1, 100.0f);
  }
  // A blank recording target of the given length.
  WaveLibraryEntry* Blank(int32_t frames, int32_t channels) {
    WaveLibraryEntry* e = Sound(std::vector<float>(static_cast<size_t>(frames) * channels, 0.0f), channels,
                                4.0f / static_cast<float>(frames));
    e->State.Store(kWaveCreating);
    return e;
  }
  ModuleRecord* Recorder(WaveLibraryEntry* e, ModuleRecord* source) {
    ModuleRecord* s = Add(kTypeSample);
    s->ChannelsProcessed.Store(1);
    EXPECT_EQ(ModuleLinkInput(*s, kSampleInput, source, &ModuleCatalog[kTypeSample]), kLinkConnected);
    AttachWaveToModule(s, e, static_cast<uint64_t>(-1));  // sets REC
    EXPECT_NE(s->ModuleSwitches[kSwitchRecord].Load(), 0);
    return s;
  }
  int32_t parity_ = 0;
  uint64_t frame_ = 0;
};

TEST_F(SampleKernelTest, PlaysAtTheDetectedPitch) {
  // 48 cycles of a 480 Hz sine; the analysis finds its pitch.
  std::vector<float> sine(4800);
  for (size_t i = 0; i < sine.size(); ++i) sine[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 480.0 * i / 48000.0));
  WaveLibraryEntry* e = Sound(sine, 1, 0.0f);
  ASSERT_EQ(AnalyseSampleLevels(e), 0);
  ASSERT_EQ(DetectSamplePitch(e, 0), 0);
  ASSERT_NEAR(e->Pitch[0], 480.0f, 5.0f);

  ModuleRecord* s = Player(e);
  const std::vector<float> y = Play(s, 4800);
  EXPECT_EQ(Crossings(y), 47);  // the first rising edge lies at frame 0
  for (size_t k = 0; k < 400; ++k) EXPECT_NEAR(y[k], sine[k], 0.01f) << k;
  // Looping: the sound starts again after its length.
  const std::vector<float> again = Play(s, 400);
  for (size_t k = 10; k < 400; ++k) EXPECT_NEAR(again[k], sine[k], 0.05f) << k;

  // Twice the frequency plays twice as fast.
  ModuleRecord* fast = Player(e, 2.0f);
  EXPECT_EQ(Crossings(Play(fast, 4800)), 95);
}

TEST_F(SampleKernelTest, StopsAtThePeriodWithoutLoopAndRewindsAtZero) {
  WaveLibraryEntry* e = Ramp(11);
  ModuleRecord* s = Player(e);
  s->ModuleSwitches[kSwitchLoop].Store(0);
  s->ModuleSwitches[kSwitchRewind].Store(-1);
  ModuleSetParamValue(*s, kSampleBias, 0.25f);
  ModuleSetParamValue(*s, kSamplePeriod, 0.5f);
  // The step is 1/11 per frame: frames 0..5 play the ramp (plus the bias),
  // frame 5 passes the period 0.5 and gives the bias alone, then silence.
  const std::vector<float> y = Play(s, 9);
  for (int32_t k = 0; k < 5; ++k) EXPECT_NEAR(y[k], 0.25f + k / 11.0f, 1e-5) << k;
  EXPECT_EQ(y[5], 0.25f);
  EXPECT_EQ(y[6], 0.0f);
  EXPECT_EQ(y[8], 0.0f);
  EXPECT_EQ(s->VoiceState[0][0], 0.5f);
  // A frame at frequency 0 rewinds and restarts the voice.
  const float f = s->Params[kSampleFrequency].Value.Load();
  ModuleSetParamValue(*s, kSampleFrequency, 0.0f);
  Play(s, 1);
  ModuleSetParamValue(*s, kSampleFrequency, f);
  const std::vector<float> z = Play(s, 3);
  EXPECT_NEAR(z[0], 0.25f, 1e-6);
  EXPECT_NEAR(z[1], 0.25f + 1.0f / 11.0f, 1e-5);
}

TEST_F(SampleKernelTest, LoopsBackwardsOneFrameSoundsAndSilentAmplitude) {
  WaveLibraryEntry* ramp = Ramp(11);
  ModuleRecord* back = Player(ramp, -1.0f);
  const std::vector<float> y = Play(back, 13);
  // The read point maps into [0, 1): 0, then 10/11, 9/11, ...
  EXPECT_EQ(y[0], 0.0f);
  for (int32_t k = 1; k < 11; ++k) EXPECT_NEAR(y[k], (11 - k) / 11.0f, 1e-5) << k;
  EXPECT_GT(back->VoiceState[0][0], -1.0f);
  EXPECT_LE(back->VoiceState[0][0], 0.0f);

  // A one-frame sound reads its only value everywhere.
  ModuleRecord* one = Player(Sound({0.375f}, 1, 50.0f));
  for (float v : Play(one, 20)) EXPECT_EQ(v, 0.375f);

  // Amplitude 0 gives the bias while the position moves on.
  ModuleRecord* mute = Player(Ramp(11));
  ModuleSetParamValue(*mute, kSampleAmplitude, 0.0f);
  ModuleSetParamValue(*mute, kSampleBias, -0.125f);
  for (float v : Play(mute, 3)) EXPECT_EQ(v, -0.125f);
  EXPECT_NEAR(mute->VoiceState[0][0], 3.0f / 11.0f, 1e-6);
}

// The pitch of a sine by its upward zero crossings, each placed between its
// two frames by linear interpolation: cycles between the first and the last
// crossing over the frames between them.
double SineHertz(const std::vector<float>& y) {
  double first = -1.0, last = -1.0;
  int32_t cycles = -1;
  for (size_t i = 1; i < y.size(); ++i) {
    if (!(y[i - 1] < 0.0f && y[i] >= 0.0f)) continue;
    const double at = static_cast<double>(i - 1) + y[i - 1] / (static_cast<double>(y[i - 1]) - y[i]);
    if (first < 0.0) first = at;
    last = at;
    ++cycles;
  }
  return cycles > 0 ? 48000.0 * cycles / (last - first) : 0.0;
}

// Long sounds keep their pitch to the last frame: the position keeps enough
// precision that its steps do not wander as it grows. A looped sine sound of
// whole cycles at 440 Hz, played once through at A3 or at its own pitch, one
// voice and eight side by side (which must give what one gives, bit for bit);
// its last 2 s are measured.
TEST_F(SampleKernelTest, LongSoundsKeepTheirPitchToTheLastFrame) {
  struct Case {
    int32_t seconds;
    double hertz;  // played at
  };
  for (const Case c : {Case{3, 220.0}, Case{10, 220.0}, Case{30, 440.0}}) {
    const int32_t n = c.seconds * 48000;
    WaveLibraryEntry* e = Sine440(n);
    const int64_t pass = static_cast<int64_t>(n * 440.0 / c.hertz);  // frames of one pass
    const int64_t from = pass - 2 * 48000 - 480;
    std::vector<float> alone;
    for (const int32_t voices : {1, 8}) {
      ModuleRecord* s = Player(e, static_cast<float>(c.hertz / 440.0));
      Voices(s, voices);
      std::vector<float> first, last[2];
      for (int64_t k = 0; k < pass - 480; ++k) {
        const float y = Frame(s, voices - 1);
        if (k < 64) first.push_back(y);
        if (k < from) continue;
        last[0].push_back(s->Outputs[0][0].Level);
        last[1].push_back(s->Outputs[0][voices - 1].Level);
      }
      ASSERT_EQ(s->ActiveVoices.Load(), voices);
      if (voices == 1) alone = last[0];
      EXPECT_TRUE(last[1] == alone) << c.seconds << " s, " << voices;
      for (const std::vector<float>& y : last)
        EXPECT_NEAR(1200.0 * std::log2(SineHertz(y) / c.hertz), 0.0, 1.0) << c.seconds << " s, " << voices;
      // VoiceState keeps the position rounded, and a synth file stores that,
      // in the record's old form.
      const double at = std::fmod(static_cast<double>(pass - 480) * c.hertz / 440.0 / n, 1.0);
      EXPECT_NEAR(s->VoiceState[0][voices - 1], at, 1e-6) << c.seconds << " s, " << voices;
      auto record = std::make_unique<ModuleFileRecord>();
      ModuleToFileRecord(*record, s);
      EXPECT_EQ(record->Slots[0][voices - 1][0], s->VoiceState[0][voices - 1]);
      // A rewound position (as a reset or a load writes it) plays from there.
      std::memset(s->VoiceState, 0, sizeof s->VoiceState);
      for (int32_t k = 0; k < 64; ++k) ASSERT_EQ(Frame(s, voices - 1), first[k]) << c.seconds << " s, " << k;
    }
  }
}

// A sound longer than single precision can index (4,194,304 frames) is read
// between its frames where the position lies, one voice or eight: from 0.9 of
// a sine sound at its own pitch, each frame is the sine at that point (within
// what the interpolation between two frames misses).
TEST_F(SampleKernelTest, LongSoundsAreReadWhereThePositionLies) {
  const int32_t n = 1 << 22;
  WaveLibraryEntry* e = Sine440(n);
  for (const int32_t voices : {1, 8}) {
    ModuleRecord* s = Player(e);
    Voices(s, voices);
    Frame(s);
    for (int32_t v = 0; v < voices; ++v) s->VoiceState[0][v] = 0.9f;
    const float step = s->SampleStep * s->Params[kSampleFrequency].Value.Load();
    double worst = 0.0;
    for (int32_t k = 0; k < 4800; ++k) {
      const double at = (static_cast<double>(0.9f) + static_cast<double>(step) * k) * (n - 1);
      worst = std::max(worst, std::fabs(Frame(s, voices - 1) - 0.5 * std::sin(2.0 * M_PI * 440.0 * at / 48000.0)));
    }
    EXPECT_LT(worst, 5e-4) << voices;
  }
}

TEST_F(SampleKernelTest, HostileInputsStayInsideTheSound) {
  ModuleRecord* s = Player(Ramp(7));
  for (float f : {std::nanf(""), INFINITY, -1e30f, 1e30f}) {
    ModuleSetParamValue(*s, kSampleFrequency, f);
    for (float p : {std::nanf(""), 1e9f, -3.5f}) {
      ModuleSetParamValue(*s, kSamplePhase, p);
      for (float v : Play(s, 3)) EXPECT_TRUE(v >= -1.0f && v <= 1.0f) << f << " " << p;
    }
  }
}

// Without a sound every voice passes its own voice of the input through,
// whatever its frequency (a voice index taken from the frequency would leave
// the 32 voices for negative or large ones).
TEST_F(SampleKernelTest, WithoutASoundEachVoicePassesItsOwnInputThrough) {
  ModuleRecord* src = Source(1, 4, true);
  for (int32_t v = 0; v < 4; ++v) Put(src, 0, v, 0.125f * static_cast<float>(v + 1));
  ModuleRecord* s = Add(kTypeSample);
  PerVoice(s);
  s->ChannelsProcessed.Store(1);
  s->ModuleSwitches[kSwitchPlay].Store(-1);
  Link(s, kSampleInput, src);
  s->VoiceMapSourcePort.Store(kSampleInput);  // the voices are the input's
  ASSERT_EQ(s->SampleData, nullptr);
  Set(s, kSampleAmplitude, 0.5f);
  Set(s, kSampleBias, 0.25f);
  for (float f : {0.0f, -7.0f, 1000.0f, -1e9f}) {
    Set(s, kSampleFrequency, f);
    ProcessModuleFrame(s, frame_++, parity_, parity_ ^ 1);
    parity_ ^= 1;
    ASSERT_EQ(s->ActiveVoices.Load(), 4) << f;
    for (int32_t v = 0; v < 4; ++v)
      EXPECT_FLOAT_EQ(Level(s, 0, v), 0.5f * 0.125f * static_cast<float>(v + 1) + 0.25f) << f << " " << v;
  }
}

TEST_F(SampleKernelTest, RecordingFindsItsPitchAndPlaysBackAtThatSpeed) {
  ModuleRecord* src = Source();
  WaveLibraryEntry* e = Blank(4800, 1);
  ModuleRecord* s = Recorder(e, src);
  std::vector<float> in(9600);
  for (size_t i = 0; i < in.size(); ++i) in[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 600.0 * i / 48000.0));
  // While recording the input passes through, times the amplitude.
  const std::vector<float> y = Play(s, 4800, src, &in);
  for (size_t k = 0; k < 100; ++k) EXPECT_FLOAT_EQ(y[k], 0.33f * in[k]) << k;
  for (size_t k = 0; k < 4800; ++k) ASSERT_EQ(e->Sound.samples[k], in[k]) << k;

  // Full: finished, analysed, powered and playing.
  EXPECT_EQ(s->ModuleSwitches[kSwitchRecord].Load(), 0);
  EXPECT_EQ(s->ModuleSwitches[kSwitchPlay].Load(), -1);
  EXPECT_EQ(s->ModuleSwitches[kSwitchPower].Load(), -1);
  EXPECT_EQ(s->RecordDone.Load(), 0);
  EXPECT_EQ(e->State.Load(), kWaveIdle);
  EXPECT_EQ(ListChanges, 1);
  EXPECT_NEAR(e->Pitch[0], 600.0f, 5.0f);
  EXPECT_FLOAT_EQ(s->Params[kSampleFrequency].Value.Load(), e->Pitch[0] * FrequencyNorm);
  EXPECT_FLOAT_EQ(s->SampleStep, 48000.0f / (4.0f * 4800.0f * e->Pitch[0]));
  // A sine of amplitude 0.5 has a mean square of 0.125.
  EXPECT_NEAR(e->MeanLevel[0], 20.0f * std::log10(0.125f), 0.05f);
  // The loudest 128-frame stretch of 1.6 cycles holds a little more.
  EXPECT_GE(e->LoudestValue[0], e->MeanLevel[0]);
  EXPECT_NEAR(e->LoudestValue[0], 20.0f * std::log10(0.125f), 1.0f);
  EXPECT_EQ(static_cast<int32_t>(e->LoudestPosition[0]) % 128, 0);

  // Playback at the recorded speed repeats what came in.
  ModuleSetParamValue(*s, kSampleAmplitude, 1.0f);
  const std::vector<float> back = Play(s, 1000);
  for (size_t k = 0; k < 1000; ++k) EXPECT_NEAR(back[k], in[k], 0.02f) << k;
}

TEST_F(SampleKernelTest, RecordingStoppedBeforeAWholeFrameLeavesTheModuleAsItWas) {
  ModuleRecord* src = Source();
  src->ChannelsProcessed.Store(2);
  WaveLibraryEntry* e = Blank(300, 2);
  ModuleRecord* s = Recorder(e, src);
  s->ChannelsProcessed.Store(2);
  ModuleSetParamValue(*s, kSampleFrequency, 0.125f);
  s->SampleStep = 2.5f;
  const int64_t power = s->ModuleSwitches[kSwitchPower].Load();
  // Stopped at once: the first channel of the first frame finishes it.
  s->RecordDone.Store(-1);
  ProcessModuleFrame(s, frame_++, parity_, parity_ ^ 1);
  EXPECT_EQ(s->ModuleSwitches[kSwitchRecord].Load(), 0);
  EXPECT_EQ(s->RecordDone.Load(), 0);
  EXPECT_FLOAT_EQ(s->Params[kSampleFrequency].Value.Load(), 0.125f);
  EXPECT_FLOAT_EQ(s->SampleStep, 2.5f);
  EXPECT_EQ(s->ModuleSwitches[kSwitchPower].Load(), power);
  EXPECT_TRUE(std::isfinite(e->Pitch[0]));
  // The empty sound is let go, idle and without frames, for the interface to discard.
  EXPECT_EQ(s->SampleEntry.Load(), nullptr);
  EXPECT_EQ(s->SampleData, nullptr);
  EXPECT_EQ(e->Sound.frameCount, 0u);
  EXPECT_EQ(e->Sound.dataSize, 0u);
  EXPECT_EQ(e->State.Load(), kWaveIdle);
  EXPECT_EQ(ListChanges, 1);
}

TEST_F(SampleKernelTest, StereoRecordingIsInterleaved) {
  ModuleRecord* src = Source();
  src->ChannelsProcessed.Store(2);
  WaveLibraryEntry* e = Blank(300, 2);
  ModuleRecord* s = Recorder(e, src);
  EXPECT_EQ(s->OutputChannels.Load(), 2);
  s->ChannelsProcessed.Store(2);
  for (int32_t k = 0; k < 300; ++k) {
    src->Outputs[0][0] = OutputElement{0.001f * k, 0.0f};
    src->Outputs[1][0] = OutputElement{-0.002f * k, 0.0f};
    ProcessModuleFrame(s, frame_++, parity_, parity_ ^ 1);
    parity_ ^= 1;
    if (k == 10) {
      EXPECT_FLOAT_EQ(s->Outputs[0][0].Level, 0.33f * 0.01f);
      EXPECT_FLOAT_EQ(s->Outputs[1][0].Level, -0.33f * 0.02f);
    }
  }
  EXPECT_EQ(s->ModuleSwitches[kSwitchRecord].Load(), 0);
  for (int32_t k = 0; k < 300; ++k) {
    ASSERT_EQ(e->Sound.samples[2 * k], 0.001f * k) << k;
    ASSERT_EQ(e->Sound.samples[2 * k + 1], -0.002f * k) << k;
  }
  // The loudest windows start at interleaved indexes of whole frames.
  EXPECT_EQ(static_cast<int32_t>(e->LoudestPosition[1]) % 256, 0);
  EXPECT_GT(e->MeanLevel[1], e->MeanLevel[0]);
}

}  // namespace
}  // namespace Tarvelo
