// Time-based types: averages, envelope follower, delay and echo. Each keeps
// its voices after the input stops and holds its history in per-voice work
// buffers sized from the sample rate.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/dsp/averages.h"
#include "engine/dsp/delay.h"
#include "engine/globals.h"

namespace Tarvelo {

namespace {

// The unit of a row: the format call with the form, family and unit, then the
// unit the field shows when it differs.
void Format(ModuleRecord& t, int32_t p, int32_t form, int32_t family, int32_t unit, int32_t shownUnit = -1) {
  ParamValueSetFormat(t.Params[p].Number, form, family, unit);
  if (shownUnit >= 0) t.Params[p].Number.Unit = shownUnit;
}

void InputPort(ModuleRecord& t) {
  SetParamName(t, 0, CommonNames[kNameInput], "In");
  SetParamRange(t, 0, -1.0f, 1.0f, 1.0f);
  Format(t, 0, 0, kUnitLevel, 0, 1);
}

// What all four share: they play on after their input and lead the modules
// they feed as an envelope would.
void KeepsItsVoices(ModuleRecord& t) {
  t.KeepsVoices = -1;
  t.VoiceOwner = -1;
}

}  // namespace

int32_t DefineMobileAverage(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessMobileAverageMono;
  t.ProcessFunctions[1] = ProcessMobileAveragePoly;
  BeginType(t, 573, "Mobile average", nullptr, kCategoryFilter);
  KeepsItsVoices(t);
  t.PortCount = 2;
  result = ModuleAllocBuffers(t, RateWhole + 3, 2, -1);
  InputPort(t);
  // Shown in frames, held in seconds.
  const float rate = static_cast<float>(RateWhole);
  SetParamName(t, kAveragePeriod, CommonNames[kNamePeriod], "T");
  SetParamRange(t, kAveragePeriod, 1.0f, rate, 3.0f, rate);
  Format(t, kAveragePeriod, 0, kUnitTime, 0, 1);
  t.ParamCount = 2;
  return result;
}

int32_t DefineEnvelopeFollower(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessEnvelopeFollowerMono;
  t.ProcessFunctions[1] = ProcessEnvelopeFollowerPoly;
  BeginType(t, 574, "Envelope follower", nullptr, kCategoryFilter);
  KeepsItsVoices(t);
  // Sources whose amplitude it drives do not divide their voices by their count.
  t.ModuleSwitches[kSwitchEnvelope].Store(-1);
  t.PortCount = 1;
  result = ModuleAllocBuffers(t, 1, 2, -1);
  InputPort(t);
  SetParamName(t, kFollowerPeriod, CommonNames[kNamePeriod], "T");
  SetParamRange(t, kFollowerPeriod, 2.0f, static_cast<float>(RateWhole), 480.0f);
  Format(t, kFollowerPeriod, 0, kUnitTime, 0, 1);
  SetParamName(t, kFollowerGain, 575, "Makeup gain", "G");
  SetParamRange(t, kFollowerGain, 1.0f, 1000.0f, 1.0f);
  Format(t, kFollowerGain, 0, kUnitLevel, 0, 1);
  t.ParamCount = 3;
  return result;
}

int32_t DefineDelay(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessDelayMono;
  t.ProcessFunctions[1] = ProcessDelayPoly;
  BeginType(t, 576, "Delay", nullptr, kCategoryEffect);
  KeepsItsVoices(t);
  t.PortCount = 2;
  // One second of history per channel and voice.
  result = ModuleAllocBuffers(t, RateWhole + 1, 2, -1);
  InputPort(t);
  SetParamName(t, kDelayPeriod, CommonNames[kNamePeriod], "T");
  SetParamRange(t, kDelayPeriod, 0.0f, 1.0f, 0.5f);
  Format(t, kDelayPeriod, 1, kUnitTime, 1);
  t.ParamCount = 2;
  return result;
}

int32_t DefineEcho(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessEchoMono;
  t.ProcessFunctions[1] = ProcessEchoPoly;
  BeginType(t, 577, "Echo", nullptr, kCategoryEffect);
  KeepsItsVoices(t);
  t.PortCount = 3;
  result = ModuleAllocBuffers(t, RateWhole + 1, 2, -1);
  InputPort(t);
  SetParamName(t, kDelayPeriod, CommonNames[kNamePeriod], "T");
  SetParamRange(t, kDelayPeriod, 0.0f, 1.0f, 0.25f);
  Format(t, kDelayPeriod, 1, kUnitTime, 1);
  SetParamName(t, kEchoDecay, 578, "Decay", "D");
  SetParamRange(t, kEchoDecay, 0.0f, 1.0f, 0.2f);
  t.ParamCount = 3;
  return result;
}

}  // namespace Tarvelo
