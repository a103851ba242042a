// Keyboard and Octave board processing: the notes held in a keyboard state
// become one output element per sounding voice, {velocity, normalized
// frequency}. Both types are trigger owners: in per-voice mode a released
// voice is freed only once no follower kept it alive during the previous frame.
// The per-voice functions keep what they published (ModuleRecord::Published)
// and read the voices again only after the state's changed mark, a change of
// rate or base frequency, or outputs written by anything else; in between
// they look only at released voices.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

void ProcessKeyboardMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessKeyboardPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessOctaveBoardMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity,
                            int32_t previousParity);
void ProcessOctaveBoardPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity,
                            int32_t previousParity);

}  // namespace Tarvelo
