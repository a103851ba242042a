#include "basics/complex.h"

#include <cmath>
#include <limits>

namespace QUARLE_BASICS {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
}  // namespace

float ComplexArg(const Complex& z) {
  if (z.re == 0.0f && z.im == 0.0f) return 0.0f;
  // A zero real part is a quotient of +-infinity, whose arctangent is +-pi/2.
  float q = z.re == 0.0f ? std::copysign(std::numeric_limits<float>::infinity(), z.im)
                         : z.im / z.re;
  float a = std::atan(q);
  if (z.re >= 0.0f) {
    if (z.im >= 0.0f) return a;
    return static_cast<float>(static_cast<double>(a) + kTwoPi);
  }
  return static_cast<float>(static_cast<double>(a) + kPi);
}

float ComplexAbs(const Complex& z) { return std::sqrt(z.re * z.re + z.im * z.im); }

Complex ComplexAdd(const Complex& a, const Complex& b) { return {a.re + b.re, a.im + b.im}; }

Complex ComplexSub(const Complex& a, const Complex& b) { return {a.re - b.re, a.im - b.im}; }

Complex ComplexMul(const Complex& a, const Complex& b) {
  return {a.re * b.re - a.im * b.im, a.im * b.re + a.re * b.im};
}

Complex ComplexScale(float k, const Complex& z) {
  if (k == 0.0f) return {0.0f, 0.0f};
  return {k * z.re, k * z.im};
}

Complex ComplexDiv(const Complex& a, const Complex& b) {
  float d = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}

Complex ComplexDivReal(const Complex& a, const Complex& b) {
  float d = b.re * b.re;
  return {a.re * b.re / d, a.im * b.re / d};
}

float ComplexPolarRe(const Complex& z) { return z.re * std::cos(z.im); }

float ComplexPolarIm(const Complex& z) { return z.re * std::sin(z.im); }

uint64_t BitReverse64(uint64_t x) {
  x = (x >> 32) | (x << 32);
  x = ((x >> 16) & 0x0000FFFF0000FFFFull) | ((x & 0x0000FFFF0000FFFFull) << 16);
  x = ((x >> 8) & 0x00FF00FF00FF00FFull) | ((x & 0x00FF00FF00FF00FFull) << 8);
  x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
  x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
  x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
  return x;
}

uint32_t BitReverseN(uint32_t x, uint32_t n) {
  x = (x >> 16) | (x << 16);
  x = ((x >> 8) & 0x00FF00FFu) | ((x & 0x00FF00FFu) << 8);
  x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
  x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
  x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
  // Shifted as 64 bits so that n = 0 (a shift by 32) gives 0 rather than
  // an undefined shift of a 32-bit word.
  return static_cast<uint32_t>(static_cast<uint64_t>(x) >> ((32u - n) & 63u));
}

Complex TwiddleFactor(int64_t k, int64_t n) {
  if (n == 0) return {1.0f, 0.0f};
  double angle = kTwoPi * static_cast<double>(k) / static_cast<double>(n);
  return {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
}

}  // namespace QUARLE_BASICS
