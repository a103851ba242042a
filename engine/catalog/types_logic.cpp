// Logic and arithmetic types.
#include <string>

#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/types.h"
#include "engine/dsp/arithmetic.h"
#include "engine/dsp/logic.h"
#include "engine/dsp/mixer.h"
#include "engine/globals.h"

namespace Tarvelo {

namespace {

// An amplitude row: number display form 0, family 3 in unit "a"; shownInDb
// then shows it in dB without converting the stored number.
void Amplitude(ModuleRecord& t, int32_t p, bool shownInDb) {
  ParamValueSetFormat(t.Params[p].Number, 0, kUnitLevel, 0);
  if (shownInDb) t.Params[p].Number.Unit = 1;
}

// A port or setting with the common -1..1 range.
void Row(ModuleRecord& t, int32_t p, const std::string& name, const char* label, float value, bool shownInDb) {
  SetParamName(t, p, name, label);
  SetParamRange(t, p, -1.0f, 1.0f, value);
  Amplitude(t, p, shownInDb);
}

// Addition, Difference and Product: ports "Input a" and "Input b".
void TwoInputPorts(ModuleRecord& t, float value) {
  t.PortCount = 2;
  Row(t, 0, CommonNames[kNameInput] + " a", "a", value, false);
  Row(t, 1, CommonNames[kNameInput] + " b", "b", value, false);
  t.ParamCount = 2;
}

// Inverter, Absolute, Derivative, Rectifier: the one port "Input".
void OneInputPort(ModuleRecord& t, bool shownInDb) {
  t.PortCount = 1;
  Row(t, 0, CommonNames[kNameInput], "In", 1.0f, shownInDb);
  t.ParamCount = 1;
}

}  // namespace

int32_t DefineGate(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessGateMono;
  t.ProcessFunctions[1] = ProcessGatePoly;
  BeginType(t, 558, "Gate", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  Row(t, kGateInput, CommonNames[kNameInput], "In", 1.0f, false);
  Row(t, kGateThreshold, CommonNames[kNameThreshold], "T", 0.0f, false);
  t.ParamCount = 2;
  return 0;
}

int32_t DefineLogicSwitch(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessLogicSwitchMono;
  t.ProcessFunctions[1] = ProcessLogicSwitchPoly;
  BeginType(t, 559, "Logic switch", nullptr, kCategoryLogic);
  t.RunsWithoutVoices = -1;
  t.PortCount = 5;
  Row(t, kLogicInput, CommonNames[kNameInput], "In", 1.0f, false);
  Row(t, kLogicThreshold, CommonNames[kNameThreshold], "T", 1.0f, false);
  const std::string outputIf = QUARLE_BASICS::LangText(560, "Output if");
  Row(t, kLogicBelow, outputIf + " In < T", "<", 0.0f, false);
  Row(t, kLogicEqual, outputIf + " In = T", "=", 0.0f, false);
  Row(t, kLogicAbove, outputIf + " In > T", ">", 0.0f, false);
  t.ParamCount = 5;
  return 0;
}

int32_t DefineAddition(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessAdditionMono;
  t.ProcessFunctions[1] = ProcessAdditionPoly;
  BeginType(t, 561, "Addition", "a+b", kCategoryLogic);
  TwoInputPorts(t, 0.5f);
  return 0;
}

int32_t DefineDifference(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessDifferenceMono;
  t.ProcessFunctions[1] = ProcessDifferencePoly;
  BeginType(t, 562, "Difference", "a-b", kCategoryLogic);
  TwoInputPorts(t, 0.5f);
  return 0;
}

int32_t DefineProduct(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessProductMono;
  t.ProcessFunctions[1] = ProcessProductPoly;
  BeginType(t, 563, "Product", "a*b", kCategoryLogic);
  TwoInputPorts(t, 1.0f);
  return 0;
}

int32_t DefineInverter(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessInverterMono;
  t.ProcessFunctions[1] = ProcessInverterPoly;
  BeginType(t, 564, "Inverter", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  OneInputPort(t, true);
  return 0;
}

int32_t DefineAbsolute(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessAbsoluteMono;
  t.ProcessFunctions[1] = ProcessAbsolutePoly;
  BeginType(t, 565, "Absolute", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  OneInputPort(t, true);
  return 0;
}

int32_t DefineDerivative(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessDerivativeMono;
  t.ProcessFunctions[1] = ProcessDerivativePoly;
  BeginType(t, 566, "Derivative", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  OneInputPort(t, true);
  return 0;
}

int32_t DefineRectifier(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessRectifierMono;
  t.ProcessFunctions[1] = ProcessRectifierPoly;
  BeginType(t, 567, "Rectifier", nullptr, kCategoryLogic);
  OneInputPort(t, false);
  return 0;
}

int32_t DefineLevel(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessLevelMono;
  t.ProcessFunctions[1] = ProcessLevelPoly;
  // The type's name is also the name of its level port.
  BeginType(t, 568, "Level", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  Row(t, kLevelInput, CommonNames[kNameInput], "In", 1.0f, true);
  SetParamName(t, kLevelLevel, 568, "Level", "P");
  SetParamRange(t, kLevelLevel, 0.0f, 1000.0f, 2.0f);
  Amplitude(t, kLevelLevel, true);
  Row(t, kLevelBias, CommonNames[kNameBias], "B", 0.0f, false);
  SetParamName(t, kLevelMaxInput, 569, "Max input level", "M");
  SetParamRange(t, kLevelMaxInput, 1.0f, 1000.0f, 20.0f);
  Amplitude(t, kLevelMaxInput, true);
  t.ParamCount = 4;
  return 0;
}

int32_t DefineClipper(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessClipperMono;
  t.ProcessFunctions[1] = ProcessClipperPoly;
  BeginType(t, 570, "Clipper", nullptr, kCategoryLogic);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  Row(t, kClipperInput, CommonNames[kNameInput], "In", 1.0f, true);
  SetParamName(t, kClipperThreshold, CommonNames[kNameThreshold], "T");
  SetParamRange(t, kClipperThreshold, 0.0f, 1.0f, 0.5f);
  Amplitude(t, kClipperThreshold, true);
  t.ParamCount = 2;
  return 0;
}

int32_t DefineMixer(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessMixerMono;
  t.ProcessFunctions[1] = ProcessMixerPoly;
  BeginType(t, 571, "Mixer", nullptr, kCategoryLogic);
  t.RunsWithoutVoices = -1;
  // The first input, not the master volume, leads the voices.
  t.ChosenSourcePort = kMixerFirstInput;
  t.VoiceMapSourcePort.Store(kMixerFirstInput);
  t.RequiredPort = kMixerFirstInput;
  t.PortCount = 1 + kMixerInputs;
  SetParamName(t, kMixerMasterVolume, 572, "Master volume", "V");
  SetParamRange(t, kMixerMasterVolume, -1.0f, 1.0f, 1.0f);
  Amplitude(t, kMixerMasterVolume, true);
  for (int32_t k = 1; k <= kMixerInputs; ++k) {
    const std::string number = std::to_string(k);
    Row(t, k, CommonNames[kNameInput] + " #" + number, number.c_str(), 1.0f, true);
  }
  t.ParamCount = 1 + kMixerInputs;
  return 0;
}

}  // namespace Tarvelo
