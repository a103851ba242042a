// Control types: keyboards, sequencers, envelopes, step sequencer, mapper, melody generator.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefineKeyboard(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 519, "Keyboard", "KB", kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.ChannelsFixed = -1;
  t.VoiceFlagRoot = -1;
  t.VoiceOwner = -1;
  t.PortCount = 0;
  t.ParamCount = 1;
  return result;
}

int32_t DefineOctaveBoard(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 521, "Octave board", "BB", kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.ChannelsFixed = -1;
  t.VoiceFlagRoot = -1;
  t.VoiceOwner = -1;
  t.PortCount = 0;
  t.ParamCount = 2;
  return result;
}

int32_t DefineSequencer(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 524, "Sequencer", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.KeepsVoices = -1;
  t.FollowsPolyphony = 0;
  t.ChannelsFixed = -1;
  t.VoiceFlagRoot = -1;
  t.VoiceOwner = -1;
  t.PortCount = 3;
  result = ModuleAllocBuffers(t, 128, 1, -1);
  t.ParamCount = 5;
  return result;
}

int32_t DefineAdsr(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 527, "ADSR Envelope", nullptr, kCategoryControl);
  t.KeepsVoices = -1;
  t.ModuleSwitches[kSwitchEnvelope] = -1;
  t.RequiresPortLink = -1;
  t.FollowsPolyphony = -1;
  t.VoiceOwner = -1;
  t.VoiceFlagRoot = -1;
  t.PortCount = 3;
  t.ParamCount = 8;
  return result;
}

int32_t DefineStepSequencer(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 534, "Step Sequencer", nullptr, kCategoryControl);
  t.PortCount = 4;
  t.ParamCount = 10;
  return result;
}

int32_t DefineMapper(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 537, "Mapper", nullptr, kCategoryControl);
  t.PortCount = 1;
  t.ParamCount = 3;
  return result;
}

int32_t DefineMelodyGenerator(ModuleRecord& t) {
  int32_t result = 0;
  t.PolyphonyCapability = 0;
  BeginType(t, 540, "Melody Generator", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.KeepsVoices = -1;
  t.ChannelsFixed = -1;
  t.PortCount = 7;
  result = ModuleAllocBuffers(t, 2304, 1, -1);
  t.ParamCount = 11;
  return result;
}

}  // namespace Tarvelo
