// Time-based types: averages, envelope follower, delay and echo.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefineMobileAverage(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 573, "Mobile average", nullptr, kCategoryFilter);
  t.KeepsVoices = -1;
  t.VoiceOwner = -1;
  t.PortCount = 2;
  result = ModuleAllocBuffers(t, RateWhole + 3, 2, -1);
  t.ParamCount = 2;
  return result;
}

int32_t DefineEnvelopeFollower(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 574, "Envelope follower", nullptr, kCategoryFilter);
  t.KeepsVoices = -1;
  t.ModuleSwitches[kSwitchEnvelope] = -1;
  t.VoiceOwner = -1;
  t.PortCount = 1;
  result = ModuleAllocBuffers(t, 1, 2, -1);
  t.ParamCount = 3;
  return result;
}

int32_t DefineDelay(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 576, "Delay", nullptr, kCategoryEffect);
  t.KeepsVoices = -1;
  t.VoiceOwner = -1;
  t.PortCount = 2;
  result = ModuleAllocBuffers(t, RateWhole + 1, 2, -1);
  t.ParamCount = 2;
  return result;
}

int32_t DefineEcho(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 577, "Echo", nullptr, kCategoryEffect);
  t.KeepsVoices = -1;
  t.VoiceOwner = -1;
  t.PortCount = 3;
  result = ModuleAllocBuffers(t, RateWhole + 1, 2, -1);
  t.ParamCount = 3;
  return result;
}

}  // namespace Tarvelo
