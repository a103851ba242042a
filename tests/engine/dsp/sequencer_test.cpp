// The Sequencer: playback timing in frames, looping, direction and
// transposition; recording notes into melody data and reading them back; the
// tempo analysis; the melody library removal; pass-through without a melody.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "tests/engine/synth_fixture.h"
#include "engine/dsp/sequencer.h"
#include "engine/filerecord.h"

namespace Tarvelo {
namespace {

using testing_synth::SynthTest;

struct Note {
  float duration, frequency, velocity, start;
};

// Melody data for notes at one beat a second.
std::vector<float> MelodyData(const std::vector<Note>& notes, float length, float groups = 0.0f) {
  std::vector<float> d(6 + 4 * notes.size(), 0.0f);
  d[0] = static_cast<float>(notes.size());
  d[1] = groups > 0.0f ? groups : static_cast<float>(notes.size());
  for (size_t k = 0; k < notes.size(); ++k) {
    d[6 + 4 * k] = notes[k].duration;
    d[7 + 4 * k] = notes[k].frequency;
    d[8 + 4 * k] = notes[k].velocity;
    d[9 + 4 * k] = notes[k].start;
    d[2] += notes[k].duration;
  }
  d[3] = 1.0f;
  d[5] = length;
  return d;
}

class SequencerTest : public SynthTest {
 protected:
  // A sequencer playing the notes at their recorded tempo, over length L.
  ModuleRecord* Player(const std::vector<Note>& notes, float length, bool perVoice = true) {
    WaveLibraryEntry* e = Melody(MelodyData(notes, length));
    e->Pitch[0] = FrequencyNorm;  // one beat a second
    ModuleRecord* seq = Add(kTypeSequencer);
    if (perVoice) PerVoice(seq);
    AttachWaveToModule(seq, e, 0);
    EXPECT_EQ(seq->SampleData, e->Sound.samples);
    EXPECT_EQ(seq->SampleStep, FrequencyNorm);
    Set(seq, kSeqTempo, seq->SampleStep);
    Set(seq, kSeqLength, length);
    Set(seq, kSeqFrequency, notes[0].frequency);
    seq->ModuleSwitches[kSwitchPlay].Store(-1);
    return seq;
  }
  // Frames at which the sequencer's first voice position changed frequency.
  struct Event {
    int32_t frame;
    int32_t voices;
    OutputElement first;
  };
  static std::vector<Event> Play(ModuleRecord* seq, int32_t frames) {
    std::vector<Event> events;
    int32_t voices = 0;
    float frequency = 0.0f;
    for (int32_t f = 0; f < frames; ++f) {
      Run(seq, 0, f & 1);
      if (seq->ActiveVoices.Load() != voices || Freq(seq) != frequency) {
        voices = seq->ActiveVoices.Load();
        frequency = Freq(seq);
        events.push_back(Event{f, voices, seq->Outputs[0][0]});
      }
    }
    return events;
  }
};

TEST_F(SequencerTest, NotesStartAndEndOnTheirFrames) {
  ModuleRecord* seq = Player({{0.005f, 0.02f, 0.9f, 0.01f}, {0.01f, 0.03f, 0.7f, 0.02f}}, 0.04f);
  const std::vector<Event> e = Play(seq, 1900);
  // Note 0: 480 frames in, for 240 frames (released, then gone a frame later).
  ASSERT_GE(e.size(), 4u);
  EXPECT_NEAR(e[0].frame, 480, 1);
  EXPECT_EQ(e[0].voices, 1);
  EXPECT_EQ(e[0].first.Level, 0.9f);
  EXPECT_FLOAT_EQ(e[0].first.Frequency, 0.02f);
  EXPECT_NEAR(e[1].frame, 720, 1);  // released: {0, 0}, still listed
  EXPECT_EQ(e[1].voices, 1);
  EXPECT_EQ(e[1].first.Level, 0.0f);
  EXPECT_EQ(e[2].frame, e[1].frame + 1);
  EXPECT_EQ(e[2].voices, 0);
  EXPECT_NEAR(e[3].frame, 960, 1);
  EXPECT_EQ(e[3].first.Level, 0.7f);
  EXPECT_NEAR(e[4].frame, 1440, 1);
  // Followers learn the voices through the trigger buffers.
  EXPECT_EQ(seq->ModuleSwitches[kSwitchPlay].Load(), -1);
}

TEST_F(SequencerTest, APassEndsAndPlaybackStopsOrLoops) {
  ModuleRecord* seq = Player({{0.005f, 0.02f, 0.9f, 0.01f}}, 0.02f);
  Play(seq, 970);
  EXPECT_EQ(seq->ModuleSwitches[kSwitchPlay].Load(), 0);
  EXPECT_EQ(SequencerPlayPosition(*seq), 0.0f);

  ModuleRecord* loop = Player({{0.005f, 0.02f, 0.9f, 0.01f}}, 0.02f);
  loop->ModuleSwitches[kSwitchLoop].Store(-1);
  const std::vector<Event> e = Play(loop, 4 * 960);
  EXPECT_EQ(loop->ModuleSwitches[kSwitchPlay].Load(), -1);
  std::vector<int32_t> starts;
  for (const Event& x : e)
    if (x.voices == 1 && x.first.Level != 0.0f) starts.push_back(x.frame);
  ASSERT_EQ(starts.size(), 4u);
  for (size_t i = 1; i < starts.size(); ++i) EXPECT_NEAR(starts[i] - starts[i - 1], 961, 2) << i;
}

TEST_F(SequencerTest, TempoAndLengthZeroPlayNothing) {
  ModuleRecord* seq = Player({{0.005f, 0.02f, 0.9f, 0.0f}}, 0.02f);
  Set(seq, kSeqTempo, 0.0f);
  Play(seq, 10);
  EXPECT_EQ(seq->ActiveVoices.Load(), 0);
  Set(seq, kSeqTempo, seq->SampleStep);
  Set(seq, kSeqLength, 0.0f);
  Play(seq, 10);
  EXPECT_EQ(seq->ActiveVoices.Load(), 0);
  // A melody without a beat cannot be timed.
  Set(seq, kSeqLength, 0.02f);
  seq->SampleStep = 0.0f;
  Play(seq, 10);
  EXPECT_EQ(seq->ActiveVoices.Load(), 0);
}

TEST_F(SequencerTest, AMelodyOfItsHeadOnlyPlaysNothing) {
  // The data ends with the head: no note may be read, not even for the
  // transposition reference.
  for (bool perVoice : {true, false}) {
    WaveLibraryEntry* e = Melody({0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.5f});
    e->Pitch[0] = FrequencyNorm;
    ModuleRecord* seq = Add(kTypeSequencer);
    if (perVoice) PerVoice(seq);
    AttachWaveToModule(seq, e, 0);
    Set(seq, kSeqTempo, seq->SampleStep);
    Set(seq, kSeqLength, 0.5f);
    Set(seq, kSeqFrequency, 0.02f);
    seq->ModuleSwitches[kSwitchPlay].Store(-1);
    seq->ModuleSwitches[kSwitchLoop].Store(-1);
    EXPECT_TRUE(Play(seq, 100).empty());
    EXPECT_EQ(seq->ActiveVoices.Load(), 0);
  }
}

TEST_F(SequencerTest, NegativeTempoStartsTheNotesInDescendingOrder) {
  ModuleRecord* seq = Player({{0.002f, 0.01f, 1.0f, 0.001f},
                              {0.002f, 0.02f, 1.0f, 0.004f},
                              {0.002f, 0.03f, 1.0f, 0.007f},
                              {0.009f, 0.04f, 1.0f, 0.011f}},
                             0.012f);
  Set(seq, kSeqTempo, -seq->SampleStep);
  std::vector<float> order;
  for (int32_t f = 0; f < 600; ++f) {
    Run(seq, 0, f & 1);
    for (int32_t v = 0; v < seq->ActiveVoices.Load(); ++v) {
      const float x = Freq(seq, 0, v) / 0.01f;
      if (x != 0.0f && (order.empty() || order.back() != x) &&
          std::find(order.begin(), order.end(), x) == order.end())
        order.push_back(x);
    }
  }
  // The last note does not end before L, so the pass begins with note 2 and
  // goes down; note 3 comes last, as the pass wraps past the start.
  ASSERT_EQ(order.size(), 4u);
  EXPECT_FLOAT_EQ(order[0], 3.0f);
  EXPECT_FLOAT_EQ(order[1], 2.0f);
  EXPECT_FLOAT_EQ(order[2], 1.0f);
  EXPECT_FLOAT_EQ(order[3], 4.0f);
}

TEST_F(SequencerTest, SingleVoicePlaybackGapsBeforeEachNote) {
  ModuleRecord* seq = Player({{0.02f, 0.02f, 0.9f, 0.01f}, {0.01f, 0.03f, 0.7f, 0.02f}}, 0.04f, false);
  const std::vector<Event> e = Play(seq, 1500);
  ASSERT_GE(e.size(), 4u);
  EXPECT_NEAR(e[0].frame, 480, 1);
  EXPECT_EQ(e[0].first.Frequency, 0.02f);
  // The second note takes the voice over after one frame of {0, 0}.
  EXPECT_NEAR(e[1].frame, 960, 1);
  EXPECT_EQ(e[1].first.Frequency, 0.0f);
  EXPECT_EQ(e[1].first.Level, 0.0f);
  EXPECT_EQ(e[2].frame, e[1].frame + 1);
  EXPECT_FLOAT_EQ(e[2].first.Frequency, 0.03f);
  EXPECT_EQ(e[2].first.Level, 0.7f);
  EXPECT_NEAR(e[3].frame, 1440, 2);
  EXPECT_EQ(e[3].first.Frequency, 0.0f);
}

// Recording from a keyboard on the render path, then playing the recording.
TEST_F(SequencerTest, ARecordingReadsBackAsMelodyData) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* seq = Add(kTypeSequencer);
  PerVoice(seq);
  Link(seq, kSeqFrequency, kb);
  Link(seq, kSeqVelocity, kb);
  WaveLibraryEntry* e = BlankMelody(kMelodyMaxNotes);
  e->State.Store(2);
  AttachWaveToModule(seq, e, ~uint64_t{0});
  ASSERT_EQ(seq->ModuleSwitches[kSwitchRecord].Load(), -1);
  Output(seq);
  Render(50);
  ASSERT_GE(KeyNoteOn(48, 0.8f, 1), 0);
  Render(1);
  const float f48 = kb->Outputs[0][0].Frequency;
  Render(4799);
  KeyNoteOff(-1, 48, 1);
  Render(4800);
  ASSERT_GE(KeyNoteOn(55, 0.6f, 1), 0);
  Render(1);
  const float f55 = kb->Outputs[0][0].Frequency;
  Render(2399);
  KeyNoteOff(-1, 55, 1);
  Render(2400);
  EXPECT_EQ(SequencerNotesRecorded(*seq), 2);
  seq->RecordDone.Store(-1);
  Render(1);

  EXPECT_EQ(seq->ModuleSwitches[kSwitchRecord].Load(), 0);
  ASSERT_EQ(seq->SampleEntry.Load(), e);
  EXPECT_EQ(e->State.Load(), 0);
  EXPECT_EQ(e->Sound.dataSize, 16u * 2 + 24);
  const float* d = e->Sound.samples;
  EXPECT_EQ(d[0], 2.0f);
  // The first note opens no group of its own; the second, 0.1 s later, does.
  EXPECT_EQ(d[1], 1.0f);
  // The first note starts the clock: start 0, 0.1 s long; the second starts
  // 0.2 s later and lasts 0.05 s (within a frame or two).
  EXPECT_FLOAT_EQ(d[7], f48);
  EXPECT_FLOAT_EQ(d[8], 0.8f);
  EXPECT_EQ(d[9], 0.0f);
  EXPECT_NEAR(d[6], 0.1f, 3.0f / 48000.0f);
  EXPECT_FLOAT_EQ(d[11], f55);
  EXPECT_FLOAT_EQ(d[12], 0.6f);
  EXPECT_NEAR(d[13], 0.2f, 3.0f / 48000.0f);
  EXPECT_NEAR(d[10], 0.05f, 3.0f / 48000.0f);
  EXPECT_NEAR(d[2], 0.15f, 6.0f / 48000.0f);
  EXPECT_NEAR(d[5], 0.25f, 3.0f / 48000.0f);  // the trailing silence is not counted
  // Analysed: F, T and L are set for playback.
  EXPECT_GT(d[3], 0.0f);
  EXPECT_FLOAT_EQ(seq->SampleStep, FrequencyNorm * d[3]);
  EXPECT_FLOAT_EQ(seq->Params[kSeqTempo].Value.Load(), seq->SampleStep);
  EXPECT_FLOAT_EQ(seq->Params[kSeqFrequency].Value.Load(), f48);
  EXPECT_FLOAT_EQ(seq->Params[kSeqLength].Value.Load(), e->Duration.Load());
  EXPECT_GE(e->Duration.Load(), d[5]);

  // Played back at the recorded tempo: the first note at once, the second
  // 0.2 s (9600 frames) later.
  seq->ModuleSwitches[kSwitchPlay].Store(-1);
  std::vector<int32_t> starts;
  float last = 0.0f;
  for (int32_t f = 0; f < 12000; ++f) {
    Render(1);
    const float x = seq->ActiveVoices.Load() > 0 ? Freq(seq) : 0.0f;
    if (x != 0.0f && x != last) starts.push_back(f);
    last = x;
  }
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_NEAR(starts[1] - starts[0], 9600, 2);
}

TEST_F(SequencerTest, OnsetGroupsOfAPerVoiceRecording) {
  ModuleRecord* src = Source(1, 0);
  ModuleRecord* seq = Add(kTypeSequencer);
  PerVoice(seq);
  Link(seq, kSeqFrequency, src);
  Link(seq, kSeqVelocity, src);
  seq->Params[kSeqVelocity].VoiceMapRow = 1;
  WaveLibraryEntry* e = BlankMelody(100);
  AttachWaveToModule(seq, e, ~uint64_t{0});
  auto voices = [&](std::initializer_list<float> fs) {
    src->ActiveVoices.Store(static_cast<int32_t>(fs.size()));
    int32_t v = 0;
    for (float f : fs) {
      src->VoiceIds[v] = v;
      Put(src, 0, v++, 1.0f, f);
    }
  };
  auto frames = [&](int32_t n) {
    for (int32_t i = 0; i < n; ++i) Run(seq, src->ActiveVoices.Load(), i & 1);
  };
  const float* d = e->Sound.samples;
  voices({0.01f});
  frames(480);  // one note sounding
  const float first = d[1];
  voices({0.01f, 0.02f});
  frames(240);  // 10 ms after the first: a new group (one note was sounding)
  EXPECT_EQ(d[1], first + 1.0f);
  voices({0.01f, 0.02f, 0.03f});
  frames(240);  // 5 ms after the group, two sounding: same group
  EXPECT_EQ(d[0], 3.0f);
  EXPECT_EQ(d[1], first + 1.0f);
  frames(1200);
  voices({0.01f, 0.02f, 0.03f, 0.04f});
  frames(240);  // 30 ms after the group: a new one
  EXPECT_EQ(d[1], first + 2.0f);
  EXPECT_EQ(seq->ActiveVoices.Load(), 4);
  // Everything released, then the recording finishes.
  voices({});
  frames(10);
  seq->RecordDone.Store(-1);
  frames(1);
  EXPECT_EQ(e->Sound.dataSize, 16u * 4 + 24);
  // Note 0 lasted until the release; note 3 started 2160 frames after it.
  EXPECT_NEAR(d[6], 2400 / 48000.0f, 1.0f / 48000.0f);
  EXPECT_NEAR(d[9 + 12], 2160 / 48000.0f, 1.0f / 48000.0f);
}

TEST_F(SequencerTest, RecordingStopsAtTheLengthAndAtTheNoteLimit) {
  ModuleRecord* src = Source(1, 1);
  ModuleRecord* seq = Add(kTypeSequencer);
  Link(seq, kSeqFrequency, src);
  Link(seq, kSeqVelocity, src);
  WaveLibraryEntry* e = BlankMelody(kMelodyMaxNotes);
  AttachWaveToModule(seq, e, ~uint64_t{0});
  Set(seq, kSeqLength, 0.01f);
  Put(src, 0, 0, 1.0f, 0.02f);
  int32_t f = 0;
  while (seq->ModuleSwitches[kSwitchRecord].Load() != 0 && f < 2000) Run(seq, 1, f++ & 1);
  EXPECT_NEAR(f, 481, 1);
  EXPECT_EQ(e->Sound.samples[0], 1.0f);
  EXPECT_NEAR(e->Sound.samples[6], 0.01f, 1.0f / 48000.0f);

  // Single-voice recording of a note every other frame: it stops by itself
  // at the 12,000th note.
  ModuleRecord* many = Add(kTypeSequencer);
  Link(many, kSeqFrequency, src);
  Link(many, kSeqVelocity, src);
  WaveLibraryEntry* big = BlankMelody(kMelodyMaxNotes);
  AttachWaveToModule(many, big, ~uint64_t{0});
  for (f = 0; many->ModuleSwitches[kSwitchRecord].Load() != 0 && f < 30000; ++f) {
    Put(src, 0, 0, 1.0f, (f & 1) ? 0.0f : 0.02f);
    Run(many, 1, f & 1);
  }
  EXPECT_EQ(f, 2 * kMelodyMaxNotes - 1);
  EXPECT_EQ(big->Sound.samples[0], static_cast<float>(kMelodyMaxNotes));
  EXPECT_EQ(big->Sound.dataSize, 192024u);

  // A melody with room for fewer notes stops when it is full.
  ModuleRecord* small = Add(kTypeSequencer);
  Link(small, kSeqFrequency, src);
  Link(small, kSeqVelocity, src);
  WaveLibraryEntry* three = BlankMelody(3);
  AttachWaveToModule(small, three, ~uint64_t{0});
  for (f = 0; small->ModuleSwitches[kSwitchRecord].Load() != 0 && f < 100; ++f) {
    Put(src, 0, 0, 1.0f, (f & 1) ? 0.0f : 0.02f);
    Run(small, 1, f & 1);
  }
  EXPECT_EQ(three->Sound.samples[0], 3.0f);
  EXPECT_EQ(three->Sound.dataSize, 16u * 3 + 24);

  // Each take sets T from the beat it found, inside T's range (+-0.1), so a
  // save and load keeps it: the note-every-other-frame beats (24,000 Hz) stop
  // at the top of the range.
  const ModuleParam& t = seq->Params[kSeqTempo];
  const float top = t.Max / t.Scale;
  const struct {
    ModuleRecord* module;
    bool atTop;
  } takes[] = {{seq, false}, {many, true}, {small, true}};
  auto record = std::make_unique<ModuleFileRecord>();
  for (const auto& take : takes) {
    const float tempo = take.module->Params[kSeqTempo].Value.Load();
    EXPECT_GT(tempo, 0.0f);
    EXPECT_LE(tempo, top);
    if (take.atTop) {
      EXPECT_EQ(tempo, top);
    }
    ModuleToFileRecord(*record, take.module);
    ASSERT_EQ(LoadModuleFromFileRecord(*record, take.module, ModuleList.count, nullptr, 0), 0);
    EXPECT_EQ(take.module->Params[kSeqTempo].Value.Load(), tempo);
  }
}

TEST_F(SequencerTest, TempoAnalysisOfARegularMelody) {
  std::vector<Note> notes;
  for (int32_t i = 0; i < 8; ++i) notes.push_back(Note{0.25f, 0.02f, 1.0f, 0.5f * static_cast<float>(i)});
  WaveLibraryEntry* e = Melody(MelodyData(notes, 3.75f));
  // Beat 0.5 s, two beats a bar, four bars.
  EXPECT_FLOAT_EQ(AnalyseMelodyTempo(e, 0), 4.0f);
  EXPECT_FLOAT_EQ(e->Sound.samples[3], 2.0f);
  EXPECT_EQ(e->LoudestPosition[0], 2.0f);
  EXPECT_EQ(e->LoudestPosition[1], 4.0f);
  EXPECT_FLOAT_EQ(e->LoudestValue[0], 0.5f);
  EXPECT_FLOAT_EQ(e->Pitch[0], 2.0f * FrequencyNorm);
  EXPECT_FLOAT_EQ(e->Duration.Load(), 4.0f);

  // One onset group: the beat is the sum of the durations, two beats a bar.
  WaveLibraryEntry* chord = Melody(MelodyData({{0.3f, 0.02f, 1.0f, 0.0f}, {0.2f, 0.03f, 1.0f, 0.0f}}, 1.1f, 1.0f));
  EXPECT_FLOAT_EQ(AnalyseMelodyTempo(chord, 0), 2.0f);
  EXPECT_FLOAT_EQ(chord->Sound.samples[3], 2.0f);
}

TEST_F(SequencerTest, TempoAnalysisRefusesUnusableContent) {
  EXPECT_EQ(AnalyseMelodyTempo(nullptr, 0), -19.0f);
  WaveLibraryEntry* none = BlankMelody(2);
  std::free(none->Sound.samples);
  none->Sound.samples = nullptr;
  EXPECT_EQ(AnalyseMelodyTempo(none, 0), -19.0f);
  const std::vector<Note> two = {{0.25f, 0.02f, 1.0f, 0.0f}, {0.25f, 0.02f, 1.0f, 0.5f}};
  // A note count beyond the data would be read past the array.
  std::vector<float> d = MelodyData(two, 1.0f);
  d[0] = 10.0f;
  EXPECT_EQ(AnalyseMelodyTempo(Melody(d), 0), -28.0f);
  d[0] = std::nanf("");
  EXPECT_EQ(AnalyseMelodyTempo(Melody(d), 0), -28.0f);
  // More bytes than the notes claim.
  d = MelodyData(two, 1.0f);
  d[0] = 1.0f;
  EXPECT_EQ(AnalyseMelodyTempo(Melody(d), 0), -28.0f);
  // No recorded length, or no beat at all.
  d = MelodyData(two, 0.0f);
  EXPECT_EQ(AnalyseMelodyTempo(Melody(d), 0), -28.0f);
  d = MelodyData({{0.0f, 0.02f, 1.0f, 0.0f}}, 1.0f, 1.0f);
  EXPECT_EQ(AnalyseMelodyTempo(Melody(d), 0), -28.0f);
}

TEST_F(SequencerTest, RemovingAMelodyRenumbersTheOthers) {
  WaveLibraryEntry* a = BlankMelody(1);
  WaveLibraryEntry* b = BlankMelody(1);
  WaveLibraryEntry* c = BlankMelody(1);
  (void)a;
  RemoveMelodyEntry(0);
  ASSERT_EQ(MelodyLibrary.header.count, 2);
  EXPECT_EQ(MelodyLibrary.entries[0], b);
  EXPECT_EQ(MelodyLibrary.entries[1], c);
  EXPECT_EQ(b->ListIndex, 0);
  EXPECT_EQ(c->ListIndex, 1);
  RemoveMelodyEntry(5);
  RemoveMelodyEntry(-1);
  EXPECT_EQ(MelodyLibrary.header.count, 2);
  // By entry: a stale list index does not remove a different melody.
  c->ListIndex = 0;
  RemoveMelodyEntryOf(c);
  ASSERT_EQ(MelodyLibrary.header.count, 1);
  EXPECT_EQ(MelodyLibrary.entries[0], b);
}

}  // namespace
}  // namespace Tarvelo
