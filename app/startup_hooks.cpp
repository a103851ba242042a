#include "app/startup_hooks.h"

#include "app/documents/demo_files.h"
#include "app/documents/melody_file.h"
#include "app/documents/sample_library_file.h"
#include "app/documents/synth_file.h"
#include "app/documents/wave_convert.h"
#include "engine/catalog/markers.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace Tarvelo {

StartupHooks Startup;

namespace {

constexpr uint32_t kRootColour = 0xFF000000u;

void SleepFor(int32_t ms) { platform::SleepMs(ms); }

}  // namespace

int32_t DefaultBuildInterface(float scale) {
  (void)scale;
  const auto w = static_cast<int32_t>(QUARLE_VISUALS::ScreenWidth);
  const auto h = static_cast<int32_t>(QUARLE_VISUALS::ScreenHeight);
  // The root window: covers the whole graphics window and takes no events of
  // its own.
  const int32_t r = QUARLE_VISUALS::CreateControl(0, 0, 0, w, h, nullptr, nullptr, -1, 0,
                                                  "TARVELO", "");
  if (r != 0) return r;
  if (QUARLE_VISUALS::ControlRecord* root = QUARLE_VISUALS::ControlAt(0)) root->Colour = kRootColour;
  return 0;
}

int32_t DefaultOnNewSynth(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source) {
  (void)bits;
  (void)x;
  (void)y;
  (void)id;
  (void)source;
  ClearSynth();
  return 0;
}

void ResetStartupHooks() {
  Startup = StartupHooks{};
  Startup.BuildInterface = DefaultBuildInterface;
  Startup.OnNewSynth = DefaultOnNewSynth;
  Startup.CopyDemoFiles = CopyDemoFiles;
  Startup.CreateMarkerImages = CreateMarkerImages;
  Startup.LoadWFLibrary = LoadWFLibrary;
  Startup.LoadFilterFile = LoadFilterFile;
  Startup.LoadSynth = LoadSynth;
  Startup.SaveSession = SaveSessionThen;
  Startup.SaveWFLibrary = SaveWFLibraryThen;
  Startup.SaveWaveRecord = SaveWaveRecord;
  Startup.SaveMelody = SaveMelody;
  Startup.Pause = SleepFor;
}

namespace {
// The defaults are in place before main runs.
struct DefaultsInstaller {
  DefaultsInstaller() { ResetStartupHooks(); }
};
DefaultsInstaller installDefaults;
}  // namespace

}  // namespace Tarvelo
