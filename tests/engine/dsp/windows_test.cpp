// Window functions, the periodic-sinc prototype and the FIR kernel design:
// values at the ends and the centre, symmetry, the kernel's sum and response,
// the high-pass mirror, the gain sum, and filters taken from the library.
#include "engine/dsp/windows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "app/state/wave_library.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"

namespace Tarvelo {
namespace {

std::vector<float> Window(WindowFunction f, int32_t n) {
  std::vector<float> out(static_cast<size_t>(n) + 1, -7.0f);
  EXPECT_EQ(f(out.data(), n, 0.0f, 0.0f), 0);
  EXPECT_EQ(out[n], -7.0f);  // nothing written past n
  out.pop_back();
  return out;
}

// Gain of a kernel at a normalized frequency (0 = DC, 0.5 = Nyquist).
double Response(const float* k, int32_t n, double f) {
  double re = 0.0, im = 0.0;
  for (int32_t i = 0; i < n; ++i) {
    re += k[i] * std::cos(2.0 * M_PI * f * i);
    im -= k[i] * std::sin(2.0 * M_PI * f * i);
  }
  return std::hypot(re, im);
}

class FirDesignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    ASSERT_EQ(WaveLibraryListCreate(FilterLibrary), 0);
    saved_ = FirDesign;
    FirDesign = FirDesignRecord{};
    FirDesign.FirSourceEntry = -1;
  }
  void TearDown() override {
    FirDesign = saved_;
    WaveLibraryListFree(FilterLibrary);
    Tarvelo::close();
  }
  // A loaded filter of the given taps in the filter library.
  int32_t AddFilter(const std::vector<float>& taps) {
    int32_t i = AddLibraryPlaceholder(FilterLibrary, "\\f", "k.wav");
    WaveLibraryEntry* e = FilterLibrary.entries[i];
    e->LoadState = kWaveDataHeld;
    e->Sound.samples = static_cast<float*>(std::malloc(taps.size() * 4 + 4));
    for (size_t t = 0; t < taps.size(); ++t) e->Sound.samples[t] = taps[t];
    e->Sound.frameCount = static_cast<uint32_t>(taps.size());
    e->Sound.dataSize = static_cast<uint32_t>(taps.size() * 4);
    return i;
  }
  FirDesignRecord saved_{};
};

TEST(WindowTest, EndsAndCentres) {
  EXPECT_EQ(Window(WindowHanning, 3), (std::vector<float>{0.0f, 1.0f, 0.0f}));
  EXPECT_EQ(Window(WindowTriangular, 5), (std::vector<float>{0.0f, 0.5f, 1.0f, 0.5f, 0.0f}));
  EXPECT_EQ(Window(WindowSquare, 4), (std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f}));
  const std::vector<float> sine = Window(WindowSine, 9);
  EXPECT_EQ(sine[0], 0.0f);
  EXPECT_EQ(sine[4], 1.0f);
  EXPECT_NEAR(sine[8], 0.0f, 1e-7);
  const std::vector<float> hamming = Window(WindowHamming, 9);
  EXPECT_FLOAT_EQ(hamming[0], 0.08f);
  EXPECT_FLOAT_EQ(hamming[8], 0.08f);
  EXPECT_FLOAT_EQ(hamming[4], 1.0f);
  // The cosine sums: ends at a0 - a1 + a2 - a3, centre at their total.
  struct Case {
    WindowFunction f;
    double a0, a1, a2, a3;
  };
  for (const Case& c : {Case{WindowBlackman, 0.42, 0.5, 0.08, 0.0},
                        Case{WindowNuttall, 0.355768, 0.487396, 0.144232, 0.012604},
                        Case{WindowBlackmanNuttall, 0.3635819, 0.4891775, 0.1365995, 0.0106411},
                        Case{WindowBlackmanHarris, 0.35875, 0.48829, 0.14128, 0.01168}}) {
    const std::vector<float> w = Window(c.f, 33);
    EXPECT_NEAR(w[0], c.a0 - c.a1 + c.a2 - c.a3, 1e-6);
    EXPECT_NEAR(w[32], c.a0 - c.a1 + c.a2 - c.a3, 1e-6);
    EXPECT_NEAR(w[16], c.a0 + c.a1 + c.a2 + c.a3, 1e-6);
    for (int32_t i = 0; i < 16; ++i) {
      EXPECT_NEAR(w[i], w[32 - i], 2e-6) << i;
      EXPECT_LE(w[i], w[i + 1] + 1e-6) << i;  // rising to the centre
    }
  }
}

TEST(WindowTest, PeriodicSinc) {
  std::vector<float> out(16);
  // Width 0 (or NaN) is width 1: every tap 1.0.
  for (float w : {0.0f, std::nanf("")}) {
    ASSERT_EQ(DirichletKernel(out.data(), 7, w), 0);
    for (int32_t i = 0; i < 7; ++i) EXPECT_EQ(out[i], 1.0f) << i;
  }
  ASSERT_EQ(DirichletKernel(out.data(), 6, 1.0f), 0);
  for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(out[i], 1.0f) << i;
  // Odd n: the centre exactly 1, symmetric around it, the known formula.
  ASSERT_EQ(DirichletKernel(out.data(), 9, 3.0f), 0);
  EXPECT_EQ(out[4], 1.0f);
  for (int32_t i = 0; i < 4; ++i) EXPECT_NEAR(out[i], out[8 - i], 1e-6) << i;
  const double k = 1.0;
  EXPECT_NEAR(out[5], (1.0 / 3.0) * std::sin(M_PI * 3.0 * k / 9.0) / std::sin(M_PI * k / 9.0), 1e-6);
  // Even n: no tap on the centre, so none is 1 once the lobe narrows.
  ASSERT_EQ(DirichletKernel(out.data(), 8, 3.0f), 0);
  for (int32_t i = 0; i < 8; ++i) EXPECT_LT(out[i], 1.0f) << i;
  for (int32_t i = 0; i < 4; ++i) EXPECT_NEAR(out[i], out[7 - i], 1e-6) << i;
  // A width beyond n is n.
  std::vector<float> a(5), b(5);
  DirichletKernel(a.data(), 5, 50.0f);
  DirichletKernel(b.data(), 5, 5.0f);
  EXPECT_EQ(a, b);
}

TEST_F(FirDesignTest, LowPassPrototypeAndItsHighPassMirror) {
  FirDesign.FirTapCount = 31;
  FirDesign.FirWidth = 4;
  FirDesign.FirWindowIndex = 4;  // Hamming
  BuildFirKernel(-1);
  const float* k = FirDesign.FirKernel;
  for (int32_t i = 0; i < 15; ++i) EXPECT_NEAR(k[i], k[30 - i], 1e-6) << i;
  EXPECT_EQ(k[15], 1.0f);
  EXPECT_EQ(k[31], 0.0f);
  EXPECT_FLOAT_EQ(k[0], 0.08f * FirDesign.FirSource[0]);
  // A low pass: the DC gain is the sum of the taps, the Nyquist gain far below.
  double sum = 0.0;
  for (int32_t i = 0; i < 31; ++i) sum += k[i];
  EXPECT_NEAR(Response(k, 31, 0.0), std::fabs(sum), 1e-4);
  EXPECT_LT(Response(k, 31, 0.5), 0.01 * Response(k, 31, 0.0));
  const std::vector<float> low(k, k + 31);

  // High pass: odd taps change sign, even ones do not; mode 0 keeps the source.
  FirDesign.FirHighPass = -1;
  BuildFirKernel(0);
  for (int32_t i = 0; i < 31; ++i) EXPECT_EQ(k[i], (i % 2) ? -low[i] : low[i]) << i;
  EXPECT_NEAR(Response(k, 31, 0.5), Response(low.data(), 31, 0.0), 1e-4);
  EXPECT_LT(Response(k, 31, 0.0), 0.01 * Response(k, 31, 0.5));
}

TEST_F(FirDesignTest, GainSumRoundsAfterEveryTap) {
  const int32_t entry = AddFilter({0.1f, 0.1f, 0.1f, 0.1f});
  FirDesign.FirSourceEntry = entry;
  FirDesign.FirTapCount = 4;
  BuildFirKernel(-1);
  // Four taps of 0.1 never lift the rounded sum off 0: it becomes 1, and
  // the filter's value 1 - 1/1 = 0.
  EXPECT_EQ(FirDesign.FirGainSum, 1);
  EXPECT_EQ(FilterLibrary.entries[entry]->Pitch[0], 0.0f);

  FirDesign.FirSourceEntry = AddFilter(std::vector<float>(128, 1.0f));
  FirDesign.FirTapCount = 128;
  BuildFirKernel(-1);
  EXPECT_EQ(FirDesign.FirGainSum, 100);
  EXPECT_FLOAT_EQ(FilterLibrary.entries[1]->Pitch[0], 0.99f);

  // Taps of 0.6 each round the sum up by one.
  FirDesign.FirSourceEntry = AddFilter({0.6f, 0.6f, 0.6f});
  FirDesign.FirTapCount = 3;
  BuildFirKernel(-1);
  EXPECT_EQ(FirDesign.FirGainSum, 3);
  EXPECT_FLOAT_EQ(FilterLibrary.entries[2]->Pitch[0], 1.0f - 1.0f / 3.0f);

  // Taps of a hostile file no integer sum holds (huge, infinite, not a
  // number) give the most attenuation, 100; the filter keeps them as loaded.
  for (const float tap : {1.4e32f, -1.4e32f, INFINITY, NAN}) {
    SCOPED_TRACE(tap);
    const int32_t entry = AddFilter({0.5f, tap, 0.5f});
    FirDesign.FirSourceEntry = entry;
    BuildFirKernel(-1);
    EXPECT_EQ(FirDesign.FirGainSum, 100);
    EXPECT_FLOAT_EQ(FilterLibrary.entries[entry]->Pitch[0], 0.99f);
    const float kept = FilterLibrary.entries[entry]->Sound.samples[1];
    EXPECT_TRUE(kept == tap || (std::isnan(kept) && std::isnan(tap)));
  }
}

TEST_F(FirDesignTest, FiltersFromTheLibraryAndTheirOffset) {
  std::vector<float> twenty(20);
  for (int32_t i = 0; i < 20; ++i) twenty[i] = 0.01f * (i + 1);
  FirDesign.FirSourceEntry = AddFilter(twenty);
  FirDesign.FirTapCount = 32;
  FirDesign.FirOffset = 5;
  BuildFirKernel(-1);
  EXPECT_EQ(FirDesign.FirOffset, 0);
  for (int32_t i = 0; i < 20; ++i) EXPECT_EQ(FirDesign.FirSource[i], twenty[i]);
  for (int32_t i = 20; i < 129; ++i) EXPECT_EQ(FirDesign.FirSource[i], 0.0f);
  EXPECT_EQ(FirDesign.FirKernel[19], twenty[19]);  // square window

  std::vector<float> hundred(100);
  for (int32_t i = 0; i < 100; ++i) hundred[i] = static_cast<float>(i);
  FirDesign.FirSourceEntry = AddFilter(hundred);
  FirDesign.FirOffset = 90;
  BuildFirKernel(-1);
  EXPECT_EQ(FirDesign.FirOffset, 68);
  EXPECT_EQ(FirDesign.FirKernel[0], 68.0f);
  EXPECT_EQ(FirDesign.FirKernel[31], 99.0f);

  // Mode 0 keeps source and offset: only the window changes the kernel.
  FirDesign.FirWindowIndex = 3;  // Hanning: ends at 0
  BuildFirKernel(0);
  EXPECT_EQ(FirDesign.FirOffset, 68);
  EXPECT_EQ(FirDesign.FirKernel[0], 0.0f);
  EXPECT_NEAR(FirDesign.FirKernel[16], FirDesign.FirWindow[16] * 84.0f, 1e-3);

  // A filter longer than the arrays gives its first 128 frames.
  std::vector<float> long_(300, 0.5f);
  long_[127] = 0.75f;
  FirDesign.FirSourceEntry = AddFilter(long_);
  FirDesign.FirWindowIndex = 0;
  FirDesign.FirTapCount = 128;
  FirDesign.FirOffset = 100;
  BuildFirKernel(-1);
  EXPECT_EQ(FirDesign.FirOffset, 0);
  EXPECT_EQ(FirDesign.FirKernel[127], 0.75f);
}

TEST_F(FirDesignTest, HostileDesignValuesStayInsideTheArrays) {
  // An entry that does not exist, or holds no sound, gives the prototype.
  FirDesign.FirSourceEntry = 5;
  FirDesign.FirTapCount = 9;
  FirDesign.FirWidth = 1;
  FirDesign.FirOffset = -4;
  BuildFirKernel(-1);
  EXPECT_EQ(FirDesign.FirOffset, 0);
  EXPECT_EQ(FirDesign.FirKernel[8], 1.0f);
  EXPECT_EQ(FirDesign.FirGainSum, 9);
  AddLibraryPlaceholder(FilterLibrary, "\\f", "gone.wav");
  FirDesign.FirSourceEntry = 0;
  BuildFirKernel(-1);
  EXPECT_EQ(FirDesign.FirKernel[4], 1.0f);
  EXPECT_EQ(FilterLibrary.entries[0]->Pitch[0], 1.0f - 1.0f / 9.0f);

  // Too many taps, a window index out of the table, a huge offset in mode 0.
  FirDesign.FirSourceEntry = -1;
  FirDesign.FirTapCount = 500;
  FirDesign.FirWindowIndex = 42;
  BuildFirKernel(-1);
  EXPECT_EQ(FirDesign.FirKernel[127], 1.0f);
  FirDesign.FirOffset = 1000;
  BuildFirKernel(0);
  EXPECT_EQ(FirDesign.FirOffset, 0);
}

}  // namespace
}  // namespace Tarvelo
