// Step Sequencer and Mapper: step timing in frames, the pattern bits, duty,
// direction and rewind; the mapper's snapping to tuning keys and its island
// gaps; hostile settings; the templates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "tests/engine/synth_fixture.h"
#include "engine/dsp/stepseq.h"
#include "engine/tuning.h"

namespace Tarvelo {
namespace {

using testing_synth::SynthTest;

constexpr int32_t kStepFrames = 480;  // 100 steps a second at 48 kHz

class StepSequencerTest : public SynthTest {
 protected:
  void SetUp() override {
    SynthTest::SetUp();
    note = Source();
    Put(note, 0, 0, 0.8f, 0.01f);
    seq = Add(kTypeStepSequencer);
    Link(seq, kStepFrequency, note);
    Link(seq, kStepVelocity, note);
    Set(seq, kStepTempo, 100.0f / RateQuarter);
    Set(seq, kStepDuty, 1.0f);
    Set(seq, kStepLength, 16.0f);
    for (int32_t q = 0; q < kStepPatternWords; ++q) Set(seq, kStepPattern + q, 0.0f);
  }
  // Runs frames and returns, per frame, whether the step sounded.
  std::vector<bool> Play(int32_t frames, int32_t voices = 1) {
    std::vector<bool> sounding;
    for (int32_t f = 0; f < frames; ++f) {
      Run(seq, voices, f & 1);
      sounding.push_back(Level(seq) != 0.0f);
    }
    return sounding;
  }
  // Whether step k sounded in the middle of its frames.
  static bool Step(const std::vector<bool>& s, int32_t k) { return s[k * kStepFrames + kStepFrames / 2]; }

  ModuleRecord* note = nullptr;
  ModuleRecord* seq = nullptr;
};

TEST_F(StepSequencerTest, OddStepsSoundAtTheTempoAndThePatternRestarts) {
  Set(seq, kStepPattern, 43690.0f);  // bits 1, 3, .. 15
  const std::vector<bool> s = Play(18 * kStepFrames);
  for (int32_t k = 0; k < 18; ++k) EXPECT_EQ(Step(s, k), (k % 16) % 2 == 1) << k;
  // The step changes within a frame of where the tempo puts it.
  EXPECT_FALSE(s[kStepFrames - 2]);
  EXPECT_TRUE(s[kStepFrames + 2]);
  EXPECT_TRUE(s[2 * kStepFrames - 2]);
  EXPECT_FALSE(s[2 * kStepFrames + 2]);
  // A sounding step passes the velocity and frequency inputs.
  seq->VoiceState[0][0] = 1.5f * kStepFrames / SampleRate;
  Run(seq);
  EXPECT_EQ(Level(seq), 0.8f);
  EXPECT_EQ(Freq(seq), 0.01f);
}

TEST_F(StepSequencerTest, DutyCycleSoundsTheFirstOrSecondPartOfAStep) {
  Set(seq, kStepPattern, 6.0f);  // steps 1 and 2
  Set(seq, kStepDuty, 0.5f);
  std::vector<bool> s = Play(3 * kStepFrames);
  EXPECT_TRUE(s[kStepFrames + 100]);
  EXPECT_FALSE(s[kStepFrames + 380]);
  seq->VoiceState[0][0] = 0.0f;
  Set(seq, kStepDuty, -0.5f);
  s = Play(3 * kStepFrames);
  EXPECT_FALSE(s[kStepFrames + 100]);
  EXPECT_TRUE(s[kStepFrames + 380]);
  // A whole duty joins two adjacent steps into one note.
  seq->VoiceState[0][0] = 0.0f;
  Set(seq, kStepDuty, 1.0f);
  s = Play(3 * kStepFrames);
  for (int32_t f = kStepFrames + 2; f < 3 * kStepFrames - 2; ++f) ASSERT_TRUE(s[f]) << f;
}

TEST_F(StepSequencerTest, RewindStartsEveryNoteFromStepZero) {
  Set(seq, kStepPattern, 1.0f);
  seq->ModuleSwitches[kSwitchRewind].Store(-1);
  Play(3 * kStepFrames + 10);
  Put(note, 0, 0, 0.0f, 0.0f);
  Run(seq);
  Put(note, 0, 0, 0.8f, 0.01f);
  const std::vector<bool> s = Play(kStepFrames / 2);
  EXPECT_TRUE(s[10]);
  // Without the switch the pattern runs on.
  seq->ModuleSwitches[kSwitchRewind].Store(0);
  seq->VoiceState[0][0] = 3.5f * kStepFrames / SampleRate;
  Put(note, 0, 0, 0.0f, 0.0f);
  Run(seq);
  Put(note, 0, 0, 0.8f, 0.01f);
  Run(seq);
  EXPECT_EQ(Level(seq), 0.0f);
}

TEST_F(StepSequencerTest, PerVoiceTimesAreKeptPerVoiceIdAndMarked) {
  Set(seq, kStepPattern, 1.0f);
  PerVoice(seq);
  note->ActiveVoices.Store(2);
  note->VoiceIds[0] = 6;
  note->VoiceIds[1] = 3;
  Put(note, 0, 1, 0.5f, 0.02f);
  seq->Params[kStepFrequency].VoiceMapRow = 1;
  seq->Params[kStepVelocity].VoiceMapRow = 1;
  seq->TriggerOwner.Store(note);
  seq->VoiceState[0][3] = 2.5f * kStepFrames / SampleRate;  // voice 3 is in step 2
  ClearTriggerBuffer(*note, 1);
  Run(seq, 2, 1);
  EXPECT_EQ(seq->ActiveVoices.Load(), 2);
  EXPECT_EQ(seq->VoiceIds[0], 6);
  EXPECT_EQ(seq->VoiceIds[1], 3);
  EXPECT_EQ(Level(seq, 0, 0), 0.8f);
  EXPECT_EQ(Level(seq, 0, 1), 0.0f);
  EXPECT_EQ(note->TriggerBuffers[1][6], kVoiceMark);
  EXPECT_EQ(note->TriggerBuffers[1][3], kVoiceMark);
  EXPECT_EQ(seq->TriggerBuffers[1][3], kVoiceMark);
  EXPECT_GT(seq->VoiceState[0][6], 0.0f);
}

TEST_F(StepSequencerTest, HostileSettingsStayInsideThePattern) {
  for (float length : {0.0f, -5.0f, 1.0e9f, 150.0f, std::nanf(""), INFINITY}) {
    for (float pattern : {-1.0f, 1.0e30f, std::nanf(""), 4294967296.0f}) {
      Set(seq, kStepLength, length);
      for (int32_t q = 0; q < kStepPatternWords; ++q) Set(seq, kStepPattern + q, pattern);
      seq->VoiceState[0][0] = 1.2f;  // far into the pattern
      for (float tempo : {-1.0f, 1.0f, INFINITY, std::nanf("")}) {
        Set(seq, kStepTempo, tempo);
        Run(seq);
        Run(seq);
        EXPECT_TRUE(Level(seq) == 0.0f || Level(seq) == 0.8f);
      }
    }
  }
}

// Steps start where the tempo puts them, within a millisecond, in long
// patterns, over many loops and an hour into a slow one: each case plays a
// window from an elapsed time the test drives the time state to, every step
// set and sounding its first half, single-voice and as 8 voices side by side.
// one thread: value
struct TempoCase {
  int32_t length;
  double stepsPerSecond;
  double from;     // s, the elapsed time driven into the state
  double seconds;  // played
};

class StepTempoTest : public StepSequencerTest,
                      public ::testing::WithParamInterface<std::tuple<TempoCase, int32_t>> {
 protected:
  // The largest distance (ms) over the window between a step's first
  // sounding frame and where the tempo puts it, every voice of `voices`.
  double LargestOffset(const TempoCase& c, int32_t voices) {
    ModuleRecord* notes = note;
    if (voices > 1) {
      PerVoice(seq);
      notes = Source(1, voices, true);
      for (int32_t v = 0; v < voices; ++v) Put(notes, 0, v, 0.8f, 0.01f);
      Link(seq, kStepFrequency, notes);
      Link(seq, kStepVelocity, notes);
      seq->Params[kStepFrequency].VoiceMapRow = 1;
      seq->Params[kStepVelocity].VoiceMapRow = 1;
      seq->TriggerOwner.Store(notes);
    }
    Set(seq, kStepLength, static_cast<float>(c.length));
    for (int32_t q = 0; q < kStepPatternWords; ++q) Set(seq, kStepPattern + q, 1048575.0f);
    Set(seq, kStepDuty, 0.5f);
    const float tempo = static_cast<float>(c.stepsPerSecond) / RateQuarter;
    Set(seq, kStepTempo, tempo);
    // The tempo the input holds, as steps a second.
    const double sps = static_cast<double>(tempo) * static_cast<double>(RateQuarter);
    for (int32_t v = 0; v < voices; ++v) seq->VoiceState[0][v] = static_cast<float>(c.from);
    const double rate = static_cast<double>(RateWhole);
    const int64_t frames = static_cast<int64_t>(c.seconds * rate);
    // Step boundaries after the start, in frames from it: the first frame at
    // or past each.
    const double loop = c.length / sps;
    const double start = std::fmod(c.from, loop);
    double largest = 0.0;
    std::vector<int64_t> next(voices, 0);
    std::vector<bool> was(voices, true);
    int64_t boundary = static_cast<int64_t>(std::floor(start * sps)) + 1;
    auto ideal = [&](int64_t j) { return std::ceil((static_cast<double>(j) / sps - start) * rate - 1e-6); };
    int64_t seen = 0;
    for (int64_t f = 0; f < frames; ++f) {
      if (voices > 1) ClearTriggerBuffer(*notes, f & 1);
      Run(seq, voices, static_cast<int32_t>(f & 1));
      for (int32_t v = 0; v < voices; ++v) {
        const bool on = Level(seq, 0, v) != 0.0f;
        if (on && !was[v]) {
          const int64_t j = boundary + next[v]++;
          largest = std::max(largest, std::fabs(static_cast<double>(f) - ideal(j)) / rate * 1000.0);
          if (v == 0) ++seen;
        }
        was[v] = on;
      }
    }
    // Every step the window holds began.
    int64_t expected = 0;
    while (ideal(boundary + expected) < static_cast<double>(frames)) ++expected;
    EXPECT_EQ(seen, expected);
    return largest;
  }
};

TEST_P(StepTempoTest, EveryStepStartsWithinAMillisecondOfTheTempo) {
  const auto [c, voices] = GetParam();
  const double offset = LargestOffset(c, voices);
  EXPECT_LT(offset, 1.0) << c.length << " steps at " << c.stepsPerSecond << " a second from " << c.from << " s, "
                         << voices << " voices: largest offset (ms)";
  std::printf("   %d steps at %g a second from %g s, %d voices: largest offset %.4f ms\n", c.length,
              c.stepsPerSecond, c.from, voices, offset);
}

INSTANTIATE_TEST_SUITE_P(LongPatterns, StepTempoTest,
                         ::testing::Combine(::testing::Values(
                                                // Steps 94 to 99 and the loop into step 5.
                                                TempoCase{100, 2.0, 47.1, 6.0},
                                                // The end of a 16-s loop and the next one's start.
                                                TempoCase{16, 1.0, 14.1, 4.0},
                                                // 250 loops: a frame lost per loop shows.
                                                TempoCase{4, 50.0, 0.0, 5.0},
                                                // An hour into a pattern longer than an hour.
                                                TempoCase{100, 0.02, 3599.0, 1.5}),
                                            ::testing::Values(1, 8)));

class MapperTest : public SynthTest {
 protected:
  void SetUp() override {
    SynthTest::SetUp();
    in = Source();
    map = Add(kTypeMapper);
    Link(map, kMapperInput, in);
    Set(map, kMapperOctaveMin, 2.0f);
    Set(map, kMapperOctaveRange, 2.0f);
    map->ModuleSwitches[kSwitchZeroOut].Store(0);
  }
  float Map(float x) {
    Put(in, 0, 0, x, x);
    Run(map);
    return Freq(map);
  }
  ModuleRecord* in = nullptr;
  ModuleRecord* map = nullptr;
};

TEST_F(MapperTest, InputsSnapToTuningKeys) {
  // 0.3 spans 2 + 0.6 octaves: octave 2, key floor(12 x 0.6) = 7.
  EXPECT_FLOAT_EQ(Map(0.3f), TuningOctaveKeyFrequency(EngineTuning, 2, 7) * FrequencyNorm);
  EXPECT_EQ(Level(map), 1.0f);
  // Every input within a key's span gives the same key.
  EXPECT_EQ(Map(0.31f), Map(0.3f));
  EXPECT_NE(Map(0.29f), Map(0.3f));
  EXPECT_FLOAT_EQ(Map(-0.3f), -TuningOctaveKeyFrequency(EngineTuning, 2, 7) * FrequencyNorm);
  EXPECT_FLOAT_EQ(Map(1.0f), TuningOctaveKeyFrequency(EngineTuning, 4, 0) * FrequencyNorm);
  EXPECT_EQ(Map(0.0f), 0.0f);
  EXPECT_EQ(Level(map), 0.0f);
  // Logarithmic: 2 + 2 log2(1.5) = 3.17 octaves, key 2.
  map->ModuleSwitches[kSwitch1].Store(-1);
  EXPECT_FLOAT_EQ(Map(0.5f), TuningOctaveKeyFrequency(EngineTuning, 3, 2) * FrequencyNorm);
  // Hostile octave settings reach no conversion trouble.
  Set(map, kMapperOctaveMin, std::nanf(""));
  Set(map, kMapperOctaveRange, 1.0e20f);
  Map(0.5f);
  EXPECT_TRUE(std::isfinite(Freq(map)) || Freq(map) == 0.0f || std::isinf(Freq(map)));
}

// The kernel snaps exactly as the tuning's own quantisers do, bit for bit,
// for inputs of every size and sign, in both mappings, for octave ranges that
// reach subnormal and infinite frequencies, in tunings of 2, 12 and 64 keys.
TEST_F(MapperTest, EveryInputSnapsAsTheTuningQuantises) {
  auto bits = [](float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
  };
  const float inputs[] = {0.0f, -0.0f, 1e-30f, -1e-7f, 0.001f, 0.3f, -0.3f, 0.49999f, 0.5f, 0.99f, 1.0f,
                          -1.0f, 1.7f, -3.2f, 40.0f, 1e5f, -1e9f, 3e38f, std::numeric_limits<float>::infinity(),
                          std::nanf("")};
  const int32_t ranges[][2] = {{2, 2}, {-3, 5}, {0, -7}, {-140, 3}, {-152, 1}, {120, 20}, {-1024, 1024}, {1000, 900}};
  // The same inputs side by side in the voices of a per-voice Mapper.
  constexpr int32_t kInputs = static_cast<int32_t>(sizeof inputs / sizeof inputs[0]);
  ModuleRecord* voices = Source(1, kInputs, true);
  ModuleRecord* poly = Add(kTypeMapper);
  PerVoice(poly);
  Link(poly, kMapperInput, voices);
  poly->Params[kMapperInput].VoiceMapRow = 1;  // as the render loop sets it for a per-voice source
  poly->ModuleSwitches[kSwitchZeroOut].Store(0);
  for (int32_t v = 0; v < kInputs; ++v) Put(voices, 0, v, inputs[v]);
  for (int32_t keys : {12, 2, 64}) {
    TuningSetNoteCount(EngineTuning, keys);
    TuningSetEqualTemperament(EngineTuning);
    for (const auto& r : ranges) {
      Set(map, kMapperOctaveMin, static_cast<float>(r[0]));
      Set(map, kMapperOctaveRange, static_cast<float>(r[1]));
      for (int32_t logarithmic = 0; logarithmic < 2; ++logarithmic) {
        map->ModuleSwitches[kSwitch1].Store(logarithmic != 0 ? -1 : 0);
        poly->ModuleSwitches[kSwitch1].Store(map->ModuleSwitches[kSwitch1].Load());
        Set(poly, kMapperOctaveMin, static_cast<float>(r[0]));
        Set(poly, kMapperOctaveRange, static_cast<float>(r[1]));
        Run(poly, kInputs);
        for (int32_t v = 0; v < kInputs; ++v) {
          const float x = inputs[v];
          const float y = logarithmic != 0 ? TuningQuantizeLogPitch(EngineTuning, x, r[0], r[1])
                                           : TuningQuantizePitch(EngineTuning, x, r[0], r[1]);
          EXPECT_EQ(bits(Freq(poly, 0, v)), bits(y * FrequencyNorm))
              << keys << " keys, octaves " << r[0] << " + " << r[1] << ", log " << logarithmic << ", voice " << v;
          EXPECT_EQ(bits(Map(x)), bits(y * FrequencyNorm))
              << keys << " keys, octaves " << r[0] << " + " << r[1] << ", log " << logarithmic << ", input " << x;
        }
      }
    }
  }
}

TEST_F(MapperTest, IslandModeGapsOnlyWhenTheKeyChanges) {
  map->ModuleSwitches[kSwitchZeroOut].Store(-1);
  int32_t gaps = 0;
  int32_t changes = 0;
  float last = Map(0.3f);
  float previousKey = last;
  for (int32_t f = 1; f <= 400; ++f) {
    const float y = Map(0.3f + 0.0005f * static_cast<float>(f));
    if (y == 0.0f) {
      ++gaps;
      EXPECT_EQ(Level(map), 0.0f);
    } else if (y != previousKey) {
      ++changes;
      EXPECT_EQ(last, 0.0f) << "a new key follows a gap";
      previousKey = y;
    }
    last = y;
  }
  EXPECT_EQ(gaps, changes);
  EXPECT_GE(changes, 4);
}

TEST_F(MapperTest, PerVoicePositionsKeepTheirOwnKeys) {
  PerVoice(map);
  map->ModuleSwitches[kSwitchZeroOut].Store(-1);
  in->ActiveVoices.Store(2);
  map->Params[kMapperInput].VoiceMapRow = 1;
  Put(in, 0, 0, 0.3f, 0.3f);
  Put(in, 0, 1, 0.6f, 0.6f);
  Run(map, 2);
  Run(map, 2);
  EXPECT_EQ(map->ActiveVoices.Load(), 2);
  EXPECT_NE(Freq(map, 0, 0), 0.0f);
  EXPECT_NE(Freq(map, 0, 1), 0.0f);
  EXPECT_NE(Freq(map, 0, 0), Freq(map, 0, 1));
  Put(in, 0, 1, 0.7f, 0.7f);
  Run(map, 2);
  EXPECT_NE(Freq(map, 0, 0), 0.0f);
  EXPECT_EQ(Freq(map, 0, 1), 0.0f);
}

}  // namespace
}  // namespace Tarvelo
