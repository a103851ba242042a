#include "engine/dsp/capture.h"

#include "engine/dsp/contract.h"

namespace Tarvelo {

void ProcessCapture(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  m->ActiveVoices.Store(1);
  const bool capturing = CaptureActive.load(std::memory_order_relaxed) != 0 && CaptureRing != nullptr;
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    float x = 0.0f;
    const int32_t i = CaptureReadIndex + ch;
    if (capturing && i >= 0 && i < CaptureRingSize) x = ClipValue(CaptureRing[i], m->ClipFlag);
    m->Outputs[ch][0] = OutputElement{x, x};
  }
}

}  // namespace Tarvelo
