// Until the MIDI controller maps exist there is nothing to create or clear.
#include "engine/midimap_hooks.h"

namespace Tarvelo {

int32_t InitMidiMaps() { return 0; }
void FreeMidiMaps() {}
void ClearMidiMapTargets(ModuleRecord*) {}

}  // namespace Tarvelo
