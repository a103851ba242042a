// The demo synths and tunings shipped beside the executable, in
// "\SYNTHS\DEMO " + the version (".tarvelo") and "\TUNINGS" (".tng"), copied
// into the data folder at start-up, with the sounds the demo synths play
// (in "\AUDIO\DEMO", copied with the synths, and again when missing).
#pragma once
#include <cstdint>

namespace Tarvelo {

// The demo synths name their sounds by this folder alone, which the synth
// reader finds under the data folder wherever the program itself lies.
constexpr const char* kDemoSoundFolder = "\\AUDIO\\DEMO";

enum DemoCopyFlags : uint32_t {
  kCopyDemoSynths = 1,  // every demo synth, replacing files of the same name
  kCopyAllTunings = 2,  // every shipped tuning; without it only missing ones
};

// Copies by the flags; a missing source folder or a failing copy is passed
// over. The report of each kind is given whenever its flag is set.
void CopyDemoFiles(uint32_t flags);

}  // namespace Tarvelo
