// The synth file (".tarvelo"): a whole synth in one binary, little-endian
// document. In order: the magic as a counted text (i32 23, then
// "TARVELO SYNTH FILE V1.1"); the active tuning's folder and file (counted
// texts); the input gain and output level (f32); the synth's samples (i32 count,
// then per entry i32 channel choice, folder, file), filters (the same) and
// melodies (i32 count, then folder and file); i32 16 and the 16 octave-board and
// 16 keyboard states of 828 bytes each; i32 list position of the output module
// (-1 none); i32 record count (live modules + 43); a 28,304-byte module record
// per live module in list order, then one master preset per module type; and
// the MIDI-map section (16 maps of 24,704 bytes: a 128-byte device name, not
// the 129 characters the map holds in memory; see DEVELOPERS.md). Version 1.0
// files differ only in their MIDI-map section. A counted text is an i32 byte count and the bytes.
//
// Block positions are stored independent of the interface zoom and the plane's
// pan offset: x = round(sx + (bx - sx) / z - px), with (sx, sy) the window
// position of the synth output port, (bx, by) the block's, z the zoom and
// (px, py) the pan offset (single precision, ties to even).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/state/wave_library.h"
#include "engine/filerecord.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"

namespace Tarvelo {

constexpr const char* kSynthMagic = "TARVELO SYNTH FILE V1.1";
constexpr const char* kSynthMagicPrefix = "TARVELO SYNTH FILE V";
constexpr int32_t kSynthMagicLength = 23;
constexpr const char* kSynthExtension = ".tarvelo";
constexpr const char* kSynthBackupSuffix = "_BACKUP.tarvelo";
constexpr const char* kSynthDefaultPrefix = "SS";
constexpr int32_t kStoredKeyboardStates = 16;
// Files of this length or shorter hold no synth.
constexpr int64_t kSynthShortestFile = 52999;
constexpr int64_t kSynthMidiSection = int64_t{kMidiMapCount} * kMidiMapRecordSize;
constexpr int64_t kSynthMidiSectionOld = int64_t{kMidiMapCount} * kMidiMapRecordSizeOld;
// A file without modules, with empty libraries and empty tuning texts.
constexpr int64_t kSynthEmptyFileBytes = 4 + kSynthMagicLength + 8 + 8 + 12 + 4 +
                                         2 * kStoredKeyboardStates * int64_t{sizeof(KeyboardState)} + 8 +
                                         int64_t{kModuleTypeCount} * kModuleFileRecordSize + kSynthMidiSection;
static_assert(kSynthEmptyFileBytes == 1638899);
// Modification dates before this day (1 September 2025) mark an old file,
// whose records get the engine's repairs.
constexpr int32_t kSynthLegacyYear = 2025;
constexpr int32_t kSynthLegacyMonth = 9;
constexpr int32_t kSynthLegacyDay = 1;

// The output gain handed to the audio thread (0.5 at start); stored in synth
// files beside the engine's InputGain.
extern std::atomic<float> OutputLevel;
// Longest wait of a save, in seconds, for the render callback to take the
// keyboards' pending key changes (all 32 states together).
// one thread: interface, the saves' (tests set it at rest)
extern double KeyboardPendingWait;

// A sample, filter or melody the last SaveSession left out of the file because
// its own file could not be written: its file name and the write's error. It
// stays in its list, unsaved, for the next save to write.
// one thread: value
struct SaveLeftOutEntry {
  std::string File;
  int32_t Code = 0;
};

// A synth as a save took it, all its file holds: a save tried again without
// an entry the disk refused writes this synth, not one loaded meanwhile, and
// a later look tells whether the synth changed since (SynthChangedSince).
// one thread: value
struct SynthTaken {
  // A library entry the file names (all empty for an empty slot).
  // one thread: value
  struct Named {
    int32_t Choice = -1;  // a sample's or filter's channel choice
    std::string Folder;
    std::string File;
    bool operator==(const Named&) const = default;
  };
  std::string Folder;  // the file's
  std::string Name;
  std::string Head;  // the magic, the tuning's texts and the gains
  std::vector<Named> Samples;
  std::vector<Named> Filters;
  std::vector<Named> Melodies;
  std::string Keyboards;  // the 32 states
  int32_t OutIndex = -1;
  int32_t Live = 0;                       // live modules, whose records come first
  std::vector<ModuleFileRecord> Records;  // then the master presets
  std::string Maps;
  // Entries whose own files could not be written, left out.
  std::vector<SaveLeftOutEntry> LeftOut;
  std::vector<std::string> LeftOutPaths;
  // The modules whose take still recording is left out ("Sample #1"): each
  // is written as it was before its take.
  std::vector<std::string> TakesLeftOut;
};

// Writes the synth to folder\name (an empty name: HomeFolder\SYNTHS\"SS" + time
// stamp + ".tarvelo"). Samples, filters and melodies not yet saved are written
// first; the file names only those on the disk (SaveSessionLeftOut tells which
// could not be written). An existing file is first copied to its stem + "_BACKUP.tarvelo"; the
// new content is written beside it and replaces it only once complete, and the
// backup is deleted after that. The session follows the saved file, unless
// another synth became the session before it was on the disk.
// 0; -27 when the folder is missing and cannot be made; -18 when the render
// never stopped at a frame boundary for the copy of the modules (reported);
// or the file error (the previous file and its backup then stay).
int32_t SaveSession(const std::string& folder, const std::string& name);
// The same, its file handed to the saver; `done` hears the outcome once (on
// the interface thread, once the file is on the disk or failed, after the
// session moved to it). The outcome when known by the return, else 0.
int32_t SaveSessionThen(const std::string& folder, const std::string& name, std::function<void(int32_t)> done);
// The same; `taken` gets the synth as the save took it (none when the save
// failed before).
int32_t SaveSessionTaking(const std::string& folder, const std::string& name, std::function<void(int32_t)> done,
                          std::shared_ptr<const SynthTaken>* taken);
// Whether the synth now differs from the one taken in what its file keeps
// of its design (the voices playing and the keyboards' keys aside). Writes
// nothing; a look the render did not pause for counts as a change.
bool SynthChangedSince(const SynthTaken& taken);
// The error of the last save of the session's synth when it failed: the
// synth as it is then is on no disk (a quit says so). 0 once a save of it is
// on the disk, and for a synth that became the session since (a load, a new
// synth).
int32_t SessionSaveFailure();
// A synth replaced (New, a load): none of its saves failed yet.
void ForgetSessionSaveFailure();
// What the last SaveSession left out, in file order (empty after a save that
// wrote every entry it names).
const std::vector<SaveLeftOutEntry>& SaveSessionLeftOut();
// What the last SaveSession says of the takes still recording that it left
// out, for the status line after its own ("" when none ran).
std::string SaveSessionTakesNote();
// Writes every sample, filter and melody of the synth that has no file yet, as
// a save does (failures reported, entries still being recorded left alone).
// 0, or the first write's error: an entry it names still has no file.
int32_t SaveUnsavedLibraryEntries();

// One sample, filter or melody reference of a synth file being read.
// one thread: interface, made and freed by the load
struct SynthLoadEntry {
  QUARLE_BASICS::DynZString Folder;  // where the file was found, else as stored
  QUARLE_BASICS::DynZString File;    // as stored
  int32_t StoredId;                  // channel choice (samples), 0 for melodies
  WaveLibraryEntry* Loaded;          // the list entry standing for it
  int64_t Missing;                   // -1 when not found or not loadable
};
void SynthLoadEntryInit(SynthLoadEntry& e);
void SynthLoadEntryFree(SynthLoadEntry& e);

// Replaces the synth by the file's. The whole file is read and checked before
// anything changes, so a file that is refused leaves the synth, the tuning,
// the gains, the keyboard states and the libraries as they were.
// 0; -19 for an empty name; the negated open error; -21 when memory runs
// out; -28 when the file is 52,999 bytes or shorter, is no synth file of
// version 1.0 or 1.1, does not hold what its counts announce, or holds a live
// module of a type this system does not have; kSynthRenderUnanswered (-18)
// when the audio thread did not answer (reported): either it did not take the
// stops of running takes, a command waiting for it or the old synth's output
// going, and nothing changed, or it did not pause for the modules to be made,
// and the modules made so far stand under no session name.
constexpr int32_t kSynthRenderUnanswered = -18;
int32_t LoadSynth(const std::string& folder, const std::string& name);

// Every path where a load of the file would look for the tuning, samples,
// filters and melodies it names (as LocateFile does: the stored folder, the
// same sub-folder of the data folder, the data folder's own), so a load can
// wait for a save of any of them first. None when the file cannot be read
// that far.
std::vector<std::string> SynthNamedFiles(const std::string& folder, const std::string& name);

// The list index of the library entry a module plays, as stored in its file
// record: its position among the samples (Sample), filters (Convolutive
// filter) or melodies (Sequencer) the last save named; -1 when that save did
// not name it.
int32_t SynthEntryListIndex(const ModuleRecord& module);

}  // namespace Tarvelo
