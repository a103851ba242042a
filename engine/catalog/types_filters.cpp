// Filter and shaping types.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefineFilter(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 579, "Filter", nullptr, kCategoryFilter);
  t.PortCount = 3;
  result = ModuleAllocBuffers(t, 14, 2, -1);
  t.ParamCount = 4;
  return result;
}

int32_t DefineDistortion(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 586, "Distortion", nullptr, kCategoryEffect);
  t.PortCount = 3;
  t.ParamCount = 3;
  return result;
}

int32_t DefineSoftLimiter(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 592, "Soft Limiter", nullptr, kCategoryEffect);
  t.PortCount = 2;
  t.ParamCount = 2;
  return result;
}

int32_t DefineWaveFolder(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 593, "Wave Folder", nullptr, kCategoryEffect);
  t.PortCount = 3;
  t.ParamCount = 4;
  return result;
}

int32_t DefineCompressor(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 596, "Compressor", nullptr, kCategoryEffect);
  t.PortCount = 1;
  t.ParamCount = 6;
  return result;
}

}  // namespace Tarvelo
