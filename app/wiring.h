// The program's own parts in place of the stand-ins every hook table starts
// with. Each subsystem reaches its neighbours through settable hooks whose
// defaults stand for "no interface" (headless tests rely on them); the running
// program installs the real ones here, once, before the interface is built:
// the interface build and its callback slots (views and panel handlers), the
// module page and blocks, and the small adapters through which the engine, the
// MIDI input, the application state and the documents address named controls,
// the video thread and the fonts.
#pragma once

namespace Tarvelo {

// Main calls it before RunStartup; a test that runs the whole program calls it
// the same way. Calling it again installs the same pointers again.
void InstallProgramWiring();

// The adapters alone (engine, MIDI input, application state, documents,
// recordings' list refresh, the glow images' release), for tests that want the
// named-control plumbing without the views and handlers.
void InstallInterfaceAdapters();

}  // namespace Tarvelo
