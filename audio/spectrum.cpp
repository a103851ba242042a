#include "audio/spectrum.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "basics/complex.h"
#include "basics/errors.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

namespace {

using Twiddles = std::vector<Complex>;

// The shared rotation table of the last size asked for. Each FFT holds its own
// reference to the table it started with, so another thread that rebuilds it
// for another size never pulls it from under a running transform.
std::mutex g_twiddleLock;
// one thread: holder of g_twiddleLock
std::shared_ptr<const Twiddles> g_twiddles;

std::shared_ptr<const Twiddles> TwiddlesFor(uint32_t n) {
  {
    std::lock_guard<std::mutex> lock(g_twiddleLock);
    if (g_twiddles && g_twiddles->size() == n) return g_twiddles;
  }
  std::shared_ptr<Twiddles> table;
  try {
    table = std::make_shared<Twiddles>(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  for (uint32_t k = 0; k < n; ++k) (*table)[k] = TwiddleFactor(-int64_t(k), int64_t(n));
  std::lock_guard<std::mutex> lock(g_twiddleLock);
  g_twiddles = table;
  return table;
}

// 0 and N = count + padZeros when N is a power of two of at least 4; else -19.
int32_t CheckSize(const float* input, const Complex* output, int64_t offset, int64_t count,
                  int64_t padZeros, uint32_t& n, uint32_t& log2n) {
  if (!input || !output || offset < 0 || count < 0 || padZeros < 0) return -kErrBadParameter;
  int64_t total = count + padZeros;
  if (total < 4 || total > int64_t(0x80000000ll) || (total & (total - 1)) != 0)
    return -kErrBadParameter;
  n = static_cast<uint32_t>(total);
  log2n = 0;
  while ((uint32_t(1) << log2n) < n) ++log2n;
  return 0;
}

// Radix-2 decimation in time, in place over bit-reversed input.
void Butterflies(Complex* a, uint32_t n, const Twiddles& w) {
  const uint32_t half = n / 2;
  uint32_t span = 1, step = half;
  while (step != 0) {
    const uint64_t stop = std::min<uint64_t>(n, uint64_t(n) + half - 2ull * span);
    uint32_t t = 0;
    for (uint64_t i = 0; i < stop; ++i) {
      Complex x = ComplexMul(a[i + span], w[t]);
      a[i + span] = ComplexSub(a[i], x);
      a[i] = ComplexAdd(a[i], x);
      t += step;
      if (t > half - 1) {
        t = 0;
        i += span;
      }
    }
    step /= 2;
    span *= 2;
  }
}

void LoadReversed(const float* block, Complex* out, uint32_t n, uint32_t log2n, int64_t count,
                  int64_t stride, int64_t first) {
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t j = BitReverseN(i, log2n);
    if (int64_t(j) < count) {
      out[i].re = block[stride * j + first];
      out[i].im = 0.0f;
    } else {
      out[i] = Complex{0.0f, 0.0f};
    }
  }
}

}  // namespace

float PowerToDb(const Complex* c) {
  float p = c->re * c->re + c->im * c->im;
  if (p == 0.0f) return kSilenceDb;
  return 4.3429446f * std::log(p);
}

float AmplitudeToDb(float x) {
  // Negative input has no level; it reads as silence rather than NaN.
  if (x <= 0.0f) return kSilenceDb;
  return 8.685889f * std::log(x);
}

int32_t SpectrumOfBlock(const float* input, Complex* output, int64_t offset, int64_t count,
                        int64_t padZeros, int32_t channel) {
  uint32_t n = 0, log2n = 0;
  int32_t rc = CheckSize(input, output, offset, count, padZeros, n, log2n);
  if (rc != 0) return rc;
  if (channel < 0 || channel > 2) return -kErrBadParameter;
  std::shared_ptr<const Twiddles> w = TwiddlesFor(n);
  if (!w) return -kErrAllocation;
  const int64_t stride = channel == 0 ? 1 : 2;
  const int64_t first = channel == 0 ? 0 : channel - 1;
  LoadReversed(input + offset, output, n, log2n, count, stride, first);
  Butterflies(output, n, *w);
  output[0].re /= float(n);
  output[0].im /= float(n);
  return 0;
}

int32_t SpectrumAnalyse(const float* input, Complex* output, int64_t offset, int64_t count,
                        int64_t padZeros) {
  uint32_t n = 0, log2n = 0;
  int32_t rc = CheckSize(input, output, offset, count, padZeros, n, log2n);
  if (rc != 0) return rc;
  std::shared_ptr<const Twiddles> w = TwiddlesFor(n);
  if (!w) return -kErrAllocation;
  LoadReversed(input + offset, output, n, log2n, count, 2, 0);
  LoadReversed(input + offset, output + n, n, log2n, count, 2, 1);
  Butterflies(output, n, *w);
  Butterflies(output + n, n, *w);
  for (Complex* dc : {&output[0], &output[n]}) {
    dc->re /= float(n);
    dc->im /= float(n);
  }
  return 0;
}

float SpectrumPeakFrequency(const Complex* spectrum, int32_t n, float rate, int32_t part) {
  if (!spectrum || n < 4 || !std::isfinite(rate)) return 0.0f;
  if (part < 0) part = 0;
  if (part > 1) part = 1;
  const float binWidth = rate / float(n);
  const int32_t start = static_cast<int32_t>(std::nearbyint(double(n) * part / 2.0));
  // The search starts right after the start bin (bin 0 is the mean) and keeps
  // one bin clear of the end so that both neighbours exist.
  int64_t last = static_cast<int64_t>(std::nearbyint(n / 2.0 + start - 1));
  if (last > n - 2) last = n - 2;
  int32_t b = start + 1;
  if (b > last) return 0.0f;
  float best = ComplexAbs(spectrum[b]);
  for (int64_t i = int64_t(start) + 2; i <= last; ++i) {
    float m = ComplexAbs(spectrum[i]);
    if (m > best) {
      best = m;
      b = static_cast<int32_t>(i);
    }
  }
  if (!(best > 0.0f) || !std::isfinite(best)) return 0.0f;  // silence: no peak

  const Complex& lo = spectrum[b - 1];
  const Complex& mid = spectrum[b];
  const Complex& hi = spectrum[b + 1];
  Complex num = ComplexSub(hi, lo);
  Complex den = ComplexSub(ComplexSub(ComplexScale(2.0f, mid), lo), hi);
  float position = float(b);
  if (den.re != 0.0f || den.im != 0.0f) {
    Complex q = ComplexDiv(num, den);
    if (std::isfinite(q.re)) position = float(b) - q.re;
  }
  if (position < 0.0f) position = 0.0f;
  float f = position * binWidth;
  return std::isfinite(f) ? f : 0.0f;
}

}  // namespace QUARLE_AUDIO
