#include "basics/ratio.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "basics/errors.h"

namespace QUARLE_BASICS {

namespace {

constexpr int64_t kI32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kI32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();

bool FitsI32(int64_t v) { return v >= kI32Min && v <= kI32Max; }

// Positive greatest common divisor of |a| and |b| for the internal searches;
// 0 only when both are 0.
template <typename T>
T PositiveGcd(T a, T b) {
  if (a < 0) a = -a;
  if (b < 0) b = -b;
  while (b != 0) {
    T r = a % b;
    a = b;
    b = r;
  }
  return a;
}

// n/d divided by their greatest common divisor, the sign carried by n.
template <typename T>
void ReduceWithPositiveDenominator(T& n, T& d) {
  T g = PositiveGcd(n, d);
  if (g > 1) {
    n /= g;
    d /= g;
  }
  if (d < 0) {
    n = -n;
    d = -d;
  }
}

int32_t SignIndex(double v) { return v < 0 ? 0 : (v > 0 ? 2 : 1); }

const char* SignText(int32_t index) { return index == 0 ? "-" : "+"; }

std::string Magnitude(int64_t n) {
  // |INT64_MIN| does not fit an int64; the fields here are int32 anyway.
  uint64_t m = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  return std::to_string(m);
}

int32_t ClampToI32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(kI32Max)) return static_cast<int32_t>(kI32Max);
  if (v <= static_cast<double>(kI32Min)) return static_cast<int32_t>(kI32Min);
  return static_cast<int32_t>(v);
}

// Float steps a shown number may be off the one meant: a scale applied and
// taken back, or a unit converted there and back, moves it a step or two.
constexpr float kPrecisionSteps = 4.0f;

// How finely a float near x tells numbers apart, kPrecisionSteps wide.
float PrecisionAt(float x) {
  const float a = std::fabs(x);
  if (!std::isfinite(a)) return 0.0f;
  return kPrecisionSteps * (std::nextafter(a, std::numeric_limits<float>::infinity()) - a);
}

// The fraction part f of a whole-and-fraction form (0 <= f < 1 when the whole
// part fits), found within the tolerance but never finer than the precision p:
// within p of 0 it is 0/1, within p of 1 it is 1/1, which the caller carries.
Ratio FractionPart(float f, float tolerance, float p) {
  if (!(f >= 0.0f && f < 1.0f)) return RatioFromFloat(f, tolerance);
  if (f <= p) return Ratio{0, 1};
  if (1.0f - f <= p) return Ratio{1, 1};
  if (tolerance < p) tolerance = p;
  // The search narrows a tolerance wider than f to f / 2; not below p.
  if (f <= tolerance) tolerance = f / 2.0f > p ? f / 2.0f : p;
  return RatioFromFloat(f, tolerance);
}

// A fraction part that came out as a whole one goes into the whole part, so
// the form stays proper (440, not 439 + 127/127).
void CarryWhole(ValueRecord& r) {
  if (r.ratio.denominator > 0 && r.ratio.numerator == r.ratio.denominator && r.whole < kI32Max) {
    ++r.whole;
    r.ratio = Ratio{0, 1};
  }
}

}  // namespace

float RatioValue(const Ratio& r) {
  return static_cast<float>(static_cast<double>(r.numerator) / static_cast<double>(r.denominator));
}

void RatioCopy(Ratio& dst, const Ratio& src) {
  dst.numerator = src.numerator;
  dst.denominator = src.denominator;
}

void RatioReduce(Ratio& r) {
  int64_t g = Gcd64(r.numerator, r.denominator);
  if (g == 0) return;  // 0/0 has nothing to divide by
  // g divides both exactly, so integer division equals the rounded quotient.
  int64_t n = static_cast<int64_t>(r.numerator) / g;
  int64_t d = static_cast<int64_t>(r.denominator) / g;
  if (!FitsI32(n) || !FitsI32(d)) return;  // INT32_MIN / -1
  r.numerator = static_cast<int32_t>(n);
  r.denominator = static_cast<int32_t>(d);
}

Ratio RatioAdd(const Ratio& a, const Ratio& b) {
  // Computed wide and wrapped to 32 bits: the sum stays defined on overflow.
  int64_t n = static_cast<int64_t>(a.denominator) * b.numerator +
              static_cast<int64_t>(a.numerator) * b.denominator;
  int64_t d = static_cast<int64_t>(a.denominator) * b.denominator;
  Ratio out;
  out.numerator = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(n)));
  out.denominator = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(d)));
  return out;
}

double Ratio64Value(const Ratio64& r) {
  return static_cast<double>(r.numerator) / static_cast<double>(r.denominator);
}

void Ratio64Copy(Ratio64& dst, const Ratio64& src) {
  dst.numerator = src.numerator;
  dst.denominator = src.denominator;
}

void Ratio64Reduce(Ratio64& r) {
  int64_t g = Gcd64(r.numerator, r.denominator);
  if (g == 0) return;
  if (g == -1 && (r.numerator == kI64Min || r.denominator == kI64Min)) return;
  r.numerator /= g;
  r.denominator /= g;
}

Ratio64 Ratio64Add(const Ratio64& a, const Ratio64& b) {
  uint64_t n = static_cast<uint64_t>(a.denominator) * static_cast<uint64_t>(b.numerator) +
               static_cast<uint64_t>(a.numerator) * static_cast<uint64_t>(b.denominator);
  uint64_t d = static_cast<uint64_t>(a.denominator) * static_cast<uint64_t>(b.denominator);
  Ratio64 out;
  out.numerator = static_cast<int64_t>(n);
  out.denominator = static_cast<int64_t>(d);
  return out;
}

int64_t Gcd64(int64_t a, int64_t b) {
  for (;;) {
    if (a == b || b == 0) return a;
    int64_t d = 0;
    bool overflow = __builtin_sub_overflow(a, b, &d);
    if (!overflow && a > b && d < b) {
      int64_t r = b % d;  // d > 0 here
      a = d;
      b = r;
    } else {
      int64_t r = (b == -1) ? 0 : a % b;  // INT64_MIN % -1 traps
      a = b;
      b = r;
    }
  }
}

Ratio RatioFromFloat(float x, float tolerance) {
  Ratio out;
  out.numerator = 0;
  out.denominator = 1;
  if (x == 0.0f || std::isnan(x)) return out;
  if (!(tolerance >= 0.0f)) tolerance = 0.0f;
  if (std::fabs(x) <= tolerance) tolerance = std::fabs(x) / 2.0f;

  double whole = std::floor(static_cast<double>(x));
  if (whole > static_cast<double>(kI32Max) || whole < static_cast<double>(kI32Min)) {
    out.numerator = static_cast<int32_t>(x > 0 ? kI32Max : kI32Min);
    return out;
  }
  int64_t num = static_cast<int64_t>(whole);
  int64_t den = 1;
  float e = x - static_cast<float>(whole);

  // Each step squares the error, so a handful of steps suffice; the bound
  // only guards against a tolerance the float type cannot reach.
  for (int step = 0; step < 64 && std::fabs(e) > tolerance; ++step) {
    double q = std::floor(1.0 / static_cast<double>(e) + 0.5);
    if (!(std::fabs(q) <= static_cast<double>(kI32Max))) break;
    int64_t k = static_cast<int64_t>(q);
    if (k == 0) break;
    // a + 1/k, kept reduced so that the fraction's value is the same as the
    // unreduced sum's while its fields stay small.
    int64_t nn = den + num * k;
    int64_t nd = den * k;
    ReduceWithPositiveDenominator(nn, nd);
    if (!FitsI32(nn) || !FitsI32(nd)) break;
    num = nn;
    den = nd;
    e = x - static_cast<float>(static_cast<double>(num) / static_cast<double>(den));
  }
  // Every step above leaves the fraction reduced with a positive denominator.
  out.numerator = static_cast<int32_t>(num);
  out.denominator = static_cast<int32_t>(den);
  return out;
}

Ratio64 Ratio64FromDouble(double x, double tolerance) {
  Ratio64 out;
  out.numerator = 0;
  out.denominator = 1;
  if (x == 0.0 || std::isnan(x)) return out;
  if (!(tolerance >= 0.0)) tolerance = 0.0;
  if (std::fabs(x) <= tolerance) tolerance = std::fabs(x) / 2.0;

  // 2^63 as a double; anything at or beyond it cannot be a whole int64.
  constexpr double kLimit = 9223372036854775808.0;
  double whole = std::floor(x);
  if (whole >= kLimit || whole < -kLimit) {
    out.numerator = x > 0 ? kI64Max : kI64Min;
    return out;
  }
  int64_t num = static_cast<int64_t>(whole);
  int64_t den = 1;
  double e = x - whole;

  for (int step = 0; step < 128 && std::fabs(e) > tolerance; ++step) {
    double q = std::floor(1.0 / e + 0.5);
    if (!(std::fabs(q) < kLimit)) break;
    int64_t k = static_cast<int64_t>(q);
    if (k == 0) break;
    __int128 nn = static_cast<__int128>(den) + static_cast<__int128>(num) * k;
    __int128 nd = static_cast<__int128>(den) * k;
    ReduceWithPositiveDenominator(nn, nd);
    if (nn > kI64Max || nn < kI64Min || nd > kI64Max) break;
    num = static_cast<int64_t>(nn);
    den = static_cast<int64_t>(nd);
    e = x - static_cast<double>(num) / static_cast<double>(den);
  }
  // Every step above leaves the fraction reduced with a positive denominator.
  out.numerator = num;
  out.denominator = den;
  return out;
}

float RoundToDigits(float value, uint8_t digits) {
  if (digits == 0) return std::floor(value + 0.5f);
  if (digits >= 7) return value;
  int64_t m = static_cast<int64_t>(std::nearbyint(std::pow(10.0, digits)));
  double md = static_cast<double>(m);
  return static_cast<float>(std::floor(static_cast<double>(value) * md + 0.5) / md);
}

void ValueRecordInit(ValueRecord& r) { r = ValueRecord{}; }

void ValueRecordCopy(ValueRecord& dst, const ValueRecord& src) {
  int32_t limit = dst.denominatorLimit;
  dst = src;
  dst.denominatorLimit = limit;
}

int32_t ValueRecordSet(ValueRecord& r, int32_t mode) {
  if (mode < kValueDecimal || mode > kValueBinary) return -kErrBadParameter;

  const int32_t previous = r.ratio.denominator;
  int32_t larger = r.denominatorLimit > previous ? r.denominatorLimit : previous;
  if (larger < 1) larger = 1;  // a stored 0 denominator and limit would divide by 0
  r.tolerance = 1.0f / (2.0f * static_cast<float>(larger));
  const float tolerance = r.tolerance;

  // The base carries the value's sign in the power forms.
  if ((r.value < 0 && r.base > 0) || (r.value > 0 && r.base < 0)) {
    r.base = r.base == static_cast<int32_t>(kI32Min) ? static_cast<int32_t>(kI32Max) : -r.base;
  }

  switch (mode) {
    case kValueFraction: {
      const float p = PrecisionAt(r.value);
      r.whole = 0;
      r.ratio = RatioFromFloat(r.value, tolerance > p ? tolerance : p);
      break;
    }
    case kValueMixed: {
      r.whole = ClampToI32(std::floor(static_cast<double>(r.value)));
      r.ratio = FractionPart(r.value - static_cast<float>(r.whole), tolerance, PrecisionAt(r.value));
      CarryWhole(r);
      break;
    }
    case kValuePower:
    case kValuePowerMixed: {
      // Exponent of |value|: the sign is shown by the base, so that
      // sign(base) x |base| ^ exponent gives the value back.
      int64_t absBase = r.base < 0 ? -static_cast<int64_t>(r.base) : r.base;
      float e = 0.0f;
      float p = 0.0f;  // how finely the exponent is known
      if (absBase == 1) {
        e = r.value;
        p = PrecisionAt(e);
      } else if (absBase != 0 && r.value != 0.0f && std::isfinite(r.value)) {
        const float lv = std::log(std::fabs(r.value));
        const double lb = std::log(static_cast<double>(absBase));
        e = static_cast<float>(static_cast<double>(lv) / lb);
        // The value's own steps and the single-precision logarithm's, carried
        // into the exponent, and the exponent's own.
        const double relative = static_cast<double>(PrecisionAt(r.value)) / std::fabs(r.value);
        p = static_cast<float>((relative + PrecisionAt(lv)) / lb) + PrecisionAt(e);
      }
      if (mode == kValuePower) {
        r.whole = 0;
        r.ratio = RatioFromFloat(e, tolerance > p ? tolerance : p);
      } else {
        r.whole = ClampToI32(std::floor(static_cast<double>(e)));
        r.ratio = FractionPart(e - static_cast<float>(r.whole), tolerance, p);
        CarryWhole(r);
      }
      break;
    }
    default:  // decimal and binary keep ratio and whole part
      break;
  }

  r.valueSign = SignIndex(r.value);
  r.wholeSign = SignIndex(r.whole);
  r.numeratorSign = SignIndex(r.ratio.numerator);
  r.mode = mode;

  // Keep showing the denominator the user worked with where the new fraction
  // can be written with it (twelfths stay twelfths).
  if (mode != kValueDecimal) {
    const int32_t fresh = r.ratio.denominator;
    if (fresh == 1 && previous == 1) {
      int64_t n = static_cast<int64_t>(r.ratio.numerator) * r.denominatorLimit;
      if (r.denominatorLimit >= 1 && FitsI32(n)) {
        r.ratio.numerator = static_cast<int32_t>(n);
        r.ratio.denominator = r.denominatorLimit;
      }
    } else if (fresh > 0 && fresh < previous) {
      if (r.ratio.numerator == 0) {
        r.ratio.denominator = previous;
      } else if (previous % fresh == 0) {
        int64_t q = previous / fresh;
        int64_t n = static_cast<int64_t>(r.ratio.numerator) * q;
        if (FitsI32(n)) {
          r.ratio.numerator = static_cast<int32_t>(n);
          r.ratio.denominator = previous;
        }
      }
    }
  }
  return 0;
}

void ValueRecordRatioValue(ValueRecord& r) {
  if (r.mode < kValueFraction || r.mode > kValuePowerMixed) return;
  if (r.ratio.denominator == 0) return;
  const double fraction =
      static_cast<double>(r.ratio.numerator) / static_cast<double>(r.ratio.denominator);
  double v = 0.0;
  switch (r.mode) {
    case kValueFraction:
      v = fraction;
      break;
    case kValueMixed:
      v = static_cast<double>(r.whole) + fraction;
      break;
    default: {
      double exponent = r.mode == kValuePower ? fraction : static_cast<double>(r.whole) + fraction;
      double absBase = std::fabs(static_cast<double>(r.base));
      v = std::pow(absBase, exponent);
      if (r.base < 0) v = -v;
      break;
    }
  }
  float f = static_cast<float>(v);
  if (std::isfinite(f)) r.value = f;
}

std::string ValueRecordText(const ValueRecord& r) {
  // Appended piecewise: a chain of temporaries trips a false -Wrestrict in GCC 12.
  std::string fraction = SignText(r.numeratorSign);
  fraction += Magnitude(r.ratio.numerator);
  fraction += '/';
  fraction += Magnitude(r.ratio.denominator);
  std::string out;
  switch (r.mode) {
    case kValueFraction:
      out = fraction;
      break;
    case kValueMixed:
      if (r.showWholeSign) out += SignText(r.wholeSign);
      out += Magnitude(r.whole) + fraction;
      break;
    case kValuePower:
      if (r.showLeadingSign) out += SignText(r.valueSign);
      out += Magnitude(r.base) + "^" + fraction;
      break;
    case kValuePowerMixed:
      if (r.showLeadingSign) out += SignText(r.valueSign);
      out += Magnitude(r.base) + "^";
      if (r.showWholeSign) out += SignText(r.wholeSign);
      out += Magnitude(r.whole) + fraction;
      break;
    case kValueBinary: {
      double rounded = std::nearbyint(std::fabs(static_cast<double>(r.value)));
      double low = std::fmod(rounded, 4294967296.0);
      uint32_t bits = std::isfinite(low) ? static_cast<uint32_t>(low) : 0u;
      if (bits == 0) return "0";
      while (bits != 0) {
        out.insert(out.begin(), (bits & 1u) ? '1' : '0');
        bits >>= 1;
      }
      break;
    }
    default: {
      char buf[48];
      std::snprintf(buf, sizeof buf, "%.7g", std::fabs(static_cast<double>(r.value)));
      out = std::string(SignText(r.valueSign)) + buf;
      break;
    }
  }
  return out;
}

}  // namespace QUARLE_BASICS
