// Colour helpers of the interface's drawing: HSV to colour, the six-segment
// level scale, a fading colour ramp and a vertical gradient fill. Colours are
// 0xAARRGGBB words; "rounded" is to the nearest with halves to even, in single
// precision, then kept within a byte.
#pragma once
#include <cstdint>

#include "platform/images.h"

namespace QUARLE_VISUALS {

// hsv points at hue, saturation and value, each 0..1. Alpha 255.
uint32_t HsvToRgb(const float* hsv);

// Not a hue wheel: a scale from black through red, yellow and white to cyan and
// blue over x in 0..1 (black below 1/6, blue from 1 on and below 0). Alpha 255.
uint32_t HueToRgb(float x);

// Replaces *ramp (freed with delete[]) by 4n + 1 entries: n of startColour, then
// 3n that fall from it by 5, 12, 21, ... per channel (alpha included) and stop
// at floorColour's channel, then a final 0. A negative n counts as 0. 0, or -21
// when the array cannot be allocated (*ramp is then null).
int32_t BuildColourRamp(uint32_t** ramp, uint32_t floorColour, uint32_t startColour, int32_t n);

// Fills rows y0..y1 of the image (null: the work page) from x0 to x1 with
// colours running from colour1 towards colour2; colour1 is updated in place and
// on return holds the colour that would follow the last row.
void GradientFillV(platform::Image* image, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                   uint32_t& colour1, const uint32_t& colour2);

}  // namespace QUARLE_VISUALS
