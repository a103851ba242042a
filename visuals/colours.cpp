#include "visuals/colours.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "basics/errors.h"

namespace QUARLE_VISUALS {

namespace {

// Rounded to nearest-even and kept within a byte (values out of range would
// otherwise be undefined when converted).
uint32_t ByteOf(float v) {
  const float r = std::nearbyint(v);
  if (!(r >= 0.0f)) return 0;  // also NaN
  if (r >= 255.0f) return 255;
  return static_cast<uint32_t>(r);
}

uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return 0xFF000000u | r << 16 | g << 8 | b; }

}  // namespace

uint32_t HsvToRgb(const float* hsv) {
  if (!hsv) return 0xFF000000u;
  const float h = hsv[0], s = hsv[1], v = hsv[2];
  if (s == 0.0f) {
    const uint32_t g = ByteOf(255.0f * v);
    return Rgb(g, g, g);
  }
  const float k = 6.0f * h;
  const float fi = std::floor(k);
  const float f = k - fi;
  const uint32_t V = ByteOf(255.0f * v);
  const uint32_t P = ByteOf((1.0f - s) * v * 255.0f);
  const uint32_t Q = ByteOf((1.0f - f * s) * v * 255.0f);
  const uint32_t T = ByteOf((1.0f - (1.0f - f) * s) * v * 255.0f);
  // Hue 1.0 is the full turn back to red (f is 0 there), not the last segment.
  const int i = (fi >= 0.0f && fi <= 5.0f) ? static_cast<int>(fi) : (fi == 6.0f ? 0 : -1);
  switch (i) {
    case 0: return Rgb(V, T, P);
    case 1: return Rgb(Q, V, P);
    case 2: return Rgb(P, V, T);
    case 3: return Rgb(P, Q, V);
    case 4: return Rgb(T, P, V);
    default: return Rgb(V, P, Q);
  }
}

uint32_t HueToRgb(float x) {
  const float y = 6.0f * x;
  const float fi = std::floor(y);
  const float f = y - fi;
  const int i = (fi >= 0.0f && fi <= 5.0f) ? static_cast<int>(fi) : -1;
  const uint32_t up = ByteOf(255.0f * f), down = ByteOf(255.0f - 255.0f * f);
  switch (i) {
    case 0: return Rgb(0, 0, 0);
    case 1: return Rgb(up, 0, 0);
    case 2: return Rgb(255, up, 0);
    case 3: return Rgb(255, 255, up);
    case 4: return Rgb(down, 255, 255);
    case 5: return Rgb(0, down, 255);
    default: return Rgb(0, 0, 255);
  }
}

int32_t BuildColourRamp(uint32_t** ramp, uint32_t floorColour, uint32_t startColour, int32_t n) {
  if (!ramp) return -QUARLE_BASICS::kErrBadParameter;
  delete[] *ramp;
  *ramp = nullptr;
  const int64_t count = std::max<int64_t>(n, 0);
  uint32_t* out = new (std::nothrow) uint32_t[static_cast<size_t>(4 * count + 1)]();
  if (!out) return -QUARLE_BASICS::kErrAllocation;
  for (int64_t i = 0; i < count; ++i) out[i] = startColour;
  int64_t ch[4], lo[4];
  for (int c = 0; c < 4; ++c) {
    ch[c] = (startColour >> (24 - 8 * c)) & 0xFF;
    lo[c] = (floorColour >> (24 - 8 * c)) & 0xFF;
  }
  int64_t step = 5;
  for (int64_t i = count; i < 4 * count; ++i) {
    uint32_t v = 0;
    for (int c = 0; c < 4; ++c) {
      ch[c] = std::max(ch[c] - step, lo[c]);
      v |= static_cast<uint32_t>(ch[c]) << (24 - 8 * c);
    }
    out[i] = v;
    step += 2;
  }
  *ramp = out;
  return 0;
}

void GradientFillV(platform::Image* image, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                   uint32_t& colour1, const uint32_t& colour2) {
  double step[4];
  float value[4];
  const double rows = static_cast<double>(y1) - static_cast<double>(y0);
  for (int c = 0; c < 4; ++c) {
    const int shift = 24 - 8 * c;
    const double a = (colour1 >> shift) & 0xFF, b = (colour2 >> shift) & 0xFF;
    // One row (y0 = y1) has nothing to step towards.
    step[c] = rows != 0.0 ? (b - a) / rows : 0.0;
    value[c] = static_cast<float>(a);
  }
  platform::WorkPageGuard guard(image == nullptr);
  for (int64_t y = y0; y <= y1; ++y) {
    platform::DrawLine(image, x0, static_cast<int32_t>(y), x1, static_cast<int32_t>(y), colour1);
    uint32_t next = 0;
    for (int c = 0; c < 4; ++c) {
      value[c] = static_cast<float>(static_cast<double>(value[c]) + (step[c] - 0.000001));
      next |= ByteOf(value[c]) << (24 - 8 * c);
    }
    colour1 = next;
  }
}

}  // namespace QUARLE_VISUALS
