#include "audio/spectrum.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <random>
#include <thread>
#include <vector>

#include "basics/complex.h"

namespace {

using namespace QUARLE_AUDIO;
using QUARLE_BASICS::Complex;

constexpr double kPi = 3.14159265358979323846;

std::vector<float> Sine(int frames, double hz, double rate, int channels = 1, int channel = 0,
                        double amplitude = 0.8) {
  std::vector<float> v(size_t(frames) * channels, 0.0f);
  for (int i = 0; i < frames; ++i)
    v[size_t(i) * channels + channel] = float(amplitude * std::sin(2 * kPi * hz * i / rate));
  return v;
}

TEST(Decibels, FloorsAndKnownValues) {
  Complex zero{0.0f, 0.0f}, one{1.0f, 0.0f}, tiny{1e-10f, 0.0f};
  EXPECT_EQ(PowerToDb(&zero), -140.0f);
  EXPECT_EQ(PowerToDb(&one), 0.0f);
  EXPECT_LT(PowerToDb(&tiny), -140.0f);  // no floor for non-zero powers
  EXPECT_NEAR(AmplitudeToDb(0.1f), -20.0f, 1e-4);
  EXPECT_EQ(AmplitudeToDb(0.0f), -140.0f);
  EXPECT_EQ(AmplitudeToDb(-0.5f), -140.0f);  // no NaN from a bad caller
  Complex half{0.3f, 0.4f};
  EXPECT_NEAR(PowerToDb(&half), 20 * std::log10(0.5), 1e-4);
}

TEST(Spectrum, SizeRules) {
  std::vector<float> in(2048, 0.25f);
  std::vector<Complex> out(1024, Complex{5.0f, 5.0f});
  // Count, padding, channel: no power of two, fewer than 4 points, a negative
  // count, no such channel.
  const int32_t refused[][3] = {{1000, 0, 0}, {2, 0, 0}, {1, 1, 0}, {-4, 8, 0}, {4, 0, 3}};
  for (const auto& r : refused)
    EXPECT_EQ(SpectrumOfBlock(in.data(), out.data(), 0, r[0], r[1], r[2]), -19) << r[0] << " " << r[1];
  EXPECT_EQ(out[0].re, 5.0f);  // nothing written
  EXPECT_EQ(SpectrumOfBlock(nullptr, out.data(), 0, 4, 0, 0), -19);
  EXPECT_EQ(SpectrumOfBlock(in.data(), out.data(), 0, 1000, 24, 0), 0);
  // 1000 values of 0.25 and 24 zeros: the mean over 1024 points.
  EXPECT_FLOAT_EQ(out[0].re, 0.25f * 1000 / 1024);
  EXPECT_EQ(SpectrumAnalyse(in.data(), out.data(), 0, 500, 0), -19);
}

TEST(Spectrum, MatchesADirectTransform) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  const int n = 256, count = 200;
  std::vector<float> in(size_t(count) + 10);
  for (float& x : in) x = d(rng);
  std::vector<Complex> out(n);
  ASSERT_EQ(SpectrumOfBlock(in.data(), out.data(), 10, count, n - count, 0), 0);
  for (int k = 0; k < n; ++k) {
    std::complex<double> s = 0;
    for (int j = 0; j < count; ++j) s += double(in[10 + j]) * std::polar(1.0, -2 * kPi * k * j / n);
    if (k == 0) s /= n;
    EXPECT_NEAR(out[k].re, s.real(), 2e-4) << k;
    EXPECT_NEAR(out[k].im, s.imag(), 2e-4) << k;
  }
}

TEST(Spectrum, ChannelsOfAStereoBlock) {
  const int frames = 4096;
  std::vector<float> st = Sine(frames, 1000, 48000, 2, 0);
  std::vector<float> right = Sine(frames, 3000, 48000, 2, 1);
  for (size_t i = 1; i < st.size(); i += 2) st[i] = right[i];

  std::vector<Complex> l(frames), r(frames), both(2 * frames);
  ASSERT_EQ(SpectrumOfBlock(st.data(), l.data(), 0, frames, 0, 1), 0);
  ASSERT_EQ(SpectrumOfBlock(st.data(), r.data(), 0, frames, 0, 2), 0);
  ASSERT_EQ(SpectrumAnalyse(st.data(), both.data(), 0, frames, 0), 0);
  for (int i = 0; i < frames; ++i) {
    EXPECT_EQ(both[i].re, l[i].re);
    EXPECT_EQ(both[i].im, l[i].im);
    EXPECT_EQ(both[frames + i].re, r[i].re);
    EXPECT_EQ(both[frames + i].im, r[i].im);
  }
  EXPECT_NEAR(SpectrumPeakFrequency(l.data(), frames, 48000.0f, 0), 1000.0f, 3.0f);
  EXPECT_NEAR(SpectrumPeakFrequency(r.data(), frames, 48000.0f, 0), 3000.0f, 3.0f);
}

TEST(Spectrum, PeakOfAKnownSine) {
  for (double hz : {220.0, 1234.5}) {
    const int n = 8192;
    std::vector<float> in = Sine(6000, hz, 44100);
    std::vector<Complex> out(n);
    ASSERT_EQ(SpectrumOfBlock(in.data(), out.data(), 0, 6000, n - 6000, 0), 0);
    EXPECT_NEAR(SpectrumPeakFrequency(out.data(), n, 44100.0f, 0), hz, 44100.0 / n) << hz;
  }
}

TEST(Spectrum, SilenceHasNoPeak) {
  std::vector<float> in(1024, 0.0f);
  std::vector<Complex> out(1024);
  ASSERT_EQ(SpectrumOfBlock(in.data(), out.data(), 0, 1024, 0, 0), 0);
  float f = SpectrumPeakFrequency(out.data(), 1024, 48000.0f, 0);
  EXPECT_EQ(f, 0.0f);
  EXPECT_EQ(SpectrumPeakFrequency(nullptr, 1024, 48000.0f, 0), 0.0f);
  EXPECT_EQ(SpectrumPeakFrequency(out.data(), 2, 48000.0f, 0), 0.0f);
  // A flat spectrum: the refinement has nothing to divide by.
  std::vector<Complex> flat(64, Complex{1.0f, 0.0f});
  EXPECT_FLOAT_EQ(SpectrumPeakFrequency(flat.data(), 64, 6400.0f, 0), 100.0f);
}

TEST(Spectrum, TransformsOfDifferentSizesOnSeveralThreads) {
  // Each thread keeps changing the shared rotation table's size under the
  // others; every result must still be the single-threaded one.
  const std::vector<int> sizes = {64, 128, 256, 512};
  std::vector<float> in = Sine(512, 3000, 48000);
  std::vector<std::vector<Complex>> want;
  for (int n : sizes) {
    want.emplace_back(n);
    ASSERT_EQ(SpectrumOfBlock(in.data(), want.back().data(), 0, n, 0, 0), 0);
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < sizes.size(); ++t) {
    threads.emplace_back([&, t] {
      std::vector<Complex> out(sizes[t]);
      for (int rep = 0; rep < 300; ++rep) {
        if (SpectrumOfBlock(in.data(), out.data(), 0, sizes[t], 0, 0) != 0) ++mismatches;
        for (int i = 0; i < sizes[t]; ++i)
          if (out[i].re != want[t][i].re || out[i].im != want[t][i].im) {
            ++mismatches;
            break;
          }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
