// A module's block on the synth plane: a copy of its type's hidden box template
// (the box MOD with the port group PMOD and the empty CMOD), made under the
// synth plane and personalised: caption, tag (the list position), shared
// pointer (the module, handed down to every port control), position, the
// on mark cleared, PMOD shown and CMOD hidden. The module's BoxControl is the
// link to its block; the box's tag and shared pointer are the links back.
//
// Main thread only.
#pragma once
#include <cstdint>
#include <string>

#include "engine/module.h"

namespace Tarvelo {

// The caption of a module's box: the type's short name, a blank and the
// instance number; an Oscillator adds " : " and its wave shape shortened to
// the first word and one letter of the second.
std::string ModuleCaption(const ModuleRecord& module);

// Makes the module's block at window position (x, y): the new box id (above 0);
// -19 for a null module, a type of 43 or more, or a type without a template
// box; otherwise the clone's failure code (-21 when the control table is full,
// the module then has no box).
int32_t CreateModuleControls(ModuleRecord* module, int32_t x, int32_t y);

// Gives every listed module's box its list position as tag again, after
// insertions or removals moved modules in the list.
void SyncModuleBoxTags();

// Installs what the engine asks of the module boxes (hide, delete after the
// next frame, retitle, retag, visibility and height on the plane) into its
// box hooks. The half-made link of the plane and the per-voice button are
// left to their own owners.
void InstallModuleBoxHooks();

}  // namespace Tarvelo
