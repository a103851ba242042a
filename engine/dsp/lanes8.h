// Eight voices as one value, for kernels that keep a row of voices in
// registers across several steps: each operation is the same single-precision
// step on every lane (no fused or reordered arithmetic). In the AVX2 variants
// of the kernels a value is one register, elsewhere two.
#pragma once
#include <cstdint>
#include <cstring>

#include "engine/dsp/contract.h"

// Only inline helpers pass these values, so the note that they change the
// calling convention without AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace Tarvelo {

using Lanes8 = float __attribute__((vector_size(32)));
using Mask8 = int32_t __attribute__((vector_size(32)));
using Wide8 = double __attribute__((vector_size(64)));

[[gnu::always_inline]] inline Lanes8 Load8(const float* p) {
  Lanes8 v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
[[gnu::always_inline]] inline void Store8(float* p, Lanes8 v) { std::memcpy(p, &v, sizeof(v)); }
// (From four lanes: written with eight, the AVX2 variants build it lane by
// lane.)
[[gnu::always_inline]] inline Lanes8 Splat8(float x) {
  using Lanes4 = float __attribute__((vector_size(16)));
  const Lanes4 v = {x, x, x, x};
  return __builtin_shufflevector(v, v, 0, 0, 0, 0, 0, 0, 0, 0);
}
[[gnu::always_inline]] inline Lanes8 Blend8(Lanes8 fresh, Lanes8 old, Mask8 mask) {
  return reinterpret_cast<Lanes8>((reinterpret_cast<Mask8>(fresh) & mask) | (reinterpret_cast<Mask8>(old) & ~mask));
}

// Whether any lane of a mask is set.
[[gnu::always_inline]] inline bool AnyLane(Mask8 m) {
  m |= __builtin_shufflevector(m, m, 4, 5, 6, 7, 0, 1, 2, 3);
  m |= __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5);
  m |= __builtin_shufflevector(m, m, 1, 0, 3, 2, 5, 4, 7, 6);
  return m[0] != 0;
}

// Voices 8c .. 8c + 7 of an opened port, as the cursor reads them (lanes
// past the source's voices read what its outputs hold there, within the row).
[[gnu::always_inline]] inline Lanes8 ReadChunk(const PortCursor& c, int32_t chunk) {
  if (c.stride == 0) return Splat8(c(0));
  const float* p = c.values + 16 * chunk;
  return __builtin_shufflevector(Load8(p), Load8(p + 8), 0, 2, 4, 6, 8, 10, 12, 14) * Splat8(c.gain);
}

}  // namespace Tarvelo

// Helpers the single-call kernels (Filter, Distortion, Mixer) added.
namespace Tarvelo {

// Whether any lane of a mask is set: the halves' bits folded into two words
// (cheaper than AnyLane's three shuffles where the mask ends a kernel).
[[gnu::always_inline]] inline bool AnyLaneSet(Mask8 m) {
  using Mask4 = int32_t __attribute__((vector_size(16)));
  using Pair64 = int64_t __attribute__((vector_size(16)));
  const Mask4 h = __builtin_shufflevector(m, m, 0, 1, 2, 3) | __builtin_shufflevector(m, m, 4, 5, 6, 7);
  const Pair64 q = reinterpret_cast<Pair64>(h);
  return (q[0] | q[1]) != 0;
}

// Whether every lane of a mask is set (folded as AnyLaneSet is).
[[gnu::always_inline]] inline bool EveryLaneSet(Mask8 m) {
  using Mask4 = int32_t __attribute__((vector_size(16)));
  using Pair64 = int64_t __attribute__((vector_size(16)));
  const Mask4 h = __builtin_shufflevector(m, m, 0, 1, 2, 3) & __builtin_shufflevector(m, m, 4, 5, 6, 7);
  const Pair64 q = reinterpret_cast<Pair64>(h);
  return (q[0] & q[1]) == -1;
}

// Lanes whose value is not a number within -1 .. 1 (the clip rule's test,
// on the bits: |x| > 1 or a NaN is a larger pattern than 1's).
[[gnu::always_inline]] inline Mask8 OutsideUnit(Lanes8 x) {
  return (reinterpret_cast<Mask8>(x) & 0x7FFFFFFF) > 0x3F800000;
}

// ReadChunk with the gain taken as a scalar factor (which the compiler
// spreads with one broadcast where Splat8 may take three).
[[gnu::always_inline]] inline Lanes8 ReadChunkScaled(const PortCursor& c, int32_t chunk) {
  if (c.stride == 0) return Splat8(c(0));
  const float* p = c.values + 16 * chunk;
  // Every other float, picked within each half and then the halves' pairs
  // put in order (two shuffles with immediates, no index vectors).
  using Quads = double __attribute__((vector_size(32)));
  const Lanes8 mixed = __builtin_shufflevector(Load8(p), Load8(p + 8), 0, 2, 8, 10, 4, 6, 12, 14);
  const Quads q = reinterpret_cast<Quads>(mixed);
  return reinterpret_cast<Lanes8>(__builtin_shufflevector(q, q, 0, 2, 1, 3)) * c.gain;
}

// Eight values published as the elements {y, y} of a signal type's outputs
// (PublishPairs for a whole chunk, straight from the lanes).
[[gnu::always_inline]] inline void PublishChunk(OutputElement* out, Lanes8 y) {
  Store8(&out[0].Level, __builtin_shufflevector(y, y, 0, 0, 1, 1, 2, 2, 3, 3));
  Store8(&out[4].Level, __builtin_shufflevector(y, y, 4, 4, 5, 5, 6, 6, 7, 7));
}

}  // namespace Tarvelo
