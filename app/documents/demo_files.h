// The demo synths and tunings shipped beside the executable, in
// "\SYNTHS\DEMO " + the version (".tarvelo") and "\TUNINGS" (".tng"), copied
// into the data folder at start-up.
#pragma once
#include <cstdint>

namespace Tarvelo {

enum DemoCopyFlags : uint32_t {
  kCopyDemoSynths = 1,  // every demo synth, replacing files of the same name
  kCopyAllTunings = 2,  // every shipped tuning; without it only missing ones
};

// Copies by the flags; a missing source folder or a failing copy is passed
// over. The report of each kind is given whenever its flag is set.
void CopyDemoFiles(uint32_t flags);

}  // namespace Tarvelo
