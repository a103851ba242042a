// Display units of parameter values: the converters that step a number from
// one unit of its family to the next, and the table of units by id
// (id = family x 5 + unit). The program's start-up fills the rows.
#pragma once
#include <cstdint>

namespace Tarvelo {

// (x, the value's rate, its unit argument, its UnitSign) -> x in the next unit.
using UnitConverter = float (*)(float x, float rate, float argument, int32_t* unitSign);

// one thread: start-up, the unit tables
struct UnitRow {
  UnitConverter Convert;  // null: the id has no unit
  char Suffix[4];         // up to 3 characters
  float Step;             // display step of a value shown in this unit
};

constexpr int32_t kUnitFamilySize = 5;
constexpr int32_t kUnitTableRows = 4 * kUnitFamilySize;  // families 0..3

extern UnitRow UnitTable[kUnitTableRows];  // one thread: start-up

float UnitIdentity(float x, float rate, float argument, int32_t* unitSign);
// Samples to seconds.
float UnitDivide(float x, float rate, float argument, int32_t* unitSign);
// Seconds to hertz; 0 seconds gives the rate.
float UnitReciprocal(float x, float rate, float argument, int32_t* unitSign);
// Hertz to beats per minute.
float UnitTimes60(float x, float rate, float argument, int32_t* unitSign);
// Beats per minute to samples; 0 gives 60 x rate.
float UnitPerMinute(float x, float rate, float argument, int32_t* unitSign);
// Amplitude to decibels of |x| (0 gives -140); a negative x sets UnitSign to 1
// so that the way back restores the sign.
float UnitLinearToDb(float x, float rate, float argument, int32_t* unitSign);
// Decibels to amplitude, negated when UnitSign is 1; UnitSign becomes 0.
float UnitDbToLinear(float x, float rate, float argument, int32_t* unitSign);

// The row of a unit id, or null for an id outside the table.
const UnitRow* UnitTableRow(int32_t id);
// Suffix of a unit id; "" for an id without a row.
const char* UnitSuffix(int32_t id);

}  // namespace Tarvelo
