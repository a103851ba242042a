// Value editing: how a parameter's number field steps through its display modes
// and units, takes dragged and typed numbers through the value-change hook, and
// splits its text into segments the pointer can hit. The caller holds the
// value's own lock around every operation.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/params.h"

namespace Tarvelo {

// Units of each family (0 none, 1 count, 2 time and rate, 3 level). Only
// families 2 and 3 convert between their units.
constexpr int32_t kUnitFamilies = 4;
constexpr int32_t kUnitsPerFamily[kUnitFamilies] = {0, 0, 4, 2};
constexpr int32_t kDisplayModes = 6;

// Units of a family (0 for a family outside 0..3).
int32_t UnitCountOf(int32_t family);
// The highest unit id within the family: units - 1, at least 0.
int32_t LastUnitOf(int32_t family);

// Brings Unit and SetUnit into 0..LastUnitOf(family) and DisplayMode into 0..5,
// so that no later conversion or mode step can run away.
void ParamValueClampFormat(ParamValue& v);

// Next display mode that the value's ModeFlags allow (modes 0 and 1 always are).
void ParamValueNextMode(ParamValue& v);
// Converts the shown number into the next unit of its family (in a ring); a
// count is cut to its whole part.
void ParamValueCycleUnit(ParamValue& v);
// The field's number after a drag or wheel change goes through the value's
// OnChange hook; a settled number different from it is shown.
void ParamValueDrag(ParamValue& v);
// A typed number (in the shown unit) goes through the OnChange hook; what the
// hook settled is shown.
void ParamValueSetTyped(ParamValue& v, float typed);
// How a typed text reads as a number for a value.
enum TypedReading : int32_t {
  kTypedNumber = 0,        // a decimal number in front, whatever follows ("  2.5xyz" is 2.5)
  kTypedNoNumber = 1,      // no number in front ("", "abc", ".", "-", "nan")
  kTypedDecimalComma = 2,  // digits, a comma, a digit: a decimal comma or a thousands mark
};
// Reads the number a typed text starts with (blanks before it passed over);
// value is set only for kTypedNumber, within the float range, and so is *end:
// where the text after the number starts.
TypedReading ReadTypedNumber(const std::string& text, float& value, std::size_t* end = nullptr);
// What a typed text comes to for the value: whether anything is set, the
// number to set in the shown unit, and what the status line says of it ("" when
// the number is taken as typed). The number is held to the value's limits
// (OnRange, in the unit it is set in): the text names the lowest or the highest
// it was set to. Text after the number is left out, and said (but for the unit
// the field shows); a text with no number in front sets nothing and says why.
// one thread: value
struct TypedValue {
  bool apply = false;
  float value = 0.0f;
  std::string say;
};
TypedValue ParamValueReadTyped(ParamValue& v, const std::string& text);
// Shows x, given in the unit the value was set in (SetUnit), in the shown unit.
// keep: -1 keeps the fraction's denominator where it changed. argument is
// accepted for the callers' sake and not used.
void ParamValueConvertUnit(ParamValue& v, float x, int32_t argument, int64_t keep);
// Text, segments, draw size and edit step from the value record.
void ParamValueLayoutSegments(ParamValue& v);
// Index of the segment under x (pixels from the field's left edge), or -1.
int32_t ParamValueSegmentAt(const ParamValue& v, int32_t x);

}  // namespace Tarvelo
