// Installing the panel handlers: each helper's function assigns its event
// callbacks into the interface's callback slots (ui/build/callbacks.h) and its
// services into the hooks of the neighbours that call them. The program calls
// both before the interface is built.
#pragma once

namespace Tarvelo {

// System bar, window buttons, value editors, dialog box, module panel,
// keyboards and the browser's list buttons.
void InstallPanelHandlersA();
// Message panel, libraries, sample, filter and melody panels, MIDI mapping,
// browser tabs and file navigation.
void InstallPanelHandlersB();

}  // namespace Tarvelo
