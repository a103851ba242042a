// Sound sources: audio input, samples, oscillators, sine waves and the randomizer.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/dsp/capture.h"
#include "engine/dsp/oscillators.h"
#include "engine/dsp/randomizer.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/waves.h"
#include "engine/globals.h"

namespace Tarvelo {

namespace {

// The unit of a row: ParamValueSetFormat with the family, then the unit the
// field shows when it differs from what the format call gives.
void Format(ModuleRecord& t, int32_t p, int32_t family, int32_t unit, int32_t shownUnit = -1) {
  ParamValueSetFormat(t.Params[p].Number, -1, family, unit);
  if (shownUnit >= 0) t.Params[p].Number.Unit = shownUnit;
}

// The three ports every sound source starts with: bias, amplitude, frequency.
void SourcePorts(ModuleRecord& t, float amplitude, float frequency) {
  SetParamName(t, 0, CommonNames[kNameBias], "B");
  SetParamRange(t, 0, -1.0f, 1.0f, 0.0f);
  Format(t, 0, kUnitLevel, 0);
  SetParamName(t, 1, CommonNames[kNameAmplitude], "A");
  SetParamRange(t, 1, -1.0f, 1.0f, amplitude);
  Format(t, 1, kUnitLevel, 0, 1);
  SetParamName(t, 2, CommonNames[kNameFrequency], "F");
  SetParamRange(t, 2, -RateQuarter, RateQuarter, frequency, RateQuarter);
  Format(t, 2, kUnitTime, 2);
  t.Params[2].OutputSide.Store(1);
}

}  // namespace

int32_t DefineCapture(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessCapture;
  t.ProcessFunctions[1] = ProcessCapture;
  t.PolyphonyCapability = 0;
  BeginType(t, 509, "Capture", nullptr, kCategoryAudioInput);
  t.RunsWithoutVoices = -1;
  t.PortCount = 0;
  t.ParamCount = 0;
  return result;
}

int32_t DefineSample(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessSampleMono;
  t.ProcessFunctions[1] = ProcessSamplePoly;
  BeginType(t, 510, "Sample", nullptr, kCategorySource);
  t.FollowsPolyphony = 0;
  t.ModuleSwitches[kSwitchLoop].Store(-1);
  t.PortCount = 6;
  SourcePorts(t, 0.33f, 1.0f);
  SetParamName(t, 3, 511, "Phase (Time offset)", "P");
  SetParamRange(t, 3, -1.0f, 1.0f, 0.0f);
  SetParamName(t, 4, CommonNames[kNamePeriod], "T");
  SetParamRange(t, 4, -1.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[4].Number, 1, -1, -1);
  SetParamName(t, 5, CommonNames[kNameInput], "In");
  SetParamRange(t, 5, -1.0f, 1.0f, 1.0f);
  Format(t, 5, kUnitLevel, 0, 1);
  SetParamName(t, 6, 512, "Record length (Max)", "L");
  SetParamRange(t, 6, 0.01f, 600.0f, 12.0f);
  Format(t, 6, kUnitTime, 1);
  t.Params[6].ChannelCountExempt = -1;
  t.ParamCount = 7;
  return result;
}

int32_t DefineOscillator(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessOscillatorMono;
  t.ProcessFunctions[1] = ProcessOscillatorPoly;
  // The shapes the Oscillator plays by index; the start-up has named them.
  InstallWaveShapes();
  BeginType(t, 513, "Oscillator", nullptr, kCategorySource);
  t.FollowsPolyphony = 0;
  t.ModuleSwitches[kSwitchLoop].Store(-1);
  t.PortCount = 6;
  SourcePorts(t, 0.25f, 55.0f);
  SetParamName(t, 3, 514, "Phase (Time offset)", "P");
  SetParamRange(t, 3, -1.0f, 1.0f, 0.0f);
  SetParamName(t, 4, CommonNames[kNamePeriod], "T");
  SetParamRange(t, 4, -1.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[4].Number, 1, -1, -1);
  SetParamName(t, 5, CommonNames[kNameDutyCycle], "D");
  SetParamRange(t, 5, -1.0f, 1.0f, 1.0f);
  t.ParamCount = 6;
  return result;
}

int32_t DefineSineWave(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessSineWaveMono;
  t.ProcessFunctions[1] = ProcessSineWavePoly;
  BeginType(t, 515, "Sine wave", nullptr, kCategorySource);
  t.FollowsPolyphony = 0;
  t.ModuleSwitches[kSwitchLoop].Store(-1);
  t.PortCount = 3;
  SourcePorts(t, 0.25f, 55.0f);
  t.ParamCount = 3;
  return result;
}

int32_t DefineRandomizer(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessRandomizerMono;
  t.ProcessFunctions[1] = ProcessRandomizerPoly;
  BeginType(t, 516, "4-in-1 Randomizer", nullptr, kCategorySource);
  t.PortCount = 4;
  SetParamName(t, 0, CommonNames[kNameInput], "In");
  SetParamRange(t, 0, -1.0f, 1.0f, 0.95f);
  Format(t, 0, kUnitLevel, 0, 1);
  SetParamName(t, 1, CommonNames[kNameBias], "B");
  SetParamRange(t, 1, -1.0f, 1.0f, 0.0f);
  Format(t, 1, kUnitLevel, 0);
  SetParamName(t, 2, 517, "Resolution", "R");
  SetParamRange(t, 2, 0.0f, 1.0f, 0.01f);
  Format(t, 2, kUnitLevel, 0);
  const float rate = static_cast<float>(RateWhole);
  SetParamName(t, 3, 518, "Refresh period (0=hold)", "T");
  SetParamRange(t, 3, 0.0f, rate, 50.0f, rate);
  Format(t, 3, kUnitTime, 0);
  t.ParamCount = 4;
  return result;
}

}  // namespace Tarvelo
