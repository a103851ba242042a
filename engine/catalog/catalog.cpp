#include "engine/catalog/catalog.h"

#include <cmath>
#include <cstring>

#include "basics/errors.h"
#include "basics/labels.h"
#include "basics/messages.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZStringAssign;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::LangText;

ModuleRecord ModuleCatalog[kCatalogSlots];
int64_t CatalogBuilt = 0;

const int32_t kModulePaletteOrder[kModuleTypeCount] = {
    0, 1, 2, 35, 32, 3, 4, 5, 9, 29, 40, 30, 8, 6, 7, 25, 26, 33, 11, 12, 24, 37,
    36, 41, 13, 34, 10, 38, 18, 22, 14, 42, 17, 27, 15, 16, 23, 28, 39, 31, 20, 19, 21};
int32_t ModulePaletteOrder[kModuleTypeCount] = {};

const int32_t kDefinitionOrder[kModuleTypeCount] = {
    0, 1, 2, 35, 32, 3, 4, 5, 9, 29, 40, 30, 8, 6, 7, 26, 25, 34, 10, 33, 11, 12,
    24, 37, 36, 41, 13, 38, 18, 42, 14, 15, 16, 22, 17, 23, 27, 39, 28, 31, 20, 19, 21};

static int32_t DefaultTextWidth(const std::string& text, int32_t size) {
  return static_cast<int32_t>(text.size()) * size / 2;
}
int32_t (*CatalogTextWidth)(const std::string& text, int32_t size) = DefaultTextWidth;

std::string CommonNames[kCommonNameCount];

void LookUpCommonNames() {
  static const char* const kEnglish[kCommonNameCount] = {
      "Bias (Amplitude offset)", "Amplitude", "Frequency", "Input", "Duty cycle",
      "Tempo", "Velocity", "Period", "Threshold"};
  for (int32_t i = 0; i < kCommonNameCount; ++i) CommonNames[i] = LangText(500 + i, kEnglish[i]);
}

void BeginType(ModuleRecord& t, uint32_t message, const char* english, const char* shortName,
               int32_t category) {
  SetTypeName(t, message, english, shortName);
  t.Category = category;
}

void SetTypeName(ModuleRecord& t, uint32_t message, const char* english, const char* shortName) {
  std::string name = LangText(message, english);
  DynZStringAssign(t.Name, name);
  if (shortName != nullptr)
    DynZStringAssign(t.ShortName, shortName);
  else
    DynZStringAssign(t.ShortName, QUARLE_BASICS::AbbreviateLabel(name, 0));
}

void SetParamName(ModuleRecord& t, int32_t p, const std::string& longName, const char* label) {
  if (p < 0 || p >= kModuleParams) return;
  DynZStringAssign(t.Params[p].LongName, longName);
  DynZStringAssign(t.Params[p].Label, label);
}

void SetParamName(ModuleRecord& t, int32_t p, uint32_t message, const char* english, const char* label) {
  SetParamName(t, p, LangText(message, english), label);
}

void SetParamRange(ModuleRecord& t, int32_t p, float min, float max, float value, float scale) {
  if (p < 0 || p >= kModuleParams) return;
  ModuleParam& param = t.Params[p];
  param.Value.Store(value);
  param.Min = min;
  param.Max = max;
  param.Scale = scale;
}

// Pass 1: what every slot starts from.
static int32_t CommonDefaults(ModuleRecord& t, int32_t slot) {
  int32_t r = ModuleRecordInit(t);
  t.ProcessFunctions[0] = ProcessNone;
  t.ProcessFunctions[1] = ProcessNone;
  t.Role = kRoleTemplate;
  t.Type = slot;
  t.PolyphonyCapability = 2;
  t.FollowsPolyphony = -1;
  for (int32_t p = 0; p < kPortValueSlots; ++p) {
    ModuleParam& param = t.Params[p];
    DynZStringAssign(param.Label, std::to_string(p));
    DynZStringAssign(param.LongName, "N/A");
    param.Scale = 1.0f;
    param.Min = -1.0f;
    param.Max = 1.0f;
    param.OutputSide.Store(0);
    param.DefaultOutputSide = 0;
  }
  return r;
}

static bool TypeIs(int32_t type, std::initializer_list<int32_t> types) {
  for (int32_t x : types)
    if (x == type) return true;
  return false;
}

static int64_t Flag(bool b) { return b ? -1 : 0; }

int32_t FinishTemplate(ModuleRecord& t) {
  int32_t result = 0;
  const int32_t type = t.Type;
  if (t.PortCount > 0) {
    if (DynZStringGet(t.Params[0].Label) == "In") t.RequiredPort = 0;
    if (t.Category == kCategoryEffect || t.Category == kCategoryFilter) t.RequiresPortLink = -1;
    if (t.ParamCount < kModuleParams) {
      int32_t s = t.ParamCount;
      ModuleParam& seed = t.Params[s];
      SetParamName(t, s, 607, "Feedback seed", "*");
      seed.Value.Store(0.5f);
      seed.WriteBothChannels = -1;
      if (t.ChannelsFixed != 0) seed.ChannelCountExempt = -1;
      t.ParamCount += 1;
    }
  } else {
    t.RunsWithoutVoices = -1;
    t.FollowsPolyphony = 0;
  }

  const int32_t cat = t.Category;
  t.DerivedFlag1 = Flag(TypeIs(type, {1, 5, 30, 29}));
  t.DerivedFlag2 = Flag(TypeIs(type, {1, 5, 30}));
  t.StateSelect = Flag(cat == kCategorySource || TypeIs(type, {5, 30, 29}));
  t.DerivedFlag3 = Flag(t.StateSelect != 0 || TypeIs(type, {3, 4}) || t.KeepsVoices != 0);
  t.KeepsState = Flag(cat == kCategorySource || t.KeepsVoices != 0 || TypeIs(type, {29, 36, 31}));
  t.MirrorPair = Flag(TypeIs(type, {33, 11, 12, 19}));
  t.DerivedFlag6 = Flag(TypeIs(type, {34, 40, 3, 4, 9}));
  t.DerivedFlag7 = Flag(TypeIs(type, {2, 35, 1}));
  t.DerivedFlag8 = Flag(type == 40);
  t.ModuleSwitches[kSwitchZeroOut].Store(Flag(cat == kCategoryControl));
  t.ModuleSwitches[kSwitchRewind].Store(t.StateSelect);
  if (t.DerivedFlag1 == 0) t.ModuleSwitches[kSwitchPlay].Store(-1);
  if (t.RunsWithoutVoices == 0 && t.WorkBuffers[0] != nullptr) t.ClearBuffersOnReset = -1;

  for (int32_t p = 0; p < kPortValueSlots; ++p) {
    ModuleParam& param = t.Params[p];
    param.DefaultOutputSide = param.OutputSide.Load();
    if (param.OutputSide.Load() == 1 && p < t.PortCount) t.RequiredPort = p;
    if (param.ChannelCountExempt != 0) param.WriteBothChannels = -1;
    ModuleRecordDelete(t.PortValueModules[p]);
    ModuleRecord* pvm = ModuleRecordNew();
    t.PortValueModules[p] = pvm;
    if (pvm == nullptr) {
      result = -QUARLE_BASICS::kErrAllocation;
      continue;
    }
    pvm->Role = kRoleTemplatePortValue;
    float value = param.Value.Load() / param.Scale;
    param.Value.Store(value);
    param.InitialValue = value;
    ModuleSetParamValue(t, p, value);
    t.PortSources[p].Store(pvm);
    pvm->ActiveVoices.Store(1);
    ModuleParamSetIntegerFlag(param);
    int32_t mode = 0;
    if (param.OutputSide.Load() == 1)
      mode = 1;
    else if (param.Number.UnitFamily == kUnitLevel && param.Number.Unit == 1)
      mode = 2;
    ModuleSetParamMode(param, mode);
    const ControlRange range = LoadControlRange(param);
    pvm->Outputs[0][32] = OutputElement{range.low, 0.0f};
    pvm->Outputs[1][32].Level = range.high;
    pvm->Outputs[2][32].Level = range.step;
    if (param.Number.Base.ratio.denominator == 0) param.Number.Base.ratio.denominator = 1;
    ParamValueLoadNumber(param.Number, value);
  }
  t.Changed.Store(0);

  if (t.PolyphonyCapability != 2) t.FollowsPolyphony = 0;
  if (t.PolyphonyCapability == 0) t.VoiceFlagRoot = 1;
  if (t.RequiresPortLink != 0 && t.RequiredPort > 0 && t.RequiredPort < kModuleParams)
    t.Params[t.RequiredPort].NoValueEditor = -1;
  // A new module's voices follow the same port a reloaded one's do.
  if (t.ChosenSourcePort < 0) t.VoiceMapSourcePort.Store(t.RequiredPort < 0 ? 0 : t.RequiredPort);

  t.BoxWidthUnits = t.PortCount * 6;
  t.BoxHeightUnits = 11;
  int32_t px = CatalogTextWidth != nullptr ? CatalogTextWidth(DynZStringGet(t.ShortName) + " 888", 20) : 0;
  int32_t w = static_cast<int32_t>(std::nearbyint(static_cast<double>(px) / 5.0));
  if (w < 22) w = 22;
  if (t.PortCount > 0) t.BoxHeightUnits += 7;
  if (t.BoxWidthUnits < w) t.BoxWidthUnits = w;
  return result;
}

int32_t BuildCatalog() {
  FreeCatalog();
  int32_t result = 0;
  for (int32_t i = 0; i < kModuleTypeCount; ++i) ModulePaletteOrder[i] = kModulePaletteOrder[i];
  for (int32_t s = 0; s < kCatalogSlots; ++s)
    if (CommonDefaults(ModuleCatalog[s], s) != 0) result = -QUARLE_BASICS::kErrAllocation;
  LookUpCommonNames();
  for (int32_t d = 0; d < kModuleTypeCount; ++d) {
    int32_t r = kTypeBlocks[d](ModuleCatalog[kDefinitionOrder[d]]);
    if (r != 0) result = r;
  }
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    int32_t r = FinishTemplate(ModuleCatalog[t]);
    if (r != 0) result = r;
  }
  CatalogBuilt = -1;
  return result;
}

void FreeCatalog() {
  for (ModuleRecord& t : ModuleCatalog) {
    ModuleFree(t);
    std::memset(static_cast<void*>(&t), 0, sizeof(t));
  }
  CatalogBuilt = 0;
}

}  // namespace Tarvelo
