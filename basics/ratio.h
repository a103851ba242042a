// Rational numbers, fraction search, decimal rounding and the value record: one
// number with the forms in which the interface shows and edits it.
#pragma once
#include <cstdint>
#include <string>

namespace QUARLE_BASICS {

// After reduction the denominator is positive; a caller may still store 0.
// one thread: value
struct Ratio {
  int32_t numerator = 0;
  int32_t denominator = 1;
};

// one thread: value
struct Ratio64 {
  int64_t numerator = 0;
  int64_t denominator = 1;
};

float RatioValue(const Ratio& r);  // numerator / denominator, divided in double
void RatioCopy(Ratio& dst, const Ratio& src);
void RatioReduce(Ratio& r);  // 0/0 stays 0/0
Ratio RatioAdd(const Ratio& a, const Ratio& b);  // not reduced; wraps on overflow

double Ratio64Value(const Ratio64& r);
void Ratio64Copy(Ratio64& dst, const Ratio64& src);
void Ratio64Reduce(Ratio64& r);
Ratio64 Ratio64Add(const Ratio64& a, const Ratio64& b);

// a when b = 0 or a = b; the sign follows the remainders (may be negative).
int64_t Gcd64(int64_t a, int64_t b);

// A fraction within tolerance of x, built by adding unit fractions. The search
// stops early (returning its best fraction so far) when the next step would
// need a denominator that no longer fits the integer type. NaN gives 0/1 and
// values beyond the integer range give the largest whole number of their sign.
Ratio RatioFromFloat(float x, float tolerance);
Ratio64 Ratio64FromDouble(double x, double tolerance);

// digits 0: floor(value + 0.5); 1..6: that many decimals; 7 and more: unchanged.
float RoundToDigits(float value, uint8_t digits);

// Display modes of a value record.
enum ValueMode : int32_t {
  kValueDecimal = 0,
  kValueFraction = 1,
  kValueMixed = 2,       // whole number and fraction
  kValuePower = 3,       // base ^ fraction
  kValuePowerMixed = 4,  // base ^ (whole + fraction)
  kValueBinary = 5,
};

// one thread: value
struct ValueRecord {
  Ratio ratio;               // fractional part of the shown form
  float value = 1.0f;
  float tolerance = 0.0f;    // of the last fraction search
  int32_t mode = kValueDecimal;
  int32_t denominatorLimit = 127;
  int32_t base = 2;
  int32_t whole = 0;
  int32_t valueSign = 2;     // sign + 1: 0 negative, 1 zero, 2 positive
  int32_t wholeSign = 1;
  int32_t numeratorSign = 1;
  int64_t showLeadingSign = -1;
  int64_t showWholeSign = -1;
};

void ValueRecordInit(ValueRecord& r);
// Copies every field but the denominator limit, which stays the destination's.
void ValueRecordCopy(ValueRecord& dst, const ValueRecord& src);
// Derives ratio, whole part and signs from the value for the mode and stores
// the mode: 0, or -19 for a mode outside 0..5 (the record is left alone).
int32_t ValueRecordSet(ValueRecord& r, int32_t mode);
// Recomputes the value from ratio, whole part and base by the mode; a result
// that is not finite (zero denominator, overflowing power) leaves the value.
void ValueRecordRatioValue(ValueRecord& r);
std::string ValueRecordText(const ValueRecord& r);

}  // namespace QUARLE_BASICS
