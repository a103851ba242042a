// Control types: keyboards, sequencers, envelopes, step sequencer, mapper, melody generator.
#include "engine/catalog/types.h"

#include <cmath>
#include <string>

#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/dsp/adsr.h"
#include "engine/dsp/keyboards.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/sequencer.h"
#include "engine/dsp/stepseq.h"
#include "engine/globals.h"

namespace Tarvelo {

namespace {
// Keyboards and octave boards own their voices and have no ports.
void BoardFlags(ModuleRecord& t) {
  t.RunsWithoutVoices = -1;
  t.ChannelsFixed = -1;
  t.VoiceFlagRoot = -1;
  t.VoiceOwner = -1;
  t.PortCount = 0;
}
}  // namespace

int32_t DefineKeyboard(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessKeyboardMono;
  t.ProcessFunctions[1] = ProcessKeyboardPoly;
  BeginType(t, 519, "Keyboard", "KB", kCategoryControl);
  BoardFlags(t);
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
  BoardFlags(t);
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
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessSequencerMono;
  t.ProcessFunctions[1] = ProcessSequencerPoly;
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
  t.Params[0].OutputSide.Store(1);
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
  t.ModuleSwitches[kSwitchEnvelope].Store(-1);
  t.RequiresPortLink = -1;
  t.FollowsPolyphony = -1;
  t.VoiceOwner = -1;
  t.VoiceFlagRoot = -1;
  t.PortCount = 3;
  SetParamName(t, 0, CommonNames[kNameFrequency], "F");
  SetParamRange(t, 0, -RateQuarter, RateQuarter, 55.0f, RateQuarter);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitTime, 2);
  t.Params[0].OutputSide.Store(1);
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
  // one thread: value
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
  t.ProcessFunctions[0] = ProcessStepSequencerMono;
  t.ProcessFunctions[1] = ProcessStepSequencerPoly;
  BeginType(t, 534, "Step Sequencer", nullptr, kCategoryControl);
  t.PortCount = 4;
  SetParamName(t, 0, CommonNames[kNameFrequency], "F");
  SetParamRange(t, 0, -RateQuarter, RateQuarter, 55.0f, RateQuarter);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitTime, 2);
  t.Params[0].OutputSide.Store(1);
  SetParamName(t, 1, CommonNames[kNameVelocity], "V");
  SetParamRange(t, 1, -1.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitLevel, 0);
  t.Params[1].Number.Unit = 1;
  SetParamName(t, 2, CommonNames[kNameTempo], "T");
  SetParamRange(t, 2, -RateQuarter / 10.0f, RateQuarter / 10.0f, 8.0f, RateQuarter);
  ParamValueSetFormat(t.Params[2].Number, -1, kUnitTime, 3);
  SetParamName(t, 3, CommonNames[kNameDutyCycle], "D");
  SetParamRange(t, 3, -1.0f, 1.0f, 0.99f);
  SetParamName(t, 4, 535, "Length", "L");
  SetParamRange(t, 4, 1.0f, 100.0f, 20.0f);
  ParamValueSetFormat(t.Params[4].Number, -1, kUnitCount, 0);
  // Five pattern words of 20 step bits each; the first starts as a random
  // pattern so that a new module plays something.
  const std::string pattern = QUARLE_BASICS::LangText(536, "Pattern value");
  for (int32_t q = 0; q < kStepPatternWords; ++q) {
    const int32_t p = kStepPattern + q;
    const std::string number = std::to_string(q + 1);
    SetParamName(t, p, pattern + " " + number, ("P" + number).c_str());
    float value = 0.0f;
    if (q == 0) value = static_cast<float>(std::floor(1048577.0 * static_cast<double>(RandomUnit())));
    SetParamRange(t, p, 0.0f, static_cast<float>(uint32_t{1} << 20), value);
    t.Params[p].Number.ModeFlags[2] = -1;  // AllowForm5
    ParamValueSetFormat(t.Params[p].Number, 5, kUnitCount, -1);
  }
  t.ParamCount = 10;
  return result;
}

int32_t DefineMapper(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessMapperMono;
  t.ProcessFunctions[1] = ProcessMapperPoly;
  BeginType(t, 537, "Mapper", nullptr, kCategoryControl);
  t.PortCount = 1;
  SetParamName(t, 0, CommonNames[kNameInput], "In");
  SetParamRange(t, 0, -1.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitLevel, 0);
  t.Params[0].Number.Unit = 1;
  SetParamName(t, 1, 538, "Octave Min.", "[O");
  SetParamRange(t, 1, -8.0f, 8.0f, 2.0f);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitCount, 0);
  SetParamName(t, 2, 539, "Octave Range", "[O]");
  SetParamRange(t, 2, 1.0f, 8.0f, 2.0f);
  ParamValueSetFormat(t.Params[2].Number, -1, kUnitCount, 0);
  t.ParamCount = 3;
  return result;
}

int32_t DefineMelodyGenerator(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessMelodyGenerator;
  t.ProcessFunctions[1] = ProcessMelodyGenerator;
  t.PolyphonyCapability = 0;
  BeginType(t, 540, "Melody Generator", nullptr, kCategoryControl);
  t.RunsWithoutVoices = -1;
  t.KeepsVoices = -1;
  t.ChannelsFixed = -1;
  t.PortCount = 7;
  result = ModuleAllocBuffers(t, kMelodyBufferLength, 1, -1);
  SetParamName(t, 0, CommonNames[kNameFrequency], "F");
  SetParamRange(t, 0, -RateQuarter, RateQuarter, 55.0f, RateQuarter);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitTime, 2);
  t.Params[0].OutputSide.Store(1);
  t.Params[0].NoValueEditor = -1;
  SetParamName(t, 1, CommonNames[kNameTempo], "T");
  SetParamRange(t, 1, 0.0f, RateQuarter / 10.0f, 1.0f, RateQuarter);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitTime, 3);
  SetParamName(t, 2, CommonNames[kNameDutyCycle], "D");
  SetParamRange(t, 2, 0.5f, 1.0f, 0.95f);
  // The shaping inputs run from 0 to 1.
  // one thread: value
  struct Shape {
    uint32_t message;
    const char* name;
    const char* label;
    float value;
  };
  static const Shape kShapes[4] = {{541, "Note length variability", "l", 0.0f},
                                   {542, "Note density", "d", 0.5f},
                                   {543, "Harmony factor", "h", 0.67f},
                                   {544, "Self-influence", "s", 0.67f}};
  for (int32_t i = 0; i < 4; ++i) {
    SetParamName(t, 3 + i, kShapes[i].message, kShapes[i].name, kShapes[i].label);
    SetParamRange(t, 3 + i, 0.0f, 1.0f, kShapes[i].value);
  }
  // one thread: value
  struct Whole {
    uint32_t message;
    const char* name;
    const char* label;
    float min, max, value;
  };
  static const Whole kWholes[4] = {{545, "Beats per measure", "M", 1.0f, 24.0f, 4.0f},
                                   {546, "Measures per phrase (0=trigger)", "P", 0.0f, 24.0f, 8.0f},
                                   {547, "Octave min.", "[O", -8.0f, 8.0f, 2.0f},
                                   {548, "# Octaves", "[O]", 1.0f, 8.0f, 2.0f}};
  for (int32_t i = 0; i < 4; ++i) {
    const int32_t p = 7 + i;
    SetParamName(t, p, kWholes[i].message, kWholes[i].name, kWholes[i].label);
    SetParamRange(t, p, kWholes[i].min, kWholes[i].max, kWholes[i].value);
    ParamValueSetFormat(t.Params[p].Number, -1, kUnitCount, 0);
  }
  for (int32_t p = 0; p < 11; ++p) t.Params[p].ChannelCountExempt = -1;
  t.ParamCount = 11;
  return result;
}

}  // namespace Tarvelo
