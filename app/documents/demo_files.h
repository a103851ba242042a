// The demo synths and tunings shipped beside the executable, in
// "\SYNTHS\DEMO " + the version (".tarvelo") and "\TUNINGS" (".tng"), copied
// into the data folder at start-up, with the sounds the demo synths play
// (in "\AUDIO\DEMO", copied with the synths, and again when missing).
//
// The copies are the program's own saves (platform::SaveRequest::Own): the
// end neither waits for them nor names them, and the next start puts in place
// what an end or a crash left out. A load of a synth waits for the copies of
// the files it names (LoadWhenFilesArrive).
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace Tarvelo {

// The demo synths name their sounds by this folder alone, which the synth
// reader finds under the data folder wherever the program itself lies.
constexpr const char* kDemoSoundFolder = "\\AUDIO\\DEMO";

// In the data folder while a first copy of a version's demo synths is not
// whole: it names that demo folder ("\SYNTHS\DEMO " + the version), and is
// emptied once every copy is in place. A start that finds it finishes the
// copy (the missing files only).
constexpr const char* kDemoCopyNote = "BUNDLED_UNFINISHED.TXT";

enum DemoCopyFlags : uint32_t {
  kCopyDemoSynths = 1,  // every demo synth, replacing files of the same name
  kCopyAllTunings = 2,  // every shipped tuning; without it only missing ones
};

// Copies by the flags; a missing source folder or a failing copy is passed
// over. The report of each kind is given whenever its flag is set. Hands the
// copies to the saver (on the start's thread).
void CopyDemoFiles(uint32_t flags);

// The interface thread's side of the start's copies: expected from the
// moment they are asked for until the start's thread has handed them all
// over, a load meanwhile waits for that hand-over when it looks for a file
// one of them may put in place.
void ExpectBundledCopies();
void BundledCopiesHanded();

// The first file a load of the synth would read that is still on its way
// (the synth's own file, then those it names: a save of it held, or a bundled
// copy not handed yet); "" when none. Interface thread.
std::string SynthFileOnItsWay(const std::string& folder, const std::string& name);
// Runs `then` once SynthFileOnItsWay finds nothing: at once when nothing is
// on its way, else from the saver's outcomes (platform::SaverWhenDone) or
// the hand-over. An end drops it. Interface thread.
void LoadWhenFilesArrive(const std::string& folder, const std::string& name, std::function<void()> then);

}  // namespace Tarvelo
