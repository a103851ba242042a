#include "ui/panels/value_editors.h"

#include <charconv>
#include <cstdint>
#include <cmath>

#include "app/state/console.h"
#include "basics/messages.h"
#include "basics/ratio.h"
#include "engine/params.h"
#include "engine/units.h"
#include "engine/valueedit.h"
#include "platform/threads.h"
#include "ui/panels/panel_common.h"
#include "ui/views/control_drawing.h"
#include "visuals/controls.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::LangText;

int32_t ValueDragAccumulator = 0;

std::string DecimalTextOf(float value) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

namespace {

ParamValue* ValueOf(const ControlRecord* c) {
  return c ? static_cast<ParamValue*>(c->UserPointer) : nullptr;
}

int32_t SignCode(double x) { return x < 0 ? 0 : (x == 0 ? 1 : 2); }

// One drag step of the selected segment's field; false when the segment
// shows no draggable field.
bool StepField(ParamValue& v, int32_t type, int32_t steps) {
  QUARLE_BASICS::ValueRecord& r = v.Base;
  const bool wraps = v.DisplayMode == 2 || v.DisplayMode == 4;
  switch (type) {
    case 0:
      r.value += static_cast<float>(steps) * v.EditStep;
      r.valueSign = SignCode(r.value);
      return true;
    case 2: {
      int32_t base = r.base + steps;
      if (base > 9) base = 1;
      if (base < 1) base = 9;
      r.base = base;
      return true;
    }
    case 4:
      r.whole += steps;
      r.wholeSign = SignCode(r.whole);
      return true;
    case 6: {
      int64_t n = static_cast<int64_t>(r.ratio.numerator) + steps;
      const int64_t d = r.ratio.denominator;
      if (wraps && d > 0 && (n < 0 || n >= d)) {
        // Past either end the fraction carries into the whole part, so a step
        // right always adds 1/d and a step left takes it away.
        const int64_t carry = n >= 0 ? n / d : -((-n + d - 1) / d);
        const int64_t whole = r.whole + carry;
        if (whole >= INT32_MIN && whole <= INT32_MAX) {
          r.whole = static_cast<int32_t>(whole);
          r.wholeSign = SignCode(r.whole);
          n -= carry * d;
        } else {
          n = n < 0 ? 0 : d - 1;
        }
      }
      r.ratio.numerator = static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : (n > INT32_MAX ? INT32_MAX : n));
      r.numeratorSign = SignCode(r.ratio.numerator);
      return true;
    }
    case 8: {
      int32_t d = r.ratio.denominator + steps;
      if (d < 1) d = 1;
      r.ratio.denominator = d;
      if (wraps && d <= r.ratio.numerator) {
        r.ratio.numerator = d - 1;
        r.numeratorSign = SignCode(r.ratio.numerator);
      }
      return true;
    }
    default:
      return false;
  }
}

// A click on a sign segment; false for any other segment.
bool FlipSign(ParamValue& v, int32_t type) {
  QUARLE_BASICS::ValueRecord& r = v.Base;
  switch (type) {
    case 1:
    case 3:
      r.value = -r.value;
      r.valueSign = SignCode(r.value);
      return true;
    case 5:
      r.whole = -r.whole;
      r.wholeSign = SignCode(r.whole);
      QUARLE_BASICS::ValueRecordRatioValue(r);
      return true;
    case 7:
      r.ratio.numerator = -r.ratio.numerator;
      r.numeratorSign = SignCode(r.ratio.numerator);
      QUARLE_BASICS::ValueRecordRatioValue(r);
      return true;
    default:
      return false;
  }
}

// The segment (or, in display mode 5, the bit cell) under the pointer.
int32_t SegmentUnder(ControlRecord* c, ParamValue& v, int32_t x, int32_t y) {
  const int32_t b = V::BorderWidth;
  const int32_t inside = x - c->X - b;
  platform::MutexGuard guard(v.Lock);
  if (v.DisplayMode == 5) {
    const double cell = (c->W - 2.0 * b) / 10.0;
    int32_t column = cell > 0 ? static_cast<int32_t>(std::floor(std::abs(inside) / cell)) : 0;
    if (column > 19) column = 19;
    if (y - c->Y > c->H / 2.0) column += 10;
    return column;
  }
  return ParamValueSegmentAt(v, inside - ValueFieldOffset(v));
}

}  // namespace

int32_t OnValueDisplayMode(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  ParamValue* v = ValueOf(PanelCtl(id));
  if (bits != V::kEventClick || !v) return 0;
  platform::MutexGuard guard(v->Lock);
  ParamValueNextMode(*v);
  return 0;
}

int32_t OnValueUnit(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  ParamValue* v = ValueOf(c);
  if (bits != V::kEventClick || !v) return 0;
  platform::MutexGuard guard(v->Lock);
  ParamValueCycleUnit(*v);
  V::TextFieldSetText(&c->Text, UnitSuffix(v->UnitFamily * kUnitFamilySize + v->Unit));
  return 0;
}

int32_t OnValueEdit(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  ParamValue* v = ValueOf(c);
  if (!(bits & V::kEventClick) || !v) return 0;
  if (PanelTakeDialogAnswered() != 0) {
    if (PanelDialogAnswer() == -1) {
      const int32_t edit = V::DialogEditIndex ? *V::DialogEditIndex : 0;
      const std::string text = TextOf(edit);
      TypedValue typed;
      {
        platform::MutexGuard guard(v->Lock);
        typed = ParamValueReadTyped(*v, text);
        if (typed.apply) ParamValueSetTyped(*v, typed.value);
      }
      if (!typed.say.empty()) SetStatusText(typed.say);
    }
    c->State.On = 0;
  } else if (PanelDialogOwner() != id) {
    float value = 0.0f;
    {
      platform::MutexGuard guard(v->Lock);
      value = v->Base.value;
    }
    PanelOpenDialog(id, LangText(197, "Enter a new floating point value: "), -1,
                    DecimalTextOf(value), 1, -1, -1);
    c->State.On = -1;
  } else {
    PanelCloseDialog();
    c->State.On = 0;
  }
  return 0;
}

int32_t OnValueDrag(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  ParamValue* v = ValueOf(c);
  int32_t& selected = c->Text.Selected;
  if (!v) {
    selected = -1;
    return 0;
  }
  if (bits & (V::kEventHover | V::kEventPress)) {
    selected = SegmentUnder(c, *v, x, y);
  } else if (bits & V::kEventDrag) {
    platform::MutexGuard guard(v->Lock);
    if (v->DisplayMode == 5 || selected < 0 || selected >= v->SegmentCount ||
        selected >= kParamSegments || v->Segments[selected].Kind != 1)
      return 0;
    ValueDragAccumulator += x;
    const int32_t steps =
        static_cast<int32_t>(std::nearbyint(ValueDragAccumulator / static_cast<double>(kValueDragStep)));
    if (steps == 0) return 0;
    ValueDragAccumulator -= kValueDragStep * steps;
    if (StepField(*v, v->Segments[selected].Type, steps)) {
      QUARLE_BASICS::ValueRecordRatioValue(v->Base);
      ParamValueDrag(*v);
    }
  } else if (bits & V::kEventClick) {
    if (selected < 0) return 0;
    platform::MutexGuard guard(v->Lock);
    if (v->DisplayMode == 5) {
      const double magnitude = std::nearbyint(std::fabs(static_cast<double>(v->Base.value)));
      // Beyond 32 bits the word keeps its low bits, as a 32-bit store would.
      uint32_t word = 0;
      if (std::isfinite(magnitude))
        word = magnitude >= 4294967296.0 ? static_cast<uint32_t>(std::fmod(magnitude, 4294967296.0))
                                         : static_cast<uint32_t>(magnitude);
      v->Base.value = static_cast<float>(word ^ (uint32_t{1} << (selected & 31)));
      v->Base.valueSign = SignCode(v->Base.value);
      ParamValueDrag(*v);
    } else if (selected < v->SegmentCount && selected < kParamSegments &&
               v->Segments[selected].Kind == 0 && FlipSign(*v, v->Segments[selected].Type)) {
      ParamValueDrag(*v);
    }
  } else {
    selected = -1;
  }
  return 0;
}

}  // namespace Tarvelo
