// What the module list and the engine start-up need of the MIDI controller
// maps: their creation, their lock, and forgetting a module that goes away.
#pragma once
#include <cstdint>

#include "engine/module.h"
#include "platform/threads.h"

namespace Tarvelo {

// one thread: start-up (made and destroyed; the locks themselves are shared)
extern platform::Mutex* MT_MIDIMAPS;     // guards the MIDI maps
extern platform::Mutex* MT_MIDIMONITOR;  // guards the last MIDI message

// Creates the 16 maps (slot index i, empty device name). 0 or -21.
int32_t InitMidiMaps();
void FreeMidiMaps();
// Under MT_MIDIMAPS: drops m from every map's per-channel keyboard table and
// clears every map entry that targets m.
void ClearMidiMapTargets(ModuleRecord* m);

}  // namespace Tarvelo
