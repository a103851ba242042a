// Convolution types: the FIR filter and the vocoder.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefineConvolutiveFilter(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 583, "Convolutive filter", nullptr, kCategoryFilter);
  t.KeepsVoices = -1;
  t.VoiceOwner = -1;
  t.PortCount = 2;
  result = ModuleAllocBuffers(t, 258, 2, -1);
  t.ParamCount = 3;
  return result;
}

int32_t DefineConvolutiveVocoder(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 589, "Convolutive vocoder", nullptr, kCategoryFilter);
  t.KeepsVoices = -1;
  t.VoiceOwner = -1;
  t.PortCount = 2;
  result = ModuleAllocBuffers(t, 1024, 2, -1);
  t.ParamCount = 3;
  return result;
}

}  // namespace Tarvelo
