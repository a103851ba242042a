#include "engine/catalog/engine_init.h"

#include "engine/filerecord.h"

#include <cmath>
#include <cstdlib>

#include "app/state/wave_library.h"
#include "basics/errors.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/markers.h"
#include "engine/command.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/sequencer.h"
#include "engine/dsp/windows.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap_hooks.h"
#include "engine/modulelist.h"
#include "engine/notes.h"

namespace Tarvelo {

int64_t EngineReady = 0;
int64_t EngineClosed = 0;
platform::Mutex* ScopeLock = nullptr;
platform::Mutex* MT_MIDIMAPS = nullptr;
platform::Mutex* MT_MIDIMONITOR = nullptr;
uint8_t* SpectrumWorkBuffer = nullptr;
uint8_t* ScopeSampleWindow = nullptr;
float* PowerHistoryRing = nullptr;
float* PowerDisplayHistory = nullptr;

namespace {

void DestroyLock(platform::Mutex*& m) {
  platform::MutexDestroy(m);
  m = nullptr;
}

template <class T>
void FreeBlock(T*& p) {
  std::free(p);
  p = nullptr;
}

// Everything init makes, in reverse; safe on a partly built engine.
void FreeEngine() {
  DestroyMarkerImages();
  FreeModuleLists();
  FreeCatalog();
  FreeKeyboardStates();
  FreeMidiMaps();
  DestroyLock(ScopeLock);
  DestroyLock(MT_MIDIMAPS);
  DestroyLock(MT_MIDIMONITOR);
  FreeBlock(CaptureRing);
  CaptureRingFrames = 0;
  CaptureRingSize = 0;
  CaptureWriteIndex = 0;
  CaptureReadIndex = 0;
  FreeBlock(ScopeSampleWindow);
  FreeBlock(SpectrumWorkBuffer);
  delete[] PowerDisplayHistory;
  PowerDisplayHistory = nullptr;
  FreeBlock(PowerHistoryRing);
  FreeKernelTables();
  EngineCommandFree();
}

int32_t Build(float sampleRate) {
  int32_t r = InitKeyboardStates();
  if (r != 0) return r;
  ScopeLock = platform::MutexCreate();
  MT_MIDIMAPS = platform::MutexCreate();
  MT_MIDIMONITOR = platform::MutexCreate();
  if (ScopeLock == nullptr || MT_MIDIMAPS == nullptr || MT_MIDIMONITOR == nullptr)
    return -QUARLE_BASICS::kErrMutexCreate;

  for (int32_t i = 0; i < kModuleTypeCount; ++i) ModulePaletteOrder[i] = kModulePaletteOrder[i];
  FillIndexMaps();
  SetRateConstants(sampleRate);
  CaptureRingChannels = 2;

  CaptureRingFrames = static_cast<int32_t>(std::nearbyint(static_cast<double>(RateWhole) / 10.0));
  CaptureRingSize = CaptureRingFrames * CaptureRingChannels;
  CaptureWriteIndex = 0;
  CaptureReadIndex = 0;
  CaptureRing = static_cast<float*>(std::calloc(CaptureRingSize > 0 ? CaptureRingSize : 1, sizeof(float)));
  SpectrumWorkBuffer = static_cast<uint8_t*>(std::calloc(kSpectrumWorkBytes, 1));
  ScopeSampleWindow = static_cast<uint8_t*>(std::calloc(kScopeSampleWindowBytes, 1));
  PowerHistoryRing = static_cast<float*>(std::calloc(kPowerHistoryFloats, sizeof(float)));
  if (CaptureRing == nullptr || SpectrumWorkBuffer == nullptr || ScopeSampleWindow == nullptr ||
      PowerHistoryRing == nullptr)
    return -QUARLE_BASICS::kErrAllocation;

  FillKernelTables();
  BuildFirKernel(-1);
  // Attached library entries hand their sound to the modules.
  DescribeWave = DescribeWaveEntry;
  FinishTake = FinishRecording;
  r = BuildCatalog();
  if (r != 0) return r;
  // Until a synth file brings its own, the master presets are the templates
  // as built, so applying them before any load changes nothing.
  StoreMasterPresets();

  OctaveBoardKeyRanges[0] = OctaveBoardKeyRange{22, 9};
  OctaveBoardKeyRanges[1] = OctaveBoardKeyRange{14, 6};
  OctaveBoardKeyRanges[2] = OctaveBoardKeyRange{10, 4};
  r = InitMidiMaps();
  if (r != 0) return r;
  for (MidiKeyPair& pair : MidiKeyMapping) pair.KeyOffset = -21;

  r = InitModuleLists();
  if (r != 0) return r;
  EngineCommandInit();
  return 0;
}

}  // namespace

int32_t init(float sampleRate) {
  if (EngineReady != 0) return 0;
  int32_t r = Build(sampleRate);
  if (r != 0) {
    FreeEngine();
    return r;
  }
  EngineReady = -1;
  EngineClosed = 0;
  return 0;
}

void close() {
  if (EngineClosed != 0 || EngineReady == 0) return;
  FreeEngine();
  EngineClosed = -1;
  EngineReady = 0;
}

}  // namespace Tarvelo
