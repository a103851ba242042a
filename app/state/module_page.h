// The module page: the tools panel TOOLS with its parameter page, filled from
// the selected module whenever the selection changes. SelectModule is the one
// way the selection (SelectedModule, engine/modulelist.h) changes; SelectPort
// and ShowPortPage show one of its parameters in the port list PLIST and the
// port editor (the value editor FAD_PP, FAE_PP, FAV_PP, FAU_PP and the buttons
// PGV, PVM, PSC, PSCL, PDOM, MIDI2). RefreshTuningPanel refreshes the tuning
// editor's summary after the edited tuning changed.
//
// Main thread only. SelectModule takes no lock of the module list: the created
// modules' list calls it with that lock held.
#pragma once
#include <cstdint>

#include "engine/module.h"
#include "engine/params.h"

namespace Tarvelo {

// The browser-pane tab last pressed (its tag: 0 messages, 1 files, 2 module
// libraries, 3 sample libraries, 4 MIDI page, 5 the session's folder); set by
// the browser tabs' event callback.
// one thread: interface
extern int32_t BrowserTab;

// Selects a module (null: none) with one of its parameters; port -1 keeps the
// module's own selected parameter. A catalog template shows as its type's
// master. Selecting the selected module with its selected parameter again
// changes nothing.
void SelectModule(ModuleRecord* module, int32_t port);
// Selects parameter i (-1 none) of the selected module in the port list; a
// parameter without a value editor selects none.
void SelectPort(int32_t index);
// Fills the port editor for the module's parameter (-1: the module as a whole).
void ShowPortPage(ModuleRecord* module, int32_t port);
// Empties and disables the four value controls and the port buttons' marks.
void ClearPortEditor();
// Hands the value to the four value controls, enables them and shows its unit.
void FillPortEditor(ParamValue& value);
// The tuning editor shows the edited tuning's name, first key and key count
// again, with no key selected and the key editors disabled.
void RefreshTuningPanel();
// The per-voice button POLY shows the selected module's per-voice switch.
void ShowPerVoiceSwitch(int64_t on);

}  // namespace Tarvelo
