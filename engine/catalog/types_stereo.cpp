// Stereo types.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefineMergeStereo(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 601, "Merge Stereo", nullptr, kCategoryStereo);
  t.RequiresPortLink = -1;
  t.ChannelsFixed = -1;
  t.PortCount = 1;
  t.ParamCount = 1;
  return result;
}

int32_t DefineJoinStereo(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 602, "Join Stereo", nullptr, kCategoryStereo);
  t.OutputChannels = 2;
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

int32_t DefineBalance(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 605, "Balance", nullptr, kCategoryStereo);
  t.OutputChannels = 2;
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

}  // namespace Tarvelo
