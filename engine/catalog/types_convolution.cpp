// Convolution types: the FIR filter and the vocoder.
#include "engine/catalog/types.h"

#include "engine/catalog/catalog.h"
#include "engine/dsp/convolution.h"
#include "engine/globals.h"

namespace Tarvelo {

namespace {

// The signal input both types start with: a level stored as an amplitude and
// shown in dB.
void InputPort(ModuleRecord& t) {
  SetParamName(t, 0, CommonNames[kNameInput], "In");
  SetParamRange(t, 0, -1.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[0].Number, -1, kUnitLevel, 0);
  t.Params[0].Number.Unit = 1;
}

}  // namespace

int32_t DefineConvolutiveFilter(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessConvolutiveFilterMono;
  t.ProcessFunctions[1] = ProcessConvolutiveFilterPoly;
  BeginType(t, 583, "Convolutive filter", nullptr, kCategoryFilter);
  t.KeepsVoices = -1;
  t.VoiceOwner = -1;
  t.PortCount = 2;
  result = ModuleAllocBuffers(t, 258, 2, -1);
  InputPort(t);
  SetParamName(t, 1, 584, "Resonance", "R");
  SetParamRange(t, 1, 0.0f, 1.0f, 0.0f);
  SetParamName(t, 2, 585, "Attenuation", "a");
  SetParamRange(t, 2, 0.0f, 1.0f, 0.0f);
  t.ParamCount = 3;
  return result;
}

int32_t DefineConvolutiveVocoder(ModuleRecord& t) {
  int32_t result = 0;
  t.ProcessFunctions[0] = ProcessConvolutiveVocoderMono;
  t.ProcessFunctions[1] = ProcessConvolutiveVocoderPoly;
  BeginType(t, 589, "Convolutive vocoder", nullptr, kCategoryFilter);
  t.KeepsVoices = -1;
  t.VoiceOwner = -1;
  t.PortCount = 2;
  result = ModuleAllocBuffers(t, 1024, 2, -1);
  InputPort(t);
  SetParamName(t, 1, 590, "Voice", "V");
  SetParamRange(t, 1, 0.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[1].Number, -1, kUnitLevel, 0);
  t.Params[1].Number.Unit = 1;
  SetParamName(t, 2, 591, "Window Size", "L");
  SetParamRange(t, 2, 3.0f, 127.0f, 16.0f);
  ParamValueSetFormat(t.Params[2].Number, -1, kUnitTime, 0);
  t.Params[2].ChannelCountExempt = -1;
  t.ParamCount = 3;
  return result;
}

}  // namespace Tarvelo
