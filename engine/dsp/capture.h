// The audio input module: publishes the captured frame the render callback
// has reached in the capture ring.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

// Both slots. One voice; channel ch reads the ring at the read position + ch
// while capture runs, else publishes silence.
void ProcessCapture(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo
