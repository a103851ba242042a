#pragma once

#include <cstdint>

namespace Tarvelo {

// The float sine of a row of angles: out[k] gets std::sin(angle[k]) bit for
// bit, every lane computed side by side where the processor and the C
// library allow it (else lane by lane through std::sin). out may be angle.
void SineRow(const float* angle, float* out, int32_t lanes);

// Whether SineRow computes its lanes side by side: the processor has AVX2
// and FMA and the start-up check found the row equal to the C library's sine.
bool SineRowSideBySide();

// The start-up check: whether row gives std::sin's bits on a fixed set of
// angles (those where the C library's float sine is hardest to match).
using SineRowFunction = void (*)(const float* angle, float* out, int32_t lanes);
bool SineRowAgrees(SineRowFunction row);

}  // namespace Tarvelo
