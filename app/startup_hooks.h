// What the start-up and the shutdown call of parts that are installed later or
// replaced in tests: the interface construction and the panel handlers it
// starts with, the scope's marker images and the glow sprites, the documents'
// loaders and savers, and the pauses. Every member may be set to null: the
// start-up then skips the call (a builder or loader counts as succeeded).
// ResetStartupHooks brings back the defaults, which do the least the start-up
// relies on.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/disk_pace.h"
#include "visuals/controls.h"

namespace Tarvelo {

struct WaveLibraryEntry;

// Slots of the interface's control index that the start-up reads.
enum StartupControlSlot : int32_t {
  kSlotResetPlane = 10,  // STB_CP: resets the synth plane's position
  kSlotSessionTab = 74,  // TABSES: shows the session's title
  kSlotNewSynth = 75,    // SNEW: starts a new synth
};

// one thread: start-up, installed before the threads start
struct StartupHooks {
  // Builds every control and fills UiIndex: 0 or the first creation error.
  // Default: only the root window, covering the screen.
  int32_t (*BuildInterface)(float scale);
  // The click handlers of SNEW and STB_CP (event callbacks). Default new synth:
  // the synth is cleared. Default plane reset: nothing.
  QUARLE_VISUALS::EventCallbackFn OnNewSynth;
  QUARLE_VISUALS::EventCallbackFn OnResetPlanePosition;
  // Places the keyboard panel and shows (-1) or hides it. Default: nothing.
  void (*LayoutKeyboardPanel)(int64_t show);
  // The scope's four marker images, made once the screen is open; and the
  // interface's glow sprites and colour ramps, freed at shutdown. Defaults:
  // nothing, until the views exist.
  void (*CreateMarkerImages)();
  void (*FreeGlowImages)();

  // Documents. Defaults: the application's own loaders and savers.
  void (*CopyDemoFiles)(uint32_t flags);  // 1 synths, 2 tunings
  int32_t (*LoadWFLibrary)();
  int32_t (*LoadFilterFile)(const std::string& folder, const std::string& file);
  int32_t (*LoadSynth)(const std::string& folder, const std::string& file);
  // The saves hand their files to the saver: `done` hears the outcome once,
  // on the interface thread (SaveSessionThen, SaveWFLibraryThen).
  int32_t (*SaveSession)(const std::string& folder, const std::string& file, std::function<void(int32_t)> done);
  int32_t (*SaveWFLibrary)(std::function<void(int32_t)> done);
  int32_t (*SaveWaveRecord)(WaveLibraryEntry* entry);
  int32_t (*SaveMelody)(WaveLibraryEntry* entry);

  // The shutdown's pauses (the code message, the countdown). Default: sleeps.
  void (*Pause)(int32_t ms);
  // Called before each start-up step from 18 on, with its number (tests).
  void (*BeforeStep)(int32_t step);
  // How long the start waits for the data folder's disk to answer its first
  // write (the log's open) before it goes on without it.
  double DataFolderBound = 3.0;
  // How long the end of the start waits for a job of the start's disk work
  // that does not end.
  double StartWorkBound = platform::kEndIdleSeconds;
};
// one thread: start-up, installed by the wiring (tests set them on their own thread)
extern StartupHooks Startup;

void ResetStartupHooks();

// The defaults, for installers that wrap them.
int32_t DefaultBuildInterface(float scale);
int32_t DefaultOnNewSynth(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

}  // namespace Tarvelo
