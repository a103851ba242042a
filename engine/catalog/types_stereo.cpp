// Stereo types.
#include "engine/catalog/catalog.h"
#include "engine/catalog/types.h"
#include "engine/dsp/stereo.h"
#include "engine/globals.h"

namespace Tarvelo {

namespace {

// An input port: "a" values shown in dB, range -1..1, default 1.
void InputPort(ModuleRecord& t, int32_t p, uint32_t message, const char* english, const char* label) {
  if (message == 503)
    SetParamName(t, p, CommonNames[kNameInput], label);
  else
    SetParamName(t, p, message, english, label);
  SetParamRange(t, p, -1.0f, 1.0f, 1.0f);
  ParamValueSetFormat(t.Params[p].Number, 0, kUnitLevel, 0);
  t.Params[p].Number.Unit = 1;
}

}  // namespace

int32_t DefineMergeStereo(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessMergeStereoMono;
  t.ProcessFunctions[1] = ProcessMergeStereoPoly;
  BeginType(t, 601, "Merge Stereo", nullptr, kCategoryStereo);
  t.RequiresPortLink = -1;
  // One channel whatever feeds it: the kernel publishes the merge there.
  t.ChannelsFixed = -1;
  t.PortCount = 1;
  InputPort(t, kStereoInput, 503, "Input", "In");
  t.ParamCount = 1;
  return 0;
}

int32_t DefineJoinStereo(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessJoinStereoMono;
  t.ProcessFunctions[1] = ProcessJoinStereoPoly;
  t.OutputChannels.Store(2);
  BeginType(t, 602, "Join Stereo", nullptr, kCategoryStereo);
  t.PortCount = 2;
  InputPort(t, kJoinLeft, 603, "Input Left", "L");
  InputPort(t, kJoinRight, 604, "Input Right", "R");
  // Each side reads channel 0 of its source, so neither source's channel
  // count changes the module's.
  t.Params[kJoinLeft].ChannelCountExempt = -1;
  t.Params[kJoinRight].ChannelCountExempt = -1;
  t.ParamCount = 2;
  return 0;
}

int32_t DefineBalance(ModuleRecord& t) {
  t.ProcessFunctions[0] = ProcessBalanceMono;
  t.ProcessFunctions[1] = ProcessBalancePoly;
  t.OutputChannels.Store(2);
  BeginType(t, 605, "Balance", nullptr, kCategoryStereo);
  t.RequiresPortLink = -1;
  t.PortCount = 2;
  InputPort(t, kStereoInput, 503, "Input", "In");
  // One position for both channels, shown as a plain number.
  SetParamName(t, kBalancePosition, 606, "Position", "P");
  SetParamRange(t, kBalancePosition, -1.0f, 1.0f, 0.0f);
  ParamValueSetFormat(t.Params[kBalancePosition].Number, 0, kUnitNone, 0);
  t.Params[kBalancePosition].ChannelCountExempt = -1;
  t.ParamCount = 2;
  return 0;
}

}  // namespace Tarvelo
