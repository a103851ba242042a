// Keyboard and Octave board processing: the notes held in a keyboard state
// become one output element per sounding voice, {velocity, normalized
// frequency}. Both types are trigger owners: in per-voice mode a released
// voice is freed only once no follower kept it alive during the previous frame.
// The per-voice functions keep what they published (ModuleRecord::Published)
// and read the voices again only after the state's changed mark, a change of
// rate or base frequency, a frame they did not run in, or a reset of their
// outputs; in between they look only at released voices.
#pragma once
#include <bit>
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

// The stamp of a per-voice board's last full publish: never 0, and never the
// same for two publishes of any boards. It lies in a spare element of the
// outputs (row 2, column 32, which no reader takes) so that every reset of
// the outputs clears it, and the single-voice function clears it too. While
// the board has voices and the stamp stays, its outputs and voice ids hold
// what that publish wrote: followers may take that as proof that their inputs
// did not change.
inline uint32_t PublishStamp(const ModuleRecord& m) { return std::bit_cast<uint32_t>(m.Outputs[2][kVoices].Level); }

void ProcessKeyboardMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessKeyboardPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessOctaveBoardMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity,
                            int32_t previousParity);
void ProcessOctaveBoardPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity,
                            int32_t previousParity);

}  // namespace Tarvelo
