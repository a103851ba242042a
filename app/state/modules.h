// Creating and deleting modules from the interface: the engine's module list,
// the module's block on the synth plane, the plane's scroll, the cable layer
// and the action history move together. The synth file reader does not come
// here; it rebuilds modules through the engine directly.
//
// Main thread only.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

// fromCatalog -1: a new module copied from the catalog template of type
// typeOrIndex; 0: a copy of the listed module at position typeOrIndex. Its
// block is placed at window position (x, y). Gives the new module's list
// position, or the failure of the insertion (reported as "Error creating
// module: " and the error's text; a type or position that names nothing is
// refused with -19 the same way). When only the block fails the module stays
// listed without one ("Error creating module controls: ") and the position is
// still returned. Callers select the new module themselves.
int32_t CreateModule(int32_t typeOrIndex, int32_t x, int32_t y, int64_t fromCatalog);
// Deselects the module when selected, turns the synth output port off when it
// was the output, removes the module from the engine and records the deletion.
// 0, or -19 for a null module.
int32_t DeleteModule(ModuleRecord* module);

// Installs the module page and the module blocks where the engine and the
// documents ask for them: the engine's box hooks and per-voice button, and the
// documents' selection, tuning-panel refresh, blocks of loaded modules and
// created-module list. The program calls it once before the interface is built.
void InstallModuleUi();

}  // namespace Tarvelo
