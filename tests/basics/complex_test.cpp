#include "basics/complex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace QUARLE_BASICS;

namespace {

constexpr float kPi = 3.14159265f;

// The radix-2 transform the spectrum view builds from these helpers: rotation
// factors e^(-2 pi i k / n), bit-reversed input order, add/sub/mul butterflies.
std::vector<Complex> Fft(const std::vector<float>& input) {
  const uint32_t n = static_cast<uint32_t>(input.size());
  uint32_t m = 0;
  while ((1u << m) < n) ++m;
  std::vector<Complex> w(n);
  for (uint32_t k = 0; k < n; ++k) w[k] = TwiddleFactor(-static_cast<int64_t>(k), n);
  std::vector<Complex> a(n);
  for (uint32_t i = 0; i < n; ++i) a[i] = {input[BitReverseN(i, m)], 0.0f};
  for (uint32_t len = 2; len <= n; len <<= 1) {
    for (uint32_t start = 0; start < n; start += len) {
      for (uint32_t j = 0; j < len / 2; ++j) {
        Complex t = ComplexMul(w[j * (n / len)], a[start + j + len / 2]);
        Complex u = a[start + j];
        a[start + j] = ComplexAdd(u, t);
        a[start + j + len / 2] = ComplexSub(u, t);
      }
    }
  }
  return a;
}

}  // namespace

TEST(Complex, ArgumentQuadrants) {
  EXPECT_FLOAT_EQ(ComplexArg({1, 0}), 0.0f);
  EXPECT_FLOAT_EQ(ComplexArg({0, -1}), 3 * kPi / 2);
  EXPECT_FLOAT_EQ(ComplexArg({1, -1}), 7 * kPi / 4);
  EXPECT_FLOAT_EQ(ComplexArg({-1, -1}), 5 * kPi / 4);
  EXPECT_EQ(ComplexArg({0, 0}), 0.0f);
}

TEST(Complex, Arithmetic) {
  Complex a{1, 2}, b{3, -4};
  Complex p = ComplexMul(a, b);  // (1 + 2i)(3 - 4i) = 11 + 2i
  EXPECT_EQ(p.re, 11);
  EXPECT_EQ(p.im, 2);
  Complex q = ComplexDiv(p, b);
  EXPECT_FLOAT_EQ(q.re, 1);
  EXPECT_FLOAT_EQ(q.im, 2);
  Complex r = ComplexDivReal({6, 9}, {3, 100});  // imaginary part of b ignored
  EXPECT_FLOAT_EQ(r.re, 2);
  EXPECT_FLOAT_EQ(r.im, 3);
  EXPECT_NEAR(ComplexPolarIm({2, kPi / 6}), 1.0f, 1e-6f);

  const float inf = std::numeric_limits<float>::infinity();
  Complex z = ComplexScale(0.0f, {inf, std::nanf("")});
  EXPECT_EQ(z.re, 0.0f);
  EXPECT_EQ(z.im, 0.0f);
}

TEST(Complex, BitReversals) {
  EXPECT_EQ(BitReverse64(1), 1ull << 63);
  EXPECT_EQ(BitReverse64(0x0123456789ABCDEFull), 0xF7B3D591E6A2C480ull);
  EXPECT_EQ(BitReverseN(1, 4), 8u);
  EXPECT_EQ(BitReverseN(0xFFFFFFF2u, 1), 0u);  // only bit 0 counts
  EXPECT_EQ(BitReverseN(1, 32), 0x80000000u);
  EXPECT_EQ(BitReverseN(0xFFu, 0), 0u);  // no shift by the full width
}

TEST(Complex, TwiddleFactor) {
  Complex t = TwiddleFactor(4, 16);
  EXPECT_NEAR(t.re, 0.0f, 1e-7f);
  EXPECT_FLOAT_EQ(t.im, 1.0f);
  t = TwiddleFactor(-4, 16);
  EXPECT_FLOAT_EQ(t.im, -1.0f);
  t = TwiddleFactor(5, 0);
  EXPECT_EQ(t.re, 1.0f);
  EXPECT_EQ(t.im, 0.0f);
}

TEST(Complex, FftOfKnownSignals) {
  const int n = 16;
  // A unit impulse has a flat spectrum.
  std::vector<float> impulse(n, 0.0f);
  impulse[0] = 1.0f;
  for (const Complex& c : Fft(impulse)) {
    EXPECT_NEAR(c.re, 1.0f, 1e-6f);
    EXPECT_NEAR(c.im, 0.0f, 1e-6f);
  }
  // A cosine of 3 cycles lands in bins 3 and 13 with magnitude n / 2.
  std::vector<float> wave(n);
  for (int i = 0; i < n; ++i) wave[i] = std::cos(2.0 * M_PI * 3 * i / n);
  std::vector<Complex> spectrum = Fft(wave);
  for (int k = 0; k < n; ++k) {
    float expected = (k == 3 || k == 13) ? 8.0f : 0.0f;
    EXPECT_NEAR(ComplexAbs(spectrum[k]), expected, 1e-4f) << "bin " << k;
  }
  // A sine of 1 cycle: bin 1 is -i n/2 with these rotation factors.
  for (int i = 0; i < n; ++i) wave[i] = std::sin(2.0 * M_PI * i / n);
  spectrum = Fft(wave);
  EXPECT_NEAR(spectrum[1].re, 0.0f, 1e-5f);
  EXPECT_NEAR(spectrum[1].im, -8.0f, 1e-5f);
}
