#include "engine/params.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/module.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZStringAssignFrom;
using QUARLE_BASICS::DynZStringFree;
using QUARLE_BASICS::DynZStringInit;

Shared<int32_t> ParamEditMode{0};

static int32_t SelectedParamOfModule() {
  return SelectedModule != nullptr ? SelectedModule->SelectedParam.Load() : -1;
}
int32_t (*SelectedParamIndex)() = SelectedParamOfModule;

void ParamValueInit(ParamValue& v) {
  std::memset(static_cast<void*>(&v), 0, sizeof(v));
  QUARLE_BASICS::ValueRecordInit(v.Base);
  v.FieldWidth = kMinFieldWidth;
  v.TextSize = kMinTextSize;
  v.ModeFlags[1] = -1;
  v.Rate = 48000;
  v.UnitArgument = 1.0f;
  v.EditStep = 0.05f;
  v.Lock = platform::MutexCreate();
}

void ParamValueFree(ParamValue& v) {
  if (v.Lock != nullptr) {
    platform::MutexDestroy(v.Lock);
    v.Lock = nullptr;
  }
}

void ParamValueCopy(ParamValue& dst, const ParamValue& src) {
  platform::Mutex* lock = dst.Lock;
  int32_t sign = dst.UnitSign;
  QUARLE_BASICS::CopyShared(dst, src);
  dst.Lock = lock;
  dst.UnitSign = sign;
  dst.Dirty = -1;
}

void ParamValueSetFieldSize(ParamValue& v, int32_t width, int32_t size) {
  v.FieldWidth = width > kMinFieldWidth ? width : kMinFieldWidth;
  v.TextSize = size > kMinTextSize ? size : kMinTextSize;
}

void ParamValueSetFormat(ParamValue& v, int32_t mode, int32_t family, int32_t unit) {
  if (mode >= 0) v.DisplayMode = mode;
  if (family >= 0) v.UnitFamily = family;
  if (unit >= 0) v.Unit = unit;
  if (v.UnitFamily < kUnitTime) v.Unit = 0;
  v.SetUnit = v.Unit;
}

void ParamValueLoadNumber(ParamValue& v, float x) {
  v.Base.value = x;
  QUARLE_BASICS::ValueRecordSet(v.Base, v.DisplayMode);
  v.Dirty = -1;
}

void ModuleParamInit(ModuleParam& p) {
  std::memset(static_cast<void*>(&p), 0, sizeof(p));
  DynZStringInit(p.LongName);
  DynZStringInit(p.Label);
  p.Scale = 1.0f;
  ParamValueInit(p.Number);
  p.Number.OnChange = OnParamValueChange;
  p.Number.OnRange = OnParamValueRange;
  p.WriteBothChannels = -1;
}

void ModuleParamFree(ModuleParam& p) {
  ParamValueFree(p.Number);
  DynZStringFree(p.Label);
  DynZStringFree(p.LongName);
}

void ModuleParamCopy(ModuleParam& dst, const ModuleParam& src) {
  DynZStringAssignFrom(dst.LongName, src.LongName);
  DynZStringAssignFrom(dst.Label, src.Label);
  CopyShared(dst.Value, src.Value);
  // The default travels with the copy so that a live module can fall back to it.
  dst.InitialValue = src.InitialValue;
  dst.Scale = src.Scale;
  dst.Min = src.Min;
  dst.Max = src.Max;
  ParamValueCopy(dst.Number, src.Number);
  CopyShared(dst.OutputSide, src.OutputSide);
  dst.DefaultOutputSide = src.DefaultOutputSide;
  CopyShared(dst.PortLinkState, src.PortLinkState);
  dst.ChannelCountExempt = src.ChannelCountExempt;
  dst.NoValueEditor = src.NoValueEditor;
  CopyShared(dst.Global, src.Global);
  dst.WriteBothChannels = src.WriteBothChannels;
  dst.SideSwap = src.SideSwap;
  CopyShared(dst.RangeLow, src.RangeLow);
  CopyShared(dst.RangeHigh, src.RangeHigh);
  CopyShared(dst.Step, src.Step);
  dst.IntegerFlag = src.IntegerFlag;
}

void ModuleSetParamMode(ModuleParam& p, int32_t mode) {
  ControlRange r{};
  if (mode == 1) {
    r.low = 0.0f;
    r.high = 1000.0f / p.Scale;
    r.step = 5.0f / p.Scale;
  } else if (mode == 2) {
    r.low = p.Min < 0.0f ? 0.0f : p.Min;
    r.high = p.Max;
    if (r.high > r.low + 20.0f) r.high = r.low + 20.0f;
    r.step = (r.high - r.low) / 1000.0f;
  } else {
    r.low = p.Min / p.Scale;
    r.high = p.Max / p.Scale;
    r.step = (r.high - r.low) / 127.0f;
  }
  if (p.IntegerFlag != 0) {
    r.step = std::floor(r.step + 0.5f);
    if (r.step < 1.0f) r.step = 1.0f;
  }
  StoreControlRange(p, r);
}

namespace {

// The step kept within 1/65535 and 1/2 of the range (1/127 of it when unset),
// whole for whole-number parameters.
float ClampedStep(float low, float high, float step, int64_t integer) {
  const float range = high - low;
  if (step > 0.0f) {
    if (step < range / 65535.0f) step = range / 65535.0f;
    if (step > range / 2.0f) step = range / 2.0f;
  } else {
    step = range / 127.0f;
  }
  if (integer != 0) {
    step = std::floor(step + 0.5f);
    if (step < 1.0f) step = 1.0f;
  }
  return step;
}

}  // namespace

void ModuleParamClampStep(ModuleParam& p) {
  p.Step.Store(ClampedStep(p.RangeLow.Load(), p.RangeHigh.Load(), p.Step.Load(), p.IntegerFlag));
}

ControlRange LoadControlRange(const ModuleParam& p) {
  return ControlRange{p.RangeLow.Load(), p.RangeHigh.Load(), p.Step.Load()};
}

void StoredParamBounds(const ModuleParam& p, float& lo, float& hi) {
  lo = p.Min;
  hi = p.Max;
  if (p.Scale != 0.0f) {
    lo /= p.Scale;
    hi /= p.Scale;
  }
  if (lo > hi) std::swap(lo, hi);
}

float WithinParamRange(const ModuleParam& p, float x) {
  float lo, hi;
  StoredParamBounds(p, lo, hi);
  if (x != x) return p.InitialValue;
  return std::clamp(x, lo, hi);
}

void StoreControlRange(ModuleParam& p, const ControlRange& r) {
  p.RangeLow.Store(r.low);
  p.RangeHigh.Store(r.high);
  p.Step.Store(r.step);
}


void ModuleParamSetIntegerFlag(ModuleParam& p) {
  const ParamValue& v = p.Number;
  bool whole = v.UnitFamily == kUnitCount ||
               (v.UnitFamily == kUnitTime && p.Scale == 1.0f && (v.SetUnit == 0 || v.SetUnit == 3));
  p.IntegerFlag = whole ? -1 : 0;
}

int32_t OnParamValueChange(float* value) {
  ModuleRecord* m = SelectedModule;
  int32_t index = SelectedParamIndex != nullptr ? SelectedParamIndex() : -1;
  if (m == nullptr || value == nullptr || index < 0 || index >= kModuleParams) return 0;
  ModuleParam& p = m->Params[index];
  float entry = *value;
  float shown = entry;
  if (shown < p.Min) shown = p.Min;
  if (shown > p.Max) shown = p.Max;
  float x = shown / p.Scale;
  if (p.IntegerFlag != 0) x = std::floor(x + 0.5f);
  const int32_t mode = ParamEditMode.Load();
  switch (mode) {
    case 0:
      SetParamValueOrQueue(*m, index, x);
      break;
    case 1:
    case 2:
    case 3: {
      // While playing, a MIDI move reads the range on the audio thread.
      ControlRange r = LoadControlRange(p);
      if (mode == 1) {
        if (x > r.high) x = r.high;
        r.low = x;
      } else if (mode == 2) {
        if (x < r.low) x = r.low;
        r.high = x;
      } else {
        r.step = x;
      }
      r.step = ClampedStep(r.low, r.high, r.step, p.IntegerFlag);
      if (mode == 3) x = r.step;
      StoreControlRange(p, r);
      break;
    }
    default:
      break;
  }
  *value = x * p.Scale;
  if (*value == entry) return 0;
  return entry > *value ? -1 : 1;
}

void OnParamValueRange(float* low, float* high) {
  if (low == nullptr || high == nullptr) return;
  *low = -std::numeric_limits<float>::infinity();
  *high = std::numeric_limits<float>::infinity();
  ModuleRecord* m = SelectedModule;
  const int32_t index = SelectedParamIndex != nullptr ? SelectedParamIndex() : -1;
  if (m == nullptr || index < 0 || index >= kModuleParams) return;
  const ModuleParam& p = m->Params[index];
  float lo = p.Min, hi = p.Max;
  // The range edits' own limits, given in value units: shown times Scale.
  const ControlRange r = LoadControlRange(p);
  const auto within = [&](float a, float b) {
    if (p.Scale == 0.0f) return;
    a *= p.Scale;
    b *= p.Scale;
    if (a > b) std::swap(a, b);
    lo = std::max(lo, a);
    hi = std::min(hi, b);
  };
  constexpr float kNone = std::numeric_limits<float>::infinity();
  switch (ParamEditMode.Load()) {
    case 1:  // the range's low end stays at most its high end
      within(-kNone, r.high);
      break;
    case 2:
      within(r.low, kNone);
      break;
    case 3:  // the step between its own bounds (ClampedStep)
      within((r.high - r.low) / 65535.0f, (r.high - r.low) / 2.0f);
      break;
    default:
      break;
  }
  *low = lo;
  *high = hi;
}

}  // namespace Tarvelo
