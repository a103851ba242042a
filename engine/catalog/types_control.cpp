// Control types: keyboards, sequencers, envelopes, step sequencer, mapper, melody generator.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/dsp/adsr.h"
#include "engine/dsp/keyboards.h"
#include "engine/globals.h"

namespace Tarvelo {

int32_t DefineKeyboard(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessKeyboardMono;
  t.ProcessFunctions[1] = ProcessKeyboardPoly;
  BeginType(t, 519, "Keyboard", "KB", kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.ChannelsFixed = -1;
  t.VoiceFlagRoot = -1;
  t.VoiceOwner = -1;
  t.PortCount = 0;
  SetParamName(t, 0, 520, "Max keys (polyphonic)", "K");
  SetParamRange(t, 0, 2.0f, 32.0f, 8.0f);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitCount, 0);
  t.Params[0].ChannelCountExempt = -1;
  t.ParamCount = 1;
  return result;
}

int32_t DefineOctaveBoard(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessOctaveBoardMono;
  t.ProcessFunctions[1] = ProcessOctaveBoardPoly;
  BeginType(t, 521, "Octave board", "BB", kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.ChannelsFixed = -1;
  t.VoiceFlagRoot = -1;
  t.VoiceOwner = -1;
  t.PortCount = 0;
  SetParamName(t, 0, 522, "Base frequency", "F");
  SetParamRange(t, 0, -16.0f, 16.0f, 1.0f);
  // Formatted as hertz, shown in BPM.
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitTime, 2);
  t.Params[0].Number.Unit = 3;
  t.Params[0].ChannelCountExempt = -1;
  SetParamName(t, 1, 523, "Max keys (polyphonic)", "K");
  SetParamRange(t, 1, 2.0f, 32.0f, 8.0f);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitCount, 0);
  t.Params[1].ChannelCountExempt = -1;
  t.ParamCount = 2;
  return result;
}

int32_t DefineSequencer(ModuleRecord& t) {
  // Its process functions come with the sequencer kernels.
  int32_t result = 0;
  BeginType(t, 524, "Sequencer", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.KeepsVoices = -1;
  t.FollowsPolyphony = 0;
  t.ChannelsFixed = -1;
  t.VoiceFlagRoot = -1;
  t.VoiceOwner = -1;
  t.PortCount = 3;
  result = ModuleAllocBuffers(t, 128, 1, -1);
  SetParamName(t, 0, CommonNames[kNameFrequency], "F");
  SetParamRange(t, 0, -RateQuarter, RateQuarter, 55.0f, RateQuarter);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitTime, 2);
  t.Params[0].OutputSide = 1;
  SetParamName(t, 1, CommonNames[kNameVelocity], "V");
  SetParamRange(t, 1, -1.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitLevel, 0);
  t.Params[1].Number.Unit = 1;
  SetParamName(t, 2, CommonNames[kNameTempo], "T");
  SetParamRange(t, 2, -RateQuarter / 10.0f, RateQuarter / 10.0f, 1.0f, RateQuarter);
  ParamValueSetFormat(t.Params[2].Number, -1, kUnitTime, 3);
  SetParamName(t, 3, 525, "Offset", "O");
  SetParamRange(t, 3, -1.0f, 1.0f, 0.0f);
  SetParamName(t, 4, 526, "Length (0=manual stop)", "L");
  SetParamRange(t, 4, 0.0f, 3600.0f, 0.0f);
  ParamValueSetFormat(t.Params[4].Number, -1, kUnitTime, 1);
  for (int32_t p = 0; p < 5; ++p) t.Params[p].ChannelCountExempt = -1;
  t.ParamCount = 5;
  return result;
}

int32_t DefineAdsr(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessAdsrMono;
  t.ProcessFunctions[1] = ProcessAdsrPoly;
  BeginType(t, 527, "ADSR Envelope", nullptr, kCategoryControl);
  t.KeepsVoices = -1;
  t.ModuleSwitches[kSwitchEnvelope] = -1;
  t.RequiresPortLink = -1;
  t.FollowsPolyphony = -1;
  t.VoiceOwner = -1;
  t.VoiceFlagRoot = -1;
  t.PortCount = 3;
  SetParamName(t, 0, CommonNames[kNameFrequency], "F");
  SetParamRange(t, 0, -RateQuarter, RateQuarter, 55.0f, RateQuarter);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitTime, 2);
  t.Params[0].OutputSide = 1;
  t.Params[0].NoValueEditor = -1;
  SetParamName(t, 1, CommonNames[kNameVelocity], "V");
  SetParamRange(t, 1, 0.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitLevel, 0);
  t.Params[1].Number.Unit = 1;
  SetParamName(t, 2, 528, "Sustain modulation", "S");
  SetParamRange(t, 2, 0.0f, 1.0f, 0.5f);
  ParamValueSetFormat(t.Params[2].Number, -1, kUnitLevel, 0);
  t.Params[2].Number.Unit = 1;
  // Stage lengths in seconds; only the sustain may be 0 (held until the note ends).
  struct Length {
    uint32_t message;
    const char* name;
    const char* label;
    float min;
    float value;
  };
  static const Length kLengths[4] = {{529, "Attack length", "A", 0.0005f, 0.1f},
                                     {530, "Decay length", "D", 0.0005f, 0.1f},
                                     {531, "Sustain length (0=auto)", "S", 0.0f, 1.0f},
                                     {532, "Release length", "R", 0.0005f, 1.0f}};
  for (int32_t i = 0; i < 4; ++i) {
    const int32_t p = 3 + i;
    SetParamName(t, p, kLengths[i].message, kLengths[i].name, kLengths[i].label);
    SetParamRange(t, p, kLengths[i].min, 10.0f, kLengths[i].value);
    ParamValueSetFormat(t.Params[p].Number, -1, kUnitTime, 1);
  }
  SetParamName(t, 7, 533, "Retrigger factor", "*");
  SetParamRange(t, 7, 0.0f, 1.0f, 1.0f);
  for (int32_t p = 0; p < 8; ++p) t.Params[p].ChannelCountExempt = -1;
  t.ParamCount = 8;
  return result;
}

int32_t DefineStepSequencer(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 534, "Step Sequencer", nullptr, kCategoryControl);
  t.PortCount = 4;
  t.ParamCount = 10;
  return result;
}

int32_t DefineMapper(ModuleRecord& t) {
  int32_t result = 0;
  BeginType(t, 537, "Mapper", nullptr, kCategoryControl);
  t.PortCount = 1;
  t.ParamCount = 3;
  return result;
}

int32_t DefineMelodyGenerator(ModuleRecord& t) {
  int32_t result = 0;
  t.PolyphonyCapability = 0;
  BeginType(t, 540, "Melody Generator", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.KeepsVoices = -1;
  t.ChannelsFixed = -1;
  t.PortCount = 7;
  result = ModuleAllocBuffers(t, 2304, 1, -1);
  t.ParamCount = 11;
  return result;
}

}  // namespace Tarvelo
