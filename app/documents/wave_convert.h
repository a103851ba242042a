// Bringing WAV files into the libraries and writing them back: a sample added
// to the sample library (integer PCM is converted to 32-bit float and the
// converted copy kept in AUDIO\CONVERTED), a FIR filter kernel, an empty
// sample to record into, an entry saved as a WAV file, a free "#n" name for a
// copy, and a library entry attached to a module.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "app/state/wave_library.h"
#include "engine/module.h"
#include "platform/saver.h"

namespace Tarvelo {

// The folder of converted copies under the data folder.
constexpr const char* kConvertedFolder = "\\AUDIO\\CONVERTED";

// Reads the header (and, for integer PCM or another rate than the stream's,
// the data) of folder\file into a new SampleLibrary entry that keeps only the
// header: its index, or -21, or the WAV reader's error (the library unchanged).
int32_t ConvertAndLoadWave(const std::string& folder, const std::string& file);
// Reads a filter kernel into a new FilterLibrary entry that keeps its data (as
// float): its index, or -21, or the reader's error (the list unchanged).
int32_t LoadFilterFile(const std::string& folder, const std::string& file);
// Appends a zero-filled float sample of the given length to SynthSamples as
// the recording target (the last entry; busy, not saved): 0, -19 (fewer than
// one channel or more than a WAV file holds, a length not above 0 or shorter
// than one frame, a rate below 1) or -21 (memory).
int32_t RecordToWaveFile(const std::string& folder, const std::string& file, float seconds, int32_t channels,
                         int32_t rate);
// Writes the entry's sound to folder\file as 32-bit float; marks it saved on
// success. 0, -19 without an entry, or the writer's error.
int32_t SaveWaveRecord(WaveLibraryEntry* entry);
// The same, the file handed to the saver (outcome set there): 0, or the
// failure found before the hand-over (`done` then not called). Once the file
// is on the disk, every unsaved synth sample and filter naming it is saved;
// `done` hears the outcome on the interface thread.
int32_t SaveWaveRecordThen(WaveLibraryEntry* entry, platform::SaveOutcome outcome, std::function<void(int32_t)> done);
// Copies folder\name to the first free stem + "#" + n + extension (n from 2;
// an existing "#n" of the stem is not counted on), through the saver: the new
// name, or "" when there is nothing to copy. `done` hears the copy's name and
// 0, or -20 when the disk refused it, on the interface thread once the copy is
// on the disk (without a running saver, before this returns).
std::string UniqueFileName(const std::string& folder, const std::string& name,
                           std::function<void(const std::string& copy, int32_t rc)> done = nullptr);
// Attaches a library entry to a module (through the engine command when the
// module plays), refreshes the list of the module's kind with the flags and
// the module page's value display. With the record flag (a take into the
// entry) the module's sound before it is noted (SoundBeforeTake).
void AssignWaveToModule(ModuleRecord* module, WaveLibraryEntry* wave, uint64_t flags);

// What a module played before the take it records now: a save made while
// the take has no file writes the module with this instead.
// one thread: value
struct SoundBeforeTake {
  const WaveLibraryEntry* Entry = nullptr;  // compared only: it may have left its list
  std::string Folder;                       // its names then, to tell it from a later entry
  std::string File;
  int32_t OutputChannels = 1;
  int32_t OlderFrequency = 0;  // the module's SampleOlderFrequency
};
// The sound before m's take, while m holds the entry that take began with
// (ended or not); null for any other module (interface thread).
const SoundBeforeTake* SoundBeforeTakeOf(const ModuleRecord& m);

}  // namespace Tarvelo
