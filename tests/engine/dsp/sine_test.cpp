// The row sine: every lane must hold std::sin's exact bits, whichever way
// the row computes it.
#include "engine/dsp/sine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace Tarvelo {
namespace {

uint32_t BitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float FromBits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// The library's sine of a, never folded by the compiler into its own
// (correctly rounded) sine of a known constant.
float LibrarySine(float a) {
  volatile float v = a;
  return std::sin(v);
}

// The row over angles in rows of `lanes`, the last one shorter; returns
// how many lanes differ from LibrarySine and reports the first.
int64_t Mismatches(const std::vector<float>& angles, int32_t lanes) {
  std::vector<float> got(angles.size());
  for (size_t k = 0; k < angles.size(); k += lanes) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(lanes, angles.size() - k));
    SineRow(angles.data() + k, got.data() + k, n);
  }
  int64_t bad = 0;
  for (size_t k = 0; k < angles.size(); ++k) {
    const float want = LibrarySine(angles[k]);
    if (BitsOf(got[k]) == BitsOf(want)) continue;
    if (bad++ == 0)
      ADD_FAILURE() << "sine of " << std::hexfloat << angles[k] << ": " << got[k] << ", library " << want;
  }
  return bad;
}

// Every float from 0 to just past 2 pi whose bit pattern is a multiple of
// step from 0 (and its negative).
std::vector<float> SampleOfTheCycle(uint32_t step, uint32_t offset) {
  std::vector<float> out;
  const uint32_t last = BitsOf(6.2832f);
  for (uint64_t u = offset; u <= last; u += step) {
    out.push_back(FromBits(static_cast<uint32_t>(u)));
    out.push_back(-FromBits(static_cast<uint32_t>(u)));
  }
  return out;
}

TEST(SineRow, EqualsTheLibraryOnADenseSampleOfTheCycle) {
  // Every 251st float, in rows of the Oscillator's widths and odd ones.
  const std::vector<float> angles = SampleOfTheCycle(251, 0);
  EXPECT_EQ(Mismatches(angles, 32), 0);
  EXPECT_EQ(Mismatches(SampleOfTheCycle(1009, 7), 8), 0);
  EXPECT_EQ(Mismatches(SampleOfTheCycle(4099, 3), 7), 0);
  // The angles the Oscillator makes of its position in the cycle.
  std::vector<float> oscillator;
  for (int32_t i = 0; i < 1 << 16; ++i)
    oscillator.push_back(static_cast<float>(static_cast<double>(i / 65536.0f) * 6.283185307179586));
  EXPECT_EQ(Mismatches(oscillator, 16), 0);
}

TEST(SineRow, EqualsTheLibraryAtEdgesAndSpecialValues) {
  const float pi = 3.14159265f;
  std::vector<float> angles;
  for (float a : {0.0f, pi / 4, pi / 2, 0.75f, pi, 3 * pi / 2, 2 * pi, 6.2832f, 0x1p-12f, 0x1p-13f, 119.0f, 120.0f,
                  120.5f, 1000.0f, 1.0e30f, FLT_MAX, FLT_MIN, 1.0e-40f, std::numeric_limits<float>::denorm_min()}) {
    for (float s : {a, std::nextafter(a, 0.0f), std::nextafter(a, INFINITY)}) {
      angles.push_back(s);
      angles.push_back(-s);
    }
  }
  angles.push_back(INFINITY);
  angles.push_back(-INFINITY);
  angles.push_back(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(Mismatches(angles, 32), 0);
  EXPECT_EQ(Mismatches(angles, 5), 0);
  EXPECT_EQ(Mismatches(angles, 1), 0);

  // In place, as the Oscillator calls it.
  std::vector<float> row(angles.begin(), angles.begin() + 32);
  SineRow(row.data(), row.data(), 32);
  for (int32_t k = 0; k < 32; ++k) EXPECT_EQ(BitsOf(row[k]), BitsOf(LibrarySine(angles[k]))) << angles[k];
}

// A row that is right to within a rounding: the correctly rounded sine.
void RoundedDoubleSine(const float* angle, float* out, int32_t lanes) {
  for (int32_t k = 0; k < lanes; ++k) out[k] = static_cast<float>(std::sin(static_cast<double>(angle[k])));
}

// The library's sine but one lane a unit off.
void OneLaneOff(const float* angle, float* out, int32_t lanes) {
  for (int32_t k = 0; k < lanes; ++k) out[k] = LibrarySine(angle[k]);
  if (lanes > 100) out[100] = std::nextafter(out[100], INFINITY);
}

TEST(SineRow, StartUpCheckTakesOnlyTheLibrarysBits) {
  EXPECT_TRUE(SineRowAgrees(SineRow));
  EXPECT_FALSE(SineRowAgrees(RoundedDoubleSine));
  EXPECT_FALSE(SineRowAgrees(OneLaneOff));
  RecordProperty("side_by_side", SineRowSideBySide() ? "yes" : "no");
}

// Every float of magnitude below 128 with both signs (about 2.2e9 values):
// the whole cycle, and every angle the row reduces itself. Too slow for the
// Debug build: run it in an optimized one with
// --gtest_also_run_disabled_tests --gtest_filter='SineRow.DISABLED_*'.
TEST(SineRow, DISABLED_EqualsTheLibraryOnEveryFloatBelow128) {
  constexpr int32_t kLanes = 4092;  // 511 steps of eight and one of four
  const uint32_t last = BitsOf(128.0f);
  float angles[kLanes];
  float got[kLanes];
  int64_t bad = 0;
  int64_t checked = 0;
  for (uint32_t sign : {0u, 0x80000000u}) {
    for (uint64_t u = 0; u <= last; u += kLanes) {
      const int32_t n = static_cast<int32_t>(std::min<uint64_t>(kLanes, last + 1 - u));
      for (int32_t k = 0; k < n; ++k) angles[k] = FromBits(static_cast<uint32_t>(u + k) | sign);
      SineRow(angles, got, n);
      for (int32_t k = 0; k < n; ++k) {
        const float want = std::sin(angles[k]);
        if (BitsOf(got[k]) != BitsOf(want) && bad++ < 10)
          ADD_FAILURE() << "sine of " << std::hexfloat << angles[k] << ": " << got[k] << ", library " << want;
      }
      checked += n;
    }
  }
  EXPECT_EQ(bad, 0);
  RecordProperty("checked", std::to_string(checked));
  RecordProperty("side_by_side", SineRowSideBySide() ? "yes" : "no");
  std::printf("checked %lld angles, %lld differ, side by side: %s\n", static_cast<long long>(checked),
              static_cast<long long>(bad), SineRowSideBySide() ? "yes" : "no");
}

}  // namespace
}  // namespace Tarvelo
