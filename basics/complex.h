// Single-precision complex arithmetic, bit reversals and the rotation factor
// on which the spectrum analysis rests. Pure functions: no state, no locks.
#pragma once
#include <cstdint>

namespace QUARLE_BASICS {

// one thread: value
struct Complex {
  float re = 0.0f;
  float im = 0.0f;
};

// Argument in [0, 2 pi); the origin gives 0.
float ComplexArg(const Complex& z);
float ComplexAbs(const Complex& z);
Complex ComplexAdd(const Complex& a, const Complex& b);
Complex ComplexSub(const Complex& a, const Complex& b);
Complex ComplexMul(const Complex& a, const Complex& b);
// Exactly (0, 0) when k is 0, even when z holds an infinity or NaN.
Complex ComplexScale(float k, const Complex& z);
Complex ComplexDiv(const Complex& a, const Complex& b);
// a divided by the real part of b only.
Complex ComplexDivReal(const Complex& a, const Complex& b);
// z read as polar: re is the modulus, im the angle in radians.
float ComplexPolarRe(const Complex& z);
float ComplexPolarIm(const Complex& z);

uint64_t BitReverse64(uint64_t x);
// The low n bits of x reversed, as a number below 2^n (1 <= n <= 32).
uint32_t BitReverseN(uint32_t x, uint32_t n);
// (cos 2 pi k / n, sin 2 pi k / n), computed in double; n = 0 gives (1, 0).
Complex TwiddleFactor(int64_t k, int64_t n);

}  // namespace QUARLE_BASICS
