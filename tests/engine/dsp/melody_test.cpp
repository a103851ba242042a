// The Melody Generator: composed notes stay in the scale pattern and the
// octave range and never cross a bar line; density; equal chances without
// harmony or history; the root from the lowest input; replay transposed to a
// new root; recording in beats; the weight helpers and the template.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "tests/engine/synth_fixture.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/sequencer.h"

namespace Tarvelo {
namespace {

using testing_synth::SynthTest;

// Keys of an A major scale, counted from key 0 (A).
constexpr uint64_t kMajor = (1u << 0) | (1u << 2) | (1u << 4) | (1u << 5) | (1u << 7) | (1u << 9) | (1u << 11);

class MelodyTest : public SynthTest {
 protected:
  void SetUp() override {
    SynthTest::SetUp();
    TuningAddScalePattern(EngineTuning, kMajor, "Major", 0);
    input = Source();
    mg = Add(kTypeMelodyGenerator);
    Link(mg, kMelFrequency, input);
    SetMelodyScalePattern(*mg, 1);
    Set(mg, kMelTempo, 0.05f);  // 20 frames a step
    Set(mg, kMelOctaveMin, 3.0f);
    Set(mg, kMelOctaves, 2.0f);
    mg->ModuleSwitches[kSwitchLoop].Store(0);
  }
  void Press(int32_t key) { Put(input, 0, 0, 1.0f, Key(key)); }
  static float Key(int32_t key) { return FrequencyNorm * TuningKeyFrequency(EngineTuning, key); }
  const float* Buffer() const { return mg->WorkBuffers[0]; }
  void Frames(int32_t n) {
    for (int32_t i = 0; i < n; ++i) Run(mg);
  }

  ModuleRecord* input = nullptr;
  ModuleRecord* mg = nullptr;
};

// Each note (or rest) starts where the steps of the notes before it put it
// at the tempo, within a millisecond however long the melody plays: a note
// neither loses a frame's part of a step nor drops what the last one ran
// over. 10 s of notes; a drift of a millisecond an hour shows as 3 us.
TEST_F(MelodyTest, NotesStartWhereTheTempoPutsThem) {
  for (const double stepsPerSecond : {8.0, 7.3, 2.9}) {
    TearDown();
    SetUp();
    SeedRandom(99);
    const float tempo = static_cast<float>(stepsPerSecond / RateWhole);
    Set(mg, kMelTempo, tempo);
    Press(48);
    const int64_t frames = 10 * RateWhole;
    float before = 0.0f;
    int64_t first = -1;
    double steps = 0.0;
    double largest = 0.0;
    int32_t notes = 0;
    for (int64_t f = 0; f < frames; ++f) {
      Run(mg);
      const float now = mg->VoiceState[0][kMelCountdown];
      if (now > before + 0.5f) {
        if (first < 0) {
          first = f;
        } else {
          const double ideal = static_cast<double>(first) + steps / static_cast<double>(tempo);
          largest = std::max(largest, std::fabs(static_cast<double>(f) - ideal) / RateWhole * 1000.0);
          ++notes;
        }
        steps += std::nearbyint(static_cast<double>(now));
      }
      before = now;
    }
    EXPECT_GT(notes, 3) << stepsPerSecond;
    // A note starts at the first frame at or past its time: less than a frame.
    EXPECT_LT(largest, 1000.0 / RateWhole) << stepsPerSecond << " steps a second: largest offset (ms)";
  }
}

TEST_F(MelodyTest, NotesStayInTheScaleAndRangeAndInsideTheirMeasures) {
  SeedRandom(1234);
  Press(48);
  const int32_t steps = 16;
  std::set<int32_t> keys;
  int32_t notes = 0;
  for (int32_t f = 0; f < 30000; ++f) {
    const int32_t before = MelodyInt(*mg, kMelWritePosition);
    Run(mg);
    const int32_t after = MelodyInt(*mg, kMelWritePosition);
    if (after > before) {
      // A note from `before` to `after` - 1 stays within one measure.
      ASSERT_EQ(before / steps, (after - 1) / steps) << before << " " << after;
      ++notes;
    }
    if (Level(mg) == 1.0f) {
      EXPECT_GT(Freq(mg), 0.0f);
    }
  }
  EXPECT_GT(notes, 300);
  for (int32_t i = 0; i < kMelodyBufferLength; ++i) {
    const float x = Buffer()[i];
    if (x == kRestMark || x == 0.0f) continue;
    const int32_t key = static_cast<int32_t>(x);
    keys.insert(key);
    EXPECT_TRUE((kMajor >> (key % 12)) & 1u) << key;
    EXPECT_GE(key, 36) << key;
    EXPECT_LT(key, 60) << key;
  }
  EXPECT_GE(keys.size(), 6u);
  EXPECT_EQ(Buffer()[0], 48.0f);  // a phrase begins on its root
}

TEST_F(MelodyTest, WithoutHarmonyOrHistoryEveryIntervalIsEquallyLikely) {
  SeedRandom(99);
  SetMelodyScalePattern(*mg, 0);  // chromatic
  Set(mg, kMelOctaveMin, 0.0f);
  Set(mg, kMelOctaves, 8.0f);
  Set(mg, kMelHarmony, 0.0f);
  Set(mg, kMelSelfInfluence, 0.0f);
  Set(mg, kMelDensity, 1.0f);
  Set(mg, kMelTempo, 20.0f);  // a new note every frame
  Press(48);
  std::map<int32_t, int32_t> intervals;
  int32_t counted = 0;
  for (int32_t f = 0; f < 40000; ++f) {
    const float key = mg->VoiceState[0][kMelCurrentKey];
    // Phrases (and their roots) begin only where a measure ends.
    const bool composing = mg->MelodyRestart == 0 && MelodyInt(*mg, kMelWritePosition) > 0 &&
                           mg->VoiceState[0][kMelMeasureStep] < 16.0f;
    Run(mg);
    const float next = mg->VoiceState[0][kMelCurrentKey];
    if (composing && key >= 12.0f && key < 84.0f && MelodyInt(*mg, kMelWritePosition) > 0) {
      intervals[static_cast<int32_t>(next - key)] += 1;
      ++counted;
    }
  }
  ASSERT_GT(counted, 20000);
  const double expected = counted / 25.0;
  for (int32_t d = -12; d <= 12; ++d)
    EXPECT_NEAR(intervals[d], expected, 0.15 * expected) << d;
  EXPECT_EQ(intervals.size(), 25u);
}

TEST_F(MelodyTest, TheLowestInputIsTheRootAndANewLowestTriggers) {
  EXPECT_EQ(MelodyInt(*mg, kMelRootKey), 0);
  Run(mg);
  EXPECT_EQ(mg->ActiveVoices.Load(), 0);  // idle without a root: the input is live but publishes nothing
  input->ActiveVoices.Store(2);
  mg->Params[kMelFrequency].VoiceMapRow = 1;
  Put(input, 0, 0, 1.0f, Key(50));
  Put(input, 0, 1, 1.0f, 0.0f);
  Run(mg);
  EXPECT_EQ(MelodyInt(*mg, kMelRootKey), 50);
  mg->GateWasOpen = 0;
  Put(input, 0, 1, 1.0f, Key(55));  // higher: no change
  Run(mg);
  EXPECT_EQ(MelodyInt(*mg, kMelRootKey), 50);
  EXPECT_EQ(mg->GateWasOpen, 0);
  Put(input, 0, 1, 1.0f, Key(45));  // lower: the new root, a trigger
  ProcessMelodyGenerator(mg, 0, 0, 1);
  EXPECT_EQ(MelodyInt(*mg, kMelRootKey), 45);
  EXPECT_EQ(mg->GateWasOpen, -1);
}

TEST_F(MelodyTest, AReplayedPhraseFollowsTheNewRoot) {
  SeedRandom(5);
  mg->ModuleSwitches[kSwitchLoop].Store(-1);
  Set(mg, kMelMeasures, 1.0f);
  Set(mg, kMelDensity, 1.0f);
  Set(mg, kMelOctaveMin, 2.0f);
  Press(24);
  for (int32_t f = 0; f < 2000 && mg->StateWord21.Load() == 0; ++f) Run(mg);
  ASSERT_NE(mg->StateWord21.Load(), 0) << "the phrase closed for replay";
  ASSERT_EQ(Buffer()[0], 24.0f);
  EXPECT_EQ(MelodyInt(*mg, kMelPhraseLength), 16);
  Press(27);
  Run(mg);
  ASSERT_EQ(MelodyInt(*mg, kMelRootKey), 27);
  for (int32_t n = 0; n < 12; ++n) {
    // The replay wraps to the phrase's start at its end.
    int32_t at = MelodyInt(*mg, kMelWritePosition);
    if (at >= MelodyInt(*mg, kMelPhraseLength)) at = 0;
    ReplayMelodyStep(*mg);
    ASSERT_EQ(mg->VoiceState[0][kMelCurrentKey], Buffer()[at]);
    EXPECT_FLOAT_EQ(mg->VoiceState[0][kMelNoteFrequency], Key(static_cast<int32_t>(Buffer()[at]) + 3)) << n;
    EXPECT_GE(mg->VoiceState[0][kMelCountdown], 1.0f);
  }
  // Looping switched off: the replay ends at the phrase end and falls silent.
  mg->ModuleSwitches[kSwitchLoop].Store(0);
  for (int32_t n = 0; n < 40 && MelodyInt(*mg, kMelRootKey) != 0; ++n) ReplayMelodyStep(*mg);
  EXPECT_EQ(MelodyInt(*mg, kMelRootKey), 0);
  EXPECT_EQ(mg->StateWord21.Load(), 0);
}

TEST_F(MelodyTest, ARecordingIsWrittenInBeatsAndClosesAtThePhraseEnd) {
  SeedRandom(11);
  Set(mg, kMelMeasures, 1.0f);
  Set(mg, kMelDensity, 0.7f);
  WaveLibraryEntry* e = BlankMelody(kMelodyMaxNotes);
  e->State.Store(2);
  BeginMelodyGeneratorRecording(*mg, e);
  ASSERT_EQ(mg->ModuleSwitches[kSwitchRecord].Load(), -1);
  Press(48);
  Run(mg);
  mg->RecordDone.Store(-1);  // finish at the end of this phrase
  for (int32_t f = 0; f < 20 * 40 && mg->SampleEntry.Load() != nullptr; ++f) Run(mg);
  ASSERT_EQ(mg->SampleEntry.Load(), nullptr);
  EXPECT_EQ(mg->ModuleSwitches[kSwitchRecord].Load(), 0);
  EXPECT_EQ(mg->RecordDone.Load(), 0);
  EXPECT_EQ(MelodyInt(*mg, kMelRecordPosition), 0);
  EXPECT_EQ(e->State.Load(), 0);
  const float* d = e->Sound.samples;
  const int32_t n = static_cast<int32_t>(d[0]);
  ASSERT_GE(n, 1);
  EXPECT_EQ(d[1], d[0]);
  EXPECT_EQ(e->Sound.dataSize, static_cast<uint32_t>((4 * n + 6) * 4));
  EXPECT_EQ(d[3], 1.0f);
  EXPECT_EQ(d[5], 4.0f);  // one measure of four beats
  EXPECT_EQ(e->Duration.Load(), 4.0f);
  EXPECT_EQ(e->Pitch[0], FrequencyNorm);
  float sum = 0.0f;
  float end = 0.0f;
  for (int32_t k = 0; k < n; ++k) {
    const float* note = d + 6 + 4 * k;
    EXPECT_GE(note[3], end) << k;  // in order, never overlapping
    EXPECT_EQ(note[2], 1.0f);
    EXPECT_GT(note[1], 0.0f);
    end = note[3] + note[0];
    sum += note[0];
  }
  EXPECT_LE(end, 4.0f);
  EXPECT_FLOAT_EQ(d[2], sum);
  EXPECT_EQ(d[9], 0.0f);  // the root opens the recording
  EXPECT_FLOAT_EQ(d[7], Key(48));
}

// A stop asked where no phrase runs (waiting for the first trigger, fallen
// silent after a replay, waiting for a trigger after a full buffer) ends the
// take at the next frame: no phrase end would ever come. A take of no note
// leaves the library; one with notes stays, ready. Where a phrase runs the
// take still ends at its phrase end.
TEST_F(MelodyTest, AStopWhereNoPhraseRunsEndsTheTakeAtTheNextFrame) {
  enum Kind { kFirstTrigger, kAfterReplay, kFullBuffer, kPhraseRuns };
  const struct {
    Kind kind;
    const char* name;
    bool notes;  // the take holds notes, so its entry stays
  } rows[] = {{kFirstTrigger, "waiting for the first trigger", false},
              {kAfterReplay, "silent after a replay", true},
              {kFullBuffer, "waiting for a trigger after a full buffer", true},
              {kPhraseRuns, "a phrase runs", true}};
  const auto listed = [](const WaveLibraryEntry* e) {
    for (int32_t i = 0; i < MelodyLibrary.header.count; ++i)
      if (MelodyLibrary.entries[i] == e) return true;
    return false;
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SeedRandom(21);
    Put(input, 0, 0, 0.0f, 0.0f);
    mg = Add(kTypeMelodyGenerator);
    Link(mg, kMelFrequency, input);
    Set(mg, kMelTempo, 0.05f);
    Set(mg, kMelOctaveMin, 3.0f);
    Set(mg, kMelOctaves, 2.0f);
    Set(mg, kMelDensity, 1.0f);
    Set(mg, kMelMeasures, row.kind == kFullBuffer ? 0.0f : 1.0f);
    mg->ModuleSwitches[kSwitchLoop].Store(row.kind == kAfterReplay ? -1 : 0);
    WaveLibraryEntry* e = BlankMelody(kMelodyMaxNotes);
    e->State.Store(kWaveCreating);
    BeginMelodyGeneratorRecording(*mg, e);
    Frames(3);
    if (row.kind != kFirstTrigger) {
      Press(48);
      Run(mg);
      Put(input, 0, 0, 0.0f, 0.0f);  // let go: a key still held would trigger anew
    }
    if (row.kind == kAfterReplay) {
      for (int32_t f = 0; f < 2000 && mg->StateWord21.Load() == 0; ++f) Run(mg);
      ASSERT_NE(mg->StateWord21.Load(), 0);
      mg->ModuleSwitches[kSwitchLoop].Store(0);
      for (int32_t f = 0; f < 2000 && MelodyInt(*mg, kMelRootKey) != 0; ++f) Run(mg);
      ASSERT_EQ(MelodyInt(*mg, kMelRootKey), 0);
    } else if (row.kind == kFullBuffer) {
      Set(mg, kMelTempo, 20.0f);
      for (int32_t f = 0; f < 5000 && MelodyInt(*mg, kMelPhraseLength) == 0; ++f) Run(mg);
      ASSERT_GT(MelodyInt(*mg, kMelPhraseLength), 0);
      Frames(5);
      ASSERT_NE(mg->MelodyRestart, 0);
    } else {
      Frames(3);
    }
    ASSERT_EQ(mg->SampleEntry.Load(), e);
    mg->RecordDone.Store(-1);
    Run(mg);
    if (row.kind == kPhraseRuns) {
      EXPECT_EQ(mg->SampleEntry.Load(), e) << "the take runs on to its phrase end";
      for (int32_t f = 0; f < 2000 && mg->SampleEntry.Load() != nullptr; ++f) Run(mg);
    }
    EXPECT_EQ(mg->SampleEntry.Load(), nullptr);
    EXPECT_EQ(mg->ModuleSwitches[kSwitchRecord].Load(), 0);
    EXPECT_EQ(mg->RecordDone.Load(), 0);
    EXPECT_EQ(listed(e), row.notes);
    if (row.notes && listed(e)) {
      EXPECT_EQ(e->State.Load(), kWaveIdle);
      EXPECT_GE(e->Sound.samples[0], 1.0f);
    }
  }
}

TEST_F(MelodyTest, AResetWaitsForTheNextTrigger) {
  Press(48);
  Frames(100);
  EXPECT_NE(MelodyInt(*mg, kMelRootKey), 0);
  ModuleResetVoices(*mg);
  Put(input, 0, 0, 0.0f, 0.0f);
  Frames(10);
  EXPECT_EQ(MelodyInt(*mg, kMelRootKey), 0);
  EXPECT_EQ(mg->ActiveVoices.Load(), 0);
  Press(50);
  Frames(2);
  EXPECT_EQ(mg->ActiveVoices.Load(), 1);
  EXPECT_EQ(Buffer()[0], 50.0f);
}

TEST_F(MelodyTest, HostileSettingsAndTuningsStayInTheBuffer) {
  Press(48);
  for (float beats : {0.0f, -3.0f, 1.0e9f, std::nanf("")}) {
    for (float octave : {-1.0e9f, 8.0f, std::nanf("")}) {
      Set(mg, kMelBeats, beats);
      Set(mg, kMelOctaveMin, octave);
      Set(mg, kMelOctaves, beats);
      SetMelodyScalePattern(*mg, 500);
      Set(mg, kMelTempo, 100.0f);
      Frames(50);
    }
  }
  SUCCEED();
}

}  // namespace
}  // namespace Tarvelo
