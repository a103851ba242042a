// The Sequencer: records the notes that reach its inputs into a melody and
// plays a melody back as notes. It owns its voices like a keyboard does
// (followers mark the voices they still sound) and publishes {velocity,
// normalized frequency} per sounding note. The melody is a melody library
// entry attached to the module; without one the inputs pass through.
//
// Melody data (the entry's float array): [0] note count N, [1] onset groups,
// [2] sum of note durations, [3] beat frequency (beats per second), [5] the
// recorded length without its trailing silence; from [6] on four floats per
// note: duration, normalized frequency, velocity, start time.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

struct WaveLibraryEntry;

enum SequencerParam : int32_t {
  kSeqFrequency = 0,  // port: recorded (frequency side); a live source transposes playback
  kSeqVelocity = 1,   // port: recorded with each note
  kSeqTempo = 2,      // port: playback speed
  kSeqOffset = 3,     // setting: start point, a fraction of the length
  kSeqLength = 4,     // setting: length in seconds; recording stops there
};

// Melody data layout.
constexpr int32_t kMelodyNoteCount = 0;
constexpr int32_t kMelodyGroupCount = 1;
constexpr int32_t kMelodyDurationSum = 2;
constexpr int32_t kMelodyBeatFrequency = 3;
constexpr int32_t kMelodyLength = 5;
constexpr int32_t kMelodyHead = 6;       // floats before the first note
constexpr int32_t kMelodyNoteFloats = 4;
constexpr int32_t kMelodyMaxNotes = 12000;
// Seconds between onsets that still count as one group (a chord).
constexpr float kOnsetGroupWindow = 0.025f;

// Voice record states.
enum SequencerVoiceState : int32_t { kSeqVoiceFree = 0, kSeqVoiceOn = 1, kSeqVoiceReleased = 2 };

void ProcessSequencerMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessSequencerPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

// Voice bookkeeping of the playback.
int32_t FindFreeSequencerVoice(const ModuleRecord& m);
int32_t StartSequencerVoice(ModuleRecord& m, int32_t base);
void ReleaseSequencerVoice(ModuleRecord& m, int32_t w);
void RemoveSequencerVoice(ModuleRecord& m, int32_t position, int32_t w);
// Forward: the first note starting at or after t (0 when none). Backward: from
// the last note down, the first one that has ended by t (N - 1 when none).
int32_t FindSequencerNote(const ModuleRecord& m, float t, bool searchBackward);

// Recording.
void EndRecordedNote(ModuleRecord& m, int32_t w, int32_t position);
void RecordSequencerMono(ModuleRecord& m, int32_t parity);
void RecordSequencerPoly(ModuleRecord& m, int32_t parity);
void FinishSequencerRecording(ModuleRecord& m);
void SequencerPassThrough(ModuleRecord& m, int32_t parity, bool perVoice);

// The beat analysis of a recorded melody: the melody length in seconds (> 0);
// -19.0 without an entry or data; -28.0 when the content gives no usable beat.
// Mode 0 looks at the first 128 notes only.
float AnalyseMelodyTempo(WaveLibraryEntry* entry, int32_t mode);

// Sorts pairs {key, value} ascending by value, lo..hi inclusive: quicksort with
// the middle element as pivot.
// one thread: value
struct KeyValuePair {
  int32_t Key;
  float Value;
};
void SortPairsByValue(KeyValuePair* pairs, int32_t lo, int32_t hi);

// Takes entry index out of the melody library under its lock (the later
// entries move down one place with their list indexes) and frees it. Other
// indexes do nothing.
void RemoveMelodyEntry(int32_t index);
// The same for a given entry wherever it now stands in the library; an entry
// that is not there is left alone.
void RemoveMelodyEntryOf(WaveLibraryEntry* entry);

// The melody list of the interface redraws after a recording finished; the
// interface installs its own (the default does nothing). Interface thread only.
// one thread: start-up
extern void (*PublishMelodyList)();
// A recording finished; an empty one (discard) leaves the melody library.
// Both are the interface thread's: elsewhere (the audio thread) the entry is
// handed over and WakeInterfaceForMelodies asks the interface thread to call
// TakeFinishedRecordings, which frees it and redraws the list.
void MelodyRecordingFinished(WaveLibraryEntry* discard);
// The same for a Sample recording that ended before its first frame: the
// empty entry leaves the synth's samples on the interface thread.
void SampleRecordingDiscarded(WaveLibraryEntry* discard);
// Ends the recording of a Sample, Sequencer or Melody Generator with what it
// holds, by the module's type; other types are left alone.
void FinishRecording(ModuleRecord& m);
void TakeFinishedRecordings();
// Installed by the program (posts to queue 0; false when it could not); may
// stay null.
// one thread: start-up
extern bool (*WakeInterfaceForMelodies)();

// Recording and playback state of a Sequencer, for the interface and tests.
int32_t SequencerNotesRecorded(const ModuleRecord& m);
float SequencerRecordTime(const ModuleRecord& m);
float SequencerPlayPosition(const ModuleRecord& m);

}  // namespace Tarvelo
