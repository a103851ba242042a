// Filter and shaping types: the filter, distortion and the dynamics effects.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/dsp/distortion.h"
#include "engine/dsp/dynamics.h"
#include "engine/dsp/filter.h"
#include "engine/globals.h"

namespace Tarvelo {

namespace {

// The unit of a row: the format call in plain number form with the family and
// unit, then the unit the field shows when it differs.
void Format(ModuleRecord& t, int32_t p, int32_t family, int32_t unit, int32_t shownUnit = -1) {
  ParamValueSetFormat(t.Params[p].Number, 0, family, unit);
  if (shownUnit >= 0) t.Params[p].Number.Unit = shownUnit;
}

// Port 0 of every type here: the input, an amplitude shown in dB.
void InputPort(ModuleRecord& t) {
  SetParamName(t, 0, CommonNames[kNameInput], "In");
  SetParamRange(t, 0, -1.0f, 1.0f, 1.0f);
  Format(t, 0, kUnitLevel, 0, 1);
}

// A whole number of passes, 1 to 7, one value for both channels.
void PassesSetting(ModuleRecord& t, int32_t p, uint32_t message) {
  SetParamName(t, p, message, "Passes", "P");
  SetParamRange(t, p, 1.0f, 7.0f, 3.0f);
  Format(t, p, kUnitCount, 0);
  t.Params[p].ChannelCountExempt = -1;
}

}  // namespace

int32_t DefineFilter(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessFilterMono;
  t.ProcessFunctions[1] = ProcessFilterPoly;
  BeginType(t, 579, "Filter", nullptr, kCategoryFilter);
  t.PortCount = 3;
  result = ModuleAllocBuffers(t, 14, 2, -1);
  InputPort(t);
  SetParamName(t, kFilterLowPass, 580, "Low pass", "L");
  SetParamRange(t, kFilterLowPass, 0.0f, 1.0f, 0.0f);
  SetParamName(t, kFilterHighPass, 581, "Hi pass", "H");
  SetParamRange(t, kFilterHighPass, 0.0f, 1.0f, 0.0f);
  PassesSetting(t, kFilterPasses, 582);
  t.ParamCount = 4;
  return result;
}

int32_t DefineDistortion(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessDistortionMono;
  t.ProcessFunctions[1] = ProcessDistortionPoly;
  BeginType(t, 586, "Distortion", nullptr, kCategoryEffect);
  t.PortCount = 3;
  InputPort(t);
  SetParamName(t, kDistortionFactor, 587, "Factor", "K");
  SetParamRange(t, kDistortionFactor, 0.0f, 1.0f, 0.2f);
  SetParamName(t, kDistortionAttenuation, 588, "Attenuation", "a");
  SetParamRange(t, kDistortionAttenuation, 0.0f, 1.0f, 0.0f);
  t.ParamCount = 3;
  return result;
}

int32_t DefineSoftLimiter(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessSoftLimiterMono;
  t.ProcessFunctions[1] = ProcessSoftLimiterPoly;
  BeginType(t, 592, "Soft Limiter", nullptr, kCategoryEffect);
  t.PortCount = 2;
  InputPort(t);
  SetParamName(t, kLimiterThreshold, CommonNames[kNameThreshold], "T");
  SetParamRange(t, kLimiterThreshold, 0.0f, 1.0f, 0.5f);
  Format(t, kLimiterThreshold, kUnitLevel, 0);
  t.ParamCount = 2;
  return result;
}

int32_t DefineWaveFolder(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessWaveFolderMono;
  t.ProcessFunctions[1] = ProcessWaveFolderPoly;
  BeginType(t, 593, "Wave Folder", nullptr, kCategoryEffect);
  t.PortCount = 3;
  InputPort(t);
  SetParamName(t, kFolderThreshold, CommonNames[kNameThreshold], "T");
  SetParamRange(t, kFolderThreshold, 0.0f, 1.0f, 0.667f);
  Format(t, kFolderThreshold, kUnitLevel, 0);
  SetParamName(t, kFolderRange, 594, "Fold Range", "R");
  SetParamRange(t, kFolderRange, 0.0f, 1.0f, 0.5f);
  Format(t, kFolderRange, kUnitLevel, 0);
  PassesSetting(t, kFolderPasses, 595);
  t.ParamCount = 4;
  return result;
}

int32_t DefineCompressor(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessCompressorMono;
  t.ProcessFunctions[1] = ProcessCompressorPoly;
  BeginType(t, 596, "Compressor", nullptr, kCategoryEffect);
  t.PortCount = 1;
  InputPort(t);
  SetParamName(t, kCompressorThreshold, CommonNames[kNameThreshold], "T");
  SetParamRange(t, kCompressorThreshold, 0.0f, 1.0f, 0.125f);
  Format(t, kCompressorThreshold, kUnitLevel, 0, 1);
  SetParamName(t, kCompressorRatio, 597, "Ratio", "X");
  SetParamRange(t, kCompressorRatio, 1.0f, 16.0f, 2.0f);
  // Attack and release count frames and are shown in seconds.
  const float rate = static_cast<float>(RateWhole);
  SetParamName(t, kCompressorAttack, 598, "Attack period", "A");
  SetParamRange(t, kCompressorAttack, 2.0f, rate, 480.0f);
  Format(t, kCompressorAttack, kUnitTime, 0, 1);
  SetParamName(t, kCompressorRelease, 599, "Release period", "R");
  SetParamRange(t, kCompressorRelease, 2.0f, rate, 1200.0f);
  Format(t, kCompressorRelease, kUnitTime, 0, 1);
  SetParamName(t, kCompressorGain, 600, "Makeup gain", "G");
  SetParamRange(t, kCompressorGain, 1.0f, 1000.0f, 1.0f);
  Format(t, kCompressorGain, kUnitLevel, 0, 1);
  t.ParamCount = 6;
  return result;
}

}  // namespace Tarvelo
