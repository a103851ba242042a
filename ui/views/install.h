// Installation of the views' draw callbacks (and the image preparation of the
// interface build) into the interface's callback slots (ui/build/callbacks.h).
// The program calls both before the interface is built.
#pragma once

namespace Tarvelo {

// Generic controls, control images, dialogs, system-bar read-outs and meters,
// list views and library lists; also the list row colour hook of the message
// console.
void InstallViewCallbacksA();
// Scope and spectrum, power history and MIDI monitor, graphs, module panel
// lists, keyboards, tuning displays, MIDI lists and the melody list.
void InstallViewCallbacksB();

}  // namespace Tarvelo
