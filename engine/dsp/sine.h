#pragma once

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TARVELO_SINE_SIDE_BY_SIDE 1
#endif

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

#if TARVELO_SINE_SIDE_BY_SIDE
// The float sine as the C library's build for processors with AVX2 and FMA
// computes it below |angle| = 120 (the exponent and top mantissa bits
// 0x42e): in double, the angle less the nearest multiple n of pi/2 (one fused
// step), then by n one of two short polynomials (sine for even n, cosine for
// odd), negated for n mod 4 in {2, 3}, each multiply-add fused where the
// library fuses it, rounded once to float. Angles below 2^-12 are their own
// sine. The library's own reduction handles the larger angles, infinities
// and NaNs: rows holding one call it.
namespace sine_row {
inline constexpr double kQuarterTurnsScaled = 0x1.45f306dc9c883p+23;  // 2^24 * 2 / pi
inline constexpr double kQuarterTurn = 0x1.921fb54442d18p+0;          // pi / 2
inline constexpr double kSine1 = -0x1.555545995a603p-3;
inline constexpr double kSine2 = 0x1.1107605230bc4p-7;
inline constexpr double kSine3 = -0x1.994eb3774cf24p-13;
inline constexpr double kCosine0 = 1.0;
inline constexpr double kCosine1 = -0x1.ffffffd0c621cp-2;
inline constexpr double kCosine2 = 0x1.55553e1068f19p-5;
inline constexpr double kCosine3 = -0x1.6c087e89a359dp-10;
inline constexpr double kCosine4 = 0x1.99343027bf8c3p-16;
inline constexpr int32_t kTinyTop = 0x397;  // at most: the angle itself
inline constexpr int32_t kNearTop = 0x42e;  // at most: reduced here

// Four lanes of the row.
[[gnu::always_inline]] __attribute__((target("avx2,fma"))) inline __m128 SineQuarterRow(__m128 y) {
  const __m256d x = _mm256_cvtps_pd(y);
  // n = round(angle * 2 / pi), rounded as the library does it in fixed point.
  const __m128i n = _mm_srai_epi32(
      _mm_add_epi32(_mm256_cvttpd_epi32(_mm256_mul_pd(x, _mm256_set1_pd(kQuarterTurnsScaled))),
                    _mm_set1_epi32(0x800000)),
      24);
  const __m256d r = _mm256_fnmadd_pd(_mm256_cvtepi32_pd(n), _mm256_set1_pd(kQuarterTurn), x);
  const __m256d r2 = _mm256_mul_pd(r, r);
  // The sine polynomial (even n).
  const __m256d sb = _mm256_fmadd_pd(r2, _mm256_set1_pd(kSine3), _mm256_set1_pd(kSine2));
  const __m256d r3 = _mm256_mul_pd(r2, r);
  const __m256d r5 = _mm256_mul_pd(r2, r3);
  const __m256d sa = _mm256_fmadd_pd(r3, _mm256_set1_pd(kSine1), r);
  const __m256d sine = _mm256_fmadd_pd(sb, r5, sa);
  // The cosine polynomial (odd n).
  const __m256d r4 = _mm256_mul_pd(r2, r2);
  const __m256d ca = _mm256_fmadd_pd(r2, _mm256_set1_pd(kCosine1), _mm256_set1_pd(kCosine0));
  const __m256d cb = _mm256_fmadd_pd(r2, _mm256_set1_pd(kCosine4), _mm256_set1_pd(kCosine3));
  const __m256d r6 = _mm256_mul_pd(r2, r4);
  const __m256d cc = _mm256_fmadd_pd(r4, _mm256_set1_pd(kCosine2), ca);
  const __m256d cosine = _mm256_fmadd_pd(cb, r6, cc);
  // Both polynomials are odd or even in every rounded step, so negating the
  // result is the same as the library's negated input or coefficients. The
  // blend takes bit 0 of n, the sign bit 1, each moved to the top.
  const __m256i n64 = _mm256_cvtepi32_epi64(n);
  const __m256d odd = _mm256_castsi256_pd(_mm256_slli_epi64(n64, 63));
  const __m256d sign = _mm256_and_pd(_mm256_castsi256_pd(_mm256_slli_epi64(n64, 62)), _mm256_set1_pd(-0.0));
  return _mm256_cvtpd_ps(_mm256_xor_pd(_mm256_blendv_pd(sine, cosine, odd), sign));
}


// Eight lanes of the row, every angle at most kNearTop in its top bits (see
// SineEightAllNear): the tiny angles are their own sine.
[[gnu::always_inline]] __attribute__((target("avx2,fma"))) inline __m256 SineEightNear(__m256 y) {
  const __m256i top = _mm256_srli_epi32(_mm256_and_si256(_mm256_castps_si256(y), _mm256_set1_epi32(0x7fffffff)), 20);
  const __m256 tiny = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(kTinyTop + 1), top));
  const __m256 v =
      _mm256_set_m128(SineQuarterRow(_mm256_extractf128_ps(y, 1)), SineQuarterRow(_mm256_castps256_ps128(y)));
  return _mm256_blendv_ps(v, y, tiny);
}

// Whether every lane of y lies within the reduction above (no lane far,
// infinite or not a number).
[[gnu::always_inline]] __attribute__((target("avx2,fma"))) inline bool SineEightAllNear(__m256 y) {
  const __m256i magnitude = _mm256_and_si256(_mm256_castps_si256(y), _mm256_set1_epi32(0x7fffffff));
  const __m256i far = _mm256_cmpgt_epi32(magnitude, _mm256_set1_epi32((kNearTop << 20) | 0xfffff));
  return _mm256_testz_si256(far, far) != 0;
}

}  // namespace sine_row

// Whether SineRow computes side by side (the same as SineRowSideBySide(),
// for kernels that inline the eight lanes above): set before the program
// starts, read only afterwards.
extern const bool gSineRowSideBySide;

#endif

}  // namespace Tarvelo
