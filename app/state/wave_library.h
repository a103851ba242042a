// The library entry of a sample, FIR filter kernel or melody, and the four
// lists that hold such entries: the sample library (WF_Library.txt), the synth's
// own samples, the filter kernels and the recorded melodies.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "basics/dynzstring.h"
#include "basics/shared_word.h"
#include "basics/ratio.h"

namespace Tarvelo {

enum WaveEntryState : int32_t {
  kWaveIdle = 0,
  kWaveBusy = 1,      // reading or converting its data
  kWaveCreating = 2,  // being created (also a Sample's recording target)
};

enum WaveLoadState : int32_t {
  kWavePlaceholder = 0,  // nothing read
  kWaveFormatKnown = 1,  // header read, sample data not held (or still being read)
  kWaveDataHeld = 2,
};

// Field order is the record's; the analysis values are per channel (0 left,
// 1 right). Who touches what: the interface makes, loads, converts, renames
// and frees entries; a take (the render, while the entry is busy) writes the
// sound's size and data and the analysis and hands the entry back with State;
// the list draws (video thread) read the state, the file name, the sound's
// data pointer and channels and the duration, under the list's lock.
struct WaveLibraryEntry {
  int32_t ListIndex;      // position in its list, renumbered on removal; one thread: interface
  // WaveEntryState; a busy entry is never copied. A take (a recording into
  // the entry on the audio thread) hands its entry over whole: the render
  // writes everything the take leaves (size, data, analysis) and only then
  // stores idle with a release; every other thread (the interface, the
  // library and melody list draws) loads it with an acquire, so an entry it
  // sees idle is one it may read all of. Any thread that changes the state of
  // an entry others can see stores it the same way.
  QUARLE_BASICS::Shared<int32_t> State;
  int32_t LoadState;      // WaveLoadState; one thread: interface
  int32_t ChannelChoice;  // -1 keep the file's channels, 0 mix to mono, 1+ keep one; one thread: interface
  // The interface writes the names (a listed entry's under the list's lock);
  // the list draws read the file name under that lock.
  // one thread: interface, the writer; other readers hold the list's lock
  QUARLE_BASICS::DynZString Folder;  // without a trailing "\"
  QUARLE_BASICS::DynZString File;    // name with extension

  int64_t Saved;          // -1 the file on disk holds the data, 0 not saved; one thread: interface
  QUARLE_BASICS::Ratio RateRatio;    // stream rate : the file's rate, reduced; one thread: interface
  // The interface's, but while a take records into the entry (State busy or
  // creating) the render's, which hands them back with State's release; the
  // interface (and the render's attach) reads them only after an acquire of
  // idle.
  // one thread: interface, or the render while the entry is busy
  float LoudestPosition[2];  // first interleaved sample of the loudest 128-frame window
  float LoudestValue[2];     // dB after the analysis (a window sum while recording)
  float MeanLevel[2];        // dB after the analysis (a sum of squares while recording)
  float Pitch[2];            // dominant frequency in Hz; a melody's FrequencyScale

  // Written by the interface and at a take's end by the render; the list
  // draws show it for every row, busy or not.
  QUARLE_BASICS::Shared<float> Duration;  // seconds; a melody's length in beats
  // Handed over as the analysis is (its size and data a take's); the list
  // draws read only the data pointer and the channels, which the interface
  // sets.
  // one thread: interface, or the render while the entry is busy
  QUARLE_AUDIO::SoundBuffer Sound;
};

// Every number 0 but the channel choice (-1); empty texts; the sound as
// SoundBufferInit makes it.
void WaveLibraryEntryInit(WaveLibraryEntry& e);
// Frees the sound and both texts (not the record).
void WaveLibraryEntryFree(WaveLibraryEntry& e);
// Copies everything but the list index (callers set it); the sound deeply.
void WaveLibraryEntryAssign(WaveLibraryEntry& dst, const WaveLibraryEntry& src);
// A heap entry run through WaveLibraryEntryInit; null when memory runs out.
WaveLibraryEntry* WaveLibraryEntryNew();
// WaveLibraryEntryFree, then the record; null is ignored.
void WaveLibraryEntryDelete(WaveLibraryEntry* e);

// A heap array of entry pointers with its head; the lock is held for growth
// and for count updates, so a reader under the lock never sees a half-grown
// array. Slots at count and beyond are null.
// The interface changes a list (its only writer, which reads it without the
// lock); the draws read it under the lock.
struct WaveLibraryList {
  // one thread: holder of header.lock, for changes and for readers off the interface thread
  WaveLibraryEntry** entries = nullptr;
  QUARLE_BASICS::ArrayHeader header;
};

// one thread: holder of header.lock, as a WaveLibraryList is shared
extern WaveLibraryList SampleLibrary;  // every sample the user loaded
extern WaveLibraryList SynthSamples;   // the current synth's copies
extern WaveLibraryList FilterLibrary;  // FIR filter kernels
extern WaveLibraryList MelodyLibrary;  // recorded melodies
// -1 when SampleLibrary differs from WF_Library.txt.
// one thread: interface (renames, removals, the system-bar tick, the shutdown's save)
extern int64_t LibraryChanged;

// Capacity 16 and a new lock. 0, -21 (memory) or -26 (lock); a failed create
// leaves the list empty and unlocked.
int32_t WaveLibraryListCreate(WaveLibraryList& list);
// Frees every entry, the array and the lock.
void WaveLibraryListFree(WaveLibraryList& list);
// All four lists; the DescribeWave hook of the engine is installed too.
int32_t WaveLibraryListsCreate();
void WaveLibraryListsFree();

// Makes room for one more entry at index count (doubling under the lock when
// full). 0, or -21 with the list unchanged.
int32_t WaveLibraryListReserve(WaveLibraryList& list);
// Under the lock stores e at index count and increments the count; the room
// must have been reserved. Returns the new entry's index.
int32_t WaveLibraryListCommit(WaveLibraryList& list, WaveLibraryEntry* e);
// The entry at index i, or null outside 0..count-1.
WaveLibraryEntry* WaveLibraryListAt(const WaveLibraryList& list, int32_t i);
// Takes entry i out of the list, the caller holding its lock: later entries
// move down one place and take their new list index. The entry (not freed),
// or null outside 0..count-1.
WaveLibraryEntry* WaveLibraryListTake(WaveLibraryList& list, int32_t i);

// Appends an entry naming folder\file without reading it (list index set,
// state 0, load state 0, saved -1). The new index, or -21.
int32_t AddLibraryPlaceholder(WaveLibraryList& list, const std::string& folder,
                              const std::string& file);
// Destroys and frees the entry in the slot (when there is one), clears the
// slot, and returns code unchanged.
int32_t FreeLibraryEntry(WaveLibraryEntry*& slot, int32_t code);
// The SampleLibrary index of an entry holding this file, or -1. Same name and
// folder; or a converted copy (a folder holding "CONVERTED") of this name, or
// of this name with a " (n)" before its extension, that holds the same sound
// as the file; or (compareSize -1) same name and the same length of two files
// that both exist.
int32_t FindLoadedWave(const std::string& folder, const std::string& file, int32_t compareSize);
// Reads a WAV file whole into sound as float (integer PCM converted): 0 or
// the reader's error.
int32_t ReadWaveAsFloat(const std::string& path, QUARLE_AUDIO::SoundBuffer& sound);
// Whether the WAV file at path holds the sound: the same channels, rate and
// frames and the same float values.
bool WaveFileHolds(const std::string& path, const QUARLE_AUDIO::SoundBuffer& sound);
// Copies a library sample into SynthSamples and reads its data, making it mono
// as the channel choice says; analyses its levels and pitch. The new index, -1
// when the source is busy, -21, or the WAV reader's error (nothing added).
int32_t AddLoadedWave(const WaveLibraryEntry& source, int32_t choice);
// Removes entry i of SampleLibrary (other values do nothing); later entries
// move down one place with their list indexes; sets LibraryChanged.
void RemoveLibraryEntry(int32_t i);

// A name for a new entry's file in folder: name, or with " (n)" before its
// extension when a file there, an entry of the list or one of `pending` (files
// on their way to the disk) already has it.
std::string FreeEntryFileName(WaveLibraryList& list, const std::string& folder, const std::string& name,
                              const std::vector<std::string>& pending = {});

// Frees an entry taken out of its list, or, while a module still holds it or
// an engine command (a detach among them) has not run yet, keeps it until
// ReclaimUnloadedEntries finds it let go: the audio thread may be reading it.
void ReleaseUnloadedEntry(WaveLibraryEntry* e);
// Frees the kept entries nothing holds any more, and discards from
// SynthSamples the recordings that ended without a frame (idle, unsaved,
// empty, held by no module). Main thread. How many entries are still kept.
int32_t ReclaimUnloadedEntries();
// Takes a recording that ended without a frame out of SynthSamples and frees
// it (as ReleaseUnloadedEntry does), when it is still there, idle, unsaved,
// empty and held by no module; anything else is left alone. Main thread.
void DiscardEmptyRecording(WaveLibraryEntry* e);

// The engine's view of an entry (installed as Tarvelo::DescribeWave): the
// channels, frames, interleaved data and channel-0 pitch. The frame count
// never exceeds what the data holds. false for null.
struct WaveInfo;
bool DescribeWaveEntry(const WaveLibraryEntry* wave, WaveInfo& info);

}  // namespace Tarvelo
