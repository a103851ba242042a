#include "basics/ratio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

using namespace QUARLE_BASICS;

namespace {

template <typename R>
std::pair<int64_t, int64_t> Parts(const R& r) {
  return {r.numerator, r.denominator};
}
std::pair<int64_t, int64_t> Frac(int64_t n, int64_t d) { return {n, d}; }

ValueRecord Fresh(float value) {
  ValueRecord r;
  ValueRecordInit(r);
  r.value = value;
  return r;
}

}  // namespace

TEST(Gcd64, FollowsTheRemainderRule) {
  EXPECT_EQ(Gcd64(12, 18), 6);
  EXPECT_EQ(Gcd64(7, 0), 7);
  EXPECT_EQ(Gcd64(-1, 2), -1);  // the sign follows the truncating remainders
  // Extreme operands neither overflow nor trap.
  EXPECT_EQ(Gcd64(INT64_MIN, -1), -1);
  EXPECT_EQ(Gcd64(INT64_MAX, INT64_MIN), -1);
  EXPECT_EQ(Gcd64(INT64_MIN, 2), 2);
}

TEST(Ratio, ReduceAddAndValue) {
  Ratio r{6, 8};
  RatioReduce(r);
  EXPECT_EQ(Parts(r), Frac(3, 4));
  EXPECT_FLOAT_EQ(RatioValue(r), 0.75f);

  Ratio sum = RatioAdd(Ratio{1, 2}, Ratio{1, 3});  // not reduced
  EXPECT_EQ(Parts(sum), Frac(5, 6));

  Ratio zero{0, 0};  // nothing to divide by: left alone
  RatioReduce(zero);
  EXPECT_EQ(Parts(zero), Frac(0, 0));

  Ratio edge{INT32_MIN, 0};  // gcd is INT32_MIN; the quotients fit
  RatioReduce(edge);
  EXPECT_EQ(Parts(edge), Frac(1, 0));

  EXPECT_TRUE(std::isinf(RatioValue(Ratio{1, 0})));

  Ratio64 big{INT64_MAX - 1, 2};  // exact, where a double quotient would round
  Ratio64Reduce(big);
  EXPECT_EQ(Parts(big), Frac((INT64_MAX - 1) / 2, 1));
}

TEST(RatioFromFloat, KnownFractionsAndEdges) {
  struct Case {
    float value, tolerance;
    int32_t numerator, denominator;
  };
  const float inf = std::numeric_limits<float>::infinity();
  for (const Case& c : {Case{0.0f, 0.1f, 0, 1}, Case{-0.25f, 0.001f, -1, 4},
                        Case{0.3f, 1.0f / 254.0f, 3, 10},
                        Case{2.5f, -1.0f, 5, 2},  // negative tolerance behaves as 0
                        Case{std::nanf(""), 0.01f, 0, 1}, Case{inf, 0.01f, INT32_MAX, 1}}) {
    const Ratio r = RatioFromFloat(c.value, c.tolerance);
    EXPECT_EQ(Parts(r), Frac(c.numerator, c.denominator)) << c.value;
  }
  // Tolerance 0 on a value no small fraction reaches: the search ends with a
  // fraction that fits and is close, instead of looping or overflowing.
  const Ratio r = RatioFromFloat(3.14159274f, 0.0f);
  EXPECT_GT(r.denominator, 0);
  EXPECT_NEAR(RatioValue(r), 3.14159274f, 1e-6f);
}

TEST(Ratio64FromDouble, PreciseFractions) {
  Ratio64 r = Ratio64FromDouble(1.0 / 3.0, 1e-12);
  EXPECT_EQ(Parts(r), Frac(1, 3));
  r = Ratio64FromDouble(-2.75, 1e-9);
  EXPECT_EQ(Parts(r), Frac(-11, 4));
  r = Ratio64FromDouble(M_PI, 0.0);
  EXPECT_GT(r.denominator, 0);
  EXPECT_NEAR(Ratio64Value(r), M_PI, 1e-13);
  r = Ratio64FromDouble(std::numeric_limits<double>::infinity(), 0.0);
  EXPECT_EQ(r.numerator, INT64_MAX);
}

TEST(RoundToDigits, Decimals) {
  EXPECT_NEAR(RoundToDigits(2.345f, 2), 2.35f, 1e-6f);
  EXPECT_EQ(RoundToDigits(2.5f, 0), 3.0f);
  EXPECT_EQ(RoundToDigits(-2.5f, 0), -2.0f);  // floor(x + 0.5)
  EXPECT_NEAR(RoundToDigits(-6.0206f, 2), -6.02f, 1e-6f);
}

TEST(ValueRecord, InitAndDecimalText) {
  ValueRecord r = Fresh(1.0f);
  EXPECT_EQ(r.denominatorLimit, 127);
  EXPECT_EQ(ValueRecordText(r), "+1");

  r.value = -0.125f;
  ASSERT_EQ(ValueRecordSet(r, kValueDecimal), 0);
  EXPECT_EQ(ValueRecordText(r), "-0.125");
  r.value = 1234567.8f;
  ValueRecordSet(r, kValueDecimal);
  EXPECT_EQ(ValueRecordText(r), "+1234568");
}

TEST(ValueRecord, FractionAndMixedForms) {
  ValueRecord r = Fresh(0.5f);
  ValueRecordSet(r, kValueFraction);
  EXPECT_EQ(ValueRecordText(r), "+1/2");
  EXPECT_FLOAT_EQ(r.tolerance, 1.0f / 254.0f);

  r = Fresh(1.5f);
  ValueRecordSet(r, kValueMixed);
  EXPECT_EQ(r.whole, 1);
  EXPECT_EQ(ValueRecordText(r), "+1+1/2");
  r.showWholeSign = 0;
  EXPECT_EQ(ValueRecordText(r), "1+1/2");

  r = Fresh(-1.5f);
  ValueRecordSet(r, kValueMixed);
  EXPECT_EQ(r.whole, -2);
  EXPECT_EQ(Parts(r.ratio), Frac(1, 2));
  EXPECT_EQ(ValueRecordText(r), "-2+1/2");
  r.value = 0.0f;
  ValueRecordRatioValue(r);
  EXPECT_FLOAT_EQ(r.value, -1.5f);
}

TEST(ValueRecord, DenominatorIsKeptWherePossible) {
  // Twelfths stay twelfths: 0.5 found as 1/2 is shown as 6/12.
  ValueRecord r = Fresh(0.25f);
  r.ratio = {1, 12};
  r.value = 0.5f;
  ValueRecordSet(r, kValueFraction);
  EXPECT_EQ(Parts(r.ratio), Frac(6, 12));

  // A whole number whose previous denominator was 1 is written over the limit.
  r = Fresh(3.0f);
  ValueRecordSet(r, kValueFraction);
  EXPECT_EQ(Parts(r.ratio), Frac(381, 127));

  // Zero takes the previous denominator.
  r = Fresh(0.0f);
  r.ratio = {5, 7};
  ValueRecordSet(r, kValueFraction);
  EXPECT_EQ(Parts(r.ratio), Frac(0, 7));

  // A stored zero denominator and limit do not divide by zero.
  r = Fresh(0.75f);
  r.ratio = {0, 0};
  r.denominatorLimit = 0;
  EXPECT_EQ(ValueRecordSet(r, kValueFraction), 0);
  EXPECT_GT(r.ratio.denominator, 0);
}

TEST(ValueRecord, PowerForms) {
  ValueRecord r = Fresh(8.0f);
  ValueRecordSet(r, kValuePower);
  EXPECT_EQ(ValueRecordText(r), "+2^+381/127");
  r.value = 0.0f;
  ValueRecordRatioValue(r);
  EXPECT_FLOAT_EQ(r.value, 8.0f);

  r = Fresh(8.0f);
  ValueRecordSet(r, kValuePowerMixed);
  r.showLeadingSign = 0;
  r.showWholeSign = 0;
  EXPECT_EQ(ValueRecordText(r), "2^3+0/127");

  // A negative value turns the base negative; the exponent is that of |value|,
  // so the parts give the value back.
  r = Fresh(-8.0f);
  ValueRecordSet(r, kValuePower);
  EXPECT_EQ(r.base, -2);
  EXPECT_EQ(ValueRecordText(r), "-2^+381/127");
  r.value = 0.0f;
  ValueRecordRatioValue(r);
  EXPECT_FLOAT_EQ(r.value, -8.0f);

  // A fractional exponent of a negative base stays a number.
  r = Fresh(-2.8284271f);
  ValueRecordSet(r, kValuePower);
  ValueRecordRatioValue(r);
  EXPECT_NEAR(r.value, -2.8284271f, 1e-5f);

  // Zero has no finite exponent: the record stays usable.
  r = Fresh(0.0f);
  EXPECT_EQ(ValueRecordSet(r, kValuePower), 0);
  EXPECT_EQ(ValueRecordSet(r, kValuePowerMixed), 0);
  r = Fresh(std::numeric_limits<float>::infinity());
  EXPECT_EQ(ValueRecordSet(r, kValuePower), 0);
}

TEST(ValueRecord, BinaryCopyAndBadMode) {
  ValueRecord r = Fresh(-5.0f);
  ValueRecordSet(r, kValueBinary);
  EXPECT_EQ(ValueRecordText(r), "101");
  r.value = 0.0f;
  EXPECT_EQ(ValueRecordText(r), "0");
  r.value = 4294967296.0f + 4294967296.0f * 2;  // low 32 bits are 0
  EXPECT_EQ(ValueRecordText(r), "0");

  EXPECT_EQ(ValueRecordSet(r, 6), -19);
  EXPECT_EQ(r.mode, kValueBinary);

  ValueRecord dst = Fresh(0.0f);
  dst.denominatorLimit = 12;
  ValueRecord src = Fresh(0.75f);
  ValueRecordSet(src, kValueFraction);
  ValueRecordCopy(dst, src);
  EXPECT_EQ(dst.denominatorLimit, 12);
  EXPECT_EQ(dst.mode, kValueFraction);
  EXPECT_EQ(dst.ratio.numerator, src.ratio.numerator);
  EXPECT_FLOAT_EQ(dst.value, 0.75f);

  // A zero denominator does not turn the value into infinity.
  src.ratio = {1, 0};
  src.value = 0.75f;
  ValueRecordRatioValue(src);
  EXPECT_FLOAT_EQ(src.value, 0.75f);
}

TEST(ValueRecord, WholeNumbersOneFloatStepAwayReadAsWholeNumbers) {
  // A number that went through a scale or a unit comes back a float step off
  // its whole number: the mixed forms show that whole number and no fraction.
  struct Form {
    int32_t mode;
    int32_t from, to;
    float (*value)(int32_t n);  // the whole number the form should show
  };
  const auto whole = [](int32_t n) { return static_cast<float>(n); };
  const auto power = [](int32_t n) { return std::ldexp(1.0f, n); };
  int32_t improper = 0, shown = 0;
  std::string first;
  for (const Form& f : {Form{kValueMixed, 1, 2000, whole}, Form{kValuePowerMixed, 1, 40, power}}) {
    for (int32_t n = f.from; n <= f.to; ++n) {
      const float exact = f.value(n);
      for (float v : {std::nextafter(exact, 0.0f), std::nextafter(exact, 3e38f)}) {
        ValueRecord r = Fresh(v);
        ValueRecordSet(r, f.mode);
        const std::string expected = (f.mode == kValueMixed ? "+" : "+2^+") + std::to_string(n) + "+0/127";
        ++shown;
        if (ValueRecordText(r) != expected) {
          ++improper;
          if (first.empty()) first = ValueRecordText(r) + " for " + std::to_string(v) + ", not " + expected;
        }
        ValueRecordRatioValue(r);
        EXPECT_FLOAT_EQ(r.value, exact) << expected;
      }
    }
  }
  EXPECT_EQ(improper, 0) << "of " << shown << ", first: " << first;
}

TEST(ValueRecord, AFractionShowsNoFloatNoise) {
  // Each value after the one before in the same record, as one field shows
  // them: the fraction is the simplest within the float's precision.
  struct Case {
    float value;
    const char* text;
  };
  ValueRecord r = Fresh(1.0f);
  // A zero numerator keeps the denominator before it; a value a thousandth
  // off a whole number is not noise and keeps its fraction.
  for (const Case& c : {Case{110.00001f, "+110+0/127"}, Case{109.99999f, "+110+0/127"},
                        Case{0.50000006f, "+0+1/2"}, Case{2.2500002f, "+2+1/4"},
                        Case{1000.0001f, "+1000+0/4"}, Case{261.63f, "+261+63/100"},
                        Case{110.001f, "+110+1/1001"}, Case{-3.9999998f, "-4+0/1001"}}) {
    r.value = c.value;
    ValueRecordSet(r, kValueMixed);
    EXPECT_EQ(ValueRecordText(r), c.text) << c.value;
  }
}
