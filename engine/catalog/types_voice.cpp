// Voice and pitch control types.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefinePitchBend(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 549, "Pitch bend", nullptr, kCategoryControl);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  t.ParamCount = 3;
  return result;
}

int32_t DefineHarmonic(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 552, "Harmonic", nullptr, kCategoryControl);
  t.RequiresPortLink = -1;
  t.PortCount = 1;
  t.ParamCount = 2;
  return result;
}

int32_t DefineVoiceSelector(ModuleRecord& t) {
  int32_t result = 0;
  t.PolyphonyCapability = 0;
  BeginType(t, 553, "Voice selector", nullptr, kCategoryControl);
  t.RequiresPortLink = -1;
  t.PortCount = 1;
  t.ParamCount = 2;
  return result;
}

int32_t DefineVoiceMixer(ModuleRecord& t) {
  int32_t result = 0;
  t.PolyphonyCapability = 0;
  BeginType(t, 555, "Voice Mixer", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

int32_t DefineMultiplexer(ModuleRecord& t) {
  int32_t result = 0;
  t.PolyphonyCapability = 1;
  BeginType(t, 557, "Multiplexer", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.VoiceOwner = -1;
  t.FollowsPolyphony = 0;
  t.VoiceFlagRoot = -1;
  t.PortCount = 10;
  t.ParamCount = 10;
  return result;
}

}  // namespace Tarvelo
