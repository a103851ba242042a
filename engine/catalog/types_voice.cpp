// Voice and pitch control types.
#include "engine/catalog/types.h"

#include <string>

#include "engine/catalog/catalog.h"
#include "engine/dsp/pitch.h"
#include "engine/dsp/voices.h"
#include "engine/globals.h"

namespace Tarvelo {

namespace {

// The frequency port that Pitch bend, Harmonic and Voice selector start with:
// it reads the frequency side of its source, so it becomes their lead port.
void FrequencyPort(ModuleRecord& t) {
  SetParamName(t, 0, CommonNames[kNameFrequency], "F");
  SetParamRange(t, 0, -RateQuarter, RateQuarter, 55.0f, RateQuarter);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitTime, 2);
  t.Params[0].OutputSide.Store(1);
}

}  // namespace

int32_t DefinePitchBend(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessPitchBendMono;
  t.ProcessFunctions[1] = ProcessPitchBendPoly;
  t.PolyphonyCapability = 2;
  BeginType(t, 549, "Pitch bend", nullptr, kCategoryControl);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  FrequencyPort(t);
  SetParamName(t, 1, 550, "Pitch", "P");
  SetParamRange(t, 1, -1.0f, 1.0f, 0.0f);
  SetParamName(t, 2, 551, "Pitch range", "R");
  SetParamRange(t, 2, 1.0f, 32.0f, 1.5f);
  t.ParamCount = 3;
  return result;
}

int32_t DefineHarmonic(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessHarmonicMono;
  t.ProcessFunctions[1] = ProcessHarmonicPoly;
  t.PolyphonyCapability = 2;
  BeginType(t, 552, "Harmonic", nullptr, kCategoryControl);
  t.RequiresPortLink = -1;
  t.PortCount = 1;
  FrequencyPort(t);
  SetParamName(t, 1, 552, "Harmonic", "H");
  SetParamRange(t, 1, 0.0f, 12000.0f, 2.0f);
  t.ParamCount = 2;
  return result;
}

int32_t DefineVoiceSelector(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessVoiceSelector;
  t.ProcessFunctions[1] = ProcessVoiceSelector;
  t.PolyphonyCapability = 0;
  BeginType(t, 553, "Voice selector", nullptr, kCategoryControl);
  t.RequiresPortLink = -1;
  t.PortCount = 1;
  FrequencyPort(t);
  SetParamName(t, 1, 554, "Frequency Channel", "C");
  SetParamRange(t, 1, 0.0f, 31.0f, 0.0f);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitCount, 0);
  t.Params[1].ChannelCountExempt = -1;
  t.ParamCount = 2;
  return result;
}

int32_t DefineVoiceMixer(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessVoiceMixer;
  t.ProcessFunctions[1] = ProcessVoiceMixer;
  t.PolyphonyCapability = 0;
  BeginType(t, 555, "Voice Mixer", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  SetParamName(t, 0, CommonNames[kNameInput], "In");
  SetParamRange(t, 0, -1.0f, 1.0f, 1.0f);
  // Stored as an amplitude, shown in dB.
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitLevel, 0);
  t.Params[0].Number.Unit = 1;
  SetParamName(t, 1, 556, "Scaling", "S");
  SetParamRange(t, 1, 0.0f, 1.0f, 0.0f);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitNone, 0);
  t.Params[1].ChannelCountExempt = -1;
  t.Params[1].NoValueEditor = -1;
  t.ParamCount = 2;
  return result;
}

int32_t DefineMultiplexer(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessMultiplexer;
  t.ProcessFunctions[1] = ProcessMultiplexer;
  t.PolyphonyCapability = 1;
  BeginType(t, 557, "Multiplexer", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.VoiceOwner = -1;
  t.FollowsPolyphony = 0;
  t.VoiceFlagRoot = -1;
  t.PortCount = kMultiplexerInputs;
  // Input k becomes the voice whose id is k; the labels count from 1.
  for (int32_t k = 0; k < kMultiplexerInputs; ++k) {
    const std::string number = std::to_string(k + 1);
    SetParamName(t, k, CommonNames[kNameInput] + " " + number, number.c_str());
    SetParamRange(t, k, -1.0f, 1.0f, 0.0f);
    ParamValueSetFormat(t.Params[k].Number, -1, kUnitLevel, 0);
  }
  t.ParamCount = kMultiplexerInputs;
  return result;
}

}  // namespace Tarvelo
