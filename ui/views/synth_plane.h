// Editing on the synth plane SYNTH: panning it, moving module boxes, selecting
// modules, creating a module by dropping a catalog type (REFM) or a copy of a
// created module (LIBM) onto it, and connecting an input port to a module
// output, or a module to the synth output SOUT, by clicking one then the other.
//
// The graph is changed only through the engine: while audio output runs a link
// goes into the engine command mailbox (the render callback performs it at its
// next frame) and the history line and port looks are updated at once from the
// predicted result; otherwise the link is made here and the processing order
// rebuilt.
//
// Main thread only, except the two words CablesDirty (engine/module.h) and
// PlaneMoving, which the plane's draw callback reads every frame.
#pragma once
#include <atomic>
#include <cstdint>

#include "engine/module.h"
#include "visuals/controls.h"

namespace Tarvelo {

// The half-made connection: an armed input (module, port index and its port
// control) and an armed source (module and its output control). Empty: null
// modules, input -1, control ids 0.
// one thread: interface, the plane's handlers
struct PendingPortLinkRecord {
  ModuleRecord* module = nullptr;
  int32_t input = -1;
  int32_t inputControl = 0;
  ModuleRecord* source = nullptr;
  int32_t sourceControl = 0;
};
// one thread: interface, the plane's and ports' handlers
extern PendingPortLinkRecord PendingPortLink;

// Movement summed over the drag events of the box being dragged (shared by
// every box; a box moves only once a sum passes 5 pixels).
// one thread: interface
struct BoxDragRecord {
  int32_t x = 0;
  int32_t y = 0;
};
// one thread: interface, the boxes' handler
extern BoxDragRecord BoxDragAccumulator;

// -1 while a box with cables, or the whole plane, is dragged: the plane then
// draws straight dashed cables instead of its cached picture.
extern std::atomic<int64_t> PlaneMoving;

// Written by the module lists on a press: a module type after a press in the
// catalog list REFM, a created-module list index after one in LIBM, -1 when the
// press hit no row. A drag over the plane turns it into the plane's payload.
// one thread: interface, the library lists' press and the plane's drop
extern int32_t DragModuleIndex;

// The box's HasCables word (0 or -1): set when a press on the box starts, from
// whether any cable touches the box, and cleared at its release or click.
int64_t& BoxHasCables(QUARLE_VISUALS::ControlRecord* box);

// Event callbacks; each returns 0.
int32_t OnSynthPlaneMouse(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnModuleBoxMouse(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnModulePortMouse(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
// PPDISP takes no action on any event.
int32_t OnPowerDisplayMouse(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// SOUT clicked: makes the armed source the synth output module (unless it
// already is), or, with no source armed, disconnects the output. -1 when an
// output module is set afterwards, else 0.
int32_t SetSynthOutputModule();

// Cancels both halves of the pending connection: the armed port controls show
// off again.
void CancelPendingPortLink();

// The engine is about to remove the module: a pending connection (or a drag
// payload on the plane) that names it is dropped.
void DropHalfLink(ModuleRecord* module);

}  // namespace Tarvelo
