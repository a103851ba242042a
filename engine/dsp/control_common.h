// Small helpers shared by the control kernels (sequencers, melody generator,
// mapper, pitch and voice modules).
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/dsp/contract.h"
#include "engine/module.h"

namespace Tarvelo {

// A 32-bit pattern word held in a float: the nearest whole number taken as an
// unsigned 32-bit integer (two's complement for negatives). Values a float
// cannot hold as a whole number of 64 bits give 0.
inline uint32_t WholeBits(float x) {
  const double r = std::nearbyint(static_cast<double>(x));
  if (!(std::fabs(r) < 9.0e18)) return 0u;
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(r)));
}

// Whole-number fields kept in a float state array, bit for bit (so a zeroed
// array reads as 0).
inline int32_t IntField(const float& slot) {
  int32_t v;
  std::memcpy(&v, &slot, sizeof v);
  return v;
}
inline void SetIntField(float& slot, int32_t v) { std::memcpy(&slot, &v, sizeof v); }

}  // namespace Tarvelo
