// Sound sources: audio input, samples, oscillators, sine waves and the randomizer.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefineCapture(ModuleRecord& t) {
  int32_t result = 0;
  t.PolyphonyCapability = 0;
  BeginType(t, 509, "Capture", nullptr, kCategoryAudioInput);
  t.RunsWithoutVoices = -1;
  t.PortCount = 0;
  t.ParamCount = 0;
  return result;
}

int32_t DefineSample(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 510, "Sample", nullptr, kCategorySource);
  t.FollowsPolyphony = 0;
  t.ModuleSwitches[kSwitchLoop] = -1;
  t.PortCount = 6;
  t.ParamCount = 7;
  return result;
}

int32_t DefineOscillator(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 513, "Oscillator", nullptr, kCategorySource);
  t.FollowsPolyphony = 0;
  t.ModuleSwitches[kSwitchLoop] = -1;
  t.PortCount = 6;
  t.ParamCount = 6;
  return result;
}

int32_t DefineSineWave(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 515, "Sine wave", nullptr, kCategorySource);
  t.FollowsPolyphony = 0;
  t.ModuleSwitches[kSwitchLoop] = -1;
  t.PortCount = 3;
  t.ParamCount = 3;
  return result;
}

int32_t DefineRandomizer(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 516, "4-in-1 Randomizer", nullptr, kCategorySource);
  t.PortCount = 4;
  t.ParamCount = 4;
  return result;
}

}  // namespace Tarvelo
