#include "engine/valueedit.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "basics/messages.h"
#include "basics/ratio.h"
#include "engine/ui_hooks.h"
#include "engine/units.h"
#include "platform/files.h"

namespace Tarvelo {

using QUARLE_BASICS::ValueRecord;

int32_t UnitCountOf(int32_t family) {
  return family >= 0 && family < kUnitFamilies ? kUnitsPerFamily[family] : 0;
}

int32_t LastUnitOf(int32_t family) {
  int32_t n = UnitCountOf(family);
  return n > 0 ? n - 1 : 0;
}

static int32_t ClampInt(int32_t x, int32_t lo, int32_t hi) { return x < lo ? lo : (x > hi ? hi : x); }

// Stores only what it changes: a field's draw clamps under the field's lock
// while a session save copies the unit and mode of the same record without it.
void ParamValueClampFormat(ParamValue& v) {
  const int32_t last = LastUnitOf(v.UnitFamily);
  auto clamp = [](int32_t& word, int32_t lo, int32_t hi) {
    const int32_t clamped = ClampInt(word, lo, hi);
    if (clamped != word) word = clamped;
  };
  clamp(v.Unit, 0, last);
  clamp(v.SetUnit, 0, last);
  clamp(v.DisplayMode, 0, kDisplayModes - 1);
}

static bool ConvertingFamily(int32_t family) { return family == kUnitTime || family == kUnitLevel; }

// One step from unit u of the value's family to the next one.
static float ConvertStep(ParamValue& v, int32_t unit, float x) {
  const UnitRow* row = UnitTableRow(v.UnitFamily * kUnitFamilySize + unit);
  if (row == nullptr || row->Convert == nullptr) return x;
  return row->Convert(x, static_cast<float>(v.Rate), v.UnitArgument, &v.UnitSign);
}

// x in unit `from` carried around the family's ring until unit `to`; at most
// one lap, whatever the two units hold.
static float ConvertAlongRing(ParamValue& v, float x, int32_t from, int32_t to) {
  if (!ConvertingFamily(v.UnitFamily)) return x;
  int32_t count = UnitCountOf(v.UnitFamily);
  int32_t u = ClampInt(from, 0, count - 1);
  to = ClampInt(to, 0, count - 1);
  for (int32_t steps = 0; u != to && steps < count; ++steps) {
    x = ConvertStep(v, u, x);
    u = (u + 1) % count;
  }
  return x;
}

static bool ModeAllowed(const ParamValue& v, int32_t mode) {
  switch (mode) {
    case 2:
      return v.ModeFlags[1] != 0;
    case 3:
      return v.ModeFlags[0] != 0;
    case 4:
      return v.ModeFlags[0] != 0 && v.ModeFlags[1] != 0;
    case 5:
      return v.ModeFlags[2] != 0;
    default:
      return true;
  }
}

void ParamValueNextMode(ParamValue& v) {
  ParamValueClampFormat(v);
  int32_t mode = v.DisplayMode + 1;
  for (int32_t steps = 0; steps < kDisplayModes; ++steps) {
    if (mode > kDisplayModes - 1) mode -= kDisplayModes;
    if (ModeAllowed(v, mode)) break;
    ++mode;
  }
  v.DisplayMode = mode;
  QUARLE_BASICS::ValueRecordSet(v.Base, mode);
  ParamValueLayoutSegments(v);
}

void ParamValueCycleUnit(ParamValue& v) {
  ParamValueClampFormat(v);
  if (ConvertingFamily(v.UnitFamily)) {
    v.Base.value = ConvertStep(v, v.Unit, v.Base.value);
    v.Unit = (v.Unit + 1) % UnitCountOf(v.UnitFamily);
  } else if (v.UnitFamily == kUnitCount) {
    v.Base.value = std::trunc(v.Base.value);
  }
  QUARLE_BASICS::ValueRecordSet(v.Base, v.DisplayMode);
  ParamValueLayoutSegments(v);
}

static int32_t SignIndexOf(int64_t x) { return x < 0 ? 0 : (x == 0 ? 1 : 2); }

void ParamValueConvertUnit(ParamValue& v, float x, int32_t /*argument*/, int64_t keep) {
  ParamValueClampFormat(v);
  x = ConvertAlongRing(v, x, v.SetUnit, v.Unit);
  ValueRecord& r = v.Base;
  const int32_t oldDenominator = r.ratio.denominator;
  r.value = x;
  QUARLE_BASICS::ValueRecordSet(r, v.DisplayMode);
  const int32_t newDenominator = r.ratio.denominator;
  if (keep != 0 && newDenominator != oldDenominator && newDenominator != 0 && oldDenominator != 0) {
    double n = std::nearbyint(static_cast<double>(r.ratio.numerator) * oldDenominator / newDenominator);
    if (n >= -2147483647.0 && n <= 2147483646.0) {
      // The fraction found may lie half a step of the kept grid off the value
      // (1/2 for 63/127): of the numerators next to it, the one whose form
      // gives the value back most closely, so a dragged step is never undone.
      const bool mixed = v.DisplayMode == 2 || v.DisplayMode == 4;
      const int32_t middle = static_cast<int32_t>(n);
      int32_t best = middle;
      double bestError = -1.0;
      for (int32_t candidate : {middle, middle - 1, middle + 1}) {
        if (mixed && (candidate < 0 || candidate >= oldDenominator)) continue;
        ValueRecord form = r;
        form.ratio = {candidate, oldDenominator};
        QUARLE_BASICS::ValueRecordRatioValue(form);
        const double error = std::fabs(static_cast<double>(form.value) - static_cast<double>(x));
        if (bestError < 0.0 || error < bestError) {
          best = candidate;
          bestError = error;
        }
      }
      r.ratio.numerator = best;
      r.ratio.denominator = oldDenominator;
      r.numeratorSign = SignIndexOf(r.ratio.numerator);
    }
  }
  if (v.DisplayMode >= 1 && x != 0.0f && r.ratio.numerator == 0)
    QUARLE_BASICS::ValueRecordSet(r, v.DisplayMode);
  ParamValueLayoutSegments(v);
}

void ParamValueDrag(ParamValue& v) {
  if (v.OnChange == nullptr) return;
  ParamValueClampFormat(v);
  const int32_t sign = v.UnitSign;
  float x = ConvertAlongRing(v, v.Base.value, v.Unit, v.SetUnit);
  int32_t changed = v.OnChange(&x);
  if (changed != 0) {
    ParamValueConvertUnit(v, x, 0, -1);
  } else {
    // The field keeps its number, so it keeps the sign it shows in dB too.
    v.UnitSign = sign;
  }
  ParamValueLayoutSegments(v);
}

void ParamValueSetTyped(ParamValue& v, float typed) {
  if (v.OnChange == nullptr) return;
  ParamValueClampFormat(v);
  float x = ConvertAlongRing(v, typed, v.Unit, v.SetUnit);
  v.OnChange(&x);
  // The field never held the typed number: show what the hook settled even
  // when it took the number as it came.
  ParamValueConvertUnit(v, x, 0, -1);
}

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

TypedReading ReadTypedNumber(const std::string& text, float& value, std::size_t* end) {
  // The grammar is ItemValue's: blanks, a sign, digits with at most one point
  // among them, an exponent; it only tells whether there is a number in front at all.
  std::size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos) return kTypedNoNumber;
  if (text[i] == '+' || text[i] == '-') ++i;
  std::size_t digits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) ++digits;
  const bool whole = digits > 0;
  if (i < text.size() && text[i] == '.')
    for (++i; i < text.size() && IsDigit(text[i]); ++i) ++digits;
  if (digits == 0) return kTypedNoNumber;
  // "0,5" read as 0 would set a value far from the one meant.
  if (whole && i + 1 < text.size() && text[i] == ',' && IsDigit(text[i + 1])) return kTypedDecimalComma;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t e = i + 1;
    if (e < text.size() && (text[e] == '+' || text[e] == '-')) ++e;
    const std::size_t first = e;
    while (e < text.size() && IsDigit(text[e])) ++e;
    if (e > first) i = e;
  }
  const double x = platform::ItemValue(text);
  constexpr double kMax = std::numeric_limits<float>::max();
  value = static_cast<float>(x > kMax ? kMax : (x < -kMax ? -kMax : x));
  if (end) *end = i;
  return kTypedNumber;
}

static std::string DecimalText(double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.7g", x);
  return buf;
}

static bool SameLetters(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

TypedValue ParamValueReadTyped(ParamValue& v, const std::string& text) {
  using QUARLE_BASICS::InsertArg;
  using QUARLE_BASICS::LangText;
  TypedValue out;
  float typed = 0.0f;
  std::size_t end = 0;
  switch (ReadTypedNumber(text, typed, &end)) {
    case kTypedNumber:
      break;
    case kTypedDecimalComma:
      out.say = InsertArg(
          LangText(671, "\"{$}\": type decimals with a point (0.5), not a comma. The value stays as it was."), text);
      return out;
    default:
      out.say = InsertArg(LangText(670, "\"{$}\" is not a number: the value stays as it was."), text);
      return out;
  }
  out.apply = true;
  out.value = typed;
  ParamValueClampFormat(v);
  const std::string suffix =
      ConvertingFamily(v.UnitFamily) ? UnitSuffix(v.UnitFamily * kUnitFamilySize + v.Unit) : "";
  const bool hasUnit = !suffix.empty();
  const std::string unit = hasUnit ? " " + suffix : "";

  const std::size_t restStart = text.find_first_not_of(" \t", end);
  const std::size_t restEnd = text.find_last_not_of(" \t");
  const std::string rest =
      restStart == std::string::npos ? "" : text.substr(restStart, restEnd + 1 - restStart);
  if (!rest.empty() && !(hasUnit && SameLetters(rest, suffix)))
    out.say = InsertArg(InsertArg(LangText(718, "\"{$}\" is read as {$} (the text after the number is left out)."),
                                  text),
                        DecimalText(typed));

  float low = -std::numeric_limits<float>::infinity(), high = std::numeric_limits<float>::infinity();
  if (v.OnRange) v.OnRange(&low, &high);
  // Judged in the unit the hook holds the number in; said in the shown one.
  const int32_t sign = v.UnitSign;
  const float x = ConvertAlongRing(v, typed, v.Unit, v.SetUnit);
  const float held = x < low ? low : (x > high ? high : x);
  if (held == x || x != x) {
    v.UnitSign = sign;  // as the typed number's own conversion will find it
    return out;
  }
  // The sign the limit leaves is the one its conversion back needs.
  out.value = ConvertAlongRing(v, held, v.SetUnit, v.Unit);
  if (out.value == typed) return out;
  const bool lowest = typed < out.value;
  std::string said = lowest ? LangText(719, "{$} is out of range: the lowest is {$}: set to {$}.")
                            : LangText(720, "{$} is out of range: the highest is {$}: set to {$}.");
  for (const std::string& arg : {DecimalText(typed) + unit, DecimalText(out.value) + unit, DecimalText(out.value) + unit})
    said = InsertArg(said, arg);
  out.say += (out.say.empty() ? "" : " ") + said;
  return out;
}

// ---------------------------------------------------------------- segments

static std::string Magnitude(int64_t n) { return std::to_string(n < 0 ? -n : n); }

static const char* SignOf(int32_t signIndex) { return signIndex == 0 ? "-" : "+"; }


// The magnitude as mode 0 shows it: short, without an exponent where possible.
static std::string ShortMagnitude(float value) {
  double a = std::fabs(static_cast<double>(value));
  std::string text = DecimalText(a);
  if (text.find('e') != std::string::npos) {
    if (a < 0.0001) return "0..";
    return DecimalText(QUARLE_BASICS::RoundToDigits(static_cast<float>(a), 4));
  }
  if (text.size() > 7) text = text.substr(0, 7) + "..";
  return text;
}

// one thread: value
struct SegmentList {
  ParamValue& v;
  int32_t count = 0;
  void Add(int32_t kind, int32_t type, const std::string& text) {
    if (count >= kParamSegments) return;
    DisplaySegment& s = v.Segments[count++];
    s.Kind = kind;
    s.Type = type;
    s.X = 0;
    s.Width = 0;
    std::size_t n = text.size() < sizeof s.Text - 1 ? text.size() : sizeof s.Text - 1;
    std::memcpy(s.Text, text.data(), n);
    s.Text[n] = '\0';
  }
};

enum SegmentKind : int32_t { kSegmentSign = 0, kSegmentNumber = 1, kSegmentLiteral = 2 };

static void SetText(ParamValue& v, const std::string& text) {
  std::size_t n = text.size() < kParamTextSize - 1 ? text.size() : kParamTextSize - 1;
  std::memcpy(v.Text, text.data(), n);
  v.Text[n] = '\0';
}

void ParamValueLayoutSegments(ParamValue& v) {
  const ValueRecord& r = v.Base;
  const int32_t mode = ClampInt(v.DisplayMode, 0, kDisplayModes - 1);
  SetText(v, QUARLE_BASICS::ValueRecordText(r));
  std::memset(v.Segments, 0, sizeof v.Segments);
  SegmentList list{v};
  if (mode == 0) {
    std::string number = ShortMagnitude(r.value);
    const char* sign = r.value < 0.0f ? "-" : "+";
    SetText(v, sign + number);
    list.Add(kSegmentSign, 1, sign);
    list.Add(kSegmentNumber, 0, number);
  } else {
    // A literal belongs to the part in front of it.
    if (mode == 3 || mode == 4) {
      if (r.showLeadingSign != 0) list.Add(kSegmentSign, 3, SignOf(r.valueSign));
      list.Add(kSegmentNumber, 2, Magnitude(r.base));
      list.Add(kSegmentLiteral, 2, "^");
    }
    if (mode == 2 || mode == 4) {
      if (r.showWholeSign != 0) list.Add(kSegmentSign, 5, SignOf(r.wholeSign));
      list.Add(kSegmentNumber, 4, Magnitude(r.whole));
    }
    list.Add(kSegmentSign, 7, SignOf(r.numeratorSign));
    list.Add(kSegmentNumber, 6, Magnitude(r.ratio.numerator));
    list.Add(kSegmentLiteral, 6, "/");
    list.Add(kSegmentNumber, 8, Magnitude(r.ratio.denominator));
  }
  v.SegmentCount = list.count;

  int32_t size = static_cast<int32_t>(std::nearbyint(0.8 * static_cast<double>(v.TextSize)));
  while (size > 8 && UiTextWidth(v.Text, size) > v.FieldWidth - 10) --size;
  v.DrawSize = size;
  v.LastDrawSize = size;

  int32_t x = 0;
  for (int32_t i = 0; i < v.SegmentCount; ++i) {
    DisplaySegment& s = v.Segments[i];
    s.X = x;
    s.Width = UiTextWidth(s.Text, size);
    x += s.Width;
  }

  v.Dirty = -1;
  if (v.UnitFamily >= 0 && v.UnitFamily < kUnitFamilies) {
    const UnitRow* row = UnitTableRow(v.UnitFamily * kUnitFamilySize + ClampInt(v.Unit, 0, LastUnitOf(v.UnitFamily)));
    if (row != nullptr) v.EditStep = row->Step;
  }
}

int32_t ParamValueSegmentAt(const ParamValue& v, int32_t x) {
  int32_t count = ClampInt(v.SegmentCount, 0, kParamSegments);
  if (count == 0 || x < 0) return -1;
  const DisplaySegment& last = v.Segments[count - 1];
  if (static_cast<int64_t>(x) > static_cast<int64_t>(last.X) + last.Width - 1) return -1;
  int32_t found = -1;
  for (int32_t i = 0; i < count; ++i)
    if (v.Segments[i].X < x) found = i;
  return found;
}

}  // namespace Tarvelo
