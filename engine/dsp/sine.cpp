#include "engine/dsp/sine.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "engine/dsp/kernel_choice.h"

namespace Tarvelo {

#if TARVELO_SINE_SIDE_BY_SIDE
using namespace sine_row;
#endif

namespace {

// The check angles (float bit patterns): most are angles of the cycle where
// the C library's float sine is not the correctly rounded one, so that a
// library computing it another way differs there; the rest are spread over
// the cycle. They are checked with both signs.
constexpr uint32_t kCheckAngles[] = {
    0x39800000, 0x399d9aaa, 0x39bb3554, 0x39d8cffe, 0x39f66aa8, 0x3a140552, 0x3a319ffc, 0x3a4f3aa6,
    0x3a5352c9, 0x3a6cd550, 0x3a8a6ffa, 0x3aa80aa4, 0x3ac5a54e, 0x3ae33ff8, 0x3b00daa3, 0x3b1e754d,
    0x3b3c0ff7, 0x3b59aaa1, 0x3b77454b, 0x3b94dff5, 0x3bb27a9f, 0x3bd01549, 0x3bedaff3, 0x3c0b4a9d,
    0x3c28e547, 0x3c467ff1, 0x3c641a9b, 0x3c81b546, 0x3c9f4ff0, 0x3cbcea9a, 0x3ccd4295, 0x3cda8544,
    0x3cf81fee, 0x3d095e49, 0x3d15ba98, 0x3d335542, 0x3d351d78, 0x3d4dfcb7, 0x3d50efec, 0x3d603a1c,
    0x3d6e8a96, 0x3d6eeb73, 0x3d7b497c, 0x3d8b241f, 0x3d8c2540, 0x3d99e9fe, 0x3da56c2c, 0x3da9bfea,
    0x3daef0e5, 0x3db747a3, 0x3dbea977, 0x3dc54aff, 0x3dc75a94, 0x3dcb5860, 0x3dd0f3ad, 0x3dd62727,
    0x3ddb0879, 0x3ddf9f87, 0x3de3fbaa, 0x3de4f53f, 0x3de81a9f, 0x3dec0c98, 0x3defcfac, 0x3df369dc,
    0x3df6e87a, 0x3dfa41eb, 0x3dfd8073, 0x3e00e9c1, 0x3e028fe9, 0x3e06ae46, 0x3e0bd88f, 0x3e108b43,
    0x3e14dda8, 0x3e18e1d6, 0x3e1ca965, 0x3e202a93, 0x3e203b85, 0x3e239b0e, 0x3e26d5ca, 0x3e29e73e,
    0x3e2cdcd3, 0x3e2fb2fc, 0x3e326dd7, 0x3e3511bf, 0x3e37a0d4, 0x3e3a1b5a, 0x3e3c835f, 0x3e3dc53d,
    0x3e3ed99d, 0x3e41207e, 0x3e435b0f, 0x3e45870a, 0x3e47a53b, 0x3e49b763, 0x3e4bbe83, 0x3e4dbb28,
    0x3e4fad3a, 0x3e51989d, 0x3e5378f9, 0x3e555189, 0x3e5722f9, 0x3e58ebff, 0x3e5aae83, 0x3e5b5fe7,
    0x3e5c6bc8, 0x3e5e21a8, 0x3e5fd1e7, 0x3e617b43, 0x3e631d30, 0x3e64bcfe, 0x3e665612, 0x3e67eb8e,
    0x3e697cf5, 0x3e6b08c6, 0x3e6c9115, 0x3e6e1568, 0x3e6f952a, 0x3e711208, 0x3e728a90, 0x3e73fffc,
    0x3e7571d4, 0x3e76e149, 0x3e784c68, 0x3e78fa91, 0x3e79b4e4, 0x3e7b1b15, 0x3e7c7db9, 0x3e7dde95,
    0x3e7f3bcc, 0x3e8095ec, 0x3e82785d, 0x3e85172d, 0x3e87a5ff, 0x3e8a2a1a, 0x3e8ca71f, 0x3e8f1946,
    0x3e918ab9, 0x3e93f211, 0x3e965452, 0x3e96953b, 0x3e98bc48, 0x3e9b18db, 0x3e9d7d56, 0x3e9fe7cf,
    0x3ea2536a, 0x3ea4c2d8, 0x3ea73dde, 0x3ea9ca8e, 0x3eac749b, 0x3eaf25da, 0x3eb20073, 0x3eb42fe5,
    0x3eb4eb19, 0x3eb81ae1, 0x3ebb7293, 0x3ebf27d7, 0x3ec37721, 0x3ec8d975, 0x3ed1ca8f, 0x3ed6d354,
    0x3ee1412b, 0x3ee5eb1e, 0x3ee99def, 0x3eecb087, 0x3eef6167, 0x3eef6539, 0x3ef1d53b, 0x3ef40954,
    0x3ef624d3, 0x3ef821cf, 0x3efa048b, 0x3efbcb52, 0x3efd8690, 0x3eff30c0, 0x3f00c86b, 0x3f023bf6,
    0x3f03ae5e, 0x3f0510f0, 0x3f06cfe4, 0x3f095be7, 0x3f0bce0c, 0x3f0cffe3, 0x3f0e41bd, 0x3f10b366,
    0x3f133729, 0x3f15e2de, 0x3f18a830, 0x3f1bfafd, 0x3f20e1ce, 0x3f2a9a8d, 0x3f2bbde0, 0x3f2f5cca,
    0x3f320d6b, 0x3f344e72, 0x3f3653cc, 0x3f383e01, 0x3f3a24dd, 0x3f3c0624, 0x3f3e0731, 0x3f405862,
    0x3f459769, 0x3f483537, 0x3f48ee7e, 0x3f65cfe2, 0x3f836a8c, 0x3fa10536, 0x3fbe9fe0, 0x3fdafc98,
    0x3fdc3a8a, 0x3ff9d534, 0x40176fde, 0x4019151b, 0x401b0e7c, 0x401d538b, 0x40230c4f, 0x4025b708,
    0x4027e9d5, 0x40296a02, 0x402b90ff, 0x4031aa08, 0x40347920, 0x40350a88, 0x4036e6e3, 0x40392a01,
    0x403aa567, 0x403c7011, 0x403f12dd, 0x4043f5fe, 0x4051b26c, 0x4052a532, 0x4054f1dd, 0x4056ed13,
    0x40587a90, 0x405a6494, 0x405cc7d7, 0x405f634b, 0x40655f14, 0x40682f7a, 0x4069d338, 0x406bb9b4,
    0x406e3097, 0x40703fdc, 0x407357a9, 0x40766c87, 0x40785add, 0x408dda86, 0x408ef854, 0x40ab7530,
    0x40b21537, 0x40b62104, 0x40b87e10, 0x40ba5d30, 0x40bee87f, 0x40c13543, 0x40c2e757, 0x40c90fdb,
};

// Angles where the library's build for processors without FMA differs from
// its fused one (none lies in the cycle).
constexpr uint32_t kUnfusedAngles[] = {0x4255b0a9, 0x42a35c07, 0x42a35d44, 0x42a97360, 0x42cf5854, 0x42e87a55};

// A few more: zeros, subnormals, the smallest angle the row computes and
// the largest below it, the largest the row reduces itself, pi/2 and pi.
constexpr float kCheckEdges[] = {0.0f,    -0.0f,       1.0e-40f,     -1.0e-40f,    0x1p-13f,
                                 0x1.fffffep-13f, 119.99999f, -119.99999f, 0x1.921fb6p+0f, 0x1.921fb6p+1f};

// And the first angles it leaves to the library, checked in a row of their own
// (a row holding one is left to the library whole).
constexpr float kCheckFar[] = {120.0f, -120.0f, 1000.0f, 1.0e30f};

template <typename T, size_t kN>
constexpr int32_t CountOf(const T (&)[kN]) {
  return static_cast<int32_t>(kN);
}

constexpr int32_t kCheckCount = 2 * CountOf(kCheckAngles) + CountOf(kUnfusedAngles) + CountOf(kCheckEdges);
// Whole steps of eight, so that no check angle falls to the row's tail.
static_assert(kCheckCount % 8 == 0);

inline float FromBits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

inline uint32_t BitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Whether row and std::sin give the same bits for n angles.
bool SameAsLibrary(SineRowFunction row, const float* angles, int32_t n) {
  float got[kCheckCount];
  row(angles, got, n);
  for (int32_t k = 0; k < n; ++k) {
    // Through a volatile, so that the compiler cannot fold the library call
    // into its own (correctly rounded) sine of a known angle.
    volatile float a = angles[k];
    if (BitsOf(std::sin(a)) != BitsOf(got[k])) return false;
  }
  return true;
}

#if TARVELO_SINE_SIDE_BY_SIDE

__attribute__((target("avx2,fma"))) void SineRowFused(const float* angle, float* out, int32_t lanes) {
  const int32_t eights = lanes & ~7;
  const int32_t fours = lanes & ~3;
  const __m256i magnitude = _mm256_set1_epi32(0x7fffffff);
  // Rows with an angle beyond the reduction here (or an infinity or NaN)
  // are left to the library whole: the Oscillator never makes one.
  __m256i most = _mm256_setzero_si256();
  for (int32_t k = 0; k < eights; k += 8)
    most = _mm256_max_epu32(most, _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(angle + k)),
                                                   magnitude));
  if (fours > eights)
    most = _mm256_max_epu32(most, _mm256_and_si256(_mm256_set_m128i(_mm_setzero_si128(), _mm_loadu_si128(
                                                       reinterpret_cast<const __m128i*>(angle + eights))),
                                                   magnitude));
  const __m256i far = _mm256_cmpgt_epi32(most, _mm256_set1_epi32((kNearTop << 20) | 0xfffff));
  if (!_mm256_testz_si256(far, far)) {
    for (int32_t k = 0; k < lanes; ++k) out[k] = std::sin(angle[k]);
    return;
  }
  for (int32_t k = 0; k < eights; k += 8) _mm256_storeu_ps(out + k, SineEightNear(_mm256_loadu_ps(angle + k)));
  if (fours > eights) {
    const __m128 y = _mm_loadu_ps(angle + eights);
    const __m128i top = _mm_srli_epi32(_mm_and_si128(_mm_castps_si128(y), _mm_set1_epi32(0x7fffffff)), 20);
    const __m128 tiny = _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_set1_epi32(kTinyTop + 1), top));
    _mm_storeu_ps(out + eights, _mm_blendv_ps(SineQuarterRow(y), y, tiny));
  }
  // The last lanes (at most three) one by one.
  for (int32_t k = fours; k < lanes; ++k) out[k] = std::sin(angle[k]);
}

bool ChooseSideBySide() {
  // The library takes its fused build only on such processors (and the
  // plain-kernels switch keeps the library's sine whatever the processor).
  if (!TakeAvx2Kernels(true)) return false;
  return SineRowAgrees(SineRowFused);
}

#endif

}  // namespace

#if TARVELO_SINE_SIDE_BY_SIDE
// Chosen once before the program starts; read only afterwards.
const bool gSineRowSideBySide = ChooseSideBySide();
#endif

void SineRow(const float* angle, float* out, int32_t lanes) {
#if TARVELO_SINE_SIDE_BY_SIDE
  // Fewer than four lanes cost less one by one.
  if (gSineRowSideBySide && lanes >= 4) {
    SineRowFused(angle, out, lanes);
    return;
  }
#endif
  for (int32_t k = 0; k < lanes; ++k) out[k] = std::sin(angle[k]);
}

bool SineRowSideBySide() {
#if TARVELO_SINE_SIDE_BY_SIDE
  return gSineRowSideBySide;
#else
  return false;
#endif
}

bool SineRowAgrees(SineRowFunction row) {
  float angles[kCheckCount];
  int32_t n = 0;
  for (uint32_t u : kCheckAngles) {
    angles[n++] = FromBits(u);
    angles[n++] = -FromBits(u);
  }
  for (uint32_t u : kUnfusedAngles) angles[n++] = FromBits(u);
  for (float e : kCheckEdges) angles[n++] = e;
  return SameAsLibrary(row, angles, n) && SameAsLibrary(row, kCheckFar, CountOf(kCheckFar));
}

}  // namespace Tarvelo
