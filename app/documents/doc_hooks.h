// What the documents ask of the interface: the module page, the library lists,
// the synth plane with its output port and module blocks, the gain meters, the
// current-synth tab and the keyboard panels. The interface installs these
// once it exists; until then (and in headless tests) the defaults stand for an
// interface that shows nothing: positions read (0, 0), the pan offset is 0,
// no block is made, and only the selected module itself is kept up to date.
#pragma once
#include <cstdint>
#include <string>

#include "engine/module.h"

namespace Tarvelo {

// one thread: start-up, installed before the threads start
struct DocumentUiHooks {
  // Shows a module on the module page (null empties it) on the given tab.
  // Default: the engine's SelectedModule becomes the module.
  void (*SelectModule)(ModuleRecord* module, int32_t tab);
  // The tuning panel shows the active tuning again.
  void (*RefreshTuningPanel)();
  // The list that shows a module type's library entries (sample list for a
  // Sample, melody list for a Sequencer, filter list for a Convolutive filter)
  // publishes its text with the given flags.
  void (*PublishLibraryList)(int32_t moduleType, int64_t flags);
  // The sample library's list (the loaded sounds) publishes its text.
  void (*PublishSampleLibrary)();
  // Window position of the synth output port SOUT.
  void (*OutputPortPosition)(int32_t* x, int32_t* y);
  // The synth plane's pan offset.
  void (*PlaneOffset)(int32_t* x, int32_t* y);
  // Moves SOUT back by the pan offset, sets the offset to (0, 0) and updates SOUT.
  void (*ResetPlaneOffset)();
  // SOUT's on word (-1 on, 0 off), published.
  void (*SetOutputPortOn)(int64_t on);
  // Makes the block of a loaded module at a window position: its box id (1 or
  // more), or a negative code.
  int32_t (*CreateModuleControls)(ModuleRecord* module, int32_t x, int32_t y);
  // The created-module list LIBM redraws.
  void (*RedrawModuleList)();
  // The meter captions of the input gain (MicM) and the output level (PlayM).
  void (*ShowGains)(const std::string& input, const std::string& output);
  // The current-synth tab TABSES takes the text, published.
  void (*ShowSessionTitle)(const std::string& text);
  // The octave-board panel (lock, island keys, board) and the keyboard panel
  // (key position, island keys, lock, keyboard) show their states again.
  void (*OctaveBoardStatesLoaded)();
  void (*KeyboardStatesLoaded)();
};
// one thread: start-up, installed by the wiring
extern DocumentUiHooks DocumentUi;

// Every hook back to its default (null).
void ResetDocumentUiHooks();

void DocSelectModule(ModuleRecord* module, int32_t tab);
void DocRefreshTuningPanel();
void DocPublishLibraryList(int32_t moduleType, int64_t flags);
void DocPublishSampleLibrary();
void DocOutputPortPosition(int32_t& x, int32_t& y);
void DocPlaneOffset(int32_t& x, int32_t& y);
void DocResetPlaneOffset();
void DocSetOutputPortOn(int64_t on);
// 0 when no interface makes blocks (nothing to report then).
int32_t DocCreateModuleControls(ModuleRecord* module, int32_t x, int32_t y);
bool DocCanCreateModuleControls();
void DocRedrawModuleList();
void DocShowGains(const std::string& input, const std::string& output);
void DocShowSessionTitle(const std::string& text);
void DocOctaveBoardStatesLoaded();
void DocKeyboardStatesLoaded();

}  // namespace Tarvelo
